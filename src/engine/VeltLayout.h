#pragma once
// Which bytes of a database file each block, definition and area owns.
// Every byte belongs to at most one owner; a file where two share one is
// damaged or hostile (a read of one area would return another's bytes, an
// append would write over a definition or the header):
//
//   owner                                  bytes
//   the fixed header                       [0, 4796)
//   definition i with its copy             [dir[i], dir[i] + 1450)
//   primary area of table i                [offset, offset + count x stored)
//   growth area of table i, free slots     [offset, offset + capacity x stored),
//     included as far as the file holds     cut at the file's end (a file cut
//     them                                   inside free slots still reads)
//
// The database records the owners when it opens (without refusing anything,
// so that the history recovery can still salvage such a file); a table
// checks against them when it opens, with its definition as read then.
// Areas of a definition whose sizes are unusable are left to the table's
// own checks.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/VeltFormat.h"

// Bytes of one stored record of the definition, or -1 when its index count,
// record size or header block count cannot be a table's.
int64_t StoredRecordSizeOf(const TTableDef& def);

class TVeltLayout {
  public:
    TVeltLayout() { Clear(); }

    // Holds the fixed header only.
    void Clear();
    // Records table Number's definition at Offset and its areas.
    void AddTable(int32_t number, int64_t offset, const TTableDef& def, int64_t fileSize);
    // True when no two recorded owners share a byte and no two tables share
    // a name (lookups ignore case, so a second one could never be reached).
    bool Sound() const;
    // True when the areas of Def, as table Number's definition now, share no
    // byte with any recorded owner except table Number's own earlier areas.
    bool Fits(int32_t number, const TTableDef& def, int64_t fileSize) const;

  private:
    struct TExtent {
        int64_t Begin;
        int64_t End;
        int32_t Table;  // -1: the header
        bool Area;      // an area, not a definition
    };
    static void AddAreas(int32_t number, const TTableDef& def, int64_t fileSize,
                         std::vector<TExtent>& extents);

    std::vector<TExtent> FExtents;
    std::vector<std::string> FNames;  // lower case
    bool FGrowthInHeader = false;
};
