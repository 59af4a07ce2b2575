// Faulty lines over pseudo-terminals: one station's far end babbles, floods,
// sends damaged, foreign and half replies, hangs up and comes back, while two
// stations on the controller simulator go on being polled. Nothing crashes,
// no sample is stored that no valid reply carried, memory stays bounded, the
// event loop keeps turning and the other stations record every cycle.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <random>
#include <thread>

#include "StationProcess.h"
#include "polling/ScanRig.h"
#include "polling/TmpProtocol.h"
#include "serial/Comm.h"
#include "serial/CommTypes.h"
#include "store/HisInfoDbMgr.h"

using namespace std::chrono_literals;

namespace {

constexpr uint8_t kFaultyAddr = 2;
constexpr uint8_t kFaultyPort = 2;
// A pause that ends a chunk for sure (the reader's gap is 100 ms).
constexpr auto kChunkPause = 200ms;
// Values of the only valid replies the faulty far end ever sends.
constexpr uint16_t kForeignValues[4] = {1111, 1112, 1113, 7};
// Bounds asserted with room for a loaded machine; the figures are printed.
constexpr long kMaxRssGrowthKb = 96 * 1024;
constexpr int64_t kMaxLoopGapMs = 1000;

// Runs the application's event loop (not a polling wait) until Done holds or
// the limit passes.
bool RunLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) loop.quit();
    });
    check.start(20);
    QTimer::singleShot(static_cast<int>(limit.count()), &loop, &QEventLoop::quit);
    if (!done()) loop.exec();
    return done();
}

// The largest gap between two ticks of a 0 ms timer while it runs.
class TLoopGapMeter {
  public:
    TLoopGapMeter() {
        FTimer.setInterval(0);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            const auto now = TSteady::now();
            if (FLast) FMax = std::max(FMax, now - *FLast);
            FLast = now;
        });
    }
    void Start() { FTimer.start(); }
    void Stop() { FTimer.stop(); }
    int64_t MaxGapMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(FMax).count();
    }

  private:
    QTimer FTimer;
    std::optional<TSteady::time_point> FLast;
    TSteady::duration FMax{};
};

// Something done to a far end on a thread of its own until stopped.
class TFarEndThread {
  public:
    explicit TFarEndThread(std::function<void(const std::atomic<bool>& stop)> body)
        : FThread([this, body] { body(FStop); }) {}
    ~TFarEndThread() { Stop(); }
    TFarEndThread(const TFarEndThread&) = delete;
    TFarEndThread& operator=(const TFarEndThread&) = delete;
    void Stop() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
    }

  private:
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

void Pause(const std::atomic<bool>& stop, std::chrono::milliseconds time) {
    const auto end = TSteady::now() + time;
    while (!stop && TSteady::now() < end) std::this_thread::sleep_for(10ms);
}

std::vector<TTmpReading> Stored(TStationState& station) {
    std::vector<TTmpReading> list;
    if (station.HistoryMgr) station.HistoryMgr->ListRecords(list);
    return list;
}

class LineFaultsTest : public testing::Test {
  protected:
    void SetUp() override {
        Sim = std::make_unique<TSimProcess>(
            std::vector<std::string>{"--dir", Rig.Dir(), "--seed", "5", "COM1:1", "COM3:3"});
        ASSERT_TRUE(Sim->WaitReady());
        Good1 = &Rig.AddStation(1, 1);
        Faulty = &Rig.AddStation(kFaultyAddr, kFaultyPort);
        Good3 = &Rig.AddStation(3, 3);
        Rig.CountChunks(*Faulty);
        // A pass each second; a temperature pass every five.
        Rig.Settings().ScanInterval = 1000;
        Rig.Cycle().ApplyTimers();
        Rig.Cycle().StartScanning();
        Rig.Cycle().ScanTimerTimer();
    }

    TPtyPair& FaultyPeer() { return *FPeer; }

    // Scans until each good station has stored Count more samples.
    bool GoodStationsRecord(size_t count, std::chrono::milliseconds limit = 30s) {
        const size_t one = Stored(*Good1).size() + count;
        const size_t three = Stored(*Good3).size() + count;
        return RunLoopUntil(
            [&] { return Stored(*Good1).size() >= one && Stored(*Good3).size() >= three; }, limit);
    }

    // Stops scanning, lets the last replies land, and compares each good
    // station's samples with every temperature reply tcsim sent it.
    void ExpectGoodStationsStoredEveryReply() {
        Rig.Cycle().StopScanning();
        // The armed temperature pass still runs; then its replies land.
        RunLoopUntil([&] { return !Rig.Cycle().IsTemperaturePassArmed(); }, 10s);
        RunLoopUntil([] { return false; }, 700ms);
        for (const auto& good : {std::pair{Good1, "COM1"}, std::pair{Good3, "COM3"}}) {
            // Plain names: lambdas cannot capture structured bindings before clang 16.
            auto* const station = good.first;
            const char* const port = good.second;
            SCOPED_TRACE(port);
            const std::vector<TTmpReading> samples = Stored(*station);
            std::vector<TBytes> replies;
            auto collect = [&] {
                replies.clear();
                for (const std::string& line : Sim->Lines()) {
                    if (!StartsWith(line, std::string(port) + " addr=")) continue;
                    auto bytes = ReplyOfLine(line);
                    if (bytes && bytes->size() == kRegsReplySize &&
                        (*bytes)[1] == kFnReadInputRegs) {
                        replies.push_back(*bytes);
                    }
                }
            };
            collect();
            while (replies.size() < samples.size() && Sim->NextLine(2s)) collect();
            while (Sim->NextLine(200ms)) collect();
            ASSERT_EQ(samples.size(), replies.size());
            for (size_t n = 0; n < samples.size(); ++n) {
                EXPECT_EQ(samples[n].APhaseTmp, replies[n][3] << 8 | replies[n][4]) << n;
            }
            EXPECT_EQ(station->State, kStateConnected);
        }
    }

    void ExpectOnlyForeignSamplesOnTheFaultyStation(size_t most) {
        const std::vector<TTmpReading> samples = Stored(*Faulty);
        EXPECT_LE(samples.size(), most);
        for (const TTmpReading& s : samples) {
            EXPECT_EQ(s.APhaseTmp, kForeignValues[0]);
            EXPECT_EQ(s.BPhaseTmp, kForeignValues[1]);
            EXPECT_EQ(s.CPhaseTmp, kForeignValues[2]);
            EXPECT_EQ(s.IronTmp, kForeignValues[3]);
        }
    }

    TScanRig Rig;
    TPtyPair* FPeer = &Rig.Peer(kFaultyPort);
    std::unique_ptr<TSimProcess> Sim;
    TStationState* Good1 = nullptr;
    TStationState* Faulty = nullptr;
    TStationState* Good3 = nullptr;
};

}  // namespace

TEST_F(LineFaultsTest, GarbageOfEveryKindStoresNoFalseSampleAndTheOtherStationsRecordOn) {
    std::atomic<int> foreignSent{0};
    TPtyPair& peer = FaultyPeer();
    TFarEndThread babbler([&](const std::atomic<bool>& stop) {
        std::mt19937 random(42);
        std::uniform_int_distribution<int> byte(0, 255);
        const TBytes good = RegsReply(kFaultyAddr, 70, 71, 72, 0);
        TBytes badCrc = good;
        badCrc.back() ^= 0x5A;
        const TBytes exception = WithCrc({kFaultyAddr, 0x84, 0x02});
        const TBytes otherFunction = WithCrc({kFaultyAddr, 0x03, 8, 0, 70, 0, 71, 0, 72, 0, 0});
        // Accepted by the port it came on, whatever its address.
        const TBytes foreign = RegsReply(99, kForeignValues[0], kForeignValues[1],
                                         kForeignValues[2], kForeignValues[3]);
        const TBytes halfFirst(good.begin(), good.begin() + 6);
        const TBytes halfSecond(good.begin() + 6, good.end());
        for (int round = 0; !stop; ++round) {
            TBytes noise(static_cast<size_t>(1 + byte(random) * 3));
            for (uint8_t& b : noise) b = static_cast<uint8_t>(byte(random));
            for (const TBytes* frame : std::initializer_list<const TBytes*>{
                     &noise, &badCrc, &exception, &otherFunction, &halfFirst, &halfSecond}) {
                peer.Write(*frame);
                Pause(stop, kChunkPause);
            }
            if (round % 3 == 0) {
                peer.Write(foreign);
                ++foreignSent;
                Pause(stop, kChunkPause);
            }
        }
    });
    ASSERT_TRUE(GoodStationsRecord(1));
    babbler.Stop();
    EXPECT_GE(Rig.Chunks(*Faulty), 20);
    ExpectGoodStationsStoredEveryReply();
    ExpectOnlyForeignSamplesOnTheFaultyStation(static_cast<size_t>(foreignSent.load()));
    EXPECT_GE(Stored(*Faulty).size(), 1u) << "no foreign reply got through as its own chunk";
}

TEST_F(LineFaultsTest, FloodOfFullChunksKeepsMemoryBoundedAndTheLoopTurning) {
    ASSERT_TRUE(GoodStationsRecord(1));  // warmed up: files open, buffers made
    const long rssBefore = ResidentKb(::getpid());
    std::atomic<long> flooded{0};
    TPtyPair& peer = FaultyPeer();
    long rssMax = rssBefore;
    TLoopGapMeter gaps;
    {
        TFarEndThread flood([&](const std::atomic<bool>& stop) {
            std::mt19937 random(7);
            TBytes chunk(kReadChunk);
            while (!stop) {
                for (uint8_t& b : chunk) b = static_cast<uint8_t>(random());
                if (peer.Write(chunk, 200ms)) flooded += static_cast<long>(chunk.size());
            }
        });
        gaps.Start();
        QTimer rss;
        QObject::connect(&rss, &QTimer::timeout,
                         [&] { rssMax = std::max(rssMax, ResidentKb(::getpid())); });
        rss.start(100);
        EXPECT_TRUE(GoodStationsRecord(1));
        gaps.Stop();
        flood.Stop();
    }
    RunLoopUntil([] { return false; }, 500ms);
    const long rssAfter = ResidentKb(::getpid());
    std::printf(
        "flood: %ld bytes in %d chunks; RSS %ld kB before, %ld kB at most, %ld kB after; "
        "largest event loop gap %lld ms\n",
        flooded.load(), Rig.Chunks(*Faulty), rssBefore, rssMax, rssAfter,
        static_cast<long long>(gaps.MaxGapMs()));
    EXPECT_GT(flooded.load(), 1L << 20);
    EXPECT_LT(rssMax - rssBefore, kMaxRssGrowthKb);
    EXPECT_LT(gaps.MaxGapMs(), kMaxLoopGapMs);
    ExpectGoodStationsStoredEveryReply();
    EXPECT_TRUE(Stored(*Faulty).empty());
}

TEST_F(LineFaultsTest, FarEndThatHangsUpAndComesBackRecordsAgainAfterReconnect) {
    // The far end goes; the station's reader ends with the hang-up.
    TPtyPair& back = Rig.Peer(kFaultyPort);
    ASSERT_TRUE(RunLoopUntil([&] { return !Faulty->Port->WorkersAlive(); }, 10s));
    ASSERT_TRUE(GoodStationsRecord(1));  // the others go on meanwhile

    // A far end that answers every request properly.
    TFarEndThread responder([&](const std::atomic<bool>& stop) {
        while (!stop) {
            const TBytes request = back.Read(kRequestSize, 200ms);
            if (request.size() < kRequestSize) continue;
            back.Write(request[1] == kFnReadCoils ? CoilsReply(kFaultyAddr, 2)
                                                  : RegsReply(kFaultyAddr, 80, 81, 82, 0));
        }
    });
    Rig.Cycle().Reconnect(*Faulty);
    ASSERT_TRUE(Faulty->Port->WorkersAlive());
    ASSERT_TRUE(RunLoopUntil([&] { return !Stored(*Faulty).empty(); }, 30s));
    responder.Stop();
    const std::vector<TTmpReading> samples = Stored(*Faulty);
    EXPECT_EQ(samples.back().APhaseTmp, 80);
    EXPECT_EQ(samples.back().RelayFlags, 2);
    ExpectGoodStationsStoredEveryReply();
}
