#pragma once
// What the scan cycle needs from the window that shows the stations. The main
// window implements it; tests implement it with a fake.

#include <cstdint>
#include <string>
#include <vector>

#include "polling/StationLive.h"

struct TStationLine;
struct TStationState;

class IScanView {
  public:
    IScanView() = default;
    IScanView(const IScanView&) = delete;
    IScanView& operator=(const IScanView&) = delete;
    virtual ~IScanView() = default;

    // The live records of the station nodes, in tree order. The records stay
    // alive at least until the cycle's call returns.
    virtual std::vector<TStationState*> Stations() = 0;
    // The lines the stations are on, each once. This default gathers them
    // from Stations(); a view that keeps its lines hands them over without a
    // walk over every station.
    virtual std::vector<TStationLine*> Lines();
    // The record of the selected station node; none when nothing or the root
    // is selected.
    virtual TStationState* SelectedStation() = 0;

    // Enables reconnect or disconnect as the station's state says.
    virtual void RefreshConnectionCommands(TStationState& station) = 0;
    // Shows the selected station's live values.
    virtual void ShowLiveView() = 0;
    // Sets the status bar's connection-state text to the text of `state`.
    virtual void ShowStateText(uint8_t state) = 0;
    // The application's general error report: a message box in the window.
    // This default writes one warning line to the log.
    virtual void ReportError(const std::string& message);
    // A station's recording failed (once per failure episode), or its
    // history file is nearly full (once a day, TScanCycle). The window
    // shows it even when another message box is open at that moment: after
    // that box closes, never dropped. This default is ReportError.
    virtual void ReportRecordingError(const std::string& message);
    // The station's recording state (RecordingFailure) changed. This default
    // does nothing.
    virtual void ShowRecordingState(TStationState& station);
    // A reply of the station (any station, selected or not) was accepted and
    // applied (`effect` says which kind). This default does nothing.
    virtual void StationReplied(TStationState& station, TReplyEffect effect);
    // A pass has handed out its requests (states may have changed). This
    // default does nothing.
    virtual void PassDone();
};
