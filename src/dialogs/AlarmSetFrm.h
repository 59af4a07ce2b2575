#pragma once
// TAlarmSetForm, "AlarmSetForm": the operator's alarm settings. It edits the
// window's settings block in place: the temperature limit of "温度越限"
// (degrees; 0 = no limit) and whether unacknowledged alarms sound.
//
//   ┌ 报警设置 ─────────────────────────────┐
//   │ [x] 启用温度越限报警                   │
//   │     越限温度(C)：[TempLimitEdit]       │
//   │ [x] 报警声音  (AlarmSoundCheckBox)     │
//   │                      [确定] [取消]     │
//   └────────────────────────────────────────┘
//
// The limit's field is enabled only while its box is ticked; an unticked box
// stores 0. "确定" checks the limit (1 to 200 while ticked; a failed check
// shows its message, puts the focus on the field and leaves the dialog open
// with what was typed, nothing stored), then writes both keys, updates the
// settings block, calls the change handler and closes with the OK result
// (also when the save raises). "取消" closes with the cancel result and
// stores nothing.

#include <QDialog>
#include <cstdint>
#include <functional>
#include <vector>

#include "store/Items.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TSysParaDbMgr;

class TAlarmSetForm : public QDialog {
    Q_OBJECT
  public:
    using TChangeHandler = std::function<void()>;

    // Borrows the settings block, the manager and the window's parameter
    // list (records the save adds are listed there too); all outlive the
    // dialog. The handler runs after a save, when the new settings are
    // stored (the window re-applies them).
    TAlarmSetForm(QWidget* owner, TSysParaInfo& settings, TSysParaDbMgr& paraMgr,
                  std::vector<TSysParaItem>& paraList, TChangeHandler onParaChange = {});

    TChangeHandler OnParaChange;

    // Fills the controls from the settings block (also on every show).
    void FormShow();
    // "确定": the check, then the save. A failed check leaves the dialog
    // open; engine errors of the save pass out and the dialog closes.
    void OKButtonClick();
    // The enable rule of the limit's field.
    void TempLimitCheckBoxClick();

    // What the last check took from the controls (0 = no limit).
    int32_t TempLimit() const { return FTempLimit; }
    bool AlarmSound() const { return FAlarmSound; }

    QCheckBox* TempLimitCheckBox() const { return FTempLimitCheckBox; }
    QLineEdit* TempLimitEdit() const { return FTempLimitEdit; }
    QLabel* TempLimitLabel() const { return FTempLimitLabel; }
    QCheckBox* AlarmSoundCheckBox() const { return FAlarmSoundCheckBox; }
    QPushButton* OKButton() const { return FOKButton; }
    QPushButton* CancelButton() const { return FCancelButton; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    // True when the check passed; otherwise its message has been shown.
    bool CheckFields();
    void SavePara();

    TSysParaInfo& FSettings;
    TSysParaDbMgr& FParaMgr;
    std::vector<TSysParaItem>& FParaList;

    int32_t FTempLimit = 0;
    bool FAlarmSound = true;

    // Children of the dialog.
    QCheckBox* FTempLimitCheckBox;
    QLineEdit* FTempLimitEdit;
    QLabel* FTempLimitLabel;
    QCheckBox* FAlarmSoundCheckBox;
    QPushButton* FOKButton;
    QPushButton* FCancelButton;
};
