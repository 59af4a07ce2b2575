// Recording that meets the field: a history file moved away, replaced,
// locked by a reader, or a directory that cannot be written. Each shows
// while it lasts, is reported once, loses no sample and ends by itself.
// A history file that fills up is told of before it is full, backed up at
// once with automatic backup, and once full waits for its backup.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "ScanRig.h"
#include "engine/PlatformFileStream.h"
#include "polling/BackUp.h"
#include "store/HisInfoDbMgr.h"

namespace fs = std::filesystem;

namespace {

std::vector<TTmpReading> StoredSamples(const std::string& fileName) {
    THisInfoDbMgr manager(fileName, false);
    std::vector<TTmpReading> samples;
    manager.ListRecords(samples);
    return samples;
}

std::vector<uint16_t> APhases(const std::vector<TTmpReading>& samples) {
    std::vector<uint16_t> values;
    for (const TTmpReading& sample : samples) values.push_back(sample.APhaseTmp);
    return values;
}

class RecordingHealthTest : public testing::Test {
  protected:
    RecordingHealthTest() : Station(AddStation()) {}

    TStationState& AddStation() {
        Rig.Peer(1);
        TStationState& station = Rig.AddStation(9, 1);
        Rig.CountChunks(station);
        Rig.View().Selected = &station;
        return station;
    }
    std::string File() const { return Rig.Dir() + "/data/9/HistoryData.dt"; }
    bool Reply(uint16_t a) { return Rig.Deliver(Station, RegsReply(9, a, 66, 67, 0)); }

    TScanRig Rig;
    TStationState& Station;
};

}  // namespace

// An operator archives the live file by hand, or removes the station's whole
// directory: the very reply that meets it starts a new file, nothing is
// reported, and the moved file keeps what it had.
TEST_F(RecordingHealthTest, FileOrDirectoryMovedAwayIsStartedAnewAtTheNextSample) {
    ASSERT_TRUE(Reply(60));
    ASSERT_TRUE(Reply(61));
    fs::rename(File(), Rig.Dir() + "/archived.dt");
    ASSERT_TRUE(Reply(62));
    EXPECT_EQ(APhases(StoredSamples(Rig.Dir() + "/archived.dt")), (std::vector<uint16_t>{60, 61}));

    fs::remove_all(Rig.Dir() + "/data/9");
    ASSERT_TRUE(Reply(63));
    ASSERT_TRUE(Reply(64));
    Station.HistoryMgr.reset();
    EXPECT_EQ(APhases(StoredSamples(File())), (std::vector<uint16_t>{63, 64}));
    EXPECT_TRUE(Rig.View().Errors.empty());
    EXPECT_TRUE(Rig.View().RecordingShown.empty());
    EXPECT_TRUE(Station.RecordingFailure.empty());
}

// A backup restored over the live file (another inode): the next sample
// goes into the restored file, through its own layout, and it stays sound.
TEST_F(RecordingHealthTest, FileReplacedUnderTheOpenManagerIsReopenedNotOverwritten) {
    ASSERT_TRUE(Reply(60));
    {
        THisInfoDbMgr other(Rig.Dir() + "/restored.dt", false);
        for (uint16_t a = 10; a < 15; ++a) other.AddReading(9, a, 1, 2, 0, 0, 45000.0 + a);
    }
    fs::rename(Rig.Dir() + "/restored.dt", File());
    ASSERT_TRUE(Reply(61));
    Station.HistoryMgr.reset();
    EXPECT_EQ(APhases(StoredSamples(File())), (std::vector<uint16_t>{10, 11, 12, 13, 14, 61}));
    EXPECT_TRUE(Rig.View().Errors.empty());
}

// Nobody can write where the station's directory should be (a file in its
// way binds root too): the failure shows and is reported once while it
// lasts, every sample waits, and the first reply after the cause is gone
// stores them all in order and clears the failure.
TEST_F(RecordingHealthTest, FailureShowsWhileItLastsIsReportedOnceAndLosesNoSample) {
    ASSERT_TRUE(Reply(60));
    fs::remove_all(Rig.Dir() + "/data/9");
    std::ofstream(Rig.Dir() + "/data/9") << "in the way";
    for (uint16_t a = 61; a <= 64; ++a) ASSERT_TRUE(Reply(a));
    ASSERT_EQ(Rig.View().Errors.size(), 1u);
    EXPECT_FALSE(Station.RecordingFailure.empty());
    ASSERT_EQ(Rig.View().RecordingShown.size(), 1u);
    EXPECT_EQ(Rig.View().RecordingShown[0], Station.RecordingFailure);
    EXPECT_EQ(Station.PendingSamples.size(), 4u);
    EXPECT_EQ(Station.HistoryMgr, nullptr);

    fs::remove(Rig.Dir() + "/data/9");
    ASSERT_TRUE(Reply(65));
    EXPECT_TRUE(Station.RecordingFailure.empty());
    ASSERT_EQ(Rig.View().RecordingShown.size(), 2u);
    EXPECT_EQ(Rig.View().RecordingShown[1], "");
    EXPECT_TRUE(Station.PendingSamples.empty());
    Station.HistoryMgr.reset();
    EXPECT_EQ(APhases(StoredSamples(File())), (std::vector<uint16_t>{61, 62, 63, 64, 65}));

    // A new episode is reported again.
    fs::remove_all(Rig.Dir() + "/data/9");
    std::ofstream(Rig.Dir() + "/data/9") << "in the way again";
    ASSERT_TRUE(Reply(66));
    EXPECT_EQ(Rig.View().Errors.size(), 2u);
}

// A report or check reading the file holds a shared lock: the sample waits
// without a report or a failure, the window goes on, and the retry timer
// stores it as soon as the reader is done. Held for too long, it becomes a
// failure like any other.
TEST_F(RecordingHealthTest, SampleThatMeetsAReaderWaitsAndIsStoredOnceTheFileIsFree) {
    TDateTime monotonic = 1000.0;
    Rig.Cycle().SetOfflineClock([&] { return monotonic; });
    ASSERT_TRUE(Reply(60));
    {
        const TPlatformFileStream reader(File(), true, false);
        ASSERT_TRUE(Reply(61));
        ASSERT_TRUE(Reply(62));
        EXPECT_TRUE(Station.RecordingBusy);
        EXPECT_EQ(Station.PendingSamples.size(), 2u);
        EXPECT_TRUE(Rig.Cycle().IsSampleRetryArmed());
        EXPECT_TRUE(Rig.View().Errors.empty());
        EXPECT_TRUE(Station.RecordingFailure.empty());
        // The refresh of a waiting sample's reply is not skipped.
        EXPECT_EQ(Rig.View().LiveViews, 3);
        // Retries while the reader holds on change nothing.
        Rig.Cycle().SampleRetryTimer();
        EXPECT_EQ(Station.PendingSamples.size(), 2u);
    }
    ASSERT_TRUE(TScanRig::WaitFor([&] { return Station.PendingSamples.empty(); }));
    EXPECT_FALSE(Station.RecordingBusy);
    Station.HistoryMgr.reset();
    EXPECT_EQ(APhases(StoredSamples(File())), (std::vector<uint16_t>{60, 61, 62}));

    {
        const TPlatformFileStream reader(File(), true, false);
        ASSERT_TRUE(Reply(63));
        monotonic += (TScanCycle::kBusyFailureMs + 1000) / 86400000.0;
        ASSERT_TRUE(Reply(64));
        EXPECT_FALSE(Station.RecordingFailure.empty());
        EXPECT_EQ(Rig.View().Errors.size(), 1u);
        EXPECT_EQ(Station.PendingSamples.size(), 2u);
    }
    ASSERT_TRUE(Reply(65));
    EXPECT_TRUE(Station.RecordingFailure.empty());
    Station.HistoryMgr.reset();
    EXPECT_EQ(APhases(StoredSamples(File())), (std::vector<uint16_t>{60, 61, 62, 63, 64, 65}));
}

// The queue is bounded: a station that cannot record for days keeps the
// newest samples, not all of them.
TEST_F(RecordingHealthTest, WaitingSamplesAreBoundedKeepingTheNewest) {
    TSampleRecorder recorder(Rig.Dir(), false);
    fs::create_directories(Rig.Dir() + "/data");
    std::ofstream(Rig.Dir() + "/data/9") << "in the way";
    const size_t limit = TSampleRecorder::kMaxPendingSamples;
    for (size_t n = 0; n < limit + 5; ++n) {
        Station.RawTemp = {static_cast<uint16_t>(n % 1000), 1, 2, 0};
        EXPECT_ANY_THROW(recorder.Record(Station, 45000.0 + static_cast<double>(n) / 86400));
    }
    ASSERT_EQ(Station.PendingSamples.size(), limit);
    EXPECT_EQ(Station.PendingSamples.front().RawTemp[0], 5);
    fs::remove(Rig.Dir() + "/data/9");
    EXPECT_EQ(recorder.StorePending(Station), "");
    EXPECT_EQ(Station.HistoryMgr->RecordCount(), static_cast<int32_t>(limit));
}

namespace {

// A history file with room for exactly 256 samples: its first growth area
// after the 6246 bytes of a new file, and no second one. Nearly full from
// 231 samples (90 %) on.
constexpr int64_t kRoomFor256 = 6246 + 256 * 28;
const TDateTime kMarch1 = EncodeDateTime(2024, 3, 1);
const TDateTime kMarch2 = EncodeDateTime(2024, 3, 2);
const TDateTime kEarlier = EncodeDateTime(2024, 2, 1);

std::vector<TDateTime> Times(const std::vector<TTmpReading>& samples) {
    std::vector<TDateTime> times;
    for (const TTmpReading& sample : samples) times.push_back(sample.DateTime);
    return times;
}

std::vector<int32_t> Ids(const std::vector<TTmpReading>& samples) {
    std::vector<int32_t> ids;
    for (const TTmpReading& sample : samples) ids.push_back(sample.RecordId);
    return ids;
}

// The station's file nears or reaches its room: the samples' times are the
// cycle's clock, and backups go to <dir>/backup as the window makes them.
class HistoryRoomTest : public RecordingHealthTest {
  protected:
    HistoryRoomTest() {
        Rig.Recorder().SetFileSizeLimitForTest(kRoomFor256);
        Rig.Cycle().SetClock([this] { return Clock; });
        Rig.Settings().BackUpPath.AssignUtf8(Rig.Dir() + "/backup");
        Rig.Settings().BackUpInterval = 30;
        BackUp.SetClock([this] { return Clock; });
        Rig.Cycle().SetHistoryBackUp([this](TStationState& station) {
            return BackUp.BackUpStation(station) == TBackUpResult::Done;
        });
    }

    // `count` samples a minute apart, stored by an earlier run.
    void Prefill(int count) {
        THisInfoDbMgr mgr(File(), false);
        for (int n = 0; n < count; ++n) {
            mgr.AddReading(9, 50, 51, 52, 0, 0, kEarlier + n / 1440.0);
        }
    }
    // A reply at `time`.
    bool ReplyAt(uint16_t a, TDateTime time) {
        Clock = time;
        return Reply(a);
    }
    std::string BackUpFile() const {
        return BackUpFileName(Rig.Dir() + "/backup", 9, DateOf(Clock));
    }
    std::string Warning() const {
        return "设备“pos9”的历史数据文件已达到容量上限的90%，请尽快备份！";
    }

    TDateTime Clock = kMarch1;
    std::vector<TSysParaItem> ParaList;
    TBackUp BackUp{Rig.Dir(), Rig.Settings(), nullptr, ParaList};
};

}  // namespace

// Nearly full: the first sample of each day that finds it so warns, through
// the recording report (never stacked, never dropped), and nothing else
// changes: every sample is stored.
TEST_F(HistoryRoomTest, NearlyFullFileWarnsOnceADay) {
    Prefill(229);
    ASSERT_TRUE(ReplyAt(60, kMarch1 + 0.40));  // 230 of 256
    EXPECT_TRUE(Rig.View().Errors.empty());
    ASSERT_TRUE(ReplyAt(61, kMarch1 + 0.41));  // 231: 90 %
    EXPECT_EQ(Rig.View().Errors, (std::vector<std::string>{Warning()}));
    ASSERT_TRUE(ReplyAt(62, kMarch1 + 0.99));
    EXPECT_EQ(Rig.View().Errors.size(), 1u) << "once the same day";

    ASSERT_TRUE(ReplyAt(63, kMarch2 + 0.001));
    EXPECT_EQ(Rig.View().Errors, (std::vector<std::string>{Warning(), Warning()}));
    ASSERT_TRUE(ReplyAt(64, kMarch2 + 0.5));
    EXPECT_EQ(Rig.View().Errors.size(), 2u);
    EXPECT_TRUE(Station.RecordingFailure.empty());
    EXPECT_TRUE(Rig.View().RecordingShown.empty());
    Station.HistoryMgr.reset();
    EXPECT_EQ(StoredSamples(File()).size(), 234u);
}

// With automatic backup on, the sample that makes the file nearly full has
// it backed up at once, as the automatic backup does, without a warning;
// the next sample starts a new file and nothing is lost or stored twice.
TEST_F(HistoryRoomTest, NearlyFullFileIsBackedUpAtOnceWithAutomaticBackUp) {
    Rig.Settings().IsBackUp = true;
    Prefill(229);
    ASSERT_TRUE(ReplyAt(60, kMarch1 + 0.40));
    EXPECT_TRUE(fs::exists(File()));
    ASSERT_TRUE(ReplyAt(61, kMarch1 + 0.41));
    EXPECT_FALSE(fs::exists(File()));
    EXPECT_EQ(Station.HistoryMgr, nullptr);
    ASSERT_TRUE(ReplyAt(62, kMarch1 + 0.42));
    ASSERT_TRUE(ReplyAt(63, kMarch1 + 0.43));

    const std::vector<TTmpReading> backedUp = StoredSamples(BackUpFile());
    ASSERT_EQ(backedUp.size(), 231u);
    EXPECT_EQ(backedUp.back().RecordId, 231);
    EXPECT_EQ(backedUp[229].DateTime, kMarch1 + 0.40);
    EXPECT_EQ(backedUp[230].DateTime, kMarch1 + 0.41);
    EXPECT_EQ(APhases({backedUp[229], backedUp[230]}), (std::vector<uint16_t>{60, 61}));
    Station.HistoryMgr.reset();
    const std::vector<TTmpReading> live = StoredSamples(File());
    EXPECT_EQ(Ids(live), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(Times(live), (std::vector<TDateTime>{kMarch1 + 0.42, kMarch1 + 0.43}));
    EXPECT_TRUE(Rig.View().Errors.empty());
    EXPECT_TRUE(Station.RecordingFailure.empty());
}

// Full, with automatic backup off: the sample is refused with the reason
// (not the engine's text), reported once, and every sample waits, the file
// kept open rather than read again for each; once the file was backed up
// the next reply stores them all, in order.
TEST_F(HistoryRoomTest, FullFileFailsWithItsReasonAndTheSamplesWaitForABackUp) {
    const std::string full = "设备“pos9”的历史数据文件已满，无法继续记录，请立即备份！";
    Prefill(255);
    ASSERT_TRUE(ReplyAt(60, kMarch1 + 0.40));  // 256: the last one it holds
    EXPECT_EQ(Rig.View().Errors, (std::vector<std::string>{Warning()}));
    ASSERT_TRUE(ReplyAt(61, kMarch1 + 0.41));
    ASSERT_TRUE(ReplyAt(62, kMarch1 + 0.42));
    EXPECT_EQ(Station.RecordingFailure, full);
    EXPECT_EQ(Rig.View().RecordingShown, (std::vector<std::string>{full}));
    EXPECT_EQ(Rig.View().Errors, (std::vector<std::string>{Warning(), full}));
    EXPECT_EQ(Station.PendingSamples.size(), 2u);
    EXPECT_NE(Station.HistoryMgr, nullptr);

    ASSERT_EQ(BackUp.BackUpStation(Station), TBackUpResult::Done);
    ASSERT_TRUE(ReplyAt(63, kMarch1 + 0.43));
    EXPECT_TRUE(Station.RecordingFailure.empty());
    EXPECT_TRUE(Station.PendingSamples.empty());
    EXPECT_EQ(StoredSamples(BackUpFile()).size(), 256u);
    Station.HistoryMgr.reset();
    const std::vector<TTmpReading> live = StoredSamples(File());
    EXPECT_EQ(Ids(live), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(Times(live),
              (std::vector<TDateTime>{kMarch1 + 0.41, kMarch1 + 0.42, kMarch1 + 0.43}));
    EXPECT_EQ(APhases(live), (std::vector<uint16_t>{61, 62, 63}));
}

// A file found full with automatic backup on (its backup had not been made
// yet) is backed up and the sample stored in a new file at once: no failure.
TEST_F(HistoryRoomTest, FullFileIsBackedUpAndTheSampleStoredAtOnceWithAutomaticBackUp) {
    Rig.Settings().IsBackUp = true;
    Prefill(256);
    ASSERT_TRUE(ReplyAt(60, kMarch1 + 0.40));
    EXPECT_EQ(StoredSamples(BackUpFile()).size(), 256u);
    Station.HistoryMgr.reset();
    EXPECT_EQ(Times(StoredSamples(File())), (std::vector<TDateTime>{kMarch1 + 0.40}));
    EXPECT_TRUE(Rig.View().Errors.empty());
    EXPECT_TRUE(Rig.View().RecordingShown.empty());
}
