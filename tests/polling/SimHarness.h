#pragma once
// Test harness around the controller simulator: the tcsim process with its
// output lines, and a client of one of its lines (the station's side of a
// pseudo-terminal). Every wait is event-driven with a generous limit.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Long enough for a loaded machine; a passing test never waits this long.
constexpr std::chrono::milliseconds kPatience = 10s;

TBytes RequestFor(uint8_t address, uint8_t function);  // function 1 or 4
TBytes WithCrc(TBytes frame);                          // appends the CRC, low byte first
TBytes ParseHex(const std::string& text);              // "01 0A" -> {0x01, 0x0A}

// A directory under the test temp dir, removed with everything in it.
class TTempDir {
  public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string Port(const std::string& name) const { return path_ + "/ports/" + name; }

  private:
    std::string path_;
};

// One tcsim child process. Killed (SIGKILL) by the destructor if still running.
class TSimProcess {
  public:
    explicit TSimProcess(const std::vector<std::string>& args);
    ~TSimProcess();
    TSimProcess(const TSimProcess&) = delete;
    TSimProcess& operator=(const TSimProcess&) = delete;

    // The next stdout line, or none when none came within the limit or the
    // output ended.
    std::optional<std::string> NextLine(std::chrono::milliseconds limit = kPatience);
    // Reads lines until one matches; none when none did within the limit.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds limit = kPatience);
    // The next line about requests on `port` ("COMn addr=..."), skipping the
    // opened/closed lines.
    std::optional<std::string> NextRequestLine(const std::string& port);
    // Waits for the "ready" line and returns it.
    std::optional<std::string> WaitReady();
    // Every line read so far.
    const std::vector<std::string>& Lines() const { return lines_; }

    void Signal(int signal);
    // The exit code, or none when the process did not end within the limit
    // (or was ended by a signal).
    std::optional<int> WaitExit(std::chrono::milliseconds limit = kPatience);
    // What the process wrote to stderr (read after it ended).
    std::string Stderr();

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string pending_;
    std::vector<std::string> lines_;
    bool ended_ = false;
};

// The client side of a simulated line: the slave device opened raw,
// non-blocking, as the station opens its ports.
class TLineClient {
  public:
    explicit TLineClient(const std::string& path);
    ~TLineClient();
    TLineClient(const TLineClient&) = delete;
    TLineClient& operator=(const TLineClient&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    void Send(const TBytes& bytes);
    // Reads until `count` bytes arrived or the limit passed.
    TBytes Receive(size_t count, std::chrono::milliseconds limit = kPatience);
    // Bytes waiting to be read right now.
    int Pending() const;
    // Sends a request and reads a reply of `replySize` bytes.
    TBytes Transact(const TBytes& request, size_t replySize);

  protected:
    // Takes over an open descriptor (-1: none).
    explicit TLineClient(int fd) : fd_(fd) {}

  private:
    int fd_ = -1;
};

// A client of a TCP line ("tcp:PORT"), connected to 127.0.0.1:port; RTU
// frames go over the stream as over a serial line.
class TTcpClient : public TLineClient {
  public:
    explicit TTcpClient(uint16_t port);
};

// The bytes after " reply=" in a request line; none for "reply=none".
std::optional<TBytes> ReplyOfLine(const std::string& line);
bool StartsWith(const std::string& text, const std::string& prefix);
