// Figures for exporting a year of one-minute samples (525,600 rows) as CSV
// with the history report's columns: rows, seconds, MB/s, and whether a
// strict CSV reader finds every row in the file again.

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/YearOfSamples.h"
#include "store/CsvExport.h"

namespace {

std::string TargetPath() {
    return (std::filesystem::temp_directory_path() /
            ("csv-export-bench-" + std::to_string(::getpid()) + ".csv"))
        .string();
}

// Records of an RFC 4180 text after its byte-order mark, counted strictly:
// -1 when a quote, field or line end is out of place.
long long CountRecords(const std::string& text) {
    long long records = 0;
    size_t i = 3;
    bool lineStart = true;
    while (i < text.size()) {
        if (text[i] == '"') {
            for (++i;; ++i) {
                if (i >= text.size()) return -1;
                if (text[i] == '"') {
                    if (i + 1 < text.size() && text[i + 1] == '"') {
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
            }
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != '\r' && text[i] != '\n') {
                if (text[i] == '"') return -1;
                ++i;
            }
        }
        lineStart = false;
        if (i < text.size() && text[i] == ',') {
            ++i;
        } else if (text.compare(i, 2, "\r\n") == 0) {
            i += 2;
            ++records;
            lineStart = true;
        } else {
            return -1;
        }
    }
    return lineStart ? records : -1;
}

void BM_ExportYear(benchmark::State& state) {
    const auto& year = YearOfSamples();
    const std::string path = TargetPath();
    double seconds = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const TCsvExportResult result =
            ExportReadingsCsv(path, year, [](size_t, size_t) { return true; });
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        benchmark::DoNotOptimize(result);
    }
    const auto bytes = static_cast<double>(std::filesystem::file_size(path));
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());

    state.counters["rows"] = static_cast<double>(year.size());
    state.counters["seconds"] = seconds;
    state.counters["MB"] = bytes / 1e6;
    state.counters["MB/s"] = bytes / 1e6 / seconds;
    // Header plus every sample: the file reads back as it should.
    state.counters["records_read_back"] = static_cast<double>(CountRecords(text));
    if (CountRecords(text) != static_cast<long long>(year.size()) + 1) {
        state.SkipWithError("the file does not read back with every row");
    }
}
BENCHMARK(BM_ExportYear)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
