#pragma once
// Sample recording: one stored history sample per accepted temperature
// reply of a station, in that station's own history file
//
//   <program dir>data/<address in decimal>/HistoryData.dt
//
// It is the only writer of these files. The station's history manager is
// opened on first need and kept in its live record; a backup, the deletion of
// the station or any failure to store a sample releases it, and the next
// attempt opens it again — creating an empty file when the old one was moved
// away or its directory removed, reading afresh a file that was replaced.
//
// Every sample is queued in the station's record first and leaves the queue
// only once it is stored, oldest first:
//
//   queued --stored--> gone
//          --file locked by another process (EFileBusy)--> stays queued,
//               the manager kept (nothing was touched); tried again soon
//          --any other failure--> stays queued, manager released; the same
//               call opens the file once more and tries again, then the
//               failure passes to the caller; the next sample tries again
//
// A history file that no longer opens because it is damaged (a crash or a
// power cut in the middle of an append) does not stop the recording:
//
//   open --ok--------------------------------------------> append
//        --EVeltFileCorrupt--> recover (store/HistoryRecovery.h):
//            intact samples into a fresh file, original kept aside --> open, append
//            file refused: original kept aside, an empty file   --> open, append
//
// With durability on, a stored sample is written into the file at once and
// put on stable storage by the history flusher's thread (HistoryFlusher):
// the samples of a pass are flushed together while the window goes on. A
// flush that fails is reported as a recording failure of its station at its
// next sample; backups and shut-down wait for the flushes (WaitFlushed).
//
// What was done is handed back as one notice for the operator. An attempt
// that failed after its record may have reached the file is checked against
// the file's newest sample before it is stored again, so nothing is stored
// twice.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "store/DateTime.h"

class TFileFlusher;
class THisInfoDbMgr;

// The flusher of every history file of the process.
TFileFlusher& HistoryFlusher();
struct TPendingSample;
struct TStationState;

class TSampleRecorder {
  public:
    // At most this many samples wait per station; beyond it the oldest go.
    static constexpr size_t kMaxPendingSamples = 4096;

    // `programDir` is the directory the data/ tree lives in. `durable`: each
    // stored sample is put on stable storage by the flusher.
    // `flusher` (borrowed, outliving every history manager the recorder
    // opens) replaces HistoryFlusher(); tests give their own.
    explicit TSampleRecorder(const std::string& programDir, bool durable = true,
                             TFileFlusher* flusher = nullptr);

    // Queues the station's RawTemp and RelayFlags with the time `now`, then
    // stores every queued sample (StorePending).
    std::string Record(TStationState& station, TDateTime now);
    // Stores the station's queued samples, oldest first. Returns the notice
    // of a recovery this needed, empty otherwise. A failure passes to the
    // caller (EFileBusy as itself) with the unstored samples still queued.
    std::string StorePending(TStationState& station);

    // At shut-down: stores the queued samples, waiting up to `limit` for a
    // file another process holds locked. True when nothing is left queued;
    // never raises.
    bool StorePendingWithin(TStationState& station, std::chrono::milliseconds limit) noexcept;

    // Returns once every stored sample is on stable storage (durability on).
    void WaitFlushed();

    const std::string& ProgramDir() const { return FProgramDir; }
    // "<program dir>data/<address>/HistoryData.dt".
    std::string HistoryFilePath(uint8_t address) const;

  private:
    // Stores one sample, reopening (and recovering) the file as needed.
    void StoreOne(TStationState& station, const TPendingSample& sample, std::string& notice);
    // Opens the history file, recovering it first when it is damaged.
    std::unique_ptr<THisInfoDbMgr> OpenHistory(const std::string& fileName, TDateTime now,
                                               std::string& notice) const;
    // Recovers a damaged file (or sets it aside) and says what was done.
    std::string Recover(const std::string& fileName, TDateTime now) const;

    // A flush of the station's file failed since its last sample: raises
    // the write error (once) after releasing the manager.
    void CheckFlushed(TStationState& station);
    std::unique_ptr<THisInfoDbMgr> WithFlusher(std::unique_ptr<THisInfoDbMgr> mgr) const;

    std::string FProgramDir;  // ends with '/' unless empty
    bool FDurable;
    TFileFlusher* FFlusher;  // none without durability
    // Failed flushes by file, until that file's station records again.
    std::map<std::string, int> FFlushFailures;
};
