#include "app/PortSettingsView.h"

#include <gtest/gtest.h>

#include <QComboBox>

#include "store/Items.h"

namespace {

QStringList Entries(const QComboBox* list) {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
    return entries;
}

}  // namespace

TEST(TPortSettingsPage, ListsStartWithTheirEntriesAndInitialChoices) {
    TPortSettingsPage page;
    EXPECT_EQ(page.CommNameComboBox()->count(), 0);
    EXPECT_EQ(page.PortBaudComboBox()->count(), 13);
    EXPECT_EQ(page.PortBaudComboBox()->currentText(), "9600");
    EXPECT_EQ(Entries(page.PortBitsSizeComboBox()), QStringList({"5", "6", "7", "8"}));
    EXPECT_EQ(page.PortBitsSizeComboBox()->currentText(), "8");
    EXPECT_EQ(Entries(page.PortParityComboBox()), QStringList({"无", "奇较验", "偶较验"}));
    EXPECT_EQ(page.PortParityComboBox()->currentText(), "无");
    EXPECT_EQ(Entries(page.PortStopBitComboBox()), QStringList({"1", "1.5", "2"}));
    EXPECT_EQ(page.PortStopBitComboBox()->currentText(), "1");
    EXPECT_EQ(Entries(page.PortDtrControlComboBox()), QStringList({"硬件", "无", "Xon/Xoff"}));
    EXPECT_EQ(page.PortDtrControlComboBox()->currentText(), "硬件");

    page.FillPortNames();
    ASSERT_EQ(page.CommNameComboBox()->count(), 50);
    EXPECT_EQ(page.CommNameComboBox()->itemText(49), "COM50");
    EXPECT_EQ(page.CommNameComboBox()->currentText(), "COM1");
}

TEST(TPortSettingsPage, StoredIndexesSelectTheirEntriesAndOutOfRangeSelectsNone) {
    TPortSettingsPage page;
    page.FillPortNames();
    TStationInfo station;
    station.PortNo = 50;
    station.PortBaud = 0;
    station.PortBitSize = 0;
    station.PortParity = 2;
    station.PortStopBits = 1;
    station.PortDtrControl = 1;
    page.ShowPortSettings(station);
    EXPECT_EQ(page.CommNameComboBox()->currentText(), "COM50");
    EXPECT_EQ(page.PortBaudComboBox()->currentText(), "110");
    EXPECT_EQ(page.PortBitsSizeComboBox()->currentText(), "5");
    EXPECT_EQ(page.PortParityComboBox()->currentText(), "偶较验");
    EXPECT_EQ(page.PortStopBitComboBox()->currentText(), "1.5");
    EXPECT_EQ(page.PortDtrControlComboBox()->currentText(), "无");

    station.PortNo = 0;
    station.PortBaud = 13;
    station.PortDtrControl = 3;
    page.ShowPortSettings(station);
    EXPECT_EQ(page.CommNameComboBox()->currentIndex(), -1);
    EXPECT_EQ(page.PortBaudComboBox()->currentIndex(), -1);
    EXPECT_EQ(page.PortDtrControlComboBox()->currentIndex(), -1);
}
