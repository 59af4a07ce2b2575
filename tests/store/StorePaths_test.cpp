#include "store/StorePaths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>

TEST(StorePaths, ExeDirIsTheRunningProgramsDirectoryWithASlash) {
    const std::string dir = ExeDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.front(), '/');
    EXPECT_EQ(dir.back(), '/');
    EXPECT_EQ(std::filesystem::canonical("/proc/self/exe").parent_path().string() + '/', dir);
}

TEST(StorePaths, FilesLieBesideTheProgram) {
    EXPECT_EQ(StationFileName("/opt/tc/"), "/opt/tc/data/station.dt");
    EXPECT_EQ(SysParaFileName("/opt/tc"), "/opt/tc/syspara/para.dt");
    EXPECT_EQ(HistoryFileName("/opt/tc/", 12), "/opt/tc/data/12/HistoryData.dt");
    EXPECT_EQ(HistoryDirName("/opt/tc/", 7), "/opt/tc/data/7/");
    EXPECT_EQ(WithTrailingSlash(""), "");
    EXPECT_EQ(StationFileName(""), "data/station.dt");
}
