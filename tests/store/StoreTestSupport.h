#pragma once
// Temporary directories and raw access to the records a manager stored, read
// back through the engine itself.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"

namespace storetest {

// A fresh directory, removed with everything in it at the end of the test.
class TTempDir {
  public:
    TTempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "store-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        FPath = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::permissions(FPath, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // The directory with a trailing '/', as a program directory.
    std::string Dir() const { return FPath.string() + '/'; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }

  private:
    std::filesystem::path FPath;
};

// One stored record as the engine hands it back (decrypted data bytes).
struct TRawRecord {
    int32_t RecordId = 0;
    std::vector<uint8_t> Data;
};

// Every live record of the file's table, in position order.
inline std::vector<TRawRecord> ReadRawRecords(const std::string& fileName,
                                              const std::string& tableName) {
    TVeltDatabase db;
    EXPECT_TRUE(db.Open(fileName, ""));
    TVeltTable table(&db);
    table.Open(tableName, true);
    std::vector<TRawRecord> records;
    for (int32_t p = 0; p < table.RecordCount(); ++p) {
        TRawRecord record;
        record.Data.resize(static_cast<size_t>(table.RecordSize()));
        EXPECT_TRUE(table.ReadRecord(p, record.RecordId, record.Data.data()));
        records.push_back(std::move(record));
    }
    return records;
}

inline std::vector<uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace storetest
