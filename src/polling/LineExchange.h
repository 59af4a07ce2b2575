#pragma once
// TLineExchange: who may talk on a line that several controllers share (one
// RS-485 bus, or one connection to a serial server), and which station the
// bytes that come back belong to. Pure logic on time points the caller gives:
// no Qt, no ports, no clock of its own. The scan cycle drives it from a timer
// (NextWake), sends what TakeNext hands out, and feeds every received chunk.
//
// One request at a time, served in the order queued:
//
//   queued --TakeNext (line quiet for the gap)--> outstanding
//   outstanding --Feed: reply / exception / bad CRC--> done (line idle)
//   outstanding --Expire past the deadline--> done (TimedOut)
//
// The line counts as quiet from the later of the last byte received and the
// end of our last request on the wire (sentAt + WireTime(8)); the next
// request waits a further InterFrameGap, so a controller sees every frame
// framed by silence.
//
// Received bytes are cut into frames against the outstanding request only
// (address A, function F):
//
//   A, F            wait for ExpectedReplyLength(F) bytes; CRC good -> Reply,
//                   bad -> CrcError (the request is answered, badly)
//   A, F | 0x80     the same with 5 bytes -> Exception / CrcError
//   A (alone)       wait for the next byte
//   anything else   a whole good-CRC frame of a known function (another
//                   address, a late reply) is dropped as one frame; otherwise
//                   a single byte is dropped and the cut starts again after it

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

struct TStationState;  // only pointers are held; used as an opaque key, never dereferenced

using TLineClock = std::chrono::steady_clock;

// 3.5 character times of a frame format at `baud` (bitsPerChar: start + data +
// parity + stop bits, 10 for 8N1, 11 with parity or two stop bits), rounded up
// to the microsecond. Above 19200 baud a fixed 1750 us, so fast lines do not
// ask the controllers for timing finer than they keep. Baud 0 counts as 9600,
// bitsPerChar below 1 as 10.
std::chrono::microseconds InterFrameGap(uint32_t baud, int bitsPerChar);
// Wire time of `bytes` characters at that format, rounded up.
std::chrono::microseconds WireTime(size_t bytes, uint32_t baud, int bitsPerChar);
// Length of the reply to `function`: 0x01 -> 6, 0x04 -> 13 (the fixed
// quantity of 4 items), their exceptions 0x81 / 0x84 -> 5, anything else 0.
size_t ExpectedReplyLength(uint8_t function);

struct TExchangeRequest {
    TStationState* Station = nullptr;
    uint8_t Address = 0;
    uint8_t Function = 0;  // kFnReadCoils or kFnReadInputRegs
};

enum class TExchangeEventKind {
    Reply,      // the outstanding request's reply, complete, good CRC (Bytes = exactly the frame)
    Exception,  // address matches, function == requested | 0x80, 5 bytes, good CRC: no sample
    CrcError,   // address + function match, expected length arrived, CRC bad: the request ends
    TimedOut,   // the outstanding request's reply time-out passed (Bytes empty)
    Dropped,    // bytes that belong to no outstanding request (another address, a late reply,
                // noise, the partial reply left when a request timed out)
};

struct TExchangeEvent {
    TExchangeEventKind Kind;
    // Reply/Exception/CrcError/TimedOut: the request's station. Dropped: the
    // station whose request is outstanding, else the station of the last
    // request sent, else nullptr. Never a station that was forgotten.
    TStationState* Station = nullptr;
    uint8_t Function = 0;  // the request's function (for Dropped: 0)
    std::vector<uint8_t> Bytes;
    TLineClock::time_point SentAt{};  // when the answered/timed-out request was sent
};

class TLineExchange {
  public:
    // Received bytes are taken in slices of at most this many, so one huge
    // chunk from a babbling line never makes the buffer grow past it.
    static constexpr size_t kMaxBuffered = 512;

    TLineExchange();
    // Line format for the gap and the wire time of our own requests.
    void SetLine(uint32_t baud, int bitsPerChar);
    void SetReplyTimeout(std::chrono::milliseconds timeout);  // default 1000 ms
    std::chrono::milliseconds ReplyTimeout() const { return FReplyTimeout; }

    enum class TQueueResult { Queued, AlreadyWaiting };
    // Queues a request of `function` for the station. AlreadyWaiting (nothing
    // queued) when a request of the same station and function is still queued
    // or outstanding.
    TQueueResult Enqueue(TStationState* station, uint8_t address, uint8_t function);
    // True while a request of this station and function is queued or outstanding.
    bool IsWaiting(const TStationState* station, uint8_t function) const;

    // The next request to send at `now`, or none: none while one is
    // outstanding, while the queue is empty, or before the line has been quiet
    // for the gap. The returned request is outstanding from `now`, with its
    // deadline at now + ReplyTimeout (the caller sends it right away).
    std::optional<TExchangeRequest> TakeNext(TLineClock::time_point now);
    // When the caller must call Expire/TakeNext again: the outstanding
    // deadline, or the end of the gap when a request is queued (a time point
    // already past when the line has never been used), or none when nothing is
    // outstanding or queued.
    std::optional<TLineClock::time_point> NextWake() const;

    // Received bytes at `now`, in arrival order. A reply is taken as soon as
    // its expected length has arrived, reassembled across chunks. Only Expire
    // ends a request for lack of a reply, so a reply fed before the caller's
    // timer fired still counts. Returns the events in order.
    std::vector<TExchangeEvent> Feed(const uint8_t* bytes, size_t length,
                                     TLineClock::time_point now);
    // The outstanding request past its deadline: TimedOut (after a Dropped
    // event for any partial reply still buffered). Nothing when none is due.
    std::vector<TExchangeEvent> Expire(TLineClock::time_point now);

    // The station leaves the line: its queued requests go; an outstanding
    // request of it stays outstanding (its reply must still be waited out on
    // the wire) but its events carry Station nullptr.
    void Forget(const TStationState* station);
    // The request TakeNext just gave was not sent after all (the port took
    // nothing, or its station no longer wants it): it is no longer
    // outstanding and the line is as quiet as before it was taken.
    void Abandon();
    // The line was reopened or closed: queue, outstanding request and
    // buffered bytes all go. The quiet time is still measured from the last
    // traffic, which costs at most one gap.
    void Clear();

    size_t QueuedCount() const { return FQueue.size(); }
    bool HasOutstanding() const { return FOutstanding.has_value(); }
    std::optional<TExchangeRequest> Outstanding() const;
    // Bytes held back for a reply that has not arrived whole yet.
    size_t BufferedCount() const { return FBuffer.size(); }
    // The deadline of the outstanding request, if any.
    std::optional<TLineClock::time_point> Deadline() const;

  private:
    struct TOutstandingRequest {
        TExchangeRequest Request;  // Station nullptr once forgotten
        TLineClock::time_point SentAt;
        TLineClock::time_point Deadline;
        std::optional<TLineClock::time_point> SentBefore;  // FLastSentAt before it
        TStationState* StationBefore = nullptr;            // FLastStation before it
    };

    std::optional<TLineClock::time_point> QuietSince() const;
    void Cut(std::vector<TExchangeEvent>& events, std::vector<uint8_t>& dropped);
    void FlushDropped(std::vector<TExchangeEvent>& events, std::vector<uint8_t>& dropped) const;
    TStationState* DroppedStation() const;

    uint32_t FBaud = 9600;
    int FBitsPerChar = 10;
    std::chrono::milliseconds FReplyTimeout{1000};

    std::deque<TExchangeRequest> FQueue;
    std::optional<TOutstandingRequest> FOutstanding;
    // Bytes of a reply still arriving; empty whenever nothing is outstanding.
    std::vector<uint8_t> FBuffer;

    std::optional<TLineClock::time_point> FLastReceived;
    std::optional<TLineClock::time_point> FLastSentAt;
    TStationState* FLastStation = nullptr;  // nullptr once forgotten
};
