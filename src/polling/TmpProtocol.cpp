#include "polling/TmpProtocol.h"

namespace {

constexpr uint8_t kCrcInitial = 0xFF;  // both bytes of 0xFFFF

void BuildRequest(uint8_t address, uint8_t function, uint8_t* buffer) {
    buffer[0] = address;
    buffer[1] = function;
    buffer[2] = static_cast<uint8_t>(kRequestStartItem >> 8);
    buffer[3] = static_cast<uint8_t>(kRequestStartItem & 0xFFu);
    buffer[4] = static_cast<uint8_t>(kRequestItemCount >> 8);
    buffer[5] = static_cast<uint8_t>(kRequestItemCount & 0xFFu);
    CalcCrc16(buffer, kRequestCrcOffset, buffer[kRequestCrcOffset], buffer[kRequestCrcOffset + 1]);
}

uint16_t BigEndianWord(const uint8_t* p) {
    return static_cast<uint16_t>((static_cast<uint16_t>(p[0]) << 8) | p[1]);
}

}  // namespace

void BuildReadCoils(uint8_t address, uint8_t* buffer) {
    BuildRequest(address, kFnReadCoils, buffer);
}

void BuildReadInputRegs(uint8_t address, uint8_t* buffer) {
    BuildRequest(address, kFnReadInputRegs, buffer);
}

void CalcCrc16(const uint8_t* data, int32_t length, uint8_t& crcLow, uint8_t& crcHigh) {
    uint8_t first = kCrcInitial;
    uint8_t second = kCrcInitial;
    for (int32_t n = 0; n < length; ++n) {
        uint8_t i = first ^ data[n];
        first = second ^ kCrcHighTable[i];
        second = kCrcLowTable[i];
    }
    crcLow = first;
    crcHigh = second;
}

bool CheckCrc16(const uint8_t* data, int32_t length, uint8_t expectedLow, uint8_t expectedHigh) {
    uint8_t low = 0;
    uint8_t high = 0;
    CalcCrc16(data, length, low, high);
    return low == expectedLow && high == expectedHigh;
}

TDecodedReply DecodeReply(const uint8_t* chunk, size_t length) {
    TDecodedReply reply;
    if (chunk == nullptr || length <= kFunctionOffset) return reply;

    switch (chunk[kFunctionOffset]) {
        case kFnReadCoils:
            reply.Kind = TReplyKind::Relays;
            if (length < kCoilsReplySize) return reply;
            if (!CheckCrc16(chunk, kCoilsReplyCrcOffset, chunk[kCoilsReplyCrcOffset],
                            chunk[kCoilsReplyCrcOffset + 1])) {
                return reply;
            }
            reply.RelayFlags = chunk[kCoilByteOffset];
            break;
        case kFnReadInputRegs:
            reply.Kind = TReplyKind::Temperatures;
            if (length < kRegsReplySize) return reply;
            if (!CheckCrc16(chunk, kRegsReplyCrcOffset, chunk[kRegsReplyCrcOffset],
                            chunk[kRegsReplyCrcOffset + 1])) {
                return reply;
            }
            for (size_t r = 0; r < kRegisterCount; ++r) {
                reply.RawTemp[r] = BigEndianWord(chunk + kFirstRegisterOffset + 2 * r);
            }
            break;
        default:
            return reply;  // exception replies (0x81, 0x84) and anything else
    }
    reply.Accepted = true;
    return reply;
}
