// The file as a shared, finite resource: exclusive opening per operation,
// read-only files, writes that do not complete, and the durability switch.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "EngineTestSupport.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"

using namespace enginetest;

namespace {

// Runs Body in a child process and returns its exit code (-1 on a signal).
template <class Body>
int InChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        int code = 99;
        try {
            code = body();
        } catch (...) {
            code = 98;
        }
        ::_exit(code);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Limits the size of any file this process writes; SIGXFSZ is ignored, so
// writes past the limit fail with EFBIG instead of killing the process.
void LimitFileSize(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{bytes, RLIM_INFINITY};
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

void AppendSamples(TVeltTable& table, int32_t from, int32_t to) {
    for (int32_t i = from; i <= to; ++i) {
        table.Append(MakeSample(40000 + i, i).Bytes, kHisRecordSize);
    }
}

}  // namespace

TEST(Reliability, SecondOpenerFailsWhileAnOperationHoldsTheFile) {
    TTempDir dir;
    const std::string path = dir.File("HistoryData.dt");
    CreateHistoryDatabase(path);
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(path, ""));
    TVeltTable table(&db);
    table.Open(kHisTable);
    AppendSamples(table, 1, 3);

    TVeltDatabase other;
    EXPECT_TRUE(other.Open(path, "")) << "between operations the file is free";
    table.BeginAccess();
    EXPECT_THROW(other.Open(path, ""), EFOpenError);
    EXPECT_FALSE(other.Active());
    EXPECT_EQ(InChild([&] {
                  TVeltDatabase elsewhere;
                  try {
                      elsewhere.Open(path, "");
                      return 0;
                  } catch (const EFOpenError&) {
                      return 7;
                  }
              }),
              7);
    AppendSamples(table, 4, 4);  // nested inside the held access
    table.EndAccess();
    ASSERT_TRUE(other.Open(path, ""));
    TVeltTable second(&other);
    second.Open(kHisTable);
    EXPECT_EQ(second.RecordCount(), 4);
}

TEST(Reliability, ReadOnlyFileIsReadButNeverWritten) {
    TTempDir dir;
    const std::string path = dir.File("HistoryData.dt");
    CreateHistoryDatabase(path);
    {
        TVeltDatabase db;
        ASSERT_TRUE(db.Open(path, ""));
        TVeltTable table(&db);
        table.Open(kHisTable);
        AppendSamples(table, 1, 3);
    }
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    const std::vector<uint8_t> before = ReadBytes(path);
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(path, ""));
    EXPECT_TRUE(db.ReadOnly());
    TVeltTable table(&db);
    table.Open(kHisTable);
    uint8_t data[kHisRecordSize];
    int32_t id;
    ASSERT_TRUE(table.ReadRecord(2, id, data));
    EXPECT_EQ(SampleTime(data), 40003);
    EXPECT_THROW(AppendSamples(table, 4, 4), EWriteError);
    EXPECT_THROW(db.CreateTable("More", 4, 0, 1), EWriteError);
    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_FALSE(db.CreateDatabase(path, false, "Zlib", true, "Blowfish", ""))
        << "a read-only file is not overwritten";
    EXPECT_EQ(ReadBytes(path), before);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    ASSERT_TRUE(db.Open(path, ""));
    EXPECT_TRUE(db.ReadOnly()) << "the database keeps opening read-only";
}

TEST(Reliability, WriteBeyondTheFileSizeLimitRaisesWithTheReason) {
    TTempDir dir;
    const std::string path = dir.File("HistoryData.dt");
    CreateHistoryDatabase(path, 4);  // 6246 bytes; each growth step adds 4 x 28
    const int code = InChild([&] {
        LimitFileSize(6246 + 4 * 28 + 50);
        TVeltDatabase db;
        if (!db.Open(path, "")) return 1;
        TVeltTable table(&db);
        table.Open(kHisTable);
        AppendSamples(table, 1, 4);  // fits
        try {
            AppendSamples(table, 5, 5);  // needs 112 more bytes
            return 2;
        } catch (const EWriteError& error) {
            const std::string message = error.what();
            if (message.find(std::strerror(EFBIG)) == std::string::npos) return 3;
            if (message.find(path) == std::string::npos) return 4;
        }
        if (table.RecordCount() != 4) return 5;
        // Once there is room again the table carries on where it was.
        LimitFileSize(RLIM_INFINITY);
        AppendSamples(table, 5, 6);
        return table.RecordCount() == 6 ? 0 : 6;
    });
    EXPECT_EQ(code, 0);
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(path, ""));
    TVeltTable table(&db);
    table.Open(kHisTable);
    ASSERT_EQ(table.RecordCount(), 6);
    EXPECT_EQ(table.Index(0).Ids(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6}));
    uint8_t data[kHisRecordSize];
    int32_t id;
    for (int32_t p = 0; p < 6; ++p) {
        ASSERT_TRUE(table.ReadRecord(p, id, data));
        EXPECT_EQ(std::memcmp(data, MakeSample(40000 + id, id).Bytes, kHisRecordSize), 0);
    }
}

TEST(Reliability, HeaderThatCannotBeWrittenLeavesNoFile) {
    TTempDir dir;
    const std::string path = dir.File("new.dt");
    const int code = InChild([&] {
        LimitFileSize(3000);
        TVeltDatabase db;
        return db.CreateDatabase(path, false, "Zlib", true, "Blowfish", "") ? 1 : 0;
    });
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Reliability, ShortWriteToAStreamIsAnError) {
    // A stream that accepts only part of every write.
    class THalfStream final : public TStream {
      public:
        int32_t Read(void*, int32_t) override { return 0; }
        int32_t Write(const void*, int32_t count) override { return count / 2; }
        int64_t Seek(int64_t offset, TSeekOrigin) override { return offset; }
        void SetSize(int64_t) override {}
    } half;
    TVeltFileIO io;
    ASSERT_TRUE(io.OpenStream(&half, true, false, 0));
    TVeltDirectory directory{};
    EXPECT_THROW(io.WriteDirectory(directory), EWriteError);
}

TEST(Reliability, DurableAndPlainRunsWriteIdenticalFiles) {
    TTempDir dir;
    std::vector<std::vector<uint8_t>> files;
    for (bool durable : {false, true}) {
        const std::string path = dir.File(durable ? "durable.dt" : "plain.dt");
        TVeltDatabase db;
        db.SetDurable(durable);
        EXPECT_EQ(db.Durable(), durable);
        ASSERT_TRUE(db.CreateDatabase(path, false, "Zlib", true, "Blowfish", ""));
        ASSERT_TRUE(db.Open(path, ""));
        ASSERT_TRUE(db.CreateTable(kHisTable, kHisRecordSize, 0, 16));
        ASSERT_TRUE(db.CreateIndex(kHisTable, kHisIndex, 0, ftDateTime));
        TVeltTable table(&db);
        table.Open(kHisTable);
        AppendSamples(table, 1, 40);
        table.Update(5, MakeSample(1, 1).Bytes, kHisRecordSize);
        table.Delete(7);
        uint8_t data[kHisRecordSize];
        int32_t id;
        ASSERT_TRUE(table.ReadRecord(10, id, data));
        files.push_back(ReadBytes(path));
    }
    EXPECT_EQ(files[0].size(), files[1].size());
    EXPECT_TRUE(files[0] == files[1]);
}
