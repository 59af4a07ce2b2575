// Fuzz target: any bytes as a damaged history file. The salvage never reads
// outside the file; when it accepts the file, the recovery keeps the input
// byte for byte aside and puts a file in its place that passes tcdb's check
// and holds exactly the salvaged samples under their ids.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FileCheck.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"
#include "store/HistoryRecovery.h"

namespace fs = std::filesystem;

namespace {

constexpr TDateTime kWhen = 46364.5;

void Check(bool condition) {
    if (!condition) std::abort();
}

// The fuzzer's directory, removed with what is in it when the fuzzer exits.
class TFuzzDir {
  public:
    TFuzzDir() {
        std::string pattern = (fs::temp_directory_path() / "recovery-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        FPath = pattern;
    }
    ~TFuzzDir() {
        std::error_code ignored;
        fs::remove_all(FPath, ignored);
    }
    TFuzzDir(const TFuzzDir&) = delete;
    TFuzzDir& operator=(const TFuzzDir&) = delete;
    const fs::path& Path() const { return FPath; }

  private:
    fs::path FPath;
};

const fs::path& FuzzDir() {
    static const TFuzzDir dir;
    return dir.Path();
}

std::vector<uint8_t> Bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(FuzzDir())) fs::remove(entry.path(), ignored);
    const fs::path file = FuzzDir() / "HistoryData.dt";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(size));
    }
    const std::vector<uint8_t> input(bytes, bytes + size);

    THistoryRecovery recovery;
    try {
        recovery = RecoverHistoryFile(file.string(), kWhen, false);
    } catch (const EHistoryUnrecoverable&) {
        // Refused: nothing was changed.
        Check(Bytes(file) == input);
        Check(std::distance(fs::directory_iterator(FuzzDir()), fs::directory_iterator()) == 1);
        return 0;
    } catch (const std::exception&) {
        return 0;  // the file layer's errors (a file that cannot be read)
    }
    Check(Bytes(recovery.KeptAs) == input);
    try {
        CheckDatabaseFile(file.string());
    } catch (const std::exception&) {
        std::abort();
    }
    TVeltDatabase database;
    Check(database.Open(file.string(), ""));
    TVeltTable table(&database);
    table.Open("HisDataTable", true);
    const std::vector<TSalvagedSample>& samples = recovery.Salvage.Samples;
    Check(table.RecordCount() == static_cast<int32_t>(samples.size()));
    for (int32_t p = 0; p < table.RecordCount(); ++p) {
        int32_t id = 0;
        uint8_t data[18];
        Check(table.ReadRecord(p, id, data));
        Check(id == samples[static_cast<size_t>(p)].RecordId);
        Check(std::equal(data, data + 18, samples[static_cast<size_t>(p)].Data.begin()));
    }
    return 0;
}
