#include "serial/CommSink.h"

#include <utility>

#include "serial/Comm.h"

void TCommSink::Deliver(TCommNotification& notification) {
    if (FTarget != nullptr) FTarget->HandleNotification(notification);
}

bool TManualCommSink::Post(TCommNotification&& notification) noexcept {
    try {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FQueue.push_back(std::move(notification));
        }
        FArrived.notify_all();
        return true;
    } catch (...) {
        return false;
    }
}

size_t TManualCommSink::Drain() {
    size_t delivered = 0;
    for (;;) {
        TCommNotification next;
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (FQueue.empty()) return delivered;
            next = std::move(FQueue.front());
            FQueue.pop_front();
        }
        // Outside the lock: a handler may post, close the port or drain again.
        Deliver(next);
        ++delivered;
    }
}

bool TManualCommSink::DrainUntil(const std::function<bool()>& done,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Drain();
        if (done()) return true;
        std::unique_lock<std::mutex> lock(FLock);
        if (!FArrived.wait_until(lock, deadline, [this] { return !FQueue.empty(); })) {
            lock.unlock();
            Drain();
            return done();
        }
    }
}

size_t TManualCommSink::Pending() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FQueue.size();
}

namespace {

std::mutex& FactoryLock() {
    static std::mutex lock;
    return lock;
}

TCommSinkFactory& Factory() {
    static TCommSinkFactory factory;
    return factory;
}

}  // namespace

void SetCommSinkFactory(TCommSinkFactory factory) {
    std::lock_guard<std::mutex> lock(FactoryLock());
    Factory() = std::move(factory);
}

std::unique_ptr<TCommSink> MakeCommSink() {
    TCommSinkFactory factory;
    {
        std::lock_guard<std::mutex> lock(FactoryLock());
        factory = Factory();
    }
    if (factory) {
        if (auto sink = factory()) return sink;
    }
    return std::make_unique<TManualCommSink>();
}
