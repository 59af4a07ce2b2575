// History files opened on the recorder's opener thread: the reply handler
// returns while an open is held, other stations record meanwhile, the held
// station's samples follow in order once it ends, and a backup, a deletion,
// shut-down or a failure met during an open lose nothing and store nothing
// twice.

#include "polling/HistoryOpener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "ScanRig.h"
#include "polling/BackUp.h"
#include "polling/SampleRecorder.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryDamage.h"
#include "store/Items.h"

namespace fs = std::filesystem;

namespace {

// Holds every open on the opener thread until Release; Reached says an
// open waits in it. A test that never releases does not hang: the gate
// gives way after a limit.
class TOpenGate {
  public:
    std::function<void()> Hook() {
        return [this] {
            std::unique_lock<std::mutex> guard(FLock);
            ++FReached;
            FChanged.notify_all();
            FChanged.wait_for(guard, std::chrono::seconds(30), [this] { return FReleased; });
        };
    }
    bool Reached() {
        std::lock_guard<std::mutex> guard(FLock);
        return FReached > 0;
    }
    void WaitReached() {
        std::unique_lock<std::mutex> guard(FLock);
        FChanged.wait_for(guard, std::chrono::seconds(30), [this] { return FReached > 0; });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(FLock);
        FReleased = true;
        FChanged.notify_all();
    }
    // Releases the gate from another thread once an open waits in it, while
    // this thread blocks in what waits for that open.
    std::thread ReleaseWhenReached() {
        return std::thread([this] {
            WaitReached();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            Release();
        });
    }

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    int FReached = 0;
    bool FReleased = false;
};

std::vector<uint16_t> APhases(const std::string& file) {
    THisInfoDbMgr manager(file, false);
    std::vector<TTmpReading> samples;
    manager.ListRecords(samples);
    std::vector<uint16_t> values;
    for (const TTmpReading& sample : samples) values.push_back(sample.APhaseTmp);
    return values;
}

class HistoryOpenerTest : public testing::Test {
  protected:
    HistoryOpenerTest() {
        Rig.Peer(1);
        Rig.Peer(2);
        Held = &Rig.AddStation(9, 1);
        Other = &Rig.AddStation(10, 2);
    }
    std::string File(uint8_t address) const {
        return Rig.Dir() + "/data/" + std::to_string(address) + "/HistoryData.dt";
    }
    // One temperature reply handled by the cycle, as its port delivers it.
    void Reply(TStationState& station, uint16_t a) {
        const TBytes bytes = RegsReply(station.Address, a, 66, 67, 0);
        Rig.Cycle().ReceiveData(station.Port.get(), bytes.data(),
                                static_cast<uint16_t>(bytes.size()));
    }
    bool WaitOpened(TStationState& station) {
        return TScanRig::WaitFor([&] { return !TSampleRecorder::AwaitsOpen(station); });
    }
    void HoldOpens() { Rig.Recorder().SetOpenGateForTest(Gate.Hook()); }

    TScanRig Rig;
    TOpenGate Gate;
    TStationState* Held = nullptr;
    TStationState* Other = nullptr;
};

}  // namespace

TEST_F(HistoryOpenerTest, HandlerReturnsWhileTheOpenIsHeldAndOtherStationsRecord) {
    Reply(*Other, 50);
    ASSERT_TRUE(WaitOpened(*Other));
    HoldOpens();

    Reply(*Held, 60);
    // Back while the open waits in the gate: nothing opened, the sample queued.
    EXPECT_TRUE(TSampleRecorder::AwaitsOpen(*Held));
    EXPECT_EQ(Held->HistoryMgr, nullptr);
    Reply(*Other, 51);
    Reply(*Held, 61);
    Reply(*Held, 62);
    EXPECT_EQ(Held->PendingSamples.size(), 3u);
    EXPECT_TRUE(Other->PendingSamples.empty());
    EXPECT_EQ(APhases(File(10)), (std::vector<uint16_t>{50, 51}));
    EXPECT_TRUE(Held->RecordingFailure.empty());
    ASSERT_TRUE(TScanRig::WaitFor([&] { return Gate.Reached(); }));

    Gate.Release();
    ASSERT_TRUE(WaitOpened(*Held));
    EXPECT_TRUE(Held->PendingSamples.empty());
    ASSERT_NE(Held->HistoryMgr, nullptr);
    Rig.Recorder().WaitFlushed();
    EXPECT_EQ(APhases(File(9)), (std::vector<uint16_t>{60, 61, 62}));
    EXPECT_TRUE(Rig.View().Errors.empty());
}

TEST_F(HistoryOpenerTest, DamagedFileIsRecoveredOffTheHandlerAndToldOnce) {
    fs::create_directories(fs::path(File(9)).parent_path());
    historydamage::MakeHistory(File(9), 20);
    historydamage::CutBeforeLastLink(File(9));
    HoldOpens();

    Reply(*Held, 60);
    EXPECT_TRUE(Rig.View().Errors.empty());
    Gate.Release();
    ASSERT_TRUE(WaitOpened(*Held));
    Reply(*Held, 61);

    ASSERT_EQ(Rig.View().Errors.size(), 1u);
    EXPECT_NE(Rig.View().Errors[0].find("已恢复 20 条记录"), std::string::npos);
    ASSERT_NE(Held->HistoryMgr, nullptr);
    EXPECT_EQ(Held->HistoryMgr->RecordCount(), 22);
    EXPECT_TRUE(Held->PendingSamples.empty());
}

// The backup waits for the open: the file it moves away is complete, and
// the waiting sample goes into the new file, not through a manager of the
// moved one.
TEST_F(HistoryOpenerTest, BackUpDuringAnOpenSendsTheWaitingSampleToTheNewFile) {
    Reply(*Held, 60);
    ASSERT_TRUE(WaitOpened(*Held));
    Held->HistoryMgr.reset();
    HoldOpens();
    Reply(*Held, 61);
    ASSERT_TRUE(TSampleRecorder::AwaitsOpen(*Held));
    const std::shared_ptr<THistoryOpenJob> job = Held->OpenJob;

    TSysParaInfo settings;
    const std::string backUpDir = Rig.Dir() + "/backup";
    settings.BackUpPath.AssignUtf8(backUpDir);
    std::vector<TSysParaItem> list;
    TBackUp backUp(Rig.Dir(), settings, nullptr, list);
    const TDateTime today = EncodeDateTime(2026, 12, 9);
    backUp.SetClock([today] { return today; });
    std::thread release = Gate.ReleaseWhenReached();
    const TBackUpResult result = backUp.BackUpStation(*Held);
    const bool openEndedFirst = job->Done();
    release.join();
    EXPECT_TRUE(openEndedFirst);
    ASSERT_EQ(result, TBackUpResult::Done);
    EXPECT_EQ(Held->HistoryMgr, nullptr);

    ASSERT_TRUE(WaitOpened(*Held));
    Rig.Recorder().WaitFlushed();
    EXPECT_TRUE(Held->PendingSamples.empty());
    EXPECT_EQ(APhases(BackUpFileName(backUpDir, 9, today)), (std::vector<uint16_t>{60}));
    EXPECT_EQ(APhases(File(9)), (std::vector<uint16_t>{61}));
    EXPECT_TRUE(Rig.View().Errors.empty());
}

// Shut-down waits for the open under way and stores the queue itself; the
// end of the open that comes afterwards stores nothing twice.
TEST_F(HistoryOpenerTest, ShutDownDuringAnOpenStoresTheQueueOnce) {
    HoldOpens();
    Reply(*Held, 60);
    Reply(*Held, 61);
    const std::shared_ptr<THistoryOpenJob> job = Held->OpenJob;

    std::thread release = Gate.ReleaseWhenReached();
    const bool stored = Rig.Recorder().StorePendingWithin(*Held, std::chrono::milliseconds(2000));
    const bool openEndedFirst = job->Done();
    release.join();
    EXPECT_TRUE(openEndedFirst);
    EXPECT_TRUE(stored);
    EXPECT_TRUE(Held->PendingSamples.empty());
    EXPECT_FALSE(TSampleRecorder::AwaitsOpen(*Held));
    QCoreApplication::processEvents();  // the end of the open, queued meanwhile
    Rig.Recorder().WaitFlushed();
    EXPECT_EQ(APhases(File(9)), (std::vector<uint16_t>{60, 61}));
}

// A station deleted while its file opens: the deletion waits for the open,
// so the file and its directory it removes are not made again by it, and
// the open's end finds no station to store for.
TEST_F(HistoryOpenerTest, DeletionDuringAnOpenEmptiesTheOpenedFile) {
    Rig.Peer(3);
    TStationState& station = Rig.AddRosterStation(11, 3);
    Reply(station, 60);
    ASSERT_TRUE(WaitOpened(station));
    station.HistoryMgr.reset();
    HoldOpens();
    Reply(station, 61);
    ASSERT_TRUE(TSampleRecorder::AwaitsOpen(station));
    const std::shared_ptr<THistoryOpenJob> job = station.OpenJob;

    std::thread release = Gate.ReleaseWhenReached();
    Rig.RemoveRosterStation(station);
    release.join();
    job->Wait();
    QCoreApplication::processEvents();
    EXPECT_FALSE(fs::exists(fs::path(File(11)).parent_path()));
    EXPECT_TRUE(Rig.View().Errors.empty());
}

// A manager opened on the station's file by someone else while its open
// runs (the history page's query does that) is kept, and the samples go
// through it once each; the open's own manager is closed.
TEST_F(HistoryOpenerTest, ManagerOpenedElsewhereDuringAnOpenIsKept) {
    HoldOpens();
    Reply(*Held, 60);
    Held->HistoryMgr = std::make_unique<THisInfoDbMgr>(File(9));
    const THisInfoDbMgr* other = Held->HistoryMgr.get();
    Reply(*Held, 61);
    EXPECT_EQ(Held->PendingSamples.size(), 2u);

    Gate.Release();
    ASSERT_TRUE(WaitOpened(*Held));
    EXPECT_EQ(Held->HistoryMgr.get(), other);
    Rig.Recorder().WaitFlushed();
    EXPECT_EQ(APhases(File(9)), (std::vector<uint16_t>{60, 61}));
    EXPECT_TRUE(Rig.View().Errors.empty());
}

// A directory that cannot be made: each sample's open fails, the failure is
// reported once and the samples wait; the first open that succeeds stores
// them all in order.
TEST_F(HistoryOpenerTest, FailedOpenIsReportedOnceAndTheNextSampleTriesAgain) {
    fs::create_directories(Rig.Dir() + "/data");
    std::ofstream(Rig.Dir() + "/data/9") << "in the way";

    Reply(*Held, 60);
    ASSERT_TRUE(WaitOpened(*Held));
    Reply(*Held, 61);
    ASSERT_TRUE(WaitOpened(*Held));
    EXPECT_EQ(Rig.View().Errors.size(), 1u);
    EXPECT_FALSE(Held->RecordingFailure.empty());
    EXPECT_EQ(Held->PendingSamples.size(), 2u);
    EXPECT_EQ(Held->HistoryMgr, nullptr);

    fs::remove(Rig.Dir() + "/data/9");
    Reply(*Held, 62);
    ASSERT_TRUE(WaitOpened(*Held));
    EXPECT_TRUE(Held->RecordingFailure.empty());
    EXPECT_TRUE(Held->PendingSamples.empty());
    Rig.Recorder().WaitFlushed();
    EXPECT_EQ(APhases(File(9)), (std::vector<uint16_t>{60, 61, 62}));
    EXPECT_EQ(Rig.View().Errors.size(), 1u);
}
