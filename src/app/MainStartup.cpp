// Start-up of the main window: the two tables, the stations with their live
// records and ports, the settings, the timers and the first scan pass.

#include <QTabWidget>
#include <QTreeWidget>
#include <exception>
#include <optional>

#include "app/MainForm.h"
#include "app/OverviewView.h"
#include "app/PortSettingsView.h"
#include "dialogs/Prompts.h"
#include "polling/BackUp.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "store/DateTime.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"
#include "store/TableRecovery.h"

namespace {

const char* const kOpenDatabaseError = "DISABLE_OPEN_DATABASE_ERROR";
// Every sample and every record is flushed to stable storage before the
// call that wrote it returns.
constexpr bool kDurable = true;

// What the operator is told, once, of a table rebuilt from a damaged file.
std::string RecoveryNotice(const char* what, const std::string& fileName,
                           const TTableRecovery& recovery) {
    return std::string(what) + " \"" + fileName + "\" 已损坏：已恢复 " +
           std::to_string(recovery.Salvage.Count()) + " 条记录，原文件保存为 \"" + recovery.KeptAs +
           "\"。";
}

}  // namespace

void TMainForm::Startup() {
    if (!OpenManagers()) return;
    OpenEventLog();
    // The roster and parameter list start empty.
    FRoster = std::make_unique<TStationRoster>(FProgramDir, *FStationMgr);
    FRecorder = std::make_unique<TSampleRecorder>(FProgramDir, kDurable);
    FScanCycle = std::make_unique<TScanCycle>(*this, FSysParaInfo, *FRecorder);
    // A nearly full history file goes to the backup directory at once, as
    // the automatic backup would move it; the cycle asks only when that is on.
    FScanCycle->SetHistoryBackUp([this](TStationState& station) {
        return MakeBackUp().BackUpStation(station) == TBackUpResult::Done;
    });
    FRoster->SetReceiveHandler(FScanCycle->ReceiveHandler());

    // What fails from here on is reported and the window stays up with what
    // was done, as after any other error of a handler.
    try {
        if (!LoadStations()) {
            AddDeviceClick();
            if (NodeCount() <= 1) {
                RequestTerminate();
                return;
            }
        }
        FPortSettings->FillPortNames();
        LoadSettings();
        ApplyTimers();
        // The first relay pass runs at once, its temperature pass 4000 ms
        // later; then one cycle per scan interval.
        StartScanClick();
        FScanCycle->ScanTimerTimer();
        FBackUpViewer = nullptr;
        StationTreeViewChange(FTree->currentItem());
        // Two stations or more: every station at a glance first.
        if (NodeCount() > 2) FPages->setCurrentWidget(FOverview);
    } catch (const std::exception& error) {
        ReportError(error.what());
    }
}

bool TMainForm::OpenManagers() {
    // A file the engine refuses as corrupt is rebuilt from its intact
    // records first; only one that cannot be ends the program.
    const std::string stationFile = StationFileName(FProgramDir);
    const std::string paraFile = SysParaFileName(FProgramDir);
    std::optional<TTableRecovery> stations;
    std::optional<TTableRecovery> paras;
    bool opened = true;
    try {
        const TDateTime now = Now();
        FStationMgr =
            OpenRecovering<TStationDbMgr>(stationFile, kStationKind, now, kDurable, stations);
        FSysParaMgr = OpenRecovering<TSysParaDbMgr>(paraFile, kSysParaKind, now, kDurable, paras);
    } catch (const std::exception&) {
        FSysParaMgr.reset();
        FStationMgr.reset();
        opened = false;
    }
    if (stations) ReportError(RecoveryNotice("站点数据文件", stationFile, *stations));
    if (paras) ReportError(RecoveryNotice("系统参数文件", paraFile, *paras));
    if (!opened) {
        ShowMessage(this, QString::fromUtf8(kOpenDatabaseError));
        RequestTerminate();
    }
    return opened;
}

bool TMainForm::LoadStations() {
    // A port that cannot be opened leaves its stations in the tree in state
    // 5, never polled.
    const size_t loaded = FRoster->Load(FScanCycle->OfflineNow());
    for (TStationState* station : FRoster->Stations()) {
        AddStationNode(QString::fromStdString(station->Station->StationPosName.Utf8()), *station);
    }
    return loaded > 0;
}

void TMainForm::LoadSettings() {
    LoadSysParas(*FSysParaMgr, FParaList, FSysParaInfo, FProgramDir);
}

void TMainForm::ApplyTimers() {
    if (FScanCycle) FScanCycle->ApplyTimers();
    // The alarm settings follow the same settings block.
    FAlarms.SetTempLimit(FSysParaInfo.TempLimit);
    ShowAlarmIndications();
    if (FSysParaInfo.IsBackUp) {
        if (!FBackUpTimer.isActive()) FBackUpTimer.start();
    } else {
        FBackUpTimer.stop();
    }
}
