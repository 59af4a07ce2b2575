// The real window against simulated controllers: a few short scan cycles
// over pseudo-terminals, the live view and the stored samples.

#include <gtest/gtest.h>
#include <signal.h>

#include <QLabel>
#include <QLineEdit>
#include <QTest>

#include "app/ColourRadioButton.h"
#include "app/LiveView.h"
#include "app/MainForm.h"
#include "app/WindowTestSupport.h"
#include "polling/SimHarness.h"
#include "polling/StationState.h"
#include "polling/TmpProtocol.h"
#include "store/HisInfoDbMgr.h"
#include "store/ReportText.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"

namespace {

// Not a divisor of the 4000 ms between a relay pass and its temperature
// pass: a relay pass due at the same moment would find the port busy.
// Temperature passes then run at 4 s and 8.5 s.
constexpr int kScanIntervalMs = 4500;
constexpr int kSamplesWanted = 2;
constexpr int kWaitMs = 30000;

void SetScanInterval(const TProgramDir& dir, int32_t milliseconds) {
    TSysParaDbMgr paras(SysParaFileName(dir.Path()));
    std::vector<TSysParaItem> list;
    TSysParaInfo info;
    LoadSysParas(paras, list, info, dir.Path());
    WritePara(paras, list, kParaScanInterval, milliseconds, "");
}

// The replies tcsim printed for `port` and `function`, in order.
std::vector<TBytes> PrintedReplies(TSimProcess& sim, const std::string& port, int function) {
    const std::string prefix = port + " addr=1 fn=" + std::to_string(function) + " reply=";
    std::vector<TBytes> replies;
    for (const std::string& line : sim.Lines()) {
        if (!StartsWith(line, prefix)) continue;
        if (std::optional<TBytes> reply = ReplyOfLine(line)) replies.push_back(*reply);
    }
    return replies;
}

uint16_t Word(const TBytes& reply, size_t offset) {
    return static_cast<uint16_t>(reply.at(offset) << 8 | reply.at(offset + 1));
}

}  // namespace

TEST(StationEndToEnd, TheWindowPollsShowsAndStoresSimulatedControllers) {
    TProgramDir dir;
    TSimProcess sim({"--dir", dir.Path(), "--seed", "7", "COM1:1:normal", "COM2:2:silent"});
    ASSERT_TRUE(sim.WaitReady());
    RegisterStations(dir, {{1, 1, "1号主变", "温控器A"}, {2, 2, "2号主变", "温控器B"}});
    SetScanInterval(dir, kScanIntervalMs);

    TMessageLog log;
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    ASSERT_FALSE(window->TerminateRequested());
    Select(*window, 0);
    TStationState& normal = StationAt(*window, 0);
    TStationState& silent = StationAt(*window, 1);

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return normal.HistoryMgr && normal.HistoryMgr->RecordCount() >= kSamplesWanted; },
        kWaitMs))
        << "state " << int(normal.State);
    EXPECT_TRUE(log.Messages().isEmpty()) << log.Messages().join('|').toStdString();

    // The live view shows the last reply.
    EXPECT_EQ(normal.State, kStateConnected);
    EXPECT_EQ(window->CommStateLabel()->text(), "已连接");
    EXPECT_EQ(window->LiveView()->TempRow(0).Edit->text(),
              QString::fromStdString(TemperatureText(normal.RawTemp[0])));
    EXPECT_TRUE(window->LiveView()->TempRow(0).Normal->isChecked());
    EXPECT_EQ(window->LiveView()->TempRow(kIronRow).Edit->text(), "未知");  // no iron core
    EXPECT_TRUE(window->LiveView()->RelayRow(1).Set->isChecked());          // fan on

    // The silent controller never answered and stored nothing.
    EXPECT_EQ(silent.State, kStateDisconnected);
    EXPECT_FALSE(dir.Exists("data/2/HistoryData.dt"));

    std::vector<TTmpReading> samples;
    normal.HistoryMgr->ListRecords(samples, 0);
    window.reset();

    // The stored samples are tcsim's replies, in order, with the relay byte.
    while (sim.NextLine(std::chrono::milliseconds(200))) {
    }
    const std::vector<TBytes> temperatures = PrintedReplies(sim, "COM1", kFnReadInputRegs);
    const std::vector<TBytes> relays = PrintedReplies(sim, "COM1", kFnReadCoils);
    ASSERT_GE(temperatures.size(), samples.size());
    ASSERT_FALSE(relays.empty());
    ASSERT_GE(samples.size(), static_cast<size_t>(kSamplesWanted));
    for (size_t i = 0; i < samples.size(); ++i) {
        const TBytes& reply = temperatures[i];
        EXPECT_EQ(samples[i].TmpAddr, 1);
        EXPECT_EQ(samples[i].APhaseTmp, Word(reply, 3)) << i;
        EXPECT_EQ(samples[i].BPhaseTmp, Word(reply, 5)) << i;
        EXPECT_EQ(samples[i].CPhaseTmp, Word(reply, 7)) << i;
        EXPECT_EQ(samples[i].IronTmp, Word(reply, 9)) << i;
        EXPECT_EQ(samples[i].RelayFlags, relays[0].at(3)) << i;
        if (i > 0) {
            EXPECT_GT(samples[i].DateTime, samples[i - 1].DateTime);
        }
    }
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.WaitExit(), 0);
}
