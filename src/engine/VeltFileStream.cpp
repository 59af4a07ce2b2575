#include "engine/VeltFileStream.h"

#include <cerrno>
#include <utility>

#include "engine/PlatformFileStream.h"
#include "engine/VeltErrors.h"

// ------------------------------------------------------------ base

TVeltFileStream::TVeltFileStream() : FExclusive(true) {}

TVeltFileStream::~TVeltFileStream() {
    TVeltFileStream::Close();
}

void TVeltFileStream::Attach(TStream* stream, std::unique_ptr<TStream> owned) {
    FOwnedStream = std::move(owned);
    FStream = stream;
    FWritten = false;
}

int64_t TVeltFileStream::GetSize() {
    const int64_t position = Seek(0, TSeekOrigin::Current);
    const int64_t size = Seek(0, TSeekOrigin::End);
    Seek(position, TSeekOrigin::Beginning);
    return size;
}

int64_t TVeltFileStream::GetPosition() {
    return Seek(0, TSeekOrigin::Current);
}

void TVeltFileStream::SetSize(int64_t size) {
    if (!Active()) return;
    FWritten = true;
    FStream->SetSize(size + FBaseOffset);
}

void TVeltFileStream::SetPosition(int64_t position) {
    Seek(position, TSeekOrigin::Beginning);
}

void TVeltFileStream::SetExclusive(bool value) {
    FExclusive = value;
}

void TVeltFileStream::SetReadOnly(bool value) {
    FReadOnly = value;
}

void TVeltFileStream::SetBaseOffset(int32_t value) {
    if (value < 0) value = 0;
    if (value == FBaseOffset) return;
    FBaseOffset = value;
    if (Active()) Seek(0, TSeekOrigin::Beginning);
}

void TVeltFileStream::Open(const std::string& fileName) {
    Close();
    FFileName = fileName;
}

void TVeltFileStream::Close() {
    FStream = nullptr;
    FOwnedStream.reset();
}

int32_t TVeltFileStream::Read(void* buffer, int32_t count) {
    if (!Active() || count <= 0) return 0;
    return FStream->Read(buffer, count);
}

int32_t TVeltFileStream::Write(const void* buffer, int32_t count) {
    if (!Active() || count <= 0) return 0;
    FWritten = true;
    const int32_t written = FStream->Write(buffer, count);
    if (written != count) RaiseWriteError(FFileName.empty() ? "stream" : FFileName, ENOSPC);
    return written;
}

int64_t TVeltFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    if (!Active()) return 0;
    if (origin == TSeekOrigin::Beginning) offset += FBaseOffset;
    return FStream->Seek(offset, origin) - FBaseOffset;
}

// ------------------------------------------------------------ disk

TVeltDiskFileStream::~TVeltDiskFileStream() {
    Close();
}

void TVeltDiskFileStream::Reopen() {
    if (!Active()) return;
    const int64_t position = GetPosition();
    Close();
    Open(FFileName);
    SetPosition(position);
}

void TVeltDiskFileStream::SetExclusive(bool value) {
    if (value == FExclusive) return;
    FExclusive = value;
    Reopen();
}

void TVeltDiskFileStream::SetReadOnly(bool value) {
    if (FFileReadOnly || value == FReadOnly) return;
    FReadOnly = value;
    Reopen();
}

void TVeltDiskFileStream::Open(const std::string& fileName) {
    Close();
    FFileName = fileName;
    // The platform stream reads the file's attributes as it opens it; a
    // read-only file forces ReadOnly.
    FFileReadOnly = false;
    auto file = std::make_unique<TPlatformFileStream>(fileName, FReadOnly, FExclusive);
    FFileReadOnly = file->ReadOnlyAttribute();
    if (FFileReadOnly) FReadOnly = true;
    TStream* raw = file.get();
    Attach(raw, std::move(file));
    // Re-applying the unchanged base offset does nothing.
}

TFileIdentity TVeltDiskFileStream::Identity() const {
    if (!Active()) return {};
    return static_cast<const TPlatformFileStream*>(FOwnedStream.get())->Identity();
}

TFileIdentity TVeltDiskFileStream::OpenedIdentity() const {
    if (!Active()) return {};
    return static_cast<const TPlatformFileStream*>(FOwnedStream.get())->OpenedIdentity();
}

bool TVeltDiskFileStream::Park() {
    return Active() && static_cast<TPlatformFileStream*>(FOwnedStream.get())->Park();
}

bool TVeltDiskFileStream::Resume() {
    if (!Active() || !static_cast<TPlatformFileStream*>(FOwnedStream.get())->Resume(FFileName)) {
        return false;
    }
    FWritten = false;
    return true;
}

int TVeltDiskFileStream::Handle() const {
    if (!Active()) return -1;
    return static_cast<const TPlatformFileStream*>(FOwnedStream.get())->Handle();
}

void TVeltDiskFileStream::Flush() {
    // The owned stream of the disk variant is always a platform file.
    if (Active()) static_cast<TPlatformFileStream*>(FOwnedStream.get())->Flush();
}

// ------------------------------------------------------------ memory

TVeltMemFileStream::~TVeltMemFileStream() {
    Close();
}

void TVeltMemFileStream::Close() {
    FStream = nullptr;
    FOwnedStream.reset();
}

bool TVeltMemFileStream::OpenStream(TStream* stream) {
    Close();
    FFileName.clear();
    Attach(stream, nullptr);
    if (FStream != nullptr) Seek(0, TSeekOrigin::Beginning);  // position 0 past the base
    return true;
}
