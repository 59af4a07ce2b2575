// Recovery of damaged history files: what is salvaged, what is refused, and
// how the fresh file takes the original's place.

#include "store/HistoryRecovery.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "store/HistoryDamage.h"
#include "store/StationDbMgr.h"
#include "store/StoreTestSupport.h"

using namespace historydamage;

namespace {

constexpr TDateTime kWhen = 46364.1354166667;  // 2026-12-08 03:15:00

class HistoryRecoveryTest : public ::testing::Test {
  protected:
    std::string File() const { return Dir.File("HistoryData.dt"); }

    // Every sample through the manager, in position (ascending id) order.
    std::vector<TTmpReading> Samples(const std::string& path) const {
        THisInfoDbMgr mgr(path, false);
        std::vector<TTmpReading> list;
        mgr.ListRecords(list);
        return list;
    }

    // Names in the directory other than the live file.
    std::vector<std::string> OtherNames() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Dir())) {
            if (entry.path().filename() != "HistoryData.dt") {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void ExpectSamples(const std::vector<TTmpReading>& list, const std::vector<int>& numbers) {
        ASSERT_EQ(list.size(), numbers.size());
        for (size_t i = 0; i < list.size(); ++i) {
            const TTmpReading want = Sample(numbers[i]);
            EXPECT_EQ(list[i].RecordId, want.RecordId);
            EXPECT_EQ(list[i].DateTime, want.DateTime);
            EXPECT_EQ(list[i].APhaseTmp, want.APhaseTmp);
            EXPECT_EQ(list[i].BPhaseTmp, want.BPhaseTmp);
            EXPECT_EQ(list[i].CPhaseTmp, want.CPhaseTmp);
            EXPECT_EQ(list[i].IronTmp, want.IronTmp);
            EXPECT_EQ(list[i].RelayFlags, want.RelayFlags);
        }
    }

    static std::vector<int> Range(int first, int last) {
        std::vector<int> numbers;
        for (int n = first; n <= last; ++n) numbers.push_back(n);
        return numbers;
    }

    storetest::TTempDir Dir;
};

}  // namespace

TEST_F(HistoryRecoveryTest, RecordWrittenButNotLinkedIsSalvagedWithEveryOtherSample) {
    MakeHistory(File(), 10);
    CutBeforeLastLink(File());
    EXPECT_THROW(THisInfoDbMgr(File(), false), EVeltFileCorrupt);

    const THistorySalvage salvage = SalvageHistoryFile(File());
    ASSERT_EQ(salvage.Samples.size(), 10u);
    EXPECT_EQ(salvage.Slots, 10);
    EXPECT_EQ(salvage.Unmarked + salvage.Deleted + salvage.BadIds + salvage.Duplicates, 0);
    for (int n = 1; n <= 10; ++n) EXPECT_EQ(salvage.Samples[n - 1].RecordId, n);
}

TEST_F(HistoryRecoveryTest, SlotCountedButNeverWrittenIsLeftOut) {
    MakeHistory(File(), 10);
    CutAfterCount(File());
    EXPECT_THROW(THisInfoDbMgr(File(), false), EVeltFileCorrupt);

    const THistorySalvage salvage = SalvageHistoryFile(File());
    EXPECT_EQ(salvage.Samples.size(), 10u);
    EXPECT_EQ(salvage.Slots, 11);
    EXPECT_EQ(salvage.Unmarked, 1);
}

TEST_F(HistoryRecoveryTest, RecoveryKeepsTheOriginalAsideAndRecordsOnUnderTheNextId) {
    MakeHistory(File(), 10);
    CutBeforeLastLink(File());
    const std::vector<uint8_t> damaged = Bytes(File());

    const THistoryRecovery recovery = RecoverHistoryFile(File(), kWhen);
    EXPECT_EQ(recovery.KeptAs, File() + ".corrupt-20261208-031500");
    EXPECT_EQ(Bytes(recovery.KeptAs), damaged);
    EXPECT_EQ(OtherNames(), std::vector<std::string>{"HistoryData.dt.corrupt-20261208-031500"});

    ExpectSamples(Samples(File()), Range(1, 10));
    THisInfoDbMgr mgr(File(), false);
    EXPECT_EQ(mgr.AddReading(7, 1, 2, 3, 4, 5, Sample(11).DateTime), 11);
}

TEST_F(HistoryRecoveryTest, RecoveredFileIsWhatTheManagerWouldHaveWritten) {
    // The samples the damaged file still holds, appended afresh in id order,
    // give the same bytes the recovery gives: no format of its own.
    MakeHistory(File(), 300);
    CutBeforeLastLink(File());
    RecoverHistoryFile(File(), kWhen, false);
    const std::string reference = Dir.File("reference.dt");
    MakeHistory(reference, 300);
    EXPECT_EQ(Bytes(File()), Bytes(reference));
}

TEST_F(HistoryRecoveryTest, ManyThousandsOfSamplesAcrossReadsAndDoublingsAreAllRecovered) {
    constexpr int kCount = 9000;  // more than two reads of slots, five doublings
    MakeHistory(File(), kCount);
    CutAfterCount(File());
    const THistoryRecovery recovery = RecoverHistoryFile(File(), kWhen, false);
    EXPECT_EQ(recovery.Salvage.Samples.size(), static_cast<size_t>(kCount));
    const std::vector<TTmpReading> list = Samples(File());
    ExpectSamples(list, Range(1, kCount));
}

TEST_F(HistoryRecoveryTest, DeletedAndDuplicateAndIdlessSlotsAreLeftOutAndTheFirstOfAnIdWins) {
    MakeHistory(File(), 6);
    {
        THisInfoDbMgr mgr(File(), false);
        mgr.DeleteRecord(2);
    }
    std::vector<uint8_t> file = Bytes(File());
    const TLayout layout = LayoutOf(file);
    // Slot 4 (id 5) becomes a second copy of slot 3 (id 4); slot 5 (id 6)
    // gets id 0.
    std::memcpy(file.data() + SlotOffset(layout, 4), file.data() + SlotOffset(layout, 3),
                kStoredSize);
    file[SlotOffset(layout, 4) + kRecordFixedHeader + 4 + 17] ^= 0xFF;  // other data
    PutLe32(file.data() + SlotOffset(layout, 5) + 2, 0);
    PutBytes(File(), file);

    const THistorySalvage salvage = SalvageHistoryFile(File());
    EXPECT_EQ(salvage.Deleted, 1);
    EXPECT_EQ(salvage.Duplicates, 1);
    EXPECT_EQ(salvage.BadIds, 1);
    RecoverHistoryFile(File(), kWhen, false);
    ExpectSamples(Samples(File()), {1, 3, 4});
}

TEST_F(HistoryRecoveryTest, SamplesOutOfTimeOrderKeepTheirIdsAndTheChainFollowsTheTimes) {
    {
        THisInfoDbMgr mgr(File(), false);
        // The clock was set back after the second sample.
        mgr.AddReading(7, 70, 0, 0, 0, 0, 46000.5);
        mgr.AddReading(7, 71, 0, 0, 0, 0, 46000.6);
        mgr.AddReading(7, 72, 0, 0, 0, 0, 46000.1);
        mgr.AddReading(7, 73, 0, 0, 0, 0, 46000.2);
    }
    CutAfterCount(File());
    RecoverHistoryFile(File(), kWhen, false);
    const std::vector<TTmpReading> list = Samples(File());
    ASSERT_EQ(list.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list[i].RecordId, i + 1);
        EXPECT_EQ(list[i].APhaseTmp, 70 + i);
    }
    // The engine's open walked the chain: its order is the times' order.
    EXPECT_EQ(storetest::ReadRawRecords(File(), kHistoryTableName).size(), 4u);
}

TEST_F(HistoryRecoveryTest, RecordsOfAnEmptiedTableBeyondTheCountStayGone) {
    MakeHistory(File(), 3);
    TTmpReading fresh = Sample(9);
    {
        THisInfoDbMgr mgr(File(), false);
        mgr.EmptyTable();
        // The first append after emptying reuses slot 0 under id 1.
        mgr.AddReading(fresh.TmpAddr, fresh.APhaseTmp, fresh.BPhaseTmp, fresh.CPhaseTmp,
                       fresh.IronTmp, fresh.RelayFlags, fresh.DateTime);
    }
    // Cut before the definition got the new head.
    std::vector<uint8_t> file = Bytes(File());
    const TLayout layout = LayoutOf(file);
    constexpr int32_t kHeadField = 69 + 33;
    PutLe32(file.data() + layout.Definition + kHeadField, kNoSlot);
    PutBytes(File(), file);
    ASSERT_THROW(THisInfoDbMgr(File(), false), EVeltFileCorrupt);

    RecoverHistoryFile(File(), kWhen, false);
    const std::vector<TTmpReading> list = Samples(File());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].RecordId, 1);
    EXPECT_EQ(list[0].BPhaseTmp, fresh.BPhaseTmp);
}

TEST_F(HistoryRecoveryTest, NameTakenByAnEarlierRecoveryGetsANumber) {
    MakeHistory(File(), 4);
    CutAfterCount(File());
    RecoverHistoryFile(File(), kWhen, false);
    CutAfterCount(File());
    const THistoryRecovery second = RecoverHistoryFile(File(), kWhen, false);
    EXPECT_EQ(second.KeptAs, File() + ".corrupt-20261208-031500-2");
    EXPECT_EQ(OtherNames(), (std::vector<std::string>{"HistoryData.dt.corrupt-20261208-031500",
                                                      "HistoryData.dt.corrupt-20261208-031500-2"}));
    ExpectSamples(Samples(File()), Range(1, 4));
}

TEST_F(HistoryRecoveryTest, LeftoverOfAnInterruptedRecoveryIsReplaced) {
    MakeHistory(File(), 5);
    CutBeforeLastLink(File());
    PutBytes(File() + ".recovering", {1, 2, 3});
    RecoverHistoryFile(File(), kWhen, false);
    ExpectSamples(Samples(File()), Range(1, 5));
    EXPECT_FALSE(std::filesystem::exists(File() + ".recovering"));
}

// --- Files the recovery refuses, untouched --------------------------------------

class RefusedFile : public HistoryRecoveryTest {
  protected:
    void ExpectRefused(const std::string& reason) {
        const std::vector<uint8_t> before = Bytes(File());
        try {
            RecoverHistoryFile(File(), kWhen, false);
            ADD_FAILURE() << "not refused";
        } catch (const EHistoryUnrecoverable& refused) {
            EXPECT_NE(std::string(refused.what()).find(reason), std::string::npos)
                << refused.what();
        }
        EXPECT_EQ(Bytes(File()), before);
        EXPECT_TRUE(OtherNames().empty());
    }
    void Poke(int64_t offset, int32_t value) {
        std::vector<uint8_t> file = Bytes(File());
        PutLe32(file.data() + offset, value);
        PutBytes(File(), file);
    }
};

TEST_F(RefusedFile, WrongMagic) {
    MakeHistory(File(), 2);
    std::vector<uint8_t> file = Bytes(File());
    file[0] = 'X';
    PutBytes(File(), file);
    ExpectRefused("is a invalid VELT file");
}

TEST_F(RefusedFile, VersionTooHigh) {
    MakeHistory(File(), 2);
    std::vector<uint8_t> file = Bytes(File());
    file[7] = '1';  // "1.1"
    PutBytes(File(), file);
    ExpectRefused("version is too High");
}

TEST_F(RefusedFile, NoHistoryTable) {
    { TStationDbMgr stations(File(), false); }
    ExpectRefused("Table 'HisDataTable' not found");
}

TEST_F(RefusedFile, RecordSizeOtherThanEighteen) {
    TVeltDatabase db;
    ASSERT_TRUE(db.CreateDatabase(File(), false, "Zlib", true, "Blowfish", ""));
    ASSERT_TRUE(db.Open(File(), ""));
    db.CreateTable(kHistoryTableName, 20, 0, 256);
    db.Close();
    ExpectRefused("records of 20 bytes");
}

TEST_F(RefusedFile, GrowthAreaReachingPastTheEnd) {
    MakeHistory(File(), 2);
    const TLayout layout = LayoutOf(Bytes(File()));
    Poke(layout.Definition + kGrowthCountField, 100000);
    ExpectRefused("growth area");
}

TEST_F(RefusedFile, AreaInsideTheHeader) {
    MakeHistory(File(), 2);
    const TLayout layout = LayoutOf(Bytes(File()));
    Poke(layout.Definition + kGrowthOffsetField, 100);
    ExpectRefused("growth area");
}

TEST_F(RefusedFile, NegativePrimaryCount) {
    MakeHistory(File(), 2);
    const TLayout layout = LayoutOf(Bytes(File()));
    Poke(layout.Definition + 37, -1);
    ExpectRefused("primary area");
}

TEST_F(RefusedFile, ImpossibleRecordLayout) {
    MakeHistory(File(), 2);
    const TLayout layout = LayoutOf(Bytes(File()));
    Poke(layout.Definition + 61, 0x7FFFFFFF);  // HeaderBlockCount
    ExpectRefused("record layout");
}

TEST_F(RefusedFile, TruncatedInsideTheHeader) {
    MakeHistory(File(), 2);
    std::vector<uint8_t> file = Bytes(File());
    file.resize(3000);
    PutBytes(File(), file);
    ExpectRefused("corrupt");
}

TEST(KeptAsideName, TimeStampOfTheLocalTimeToTheSecond) {
    EXPECT_EQ(KeptAsideName("/x/HistoryData.dt", kWhen),
              "/x/HistoryData.dt.corrupt-20261208-031500");
    EXPECT_EQ(KeptAsideName("h.dt", EncodeDateTime(2027, 1, 2, 23, 59, 58)),
              "h.dt.corrupt-20270102-235958");
}

TEST(SetHistoryFileAside, MovesTheLiveNameAwaySoTheNextOpenStartsEmpty) {
    storetest::TTempDir dir;
    const std::string file = dir.File("HistoryData.dt");
    MakeHistory(file, 3);
    const std::vector<uint8_t> before = Bytes(file);
    const std::string keptAs = SetHistoryFileAside(file, kWhen, false);
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(Bytes(keptAs), before);
    THisInfoDbMgr fresh(file, false);
    EXPECT_EQ(fresh.RecordCount(), 0);
}
