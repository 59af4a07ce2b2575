#pragma once
// Temporary directories, file bytes and a few ready-made databases for the
// engine's tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace enginetest {

inline constexpr const char* kHisTable = "HisDataTable";
inline constexpr const char* kHisIndex = "DateTime";
inline constexpr int32_t kHisRecordSize = 18;
inline constexpr int32_t kHisCapacity = 256;
inline constexpr int32_t kHisStoredSize = 28;

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the test.
class TTempDir {
  public:
    TTempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velt-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        FPath = pattern;
    }
    ~TTempDir() {
        std::error_code ignored;
        // Files made read-only by a test must not keep the directory alive.
        std::filesystem::permissions(FPath, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(FPath, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string File(const std::string& name) const { return (FPath / name).string(); }
    const std::filesystem::path& Path() const { return FPath; }

  private:
    std::filesystem::path FPath;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline int64_t FileSize(const std::string& path) {
    return static_cast<int64_t>(std::filesystem::file_size(path));
}

inline int32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
    return GetLe32(bytes.data() + offset);
}

inline void PutLe32At(std::vector<uint8_t>& bytes, size_t offset, int32_t value) {
    PutLe32(bytes.data() + offset, value);
}

// The engine's own encrypted, empty database as the table managers make it.
inline void CreateStandardDatabase(const std::string& path, const std::string& password = "") {
    TVeltDatabase db;
    ASSERT_TRUE(db.CreateDatabase(path, false, "Zlib", true, "Blowfish", password));
}

// A history file: "HisDataTable" (18 bytes, capacity Capacity) indexed by
// "DateTime" (offset 0, type 10).
inline void CreateHistoryDatabase(const std::string& path, int32_t capacity = kHisCapacity) {
    CreateStandardDatabase(path);
    TVeltDatabase db;
    ASSERT_TRUE(db.Open(path, ""));
    ASSERT_TRUE(db.CreateTable(kHisTable, kHisRecordSize, 0, capacity));
    ASSERT_TRUE(db.CreateIndex(kHisTable, kHisIndex, 0, ftDateTime));
}

// An 18-byte sample: the time, then bytes derived from Tag.
struct TSample {
    uint8_t Bytes[kHisRecordSize];
};

inline void PutDoubleLe(uint8_t* out, double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

inline double GetDoubleLe(const uint8_t* in) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = bits << 8 | in[i];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline TSample MakeSample(double time, int32_t tag) {
    TSample sample{};
    PutDoubleLe(sample.Bytes, time);
    for (int32_t i = 8; i < kHisRecordSize; ++i) {
        sample.Bytes[i] = static_cast<uint8_t>(tag * 7 + i);
    }
    return sample;
}

inline double SampleTime(const uint8_t* data) {
    return GetDoubleLe(data);
}

// Offsets of a file's first table definition and of its growth area.
inline int32_t DefinitionOffset(const std::vector<uint8_t>& file, int32_t table = 0) {
    return Le32At(file, kDirectoryOffset + 8 + 4 * table);
}

}  // namespace enginetest

namespace enginetest {

// Runs Body and checks that it raises exactly class E with Message.
template <class E, class Body>
void ExpectRaises(Body&& body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const E& error) {
        EXPECT_EQ(std::string(error.what()), message);
    } catch (const std::exception& error) {
        ADD_FAILURE() << "other exception: " << error.what() << ", expected: " << message;
    }
}

}  // namespace enginetest
