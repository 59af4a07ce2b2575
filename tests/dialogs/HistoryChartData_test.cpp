#include "dialogs/HistoryChartData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>

#include "dialogs/Samples.h"

namespace {

const TDateTime kStart = EncodeDateTime(2023, 1, 1);

bool TimesAscend(const std::vector<TChartPoint>& points) {
    return std::is_sorted(
        points.begin(), points.end(),
        [](const TChartPoint& a, const TChartPoint& b) { return a.Time < b.Time; });
}

}  // namespace

TEST(ChartValue, PlotsDegreesAndLeavesOutFaultsAndMissingIronCore) {
    const TTmpReading r = Sample(kStart, 65, 240, 241, 0);
    EXPECT_EQ(ChartValue(r, kChannelAPhase), 25);
    EXPECT_EQ(ChartValue(r, kChannelBPhase), 200);
    EXPECT_EQ(ChartValue(r, kChannelCPhase), std::nullopt);
    EXPECT_EQ(ChartValue(r, kChannelIron), std::nullopt);
    EXPECT_EQ(ChartValue(Sample(kStart, 0, 0, 0, 65535), kChannelAPhase), -40);
    EXPECT_EQ(ChartValue(Sample(kStart, 0, 0, 0, 65535), kChannelIron), std::nullopt);
    EXPECT_EQ(ChartValue(Sample(kStart, 0, 0, 0, 1), kChannelIron), -39);
}

TEST(THistoryChartSource, ReadsANewestFirstListOldestFirstWithoutSorting) {
    const auto list = MinuteSamples(5, kStart, [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(50 + i), 0, 0, 0);
    });
    const THistoryChartSource source(&list);
    ASSERT_EQ(source.Size(), 5u);
    EXPECT_FALSE(source.NeededSorting());
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(source.At(i).APhaseTmp, 50 + i);
    EXPECT_EQ(source.LowerBound(kStart + 2 * kOneMinute), 2u);
    EXPECT_EQ(source.UpperBound(kStart + 2 * kOneMinute), 3u);
    EXPECT_EQ(source.LowerBound(kStart - 1), 0u);
    EXPECT_EQ(source.UpperBound(kStart + 1), 5u);
}

TEST(THistoryChartSource, SortsAListWhoseClockWasSetBack) {
    // Appended in this order (oldest first): 10:00, 10:05, 09:58, 10:05, 10:01.
    const TDateTime t[] = {EncodeDateTime(2023, 1, 1, 10, 0), EncodeDateTime(2023, 1, 1, 10, 5),
                           EncodeDateTime(2023, 1, 1, 9, 58), EncodeDateTime(2023, 1, 1, 10, 5),
                           EncodeDateTime(2023, 1, 1, 10, 1)};
    std::vector<TTmpReading> list;
    for (int i = 4; i >= 0; --i)
        list.push_back(Sample(t[i], static_cast<uint16_t>(100 + i), 0, 0, 0));
    const THistoryChartSource source(&list);
    EXPECT_TRUE(source.NeededSorting());
    const uint16_t expected[] = {102, 100, 104, 101, 103};  // equal times keep append order
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(source.At(i).APhaseTmp, expected[i]) << i;
}

TEST(THistoryChartSource, NullOrEmptyListHasNoSamples) {
    const THistoryChartSource none(nullptr);
    EXPECT_TRUE(none.Empty());
    const std::vector<TTmpReading> empty;
    EXPECT_TRUE(THistoryChartSource(&empty).Empty());
    EXPECT_TRUE(DecimateChannel(none, kChannelAPhase, kStart, kStart + 1, 100).empty());
}

TEST(DecimateChannel, KeepsEverySampleWhenThereAreFewPerColumn) {
    const auto list = MinuteSamples(10, kStart, [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(40 + i), 0, 0, 0);
    });
    const THistoryChartSource source(&list);
    const auto points = DecimateChannel(source, kChannelAPhase, kStart, kStart + 1, 5);
    ASSERT_EQ(points.size(), 10u);
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(points[i].Value, static_cast<int>(i));
        EXPECT_DOUBLE_EQ(points[i].Time, list[9 - i].DateTime);
    }
}

TEST(DecimateChannel, KeepsTheLowestAndHighestOfEachColumnInTimeOrder) {
    // 10 columns of 100 samples; in column k the peak sits at offset 10 + k and
    // the trough at offset 90 - k, so odd and even columns differ in order.
    constexpr size_t kColumns = 10, kPerColumn = 100;
    const auto list = MinuteSamples(kColumns * kPerColumn, kStart, [](size_t i, TDateTime t) {
        const size_t column = i / kPerColumn, offset = i % kPerColumn;
        uint16_t raw = 100;
        if (offset == 10 + column) raw = static_cast<uint16_t>(200 + column);
        if (offset == 90 - column) raw = static_cast<uint16_t>(41 + column);
        if (column % 2 == 1 && offset == 10 + column) raw = 41;   // trough first
        if (column % 2 == 1 && offset == 90 - column) raw = 230;  // peak last
        return Sample(t, raw, 0, 0, 0);
    });
    const THistoryChartSource source(&list);
    const TDateTime end = kStart + kColumns * kPerColumn * kOneMinute;
    const auto points = DecimateChannel(source, kChannelAPhase, kStart, end, kColumns);
    ASSERT_EQ(points.size(), 2 * kColumns);
    ASSERT_TRUE(TimesAscend(points));
    for (size_t k = 0; k < kColumns; ++k) {
        const TChartPoint& first = points[2 * k];
        const TChartPoint& second = points[2 * k + 1];
        EXPECT_DOUBLE_EQ(first.Time,
                         kStart + static_cast<double>(k * kPerColumn + 10 + k) * kOneMinute);
        EXPECT_DOUBLE_EQ(second.Time,
                         kStart + static_cast<double>(k * kPerColumn + 90 - k) * kOneMinute);
        if (k % 2 == 0) {
            EXPECT_EQ(first.Value, 160 + static_cast<int>(k));
            EXPECT_EQ(second.Value, 1 + static_cast<int>(k));
        } else {
            EXPECT_EQ(first.Value, 1);
            EXPECT_EQ(second.Value, 190);
        }
    }
}

TEST(DecimateChannel, AYearOfSamplesFitsTwoPointsPerColumnAndKeepsExtremes) {
    constexpr size_t kYear = 525600;
    const auto list = MinuteSamples(kYear, kStart, [](size_t i, TDateTime t) {
        uint16_t raw = static_cast<uint16_t>(60 + (i * 7919) % 100);
        if (i == 123456) raw = 240;  // the year's peak, 200 degrees
        if (i == 400000) raw = 0;    // and its trough, -40
        return Sample(t, raw, 0, 0, 0);
    });
    const THistoryChartSource source(&list);
    constexpr int kBuckets = 1000;
    const auto points = DecimateChannel(source, kChannelAPhase, source.TimeAt(0),
                                        source.TimeAt(kYear - 1), kBuckets);
    EXPECT_LE(points.size(), 2u * kBuckets + 2);
    EXPECT_GE(points.size(), 2u * kBuckets - 2);
    EXPECT_TRUE(TimesAscend(points));
    auto at = [&](size_t i) {
        return std::find_if(points.begin(), points.end(),
                            [&](const TChartPoint& p) { return p.Time == source.TimeAt(i); });
    };
    ASSERT_NE(at(123456), points.end());
    EXPECT_EQ(at(123456)->Value, 200);
    ASSERT_NE(at(400000), points.end());
    EXPECT_EQ(at(400000)->Value, -40);
}

TEST(DecimateChannel, LeavesOutFaultyReadingsAndTheIronCoresZero) {
    const auto list = MinuteSamples(6, kStart, [](size_t i, TDateTime t) {
        return Sample(t, i % 2 ? 300 : 65, 65, 65, i % 3 ? 0 : 90);
    });
    const THistoryChartSource source(&list);
    const auto phase = DecimateChannel(source, kChannelAPhase, kStart, kStart + 1, 100);
    ASSERT_EQ(phase.size(), 3u);
    for (const TChartPoint& p : phase) EXPECT_EQ(p.Value, 25);
    const auto iron = DecimateChannel(source, kChannelIron, kStart, kStart + 1, 100);
    ASSERT_EQ(iron.size(), 2u);
    EXPECT_DOUBLE_EQ(iron[1].Time, kStart + 3 * kOneMinute);
}

TEST(DecimateChannel, AddsTheNearestPlottedSampleOnEachSideOfTheRange) {
    const auto list = MinuteSamples(10, kStart, [](size_t i, TDateTime t) {
        return Sample(t, (i == 2 || i == 8) ? 300 : static_cast<uint16_t>(40 + i), 0, 0, 0);
    });
    const THistoryChartSource source(&list);
    // Minutes 3..7 inside; 2 and 8 are faulty, so 1 and 9 reach the edges.
    const auto points = DecimateChannel(source, kChannelAPhase, kStart + 3 * kOneMinute,
                                        kStart + 7 * kOneMinute, 50);
    ASSERT_EQ(points.size(), 7u);
    EXPECT_EQ(points.front().Value, 1);
    EXPECT_EQ(points[1].Value, 3);
    EXPECT_EQ(points[5].Value, 7);
    EXPECT_EQ(points.back().Value, 9);
}

TEST(DecimateChannel, InvertedRangeGivesNothing) {
    const auto list =
        MinuteSamples(3, kStart, [](size_t, TDateTime t) { return Sample(t, 65, 0, 0, 0); });
    const THistoryChartSource source(&list);
    EXPECT_TRUE(DecimateChannel(source, kChannelAPhase, kStart + 1, kStart, 10).empty());
}

namespace {

// Sample by sample, the way a column's lowest and highest are defined: the
// first of equal values counts, and the two are given in time order.
std::vector<TChartPoint> DecimateOneByOne(const THistoryChartSource& source,
                                          THistoryChannel channel, TDateTime begin, TDateTime end,
                                          int buckets) {
    std::vector<TChartPoint> out;
    const double scale = buckets / (end - begin);
    int current = -1;
    std::optional<size_t> minAt, maxAt;
    auto emit = [&] {
        if (!minAt) return;
        const size_t a = std::min(*minAt, *maxAt), b = std::max(*minAt, *maxAt);
        out.push_back({source.TimeAt(a), *ChartValue(source.At(a), channel)});
        if (b != a) out.push_back({source.TimeAt(b), *ChartValue(source.At(b), channel)});
        minAt.reset();
        maxAt.reset();
    };
    for (size_t i = source.LowerBound(begin); i < source.UpperBound(end); ++i) {
        const auto v = ChartValue(source.At(i), channel);
        if (!v) continue;
        const int index = std::clamp(
            static_cast<int>(std::floor((source.TimeAt(i) - begin) * scale)), 0, buckets - 1);
        if (index != current) emit();
        current = index;
        if (!minAt || *v < *ChartValue(source.At(*minAt), channel)) minAt = i;
        if (!maxAt || *v > *ChartValue(source.At(*maxAt), channel)) maxAt = i;
    }
    emit();
    return out;
}

}  // namespace

// A long list is decimated block by block through its summaries: every
// column must come out exactly as taken sample by sample, whatever the
// range's edges, faulty sensors, repeated values or a clock set back.
TEST(DecimateChannel, BlockSummariesGiveTheSamePointsAsSampleBySample) {
    constexpr size_t kCount = 20000;
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7FFF;
    };
    for (const bool clockSetBack : {false, true}) {
        auto list = MinuteSamples(kCount, kStart, [&](size_t i, TDateTime t) {
            // Few distinct values, so ties are common; some faults and no iron core.
            auto raw = [&] {
                return static_cast<uint16_t>(next() % 8 == 0 ? 250 : 60 + next() % 6);
            };
            if (clockSetBack && i % 5000 == 4999) t -= 3000 * kOneMinute;
            return Sample(t, raw(), raw(), raw(), i % 3000 < 1000 ? 0 : raw());
        });
        const THistoryChartSource source(&list);
        ASSERT_FALSE(source.Summaries(kChannelAPhase).empty());
        EXPECT_EQ(source.NeededSorting(), clockSetBack);
        const TDateTime last = source.TimeAt(kCount - 1);
        const struct {
            TDateTime Begin, End;
            int Buckets;
        } views[] = {{source.TimeAt(0), last, 300},  // many blocks per column
                     {source.TimeAt(0), last, 7},
                     {kStart + 333.5 * kOneMinute, kStart + 9876.25 * kOneMinute, 41},
                     {kStart + 100 * kOneMinute, kStart + 1700 * kOneMinute, 700}};
        for (const auto& view : views) {
            for (int c = 0; c < kHistoryChannelCount; ++c) {
                const auto channel = static_cast<THistoryChannel>(c);
                const auto points =
                    DecimateChannel(source, channel, view.Begin, view.End, view.Buckets);
                auto expected =
                    DecimateOneByOne(source, channel, view.Begin, view.End, view.Buckets);
                // DecimateChannel adds the nearest plotted sample on either side.
                ASSERT_GE(points.size(), expected.size());
                size_t before = 0;
                for (size_t i = source.LowerBound(view.Begin); i-- > 0 && before == 0;) {
                    if (ChartValue(source.At(i), channel)) before = 1;
                }
                const std::vector<TChartPoint> inside(
                    points.begin() + static_cast<std::ptrdiff_t>(before),
                    points.begin() + static_cast<std::ptrdiff_t>(before + expected.size()));
                EXPECT_EQ(inside, expected) << "channel " << c << ", " << view.Buckets
                                            << " columns, clock set back " << clockSetBack;
            }
        }
    }
}

// A source reads the list's elements where they are: swapped into the
// owner's vector, they are still the ones it was built for.
TEST(THistoryChartSource, ReadsTheSameElementsAfterTheListIsSwapped) {
    auto rows =
        MinuteSamples(300, kStart, [](size_t, TDateTime t) { return Sample(t, 70, 0, 0, 0); });
    const THistoryChartSource source(&rows);
    std::vector<TTmpReading> kept;
    kept.swap(rows);
    EXPECT_TRUE(source.Reads(&kept));
    EXPECT_FALSE(source.Reads(&rows));
    const std::vector<TTmpReading> copy = kept;
    EXPECT_FALSE(source.Reads(&copy));
    EXPECT_TRUE(THistoryChartSource(nullptr).Reads(nullptr));
}
