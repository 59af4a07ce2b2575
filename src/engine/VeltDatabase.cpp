#include "engine/VeltDatabase.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "algorithms/VeltAlgoMgr.h"
#include "algorithms/VeltCipher.h"
#include "engine/FileFlusher.h"
#include "engine/PlatformFileStream.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltTable.h"

namespace {

constexpr uint8_t kCompressionMode = 1;
constexpr uint8_t kCipherMode = 0;

std::string FullPath(const std::string& name) {
    if (name.empty()) return name;
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(name, error);
    if (error) return name;
    return path.lexically_normal().string();
}

std::string StreamName(const TStream* stream) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<const void*>(stream));
    return text;
}

std::string PasswordDigest(const std::string& password) {
    return HashString(CreateHash<THash_SHA>, password);
}

}  // namespace

TVeltDatabase::TVeltDatabase()
    : FFileIO(std::make_unique<TVeltFileIO>()),
      FCompressMgr(std::make_unique<TCompressMgr>()),
      FEncryptMgr(std::make_unique<TEncryptMgr>()) {
    RegisterStandardAlgorithms();
}

TVeltDatabase::~TVeltDatabase() {
    Close();
    for (TVeltTable* table : FTables) table->DetachDatabase();
    FTables.clear();
}

void TVeltDatabase::SetFileName(const std::string& fileName) {
    if (FActive) RaiseEngineError(velt_msg::kDatabaseOpen);
    FFileName = fileName;
}

// ------------------------------------------------------------ creation

bool TVeltDatabase::CreateDatabase(const std::string& fileName, bool compressed,
                                   const std::string& compressAlgorithm, bool encrypted,
                                   const std::string& encryptAlgorithm,
                                   const std::string& password) {
    // The header is built in memory and written in one go, block after block
    // with nothing between them.
    struct THeader {
        TSignatureBlock Signature;
        uint8_t Reserved[kReservedSize];
        TKeyCheckBlock KeyCheck;
        TAlgorithmBlock Algorithm;
        TKeyBlock Key;
        TVeltDirectory Directory;
        TVeltDirectory DirectoryCopy;
    };
    static_assert(sizeof(THeader) == kHeaderSize);
    static_assert(offsetof(THeader, KeyCheck) == kKeyCheckOffset);
    static_assert(offsetof(THeader, Algorithm) == kAlgorithmOffset);
    static_assert(offsetof(THeader, Key) == kKeyBlockOffset);
    static_assert(offsetof(THeader, Directory) == kDirectoryOffset);
    static_assert(offsetof(THeader, DirectoryCopy) == kDirectoryCopyOffset);

    auto header = std::make_unique<THeader>();
    std::memset(header.get(), 0, sizeof(THeader));
    header->Signature = TSignatureBlock::Standard();
    if (encrypted) {
        EncryptBlock(&header->KeyCheck, kKeyCheckSize, encryptAlgorithm, password);
    }
    header->Algorithm.Compressed = compressed ? 1 : 0;
    header->Algorithm.CompressAlgorithm.Set(compressAlgorithm);
    header->Algorithm.Encrypted = encrypted ? 1 : 0;
    header->Algorithm.EncryptAlgorithm.Set(encryptAlgorithm);
    SetFieldText(header->Key.Digest, sizeof header->Key.Digest, PasswordDigest(password),
                 kMaxDigestLength);
    EncryptBlock(&header->Key, kKeyBlockSize, kKeyBlockAlgorithm, std::string());

    std::unique_ptr<TPlatformFileStream> file;
    try {
        file = TPlatformFileStream::Create(fileName);
    } catch (const EFCreateError&) {
        return false;
    }
    try {
        file->Write(header.get(), kHeaderSize);
        if (FDurable) file->Flush();
    } catch (const EWriteError&) {
        // A header that did not reach the disk whole is no database; leave
        // no half-written file behind to be mistaken for one.
        std::error_code ignored;
        std::filesystem::remove(fileName, ignored);
        return false;
    }
    return true;
}

// ------------------------------------------------------------ opening

bool TVeltDatabase::Open(const std::string& fileName, const std::string& password) {
    Close();
    FBoundToStream = false;
    SetFileName(FullPath(fileName));
    FSourceStream = nullptr;
    return OpenCurrentFile(password);
}

bool TVeltDatabase::OpenStream(TStream* stream, const std::string& password) {
    Close();
    SetFileName(std::string());
    FSourceStream = stream;
    FBoundToStream = stream != nullptr;
    return OpenCurrentFile(password);
}

bool TVeltDatabase::OpenCurrentFile(const std::string& password) {
    bool result = false;
    OpenFileIO(*FFileIO);
    try {
        if (!FFileIO->CheckSignature()) {
            RaiseEngineErrorFmt(velt_msg::kInvalidVeltFile,
                                FBoundToStream ? StreamName(FSourceStream) : FFileName);
        }
        if (!FFileIO->CheckVersion()) RaiseEngineError(velt_msg::kVersionTooHigh);
        FFileIO->ReadDirectory(FDirectory);
        FFileIO->ReadAlgorithmBlock(FAlgorithmBlock);
        FFileIO->ReadKeyBlock(FKeyBlock);
        if (Compressed()) {
            FCompressMgr->SelectAlgorithm(FAlgorithmBlock.CompressAlgorithm.Get());
            FCompressMgr->SetMode(kCompressionMode);
        }
        if (Encrypted()) {
            FEncryptMgr->SelectAlgorithm(FAlgorithmBlock.EncryptAlgorithm.Get());
            FEncryptMgr->SetMode(kCipherMode);
        }
        LoadTableNames();
        result = CheckPassword(password);
    } catch (...) {
        FFileIO->Close();
        throw;
    }
    FFileIO->Close();
    FActive = result;
    return result;
}

void TVeltDatabase::LoadTableNames() {
    FTableNames.clear();
    FLayout.Clear();
    const int32_t count = FDirectory.Count.Get();
    FTableNames.reserve(static_cast<size_t>(count));
    const int64_t fileSize = FFileIO->FileSize();
    TTableDef def;
    for (int32_t i = 0; i < count; ++i) {
        FFileIO->ReadTableDef(FDirectory, i, def);
        FTableNames.push_back(def.Name.Get());
        FLayout.AddTable(i, FDirectory.Offsets[i].Get(), def, fileSize);
    }
    FLayoutSound = FLayout.Sound();
}

bool TVeltDatabase::CheckPassword(const std::string& password) {
    if (!Encrypted()) return true;
    if (PasswordDigest(password) != FKeyBlock.DigestText()) return false;
    FPassword = password;
    FEncryptMgr->InitKey(password);
    return true;
}

void TVeltDatabase::Close() {
    for (TVeltTable* table : FTables) {
        if (table->Active()) table->Close();
    }
    FFileIO->Close();
    FFileIO->Release();
    FFileChanged = false;
    FAccessDepth = 0;
    FActive = false;
    FPassword.clear();
}

int32_t TVeltDatabase::IndexOfTable(const std::string& tableName) const {
    for (size_t i = 0; i < FTableNames.size(); ++i) {
        if (SameName(FTableNames[i], tableName)) return static_cast<int32_t>(i);
    }
    return -1;
}

// ------------------------------------------------------------ tables and indexes

int32_t TVeltDatabase::FindTable(TVeltFileIO& fileIO, const std::string& tableName,
                                 TTableDef& def) {
    const int32_t count = FDirectory.Count.Get();
    for (int32_t i = 0; i < count; ++i) {
        fileIO.ReadTableDef(FDirectory, i, def);
        if (SameName(def.Name.Get(), tableName)) return i;
    }
    return -1;
}

bool TVeltDatabase::CreateTable(const std::string& tableName, int32_t recordSize,
                                int32_t headerBlockCount, int32_t capacity) {
    CheckActive();
    if (!ValidName(tableName)) RaiseEngineErrorFmt(velt_msg::kInvalidTableName, tableName);
    capacity = std::max(capacity, 1);
    OpenFileIO(*FFileIO);
    try {
        FFileIO->ReadDirectory(FDirectory);
        const int32_t count = FDirectory.Count.Get();
        if (count >= kMaxTables) RaiseEngineError(velt_msg::kTooManyTables);
        // The object's copy changes only once the file holds the new entry.
        TVeltDirectory directory = FDirectory;
        TTableDef def;
        if (FindTable(*FFileIO, tableName, def) >= 0) {
            RaiseEngineErrorFmt(velt_msg::kDuplicateTableName, tableName);
        }
        const int64_t end = FFileIO->FileSize();
        // A file that does not even hold the fixed header gets no table
        // written into the header's place.
        if (end < kHeaderSize) RaiseFileCorrupt();
        if (end + 2 * kTableDefSize > kMaxFileSize) RaiseEngineError(velt_msg::kFileTooLarge);
        directory.Count.Set(count + 1);
        directory.Offsets[count].Set(static_cast<int32_t>(end));
        FFileIO->WriteDirectory(directory);
        FDirectory = directory;

        std::memset(&def, 0, sizeof def);
        def.Name.Set(tableName);
        def.Capacity.Set(capacity);
        def.RecordSize.Set(recordSize);
        def.HeaderBlockCount.Set(headerBlockCount);
        FFileIO->WriteTableDef(FDirectory, count, def);
        FLayout.AddTable(count, end, def, end + 2 * kTableDefSize);
        // The name as stored, so that the list reads the same after a reopen.
        FTableNames.push_back(def.Name.Get());
        FinishFileIO(*FFileIO);
    } catch (...) {
        FFileIO->Close();
        throw;
    }
    return true;
}

bool TVeltDatabase::CreateIndex(const std::string& tableName, const std::string& indexName,
                                int32_t fieldOffset, uint8_t fieldType) {
    return CreateCompoundIndex(tableName, indexName, {TVeltIndexField{fieldOffset, fieldType}});
}

bool TVeltDatabase::CreateCompoundIndex(const std::string& tableName, const std::string& indexName,
                                        const std::vector<TVeltIndexField>& fields) {
    CheckActive();
    if (!ValidName(tableName)) RaiseEngineErrorFmt(velt_msg::kInvalidTableName, tableName);
    if (!ValidName(indexName)) RaiseEngineErrorFmt(velt_msg::kInvalidIndexName, indexName);
    OpenFileIO(*FFileIO);
    try {
        FFileIO->ReadDirectory(FDirectory);
        TTableDef def;
        const int32_t number = FindTable(*FFileIO, tableName, def);
        if (number < 0) RaiseEngineErrorFmt(velt_msg::kTableNotFound, tableName);
        const int32_t indexCount = def.IndexCount.Get();
        if (indexCount < 0) RaiseFileCorrupt();
        if (indexCount >= kMaxIndexes) RaiseEngineError(velt_msg::kTooManyIndexes);
        for (int32_t k = 0; k < indexCount; ++k) {
            if (SameName(def.Indexes[k].Name.Get(), indexName)) {
                RaiseEngineErrorFmt(velt_msg::kDuplicateIndexName, indexName);
            }
        }
        if (def.PrimaryCount.Get() > 0 || def.GrowthCount.Get() > 0) {
            RaiseEngineError(velt_msg::kFailCreateIndex);
        }
        const auto fieldCount = static_cast<int32_t>(fields.size());
        if (fieldCount < 1 || fieldCount > kMaxKeyFields) {
            RaiseEngineErrorFmt(velt_msg::kInvalidFieldCount, fieldCount);
        }
        for (int32_t i = 0; i < fieldCount; ++i) {
            for (int32_t j = i + 1; j < fieldCount; ++j) {
                if (fields[i].Offset == fields[j].Offset) {
                    RaiseEngineErrorFmt(velt_msg::kDuplicateIndexField, fields[i].Offset);
                }
            }
        }
        const int64_t recordSize = def.RecordSize.Get();
        for (const TVeltIndexField& field : fields) {
            if (field.Offset < 0 ||
                static_cast<int64_t>(field.Offset) + FieldTypeWidth(field.FieldType) > recordSize) {
                RaiseEngineErrorFmt(velt_msg::kInvalidIndexField, field.Offset);
            }
        }
        TIndexEntry& entry = def.Indexes[indexCount];
        std::memset(&entry, 0, sizeof entry);
        entry.Name.Set(indexName);
        entry.Head.Set(kNoSlot);
        entry.KeyFieldCount.Set(fieldCount);
        for (int32_t i = 0; i < kMaxKeyFields; ++i) {
            const bool used = i < fieldCount;
            entry.Fields[i].Offset.Set(used ? fields[i].Offset : -1);
            entry.Fields[i].FieldType = used ? fields[i].FieldType : 0;
        }
        def.IndexCount.Set(indexCount + 1);
        FFileIO->WriteTableDef(FDirectory, number, def);
        FinishFileIO(*FFileIO);
    } catch (...) {
        FFileIO->Close();
        throw;
    }
    return true;
}

// ------------------------------------------------------------ access

void TVeltDatabase::CheckActive() const {
    if (!FActive) RaiseEngineError(velt_msg::kDatabaseClosed);
}

void TVeltDatabase::OpenFileIO(TVeltFileIO& fileIO) {
    if (FBoundToStream) {
        fileIO.OpenStream(FSourceStream, FExclusive, FReadOnly, FBaseOffset);
    } else {
        fileIO.OpenFile(FFileName, FExclusive, FReadOnly, FBaseOffset);
        CheckSameFile(fileIO);
    }
    FReadOnly = fileIO.Stream()->ReadOnly();
}

void TVeltDatabase::CheckFileUnchanged() {
    CheckActive();
    if (FBoundToStream || FAccessDepth > 0) return;
    const TFileIdentity& known = FFileIO->LastClosed();
    if (!FFileChanged &&
        (known.Inode == 0 || TPlatformFileStream::IdentityOf(FFileName) == known)) {
        return;
    }
    FFileChanged = true;
    RaiseFileChanged(FFileName);
}

void TVeltDatabase::CheckSameFile(TVeltFileIO& fileIO) {
    // While opening, nothing is known of the file yet. Afterwards every
    // operation relies on the directory, definitions, id maps and indexes
    // read from the file as this database left it: a file replaced at the
    // path, or written by anyone else, would be read and written through a
    // layout that is no longer there.
    if (!FActive) return;
    const TFileIdentity& known = FFileIO->LastClosed();
    if (!FFileChanged && (known.Inode == 0 || fileIO.OpenedIdentity() == known)) return;
    FFileChanged = true;  // for good: only a new Open trusts the file again
    fileIO.Close();
    RaiseFileChanged(FFileName);
}

void TVeltDatabase::FinishFileIO(TVeltFileIO& fileIO) {
    TVeltFileStream* stream = fileIO.Stream();
    if (FDurable && stream != nullptr && stream->Written()) {
        if (FFlusher != nullptr && stream->Handle() >= 0) {
            FFlusher->Submit(stream->Handle(), stream->FileName());
        } else {
            stream->Flush();
        }
    }
    fileIO.Close();
}

void TVeltDatabase::BeginAccess() {
    CheckActive();
    if (FAccessDepth == 0) {
        ++FAccessSerial;
        OpenFileIO(*FFileIO);
    }
    ++FAccessDepth;
}

void TVeltDatabase::EndAccess() {
    CheckActive();
    if (FAccessDepth <= 0) return;
    --FAccessDepth;
    if (FAccessDepth == 0) {
        try {
            FinishFileIO(*FFileIO);
        } catch (...) {
            FFileIO->Close();
            throw;
        }
    }
}

void TVeltDatabase::EndAccessAfterFailure() noexcept {
    if (FAccessDepth <= 0) return;
    --FAccessDepth;
    if (FAccessDepth == 0) FFileIO->Close();
}

void TVeltDatabase::EncryptData(void* buffer, int32_t size) {
    std::lock_guard<std::mutex> lock(FCipherLock);
    if (Encrypted() && size > 0) FEncryptMgr->EncryptBuffer(buffer, buffer, size);
}

void TVeltDatabase::DecryptData(void* buffer, int32_t size) {
    std::lock_guard<std::mutex> lock(FCipherLock);
    if (Encrypted() && size > 0) FEncryptMgr->DecryptBuffer(buffer, buffer, size);
}

void TVeltDatabase::DecryptRecords(void* records, int32_t count, int32_t stride, int32_t size) {
    std::lock_guard<std::mutex> lock(FCipherLock);
    if (Encrypted() && size > 0 && count > 0) {
        FEncryptMgr->DecryptRecords(records, count, stride, size);
    }
}

void TVeltDatabase::CheckTableLayout(int32_t number, const TTableDef& def, int64_t fileSize) const {
    if (!FLayoutSound || !FLayout.Fits(number, def, fileSize)) RaiseFileCorrupt();
}

void TVeltDatabase::RegisterTable(TVeltTable* table) {
    if (std::find(FTables.begin(), FTables.end(), table) == FTables.end()) {
        FTables.push_back(table);
    }
}

void TVeltDatabase::UnregisterTable(TVeltTable* table) {
    FTables.erase(std::remove(FTables.begin(), FTables.end(), table), FTables.end());
}
