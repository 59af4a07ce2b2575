// The Qt sink under a QCoreApplication: events on the main thread, in posted
// order, and nothing for a component that is gone.

#include "serial/QtCommSink.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "serial/Comm.h"
#include "serial/CommTypes.h"
#include "serial/PtyPair.h"

namespace {

constexpr int kPatienceMs = 10000;

class QtCommSink : public ::testing::Test {
  protected:
    void SetUp() override { InstallQtCommSinks(); }
    void TearDown() override { SetCommSinkFactory({}); }
};

TCommNotification Error(uint32_t bits) {
    TCommNotification n;
    n.Message = CommReceiveError;
    n.Bits = bits;
    return n;
}

TCommNotification Data(uint8_t byte) {
    TCommNotification n;
    n.Message = CommDataReceived;
    n.Count = 1;
    n.Buffer.reset(new uint8_t[2]{byte, 0});
    return n;
}

// Waits for what worker threads make true by themselves, without running the
// event loop: what they post stays queued.
bool Eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPatienceMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace

TEST_F(QtCommSink, ComponentsGetAQtSinkOnceInstalled) {
    TComm comm;
    EXPECT_NE(dynamic_cast<TQtCommSink*>(&comm.Sink()), nullptr);
}

TEST_F(QtCommSink, NotificationsFromAWorkerArriveInOrderOnTheMainThread) {
    TComm comm;
    std::vector<uint32_t> seen;
    bool allOnMain = true;
    comm.OnReceiveError = [&](TComm*, uint32_t mask) {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) allOnMain = false;
        seen.push_back(mask);
    };
    constexpr uint32_t kCount = 1000;
    std::thread worker([&] {
        for (uint32_t i = 0; i < kCount; ++i) ASSERT_TRUE(comm.Sink().Post(Error(i)));
    });
    worker.join();
    EXPECT_TRUE(seen.empty());  // nothing runs before the event loop does
    EXPECT_TRUE(QTest::qWaitFor([&] { return seen.size() == kCount; }, kPatienceMs));
    EXPECT_TRUE(allOnMain);
    for (uint32_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], i);
}

TEST_F(QtCommSink, PortEventsOfARealLineArriveOnTheMainThread) {
    TPtyPair pty;
    TComm comm;
    comm.SetCommName(pty.SlavePath());
    int empties = 0;
    std::vector<uint8_t> received;
    bool allOnMain = true;
    auto checkThread = [&] {
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) allOnMain = false;
    };
    comm.OnSendDataEmpty = [&](TComm*) {
        checkThread();
        ++empties;
    };
    comm.OnReceiveData = [&](TComm*, const uint8_t* buffer, uint16_t length) {
        checkThread();
        received.insert(received.end(), buffer, buffer + length);
    };
    comm.OpenPort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return empties == 1; }, kPatienceMs));
    const uint8_t request[8] = {0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x3D, 0xC9};
    ASSERT_TRUE(comm.SendData(request, 8));
    EXPECT_EQ(pty.Read(8), std::vector<uint8_t>(request, request + 8));
    ASSERT_TRUE(pty.Write({0x01, 0x01, 0x01, 0x05, 0x91, 0x8B}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() == 6 && empties == 2; }, kPatienceMs));
    EXPECT_TRUE(allOnMain);
    EXPECT_TRUE(comm.SendIdle());
    comm.ClosePort();
}

TEST_F(QtCommSink, NotificationsOfADestroyedComponentAreDropped) {
    auto calls = std::make_shared<int>(0);
    {
        TComm comm;
        comm.OnReceiveError = [calls](TComm*, uint32_t) { ++*calls; };
        comm.OnReceiveData = [calls](TComm*, const uint8_t*, uint16_t) { ++*calls; };
        std::thread worker([&] {
            for (uint32_t i = 0; i < 50; ++i) {
                comm.Sink().Post(Error(i));
                comm.Sink().Post(Data(static_cast<uint8_t>(i)));
            }
        });
        worker.join();
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(*calls, 0);
    // The handlers (and their captured state) went with the component.
    EXPECT_EQ(calls.use_count(), 1);
}

TEST_F(QtCommSink, OpenComponentDestroyedWithEventsQueuedDoesNoHarm) {
    TPtyPair pty;
    int calls = 0;
    {
        TComm comm;
        comm.SetCommName(pty.SlavePath());
        comm.OnSendDataEmpty = [&](TComm*) { ++calls; };
        comm.OnReceiveData = [&](TComm*, const uint8_t*, uint16_t) { ++calls; };
        comm.OpenPort();
        ASSERT_TRUE(pty.Write({'a', 'b', 'c'}));
        QThread::msleep(300);  // let the chunk be posted; the loop never runs
    }
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(calls, 0);
}

TEST_F(QtCommSink, EventsLeftQueuedByAClosedOpeningNeverReachTheNextOne) {
    TPtyPair pty;
    TComm comm;
    comm.SetCommName(pty.SlavePath());
    int empties = 0;
    int hangups = 0;
    std::vector<uint8_t> received;
    comm.OnSendDataEmpty = [&](TComm*) { ++empties; };
    comm.OnRequestHangup = [&](TComm*) { ++hangups; };
    comm.OnReceiveData = [&](TComm*, const uint8_t* buffer, uint16_t length) {
        received.insert(received.end(), buffer, buffer + length);
    };
    comm.OpenPort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return empties == 1; }, kPatienceMs));
    // An XOFF, and a probe whose arrival shows it was taken in.
    ASSERT_TRUE(pty.Write({0x13, 'p'}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !received.empty(); }, kPatienceMs));
    received.clear();

    // From here the event loop does not run, so whatever the workers post
    // stays queued. The XOFF holds the request until SendData has marked the
    // queue busy; once SendIdle is back, the writer has found its queue empty
    // and posts its notice before it waits again.
    const uint8_t request[8] = {0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0xF1, 0xC9};
    ASSERT_TRUE(comm.SendData(request, 8));
    ASSERT_TRUE(pty.Write({0x11}));
    EXPECT_EQ(pty.Read(8), std::vector<uint8_t>(request, request + 8));
    ASSERT_TRUE(Eventually([&] { return comm.SendIdle(); }));
    ASSERT_TRUE(pty.Write({'a', 'b', 'c'}));  // a chunk too, if read before the hang-up
    pty.CloseMaster();
    // The reader posts its hang-up before it ends; the writer ends on the next
    // request, after everything it posted before.
    ASSERT_TRUE(Eventually([&] { return !comm.WorkersAlive(); }));
    ASSERT_TRUE(Eventually([&] { return !comm.SendData(request, 8); }));
    comm.ClosePort();

    TPtyPair replugged;
    comm.SetCommName(replugged.SlavePath());
    comm.OpenPort();
    ASSERT_TRUE(QTest::qWaitFor([&] { return empties >= 2; }, kPatienceMs));
    QTest::qWait(300);      // anything else queued is delivered meanwhile
    EXPECT_EQ(empties, 2);  // one per opening, none left over
    EXPECT_EQ(hangups, 0);
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(comm.SendIdle());
    comm.ClosePort();
}

TEST_F(QtCommSink, HandlerExceptionIsReportedAndLaterEventsStillArrive) {
    std::vector<std::string> reported;
    InstallQtCommSinks([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reported.push_back(e.what());
        }
    });
    TComm comm;
    std::vector<uint32_t> seen;
    comm.OnReceiveError = [&](TComm*, uint32_t mask) {
        seen.push_back(mask);
        if (mask == 1) throw std::runtime_error("handler failed");
    };
    comm.Sink().Post(Error(1));
    comm.Sink().Post(Error(2));
    EXPECT_TRUE(QTest::qWaitFor([&] { return seen.size() == 2; }, kPatienceMs));
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2}));
    EXPECT_EQ(reported, std::vector<std::string>{"handler failed"});
}

// A burst from many components is delivered in slices: the event loop turns
// between them, and the order of the burst holds across components.
TEST_F(QtCommSink, ABurstIsDeliveredInPostedOrderWithTheLoopTurningBetweenSlices) {
    TQtCommSink::SetDeliverySliceForTest(std::chrono::nanoseconds(0));
    struct TRestore {
        ~TRestore() { TQtCommSink::SetDeliverySliceForTest(TQtCommSink::kDeliverySlice); }
    } restore;
    constexpr uint32_t kCount = 40;
    std::array<TComm, 2> comms;
    std::vector<std::pair<int, uint32_t>> seen;
    int ticks = 0;
    std::vector<int> ticksAtDelivery;
    for (int c = 0; c < 2; ++c) {
        comms[c].OnReceiveError = [&, c](TComm*, uint32_t mask) {
            seen.emplace_back(c, mask);
            ticksAtDelivery.push_back(ticks);
        };
    }
    std::thread worker([&] {
        for (uint32_t i = 0; i < kCount; ++i) ASSERT_TRUE(comms[i % 2].Sink().Post(Error(i)));
    });
    worker.join();
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
    tick.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == kCount; }, kPatienceMs));
    for (uint32_t i = 0; i < kCount; ++i) {
        EXPECT_EQ(seen[i], std::make_pair(static_cast<int>(i % 2), i));
    }
    // Delivered one per turn: the timer ran between the first and the last.
    EXPECT_GT(ticksAtDelivery.back(), ticksAtDelivery.front());
}

// A handler that destroys components: what the destroyed ones still had
// queued never arrives, the rest does, in order.
TEST_F(QtCommSink, AHandlerThatDestroysComponentsMidBurstStopsOnlyTheirEvents) {
    auto first = std::make_unique<TComm>();
    auto second = std::make_unique<TComm>();
    auto third = std::make_unique<TComm>();
    std::vector<std::pair<int, uint32_t>> seen;
    first->OnReceiveError = [&](TComm*, uint32_t mask) {
        seen.emplace_back(1, mask);
        if (mask == 2) second.reset();  // another component
        if (mask == 4) first.reset();   // its own
    };
    second->OnReceiveError = [&](TComm*, uint32_t mask) { seen.emplace_back(2, mask); };
    third->OnReceiveError = [&](TComm*, uint32_t mask) { seen.emplace_back(3, mask); };
    for (uint32_t i = 0; i < 6; ++i) {
        first->Sink().Post(Error(i));
        second->Sink().Post(Error(i));
        third->Sink().Post(Error(i));
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !seen.empty() && seen.back() == std::make_pair(3, uint32_t{5}); },
        kPatienceMs));
    const std::vector<std::pair<int, uint32_t>> expected = {{1, 0}, {2, 0}, {3, 0}, {1, 1}, {2, 1},
                                                            {3, 1}, {1, 2}, {3, 2}, {1, 3}, {3, 3},
                                                            {1, 4}, {3, 4}, {3, 5}};
    EXPECT_EQ(seen, expected);
    // Destroying the last component inside a handler leaves nothing behind.
    third->OnReceiveError = [&](TComm*, uint32_t) { third.reset(); };
    third->Sink().Post(Error(9));
    ASSERT_TRUE(QTest::qWaitFor([&] { return third == nullptr; }, kPatienceMs));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
