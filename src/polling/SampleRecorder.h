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
//
// A history file that no longer opens because it is damaged (a crash or a
// power cut in the middle of an append) does not stop the recording:
//
//   open --ok--------------------------------------------> append
//        --EVeltFileCorrupt--> recover (store/HistoryRecovery.h):
//            intact samples into a fresh file, original kept aside --> open, append
//            file refused: original kept aside, an empty file   --> open, append
//
// The same happens once when an append through an open manager finds the
// file damaged. What was done is handed back as one notice for the operator.

#include <cstdint>
#include <memory>
#include <string>

#include "store/DateTime.h"

class THisInfoDbMgr;
struct TStationState;

class TSampleRecorder {
  public:
    // `programDir` is the directory the data/ tree lives in. `durable`: each
    // stored sample is flushed to the disk before AddReading returns.
    explicit TSampleRecorder(const std::string& programDir, bool durable = true);

    // Stores the station's RawTemp and RelayFlags with the time `now`.
    // Returns the notice of a recovery this needed, empty otherwise. What
    // opening the file or appending raises otherwise passes to the caller; a
    // manager that could not be made stays none, so the next call tries
    // again.
    std::string Record(TStationState& station, TDateTime now);

    const std::string& ProgramDir() const { return FProgramDir; }
    // "<program dir>data/<address>/HistoryData.dt".
    std::string HistoryFilePath(uint8_t address) const;

  private:
    // Opens the history file, recovering it first when it is damaged.
    std::unique_ptr<THisInfoDbMgr> OpenHistory(const std::string& fileName, TDateTime now,
                                               std::string& notice) const;
    // Recovers a damaged file (or sets it aside) and says what was done.
    std::string Recover(const std::string& fileName, TDateTime now) const;

    std::string FProgramDir;  // ends with '/' unless empty
    bool FDurable;
};
