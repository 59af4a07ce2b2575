#include "dialogs/HistoryChartData.h"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "store/RawValues.h"

std::optional<int> ChartValue(const TTmpReading& r, THistoryChannel channel) {
    uint16_t raw = 0;
    switch (channel) {
        case kChannelAPhase:
            raw = r.APhaseTmp;
            break;
        case kChannelBPhase:
            raw = r.BPhaseTmp;
            break;
        case kChannelCPhase:
            raw = r.CPhaseTmp;
            break;
        case kChannelIron:
            if (r.IronTmp == 0) return std::nullopt;
            raw = r.IronTmp;
            break;
        default:
            return std::nullopt;
    }
    if (IsSensorFault(raw)) return std::nullopt;
    return TemperatureCelsius(raw);
}

namespace {

// Thrown out of a sort that was told to stop; never leaves this file.
struct TIndexCancelled {};

bool Stopped(const std::atomic<bool>* cancelled) {
    return cancelled != nullptr && cancelled->load(std::memory_order_relaxed);
}

}  // namespace

THistoryChartSource::THistoryChartSource(const std::vector<TTmpReading>* readings) {
    if (readings != nullptr && !readings->empty()) Build(*readings, nullptr);
}

THistoryChartSource::THistoryChartSource(const std::vector<TTmpReading>* readings,
                                         const std::atomic<bool>& cancelled) {
    if (readings != nullptr && !readings->empty()) Build(*readings, &cancelled);
}

void THistoryChartSource::Build(const std::vector<TTmpReading>& list,
                                const std::atomic<bool>* cancelled) {
    FData = list.data();
    FSize = list.size();
    FComplete = false;
    // Newest first: each time is at most the one before it.
    constexpr size_t kLookEvery = 4096;
    bool ordered = true;
    for (size_t i = 1; i < list.size() && ordered; ++i) {
        ordered = !(list[i].DateTime > list[i - 1].DateTime);
        if (i % kLookEvery == 0 && Stopped(cancelled)) return;
    }
    if (!ordered) {
        // Oldest first in append order, then a stable sort by time keeps
        // samples with equal times in the order they were taken.
        FOrder.resize(list.size());
        std::iota(FOrder.rbegin(), FOrder.rend(), size_t{0});
        size_t compared = 0;
        try {
            std::stable_sort(FOrder.begin(), FOrder.end(), [&](size_t a, size_t b) {
                if (++compared % kLookEvery == 0 && Stopped(cancelled)) throw TIndexCancelled{};
                return list[a].DateTime < list[b].DateTime;
            });
        } catch (const TIndexCancelled&) {
            return;
        }
    }
    FComplete = Summarize(cancelled);
}

bool THistoryChartSource::Summarize(const std::atomic<bool>* cancelled) {
    // A list of a few blocks is decimated sample by sample just as fast.
    if (FSize < 4 * kSummaryBlock) return true;
    const size_t blocks = (FSize + kSummaryBlock - 1) / kSummaryBlock;
    for (auto& summaries : FSummaries) summaries.resize(blocks);
    FBlockTimes.resize(blocks);
    for (size_t b = 0; b < blocks; ++b) {
        if (b % 1024 == 0 && Stopped(cancelled)) return false;
        const size_t first = b * kSummaryBlock;
        const size_t end = std::min(FSize, first + kSummaryBlock);
        FBlockTimes[b] = {TimeAt(first), TimeAt(end - 1)};
        for (size_t c = 0; c < kHistoryChannelCount; ++c) {
            TBlockSummary& s = FSummaries[c][b];
            for (size_t i = first; i < end; ++i) {
                const auto v = ChartValue(At(i), static_cast<THistoryChannel>(c));
                if (!v) continue;
                const auto value = static_cast<int16_t>(*v);
                const auto offset = static_cast<uint8_t>(i - first);
                // Strictly lower or higher only: the first of equal values stays,
                // as it does when the samples are taken one by one.
                if (!s.Used || value < s.Min) {
                    s.Min = value;
                    s.MinOffset = offset;
                }
                if (!s.Used || value > s.Max) {
                    s.Max = value;
                    s.MaxOffset = offset;
                }
                s.Used = true;
            }
        }
    }
    return true;
}

size_t THistoryChartSource::LowerBound(TDateTime time) const {
    size_t lo = 0, hi = Size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (TimeAt(mid) < time) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

size_t THistoryChartSource::UpperBound(TDateTime time) const {
    size_t lo = 0, hi = Size();
    while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (!(time < TimeAt(mid))) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return lo;
}

namespace {

// The lowest and highest value met in one time slice, with their positions.
struct TBucket {
    bool Used = false;
    size_t MinPos = 0, MaxPos = 0;
    int Min = 0, Max = 0;

    void Add(size_t pos, int value) { Merge(pos, value, pos, value); }
    // A block's lowest and highest, found after everything added so far.
    // Only a strictly lower or higher value replaces: the first one stays.
    void Merge(size_t minPos, int min, size_t maxPos, int max) {
        if (!Used) {
            Used = true;
            MinPos = minPos;
            Min = min;
            MaxPos = maxPos;
            Max = max;
            return;
        }
        if (min < Min) {
            Min = min;
            MinPos = minPos;
        }
        if (max > Max) {
            Max = max;
            MaxPos = maxPos;
        }
    }
};

void Emit(const THistoryChartSource& source, const TBucket& b, std::vector<TChartPoint>& out) {
    if (!b.Used) return;
    const size_t first = std::min(b.MinPos, b.MaxPos);
    const size_t second = std::max(b.MinPos, b.MaxPos);
    out.push_back({source.TimeAt(first), first == b.MinPos ? b.Min : b.Max});
    if (second != first) out.push_back({source.TimeAt(second), second == b.MinPos ? b.Min : b.Max});
}

}  // namespace

std::vector<TChartPoint> DecimateChannel(const THistoryChartSource& source, THistoryChannel channel,
                                         TDateTime begin, TDateTime end, int buckets) {
    std::vector<TChartPoint> out;
    if (source.Empty() || !(begin <= end)) return out;
    buckets = std::max(buckets, 1);
    const size_t lo = source.LowerBound(begin);
    const size_t hi = source.UpperBound(end);

    // The nearest plotted samples outside the range, so lines reach the edges.
    std::optional<TChartPoint> before, after;
    for (size_t i = lo; i-- > 0;) {
        if (auto v = ChartValue(source.At(i), channel)) {
            before = TChartPoint{source.TimeAt(i), *v};
            break;
        }
    }
    for (size_t i = hi; i < source.Size(); ++i) {
        if (auto v = ChartValue(source.At(i), channel)) {
            after = TChartPoint{source.TimeAt(i), *v};
            break;
        }
    }

    if (before) out.push_back(*before);
    const size_t inside = hi > lo ? hi - lo : 0;
    if (inside <= 2 * static_cast<size_t>(buckets)) {
        for (size_t i = lo; i < hi; ++i) {
            if (auto v = ChartValue(source.At(i), channel)) out.push_back({source.TimeAt(i), *v});
        }
    } else {
        const double span = end - begin;
        const double scale = span > 0 ? buckets / span : 0.0;
        const auto column = [&](TDateTime time) {
            const int index = static_cast<int>(std::floor((time - begin) * scale));
            return std::clamp(index, 0, buckets - 1);
        };
        const auto& summaries = source.Summaries(channel);
        const auto& blockTimes = source.BlockTimes();
        constexpr size_t kBlock = THistoryChartSource::kSummaryBlock;
        int current = -1;
        TBucket bucket;
        size_t i = lo;
        while (i < hi) {
            // A whole block inside the range whose first and last sample fall
            // in one column (times ascend, so all of it does) counts as its
            // summary: the same lowest and highest, at the same positions.
            const size_t block = i / kBlock;
            if (!summaries.empty() && i % kBlock == 0 && i + kBlock <= hi &&
                column(blockTimes[block].First) == column(blockTimes[block].Last)) {
                const THistoryChartSource::TBlockSummary& s = summaries[block];
                if (s.Used) {
                    const int index = column(blockTimes[block].First);
                    if (index != current) {
                        Emit(source, bucket, out);
                        bucket = TBucket{};
                        current = index;
                    }
                    bucket.Merge(i + s.MinOffset, s.Min, i + s.MaxOffset, s.Max);
                }
                i += kBlock;
                continue;
            }
            if (const auto v = ChartValue(source.At(i), channel)) {
                const int index = column(source.TimeAt(i));
                if (index != current) {
                    Emit(source, bucket, out);
                    bucket = TBucket{};
                    current = index;
                }
                bucket.Add(i, *v);
            }
            ++i;
        }
        Emit(source, bucket, out);
    }
    if (after) out.push_back(*after);
    return out;
}
