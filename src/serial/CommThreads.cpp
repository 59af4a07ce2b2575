// The thread base, the writer's queue and the writer thread. The reader's
// loop lives in ReadThread.cpp.

#include "serial/CommThreads.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <system_error>

#include "serial/CommTypes.h"
#include "serial/EventFd.h"
#include "serial/PortDevice.h"

namespace {

// One priority step of the worker threads in nice levels.
constexpr int kNicePerStep = 5;
constexpr int kHighestNice = -20;

// Raises the calling thread's priority; where the system refuses (no
// privilege), the thread keeps running at the priority it has.
void RaiseThreadPriority(int steps) {
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    if (current == -1 && errno != 0) return;
    const int wanted = std::max(current - steps * kNicePerStep, kHighestNice);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), wanted);
}

using TClock = std::chrono::steady_clock;

}  // namespace

// ---- TCommThread -------------------------------------------------------

TCommThread::TCommThread(const TThreadLinks& links, int priorityBoost, const char* name)
    : FLinks(links), FPriorityBoost(priorityBoost), FName(name) {}

TCommThread::~TCommThread() {
    Join();
}

bool TCommThread::Start() {
    try {
        FThread = std::thread(&TCommThread::Run, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void TCommThread::Join() {
    if (FThread.joinable()) FThread.join();
}

void TCommThread::Run() noexcept {
    ::pthread_setname_np(::pthread_self(), FName);
    RaiseThreadPriority(FPriorityBoost);
    try {
        Execute();
    } catch (...) {
        PostHangup();
    }
    FEnded.store(true);
}

bool TCommThread::Notify(TCommNotification&& notification) {
    notification.Opening = FLinks.Opening;
    if (FLinks.Sink->Post(std::move(notification))) return true;
    PostHangup();
    return false;
}

void TCommThread::PostHangup() {
    if (FLinks.HangupPosted->exchange(true)) return;
    TCommNotification hangup;
    hangup.Message = CommRequestHangup;
    hangup.Opening = FLinks.Opening;
    FLinks.Sink->Post(std::move(hangup));
}

bool TCommThread::StopSignalled() const {
    return FLinks.Stop->IsSignalled();
}

// ---- TWriteQueue -------------------------------------------------------

TWriteQueue::TWriteQueue() : FWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TWriteQueue::~TWriteQueue() {
    if (FWakeFd >= 0) ::close(FWakeFd);
}

bool TWriteQueue::Push(TWriteRequest&& request) noexcept {
    try {
        std::lock_guard<std::mutex> lock(FLock);
        if (FClosed || FWakeFd < 0) return false;
        FQueue.push_back(std::move(request));
        if (FQueue.size() == 1) {
            const uint64_t one = 1;
            while (::write(FWakeFd, &one, sizeof(one)) < 0 && errno == EINTR) {
            }
        }
        return true;
    } catch (...) {
        return false;
    }
}

std::optional<TWriteRequest> TWriteQueue::TryPop() {
    std::lock_guard<std::mutex> lock(FLock);
    if (FQueue.empty()) return std::nullopt;
    TWriteRequest request = std::move(FQueue.front());
    FQueue.pop_front();
    if (FQueue.empty()) {
        uint64_t count = 0;
        while (::read(FWakeFd, &count, sizeof(count)) < 0 && errno == EINTR) {
        }
    }
    return request;
}

void TWriteQueue::Close() {
    std::lock_guard<std::mutex> lock(FLock);
    FClosed = true;
    FQueue.clear();
}

// ---- TWriteThread ------------------------------------------------------

namespace {
constexpr int kWriterPriorityBoost = 1;
}

TWriteThread::TWriteThread(const TThreadLinks& links, std::atomic<uint8_t>* sendIdle)
    : TCommThread(links, kWriterPriorityBoost, "tc-comm-write"), FSendIdle(sendIdle) {}

// announce: post CommSendDataEmpty the next time the queue is found empty.
// It is set at the start and after each write, so the notification comes once
// at the start and once each time the queue runs dry after writes.
void TWriteThread::Execute() {
    try {
        bool announce = true;
        for (;;) {
            std::optional<TWriteRequest> request = FQueue.TryPop();
            if (!request) {
                FSendIdle->store(1);
                if (announce) {
                    TCommNotification empty;
                    empty.Message = CommSendDataEmpty;
                    if (!Notify(std::move(empty))) break;
                }
                if (WaitForRequest() != TWaitResult::Ready) break;
                announce = false;
                continue;
            }
            if (StopSignalled()) break;  // the request is dropped
            if (!Write(*request)) break;
            announce = true;
        }
    } catch (...) {
        PostHangup();
    }
    Finish();
}

void TWriteThread::Finish() {
    FLinks.Port->PurgeOutput();
    FSendIdle->store(1);
    // Requests still queued are dropped; SendData fails from now on.
    FQueue.Close();
}

TWriteThread::TWaitResult TWriteThread::WaitForRequest() {
    for (;;) {
        pollfd fds[2] = {{FLinks.Stop->Fd(), POLLIN, 0}, {FQueue.WakeFd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            PostHangup();
            return TWaitResult::Failed;
        }
        if (fds[0].revents != 0) return TWaitResult::Stopped;
        if (fds[1].revents & POLLIN) return TWaitResult::Ready;
        if (fds[1].revents != 0) {
            PostHangup();
            return TWaitResult::Failed;
        }
    }
}

TWriteThread::TWaitResult TWriteThread::WaitWritable(int timeoutMs) {
    for (;;) {
        pollfd fds[2] = {{FLinks.Stop->Fd(), POLLIN, 0}, {FLinks.Port->Fd(), POLLOUT, 0}};
        const int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            PostHangup();
            return TWaitResult::Failed;
        }
        if (fds[0].revents != 0) return TWaitResult::Stopped;
        const short port = fds[1].revents;
        if (port & POLLNVAL) return TWaitResult::Failed;  // closed under the thread
        if (port & POLLOUT) return TWaitResult::Ready;
        if (port & (POLLHUP | POLLERR)) {
            PostHangup();
            return TWaitResult::Failed;
        }
        return TWaitResult::Ready;  // the attempt's time limit passed
    }
}

std::chrono::milliseconds TWriteThread::StalledFor() const {
    const int64_t since = FStalledSince.load();
    if (since == 0) return std::chrono::milliseconds(0);
    const auto stalled = TClock::now() - TClock::time_point(TClock::duration(since));
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(stalled),
                    std::chrono::milliseconds(0));
}

// A write that passes its time limit ends with what it wrote, and the rest
// goes out in a new attempt, as after any partial write: the limit paces the
// attempts and never drops bytes.
bool TWriteThread::Write(const TWriteRequest& request) {
    // However the write ends, the writer no longer waits for room after it.
    struct TStallReset {
        std::atomic<int64_t>& Since;
        ~TStallReset() { Since.store(0); }
    } stallReset{FStalledSince};
    const uint8_t* next = request.Data.get();
    size_t remaining = request.Length;
    auto deadline = TClock::time_point::max();
    bool attemptOpen = false;
    while (remaining > 0) {
        if (!attemptOpen) {
            const TCommTimeouts limits = FLinks.Port->Timeouts();
            const uint64_t limitMs = std::min<uint64_t>(
                static_cast<uint64_t>(limits.WriteTotalTimeoutMultiplier) * remaining +
                    limits.WriteTotalTimeoutConstant,
                kLongestLimitMs);
            deadline = limitMs == 0 ? TClock::time_point::max()
                                    : TClock::now() + std::chrono::milliseconds(limitMs);
            attemptOpen = true;
        }
        const ssize_t written = FLinks.Port->Write(next, remaining);
        if (written > 0) {
            next += written;
            remaining -= static_cast<size_t>(written);
            FStalledSince.store(0);
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EBADF) return false;
        if (written < 0 && errno != EAGAIN) {
            PostHangup();
            return false;
        }
        // The device takes no more for now: wait for room. The stall counts
        // from the first wait since the device last took a byte; new attempts
        // after a time limit do not restart it.
        if (FStalledSince.load() == 0) {
            // Never 0 itself, which means "not waiting".
            FStalledSince.store(std::max<int64_t>(TClock::now().time_since_epoch().count(), 1));
        }
        int timeoutMs = -1;
        if (deadline != TClock::time_point::max()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - TClock::now());
            if (left.count() <= 0) {
                attemptOpen = false;
                continue;
            }
            timeoutMs = static_cast<int>(std::min<int64_t>(left.count(), INT_MAX));
        }
        const TWaitResult wait = WaitWritable(timeoutMs);
        if (wait != TWaitResult::Ready) return false;
    }
    return true;
}
