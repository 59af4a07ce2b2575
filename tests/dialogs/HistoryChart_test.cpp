#include "dialogs/HistoryChart.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QChart>
#include <QCheckBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QPainter>
#include <QTest>
#include <QValueAxis>
#include <QWheelEvent>
#include <memory>
#include <thread>

#include "dialogs/HistoryChartView.h"
#include "dialogs/Samples.h"

namespace {

const TDateTime kStart = EncodeDateTime(2023, 5, 1, 8);

qint64 LocalMs(TDateTime t) {
    const TDateTimeParts p = DecodeDateTime(t);
    return QDateTime(QDate(p.Year, p.Month, p.Day),
                     QTime(p.Hour, p.Minute, p.Second, p.Millisecond))
        .toMSecsSinceEpoch();
}

// A chart laid out on screen, so its plot has a real width.
struct TShownChart {
    explicit TShownChart(THistoryChannels channels = THistoryChannels::PhasesAndIron)
        : Chart(channels) {
        Chart.resize(900, 500);
        Chart.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&Chart));
        EXPECT_TRUE(QTest::qWaitFor([&] { return Chart.Chart()->plotArea().width() > 100; }, 5000));
    }
    int PlotWidth() const { return static_cast<int>(Chart.Chart()->plotArea().width()); }
    QPoint PlotPoint(qreal fx, qreal fy = 0.5) const {
        const QRectF plot = Chart.Chart()->plotArea();
        const QPointF scene = Chart.Chart()->mapToScene(
            QPointF(plot.left() + fx * plot.width(), plot.top() + fy * plot.height()));
        return Chart.View()->mapFromScene(scene);
    }
    THistoryChart Chart;
};

void SendMouse(QWidget* target, QEvent::Type type, Qt::MouseButton button, Qt::MouseButtons buttons,
               QPoint pos) {
    QMouseEvent event(type, QPointF(pos), target->mapToGlobal(QPointF(pos)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

std::vector<TTmpReading> DaySamples() {
    return MinuteSamples(1440, kStart, [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(60 + i % 50), 70, 80, 90);
    });
}

}  // namespace

TEST(THistoryChart, MainWindowChartHasFourColouredSeriesAllHiddenAtFirst) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    ASSERT_EQ(chart.SeriesCount(), 4);
    const QStringList titles = {"A相温度", "B相温度", "C相温度", "铁芯温度"};
    const QStringList boxes = {"A相", "B相", "C相", "铁芯"};
    const QColor colours[] = {QColor("red"), QColor("green"), QColor("yellow"), QColor("blue")};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(chart.Series(i)->name(), titles[i]);
        EXPECT_EQ(chart.Series(i)->pen().color(), colours[i]);
        EXPECT_FALSE(chart.Series(i)->pointsVisible());
        EXPECT_FALSE(chart.Series(i)->isVisible());
        EXPECT_EQ(chart.VisibleCheckBox(i)->text(), boxes[i]);
        EXPECT_FALSE(chart.VisibleCheckBox(i)->isChecked());
        EXPECT_EQ(chart.VisibleCheckBox(i)->parentWidget(), chart.VisibleGroup());
    }
    EXPECT_EQ(chart.VisibleGroup()->title(), "是否可见");
    EXPECT_EQ(chart.VisibleCheckBox(4), nullptr);
}

TEST(THistoryChart, ViewerChartHasThreePhasesWithoutTheIronCore) {
    THistoryChart chart(THistoryChannels::PhasesOnly);
    ASSERT_EQ(chart.SeriesCount(), 3);
    EXPECT_EQ(chart.Series(2)->name(), "C相温度");
    EXPECT_EQ(chart.VisibleCheckBox(2)->text(), "C相");
    EXPECT_EQ(chart.Series(3), nullptr);
    EXPECT_EQ(chart.findChildren<QCheckBox*>().size(), 3);
}

TEST(THistoryChart, CheckBoxShowsAndHidesOnlyItsSeries) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    chart.VisibleCheckBox(1)->setChecked(true);
    EXPECT_TRUE(chart.Series(1)->isVisible());
    EXPECT_FALSE(chart.Series(0)->isVisible());
    EXPECT_FALSE(chart.Series(3)->isVisible());
    chart.VisibleCheckBox(1)->setChecked(false);
    EXPECT_FALSE(chart.Series(1)->isVisible());
}

TEST(THistoryChart, TemperatureAxisStaysFixedFrom0To200) {
    TShownChart shown;
    THistoryChart& chart = shown.Chart;
    const auto list = DaySamples();
    chart.SetReadings(&list);
    chart.ZoomAt(0.1, chart.VisibleBeginMs());
    chart.PanBy(3600 * 1000);
    QWheelEvent wheel(QPointF(shown.PlotPoint(0.5)), QPointF(), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(chart.View()->viewport(), &wheel);
    EXPECT_EQ(chart.TemperatureAxis()->min(), 0);
    EXPECT_EQ(chart.TemperatureAxis()->max(), 200);
    EXPECT_EQ(chart.Chart()->axes(Qt::Vertical).size(), 1);
}

TEST(THistoryChart, PlotsDegreesAtLocalTimesAscendingWithoutFaultsOrIronZero) {
    const auto list = MinuteSamples(4, kStart, [](size_t i, TDateTime t) {
        return Sample(t, i == 1 ? 241 : static_cast<uint16_t>(65 + i), 66, 67, i == 2 ? 0 : 100);
    });
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    chart.SetReadings(&list);
    const QList<QPointF> a = chart.Series(0)->points();
    ASSERT_EQ(a.size(), 3);
    EXPECT_EQ(a[0], QPointF(LocalMs(kStart), 25));
    EXPECT_EQ(a[1], QPointF(LocalMs(kStart + 2 * kOneMinute), 27));
    EXPECT_EQ(a[2], QPointF(LocalMs(kStart + 3 * kOneMinute), 28));
    EXPECT_EQ(chart.Series(1)->points().size(), 4);
    const QList<QPointF> iron = chart.Series(3)->points();
    ASSERT_EQ(iron.size(), 3);
    EXPECT_EQ(iron[2].x(), LocalMs(kStart + 3 * kOneMinute));
    EXPECT_EQ(iron[2].y(), 60);
    // The time axis spans the samples.
    EXPECT_EQ(chart.TimeAxis()->min().toMSecsSinceEpoch(), LocalMs(kStart));
    EXPECT_EQ(chart.TimeAxis()->max().toMSecsSinceEpoch(), LocalMs(kStart + 3 * kOneMinute));
}

TEST(THistoryChart, AYearOfSamplesIsDecimatedToThePlotsWidth) {
    TShownChart shown;
    const auto year = MinuteSamples(525600, EncodeDateTime(2022, 1, 1), [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(40 + i % 160), 65, 65, 0);
    });
    shown.Chart.SetReadings(&year);
    const int width = shown.PlotWidth();
    for (int s = 0; s < 3; ++s) {
        const QList<QPointF> points = shown.Chart.Series(s)->points();
        EXPECT_GT(points.size(), width / 2);
        EXPECT_LE(points.size(), 2 * width + 2);
        EXPECT_TRUE(
            std::is_sorted(points.begin(), points.end(),
                           [](const QPointF& p, const QPointF& q) { return p.x() < q.x(); }));
    }
    EXPECT_TRUE(shown.Chart.Series(3)->points().isEmpty());
}

TEST(THistoryChart, ZoomingIntoAnHourShowsEverySampleOfIt) {
    TShownChart shown;
    const auto year = MinuteSamples(525600, EncodeDateTime(2022, 1, 1), [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(40 + i % 160), 65, 65, 0);
    });
    THistoryChart& chart = shown.Chart;
    chart.SetReadings(&year);
    const qint64 from = LocalMs(EncodeDateTime(2022, 6, 1, 12));
    const qint64 to = from + 3600 * 1000;
    chart.SetVisibleRange(from, to);
    EXPECT_EQ(chart.TimeAxis()->min().toMSecsSinceEpoch(), from);
    EXPECT_EQ(chart.TimeAxis()->max().toMSecsSinceEpoch(), to);
    // 61 samples inside plus one on either side.
    EXPECT_EQ(chart.Series(0)->points().size(), 63);

    chart.ResetZoom();
    EXPECT_EQ(chart.VisibleBeginMs(), chart.FullBeginMs());
    EXPECT_EQ(chart.VisibleEndMs(), chart.FullEndMs());
    EXPECT_LE(chart.Series(0)->points().size(), 2 * shown.PlotWidth() + 2);
}

TEST(THistoryChart, RangesStayInsideTheDataAndNoNarrowerThanAMinute) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    const auto list = DaySamples();
    chart.SetReadings(&list);
    const qint64 begin = chart.FullBeginMs(), end = chart.FullEndMs();
    EXPECT_EQ(begin, LocalMs(kStart));
    EXPECT_EQ(end, LocalMs(kStart + 1439 * kOneMinute));

    chart.SetVisibleRange(begin - 3600000, begin + 3600000);
    EXPECT_EQ(chart.VisibleBeginMs(), begin);
    EXPECT_EQ(chart.VisibleEndMs(), begin + 7200000);

    chart.SetVisibleRange(end - 10, end + 10);
    EXPECT_EQ(chart.VisibleEndMs(), end);
    EXPECT_EQ(chart.VisibleEndMs() - chart.VisibleBeginMs(), kChartMinSpanMs);

    chart.ZoomAt(1e6, begin);
    EXPECT_EQ(chart.VisibleBeginMs(), begin);
    EXPECT_EQ(chart.VisibleEndMs(), end);

    // Panning keeps the span and stops at either end of the data.
    chart.SetVisibleRange(begin + 3600000, begin + 3 * 3600000);
    chart.PanBy(-1000000000);
    EXPECT_EQ(chart.VisibleBeginMs(), begin);
    EXPECT_EQ(chart.VisibleEndMs(), begin + 2 * 3600000);
    chart.PanBy(1000000000);
    EXPECT_EQ(chart.VisibleEndMs(), end);
    EXPECT_EQ(chart.VisibleBeginMs(), end - 2 * 3600000);

    chart.ZoomAt(std::nan(""), begin);
    chart.ZoomAt(0, begin);
    EXPECT_EQ(chart.VisibleBeginMs(), end - 2 * 3600000);
    EXPECT_EQ(chart.VisibleEndMs(), end);
}

TEST(THistoryChart, SingleSampleOrNoneStillGivesAUsableRange) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    EXPECT_GE(chart.FullEndMs() - chart.FullBeginMs(), kChartMinSpanMs);
    const std::vector<TTmpReading> one = {Sample(kStart, 65, 65, 65, 0)};
    chart.SetReadings(&one);
    EXPECT_EQ(chart.FullEndMs() - chart.FullBeginMs(), kChartMinSpanMs);
    EXPECT_LT(chart.FullBeginMs(), LocalMs(kStart));
    EXPECT_GT(chart.FullEndMs(), LocalMs(kStart));
    EXPECT_EQ(chart.Series(0)->points().size(), 1);
    chart.SetReadings(nullptr);
    EXPECT_TRUE(chart.Series(0)->points().isEmpty());
}

TEST(THistoryChart, WheelZoomsAroundTheCursorAndDoubleClickShowsEverything) {
    TShownChart shown;
    THistoryChart& chart = shown.Chart;
    const auto list = DaySamples();
    chart.SetReadings(&list);
    const qint64 fullSpan = chart.FullEndMs() - chart.FullBeginMs();
    const QPoint quarter = shown.PlotPoint(0.25);
    const double before =
        chart.Chart()
            ->mapToValue(chart.Chart()->mapFromScene(chart.View()->mapToScene(quarter)))
            .x();

    QWheelEvent wheel(QPointF(quarter), QPointF(chart.View()->viewport()->mapToGlobal(quarter)),
                      QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
    QApplication::sendEvent(chart.View()->viewport(), &wheel);
    const qint64 span = chart.VisibleEndMs() - chart.VisibleBeginMs();
    EXPECT_NEAR(static_cast<double>(span), 0.8 * fullSpan, fullSpan * 0.001);
    // The time under the cursor stays under it.
    const double after =
        chart.Chart()
            ->mapToValue(chart.Chart()->mapFromScene(chart.View()->mapToScene(quarter)))
            .x();
    EXPECT_NEAR(after, before, fullSpan * 0.005);

    QTest::mouseDClick(chart.View()->viewport(), Qt::LeftButton, {}, shown.PlotPoint(0.5));
    EXPECT_EQ(chart.VisibleBeginMs(), chart.FullBeginMs());
    EXPECT_EQ(chart.VisibleEndMs(), chart.FullEndMs());
}

TEST(THistoryChart, DraggingRightBringsEarlierTimesIntoView) {
    TShownChart shown;
    THistoryChart& chart = shown.Chart;
    const auto list = DaySamples();
    chart.SetReadings(&list);
    const qint64 mid = (chart.FullBeginMs() + chart.FullEndMs()) / 2;
    chart.SetVisibleRange(mid, mid + 4 * 3600000);
    QWidget* viewport = chart.View()->viewport();
    const QPoint from = shown.PlotPoint(0.2), to = shown.PlotPoint(0.7);
    SendMouse(viewport, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, from);
    SendMouse(viewport, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, to);
    SendMouse(viewport, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, to);
    // Half the plot's width is half the visible span: two hours.
    EXPECT_NEAR(static_cast<double>(chart.VisibleBeginMs()), mid - 2 * 3600000.0, 120000.0);
    EXPECT_EQ(chart.VisibleEndMs() - chart.VisibleBeginMs(), 4 * 3600000);
}

TEST(THistoryChart, RightDragSelectsTheSpanToZoomInto) {
    TShownChart shown;
    THistoryChart& chart = shown.Chart;
    const auto list = DaySamples();
    chart.SetReadings(&list);
    const qint64 begin = chart.FullBeginMs(), span = chart.FullEndMs() - begin;
    QWidget* viewport = chart.View()->viewport();
    const QPoint from = shown.PlotPoint(0.5), to = shown.PlotPoint(0.75);
    SendMouse(viewport, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, from);
    SendMouse(viewport, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, to);
    SendMouse(viewport, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, to);
    EXPECT_NEAR(static_cast<double>(chart.VisibleBeginMs()), begin + 0.5 * span, span * 0.01);
    EXPECT_NEAR(static_cast<double>(chart.VisibleEndMs()), begin + 0.75 * span, span * 0.01);

    // A click without a span changes nothing.
    const qint64 kept = chart.VisibleBeginMs();
    SendMouse(viewport, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, from);
    SendMouse(viewport, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, from);
    EXPECT_EQ(chart.VisibleBeginMs(), kept);
}

TEST(RenderHistoryChart, DrawsOnlyTheVisibleSeriesOfASnapshot) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    const auto list = DaySamples();
    chart.SetReadings(&list);
    auto countRed = [&](const THistoryChartState& state) {
        QImage page(800, 500, QImage::Format_RGB32);
        page.fill(Qt::white);
        QPainter painter(&page);
        RenderHistoryChart(painter, QRectF(0, 0, 800, 500), state);
        painter.end();
        int red = 0;
        for (int y = 0; y < page.height(); ++y) {
            for (int x = 0; x < page.width(); ++x) {
                const QColor c = page.pixelColor(x, y);
                if (c.red() > 200 && c.green() < 60 && c.blue() < 60) ++red;
            }
        }
        return red;
    };
    EXPECT_LT(countRed(chart.Snapshot(500)), 20);  // at most the legend's marker
    chart.VisibleCheckBox(0)->setChecked(true);
    const THistoryChartState state = chart.Snapshot(500);
    EXPECT_TRUE(state.Series[0].Visible);
    EXPECT_FALSE(state.Series[1].Visible);
    EXPECT_FALSE(state.Series[0].Points.isEmpty());
    EXPECT_GT(countRed(state), 200);
}

// A print's worker paints the chart: no object of the window's thread is
// used, and the picture is the one this thread paints.
TEST(RenderHistoryChart, PaintsTheSameOnAWorkerThread) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    const auto list = DaySamples();
    chart.SetReadings(&list);
    chart.VisibleCheckBox(0)->setChecked(true);
    chart.VisibleCheckBox(3)->setChecked(true);
    const THistoryChartState state = chart.Snapshot(500);
    auto paint = [&state] {
        QImage page(640, 400, QImage::Format_RGB32);
        page.fill(Qt::white);
        QPainter painter(&page);
        RenderHistoryChart(painter, QRectF(0, 0, 640, 400), state);
        painter.end();
        return page;
    };
    const QImage here = paint();
    QImage there;
    std::thread worker([&] { there = paint(); });
    worker.join();
    ASSERT_FALSE(there.isNull());
    EXPECT_EQ(here, there);
    EXPECT_NE(here, [] {
        QImage blank(640, 400, QImage::Format_RGB32);
        blank.fill(Qt::white);
        return blank;
    }());
}

TEST(THistoryChart, AHintFillsTheChartUntilALineIsTickedVisible) {
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    chart.resize(600, 400);
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    QLabel* hint = chart.EmptyHint();
    ASSERT_NE(hint, nullptr);
    EXPECT_TRUE(hint->isVisible());
    EXPECT_TRUE(hint->text().contains("是否可见"));
    chart.VisibleCheckBox(2)->click();
    EXPECT_FALSE(hint->isVisible());
    chart.VisibleCheckBox(3)->click();
    chart.VisibleCheckBox(2)->click();
    EXPECT_FALSE(hint->isVisible());
    chart.VisibleCheckBox(3)->click();
    EXPECT_TRUE(hint->isVisible());
}

// A long list is indexed on a worker: no lines until it is done, then the same lines as indexed
// right away. Another list shown meanwhile stops the worker first, so the first may go at once; a
// print waits for the lines.
TEST(THistoryChart, ALongListIsIndexedOnAWorkerAndDrawnTheSameOnceItIs) {
    auto days = std::make_unique<std::vector<TTmpReading>>(
        MinuteSamples(20000, kStart, [](size_t i, TDateTime t) {
            return Sample(t, static_cast<uint16_t>(60 + i % 97), 70, 80, 90);
        }));
    constexpr int kColumns = 300;
    THistoryChart direct(THistoryChannels::PhasesAndIron);
    direct.SetReadings(days.get());
    ASSERT_FALSE(direct.Indexing());
    const THistoryChartState expected = direct.Snapshot(kColumns);
    ASSERT_FALSE(expected.Series.at(0).Points.isEmpty());

    THistoryChart chart(THistoryChannels::PhasesAndIron);
    chart.SetIndexAwayRowsForTest(3000);
    chart.SetReadings(days.get());
    // The end comes back through this thread's event loop, not run yet.
    EXPECT_TRUE(chart.Indexing());
    EXPECT_TRUE(chart.Series(0)->points().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !chart.Indexing(); }, 30000));
    const THistoryChartState indexed = chart.Snapshot(kColumns);
    EXPECT_EQ(indexed.BeginMs, expected.BeginMs);
    EXPECT_EQ(indexed.EndMs, expected.EndMs);
    for (size_t i = 0; i < expected.Series.size(); ++i) {
        EXPECT_EQ(indexed.Series.at(i).Points, expected.Series[i].Points) << i;
    }
    EXPECT_TRUE(chart.Source().Reads(days.get()));

    chart.SetReadings(days.get());
    ASSERT_TRUE(chart.Indexing());
    const auto day = DaySamples();
    chart.SetReadings(&day);
    EXPECT_FALSE(chart.Indexing());
    days.reset();
    EXPECT_TRUE(chart.Source().Reads(&day));
    QApplication::processEvents();
    EXPECT_TRUE(chart.Source().Reads(&day));

    const auto again = MinuteSamples(5000, kStart, [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(60 + i % 31), 70, 80, 90);
    });
    chart.SetReadings(&again);
    ASSERT_TRUE(chart.Indexing());
    chart.WaitForIndex();
    EXPECT_FALSE(chart.Indexing());
    EXPECT_TRUE(chart.Source().Reads(&again));
    EXPECT_FALSE(chart.Snapshot(100).Series.at(0).Points.isEmpty());
}
