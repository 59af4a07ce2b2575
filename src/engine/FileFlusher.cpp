#include "engine/FileFlusher.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <utility>

#include "engine/VeltErrors.h"

namespace {

// A descriptor of our own for the file open under `fd`: a new open file
// description, so it holds none of the writer's locks. -1 when none can be
// had for that very file.
int OwnDescriptor(int fd, const std::string& path) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    int own = ::open(link.c_str(), O_RDONLY | O_CLOEXEC);
    if (own >= 0) return own;
    // Without /proc: the path, if it still names the same file.
    own = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (own < 0) return -1;
    struct stat mine {};
    struct stat theirs {};
    if (::fstat(own, &mine) != 0 || ::fstat(fd, &theirs) != 0 || mine.st_dev != theirs.st_dev ||
        mine.st_ino != theirs.st_ino) {
        ::close(own);
        return -1;
    }
    return own;
}

}  // namespace

TFileFlusher::TFileFlusher(TSync sync)
    : FSync(sync ? std::move(sync) : TSync([](int fd) { return ::fdatasync(fd); })),
      FWorker([this](std::vector<TEntry>& entries) {
          FlushRound(entries);
          if (FRoundDone) FRoundDone();
      }) {}

TFileFlusher::TTicket TFileFlusher::Submit(int fd, const std::string& path) {
    const int own = OwnDescriptor(fd, path);
    if (own < 0) {
        // Flushed here: the write is as safe as without a flusher.
        if (FSync(fd) != 0) RaiseWriteError(path, errno);
        std::lock_guard<std::mutex> guard(FLock);
        return FDone;
    }
    // Posted under the lock, so tickets reach the flusher in their order and
    // a round's last ticket is the highest done.
    std::lock_guard<std::mutex> guard(FLock);
    const TTicket ticket = FSubmitted + 1;
    try {
        FWorker.Post(TEntry{own, path, ticket});
    } catch (...) {
        ::close(own);
        throw;
    }
    FSubmitted = ticket;
    return ticket;
}

void TFileFlusher::WaitFlushed() {
    std::unique_lock<std::mutex> guard(FLock);
    const TTicket target = FSubmitted;
    FDoneChanged.wait(guard, [&] { return FDone >= target; });
}

TFileFlusher::TTicket TFileFlusher::Submitted() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FSubmitted;
}

TFileFlusher::TTicket TFileFlusher::Done() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FDone;
}

std::vector<TFileFlusher::TFailure> TFileFlusher::TakeFailures() {
    std::lock_guard<std::mutex> guard(FLock);
    return std::exchange(FFailures, {});
}

uint64_t TFileFlusher::Rounds() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FRounds;
}

uint64_t TFileFlusher::Syncs() const {
    std::lock_guard<std::mutex> guard(FLock);
    return FSyncs;
}

void TFileFlusher::FlushRound(std::vector<TEntry>& entries) {
    // One flush per file, however often it was handed over.
    std::map<std::pair<dev_t, ino_t>, const TEntry*> files;
    std::vector<const TEntry*> unknown;
    for (const TEntry& entry : entries) {
        struct stat st {};
        if (::fstat(entry.Fd, &st) != 0) {
            unknown.push_back(&entry);
        } else {
            files.emplace(std::make_pair(st.st_dev, st.st_ino), &entry);
        }
    }
    std::vector<TFailure> failures;
    uint64_t syncs = 0;
    auto flush = [&](const TEntry& entry) {
        ++syncs;
        if (FSync(entry.Fd) != 0) failures.push_back({entry.Path, errno});
    };
    for (const auto& [key, entry] : files) flush(*entry);
    for (const TEntry* entry : unknown) flush(*entry);
    for (const TEntry& entry : entries) ::close(entry.Fd);

    std::lock_guard<std::mutex> guard(FLock);
    for (TFailure& failure : failures) FFailures.push_back(std::move(failure));
    FDone = entries.back().Ticket;
    ++FRounds;
    FSyncs += syncs;
    FDoneChanged.notify_all();
}
