#include "store/DbMgr.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

// Each build has a name of its own: two threads or processes creating the
// same file at once must not write into one another's build.
std::string BuildingName(const std::string& fileName) {
    static std::atomic<uint64_t> serial{0};
    return fileName + kCreatingSuffix + "." + std::to_string(::getpid()) + "." +
           std::to_string(++serial);
}

// Builds of this file left by a creation that was cut short (a crash, a
// power cut): the old single name, and names of processes no longer alive.
void RemoveLeftoverBuilds(const std::string& fileName) {
    const std::filesystem::path path(fileName);
    const std::string prefix = path.filename().string() + kCreatingSuffix;
    std::error_code error;
    std::filesystem::directory_iterator entries(
        path.has_parent_path() ? path.parent_path() : std::filesystem::path("."), error);
    if (error) return;
    for (const auto& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string rest = name.substr(prefix.size());
        if (!rest.empty()) {
            // ".<pid>.<serial>": kept while its process may still be building.
            const long pid = std::strtol(rest.c_str() + 1, nullptr, 10);
            if (rest[0] != '.' || pid <= 0) continue;
            if (pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) {
                continue;
            }
        }
        std::error_code ignored;
        std::filesystem::remove(entry.path(), ignored);
    }
}

// Renames the finished build into place unless a file is there already: a
// creator that came first may have stored into it meanwhile, and replacing it
// would lose that. False leaves the build where it is.
bool PublishBuild(const std::string& building, const std::string& fileName) {
    if (::renameat2(AT_FDCWD, building.c_str(), AT_FDCWD, fileName.c_str(), RENAME_NOREPLACE) ==
        0) {
        return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) throw std::runtime_error(kFailCreateDatabase);
    // A file system without that rename: a hard link does the same.
    if (::link(building.c_str(), fileName.c_str()) == 0) {
        ::unlink(building.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    // Nor links (a FAT stick): the plain rename.
    std::error_code error;
    std::filesystem::rename(building, fileName, error);
    if (error) throw std::runtime_error(kFailCreateDatabase);
    return true;
}

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
    const std::string building = BuildingName(FFileName);
    if (!FDatabase->CreateDatabase(building, false, kCompressAlgorithm, true, kEncryptAlgorithm,
                                   kPassword)) {
        throw std::runtime_error(kFailCreateDatabase);
    }
    try {
        FDatabase->Open(building, kPassword);
        CreateTables(*FDatabase);
        FDatabase->Close();
        if (!PublishBuild(building, FFileName)) {
            // Another creator was first: its file is the one to open. Not
            // so a directory in the way.
            if (!FileExists(FFileName)) throw std::runtime_error(kFailCreateDatabase);
            std::error_code ignored;
            std::filesystem::remove(building, ignored);
            return;
        }
    } catch (...) {
        FDatabase->Close();
        std::error_code ignored;
        std::filesystem::remove(building, ignored);
        throw;
    }
    RemoveLeftoverBuilds(FFileName);
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
