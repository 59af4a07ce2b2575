// Backing up one station's history on the main thread: copying the live
// file (to disk, under a temporary name, then renamed), releasing the
// station's history manager and deleting the live file, for a day, a month
// and a year of samples at one a minute. The window is blocked for as long as
// a backup takes; a backup of all stations costs this per station.
//
//   backup_bench [google benchmark flags]   files go to $TMPDIR (or /tmp)

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "polling/BackUp.h"
#include "polling/StationState.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

namespace {

constexpr int32_t kMinutesPerDay = 1440;
constexpr double kMinute = 1.0 / kMinutesPerDay;
constexpr uint8_t kAddress = 1;
const TDateTime kFirstSample = EncodeDateTime(2024, 1, 1);

// The directory of this run, removed at exit.
class TBenchDir {
  public:
    TBenchDir() {
        const char* tmp = std::getenv("TMPDIR");
        FPath = std::filesystem::path(tmp ? tmp : "/tmp") /
                ("backup-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(FPath);
    }
    ~TBenchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TBenchDir(const TBenchDir&) = delete;
    TBenchDir& operator=(const TBenchDir&) = delete;

    std::string Path() const { return FPath.string() + "/"; }

  private:
    std::filesystem::path FPath;
};

const TBenchDir& Dir() {
    static const TBenchDir dir;
    return dir;
}

// A history file of `samples` minutes, written once per size and kept as the
// pristine copy each iteration starts from.
const std::string& Pristine(int32_t samples) {
    static std::map<int32_t, std::string> files;
    auto found = files.find(samples);
    if (found != files.end()) return found->second;
    const std::string path = Dir().Path() + "pristine-" + std::to_string(samples) + ".dt";
    {
        THisInfoDbMgr mgr(path, false);
        for (int32_t m = 0; m < samples; ++m) {
            const auto raw = static_cast<uint16_t>(60 + m % 50);
            mgr.AddReading(kAddress, raw, raw, raw, 0, 0x02, kFirstSample + m * kMinute);
        }
    }
    return files.emplace(samples, path).first->second;
}

void BM_BackUpStation(benchmark::State& state) {
    const int32_t samples = static_cast<int32_t>(state.range(0));
    const std::string& pristine = Pristine(samples);
    const std::string programDir = Dir().Path() + "station/";
    const std::string live = HistoryFileName(programDir, kAddress);
    std::filesystem::create_directories(HistoryDirName(programDir, kAddress));

    TSysParaInfo settings;
    settings.BackUpPath.AssignUtf8(Dir().Path() + "backup");
    std::vector<TSysParaItem> paraList;
    TBackUp backUp(programDir, settings, nullptr, paraList);
    // Every iteration is another day, so none finds its backup made.
    int day = 0;
    backUp.SetClock([&day] { return kFirstSample + day; });

    TStationState station;
    station.Address = kAddress;
    for (auto _ : state) {
        state.PauseTiming();
        ++day;
        std::filesystem::copy_file(pristine, live,
                                   std::filesystem::copy_options::overwrite_existing);
        station.HistoryMgr = std::make_unique<THisInfoDbMgr>(live, true);
        state.ResumeTiming();

        if (backUp.BackUpStation(station) != TBackUpResult::Done) {
            state.SkipWithError("backup failed");
            break;
        }

        state.PauseTiming();
        std::filesystem::remove(
            BackUpFileName(settings.BackUpPath.Utf8(), kAddress, kFirstSample + day));
        state.ResumeTiming();
    }
    state.counters["file_MB"] =
        static_cast<double>(std::filesystem::file_size(pristine)) / (1024.0 * 1024.0);
}
BENCHMARK(BM_BackUpStation)
    ->ArgName("samples")
    ->Arg(kMinutesPerDay)
    ->Arg(30 * kMinutesPerDay)
    ->Arg(365 * kMinutesPerDay)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
