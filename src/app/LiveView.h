#pragma once
// The page "设备实时数据": the selected station's four temperatures with the
// state of each sensor, and its four relays. Display only: every radio
// button is disabled, and each row's three buttons form one exclusive group.
//
//   温度                                        继电器状态
//   A相温度(C)：[edit] A相传感器：(正常)(故障)(未知)   传感器：(有故障)(无故障)(未知)
//   B相 ...                                      风机：  (开)    (关)    (未知)
//   C相 ...                                      报警：  (已报警)(未报警)(未知)
//   铁芯温度(C)：...   铁芯传感器：...             跳闸：  (已跳闸)(未跳闸)(未知)

#include <QWidget>
#include <array>
#include <cstdint>
#include <span>

class QButtonGroup;
class QLineEdit;
class TColourRadioButton;

// Rows in the order of the reply's registers and of the coil bits.
inline constexpr size_t kTempRowCount = 4;   // A, B, C, iron core
inline constexpr size_t kRelayRowCount = 4;  // sensor, fan, alarm, trip
inline constexpr size_t kIronRow = 3;

struct TTempRow {
    QLineEdit* Edit;
    TColourRadioButton* Normal;   // "正常"
    TColourRadioButton* Fault;    // "故障"
    TColourRadioButton* Unknown;  // "未知"
    QButtonGroup* Group;
};

struct TRelayRow {
    TColourRadioButton* Set;      // the affirmative button: bit set
    TColourRadioButton* Clear;    // the negative button: bit clear
    TColourRadioButton* Unknown;  // "未知"
    QButtonGroup* Group;
};

class TLiveViewPage : public QWidget {
    Q_OBJECT
  public:
    explicit TLiveViewPage(QWidget* parent = nullptr);

    // The values of a connected station: raw registers A, B, C, iron core
    // and the coil byte.
    void ShowValues(uint8_t relayFlags, std::span<const uint16_t, kTempRowCount> rawTemp);
    // Every box shows "未知" and every row checks "未知"; colours stay.
    void ResetToUnknown();
    // Every button that is not checked gets the button-face colour: the
    // colours left by another station must not be read as this one's.
    void ClearUncheckedColours();

    const TTempRow& TempRow(size_t row) const { return FTempRows.at(row); }
    const TRelayRow& RelayRow(size_t row) const { return FRelayRows.at(row); }

  private:
    QWidget* MakeTemperatureGroup();
    QWidget* MakeRelayGroup();

    // Widgets are owned through Qt's parent chain.
    std::array<TTempRow, kTempRowCount> FTempRows{};
    std::array<TRelayRow, kRelayRowCount> FRelayRows{};
};
