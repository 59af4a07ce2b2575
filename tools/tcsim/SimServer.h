#pragma once
// The simulator's one thread: a poll loop over every line's pty master, the
// watch on who has the slave devices open, and the stop signal.
//
// Replies are built by libmodbus (modbus_reply / modbus_reply_exception on a
// mapping of 4 coils and 4 input registers), so the station meets a protocol
// implementation that is not its own. libmodbus writes each reply into a
// datagram socket; the loop takes it from there, lets the profile spoil it
// (badcrc), writes it to the line whole, and only then prints its line.
//
// libmodbus's own receive path is not used: it rejects slave addresses above
// 247 and expects a shared bus (after a request for another slave it takes
// the next frame for that slave's answer and drops it), while each line here
// is point to point and addresses go up to 255. SimFrames does the framing.
//
// Clients of a line, as the inotify watch on its slave device counts them:
//
//   0 clients --open--> 1.. clients     prints "COMn opened"
//   1.. clients --last close--> 0       drops unread replies, clears the
//                                       exclusive flag, prints "COMn closed"

#include <modbus.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "SimFrames.h"
#include "SimModel.h"
#include "SimOptions.h"
#include "SimPort.h"

class TSimServer {
  public:
    // Creates every line and its link; throws std::runtime_error, after
    // removing the links made so far.
    explicit TSimServer(const TSimOptions& options);
    ~TSimServer();
    TSimServer(const TSimServer&) = delete;
    TSimServer& operator=(const TSimServer&) = delete;

    // "ready seed=N COM1=/dev/pts/3 ..."
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

    struct TLine {
        TLine(const TControllerSetup& setup, uint64_t seed, const std::string& portsDir)
            : Setup(setup), Model(setup.Profile, seed), Port(setup.PortName, portsDir) {}
        TControllerSetup Setup;
        TControllerModel Model;
        TSimPort Port;
        TRequestFramer Framer;
        int Watch = -1;      // inotify watch on the slave device, -1: none
        int Clients = 0;     // descriptors of the slave open elsewhere
        int ClosesSeen = 0;  // closes read this round, applied after serving
        bool Served = true;  // false once the line failed
    };

    void WatchClients(TLine& line);
    void ReadClientEvents();
    void ApplyCloses(TLine& line);
    void ServeLine(TLine& line, short revents, TSimClock::time_point now);
    void Answer(TLine& line, const TFrameBytes& request);
    int PollTimeoutMs(TSimClock::time_point now) const;
    void Emit(const std::string& text);

    uint64_t seed_;
    std::vector<std::unique_ptr<TLine>> lines_;
    TFd inotify_;
    bool clientsCounted_ = true;  // false after the watch lost events
    std::unordered_map<int, TLine*> lineByWatch_;
    TFd replyIn_;   // libmodbus writes replies here...
    TFd replyOut_;  // ...and the loop reads them here
    std::unique_ptr<modbus_t, TModbusFree> modbus_;
    std::unique_ptr<modbus_mapping_t, TMappingFree> mapping_;
};
