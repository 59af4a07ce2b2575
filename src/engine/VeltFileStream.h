#pragma once
// One interface over a disk file or a caller's in-memory stream: positioned
// reads and writes with 64-bit offsets and a base offset.
//
//   state      entered by                         data operations
//   inactive   construction, Close, destruction   Read/Write/Seek/GetSize... answer 0
//   active     Open (disk) / OpenStream (memory)  reach the underlying stream
//
// The base offset is added to seeks from the beginning, and positions are
// reported relative to it, so the stream looks like a file that starts at
// the base offset. It is 0 throughout this system.

#include <cstdint>
#include <memory>
#include <string>

#include "algorithms/Stream.h"
#include "engine/PlatformFileStream.h"

class TVeltFileStream {
  public:
    TVeltFileStream();
    virtual ~TVeltFileStream();
    TVeltFileStream(const TVeltFileStream&) = delete;
    TVeltFileStream& operator=(const TVeltFileStream&) = delete;

    virtual int64_t GetSize();
    virtual int64_t GetPosition();
    virtual bool IsInMemory() const { return false; }
    virtual void SetSize(int64_t size);
    virtual void SetPosition(int64_t position);
    virtual void SetExclusive(bool value);
    virtual void SetReadOnly(bool value);
    virtual void SetBaseOffset(int32_t value);
    // Base: closes and stores the name; no stream is opened.
    virtual void Open(const std::string& fileName);
    virtual void Close();
    virtual void Flush() {}
    // The system's descriptor of the open file; -1 for none (in memory,
    // closed).
    virtual int Handle() const { return -1; }
    virtual bool Active() const { return FStream != nullptr; }
    virtual int32_t Read(void* buffer, int32_t count);
    // A write the underlying stream does not complete raises EWriteError.
    virtual int32_t Write(const void* buffer, int32_t count);
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin);

    const std::string& FileName() const { return FFileName; }
    bool Exclusive() const { return FExclusive; }
    bool ReadOnly() const { return FReadOnly; }
    int32_t BaseOffset() const { return FBaseOffset; }
    // True once anything was written (or the size set) since the stream
    // became active.
    bool Written() const { return FWritten; }

  protected:
    void Attach(TStream* stream, std::unique_ptr<TStream> owned);

    std::string FFileName;
    bool FExclusive = true;
    bool FReadOnly = false;
    int32_t FBaseOffset = 0;
    bool FWritten = false;
    TStream* FStream = nullptr;  // the active stream, owned or borrowed
    std::unique_ptr<TStream> FOwnedStream;
};

class TVeltDiskFileStream final : public TVeltFileStream {
  public:
    TVeltDiskFileStream() = default;
    ~TVeltDiskFileStream() override;

    void SetExclusive(bool value) override;
    void SetReadOnly(bool value) override;
    // Opens an existing file (never creates it); raises EFOpenError.
    void Open(const std::string& fileName) override;
    void Flush() override;
    int Handle() const override;

    bool FileReadOnlyAttribute() const { return FFileReadOnly; }
    // The open file's identity; all zero while closed.
    TFileIdentity Identity() const;
    // The identity taken as the file was opened or resumed; all zero while
    // closed.
    TFileIdentity OpenedIdentity() const;
    // Parks and resumes the open file (TPlatformFileStream::Park/Resume);
    // a resumed stream reads as one just opened, nothing written yet.
    bool Park();
    bool Resume();

  private:
    void Reopen();

    bool FFileReadOnly = false;
};

class TVeltMemFileStream final : public TVeltFileStream {
  public:
    TVeltMemFileStream() = default;
    ~TVeltMemFileStream() override;

    bool IsInMemory() const override { return true; }
    // Forgets the caller's stream without freeing it.
    void Close() override;
    // Takes the caller's stream (borrowed; the caller keeps it alive while
    // this stream is active) and rewinds it.
    bool OpenStream(TStream* stream);
};
