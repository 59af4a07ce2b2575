#include "engine/VeltFileIO.h"

#include <gtest/gtest.h>

#include <cstring>

#include "EngineTestSupport.h"
#include "algorithms/Stream.h"
#include "engine/VeltErrors.h"

using namespace enginetest;

namespace {

// A memory "file" of Size bytes, zero unless given.
struct TMemoryFile {
    TMemoryStream Stream;
    TVeltFileIO IO;

    explicit TMemoryFile(int64_t size) {
        Stream.SetSize(size);
        IO.OpenStream(&Stream, true, false, 0);
    }
    std::vector<uint8_t> Bytes() {
        return std::vector<uint8_t>(Stream.Memory(), Stream.Memory() + Stream.Length());
    }
};

void PutSignature(TMemoryStream& stream, const char* magic, const char* version) {
    uint8_t block[kSignatureSize] = {};
    std::memcpy(block, magic, std::min<size_t>(std::strlen(magic), 5));
    std::memcpy(block + 5, version, std::min<size_t>(std::strlen(version), 5));
    stream.SetPosition(0);
    stream.Write(block, kSignatureSize);
}

}  // namespace

TEST(VeltFileIO, SignatureIsExactAndCaseSensitive) {
    TMemoryFile file(kHeaderSize);
    PutSignature(file.Stream, "VELT", "1.0");
    EXPECT_TRUE(file.IO.CheckSignature());
    PutSignature(file.Stream, "velt", "1.0");
    EXPECT_FALSE(file.IO.CheckSignature());
    PutSignature(file.Stream, "VELTX", "1.0");
    EXPECT_FALSE(file.IO.CheckSignature());
    PutSignature(file.Stream, "VEL", "1.0");
    EXPECT_FALSE(file.IO.CheckSignature());
}

TEST(VeltFileIO, VersionUpToOnePointZeroIsAccepted) {
    TMemoryFile file(kHeaderSize);
    for (const char* accepted : {"1.0", "0.9", "1", ""}) {
        PutSignature(file.Stream, "VELT", accepted);
        EXPECT_TRUE(file.IO.CheckVersion()) << accepted;
    }
    for (const char* refused : {"1.1", "2.0", "1.0a", "10"}) {
        PutSignature(file.Stream, "VELT", refused);
        EXPECT_FALSE(file.IO.CheckVersion()) << refused;
    }
}

TEST(VeltFileIO, EmptyFileHasNoSignature) {
    TMemoryFile file(0);
    EXPECT_FALSE(file.IO.CheckSignature());
}

TEST(VeltFileIO, DirectoryIsWrittenTwice) {
    TMemoryFile file(kHeaderSize);
    TVeltDirectory directory{};
    directory.Count.Set(2);
    directory.Offsets[0].Set(4796);
    directory.Offsets[1].Set(6246);
    file.IO.WriteDirectory(directory);
    const std::vector<uint8_t> bytes = file.Bytes();
    ASSERT_EQ(bytes.size(), static_cast<size_t>(kHeaderSize));
    EXPECT_EQ(std::memcmp(bytes.data() + kDirectoryOffset, &directory, kDirectorySize), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + kDirectoryCopyOffset, &directory, kDirectorySize), 0);
    TVeltDirectory back{};
    file.IO.ReadDirectory(back);
    EXPECT_EQ(back.Count.Get(), 2);
    EXPECT_EQ(back.Offsets[1].Get(), 6246);
}

TEST(VeltFileIO, TableDefinitionIsWrittenTwiceBackToBack) {
    TMemoryFile file(kHeaderSize + 2 * kTableDefSize);
    TVeltDirectory directory{};
    directory.Count.Set(1);
    directory.Offsets[0].Set(kHeaderSize);
    TTableDef def{};
    def.Name.Set("HisDataTable");
    def.RecordSize.Set(18);
    def.Capacity.Set(256);
    file.IO.WriteTableDef(directory, 0, def);
    const std::vector<uint8_t> bytes = file.Bytes();
    EXPECT_EQ(std::memcmp(bytes.data() + kHeaderSize, &def, kTableDefSize), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + kHeaderSize + kTableDefSize, &def, kTableDefSize), 0);
    TTableDef back{};
    file.IO.ReadTableDef(directory, 0, back);
    EXPECT_EQ(back.Name.Get(), "HisDataTable");
    EXPECT_EQ(back.Capacity.Get(), 256);
}

TEST(VeltFileIO, BlocksTheFileDoesNotHoldAreCorrupt) {
    TMemoryFile file(kDirectoryOffset + 100);  // cut inside the directory
    TVeltDirectory directory{};
    EXPECT_THROW(file.IO.ReadDirectory(directory), EVeltFileCorrupt);
    TAlgorithmBlock algorithms{};
    EXPECT_NO_THROW(file.IO.ReadAlgorithmBlock(algorithms));

    TMemoryFile whole(kHeaderSize + 100);
    directory.Count.Set(1);
    TTableDef def{};
    for (int32_t offset : {0, 100, kHeaderSize - 1, kHeaderSize, kHeaderSize + 50, -8}) {
        directory.Offsets[0].Set(offset);
        EXPECT_THROW(whole.IO.ReadTableDef(directory, 0, def), EVeltFileCorrupt) << offset;
    }
    EXPECT_THROW(whole.IO.ReadTableDef(directory, kMaxTables, def), EVeltFileCorrupt);
}

TEST(VeltFileIO, DirectoryCountAbove256IsCorrupt) {
    TMemoryFile file(kHeaderSize);
    for (int32_t count : {257, -1, INT32_MAX}) {
        uint8_t bytes[4];
        PutLe32(bytes, count);
        file.Stream.SetPosition(kDirectoryOffset);
        file.Stream.Write(bytes, 4);
        TVeltDirectory directory{};
        EXPECT_THROW(file.IO.ReadDirectory(directory), EVeltFileCorrupt) << count;
    }
}

TEST(VeltFileIO, AppendZerosReturnsWhereTheyBegin) {
    TMemoryFile file(100);
    EXPECT_EQ(file.IO.AppendZeros(0), 100);
    EXPECT_EQ(file.IO.FileSize(), 100);
    EXPECT_EQ(file.IO.AppendZeros(200000), 100);
    EXPECT_EQ(file.IO.FileSize(), 200100);
    const std::vector<uint8_t> bytes = file.Bytes();
    EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST(VeltFileIO, CopyDataMovesBytesAndChecksTheSource) {
    TMemoryFile file(0);
    std::vector<uint8_t> data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
    file.Stream.Write(data.data(), 3000);
    file.IO.CopyData(100, 3000, 2000);
    const std::vector<uint8_t> bytes = file.Bytes();
    ASSERT_EQ(bytes.size(), 5000u);
    EXPECT_EQ(std::memcmp(bytes.data() + 3000, data.data() + 100, 2000), 0);
    EXPECT_THROW(file.IO.CopyData(4000, 6000, 2000), EVeltFileCorrupt);
}

TEST(VeltFileIO, ClosedFileIOHasNoStream) {
    TVeltFileIO io;
    EXPECT_FALSE(io.IsOpen());
    EXPECT_EQ(io.Stream(), nullptr);
    io.Close();
    TTempDir dir;
    EXPECT_THROW(io.OpenFile(dir.File("none.dt"), true, false, 0), EFOpenError);
    EXPECT_FALSE(io.IsOpen());
}

TEST(VeltFileIO, KeyBlockRoundTripsThroughTheBlockCipher) {
    TMemoryFile file(kHeaderSize);
    TKeyBlock plain{};
    SetFieldText(plain.Digest, sizeof plain.Digest, "digest-text=", kMaxDigestLength);
    TKeyBlock stored = plain;
    EncryptBlock(&stored, kKeyBlockSize, "Blowfish", "");
    EXPECT_NE(std::memcmp(&stored, &plain, kKeyBlockSize), 0);
    file.Stream.SetPosition(kKeyBlockOffset);
    file.Stream.Write(&stored, kKeyBlockSize);
    TKeyBlock back{};
    file.IO.ReadKeyBlock(back);
    EXPECT_EQ(std::memcmp(&back, &plain, kKeyBlockSize), 0);
    EXPECT_EQ(back.DigestText(), "digest-text=");
}
