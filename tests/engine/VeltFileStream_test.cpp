#include "engine/VeltFileStream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "EngineTestSupport.h"
#include "algorithms/Stream.h"
#include "engine/VeltErrors.h"

using namespace enginetest;

namespace {

std::string MakeFile(const TTempDir& dir, const std::string& name, const std::string& text) {
    const std::string path = dir.File(name);
    WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
    return path;
}

// Runs Body in a child process and returns its exit code.
template <class Body>
int InChild(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Whether another process can open the file (a lock of ours keeps it out).
bool AnotherProcessOpens(const std::string& path) {
    return InChild([&] {
               try {
                   TVeltDiskFileStream other;
                   other.Open(path);
                   return 0;
               } catch (const EFOpenError&) {
                   return 3;
               }
           }) == 0;
}

}  // namespace

TEST(VeltFileStream, InactiveStreamsAnswerZero) {
    TVeltDiskFileStream disk;
    TVeltMemFileStream memory;
    for (TVeltFileStream* stream :
         {static_cast<TVeltFileStream*>(&disk), static_cast<TVeltFileStream*>(&memory)}) {
        uint8_t buffer[4] = {9, 9, 9, 9};
        EXPECT_FALSE(stream->Active());
        EXPECT_EQ(stream->Read(buffer, 4), 0);
        EXPECT_EQ(stream->Write(buffer, 4), 0);
        EXPECT_EQ(stream->Seek(10, TSeekOrigin::Beginning), 0);
        EXPECT_EQ(stream->GetSize(), 0);
        EXPECT_EQ(stream->GetPosition(), 0);
        EXPECT_EQ(buffer[0], 9);
    }
    EXPECT_FALSE(disk.IsInMemory());
    EXPECT_TRUE(memory.IsInMemory());
    EXPECT_TRUE(disk.Exclusive());
    EXPECT_FALSE(disk.ReadOnly());
}

TEST(VeltFileStream, BaseOpenOnlyStoresTheName) {
    TVeltMemFileStream stream;
    stream.TVeltFileStream::Open("some/name.dt");
    EXPECT_EQ(stream.FileName(), "some/name.dt");
    EXPECT_FALSE(stream.Active());
}

TEST(VeltFileStream, NegativeBaseOffsetBecomesZero) {
    TVeltMemFileStream stream;
    stream.SetBaseOffset(12);
    EXPECT_EQ(stream.BaseOffset(), 12);
    stream.SetBaseOffset(-5);
    EXPECT_EQ(stream.BaseOffset(), 0);
}

TEST(VeltFileStream, BaseOffsetShiftsEveryPosition) {
    TMemoryStream source;
    source.Write("0123456789", 10);
    TVeltMemFileStream stream;
    stream.SetBaseOffset(4);
    ASSERT_TRUE(stream.OpenStream(&source));
    char c = 0;
    EXPECT_EQ(stream.Read(&c, 1), 1);
    EXPECT_EQ(c, '4');
    EXPECT_EQ(stream.GetSize(), 6);
    stream.SetPosition(2);
    EXPECT_EQ(stream.Read(&c, 1), 1);
    EXPECT_EQ(c, '6');
}

TEST(VeltFileStream, MemoryCloseLeavesTheCallersStreamUsable) {
    TMemoryStream source;
    source.Write("abc", 3);
    {
        TVeltMemFileStream stream;
        ASSERT_TRUE(stream.OpenStream(&source));
        EXPECT_EQ(stream.GetPosition(), 0);
        EXPECT_EQ(stream.Write("XY", 2), 2);
        stream.Close();
        EXPECT_FALSE(stream.Active());
        EXPECT_TRUE(stream.FileName().empty());
    }
    source.SetPosition(0);
    char text[3];
    ASSERT_EQ(source.Read(text, 3), 3);
    EXPECT_EQ(std::string(text, 3), "XYc");
}

TEST(VeltFileStream, DiskStreamReadsWritesAndSizes) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "a.bin", "hello");
    TVeltDiskFileStream stream;
    stream.Open(path);
    ASSERT_TRUE(stream.Active());
    EXPECT_EQ(stream.GetSize(), 5);
    stream.SetPosition(5);
    EXPECT_EQ(stream.Write(" world", 6), 6);
    EXPECT_TRUE(stream.Written());
    EXPECT_EQ(stream.GetSize(), 11);
    stream.SetPosition(0);
    char text[16] = {};
    EXPECT_EQ(stream.Read(text, 16), 11);  // short read at the end
    EXPECT_STREQ(text, "hello world");
    stream.SetSize(4);
    EXPECT_EQ(stream.GetSize(), 4);
    stream.Flush();
    stream.Close();
    EXPECT_EQ(FileSize(path), 4);
}

TEST(VeltFileStream, MissingFileRaisesFileOpenErrorWithPathAndReason) {
    TTempDir dir;
    const std::string path = dir.File("missing.dt");
    TVeltDiskFileStream stream;
    try {
        stream.Open(path);
        FAIL() << "no exception";
    } catch (const EFOpenError& error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
    }
    EXPECT_FALSE(stream.Active());
    EXPECT_FALSE(std::filesystem::exists(path)) << "opening must never create the file";
}

TEST(VeltFileStream, DirectoriesAndFifosAreRefusedWithoutWaiting) {
    TTempDir dir;
    TVeltDiskFileStream stream;
    EXPECT_THROW(stream.Open(dir.Path().string()), EFOpenError);
    const std::string fifo = dir.File("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(stream.Open(fifo), EFOpenError);
    stream.SetReadOnly(true);
    EXPECT_THROW(stream.Open(fifo), EFOpenError);
}

TEST(VeltFileStream, ReadOnlyAttributeForcesReadOnly) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "ro.dt", "data");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    TVeltDiskFileStream stream;
    stream.Open(path);
    EXPECT_TRUE(stream.FileReadOnlyAttribute());
    EXPECT_TRUE(stream.ReadOnly());
    stream.SetReadOnly(false);
    EXPECT_TRUE(stream.ReadOnly());
    char c;
    EXPECT_EQ(stream.Read(&c, 1), 1);
    // A privileged user could write a 0444 file; the stream opened it for
    // reading only, so the write fails loudly.
    stream.SetPosition(0);
    EXPECT_THROW(stream.Write("x", 1), EWriteError);
    EXPECT_EQ(ReadBytes(path)[0], 'd');
}

TEST(VeltFileStream, SetReadOnlyReopensAndKeepsThePosition) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "rw.dt", "abcdef");
    TVeltDiskFileStream stream;
    stream.SetReadOnly(true);
    stream.Open(path);
    stream.SetPosition(3);
    stream.SetReadOnly(false);
    EXPECT_FALSE(stream.ReadOnly());
    EXPECT_EQ(stream.GetPosition(), 3);
    EXPECT_EQ(stream.Write("X", 1), 1);
    stream.Close();
    EXPECT_EQ(ReadBytes(path)[3], 'X');
}

TEST(VeltFileStream, ExclusiveOpenAdmitsNoSecondOpener) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "x.dt", "data");
    TVeltDiskFileStream first;
    first.Open(path);
    TVeltDiskFileStream second;
    EXPECT_THROW(second.Open(path), EFOpenError);
    second.SetExclusive(false);
    EXPECT_THROW(second.Open(path), EFOpenError);
    // Another process is refused just the same.
    EXPECT_FALSE(AnotherProcessOpens(path));
    first.Close();
    EXPECT_NO_THROW(second.Open(path));
}

TEST(VeltFileStream, SetExclusiveReopensOnlyOnChange) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "s.dt", "abcdef");
    TVeltDiskFileStream stream;
    stream.Open(path);
    stream.SetPosition(4);
    stream.SetExclusive(true);  // unchanged: the exclusive lock is still held
    TVeltDiskFileStream shared;
    shared.SetExclusive(false);
    EXPECT_THROW(shared.Open(path), EFOpenError);
    stream.SetExclusive(false);  // reopened shared, same position
    EXPECT_EQ(stream.GetPosition(), 4);
    EXPECT_NO_THROW(shared.Open(path));
    TVeltDiskFileStream exclusive;
    EXPECT_THROW(exclusive.Open(path), EFOpenError);
}

// A parked stream holds no lock: another opener, in another process too, is
// admitted as after a close, and the stream resumes once it is gone.
TEST(VeltFileStream, ParkedStreamAdmitsOtherOpenersAndResumesAfterThem) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "p.dt", "parked");
    TVeltDiskFileStream stream;
    stream.Open(path);
    stream.Write("P", 1);
    ASSERT_TRUE(stream.Park());
    EXPECT_TRUE(AnotherProcessOpens(path));
    {
        TVeltDiskFileStream other;
        other.Open(path);
        EXPECT_FALSE(stream.Resume()) << "the other opener holds the lock";
    }
    ASSERT_TRUE(stream.Resume());
    EXPECT_FALSE(stream.Written()) << "a resumed stream reads as one just opened";
    EXPECT_EQ(stream.GetPosition(), 0);
    char text[6] = {};
    EXPECT_EQ(stream.Read(text, 6), 6);
    EXPECT_EQ(std::string(text, 6), "Parked");
    TVeltDiskFileStream second;
    EXPECT_THROW(second.Open(path), EFOpenError) << "resumed, the lock is held again";
}

// Resuming is refused whenever a fresh open would find another file or open
// it another way: the path renamed over, the file deleted, its read-only
// attribute changed. Size and time are left to the caller's checks.
TEST(VeltFileStream, ResumeRefusesAnotherFileAtThePath) {
    TTempDir dir;
    const std::string path = MakeFile(dir, "r.dt", "first");
    TVeltDiskFileStream stream;
    stream.Open(path);
    const TFileIdentity opened = stream.OpenedIdentity();
    EXPECT_EQ(opened, stream.Identity());
    ASSERT_TRUE(stream.Park());

    const std::string other = MakeFile(dir, "o.dt", "first");
    ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
    EXPECT_FALSE(stream.Resume());
    TVeltDiskFileStream renamed;
    renamed.Open(path);
    ASSERT_TRUE(renamed.Park());
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_FALSE(renamed.Resume());

    const std::string kept = MakeFile(dir, "k.dt", "kept");
    TVeltDiskFileStream attribute;
    attribute.Open(kept);
    ASSERT_TRUE(attribute.Park());
    ASSERT_EQ(::chmod(kept.c_str(), 0444), 0);
    EXPECT_FALSE(attribute.Resume());
    ASSERT_EQ(::chmod(kept.c_str(), 0644), 0);

    MakeFile(dir, "k.dt", "grown by another writer");
    ASSERT_TRUE(attribute.Resume());
    EXPECT_EQ(attribute.OpenedIdentity().Size, 23) << "taken afresh after the lock";
    EXPECT_EQ(attribute.GetSize(), 23);
}
