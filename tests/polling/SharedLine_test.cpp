// Several controllers on one line: requests take turns, replies are cut from
// whatever chunks arrive and matched to the request they answer, and each
// station keeps its own state, samples and counters. Over ptys (scripted far
// ends and tcsim) and loopback TCP.

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>

#include "ScanRig.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// The next request the station sends on `line`, read while the event loop
// runs (the line's timer sends it); empty when none comes.
TBytes NextRequest(const TPtyPair& line, std::chrono::milliseconds limit = kPatience) {
    TBytes bytes;
    TScanRig::WaitFor(
        [&] {
            const TBytes got = line.Read(kRequestSize - bytes.size(), 2ms);
            bytes.insert(bytes.end(), got.begin(), got.end());
            return bytes.size() >= kRequestSize;
        },
        limit);
    return bytes;
}

// True when nothing is sent on `line` for `time`, the event loop running.
bool QuietFor(const TPtyPair& line, std::chrono::milliseconds time) {
    return !TScanRig::WaitFor([&] { return !line.Read(1, 2ms).empty(); }, time);
}

std::vector<TTmpReading> StoredSamples(const std::string& fileName) {
    THisInfoDbMgr manager(fileName, false);
    std::vector<TTmpReading> samples;
    for (int32_t position = 0; position < manager.RecordCount(); ++position) {
        std::optional<TTmpReading> item;
        manager.GetRecord(position, item);
        if (item) samples.push_back(*item);
    }
    return samples;
}

uint16_t Word(const TBytes& bytes, size_t at) {
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::array<uint16_t, 4> Raw(uint16_t a, uint16_t b, uint16_t c, uint16_t iron) {
    return {a, b, c, iron};
}

// The station has nothing queued or outstanding on its line.
bool LineIdle(const TStationState& station) {
    const TStationLine* line = station.Link;
    return line != nullptr && line->Exchange.QueuedCount() == 0 && !line->Exchange.HasOutstanding();
}

class SharedLineTest : public testing::Test {
  protected:
    std::string HistoryFile(uint8_t address) const {
        return HistoryFileName(rig_.Dir() + "/", address);
    }

    TScanRig rig_;
};

}  // namespace

// One line, three controllers, a script on the far end: one request at a
// time, a reply in two chunks, a silent controller whose late reply comes
// while the next one is asked, an exception, and a pass that comes too soon.
TEST_F(SharedLineTest, RequestsTakeTurnsAndEveryReplyGoesToTheRequestItAnswers) {
    rig_.Settings().ReplyTimeout = 400;
    TPtyPair& line = rig_.Peer(1);
    TStationState& one = rig_.AddRosterStation(1, 1);
    TStationState& two = rig_.AddRosterStation(2, 1);
    TStationState& three = rig_.AddRosterStation(3, 1);
    ASSERT_EQ(one.Port, three.Port);
    ASSERT_TRUE(one.Port->IsOpen());

    rig_.Cycle().ScanTimer2Timer();
    EXPECT_EQ(NextRequest(line), RequestFor(1, kFnReadInputRegs));
    // A second pass while the first is queued adds nothing: busy.
    rig_.Cycle().ScanTimer2Timer();
    EXPECT_EQ(two.State, kStatePortBusy);
    EXPECT_EQ(three.State, kStatePortBusy);
    EXPECT_TRUE(QuietFor(line, 150ms));

    // Half a reply: still nothing goes out; the rest completes it.
    const TBytes reply = RegsReply(1, 71, 72, 73, 0);
    ASSERT_TRUE(line.Write(TBytes(reply.begin(), reply.begin() + 5)));
    EXPECT_TRUE(QuietFor(line, 150ms));
    ASSERT_TRUE(line.Write(TBytes(reply.begin() + 5, reply.end())));
    EXPECT_EQ(NextRequest(line), RequestFor(2, kFnReadInputRegs));
    EXPECT_EQ(one.State, kStateConnected);
    EXPECT_EQ(one.RawTemp, Raw(71, 72, 73, 0));

    // Two stays silent for its time-out, then three is asked; two's reply
    // arriving now is dropped, never taken for three.
    const auto asked = TSteady::now();
    EXPECT_EQ(NextRequest(line), RequestFor(3, kFnReadInputRegs));
    EXPECT_GE(TSteady::now() - asked, 300ms);
    ASSERT_TRUE(line.Write(RegsReply(2, 91, 92, 93, 0)));
    ASSERT_TRUE(line.Write(WithCrc({3, 0x84, 4})));
    ASSERT_TRUE(TScanRig::WaitFor([&] { return three.Line.Stats().Exceptions == 1; }));

    EXPECT_EQ(two.RawTemp, Raw(0, 0, 0, 0));
    EXPECT_EQ(three.RawTemp, Raw(0, 0, 0, 0));
    EXPECT_NE(two.State, kStateConnected);
    EXPECT_NE(three.State, kStateConnected);
    EXPECT_EQ(two.Line.Stats().TimeOuts, 1u);
    EXPECT_EQ(two.Line.Stats().Replies, 0u);
    EXPECT_EQ(three.Line.Stats().BytesDropped, reply.size());
    EXPECT_EQ(one.Line.Stats().Replies, 1u);
    // The line's monitor shows every frame, the station's its own.
    EXPECT_EQ(LineMonitorOf(two).FrameCount(), 6u);
    EXPECT_EQ(two.Line.FrameCount(), 1u);

    // Only one stored a sample; the line sent nothing more.
    ASSERT_TRUE(TScanRig::WaitFor([&] { return LineIdle(one); }));
    EXPECT_TRUE(QuietFor(line, 100ms));
    one.HistoryMgr.reset();
    EXPECT_EQ(StoredSamples(HistoryFile(1)).size(), 1u);
    EXPECT_FALSE(fs::exists(HistoryFile(2)));
    EXPECT_FALSE(fs::exists(HistoryFile(3)));
}

// Six controllers of every kind on one tcsim line: each answering station
// stores its own samples with the values served to it, the others none.
TEST_F(SharedLineTest, SixControllersOnOneLineEachStoreTheirOwnSamples) {
    constexpr int kCycles = 2;
    rig_.Settings().ReplyTimeout = 250;
    TSimProcess sim({"--dir", rig_.Dir(), "--seed", "5", "--late-ms", "400", "COM1:1",
                     "COM1:2:silent", "COM1:3:badcrc", "COM1:4:late", "COM1:5:exception",
                     "COM1:6:hot"});
    ASSERT_TRUE(sim.WaitReady());
    std::vector<TStationState*> stations;
    for (uint8_t address = 1; address <= 6; ++address) {
        stations.push_back(&rig_.AddRosterStation(address, 1));
    }
    TStationState& first = *stations[0];

    for (int cycle = 0; cycle < kCycles; ++cycle) {
        rig_.Cycle().ScanTimerTimer();
        // The temperature pass comes while relay requests still wait: it
        // queues behind them.
        rig_.Cycle().ScanTimer2Timer();
        ASSERT_TRUE(TScanRig::WaitFor([&] { return LineIdle(first); }));
    }
    EXPECT_TRUE(rig_.View().Errors.empty());

    // tcsim's replies, in the order it sent them, per address.
    const auto servedTo = [&](uint8_t address) {
        std::vector<TBytes> replies;
        const std::string prefix = "COM1 addr=" + std::to_string(address) + " ";
        for (const std::string& line : sim.Lines()) {
            if (!StartsWith(line, prefix)) continue;
            if (auto bytes = ReplyOfLine(line)) replies.push_back(*bytes);
        }
        return replies;
    };
    for (TStationState* station : {stations[0], stations[5]}) {
        SCOPED_TRACE(static_cast<int>(station->Address));
        station->HistoryMgr.reset();
        // Every reply tcsim printed for the address (relays, temperatures).
        while (servedTo(station->Address).size() < 2 * kCycles) {
            ASSERT_TRUE(sim.NextLine());
        }
        std::vector<TTmpReading> expected;
        uint8_t coils = 0;
        for (const TBytes& reply : servedTo(station->Address)) {
            if (reply[1] == kFnReadCoils) {
                coils = reply[kCoilByteOffset];
                continue;
            }
            TTmpReading sample;
            sample.APhaseTmp = Word(reply, 3);
            sample.BPhaseTmp = Word(reply, 5);
            sample.CPhaseTmp = Word(reply, 7);
            sample.IronTmp = Word(reply, 9);
            sample.RelayFlags = coils;
            expected.push_back(sample);
        }
        const std::vector<TTmpReading> samples = StoredSamples(HistoryFile(station->Address));
        ASSERT_EQ(samples.size(), static_cast<size_t>(kCycles));
        ASSERT_EQ(expected.size(), samples.size());
        for (size_t n = 0; n < samples.size(); ++n) {
            EXPECT_EQ(samples[n].TmpAddr, station->Address);
            EXPECT_EQ(samples[n].APhaseTmp, expected[n].APhaseTmp);
            EXPECT_EQ(samples[n].BPhaseTmp, expected[n].BPhaseTmp);
            EXPECT_EQ(samples[n].IronTmp, expected[n].IronTmp);
            EXPECT_EQ(samples[n].RelayFlags, expected[n].RelayFlags);
        }
        EXPECT_EQ(station->State, kStateConnected);
    }
    for (size_t i = 1; i <= 4; ++i) {
        SCOPED_TRACE(i + 1);
        EXPECT_FALSE(fs::exists(HistoryFile(static_cast<uint8_t>(i + 1))));
        EXPECT_NE(stations[i]->State, kStateConnected);
    }
    const uint64_t requests = 2 * kCycles;
    EXPECT_EQ(stations[1]->Line.Stats().TimeOuts, requests);
    EXPECT_EQ(stations[2]->Line.Stats().CrcErrors, requests);
    EXPECT_EQ(stations[3]->Line.Stats().TimeOuts, requests);
    EXPECT_EQ(stations[3]->Line.Stats().Replies, 0u);
    EXPECT_EQ(stations[4]->Line.Stats().Exceptions, requests);
    for (TStationState* station : stations) EXPECT_EQ(station->Line.Stats().Requests, requests);
}

// Deleting stations of a line: the others stay polled on the open line, and
// the last one left has the port to itself again.
TEST_F(SharedLineTest, StationsLeavingALineKeepTheOthersPolled) {
    rig_.Settings().ReplyTimeout = 300;
    TPtyPair& line = rig_.Peer(1);
    TStationState& one = rig_.AddRosterStation(1, 1);
    TStationState& two = rig_.AddRosterStation(2, 1);
    TStationState& three = rig_.AddRosterStation(3, 1);
    rig_.RemoveRosterStation(two);
    ASSERT_TRUE(one.Port->IsOpen());
    ASSERT_TRUE(one.Link->IsShared());

    rig_.Cycle().ScanTimerTimer();
    EXPECT_EQ(NextRequest(line), RequestFor(1, kFnReadCoils));
    ASSERT_TRUE(line.Write(CoilsReply(1, 0x02)));
    EXPECT_EQ(NextRequest(line), RequestFor(3, kFnReadCoils));
    ASSERT_TRUE(line.Write(CoilsReply(3, 0x02)));
    ASSERT_TRUE(TScanRig::WaitFor([&] { return three.State == kStateConnected; }));

    rig_.RemoveRosterStation(three);
    EXPECT_FALSE(one.Link->IsShared());
    EXPECT_TRUE(one.Port->IsOpen());
    EXPECT_EQ(rig_.Roster().Lines().size(), 1u);
    rig_.Cycle().ScanTimer2Timer();
    EXPECT_EQ(NextRequest(line), RequestFor(1, kFnReadInputRegs));
    rig_.RemoveRosterStation(one);
    EXPECT_TRUE(rig_.Roster().Lines().empty());
}

// A serial server with two controllers behind it goes away and comes back
// on the same TCP port: both stations show the line down, then are polled
// and answer again, over one connection.
TEST_F(SharedLineTest, ATcpLineClosedByTheServerIsOpenedAgainForAllItsStations) {
    rig_.Settings().ReplyTimeout = 300;
    auto server = std::make_unique<TSimProcess>(
        std::vector<std::string>{"--dir", rig_.Dir(), "tcp:0:1", "tcp:0:2"});
    const std::optional<std::string> ready = server->WaitReady();
    ASSERT_TRUE(ready);
    const size_t at = ready->find("tcp:0=");
    ASSERT_NE(at, std::string::npos);
    const std::string port = ready->substr(at + 6, ready->find(' ', at) - at - 6);
    rig_.LinkPort(1, "tcp:127.0.0.1:" + port);
    TStationState& one = rig_.AddRosterStation(1, 1);
    TStationState& two = rig_.AddRosterStation(2, 1);
    ASSERT_TRUE(one.Port->IsNetworkLine());
    one.Port->SetReconnectDelays({50ms, 50ms});

    const auto bothAnswer = [&] {
        rig_.Cycle().ScanTimerTimer();
        return TScanRig::WaitFor([&] { return LineIdle(one) && one.State == 0 && two.State == 0; });
    };
    ASSERT_TRUE(bothAnswer());

    server->Signal(SIGKILL);
    server->WaitExit();
    server.reset();
    ASSERT_TRUE(TScanRig::WaitFor([&] { return !one.Port->IsConnected(); }));
    rig_.Cycle().ScanTimerTimer();
    EXPECT_EQ(one.State, kStateOpenError);
    EXPECT_EQ(two.State, kStateOpenError);

    server = std::make_unique<TSimProcess>(
        std::vector<std::string>{"--dir", rig_.Dir(), "tcp:" + port + ":1", "tcp:" + port + ":2"});
    ASSERT_TRUE(server->WaitReady());
    ASSERT_TRUE(TScanRig::WaitFor([&] { return one.Port->IsConnected(); }));
    EXPECT_TRUE(bothAnswer());
    EXPECT_EQ(one.Line.Stats().Replies, 2u);
    EXPECT_EQ(two.Line.Stats().Replies, 2u);
}

// The adapter of a shared line is pulled out and put back: "重新连接" of one
// station reopens the line for both, and both are polled on it again.
TEST_F(SharedLineTest, AHungUpLineIsReopenedOnceForAllItsStations) {
    rig_.Settings().ReplyTimeout = 300;
    rig_.Peer(1);
    TStationState& one = rig_.AddRosterStation(1, 1);
    TStationState& two = rig_.AddRosterStation(2, 1);
    EXPECT_EQ(rig_.Roster().Find(one.Port.get(), 2), &two);
    EXPECT_EQ(rig_.Roster().Find(one.Port.get(), 3), nullptr);

    TPtyPair& back = rig_.Peer(1);  // the old far end goes: the line hangs up
    ASSERT_TRUE(TScanRig::WaitFor([&] { return !one.Port->WorkersAlive(); }));
    const TComm* line = one.Port.get();
    rig_.Cycle().Reconnect(one);
    EXPECT_EQ(one.Port.get(), line);
    EXPECT_EQ(two.Port.get(), line);
    ASSERT_TRUE(one.Port->WorkersAlive());

    rig_.Cycle().ScanTimerTimer();
    EXPECT_EQ(NextRequest(back), RequestFor(1, kFnReadCoils));
    ASSERT_TRUE(back.Write(CoilsReply(1, 0x02)));
    EXPECT_EQ(NextRequest(back), RequestFor(2, kFnReadCoils));
    ASSERT_TRUE(back.Write(CoilsReply(2, 0x06)));
    ASSERT_TRUE(TScanRig::WaitFor([&] { return two.State == kStateConnected; }));
    EXPECT_EQ(one.State, kStateConnected);
    EXPECT_EQ(two.RelayFlags, 0x06);
}
