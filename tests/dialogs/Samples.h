#pragma once
// Sample lists for the history widget tests, newest first as queries return them.

#include <functional>
#include <vector>

#include "store/Items.h"

inline TTmpReading Sample(TDateTime time, uint16_t a, uint16_t b, uint16_t c, uint16_t iron,
                          uint8_t relay = 0) {
    TTmpReading r;
    r.DateTime = time;
    r.TmpAddr = 1;
    r.APhaseTmp = a;
    r.BPhaseTmp = b;
    r.CPhaseTmp = c;
    r.IronTmp = iron;
    r.RelayFlags = relay;
    return r;
}

constexpr double kOneMinute = 1.0 / 1440.0;

// A list the test holds itself, as the panel takes lists: the test keeps it
// alive, and unchanged while shown.
inline TReadingList Borrowed(const std::vector<TTmpReading>& list) {
    return TReadingList(TReadingList(), &list);  // shares no ownership
}

// `count` samples one minute apart from `first`, newest first; `make(i, time)`
// builds the i-th oldest.
inline std::vector<TTmpReading> MinuteSamples(
    size_t count, TDateTime first, const std::function<TTmpReading(size_t, TDateTime)>& make) {
    std::vector<TTmpReading> list;
    list.reserve(count);
    for (size_t k = count; k-- > 0;) {
        TTmpReading r = make(k, first + static_cast<double>(k) * kOneMinute);
        r.RecordId = static_cast<int32_t>(k + 1);
        list.push_back(r);
    }
    return list;
}
