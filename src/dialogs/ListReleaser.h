#pragma once
// Lets big things go on a thread of its own: giving a few hundred megabytes
// back to the system takes tens of milliseconds, which the window's thread
// must not spend. One long-lived worker, started with the first thing given,
// frees what it is given in the order given.
//
//   idle (no worker) --Release--> running: frees what is given as it comes
//   running --destructor--> stopping: frees what is still queued, ends;
//                           the destructor joins it
//
// The destructor returns once everything given has been freed, so nothing
// queued is leaked at program exit, and since the thread only ever frees
// memory it cannot keep the destructor waiting for long. What cannot be
// queued (no thread or no memory to be had) is freed right in Release.

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/BatchWorker.h"

class TListReleaser {
  public:
    TListReleaser() = default;
    ~TListReleaser() = default;
    TListReleaser(const TListReleaser&) = delete;
    TListReleaser& operator=(const TListReleaser&) = delete;

    // Takes `value` (a list moved in) and frees it on the thread. Any type
    // will do; tests give lists that log where they are freed.
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
    using TWorker = TBatchWorker<std::unique_ptr<THeldBase>>;
    void Give(std::unique_ptr<THeldBase> held);

    std::unique_ptr<TWorker> FWorker;  // made by the first Give
};
