// Figures for the history widgets with a year of one-minute samples
// (525,600 rows): showing and scrolling the report, decimating and zooming
// the chart, printing. Runs on the offscreen platform unless told otherwise.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QChart>
#include <QLineSeries>
#include <QPrinter>
#include <QScrollBar>
#include <QTemporaryDir>
#include <cmath>
#include <memory>

#include "common/QtBenchMain.h"
#include "common/YearOfSamples.h"
#include "dialogs/HistoryChart.h"
#include "dialogs/HistoryChartData.h"
#include "dialogs/HistoryPrint.h"
#include "dialogs/HistoryReport.h"

namespace {

// The report as the window shows it: about 25 rows visible.
std::unique_ptr<THistoryReportView> ShownReport() {
    auto view = std::make_unique<THistoryReportView>();
    view->resize(1000, 600);
    view->show();
    QApplication::processEvents();
    return view;
}

void BM_ReportSetYearAndPaintFirstScreen(benchmark::State& state) {
    const auto& year = YearOfSamples();
    auto view = ShownReport();
    for (auto _ : state) {
        state.PauseTiming();
        view->SetReadings(nullptr);
        QApplication::processEvents();
        state.ResumeTiming();
        view->SetReadings(&year);
        view->viewport()->repaint();
        QApplication::processEvents();
    }
    state.counters["rows"] = static_cast<double>(view->model()->rowCount());
}
BENCHMARK(BM_ReportSetYearAndPaintFirstScreen)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_ReportScrollToEndAndPaint(benchmark::State& state) {
    const auto& year = YearOfSamples();
    auto view = ShownReport();
    view->SetReadings(&year);
    QApplication::processEvents();
    bool atEnd = false;
    for (auto _ : state) {
        if (atEnd) {
            view->scrollToTop();
        } else {
            view->scrollToBottom();
        }
        atEnd = !atEnd;
        view->viewport()->repaint();
        QApplication::processEvents();
    }
}
BENCHMARK(BM_ReportScrollToEndAndPaint)->Unit(benchmark::kMillisecond);

void BM_ReportScrollOnePage(benchmark::State& state) {
    const auto& year = YearOfSamples();
    auto view = ShownReport();
    view->SetReadings(&year);
    QScrollBar* bar = view->verticalScrollBar();
    for (auto _ : state) {
        bar->triggerAction(bar->value() >= bar->maximum() / 2 ? QAbstractSlider::SliderToMinimum
                                                              : QAbstractSlider::SliderPageStepAdd);
        view->viewport()->repaint();
    }
}
BENCHMARK(BM_ReportScrollOnePage)->Unit(benchmark::kMicrosecond);

void BM_DecimateYearOneChannel(benchmark::State& state) {
    const THistoryChartSource source(&YearOfSamples());
    const int buckets = static_cast<int>(state.range(0));
    size_t points = 0;
    for (auto _ : state) {
        const auto out = DecimateChannel(source, kChannelAPhase, source.TimeAt(0),
                                         source.TimeAt(source.Size() - 1), buckets);
        points = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["points"] = static_cast<double>(points);
}
BENCHMARK(BM_DecimateYearOneChannel)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_ChartSourceOfUnorderedYear(benchmark::State& state) {
    // The clock set back once in the middle of the year: the source sorts.
    std::vector<TTmpReading> list = YearOfSamples();
    for (size_t i = 0; i < list.size() / 2; ++i) list[i].DateTime -= 200;
    for (auto _ : state) {
        const THistoryChartSource source(&list);
        benchmark::DoNotOptimize(source.NeededSorting());
    }
}
BENCHMARK(BM_ChartSourceOfUnorderedYear)->Unit(benchmark::kMillisecond)->Iterations(5);

std::unique_ptr<THistoryChart> ShownChart() {
    auto chart = std::make_unique<THistoryChart>(THistoryChannels::PhasesAndIron);
    chart->resize(1000, 600);
    chart->show();
    QApplication::processEvents();
    return chart;
}

void BM_ChartSetYearAndPaint(benchmark::State& state) {
    const auto& year = YearOfSamples();
    auto chart = ShownChart();
    for (int i = 0; i < chart->SeriesCount(); ++i) chart->Series(i)->setVisible(true);
    for (auto _ : state) {
        chart->SetReadings(&year);
        chart->repaint();
        QApplication::processEvents();
    }
    state.counters["points"] = static_cast<double>(chart->Series(0)->count());
}
BENCHMARK(BM_ChartSetYearAndPaint)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_ChartWheelZoomStepOnYear(benchmark::State& state) {
    const auto& year = YearOfSamples();
    auto chart = ShownChart();
    for (int i = 0; i < chart->SeriesCount(); ++i) chart->Series(i)->setVisible(true);
    chart->SetReadings(&year);
    const qint64 centre = (chart->FullBeginMs() + chart->FullEndMs()) / 2;
    for (auto _ : state) {
        if (chart->VisibleEndMs() - chart->VisibleBeginMs() <= 2 * kChartMinSpanMs) {
            chart->ResetZoom();
        } else {
            chart->ZoomAt(0.8, centre);
        }
        chart->repaint();
        QApplication::processEvents();
    }
}
BENCHMARK(BM_ChartWheelZoomStepOnYear)->Unit(benchmark::kMillisecond);

void BM_PrintRowsToPdf(benchmark::State& state) {
    const auto& year = YearOfSamples();
    const std::vector<TTmpReading> rows(year.begin(), year.begin() + state.range(0));
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    chart.SetReadings(&rows);
    THistoryPrintJob job;
    job.Source = QStringLiteral("站点 1");
    job.Begin = rows.back().DateTime;
    job.End = rows.front().DateTime;
    job.Readings = &rows;
    job.Chart = chart.Snapshot(1500);
    QTemporaryDir dir;
    int pages = 0;
    for (auto _ : state) {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setPageOrientation(QPageLayout::Landscape);
        printer.setOutputFileName(dir.filePath(QStringLiteral("bench.pdf")));
        pages = PrintHistory(printer, job);
    }
    state.counters["pages"] = pages;
    state.counters["pages/s"] =
        benchmark::Counter(static_cast<double>(pages) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PrintRowsToPdf)->Arg(200)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    return RunWidgetBenchmarks(argc, argv);
}
