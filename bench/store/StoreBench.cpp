// The history manager on one controller's year (525,600 samples, one a
// minute): appends through AddReading with the durability switch off and on,
// opening the file, and QueryReadings over the newest day, the newest week
// and the whole year. A query's cost follows the samples from the newest
// down to its range's start, not the file's size.
//
//   store_bench [google benchmark flags]   files go to $TMPDIR (or /tmp)

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"

namespace {

constexpr int32_t kYear = 525600;
constexpr int32_t kMinutesPerDay = 1440;
constexpr double kMinute = 1.0 / kMinutesPerDay;
const TDateTime kFirstSample = EncodeDateTime(2024, 1, 1);

// The directory of this run, removed at exit.
class TBenchDir {
  public:
    TBenchDir() {
        const char* tmp = std::getenv("TMPDIR");
        FPath = std::filesystem::path(tmp ? tmp : "/tmp") /
                ("store-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(FPath);
    }
    ~TBenchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(FPath, ignored);
    }
    TBenchDir(const TBenchDir&) = delete;
    TBenchDir& operator=(const TBenchDir&) = delete;

    std::string File(const std::string& name) const { return (FPath / name).string(); }

  private:
    std::filesystem::path FPath;
};

const TBenchDir& Dir() {
    static const TBenchDir dir;
    return dir;
}

void AddSample(THisInfoDbMgr& mgr, int32_t minute) {
    const auto raw = static_cast<uint16_t>(60 + minute % 50);
    mgr.AddReading(1, raw, raw, raw, 0, 0x02, kFirstSample + minute * kMinute);
}

// The year's file, written once on first use.
const std::string& YearFile() {
    static const std::string file = [] {
        const std::string name = Dir().File("year/HistoryData.dt");
        THisInfoDbMgr mgr(name, false);
        for (int32_t m = 0; m < kYear; ++m) AddSample(mgr, m);
        return name;
    }();
    return file;
}

void BM_AddReading(benchmark::State& state) {
    const bool durable = state.range(0) != 0;
    const std::string file =
        Dir().File(std::string("append-") + (durable ? "durable" : "fast") + "/HistoryData.dt");
    std::filesystem::remove(file);
    THisInfoDbMgr mgr(file, durable);
    int32_t minute = 0;
    for (auto _ : state) AddSample(mgr, minute++);
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(durable ? "fdatasync after each append" : "no sync");
}
BENCHMARK(BM_AddReading)->Arg(0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddReading)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(300);

void BM_OpenYear(benchmark::State& state) {
    const std::string& file = YearFile();
    for (auto _ : state) {
        THisInfoDbMgr mgr(file, false);
        benchmark::DoNotOptimize(mgr.RecordCount());
    }
    state.SetItemsProcessed(state.iterations() * kYear);
}
BENCHMARK(BM_OpenYear)->Unit(benchmark::kMillisecond);

// A fresh manager per query, as the history view's first query after start
// finds it: the record cache is empty.
void BM_QueryNewestDays(benchmark::State& state) {
    const auto days = static_cast<int32_t>(state.range(0));
    const std::string& file = YearFile();
    const TDateTime end = kFirstSample + (kYear - 1) * kMinute;
    const TDateTime begin = end - days + kMinute / 2;
    size_t rows = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto mgr = std::make_unique<THisInfoDbMgr>(file, false);
        std::vector<TTmpReading> list;
        state.ResumeTiming();
        mgr->QueryReadings(list, begin, end);
        rows = list.size();
        benchmark::DoNotOptimize(list.data());
    }
    state.counters["rows"] = static_cast<double>(rows);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(rows));
}
BENCHMARK(BM_QueryNewestDays)->Arg(1)->Arg(7)->Arg(366)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
