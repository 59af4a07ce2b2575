#include "polling/StationLive.h"

#include <algorithm>
#include <chrono>

#include "polling/TmpProtocol.h"

TDateTime MonotonicNow() {
    const auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::milliseconds>(sinceStart).count()) /
           static_cast<double>(kMSecsPerDay);
}

TReplyEffect ApplyReply(TStationLive& live, const uint8_t* chunk, size_t length, TDateTime now) {
    const TDecodedReply reply = DecodeReply(chunk, length);
    if (!reply.Accepted) return TReplyEffect::Ignored;
    live.State = kStateConnected;
    // The offline rule counts from the latest accepted reply.
    live.RefTime = now;
    if (reply.Kind == TReplyKind::Relays) {
        live.RelayFlags = reply.RelayFlags;
        return TReplyEffect::Relays;
    }
    live.RawTemp = reply.RawTemp;
    const bool anyValue = std::any_of(live.RawTemp.begin(), live.RawTemp.end(),
                                      [](uint16_t raw) { return raw != 0; });
    return anyValue ? TReplyEffect::SampleDue : TReplyEffect::Temperatures;
}
