// The port-setting maps and the routine that gives a station its port.

#include "polling/Globe.h"

#include <gtest/gtest.h>

#include "ScanRig.h"
#include "polling/StationState.h"

namespace {

TEST(GlobeMaps, BaudIndexesGiveTheirRatesAndAnyOtherIndexMinusOne) {
    const int32_t rates[] = {110,   300,   1200,   2400,   4800,   9600,  19200,
                             38400, 57600, 115200, 230400, 460800, 921600};
    for (int32_t index = 0; index < 13; ++index) EXPECT_EQ(PortBaudRate(index), rates[index]);
    EXPECT_EQ(PortBaudRate(13), -1);
    EXPECT_EQ(PortBaudRate(-1), -1);
    EXPECT_EQ(PortBaudRate(255), -1);
}

TEST(GlobeMaps, LineSettingIndexesFallBackToTheComponentsDefaults) {
    EXPECT_EQ(PortBitSize(0), TByteSize::_5);
    EXPECT_EQ(PortBitSize(1), TByteSize::_6);
    EXPECT_EQ(PortBitSize(2), TByteSize::_7);
    EXPECT_EQ(PortBitSize(3), TByteSize::_8);
    EXPECT_EQ(PortBitSize(-1), TByteSize::_8);

    EXPECT_EQ(PortParity(0), TParity::None);
    EXPECT_EQ(PortParity(1), TParity::Odd);
    EXPECT_EQ(PortParity(2), TParity::Even);
    EXPECT_EQ(PortParity(3), TParity::Mark);
    EXPECT_EQ(PortParity(4), TParity::Space);
    EXPECT_EQ(PortParity(5), TParity::None);

    EXPECT_EQ(PortStopBits(0), TStopBits::_1);
    EXPECT_EQ(PortStopBits(1), TStopBits::_1_5);
    EXPECT_EQ(PortStopBits(2), TStopBits::_2);
    EXPECT_EQ(PortStopBits(3), TStopBits::_1);

    EXPECT_EQ(PortDtrControl(0), TDtrControl::DtrEnable);
    EXPECT_EQ(PortDtrControl(1), TDtrControl::DtrDisable);
    EXPECT_EQ(PortDtrControl(2), TDtrControl::DtrHandshake);
    EXPECT_EQ(PortDtrControl(3), TDtrControl::DtrEnable);
}

TEST(GlobeMaps, FiftyPortNamesFromCom1) {
    const std::vector<std::string> names = PortNames();
    ASSERT_EQ(names.size(), 50u);
    EXPECT_EQ(names.front(), "COM1");
    EXPECT_EQ(names[9], "COM10");
    EXPECT_EQ(names.back(), "COM50");
    EXPECT_EQ(CommNameOf(255), "COM255");
}

class StationPortTest : public testing::Test {
  protected:
    TScanRig rig_;
};

TEST_F(StationPortTest, StartUpSetsTheBaudOnlyAndSwitchesSoftwareFlowControlOff) {
    rig_.Peer(3);
    const TDateTime before = rig_.Cycle().OfflineNow();
    TStationState& station = rig_.AddStation(7, 3, TPortSetup::BaudOnly);
    TStationInfo& info = rig_.InfoOf(station);

    EXPECT_EQ(station.Address, 7);
    EXPECT_EQ(station.Station, &info);
    EXPECT_EQ(station.HistoryList, nullptr);
    EXPECT_EQ(station.HistoryMgr, nullptr);
    EXPECT_EQ(station.State, kStateDisconnected);
    EXPECT_GE(station.RefTime, before);
    EXPECT_LE(station.RefTime, rig_.Cycle().OfflineNow());

    ASSERT_NE(station.Port, nullptr);
    TComm& port = *station.Port;
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.CommName(), "COM3");
    EXPECT_EQ(port.BaudRate(), 9600u);
    EXPECT_FALSE(port.Outx_XonXoffFlow());
    EXPECT_FALSE(port.Inx_XonXoffFlow());
    // Everything else keeps the component's initial values.
    EXPECT_TRUE(port.TxContinueOnXoff());
    EXPECT_EQ(port.XonChar(), 0x11);
    EXPECT_EQ(port.XoffChar(), 0x13);
    EXPECT_EQ(port.ByteSize(), TByteSize::_8);
    EXPECT_EQ(port.Parity(), TParity::None);
    EXPECT_EQ(port.StopBits(), TStopBits::_1);
    EXPECT_EQ(port.DtrControl(), TDtrControl::DtrEnable);
    EXPECT_TRUE(static_cast<bool>(port.OnReceiveData));
}

TEST_F(StationPortTest, AddDeviceSetsEveryStoredLineSettingThroughTheMaps) {
    rig_.Peer(4);
    TStationInfo info;
    info.TmpAddr = 12;
    info.PortNo = 4;
    info.PortBaud = 9;
    info.PortBitSize = 2;
    info.PortParity = 2;
    info.PortStopBits = 2;
    info.PortDtrControl = 1;
    int received = 0;
    auto station = MakeStationState(
        info, [&](TComm*, const uint8_t*, uint16_t) { ++received; }, TPortSetup::Full, Now());

    TComm& port = *station->Port;
    EXPECT_EQ(station->State, kStateDisconnected);
    EXPECT_EQ(port.BaudRate(), 115200u);
    EXPECT_EQ(port.ByteSize(), TByteSize::_7);
    EXPECT_EQ(port.Parity(), TParity::Even);
    EXPECT_EQ(port.StopBits(), TStopBits::_2);
    EXPECT_EQ(port.DtrControl(), TDtrControl::DtrDisable);
    EXPECT_FALSE(port.Outx_XonXoffFlow());
    EXPECT_FALSE(port.Inx_XonXoffFlow());
    port.OnReceiveData(&port, nullptr, 0);
    EXPECT_EQ(received, 1);
}

TEST_F(StationPortTest, PortThatCannotBeOpenedLeavesTheStationInOpenError) {
    TStationState& missing = rig_.AddStation(5, 8);  // COM8 leads nowhere
    EXPECT_EQ(missing.State, kStateOpenError);
    ASSERT_NE(missing.Port, nullptr);
    EXPECT_FALSE(missing.Port->IsOpen());

    // Two stations naming one port: the first holds it, the second cannot.
    rig_.Peer(6);
    TStationState& first = rig_.AddStation(1, 6);
    TStationState& second = rig_.AddStation(2, 6);
    EXPECT_EQ(first.State, kStateDisconnected);
    EXPECT_EQ(second.State, kStateOpenError);
}

TEST_F(StationPortTest, OpeningAgainReplacesThePortAndReleasesTheOldOne) {
    rig_.Peer(2);
    TStationState& station = rig_.AddStation(1, 2);
    station.State = kStateConnected;
    OpenStationPort(station, rig_.Cycle().ReceiveHandler(), TPortSetup::BaudOnly);
    // The old component let go of the line, or the new one could not open it.
    EXPECT_EQ(station.State, kStateDisconnected);
    EXPECT_TRUE(station.Port->IsOpen());
}

TEST(StationStates, TextsOfTheEightCodesAndNoneForOthers) {
    EXPECT_STREQ(StateText(0), "已连接");
    EXPECT_STREQ(StateText(1), "正在连接...");
    EXPECT_STREQ(StateText(2), "断开");
    EXPECT_STREQ(StateText(3), "终端不存在");
    EXPECT_STREQ(StateText(4), "端口忙");
    EXPECT_STREQ(StateText(5), "打开端口出错");
    EXPECT_STREQ(StateText(6), "向端口写入数据出错");
    EXPECT_STREQ(StateText(7), "手动断开");
    EXPECT_STREQ(StateText(8), "");
    EXPECT_STREQ(StateText(255), "");
}

TEST(StationStates, PassesSkipAbsentOpenErrorWriteErrorAndManualDisconnect) {
    for (int state = 0; state < 256; ++state) {
        const bool skipped = state == 3 || state == 5 || state == 6 || state == 7;
        EXPECT_EQ(IsPolledState(static_cast<uint8_t>(state)), !skipped) << state;
    }
}

}  // namespace
