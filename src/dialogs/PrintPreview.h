#pragma once
// The print preview: a report's pages as they will print, one under the
// other, each painted only when it comes into view. A report of a year
// (some 200,000 pages) opens as fast as one of a day, and memory holds the
// few pages on screen, not the whole report.
//
//   [适合宽度][适合页面] [放大][缩小] [纵向][横向]
//   [第一页][上一页] [ n ] / N [下一页][最后一页] [页面设置...][打印...]
//   +------------------------------------------------------------+
//   |      +--------+    page 1: painted into an image the size  |
//   |      | page 1 |    it is shown at, kept while near the view |
//   |      +--------+                                             |
//   |      | page 2 |    a page not painted yet shows blank and   |
//   |      +--------+    comes on a following turn of the loop    |
//   +------------------------------------------------------------+
//
// Pages are painted on the window's thread, within a budget per turn of the
// event loop (kPaintBudgetMs): a turn paints pages until the budget is
// spent, so scrolling through a long report never holds the window up for
// more than that and one page. "打印..." asks the print dialog, then prints
// every page on a worker (PrintReportOnWorker) and closes the preview.

#include <QDialog>
#include <QPageLayout>
#include <memory>

#include "dialogs/HistoryPrint.h"

class QAction;
class QLabel;
class QPrinter;
class QSpinBox;
class TPreviewPages;

class TPrintPreview : public QDialog {
    Q_OBJECT
  public:
    // Paint at most this long per turn of the event loop (one page more
    // may be painted once it is spent: a page is never left half done).
    static constexpr int kPaintBudgetMs = 20;

    enum class TZoomMode { FitWidth, FitPage, Custom };

    // The printer (borrowed, it outlives the dialog) gives the paper, the
    // orientation and the margins, and takes the page setup's changes. The
    // job is laid out on it at once; nothing of it is painted until shown.
    TPrintPreview(QPrinter& printer, const TReportPrintJob& job, QWidget* parent = nullptr);
    ~TPrintPreview() override;

    QPrinter& Printer() const { return FPrinter; }
    int PageCount() const;
    // The page at the middle of the view, from 1.
    int CurrentPage() const;
    void ShowPage(int page);

    TZoomMode ZoomMode() const;
    void SetZoomMode(TZoomMode mode);
    void ZoomIn();
    void ZoomOut();
    // Shown pixels per printer pixel.
    double Scale() const;

    // Lays the job out anew on the printer turned so.
    void SetOrientation(QPageLayout::Orientation orientation);
    // The print button after its dialog: every page on a worker; once every
    // page went out the preview closes (accepted), after a cancel it stays.
    // Returns the pages printed; a failure is shown as "打印失败！" and its
    // reason.
    int PrintNow();

    // How many pages have been painted for the view so far (tests and
    // benchmarks: painting follows the view, not the report's length).
    int PagesPainted() const;
    // Whether every page in view is painted.
    bool ViewComplete() const;
    void SetPaintBudgetForTest(int milliseconds);

  private:
    void Relayout();
    void FollowView();
    void AskPrint();
    void SetUpPage();

    QPrinter& FPrinter;
    TReportPrintJob FJob;
    TPreviewPages* FView;
    QSpinBox* FPageBox;
    QLabel* FPageCountLabel;
    QAction* FFitWidth;
    QAction* FFitPage;
};
