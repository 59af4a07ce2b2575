#pragma once
// Recovery of a history file that no longer opens.
//
// A crash or a power cut between the writes of one append can leave the
// "DateTime" chain one record short of the live slots (the record was
// written, the link to it was not), or a slot counted but never written;
// the engine then refuses the whole file as corrupt. Every sample that was
// stored is still in its slot, so the file is read here without trusting
// its chains: the header, the directory, the "HisDataTable" definition and
// its two areas, every read bounds-checked against the file's size.
//
//   file:  header 0..4796 | ... | definition (725) | ... | area | ...
//   area:  slot slot slot ...   one slot = StoredRecordSize bytes
//   slot:  +0 marker 0xAA  +1 deleted flag  +2 i32 record id
//          +6 next links (4 per index) and reserved header blocks
//          +HeaderSize  18 bytes of sample data, enciphered
//
// A slot is taken when it carries the marker, is not deleted and has an id
// of at least 1; of two slots with the same id the first in slot order wins
// (the engine's own open does the same). The samples are then written, with
// their ids, in ascending id order into a fresh file built under a temporary
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

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"

// A file the recovery does not understand well enough to read samples from:
// not a database of ours, no history table, or structures outside the file.
// Nothing has been changed when it is raised.
class EHistoryUnrecoverable : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct TSalvagedSample {
    int32_t RecordId = 0;
    // The stored record as the history manager writes it, deciphered.
    std::array<uint8_t, kHistoryRecordSize> Data{};
};

struct THistorySalvage {
    // Ascending record id.
    std::vector<TSalvagedSample> Samples;
    int32_t Slots = 0;       // slots in both areas
    int32_t Unmarked = 0;    // without the marker: never written, or damaged
    int32_t Deleted = 0;     // flagged deleted
    int32_t BadIds = 0;      // marked and live but with an id below 1
    int32_t Duplicates = 0;  // live slots whose id an earlier slot holds
};

// Reads every intact sample of a history file; changes nothing. Raises
// EHistoryUnrecoverable for a file it refuses, and the file layer's error
// for one that cannot be read at all.
THistorySalvage SalvageHistoryFile(const std::string& fileName);

struct THistoryRecovery {
    THistorySalvage Salvage;
    // Where the original went.
    std::string KeptAs;
};

// <fileName>.corrupt-YYYYMMDD-hhmmss for the local time Now, with "-2",
// "-3", ... added while that name is taken.
std::string KeptAsideName(const std::string& fileName, TDateTime now);

// Salvages FileName, keeps it aside and puts a fresh file with the salvaged
// samples in its place (steps above). With Durable the fresh file and the
// renames are on stable storage before it returns. Raises what salvaging
// raises before anything is changed, and what building the fresh file
// raises (a full disk) with the original still live and untouched.
THistoryRecovery RecoverHistoryFile(const std::string& fileName, TDateTime now,
                                    bool durable = true);

// Only moves FileName aside (step 3 and the removal of the live name), for
// a file the recovery refuses: the next open then starts an empty file.
// Returns the name it was kept as.
std::string SetHistoryFileAside(const std::string& fileName, TDateTime now, bool durable = true);
