#pragma once
// TAddDeviceForm, "增加设备": registers new stations. "确定" checks every
// field in a fixed order (the first failure shows its message and nothing is
// added), stores the station, gives it a tree node, a live record and an open
// port, and leaves the dialog open for the next device. "取消" closes it;
// devices added before stay added.

#include <QDialog>
#include <QString>

#include "dialogs/StationTree.h"
#include "serial/Comm.h"
#include "store/StationChecks.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class TStationDbMgr;

class TAddDeviceForm : public QDialog {
    Q_OBJECT
  public:
    // Borrows the manager, the list and the tree; they outlive the dialog.
    // `deviceNo` is the tree's node count (root included): the number the
    // next device gets. `onReceive` becomes each new port's OnReceiveData.
    TAddDeviceForm(QWidget* owner, int deviceNo, TComm::TReceiveDataEvent onReceive,
                   TStationDbMgr& stationMgr, TStationList& stations, IStationTree& tree);

    // "确定": the checks, then the add. Engine errors of storing the station
    // pass out (to the application's error report); nothing else happens.
    void AddStationButtonClick();

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
    void ShowDeviceNo();
    void FillPortNameList();

    TComm::TReceiveDataEvent FOnReceive;
    TStationDbMgr& FStationMgr;
    TStationList& FStations;
    IStationTree& FTree;
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
