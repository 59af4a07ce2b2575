#pragma once
// A manual-reset event that poll() can wait on together with a device:
// readable from Signal() until Clear().

#include <memory>

class TEventFd {
  public:
    // Nothing when the kernel refuses a new descriptor.
    static std::unique_ptr<TEventFd> Create();

    TEventFd(const TEventFd&) = delete;
    TEventFd& operator=(const TEventFd&) = delete;
    ~TEventFd();

    void Signal();
    void Clear();
    bool IsSignalled() const;
    int Fd() const { return FFd; }

  private:
    explicit TEventFd(int fd) : FFd(fd) {}
    int FFd;
};
