// The backup commands, the backup timer, the backup viewer and the settings
// dialog of the main window.
//
// A backup releases the station's query result through DetachHistoryList:
// the report keeps the rows it shows until the station is selected again or
// queried; the settings dialog
// re-applies the timers through ApplyTimers once it has saved.

#include <QLabel>
#include <filesystem>

#include "app/ErrorReport.h"
#include "app/MainForm.h"
#include "dialogs/AlarmSetFrm.h"
#include "dialogs/BackUpLocationFrm.h"
#include "dialogs/Prompts.h"
#include "dialogs/SetParaFrm.h"
#include "polling/BackUp.h"
#include "polling/SampleRecorder.h"
#include "polling/StationState.h"
#include "store/SysParaChecks.h"

TBackUp TMainForm::MakeBackUp() {
    TBackUp backUp(FProgramDir, FSysParaInfo, FSysParaMgr.get(), FParaList);
    if (FBackUpClock) backUp.SetClock(FBackUpClock);
    backUp.SetReleaseList([this](TStationState& station) { DetachHistoryList(station); });
    return backUp;
}

void TMainForm::SetHistoryFileLimitForTest(int64_t bytes) {
    if (FRecorder) FRecorder->SetFileSizeLimitForTest(bytes);
}

void TMainForm::BackUpClick() {
    // Nothing on the root. No message box for any outcome: the status bar
    // says where the history went, or why it stayed.
    TStationState* station = SelectedStation();
    if (station == nullptr) return;
    const TBackUpResult result = MakeBackUp().BackUpStation(*station);
    const std::string dir = ResolveBackUpDir(FProgramDir, FSysParaInfo.BackUpPath.Utf8());
    const QString file = QString::fromStdString(
        BackUpFileName(dir, station->Address, DateOf(FBackUpClock ? FBackUpClock() : Now())));
    QString text;
    switch (result) {
        case TBackUpResult::Done:
            text = QStringLiteral("历史数据已备份到：") + file;
            break;
        case TBackUpResult::AlreadyDone:
            text = QStringLiteral("今天已备份过，备份文件：") + file;
            break;
        case TBackUpResult::CopyFailed:
            text = QStringLiteral("备份失败：该设备没有历史数据，或无法写入") + file;
            break;
        case TBackUpResult::DirectoryFailed:
            text = QStringLiteral("备份失败：无法创建备份目录") +
                   QString::fromStdString(
                       std::filesystem::path(file.toStdString()).parent_path().string());
            break;
        case TBackUpResult::NoBackUpPath:
            text = QStringLiteral("备份失败：未设置备份目录");
            break;
    }
    FBackUpStateLabel->setText(text);
    FBackUpStateLabel->setToolTip(text);
    FBackUpStateLabel->setVisible(true);
}

void TMainForm::BackUpAllClick() {
    MakeBackUp().BackUpAll(StationStates());
}

void TMainForm::BackUpTimerTimer() {
    MakeBackUp().BackUpTimerTimer(StationStates());
}

TBackUpLocationForm* TMainForm::BackUpViewer() const {
    return static_cast<TBackUpLocationForm*>(FBackUpViewer.data());
}

void TMainForm::BackUpQueryClick() {
    // Made once and kept: closing it only hides it. The window owns it, and
    // the reference clears itself when it is destroyed.
    if (FBackUpViewer == nullptr) {
        auto* viewer = new TBackUpLocationForm(this);
        // Its failed queries go where the window's own errors go.
        viewer->SetQueryErrorHandler(ReportApplicationException);
        FBackUpViewer = viewer;
    }
    FBackUpViewer->show();
    FBackUpViewer->raise();
    FBackUpViewer->activateWindow();
}

void TMainForm::AlarmSettingsClick() {
    if (!FSysParaMgr) return;
    TAlarmSetForm dialog(this, FSysParaInfo, *FSysParaMgr, FParaList, [this] { ApplyTimers(); });
    RunModal(dialog);
}

void TMainForm::SettingsClick() {
    if (!FSysParaMgr) return;
    TSetParaForm dialog(this, FSysParaInfo, *FSysParaMgr, FProgramDir);
    dialog.OnParaChange = [this] { ApplyTimers(); };
    RunModal(dialog);
}
