#pragma once
// One simulated serial line: a pseudo-terminal pair and the link
// PROGRAM_DIR/ports/COMn that points at its slave device.
//
// The simulator is the master side. It keeps its own descriptor of the slave
// open for its whole life, so that the line never hangs up while a client
// (the station, a test) closes and reopens the slave or is killed: the
// terminal stays the same, and so do its line settings.

#include <cstddef>
#include <cstdint>
#include <string>

// Owns one file descriptor.
class TFd {
  public:
    TFd() = default;
    explicit TFd(int fd) : fd_(fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& other) noexcept : fd_(other.Release()) {}
    TFd& operator=(TFd&& other) noexcept;
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

  private:
    int fd_ = -1;
};

// Writes all of `data` to the non-blocking descriptor `fd` in order, waiting
// up to `timeoutMs` in all for room; a socket is written with send, so a
// client that went away cannot end the simulator with SIGPIPE.
bool WriteAllWithin(int fd, const uint8_t* data, size_t length, int timeoutMs, bool socket);

class TSimPort {
  public:
    // Creates the pty and the link; throws std::runtime_error with the reason.
    TSimPort(const std::string& portName, const std::string& portsDir);
    // Removes the link if it still points at this pty, then closes both sides.
    ~TSimPort();
    TSimPort(const TSimPort&) = delete;
    TSimPort& operator=(const TSimPort&) = delete;

    const std::string& Name() const { return name_; }
    const std::string& DevicePath() const { return devicePath_; }
    const std::string& LinkPath() const { return linkPath_; }
    int MasterFd() const { return master_.Get(); }

    // Reads what the clients wrote, at most `capacity` bytes; 0 when nothing
    // is waiting, -1 on an error of the line.
    ptrdiff_t Read(uint8_t* buffer, size_t capacity);
    // Writes all of `data` in order, waiting up to `timeoutMs` for room.
    bool WriteAll(const uint8_t* data, size_t length, int timeoutMs);

    // Called when the last client has closed the slave: replies nobody read
    // are dropped, so the next client gets only answers to its own requests,
    // and an exclusive-use flag the client set is cleared. (That flag lives on
    // the terminal, which our own descriptor keeps alive; left set, it would
    // make the next unprivileged open fail with EBUSY.)
    void ResetAfterLastClient();
    // Drops replies that are waiting in the slave's input queue.
    void DiscardUnreadReplies();

  private:
    void MakeLink(const std::string& portsDir);

    std::string name_;
    std::string devicePath_;
    std::string linkPath_;
    TFd master_;
    TFd slave_;
};
