#include "dialogs/AlarmSetFrm.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QVBoxLayout>
#include <utility>

#include "dialogs/Prompts.h"
#include "dialogs/SetParaFrm.h"
#include "store/SysParaChecks.h"
#include "store/SysParaDbMgr.h"

namespace {

constexpr int kNumberEditWidth = 56;
// The limit's field sits under the text of its box, not under the box.
constexpr int kIndent = 20;

}  // namespace

TAlarmSetForm::TAlarmSetForm(QWidget* owner, TSysParaInfo& settings, TSysParaDbMgr& paraMgr,
                             std::vector<TSysParaItem>& paraList, TChangeHandler onParaChange)
    : QDialog(owner),
      OnParaChange(std::move(onParaChange)),
      FSettings(settings),
      FParaMgr(paraMgr),
      FParaList(paraList) {
    setObjectName(QStringLiteral("AlarmSetForm"));
    setWindowTitle(QStringLiteral("报警设置"));
    // A fixed single border like the settings dialog's.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    FTempLimitCheckBox = new QCheckBox(QStringLiteral("启用温度越限报警"), this);
    FTempLimitCheckBox->setObjectName(QStringLiteral("TempLimitCheckBox"));
    FTempLimitLabel = new QLabel(QStringLiteral("越限温度(C)："), this);
    FTempLimitEdit = new QLineEdit(this);
    FTempLimitEdit->setObjectName(QStringLiteral("TempLimitEdit"));
    FTempLimitEdit->setFixedWidth(kNumberEditWidth);
    FTempLimitLabel->setBuddy(FTempLimitEdit);
    FAlarmSoundCheckBox = new QCheckBox(QStringLiteral("报警声音"), this);
    FAlarmSoundCheckBox->setObjectName(QStringLiteral("AlarmSoundCheckBox"));

    QHBoxLayout* buttons = MakeOkCancelRow(*this, FOKButton, FCancelButton);
    connect(FOKButton, &QPushButton::clicked, this, &TAlarmSetForm::OKButtonClick);
    // Clicks and the space key both toggle the box.
    connect(FTempLimitCheckBox, &QCheckBox::toggled, this, &TAlarmSetForm::TempLimitCheckBoxClick);

    auto* limit = new QHBoxLayout;
    limit->addSpacing(kIndent);
    limit->addWidget(FTempLimitLabel);
    limit->addWidget(FTempLimitEdit);
    limit->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(FTempLimitCheckBox);
    layout->addLayout(limit);
    layout->addWidget(FAlarmSoundCheckBox);
    layout->addStretch(1);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(FTempLimitCheckBox, FTempLimitEdit);
    setTabOrder(FTempLimitEdit, FAlarmSoundCheckBox);
    setTabOrder(FAlarmSoundCheckBox, FOKButton);
    setTabOrder(FOKButton, FCancelButton);
    FTempLimitCheckBox->setFocus();
}

void TAlarmSetForm::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TAlarmSetForm::FormShow() {
    // No limit shows as an unticked box over an empty field, not as "0",
    // which the check would refuse once the box is ticked.
    const bool on = FSettings.TempLimit > 0;
    FTempLimitCheckBox->setChecked(on);
    FTempLimitEdit->setText(on ? QString::number(FSettings.TempLimit) : QString());
    TempLimitCheckBoxClick();
    FAlarmSoundCheckBox->setChecked(FSettings.AlarmSound);
}

void TAlarmSetForm::TempLimitCheckBoxClick() {
    const bool on = FTempLimitCheckBox->isChecked();
    FTempLimitLabel->setEnabled(on);
    FTempLimitEdit->setEnabled(on);
}

void TAlarmSetForm::OKButtonClick() {
    // A failed check keeps the dialog open with what the operator typed;
    // nothing is stored.
    if (!CheckFields()) return;
    SaveAndAccept(*this, [this] { SavePara(); });
}

bool TAlarmSetForm::CheckFields() {
    FAlarmSound = FAlarmSoundCheckBox->isChecked();
    if (!FTempLimitCheckBox->isChecked()) {
        // An unticked box is no limit, whatever its disabled field holds.
        FTempLimit = 0;
        return true;
    }
    // 0 means "no limit" and has its own box, so a ticked box needs a real
    // limit; anything but a decimal integer counts as 0 and fails too.
    const int32_t limit = EditValue(FTempLimitEdit->text());
    if (limit <= kMinTempLimit || limit > kMaxTempLimit) {
        FTempLimitEdit->setFocus();
        ShowMessage(this, QString::fromUtf8(kTempLimitMessage));
        return false;
    }
    FTempLimit = limit;
    return true;
}

void TAlarmSetForm::SavePara() {
    FSettings.TempLimit = FTempLimit;
    FSettings.AlarmSound = FAlarmSound;
    // Both keys came after the first files: a missing record means the
    // default.
    WriteLaterPara(FParaMgr, FParaList, kParaTempLimit, FTempLimit, kDefaultTempLimit);
    WriteLaterPara(FParaMgr, FParaList, kParaAlarmSound, FAlarmSound ? 1 : 0,
                   kDefaultAlarmSound ? 1 : 0);
    if (OnParaChange) OnParaChange();
}
