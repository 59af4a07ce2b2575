// The controller simulator seen from the station's side: a child process on a
// temporary program directory, its lines opened through the ports/ links.

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>

#include <gtest/gtest.h>

#include "SimHarness.h"
#include "polling/TmpProtocol.h"

namespace fs = std::filesystem;

namespace {

class TcSim : public testing::Test {
  protected:
    // Starts tcsim on the temp dir with the given controllers and waits for
    // its ready line.
    TSimProcess& Start(std::vector<std::string> args) {
        args.insert(args.begin(), {"--dir", dir_.Path()});
        sim_ = std::make_unique<TSimProcess>(args);
        ready_ = sim_->WaitReady();
        EXPECT_TRUE(ready_) << "tcsim did not get ready";
        return *sim_;
    }

    void TearDown() override {
        if (sim_) {
            sim_->Signal(SIGTERM);
            sim_->WaitExit();
        }
    }

    std::string Port(const std::string& name) const { return dir_.Port(name); }

    // The reply to one request, checked against the line tcsim printed for it.
    TBytes Ask(TLineClient& client, const std::string& port, uint8_t address, uint8_t function) {
        const size_t size = function == kFnReadCoils ? kCoilsReplySize : kRegsReplySize;
        TBytes reply = client.Transact(RequestFor(address, function), size);
        auto line = sim_->NextRequestLine(port);
        EXPECT_TRUE(line);
        if (line) {
            const std::string prefix = port + " addr=" + std::to_string(address) +
                                       " fn=" + std::to_string(function) + " reply=";
            EXPECT_TRUE(StartsWith(*line, prefix)) << *line;
            EXPECT_EQ(ReplyOfLine(*line), reply) << *line;
        }
        return reply;
    }

    TTempDir dir_;
    std::unique_ptr<TSimProcess> sim_;
    std::optional<std::string> ready_;
};

// The device a ready line gives for a port.
std::string DeviceOf(const std::string& ready, const std::string& port) {
    size_t pos = ready.find(" " + port + "=");
    if (pos == std::string::npos) return {};
    pos += port.size() + 2;
    return ready.substr(pos, ready.find(' ', pos) - pos);
}

bool IsClosedLine(const std::string& line, const std::string& port) {
    return line == port + " closed";
}

// The port a ready line gives for a TCP line ("tcp:0=40123").
uint16_t TcpPortOf(const std::string& ready, const std::string& line) {
    std::string port = DeviceOf(ready, line);
    return port.empty() ? 0 : static_cast<uint16_t>(std::stoul(port));
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) {
        ++count;
    }
    return count;
}

bool RtuCrcOk(const TBytes& frame) {
    return frame.size() > 2 && WithCrc(TBytes(frame.begin(), frame.end() - 2)) == frame;
}

using TTestClock = std::chrono::steady_clock;

std::chrono::milliseconds Since(TTestClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TTestClock::now() - start);
}

// Opens `device` as an unprivileged user would; returns the open's errno, 0
// on success. As root, a child drops to nobody for the attempt.
int UnprivilegedOpenError(const std::string& device) {
    if (::geteuid() != 0) {
        int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return errno;
        ::close(fd);
        return 0;
    }
    ::chmod(device.c_str(), 0666);
    pid_t child = ::fork();
    if (child == 0) {
        constexpr uid_t kNobody = 65534;
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(255);
        int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : (errno & 0x7F));
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

}  // namespace

TEST_F(TcSim, NormalProfileDriftsWithin25To30WithFanOn) {
    Start({"--seed", "3", "COM1:1"});
    TLineClient client(Port("COM1"));
    ASSERT_TRUE(client.IsOpen());
    std::set<std::array<uint16_t, 4>> seen;
    for (int n = 0; n < 40; ++n) {
        TBytes reply = Ask(client, "COM1", 1, kFnReadInputRegs);
        ASSERT_EQ(reply.size(), kRegsReplySize);
        TDecodedReply decoded = DecodeReply(reply.data(), reply.size());
        ASSERT_TRUE(decoded.Accepted);
        EXPECT_EQ(reply[0], 1);
        EXPECT_EQ(reply[2], 8);  // byte count
        for (size_t r = kPhaseA; r <= kPhaseC; ++r) {
            EXPECT_GE(decoded.RawTemp[r], 65);
            EXPECT_LE(decoded.RawTemp[r], 70);
        }
        EXPECT_EQ(decoded.RawTemp[kIronCore], kIronCoreNoReading);
        seen.insert(decoded.RawTemp);
    }
    EXPECT_GT(seen.size(), 3u) << "the temperatures should drift";
    TBytes coils = Ask(client, "COM1", 1, kFnReadCoils);
    TDecodedReply relays = DecodeReply(coils.data(), coils.size());
    ASSERT_TRUE(relays.Accepted);
    EXPECT_EQ(relays.RelayFlags, kRelayFan);
    EXPECT_EQ(client.Pending(), 0);  // exactly one reply per request
}

TEST_F(TcSim, SameSeedRepeatsTheRepliesAndAnotherSeedDoesNot) {
    auto run = [&](const char* seed) {
        TTempDir dir;
        TSimProcess sim({"--dir", dir.Path(), "--seed", seed, "COM1:1", "COM2:2"});
        EXPECT_TRUE(sim.WaitReady());
        TLineClient one(dir.Port("COM1"));
        TLineClient two(dir.Port("COM2"));
        std::vector<TBytes> replies;
        for (int n = 0; n < 10; ++n) {
            replies.push_back(two.Transact(RequestFor(2, kFnReadInputRegs), kRegsReplySize));
            replies.push_back(one.Transact(RequestFor(1, kFnReadInputRegs), kRegsReplySize));
        }
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.WaitExit(), 0);
        return replies;
    };
    auto first = run("42");
    EXPECT_EQ(first, run("42"));
    EXPECT_NE(first, run("43"));
}

TEST_F(TcSim, HotProfileRisesUntilAlarmThenTrip) {
    Start({"COM2:9:hot"});
    TLineClient client(Port("COM2"));
    int last = -100;
    bool alarmed = false, tripped = false;
    for (int n = 0; n < 20 && !tripped; ++n) {
        TBytes regs = Ask(client, "COM2", 9, kFnReadInputRegs);
        TDecodedReply temps = DecodeReply(regs.data(), regs.size());
        ASSERT_TRUE(temps.Accepted);
        TBytes coils = Ask(client, "COM2", 9, kFnReadCoils);
        TDecodedReply relays = DecodeReply(coils.data(), coils.size());
        ASSERT_TRUE(relays.Accepted);

        for (uint16_t raw : temps.RawTemp) EXPECT_FALSE(IsSensorFault(raw));
        int a = TemperatureCelsius(temps.RawTemp[kPhaseA]);
        EXPECT_GT(a, last) << "rises with every request";
        last = a;
        EXPECT_TRUE(relays.RelayFlags & kRelayFan);
        EXPECT_FALSE(relays.RelayFlags & kRelaySensorFault);
        // The relay reply follows the temperature reply, one step hotter.
        int hotter = a + 10;
        EXPECT_EQ(bool(relays.RelayFlags & kRelayAlarm), hotter > 120) << hotter;
        EXPECT_EQ(bool(relays.RelayFlags & kRelayTrip), hotter > 150) << hotter;
        if (relays.RelayFlags & kRelayAlarm) alarmed = true;
        if (relays.RelayFlags & kRelayTrip) {
            EXPECT_TRUE(alarmed) << "the alarm comes before the trip";
            tripped = true;
        }
    }
    EXPECT_TRUE(tripped);
    // At the peak it stays hot and tripped.
    TBytes coils = Ask(client, "COM2", 9, kFnReadCoils);
    EXPECT_TRUE(DecodeReply(coils.data(), coils.size()).RelayFlags & kRelayTrip);
}

TEST_F(TcSim, FaultProfileReportsTheAPhaseSensorFault) {
    Start({"COM1:5:fault"});
    TLineClient client(Port("COM1"));
    TBytes regs = Ask(client, "COM1", 5, kFnReadInputRegs);
    TDecodedReply temps = DecodeReply(regs.data(), regs.size());
    ASSERT_TRUE(temps.Accepted);
    EXPECT_EQ(temps.RawTemp[kPhaseA], 300);
    EXPECT_TRUE(IsSensorFault(temps.RawTemp[kPhaseA]));
    EXPECT_FALSE(IsSensorFault(temps.RawTemp[kPhaseB]));
    EXPECT_FALSE(IsSensorFault(temps.RawTemp[kPhaseC]));
    TBytes coils = Ask(client, "COM1", 5, kFnReadCoils);
    TDecodedReply relays = DecodeReply(coils.data(), coils.size());
    ASSERT_TRUE(relays.Accepted);
    EXPECT_EQ(relays.RelayFlags, kRelaySensorFault | kRelayFan);
}

TEST_F(TcSim, ZerosProfileSendsAllZeroRegisters) {
    Start({"COM1:1:zeros"});
    TLineClient client(Port("COM1"));
    TBytes regs = Ask(client, "COM1", 1, kFnReadInputRegs);
    TDecodedReply temps = DecodeReply(regs.data(), regs.size());
    ASSERT_TRUE(temps.Accepted);
    EXPECT_EQ(temps.RawTemp, (std::array<uint16_t, 4>{0, 0, 0, 0}));
    TBytes coils = Ask(client, "COM1", 1, kFnReadCoils);
    EXPECT_EQ(DecodeReply(coils.data(), coils.size()).RelayFlags, 0);
}

TEST_F(TcSim, BadCrcProfileSpoilsOnlyTheCrc) {
    Start({"COM1:1:badcrc"});
    TLineClient client(Port("COM1"));
    for (uint8_t function : {kFnReadInputRegs, kFnReadCoils}) {
        TBytes reply = Ask(client, "COM1", 1, function);
        ASSERT_EQ(reply.size(), function == kFnReadCoils ? kCoilsReplySize : kRegsReplySize);
        TDecodedReply decoded = DecodeReply(reply.data(), reply.size());
        EXPECT_NE(decoded.Kind, TReplyKind::None);
        EXPECT_FALSE(decoded.Accepted);
        TBytes mended = WithCrc(TBytes(reply.begin(), reply.end() - 2));
        EXPECT_NE(mended, reply);
        EXPECT_TRUE(DecodeReply(mended.data(), mended.size()).Accepted);
    }
}

TEST_F(TcSim, SilentProfileLogsRequestsButNeverAnswers) {
    Start({"COM3:7:silent"});
    TLineClient client(Port("COM3"));
    client.Send(RequestFor(7, kFnReadInputRegs));
    auto line = sim_->NextRequestLine("COM3");
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "COM3 addr=7 fn=4 reply=none");
    // The line is printed once the request is dealt with, so any reply would
    // be waiting by now.
    EXPECT_EQ(client.Pending(), 0);
}

TEST_F(TcSim, AnswersAddressesAbove247) {
    Start({"COM1:255", "COM2:248"});
    TLineClient one(Port("COM1"));
    TLineClient two(Port("COM2"));
    TBytes reply = Ask(one, "COM1", 255, kFnReadInputRegs);
    ASSERT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
    EXPECT_EQ(reply[0], 0xFF);
    reply = Ask(two, "COM2", 248, kFnReadCoils);
    ASSERT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
    EXPECT_EQ(reply[0], 248);
}

TEST_F(TcSim, OtherFunctionsGetExceptionsTheStationIgnores) {
    Start({"COM1:1"});
    TLineClient client(Port("COM1"));
    // Read Holding Registers: not served, "illegal function".
    TBytes reply = client.Transact(WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x04}), 5);
    EXPECT_EQ(reply, WithCrc({0x01, 0x83, 0x01}));
    EXPECT_EQ(DecodeReply(reply.data(), reply.size()).Kind, TReplyKind::None);
    // Eight coils where four exist: "illegal data address".
    reply = client.Transact(WithCrc({0x01, 0x01, 0x00, 0x00, 0x00, 0x08}), 5);
    EXPECT_EQ(reply, WithCrc({0x01, 0x81, 0x02}));
    EXPECT_EQ(DecodeReply(reply.data(), reply.size()).Kind, TReplyKind::None);
    auto line = sim_->NextRequestLine("COM1");
    ASSERT_TRUE(line);
    EXPECT_TRUE(StartsWith(*line, "COM1 addr=1 fn=3 reply=01 83 01")) << *line;
}

TEST_F(TcSim, BackToBackRequestsAreAnsweredInOrder) {
    Start({"COM1:1"});
    TLineClient client(Port("COM1"));
    TBytes both = RequestFor(1, kFnReadCoils);
    TBytes regs = RequestFor(1, kFnReadInputRegs);
    both.insert(both.end(), regs.begin(), regs.end());
    TBytes replies = client.Transact(both, kCoilsReplySize + kRegsReplySize);
    ASSERT_EQ(replies.size(), kCoilsReplySize + kRegsReplySize);
    EXPECT_TRUE(DecodeReply(replies.data(), kCoilsReplySize).Accepted);
    EXPECT_EQ(DecodeReply(replies.data(), kCoilsReplySize).Kind, TReplyKind::Relays);
    TDecodedReply second = DecodeReply(replies.data() + kCoilsReplySize, kRegsReplySize);
    EXPECT_TRUE(second.Accepted);
    EXPECT_EQ(second.Kind, TReplyKind::Temperatures);
    EXPECT_TRUE(StartsWith(sim_->NextRequestLine("COM1").value_or(""), "COM1 addr=1 fn=1 "));
    EXPECT_TRUE(StartsWith(sim_->NextRequestLine("COM1").value_or(""), "COM1 addr=1 fn=4 "));
}

TEST_F(TcSim, IgnoresOtherAddressesAndFramesWithBadCrc) {
    Start({"COM1:1"});
    TLineClient client(Port("COM1"));
    client.Send(RequestFor(2, kFnReadInputRegs));  // another slave's
    TBytes bad = RequestFor(1, kFnReadInputRegs);
    bad[7] ^= 0x01;
    client.Send(bad);
    client.Send(RequestFor(0, kFnReadCoils));  // a broadcast read
    // The next request is answered, and is the only one answered.
    TBytes reply = Ask(client, "COM1", 1, kFnReadInputRegs);
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
    EXPECT_EQ(client.Pending(), 0);
    reply = Ask(client, "COM1", 1, kFnReadCoils);  // and the line is still in step
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
    for (const std::string& line : sim_->Lines()) {
        EXPECT_EQ(line.find("addr=2"), std::string::npos) << line;
        EXPECT_EQ(line.find("addr=0"), std::string::npos) << line;
    }
}

TEST_F(TcSim, FragmentsOfRequestsAreNeverAnswered) {
    Start({"COM1:1"});
    TLineClient client(Port("COM1"));
    TBytes request = RequestFor(1, kFnReadInputRegs);
    client.Send(TBytes(request.begin(), request.begin() + 5));
    // Whether the fragment times out alone or runs into the next request
    // (then both are dropped), no answer may come for it; a whole request
    // sent again is answered.
    TBytes received;
    for (int attempt = 0; attempt < 10 && received.empty(); ++attempt) {
        client.Send(request);
        received = client.Receive(kRegsReplySize, 1s);
    }
    ASSERT_EQ(received.size(), kRegsReplySize);
    EXPECT_TRUE(DecodeReply(received.data(), received.size()).Accepted);
    auto line = sim_->NextRequestLine("COM1");
    ASSERT_TRUE(line);
    EXPECT_EQ(ReplyOfLine(*line), received);
}

TEST_F(TcSim, KeepsServingWhileClientsCloseReopenAndDie) {
    Start({"COM1:1"});
    for (int round = 0; round < 20; ++round) {
        TLineClient client(Port("COM1"));
        ASSERT_TRUE(client.IsOpen()) << round;
        TBytes reply = Ask(client, "COM1", 1, round % 2 ? kFnReadCoils : kFnReadInputRegs);
        ASSERT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted) << round;
    }
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "COM1"); }));

    // A client killed after asking: its reply must not reach the next one.
    pid_t child = ::fork();
    if (child == 0) {
        int fd = ::open(Port("COM1").c_str(), O_RDWR | O_NOCTTY);
        TBytes request = RequestFor(1, kFnReadInputRegs);
        if (fd >= 0 && ::write(fd, request.data(), request.size()) == 8) ::pause();
        ::_exit(1);
    }
    ASSERT_GT(child, 0);
    ASSERT_TRUE(sim_->NextRequestLine("COM1"));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "COM1"); }));

    TLineClient next(Port("COM1"));
    ASSERT_TRUE(next.IsOpen());
    EXPECT_EQ(next.Pending(), 0);
    TBytes reply = Ask(next, "COM1", 1, kFnReadCoils);
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
}

TEST_F(TcSim, ReplyToAClientThatClosedAtOnceIsDropped) {
    Start({"COM1:1"});
    {
        TLineClient hasty(Port("COM1"));
        hasty.Send(RequestFor(1, kFnReadInputRegs));
    }
    // tcsim either answers the request before it sees the close, or sees the
    // close first and then drops the bytes that reach the line without a
    // client. Either way nothing of it may reach the next client.
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "COM1"); }));
    TLineClient next(Port("COM1"));
    ASSERT_TRUE(next.IsOpen());
    TBytes reply = Ask(next, "COM1", 1, kFnReadCoils);
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
    EXPECT_EQ(next.Pending(), 0);
}

TEST_F(TcSim, UnprivilegedClientCanReopenAfterAnExclusiveOne) {
    Start({"COM1:1"});
    const std::string device = DeviceOf(ready_.value_or(""), "COM1");
    ASSERT_FALSE(device.empty());
    {
        TLineClient exclusive(Port("COM1"));
        ASSERT_EQ(::ioctl(exclusive.Fd(), TIOCEXCL), 0);
        EXPECT_EQ(UnprivilegedOpenError(device), EBUSY);  // the flag works while it is held
        Ask(exclusive, "COM1", 1, kFnReadCoils);
    }
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "COM1"); }));
    EXPECT_EQ(UnprivilegedOpenError(device), 0);
}

TEST_F(TcSim, ServesTwoHundredFiftyFiveLines) {
    std::vector<std::string> args = {"--seed", "1"};
    for (int n = 1; n <= 255; ++n) {
        args.push_back("COM" + std::to_string(n) + ":" + std::to_string(n));
    }
    Start(args);
    std::vector<std::unique_ptr<TLineClient>> clients;
    for (int n = 1; n <= 255; ++n) {
        clients.push_back(std::make_unique<TLineClient>(Port("COM" + std::to_string(n))));
        ASSERT_TRUE(clients.back()->IsOpen()) << n;
    }
    for (int n = 1; n <= 255; ++n) {
        clients[n - 1]->Send(RequestFor(static_cast<uint8_t>(n), kFnReadInputRegs));
    }
    for (int n = 1; n <= 255; ++n) {
        TBytes reply = clients[n - 1]->Receive(kRegsReplySize);
        ASSERT_EQ(reply.size(), kRegsReplySize) << n;
        EXPECT_EQ(reply[0], n);
        EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted) << n;
    }
}

TEST_F(TcSim, RemovesItsLinksOnSigtermAndSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        TSimProcess sim({"--dir", dir_.Path(), "COM1:1", "COM7:2:hot"});
        auto ready = sim.WaitReady();
        ASSERT_TRUE(ready);
        for (const char* port : {"COM1", "COM7"}) {
            ASSERT_TRUE(fs::is_symlink(Port(port))) << port;
            EXPECT_EQ(fs::read_symlink(Port(port)).string(), DeviceOf(*ready, port));
            EXPECT_TRUE(fs::is_character_file(Port(port))) << port;
        }
        sim.Signal(signal);
        EXPECT_EQ(sim.WaitExit(), 0) << signal;
        EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM1")))) << signal;
        EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM7")))) << signal;
        EXPECT_TRUE(fs::is_directory(dir_.Path() + "/ports"));
    }
}

TEST_F(TcSim, ReplacesAStaleLinkButNothingElse) {
    fs::create_directories(dir_.Path() + "/ports");
    fs::create_symlink("/nonexistent/pty", Port("COM1"));
    {
        TSimProcess sim({"--dir", dir_.Path(), "COM1:1"});
        auto ready = sim.WaitReady();
        ASSERT_TRUE(ready);
        EXPECT_EQ(fs::read_symlink(Port("COM1")).string(), DeviceOf(*ready, "COM1"));
        // A link someone else made meanwhile is not ours to remove.
        fs::remove(Port("COM1"));
        fs::create_symlink("/elsewhere", Port("COM1"));
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.WaitExit(), 0);
        EXPECT_EQ(fs::read_symlink(Port("COM1")).string(), "/elsewhere");
    }
    fs::remove(Port("COM1"));
    {
        std::FILE* file = std::fopen(Port("COM2").c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fclose(file);
        TSimProcess sim({"--dir", dir_.Path(), "COM1:1", "COM2:2"});
        EXPECT_EQ(sim.WaitExit(), 1);
        EXPECT_NE(sim.Stderr().find("not a link"), std::string::npos);
        EXPECT_TRUE(fs::is_regular_file(Port("COM2")));
        EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM1"))));  // undone
    }
}

TEST_F(TcSim, WrongUsageExitsWithTwoAndTheUsage) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"COM1:1"},
        {"--dir"},
        {"--dir", dir_.Path()},
        {"--dir", dir_.Path(), "COM1"},
        {"--dir", dir_.Path(), "COM1:0"},
        {"--dir", dir_.Path(), "COM1:256"},
        {"--dir", dir_.Path(), "COM1:x"},
        {"--dir", dir_.Path(), "COM1:1:warm"},
        {"--dir", dir_.Path(), "TTY1:1"},
        {"--dir", dir_.Path(), "COM1:1", "COM1:1"},
        {"--dir", dir_.Path(), "tcp:x:1"},
        {"--dir", dir_.Path(), "tcp:65536:1"},
        {"--dir", dir_.Path(), "tcp:0:1", "tcp:0:1:hot"},
        {"--dir", dir_.Path(), "--wire-baud", "0", "COM1:1"},
        {"--dir", dir_.Path(), "--wire-baud", "9600:x", "COM1:1"},
        {"--dir", dir_.Path(), "--late-ms", "soon", "COM1:1"},
        {"--dir", dir_.Path(), "--seed", "x", "COM1:1"},
        {"--dir", dir_.Path(), "--once", "COM1:1"},
    };
    for (const auto& args : wrong) {
        TSimProcess sim(args);
        EXPECT_EQ(sim.WaitExit(), 2) << testing::PrintToString(args);
        EXPECT_NE(sim.Stderr().find("usage: tcsim"), std::string::npos);
    }
    TSimProcess help({"--help"});
    auto first = help.NextLine();
    EXPECT_EQ(help.WaitExit(), 0);
    EXPECT_TRUE(StartsWith(first.value_or(""), "usage: tcsim"));
}

TEST_F(TcSim, ControllersSharingALineAnswerOnlyTheirOwnAddress) {
    Start({"--seed", "5", "COM1:1", "COM2:1", "COM1:2:hot", "COM1:3:fault"});
    ASSERT_TRUE(ready_);
    EXPECT_EQ(CountOf(ready_.value_or(""), " COM1="), 1u) << *ready_;
    EXPECT_EQ(CountOf(ready_.value_or(""), " COM2="), 1u) << *ready_;
    TLineClient client(Port("COM1"));
    ASSERT_TRUE(client.IsOpen());

    int lastHot = -100;
    for (int round = 0; round < 3; ++round) {
        TBytes normal = Ask(client, "COM1", 1, kFnReadInputRegs);
        TDecodedReply decoded = DecodeReply(normal.data(), normal.size());
        ASSERT_TRUE(decoded.Accepted);
        EXPECT_EQ(normal[0], 1);
        EXPECT_GE(decoded.RawTemp[kPhaseA], 65);
        EXPECT_LE(decoded.RawTemp[kPhaseA], 70);

        TBytes hot = Ask(client, "COM1", 2, kFnReadInputRegs);
        decoded = DecodeReply(hot.data(), hot.size());
        ASSERT_TRUE(decoded.Accepted);
        EXPECT_EQ(hot[0], 2);
        EXPECT_GT(TemperatureCelsius(decoded.RawTemp[kPhaseA]), lastHot) << "its own climb";
        lastHot = TemperatureCelsius(decoded.RawTemp[kPhaseA]);

        TBytes fault = Ask(client, "COM1", 3, kFnReadCoils);
        ASSERT_TRUE(DecodeReply(fault.data(), fault.size()).Accepted);
        EXPECT_EQ(fault[0], 3);
        EXPECT_EQ(DecodeReply(fault.data(), fault.size()).RelayFlags,
                  kRelaySensorFault | kRelayFan);
    }

    // Nobody on the line has address 4: silence, and the line stays in step.
    client.Send(RequestFor(4, kFnReadInputRegs));
    TBytes reply = Ask(client, "COM1", 3, kFnReadInputRegs);
    EXPECT_EQ(reply[0], 3);
    EXPECT_EQ(DecodeReply(reply.data(), reply.size()).RawTemp[kPhaseA], 300);
    EXPECT_EQ(client.Pending(), 0);
    for (const std::string& line : sim_->Lines()) {
        EXPECT_EQ(line.find("addr=4"), std::string::npos) << line;
    }

    // Requests sent in one burst are answered one after the other, in order.
    TBytes burst;
    for (uint8_t address : {3, 1, 2}) {
        TBytes request = RequestFor(address, kFnReadCoils);
        burst.insert(burst.end(), request.begin(), request.end());
    }
    TBytes replies = client.Transact(burst, 3 * kCoilsReplySize);
    ASSERT_EQ(replies.size(), 3 * kCoilsReplySize);
    EXPECT_EQ(replies[0], 3);
    EXPECT_EQ(replies[kCoilsReplySize], 1);
    EXPECT_EQ(replies[2 * kCoilsReplySize], 2);
    for (size_t n = 0; n < 3; ++n) {
        EXPECT_TRUE(DecodeReply(replies.data() + n * kCoilsReplySize, kCoilsReplySize).Accepted);
    }

    // The other line has address 1 only.
    TLineClient other(Port("COM2"));
    other.Send(RequestFor(2, kFnReadCoils));
    reply = Ask(other, "COM2", 1, kFnReadCoils);
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(other.Pending(), 0);
}

TEST_F(TcSim, TcpLineServesFramesAndTheLatestClient) {
    Start({"tcp:0:1", "tcp:0:2:zeros", "COM1:1"});
    ASSERT_TRUE(ready_);
    const uint16_t port = TcpPortOf(ready_.value_or(""), "tcp:0");
    ASSERT_NE(port, 0) << *ready_;
    for (int round = 0; round < 2; ++round) {
        TTcpClient client(port);
        ASSERT_TRUE(client.IsOpen()) << round;
        ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return l == "tcp:0 opened"; }));
        TBytes reply = Ask(client, "tcp:0", 1, kFnReadInputRegs);
        EXPECT_EQ(reply[0], 1);
        EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
        reply = Ask(client, "tcp:0", 2, kFnReadInputRegs);
        EXPECT_EQ(DecodeReply(reply.data(), reply.size()).RawTemp,
                  (std::array<uint16_t, 4>{0, 0, 0, 0}));
        client.Send(RequestFor(3, kFnReadCoils));  // nobody's: silence
        reply = Ask(client, "tcp:0", 2, kFnReadCoils);
        EXPECT_EQ(reply[0], 2);
        EXPECT_EQ(client.Pending(), 0);
    }
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "tcp:0"); }));

    // A second connection replaces the first, which is closed.
    TTcpClient first(port);
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return l == "tcp:0 opened"; }));
    TTcpClient second(port);
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "tcp:0"); }));
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return l == "tcp:0 opened"; }));
    EXPECT_TRUE(first.Receive(1).empty()) << "the replaced connection ends";
    TBytes reply = Ask(second, "tcp:0", 1, kFnReadCoils);
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
}

TEST_F(TcSim, WireBaudPacesEachReplyAndSharedLineRepliesDoNotOverlap) {
    // 1200 baud: 13 bytes take 108 ms after the 40 ms turnaround.
    Start({"--wire-baud", "1200:40", "COM1:1", "COM1:2", "tcp:0:1"});
    ASSERT_TRUE(ready_);
    const auto oneReply = 40ms + std::chrono::milliseconds(kRegsReplySize * 10 * 1000 / 1200);
    TLineClient client(Port("COM1"));
    auto start = TTestClock::now();
    client.Send(RequestFor(1, kFnReadInputRegs));
    TBytes first = client.Receive(1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_GE(Since(start), 40ms) << "the turnaround comes first";
    TBytes rest = client.Receive(kRegsReplySize - 1);
    EXPECT_GE(Since(start), oneReply);
    first.insert(first.end(), rest.begin(), rest.end());
    EXPECT_TRUE(DecodeReply(first.data(), first.size()).Accepted);
    EXPECT_TRUE(sim_->NextRequestLine("COM1"));

    // Two controllers asked at once: the second reply follows the first whole.
    TBytes both = RequestFor(1, kFnReadInputRegs);
    TBytes second = RequestFor(2, kFnReadInputRegs);
    both.insert(both.end(), second.begin(), second.end());
    start = TTestClock::now();
    TBytes replies = client.Transact(both, 2 * kRegsReplySize);
    EXPECT_GE(Since(start), 2 * oneReply);
    ASSERT_EQ(replies.size(), 2 * kRegsReplySize);
    EXPECT_EQ(replies[0], 1);
    EXPECT_EQ(replies[kRegsReplySize], 2);
    EXPECT_TRUE(DecodeReply(replies.data() + kRegsReplySize, kRegsReplySize).Accepted);

    // The same over TCP.
    TTcpClient tcp(TcpPortOf(ready_.value_or(""), "tcp:0"));
    ASSERT_TRUE(tcp.IsOpen());
    start = TTestClock::now();
    TBytes reply = tcp.Transact(RequestFor(1, kFnReadInputRegs), kRegsReplySize);
    EXPECT_GE(Since(start), oneReply);
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
}

TEST_F(TcSim, LateProfileAnswersAfterItsDelayAndHoldsUpTheLine) {
    Start({"--late-ms", "600", "COM1:1:late", "COM1:2"});
    ASSERT_TRUE(ready_);
    TLineClient client(Port("COM1"));
    TBytes both = RequestFor(1, kFnReadInputRegs);
    TBytes other = RequestFor(2, kFnReadCoils);
    both.insert(both.end(), other.begin(), other.end());
    const auto start = TTestClock::now();
    client.Send(both);
    TBytes late = client.Receive(kRegsReplySize);
    EXPECT_GE(Since(start), 600ms);
    ASSERT_EQ(late.size(), kRegsReplySize);
    EXPECT_EQ(late[0], 1);
    EXPECT_TRUE(DecodeReply(late.data(), late.size()).Accepted);
    TBytes next = client.Receive(kCoilsReplySize);
    ASSERT_EQ(next.size(), kCoilsReplySize);
    EXPECT_EQ(next[0], 2) << "answered after the late one, not in the middle of it";
    auto line = sim_->NextRequestLine("COM1");
    ASSERT_TRUE(line);
    EXPECT_EQ(ReplyOfLine(*line), late);
}

TEST_F(TcSim, WrongAddrProfileAnswersAsAnotherSlave) {
    Start({"COM1:4:wrongaddr", "COM1:255:wrongaddr"});
    ASSERT_TRUE(ready_);
    TLineClient client(Port("COM1"));
    TBytes reply = Ask(client, "COM1", 4, kFnReadInputRegs);
    ASSERT_EQ(reply.size(), kRegsReplySize);
    EXPECT_EQ(reply[0], 5);
    EXPECT_TRUE(RtuCrcOk(reply));
    TDecodedReply decoded = DecodeReply(reply.data(), reply.size());
    EXPECT_EQ(decoded.Kind, TReplyKind::Temperatures);
    EXPECT_GE(decoded.RawTemp[kPhaseA], 65);
    reply = Ask(client, "COM1", 255, kFnReadCoils);
    ASSERT_EQ(reply.size(), kCoilsReplySize);
    EXPECT_EQ(reply[0], 1);
    EXPECT_TRUE(RtuCrcOk(reply));
}

TEST_F(TcSim, LateReplyForAClientThatLeftNeverReachesTheNextOne) {
    Start({"--late-ms", "1000", "COM1:1:late"});
    ASSERT_TRUE(ready_);
    {
        TLineClient leaving(Port("COM1"));
        leaving.Send(RequestFor(1, kFnReadInputRegs));
    }
    ASSERT_TRUE(sim_->WaitForLine([](const std::string& l) { return IsClosedLine(l, "COM1"); }));
    TLineClient next(Port("COM1"));
    next.Send(RequestFor(1, kFnReadCoils));
    TBytes reply = next.Receive(kCoilsReplySize);
    ASSERT_EQ(reply.size(), kCoilsReplySize);
    EXPECT_EQ(reply[1], kFnReadCoils) << "the first bytes are the answer to its own request";
    EXPECT_TRUE(DecodeReply(reply.data(), reply.size()).Accepted);
    auto line = sim_->NextRequestLine("COM1");
    ASSERT_TRUE(line);
    EXPECT_TRUE(StartsWith(*line, "COM1 addr=1 fn=1 reply=")) << *line;
}
