#pragma once
// What a sample's raw values mean, in one place for the live view, the
// history report, the chart and the exports. Register values are unsigned
// 16-bit numbers kept as received (in the live state and in every stored
// sample) and converted only when shown.

#include <cstdint>

// Coil (relay) byte bits; bits 4..7 carry nothing and are kept as received.
inline constexpr uint8_t kRelaySensorFault = 0x01;
inline constexpr uint8_t kRelayFan = 0x02;
inline constexpr uint8_t kRelayAlarm = 0x04;
inline constexpr uint8_t kRelayTrip = 0x08;

// Degrees Celsius = raw - 40 for raw 0..240 (so -40..200); above 240 the
// sensor is faulty. Raw 240 is still a valid 200 degrees.
inline constexpr uint16_t kFaultThreshold = 240;
inline constexpr int kTemperatureOffset = 40;
// An iron-core register of 0 means "no iron-core reading" (not -40 degrees);
// the iron-core sensor still counts as normal then.
inline constexpr uint16_t kIronCoreNoReading = 0;

constexpr bool IsSensorFault(uint16_t raw) {
    return raw > kFaultThreshold;
}
constexpr int TemperatureCelsius(uint16_t raw) {
    return static_cast<int>(raw) - kTemperatureOffset;
}
