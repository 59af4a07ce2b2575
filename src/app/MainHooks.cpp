// The backup commands, the backup timer, the backup viewer and the settings
// dialog. Their menu items, buttons, enabled states and the timer are in
// place; what each does comes with the backup and settings release of the
// window, which fills in these handlers.
//
// What the filled-in handlers rely on:
//   - ReleaseHistoryMgr / ReleaseHistoryList before a station's history file
//     is moved away (the report stops showing a released list);
//   - ApplyTimers after the settings dialog has saved;
//   - FBackUpViewer, none until the viewer is first created.

#include "app/MainForm.h"

void TMainForm::BackUpClick() {
    // Hook: back up the selected station (nothing on the root).
}

void TMainForm::BackUpAllClick() {
    // Hook: back up every station.
}

void TMainForm::BackUpQueryClick() {
    // Hook: create the backup viewer on first use, keep it in FBackUpViewer
    // and show it modeless.
}

void TMainForm::SettingsClick() {
    // Hook: run the settings dialog modally on FSysParaInfo and the
    // parameter manager, with ApplyTimers as its change callback.
}

void TMainForm::BackUpTimerTimer() {
    // Hook: once the backup interval has passed since LastBackUpDate, back
    // up every station and store today's date.
}
