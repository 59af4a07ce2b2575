#include "dialogs/HistoryChartView.h"

#include <QMouseEvent>
#include <QRubberBand>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace {

// One wheel notch (120 eighths of a degree) narrows the span to 80 %.
constexpr double kWheelZoomPerNotch = 0.8;
constexpr double kWheelNotch = 120.0;
// A selection narrower than this is taken as a click, not a span.
constexpr int kMinSelectionPixels = 4;

}  // namespace

THistoryChartView::THistoryChartView(QChart* chart, QWidget* parent)
    : QChartView(chart, parent), FRubberBand(new QRubberBand(QRubberBand::Rectangle, viewport())) {
    setRubberBand(QChartView::NoRubberBand);
    setRenderHint(QPainter::Antialiasing);
    setDragMode(QGraphicsView::NoDrag);
    FRubberBand->hide();
}

double THistoryChartView::ValueAt(const QPoint& viewportPos) const {
    const QPointF inChart = chart()->mapFromScene(mapToScene(viewportPos));
    return chart()->mapToValue(inChart).x();
}

QRect THistoryChartView::PlotRectInViewport() const {
    const QRectF plot = chart()->mapRectToScene(chart()->plotArea());
    return mapFromScene(plot).boundingRect();
}

void THistoryChartView::UpdateRubberBand(const QPoint& to) {
    const QRect plot = PlotRectInViewport();
    const int left = std::clamp(std::min(FSelectStart.x(), to.x()), plot.left(), plot.right());
    const int right = std::clamp(std::max(FSelectStart.x(), to.x()), plot.left(), plot.right());
    FRubberBand->setGeometry(QRect(QPoint(left, plot.top()), QPoint(right, plot.bottom())));
}

void THistoryChartView::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y();
    if (delta == 0) {
        event->ignore();
        return;
    }
    const double factor = std::pow(kWheelZoomPerNotch, delta / kWheelNotch);
    emit ZoomRequested(factor, ValueAt(event->position().toPoint()));
    event->accept();
}

void THistoryChartView::mousePressEvent(QMouseEvent* event) {
    if (FDrag != TDrag::None) {
        event->accept();
        return;
    }
    const QPoint pos = event->position().toPoint();
    if (event->button() == Qt::LeftButton) {
        FDrag = TDrag::Pan;
        FLastPos = pos;
        viewport()->setCursor(Qt::ClosedHandCursor);
    } else if (event->button() == Qt::RightButton) {
        FDrag = TDrag::Select;
        FSelectStart = pos;
        UpdateRubberBand(pos);
        FRubberBand->show();
    } else {
        event->ignore();
        return;
    }
    event->accept();
}

void THistoryChartView::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (FDrag == TDrag::Pan) {
        // Dragging to the right brings earlier times into view.
        const double delta = ValueAt(FLastPos) - ValueAt(pos);
        FLastPos = pos;
        if (delta != 0) emit PanRequested(delta);
    } else if (FDrag == TDrag::Select) {
        UpdateRubberBand(pos);
    }
    event->accept();
}

void THistoryChartView::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (FDrag == TDrag::Pan && event->button() == Qt::LeftButton) {
        FDrag = TDrag::None;
        viewport()->unsetCursor();
    } else if (FDrag == TDrag::Select && event->button() == Qt::RightButton) {
        FDrag = TDrag::None;
        UpdateRubberBand(pos);
        FRubberBand->hide();
        const QRect band = FRubberBand->geometry();
        if (band.width() >= kMinSelectionPixels) {
            const int y = band.center().y();
            emit RangeSelected(ValueAt(QPoint(band.left(), y)), ValueAt(QPoint(band.right(), y)));
        }
    }
    event->accept();
}

void THistoryChartView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        emit ResetRequested();
        event->accept();
        return;
    }
    event->ignore();
}
