// Ports reached through a serial server: a ports/COMn link whose text is
// tcp:HOST:PORT, with the server played by a listening socket on loopback.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/CommRig.h"
#include "serial/PortName.h"
#include "serial/TcpLink.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::vector<uint8_t> kRequest = {0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0xF1, 0xC9};
const std::vector<uint8_t> kReply = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                                     0x00, 0x43, 0x00, 0x44, 0x5A, 0x1F};

bool Send(TComm& comm, const std::vector<uint8_t>& bytes) {
    return comm.SendData(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

// A serial server on loopback: one listening socket, one client at a time.
class TTestServer {
  public:
    explicit TTestServer(bool v6 = false) : FV6(v6) {
        FListen = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (FListen < 0) return;
        sockaddr_storage address{};
        socklen_t length = 0;
        if (v6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
            in4->sin_family = AF_INET;
            in4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        }
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(FListen, 4) != 0 ||
            ::getsockname(FListen, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            ::close(FListen);
            FListen = -1;
            return;
        }
        FPort = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                         : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    TTestServer(const TTestServer&) = delete;
    TTestServer& operator=(const TTestServer&) = delete;
    ~TTestServer() {
        DropClient();
        StopListening();
    }

    bool Listening() const { return FListen >= 0; }
    uint16_t Port() const { return FPort; }
    std::string LinkText() const {
        return std::string("tcp:") + (FV6 ? "[::1]" : "127.0.0.1") + ":" + std::to_string(FPort);
    }

    bool Accept(std::chrono::milliseconds timeout = kPatience) {
        pollfd listen = {FListen, POLLIN, 0};
        if (::poll(&listen, 1, static_cast<int>(timeout.count())) != 1) return false;
        DropClient();
        FClient = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        return FClient >= 0;
    }
    // Reads until count bytes came or the time is up.
    std::vector<uint8_t> Read(size_t count, std::chrono::milliseconds timeout = kPatience) const {
        std::vector<uint8_t> bytes;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left <= 0ms) break;
            pollfd client = {FClient, POLLIN, 0};
            if (::poll(&client, 1, static_cast<int>(left.count())) != 1) break;
            uint8_t buffer[4096];
            const ssize_t n =
                ::read(FClient, buffer, std::min(sizeof(buffer), count - bytes.size()));
            if (n <= 0) break;
            bytes.insert(bytes.end(), buffer, buffer + n);
        }
        return bytes;
    }
    bool Write(const std::vector<uint8_t>& bytes) const {
        return ::send(FClient, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    // Closes the client with a reset instead of an orderly end.
    void ResetClient() {
        const linger abort = {1, 0};
        ::setsockopt(FClient, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        DropClient();
    }
    void DropClient() {
        if (FClient >= 0) ::close(FClient);
        FClient = -1;
    }
    void StopListening() {
        if (FListen >= 0) ::close(FListen);
        FListen = -1;
    }

  private:
    bool FV6;
    int FListen = -1;
    int FClient = -1;
    uint16_t FPort = 0;
};

// A program directory whose ports/COM7 is the link under test, and a TComm
// on COM7 that records every change of its connection.
class TcpPorts : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tc-tcp-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        FDir = pattern;
        fs::create_directory(FDir / "ports");
        SetCommProgramDir(FDir.string());
        Rig.Comm->SetCommName("COM7");
        Rig.Comm->OnConnectionChange = [this](TComm* comm) {
            Changes.push_back(comm->IsConnected());
        };
    }
    void TearDown() override {
        Rig.Comm->ClosePort();
        SetCommProgramDir("");
        std::error_code ignored;
        fs::remove_all(FDir, ignored);
    }
    void Link(const std::string& text) {
        std::error_code ignored;
        fs::remove(FDir / "ports" / "COM7", ignored);
        fs::create_symlink(text, FDir / "ports" / "COM7");
    }
    // Opens COM7 on the server and waits until the server has the client
    // and the writer has announced its empty queue.
    void OpenOn(TTestServer& server) {
        Link(server.LinkText());
        Rig.Comm->OpenPort();
        ASSERT_TRUE(server.Accept());
        ASSERT_TRUE(Rig.WaitFor([&] { return Rig.SendEmpties >= 1; }));
    }
    // One request out and its reply back as one chunk.
    void RoundTrip(TTestServer& server) {
        const size_t chunks = Rig.Chunks.size();
        ASSERT_TRUE(Send(*Rig.Comm, kRequest));
        EXPECT_EQ(server.Read(kRequest.size()), kRequest);
        ASSERT_TRUE(server.Write(kReply));
        ASSERT_TRUE(Rig.WaitFor([&] { return Rig.Chunks.size() > chunks; }));
        EXPECT_EQ(Rig.Chunks.back(), kReply);
    }

    fs::path FDir;
    TCommRig Rig;
    std::vector<bool> Changes;  // IsConnected() at each OnConnectionChange
};

}  // namespace

TEST(TcpTargets, GoodFormsGiveHostAndPort) {
    EXPECT_EQ(ParseTcpTarget("tcp:192.168.1.50:4001"), (TTcpTarget{"192.168.1.50", 4001}));
    EXPECT_EQ(ParseTcpTarget("tcp:srv-7.substation_2.local:1"),
              (TTcpTarget{"srv-7.substation_2.local", 1}));
    EXPECT_EQ(ParseTcpTarget("tcp:localhost:65535"), (TTcpTarget{"localhost", 65535}));
    EXPECT_EQ(ParseTcpTarget("tcp:[::1]:5020"), (TTcpTarget{"::1", 5020}));
    EXPECT_EQ(ParseTcpTarget("tcp:[fe80::20c:29ff:fe12:3456]:502"),
              (TTcpTarget{"fe80::20c:29ff:fe12:3456", 502}));
}

TEST(TcpTargets, MalformedFormsGiveNothing) {
    for (const char* text : {"",
                             "tcp:",
                             "tcp:host",
                             "tcp:host:",
                             "tcp::4001",
                             "tcp:host:0",
                             "tcp:host:65536",
                             "tcp:host:123456",
                             "tcp:host:40a1",
                             "tcp:host:+401",
                             "tcp:host:-1",
                             "tcp:host:1:2",
                             "tcp:::1:5020",
                             "tcp:[::1]5020",
                             "tcp:[::1:5020",
                             "tcp:[]:1",
                             "tcp:[zz::1]:1",
                             "tcp:[127.0.0.1]:1",
                             "tcp:1.2.3:1",
                             "tcp:999.1.1.1:1",
                             "tcp:a..b:1",
                             "tcp:.a:1",
                             "tcp:a.:1",
                             "tcp:-a:1",
                             "tcp:a b:1",
                             "tcp:a/b:1",
                             "TCP:host:1",
                             "udp:host:1",
                             " tcp:host:1",
                             "tcp:host:1 "}) {
        EXPECT_EQ(ParseTcpTarget(text), std::nullopt) << '"' << text << '"';
    }
}

TEST_F(TcpPorts, OnlyATcpLinkIsReadAsATarget) {
    const fs::path entry = FDir / "ports" / "COM7";
    Link("tcp:10.0.0.1:4001");
    EXPECT_EQ(TcpLinkText(entry.string()), "tcp:10.0.0.1:4001");
    Link("/dev/null");
    EXPECT_EQ(TcpLinkText(entry.string()), std::nullopt);
    Link((FDir / "tcp:10.0.0.1:4001").string());  // a path that merely contains it
    EXPECT_EQ(TcpLinkText(entry.string()), std::nullopt);
    fs::remove(entry);
    std::ofstream(entry) << "tcp:10.0.0.1:4001";
    EXPECT_EQ(TcpLinkText(entry.string()), std::nullopt);
}

TEST_F(TcpPorts, MalformedLinkFailsToOpen) {
    Link("tcp:10.0.0.1");
    try {
        Rig.Comm->OpenPort();
        FAIL() << "opened";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), kMsgOpenError);
    }
    EXPECT_FALSE(Rig.Comm->IsOpen());
}

TEST_F(TcpPorts, RequestReachesTheServerAndTheReplyComesBackAsAChunk) {
    TTestServer server;
    ASSERT_TRUE(server.Listening());
    OpenOn(server);
    EXPECT_TRUE(Rig.Comm->IsConnected());
    EXPECT_TRUE(Rig.Comm->IsNetworkLine());
    EXPECT_TRUE(Rig.Comm->WorkersAlive());
    RoundTrip(server);
    // Line settings are stored and changing them on an open socket is harmless.
    Rig.Comm->SetBaudRate(19200);
    Rig.Comm->SetParityCheck(true);
    EXPECT_EQ(Rig.Comm->BaudRate(), 19200u);
    // Parity marking must not touch the bytes: 0xFF passes unchanged.
    const std::vector<uint8_t> binary = {0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x41};
    ASSERT_TRUE(server.Write(binary));
    ASSERT_TRUE(Rig.WaitFor([&] { return Rig.Chunks.size() >= 2; }));
    EXPECT_EQ(Rig.Chunks.back(), binary);
    EXPECT_TRUE(Changes.empty());
    EXPECT_EQ(Rig.Hangups, 0);
}

TEST_F(TcpPorts, Ipv6LiteralConnects) {
    TTestServer server(true);
    if (!server.Listening()) GTEST_SKIP() << "no IPv6 loopback";
    OpenOn(server);
    RoundTrip(server);
}

TEST_F(TcpPorts, ServerNotListeningIsAnOpenError) {
    uint16_t port = 0;
    {
        TTestServer gone;
        ASSERT_TRUE(gone.Listening());
        port = gone.Port();
    }
    Link("tcp:127.0.0.1:" + std::to_string(port));
    const auto start = std::chrono::steady_clock::now();
    try {
        Rig.Comm->OpenPort();
        FAIL() << "opened";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), kMsgOpenError);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(Rig.Comm->IsOpen());
    EXPECT_FALSE(Rig.Comm->IsNetworkLine());
}

TEST_F(TcpPorts, DroppedConnectionGoesDownAndComesBackByItself) {
    TTestServer server;
    ASSERT_TRUE(server.Listening());
    Rig.Comm->SetReconnectDelays({20ms, 100ms});
    OpenOn(server);
    RoundTrip(server);

    server.DropClient();
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 1; }));
    EXPECT_EQ(Changes, std::vector<bool>{false});
    EXPECT_EQ(Rig.Hangups, 1);
    // Down: the port stays open but nothing can be sent.
    EXPECT_TRUE(Rig.Comm->IsOpen());
    EXPECT_FALSE(Rig.Comm->IsConnected());
    EXPECT_FALSE(Rig.Comm->WorkersAlive());
    EXPECT_FALSE(Send(*Rig.Comm, kRequest));
    try {
        Rig.Comm->OpenPort();
        FAIL() << "opened twice";
    } catch (const ECommsError& e) {
        EXPECT_STREQ(e.what(), kMsgAlreadyOpened);
    }

    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 2; }));
    EXPECT_EQ(Changes, (std::vector<bool>{false, true}));
    EXPECT_TRUE(Rig.Comm->IsConnected());
    EXPECT_TRUE(Rig.Comm->WorkersAlive());
    RoundTrip(server);

    // And again: every drop is followed by a reconnection.
    server.DropClient();
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 3; }));
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 4; }));
    EXPECT_EQ(Changes, (std::vector<bool>{false, true, false, true}));
    RoundTrip(server);
    EXPECT_EQ(Rig.Hangups, 2);
}

TEST_F(TcpPorts, ReconnectionWaitsDoubleUpToTheCeiling) {
    TTestServer server;
    ASSERT_TRUE(server.Listening());
    // Waits 50, 100, 200, 200, ...: eight refused attempts take at least
    // 1350 ms; without doubling 400 ms, without the ceiling 12750 ms.
    Rig.Comm->SetReconnectDelays({50ms, 200ms});
    OpenOn(server);
    server.StopListening();
    server.DropClient();
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 1; }));
    const auto down = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUndelivered([&] { return Rig.Comm->ReconnectAttempts() >= 8; }));
    const auto took = std::chrono::steady_clock::now() - down;
    EXPECT_GE(took, 1350ms);
    EXPECT_LT(took, 8s);
    EXPECT_FALSE(Rig.Comm->IsConnected());
}

TEST_F(TcpPorts, ClosePortDuringAReconnectionWaitReturnsPromptly) {
    TTestServer server;
    ASSERT_TRUE(server.Listening());
    Rig.Comm->SetReconnectDelays({30s, 30s});
    OpenOn(server);
    server.DropClient();
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 1; }));

    const auto start = std::chrono::steady_clock::now();
    Rig.Comm->ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(Rig.Comm->IsOpen());
    EXPECT_FALSE(Rig.Comm->IsNetworkLine());
    EXPECT_EQ(Rig.Comm->ReconnectAttempts(), 0u);
    // Nothing connects behind its back.
    EXPECT_FALSE(server.Accept(300ms));
    Rig.Settle();
    EXPECT_EQ(Changes, std::vector<bool>{false});

    // Opened again by hand, it works as before.
    OpenOn(server);
    RoundTrip(server);
}

TEST_F(TcpPorts, WriteToAResetConnectionTakesTheLineDownAndNotTheProcess) {
    TTestServer server;
    ASSERT_TRUE(server.Listening());
    Rig.Comm->SetReconnectDelays({20ms, 100ms});
    OpenOn(server);
    server.ResetClient();
    // The reader has seen the reset; the writer still runs until the hang-up
    // is delivered, and its write meets a socket that is gone.
    ASSERT_TRUE(WaitUndelivered([&] { return !Rig.Comm->WorkersAlive(); }));
    // Requests go out until the writer has ended on the failed write.
    ASSERT_TRUE(WaitUndelivered([&] { return !Send(*Rig.Comm, kRequest); }));

    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 1; }));
    EXPECT_EQ(Rig.Hangups, 1);
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(Rig.WaitFor([&] { return Changes.size() >= 2; }));
    // The request sent into the dead connection is not replayed.
    RoundTrip(server);
}
