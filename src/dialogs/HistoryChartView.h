#pragma once
// The chart's view: turns the operator's mouse into requests on the time
// axis and leaves the range arithmetic to its owner.
//
//   wheel                 zoom in (away from you) or out around the cursor
//   left drag             pan along the time axis
//   right drag            select a time span and zoom into it
//   left double-click     the whole range again

#include <QChartView>
#include <QPoint>

class QRubberBand;

class THistoryChartView : public QChartView {
    Q_OBJECT
  public:
    // The chart becomes the view's (QChartView owns it).
    explicit THistoryChartView(QChart* chart, QWidget* parent = nullptr);

  signals:
    // x values are the time axis's: milliseconds since the Unix epoch.
    // factor < 1 narrows the visible span.
    void ZoomRequested(double factor, double centerX);
    void PanRequested(double deltaX);
    void RangeSelected(double fromX, double toX);
    void ResetRequested();

  protected:
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

  private:
    enum class TDrag { None, Pan, Select };

    double ValueAt(const QPoint& viewportPos) const;
    QRect PlotRectInViewport() const;
    void UpdateRubberBand(const QPoint& to);

    TDrag FDrag = TDrag::None;
    QPoint FLastPos;
    QPoint FSelectStart;
    QRubberBand* FRubberBand;  // child of the viewport
};
