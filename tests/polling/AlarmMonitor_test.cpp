// The alarm rules: what each accepted reply and state change raises, clears
// and acknowledges, the alarm states, chattering and the sound.

#include "polling/AlarmMonitor.h"

#include <gtest/gtest.h>

#include "polling/StationLive.h"
#include "store/RawValues.h"

namespace {

constexpr TDateTime kStart = 46000.5;
constexpr TDateTime kMinute = 1.0 / (24 * 60);
const std::string kPos = "1号主变";

// Raw registers for degrees A, B, C and no iron-core reading.
std::array<uint16_t, 4> Degrees(int a, int b, int c) {
    return {static_cast<uint16_t>(a + kTemperatureOffset),
            static_cast<uint16_t>(b + kTemperatureOffset),
            static_cast<uint16_t>(c + kTemperatureOffset), kIronCoreNoReading};
}

void ExpectOne(const std::vector<TAlarmEvent>& events, TEventKind kind, TEventAction action) {
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].Kind, kind);
    EXPECT_EQ(events[0].Action, action);
    EXPECT_EQ(events[0].Address, 7);
}

}  // namespace

TEST(AlarmMonitor, EachRelayConditionRaisesOnceAndClears) {
    for (const auto& [bit, kind] :
         {std::pair{kRelaySensorFault, kEventSensorFault}, std::pair{kRelayAlarm, kEventOverTemp},
          std::pair{kRelayTrip, kEventTrip}}) {
        TAlarmMonitor monitor;
        EXPECT_TRUE(monitor.RelaysAccepted(7, kPos, 0, kStart).empty());
        const auto raised = monitor.RelaysAccepted(7, kPos, bit, kStart + kMinute);
        ExpectOne(raised, kind, kActionRaised);
        EXPECT_EQ(raised[0].Value, bit);
        EXPECT_EQ(raised[0].PosName, kPos);
        EXPECT_EQ(raised[0].Time, kStart + kMinute);
        // Nothing repeats while it holds.
        EXPECT_TRUE(monitor.RelaysAccepted(7, kPos, bit, kStart + 2 * kMinute).empty());
        EXPECT_EQ(monitor.StationWorst(7), TStationAlarmLevel::ActiveUnacknowledged);
        EXPECT_EQ(monitor.StationWorst(8), TStationAlarmLevel::Normal);
        ExpectOne(monitor.RelaysAccepted(7, kPos, 0, kStart + 3 * kMinute), kind, kActionCleared);
    }
}

TEST(AlarmMonitor, FanChangesAreEventsButNotTheFirstReply) {
    TAlarmMonitor monitor;
    EXPECT_TRUE(monitor.RelaysAccepted(7, kPos, kRelayFan, kStart).empty());
    ExpectOne(monitor.RelaysAccepted(7, kPos, 0, kStart + kMinute), kEventFanStopped, kActionEvent);
    ExpectOne(monitor.RelaysAccepted(7, kPos, kRelayFan, kStart + 2 * kMinute), kEventFanStarted,
              kActionEvent);
    EXPECT_TRUE(monitor.RelaysAccepted(7, kPos, kRelayFan, kStart + 3 * kMinute).empty());
    EXPECT_TRUE(monitor.Active().empty());
    EXPECT_FALSE(monitor.ShouldSound());
}

TEST(AlarmMonitor, SensorFaultAbove240NamesThePhases) {
    TAlarmMonitor monitor;
    // 240 is still a valid 200 degrees.
    EXPECT_TRUE(monitor.TemperaturesAccepted(7, kPos, {240, 240, 240, 240}, kStart).empty());
    const auto raised = monitor.TemperaturesAccepted(7, kPos, {241, 60, 300, 0}, kStart + kMinute);
    ExpectOne(raised, kEventSensorFault, kActionRaised);
    EXPECT_EQ(raised[0].Value, 241);
    EXPECT_EQ(raised[0].Detail, "A相、C相");
    // The relay bit keeps the fault after the registers mend.
    EXPECT_TRUE(monitor.RelaysAccepted(7, kPos, kRelaySensorFault, kStart + 2 * kMinute).empty());
    EXPECT_TRUE(monitor.TemperaturesAccepted(7, kPos, Degrees(20, 20, 20), kStart).empty());
    ExpectOne(monitor.RelaysAccepted(7, kPos, 0, kStart + 3 * kMinute), kEventSensorFault,
              kActionCleared);
}

TEST(AlarmMonitor, TemperatureLimitIsInclusiveAndOffAtZero) {
    TAlarmMonitor monitor;
    EXPECT_TRUE(monitor.TemperaturesAccepted(7, kPos, Degrees(199, 199, 200), kStart).empty());
    monitor.SetTempLimit(90);
    EXPECT_TRUE(monitor.TemperaturesAccepted(7, kPos, Degrees(89, 88, 20), kStart).empty());
    const auto raised = monitor.TemperaturesAccepted(7, kPos, Degrees(89, 90, 20), kStart);
    ExpectOne(raised, kEventTempLimit, kActionRaised);
    EXPECT_EQ(raised[0].Value, 90);
    EXPECT_EQ(raised[0].Detail, "B相");
    // A faulty register is no temperature.
    const auto changed = monitor.TemperaturesAccepted(7, kPos, {129, 250, 60, 0}, kStart + kMinute);
    ASSERT_EQ(changed.size(), 2u);
    EXPECT_EQ(changed[0].Kind, kEventSensorFault);
    EXPECT_EQ(changed[1].Kind, kEventTempLimit);
    EXPECT_EQ(changed[1].Action, kActionCleared);
    EXPECT_EQ(monitor.Active().size(), 2u);  // the sensor fault, and the cleared limit alarm
}

TEST(AlarmMonitor, CommLostOnStates356AndClearedByAnAcceptedReply) {
    TAlarmMonitor monitor;
    for (uint8_t state :
         {kStateConnecting, kStateDisconnected, kStatePortBusy, kStateManualDisconnect}) {
        EXPECT_TRUE(monitor.StateChanged(7, kPos, state, kStart).empty());
    }
    for (uint8_t state : {kStateAbsent, kStateOpenError, kStateWriteError}) {
        TAlarmMonitor m;
        ExpectOne(m.StateChanged(7, kPos, state, kStart), kEventCommLost, kActionRaised);
        EXPECT_TRUE(m.StateChanged(7, kPos, kStateAbsent, kStart).empty());
        EXPECT_TRUE(m.StateChanged(7, kPos, kStatePortBusy, kStart).empty());
        ExpectOne(m.StateChanged(7, kPos, kStateConnected, kStart), kEventCommLost, kActionCleared);
    }
    // A rejected reply is never passed in: nothing without calls.
    EXPECT_TRUE(monitor.Active().empty());
}

TEST(AlarmMonitor, AcknowledgementStates) {
    TAlarmMonitor monitor;
    monitor.RelaysAccepted(7, kPos, kRelayTrip, kStart);
    monitor.RelaysAccepted(8, "2号主变", kRelayAlarm, kStart);
    ASSERT_EQ(monitor.Active().size(), 2u);
    EXPECT_TRUE(monitor.ShouldSound());

    // Active acknowledged, then cleared: back to normal, off the list.
    const int32_t tripId = monitor.Active()[0].Id;
    ExpectOne(monitor.Acknowledge(tripId, kStart + kMinute), kEventTrip, kActionAcknowledged);
    EXPECT_TRUE(monitor.Acknowledge(tripId, kStart + kMinute).empty());
    EXPECT_EQ(monitor.Active()[0].State, TAlarmState::ActiveAcknowledged);
    EXPECT_EQ(monitor.StationWorst(7), TStationAlarmLevel::ActiveAcknowledged);
    monitor.RelaysAccepted(7, kPos, 0, kStart + 2 * kMinute);
    ASSERT_EQ(monitor.Active().size(), 1u);
    EXPECT_EQ(monitor.StationWorst(7), TStationAlarmLevel::Normal);

    // Cleared unacknowledged stays listed, no longer sounds, until acknowledged.
    monitor.RelaysAccepted(8, "2号主变", 0, kStart + 3 * kMinute);
    ASSERT_EQ(monitor.Active().size(), 1u);
    EXPECT_EQ(monitor.Active()[0].State, TAlarmState::ClearedUnacknowledged);
    EXPECT_EQ(monitor.StationWorst(8), TStationAlarmLevel::ClearedUnacknowledged);
    EXPECT_TRUE(monitor.HasUnacknowledged());
    EXPECT_FALSE(monitor.ShouldSound());
    const auto acked = monitor.AcknowledgeAll(kStart + 4 * kMinute);
    ASSERT_EQ(acked.size(), 1u);
    EXPECT_EQ(acked[0].Address, 8);
    EXPECT_EQ(acked[0].PosName, "2号主变");
    EXPECT_TRUE(monitor.Active().empty());
    EXPECT_FALSE(monitor.HasUnacknowledged());

    // By address and kind; Forget drops a deleted station silently.
    monitor.StateChanged(9, "3号", kStateAbsent, kStart);
    EXPECT_EQ(monitor.Acknowledge(9, kEventCommLost, kStart).size(), 1u);
    monitor.Forget(9);
    EXPECT_TRUE(monitor.Active().empty());
}

TEST(AlarmMonitor, ChatteringAfterSixCyclesInTenMinutesSoundsOnlyUntilAcknowledged) {
    const auto cycles = [](TAlarmMonitor& monitor, int count, TDateTime& t) {
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(monitor.RelaysAccepted(7, kPos, kRelayTrip, t).size(), 1u);
            EXPECT_EQ(monitor.RelaysAccepted(7, kPos, 0, t + kMinute / 2).size(), 1u);
            t += kMinute;
        }
    };
    TAlarmMonitor calm;
    TDateTime t = kStart;
    cycles(calm, 5, t);
    calm.RelaysAccepted(7, kPos, kRelayTrip, t);
    EXPECT_FALSE(calm.Active()[0].Chattering);
    calm.AcknowledgeAll(t);
    calm.RelaysAccepted(7, kPos, 0, t + kMinute / 2);
    // Spread over more than 10 minutes: the sixth cycle is outside the window.
    t += 10 * kMinute;
    calm.RelaysAccepted(7, kPos, kRelayTrip, t);
    calm.RelaysAccepted(7, kPos, 0, t + kMinute / 2);
    calm.RelaysAccepted(7, kPos, kRelayTrip, t + kMinute);
    EXPECT_FALSE(calm.Active()[0].Chattering);

    TAlarmMonitor monitor;
    t = kStart;
    cycles(monitor, 6, t);
    ASSERT_EQ(monitor.Active().size(), 1u);
    EXPECT_TRUE(monitor.Active()[0].Chattering);
    // It keeps logging and sounds until the operator acknowledges it ...
    EXPECT_EQ(monitor.RelaysAccepted(7, kPos, kRelayTrip, t).size(), 1u);
    EXPECT_TRUE(monitor.ShouldSound());
    monitor.AcknowledgeAll(t);
    // ... then its raises no longer sound while it chatters.
    EXPECT_EQ(monitor.RelaysAccepted(7, kPos, 0, t + kMinute / 2).size(), 1u);
    EXPECT_EQ(monitor.RelaysAccepted(7, kPos, kRelayTrip, t + kMinute).size(), 1u);
    EXPECT_TRUE(monitor.HasUnacknowledged());
    EXPECT_FALSE(monitor.ShouldSound());
    // Calm again for 10 minutes: a raise sounds.
    monitor.RelaysAccepted(7, kPos, 0, t + 2 * kMinute);
    monitor.RelaysAccepted(7, kPos, kRelayTrip, t + 13 * kMinute);
    EXPECT_FALSE(monitor.Active()[0].Chattering);
    EXPECT_TRUE(monitor.ShouldSound());
}
