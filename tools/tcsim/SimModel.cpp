#include "SimModel.h"

#include <algorithm>

#include "polling/TmpProtocol.h"

namespace {

// Raw values are degrees Celsius + 40.
constexpr uint16_t Raw(int celsius) {
    return static_cast<uint16_t>(celsius + kTemperatureOffset);
}

// normal, fault, silent, badcrc, late, wrongaddr, exception: the phases wander within 25..30
// degrees.
constexpr uint16_t kDriftLow = Raw(25);
constexpr uint16_t kDriftHigh = Raw(30);
// fault: the A-phase sensor reads far beyond the fault threshold.
constexpr uint16_t kFaultyRaw = 300;

// hot: the A phase starts at 30 degrees and gains 10 per request up to 160;
// B, C and the iron core follow a little below it.
constexpr int kHotStartCelsius = 30;
constexpr int kHotStepCelsius = 10;
constexpr int kHotPeakCelsius = 160;
constexpr int kHotPhaseBLag = 2;
constexpr int kHotPhaseCLag = 4;
constexpr int kHotIronCoreLag = 20;
constexpr int kAlarmAboveCelsius = 120;
constexpr int kTripAboveCelsius = 150;

}  // namespace

uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

TControllerModel::TControllerModel(TSimProfile profile, uint64_t seed)
    : profile_(profile), random_(seed) {
    switch (profile_) {
        case TSimProfile::Zeros:
            break;
        case TSimProfile::Hot:
            UpdateHot();
            break;
        default: {
            const unsigned span = kDriftHigh - kDriftLow + 1;
            for (size_t r = kPhaseA; r <= kPhaseC; ++r) {
                values_.Registers[r] = static_cast<uint16_t>(kDriftLow + NextRandom() % span);
            }
            values_.Registers[kIronCore] = kIronCoreNoReading;
            values_.Coils = kRelayFan;
            if (profile_ == TSimProfile::Fault) {
                values_.Registers[kPhaseA] = kFaultyRaw;
                values_.Coils |= kRelaySensorFault;
            }
            break;
        }
    }
}

uint64_t TControllerModel::NextRandom() {
    return SplitMix64(random_);
}

void TControllerModel::AfterRequest(uint8_t function) {
    switch (profile_) {
        case TSimProfile::Hot:
            if (TemperatureCelsius(values_.Registers[kPhaseA]) < kHotPeakCelsius) ++hotSteps_;
            UpdateHot();
            break;
        case TSimProfile::Zeros:
            break;
        default:
            if (function == kFnReadInputRegs) Drift();
            break;
    }
}

void TControllerModel::Drift() {
    size_t first = profile_ == TSimProfile::Fault ? kPhaseB : kPhaseA;
    for (size_t r = first; r <= kPhaseC; ++r) {
        int step = static_cast<int>(NextRandom() % 3) - 1;  // -1, 0 or +1
        int value = std::clamp(values_.Registers[r] + step, int{kDriftLow}, int{kDriftHigh});
        values_.Registers[r] = static_cast<uint16_t>(value);
    }
}

void TControllerModel::UpdateHot() {
    int a = std::min(kHotStartCelsius + hotSteps_ * kHotStepCelsius, kHotPeakCelsius);
    values_.Registers = {Raw(a), Raw(a - kHotPhaseBLag), Raw(a - kHotPhaseCLag),
                         Raw(a - kHotIronCoreLag)};
    // The A phase is always the hottest.
    values_.Coils = kRelayFan;
    if (a > kAlarmAboveCelsius) values_.Coils |= kRelayAlarm;
    if (a > kTripAboveCelsius) values_.Coils |= kRelayTrip;
}
