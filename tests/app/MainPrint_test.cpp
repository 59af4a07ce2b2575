// "打印..." of the main window's history page and of the backup viewer: the
// print preview each opens renders what is shown (its station or file, its
// range and its rows) into a PDF file, read back with poppler-utils.

#include <gtest/gtest.h>

#include <string_view>

#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "app/MainForm.h"
#include "app/WindowTestSupport.h"
#include "dialogs/BackUpLocationFrm.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryPrint.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/PrintPreview.h"
#include "dialogs/QueryTestSupport.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

namespace {

constexpr int kSampleCount = 200;
const TDateTime kFirst = EncodeDateTime(2024, 7, 1, 6);
constexpr double kMinute = 1.0 / 1440.0;

bool HasPdfTools() {
    return !std::string_view(TC_PDFTOTEXT).empty() && !std::string_view(TC_PDFINFO).empty();
}

QString Run(const char* program, const QStringList& args) {
    QProcess process;
    process.start(QString::fromUtf8(program), args);
    if (!process.waitForFinished(60000) || process.exitCode() != 0) return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// 200 samples one minute apart from kFirst, in the file `path`.
void WriteSamples(const std::string& path) {
    THisInfoDbMgr mgr(path, false);
    for (int i = 0; i < kSampleCount; ++i) {
        mgr.AddReading(1, static_cast<uint16_t>(60 + i % 100), 66, 67, 0, 0x02,
                       kFirst + i * kMinute);
    }
}

struct TPrinted {
    int Previews = 0;
    int Pages = 0;          // what pdfinfo counts
    QStringList PageText;   // pdftotext -layout, one entry per page
    THistoryPrintJob Job;   // what the panel printed
    int ExpectedPages = 0;  // the job's pages on the preview's printer
};

// Clicks `button`; the preview it opens paints into a PDF file as it would
// into its own pages.
TPrinted PrintThrough(QPushButton* button, THistoryPanel& panel) {
    TPrinted printed;
    QTemporaryDir dir;
    const QString path = dir.filePath("printed.pdf");
    TScopedModalRunner runner([&](QDialog& dialog) {
        auto* preview = dynamic_cast<TPrintPreview*>(&dialog);
        if (preview == nullptr) {
            ADD_FAILURE() << "unexpected dialog " << dialog.objectName().toStdString();
            return static_cast<int>(QDialog::Rejected);
        }
        ++printed.Previews;
        QPrinter* printer = &preview->Printer();
        printer->setOutputFormat(QPrinter::PdfFormat);
        printer->setOutputFileName(path);
        printer->setPageSize(QPageSize(QPageSize::A4));
        printed.Job = panel.PrintJob();
        printed.ExpectedPages = HistoryPrintPageCount(*printer, printed.Job);
        preview->PrintNow();
        return static_cast<int>(QDialog::Accepted);
    });
    QTest::mouseClick(button, Qt::LeftButton);
    for (const QString& line : Run(TC_PDFINFO, {path}).split('\n')) {
        if (line.startsWith("Pages:")) printed.Pages = line.mid(6).trimmed().toInt();
    }
    for (int p = 1; p <= printed.Pages; ++p) {
        printed.PageText << Run(TC_PDFTOTEXT, {"-f", QString::number(p), "-l", QString::number(p),
                                               "-layout", path, "-"});
    }
    return printed;
}

// Whether the printed page shows `source`. The PDF's text layer drops the
// digits of an all-Latin title line (the page shows them,
// a blank in their place), so digits are compared on the range and the rows.
bool ShowsSource(const QString& page, const QString& source) {
    static const QRegularExpression kDigitsAndBlanks("[0-9\\s]");
    QString letters = source;
    QString text = page;
    return text.remove(kDigitsAndBlanks).contains(letters.remove(kDigitsAndBlanks));
}

// Every sample's time once, newest first, on the report pages after the
// title page, and as many pages as the rows need.
void ExpectAllRowsInOrder(const TPrinted& printed) {
    ASSERT_GE(printed.Pages, 3);
    EXPECT_EQ(printed.Pages, printed.ExpectedPages);
    int next = kSampleCount - 1;
    std::vector<int> rowsOnPage;
    for (int p = 1; p < printed.Pages; ++p) {
        int onPage = 0;
        for (const QString& line : printed.PageText[p].split('\n')) {
            const QString time = line.trimmed().section(' ', 0, 1);
            if (next >= 0 &&
                time == QString::fromStdString(DateTimeToText(kFirst + next * kMinute))) {
                // Date, time, then the A phase in degrees.
                const QStringList cells = line.simplified().split(' ');
                ASSERT_GE(cells.size(), 3) << line.toStdString();
                EXPECT_EQ(cells[2], QString::number(60 + next % 100 - 40)) << line.toStdString();
                --next;
                ++onPage;
            }
        }
        rowsOnPage.push_back(onPage);
    }
    EXPECT_EQ(next, -1) << "rows missing or out of order";
    // Full report pages but the last: no page more than the rows need.
    const int perPage = rowsOnPage.front();
    EXPECT_EQ(printed.Pages - 1, (kSampleCount + perPage - 1) / perPage);
}

}  // namespace

TEST(MainPrint, TheHistoryPagePrintsTheSelectedStationItsRangeAndEveryRow) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    TProgramDir dir;
    dir.MissingPort(1);
    RegisterStations(dir, {{1, 1, "T1", "TC-A"}});
    WriteSamples(HistoryFileName(dir.Path(), 1));
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    Select(*window, 0);
    const TDateTime begin = kFirst - kMinute;
    const TDateTime end = kFirst + 300 * kMinute;
    window->HistoryPanel()->SetBeginTime(begin);
    window->HistoryPanel()->SetEndTime(end);
    window->Button1Click();
    ASSERT_TRUE(querytest::QueryEnded(*window->HistoryPanel()));
    ASSERT_EQ(ReportRows(*window), kSampleCount);

    const TPrinted printed =
        PrintThrough(window->HistoryPanel()->PrintButton(), *window->HistoryPanel());
    EXPECT_EQ(printed.Previews, 1);
    EXPECT_EQ(printed.Job.Source, "T1 - TC-A");
    EXPECT_EQ(printed.Job.Begin, begin);
    EXPECT_EQ(printed.Job.End, end);
    ASSERT_FALSE(printed.PageText.isEmpty());
    EXPECT_TRUE(ShowsSource(printed.PageText[0], "T1 - TC-A")) << printed.PageText[0].toStdString();
    EXPECT_TRUE(printed.PageText[0].contains(QString::fromStdString(DateTimeToText(begin))));
    EXPECT_TRUE(printed.PageText[0].contains(QString::fromStdString(DateTimeToText(end))));
    EXPECT_TRUE(printed.PageText[0].contains("200"));
    ExpectAllRowsInOrder(printed);
    // The report pages repeat the station and range above the header.
    EXPECT_TRUE(ShowsSource(printed.PageText[1], "T1 - TC-A"));
    EXPECT_TRUE(ShowsSource(printed.PageText.back(), "T1 - TC-A"));
}

TEST(MainPrint, TheBackUpViewerPrintsTheOpenFileItsRangeAndEveryRow) {
    if (!HasPdfTools()) GTEST_SKIP() << "poppler-utils missing";
    TProgramDir dir;
    dir.MissingPort(1);
    RegisterStations(dir, {{1, 1, "T1", "TC-A"}});
    const std::string file = dir.File("backup/1/2024-7-1.dt");
    WriteSamples(file);
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    window->BackUpQueryClick();
    TBackUpLocationForm* viewer = window->BackUpViewer();
    ASSERT_NE(viewer, nullptr);
    viewer->SetOpenFileDialog(
        [&](QWidget*, const QString&) { return QString::fromStdString(file); });
    QTest::mouseClick(viewer->OpenFileButton(), Qt::LeftButton);
    const TDateTime begin = kFirst;
    const TDateTime end = kFirst + (kSampleCount - 1) * kMinute;
    viewer->HistoryPanel()->SetBeginTime(begin);
    viewer->HistoryPanel()->SetEndTime(end);
    QTest::mouseClick(viewer->HistoryPanel()->QueryButton(), Qt::LeftButton);
    ASSERT_TRUE(querytest::QueryEnded(*viewer->HistoryPanel()));
    ASSERT_EQ(viewer->Results().size(), static_cast<size_t>(kSampleCount));

    const TPrinted printed =
        PrintThrough(viewer->HistoryPanel()->PrintButton(), *viewer->HistoryPanel());
    EXPECT_EQ(printed.Previews, 1);
    EXPECT_EQ(printed.Job.Source.toStdString(), file);
    ASSERT_FALSE(printed.PageText.isEmpty());
    EXPECT_TRUE(ShowsSource(printed.PageText[0], QString::fromStdString(file)))
        << printed.PageText[0].toStdString();
    EXPECT_TRUE(printed.PageText[0].contains(QString::fromStdString(DateTimeToText(begin))));
    EXPECT_TRUE(printed.PageText[0].contains(QString::fromStdString(DateTimeToText(end))));
    ExpectAllRowsInOrder(printed);

    // After a second query over fewer samples the printout follows it.
    viewer->HistoryPanel()->SetEndTime(kFirst + 9 * kMinute);
    viewer->QueryButtonClick();
    ASSERT_TRUE(querytest::QueryEnded(*viewer->HistoryPanel()));
    const TPrinted shorter =
        PrintThrough(viewer->HistoryPanel()->PrintButton(), *viewer->HistoryPanel());
    ASSERT_EQ(shorter.Job.Readings->size(), 10u);
    EXPECT_EQ(shorter.Pages, 2);
    EXPECT_TRUE(
        shorter.PageText[0].contains(QString::fromStdString(DateTimeToText(kFirst + 9 * kMinute))));
}
