// The reader thread: one poll() on the stop event and the device, a chunk
// buffer of kReadChunk bytes, and the time limits that end a chunk.
//
//   poll(stop, device; timeout = nearest of gap end, total limit, line check)
//     stop readable            -> end
//     device readable          -> read up to the chunk's free space, filter,
//                                 check line errors; full chunk -> hand over
//     gap passed / limit passed -> hand over what the chunk holds
//     end of file, I/O error   -> hand over what it holds, CommRequestHangup, end
//     descriptor invalid       -> end silently
// The thread blocks only in poll(), so a device that reports nothing (a pty)
// costs nothing while idle.

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <new>

#include "serial/CommThreads.h"
#include "serial/CommTypes.h"
#include "serial/EventFd.h"
#include "serial/InputFilter.h"
#include "serial/LineStatus.h"
#include "serial/PortDevice.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int kReaderPriorityBoost = 2;
// How often a device that keeps line counters is asked for them while no
// bytes arrive (carrier and ring changes come without data).
constexpr auto kLineCheckInterval = std::chrono::milliseconds(1000);

// Milliseconds until when, rounded up so a wake-up never comes early.
int MillisecondsUntil(TClock::time_point when, TClock::time_point now) {
    if (when <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

// The reader's loop state; Run returns when the thread is to end.
class TReader {
  public:
    TReader(TPortDevice& port, TEventFd& stop, TCommThread& thread)
        : FPort(port), FStop(stop), FThread(thread), FMonitor(port.Fd()) {}

    void Run();

  private:
    bool HandOver();
    bool DeliverChunk();
    bool ReportLineChanges();
    bool ReadAvailable(short revents);
    int PollTimeout(TClock::time_point now) const;
    bool GapPassed(TClock::time_point now) const {
        return FHave > 0 && FPlan.Gap && now - FLastByte >= *FPlan.Gap;
    }
    bool TotalPassed(TClock::time_point now) const {
        return FPlan.Total && now - FWindowStart >= *FPlan.Total;
    }

    TPortDevice& FPort;
    TEventFd& FStop;
    TCommThread& FThread;  // posts for the reader

    TLineMonitor FMonitor;
    TInputFilter FFilter;
    TReadPlan FPlan;
    uint8_t FRaw[kReadChunk];
    uint8_t FChunk[kReadChunk];
    size_t FHave = 0;
    TClock::time_point FWindowStart;
    TClock::time_point FLastByte;
    TClock::time_point FNextLineCheck;
};

// Hands over what the chunk holds (if anything) and begins the next read
// with the time limits in force now.
bool TReader::HandOver() {
    const bool ok = FHave == 0 || DeliverChunk();
    FHave = 0;
    FPlan = ReadPlanFor(FPort.Timeouts());
    FWindowStart = TClock::now();
    return ok;
}

bool TReader::DeliverChunk() {
    TCommNotification data;
    data.Message = CommDataReceived;
    data.Count = static_cast<uint16_t>(FHave);
    // One zero byte after the data, not counted.
    data.Buffer.reset(new (std::nothrow) uint8_t[FHave + 1]);
    if (!data.Buffer) {
        FThread.PostHangup();
        return false;
    }
    std::memcpy(data.Buffer.get(), FChunk, FHave);
    data.Buffer[FHave] = 0;
    return FThread.Notify(std::move(data));
}

bool TReader::ReportLineChanges() {
    const TLineChanges changes = FMonitor.Check();
    if (changes.ErrorMask != 0) {
        TCommNotification error;
        error.Message = CommReceiveError;
        error.Bits = changes.ErrorMask;
        if (!FThread.Notify(std::move(error))) return false;
    }
    if (changes.ModemBits != 0) {
        TCommNotification modem;
        modem.Message = CommModemStateChange;
        modem.Bits = changes.ModemBits;
        if (!FThread.Notify(std::move(modem))) return false;
    }
    return true;
}

int TReader::PollTimeout(TClock::time_point now) const {
    auto until = TClock::time_point::max();
    if (FHave > 0 && FPlan.Gap) until = std::min(until, FLastByte + *FPlan.Gap);
    if (FPlan.Total) until = std::min(until, FWindowStart + *FPlan.Total);
    if (FMonitor.Supported()) until = std::min(until, FNextLineCheck);
    return until == TClock::time_point::max() ? -1 : MillisecondsUntil(until, now);
}

// One read after poll() reported the device. False ends the thread.
bool TReader::ReadAvailable(short revents) {
    const ssize_t n = ::read(FPort.Fd(), FRaw, kReadChunk - FHave);
    if (n > 0) {
        const TReadSettings settings = FPort.ReadSettings();
        FFilter.Configure(settings);
        size_t kept = FFilter.Process(FRaw, static_cast<size_t>(n), FChunk + FHave);
        // Bytes that come while DSR is low are ignored where the device has DSR.
        if (settings.DsrSensitive && ReadDsr(FPort.Fd()) == false) kept = 0;
        if (kept > 0) {
            FHave += kept;
            FLastByte = TClock::now();
        }
        // Line errors arrive with the bytes they spoiled.
        if (FMonitor.Supported() && !ReportLineChanges()) return false;
        if (FHave == kReadChunk || (FPlan.Immediate && FHave > 0)) return HandOver();
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    if (n < 0 && errno == EBADF) return false;
    if (n < 0 && errno == EAGAIN && !(revents & (POLLHUP | POLLERR))) return true;
    // End of file or an I/O error: the line hung up (a USB adapter pulled
    // out, the far end of a pty closed). What arrived before is still valid.
    if (FHave > 0) DeliverChunk();
    FHave = 0;
    FThread.PostHangup();
    return false;
}

void TReader::Run() {
    FPlan = ReadPlanFor(FPort.Timeouts());
    FWindowStart = TClock::now();
    FNextLineCheck = FWindowStart + kLineCheckInterval;
    for (;;) {
        const TClock::time_point now = TClock::now();
        if (GapPassed(now) || TotalPassed(now)) {
            if (!HandOver()) return;
            continue;
        }
        if (FMonitor.Supported() && now >= FNextLineCheck) {
            if (!ReportLineChanges()) return;
            FNextLineCheck = now + kLineCheckInterval;
        }

        pollfd fds[2] = {{FStop.Fd(), POLLIN, 0}, {FPort.Fd(), POLLIN, 0}};
        const int ready = ::poll(fds, 2, PollTimeout(now));
        if (ready < 0) {
            if (errno == EINTR) continue;
            FThread.PostHangup();
            return;
        }
        if (fds[0].revents != 0) return;        // stop event
        if (fds[1].revents & POLLNVAL) return;  // closed under the thread
        if (fds[1].revents == 0) continue;      // a time limit
        // A gap that passed before these bytes were seen ends the chunk first.
        if (GapPassed(TClock::now()) && !HandOver()) return;
        if (!ReadAvailable(fds[1].revents)) return;
    }
}

}  // namespace

TReadThread::TReadThread(const TThreadLinks& links)
    : TCommThread(links, kReaderPriorityBoost, "tc-comm-read") {}

void TReadThread::Execute() {
    try {
        TReader reader(*FLinks.Port, *FLinks.Stop, *this);
        reader.Run();
    } catch (...) {
        PostHangup();
    }
    FLinks.Port->PurgeInput();
}
