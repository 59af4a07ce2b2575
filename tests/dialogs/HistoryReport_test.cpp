#include "dialogs/HistoryReport.h"

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QSignalSpy>
#include <QTest>

#include "dialogs/Samples.h"

namespace {

const TDateTime kSampleTime = EncodeDateTime(2006, 2, 24, 19, 51, 47);

QStringList CellTexts(const TTmpReading& r) {
    QStringList texts;
    for (int c = 0; c < kHistoryColumnCount; ++c) texts << HistoryCellText(r, c);
    return texts;
}

}  // namespace

TEST(HistoryCellText, SampleRowShowsDegreesRelayTextsAndNormalSensors) {
    const QStringList texts = CellTexts(Sample(kSampleTime, 65, 66, 67, 0, 0x02));
    const QStringList expected = {"2006-2-24 19:51:47",
                                  "25",
                                  "26",
                                  "27",
                                  "未知",
                                  "无故障",
                                  "开",
                                  "未报警",
                                  "未跳闸",
                                  "正常",
                                  "正常",
                                  "正常",
                                  "正常"};
    EXPECT_EQ(texts, expected);
}

TEST(HistoryCellText, FaultyPhaseShowsRawMinusFortyAndFault) {
    const QStringList texts = CellTexts(Sample(kSampleTime, 300, 66, 67, 0));
    EXPECT_EQ(texts[kColAPhaseTmp], "260");
    EXPECT_EQ(texts[kColAPhaseAlarm], "故障");
    EXPECT_EQ(texts[kColBPhaseAlarm], "正常");
}

TEST(HistoryCellText, FullScaleRawShowsUnsignedValueMinusForty) {
    const QStringList texts = CellTexts(Sample(kSampleTime, 65535, 65535, 65535, 65535));
    for (int c : {kColAPhaseTmp, kColBPhaseTmp, kColCPhaseTmp, kColIronTmp}) {
        EXPECT_EQ(texts[c], "65495") << c;
    }
    for (int c : {kColAPhaseAlarm, kColBPhaseAlarm, kColCPhaseAlarm, kColIronAlarm}) {
        EXPECT_EQ(texts[c], "故障") << c;
    }
}

TEST(HistoryCellText, FaultThresholdIsStrictlyAbove240OnEveryChannel) {
    const QStringList at = CellTexts(Sample(kSampleTime, 240, 240, 240, 240));
    const QStringList above = CellTexts(Sample(kSampleTime, 241, 241, 241, 241));
    for (int c : {kColAPhaseTmp, kColBPhaseTmp, kColCPhaseTmp, kColIronTmp}) {
        EXPECT_EQ(at[c], "200") << c;
        EXPECT_EQ(above[c], "201") << c;
    }
    for (int c : {kColAPhaseAlarm, kColBPhaseAlarm, kColCPhaseAlarm, kColIronAlarm}) {
        EXPECT_EQ(at[c], "正常") << c;
        EXPECT_EQ(above[c], "故障") << c;
    }
}

TEST(HistoryCellText, RawZeroIsMinusFortyForPhasesButUnknownNormalForIron) {
    const QStringList texts = CellTexts(Sample(kSampleTime, 0, 0, 0, 0));
    EXPECT_EQ(texts[kColAPhaseTmp], "-40");
    EXPECT_EQ(texts[kColBPhaseTmp], "-40");
    EXPECT_EQ(texts[kColCPhaseTmp], "-40");
    EXPECT_EQ(texts[kColIronTmp], "未知");
    EXPECT_EQ(texts[kColIronAlarm], "正常");
    EXPECT_EQ(CellTexts(Sample(kSampleTime, 0, 0, 0, 1))[kColIronTmp], "-39");
}

TEST(HistoryCellText, EachRelayBitSwitchesOnlyItsOwnColumn) {
    const QStringList clear = {"无故障", "关", "未报警", "未跳闸"};
    const QStringList set = {"有故障", "开", "已报警", "已跳闸"};
    const int columns[] = {kColSensorState, kColFanState, kColAlarmState, kColTripState};
    for (int bit = 0; bit < 4; ++bit) {
        const QStringList texts =
            CellTexts(Sample(kSampleTime, 65, 65, 65, 65, static_cast<uint8_t>(1u << bit)));
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(texts[columns[k]], k == bit ? set[k] : clear[k]) << "bit " << bit;
        }
    }
    // Bits 4..7 mean nothing.
    const QStringList high = CellTexts(Sample(kSampleTime, 65, 65, 65, 65, 0xF1));
    EXPECT_EQ(high[kColSensorState], "有故障");
    EXPECT_EQ(high[kColFanState], "关");
    EXPECT_EQ(high[kColAlarmState], "未报警");
    EXPECT_EQ(high[kColTripState], "未跳闸");
}

TEST(HistoryCellText, TimeLeavesOutExactMidnightOnly) {
    const TDateTime midnight = EncodeDateTime(2006, 3, 1);
    EXPECT_EQ(HistoryCellText(Sample(midnight, 65, 65, 65, 0), kColTime), "2006-3-1");
    EXPECT_EQ(
        HistoryCellText(Sample(EncodeDateTime(2006, 3, 1, 0, 0, 0, 1), 65, 65, 65, 0), kColTime),
        "2006-3-1 0:00:00");
    EXPECT_EQ(HistoryCellText(Sample(EncodeDateTime(2006, 3, 1, 9, 5, 7), 65, 65, 65, 0), kColTime),
              "2006-3-1 9:05:07");
}

TEST(HistoryCellText, ColumnOutsideTheTableIsEmpty) {
    const TTmpReading r = Sample(kSampleTime, 65, 66, 67, 0);
    EXPECT_TRUE(HistoryCellText(r, -1).isEmpty());
    EXPECT_TRUE(HistoryCellText(r, kHistoryColumnCount).isEmpty());
}

TEST(THistoryReportModel, HasThirteenCaptionsInOrder) {
    THistoryReportModel model;
    ASSERT_EQ(model.columnCount(), 13);
    const QStringList expected = {"时间",       "A相温度",  "B相温度",  "C相温度",  "铁芯温度",
                                  "传感器状态", "风机状态", "报警状态", "跳闸状态", "A相报警",
                                  "B相报警",    "C相报警",  "铁芯报警"};
    for (int c = 0; c < 13; ++c) {
        EXPECT_EQ(model.headerData(c, Qt::Horizontal).toString(), expected[c]);
    }
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
}

TEST(THistoryReportModel, RowsFollowListOrderWithCellTexts) {
    const auto list = MinuteSamples(3, EncodeDateTime(2020, 1, 1, 12), [](size_t i, TDateTime t) {
        return Sample(t, static_cast<uint16_t>(60 + i), 66, 67, 0);
    });
    THistoryReportModel model;
    model.SetReadings(&list);
    ASSERT_EQ(model.rowCount(), 3);
    // Newest first, as the list holds them.
    EXPECT_EQ(model.data(model.index(0, kColTime)).toString(), "2020-1-1 12:02:00");
    EXPECT_EQ(model.data(model.index(0, kColAPhaseTmp)).toString(), "22");
    EXPECT_EQ(model.data(model.index(2, kColTime)).toString(), "2020-1-1 12:00:00");
    EXPECT_EQ(model.data(model.index(2, kColAPhaseTmp)).toString(), "20");
    for (int c = 0; c < kHistoryColumnCount; ++c) {
        EXPECT_EQ(model.data(model.index(1, c)).toString(), HistoryCellText(list[1], c));
    }
    EXPECT_FALSE(model.data(model.index(1, 1), Qt::EditRole).isValid());
}

TEST(THistoryReportModel, NullListShowsNoRows) {
    const auto list = MinuteSamples(5, EncodeDateTime(2020, 1, 1),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 65, 65, 0); });
    THistoryReportModel model;
    EXPECT_EQ(model.rowCount(), 0);
    model.SetReadings(&list);
    EXPECT_EQ(model.rowCount(), 5);
    model.SetReadings(nullptr);
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_FALSE(model.data(model.index(0, 0)).isValid());
}

TEST(THistoryReportModel, SettingTheListAgainResetsForTheOwnersChanges) {
    auto list = MinuteSamples(2, EncodeDateTime(2020, 1, 1),
                              [](size_t, TDateTime t) { return Sample(t, 65, 65, 65, 0); });
    THistoryReportModel model;
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.SetReadings(&list);
    list.push_back(Sample(EncodeDateTime(2019, 12, 31), 70, 70, 70, 0));
    model.SetReadings(&list);
    EXPECT_EQ(resets.count(), 2);
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(model.data(model.index(2, kColAPhaseTmp)).toString(), "30");
}

TEST(THistoryReportModel, CellsAreSelectableButNotEditable) {
    const auto list = MinuteSamples(1, EncodeDateTime(2020, 1, 1),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 65, 65, 0); });
    THistoryReportModel model;
    model.SetReadings(&list);
    const Qt::ItemFlags flags = model.flags(model.index(0, 1));
    EXPECT_TRUE(flags & Qt::ItemIsSelectable);
    EXPECT_FALSE(flags & Qt::ItemIsEditable);
    EXPECT_FALSE(model.setData(model.index(0, 1), "99"));
}

TEST(THistoryReportView, ColumnsHaveTheirWidthsAndKeepThemAcrossResets) {
    THistoryReportView view;
    EXPECT_EQ(view.objectName(), "HistoryListView");
    QHeaderView* header = view.horizontalHeader();
    const int widths[] = {100, 60, 60, 60, 84, 84, 60, 60, 60};
    for (int c = 0; c < 9; ++c) EXPECT_EQ(header->sectionSize(c), widths[c]) << c;
    for (int c = 9; c < 13; ++c) EXPECT_EQ(header->sectionSize(c), header->defaultSectionSize());

    // A width the operator dragged survives a new query result.
    header->resizeSection(kColTime, 150);
    const auto list = MinuteSamples(3, EncodeDateTime(2020, 1, 1),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 65, 65, 0); });
    view.SetReadings(&list);
    view.SetReadings(nullptr);
    EXPECT_EQ(header->sectionSize(kColTime), 150);
    for (int c = 1; c < 9; ++c) EXPECT_EQ(header->sectionSize(c), widths[c]) << c;
}

TEST(THistoryReportView, ReadOnlyWithFixedRowsAndWholeRowSelection) {
    THistoryReportView view;
    EXPECT_EQ(view.editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(view.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view.verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);

    const auto list = MinuteSamples(20, EncodeDateTime(2020, 1, 1),
                                    [](size_t, TDateTime t) { return Sample(t, 65, 65, 65, 0); });
    view.SetReadings(&list);
    view.resize(800, 400);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    const QRect cell = view.visualRect(view.model()->index(2, kColFanState));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, cell.center());
    const QModelIndexList rows = view.selectionModel()->selectedRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].row(), 2);
    EXPECT_EQ(view.selectionModel()->selectedIndexes().size(), kHistoryColumnCount);
    EXPECT_EQ(view.rowHeight(0), view.rowHeight(19));
}
