#pragma once
// The simulator's one thread: a poll loop over every line (a pty master, or
// a TCP listening socket and its client), the watch on who has the slave
// devices open, and the stop signal.
//
// A line carries one or more controllers, each with its own address; a
// request for an address nobody on the line has gets no answer. A line
// answers one request at a time: while a reply is due or being written
// (late profile, --wire-baud pacing), the requests behind it wait in the
// framer, so replies never overlap.
//
// Replies are built by libmodbus (modbus_reply / modbus_reply_exception on a
// mapping of 4 coils and 4 input registers), so the station meets a protocol
// implementation that is not its own. libmodbus writes each reply into a
// datagram socket; the loop takes it from there, lets the profile spoil it
// (badcrc, wrongaddr), writes it to the line, and only then prints its line.
//
// libmodbus's own receive path is not used: it rejects slave addresses above
// 247 and, after a request for another slave, takes the next frame for that
// slave's answer and drops it. SimFrames does the framing.
//
// Clients of a pty line, as the inotify watch on its slave device counts them:
//
//   0 clients --open--> 1.. clients     prints "COMn opened"
//   1.. clients --last close--> 0       drops unread replies and the one
//                                       still due, clears the exclusive
//                                       flag, prints "COMn closed"
//
// A TCP line prints "tcp:PORT opened" when it accepts a client and
// "tcp:PORT closed" when that client goes or a new one replaces it; a reply
// still due then is dropped, and so are bytes of a request half received.

#include <modbus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "SimFrames.h"
#include "SimModel.h"
#include "SimOptions.h"
#include "SimPort.h"
#include "SimSocket.h"

class TSimServer {
  public:
    // Creates every line and its link; throws std::runtime_error, after
    // removing the links made so far.
    explicit TSimServer(const TSimOptions& options);
    ~TSimServer();
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    // "ready seed=N COM1=/dev/pts/3 tcp:0=40123 ..."
    std::string ReadyLine() const;
    // Serves until `signalFd` (a signalfd) becomes readable. Returns false when
    // the loop itself failed.
    bool Run(int signalFd);

  private:
    struct TModbusFree {
        void operator()(modbus_t* context) const { modbus_free(context); }
    };
    struct TMappingFree {
        void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
    };

    struct TController {
        TController(const TControllerSetup& setup, uint64_t seed)
            : Setup(setup), Model(setup.Profile, seed) {}
        TControllerSetup Setup;
        TControllerModel Model;
    };

    // A reply on its way: its bytes go out from Start on, one every ByteTime
    // (all at once when that is zero); the log line follows the last one.
    struct TReplyInFlight {
        TFrameBytes Bytes;
        size_t Written = 0;
        TSimClock::time_point Start;
        TSimClock::duration ByteTime{};
        std::string LogLine;
        TSimClock::time_point NextWrite() const {
            return Start + ByteTime * static_cast<long>(Written + (ByteTime.count() > 0 ? 1 : 0));
        }
    };

    struct TLine {
        std::string Name;                    // "COMn" or "tcp:PORT"
        std::unique_ptr<TSimPort> Port;      // a pty line...
        std::unique_ptr<TSimSocket> Socket;  // ...or a TCP one
        std::vector<std::unique_ptr<TController>> Controllers;
        TRequestFramer Framer;
        std::optional<TReplyInFlight> Reply;
        int Watch = -1;      // inotify watch on the slave device, -1: none
        int Clients = 0;     // descriptors of the slave open elsewhere
        int ClosesSeen = 0;  // closes read this round, applied after serving
        bool Served = true;  // false once the line failed
    };

    void WatchClients(TLine& line);
    void ReadClientEvents();
    void ApplyCloses(TLine& line);
    void AcceptClient(TLine& line);
    void ClientGone(TLine& line);
    void ServeLine(TLine& line, short revents, TSimClock::time_point now);
    // Answers what the framer holds, one request after the other, as long as
    // no reply is still on its way.
    void Progress(TLine& line, TSimClock::time_point now);
    // Writes what is due of the reply in flight; true once it is done.
    bool AdvanceReply(TLine& line, TSimClock::time_point now);
    bool Write(TLine& line, const uint8_t* data, size_t length);
    void Answer(TLine& line, const TFrameBytes& request, TSimClock::time_point now);
    int PollTimeoutMs(TSimClock::time_point now) const;
    void Emit(const std::string& text);

    uint64_t seed_;
    std::optional<TWireTiming> wire_;
    std::chrono::milliseconds late_;
    std::vector<std::unique_ptr<TLine>> lines_;
    TFd inotify_;
    bool clientsCounted_ = true;  // false after the watch lost events
    std::unordered_map<int, TLine*> lineByWatch_;
    TFd replyIn_;   // libmodbus writes replies here...
    TFd replyOut_;  // ...and the loop reads them here
    std::unique_ptr<modbus_t, TModbusFree> modbus_;
    std::unique_ptr<modbus_mapping_t, TMappingFree> mapping_;
};
