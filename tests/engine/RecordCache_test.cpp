#include "engine/RecordCache.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "EngineTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"

using namespace enginetest;

TEST(TMap, SearchReportsWhereItStoppedAndHow) {
    TMap<int32_t> map;
    int32_t result = 99;
    EXPECT_EQ(map.Search(5, result), -1);
    EXPECT_EQ(result, -2);
    bool found = true;
    EXPECT_EQ(map.FindInsertIndex(5, found), 0);
    EXPECT_FALSE(found);
    for (int32_t key : {10, 20, 30, 40}) ASSERT_TRUE(map.Add(key, key * 2));
    EXPECT_EQ(map.Search(30, result), 2);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(map.IndexOf(30), 2);
    EXPECT_EQ(map.IndexOf(35), -1);
    map.Search(45, result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(map.FindInsertIndex(45, found), 4);
    map.Search(5, result);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(map.FindInsertIndex(5, found), 0);
    EXPECT_EQ(map.FindInsertIndex(25, found), 2);
    EXPECT_EQ(map.FindInsertIndex(20, found), 2);
    EXPECT_TRUE(found);
}

TEST(TMap, AddKeepsKeysAscendingAndRefusesDuplicates) {
    TMap<int32_t> map;
    for (int32_t key : {5, 1, 9, 3, 7, -2}) ASSERT_TRUE(map.Add(key, key + 100));
    EXPECT_FALSE(map.Add(9, 0));
    int32_t key = 0, value = 0;
    std::vector<int32_t> keys;
    for (int32_t i = 0; map.GetAt(i, key, value); ++i) {
        keys.push_back(key);
        EXPECT_EQ(value, key + 100);
    }
    EXPECT_EQ(keys, (std::vector<int32_t>{-2, 1, 3, 5, 7, 9}));
    EXPECT_FALSE(map.GetAt(-1, key, value));
    EXPECT_EQ(map.LastKey(), 9);
    EXPECT_TRUE(map.TryGetValue(3, value));
    EXPECT_EQ(value, 103);
    EXPECT_FALSE(map.TryGetValue(4, value));
    EXPECT_EQ(map.Remove(3), 103);
    EXPECT_EQ(map.Remove(3), std::nullopt);
    EXPECT_EQ(map.RemoveAt(0), 98);
    EXPECT_EQ(map.RemoveAt(10), std::nullopt);
    EXPECT_FALSE(map.ContainsKey(-2));
    EXPECT_EQ(map.Count(), 4);
    map.Clear();
    EXPECT_EQ(map.LastKey(), 0);
}

namespace {

class CacheTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");
    TVeltDatabase Db;
    std::unique_ptr<TVeltTable> Table;

    void Fill(int32_t count, int32_t cacheSize) {
        CreateHistoryDatabase(Path);
        ASSERT_TRUE(Db.Open(Path, ""));
        Db.SetCacheSize(cacheSize);
        Table = std::make_unique<TVeltTable>(&Db);
        Table->Open(kHisTable);
        for (int32_t i = 1; i <= count; ++i) {
            Table->Append(MakeSample(i, i).Bytes, kHisRecordSize);
        }
        Table->Open(kHisTable);
    }
};

}  // namespace

TEST_F(CacheTest, MissReadsABatchOfLiveNeighbours) {
    Fill(250, 5000);
    Table->Delete(5);
    TRecordCache cache(Table.get());
    std::vector<uint8_t> stored(Table->StoredRecordSize());
    cache.Get(3, stored.data());
    EXPECT_EQ(StoredRecordId(stored.data()), 3);
    EXPECT_EQ(cache.Count(), 99) << "ids 3..102 minus the deleted one";
    EXPECT_FALSE(cache.Contains(5));
    EXPECT_TRUE(cache.Contains(102));
    EXPECT_FALSE(cache.Contains(103));
    cache.Remove(3);
    EXPECT_FALSE(cache.Contains(3));
    cache.Clear();
    EXPECT_EQ(cache.Count(), 0);
}

TEST_F(CacheTest, FullCacheEvictsOneRandomEntryPerNewRecord) {
    Fill(1000, 150);
    TRecordCache cache(Table.get());
    std::vector<uint8_t> stored(Table->StoredRecordSize(), 0);
    for (int32_t id = 1; id <= 150; ++id) {
        stored[2] = static_cast<uint8_t>(id);
        cache.Put(id, stored.data());
    }
    EXPECT_EQ(cache.Count(), 150);
    EXPECT_TRUE(cache.MakeRoom());
    EXPECT_EQ(cache.Count(), 149);
    cache.Put(151, stored.data());
    EXPECT_EQ(cache.Count(), 150);
    EXPECT_FALSE(cache.MakeRoom() && cache.Count() > 149);
    // Over many fresh records every old one gets a fair chance to go: not
    // just the newest or the oldest.
    int32_t early = 0, late = 0;
    for (int32_t id = 1000; id < 1300; ++id) cache.Put(id, stored.data());
    for (int32_t id = 1; id <= 75; ++id) early += cache.Contains(id);
    for (int32_t id = 76; id <= 150; ++id) late += cache.Contains(id);
    EXPECT_LT(early, 75);
    EXPECT_LT(late, 75);
    EXPECT_EQ(cache.Count(), 150);
}

TEST_F(CacheTest, PutOverwritesAnExistingEntry) {
    Fill(10, 5000);
    TRecordCache cache(Table.get());
    std::vector<uint8_t> stored(Table->StoredRecordSize(), 1);
    cache.Put(4, stored.data());
    stored.assign(stored.size(), 2);
    cache.Put(4, stored.data());
    EXPECT_EQ(cache.Count(), 1);
    std::vector<uint8_t> back(stored.size());
    cache.Get(4, back.data());
    EXPECT_EQ(back, stored);
}

TEST_F(CacheTest, UnboundedCacheKeepsEverything) {
    Fill(700, 0);
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t p = 0; p < 700; ++p) ASSERT_TRUE(Table->ReadRecord(p, id, data));
    EXPECT_EQ(Table->Cache().Count(), 700);
}

namespace {

// What a read of the record at File offset Position returns: its stored
// data part deciphered over the whole record size.
std::vector<uint8_t> StoredDataAsRead(TVeltDatabase& db, const std::string& path,
                                      int32_t position) {
    const std::vector<uint8_t> file = ReadBytes(path);
    std::vector<uint8_t> data(file.begin() + position + 10,
                              file.begin() + position + 10 + kHisRecordSize);
    db.DecryptData(data.data(), kHisRecordSize);
    return data;
}

}  // namespace

// The cache keeps records deciphered. A record that was just written is
// served from its copy, one read after reopening from the file; both give
// the stored bytes deciphered over the whole record, also when fewer bytes
// were written than the record holds.
TEST_F(CacheTest, CopiesOfWrittenRecordsReadAsTheStoredRecords) {
    Fill(3, 5000);
    std::vector<uint8_t> source(kHisRecordSize);
    for (int32_t i = 0; i < kHisRecordSize; ++i) source[i] = static_cast<uint8_t>(0xC0 + i);
    std::vector<int32_t> ids;
    for (int32_t size : {kHisRecordSize, 10, 8, 1, 0}) {
        ids.push_back(Table->Append(source.data(), size));
    }
    Table->Update(2, source.data(), 13);
    ids.push_back(2);
    std::vector<std::vector<uint8_t>> fresh;
    for (int32_t id : ids) {
        std::vector<uint8_t> data(kHisRecordSize);
        ASSERT_TRUE(Table->ReadRecordById(id, data.data()));
        EXPECT_EQ(data, StoredDataAsRead(Db, Path, Table->RecordPosition(id))) << "id " << id;
        fresh.push_back(data);
    }
    EXPECT_EQ(fresh[0], source) << "a whole record reads back as written";
    Table->Open(kHisTable);
    for (size_t i = 0; i < ids.size(); ++i) {
        std::vector<uint8_t> data(kHisRecordSize);
        ASSERT_TRUE(Table->ReadRecordById(ids[i], data.data()));
        EXPECT_EQ(data, fresh[i]) << "id " << ids[i];
    }
}

TEST_F(CacheTest, UnencryptedRecordsReadAsStoredWithAndWithoutTheirCopies) {
    TVeltDatabase db;
    ASSERT_TRUE(db.CreateDatabase(Path, false, "Zlib", false, "Blowfish", ""));
    ASSERT_TRUE(db.Open(Path, ""));
    ASSERT_TRUE(db.CreateTable(kHisTable, kHisRecordSize, 0, 4));
    ASSERT_TRUE(db.CreateIndex(kHisTable, kHisIndex, 0, ftDateTime));
    TVeltTable table(&db);
    table.Open(kHisTable);
    for (int32_t i = 1; i <= 9; ++i) table.Append(MakeSample(i, i).Bytes, i == 5 ? 9 : 18);
    std::vector<uint8_t> file = ReadBytes(Path);
    auto check = [&] {
        for (int32_t id = 1; id <= 9; ++id) {
            uint8_t data[kHisRecordSize];
            ASSERT_TRUE(table.ReadRecordById(id, data));
            const int32_t at = table.RecordPosition(id) + 10;
            EXPECT_EQ(std::memcmp(data, &file[at], kHisRecordSize), 0) << "id " << id;
        }
    };
    check();
    table.Open(kHisTable);
    check();
}

// Appends, updates, deletes, reads by position and by id, emptying and
// reopening, through a cache far smaller than the table, against a plain
// model of the table: every read gives the model's bytes, whatever was
// evicted, moved or removed before.
TEST_F(CacheTest, RandomOperationsThroughASmallCacheAgreeWithAModel) {
    Fill(0, 7);
    std::map<int32_t, std::vector<uint8_t>> model;
    std::mt19937 random(77);
    auto pick = [&](int32_t n) { return std::uniform_int_distribution<int32_t>(0, n - 1)(random); };
    auto anyLiveId = [&] {
        auto it = model.begin();
        std::advance(it, pick(static_cast<int32_t>(model.size())));
        return it->first;
    };
    int32_t tag = 0;
    for (int32_t step = 0; step < 3000; ++step) {
        const int32_t action = pick(100);
        const TSample sample = MakeSample(40000 + step, ++tag);
        const std::vector<uint8_t> bytes(sample.Bytes, sample.Bytes + kHisRecordSize);
        if (action < 40 || model.empty()) {
            const int32_t wanted = pick(4) == 0 ? 1 + pick(2000) : 0;
            if (wanted != 0 && model.count(wanted) != 0) continue;
            model[Table->Append(bytes.data(), kHisRecordSize, wanted)] = bytes;
        } else if (action < 55) {
            const int32_t id = anyLiveId();
            Table->Update(id, bytes.data(), kHisRecordSize);
            model[id] = bytes;
        } else if (action < 65) {
            const int32_t id = anyLiveId();
            Table->Delete(id);
            model.erase(id);
        } else if (action < 80) {
            const int32_t position = pick(static_cast<int32_t>(model.size()));
            auto it = model.begin();
            std::advance(it, position);
            int32_t id = 0;
            std::vector<uint8_t> data(kHisRecordSize);
            ASSERT_TRUE(Table->ReadRecord(position, id, data.data()));
            ASSERT_EQ(id, it->first) << "step " << step;
            ASSERT_EQ(data, it->second) << "step " << step << " id " << id;
        } else if (action < 97) {
            const int32_t id = anyLiveId();
            std::vector<uint8_t> data(kHisRecordSize);
            ASSERT_TRUE(Table->ReadRecordById(id, data.data()));
            ASSERT_EQ(data, model[id]) << "step " << step << " id " << id;
        } else if (action < 99) {
            Table->Open(kHisTable);
        } else {
            Table->EmptyTable();
            model.clear();
        }
        ASSERT_LE(Table->Cache().Count(), 7);
        ASSERT_EQ(Table->RecordCount(), static_cast<int32_t>(model.size()));
    }
}

// The directory from slots to cached records keeps pages only where cached
// records are: a walk through a table many times the cache's size leaves a
// handful of pages, not one per thousand slots of the table.
TEST_F(CacheTest, SlotDirectoryReleasesThePagesOfEvictedRecords) {
    Fill(20000, 150);
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t p = Table->RecordCount() - 1; p >= 0; --p) {
        ASSERT_TRUE(Table->ReadRecord(p, id, data));
        ASSERT_LE(Table->Cache().DirectoryPages(), 4) << "at position " << p;
    }
    EXPECT_EQ(Table->Cache().Count(), 150);
    Table->EmptyTable();
    EXPECT_EQ(Table->Cache().DirectoryPages(), 0);
}

// The record size comes from the file: a table of records far larger than
// the station's gets room for the copies it reads, not for 256 at once.
TEST_F(CacheTest, LargeRecordsGetRoomForTheCopiesReadOnly) {
    constexpr int32_t kLarge = 1 << 20;
    CreateStandardDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    ASSERT_TRUE(Db.CreateTable("Large", kLarge, 0, 1));
    Table = std::make_unique<TVeltTable>(&Db);
    Table->Open("Large");
    std::vector<uint8_t> data(kLarge, 7);
    Table->Append(data.data(), kLarge);
    Table->Append(data.data(), kLarge);
    Table->Open("Large");
    int32_t id = 0;
    ASSERT_TRUE(Table->ReadRecord(0, id, data.data()));
    EXPECT_EQ(Table->Cache().Count(), 2);
    EXPECT_LE(Table->Cache().BlockBytes(), size_t{2} * Table->StoredRecordSize());
    EXPECT_EQ(data[kLarge - 1], 7);
}

// A long walk through a full cache keeps what the cache held: the records
// it passes are served from their batch instead of evicting others, so the
// newest records read first are still there for the next query.
TEST_F(CacheTest, WalkThroughAFullCacheKeepsWhatItHeld) {
    Fill(3000, 150);
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t p = 2999; Table->Cache().Count() < 150; --p) {
        ASSERT_TRUE(Table->ReadRecord(p, id, data));
    }
    std::vector<int32_t> held;
    for (int32_t i = 1; i <= 3000; ++i) {
        if (Table->Cache().Contains(i)) held.push_back(i);
    }
    for (int32_t pass = 0; pass < 2; ++pass) {
        for (int32_t p = 2999; p >= 0; --p) {
            ASSERT_TRUE(Table->ReadRecord(p, id, data));
            ASSERT_EQ(id, p + 1);
            ASSERT_EQ(SampleTime(data), id);
        }
    }
    for (const int32_t kept : held) EXPECT_TRUE(Table->Cache().Contains(kept)) << kept;
    // A record put still takes a random entry's place.
    Table->Update(5, MakeSample(5, 5).Bytes, kHisRecordSize);
    EXPECT_TRUE(Table->Cache().Contains(5));
    EXPECT_EQ(Table->Cache().Count(), 150);
}
