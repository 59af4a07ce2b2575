// Recording into a history file that a crash left damaged: the file is
// recovered (or set aside), the sample is stored, and the operator hears of
// it once.

#include <gtest/gtest.h>

#include <filesystem>

#include "ScanRig.h"
#include "engine/VeltTable.h"
#include "polling/SampleRecorder.h"
#include "polling/StationState.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryDamage.h"
#include "store/StorePaths.h"

namespace fs = std::filesystem;
using namespace historydamage;

namespace {

const TDateTime kWhen = EncodeDateTime(2026, 12, 8, 3, 15, 0);

std::vector<std::string> KeptCopies(const std::string& file) {
    std::vector<std::string> names;
    const fs::path path(file);
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(path.filename().string() + ".corrupt-", 0) == 0) names.push_back(name);
    }
    return names;
}

class RecorderRecoveryTest : public testing::Test {
  protected:
    RecorderRecoveryTest() : Recorder(Rig.Dir(), false) {
        Station.Address = 7;
        Station.RawTemp = {65, 66, 67, 0};
        Station.RelayFlags = 2;
        File = Recorder.HistoryFilePath(7);
        fs::create_directories(fs::path(File).parent_path());
    }

    TScanRig Rig;  // the Qt sinks and a temporary program directory
    TSampleRecorder Recorder;
    TStationState Station;
    std::string File;
};

}  // namespace

TEST_F(RecorderRecoveryTest, DamagedFileIsRecoveredOnceAndTheSampleFollowsTheLastId) {
    MakeHistory(File, 20);
    CutBeforeLastLink(File);

    const std::string notice = Recorder.Record(Station, kWhen);
    EXPECT_NE(notice.find("已恢复 20 条记录"), std::string::npos) << notice;
    EXPECT_NE(notice.find(File + ".corrupt-20261208-031500"), std::string::npos) << notice;
    EXPECT_EQ(KeptCopies(File), std::vector<std::string>{"HistoryData.dt.corrupt-20261208-031500"});
    ASSERT_NE(Station.HistoryMgr, nullptr);
    EXPECT_EQ(Station.HistoryMgr->RecordCount(), 21);
    EXPECT_EQ(Station.HistoryMgr->LastRecordId(), 21);

    EXPECT_EQ(Recorder.Record(Station, kWhen), "");
    EXPECT_EQ(Station.HistoryMgr->RecordCount(), 22);
    EXPECT_EQ(KeptCopies(File).size(), 1u);
}

TEST_F(RecorderRecoveryTest, RefusedFileIsSetAsideAndRecordingStartsANewFile) {
    MakeHistory(File, 5);
    std::vector<uint8_t> bytes = Bytes(File);
    const TLayout layout = LayoutOf(bytes);
    // A count the file cannot hold: the engine calls it corrupt, the
    // recovery cannot read it.
    PutLe32(bytes.data() + layout.Definition + kGrowthCountField, 1000000);
    PutBytes(File, bytes);

    const std::string notice = Recorder.Record(Station, kWhen);
    EXPECT_NE(notice.find("无法恢复"), std::string::npos) << notice;
    ASSERT_EQ(KeptCopies(File).size(), 1u);
    EXPECT_EQ(Bytes(fs::path(File).parent_path() / KeptCopies(File)[0]), bytes);
    EXPECT_EQ(Station.HistoryMgr->RecordCount(), 1);
}

TEST_F(RecorderRecoveryTest, FileDamagedUnderAnOpenManagerIsRecoveredAtTheNextAppend) {
    MakeHistory(File, 3);
    ASSERT_EQ(Recorder.Record(Station, kWhen), "");  // opened, id 4
    // The last record's marker lost; the next append compares keys against
    // it and finds the file damaged. The disk's damage, not another
    // writer's: size and time stay as the manager left them.
    std::vector<uint8_t> bytes = Bytes(File);
    const TLayout layout = LayoutOf(bytes);
    bytes[SlotOffset(layout, 3)] = 0;
    const auto written = std::filesystem::last_write_time(File);
    PutBytes(File, bytes);
    std::filesystem::last_write_time(File, written);
    Station.HistoryMgr->Table()->Close();  // forget what the cache holds
    Station.HistoryMgr->Table()->Open(kHistoryTableName, true);

    // The append compares keys before it writes anything, so the failed one
    // left the file as it was: the recovery keeps the three intact samples
    // and the new one is stored once, after them.
    Station.RawTemp = {90, 91, 92, 0};
    const std::string notice = Recorder.Record(Station, kWhen + 0.5);
    EXPECT_NE(notice.find("已恢复 3 条记录"), std::string::npos) << notice;
    std::vector<TTmpReading> list;
    Station.HistoryMgr->ListRecords(list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[3].RecordId, 4);
    EXPECT_EQ(list[3].APhaseTmp, 90);
    EXPECT_EQ(list[3].DateTime, kWhen + 0.5);
}

TEST_F(RecorderRecoveryTest, ScanCycleReportsTheRecoveryOnceAndStoresEverySample) {
    TPtyPair& peer = Rig.Peer(1);
    (void)peer;
    TStationState& station = Rig.AddStation(7, 1);
    Rig.CountChunks(station);
    MakeHistory(File, 8);
    CutAfterCount(File);

    ASSERT_TRUE(Rig.Deliver(station, RegsReply(7, 70, 71, 72, 0)));
    ASSERT_TRUE(Rig.Deliver(station, RegsReply(7, 73, 74, 75, 0)));
    ASSERT_EQ(Rig.View().Errors.size(), 1u);
    EXPECT_NE(Rig.View().Errors[0].find("已恢复 8 条记录"), std::string::npos);
    EXPECT_EQ(station.HistoryMgr->RecordCount(), 10);
    EXPECT_FALSE(station.RecordingErrorReported);
}
