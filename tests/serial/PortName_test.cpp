#include "serial/PortName.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class PortNames : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tc-ports-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        FDir = pattern;
        fs::create_directory(FDir / "ports");
        SetCommProgramDir(FDir.string());
    }
    void TearDown() override {
        SetCommProgramDir("");
        std::error_code ignored;
        fs::remove_all(FDir, ignored);
    }
    fs::path FDir;
};

}  // namespace

TEST_F(PortNames, LinkInThePortsDirectoryWins) {
    fs::create_symlink("/dev/null", FDir / "ports" / "COM3");
    EXPECT_EQ(ResolveCommPath("COM3"), (FDir / "ports" / "COM3").string());
}

TEST_F(PortNames, DanglingLinkStillWinsOverTheFallback) {
    fs::create_symlink(FDir / "unplugged", FDir / "ports" / "COM4");
    EXPECT_EQ(ResolveCommPath("COM4"), (FDir / "ports" / "COM4").string());
}

TEST_F(PortNames, WithoutALinkComNMapsToTtySNMinusOne) {
    EXPECT_EQ(ResolveCommPath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(ResolveCommPath("COM12"), "/dev/ttyS11");
}

TEST_F(PortNames, NameIsMatchedWithoutRegardToCase) {
    fs::create_symlink("/dev/null", FDir / "ports" / "COM5");
    EXPECT_EQ(ResolveCommPath("com5"), (FDir / "ports" / "COM5").string());
    EXPECT_EQ(ResolveCommPath("Com6"), "/dev/ttyS5");
}

TEST_F(PortNames, AbsolutePathIsUsedAsItIs) {
    EXPECT_EQ(ResolveCommPath("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ResolveCommPath("/tmp/COM3"), "/tmp/COM3");
}

TEST_F(PortNames, OtherNamesMapToNoDevice) {
    for (const char* name : {"", "COM", "COM0", "COMx", "COM1x", "COM-1", "COM+1", "XCOM1", "ttyS0",
                             "COM9999999999"}) {
        EXPECT_FALSE(ResolveCommPath(name).has_value()) << name;
    }
}

TEST_F(PortNames, ProgramDirMayEndWithASlash) {
    SetCommProgramDir(FDir.string() + "/");
    fs::create_symlink("/dev/null", FDir / "ports" / "COM2");
    EXPECT_EQ(ResolveCommPath("COM2"), FDir.string() + "/ports/COM2");
}

TEST(PortNameDefaults, ProgramDirDefaultsToTheExecutablesDirectory) {
    SetCommProgramDir("");
    const fs::path exe = fs::read_symlink("/proc/self/exe");
    EXPECT_EQ(CommProgramDir(), exe.parent_path().string());
    SetCommProgramDir("");
}
