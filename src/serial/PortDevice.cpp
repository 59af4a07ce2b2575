#include "serial/PortDevice.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "serial/CommTypes.h"

namespace {

// Closes the descriptor unless released: the failure paths of Open.
class TFdGuard {
  public:
    explicit TFdGuard(int fd) : FFd(fd) {}
    TFdGuard(const TFdGuard&) = delete;
    TFdGuard& operator=(const TFdGuard&) = delete;
    ~TFdGuard() {
        if (FFd >= 0) ::close(FFd);
    }
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }

  private:
    int FFd;
};

int IoctlRetry(int fd, unsigned long request, void* arg) {
    int result;
    do {
        result = ::ioctl(fd, request, arg);
    } while (result < 0 && errno == EINTR);
    return result;
}

// RS-485 direction control: RTS raised while sending. Drivers without it
// refuse the request, which leaves the idle level set by the modem lines.
void SetRtsOnSend(int fd, bool on) {
    serial_rs485 rs485{};
    if (IoctlRetry(fd, TIOCGRS485, &rs485) != 0) {
        if (!on) return;  // no RS-485 support and none wanted
        rs485 = serial_rs485{};
    }
    const bool enabled = (rs485.flags & SER_RS485_ENABLED) != 0;
    if (!on) {
        // Only undo what this component would have set: a port the system
        // configured for RS-485 some other way keeps its mode.
        const bool ours = enabled && (rs485.flags & SER_RS485_RTS_ON_SEND) &&
                          !(rs485.flags & SER_RS485_RTS_AFTER_SEND);
        if (!ours) return;
        rs485.flags &= ~static_cast<__u32>(SER_RS485_ENABLED);
    } else {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
    }
    IoctlRetry(fd, TIOCSRS485, &rs485);
}

// Closing a terminal waits (by default up to 30 s) until the device has sent
// what it holds; a far end that never raises CTS or never sends XON would
// hold the few bytes still in the adapter's hardware queue that long, and
// ClosePort with it. Without flow control they go out at the line's rate.
// The next opening sets the line up again from its settings.
void ReleaseOutputFlowControl(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return;
    if ((tio.c_cflag & CRTSCTS) == 0 && (tio.c_iflag & IXON) == 0) return;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    // Clearing IXON also restarts output an XOFF stopped.
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON);
    ::tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

std::unique_ptr<TPortDevice> TPortDevice::Open(const std::string& path) {
    const int raw = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (raw < 0) throw ECommsError(kMsgOpenError);
    TFdGuard fd(raw);

    struct stat info {};
    if (::fstat(raw, &info) != 0 || !S_ISCHR(info.st_mode)) throw ECommsError(kMsgNotCommHandle);
    // Another holder of the device: the open fails as if it had been refused.
    if (::flock(raw, LOCK_EX | LOCK_NB) != 0) throw ECommsError(kMsgOpenError);
    // A character device that is no terminal has no line to set up.
    termios tio{};
    if (::tcgetattr(raw, &tio) != 0) throw ECommsError(kMsgSetupBuffer);
    // Set only after the lock is ours, so a refused open never changes the
    // mode of a terminal someone else holds.
    IoctlRetry(raw, TIOCEXCL, nullptr);
    return std::unique_ptr<TPortDevice>(new TPortDevice(fd.Release(), false));
}

std::unique_ptr<TPortDevice> TPortDevice::FromSocket(int fd) {
    TFdGuard guard(fd);
    auto device = std::unique_ptr<TPortDevice>(new TPortDevice(fd, true));
    guard.Release();
    return device;
}

TPortDevice::~TPortDevice() {
    if (FSocket) {
        // Never blocks: no linger is set.
        ::close(FFd);
        return;
    }
    ::tcflush(FFd, TCIOFLUSH);
    ReleaseOutputFlowControl(FFd);
    // The exclusive mode outlives the descriptor while the terminal stays in
    // use elsewhere (a pty's master): give it up explicitly.
    IoctlRetry(FFd, TIOCNXCL, nullptr);
    ::close(FFd);
}

void TPortDevice::PurgeInput() {
    if (!FSocket) ::tcflush(FFd, TCIFLUSH);
}

void TPortDevice::PurgeOutput() {
    if (!FSocket) ::tcflush(FFd, TCOFLUSH);
}

ssize_t TPortDevice::Write(const void* data, size_t length) const {
    if (FSocket) return ::send(FFd, data, length, MSG_NOSIGNAL);
    return ::write(FFd, data, length);
}

bool TPortDevice::ApplyLineSettings(const TLineSettings& settings) {
    // The server's line is set up at the server; the bytes pass unfiltered.
    if (FSocket) return true;
    termios tio{};
    if (::tcgetattr(FFd, &tio) != 0) return false;
    const bool rateSet = BuildTermios(settings, tio);
    if (::tcsetattr(FFd, TCSANOW, &tio) != 0) return false;

    // Modem lines and RS-485 mode are missing on many devices (ptys, some
    // adapters); what a device refuses is left as it is.
    const TModemLines lines = ModemLinesFor(settings);
    int raise = lines.Raise;
    int lower = lines.Lower;
    if (raise != 0) IoctlRetry(FFd, TIOCMBIS, &raise);
    if (lower != 0) IoctlRetry(FFd, TIOCMBIC, &lower);
    SetRtsOnSend(FFd, WantsRtsOnSend(settings));

    std::lock_guard<std::mutex> lock(FLock);
    FReadSettings = ReadSettingsFor(settings);
    return rateSet;
}

void TPortDevice::ApplyTimeouts(const TCommTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(FLock);
    FTimeouts = timeouts;
}

TCommTimeouts TPortDevice::Timeouts() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FTimeouts;
}

TReadSettings TPortDevice::ReadSettings() const {
    std::lock_guard<std::mutex> lock(FLock);
    return FReadSettings;
}
