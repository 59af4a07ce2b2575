#include "store/DbMgr.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/FileFlusher.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltIndex.h"
#include "engine/VeltTable.h"

namespace {

constexpr const char* kCompressAlgorithm = "Zlib";
constexpr const char* kEncryptAlgorithm = "Blowfish";
// Every file of the station is enciphered under the empty password.
const std::string kPassword;
// A new file is built whole under this suffix and then renamed into place,
// so that no reader ever finds a database without its table.
constexpr const char* kCreatingSuffix = ".creating";

std::string DirectoryPart(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

// A regular file (or anything else that is not a directory) at the path.
bool FileExists(const std::string& path) {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    return !error && std::filesystem::exists(status) && !std::filesystem::is_directory(status);
}

// Puts a rename in Directory on stable storage; failures are left to the
// next write of the file to report.
void SyncDirectory(const std::string& directory) {
    const int fd =
        ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

TDBMgrBase::TDBMgrBase(bool durable) : FDurable(durable) {}

TDBMgrBase::~TDBMgrBase() {
    Close();
}

void TDBMgrBase::Create(const std::string& fileName) {
    FFileName = fileName;
    FFilePath = DirectoryPart(fileName);
    FOpened = false;
    try {
        OpenDatabase();
    } catch (...) {
        Close();
        throw;
    }
}

void TDBMgrBase::OpenDatabase() {
    if (FOpened) return;
    FOpened = true;
    if (FSharedReader || FileExists(FFileName)) {
        // A reader never creates: a missing file fails the open below.
        FDatabase = std::make_unique<TVeltDatabase>();
        FDatabase->SetDurable(FDurable);
        FDatabase->SetExclusive(!FSharedReader);
    } else {
        CreateDatabaseFile();
    }
    FTable = std::make_unique<TVeltTable>(FDatabase.get());
    // With the empty password every file of ours opens; a file made under
    // another one stays closed and OpenTable reports the closed database.
    FDatabase->Open(FFileName, kPassword);
    OpenTable(*FTable);
}

void TDBMgrBase::CreateDatabaseFile() {
    FDatabase = std::make_unique<TVeltDatabase>();
    FDatabase->SetDurable(FDurable);
    if (!FFilePath.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(FFilePath, ignored);
    }
    const std::string building = FFileName + kCreatingSuffix;
    if (!FDatabase->CreateDatabase(building, false, kCompressAlgorithm, true, kEncryptAlgorithm,
                                   kPassword)) {
        throw std::runtime_error(kFailCreateDatabase);
    }
    try {
        FDatabase->Open(building, kPassword);
        CreateTables(*FDatabase);
        FDatabase->Close();
        std::error_code error;
        std::filesystem::rename(building, FFileName, error);
        if (error) throw std::runtime_error(kFailCreateDatabase);
    } catch (...) {
        FDatabase->Close();
        std::error_code ignored;
        std::filesystem::remove(building, ignored);
        throw;
    }
    if (FDurable) SyncDirectory(FFilePath);
}

void TDBMgrBase::Close() {
    if (!FOpened) return;
    FOpened = false;
    if (FTable) {
        FTable->Close();
        FTable.reset();
    }
    FDatabase.reset();
}

TVeltTable& TDBMgrBase::OpenedTable() const {
    if (!FTable) RaiseEngineError(velt_msg::kTableClosed);
    return *FTable;
}

void TDBMgrBase::WaitFlushed() {
    if (FDatabase && FDatabase->Flusher() != nullptr) FDatabase->Flusher()->WaitFlushed();
}

const TRunList* TDBMgrBase::FirstIndexIds() {
    if (!FTable) return nullptr;
    FDatabase->CheckFileUnchanged();
    if (RecordCount() == 0) return nullptr;
    // The index is loaded whenever the manager opened the table.
    return &FTable->Index(0).Ids();
}

int32_t TDBMgrBase::RecordCount() const {
    return FTable ? FTable->RecordCount() : 0;
}

int32_t TDBMgrBase::AppendRecord(const void* data, int32_t size) {
    TVeltTable& table = OpenedTable();
    const int32_t recordId = table.Append(data, size, 0);
    SetLastRecordId(recordId);
    AfterAppend(table, recordId);
    return FLastRecordId;
}

void TDBMgrBase::UpdateRecord(int32_t recordId, int32_t size, const void* data) {
    OpenedTable().Update(recordId, data, size);
}

void TDBMgrBase::DeleteRecord(int32_t recordId) {
    OpenedTable().Delete(recordId);
}

void TDBMgrBase::EmptyTable() {
    OpenedTable().EmptyTable();
}

void TDBMgrBase::AfterAppend(TVeltTable&, int32_t) {}

namespace {

// The engine fills as many bytes as the file's table definition says; a
// file whose table has another record size must not overrun the buffer.
void SizeReadBuffer(const TVeltTable& table, int32_t managerSize, std::vector<uint8_t>& buffer) {
    buffer.assign(static_cast<size_t>(std::max(table.RecordSize(), managerSize)), 0);
}

}  // namespace

bool TDBMgrBase::ReadStored(int32_t position, int32_t& recordId, std::vector<uint8_t>& buffer) {
    TVeltTable& table = OpenedTable();
    SizeReadBuffer(table, GetRecordSize(), buffer);
    return table.ReadRecord(position, recordId, buffer.data());
}

bool TDBMgrBase::ReadStoredById(int32_t recordId, std::vector<uint8_t>& buffer) {
    TVeltTable& table = OpenedTable();
    SizeReadBuffer(table, GetRecordSize(), buffer);
    return table.ReadRecordById(recordId, buffer.data());
}

bool TDBMgrBase::CreateTableWithIndex(TVeltDatabase& database, const std::string& tableName,
                                      int32_t recordSize, const std::string& indexName,
                                      uint8_t fieldType) {
    database.CreateTable(tableName, recordSize, 0, kTableCapacity);
    return database.CreateIndex(tableName, indexName, 0, fieldType);
}
