#include "dialogs/PrintPreview.h"

#include <gtest/gtest.h>

#include <QAbstractScrollArea>
#include <QFile>
#include <QPrinter>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <set>

#include "dialogs/PrintWorker.h"
#include "dialogs/ProgressTestSupport.h"

namespace {

// A three-column report of `rows` numbered rows; `asked` collects every row
// the window's thread paints.
TReportPrintJob Numbered(size_t rows, std::set<size_t>* asked) {
    TReportPrintJob job;
    job.Heading = "历史数据报表";
    job.Source = "站点 1";
    job.Captions = QStringList{"序号", "时间", "温度"};
    job.Widths = {0, 120, 0};
    job.Rows = rows;
    job.Cell = [asked](size_t row, int column) {
        if (asked != nullptr && column == 0) asked->insert(row);
        return QString::number(row + static_cast<size_t>(column));
    };
    return job;
}

struct TPreviewed {
    explicit TPreviewed(const TReportPrintJob& job) : Preview(Printer, job) {
        Preview.resize(800, 600);
        Preview.show();
    }
    QAbstractScrollArea* Pages() { return Preview.findChild<QAbstractScrollArea*>("PreviewPages"); }
    bool WaitForView() {
        return QTest::qWaitFor([this] { return Preview.ViewComplete(); }, 30000);
    }

    QPrinter Printer{QPrinter::HighResolution};
    TPrintPreview Preview;
};

// Pages come as they scroll into view: the last page of a long report paints
// its own rows and no others, and the page box follows.
TEST(TPrintPreview, PaintsOnlyThePagesInViewOfALongReport) {
    std::set<size_t> asked;
    TPreviewed shown(Numbered(20000, &asked));
    TPrintPreview& preview = shown.Preview;
    ASSERT_TRUE(shown.WaitForView());
    const int pages = preview.PageCount();
    ASSERT_GT(pages, 300);
    EXPECT_EQ(pages, ReportPrintPageCount(shown.Printer, Numbered(20000, nullptr)));
    EXPECT_EQ(preview.CurrentPage(), 1);
    EXPECT_LE(preview.PagesPainted(), 3);
    EXPECT_LT(asked.size(), 200u);

    asked.clear();
    preview.ShowPage(pages);
    ASSERT_TRUE(shown.WaitForView());
    EXPECT_EQ(preview.CurrentPage(), pages);
    EXPECT_EQ(preview.findChild<QSpinBox*>("PreviewPageBox")->value(), pages);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(*asked.rbegin(), 19999u);
    EXPECT_LT(asked.size(), 200u);
    EXPECT_LE(preview.PagesPainted(), 6);

    auto* box = preview.findChild<QSpinBox*>("PreviewPageBox");
    box->setValue(123);
    emit box->editingFinished();
    EXPECT_EQ(preview.CurrentPage(), 123);
    preview.ShowPage(pages + 10);  // out of range: the last page
    EXPECT_EQ(preview.CurrentPage(), pages);
}

// One turn of the event loop paints at least one page and stops once its
// budget is spent; the pages left come on the following turns.
TEST(TPrintPreview, PaintsWithinItsBudgetAndCatchesUpOnLaterTurns) {
    TPreviewed shown(Numbered(3000, nullptr));
    TPrintPreview& preview = shown.Preview;
    ASSERT_TRUE(shown.WaitForView());
    // Small pages: many in view at once.
    preview.SetZoomMode(TPrintPreview::TZoomMode::FitPage);
    for (int i = 0; i < 10; ++i) preview.ZoomOut();
    preview.SetPaintBudgetForTest(0);
    const int before = preview.PagesPainted();
    shown.Pages()->viewport()->repaint();
    EXPECT_EQ(preview.PagesPainted(), before + 1);
    EXPECT_FALSE(preview.ViewComplete());
    ASSERT_TRUE(shown.WaitForView());
    EXPECT_GE(preview.PagesPainted() - before, 4);
}

// Fit to width, fit the page, zoom steps within bounds; turning the paper
// lays the report out anew on the printer.
TEST(TPrintPreview, ZoomsAndTurnsThePaper) {
    TPreviewed shown(Numbered(2000, nullptr));
    TPrintPreview& preview = shown.Preview;
    ASSERT_TRUE(shown.WaitForView());
    EXPECT_EQ(preview.ZoomMode(), TPrintPreview::TZoomMode::FitWidth);
    const double fitWidth = preview.Scale();
    const double paperWidth =
        shown.Printer.pageLayout().fullRectPixels(shown.Printer.resolution()).width();
    EXPECT_NEAR(fitWidth * paperWidth, shown.Pages()->viewport()->width() - 24, 2);

    preview.SetZoomMode(TPrintPreview::TZoomMode::FitPage);
    EXPECT_LE(preview.Scale(), fitWidth);
    preview.ZoomIn();
    EXPECT_EQ(preview.ZoomMode(), TPrintPreview::TZoomMode::Custom);
    const double zoomed = preview.Scale();
    preview.ZoomOut();
    preview.ZoomIn();
    EXPECT_DOUBLE_EQ(preview.Scale(), zoomed);
    for (int i = 0; i < 40; ++i) preview.ZoomIn();
    const double most = preview.Scale();
    preview.ZoomIn();
    EXPECT_DOUBLE_EQ(preview.Scale(), most);
    EXPECT_LT(most, 1.0);  // never past the printer's own pixels at 5x real size
    ASSERT_TRUE(shown.WaitForView());

    const TReportPrintJob job = Numbered(2000, nullptr);
    const QPageLayout::Orientation first = shown.Printer.pageLayout().orientation();
    const QPageLayout::Orientation other =
        first == QPageLayout::Portrait ? QPageLayout::Landscape : QPageLayout::Portrait;
    const int before = preview.PageCount();
    preview.SetOrientation(other);
    EXPECT_EQ(shown.Printer.pageLayout().orientation(), other);
    EXPECT_EQ(preview.PageCount(), ReportPrintPageCount(shown.Printer, job));
    EXPECT_NE(preview.PageCount(), before);
    ASSERT_TRUE(shown.WaitForView());
}

// A finished print closes the preview; a cancelled one leaves it open for
// another try, and leaves no file.
TEST(TPrintPreview, StaysOpenAfterACancelledPrint) {
    QTemporaryDir dir;
    std::atomic<bool> reached{false};
    std::atomic<bool> pressed{false};
    TReportPrintJob job = Numbered(4000, nullptr);
    QThread* const windowThread = QThread::currentThread();
    job.Cell = [&reached, &pressed, windowThread](size_t row, int) {
        // The worker's print waits there for the press; the preview's pages
        // on the window's thread go on.
        if (row > 100 && QThread::currentThread() != windowThread) {
            reached = true;
            while (!pressed) QThread::msleep(1);
        }
        return QString::number(row);
    };
    TPreviewed shown(job);
    TPrintPreview& preview = shown.Preview;
    shown.Printer.setOutputFormat(QPrinter::PdfFormat);
    shown.Printer.setOutputFileName(dir.filePath("cancelled.pdf"));
    {
        TCancelPresser presser(preview, "PrintProgress", QString::fromUtf8(kPrintProgressText),
                               reached, pressed);
        EXPECT_LT(preview.PrintNow(), preview.PageCount());
    }
    EXPECT_TRUE(preview.isVisible());
    EXPECT_EQ(preview.result(), 0);
    EXPECT_FALSE(QFile::exists(dir.filePath("cancelled.pdf")));

    TPreviewed whole(Numbered(100, nullptr));
    whole.Printer.setOutputFormat(QPrinter::PdfFormat);
    whole.Printer.setOutputFileName(dir.filePath("done.pdf"));
    EXPECT_EQ(whole.Preview.PrintNow(), whole.Preview.PageCount());
    EXPECT_EQ(whole.Preview.result(), QDialog::Accepted);
    EXPECT_TRUE(QFile::exists(dir.filePath("done.pdf")));
}

}  // namespace
