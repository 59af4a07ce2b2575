#include "dialogs/HistoryPrint.h"

#include <gtest/gtest.h>

#include <string_view>

#include <QFontDatabase>
#include <QPrinter>
#include <QProcess>
#include <QRawFont>
#include <QTemporaryDir>

#include "dialogs/HistoryReport.h"
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
