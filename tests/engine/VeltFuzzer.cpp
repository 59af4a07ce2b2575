// Fuzz target: arbitrary bytes as a database file. Opens it, opens every
// table with its indexes, reads every record and, where the table's areas
// are small, appends, updates and deletes one record. Anything but one of
// the system's exceptions (a crash, a sanitizer report, a hang, memory out
// of bounds of what the input justifies) is a finding.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <random>
#include <vector>

#include "algorithms/Stream.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {

// Appending grows the area by Capacity records at a time; keep that small.
constexpr int64_t kMaxGrowthBytes = 1 << 20;

void Exercise(TVeltTable& table) {
    // Buffers only as large as the file justifies: records that exist, or
    // an append the growth limit below allows.
    std::vector<uint8_t> data;
    int32_t id = 0;
    if (table.RecordCount() > 0) {
        data.resize(static_cast<size_t>(table.RecordSize()) + 1);
        for (int32_t p = 0; p < table.RecordCount(); ++p) table.ReadRecord(p, id, data.data());
        for (int32_t p = table.RecordCount() - 1; p >= 0; --p) {
            table.ReadRecord(p, id, data.data());
        }
    }
    const TTableDef& def = table.Definition();
    const int64_t stored = table.StoredRecordSize();
    if (def.Capacity.Get() * stored > kMaxGrowthBytes ||
        static_cast<int64_t>(def.GrowthCapacity.Get()) * stored > kMaxGrowthBytes) {
        return;
    }
    data.resize(static_cast<size_t>(table.RecordSize()) + 1);
    const int32_t added = table.Append(data.data(), table.RecordSize());
    table.Update(added, data.data(), table.RecordSize());
    if (table.RecordCount() > 1) {
        table.ReadRecord(0, id, data.data());
        table.Delete(id);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    TMemoryStream image;
    image.Write(bytes, static_cast<int32_t>(size));
    try {
        TVeltDatabase db;
        db.SetCacheSize(64);
        if (!db.OpenStream(&image, "")) return 0;
        TVeltTable table(&db);
        for (const std::string& name : db.TableNames()) {
            try {
                table.Open(name);
                Exercise(table);
            } catch (const std::exception&) {
                // a clear error for this table; go on with the next
            }
        }
    } catch (const std::exception&) {
    }
    return 0;
}

// ------------------------------------------------------------ mutator
//
// Random bytes rarely make a file whose directory, definitions and areas
// still hang together. Most mutations here parse the file the way the
// engine does and change one of its fields to a value that matters to the
// layout: another block's offset, a count one past its area, a slot of
// another chain, an id out of order. The rest are libFuzzer's own byte
// mutations.

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

namespace {

class TLayoutMutator {
  public:
    TLayoutMutator(uint8_t* data, size_t size, size_t maxSize, unsigned seed)
        : FData(data), FSize(size), FMaxSize(maxSize), FRandom(seed) {}

    // The new size, or 0 when the input has no layout to change.
    size_t Mutate() {
        if (FSize < static_cast<size_t>(kHeaderSize)) return 0;
        const int32_t count = Get(kDirectoryOffset);
        for (int32_t i = 0; i < std::clamp(count, 0, kMaxTables); ++i) {
            const int32_t def = Get(kDirectoryOffset + 8 + 4 * i);
            if (Holds(def, kTableDefSize)) FDefs.push_back(def);
        }
        switch (Below(8)) {
            case 0:
                MutateDirectory(count);
                break;
            case 1:
            case 2:
            case 3:
                if (FDefs.empty()) return 0;
                MutateDefinition(Pick(FDefs));
                break;
            case 4:
                if (FDefs.empty()) return 0;
                MutateIndexEntry(Pick(FDefs));
                break;
            case 5:
            case 6:
                if (FDefs.empty()) return 0;
                MutateRecords(Pick(FDefs));
                break;
            default:
                Resize();
                break;
        }
        return FSize;
    }

  private:
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : FRandom() % n; }
    template <class T>
    T Pick(const std::vector<T>& values) {
        return values[Below(static_cast<uint32_t>(values.size()))];
    }
    bool Holds(int64_t offset, int64_t bytes) const {
        return offset >= 0 && offset + bytes <= static_cast<int64_t>(FSize);
    }
    int32_t Get(int64_t offset) const { return Holds(offset, 4) ? GetLe32(FData + offset) : 0; }
    void Set(int64_t offset, int32_t value) {
        if (Holds(offset, 4)) PutLe32(FData + offset, value);
    }
    // Values beyond i32 wrap, as a file's bytes would hold them.
    static int32_t Wrap(int64_t value) {
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    }
    int64_t Stored(int32_t def) const {
        const int64_t indexes = std::clamp(Get(def + 65), 0, kMaxIndexes);
        // At most 2^32: times any count it stays far inside i64.
        return std::min(
            HeaderSize(indexes, std::max(0, Get(def + 61))) + std::max(0, Get(def + 57)),
            int64_t{1} << 32);
    }

    // Offsets and counts a layout field can meet: the blocks of the header,
    // every definition and area, the file's end, and the edges of i32.
    int32_t Interesting(int32_t current) {
        std::vector<int32_t> values = {0,
                                       kHeaderSize,
                                       kDirectoryOffset,
                                       kKeyBlockOffset,
                                       static_cast<int32_t>(FSize),
                                       static_cast<int32_t>(FSize) - 1,
                                       -1,
                                       INT32_MAX,
                                       INT32_MIN,
                                       1 << 16,
                                       1 << 28};
        for (const int32_t def : FDefs) {
            values.push_back(def);
            values.push_back(def + kTableDefSize);
            for (const int32_t field : {33, 41}) {
                values.push_back(Get(def + field));
                values.push_back(Wrap(Get(def + field) + Stored(def)));
            }
        }
        switch (Below(4)) {
            case 0:
                return Pick(values);
            case 1:
                return Wrap(int64_t{current} + Below(9) - 4);
            case 2:
                return Wrap(int64_t{current} * 2 + Below(3));
            default:
                return Wrap(int64_t{Pick(values)} + Below(64) - 32);
        }
    }

    void MutateDirectory(int32_t count) {
        const int32_t slots = std::clamp(count, 1, kMaxTables);
        switch (Below(4)) {
            case 0:
                Set(kDirectoryOffset,
                    Pick(std::vector<int32_t>{0, Wrap(int64_t{count} - 1), Wrap(int64_t{count} + 1),
                                              kMaxTables, kMaxTables + 1, -1}));
                break;
            case 1: {  // every entry names one definition
                const int32_t def = Get(kDirectoryOffset + 8 + 4 * Below(slots));
                Set(kDirectoryOffset, static_cast<int32_t>(1 + Below(kMaxTables)));
                for (int32_t i = 0; i < kMaxTables; ++i) Set(kDirectoryOffset + 8 + 4 * i, def);
                break;
            }
            default: {
                const int64_t entry = kDirectoryOffset + 8 + 4 * Below(slots);
                Set(entry, Interesting(Get(entry)));
                break;
            }
        }
    }

    void MutateDefinition(int32_t def) {
        if (Below(8) == 0 && FDefs.size() > 1) {  // another table's definition, name and all
            const int32_t other = Pick(FDefs);
            if (other != def) std::memmove(FData + def, FData + other, kTableDefSize);
            return;
        }
        // Primary and growth offset and count, growth capacity, capacity,
        // record size, header blocks, index count.
        const int32_t field = def + 33 + 4 * static_cast<int32_t>(Below(9));
        Set(field, Interesting(Get(field)));
        if (Below(3) == 0) {  // the same area's count too
            const int32_t count = field + (Below(2) == 0 ? 4 : 8);
            Set(count, Interesting(Get(count)));
        }
    }

    void MutateIndexEntry(int32_t def) {
        const int32_t indexes = std::clamp(Get(def + 65), 1, kMaxIndexes);
        const int32_t entry = def + 69 + kIndexEntrySize * static_cast<int32_t>(Below(indexes));
        const auto slots = static_cast<uint32_t>(
            std::clamp<int64_t>(int64_t{Get(def + 37)} + Get(def + 45), 1, 1 << 20));
        switch (Below(4)) {
            case 0:
                Set(entry + 33, static_cast<int32_t>(Below(slots + 2)) - 1);
                break;
            case 1:
                Set(entry + 37, static_cast<int32_t>(Below(kMaxKeyFields + 2)));
                break;
            case 2: {
                const int32_t field = entry + 41 + 5 * static_cast<int32_t>(Below(kMaxKeyFields));
                Set(field, Interesting(Get(field)) & 0xFFFF);
                break;
            }
            default:
                FData[entry + 41 + 5 * Below(kMaxKeyFields) + 4] = static_cast<uint8_t>(Below(14));
                break;
        }
    }

    // Ids, links, markers and flags of the stored records of one area.
    void MutateRecords(int32_t def) {
        const bool primary = Get(def + 37) > 0 && Below(2) == 0;
        const int32_t offset = Get(def + (primary ? 33 : 41));
        const int32_t count = Get(def + (primary ? 37 : 45));
        const int64_t stored = Stored(def);
        if (count <= 0 || !Holds(offset, stored)) return;
        const int32_t used =
            static_cast<int32_t>(std::min<int64_t>(count, (FSize - offset) / stored));
        auto record = [&](int32_t slot) { return offset + slot * stored; };
        const int32_t slot = static_cast<int32_t>(Below(used));
        const int32_t indexes = std::clamp(Get(def + 65), 0, kMaxIndexes);
        switch (Below(6)) {
            case 0:  // ids descending across the slots
                for (int32_t s = 0; s < used; ++s) Set(record(s) + 2, 1000 - s);
                break;
            case 1:  // one id repeated, or out of order
                Set(record(slot) + 2, Below(2) == 0 ? Get(record(Below(used)) + 2)
                                                    : Interesting(Get(record(slot) + 2)));
                break;
            case 2:
                if (indexes > 0) {
                    Set(record(slot) + LinkOffset(static_cast<int32_t>(Below(indexes))),
                        static_cast<int32_t>(Below(static_cast<uint32_t>(used) + 2)) - 1);
                }
                break;
            case 3:
                FData[record(slot) + 1] ^= 1;
                break;
            case 4:
                FData[record(slot)] = Below(2) == 0 ? kRecordMarker : 0;
                break;
            default:  // data bytes: keys out of order
                if (stored > HeaderSize(indexes, 0)) {
                    const int64_t at =
                        record(slot) + HeaderSize(indexes, 0) +
                        Below(static_cast<uint32_t>(stored - HeaderSize(indexes, 0)));
                    FData[at] = static_cast<uint8_t>(FRandom());
                }
                break;
        }
    }

    // Cut at or grow to a boundary of a block, definition or area.
    void Resize() {
        std::vector<int64_t> ends = {kHeaderSize};
        for (const int32_t def : FDefs) {
            ends.push_back(def + kTableDefSize);
            ends.push_back(def + 2 * kTableDefSize);
            const int64_t stored = Stored(def);
            for (const int32_t area : {33, 41}) {
                const int64_t offset = Get(def + area);
                ends.push_back(offset + stored * std::max(0, Get(def + area + 4)));
                ends.push_back(offset + stored * std::max(0, Get(def + area + 4)) - 1);
            }
        }
        const int64_t size = Pick(ends) + static_cast<int64_t>(Below(3)) - 1;
        if (size <= 0 || size > static_cast<int64_t>(FMaxSize)) return;
        if (size > static_cast<int64_t>(FSize)) {
            std::memset(FData + FSize, 0, static_cast<size_t>(size) - FSize);
        }
        FSize = static_cast<size_t>(size);
    }

    uint8_t* FData;
    size_t FSize;
    size_t FMaxSize;
    std::minstd_rand FRandom;
    std::vector<int32_t> FDefs;  // definitions the file holds whole
};

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    // One time in four, or when the input has no layout left, the bytes.
    if (seed % 4 != 0) {
        TLayoutMutator mutator(data, size, maxSize, seed);
        if (const size_t mutated = mutator.Mutate(); mutated > 0) return mutated;
    }
    return LLVMFuzzerMutate(data, size, maxSize);
}
