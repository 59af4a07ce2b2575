#pragma once
// A thread of its own that takes what is posted to it in batches: each turn
// takes everything posted since the last one and hands it to the handler in
// the order posted. What is posted while a batch runs makes up the next one,
// so a steady stream of posts groups itself (the flusher syncs a file once
// per batch however often it came).
//
//   running: waits --Post--> takes the queue as one batch, handles it,
//            destroys its items, waits again
//   running --destructor--> stopping: handles what is queued still, ends;
//                           the destructor joins it
//
// The batch's items are destroyed on the worker's thread too, after the
// handler: freeing a long list is work the poster hands over as well. The
// handler must not raise; it runs with the queue open to posters.

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

template <class TItem>
class TBatchWorker {
  public:
    using THandler = std::function<void(std::vector<TItem>& batch)>;

    // Starts the thread; raises std::system_error when none can be had.
    explicit TBatchWorker(THandler handler)
        : FHandler(std::move(handler)), FThread([this] { Run(); }) {}
    // Handles everything posted, then ends the thread.
    ~TBatchWorker() {
        {
            const std::lock_guard<std::mutex> guard(FLock);
            FStopping = true;
        }
        FPosted.notify_all();
        FThread.join();
    }
    TBatchWorker(const TBatchWorker&) = delete;
    TBatchWorker& operator=(const TBatchWorker&) = delete;

    // Raises only what the queue's allocation raises; `item` is then left
    // with the caller untouched.
    void Post(TItem&& item) {
        {
            const std::lock_guard<std::mutex> guard(FLock);
            FQueue.push_back(std::move(item));
        }
        FPosted.notify_one();
    }

    // Whether the destructor has begun (tests hold the thread until then).
    bool Stopping() const {
        const std::lock_guard<std::mutex> guard(FLock);
        return FStopping;
    }

  private:
    void Run() noexcept {
        std::unique_lock<std::mutex> guard(FLock);
        for (;;) {
            FPosted.wait(guard, [this] { return FStopping || !FQueue.empty(); });
            if (FQueue.empty()) return;  // stopping with nothing left
            std::vector<TItem> batch = std::exchange(FQueue, {});
            guard.unlock();
            FHandler(batch);
            batch.clear();
            guard.lock();
        }
    }

    THandler FHandler;
    mutable std::mutex FLock;
    std::condition_variable FPosted;
    std::vector<TItem> FQueue;  // guarded by FLock
    bool FStopping = false;     // guarded by FLock
    std::thread FThread;        // last: starts once everything it uses is made
};
