#include "store/HisInfoDbMgr.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "StoreTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "store/DateTime.h"
#include "store/TableWalk.h"

using storetest::ReadRawRecords;
using storetest::TTempDir;

namespace {

const TDateTime kDay = EncodeDateTime(2024, 3, 1);
constexpr double kMinute = 1.0 / (24 * 60);

// Samples at kDay + i minutes for each i in Minutes, A-phase raw 100 + i.
void AddAt(THisInfoDbMgr& mgr, std::initializer_list<int> minutes) {
    for (const int i : minutes) {
        mgr.AddReading(3, static_cast<uint16_t>(100 + i), 60, 60, 0, 0, kDay + i * kMinute);
    }
}

// A file of Count samples at kDay + i minutes, A-phase raw i, written by a
// manager that is closed again.
void WriteReadings(const std::string& file, int count) {
    THisInfoDbMgr writer(file, false);
    for (int i = 0; i < count; ++i) {
        writer.AddReading(1, static_cast<uint16_t>(i), 0, 0, 0, 0, kDay + i * kMinute);
    }
}

std::vector<int> APhases(const std::vector<TTmpReading>& list) {
    std::vector<int> values;
    for (const TTmpReading& r : list) values.push_back(r.APhaseTmp - 100);
    return values;
}

// Holds the file's exclusive lock, as another process using it would: every
// attempt of the engine to open the file fails meanwhile.
class TFileHeld {
  public:
    explicit TFileHeld(const std::string& file) : FHandle(::open(file.c_str(), O_RDONLY)) {
        EXPECT_GE(FHandle, 0);
        EXPECT_EQ(::flock(FHandle, LOCK_EX | LOCK_NB), 0);
    }
    ~TFileHeld() { ::close(FHandle); }
    TFileHeld(const TFileHeld&) = delete;
    TFileHeld& operator=(const TFileHeld&) = delete;

  private:
    int FHandle;
};

}  // namespace

TEST(HisInfoDbMgr, RecordLayoutAsStored) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    const TDateTime when = EncodeDateTime(2006, 2, 24, 19, 51, 47, 250);
    {
        THisInfoDbMgr mgr(file, false);
        EXPECT_EQ(mgr.AddReading(12, 0x1234, 0xABCD, 65535, 0, 0xF5, when), 1);
    }
    const auto records = ReadRawRecords(file, "HisDataTable");
    ASSERT_EQ(records.size(), 1u);
    const std::vector<uint8_t>& d = records[0].Data;
    ASSERT_EQ(d.size(), 18u);
    uint64_t bits;
    std::memcpy(&bits, &when, sizeof bits);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(d[i], static_cast<uint8_t>(bits >> (8 * i))) << "DateTime byte " << i;
    }
    EXPECT_EQ(d[8], 12);
    EXPECT_EQ(d[9], 0x34);
    EXPECT_EQ(d[10], 0x12);
    EXPECT_EQ(d[11], 0xCD);
    EXPECT_EQ(d[12], 0xAB);
    EXPECT_EQ(d[13], 0xFF);
    EXPECT_EQ(d[14], 0xFF);
    EXPECT_EQ(d[15], 0);
    EXPECT_EQ(d[16], 0);
    EXPECT_EQ(d[17], 0xF5);  // bits 4 to 7 kept as received
}

TEST(HisInfoDbMgr, SampleReadsBackEveryField) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    const TDateTime when = EncodeDateTime(2024, 12, 31, 23, 59, 59, 999);
    mgr.AddReading(255, 65, 66, 67, 68, 0x0B, when);
    std::optional<TTmpReading> r;
    mgr.GetRecord(0, r);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->RecordId, 1);
    EXPECT_EQ(r->DateTime, when);
    EXPECT_EQ(r->TmpAddr, 255);
    EXPECT_EQ(r->APhaseTmp, 65);
    EXPECT_EQ(r->BPhaseTmp, 66);
    EXPECT_EQ(r->CPhaseTmp, 67);
    EXPECT_EQ(r->IronTmp, 68);
    EXPECT_EQ(r->RelayFlags, 0x0B);
}

TEST(HisInfoDbMgr, QueryOfAnEmptyTableYieldsNothing) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    std::vector<TTmpReading> list;
    EXPECT_EQ(mgr.QueryReadings(list, kDay, kDay + 1), 0);
    EXPECT_TRUE(list.empty());
}

TEST(HisInfoDbMgr, QueryYieldsTheClosedRangeNewestFirst) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    AddAt(mgr, {0, 1, 2, 3, 4, 5, 6});
    std::vector<TTmpReading> list;
    // Both bounds fall exactly on samples and are included; the newer
    // samples are skipped and the walk goes on past them.
    mgr.QueryReadings(list, kDay + 2 * kMinute, kDay + 4 * kMinute);
    EXPECT_EQ(APhases(list), (std::vector<int>{4, 3, 2}));
    EXPECT_EQ(list.front().RecordId, 5);
}

TEST(HisInfoDbMgr, RangeAfterTheNewestSampleReadsOnlyThatSample) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    AddAt(mgr, {0, 1, 2, 3});
    std::vector<TTmpReading> list;
    EXPECT_EQ(mgr.QueryReadings(list, kDay + 10 * kMinute, kDay + 20 * kMinute), 1);
    EXPECT_TRUE(list.empty());
}

TEST(HisInfoDbMgr, WalkStopsAtTheFirstSampleOlderThanTheRange) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    AddAt(mgr, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    std::vector<TTmpReading> list;
    // From the newest in the range (8) down to 5, the first one before it.
    EXPECT_EQ(mgr.QueryReadings(list, kDay + 6 * kMinute, kDay + 8 * kMinute), 4);
    EXPECT_EQ(APhases(list), (std::vector<int>{8, 7, 6}));
}

// Samples appended after the clock was set back lie out of id order; a
// range still yields every sample in it, newest time first, and equal times
// newest sample first.
TEST(HisInfoDbMgr, ClockSetBackLeavesNoSampleOfTheRangeOut) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    // Samples at 10..12, then the clock was set back to minute 1, then it
    // went on to 13, and was set back again to 11 (twice).
    AddAt(mgr, {10, 11, 12, 1, 13, 11, 11});
    const auto query = [&](int from, int to) {
        std::vector<TTmpReading> list;
        mgr.QueryReadings(list, kDay + from * kMinute, kDay + to * kMinute);
        std::vector<int> ids;
        for (const TTmpReading& r : list) ids.push_back(r.RecordId);
        return std::make_pair(APhases(list), ids);
    };
    EXPECT_EQ(query(5, 20).first, (std::vector<int>{13, 12, 11, 11, 11, 10}));
    EXPECT_EQ(query(11, 11).second, (std::vector<int>{7, 6, 2}));
    EXPECT_EQ(query(0, 1).first, (std::vector<int>{1}));
    EXPECT_EQ(query(0, 10).first, (std::vector<int>{10, 1}));
    EXPECT_TRUE(query(14, 20).first.empty());
    EXPECT_TRUE(query(2, 9).first.empty());

    // The same after the file is opened anew (the index read from disk).
    THisInfoDbMgr reopened(tmp.File("HistoryData.dt"), false);
    std::vector<TTmpReading> list;
    reopened.QueryReadings(list, kDay + 5 * kMinute, kDay + 20 * kMinute);
    EXPECT_EQ(APhases(list), (std::vector<int>{13, 12, 11, 11, 11, 10}));
}

TEST(HisInfoDbMgr, SecondQueryAppendsAfterTheFirst) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    AddAt(mgr, {0, 1, 2, 3});
    std::vector<TTmpReading> list;
    mgr.QueryReadings(list, kDay + 2 * kMinute, kDay + 3 * kMinute);
    mgr.QueryReadings(list, kDay, kDay + 1 * kMinute);
    EXPECT_EQ(APhases(list), (std::vector<int>{3, 2, 1, 0}));
}

// Reads walk backwards through batches of the record cache: a table larger
// than one batch and larger than the cache still yields every sample once.
TEST(HisInfoDbMgr, QueryOverManySamplesYieldsEachOnce) {
    TTempDir tmp;
    THisInfoDbMgr mgr(tmp.File("HistoryData.dt"), false);
    mgr.Database()->SetCacheSize(150);
    constexpr int kCount = 1000;
    for (int i = 0; i < kCount; ++i) {
        mgr.AddReading(1, static_cast<uint16_t>(i), 0, 0, 0, 0, kDay + i * kMinute);
    }
    std::vector<TTmpReading> list;
    // Read from the newest in the range (899) down to 99, the first before it.
    EXPECT_EQ(mgr.QueryReadings(list, kDay + 100 * kMinute, kDay + 899 * kMinute), 801);
    ASSERT_EQ(list.size(), 800u);
    for (size_t i = 0; i < list.size(); ++i) {
        ASSERT_EQ(list[i].APhaseTmp, 899 - i) << "at " << i;
    }
}

// A query answered by records the cache holds (appended through the same
// manager) does not need the file, so it succeeds while the file is held.
TEST(HisInfoDbMgr, QueryServedFromTheCacheNeedsNoFileAccess) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    THisInfoDbMgr mgr(file, false);
    AddAt(mgr, {0, 1, 2, 3, 4, 5});
    const TFileHeld held(file);
    std::vector<TTmpReading> list;
    EXPECT_EQ(mgr.QueryReadings(list, kDay + 2 * kMinute, kDay + 4 * kMinute), 4);
    EXPECT_EQ(APhases(list), (std::vector<int>{4, 3, 2}));
    EXPECT_EQ(mgr.Database()->AccessDepth(), 0);
}

// A query over records read from the file opens it once for the whole walk;
// a failure to open it, or a failure on the way, passes on as before and
// leaves no access open behind it, so the next query works again.
TEST(HisInfoDbMgr, QueryFailuresLeaveNoFileAccessOpen) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    constexpr int kCount = 450;
    WriteReadings(file, kCount);
    THisInfoDbMgr mgr(file, false);
    std::vector<TTmpReading> list;
    {
        const TFileHeld held(file);
        EXPECT_THROW(mgr.QueryReadings(list, kDay, kDay + 1), EFOpenError);
        EXPECT_EQ(mgr.Database()->AccessDepth(), 0);
        EXPECT_TRUE(list.empty());
    }
    EXPECT_EQ(mgr.QueryReadings(list, kDay + 100 * kMinute, kDay + 1), kCount - 99);
    ASSERT_EQ(list.size(), static_cast<size_t>(kCount - 100));
    EXPECT_EQ(list.back().APhaseTmp, 100);
    EXPECT_EQ(mgr.Database()->AccessDepth(), 0);

    // Cut the file after a manager opened it: noticed before anything is
    // read through the layout the manager knows, and on every later query.
    const auto size = std::filesystem::file_size(file);
    list.clear();
    THisInfoDbMgr cut(file, false);
    std::filesystem::resize_file(file, size - 300 * 28);
    EXPECT_THROW(cut.QueryReadings(list, kDay, kDay + 1), EFileChanged);
    EXPECT_EQ(cut.Database()->AccessDepth(), 0);
    EXPECT_THROW(cut.QueryReadings(list, kDay, kDay + 1), EFileChanged);
    EXPECT_TRUE(list.empty());
}

// Listing every record walks the table in one file access as well: it fails
// cleanly while the file is held, leaves no access open, and once the
// records are in the cache it needs the file no more. A closed manager
// lists nothing and touches nothing.
TEST(HisInfoDbMgr, ListingSharesOneFileAccessAndLeavesNoneOpen) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    constexpr int kCount = 450;
    WriteReadings(file, kCount);
    THisInfoDbMgr mgr(file, false);
    std::vector<TTmpReading> list;
    {
        const TFileHeld held(file);
        EXPECT_THROW(mgr.ListRecords(list), EFOpenError);
        EXPECT_EQ(mgr.Database()->AccessDepth(), 0);
        EXPECT_TRUE(list.empty());
    }
    mgr.ListRecords(list);
    ASSERT_EQ(list.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) ASSERT_EQ(list[i].APhaseTmp, i);
    EXPECT_EQ(mgr.Database()->AccessDepth(), 0);

    list.clear();
    {
        const TFileHeld held(file);
        mgr.ListRecords(list, 10);
        EXPECT_EQ(list.size(), 10u);
        EXPECT_EQ(list.back().APhaseTmp, 9);
    }

    mgr.Close();
    list.clear();
    mgr.ListRecords(list);
    std::vector<TTmpReading> queried;
    EXPECT_EQ(mgr.QueryReadings(queried, kDay, kDay + 1), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(queried.empty());
}

// The walk begins its access at the first record the cache cannot serve and
// holds it (the file locked against other openers) until Finish, or until
// it goes out of scope on a failure.
TEST(HisInfoDbMgr, TableWalkHoldsOneAccessFromTheFirstUncachedRecord) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    WriteReadings(file, 300);
    auto lockable = [&] {
        const int handle = ::open(file.c_str(), O_RDONLY);
        const bool locked = handle >= 0 && ::flock(handle, LOCK_EX | LOCK_NB) == 0;
        if (handle >= 0) ::close(handle);
        return locked;
    };
    THisInfoDbMgr mgr(file, false);
    std::optional<TTmpReading> item;
    mgr.GetRecord(299, item);  // brings the newest batch into the cache
    ASSERT_TRUE(item);
    TVeltDatabase& database = *mgr.Database();
    {
        TTableWalk walk(mgr.Table());
        walk.Before(299);
        EXPECT_FALSE(walk.Accessing());
        EXPECT_EQ(database.AccessDepth(), 0);
        walk.Before(0);
        EXPECT_TRUE(walk.Accessing());
        EXPECT_EQ(database.AccessDepth(), 1);
        EXPECT_FALSE(lockable());
        mgr.GetRecord(0, item);
        walk.Before(1);
        EXPECT_EQ(database.AccessDepth(), 1);
        walk.Finish();
        EXPECT_EQ(database.AccessDepth(), 0);
        EXPECT_TRUE(lockable());
    }
    {
        TTableWalk walk(mgr.Table());
        walk.Before(150);
        EXPECT_EQ(database.AccessDepth(), 1);
    }
    EXPECT_EQ(database.AccessDepth(), 0);
    EXPECT_TRUE(lockable());
}

// A long query tells its progress every few thousand samples, against the
// number of samples the range holds, and gives the same rows as without it;
// a progress that says stop ends the walk at once, keeping what was found.
TEST(HisInfoDbMgr, QueryWithProgressReportsAndStopsOnRequest) {
    TTempDir tmp;
    const std::string file = tmp.File("HistoryData.dt");
    constexpr int kCount = 2 * kWalkProgressStride + 100;
    WriteReadings(file, kCount);
    THisInfoDbMgr mgr(file, THisInfoDbMgr::TSharedRead{});
    const TDateTime begin = kDay + 50 * kMinute;
    const TDateTime end = kDay + (kCount - 20) * kMinute;
    std::vector<TTmpReading> plain;
    mgr.QueryReadings(plain, begin, end);

    std::vector<std::pair<int64_t, int64_t>> told;
    std::vector<TTmpReading> list;
    EXPECT_TRUE(mgr.QueryReadings(list, begin, end, [&](int64_t done, int64_t total) {
        told.emplace_back(done, total);
        return true;
    }));
    ASSERT_EQ(list.size(), plain.size());
    for (size_t i = 0; i < list.size(); ++i) {
        ASSERT_EQ(list[i].RecordId, plain[i].RecordId) << "at " << i;
        ASSERT_EQ(list[i].DateTime, plain[i].DateTime) << "at " << i;
    }
    ASSERT_EQ(told.size(), 2u);
    for (size_t i = 0; i < told.size(); ++i) {
        EXPECT_EQ(told[i].first, static_cast<int64_t>((i + 1) * kWalkProgressStride - 1));
        EXPECT_EQ(told[i].second, static_cast<int64_t>(plain.size()));
    }

    // Stopped at the second report: only the samples read before it.
    list.clear();
    int calls = 0;
    EXPECT_FALSE(
        mgr.QueryReadings(list, begin, end, [&](int64_t, int64_t) { return ++calls < 2; }));
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(list.size(), static_cast<size_t>(2 * kWalkProgressStride - 1));
    EXPECT_EQ(list.back().RecordId, plain[list.size() - 1].RecordId);
}
