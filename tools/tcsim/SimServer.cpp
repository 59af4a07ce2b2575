#include "SimServer.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "polling/TmpProtocol.h"

namespace {

constexpr int kCoilCount = 4;
constexpr int kInputRegisterCount = 4;
// libmodbus wants a device name even though it never opens it here.
constexpr char kUnusedDevice[] = "/dev/null";
constexpr int kUnusedBaud = 9600;

// A reply that cannot be written within this time (a client that writes and
// never reads has filled the slave's input queue) is given up.
constexpr int kWriteTimeoutMs = 2000;
// Bytes read from one line per round, so one busy line cannot starve others.
constexpr size_t kReadChunk = kMaxRtuFrameSize;
constexpr int kReadsPerRound = 16;
// badcrc: the last CRC byte is inverted, so no reply can pass by chance.
constexpr uint8_t kCrcSpoil = 0xFF;

// wrongaddr answers for the address after its own.
constexpr unsigned kMaxAddress = 255;
// A serial byte on the wire: start bit, 8 data bits, stop bit.
constexpr int64_t kBitsPerByte = 10;

constexpr size_t kSignalFdSlot = 0;
constexpr size_t kInotifySlot = 1;
constexpr size_t kFirstLineSlot = 2;
// Each line has two slots: its pty master or listening socket, and its TCP
// client (unused on a pty line).
constexpr size_t kSlotsPerLine = 2;

uint64_t FreshSeed() {
    std::random_device device;
    return (static_cast<uint64_t>(device()) << 32) ^ device();
}

}  // namespace

TSimServer::TSimServer(const TSimOptions& options)
    : seed_(options.Seed.value_or(FreshSeed())), wire_(options.Wire), late_(options.LateMs) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0) {
        throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
    }
    replyIn_.Reset(pair[0]);
    replyOut_.Reset(pair[1]);

    modbus_.reset(modbus_new_rtu(kUnusedDevice, kUnusedBaud, 'N', 8, 1));
    mapping_.reset(modbus_mapping_new(kCoilCount, 0, 0, kInputRegisterCount));
    if (!modbus_ || !mapping_) throw std::runtime_error("libmodbus: out of memory");
    modbus_set_socket(modbus_.get(), replyIn_.Get());

    inotify_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!inotify_.Valid()) clientsCounted_ = false;

    const std::string portsDir = (std::filesystem::path(options.ProgramDir) / "ports").string();
    uint64_t seedState = seed_;
    for (const TControllerSetup& setup : options.Controllers) {
        // Each controller draws its own seed, so its replies do not depend
        // on how requests to the others interleave.
        uint64_t controllerSeed = SplitMix64(seedState);
        auto same = std::find_if(lines_.begin(), lines_.end(),
                                 [&](const auto& line) { return line->Name == setup.PortName; });
        if (same == lines_.end()) {
            auto line = std::make_unique<TLine>();
            line->Name = setup.PortName;
            if (setup.TcpPort) {
                line->Socket = std::make_unique<TSimSocket>(*setup.TcpPort);
            } else {
                line->Port = std::make_unique<TSimPort>(setup.PortName, portsDir);
            }
            lines_.push_back(std::move(line));
            if (lines_.back()->Port) WatchClients(*lines_.back());
            same = lines_.end() - 1;
        }
        (*same)->Controllers.push_back(std::make_unique<TController>(setup, controllerSeed));
    }
}

TSimServer::~TSimServer() = default;

void TSimServer::WatchClients(TLine& line) {
    if (!clientsCounted_) return;
    line.Watch = inotify_add_watch(inotify_.Get(), line.Port->DevicePath().c_str(),
                                   IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (line.Watch < 0) {
        // Without the watch nobody is counted and nothing is reset.
        std::fprintf(stderr, "tcsim: cannot watch %s (%s); clients are not counted\n",
                     line.Port->DevicePath().c_str(), std::strerror(errno));
        clientsCounted_ = false;
        return;
    }
    lineByWatch_[line.Watch] = &line;
}

std::string TSimServer::ReadyLine() const {
    std::string text = "ready seed=" + std::to_string(seed_);
    for (const auto& line : lines_) {
        text += " " + line->Name + "=" +
                (line->Port ? line->Port->DevicePath() : std::to_string(line->Socket->Port()));
    }
    return text;
}

void TSimServer::Emit(const std::string& text) {
    // A reader that went away must not stop the serving: errors are dropped.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0) std::clearerr(stdout);
}

bool TSimServer::Run(int signalFd) {
    std::vector<pollfd> fds(kFirstLineSlot + kSlotsPerLine * lines_.size());
    fds[kSignalFdSlot] = {signalFd, POLLIN, 0};

    for (;;) {
        fds[kInotifySlot] = {clientsCounted_ ? inotify_.Get() : -1, POLLIN, 0};
        for (size_t i = 0; i < lines_.size(); ++i) {
            const TLine& line = *lines_[i];
            const size_t slot = kFirstLineSlot + kSlotsPerLine * i;
            int first = line.Port ? line.Port->MasterFd() : line.Socket->ListenFd();
            int client = line.Socket ? line.Socket->ClientFd() : -1;
            fds[slot] = {line.Served ? first : -1, POLLIN, 0};
            fds[slot + 1] = {line.Served ? client : -1, POLLIN, 0};
        }
        int rc = ::poll(fds.data(), fds.size(), PollTimeoutMs(TSimClock::now()));
        if (rc < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "tcsim: poll: %s\n", std::strerror(errno));
            return false;
        }
        if (fds[kSignalFdSlot].revents != 0) {
            signalfd_siginfo info{};
            ssize_t n = ::read(signalFd, &info, sizeof info);
            (void)n;
            return true;
        }
        // Opens count before the requests of this round are answered, closes
        // after them, so a client that sends a request and closes at once
        // still has its reply dropped rather than left for the next client.
        // The watch is read every round, not only when poll flagged it: poll
        // looks at it before the lines, and a client may open and write in
        // between; its reply must not be taken for one nobody can read.
        if (clientsCounted_) ReadClientEvents();

        const auto now = TSimClock::now();
        for (size_t i = 0; i < lines_.size(); ++i) {
            TLine& line = *lines_[i];
            const size_t slot = kFirstLineSlot + kSlotsPerLine * i;
            if (line.Port) {
                ServeLine(line, fds[slot].revents, now);
                ApplyCloses(line);
            } else {
                if (fds[slot].revents & POLLIN) AcceptClient(line);
                ServeLine(line, fds[slot + 1].revents, now);
            }
        }
    }
}

int TSimServer::PollTimeoutMs(TSimClock::time_point now) const {
    std::optional<TSimClock::time_point> first;
    for (const auto& line : lines_) {
        // While a reply is on its way the framer waits for it, not for its
        // own deadline.
        auto deadline =
            line->Reply ? std::optional(line->Reply->NextWrite()) : line->Framer.Deadline();
        if (deadline && (!first || *deadline < *first)) first = deadline;
    }
    if (!first) return -1;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*first - now).count();
    return static_cast<int>(std::max<decltype(wait)>(wait, 0));
}

void TSimServer::ReadClientEvents() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t n = ::read(inotify_.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                std::fprintf(stderr, "tcsim: lost track of clients; no longer counting them\n");
                clientsCounted_ = false;
                return;
            }
            auto it = lineByWatch_.find(event->wd);
            if (it == lineByWatch_.end()) continue;
            TLine& line = *it->second;
            if (event->mask & IN_OPEN) {
                if (line.Clients++ == 0) Emit(line.Name + " opened");
            }
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) ++line.ClosesSeen;
        }
    }
}

void TSimServer::ApplyCloses(TLine& line) {
    if (line.ClosesSeen == 0) return;
    bool wasOpen = line.Clients > 0;
    line.Clients = std::max(0, line.Clients - line.ClosesSeen);
    line.ClosesSeen = 0;
    if (!clientsCounted_ || !wasOpen || line.Clients > 0) return;
    line.Port->ResetAfterLastClient();
    line.Framer.Clear();
    // A reply still due (late, paced) was for the client that left.
    line.Reply.reset();
    Emit(line.Name + " closed");
}

void TSimServer::AcceptClient(TLine& line) {
    const bool replacing = line.Socket->HasClient();
    if (!line.Socket->Accept()) return;
    // The old client's reply and half request must not reach the new one.
    if (replacing) {
        line.Reply.reset();
        line.Framer.Clear();
        Emit(line.Name + " closed");
    }
    Emit(line.Name + " opened");
}

void TSimServer::ClientGone(TLine& line) {
    line.Socket->DropClient();
    line.Reply.reset();
    line.Framer.Clear();
    Emit(line.Name + " closed");
}

void TSimServer::ServeLine(TLine& line, short revents, TSimClock::time_point now) {
    if (revents & POLLIN) {
        uint8_t chunk[kReadChunk];
        for (int round = 0; round < kReadsPerRound; ++round) {
            ptrdiff_t n = line.Port ? line.Port->Read(chunk, sizeof chunk)
                                    : line.Socket->Read(chunk, sizeof chunk);
            if (n < 0) {
                if (line.Socket) {
                    ClientGone(line);
                    return;
                }
                revents |= POLLERR;
                break;
            }
            if (n == 0) break;
            // Bytes that reach the line once its last client has gone (a pty
            // hands written bytes over a moment later) were that client's:
            // answering them would give the next client a reply it never
            // asked for.
            if (line.Port && clientsCounted_ && line.Clients == 0) continue;
            line.Framer.Append(chunk, static_cast<size_t>(n), now);
            Progress(line, now);
        }
    } else if (line.Socket && (revents & (POLLHUP | POLLERR))) {
        ClientGone(line);
        return;
    } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Cannot happen while our own slave descriptor is open; if it does,
        // the line is given up rather than polled in a busy loop.
        std::fprintf(stderr, "tcsim: %s: the line failed; no longer served\n", line.Name.c_str());
        line.Served = false;
        return;
    }
    // Bytes that waited in vain for the rest of their frame are dropped here,
    // and replies that are due go out.
    Progress(line, now);
}

void TSimServer::Progress(TLine& line, TSimClock::time_point now) {
    for (;;) {
        if (line.Reply && !AdvanceReply(line, now)) return;
        auto request = line.Framer.Next(now);
        if (!request) return;
        Answer(line, *request, now);
    }
}

bool TSimServer::Write(TLine& line, const uint8_t* data, size_t length) {
    return line.Port ? line.Port->WriteAll(data, length, kWriteTimeoutMs)
                     : line.Socket->WriteAll(data, length, kWriteTimeoutMs);
}

bool TSimServer::AdvanceReply(TLine& line, TSimClock::time_point now) {
    TReplyInFlight& reply = *line.Reply;
    size_t due = reply.Bytes.size();
    if (reply.ByteTime.count() > 0) {
        // Byte n has left the wire once n + 1 byte times have passed.
        if (now < reply.Start) return false;
        due = std::min(due, static_cast<size_t>((now - reply.Start) / reply.ByteTime));
    } else if (now < reply.Start) {
        return false;
    }
    if (due > reply.Written) {
        if (!Write(line, reply.Bytes.data() + reply.Written, due - reply.Written)) {
            std::fprintf(stderr, "tcsim: %s: reply not written (%s)\n", line.Name.c_str(),
                         std::strerror(errno));
            line.Reply.reset();
            return true;
        }
        reply.Written = due;
    }
    if (reply.Written < reply.Bytes.size()) return false;
    // Nobody has the line open (the client closed right after asking): the
    // answer must not wait for whoever opens it next.
    if (line.Port && clientsCounted_ && line.Clients == 0) line.Port->DiscardUnreadReplies();
    Emit(reply.LogLine);
    line.Reply.reset();
    return true;
}

void TSimServer::Answer(TLine& line, const TFrameBytes& request, TSimClock::time_point now) {
    const uint8_t address = request[0];
    const uint8_t function = request[1];
    // Other slaves' requests (and broadcasts, which read requests never are)
    // get no answer, as on a real line.
    auto it = std::find_if(line.Controllers.begin(), line.Controllers.end(),
                           [&](const auto& c) { return c->Setup.Address == address; });
    if (it == line.Controllers.end()) return;
    TController& controller = **it;

    const std::string prefix = line.Name + " addr=" + std::to_string(address) +
                               " fn=" + std::to_string(function) + " reply=";
    if (!controller.Model.Answers()) {
        Emit(prefix + "none");
        return;
    }

    const TControllerValues& values = controller.Model.Values();
    for (int bit = 0; bit < kCoilCount; ++bit) {
        mapping_->tab_bits[bit] = static_cast<uint8_t>((values.Coils >> bit) & 1u);
    }
    for (int r = 0; r < kInputRegisterCount; ++r) {
        mapping_->tab_input_registers[r] = values.Registers[static_cast<size_t>(r)];
    }
    // Whatever a failed earlier reply may have left in the channel goes first,
    // so the bytes taken below are this request's reply.
    uint8_t reply[kMaxRtuFrameSize + 4];
    while (::recv(replyOut_.Get(), reply, sizeof reply, MSG_DONTWAIT) > 0) {
    }
    // A controller that fails answers every request with an exception.
    const bool served = (function == kFnReadCoils || function == kFnReadInputRegs) &&
                        !controller.Model.AnswersWithException();
    int built = served ? modbus_reply(modbus_.get(), request.data(),
                                      static_cast<int>(request.size()), mapping_.get())
                       : modbus_reply_exception(modbus_.get(), request.data(),
                                                controller.Model.AnswersWithException()
                                                    ? MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE
                                                    : MODBUS_EXCEPTION_ILLEGAL_FUNCTION);
    ssize_t length = built > 0 ? ::recv(replyOut_.Get(), reply, sizeof reply, MSG_DONTWAIT) : -1;
    if (length < 2) {
        std::fprintf(stderr, "tcsim: %s: libmodbus built no reply (%s)\n", line.Name.c_str(),
                     modbus_strerror(errno));
        return;
    }
    if (served) controller.Model.AfterRequest(function);
    if (controller.Model.AnswersForAnotherAddress()) {
        // A whole, valid frame, only from the wrong slave.
        reply[0] = static_cast<uint8_t>(address % kMaxAddress + 1);
        uint16_t crc = RtuCrc16(reply, static_cast<size_t>(length) - 2);
        reply[length - 2] = static_cast<uint8_t>(crc & 0xFFu);
        reply[length - 1] = static_cast<uint8_t>(crc >> 8);
    }
    if (controller.Model.CorruptsCrc()) reply[length - 1] ^= kCrcSpoil;

    TReplyInFlight flight;
    flight.Bytes.assign(reply, reply + length);
    flight.Start = now;
    if (controller.Model.AnswersLate()) flight.Start += late_;
    if (wire_) {
        flight.Start += std::chrono::milliseconds(wire_->TurnaroundMs);
        flight.ByteTime = std::chrono::duration_cast<TSimClock::duration>(
            std::chrono::nanoseconds(kBitsPerByte * 1'000'000'000 / wire_->Baud + 1));
    }
    flight.LogLine = prefix + HexBytes(reply, static_cast<size_t>(length));
    line.Reply = std::move(flight);
    AdvanceReply(line, now);
}
