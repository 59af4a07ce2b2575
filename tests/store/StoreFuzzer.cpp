// Fuzz target: arbitrary bytes as a station database file. tcdb's check
// walks it, and each of the three managers opens it and reads every record
// into items (the history manager also through a query). Anything but one
// of the system's exceptions is a finding: a crash, a sanitizer report, a
// hang, or a file created or changed by a reader.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "FileCheck.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"
#include "store/SysParaDbMgr.h"

namespace {

// One file in a directory of its own, removed when the fuzzer exits.
class TFuzzDir {
  public:
    TFuzzDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "store-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        FDir = pattern;
    }
    ~TFuzzDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FDir, ignored);
    }
    TFuzzDir(const TFuzzDir&) = delete;
    TFuzzDir& operator=(const TFuzzDir&) = delete;

    std::string File() const { return (FDir / "input.dt").string(); }

  private:
    std::filesystem::path FDir;
};

const std::string& FuzzFile() {
    static const TFuzzDir dir;
    static const std::string file = dir.File();
    return file;
}

template <class TMgr, class Body>
void WithManager(const std::string& file, Body body) {
    try {
        TMgr mgr(file, false);
        body(mgr);
    } catch (const std::exception&) {
        // the system's own errors are the expected answer to a bad file
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string& file = FuzzFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    }
    try {
        CheckDatabaseFile(file);
    } catch (const std::exception&) {
    }
    WithManager<THisInfoDbMgr>(file, [](THisInfoDbMgr& mgr) {
        std::vector<TTmpReading> list;
        mgr.ListRecords(list);
        mgr.QueryReadings(list, std::numeric_limits<double>::lowest(),
                          std::numeric_limits<double>::max());
    });
    WithManager<TStationDbMgr>(file, [](TStationDbMgr& mgr) {
        std::vector<TStationInfo> list;
        mgr.ListStations(list);
        for (const TStationInfo& s : list) (void)s.DevName.Utf8();
    });
    WithManager<TSysParaDbMgr>(file, [](TSysParaDbMgr& mgr) {
        std::vector<TSysParaItem> list;
        mgr.ListParas(list);
        for (const TSysParaItem& p : list) (void)p.Text.Utf8();
    });
    // Readers never change the file (a missing table is reported, not made).
    if (std::filesystem::file_size(file) != size) std::abort();
    return 0;
}
