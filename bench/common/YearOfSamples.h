#pragma once
// A year of one-minute samples (525,600), newest first as a history query
// returns them, with values that move like a transformer's over a day, the
// odd faulty register and every relay pattern.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "store/DateTime.h"
#include "store/Items.h"

inline constexpr size_t kYear = 525600;
inline constexpr double kOneMinute = 1.0 / 1440.0;

inline const std::vector<TTmpReading>& YearOfSamples() {
    static const std::vector<TTmpReading> list = [] {
        std::vector<TTmpReading> v;
        v.reserve(kYear);
        const TDateTime first = EncodeDateTime(2022, 1, 1);
        for (size_t k = kYear; k-- > 0;) {
            TTmpReading r;
            r.RecordId = static_cast<int32_t>(k + 1);
            r.DateTime = first + static_cast<double>(k) * kOneMinute;
            r.TmpAddr = 1;
            const double day = static_cast<double>(k) / 1440.0;
            r.APhaseTmp = static_cast<uint16_t>(90 + 30 * std::sin(day * 6.283) + k % 7);
            r.BPhaseTmp = static_cast<uint16_t>(95 + 25 * std::sin(day * 6.283 + 1) + k % 5);
            r.CPhaseTmp = k % 10007 == 0 ? 65535 : static_cast<uint16_t>(100 + k % 11);
            r.IronTmp = k % 3 == 0 ? 0 : static_cast<uint16_t>(80 + k % 13);
            r.RelayFlags = static_cast<uint8_t>(k % 16);
            v.push_back(r);
        }
        return v;
    }();
    return list;
}
