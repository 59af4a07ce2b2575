// One recovery for every table of the station: which table a file holds,
// and the station and parameter files recovered like a history file.

#include "store/TableRecovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "StoreTestSupport.h"
#include "engine/VeltFormat.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"
#include "store/SysParaDbMgr.h"

using storetest::FileBytes;
using storetest::WriteFileBytes;

namespace {

constexpr TDateTime kWhen = 46364.1354166667;  // 2026-12-08 03:15:00
constexpr int64_t kGrowthOffsetField = 41;
constexpr int64_t kLinkField = 6;

// Sets the next link of a table's first slot (growth area, one index) to
// the end of the chain: the records after it are live and reached by no
// chain, as a cut between an append's count and its link leaves them.
void CutChainAfterFirstSlot(const std::string& file) {
    std::vector<uint8_t> bytes = FileBytes(file);
    const int32_t definition = GetLe32(bytes.data() + kDirectoryOffset + 8);
    const int32_t growth = GetLe32(bytes.data() + definition + kGrowthOffsetField);
    const int32_t head = GetLe32(bytes.data() + definition + 69 + 33);
    ASSERT_EQ(head, 0) << "the first slot heads the chain";
    PutLe32(bytes.data() + growth + kLinkField, kNoSlot);
    WriteFileBytes(file, bytes);
}

TEST(TableRecovery, KindOfFileIsTheTableItHolds) {
    storetest::TTempDir dir;
    { TStationDbMgr stations(dir.File("a.dt"), false); }
    { TSysParaDbMgr paras(dir.File("b.dt"), false); }
    { THisInfoDbMgr history(dir.File("c.dt"), false); }
    EXPECT_EQ(&KindOfFile(dir.File("a.dt")), &kStationKind);
    EXPECT_EQ(&KindOfFile(dir.File("b.dt")), &kSysParaKind);
    EXPECT_EQ(&KindOfFile(dir.File("c.dt")), &kHistoryKind);
    WriteFileBytes(dir.File("d.dt"), std::vector<uint8_t>(5000, 0x5A));
    EXPECT_THROW(KindOfFile(dir.File("d.dt")), ETableUnrecoverable);
}

TEST(TableRecovery, StationFileKeepsEveryStationUnderItsId) {
    storetest::TTempDir dir;
    const std::string file = dir.File("station.dt");
    {
        TStationDbMgr mgr(file, false);
        for (int addr : {1, 2, 3, 4}) {
            mgr.AddStation("温控器", "站" + std::to_string(addr), addr, addr, 5, 3, 0, 0, 0);
        }
        mgr.DeleteRecord(2);
    }
    CutChainAfterFirstSlot(file);
    const std::vector<uint8_t> damaged = FileBytes(file);
    EXPECT_THROW(TStationDbMgr(file, false), EVeltFileCorrupt);

    std::optional<TTableRecovery> recovery;
    const auto mgr = OpenRecovering<TStationDbMgr>(file, kStationKind, kWhen, false, recovery);
    ASSERT_TRUE(recovery.has_value());
    EXPECT_EQ(recovery->Salvage.Ids, (std::vector<int32_t>{1, 3, 4}));
    EXPECT_EQ(recovery->Salvage.Deleted, 1);
    EXPECT_EQ(recovery->KeptAs, file + ".corrupt-20261208-031500");
    EXPECT_EQ(FileBytes(recovery->KeptAs), damaged);
    std::vector<TStationInfo> list;
    mgr->ListStations(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].RecordId, 3);
    EXPECT_EQ(list[1].StationPosName.Utf8(), "站3");
    EXPECT_EQ(list[2].TmpAddr, 4);
    // The next id follows the largest kept one, as before the damage.
    EXPECT_EQ(mgr->AddStation("温控器", "站5", 5, 5, 5, 3, 0, 0, 0), 5);
}

TEST(TableRecovery, ParameterFileIsRecoveredAndASoundOneIsOnlyOpened) {
    storetest::TTempDir dir;
    const std::string file = dir.File("para.dt");
    {
        TSysParaDbMgr mgr(file, false);
        std::vector<TSysParaItem> list;
        TSysParaInfo info;
        LoadSysParas(mgr, list, info, dir.Dir());
    }
    std::optional<TTableRecovery> recovery;
    OpenRecovering<TSysParaDbMgr>(file, kSysParaKind, kWhen, false, recovery);
    EXPECT_FALSE(recovery.has_value());

    CutChainAfterFirstSlot(file);
    const auto mgr = OpenRecovering<TSysParaDbMgr>(file, kSysParaKind, kWhen, false, recovery);
    ASSERT_TRUE(recovery.has_value());
    EXPECT_EQ(recovery->Salvage.Count(), 6u);
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    EXPECT_EQ(LoadSysParas(*mgr, list, info, dir.Dir()), 6);
    EXPECT_EQ(info.BackUpPath.Utf8(), dir.Dir() + "backup");
}

TEST(TableRecovery, FileOfAnotherTableIsRefusedAndLeftAsItWas) {
    storetest::TTempDir dir;
    const std::string file = dir.File("para.dt");
    { TStationDbMgr stations(file, false); }
    const std::vector<uint8_t> before = FileBytes(file);
    try {
        RecoverTableFile(file, kSysParaKind, kWhen, false);
        ADD_FAILURE() << "not refused";
    } catch (const ETableUnrecoverable& refused) {
        EXPECT_STREQ(refused.what(), "Table 'SysparaTable' not found");
    }
    EXPECT_EQ(FileBytes(file), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}), 1);
}

}  // namespace
