#include "SimSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr int kBacklog = 4;

[[noreturn]] void ThrowErrno(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

TSimSocket::TSimSocket(uint16_t port) {
    const std::string name = "tcp:" + std::to_string(port);
    listen_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listen_.Valid()) ThrowErrno(name + ": cannot create a socket");
    int on = 1;
    ::setsockopt(listen_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(listen_.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ThrowErrno(name + ": cannot bind 127.0.0.1");
    }
    if (::listen(listen_.Get(), kBacklog) != 0) ThrowErrno(name + ": cannot listen");
    socklen_t size = sizeof address;
    if (::getsockname(listen_.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        ThrowErrno(name + ": getsockname");
    }
    port_ = ntohs(address.sin_port);
}

bool TSimSocket::Accept() {
    int fd = ::accept4(listen_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return false;
    // Replies are whole frames or paced single bytes; neither may wait for
    // more to fill a segment.
    int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    client_.Reset(fd);
    return true;
}

ptrdiff_t TSimSocket::Read(uint8_t* buffer, size_t capacity) {
    if (!client_.Valid()) return -1;
    for (;;) {
        ssize_t n = ::recv(client_.Get(), buffer, capacity, 0);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        client_.Reset();
        return -1;
    }
}

bool TSimSocket::WriteAll(const uint8_t* data, size_t length, int timeoutMs) {
    return client_.Valid() && WriteAllWithin(client_.Get(), data, length, timeoutMs, true);
}
