#pragma once
// What a station's line is doing: counters since start and the last frames
// that went over it, for the operator who asks why a controller does not
// answer. No Qt and no ports: the scan cycle feeds it what it sends and
// receives.
//
//   request sent   --> Requests + 1; a request still unanswered at that
//                      moment counts as a time-out
//   chunk received --> judged: reply (accepted)   Replies + 1, round trip
//                              exception reply    Exceptions + 1, round trip
//                                                 (answers, no sample)
//                              CRC error          CrcErrors + 1, bytes dropped
//                              anything else      bytes dropped
//
// On a line several stations share, the exchange cuts and judges the frames
// and decides the time-outs; each station's diagnostics then takes them as
// they are (FrameReceived, TimedOut), and the line as a whole keeps a monitor
// only (MonitorFrame).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "store/DateTime.h"

enum class TFrameKind {
    Request,
    Reply,
    Exception,  // function | 0x80, a good CRC
    CrcError,   // a known function whose frame is short or fails its CRC
    Dropped,    // anything else
};

// The kind of a received chunk, judged as one whole reply from its first byte.
TFrameKind JudgeChunk(const uint8_t* chunk, size_t length);

struct TLineFrame {
    TDateTime Time = 0;  // wall clock, as the samples
    TFrameKind Kind = TFrameKind::Request;
    std::vector<uint8_t> Bytes;
};

// "请求 读继电器 地址 7", "应答 温度 …", "异常应答 …", "CRC错误", "丢弃".
std::string DescribeFrame(const TLineFrame& frame);
// "01 04 00 00 00 04 F1 C9".
std::string HexBytes(const std::vector<uint8_t>& bytes);
// One line of a saved monitor: time, direction, bytes, description.
std::string FrameLine(const TLineFrame& frame);

struct TLineStats {
    uint64_t Requests = 0;
    uint64_t Replies = 0;
    uint64_t TimeOuts = 0;
    uint64_t CrcErrors = 0;
    uint64_t Exceptions = 0;
    uint64_t BytesDropped = 0;
    TDateTime LastReply = 0;  // wall clock; 0 before the first
    double LastRoundTripMs = 0;
    double MeanRoundTripMs = 0;
};

class TLineDiagnostics {
  public:
    // The monitor keeps this many frames, the oldest going first.
    static constexpr size_t kMonitorFrames = 500;

    // `monotonic` times the round trips, `wall` stamps the frames.
    void RequestSent(const uint8_t* frame, size_t length, TDateTime monotonic, TDateTime wall);
    // Returns how the chunk was judged.
    TFrameKind ChunkReceived(const uint8_t* chunk, size_t length, TDateTime monotonic,
                             TDateTime wall);

    // A frame already judged (Reply, Exception, CrcError or Dropped) for this
    // station: counted as ChunkReceived counts that kind, and added as it is.
    // A CrcError answers the request too, so it never counts as a time-out.
    void FrameReceived(TFrameKind kind, const uint8_t* bytes, size_t length, TDateTime monotonic,
                       TDateTime wall);
    // The outstanding request timed out: TimeOuts + 1 now, and the next
    // RequestSent does not count it again.
    void TimedOut();
    // Adds a frame to the monitor only, counters untouched.
    void MonitorFrame(TFrameKind kind, const uint8_t* bytes, size_t length, TDateTime wall);

    const TLineStats& Stats() const { return FStats; }
    const std::deque<TLineFrame>& Frames() const { return FFrames; }
    // Grows with every frame added, so a view can tell whether to redraw.
    uint64_t FrameCount() const { return FFrameCount; }

  private:
    void Add(TFrameKind kind, const uint8_t* bytes, size_t length, TDateTime wall);
    void Count(TFrameKind kind, size_t length, TDateTime monotonic, TDateTime wall);
    void Answered(TDateTime monotonic);

    TLineStats FStats;
    uint64_t FRoundTrips = 0;
    bool FOutstanding = false;
    TDateTime FSentAt = 0;
    std::deque<TLineFrame> FFrames;
    uint64_t FFrameCount = 0;
};
