// The backup commands, the backup timer, the backup viewer and the settings
// dialog of the main window.
//
// A backup releases the station's query result through ReleaseHistoryList,
// so the report stops showing a list before it goes; the settings dialog
// re-applies the timers through ApplyTimers once it has saved.

#include "app/MainForm.h"
#include "dialogs/BackUpLocationFrm.h"
#include "dialogs/Prompts.h"
#include "dialogs/SetParaFrm.h"
#include "polling/BackUp.h"

TBackUp TMainForm::MakeBackUp() {
    TBackUp backUp(FProgramDir, FSysParaInfo, FSysParaMgr.get(), FParaList);
    if (FBackUpClock) backUp.SetClock(FBackUpClock);
    backUp.SetReleaseList([this](TStationState& station) { ReleaseHistoryList(station); });
    return backUp;
}

void TMainForm::BackUpClick() {
    // Nothing on the root. Every failure is silent.
    TStationState* station = SelectedStation();
    if (station == nullptr) return;
    MakeBackUp().BackUpStation(*station);
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
    if (FBackUpViewer == nullptr) FBackUpViewer = new TBackUpLocationForm(this);
    FBackUpViewer->show();
    FBackUpViewer->raise();
    FBackUpViewer->activateWindow();
}

void TMainForm::SettingsClick() {
    if (!FSysParaMgr) return;
    TSetParaForm dialog(this, FSysParaInfo, *FSysParaMgr, FProgramDir);
    dialog.OnParaChange = [this] { ApplyTimers(); };
    RunModal(dialog);
}
