#include "dialogs/HistoryChart.h"

#include <QChart>
#include <QCheckBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QGridLayout>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineSeries>
#include <QMetaObject>
#include <QPainter>
#include <QPolygonF>
#include <QVBoxLayout>
#include <QValueAxis>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <system_error>
#include <thread>

#include "dialogs/HistoryChartView.h"

namespace {

struct TChannelInfo {
    THistoryChannel Channel;
    const char* Title;    // series
    const char* Caption;  // check box
    const char* CheckBoxName;
    QRgb Colour;
};

constexpr TChannelInfo kChannelInfo[] = {
    {kChannelAPhase, "A相温度", "A相", "APhaseCheckBox", 0xFF0000},  // red
    {kChannelBPhase, "B相温度", "B相", "BPhaseCheckBox", 0x008000},  // green
    {kChannelCPhase, "C相温度", "C相", "CPhaseCheckBox", 0xFFFF00},  // yellow
    {kChannelIron, "铁芯温度", "铁芯", "IronCheckBox", 0x0000FF},    // blue
};

constexpr int kTemperatureTicks = 11;  // every 20 degrees
constexpr int kTimeTicks = 6;
constexpr qreal kSeriesPenWidth = 1.5;
// Decimation columns when the plot has no width yet (never shown).
constexpr int kFallbackBuckets = 1000;
// Space between the check box group and the chart's right edge.
constexpr int kGroupGap = 6;
// Printing draws the chart as an image of this many logical pixels across,
// at twice that resolution, so fonts and lines keep their screen proportions.
constexpr int kPrintChartLogicalWidth = 1000;
constexpr qreal kPrintChartPixelRatio = 2.0;

constexpr qint64 kMsPerMinute = 60 * 1000;
constexpr qint64 kMsPerHour = 60 * kMsPerMinute;
constexpr qint64 kMsPerDay = 24 * kMsPerHour;
// Days from 1899-12-30 (day 0 of a TDateTime) to 1970-01-01.
constexpr double kUnixEpochDay = 25569.0;

// Local wall-clock date-times to instants for the time axis. The offset from
// local time to UTC only changes on whole hours, so it is looked up once per
// hour of samples instead of once per point.
class TEpochConverter {
  public:
    qint64 ToEpochMs(TDateTime value) {
        const auto wallMs = static_cast<qint64>(std::llround((value - kUnixEpochDay) * kMsPerDay));
        const qint64 hour =
            wallMs >= 0 ? wallMs / kMsPerHour : (wallMs - kMsPerHour + 1) / kMsPerHour;
        if (!FValid || hour != FHour) {
            FOffsetMs = wallMs - DateTimeToUnixMs(value);
            FHour = hour;
            FValid = true;
        }
        return wallMs - FOffsetMs;
    }

  private:
    bool FValid = false;
    qint64 FHour = 0;
    qint64 FOffsetMs = 0;
};

QString TimeFormatFor(qint64 spanMs) {
    if (spanMs >= 3 * kMsPerDay) return QStringLiteral("yyyy-M-d");
    if (spanMs >= 10 * kMsPerMinute) return QStringLiteral("M-d h:mm");
    return QStringLiteral("h:mm:ss");
}

void SetTimeRange(QDateTimeAxis* axis, qint64 beginMs, qint64 endMs) {
    axis->setFormat(TimeFormatFor(endMs - beginMs));
    axis->setRange(QDateTime::fromMSecsSinceEpoch(beginMs), QDateTime::fromMSecsSinceEpoch(endMs));
}

struct TChartParts {
    QDateTimeAxis* TimeAxis = nullptr;
    QValueAxis* TempAxis = nullptr;
    std::vector<QLineSeries*> Series;
};

// One look for the window's chart and the printed one: no animation, legend
// on top, a fixed temperature axis and a time axis, plain lines.
TChartParts BuildChart(QChart* chart, const std::vector<std::pair<QString, QColor>>& series) {
    TChartParts parts;
    chart->setAnimationOptions(QChart::NoAnimation);
    chart->legend()->setAlignment(Qt::AlignTop);

    parts.TimeAxis = new QDateTimeAxis;
    parts.TimeAxis->setTickCount(kTimeTicks);
    chart->addAxis(parts.TimeAxis, Qt::AlignBottom);

    parts.TempAxis = new QValueAxis;
    parts.TempAxis->setRange(kChartMinCelsius, kChartMaxCelsius);
    parts.TempAxis->setTickCount(kTemperatureTicks);
    parts.TempAxis->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(parts.TempAxis, Qt::AlignLeft);

    for (const auto& [title, colour] : series) {
        auto* line = new QLineSeries;
        line->setName(title);
        QPen pen(colour);
        pen.setWidthF(kSeriesPenWidth);
        line->setPen(pen);
        line->setPointsVisible(false);
        chart->addSeries(line);
        line->attachAxis(parts.TimeAxis);
        line->attachAxis(parts.TempAxis);
        parts.Series.push_back(line);
    }
    return parts;
}

// The printed chart's frame, in logical pixels of a chart kPrintChartLogicalWidth across.
constexpr qreal kPrintMargin = 10;
constexpr qreal kPrintLegendHeight = 26;
constexpr qreal kPrintTempLabelWidth = 40;
constexpr qreal kPrintTimeLabelHeight = 28;
constexpr qreal kPrintLabelPixels = 12;
constexpr qreal kPrintLegendMarker = 24;
const QColor kPrintGridColour(0xD0, 0xD0, 0xD0);

}  // namespace

// Painted with a QPainter alone (no scene, no widgets), so that a print's
// worker thread can draw it: the look of the window's chart, plainly.
//
//   ┌──────────────────────────────────────────────┐
//   │        ── A相温度   ── B相温度   (visible)    │  legend
//   │ 200 ┌──────────────────────────────────────┐ │
//   │     │ grid every 20 degrees, lines clipped │ │
//   │   0 └──────────────────────────────────────┘ │
//   │      time labels at kTimeTicks ticks         │
//   └──────────────────────────────────────────────┘
void RenderHistoryChart(QPainter& painter, const QRectF& target, const THistoryChartState& state) {
    if (target.width() <= 0 || target.height() <= 0) return;
    const QSizeF logical(kPrintChartLogicalWidth,
                         kPrintChartLogicalWidth * target.height() / target.width());
    QImage image((logical * kPrintChartPixelRatio).toSize(), QImage::Format_ARGB32_Premultiplied);
    if (image.isNull()) return;
    image.setDevicePixelRatio(kPrintChartPixelRatio);
    image.fill(Qt::white);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFont font = p.font();
    font.setPixelSize(static_cast<int>(kPrintLabelPixels));
    p.setFont(font);
    const QFontMetricsF metrics(font);

    const QRectF plot(
        kPrintMargin + kPrintTempLabelWidth, kPrintMargin + kPrintLegendHeight,
        logical.width() - 2 * kPrintMargin - kPrintTempLabelWidth,
        logical.height() - 2 * kPrintMargin - kPrintLegendHeight - kPrintTimeLabelHeight);
    if (plot.width() <= 0 || plot.height() <= 0) return;

    // Legend: the visible lines, centred above the plot.
    std::vector<const THistorySeriesState*> shown;
    for (const THistorySeriesState& s : state.Series) {
        if (s.Visible) shown.push_back(&s);
    }
    qreal legendWidth = 0;
    for (const THistorySeriesState* s : shown) {
        legendWidth += kPrintLegendMarker + 6 + metrics.horizontalAdvance(s->Title) + 16;
    }
    qreal x = plot.center().x() - legendWidth / 2;
    const qreal legendY = kPrintMargin + kPrintLegendHeight / 2;
    for (const THistorySeriesState* s : shown) {
        QPen pen(s->Colour);
        pen.setWidthF(kSeriesPenWidth * 2);
        p.setPen(pen);
        p.drawLine(QPointF(x, legendY), QPointF(x + kPrintLegendMarker, legendY));
        x += kPrintLegendMarker + 6;
        p.setPen(Qt::black);
        const qreal w = metrics.horizontalAdvance(s->Title);
        p.drawText(QRectF(x, legendY - metrics.height() / 2, w + 1, metrics.height()),
                   Qt::AlignLeft | Qt::AlignVCenter, s->Title);
        x += w + 16;
    }

    // Temperature grid and labels.
    const qreal degrees = kChartMaxCelsius - kChartMinCelsius;
    for (int i = 0; i < kTemperatureTicks; ++i) {
        const qreal value = kChartMinCelsius + degrees * i / (kTemperatureTicks - 1);
        const qreal y = plot.bottom() - plot.height() * (value - kChartMinCelsius) / degrees;
        p.setPen(QPen(kPrintGridColour, 1));
        p.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        p.setPen(Qt::black);
        p.drawText(QRectF(kPrintMargin, y - metrics.height() / 2, kPrintTempLabelWidth - 6,
                          metrics.height()),
                   Qt::AlignRight | Qt::AlignVCenter, QString::number(std::lround(value)));
    }

    // Time grid and labels.
    const qint64 span = std::max<qint64>(state.EndMs - state.BeginMs, 1);
    const QString format = TimeFormatFor(span);
    for (int i = 0; i < kTimeTicks; ++i) {
        const qint64 ms = state.BeginMs + span * i / (kTimeTicks - 1);
        const qreal tx = plot.left() + plot.width() * i / (kTimeTicks - 1);
        p.setPen(QPen(kPrintGridColour, 1));
        p.drawLine(QPointF(tx, plot.top()), QPointF(tx, plot.bottom()));
        p.setPen(Qt::black);
        const QString label = QDateTime::fromMSecsSinceEpoch(ms).toString(format);
        const qreal w = metrics.horizontalAdvance(label) + 2;
        const qreal left = std::clamp(tx - w / 2, kPrintMargin, logical.width() - kPrintMargin - w);
        p.drawText(QRectF(left, plot.bottom() + 4, w, metrics.height()),
                   Qt::AlignHCenter | Qt::AlignTop, label);
    }
    p.setPen(QPen(Qt::black, 1));
    p.drawRect(plot);

    // The lines, clipped to the plot.
    p.setClipRect(plot);
    const auto toPlot = [&](const QPointF& point) {
        return QPointF(plot.left() + plot.width() * static_cast<qreal>(point.x() - state.BeginMs) /
                                         static_cast<qreal>(span),
                       plot.bottom() - plot.height() * (point.y() - kChartMinCelsius) / degrees);
    };
    for (const THistorySeriesState* s : shown) {
        QPen pen(s->Colour);
        pen.setWidthF(kSeriesPenWidth);
        p.setPen(pen);
        QPolygonF line;
        line.reserve(s->Points.size());
        for (const QPointF& point : s->Points) line.append(toPlot(point));
        p.drawPolyline(line);
    }
    p.end();
    painter.drawImage(target, image);
}

// ---------------------------------------------------------------------------

THistoryChart::THistoryChart(THistoryChannels channels, QWidget* parent)
    : QWidget(parent),
      FView(nullptr),
      FChart(new QChart),
      FTimeAxis(nullptr),
      FTempAxis(nullptr),
      FGroup(new QGroupBox(QStringLiteral("是否可见"), this)) {
    setObjectName(QStringLiteral("HistoryChart"));
    FView = new THistoryChartView(FChart, this);
    FView->setObjectName(QStringLiteral("HistoryChartView"));

    std::vector<std::pair<QString, QColor>> styles;
    auto* checks = new QVBoxLayout(FGroup);
    for (const TChannelInfo& info : kChannelInfo) {
        if (channels == THistoryChannels::PhasesOnly && info.Channel == kChannelIron) continue;
        FChannels.push_back(info.Channel);
        styles.emplace_back(QString::fromUtf8(info.Title), QColor(info.Colour));
        auto* box = new QCheckBox(QString::fromUtf8(info.Caption), FGroup);
        box->setObjectName(QString::fromUtf8(info.CheckBoxName));
        box->setChecked(false);
        checks->addWidget(box);
        FChecks.push_back(box);
    }
    FGroup->setObjectName(QStringLiteral("VisibleGroupBox"));

    TChartParts parts = BuildChart(FChart, styles);
    FTimeAxis = parts.TimeAxis;
    FTempAxis = parts.TempAxis;
    FSeries = parts.Series;
    for (size_t i = 0; i < FSeries.size(); ++i) {
        QLineSeries* line = FSeries[i];
        line->setVisible(false);
        connect(FChecks[i], &QCheckBox::toggled, line, &QLineSeries::setVisible);
    }

    // The group sits in the chart's lower right corner, in a margin kept
    // free for it so it never hides a line.
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(FView, 0, 0);
    grid->addWidget(FGroup, 0, 0, Qt::AlignRight | Qt::AlignBottom);
    FGroup->raise();  // above the view that shares its cell
    // Every line starts hidden: without a word the chart looks as if the
    // query found nothing.
    FHint = new QLabel(QStringLiteral("请在右下角“是否可见”中勾选要显示的曲线"), this);
    FHint->setObjectName(QStringLiteral("EmptyChartHint"));
    FHint->setAttribute(Qt::WA_TransparentForMouseEvents);
    grid->addWidget(FHint, 0, 0, Qt::AlignCenter);
    FHint->raise();
    for (QCheckBox* box : FChecks) {
        connect(box, &QCheckBox::toggled, this, &THistoryChart::UpdateHint);
    }
    UpdateHint();
    grid->setSpacing(0);
    QMargins margins = FChart->margins();
    margins.setRight(FGroup->sizeHint().width() + 2 * kGroupGap);
    FChart->setMargins(margins);

    connect(FView, &THistoryChartView::ZoomRequested, this,
            [this](double factor, double centerX) { ZoomAt(factor, std::llround(centerX)); });
    connect(FView, &THistoryChartView::PanRequested, this,
            [this](double deltaX) { PanBy(std::llround(deltaX)); });
    connect(FView, &THistoryChartView::RangeSelected, this, [this](double fromX, double toX) {
        SetVisibleRange(std::llround(std::min(fromX, toX)), std::llround(std::max(fromX, toX)));
    });
    connect(FView, &THistoryChartView::ResetRequested, this, &THistoryChart::ResetZoom);
    // A wider or narrower plot needs as many columns as it has pixels.
    connect(FChart, &QChart::plotAreaChanged, this, [this] {
        if (Buckets() != FDecimatedBuckets) Redecimate();
    });

    SetReadings(nullptr);
}

void THistoryChart::UpdateHint() {
    const bool anyVisible = std::any_of(FChecks.begin(), FChecks.end(),
                                        [](QCheckBox* box) { return box->isChecked(); });
    FHint->setVisible(!anyVisible);
}

QLineSeries* THistoryChart::Series(int index) const {
    if (index < 0 || index >= SeriesCount()) return nullptr;
    return FSeries[static_cast<size_t>(index)];
}

QCheckBox* THistoryChart::VisibleCheckBox(int index) const {
    if (index < 0 || index >= static_cast<int>(FChecks.size())) return nullptr;
    return FChecks[static_cast<size_t>(index)];
}

struct THistoryChart::TIndexJob {
    std::atomic<bool> Cancelled{false};
    std::shared_ptr<const THistoryChartSource> Result;  // nullptr: it failed
    std::thread Worker;
};

THistoryChart::~THistoryChart() {
    StopIndexing();
}

void THistoryChart::StopIndexing() {
    if (!FIndexJob) return;
    FIndexJob->Cancelled = true;
    if (FIndexJob->Worker.joinable()) FIndexJob->Worker.join();
    // Its queued end, if any, finds another job current and does nothing.
    FIndexJob.reset();
}

void THistoryChart::WaitForIndex() {
    if (!FIndexJob) return;
    const std::shared_ptr<TIndexJob> job = FIndexJob;
    if (job->Worker.joinable()) job->Worker.join();
    Indexed(job);
}

void THistoryChart::Indexed(const std::shared_ptr<TIndexJob>& job) {
    if (job != FIndexJob) return;
    if (job->Worker.joinable()) job->Worker.join();
    FIndexJob.reset();
    if (job->Result) ShowSource(job->Result);
    emit IndexDone();
}

void THistoryChart::SetReadings(const std::vector<TTmpReading>* readings) {
    // The list a worker reads may go once this returns.
    StopIndexing();
    if (readings == nullptr || readings->size() < FIndexAwayRows) {
        ShowSource(std::make_shared<const THistoryChartSource>(readings));
        return;
    }
    // A year of samples takes a few hundred milliseconds to index: that is
    // done on a worker, and the lines come when it is.
    auto job = std::make_shared<TIndexJob>();
    try {
        job->Worker = std::thread([this, job, readings, start = FIndexStartForTest] {
            if (start) start();
            try {
                auto source = std::make_shared<const THistoryChartSource>(readings, job->Cancelled);
                if (source->Complete()) job->Result = std::move(source);
            } catch (...) {
                // Out of memory: no lines.
            }
            // Queued while this chart lives: stopping joins this worker first,
            // and a call still queued when the chart goes goes with it.
            if (!job->Cancelled) {
                QMetaObject::invokeMethod(
                    this, [this, job] { Indexed(job); }, Qt::QueuedConnection);
            }
        });
    } catch (const std::system_error&) {
        // No thread to be had: index right here.
        ShowSource(std::make_shared<const THistoryChartSource>(readings));
        return;
    }
    FIndexJob = std::move(job);
    ShowSource(std::make_shared<const THistoryChartSource>());
}

void THistoryChart::ShowSource(std::shared_ptr<const THistoryChartSource> source) {
    FSource = std::move(source);
    TEpochConverter converter;
    if (FSource->Empty()) {
        // No samples: show today, so the axis still reads as a day.
        const TDateTime today = DateOf(Now());
        FFullBeginMs = converter.ToEpochMs(today);
        FFullEndMs = converter.ToEpochMs(today + 1);
    } else {
        FFullBeginMs = converter.ToEpochMs(FSource->TimeAt(0));
        FFullEndMs = converter.ToEpochMs(FSource->TimeAt(FSource->Size() - 1));
    }
    if (FFullEndMs - FFullBeginMs < kChartMinSpanMs) {
        const qint64 centre = FFullBeginMs + (FFullEndMs - FFullBeginMs) / 2;
        FFullBeginMs = centre - kChartMinSpanMs / 2;
        FFullEndMs = FFullBeginMs + kChartMinSpanMs;
    }
    ApplyRange(FFullBeginMs, FFullEndMs);
}

void THistoryChart::SetVisibleRange(qint64 beginMs, qint64 endMs) {
    if (endMs < beginMs) std::swap(beginMs, endMs);
    const qint64 fullSpan = FFullEndMs - FFullBeginMs;
    const qint64 span = std::min(std::max(endMs - beginMs, kChartMinSpanMs), fullSpan);
    const qint64 begin = std::clamp(beginMs, FFullBeginMs, FFullEndMs - span);
    ApplyRange(begin, begin + span);
}

void THistoryChart::ZoomAt(double factor, qint64 centerMs) {
    if (!(factor > 0) || !std::isfinite(factor)) return;
    const qint64 span = FViewEndMs - FViewBeginMs;
    const double rel =
        span > 0 ? std::clamp(static_cast<double>(centerMs - FViewBeginMs) / span, 0.0, 1.0) : 0.5;
    const double newSpan = span * factor;
    const double begin = static_cast<double>(FViewBeginMs) + rel * (span - newSpan);
    SetVisibleRange(std::llround(begin), std::llround(begin + newSpan));
}

void THistoryChart::PanBy(qint64 deltaMs) {
    SetVisibleRange(FViewBeginMs + deltaMs, FViewEndMs + deltaMs);
}

void THistoryChart::ResetZoom() {
    ApplyRange(FFullBeginMs, FFullEndMs);
}

void THistoryChart::ApplyRange(qint64 beginMs, qint64 endMs) {
    FViewBeginMs = beginMs;
    FViewEndMs = endMs;
    SetTimeRange(FTimeAxis, beginMs, endMs);
    Redecimate();
}

int THistoryChart::Buckets() const {
    const int width = static_cast<int>(FChart->plotArea().width());
    return width >= 2 ? width : kFallbackBuckets;
}

QList<QPointF> THistoryChart::SeriesPoints(int index, qint64 beginMs, qint64 endMs,
                                           int buckets) const {
    const std::vector<TChartPoint> points =
        DecimateChannel(*FSource, FChannels[static_cast<size_t>(index)],
                        DateTimeFromUnixMs(beginMs), DateTimeFromUnixMs(endMs), buckets);
    QList<QPointF> out;
    out.reserve(static_cast<qsizetype>(points.size()));
    TEpochConverter converter;
    qint64 previous = 0;
    for (const TChartPoint& p : points) {
        // Local times that repeat or skip at a daylight-saving change must
        // not make the line run backwards.
        qint64 x = converter.ToEpochMs(p.Time);
        if (!out.isEmpty()) x = std::max(x, previous);
        previous = x;
        out.append(QPointF(static_cast<qreal>(x), p.Value));
    }
    return out;
}

void THistoryChart::Redecimate() {
    const int buckets = Buckets();
    for (int i = 0; i < SeriesCount(); ++i) {
        FSeries[static_cast<size_t>(i)]->replace(
            SeriesPoints(i, FViewBeginMs, FViewEndMs, buckets));
    }
    FDecimatedBuckets = buckets;
}

THistoryChartState THistoryChart::Snapshot(int buckets) const {
    THistoryChartState state;
    state.BeginMs = FViewBeginMs;
    state.EndMs = FViewEndMs;
    for (int i = 0; i < SeriesCount(); ++i) {
        const QLineSeries* line = FSeries[static_cast<size_t>(i)];
        THistorySeriesState s;
        s.Title = line->name();
        s.Colour = line->pen().color();
        s.Visible = FChecks[static_cast<size_t>(i)]->isChecked();
        s.Points = SeriesPoints(i, FViewBeginMs, FViewEndMs, std::max(buckets, 1));
        state.Series.push_back(std::move(s));
    }
    return state;
}
