#pragma once
// Modbus RTU frames between the station (master) and a temperature controller
// (slave), their CRC-16, and what the values the replies carry mean.
//
// Multi-byte fields are big-endian, except the CRC, which goes low byte first.
//
// Request, the same for both functions (8 bytes):
//   +0 slave address   +1 function   +2 start 0x0000   +4 quantity 0x0004
//   +6 CRC low byte    +7 CRC high byte            (CRC over bytes 0..5)
//
// Read Coils reply, function 0x01 (6 bytes):
//   +0 slave address   +1 0x01   +2 byte count (1)   +3 coil byte
//   +4 CRC low byte    +5 CRC high byte            (CRC over bytes 0..3)
//
// Read Input Registers reply, function 0x04 (13 bytes):
//   +0 slave address   +1 0x04   +2 byte count (8)
//   +3 A phase   +5 B phase   +7 C phase   +9 iron core   (raw, 2 bytes each)
//   +11 CRC low byte   +12 CRC high byte           (CRC over bytes 0..10)
//
// A received chunk is judged as one whole reply starting at its first byte.
// Only the function byte and the CRC decide whether it is accepted: the
// address, the byte count and anything after the CRC are never looked at,
// because a reply is matched to its station by the port it arrived on.

#include <array>
#include <cstddef>
#include <cstdint>

#include "store/RawValues.h"

// --- Frames -----------------------------------------------------------------

constexpr uint8_t kFnReadCoils = 0x01;
constexpr uint8_t kFnReadInputRegs = 0x04;

constexpr size_t kRequestSize = 8;
constexpr int32_t kRequestCrcOffset = 6;
constexpr uint16_t kRequestStartItem = 0;
constexpr uint16_t kRequestItemCount = 4;

constexpr size_t kFunctionOffset = 1;
constexpr size_t kCoilsReplySize = 6;
constexpr int32_t kCoilsReplyCrcOffset = 4;
constexpr size_t kCoilByteOffset = 3;
constexpr size_t kRegsReplySize = 13;
constexpr int32_t kRegsReplyCrcOffset = 11;
constexpr size_t kFirstRegisterOffset = 3;
constexpr size_t kRegisterCount = 4;

// Writes the 8-byte Read Coils request for `address`, CRC included. The
// caller provides at least kRequestSize bytes.
void BuildReadCoils(uint8_t address, uint8_t* buffer);
// The same with function 0x04, Read Input Registers.
void BuildReadInputRegs(uint8_t address, uint8_t* buffer);

// CRC-16 (reflected polynomial 0xA001, start 0xFFFF, no final XOR) of the
// first `length` bytes of `data`, returned in the order the bytes are sent:
// crcLow first, then crcHigh. A length of 0 or less gives 0xFF, 0xFF and does
// not touch `data`.
void CalcCrc16(const uint8_t* data, int32_t length, uint8_t& crcLow, uint8_t& crcHigh);
// True when CalcCrc16 of the first `length` bytes gives exactly
// `expectedLow`, `expectedHigh`.
bool CheckCrc16(const uint8_t* data, int32_t length, uint8_t expectedLow, uint8_t expectedHigh);

// The two 256-entry tables of the byte-wise CRC. Entry i of the high table is
// the low-order byte, entry i of the low table the high-order byte, of what
// eight shift steps with the reflected polynomial 0xA001 make of i. (The
// names are the traditional ones; the high table feeds the byte sent first.)
constexpr std::array<uint8_t, 256> MakeCrcTable(bool lowOrderHalf) {
    constexpr uint16_t kPolynomial = 0xA001;  // 0x8005 reflected
    std::array<uint8_t, 256> table{};
    for (size_t i = 0; i < table.size(); ++i) {
        uint16_t value = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) ? static_cast<uint16_t>((value >> 1) ^ kPolynomial)
                                 : static_cast<uint16_t>(value >> 1);
        }
        table[i] = static_cast<uint8_t>(lowOrderHalf ? (value & 0xFFu) : (value >> 8));
    }
    return table;
}

inline constexpr std::array<uint8_t, 256> kCrcHighTable = MakeCrcTable(true);
inline constexpr std::array<uint8_t, 256> kCrcLowTable = MakeCrcTable(false);

static_assert(kCrcHighTable[0] == 0x00 && kCrcHighTable[1] == 0xC1 && kCrcHighTable[2] == 0x81 &&
              kCrcHighTable[3] == 0x40);
static_assert(kCrcLowTable[0] == 0x00 && kCrcLowTable[1] == 0xC0 && kCrcLowTable[2] == 0xC1 &&
              kCrcLowTable[3] == 0x01);

// --- Replies ----------------------------------------------------------------

enum class TReplyKind {
    None,          // shorter than 2 bytes, or a function byte we do not know
    Relays,        // function 0x01
    Temperatures,  // function 0x04
};

enum TTempChannel : size_t { kPhaseA = 0, kPhaseB = 1, kPhaseC = 2, kIronCore = 3 };

struct TDecodedReply {
    // The layout the function byte selected; set also when the reply is
    // rejected, so a caller can tell a bad CRC from an unknown function.
    TReplyKind Kind = TReplyKind::None;
    // True only when the chunk holds the whole layout and its CRC matches.
    // The values below are filled in only for an accepted reply.
    bool Accepted = false;
    uint8_t RelayFlags = 0;
    std::array<uint16_t, kRegisterCount> RawTemp{};
};

// Judges one received chunk. Never reads past chunk[length - 1]; a null chunk
// counts as empty.
TDecodedReply DecodeReply(const uint8_t* chunk, size_t length);

// The meaning of the values (relay bits, raw -> degrees, faults) is in
// store/RawValues.h; the texts shown for them in store/ReportText.h.
