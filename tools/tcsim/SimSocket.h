#pragma once
// One simulated serial server: a TCP listening socket on 127.0.0.1 that
// carries Modbus RTU frames (CRC and all) over its stream, as a converter
// between Ethernet and an RS-485 line does. One client is served at a time;
// a new connection replaces the one before it, as such converters commonly
// do when the station reconnects after a network fault.

#include <cstddef>
#include <cstdint>

#include "SimPort.h"

class TSimSocket {
  public:
    // Binds and listens on 127.0.0.1:port (0: a free port the system picks);
    // throws std::runtime_error with the reason.
    explicit TSimSocket(uint16_t port);

    uint16_t Port() const { return port_; }  // the port actually bound
    int ListenFd() const { return listen_.Get(); }
    int ClientFd() const { return client_.Get(); }
    bool HasClient() const { return client_.Valid(); }

    // Takes a waiting connection; true when one was taken (the one before,
    // if any, is closed).
    bool Accept();
    // Reads what the client sent, at most `capacity` bytes; 0 when nothing is
    // waiting, -1 when the client went away (its connection is closed).
    ptrdiff_t Read(uint8_t* buffer, size_t capacity);
    // Writes all of `data`, waiting up to `timeoutMs` for room; false without
    // a client or when it cannot take the bytes.
    bool WriteAll(const uint8_t* data, size_t length, int timeoutMs);
    void DropClient() { client_.Reset(); }

  private:
    TFd listen_;
    TFd client_;
    uint16_t port_ = 0;
};
