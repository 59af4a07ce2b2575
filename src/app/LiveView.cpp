#include "app/LiveView.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>

#include "app/ColourRadioButton.h"
#include "polling/TmpProtocol.h"
#include "store/ReportText.h"

namespace {

const char* const kUnknownText = "未知";

struct TTempRowText {
    const char* Label;
    const char* Edit;
    const char* SensorLabel;
    const char* Button;  // the three buttons are Button, Button + "E", Button + "U"
};
constexpr std::array<TTempRowText, kTempRowCount> kTempRowTexts = {{
    {"A相温度(C)：", "APhaseTmpEdit", "A相传感器：", "APhaseTmpButton"},
    {"B相温度(C)：", "BPhaseTmpEdit", "B相传感器：", "BPhaseTmpButton"},
    {"C相温度(C)：", "CPhaseTmpEdit", "C相传感器：", "CPhaseTmpButton"},
    {"铁芯温度(C)：", "IronTmpEdit", "铁芯传感器：", "IronTmpButton"},
}};

struct TRelayRowText {
    const char* Label;
    const char* SetName;
    const char* SetText;
    const char* ClearName;
    const char* ClearText;
    const char* UnknownName;
    uint8_t Bit;
};
constexpr std::array<TRelayRowText, kRelayRowCount> kRelayRowTexts = {{
    {"传感器：", "SensorRadioY", "有故障", "SensorRadioN", "无故障", "RadioButton1",
     kRelaySensorFault},
    {"风机：", "FanRadioY", "开", "FanRadioN", "关", "RadioButton2", kRelayFan},
    {"报警：", "AlarmRadioY", "已报警", "AlarmRadioN", "未报警", "RadioButton3", kRelayAlarm},
    {"跳闸：", "BreakRadioY", "已跳闸", "BreakRadioN", "未跳闸", "RadioButton4", kRelayTrip},
}};

TColourRadioButton* MakeButton(const char* text, const QString& name, QWidget* parent) {
    auto* button = new TColourRadioButton(QString::fromUtf8(text), name, parent);
    button->setEnabled(false);
    return button;
}

QButtonGroup* GroupOf(QWidget* owner, std::initializer_list<QAbstractButton*> buttons) {
    auto* group = new QButtonGroup(owner);
    group->setExclusive(true);
    for (QAbstractButton* button : buttons) group->addButton(button);
    return group;
}

}  // namespace

TLiveViewPage::TLiveViewPage(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("LiveDataPage"));
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(MakeTemperatureGroup(), 3);
    layout->addWidget(MakeRelayGroup(), 2);
    ResetToUnknown();
}

QWidget* TLiveViewPage::MakeTemperatureGroup() {
    auto* group = new QGroupBox(QStringLiteral("温度"), this);
    group->setObjectName(QStringLiteral("TmpGroupBox"));
    auto* grid = new QGridLayout(group);
    grid->setVerticalSpacing(14);
    for (size_t i = 0; i < kTempRowCount; ++i) {
        const TTempRowText& t = kTempRowTexts[i];
        const int row = static_cast<int>(i);
        TTempRow& r = FTempRows[i];
        r.Edit = new QLineEdit(group);
        r.Edit->setObjectName(QString::fromUtf8(t.Edit));
        r.Edit->setReadOnly(true);
        r.Edit->setEnabled(false);
        r.Edit->setMaximumWidth(90);
        r.Edit->setAlignment(Qt::AlignCenter);
        // Disabled, yet the value must read as clearly as an enabled box.
        QPalette palette = r.Edit->palette();
        palette.setColor(QPalette::Disabled, QPalette::Text,
                         palette.color(QPalette::Active, QPalette::Text));
        palette.setColor(QPalette::Disabled, QPalette::Base,
                         palette.color(QPalette::Active, QPalette::Base));
        r.Edit->setPalette(palette);
        QFont font = r.Edit->font();
        font.setBold(true);
        r.Edit->setFont(font);
        const QString button = QString::fromUtf8(t.Button);
        r.Normal = MakeButton("正常", button, group);
        r.Fault = MakeButton("故障", button + "E", group);
        r.Unknown = MakeButton(kUnknownText, button + "U", group);
        r.Group = GroupOf(this, {r.Normal, r.Fault, r.Unknown});

        grid->addWidget(new QLabel(QString::fromUtf8(t.Label), group), row, 0);
        grid->addWidget(r.Edit, row, 1);
        grid->addWidget(new QLabel(QString::fromUtf8(t.SensorLabel), group), row, 2);
        grid->addWidget(r.Normal, row, 3);
        grid->addWidget(r.Fault, row, 4);
        grid->addWidget(r.Unknown, row, 5);
    }
    grid->setColumnStretch(6, 1);
    grid->setRowStretch(static_cast<int>(kTempRowCount), 1);
    return group;
}

QWidget* TLiveViewPage::MakeRelayGroup() {
    auto* group = new QGroupBox(QStringLiteral("继电器状态"), this);
    group->setObjectName(QStringLiteral("RelayGroupBox"));
    auto* grid = new QGridLayout(group);
    grid->setVerticalSpacing(14);
    for (size_t i = 0; i < kRelayRowCount; ++i) {
        const TRelayRowText& t = kRelayRowTexts[i];
        const int row = static_cast<int>(i);
        TRelayRow& r = FRelayRows[i];
        r.Set = MakeButton(t.SetText, QString::fromUtf8(t.SetName), group);
        r.Clear = MakeButton(t.ClearText, QString::fromUtf8(t.ClearName), group);
        r.Unknown = MakeButton(kUnknownText, QString::fromUtf8(t.UnknownName), group);
        r.Group = GroupOf(this, {r.Set, r.Clear, r.Unknown});

        grid->addWidget(new QLabel(QString::fromUtf8(t.Label), group), row, 0);
        grid->addWidget(r.Set, row, 1);
        grid->addWidget(r.Clear, row, 2);
        grid->addWidget(r.Unknown, row, 3);
    }
    grid->setColumnStretch(4, 1);
    grid->setRowStretch(static_cast<int>(kRelayRowCount), 1);
    return group;
}

void TLiveViewPage::ShowValues(uint8_t relayFlags,
                               std::span<const uint16_t, kTempRowCount> rawTemp) {
    for (size_t i = 0; i < kTempRowCount; ++i) {
        const uint16_t raw = rawTemp[i];
        TTempRow& r = FTempRows[i];
        if (!IsSensorFault(raw)) {
            // An iron-core register of 0 is "no reading", not -40 degrees.
            const bool noReading = i == kIronRow && raw == kIronCoreNoReading;
            r.Edit->setText(noReading ? QString::fromUtf8(kUnknownText)
                                      : QString::fromStdString(TemperatureText(raw)));
            r.Normal->setChecked(true);
            r.Normal->SetColour(clLime);
            r.Fault->SetColour(clBtnFace());
        } else {
            // The box keeps the last good temperature.
            r.Fault->setChecked(true);
            r.Fault->SetColour(clRed);
            r.Normal->SetColour(clBtnFace());
        }
    }
    for (size_t i = 0; i < kRelayRowCount; ++i) {
        TRelayRow& r = FRelayRows[i];
        if ((relayFlags & kRelayRowTexts[i].Bit) != 0) {
            r.Set->setChecked(true);
            r.Set->SetColour(clRed);
            r.Clear->SetColour(clBtnFace());
        } else {
            r.Clear->setChecked(true);
            r.Clear->SetColour(clLime);
            r.Set->SetColour(clBtnFace());
        }
    }
}

void TLiveViewPage::ResetToUnknown() {
    for (TTempRow& r : FTempRows) {
        r.Edit->setText(QString::fromUtf8(kUnknownText));
        r.Unknown->setChecked(true);
    }
    for (TRelayRow& r : FRelayRows) r.Unknown->setChecked(true);
}

void TLiveViewPage::ClearUncheckedColours() {
    const auto clear = [](std::initializer_list<TColourRadioButton*> buttons) {
        for (TColourRadioButton* button : buttons) {
            if (!button->isChecked()) button->SetColour(clBtnFace());
        }
    };
    for (TTempRow& r : FTempRows) clear({r.Normal, r.Fault, r.Unknown});
    for (TRelayRow& r : FRelayRows) clear({r.Set, r.Clear, r.Unknown});
}
