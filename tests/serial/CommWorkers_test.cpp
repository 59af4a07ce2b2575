// Whether a TComm's worker threads still run: what the reconnect command
// asks before it decides to open the port anew.

#include <gtest/gtest.h>

#include "CommRig.h"

TEST(CommWorkers, AliveOnlyWhileOpenAndUntilTheLineHangsUp) {
    TCommRig rig;
    EXPECT_FALSE(rig.Comm->WorkersAlive());
    rig.OpenAndSettle();
    EXPECT_TRUE(rig.Comm->WorkersAlive());

    // The far end goes, as a USB adapter that is pulled out: the reader ends
    // with a hang-up, the port itself stays open.
    rig.Pty.CloseMaster();
    ASSERT_TRUE(rig.WaitFor([&] { return rig.Hangups >= 1 && !rig.Comm->WorkersAlive(); }));
    EXPECT_TRUE(rig.Comm->IsOpen());

    rig.Comm->ClosePort();
    EXPECT_FALSE(rig.Comm->WorkersAlive());
}

TEST(CommWorkers, ReopenedPortOnANewDeviceIsAliveAgainAndCarriesData) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Pty.CloseMaster();
    ASSERT_TRUE(rig.WaitFor([&] { return !rig.Comm->WorkersAlive(); }));

    TPtyPair replugged;
    rig.Comm->ClosePort();
    rig.Comm->SetCommName(replugged.SlavePath());
    rig.Comm->OpenPort();
    EXPECT_TRUE(rig.Comm->WorkersAlive());
    const uint8_t request[] = {1, 4, 0, 0, 0, 4};
    ASSERT_TRUE(rig.Comm->SendData(request, sizeof request));
    EXPECT_EQ(replugged.Read(sizeof request), std::vector<uint8_t>(request, request + 6));
    rig.Comm->ClosePort();
}

TEST(CommWorkers, StoppedByClosePortIsNotAlive) {
    TCommRig rig;
    rig.OpenAndSettle();
    rig.Comm->ClosePort();
    EXPECT_FALSE(rig.Comm->WorkersAlive());
    rig.Comm->OpenPort();
    EXPECT_TRUE(rig.Comm->WorkersAlive());
    rig.Comm->ClosePort();
}
