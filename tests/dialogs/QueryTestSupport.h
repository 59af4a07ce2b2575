#pragma once
// Waiting for a history panel's query, and holding its worker on a gate so
// that tests see what happens while it runs.

#include <QtTest/QTest>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"

namespace querytest {

// Generous: a loaded machine runs several test binaries at once.
constexpr int kQueryTimeoutMs = 30000;

// Runs the event loop until the panel's query delivered its result or was
// cancelled; false at the time-out.
inline bool QueryEnded(const THistoryPanel& panel) {
    return QTest::qWaitFor([&] { return !panel.Query()->Running(); }, kQueryTimeoutMs);
}

// Holds every worker of the query it is installed on before its work, until
// Open, or until that worker's query is cancelled.
class TQueryGate {
  public:
    explicit TQueryGate(THistoryQuery& query) : FState(std::make_shared<TState>()) {
        // The worker keeps the state alive, whichever goes first.
        query.SetGate([state = FState](const std::atomic<bool>& cancelled) {
            std::unique_lock<std::mutex> lock(state->Mutex);
            ++state->Arrived;
            state->Changed.notify_all();
            while (!state->Open && !cancelled) {
                state->Changed.wait_for(lock, std::chrono::milliseconds(5));
            }
            ++state->Passed;
        });
    }
    void Open() {
        const std::lock_guard<std::mutex> lock(FState->Mutex);
        FState->Open = true;
        FState->Changed.notify_all();
    }
    // Waits (without the event loop) until Count workers reached the gate.
    bool WaitArrived(int count) {
        std::unique_lock<std::mutex> lock(FState->Mutex);
        return FState->Changed.wait_for(lock, std::chrono::milliseconds(kQueryTimeoutMs),
                                        [&] { return FState->Arrived >= count; });
    }
    int Passed() const {
        const std::lock_guard<std::mutex> lock(FState->Mutex);
        return FState->Passed;
    }

  private:
    struct TState {
        mutable std::mutex Mutex;
        std::condition_variable Changed;
        bool Open = false;
        int Arrived = 0;
        int Passed = 0;
    };
    std::shared_ptr<TState> FState;
};

}  // namespace querytest
