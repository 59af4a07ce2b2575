#pragma once
// TAddDeviceForm, "增加设备": registers new stations. "确定" checks every
// field in a fixed order (the first failure shows its message and nothing is
// added), has the roster store the station, give it a live record and put it
// on its line, gives it a tree node, and leaves the dialog open for the next
// device. "取消" closes it; devices added before stay added.
//
// The same dialog, "修改设备", changes one registered station: its fields
// filled with the station's values, the address fixed (it names the
// station's history directory). "确定" runs the same checks and has the
// roster update the stored record and the line; the dialog then closes
// (accepted) and the history stays.

#include <QDialog>
#include <QString>

#include "dialogs/StationTree.h"
#include "store/StationChecks.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TStationRoster;
struct TStationState;

class TAddDeviceForm : public QDialog {
    Q_OBJECT
  public:
    // Borrows the roster and the tree; they outlive the dialog. `deviceNo`
    // is the tree's node count (root included): the number the next device
    // gets.
    TAddDeviceForm(QWidget* owner, int deviceNo, TStationRoster& roster, IStationTree& tree);
    // "修改设备" of `station`, whose node is number `deviceNo` of the tree.
    TAddDeviceForm(QWidget* owner, int deviceNo, TStationRoster& roster, IStationTree& tree,
                   TStationState& station);

    // "确定": the checks, then the add (or the change). Engine errors of
    // storing the station pass out (to the application's error report);
    // nothing else happens.
    void AddStationButtonClick();
    // The station being changed; none while adding.
    TStationState* Editing() const { return FEditing; }

    int DeviceNo() const { return FDeviceNo; }
    // What the last checks took from the controls.
    const TStationFields& Fields() const { return FFields; }

    QLineEdit* TmpAddrEdit() const { return FTmpAddrEdit; }
    QLineEdit* StationPosNameEdit() const { return FStationPosNameEdit; }
    QLineEdit* DevNameEdit() const { return FDevNameEdit; }
    QLineEdit* DevNoEdit() const { return FDevNoEdit; }
    QComboBox* PortNameComboBox() const { return FPortName; }
    QComboBox* PortBaudComboBox() const { return FPortBaud; }
    QComboBox* PortBitSizeComboBox() const { return FPortBitSize; }
    QComboBox* PortParityComboBox() const { return FPortParity; }
    QComboBox* PortStopBitsComboBox() const { return FPortStopBits; }
    QComboBox* PortDtrControlComboBox() const { return FPortDtrControl; }
    QPushButton* AddStationButton() const { return FAddButton; }
    QPushButton* CancelButton() const { return FCancelButton; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QWidget* MakeStationFields();
    QWidget* MakePortGroup();
    // True when every check passed; otherwise its message has been shown.
    bool CheckFields();
    void AddStation();
    void ModifyStation();
    // The station's stored values in the fields.
    void FillFromStation(const TStationState& station);
    void ShowDeviceNo();
    void FillPortNameList();

    TStationRoster& FRoster;
    IStationTree& FTree;
    TStationState* FEditing = nullptr;
    int FDeviceNo;
    TStationFields FFields;

    // Children of the dialog.
    QLineEdit* FTmpAddrEdit;
    QLineEdit* FStationPosNameEdit;
    QLineEdit* FDevNameEdit;
    QLineEdit* FDevNoEdit;
    QComboBox* FPortName;
    QComboBox* FPortBaud;
    QComboBox* FPortBitSize;
    QComboBox* FPortParity;
    QComboBox* FPortStopBits;
    QComboBox* FPortDtrControl;
    QPushButton* FAddButton;
    QPushButton* FCancelButton;
};
