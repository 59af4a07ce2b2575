// Many controllers on one shared line, registered through the station roster
// and polled by the scan cycle, served by one tcsim: how long a relay pass
// and a temperature pass take, against what the line allows.
//
//   wire    32 controllers on one pty, tcsim timing every reply at 9600
//           baud after a 5 ms turnaround. The bound is per request: request
//           and reply on the wire at 10 bits a byte, the turnaround and the
//           inter-frame gap before the next request.
//   silent  the same with 4 of them never answering, at a reply time-out of
//           200 ms (short, to keep the run short): the bound adds one
//           time-out per silent controller (its request lies inside it, and
//           the line is quiet long enough for the next one when it ends).
//   tcp     32 controllers behind one serial server's connection on
//           loopback, replies at once. The exchange still paces the
//           requests for the stations' 9600 baud: no wire bound, the floor
//           is each request's own wire time and the gap.
//
// Beside the bound, each pass is set against the floor of this rig: tcsim
// gets a request the moment it is written and times only its reply, so a
// pass can beat the bound of a real wire (FloorRequestMs).
//
// Each pass runs from the cycle's timer handler until every station's
// request was answered or timed out (their line counters), median of five
// after one warm-up pass of each kind. CPU is the whole process's (the
// ports' worker threads included) over the pass. Figures only: nothing here
// fails on a slow machine.

#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/LoopGap.h"
#include "common/SimProcess.h"
#include "polling/LineExchange.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/ScanView.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "serial/PortName.h"
#include "serial/QtCommSink.h"
#include "store/Items.h"
#include "store/StationChecks.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"

namespace {

namespace fs = std::filesystem;

constexpr int kControllers = 32;
constexpr int kSilentControllers = 4;
constexpr int kPasses = 5;
constexpr uint32_t kBaud = 9600;
constexpr int32_t kBaudIndex = 5;  // 9600 in the stored list
constexpr int kBitsPerChar = 10;
constexpr int kTurnaroundMs = 5;
constexpr int32_t kShortReplyTimeoutMs = 200;
constexpr int kPassLimitMs = 30000;
constexpr int kHeartbeatMs = 100;

double Ms(std::chrono::microseconds time) {
    return static_cast<double>(time.count()) / 1000.0;
}

// One request and its reply on the wire, the controller's turnaround and
// the gap before the next request.
double AnsweredRequestMs(uint8_t function) {
    const double bytes = static_cast<double>(kRequestSize + ExpectedReplyLength(function));
    return bytes * kBitsPerChar * 1000.0 / kBaud + kTurnaroundMs +
           Ms(InterFrameGap(kBaud, kBitsPerChar));
}

// The least a request can take on this rig: tcsim gets our request at once
// (a pty or loopback has no wire time), so only its reply is timed, while the
// exchange counts the line quiet from the later of that reply's last byte
// and the end of our request on a real wire; then the gap. `timedReply`:
// tcsim times the reply (turnaround and wire time); otherwise it is instant.
double FloorRequestMs(uint8_t function, bool timedReply) {
    const double reply = timedReply
                             ? kTurnaroundMs + static_cast<double>(ExpectedReplyLength(function)) *
                                                   kBitsPerChar * 1000.0 / kBaud
                             : 0.0;
    return std::max(Ms(WireTime(kRequestSize, kBaud, kBitsPerChar)), reply) +
           Ms(InterFrameGap(kBaud, kBitsPerChar));
}

class TRosterView final : public IScanView {
  public:
    explicit TRosterView(TStationRoster& roster) : FRoster(roster) {}
    int Errors = 0;
    std::vector<TStationState*> Stations() override { return FRoster.Stations(); }
    TStationState* SelectedStation() override { return nullptr; }
    void RefreshConnectionCommands(TStationState&) override {}
    void ShowLiveView() override {}
    void ShowStateText(uint8_t) override {}
    void ReportError(const std::string& message) override {
        if (Errors++ == 0) std::fprintf(stderr, "error: %s\n", message.c_str());
    }

  private:
    TStationRoster& FRoster;
};

// tcsim with wire timing or without, serving `lineArgs`.
TSimProcess StartSim(const std::vector<std::string>& lineArgs, bool wireTiming) {
    std::vector<std::string> options = {"--seed", "1"};
    if (wireTiming) {
        options.push_back("--wire-baud");
        options.push_back(std::to_string(kBaud) + ":" + std::to_string(kTurnaroundMs));
    }
    options.insert(options.end(), lineArgs.begin(), lineArgs.end());
    return TSimProcess(TCSIM_PATH, options, "tc-shared-bench");
}

// The stations added through a roster on COM1 and a cycle over them.
class TSharedLine {
  public:
    TSharedLine(const std::string& programDir, int32_t replyTimeoutMs)
        : FDir(WithTrailingSlash(programDir)),
          FStationMgr(MakeStationFile(FDir), false),
          FRoster(FDir, FStationMgr),
          FView(FRoster),
          FRecorder(FDir, false) {
        SetCommProgramDir(FDir);
        FSettings.ScanInterval = 600000;
        FSettings.MaxOLTimer = 600000;
        FSettings.ReplyTimeout = replyTimeoutMs;
        FCycle = std::make_unique<TScanCycle>(FView, FSettings, FRecorder);
        FRoster.SetReceiveHandler(FCycle->ReceiveHandler());
        // Wakes the waits below now and then, so a pass that never ends is
        // noticed; the timer of processEvents(flags, ms) would spin instead.
        FHeartbeat.setInterval(kHeartbeatMs);
        FHeartbeat.start();
        for (int address = 1; address <= kControllers; ++address) {
            TStationFields fields;
            fields.DevName = "dev" + std::to_string(address);
            fields.StationPosName = "pos" + std::to_string(address);
            fields.TmpAddr = address;
            fields.PortNo = 1;
            fields.PortBaud = kBaudIndex;
            fields.PortBitSize = 3;  // 8
            fields.PortParity = 0;
            fields.PortStopBits = 0;
            fields.PortDtrControl = 0;
            const TStationState& station = FRoster.Add(fields, MonotonicNow());
            if (station.State != kStateDisconnected) throw std::runtime_error("COM1 not opened");
        }
        if (FRoster.Lines().size() != 1 || !FRoster.Lines().front()->IsShared()) {
            throw std::runtime_error("the stations do not share one line");
        }
    }
    ~TSharedLine() { FRoster.CloseAll(); }
    TSharedLine(const TSharedLine&) = delete;
    TSharedLine& operator=(const TSharedLine&) = delete;

    struct TPassFigures {
        double Ms = -1;
        double CpuMs = 0;
    };

    // One pass until every station's request was answered or timed out;
    // Ms -1 past the limit.
    TPassFigures Pass(bool temperatures) {
        WaitIdle();
        const uint64_t done = Finished() + kControllers;
        TPassFigures figures;
        const double cpuBefore = CpuSeconds();
        QElapsedTimer clock;
        clock.start();
        if (temperatures) {
            FCycle->ScanTimer2Timer();
        } else {
            FCycle->ScanTimerTimer();
        }
        while (Finished() < done) {
            if (clock.elapsed() > kPassLimitMs) return figures;
            // Blocks until an event (a received chunk, the line timer or the
            // heartbeat) came: the process's CPU is the station's own.
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        figures.Ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
        figures.CpuMs = (CpuSeconds() - cpuBefore) * 1000;
        return figures;
    }

    int Errors() const { return FView.Errors; }

  private:
    static std::string MakeStationFile(const std::string& dir) {
        const std::string file = StationFileName(dir);
        fs::create_directories(fs::path(file).parent_path());
        return file;
    }

    uint64_t Finished() const {
        uint64_t total = 0;
        for (const TStationState* station : FRoster.Stations()) {
            total += station->Line.Stats().Replies + station->Line.Stats().TimeOuts;
        }
        return total;
    }

    // Nothing queued or outstanding and our last request written out, so a
    // pass starts on a quiet line.
    void WaitIdle() {
        for (const auto& line : FRoster.Lines()) {
            while (line->Exchange.HasOutstanding() || line->Exchange.QueuedCount() > 0) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
            while (!line->Port->SendIdle()) std::this_thread::yield();
        }
    }

    std::string FDir;
    TStationDbMgr FStationMgr;
    TStationRoster FRoster;
    TRosterView FView;
    TSysParaInfo FSettings;
    TSampleRecorder FRecorder;
    std::unique_ptr<TScanCycle> FCycle;
    QTimer FHeartbeat;
};

struct TKindFigures {
    double MedianMs = -1;
    double CpuMs = 0;  // median too
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A warm-up pass of each kind, then kPasses of each, relay and temperature
// in turn as the timers run them.
std::array<TKindFigures, 2> MeasurePasses(TSharedLine& line) {
    std::vector<double> ms[2], cpu[2];
    for (int n = 0; n <= kPasses; ++n) {
        for (int kind = 0; kind < 2; ++kind) {
            const TSharedLine::TPassFigures pass = line.Pass(kind == 1);
            if (pass.Ms < 0) throw std::runtime_error("a pass did not end in time");
            if (n == 0) continue;
            ms[kind].push_back(pass.Ms);
            cpu[kind].push_back(pass.CpuMs);
        }
    }
    if (line.Errors() > 0) throw std::runtime_error("the cycle reported errors");
    return {TKindFigures{Median(ms[0]), Median(cpu[0])},
            TKindFigures{Median(ms[1]), Median(cpu[1])}};
}

std::vector<std::string> LineArgs(const std::string& line, int silent) {
    std::vector<std::string> args;
    for (int address = 1; address <= kControllers; ++address) {
        std::string arg = line + ":" + std::to_string(address);
        // Spread over the line, so time-outs fall between answered requests.
        if (silent > 0 && address % (kControllers / silent) == 0) arg += ":silent";
        args.push_back(arg);
    }
    return args;
}

// `boundMs` <= 0: no wire bound for that line.
void PrintRow(const char* name, const char* pass, const TKindFigures& figures, double boundMs,
              double floorMs, const char* target) {
    std::printf("%-7s %-12s %8.1f ", name, pass, figures.MedianMs);
    if (boundMs > 0) {
        std::printf("%8.1f %6.3f ", boundMs, figures.MedianMs / boundMs);
    } else {
        std::printf("%8s %6s ", "-", "-");
    }
    std::printf("%8.1f %6.3f  %-6s %8.1f\n", floorMs, figures.MedianMs / floorMs, target,
                figures.CpuMs);
}

void Run() {
    std::printf("%d controllers on one shared line; median of %d passes each\n", kControllers,
                kPasses);
    std::printf("%-7s %-12s %8s %8s %6s %8s %6s  %-6s %8s\n", "line", "pass", "pass ms", "bound ms",
                "ratio", "floor ms", "ratio", "target", "cpu ms");
    const uint8_t kinds[2] = {kFnReadCoils, kFnReadInputRegs};
    const char* names[2] = {"relay", "temperature"};
    {
        const TSimProcess sim = StartSim(LineArgs("COM1", 0), true);
        TSharedLine line(sim.Dir(), 0);  // the default time-out
        const auto figures = MeasurePasses(line);
        for (int k = 0; k < 2; ++k) {
            PrintRow("wire", names[k], figures[k], kControllers * AnsweredRequestMs(kinds[k]),
                     kControllers * FloorRequestMs(kinds[k], true), "<=1.15");
        }
    }
    {
        const TSimProcess sim = StartSim(LineArgs("COM1", kSilentControllers), true);
        TSharedLine line(sim.Dir(), kShortReplyTimeoutMs);
        const auto figures = MeasurePasses(line);
        const int answering = kControllers - kSilentControllers;
        const double timeouts = kSilentControllers * static_cast<double>(kShortReplyTimeoutMs);
        for (int k = 0; k < 2; ++k) {
            PrintRow("silent", names[k], figures[k],
                     answering * AnsweredRequestMs(kinds[k]) + timeouts,
                     answering * FloorRequestMs(kinds[k], true) + timeouts, "<=1.05");
        }
    }
    {
        const TSimProcess sim = StartSim(LineArgs("tcp:0", 0), false);
        fs::create_directories(sim.Dir() + "/ports");
        fs::create_symlink("tcp:127.0.0.1:" + sim.ReadyValue("tcp:0"), sim.Dir() + "/ports/COM1");
        TSharedLine line(sim.Dir(), 0);
        const auto figures = MeasurePasses(line);
        for (int k = 0; k < 2; ++k) {
            PrintRow("tcp", names[k], figures[k], 0, kControllers * FloorRequestMs(kinds[k], false),
                     "-");
        }
    }
    std::printf(
        "bound: per request (8 + reply bytes) x 10 bits at %u baud + %d ms turnaround + %.3f ms "
        "gap;\n"
        "       silent: the %d answered so + %d x %d ms reply time-out (shortened to keep the "
        "run short)\n"
        "floor: what this rig allows: tcsim times only its replies, the request reaches it at "
        "once;\n"
        "       per request max(%.3f ms request, turnaround + reply) + gap; tcp: replies at "
        "once\n"
        "cpu: the whole process over the pass (median)\n",
        kBaud, kTurnaroundMs, Ms(InterFrameGap(kBaud, kBitsPerChar)),
        kControllers - kSilentControllers, kSilentControllers, kShortReplyTimeoutMs,
        Ms(WireTime(kRequestSize, kBaud, kBitsPerChar)));
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    InstallQtCommSinks();
    try {
        Run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "shared_line_bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
