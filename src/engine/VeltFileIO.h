#pragma once
// File access of the engine: one stream at a time, the fixed offsets of the
// header blocks, and the table definitions found through the directory.
//
//   offset  size  block                 read by                write
//   0       10    signature             CheckSignature/Version  (creation only)
//   2315    76    algorithm block       ReadAlgorithmBlock      (creation only)
//   2391    341   key block, enciphered ReadKeyBlock            (creation only)
//   2732    1032  directory             ReadDirectory           WriteDirectory:
//   3764    1032  directory copy        never                     both copies
//   dir[i]  725   definition of table i ReadTableDef            WriteTableDef:
//   +725    725   definition copy       never                     both copies
//
// Every read the engine relies on is checked against the file's size: a
// block that the file does not hold completely, a directory count above 256
// or a definition offset outside the file raises EVeltFileCorrupt.

#include <cstdint>
#include <memory>
#include <string>

#include "engine/VeltFileStream.h"
#include "engine/VeltFormat.h"

class TStream;

// A disk file is closed between operations by parking its stream (the lock
// goes, the descriptor stays, TPlatformFileStream::Park) and opened again by
// resuming it when the same path is opened the same way; whatever the
// resumed stream then finds is checked exactly as after a fresh open.
// Release closes a parked descriptor for good.
class TVeltFileIO {
  public:
    TVeltFileIO() = default;
    ~TVeltFileIO();
    TVeltFileIO(const TVeltFileIO&) = delete;
    TVeltFileIO& operator=(const TVeltFileIO&) = delete;

    void OpenFile(const std::string& fileName, bool exclusive, bool readOnly, int32_t baseOffset);
    // The caller's stream stays the caller's; it must outlive the open.
    bool OpenStream(TStream* stream, bool exclusive, bool readOnly, int32_t baseOffset);
    void Close();
    // Closes a parked descriptor too: nothing of the file stays open.
    void Release();
    bool IsOpen() const { return FStream != nullptr && FStream->Active(); }
    // The open stream, nil while closed.
    TVeltFileStream* Stream() const { return FStream.get(); }
    // The open disk file's identity; all zero while closed or over a stream.
    TFileIdentity Identity() const;
    // The open disk file's identity as taken when it was opened (the same
    // as Identity right after the open, without asking the system again).
    TFileIdentity OpenedIdentity() const;
    // True when a parked descriptor waits for the next OpenFile.
    bool HoldsParked() const { return FParked != nullptr; }
    // The identity of the disk file as the last Close left it; all zero
    // before any disk file was closed.
    const TFileIdentity& LastClosed() const { return FLastClosed; }

    bool CheckSignature();
    bool CheckVersion();
    void ReadAlgorithmBlock(TAlgorithmBlock& block);
    void ReadKeyBlock(TKeyBlock& block);
    void ReadDirectory(TVeltDirectory& directory);
    void WriteDirectory(const TVeltDirectory& directory);
    void ReadTableDef(const TVeltDirectory& directory, int32_t tableIndex, TTableDef& def);
    void WriteTableDef(const TVeltDirectory& directory, int32_t tableIndex, const TTableDef& def);
    // Appends Size zero bytes; returns where they begin (the old size).
    int32_t AppendZeros(int32_t size);
    // Copies Size bytes from Source to Dest (Dest at or after Source + Size).
    void CopyData(int32_t source, int32_t dest, int32_t size);

    // Size of the open file, 0 while closed.
    int64_t FileSize();
    // Reads Count bytes at Position; raises EVeltFileCorrupt when the file
    // does not hold them all.
    void ReadExact(int64_t position, void* buffer, int32_t count);
    // Reads what the file holds at Position, up to Count bytes; the rest of
    // the buffer is left as it was. Returns the bytes read.
    int32_t ReadAt(int64_t position, void* buffer, int32_t count);
    void WriteAt(int64_t position, const void* buffer, int32_t count);
    // Changes at every open, close and write through this object: bytes
    // read under one value are still the file's while it holds.
    uint64_t Generation() const { return FGeneration; }

  private:
    int64_t DefinitionOffset(const TVeltDirectory& directory, int32_t tableIndex);
    void ReadSignature(TSignatureBlock& block);

    // What OpenFile was asked for, which a parked stream must match.
    struct TOpenRequest {
        std::string FileName;
        bool Exclusive = true;
        bool ReadOnly = false;
        int32_t BaseOffset = 0;
        bool operator==(const TOpenRequest&) const = default;
    };

    std::unique_ptr<TVeltFileStream> FStream;
    std::unique_ptr<TVeltDiskFileStream> FParked;  // unlocked, of FRequest
    TOpenRequest FRequest;                         // of FStream while a disk file
    TFileIdentity FLastClosed;
    uint64_t FGeneration = 0;
};

// In-place encryption of a header block under a temporary manager of the
// named algorithm, mode 0, keyed with Password.
void EncryptBlock(void* buffer, int32_t size, const std::string& algorithmName,
                  const std::string& password);
void DecryptBlock(void* buffer, int32_t size, const std::string& algorithmName,
                  const std::string& password);

inline constexpr const char* kKeyBlockAlgorithm = "Blowfish";
