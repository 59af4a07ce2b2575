#include "serial/QtCommSink.h"

#include <QMetaObject>
#include <QtGlobal>
#include <memory>
#include <mutex>
#include <utility>

namespace {

std::mutex& ErrorHandlerLock() {
    static std::mutex lock;
    return lock;
}

TCommHandlerErrorHandler& ErrorHandler() {
    static TCommHandlerErrorHandler handler;
    return handler;
}

void ReportHandlerError(std::exception_ptr error) {
    TCommHandlerErrorHandler handler;
    {
        std::lock_guard<std::mutex> lock(ErrorHandlerLock());
        handler = ErrorHandler();
    }
    try {
        if (handler) {
            handler(error);
            return;
        }
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        qWarning("serial port event handler failed: %s", e.what());
    } catch (...) {
        qWarning("serial port event handler failed");
    }
}

}  // namespace

TQtCommSink::TQtCommSink() = default;

bool TQtCommSink::Post(TCommNotification&& notification) noexcept {
    try {
        // Queued invocations need a copyable functor: share the notification.
        auto shared = std::make_shared<TCommNotification>(std::move(notification));
        return QMetaObject::invokeMethod(
            this,
            [this, shared] {
                try {
                    Deliver(*shared);
                } catch (...) {
                    ReportHandlerError(std::current_exception());
                }
            },
            Qt::QueuedConnection);
    } catch (...) {
        return false;
    }
}

void InstallQtCommSinks(TCommHandlerErrorHandler onHandlerError) {
    {
        std::lock_guard<std::mutex> lock(ErrorHandlerLock());
        ErrorHandler() = std::move(onHandlerError);
    }
    SetCommSinkFactory([] { return std::make_unique<TQtCommSink>(); });
}
