#include "dialogs/SetParaFrm.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <utility>
#include <vector>

#include "dialogs/Prompts.h"
#include "store/SysParaDbMgr.h"

namespace {

constexpr int kClientWidth = 389;
// Two rows taller than the first version: the reconnect box and the reply
// time-out.
constexpr int kClientHeight = 335;
constexpr int kNumberEditWidth = 56;

QLineEdit* MakeEdit(const char* name, QWidget* parent) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromUtf8(name));
    return edit;
}

}  // namespace

int32_t EditValue(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok, 10);
    return ok ? static_cast<int32_t>(value) : 0;
}

TSetParaForm::TSetParaForm(QWidget* owner, TSysParaInfo& settings, TSysParaDbMgr& paraMgr,
                           std::string programDir)
    : QDialog(owner), FSettings(settings), FParaMgr(paraMgr), FProgramDir(std::move(programDir)) {
    setObjectName(QStringLiteral("SetParaForm"));
    setWindowTitle(QStringLiteral("SetParaForm"));
    // A fixed single border with the system menu and the minimise button.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);

    QWidget* top = MakeTopRow();
    FAutoReconnectCheckBox = new QCheckBox(QStringLiteral("自动重连离线设备"), this);
    FAutoReconnectCheckBox->setObjectName(QStringLiteral("AutoReconnectCheckBox"));
    QWidget* group = MakeBackUpGroup();

    QHBoxLayout* buttons = MakeOkCancelRow(*this, FOKButton, FCancelButton);
    connect(FOKButton, &QPushButton::clicked, this, &TSetParaForm::OKButtonClick);
    // Clicks and the space key both toggle the box.
    connect(FIsBackUpCheckBox, &QCheckBox::toggled, this, &TSetParaForm::IsBackUpCheckBoxClick);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(top);
    layout->addWidget(FAutoReconnectCheckBox);
    layout->addWidget(group, 1);
    layout->addLayout(buttons);

    setTabOrder(FScanIntervalEdit, FMaxOLTimerEdit);
    setTabOrder(FMaxOLTimerEdit, FReplyTimeoutEdit);
    setTabOrder(FReplyTimeoutEdit, FAutoReconnectCheckBox);
    setTabOrder(FAutoReconnectCheckBox, FIsBackUpCheckBox);
    setTabOrder(FIsBackUpCheckBox, FBackUpPathEdit);
    setTabOrder(FBackUpPathEdit, FBrowseButton);
    setTabOrder(FBrowseButton, FBackUpIntervalEdit);
    setTabOrder(FBackUpIntervalEdit, FOKButton);
    setTabOrder(FOKButton, FCancelButton);
    FScanIntervalEdit->setFocus();
}

QWidget* TSetParaForm::MakeTopRow() {
    auto* row = new QWidget(this);
    FMaxOLTimerEdit = MakeEdit("MaxOLTimerEdit", row);
    FScanIntervalEdit = MakeEdit("ScanIntervalEdit", row);
    FReplyTimeoutEdit = MakeEdit("ReplyTimeoutEdit", row);
    FMaxOLTimerEdit->setFixedWidth(kNumberEditWidth);
    FScanIntervalEdit->setFixedWidth(kNumberEditWidth);
    FReplyTimeoutEdit->setFixedWidth(kNumberEditWidth);
    FReplyTimeoutLabel = new QLabel(QStringLiteral("应答超时(毫秒)："), row);
    // The timing fields together: the reply time-out under the offline time.
    auto* layout = new QGridLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(QStringLiteral("终端异常最大检测时间(分)："), row), 0, 0);
    layout->addWidget(FMaxOLTimerEdit, 0, 1);
    layout->setColumnStretch(2, 1);
    layout->addWidget(new QLabel(QStringLiteral("轮询时间(秒)："), row), 0, 3);
    layout->addWidget(FScanIntervalEdit, 0, 4);
    layout->addWidget(FReplyTimeoutLabel, 1, 0);
    layout->addWidget(FReplyTimeoutEdit, 1, 1);
    return row;
}

QWidget* TSetParaForm::MakeBackUpGroup() {
    auto* group = new QGroupBox(this);
    group->setObjectName(QStringLiteral("BackUpGroupBox"));
    // The check box heads the group it switches.
    FIsBackUpCheckBox = new QCheckBox(QStringLiteral("系统自动备份"), group);
    FIsBackUpCheckBox->setObjectName(QStringLiteral("IsBackUpCheckBox"));
    FBackUpPathEdit = MakeEdit("BackUpPathEdit", group);
    FBackUpIntervalEdit = MakeEdit("BackUpIntervalEdit", group);
    FBackUpIntervalEdit->setFixedWidth(kNumberEditWidth);
    FBrowseButton = new QPushButton(QStringLiteral("..."), group);
    FBrowseButton->setObjectName(QStringLiteral("BrowseButton"));
    FBrowseButton->setAutoDefault(false);
    FBrowseButton->setFixedWidth(FBrowseButton->sizeHint().height());
    FBackUpPathLabel = new QLabel(QStringLiteral("备份目录："), group);
    FBackUpIntervalLabel = new QLabel(QStringLiteral("备份时间间隔(天)："), group);

    auto* path = new QHBoxLayout;
    path->addWidget(FBackUpPathEdit, 1);
    path->addWidget(FBrowseButton);
    auto* interval = new QHBoxLayout;
    interval->addWidget(FBackUpIntervalEdit);
    interval->addStretch(1);
    auto* form = new QFormLayout;
    form->addRow(FBackUpPathLabel, path);
    form->addRow(FBackUpIntervalLabel, interval);
    auto* layout = new QVBoxLayout(group);
    layout->addWidget(FIsBackUpCheckBox);
    layout->addLayout(form);
    layout->addStretch(1);
    return group;
}

void TSetParaForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TSetParaForm::FormShow() {
    FScanIntervalEdit->setText(QString::number(FSettings.ScanInterval / kMsPerSecond));
    FMaxOLTimerEdit->setText(QString::number(FSettings.MaxOLTimer / kMsPerMinute));
    FReplyTimeoutEdit->setText(QString::number(FSettings.ReplyTimeout));
    FAutoReconnectCheckBox->setChecked(FSettings.AutoReconnect);
    FIsBackUpCheckBox->setChecked(FSettings.IsBackUp);
    IsBackUpCheckBoxClick();
    FBackUpPathEdit->setText(QString::fromStdString(FSettings.BackUpPath.Utf8()));
    FBackUpIntervalEdit->setText(QString::number(FSettings.BackUpInterval));
}

void TSetParaForm::IsBackUpCheckBoxClick() {
    const bool on = FIsBackUpCheckBox->isChecked();
    for (QWidget* w :
         std::initializer_list<QWidget*>{FBackUpPathLabel, FBackUpIntervalLabel, FBrowseButton,
                                         FBackUpPathEdit, FBackUpIntervalEdit}) {
        w->setEnabled(on);
    }
}

void SaveAndAccept(QDialog& dialog, const std::function<void()>& save) {
    struct TCloseWithOk {
        QDialog& Dialog;
        ~TCloseWithOk() { Dialog.accept(); }
    } close{dialog};
    save();
}

QHBoxLayout* MakeOkCancelRow(QDialog& dialog, QPushButton*& ok, QPushButton*& cancel) {
    ok = new QPushButton(QStringLiteral("确定"), &dialog);
    ok->setObjectName(QStringLiteral("OKButton"));
    cancel = new QPushButton(QStringLiteral("取消"), &dialog);
    cancel->setObjectName(QStringLiteral("CancelButton"));
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    QObject::connect(cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    row->addWidget(ok);
    row->addWidget(cancel);
    return row;
}

void TSetParaForm::OKButtonClick() {
    // A failed check keeps the dialog open with what the operator typed, so
    // one wrong field costs no other edit; nothing is stored.
    if (!CheckFields()) return;
    SaveAndAccept(*this, [this] { SavePara(); });
}

bool TSetParaForm::CheckFields() {
    // One message at a time, in this order; the first failure ends the checks.
    FSeconds = EditValue(FScanIntervalEdit->text());
    if (FSeconds < kMinScanSeconds || FSeconds > kMaxScanSeconds) {
        ShowMessage(this, QString::fromUtf8(kScanIntervalMessage));
        return false;
    }
    FMinutes = EditValue(FMaxOLTimerEdit->text());
    if (FMinutes < kMinOfflineMinutes || FMinutes > kMaxOfflineMinutes) {
        ShowMessage(this, QString::fromUtf8(kScanIntervalMessage));
        return false;
    }
    // Anything but a decimal integer counts as 0 and so fails the range.
    FReplyTimeout = EditValue(FReplyTimeoutEdit->text());
    if (FReplyTimeout < kMinReplyTimeout || FReplyTimeout > kMaxReplyTimeout) {
        FReplyTimeoutEdit->setFocus();
        ShowMessage(this, QString::fromUtf8(kReplyTimeoutMessage));
        return false;
    }
    FAutoReconnect = FAutoReconnectCheckBox->isChecked();
    FIsBackUp = FIsBackUpCheckBox->isChecked();
    // The backup interval and directory are checked also with backup off.
    FDays = EditValue(FBackUpIntervalEdit->text());
    if (FDays < kMinBackUpDays || FDays > kMaxBackUpDays) {
        ShowMessage(this, QString::fromUtf8(kBackUpIntervalMessage));
        return false;
    }
    FBackUpDir = FBackUpPathEdit->text().toStdString();
    if (!MakeBackUpDir(FProgramDir, FBackUpDir)) {
        ShowMessage(this, QString::fromUtf8(kBackUpDirMessage));
        return false;
    }
    return true;
}

void TSetParaForm::SavePara() {
    std::vector<TSysParaItem> items;
    FParaMgr.ListParas(items);

    FSettings.ScanInterval = FSeconds * kMsPerSecond;
    FSettings.MaxOLTimer = FMinutes * kMsPerMinute;
    FSettings.IsBackUp = FIsBackUp;
    FSettings.BackUpInterval = FDays;
    FSettings.BackUpPath.AssignUtf8(FBackUpDir);
    FSettings.AutoReconnect = FAutoReconnect;
    FSettings.ReplyTimeout = FReplyTimeout;

    // Every key goes to the record that holds it; a key without a record is
    // not written, and the last backup date (key 3) is the backup timer's.
    for (const TSysParaItem& item : items) {
        switch (item.ParaKey) {
            case kParaScanInterval:
                FParaMgr.UpdatePara(item.RecordId, kParaScanInterval, FSettings.ScanInterval, "");
                break;
            case kParaMaxOLTimer:
                FParaMgr.UpdatePara(item.RecordId, kParaMaxOLTimer, FSettings.MaxOLTimer, "");
                break;
            case kParaIsBackUp:
                FParaMgr.UpdatePara(item.RecordId, kParaIsBackUp,
                                    FSettings.IsBackUp ? kBackUpOn : 0, "");
                break;
            case kParaBackUpInterval:
                FParaMgr.UpdatePara(item.RecordId, kParaBackUpInterval, FSettings.BackUpInterval,
                                    "");
                break;
            case kParaBackUpPath:
                FParaMgr.UpdatePara(item.RecordId, kParaBackUpPath, 0, FSettings.BackUpPath.Utf8());
                break;
            default:
                break;
        }
    }
    // Keys 6 and 7 came later: a file without their records means the
    // default.
    WriteLaterPara(FParaMgr, items, kParaAutoReconnect, FAutoReconnect ? 1 : 0, 1);
    WriteLaterPara(FParaMgr, items, kParaReplyTimeout, FReplyTimeout, kDefaultReplyTimeout);
    if (OnParaChange) OnParaChange();
}
