// The backup viewer on real history files: opening (chosen through the file
// dialog seam), the captions, the query rules and what the report shows.

#include "dialogs/BackUpLocationFrm.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QCheckBox>
#include <QLineSeries>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "app/StationTestSupport.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"
#include "dialogs/HistoryReport.h"
#include "dialogs/QueryTestSupport.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"

namespace fs = std::filesystem;

namespace {

const TDateTime kDay = EncodeDateTime(2006, 3, 1);

// Samples one hour apart from midnight of kDay, raw A phase 60 + hour.
void WriteHistory(const std::string& path, int hours) {
    THisInfoDbMgr mgr(path, false);
    for (int h = 0; h < hours; ++h) {
        mgr.AddReading(12, static_cast<uint16_t>(60 + h), 66, 67, 0, 0x02, kDay + h / 24.0);
    }
}

class BackUpLocationFormTest : public testing::Test {
  protected:
    BackUpLocationFormTest() {
        Form.SetOpenFileDialog([this](QWidget*, const QString& filter) {
            Filters << filter;
            ++Dialogs;
            if (DuringDialog) DuringDialog();
            return NextPath;
        });
    }

    void Open(const std::string& path) {
        NextPath = QString::fromStdString(path);
        QTest::mouseClick(Form.OpenFileButton(), Qt::LeftButton);
    }
    void Query(TDateTime begin, TDateTime end) {
        Form.HistoryPanel()->SetBeginTime(begin);
        Form.HistoryPanel()->SetEndTime(end);
        QTest::mouseClick(Form.HistoryPanel()->QueryButton(), Qt::LeftButton);
        EXPECT_TRUE(querytest::QueryEnded(*Form.HistoryPanel()));
    }
    int Rows() const { return Form.HistoryPanel()->ReportView()->model()->rowCount(); }
    QString Cell(int row, int column) const {
        QAbstractItemModel* model = Form.HistoryPanel()->ReportView()->model();
        return model->data(model->index(row, column)).toString();
    }

    TProgramDir Dir;
    TBackUpLocationForm Form;
    QString NextPath;
    QStringList Filters;
    int Dialogs = 0;
    std::function<void()> DuringDialog;
};

}  // namespace

TEST_F(BackUpLocationFormTest, StartsAsAResizableWindowWithNoFileAndThreeSeries) {
    EXPECT_EQ(Form.windowTitle(), "BackUpLocationForm");
    EXPECT_EQ(Form.size(), QSize(643, 476));
    EXPECT_TRUE(Form.isWindow());
    EXPECT_NE(Form.minimumSize(), Form.maximumSize());
    EXPECT_FALSE(Form.FileOpened());
    EXPECT_EQ(Form.OpenFileButton()->text(), "打开文件...");
    THistoryChart* chart = Form.HistoryPanel()->Chart();
    ASSERT_EQ(chart->SeriesCount(), 3);
    EXPECT_EQ(chart->Series(0)->name(), "A相温度");
    EXPECT_EQ(chart->Series(2)->name(), "C相温度");
    EXPECT_EQ(chart->VisibleCheckBox(2)->text(), "C相");
    // Both pickers hold the same value: a query only clears the report.
    EXPECT_EQ(Form.HistoryPanel()->BeginTime(), Form.HistoryPanel()->EndTime());
}

TEST_F(BackUpLocationFormTest, KeepsPrintAndOpenFileAtTheRightEdgeWhenResized) {
    Form.resize(1000, 476);
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
    QPushButton* open = Form.OpenFileButton();
    QPushButton* print = Form.HistoryPanel()->PrintButton();
    const int rightGap = Form.width() - open->mapTo(&Form, QPoint(open->width(), 0)).x();
    EXPECT_LT(rightGap, 30);
    EXPECT_LT(print->mapTo(&Form, QPoint(0, 0)).x(), open->mapTo(&Form, QPoint(0, 0)).x());
    EXPECT_GT(print->mapTo(&Form, QPoint(0, 0)).x(), 600);
}

TEST_F(BackUpLocationFormTest, AQueryBeforeAnyFileShowsNothing) {
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(Form.Results().empty());
    EXPECT_EQ(Dialogs, 0);
}

TEST_F(BackUpLocationFormTest, OpensAHistoryFileAndShowsTheRangeNewestFirst) {
    const std::string path = Dir.File("12/2006-3-1.dt");
    WriteHistory(path, 10);
    Open(path);
    EXPECT_EQ(Filters, QStringList{"*.dt"});
    EXPECT_TRUE(Form.FileOpened());
    EXPECT_EQ(Form.windowTitle(), QString::fromStdString("已打开备份文件 - " + path));

    Query(kDay + 2 / 24.0, kDay + 5 / 24.0);
    ASSERT_EQ(Rows(), 4);
    EXPECT_EQ(Cell(0, kColTime), "2006-3-1 5:00:00");
    EXPECT_EQ(Cell(0, kColAPhaseTmp), "25");
    EXPECT_EQ(Cell(3, kColTime), "2006-3-1 2:00:00");
    EXPECT_EQ(Cell(3, kColIronTmp), "未知");
    EXPECT_EQ(Cell(3, kColFanState), "开");
    // What "打印..." prints: the file and the range.
    const THistoryPrintJob job = Form.HistoryPanel()->PrintJob();
    EXPECT_EQ(job.Source.toStdString(), path);
    EXPECT_EQ(job.Begin, kDay + 2 / 24.0);
    EXPECT_EQ(job.End, kDay + 5 / 24.0);
    EXPECT_EQ(job.Readings, &Form.Results());
}

TEST_F(BackUpLocationFormTest, TwoQueriesShowOnlyTheSecondOnesSamples) {
    const std::string path = Dir.File("h.dt");
    WriteHistory(path, 10);
    Open(path);
    Query(kDay, kDay + 3 / 24.0);
    ASSERT_EQ(Rows(), 4);
    Query(kDay + 8 / 24.0, kDay + 1);
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(0, kColTime), "2006-3-1 9:00:00");
    EXPECT_EQ(Cell(1, kColTime), "2006-3-1 8:00:00");
    EXPECT_EQ(Form.Results().size(), 2u);
}

TEST_F(BackUpLocationFormTest, ABeginEqualToOrAfterTheEndOnlyClearsTheReport) {
    const std::string path = Dir.File("h.dt");
    WriteHistory(path, 5);
    Open(path);
    Query(kDay, kDay + 1);
    ASSERT_EQ(Rows(), 5);
    Query(kDay + 0.5, kDay + 0.5);
    EXPECT_EQ(Rows(), 0);
    Query(kDay, kDay + 1);
    ASSERT_EQ(Rows(), 5);
    Query(kDay + 1, kDay);
    EXPECT_EQ(Rows(), 0);
}

TEST_F(BackUpLocationFormTest, ASecondOpenReleasesTheFirstBeforeTheDialogAndCancelLeavesNone) {
    const std::string first = Dir.File("first.dt");
    WriteHistory(first, 6);
    Open(first);
    Query(kDay, kDay + 1);
    ASSERT_EQ(Rows(), 6);

    DuringDialog = [this] {
        EXPECT_FALSE(Form.FileOpened());
        EXPECT_EQ(Rows(), 0);
        EXPECT_TRUE(Form.Results().empty());
        EXPECT_EQ(Form.HistoryPanel()->Readings(), nullptr);
    };
    Open("");  // cancelled
    EXPECT_EQ(Dialogs, 2);
    EXPECT_FALSE(Form.FileOpened());
    // The caption stays as it was.
    EXPECT_EQ(Form.windowTitle(), QString::fromStdString("已打开备份文件 - " + first));
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 0);

    // The first file was closed whole: it can be opened again.
    Open(first);
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 6);
}

TEST_F(BackUpLocationFormTest, AStationTableFailsWithTheCaptionAndTheWindowStaysUsable) {
    const std::string station = Dir.File("data/station.dt");
    {
        TStationDbMgr mgr(station, false);
        mgr.AddStation("温控器", "1号主变", 1, 1, 5, 3, 0, 0, 0);
    }
    const auto sizeBefore = fs::file_size(station);
    Open(station);
    EXPECT_FALSE(Form.FileOpened());
    EXPECT_EQ(Form.windowTitle(), "无法打开数据文件，请检查数据文件是否正确！");
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 0);
    // The station table is left as it was.
    EXPECT_EQ(fs::file_size(station), sizeBefore);
    std::vector<TStationInfo> stations;
    TStationDbMgr(station, false).ListStations(stations);
    EXPECT_EQ(stations.size(), 1u);

    const std::string good = Dir.File("good.dt");
    WriteHistory(good, 3);
    Open(good);
    EXPECT_TRUE(Form.FileOpened());
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 3);
}

TEST_F(BackUpLocationFormTest, AFileThatIsNoDatabaseFailsWithTheCaption) {
    const std::string junk = Dir.File("junk.dt");
    { std::ofstream(junk) << std::string(5000, 'x'); }
    Open(junk);
    EXPECT_FALSE(Form.FileOpened());
    EXPECT_EQ(Form.windowTitle(), "无法打开数据文件，请检查数据文件是否正确！");
    const std::string empty = Dir.File("empty.dt");
    { std::ofstream created(empty); }
    Open(empty);
    EXPECT_FALSE(Form.FileOpened());
    EXPECT_EQ(Form.windowTitle(), "无法打开数据文件，请检查数据文件是否正确！");
}

TEST_F(BackUpLocationFormTest, APathToAMissingFileCreatesAnEmptyHistoryFile) {
    const std::string missing = Dir.File("new/dir/none.dt");
    Open(missing);
    EXPECT_TRUE(Form.FileOpened());
    EXPECT_TRUE(fs::exists(missing));
    EXPECT_EQ(Form.windowTitle(), QString::fromStdString("已打开备份文件 - " + missing));
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 0);
    EXPECT_EQ(THisInfoDbMgr(missing, false).RecordCount(), 0);
}

TEST_F(BackUpLocationFormTest, ClosingOnlyHidesItAndKeepsTheFileAndResults) {
    const std::string path = Dir.File("h.dt");
    WriteHistory(path, 4);
    Form.show();
    Open(path);
    Query(kDay, kDay + 1);
    ASSERT_EQ(Rows(), 4);
    EXPECT_TRUE(Form.close());
    EXPECT_FALSE(Form.isVisible());
    Form.show();
    EXPECT_TRUE(Form.FileOpened());
    EXPECT_EQ(Rows(), 4);
}

// "查询" while the viewer's query is held cancels it: the report stays empty
// and the held result is never shown; another file can be opened meanwhile
// (the worker is waited for before its manager goes).
TEST_F(BackUpLocationFormTest, QueryAgainWhileOneRunsCancelsItAndOpeningWaitsForTheWorker) {
    const std::string path = Dir.File("h.dt");
    WriteHistory(path, 10);
    Open(path);
    querytest::TQueryGate gate(*Form.HistoryPanel()->Query());
    Form.HistoryPanel()->SetBeginTime(kDay);
    Form.HistoryPanel()->SetEndTime(kDay + 1);
    Form.QueryButtonClick();
    ASSERT_TRUE(gate.WaitArrived(1));
    Form.QueryButtonClick();
    EXPECT_FALSE(Form.HistoryPanel()->Query()->Running());
    gate.Open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form.HistoryPanel()->Query()->Workers() == 0; },
                                querytest::kQueryTimeoutMs));
    EXPECT_EQ(Rows(), 0);
    EXPECT_TRUE(Form.Results().empty());

    // A query held again, then another file opened: the first file's
    // manager goes only once its worker is done, and nothing is shown.
    querytest::TQueryGate second(*Form.HistoryPanel()->Query());
    Form.QueryButtonClick();
    ASSERT_TRUE(second.WaitArrived(1));
    const std::string other = Dir.File("other.dt");
    WriteHistory(other, 3);
    Open(other);
    EXPECT_EQ(second.Passed(), 1);
    EXPECT_EQ(Form.HistoryPanel()->Query()->Workers(), 0);
    EXPECT_EQ(Rows(), 0);
    second.Open();
    Query(kDay, kDay + 1);
    EXPECT_EQ(Rows(), 3);
}

TEST_F(BackUpLocationFormTest, TheWindowGoesWhileAQueryIsHeld) {
    const std::string path = Dir.File("h.dt");
    WriteHistory(path, 10);
    auto form = std::make_unique<TBackUpLocationForm>();
    form->SetOpenFileDialog([&](QWidget*, const QString&) { return QString::fromStdString(path); });
    form->OpenFileButtonClick();
    ASSERT_TRUE(form->FileOpened());
    querytest::TQueryGate gate(*form->HistoryPanel()->Query());
    form->HistoryPanel()->SetBeginTime(kDay);
    form->HistoryPanel()->SetEndTime(kDay + 1);
    form->QueryButtonClick();
    ASSERT_TRUE(gate.WaitArrived(1));
    form.reset();
    EXPECT_EQ(gate.Passed(), 1);
}
