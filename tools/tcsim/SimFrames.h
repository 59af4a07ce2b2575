#pragma once
// Request framing on the slave side of one line.
//
// A Modbus RTU frame ends with a silence on the line. Over a pseudo-terminal
// a frame arrives in one piece, so waiting for the silence would only delay
// every answer; instead, as slaves commonly do, the length of the frame is
// taken from its function code, and the silence only decides what to do with
// bytes that do not make up a whole frame:
//
//   function 1..6             8 bytes: addr fn start(2) count(2) CRC(2)
//   function 15, 16           9 + byte count: addr fn start(2) count(2) n data(n) CRC(2)
//   any other function        everything up to the silence
//
// A frame whose CRC fails is dropped (its length as its function gives it),
// and the bytes after it are judged as the start of the next frame; bytes
// that are still short of a frame when the line has been silent for kFrameGap
// are dropped. Requests that follow each other without a gap are served one
// after the other.
//
// The CRC here is a plain bit-wise one of our own, so that the simulator
// does not check the station's requests with the station's own code.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using TSimClock = std::chrono::steady_clock;
using TFrameBytes = std::vector<uint8_t>;

// Longest RTU frame (address, 253-byte PDU, CRC).
constexpr size_t kMaxRtuFrameSize = 256;
// Silence that ends a frame; the same gap ends a chunk on the station's side.
constexpr std::chrono::milliseconds kFrameGap{100};

uint16_t RtuCrc16(const uint8_t* data, size_t length);
// True when the last two bytes of the frame are the CRC of the others, low
// byte first.
bool RtuCrcMatches(const uint8_t* frame, size_t length);
// "01 04 0A", upper-case hex bytes separated by single blanks.
std::string HexBytes(const uint8_t* data, size_t length);

class TRequestFramer {
  public:
    void Append(const uint8_t* data, size_t length, TSimClock::time_point now);
    // The next whole request with a matching CRC, if one is complete; drops
    // what cannot become one.
    std::optional<TFrameBytes> Next(TSimClock::time_point now);
    // When bytes waiting for more must be judged; none when nothing waits.
    std::optional<TSimClock::time_point> Deadline() const;
    // Forgets everything received (a client went away).
    void Clear() { pending_.clear(); }
    size_t PendingSize() const { return pending_.size(); }

  private:
    TFrameBytes pending_;
    TSimClock::time_point lastByte_{};
};
