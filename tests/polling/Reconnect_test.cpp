// The reconnect command: a port that never opened or whose line hung up is
// opened anew, and the station gets a fresh offline period.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTest>
#include <chrono>

#include "ScanRig.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/Comm.h"
#include "serial/TcpLink.h"
#include "store/HisInfoDbMgr.h"

using namespace std::chrono_literals;

namespace {

const TDateTime kT0 = EncodeDateTime(2024, 3, 1, 12, 0, 0);

TDateTime PlusMs(TDateTime base, int64_t ms) {
    return base + static_cast<double>(ms) / static_cast<double>(kMSecsPerDay);
}

class ReconnectTest : public testing::Test {
  protected:
    void Pass() { rig_.Cycle().ScanTimer2Timer(); }
    void UseClock() {
        rig_.Cycle().SetClock([this] { return now_; });
        rig_.Cycle().SetOfflineClock([this] { return now_; });
    }

    TScanRig rig_;
    TDateTime now_ = kT0;
};

}  // namespace

TEST_F(ReconnectTest, PortThatAppearedLaterIsOpenedAndPolled) {
    TStationState& station = rig_.AddStation(9, 9);
    ASSERT_EQ(station.State, kStateOpenError);
    TPtyPair& peer = rig_.Peer(9);

    rig_.Cycle().Reconnect(station);
    EXPECT_EQ(station.State, kStateConnecting);
    ASSERT_TRUE(station.Port->WorkersAlive());
    Pass();
    EXPECT_EQ(peer.Read(kRequestSize), RequestFor(9, kFnReadInputRegs));
}

TEST_F(ReconnectTest, PortStillMissingStaysInOpenError) {
    TStationState& station = rig_.AddStation(9, 9);
    rig_.Cycle().Reconnect(station);
    EXPECT_EQ(station.State, kStateOpenError);
    EXPECT_FALSE(station.Port->IsOpen());
    Pass();
    EXPECT_EQ(station.State, kStateOpenError);  // still not polled
}

TEST_F(ReconnectTest, AbsentStationGetsAFreshOfflinePeriod) {
    UseClock();
    rig_.Settings().MaxOLTimer = 60000;
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    station.RefTime = kT0;

    now_ = PlusMs(kT0, 61000);
    Pass();
    ASSERT_EQ(station.State, kStateAbsent);
    peer.Read(kRequestSize);
    ASSERT_TRUE(TScanRig::WaitFor([&] { return station.Port->SendIdle(); }));

    now_ = PlusMs(kT0, 125000);  // past the limit again, counted from the old time
    rig_.Cycle().Reconnect(station);
    EXPECT_EQ(station.State, kStateConnecting);
    EXPECT_EQ(station.RefTime, now_);
    now_ = PlusMs(now_, 5000);
    Pass();
    EXPECT_EQ(station.State, kStateConnecting);
    EXPECT_EQ(peer.Read(kRequestSize), RequestFor(1, kFnReadInputRegs));
}

TEST_F(ReconnectTest, OpenPortWithLiveWorkersIsLeftAsItIs) {
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    const TComm* before = station.Port.get();
    // A request queued for the writer would be dropped by a reopen.
    const uint8_t request[kRequestSize] = {1, 4, 0, 0, 0, 4, 0xF1, 0xC9};
    ASSERT_TRUE(station.Port->SendData(request, kRequestSize));
    rig_.Cycle().Reconnect(station);
    EXPECT_EQ(station.State, kStateConnecting);
    EXPECT_EQ(station.Port.get(), before);
    EXPECT_EQ(peer.Read(kRequestSize), TBytes(request, request + kRequestSize));
}

TEST_F(ReconnectTest, LineThatHungUpIsReopenedOnTheNewDeviceAndRecordsAgain) {
    rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    rig_.CountChunks(station);
    ASSERT_TRUE(rig_.Deliver(station, RegsReply(1, 70, 71, 72, 0)));
    ASSERT_EQ(station.HistoryMgr->RecordCount(), 1);

    // The adapter goes (its far end closes) and comes back as a new device
    // under the same port name.
    TPtyPair& replugged = rig_.Peer(1);
    ASSERT_TRUE(TScanRig::WaitFor([&] { return !station.Port->WorkersAlive(); }));
    EXPECT_TRUE(station.Port->IsOpen());

    rig_.Cycle().Reconnect(station);
    EXPECT_EQ(station.State, kStateConnecting);
    ASSERT_TRUE(station.Port->WorkersAlive());
    rig_.CountChunks(station);  // the handler survives the reopen; count afresh
    Pass();
    EXPECT_EQ(replugged.Read(kRequestSize), RequestFor(1, kFnReadInputRegs));
    ASSERT_TRUE(rig_.Deliver(station, RegsReply(1, 80, 81, 82, 0)));
    EXPECT_EQ(station.State, kStateConnected);
    EXPECT_EQ(station.HistoryMgr->RecordCount(), 2);
}

TEST_F(ReconnectTest, WriterStuckOnALineThatNeverDrainsIsReopened) {
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    // A far end that never reads: the writer fills the line and waits for room.
    const TBytes filler(60000, 0x55);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(station.Port->SendData(filler.data(), static_cast<uint16_t>(filler.size())));
    }
    ASSERT_TRUE(TScanRig::WaitFor(
        [&] { return station.Port->WriteStalledFor() >= TScanCycle::kStuckWriteLimit; }));
    ASSERT_TRUE(station.Port->WorkersAlive());

    const auto start = TSteady::now();
    rig_.Cycle().Reconnect(station);
    EXPECT_LT(TSteady::now() - start, 2s);
    EXPECT_EQ(station.State, kStateConnecting);
    EXPECT_EQ(station.Port->WriteStalledFor(), 0ms);
    ASSERT_TRUE(station.Port->SendIdle());

    // What the old opening wrote is still with the far end; then the new
    // opening polls.
    while (!peer.Read(1 << 20, 300ms).empty()) {
    }
    Pass();
    EXPECT_EQ(peer.Read(kRequestSize), RequestFor(1, kFnReadInputRegs));
}

namespace {

// A serial server on loopback: one connection at a time.
class TLoopbackServer {
  public:
    TLoopbackServer() {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(FListen, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(FListen, 4);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length);
        FPort = ntohs(address.sin_port);
    }
    ~TLoopbackServer() {
        Drop();
        ::close(FListen);
    }
    std::string Target() const { return "tcp:127.0.0.1:" + std::to_string(FPort); }
    // Takes the next connection, running the event loop while it waits.
    bool Accept() {
        return TScanRig::WaitFor([&] {
            pollfd p{FListen, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1) return false;
            FConnection = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            return FConnection >= 0;
        });
    }
    void Drop() {
        if (FConnection >= 0) ::close(FConnection);
        FConnection = -1;
    }
    // True once a whole request arrived on the connection.
    bool ReceivesRequest() {
        size_t got = 0;
        return TScanRig::WaitFor([&] {
            uint8_t buffer[64];
            pollfd p{FConnection, POLLIN, 0};
            if (::poll(&p, 1, 0) != 1) return false;
            const ssize_t n = ::read(FConnection, buffer, sizeof buffer);
            if (n > 0) got += static_cast<size_t>(n);
            return got >= kRequestSize;
        });
    }

  private:
    int FListen = -1;
    int FConnection = -1;
    uint16_t FPort = 0;
};

}  // namespace

// A station behind a serial server: while the connection is down it shows
// "打开端口出错" and gets no request, "重新连接" leaves the line to come back
// by itself, and once it is back the station is polled again.
TEST_F(ReconnectTest, StationBehindASerialServerWaitsForItsConnectionAndIsPolledWhenBack) {
    TLoopbackServer server;
    rig_.LinkPort(1, server.Target());
    TStationState& station = rig_.AddStation(9, 1);
    ASSERT_TRUE(server.Accept());
    station.Port->SetReconnectDelays(
        {std::chrono::milliseconds(50), std::chrono::milliseconds(50)});
    rig_.Cycle().ScanTimerTimer();
    ASSERT_TRUE(server.ReceivesRequest());

    server.Drop();
    ASSERT_TRUE(TScanRig::WaitFor([&] { return !station.Port->IsConnected(); }));
    rig_.Cycle().ScanTimerTimer();
    EXPECT_EQ(station.State, kStateOpenError);
    rig_.Cycle().Reconnect(station);
    EXPECT_TRUE(station.Port->IsNetworkLine());

    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(TScanRig::WaitFor([&] { return station.Port->IsConnected(); }));
    rig_.Cycle().ScanTimer2Timer();
    EXPECT_TRUE(IsPolledState(station.State));
    EXPECT_TRUE(server.ReceivesRequest());
}
