// Closing and opening a TComm again while its line misbehaves: a writer that
// waits forever on a line that never drains, and what the old opening left
// queued in the sink.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "serial/CommRig.h"

namespace {

using namespace std::chrono_literals;

const std::vector<uint8_t> kRequest = {0x01, 0x04, 0x00, 0x00, 0x00, 0x04, 0xF1, 0xC9};
const std::vector<uint8_t> kReply = {0x01, 0x04, 0x08, 0x00, 0x41, 0x00, 0x42,
                                     0x00, 0x43, 0x00, 0x44, 0x5A, 0x1F};

bool Send(TComm& comm, const std::vector<uint8_t>& bytes) {
    return comm.SendData(bytes.data(), static_cast<uint16_t>(bytes.size()));
}

// Fills the line of a far end that never reads: more than the pty holds.
void FillLine(TCommRig& rig) {
    const std::vector<uint8_t> filler(60000, 0x55);
    ASSERT_TRUE(Send(*rig.Comm, filler));
    ASSERT_TRUE(Send(*rig.Comm, filler));
}

// Reads and drops what the far end holds from an earlier opening.
void DropStaleBytes(const TPtyPair& pty) {
    while (!pty.Read(1 << 20, 300ms).empty()) {
    }
}

}  // namespace

TEST(CommReopen, LineThatNeverDrainsClosesPromptlyAndOpensAgain) {
    TCommRig rig;
    rig.Comm->SetOutx_XonXoffFlow(false);  // binary filler; the far end sends nothing anyway
    rig.OpenAndSettle();
    FillLine(rig);
    ASSERT_TRUE(WaitUndelivered([&] { return rig.Comm->WriteStalledFor() > 0ms; }));

    const auto start = std::chrono::steady_clock::now();
    rig.Comm->ClosePort();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_FALSE(rig.Comm->IsOpen());
    EXPECT_EQ(rig.Comm->WriteStalledFor(), 0ms);

    rig.OpenAndSettle();
    DropStaleBytes(rig.Pty);
    ASSERT_TRUE(Send(*rig.Comm, kRequest));
    EXPECT_EQ(rig.Pty.Read(kRequest.size()), kRequest);
    EXPECT_EQ(rig.Comm->WriteStalledFor(), 0ms);
}

TEST(CommReopen, XoffStallsTheWriterButDoesNotHoldTheNextOpening) {
    TCommRig rig;
    rig.OpenAndSettle();
    EXPECT_EQ(rig.Comm->WriteStalledFor(), 0ms);
    ASSERT_TRUE(rig.StopOutput());
    ASSERT_TRUE(Send(*rig.Comm, kRequest));
    ASSERT_TRUE(WaitUndelivered([&] { return rig.Comm->WriteStalledFor() >= 200ms; }));
    EXPECT_TRUE(rig.Comm->WorkersAlive());  // alive, yet nothing goes out
    // Once the line moves again the writer is no longer stalled.
    ASSERT_TRUE(rig.ResumeOutput());
    EXPECT_EQ(rig.Pty.Read(kRequest.size()), kRequest);
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 2; }));
    EXPECT_EQ(rig.Comm->WriteStalledFor(), 0ms);

    ASSERT_TRUE(rig.StopOutput());
    ASSERT_TRUE(Send(*rig.Comm, kRequest));
    ASSERT_TRUE(WaitUndelivered([&] { return rig.Comm->WriteStalledFor() > 0ms; }));
    rig.Comm->ClosePort();
    // No XON ever comes: a reopened line starts sending at once, as a
    // serial device does once its last user has closed it.
    rig.OpenAndSettle();
    const std::vector<uint8_t> next = {0x02, 0x01, 0x00, 0x00, 0x00, 0x04, 0x3D, 0xFA};
    ASSERT_TRUE(Send(*rig.Comm, next));
    EXPECT_EQ(rig.Pty.Read(next.size()), next);
    // The request the old opening held back was dropped with it.
    EXPECT_TRUE(rig.Pty.Read(1, 300ms).empty());
}

TEST(CommReopen, WhatTheOldOpeningLeftQueuedNeverReachesTheNewOne) {
    TCommRig rig;
    rig.Comm->OpenPort();
    ASSERT_TRUE(rig.Pty.Write(kReply));
    // The writer's send-queue-empty notice and the reply's chunk are queued,
    // not delivered.
    ASSERT_TRUE(WaitUndelivered([&] { return rig.Sink->Pending() >= 2; }));
    rig.Comm->ClosePort();

    rig.Comm->OpenPort();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 1; }));
    rig.Settle();
    EXPECT_TRUE(rig.Chunks.empty());
    EXPECT_EQ(rig.SendEmpties, 1);  // the new opening's own

    // The new opening's events still come, and so does a hang-up of its line,
    // but not after it has closed in turn.
    ASSERT_TRUE(rig.Pty.Write(kReply));
    ASSERT_TRUE(rig.WaitForBytes(kReply.size()));
    EXPECT_EQ(rig.Received(), kReply);
    rig.Pty.CloseMaster();
    ASSERT_TRUE(WaitUndelivered([&] { return !rig.Comm->WorkersAlive(); }));
    TPtyPair replugged;
    rig.Comm->ClosePort();
    rig.Comm->SetCommName(replugged.SlavePath());
    rig.Comm->OpenPort();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.SendEmpties >= 2; }));
    rig.Settle();
    EXPECT_EQ(rig.Hangups, 0);
    EXPECT_EQ(rig.SendEmpties, 2);

    // Notifications posted by other code belong to no opening and still come.
    TCommNotification byHand;
    byHand.Message = CommRequestHangup;
    rig.Sink->Post(std::move(byHand));
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Hangups == 1; }));
    rig.Comm->ClosePort();
}
