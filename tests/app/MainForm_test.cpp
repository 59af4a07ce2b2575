// Start-up and shut-down of the main window.

#include "app/MainForm.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QToolBar>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/PortSettingsView.h"
#include "app/StationNode.h"
#include "app/WindowTestSupport.h"
#include "dialogs/AddDeviceFrm.h"
#include "engine/VeltFormat.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/Comm.h"
#include "serial/PtyPair.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"

namespace {

TBytes ReadCoilsFor(uint8_t address) {
    TBytes request(kRequestSize);
    BuildReadCoils(address, request.data());
    return request;
}

QStringList Captions(const QList<QAction*>& actions) {
    QStringList captions;
    for (QAction* action : actions) captions << (action->isSeparator() ? "-" : action->text());
    return captions;
}

void WriteGarbage(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "this is not a database file at all, only text";
}

}  // namespace

TEST(MainFormStartup, EmptyDirectoryCreatesTheTablesRunsTheDialogAndEndsOnCancel) {
    TProgramDir dir;
    TMessageLog log;
    int runs = 0;
    int deviceNo = -1;
    TScopedModalRunner runner([&](QDialog& dialog) {
        ++runs;
        auto* form = qobject_cast<TAddDeviceForm*>(&dialog);
        EXPECT_NE(form, nullptr);
        if (form != nullptr) deviceNo = form->DeviceNo();
        return static_cast<int>(QDialog::Rejected);
    });
    TMainForm window(dir.Path());

    EXPECT_TRUE(window.TerminateRequested());
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(deviceNo, 1);  // the root is node 1
    EXPECT_TRUE(dir.Exists("data/station.dt"));
    EXPECT_TRUE(dir.Exists("syspara/para.dt"));
    EXPECT_TRUE(log.Messages().isEmpty());
    EXPECT_EQ(window.NodeCount(), 1);
}

TEST(MainFormStartup, FirstStartWithADeviceAddedWritesTheSixDefaultsAndScans) {
    TProgramDir dir;
    dir.MissingPort(1);
    TMessageLog log;
    TScopedModalRunner runner([&](QDialog& dialog) {
        auto& form = dynamic_cast<TAddDeviceForm&>(dialog);
        form.TmpAddrEdit()->setText("1");
        form.StationPosNameEdit()->setText("1号主变");
        form.DevNameEdit()->setText("温控器A");
        form.AddStationButtonClick();
        return static_cast<int>(QDialog::Rejected);
    });
    TMainForm window(dir.Path());

    ASSERT_FALSE(window.TerminateRequested());
    EXPECT_TRUE(log.Messages().isEmpty());
    EXPECT_EQ(window.NodeCount(), 2);
    EXPECT_EQ(window.RootNode()->child(0)->text(0), "1号主变");
    EXPECT_EQ(StationAt(window, 0).State, kStateOpenError);

    TSysParaDbMgr paras(SysParaFileName(dir.Path()));
    std::vector<TSysParaItem> stored;
    paras.ListParas(stored);
    ASSERT_EQ(stored.size(), 6u);
    for (size_t i = 0; i < stored.size(); ++i) {
        EXPECT_EQ(stored[i].RecordId, static_cast<int32_t>(i + 1));
        EXPECT_EQ(stored[i].ParaKey, i);
    }
    const TSysParaInfo& info = window.SysParaInfo();
    EXPECT_EQ(info.ScanInterval, 60000);
    EXPECT_EQ(info.MaxOLTimer, 300000);
    EXPECT_FALSE(info.IsBackUp);
    EXPECT_EQ(info.LastBackUpDate.Utf8(), "");
    EXPECT_EQ(info.BackUpInterval, 30);
    EXPECT_EQ(info.BackUpPath.Utf8(), dir.Path() + "backup");
    EXPECT_EQ(window.ParaList().size(), 6u);

    EXPECT_EQ(window.ScanCycle()->ScanInterval(), 60000);
    EXPECT_TRUE(window.ScanCycle()->IsScanning());
    EXPECT_FALSE(window.BackUpTimer().isActive());
    EXPECT_EQ(window.BackUpTimer().interval(), TMainForm::kBackUpTimerInterval);
    EXPECT_FALSE(window.Actions().StartScan->isEnabled());
    EXPECT_TRUE(window.Actions().StopScan->isEnabled());
}

TEST(MainFormStartup, ATableThatCannotBeOpenedEndsTheProgramWithItsMessage) {
    for (const char* broken : {"data/station.dt", "syspara/para.dt"}) {
        TProgramDir dir;
        WriteGarbage(dir.File(broken));
        TMessageLog log;
        std::unique_ptr<TMainForm> window = StartWindow(dir);
        EXPECT_TRUE(window->TerminateRequested()) << broken;
        EXPECT_EQ(log.Messages(), QStringList({"DISABLE_OPEN_DATABASE_ERROR"})) << broken;
        EXPECT_EQ(window->NodeCount(), 1);
        EXPECT_EQ(window->StationMgr(), nullptr);
    }
}

TEST(MainFormStartup, ADamagedTableIsRebuiltTheOperatorIsToldOnceAndStartUpGoesOn) {
    TProgramDir dir;
    dir.MissingPort(2);
    {
        TStationDbMgr stations(StationFileName(dir.Path()));
        stations.AddStation("温控器A", "1号主变", 1, 2, 5, 3, 0, 0, 0);
        stations.AddStation("温控器B", "2号主变", 2, 2, 5, 3, 0, 0, 0);
    }
    // The first station's deleted flag set, its link left in place: a
    // delete cut short by a power failure, which the engine refuses.
    const std::string file = dir.File("data/station.dt");
    std::vector<uint8_t> bytes;
    {
        std::ifstream in(file, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    const int32_t definition = GetLe32(bytes.data() + kDirectoryOffset + 8);
    bytes[static_cast<size_t>(GetLe32(bytes.data() + definition + 41)) + 1] = 1;
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    TMessageLog log;
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    EXPECT_FALSE(window->TerminateRequested());
    ASSERT_EQ(log.Messages().size(), 1) << log.Messages().join("|").toStdString();
    const QString kept = QString::fromStdString(file) + ".corrupt-";
    EXPECT_TRUE(log.Messages()[0].startsWith(
        QString::fromStdString("站点数据文件 \"" + file +
                               "\" 已损坏：已恢复 1 条记录，原文件保存为 \"") +
        kept))
        << log.Messages()[0].toStdString();
    EXPECT_EQ(window->NodeCount(), 2);
    EXPECT_EQ(window->RootNode()->child(0)->text(0), "2号主变");
    EXPECT_EQ(window->ParaList().size(), 6u);

    // The rebuilt file opens as it is: the next start says nothing.
    window.reset();
    log.Clear();
    window = StartWindow(dir);
    EXPECT_TRUE(log.Messages().isEmpty()) << log.Messages().join("|").toStdString();
    EXPECT_EQ(window->NodeCount(), 2);
}

TEST(MainFormStartup, StationsLoadInOrderAndStationsOnOnePortShareItsLine) {
    TProgramDir dir;
    TPtyPair pty;
    dir.LinkPort(1, pty.SlavePath());
    dir.MissingPort(4);
    RegisterStations(dir, {{1, 1, "1号主变", "温控器A", 7, 3, 0, 0, 2},
                           {2, 1, "2号主变", "温控器B"},
                           {3, 4, "3号主变", "温控器C"}});
    TMessageLog log;
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    ASSERT_FALSE(window->TerminateRequested());
    EXPECT_TRUE(log.Messages().isEmpty());

    ASSERT_EQ(window->NodeCount(), 4);
    EXPECT_EQ(window->RootNode()->text(0), "设备位置");
    const QStringList texts = {window->RootNode()->child(0)->text(0),
                               window->RootNode()->child(1)->text(0),
                               window->RootNode()->child(2)->text(0)};
    EXPECT_EQ(texts, QStringList({"1号主变", "2号主变", "3号主变"}));
    // Both stations on COM1 are polled over its one opening.
    EXPECT_EQ(StationAt(*window, 0).State, kStateDisconnected);
    EXPECT_EQ(StationAt(*window, 1).State, kStateDisconnected);
    EXPECT_EQ(StationAt(*window, 2).State, kStateOpenError);
    EXPECT_EQ(StationAt(*window, 0).Port, StationAt(*window, 1).Port);
    ASSERT_EQ(window->StationList().size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(StationAt(*window, i).Station, window->StationList()[i].get());
        EXPECT_EQ(StationAt(*window, i).Address, i + 1);
    }

    // Only the baud rate comes from the record at start-up.
    TComm& port = *StationAt(*window, 0).Port;
    EXPECT_EQ(port.CommName(), "COM1");
    EXPECT_EQ(port.BaudRate(), 38400u);
    EXPECT_EQ(port.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_FALSE(port.Inx_XonXoffFlow());

    // The first relay pass ran at once: one request, the next one only
    // after the first one's reply time-out.
    EXPECT_EQ(pty.Read(kRequestSize), ReadCoilsFor(1));
    TBytes next;
    const auto readSome = [&] {
        const TBytes got = pty.Read(kRequestSize - next.size(), std::chrono::milliseconds(5));
        next.insert(next.end(), got.begin(), got.end());
        return next.size() >= kRequestSize;
    };
    EXPECT_FALSE(QTest::qWaitFor(readSome, 300));
    EXPECT_TRUE(QTest::qWaitFor(readSome, 10000));
    EXPECT_EQ(next, ReadCoilsFor(2));
    EXPECT_TRUE(window->ScanCycle()->IsTemperaturePassArmed());
    EXPECT_EQ(window->PortSettings()->CommNameComboBox()->count(), 50);
}

TEST(MainFormStartup, WindowCarriesItsCaptionMenusToolBarAndPopUp) {
    TProgramDir dir;
    dir.MissingPort(1);
    RegisterStations(dir, {{1, 1, "1号主变", "温控器A"}});
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    EXPECT_EQ(window->windowTitle(), "温度控制系统");

    const QList<QAction*> menus = window->menuBar()->actions();
    ASSERT_EQ(menus.size(), 4);
    EXPECT_EQ(Captions(menus), QStringList({"系统(&S)", "操作(&O)", "选项(&P)", "帮助(&H)"}));
    EXPECT_EQ(Captions(menus[0]->menu()->actions()),
              QStringList({"启动扫描(&R)", "停止扫描(&S)", "-", "退出(&X)"}));
    EXPECT_EQ(Captions(menus[1]->menu()->actions()),
              QStringList({"增加设备(&E)...", "删除设备(&D)", "修改设备(&M)...", "-",
                           "重新连接(&R)", "断开连接(&Z)", "-", "备份(&B)", "备份全部设备数据(&U)",
                           "-", "备份查询(&L)..."}));
    EXPECT_EQ(Captions(menus[2]->menu()->actions()),
              QStringList({"设置(&T)...", "报警设置(&A)...", "-", "查询设置(&O)..."}));
    EXPECT_EQ(Captions(menus[3]->menu()->actions()), QStringList({"关于(&A)..."}));

    auto* tools = window->findChild<QToolBar*>("ToolBar1");
    ASSERT_NE(tools, nullptr);
    EXPECT_EQ(Captions(tools->actions()),
              QStringList({"启动扫描(&R)", "停止扫描(&S)", "增加设备(&E)...", "删除设备(&D)",
                           "重新连接(&R)", "断开连接(&Z)", "退出(&X)"}));
    // The menu bar and the tool bar share one action per command.
    EXPECT_EQ(tools->actions()[4], window->Actions().Reconnect);

    EXPECT_EQ(Captions(window->TreePopupMenu()->actions()),
              QStringList({"增加设备(&A)...", "删除设备(&D)", "修改设备(&M)...", "-", "备份(&B)",
                           "备份全部设备数据(&U)", "-", "重新连接(&R)"}));

    for (const char* name : {"DeviceNameLabel", "TemAddrLabel", "CommStateLabel"}) {
        auto* label = window->findChild<QLabel*>(name);
        ASSERT_NE(label, nullptr) << name;
        EXPECT_EQ(label->text(), "XXXX") << name;
    }
    EXPECT_NE(window->findChild<QTreeWidget*>("StationTreeView"), nullptr);
    EXPECT_EQ(window->StationTreeView()->editTriggers(), QAbstractItemView::NoEditTriggers);
}

TEST(MainFormShutdown, ClosesEveryPortAndKeepsEveryStoredSample) {
    TProgramDir dir;
    TPtyPair pty;
    dir.LinkPort(1, pty.SlavePath());
    RegisterStations(dir, {{5, 1, "1号主变", "温控器A"}});
    {
        std::unique_ptr<TMainForm> window = StartWindow(dir);
        TStationState& station = StationAt(*window, 0);
        ASSERT_TRUE(station.Port->IsOpen());
        Deliver(*window, station, RelayReply(5, 0x02));
        Deliver(*window, station, TemperatureReply(5, 65, 66, 67, 0));
        ASSERT_TRUE(station.HistoryMgr);
    }
    // The port was released: it opens again exclusively.
    TComm again;
    again.SetCommName("COM1");
    EXPECT_NO_THROW(again.OpenPort());
    again.ClosePort();

    THisInfoDbMgr history(HistoryFileName(dir.Path(), 5));
    std::vector<TTmpReading> samples;
    history.QueryReadings(samples, 0, Now() + 1);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].TmpAddr, 5);
    EXPECT_EQ(samples[0].APhaseTmp, 65);
    EXPECT_EQ(samples[0].CPhaseTmp, 67);
    EXPECT_EQ(samples[0].IronTmp, 0);
    EXPECT_EQ(samples[0].RelayFlags, 0x02);
}
