#pragma once
// Names shared by the serial port component, its worker threads and its
// notification sinks: the line-setting enumerations (their ordinals are what
// the station's stored port settings hold), the error class and the numbers
// of the notifications the worker threads post.

#include <cstdint>
#include <stdexcept>
#include <string>

// Ordinals are fixed: stored station records and the settings lists use them.
enum class TParity : uint8_t { None = 0, Odd = 1, Even = 2, Mark = 3, Space = 4 };
enum class TStopBits : uint8_t { _1 = 0, _1_5 = 1, _2 = 2 };
// Data bits = ordinal + 5.
enum class TByteSize : uint8_t { _5 = 0, _6 = 1, _7 = 2, _8 = 3 };
enum class TDtrControl : uint8_t { DtrEnable = 0, DtrDisable = 1, DtrHandshake = 2 };
enum class TRtsControl : uint8_t {
    RtsEnable = 0,
    RtsDisable = 1,
    RtsHandshake = 2,
    RtsTransmissionAvailable = 3
};

// The one failure the component raises; it carries nothing but its message.
class ECommsError : public std::runtime_error {
  public:
    explicit ECommsError(const std::string& message) : std::runtime_error(message) {}
};

// Messages of ECommsError, byte for byte (the comm-handle one ends with a blank).
inline constexpr const char* kMsgAlreadyOpened = "This serial port already opened";
inline constexpr const char* kMsgOpenError = "Error opening serial port";
inline constexpr const char* kMsgNotCommHandle = "File handle is not a comm handle ";
inline constexpr const char* kMsgSetupBuffer = "Cannot setup comm buffer";
inline constexpr const char* kMsgCreateEvent = "Unable to create event";
inline constexpr const char* kMsgCreateReadThread = "Unable to create read thread";
inline constexpr const char* kMsgCreateWriteThread = "Unable to create write thread";

// Notification numbers: the first five user message numbers.
inline constexpr uint32_t CommDataReceived = 1025;
inline constexpr uint32_t CommReceiveError = 1026;
inline constexpr uint32_t CommRequestHangup = 1027;
inline constexpr uint32_t CommModemStateChange = 1028;
inline constexpr uint32_t CommSendDataEmpty = 1029;
// A line reached over TCP is connected again (posted by its reconnector).
inline constexpr uint32_t CommConnectionUp = 1030;

// The reader hands over at most this many bytes per chunk.
inline constexpr uint16_t kReadChunk = 2048;

// Time limits are 32-bit milliseconds multiplied by byte counts; anything
// longer than this (over 30 years) is treated as this, so deadlines never
// overflow the clock.
inline constexpr uint64_t kLongestLimitMs = uint64_t{1} << 40;

// Modem event bits of CommModemStateChange.
inline constexpr uint32_t kModemCarrierChanged = 8;  // carrier detect changed
inline constexpr uint32_t kModemRing = 4;            // a ring was detected

// Error flags of CommReceiveError. The kernel keeps line-error counters, not
// flags; the reader turns every counter that moved into the flag of the same
// meaning, with the values other serial stacks use for them.
inline constexpr uint32_t kCommErrorRxOver = 0x0001;   // input buffer overflow
inline constexpr uint32_t kCommErrorOverrun = 0x0002;  // hardware overrun
inline constexpr uint32_t kCommErrorParity = 0x0004;   // parity error
inline constexpr uint32_t kCommErrorFrame = 0x0008;    // framing error
inline constexpr uint32_t kCommErrorBreak = 0x0010;    // break condition
