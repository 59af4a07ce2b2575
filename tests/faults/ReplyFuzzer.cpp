// Fuzz target: random chunks through the reply rule into a station's live
// state. Every chunk is an exact-size heap copy, so reading past its end is
// a sanitizer report. A chunk whose control byte says so gets a correct CRC
// at the end of the layout its function byte selects, so accepted replies
// are reached as well as rejected ones.
//
// Input: repeated [control][chunk bytes...], control = length (low 6 bits)
// plus bit 6 "fix the CRC" and bit 7 "advance the clock by a day".

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "polling/StationLive.h"
#include "polling/TmpProtocol.h"

namespace {

constexpr uint8_t kLengthMask = 0x3F;
constexpr uint8_t kFixCrc = 0x40;
constexpr uint8_t kNextDay = 0x80;

bool SameLive(const TStationLive& a, const TStationLive& b) {
    return a.RelayFlags == b.RelayFlags && a.RawTemp == b.RawTemp && a.State == b.State &&
           std::memcmp(&a.RefTime, &b.RefTime, sizeof a.RefTime) == 0;
}

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    TStationLive live;
    live.State = kStateAbsent;
    TDateTime now = 45000.25;
    size_t at = 0;
    while (at < size) {
        const uint8_t control = bytes[at++];
        const size_t length = std::min<size_t>(control & kLengthMask, size - at);
        auto chunk = std::make_unique<uint8_t[]>(length == 0 ? 1 : length);
        if (length > 0) std::memcpy(chunk.get(), bytes + at, length);
        at += length;
        if ((control & kFixCrc) && length >= 2) {
            const size_t layout =
                chunk[kFunctionOffset] == kFnReadCoils ? kCoilsReplySize : kRegsReplySize;
            if (length >= layout) {
                CalcCrc16(chunk.get(), static_cast<int32_t>(layout - 2), chunk[layout - 2],
                          chunk[layout - 1]);
            }
        }
        if (control & kNextDay) now += 1.0;

        const TStationLive before = live;
        const TReplyEffect effect =
            ApplyReply(live, length == 0 ? nullptr : chunk.get(), length, now);
        const TDecodedReply reply = DecodeReply(length == 0 ? nullptr : chunk.get(), length);
        Check(reply.Accepted == (effect != TReplyEffect::Ignored));
        if (effect == TReplyEffect::Ignored) {
            Check(SameLive(before, live));
            continue;
        }
        // Accepted: the whole layout is there and its CRC holds.
        const size_t layout = reply.Kind == TReplyKind::Relays ? kCoilsReplySize : kRegsReplySize;
        Check(length >= layout);
        Check(CheckCrc16(chunk.get(), static_cast<int32_t>(layout - 2), chunk[layout - 2],
                         chunk[layout - 1]));
        Check(live.State == kStateConnected && live.RefTime == now);
        if (effect == TReplyEffect::Relays) {
            Check(live.RelayFlags == chunk[kCoilByteOffset] && live.RawTemp == before.RawTemp);
            continue;
        }
        Check(live.RelayFlags == before.RelayFlags);
        bool anyValue = false;
        for (size_t i = 0; i < kRegisterCount; ++i) {
            const auto word = static_cast<uint16_t>(chunk[kFirstRegisterOffset + 2 * i] << 8 |
                                                    chunk[kFirstRegisterOffset + 2 * i + 1]);
            Check(live.RawTemp[i] == word);
            anyValue = anyValue || word != 0;
        }
        Check((effect == TReplyEffect::SampleDue) == anyValue);
    }
    return 0;
}
