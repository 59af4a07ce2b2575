#pragma once
// The initial Blowfish P-array and S-boxes (BlowfishTables.cpp).

#include <cstdint>

namespace velt_blowfish {

inline constexpr int kPSize = 18;
inline constexpr int kSBoxes = 4;
inline constexpr int kSBoxSize = 256;

extern const uint32_t kInitialP[kPSize];
extern const uint32_t kInitialS[kSBoxes][kSBoxSize];

}  // namespace velt_blowfish
