// What the main window shows of the selected station: status bar, live
// view, port settings and the history report with its query.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QProgressBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/ColourRadioButton.h"
#include "app/DiagnosticsView.h"
#include "app/LiveView.h"
#include "app/MainForm.h"
#include "app/PortSettingsView.h"
#include "app/StationNode.h"
#include "app/WindowTestSupport.h"
#include "dialogs/HistoryChart.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/QueryTestSupport.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

namespace {

QStringList Temperatures(TMainForm& window) {
    QStringList texts;
    for (size_t i = 0; i < kTempRowCount; ++i) texts << window.LiveView()->TempRow(i).Edit->text();
    return texts;
}

struct TSample {
    TDateTime Time;
    uint16_t A, B, C, Iron;
    uint8_t Relay;
};

void StoreSamples(const TProgramDir& dir, uint8_t address, std::initializer_list<TSample> samples) {
    THisInfoDbMgr history(HistoryFileName(dir.Path(), address));
    for (const TSample& s : samples) {
        history.AddReading(address, s.A, s.B, s.C, s.Iron, s.Relay, s.Time);
    }
}

const TDateTime kDay = EncodeDateTime(2024, 3, 1);
TDateTime At(int hour, int minute = 0) {
    return kDay + (hour * 60 + minute) / 1440.0;
}

// Two stations on missing ports (state 5): their views are driven by
// handing replies to the window's receive handler.
class MainViews : public ::testing::Test {
  protected:
    MainViews() {
        Dir.MissingPort(1);
        Dir.MissingPort(51);
        RegisterStations(Dir, {{1, 1, "1号主变", "温控器A", 7, 3, 0, 0, 0},
                               {2, 51, "2号主变", "温控器B", 12, 3, 0, 0, 2}});
        Window = StartWindow(Dir);
    }

    void Query(TDateTime begin, TDateTime end) {
        Window->HistoryPanel()->SetBeginTime(begin);
        Window->HistoryPanel()->SetEndTime(end);
        Window->Button1Click();
        EXPECT_TRUE(querytest::QueryEnded(*Window->HistoryPanel()));
    }

    // Starts the selected station's query and returns once its worker is the
    // `arrived`-th to reach the gate.
    bool StartHeld(querytest::TQueryGate& gate, int arrived, TDateTime begin, TDateTime end) {
        Window->HistoryPanel()->SetBeginTime(begin);
        Window->HistoryPanel()->SetEndTime(end);
        Window->Button1Click();
        return Window->HistoryPanel()->Query()->Running() && gate.WaitArrived(arrived);
    }

    TProgramDir Dir;
    TMessageLog Log;
    std::unique_ptr<TMainForm> Window;
};

}  // namespace

TEST_F(MainViews, AStationNotConnectedShowsUnknownAndItsStateText) {
    Select(*Window, 0);
    EXPECT_EQ(Window->DeviceNameLabel()->text(), "温控器A");
    EXPECT_EQ(Window->TemAddrLabel()->text(), "1");
    EXPECT_EQ(Window->CommStateLabel()->text(), "打开端口出错");
    EXPECT_EQ(Temperatures(*Window), QStringList({"未知", "未知", "未知", "未知"}));
}

TEST_F(MainViews, RepliesOfTheSelectedStationShowLiveValues) {
    Select(*Window, 0);
    TStationState& station = StationAt(*Window, 0);
    Deliver(*Window, station, RelayReply(1, 0x0A));
    Deliver(*Window, station, TemperatureReply(1, 65, 66, 67, 0));
    EXPECT_EQ(Window->CommStateLabel()->text(), "已连接");
    EXPECT_EQ(Temperatures(*Window), QStringList({"25", "26", "27", "未知"}));
    const TLiveViewPage& view = *Window->LiveView();
    for (size_t i = 0; i < kTempRowCount; ++i) {
        EXPECT_TRUE(view.TempRow(i).Normal->isChecked());
        EXPECT_EQ(view.TempRow(i).Normal->Colour(), clLime);
    }
    EXPECT_TRUE(view.RelayRow(0).Clear->isChecked());  // 无故障, green
    EXPECT_EQ(view.RelayRow(0).Clear->Colour(), clLime);
    EXPECT_TRUE(view.RelayRow(1).Set->isChecked());  // 开, red
    EXPECT_EQ(view.RelayRow(1).Set->Colour(), clRed);
    EXPECT_TRUE(view.RelayRow(2).Clear->isChecked());  // 未报警
    EXPECT_TRUE(view.RelayRow(3).Set->isChecked());    // 已跳闸
    EXPECT_EQ(view.RelayRow(3).Set->Colour(), clRed);

    // A fault after a good reading keeps the last temperature.
    Deliver(*Window, station, TemperatureReply(1, 241, 66, 67, 0));
    EXPECT_EQ(Temperatures(*Window), QStringList({"25", "26", "27", "未知"}));
    EXPECT_TRUE(view.TempRow(0).Fault->isChecked());
    EXPECT_EQ(view.TempRow(0).Fault->Colour(), clRed);
    EXPECT_EQ(view.TempRow(0).Normal->Colour(), clBtnFace());
}

TEST_F(MainViews, RepliesOfOtherStationsChangeNothingShown) {
    Select(*Window, 0);
    Deliver(*Window, StationAt(*Window, 1), TemperatureReply(2, 100, 100, 100, 100));
    EXPECT_EQ(StationAt(*Window, 1).State, kStateConnected);
    EXPECT_EQ(Temperatures(*Window), QStringList({"未知", "未知", "未知", "未知"}));
    EXPECT_EQ(Window->CommStateLabel()->text(), "打开端口出错");
    // Selecting it shows its values; the root leaves the pages as they are.
    Select(*Window, 1);
    EXPECT_EQ(Temperatures(*Window), QStringList({"60", "60", "60", "60"}));
    Select(*Window, -1);
    EXPECT_EQ(Temperatures(*Window), QStringList({"60", "60", "60", "60"}));
    EXPECT_EQ(Window->DeviceNameLabel()->text(), "温控器B");
}

TEST_F(MainViews, PortSettingsShowTheStoredIndexes) {
    const TPortSettingsPage& page = *Window->PortSettings();
    Select(*Window, 0);
    EXPECT_EQ(page.CommNameComboBox()->currentText(), "COM1");
    EXPECT_EQ(page.PortBaudComboBox()->currentText(), "38400");
    EXPECT_EQ(page.PortBitsSizeComboBox()->currentText(), "8");
    EXPECT_EQ(page.PortParityComboBox()->currentText(), "无");
    EXPECT_EQ(page.PortStopBitComboBox()->currentText(), "1");
    EXPECT_EQ(page.PortDtrControlComboBox()->currentText(), "硬件");

    // Port 51 is beyond the fifty entries: none is selected.
    Select(*Window, 1);
    EXPECT_EQ(page.CommNameComboBox()->currentIndex(), -1);
    EXPECT_EQ(page.PortBaudComboBox()->currentText(), "921600");
    EXPECT_EQ(page.PortDtrControlComboBox()->currentText(), "Xon/Xoff");

    EXPECT_TRUE(page.CommNameComboBox()->isEnabled());
    EXPECT_TRUE(page.PortBaudComboBox()->isEnabled());
    for (QComboBox* fixed : {page.PortBitsSizeComboBox(), page.PortParityComboBox(),
                             page.PortStopBitComboBox(), page.PortDtrControlComboBox()}) {
        EXPECT_FALSE(fixed->isEnabled());
    }
    // A choice made by hand changes nothing stored or shown elsewhere.
    page.PortBaudComboBox()->setCurrentIndex(0);
    EXPECT_EQ(StationAt(*Window, 1).Station->PortBaud, 12);
}

TEST_F(MainViews, QueryShowsTheSamplesOfTheRangeNewestFirstWithTheirCellTexts) {
    StoreSamples(Dir, 1,
                 {{At(8), 65, 66, 67, 0, 0x02},
                  {At(9), 300, 66, 67, 0, 0x00},
                  {At(10), 65535, 40, 0, 241, 0x0F},
                  {At(12), 70, 70, 70, 70, 0x00}});
    Select(*Window, 0);
    Query(At(8), At(10));
    ASSERT_EQ(ReportRows(*Window), 3);
    EXPECT_EQ(ReportRow(*Window, 2),
              QStringList({"25", "26", "27", "未知", "无故障", "开", "未报警", "未跳闸", "正常",
                           "正常", "正常", "正常"}));
    EXPECT_EQ(ReportCell(*Window, 1, 1), "260");
    EXPECT_EQ(ReportCell(*Window, 1, 9), "故障");
    EXPECT_EQ(ReportRow(*Window, 0),
              QStringList({"65495", "0", "-40", "201", "有故障", "开", "已报警", "已跳闸", "故障",
                           "正常", "正常", "故障"}));
    EXPECT_EQ(ReportCell(*Window, 0, 0), QString::fromStdString(DateTimeToText(At(10))));
    ASSERT_TRUE(StationAt(*Window, 0).HistoryList);
    EXPECT_EQ(StationAt(*Window, 0).HistoryList->size(), 3u);

    // The chart plots the queried samples.
    EXPECT_GT(Window->HistoryPanel()->Chart()->Series(0)->count(), 0);
}

TEST_F(MainViews, BeginNotBeforeEndDoesNothingNotEvenClearing) {
    Select(*Window, 1);
    // Right after start both pickers hold the same value.
    Window->Button1Click();
    EXPECT_FALSE(StationAt(*Window, 1).HistoryMgr);
    EXPECT_FALSE(Dir.Exists("data/2/HistoryData.dt"));

    StoreSamples(Dir, 2, {{At(8), 65, 66, 67, 0, 0}, {At(9), 65, 66, 67, 0, 0}});
    Query(At(7), At(11));
    ASSERT_EQ(ReportRows(*Window), 2);
    const std::vector<TTmpReading>* shown = StationAt(*Window, 1).HistoryList.get();
    Query(At(11), At(7));
    EXPECT_EQ(ReportRows(*Window), 2);
    Query(At(9), At(9));
    EXPECT_EQ(ReportRows(*Window), 2);
    EXPECT_EQ(StationAt(*Window, 1).HistoryList.get(), shown);
    EXPECT_EQ(shown->size(), 2u);
}

TEST_F(MainViews, AQueryOnAStationWithoutSamplesCreatesItsFileAndShowsNothing) {
    Select(*Window, 0);
    Query(At(0), At(23));
    EXPECT_TRUE(Dir.Exists("data/1/HistoryData.dt"));
    EXPECT_EQ(ReportRows(*Window), 0);
    // The query reads through a reader of its own: the recorder's manager
    // is made by the recorder alone.
    EXPECT_FALSE(StationAt(*Window, 0).HistoryMgr);
    EXPECT_TRUE(Log.Messages().isEmpty());
}

TEST_F(MainViews, EachStationKeepsAndShowsItsOwnLastResult) {
    StoreSamples(Dir, 1, {{At(8), 65, 66, 67, 0, 0}, {At(9), 66, 66, 67, 0, 0}});
    StoreSamples(Dir, 2, {{At(8), 80, 66, 67, 0, 0}});
    Select(*Window, 0);
    Query(At(7), At(10));
    ASSERT_EQ(ReportRows(*Window), 2);
    // Never queried: an empty list.
    Select(*Window, 1);
    EXPECT_EQ(ReportRows(*Window), 0);
    Query(At(7), At(10));
    ASSERT_EQ(ReportRows(*Window), 1);
    EXPECT_EQ(ReportCell(*Window, 0, 1), "40");
    Select(*Window, 0);
    ASSERT_EQ(ReportRows(*Window), 2);
    EXPECT_EQ(ReportCell(*Window, 0, 1), "26");
    // The root leaves the list as it is.
    Select(*Window, -1);
    EXPECT_EQ(ReportRows(*Window), 2);
    // A second query replaces the result.
    Select(*Window, 0);
    Query(At(8, 30), At(10));
    EXPECT_EQ(ReportRows(*Window), 1);
}

TEST_F(MainViews, AQueryThatFailsLeavesTheStationUsable) {
    std::filesystem::create_directories(Dir.File("data/1"));
    std::ofstream(Dir.File("data/1/HistoryData.dt")) << "not a database";
    Select(*Window, 0);
    Window->HistoryPanel()->SetBeginTime(At(0));
    Window->HistoryPanel()->SetEndTime(At(23));
    Window->Button1Click();
    ASSERT_TRUE(querytest::QueryEnded(*Window->HistoryPanel()));
    // The failure goes to the application's error report, once.
    ASSERT_EQ(Log.Messages().size(), 1);
    EXPECT_FALSE(Log.Messages()[0].isEmpty());
    EXPECT_FALSE(StationAt(*Window, 0).HistoryMgr);
    EXPECT_EQ(ReportRows(*Window), 0);
}

// A history file restored by hand while the station has it open: the next
// query reads the restored file, not the old one's layout.
TEST_F(MainViews, AQueryAfterTheFileWasReplacedReadsTheNewFile) {
    StoreSamples(Dir, 1, {{At(8), 65, 66, 67, 0, 0}});
    Select(*Window, 0);
    Query(At(7), At(10));
    ASSERT_EQ(ReportRows(*Window), 1);
    const std::string live = Dir.File("data/1/HistoryData.dt");
    std::filesystem::rename(live, Dir.File("old.dt"));
    StoreSamples(Dir, 1, {{At(8), 70, 66, 67, 0, 0}, {At(9), 71, 66, 67, 0, 0}});
    Query(At(7), At(10));
    ASSERT_EQ(ReportRows(*Window), 2);
    EXPECT_EQ(ReportCell(*Window, 0, 1), "31");
    EXPECT_TRUE(Log.Messages().isEmpty());
}

// The query runs on a worker: held there, the window goes on answering, its
// progress bar shows once the delay passed, and the result, once let go, is
// exactly what the history file's own query gives.
TEST_F(MainViews, AQueryHeldOnItsWorkerLeavesTheWindowAnsweringAndShowsItsProgress) {
    StoreSamples(Dir, 1,
                 {{At(8), 65, 66, 67, 0, 0x02},
                  {At(9), 300, 66, 67, 0, 0x00},
                  {At(9), 301, 66, 67, 0, 0x00},
                  {At(10), 70, 70, 70, 70, 0x0F}});
    THistoryPanel& panel = *Window->HistoryPanel();
    panel.SetQueryProgressDelay(20);
    querytest::TQueryGate gate(*panel.Query());
    Select(*Window, 0);
    // Back at once, the worker still held.
    ASSERT_TRUE(StartHeld(gate, 1, At(8, 30), At(11)));
    bool ticked = false;
    QTimer::singleShot(0, Window.get(), [&] { ticked = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticked; }, querytest::kQueryTimeoutMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.QueryProgressBar()->isVisibleTo(&panel); },
                                querytest::kQueryTimeoutMs));
    EXPECT_EQ(ReportRows(*Window), 0);
    EXPECT_FALSE(StationAt(*Window, 0).HistoryList);

    gate.Open();
    ASSERT_TRUE(querytest::QueryEnded(panel));
    EXPECT_FALSE(panel.QueryProgressBar()->isVisibleTo(&panel));
    std::vector<TTmpReading> expected;
    THisInfoDbMgr(HistoryFileName(Dir.Path(), 1)).QueryReadings(expected, At(8, 30), At(11));
    ASSERT_EQ(expected.size(), 3u);
    const std::vector<TTmpReading>* shown = panel.Readings();
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown, StationAt(*Window, 0).HistoryList.get());
    ASSERT_EQ(shown->size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*shown)[i].RecordId, expected[i].RecordId);
        EXPECT_EQ((*shown)[i].DateTime, expected[i].DateTime);
        EXPECT_EQ((*shown)[i].APhaseTmp, expected[i].APhaseTmp);
    }
    EXPECT_EQ(ReportRows(*Window), 3);
    EXPECT_TRUE(Log.Messages().isEmpty());
}

// "查询" while a query runs cancels it: the report keeps what it showed and
// the held result, let go afterwards, is never shown.
TEST_F(MainViews, QueryAgainWhileOneRunsCancelsItAndItsResultIsNeverShown) {
    StoreSamples(Dir, 1, {{At(8), 65, 66, 67, 0, 0}, {At(9), 66, 66, 67, 0, 0}});
    Select(*Window, 0);
    Query(At(7), At(10));
    ASSERT_EQ(ReportRows(*Window), 2);
    const std::vector<TTmpReading>* before = StationAt(*Window, 0).HistoryList.get();

    THistoryPanel& panel = *Window->HistoryPanel();
    panel.SetQueryProgressDelay(0);
    querytest::TQueryGate gate(*panel.Query());
    ASSERT_TRUE(StartHeld(gate, 1, At(8, 30), At(10)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.QueryProgressBar()->isVisibleTo(&panel); },
                                querytest::kQueryTimeoutMs));
    Window->Button1Click();
    EXPECT_FALSE(panel.Query()->Running());
    EXPECT_FALSE(panel.QueryProgressBar()->isVisibleTo(&panel));
    gate.Open();
    // The cancelled worker's delivery came and was dropped.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return panel.Query()->Workers() == 0; }, querytest::kQueryTimeoutMs));
    EXPECT_EQ(ReportRows(*Window), 2);
    EXPECT_EQ(StationAt(*Window, 0).HistoryList.get(), before);
    EXPECT_EQ(before->size(), 2u);
    EXPECT_EQ(panel.Readings(), before);
}

// Another station selected and queried while the first one's query is held:
// only the newer result is shown, and the first station keeps no result.
TEST_F(MainViews, AQueryOfAnotherStationWhileOneRunsShowsOnlyTheNewer) {
    StoreSamples(Dir, 1, {{At(8), 65, 66, 67, 0, 0}, {At(9), 66, 66, 67, 0, 0}});
    StoreSamples(Dir, 2, {{At(8), 80, 66, 67, 0, 0}});
    THistoryPanel& panel = *Window->HistoryPanel();
    querytest::TQueryGate gate(*panel.Query());
    Select(*Window, 0);
    ASSERT_TRUE(StartHeld(gate, 1, At(7), At(10)));
    Select(*Window, 1);
    ASSERT_TRUE(StartHeld(gate, 2, At(7), At(10)));
    gate.Open();
    ASSERT_TRUE(querytest::QueryEnded(panel));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return panel.Query()->Workers() == 0; }, querytest::kQueryTimeoutMs));
    ASSERT_EQ(ReportRows(*Window), 1);
    EXPECT_EQ(ReportCell(*Window, 0, 1), "40");
    EXPECT_FALSE(StationAt(*Window, 0).HistoryList);
    Select(*Window, 0);
    EXPECT_EQ(ReportRows(*Window), 0);
}

TEST_F(MainViews, TheWindowClosesWhileAQueryIsHeld) {
    StoreSamples(Dir, 1, {{At(8), 65, 66, 67, 0, 0}});
    THistoryPanel& panel = *Window->HistoryPanel();
    querytest::TQueryGate gate(*panel.Query());
    Select(*Window, 0);
    ASSERT_TRUE(StartHeld(gate, 1, At(7), At(10)));
    Window.reset();
    EXPECT_EQ(gate.Passed(), 1);
    EXPECT_TRUE(Log.Messages().isEmpty());
}

// "通讯诊断": one row per station with its line's counters, drawn while the
// page is shown; the monitor shows the selected station's frames newest
// first, keeps what it shows while paused, and saves it as text.
TEST_F(MainViews, TheDiagnosticsPageShowsEachLineAndMonitorsTheSelectedOne) {
    TDiagnosticsPage* page = Window->Diagnostics();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(Window->Pages()->tabText(Window->Pages()->indexOf(page)), "通讯诊断");
    TStationState& first = StationAt(*Window, 0);
    Deliver(*Window, first, TemperatureReply(1, 65, 66, 67, 0));
    TBytes bad = TemperatureReply(1, 65, 66, 67, 0);
    bad.back() ^= 0x01;
    Deliver(*Window, first, bad);
    Select(*Window, 0);
    // Not drawn while another page is shown.
    EXPECT_EQ(page->StatsTable()->rowCount(), 0);
    Window->Pages()->setCurrentWidget(page);
    ASSERT_EQ(page->StatsTable()->rowCount(), 2);
    const auto cell = [&](int row, int column) {
        return page->StatsTable()->item(row, column)->text();
    };
    EXPECT_EQ(cell(0, 0), "1号主变");
    EXPECT_EQ(cell(0, 2), "1");
    EXPECT_EQ(cell(0, 5), "1");   // replies
    EXPECT_EQ(cell(0, 7), "1");   // CRC errors
    EXPECT_EQ(cell(0, 9), "13");  // bytes dropped
    EXPECT_EQ(cell(1, 1), "温控器B");
    EXPECT_EQ(cell(1, 5), "0");
    ASSERT_EQ(page->MonitorTable()->rowCount(), 2);
    EXPECT_EQ(page->MonitorTable()->item(0, 3)->text(), "CRC错误");
    EXPECT_EQ(page->MonitorTable()->item(1, 1)->text(), "接收");

    page->PauseCheckBox()->setChecked(true);
    Deliver(*Window, first, TemperatureReply(1, 70, 66, 67, 0));
    Window->RefreshDiagnostics();
    EXPECT_EQ(cell(0, 5), "2");
    EXPECT_EQ(page->MonitorTable()->rowCount(), 2);
    const QString saved = QString::fromStdString(Dir.File("monitor.txt"));
    page->SetSaveFileDialog([&](QWidget*) { return saved; });
    page->SaveMonitorButtonClick();
    QFile file(saved);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith("温度原始值 A 65 B 66 C 67 铁芯 0")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("CRC错误"));
    page->PauseCheckBox()->setChecked(false);
    Window->RefreshDiagnostics();
    EXPECT_EQ(page->MonitorTable()->rowCount(), 3);

    // A file that cannot be written is said so.
    page->SetSaveFileDialog(
        [&](QWidget*) { return QString::fromStdString(Dir.File("no/such/dir/x")); });
    page->SaveMonitorButtonClick();
    EXPECT_EQ(Log.Messages(), QStringList({"保存线路监视记录失败！"}));
}
