#pragma once
// The history table in SQLite, as a yardstick for the engine: one table
// (id INTEGER PRIMARY KEY, t REAL, data BLOB) with an index on t, WAL
// journal, synchronous NORMAL, one insert per transaction.

#include <sqlite3.h>

#include <cstdint>
#include <string>

class TSqliteHistory {
  public:
    // Opens (creating when asked) the file; raises std::runtime_error.
    TSqliteHistory(const std::string& path, bool create);
    ~TSqliteHistory();
    TSqliteHistory(const TSqliteHistory&) = delete;
    TSqliteHistory& operator=(const TSqliteHistory&) = delete;

    void Insert(double time, const uint8_t* data, int32_t size);
    // Visits the newest Limit rows (all when Limit < 0), newest first;
    // returns a checksum of what was read.
    double ReadNewestFirst(int64_t limit);
    // Reads the oldest row; returns a checksum of it.
    double ReadOldest();

  private:
    void Exec(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);

    sqlite3* FDb = nullptr;
    sqlite3_stmt* FInsert = nullptr;
    sqlite3_stmt* FNewest = nullptr;
    sqlite3_stmt* FOldest = nullptr;
};
