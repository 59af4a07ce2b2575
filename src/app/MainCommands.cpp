// The commands of the main window and the selection rules of the tree.
//
//   selection     reconnect   disconnect   delete
//   none, root    off         off          off
//   station       State != 0  State == 0   on
//
// The items of the tree's pop-up menu are never disabled; on the root their
// delete, back up and reconnect do nothing.

#include <QAction>
#include <QTreeWidget>
#include <memory>

#include "app/MainForm.h"
#include "app/StationNode.h"
#include "dialogs/AddDeviceFrm.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/Prompts.h"
#include "polling/ScanCycle.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"

void TMainForm::StartScanClick() {
    FActions.StartScan->setEnabled(false);
    FActions.StopScan->setEnabled(true);
    // No pass runs now: the first comes one scan interval later.
    if (FScanCycle) FScanCycle->StartScanning();
}

void TMainForm::StopScanClick() {
    FActions.StartScan->setEnabled(true);
    FActions.StopScan->setEnabled(false);
    if (FScanCycle) FScanCycle->StopScanning();
}

void TMainForm::ExitClick() {
    close();
}

bool TMainForm::AddDeviceClick() {
    if (!FStationMgr || !FScanCycle) return false;
    TAddDeviceForm dialog(this, NodeCount(), *FRoster, *this);
    RunModal(dialog);
    RefreshOverview();
    return NodeCount() > 1;
}

void TMainForm::DeleteDeviceClick() {
    TStationNode* node = AsStationNode(FTree->currentItem());
    if (node == nullptr) return;
    DeleteStation(*node);
}

void TMainForm::DeleteStation(TStationNode& node) {
    TStationState& station = node.State();
    // No question is asked. The stored record goes first: if the table
    // raises, the station stays as it was (apart from an emptied history).
    // The history file and its directory go, backups of the station stay;
    // the station leaves its line, which stays open for the others on it.
    std::unique_ptr<TStationState> record = FRoster->Remove(station);
    ReleaseHistoryList(station);
    // Its alarms go with it, without events.
    FAlarms.Forget(station.Address);
    FAlarmStates.erase(station.Address);

    // Nothing stays selected: taking the node out would otherwise move the
    // selection to the next station, and a second click of the command (or
    // a double click) would delete that one too. Delete stays disabled until
    // the operator picks a station; the node goes, and the record with it.
    if (FTree->currentItem() == &node) {
        FTree->setCurrentItem(nullptr);
        FTree->clearSelection();
    }
    if (FLiveViewStation == &station) FLiveViewStation = nullptr;
    // Rows a backup left in the report belong to the selected station, the
    // one going now.
    if (FDetachedReport && FHistoryPanel->Readings() == FDetachedReport.get()) {
        FHistoryPanel->ClearReadings();
        FHistoryPanel->Query()->LetGo(std::move(FDetachedReport));
    }
    FRoot->removeChild(&node);
    delete &node;
    ShowAlarmIndications();
}

void TMainForm::ModifyDeviceClick() {
    TStationNode* node = AsStationNode(FTree->currentItem());
    if (node == nullptr || !FRoster) return;
    TStationState& station = node->State();
    TAddDeviceForm dialog(this, FRoot->indexOfChild(node) + 1, *FRoster, *this, station);
    RunModal(dialog);
    if (dialog.result() != QDialog::Accepted) return;
    node->setText(0, QString::fromStdString(station.Station->StationPosName.Utf8()));
    StationTreeViewChange(node);
    ShowStateText(station.State);
    RefreshOverview();
}

void TMainForm::ReconnectClick() {
    TStationState* station = SelectedStation();
    if (station == nullptr) return;
    ReconnectStation(*station);
    ShowStateText(station->State);
    RefreshConnectionCommands(*station);
}

void TMainForm::TreeReconnectClick() {
    if (TStationState* station = SelectedStation()) ReconnectStation(*station);
}

void TMainForm::ReconnectStation(TStationState& station) {
    // The port is opened anew when it never opened, its line hung up or its
    // writer is stuck on a line that does not drain (state 5 when that
    // fails); then state 1 with a fresh offline period.
    if (FScanCycle) {
        FScanCycle->Reconnect(station);
    } else {
        station.State = kStateConnecting;
    }
}

void TMainForm::DisconnectClick() {
    TStationState* station = SelectedStation();
    if (station == nullptr) return;
    // The port stays open; the station is no longer polled.
    station->State = kStateManualDisconnect;
    ShowStateText(station->State);
    RefreshConnectionCommands(*station);
    ResetToUnknown();
}

void TMainForm::QuerySettingsClick() {
    // This command has no action.
}

void TMainForm::AboutClick() {
    // This command has no action.
}

void TMainForm::RefreshConnectionCommands(TStationState& station) {
    const bool connected = station.State == kStateConnected;
    FActions.Reconnect->setEnabled(!connected);
    FActions.Disconnect->setEnabled(connected);
}

void TMainForm::SetStationCommandsEnabled(bool reconnect, bool disconnect, bool remove) {
    FActions.Reconnect->setEnabled(reconnect);
    FActions.Disconnect->setEnabled(disconnect);
    FActions.DeleteDevice->setEnabled(remove);
    FActions.ModifyDevice->setEnabled(remove);
}

void TMainForm::StationTreeViewChange(QTreeWidgetItem* node) {
    TStationState* station = StationOf(node);
    // The result of a query for another station would not be shown.
    if (station != nullptr && station != FQueryStation) CancelQueryOf(FQueryStation);
    if (station == nullptr) {
        // The pages keep showing the station last displayed.
        SetStationCommandsEnabled(false, false, false);
        return;
    }
    const bool connected = station->State == kStateConnected;
    SetStationCommandsEnabled(!connected, connected, true);
    ShowLiveView();
    ShowPortSettings(*station);
    ShowReport(*station);
    RefreshDiagnostics();
}

void TMainForm::ReleaseHistoryList(TStationState& station) {
    CancelQueryOf(&station);
    if (!station.HistoryList) return;
    if (FHistoryPanel->Readings() == station.HistoryList.get()) FHistoryPanel->ClearReadings();
    FHistoryPanel->Query()->LetGo(std::move(station.HistoryList));
}

void TMainForm::DetachHistoryList(TStationState& station) {
    // A backup takes the file away under the query.
    CancelQueryOf(&station);
    if (!station.HistoryList) return;
    if (FHistoryPanel->Readings() == station.HistoryList.get()) {
        // The report goes on showing it until it shows anything else.
        FDetachedReport = std::move(station.HistoryList);
        return;
    }
    FHistoryPanel->Query()->LetGo(std::move(station.HistoryList));
}

void TMainForm::ReleaseHistoryMgr(TStationState& station) {
    station.HistoryMgr.reset();
}
