#pragma once
// What the history chart plots, without any widget: the samples of a
// borrowed list in ascending time, each channel's plotted value, and the
// min/max decimation that keeps a year of samples cheap to draw.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
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

// Ascending-time access to a list kept newest first. The source reads the
// list's elements where they are (a list moved or swapped into another
// vector keeps them there); the owner keeps them alive and unchanged, and
// builds a new source whenever it changes the list. A list whose times are
// not in order (the clock was set back while recording) is read through a
// sorted index; an ordered list needs no extra memory beyond the summaries.
//
// Building a source reads the whole list once (a year of 5 s samples: some
// tens of milliseconds), so a long list's source is built off the window's
// thread and handed over; it only reads afterwards, from any thread.
class THistoryChartSource {
  public:
    explicit THistoryChartSource(const std::vector<TTmpReading>* readings = nullptr);
    // The same, on a worker that may be told to stop: once `cancelled` is
    // set the source may be left incomplete, and Complete() is false.
    THistoryChartSource(const std::vector<TTmpReading>* readings,
                        const std::atomic<bool>& cancelled);
    bool Complete() const { return FComplete; }

    size_t Size() const { return FSize; }
    bool Empty() const { return FSize == 0; }
    // The first element of the list it reads (nullptr for none).
    const TTmpReading* Data() const { return FData; }
    // Reads `readings` exactly as it was built for: the same elements.
    bool Reads(const std::vector<TTmpReading>* readings) const {
        return readings != nullptr ? FData == readings->data() && FSize == readings->size()
                                   : FSize == 0;
    }
    // The i-th oldest sample; i < Size().
    const TTmpReading& At(size_t i) const {
        return FData[FOrder.empty() ? FSize - 1 - i : FOrder[i]];
    }
    TDateTime TimeAt(size_t i) const { return At(i).DateTime; }
    // Position of the first sample at or after `time` (Size() if none).
    size_t LowerBound(TDateTime time) const;
    // Position of the first sample after `time` (Size() if none).
    size_t UpperBound(TDateTime time) const;
    bool NeededSorting() const { return !FOrder.empty(); }

    // Each channel's lowest and highest plotted value in every block of
    // kSummaryBlock positions (oldest first), so that a column of the chart
    // spanning many blocks is decimated block by block, not sample by sample.
    static constexpr size_t kSummaryBlock = 32;
    struct TBlockSummary {
        int16_t Min = 0, Max = 0;
        uint8_t MinOffset = 0, MaxOffset = 0;  // first position of each in the block
        bool Used = false;                     // any plotted value at all
    };
    // Empty for a list too short to need them.
    const std::vector<TBlockSummary>& Summaries(THistoryChannel channel) const {
        return FSummaries[static_cast<size_t>(channel)];
    }
    // Each block's first and last time, kept apart from the list so that a
    // walk over blocks does not reach into the list for them.
    struct TBlockTimes {
        TDateTime First = 0, Last = 0;
    };
    const std::vector<TBlockTimes>& BlockTimes() const { return FBlockTimes; }

  private:
    void Build(const std::vector<TTmpReading>& list, const std::atomic<bool>* cancelled);
    bool Summarize(const std::atomic<bool>* cancelled);

    const TTmpReading* FData = nullptr;  // borrowed
    size_t FSize = 0;
    std::vector<size_t> FOrder;  // list positions, oldest first; empty if ordered
    std::array<std::vector<TBlockSummary>, kHistoryChannelCount> FSummaries;
    std::vector<TBlockTimes> FBlockTimes;
    bool FComplete = true;
};

// The points to draw for one channel between `begin` and `end`: the range is
// cut into `buckets` equal time slices (one per pixel column) and each slice
// contributes its lowest and highest value, in time order, so no peak is lost.
// When there are no more samples than 2 * buckets, all are kept. The nearest
// plotted sample on either side of the range is added so the line runs to the
// plot's edges. At most 2 * buckets + 2 points, times ascending.
std::vector<TChartPoint> DecimateChannel(const THistoryChartSource& source, THistoryChannel channel,
                                         TDateTime begin, TDateTime end, int buckets);
