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
// Opening the file (reading it whole, creating it, recovering it) may take
// long. With an opened handler set (SetOpenedHandler: the scan cycle sets
// one) it runs on the recorder's opener thread (polling/HistoryOpener.h):
// the call returns at once with the station's samples queued (AwaitsOpen),
// and once the open has ended the handler asks the owner for a StorePending
// of that station on its own thread, which puts the manager in place and
// stores the queue, or passes on the open's failure as the store would:
//
//   no manager --store--> opening (samples wait, other stations go on)
//   opening --ended, handler--> StorePending: manager in place, queue stored
//                                             or the failure raised once
//
// An append that fails with an open manager opens the file once more the
// same way; the failure after that goes to the caller. Without a handler
// the file is opened inside the call, as tools and shut-down need.
//
// What was done is handed back as one notice for the operator. An attempt
// that failed after its record may have reached the file is checked against
// the file's newest sample before it is stored again, so nothing is stored
// twice.
//
// A history file has room for a fixed number of samples (the growth of its
// table within the file size limit, kMaxFileSize; 2^26 samples in 1.75 GiB).
// Once it holds kNearlyFullPercent of them it is nearly full (the scan cycle
// has it backed up or warns); once it holds them all it is full: a sample
// is refused before anything is written (EHistoryFileFull, the manager
// kept) and waits, like every later one, until the file was backed up
// (moved away) and the next attempt starts a new one.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "engine/VeltTable.h"
#include "store/DateTime.h"

class TFileFlusher;
class THisInfoDbMgr;
class THistoryOpener;
struct THistoryOpenJob;

// The flusher of every history file of the process.
TFileFlusher& HistoryFlusher();
struct TPendingSample;
struct TStationState;

// The station's history file holds all the samples it can: nothing was
// written. The message names the station and asks for a backup.
class EHistoryFileFull : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The operator's warning that the station's history file is nearly full.
std::string HistoryNearlyFullText(const TStationState& station);

class TSampleRecorder {
  public:
    // At most this many samples wait per station; beyond it the oldest go.
    static constexpr size_t kMaxPendingSamples = 4096;
    // A history file holding at least this share (percent) of the samples
    // it has room for is nearly full.
    static constexpr int kNearlyFullPercent = 90;

    // `programDir` is the directory the data/ tree lives in. `durable`: each
    // stored sample is put on stable storage by the flusher.
    // `flusher` (borrowed, outliving every history manager the recorder
    // opens) replaces HistoryFlusher(); tests give their own.
    explicit TSampleRecorder(const std::string& programDir, bool durable = true,
                             TFileFlusher* flusher = nullptr);
    // Lets the opens under way end first.
    ~TSampleRecorder();
    // With durability: every stored sample is put on stable storage by the
    // call that stores it, instead of by the flusher (the recorder's first
    // way, kept for comparisons). Set before the first sample.
    void FlushInCalls() { FFlusher = nullptr; }
    TSampleRecorder(const TSampleRecorder&) = delete;
    TSampleRecorder& operator=(const TSampleRecorder&) = delete;

    // Called on the opener thread each time an open has ended; it must only
    // hand the news over to the owner's thread, which then stores the queue
    // of every station whose open is done (OpenDone). Setting one opens
    // history files on the opener thread from then on; none opens them in
    // the calls again. Clearing it waits for a call under way.
    using TOpenedHandler = std::function<void()>;
    void SetOpenedHandler(TOpenedHandler handler);
    // True while the station's samples wait for its history file to open.
    static bool AwaitsOpen(const TStationState& station);
    // True when the station's open has ended and waits to be taken.
    static bool OpenDone(const TStationState& station);
    // Test seam: runs on the opener thread before each open; a test holds
    // the open in it.
    void SetOpenGateForTest(std::function<void()> gate) { FOpenGate = std::move(gate); }

    // Queues the station's RawTemp and RelayFlags with the time `now`, then
    // stores every queued sample (StorePending).
    std::string Record(TStationState& station, TDateTime now);
    // Stores the station's queued samples, oldest first. Returns the notice
    // of a recovery this needed, empty otherwise. A failure passes to the
    // caller (EFileBusy as itself) with the unstored samples still queued.
    std::string StorePending(TStationState& station);

    // At shut-down: waits for the station's open under way, then stores the
    // queued samples, waiting up to `limit` for a file another process holds
    // locked. True when nothing is left queued; never raises.
    bool StorePendingWithin(TStationState& station, std::chrono::milliseconds limit) noexcept;

    // True when the station's open history file is nearly full; false while
    // none is open. Costs no file access.
    bool NearlyFull(const TStationState& station) const;
    // Test seam: the file size limit the room of a history file is worked
    // out for (kMaxFileSize unless set), so a small file can be full.
    void SetFileSizeLimitForTest(int64_t bytes) { FFileSizeLimit = bytes; }
    // Returns once every stored sample is on stable storage (durability on).
    void WaitFlushed();

    const std::string& ProgramDir() const { return FProgramDir; }
    // "<program dir>data/<address>/HistoryData.dt".
    std::string HistoryFilePath(uint8_t address) const;

  private:
    // StorePending; `inCall`: a file to open is opened here, not on the
    // opener thread.
    std::string StoreQueue(TStationState& station, bool inCall);
    // Stores one sample, reopening (and recovering) the file as needed.
    // `round` 1: the manager was just opened again after a failure. False
    // when the sample waits for an open started on the opener thread.
    bool StoreOne(TStationState& station, const TPendingSample& sample, std::string& notice,
                  int round, bool inCall);
    // Queues the open of the station's file on the opener thread.
    void StartOpen(TStationState& station, const TPendingSample& sample, bool recoverFirst,
                   bool afterFailure);
    // The opener thread's part of a job.
    void RunOpen(THistoryOpenJob& job) const noexcept;
    // Takes the station's ended open: its manager in place, its notice into
    // `notice`, its failure raised. Returns the round the next store is in.
    int TakeOpen(TStationState& station, std::string& notice);
    void NotifyOpened();
    // Opens the history file, recovering it first when it is damaged.
    std::unique_ptr<THisInfoDbMgr> OpenHistory(const std::string& fileName, TDateTime now,
                                               std::string& notice) const;
    // Recovers a damaged file (or sets it aside) and says what was done.
    std::string Recover(const std::string& fileName, TDateTime now) const;

    // A flush of the station's file failed since its last sample: raises
    // the write error (once) after releasing the manager.
    void CheckFlushed(TStationState& station);
    // Sets an opened history manager up for the recorder's appends: the
    // shared flusher, a record cache bounded for a file only appended to.
    std::unique_ptr<THisInfoDbMgr> ForAppending(std::unique_ptr<THisInfoDbMgr> mgr) const;

    std::string FProgramDir;  // ends with '/' unless empty
    bool FDurable;
    int64_t FFileSizeLimit;
    TFileFlusher* FFlusher;  // none without durability
    // Failed flushes by file, until that file's station records again.
    std::map<std::string, int> FFlushFailures;
    // The room of a station's file as its last store left it (NearlyFull).
    struct TRoomSeen {
        const TStationState* Station = nullptr;
        const THisInfoDbMgr* Manager = nullptr;
        int32_t LastRecordId = 0;
        TTableRoom Room;
    } FRoomSeen;
    std::function<void()> FOpenGate;
    std::mutex FHandlerLock;  // the handler is called on the opener thread
    TOpenedHandler FOpenedHandler;
    bool FOpenInCall = true;  // no handler: opened inside the calls
    // Last: ended first, while everything its jobs use is still there.
    std::unique_ptr<THistoryOpener> FOpener;
};
