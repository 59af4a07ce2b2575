#pragma once
// A full read of a database file: the header, every table with its records
// and every index chain, the way the engine opens them, plus the order of
// each chain. Never creates or changes the file.

#include <cstdint>
#include <string>
#include <vector>

struct TTableSummary {
    std::string Name;
    int32_t Records = 0;
    std::vector<std::string> Indexes;
};

// One summary per table in directory order; raises the engine's error (or
// "Database file is corrupt: index ... is out of order ..."), prefixed with
// the table's name once tables are reached, at the first fault.
// Shared: opened beside other readers (and a station that may be writing
// it, which waits meanwhile) instead of alone.
std::vector<TTableSummary> CheckDatabaseFile(const std::string& fileName, bool shared = false);

// "HisDataTable: 3 records, indexes: DateTime"
std::string SummaryLine(const TTableSummary& summary);
