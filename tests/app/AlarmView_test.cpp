// The page "报警记录": the listed alarms with their state and colour, the
// acknowledge buttons and what they hand to the window, and the stored
// events of a range, newest first, exported as shown.

#include "app/AlarmView.h"

#include <gtest/gtest.h>

#include <QDateTimeEdit>
#include <QLabel>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sstream>
#include <string_view>

#include "app/StationTestSupport.h"
#include "dialogs/CsvExportDialog.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryPrint.h"
#include "dialogs/PrintPreview.h"
#include "dialogs/Prompts.h"
#include "store/RawValues.h"

namespace {

const TDateTime kMorning = EncodeDateTime(2026, 12, 8, 10, 0, 0);
constexpr TDateTime kMinute = 1.0 / (24 * 60);

QStringList RowTexts(const QTableWidget& table, int row) {
    QStringList texts;
    for (int column = 0; column < table.columnCount(); ++column) {
        const QTableWidgetItem* item = table.item(row, column);
        texts << (item != nullptr ? item->text() : QString());
    }
    return texts;
}

bool RowIsRed(const QTableWidget& table, int row) {
    for (int column = 0; column < table.columnCount(); ++column) {
        if (table.item(row, column)->foreground().color() != QColor(Qt::red)) return false;
    }
    return true;
}

QString Time(TDateTime value) {
    return QString::fromStdString(DateTimeToText(value));
}

class AlarmPageTest : public ::testing::Test {
  protected:
    AlarmPageTest() {
        Page.SetClock([this] { return Clock; });
        Page.SetAcknowledged(
            [this](std::vector<TAlarmEvent> events) { Handed.push_back(std::move(events)); });
    }

    // Station 1: its silence came and went (cleared, unacknowledged) and its
    // alarm relay is set and acknowledged; station 2 tripped.
    void RaiseAlarms() {
        Monitor.RelaysAccepted(2, "2号主变", kRelayTrip, kMorning);
        Monitor.RelaysAccepted(1, "1号主变", kRelayAlarm, kMorning + kMinute);
        Monitor.Acknowledge(1, kEventOverTemp, kMorning + 2 * kMinute);
        Monitor.StateChanged(1, "1号主变", 3, kMorning + 3 * kMinute);
        Monitor.StateChanged(1, "1号主变", 0, kMorning + 4 * kMinute);
        Page.RefreshActive();
    }

    QTableWidget& Active() { return *Page.ActiveTable(); }

    TAlarmMonitor Monitor;
    TAlarmPage Page{Monitor};
    TDateTime Clock = kMorning + 10 * kMinute;
    std::vector<std::vector<TAlarmEvent>> Handed;
};

TEST_F(AlarmPageTest, ActiveTableListsAlarmsByStationWithStateColourAndChattering) {
    EXPECT_EQ(Page.objectName(), "AlarmPage");
    EXPECT_EQ(Active().rowCount(), 0);
    EXPECT_FALSE(Page.AcknowledgeAllButton()->isEnabled());
    RaiseAlarms();

    ASSERT_EQ(Active().rowCount(), 3);
    EXPECT_EQ(RowTexts(Active(), 0),
              QStringList({"已恢复未确认", "1号主变", "1", "通讯中断", "", "0",
                           Time(kMorning + 3 * kMinute), Time(kMorning + 4 * kMinute)}));
    EXPECT_EQ(RowTexts(Active(), 1),
              QStringList({"报警已确认", "1号主变", "1", "超温报警", "",
                           QString::number(kRelayAlarm), Time(kMorning + kMinute), ""}));
    EXPECT_EQ(RowTexts(Active(), 2),
              QStringList({"报警未确认", "2号主变", "2", "跳闸", "", QString::number(kRelayTrip),
                           Time(kMorning), ""}));
    EXPECT_TRUE(RowIsRed(Active(), 0));
    EXPECT_FALSE(RowIsRed(Active(), 1));
    EXPECT_TRUE(RowIsRed(Active(), 2));
    EXPECT_TRUE(Page.AcknowledgeAllButton()->isEnabled());

    // Station 2's trip relay flutters: six raises and clears in ten minutes.
    for (int cycle = 0; cycle < 6; ++cycle) {
        Monitor.RelaysAccepted(2, "2号主变", 0, kMorning + (cycle + 1) * kMinute);
        Monitor.RelaysAccepted(2, "2号主变", kRelayTrip, kMorning + (cycle + 1.5) * kMinute);
    }
    Page.RefreshActive();
    ASSERT_EQ(Active().rowCount(), 3);
    EXPECT_EQ(Active().item(2, 0)->text(), "报警未确认（频繁）");
    EXPECT_EQ(Active().item(2, 6)->text(), Time(kMorning + 6.5 * kMinute));
}

TEST_F(AlarmPageTest, AcknowledgeHandsTheEventsOverAndTheTableFollows) {
    RaiseAlarms();
    EXPECT_FALSE(Page.AcknowledgeButton()->isEnabled());  // nothing selected

    // The cleared alarm leaves once acknowledged; the selection stays off
    // the rows that moved up.
    Active().selectRow(0);
    ASSERT_TRUE(Page.AcknowledgeButton()->isEnabled());
    QTest::mouseClick(Page.AcknowledgeButton(), Qt::LeftButton);
    ASSERT_EQ(Handed.size(), 1U);
    ASSERT_EQ(Handed[0].size(), 1U);
    EXPECT_EQ(Handed[0][0].Address, 1);
    EXPECT_EQ(Handed[0][0].Kind, kEventCommLost);
    EXPECT_EQ(Handed[0][0].Action, kActionAcknowledged);
    EXPECT_EQ(Handed[0][0].Time, Clock);
    ASSERT_EQ(Active().rowCount(), 2);
    EXPECT_EQ(Active().item(0, 3)->text(), "超温报警");
    EXPECT_TRUE(Active().selectedItems().isEmpty());

    // An acknowledged alarm acknowledged again produces nothing.
    Active().selectRow(0);
    EXPECT_FALSE(Page.AcknowledgeButton()->isEnabled());
    Page.AcknowledgeSelected();
    EXPECT_EQ(Handed.size(), 1U);

    Clock += kMinute;
    QTest::mouseClick(Page.AcknowledgeAllButton(), Qt::LeftButton);
    ASSERT_EQ(Handed.size(), 2U);
    ASSERT_EQ(Handed[1].size(), 1U);
    EXPECT_EQ(Handed[1][0].Address, 2);
    EXPECT_EQ(Handed[1][0].Kind, kEventTrip);
    EXPECT_EQ(Handed[1][0].Time, Clock);
    ASSERT_EQ(Active().rowCount(), 2);
    EXPECT_EQ(Active().item(1, 0)->text(), "报警已确认");
    EXPECT_FALSE(RowIsRed(Active(), 1));
    EXPECT_FALSE(Page.AcknowledgeAllButton()->isEnabled());
    // The selection followed station 1's alarm.
    ASSERT_FALSE(Active().selectedItems().isEmpty());
    EXPECT_EQ(Active().selectedItems().front()->row(), 0);
}

TEST_F(AlarmPageTest, HistoryShowsTodaysEventsNewestFirstAndExportsThem) {
    // Without a store the history stays empty.
    Page.Query();
    EXPECT_EQ(Page.HistoryTable()->rowCount(), 0);

    TProgramDir dir;
    TEventDbMgr store(dir.File("data/event.dt"));
    const TDateTime yesterday = kMorning - 1;
    const TDateTime tomorrow = EncodeDateTime(2026, 12, 9, 0, 0, 1);
    store.AddEvent(yesterday, 1, "1号主变", kEventTrip, kActionRaised, 8, "");
    store.AddEvent(kMorning, 1, "1号主变", kEventSensorFault, kActionRaised, 250, "B相");
    store.AddEvent(kMorning + kMinute, 2, "2号, \"东\"", kEventFanStarted, kActionEvent, 2, "");
    store.AddEvent(kMorning + 2 * kMinute, 1, "1号主变", kEventSensorFault, kActionCleared, 90,
                   "B相");
    store.AddEvent(tomorrow, 1, "1号主变", kEventTrip, kActionCleared, 0, "");
    Page.SetEventStore(&store);

    // The range starts as the clock's whole day.
    EXPECT_EQ(PickerValue(Page.BeginTimePicker()->dateTime()), EncodeDateTime(2026, 12, 8));
    QTest::mouseClick(Page.QueryButton(), Qt::LeftButton);
    QTableWidget& history = *Page.HistoryTable();
    ASSERT_EQ(history.rowCount(), 3);
    EXPECT_EQ(RowTexts(history, 0), QStringList({Time(kMorning + 2 * kMinute), "1号主变", "1",
                                                 "传感器故障", "恢复", "90", "B相"}));
    EXPECT_EQ(RowTexts(history, 1), QStringList({Time(kMorning + kMinute), "2号, \"东\"", "2",
                                                 "风机启动", "事件", "2", ""}));
    EXPECT_EQ(history.item(2, 4)->text(), "产生");
    EXPECT_EQ(Page.RowCountLabel()->text(), "共 3 条记录");

    const std::string path = dir.File("events.csv");
    QString suggested;
    {
        TScopedSaveFileDialog dialog([&](QWidget*, const QString& name, const QString&) {
            suggested = name;
            return QString::fromStdString(path);
        });
        QTest::mouseClick(Page.ExportButton(), Qt::LeftButton);
    }
    EXPECT_TRUE(suggested.startsWith("报警记录_2026-12-8")) << suggested.toStdString();
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(),
              "\xEF\xBB\xBF"
              "时间,位置,地址,类型,动作,数值,详情\r\n"
              "2026-12-08 10:02:00,1号主变,1,传感器故障,恢复,90,B相\r\n"
              "2026-12-08 10:01:00,\"2号, \"\"东\"\"\",2,风机启动,事件,2,\r\n"
              "2026-12-08 10:00:00,1号主变,1,传感器故障,产生,250,B相\r\n");

    // The last quick range reaches yesterday's event too.
    Page.SetQuickRange(TAlarmPage::TQuickRange::Last7Days);
    Page.Query();
    EXPECT_EQ(history.rowCount(), 4);
    EXPECT_EQ(history.item(3, 0)->text(), Time(yesterday));
    Page.SetEventStore(nullptr);
}

// "打印..." prints the queried events through the preview, into a PDF read
// back as text; the job keeps its rows when a new query follows.
TEST_F(AlarmPageTest, PrintShowsTheQueriedEventsAndKeepsThemAcrossANewQuery) {
    EXPECT_FALSE(Page.PrintButton()->isEnabled());
    TProgramDir dir;
    TEventDbMgr store(dir.File("data/event.dt"));
    for (int i = 0; i < 120; ++i) {
        store.AddEvent(kMorning + i * kMinute, 3, "3号主变", kEventTempLimit,
                       i % 2 == 0 ? kActionRaised : kActionCleared, 100 + i, "A相");
    }
    Page.SetEventStore(&store);
    Page.Query();
    ASSERT_TRUE(Page.PrintButton()->isEnabled());

    const TReportPrintJob job = Page.PrintJob();
    ASSERT_EQ(job.Rows, 120u);
    EXPECT_EQ(job.Captions, QStringList({"时间", "位置", "地址", "类型", "动作", "数值", "详情"}));
    EXPECT_EQ(job.Cell(0, 0), Time(kMorning + 119 * kMinute));  // newest first
    EXPECT_EQ(job.Cell(0, 5), "219");
    Page.SetEventStore(nullptr);
    Page.Query();
    EXPECT_FALSE(Page.PrintButton()->isEnabled());
    EXPECT_EQ(job.Cell(119, 5), "100");  // still the job's own rows
    Page.SetEventStore(&store);
    Page.Query();

    if (std::string_view(TC_PDFTOTEXT).empty()) GTEST_SKIP() << "poppler-utils missing";
    QTemporaryDir out;
    const QString path = out.filePath("events.pdf");
    int previews = 0;
    int expectedPages = 0;
    {
        TScopedModalRunner runner([&](QDialog& dialog) {
            auto* preview = dynamic_cast<TPrintPreview*>(&dialog);
            if (preview == nullptr) return static_cast<int>(QDialog::Rejected);
            ++previews;
            QPrinter* printer = &preview->Printer();
            printer->setOutputFormat(QPrinter::PdfFormat);
            printer->setOutputFileName(path);
            printer->setPageSize(QPageSize(QPageSize::A4));
            expectedPages = ReportPrintPageCount(*printer, Page.PrintJob());
            preview->PrintNow();
            return static_cast<int>(QDialog::Accepted);
        });
        QTest::mouseClick(Page.PrintButton(), Qt::LeftButton);
    }
    ASSERT_EQ(previews, 1);
    QProcess process;
    process.start(QString::fromUtf8(TC_PDFTOTEXT), {"-layout", path, "-"});
    ASSERT_TRUE(process.waitForFinished(60000));
    const QString text = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_EQ(text.count('\f'), expectedPages);
    EXPECT_GE(expectedPages, 3);  // 120 rows do not fit one landscape page
    EXPECT_TRUE(text.contains("报警记录报表"));
    for (int i = 0; i < 120; ++i) {
        const QString time = Time(kMorning + i * kMinute);
        EXPECT_EQ(text.count(time), 1) << time.toStdString();
    }
    EXPECT_EQ(text.count("温度越限"), 120);
    Page.SetEventStore(nullptr);
}

}  // namespace
