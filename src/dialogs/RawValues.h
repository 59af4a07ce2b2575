#pragma once
// How the history views read a sample's raw values. Register values are
// unsigned 16-bit numbers kept as received: degrees Celsius = raw - 40, a
// value above 240 marks a faulty sensor (240 itself is a valid 200 degrees),
// and an iron-core value of 0 means the controller has no iron-core reading.

#include <cstdint>

constexpr int kRawTemperatureOffset = 40;
constexpr uint16_t kRawFaultThreshold = 240;

// Relay byte bits; bits 4..7 are kept as received and never tested.
constexpr uint8_t kRelaySensorFault = 0x01;
constexpr uint8_t kRelayFanOn = 0x02;
constexpr uint8_t kRelayAlarm = 0x04;
constexpr uint8_t kRelayTrip = 0x08;

constexpr int RawToCelsius(uint16_t raw) {
    return static_cast<int>(raw) - kRawTemperatureOffset;
}
constexpr bool IsFaultyRaw(uint16_t raw) {
    return raw > kRawFaultThreshold;
}
