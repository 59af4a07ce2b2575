#include "serial/CommSink.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "serial/Comm.h"
#include "serial/CommTypes.h"

namespace {

TCommNotification Error(uint32_t bits) {
    TCommNotification n;
    n.Message = CommReceiveError;
    n.Bits = bits;
    return n;
}

TCommNotification Data(std::vector<uint8_t> bytes) {
    TCommNotification n;
    n.Message = CommDataReceived;
    n.Count = static_cast<uint16_t>(bytes.size());
    n.Buffer.reset(new uint8_t[bytes.size() + 1]);
    std::copy(bytes.begin(), bytes.end(), n.Buffer.get());
    n.Buffer[bytes.size()] = 0;
    return n;
}

// A sink whose factory-made instances can be counted.
class TCountedSink final : public TCommSink {
  public:
    static inline int Made = 0;
    TCountedSink() { ++Made; }
    bool Post(TCommNotification&&) noexcept override { return true; }
};

}  // namespace

TEST(ManualSink, DeliversInPostedOrderFromAnotherThread) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    std::vector<uint32_t> seen;
    comm.OnReceiveError = [&](TComm* sender, uint32_t mask) {
        EXPECT_EQ(sender, &comm);
        seen.push_back(mask);
    };
    std::thread poster([&] {
        for (uint32_t i = 0; i < 500; ++i) ASSERT_TRUE(sink->Post(Error(i)));
    });
    poster.join();
    EXPECT_EQ(sink->Pending(), 500u);
    EXPECT_EQ(sink->Drain(), 500u);
    ASSERT_EQ(seen.size(), 500u);
    for (uint32_t i = 0; i < 500; ++i) EXPECT_EQ(seen[i], i);
}

TEST(ManualSink, EachNotificationRaisesItsEvent) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    std::vector<std::string> events;
    comm.OnReceiveData = [&](TComm*, const uint8_t* buffer, uint16_t length) {
        events.push_back("data " + std::string(buffer, buffer + length) +
                         (buffer[length] == 0 ? "\\0" : "?"));
    };
    comm.OnReceiveError = [&](TComm*, uint32_t mask) {
        events.push_back("error " + std::to_string(mask));
    };
    comm.OnModemStateChange = [&](TComm*, uint32_t bits) {
        events.push_back("modem " + std::to_string(bits));
    };
    comm.OnRequestHangup = [&](TComm*) { events.push_back("hangup"); };
    comm.OnSendDataEmpty = [&](TComm*) { events.push_back("empty"); };

    sink->Post(Data({'o', 'k'}));
    sink->Post(Error(kCommErrorFrame));
    TCommNotification modem;
    modem.Message = CommModemStateChange;
    modem.Bits = kModemCarrierChanged | kModemRing;
    sink->Post(std::move(modem));
    TCommNotification unknown;
    unknown.Message = 1030;
    sink->Post(std::move(unknown));
    TCommNotification hangup;
    hangup.Message = CommRequestHangup;
    sink->Post(std::move(hangup));
    TCommNotification empty;
    empty.Message = CommSendDataEmpty;
    sink->Post(std::move(empty));
    sink->Drain();
    EXPECT_EQ(events,
              (std::vector<std::string>{"data ok\\0", "error 8", "modem 12", "hangup", "empty"}));
}

TEST(ManualSink, DataWithoutAHandlerIsReleasedQuietly) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    sink->Post(Data({1, 2, 3}));
    EXPECT_EQ(sink->Drain(), 1u);
    EXPECT_EQ(sink->Pending(), 0u);
}

TEST(ManualSink, NotificationPostedByAHandlerIsDeliveredInTheSameDrain) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    std::vector<uint32_t> seen;
    comm.OnReceiveError = [&](TComm*, uint32_t mask) {
        seen.push_back(mask);
        if (mask == 1) sink->Post(Error(2));
    };
    sink->Post(Error(1));
    EXPECT_EQ(sink->Drain(), 2u);
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2}));
}

TEST(ManualSink, HandlerMayReplaceItselfWhileRunning) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    std::vector<std::string> seen;
    const std::string label = "first handler, long enough to live on the heap";
    comm.OnRequestHangup = [&seen, &comm, label](TComm*) {
        comm.OnRequestHangup = [&seen](TComm*) { seen.push_back("second"); };
        seen.push_back(label);  // the running handler's own capture, after the reassignment
    };
    for (int i = 0; i < 2; ++i) {
        TCommNotification hangup;
        hangup.Message = CommRequestHangup;
        sink->Post(std::move(hangup));
    }
    sink->Drain();
    EXPECT_EQ(seen, (std::vector<std::string>{label, "second"}));
}

TEST(ManualSink, DrainUntilGivesUpAfterTheTimeout) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sink->DrainUntil([] { return false; }, std::chrono::milliseconds(100)));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
}

TEST(ManualSink, DrainUntilWakesForANotificationFromAnotherThread) {
    auto owned = std::make_unique<TManualCommSink>();
    TManualCommSink* sink = owned.get();
    TComm comm(std::move(owned));
    int hangups = 0;
    comm.OnRequestHangup = [&](TComm*) { ++hangups; };
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        TCommNotification hangup;
        hangup.Message = CommRequestHangup;
        sink->Post(std::move(hangup));
    });
    EXPECT_TRUE(sink->DrainUntil([&] { return hangups == 1; }, std::chrono::seconds(10)));
    poster.join();
}

TEST(SinkFactory, ComponentsTakeTheirSinkFromTheInstalledFactory) {
    TCountedSink::Made = 0;
    SetCommSinkFactory([] { return std::make_unique<TCountedSink>(); });
    {
        TComm first;
        TComm second;
        EXPECT_NE(dynamic_cast<TCountedSink*>(&first.Sink()), nullptr);
        EXPECT_NE(&first.Sink(), &second.Sink());
    }
    EXPECT_EQ(TCountedSink::Made, 2);
    SetCommSinkFactory({});
    TComm manual;
    EXPECT_NE(dynamic_cast<TManualCommSink*>(&manual.Sink()), nullptr);
}

TEST(SinkFactory, FactoryReturningNothingFallsBackToTheManualSink) {
    SetCommSinkFactory([] { return std::unique_ptr<TCommSink>(); });
    TComm comm;
    EXPECT_NE(dynamic_cast<TManualCommSink*>(&comm.Sink()), nullptr);
    SetCommSinkFactory({});
}
