#pragma once
// Lets big things go on a thread of its own: giving a few hundred megabytes
// back to the system takes tens of milliseconds, which the window's thread
// must not spend. One long-lived thread, started with the first thing given,
// frees what it is given in the order given.
//
//   idle (no thread) --Release--> running: waits, frees what is queued, waits
//   running --destructor--> stopping: frees what is still queued, ends;
//                           the destructor joins it
//
// The destructor returns once everything given has been freed, so nothing
// queued is leaked at program exit, and since the thread only ever frees
// memory it cannot keep the destructor waiting for long. What cannot be
// queued (no thread or no memory to be had) is freed right in Release.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>

class TListReleaser {
  public:
    TListReleaser() = default;
    ~TListReleaser();
    TListReleaser(const TListReleaser&) = delete;
    TListReleaser& operator=(const TListReleaser&) = delete;

    // Takes `value` (a list moved in) and frees it on the thread.
    template <class T>
    void Release(T value) noexcept {
        static_assert(std::is_nothrow_destructible_v<T>);
        try {
            Give(std::make_unique<THeld<T>>(std::move(value)));
        } catch (...) {
            // Out of memory for the queue: `value` goes right here.
        }
    }

    // Whether the destructor has begun (tests hold the thread until then).
    bool StoppingForTest() const;

  private:
    struct THeldBase {
        virtual ~THeldBase() = default;
    };
    template <class T>
    struct THeld final : THeldBase {
        explicit THeld(T&& value) : Value(std::move(value)) {}
        T Value;
    };
    void Give(std::unique_ptr<THeldBase> held);
    void Run() noexcept;

    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    std::deque<std::unique_ptr<THeldBase>> FQueue;  // guarded by FMutex
    bool FStopping = false;                         // guarded by FMutex
    std::thread FThread;                            // started by the first Give
};
