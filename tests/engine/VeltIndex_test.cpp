#include "engine/VeltIndex.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "EngineTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltTable.h"

using namespace enginetest;

namespace {

class IndexTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");
    std::unique_ptr<TVeltDatabase> Db;
    std::unique_ptr<TVeltTable> Table;

    void SetUp() override { CreateHistoryDatabase(Path); }

    void Reopen() {
        Table.reset();
        Db = std::make_unique<TVeltDatabase>();
        ASSERT_TRUE(Db->Open(Path, ""));
        Table = std::make_unique<TVeltTable>(Db.get());
        Table->Open(kHisTable);
    }

    int32_t Append(double time, int32_t id = 0) {
        return Table->Append(MakeSample(time, 0).Bytes, kHisRecordSize, id);
    }

    // The chain as the file holds it: head, then next links, as record ids.
    std::vector<int32_t> ChainOnDisk() {
        const std::vector<uint8_t> bytes = ReadBytes(Path);
        TTableDef def;
        std::memcpy(&def, &bytes[DefinitionOffset(bytes)], sizeof def);
        std::vector<int32_t> ids;
        for (int32_t slot = def.Indexes[0].Head.Get(); slot != -1 && ids.size() < 10000;) {
            const size_t at = def.GrowthOffset.Get() + static_cast<size_t>(slot) * 28;
            ids.push_back(Le32At(bytes, at + 2));
            slot = Le32At(bytes, at + 6);
        }
        return ids;
    }

    void ExpectOrder(const std::vector<int32_t>& expected) {
        EXPECT_EQ(Table->Index(0).Ids(), expected);
        EXPECT_EQ(ChainOnDisk(), expected);
        Reopen();
        EXPECT_EQ(Table->Index(0).Ids(), expected) << "after reopen";
    }

    // Patches the file: the head of index 0, or a record's next link.
    void PatchHead(int32_t head) {
        Table.reset();
        std::vector<uint8_t> bytes = ReadBytes(Path);
        PutLe32At(bytes, DefinitionOffset(bytes) + 69 + 33, head);
        WriteBytes(Path, bytes);
    }
    void PatchLink(int32_t slot, int32_t link) {
        Table.reset();
        std::vector<uint8_t> bytes = ReadBytes(Path);
        PutLe32At(bytes, 6246 + slot * 28 + 6, link);
        WriteBytes(Path, bytes);
    }
    void ExpectCorruptOnOpen() {
        Db = std::make_unique<TVeltDatabase>();
        ASSERT_TRUE(Db->Open(Path, ""));
        Table = std::make_unique<TVeltTable>(Db.get());
        EXPECT_THROW(Table->Open(kHisTable), EVeltFileCorrupt);
        EXPECT_FALSE(Table->Active());
    }
};

}  // namespace

TEST_F(IndexTest, FirstRecordBecomesTheHeadWithNoSuccessor) {
    Reopen();
    Append(100);
    ExpectOrder({1});
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    EXPECT_EQ(Le32At(bytes, DefinitionOffset(bytes) + 69 + 33), 0);
    EXPECT_EQ(Le32At(bytes, 6246 + 6), -1);
}

TEST_F(IndexTest, AscendingAppendsExtendTheTail) {
    Reopen();
    for (int i = 1; i <= 300; ++i) Append(1000 + i);
    std::vector<int32_t> expected(300);
    for (int i = 0; i < 300; ++i) expected[i] = i + 1;
    ExpectOrder(expected);
}

TEST_F(IndexTest, OutOfOrderAppendsAreSortedByKey) {
    Reopen();
    Append(50);  // 1
    Append(10);  // 2: new head, links to the old head
    Append(30);  // 3: middle
    Append(70);  // 4: tail
    Append(5);   // 5: head again
    ExpectOrder({5, 2, 3, 1, 4});
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    EXPECT_EQ(Le32At(bytes, DefinitionOffset(bytes) + 69 + 33), 4) << "head is slot 4 (id 5)";
    EXPECT_EQ(Le32At(bytes, 6246 + 4 * 28 + 6), 1) << "which links to slot 1 (id 2)";
}

TEST_F(IndexTest, EqualKeysAreOrderedByRecordId) {
    Reopen();
    Append(20, 5);
    Append(20, 2);
    Append(10, 9);
    Append(20, 7);
    Append(20, 1);
    ExpectOrder({9, 1, 2, 5, 7});
}

TEST_F(IndexTest, UpdatesMoveRecordsInTheChain) {
    Reopen();
    for (int i = 1; i <= 5; ++i) Append(i * 10);
    Table->Update(2, MakeSample(45, 0).Bytes, kHisRecordSize);  // 20 -> 45
    ExpectOrder({1, 3, 4, 2, 5});
    Table->Update(5, MakeSample(1, 0).Bytes, kHisRecordSize);  // tail becomes head
    ExpectOrder({5, 1, 3, 4, 2});
    Table->Update(3, MakeSample(30, 9).Bytes, kHisRecordSize);  // key unchanged
    ExpectOrder({5, 1, 3, 4, 2});
    uint8_t data[kHisRecordSize];
    ASSERT_TRUE(Table->ReadRecordById(3, data));
    EXPECT_EQ(std::memcmp(data, MakeSample(30, 9).Bytes, kHisRecordSize), 0);
}

TEST_F(IndexTest, DeletesOfHeadMiddleAndTailRelink) {
    Reopen();
    for (int i = 1; i <= 6; ++i) Append(i);
    Table->Delete(1);  // head
    ExpectOrder({2, 3, 4, 5, 6});
    Table->Delete(4);  // middle
    ExpectOrder({2, 3, 5, 6});
    Table->Delete(6);  // tail
    ExpectOrder({2, 3, 5});
    Append(2.5);  // after deletes the new record still finds its place
    ExpectOrder({2, 6, 3, 5});
    for (int32_t id : {2, 6, 3, 5}) Table->Delete(id);
    ExpectOrder({});
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    EXPECT_EQ(Le32At(bytes, DefinitionOffset(bytes) + 69 + 33), -1);
}

TEST_F(IndexTest, HeadOutsideTheSlotsIsCorrupt) {
    Reopen();
    for (int i = 1; i <= 3; ++i) Append(i);
    PatchHead(5);
    ExpectCorruptOnOpen();
    PatchHead(-7);
    ExpectCorruptOnOpen();
}

TEST_F(IndexTest, LinkOutsideTheSlotsIsCorrupt) {
    Reopen();
    for (int i = 1; i <= 3; ++i) Append(i);
    PatchLink(1, 3);
    ExpectCorruptOnOpen();
}

TEST_F(IndexTest, CyclicChainIsCorruptAndEnds) {
    Reopen();
    for (int i = 1; i <= 3; ++i) Append(i);
    PatchLink(2, 0);
    ExpectCorruptOnOpen();
    PatchLink(2, 2);  // a record linking to itself
    ExpectCorruptOnOpen();
}

TEST_F(IndexTest, ShortChainIsCorrupt) {
    Reopen();
    for (int i = 1; i <= 4; ++i) Append(i);
    PatchLink(1, -1);  // records 3 and 4 are no longer reached
    ExpectCorruptOnOpen();
    PatchHead(-1);
    ExpectCorruptOnOpen();
}

TEST_F(IndexTest, ChainThroughADeletedSlotIsCorrupt) {
    Reopen();
    for (int i = 1; i <= 3; ++i) Append(i);
    Table->Delete(3);
    // Slot 1 now links past the deleted slot 2; pointing it back there
    // reaches a deleted record while the length still matches.
    PatchHead(1);
    PatchLink(1, 2);
    ExpectCorruptOnOpen();
}

TEST(IndexKeyOrder, EveryFieldTypeOrdersItsValues) {
    auto le = [](uint64_t value, int width) {
        std::vector<uint8_t> bytes(8, 0);
        for (int i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
        return bytes;
    };
    auto order = [](uint8_t type, const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        return CompareKeyField(type, a.data(), b.data(), static_cast<int32_t>(a.size()));
    };
    EXPECT_EQ(order(ftUInt8, le(200, 1), le(100, 1)), 1);
    EXPECT_EQ(order(ftBoolean, le(0, 1), le(1, 1)), -1);
    EXPECT_EQ(order(ftInt8, le(200, 1), le(100, 1)), -1) << "200 is -56 signed";
    EXPECT_EQ(order(ftUInt16, le(0x0100, 2), le(0x00FF, 2)), 1) << "little-endian";
    EXPECT_EQ(order(ftInt16, le(0xFFFF, 2), le(1, 2)), -1);
    EXPECT_EQ(order(ftUInt32, le(0xFFFFFFFF, 4), le(1, 4)), 1);
    EXPECT_EQ(order(ftInt32, le(0xFFFFFFFF, 4), le(1, 4)), -1);
    auto dbl = [](double d) {
        std::vector<uint8_t> bytes(8);
        PutDoubleLe(bytes.data(), d);
        return bytes;
    };
    EXPECT_EQ(order(ftDateTime, dbl(45000.5), dbl(45000.25)), 1);
    EXPECT_EQ(order(ftDouble, dbl(-1), dbl(0.5)), -1);
    EXPECT_EQ(order(ftDateTime, dbl(3), dbl(3)), 0);
    EXPECT_EQ(order(ftDouble, dbl(std::nan("")), dbl(1)), 0) << "unordered compares equal";
    auto str = [](const char* s, size_t size) {
        std::vector<uint8_t> bytes(size, 0);
        std::memcpy(bytes.data(), s, std::min(size, std::strlen(s)));
        return bytes;
    };
    EXPECT_EQ(order(ftString, str("abc", 8), str("abd", 8)), -1);
    EXPECT_EQ(order(ftString, str("ab", 8), str("abc", 8)), -1);
    EXPECT_EQ(order(ftString, str("B", 8), str("a", 8)), -1) << "ordinal, case-sensitive";
    EXPECT_EQ(order(ftString, str("\xC4", 8), str("z", 8)), 1) << "bytes are unsigned";
    EXPECT_EQ(order(ftString, str("abcd", 4), str("abcd", 4)), 0) << "bounded by the record";
    EXPECT_EQ(order(12, le(1, 8), le(2, 8)), 0);
    EXPECT_EQ(order(0x8A, dbl(1), dbl(2)), 0) << "codes above 11 compare equal";
    EXPECT_EQ(FieldTypeWidth(0x8A), 8) << "the width uses the low 7 bits";
    EXPECT_EQ(FieldTypeWidth(ftString), 0);
    EXPECT_EQ(FieldTypeWidth(ftSingle), 4);
}

TEST(IndexKeyOrder, CompoundKeysCompareFieldByField) {
    TTempDir dir;
    const std::string path = dir.File("c.dt");
    CreateStandardDatabase(path);
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(path, ""));
    ASSERT_TRUE(db.CreateTable("T", 12, 0, 8));
    ASSERT_TRUE(db.CreateCompoundIndex("T", "Pair", {{0, ftUInt8}, {4, ftString}}));
    ASSERT_TRUE(db.CreateIndex("T", "Second", 4, ftString));
    TVeltTable table(&db);
    table.Open("T");
    EXPECT_EQ(table.HeaderSize(), 14);
    auto rec = [](uint8_t group, const char* name) {
        std::vector<uint8_t> r(12, 0);
        r[0] = group;
        std::memcpy(&r[4], name, std::strlen(name));
        return r;
    };
    table.Append(rec(2, "bb").data(), 12);        // 1
    table.Append(rec(1, "zz").data(), 12);        // 2
    table.Append(rec(2, "aa").data(), 12);        // 3
    table.Append(rec(1, "zz").data(), 12);        // 4: equal to 2, larger id
    table.Append(rec(2, "abcdefgh").data(), 12);  // 5: string runs to the record end
    EXPECT_EQ(table.Index(0).Ids(), (std::vector<int32_t>{2, 4, 3, 5, 1}));
    EXPECT_EQ(table.Index(1).Ids(), (std::vector<int32_t>{3, 5, 1, 2, 4}));
    table.Open("T");
    EXPECT_EQ(table.Index(0).Ids(), (std::vector<int32_t>{2, 4, 3, 5, 1}));
    EXPECT_EQ(table.Index(1).Ids(), (std::vector<int32_t>{3, 5, 1, 2, 4}));
}
