#pragma once
// Puts written files on stable storage from a thread of its own, so that the
// thread that writes goes on at once. fdatasync works on the file, not on the
// descriptor: the writer hands over its descriptor while it still holds it,
// the flusher opens the same file under a descriptor of its own (with no lock
// on it, so the writer's next opening of the file is not refused) and syncs
// through that one.
//
//   writer:  write ... Submit(fd, path) -> ticket n ... go on
//   flusher: take every file handed over since its last round, fdatasync each
//            distinct file once, close its descriptors, tickets <= n done
//
// Files handed over while a round runs are flushed together in the next one:
// under a steady stream of appends the flushes group themselves. A ticket is
// done once its file's data is on stable storage, or its flush failed (the
// failure is kept for TakeFailures). Tickets complete in order.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/BatchWorker.h"

class TFileFlusher {
  public:
    using TTicket = uint64_t;
    // The call that puts a descriptor's file on stable storage: fdatasync
    // unless a test gives its own. Returns 0 or sets errno and returns -1.
    using TSync = std::function<int(int fd)>;

    struct TFailure {
        std::string Path;
        int Error = 0;  // errno of the failed flush
    };

    explicit TFileFlusher(TSync sync = {});
    // Flushes everything handed over, then ends the thread.
    ~TFileFlusher() = default;
    TFileFlusher(const TFileFlusher&) = delete;
    TFileFlusher& operator=(const TFileFlusher&) = delete;

    // Hands over the file open under `fd` (the caller keeps its descriptor
    // and may close it at once). When no descriptor of our own can be had
    // (no /proc, out of descriptors) the file is flushed here and now, and a
    // failure raises EWriteError as a direct flush would.
    TTicket Submit(int fd, const std::string& path);
    // Blocks until every ticket handed over so far is done.
    void WaitFlushed();

    TTicket Submitted() const;
    TTicket Done() const;
    // The failed flushes since the last call, oldest first.
    std::vector<TFailure> TakeFailures();
    // Called on the flusher's thread after each round; set it before the
    // first Submit.
    void SetRoundDone(std::function<void()> hook) { FRoundDone = std::move(hook); }

    // Rounds run and fdatasync calls made, for figures and tests.
    uint64_t Rounds() const;
    uint64_t Syncs() const;

  private:
    struct TEntry {
        int Fd;
        std::string Path;
        TTicket Ticket;
    };

    void FlushRound(std::vector<TEntry>& entries);

    TSync FSync;
    std::function<void()> FRoundDone;
    mutable std::mutex FLock;
    std::condition_variable FDoneChanged;
    std::vector<TFailure> FFailures;
    TTicket FSubmitted = 0;
    TTicket FDone = 0;
    uint64_t FRounds = 0;
    uint64_t FSyncs = 0;
    // Last: started once everything above exists, and joined (everything
    // handed over flushed) before any of it goes.
    TBatchWorker<TEntry> FWorker;
};
