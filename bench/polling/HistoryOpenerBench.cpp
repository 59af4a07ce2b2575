// What the window's thread pays when a station's history file has to be
// opened for its first sample: the time spent inside the reply handlers
// (main-thread time), the longest the event loop could not turn (the largest
// gap between two firings of a 0 ms timer) and the time until every sample
// is stored, for
//
//   year      one station whose file holds a year of 5 s samples (6,307,200)
//   damaged   the same file with its last link cut: recovered first
//   new255    255 stations without files, all replying in one burst
//
// Replies go through the scan cycle's receive handler exactly as a port's
// would (the ports are never opened); durability is on, as in the field.
//
//   opener_bench                   files go to $TMPDIR (or /tmp), removed
//   OPENER_BENCH_DIR=dir opener_bench   the year's file is kept in dir, reused
//
// Two rounds (the first meets a cold page cache); the damaged file once.

#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/LoopGap.h"
#include "engine/VeltDatabase.h"
#include "engine/VeltTable.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/ScanView.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/Comm.h"
#include "store/HisInfoDbMgr.h"
#include "store/Items.h"
#include "store/StorePaths.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t kScanSeconds = 5;
constexpr int32_t kYearSamples = 86400 / kScanSeconds * 365;
constexpr double kScan = kScanSeconds / 86400.0;
constexpr TDateTime kFirstSample = 45292.0;  // 2024-01-01
constexpr int32_t kLinkOffset = 6;           // a stored record's link to the next
constexpr int kStoreLimitMs = 900000;        // a year recovered on a busy disk

class TBenchView final : public IScanView {
  public:
    std::vector<TStationState*> List;
    int Errors = 0;
    int Notices = 0;
    std::vector<TStationState*> Stations() override { return List; }
    TStationState* SelectedStation() override { return nullptr; }
    void RefreshConnectionCommands(TStationState&) override {}
    void ShowLiveView() override {}
    void ShowStateText(uint8_t) override {}
    void ReportError(const std::string& message) override {
        // A recovery's notice comes this way too.
        if (message.find("已恢复") != std::string::npos) {
            ++Notices;
            return;
        }
        if (Errors++ == 0) std::fprintf(stderr, "recording error: %s\n", message.c_str());
    }
};

std::vector<uint8_t> RegsReply(uint8_t address) {
    std::vector<uint8_t> frame = {address, kFnReadInputRegs, 8};
    for (uint16_t value : {uint16_t{105}, uint16_t{106}, uint16_t{107}, uint16_t{0}}) {
        frame.push_back(static_cast<uint8_t>(value >> 8));
        frame.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    uint8_t low = 0;
    uint8_t high = 0;
    CalcCrc16(frame.data(), static_cast<int32_t>(frame.size()), low, high);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

// The year's file, written once by the history manager's own appends.
std::string YearFile(const fs::path& dir) {
    const fs::path made = dir / "year.dt";
    if (fs::exists(made)) return made.string();
    const fs::path partial = dir / "year.partial";
    fs::remove(partial);
    const auto start = std::chrono::steady_clock::now();
    {
        THisInfoDbMgr mgr(partial.string(), false);
        mgr.Database()->BeginAccess();
        for (int32_t k = 0; k < kYearSamples; ++k) {
            const auto raw = static_cast<uint16_t>(60 + k % 50);
            mgr.AddReading(1, raw, raw, raw, 0, 0x02, kFirstSample + k * kScan);
        }
        mgr.Database()->EndAccess();
    }
    fs::rename(partial, made);
    std::fprintf(stderr, "built the year (%d samples) in %.1f s\n", kYearSamples,
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    return made.string();
}

// The year's file with the previous last record's link back to "none", as
// an append cut short leaves it.
std::string DamagedYearFile(const fs::path& dir) {
    const fs::path damaged = dir / "damaged-year.dt";
    if (fs::exists(damaged)) return damaged.string();
    fs::copy_file(YearFile(dir), damaged);
    TVeltDatabase db;
    db.Open(damaged.string(), "");
    TVeltTable table(&db);
    table.Open(kHistoryTableName, true);
    const int32_t previous = table.RecordPosition(kYearSamples - 1);
    table.Close();
    db.Close();
    FILE* f = std::fopen(damaged.c_str(), "r+b");
    if (f == nullptr) throw std::runtime_error("cannot damage the year");
    const int32_t none = -1;
    std::fseek(f, previous + kLinkOffset, SEEK_SET);
    std::fwrite(&none, sizeof none, 1, f);
    std::fclose(f);
    return damaged.string();
}

struct TFigures {
    double CallsMs = 0;   // inside the reply handlers
    double GapMs = 0;     // the event loop's longest gap, until all were stored
    double StoredMs = 0;  // until every station's sample was stored
    int Errors = 0;
    int Notices = 0;
};

// Stations 1..count in a program directory of their own, each with the
// given file (none: a new one is created), one reply each in one burst.
TFigures Run(const fs::path& programDir, int count, const std::string& history) {
    fs::remove_all(programDir);
    fs::create_directories(programDir);
    for (int n = 1; n <= count && !history.empty(); ++n) {
        const fs::path live = HistoryFileName(programDir.string() + "/", static_cast<uint8_t>(n));
        fs::create_directories(live.parent_path());
        fs::copy_file(history, live);
    }
    TBenchView view;
    TSysParaInfo settings;
    settings.ScanInterval = 60000;
    settings.MaxOLTimer = 300000;
    std::deque<TStationState> stations;
    std::vector<std::vector<uint8_t>> replies;
    TFigures figures;
    {
        TSampleRecorder recorder(programDir.string(), true);
        TScanCycle cycle(view, settings, recorder);
        for (int n = 1; n <= count; ++n) {
            TStationState& station = stations.emplace_back();
            station.Address = static_cast<uint8_t>(n);
            station.Port = std::make_shared<TComm>();
            view.List.push_back(&station);
            replies.push_back(RegsReply(station.Address));
        }
        auto stored = [&] {
            return std::all_of(stations.begin(), stations.end(), [](const TStationState& s) {
                return s.PendingSamples.empty() && s.HistoryMgr != nullptr;
            });
        };
        QElapsedTimer clock;
        double callsMs = 0;
        TLoopGap gap;
        clock.start();
        QTimer::singleShot(0, [&] {
            QElapsedTimer calls;
            calls.start();
            for (size_t k = 0; k < stations.size(); ++k) {
                cycle.ReceiveData(stations[k].Port.get(), replies[k].data(),
                                  static_cast<uint16_t>(replies[k].size()));
            }
            callsMs = static_cast<double>(calls.nsecsElapsed()) / 1e6;
        });
        QCoreApplication::processEvents();
        while (!stored() && clock.elapsed() < kStoreLimitMs) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        figures.StoredMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        figures.GapMs = gap.LongestMs();
        figures.CallsMs = callsMs;
        recorder.WaitFlushed();
        if (!stored()) ++view.Errors;
        view.List.clear();
        for (TStationState& station : stations) station.HistoryMgr.reset();
    }
    figures.Errors = view.Errors;
    figures.Notices = view.Notices;
    return figures;
}

void Print(const char* name, const TFigures& f) {
    std::printf("%-8s main-thread %8.1f ms   longest loop gap %8.1f ms   all stored %8.1f ms%s%s\n",
                name, f.CallsMs, f.GapMs, f.StoredMs, f.Errors > 0 ? "   ERRORS" : "",
                f.Notices > 0 ? "   (recovery reported)" : "");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const char* kept = std::getenv("OPENER_BENCH_DIR");
    fs::path dir;
    if (kept != nullptr) {
        dir = kept;
        fs::create_directories(dir);
    } else {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/tc-opener-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return 1;
        dir = pattern;
    }
    const fs::path station = dir / "station";
    int errors = 0;
    for (int round = 0; round < 2; ++round) {
        std::printf("round %d\n", round + 1);
        const TFigures year = Run(station, 1, YearFile(dir));
        Print("year", year);
        // Minutes on a busy disk: once.
        TFigures damaged;
        if (round == 0) {
            damaged = Run(station, 1, DamagedYearFile(dir));
            Print("damaged", damaged);
            if (damaged.Notices != 1) ++errors;
        }
        const TFigures fresh = Run(station, 255, "");
        Print("new255", fresh);
        errors += year.Errors + damaged.Errors + fresh.Errors;
    }
    fs::remove_all(station);
    if (kept == nullptr) fs::remove_all(dir);
    return errors == 0 ? 0 : 1;
}
