// What the main window shows of the selected station: the status bar, the
// live view, the port settings and the history report with its query.

#include <QLabel>
#include <QTreeWidget>
#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

#include "app/ErrorReport.h"
#include "app/LiveView.h"
#include "app/MainForm.h"
#include "app/PortSettingsView.h"
#include "app/StationNode.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"
#include "engine/VeltErrors.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

namespace {

// How often a query reads the file afresh when it finds it replaced or
// written under it (the recorder appends between the reader's open and its
// walk); each attempt is a new reader.
constexpr int kQueryAttempts = 3;
// A file locked by a writer is tried again this often, for this long.
constexpr auto kQueryBusyPause = std::chrono::milliseconds(20);
constexpr auto kQueryBusyLimit = std::chrono::seconds(10);

// On the query's worker: the samples of [Begin, End] through a reader of its
// own, opened beside the recorder's manager. A station that never stored a
// sample gets its empty history file.
void ReadHistoryRange(const std::string& fileName, TDateTime begin, TDateTime end,
                      std::vector<TTmpReading>& rows, const TWalkProgress& progress) {
    const auto busyUntil = std::chrono::steady_clock::now() + kQueryBusyLimit;
    for (int attempt = 1;; ++attempt) {
        try {
            std::error_code error;
            const std::unique_ptr<THisInfoDbMgr> reader =
                std::filesystem::exists(fileName, error)
                    ? std::make_unique<THisInfoDbMgr>(fileName, THisInfoDbMgr::TSharedRead{})
                    : std::make_unique<THisInfoDbMgr>(fileName, true);
            reader->QueryReadings(rows, begin, end, progress);
            return;
        } catch (const EFileChanged&) {
            if (attempt == kQueryAttempts) throw;
            rows.clear();
        } catch (const EFileBusy&) {
            // The recorder holds the file for an append (well under a
            // millisecond), or another process for longer: wait a little.
            if (std::chrono::steady_clock::now() >= busyUntil) throw;
            if (progress && !progress(0, 0)) return;
            rows.clear();
            --attempt;
            std::this_thread::sleep_for(kQueryBusyPause);
        }
    }
}

}  // namespace

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
    FHistoryPanel->ShowReadings(station.HistoryList, title);
    // Rows kept from before a backup are shown no longer.
    FHistoryPanel->Query()->LetGo(std::move(FDetachedReport));
}

void TMainForm::Button1Click() {
    THistoryQuery& query = *FHistoryPanel->Query();
    if (query.Running()) {
        CancelQueryOf(FQueryStation);
        return;
    }
    const TDateTime begin = FHistoryPanel->BeginTime();
    const TDateTime end = FHistoryPanel->EndTime();
    // Not even the shown rows are cleared for an empty or reversed range.
    if (!(begin < end)) return;
    TStationNode* node = AsStationNode(FTree->currentItem());
    if (node == nullptr) return;
    TStationState& station = node->State();

    // The report shows what it showed until the result is in.
    FQueryStation = &station;
    const std::string fileName = HistoryFileName(FProgramDir, station.Address);
    query.Start(
        [fileName, begin, end](std::vector<TTmpReading>& rows, const TWalkProgress& progress) {
            ReadHistoryRange(fileName, begin, end, rows, progress);
        },
        [this, &station, begin, end](THistoryQuery::TResult& result) {
            FQueryStation = nullptr;
            TStationNode* queried = NodeOf(station);
            if (queried == nullptr) return;
            // A new list: the one shown until now may still be printed or
            // exported. It goes back in the result, let go by the query.
            result.Replaced = std::exchange(
                station.HistoryList,
                std::make_shared<const std::vector<TTmpReading>>(std::move(result.Rows)));
            queried->QueryBegin = begin;
            queried->QueryEnd = end;
            // What was read before an error is shown; the error is reported.
            ShowReport(station);
            if (result.Error) ReportApplicationException(this, result.Error);
        });
}

void TMainForm::CancelQueryOf(const TStationState* station) {
    if (station == nullptr || station != FQueryStation) return;
    FQueryStation = nullptr;
    FHistoryPanel->Query()->Cancel();
}
