#include "engine/VeltTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>

#include "EngineTestSupport.h"
#include "algorithms/Stream.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltIndex.h"

using namespace enginetest;

namespace {

class TableTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");
    std::unique_ptr<TVeltDatabase> Db;
    std::unique_ptr<TVeltTable> Table;

    void SetUp() override { CreateHistoryDatabase(Path); }

    void OpenTable(const char* name = kHisTable) {
        Table.reset();
        Db = std::make_unique<TVeltDatabase>();
        ASSERT_TRUE(Db->Open(Path, ""));
        Table = std::make_unique<TVeltTable>(Db.get());
        Table->Open(name);
    }

    int32_t AppendSample(double time, int32_t tag, int32_t id = 0) {
        const TSample sample = MakeSample(time, tag);
        return Table->Append(sample.Bytes, kHisRecordSize, id);
    }

    std::vector<int32_t> Ids() {
        std::vector<int32_t> ids;
        uint8_t data[kHisRecordSize];
        int32_t id;
        for (int32_t p = 0; Table->ReadRecord(p, id, data); ++p) ids.push_back(id);
        return ids;
    }
};

}  // namespace

TEST_F(TableTest, HistoryTableLayoutIsByteExact) {
    std::vector<uint8_t> bytes = ReadBytes(Path);
    ASSERT_EQ(bytes.size(), 6246u);
    EXPECT_EQ(DefinitionOffset(bytes), 4796);
    EXPECT_EQ(std::memcmp(&bytes[4796], &bytes[5521], kTableDefSize), 0);

    OpenTable();
    EXPECT_EQ(Table->HeaderSize(), 10);
    EXPECT_EQ(Table->StoredRecordSize(), 28);
    EXPECT_EQ(AppendSample(45000.25, 1), 1);
    bytes = ReadBytes(Path);
    ASSERT_EQ(bytes.size(), 6246u + 256 * 28) << "the first append allocates Capacity slots";
    TTableDef def;
    std::memcpy(&def, &bytes[4796], sizeof def);
    EXPECT_EQ(def.GrowthOffset.Get(), 6246);
    EXPECT_EQ(def.GrowthCount.Get(), 1);
    EXPECT_EQ(def.GrowthCapacity.Get(), 256);
    EXPECT_EQ(def.PrimaryCount.Get(), 0);
    EXPECT_EQ(def.Indexes[0].Head.Get(), 0);
    EXPECT_EQ(std::memcmp(&bytes[4796], &bytes[5521], kTableDefSize), 0);
    EXPECT_EQ(bytes[6246], 0xAA);
    EXPECT_EQ(bytes[6247], 0);
    EXPECT_EQ(Le32At(bytes, 6248), 1);
    EXPECT_EQ(Le32At(bytes, 6252), -1) << "the only record ends the chain";
    const TSample sample = MakeSample(45000.25, 1);
    EXPECT_NE(std::memcmp(&bytes[6256], sample.Bytes, 18), 0) << "the data part is enciphered";

    for (int i = 2; i <= 256; ++i) AppendSample(45000.25 + i, i);
    EXPECT_EQ(FileSize(Path), 6246 + 7168);
    AppendSample(46000, 257);
    bytes = ReadBytes(Path);
    ASSERT_EQ(bytes.size(), 6246u + 2 * 7168) << "the 257th append doubles the area in place";
    std::memcpy(&def, &bytes[4796], sizeof def);
    EXPECT_EQ(def.GrowthOffset.Get(), 6246);
    EXPECT_EQ(def.GrowthCapacity.Get(), 512);
    EXPECT_EQ(def.GrowthCount.Get(), 257);
    EXPECT_EQ(Le32At(bytes, 6246 + 256 * 28 + 2), 257);
}

TEST_F(TableTest, GrowthAreaMovesToTheEndWhenSomethingFollowsIt) {
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Path, ""));
        ASSERT_TRUE(db.CreateTable("Other", 4, 0, 2));
    }
    Db = std::make_unique<TVeltDatabase>();
    ASSERT_TRUE(Db->Open(Path, ""));
    TVeltTable history(Db.get()), other(Db.get());
    history.Open(kHisTable);
    other.Open("Other");
    const uint8_t small[4] = {1, 2, 3, 4};
    // other: 4 + 6 = 10-byte records, capacity 2.
    other.Append(small, 4);
    const TSample first = MakeSample(1, 1), second = MakeSample(2, 2);
    history.Append(first.Bytes, 18);  // allocated after other's area
    other.Append(small, 4);
    other.Append(small, 4);  // other's area no longer ends the file: it moves
    std::vector<uint8_t> bytes = ReadBytes(Path);
    const int32_t otherDef = DefinitionOffset(bytes, 1);
    TTableDef def;
    std::memcpy(&def, &bytes[otherDef], sizeof def);
    const int32_t oldOther = 6246 + 1450;
    const int32_t historyArea = oldOther + 2 * 10;
    EXPECT_EQ(def.GrowthOffset.Get(), historyArea + 256 * 28);
    EXPECT_EQ(def.GrowthCapacity.Get(), 4);
    EXPECT_EQ(def.GrowthCount.Get(), 3);
    EXPECT_EQ(bytes.size(), static_cast<size_t>(historyArea + 256 * 28 + 2 * 10 + 2 * 10));
    EXPECT_EQ(std::memcmp(&bytes[oldOther], &bytes[def.GrowthOffset.Get()], 20), 0)
        << "the used part was copied";
    history.Append(second.Bytes, 18);

    OpenTable("Other");
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 3}));
    uint8_t data[4];
    ASSERT_TRUE(Table->ReadRecordById(3, data));
    EXPECT_EQ(std::memcmp(data, small, 4), 0);
    OpenTable();
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2}));
}

TEST_F(TableTest, AutomaticAndExplicitIds) {
    OpenTable();
    EXPECT_EQ(AppendSample(1, 1), 1);
    for (int i = 2; i <= 5; ++i) EXPECT_EQ(AppendSample(i, i), i);
    EXPECT_EQ(AppendSample(6, 6), 6);
    EXPECT_EQ(AppendSample(7, 7, 10), 10);
    EXPECT_EQ(AppendSample(8, 8), 11);
    EXPECT_EQ(AppendSample(9, 9, 8), 8);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 8, 10, 11}));
    const int64_t size = FileSize(Path);
    const std::vector<uint8_t> before = ReadBytes(Path);
    EXPECT_THROW(AppendSample(10, 10, 8), EVeltError);
    EXPECT_EQ(ReadBytes(Path), before) << "a duplicate id writes nothing";
    EXPECT_EQ(FileSize(Path), size);
}

TEST_F(TableTest, PositionsAfterDeleteAndReuseOfTheLargestId) {
    OpenTable();
    for (int i = 1; i <= 5; ++i) AppendSample(i, i);
    Table->Delete(3);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 4, 5}));
    int32_t id = 0;
    uint8_t data[kHisRecordSize];
    EXPECT_FALSE(Table->ReadRecord(4, id, data));
    EXPECT_FALSE(Table->ReadRecord(-1, id, data));
    EXPECT_FALSE(Table->ReadRecordById(3, data));
    ASSERT_TRUE(Table->ReadRecord(2, id, data));
    EXPECT_EQ(id, 4);
    EXPECT_EQ(SampleTime(data), 4);

    const std::vector<uint8_t> bytes = ReadBytes(Path);
    EXPECT_EQ(bytes[6246 + 2 * 28 + 1], 1) << "the deleted record keeps its slot, flagged";
    Table->Delete(5);
    EXPECT_EQ(AppendSample(50, 50), 5) << "the largest id is reused";
    OpenTable();
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 4, 5}));
    ASSERT_TRUE(Table->ReadRecordById(5, data));
    EXPECT_EQ(SampleTime(data), 50);
    EXPECT_EQ(Table->RecordPosition(5), 6246 + 5 * 28);
}

TEST_F(TableTest, RecordsPersistAcrossCloseAndReopen) {
    OpenTable();
    for (int i = 1; i <= 300; ++i) AppendSample(40000 + i / 1440.0, i);
    Table->Update(7, MakeSample(40000 + 7 / 1440.0, 700).Bytes, kHisRecordSize);
    Table->Delete(9);
    Table->Close();
    EXPECT_EQ(Table->RecordCount(), 0);
    OpenTable();
    ASSERT_EQ(Table->RecordCount(), 299);
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t p = 0; p < 299; ++p) {
        ASSERT_TRUE(Table->ReadRecord(p, id, data));
        const int32_t tag = id == 7 ? 700 : id;
        EXPECT_EQ(std::memcmp(data, MakeSample(40000 + id / 1440.0, tag).Bytes, 18), 0) << id;
    }
}

TEST_F(TableTest, EmptyTableStartsAgainAtIdOneInTheSameArea) {
    OpenTable();
    for (int i = 1; i <= 10; ++i) AppendSample(i, i);
    const int64_t size = FileSize(Path);
    Table->EmptyTable();
    EXPECT_EQ(Table->RecordCount(), 0);
    std::vector<uint8_t> bytes = ReadBytes(Path);
    TTableDef def;
    std::memcpy(&def, &bytes[4796], sizeof def);
    EXPECT_EQ(def.GrowthCount.Get(), 0);
    EXPECT_EQ(def.GrowthOffset.Get(), 6246);
    EXPECT_EQ(def.GrowthCapacity.Get(), 256);
    EXPECT_EQ(def.Indexes[0].Head.Get(), -1);
    EXPECT_EQ(AppendSample(99, 99), 1);
    EXPECT_EQ(Table->RecordPosition(1), 6246) << "the area is reused from its first slot";
    EXPECT_EQ(FileSize(Path), size);
    OpenTable();
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1}));
    Table->EmptyTable();
    OpenTable();
    EXPECT_EQ(Table->RecordCount(), 0);
    EXPECT_EQ(Table->Index(0).Ids().size(), 0u);
}

TEST_F(TableTest, SizesOtherThanRecordSizeAreClamped) {
    OpenTable();
    std::vector<uint8_t> big(40, 0x5A);
    PutDoubleLe(big.data(), 12.5);
    const int32_t id = Table->Append(big.data(), 40);
    uint8_t data[kHisRecordSize];
    ASSERT_TRUE(Table->ReadRecordById(id, data));
    EXPECT_EQ(std::memcmp(data, big.data(), kHisRecordSize), 0);
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    EXPECT_EQ(bytes[6246 + 28], 0) << "nothing beyond the stored record was written";
    EXPECT_NO_THROW(Table->Append(big.data(), -5)) << "a negative size stores no data";
    EXPECT_NO_THROW(Table->Append(big.data(), 3));
    EXPECT_EQ(Table->RecordCount(), 3);
}

TEST_F(TableTest, ManyRecordsReadCorrectlyThroughTheEvictingCache) {
    constexpr int32_t kCount = 6000;
    OpenTable();
    for (int32_t i = 1; i <= kCount; ++i) AppendSample(41000 + i / 1440.0, i);
    EXPECT_LE(Table->Cache().Count(), 5000);
    OpenTable();
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t pass = 0; pass < 2; ++pass) {
        for (int32_t p = 0; p < kCount; ++p) {
            const int32_t position = pass == 0 ? p : kCount - 1 - p;
            ASSERT_TRUE(Table->ReadRecord(position, id, data));
            ASSERT_EQ(id, position + 1);
            ASSERT_EQ(std::memcmp(data, MakeSample(41000 + id / 1440.0, id).Bytes, 18), 0) << id;
        }
        EXPECT_EQ(Table->Cache().Count(), 5000) << "the cache holds at most CacheSize records";
    }
    // Random order too.
    for (int32_t k = 0; k < 3000; ++k) {
        const int32_t position = static_cast<int32_t>((k * 7919L) % kCount);
        ASSERT_TRUE(Table->ReadRecord(position, id, data));
        ASSERT_EQ(SampleTime(data), 41000 + id / 1440.0);
    }
}

TEST_F(TableTest, ReadAheadStopsAtTheAreaEnd) {
    OpenTable();
    for (int i = 1; i <= 150; ++i) AppendSample(i, i);
    TMemoryStream stream;
    EXPECT_EQ(Table->ReadAhead(1, stream), 100);
    EXPECT_EQ(stream.Length(), 100 * 28);
    EXPECT_EQ(Table->ReadAhead(120, stream), 31);
    EXPECT_EQ(StoredRecordId(stream.Memory()), 120);
    EXPECT_EQ(StoredRecordId(stream.Memory() + 30 * 28), 150);
    EXPECT_THROW(Table->ReadAhead(151, stream), EVeltError);
}

TEST_F(TableTest, BackwardReadsFetchTheRecordsBefore) {
    OpenTable();
    for (int i = 1; i <= 400; ++i) AppendSample(i, i);
    OpenTable();
    uint8_t data[kHisRecordSize];
    int32_t id;
    ASSERT_TRUE(Table->ReadRecord(399, id, data));  // newest: nothing after it
    EXPECT_TRUE(Table->Cache().Contains(301));
    EXPECT_FALSE(Table->Cache().Contains(300));
    ASSERT_TRUE(Table->ReadRecord(299, id, data));  // walking backwards
    EXPECT_TRUE(Table->Cache().Contains(201));
    EXPECT_FALSE(Table->Cache().Contains(200));
    ASSERT_TRUE(Table->ReadRecord(9, id, data));  // near the start: shifted into the area
    EXPECT_TRUE(Table->Cache().Contains(1));
    EXPECT_TRUE(Table->Cache().Contains(100));
}

TEST_F(TableTest, MissingMarkerInABatchIsCorrupt) {
    OpenTable();
    for (int i = 1; i <= 5; ++i) AppendSample(i, i);
    Table.reset();
    std::vector<uint8_t> bytes = ReadBytes(Path);
    bytes[6246 + 3 * 28] = 0xAB;
    WriteBytes(Path, bytes);
    OpenTable();
    EXPECT_EQ(Table->RecordCount(), 5) << "open does not look at the marker";
    uint8_t data[kHisRecordSize];
    int32_t id;
    EXPECT_THROW(Table->ReadRecord(0, id, data), EVeltFileCorrupt);
    Table->SetMarkerCheck(false);
    EXPECT_TRUE(Table->ReadRecord(0, id, data));
}

TEST_F(TableTest, TableOpenedWithoutIndexesReadsButDoesNotModify) {
    OpenTable();
    for (int i = 1; i <= 3; ++i) AppendSample(i, i);
    Table->Open(kHisTable, false);
    EXPECT_EQ(Table->IndexCount(), 0);
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_THROW(AppendSample(4, 4), EVeltError);
    EXPECT_THROW(Table->Delete(1), EVeltError);
    Table->EmptyTable();
    OpenTable();
    EXPECT_EQ(Table->RecordCount(), 0) << "emptied consistently: the chain head is -1";
}

TEST_F(TableTest, DuplicateLiveIdsKeepTheFirstSlot) {
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Path, ""));
        ASSERT_TRUE(db.CreateTable("Plain", 4, 0, 4));
    }
    OpenTable("Plain");
    const uint8_t a[4] = {1, 1, 1, 1}, b[4] = {2, 2, 2, 2};
    Table->Append(a, 4, 1);
    Table->Append(b, 4, 2);
    Table.reset();
    std::vector<uint8_t> bytes = ReadBytes(Path);
    TTableDef def;
    std::memcpy(&def, &bytes[DefinitionOffset(bytes, 1)], sizeof def);
    PutLe32At(bytes, def.GrowthOffset.Get() + 10 + 2, 1);  // second slot claims id 1
    WriteBytes(Path, bytes);
    OpenTable("Plain");
    EXPECT_EQ(Ids(), (std::vector<int32_t>{1}));
    uint8_t data[4];
    ASSERT_TRUE(Table->ReadRecordById(1, data));
    EXPECT_EQ(std::memcmp(data, a, 4), 0);
}

// A caller that walks many records brackets the walk: the file is opened
// once for it, held (a second opener is refused) and closed at the end.
TEST_F(TableTest, WalkInsideOneAccessBracketOpensTheFileOnce) {
    OpenTable();
    for (int i = 1; i <= 450; ++i) AppendSample(i, i);
    OpenTable();
    Table->BeginAccess();
    const TVeltFileStream* stream = Db->FileIO().Stream();
    ASSERT_NE(stream, nullptr);
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t p = Table->RecordCount() - 1; p >= 0; --p) {
        ASSERT_TRUE(Table->ReadRecord(p, id, data));
        ASSERT_EQ(std::memcmp(data, MakeSample(id, id).Bytes, kHisRecordSize), 0) << id;
        ASSERT_EQ(Db->FileIO().Stream(), stream) << "reopened at position " << p;
    }
    TVeltDatabase other;
    EXPECT_THROW(other.Open(Path, ""), EFOpenError);
    Table->EndAccess();
    EXPECT_EQ(Db->AccessDepth(), 0);
    EXPECT_FALSE(Db->FileIO().IsOpen());
    EXPECT_TRUE(other.Open(Path, ""));
}

// A read that fails inside the caller's bracket undoes only its own part:
// the file stays open for the caller, whose EndAccess closes it.
TEST_F(TableTest, FailedReadInsideABracketLeavesTheBracketToItsCaller) {
    OpenTable();
    for (int i = 1; i <= 300; ++i) AppendSample(i, i);
    Table.reset();
    std::vector<uint8_t> bytes = ReadBytes(Path);
    bytes[6246 + 150 * 28] = 0xAB;  // the marker of id 151
    WriteBytes(Path, bytes);
    OpenTable();
    Table->BeginAccess();
    uint8_t data[kHisRecordSize];
    int32_t id;
    ASSERT_TRUE(Table->ReadRecord(299, id, data));
    EXPECT_THROW(Table->ReadRecord(199, id, data), EVeltFileCorrupt);
    EXPECT_EQ(Db->AccessDepth(), 1);
    EXPECT_TRUE(Db->FileIO().IsOpen());
    EXPECT_TRUE(Table->ReadRecord(250, id, data)) << "cached before the failure";
    ASSERT_TRUE(Table->ReadRecord(60, id, data)) << "a batch without the damaged record";
    EXPECT_EQ(id, 61);
    Table->EndAccess();
    EXPECT_EQ(Db->AccessDepth(), 0);
    EXPECT_FALSE(Db->FileIO().IsOpen());
}

// Appends write ascending ids; another writer (or a damaged file) may leave
// them in any order in the slots. The map comes out the same as if they had
// been appended one by one: ascending, the first slot keeping an id that a
// later live slot repeats.
TEST_F(TableTest, IdsInAnyOrderAcrossTheSlotsMapLikeAppendedOnes) {
    constexpr int32_t kCount = 300;
    OpenTable();
    for (int32_t i = 1; i <= kCount; ++i) AppendSample(i, i);
    Table.reset();
    const std::vector<uint8_t> good = ReadBytes(Path);
    const int32_t growth = Le32At(good, DefinitionOffset(good) + 41);

    // Slot s holds the sample of time s + 1; the id of each slot is set.
    auto check = [&](const std::vector<int32_t>& slotIds, const char* what, bool indexes) {
        SCOPED_TRACE(what);
        std::vector<uint8_t> bytes = good;
        std::map<int32_t, int32_t> expected;  // id -> first slot
        for (int32_t s = 0; s < kCount; ++s) {
            PutLe32At(bytes, growth + s * kHisStoredSize + 2, slotIds[s]);
            expected.emplace(slotIds[s], s);
        }
        WriteBytes(Path, bytes);
        Db = std::make_unique<TVeltDatabase>();
        ASSERT_TRUE(Db->Open(Path, ""));
        Table = std::make_unique<TVeltTable>(Db.get());
        Table->Open(kHisTable, indexes);
        ASSERT_EQ(Table->RecordCount(), static_cast<int32_t>(expected.size()));
        int32_t p = 0;
        uint8_t data[kHisRecordSize];
        for (const auto& [id, slot] : expected) {
            int32_t read = 0;
            ASSERT_TRUE(Table->ReadRecord(p++, read, data));
            EXPECT_EQ(read, id);
            EXPECT_EQ(Table->SlotOf(id), slot);
            EXPECT_EQ(SampleTime(data), slot + 1) << "id " << id;
        }
        Table.reset();
    };

    std::vector<int32_t> ids(kCount);
    for (int32_t s = 0; s < kCount; ++s) ids[s] = 5000 - 7 * s;
    check(ids, "descending", true);
    std::mt19937 random(7);
    std::shuffle(ids.begin(), ids.end(), random);
    check(ids, "shuffled", true);
    ids[200] = ids[3];
    ids[250] = ids[3];
    ids[10] = ids[9];
    // The index chain runs through every slot, repeats too, which no writer
    // makes: read without the index.
    check(ids, "shuffled with repeats", false);
}

// The open refuses areas that share bytes; a batch still never relies on
// that: the area a slot belongs to is the one its number says.
TEST_F(TableTest, BatchStaysInsideTheAreaOfTheSlotWhereverTheAreasLie) {
    OpenTable();
    for (int32_t i = 1; i <= 150; ++i) AppendSample(i, i);
    TTableDef& def = Table->Definition();
    // Slots 0..49 read the growth area's first 50 records as a primary
    // area; slots 50..149 are the growth area's first 100 records.
    def.PrimaryOffset.Set(def.GrowthOffset.Get());
    def.PrimaryCount.Set(50);
    def.GrowthCount.Set(100);
    std::vector<uint8_t> out;
    for (const bool backward : {false, true}) {
        for (const int32_t slot : {50, 60, 149}) {
            const TReadBatch batch = Table->ReadBatchAt(slot, backward, out);
            EXPECT_EQ(batch.FirstSlot, 50) << slot;
            EXPECT_EQ(batch.Count, 100) << slot;
            EXPECT_EQ(batch.AskedIndex, slot - 50) << slot;
            EXPECT_EQ(out.size(), size_t{100} * kHisStoredSize);
        }
        const TReadBatch batch = Table->ReadBatchAt(10, backward, out);
        EXPECT_EQ(batch.FirstSlot, 0);
        EXPECT_EQ(batch.Count, 50);
    }
    TMemoryStream stream;
    EXPECT_EQ(Table->ReadAhead(61, stream), 90) << "id 61 sits in slot 60, 90 before the end";
    EXPECT_EQ(Table->ReadAhead(101, stream), 50) << "id 101 sits in slot 100, 50 before the end";
}

namespace {

// Appends to `table` until its room under `limit` is used up: the file stays
// within the limit all the while, and the very next append passes it.
void ExpectRoomEndsWhereTheFilePassesTheLimit(TVeltTable& table, const std::string& path,
                                              int64_t limit) {
    const TTableRoom room = table.Room(limit);
    ASSERT_GT(room.Total, room.Used);
    for (int64_t n = room.Used; n < room.Total; ++n) {
        const TSample sample = MakeSample(static_cast<double>(n), static_cast<int32_t>(n));
        table.Append(sample.Bytes, kHisRecordSize);
        ASSERT_LE(FileSize(path), limit) << "after slot " << n;
    }
    EXPECT_EQ(table.Room(limit).Used, room.Total);
    EXPECT_EQ(table.Room(limit).Total, room.Total);
    const TSample next = MakeSample(-1, -1);
    table.Append(next.Bytes, kHisRecordSize);
    EXPECT_GT(FileSize(path), limit);
}

}  // namespace

// The growth area doubles at each growth, so a table is full well before
// its file reaches the limit: a history file holds 2^26 samples in 1.75 GiB
// and cannot grow past that within the 2 GiB the format allows.
TEST_F(TableTest, RoomEndsAtTheLastGrowthThatFitsTheFileSizeLimit) {
    OpenTable();
    EXPECT_EQ(Table->Room().Used, 0);
    EXPECT_EQ(Table->Room().Total, int64_t{1} << 26);
    EXPECT_LT(6246 + (int64_t{1} << 26) * 28, kMaxFileSize);
    EXPECT_GT(6246 + (int64_t{2} << 26) * 28, kMaxFileSize);

    const std::string small = Dir.File("small.dt");
    CreateHistoryDatabase(small, 4);
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(small, ""));
    TVeltTable table(&db);
    table.Open(kHisTable);
    // Areas of 4, 8, 16, 32 and 64 slots of 28 bytes after 6246 bytes.
    const int64_t limit = 6246 + 64 * 28;
    EXPECT_EQ(table.Room(limit).Total, 64);
    EXPECT_EQ(table.Room(limit - 1).Total, 32);
    EXPECT_EQ(table.Room(6246 + 3 * 28).Total, 0) << "not even the first area fits";
    ExpectRoomEndsWhereTheFilePassesTheLimit(table, small, limit);
}

// Another table's area after the history's: the history's area moves to the
// end of the file at its next growth, which costs its used bytes once more.
TEST_F(TableTest, RoomCountsTheMoveOfAnAreaThatNoLongerEndsTheFile) {
    const std::string path = Dir.File("moving.dt");
    CreateHistoryDatabase(path, 4);
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(path, ""));
        ASSERT_TRUE(db.CreateTable("Other", 4, 0, 2));
    }
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(path, ""));
    TVeltTable history(&db), other(&db);
    history.Open(kHisTable);
    other.Open("Other");
    const TSample first = MakeSample(1, 1);
    history.Append(first.Bytes, kHisRecordSize);
    const uint8_t small[4] = {1, 2, 3, 4};
    other.Append(small, 4);  // allocated after the history's area
    const int64_t size = FileSize(path);
    // Full at 4 slots: the move and the doubling need 8 x 28 bytes more.
    EXPECT_EQ(history.Room(size + 8 * 28 - 1).Total, 4);
    EXPECT_EQ(history.Room(size + 8 * 28).Total, 8);
    ExpectRoomEndsWhereTheFilePassesTheLimit(history, path, size + 8 * 28 + 16 * 28);
}

namespace {

// A file image in memory that counts what the engine reads from it.
class TCountingStream final : public TStream {
  public:
    explicit TCountingStream(const std::vector<uint8_t>& bytes) {
        FImage.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    int32_t Read(void* buffer, int32_t count) override {
        ++Reads;
        const int32_t got = FImage.Read(buffer, count);
        BytesRead += got;
        return got;
    }
    int32_t Write(const void* buffer, int32_t count) override {
        return FImage.Write(buffer, count);
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        return FImage.Seek(offset, origin);
    }
    void SetSize(int64_t size) override { FImage.SetSize(size); }
    void ResetCounts() { Reads = BytesRead = 0; }

    int64_t Reads = 0;
    int64_t BytesRead = 0;

  private:
    TMemoryStream FImage;
};

// A history table in a stream: Count samples appended in time order.
class StreamTableTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");
    std::unique_ptr<TCountingStream> Stream;
    std::unique_ptr<TVeltDatabase> Db;
    std::unique_ptr<TVeltTable> Table;

    void Build(int32_t count, const std::function<void(TVeltTable&)>& more = {}) {
        CreateHistoryDatabase(Path);
        {
            TVeltDatabase db;
            ASSERT_TRUE(db.Open(Path, ""));
            TVeltTable table(&db);
            table.Open(kHisTable);
            for (int32_t i = 1; i <= count; ++i) {
                table.Append(MakeSample(41000 + i / 1440.0, i).Bytes, kHisRecordSize);
            }
            if (more) more(table);
        }
        Stream = std::make_unique<TCountingStream>(ReadBytes(Path));
    }

    void Open(int32_t cacheSize = TVeltDatabase::kDefaultCacheSize) {
        Table.reset();
        Db = std::make_unique<TVeltDatabase>();
        ASSERT_TRUE(Db->OpenStream(Stream.get(), ""));
        Db->SetCacheSize(cacheSize);
        Table = std::make_unique<TVeltTable>(Db.get());
        Table->Open(kHisTable);
    }
};

}  // namespace

// A table of appends is read once at open, however many windows it takes:
// the chain in slot order is checked while the ids are mapped, not walked
// again.
TEST_F(StreamTableTest, OpenReadsTheRecordsOfAnAppendedTableOnce) {
    constexpr int32_t kCount = 3000;
    constexpr int32_t kWide = 1000;  // 3 MB of records, three windows
    Build(0, [](TVeltTable& table) {
        TVeltDatabase& db = *table.Database();
        ASSERT_TRUE(db.CreateTable("Wide", kWide, 0, kHisCapacity));
        ASSERT_TRUE(db.CreateIndex("Wide", "Time", 0, ftDateTime));
        TVeltTable wide(&db);
        wide.Open("Wide");
        std::vector<uint8_t> record(kWide, 7);
        for (int32_t i = 1; i <= kCount; ++i) {
            PutDoubleLe(record.data(), i);
            wide.Append(record.data(), kWide);
        }
    });
    Open();
    Stream->ResetCounts();
    TVeltTable wide(Db.get());
    wide.Open("Wide");
    EXPECT_LT(Stream->BytesRead, int64_t{kCount} * kWide * 3 / 2);
    EXPECT_EQ(wide.Index(0).Ids().RunCount(), 1u);
    EXPECT_EQ(wide.Index(0).Ids().size(), static_cast<size_t>(kCount));
}

// Chains that go almost in slot order, broken in one place each, open as
// corrupt exactly as a walk of the chain finds them.
TEST_F(StreamTableTest, ChainsThatLeaveTheSlotOrderOnceAreStillChecked) {
    constexpr int32_t kCount = 300;
    constexpr size_t kFirstRecord = 6246;
    const auto link = [](int32_t slot) { return kFirstRecord + size_t{28} * slot + 6; };
    Build(kCount);
    const std::vector<uint8_t> good = ReadBytes(Path);
    const std::vector<std::function<void(std::vector<uint8_t>&)>> damages = {
        [&](auto& bytes) { PutLe32At(bytes, link(kCount - 1), 0); },   // the last loops back
        [&](auto& bytes) { PutLe32At(bytes, link(kCount - 1), 17); },  // the last goes on
        [&](auto& bytes) { PutLe32At(bytes, link(100), 102); },        // one live record skipped
        [&](auto& bytes) {
            bytes[kFirstRecord + 28 * 101 + 1] = 1;
        },                                                       // the chain through a deleted one
        [&](auto& bytes) { PutLe32At(bytes, link(100), 100); },  // a record linking to itself
    };
    for (size_t d = 0; d < damages.size(); ++d) {
        std::vector<uint8_t> bytes = good;
        damages[d](bytes);
        Stream = std::make_unique<TCountingStream>(bytes);
        EXPECT_THROW(Open(), EVeltFileCorrupt) << "damage " << d;
    }
    // Deleted records the chain steps over keep the slot order.
    Build(kCount, [](TVeltTable& table) {
        table.Delete(50);
        table.Delete(kCount);
    });
    Open();
    EXPECT_EQ(Table->Index(0).Ids().size(), static_cast<size_t>(kCount - 2));
    EXPECT_EQ(Table->Index(0).Ids()[49], 51);
}

// A walk inside one access reads the file in growing windows, not a batch
// at a time; outside an access each batch is read alone.
TEST_F(StreamTableTest, WalkWithinOneAccessReadsAheadInGrowingWindows) {
    constexpr int32_t kCount = 6000;
    Build(kCount);
    Open();
    uint8_t data[kHisRecordSize];
    int32_t id = 0;
    Stream->ResetCounts();
    Table->BeginAccess();
    for (int32_t p = kCount - 1; p >= 0; --p) {
        ASSERT_TRUE(Table->ReadRecord(p, id, data));
        ASSERT_EQ(id, p + 1);
        ASSERT_EQ(SampleTime(data), 41000 + id / 1440.0);
    }
    Table->EndAccess();
    EXPECT_LE(Stream->Reads, 10) << "60 batches";
    EXPECT_EQ(Stream->BytesRead, int64_t{kCount} * kHisStoredSize);

    Open();
    Stream->ResetCounts();
    for (int32_t p = 0; p < 1000; ++p) ASSERT_TRUE(Table->ReadRecord(p, id, data));
    EXPECT_EQ(Stream->BytesRead, 1000 * kHisStoredSize) << "nothing read beyond the batches";
}

// Reads, updates, deletes and appends inside long accesses, over a cache of
// two records and one larger than the table, with the clock set
// back now and then: every read agrees with a model, so nothing read ahead
// or kept from a batch outlives a write.
TEST_F(StreamTableTest, ReadsAheadAgreeWithTheRecordsWhateverIsWrittenBetween) {
    for (const int32_t cacheSize : {2, 0}) {
        SCOPED_TRACE(cacheSize);
        std::map<int32_t, double> model;
        std::mt19937 random(static_cast<uint32_t>(29 + cacheSize));
        Build(0);
        Open(cacheSize);
        double clock = 41000;
        for (int32_t i = 1; i <= 2000; ++i) {
            clock += (random() % 50 == 0 ? -3 : 1) / 1440.0;
            model[Table->Append(MakeSample(clock, i).Bytes, kHisRecordSize)] = clock;
        }
        uint8_t data[kHisRecordSize];
        int32_t id = 0;
        const auto expectRead = [&](int32_t position) {
            auto it = model.begin();
            std::advance(it, position);
            ASSERT_TRUE(Table->ReadRecord(position, id, data));
            ASSERT_EQ(id, it->first);
            ASSERT_EQ(SampleTime(data), it->second) << "id " << id;
        };
        for (int32_t round = 0; round < 24; ++round) {
            if (round % 8 == 0) Open(cacheSize);
            Table->BeginAccess();
            const auto count = static_cast<int32_t>(model.size());
            // A walk of a few hundred records either way, over the place of
            // the writes below.
            const auto base = static_cast<int32_t>(random() % model.size());
            const bool backward = random() % 2 == 0;
            int32_t p = backward ? std::min(count - 1, base + 200) : std::max(0, base - 200);
            for (int32_t n = 0; n < 400 && p >= 0 && p < count; ++n, p += backward ? -1 : 1) {
                expectRead(p);
            }
            // A few writes close together, then more reads around them: a
            // cache of two keeps few of the records written.
            for (int32_t w = 0; w < 6; ++w) {
                auto it = model.begin();
                std::advance(it, std::min<int32_t>(base + static_cast<int32_t>(random() % 40),
                                                   static_cast<int32_t>(model.size()) - 1));
                const int32_t target = it->first;
                switch (random() % 4) {
                    case 0:
                        Table->Delete(target);
                        model.erase(target);
                        break;
                    case 1:
                        clock -= 2 / 1440.0;
                        model[Table->Append(MakeSample(clock, 0).Bytes, kHisRecordSize)] = clock;
                        break;
                    default:
                        clock += 1 / 1440.0;
                        Table->Update(target, MakeSample(clock, 0).Bytes, kHisRecordSize);
                        model[target] = clock;
                        break;
                }
            }
            for (int32_t q = std::max(0, base - 150);
                 q < std::min(static_cast<int32_t>(model.size()), base + 190); ++q) {
                expectRead(q);
            }
            Table->EndAccess();
        }
    }
}

// Records rewritten in the middle of a walk, where the last batch and the
// window read ahead of it still hold their old bytes, read back rewritten
// though the cache (two records) keeps almost none of them: in a table
// without indexes, whose writes read nothing, and in the history table
// emptied and filled again.
TEST_F(StreamTableTest, RecordsWrittenDuringAWalkReadBackWritten) {
    constexpr int32_t kCount = 2000;
    Build(kCount, [](TVeltTable& table) {
        TVeltDatabase& db = *table.Database();
        ASSERT_TRUE(db.CreateTable("Plain", kHisRecordSize, 0, kHisCapacity));
        TVeltTable plain(&db);
        plain.Open("Plain");
        for (int32_t i = 1; i <= kCount; ++i) {
            plain.Append(MakeSample(41000 + i / 1440.0, i).Bytes, kHisRecordSize);
        }
    });
    uint8_t data[kHisRecordSize];
    int32_t id = 0;
    for (const char* name : {"Plain", kHisTable}) {
        SCOPED_TRACE(name);
        Open(2);
        TVeltTable table(Db.get());
        table.Open(name);
        table.BeginAccess();
        for (int32_t p = kCount - 1; p >= 1000; --p) ASSERT_TRUE(table.ReadRecord(p, id, data));
        if (table.IndexCount() == 0) {
            for (int32_t p = 960; p <= 1050; p += 5) {
                table.Update(p + 1, MakeSample(-p, 0).Bytes, kHisRecordSize);
            }
            for (int32_t p = 1050; p >= 960; --p) {
                ASSERT_TRUE(table.ReadRecord(p, id, data));
                ASSERT_EQ(SampleTime(data), p % 5 == 0 ? -p : 41000 + id / 1440.0) << p;
            }
        } else {
            for (int32_t p = 0; p < 1000; ++p) ASSERT_TRUE(table.ReadRecord(p, id, data));
            table.EmptyTable();
            for (int32_t i = 1; i <= 300; ++i) {
                table.Append(MakeSample(-i, i).Bytes, kHisRecordSize);
            }
            for (int32_t p = 299; p >= 0; --p) {
                ASSERT_TRUE(table.ReadRecord(p, id, data));
                ASSERT_EQ(SampleTime(data), -id) << p;
            }
        }
        table.EndAccess();
    }
}
