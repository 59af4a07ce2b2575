#pragma once
// The application's notification sink: carries every notification of a TComm
// onto the Qt thread that created the component, in posted order.
//
// The sinks of one thread share one delivery queue, drained by a queued
// invocation in that thread. A drain delivers for at most a slice of time
// (kDeliverySlice) and then lets the event loop turn (timers, painting,
// input) before the next drain goes on: 255 replies arriving at once must not
// hold the window for the time it takes to handle all of them. Order is kept
// across every sink of the thread, so also for each component.
//
// Lifetime: the TComm owns its sink and destroys it after its threads have
// ended; the sink takes what it still has queued out of the shared queue, so
// nothing reaches a dead component and queued buffers are freed.
//
// Exceptions of event handlers never unwind through the event loop: they are
// caught and handed to the handler installed with InstallQtCommSinks (by
// default they are written to Qt's warning log).

#include <QObject>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>

#include "serial/CommSink.h"

using TCommHandlerErrorHandler = std::function<void(std::exception_ptr)>;

class TCommDeliveryQueue;

class TQtCommSink final : public TCommSink {
  public:
    // How long one drain delivers before the event loop gets a turn.
    static constexpr std::chrono::milliseconds kDeliverySlice{10};

    // Lives in the calling thread, which must run a Qt event loop.
    TQtCommSink();
    ~TQtCommSink() override;
    bool Post(TCommNotification&& notification) noexcept override;

    // Test seam: the slice of every drain from now on (kDeliverySlice
    // unless set; zero delivers one notification per turn).
    static void SetDeliverySliceForTest(std::chrono::nanoseconds slice);

  private:
    friend class TCommDeliveryQueue;
    void DeliverHere(TCommNotification& notification);

    std::shared_ptr<TCommDeliveryQueue> FQueue;
};

// Installs the process-wide sink factory that makes a TQtCommSink for every
// TComm constructed from then on, and the handler for exceptions escaping
// event handlers (empty: the warning log). Called once, on the main thread.
void InstallQtCommSinks(TCommHandlerErrorHandler onHandlerError = {});
