#pragma once
// Opening a station's history file away from the window's thread. Reading a
// year of samples takes a fifth of a second and recovering a damaged file
// seconds; the opener thread does it while the window goes on, and the
// station's samples wait in its queue meanwhile (TSampleRecorder).
//
// One open is one THistoryOpenJob, shared by the station (TStationState::
// OpenJob) and the opener thread:
//
//   queued --opener thread--> running --opened------> done: Manager (+ Notice)
//                                     --failed------> done: Error (+ Notice)
//   done --the station's next store takes it--> gone (OpenJob reset)
//
// Until done only the opener thread touches the result fields; after done
// only the thread that owns the station does. A station dropped meanwhile
// leaves the job to the opener thread, which closes what it opened.
//
// A backup or the deletion of a station acts on the file: it first waits
// for the open under way (FinishHistoryOpen), so a manager opened on a file
// that is then moved away is never put in place afterwards.

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/BatchWorker.h"
#include "store/DateTime.h"

class THisInfoDbMgr;
struct TStationState;

struct THistoryOpenJob {
    THistoryOpenJob();
    ~THistoryOpenJob();
    THistoryOpenJob(const THistoryOpenJob&) = delete;
    THistoryOpenJob& operator=(const THistoryOpenJob&) = delete;

    // Set before the job is queued.
    std::string FileName;
    TDateTime Time = 0;         // of the oldest waiting sample: names a damaged file kept aside
    bool RecoverFirst = false;  // found damaged while it was open
    // Opened again after an attempt with the previous manager failed: the
    // next failure goes to the caller instead of opening once more.
    bool AfterFailure = false;

    // The result, valid once Done().
    std::unique_ptr<THisInfoDbMgr> Manager;
    std::string Notice;  // what a recovery did, for the operator
    std::exception_ptr Error;

    bool Done() const;
    void Wait() const;
    // The opener thread's last touch of the result.
    void Finish();

  private:
    mutable std::mutex FLock;
    mutable std::condition_variable FDoneChanged;
    bool FDone = false;
};

// Waits for the open of the station's history file under way, if any, and
// puts the manager it opened in place unless the station has one. What the
// open has to report (a recovery, a failure) stays with the job for the
// station's next store. Never raises.
void FinishHistoryOpen(TStationState& station) noexcept;

// One thread running posted jobs one at a time, in the order posted.
class THistoryOpener {
  public:
    THistoryOpener();
    // Runs what is posted still, then ends the thread.
    ~THistoryOpener() = default;
    THistoryOpener(const THistoryOpener&) = delete;
    THistoryOpener& operator=(const THistoryOpener&) = delete;

    // `job` must not raise.
    void Post(std::function<void()> job) { FWorker.Post(std::move(job)); }

  private:
    TBatchWorker<std::function<void()>> FWorker;
};
