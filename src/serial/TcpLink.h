#pragma once
// Serial lines reached through a serial server: a TCP connection that carries
// the line's bytes unchanged in both directions.
//
// A port entry names one by the text of a symbolic link (never followed):
//
//   tcp:HOST:PORT    HOST a name ("srv-7", "line.example") or an IPv4 literal
//   tcp:[V6]:PORT    V6 an IPv6 literal in brackets ("tcp:[::1]:5020")
//
// PORT is 1 to 65535 in decimal digits. Anything else is no target.
//
// TTcpReconnector brings a dropped connection back: it waits, tries once,
// and doubles the wait up to a ceiling until a try succeeds or it is stopped.
// The connection it made is parked for its owner, and a CommConnectionUp
// notification (stamped with the owner's opening) says so. Stopping it
// interrupts both the wait and a connection attempt at once; only the name
// look-up of a HOST that is not a literal cannot be interrupted.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

class TCommSink;
class TEventFd;

struct TTcpTarget {
    std::string Host;  // without brackets
    uint16_t Port = 0;

    bool operator==(const TTcpTarget&) const = default;
};

// The prefix that marks a link text as a TCP target rather than a device.
inline constexpr std::string_view kTcpLinkPrefix = "tcp:";

// The target of a link text, or nothing when it is malformed.
std::optional<TTcpTarget> ParseTcpTarget(std::string_view text);

// Connects to the target within timeout, or sooner when stopFd (if >= 0)
// becomes readable. Returns the connected socket (non-blocking, close-on-exec,
// no delay, keep-alive on) or -1.
int ConnectTcp(const TTcpTarget& target, std::chrono::milliseconds timeout, int stopFd = -1);

// The waits between reconnection attempts: First, doubling up to Longest.
struct TReconnectDelays {
    std::chrono::milliseconds First = std::chrono::seconds(1);
    std::chrono::milliseconds Longest = std::chrono::seconds(30);
};

class TTcpReconnector {
  public:
    TTcpReconnector(TTcpTarget target, TReconnectDelays delays,
                    std::chrono::milliseconds connectTimeout, TCommSink* sink, uint32_t opening);
    TTcpReconnector(const TTcpReconnector&) = delete;
    TTcpReconnector& operator=(const TTcpReconnector&) = delete;
    // Stops the thread and closes a connection nobody took.
    ~TTcpReconnector();

    // False when the system refuses the stop event or the thread.
    bool Start();
    void Stop();
    // The connection made, once CommConnectionUp was posted; -1 before (and
    // after it was taken). The caller owns what it takes.
    int TakeConnection();
    // Attempts finished so far (successful or not). Safe from any thread.
    uint32_t Attempts() const { return FAttempts.load(); }

  private:
    void Run() noexcept;
    // False when stopped during the wait.
    bool Wait(std::chrono::milliseconds delay) const;

    const TTcpTarget FTarget;
    const TReconnectDelays FDelays;
    const std::chrono::milliseconds FConnectTimeout;
    TCommSink* const FSink;
    const uint32_t FOpening;
    std::unique_ptr<TEventFd> FStop;
    std::atomic<uint32_t> FAttempts{0};
    std::mutex FLock;  // guards FConnection
    int FConnection = -1;
    std::thread FThread;
};
