// The scan cycle against 255 simulated controllers, one pty each, served by
// one tcsim: how long a pass takes until every reply is handled (and, for
// the temperature pass, stored), with the history files' durability on and
// off, the longest the event loop could not turn meanwhile (the largest gap
// between two firings of a 0 ms timer: what the window would freeze for),
// the CPU a pass costs, and how much CPU the station uses between passes.
// The first temperature pass creates every history file and is reported on
// its own. Durable recording runs two ways in the same run: as the window
// records now (history files opened on the opener thread, flushed by the
// flusher thread, replies delivered in slices), and as it recorded before
// (opened and flushed inside each reply's handler, a burst of replies
// delivered at once).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/LoopGap.h"
#include "common/SimProcess.h"
#include "polling/Globe.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/ScanView.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/PortName.h"
#include "serial/QtCommSink.h"
#include "store/HisInfoDbMgr.h"
#include "store/Items.h"

namespace {

constexpr int kStations = 255;
constexpr int kPassLimitMs = 30000;
constexpr int kIdleMeasureMs = 10000;

class TBenchView final : public IScanView {
  public:
    std::vector<TStationState*> List;
    int Errors = 0;
    std::vector<TStationState*> Stations() override { return List; }
    TStationState* SelectedStation() override { return List.empty() ? nullptr : List.front(); }
    void RefreshConnectionCommands(TStationState&) override {}
    void ShowLiveView() override {}
    void ShowStateText(uint8_t) override {}
    void ReportError(const std::string& message) override {
        if (Errors++ == 0) std::fprintf(stderr, "recording error: %s\n", message.c_str());
    }
};

// tcsim serving COM1..COM255 at addresses 1..255.
std::vector<std::string> SimOptions() {
    std::vector<std::string> options = {"--seed", "1"};
    for (int n = 1; n <= kStations; ++n) {
        options.push_back("COM" + std::to_string(n) + ":" + std::to_string(n));
    }
    return options;
}

enum class TRecording { NotDurable, Durable, DurableAsBefore };

struct TPassFigures {
    double Ms = -1;    // until every reply was handled; -1 past the limit
    double GapMs = 0;  // the event loop's longest gap meanwhile
    double CpuMs = 0;  // the process's CPU meanwhile (tcsim not counted)
};

// The stations and a cycle over them; the recorder (and so durability) can
// be exchanged between benchmarks.
class TStation255 {
  public:
    TStation255() {
        SetCommProgramDir(FSim.Dir());
        FSettings.ScanInterval = 60000;
        FSettings.MaxOLTimer = 300000;
        UseRecorder(TRecording::Durable);
        for (int n = 1; n <= kStations; ++n) {
            TStationInfo& info = FInfos.emplace_back();
            info.TmpAddr = static_cast<uint8_t>(n);
            info.PortNo = static_cast<uint8_t>(n);
            info.PortBaud = 5;
            FStations.push_back(MakeStationState(info, {}, TPortSetup::BaudOnly, MonotonicNow()));
            TStationState& station = *FStations.back();
            if (station.State != kStateDisconnected) throw std::runtime_error("port not opened");
            station.Port->OnReceiveData = [this](TComm* sender, const uint8_t* buffer,
                                                 uint16_t length) {
                FCycle->ReceiveData(sender, buffer, length);
                const TDecodedReply reply = DecodeReply(buffer, length);
                if (reply.Accepted) ++FHandled;
            };
            FView.List.push_back(&station);
        }
    }
    ~TStation255() {
        FView.List.clear();
        FStations.clear();
    }

    // Starts every history file afresh.
    void UseRecorder(TRecording recording) {
        for (auto& station : FStations) station->HistoryMgr.reset();
        std::error_code ignored;
        std::filesystem::remove_all(FSim.Dir() + "/data", ignored);
        FCycle.reset();
        FRecorder =
            std::make_unique<TSampleRecorder>(FSim.Dir(), recording != TRecording::NotDurable);
        FCycle = std::make_unique<TScanCycle>(FView, FSettings, *FRecorder);
        const bool before = recording == TRecording::DurableAsBefore;
        if (before) {
            FRecorder->FlushInCalls();
            FRecorder->SetOpenedHandler(nullptr);
        }
        TQtCommSink::SetDeliverySliceForTest(before ? std::chrono::hours(1)
                                                    : TQtCommSink::kDeliverySlice);
    }

    TScanCycle& Cycle() { return *FCycle; }
    int Errors() const { return FView.Errors; }

    // Runs one pass and the event loop until every station's reply has been
    // handled.
    TPassFigures Pass(bool temperatures) {
        WaitIdle();
        FHandled = 0;
        TPassFigures figures;
        const double cpuBefore = CpuSeconds();
        TLoopGap gap;
        QElapsedTimer clock;
        clock.start();
        if (temperatures) {
            FCycle->ScanTimer2Timer();
        } else {
            FCycle->ScanTimerTimer();
        }
        // Every reply handled and, for temperatures, every sample stored
        // (a file opening on the opener thread stores its samples after).
        while (FHandled < kStations || (temperatures && SamplesWaiting())) {
            if (clock.elapsed() > kPassLimitMs) return figures;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        figures.Ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        figures.GapMs = gap.LongestMs();
        figures.CpuMs = (CpuSeconds() - cpuBefore) * 1000;
        return figures;
    }

    int64_t StoredSamples() {
        int64_t total = 0;
        for (auto& station : FStations) {
            if (station->HistoryMgr) total += station->HistoryMgr->RecordCount();
        }
        return total;
    }

  private:
    bool SamplesWaiting() const {
        return std::any_of(FStations.begin(), FStations.end(),
                           [](const auto& station) { return !station->PendingSamples.empty(); });
    }

    void WaitIdle() {
        for (auto& station : FStations) {
            while (!station->Port->SendIdle()) std::this_thread::yield();
        }
    }

    TSimProcess FSim{TCSIM_PATH, SimOptions(), "tc-scan-bench"};
    TSysParaInfo FSettings;
    TBenchView FView;
    std::unique_ptr<TSampleRecorder> FRecorder;
    std::unique_ptr<TScanCycle> FCycle;
    std::deque<TStationInfo> FInfos;
    std::vector<std::unique_ptr<TStationState>> FStations;
    int FHandled = 0;
};

// Made on first use, released before the application object goes.
std::unique_ptr<TStation255> gStations;

TStation255& Stations() {
    if (!gStations) gStations = std::make_unique<TStation255>();
    return *gStations;
}

void RunPasses(benchmark::State& state, bool temperatures, TRecording recording) {
    TStation255& stations = Stations();
    stations.UseRecorder(recording);
    double worst = 0;
    double worstGap = 0;
    double cpu = 0;
    bool first = true;
    for (auto _ : state) {
        const TPassFigures pass = stations.Pass(temperatures);
        if (pass.Ms < 0) {
            state.SkipWithError("not every station answered in time");
            return;
        }
        if (first && temperatures) {
            // The pass that creates every history file.
            state.counters["first_ms"] = pass.Ms;
            state.counters["first_gap_ms"] = pass.GapMs;
        } else {
            worst = std::max(worst, pass.Ms);
            worstGap = std::max(worstGap, pass.GapMs);
        }
        first = false;
        cpu += pass.CpuMs;
        state.SetIterationTime(pass.Ms / 1000);
    }
    state.counters["worst_ms"] = worst;
    state.counters["loop_gap_ms"] = worstGap;
    state.counters["cpu_ms_per_pass"] = cpu / static_cast<double>(state.iterations());
    if (temperatures) {
        state.counters["stored_per_pass"] =
            static_cast<double>(stations.StoredSamples()) / static_cast<double>(state.iterations());
    }
    if (stations.Errors() > 0) state.SkipWithError("recording errors");
}

// recording 1: replies delivered in slices, 2: a burst delivered at once.
void BM_RelayPass255(benchmark::State& state) {
    RunPasses(state, false, static_cast<TRecording>(state.range(0)));
}
BENCHMARK(BM_RelayPass255)
    ->ArgNames({"recording"})
    ->Arg(static_cast<int>(TRecording::Durable))
    ->Arg(static_cast<int>(TRecording::DurableAsBefore))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);

// From the start of the pass until all 255 samples are stored. recording:
// 0 not durable, 1 durable, 2 durable as the window recorded before.
void BM_TemperaturePass255(benchmark::State& state) {
    RunPasses(state, true, static_cast<TRecording>(state.range(0)));
}
BENCHMARK(BM_TemperaturePass255)
    ->ArgNames({"recording"})
    ->Arg(static_cast<int>(TRecording::NotDurable))
    ->Arg(static_cast<int>(TRecording::Durable))
    ->Arg(static_cast<int>(TRecording::DurableAsBefore))
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(10);

// The process's CPU between passes: 255 open ports, scanning on, no pass due.
void BM_IdleBetweenPasses255(benchmark::State& state) {
    TStation255& stations = Stations();
    stations.Cycle().StartScanning();
    double percent = 0;
    for (auto _ : state) {
        QEventLoop loop;
        QTimer::singleShot(kIdleMeasureMs, &loop, &QEventLoop::quit);
        QElapsedTimer wall;
        const double cpuBefore = CpuSeconds();
        wall.start();
        loop.exec();
        const double cpu = CpuSeconds() - cpuBefore;
        percent = 100.0 * cpu / (static_cast<double>(wall.elapsed()) / 1000);
        state.SetIterationTime(static_cast<double>(wall.elapsed()) / 1000);
    }
    stations.Cycle().StopScanning();
    state.counters["cpu_percent_of_one_core"] = percent;
}
BENCHMARK(BM_IdleBetweenPasses255)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    InstallQtCommSinks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    gStations.reset();
    benchmark::Shutdown();
    return 0;
}
