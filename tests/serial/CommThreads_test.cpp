// The reader and writer threads over pseudo-terminals: how received bytes are
// cut into chunks, what the reader does to them, large writes, and the far
// end going away.

#include "serial/CommThreads.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "serial/CommRig.h"

namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
    return bytes;
}

// Arbitrary binary data needs software flow control off: with it on, the
// line takes 0x11 and 0x13 for itself.
void BinaryLine(TComm& comm) {
    comm.SetOutx_XonXoffFlow(false);
    comm.SetInx_XonXoffFlow(false);
}

// CPU time the whole process spends while the test thread sleeps: a worker
// thread stuck in a busy loop would burn about all of it.
std::chrono::milliseconds CpuWhileSleeping(std::chrono::milliseconds sleep) {
    auto cpu = [] {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    const auto before = cpu();
    std::this_thread::sleep_for(sleep);
    return std::chrono::duration_cast<std::chrono::milliseconds>(cpu() - before);
}

constexpr auto kSpinLimit = 250ms;  // of a 1 s sleep

}  // namespace

TEST(CommReceive, BytesWrittenInOneGoArriveAsOneChunk) {
    TCommRig rig;
    rig.OpenAndSettle();
    const std::vector<uint8_t> reply = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                                        0x00, 0x43, 0x00, 0x44, 0x5A, 0x1F};
    ASSERT_TRUE(rig.Pty.Write(reply));
    ASSERT_TRUE(rig.WaitFor([&] { return !rig.Chunks.empty(); }));
    rig.Settle();
    ASSERT_EQ(rig.Chunks.size(), 1u);
    EXPECT_EQ(rig.Chunks[0], reply);
    EXPECT_TRUE(rig.ZeroAfterEveryChunk);
}

TEST(CommReceive, PauseLongerThanTheIntervalStartsANewChunk) {
    TCommRig rig;
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write({'a', 'b', 'c'}));
    std::this_thread::sleep_for(600ms);  // far over the 100 ms gap
    ASSERT_TRUE(rig.Pty.Write({'d', 'e', 'f'}));
    ASSERT_TRUE(rig.WaitForBytes(6));
    rig.Settle();
    ASSERT_EQ(rig.Chunks.size(), 2u);
    EXPECT_EQ(rig.Chunks[0], (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(rig.Chunks[1], (std::vector<uint8_t>{'d', 'e', 'f'}));
}

TEST(CommReceive, PauseShorterThanTheIntervalKeepsOneChunk) {
    TCommRig rig;
    rig.Comm->SetReadIntervalTimeout(3000);  // generous, so the test's own pause always fits
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write({'a', 'b', 'c'}));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(rig.Pty.Write({'d', 'e', 'f'}));
    ASSERT_TRUE(rig.WaitForBytes(6));
    ASSERT_EQ(rig.Chunks.size(), 1u);
    EXPECT_EQ(rig.Chunks[0], (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));
}

TEST(CommReceive, LargeTransferArrivesInChunksOfAtMost2048Bytes) {
    TCommRig rig;
    BinaryLine(*rig.Comm);
    rig.OpenAndSettle();
    const std::vector<uint8_t> data = Pattern(5000);
    ASSERT_TRUE(rig.Pty.Write(data));
    ASSERT_TRUE(rig.WaitForBytes(data.size()));
    EXPECT_EQ(rig.Received(), data);
    EXPECT_GE(rig.Chunks.size(), 3u);
    for (const auto& chunk : rig.Chunks) {
        EXPECT_GE(chunk.size(), 1u);
        EXPECT_LE(chunk.size(), size_t{kReadChunk});
    }
    EXPECT_TRUE(rig.ZeroAfterEveryChunk);
}

TEST(CommReceive, ChangedIntervalTakesEffectWithTheNextChunk) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Comm->SetReadIntervalTimeout(3000);
    ASSERT_TRUE(rig.Pty.Write({'x'}));  // this read still ends after 100 ms
    ASSERT_TRUE(rig.WaitForBytes(1));
    ASSERT_TRUE(rig.Pty.Write({'a'}));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(rig.Pty.Write({'b'}));
    ASSERT_TRUE(rig.WaitForBytes(3));
    ASSERT_EQ(rig.Chunks.size(), 2u);
    EXPECT_EQ(rig.Chunks[1], (std::vector<uint8_t>{'a', 'b'}));
}

TEST(CommReceive, TotalLimitEndsAReadEvenWhileBytesKeepComing) {
    TCommRig rig;
    rig.Comm->SetReadIntervalTimeout(0);  // no gap limit: only the total one ends a read
    rig.Comm->SetReadTotalTimeoutConstant(400);
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write({'a', 'b'}));
    ASSERT_TRUE(rig.WaitForBytes(2));
    EXPECT_EQ(rig.Chunks.size(), 1u);
    // A read that ends empty hands over nothing and the reader goes on.
    rig.Settle(900ms);
    ASSERT_TRUE(rig.Pty.Write({'c'}));
    ASSERT_TRUE(rig.WaitForBytes(3));
    EXPECT_EQ(rig.Chunks.size(), 2u);
}

TEST(CommReceive, WithoutAnyLimitAReadWaitsForAFullChunk) {
    TCommRig rig;
    BinaryLine(*rig.Comm);
    rig.Comm->SetReadIntervalTimeout(0);
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write(Pattern(100)));
    rig.Settle(400ms);
    EXPECT_TRUE(rig.Chunks.empty());
    ASSERT_TRUE(rig.Pty.Write(Pattern(kReadChunk - 100)));
    ASSERT_TRUE(rig.WaitForBytes(kReadChunk));
    ASSERT_EQ(rig.Chunks.size(), 1u);
    EXPECT_EQ(rig.Chunks[0].size(), size_t{kReadChunk});
}

TEST(CommReceive, SoftwareFlowControlTakesTheXonAndXoffCharacters) {
    TCommRig rig;
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write({'a', 0x13, 'b', 0x11, 'c'}));
    ASSERT_TRUE(rig.WaitForBytes(3));
    rig.Settle();
    EXPECT_EQ(rig.Received(), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(CommReceive, ParityCheckingStillDeliversReal0xFFBytes) {
    TCommRig rig;
    rig.Comm->SetParityCheck(true);  // the line marks bytes; the reader decodes the marks
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write({0x01, 0xFF, 0x02, 0xFF}));
    ASSERT_TRUE(rig.WaitForBytes(4));
    rig.Settle();
    EXPECT_EQ(rig.Received(), (std::vector<uint8_t>{0x01, 0xFF, 0x02, 0xFF}));
}

TEST(CommReceive, IgnoreNullCharDropsZeroBytes) {
    TCommRig rig;
    rig.Comm->SetIgnoreNullChar(true);
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.Pty.Write({0x00, 0x05, 0x00, 0x00, 0x06}));
    ASSERT_TRUE(rig.WaitForBytes(2));
    rig.Settle();
    EXPECT_EQ(rig.Received(), (std::vector<uint8_t>{0x05, 0x06}));
    EXPECT_EQ(rig.Chunks.size(), 1u);
}

TEST(CommReceive, PtyReportsNoLineEventsWhileIdle) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Settle(1500ms);
    EXPECT_TRUE(rig.Errors.empty());
    EXPECT_TRUE(rig.ModemEvents.empty());
    EXPECT_EQ(rig.Hangups, 0);
}

TEST(CommWrite, LargeRequestIsWrittenInFullAcrossPartialWrites) {
    TCommRig rig;
    BinaryLine(*rig.Comm);
    rig.OpenAndSettle();
    // More than the pty takes at once: the writer continues where each
    // partial write stopped, while the far end reads slowly.
    const std::vector<uint8_t> data = Pattern(60000);
    ASSERT_TRUE(rig.Comm->SendData(data.data(), static_cast<uint16_t>(data.size())));
    ASSERT_TRUE(rig.Comm->SendData(data.data(), static_cast<uint16_t>(data.size())));
    std::vector<uint8_t> expected = data;
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(rig.Pty.Read(expected.size(), 20s), expected);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 2; }));
    EXPECT_TRUE(rig.Comm->SendIdle());
}

TEST(CommWrite, WriteTimeLimitPacesAttemptsButLosesNoBytes) {
    TCommRig rig;
    rig.Comm->SetWriteTotalTimeoutConstant(50);
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.StopOutput());
    const std::vector<uint8_t> request = {0x01, 0x01, 0x00, 0x00, 0x00, 0x04, 0x3D, 0xC9};
    ASSERT_TRUE(rig.Comm->SendData(request.data(), 8));
    std::this_thread::sleep_for(300ms);  // several attempts pass their limit
    ASSERT_TRUE(rig.ResumeOutput());
    EXPECT_EQ(rig.Pty.Read(8), request);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 2; }));
    EXPECT_EQ(rig.Hangups, 0);
}

TEST(CommHangup, FarEndClosingPostsOneHangupAndClosePortStillWorks) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Pty.CloseMaster();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Hangups >= 1; }));
    // A request after the hang-up fails in the writer, which reports nothing new.
    const uint8_t request[8] = {1, 4, 0, 0, 0, 4, 0xF1, 0xC9};
    rig.Comm->SendData(request, 8);
    rig.Settle(500ms);
    EXPECT_EQ(rig.Hangups, 1);
    EXPECT_TRUE(rig.Comm->IsOpen());
    rig.Comm->ClosePort();
    EXPECT_FALSE(rig.Comm->IsOpen());
    EXPECT_TRUE(rig.Comm->SendIdle());
}

TEST(CommWrite, LongestWriteLimitsNeitherSpinNorLoseBytes) {
    TCommRig rig;
    rig.Comm->SetWriteTotalTimeoutMultiplier(0xFFFFFFFF);
    rig.Comm->SetWriteTotalTimeoutConstant(0xFFFFFFFF);
    rig.OpenAndSettle();
    ASSERT_TRUE(rig.StopOutput());
    // The limit of a large request is far beyond what 64-bit nanoseconds hold.
    const std::vector<uint8_t> request = Pattern(60000);
    ASSERT_TRUE(rig.Comm->SendData(request.data(), static_cast<uint16_t>(request.size())));
    EXPECT_LT(CpuWhileSleeping(1s), kSpinLimit);
    ASSERT_TRUE(rig.ResumeOutput());
    EXPECT_EQ(rig.Pty.Read(request.size(), 20s), request);
}

TEST(CommHangup, LineThatHungUpCostsNoCpu) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Pty.CloseMaster();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Hangups >= 1; }));
    EXPECT_LT(CpuWhileSleeping(1s), kSpinLimit);
    rig.Comm->ClosePort();
}

TEST(CommHangup, WriterEndsAfterAFailedWriteAndSendDataThenFails) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Pty.CloseMaster();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Hangups >= 1; }));
    const uint8_t request[8] = {1, 4, 0, 0, 0, 4, 0xF1, 0xC9};
    rig.Comm->SendData(request, 8);
    // The writer takes the request, fails on the dead line and ends; its queue
    // closes with it.
    bool refused = false;
    for (int i = 0; i < 100 && !refused; ++i) {
        refused = !rig.Comm->SendData(request, 8);
        if (!refused) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(refused);
    rig.Comm->ClosePort();
}
