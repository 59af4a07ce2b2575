// TComm over pseudo-terminals: properties, opening and closing, sending.

#include "serial/Comm.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "serial/CommRig.h"
#include "serial/PortName.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

// Child mode of this executable: try to open the port named in the variable
// and exit with what happened. Runs before main, so it needs no test entry.
constexpr const char* kChildPathVariable = "TC_SERIAL_CHILD_OPEN";
constexpr int kChildRefused = 0;
constexpr int kChildOpened = 10;
constexpr int kChildOtherError = 11;

const bool kChildModeChecked = [] {
    const char* path = std::getenv(kChildPathVariable);
    if (path == nullptr) return false;
    int result = kChildOtherError;
    try {
        TComm comm(std::make_unique<TManualCommSink>());
        comm.SetCommName(path);
        comm.OpenPort();
        comm.ClosePort();
        result = kChildOpened;
    } catch (const ECommsError& e) {
        if (std::string(e.what()) == kMsgOpenError) result = kChildRefused;
    }
    std::_Exit(result);
}();

// Runs this executable in child mode on path and returns its exit code.
int OpenInAnotherProcess(const std::string& path) {
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) return -1;
    exe[n] = 0;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    env.push_back(std::string(kChildPathVariable) + "=" + path);
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    char* argv[] = {exe, nullptr};
    pid_t pid = 0;
    if (::posix_spawn(&pid, exe, nullptr, nullptr, argv, envp.data()) != 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string OpenError(TComm& comm) {
    try {
        comm.OpenPort();
    } catch (const ECommsError& e) {
        return e.what();
    }
    return "(opened)";
}

class TTempDir {
  public:
    TTempDir() {
        char pattern[] = "/tmp/tc-serial-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (made == nullptr) throw std::runtime_error("mkdtemp failed");
        FPath = made;
    }
    ~TTempDir() {
        std::error_code ignored;
        fs::remove_all(FPath, ignored);
    }
    const fs::path& Path() const { return FPath; }

  private:
    fs::path FPath;
};

speed_t Speed(const termios& tio) {
    return cfgetospeed(&tio);
}

// One request out, one reply in: the port works both ways.
void ExpectExchange(TCommRig& rig, std::vector<uint8_t> request, std::vector<uint8_t> reply) {
    rig.Chunks.clear();
    ASSERT_TRUE(rig.Comm->SendData(request.data(), static_cast<uint16_t>(request.size())));
    EXPECT_EQ(rig.Pty.Read(request.size()), request);
    ASSERT_TRUE(rig.Pty.Write(reply));
    ASSERT_TRUE(rig.WaitForBytes(reply.size()));
    EXPECT_EQ(rig.Received(), reply);
}

const std::vector<uint8_t> kRequest = {0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0xF1, 0xC9};
const std::vector<uint8_t> kReply = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                                     0x00, 0x43, 0x00, 0x44, 0x5A, 0x1F};

}  // namespace

TEST(CommProperties, NewComponentHasTheInitialValues) {
    TComm comm(std::make_unique<TManualCommSink>());
    EXPECT_EQ(comm.CommName(), "COM2");
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_FALSE(comm.ParityCheck());
    EXPECT_FALSE(comm.Outx_CtsFlow());
    EXPECT_FALSE(comm.Outx_DsrFlow());
    EXPECT_EQ(comm.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_FALSE(comm.DsrSensitivity());
    EXPECT_TRUE(comm.TxContinueOnXoff());
    EXPECT_TRUE(comm.Outx_XonXoffFlow());
    EXPECT_TRUE(comm.Inx_XonXoffFlow());
    EXPECT_FALSE(comm.ReplaceWhenParityError());
    EXPECT_FALSE(comm.IgnoreNullChar());
    EXPECT_EQ(comm.RtsControl(), TRtsControl::RtsEnable);
    EXPECT_EQ(comm.XonLimit(), 500);
    EXPECT_EQ(comm.XoffLimit(), 500);
    EXPECT_EQ(comm.ByteSize(), TByteSize::_8);
    EXPECT_EQ(comm.Parity(), TParity::None);
    EXPECT_EQ(comm.StopBits(), TStopBits::_1);
    EXPECT_EQ(comm.XonChar(), 0x11);
    EXPECT_EQ(comm.XoffChar(), 0x13);
    EXPECT_EQ(comm.ReplacedChar(), 0);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 100u);
    EXPECT_EQ(comm.ReadTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.ReadTotalTimeoutConstant(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutMultiplier(), 0u);
    EXPECT_EQ(comm.WriteTotalTimeoutConstant(), 0u);
    EXPECT_TRUE(comm.SendIdle());
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_FALSE(comm.OnReceiveData || comm.OnReceiveError || comm.OnModemStateChange ||
                 comm.OnRequestHangup || comm.OnSendDataEmpty);
}

TEST(CommProperties, EnumerationOrdinalsMatchStoredPortSettings) {
    EXPECT_EQ(static_cast<int>(TParity::Space), 4);
    EXPECT_EQ(static_cast<int>(TParity::Mark), 3);
    EXPECT_EQ(static_cast<int>(TStopBits::_2), 2);
    EXPECT_EQ(static_cast<int>(TByteSize::_7), 2);
    EXPECT_EQ(static_cast<int>(TDtrControl::DtrHandshake), 2);
    EXPECT_EQ(static_cast<int>(TRtsControl::RtsTransmissionAvailable), 3);
}

TEST(CommOpen, OpenPutsTheLineInRawModeWithTheSettings) {
    TCommRig rig;
    rig.Comm->SetBaudRate(19200);  // stored while closed, applied by OpenPort
    rig.Comm->SetParity(TParity::Odd);
    rig.Comm->OpenPort();
    const termios tio = rig.Pty.SlaveTermios();
    EXPECT_EQ(Speed(tio), static_cast<speed_t>(B19200));
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY), 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    // A pty keeps no parity or size bits of its own, but keeps PARODD.
    EXPECT_NE(tio.c_cflag & PARODD, 0u);
    EXPECT_EQ(tio.c_cc[VSTART], 0x11);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
}

TEST(CommSetters, SettingOnOpenPortReappliesEveryLineSetting) {
    TCommRig rig;
    rig.Comm->OpenPort();
    // Someone else changes the line behind the component's back.
    termios changed = rig.Pty.SlaveTermios();
    cfsetospeed(&changed, B1200);
    cfsetispeed(&changed, B1200);
    changed.c_cc[VSTOP] = 0x01;
    rig.Pty.SetSlaveTermios(changed);

    rig.Comm->SetXonChar(0x12);
    const termios tio = rig.Pty.SlaveTermios();
    EXPECT_EQ(tio.c_cc[VSTART], 0x12);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x13);
    EXPECT_EQ(Speed(tio), static_cast<speed_t>(B9600));
}

TEST(CommSetters, SettingTheCurrentValueAppliesNothing) {
    TCommRig rig;
    rig.Comm->OpenPort();
    termios changed = rig.Pty.SlaveTermios();
    cfsetospeed(&changed, B1200);
    cfsetispeed(&changed, B1200);
    rig.Pty.SetSlaveTermios(changed);

    rig.Comm->SetBaudRate(9600);
    EXPECT_EQ(Speed(rig.Pty.SlaveTermios()), static_cast<speed_t>(B1200));
    rig.Comm->SetBaudRate(115200);
    EXPECT_EQ(Speed(rig.Pty.SlaveTermios()), static_cast<speed_t>(B115200));
    EXPECT_EQ(rig.Comm->BaudRate(), 115200u);
}

TEST(CommSetters, ParityWaitsForTheNextApplication) {
    TCommRig rig;
    rig.Comm->OpenPort();
    rig.Comm->SetParity(TParity::Odd);
    EXPECT_EQ(rig.Comm->Parity(), TParity::Odd);
    EXPECT_EQ(rig.Pty.SlaveTermios().c_cflag & PARODD, 0u);
    rig.Comm->SetStopBits(TStopBits::_2);
    const termios tio = rig.Pty.SlaveTermios();
    EXPECT_NE(tio.c_cflag & PARODD, 0u);
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
}

TEST(CommSetters, UnsupportedRateIsStoredAndLeavesTheLineAsItWas) {
    TCommRig rig;
    rig.Comm->OpenPort();
    rig.Comm->SetBaudRate(14400);
    EXPECT_EQ(rig.Comm->BaudRate(), 14400u);
    EXPECT_EQ(Speed(rig.Pty.SlaveTermios()), static_cast<speed_t>(B9600));
    EXPECT_TRUE(rig.Comm->IsOpen());
}

TEST(CommOpen, UnsupportedRateAtOpeningStillMakesTheLineRaw) {
    TCommRig rig;
    rig.Comm->SetBaudRate(14400);
    rig.Comm->OpenPort();
    const termios tio = rig.Pty.SlaveTermios();
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    rig.WaitFor([&] { return rig.SendEmpties >= 1; });
    // No echo of received bytes back to the line.
    ASSERT_TRUE(rig.Pty.Write(kReply));
    ASSERT_TRUE(rig.WaitForBytes(kReply.size()));
    EXPECT_TRUE(rig.Pty.Read(1, std::chrono::milliseconds(200)).empty());
}

TEST(CommSetters, TimeoutSetterOnClosedPortOnlyStores) {
    TComm comm(std::make_unique<TManualCommSink>());
    comm.SetReadIntervalTimeout(250);
    comm.SetWriteTotalTimeoutConstant(1000);
    EXPECT_EQ(comm.ReadIntervalTimeout(), 250u);
    EXPECT_EQ(comm.WriteTotalTimeoutConstant(), 1000u);
    EXPECT_FALSE(comm.IsOpen());
}

TEST(CommOpen, MissingDeviceFailsAndAnotherNameOpensLater) {
    TCommRig rig;
    rig.Comm->SetCommName("/nonexistent/tty-device");
    EXPECT_EQ(OpenError(*rig.Comm), kMsgOpenError);
    EXPECT_FALSE(rig.Comm->IsOpen());
    EXPECT_FALSE(rig.Comm->SendData(kRequest.data(), 8));
    rig.Comm->SetCommName(rig.Pty.SlavePath());
    rig.OpenAndSettle();
    ExpectExchange(rig, kRequest, kReply);
}

TEST(CommOpen, NamesThatMapToNoDeviceFail) {
    TComm comm(std::make_unique<TManualCommSink>());
    for (const char* name : {"", "COM", "COM0", "PORT1", "ttyS0"}) {
        comm.SetCommName(name);
        EXPECT_EQ(OpenError(comm), kMsgOpenError) << name;
    }
}

TEST(CommOpen, RegularFileIsNotACommHandle) {
    TTempDir dir;
    const fs::path file = dir.Path() / "plain";
    std::ofstream(file) << "not a device";
    TComm comm(std::make_unique<TManualCommSink>());
    comm.SetCommName(file.string());
    EXPECT_EQ(OpenError(comm), std::string("File handle is not a comm handle "));
    EXPECT_FALSE(comm.IsOpen());
}

TEST(CommOpen, DeviceThatIsNoTerminalCannotBeSetUp) {
    TComm comm(std::make_unique<TManualCommSink>());
    comm.SetCommName("/dev/null");
    EXPECT_EQ(OpenError(comm), kMsgSetupBuffer);
    EXPECT_FALSE(comm.IsOpen());
}

TEST(CommOpen, OpeningTwiceFailsAndKeepsTheFirstOpening) {
    TCommRig rig;
    rig.OpenAndSettle();
    EXPECT_EQ(OpenError(*rig.Comm), kMsgAlreadyOpened);
    EXPECT_TRUE(rig.Comm->IsOpen());
    ExpectExchange(rig, kRequest, kReply);
}

TEST(CommOpen, SecondComponentOnTheSameDeviceIsRefused) {
    TCommRig rig;
    rig.OpenAndSettle();
    TComm second(std::make_unique<TManualCommSink>());
    second.SetCommName(rig.Pty.SlavePath());
    EXPECT_EQ(OpenError(second), kMsgOpenError);
    EXPECT_FALSE(second.IsOpen());
    ExpectExchange(rig, kRequest, kReply);

    rig.Comm->ClosePort();
    EXPECT_EQ(OpenError(second), "(opened)");
    second.ClosePort();
}

TEST(CommOpen, AnotherProcessIsRefusedWhileThePortIsOpen) {
    TCommRig rig;
    rig.OpenAndSettle();
    EXPECT_EQ(OpenInAnotherProcess(rig.Pty.SlavePath()), kChildRefused);
    rig.Comm->ClosePort();
    EXPECT_EQ(OpenInAnotherProcess(rig.Pty.SlavePath()), kChildOpened);
}

TEST(CommOpen, CloseAndReopenWorks) {
    TCommRig rig;
    rig.OpenAndSettle();
    ExpectExchange(rig, kRequest, kReply);
    rig.Comm->ClosePort();
    EXPECT_FALSE(rig.Comm->IsOpen());
    rig.Comm->ClosePort();  // closed already: nothing happens
    rig.SendEmpties = 0;
    rig.OpenAndSettle();
    EXPECT_EQ(rig.SendEmpties, 1);
    ExpectExchange(rig, kRequest, kReply);
}

TEST(CommOpen, ComponentDestroyedWhileOpenReleasesThePort) {
    TPtyPair pty;
    {
        TComm comm(std::make_unique<TManualCommSink>());
        comm.SetCommName(pty.SlavePath());
        comm.OpenPort();
        ASSERT_TRUE(comm.SendData(kRequest.data(), 8));
        EXPECT_EQ(pty.Read(8), kRequest);
        ASSERT_TRUE(pty.Write(kReply));  // a chunk in flight as it goes
    }
    TComm next(std::make_unique<TManualCommSink>());
    next.SetCommName(pty.SlavePath());
    EXPECT_EQ(OpenError(next), "(opened)");
}

TEST(CommPortNames, ComNameOpensTheLinkInThePortsDirectory) {
    TTempDir dir;
    TCommRig rig;
    fs::create_directory(dir.Path() / "ports");
    fs::create_symlink(rig.Pty.SlavePath(), dir.Path() / "ports" / "COM7");
    SetCommProgramDir(dir.Path().string());
    rig.Comm->SetCommName("COM7");
    rig.OpenAndSettle();
    ExpectExchange(rig, kRequest, kReply);
    rig.Comm->ClosePort();
    SetCommProgramDir("");
}

TEST(CommSend, SendDataOnAClosedPortFails) {
    TComm comm(std::make_unique<TManualCommSink>());
    EXPECT_FALSE(comm.SendData(kRequest.data(), 8));
    EXPECT_TRUE(comm.SendIdle());
}

TEST(CommSend, ZeroBytesAreNotQueued) {
    TCommRig rig;
    rig.OpenAndSettle();
    EXPECT_FALSE(rig.Comm->SendData(kRequest.data(), 0));
    EXPECT_TRUE(rig.Comm->SendIdle());
    rig.Settle();
    EXPECT_EQ(rig.SendEmpties, 1);
}

TEST(CommSend, SendDataEmptyComesOnceAfterOpening) {
    TCommRig rig;
    rig.Comm->OpenPort();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 1; }));
    rig.Settle();
    EXPECT_EQ(rig.SendEmpties, 1);
    EXPECT_TRUE(rig.Comm->SendIdle());
}

TEST(CommSend, QueuedRequestsGoOutInOrderWithOneSendDataEmptyAfterTheLast) {
    TCommRig rig;
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.StopOutput());
    EXPECT_EQ(rig.Received(), std::vector<uint8_t>{'p'});  // the XOFF itself is taken in

    const std::vector<uint8_t> first = {1, 1, 1}, second = {2, 2, 2, 2}, third = {3, 3, 3, 3, 3};
    ASSERT_TRUE(rig.Comm->SendData(first.data(), 3));
    ASSERT_TRUE(rig.Comm->SendData(second.data(), 4));
    ASSERT_TRUE(rig.Comm->SendData(third.data(), 5));
    // The writer is held by the XOFF: nothing drains, nothing is announced.
    EXPECT_FALSE(rig.Comm->SendIdle());
    EXPECT_TRUE(rig.Pty.Read(1, std::chrono::milliseconds(200)).empty());

    ASSERT_TRUE(rig.ResumeOutput());
    EXPECT_EQ(rig.Pty.Read(12), (std::vector<uint8_t>{1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3}));
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 2; }));
    rig.Settle();
    EXPECT_EQ(rig.SendEmpties, 2);
    EXPECT_TRUE(rig.Comm->SendIdle());
}

TEST(CommSend, SendDataCopiesTheCallersBuffer) {
    TCommRig rig;
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.StopOutput());
    std::vector<uint8_t> buffer = kRequest;
    ASSERT_TRUE(rig.Comm->SendData(buffer.data(), 8));
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    ASSERT_TRUE(rig.ResumeOutput());
    EXPECT_EQ(rig.Pty.Read(8), kRequest);
}

TEST(CommClose, ClosingWithAWritePendingReturnsAndLeavesSendIdleTrue) {
    TCommRig rig;
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.StopOutput());
    ASSERT_TRUE(rig.Comm->SendData(kRequest.data(), 8));
    ASSERT_TRUE(rig.Comm->SendData(kRequest.data(), 8));
    EXPECT_FALSE(rig.Comm->SendIdle());
    rig.Comm->ClosePort();
    EXPECT_FALSE(rig.Comm->IsOpen());
    EXPECT_TRUE(rig.Comm->SendIdle());
    EXPECT_FALSE(rig.Comm->SendData(kRequest.data(), 8));
    // The dropped requests never reach the line, also after reopening.
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.ResumeOutput());
    EXPECT_TRUE(rig.Pty.Read(1, std::chrono::milliseconds(300)).empty());
}
