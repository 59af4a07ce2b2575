#pragma once
// A sorted-array map (TMap: int32 key -> value, ascending keys; the table's
// id map is the run form of it, engine/RunMap.h) and the record cache
// (stored records by id, filled in batches of neighbours).

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "engine/VeltFormat.h"

class TVeltTable;

// A copy of a few dozen bytes (a stored record, its header or its data
// part) without a library call: two overlapping moves of a power of two
// cover every size from that power to twice it.
template <size_t Width>
inline void CopyTwoOverlapping(void* dest, const void* source, size_t size) {
    uint8_t head[Width];
    uint8_t tail[Width];
    std::memcpy(head, source, Width);
    std::memcpy(tail, static_cast<const uint8_t*>(source) + size - Width, Width);
    std::memcpy(dest, head, Width);
    std::memcpy(static_cast<uint8_t*>(dest) + size - Width, tail, Width);
}

inline void CopyRecordBytes(void* dest, const void* source, size_t size) {
    if (size >= 16 && size <= 32) {
        CopyTwoOverlapping<16>(dest, source, size);
    } else if (size >= 8 && size < 16) {
        CopyTwoOverlapping<8>(dest, source, size);
    } else if (size > 0) {
        std::memcpy(dest, source, size);
    }
}

// Two parallel lists, keys strictly ascending. Search answers the position
// it stopped at and, in Result, how the key there relates to the one asked:
//   -2 empty map, 0 found, 1 the key there is smaller, -1 it is larger.
template <class TValue>
class TMap {
  public:
    int32_t Count() const { return static_cast<int32_t>(FKeys.size()); }

    int32_t Search(int32_t key, int32_t& result) const {
        if (FKeys.empty()) {
            result = -2;
            return -1;
        }
        int32_t lo = 0;
        int32_t hi = Count() - 1;
        int32_t mid = 0;
        result = 0;
        while (lo <= hi) {
            mid = lo + (hi - lo) / 2;
            if (FKeys[mid] < key) {
                result = 1;
                lo = mid + 1;
            } else if (FKeys[mid] == key) {
                result = 0;
                break;
            } else {
                result = -1;
                hi = mid - 1;
            }
        }
        return mid;
    }

    int32_t IndexOf(int32_t key) const {
        int32_t result;
        const int32_t position = Search(key, result);
        return result == 0 ? position : -1;
    }

    int32_t FindInsertIndex(int32_t key, bool& found) const {
        int32_t result;
        const int32_t position = Search(key, result);
        found = result == 0;
        if (result == 0 || result == 1) return position + 1;
        if (result == -2) return 0;
        return position;
    }

    // False, and no change, when the key is present. Keys arriving in
    // ascending order (the slots of a table at open) go straight to the end.
    bool Add(int32_t key, TValue value) {
        if (FKeys.empty() || key > FKeys.back()) {
            FKeys.push_back(key);
            FValues.push_back(std::move(value));
            return true;
        }
        bool found;
        const int32_t at = FindInsertIndex(key, found);
        if (found) return false;
        FKeys.insert(FKeys.begin() + at, key);
        FValues.insert(FValues.begin() + at, std::move(value));
        return true;
    }

    std::optional<TValue> Remove(int32_t key) { return RemoveAt(IndexOf(key)); }

    std::optional<TValue> RemoveAt(int32_t index) {
        if (index < 0 || index >= Count()) return std::nullopt;
        std::optional<TValue> value(std::move(FValues[index]));
        FKeys.erase(FKeys.begin() + index);
        FValues.erase(FValues.begin() + index);
        return value;
    }

    bool TryGetValue(int32_t key, TValue& value) const {
        const int32_t at = IndexOf(key);
        if (at < 0) return false;
        value = FValues[at];
        return true;
    }

    bool ContainsKey(int32_t key) const { return IndexOf(key) >= 0; }
    int32_t LastKey() const { return FKeys.empty() ? 0 : FKeys.back(); }

    bool GetAt(int32_t index, int32_t& key, TValue& value) const {
        if (index < 0 || index >= Count()) return false;
        key = FKeys[index];
        value = FValues[index];
        return true;
    }

    void Clear() {
        FKeys.clear();
        FValues.clear();
    }
    void Reserve(size_t count) {
        FKeys.reserve(count);
        FValues.reserve(count);
    }
    // Replaces the contents in one go; Keys must be strictly ascending and
    // as many as Values. (Adding keys one by one out of order moves the
    // ones above each key every time.)
    void AssignSorted(std::vector<int32_t>&& keys, std::vector<TValue>&& values) {
        FKeys = std::move(keys);
        FValues = std::move(values);
    }

  private:
    std::vector<int32_t> FKeys;
    std::vector<TValue> FValues;
};

// Record id -> a non-negative 32-bit value, by open addressing with linear
// probing (no allocation per entry; removal shifts the probe run back, so
// no tombstones build up).
class TIdHash {
  public:
    static constexpr int32_t kNone = -1;

    int32_t Find(int32_t key) const;
    void Set(int32_t key, int32_t value);
    void Erase(int32_t key);
    void Clear();
    int32_t Count() const { return FCount; }

  private:
    struct TSlot {
        int32_t Key;
        int32_t Value;  // kNone: the slot is free
    };
    size_t Home(int32_t key) const { return (static_cast<uint32_t>(key) * 0x9E3779B1u) >> FShift; }
    void Grow();

    std::vector<TSlot> FSlots;
    int32_t FCount = 0;
    int FShift = 32;
};

// Slot number -> a non-negative 32-bit value, or kNone. Pages of 1024
// slots are allocated when a slot in them is first set and released when
// their last value is erased, so the directory costs four bytes per slot
// only around the slots that hold a value (and never more than four bytes
// per slot of the table).
class TSlotDirectory {
  public:
    static constexpr int32_t kNone = -1;

    int32_t Find(int32_t slot) const {
        const size_t page = static_cast<uint32_t>(slot) >> kPageBits;
        if (slot < 0 || page >= FPages.size() || !FPages[page].Values) return kNone;
        return FPages[page].Values[slot & kPageMask];
    }
    // Slot and Value must be 0 or more.
    void Set(int32_t slot, int32_t value) {
        const size_t page = static_cast<uint32_t>(slot) >> kPageBits;
        if (page >= FPages.size() || !FPages[page].Values) AddPage(page);
        int32_t& cell = FPages[page].Values[slot & kPageMask];
        if (cell == kNone) ++FPages[page].Count;
        cell = value;
    }
    // The value at Slot when it holds one; otherwise sets Value there and
    // returns kNone (one page lookup for both). Slot and Value must be 0 or
    // more.
    int32_t FindOrSet(int32_t slot, int32_t value) {
        const size_t page = static_cast<uint32_t>(slot) >> kPageBits;
        if (page >= FPages.size() || !FPages[page].Values) AddPage(page);
        int32_t& cell = FPages[page].Values[slot & kPageMask];
        if (cell != kNone) return cell;
        ++FPages[page].Count;
        cell = value;
        return kNone;
    }
    void Erase(int32_t slot) {
        const size_t page = static_cast<uint32_t>(slot) >> kPageBits;
        if (slot < 0 || page >= FPages.size() || !FPages[page].Values) return;
        int32_t& cell = FPages[page].Values[slot & kPageMask];
        if (cell == kNone) return;
        cell = kNone;
        if (--FPages[page].Count == 0) FPages[page].Values.reset();
    }
    void Clear() { FPages.clear(); }
    // Pages allocated now.
    int32_t PageCount() const;

  private:
    static constexpr int kPageBits = 10;
    static constexpr int32_t kPageMask = (1 << kPageBits) - 1;
    struct TPage {
        std::unique_ptr<int32_t[]> Values;
        int32_t Count = 0;  // values other than kNone
    };
    void AddPage(size_t page);
    std::vector<TPage> FPages;
};

// Copies of stored records by record id, their data part deciphered, at
// most the database's CacheSize of them (0: no bound). A miss reads a batch
// of up to 100 neighbouring slots of the same area, deciphers the batch in
// one call and keeps every live record of it, so a record read again is
// never deciphered again. When the reads walk backwards (each id asked for
// below the one before) the batch ends at the record asked for instead of
// starting at it, so a backward walk costs one file access per hundred
// records too.
//
// The data part of a copy is what a read of the stored record returns: the
// stored bytes deciphered over the whole RecordSize. Whoever puts a record
// puts it in that form.
//
// A full cache evicts one entry chosen uniformly at random when a record is
// put; the record takes the evicted entry's place. A batch read into a full
// cache evicts nothing: a long walk would otherwise trade every copy the
// cache holds for records it passes once. Its records are served from the
// batch itself until the next batch is read or anything is put or removed. Entry i's
// copy is block i. The entries (id and slot) live in a dense list, so a
// random pick is O(1); they are found by the slot the id map gives for the
// id, through a directory indexed by slot, so no lookup probes or compares
// ids. An id the table's map does not hold (only ever put from outside the
// table) is found through a small hash instead.
//
// A cached copy only ever comes from the slot the id map names for its id:
// a stray copy of an id elsewhere in an area (possible only in a damaged
// file) is never served in its place.
class TRecordCache {
  public:
    // Table borrows; it owns this cache. Raises "Table is nil".
    explicit TRecordCache(TVeltTable* table);
    ~TRecordCache();
    TRecordCache(const TRecordCache&) = delete;
    TRecordCache& operator=(const TRecordCache&) = delete;

    // Copies the record (StoredRecordSize bytes) into Buffer, reading its
    // batch from the file on a miss.
    void Get(int32_t recordId, uint8_t* buffer);
    // Stores a copy; returns the cached block (valid until the next call
    // that puts, removes or evicts).
    uint8_t* Put(int32_t recordId, const uint8_t* storedRecord);
    void Remove(int32_t recordId);
    void Clear();
    // Evicts one random entry when the cache is full; true when it did.
    bool MakeRoom();

    int32_t Count() const { return static_cast<int32_t>(FEntries.size()); }
    bool Contains(int32_t recordId) const { return EntryOf(recordId) != kNoEntry; }
    // Pages of the slot directory allocated now (each covers 1024 slots).
    int32_t DirectoryPages() const { return FBySlot.PageCount(); }
    // Bytes allocated for copies now, used or not.
    size_t BlockBytes() const { return FChunks.size() * ChunkBlocks() * FBlockSize; }

    // The same for a live record at the slot the id map gives for it, which
    // the table knows already. RecordAt returns the record itself, read with
    // its batch on a miss, valid until the next call on this cache.
    const uint8_t* RecordAt(int32_t recordId, int32_t slot) {
        return RecordAt(recordId, slot, StoredSize());
    }
    // The same for a table passing its StoredRecordSize, so that a hit
    // takes no call.
    const uint8_t* RecordAt(int32_t recordId, int32_t slot, int32_t storedSize) {
        const bool backward = recordId < FLastAsked;
        FLastAsked = recordId;
        if (const int32_t entry = FBySlot.Find(slot);
            entry != kNoEntry && FBlockSize == storedSize) {
            return BlockAt(entry);
        }
        if (const uint8_t* held = HeldRecord(recordId, slot, storedSize)) return held;
        return Load(recordId, slot, backward);
    }
    // True when RecordAt serves the live record at Slot without the file.
    bool HoldsSlot(int32_t slot) const {
        return FBySlot.Find(slot) != kNoEntry && FBlockSize == StoredSize();
    }
    uint8_t* PutAt(int32_t recordId, int32_t slot, const uint8_t* storedRecord);
    void RemoveAt(int32_t recordId, int32_t slot);
    // Stops serving records from the last batch read (its checks no longer
    // hold).
    void DropBatch() { FHeldCount = 0; }

  private:
    // A chunk holds up to 256 blocks, fewer when the blocks are large: the
    // record size comes from the file, and a chunk must not reserve room
    // for far more bytes than the records that fill it.
    static constexpr int kMaxChunkShift = 8;
    static constexpr size_t kChunkBytes = size_t{1} << 20;
    // Room for a few batches at once instead of growing one by one.
    static constexpr int32_t kFirstEntries = 1024;
    static constexpr int32_t kNoEntry = -1;
    static constexpr int32_t kNoSlot = -1;

    struct TEntry {
        int32_t RecordId;
        int32_t Slot;  // kNoSlot: an id outside the table's map, found by FOutside
    };

    // The record of RecordId at Slot in the last batch read, deciphered and
    // checked as Load checks it, or nil.
    const uint8_t* HeldRecord(int32_t recordId, int32_t slot, int32_t storedSize) const {
        const auto index = static_cast<uint32_t>(slot - FHeldFirst);
        if (index >= static_cast<uint32_t>(FHeldCount) || FBlockSize != storedSize) return nullptr;
        const uint8_t* record = FBatch.data() + static_cast<size_t>(index) * storedSize;
        if (StoredRecordId(record) != recordId || RecordDeleted(record)) return nullptr;
        return record;
    }
    // Entries are never negative; unsigned, the chunk and place are a shift
    // and a mask.
    uint8_t* BlockAt(int32_t entry) {
        const auto index = static_cast<uint32_t>(entry);
        return FChunks[index >> FChunkShift].get() +
               static_cast<size_t>(index & ((1u << FChunkShift) - 1)) * FBlockSize;
    }
    // The table's StoredRecordSize.
    int32_t StoredSize() const;
    // The slot the table's id map gives for RecordId, or kNoSlot.
    int32_t MappedSlot(int32_t recordId) const;
    int32_t EntryOf(int32_t recordId) const;
    // Reads, deciphers and caches the batch of the record at Slot, ending
    // at it when Backward; returns the record's copy in the batch.
    const uint8_t* Load(int32_t recordId, int32_t slot, bool backward);
    // The database's CacheSize, 0 for no bound.
    int32_t Capacity() const;
    // True when a new record must take the place of an evicted one.
    bool Full() const;
    // Makes an entry for a record not cached yet, evicting one first when
    // the cache holds Capacity entries; returns it, linked, block unwritten.
    int32_t AddEntry(const TEntry& added, int32_t capacity);
    int32_t PickEntry();
    // Blocks and entry room for Added more entries, up to Capacity (0: no
    // bound), so that new entries need no allocation.
    void ReserveEntries(int32_t added, int32_t capacity);
    // Forgets where Entry's record is found (the directory or the hash).
    void Unlink(const TEntry& entry);
    void Link(const TEntry& entry, int32_t index);
    // Moves the last entry (id, slot and block) into the hole at Index.
    void RemoveEntryAt(int32_t index);
    void ClearEntries();
    // Drops every entry when Size differs from the blocks held, and sizes
    // chunks for it.
    void UseBlockSize(int32_t size);
    size_t ChunkBlocks() const { return size_t{1} << FChunkShift; }

    TVeltTable* FTable;
    int32_t FBlockSize = 0;            // StoredRecordSize of the blocks held
    int FChunkShift = kMaxChunkShift;  // log2 of the blocks per chunk
    std::vector<TEntry> FEntries;
    TSlotDirectory FBySlot;  // slot -> entry
    TIdHash FOutside;        // id -> entry, for entries without a slot
    std::vector<std::unique_ptr<uint8_t[]>> FChunks;
    uint64_t FRandom;  // xorshift state, never 0
    int32_t FLastAsked = 0;
    std::vector<uint8_t> FBatch;
    // FBatch holds FHeldCount deciphered records from slot FHeldFirst, each
    // as the file held it at the read: 0 once anything is put or removed.
    int32_t FHeldFirst = 0;
    int32_t FHeldCount = 0;
};
