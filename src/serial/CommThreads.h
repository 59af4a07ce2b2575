#pragma once
// The two worker threads of an open TComm.
//
//   TReadThread   waits on the device and the stop event together; hands every
//                 received chunk, line error and modem event to the sink.
//   TWriteThread  takes requests from its own FIFO queue and writes each in
//                 full, waiting on the device and the stop event together.
//
// Thread life:   created --Start--> running --stop event / failure--> ended
//                A thread that ended by itself stays ended until Join; the
//                port stays open until ClosePort. Join is the only way to
//                destroy a started thread.
//
// Neither thread calls application code; both only post to the sink. A
// failure posts CommRequestHangup, at most once per opening for both threads
// together (they share the latch), and ends the thread; an invalid descriptor
// (the port closed under the thread) ends it silently. Everything a thread
// posts carries the number of its opening, so that what is still queued when
// the port closes is dropped instead of reaching a later opening.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "serial/CommSink.h"

class TEventFd;
class TPortDevice;

// What both threads borrow from their TComm, which outlives them.
struct TThreadLinks {
    TPortDevice* Port = nullptr;
    TEventFd* Stop = nullptr;
    TCommSink* Sink = nullptr;
    std::atomic<bool>* HangupPosted = nullptr;
    uint32_t Opening = 0;  // stamped on every notification the threads post
};

class TCommThread {
  public:
    TCommThread(const TCommThread&) = delete;
    TCommThread& operator=(const TCommThread&) = delete;
    // Joins a thread still running: the owner signals the stop event first.
    virtual ~TCommThread();

    // Starts the thread; false when the system refuses one.
    bool Start();
    void Join();
    // True once the thread's loop has returned, by the stop event or by a
    // failure; safe to ask from any thread.
    bool Ended() const { return FEnded.load(); }

    // Called on the worker thread only. Posts a notification, stamped with
    // the opening; when that fails, posts the hang-up in its place and
    // returns false.
    bool Notify(TCommNotification&& notification);
    // Posts CommRequestHangup unless one was posted already; failure ignored.
    void PostHangup();

  protected:
    TCommThread(const TThreadLinks& links, int priorityBoost, const char* name);

    virtual void Execute() = 0;
    bool StopSignalled() const;

    const TThreadLinks FLinks;

  private:
    void Run() noexcept;

    const int FPriorityBoost;
    const char* const FName;
    std::atomic<bool> FEnded{false};
    std::thread FThread;
};

class TReadThread final : public TCommThread {
  public:
    explicit TReadThread(const TThreadLinks& links);

  protected:
    void Execute() override;
};

struct TWriteRequest {
    std::unique_ptr<uint8_t[]> Data;
    uint16_t Length = 0;
};

// The writer's message queue: unbounded, first in first out. Its wake
// descriptor is readable exactly while requests are waiting.
class TWriteQueue {
  public:
    TWriteQueue();
    TWriteQueue(const TWriteQueue&) = delete;
    TWriteQueue& operator=(const TWriteQueue&) = delete;
    ~TWriteQueue();

    bool Valid() const { return FWakeFd >= 0; }
    // False once closed (the writer has ended) or when memory runs out.
    bool Push(TWriteRequest&& request) noexcept;
    std::optional<TWriteRequest> TryPop();
    // Drops what is queued; every later Push fails.
    void Close();
    int WakeFd() const { return FWakeFd; }

  private:
    std::mutex FLock;
    std::deque<TWriteRequest> FQueue;
    bool FClosed = false;
    int FWakeFd = -1;
};

class TWriteThread final : public TCommThread {
  public:
    // sendIdle: the component's byte, which this thread sets to 1 only.
    TWriteThread(const TThreadLinks& links, std::atomic<uint8_t>* sendIdle);

    bool Valid() const { return FQueue.Valid(); }
    // Called by the creating thread: queues one request for writing.
    bool Post(TWriteRequest&& request) noexcept { return FQueue.Push(std::move(request)); }
    // How long the device has taken no byte of the request being written
    // while the writer waits for room: zero while it writes freely or has
    // nothing to write. Safe to ask from any thread.
    std::chrono::milliseconds StalledFor() const;

  protected:
    void Execute() override;

  private:
    enum class TWaitResult { Ready, Stopped, Failed };

    // Waits for the queue or the stop event.
    TWaitResult WaitForRequest();
    // Writes all bytes; false ends the writer.
    bool Write(const TWriteRequest& request);
    // Waits until the device takes more bytes, the attempt's time limit
    // passes (Ready as well) or the stop event is signalled.
    TWaitResult WaitWritable(int timeoutMs);
    void Finish();

    std::atomic<uint8_t>* const FSendIdle;
    TWriteQueue FQueue;
    // Steady-clock ticks since the device last took a byte of the request
    // being written, set when a write finds no room; 0 while not waiting.
    std::atomic<int64_t> FStalledSince{0};
};
