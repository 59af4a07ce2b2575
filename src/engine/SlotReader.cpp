#include "engine/SlotReader.h"

#include <algorithm>

#include "engine/VeltErrors.h"
#include "engine/VeltFileIO.h"

namespace {

// A window's bytes: large enough that a read costs little per record, small
// enough not to matter beside the process.
constexpr int32_t kWindowBytes = 1 << 20;
// Window reads a walk may make beyond one per window before the reader
// takes the whole table: a clock set back a few times costs two each.
constexpr int32_t kSpareMisses = 64;

}  // namespace

TSlotReader::TSlotReader(TVeltFileIO& io, const TTableDef& def, int32_t storedSize)
    : FIO(io),
      FPrimaryOffset(def.PrimaryOffset.Get()),
      FPrimaryCount(def.PrimaryCount.Get()),
      FGrowthOffset(def.GrowthOffset.Get()),
      FGrowthCount(def.GrowthCount.Get()),
      FStoredSize(storedSize),
      FWindowSlots(std::max(1, kWindowBytes / std::max(1, storedSize))) {
    const auto windows = [&](int32_t count) { return (count + FWindowSlots - 1) / FWindowSlots; };
    FMissBudget = 2 * (windows(FPrimaryCount) + windows(FGrowthCount)) + kSpareMisses;
}

int64_t TSlotReader::Position(int32_t slot) const {
    if (slot < FPrimaryCount) return FPrimaryOffset + static_cast<int64_t>(slot) * FStoredSize;
    return FGrowthOffset + static_cast<int64_t>(slot - FPrimaryCount) * FStoredSize;
}

const uint8_t* TSlotReader::Miss(int32_t slot) {
    if (slot < 0 || slot >= SlotCount()) RaiseFileCorrupt();
    if (++FMisses > FMissBudget) {
        ReadAll();
        return Record(slot);
    }
    // A window never crosses from one area into the other: they lie apart
    // in the file. A walk going down reads the window that ends at Slot.
    const bool primary = slot < FPrimaryCount;
    const int32_t areaFirst = primary ? 0 : FPrimaryCount;
    const int32_t areaEnd = primary ? FPrimaryCount : SlotCount();
    const bool down = FCount > 0 && slot < FFirst;
    const int32_t first = down ? std::max(areaFirst, slot - (FWindowSlots - 1)) : slot;
    const int32_t end = std::min(areaEnd, first + FWindowSlots);
    FBuffer.resize(static_cast<size_t>(end - first) * FStoredSize);
    FCount = 0;
    FIO.ReadExact(Position(first), FBuffer.data(), static_cast<int32_t>(FBuffer.size()));
    FFirst = first;
    FCount = end - first;
    return Record(slot);
}

void TSlotReader::ReadAll() {
    // Both areas in slot order, each in one read: the primary area, then
    // the growth area right behind it.
    const int64_t primaryBytes = static_cast<int64_t>(FPrimaryCount) * FStoredSize;
    const int64_t growthBytes = static_cast<int64_t>(FGrowthCount) * FStoredSize;
    FCount = 0;
    FBuffer.clear();
    FBuffer.shrink_to_fit();
    FBuffer.resize(static_cast<size_t>(primaryBytes + growthBytes));
    FIO.ReadExact(FPrimaryOffset, FBuffer.data(), static_cast<int32_t>(primaryBytes));
    FIO.ReadExact(FGrowthOffset, FBuffer.data() + primaryBytes, static_cast<int32_t>(growthBytes));
    FFirst = 0;
    FCount = SlotCount();
}
