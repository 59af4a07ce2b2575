#pragma once
// The id map of a table (TMap: record id -> slot number, ascending ids) and
// the record cache (stored records by id, filled in batches of neighbours).

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <vector>

class TVeltTable;

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

// Copies of stored records (data part still encrypted) by record id, at
// most the database's CacheSize of them (0: no bound). A miss reads a batch
// of up to 100 neighbouring slots of the same area and keeps every live
// record of it. When the reads walk backwards (each id asked for below the
// one before) the batch ends at the record asked for instead of starting at
// it, so a backward walk costs one file access per hundred records too.
//
// A full cache evicts one entry chosen uniformly at random. The entries live
// in a dense list (random pick and removal in O(1)) with a hash index by
// id, and the record blocks in fixed chunks that never move.
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

    // Copies the stored record (StoredRecordSize bytes) into Buffer, reading
    // its batch from the file on a miss.
    void Get(int32_t recordId, uint8_t* buffer);
    // Stores a copy; returns the cached block (valid until it is evicted).
    uint8_t* Put(int32_t recordId, const uint8_t* storedRecord);
    void Remove(int32_t recordId);
    void Clear();
    // Evicts one random entry when the cache is full; true when it did.
    bool MakeRoom();

    int32_t Count() const { return static_cast<int32_t>(FEntries.size()); }
    bool Contains(int32_t recordId) const { return FById.Find(recordId) != TIdHash::kNone; }

  private:
    static constexpr int32_t kBlocksPerChunk = 256;

    struct TEntry {
        int32_t RecordId;
        int32_t Block;
    };

    uint8_t* BlockAt(int32_t block);
    int32_t AllocateBlock();
    void RemoveEntryAt(size_t index);
    void ClearBlocks();

    TVeltTable* FTable;
    int32_t FBlockSize = 0;  // StoredRecordSize of the blocks held
    std::vector<TEntry> FEntries;
    TIdHash FById;  // id -> position in FEntries
    std::vector<std::unique_ptr<uint8_t[]>> FChunks;
    std::vector<int32_t> FFreeBlocks;
    int32_t FBlockCount = 0;
    std::minstd_rand FRandom;
    int32_t FLastAsked = 0;
    std::vector<uint8_t> FBatch;
};
