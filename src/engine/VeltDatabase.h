#pragma once
// One database file: creation, opening with the signature, version and
// password checks, tables and indexes added to it, file access for its
// tables, and the record cipher under a lock.
//
//   state    entered by                                  file
//   closed   construction, Close, failed/refused Open    closed
//   active   Open returning true                         open only inside an
//                                                        operation (Open,
//                                                        CreateTable, index
//                                                        creation, Begin..EndAccess)
//
// BeginAccess/EndAccess nest: the outermost pair opens and closes the file,
// so a table operation opens it once however many layers it reads through.
// "Closed" between operations means unlocked: the descriptor is kept
// (TVeltFileIO parks it) and the next opening resumes it only while the path
// still names that file; the checks below then run as after any opening.
// Close lets the descriptor go.
// With Durable set, the outermost EndAccess after anything was written
// first puts the file's data on stable storage (fdatasync), or hands the
// file to a flusher that does so on its own thread (SetFlusher).
//
// Once active, every opening of the file checks that it is still the file
// this database left at its last closing (device, inode, size, modification
// time): one replaced or written by someone else raises EFileChanged, then
// and on every later operation, until the database is opened again.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/VeltFormat.h"
#include "engine/VeltLayout.h"

class TCompressMgr;
class TFileFlusher;
class TEncryptMgr;
class TStream;
class TVeltFileIO;
class TVeltTable;

// One key field of an index: an offset into the record data and its type.
struct TVeltIndexField {
    int32_t Offset;
    uint8_t FieldType;
};

class TVeltDatabase {
  public:
    static constexpr int32_t kDefaultCacheSize = 5000;

    TVeltDatabase();
    ~TVeltDatabase();
    TVeltDatabase(const TVeltDatabase&) = delete;
    TVeltDatabase& operator=(const TVeltDatabase&) = delete;

    // Writes a new, empty database file (truncating an existing one); false
    // when the file cannot be created or written. Does not open it.
    bool CreateDatabase(const std::string& fileName, bool compressed,
                        const std::string& compressAlgorithm, bool encrypted,
                        const std::string& encryptAlgorithm, const std::string& password);
    // True when open; false (no exception) for an encrypted database and a
    // password that does not match.
    bool Open(const std::string& fileName, const std::string& password);
    // The same over a caller's stream instead of a file; the stream is
    // borrowed and must outlive the open database.
    bool OpenStream(TStream* stream, const std::string& password);
    void Close();

    bool CreateTable(const std::string& tableName, int32_t recordSize, int32_t headerBlockCount,
                     int32_t capacity);
    bool CreateIndex(const std::string& tableName, const std::string& indexName,
                     int32_t fieldOffset, uint8_t fieldType);
    bool CreateCompoundIndex(const std::string& tableName, const std::string& indexName,
                             const std::vector<TVeltIndexField>& fields);

    const std::vector<std::string>& TableNames() const { return FTableNames; }
    // Position of the table in TableNames ignoring case, or -1.
    int32_t IndexOfTable(const std::string& tableName) const;

    void CheckActive() const;
    // Raises EFileChanged, as the next file access would, when the file at
    // the path is no longer the one this database last left (one stat, no
    // open): for reads the cache may answer without touching the file.
    void CheckFileUnchanged();
    void BeginAccess();
    void EndAccess();
    // EndAccess on a path that is already failing: never raises, never flushes.
    void EndAccessAfterFailure() noexcept;
    void OpenFileIO(TVeltFileIO& fileIO);
    void EncryptData(void* buffer, int32_t size);
    void DecryptData(void* buffer, int32_t size);
    // Count buffers of Size bytes, Stride bytes apart, each decrypted in place
    // as DecryptData would, under one taking of the cipher lock.
    void DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size);

    bool Encrypted() const { return FAlgorithmBlock.Encrypted != 0; }
    bool Compressed() const { return FAlgorithmBlock.Compressed != 0; }
    bool Active() const { return FActive; }
    const std::string& FileName() const { return FFileName; }
    // Raises "Cannot perform this operation on an open database" while active.
    void SetFileName(const std::string& fileName);
    const std::string& Password() const { return FPassword; }
    bool ReadOnly() const { return FReadOnly; }
    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool value) { FExclusive = value; }
    int32_t CacheSize() const { return FCacheSize; }
    void SetCacheSize(int32_t value) { FCacheSize = value; }
    bool Durable() const { return FDurable; }
    void SetDurable(bool value) { FDurable = value; }
    // With a flusher (borrowed; it must outlive the database's operations) a
    // durable database hands its written file to it at the end of an
    // operation instead of flushing it there: the operation returns before
    // the data is on stable storage, and the flusher's ticket says when it
    // is. Nil (the default): flushed inline.
    void SetFlusher(TFileFlusher* flusher) { FFlusher = flusher; }
    TFileFlusher* Flusher() const { return FFlusher; }
    int32_t AccessDepth() const { return FAccessDepth; }
    // Counts the outermost accesses begun: the same value on both sides of
    // a read means both lie within one access.
    uint64_t AccessSerial() const { return FAccessSerial; }

    TVeltFileIO& FileIO() const { return *FFileIO; }
    const TVeltDirectory& Directory() const { return FDirectory; }
    const TAlgorithmBlock& AlgorithmBlock() const { return FAlgorithmBlock; }
    const TKeyBlock& KeyBlock() const { return FKeyBlock; }

    // Raises "Database file is corrupt" when the file's owners recorded at
    // the open overlap, or when Def, as table Number's definition now, has
    // areas over anything but that table's own.
    void CheckTableLayout(int32_t number, const TTableDef& def, int64_t fileSize) const;

    // Tables register themselves on construction and leave on destruction.
    void RegisterTable(TVeltTable* table);
    void UnregisterTable(TVeltTable* table);

  private:
    bool OpenCurrentFile(const std::string& password);
    // Raises EFileChanged (and closes FileIO) when the file just opened is
    // not the one this open database last left.
    void CheckSameFile(TVeltFileIO& fileIO);
    void LoadTableNames();
    bool CheckPassword(const std::string& password);
    // Closes a file I/O object at the end of an operation, flushing first
    // when durable and written.
    void FinishFileIO(TVeltFileIO& fileIO);
    // Reads the definition of the table named TableName; -1 when none.
    int32_t FindTable(TVeltFileIO& fileIO, const std::string& tableName, TTableDef& def);

    std::string FFileName;
    TStream* FSourceStream = nullptr;  // borrowed
    bool FBoundToStream = false;
    std::unique_ptr<TVeltFileIO> FFileIO;
    std::vector<TVeltTable*> FTables;  // registered, not owned
    std::unique_ptr<TCompressMgr> FCompressMgr;
    std::unique_ptr<TEncryptMgr> FEncryptMgr;
    std::mutex FCipherLock;
    bool FActive = false;
    std::string FPassword;
    int32_t FBaseOffset = 0;
    bool FReadOnly = false;
    bool FExclusive = true;
    int32_t FCacheSize = kDefaultCacheSize;
    bool FDurable = false;
    TFileFlusher* FFlusher = nullptr;
    int32_t FAccessDepth = 0;
    uint64_t FAccessSerial = 0;
    bool FFileChanged = false;
    TAlgorithmBlock FAlgorithmBlock{};
    TKeyBlock FKeyBlock{};
    TVeltDirectory FDirectory{};
    std::vector<std::string> FTableNames;
    TVeltLayout FLayout;  // as the open found it, with tables created since
    bool FLayoutSound = true;
};
