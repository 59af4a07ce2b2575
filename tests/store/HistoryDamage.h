#pragma once
// History files as a crash leaves them: made through the history manager,
// then damaged the way an append cut short between its writes damages them.
//
//   append: record with its own link | count+1 and definition (both
//           copies) | link from the previous last record
//   cut after the definition:  a written record that no chain reaches
//   the disk keeping the definition but not the record (writes between two
//   syncs may reach it in any order): a counted slot never written
//
// The offsets are read from the file itself (directory entry 0, the growth
// area fields of that definition), so the helpers hold for any file with
// the history table first.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/VeltFormat.h"
#include "store/HisInfoDbMgr.h"

namespace historydamage {

inline constexpr int32_t kStoredSize = 28;  // 6 + 4 (one index) + 18
inline constexpr int32_t kGrowthOffsetField = 41;
inline constexpr int32_t kGrowthCountField = 45;
inline constexpr int32_t kLinkField = 6;

inline std::vector<uint8_t> Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void PutBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// The sample values of sample n (1-based), distinct for every n.
inline TTmpReading Sample(int n, TDateTime start = 46000.0) {
    TTmpReading r;
    r.RecordId = n;
    r.DateTime = start + n / 1440.0;
    r.TmpAddr = 7;
    r.APhaseTmp = static_cast<uint16_t>(60 + n % 50);
    r.BPhaseTmp = static_cast<uint16_t>(n);
    r.CPhaseTmp = static_cast<uint16_t>(n >> 16);
    r.IronTmp = static_cast<uint16_t>(n % 3);
    r.RelayFlags = static_cast<uint8_t>(n & 0x0F);
    return r;
}

// A history file holding Sample(1) .. Sample(count).
inline void MakeHistory(const std::string& path, int count) {
    THisInfoDbMgr mgr(path, false);
    for (int n = 1; n <= count; ++n) {
        const TTmpReading r = Sample(n);
        mgr.AddReading(r.TmpAddr, r.APhaseTmp, r.BPhaseTmp, r.CPhaseTmp, r.IronTmp, r.RelayFlags,
                       r.DateTime);
    }
}

struct TLayout {
    int64_t Definition = 0;
    int64_t GrowthOffset = 0;
    int32_t GrowthCount = 0;
};

inline TLayout LayoutOf(const std::vector<uint8_t>& file) {
    TLayout layout;
    layout.Definition = GetLe32(file.data() + kDirectoryOffset + 8);
    layout.GrowthOffset = GetLe32(file.data() + layout.Definition + kGrowthOffsetField);
    layout.GrowthCount = GetLe32(file.data() + layout.Definition + kGrowthCountField);
    return layout;
}

inline int64_t SlotOffset(const TLayout& layout, int32_t slot) {
    return layout.GrowthOffset + static_cast<int64_t>(slot) * kStoredSize;
}

// The last append wrote its record, but not the link that reaches it.
inline void CutBeforeLastLink(const std::string& path) {
    std::vector<uint8_t> file = Bytes(path);
    const TLayout layout = LayoutOf(file);
    if (layout.GrowthCount < 2) throw std::logic_error("needs two records");
    PutLe32(file.data() + SlotOffset(layout, layout.GrowthCount - 2) + kLinkField, kNoSlot);
    PutBytes(path, file);
}

// An append counted its slot in the definition and wrote nothing else.
inline void CutAfterCount(const std::string& path) {
    std::vector<uint8_t> file = Bytes(path);
    const TLayout layout = LayoutOf(file);
    PutLe32(file.data() + layout.Definition + kGrowthCountField, layout.GrowthCount + 1);
    PutBytes(path, file);
}

}  // namespace historydamage
