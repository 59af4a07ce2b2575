#pragma once
// A pseudo-terminal for the serial tests: the test holds the master (the
// "far end", standing in for a controller); the component opens the slave by
// its path. Every descriptor is close-on-exec: a copy of the master held by a
// child process would keep the slave from ever seeing the far end close.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class TPtyPair {
  public:
    TPtyPair() {
        FMaster = ::open("/dev/ptmx", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (FMaster < 0) throw std::runtime_error("cannot open /dev/ptmx");
        char name[128];
        if (::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0 ||
            ::ptsname_r(FMaster, name, sizeof(name)) != 0) {
            ::close(FMaster);
            throw std::runtime_error("cannot set up the pty");
        }
        FSlavePath = name;
    }
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;
    ~TPtyPair() { CloseMaster(); }

    const std::string& SlavePath() const { return FSlavePath; }
    int Master() const { return FMaster; }

    void CloseMaster() {
        if (FMaster >= 0) ::close(FMaster);
        FMaster = -1;
    }

    // The slave's line settings, as the component set them.
    termios SlaveTermios() const {
        termios tio{};
        if (::tcgetattr(FMaster, &tio) != 0) throw std::runtime_error("tcgetattr failed");
        return tio;
    }
    void SetSlaveTermios(const termios& tio) const {
        if (::tcsetattr(FMaster, TCSANOW, &tio) != 0) throw std::runtime_error("tcsetattr failed");
    }

    // Writes everything, waiting for room; false when it cannot within the timeout.
    bool Write(const std::vector<uint8_t>& bytes,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
            if (!WaitFor(POLLOUT, deadline)) return false;
        }
        return true;
    }

    // Reads until count bytes have come or the timeout passes.
    std::vector<uint8_t> Read(size_t count,
                              std::chrono::milliseconds timeout = std::chrono::seconds(10)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<uint8_t> bytes;
        uint8_t buffer[4096];
        while (bytes.size() < count) {
            const ssize_t n = ::read(FMaster, buffer, sizeof(buffer));
            if (n > 0) {
                bytes.insert(bytes.end(), buffer, buffer + n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) break;
            if (!WaitFor(POLLIN, deadline)) break;
        }
        return bytes;
    }

  private:
    bool WaitFor(short events, std::chrono::steady_clock::time_point deadline) const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{FMaster, events, 0};
        return ::poll(&entry, 1, static_cast<int>(left.count())) > 0;
    }

    int FMaster = -1;
    std::string FSlavePath;
};
