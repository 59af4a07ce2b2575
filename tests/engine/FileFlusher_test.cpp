// The flusher: files handed over are put on stable storage on its thread,
// each file once per round however often it was handed over, tickets done
// in order, failures kept; the writer's locks are never held by it; and a
// durable database with a flusher writes exactly the bytes it writes without.

#include "engine/FileFlusher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>

#include "EngineTestSupport.h"
#include "engine/PlatformFileStream.h"
#include "engine/VeltErrors.h"

using namespace enginetest;

namespace {

// A sync that the test holds back until it lets go, and that records which
// files it flushed.
class TGate {
  public:
    int Sync(int fd) {
        std::unique_lock<std::mutex> guard(FLock);
        ++FEntered;
        FChanged.notify_all();
        FChanged.wait(guard, [this] { return FOpen; });
        struct stat st {};
        ::fstat(fd, &st);
        FFlushed.push_back(st.st_ino);
        if (FFailInode != 0 && st.st_ino == FFailInode) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    void WaitEntered(int count) {
        std::unique_lock<std::mutex> guard(FLock);
        FChanged.wait(guard, [&] { return FEntered >= count; });
    }
    void Open() {
        std::lock_guard<std::mutex> guard(FLock);
        FOpen = true;
        FChanged.notify_all();
    }
    void FailOn(ino_t inode) { FFailInode = inode; }
    std::vector<ino_t> Flushed() {
        std::lock_guard<std::mutex> guard(FLock);
        return FFlushed;
    }

  private:
    std::mutex FLock;
    std::condition_variable FChanged;
    int FEntered = 0;
    bool FOpen = false;
    ino_t FFailInode = 0;
    std::vector<ino_t> FFlushed;
};

ino_t InodeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_ino;
}

class FileFlusherTest : public ::testing::Test {
  protected:
    FileFlusherTest() {
        for (const char* name : {"a.dt", "b.dt"}) {
            WriteBytes(Dir.File(name), {1, 2, 3});
        }
    }
    TTempDir Dir;
    TGate Gate;
};

}  // namespace

TEST_F(FileFlusherTest, FilesHandedOverDuringARoundAreFlushedTogetherInTheNextOnce) {
    TFileFlusher flusher([this](int fd) { return Gate.Sync(fd); });
    TPlatformFileStream a(Dir.File("a.dt"), false, true);
    TPlatformFileStream b(Dir.File("b.dt"), false, true);
    EXPECT_EQ(flusher.Submit(a.Handle(), a.Path()), 1u);
    Gate.WaitEntered(1);  // the first round holds a
    // Meanwhile the writer goes on: a three times more, b once.
    for (int i = 0; i < 3; ++i) flusher.Submit(a.Handle(), a.Path());
    EXPECT_EQ(flusher.Submit(b.Handle(), b.Path()), 5u);
    EXPECT_EQ(flusher.Done(), 0u);
    EXPECT_EQ(flusher.Submitted(), 5u);
    Gate.Open();
    flusher.WaitFlushed();
    EXPECT_EQ(flusher.Done(), 5u);
    EXPECT_EQ(flusher.Rounds(), 2u);
    EXPECT_EQ(flusher.Syncs(), 3u);  // a; then a and b once each
    const std::vector<ino_t> flushed = Gate.Flushed();
    ASSERT_EQ(flushed.size(), 3u);
    EXPECT_EQ(flushed[0], InodeOf(a.Path()));
    EXPECT_EQ(std::set<ino_t>(flushed.begin() + 1, flushed.end()),
              std::set<ino_t>({InodeOf(a.Path()), InodeOf(b.Path())}));
    EXPECT_TRUE(flusher.TakeFailures().empty());
}

// The writer closes its descriptor at the end of every operation and opens
// the file again, exclusively, for the next: a flush still running must not
// keep the file locked.
TEST_F(FileFlusherTest, TheFlushersDescriptorHoldsNoLockOfTheWriter) {
    TFileFlusher flusher([this](int fd) { return Gate.Sync(fd); });
    {
        TPlatformFileStream writer(Dir.File("a.dt"), false, true);
        flusher.Submit(writer.Handle(), writer.Path());
    }
    Gate.WaitEntered(1);
    EXPECT_NO_THROW(TPlatformFileStream(Dir.File("a.dt"), false, true));
    EXPECT_NO_THROW(TPlatformFileStream(Dir.File("a.dt"), true, false));
    Gate.Open();
    flusher.WaitFlushed();
    EXPECT_EQ(Gate.Flushed(), std::vector<ino_t>({InodeOf(Dir.File("a.dt"))}));
}

TEST_F(FileFlusherTest, AFailedFlushIsKeptWithItsPathAndTheOthersGoOn) {
    Gate.FailOn(InodeOf(Dir.File("b.dt")));
    Gate.Open();
    TFileFlusher flusher([this](int fd) { return Gate.Sync(fd); });
    TPlatformFileStream a(Dir.File("a.dt"), false, true);
    TPlatformFileStream b(Dir.File("b.dt"), false, true);
    flusher.Submit(b.Handle(), b.Path());
    flusher.Submit(a.Handle(), a.Path());
    flusher.WaitFlushed();
    EXPECT_EQ(flusher.Done(), 2u);
    const std::vector<TFileFlusher::TFailure> failures = flusher.TakeFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].Path, b.Path());
    EXPECT_EQ(failures[0].Error, EIO);
    EXPECT_TRUE(flusher.TakeFailures().empty());
    EXPECT_EQ(flusher.Syncs(), 2u);
}

TEST_F(FileFlusherTest, EndingFlushesEverythingHandedOver) {
    std::atomic<int> syncs = 0;
    {
        TFileFlusher flusher([&](int fd) {
            ++syncs;
            return ::fdatasync(fd);
        });
        TPlatformFileStream a(Dir.File("a.dt"), false, true);
        flusher.Submit(a.Handle(), a.Path());
    }
    EXPECT_EQ(syncs.load(), 1);
}

// A durable database with a flusher: each operation hands its file over
// instead of flushing; the file's bytes are those of an inline-flushing run,
// and the next operation never meets its own lock.
TEST(FileFlusherDatabase, ADurableDatabaseHandsEachWrittenOperationOver) {
    TTempDir dir;
    std::vector<std::vector<uint8_t>> files;
    for (bool withFlusher : {false, true}) {
        TFileFlusher flusher;
        const std::string path = dir.File(withFlusher ? "flusher.dt" : "inline.dt");
        CreateHistoryDatabase(path);
        TVeltDatabase db;
        db.SetDurable(true);
        if (withFlusher) db.SetFlusher(&flusher);
        ASSERT_TRUE(db.Open(path, ""));
        TVeltTable table(&db);
        table.Open(kHisTable);
        for (int32_t i = 1; i <= 40; ++i) {
            table.Append(MakeSample(40000 + i, i).Bytes, kHisRecordSize);
        }
        table.Update(5, MakeSample(1, 1).Bytes, kHisRecordSize);
        table.Delete(7);
        uint8_t data[kHisRecordSize];
        int32_t id;
        ASSERT_TRUE(table.ReadRecord(10, id, data));  // reads hand nothing over
        flusher.WaitFlushed();
        EXPECT_EQ(flusher.Submitted(), withFlusher ? 42u : 0u);
        EXPECT_GE(flusher.Syncs(), withFlusher ? 1u : 0u);
        EXPECT_LE(flusher.Syncs(), flusher.Submitted());
        db.Close();
        files.push_back(ReadBytes(path));
    }
    EXPECT_TRUE(files[0] == files[1]);
}
