#include "app/LiveView.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QImage>
#include <QLineEdit>
#include <QStyle>
#include <QStyleFactory>
#include <array>
#include <memory>

#include "app/ColourRadioButton.h"

namespace {

using TRaw = std::array<uint16_t, kTempRowCount>;

QStringList EditTexts(const TLiveViewPage& page) {
    QStringList texts;
    for (size_t i = 0; i < kTempRowCount; ++i) texts << page.TempRow(i).Edit->text();
    return texts;
}

bool AllUnknownChecked(const TLiveViewPage& page) {
    for (size_t i = 0; i < kTempRowCount; ++i) {
        if (!page.TempRow(i).Unknown->isChecked()) return false;
    }
    for (size_t i = 0; i < kRelayRowCount; ++i) {
        if (!page.RelayRow(i).Unknown->isChecked()) return false;
    }
    return true;
}

// The share of the button's pixels that show `colour` (exactly).
double ShareOf(QWidget& widget, const QColor& colour) {
    const QImage image = widget.grab().toImage();
    if (image.isNull()) return 0;
    int hits = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y).rgb() == colour.rgb()) ++hits;
        }
    }
    return static_cast<double>(hits) / (image.width() * image.height());
}

}  // namespace

TEST(TLiveViewPage, StartsWithUnknownEverywhereAndEveryButtonDisabled) {
    TLiveViewPage page;
    EXPECT_EQ(EditTexts(page), QStringList({"未知", "未知", "未知", "未知"}));
    EXPECT_TRUE(AllUnknownChecked(page));
    for (size_t i = 0; i < kTempRowCount; ++i) {
        const TTempRow& row = page.TempRow(i);
        EXPECT_TRUE(row.Edit->isReadOnly());
        EXPECT_FALSE(row.Edit->isEnabled());
        for (auto* b : {row.Normal, row.Fault, row.Unknown}) EXPECT_FALSE(b->isEnabled());
        EXPECT_TRUE(row.Group->exclusive());
        EXPECT_EQ(row.Group->buttons().size(), 3);
    }
    for (size_t i = 0; i < kRelayRowCount; ++i) {
        const TRelayRow& row = page.RelayRow(i);
        for (auto* b : {row.Set, row.Clear, row.Unknown}) EXPECT_FALSE(b->isEnabled());
        EXPECT_EQ(row.Group->buttons().size(), 3);
    }
}

TEST(TLiveViewPage, WidgetsCarryTheirNamesAndCaptions) {
    TLiveViewPage page;
    const struct {
        const char* Name;
        const char* Text;
    } expected[] = {
        {"APhaseTmpButton", "正常"}, {"APhaseTmpButtonE", "故障"}, {"APhaseTmpButtonU", "未知"},
        {"IronTmpButton", "正常"},   {"IronTmpButtonU", "未知"},   {"SensorRadioY", "有故障"},
        {"SensorRadioN", "无故障"},  {"RadioButton1", "未知"},     {"FanRadioY", "开"},
        {"FanRadioN", "关"},         {"AlarmRadioY", "已报警"},    {"AlarmRadioN", "未报警"},
        {"BreakRadioY", "已跳闸"},   {"BreakRadioN", "未跳闸"},    {"RadioButton4", "未知"},
    };
    for (const auto& e : expected) {
        auto* button = page.findChild<QRadioButton*>(e.Name);
        ASSERT_NE(button, nullptr) << e.Name;
        EXPECT_EQ(button->text(), QString::fromUtf8(e.Text)) << e.Name;
    }
    for (const char* edit : {"APhaseTmpEdit", "BPhaseTmpEdit", "CPhaseTmpEdit", "IronTmpEdit"}) {
        EXPECT_NE(page.findChild<QLineEdit*>(edit), nullptr) << edit;
    }
}

TEST(TLiveViewPage, NormalReadingsShowDegreesAndGreenSensorsIronZeroIsUnknown) {
    TLiveViewPage page;
    page.ShowValues(0, TRaw{65, 66, 67, 0});
    EXPECT_EQ(EditTexts(page), QStringList({"25", "26", "27", "未知"}));
    for (size_t i = 0; i < kTempRowCount; ++i) {
        const TTempRow& row = page.TempRow(i);
        EXPECT_TRUE(row.Normal->isChecked());
        EXPECT_FALSE(row.Unknown->isChecked());
        EXPECT_EQ(row.Normal->Colour(), clLime);
        EXPECT_EQ(row.Fault->Colour(), clBtnFace());
    }
}

TEST(TLiveViewPage, IronCoreAndBoundaryValuesConvertAsSigned) {
    TLiveViewPage page;
    // 240 is still a valid 200 degrees; 1 is -39; an iron core of 1 is shown.
    page.ShowValues(0, TRaw{240, 1, 40, 1});
    EXPECT_EQ(EditTexts(page), QStringList({"200", "-39", "0", "-39"}));
    EXPECT_TRUE(page.TempRow(0).Normal->isChecked());
}

TEST(TLiveViewPage, FaultAfterAGoodReadingKeepsTheLastTemperatureInRed) {
    TLiveViewPage page;
    page.ShowValues(0, TRaw{65, 65, 65, 65});
    page.ShowValues(0, TRaw{241, 65, 65, 65});
    const TTempRow& a = page.TempRow(0);
    EXPECT_EQ(a.Edit->text(), "25");
    EXPECT_TRUE(a.Fault->isChecked());
    EXPECT_FALSE(a.Normal->isChecked());
    EXPECT_EQ(a.Fault->Colour(), clRed);
    EXPECT_EQ(a.Normal->Colour(), clBtnFace());
    // A fault before any good reading leaves the box as it was.
    TLiveViewPage fresh;
    fresh.ShowValues(0, TRaw{65535, 65, 65, 65});
    EXPECT_EQ(fresh.TempRow(0).Edit->text(), "未知");
    EXPECT_TRUE(fresh.TempRow(0).Fault->isChecked());
}

TEST(TLiveViewPage, RelayByteSetsRedAffirmativeOrGreenNegativeButtons) {
    TLiveViewPage page;
    page.ShowValues(0x0A, TRaw{65, 65, 65, 0});
    const TRelayRow& sensor = page.RelayRow(0);
    const TRelayRow& fan = page.RelayRow(1);
    const TRelayRow& alarm = page.RelayRow(2);
    const TRelayRow& trip = page.RelayRow(3);
    EXPECT_TRUE(sensor.Clear->isChecked());
    EXPECT_EQ(sensor.Clear->Colour(), clLime);
    EXPECT_EQ(sensor.Set->Colour(), clBtnFace());
    EXPECT_TRUE(fan.Set->isChecked());
    EXPECT_EQ(fan.Set->Colour(), clRed);
    EXPECT_EQ(fan.Clear->Colour(), clBtnFace());
    EXPECT_TRUE(alarm.Clear->isChecked());
    EXPECT_EQ(alarm.Clear->Colour(), clLime);
    EXPECT_TRUE(trip.Set->isChecked());
    EXPECT_EQ(trip.Set->Colour(), clRed);
    // Bits 4 to 7 mean nothing.
    page.ShowValues(0xF0, TRaw{65, 65, 65, 0});
    for (size_t i = 0; i < kRelayRowCount; ++i) {
        EXPECT_TRUE(page.RelayRow(i).Clear->isChecked()) << i;
        EXPECT_EQ(page.RelayRow(i).Set->Colour(), clBtnFace()) << i;
    }
}

TEST(TLiveViewPage, ResetChecksUnknownEverywhereAndKeepsColours) {
    TLiveViewPage page;
    page.ShowValues(0x02, TRaw{65, 250, 67, 0});
    page.ResetToUnknown();
    EXPECT_EQ(EditTexts(page), QStringList({"未知", "未知", "未知", "未知"}));
    EXPECT_TRUE(AllUnknownChecked(page));
    EXPECT_EQ(page.TempRow(0).Normal->Colour(), clLime);
    EXPECT_EQ(page.TempRow(1).Fault->Colour(), clRed);
    EXPECT_EQ(page.RelayRow(1).Set->Colour(), clRed);
    EXPECT_EQ(page.RelayRow(0).Clear->Colour(), clLime);
}

// The colour must reach the screen whatever style draws the button, also
// while the button is disabled.
TEST(TColourRadioButton, ColourIsPaintedOnFusionAndTheDefaultStyle) {
    QStringList styles = {QString()};
    if (QStyleFactory::keys().contains("Fusion", Qt::CaseInsensitive)) styles << "Fusion";
    for (const QString& name : styles) {
        std::unique_ptr<QStyle> style(name.isEmpty() ? nullptr : QStyleFactory::create(name));
        for (const QColor& colour : {clRed, clLime}) {
            TColourRadioButton button(QStringLiteral("已跳闸"), QStringLiteral("B"), nullptr);
            if (style) button.setStyle(style.get());
            button.setEnabled(false);
            button.SetColour(colour);
            button.resize(button.sizeHint());
            EXPECT_GT(ShareOf(button, colour), 0.3) << name.toStdString();
            button.SetColour(clBtnFace());
            EXPECT_LT(ShareOf(button, colour), 0.01) << name.toStdString();
        }
    }
}
