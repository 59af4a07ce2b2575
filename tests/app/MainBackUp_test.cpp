// The main window's backup commands, its backup timer, the backup viewer
// command and the settings command, on stations whose samples are handed to
// the window's receive handler at times the test chooses.

#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/MainForm.h"
#include "app/WindowTestSupport.h"
#include "dialogs/BackUpLocationFrm.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/QueryTestSupport.h"
#include "dialogs/SetParaFrm.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"

namespace fs = std::filesystem;

namespace {

const TDateTime kMarch1 = EncodeDateTime(2024, 3, 1);
const TDateTime kMarch2 = EncodeDateTime(2024, 3, 2);
TDateTime At(TDateTime day, int hour) {
    return day + hour / 24.0;
}

size_t SampleCount(const std::string& fileName) {
    THisInfoDbMgr mgr(fileName, false);
    return static_cast<size_t>(mgr.RecordCount());
}

std::string StoredText(TMainForm& window, uint8_t key) {
    std::vector<TSysParaItem> items;
    window.SysParaMgr()->ListParas(items);
    for (const TSysParaItem& item : items) {
        if (item.ParaKey == key) return item.Text.Utf8();
    }
    return "<none>";
}

// Two stations on missing ports, addresses 1 and 2; backups go to the
// default directory beside the program.
class MainBackUp : public ::testing::Test {
  protected:
    MainBackUp() {
        Dir.MissingPort(1);
        Dir.MissingPort(2);
        RegisterStations(Dir, {{1, 1, "1号主变", "温控器A"}, {2, 2, "2号主变", "温控器B"}});
        Window = StartWindow(Dir);
        Window->SetBackUpClock([this] { return Today; });
    }

    // A temperature sample of the station stored at `time`.
    void Sample(int index, TDateTime time) {
        Window->ScanCycle()->SetClock([time] { return time; });
        TStationState& station = StationAt(*Window, index);
        Deliver(*Window, station, TemperatureReply(station.Address, 65, 66, 67, 0));
    }
    void Query(TDateTime begin, TDateTime end) {
        Window->HistoryPanel()->SetBeginTime(begin);
        Window->HistoryPanel()->SetEndTime(end);
        Window->Button1Click();
        EXPECT_TRUE(querytest::QueryEnded(*Window->HistoryPanel()));
    }
    std::string BackUpFile(int address, TDateTime day) const {
        return Dir.Path() + "backup/" + std::to_string(address) + "/" + FormatShortDate(day) +
               ".dt";
    }
    std::string LiveFile(int address) const { return HistoryFileName(Dir.Path(), address); }

    TProgramDir Dir;
    TMessageLog Log;
    std::unique_ptr<TMainForm> Window;
    TDateTime Today = At(kMarch1, 12);
};

}  // namespace

TEST_F(MainBackUp, BackUpMovesTheSelectedStationsHistoryAndItsNextSamplesStartAFreshFile) {
    Sample(0, At(kMarch1, 8));
    Sample(0, At(kMarch1, 9));
    Select(*Window, 0);
    Query(At(kMarch1, 7), At(kMarch1, 11));
    ASSERT_EQ(ReportRows(*Window), 2);

    Window->Actions().BackUp->trigger();
    EXPECT_EQ(SampleCount(BackUpFile(1, kMarch1)), 2u);
    EXPECT_FALSE(fs::exists(LiveFile(1)));
    TStationState& station = StationAt(*Window, 0);
    EXPECT_EQ(station.HistoryList, nullptr);
    EXPECT_EQ(station.HistoryMgr, nullptr);
    // The report keeps the rows it showed, whole, until the station is
    // selected again or queried.
    ASSERT_EQ(ReportRows(*Window), 2);
    EXPECT_EQ(ReportCell(*Window, 1, 0), QString::fromStdString(DateTimeToText(At(kMarch1, 8))));
    Select(*Window, -1);
    EXPECT_EQ(ReportRows(*Window), 2);
    EXPECT_TRUE(Log.Messages().isEmpty());
    // The status bar says where the history went; no message box.
    EXPECT_TRUE(Window->BackUpStateLabel()->isVisibleTo(Window.get()));
    EXPECT_EQ(
        Window->BackUpStateLabel()->text(),
        QStringLiteral("历史数据已备份到：") + QString::fromStdString(BackUpFile(1, kMarch1)));
    Select(*Window, 0);
    EXPECT_EQ(ReportRows(*Window), 0);

    // The query finds only what was stored after the backup.
    Sample(0, At(kMarch1, 10));
    Query(At(kMarch1, 7), At(kMarch1, 11));
    ASSERT_EQ(ReportRows(*Window), 1);
    EXPECT_EQ(ReportCell(*Window, 0, 0), QString::fromStdString(DateTimeToText(At(kMarch1, 10))));

    // A second backup on the same day, from the tree's pop-up, does nothing.
    Window->Actions().TreeBackUp->trigger();
    EXPECT_EQ(SampleCount(LiveFile(1)), 1u);
    EXPECT_EQ(SampleCount(BackUpFile(1, kMarch1)), 2u);
    EXPECT_NE(StationAt(*Window, 0).HistoryMgr, nullptr);
    EXPECT_EQ(ReportRows(*Window), 1);
    EXPECT_EQ(Window->BackUpStateLabel()->text(),
              QStringLiteral("今天已备份过，备份文件：") +
                  QString::fromStdString(BackUpFile(1, kMarch1)));
}

TEST_F(MainBackUp, ABackUpThatFailsSaysWhyInTheStatusBar) {
    EXPECT_FALSE(Window->BackUpStateLabel()->isVisibleTo(Window.get()));
    // Never sampled: no history to copy.
    Select(*Window, 1);
    Window->BackUpClick();
    EXPECT_TRUE(Window->BackUpStateLabel()->isVisibleTo(Window.get()));
    EXPECT_TRUE(Window->BackUpStateLabel()->text().startsWith("备份失败："));
    EXPECT_TRUE(Window->BackUpStateLabel()->text().endsWith(
        QString::fromStdString(BackUpFile(2, kMarch1))));
    EXPECT_TRUE(Log.Messages().isEmpty());
}

TEST_F(MainBackUp, BackUpOnTheRootDoesNothingAndTheCommandsLeaveTheLastBackUpDate) {
    Sample(0, At(kMarch1, 8));
    Select(*Window, -1);
    Window->Actions().BackUp->trigger();
    Window->Actions().TreeBackUp->trigger();
    EXPECT_TRUE(fs::exists(LiveFile(1)));
    EXPECT_FALSE(fs::exists(Dir.Path() + "backup"));

    Window->Actions().BackUpAll->trigger();
    EXPECT_TRUE(fs::exists(BackUpFile(1, kMarch1)));
    EXPECT_EQ(Window->SysParaInfo().LastBackUpDate.Utf8(), "");
    EXPECT_EQ(StoredText(*Window, kParaLastBackUpDate), "");
}

TEST_F(MainBackUp, BackUpAllSkipsANeverSampledStationAndClearsTheReportItWasShowing) {
    Sample(1, At(kMarch1, 8));
    Select(*Window, 1);
    Query(At(kMarch1, 7), At(kMarch1, 9));
    ASSERT_EQ(ReportRows(*Window), 1);

    Window->Actions().TreeBackUpAll->trigger();
    EXPECT_FALSE(fs::exists(BackUpFile(1, kMarch1)));
    EXPECT_FALSE(fs::exists(Dir.Path() + "data/1/HistoryData.dt"));
    EXPECT_EQ(SampleCount(BackUpFile(2, kMarch1)), 1u);
    // The rows shown stay until the station is selected again.
    EXPECT_EQ(ReportRows(*Window), 1);
    // Selecting the station again shows it has no result any more.
    Select(*Window, 0);
    Select(*Window, 1);
    EXPECT_EQ(ReportRows(*Window), 0);
    EXPECT_TRUE(Log.Messages().isEmpty());
}

TEST_F(MainBackUp, ABackUpDirectoryThatCannotBeCreatedChangesNothingSilently) {
    Sample(0, At(kMarch1, 8));
    { std::ofstream(Dir.File("occupied")) << "x"; }
    Window->SysParaInfo().BackUpPath.AssignUtf8(Dir.File("occupied") + "/backup");
    Select(*Window, 0);
    Window->BackUpClick();
    Window->BackUpAllClick();
    EXPECT_TRUE(Log.Messages().isEmpty());
    EXPECT_NE(StationAt(*Window, 0).HistoryMgr, nullptr);
    Sample(0, At(kMarch1, 9));
    EXPECT_EQ(SampleCount(LiveFile(1)), 2u);
}

TEST_F(MainBackUp, TheTimerRunsHourlyOnlyWithAutomaticBackUpAndItsFirstTickRecordsTheDay) {
    EXPECT_EQ(Window->BackUpTimer().interval(), 3600000);
    EXPECT_FALSE(Window->BackUpTimer().isActive());
    // Off: a tick does nothing.
    Sample(0, At(kMarch1, 8));
    Window->BackUpTimerTimer();
    EXPECT_EQ(StoredText(*Window, kParaLastBackUpDate), "");

    Window->SysParaInfo().IsBackUp = true;
    Window->SysParaInfo().BackUpInterval = 0;
    Window->ApplyTimers();
    EXPECT_TRUE(Window->BackUpTimer().isActive());

    Window->BackUpTimerTimer();
    EXPECT_EQ(Window->SysParaInfo().LastBackUpDate.Utf8(), "2024-3-1");
    EXPECT_EQ(StoredText(*Window, kParaLastBackUpDate), "2024-3-1");
    EXPECT_FALSE(fs::exists(Dir.Path() + "backup"));
    EXPECT_TRUE(fs::exists(LiveFile(1)));

    // Interval 0: the first tick of the next day backs up every station.
    Sample(1, At(kMarch1, 20));
    Today = At(kMarch2, 0);
    Window->BackUpTimerTimer();
    EXPECT_EQ(SampleCount(BackUpFile(1, kMarch2)), 1u);
    EXPECT_EQ(SampleCount(BackUpFile(2, kMarch2)), 1u);
    EXPECT_EQ(StoredText(*Window, kParaLastBackUpDate), "2024-3-2");
    // The stored day reads back at the next start.
    Window.reset();
    Window = StartWindow(Dir);
    EXPECT_EQ(Window->SysParaInfo().LastBackUpDate.Utf8(), "2024-3-2");
    EXPECT_FALSE(Window->BackUpTimer().isActive());
}

TEST(MainBackUpStartup, AStoredAutomaticBackUpStartsTheTimer) {
    TProgramDir dir;
    dir.MissingPort(1);
    RegisterStations(dir, {{1, 1, "1号主变", "温控器A"}});
    {
        TSysParaDbMgr mgr(SysParaFileName(dir.Path()), false);
        std::vector<TSysParaItem> list;
        TSysParaInfo info;
        LoadSysParas(mgr, list, info, dir.Path());
        WritePara(mgr, list, kParaIsBackUp, kBackUpOn, "");
    }
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    EXPECT_TRUE(window->SysParaInfo().IsBackUp);
    EXPECT_TRUE(window->BackUpTimer().isActive());
    EXPECT_EQ(window->BackUpTimer().interval(), 3600000);
}

// A history file with room for 256 samples: nearly full from 231 on.
constexpr int64_t kRoomFor256 = 6246 + 256 * 28;

// `count` samples of station 1, stored by an earlier run.
void Prefill(const std::string& fileName, int count) {
    THisInfoDbMgr mgr(fileName, false);
    for (int n = 0; n < count; ++n) mgr.AddReading(1, 50, 51, 52, 0, 0, kMarch1 + n / 1440.0);
}

TEST_F(MainBackUp, ANearlyFullHistoryFileIsShownInABoxOnceADay) {
    Window->SetHistoryFileLimitForTest(kRoomFor256);
    Prefill(LiveFile(1), 230);
    const QString warning =
        QStringLiteral("设备“1号主变”的历史数据文件已达到容量上限的90%，请尽快备份！");
    Sample(0, At(kMarch1, 8));
    EXPECT_EQ(Log.Messages(), QStringList({warning}));
    Sample(0, At(kMarch1, 9));
    EXPECT_EQ(Log.Messages().size(), 1);
    Sample(0, At(kMarch2, 8));
    EXPECT_EQ(Log.Messages(), QStringList({warning, warning}));
    EXPECT_EQ(SampleCount(LiveFile(1)), 233u);
}

// With "系统自动备份" the file goes to the backup directory at once, the
// other stations' backup day stays, and recording goes on in a new file.
TEST_F(MainBackUp, ANearlyFullHistoryFileIsBackedUpAtOnceWithAutomaticBackUp) {
    Window->SetHistoryFileLimitForTest(kRoomFor256);
    Window->SysParaInfo().IsBackUp = true;
    Window->SysParaInfo().LastBackUpDate.AssignUtf8("2024-2-20");
    Prefill(LiveFile(1), 230);
    Sample(0, At(kMarch1, 8));
    EXPECT_EQ(SampleCount(BackUpFile(1, kMarch1)), 231u);
    EXPECT_FALSE(fs::exists(LiveFile(1)));
    Sample(0, At(kMarch1, 9));
    EXPECT_EQ(SampleCount(LiveFile(1)), 1u);
    EXPECT_TRUE(Log.Messages().isEmpty());
    EXPECT_EQ(Window->SysParaInfo().LastBackUpDate.Utf8(), "2024-2-20");
}

TEST_F(MainBackUp, BackUpQueryMakesOneViewerKeptAcrossCloseAndShownFromBothPlaces) {
    EXPECT_EQ(Window->BackUpViewer(), nullptr);
    Window->Actions().BackUpQuery->trigger();
    TBackUpLocationForm* viewer = Window->BackUpViewer();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    EXPECT_TRUE(viewer->isWindow());
    EXPECT_FALSE(viewer->isModal());
    EXPECT_EQ(viewer->windowTitle(), "BackUpLocationForm");

    viewer->close();
    EXPECT_FALSE(viewer->isVisible());
    EXPECT_EQ(Window->BackUpViewer(), viewer);

    auto* button = Window->HistoryPanel()->findChild<QPushButton*>("BackUpQueryButton");
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "备份查询...");
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(Window->BackUpViewer(), viewer);
    EXPECT_TRUE(viewer->isVisible());

    // Once destroyed it is forgotten, and the next use makes a new one.
    delete viewer;
    EXPECT_EQ(Window->BackUpViewer(), nullptr);
    Window->BackUpQueryClick();
    EXPECT_NE(Window->BackUpViewer(), nullptr);
}

TEST_F(MainBackUp, TheViewerOpensABackUpTheWindowMade) {
    Sample(0, At(kMarch1, 8));
    Sample(0, At(kMarch1, 9));
    Select(*Window, 0);
    Window->BackUpClick();
    Window->BackUpQueryClick();
    TBackUpLocationForm* viewer = Window->BackUpViewer();
    viewer->SetOpenFileDialog([this](QWidget*, const QString&) {
        return QString::fromStdString(BackUpFile(1, kMarch1));
    });
    QTest::mouseClick(viewer->OpenFileButton(), Qt::LeftButton);
    ASSERT_TRUE(viewer->FileOpened());
    viewer->HistoryPanel()->SetBeginTime(kMarch1);
    viewer->HistoryPanel()->SetEndTime(kMarch2);
    viewer->QueryButtonClick();
    ASSERT_TRUE(querytest::QueryEnded(*viewer->HistoryPanel()));
    EXPECT_EQ(viewer->Results().size(), 2u);
}

// The settings command: the dialog runs modally on the window's settings, and
// a save re-applies the timers.
class MainSettings : public MainBackUp {
  protected:
    // Runs the command; `answer` fills the dialog and clicks a button.
    void RunSettings(const std::function<void(TSetParaForm&)>& answer) {
        int runs = 0;
        TScopedModalRunner runner([&](QDialog& dialog) {
            auto* form = qobject_cast<TSetParaForm*>(&dialog);
            if (form == nullptr) {
                ADD_FAILURE() << "unexpected dialog " << dialog.objectName().toStdString();
                return static_cast<int>(QDialog::Rejected);
            }
            ++runs;
            EXPECT_EQ(form->parentWidget(), Window.get());
            form->show();
            answer(*form);
            EXPECT_FALSE(form->isVisible());
            return form->result();
        });
        Window->Actions().Settings->trigger();
        EXPECT_EQ(runs, 1);
    }
};

TEST_F(MainSettings, ASaveSetsTheScanIntervalKeepingWhetherItRunsAndSwitchesTheBackUpTimer) {
    ASSERT_TRUE(Window->ScanCycle()->IsScanning());
    RunSettings([](TSetParaForm& form) {
        EXPECT_EQ(form.ScanIntervalEdit()->text(), "60");
        form.ScanIntervalEdit()->setText("5");
        form.IsBackUpCheckBox()->setChecked(true);
        QTest::mouseClick(form.OKButton(), Qt::LeftButton);
    });
    EXPECT_EQ(Window->SysParaInfo().ScanInterval, 5000);
    EXPECT_EQ(Window->ScanCycle()->ScanInterval(), 5000);
    EXPECT_TRUE(Window->ScanCycle()->IsScanning());
    EXPECT_TRUE(Window->BackUpTimer().isActive());

    Window->StopScanClick();
    RunSettings([](TSetParaForm& form) {
        EXPECT_EQ(form.ScanIntervalEdit()->text(), "5");
        EXPECT_TRUE(form.IsBackUpCheckBox()->isChecked());
        form.ScanIntervalEdit()->setText("7");
        form.IsBackUpCheckBox()->setChecked(false);
        QTest::mouseClick(form.OKButton(), Qt::LeftButton);
    });
    EXPECT_EQ(Window->ScanCycle()->ScanInterval(), 7000);
    EXPECT_FALSE(Window->ScanCycle()->IsScanning());
    EXPECT_FALSE(Window->BackUpTimer().isActive());
    EXPECT_TRUE(Log.Messages().isEmpty());
}

TEST_F(MainSettings, AFailedCheckOrCancelLeavesTheTimersAsTheyWere) {
    RunSettings([](TSetParaForm& form) {
        form.ScanIntervalEdit()->setText("0");
        form.IsBackUpCheckBox()->setChecked(true);
        QTest::mouseClick(form.OKButton(), Qt::LeftButton);
        // Still open with what was typed; the operator gives up.
        EXPECT_TRUE(form.isVisible());
        EXPECT_EQ(form.ScanIntervalEdit()->text(), "0");
        EXPECT_TRUE(form.IsBackUpCheckBox()->isChecked());
        QTest::mouseClick(form.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(Log.Messages(), QStringList{"扫描时间间隔太短或太长！"});
    RunSettings([](TSetParaForm& form) {
        form.ScanIntervalEdit()->setText("9");
        form.IsBackUpCheckBox()->setChecked(true);
        QTest::mouseClick(form.CancelButton(), Qt::LeftButton);
    });
    EXPECT_EQ(Window->ScanCycle()->ScanInterval(), 60000);
    EXPECT_EQ(Window->SysParaInfo().ScanInterval, 60000);
    EXPECT_FALSE(Window->BackUpTimer().isActive());
}

TEST_F(MainSettings, TheSettingsSavedPointTheBackUpsAtTheNewDirectory) {
    const std::string dir = Dir.Path() + "elsewhere/backups";
    RunSettings([&](TSetParaForm& form) {
        form.BackUpPathEdit()->setText(QString::fromStdString(dir));
        QTest::mouseClick(form.OKButton(), Qt::LeftButton);
    });
    Sample(0, At(kMarch1, 8));
    Select(*Window, 0);
    Window->BackUpClick();
    EXPECT_EQ(SampleCount(dir + "/1/2024-3-1.dt"), 1u);
    EXPECT_EQ(StoredText(*Window, kParaBackUpPath), dir);
}
