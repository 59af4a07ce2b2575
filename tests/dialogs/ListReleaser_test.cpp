#include "dialogs/ListReleaser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "store/Items.h"

namespace {

// Generous: a loaded machine runs several test binaries at once.
constexpr auto kTimeout = std::chrono::seconds(30);

// Where and in which order things were freed.
struct TFreedLog {
    std::mutex Mutex;
    std::condition_variable Changed;
    std::vector<int> Order;
    std::vector<std::thread::id> Threads;

    void Add(int tag) {
        const std::lock_guard<std::mutex> lock(Mutex);
        Order.push_back(tag);
        Threads.push_back(std::this_thread::get_id());
        Changed.notify_all();
    }
    bool WaitFreed(size_t count) {
        std::unique_lock<std::mutex> lock(Mutex);
        return Changed.wait_for(lock, kTimeout, [&] { return Order.size() >= count; });
    }
    size_t Freed() {
        const std::lock_guard<std::mutex> lock(Mutex);
        return Order.size();
    }
};

// A list's allocator that logs where its memory is given back.
template <class T>
struct TLoggingAllocator {
    using value_type = T;
    TLoggingAllocator(std::shared_ptr<TFreedLog> log, int tag) : Log(std::move(log)), Tag(tag) {}
    template <class U>
    TLoggingAllocator(const TLoggingAllocator<U>& other) : Log(other.Log), Tag(other.Tag) {}
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) {
        std::allocator<T>().deallocate(p, n);
        Log->Add(Tag);
    }
    bool operator==(const TLoggingAllocator& other) const { return Log == other.Log; }
    std::shared_ptr<TFreedLog> Log;
    int Tag;
};
using TLoggedList = std::vector<TTmpReading, TLoggingAllocator<TTmpReading>>;

TLoggedList LoggedList(const std::shared_ptr<TFreedLog>& log, int tag, size_t rows) {
    TLoggedList list(TLoggingAllocator<TTmpReading>(log, tag));
    list.resize(rows);
    return list;
}

// Logs when destroyed, after holding its thread until `hold` says so.
struct THolding {
    THolding(std::shared_ptr<TFreedLog> log, std::function<bool()> hold)
        : Log(std::move(log)), Hold(std::move(hold)) {}
    THolding(THolding&& other) noexcept = default;
    ~THolding() {
        if (!Log) return;  // moved from
        const auto until = std::chrono::steady_clock::now() + kTimeout;
        while (Hold() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        Log->Add(0);
    }
    std::shared_ptr<TFreedLog> Log;
    std::function<bool()> Hold;
};

}  // namespace

// A list given is freed on the releaser's thread, not the caller's, and the
// same thread frees the next one given after it went idle.
TEST(TListReleaser, FreesAListOffTheCallingThreadOnOneLongLivedThread) {
    auto log = std::make_shared<TFreedLog>();
    TListReleaser releaser;
    TLoggedList first = LoggedList(log, 1, 100000);
    releaser.Release(std::move(first));
    ASSERT_TRUE(log->WaitFreed(1));
    TLoggedList second = LoggedList(log, 2, 1000);
    releaser.Release(std::move(second));
    ASSERT_TRUE(log->WaitFreed(2));
    const std::lock_guard<std::mutex> lock(log->Mutex);
    EXPECT_EQ(log->Order, (std::vector<int>{1, 2}));
    EXPECT_NE(log->Threads[0], std::this_thread::get_id());
    EXPECT_EQ(log->Threads[1], log->Threads[0]);
}

// Destroyed while lists still wait behind one being freed: the destructor
// frees every one of them, in the order given, and returns.
TEST(TListReleaser, DestructionWithReleasesPendingFreesThemAllAndReturns) {
    auto log = std::make_shared<TFreedLog>();
    auto releaser = std::make_unique<TListReleaser>();
    TListReleaser* stopping = releaser.get();
    std::atomic<bool> heldUntilStopping{false};
    // The thread is held in the first one until the destructor has begun,
    // so the other two are still queued then.
    releaser->Release(THolding(log, [&] {
        heldUntilStopping = stopping->StoppingForTest();
        return !heldUntilStopping;
    }));
    releaser->Release(LoggedList(log, 1, 1000));
    releaser->Release(LoggedList(log, 2, 1000));
    EXPECT_EQ(log->Freed(), 0u);
    releaser.reset();
    EXPECT_TRUE(heldUntilStopping);
    const std::lock_guard<std::mutex> lock(log->Mutex);
    EXPECT_EQ(log->Order, (std::vector<int>{0, 1, 2}));
    for (const std::thread::id& thread : log->Threads) {
        EXPECT_NE(thread, std::this_thread::get_id());
    }
}
