// Fuzz target: arbitrary bytes as a database file. Opens it, opens every
// table with its indexes, reads every record and, where the table's areas
// are small, appends, updates and deletes one record. Anything but one of
// the system's exceptions (a crash, a sanitizer report, a hang, memory out
// of bounds of what the input justifies) is a finding.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>

#include "algorithms/Stream.h"
#include "engine/VeltDatabase.h"
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
