#include "dialogs/ListReleaser.h"

#include <system_error>

TListReleaser::~TListReleaser() {
    {
        const std::lock_guard<std::mutex> lock(FMutex);
        FStopping = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
    // Left queued only if the thread ended early: FQueue's own destructor
    // frees that here.
}

bool TListReleaser::StoppingForTest() const {
    const std::lock_guard<std::mutex> lock(FMutex);
    return FStopping;
}

void TListReleaser::Give(std::unique_ptr<THeldBase> held) {
    {
        std::unique_lock<std::mutex> lock(FMutex);
        if (!FThread.joinable()) {
            try {
                FThread = std::thread([this] { Run(); });
            } catch (const std::system_error&) {
                // No thread to be had: `held` goes right here, unlocked.
                lock.unlock();
                return;
            }
        }
        FQueue.push_back(std::move(held));
    }
    FChanged.notify_one();
}

void TListReleaser::Run() noexcept {
    try {
        std::unique_lock<std::mutex> lock(FMutex);
        for (;;) {
            FChanged.wait(lock, [this] { return FStopping || !FQueue.empty(); });
            // Stopping drains the queue first.
            if (FQueue.empty()) return;
            std::unique_ptr<THeldBase> held = std::move(FQueue.front());
            FQueue.pop_front();
            lock.unlock();
            held.reset();  // the long part, with the queue open to others
            lock.lock();
        }
    } catch (...) {
        // A lock that failed: whatever is left is freed by the destructor.
    }
}
