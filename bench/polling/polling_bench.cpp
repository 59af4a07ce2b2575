// Modbus frame handling, and how fast the controller simulator answers: one
// request on one line, and a whole pass (one request on each of 255 lines).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "polling/TmpProtocol.h"

namespace {

constexpr int kLines = 255;
constexpr int kReplyWaitMs = 10000;

void BM_CalcCrc16(benchmark::State& state) {
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)));
    std::mt19937 random(1);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    for (auto _ : state) {
        uint8_t low = 0, high = 0;
        CalcCrc16(data.data(), static_cast<int32_t>(data.size()), low, high);
        benchmark::DoNotOptimize(low);
        benchmark::DoNotOptimize(high);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_CalcCrc16)->Arg(6)->Arg(11)->Arg(2048);

void BM_DecodeTemperatureReply(benchmark::State& state) {
    const uint8_t reply[] = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                             0x00, 0x43, 0x00, 0x28, 0xFC, 0xCC};
    for (auto _ : state) {
        TDecodedReply decoded = DecodeReply(reply, sizeof reply);
        benchmark::DoNotOptimize(decoded);
    }
}
BENCHMARK(BM_DecodeTemperatureReply);

// tcsim with kLines lines on a temporary directory; its output is drained by
// a thread so that it never blocks on a full pipe.
class TSimFixture {
  public:
    TSimFixture() {
        char pattern[] = "/tmp/tcsim-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        std::vector<std::string> args = {TCSIM_PATH, "--dir", dir_, "--seed", "1"};
        for (int n = 1; n <= kLines; ++n) {
            args.push_back("COM" + std::to_string(n) + ":" + std::to_string(n));
        }
        int out[2];
        if (::pipe(out) != 0) throw std::runtime_error("pipe");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::promise<bool> ready;
        auto readyFuture = ready.get_future();
        drain_ = std::thread([fd = out[0], ready = std::move(ready)]() mutable {
            std::string seen;
            bool told = false;
            char buffer[65536];
            for (;;) {
                ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n <= 0) break;
                if (!told) {
                    seen.append(buffer, static_cast<size_t>(n));
                    if (seen.find('\n') != std::string::npos) {
                        ready.set_value(seen.rfind("ready ", 0) == 0);
                        told = true;
                    }
                }
            }
            if (!told) ready.set_value(false);
            ::close(fd);
        });
        if (readyFuture.wait_for(std::chrono::seconds(30)) != std::future_status::ready ||
            !readyFuture.get()) {
            throw std::runtime_error("tcsim did not start");
        }
        for (int n = 1; n <= kLines; ++n) {
            std::string path = dir_ + "/ports/COM" + std::to_string(n);
            int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            if (fd < 0) throw std::runtime_error("cannot open " + path);
            termios tio{};
            ::tcgetattr(fd, &tio);
            ::cfmakeraw(&tio);
            ::tcsetattr(fd, TCSANOW, &tio);
            fds_.push_back(fd);
        }
    }
    ~TSimFixture() {
        for (int fd : fds_) ::close(fd);
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        drain_.join();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TSimFixture(const TSimFixture&) = delete;
    TSimFixture& operator=(const TSimFixture&) = delete;

    int Line(int n) const { return fds_[static_cast<size_t>(n - 1)]; }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    std::thread drain_;
    std::vector<int> fds_;
};

// Reads one reply of `size` bytes and tells whether the station would accept it.
bool ReadReply(int fd, size_t size) {
    uint8_t buffer[kRegsReplySize];
    size_t got = 0;
    while (got < size && got < sizeof buffer) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, kReplyWaitMs) <= 0) return false;
        ssize_t n = ::read(fd, buffer + got, size - got);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return DecodeReply(buffer, got).Accepted;
}

void BM_TcSimRoundTrip(benchmark::State& state) {
    TSimFixture sim;
    uint8_t request[kRequestSize];
    BuildReadInputRegs(1, request);
    for (auto _ : state) {
        if (::write(sim.Line(1), request, sizeof request) != sizeof request ||
            !ReadReply(sim.Line(1), kRegsReplySize)) {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_TcSimRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One pass of the scan cycle against 255 simulated controllers: every request
// written first, then every reply collected.
void BM_TcSimPassOf255(benchmark::State& state) {
    TSimFixture sim;
    std::vector<std::array<uint8_t, kRequestSize>> requests(kLines);
    for (int n = 1; n <= kLines; ++n) {
        BuildReadInputRegs(static_cast<uint8_t>(n), requests[static_cast<size_t>(n - 1)].data());
    }
    for (auto _ : state) {
        bool ok = true;
        for (int n = 1; n <= kLines && ok; ++n) {
            ok = ::write(sim.Line(n), requests[static_cast<size_t>(n - 1)].data(), kRequestSize) ==
                 kRequestSize;
        }
        for (int n = 1; n <= kLines && ok; ++n) ok = ReadReply(sim.Line(n), kRegsReplySize);
        if (!ok) {
            state.SkipWithError("no reply");
            break;
        }
    }
}
BENCHMARK(BM_TcSimPassOf255)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
