#pragma once
// TSetParaForm, "SetParaForm": the operator's settings. It edits the
// window's settings block in place: scan interval (seconds), offline time
// (minutes), reply time-out (milliseconds), automatic reconnection, automatic
// backup with its directory and interval (days).
//
//   ┌ SetParaForm ─────────────────────────────────────────────┐
//   │ 终端异常最大检测时间(分)：[MaxOLTimerEdit] 轮询时间(秒)：[ScanIntervalEdit] │
//   │ 应答超时(毫秒)：          [ReplyTimeoutEdit]              │
//   │ [x] 自动重连离线设备  (AutoReconnectCheckBox)             │
//   │ ┌[x] 系统自动备份 ────────────────────────────────────┐  │
//   │ │ 备份目录：        [BackUpPathEdit            ] [...] │  │
//   │ │ 备份时间间隔(天)：[BackUpIntervalEdit]              │  │
//   │ └─────────────────────────────────────────────────────┘  │
//   │                                        [确定] [取消]     │
//   └──────────────────────────────────────────────────────────┘
//
// "确定" runs the checks in order (the first failure shows its message and
// nothing is stored; the reply time-out's failure also puts the focus back on
// its field) and, when all pass, saves every key to the record that
// holds it and calls the change handler, and closes with the OK result (also
// when the save raises). After a failed check it stays open with what was
// typed; "取消" closes it with the cancel result and stores nothing.

#include <QDialog>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>

#include "store/Items.h"
#include "store/SysParaChecks.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QHBoxLayout;
class QPushButton;
class TSysParaDbMgr;

// The text of an edit as a decimal integer; anything else counts as 0.
int32_t EditValue(const QString& text);
// Runs Save and then closes Dialog with the OK result, also when Save
// raises: once saving has started, the dialog's values are taken.
void SaveAndAccept(QDialog& dialog, const std::function<void()>& save);
// A settings dialog's "确定" (the default button, "OKButton") and "取消"
// ("CancelButton", which rejects), right-aligned in the returned row.
QHBoxLayout* MakeOkCancelRow(QDialog& dialog, QPushButton*& ok, QPushButton*& cancel);

class TSetParaForm : public QDialog {
    Q_OBJECT
  public:
    using TChangeHandler = std::function<void()>;

    // Borrows the settings block and the manager; both outlive the dialog.
    // A relative backup directory is taken from `programDir`.
    TSetParaForm(QWidget* owner, TSysParaInfo& settings, TSysParaDbMgr& paraMgr,
                 std::string programDir);

    // Called after a save, when the new settings are stored (the window
    // re-applies its timers). Set by the owner after creation.
    TChangeHandler OnParaChange;

    // Fills the controls from the settings block (also on every show).
    void FormShow();
    // "确定": the checks, then the save. A failed check leaves the dialog
    // open; engine errors of the save pass out (to the application's error
    // report) and the dialog closes.
    void OKButtonClick();
    // The enable rule of the backup group.
    void IsBackUpCheckBoxClick();

    // What the last checks took from the controls.
    int32_t Seconds() const { return FSeconds; }
    int32_t Minutes() const { return FMinutes; }
    int32_t ReplyTimeout() const { return FReplyTimeout; }
    bool IsBackUp() const { return FIsBackUp; }
    int32_t Days() const { return FDays; }
    const std::string& BackUpDir() const { return FBackUpDir; }
    bool AutoReconnect() const { return FAutoReconnect; }

    QLineEdit* ScanIntervalEdit() const { return FScanIntervalEdit; }
    QLineEdit* MaxOLTimerEdit() const { return FMaxOLTimerEdit; }
    QLineEdit* ReplyTimeoutEdit() const { return FReplyTimeoutEdit; }
    QLabel* ReplyTimeoutLabel() const { return FReplyTimeoutLabel; }
    QCheckBox* IsBackUpCheckBox() const { return FIsBackUpCheckBox; }
    QCheckBox* AutoReconnectCheckBox() const { return FAutoReconnectCheckBox; }
    QLineEdit* BackUpPathEdit() const { return FBackUpPathEdit; }
    QLineEdit* BackUpIntervalEdit() const { return FBackUpIntervalEdit; }
    QLabel* BackUpPathLabel() const { return FBackUpPathLabel; }
    QLabel* BackUpIntervalLabel() const { return FBackUpIntervalLabel; }
    QPushButton* BrowseButton() const { return FBrowseButton; }
    QPushButton* OKButton() const { return FOKButton; }
    QPushButton* CancelButton() const { return FCancelButton; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QWidget* MakeTopRow();
    QWidget* MakeBackUpGroup();
    // True when every check passed; otherwise its message has been shown.
    bool CheckFields();
    void SavePara();

    TSysParaInfo& FSettings;
    TSysParaDbMgr& FParaMgr;
    std::string FProgramDir;

    int32_t FSeconds = 0;
    int32_t FMinutes = 0;
    int32_t FReplyTimeout = 0;
    bool FIsBackUp = false;
    int32_t FDays = 0;
    std::string FBackUpDir;  // UTF-8
    bool FAutoReconnect = true;

    // Children of the dialog.
    QLineEdit* FScanIntervalEdit;
    QLineEdit* FMaxOLTimerEdit;
    QLineEdit* FReplyTimeoutEdit;
    QLabel* FReplyTimeoutLabel;
    QCheckBox* FIsBackUpCheckBox;
    QCheckBox* FAutoReconnectCheckBox;
    QLineEdit* FBackUpPathEdit;
    QLineEdit* FBackUpIntervalEdit;
    QLabel* FBackUpPathLabel;
    QLabel* FBackUpIntervalLabel;
    QPushButton* FBrowseButton;
    QPushButton* FOKButton;
    QPushButton* FCancelButton;
};
