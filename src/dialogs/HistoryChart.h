#pragma once
// The history chart: the queried samples as temperature lines over local
// wall-clock time. The left axis is fixed at 0..200 degrees; the time axis
// zooms and pans. Each series is decimated for display (min/max per pixel
// column of the visible range) and recomputed on every zoom, so a year of
// samples stays responsive while the report keeps every row.

#include <QColor>
#include <QList>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "dialogs/HistoryChartData.h"

class QChart;
class QCheckBox;
class QDateTimeAxis;
class QGroupBox;
class QLabel;
class QLineSeries;
class QPainter;
class QValueAxis;
class THistoryChartView;

// The main window plots all four channels; the backup viewer leaves out the
// iron core.
enum class THistoryChannels { PhasesAndIron, PhasesOnly };

constexpr double kChartMinCelsius = 0;
constexpr double kChartMaxCelsius = 200;
// The narrowest span the time axis zooms into.
constexpr qint64 kChartMinSpanMs = 60 * 1000;

// What the chart shows at one moment, detached from the widget (for printing).
struct THistorySeriesState {
    QString Title;
    QColor Colour;
    bool Visible = false;
    QList<QPointF> Points;  // x: ms since the Unix epoch, y: degrees
};
struct THistoryChartState {
    std::vector<THistorySeriesState> Series;
    qint64 BeginMs = 0;
    qint64 EndMs = 0;
};

// Draws `state` as a chart into `target` of any paint device (a printer page).
void RenderHistoryChart(QPainter& painter, const QRectF& target, const THistoryChartState& state);

class THistoryChart : public QWidget {
    Q_OBJECT
  public:
    explicit THistoryChart(THistoryChannels channels, QWidget* parent = nullptr);

    // Stops building a source, waiting for the worker.
    ~THistoryChart() override;

    // The list is borrowed (newest first); call again whenever it changes
    // and before releasing it. nullptr clears the chart. The whole range
    // becomes visible. A list of kIndexAwayRows samples or more is indexed
    // on a worker, the chart showing no lines until it is done (the window's
    // thread never walks it); a shorter one is indexed right here. Calling
    // again stops a worker still indexing, so the list it read may go once
    // this returns.
    void SetReadings(const std::vector<TTmpReading>* readings);
    static constexpr size_t kIndexAwayRows = size_t{1} << 20;
    bool Indexing() const { return FIndexJob != nullptr; }
    // Returns once the source being built, if any, is in use (a print needs
    // the lines).
    void WaitForIndex();
    void SetIndexAwayRowsForTest(size_t rows) { FIndexAwayRows = rows; }
    // Run on the worker before it indexes (tests hold it there).
    void SetIndexStartForTest(std::function<void()> hook) { FIndexStartForTest = std::move(hook); }

    // What the chart reads the shown list through.
    const THistoryChartSource& Source() const { return *FSource; }

    int SeriesCount() const { return static_cast<int>(FSeries.size()); }
    QLineSeries* Series(int index) const;
    QCheckBox* VisibleCheckBox(int index) const;
    QGroupBox* VisibleGroup() const { return FGroup; }
    // "勾选..." in the middle of the chart while no line is ticked visible.
    QLabel* EmptyHint() const { return FHint; }
    QChart* Chart() const { return FChart; }
    THistoryChartView* View() const { return FView; }
    QDateTimeAxis* TimeAxis() const { return FTimeAxis; }
    QValueAxis* TemperatureAxis() const { return FTempAxis; }

    // Ranges in ms since the Unix epoch.
    qint64 FullBeginMs() const { return FFullBeginMs; }
    qint64 FullEndMs() const { return FFullEndMs; }
    qint64 VisibleBeginMs() const { return FViewBeginMs; }
    qint64 VisibleEndMs() const { return FViewEndMs; }

    // All kept inside the full range and no narrower than kChartMinSpanMs.
    void SetVisibleRange(qint64 beginMs, qint64 endMs);
    void ZoomAt(double factor, qint64 centerMs);
    void PanBy(qint64 deltaMs);
    void ResetZoom();

    // The current state with the series decimated into `buckets` columns.
    THistoryChartState Snapshot(int buckets) const;

  signals:
    // A list indexed on the worker is in use, its lines shown (also after
    // WaitForIndex). Not after a stop: a list replaced never ends indexed.
    void IndexDone();

  private:
    struct TIndexJob;
    void StopIndexing();
    void Indexed(const std::shared_ptr<TIndexJob>& job);
    void ShowSource(std::shared_ptr<const THistoryChartSource> source);
    void UpdateHint();
    void ApplyRange(qint64 beginMs, qint64 endMs);
    void Redecimate();
    int Buckets() const;
    QList<QPointF> SeriesPoints(int index, qint64 beginMs, qint64 endMs, int buckets) const;

    std::vector<THistoryChannel> FChannels;
    std::shared_ptr<const THistoryChartSource> FSource =
        std::make_shared<const THistoryChartSource>();  // never null
    THistoryChartView* FView;                           // child widget; owns FChart
    QChart* FChart;                                     // owns the axes and series
    QDateTimeAxis* FTimeAxis;
    QValueAxis* FTempAxis;
    std::vector<QLineSeries*> FSeries;
    QGroupBox* FGroup;  // child widget
    std::vector<QCheckBox*> FChecks;
    QLabel* FHint = nullptr;  // child widget
    qint64 FFullBeginMs = 0, FFullEndMs = 0;
    qint64 FViewBeginMs = 0, FViewEndMs = 0;
    int FDecimatedBuckets = 0;
    std::shared_ptr<TIndexJob> FIndexJob;  // the source being built, if any
    size_t FIndexAwayRows = kIndexAwayRows;
    std::function<void()> FIndexStartForTest;
};
