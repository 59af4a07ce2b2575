// The recovery of a damaged history file at the sizes a station meets: a
// week, a month and a year of one sample a minute. Each run salvages the
// damaged file and builds the fresh one in its place (flushed, as the
// station does it), on a new copy of the damaged file.
//
//   faults_bench [google benchmark flags]   files go to $TMPDIR (or /tmp)

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"
#include "store/HisInfoDbMgr.h"
#include "store/HistoryRecovery.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kWeek = 7 * 1440;
constexpr int32_t kMonth = 30 * 1440;
constexpr int32_t kYear = 365 * 1440;
constexpr TDateTime kStart = 45292.0;  // 2024-01-01
constexpr int32_t kLinkOffset = 6;
constexpr int32_t kStoredSize = 28;

// The directory of this run, removed at exit.
class TBenchDir {
  public:
    TBenchDir() {
        const char* tmp = std::getenv("TMPDIR");
        FPath = fs::path(tmp ? tmp : "/tmp") / ("faults-bench-" + std::to_string(::getpid()));
        fs::create_directories(FPath);
    }
    ~TBenchDir() {
        std::error_code ignored;
        fs::remove_all(FPath, ignored);
    }
    TBenchDir(const TBenchDir&) = delete;
    TBenchDir& operator=(const TBenchDir&) = delete;
    const fs::path& Path() const { return FPath; }

  private:
    fs::path FPath;
};

const fs::path& Dir() {
    static const TBenchDir dir;
    return dir.Path();
}

// A history file of Count samples whose last link was never written, made
// once per size.
const std::string& DamagedFile(int32_t count) {
    static std::map<int32_t, std::string> made;
    auto found = made.find(count);
    if (found != made.end()) return found->second;
    const std::string file = (Dir() / ("damaged-" + std::to_string(count) + ".dt")).string();
    {
        THisInfoDbMgr mgr(file, false);
        mgr.Database()->BeginAccess();
        for (int32_t n = 0; n < count; ++n) {
            mgr.AddReading(7, static_cast<uint16_t>(65 + n % 5), 66, 67, 0, 2, kStart + n / 1440.0);
        }
        mgr.Database()->EndAccess();
    }
    // The previous last record's link back to "none".
    TVeltDatabase db;
    db.Open(file, "");
    TVeltTable table(&db);
    table.Open(kHistoryTableName, true);
    const int32_t previous = table.RecordPosition(count - 1);
    table.Close();
    db.Close();
    FILE* f = std::fopen(file.c_str(), "r+b");
    const int32_t none = -1;
    std::fseek(f, previous + kLinkOffset, SEEK_SET);
    std::fwrite(&none, sizeof none, 1, f);
    std::fclose(f);
    static_assert(kStoredSize == 6 + 4 + 18);
    return made.emplace(count, file).first->second;
}

void BM_Recover(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    const std::string& damaged = DamagedFile(count);
    const std::string live = (Dir() / "HistoryData.dt").string();
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& entry : fs::directory_iterator(Dir())) {
            if (entry.path().filename().string().rfind("HistoryData.dt", 0) == 0) {
                fs::remove(entry.path());
            }
        }
        fs::copy_file(damaged, live);
        state.ResumeTiming();
        const THistoryRecovery recovery = RecoverHistoryFile(live, kStart, true);
        if (static_cast<int32_t>(recovery.Salvage.Samples.size()) != count) {
            state.SkipWithError("not every sample recovered");
        }
    }
    state.counters["samples"] = count;
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(count),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

void BM_SalvageOnly(benchmark::State& state) {
    const auto count = static_cast<int32_t>(state.range(0));
    const std::string& damaged = DamagedFile(count);
    for (auto _ : state) {
        benchmark::DoNotOptimize(SalvageHistoryFile(damaged).Samples.size());
    }
    state.counters["samples/s"] = benchmark::Counter(static_cast<double>(count),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

BENCHMARK(BM_SalvageOnly)->Arg(kWeek)->Arg(kMonth)->Arg(kYear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Recover)
    ->Arg(kWeek)
    ->Arg(kMonth)
    ->Arg(kYear)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);

BENCHMARK_MAIN();
