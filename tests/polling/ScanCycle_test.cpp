// The scan cycle headless: real TComms on pseudo-terminals whose far ends the
// tests hold, timers of a QCoreApplication, and a fake window.

#include "polling/ScanCycle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <QTest>
#include <chrono>
#include <filesystem>

#include "ScanRig.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "store/HisInfoDbMgr.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A fixed point in local time for the tests that drive the clock.
const TDateTime kT0 = EncodeDateTime(2024, 3, 1, 12, 0, 0);

TDateTime PlusMs(TDateTime base, int64_t ms) {
    return base + static_cast<double>(ms) / static_cast<double>(kMSecsPerDay);
}

// Everything that has arrived on the far end so far, without blocking, so a
// wait can run the event loop meanwhile.
class TPeerBytes {
  public:
    explicit TPeerBytes(const TPtyPair& pty) : FPty(pty) {}
    const TBytes& Poll() {
        uint8_t buffer[256];
        ssize_t n;
        while ((n = ::read(FPty.Master(), buffer, sizeof buffer)) > 0) {
            FBytes.insert(FBytes.end(), buffer, buffer + n);
        }
        return FBytes;
    }

  private:
    const TPtyPair& FPty;
    TBytes FBytes;
};

class ScanCycleTest : public testing::Test {
  protected:
    // Runs a temperature pass, which arms nothing, at the clock's time.
    void Pass() { rig_.Cycle().ScanTimer2Timer(); }

    // Reads this pass's request on the far end and waits until the port is
    // idle again, so the next pass can send.
    void ExpectRequest(TPtyPair& peer, TStationState& station, uint8_t function) {
        EXPECT_EQ(peer.Read(kRequestSize), RequestFor(station.Address, function));
        EXPECT_TRUE(TScanRig::WaitFor([&] { return station.Port->SendIdle(); }));
    }

    // One test time for the samples' dates and the offline rule alike.
    void UseClock() {
        rig_.Cycle().SetClock([this] { return now_; });
        rig_.Cycle().SetOfflineClock([this] { return now_; });
    }

    TScanRig rig_;
    TDateTime now_ = kT0;
};

// --- Passes and timers ------------------------------------------------------

TEST_F(ScanCycleTest, RelayPassThenTemperaturePassFourSecondsLaterEvenWhenStoppedInBetween) {
    TPtyPair& peer1 = rig_.Peer(1);
    TPtyPair& peer2 = rig_.Peer(2);
    TPtyPair& peer3 = rig_.Peer(3);
    TStationState& first = rig_.AddStation(1, 1);
    rig_.AddStation(2, 2);
    TStationState& manual = rig_.AddStation(3, 3);
    manual.State = kStateManualDisconnect;
    TStationState& missing = rig_.AddStation(9, 9);  // no COM9: never opened
    ASSERT_EQ(first.State, kStateDisconnected);
    ASSERT_EQ(missing.State, kStateOpenError);
    rig_.View().Selected = &manual;

    rig_.Cycle().StartScanning();
    const auto relayAt = TSteady::now();
    rig_.Cycle().ScanTimerTimer();
    EXPECT_TRUE(rig_.Cycle().IsTemperaturePassArmed());
    EXPECT_EQ(peer1.Read(kRequestSize), RequestFor(1, kFnReadCoils));
    EXPECT_EQ(peer2.Read(kRequestSize), RequestFor(2, kFnReadCoils));

    QTest::qWait(1000);
    rig_.Cycle().StopScanning();
    EXPECT_FALSE(rig_.Cycle().IsScanning());
    EXPECT_TRUE(rig_.Cycle().IsTemperaturePassArmed());

    ASSERT_TRUE(TScanRig::WaitFor([&] { return rig_.View().StatesShown.size() >= 2; }));
    const auto delay = rig_.View().StatesShown[1].At - relayAt;
    EXPECT_GE(delay, 3950ms);
    EXPECT_FALSE(rig_.Cycle().IsTemperaturePassArmed());
    EXPECT_EQ(peer1.Read(kRequestSize), RequestFor(1, kFnReadInputRegs));
    EXPECT_EQ(peer2.Read(kRequestSize), RequestFor(2, kFnReadInputRegs));

    // One request per pass and station, nothing to the manually disconnected
    // one, whose text alone reached the status bar, once per pass.
    EXPECT_TRUE(StaysQuiet(peer1));
    EXPECT_TRUE(StaysQuiet(peer2, 0ms));
    EXPECT_TRUE(StaysQuiet(peer3, 0ms));
    EXPECT_EQ(rig_.View().States(),
              (std::vector<uint8_t>{kStateManualDisconnect, kStateManualDisconnect}));
    EXPECT_EQ(missing.State, kStateOpenError);
    EXPECT_EQ(first.State, kStateDisconnected);  // sent, no reply: unchanged
}

TEST_F(ScanCycleTest, ScanIntervalShorterThanTheDelayDoesNotPushTheTemperaturePassBack) {
    // Relay passes at 0, 1.5, 3 and 4.5 s; none falls on the temperature
    // pass at 4 s (one that did would leave the port busy for it).
    rig_.Settings().ScanInterval = 1500;
    rig_.Cycle().ApplyTimers();
    TPtyPair& peer = rig_.Peer(1);
    rig_.AddStation(1, 1);
    TPeerBytes arrived(peer);

    rig_.Cycle().StartScanning();
    const auto relayAt = TSteady::now();
    rig_.Cycle().ScanTimerTimer();
    // Each relay pass arms ScanTimer2 again; if that restarted it, the
    // temperatures would never come.
    const TBytes temperatures = RequestFor(1, kFnReadInputRegs);
    auto temperatureSeen = [&] {
        const TBytes& bytes = arrived.Poll();
        for (size_t at = 0; at + kRequestSize <= bytes.size(); at += kRequestSize) {
            if (TBytes(bytes.begin() + at, bytes.begin() + at + kRequestSize) == temperatures)
                return true;
        }
        return false;
    };
    ASSERT_TRUE(TScanRig::WaitFor(temperatureSeen));
    EXPECT_GE(TSteady::now() - relayAt, 3950ms);
    rig_.Cycle().StopScanning();

    const TBytes& bytes = arrived.Poll();
    ASSERT_EQ(bytes.size() % kRequestSize, 0u);
    EXPECT_EQ(TBytes(bytes.begin(), bytes.begin() + kRequestSize), RequestFor(1, kFnReadCoils));
}

TEST_F(ScanCycleTest, RelayPassFallingOnTheTemperaturePassIsSkipped) {
    // With a 1 s interval the relay pass at 4 s would collide with the
    // temperature pass armed at 0 s: it is left out, the temperatures go out
    // and the station never shows busy.
    rig_.Settings().ScanInterval = 1000;
    rig_.Cycle().ApplyTimers();
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    TPeerBytes arrived(peer);

    rig_.Cycle().StartScanning();
    rig_.Cycle().ScanTimerTimer();
    const TBytes temperatures = RequestFor(1, kFnReadInputRegs);
    auto requests = [&] {
        std::vector<TBytes> frames;
        const TBytes& bytes = arrived.Poll();
        for (size_t at = 0; at + kRequestSize <= bytes.size(); at += kRequestSize) {
            frames.emplace_back(bytes.begin() + at, bytes.begin() + at + kRequestSize);
        }
        return frames;
    };
    ASSERT_TRUE(TScanRig::WaitFor([&] {
        auto frames = requests();
        return !frames.empty() && frames.back() == temperatures;
    }));
    rig_.Cycle().StopScanning();
    EXPECT_NE(station.State, kStatePortBusy);
    const std::vector<TBytes> frames = requests();
    ASSERT_GE(frames.size(), 2u);
    // Relay passes at 0, 1, 2 and 3 s (fewer when the machine is slow), none
    // at 4 s, then the temperatures.
    EXPECT_LE(frames.size(), 5u);
    for (size_t i = 0; i + 1 < frames.size(); ++i) {
        EXPECT_EQ(frames[i], RequestFor(1, kFnReadCoils)) << i;
    }
}

TEST_F(ScanCycleTest, StartScanningRunsNoPassAtOnceAndApplyingTimersKeepsWhetherItRuns) {
    TPtyPair& peer = rig_.Peer(1);
    rig_.AddStation(1, 1);
    EXPECT_FALSE(rig_.Cycle().IsScanning());
    EXPECT_EQ(rig_.Cycle().ScanInterval(), TScanRig::kLongScanInterval);

    rig_.Settings().ScanInterval = 30000;
    rig_.Cycle().ApplyTimers();
    EXPECT_FALSE(rig_.Cycle().IsScanning());
    EXPECT_EQ(rig_.Cycle().ScanInterval(), 30000);

    rig_.Cycle().StartScanning();
    rig_.Settings().ScanInterval = 45000;
    rig_.Cycle().ApplyTimers();
    EXPECT_TRUE(rig_.Cycle().IsScanning());
    EXPECT_EQ(rig_.Cycle().ScanInterval(), 45000);

    QTest::qWait(500);
    EXPECT_TRUE(StaysQuiet(peer, 0ms));
    EXPECT_TRUE(rig_.View().StatesShown.empty());
    EXPECT_FALSE(rig_.Cycle().IsTemperaturePassArmed());
}

TEST_F(ScanCycleTest, PortStillWritingIsBusyAndGetsNoNewRequest) {
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    rig_.View().Selected = &station;
    // Output of the line stopped, as a far end's flow control would: the
    // writer cannot drain what it holds.
    const int line = ::open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(line, 0);
    ASSERT_EQ(::tcflow(line, TCOOFF), 0);
    const TBytes held = {0xAA, 0x55};
    ASSERT_TRUE(station.Port->SendData(held.data(), static_cast<uint16_t>(held.size())));
    ASSERT_FALSE(station.Port->SendIdle());

    Pass();
    EXPECT_EQ(station.State, kStatePortBusy);
    EXPECT_EQ(rig_.View().States(), std::vector<uint8_t>{kStatePortBusy});

    ASSERT_EQ(::tcflow(line, TCOON), 0);
    EXPECT_EQ(peer.Read(held.size()), held);
    EXPECT_TRUE(StaysQuiet(peer));
    ::close(line);

    // Busy stations are still polled.
    ASSERT_TRUE(TScanRig::WaitFor([&] { return station.Port->SendIdle(); }));
    Pass();
    EXPECT_EQ(peer.Read(kRequestSize), RequestFor(1, kFnReadInputRegs));
    EXPECT_EQ(station.State, kStatePortBusy);
}

TEST_F(ScanCycleTest, SkippedStatesGetNoRequestButTheSelectedOnesTextIsShownEveryPass) {
    const uint8_t skipped[] = {kStateAbsent, kStateOpenError, kStateWriteError,
                               kStateManualDisconnect};
    std::vector<TPtyPair*> peers;
    std::vector<TStationState*> stations;
    for (uint8_t n = 0; n < 4; ++n) {
        peers.push_back(&rig_.Peer(n + 1));
        stations.push_back(&rig_.AddStation(n + 1, n + 1));
        stations.back()->State = skipped[n];
    }
    TPtyPair& polledPeer = rig_.Peer(5);
    TStationState& polled = rig_.AddStation(5, 5);

    for (size_t n = 0; n < stations.size(); ++n) {
        rig_.View().Selected = stations[n];
        rig_.View().StatesShown.clear();
        Pass();
        ExpectRequest(polledPeer, polled, kFnReadInputRegs);
        // Only the selected station's state reaches the status bar.
        EXPECT_EQ(rig_.View().States(), std::vector<uint8_t>{skipped[n]});
        EXPECT_EQ(stations[n]->State, skipped[n]);
    }
    for (TPtyPair* peer : peers) EXPECT_TRUE(StaysQuiet(*peer, 100ms));
    EXPECT_EQ(polled.State, kStateDisconnected);
}

TEST_F(ScanCycleTest, ConnectingStationWhosePortIsNotOpenTurnsBusy) {
    // A station in state 1 whose port is not open (the reconnect command
    // itself reopens the port first; this pins the pass's own rule) gets
    // "busy": SendData on a closed port returns False.
    TStationState& station = rig_.AddStation(9, 9);
    ASSERT_EQ(station.State, kStateOpenError);
    rig_.View().Selected = &station;

    Pass();
    EXPECT_EQ(station.State, kStateOpenError);
    station.State = kStateConnecting;
    EXPECT_TRUE(IsPolledState(station.State));
    Pass();
    EXPECT_EQ(station.State, kStatePortBusy);
    Pass();
    EXPECT_EQ(rig_.View().States(),
              (std::vector<uint8_t>{kStateOpenError, kStatePortBusy, kStatePortBusy}));
}

TEST_F(ScanCycleTest, RequestThatRaisesSetsWriteErrorAndTheStationIsSkippedAfterwards) {
    TPtyPair& peer = rig_.Peer(1);
    TStationState& broken = rig_.AddStation(1, 1);
    broken.ClosePortQuietly();  // no component at all: handing over raises
    TPtyPair& nextPeer = rig_.Peer(2);
    TStationState& next = rig_.AddStation(2, 2);
    rig_.View().Selected = &broken;

    Pass();
    EXPECT_EQ(broken.State, kStateWriteError);
    ExpectRequest(nextPeer, next, kFnReadInputRegs);  // the pass went on
    Pass();
    EXPECT_EQ(rig_.View().States(), (std::vector<uint8_t>{kStateWriteError, kStateWriteError}));
    EXPECT_TRUE(StaysQuiet(peer, 100ms));
}

// --- The offline rule -------------------------------------------------------

// The wall clock set back an hour, then forward a day, while real time goes
// on at one minute a pass: the silent station goes absent after exactly its
// limit of real silence, the answering one never, and the samples keep the
// wall clock's dates.
TEST_F(ScanCycleTest, TheOfflineRuleCountsRealTimeWhateverTheWallClockDoes) {
    TDateTime wall = kT0;
    rig_.Cycle().SetClock([&wall] { return wall; });
    rig_.Cycle().SetOfflineClock([this] { return now_; });
    rig_.Settings().MaxOLTimer = 5 * 60000;
    TPtyPair& answeringPeer = rig_.Peer(1);
    TPtyPair& silentPeer = rig_.Peer(2);
    TStationState& answering = rig_.AddStation(1, 1);
    TStationState& silent = rig_.AddStation(2, 2);
    rig_.CountChunks(answering);

    const int64_t wallJump[] = {0, -3600000, 0, kMSecsPerDay, 0, 0};
    for (int minute = 1; minute <= 6; ++minute) {
        now_ = PlusMs(now_, 60000);
        wall = PlusMs(wall, 60000 + wallJump[minute - 1]);
        Pass();
        ExpectRequest(answeringPeer, answering, kFnReadInputRegs);
        ASSERT_TRUE(rig_.Deliver(answering, RegsReply(1, 65, 66, 67, 0)));
        EXPECT_EQ(answering.State, kStateConnected) << "minute " << minute;
        if (minute <= 5) {
            ExpectRequest(silentPeer, silent, kFnReadInputRegs);
            EXPECT_NE(silent.State, kStateAbsent) << "minute " << minute;
        }
    }
    EXPECT_EQ(silent.State, kStateAbsent);
    // The samples carry the wall clock's time, jumps and all.
    ASSERT_NE(answering.HistoryMgr, nullptr);
    std::vector<TTmpReading> samples;
    answering.HistoryMgr->ListRecords(samples);
    ASSERT_EQ(samples.size(), 6u);
    const double kMs = 1.0 / kMSecsPerDay;
    EXPECT_NEAR(samples[1].DateTime, PlusMs(kT0, 2 * 60000 - 3600000), kMs);
    EXPECT_NEAR(samples[3].DateTime, PlusMs(kT0, 4 * 60000 - 3600000 + kMSecsPerDay), kMs);
}

TEST_F(ScanCycleTest, AnsweringStationIsNeverAbsentWhileASilentOneIsOnceItsTimeIsUp) {
    UseClock();
    rig_.Settings().MaxOLTimer = 5 * 60000;
    TPtyPair& answeringPeer = rig_.Peer(1);
    TPtyPair& silentPeer = rig_.Peer(2);
    TStationState& answering = rig_.AddStation(1, 1);
    TStationState& silent = rig_.AddStation(2, 2);
    answering.RefTime = silent.RefTime = kT0;
    rig_.CountChunks(answering);

    // Passes every 3 minutes; only the first station answers each.
    for (int pass = 0; pass < 3; ++pass) {
        now_ = PlusMs(kT0, pass * 3 * 60000);
        Pass();
        ExpectRequest(answeringPeer, answering, kFnReadInputRegs);
        ExpectRequest(silentPeer, silent, kFnReadInputRegs);
        ASSERT_TRUE(rig_.Deliver(answering, RegsReply(1, 0, 0, 0, 0)));
        EXPECT_EQ(answering.RefTime, now_);
        EXPECT_EQ(answering.State, kStateConnected);
    }
    // 6 minutes without a reply: absent, counted from now on.
    EXPECT_EQ(silent.State, kStateAbsent);
    EXPECT_EQ(silent.RefTime, now_);

    now_ = PlusMs(now_, 3 * 60000);
    Pass();
    ExpectRequest(answeringPeer, answering, kFnReadInputRegs);
    EXPECT_EQ(answering.State, kStateConnected);
    EXPECT_TRUE(StaysQuiet(silentPeer));
}

// A controller off for longer than the limit (a power cut at night) and then
// back: with AutoReconnect every 10th scan cycle's relay pass asks it once,
// its answer brings it back, and its samples are stored again. Without
// AutoReconnect it is never asked.
TEST_F(ScanCycleTest, AnAbsentStationIsAskedEveryTenthCycleAndRecordedOnceItAnswers) {
    UseClock();
    rig_.Settings().MaxOLTimer = 60000;
    rig_.Settings().AutoReconnect = true;
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    station.RefTime = kT0;
    rig_.CountChunks(station);
    const auto relayPass = [&] {
        now_ = PlusMs(now_, 60000);
        rig_.Cycle().ScanTimerTimer();
    };

    // Cycles 1 and 2: asked, silent; absent after the second.
    relayPass();
    ExpectRequest(peer, station, kFnReadCoils);
    relayPass();
    ExpectRequest(peer, station, kFnReadCoils);
    ASSERT_EQ(station.State, kStateAbsent);
    // Cycles 3 to 9: not asked. Cycle 10: asked once, still absent.
    for (int cycle = 3; cycle <= 9; ++cycle) relayPass();
    EXPECT_TRUE(StaysQuiet(peer, 100ms));
    relayPass();
    ExpectRequest(peer, station, kFnReadCoils);
    EXPECT_EQ(station.State, kStateAbsent);
    // Cycle 20: asked again, and this time it answers.
    for (int cycle = 11; cycle <= 19; ++cycle) relayPass();
    EXPECT_TRUE(StaysQuiet(peer, 100ms));
    relayPass();
    ExpectRequest(peer, station, kFnReadCoils);
    ASSERT_TRUE(rig_.Deliver(station, CoilsReply(1, 0x02)));
    EXPECT_EQ(station.State, kStateConnected);
    // Polled as before: the temperature pass asks and the sample is stored.
    Pass();
    ExpectRequest(peer, station, kFnReadInputRegs);
    ASSERT_TRUE(rig_.Deliver(station, RegsReply(1, 65, 66, 67, 0)));
    ASSERT_NE(station.HistoryMgr, nullptr);
    EXPECT_EQ(station.HistoryMgr->RecordCount(), 1);

    // Switched off: an absent station is never asked.
    rig_.Settings().AutoReconnect = false;
    now_ = PlusMs(now_, 10 * 60000);
    relayPass();
    ExpectRequest(peer, station, kFnReadCoils);
    ASSERT_EQ(station.State, kStateAbsent);
    for (int cycle = 0; cycle < 25; ++cycle) relayPass();
    EXPECT_TRUE(StaysQuiet(peer, 100ms));
    rig_.Cycle().StopScanning();
}

TEST_F(ScanCycleTest, OfflineRuleUsesTheRealElapsedTimeAfterEveryRequestAttempt) {
    UseClock();
    const int32_t limit = 5 * 60000;
    rig_.Settings().MaxOLTimer = limit;
    rig_.Peer(1);
    rig_.Peer(4);
    TStationState& atLimit = rig_.AddStation(1, 1);
    TStationState& dayLater = rig_.AddStation(2, 9);  // never opened, reconnected: busy
    TStationState& erring = rig_.AddStation(3, 9);
    TStationState& manual = rig_.AddStation(4, 4);
    dayLater.State = kStateConnecting;
    erring.State = kStateConnecting;
    erring.ClosePortQuietly();
    manual.State = kStateManualDisconnect;

    atLimit.RefTime = PlusMs(kT0, -limit);
    // A day and a minute ago: far past the limit, although the time of day
    // differs by one minute only.
    dayLater.RefTime = PlusMs(kT0, -(kMSecsPerDay + 60000));
    erring.RefTime = PlusMs(kT0, -(limit + 1));
    manual.RefTime = PlusMs(kT0, -kMSecsPerDay);
    const TDateTime manualRef = manual.RefTime;

    Pass();
    EXPECT_EQ(atLimit.State, kStateDisconnected);  // exactly the limit is not past it
    EXPECT_EQ(dayLater.State, kStateAbsent);
    EXPECT_EQ(dayLater.RefTime, kT0);
    EXPECT_EQ(erring.State, kStateAbsent);            // after its error, in the same pass
    EXPECT_EQ(manual.State, kStateManualDisconnect);  // skipped: the rule does not run
    EXPECT_EQ(manual.RefTime, manualRef);

    ASSERT_TRUE(TScanRig::WaitFor([&] { return atLimit.Port->SendIdle(); }));
    now_ = PlusMs(kT0, 1);
    Pass();
    EXPECT_EQ(atLimit.State, kStateAbsent);
    EXPECT_EQ(atLimit.RefTime, now_);
}

// --- Replies ----------------------------------------------------------------

TEST_F(ScanCycleTest, AcceptedRelayReplyConnectsFromAnyStateAndKeepsTheWholeCoilByte) {
    UseClock();
    rig_.Peer(1);
    rig_.Peer(2);
    TStationState& selected = rig_.AddStation(1, 1);
    TStationState& other = rig_.AddStation(2, 2);
    selected.State = kStateManualDisconnect;
    other.State = kStateAbsent;
    rig_.CountChunks(selected);
    rig_.CountChunks(other);
    rig_.View().Selected = &selected;

    ASSERT_TRUE(rig_.Deliver(selected, CoilsReply(1, 0xF5)));
    EXPECT_EQ(selected.State, kStateConnected);
    EXPECT_EQ(selected.RelayFlags, 0xF5);
    EXPECT_EQ(selected.RefTime, kT0);
    EXPECT_EQ(rig_.View().Refreshed, std::vector<TStationState*>{&selected});
    EXPECT_EQ(rig_.View().LiveViews, 1);

    ASSERT_TRUE(rig_.Deliver(other, CoilsReply(2, 0x0A)));
    EXPECT_EQ(other.State, kStateConnected);
    EXPECT_EQ(other.RelayFlags, 0x0A);
    EXPECT_EQ(rig_.View().LiveViews, 1);  // not selected: nothing refreshed
}

TEST_F(ScanCycleTest, TemperatureReplyWithAnotherSlaveAddressIsAcceptedOnItsPort) {
    rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    rig_.CountChunks(station);
    rig_.View().Selected = &station;

    ASSERT_TRUE(rig_.Deliver(station, RegsReply(0x63, 65, 66, 67, 0)));
    EXPECT_EQ(station.State, kStateConnected);
    EXPECT_EQ(station.RawTemp, (std::array<uint16_t, 4>{65, 66, 67, 0}));
    EXPECT_EQ(rig_.View().LiveViews, 1);
    EXPECT_TRUE(rig_.View().Errors.empty());
}

TEST_F(ScanCycleTest, ReplySplitOverTwoChunksIsNotAccepted) {
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    rig_.CountChunks(station);
    const TBytes reply = RegsReply(1, 65, 66, 67, 68);

    ASSERT_TRUE(rig_.Deliver(station, TBytes(reply.begin(), reply.begin() + 6)));
    ASSERT_TRUE(rig_.Deliver(station, TBytes(reply.begin() + 6, reply.end())));
    EXPECT_EQ(rig_.Chunks(station), 2);
    EXPECT_EQ(station.State, kStateDisconnected);
    EXPECT_EQ(station.RawTemp, (std::array<uint16_t, 4>{}));
    EXPECT_TRUE(StaysQuiet(peer, 0ms));
    EXPECT_FALSE(fs::exists(rig_.Dir() + "/data/1"));
}

TEST_F(ScanCycleTest, AllZeroRegistersConnectButStoreNoSample) {
    rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    station.RawTemp = {65, 66, 67, 0};
    rig_.CountChunks(station);
    rig_.View().Selected = &station;

    ASSERT_TRUE(rig_.Deliver(station, RegsReply(1, 0, 0, 0, 0)));
    EXPECT_EQ(station.State, kStateConnected);
    EXPECT_EQ(station.RawTemp, (std::array<uint16_t, 4>{0, 0, 0, 0}));
    EXPECT_EQ(station.HistoryMgr, nullptr);
    EXPECT_FALSE(fs::exists(rig_.Dir() + "/data"));
    EXPECT_EQ(rig_.View().LiveViews, 1);
}

TEST_F(ScanCycleTest, ChunksThatAreNoAcceptableReplyChangeNothing) {
    rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    station.RelayFlags = 0x02;
    station.RawTemp = {65, 66, 67, 0};
    rig_.CountChunks(station);
    rig_.View().Selected = &station;

    TBytes badCrc = RegsReply(1, 70, 71, 72, 0);
    badCrc.back() ^= 0x01;
    const TBytes coils = CoilsReply(1, 0x0F);
    const std::vector<TBytes> chunks = {
        badCrc,
        WithCrc({1, 0x84, 0x02}),  // exception reply, right CRC
        WithCrc({1, 0x81, 0x01}),
        WithCrc({1, 0x03, 8, 0, 1, 0, 2, 0, 3, 0, 4}),  // a function never asked for
        TBytes(coils.begin(), coils.begin() + 5),       // one byte short
        {0x01},
    };
    for (const TBytes& chunk : chunks) ASSERT_TRUE(rig_.Deliver(station, chunk));
    EXPECT_EQ(station.State, kStateDisconnected);
    EXPECT_EQ(station.RelayFlags, 0x02);
    EXPECT_EQ(station.RawTemp, (std::array<uint16_t, 4>{65, 66, 67, 0}));
    EXPECT_EQ(rig_.View().LiveViews, 0);
    EXPECT_TRUE(rig_.View().Refreshed.empty());
}

TEST_F(ScanCycleTest, ChunkFromAPortOfNoStationIsIgnored) {
    rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    rig_.View().Selected = &station;
    TComm stranger;
    const TBytes reply = CoilsReply(1, 0x0F);

    rig_.Cycle().ReceiveData(&stranger, reply.data(), static_cast<uint16_t>(reply.size()));
    rig_.Cycle().ReceiveData(nullptr, reply.data(), static_cast<uint16_t>(reply.size()));
    EXPECT_EQ(station.State, kStateDisconnected);
    EXPECT_EQ(rig_.View().LiveViews, 0);
}

TEST_F(ScanCycleTest, ReplyBytesThatAreXonAndXoffArriveWhole) {
    TPtyPair& peer = rig_.Peer(1);
    TStationState& station = rig_.AddStation(1, 1);
    rig_.CountChunks(station);
    EXPECT_FALSE(station.Port->Outx_XonXoffFlow());
    EXPECT_FALSE(station.Port->Inx_XonXoffFlow());

    const TBytes reply = RegsReply(0x11, 0x1311, 0x1113, 0x0011, 0x0013);
    ASSERT_TRUE(rig_.Deliver(station, reply));
    EXPECT_EQ(station.State, kStateConnected);
    EXPECT_EQ(station.RawTemp, (std::array<uint16_t, 4>{0x1311, 0x1113, 0x0011, 0x0013}));

    // Replies still flow after a 0x13 went by: nothing holds the line.
    ASSERT_TRUE(rig_.Deliver(station, CoilsReply(0x13, 0x13)));
    EXPECT_EQ(station.RelayFlags, 0x13);
    Pass();
    EXPECT_EQ(peer.Read(kRequestSize), RequestFor(1, kFnReadInputRegs));
}

TEST_F(ScanCycleTest, WithTheComponentsOwnFlowControlTheSameReplyLosesBytes) {
    // Why station ports switch XON/XOFF off: with the initial values the line
    // takes 0x11 and 0x13 as flow control and the reply arrives cut.
    TPtyPair peer;
    TComm port;  // initial values: XON/XOFF on in both directions
    ASSERT_TRUE(port.Outx_XonXoffFlow() && port.Inx_XonXoffFlow());
    port.SetCommName(peer.SlavePath());
    TBytes received;
    port.OnReceiveData = [&](TComm*, const uint8_t* buffer, uint16_t length) {
        received.insert(received.end(), buffer, buffer + length);
    };
    port.OpenPort();
    const TBytes reply = RegsReply(0x11, 0x1311, 0x1113, 0x0011, 0x0013);
    const TBytes marker = {0x55};
    ASSERT_TRUE(peer.Write(reply));
    ASSERT_TRUE(peer.Write(marker));
    ASSERT_TRUE(TScanRig::WaitFor([&] { return !received.empty() && received.back() == 0x55; }));
    port.ClosePort();
    received.pop_back();
    EXPECT_LT(received.size(), reply.size());
    EXPECT_FALSE(DecodeReply(received.data(), received.size()).Accepted);
}

}  // namespace
