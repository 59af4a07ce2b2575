#include "dialogs/AddDeviceFrm.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <memory>

#include "dialogs/PortLists.h"
#include "dialogs/Prompts.h"
#include "polling/Globe.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "store/DateTime.h"
#include "store/Items.h"

namespace {

QLineEdit* MakeEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromUtf8(name));
    edit->setMinimumWidth(150);
    return edit;
}

QComboBox* MakeList(const char* name, QWidget* parent) {
    auto* list = new QComboBox(parent);
    list->setObjectName(QString::fromUtf8(name));
    list->setMinimumWidth(120);
    return list;
}

// A row whose label follows the list's enabled state.
void AddRow(QFormLayout& form, const char* label, QComboBox* list) {
    auto* text = new QLabel(QString::fromUtf8(label), list->parentWidget());
    text->setEnabled(list->isEnabled());
    form.addRow(text, list);
}

}  // namespace

TAddDeviceForm::TAddDeviceForm(QWidget* owner, int deviceNo, TStationRoster& roster,
                               IStationTree& tree)
    : QDialog(owner), FRoster(roster), FTree(tree), FDeviceNo(deviceNo) {
    setObjectName(QStringLiteral("AddDeviceForm"));
    setWindowTitle(QStringLiteral("增加设备"));
    // A fixed single border: no resizing, no maximise.
    setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    QWidget* fields = MakeStationFields();
    QWidget* ports = MakePortGroup();

    FAddButton = new QPushButton(QStringLiteral("确定"), this);
    FAddButton->setObjectName(QStringLiteral("AddStationButton"));
    FCancelButton = new QPushButton(QStringLiteral("取消"), this);
    FCancelButton->setObjectName(QStringLiteral("CancelButton"));
    // Enter adds the device; the dialog stays open.
    FAddButton->setDefault(true);
    FCancelButton->setAutoDefault(false);
    connect(FAddButton, &QPushButton::clicked, this, &TAddDeviceForm::AddStationButtonClick);
    connect(FCancelButton, &QPushButton::clicked, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(fields);
    top->addWidget(ports, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(FAddButton);
    buttons->addWidget(FCancelButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(FTmpAddrEdit, FStationPosNameEdit);
    setTabOrder(FStationPosNameEdit, FDevNameEdit);
    setTabOrder(FDevNameEdit, FPortName);
    setTabOrder(FPortName, FPortBaud);
    setTabOrder(FPortBaud, FAddButton);
    setTabOrder(FAddButton, FCancelButton);
    FTmpAddrEdit->setFocus();

    ShowDeviceNo();
    FillPortNameList();
}

TAddDeviceForm::TAddDeviceForm(QWidget* owner, int deviceNo, TStationRoster& roster,
                               IStationTree& tree, TStationState& station)
    : TAddDeviceForm(owner, deviceNo, roster, tree) {
    FEditing = &station;
    setObjectName(QStringLiteral("ModifyDeviceForm"));
    setWindowTitle(QStringLiteral("修改设备"));
    // The address names the station's history directory: it stays.
    FTmpAddrEdit->setEnabled(false);
    FStationPosNameEdit->setFocus();
    FillFromStation(station);
}

void TAddDeviceForm::FillFromStation(const TStationState& station) {
    FTmpAddrEdit->setText(QString::number(station.Address));
    const TStationInfo* info = station.Station;
    if (info == nullptr) return;
    FStationPosNameEdit->setText(QString::fromStdString(info->StationPosName.Utf8()));
    FDevNameEdit->setText(QString::fromStdString(info->DevName.Utf8()));
    const QString port = QString::fromStdString(CommNameOf(info->PortNo));
    const int portEntry = FPortName->findText(port, Qt::MatchExactly | Qt::MatchCaseSensitive);
    FPortName->setCurrentIndex(portEntry);
    if (portEntry < 0) FPortName->setEditText(port);
    FPortBaud->setCurrentIndex(info->PortBaud < FPortBaud->count() ? info->PortBaud : -1);
}

QWidget* TAddDeviceForm::MakeStationFields() {
    auto* box = new QWidget(this);
    FTmpAddrEdit = MakeEdit("TmpAddrEdit", box);
    FStationPosNameEdit = MakeEdit("StationPosNameEdit", box);
    FDevNameEdit = MakeEdit("DevNameEdit", box);
    FDevNoEdit = MakeEdit("DevNoEdit", box);
    FDevNoEdit->setEnabled(false);
    FDevNoEdit->setFocusPolicy(Qt::NoFocus);

    auto* form = new QFormLayout(box);
    form->setVerticalSpacing(14);
    form->addRow(QStringLiteral("温控地址："), FTmpAddrEdit);
    form->addRow(QStringLiteral("设备位置："), FStationPosNameEdit);
    form->addRow(QStringLiteral("设备名称："), FDevNameEdit);
    auto* devNoLabel = new QLabel(QStringLiteral("设备编号："), box);
    devNoLabel->setEnabled(false);
    form->addRow(devNoLabel, FDevNoEdit);
    return box;
}

QWidget* TAddDeviceForm::MakePortGroup() {
    auto* group = new QGroupBox(QStringLiteral("端口设置"), this);
    group->setObjectName(QStringLiteral("PortGroupBox"));
    FPortName = MakeList("PortNameComboBox", group);
    // Typed text is allowed; text that is not an entry selects none.
    FPortName->setEditable(true);
    FPortName->setInsertPolicy(QComboBox::NoInsert);
    FPortBaud = MakeList("PortBaudComboBox", group);
    FPortBitSize = MakeList("PortBitSizeComboBox", group);
    FPortParity = MakeList("PortParityComboBox", group);
    FPortStopBits = MakeList("PortStopBitsComboBox", group);
    FPortDtrControl = MakeList("PortDtrControlComboBox", group);

    FillEntries(*FPortBaud, BaudEntries(), kDefaultBaudIndex);
    FillEntries(*FPortBitSize, BitSizeEntries(), kDefaultBitSizeIndex);
    FillEntries(*FPortParity, ParityEntries(), 0);
    FillEntries(*FPortStopBits, StopBitsEntries(), 0);
    FillEntries(*FPortDtrControl, DtrControlEntries(), 0);
    // Every device gets 8 data bits, no parity, one stop bit, flow control 0.
    for (QComboBox* fixed : {FPortBitSize, FPortParity, FPortStopBits, FPortDtrControl}) {
        fixed->setEnabled(false);
    }

    auto* form = new QFormLayout(group);
    form->setVerticalSpacing(8);
    AddRow(*form, "端口选择：", FPortName);
    AddRow(*form, "波特率：", FPortBaud);
    AddRow(*form, "数据位：", FPortBitSize);
    AddRow(*form, "奇偶较验：", FPortParity);
    AddRow(*form, "停止位：", FPortStopBits);
    AddRow(*form, "数据流控制：", FPortDtrControl);
    return group;
}

void TAddDeviceForm::showEvent(QShowEvent* event) {
    // Restoring a minimised dialog is a spontaneous show: it keeps the fields.
    if (!event->spontaneous()) {
        ShowDeviceNo();
        FillPortNameList();
        if (FEditing != nullptr) FillFromStation(*FEditing);
    }
    QDialog::showEvent(event);
}

void TAddDeviceForm::ShowDeviceNo() {
    FDevNoEdit->setText(QString::number(FDeviceNo));
}

void TAddDeviceForm::FillPortNameList() {
    FillPortNames(*FPortName);
}

void TAddDeviceForm::AddStationButtonClick() {
    if (!CheckFields()) return;
    if (FEditing != nullptr) {
        ModifyStation();
    } else {
        AddStation();
    }
}

bool TAddDeviceForm::CheckFields() {
    TStationEntry entry;
    entry.DevName = FDevNameEdit->text().toStdString();
    entry.StationPosName = FStationPosNameEdit->text().toStdString();
    entry.TmpAddr = FTmpAddrEdit->text().toStdString();
    // The text of the selected entry; typed text that is no entry selects
    // none and fails the port check.
    const int port =
        FPortName->findText(FPortName->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
    entry.PortName = port >= 0 ? FPortName->itemText(port).toStdString() : std::string();
    entry.PortBaud = FPortBaud->currentIndex();
    entry.PortBitSize = FPortBitSize->currentIndex();
    entry.PortParity = FPortParity->currentIndex();
    entry.PortStopBits = FPortStopBits->currentIndex();
    entry.PortDtrControl = FPortDtrControl->currentIndex();

    std::vector<int32_t> used;
    for (const TStationState* state : FRoster.Stations()) {
        if (state != FEditing) used.push_back(state->Address);
    }

    FFields = TStationFields{};
    std::optional<std::string> failure = CheckStationEntry(entry, used, FFields);
    // Stations on one line share its line settings.
    if (!failure) failure = FRoster.CheckLine(FFields.PortNo, FFields.PortBaud, FEditing);
    if (failure) {
        ShowMessage(this, QString::fromStdString(*failure));
        return false;
    }
    return true;
}

void TAddDeviceForm::AddStation() {
    const TStationFields& f = FFields;
    // Stored first: an engine error leaves everything else untouched. The
    // station's line is opened with every stored line setting; a port that
    // cannot be opened leaves the station added in state 5.
    TStationState& state = FRoster.Add(f, MonotonicNow());

    ++FDeviceNo;
    ShowDeviceNo();
    // The next address is proposed; 256 after 255 fails the check if kept.
    FTmpAddrEdit->setText(QString::number(f.TmpAddr + 1));
    FStationPosNameEdit->clear();
    FDevNameEdit->clear();

    FTree.AddStationNode(QString::fromStdString(state.Station->StationPosName.Utf8()), state);
    FTmpAddrEdit->setFocus();
}

void TAddDeviceForm::ModifyStation() {
    FRoster.Modify(*FEditing, FFields, MonotonicNow());
    accept();
}
