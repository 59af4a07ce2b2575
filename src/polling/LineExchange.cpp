#include "polling/LineExchange.h"

#include <algorithm>

#include "polling/TmpProtocol.h"

namespace {

constexpr uint32_t kDefaultBaud = 9600;
constexpr int kDefaultBitsPerChar = 10;  // 8N1
// Above this rate the gap no longer shrinks with the baud rate.
constexpr uint32_t kFixedGapAboveBaud = 19200;
constexpr std::chrono::microseconds kFixedGap{1750};
constexpr int64_t kMicrosPerSecond = 1000000;

constexpr uint8_t kExceptionBit = 0x80;
// Address, function | 0x80, exception code, CRC.
constexpr size_t kExceptionSize = 5;
// Address and function come before anything we can wait on.
constexpr size_t kFrameHead = 2;
constexpr size_t kCrcSize = 2;

uint32_t EffectiveBaud(uint32_t baud) {
    return baud == 0 ? kDefaultBaud : baud;
}
int EffectiveBits(int bitsPerChar) {
    return bitsPerChar < 1 ? kDefaultBitsPerChar : bitsPerChar;
}

// bits / (baud * per) seconds in whole microseconds, rounded up so a gap is
// never short.
std::chrono::microseconds BitTime(int64_t bits, uint32_t baud, int64_t per = 1) {
    const int64_t rate = static_cast<int64_t>(EffectiveBaud(baud)) * per;
    return std::chrono::microseconds((bits * kMicrosPerSecond + rate - 1) / rate);
}

bool CrcGood(const uint8_t* frame, size_t length) {
    const size_t body = length - kCrcSize;
    return CheckCrc16(frame, static_cast<int32_t>(body), frame[body], frame[body + 1]);
}

// The length of a complete good-CRC frame of a known function that starts at
// `p`, or 0.
size_t WholeFrameAt(const uint8_t* p, size_t available) {
    if (available < kFrameHead) return 0;
    const size_t length = ExpectedReplyLength(p[kFunctionOffset]);
    if (length == 0 || available < length) return 0;
    return CrcGood(p, length) ? length : 0;
}

}  // namespace

std::chrono::microseconds InterFrameGap(uint32_t baud, int bitsPerChar) {
    if (EffectiveBaud(baud) > kFixedGapAboveBaud) return kFixedGap;
    // 3.5 characters: 7 characters' bits at twice the rate.
    return BitTime(7 * static_cast<int64_t>(EffectiveBits(bitsPerChar)), baud, 2);
}

std::chrono::microseconds WireTime(size_t bytes, uint32_t baud, int bitsPerChar) {
    return BitTime(static_cast<int64_t>(bytes) * EffectiveBits(bitsPerChar), baud);
}

size_t ExpectedReplyLength(uint8_t function) {
    switch (function) {
        case kFnReadCoils:
            return kCoilsReplySize;
        case kFnReadInputRegs:
            return kRegsReplySize;
        case kFnReadCoils | kExceptionBit:
        case kFnReadInputRegs | kExceptionBit:
            return kExceptionSize;
        default:
            return 0;
    }
}

TLineExchange::TLineExchange() = default;

void TLineExchange::SetLine(uint32_t baud, int bitsPerChar) {
    FBaud = EffectiveBaud(baud);
    FBitsPerChar = EffectiveBits(bitsPerChar);
}

void TLineExchange::SetReplyTimeout(std::chrono::milliseconds timeout) {
    FReplyTimeout = std::max(timeout, std::chrono::milliseconds::zero());
}

TLineExchange::TQueueResult TLineExchange::Enqueue(TStationState* station, uint8_t address,
                                                   uint8_t function) {
    if (IsWaiting(station, function)) return TQueueResult::AlreadyWaiting;
    FQueue.push_back(TExchangeRequest{station, address, function});
    return TQueueResult::Queued;
}

bool TLineExchange::IsWaiting(const TStationState* station, uint8_t function) const {
    const auto same = [&](const TExchangeRequest& r) {
        return r.Station == station && r.Function == function;
    };
    // A forgotten station's outstanding request holds nullptr, so a new
    // station that happens to get the same address in memory is not blocked.
    if (FOutstanding && station != nullptr && same(FOutstanding->Request)) return true;
    return std::any_of(FQueue.begin(), FQueue.end(), same);
}

std::optional<TLineClock::time_point> TLineExchange::QuietSince() const {
    std::optional<TLineClock::time_point> since = FLastReceived;
    if (FLastSentAt) {
        const TLineClock::time_point sentEnd =
            *FLastSentAt + WireTime(kRequestSize, FBaud, FBitsPerChar);
        if (!since || sentEnd > *since) since = sentEnd;
    }
    return since;
}

std::optional<TExchangeRequest> TLineExchange::TakeNext(TLineClock::time_point now) {
    if (FOutstanding || FQueue.empty()) return std::nullopt;
    const auto quiet = QuietSince();
    if (quiet && now < *quiet + InterFrameGap(FBaud, FBitsPerChar)) return std::nullopt;

    const TExchangeRequest request = FQueue.front();
    FQueue.pop_front();
    FOutstanding =
        TOutstandingRequest{request, now, now + FReplyTimeout, FLastSentAt, FLastStation};
    FLastSentAt = now;
    FLastStation = request.Station;
    return request;
}

std::optional<TLineClock::time_point> TLineExchange::NextWake() const {
    if (FOutstanding) return FOutstanding->Deadline;
    if (FQueue.empty()) return std::nullopt;
    const auto quiet = QuietSince();
    if (!quiet) return TLineClock::time_point{};  // never used: due at once
    return *quiet + InterFrameGap(FBaud, FBitsPerChar);
}

std::vector<TExchangeEvent> TLineExchange::Feed(const uint8_t* bytes, size_t length,
                                                TLineClock::time_point now) {
    std::vector<TExchangeEvent> events;
    if (bytes == nullptr || length == 0) return events;
    FLastReceived = now;

    std::vector<uint8_t> dropped;  // the run of single dropped bytes not yet reported
    size_t offset = 0;
    while (offset < length) {
        // Cut leaves less than one reply buffered, so there is always room.
        const size_t take = std::min(kMaxBuffered - FBuffer.size(), length - offset);
        FBuffer.insert(FBuffer.end(), bytes + offset, bytes + offset + take);
        offset += take;
        Cut(events, dropped);
        if (FBuffer.size() >= kMaxBuffered) {
            // Cut never waits on more than one reply; should it ever, the
            // held bytes go rather than the loop stalling with no room.
            dropped.insert(dropped.end(), FBuffer.begin(), FBuffer.end());
            FBuffer.clear();
        }
    }
    FlushDropped(events, dropped);
    return events;
}

void TLineExchange::Cut(std::vector<TExchangeEvent>& events, std::vector<uint8_t>& dropped) {
    size_t pos = 0;
    while (pos < FBuffer.size()) {
        const uint8_t* p = FBuffer.data() + pos;
        const size_t available = FBuffer.size() - pos;
        if (FOutstanding && p[0] == FOutstanding->Request.Address) {
            if (available < kFrameHead) break;  // the address alone: wait for the function
            const uint8_t function = FOutstanding->Request.Function;
            const uint8_t got = p[kFunctionOffset];
            const size_t expected = ExpectedReplyLength(got);
            if (expected != 0 && (got == function || got == (function | kExceptionBit))) {
                if (available < expected) break;  // the rest is still on its way
                TExchangeEventKind kind = TExchangeEventKind::CrcError;
                if (CrcGood(p, expected)) {
                    kind =
                        got == function ? TExchangeEventKind::Reply : TExchangeEventKind::Exception;
                }
                FlushDropped(events, dropped);
                events.push_back(TExchangeEvent{kind, FOutstanding->Request.Station, function,
                                                std::vector<uint8_t>(p, p + expected),
                                                FOutstanding->SentAt});
                FOutstanding.reset();
                pos += expected;
                continue;
            }
        }
        if (const size_t whole = WholeFrameAt(p, available); whole != 0) {
            // Its own event, so a late reply shows as the frame it is.
            FlushDropped(events, dropped);
            events.push_back(TExchangeEvent{TExchangeEventKind::Dropped,
                                            DroppedStation(),
                                            0,
                                            std::vector<uint8_t>(p, p + whole),
                                            {}});
            pos += whole;
            continue;
        }
        dropped.push_back(p[0]);
        ++pos;
    }
    FBuffer.erase(FBuffer.begin(), FBuffer.begin() + static_cast<std::ptrdiff_t>(pos));
}

void TLineExchange::FlushDropped(std::vector<TExchangeEvent>& events,
                                 std::vector<uint8_t>& dropped) const {
    if (dropped.empty()) return;
    events.push_back(
        TExchangeEvent{TExchangeEventKind::Dropped, DroppedStation(), 0, std::move(dropped), {}});
    dropped.clear();
}

TStationState* TLineExchange::DroppedStation() const {
    return FOutstanding ? FOutstanding->Request.Station : FLastStation;
}

std::vector<TExchangeEvent> TLineExchange::Expire(TLineClock::time_point now) {
    std::vector<TExchangeEvent> events;
    if (!FOutstanding || now < FOutstanding->Deadline) return events;
    std::vector<uint8_t> partial;
    partial.swap(FBuffer);
    FlushDropped(events, partial);
    const TOutstandingRequest& out = *FOutstanding;
    events.push_back(TExchangeEvent{
        TExchangeEventKind::TimedOut, out.Request.Station, out.Request.Function, {}, out.SentAt});
    FOutstanding.reset();
    return events;
}

void TLineExchange::Forget(const TStationState* station) {
    if (station == nullptr) return;
    std::erase_if(FQueue, [&](const TExchangeRequest& r) { return r.Station == station; });
    if (FOutstanding && FOutstanding->Request.Station == station) {
        FOutstanding->Request.Station = nullptr;
    }
    if (FLastStation == station) FLastStation = nullptr;
}

void TLineExchange::Abandon() {
    if (!FOutstanding) return;
    FLastSentAt = FOutstanding->SentBefore;
    FLastStation = FOutstanding->StationBefore;
    FOutstanding.reset();
}

void TLineExchange::Clear() {
    FQueue.clear();
    FOutstanding.reset();
    FBuffer.clear();
}

std::optional<TExchangeRequest> TLineExchange::Outstanding() const {
    if (!FOutstanding) return std::nullopt;
    return FOutstanding->Request;
}

std::optional<TLineClock::time_point> TLineExchange::Deadline() const {
    if (!FOutstanding) return std::nullopt;
    return FOutstanding->Deadline;
}
