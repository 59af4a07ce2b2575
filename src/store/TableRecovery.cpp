#include "store/TableRecovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"
#include "store/EventDbMgr.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"
#include "store/SysParaDbMgr.h"

namespace {

// Every file of the station is enciphered under the empty password.
const std::string kPassword;
// The fresh file is built under this suffix beside the original.
constexpr const char* kRecoveringSuffix = ".recovering";
constexpr const char* kKeptAsideInfix = ".corrupt-";
// Slots read from an area per file read.
constexpr int64_t kSlotsPerRead = 4096;
// Names tried for the kept copy before giving up ("-2" ... "-999").
constexpr int kMaxAsideSuffix = 999;

// One record area of the table: Count slots from Offset on.
struct TArea {
    int64_t Offset = 0;
    int64_t Count = 0;
};

std::string DirectoryOf(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    return slash == std::string::npos ? std::string(".") : fileName.substr(0, slash + 1);
}

bool PathTaken(const std::string& path) {
    struct stat entry {};
    return ::lstat(path.c_str(), &entry) == 0;
}

void RemoveQuietly(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

[[noreturn]] void RaiseSystemError(const std::string& what, const std::string& path, int err) {
    throw std::runtime_error(what + " \"" + path + "\". " + SystemReason(err));
}

// Puts a file's data, or a directory's entries, on stable storage.
void SyncPath(const std::string& path, bool directory) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (directory ? O_DIRECTORY : 0));
    if (fd < 0) RaiseSystemError("Cannot open", path, errno);
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    if (rc != 0) RaiseWriteError(path, err);
}

// Opens the database for its header, directory, algorithms and key; what
// the engine refuses there, the recovery refuses too. A file that cannot be
// opened at all is not a question of understanding it and passes on.
void OpenHeader(TVeltDatabase& database, const std::string& fileName) {
    bool open = false;
    try {
        open = database.Open(fileName, kPassword);
    } catch (const EFOpenError&) {
        throw;
    } catch (const std::exception& error) {
        throw ETableUnrecoverable(error.what());
    }
    if (!open) {
        throw ETableUnrecoverable("Database file '" + database.FileName() +
                                  "' is not written under the station's password");
    }
}

// The kind's table definition, read and checked against the file.
TTableDef ReadDefinition(const TVeltDatabase& database, TVeltFileIO& file, int64_t fileSize,
                         const TTableKind& kind) {
    const std::string name = kind.TableName;
    const int32_t table = database.IndexOfTable(name);
    if (table < 0) throw ETableUnrecoverable(FormatMessage(velt_msg::kTableNotFound, name));
    const int64_t offset = database.Directory().Offsets[table].Get();
    if (offset < kHeaderSize || offset + kTableDefSize > fileSize) {
        throw ETableUnrecoverable("The definition of table '" + name + "' lies outside the file");
    }
    TTableDef def{};
    if (file.ReadAt(offset, &def, kTableDefSize) != kTableDefSize) {
        throw ETableUnrecoverable("The definition of table '" + name + "' cannot be read");
    }
    if (def.RecordSize.Get() != kind.RecordSize) {
        throw ETableUnrecoverable("Table '" + name + "' has records of " +
                                  std::to_string(def.RecordSize.Get()) + " bytes, not " +
                                  std::to_string(kind.RecordSize));
    }
    const int32_t indexCount = def.IndexCount.Get();
    const int32_t headerBlocks = def.HeaderBlockCount.Get();
    if (indexCount < 0 || indexCount > kMaxIndexes || headerBlocks < 0 ||
        HeaderSize(indexCount, headerBlocks) + kind.RecordSize > fileSize) {
        throw ETableUnrecoverable("Table '" + name + "' has a record layout that no file can hold");
    }
    return def;
}

TArea CheckedArea(int32_t offset, int32_t count, int64_t storedSize, int64_t fileSize,
                  const char* which, const TTableKind& kind) {
    TArea area{offset, count};
    if (count == 0) return TArea{};
    if (count < 0 || offset < kHeaderSize || offset + count * storedSize > fileSize) {
        throw ETableUnrecoverable("The " + std::string(which) + " area of table '" +
                                  kind.TableName + "' lies outside the file");
    }
    return area;
}

struct TSlotFind {
    int32_t RecordId = 0;
    int64_t Slot = 0;
    size_t Data = 0;  // where its data starts in the found data
};

// Takes the intact slots of one area into Found, their deciphered data into
// FoundData.
void ReadArea(TVeltDatabase& database, TVeltFileIO& file, const TArea& area, int64_t storedSize,
              int64_t headerSize, int64_t firstSlot, const TTableKind& kind,
              std::vector<TSlotFind>& found, std::vector<uint8_t>& foundData,
              TTableSalvage& salvage) {
    const auto recordSize = static_cast<size_t>(kind.RecordSize);
    std::vector<uint8_t> block;
    for (int64_t done = 0; done < area.Count;) {
        const int64_t slots = std::min(kSlotsPerRead, area.Count - done);
        const auto bytes = static_cast<int32_t>(slots * storedSize);
        block.assign(static_cast<size_t>(bytes), 0);
        // The area was checked against the file's size; a file that shrank
        // since is refused rather than read past its end.
        if (file.ReadAt(area.Offset + done * storedSize, block.data(), bytes) != bytes) {
            throw ETableUnrecoverable("The file ended inside table '" +
                                      std::string(kind.TableName) + "'");
        }
        for (int64_t i = 0; i < slots; ++i) {
            const uint8_t* stored = block.data() + i * storedSize;
            ++salvage.Slots;
            if (stored[0] != kRecordMarker) {
                ++salvage.Unmarked;
                continue;
            }
            if (RecordDeleted(stored)) {
                ++salvage.Deleted;
                continue;
            }
            TSlotFind find;
            find.RecordId = StoredRecordId(stored);
            if (find.RecordId < 1) {
                ++salvage.BadIds;
                continue;
            }
            find.Slot = firstSlot + done + i;
            find.Data = foundData.size();
            foundData.insert(foundData.end(), stored + headerSize,
                             stored + headerSize + recordSize);
            database.DecryptData(foundData.data() + find.Data, kind.RecordSize);
            found.push_back(find);
        }
        done += slots;
    }
}

void BuildFreshFile(const std::string& target, const TTableKind& kind, const TTableSalvage& salvage,
                    bool durable) {
    RemoveQuietly(target);
    try {
        {
            // Flushed once at the end instead of once per record.
            const std::unique_ptr<TDBMgrBase> mgr = kind.OpenFile(target);
            TVeltDatabase& database = *mgr->Database();
            TVeltTable& table = *mgr->Table();
            // One access bracket: the file stays open for all the appends.
            database.BeginAccess();
            try {
                for (size_t i = 0; i < salvage.Count(); ++i) {
                    table.Append(salvage.RecordData(i), kind.RecordSize, salvage.Ids[i]);
                }
            } catch (...) {
                database.EndAccessAfterFailure();
                throw;
            }
            database.EndAccess();
        }
        if (durable) SyncPath(target, false);
        // The engine's own open walks the rebuilt chain once more.
        const std::unique_ptr<TDBMgrBase> check = kind.OpenFile(target);
        if (check->RecordCount() != static_cast<int32_t>(salvage.Count())) {
            throw std::runtime_error("The rebuilt file \"" + target +
                                     "\" does not hold every recovered record");
        }
    } catch (...) {
        RemoveQuietly(target);
        throw;
    }
}

template <class TMgr>
std::unique_ptr<TDBMgrBase> OpenPlain(const std::string& fileName) {
    return std::make_unique<TMgr>(fileName, false);
}

}  // namespace

const TTableKind kHistoryKind{kHistoryTableName, kHistoryRecordSize, &OpenPlain<THisInfoDbMgr>};
const TTableKind kStationKind{kStationTableName, kStationRecordSize, &OpenPlain<TStationDbMgr>};
const TTableKind kSysParaKind{kSysParaTableName, kSysParaRecordSize, &OpenPlain<TSysParaDbMgr>};
const TTableKind kEventKind{kEventTableName, kEventRecordSize, &OpenPlain<TEventDbMgr>};

const TTableKind& KindOfFile(const std::string& fileName) {
    TVeltDatabase database;
    OpenHeader(database, fileName);
    const std::vector<std::string> tables = database.TableNames();
    database.Close();
    for (const TTableKind* kind : {&kHistoryKind, &kStationKind, &kSysParaKind, &kEventKind}) {
        for (const std::string& table : tables) {
            if (SameName(table, kind->TableName)) return *kind;
        }
    }
    throw ETableUnrecoverable("Database file '" + fileName +
                              "' holds none of the station's tables");
}

TTableSalvage SalvageTableFile(const std::string& fileName, const TTableKind& kind) {
    TVeltDatabase database;
    OpenHeader(database, fileName);

    TVeltFileIO file;
    file.OpenFile(database.FileName(), false, true, 0);
    const int64_t fileSize = file.FileSize();
    const TTableDef def = ReadDefinition(database, file, fileSize, kind);
    const int64_t headerSize = HeaderSize(def.IndexCount.Get(), def.HeaderBlockCount.Get());
    const int64_t storedSize = headerSize + kind.RecordSize;
    const TArea primary = CheckedArea(def.PrimaryOffset.Get(), def.PrimaryCount.Get(), storedSize,
                                      fileSize, "primary", kind);
    const TArea growth = CheckedArea(def.GrowthOffset.Get(), def.GrowthCount.Get(), storedSize,
                                     fileSize, "growth", kind);

    TTableSalvage salvage;
    salvage.RecordSize = kind.RecordSize;
    std::vector<TSlotFind> found;
    std::vector<uint8_t> foundData;
    // Slot numbers count the primary area first, as the engine's do.
    ReadArea(database, file, primary, storedSize, headerSize, 0, kind, found, foundData, salvage);
    ReadArea(database, file, growth, storedSize, headerSize, primary.Count, kind, found, foundData,
             salvage);
    file.Close();
    database.Close();

    // Ascending id; of equal ids the earliest slot stays.
    std::stable_sort(found.begin(), found.end(), [](const TSlotFind& a, const TSlotFind& b) {
        return a.RecordId < b.RecordId;
    });
    salvage.Ids.reserve(found.size());
    salvage.Data.reserve(foundData.size());
    for (const TSlotFind& find : found) {
        if (!salvage.Ids.empty() && salvage.Ids.back() == find.RecordId) {
            ++salvage.Duplicates;
            continue;
        }
        salvage.Ids.push_back(find.RecordId);
        const auto* data = foundData.data() + find.Data;
        salvage.Data.insert(salvage.Data.end(), data, data + kind.RecordSize);
    }
    return salvage;
}

std::string KeptAsideName(const std::string& fileName, TDateTime now) {
    const TDateTimeParts t = DecodeDateTime(now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", t.Year, t.Month, t.Day, t.Hour,
                  t.Minute, t.Second);
    const std::string base = fileName + kKeptAsideInfix + stamp;
    if (!PathTaken(base)) return base;
    for (int n = 2; n <= kMaxAsideSuffix; ++n) {
        const std::string name = base + "-" + std::to_string(n);
        if (!PathTaken(name)) return name;
    }
    throw std::runtime_error("No free name to keep \"" + fileName + "\" aside");
}

TTableRecovery RecoverTableFile(const std::string& fileName, const TTableKind& kind, TDateTime now,
                                bool durable) {
    TTableRecovery recovery;
    recovery.Salvage = SalvageTableFile(fileName, kind);

    const std::string fresh = fileName + kRecoveringSuffix;
    BuildFreshFile(fresh, kind, recovery.Salvage, durable);

    // The original gets its second name first, so that the live name never
    // goes missing. Where the file system has no hard links it is renamed,
    // and the live name is missing until the next rename.
    bool linked = false;
    for (;;) {
        recovery.KeptAs = KeptAsideName(fileName, now);
        if (::link(fileName.c_str(), recovery.KeptAs.c_str()) == 0) {
            linked = true;
            break;
        }
        if (errno == EEXIST) continue;
        if (::rename(fileName.c_str(), recovery.KeptAs.c_str()) == 0) break;
        const int err = errno;
        RemoveQuietly(fresh);
        RaiseSystemError("Cannot keep aside", fileName, err);
    }
    if (::rename(fresh.c_str(), fileName.c_str()) != 0) {
        const int err = errno;
        if (linked) {
            // The original is still live; its extra name goes again.
            RemoveQuietly(recovery.KeptAs);
        } else {
            ::rename(recovery.KeptAs.c_str(), fileName.c_str());
        }
        RemoveQuietly(fresh);
        RaiseSystemError("Cannot put the recovered file in place of", fileName, err);
    }
    if (durable) SyncPath(DirectoryOf(fileName), true);
    return recovery;
}

std::string SetFileAside(const std::string& fileName, TDateTime now, bool durable) {
    for (;;) {
        const std::string keptAs = KeptAsideName(fileName, now);
        // Without replacing a name taken since it was chosen.
        if (::link(fileName.c_str(), keptAs.c_str()) == 0) {
            if (::unlink(fileName.c_str()) != 0) {
                const int err = errno;
                RemoveQuietly(keptAs);
                RaiseSystemError("Cannot keep aside", fileName, err);
            }
        } else if (errno == EEXIST) {
            continue;
        } else if (::rename(fileName.c_str(), keptAs.c_str()) != 0) {
            RaiseSystemError("Cannot keep aside", fileName, errno);
        }
        if (durable) SyncPath(DirectoryOf(fileName), true);
        return keptAs;
    }
}
