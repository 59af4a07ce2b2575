#include "engine/RecordCache.h"

#include <algorithm>
#include <cstring>

#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {
// Eviction only needs an even spread, not unpredictability; a fixed seed
// keeps runs reproducible.
constexpr uint64_t kEvictionSeed = 0x5645u;
}  // namespace

// ------------------------------------------------------------ id hash

int32_t TIdHash::Find(int32_t key) const {
    if (FSlots.empty()) return kNone;
    const size_t mask = FSlots.size() - 1;
    for (size_t i = Home(key);; i = (i + 1) & mask) {
        const TSlot& slot = FSlots[i];
        if (slot.Value == kNone) return kNone;
        if (slot.Key == key) return slot.Value;
    }
}

void TIdHash::Set(int32_t key, int32_t value) {
    if (2 * (static_cast<size_t>(FCount) + 1) > FSlots.size()) Grow();
    const size_t mask = FSlots.size() - 1;
    for (size_t i = Home(key);; i = (i + 1) & mask) {
        TSlot& slot = FSlots[i];
        if (slot.Value == kNone) {
            slot = TSlot{key, value};
            ++FCount;
            return;
        }
        if (slot.Key == key) {
            slot.Value = value;
            return;
        }
    }
}

void TIdHash::Erase(int32_t key) {
    if (FSlots.empty()) return;
    const size_t mask = FSlots.size() - 1;
    size_t hole = Home(key);
    while (true) {
        if (FSlots[hole].Value == kNone) return;
        if (FSlots[hole].Key == key) break;
        hole = (hole + 1) & mask;
    }
    // Shift later members of the probe run into the hole when their home
    // does not lie (cyclically) between the hole and their own slot.
    for (size_t next = (hole + 1) & mask; FSlots[next].Value != kNone; next = (next + 1) & mask) {
        const size_t home = Home(FSlots[next].Key);
        const bool stays =
            hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (!stays) {
            FSlots[hole] = FSlots[next];
            hole = next;
        }
    }
    FSlots[hole].Value = kNone;
    --FCount;
}

void TIdHash::Clear() {
    FSlots.clear();
    FCount = 0;
    FShift = 32;
}

void TIdHash::Grow() {
    std::vector<TSlot> old = std::move(FSlots);
    const size_t size = old.empty() ? 64 : old.size() * 2;
    FSlots.assign(size, TSlot{0, kNone});
    FShift = 32;
    for (size_t s = size; s > 1; s >>= 1) --FShift;
    FCount = 0;
    for (const TSlot& slot : old) {
        if (slot.Value != kNone) Set(slot.Key, slot.Value);
    }
}

// ------------------------------------------------------------ slot directory

void TSlotDirectory::AddPage(size_t page) {
    if (page >= FPages.size()) FPages.resize(page + 1);
    TPage& added = FPages[page];
    if (!added.Values) {
        added.Values = std::make_unique_for_overwrite<int32_t[]>(size_t{1} << kPageBits);
        std::fill_n(added.Values.get(), size_t{1} << kPageBits, kNone);
        added.Count = 0;
    }
}

int32_t TSlotDirectory::PageCount() const {
    int32_t count = 0;
    for (const TPage& page : FPages) count += page.Values ? 1 : 0;
    return count;
}

// ------------------------------------------------------------ cache

TRecordCache::TRecordCache(TVeltTable* table) : FTable(table), FRandom(kEvictionSeed) {
    if (table == nullptr) RaiseEngineError(velt_msg::kTableNil);
}

TRecordCache::~TRecordCache() = default;

int32_t TRecordCache::Capacity() const {
    const TVeltDatabase* database = FTable->Database();
    return database ? database->CacheSize() : 0;
}

bool TRecordCache::Full() const {
    const int32_t capacity = Capacity();
    return capacity > 0 && Count() >= capacity;
}

int32_t TRecordCache::PickEntry() {
    // xorshift64*, reduced to 0 .. Count - 1 by a multiply and shift.
    FRandom ^= FRandom >> 12;
    FRandom ^= FRandom << 25;
    FRandom ^= FRandom >> 27;
    const uint64_t draw = (FRandom * 0x2545F4914F6CDD1DULL) >> 32;
    return static_cast<int32_t>((draw * static_cast<uint64_t>(Count())) >> 32);
}

int32_t TRecordCache::StoredSize() const {
    return FTable->StoredRecordSize();
}

int32_t TRecordCache::MappedSlot(int32_t recordId) const {
    int32_t slot = 0;
    return FTable->IdMap().TryGetValue(recordId, slot) ? slot : kNoSlot;
}

int32_t TRecordCache::EntryOf(int32_t recordId) const {
    const int32_t slot = MappedSlot(recordId);
    if (slot != kNoSlot) {
        if (const int32_t entry = FBySlot.Find(slot); entry != kNoEntry) return entry;
    }
    return FOutside.Find(recordId);
}

inline void TRecordCache::Unlink(const TEntry& entry) {
    if (entry.Slot != kNoSlot) {
        FBySlot.Erase(entry.Slot);
    } else {
        FOutside.Erase(entry.RecordId);
    }
}

inline void TRecordCache::Link(const TEntry& entry, int32_t index) {
    if (entry.Slot != kNoSlot) {
        FBySlot.Set(entry.Slot, index);
    } else {
        FOutside.Set(entry.RecordId, index);
    }
}

int32_t TRecordCache::AddEntry(const TEntry& added, int32_t capacity) {
    int32_t entry;
    if (capacity > 0 && Count() >= capacity) {
        // Evict and take the place: the same as MakeRoom and then adding.
        entry = PickEntry();
        Unlink(FEntries[entry]);
        FEntries[entry] = added;
    } else {
        entry = Count();
        if ((static_cast<size_t>(entry) >> FChunkShift) == FChunks.size()) {
            FChunks.push_back(std::make_unique_for_overwrite<uint8_t[]>(
                ChunkBlocks() * static_cast<size_t>(FBlockSize)));
        }
        if (FEntries.capacity() == 0) {
            FEntries.reserve(static_cast<size_t>(capacity > 0 ? std::min(capacity, kFirstEntries)
                                                              : kFirstEntries));
        }
        FEntries.push_back(added);
    }
    Link(added, entry);
    return entry;
}

void TRecordCache::ReserveEntries(int32_t added, int32_t capacity) {
    int64_t wanted = static_cast<int64_t>(Count()) + added;
    if (capacity > 0) wanted = std::min<int64_t>(wanted, capacity);
    while (static_cast<int64_t>(FChunks.size() * ChunkBlocks()) < wanted) {
        FChunks.push_back(std::make_unique_for_overwrite<uint8_t[]>(
            ChunkBlocks() * static_cast<size_t>(FBlockSize)));
    }
    if (static_cast<int64_t>(FEntries.capacity()) < wanted) {
        // Growing by doubling keeps a long walk from copying the list once
        // per batch.
        int64_t reserved = std::max<int64_t>(
            {wanted, 2 * static_cast<int64_t>(FEntries.capacity()), kFirstEntries});
        if (capacity > 0) reserved = std::min<int64_t>(reserved, capacity);
        FEntries.reserve(static_cast<size_t>(reserved));
    }
}

void TRecordCache::RemoveEntryAt(int32_t index) {
    Unlink(FEntries[index]);
    const int32_t last = Count() - 1;
    if (index != last) {
        FEntries[index] = FEntries[last];
        std::memcpy(BlockAt(index), BlockAt(last), static_cast<size_t>(FBlockSize));
        Link(FEntries[index], index);
    }
    FEntries.pop_back();
}

void TRecordCache::Get(int32_t recordId, uint8_t* buffer) {
    const int32_t size = FTable->StoredRecordSize();
    if (const int32_t entry = EntryOf(recordId); entry != kNoEntry && FBlockSize == size) {
        FLastAsked = recordId;
        CopyRecordBytes(buffer, BlockAt(entry), static_cast<size_t>(size));
        return;
    }
    // Not cached: read through the slot, which raises "Record id '%d' not
    // found" for an id the table does not hold.
    std::memcpy(buffer, RecordAt(recordId, FTable->SlotOf(recordId)), static_cast<size_t>(size));
}

const uint8_t* TRecordCache::Load(int32_t recordId, int32_t slot, bool backward) {
    const int32_t size = FTable->StoredRecordSize();
    FHeldCount = 0;
    const TReadBatch batch = FTable->ReadBatchAt(slot, backward, FBatch);
    if (batch.Count <= 0) RaiseFileCorrupt();
    // Deleted or stray records of the batch are deciphered too and then
    // dropped: one call for the whole batch costs less than picking.
    const int32_t header = FTable->HeaderSize();
    FTable->Database()->DecryptRecords(FBatch.data() + header, batch.Count, size, size - header);
    UseBlockSize(size);
    const int32_t capacity = Capacity();
    const bool markerCheck = FTable->MarkerCheck();
    const bool outside = FOutside.Count() > 0;
    // New entries the cache takes from this batch without evicting any.
    int64_t room = capacity > 0 ? std::max(0, capacity - Count()) : INT64_MAX;
    if (!outside && room > 0) ReserveEntries(batch.Count, capacity);
    // A batch mostly lies within one run of the id map: one search for it.
    TRunMap::TCursor mapped(FTable->IdMap());
    for (int32_t i = 0; i < batch.Count; ++i) {
        const uint8_t* stored = FBatch.data() + static_cast<size_t>(i) * size;
        if (markerCheck && stored[0] != kRecordMarker) RaiseFileCorrupt();
        if (RecordDeleted(stored) || (room == 0 && !outside)) continue;
        const int32_t at = batch.FirstSlot + i;
        const int32_t id = StoredRecordId(stored);
        if (int32_t mappedSlot = kNoSlot; !mapped.TryGetValue(id, mappedSlot) || mappedSlot != at) {
            continue;
        }
        if (outside) {
            // Copies put from outside under the same id must go, which
            // PutAt sees to.
            PutAt(id, at, stored);
            continue;
        }
        // Room is reserved: a record new to the cache becomes the next
        // entry, found and linked by one directory lookup.
        const int32_t count = Count();
        int32_t entry = FBySlot.FindOrSet(at, count);
        if (entry == kNoEntry) {
            entry = count;
            FEntries.push_back(TEntry{id, at});
            --room;
        }
        CopyRecordBytes(BlockAt(entry), stored, static_cast<size_t>(size));
    }
    const uint8_t* record = FBatch.data() + static_cast<size_t>(batch.AskedIndex) * size;
    if (StoredRecordId(record) != recordId || RecordDeleted(record)) RaiseFileCorrupt();
    // The batch serves its records until the next one is read: a later Put
    // of the same batch may have evicted the asked record's copy again, and
    // a full cache took none.
    FHeldFirst = batch.FirstSlot;
    FHeldCount = batch.Count;
    return record;
}

uint8_t* TRecordCache::Put(int32_t recordId, const uint8_t* storedRecord) {
    return PutAt(recordId, MappedSlot(recordId), storedRecord);
}

uint8_t* TRecordCache::PutAt(int32_t recordId, int32_t slot, const uint8_t* storedRecord) {
    FHeldCount = 0;
    const int32_t size = FTable->StoredRecordSize();
    UseBlockSize(size);
    const TEntry added{recordId, slot};
    int32_t entry = slot != kNoSlot ? FBySlot.Find(slot) : FOutside.Find(recordId);
    if (entry == kNoEntry) {
        // An earlier copy put from outside the table under the same id
        // must not outlive this one.
        if (slot != kNoSlot && FOutside.Count() > 0) {
            if (const int32_t stale = FOutside.Find(recordId); stale != kNoEntry) {
                RemoveEntryAt(stale);
            }
        }
        entry = AddEntry(added, Capacity());
    }
    uint8_t* block = BlockAt(entry);
    CopyRecordBytes(block, storedRecord, static_cast<size_t>(size));
    return block;
}

void TRecordCache::Remove(int32_t recordId) {
    FHeldCount = 0;
    if (const int32_t entry = EntryOf(recordId); entry != kNoEntry) RemoveEntryAt(entry);
}

void TRecordCache::RemoveAt(int32_t recordId, int32_t slot) {
    FHeldCount = 0;
    if (const int32_t entry = FBySlot.Find(slot); entry != kNoEntry) RemoveEntryAt(entry);
    if (FOutside.Count() > 0) Remove(recordId);
}

void TRecordCache::ClearEntries() {
    FHeldCount = 0;
    FEntries.clear();
    FBySlot.Clear();
    FOutside.Clear();
    FChunks.clear();
}

void TRecordCache::UseBlockSize(int32_t size) {
    if (size == FBlockSize) return;
    ClearEntries();
    FBlockSize = size;
    FChunkShift = kMaxChunkShift;
    while (FChunkShift > 0 &&
           (size_t{1} << FChunkShift) * static_cast<size_t>(size) > kChunkBytes) {
        --FChunkShift;
    }
}

void TRecordCache::Clear() {
    ClearEntries();
    FLastAsked = 0;
}

bool TRecordCache::MakeRoom() {
    if (!Full()) return false;
    RemoveEntryAt(PickEntry());
    return true;
}
