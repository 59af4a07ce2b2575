#pragma once
// What the history chart plots, without any widget: the samples of a
// borrowed list in ascending time, each channel's plotted value, and the
// min/max decimation that keeps a year of samples cheap to draw.

#include <cstddef>
#include <optional>
#include <vector>

#include "store/Items.h"

enum THistoryChannel : int {
    kChannelAPhase = 0,
    kChannelBPhase,
    kChannelCPhase,
    kChannelIron,
    kHistoryChannelCount
};

// Degrees Celsius to plot, or none for a faulty sensor (raw > 240) and for
// the iron core's 0 (no iron-core sensor).
std::optional<int> ChartValue(const TTmpReading& reading, THistoryChannel channel);

struct TChartPoint {
    TDateTime Time = 0;
    int Value = 0;
    bool operator==(const TChartPoint&) const = default;
};

// Ascending-time access to a list kept newest first. The owner keeps the list
// alive and builds a new source whenever it changes the list. A list whose
// times are not in order (the clock was set back while recording) is read
// through a sorted index; an ordered list needs no extra memory.
class THistoryChartSource {
  public:
    explicit THistoryChartSource(const std::vector<TTmpReading>* readings = nullptr);

    size_t Size() const { return FReadings == nullptr ? 0 : FReadings->size(); }
    bool Empty() const { return Size() == 0; }
    // The i-th oldest sample; i < Size().
    const TTmpReading& At(size_t i) const {
        const size_t n = FReadings->size();
        return (*FReadings)[FOrder.empty() ? n - 1 - i : FOrder[i]];
    }
    TDateTime TimeAt(size_t i) const { return At(i).DateTime; }
    // Position of the first sample at or after `time` (Size() if none).
    size_t LowerBound(TDateTime time) const;
    // Position of the first sample after `time` (Size() if none).
    size_t UpperBound(TDateTime time) const;
    bool NeededSorting() const { return !FOrder.empty(); }

  private:
    const std::vector<TTmpReading>* FReadings;  // borrowed
    std::vector<size_t> FOrder;                 // list positions, oldest first; empty if ordered
};

// The points to draw for one channel between `begin` and `end`: the range is
// cut into `buckets` equal time slices (one per pixel column) and each slice
// contributes its lowest and highest value, in time order, so no peak is lost.
// When there are no more samples than 2 * buckets, all are kept. The nearest
// plotted sample on either side of the range is added so the line runs to the
// plot's edges. At most 2 * buckets + 2 points, times ascending.
std::vector<TChartPoint> DecimateChannel(const THistoryChartSource& source, THistoryChannel channel,
                                         TDateTime begin, TDateTime end, int buckets);
