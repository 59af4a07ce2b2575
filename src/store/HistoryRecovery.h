#pragma once
// Recovery of a history file that no longer opens (store/TableRecovery.h
// for how), with its records as samples.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/TableRecovery.h"

using EHistoryUnrecoverable = ETableUnrecoverable;

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

// SalvageTableFile for the history table.
THistorySalvage SalvageHistoryFile(const std::string& fileName);

struct THistoryRecovery {
    THistorySalvage Salvage;
    // Where the original went.
    std::string KeptAs;
};

// RecoverTableFile for the history table.
THistoryRecovery RecoverHistoryFile(const std::string& fileName, TDateTime now,
                                    bool durable = true);

// SetFileAside: the next open of the history file then starts an empty one.
std::string SetHistoryFileAside(const std::string& fileName, TDateTime now, bool durable = true);
