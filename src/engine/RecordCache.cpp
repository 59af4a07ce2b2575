#include "engine/RecordCache.h"

#include <cstring>

#include "engine/VeltDatabase.h"
#include "engine/VeltErrors.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {
// Eviction only needs an even spread, not unpredictability; a fixed seed
// keeps runs reproducible.
constexpr uint32_t kEvictionSeed = 0x5645u;
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

// ------------------------------------------------------------ cache

TRecordCache::TRecordCache(TVeltTable* table) : FTable(table), FRandom(kEvictionSeed) {
    if (table == nullptr) RaiseEngineError(velt_msg::kTableNil);
}

TRecordCache::~TRecordCache() = default;

uint8_t* TRecordCache::BlockAt(int32_t block) {
    return FChunks[block / kBlocksPerChunk].get() +
           static_cast<size_t>(block % kBlocksPerChunk) * FBlockSize;
}

int32_t TRecordCache::AllocateBlock() {
    if (!FFreeBlocks.empty()) {
        const int32_t block = FFreeBlocks.back();
        FFreeBlocks.pop_back();
        return block;
    }
    if (FBlockCount % kBlocksPerChunk == 0) {
        FChunks.push_back(
            std::make_unique<uint8_t[]>(static_cast<size_t>(kBlocksPerChunk) * FBlockSize));
    }
    return FBlockCount++;
}

void TRecordCache::RemoveEntryAt(size_t index) {
    const TEntry removed = FEntries[index];
    FById.Erase(removed.RecordId);
    FFreeBlocks.push_back(removed.Block);
    if (index + 1 != FEntries.size()) {
        FEntries[index] = FEntries.back();
        FById.Set(FEntries[index].RecordId, static_cast<int32_t>(index));
    }
    FEntries.pop_back();
}

void TRecordCache::Get(int32_t recordId, uint8_t* buffer) {
    const bool backward = recordId < FLastAsked;
    FLastAsked = recordId;
    const int32_t size = FTable->StoredRecordSize();
    if (const int32_t at = FById.Find(recordId); at != TIdHash::kNone && FBlockSize == size) {
        std::memcpy(buffer, BlockAt(FEntries[at].Block), static_cast<size_t>(size));
        return;
    }
    const TReadBatch batch = FTable->ReadBatch(recordId, backward, FBatch);
    if (batch.Count <= 0) RaiseFileCorrupt();
    for (int32_t i = 0; i < batch.Count; ++i) {
        const uint8_t* stored = FBatch.data() + static_cast<size_t>(i) * size;
        if (FTable->MarkerCheck() && stored[0] != kRecordMarker) RaiseFileCorrupt();
        if (RecordDeleted(stored)) continue;
        if (FTable->SlotIsMapped(batch.FirstSlot + i)) Put(StoredRecordId(stored), stored);
    }
    const uint8_t* asked = FBatch.data() + static_cast<size_t>(batch.AskedIndex) * size;
    if (StoredRecordId(asked) != recordId || RecordDeleted(asked)) RaiseFileCorrupt();
    std::memcpy(buffer, asked, static_cast<size_t>(size));
}

uint8_t* TRecordCache::Put(int32_t recordId, const uint8_t* storedRecord) {
    const int32_t size = FTable->StoredRecordSize();
    if (size != FBlockSize) {
        ClearBlocks();
        FBlockSize = size;
    }
    if (const int32_t at = FById.Find(recordId); at != TIdHash::kNone) {
        uint8_t* block = BlockAt(FEntries[at].Block);
        std::memcpy(block, storedRecord, static_cast<size_t>(size));
        return block;
    }
    MakeRoom();
    const int32_t blockNumber = AllocateBlock();
    uint8_t* block = BlockAt(blockNumber);
    std::memcpy(block, storedRecord, static_cast<size_t>(size));
    FById.Set(recordId, static_cast<int32_t>(FEntries.size()));
    FEntries.push_back(TEntry{recordId, blockNumber});
    return block;
}

void TRecordCache::Remove(int32_t recordId) {
    if (const int32_t at = FById.Find(recordId); at != TIdHash::kNone) {
        RemoveEntryAt(static_cast<size_t>(at));
    }
}

void TRecordCache::ClearBlocks() {
    FEntries.clear();
    FById.Clear();
    FChunks.clear();
    FFreeBlocks.clear();
    FBlockCount = 0;
}

void TRecordCache::Clear() {
    ClearBlocks();
    FLastAsked = 0;
}

bool TRecordCache::MakeRoom() {
    const TVeltDatabase* database = FTable->Database();
    const int32_t capacity = database ? database->CacheSize() : 0;
    if (capacity <= 0 || Count() < capacity) return false;
    std::uniform_int_distribution<int32_t> pick(0, Count() - 1);
    RemoveEntryAt(static_cast<size_t>(pick(FRandom)));
    return true;
}
