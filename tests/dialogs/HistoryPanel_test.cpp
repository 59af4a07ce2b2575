#include "dialogs/HistoryPanel.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPrinter>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "dialogs/HistoryPrint.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/PrintPreview.h"
#include "dialogs/Prompts.h"
#include "dialogs/QueryTestSupport.h"
#include "dialogs/Samples.h"

namespace {

const QTime kInitialTime(19, 51, 47, 788);

// The texts of the top row's widgets, left to right, "|" for a stretch.
QStringList TopRow(const THistoryPanel& panel) {
    auto* layout = qobject_cast<QBoxLayout*>(panel.layout()->itemAt(0)->layout());
    QStringList items;
    for (int i = 0; layout != nullptr && i < layout->count(); ++i) {
        QWidget* w = layout->itemAt(i)->widget();
        if (w == nullptr) {
            items << "|";
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            items << label->text();
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            items << button->text();
        } else {
            items << w->objectName();
        }
    }
    return items;
}

}  // namespace

TEST(THistoryPanel, PickersStartAtTheStoredValueAndShowDateAndTimeOfDay) {
    THistoryPanel panel({});
    for (QDateTimeEdit* picker : {panel.BeginTimePicker(), panel.EndTimePicker()}) {
        EXPECT_EQ(picker->date(), QDate(2006, 2, 24));
        EXPECT_EQ(picker->time(), kInitialTime);
        // The time of day is part of the range: the operator sees it.
        EXPECT_EQ(picker->text(), "2006-2-24 19:51:47");
        EXPECT_TRUE(picker->displayedSections() & QDateTimeEdit::HourSection);
        EXPECT_TRUE(picker->displayedSections() & QDateTimeEdit::SecondSection);
    }
    EXPECT_EQ(MillisecondsBetween(panel.BeginTime(), kInitialPickerValue), 0);
    EXPECT_EQ(MillisecondsBetween(panel.EndTime(), kInitialPickerValue), 0);
    // Right after start both hold the same value, so a query has nothing to do.
    EXPECT_FALSE(panel.BeginTime() < panel.EndTime());
}

TEST(THistoryPanel, ChangingTheDateKeepsTheTimeOfDay) {
    THistoryPanel panel({});
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    QDateTimeEdit* picker = panel.EndTimePicker();
    picker->setFocus();
    picker->setCurrentSection(QDateTimeEdit::DaySection);
    QTest::keyClick(picker, Qt::Key_Up);
    EXPECT_EQ(picker->date(), QDate(2006, 2, 25));
    EXPECT_EQ(picker->time(), kInitialTime);

    picker->setCurrentSection(QDateTimeEdit::MonthSection);
    QTest::keyClick(picker, Qt::Key_Up);
    EXPECT_EQ(picker->date(), QDate(2006, 3, 25));
    EXPECT_EQ(picker->time(), kInitialTime);

    // Picking a day in the calendar pop-up.
    emit picker->calendarWidget()->clicked(QDate(2007, 1, 31));
    EXPECT_EQ(picker->date(), QDate(2007, 1, 31));
    EXPECT_EQ(picker->time(), kInitialTime);
    EXPECT_EQ(MillisecondsBetween(panel.EndTime(), EncodeDateTime(2007, 1, 31, 19, 51, 47, 788)),
              0);
    EXPECT_TRUE(panel.BeginTime() < panel.EndTime());
}

TEST(THistoryPanel, PickerValuesRoundTripAnyWallClockTime) {
    THistoryPanel panel({});
    // 02:30 does not exist in local time where clocks skip an hour; the
    // pickers hold plain fields and keep it.
    const TDateTime value = EncodeDateTime(2021, 3, 28, 2, 30, 15, 250);
    panel.SetBeginTime(value);
    EXPECT_EQ(MillisecondsBetween(panel.BeginTime(), value), 0);
    EXPECT_EQ(panel.BeginTimePicker()->time(), QTime(2, 30, 15, 250));
    EXPECT_EQ(MillisecondsBetween(PickerValue(PickerDateTime(value)), value), 0);
}

TEST(THistoryPanel, WidgetsCarryTheirNamesForTheirOwners) {
    THistoryPanel panel({});
    EXPECT_EQ(panel.findChild<QDateTimeEdit*>("BeginTimePicker"), panel.BeginTimePicker());
    EXPECT_EQ(panel.findChild<QDateTimeEdit*>("EndTimePicker"), panel.EndTimePicker());
    EXPECT_EQ(panel.findChild<QAbstractItemView*>("HistoryListView"),
              static_cast<QAbstractItemView*>(panel.ReportView()));
    EXPECT_EQ(panel.findChild<QPushButton*>("Button1"), panel.QueryButton());
    EXPECT_EQ(panel.findChild<QPushButton*>("PrintButton"), panel.PrintButton());
    EXPECT_EQ(panel.findChild<QPushButton*>("ExportButton"), panel.ExportButton());
}

TEST(THistoryPanel, TopRowFollowsQueryWithPrintAndTheOwnersButtons) {
    THistoryPanel panel({});
    QPushButton* backUp = panel.AddButton("备份查询...", "BackUpQueryButton");
    EXPECT_EQ(backUp->objectName(), "BackUpQueryButton");
    const QStringList expected = {"起始日期：", "BeginTimePicker", "－",      "EndTimePicker",
                                  "今天",       "最近24小时",      "最近7天", "最近30天",
                                  "查询",       "打印...",         "导出...", "备份查询...",
                                  "|",          "QueryProgress"};
    EXPECT_EQ(TopRow(panel), expected);
}

TEST(THistoryPanel, ViewerKeepsPrintAndOpenAtTheRightEdge) {
    THistoryPanel panel({THistoryChannels::PhasesOnly, true, false});
    panel.AddButton("打开文件...", "OpenFileButton");
    const QStringList expected = {"起始日期：", "BeginTimePicker", "－", "EndTimePicker",
                                  "查询",       "QueryProgress",   "|",  "打印...",
                                  "导出...",    "打开文件..."};
    EXPECT_EQ(TopRow(panel), expected);
    // The viewer's pickers show dates only.
    EXPECT_EQ(panel.BeginTimePicker()->displayFormat(), "yyyy-M-d");
    EXPECT_EQ(panel.EndTimePicker()->displayFormat(), "yyyy-M-d");
    EXPECT_EQ(panel.Chart()->SeriesCount(), 3);
}

TEST(THistoryPanel, TabsAtTheBottomHoldReportAndChart) {
    THistoryPanel panel({});
    QTabWidget* tabs = panel.Tabs();
    EXPECT_EQ(tabs->tabPosition(), QTabWidget::South);
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), "报表");
    EXPECT_EQ(tabs->tabText(1), "曲线");
    EXPECT_EQ(tabs->widget(0), panel.ReportView());
    EXPECT_EQ(tabs->widget(1), panel.Chart());
    EXPECT_EQ(panel.Chart()->SeriesCount(), 4);
}

TEST(THistoryPanel, QueryButtonEmitsItsSignal) {
    THistoryPanel panel({});
    QSignalSpy query(&panel, &THistoryPanel::QueryClicked);
    QTest::mouseClick(panel.QueryButton(), Qt::LeftButton);
    EXPECT_EQ(query.count(), 1);
}

TEST(THistoryPanel, ShowReadingsFillsReportAndChartAndNullClearsBoth) {
    THistoryPanel panel({});
    const auto list = MinuteSamples(30, EncodeDateTime(2024, 1, 2, 3),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0); });
    panel.ShowReadings(Borrowed(list), {"站点 1", list.back().DateTime, list.front().DateTime});
    EXPECT_EQ(panel.ReportView()->model()->rowCount(), 30);
    EXPECT_EQ(panel.Chart()->Series(0)->points().size(), 30);
    EXPECT_TRUE(panel.Chart()->Series(3)->points().isEmpty());

    const THistoryPrintJob job = panel.PrintJob();
    EXPECT_EQ(job.Source, "站点 1");
    EXPECT_EQ(job.Readings, &list);
    ASSERT_TRUE(job.Chart.has_value());
    EXPECT_EQ(job.Chart->Series.size(), 4u);

    panel.ClearReadings();
    EXPECT_EQ(panel.ReportView()->model()->rowCount(), 0);
    EXPECT_TRUE(panel.Chart()->Series(0)->points().isEmpty());
    EXPECT_EQ(panel.PrintJob().Readings, nullptr);
}

TEST(THistoryPanel, PrintButtonOpensAPreviewOfWhatIsShown) {
    THistoryPanel panel({});
    const auto list = MinuteSamples(5, EncodeDateTime(2024, 1, 2, 3),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0); });
    panel.ShowReadings(Borrowed(list), {"站点 1", list.back().DateTime, list.front().DateTime});
    QSignalSpy print(&panel, &THistoryPanel::PrintClicked);
    bool sawPreview = false;
    // The preview is modal: look at it from inside its event loop, then close it.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<TPrintPreview*>(QApplication::activeModalWidget())) {
            sawPreview = true;
            dialog->reject();
        }
    });
    poll.start(50);
    QTimer guard;  // never leave a modal dialog hanging
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (QWidget* w = QApplication::activeModalWidget()) w->close();
    });
    guard.start(20000);
    QTest::mouseClick(panel.PrintButton(), Qt::LeftButton);
    EXPECT_EQ(print.count(), 1);
    EXPECT_TRUE(sawPreview);
}

// The preview paints only the pages in view: a report of hundreds of pages
// is previewed too, every page counted.
TEST(THistoryPanel, ReportOfHundredsOfPagesOpensThePreview) {
    THistoryPanel panel({});
    const auto list = MinuteSamples(20000, EncodeDateTime(2024, 1, 2),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0); });
    panel.ShowReadings(Borrowed(list), {"站点 1", list.back().DateTime, list.front().DateTime});
    int pages = 0;
    int expected = -1;
    TScopedModalRunner runner([&](QDialog& dialog) {
        if (auto* preview = qobject_cast<TPrintPreview*>(&dialog)) {
            pages = preview->PageCount();
            expected = HistoryPrintPageCount(preview->Printer(), panel.PrintJob());
        }
        return static_cast<int>(QDialog::Rejected);
    });
    QTest::mouseClick(panel.PrintButton(), Qt::LeftButton);
    EXPECT_GT(pages, 300);
    EXPECT_EQ(pages, expected);
}

// A print shares the list it was given, not a copy of it: other rows shown
// while its preview is open, and the owner letting go of the list, leave
// the print its rows, which it prints in full; the list goes with the
// print.
TEST(THistoryPanel, APrintKeepsTheListItWasGivenWhileOtherRowsAreShown) {
    QTemporaryDir dir;
    THistoryPanel panel({});
    const auto samples = [](size_t count) {
        return std::make_shared<const std::vector<TTmpReading>>(
            MinuteSamples(count, EncodeDateTime(2024, 1, 2),
                          [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0); }));
    };
    TReadingList printed = samples(700);
    const std::weak_ptr<const std::vector<TTmpReading>> watch = printed;
    const TReadingList next = samples(10);
    panel.ShowReadings(printed, {"站点 1", printed->back().DateTime, printed->front().DateTime});
    int expected = 0;
    int pages = -1;
    bool heldByThePrint = false;
    TScopedModalRunner runner([&](QDialog& dialog) {
        auto* preview = qobject_cast<TPrintPreview*>(&dialog);
        if (preview == nullptr) return static_cast<int>(QDialog::Rejected);
        expected = preview->PageCount();
        panel.ShowReadings(next, {});
        printed.reset();
        heldByThePrint = !watch.expired();
        preview->Printer().setOutputFormat(QPrinter::PdfFormat);
        preview->Printer().setOutputFileName(dir.filePath("shared.pdf"));
        pages = preview->PrintNow();
        return static_cast<int>(QDialog::Accepted);
    });
    QTest::mouseClick(panel.PrintButton(), Qt::LeftButton);
    EXPECT_TRUE(heldByThePrint);
    EXPECT_GT(expected, 10);
    EXPECT_EQ(pages, expected);
    EXPECT_TRUE(QFile::exists(dir.filePath("shared.pdf")));
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(panel.Readings(), next.get());
}

// "打印..." pressed while a long list's lines are still being indexed: the
// window does not wait for them (the click returns with the chart still
// indexing, no preview, a busy cursor); the preview opens once the lines
// are in. Rows shown anew before that drop the print.
TEST(THistoryPanel, PrintPressedWhileTheLinesAreIndexedOpensThePreviewOnceTheyAreIn) {
    THistoryPanel panel({});
    panel.Chart()->SetIndexAwayRowsForTest(3000);
    std::atomic<bool> release{false};
    panel.Chart()->SetIndexStartForTest([&release] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!release && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto samples = [](size_t count, uint16_t period) {
        return MinuteSamples(count, 40000, [period](size_t i, TDateTime t) {
            return Sample(t, static_cast<uint16_t>(60 + i % period), 70, 80, 0);
        });
    };
    const std::vector<TTmpReading> list = samples(5000, 50);
    const std::vector<TTmpReading> other = samples(4000, 31);
    int previews = 0;
    bool linesInPreview = false;
    TScopedModalRunner runner([&](QDialog& dialog) {
        if (qobject_cast<TPrintPreview*>(&dialog) != nullptr) {
            ++previews;
            linesInPreview = !panel.Chart()->Indexing() && panel.Chart()->Source().Reads(&list) &&
                             !panel.Chart()->Series(0)->points().isEmpty();
        }
        return static_cast<int>(QDialog::Rejected);
    });

    panel.ShowReadings(Borrowed(list), {"站点 1", list.back().DateTime, list.front().DateTime});
    ASSERT_TRUE(panel.Chart()->Indexing());
    QTest::mouseClick(panel.PrintButton(), Qt::LeftButton);
    EXPECT_TRUE(panel.Chart()->Indexing());
    EXPECT_EQ(previews, 0);
    EXPECT_EQ(panel.cursor().shape(), Qt::BusyCursor);
    release = true;
    ASSERT_TRUE(QTest::qWaitFor([&] { return previews > 0; }, querytest::kQueryTimeoutMs));
    EXPECT_EQ(previews, 1);
    EXPECT_TRUE(linesInPreview);
    EXPECT_EQ(panel.cursor().shape(), Qt::ArrowCursor);

    // Pressed while the list is indexed again, then other rows shown (the
    // worker let go first, so its end is queued before they are).
    release = false;
    panel.ShowReadings(Borrowed(list), {});
    ASSERT_TRUE(panel.Chart()->Indexing());
    QTest::mouseClick(panel.PrintButton(), Qt::LeftButton);
    EXPECT_EQ(panel.cursor().shape(), Qt::BusyCursor);
    release = true;
    panel.ShowReadings(Borrowed(other), {});
    EXPECT_EQ(panel.cursor().shape(), Qt::ArrowCursor);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !panel.Chart()->Indexing(); }, querytest::kQueryTimeoutMs));
    QCoreApplication::processEvents();
    EXPECT_TRUE(panel.Chart()->Source().Reads(&other));
    EXPECT_EQ(previews, 1);
}

TEST(THistoryPanel, QuickRangesSetBothPickersFromTheClock) {
    THistoryPanel panel({});
    const TDateTime now = EncodeDateTime(2024, 3, 10, 14, 25, 36, 500);
    panel.SetClock([now] { return now; });
    struct TCase {
        THistoryPanel::TQuickRange Range;
        const char* Caption;
        TDateTime Begin;
        TDateTime End;
    };
    const std::vector<TCase> cases = {
        {THistoryPanel::TQuickRange::Today, "今天", EncodeDateTime(2024, 3, 10),
         EncodeDateTime(2024, 3, 10, 23, 59, 59, 999)},
        {THistoryPanel::TQuickRange::Last24Hours, "最近24小时",
         EncodeDateTime(2024, 3, 9, 14, 25, 36, 500), now},
        {THistoryPanel::TQuickRange::Last7Days, "最近7天",
         EncodeDateTime(2024, 3, 3, 14, 25, 36, 500), now},
        {THistoryPanel::TQuickRange::Last30Days, "最近30天",
         EncodeDateTime(2024, 2, 9, 14, 25, 36, 500), now},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Caption);
        panel.SetBeginTime(kInitialPickerValue);
        panel.SetEndTime(kInitialPickerValue);
        QPushButton* button = panel.QuickRangeButton(c.Range);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), QString::fromUtf8(c.Caption));
        QTest::mouseClick(button, Qt::LeftButton);
        EXPECT_EQ(MillisecondsBetween(panel.BeginTime(), c.Begin), 0);
        EXPECT_EQ(MillisecondsBetween(panel.EndTime(), c.End), 0);
    }
    // "今天" shows the whole day in the pickers.
    QTest::mouseClick(panel.QuickRangeButton(THistoryPanel::TQuickRange::Today), Qt::LeftButton);
    EXPECT_EQ(panel.BeginTimePicker()->text(), "2024-3-10 0:00:00");
    EXPECT_EQ(panel.EndTimePicker()->text(), "2024-3-10 23:59:59");
}

TEST(THistoryPanel, TheRowCountStandsBesideTheReport) {
    THistoryPanel panel({});
    ASSERT_NE(panel.RowCountLabel(), nullptr);
    EXPECT_EQ(panel.Tabs()->cornerWidget(Qt::BottomRightCorner), panel.RowCountLabel());
    EXPECT_EQ(panel.RowCountLabel()->text(), "共 0 条记录");
    const auto list = MinuteSamples(37, EncodeDateTime(2024, 1, 2, 3),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 66, 67, 0); });
    panel.ShowReadings(Borrowed(list), {});
    EXPECT_EQ(panel.RowCountLabel()->text(), "共 37 条记录");
    panel.ClearReadings();
    EXPECT_EQ(panel.RowCountLabel()->text(), "共 0 条记录");
}

TEST(THistoryPanel, TheTimeColumnIsWideEnoughForDateAndTime) {
    THistoryPanel panel({});
    const std::vector<TTmpReading> list = {
        Sample(EncodeDateTime(2024, 12, 28, 23, 58, 59), 65, 66, 67, 0)};
    panel.ShowReadings(Borrowed(list), {});
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    THistoryReportView* view = panel.ReportView();
    const QString text = view->model()->index(0, kColTime).data().toString();
    ASSERT_EQ(text, "2024-12-28 23:58:59");
    EXPECT_GT(view->columnWidth(kColTime), view->fontMetrics().horizontalAdvance(text));
    // A model reset (the next query) keeps the width.
    panel.ClearReadings();
    panel.ShowReadings(Borrowed(list), {});
    EXPECT_GT(view->columnWidth(kColTime), view->fontMetrics().horizontalAdvance(text));
}

// A query's progress bar stays hidden for the delay, then follows the
// worker's share, and goes when the query ends; the rows and the error the
// worker had are delivered together.
TEST(THistoryPanel, AQueryShowsItsProgressAfterTheDelayAndDeliversRowsAndError) {
    THistoryPanel panel({});
    panel.SetQueryProgressDelay(10);
    querytest::TQueryGate gate(*panel.Query());
    std::atomic<bool> reported{false};
    std::atomic<bool> finishing{false};
    int delivered = 0;
    THistoryQuery::TResult got;
    panel.Query()->Start(
        [&](std::vector<TTmpReading>& rows, const TWalkProgress& progress) {
            rows.push_back(Sample(40000, 65, 66, 67, 0));
            progress(1, 4);
            reported = true;
            while (!finishing) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            throw std::runtime_error("读不下去了");
        },
        [&](THistoryQuery::TResult& result) {
            ++delivered;
            got = std::move(result);
        });
    EXPECT_FALSE(panel.QueryProgressBar()->isVisibleTo(&panel));
    ASSERT_TRUE(gate.WaitArrived(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return panel.QueryProgressBar()->isVisibleTo(&panel); },
                                querytest::kQueryTimeoutMs));
    gate.Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reported.load(); }, querytest::kQueryTimeoutMs));
    EXPECT_TRUE(QTest::qWaitFor([&] { return panel.QueryProgressBar()->value() == 250; },
                                querytest::kQueryTimeoutMs));
    EXPECT_DOUBLE_EQ(panel.Query()->ShareDone(), 0.25);
    finishing = true;
    ASSERT_TRUE(querytest::QueryEnded(panel));
    EXPECT_FALSE(panel.QueryProgressBar()->isVisibleTo(&panel));
    EXPECT_EQ(delivered, 1);
    ASSERT_EQ(got.Rows.size(), 1u);
    EXPECT_EQ(got.Rows[0].APhaseTmp, 65);
    ASSERT_TRUE(got.Error);
    EXPECT_THROW(std::rethrow_exception(got.Error), std::runtime_error);
}

// A query that ends before the delay never shows the bar; a cancelled one
// tells its walk to stop and delivers nothing.
TEST(THistoryPanel, AShortQueryShowsNoBarAndACancelledOneDeliversNothing) {
    THistoryPanel panel({});
    panel.SetQueryProgressDelay(60000);
    int delivered = 0;
    panel.Query()->Start(
        [](std::vector<TTmpReading>& rows, const TWalkProgress&) {
            rows.push_back(Sample(40000, 1, 2, 3, 0));
        },
        [&](THistoryQuery::TResult& result) { delivered += static_cast<int>(result.Rows.size()); });
    ASSERT_TRUE(querytest::QueryEnded(panel));
    EXPECT_EQ(delivered, 1);
    EXPECT_FALSE(panel.QueryProgressBar()->isVisibleTo(&panel));

    std::atomic<bool> walking{false};
    std::atomic<bool> stopped{false};
    panel.Query()->Start(
        [&](std::vector<TTmpReading>&, const TWalkProgress& progress) {
            walking = true;
            while (progress(0, 1)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            stopped = true;
        },
        [&](THistoryQuery::TResult&) { ++delivered; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return walking.load(); }, querytest::kQueryTimeoutMs));
    panel.Query()->Cancel();
    EXPECT_FALSE(panel.Query()->Running());
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return panel.Query()->Workers() == 0; }, querytest::kQueryTimeoutMs));
    EXPECT_TRUE(stopped);
    EXPECT_EQ(delivered, 1);
}

// A long list a query delivers is shown through the panel the way the
// history page shows it: the rows at once, the chart's index built on its
// worker, never on the window's thread (no lines and an empty source when
// the delivery returns), then the lines of the list indexed right here. A
// second query delivered while the first list is still being indexed stops
// that first, so the first list may go; a print waits for the lines.
TEST(THistoryPanel, ALongQueryResultShowsItsRowsAtOnceAndItsLinesOnceIndexed) {
    THistoryPanel panel({});
    panel.Chart()->SetIndexAwayRowsForTest(3000);
    const auto samples = [](size_t count, uint16_t period) {
        return MinuteSamples(count, 40000, [period](size_t i, TDateTime t) {
            return Sample(t, static_cast<uint16_t>(60 + i % period), 70, 80, 0);
        });
    };
    const std::vector<TTmpReading> year = samples(20000, 50);
    constexpr int kColumns = 300;
    THistoryChart direct(THistoryChannels::PhasesAndIron);
    direct.SetReadings(&year);
    ASSERT_FALSE(direct.Indexing());
    const THistoryChartState expected = direct.Snapshot(kColumns);
    ASSERT_FALSE(expected.Series.at(0).Points.isEmpty());

    std::vector<TTmpReading> shown;
    bool indexedAtDelivery = true;
    const auto query = [&](const std::vector<TTmpReading>& rows) {
        panel.Query()->Start(
            [&rows](std::vector<TTmpReading>& list, const TWalkProgress&) { list = rows; },
            [&](THistoryQuery::TResult& result) {
                panel.ClearReadings();
                shown.swap(result.Rows);
                panel.ShowReadings(Borrowed(shown), {});
                indexedAtDelivery = !panel.Chart()->Source().Empty() ||
                                    !panel.Chart()->Series(0)->points().isEmpty();
            });
        return querytest::QueryEnded(panel);
    };
    ASSERT_TRUE(query(year));
    EXPECT_FALSE(indexedAtDelivery);
    EXPECT_TRUE(panel.Chart()->Indexing());
    EXPECT_EQ(panel.ReportView()->model()->rowCount(), 20000);
    EXPECT_EQ(panel.RowCountLabel()->text(), "共 20000 条记录");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !panel.Chart()->Indexing(); }, querytest::kQueryTimeoutMs));
    EXPECT_TRUE(panel.Chart()->Source().Reads(&shown));
    const THistoryChartState indexed = panel.Chart()->Snapshot(kColumns);
    EXPECT_EQ(indexed.BeginMs, expected.BeginMs);
    EXPECT_EQ(indexed.EndMs, expected.EndMs);
    for (size_t i = 0; i < expected.Series.size(); ++i) {
        EXPECT_EQ(indexed.Series.at(i).Points, expected.Series[i].Points) << i;
    }

    // Shown again (a station selected anew), then replaced by the next
    // query's rows before its index is done.
    panel.ShowReadings(Borrowed(shown), {});
    ASSERT_TRUE(panel.Chart()->Indexing());
    const std::vector<TTmpReading> next = samples(5000, 31);
    ASSERT_TRUE(query(next));
    EXPECT_FALSE(indexedAtDelivery);
    EXPECT_EQ(shown.size(), next.size());

    // A print taken now has the lines of the list shown.
    const THistoryPrintJob job = panel.PrintJob();
    EXPECT_FALSE(panel.Chart()->Indexing());
    EXPECT_TRUE(panel.Chart()->Source().Reads(&shown));
    ASSERT_TRUE(job.Chart.has_value());
    EXPECT_FALSE(job.Chart->Series.at(0).Points.isEmpty());
    EXPECT_EQ(job.Chart->BeginMs, panel.Chart()->FullBeginMs());
    EXPECT_EQ(job.Chart->EndMs, panel.Chart()->FullEndMs());
}
