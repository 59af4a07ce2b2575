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
    FById.erase(removed.RecordId);
    FFreeBlocks.push_back(removed.Block);
    if (index + 1 != FEntries.size()) {
        FEntries[index] = FEntries.back();
        FById[FEntries[index].RecordId] = index;
    }
    FEntries.pop_back();
}

void TRecordCache::Get(int32_t recordId, uint8_t* buffer) {
    const bool backward = recordId < FLastAsked;
    FLastAsked = recordId;
    const int32_t size = FTable->StoredRecordSize();
    if (auto it = FById.find(recordId); it != FById.end() && FBlockSize == size) {
        std::memcpy(buffer, BlockAt(FEntries[it->second].Block), static_cast<size_t>(size));
        return;
    }
    const TReadBatch batch = FTable->ReadBatch(recordId, backward, FBatch);
    if (batch.Count <= 0) RaiseFileCorrupt();
    const TMap<int32_t>& idMap = FTable->IdMap();
    for (int32_t i = 0; i < batch.Count; ++i) {
        const uint8_t* stored = FBatch.data() + static_cast<size_t>(i) * size;
        if (FTable->MarkerCheck() && stored[0] != kRecordMarker) RaiseFileCorrupt();
        if (RecordDeleted(stored)) continue;
        // Only the slot the id map names speaks for an id; a stray copy of
        // an id elsewhere in the area is not cached under it.
        int32_t slot;
        if (idMap.TryGetValue(StoredRecordId(stored), slot) && slot == batch.FirstSlot + i) {
            Put(StoredRecordId(stored), stored);
        }
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
    if (auto it = FById.find(recordId); it != FById.end()) {
        uint8_t* block = BlockAt(FEntries[it->second].Block);
        std::memcpy(block, storedRecord, static_cast<size_t>(size));
        return block;
    }
    MakeRoom();
    const int32_t blockNumber = AllocateBlock();
    uint8_t* block = BlockAt(blockNumber);
    std::memcpy(block, storedRecord, static_cast<size_t>(size));
    FById.emplace(recordId, FEntries.size());
    FEntries.push_back(TEntry{recordId, blockNumber});
    return block;
}

void TRecordCache::Remove(int32_t recordId) {
    if (auto it = FById.find(recordId); it != FById.end()) RemoveEntryAt(it->second);
}

void TRecordCache::ClearBlocks() {
    FEntries.clear();
    FById.clear();
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
