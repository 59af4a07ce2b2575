#pragma once
// One open serial device: the descriptor, held exclusively, and the settings
// the worker threads read while it is open.
//
// Exclusive use: TIOCEXCL refuses further opens of the terminal to ordinary
// users, and flock(LOCK_EX) on the descriptor refuses everyone who locks too
// (every TComm, in this process or another, root included).
//
// A connected TCP socket to a serial server stands in for a device: the
// worker threads read and write it the same way, the time limits apply as on
// a line, and the line settings, the input filter and the queue purges do
// not (the server owns the line; nothing of the socket's queues is dropped).

#include <sys/types.h>
#include <memory>
#include <mutex>
#include <string>

#include "serial/LineSettings.h"

class TPortDevice {
  public:
    // Opens path for reading and writing, non-blocking, never as a controlling
    // terminal, and checks it is a terminal. Raises ECommsError with the
    // message of the step that failed.
    static std::unique_ptr<TPortDevice> Open(const std::string& path);
    // Takes over a connected, non-blocking socket (ConnectTcp).
    static std::unique_ptr<TPortDevice> FromSocket(int fd);

    TPortDevice(const TPortDevice&) = delete;
    TPortDevice& operator=(const TPortDevice&) = delete;
    // Discards both queues and releases output flow control (so closing
    // never waits for output to drain), gives up exclusive use and closes
    // the descriptor.
    ~TPortDevice();

    int Fd() const { return FFd; }
    bool IsSocket() const { return FSocket; }
    // One non-blocking write, as write(2); a socket whose peer has gone
    // fails with EPIPE instead of raising SIGPIPE.
    ssize_t Write(const void* data, size_t length) const;

    void PurgeInput();
    void PurgeOutput();

    // Writes every line setting at once. False when the driver refused them
    // (the port keeps what it had) or the rate (the port keeps its speed).
    bool ApplyLineSettings(const TLineSettings& settings);
    void ApplyTimeouts(const TCommTimeouts& timeouts);

    // Read by the worker threads.
    TCommTimeouts Timeouts() const;
    TReadSettings ReadSettings() const;

  private:
    TPortDevice(int fd, bool socket) : FFd(fd), FSocket(socket) {}

    const int FFd;
    const bool FSocket;
    mutable std::mutex FLock;  // guards the two below
    TCommTimeouts FTimeouts;
    TReadSettings FReadSettings;
};
