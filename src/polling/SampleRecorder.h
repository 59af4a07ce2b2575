#pragma once
// Sample recording: one stored history sample per accepted temperature
// reply of a station, in that station's own history file
//
//   <program dir>data/<address in decimal>/HistoryData.dt
//
// It is the only writer of these files. The station's history manager is
// opened on first need and kept in its live record; a backup or the deletion
// of the station releases it, and the next sample opens it again (creating
// an empty file when the old one was moved away).

#include <cstdint>
#include <string>

#include "store/DateTime.h"

struct TStationState;

class TSampleRecorder {
  public:
    // `programDir` is the directory the data/ tree lives in. `durable`: each
    // stored sample is flushed to the disk before AddReading returns.
    explicit TSampleRecorder(const std::string& programDir, bool durable = true);

    // Stores the station's RawTemp and RelayFlags with the time `now`. What
    // opening the file or appending raises passes to the caller; a manager
    // that could not be made stays none, so the next call tries again.
    void Record(TStationState& station, TDateTime now);

    const std::string& ProgramDir() const { return FProgramDir; }
    // "<program dir>data/<address>/HistoryData.dt".
    std::string HistoryFilePath(uint8_t address) const;

  private:
    std::string FProgramDir;  // ends with '/' unless empty
    bool FDurable;
};
