#pragma once
// The notification sink: the only way the worker threads of a TComm talk to
// the thread that created it. Threads post notifications; the sink carries
// them, in posted order, to the creating thread and hands each to its TComm,
// which raises the event.
//
// How a TComm gets its sink:
//   - the application installs a factory once at start-up
//     (SetCommSinkFactory; the Qt glue offers InstallQtCommSinks);
//   - every TComm constructed without an explicit sink asks the factory for
//     one, on the constructing thread;
//   - with no factory installed, a TManualCommSink is made: a queue that its
//     owner drains by hand (tests, tools without an event loop).
// The TComm owns its sink and destroys it after the worker threads have ended,
// so whatever is still queued dies with the sink and never reaches a
// destroyed component. What a closed opening left queued is dropped on
// delivery instead (TCommNotification::Opening), so it never reaches the
// next opening either.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class TComm;

// One posted notification. Message is one of the Comm* numbers of
// CommTypes.h; unknown numbers are ignored when delivered.
struct TCommNotification {
    uint32_t Message = 0;
    // CommDataReceived: the byte count (1 to kReadChunk).
    uint16_t Count = 0;
    // CommReceiveError: the error flags; CommModemStateChange: the modem bits.
    uint32_t Bits = 0;
    // CommDataReceived: Count bytes and one zero byte after them. Owned by the
    // notification until the OnReceiveData handler has returned.
    std::unique_ptr<uint8_t[]> Buffer;
    // The opening of the port whose worker thread posted it (numbered from 1).
    // The component drops it on delivery unless that opening is still the
    // current one. 0: posted by other code, not by a worker; always delivered.
    uint32_t Opening = 0;
};

class TCommSink {
  public:
    TCommSink() = default;
    TCommSink(const TCommSink&) = delete;
    TCommSink& operator=(const TCommSink&) = delete;
    virtual ~TCommSink() = default;

    // Called from the worker threads. False when the notification could not
    // be queued (the caller then reports a hang-up instead).
    virtual bool Post(TCommNotification&& notification) noexcept = 0;

    // Set once by the TComm that owns this sink.
    void Bind(TComm* target) { FTarget = target; }

  protected:
    // Raises the notification's event on the calling thread, which must be
    // the creating thread. Exceptions of event handlers pass through.
    void Deliver(TCommNotification& notification);

  private:
    TComm* FTarget = nullptr;  // the owner; outlives this sink
};

// A queue drained by hand on the creating thread.
class TManualCommSink final : public TCommSink {
  public:
    bool Post(TCommNotification&& notification) noexcept override;

    // Delivers what is queued, one notification at a time, including any
    // posted while it runs. Returns how many were delivered.
    size_t Drain();
    // Drains until done() holds, waiting for notifications in between; false
    // when the timeout passes first. done() is checked before each wait.
    bool DrainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    size_t Pending() const;

  private:
    mutable std::mutex FLock;
    std::condition_variable FArrived;
    std::deque<TCommNotification> FQueue;
};

using TCommSinkFactory = std::function<std::unique_ptr<TCommSink>()>;

// Installs the process-wide factory (an empty one restores the manual
// default). Called once by the application before it creates components.
void SetCommSinkFactory(TCommSinkFactory factory);
// The sink a TComm constructed without one gets.
std::unique_ptr<TCommSink> MakeCommSink();
