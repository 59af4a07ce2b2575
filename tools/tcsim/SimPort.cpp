#include "SimPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace {

constexpr size_t kDeviceNameCapacity = 128;

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Raw line: no echo (which would feed our own replies back to us as
// requests), no line editing, no translation of bytes in either direction.
void MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) ThrowErrno("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) ThrowErrno("tcsetattr");
}

}  // namespace

TFd& TFd::operator=(TFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int TFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void TFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

TSimPort::TSimPort(const std::string& portName, const std::string& portsDir) : name_(portName) {
    master_.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master_.Valid()) ThrowErrno(name_ + ": cannot create a pseudo-terminal");
    if (grantpt(master_.Get()) != 0 || unlockpt(master_.Get()) != 0) {
        ThrowErrno(name_ + ": cannot unlock the pseudo-terminal");
    }
    char device[kDeviceNameCapacity] = {};
    if (ptsname_r(master_.Get(), device, sizeof device) != 0) {
        ThrowErrno(name_ + ": no slave device name");
    }
    devicePath_ = device;
    slave_.Reset(::open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave_.Valid()) ThrowErrno(name_ + ": cannot open " + devicePath_);
    MakeRaw(slave_.Get());
    MakeLink(portsDir);
}

TSimPort::~TSimPort() {
    if (linkPath_.empty()) return;
    std::error_code ec;
    if (std::filesystem::read_symlink(linkPath_, ec) == devicePath_ && !ec) {
        std::filesystem::remove(linkPath_, ec);
    }
}

// The link is made under a temporary name and renamed over COMn, so a client
// never sees the name missing or half made. A stale link is replaced; anything
// that is not a link is left alone.
void TSimPort::MakeLink(const std::string& portsDir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(portsDir, ec);
    if (ec) throw std::runtime_error("cannot create " + portsDir + ": " + ec.message());

    std::string link = (fs::path(portsDir) / name_).string();
    fs::file_status status = fs::symlink_status(link, ec);
    if (fs::exists(status) && !fs::is_symlink(status)) {
        throw std::runtime_error(link + " exists and is not a link; not replacing it");
    }
    std::string temporary =
        (fs::path(portsDir) / ("." + name_ + ".tcsim-" + std::to_string(getpid()))).string();
    ::unlink(temporary.c_str());
    if (::symlink(devicePath_.c_str(), temporary.c_str()) != 0) {
        ThrowErrno("cannot create the link " + temporary);
    }
    if (::rename(temporary.c_str(), link.c_str()) != 0) {
        int saved = errno;
        ::unlink(temporary.c_str());
        errno = saved;
        ThrowErrno("cannot create the link " + link);
    }
    linkPath_ = link;
}

ptrdiff_t TSimPort::Read(uint8_t* buffer, size_t capacity) {
    for (;;) {
        ssize_t n = ::read(master_.Get(), buffer, capacity);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

bool WriteAllWithin(int fd, const uint8_t* data, size_t length, int timeoutMs, bool socket) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < length) {
        if (fd < 0) return false;
        const ssize_t n = socket ? ::send(fd, data + done, length - done, MSG_NOSIGNAL)
                                 : ::write(fd, data + done, length - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // No room: a client that writes but never reads.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
    return true;
}

bool TSimPort::WriteAll(const uint8_t* data, size_t length, int timeoutMs) {
    return WriteAllWithin(master_.Get(), data, length, timeoutMs, false);
}

void TSimPort::ResetAfterLastClient() {
    ::ioctl(slave_.Get(), TIOCNXCL);
    DiscardUnreadReplies();
}

void TSimPort::DiscardUnreadReplies() {
    ::tcflush(slave_.Get(), TCIFLUSH);
}
