// The writes of one table operation, and what the next open makes of the
// file when a power cut stops the operation after any one of them.

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "EngineTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"
#include "engine/WriteLog.h"

using namespace enginetest;
using writelog::AfterWrites;
using writelog::TWriteLogStream;

namespace {

// Ids in the order of the "DateTime" index of an image, or nothing when the
// engine refuses to open it.
std::optional<std::vector<int32_t>> OpenedOrder(const std::vector<uint8_t>& image) {
    TMemoryStream stream;
    stream.Write(image.data(), static_cast<int32_t>(image.size()));
    TVeltDatabase db;
    if (!db.OpenStream(&stream, "")) return std::nullopt;
    TVeltTable table(&db);
    try {
        table.Open(kHisTable);
    } catch (const EVeltFileCorrupt&) {
        return std::nullopt;
    }
    return table.Index(0).Ids();
}

class WriteOrderTest : public ::testing::Test {
  protected:
    TTempDir Dir;
    std::vector<uint8_t> Before;
    std::unique_ptr<TWriteLogStream> Stream;
    TVeltDatabase Db;
    std::unique_ptr<TVeltTable> Table;

    // Samples 1..5 at times 40001..40005, then the log starts.
    void SetUp() override {
        const std::string path = Dir.File("HistoryData.dt");
        CreateHistoryDatabase(path);
        Stream = std::make_unique<TWriteLogStream>(ReadBytes(path));
        ASSERT_TRUE(Db.OpenStream(Stream.get(), ""));
        Table = std::make_unique<TVeltTable>(&Db);
        Table->Open(kHisTable);
        for (int32_t i = 1; i <= 5; ++i) Table->Append(MakeSample(40000 + i, i).Bytes, 18);
        Before = Stream->Image();
        Stream->ForgetWrites();
    }

    // How many of the images a cut after each write leaves (the last one is
    // the finished operation) the engine refuses; the finished one must
    // open in Expected order.
    int RefusedPrefixes(const std::vector<int32_t>& expected) {
        const auto& writes = Stream->Writes();
        EXPECT_EQ(AfterWrites(Before, writes, writes.size()), Stream->Image());
        EXPECT_EQ(Stream->Resizes(), 0);
        int refused = 0;
        for (size_t n = 1; n <= writes.size(); ++n) {
            if (!OpenedOrder(AfterWrites(Before, writes, n))) ++refused;
        }
        EXPECT_EQ(OpenedOrder(Stream->Image()), expected);
        return refused;
    }
};

TEST_F(WriteOrderTest, UpdateThatKeepsTheRecordBetweenItsNeighboursWritesOnlyItsData) {
    // The same time with other values, then a time that still lies between
    // samples 2 and 4: the chain stays as it is and only the data changes.
    Table->Update(3, MakeSample(40003, 77).Bytes, 18);
    ASSERT_EQ(Stream->Writes().size(), 1u);
    Table->Update(3, MakeSample(40003.5, 78).Bytes, 18);
    ASSERT_EQ(Stream->Writes().size(), 2u);
    for (const auto& write : Stream->Writes()) {
        EXPECT_EQ(write.Position, Table->RecordPosition(3) + 10);
        EXPECT_EQ(write.Bytes.size(), 18u);
    }
    EXPECT_EQ(RefusedPrefixes({1, 2, 3, 4, 5}), 0);
}

TEST_F(WriteOrderTest, UpdateThatMovesTheRecordRelinksIt) {
    Table->Update(2, MakeSample(40004.5, 2).Bytes, 18);
    Table->Update(5, MakeSample(39000, 5).Bytes, 18);
    EXPECT_EQ(Table->Index(0).Ids(), (std::vector<int32_t>{5, 1, 3, 4, 2}));
    RefusedPrefixes({5, 1, 3, 4, 2});
}

TEST_F(WriteOrderTest, AppendThatStartsTheChainOpensAfterEveryWrite) {
    // The record with its link, then the definition with count and head.
    Table->Append(MakeSample(39000, 6).Bytes, 18);
    EXPECT_EQ(Stream->Writes().size(), 2u);
    EXPECT_EQ(RefusedPrefixes({6, 1, 2, 3, 4, 5}), 0);
}

TEST_F(WriteOrderTest, AppendInsideOrAtTheEndLeavesOneRefusedPrefix) {
    // Record with its link, count, predecessor's link: only a cut between
    // the last two leaves a record that no chain reaches.
    Table->Append(MakeSample(40006, 6).Bytes, 18);
    EXPECT_EQ(Stream->Writes().size(), 3u);
    EXPECT_EQ(RefusedPrefixes({1, 2, 3, 4, 5, 6}), 1);
    Stream->ForgetWrites();
    Before = Stream->Image();
    Table->Append(MakeSample(40002.5, 7).Bytes, 18);
    EXPECT_EQ(Stream->Writes().size(), 3u);
    EXPECT_EQ(RefusedPrefixes({1, 2, 7, 3, 4, 5, 6}), 1);
}

TEST_F(WriteOrderTest, DeleteFlagsThenUnlinks) {
    const int64_t flag = Table->RecordPosition(3) + 1;
    Table->Delete(3);
    ASSERT_EQ(Stream->Writes().size(), 2u);
    EXPECT_EQ(Stream->Writes()[0].Position, flag);
    EXPECT_EQ(RefusedPrefixes({1, 2, 4, 5}), 1);
}

}  // namespace
