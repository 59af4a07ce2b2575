// What the main window shows of the selected station: the status bar, the
// live view, the port settings and the history report with its query.

#include <QLabel>
#include <QTreeWidget>

#include "app/LiveView.h"
#include "app/MainForm.h"
#include "app/PortSettingsView.h"
#include "app/StationNode.h"
#include "dialogs/HistoryPanel.h"
#include "engine/VeltErrors.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

void TMainForm::ShowStateText(uint8_t state) {
    FCommStateLabel->setText(QString::fromUtf8(StateText(state)));
}

void TMainForm::ShowRecordingState(TStationState& station) {
    if (TStationNode* node = NodeOf(station)) node->ShowRecordingState();
    RefreshOverviewRow(station);
    if (&station != SelectedStation()) return;
    const bool failing = !station.RecordingFailure.empty();
    FRecordingStateLabel->setText(failing ? QStringLiteral("记录失败：") +
                                                QString::fromStdString(station.RecordingFailure)
                                          : QString());
    FRecordingStateLabel->setToolTip(FRecordingStateLabel->text());
    FRecordingStateLabel->setVisible(failing);
}

void TMainForm::ShowLiveView() {
    TStationState* station = SelectedStation();
    if (station == nullptr) return;
    ShowRecordingState(*station);
    FDeviceNameLabel->setText(station->Station != nullptr
                                  ? QString::fromStdString(station->Station->DevName.Utf8())
                                  : QString());
    FTemAddrLabel->setText(QString::number(station->Address));
    ShowStateText(station->State);
    // The buttons keep their colours while the page shows one station (so a
    // disconnected station still shows what it last reported); another
    // station must not inherit them.
    const bool anotherStation = station != FLiveViewStation;
    FLiveViewStation = station;
    if (station->State != kStateConnected) {
        ResetToUnknown();
        if (anotherStation) FLiveView->ClearUncheckedColours();
        return;
    }
    FLiveView->ShowValues(station->RelayFlags, station->RawTemp);
}

void TMainForm::ResetToUnknown() {
    FLiveView->ResetToUnknown();
}

void TMainForm::ShowPortSettings(const TStationState& station) {
    if (station.Station != nullptr) FPortSettings->ShowPortSettings(*station.Station);
}

void TMainForm::ShowReport(const TStationState& station) {
    const TStationNode* node = NodeOf(station);
    THistoryTitle title;
    if (station.Station != nullptr) {
        title.Source = QString::fromStdString(station.Station->StationPosName.Utf8()) + " - " +
                       QString::fromStdString(station.Station->DevName.Utf8());
    }
    if (node != nullptr) {
        title.Begin = node->QueryBegin;
        title.End = node->QueryEnd;
    }
    // No list (never queried, or released by a backup) shows no rows.
    FHistoryPanel->ShowReadings(station.HistoryList.get(), title);
    // Rows kept from before a backup are shown no longer.
    FDetachedReport.reset();
}

void TMainForm::Button1Click() {
    const TDateTime begin = FHistoryPanel->BeginTime();
    const TDateTime end = FHistoryPanel->EndTime();
    // Not even the shown rows are cleared for an empty or reversed range.
    if (!(begin < end)) return;
    TStationNode* node = AsStationNode(FTree->currentItem());
    if (node == nullptr) return;
    TStationState& station = node->State();

    if (!station.HistoryMgr) {
        // A station that never stored a sample gets an empty history file.
        station.HistoryMgr =
            std::make_unique<THisInfoDbMgr>(HistoryFileName(FProgramDir, station.Address), true);
    }
    if (!station.HistoryList) station.HistoryList = std::make_unique<std::vector<TTmpReading>>();
    // The report must not show the list while it changes under it.
    if (FHistoryPanel->Readings() == station.HistoryList.get() ||
        (FDetachedReport && FHistoryPanel->Readings() == FDetachedReport.get())) {
        FHistoryPanel->ClearReadings();
    }
    FDetachedReport.reset();
    station.HistoryList->clear();
    node->QueryBegin = begin;
    node->QueryEnd = end;
    try {
        try {
            station.HistoryMgr->QueryReadings(*station.HistoryList, begin, end);
        } catch (const EFileChanged&) {
            // Replaced or restored by hand since it was opened: read afresh.
            station.HistoryMgr = std::make_unique<THisInfoDbMgr>(
                HistoryFileName(FProgramDir, station.Address), true);
            station.HistoryList->clear();
            station.HistoryMgr->QueryReadings(*station.HistoryList, begin, end);
        }
    } catch (...) {
        // What was read before the error is shown; the error is reported.
        ShowReport(station);
        throw;
    }
    ShowReport(station);
}
