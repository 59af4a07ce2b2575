#include "app/PortSettingsView.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QVBoxLayout>

#include "dialogs/PortLists.h"
#include "store/Items.h"

namespace {

QComboBox* MakeList(const char* name, QWidget* parent) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QString::fromUtf8(name));
    list->setMinimumWidth(180);
    return list;
}

}  // namespace

TPortSettingsPage::TPortSettingsPage(QWidget* parent)
    : QWidget(parent),
      FCommName(nullptr),
      FBaud(nullptr),
      FBitsSize(nullptr),
      FParity(nullptr),
      FStopBit(nullptr),
      FDtrControl(nullptr) {
    setObjectName(QStringLiteral("CommParaPage"));
    auto* group = new QGroupBox(QStringLiteral("端口参数"), this);
    group->setObjectName(QStringLiteral("PortParaGroupBox"));
    FCommName = MakeList("CommNameComboBox", group);
    FBaud = MakeList("PortBaudComboBox", group);
    FBitsSize = MakeList("PortBitsSizeComboBox", group);
    FParity = MakeList("PortParityComboBox", group);
    FStopBit = MakeList("PortStopBitComboBox", group);
    FDtrControl = MakeList("PortDtrControlComboBox", group);

    FillEntries(*FBaud, BaudEntries(), kDefaultBaudIndex);
    FillEntries(*FBitsSize, BitSizeEntries(), kDefaultBitSizeIndex);
    FillEntries(*FParity, ParityEntries(), 0);
    FillEntries(*FStopBit, StopBitsEntries(), 0);
    FillEntries(*FDtrControl, DtrControlEntries(), 0);
    for (QComboBox* fixed : {FBitsSize, FParity, FStopBit, FDtrControl}) fixed->setEnabled(false);

    auto* form = new QFormLayout(group);
    form->setVerticalSpacing(12);
    form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    form->addRow(QStringLiteral("端口选择："), FCommName);
    form->addRow(QStringLiteral("波特率："), FBaud);
    form->addRow(QStringLiteral("数据位："), FBitsSize);
    form->addRow(QStringLiteral("奇偶较验："), FParity);
    form->addRow(QStringLiteral("停止位："), FStopBit);
    form->addRow(QStringLiteral("数据流控制："), FDtrControl);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addStretch(1);
}

void TPortSettingsPage::FillPortNames() {
    ::FillPortNames(*FCommName);
}

void TPortSettingsPage::ShowPortSettings(const TStationInfo& station) {
    // QComboBox selects nothing for an index outside its entries.
    FCommName->setCurrentIndex(static_cast<int>(station.PortNo) - 1);
    FBaud->setCurrentIndex(station.PortBaud);
    FBitsSize->setCurrentIndex(station.PortBitSize);
    FParity->setCurrentIndex(station.PortParity);
    FStopBit->setCurrentIndex(station.PortStopBits);
    FDtrControl->setCurrentIndex(station.PortDtrControl);
}
