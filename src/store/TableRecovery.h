#pragma once
// Recovery of a table file that no longer opens: a station's history file,
// the station file, the parameter file or the event log. Each holds one table of a
// manager, indexed on the record's first field.
//
// A crash or a power cut between the writes of one operation can leave a
// chain one record short of the live slots (an append wrote and counted its
// record, the link to it was not written), a chain through a slot just
// flagged deleted, a chain half moved by an update that changed a key, or a
// slot counted but never written; the engine then refuses the whole file as
// corrupt. Every record that was stored is still in its slot (no write of
// the engine touches another record's data), so the file is read here
// without trusting its chains: the header, the directory, the table's
// definition and its two areas, every read bounds-checked against the
// file's size.
//
//   file:  header 0..4796 | ... | definition (725) | ... | area | ...
//   area:  slot slot slot ...   one slot = StoredRecordSize bytes
//   slot:  +0 marker 0xAA  +1 deleted flag  +2 i32 record id
//          +6 next links (4 per index) and reserved header blocks
//          +HeaderSize  RecordSize bytes of data, enciphered
//
// A slot is taken when it carries the marker, is not deleted and has an id
// of at least 1; of two slots with the same id the first in slot order wins
// (the engine's own open does the same). The records are then written, with
// their ids, in ascending id order into a fresh file that the table's
// manager creates (its table definition and key index) under a temporary
// name beside the original; only once it is complete, on stable storage and
// reopened does it take the original's place. The original is kept under a
// time-stamped name and never deleted:
//
//   1 salvage (read only)            nothing changed yet
//   2 build  <file>.recovering       the original is still the live file
//   3 link   <file>.corrupt-<stamp>  the original under both names
//   4 rename .recovering -> <file>   the fresh file is live
// An interruption before 4 leaves the original live, so the next attempt
// starts again; one after it leaves the finished result.

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/VeltErrors.h"
#include "store/DateTime.h"
#include "store/DbMgr.h"

// A file the recovery does not understand well enough to read records from:
// not a database of ours, not the expected table, or structures outside the
// file. Nothing has been changed when it is raised.
class ETableUnrecoverable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A manager's file: its table, the size of its records, and the manager's
// own way of making a fresh, empty file of it (opened without syncing).
struct TTableKind {
    const char* TableName;
    int32_t RecordSize;
    std::unique_ptr<TDBMgrBase> (*OpenFile)(const std::string& fileName);
};

extern const TTableKind kHistoryKind;  // a station's history file
extern const TTableKind kStationKind;  // station.dt
extern const TTableKind kSysParaKind;  // para.dt
extern const TTableKind kEventKind;    // event.dt

// The kind whose table the file holds. Raises ETableUnrecoverable for a
// file without any of them, or whose header the engine refuses.
const TTableKind& KindOfFile(const std::string& fileName);

struct TTableSalvage {
    int32_t RecordSize = 0;
    // Ascending record id; Data holds RecordSize deciphered bytes per id.
    std::vector<int32_t> Ids;
    std::vector<uint8_t> Data;
    int32_t Slots = 0;       // slots in both areas
    int32_t Unmarked = 0;    // without the marker: never written, or damaged
    int32_t Deleted = 0;     // flagged deleted
    int32_t BadIds = 0;      // marked and live but with an id below 1
    int32_t Duplicates = 0;  // live slots whose id an earlier slot holds

    size_t Count() const { return Ids.size(); }
    const uint8_t* RecordData(size_t i) const {
        return Data.data() + i * static_cast<size_t>(RecordSize);
    }
};

// Reads every intact record of the kind's table; changes nothing. Raises
// ETableUnrecoverable for a file it refuses, and the file layer's error for
// one that cannot be read at all.
TTableSalvage SalvageTableFile(const std::string& fileName, const TTableKind& kind);

struct TTableRecovery {
    TTableSalvage Salvage;
    // Where the original went.
    std::string KeptAs;
};

// <fileName>.corrupt-YYYYMMDD-hhmmss for the local time Now, with "-2",
// "-3", ... added while that name is taken.
std::string KeptAsideName(const std::string& fileName, TDateTime now);

// Salvages FileName, keeps it aside and puts a fresh file with the salvaged
// records in its place (steps above). With Durable the fresh file and the
// renames are on stable storage before it returns. Raises what salvaging
// raises before anything is changed, and what building the fresh file
// raises (a full disk) with the original still live and untouched.
TTableRecovery RecoverTableFile(const std::string& fileName, const TTableKind& kind, TDateTime now,
                                bool durable = true);

// Only moves FileName aside (step 3 and the removal of the live name), for
// a file the recovery refuses: the next open then starts an empty file.
// Returns the name it was kept as.
std::string SetFileAside(const std::string& fileName, TDateTime now, bool durable = true);

// Opens a manager (of the kind's file) the way the station starts: a file
// the engine refuses as corrupt is recovered first and opened again, and
// Recovery tells what was done. What cannot be recovered passes on
// (ETableUnrecoverable, or the error of the open or of the rebuild).
template <class TMgr>
std::unique_ptr<TMgr> OpenRecovering(const std::string& fileName, const TTableKind& kind,
                                     TDateTime now, bool durable,
                                     std::optional<TTableRecovery>& recovery) {
    try {
        return std::make_unique<TMgr>(fileName, durable);
    } catch (const EVeltFileCorrupt&) {
        // Damaged: recovered below, then opened again.
    }
    recovery = RecoverTableFile(fileName, kind, now, durable);
    return std::make_unique<TMgr>(fileName, durable);
}
