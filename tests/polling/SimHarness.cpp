#include "SimHarness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "polling/TmpProtocol.h"

namespace {

using TClock = std::chrono::steady_clock;

// A non-blocking connection to 127.0.0.1:port, -1 when it failed.
int ConnectLoopback(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

int MillisecondsLeft(TClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

TBytes RequestFor(uint8_t address, uint8_t function) {
    TBytes frame(kRequestSize);
    if (function == kFnReadCoils) {
        BuildReadCoils(address, frame.data());
    } else {
        BuildReadInputRegs(address, frame.data());
    }
    return frame;
}

TBytes WithCrc(TBytes frame) {
    uint8_t low = 0, high = 0;
    CalcCrc16(frame.data(), static_cast<int32_t>(frame.size()), low, high);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

TBytes ParseHex(const std::string& text) {
    TBytes bytes;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text[pos] == ' ') {
            ++pos;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(pos, 2), nullptr, 16)));
        pos += 2;
    }
    return bytes;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::optional<TBytes> ReplyOfLine(const std::string& line) {
    const std::string marker = " reply=";
    size_t pos = line.find(marker);
    if (pos == std::string::npos) return std::nullopt;
    std::string hex = line.substr(pos + marker.size());
    if (hex == "none") return std::nullopt;
    return ParseHex(hex);
}

// --- TTempDir ----------------------------------------------------------------

TTempDir::TTempDir() {
    std::string pattern = testing::TempDir() + "tcsim-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TTempDir::~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

// --- TSimProcess -------------------------------------------------------------

TSimProcess::TSimProcess(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> argv;
    std::string program = TCSIM_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies) argv.push_back(arg.data());
    argv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
}

TSimProcess::~TSimProcess() {
    if (!ended_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
}

std::optional<std::string> TSimProcess::NextLine(std::chrono::milliseconds limit) {
    const auto deadline = TClock::now() + limit;
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            lines_.push_back(line);
            return line;
        }
        pollfd p{out_, POLLIN, 0};
        int rc = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return std::nullopt;
        char buffer[4096];
        ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<size_t>(n));
    }
}

std::optional<std::string> TSimProcess::WaitForLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds limit) {
    const auto deadline = TClock::now() + limit;
    for (;;) {
        auto line = NextLine(std::chrono::milliseconds(MillisecondsLeft(deadline)));
        if (!line) return std::nullopt;
        if (match(*line)) return line;
    }
}

std::optional<std::string> TSimProcess::NextRequestLine(const std::string& port) {
    return WaitForLine([&](const std::string& line) { return StartsWith(line, port + " addr="); });
}

std::optional<std::string> TSimProcess::WaitReady() {
    return WaitForLine([](const std::string& line) { return StartsWith(line, "ready "); });
}

void TSimProcess::Signal(int signal) {
    ::kill(pid_, signal);
}

std::optional<int> TSimProcess::WaitExit(std::chrono::milliseconds limit) {
    const auto deadline = TClock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t rc = ::waitpid(pid_, &status, WNOHANG);
        if (rc == pid_) {
            ended_ = true;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return std::nullopt;
        }
        if (rc < 0 || TClock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

std::string TSimProcess::Stderr() {
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd p{err_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(kPatience.count())) <= 0) break;
        ssize_t n = ::read(err_, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// --- TLineClient -------------------------------------------------------------

TLineClient::TLineClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios tio{};
    if (::tcgetattr(fd_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
}

TLineClient::~TLineClient() {
    if (fd_ >= 0) ::close(fd_);
}

void TLineClient::Send(const TBytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            ADD_FAILURE() << "write to the line failed, errno " << errno;
            return;
        }
    }
}

TBytes TLineClient::Receive(size_t count, std::chrono::milliseconds limit) {
    const auto deadline = TClock::now() + limit;
    TBytes bytes;
    while (bytes.size() < count) {
        pollfd p{fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, MillisecondsLeft(deadline));
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) break;
        uint8_t buffer[512];
        size_t want = std::min(sizeof buffer, count - bytes.size());
        ssize_t n = ::read(fd_, buffer, want);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

int TLineClient::Pending() const {
    int count = 0;
    if (::ioctl(fd_, FIONREAD, &count) != 0) return -1;
    return count;
}

TTcpClient::TTcpClient(uint16_t port) : TLineClient(ConnectLoopback(port)) {}

TBytes TLineClient::Transact(const TBytes& request, size_t replySize) {
    Send(request);
    return Receive(replySize);
}
