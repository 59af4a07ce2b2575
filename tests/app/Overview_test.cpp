// The page "设备总览": every station's row in tree order, refreshed by replies
// and passes of any station, coloured by its worst condition, and a double
// click selecting the station.

#include <gtest/gtest.h>

#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTreeWidget>

#include "app/MainForm.h"
#include "app/OverviewView.h"
#include "app/WindowTestSupport.h"
#include "polling/ScanCycle.h"
#include "polling/StationState.h"
#include "serial/PtyPair.h"

namespace {

QStringList RowTexts(const QTableWidget& table, int row) {
    QStringList texts;
    for (int column = 0; column < table.columnCount(); ++column) {
        const QTableWidgetItem* item = table.item(row, column);
        texts << (item != nullptr ? item->text() : QString());
    }
    return texts;
}

QColor RowColour(const QTableWidget& table, int row) {
    return table.item(row, 0)->background().color();
}

class OverviewTest : public ::testing::Test {
  protected:
    OverviewTest() {
        Dir.LinkPort(1, Pty1.SlavePath());
        Dir.LinkPort(2, Pty2.SlavePath());
        Dir.MissingPort(3);
        RegisterStations(Dir, {{1, 1, "1号主变", "温控器A"},
                               {2, 2, "2号主变", "温控器B"},
                               {3, 3, "3号主变", "温控器C"}});
        Window = StartWindow(Dir);
    }

    QTableWidget& Table() { return *Window->Overview()->Table(); }

    TProgramDir Dir;
    TPtyPair Pty1;
    TPtyPair Pty2;
    TMessageLog Log;
    std::unique_ptr<TMainForm> Window;
};

}  // namespace

TEST_F(OverviewTest, ShownFirstWithOneRowPerStationRefreshedByAnyStationsReplies) {
    ASSERT_EQ(Window->Pages()->currentWidget(), Window->Overview());
    EXPECT_EQ(Window->Pages()->tabText(Window->Pages()->indexOf(Window->Overview())), "设备总览");
    ASSERT_EQ(Table().rowCount(), 3);
    EXPECT_EQ(RowTexts(Table(), 2),
              QStringList({"3号主变", "温控器C", "3", "COM3", "打开端口出错", "未知", "未知",
                           "未知", "未知", "未知", "未知", "未知", "未知", "", "正常"}));
    // Its "通讯中断" nobody acknowledged yet shows first; then its silence.
    EXPECT_EQ(RowColour(Table(), 2), QColor(255, 200, 120));
    Window->AlarmEvents(Window->Alarms().AcknowledgeAll(Now()));
    EXPECT_EQ(RowColour(Table(), 2), QColor(205, 205, 205));

    // Station 2 is not selected: its replies still reach its row at once.
    Select(*Window, 0);
    Window->Pages()->setCurrentWidget(Window->Overview());
    TStationState& second = StationAt(*Window, 1);
    Deliver(*Window, second, RelayReply(2, 0x0A));
    Deliver(*Window, second, TemperatureReply(2, 105, 300, 90, 0));
    const QStringList row = RowTexts(Table(), 1);
    EXPECT_EQ(row.mid(4, 9), QStringList({"已连接", "65", "故障", "50", "未知", "有故障", "开",
                                          "未报警", "已跳闸"}));
    EXPECT_FALSE(row[13].isEmpty());
    EXPECT_EQ(RowColour(Table(), 1), QColor(255, 150, 150));
    EXPECT_EQ(RowTexts(Table(), 0)[4], "断开");

    // A pass refreshes every row: a recording failure shows after it.
    StationAt(*Window, 0).RecordingFailure = "disk full";
    Window->ScanCycle()->ScanTimerTimer();
    EXPECT_EQ(RowTexts(Table(), 0)[14], "记录失败：disk full");
    EXPECT_EQ(RowColour(Table(), 0), QColor(255, 245, 150));
    StationAt(*Window, 0).RecordingFailure.clear();
}

TEST_F(OverviewTest, ADoubleClickSelectsTheStationAndRowsFollowAddsAndDeletes) {
    Window->Overview()->RowActivated(2);
    EXPECT_EQ(Window->StationTreeView()->currentItem(), Window->RootNode()->child(2));
    Window->DeleteDeviceClick();
    Window->Pages()->setCurrentWidget(Window->Overview());
    ASSERT_EQ(Table().rowCount(), 2);
    EXPECT_EQ(RowTexts(Table(), 1)[0], "2号主变");
}

// One station: the live view stays the first page.
TEST(OverviewStartup, OneStationStartsOnTheLiveView) {
    TProgramDir dir;
    dir.MissingPort(1);
    RegisterStations(dir, {{1, 1, "1号主变", "温控器A"}});
    TMessageLog log;
    std::unique_ptr<TMainForm> window = StartWindow(dir);
    EXPECT_EQ(window->Pages()->currentIndex(), 0);
}
