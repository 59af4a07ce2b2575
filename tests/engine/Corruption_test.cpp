// Files the engine did not write: every damage ends in a clear error of the
// engine's classes, never a crash, a hang or an allocation the file's size
// cannot justify.

#include <gtest/gtest.h>

#include <filesystem>

#include "EngineTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltTable.h"

using namespace enginetest;

namespace {

enum class TOutcome { Ok, Corrupt, EngineError, OtherError };

std::ostream& operator<<(std::ostream& out, TOutcome outcome) {
    const char* names[] = {"Ok", "Corrupt", "EngineError", "OtherError"};
    return out << names[static_cast<int>(outcome)];
}

// Opens the database, every table with its indexes, and reads every record.
TOutcome OpenEverything(const std::string& path, std::string* message = nullptr) {
    try {
        TVeltDatabase db;
        if (!db.Open(path, "")) return TOutcome::EngineError;
        TVeltTable table(&db);
        for (const std::string& name : db.TableNames()) {
            table.Open(name);
            std::vector<uint8_t> data(static_cast<size_t>(std::max(table.RecordSize(), 1)));
            int32_t id;
            for (int32_t p = 0; p < table.RecordCount(); ++p) table.ReadRecord(p, id, data.data());
        }
        return TOutcome::Ok;
    } catch (const EVeltFileCorrupt& error) {
        if (message) *message = error.what();
        return TOutcome::Corrupt;
    } catch (const EVeltError& error) {
        if (message) *message = error.what();
        return TOutcome::EngineError;
    } catch (const std::exception& error) {
        if (message) *message = error.what();
        return TOutcome::OtherError;
    }
}

class CorruptionTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("HistoryData.dt");
    std::string Damaged = Dir.File("damaged.dt");
    std::vector<uint8_t> Good;
    int32_t Def = 0;

    void SetUp() override {
        CreateHistoryDatabase(Path, 8);
        {
            TVeltDatabase db;
            ASSERT_TRUE(db.Open(Path, ""));
            TVeltTable table(&db);
            table.Open(kHisTable);
            for (int i = 1; i <= 5; ++i) table.Append(MakeSample(i, i).Bytes, kHisRecordSize);
        }
        Good = ReadBytes(Path);
        Def = DefinitionOffset(Good);
        ASSERT_EQ(OpenEverything(Path), TOutcome::Ok);
    }

    TOutcome WithField(size_t offset, int32_t value) {
        std::vector<uint8_t> bytes = Good;
        PutLe32At(bytes, offset, value);
        WriteBytes(Damaged, bytes);
        return OpenEverything(Damaged);
    }
};

}  // namespace

TEST_F(CorruptionTest, TruncatedFilesAreRefused) {
    for (size_t size :
         {size_t{0}, size_t{9}, size_t{100}, size_t{2400}, size_t{3000}, size_t{3764}, size_t{4796},
          size_t{5000}, Good.size() - 1, static_cast<size_t>(Def + kTableDefSize * 2 + 28 * 3)}) {
        WriteBytes(Damaged, std::vector<uint8_t>(Good.begin(), Good.begin() + size));
        std::string message;
        const TOutcome outcome = OpenEverything(Damaged, &message);
        if (size < 4) {
            EXPECT_EQ(outcome, TOutcome::EngineError) << size;
            EXPECT_NE(message.find("is a invalid VELT file"), std::string::npos);
        } else if (size < Good.size() - 1) {
            EXPECT_EQ(outcome, TOutcome::Corrupt) << size << ": " << message;
        } else {
            // Only the zero tail of the growth area is missing: still readable.
            EXPECT_EQ(outcome, TOutcome::Ok) << size << ": " << message;
        }
    }
}

TEST_F(CorruptionTest, DirectoryCountsAndOffsetsOutsideTheFile) {
    EXPECT_EQ(WithField(kDirectoryOffset, 257), TOutcome::Corrupt);
    EXPECT_EQ(WithField(kDirectoryOffset, -1), TOutcome::Corrupt);
    EXPECT_EQ(WithField(kDirectoryOffset, 2), TOutcome::Corrupt) << "entry 1 is zero";
    EXPECT_EQ(WithField(kDirectoryOffset + 8, static_cast<int32_t>(Good.size())),
              TOutcome::Corrupt);
    EXPECT_EQ(WithField(kDirectoryOffset + 8, static_cast<int32_t>(Good.size()) - 700),
              TOutcome::Corrupt);
    EXPECT_EQ(WithField(kDirectoryOffset + 8, 2000), TOutcome::Corrupt) << "inside the header";
    EXPECT_EQ(WithField(kDirectoryOffset + 8, INT32_MIN), TOutcome::Corrupt);
}

TEST_F(CorruptionTest, AbsurdDefinitionCountsAndSizes) {
    const size_t primaryOffset = Def + 33, primaryCount = Def + 37, growthOffset = Def + 41,
                 growthCount = Def + 45, growthCapacity = Def + 49, capacity = Def + 53,
                 recordSize = Def + 57, headerBlocks = Def + 61, indexCount = Def + 65;
    for (int32_t value : {9, -1, INT32_MAX}) {
        EXPECT_EQ(WithField(indexCount, value), TOutcome::Corrupt) << value;
    }
    for (int32_t value : {-18, INT32_MAX, INT32_MAX - 9, 100000000}) {
        EXPECT_EQ(WithField(recordSize, value), TOutcome::Corrupt) << value;
    }
    for (int32_t value : {-1, 100000000, INT32_MAX}) {
        EXPECT_EQ(WithField(headerBlocks, value), TOutcome::Corrupt) << value;
    }
    for (int32_t value : {-1, 6, 1000000000, INT32_MAX}) {
        EXPECT_EQ(WithField(growthCount, value), TOutcome::Corrupt) << value;
    }
    EXPECT_EQ(WithField(growthCapacity, 4), TOutcome::Corrupt) << "count above capacity";
    EXPECT_EQ(WithField(growthCapacity, -8), TOutcome::Corrupt);
    EXPECT_EQ(WithField(capacity, 0), TOutcome::Corrupt);
    for (int32_t value : {0, -1, 100, INT32_MAX, static_cast<int32_t>(Good.size()) - 100}) {
        EXPECT_EQ(WithField(growthOffset, value), TOutcome::Corrupt) << value;
    }
    EXPECT_EQ(WithField(primaryCount, 3), TOutcome::Corrupt) << "a primary area at offset 0";
    EXPECT_EQ(WithField(primaryCount, -3), TOutcome::Corrupt);
    EXPECT_EQ(WithField(primaryOffset, 12345), TOutcome::Ok) << "an empty primary area is unused";
}

TEST_F(CorruptionTest, GrowthAreaWithItsFreeSlotsCutOffRefusesAppendsButStillReads) {
    // Five samples in a zero-filled growth area of eight slots at the end of
    // the file; cutting the three free slots off leaves every record
    // readable, but the next append would land beyond the end.
    int64_t stored = 0;
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Path, ""));
        TVeltTable table(&db);
        table.Open(kHisTable);
        stored = table.StoredRecordSize();
        ASSERT_EQ(table.Definition().GrowthCapacity.Get(), 8);
        ASSERT_EQ(table.Definition().GrowthOffset.Get() + 8 * stored,
                  static_cast<int64_t>(Good.size()));
    }
    std::vector<uint8_t> bytes(Good.begin(), Good.end() - 3 * stored);
    WriteBytes(Damaged, bytes);
    ASSERT_EQ(OpenEverything(Damaged), TOutcome::Ok);
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Damaged, ""));
        TVeltTable table(&db);
        table.Open(kHisTable);
        EXPECT_THROW(table.Append(MakeSample(9, 9).Bytes, kHisRecordSize), EVeltFileCorrupt);
        EXPECT_EQ(table.RecordCount(), 5);
    }
    EXPECT_EQ(ReadBytes(Damaged), bytes) << "nothing written, the file did not grow";
}

TEST_F(CorruptionTest, KeyFieldsOutsideTheRecord) {
    const size_t entry = Def + 69;
    for (int32_t value : {0, 9, -1, INT32_MAX}) {
        EXPECT_EQ(WithField(entry + 37, value), TOutcome::Corrupt) << "key field count " << value;
    }
    for (int32_t value : {11, -1, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(WithField(entry + 41, value), TOutcome::Corrupt) << "key offset " << value;
    }
    EXPECT_EQ(WithField(entry + 41, 10), TOutcome::Ok) << "an 8-byte key at 10 fits 18 bytes";
}

TEST_F(CorruptionTest, BadMagicVersionAndAlgorithm) {
    std::vector<uint8_t> bytes = Good;
    bytes[0] = 'v';
    WriteBytes(Damaged, bytes);
    EXPECT_EQ(OpenEverything(Damaged), TOutcome::EngineError);
    bytes = Good;
    bytes[5] = '9';
    WriteBytes(Damaged, bytes);
    EXPECT_EQ(OpenEverything(Damaged), TOutcome::EngineError);
    bytes = Good;
    bytes[kAlgorithmOffset + 35] = 'X';  // "Xlowfish" is not registered
    WriteBytes(Damaged, bytes);
    std::string message;
    EXPECT_EQ(OpenEverything(Damaged, &message), TOutcome::OtherError);
    EXPECT_EQ(message, "Encryption algorithm module 'Xlowfish' not found");
}

TEST_F(CorruptionTest, RandomBytesAfterAValidHeaderNeverCrash) {
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1664525u + 1013904223u; };
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> bytes = Good;
        const int flips = 1 + next() % 8;
        for (int i = 0; i < flips; ++i) {
            const size_t at = kDirectoryOffset + next() % (bytes.size() - kDirectoryOffset);
            bytes[at] = static_cast<uint8_t>(next() >> 24);
        }
        WriteBytes(Damaged, bytes);
        const TOutcome outcome = OpenEverything(Damaged);
        EXPECT_NE(outcome, TOutcome::OtherError) << "round " << round;
    }
}

// ------------------------------------------------------------ layout

namespace {

// A second table "Other" after the history table, with three samples, so
// that areas of two tables and two definitions lie in the file.
class LayoutTest : public CorruptionTest {
  protected:
    int32_t OtherDef = 0;

    void SetUp() override {
        CorruptionTest::SetUp();
        {
            TVeltDatabase db;
            ASSERT_TRUE(db.Open(Path, ""));
            ASSERT_TRUE(db.CreateTable("Other", kHisRecordSize, 0, 4));
            ASSERT_TRUE(db.CreateIndex("Other", kHisIndex, 0, ftDateTime));
            TVeltTable table(&db);
            table.Open("Other");
            for (int i = 1; i <= 3; ++i) table.Append(MakeSample(i, i).Bytes, kHisRecordSize);
        }
        Good = ReadBytes(Path);
        OtherDef = DefinitionOffset(Good, 1);
        ASSERT_EQ(OpenEverything(Path), TOutcome::Ok);
    }

    // Every table of the file is refused when it opens, before any of its
    // records is read. (The database itself still opens: the history
    // recovery salvages what it can from such a file.)
    void ExpectRefusedAtOpen(const std::vector<uint8_t>& bytes, const char* what) {
        SCOPED_TRACE(what);
        WriteBytes(Damaged, bytes);
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(Damaged, ""));
        ASSERT_FALSE(db.TableNames().empty());
        TVeltTable table(&db);
        for (const std::string& name : db.TableNames()) {
            ExpectRaises<EVeltFileCorrupt>([&] { table.Open(name); }, "Database file is corrupt");
        }
    }
    std::vector<uint8_t> With(std::initializer_list<std::pair<size_t, int32_t>> fields) const {
        std::vector<uint8_t> bytes = Good;
        for (const auto& [offset, value] : fields) PutLe32At(bytes, offset, value);
        return bytes;
    }
};

constexpr size_t kPrimaryOffset = 33, kPrimaryCount = 37, kGrowthOffset = 41, kGrowthCount = 45,
                 kGrowthCapacity = 49;

}  // namespace

TEST_F(LayoutTest, AreasOverlappingEachOtherOrTheHeaderAreRefusedWhenATableOpens) {
    const int32_t growth = Le32At(Good, Def + kGrowthOffset);
    const int32_t otherGrowth = Le32At(Good, OtherDef + kGrowthOffset);
    ExpectRefusedAtOpen(With({{OtherDef + kGrowthOffset, growth},
                              {OtherDef + kGrowthCount, 5},
                              {OtherDef + kGrowthCapacity, 8}}),
                        "two tables share one growth area");
    ExpectRefusedAtOpen(With({{Def + kPrimaryOffset, growth}, {Def + kPrimaryCount, 5}}),
                        "the primary area is the growth area");
    ExpectRefusedAtOpen(With({{Def + kPrimaryOffset, otherGrowth - 28}, {Def + kPrimaryCount, 2}}),
                        "a primary area reaching into another table's growth area");
    ExpectRefusedAtOpen(
        With({{OtherDef + kGrowthOffset, growth + 5 * 28}, {OtherDef + kGrowthCapacity, 3}}),
        "records of one table in the free growth slots of another");
    ExpectRefusedAtOpen(
        With({{Def + kPrimaryOffset, OtherDef + kTableDefSize}, {Def + kPrimaryCount, 1}}),
        "a primary area over a definition's copy");
    ExpectRefusedAtOpen(
        With({{OtherDef + kGrowthOffset, kDirectoryOffset}, {OtherDef + kGrowthCount, 0}}),
        "free growth slots inside the directory");
    ExpectRefusedAtOpen(With({{OtherDef + kGrowthOffset, 0}, {OtherDef + kGrowthCount, 0}}),
                        "free growth slots at the signature");
    ExpectRefusedAtOpen(With({{kDirectoryOffset + 12, Def + 100}}), "two definitions overlapping");
}

TEST_F(LayoutTest, DirectoryEntriesNamingOneTableOrOneNameTwiceAreRefused) {
    std::vector<uint8_t> bytes = With({{kDirectoryOffset, kMaxTables}});
    for (int32_t i = 0; i < kMaxTables; ++i) PutLe32At(bytes, kDirectoryOffset + 8 + 4 * i, Def);
    ExpectRefusedAtOpen(bytes, "256 entries naming one definition");

    bytes = Good;
    const std::string name = "hisdatatable";  // lookups ignore case
    std::copy(name.begin(), name.end(), bytes.begin() + OtherDef);
    bytes[OtherDef + name.size()] = 0;
    ExpectRefusedAtOpen(bytes, "a second table under the first one's name");
}

TEST_F(LayoutTest, AdjacentAreasAndAFreeTailCutOffStillOpen) {
    // Areas that touch without sharing a byte are how every writer lays
    // them out; a file cut inside the free slots of the last growth area
    // still reads (the free slots only count as far as the file holds them).
    ASSERT_EQ(Le32At(Good, Def + kGrowthOffset) + 8 * 28, OtherDef);
    ASSERT_EQ(OpenEverything(Path), TOutcome::Ok);
    const int32_t otherGrowth = Le32At(Good, OtherDef + kGrowthOffset);
    std::vector<uint8_t> bytes(Good.begin(), Good.begin() + otherGrowth + 3 * 28 + 5);
    WriteBytes(Damaged, bytes);
    EXPECT_EQ(OpenEverything(Damaged), TOutcome::Ok);
}

TEST_F(LayoutTest, ADefinitionChangedAfterTheDatabaseOpenedIsCheckedAgainstTheOthers) {
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(Path, ""));
    // The history table's areas pointed at the other table's records between
    // the database's open and the table's, leaving size and time as they
    // were (another writer's change would be refused as a changed file).
    const auto written = std::filesystem::last_write_time(Path);
    WriteBytes(Path, With({{Def + kGrowthOffset, Le32At(Good, OtherDef + kGrowthOffset)},
                           {Def + kGrowthCount, 3},
                           {Def + kGrowthCapacity, 4}}));
    std::filesystem::last_write_time(Path, written);
    TVeltTable table(&db);
    ExpectRaises<EVeltFileCorrupt>([&] { table.Open(kHisTable); }, "Database file is corrupt");
    table.Open("Other");
    EXPECT_EQ(table.RecordCount(), 3);
}
