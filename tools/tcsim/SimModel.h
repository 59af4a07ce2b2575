#pragma once
// The values one simulated controller reports, per profile, and how they move
// from one request to the next. Each controller has its own random sequence
// (derived from the run's seed and the controller's position on the command
// line), so its replies depend only on the seed and its own requests.

#include <array>
#include <cstdint>

#include "SimOptions.h"

struct TControllerValues {
    uint8_t Coils = 0;                       // bit 0 sensor fault, 1 fan, 2 alarm, 3 trip
    std::array<uint16_t, 4> Registers = {};  // raw A, B, C, iron core
};

// One step of the splitmix64 generator: small, fast and the same on every
// platform, so a seed gives the same replies everywhere.
uint64_t SplitMix64(uint64_t& state);

class TControllerModel {
  public:
    TControllerModel(TSimProfile profile, uint64_t seed);

    TSimProfile Profile() const { return profile_; }
    bool Answers() const { return profile_ != TSimProfile::Silent; }
    bool CorruptsCrc() const { return profile_ == TSimProfile::BadCrc; }
    bool AnswersLate() const { return profile_ == TSimProfile::Late; }
    bool AnswersForAnotherAddress() const { return profile_ == TSimProfile::WrongAddr; }
    bool AnswersWithException() const { return profile_ == TSimProfile::Exception; }

    // The values the next reply carries.
    const TControllerValues& Values() const { return values_; }
    // Moves the values on after a request with `function` was answered.
    void AfterRequest(uint8_t function);

  private:
    uint64_t NextRandom();
    void Drift();
    void UpdateHot();

    TSimProfile profile_;
    uint64_t random_;
    int hotSteps_ = 0;
    TControllerValues values_;
};
