#include "engine/VeltFileIO.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "algorithms/VeltAlgoMgr.h"
#include "engine/VeltErrors.h"

namespace {

constexpr int32_t kCopyChunk = 1 << 20;  // CopyData moves at most 1 MiB at a time
constexpr int32_t kZeroChunk = 1 << 16;

}  // namespace

TVeltFileIO::~TVeltFileIO() {
    Close();
    Release();
}

void TVeltFileIO::OpenFile(const std::string& fileName, bool exclusive, bool readOnly,
                           int32_t baseOffset) {
    Close();
    ++FGeneration;
    const TOpenRequest request{fileName, exclusive, readOnly, baseOffset};
    if (FParked) {
        // The parked descriptor serves only the same request, and only when
        // it can be resumed as an open of the path would find the file;
        // otherwise the path is opened afresh and reports what it will.
        if (request == FRequest && FParked->Resume()) {
            FStream = std::move(FParked);
            return;
        }
        FParked.reset();
    }
    auto stream = std::make_unique<TVeltDiskFileStream>();
    stream->SetBaseOffset(baseOffset);
    stream->SetReadOnly(readOnly);
    stream->SetExclusive(exclusive);
    stream->Open(fileName);
    FStream = std::move(stream);
    FRequest = request;
}

bool TVeltFileIO::OpenStream(TStream* source, bool exclusive, bool readOnly, int32_t baseOffset) {
    Close();
    Release();
    ++FGeneration;
    auto stream = std::make_unique<TVeltMemFileStream>();
    stream->SetBaseOffset(baseOffset);
    stream->SetReadOnly(readOnly);
    stream->SetExclusive(exclusive);
    const bool result = stream->OpenStream(source);
    FStream = std::move(stream);
    return result;
}

TFileIdentity TVeltFileIO::Identity() const {
    if (!FStream || FStream->IsInMemory()) return {};
    return static_cast<const TVeltDiskFileStream*>(FStream.get())->Identity();
}

TFileIdentity TVeltFileIO::OpenedIdentity() const {
    if (!FStream || FStream->IsInMemory()) return {};
    return static_cast<const TVeltDiskFileStream*>(FStream.get())->OpenedIdentity();
}

void TVeltFileIO::Close() {
    ++FGeneration;
    if (!FStream) return;
    if (FStream->IsInMemory()) {
        FStream->Close();
        FStream.reset();
        return;
    }
    // Taken before the lock goes: after our own writes, this is the file as
    // we leave it. A stream that wrote nothing leaves the file as its
    // opening found it; a change made meanwhile by anyone else is then
    // noticed by the next opening instead of being taken for ours.
    FLastClosed = FStream->Written() ? Identity() : OpenedIdentity();
    auto* disk = static_cast<TVeltDiskFileStream*>(FStream.get());
    if (disk->Park()) {
        FStream.release();
        FParked.reset(disk);
    } else {
        FStream->Close();
        FStream.reset();
    }
}

void TVeltFileIO::Release() {
    FParked.reset();
}

int64_t TVeltFileIO::FileSize() {
    return FStream ? FStream->GetSize() : 0;
}

int32_t TVeltFileIO::ReadAt(int64_t position, void* buffer, int32_t count) {
    if (!FStream || count <= 0) return 0;
    FStream->SetPosition(position);
    return FStream->Read(buffer, count);
}

void TVeltFileIO::ReadExact(int64_t position, void* buffer, int32_t count) {
    if (count <= 0) return;
    if (position < 0 || position + count > FileSize()) RaiseFileCorrupt();
    if (ReadAt(position, buffer, count) != count) RaiseFileCorrupt();
}

void TVeltFileIO::WriteAt(int64_t position, const void* buffer, int32_t count) {
    ++FGeneration;
    if (!FStream) return;
    FStream->SetPosition(position);
    FStream->Write(buffer, count);
}

void TVeltFileIO::ReadSignature(TSignatureBlock& block) {
    // A file shorter than the block leaves zeros, which match nothing.
    std::memset(&block, 0, sizeof block);
    ReadAt(kSignatureOffset, &block, kSignatureSize);
}

bool TVeltFileIO::CheckSignature() {
    TSignatureBlock block;
    ReadSignature(block);
    return FieldText(block.Magic, sizeof block.Magic) == kMagic;
}

bool TVeltFileIO::CheckVersion() {
    TSignatureBlock block;
    ReadSignature(block);
    // Byte-wise order: "0.9" and "1.0" pass, "1.0a", "1.1" and "2.0" do not.
    // (std::string compares its characters as unsigned bytes.)
    return FieldText(block.Version, sizeof block.Version) <= std::string(kVersion);
}

void TVeltFileIO::ReadAlgorithmBlock(TAlgorithmBlock& block) {
    ReadExact(kAlgorithmOffset, &block, kAlgorithmBlockSize);
}

void TVeltFileIO::ReadKeyBlock(TKeyBlock& block) {
    ReadExact(kKeyBlockOffset, &block, kKeyBlockSize);
    DecryptBlock(&block, kKeyBlockSize, kKeyBlockAlgorithm, std::string());
}

void TVeltFileIO::ReadDirectory(TVeltDirectory& directory) {
    ReadExact(kDirectoryOffset, &directory, kDirectorySize);
    const int32_t count = directory.Count.Get();
    if (count < 0 || count > kMaxTables) RaiseFileCorrupt();
}

void TVeltFileIO::WriteDirectory(const TVeltDirectory& directory) {
    // Both copies in one transfer; readers only ever read the first.
    uint8_t both[2 * kDirectorySize];
    std::memcpy(both, &directory, kDirectorySize);
    std::memcpy(both + kDirectorySize, &directory, kDirectorySize);
    WriteAt(kDirectoryOffset, both, sizeof both);
}

int64_t TVeltFileIO::DefinitionOffset(const TVeltDirectory& directory, int32_t tableIndex) {
    if (tableIndex < 0 || tableIndex >= kMaxTables) RaiseFileCorrupt();
    return directory.Offsets[tableIndex].Get();
}

void TVeltFileIO::ReadTableDef(const TVeltDirectory& directory, int32_t tableIndex,
                               TTableDef& def) {
    const int64_t offset = DefinitionOffset(directory, tableIndex);
    // Definitions live after the fixed header; nothing a writer makes puts
    // one inside it.
    if (offset < kHeaderSize) RaiseFileCorrupt();
    ReadExact(offset, &def, kTableDefSize);
}

void TVeltFileIO::WriteTableDef(const TVeltDirectory& directory, int32_t tableIndex,
                                const TTableDef& def) {
    const int64_t offset = DefinitionOffset(directory, tableIndex);
    if (offset < kHeaderSize) RaiseFileCorrupt();
    // The definition is written twice; readers only read the first copy.
    uint8_t both[2 * kTableDefSize];
    std::memcpy(both, &def, kTableDefSize);
    std::memcpy(both + kTableDefSize, &def, kTableDefSize);
    WriteAt(offset, both, sizeof both);
}

int32_t TVeltFileIO::AppendZeros(int32_t size) {
    ++FGeneration;
    if (!FStream) return 0;
    const int64_t start = FileSize();
    if (size < 0) size = 0;
    if (start + size > kMaxFileSize) RaiseWriteError(FStream->FileName(), EFBIG);
    std::vector<uint8_t> zeros(static_cast<size_t>(std::min(size, kZeroChunk)), 0);
    FStream->SetPosition(start);
    for (int32_t left = size; left > 0;) {
        const int32_t n = std::min(left, kZeroChunk);
        FStream->Write(zeros.data(), n);
        left -= n;
    }
    return static_cast<int32_t>(start);
}

void TVeltFileIO::CopyData(int32_t source, int32_t dest, int32_t size) {
    if (size <= 0 || !FStream) return;
    if (static_cast<int64_t>(dest) + size > kMaxFileSize) {
        RaiseWriteError(FStream->FileName(), EFBIG);
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(size, kCopyChunk)));
    for (int32_t done = 0; done < size;) {
        const int32_t n = std::min(size - done, kCopyChunk);
        ReadExact(static_cast<int64_t>(source) + done, buffer.data(), n);
        WriteAt(static_cast<int64_t>(dest) + done, buffer.data(), n);
        done += n;
    }
}

namespace {

void ProcessBlock(void* buffer, int32_t size, const std::string& algorithmName,
                  const std::string& password, bool encrypt) {
    TEncryptMgr manager;
    manager.SelectAlgorithm(algorithmName);
    manager.SetMode(0);
    manager.InitKey(password);
    if (encrypt) {
        manager.EncryptBuffer(buffer, buffer, size);
    } else {
        manager.DecryptBuffer(buffer, buffer, size);
    }
}

}  // namespace

void EncryptBlock(void* buffer, int32_t size, const std::string& algorithmName,
                  const std::string& password) {
    ProcessBlock(buffer, size, algorithmName, password, true);
}

void DecryptBlock(void* buffer, int32_t size, const std::string& algorithmName,
                  const std::string& password) {
    ProcessBlock(buffer, size, algorithmName, password, false);
}
