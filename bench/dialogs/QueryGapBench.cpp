// How long the window's event loop stalls while a year-long history query,
// a CSV export of a year of one-minute rows and a print of a long report
// run: a 0 ms timer ticks throughout, and the longest interval between two
// ticks is the stall. Each operation runs once on the window's thread (the
// way it used to) and once the way the window runs it now.
//
//   dialogs_gap_bench                    the year file goes to $TMPDIR, removed
//   QUERY_BENCH_FILE=path dialogs_gap_bench   the year file is kept, reused
//   QUERY_BENCH_ONLY=show dialogs_gap_bench    one part: query, show, export or print
//
// For the query it also reports how long the reader held its file lock
// (from /proc/locks), which is how long the recorder's appends wait.

#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "common/YearOfSamples.h"
#include "dialogs/CsvExportDialog.h"
#include "dialogs/HistoryChart.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryPrint.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/PrintPreview.h"
#include "dialogs/Prompts.h"
#include "engine/VeltDatabase.h"
#include "store/CsvExport.h"
#include "store/HisInfoDbMgr.h"

namespace {

constexpr int64_t kYearAtFiveSeconds = 6307200;
constexpr double kScan = 5.0 / 86400.0;
const TDateTime kFirstSample = EncodeDateTime(2024, 1, 1);

std::string MakeYearFile(const std::string& file) {
    std::error_code error;
    if (std::filesystem::exists(file, error)) return file;
    std::printf("writing %lld samples to %s ...\n", static_cast<long long>(kYearAtFiveSeconds),
                file.c_str());
    std::fflush(stdout);
    THisInfoDbMgr writer(file, false);
    // One file access around many appends instead of one per append.
    constexpr int64_t kBatch = 100000;
    for (int64_t k = 0; k < kYearAtFiveSeconds; ++k) {
        if (k % kBatch == 0) writer.Database()->BeginAccess();
        const auto raw = static_cast<uint16_t>(60 + k % 50);
        writer.AddReading(1, raw, raw, raw, 0, 0x02, kFirstSample + static_cast<double>(k) * kScan);
        if (k % kBatch == kBatch - 1 || k == kYearAtFiveSeconds - 1) writer.Database()->EndAccess();
    }
    return file;
}

// True while /proc/locks lists a lock on the file's inode.
bool FileLocked(ino_t inode) {
    std::ifstream locks("/proc/locks");
    const std::string key = ":" + std::to_string(inode) + " ";
    for (std::string line; std::getline(locks, line);) {
        if (line.find(key) != std::string::npos) return true;
    }
    return false;
}

struct TGaps {
    qint64 LongestGapMs = 0;
    qint64 TotalMs = 0;
    qint64 LongestLockMs = -1;  // -1: not watched
    int Ticks = 0;
};

// Runs Start from the event loop, then the loop until Done, a 0 ms timer
// measuring the intervals between its ticks.
TGaps MeasureGaps(const std::function<void()>& start, const std::function<bool()>& done,
                  ino_t watchedInode = 0) {
    TGaps gaps;
    QEventLoop loop;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 lockedSince = -1;
    if (watchedInode != 0) gaps.LongestLockMs = 0;
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        const qint64 now = clock.elapsed();
        gaps.LongestGapMs = std::max(gaps.LongestGapMs, now - last);
        last = now;
        ++gaps.Ticks;
        if (watchedInode != 0) {
            if (FileLocked(watchedInode)) {
                if (lockedSince < 0) lockedSince = now;
                gaps.LongestLockMs = std::max(gaps.LongestLockMs, now - lockedSince);
            } else {
                lockedSince = -1;
            }
        }
        if (done()) loop.quit();
    });
    clock.start();
    tick.start();
    QTimer::singleShot(0, &loop, start);
    loop.exec();
    gaps.TotalMs = clock.elapsed();
    return gaps;
}

void Print(const char* what, const TGaps& gaps) {
    std::printf("%-58s longest gap %6lld ms   total %6lld ms   ticks %7d", what,
                static_cast<long long>(gaps.LongestGapMs), static_cast<long long>(gaps.TotalMs),
                gaps.Ticks);
    if (gaps.LongestLockMs >= 0) {
        std::printf("   lock held %lld ms", static_cast<long long>(gaps.LongestLockMs));
    }
    std::printf("\n");
    std::fflush(stdout);
}

// The year's rows shown on a history page: the report and the chart of
// the whole range, as the window gets them from the query.
void BenchShow(const std::string& file, TDateTime begin, TDateTime end) {
    auto list = std::make_shared<std::vector<TTmpReading>>();
    {
        THisInfoDbMgr reader(file, THisInfoDbMgr::TSharedRead{});
        reader.QueryReadings(*list, begin, end);
    }
    const TReadingList rows = std::move(list);
    THistoryPanel panel(THistoryPanelOptions{});
    panel.resize(1200, 800);
    panel.show();
    QApplication::processEvents();
    const THistoryTitle title{QStringLiteral("1号主变 - 温控器"), begin, end};

    // Rows painted once, so that no first-time cost (fonts) is measured.
    panel.ShowReadings(
        std::make_shared<const std::vector<TTmpReading>>(rows->begin(), rows->begin() + 100),
        title);
    QApplication::processEvents();
    panel.ClearReadings();
    QApplication::processEvents();

    // Before: the chart indexed the list on the window's thread.
    bool finished = false;
    panel.Chart()->SetIndexAwayRowsForTest(std::numeric_limits<size_t>::max());
    Print("year shown, chart's index built on the window thread (before)",
          MeasureGaps(
              [&] {
                  panel.ShowReadings(rows, title);
                  finished = true;
              },
              [&] { return finished; }));
    panel.ClearReadings();
    QApplication::processEvents();
    // Now: indexed on the chart's worker, the lines drawn when it is done;
    // measured until they are.
    panel.Chart()->SetIndexAwayRowsForTest(THistoryChart::kIndexAwayRows);
    Print("year shown, chart's index built on its worker (now)",
          MeasureGaps([&] { panel.ShowReadings(rows, title); },
                      [&] { return !panel.Chart()->Indexing(); }));

    // "打印..." on the year shown, until its preview is up (and closed at
    // once). Before: the panel copied the rows for the print; now the print
    // shares the list.
    int previews = 0;
    const TScopedModalRunner closePreview([&](QDialog&) {
        ++previews;
        return static_cast<int>(QDialog::Rejected);
    });
    const auto pressPrint = [&](bool copy) {
        const int before = previews;
        return MeasureGaps(
            [&] {
                if (copy) {
                    const auto copied = std::make_shared<const std::vector<TTmpReading>>(*rows);
                    panel.Query()->LetGo(copied);
                }
                panel.PrintButton()->click();
            },
            [&] { return previews > before; });
    };
    Print("print pressed on the year shown, rows copied (before)", pressPrint(true));
    Print("print pressed on the year shown, rows shared (now)", pressPrint(false));
    panel.ClearReadings();
    QApplication::processEvents();

    // Now, as the history page does it: the query's worker reads the rows,
    // the window swaps them in and shows them, and the chart's worker
    // indexes them; measured until the lines are drawn. The second time, the
    // list shown until then is let go on the way.
    TReadingList shown;
    const auto queryAndShow = [&] {
        finished = false;
        return MeasureGaps(
            [&] {
                panel.Query()->Start(
                    [&](std::vector<TTmpReading>& list, const TWalkProgress& progress) {
                        THisInfoDbMgr reader(file, THisInfoDbMgr::TSharedRead{});
                        reader.QueryReadings(list, begin, end, progress);
                    },
                    [&](THistoryQuery::TResult& result) {
                        result.Replaced =
                            std::exchange(shown, std::make_shared<const std::vector<TTmpReading>>(
                                                     std::move(result.Rows)));
                        panel.ShowReadings(shown, title);
                        finished = true;
                    });
            },
            [&] { return finished && !panel.Chart()->Indexing(); });
    };
    Print("year queried and shown, lines indexed on the chart's worker (now)", queryAndShow());
    Print("the same again, replacing the year shown (now)", queryAndShow());
    panel.ClearReadings();
    QApplication::processEvents();
}

void BenchQuery(const std::string& file) {
    struct stat info {};
    ::stat(file.c_str(), &info);
    const TDateTime begin = kFirstSample - 1;
    const TDateTime end = kFirstSample + 400;
    size_t rows = 0;

    // The way it used to be: the window's thread opens the file (a station
    // whose manager was not open) and walks the year.
    bool finished = false;
    Print("query, window thread, open + walk (before)", MeasureGaps(
                                                            [&] {
                                                                THisInfoDbMgr mgr(file, false);
                                                                std::vector<TTmpReading> list;
                                                                mgr.QueryReadings(list, begin, end);
                                                                rows = list.size();
                                                                finished = true;
                                                            },
                                                            [&] { return finished; }, info.st_ino));
    std::printf("  rows %zu\n", rows);
    // The recorder's manager already open: only the walk.
    {
        THisInfoDbMgr mgr(file, false);
        finished = false;
        Print("query, window thread, walk only (before)",
              MeasureGaps(
                  [&] {
                      std::vector<TTmpReading> list;
                      mgr.QueryReadings(list, begin, end);
                      finished = true;
                  },
                  [&] { return finished; }, info.st_ino));
    }

    // Now: a reader of its own on a worker, the result handed back.
    THistoryQuery query;
    finished = false;
    Print("query, worker with its own reader (now)",
          MeasureGaps(
              [&] {
                  query.Start(
                      [&](std::vector<TTmpReading>& list, const TWalkProgress& progress) {
                          THisInfoDbMgr reader(file, THisInfoDbMgr::TSharedRead{});
                          reader.QueryReadings(list, begin, end, progress);
                      },
                      [&](THistoryQuery::TResult& result) {
                          rows = result.Rows.size();
                          finished = true;
                      });
              },
              [&] { return finished; }, info.st_ino));
    std::printf("  rows %zu\n", rows);
    // Cancelled right after the open: how soon the worker is gone.
    finished = false;
    QElapsedTimer cancelClock;
    std::atomic<bool> walking{false};
    Print("query cancelled during the walk (now)",
          MeasureGaps(
              [&] {
                  query.Start(
                      [&](std::vector<TTmpReading>& list, const TWalkProgress& progress) {
                          THisInfoDbMgr reader(file, THisInfoDbMgr::TSharedRead{});
                          reader.QueryReadings(list, begin, end, [&](int64_t d, int64_t t) {
                              walking = true;
                              return progress(d, t);
                          });
                      },
                      {});
              },
              [&] {
                  if (walking && query.Running()) {
                      cancelClock.start();
                      query.Cancel();
                  }
                  return !query.Running() && query.Workers() == 0;
              }));
    std::printf("  worker gone %lld ms after the cancel\n",
                static_cast<long long>(cancelClock.elapsed()));
}

void BenchExport(const QString& dir) {
    const std::vector<TTmpReading>& year = YearOfSamples();
    const TCsvRowSource source = [&year](size_t index, TCsvRow& row) {
        ReadingCsvCells(year[index], row);
    };
    const QString path = dir + QStringLiteral("/year.csv");
    QWidget parent;

    // The way it used to be: written on the window's thread, the modal
    // progress dialog letting events through at each step.
    bool finished = false;
    Print("CSV export of 525,600 rows, window thread (before)",
          MeasureGaps(
              [&] {
                  QProgressDialog progress(QStringLiteral("正在导出..."), QStringLiteral("取消"), 0,
                                           static_cast<int>(year.size() / kCsvProgressStep + 1),
                                           &parent);
                  progress.setWindowModality(Qt::WindowModal);
                  progress.setMinimumDuration(500);
                  ExportCsv(QFile::encodeName(path).toStdString(), ReadingCsvHeaders(), year.size(),
                            source, [&progress](size_t done, size_t) {
                                progress.setValue(static_cast<int>(done / kCsvProgressStep));
                                return !progress.wasCanceled();
                            });
                  finished = true;
              },
              [&] { return finished; }));

    TScopedSaveFileDialog save([&](QWidget*, const QString&, const QString&) { return path; });
    finished = false;
    Print("CSV export of 525,600 rows, worker (now)",
          MeasureGaps(
              [&] {
                  ExportRowsToCsv(&parent, QStringLiteral("year.csv"), ReadingCsvHeaders(),
                                  year.size(), source);
                  finished = true;
              },
              [&] { return finished; }));
}

void BenchPrint(const QString& dir) {
    const std::vector<TTmpReading>& year = YearOfSamples();
    // Some 600 landscape pages, printed page by page with the progress
    // dialog.
    const std::vector<TTmpReading> rows(year.begin(), year.begin() + 20000);
    THistoryChart chart(THistoryChannels::PhasesAndIron);
    chart.SetReadings(&rows);
    THistoryPrintJob history;
    history.Source = QStringLiteral("站点 1");
    history.Begin = rows.back().DateTime;
    history.End = rows.front().DateTime;
    history.Readings = &rows;
    history.Chart = chart.Snapshot(1500);
    const TReportPrintJob job = HistoryReportJob(history);
    QWidget parent;
    const QString pdf = dir + QStringLiteral("/long.pdf");

    int pages = 0;
    const auto onTheWindowsThread = [&](const TReportPrintJob& report) {
        bool done = false;
        return MeasureGaps(
            [&] {
                QPrinter printer(QPrinter::HighResolution);
                printer.setPageOrientation(QPageLayout::Landscape);
                printer.setOutputFormat(QPrinter::PdfFormat);
                printer.setOutputFileName(pdf);
                QProgressDialog progress(QStringLiteral("正在打印..."), QStringLiteral("取消"), 0,
                                         ReportPrintPageCount(printer, report), &parent);
                progress.setWindowModality(Qt::WindowModal);
                progress.setMinimumDuration(0);
                pages = PrintReport(printer, report, [&progress](int page, int count) {
                    progress.setMaximum(count);
                    progress.setValue(page - 1);
                    return !progress.wasCanceled();
                });
                done = true;
            },
            [&] { return done; });
    };
    Print("print of 20,000 rows, window thread (before)", onTheWindowsThread(job));
    std::printf("  pages %d\n", pages);
    // Its chart is drawn on the first page: without it, the table's pages.
    TReportPrintJob tableOnly = job;
    tableOnly.Chart.reset();
    Print("print of 20,000 rows without the chart, window thread (before)",
          onTheWindowsThread(tableOnly));

    // Now: through PrintWithPreview: the preview shows its first pages,
    // then its print button prints every page on a worker while the
    // progress dialog follows.
    const auto waitForView = [](TPrintPreview& preview) {
        while (!preview.ViewComplete()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    TScopedModalRunner runner([&](QDialog& dialog) {
        if (auto* preview = dynamic_cast<TPrintPreview*>(&dialog)) {
            preview->show();
            waitForView(*preview);
            preview->Printer().setOutputFormat(QPrinter::PdfFormat);
            preview->Printer().setOutputFileName(pdf);
            preview->PrintNow();
            preview->hide();
        }
        return static_cast<int>(QDialog::Rejected);
    });
    const auto throughPrintWithPreview = [&parent](const TReportPrintJob& report) {
        bool done = false;
        return MeasureGaps(
            [&] {
                PrintWithPreview(&parent, report);
                done = true;
            },
            [&] { return done; });
    };
    Print("print of 20,000 rows, PrintWithPreview, worker (now)", throughPrintWithPreview(job));
    Print("print of 20,000 rows without the chart, worker (now)",
          throughPrintWithPreview(tableOnly));

    // Previews. Before: Qt's preview dialog painted every page on the
    // window's thread when shown (so reports past 300 pages went straight to
    // the print dialog). Now: the preview paints the pages in view.
    QPrinter probe(QPrinter::HighResolution);
    probe.setPageOrientation(QPageLayout::Landscape);
    constexpr int kOldPreviewLimit = 300;
    TReportPrintJob preview = job;
    size_t low = 0;
    size_t high = rows.size();
    while (low < high) {
        preview.Rows = (low + high + 1) / 2;
        if (ReportPrintPageCount(probe, preview) <= kOldPreviewLimit) {
            low = preview.Rows;
        } else {
            high = preview.Rows - 1;
        }
    }
    preview.Rows = low;
    const auto qtPreview = [&parent](const TReportPrintJob& report) {
        bool done = false;
        return MeasureGaps(
            [&] {
                QPrinter printer(QPrinter::HighResolution);
                printer.setPageOrientation(QPageLayout::Landscape);
                QPrintPreviewDialog dialog(&printer, &parent);
                QObject::connect(&dialog, &QPrintPreviewDialog::paintRequested, &dialog,
                                 [&report](QPrinter* target) { PrintReport(*target, report); });
                dialog.show();
                QCoreApplication::processEvents();
                dialog.hide();
                done = true;
            },
            [&] { return done; });
    };
    // Shown, then (scroll) every page brought into view in turn.
    const auto ourPreview = [&parent, &waitForView](const TReportPrintJob& report, bool scroll) {
        bool done = false;
        int painted = 0;
        TGaps gaps = MeasureGaps(
            [&] {
                QPrinter printer(QPrinter::HighResolution);
                printer.setPageOrientation(QPageLayout::Landscape);
                TPrintPreview dialog(printer, report, &parent);
                dialog.show();
                waitForView(dialog);
                for (int page = 2; scroll && page <= dialog.PageCount(); ++page) {
                    dialog.ShowPage(page);
                    waitForView(dialog);
                }
                painted = dialog.PagesPainted();
                dialog.hide();
                done = true;
            },
            [&] { return done; });
        std::printf("  pages painted %d\n", painted);
        return gaps;
    };
    std::printf("  previewed: %zu rows, %d pages\n", preview.Rows,
                ReportPrintPageCount(probe, preview));
    Print("preview of 300 pages with the chart, every page painted (before)", qtPreview(preview));
    Print("preview of 300 pages with the chart, pages in view (now)", ourPreview(preview, false));
    Print("the same scrolled through page by page (now)", ourPreview(preview, true));
    preview.Chart.reset();
    Print("preview of 300 pages without the chart (before)", qtPreview(preview));
    Print("preview of 300 pages without the chart (now)", ourPreview(preview, false));

    // A year: no preview before; now as quick to open as a day.
    auto yearRows = std::shared_ptr<const std::vector<TTmpReading>>(&year, [](auto*) {});
    THistoryPrintJob yearJob = history;
    yearJob.Readings = nullptr;
    yearJob.Chart.reset();
    const TReportPrintJob yearReport = HistoryReportJob(yearJob, yearRows);
    std::printf("  a year: %zu rows, %d pages\n", year.size(),
                ReportPrintPageCount(probe, yearReport));
    Print("preview of a year of 1-minute samples (now)", ourPreview(yearReport, false));
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const char* kept = std::getenv("QUERY_BENCH_FILE");
    const std::string file =
        MakeYearFile(kept != nullptr ? std::string(kept) : dir.filePath("year.dt").toStdString());
    // QUERY_BENCH_ONLY=query|show|export|print runs one part.
    const QString only = qEnvironmentVariable("QUERY_BENCH_ONLY");
    if (only.isEmpty() || only == QStringLiteral("query")) BenchQuery(file);
    if (only.isEmpty() || only == QStringLiteral("show")) {
        BenchShow(file, kFirstSample - 1, kFirstSample + 400);
    }
    if (only.isEmpty() || only == QStringLiteral("export")) BenchExport(dir.path());
    if (only.isEmpty() || only == QStringLiteral("print")) BenchPrint(dir.path());
    return 0;
}
