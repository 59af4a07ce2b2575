// Opening a table of a million records whose ids run ascending (as appends
// write them), descending or shuffled across the slots. The file is written
// directly in the engine's layout (unencrypted, one "DateTime" chain in
// slot order), so building it costs no appends. Prints the open times; the
// target is under a second whatever the order.
//
//   engine_open_bench [google benchmark flags]   files go to $TMPDIR (or /tmp)

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/VeltDatabase.h"
#include "engine/VeltFormat.h"
#include "engine/VeltTable.h"

namespace {

constexpr int32_t kRecords = 1000000;
constexpr int32_t kRecordSize = 18;
constexpr int32_t kStored = kRecordFixedHeader + kLinkSize + kRecordSize;
constexpr const char* kTable = "HisDataTable";
enum TOrder { oAscending, oDescending, oShuffled };
constexpr const char* kOrderNames[] = {"ascending", "descending", "shuffled"};

std::filesystem::path BenchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::filesystem::path path = std::filesystem::path(tmp ? tmp : "/tmp") /
                                 ("velt-open-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(path);
    return path;
}

std::string OrderFile(TOrder order) {
    static const std::filesystem::path dir = BenchDir();
    return (dir / (std::string(kOrderNames[order]) + ".dt")).string();
}

// An empty table made by the engine, then kRecords records appended to the
// file as one growth area: slot s holds the sample of minute s and links to
// slot s + 1 in the time order.
void BuildFile(TOrder order) {
    const std::string path = OrderFile(order);
    {
        TVeltDatabase db;
        if (!db.CreateDatabase(path, false, "Zlib", false, "Blowfish", "") || !db.Open(path, "") ||
            !db.CreateTable(kTable, kRecordSize, 0, 256) ||
            !db.CreateIndex(kTable, "DateTime", 0, ftDateTime)) {
            throw std::runtime_error("cannot create " + path);
        }
    }
    std::vector<uint8_t> bytes;
    {
        std::ifstream in(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    }
    std::vector<int32_t> ids(kRecords);
    std::iota(ids.begin(), ids.end(), 1);
    if (order == oDescending) std::reverse(ids.begin(), ids.end());
    if (order == oShuffled) std::shuffle(ids.begin(), ids.end(), std::mt19937(42));

    const auto growth = static_cast<int32_t>(bytes.size());
    bytes.resize(bytes.size() + static_cast<size_t>(kRecords) * kStored, 0);
    for (int32_t s = 0; s < kRecords; ++s) {
        uint8_t* record = bytes.data() + growth + static_cast<size_t>(s) * kStored;
        record[0] = kRecordMarker;
        PutLe32(record + 2, ids[s]);
        PutLe32(record + kRecordFixedHeader, s + 1 < kRecords ? s + 1 : kNoSlot);
        const double time = 45000.0 + s / 1440.0;
        uint64_t bits;
        std::memcpy(&bits, &time, sizeof bits);
        for (int i = 0; i < 8; ++i) record[kRecordFixedHeader + kLinkSize + i] = bits >> (8 * i);
    }
    const int32_t def = GetLe32(&bytes[kDirectoryOffset + 8]);
    for (const int32_t copy : {def, def + kTableDefSize}) {
        TTableDef table;
        std::memcpy(&table, &bytes[copy], sizeof table);
        table.GrowthOffset.Set(growth);
        table.GrowthCount.Set(kRecords);
        table.GrowthCapacity.Set(kRecords);
        table.Indexes[0].Head.Set(0);
        std::memcpy(&bytes[copy], &table, sizeof table);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Opens the database and the table with its index, as the table managers
// do, and checks that the lowest id comes first.
void BM_Engine_OpenMillion(benchmark::State& state) {
    const auto order = static_cast<TOrder>(state.range(0));
    if (!std::filesystem::exists(OrderFile(order))) BuildFile(order);
    for (auto _ : state) {
        TVeltDatabase db;
        if (!db.Open(OrderFile(order), "")) throw std::runtime_error("open failed");
        TVeltTable table(&db);
        table.Open(kTable, true);
        int32_t id = 0;
        uint8_t data[kRecordSize];
        if (table.RecordCount() != kRecords || !table.ReadRecord(0, id, data) || id != 1) {
            state.SkipWithError("the table does not read back");
        }
    }
    state.SetLabel(kOrderNames[order]);
}

BENCHMARK(BM_Engine_OpenMillion)
    ->Arg(oAscending)
    ->Arg(oDescending)
    ->Arg(oShuffled)
    ->Unit(benchmark::kMillisecond);

class TCollector : public benchmark::ConsoleReporter {
  public:
    std::map<std::string, double> Milliseconds;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            Milliseconds[run.benchmark_name()] =
                run.GetAdjustedRealTime() *
                benchmark::GetTimeUnitMultiplier(benchmark::kMillisecond) /
                benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    std::printf("\nopening %d records with their index, by the order of their ids:\n", kRecords);
    for (int order = oAscending; order <= oShuffled; ++order) {
        const auto it =
            collector.Milliseconds.find("BM_Engine_OpenMillion/" + std::to_string(order));
        if (it == collector.Milliseconds.end()) continue;
        std::printf("  %-10s %9.1f ms  (target < 1000 ms: %s)\n", kOrderNames[order], it->second,
                    it->second < 1000 ? "met" : "MISSED");
    }
    benchmark::Shutdown();
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(OrderFile(oAscending)).parent_path(),
                                ignored);
    return 0;
}
