#include "dialogs/HistoryPrint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string_view>
#include <thread>

#include <QFile>
#include <QFontDatabase>
#include <QPointer>
#include <QPrinter>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QRawFont>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "dialogs/HistoryReport.h"
#include "dialogs/PrintPreview.h"
#include "dialogs/PrintWorker.h"
#include "dialogs/ProgressTestSupport.h"
#include "dialogs/Prompts.h"
#include "dialogs/Samples.h"

namespace {

const TDateTime kFirst = EncodeDateTime(2024, 7, 1, 6);

QString Run(const char* program, const QStringList& args) {
    QProcess process;
    process.start(QString::fromUtf8(program), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// PDF text extraction maps some glyphs back to the radical code points that
// share the glyph (无 comes back as the Kangxi radical ⽆). Replace every
// character outside the unified ideographs by the character of `alphabet`
// drawn with the same glyph in the print font.
QString SameGlyphText(const QString& text, const QString& alphabet) {
    const QRawFont font = QRawFont::fromFont(HistoryPrintFont(8));
    QHash<quint32, QChar> byGlyph;
    for (QChar c : alphabet) {
        const QList<quint32> g = font.glyphIndexesForString(QString(c));
        if (g.size() == 1 && g[0] != 0) byGlyph.insert(g[0], c);
    }
    QString out;
    for (QChar c : text) {
        if (c.unicode() >= 0x2E80 && c.unicode() < 0x3000) {
            const QList<quint32> g = font.glyphIndexesForString(QString(c));
            if (g.size() == 1 && byGlyph.contains(g[0])) c = byGlyph.value(g[0]);
        }
        out += c;
    }
    return out;
}

struct TPrintedPdf {
    int Pages = 0;         // what PrintHistory reported
    int PdfPages = 0;      // what the file holds
    QStringList PageText;  // one entry per page
    QString Fonts;         // pdffonts output
};

TPrintedPdf PrintToPdf(const THistoryPrintJob& job, const QString& alphabet) {
    TPrintedPdf result;
    QTemporaryDir dir;
    const QString path = dir.filePath("history.pdf");
    {
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(path);
        printer.setPageSize(QPageSize(QPageSize::A4));
        printer.setPageOrientation(QPageLayout::Landscape);
        result.Pages = PrintHistory(printer, job);
    }
    const QString info = Run(TC_PDFINFO, {path});
    for (const QString& line : info.split('\n')) {
        if (line.startsWith("Pages:")) result.PdfPages = line.mid(6).trimmed().toInt();
    }
    for (int p = 1; p <= result.PdfPages; ++p) {
        const QString text = Run(TC_PDFTOTEXT, {"-f", QString::number(p), "-l", QString::number(p),
                                                "-layout", path, "-"});
        result.PageText << SameGlyphText(text, alphabet);
    }
    result.Fonts = Run(TC_PDFFONTS, {path});
    return result;
}

QString Alphabet(const std::vector<TTmpReading>& rows) {
    QString all = "历史数据报表时间范围记录数第页共";
    for (int c = 0; c < kHistoryColumnCount; ++c) all += HistoryColumnCaption(c);
    for (const TTmpReading& r : rows) {
        for (int c = 0; c < kHistoryColumnCount; ++c) all += HistoryCellText(r, c);
    }
    return all;
}

std::vector<TTmpReading> TwoHundred() {
    return MinuteSamples(200, kFirst, [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(60 + i % 100), i == 7 ? 300 : 66, 67,
                      i % 2 ? 0 : 100, static_cast<uint8_t>(i % 16));
    });
}

bool HasPdfTools() {
    return !std::string_view(TC_PDFTOTEXT).empty() && !std::string_view(TC_PDFINFO).empty() &&
           !std::string_view(TC_PDFFONTS).empty();
}

}  // namespace

TEST(HistoryPrintFont, HasChineseGlyphs) {
    const QFont font = HistoryPrintFont(10);
    EXPECT_TRUE(
        QFontDatabase::writingSystems(font.family()).contains(QFontDatabase::SimplifiedChinese))
        << font.family().toStdString();
    const QRawFont raw = QRawFont::fromFont(font);
    EXPECT_TRUE(raw.supportsCharacter(QChar(0x94C1)));  // 铁
}

TEST(PrintHistory, TwoHundredSamplesFillTitlePageAndReportPagesWithRepeatedHeader) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    const auto rows = TwoHundred();
    THistoryPrintJob job;
    job.Source = "1号主变 (地址 1)";
    job.Begin = rows.back().DateTime;
    job.End = rows.front().DateTime;
    job.Readings = &rows;
    job.Chart = THistoryChartState{};
    const TPrintedPdf pdf = PrintToPdf(job, Alphabet(rows) + job.Source);

    ASSERT_GE(pdf.Pages, 3);
    EXPECT_EQ(pdf.PdfPages, pdf.Pages);
    ASSERT_EQ(pdf.PageText.size(), pdf.Pages);
    EXPECT_TRUE(pdf.PageText[0].contains("历史数据报表"));
    EXPECT_TRUE(pdf.PageText[0].contains("1号主变 (地址 1)"));
    EXPECT_TRUE(pdf.PageText[0].contains("时间范围：2024-7-1 6:00:00 － 2024-7-1 9:19:00"));
    EXPECT_TRUE(pdf.PageText[0].contains("记录数：200"));
    EXPECT_FALSE(pdf.PageText[0].contains("铁芯报警"));  // the chart page has no table

    // Every row once, in list order, on the report pages; the header on each.
    int next = 0;
    QList<int> rowsOnPage;
    for (int p = 1; p < pdf.Pages; ++p) {
        const QString& page = pdf.PageText[p];
        EXPECT_TRUE(page.contains("传感器状态")) << "page " << p + 1;
        EXPECT_TRUE(page.contains("铁芯报警")) << "page " << p + 1;
        EXPECT_TRUE(page.contains(QString("第 %1 页，共 %2 页").arg(p + 1).arg(pdf.Pages)));
        int onPage = 0;
        for (const QString& line : page.split('\n')) {
            const QString time = line.trimmed().section(' ', 0, 1);
            if (next < 200 && time == HistoryCellText(rows[static_cast<size_t>(next)], kColTime)) {
                // The whole row as the report shows it.
                QStringList cells = line.simplified().split(' ');
                ASSERT_EQ(cells.size(), kHistoryColumnCount + 1) << line.toStdString();
                cells[0] += " " + cells[1];
                cells.removeAt(1);
                for (int c = 0; c < kHistoryColumnCount; ++c) {
                    EXPECT_EQ(cells[c], HistoryCellText(rows[static_cast<size_t>(next)], c))
                        << "row " << next << " column " << c;
                }
                ++next;
                ++onPage;
            }
        }
        rowsOnPage << onPage;
    }
    EXPECT_EQ(next, 200);
    // Full pages but the last, and no more pages than the rows need.
    for (int i = 0; i + 1 < rowsOnPage.size(); ++i) EXPECT_EQ(rowsOnPage[i], rowsOnPage[0]);
    EXPECT_GT(rowsOnPage.back(), 0);
    EXPECT_LE(rowsOnPage.back(), rowsOnPage[0]);
}

TEST(PrintHistory, EmbedsTheChineseFont) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    const auto rows = TwoHundred();
    THistoryPrintJob job;
    job.Readings = &rows;
    const TPrintedPdf pdf = PrintToPdf(job, Alphabet(rows));
    const QString family = HistoryPrintFont(10).family().remove(' ');
    bool embedded = false;
    for (const QString& line : pdf.Fonts.split('\n')) {
        if (line.contains(family, Qt::CaseInsensitive)) {
            EXPECT_TRUE(line.contains(" yes ")) << line.toStdString();
            embedded = true;
        }
    }
    EXPECT_TRUE(embedded) << pdf.Fonts.toStdString();
}

TEST(PrintHistory, WithoutAChartTheReportStartsUnderTheHeading) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    const auto rows = MinuteSamples(
        10, kFirst, [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0, 0x02); });
    THistoryPrintJob job;
    job.Source = "备份文件";
    job.Readings = &rows;
    const TPrintedPdf pdf = PrintToPdf(job, Alphabet(rows) + job.Source);
    ASSERT_EQ(pdf.Pages, 1);
    EXPECT_TRUE(pdf.PageText[0].contains("历史数据报表"));
    EXPECT_TRUE(pdf.PageText[0].contains("铁芯报警"));
    EXPECT_TRUE(pdf.PageText[0].contains("2024-7-1 6:09:00"));
    EXPECT_TRUE(pdf.PageText[0].contains("2024-7-1 6:00:00"));
    EXPECT_TRUE(pdf.PageText[0].contains("第 1 页，共 1 页"));
}

TEST(PrintHistory, AnEmptyReportStillPrintsItsHeader) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    THistoryPrintJob job;
    job.Chart = THistoryChartState{};
    const TPrintedPdf pdf = PrintToPdf(job, Alphabet({}));
    ASSERT_EQ(pdf.Pages, 2);
    EXPECT_TRUE(pdf.PageText[0].contains("记录数：0"));
    EXPECT_TRUE(pdf.PageText[1].contains("铁芯报警"));
}

TEST(PrintHistory, CountsItsPagesAheadAndStopsWhenProgressSaysSo) {
    QTemporaryDir dir;
    const auto rows = TwoHundred();
    THistoryPrintJob job;
    job.Readings = &rows;
    job.Chart = THistoryChartState{};
    auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(dir.filePath("all.pdf"));
    const int expected = HistoryPrintPageCount(*printer, job);
    QList<int> seen;
    EXPECT_EQ(PrintHistory(*printer, job,
                           [&](int page, int pages) {
                               EXPECT_EQ(pages, expected);
                               seen << page;
                               return true;
                           }),
              expected);
    ASSERT_EQ(seen.size(), expected);
    for (int i = 0; i < expected; ++i) EXPECT_EQ(seen[i], i + 1);

    printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(dir.filePath("cut.pdf"));
    QList<int> cut;
    EXPECT_EQ(PrintHistory(*printer, job,
                           [&](int page, int) {
                               cut << page;
                               return page < 3;
                           }),
              2);
    EXPECT_EQ(cut, QList<int>({1, 2, 3}));
}

// ---------------------------------------------------------------------------
// Long prints on a worker thread.

namespace {

void ToPdf(QPrinter& printer, const QString& path) {
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(path);
    printer.setPageSize(QPageSize(QPageSize::A4));
    printer.setPageOrientation(QPageLayout::Landscape);
}

int PdfPages(const QString& path) {
    for (const QString& line : Run(TC_PDFINFO, {path}).split('\n')) {
        if (line.startsWith("Pages:")) return line.mid(6).trimmed().toInt();
    }
    return 0;
}

// A plain two-column report of `rows` numbered rows; `onRow` sees every row
// as it is printed (on whichever thread prints it).
TReportPrintJob NumberedJob(size_t rows, std::function<void(size_t row)> onRow) {
    TReportPrintJob job;
    job.Heading = "报警记录报表";
    job.Source = "全部站点";
    job.Captions = QStringList{"序号", "数值"};
    job.Widths = {0, 0};
    job.Rows = rows;
    job.Cell = [onRow = std::move(onRow)](size_t row, int column) {
        if (column == 0 && onRow) onRow(row);
        return QString::number(row * static_cast<size_t>(column + 1));
    };
    return job;
}

// Waits on the worker until `go` is set; false when it never came.
bool WaitFor(const std::atomic<bool>& go) {
    for (int waited = 0; !go && waited < 30000; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return go;
}

}  // namespace

// The worker builds its own printer, fonts, layout and chart from what the
// window's thread hands over: the file it writes is the one the window's
// thread would have written, page for page, chart image included.
TEST(PrintReportOnWorker, PrintsTheSamePagesAsTheWindowsThread) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    QTemporaryDir dir;
    const auto rows = TwoHundred();
    THistoryPrintJob history;
    history.Source = "1号主变 (地址 1)";
    history.Begin = rows.back().DateTime;
    history.End = rows.front().DateTime;
    history.Chart = THistoryChartState{};
    const TReportPrintJob job =
        HistoryReportJob(history, std::make_shared<const std::vector<TTmpReading>>(rows));

    QPrinter here(QPrinter::HighResolution);
    ToPdf(here, dir.filePath("here.pdf"));
    const int expected = PrintReport(here, job);
    QPrinter there(QPrinter::HighResolution);
    ToPdf(there, dir.filePath("worker.pdf"));
    ASSERT_GE(expected, 3);
    const TWorkerPrintResult printed = PrintReportOnWorker(nullptr, there, job);
    EXPECT_EQ(printed.Pages, expected);
    EXPECT_TRUE(printed.Complete);

    EXPECT_EQ(PdfPages(dir.filePath("here.pdf")), expected);
    ASSERT_EQ(PdfPages(dir.filePath("worker.pdf")), expected);
    EXPECT_FALSE(QFile::exists(dir.filePath("worker.pdf") + kPrintSpoolSuffix));
    for (int p = 1; p <= expected; ++p) {
        const QStringList range{"-f", QString::number(p), "-l", QString::number(p), "-layout"};
        EXPECT_EQ(::Run(TC_PDFTOTEXT, range + QStringList{dir.filePath("worker.pdf"), "-"}),
                  ::Run(TC_PDFTOTEXT, range + QStringList{dir.filePath("here.pdf"), "-"}))
            << "page " << p;
    }
    EXPECT_EQ(::Run(TC_PDFFONTS, {dir.filePath("worker.pdf")}).count(" yes "),
              ::Run(TC_PDFFONTS, {dir.filePath("here.pdf")}).count(" yes "));
    const QString images = QStandardPaths::findExecutable("pdfimages");
    if (!images.isEmpty()) {
        // The chart is one image on page 1, of the same pixels' size.
        const auto imageRows = [&](const QString& file) {
            QStringList lines = ::Run(images.toUtf8().constData(), {"-list", file}).split('\n');
            lines = lines.mid(2);  // the list's heading
            QStringList sizes;
            for (const QString& line : lines) {
                const QStringList f = line.simplified().split(' ');
                if (f.size() > 4) sizes << f[0] + " " + f[3] + "x" + f[4];
            }
            return sizes;
        };
        const QString drawn = imageRows(dir.filePath("worker.pdf")).join('\n');
        EXPECT_FALSE(drawn.isEmpty());
        EXPECT_EQ(drawn.toStdString(),
                  imageRows(dir.filePath("here.pdf")).join('\n').toStdString());
    }
}

// The worker paints while the window's thread goes on: a row waits on the
// worker until the window's thread has turned its event loop many times.
// Were the pages painted on the window's thread, the wait would time out.
TEST(PrintReportOnWorker, WindowKeepsTurningItsEventLoopWhileAPagePrints) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    QTemporaryDir dir;
    QWidget parent;
    std::atomic<int> ticks{0};
    std::atomic<bool> enough{false};
    std::atomic<bool> releasedByTicks{false};
    std::atomic<int> onWindowThread{0};
    QThread* const windowThread = QThread::currentThread();
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        if (++ticks >= 100) enough = true;
    });
    tick.start();
    const TReportPrintJob job = NumberedJob(2000, [&](size_t row) {
        if (QThread::currentThread() == windowThread) ++onWindowThread;
        if (row == 100) releasedByTicks = WaitFor(enough);
    });
    QPrinter printer(QPrinter::HighResolution);
    ToPdf(printer, dir.filePath("long.pdf"));
    const int pages = ReportPrintPageCount(printer, job);
    ASSERT_GT(pages, 10);
    EXPECT_EQ(PrintReportOnWorker(&parent, printer, job).Pages, pages);
    EXPECT_TRUE(releasedByTicks);
    EXPECT_EQ(onWindowThread, 0);
    EXPECT_EQ(PdfPages(dir.filePath("long.pdf")), pages);
    EXPECT_EQ(parent.findChild<QProgressDialog*>("PrintProgress"), nullptr);
}

// "取消" while a page is being painted: the worker stops before the next
// page, the call returns, and neither the file nor its spool is left.
TEST(PrintReportOnWorker, CancelStopsTheWorkerAndLeavesNoFile) {
    QTemporaryDir dir;
    QWidget parent;
    std::atomic<bool> reached{false};
    std::atomic<bool> pressed{false};
    std::atomic<size_t> highest{0};
    const TReportPrintJob job = NumberedJob(20000, [&](size_t row) {
        highest = std::max(highest.load(), row);
        if (row == 200) {
            reached = true;
            WaitFor(pressed);
        }
    });
    const TCancelPresser operatorHand(parent, "PrintProgress", kPrintProgressText, reached,
                                      pressed);
    QPrinter printer(QPrinter::HighResolution);
    ToPdf(printer, dir.filePath("cut.pdf"));
    const int pages = ReportPrintPageCount(printer, job);
    const TWorkerPrintResult result = PrintReportOnWorker(&parent, printer, job);
    const int printed = result.Pages;
    EXPECT_FALSE(result.Complete);
    EXPECT_TRUE(pressed);
    EXPECT_GE(printed, 1);
    EXPECT_LT(printed, pages);
    // The page being painted is finished, then nothing more.
    const size_t perPage = 20000 / static_cast<size_t>(pages - 1) + 1;
    EXPECT_LT(highest, 200 + 2 * perPage);
    EXPECT_FALSE(QFile::exists(dir.filePath("cut.pdf")));
    EXPECT_FALSE(QFile::exists(dir.filePath("cut.pdf") + kPrintSpoolSuffix));
}

// The window closes mid-print (its progress dialog with it): the worker is
// stopped and waited for, and the call returns without touching either.
TEST(PrintReportOnWorker, ClosingTheWindowStopsThePrintAndWaitsForIt) {
    QTemporaryDir dir;
    QPointer<QWidget> parent = new QWidget;
    std::atomic<bool> reached{false};
    std::atomic<bool> closed{false};
    const TReportPrintJob job = NumberedJob(20000, [&](size_t row) {
        if (row == 200) {
            reached = true;
            WaitFor(closed);
        }
    });
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (!reached || closed) return;
        delete parent.data();
        closed = true;
    });
    closer.start(1);
    QPrinter printer(QPrinter::HighResolution);
    ToPdf(printer, dir.filePath("closed.pdf"));
    const int pages = ReportPrintPageCount(printer, job);
    EXPECT_LT(PrintReportOnWorker(parent.data(), printer, job).Pages, pages);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(parent.isNull());
    EXPECT_FALSE(QFile::exists(dir.filePath("closed.pdf")));
    EXPECT_FALSE(QFile::exists(dir.filePath("closed.pdf") + kPrintSpoolSuffix));
}

// The preview paints on the window's thread only the pages in view, so a
// report of hundreds of pages opens at once; its print button's pages go to
// a worker like any long print.
TEST(PrintWithPreview, ThePreviewPaintsThePagesInViewAndPrintsOnAWorker) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    QTemporaryDir dir;
    QWidget parent;
    QThread* const windowThread = QThread::currentThread();
    std::atomic<int> onWindowThread{0};
    std::atomic<int> onWorker{0};
    constexpr size_t kRows = 20000;  // some 600 landscape pages
    const TReportPrintJob job = NumberedJob(kRows, [&](size_t) {
        ++(QThread::currentThread() == windowThread ? onWindowThread : onWorker);
    });
    int previewed = -1;
    int pagesPainted = 0;
    int expected = 0;
    int printed = 0;
    TScopedModalRunner runner([&](QDialog& dialog) {
        auto* preview = dynamic_cast<TPrintPreview*>(&dialog);
        if (preview == nullptr) return static_cast<int>(QDialog::Rejected);
        preview->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return preview->ViewComplete(); }, 30000));
        previewed = onWindowThread;
        pagesPainted = preview->PagesPainted();
        QPrinter& printer = preview->Printer();
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.filePath("printed.pdf"));
        expected = ReportPrintPageCount(printer, job);
        printed = preview->PrintNow();
        preview->hide();
        return preview->result();
    });
    PrintWithPreview(&parent, job);
    // A page or two in view, each asked only for its own rows.
    EXPECT_GE(pagesPainted, 1);
    EXPECT_LE(pagesPainted, 3);
    EXPECT_GT(previewed, 0);
    EXPECT_LT(previewed, 3 * 40);
    EXPECT_EQ(onWindowThread, previewed);
    EXPECT_EQ(onWorker, static_cast<int>(kRows));
    ASSERT_GT(expected, 300);
    EXPECT_EQ(printed, expected);
    EXPECT_EQ(PdfPages(dir.filePath("printed.pdf")), expected);
}

// The printer a worker makes is set up as the print dialog left the one it
// was given: page, margins, resolution, copies and the document's name.
TEST(PrintWorker, MadePrinterKeepsTheDialogsSettings) {
    QTemporaryDir dir;
    QPrinter chosen(QPrinter::HighResolution);
    chosen.setOutputFormat(QPrinter::PdfFormat);
    chosen.setOutputFileName(dir.filePath("a3.pdf"));
    chosen.setPageLayout(QPageLayout(QPageSize(QPageSize::A3), QPageLayout::Portrait,
                                     QMarginsF(11, 12, 13, 14), QPageLayout::Millimeter));
    chosen.setResolution(600);
    chosen.setCopyCount(3);
    chosen.setCollateCopies(false);
    chosen.setColorMode(QPrinter::GrayScale);
    chosen.setDocName("历史数据报表");
    chosen.setFullPage(true);

    const std::unique_ptr<QPrinter> made = MakePrinter(CapturePrinterSettings(chosen));
    EXPECT_EQ(made->outputFormat(), QPrinter::PdfFormat);
    EXPECT_EQ(made->outputFileName(), dir.filePath("a3.pdf"));
    EXPECT_TRUE(made->pageLayout().isEquivalentTo(chosen.pageLayout()));
    EXPECT_EQ(made->pageLayout().margins(QPageLayout::Millimeter), QMarginsF(11, 12, 13, 14));
    EXPECT_EQ(made->resolution(), 600);
    EXPECT_EQ(made->copyCount(), 3);
    EXPECT_FALSE(made->collateCopies());
    EXPECT_EQ(made->colorMode(), QPrinter::GrayScale);
    EXPECT_EQ(made->docName(), "历史数据报表");
    EXPECT_TRUE(made->fullPage());
    EXPECT_EQ(made->pageRect(QPrinter::DevicePixel), chosen.pageRect(QPrinter::DevicePixel));
}
