#pragma once
// The part of a station's live record that its replies change, and the
// reply handler's rule for it: one received chunk in, the live state out.
// No Qt and no ports, so the rule can be driven by anything that produces
// chunks (the scan cycle, a fuzzer).
//
//   chunk --DecodeReply--> rejected (CRC, length, function)   nothing changes
//                          relays accepted                    State 0, RefTime,
//                                                             RelayFlags
//                          temperatures accepted              State 0, RefTime,
//                                                             RawTemp; a sample
//                                                             is due unless all
//                                                             four are 0

#include <array>
#include <cstddef>
#include <cstdint>

#include "store/DateTime.h"

enum TConnectionState : uint8_t {
    kStateConnected = 0,
    kStateConnecting = 1,
    kStateDisconnected = 2,
    kStateAbsent = 3,
    kStatePortBusy = 4,
    kStateOpenError = 5,
    kStateWriteError = 6,
    kStateManualDisconnect = 7,
};

struct TStationLive {
    // The coil byte of the last accepted relay reply, kept whole.
    uint8_t RelayFlags = 0;
    // A phase, B phase, C phase, iron core: raw registers of the last
    // accepted temperature reply.
    std::array<uint16_t, 4> RawTemp{};
    uint8_t State = kStateDisconnected;
    // Reference time of the offline rule, on the monotonic clock
    // (MonotonicNow): days since an arbitrary start, never a date. The wall
    // clock may be set back or forward; the time a station has been silent
    // must not jump with it.
    TDateTime RefTime = 0;
};

// The monotonic clock of the offline rule, in days like TDateTime.
TDateTime MonotonicNow();

enum class TReplyEffect {
    Ignored,       // not an acceptable reply: nothing changed
    Relays,        // an accepted Read Coils reply
    Temperatures,  // an accepted Read Input Registers reply, all four 0
    SampleDue,     // an accepted Read Input Registers reply to record
};

// Applies one received chunk, judged as one whole reply from its first
// byte, to Live at the monotonic time Now. An accepted reply of either
// function sets State 0 whatever it was, and RefTime: a station that answers
// is never silent. Never reads past chunk[length - 1].
TReplyEffect ApplyReply(TStationLive& live, const uint8_t* chunk, size_t length, TDateTime now);
