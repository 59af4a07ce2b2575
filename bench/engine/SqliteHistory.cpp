#include "SqliteHistory.h"

#include <stdexcept>

TSqliteHistory::TSqliteHistory(const std::string& path, bool create) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path.c_str(), &FDb, flags, nullptr) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(FDb);
        sqlite3_close(FDb);
        throw std::runtime_error(message);
    }
    Exec("PRAGMA journal_mode=WAL");
    Exec("PRAGMA synchronous=NORMAL");
    if (create) {
        Exec("CREATE TABLE IF NOT EXISTS samples (id INTEGER PRIMARY KEY, t REAL, data BLOB)");
        Exec("CREATE INDEX IF NOT EXISTS samples_t ON samples (t)");
    }
    // Preparing reads the schema: part of opening the table with its index.
    FInsert = Prepare("INSERT INTO samples (t, data) VALUES (?, ?)");
    FNewest = Prepare("SELECT id, t, data FROM samples ORDER BY id DESC LIMIT ?");
    FOldest = Prepare("SELECT id, t, data FROM samples ORDER BY id ASC LIMIT 1");
}

TSqliteHistory::~TSqliteHistory() {
    sqlite3_finalize(FInsert);
    sqlite3_finalize(FNewest);
    sqlite3_finalize(FOldest);
    sqlite3_close(FDb);
}

void TSqliteHistory::Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(FDb, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : "sqlite3_exec failed";
        sqlite3_free(error);
        throw std::runtime_error(message);
    }
}

sqlite3_stmt* TSqliteHistory::Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(FDb, sql, -1, &statement, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sqlite3_errmsg(FDb));
    }
    return statement;
}

void TSqliteHistory::Insert(double time, const uint8_t* data, int32_t size) {
    // Autocommit: every insert is its own transaction.
    sqlite3_bind_double(FInsert, 1, time);
    sqlite3_bind_blob(FInsert, 2, data, size, SQLITE_STATIC);
    const int rc = sqlite3_step(FInsert);
    sqlite3_reset(FInsert);
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(FDb));
}

double TSqliteHistory::ReadNewestFirst(int64_t limit) {
    double checksum = 0;
    sqlite3_bind_int64(FNewest, 1, limit);
    while (sqlite3_step(FNewest) == SQLITE_ROW) {
        checksum += sqlite3_column_double(FNewest, 1);
        const void* blob = sqlite3_column_blob(FNewest, 2);
        if (blob != nullptr) checksum += static_cast<const uint8_t*>(blob)[17];
    }
    sqlite3_reset(FNewest);
    return checksum;
}

double TSqliteHistory::ReadOldest() {
    double checksum = 0;
    while (sqlite3_step(FOldest) == SQLITE_ROW) checksum += sqlite3_column_double(FOldest, 1);
    sqlite3_reset(FOldest);
    return checksum;
}
