// tcdb repair: the station's recovery by hand, through the tool's own entry.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <utility>

#include "Commands.h"
#include "StoreTestSupport.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryDamage.h"
#include "store/StationDbMgr.h"
#include "store/SysParaDbMgr.h"

using namespace historydamage;

namespace {

struct TRepairRun {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

TRepairRun Repair(const std::string& file) {
    std::ostringstream out;
    std::ostringstream err;
    TRepairRun run;
    run.Exit = RunTcdb({"repair", file}, out, err);
    run.Out = out.str();
    run.Err = err.str();
    return run;
}

size_t EntriesIn(const std::string& dir) {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

}  // namespace

TEST(TcdbRepair, DamagedHistoryIsRecoveredAndSaysWhereTheOriginalWent) {
    storetest::TTempDir dir;
    const std::string file = dir.File("HistoryData.dt");
    MakeHistory(file, 12);
    CutBeforeLastLink(file);
    const std::vector<uint8_t> damaged = Bytes(file);

    const TRepairRun run = Repair(file);
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_NE(run.Out.find("recovered 12 samples (record ids 1 to 12) into " + file),
              std::string::npos)
        << run.Out;
    const std::string kept = "original kept as " + file + ".corrupt-";
    const size_t at = run.Out.find(kept);
    ASSERT_NE(at, std::string::npos) << run.Out;
    const std::string keptAs = run.Out.substr(at + 17, run.Out.find('\n', at) - at - 17);
    EXPECT_EQ(Bytes(keptAs), damaged);
    THisInfoDbMgr mgr(file, false);
    EXPECT_EQ(mgr.RecordCount(), 12);
}

TEST(TcdbRepair, SoundFileIsLeftAlone) {
    storetest::TTempDir dir;
    const std::string file = dir.File("HistoryData.dt");
    MakeHistory(file, 3);
    const std::vector<uint8_t> before = Bytes(file);
    const TRepairRun run = Repair(file);
    EXPECT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out.rfind("nothing to repair\n", 0), 0u) << run.Out;
    EXPECT_EQ(Bytes(file), before);
    EXPECT_EQ(EntriesIn(dir.Dir()), 1u);
}

TEST(TcdbRepair, FilesItCannotReadFailWithTheReasonAndStayAsTheyWere) {
    storetest::TTempDir dir;
    const std::string garbage = dir.File("garbage.dt");
    PutBytes(garbage, std::vector<uint8_t>(5000, 0x5A));
    const std::string other = dir.File("station.dt");
    { TStationDbMgr stations(other, false); }
    // A station file opens fine: nothing to repair either.
    EXPECT_EQ(Repair(other).Out.rfind("nothing to repair", 0), 0u);

    const TRepairRun run = Repair(garbage);
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Err.find("Cannot repair '" + garbage + "': Database file '"), std::string::npos)
        << run.Err;
    EXPECT_EQ(Bytes(garbage), std::vector<uint8_t>(5000, 0x5A));
    EXPECT_EQ(Repair(dir.File("missing.dt")).Exit, 1);
    EXPECT_EQ(EntriesIn(dir.Dir()), 2u);
}

TEST(TcdbRepair, StationAndParameterFilesAreRecoveredByTheirTable) {
    storetest::TTempDir dir;
    const std::string stations = dir.File("station.dt");
    const std::string paras = dir.File("para.dt");
    {
        TStationDbMgr mgr(stations, false);
        for (int addr : {4, 2, 6}) mgr.AddStation("温控器", "站", addr, 1, 5, 3, 0, 0, 0);
        TSysParaDbMgr paraMgr(paras, false);
        for (uint8_t key = 0; key < 6; ++key) paraMgr.AddPara(key, key, "");
    }
    // A deleted record that the chain still runs through, as a cut between
    // a delete's flag and its unlinking leaves it.
    // Slot 1 begins one stored record (10 + the record size) into the area.
    for (const auto& [file, recordSize] :
         {std::pair{stations, kStationRecordSize}, std::pair{paras, kSysParaRecordSize}}) {
        std::vector<uint8_t> bytes = Bytes(file);
        bytes[LayoutOf(bytes).GrowthOffset + 10 + recordSize + 1] = 1;
        PutBytes(file, bytes);
    }
    const TRepairRun station = Repair(stations);
    ASSERT_EQ(station.Exit, 0) << station.Err;
    EXPECT_NE(station.Out.find("recovered 2 stations (record ids 1 to 3) into " + stations),
              std::string::npos)
        << station.Out;
    EXPECT_NE(station.Out.find("1 deleted"), std::string::npos) << station.Out;
    EXPECT_EQ(TStationDbMgr(stations, false).RecordCount(), 2);

    const TRepairRun para = Repair(paras);
    ASSERT_EQ(para.Exit, 0) << para.Err;
    EXPECT_NE(para.Out.find("recovered 5 parameters (record ids 1 to 6) into " + paras),
              std::string::npos)
        << para.Out;
    EXPECT_EQ(TSysParaDbMgr(paras, false).RecordCount(), 5);
}
