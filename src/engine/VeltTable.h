#pragma once
// One table of an open database: fixed-size records identified by record
// ids, an id map built from the file at open, a record cache, and one index
// object per index of the definition.
//
//   closed --Open--> open --Close / Database.Close / failed Open--> closed
//
// Slot s of a table lies in the primary area when s < P (primary count) and
// in the growth area otherwise:
//   position(s) = primary offset + s * StoredRecordSize             (s < P)
//               = growth offset + (s - P) * StoredRecordSize        (s >= P)
//
// Write orders. Each write is one transfer; a definition write carries both
// copies. A power cut can stop an operation after any of its writes, and
// the next open either accepts the file or refuses it as corrupt; then the
// records of every slot are still whole (no write touches another record's
// data, and a slot is counted only once written), so a recovery that takes
// the live slots by id loses nothing committed: "commits" below is the write
// after which such a recovery finds the operation done.
//  1 Append: [grow the area: zeros at the end, the used part copied there]
//    record with marker, id, data and its own next links, into a slot past
//    the count -> definition: count + 1 and the head of every index the
//    record starts (commits) -> the predecessor's link, per index where it
//    has one. Prefixes before the definition and after the last link open
//    as before and after; the others leave a live record no chain reaches.
//  2 Update: data part (commits) -> for an index where the new key moves
//    the record away from its neighbours: unlinked (predecessor's link or
//    head), own link, new predecessor's link or head. A key that keeps the
//    record in place writes no link, so every prefix opens.
//  3 Delete: deleted flag (commits) -> predecessor's link or head, per
//    index. In between a chain runs through a deleted slot.
//  4 EmptyTable: the definition alone.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/RecordCache.h"
#include "engine/RunMap.h"
#include "engine/VeltFormat.h"

class TMemoryStream;
class TSlotReader;
class TVeltDatabase;
class TVeltFileIO;
class TVeltIndex;

// Records read by one cache batch: Count slots from FirstSlot; the record
// asked for is number AskedIndex of them.
struct TReadBatch {
    int32_t Count = 0;
    int32_t FirstSlot = 0;
    int32_t AskedIndex = 0;
};

inline constexpr int32_t kBatchRecords = 100;

// Slots of a table: those in use (live and deleted records) and the most it
// can ever have in a file of a given size limit.
struct TTableRoom {
    int64_t Used = 0;
    int64_t Total = 0;
};

class TVeltTable {
  public:
    // Database borrows and must be open for the table's operations; the
    // table registers with it. Raises "Database is nil".
    explicit TVeltTable(TVeltDatabase* database);
    ~TVeltTable();
    TVeltTable(const TVeltTable&) = delete;
    TVeltTable& operator=(const TVeltTable&) = delete;

    void Open(const std::string& tableName, bool loadIndexes = true);
    void Close();
    int32_t RecordCount() const;
    // The table's slots in a file of at most `fileSizeLimit` bytes: the
    // growth area doubles at each growth (GrowForAppend, by the same rule)
    // as long as the file stays within the limit, so a file cannot always
    // reach the limit itself. Read from the definition and the file's size
    // as the last access left it: no file access. Appends fail from
    // Used == Total on (at kMaxFileSize; a smaller limit only estimates).
    TTableRoom Room(int64_t fileSizeLimit = kMaxFileSize) const;

    // Appends Size bytes (at most RecordSize are kept) under RecordId, or
    // under the largest id + 1 when RecordId < 1; returns the id used.
    int32_t Append(const void* data, int32_t size, int32_t recordId = 0);
    void Update(int32_t recordId, const void* data, int32_t size);
    void Delete(int32_t recordId);
    // Data receives RecordSize bytes. Position is the rank in ascending ids.
    bool ReadRecord(int32_t position, int32_t& recordId, void* data);
    bool ReadRecordById(int32_t recordId, void* data);
    void EmptyTable();
    // File offset of the stored record; raises "Record id '%d' not found".
    int32_t RecordPosition(int32_t recordId) const;
    // Slot number of a live record; raises like RecordPosition.
    int32_t SlotOf(int32_t recordId) const;
    // Up to 100 stored records from RecordId's slot on, never past the end
    // of its area, into Stream; returns how many.
    int32_t ReadAhead(int32_t recordId, TMemoryStream& stream);
    // The cache's batch: up to 100 slots of RecordId's area that hold it,
    // ending at it when Backward, starting at it otherwise (shifted to stay
    // inside the area), into Out.
    TReadBatch ReadBatch(int32_t recordId, bool backward, std::vector<uint8_t>& out);
    // The same for the live record at Slot.
    TReadBatch ReadBatchAt(int32_t slot, bool backward, std::vector<uint8_t>& out);

    void CheckActive() const;
    void BeginAccess();
    void EndAccess();

    TVeltDatabase* Database() const { return FDatabase; }
    // Called by a database that is destroyed before its tables.
    void DetachDatabase() { FDatabase = nullptr; }
    TVeltFileIO& FileIO() const;
    bool Active() const { return FActive; }
    const std::string& TableName() const { return FTableName; }
    int32_t TableNumber() const { return FTableNumber; }
    const TTableDef& Definition() const { return FDef; }
    TTableDef& Definition() { return FDef; }
    // Rewrites the definition (both copies) in the open file.
    void WriteDefinition();
    int32_t RecordSize() const { return FDef.RecordSize.Get(); }
    int32_t HeaderSize() const { return FHeaderSize; }
    int32_t StoredRecordSize() const { return FStoredRecordSize; }
    int32_t PrimaryCount() const { return FDef.PrimaryCount.Get(); }
    // True when Slot lies in the primary area. Decided by the slot number
    // alone: file positions say nothing about areas a damaged definition
    // lets overlap.
    bool SlotInPrimaryArea(int32_t slot) const { return slot < FDef.PrimaryCount.Get(); }
    const TRunMap& IdMap() const { return FIdMap; }
    // True when the id map has Slot for RecordId: a live record found at
    // Slot is the one the table serves under its id.
    bool MapsSlot(int32_t recordId, int32_t slot) const {
        int32_t mapped = kNoSlot;
        return FIdMap.TryGetValue(recordId, mapped) && mapped == slot;
    }
    const TRecordCache& Cache() const { return *FCache; }
    int32_t IndexCount() const { return static_cast<int32_t>(FIndexes.size()); }
    TVeltIndex& Index(int32_t number) const { return *FIndexes.at(number); }
    bool MarkerCheck() const { return FMarkerCheck; }
    void SetMarkerCheck(bool value) {
        FMarkerCheck = value;
        FCache->DropBatch();
    }

  private:
    // Raises the error CheckActive reports for an unusable table.
    [[gnu::cold, gnu::noinline]] void RaiseInactive() const;
    void ValidateDefinition(int64_t fileSize) const;
    void LoadRecords(bool loadIndexes);
    // The chains of the first Count indexes as the id map's walk finds
    // them: bit k of InSlotOrder is set when index k's chain runs through
    // every live record in slot order, ids ascending, and ends there, as
    // appends in key order leave it. Such a chain needs no walk of its own.
    struct TSlotOrderChains {
        int32_t Count = 0;
        uint32_t InSlotOrder = 0;
    };
    // Builds the id map from every stored record and checks Chains.
    void MapRecords(TSlotReader& reader, TSlotOrderChains& chains);
    void CheckModifiable() const;
    void GrowForAppend();
    int64_t SlotPosition(int32_t slot) const;
    // Copies up to RecordSize bytes of Data into FKey (zero-padded) and
    // builds the stored record in FWork, data encrypted; returns the number
    // of data bytes taken.
    int32_t BuildRecord(int32_t recordId, const void* data, int32_t size);
    // The record just built, as the cache keeps it (data deciphered), given
    // the number of data bytes BuildRecord took.
    const uint8_t* CacheForm(int32_t taken);
    // RecordSize plain bytes of the live record at Slot through the cache.
    void ReadData(int32_t recordId, int32_t slot, void* data);
    template <class Body>
    void WithAccess(Body&& body);
    // Bytes of stored records from slot First on (one area), zeros where
    // the file ends first.
    void ReadSlots(int32_t first, uint8_t* out, size_t bytes);
    // True when the records read ahead hold Count slots from First as the
    // file holds them now: read within the current access, nothing written
    // since.
    bool WindowHolds(int32_t first, int32_t count) const;
    // Reads the slots First .. End - 1 of the area [AreaFirst, AreaEnd),
    // and further in the walk's direction when the walk goes on from the
    // last read, into FWindow.
    void ReadWindow(int32_t first, int32_t end, int32_t areaFirst, int32_t areaEnd, bool backward);

    TVeltDatabase* FDatabase;
    std::vector<std::unique_ptr<TVeltIndex>> FIndexes;
    std::string FTableName;
    int32_t FTableNumber = -1;
    TTableDef FDef{};
    int32_t FHeaderSize = 0;
    int32_t FStoredRecordSize = 0;
    TRunMap FIdMap;
    std::unique_ptr<TRecordCache> FCache;
    bool FActive = false;
    bool FMarkerCheck = true;
    bool FIndexesLoaded = false;
    std::vector<uint8_t> FWork;   // stored record being written
    std::vector<uint8_t> FKey;    // plain data handed to the indexes
    std::vector<uint8_t> FPlain;  // the built record as the cache keeps it
    // Stored records read for the cache's batches: Count slots from First,
    // valid under the access serial and file generation they were read in.
    struct TReadWindow {
        std::vector<uint8_t> Bytes;
        int32_t First = 0;
        int32_t Count = 0;
        uint64_t Serial = 0;
        uint64_t Generation = 0;
    } FWindow;
};
