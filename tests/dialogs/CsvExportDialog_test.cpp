// "导出..." on the history panel and the export machinery behind it: the save
// dialog seam, the file against what the report shows, cancel and failure.

#include "dialogs/CsvExportDialog.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QDateTime>
#include <QProgressDialog>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/ProgressTestSupport.h"
#include "dialogs/Prompts.h"
#include "dialogs/Samples.h"
#include "store/CsvTestReader.h"
#include "store/StoreTestSupport.h"

namespace fs = std::filesystem;

namespace {

class CsvExportDialogTest : public testing::Test {
  protected:
    CsvExportDialogTest()
        : Dialog([this](QWidget*, const QString& suggested, const QString& filter) {
              Suggested << suggested;
              Filters << filter;
              return NextPath;
          }),
          Messages([this](QWidget*, const QString& text) { Shown << text; }) {}

    bool DirIsEmpty() const { return fs::is_empty(Dir.Dir()); }

    storetest::TTempDir Dir;
    QString NextPath;
    QStringList Suggested;
    QStringList Filters;
    QStringList Shown;
    TScopedSaveFileDialog Dialog;
    TScopedMessageHandler Messages;
};

csvtest::TRecords ReadExport(const std::string& path) {
    const std::string bytes = csvtest::ReadBytes(path);
    EXPECT_EQ(bytes.compare(0, 3, "\xEF\xBB\xBF"), 0);
    auto records = csvtest::ParseCsv(bytes.size() >= 3 ? bytes.substr(3) : std::string());
    EXPECT_TRUE(records.has_value());
    return records.value_or(csvtest::TRecords{});
}

auto NumberRows(size_t columns) {
    return [columns](size_t i, TCsvRow& row) { row.assign(columns, std::to_string(i)); };
}

}  // namespace

TEST_F(CsvExportDialogTest, ExportButtonWritesExactlyTheRowsTheReportShows) {
    THistoryPanel panel({});
    // A faulty sensor, no iron-core sensor, every relay combination, midnight.
    const auto list =
        MinuteSamples(40, EncodeDateTime(2024, 1, 2, 23, 30), [](size_t k, TDateTime t) {
            return Sample(t, static_cast<uint16_t>(k == 7 ? 300 : 60 + k), 66, 67,
                          static_cast<uint16_t>(k % 3 == 0 ? 0 : 90), static_cast<uint8_t>(k % 16));
        });
    panel.ShowReadings(Borrowed(list),
                       {"1号变 - 温控器", EncodeDateTime(2024, 1, 2), EncodeDateTime(2024, 1, 3)});
    EXPECT_EQ(panel.ExportButton()->text(), "导出...");
    NextPath = QString::fromStdString(Dir.File("导出.csv"));
    panel.ExportButton()->click();

    ASSERT_EQ(Suggested, QStringList{"1号变 - 温控器_2024-1-2_2024-1-3.csv"});
    EXPECT_EQ(Filters, QStringList{kExportFileFilter});
    EXPECT_TRUE(Shown.isEmpty());
    const csvtest::TRecords records = ReadExport(Dir.File("导出.csv"));
    QAbstractItemModel* model = panel.ReportView()->model();
    ASSERT_EQ(records.size(), static_cast<size_t>(model->rowCount()) + 1);
    ASSERT_EQ(records[0].size(), static_cast<size_t>(kHistoryColumnCount));
    for (int c = 0; c < kHistoryColumnCount; ++c) {
        EXPECT_EQ(QString::fromStdString(records[0][static_cast<size_t>(c)]),
                  model->headerData(c, Qt::Horizontal).toString());
    }
    for (int r = 0; r < model->rowCount(); ++r) {
        const auto& fields = records[static_cast<size_t>(r) + 1];
        ASSERT_EQ(fields.size(), static_cast<size_t>(kHistoryColumnCount)) << r;
        // The same instant as the report's time, in the form spreadsheets read.
        const QString shown = model->data(model->index(r, kColTime)).toString();
        const QDateTime reportTime =
            shown.contains(' ') ? QDateTime::fromString(shown, "yyyy-M-d H:mm:ss")
                                : QDateTime::fromString(shown + " 0:00:00", "yyyy-M-d H:mm:ss");
        const QDateTime csvTime =
            QDateTime::fromString(QString::fromStdString(fields[0]), "yyyy-MM-dd HH:mm:ss");
        ASSERT_TRUE(csvTime.isValid()) << fields[0];
        EXPECT_EQ(csvTime, reportTime) << r;
        for (int c = 1; c < kHistoryColumnCount; ++c) {
            EXPECT_EQ(QString::fromStdString(fields[static_cast<size_t>(c)]),
                      model->data(model->index(r, c)).toString())
                << r << "," << c;
        }
    }
}

TEST_F(CsvExportDialogTest, CancelledSaveDialogDoesNothing) {
    THistoryPanel panel({});
    const auto list = MinuteSamples(3, EncodeDateTime(2024, 1, 2),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0); });
    panel.ShowReadings(Borrowed(list), {"站点", 0, 0});
    NextPath.clear();
    panel.ExportButton()->click();
    EXPECT_EQ(Suggested, QStringList{"站点.csv"});
    EXPECT_TRUE(Shown.isEmpty());
    EXPECT_TRUE(DirIsEmpty());
}

TEST_F(CsvExportDialogTest, CancelInTheProgressDialogLeavesNoFile) {
    QWidget parent;
    NextPath = QString::fromStdString(Dir.File("big.csv"));
    const size_t rows = 10 * kCsvProgressStep;
    std::atomic<size_t> asked{0};
    // The operator presses "取消" while the rows are being written: the
    // writer (on its worker) waits at a row until the window's thread has
    // pressed it.
    std::atomic<bool> reached{false};
    std::atomic<bool> pressed{false};
    auto source = [&](size_t i, TCsvRow& row) {
        ++asked;
        if (i == 3 * kCsvProgressStep + 1) {
            reached = true;
            for (int waited = 0; !pressed && waited < 30000; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        row = {std::to_string(i)};
    };
    const TCancelPresser operatorHand(parent, "ExportProgress", kExportProgressText, reached,
                                      pressed);
    EXPECT_FALSE(ExportRowsToCsv(&parent, "big.csv", {"n"}, rows, source));
    EXPECT_TRUE(pressed);
    EXPECT_LT(asked, 5 * kCsvProgressStep);
    EXPECT_TRUE(Shown.isEmpty());
    EXPECT_TRUE(DirIsEmpty());
}

// The file is written on a worker: the window's thread runs its event loop
// (a timer fires) while a row is being made, and the file holds every row.
TEST_F(CsvExportDialogTest, RowsAreWrittenOffTheWindowsThreadWhileItsEventsRun) {
    QWidget parent;
    NextPath = QString::fromStdString(Dir.File("rows.csv"));
    std::atomic<bool> ticked{false};
    std::atomic<bool> tickedWhileWriting{false};
    std::atomic<int> onWindowThread{0};
    QThread* const windowThread = QThread::currentThread();
    QTimer::singleShot(0, &parent, [&] { ticked = true; });
    auto source = [&](size_t i, TCsvRow& row) {
        if (QThread::currentThread() == windowThread) ++onWindowThread;
        if (i == 0) {
            for (int waited = 0; !ticked && waited < 5000; ++waited) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            tickedWhileWriting = ticked.load();
        }
        row = {std::to_string(i)};
    };
    EXPECT_TRUE(ExportRowsToCsv(&parent, "rows.csv", {"n"}, 3 * kCsvProgressStep, source));
    EXPECT_TRUE(tickedWhileWriting);
    EXPECT_EQ(onWindowThread, 0);
    EXPECT_TRUE(Shown.isEmpty());
    std::ifstream file(Dir.File("rows.csv"));
    size_t lines = 0;
    for (std::string line; std::getline(file, line);) ++lines;
    EXPECT_EQ(lines, 3 * kCsvProgressStep + 1);
}

TEST_F(CsvExportDialogTest, FailureIsReportedAndLeavesNothing) {
    QWidget parent;
    // The chosen name is a folder: written in full, then refused at the rename.
    fs::create_directory(Dir.File("taken.csv"));
    NextPath = QString::fromStdString(Dir.File("taken.csv"));
    EXPECT_FALSE(ExportRowsToCsv(&parent, "x.csv", {"n"}, 100, NumberRows(1)));
    ASSERT_EQ(Shown.size(), 1);
    EXPECT_EQ(Shown[0], "导出失败！\n已有同名的文件夹。");
    EXPECT_EQ(fs::directory_iterator(Dir.Dir())->path().filename(), "taken.csv");
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir.Dir()), fs::directory_iterator()), 1);

    // A read-only folder (root writes there regardless, so only its reason
    // text is checked then).
    fs::create_directory(Dir.File("ro"));
    fs::permissions(Dir.File("ro"), fs::perms::owner_read | fs::perms::owner_exec);
    NextPath = QString::fromStdString(Dir.File("ro/out.csv"));
    Shown.clear();
    const bool written = ExportRowsToCsv(&parent, "x.csv", {"n"}, 100, NumberRows(1));
    if (::geteuid() != 0) {
        EXPECT_FALSE(written);
        EXPECT_EQ(Shown, QStringList{"导出失败！\n没有写入该位置的权限。"});
        EXPECT_TRUE(fs::is_empty(Dir.File("ro")));
    }
    EXPECT_EQ(ExportFailureText(ECsvExportError(EACCES)), "导出失败！\n没有写入该位置的权限。");
}

TEST(CsvExportFileName, NamesSourceAndRangeAndReplacesWhatNoFileNameHolds) {
    EXPECT_EQ(
        ExportFileName("1号变", EncodeDateTime(2006, 3, 1, 19, 51, 47), EncodeDateTime(2006, 3, 2)),
        "1号变_2006-3-1_2006-3-2.csv");
    EXPECT_EQ(ExportFileName("A/B:C*", 0, 0), "A_B_C_.csv");
    EXPECT_EQ(ExportFileName("", 0, 0), "导出.csv");
}
