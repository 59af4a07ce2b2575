// Figures of the serial port component, over pseudo-terminals, with events
// raised on a Qt main thread as in the station:
//   BM_ReplyLatency  a 13-byte reply: from its last byte written by the far
//                    end to OnReceiveData on the main thread (the chunk ends
//                    after the 100 ms inter-byte gap, so ~100 ms is the floor)
//   BM_IdleCpu       CPU time of the whole process over 10 s with open, idle
//                    ports (getrusage), and its context switches
//   BM_ManyPorts     255 ports open at once (510 worker threads): one request
//                    out and one reply in on every port, per cycle

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/Comm.h"
#include "serial/PtyPair.h"
#include "serial/QtCommSink.h"

namespace {

using TClock = std::chrono::steady_clock;

const std::vector<uint8_t> kRequest = {0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0xF1, 0xC9};
const std::vector<uint8_t> kReply = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                                     0x00, 0x43, 0x00, 0x44, 0x5A, 0x1F};

// Runs the main thread's event loop until done() or the timeout. The loop
// sleeps until an event comes; a coarse timer wakes it to check the timeout.
template <typename Done>
bool RunEventsUntil(Done done, int timeoutMs = 10000) {
    constexpr int kCheckMs = 200;
    QTimer wake;
    wake.start(kCheckMs);
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at =
        std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5));
    return values[at];
}

struct TPort {
    TPtyPair Pty;
    std::unique_ptr<TComm> Comm = std::make_unique<TComm>();
    size_t Received = 0;
    int Empties = 0;

    explicit TPort() {
        Comm->SetCommName(Pty.SlavePath());
        Comm->OnReceiveData = [this](TComm*, const uint8_t*, uint16_t length) {
            Received += length;
        };
        Comm->OnSendDataEmpty = [this](TComm*) { ++Empties; };
    }
    ~TPort() { Comm->ClosePort(); }
};

double CpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

// Each port needs the pty master, the slave and two event descriptors.
bool EnsureDescriptors(size_t ports) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    const rlim_t wanted = static_cast<rlim_t>(ports * 4 + 64);
    if (limit.rlim_cur >= wanted) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::vector<std::unique_ptr<TPort>> OpenPorts(size_t count) {
    std::vector<std::unique_ptr<TPort>> ports;
    for (size_t i = 0; i < count; ++i) {
        ports.push_back(std::make_unique<TPort>());
        ports.back()->Comm->OpenPort();
    }
    RunEventsUntil([&] {
        return std::all_of(ports.begin(), ports.end(),
                           [](const auto& p) { return p->Empties >= 1; });
    });
    return ports;
}

void BM_ReplyLatency(benchmark::State& state) {
    TPort port;
    port.Comm->OpenPort();
    RunEventsUntil([&] { return port.Empties >= 1; });
    std::vector<double> latencies;
    for (auto _ : state) {
        port.Received = 0;
        const TClock::time_point start = TClock::now();
        port.Pty.Write(kReply);
        const TClock::time_point written = TClock::now();
        if (!RunEventsUntil([&] { return port.Received >= kReply.size(); })) {
            state.SkipWithError("reply never arrived");
            break;
        }
        const TClock::time_point arrived = TClock::now();
        latencies.push_back(std::chrono::duration<double, std::milli>(arrived - written).count());
        state.SetIterationTime(std::chrono::duration<double>(arrived - start).count());
    }
    state.counters["min_ms"] = Percentile(latencies, 0);
    state.counters["p50_ms"] = Percentile(latencies, 0.5);
    state.counters["p90_ms"] = Percentile(latencies, 0.9);
    state.counters["p99_ms"] = Percentile(latencies, 0.99);
    state.counters["max_ms"] = Percentile(latencies, 1);
}
BENCHMARK(BM_ReplyLatency)->Iterations(100)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_IdleCpu(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    if (!EnsureDescriptors(count)) {
        state.SkipWithError("not enough file descriptors");
        return;
    }
    auto ports = OpenPorts(count);
    double cpu = 0, switches = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        ::getrusage(RUSAGE_SELF, &after);
        cpu = CpuSeconds(after) - CpuSeconds(before);
        switches = static_cast<double>((after.ru_nvcsw + after.ru_nivcsw) -
                                       (before.ru_nvcsw + before.ru_nivcsw));
    }
    state.counters["ports"] = static_cast<double>(count);
    state.counters["threads"] = ThreadCount();
    state.counters["cpu_ms_in_10s"] = cpu * 1000;
    state.counters["ctx_switches_in_10s"] = switches;
}
BENCHMARK(BM_IdleCpu)->Arg(1)->Arg(255)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ManyPorts(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    if (!EnsureDescriptors(count)) {
        state.SkipWithError("not enough file descriptors");
        return;
    }
    auto ports = OpenPorts(count);
    const int threads = ThreadCount();
    size_t failures = 0;
    for (auto _ : state) {
        for (auto& port : ports) {
            port->Received = 0;
            if (!port->Comm->SendData(kRequest.data(), 8)) ++failures;
        }
        // The far ends answer each request as it arrives.
        for (auto& port : ports) {
            if (port->Pty.Read(kRequest.size()).size() != kRequest.size()) ++failures;
            port->Pty.Write(kReply);
        }
        if (!RunEventsUntil([&] {
                return std::all_of(ports.begin(), ports.end(),
                                   [](const auto& p) { return p->Received >= kReply.size(); });
            })) {
            state.SkipWithError("replies missing");
            break;
        }
    }
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    state.counters["ports"] = static_cast<double>(count);
    state.counters["threads"] = threads;
    state.counters["fd_soft_limit"] = static_cast<double>(limit.rlim_cur);
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_ManyPorts)->Arg(255)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    InstallQtCommSinks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
