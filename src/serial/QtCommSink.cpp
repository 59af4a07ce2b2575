#include "serial/QtCommSink.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>
#include <QtGlobal>
#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
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

std::atomic<int64_t> gDeliverySliceNs{
    std::chrono::nanoseconds(TQtCommSink::kDeliverySlice).count()};

}  // namespace

// The notifications of every sink of one thread, oldest first, and the one
// queued drain that delivers them there.
class TCommDeliveryQueue final : public QObject {
  public:
    // The queue's last sink may go inside a drain (a handler that destroys
    // its component): the queue then goes once the drain has returned.
    static void Release(TCommDeliveryQueue* queue) {
        if (queue->FDraining) {
            queue->deleteLater();
        } else {
            delete queue;
        }
    }

    bool Push(TQtCommSink* sink, TCommNotification&& notification) {
        std::lock_guard<std::mutex> lock(FLock);
        FEntries.push_back({sink, std::move(notification)});
        if (FDrainQueued) return true;
        FDrainQueued = ScheduleDrain();
        if (!FDrainQueued) FEntries.pop_back();
        return FDrainQueued;
    }

    // The sink is going: what it still has queued goes with it.
    void Forget(const TQtCommSink* sink) {
        std::deque<TEntry> dropped;  // freed outside the lock
        std::lock_guard<std::mutex> lock(FLock);
        auto kept = std::stable_partition(FEntries.begin(), FEntries.end(),
                                          [sink](const TEntry& e) { return e.Sink != sink; });
        std::move(kept, FEntries.end(), std::back_inserter(dropped));
        FEntries.erase(kept, FEntries.end());
    }

  private:
    struct TEntry {
        TQtCommSink* Sink;
        TCommNotification Notification;
    };

    // Called with FLock held.
    bool ScheduleDrain() {
        return QMetaObject::invokeMethod(
            this, [this] { Drain(); }, Qt::QueuedConnection);
    }

    void Drain() {
        FDraining = true;
        struct TDrained {
            bool& Flag;
            ~TDrained() { Flag = false; }
        } drained{FDraining};
        QElapsedTimer slice;
        slice.start();
        const int64_t sliceNs = gDeliverySliceNs.load();
        for (bool first = true;; first = false) {
            TEntry entry;
            {
                std::lock_guard<std::mutex> lock(FLock);
                if (FEntries.empty()) {
                    FDrainQueued = false;
                    return;
                }
                if (!first && slice.nsecsElapsed() >= sliceNs) {
                    // Queued after everything already waiting in the event
                    // loop, so timers and input come first.
                    FDrainQueued = ScheduleDrain();
                    if (FDrainQueued) return;
                }
                entry = std::move(FEntries.front());
                FEntries.pop_front();
            }
            entry.Sink->DeliverHere(entry.Notification);
        }
    }

    std::mutex FLock;
    std::deque<TEntry> FEntries;
    bool FDrainQueued = false;
    bool FDraining = false;  // only touched on the queue's own thread
};

namespace {

// The queue of the calling thread, shared by its sinks while any lives.
std::shared_ptr<TCommDeliveryQueue> QueueOfThisThread() {
    static std::mutex lock;
    static std::map<QThread*, std::weak_ptr<TCommDeliveryQueue>> queues;
    std::lock_guard<std::mutex> guard(lock);
    std::weak_ptr<TCommDeliveryQueue>& slot = queues[QThread::currentThread()];
    std::shared_ptr<TCommDeliveryQueue> queue = slot.lock();
    if (!queue) {
        queue = std::shared_ptr<TCommDeliveryQueue>(new TCommDeliveryQueue(),
                                                    &TCommDeliveryQueue::Release);
        slot = queue;
    }
    // Threads that ended leave expired entries behind.
    std::erase_if(queues, [](const auto& entry) { return entry.second.expired(); });
    return queue;
}

}  // namespace

TQtCommSink::TQtCommSink() : FQueue(QueueOfThisThread()) {}

TQtCommSink::~TQtCommSink() {
    FQueue->Forget(this);
}

void TQtCommSink::SetDeliverySliceForTest(std::chrono::nanoseconds slice) {
    gDeliverySliceNs = slice.count();
}

bool TQtCommSink::Post(TCommNotification&& notification) noexcept {
    try {
        return FQueue->Push(this, std::move(notification));
    } catch (...) {
        return false;
    }
}

void TQtCommSink::DeliverHere(TCommNotification& notification) {
    try {
        Deliver(notification);
    } catch (...) {
        ReportHandlerError(std::current_exception());
    }
}

void InstallQtCommSinks(TCommHandlerErrorHandler onHandlerError) {
    {
        std::lock_guard<std::mutex> lock(ErrorHandlerLock());
        ErrorHandler() = std::move(onHandlerError);
    }
    SetCommSinkFactory([] { return std::make_unique<TQtCommSink>(); });
}
