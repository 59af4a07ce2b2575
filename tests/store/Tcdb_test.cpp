// tcdb end to end: the built tool runs as a child process on files in a
// temporary directory.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "StoreTestSupport.h"
#include "engine/PlatformFileStream.h"
#include "store/DateTime.h"
#include "store/EventDbMgr.h"
#include "store/GbkText.h"
#include "store/HisInfoDbMgr.h"
#include "store/ProgramDirLock.h"
#include "store/StationChecks.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"

extern char** environ;

using storetest::TTempDir;

namespace {

struct TRun {
    int Exit = -1;
    std::string Out;
    std::string Err;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs tcdb with Arguments; its output goes to files in Tmp.
TRun Tcdb(const TTempDir& tmp, const std::vector<std::string>& arguments) {
    const std::string outFile = tmp.File("stdout.txt");
    const std::string errFile = tmp.File("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<std::string> words = {TCDB_PATH};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    TRun run;
    const int rc = posix_spawn(&pid, TCDB_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        run.Err = "spawn failed";
        return run;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.Exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.Out = ReadText(outFile);
    run.Err = ReadText(errFile);
    return run;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
    const std::string text = ReadText(path);
    return {text.begin(), text.end()};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A station program directory made by init.
class TcdbStation : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir = FTmp.Dir() + "station";
        const TRun run = Tcdb(FTmp, {"init", Dir});
        ASSERT_EQ(run.Exit, 0) << run.Err;
    }
    TRun Run(const std::vector<std::string>& arguments) { return Tcdb(FTmp, arguments); }
    TRun AddStation(const std::string& addr, const std::string& port, const std::string& pos,
                    const std::string& name) {
        return Run(
            {"add-station", Dir, "--addr", addr, "--port", port, "--pos", pos, "--name", name});
    }

    TTempDir FTmp;
    std::string Dir;
};

}  // namespace

TEST_F(TcdbStation, InitCreatesBothFilesWithTheDefaultsOnce) {
    EXPECT_TRUE(std::filesystem::is_regular_file(Dir + "/data/station.dt"));
    EXPECT_TRUE(std::filesystem::is_regular_file(Dir + "/syspara/para.dt"));
    TRun params = Run({"params", Dir});
    ASSERT_EQ(params.Exit, 0) << params.Err;
    const std::vector<std::string> expected = {
        "RecordId,ParaKey,Value,Text", "1,0,60000,", "2,1,300000,", "3,2,0,", "4,3,0,", "5,4,30,",
        "6,5,0," + Dir + "/backup"};
    EXPECT_EQ(Lines(params.Out), expected);

    // A second init opens what is there and adds nothing.
    const TRun again = Run({"init", Dir});
    ASSERT_EQ(again.Exit, 0) << again.Err;
    EXPECT_EQ(Lines(Run({"params", Dir}).Out), expected);
}

TEST_F(TcdbStation, InitOnARelativeDirectoryStoresAnAbsoluteBackupPath) {
    const std::string relative =
        std::filesystem::relative(FTmp.Dir() + "second", std::filesystem::current_path());
    ASSERT_EQ(Run({"init", relative}).Exit, 0);
    const std::vector<std::string> lines = Lines(Run({"params", FTmp.Dir() + "second"}).Out);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[6], "6,5,0," + FTmp.Dir() + "second/backup");
}

TEST_F(TcdbStation, AddStationStoresTheDialogsFixedPortFieldsAndListsInOrder) {
    TRun first = AddStation("7", "3", "1号主变", "温控器,A");
    ASSERT_EQ(first.Exit, 0) << first.Err;
    EXPECT_EQ(first.Out, "1\n");
    TRun second = Run({"add-station", Dir, "--addr", "255", "--port", "COM12", "--pos",
                       "say \"hi\"", "--name", "一二三四五六七八九十", "--baud", "12"});
    ASSERT_EQ(second.Exit, 0) << second.Err;
    EXPECT_EQ(second.Out, "2\n");

    const TRun stations = Run({"stations", Dir});
    ASSERT_EQ(stations.Exit, 0) << stations.Err;
    const std::vector<std::string> expected = {
        "RecordId,TmpAddr,DevName,StationPosName,PortNo,PortBaud,PortBitSize,PortParity,"
        "PortStopBits,PortDtrControl",
        "1,7,\"温控器,A\",1号主变,3,5,3,0,0,0",
        "2,255,一二三四五六七八九十,\"say \"\"hi\"\"\",12,12,3,0,0,0"};
    EXPECT_EQ(Lines(stations.Out), expected);

    // Stored as GBK, read back by the station's own manager.
    TStationDbMgr mgr(Dir + "/data/station.dt", false);
    std::vector<TStationInfo> list;
    mgr.ListStations(list);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].DevName.Gbk(), Utf8ToGbk("一二三四五六七八九十"));
}

TEST_F(TcdbStation, AddStationRejectsEachBadFieldWithTheDialogsMessage) {
    ASSERT_EQ(AddStation("7", "3", "pos", "name").Exit, 0);
    struct TCase {
        std::vector<std::string> Arguments;
        const char* Message;
    };
    const std::string longName(21, 'n');
    const std::vector<TCase> cases = {
        {{"--addr", "8", "--port", "3", "--pos", "p", "--name", ""}, kMsgDevNameLength},
        {{"--addr", "8", "--port", "3", "--pos", "p", "--name", longName}, kMsgDevNameLength},
        {{"--addr", "8", "--port", "3", "--pos", "p", "--name", "一二三四五六七八九十一"},
         kMsgDevNameLength},
        {{"--addr", "8", "--port", "3", "--pos", "", "--name", "n"}, kMsgPosNameLength},
        {{"--addr", "0", "--port", "3", "--pos", "p", "--name", "n"}, kMsgTmpAddr},
        {{"--addr", "256", "--port", "3", "--pos", "p", "--name", "n"}, kMsgTmpAddr},
        {{"--addr", "abc", "--port", "3", "--pos", "p", "--name", "n"}, kMsgTmpAddr},
        {{"--addr", "7", "--port", "3", "--pos", "p", "--name", "n"}, kMsgTmpAddr},
        {{"--addr", "8", "--port", "0", "--pos", "p", "--name", "n"}, kMsgPortName},
        {{"--addr", "8", "--port", "256", "--pos", "p", "--name", "n"}, kMsgPortName},
        {{"--addr", "8", "--port", "3", "--pos", "p", "--name", "n", "--baud", "13"}, kMsgPortBaud},
        {{"--addr", "8", "--port", "3", "--pos", "p", "--name", "n", "--baud", "x"}, kMsgPortBaud},
        // Port 3's line runs at the first station's 9600 baud.
        {{"--addr", "8", "--port", "3", "--pos", "p", "--name", "n", "--baud", "7"}, kMsgLineBaud},
    };
    for (const TCase& c : cases) {
        std::vector<std::string> arguments = {"add-station", Dir};
        arguments.insert(arguments.end(), c.Arguments.begin(), c.Arguments.end());
        const TRun run = Run(arguments);
        EXPECT_EQ(run.Exit, 1) << c.Message;
        EXPECT_EQ(run.Err, std::string(c.Message) + "\n");
        EXPECT_EQ(run.Out, "");
    }
    EXPECT_EQ(Lines(Run({"stations", Dir}).Out).size(), 2u);  // header and the first station
    // The same port at its line's baud rate, and another port at any, are fine.
    EXPECT_EQ(
        Run({"add-station", Dir, "--addr", "8", "--port", "3", "--pos", "p", "--name", "n"}).Exit,
        0);
    EXPECT_EQ(Run({"add-station", Dir, "--addr", "9", "--port", "4", "--pos", "p", "--name", "n",
                   "--baud", "7"})
                  .Exit,
              0);
}

TEST_F(TcdbStation, RejectedStationOnAFreshDirectoryCreatesNoFile) {
    const std::string fresh = FTmp.Dir() + "fresh";
    const TRun run =
        Run({"add-station", fresh, "--addr", "0", "--port", "1", "--pos", "p", "--name", "n"});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_FALSE(std::filesystem::exists(fresh));
    ASSERT_EQ(
        Run({"add-station", fresh, "--addr", "1", "--port", "1", "--pos", "p", "--name", "n"}).Exit,
        0);
    EXPECT_TRUE(std::filesystem::is_regular_file(fresh + "/data/station.dt"));
}

TEST_F(TcdbStation, SetParamRewritesTheRecordOfItsKeyAsTheSettingsDialogDoes) {
    ASSERT_EQ(Run({"set-param", Dir, "--key", "0", "--value", "5000"}).Exit, 0);
    const std::string backUp = Dir + "/存档/备份";
    ASSERT_EQ(Run({"set-param", Dir, "--key", "5", "--text", backUp}).Exit, 0);
    EXPECT_TRUE(std::filesystem::is_directory(backUp));
    const std::vector<std::string> lines = Lines(Run({"params", Dir}).Out);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "1,0,5000,");
    EXPECT_EQ(lines[2], "2,1,300000,");
    EXPECT_EQ(lines[6], "6,5,0," + backUp);

    const TRun missingKey = Run({"set-param", Dir, "--key", "10", "--value", "1"});
    EXPECT_EQ(missingKey.Exit, 1);
    EXPECT_EQ(missingKey.Err, "No parameter record holds key 10\n");
    const TRun tooLong = Run({"set-param", Dir, "--key", "5", "--text", std::string(125, 'x')});
    EXPECT_EQ(tooLong.Exit, 1);
    EXPECT_NE(tooLong.Err.find("124"), std::string::npos);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "0", "--value", "2147483648"}).Exit, 1);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "0"}).Exit, 2);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "0", "--value", "1", "--text", "t"}).Exit, 2);
    EXPECT_EQ(Lines(Run({"params", Dir}).Out), lines);  // the failures changed nothing
}

TEST_F(TcdbStation, SetParamRefusesWhatTheSettingsDialogRefusesWithItsMessages) {
    const std::vector<std::string> before = Lines(Run({"params", Dir}).Out);
    { std::ofstream(Dir + "/occupied") << "x"; }
    const struct {
        std::vector<std::string> Args;
        std::string Message;
    } refused[] = {
        {{"--key", "0", "--value", "0"}, "扫描时间间隔太短或太长！"},
        {{"--key", "0", "--value", "1500"}, "扫描时间间隔太短或太长！"},  // no whole second
        {{"--key", "0", "--value", "60000000"}, "扫描时间间隔太短或太长！"},
        {{"--key", "1", "--value", "59999"}, "扫描时间间隔太短或太长！"},
        {{"--key", "1", "--value", "-60000"}, "扫描时间间隔太短或太长！"},
        {{"--key", "2", "--value", "2"}, "系统自动备份只能是0（关）或1（开）！"},
        {{"--key", "4", "--value", "0"}, "备份时间间隔太短或太长！"},
        {{"--key", "4", "--value", "365"}, "备份时间间隔太短或太长！"},
        {{"--key", "5", "--text", ""}, "创建备份目录失败！"},
        {{"--key", "5", "--text", Dir + "/occupied/backup"}, "创建备份目录失败！"},
        {{"--key", "5", "--value", "3"}, "创建备份目录失败！"},
    };
    for (const auto& r : refused) {
        std::vector<std::string> args = {"set-param", Dir};
        args.insert(args.end(), r.Args.begin(), r.Args.end());
        const TRun run = Run(args);
        EXPECT_EQ(run.Exit, 1) << args[3] << " " << args[5];
        EXPECT_EQ(run.Err, r.Message + "\n") << args[3] << " " << args[5];
    }
    EXPECT_EQ(Lines(Run({"params", Dir}).Out), before);

    // The bounds themselves pass; a relative directory is made in the
    // program directory, not where tcdb was started.
    EXPECT_EQ(Run({"set-param", Dir, "--key", "0", "--value", "59999000"}).Exit, 0);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "1", "--value", "60000"}).Exit, 0);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "2", "--value", "1"}).Exit, 0);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "4", "--value", "364"}).Exit, 0);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "5", "--text", "备份"}).Exit, 0);
    EXPECT_TRUE(std::filesystem::is_directory(Dir + "/备份"));
    // The last backup day has no check: it is the backup timer's own.
    EXPECT_EQ(Run({"set-param", Dir, "--key", "3", "--text", "anything"}).Exit, 0);
    // Key 6 came later: its record is added when the file has none.
    const TRun six = Run({"set-param", Dir, "--key", "6", "--value", "2"});
    EXPECT_EQ(six.Err, "自动重连离线设备只能是0（关）或1（开）！\n");
    EXPECT_EQ(Run({"set-param", Dir, "--key", "6", "--value", "0"}).Exit, 0);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "6", "--value", "1"}).Exit, 0);
    // So did key 7, the reply time-out in milliseconds.
    for (const char* bad : {"19", "5001", "0"}) {
        const TRun seven = Run({"set-param", Dir, "--key", "7", "--value", bad});
        EXPECT_EQ(seven.Exit, 1) << bad;
        EXPECT_EQ(seven.Err, "应答超时必须是20到5000之间的整数！\n") << bad;
    }
    EXPECT_EQ(Run({"set-param", Dir, "--key", "7", "--value", "20"}).Exit, 0);
    EXPECT_EQ(Run({"set-param", Dir, "--key", "7", "--value", "5000"}).Exit, 0);
    const std::vector<std::string> after = Lines(Run({"params", Dir}).Out);
    ASSERT_EQ(after.size(), 9u);
    EXPECT_EQ(after[7], "7,6,1,");
    EXPECT_EQ(after[8], "8,7,5000,");
}

TEST_F(TcdbStation, WrongUsageExitsWithTwoAndTheUsage) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"stations"},
             {"stations", Dir, "extra"},
             {"add-station", Dir, "--addr", "1", "--port", "1", "--pos", "p"},
             {"dump", "x.dt", "--since", "2024-01-01"},
             {"dump", "x.dt", "--from"},
         }) {
        const TRun run = Run(arguments);
        EXPECT_EQ(run.Exit, 2) << ::testing::PrintToString(arguments);
        EXPECT_NE(run.Err.find("usage: tcdb"), std::string::npos);
    }
}

TEST_F(TcdbStation, ReadingCommandsCreateNothing) {
    const std::string nowhere = FTmp.Dir() + "nowhere";
    EXPECT_EQ(Run({"stations", nowhere}).Exit, 1);
    EXPECT_EQ(Run({"params", nowhere}).Exit, 1);
    EXPECT_EQ(Run({"dump", nowhere + "/h.dt"}).Exit, 1);
    EXPECT_EQ(Run({"report", nowhere + "/h.dt"}).Exit, 1);
    const TRun check = Run({"check", nowhere + "/h.dt"});
    EXPECT_EQ(check.Exit, 1);
    EXPECT_NE(check.Err.find("No such file"), std::string::npos) << check.Err;
    EXPECT_FALSE(std::filesystem::exists(nowhere));
}

// ------------------------------------------------------------ history files

class TcdbHistory : public ::testing::Test {
  protected:
    void SetUp() override {
        File = FTmp.Dir() + "data/7/HistoryData.dt";
        // Appended in time order, as the station does; the second has a
        // faulty A phase and every relay bit.
        for (const auto& [time, raw, relay] :
             std::vector<std::tuple<const char*, const char*, const char*>>{
                 {"2024-03-01 10:00:00", "65,66,67,0", "2"},
                 {"2024-03-01 11:00:00.250", "300,66,65535,100", "0x0F"},
                 {"2024-03-02 00:00:00", "60,60,60,60", "0"},
             }) {
            const TRun run = Run({"add-sample", File, "--addr", "7", "--raw", raw, "--relay", relay,
                                  "--time", time});
            ASSERT_EQ(run.Exit, 0) << run.Err;
        }
    }
    TRun Run(const std::vector<std::string>& arguments) { return Tcdb(FTmp, arguments); }

    TTempDir FTmp;
    std::string File;
};

TEST_F(TcdbHistory, AddSampleCreatesTheFileAndPrintsTheNewId) {
    const TRun run = Run({"add-sample", File, "--addr", "7", "--raw", "1,2,3,4", "--relay", "0"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out, "4\n");
    // Without --time the sample carries the current time: it is the newest.
    THisInfoDbMgr mgr(File, false);
    std::vector<TTmpReading> list;
    mgr.ListRecords(list);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_GT(list[3].DateTime, list[2].DateTime);
    EXPECT_EQ(list[3].IronTmp, 4);

    EXPECT_EQ(Run({"add-sample", File, "--addr", "7", "--raw", "1,2,3", "--relay", "0"}).Exit, 1);
    EXPECT_EQ(Run({"add-sample", File, "--addr", "7", "--raw", "1,2,3,4,5", "--relay", "0"}).Exit,
              1);
    EXPECT_EQ(Run({"add-sample", File, "--addr", "7", "--raw", "1,2,3,65536", "--relay", "0"}).Exit,
              1);
    EXPECT_EQ(Run({"add-sample", File, "--addr", "0", "--raw", "1,2,3,4", "--relay", "0"}).Exit, 1);
    EXPECT_EQ(Run({"add-sample", File, "--addr", "7", "--raw", "1,2,3,4", "--relay", "0", "--time",
                   "2024-02-30"})
                  .Exit,
              1);
}

TEST_F(TcdbHistory, DumpWithoutARangeListsEverySampleInIdOrder) {
    const TRun run = Run({"dump", File});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    const std::vector<std::string> expected = {
        "RecordId,DateTime,TmpAddr,APhaseTmp,BPhaseTmp,CPhaseTmp,IronTmp,RelayFlags",
        "1,2024-03-01 10:00:00.000,7,65,66,67,0,2",
        "2,2024-03-01 11:00:00.250,7,300,66,65535,100,15",
        "3,2024-03-02 00:00:00.000,7,60,60,60,60,0"};
    EXPECT_EQ(Lines(run.Out), expected);
}

TEST_F(TcdbHistory, DumpWithARangeIsTheQueryNewestFirst) {
    TRun run = Run({"dump", File, "--from", "2024-03-01 10:00:00", "--to", "2024-03-01 23:00"});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    std::vector<std::string> lines = Lines(run.Out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(0, 2), "2,");
    EXPECT_EQ(lines[2].substr(0, 2), "1,");

    // A missing bound is open: from a time on, and up to a time.
    lines = Lines(Run({"dump", File, "--from", "2024-03-01 10:30"}).Out);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].substr(0, 2), "3,");
    EXPECT_EQ(lines[2].substr(0, 2), "2,");
    lines = Lines(Run({"dump", File, "--to", "2024-03-01 10:00:00.000"}).Out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(0, 2), "1,");

    EXPECT_EQ(Run({"dump", File, "--from", "yesterday"}).Exit, 1);
}

// The autumn hour: the clock went back from 03:00 to 02:00 after sample 3,
// and samples 4 and 5 were stored with times older than sample 3's.
TEST_F(TcdbHistory, DumpWithARangeFindsSamplesStoredAfterTheClockWentBack) {
    for (const char* time : {"2024-03-02 00:30:00", "2024-03-01 10:30:00"}) {
        ASSERT_EQ(Run({"add-sample", File, "--addr", "7", "--raw", "1,2,3,4", "--relay", "0",
                       "--time", time})
                      .Exit,
                  0);
    }
    const std::vector<std::string> lines =
        Lines(Run({"dump", File, "--from", "2024-03-01 10:00", "--to", "2024-03-02 01:00"}).Out);
    std::vector<std::string> ids;
    for (size_t i = 1; i < lines.size(); ++i) ids.push_back(lines[i].substr(0, 1));
    EXPECT_EQ(ids, (std::vector<std::string>{"4", "3", "2", "5", "1"}));
    const std::vector<std::string> morning =
        Lines(Run({"dump", File, "--from", "2024-03-01 10:15", "--to", "2024-03-01 10:45"}).Out);
    ASSERT_EQ(morning.size(), 2u);
    EXPECT_EQ(morning[1].substr(0, 2), "5,");
}

TEST_F(TcdbHistory, ReportShowsTheHistoryViewsCells) {
    const TRun run = Run({"report", File});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    const std::vector<std::string> expected = {
        "时间,A相温度,B相温度,C相温度,铁芯温度,传感器状态,风机状态,报警状态,跳闸状态,A相报警,"
        "B相报警,C相报警,铁芯报警",
        "2024-3-1 10:00:00,25,26,27,未知,无故障,开,未报警,未跳闸,正常,正常,正常,正常",
        "2024-3-1 11:00:00,260,26,65495,60,有故障,开,已报警,已跳闸,故障,正常,故障,正常",
        "2024-3-2,20,20,20,20,无故障,关,未报警,未跳闸,正常,正常,正常,正常"};
    EXPECT_EQ(Lines(run.Out), expected);
    const std::vector<std::string> ranged =
        Lines(Run({"report", File, "--from", "2024-03-01 10:30"}).Out);
    ASSERT_EQ(ranged.size(), 3u);
    EXPECT_EQ(ranged[1], expected[3]);
}

TEST_F(TcdbHistory, CheckSummarisesAGoodFile) {
    const TRun run = Run({"check", File});
    ASSERT_EQ(run.Exit, 0) << run.Err;
    EXPECT_EQ(run.Out, "HisDataTable: 3 records, indexes: DateTime\n");
}

TEST_F(TcdbHistory, StationFileIsAGoodFileButNoHistory) {
    const std::string dir = FTmp.Dir() + "station";
    ASSERT_EQ(Run({"init", dir}).Exit, 0);
    const std::string stationFile = dir + "/data/station.dt";
    const TRun check = Run({"check", stationFile});
    ASSERT_EQ(check.Exit, 0) << check.Err;
    EXPECT_EQ(check.Out, "StationTable: 0 records, indexes: TmpAddr\n");
    for (const char* command : {"dump", "report"}) {
        const TRun run = Run({command, stationFile});
        EXPECT_EQ(run.Exit, 1);
        EXPECT_EQ(run.Err, "Table 'HisDataTable' not found\n");
    }
    const TRun add =
        Run({"add-sample", stationFile, "--addr", "7", "--raw", "1,2,3,4", "--relay", "0"});
    EXPECT_EQ(add.Exit, 1);
    EXPECT_EQ(add.Err, "Table 'HisDataTable' not found\n");
}

TEST_F(TcdbHistory, CheckRejectsEmptyRandomAndTruncatedFilesCleanly) {
    const std::string empty = FTmp.File("empty.dt");
    storetest::WriteFileBytes(empty, {});
    TRun run = Run({"check", empty});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Err, "Database file '" + empty + "' is a invalid VELT file\n");

    std::vector<uint8_t> noise(9000);
    uint32_t state = 12345;
    for (uint8_t& b : noise) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    const std::string random = FTmp.File("random.dt");
    storetest::WriteFileBytes(random, noise);
    run = Run({"check", random});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_NE(run.Err.find("invalid VELT file"), std::string::npos) << run.Err;

    // The good file cut at every kind of place: inside the header, inside
    // the table definition, inside the records.
    const std::vector<uint8_t> good = storetest::FileBytes(File);
    constexpr size_t kHeader = 4796;
    constexpr size_t kDefinitions = 2 * 725;
    constexpr size_t kStoredRecord = 28;
    ASSERT_GT(good.size(), kHeader + kDefinitions + 3 * kStoredRecord);
    for (const size_t cut :
         {size_t{100}, size_t{3000}, kHeader + 400, kHeader + kDefinitions + kStoredRecord + 10}) {
        const std::string truncated = FTmp.File("cut" + std::to_string(cut) + ".dt");
        storetest::WriteFileBytes(truncated,
                                  std::vector<uint8_t>(good.begin(), good.begin() + cut));
        run = Run({"check", truncated});
        EXPECT_EQ(run.Exit, 1) << cut;
        EXPECT_EQ(Lines(run.Err).size(), 1u) << run.Err;
        EXPECT_TRUE(run.Err.find("corrupt") != std::string::npos ||
                    run.Err.find("invalid VELT") != std::string::npos)
            << cut << ": " << run.Err;
    }
}

// A chain that the engine can walk but whose records no longer sort: two
// samples' data swapped between their slots, links left as they were.
TEST_F(TcdbHistory, CheckFindsAnIndexChainOutOfOrder) {
    std::vector<uint8_t> bytes = storetest::FileBytes(File);
    constexpr size_t kDirectoryOffsets = 2732 + 8;
    constexpr size_t kGrowthOffsetField = 41;
    constexpr size_t kStoredRecord = 28;
    constexpr size_t kDataOffset = 10;  // marker, flag, id, one link
    auto le32 = [&](size_t at) {
        return static_cast<size_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                   bytes[at + 3] << 24);
    };
    const size_t definition = le32(kDirectoryOffsets);
    const size_t growth = le32(definition + kGrowthOffsetField);
    ASSERT_LE(growth + 3 * kStoredRecord, bytes.size());
    for (size_t i = kDataOffset; i < kStoredRecord; ++i) {
        std::swap(bytes[growth + i], bytes[growth + 2 * kStoredRecord + i]);
    }
    storetest::WriteFileBytes(File, bytes);

    const TRun run = Run({"check", File});
    EXPECT_EQ(run.Exit, 1);
    EXPECT_EQ(run.Err,
              "Table 'HisDataTable': Database file is corrupt: index 'DateTime' is out of "
              "order at record id 2\n");
    // The records themselves still read: dump shows the swapped samples.
    EXPECT_EQ(Run({"dump", File}).Exit, 0);
}

// While a station runs on the directory (it holds the directory's lock),
// every writing command refuses its files, naming the directory, and changes
// nothing; reading commands go on. Once it has ended, writing works again.
TEST_F(TcdbStation, WritingCommandsRefuseTheFilesOfARunningStation) {
    ASSERT_EQ(AddStation("7", "1", "一号变", "温控器").Exit, 0);
    const std::string history = Dir + "/data/7/HistoryData.dt";
    ASSERT_EQ(
        Run({"add-sample", history, "--addr", "7", "--raw", "60,61,62,0", "--relay", "0"}).Exit, 0);
    const std::vector<uint8_t> stations = ReadBytes(Dir + "/data/station.dt");
    {
        const auto running = TProgramDirLock::TryAcquire(Dir);
        ASSERT_NE(running, nullptr);
        EXPECT_EQ(TProgramDirLock::TryAcquire(Dir), nullptr);
        const std::vector<std::vector<std::string>> writes = {
            {"add-sample", history, "--addr", "7", "--raw", "1,2,3,0", "--relay", "0"},
            {"repair", history},
            {"add-station", Dir, "--addr", "8", "--port", "2", "--pos", "p", "--name", "n"},
            {"set-param", Dir, "--key", "0", "--value", "30"},
            {"init", Dir},
        };
        for (const auto& command : writes) {
            const TRun run = Run(command);
            EXPECT_EQ(run.Exit, 1) << command[0];
            EXPECT_NE(run.Err.find("A station is running in '" + Dir + "'"), std::string::npos)
                << command[0] << ": " << run.Err;
        }
        EXPECT_EQ(ReadBytes(Dir + "/data/station.dt"), stations);
        const TRun dump = Run({"dump", history});
        EXPECT_EQ(dump.Exit, 0) << dump.Err;
        EXPECT_EQ(Lines(dump.Out).size(), 2u);
        EXPECT_EQ(Run({"check", history}).Exit, 0);
        EXPECT_EQ(Run({"stations", Dir}).Exit, 0);
    }
    EXPECT_EQ(Run({"add-sample", history, "--addr", "7", "--raw", "1,2,3,0", "--relay", "0"}).Exit,
              0);
}

// A reading command that meets the file locked by the station's append (or
// changed by it meanwhile) reads again instead of failing: it waits for the
// lock, and what it prints is whole.
TEST_F(TcdbStation, ReadingCommandsWaitForAFileTheStationHoldsLocked) {
    const std::string history = Dir + "/data/7/HistoryData.dt";
    for (int n = 0; n < 3; ++n) {
        ASSERT_EQ(
            Run({"add-sample", history, "--addr", "7", "--raw", "60,61,62,0", "--relay", "0"}).Exit,
            0);
    }
    std::atomic<bool> held{false};
    std::thread writer([&] {
        const TPlatformFileStream lock(history, false, true);
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    });
    while (!held) std::this_thread::yield();
    const TRun report = Run({"report", history});
    const TRun check = Run({"check", history});
    writer.join();
    EXPECT_EQ(report.Exit, 0) << report.Err;
    EXPECT_EQ(Lines(report.Out).size(), 4u);
    EXPECT_EQ(check.Exit, 0) << check.Err;
}

TEST_F(TcdbStation, EventsListsTheEventLogNewestFirstAsCsv) {
    EXPECT_EQ(Run({"events", Dir}).Exit, 1);  // a reader never creates the file
    {
        TEventDbMgr mgr(EventFileName(Dir), false);
        mgr.AddEvent(*ParseIsoDateTime("2024-03-01 08:00:00"), 7, "1号主变", kEventTrip,
                     kActionRaised, 8, "");
        mgr.AddEvent(*ParseIsoDateTime("2024-03-01 09:30:00"), 7, "1号主变", kEventTrip,
                     kActionAcknowledged, 8, "");
        mgr.AddEvent(*ParseIsoDateTime("2024-03-02 10:00:00"), 9, "主变,\"东\"", kEventSensorFault,
                     kActionCleared, 241, "A相");
    }
    const TRun all = Run({"events", Dir});
    ASSERT_EQ(all.Exit, 0) << all.Err;
    EXPECT_EQ(Lines(all.Out),
              (std::vector<std::string>{
                  "RecordId,DateTime,TmpAddr,StationPosName,Kind,Action,Value,Detail",
                  "3,2024-03-02 10:00:00.000,9,\"主变,\"\"东\"\"\",传感器故障,恢复,241,A相",
                  "2,2024-03-01 09:30:00.000,7,1号主变,跳闸,确认,8,",
                  "1,2024-03-01 08:00:00.000,7,1号主变,跳闸,产生,8,"}));
    const std::vector<std::string> ranged =
        Lines(Run({"events", Dir, "--from", "2024-03-01 09:00", "--to", "2024-03-02"}).Out);
    ASSERT_EQ(ranged.size(), 2u);
    EXPECT_EQ(ranged[1].substr(0, 2), "2,");
    EXPECT_EQ(Run({"events", Dir, "--from", "yesterday"}).Exit, 1);
}
