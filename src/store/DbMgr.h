#pragma once
// Table managers: each owns one database file holding exactly one table of
// the engine, opened for the manager's whole life, and hands the table's
// records to the rest of the program as in-memory items.
//
//   constructed --(subclass constructor runs Create)--> open --Close--> closed
//        |                                                              |
//        +-- Create fails: everything opened so far is closed again ----+
//
// A manager is open once its constructor has returned; there is no reopen.
// Virtual calls reach a subclass only once its own constructor runs, so
// every manager is a final class whose constructor calls Create itself.
//
// Virtual slots, in the order of the manager family:
//   0 SetLastRecordId   1 GetRecordSize   2 CreateTables   3 OpenTable
//   4 AfterAppend       5 AfterRead       6 MakeRecord
// Slots 5 and 6 carry the item type, so they live in TDBMgr<TItem>.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/RunMap.h"
#include "store/TableWalk.h"

class TVeltDatabase;
class TVeltTable;

// The application's general error for a database file that cannot be made.
inline constexpr const char* kFailCreateDatabase = "Fail to create database";

// Every manager's table starts with room for this many records.
inline constexpr int32_t kTableCapacity = 256;

// Told during a long walk how many records it has read and about how many it
// will read in all; returning false stops the walk there.
using TWalkProgress = std::function<bool(int64_t done, int64_t total)>;
// A walk tells its progress after every this many records read: often
// enough that a stop is quick, rarely enough to cost nothing measurable.
inline constexpr int32_t kWalkProgressStride = 4096;

class TDBMgrBase {
  public:
    virtual ~TDBMgrBase();
    TDBMgrBase(const TDBMgrBase&) = delete;
    TDBMgrBase& operator=(const TDBMgrBase&) = delete;

    // Closes the table and the database; a second call does nothing.
    void Close();

    // 0 once closed.
    int32_t RecordCount() const;
    // Appends Size bytes under the next record id (the largest + 1) and
    // returns it; LastRecordId holds it afterwards.
    int32_t AppendRecord(const void* data, int32_t size);
    // Rewrites the whole stored record of RecordId.
    void UpdateRecord(int32_t recordId, int32_t size, const void* data);
    void DeleteRecord(int32_t recordId);
    // Drops every record; the file and its table stay.
    void EmptyTable();

    // Slot 1: the size of the stored record this manager writes and reads.
    virtual int32_t GetRecordSize() const = 0;

    bool Opened() const { return FOpened; }
    // Exactly the path given to the constructor.
    const std::string& FileName() const { return FFileName; }
    // FileName up to and including its last '/', or empty.
    const std::string& FilePath() const { return FFilePath; }
    int32_t LastRecordId() const { return FLastRecordId; }
    // Nil once closed; the manager keeps them alive.
    TVeltDatabase* Database() const { return FDatabase.get(); }
    TVeltTable* Table() const { return FTable.get(); }
    // With Durable set (the station's way) every modifying operation ends
    // with the file's data on stable storage, or handed to the database's
    // flusher for it.
    bool Durable() const { return FDurable; }
    // Returns once every operation of this manager is on stable storage.
    void WaitFlushed();

  protected:
    explicit TDBMgrBase(bool durable);

    // Makes this manager a reader beside others: the file is opened under a
    // shared lock (the station's writes wait while a reader holds it, other
    // readers do not) and never created. Called before Create.
    void SetSharedReader() { FSharedReader = true; }

    // Stores FileName and FilePath and opens the file, creating it (with
    // its directories, table and index) when it does not exist. On failure
    // everything opened is closed again and the error passes on.
    void Create(const std::string& fileName);

    // Slot 0: every manager stores RecordId in FLastRecordId.
    virtual void SetLastRecordId(int32_t recordId) = 0;
    // Slot 2: the manager's table and its one index in a new database;
    // returns the index creation's result.
    virtual bool CreateTables(TVeltDatabase& database) = 0;
    // Slot 3: opens the manager's table with its indexes.
    virtual void OpenTable(TVeltTable& table) = 0;
    // Slot 4: after every append; nothing by default.
    virtual void AfterAppend(TVeltTable& table, int32_t recordId);

    // The stored record at a position (ascending record id) into Buffer,
    // which is sized to hold whatever the table returns and at least
    // GetRecordSize bytes, zero beyond the table's record. False when no
    // record is at Position.
    bool ReadStored(int32_t position, int32_t& recordId, std::vector<uint8_t>& buffer);
    // The same for the record of RecordId; false when no record has that id.
    bool ReadStoredById(int32_t recordId, std::vector<uint8_t>& buffer);

    // The table for an operation; raises the engine's closed-table error
    // once the manager is closed.
    TVeltTable& OpenedTable() const;

    // The record ids in the order of the table's first index, for a walk
    // along it; nil once closed or while the table is empty. The cache may
    // answer the whole walk, so this first checks that the file is still
    // this manager's.
    const TRunList* FirstIndexIds();

    // The rule every table of the family follows: the table with the
    // manager's name and record size, capacity 256, and one index on the
    // record's first field.
    static bool CreateTableWithIndex(TVeltDatabase& database, const std::string& tableName,
                                     int32_t recordSize, const std::string& indexName,
                                     uint8_t fieldType);

    // Record id returned by the most recent append through this manager.
    int32_t FLastRecordId = 0;

  private:
    void OpenDatabase();
    void CreateDatabaseFile();

    bool FOpened = false;
    bool FSharedReader = false;
    std::string FFileName;
    std::string FFilePath;
    // FTable is declared after FDatabase so that it always goes first.
    std::unique_ptr<TVeltDatabase> FDatabase;
    std::unique_ptr<TVeltTable> FTable;
    bool FDurable;
};

// A manager whose records become items of type TItem.
template <class TItem>
class TDBMgr : public TDBMgrBase {
  public:
    // The item of the record at a 0-based position in ascending record id
    // order. A negative position reads position 0; a position at or past
    // the record count, or a record that cannot be read, leaves Item as it
    // was.
    void GetRecord(int32_t position, std::optional<TItem>& item) {
        if (position > RecordCount() - 1) return;
        if (position < 0) position = 0;
        if (GetRecordSize() < 1) return;
        int32_t recordId = 0;
        if (!ReadStored(position, recordId, FBuffer)) return;
        TItem made = MakeRecord(FBuffer.data(), recordId);
        AfterRead(OpenedTable(), recordId, made);
        item = std::move(made);
    }

    // The item of the record of RecordId; Item stays as it was when no
    // record has that id.
    void GetRecordById(int32_t recordId, std::optional<TItem>& item) {
        if (GetRecordSize() < 1 || !ReadStoredById(recordId, FBuffer)) return;
        TItem made = MakeRecord(FBuffer.data(), recordId);
        AfterRead(OpenedTable(), recordId, made);
        item = std::move(made);
    }

    // Appends the items of the records to List, in ascending record id
    // order, after what List already holds. MaxCount above 0 bounds the
    // number of items added.
    void ListRecords(std::vector<TItem>& list, int32_t maxCount = 0) {
        if (GetRecordSize() < 1) return;
        const int32_t count = RecordCount();
        int32_t added = 0;
        TTableWalk walk(Table());
        for (int32_t position = 0; position < count; ++position) {
            if (maxCount > 0 && added >= maxCount) break;
            walk.Before(position);
            int32_t recordId = 0;
            if (!ReadStored(position, recordId, FBuffer)) continue;
            TItem made = MakeRecord(FBuffer.data(), recordId);
            AfterRead(OpenedTable(), recordId, made);
            list.push_back(std::move(made));
            ++added;
        }
        walk.Finish();
    }

  protected:
    using TDBMgrBase::TDBMgrBase;

    // For tables whose first index is on the items' DateTime: appends the
    // items of [BeginTime, EndTime], newest first. The end of the range is
    // found by bisecting the index, and the walk goes back from there until
    // it passes BeginTime. Returns how many records were read.
    //
    // With Progress, it is told every kWalkProgressStride records read, the
    // total being the index positions from the end of the range back to the
    // first one not before BeginTime (a second bisection; exact unless the
    // clock was once set back). Progress returning false stops the walk:
    // List keeps what was found until then and Stopped (if given) is set.
    int32_t ListByDateTime(std::vector<TItem>& list, double beginTime, double endTime,
                           const TWalkProgress& progress = {}, bool* stopped = nullptr) {
        if (stopped != nullptr) *stopped = false;
        const TRunList* ids = FirstIndexIds();
        if (ids == nullptr) return 0;
        TTableWalk walk(Table());
        // The item of `id`; nothing when no record of that id can be read.
        const auto readAt = [&](int32_t id) {
            walk.BeforeId(id);
            std::optional<TItem> item;
            GetRecordById(id, item);
            return item;
        };
        // The first index position in [Lo, Hi) whose item is after Limit
        // (or at or after it, with Inclusive).
        const auto firstAfter = [&](size_t lo, size_t hi, double limit, bool inclusive) {
            while (lo < hi) {
                const size_t mid = lo + (hi - lo) / 2;
                const std::optional<TItem> probe = readAt((*ids)[mid]);
                if (probe && (probe->DateTime > limit || (inclusive && probe->DateTime == limit))) {
                    hi = mid;
                } else {
                    lo = mid + 1;
                }
            }
            return lo;
        };
        const size_t lo = firstAfter(0, ids->size(), endTime, false);
        int64_t total = 0;
        if (progress) total = static_cast<int64_t>(lo - firstAfter(0, lo, beginTime, true));
        int32_t read = 0;
        int32_t untilReport = kWalkProgressStride;
        for (size_t position = lo; position-- > 0;) {
            if (progress && --untilReport == 0) {
                untilReport = kWalkProgressStride;
                if (!progress(read, std::max<int64_t>(total, read))) {
                    if (stopped != nullptr) *stopped = true;
                    break;
                }
            }
            const std::optional<TItem> item = readAt((*ids)[position]);
            if (!item) continue;
            ++read;
            const double time = item->DateTime;
            if (beginTime <= time && time <= endTime) list.push_back(*item);
            if (time < beginTime) break;
        }
        walk.Finish();
        return read;
    }

    // Slot 5: after an item was made from a read record; nothing by default.
    virtual void AfterRead(TVeltTable& table, int32_t recordId, TItem& item) {
        (void)table;
        (void)recordId;
        (void)item;
    }
    // Slot 6: the item of a stored record. Data holds GetRecordSize bytes.
    virtual TItem MakeRecord(const uint8_t* data, int32_t recordId) const = 0;

  private:
    std::vector<uint8_t> FBuffer;  // the record being read
};
