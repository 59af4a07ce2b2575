// The commands of the main window and the selection rules of the tree.

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/ColourRadioButton.h"
#include "app/LiveView.h"
#include "app/MainForm.h"
#include "app/StationNode.h"
#include "app/WindowTestSupport.h"
#include "dialogs/AddDeviceFrm.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/QueryTestSupport.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/PtyPair.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"

namespace {

// Two stations on working ports and one on a missing port.
class MainCommands : public ::testing::Test {
  protected:
    MainCommands() {
        Dir.LinkPort(1, Pty1.SlavePath());
        Dir.LinkPort(2, Pty2.SlavePath());
        Dir.MissingPort(3);
        RegisterStations(Dir, {{1, 1, "1号主变", "温控器A"},
                               {2, 2, "2号主变", "温控器B"},
                               {3, 3, "3号主变", "温控器C"}});
        Window = StartWindow(Dir);
        // The start-up's relay pass.
        Pty1.Read(kRequestSize);
        Pty2.Read(kRequestSize);
    }

    const TMainActions& Actions() { return Window->Actions(); }
    // Reconnect, disconnect and delete of the menu bar and tool bar.
    std::vector<bool> StationCommands() {
        EXPECT_EQ(Actions().ModifyDevice->isEnabled(), Actions().DeleteDevice->isEnabled());
        return {Actions().Reconnect->isEnabled(), Actions().Disconnect->isEnabled(),
                Actions().DeleteDevice->isEnabled()};
    }

    TProgramDir Dir;
    TPtyPair Pty1;
    TPtyPair Pty2;
    TMessageLog Log;
    std::unique_ptr<TMainForm> Window;
};

}  // namespace

TEST_F(MainCommands, SelectionEnablesTheStationCommandsByState) {
    Select(*Window, 0);
    EXPECT_EQ(StationCommands(), std::vector<bool>({true, false, true}));
    Select(*Window, -1);
    EXPECT_EQ(StationCommands(), std::vector<bool>({false, false, false}));
    Select(*Window, 0);
    // An accepted reply of the selected station refreshes the commands.
    Deliver(*Window, StationAt(*Window, 0), RelayReply(1, 0));
    EXPECT_EQ(StationCommands(), std::vector<bool>({false, true, true}));
    Window->StationTreeView()->setCurrentItem(nullptr);
    EXPECT_EQ(StationCommands(), std::vector<bool>({false, false, false}));
    // The pop-up's items are never disabled.
    for (QAction* item : Window->TreePopupMenu()->actions()) EXPECT_TRUE(item->isEnabled());
}

TEST_F(MainCommands, StartAndStopSwitchTheirItemsAndStartRunsNoPassAtOnce) {
    // Run the armed temperature pass now, so nothing is pending; the port
    // must have reported its relay request written first, or the pass finds
    // it busy (the notification can lag on a loaded machine).
    ASSERT_TRUE(QTest::qWaitFor([&] { return StationAt(*Window, 0).Port->SendIdle(); }, 10000));
    Window->ScanCycle()->ScanTimer2Timer();
    EXPECT_EQ(Pty1.Read(kRequestSize).size(), kRequestSize);
    Window->StopScanClick();
    EXPECT_TRUE(Actions().StartScan->isEnabled());
    EXPECT_FALSE(Actions().StopScan->isEnabled());
    EXPECT_FALSE(Window->ScanCycle()->IsScanning());

    Window->StartScanClick();
    EXPECT_FALSE(Actions().StartScan->isEnabled());
    EXPECT_TRUE(Actions().StopScan->isEnabled());
    EXPECT_TRUE(Window->ScanCycle()->IsScanning());
    // A relay pass would have armed the temperature pass and sent a request.
    EXPECT_FALSE(Window->ScanCycle()->IsTemperaturePassArmed());
    EXPECT_TRUE(Pty1.Read(1, std::chrono::milliseconds(300)).empty());
}

TEST_F(MainCommands, ReconnectSetsConnectingAndShowsIt) {
    Select(*Window, 2);
    EXPECT_EQ(Window->CommStateLabel()->text(), "打开端口出错");
    // The port is tried again; it is still missing.
    Window->ReconnectClick();
    EXPECT_EQ(StationAt(*Window, 2).State, kStateOpenError);
    EXPECT_EQ(Window->CommStateLabel()->text(), "打开端口出错");
    EXPECT_EQ(StationCommands(), std::vector<bool>({true, false, true}));
    // Once the port is there, reconnecting opens it.
    TPtyPair pty3;
    Dir.LinkPort(3, pty3.SlavePath());
    Window->ReconnectClick();
    EXPECT_EQ(StationAt(*Window, 2).State, kStateConnecting);
    EXPECT_TRUE(StationAt(*Window, 2).Port->WorkersAlive());
    EXPECT_EQ(Window->CommStateLabel()->text(), "正在连接...");
    EXPECT_EQ(StationCommands(), std::vector<bool>({true, false, true}));
    const uint8_t probe[] = {3, 1, 0, 0, 0, 4};
    ASSERT_TRUE(StationAt(*Window, 2).Port->SendData(probe, sizeof probe));
    EXPECT_EQ(pty3.Read(sizeof probe).size(), sizeof probe);
    StationAt(*Window, 2).Port->ClosePort();

    // The pop-up's reconnect changes the state only.
    Select(*Window, 1);
    Deliver(*Window, StationAt(*Window, 1), RelayReply(2, 0));
    Window->TreeReconnectClick();
    EXPECT_EQ(StationAt(*Window, 1).State, kStateConnecting);
    EXPECT_EQ(Window->CommStateLabel()->text(), "已连接");
    EXPECT_EQ(StationCommands(), std::vector<bool>({false, true, true}));

    // Nothing happens on the root.
    Select(*Window, -1);
    Window->ReconnectClick();
    Window->TreeReconnectClick();
    EXPECT_EQ(StationAt(*Window, 0).State, kStateDisconnected);
}

TEST_F(MainCommands, DisconnectResetsTheLiveViewKeepsColoursAndThePort) {
    Select(*Window, 0);
    TStationState& station = StationAt(*Window, 0);
    Deliver(*Window, station, RelayReply(1, 0x0A));
    Deliver(*Window, station, TemperatureReply(1, 65, 66, 67, 0));
    ASSERT_EQ(Window->LiveView()->TempRow(0).Edit->text(), "25");

    Window->DisconnectClick();
    EXPECT_EQ(station.State, kStateManualDisconnect);
    EXPECT_EQ(Window->CommStateLabel()->text(), "手动断开");
    EXPECT_EQ(StationCommands(), std::vector<bool>({true, false, true}));
    const TLiveViewPage& view = *Window->LiveView();
    for (size_t i = 0; i < kTempRowCount; ++i) {
        EXPECT_EQ(view.TempRow(i).Edit->text(), "未知");
        EXPECT_TRUE(view.TempRow(i).Unknown->isChecked());
        EXPECT_EQ(view.TempRow(i).Normal->Colour(), clLime);
    }
    for (size_t i = 0; i < kRelayRowCount; ++i) EXPECT_TRUE(view.RelayRow(i).Unknown->isChecked());
    EXPECT_EQ(view.RelayRow(1).Set->Colour(), clRed);
    EXPECT_TRUE(station.Port->IsOpen());

    // A disconnected station is not polled.
    Window->ScanCycle()->ScanTimer2Timer();
    Window->ScanCycle()->ScanTimerTimer();
    EXPECT_TRUE(Pty1.Read(1, std::chrono::milliseconds(300)).empty());
}

TEST_F(MainCommands, DeleteRemovesNodeRecordHistoryFileAndDirectoryButKeepsBackups) {
    Select(*Window, 1);
    TStationState& station = StationAt(*Window, 1);
    Deliver(*Window, station, TemperatureReply(2, 65, 66, 67, 0));
    ASSERT_TRUE(Dir.Exists("data/2/HistoryData.dt"));
    Window->HistoryPanel()->SetBeginTime(Now() - 1);
    Window->HistoryPanel()->SetEndTime(Now() + 1);
    Window->Button1Click();
    ASSERT_TRUE(querytest::QueryEnded(*Window->HistoryPanel()));
    ASSERT_EQ(ReportRows(*Window), 1);
    std::filesystem::create_directories(Dir.File("backup/2"));
    std::ofstream(Dir.File("backup/2/2006-2-24.dt")) << "backup";

    Window->DeleteDeviceClick();

    ASSERT_EQ(Window->NodeCount(), 3);
    EXPECT_EQ(Window->RootNode()->child(0)->text(0), "1号主变");
    EXPECT_EQ(Window->RootNode()->child(1)->text(0), "3号主变");
    EXPECT_FALSE(Dir.Exists("data/2/HistoryData.dt"));
    EXPECT_FALSE(Dir.Exists("data/2"));
    EXPECT_TRUE(Dir.Exists("backup/2/2006-2-24.dt"));
    std::vector<TStationInfo> stored;
    Window->StationMgr()->ListStations(stored);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].TmpAddr, 1);
    EXPECT_EQ(stored[1].TmpAddr, 3);
    ASSERT_EQ(Window->StationList().size(), 2u);
    EXPECT_EQ(Window->StationList()[1]->TmpAddr, 3);
    // The report no longer shows the deleted station's rows.
    EXPECT_EQ(ReportRows(*Window), 0);
    EXPECT_TRUE(Log.Messages().isEmpty());

    // Its port was closed: a new station may take the line.
    TComm again;
    again.SetCommName("COM2");
    EXPECT_NO_THROW(again.OpenPort());
    again.ClosePort();
}

TEST_F(MainCommands, DeleteOnTheRootOrWithoutSelectionDoesNothing) {
    Select(*Window, -1);
    Window->DeleteDeviceClick();
    Window->StationTreeView()->setCurrentItem(nullptr);
    Window->DeleteDeviceClick();
    EXPECT_EQ(Window->NodeCount(), 4);
    std::vector<TStationInfo> stored;
    Window->StationMgr()->ListStations(stored);
    EXPECT_EQ(stored.size(), 3u);
}

TEST_F(MainCommands, PopUpDeleteSharesTheHandler) {
    Select(*Window, 2);
    Window->Actions().TreeDeleteDevice->trigger();
    EXPECT_EQ(Window->NodeCount(), 3);
    // A deleted station's address can be added again.
    TScopedModalRunner runner([](QDialog& dialog) {
        auto& form = dynamic_cast<TAddDeviceForm&>(dialog);
        EXPECT_EQ(form.DeviceNo(), 3);
        form.TmpAddrEdit()->setText("3");
        form.StationPosNameEdit()->setText("新位置");
        form.DevNameEdit()->setText("新设备");
        form.AddStationButtonClick();
        return static_cast<int>(QDialog::Rejected);
    });
    Window->Actions().TreeAddDevice->trigger();
    EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join('|').toStdString();
    ASSERT_EQ(Window->NodeCount(), 4);
    EXPECT_EQ(Window->RootNode()->child(2)->text(0), "新位置");
    EXPECT_EQ(Window->StationList().size(), 3u);
}

TEST_F(MainCommands, AddedStationsArePolledFromTheNextPass) {
    TPtyPair pty4;
    Dir.LinkPort(4, pty4.SlavePath());
    TScopedModalRunner runner([](QDialog& dialog) {
        auto& form = dynamic_cast<TAddDeviceForm&>(dialog);
        form.TmpAddrEdit()->setText("40");
        form.StationPosNameEdit()->setText("4号主变");
        form.DevNameEdit()->setText("温控器D");
        form.PortNameComboBox()->setCurrentIndex(3);
        form.AddStationButtonClick();
        return static_cast<int>(QDialog::Rejected);
    });
    EXPECT_TRUE(Window->AddDeviceClick());
    ASSERT_EQ(Window->NodeCount(), 5);
    Window->ScanCycle()->ScanTimer2Timer();
    TBytes request(kRequestSize);
    BuildReadInputRegs(40, request.data());
    EXPECT_EQ(pty4.Read(kRequestSize), request);
    // Its replies reach the window's receive handler.
    Select(*Window, 3);
    ASSERT_TRUE(pty4.Write(RelayReply(40, 0x02)));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return StationAt(*Window, 3).State == kStateConnected; }, 10000));
    EXPECT_EQ(Window->CommStateLabel()->text(), "已连接");
}

TEST_F(MainCommands, ApplyTimersFollowsTheSettingsAndKeepsScanning) {
    Window->SysParaInfo().ScanInterval = 5000;
    Window->SysParaInfo().IsBackUp = true;
    Window->ApplyTimers();
    EXPECT_EQ(Window->ScanCycle()->ScanInterval(), 5000);
    EXPECT_TRUE(Window->ScanCycle()->IsScanning());
    EXPECT_TRUE(Window->BackUpTimer().isActive());
    Window->StopScanClick();
    Window->SysParaInfo().IsBackUp = false;
    Window->ApplyTimers();
    EXPECT_FALSE(Window->ScanCycle()->IsScanning());
    EXPECT_FALSE(Window->BackUpTimer().isActive());
}

TEST_F(MainCommands, ExitClosesTheWindow) {
    Window->show();
    ASSERT_TRUE(Window->isVisible());
    Window->Actions().Exit->trigger();
    EXPECT_FALSE(Window->isVisible());
}

TEST_F(MainCommands, ARecordingErrorIsReportedOnceAndTheStationKeepsRunning) {
    // A file where the station's history directory should be.
    std::filesystem::create_directories(Dir.File("data"));
    std::ofstream(Dir.File("data/1")) << "in the way";
    Select(*Window, 0);
    TStationState& station = StationAt(*Window, 0);
    Deliver(*Window, station, TemperatureReply(1, 65, 66, 67, 0));
    Deliver(*Window, station, TemperatureReply(1, 70, 66, 67, 0));
    EXPECT_EQ(Log.Messages().size(), 1);
    EXPECT_EQ(station.State, kStateConnected);
    EXPECT_EQ(station.RawTemp[0], 70);
    EXPECT_FALSE(station.HistoryMgr);

    // While it lasts the node and the status bar say so.
    QLabel* label = Window->RecordingStateLabel();
    EXPECT_FALSE(label->isHidden());
    EXPECT_TRUE(label->text().startsWith(QStringLiteral("记录失败：")));
    EXPECT_TRUE(label->text().contains(QString::fromStdString(station.RecordingFailure)));
    EXPECT_FALSE(NodeAt(*Window, 0).icon(0).isNull());
    EXPECT_TRUE(NodeAt(*Window, 0).toolTip(0).startsWith(QStringLiteral("记录失败：")));

    // Once the way is clear, recording resumes with every waiting sample.
    std::filesystem::remove(Dir.File("data/1"));
    Deliver(*Window, station, TemperatureReply(1, 71, 66, 67, 0));
    EXPECT_TRUE(Dir.Exists("data/1/HistoryData.dt"));
    EXPECT_EQ(Log.Messages().size(), 1);
    EXPECT_EQ(station.HistoryMgr->RecordCount(), 3);
    EXPECT_TRUE(label->isHidden());
    EXPECT_TRUE(NodeAt(*Window, 0).icon(0).isNull());
    EXPECT_TRUE(NodeAt(*Window, 0).toolTip(0).isEmpty());
}

// A recording failure that comes while another report's box is open is not
// lost to the log: it is shown once that box is closed, and failures of
// several stations then come in one box.
TEST_F(MainCommands, ARecordingFailureDuringAnotherBoxIsShownWhenItCloses) {
    std::filesystem::create_directories(Dir.File("data"));
    std::ofstream(Dir.File("data/1")) << "in the way";
    TStationState& station = StationAt(*Window, 0);
    QStringList shown;
    TScopedMessageHandler handler([&](QWidget*, const QString& text) {
        shown << text;
        if (shown.size() == 1) Deliver(*Window, station, TemperatureReply(1, 65, 66, 67, 0));
    });
    Window->ReportError("a port error");
    ASSERT_EQ(shown.size(), 2);
    EXPECT_EQ(shown[0], QStringLiteral("a port error"));
    EXPECT_EQ(shown[1].toStdString(), station.RecordingFailure);
}

// "修改设备" moves station 2 onto station 1's line under a new position
// name: the node and the status bar follow, the record keeps its id, and
// the history file stays with its samples.
TEST_F(MainCommands, ModifyingAStationKeepsItsHistoryAndPutsItOnItsNewLine) {
    Select(*Window, 1);
    TStationState& second = StationAt(*Window, 1);
    Deliver(*Window, second, TemperatureReply(2, 70, 71, 72, 0));
    ASSERT_TRUE(Dir.Exists("data/2/HistoryData.dt"));
    const int32_t recordId = second.Station->RecordId;

    TScopedModalRunner runner([](QDialog& dialog) {
        auto& form = dynamic_cast<TAddDeviceForm&>(dialog);
        EXPECT_EQ(form.windowTitle(), "修改设备");
        EXPECT_EQ(form.DeviceNo(), 2);
        form.StationPosNameEdit()->setText("二号变");
        form.PortNameComboBox()->setCurrentIndex(0);
        form.AddStationButtonClick();
        return dialog.result();
    });
    Window->Actions().ModifyDevice->trigger();
    EXPECT_TRUE(Log.Messages().isEmpty()) << Log.Messages().join('|').toStdString();

    EXPECT_EQ(Window->RootNode()->child(1)->text(0), "二号变");
    EXPECT_EQ(Window->NodeCount(), 4);
    EXPECT_EQ(second.Station->RecordId, recordId);
    EXPECT_EQ(second.Station->PortNo, 1);
    EXPECT_EQ(second.Port, StationAt(*Window, 0).Port);
    std::vector<TStationInfo> stored;
    Window->StationMgr()->ListStations(stored);
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[1].StationPosName.Utf8(), "二号变");
    ASSERT_TRUE(Dir.Exists("data/2/HistoryData.dt"));
    second.HistoryMgr.reset();
    THisInfoDbMgr history(Dir.File("data/2/HistoryData.dt"), false);
    EXPECT_EQ(history.RecordCount(), 1);

    // COM2 was closed with its last station gone: it opens again.
    TComm again;
    again.SetCommName("COM2");
    EXPECT_NO_THROW(again.OpenPort());
    again.ClosePort();
}

// What the window shows must be true of the station shown: colours, commands
// and the selection after a delete.
TEST_F(MainCommands, SwitchingToAStationNotConnectedLeavesNoColourOfTheStationBefore) {
    Select(*Window, 0);
    // Alarm and trip set, fan running: three red affirmative buttons.
    Deliver(*Window, StationAt(*Window, 0), RelayReply(1, kRelayFan | kRelayAlarm | kRelayTrip));
    Deliver(*Window, StationAt(*Window, 0), TemperatureReply(1, 65, 300, 67, 0));
    const TLiveViewPage& view = *Window->LiveView();
    ASSERT_EQ(view.RelayRow(3).Set->Colour(), clRed);
    ASSERT_EQ(view.TempRow(1).Fault->Colour(), clRed);

    // The disconnect command keeps the shown station's colours.
    Window->DisconnectClick();
    EXPECT_EQ(view.RelayRow(3).Set->Colour(), clRed);
    EXPECT_EQ(view.TempRow(1).Fault->Colour(), clRed);
    EXPECT_TRUE(view.RelayRow(3).Unknown->isChecked());

    // Station 3 never answered: nothing of station 1 may show on it.
    Select(*Window, 2);
    for (size_t i = 0; i < kRelayRowCount; ++i) {
        EXPECT_EQ(view.RelayRow(i).Set->Colour(), clBtnFace()) << i;
        EXPECT_EQ(view.RelayRow(i).Clear->Colour(), clBtnFace()) << i;
        EXPECT_TRUE(view.RelayRow(i).Unknown->isChecked()) << i;
    }
    for (size_t i = 0; i < kTempRowCount; ++i) {
        EXPECT_EQ(view.TempRow(i).Normal->Colour(), clBtnFace()) << i;
        EXPECT_EQ(view.TempRow(i).Fault->Colour(), clBtnFace()) << i;
    }
}

TEST_F(MainCommands, APassThatSilencesTheSelectedStationRefreshesTheConnectionCommands) {
    Select(*Window, 0);
    Deliver(*Window, StationAt(*Window, 0), RelayReply(1, 0));
    ASSERT_EQ(StationCommands(), std::vector<bool>({false, true, true}));

    // Silent for longer than the offline limit: the next pass declares it
    // absent, and reconnecting is offered at once.
    const TDateTime later = StationAt(*Window, 0).RefTime + 1.0 / 24;
    Window->ScanCycle()->SetOfflineClock([later] { return later; });
    Window->ScanCycle()->ScanTimer2Timer();
    ASSERT_EQ(StationAt(*Window, 0).State, kStateAbsent);
    EXPECT_EQ(Window->CommStateLabel()->text(), "终端不存在");
    EXPECT_EQ(StationCommands(), std::vector<bool>({true, false, true}));
}

TEST_F(MainCommands, AfterADeleteNothingIsSelectedSoASecondClickDeletesNothing) {
    Select(*Window, 0);
    Window->Actions().DeleteDevice->trigger();
    ASSERT_EQ(Window->NodeCount(), 3);
    EXPECT_EQ(Window->StationTreeView()->currentItem(), nullptr);
    EXPECT_TRUE(Window->StationTreeView()->selectedItems().isEmpty());
    EXPECT_EQ(StationCommands(), std::vector<bool>({false, false, false}));

    // The second click of a double click, from the tool bar and the pop-up.
    Window->Actions().DeleteDevice->trigger();
    Window->Actions().TreeDeleteDevice->trigger();
    EXPECT_EQ(Window->NodeCount(), 3);
    std::vector<TStationInfo> stored;
    Window->StationMgr()->ListStations(stored);
    EXPECT_EQ(stored.size(), 2u);

    // Picking a station enables delete and modify again.
    Select(*Window, 1);
    EXPECT_EQ(StationCommands()[2], true);
}

TEST_F(MainCommands, ToolBarCaptionsKeepTheirEllipsisAndMnemonic) {
    auto* tools = Window->findChild<QToolBar*>(QStringLiteral("ToolBar1"));
    ASSERT_NE(tools, nullptr);
    const std::vector<std::pair<QAction*, QString>> expected = {
        {Actions().StartScan, "启动扫描(&R)"},
        {Actions().StopScan, "停止扫描(&S)"},
        {Actions().AddDevice, "增加设备(&E)..."},
        {Actions().DeleteDevice, "删除设备(&D)"},
        {Actions().Reconnect, "重新连接(&R)"},
        {Actions().Disconnect, "断开连接(&Z)"},
        {Actions().Exit, "退出(&X)"},
    };
    for (const auto& [action, caption] : expected) {
        auto* button = qobject_cast<QToolButton*>(tools->widgetForAction(action));
        ASSERT_NE(button, nullptr) << caption.toStdString();
        EXPECT_EQ(button->text(), caption);
        // The menu keeps the same text.
        EXPECT_EQ(action->text(), caption);
    }
}
