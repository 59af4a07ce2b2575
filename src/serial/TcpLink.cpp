#include "serial/TcpLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <system_error>
#include <utility>

#include "serial/CommSink.h"
#include "serial/CommTypes.h"
#include "serial/EventFd.h"

namespace {

using TClock = std::chrono::steady_clock;

// A dead peer (a server switched off, a cable cut) is found by keep-alive
// probes while the line is idle, and by the time limit on unacknowledged
// data while requests go out.
constexpr int kKeepIdleSeconds = 10;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepProbes = 3;
constexpr unsigned kUserTimeoutMs = 30000;

constexpr size_t kMaxPortDigits = 5;

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_';
}

// A host name of dot-separated non-empty labels, or an IPv4 literal (a name
// of digits and dots only must be one, so "1.2.3" is no host).
bool ValidHostName(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    if (!std::all_of(host.begin(), host.end(), IsNameChar)) return false;
    if (host.front() == '.' || host.back() == '.' || host.find("..") != std::string_view::npos)
        return false;
    if (host.front() == '-') return false;
    const bool numeric = std::all_of(host.begin(), host.end(), [](char c) {
        return c == '.' || std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (!numeric) return true;
    in_addr address{};
    return ::inet_pton(AF_INET, std::string(host).c_str(), &address) == 1;
}

std::optional<uint16_t> ParsePort(std::string_view digits) {
    if (digits.empty() || digits.size() > kMaxPortDigits) return std::nullopt;
    uint32_t port = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (port == 0 || port > 65535) return std::nullopt;
    return static_cast<uint16_t>(port);
}

void SetOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof(value));
}

void SetUpConnected(int fd) {
    SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepIdleSeconds);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepIntervalSeconds);
    SetOption(fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepProbes);
    SetOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(kUserTimeoutMs));
}

int MillisecondsUntil(TClock::time_point when) {
    const auto now = TClock::now();
    if (when <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

enum class TAttempt { Connected, Failed, Stopped };

// One non-blocking connect to one address, waited for until the deadline.
TAttempt ConnectOne(int fd, const addrinfo& address, TClock::time_point deadline, int stopFd) {
    if (::connect(fd, address.ai_addr, address.ai_addrlen) == 0) return TAttempt::Connected;
    if (errno != EINPROGRESS && errno != EINTR) return TAttempt::Failed;
    for (;;) {
        pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(fds, stopFd >= 0 ? 2 : 1, MillisecondsUntil(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return TAttempt::Failed;
        }
        if (stopFd >= 0 && fds[1].revents != 0) return TAttempt::Stopped;
        if (ready == 0) return TAttempt::Failed;  // time limit
        if (fds[0].revents == 0) continue;
        int error = 0;
        socklen_t length = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
            return TAttempt::Failed;
        return TAttempt::Connected;
    }
}

}  // namespace

std::optional<TTcpTarget> ParseTcpTarget(std::string_view text) {
    if (text.substr(0, kTcpLinkPrefix.size()) != kTcpLinkPrefix) return std::nullopt;
    std::string_view rest = text.substr(kTcpLinkPrefix.size());
    TTcpTarget target;
    std::string_view portText;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':')
            return std::nullopt;
        target.Host = std::string(rest.substr(1, close - 1));
        in6_addr address{};
        if (::inet_pton(AF_INET6, target.Host.c_str(), &address) != 1) return std::nullopt;
        portText = rest.substr(close + 2);
    } else {
        const size_t colon = rest.find(':');
        if (colon == std::string_view::npos) return std::nullopt;
        if (!ValidHostName(rest.substr(0, colon))) return std::nullopt;
        target.Host = std::string(rest.substr(0, colon));
        portText = rest.substr(colon + 1);
    }
    const std::optional<uint16_t> port = ParsePort(portText);
    if (!port) return std::nullopt;
    target.Port = *port;
    return target;
}

int ConnectTcp(const TTcpTarget& target, std::chrono::milliseconds timeout, int stopFd) {
    const TClock::time_point deadline = TClock::now() + timeout;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(target.Port);
    int status = ::getaddrinfo(target.Host.c_str(), service.c_str(), &hints, &found);
    if (status == EAI_NONAME || status == EAI_ADDRFAMILY) {
        // AI_ADDRCONFIG hides loopback literals on a host whose only
        // interface is loopback; try once more without it.
        hints.ai_flags = AI_NUMERICSERV;
        status = ::getaddrinfo(target.Host.c_str(), service.c_str(), &hints, &found);
    }
    if (status != 0 || found == nullptr) return -1;

    int result = -1;
    for (const addrinfo* address = found; address != nullptr; address = address->ai_next) {
        const int fd =
            ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                     address->ai_protocol);
        if (fd < 0) continue;
        const TAttempt attempt = ConnectOne(fd, *address, deadline, stopFd);
        if (attempt == TAttempt::Connected) {
            SetUpConnected(fd);
            result = fd;
            break;
        }
        ::close(fd);
        if (attempt == TAttempt::Stopped || TClock::now() >= deadline) break;
    }
    ::freeaddrinfo(found);
    return result;
}

// ---- TTcpReconnector ---------------------------------------------------

TTcpReconnector::TTcpReconnector(TTcpTarget target, TReconnectDelays delays,
                                 std::chrono::milliseconds connectTimeout, TCommSink* sink,
                                 uint32_t opening)
    : FTarget(std::move(target)),
      FDelays(delays),
      FConnectTimeout(connectTimeout),
      FSink(sink),
      FOpening(opening) {}

TTcpReconnector::~TTcpReconnector() {
    Stop();
    if (FConnection >= 0) ::close(FConnection);
}

bool TTcpReconnector::Start() {
    FStop = TEventFd::Create();
    if (!FStop) return false;
    try {
        FThread = std::thread(&TTcpReconnector::Run, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void TTcpReconnector::Stop() {
    if (FStop) FStop->Signal();
    if (FThread.joinable()) FThread.join();
}

int TTcpReconnector::TakeConnection() {
    std::lock_guard<std::mutex> lock(FLock);
    return std::exchange(FConnection, -1);
}

bool TTcpReconnector::Wait(std::chrono::milliseconds delay) const {
    const TClock::time_point until = TClock::now() + delay;
    for (;;) {
        pollfd stop = {FStop->Fd(), POLLIN, 0};
        const int ready = ::poll(&stop, 1, MillisecondsUntil(until));
        if (ready < 0 && errno == EINTR) continue;
        if (ready != 0) return false;  // stopped (or poll itself failed)
        return true;
    }
}

void TTcpReconnector::Run() noexcept {
    // Never a zero wait: that would turn a refusing server into a busy loop.
    const std::chrono::milliseconds first = std::max(FDelays.First, std::chrono::milliseconds(1));
    std::chrono::milliseconds delay = first;
    for (;;) {
        if (!Wait(delay)) return;
        const int fd = ConnectTcp(FTarget, FConnectTimeout, FStop->Fd());
        FAttempts.fetch_add(1);
        if (fd >= 0) {
            {
                std::lock_guard<std::mutex> lock(FLock);
                FConnection = fd;
            }
            TCommNotification up;
            up.Message = CommConnectionUp;
            up.Opening = FOpening;
            // When it cannot be posted the connection stays parked and the
            // line stays down until its owner closes it.
            FSink->Post(std::move(up));
            return;
        }
        if (FStop->IsSignalled()) return;
        delay = std::min(delay * 2, std::max(FDelays.Longest, first));
    }
}
