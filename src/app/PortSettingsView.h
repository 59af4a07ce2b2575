#pragma once
// The page "通讯参数": the selected station's stored port settings. The port
// and baud lists can be opened, but choosing in them changes nothing; the
// other four lists are disabled. A station's settings are fixed when it is
// added.

#include <QWidget>

class QComboBox;
struct TStationInfo;

class TPortSettingsPage : public QWidget {
    Q_OBJECT
  public:
    explicit TPortSettingsPage(QWidget* parent = nullptr);

    // Fills CommNameComboBox with the fifty port names (start-up).
    void FillPortNames();
    // Selects the entries of the station's stored indexes; an index beyond a
    // list (a port above 50) selects nothing.
    void ShowPortSettings(const TStationInfo& station);

    QComboBox* CommNameComboBox() const { return FCommName; }
    QComboBox* PortBaudComboBox() const { return FBaud; }
    QComboBox* PortBitsSizeComboBox() const { return FBitsSize; }
    QComboBox* PortParityComboBox() const { return FParity; }
    QComboBox* PortStopBitComboBox() const { return FStopBit; }
    QComboBox* PortDtrControlComboBox() const { return FDtrControl; }

  private:
    // Children of this page.
    QComboBox* FCommName;
    QComboBox* FBaud;
    QComboBox* FBitsSize;
    QComboBox* FParity;
    QComboBox* FStopBit;
    QComboBox* FDtrControl;
};
