// "导出..." of the main window's history page and of the backup viewer: the
// file holds exactly the rows the report shows, in its order, read back with
// a strict CSV reader.

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QDateTime>
#include <QPushButton>
#include <QTest>

#include "app/MainForm.h"
#include "app/WindowTestSupport.h"
#include "dialogs/BackUpLocationFrm.h"
#include "dialogs/CsvExportDialog.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/Prompts.h"
#include "dialogs/QueryTestSupport.h"
#include "store/CsvTestReader.h"
#include "store/DateTime.h"
#include "store/HisInfoDbMgr.h"
#include "store/StorePaths.h"

namespace {

constexpr int kSampleCount = 150;
const TDateTime kFirst = EncodeDateTime(2024, 7, 1, 6);
constexpr double kMinute = 1.0 / 1440.0;

void WriteSamples(const std::string& path) {
    THisInfoDbMgr mgr(path, false);
    for (int i = 0; i < kSampleCount; ++i) {
        mgr.AddReading(1, static_cast<uint16_t>(60 + i % 100), 66, i % 50 == 0 ? 300 : 67,
                       static_cast<uint16_t>(i % 2 == 0 ? 0 : 95), static_cast<uint8_t>(i % 16),
                       kFirst + i * kMinute);
    }
}

struct TExported {
    QStringList Suggested;
    QStringList Messages;
    csvtest::TRecords Records;
};

// Clicks the panel's "导出..." with the save dialog answering `path`.
TExported ExportThrough(THistoryPanel& panel, const std::string& path) {
    TExported exported;
    TScopedSaveFileDialog dialog([&](QWidget*, const QString& suggested, const QString&) {
        exported.Suggested << suggested;
        return QString::fromStdString(path);
    });
    TScopedMessageHandler messages(
        [&](QWidget*, const QString& text) { exported.Messages << text; });
    QTest::mouseClick(panel.ExportButton(), Qt::LeftButton);
    const std::string bytes = csvtest::ReadBytes(path);
    EXPECT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
    exported.Records = csvtest::ParseCsv(bytes.size() >= 3 ? bytes.substr(3) : std::string())
                           .value_or(csvtest::TRecords{});
    return exported;
}

// Row for row and cell for cell what the report shows; the time as the same
// instant in the spreadsheet form.
void ExpectReportRows(const csvtest::TRecords& records, const THistoryPanel& panel) {
    const QAbstractItemModel* model = panel.ReportView()->model();
    ASSERT_EQ(records.size(), static_cast<size_t>(model->rowCount()) + 1);
    for (int r = 0; r < model->rowCount(); ++r) {
        const auto& fields = records[static_cast<size_t>(r) + 1];
        ASSERT_EQ(fields.size(), static_cast<size_t>(kHistoryColumnCount));
        const TDateTime time = (*panel.Readings())[static_cast<size_t>(r)].DateTime;
        EXPECT_EQ(model->data(model->index(r, 0)).toString().toStdString(), DateTimeToText(time));
        EXPECT_EQ(fields[0], FormatIsoDateTime(time).substr(0, 19)) << r;
        for (int c = 1; c < kHistoryColumnCount; ++c) {
            EXPECT_EQ(QString::fromStdString(fields[static_cast<size_t>(c)]),
                      model->data(model->index(r, c)).toString())
                << r << "," << c;
        }
    }
}

}  // namespace

TEST(MainExport, TheHistoryPageExportsTheSelectedStationsShownRows) {
    TProgramDir dir;
    dir.MissingPort(1);
    RegisterStations(dir, {{1, 1, "T1", "TC-A"}});
    WriteSamples(HistoryFileName(dir.Path(), 1));
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    Select(*window, 0);
    window->HistoryPanel()->SetBeginTime(kFirst + 10 * kMinute);
    window->HistoryPanel()->SetEndTime(kFirst + 120 * kMinute);
    window->Button1Click();
    ASSERT_TRUE(querytest::QueryEnded(*window->HistoryPanel()));
    ASSERT_GT(ReportRows(*window), 100);

    const TExported exported = ExportThrough(*window->HistoryPanel(), dir.File("out.csv"));
    EXPECT_TRUE(exported.Messages.isEmpty());
    ASSERT_EQ(exported.Suggested.size(), 1);
    EXPECT_TRUE(exported.Suggested[0].startsWith("T1 - TC-A_2024-7-1_2024-7-1"))
        << exported.Suggested[0].toStdString();
    ExpectReportRows(exported.Records, *window->HistoryPanel());
}

TEST(MainExport, TheBackUpViewerExportsTheOpenFilesShownRows) {
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
    viewer->HistoryPanel()->SetBeginTime(kFirst);
    viewer->HistoryPanel()->SetEndTime(kFirst + (kSampleCount - 1) * kMinute);
    QTest::mouseClick(viewer->HistoryPanel()->QueryButton(), Qt::LeftButton);
    ASSERT_TRUE(querytest::QueryEnded(*viewer->HistoryPanel()));
    ASSERT_EQ(viewer->Results().size(), static_cast<size_t>(kSampleCount));

    const TExported exported = ExportThrough(*viewer->HistoryPanel(), dir.File("viewer.csv"));
    EXPECT_TRUE(exported.Messages.isEmpty());
    // Named after the file, not its folders.
    EXPECT_EQ(exported.Suggested, QStringList{"2024-7-1_2024-7-1_2024-7-1.csv"});
    ExpectReportRows(exported.Records, *viewer->HistoryPanel());
}
