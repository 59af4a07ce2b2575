#include "engine/VeltLayout.h"

#include <algorithm>

int64_t StoredRecordSizeOf(const TTableDef& def) {
    const int32_t indexCount = def.IndexCount.Get();
    const int32_t recordSize = def.RecordSize.Get();
    const int32_t headerBlocks = def.HeaderBlockCount.Get();
    if (indexCount < 0 || indexCount > kMaxIndexes || recordSize < 0 || headerBlocks < 0) {
        return -1;
    }
    const int64_t stored = HeaderSize(indexCount, headerBlocks) + recordSize;
    return stored > kMaxFileSize - kHeaderSize ? -1 : stored;
}

namespace {

std::string LowerName(std::string name) {
    for (char& c : name) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return name;
}

// A growth area with free slots but no place of its own after the header
// would take appends into the header.
bool GrowthInHeader(const TTableDef& def) {
    return def.GrowthCapacity.Get() > 0 && def.GrowthOffset.Get() < kHeaderSize;
}

}  // namespace

void TVeltLayout::Clear() {
    FExtents.assign(1, TExtent{0, kHeaderSize, -1, false});
    FNames.clear();
    FGrowthInHeader = false;
}

void TVeltLayout::AddAreas(int32_t number, const TTableDef& def, int64_t fileSize,
                           std::vector<TExtent>& extents) {
    const int64_t stored = StoredRecordSizeOf(def);
    if (stored < 0) return;
    auto add = [&](int64_t offset, int64_t count, int64_t end) {
        if (count <= 0 || offset < 0) return;
        end = std::min(end, offset + count * stored);
        if (end > offset) extents.push_back(TExtent{offset, end, number, true});
    };
    add(def.PrimaryOffset.Get(), def.PrimaryCount.Get(), kMaxFileSize);
    const int64_t growthOffset = def.GrowthOffset.Get();
    const int64_t used = std::max(0, def.GrowthCount.Get());
    add(growthOffset, std::max<int64_t>(def.GrowthCapacity.Get(), used),
        std::max(fileSize, growthOffset + used * stored));
}

void TVeltLayout::AddTable(int32_t number, int64_t offset, const TTableDef& def, int64_t fileSize) {
    FExtents.push_back(TExtent{offset, offset + 2 * kTableDefSize, number, false});
    AddAreas(number, def, fileSize, FExtents);
    FNames.push_back(LowerName(def.Name.Get()));
    FGrowthInHeader = FGrowthInHeader || GrowthInHeader(def);
}

bool TVeltLayout::Sound() const {
    if (FGrowthInHeader) return false;
    std::vector<TExtent> extents = FExtents;
    std::sort(extents.begin(), extents.end(),
              [](const TExtent& a, const TExtent& b) { return a.Begin < b.Begin; });
    // Sorted by start, the owners are apart exactly when each ends before
    // the next one starts.
    for (size_t i = 1; i < extents.size(); ++i) {
        if (extents[i].Begin < extents[i - 1].End) return false;
    }
    std::vector<std::string> names = FNames;
    std::sort(names.begin(), names.end());
    return std::adjacent_find(names.begin(), names.end()) == names.end();
}

bool TVeltLayout::Fits(int32_t number, const TTableDef& def, int64_t fileSize) const {
    if (GrowthInHeader(def)) return false;
    std::vector<TExtent> areas;
    AddAreas(number, def, fileSize, areas);
    for (const TExtent& area : areas) {
        for (const TExtent& other : FExtents) {
            if (other.Table == number && other.Area) continue;
            if (area.Begin < other.End && other.Begin < area.End) return false;
        }
    }
    return true;
}
