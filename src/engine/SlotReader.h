#pragma once
// The stored records of a table by slot number, for the walks of an open
// (the id map over every slot, each index's chain): read from the file a
// window of neighbouring slots at a time, so that opening holds a bounded
// number of record bytes whatever the table's length.
//
// Appends put records in slot order and history samples arrive in time
// order, so both walks mostly move slot by slot and read each window once.
// A walk that jumps about (a chain through ids given out of order) would
// read a window per record; past a budget of windows the reader takes every
// slot into memory at once instead, as a plain read of the table would.

#include <cstdint>
#include <vector>

#include "engine/VeltFormat.h"

class TVeltFileIO;

class TSlotReader {
  public:
    // IO and Def borrow; the definition was validated (both areas inside
    // the file). StoredSize is the table's StoredRecordSize.
    TSlotReader(TVeltFileIO& io, const TTableDef& def, int32_t storedSize);
    TSlotReader(const TSlotReader&) = delete;
    TSlotReader& operator=(const TSlotReader&) = delete;

    int32_t SlotCount() const { return FPrimaryCount + FGrowthCount; }
    // The stored record (header and enciphered data) of Slot, 0 <= Slot <
    // SlotCount; valid until the next call. Raises EVeltFileCorrupt when
    // the file is shorter than its definition says.
    const uint8_t* Record(int32_t slot) {
        if (slot >= FFirst && slot < FFirst + FCount) [[likely]] {
            return FBuffer.data() + static_cast<size_t>(slot - FFirst) * FStoredSize;
        }
        return Miss(slot);
    }
    // The slots held from Slot on, Slot's record read by Record: their
    // records lie StoredSize bytes apart from Slot's.
    int32_t HeldFrom(int32_t slot) const { return FFirst + FCount - slot; }
    // Which slots the id map holds, one bit a slot: set only where the map
    // has so many runs that finding a slot's id in it would cost a search
    // per record of a chain.
    void MarkMapped(int32_t firstSlot, int32_t count) {
        if (FMapped.empty()) FMapped.assign(static_cast<size_t>(SlotCount()), false);
        for (int32_t s = firstSlot; s < firstSlot + count; ++s)
            FMapped[static_cast<size_t>(s)] = true;
    }
    bool KnowsMappedSlots() const { return !FMapped.empty(); }
    bool SlotMapped(int32_t slot) const { return FMapped[static_cast<size_t>(slot)]; }
    // Starts a new walk: its budget of window reads begins again.
    void BeginWalk() { FMisses = 0; }
    // True once every slot is held in memory.
    bool HoldsAll() const { return FCount == SlotCount() && SlotCount() > 0; }

  private:
    const uint8_t* Miss(int32_t slot);
    void ReadAll();
    int64_t Position(int32_t slot) const;

    TVeltFileIO& FIO;
    int32_t FPrimaryOffset;
    int32_t FPrimaryCount;
    int32_t FGrowthOffset;
    int32_t FGrowthCount;
    int32_t FStoredSize;
    int32_t FWindowSlots;
    int32_t FMissBudget;
    int32_t FMisses = 0;
    std::vector<uint8_t> FBuffer;
    std::vector<bool> FMapped;
    int32_t FFirst = 0;  // slot of FBuffer's first record
    int32_t FCount = 0;  // records in FBuffer
};
