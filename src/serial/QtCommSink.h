#pragma once
// The application's notification sink: carries every notification of a TComm
// onto the Qt thread that created the component, in posted order, as one
// queued invocation each on a QObject living in that thread.
//
// Lifetime: the TComm owns its sink and destroys it after its threads have
// ended; Qt removes the invocations still queued for a destroyed QObject, so
// nothing reaches a dead component and queued buffers are freed.
//
// Exceptions of event handlers never unwind through the event loop: they are
// caught and handed to the handler installed with InstallQtCommSinks (by
// default they are written to Qt's warning log).

#include <QObject>
#include <exception>
#include <functional>

#include "serial/CommSink.h"

using TCommHandlerErrorHandler = std::function<void(std::exception_ptr)>;

class TQtCommSink final : public QObject, public TCommSink {
  public:
    // Lives in the calling thread, which must run a Qt event loop.
    TQtCommSink();
    bool Post(TCommNotification&& notification) noexcept override;
};

// Installs the process-wide sink factory that makes a TQtCommSink for every
// TComm constructed from then on, and the handler for exceptions escaping
// event handlers (empty: the warning log). Called once, on the main thread.
void InstallQtCommSinks(TCommHandlerErrorHandler onHandlerError = {});
