#include "engine/VeltDatabase.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <type_traits>

#include "EngineTestSupport.h"
#include "algorithms/Stream.h"
#include "engine/RecordCache.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"

using namespace enginetest;

static_assert(!std::is_base_of_v<EVeltError, EVeltFileCorrupt>);
static_assert(std::is_base_of_v<std::runtime_error, EVeltFileCorrupt>);
static_assert(!std::is_copy_constructible_v<TVeltDatabase>);
static_assert(!std::is_copy_constructible_v<TVeltTable>);

namespace {

class DatabaseTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::string Path = Dir.File("test.dt");
    TVeltDatabase Db;

    void OpenNew() {
        CreateStandardDatabase(Path);
        ASSERT_TRUE(Db.Open(Path, ""));
    }
};

}  // namespace

TEST_F(DatabaseTest, NewFileIsTheBareHeader) {
    CreateStandardDatabase(Path);
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(kHeaderSize));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), 10), std::string("VELT\0"
                                                                                        "1.0\0\0",
                                                                                        10));
    EXPECT_TRUE(std::all_of(bytes.begin() + 10, bytes.begin() + kKeyCheckOffset,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(std::memcmp(bytes.data() + kDirectoryOffset, bytes.data() + kDirectoryCopyOffset,
                          kDirectorySize),
              0);
    EXPECT_TRUE(std::all_of(bytes.begin() + kDirectoryOffset, bytes.end(),
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(bytes[kAlgorithmOffset], 0);       // not compressed
    EXPECT_EQ(bytes[kAlgorithmOffset + 34], 1);  // encrypted
    EXPECT_EQ(FieldText(reinterpret_cast<const char*>(&bytes[kAlgorithmOffset + 1]), 33), "Zlib");
    EXPECT_EQ(FieldText(reinterpret_cast<const char*>(&bytes[kAlgorithmOffset + 35]), 33),
              "Blowfish");
    EXPECT_FALSE(Db.Active()) << "CreateDatabase does not open";
}

TEST_F(DatabaseTest, OpenReadsTheHeaderAndTheTableNames) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    EXPECT_TRUE(Db.Active());
    EXPECT_TRUE(Db.Encrypted());
    EXPECT_FALSE(Db.Compressed());
    EXPECT_EQ(Db.FileName(), std::filesystem::absolute(Path).lexically_normal().string());
    ASSERT_EQ(Db.TableNames().size(), 1u);
    EXPECT_EQ(Db.TableNames()[0], kHisTable);
    EXPECT_EQ(Db.IndexOfTable("hisdatatable"), 0);
    EXPECT_EQ(Db.CacheSize(), 5000);
    EXPECT_TRUE(Db.Exclusive());
    EXPECT_FALSE(Db.ReadOnly());
    EXPECT_EQ(Db.FileIO().Stream(), nullptr) << "the file is closed between operations";
    Db.Close();
    EXPECT_FALSE(Db.Active());
}

TEST_F(DatabaseTest, WrongPasswordIsRefusedWithoutException) {
    CreateStandardDatabase(Path, "secret");
    ASSERT_TRUE(Db.Open(Path, "secret"));
    EXPECT_EQ(Db.Password(), "secret");
    ASSERT_TRUE(Db.CreateTable("T", 4, 0, 4));
    EXPECT_FALSE(Db.Open(Path, "Secret"));
    EXPECT_FALSE(Db.Active());
    EXPECT_TRUE(Db.Password().empty());
    ASSERT_EQ(Db.TableNames().size(), 1u) << "table names are loaded nevertheless";
    EXPECT_FALSE(Db.Open(Path, ""));
}

TEST_F(DatabaseTest, UnencryptedDatabaseOpensWithAnyPassword) {
    ASSERT_TRUE(Db.CreateDatabase(Path, false, "Zlib", false, "Blowfish", "pw"));
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    EXPECT_TRUE(std::all_of(bytes.begin() + kKeyCheckOffset, bytes.begin() + kAlgorithmOffset,
                            [](uint8_t b) { return b == 0; }))
        << "the key-check block stays zero without encryption";
    EXPECT_TRUE(Db.Open(Path, "anything"));
    EXPECT_FALSE(Db.Encrypted());
    EXPECT_TRUE(Db.Password().empty());
}

TEST_F(DatabaseTest, CreateDatabaseTruncatesAndReportsFailureAsFalse) {
    WriteBytes(Path, std::vector<uint8_t>(10000, 0x55));
    EXPECT_TRUE(Db.CreateDatabase(Path, false, "Zlib", true, "Blowfish", ""));
    EXPECT_EQ(FileSize(Path), kHeaderSize);
    EXPECT_FALSE(
        Db.CreateDatabase(Dir.File("no/such/dir.dt"), false, "Zlib", true, "Blowfish", ""));
    EXPECT_FALSE(Db.CreateDatabase(Dir.Path().string(), false, "Zlib", true, "Blowfish", ""));
    EXPECT_ANY_THROW(Db.CreateDatabase(Dir.File("x.dt"), false, "Zlib", true, "NoSuchCipher", ""));
}

TEST_F(DatabaseTest, CreateTableAppendsTwoDefinitionCopies) {
    OpenNew();
    ASSERT_TRUE(Db.CreateTable(kHisTable, 18, 0, 256));
    ASSERT_TRUE(Db.CreateTable("Second", 4, 0, 0));
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(kHeaderSize + 4 * kTableDefSize));
    EXPECT_EQ(Le32At(bytes, kDirectoryOffset), 2);
    EXPECT_EQ(DefinitionOffset(bytes, 0), 4796);
    EXPECT_EQ(DefinitionOffset(bytes, 1), 6246);
    EXPECT_EQ(std::memcmp(&bytes[4796], &bytes[5521], kTableDefSize), 0);
    TTableDef def;
    std::memcpy(&def, &bytes[6246], sizeof def);
    EXPECT_EQ(def.Name.Get(), "Second");
    EXPECT_EQ(def.Capacity.Get(), 1) << "a capacity below 1 becomes 1";
    EXPECT_EQ(def.RecordSize.Get(), 4);
    EXPECT_EQ(def.IndexCount.Get(), 0);
    EXPECT_EQ(Db.TableNames().back(), "Second");
}

TEST_F(DatabaseTest, LongNamesAreCutTo32Characters) {
    OpenNew();
    const std::string name(40, 'n');
    ASSERT_TRUE(Db.CreateTable(name, 8, 0, 1));
    EXPECT_EQ(Db.TableNames()[0], std::string(32, 'n')) << "the name as stored";
    ASSERT_TRUE(Db.CreateIndex(std::string(32, 'n'), std::string(33, 'i'), 0, ftUInt8));
    ASSERT_TRUE(Db.Open(Path, ""));
    EXPECT_EQ(Db.TableNames()[0], std::string(32, 'n'));
    TVeltTable table(&Db);
    table.Open(std::string(32, 'n'));
    EXPECT_EQ(table.Index(0).IndexName(), std::string(32, 'i'));
}

TEST_F(DatabaseTest, CompoundIndexEntryHoldsItsFields) {
    OpenNew();
    ASSERT_TRUE(Db.CreateTable("T", 20, 1, 4));
    ASSERT_TRUE(Db.CreateCompoundIndex("t", "Pair", {{4, ftInt32}, {0, ftUInt16}}));
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    TTableDef def;
    std::memcpy(&def, &bytes[DefinitionOffset(bytes)], sizeof def);
    ASSERT_EQ(def.IndexCount.Get(), 1);
    const TIndexEntry& entry = def.Indexes[0];
    EXPECT_EQ(entry.Name.Get(), "Pair");
    EXPECT_EQ(entry.Head.Get(), -1);
    EXPECT_EQ(entry.KeyFieldCount.Get(), 2);
    EXPECT_EQ(entry.Fields[0].Offset.Get(), 4);
    EXPECT_EQ(entry.Fields[0].FieldType, ftInt32);
    EXPECT_EQ(entry.Fields[1].Offset.Get(), 0);
    for (int i = 2; i < kMaxKeyFields; ++i) {
        EXPECT_EQ(entry.Fields[i].Offset.Get(), -1);
        EXPECT_EQ(entry.Fields[i].FieldType, 0);
    }
    EXPECT_EQ(std::memcmp(&bytes[DefinitionOffset(bytes)],
                          &bytes[DefinitionOffset(bytes) + kTableDefSize], kTableDefSize),
              0);
}

TEST_F(DatabaseTest, AccessBracketsNestAndOpenTheFileOnce) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    Db.BeginAccess();
    TVeltFileStream* stream = Db.FileIO().Stream();
    ASSERT_NE(stream, nullptr);
    Db.BeginAccess();
    EXPECT_EQ(Db.FileIO().Stream(), stream);
    Db.EndAccess();
    EXPECT_TRUE(Db.FileIO().IsOpen());
    Db.EndAccess();
    EXPECT_FALSE(Db.FileIO().IsOpen());
    EXPECT_EQ(Db.AccessDepth(), 0);
}

TEST_F(DatabaseTest, CipherIsLengthPreservingAndRestartsEveryCall) {
    OpenNew();
    uint8_t a[18], b[18];
    for (int i = 0; i < 18; ++i) a[i] = b[i] = static_cast<uint8_t>(i);
    Db.EncryptData(a, 18);
    Db.EncryptData(b, 18);
    EXPECT_EQ(std::memcmp(a, b, 18), 0);
    Db.DecryptData(a, 18);
    for (int i = 0; i < 18; ++i) EXPECT_EQ(a[i], i);
}

// Every message of the database object's table, with its class.
// Records a batch at a time decrypt as one DecryptData each; a database
// that is not encrypted leaves them as they are.
TEST_F(DatabaseTest, DecryptRecordsEqualsDecryptDataPerRecord) {
    OpenNew();
    std::vector<uint8_t> batch(50 * 28);
    for (size_t i = 0; i < batch.size(); ++i) batch[i] = static_cast<uint8_t>(i * 37 + 11);
    std::vector<uint8_t> expected = batch;
    for (int32_t i = 0; i < 50; ++i) Db.DecryptData(expected.data() + 10 + i * 28, 18);
    std::vector<uint8_t> got = batch;
    Db.DecryptRecords(got.data() + 10, 50, 28, 18);
    EXPECT_EQ(got, expected);

    TVeltDatabase plain;
    const std::string path = Dir.File("plain.dt");
    ASSERT_TRUE(plain.CreateDatabase(path, false, "Zlib", false, "Blowfish", ""));
    ASSERT_TRUE(plain.Open(path, ""));
    got = batch;
    plain.DecryptRecords(got.data() + 10, 50, 28, 18);
    EXPECT_EQ(got, batch);
}

TEST_F(DatabaseTest, EveryEngineMessageIsRaisedWithItsClass) {
    using namespace velt_msg;
    const std::string garbage = Dir.File("garbage.dt");
    WriteBytes(garbage, std::vector<uint8_t>(5000, 'x'));
    ExpectRaises<EVeltError>([&] { Db.Open(garbage, ""); },
                             "Database file '" +
                                 std::filesystem::absolute(garbage).lexically_normal().string() +
                                 "' is a invalid VELT file");
    EXPECT_FALSE(Db.Active());

    CreateStandardDatabase(Path);
    std::vector<uint8_t> high = ReadBytes(Path);
    high[7] = '1';  // "1.1"
    WriteBytes(Dir.File("high.dt"), high);
    ExpectRaises<EVeltError>([&] { Db.Open(Dir.File("high.dt"), ""); },
                             "Database file version is too High");

    ExpectRaises<EVeltError>([&] { Db.CreateTable("T", 4, 0, 1); },
                             "Cannot perform this operation on a closed database");
    ExpectRaises<EVeltError>([&] { Db.BeginAccess(); },
                             "Cannot perform this operation on a closed database");
    ExpectRaises<EVeltError>([&] { Db.EndAccess(); },
                             "Cannot perform this operation on a closed database");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex("T", "I", 0, 0); },
                             "Cannot perform this operation on a closed database");

    ASSERT_TRUE(Db.Open(Path, ""));
    ExpectRaises<EVeltError>([&] { Db.SetFileName("other.dt"); },
                             "Cannot perform this operation on an open database");
    ExpectRaises<EVeltError>([&] { Db.CreateTable("", 4, 0, 1); }, "Invalid table name ''");
    ExpectRaises<EVeltError>([&] { Db.CreateTable("a\tb", 4, 0, 1); }, "Invalid table name 'a\tb'");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex("", "I", 0, 0); }, "Invalid table name ''");
    ASSERT_TRUE(Db.CreateTable(kHisTable, 18, 0, 256));
    ExpectRaises<EVeltError>([&] { Db.CreateTable("hisdatatable", 18, 0, 256); },
                             "Duplicate table name 'hisdatatable'");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex(kHisTable, "x\x1f", 0, 0); },
                             "Invalid index name 'x\x1f'");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex("Missing", "I", 0, 0); },
                             "Table 'Missing' not found");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex(kHisTable, kHisIndex, 17, ftDateTime); },
                             "Invalid index field offset '17'");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex(kHisTable, kHisIndex, -1, ftUInt8); },
                             "Invalid index field offset '-1'");
    ExpectRaises<EVeltError>(
        [&] {
            Db.CreateCompoundIndex(kHisTable, "C", {{0, ftUInt8}, {0, ftInt32}});
        },
        "Duplicate index field offset '0'");
    ExpectRaises<EVeltError>([&] { Db.CreateCompoundIndex(kHisTable, "C", {}); },
                             "Invalid index field count '0'");
    ASSERT_TRUE(Db.CreateIndex(kHisTable, kHisIndex, 10, ftDateTime));
    ExpectRaises<EVeltError>([&] { Db.CreateIndex(kHisTable, "datetime", 0, ftDateTime); },
                             "Duplicate index name 'datetime'");

    TVeltTable table(&Db);
    ExpectRaises<EVeltError>([&] { table.Open("Nope"); }, "Table 'Nope' not found");
    EXPECT_FALSE(table.Active());
    int32_t id;
    uint8_t data[18] = {};
    ExpectRaises<EVeltError>([&] { table.ReadRecord(0, id, data); },
                             "Cannot perform this operation on a closed table");
    ExpectRaises<EVeltError>([&] { table.Append(data, 18); },
                             "Cannot perform this operation on a closed table");
    table.Open(kHisTable);
    table.Append(data, 18, 3);
    ExpectRaises<EVeltError>([&] { table.Append(data, 18, 3); }, "Record id '3' already exists");
    ExpectRaises<EVeltError>([&] { table.Delete(4); }, "Record id '4' not found");
    ExpectRaises<EVeltError>([&] { table.Update(-2, data, 18); }, "Record id '-2' not found");
    ExpectRaises<EVeltError>([&] { table.RecordPosition(9); }, "Record id '9' not found");
    ExpectRaises<EVeltError>([&] { Db.CreateIndex(kHisTable, "Late", 0, ftDateTime); },
                             "Fail to create index");

    ExpectRaises<EVeltError>([&] { TVeltTable orphan(nullptr); }, "Database is nil");
    ExpectRaises<EVeltError>([&] { TRecordCache cache(nullptr); }, "Table is nil");
    ExpectRaises<EVeltError>(
        [&] {
            TVeltIndex index(nullptr, &Db.FileIO(), 0, TRecordSlots{nullptr, 0, nullptr});
        },
        "Table is nil");

    Db.Close();
    ExpectRaises<EVeltError>([&] { table.Append(data, 18); },
                             "Cannot perform this operation on a closed database");
    std::vector<uint8_t> damaged = ReadBytes(Path);
    PutLe32At(damaged, kDirectoryOffset, 300);
    WriteBytes(Dir.File("damaged.dt"), damaged);
    ExpectRaises<EVeltFileCorrupt>([&] { Db.Open(Dir.File("damaged.dt"), ""); },
                                   "Database file is corrupt");
}

TEST_F(DatabaseTest, TooManyTablesAndIndexes) {
    OpenNew();
    ASSERT_TRUE(Db.CreateTable("Wide", 16, 0, 1));
    for (int k = 0; k < kMaxIndexes; ++k) {
        ASSERT_TRUE(Db.CreateIndex("Wide", "I" + std::to_string(k), k, ftUInt8));
    }
    ExpectRaises<EVeltError>([&] { Db.CreateIndex("Wide", "I8", 8, ftUInt8); }, "Too many indexes");
    for (int t = 1; t < kMaxTables; ++t) {
        ASSERT_TRUE(Db.CreateTable("T" + std::to_string(t), 1, 0, 1));
    }
    ExpectRaises<EVeltError>([&] { Db.CreateTable("OneMore", 1, 0, 1); }, "Too many tables");
    ASSERT_TRUE(Db.Open(Path, ""));
    EXPECT_EQ(Db.TableNames().size(), 256u);
    TVeltTable wide(&Db);
    wide.Open("Wide");
    EXPECT_EQ(wide.HeaderSize(), 6 + 4 * 8);
    EXPECT_EQ(wide.IndexCount(), 8);
}

TEST_F(DatabaseTest, OpenOnAnActiveDatabaseClosesItsTables) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable);
    ASSERT_TRUE(table.Active());
    ASSERT_TRUE(Db.Open(Path, ""));
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.RecordCount(), 0);
}

TEST_F(DatabaseTest, TableOutlivingItsDatabaseIsDetached) {
    CreateHistoryDatabase(Path);
    auto db = std::make_unique<TVeltDatabase>();
    ASSERT_TRUE(db->Open(Path, ""));
    TVeltTable table(db.get());
    table.Open(kHisTable);
    db.reset();
    EXPECT_EQ(table.Database(), nullptr);
    EXPECT_FALSE(table.Active());
    uint8_t data[18] = {};
    ExpectRaises<EVeltError>([&] { table.Append(data, 18); }, "Database is nil");
}

TEST_F(DatabaseTest, OpenOverAStreamNamesTheStreamInErrors) {
    TMemoryStream stream;
    stream.Write("NOPE", 4);
    char expected[64];
    std::snprintf(expected, sizeof expected, "Database file '%p' is a invalid VELT file",
                  static_cast<void*>(&stream));
    ExpectRaises<EVeltError>([&] { Db.OpenStream(&stream, ""); }, expected);

    CreateHistoryDatabase(Path);
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    TMemoryStream image;
    image.Write(bytes.data(), static_cast<int32_t>(bytes.size()));
    ASSERT_TRUE(Db.OpenStream(&image, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable);
    const TSample sample = MakeSample(45000.5, 1);
    EXPECT_EQ(table.Append(sample.Bytes, kHisRecordSize), 1);
    EXPECT_EQ(image.Length(), 6246 + 7168);
    EXPECT_EQ(FileSize(Path), 6246) << "the file itself is untouched";
}

// Another writer's append (a second open of the same file) moves the file on
// under the first: the first notices at its next operation, before it reads
// or writes through what it knows, and keeps refusing until opened again.
TEST_F(DatabaseTest, FileWrittenByAnotherOpenerIsRefusedUntilOpenedAgain) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable, true);
    const TSample first = MakeSample(45000.0, 1);
    table.Append(first.Bytes, kHisRecordSize);
    {
        TVeltDatabase other;
        ASSERT_TRUE(other.Open(Path, ""));
        TVeltTable otherTable(&other);
        otherTable.Open(kHisTable, true);
        const TSample sample = MakeSample(45001.0, 2);
        otherTable.Append(sample.Bytes, kHisRecordSize);
    }
    const std::vector<uint8_t> before = ReadBytes(Path);
    const TSample mine = MakeSample(45002.0, 3);
    EXPECT_THROW(table.Append(mine.Bytes, kHisRecordSize), EFileChanged);
    EXPECT_THROW(table.Append(mine.Bytes, kHisRecordSize), EFileChanged);
    EXPECT_EQ(Db.AccessDepth(), 0);
    EXPECT_EQ(ReadBytes(Path), before);

    ASSERT_TRUE(Db.Open(Path, ""));
    table.Open(kHisTable, true);
    table.Append(mine.Bytes, kHisRecordSize);
    EXPECT_EQ(table.RecordCount(), 3);
}

// Between operations the database keeps its descriptor, without the lock:
// another database opens and writes the file as if it were closed, and this
// one notices the append at its next read of the file, before using it.
TEST_F(DatabaseTest, KeptDescriptorYieldsTheLockAndNoticesAnAppendBetweenAccesses) {
    CreateHistoryDatabase(Path);
    {
        TVeltDatabase writer;
        ASSERT_TRUE(writer.Open(Path, ""));
        TVeltTable table(&writer);
        table.Open(kHisTable, true);
        for (int32_t i = 0; i < 300; ++i) {
            const TSample sample = MakeSample(45000.0 + i, i);
            table.Append(sample.Bytes, kHisRecordSize);
        }
    }
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable, true);
    EXPECT_TRUE(Db.FileIO().HoldsParked());
    EXPECT_FALSE(Db.FileIO().IsOpen());
    uint8_t data[kHisRecordSize];
    int32_t id = 0;
    ASSERT_TRUE(table.ReadRecord(299, id, data));
    {
        TVeltDatabase other;
        ASSERT_TRUE(other.Open(Path, ""));
        TVeltTable otherTable(&other);
        otherTable.Open(kHisTable, true);
        const TSample sample = MakeSample(46000.0, 7);
        otherTable.Append(sample.Bytes, kHisRecordSize);
    }
    EXPECT_THROW(table.ReadRecord(0, id, data), EFileChanged) << "a batch not read yet";
    EXPECT_EQ(Db.AccessDepth(), 0);
    ASSERT_TRUE(Db.Open(Path, ""));
    table.Open(kHisTable, true);
    EXPECT_EQ(table.RecordCount(), 301);
}

// The kept descriptor never stands in for the path: a file renamed over it
// is refused even when it is byte for byte the same, a read-only attribute
// set meanwhile makes the next access read-only as a fresh open would, and
// closing the database lets the descriptor go.
TEST_F(DatabaseTest, KeptDescriptorServesOnlyTheFileThePathStillNames) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable, true);
    Db.BeginAccess();
    EXPECT_FALSE(Db.ReadOnly());
    Db.EndAccess();
    ASSERT_EQ(::chmod(Path.c_str(), 0444), 0);
    Db.BeginAccess();
    EXPECT_TRUE(Db.ReadOnly());
    Db.EndAccess();
    ASSERT_EQ(::chmod(Path.c_str(), 0644), 0);
    Db.Close();
    EXPECT_FALSE(Db.FileIO().HoldsParked());

    ASSERT_TRUE(Db.Open(Path, ""));
    table.Open(kHisTable, true);
    ASSERT_TRUE(Db.FileIO().HoldsParked());
    const std::string copy = Dir.File("copy.dt");
    WriteBytes(copy, ReadBytes(Path));
    ASSERT_EQ(::rename(copy.c_str(), Path.c_str()), 0);
    EXPECT_THROW(Db.BeginAccess(), EFileChanged);
    EXPECT_EQ(Db.AccessDepth(), 0);
}

// Shared openers may both write. An append made by one while the other's
// access is open, the other having written nothing, is not taken for the
// other's own: its next access refuses the file.
TEST_F(DatabaseTest, AppendDuringAnotherSharedOpenersAccessIsNoticedAfterIt) {
    CreateHistoryDatabase(Path);
    Db.SetExclusive(false);
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable, true);
    TVeltDatabase writer;
    writer.SetExclusive(false);
    ASSERT_TRUE(writer.Open(Path, ""));
    TVeltTable writerTable(&writer);
    writerTable.Open(kHisTable, true);
    Db.BeginAccess();
    const TSample sample = MakeSample(45000.0, 1);
    writerTable.Append(sample.Bytes, kHisRecordSize);
    Db.EndAccess();
    EXPECT_THROW(Db.BeginAccess(), EFileChanged);
    ASSERT_TRUE(Db.Open(Path, ""));
    table.Open(kHisTable, true);
    EXPECT_EQ(table.RecordCount(), 1);
}

// A file put in place of the open one (a backup restored by hand): refused,
// even when it is byte for byte what the open database left.
TEST_F(DatabaseTest, FileReplacedAtItsPathIsRefused) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable, true);
    const std::vector<uint8_t> bytes = ReadBytes(Path);
    const std::string copy = Dir.File("copy.dt");
    WriteBytes(copy, bytes);
    ASSERT_EQ(::rename(copy.c_str(), Path.c_str()), 0);
    const TSample sample = MakeSample(45000.0, 1);
    EXPECT_THROW(table.Append(sample.Bytes, kHisRecordSize), EFileChanged);
    EXPECT_EQ(ReadBytes(Path), bytes);
}

// A reader's shared lock makes the writer's next operation fail at once as
// busy, with nothing written, and the same operation succeeds once the
// reader is gone. Readers share the file among themselves.
TEST_F(DatabaseTest, SharedReaderMakesTheWriterBusyWithoutWritingAnything) {
    CreateHistoryDatabase(Path);
    ASSERT_TRUE(Db.Open(Path, ""));
    TVeltTable table(&Db);
    table.Open(kHisTable, true);
    const TSample sample = MakeSample(45000.0, 1);
    {
        TVeltDatabase reader;
        reader.SetExclusive(false);
        ASSERT_TRUE(reader.Open(Path, ""));
        reader.BeginAccess();
        TVeltDatabase secondReader;
        secondReader.SetExclusive(false);
        EXPECT_TRUE(secondReader.Open(Path, ""));
        const std::vector<uint8_t> before = ReadBytes(Path);
        EXPECT_THROW(table.Append(sample.Bytes, kHisRecordSize), EFileBusy);
        EXPECT_EQ(ReadBytes(Path), before);
        EXPECT_EQ(Db.AccessDepth(), 0);
        reader.EndAccess();
    }
    table.Append(sample.Bytes, kHisRecordSize);
    EXPECT_EQ(table.RecordCount(), 1);
}
