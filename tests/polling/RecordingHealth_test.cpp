// Recording that meets the field: a history file moved away, replaced,
// locked by a reader, or a directory that cannot be written. Each shows
// while it lasts, is reported once, loses no sample and ends by itself.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "ScanRig.h"
#include "engine/PlatformFileStream.h"
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
