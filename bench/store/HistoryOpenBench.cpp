// What opening a station's history costs in memory and time as the file
// grows: a day, a month and a year of samples at a 5 s scan (17,280 /
// 518,400 / 6,307,200 records), and five years (31,536,000) on request.
// Each file is written once by the history manager's own appends; each open
// then runs in a fresh process, so that nothing the build allocated hides in
// the figures. Printed per file: resident memory the open table adds, the
// peak resident memory added while opening, the heap bytes the open table
// holds, and the time to open it and append one sample.
//
//   history_open_bench                 files go to $TMPDIR (or /tmp), removed
//   HISTORY_BENCH_DIR=dir history_open_bench   files are kept in dir, reused
//   HISTORY_BENCH_FIVE_YEARS=1 ...     also the five years (minutes to build)

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/VeltDatabase.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"

extern char** environ;

namespace {

constexpr int32_t kScanSeconds = 5;
constexpr int32_t kSamplesPerDay = 86400 / kScanSeconds;
constexpr double kScan = kScanSeconds / 86400.0;
const TDateTime kFirstSample = EncodeDateTime(2024, 1, 1);

struct TSpan {
    const char* Name;
    int64_t Samples;
};
constexpr TSpan kSpans[] = {
    {"day", kSamplesPerDay},
    {"month", int64_t{kSamplesPerDay} * 30},
    {"year", int64_t{kSamplesPerDay} * 365},
    {"five years", int64_t{kSamplesPerDay} * 365 * 5},
};

void AddSample(THisInfoDbMgr& mgr, int64_t k) {
    const auto raw = static_cast<uint16_t>(60 + k % 50);
    mgr.AddReading(1, raw, raw, raw, 0, 0x02, kFirstSample + static_cast<double>(k) * kScan);
}

// A value in kB from /proc/self/status ("VmRSS", "VmHWM").
int64_t StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0) return std::atoll(line.c_str() + prefix.size());
    }
    return -1;
}

// Bytes allocated and not freed, large blocks (mapped on their own) too.
size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The child's part: opens File, appends one sample, prints one line of
// figures (resident added kB, peak added kB, heap added bytes, ms).
int MeasureOpen(const std::string& file, int64_t samples) {
    const int64_t rssBefore = StatusKb("VmRSS");
    const size_t heapBefore = HeapInUse();
    const auto start = std::chrono::steady_clock::now();
    THisInfoDbMgr mgr(file, false);
    AddSample(mgr, samples);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const size_t heapAfter = HeapInUse();
    const int64_t rssAfter = StatusKb("VmRSS");
    const int64_t peak = StatusKb("VmHWM");
    if (mgr.RecordCount() != samples + 1) {
        std::fprintf(stderr, "%s holds %d records, expected %lld\n", file.c_str(),
                     mgr.RecordCount(), static_cast<long long>(samples + 1));
        return 1;
    }
    std::printf("%lld %lld %lld %.1f\n", static_cast<long long>(rssAfter - rssBefore),
                static_cast<long long>(peak - rssBefore),
                static_cast<long long>(heapAfter) - static_cast<long long>(heapBefore), ms);
    return 0;
}

// The child's part for many files: opens each, appends one sample to each,
// and prints the process's resident memory and its peak, in kB.
int MeasureOpenMany(const std::vector<std::string>& files, int64_t samples) {
    std::vector<std::unique_ptr<THisInfoDbMgr>> open;
    for (const std::string& file : files) {
        open.push_back(std::make_unique<THisInfoDbMgr>(file, false));
        AddSample(*open.back(), samples);
        if (open.back()->RecordCount() != samples + 1) return 1;
    }
    std::printf("%lld %lld\n", static_cast<long long>(StatusKb("VmRSS")),
                static_cast<long long>(StatusKb("VmHWM")));
    return 0;
}

// The child's part for a station's recording: `files` new history files,
// one sample appended to each in turn, round after round, each database's
// record cache holding at most `cacheRecords` (0: the engine's default).
// Prints, after each checkpoint round, the round and the heap in use in
// bytes.
int MeasureRecording(const std::vector<std::string>& files, int32_t cacheRecords) {
    constexpr int64_t kCheckpoints[] = {1, 360, 1000, 2000, 5000, 6000};
    std::vector<std::unique_ptr<THisInfoDbMgr>> open;
    for (const std::string& file : files) {
        open.push_back(std::make_unique<THisInfoDbMgr>(file, false));
        if (cacheRecords > 0) open.back()->Database()->SetCacheSize(cacheRecords);
    }
    int64_t round = 0;
    for (const int64_t checkpoint : kCheckpoints) {
        for (; round < checkpoint; ++round) {
            for (auto& mgr : open) AddSample(*mgr, round);
        }
        std::printf("%lld %zu\n", static_cast<long long>(round), HeapInUse());
    }
    return 0;
}

// Writes the span's file unless a kept one is there already; the one
// sample each measurement appends is cut again by rebuilding a copy.
std::string BuildFile(const std::filesystem::path& dir, const TSpan& span) {
    const std::filesystem::path made = dir / span.Name / "made.dt";
    if (!std::filesystem::exists(made)) {
        std::filesystem::create_directories(made.parent_path());
        const std::filesystem::path partial = dir / span.Name / "HistoryData.dt";
        std::filesystem::remove(partial);
        const auto start = std::chrono::steady_clock::now();
        {
            THisInfoDbMgr mgr(partial.string(), false);
            for (int64_t k = 0; k < span.Samples; ++k) AddSample(mgr, k);
        }
        std::filesystem::rename(partial, made);
        std::fprintf(
            stderr, "built %s (%lld samples) in %.1f s\n", span.Name,
            static_cast<long long>(span.Samples),
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const std::filesystem::path copy = dir / span.Name / "HistoryData.dt";
    std::filesystem::copy_file(made, copy, std::filesystem::copy_options::overwrite_existing);
    return copy.string();
}

// Runs this program with `args` and returns what it printed.
std::string RunChild(std::vector<std::string> args) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::string self = "/proc/self/exe";
    args.insert(args.begin(), self);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string out;
    char buffer[256];
    ssize_t got = 0;
    while ((got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(got));
    }
    ::close(pipeFds[0]);
    if (spawned != 0) return {};
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : std::string();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--open") == 0) {
        return MeasureOpen(argv[2], std::atoll(argv[3]));
    }
    if (argc > 3 && std::strcmp(argv[1], "--open-many") == 0) {
        return MeasureOpenMany(std::vector<std::string>(argv + 3, argv + argc),
                               std::atoll(argv[2]));
    }
    if (argc > 3 && std::strcmp(argv[1], "--record") == 0) {
        return MeasureRecording(std::vector<std::string>(argv + 3, argv + argc),
                                std::atoi(argv[2]));
    }
    const char* kept = std::getenv("HISTORY_BENCH_DIR");
    const char* tmp = std::getenv("TMPDIR");
    const std::filesystem::path dir =
        kept ? std::filesystem::path(kept)
             : std::filesystem::path(tmp ? tmp : "/tmp") /
                   ("history-open-bench-" + std::to_string(::getpid()));
    const bool fiveYears = std::getenv("HISTORY_BENCH_FIVE_YEARS") != nullptr;
    constexpr int kRuns = 3;

    std::printf("%-11s %10s %13s %13s %13s %10s %16s\n", "history", "records", "resident kB",
                "peak kB", "heap bytes", "B/record", "open+append ms");
    for (const TSpan& span : kSpans) {
        if (span.Samples > kSamplesPerDay * 365 && !fiveYears) continue;
        const std::string file = BuildFile(dir, span);
        // The median of a few runs for the time; the memory figures repeat.
        std::vector<double> times;
        long long rss = 0, peak = 0, heap = 0;
        for (int run = 0; run < kRuns; ++run) {
            const std::string line =
                RunChild({"--open", BuildFile(dir, span), std::to_string(span.Samples)});
            std::istringstream in(line);
            double ms = 0;
            if (!(in >> rss >> peak >> heap >> ms)) {
                std::fprintf(stderr, "the open of %s failed\n", file.c_str());
                return 1;
            }
            times.push_back(ms);
        }
        std::sort(times.begin(), times.end());
        std::printf("%-11s %10lld %13lld %13lld %13lld %10.2f %16.1f\n", span.Name,
                    static_cast<long long>(span.Samples), rss, peak, heap,
                    static_cast<double>(heap) / static_cast<double>(span.Samples),
                    times[kRuns / 2]);
        std::fflush(stdout);
    }

    // Ten stations with a year each, in one process.
    constexpr int kStationsWithAYear = 10;
    const TSpan& year = kSpans[2];
    std::vector<std::string> args = {"--open-many", std::to_string(year.Samples)};
    const std::string yearFile = BuildFile(dir, year);
    for (int n = 0; n < kStationsWithAYear; ++n) {
        const std::filesystem::path copy =
            dir / year.Name / ("station" + std::to_string(n) + ".dt");
        std::filesystem::copy_file(yearFile, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        args.push_back(copy.string());
    }
    std::istringstream many(RunChild(args));
    long long rss = 0, peak = 0;
    if (!(many >> rss >> peak)) {
        std::fprintf(stderr, "the open of %d year-long files failed\n", kStationsWithAYear);
        return 1;
    }
    std::printf("%d year-long files open in one process: resident %.1f MB, peak %.1f MB\n",
                kStationsWithAYear, static_cast<double>(rss) / 1024,
                static_cast<double>(peak) / 1024);
    for (int n = 0; n < kStationsWithAYear; ++n) {
        std::filesystem::remove(dir / year.Name / ("station" + std::to_string(n) + ".dt"));
    }

    // 255 stations recording: the heap as their files grow, with the
    // engine's default record cache (what the station used) and with the
    // recorder's. Each database caches records it appends, up to its bound.
    constexpr int kStations = 255;
    std::printf("\n%d files recording, heap in use (MB) after each round of appends:\n", kStations);
    bool headed = false;
    for (const int32_t cache : {0, kHistoryAppendCacheRecords}) {
        const std::filesystem::path recording = dir / ("recording-" + std::to_string(cache));
        std::filesystem::remove_all(recording);
        std::filesystem::create_directories(recording);
        std::vector<std::string> record = {"--record", std::to_string(cache)};
        for (int n = 0; n < kStations; ++n) {
            record.push_back((recording / ("station" + std::to_string(n) + ".dt")).string());
        }
        std::istringstream out(RunChild(record));
        std::vector<std::pair<long long, size_t>> figures;
        long long round = 0;
        size_t heap = 0;
        while (out >> round >> heap) figures.emplace_back(round, heap);
        if (!headed) {
            std::printf("%-24s", "rounds");
            for (const auto& [rounds, bytes] : figures) std::printf("%8lld", rounds);
            std::printf("\n");
            headed = true;
        }
        std::printf("%-24s", cache == 0 ? "engine's default cache" : "appending file's cache");
        for (const auto& [rounds, bytes] : figures) {
            std::printf("%8.1f", static_cast<double>(bytes) / 1048576);
        }
        std::printf("\n");
        std::filesystem::remove_all(recording);
    }
    if (!kept) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    return 0;
}
