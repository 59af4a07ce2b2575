// The exchange of a shared line on made-up time points: who may send when,
// and which station the bytes that come back belong to.

#include "polling/LineExchange.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "polling/TmpProtocol.h"

namespace {

using namespace std::chrono_literals;
using TBytes = std::vector<uint8_t>;
using TKind = TExchangeEventKind;

const TLineClock::time_point kT0 = TLineClock::time_point{} + 1h;

// Opaque keys: the exchange never looks behind them.
alignas(8) char gStationSlots[3];
TStationState* const kS1 = reinterpret_cast<TStationState*>(&gStationSlots[0]);
TStationState* const kS2 = reinterpret_cast<TStationState*>(&gStationSlots[1]);

TBytes WithCrc(TBytes frame) {
    uint8_t low = 0, high = 0;
    CalcCrc16(frame.data(), static_cast<int32_t>(frame.size()), low, high);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

TBytes Coils(uint8_t address, uint8_t flags) {
    return WithCrc({address, 0x01, 0x01, flags});
}
TBytes Regs(uint8_t address) {
    return WithCrc({address, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42, 0x00, 0x43, 0x00, 0x28});
}
TBytes Exception(uint8_t address, uint8_t function) {
    return WithCrc({address, static_cast<uint8_t>(function | 0x80), 0x02});
}

std::vector<TExchangeEvent> Feed(TLineExchange& line, const TBytes& bytes,
                                 TLineClock::time_point now) {
    return line.Feed(bytes.data(), bytes.size(), now);
}

TBytes Joined(const TBytes& a, const TBytes& b) {
    TBytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

}  // namespace

// 3.5 characters of silence, rounded up; never below 1750 us on fast lines.
TEST(LineExchange, GapAndWireTimeFollowTheLineFormat) {
    EXPECT_EQ(InterFrameGap(9600, 10), 3646us);   // 3645.8
    EXPECT_EQ(InterFrameGap(9600, 11), 4011us);   // 4010.4
    EXPECT_EQ(InterFrameGap(19200, 10), 1823us);  // 1822.9
    EXPECT_EQ(InterFrameGap(38400, 10), 1750us);  // 911.5 would be too short
    EXPECT_EQ(InterFrameGap(115200, 11), 1750us);
    EXPECT_EQ(InterFrameGap(0, 10), InterFrameGap(9600, 10));
    EXPECT_EQ(WireTime(8, 9600, 10), 8334us);
    EXPECT_EQ(WireTime(8, 0, 11), WireTime(8, 9600, 11));
    EXPECT_EQ(ExpectedReplyLength(kFnReadCoils), 6u);
    EXPECT_EQ(ExpectedReplyLength(kFnReadInputRegs), 13u);
    EXPECT_EQ(ExpectedReplyLength(0x84), 5u);
    EXPECT_EQ(ExpectedReplyLength(0x03), 0u);
}

// One request at a time, first queued first sent, each after the line has
// been quiet for the gap since the last byte received.
TEST(LineExchange, OneRequestAtATimeInQueueOrderAfterTheGap) {
    TLineExchange line;
    EXPECT_FALSE(line.NextWake());
    EXPECT_EQ(line.Enqueue(kS1, 1, kFnReadCoils), TLineExchange::TQueueResult::Queued);
    EXPECT_EQ(line.Enqueue(kS2, 2, kFnReadInputRegs), TLineExchange::TQueueResult::Queued);
    EXPECT_EQ(line.Enqueue(kS1, 1, kFnReadInputRegs), TLineExchange::TQueueResult::Queued);
    ASSERT_TRUE(line.NextWake());
    EXPECT_LE(*line.NextWake(), kT0);  // an unused line is quiet

    auto first = line.TakeNext(kT0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Station, kS1);
    EXPECT_EQ(first->Function, kFnReadCoils);
    EXPECT_FALSE(line.TakeNext(kT0 + 500ms));  // still outstanding
    EXPECT_EQ(line.NextWake(), kT0 + 1000ms);

    const TLineClock::time_point replied = kT0 + 30ms;
    const auto events = Feed(line, Coils(1, 0x05), replied);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, TKind::Reply);
    EXPECT_EQ(events[0].SentAt, kT0);
    const TLineClock::time_point quietEnough = replied + InterFrameGap(9600, 10);
    EXPECT_EQ(line.NextWake(), quietEnough);
    EXPECT_FALSE(line.TakeNext(quietEnough - 1us));
    auto second = line.TakeNext(quietEnough);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Station, kS2);
    EXPECT_EQ(line.QueuedCount(), 1u);
}

// Without any reply the gap counts from the end of our own request on the
// wire, at the line's format.
TEST(LineExchange, TheGapAlsoCountsFromTheEndOfOurOwnRequest) {
    TLineExchange line;
    line.SetLine(9600, 11);
    line.SetReplyTimeout(5ms);  // shorter than the request's 9.2 ms on the wire
    line.Enqueue(kS1, 1, kFnReadCoils);
    line.Enqueue(kS2, 2, kFnReadCoils);
    ASSERT_TRUE(line.TakeNext(kT0));
    EXPECT_TRUE(line.Expire(kT0 + 4ms).empty());
    const auto expired = line.Expire(kT0 + 5ms);
    ASSERT_EQ(expired.size(), 1u);
    EXPECT_EQ(expired[0].Kind, TKind::TimedOut);
    EXPECT_EQ(expired[0].Station, kS1);
    EXPECT_EQ(expired[0].SentAt, kT0);

    const TLineClock::time_point quietEnough =
        kT0 + WireTime(8, 9600, 11) + InterFrameGap(9600, 11);
    EXPECT_EQ(line.NextWake(), quietEnough);
    EXPECT_FALSE(line.TakeNext(quietEnough - 1us));
    EXPECT_TRUE(line.TakeNext(quietEnough));
}

// Bytes come in whatever chunks the port hands over: a reply one byte at a
// time, or a reply with the start of whatever follows it.
TEST(LineExchange, RepliesAreReassembledFromChunks) {
    TLineExchange line;
    line.Enqueue(kS1, 7, kFnReadInputRegs);
    ASSERT_TRUE(line.TakeNext(kT0));
    const TBytes reply = Regs(7);
    for (size_t i = 0; i + 1 < reply.size(); ++i) {
        EXPECT_TRUE(line.Feed(&reply[i], 1, kT0 + 10ms).empty()) << i;
    }
    EXPECT_EQ(line.BufferedCount(), reply.size() - 1);
    const auto events = line.Feed(&reply.back(), 1, kT0 + 11ms);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, TKind::Reply);
    EXPECT_EQ(events[0].Station, kS1);
    EXPECT_EQ(events[0].Function, kFnReadInputRegs);
    EXPECT_EQ(events[0].Bytes, reply);
    EXPECT_FALSE(line.HasOutstanding());

    line.Enqueue(kS1, 7, kFnReadCoils);
    ASSERT_TRUE(line.TakeNext(kT0 + 1s));
    const auto both = Feed(line, Joined(Coils(7, 0x02), {0x55, 0x66}), kT0 + 1s + 9ms);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_EQ(both[0].Kind, TKind::Reply);
    EXPECT_EQ(both[0].Bytes, Coils(7, 0x02));
    EXPECT_EQ(both[1].Kind, TKind::Dropped);
    EXPECT_EQ(both[1].Station, kS1);  // the station of the last request
    EXPECT_EQ(both[1].Bytes, (TBytes{0x55, 0x66}));
    EXPECT_EQ(line.BufferedCount(), 0u);
}

// Another address's frame, or our address's frame of the other function, goes
// whole as one Dropped; noise goes as one run; the request waits on.
TEST(LineExchange, FramesOfNoRequestAreDroppedAndTheRequestWaitsOn) {
    TLineExchange line;
    line.Enqueue(kS1, 7, kFnReadCoils);
    ASSERT_TRUE(line.TakeNext(kT0));
    TBytes chunk = Joined(Regs(9), {0x00, 0xFF, 0x07});
    chunk = Joined(chunk, Regs(7));
    const auto events = Feed(line, chunk, kT0 + 20ms);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].Kind, TKind::Dropped);
    EXPECT_EQ(events[0].Bytes, Regs(9));
    EXPECT_EQ(events[0].Station, kS1);
    EXPECT_EQ(events[1].Bytes, (TBytes{0x00, 0xFF, 0x07}));
    EXPECT_EQ(events[2].Bytes, Regs(7));
    EXPECT_EQ(events[2].Kind, TKind::Dropped);
    EXPECT_TRUE(line.HasOutstanding());

    const auto reply = Feed(line, Coils(7, 0x01), kT0 + 30ms);
    ASSERT_EQ(reply.size(), 1u);
    EXPECT_EQ(reply[0].Kind, TKind::Reply);
}

// A reply that comes after its time-out is never taken for the next
// station's; a partial one left at the time-out is dropped before it.
TEST(LineExchange, ALateReplyNeverAnswersTheNextRequest) {
    TLineExchange line;
    line.Enqueue(kS1, 1, kFnReadInputRegs);
    line.Enqueue(kS2, 2, kFnReadInputRegs);
    ASSERT_TRUE(line.TakeNext(kT0));
    const TBytes late = Regs(1);
    EXPECT_TRUE(line.Feed(late.data(), 5, kT0 + 100ms).empty());
    const auto expired = line.Expire(kT0 + 1000ms);
    ASSERT_EQ(expired.size(), 2u);
    EXPECT_EQ(expired[0].Kind, TKind::Dropped);
    EXPECT_EQ(expired[0].Bytes, TBytes(late.begin(), late.begin() + 5));
    EXPECT_EQ(expired[0].Station, kS1);
    EXPECT_EQ(expired[1].Kind, TKind::TimedOut);
    EXPECT_EQ(line.BufferedCount(), 0u);
    EXPECT_TRUE(line.Expire(kT0 + 2000ms).empty());

    ASSERT_TRUE(line.TakeNext(kT0 + 1010ms));
    const auto whole = Feed(line, late, kT0 + 1020ms);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].Kind, TKind::Dropped);
    EXPECT_EQ(whole[0].Bytes, late);
    EXPECT_EQ(whole[0].Station, kS2);
    ASSERT_TRUE(line.Outstanding());
    EXPECT_EQ(line.Outstanding()->Station, kS2);
    const auto own = Feed(line, Regs(2), kT0 + 1030ms);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].Kind, TKind::Reply);
    EXPECT_EQ(own[0].Station, kS2);
}

// An exception answers without a sample; a frame of the expected length with
// a bad CRC answers badly. Either way the request is over.
TEST(LineExchange, ExceptionsAndBadCrcsEndTheRequest) {
    TLineExchange line;
    line.SetReplyTimeout(100ms);
    const auto ask = [&](uint8_t function, const TBytes& answer, int n) {
        line.Enqueue(kS1, 3, function);
        const TLineClock::time_point at = kT0 + n * 1s;
        EXPECT_TRUE(line.TakeNext(at));
        auto events = Feed(line, answer, at + 10ms);
        EXPECT_FALSE(line.HasOutstanding());
        EXPECT_TRUE(line.Expire(at + 200ms).empty());
        return events.size() == 1 ? events[0].Kind : TKind::Dropped;
    };
    EXPECT_EQ(ask(kFnReadInputRegs, Exception(3, kFnReadInputRegs), 0), TKind::Exception);
    TBytes bad = Regs(3);
    bad[5] ^= 0x10;
    EXPECT_EQ(ask(kFnReadInputRegs, bad, 1), TKind::CrcError);
    TBytes badException = Exception(3, kFnReadCoils);
    badException[2] = 0x03;
    EXPECT_EQ(ask(kFnReadCoils, badException, 2), TKind::CrcError);
}

// A station waits with at most one request per function; one that leaves
// the line takes its queued requests along, and its outstanding one is still
// waited out without naming it.
TEST(LineExchange, AStationWaitsOnceAndLeavesCleanly) {
    TLineExchange line;
    EXPECT_EQ(line.Enqueue(kS1, 1, kFnReadCoils), TLineExchange::TQueueResult::Queued);
    EXPECT_EQ(line.Enqueue(kS1, 1, kFnReadCoils), TLineExchange::TQueueResult::AlreadyWaiting);
    ASSERT_TRUE(line.TakeNext(kT0));
    EXPECT_EQ(line.Enqueue(kS1, 1, kFnReadCoils), TLineExchange::TQueueResult::AlreadyWaiting);
    EXPECT_EQ(line.Enqueue(kS1, 1, kFnReadInputRegs), TLineExchange::TQueueResult::Queued);
    EXPECT_EQ(line.Enqueue(kS2, 2, kFnReadCoils), TLineExchange::TQueueResult::Queued);
    EXPECT_EQ(line.QueuedCount(), 2u);

    line.Forget(kS1);
    EXPECT_EQ(line.QueuedCount(), 1u);
    EXPECT_FALSE(line.IsWaiting(kS1, kFnReadCoils));
    EXPECT_FALSE(line.IsWaiting(kS1, kFnReadInputRegs));
    EXPECT_TRUE(line.IsWaiting(kS2, kFnReadCoils));
    ASSERT_TRUE(line.HasOutstanding());
    EXPECT_EQ(line.Outstanding()->Station, nullptr);
    EXPECT_FALSE(line.TakeNext(kT0 + 500ms));

    const auto events = Feed(line, Joined(Coils(1, 0x00), {0x42}), kT0 + 600ms);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].Kind, TKind::Reply);
    EXPECT_EQ(events[0].Station, nullptr);
    EXPECT_EQ(events[1].Station, nullptr);  // not the forgotten station either

    line.Clear();
    EXPECT_EQ(line.QueuedCount(), 0u);
    EXPECT_FALSE(line.NextWake());
}

// A line that never stops talking costs bytes dropped, not memory, and the
// reply after it is still taken.
TEST(LineExchange, BabbleIsDroppedWithoutGrowingTheBuffer) {
    TLineExchange line;
    line.Enqueue(kS1, 7, kFnReadCoils);
    ASSERT_TRUE(line.TakeNext(kT0));
    TBytes babble(64 * 1024);
    for (size_t i = 0; i < babble.size(); ++i) babble[i] = (i % 2 == 0) ? 0x07 : 0x02;

    size_t dropped = 0;
    for (const TExchangeEvent& e : Feed(line, babble, kT0 + 10ms)) {
        EXPECT_EQ(e.Kind, TKind::Dropped);
        dropped += e.Bytes.size();
    }
    EXPECT_EQ(dropped, babble.size());
    for (size_t at = 0; at < babble.size(); at += 1000) {
        const size_t n = std::min<size_t>(1000, babble.size() - at);
        line.Feed(&babble[at], n, kT0 + 20ms);
        EXPECT_LE(line.BufferedCount(), 1u);
    }
    EXPECT_TRUE(line.HasOutstanding());
    const auto reply = Feed(line, Coils(7, 0x01), kT0 + 30ms);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply.back().Kind, TKind::Reply);
}
