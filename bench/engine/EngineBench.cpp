// One year of one controller's history (525,600 samples of 18 bytes, one a
// minute, ascending times, index "DateTime" on offset 0 type 10) in the
// engine and in SQLite: appends per second, opening the table with its
// index, reading the newest day backwards by position right after opening,
// and reading the whole year backwards. The engine's walks run twice: record
// by record as they come, and inside one BeginAccess/EndAccess bracket as the
// history query walks (one file open for the whole walk). Prints the figures
// and the ratios.
//
//   engine_bench [google benchmark flags]   files go to $TMPDIR (or /tmp)
//   VELT_BENCH_DIR=dir engine_bench         files go to dir and are kept, so
//                                           a later run reuses the year files
//   engine_bench --benchmark_repetitions=5  each figure the best of five runs

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SqliteHistory.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {

constexpr int32_t kYear = 525600;
constexpr int32_t kDay = 1440;
constexpr int32_t kRecordSize = 18;
constexpr int32_t kDurableAppends = 300;
constexpr double kFirstDay = 45000.0;  // days since 1899-12-30
constexpr const char* kTable = "HisDataTable";

// Set when the year files are kept for later runs.
const char* KeptDir() {
    return std::getenv("VELT_BENCH_DIR");
}

const std::filesystem::path& BenchDir() {
    static const std::filesystem::path dir = [] {
        if (const char* kept = KeptDir()) {
            std::filesystem::create_directories(kept);
            return std::filesystem::path(kept);
        }
        const char* tmp = std::getenv("TMPDIR");
        std::filesystem::path path = std::filesystem::path(tmp ? tmp : "/tmp") /
                                     ("velt-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        return path;
    }();
    return dir;
}

std::string EngineYearFile() {
    return (BenchDir() / "HistoryData.dt").string();
}
std::string SqliteYearFile() {
    return (BenchDir() / "history.sqlite").string();
}

struct TSample {
    uint8_t Bytes[kRecordSize];
};

TSample Sample(int32_t minute) {
    TSample sample{};
    const double time = kFirstDay + minute / 1440.0;
    uint64_t bits;
    std::memcpy(&bits, &time, sizeof bits);
    for (int i = 0; i < 8; ++i) sample.Bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
    sample.Bytes[8] = 12;  // station address
    for (int i = 0; i < 4; ++i) {
        const uint16_t raw = static_cast<uint16_t>(60 + (minute + 7 * i) % 40);
        sample.Bytes[9 + 2 * i] = static_cast<uint8_t>(raw);
        sample.Bytes[10 + 2 * i] = static_cast<uint8_t>(raw >> 8);
    }
    sample.Bytes[17] = static_cast<uint8_t>(minute % 16);
    return sample;
}

// A history file opened the way the table managers open it.
struct TEngineHistory {
    TVeltDatabase Db;
    std::unique_ptr<TVeltTable> Table;

    explicit TEngineHistory(const std::string& path, bool durable = false) {
        Db.SetDurable(durable);
        if (!Db.Open(path, "")) throw std::runtime_error("open failed");
        Table = std::make_unique<TVeltTable>(&Db);
        Table->Open(kTable, true);
    }
};

void CreateEngineFile(const std::string& path) {
    std::filesystem::remove(path);
    TVeltDatabase db;
    if (!db.CreateDatabase(path, false, "Zlib", true, "Blowfish", "") || !db.Open(path, "") ||
        !db.CreateTable(kTable, kRecordSize, 0, 256) ||
        !db.CreateIndex(kTable, "DateTime", 0, ftDateTime)) {
        throw std::runtime_error("cannot create " + path);
    }
}

void BuildEngineYear() {
    CreateEngineFile(EngineYearFile());
    TEngineHistory history(EngineYearFile());
    for (int32_t minute = 0; minute < kYear; ++minute) {
        history.Table->Append(Sample(minute).Bytes, kRecordSize);
    }
}

void BuildSqliteYear() {
    std::filesystem::remove(SqliteYearFile());
    std::filesystem::remove(SqliteYearFile() + "-wal");
    std::filesystem::remove(SqliteYearFile() + "-shm");
    TSqliteHistory history(SqliteYearFile(), true);
    for (int32_t minute = 0; minute < kYear; ++minute) {
        history.Insert(kFirstDay + minute / 1440.0, Sample(minute).Bytes, kRecordSize);
    }
}

void EnsureYearFiles() {
    if (!std::filesystem::exists(EngineYearFile())) BuildEngineYear();
    if (!std::filesystem::exists(SqliteYearFile())) BuildSqliteYear();
}

// ------------------------------------------------------------ appends

void BM_Engine_AppendYear(benchmark::State& state) {
    for (auto _ : state) BuildEngineYear();
    state.SetItemsProcessed(state.iterations() * kYear);
}

void BM_Sqlite_InsertYear(benchmark::State& state) {
    for (auto _ : state) BuildSqliteYear();
    state.SetItemsProcessed(state.iterations() * kYear);
}

// Appends with the durability switch off or on (fdatasync per append).
void BM_Engine_AppendDurable(benchmark::State& state) {
    const bool durable = state.range(0) != 0;
    const std::string path = (BenchDir() / "durable.dt").string();
    for (auto _ : state) {
        state.PauseTiming();
        CreateEngineFile(path);
        TEngineHistory history(path, durable);
        state.ResumeTiming();
        for (int32_t minute = 0; minute < kDurableAppends; ++minute) {
            history.Table->Append(Sample(minute).Bytes, kRecordSize);
        }
    }
    state.SetItemsProcessed(state.iterations() * kDurableAppends);
}

// ------------------------------------------------------------ opening

void BM_Engine_OpenYear(benchmark::State& state) {
    EnsureYearFiles();
    for (auto _ : state) {
        TEngineHistory history(EngineYearFile());
        benchmark::DoNotOptimize(history.Table->RecordCount());
    }
}

void BM_Sqlite_OpenYear(benchmark::State& state) {
    EnsureYearFiles();
    for (auto _ : state) {
        TSqliteHistory history(SqliteYearFile(), false);
        benchmark::ClobberMemory();
    }
}

// ------------------------------------------------------------ reading

double ReadEngineBackwards(TVeltTable& table, int32_t count) {
    uint8_t data[kRecordSize];
    int32_t id = 0;
    double checksum = 0;
    const int32_t last = table.RecordCount() - 1;
    for (int32_t p = last; p > last - count && p >= 0; --p) {
        if (!table.ReadRecord(p, id, data)) throw std::runtime_error("read failed");
        checksum += data[17] + id;
    }
    return checksum;
}

// Bracketed: the walk runs inside one BeginAccess/EndAccess, as the history
// query does, so the file is opened once instead of once per batch. A
// second query first reads the oldest record (a batch the walk never
// touches), as an earlier query on the open table would have.
void EngineReadAfterOpen(benchmark::State& state, int32_t count, bool bracketed,
                         bool secondQuery = false) {
    EnsureYearFiles();
    for (auto _ : state) {
        state.PauseTiming();
        {
            TEngineHistory history(EngineYearFile());
            if (secondQuery) {
                uint8_t data[kRecordSize];
                int32_t id = 0;
                if (!history.Table->ReadRecord(0, id, data))
                    throw std::runtime_error("read failed");
            }
            state.ResumeTiming();
            if (bracketed) history.Table->BeginAccess();
            benchmark::DoNotOptimize(ReadEngineBackwards(*history.Table, count));
            if (bracketed) history.Table->EndAccess();
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void SqliteReadAfterOpen(benchmark::State& state, int32_t count, bool secondQuery = false) {
    EnsureYearFiles();
    for (auto _ : state) {
        state.PauseTiming();
        {
            TSqliteHistory history(SqliteYearFile(), false);
            if (secondQuery) benchmark::DoNotOptimize(history.ReadOldest());
            state.ResumeTiming();
            benchmark::DoNotOptimize(history.ReadNewestFirst(count));
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// The part of every read no placement of batches can save: deciphering the
// record data (each record on its own, from the cipher's initial state).
void BM_Engine_DecryptOnly(benchmark::State& state) {
    EnsureYearFiles();
    TEngineHistory history(EngineYearFile());
    const int32_t count = static_cast<int32_t>(state.range(0));
    TSample sample = Sample(1);
    for (auto _ : state) {
        for (int32_t i = 0; i < count; ++i) history.Db.DecryptData(sample.Bytes, kRecordSize);
        benchmark::DoNotOptimize(sample.Bytes[0]);
    }
    state.SetItemsProcessed(state.iterations() * count);
}

// The same records deciphered a read batch at a time: 100 stored records as
// they lie in the file (28 bytes apart), the 18-byte data part of each.
void BM_Engine_DecryptBatched(benchmark::State& state) {
    EnsureYearFiles();
    TEngineHistory history(EngineYearFile());
    const int32_t count = static_cast<int32_t>(state.range(0));
    const int32_t stored = history.Table->StoredRecordSize();
    const int32_t header = history.Table->HeaderSize();
    std::vector<uint8_t> batch(static_cast<size_t>(kBatchRecords) * stored);
    for (int32_t i = 0; i < kBatchRecords; ++i) {
        std::memcpy(batch.data() + i * stored + header, Sample(i).Bytes, kRecordSize);
    }
    for (auto _ : state) {
        for (int32_t done = 0; done < count; done += kBatchRecords) {
            const int32_t n = std::min(kBatchRecords, count - done);
            history.Db.DecryptRecords(batch.data() + header, n, stored, kRecordSize);
        }
        benchmark::DoNotOptimize(batch.data());
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_Engine_NewestDayBackward(benchmark::State& state) {
    EngineReadAfterOpen(state, kDay, false);
}
void BM_Engine_NewestDayBackwardBracketed(benchmark::State& state) {
    EngineReadAfterOpen(state, kDay, true);
}
void BM_Sqlite_NewestDayBackward(benchmark::State& state) {
    SqliteReadAfterOpen(state, kDay);
}
void BM_Engine_NewestDaySecondQuery(benchmark::State& state) {
    EngineReadAfterOpen(state, kDay, true, true);
}
void BM_Sqlite_NewestDaySecondQuery(benchmark::State& state) {
    SqliteReadAfterOpen(state, kDay, true);
}
void BM_Engine_YearBackward(benchmark::State& state) {
    EngineReadAfterOpen(state, kYear, false);
}
void BM_Engine_YearBackwardBracketed(benchmark::State& state) {
    EngineReadAfterOpen(state, kYear, true);
}
void BM_Sqlite_YearBackward(benchmark::State& state) {
    SqliteReadAfterOpen(state, kYear);
}

BENCHMARK(BM_Engine_AppendYear)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_InsertYear)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_AppendDurable)->Arg(0)->Arg(1)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_OpenYear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_OpenYear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_NewestDayBackward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_NewestDayBackwardBracketed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_NewestDayBackward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_NewestDaySecondQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_NewestDaySecondQuery)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_YearBackward)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_YearBackwardBracketed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_DecryptOnly)->Arg(kDay)->Arg(kYear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_DecryptBatched)->Arg(kDay)->Arg(kYear)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sqlite_YearBackward)->Unit(benchmark::kMillisecond);

// ------------------------------------------------------------ summary

// Collects each benchmark's time per iteration (ms) and rate (items/s). With
// --benchmark_repetitions=N each figure is the best of the N runs: the one
// least disturbed by anything else on the machine, for both sides alike.
class TCollector : public benchmark::ConsoleReporter {
  public:
    struct TFigure {
        double Milliseconds = 0;
        double PerSecond = 0;
    };
    std::map<std::string, TFigure> Figures;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;  // mean, median, ...
            const auto [at, first] = Figures.try_emplace(run.benchmark_name());
            TFigure& figure = at->second;
            const double ms = run.GetAdjustedRealTime() *
                              benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
                              benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (first || ms < figure.Milliseconds) figure.Milliseconds = ms;
            if (auto it = run.counters.find("items_per_second"); it != run.counters.end()) {
                figure.PerSecond = std::max(figure.PerSecond, it->second.value);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

void PrintSummary(const TCollector& collector) {
    auto get = [&](const char* name) {
        auto it = collector.Figures.find(name);
        return it == collector.Figures.end() ? TCollector::TFigure{} : it->second;
    };
    std::printf("\n%-34s %14s %14s %10s  %s\n", "one year of samples", "engine", "sqlite", "ratio",
                "target");
    auto rate = [&](const char* label, const char* engine, const char* sqlite, double target) {
        const double e = get(engine).PerSecond, s = get(sqlite).PerSecond;
        std::printf("%-34s %12.0f/s %12.0f/s %9.2fx  >= %.0f/s %s\n", label, e, s,
                    s > 0 ? e / s : 0, target, e >= target ? "met" : "MISSED");
    };
    auto time = [&](const char* label, const char* engine, const char* sqlite, double target) {
        const double e = get(engine).Milliseconds, s = get(sqlite).Milliseconds;
        std::printf("%-34s %11.3f ms %11.3f ms %9.2fx  <= %.0f ms %s%s\n", label, e, s,
                    e > 0 ? s / e : 0, target, e <= target ? "met" : "MISSED",
                    e <= s ? "" : ", slower than sqlite");
    };
    rate("appends (one insert per commit)", "BM_Engine_AppendYear/iterations:1",
         "BM_Sqlite_InsertYear/iterations:1", 20000);
    time("open table with its index", "BM_Engine_OpenYear", "BM_Sqlite_OpenYear", 150);
    time("newest day backwards after open", "BM_Engine_NewestDayBackward",
         "BM_Sqlite_NewestDayBackward", 5);
    time("  the same, bracketed as the query", "BM_Engine_NewestDayBackwardBracketed",
         "BM_Sqlite_NewestDayBackward", 5);
    time("  a second query, bracketed", "BM_Engine_NewestDaySecondQuery",
         "BM_Sqlite_NewestDaySecondQuery", 5);
    time("whole year backwards after open", "BM_Engine_YearBackward", "BM_Sqlite_YearBackward",
         1000);
    time("  the same, bracketed as the query", "BM_Engine_YearBackwardBracketed",
         "BM_Sqlite_YearBackward", 1000);
    std::printf("(ratio: engine speed relative to sqlite, above 1 is faster)\n");
    std::printf(
        "record decryption alone, one call per record: %.3f ms a day, %.3f ms a year (%.1f ns "
        "per record)\n",
        get("BM_Engine_DecryptOnly/1440").Milliseconds,
        get("BM_Engine_DecryptOnly/525600").Milliseconds,
        get("BM_Engine_DecryptOnly/525600").Milliseconds * 1e6 / kYear);
    std::printf(
        "record decryption alone, one call per batch:  %.3f ms a day, %.3f ms a year (%.1f ns "
        "per record; sqlite stores plain data)\n",
        get("BM_Engine_DecryptBatched/1440").Milliseconds,
        get("BM_Engine_DecryptBatched/525600").Milliseconds,
        get("BM_Engine_DecryptBatched/525600").Milliseconds * 1e6 / kYear);
    const double plain = get("BM_Engine_AppendDurable/0/iterations:3").PerSecond;
    const double durable = get("BM_Engine_AppendDurable/1/iterations:3").PerSecond;
    std::printf("\ndurability switch: %.0f appends/s off, %.0f appends/s on (fdatasync each)",
                plain, durable);
    if (durable > 0) std::printf(", %.3f ms per durable append", 1000.0 / durable);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    PrintSummary(collector);
    benchmark::Shutdown();
    if (KeptDir() == nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(BenchDir(), ignored);
    }
    return 0;
}
