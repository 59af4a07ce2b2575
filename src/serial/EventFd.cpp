#include "serial/EventFd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

std::unique_ptr<TEventFd> TEventFd::Create() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    return std::unique_ptr<TEventFd>(new TEventFd(fd));
}

TEventFd::~TEventFd() {
    ::close(FFd);
}

void TEventFd::Signal() {
    const uint64_t one = 1;
    // Fails only when the counter is saturated, which leaves it readable anyway.
    while (::write(FFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void TEventFd::Clear() {
    uint64_t count = 0;
    while (::read(FFd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}

bool TEventFd::IsSignalled() const {
    pollfd entry{FFd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&entry, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0 && (entry.revents & POLLIN) != 0;
}
