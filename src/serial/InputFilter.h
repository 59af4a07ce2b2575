#pragma once
// What the reader does to received bytes before it hands them over: it
// decodes the kernel's error marks, replaces error bytes and strips zero
// bytes, as the line settings ask.
//
// With parity checking on, the terminal marks bytes (PARMRK):
//   0xFF 0xFF       a received 0xFF
//   0xFF 0x00 b     byte b arrived with a parity or framing error (a break: b = 0)
//   anything else   the byte itself
// A mark may be split over two reads; the filter keeps the part it has seen.

#include <cstddef>
#include <cstdint>

#include "serial/LineSettings.h"

class TInputFilter {
  public:
    // Takes effect for the bytes processed next. Turning marking off forgets
    // a half-seen mark.
    void Configure(const TReadSettings& settings);

    // Writes the filtered bytes of in[0..n) to out and returns their count,
    // which is never more than n (out may be the same memory as in).
    size_t Process(const uint8_t* in, size_t n, uint8_t* out);

    // True while the start of a mark waits for its remaining bytes.
    bool HoldsPartialMark() const { return FState != TState::Plain; }

  private:
    enum class TState : uint8_t { Plain, AfterEscape, AfterErrorMark };

    // Appends one data byte (error: it arrived with an error).
    size_t Emit(uint8_t byte, bool error, uint8_t* out, size_t at) const;

    TReadSettings FSettings;
    TState FState = TState::Plain;
};
