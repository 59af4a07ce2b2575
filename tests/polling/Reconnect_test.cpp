// The reconnect command: a port that never opened or whose line hung up is
// opened anew, and the station gets a fresh offline period.

#include <gtest/gtest.h>

#include <QTest>
#include <chrono>

#include "ScanRig.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/Comm.h"
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
