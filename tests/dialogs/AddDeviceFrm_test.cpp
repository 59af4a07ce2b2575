#include "dialogs/AddDeviceFrm.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <memory>

#include "app/StationTestSupport.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "serial/Comm.h"
#include "serial/PtyPair.h"
#include "store/DateTime.h"
#include "store/StationChecks.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"

namespace {

// The station tree of a window: node texts and the live records.
class TFakeTree : public IStationTree {
  public:
    int NodeCount() const override { return 1 + static_cast<int>(Nodes.size()); }
    std::vector<TStationState*> StationStates() const override {
        std::vector<TStationState*> states;
        for (TStationState* node : Nodes) states.push_back(node);
        return states;
    }
    void AddStationNode(const QString& text, TStationState& state) override {
        Texts << text;
        Nodes.push_back(&state);
    }

    QStringList Texts;
    std::vector<TStationState*> Nodes;
};

class AddDeviceForm : public ::testing::Test {
  protected:
    AddDeviceForm()
        : Mgr(StationFileName(Dir.Path())),
          Roster(Dir.Path(), Mgr),
          Form(nullptr, 1, Roster, Tree) {
        Roster.SetReceiveHandler([this](TComm*, const uint8_t*, uint16_t) { ++Received; });
        Dir.MissingPort(1);
        Dir.MissingPort(2);
        Form.show();
    }

    // A device that passes every check, on COM1 (a missing device).
    void Fill(const QString& address, const QString& position = QStringLiteral("1号主变"),
              const QString& name = QStringLiteral("温控器A")) {
        Form.TmpAddrEdit()->setText(address);
        Form.StationPosNameEdit()->setText(position);
        Form.DevNameEdit()->setText(name);
    }

    // Clicks "确定" and returns the message it showed, if any.
    QString Click() {
        Log.Clear();
        QTest::mouseClick(Form.AddStationButton(), Qt::LeftButton);
        EXPECT_LE(Log.Messages().size(), 1);
        return Log.Messages().value(0);
    }

    std::vector<TStationInfo> Stored() {
        std::vector<TStationInfo> list;
        Mgr.ListStations(list);
        return list;
    }

    TProgramDir Dir;
    TMessageLog Log;
    TStationDbMgr Mgr;
    TStationRoster Roster;
    TStationList& Stations = Roster.List();
    TFakeTree Tree;
    int Received = 0;
    TAddDeviceForm Form;
};

QStringList Entries(const QComboBox* list) {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
    return entries;
}

const QString kMsgName = QString::fromUtf8(kMsgDevNameLength);
const QString kMsgPos = QString::fromUtf8(kMsgPosNameLength);
const QString kMsgAddr = QString::fromUtf8(kMsgTmpAddr);

}  // namespace

TEST_F(AddDeviceForm, ControlsStartWithTheirCaptionsListsAndStates) {
    EXPECT_EQ(Form.windowTitle(), "增加设备");
    for (QLineEdit* edit : {Form.TmpAddrEdit(), Form.StationPosNameEdit(), Form.DevNameEdit()}) {
        EXPECT_TRUE(edit->text().isEmpty());
        EXPECT_TRUE(edit->isEnabled());
    }
    EXPECT_EQ(Form.DevNoEdit()->text(), "1");
    EXPECT_FALSE(Form.DevNoEdit()->isEnabled());
    EXPECT_EQ(Form.DevNoEdit()->focusPolicy(), Qt::NoFocus);
    EXPECT_EQ(Form.TmpAddrEdit()->nextInFocusChain(), Form.StationPosNameEdit());
    EXPECT_EQ(Form.StationPosNameEdit()->nextInFocusChain(), Form.DevNameEdit());

    QStringList ports;
    for (int n = 1; n <= 50; ++n) ports << QString("COM%1").arg(n);
    EXPECT_EQ(Entries(Form.PortNameComboBox()), ports);
    EXPECT_EQ(Form.PortNameComboBox()->currentIndex(), 0);
    EXPECT_EQ(Entries(Form.PortBaudComboBox()),
              QStringList({"110", "300", "1200", "2400", "4800", "9600", "19200", "38400", "57600",
                           "115200", "230400", "460800", "921600"}));
    EXPECT_EQ(Form.PortBaudComboBox()->currentText(), "9600");
    EXPECT_TRUE(Form.PortBaudComboBox()->isEnabled());
    EXPECT_EQ(Entries(Form.PortBitSizeComboBox()), QStringList({"5", "6", "7", "8"}));
    EXPECT_EQ(Form.PortBitSizeComboBox()->currentText(), "8");
    EXPECT_EQ(Entries(Form.PortParityComboBox()), QStringList({"无", "奇较验", "偶较验"}));
    EXPECT_EQ(Entries(Form.PortStopBitsComboBox()), QStringList({"1", "1.5", "2"}));
    EXPECT_EQ(Entries(Form.PortDtrControlComboBox()), QStringList({"硬件", "无", "Xon/Xoff"}));
    for (QComboBox* fixed : {Form.PortBitSizeComboBox(), Form.PortParityComboBox(),
                             Form.PortStopBitsComboBox(), Form.PortDtrControlComboBox()}) {
        EXPECT_FALSE(fixed->isEnabled());
        if (fixed != Form.PortBitSizeComboBox()) {
            EXPECT_EQ(fixed->currentIndex(), 0);
        }
    }
    // The labels of the fixed lists and of the device number are disabled.
    int disabledLabels = 0;
    for (QLabel* label : Form.findChildren<QLabel*>()) disabledLabels += !label->isEnabled();
    EXPECT_EQ(disabledLabels, 5);
    EXPECT_EQ(Form.AddStationButton()->text(), "确定");
    EXPECT_EQ(Form.CancelButton()->text(), "取消");
}

TEST_F(AddDeviceForm, ChecksRunInOrderAndTheFirstFailureIsTheOnlyMessage) {
    Form.TmpAddrEdit()->setText("abc");
    Form.PortNameComboBox()->setEditText("COM");
    for (QComboBox* list :
         {Form.PortBaudComboBox(), Form.PortBitSizeComboBox(), Form.PortParityComboBox(),
          Form.PortStopBitsComboBox(), Form.PortDtrControlComboBox()}) {
        list->setCurrentIndex(-1);
    }
    // Each click shows the first failing check; mending it exposes the next.
    const std::vector<std::pair<QString, std::function<void()>>> steps = {
        {kMsgName, [&] { Form.DevNameEdit()->setText("温控器A"); }},
        {kMsgPos, [&] { Form.StationPosNameEdit()->setText("1号主变"); }},
        {kMsgAddr, [&] { Form.TmpAddrEdit()->setText("7"); }},
        {QString::fromUtf8(kMsgPortName), [&] { Form.PortNameComboBox()->setCurrentIndex(1); }},
        {QString::fromUtf8(kMsgPortBaud), [&] { Form.PortBaudComboBox()->setCurrentIndex(5); }},
        {QString::fromUtf8(kMsgPortBitSize),
         [&] { Form.PortBitSizeComboBox()->setCurrentIndex(3); }},
        {QString::fromUtf8(kMsgPortParity), [&] { Form.PortParityComboBox()->setCurrentIndex(0); }},
        {QString::fromUtf8(kMsgPortStopBits),
         [&] { Form.PortStopBitsComboBox()->setCurrentIndex(0); }},
        {QString::fromUtf8(kMsgPortDtrControl),
         [&] { Form.PortDtrControlComboBox()->setCurrentIndex(0); }},
    };
    for (const auto& [message, mend] : steps) {
        EXPECT_EQ(Click(), message);
        EXPECT_TRUE(Stored().empty());
        EXPECT_TRUE(Tree.Nodes.empty());
        EXPECT_TRUE(Stations.empty());
        EXPECT_EQ(Form.DevNoEdit()->text(), "1");
        mend();
    }
    EXPECT_EQ(Click(), QString());
    ASSERT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Stored()[0].PortNo, 2);
    EXPECT_TRUE(Form.isVisible());
}

TEST_F(AddDeviceForm, NameLengthsCountGbkBytes) {
    const QString ascii20(20, 'a');
    const QString chinese10(10, QChar(0x6E29));  // 温
    const struct {
        QString Name;
        QString Position;
        QString Message;
    } cases[] = {
        {ascii20 + "a", "P", kMsgName},
        {chinese10 + QChar(0x6E29), "P", kMsgName},
        {"", "P", kMsgName},
        {"N", ascii20 + "a", kMsgPos},
        {"N", chinese10 + "a", kMsgPos},
        {"N", "", kMsgPos},
    };
    for (const auto& c : cases) {
        Fill("7", c.Position, c.Name);
        EXPECT_EQ(Click(), c.Message) << c.Name.toStdString() << " / " << c.Position.toStdString();
    }
    EXPECT_TRUE(Stored().empty());

    Fill("7", chinese10, ascii20);
    EXPECT_EQ(Click(), QString());
    Fill("8", ascii20, chinese10);
    EXPECT_EQ(Click(), QString());
    const std::vector<TStationInfo> stored = Stored();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].DevName.Gbk().size(), 20u);
    EXPECT_EQ(QString::fromStdString(stored[0].StationPosName.Utf8()), chinese10);
    EXPECT_EQ(QString::fromStdString(stored[1].DevName.Utf8()), chinese10);
}

TEST_F(AddDeviceForm, AddressMustBeDecimal1To255AndUnusedInTheTree) {
    for (const char* bad : {"0", "256", "-1", "abc", "", "7x", "99999999999"}) {
        Fill(bad);
        EXPECT_EQ(Click(), kMsgAddr) << '"' << bad << '"';
    }
    EXPECT_TRUE(Stored().empty());
    Fill("255");
    EXPECT_EQ(Click(), QString());
    Fill("255", "another place", "another device");
    EXPECT_EQ(Click(), kMsgAddr);
    EXPECT_EQ(Stored().size(), 1u);
}

TEST_F(AddDeviceForm, PortTextThatIsNoEntryFailsThePortCheck) {
    Fill("7");
    for (const char* typed : {"COM51", "COM0", "abc", "", "com2"}) {
        Form.PortNameComboBox()->setEditText(typed);
        EXPECT_EQ(Click(), QString::fromUtf8(kMsgPortName)) << typed;
    }
    // Typing an entry's text selects that entry.
    Form.PortNameComboBox()->setEditText("COM2");
    EXPECT_EQ(Click(), QString());
    ASSERT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Stored()[0].PortNo, 2);
}

TEST_F(AddDeviceForm, AnAddProposesTheNextAddressAndRaisesTheDeviceNumber) {
    Fill("7");
    EXPECT_EQ(Click(), QString());
    EXPECT_EQ(Form.TmpAddrEdit()->text(), "8");
    EXPECT_TRUE(Form.StationPosNameEdit()->text().isEmpty());
    EXPECT_TRUE(Form.DevNameEdit()->text().isEmpty());
    EXPECT_EQ(Form.DevNoEdit()->text(), "2");
    EXPECT_EQ(Form.DeviceNo(), 2);

    // The second duplicate test sees the first device; the dialog stays open.
    Fill("7", "2号主变", "温控器B");
    EXPECT_EQ(Click(), kMsgAddr);
    Form.TmpAddrEdit()->setText("8");
    EXPECT_EQ(Click(), QString());
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Form.result(), 0);
    EXPECT_EQ(Tree.Texts, QStringList({"1号主变", "2号主变"}));
    EXPECT_EQ(Form.DevNoEdit()->text(), "3");

    // After 255 the proposal 256 fails if kept.
    Fill("255", "3号主变", "温控器C");
    EXPECT_EQ(Click(), QString());
    EXPECT_EQ(Form.TmpAddrEdit()->text(), "256");
    Form.StationPosNameEdit()->setText("4号主变");
    Form.DevNameEdit()->setText("温控器D");
    EXPECT_EQ(Click(), kMsgAddr);
    EXPECT_EQ(Stored().size(), 3u);
}

TEST_F(AddDeviceForm, AStationOnAMissingPortIsStoredListedAndInState5) {
    Fill("12", "1号主变", "温控器A");
    const TDateTime before = MonotonicNow();
    EXPECT_EQ(Click(), QString());

    const std::vector<TStationInfo> stored = Stored();
    ASSERT_EQ(stored.size(), 1u);
    const TStationInfo& record = stored[0];
    EXPECT_EQ(record.TmpAddr, 12);
    EXPECT_EQ(record.PortNo, 1);
    EXPECT_EQ(record.PortBaud, 5);
    EXPECT_EQ(record.PortBitSize, 3);
    EXPECT_EQ(record.PortParity, 0);
    EXPECT_EQ(record.PortStopBits, 0);
    EXPECT_EQ(record.PortDtrControl, 0);
    EXPECT_EQ(record.DevName.Utf8(), "温控器A");

    // The list item reads as the stored record; the live record points to it.
    ASSERT_EQ(Stations.size(), 1u);
    const TStationInfo& item = *Stations[0];
    EXPECT_EQ(item.RecordId, record.RecordId);
    EXPECT_EQ(item.DevName, record.DevName);
    EXPECT_EQ(item.StationPosName, record.StationPosName);
    EXPECT_EQ(item.PortNo, record.PortNo);
    ASSERT_EQ(Tree.Nodes.size(), 1u);
    const TStationState& state = *Tree.Nodes[0];
    EXPECT_EQ(Tree.Texts, QStringList({"1号主变"}));
    EXPECT_EQ(state.Station, Stations[0].get());
    EXPECT_EQ(state.Address, 12);
    EXPECT_EQ(state.State, kStateOpenError);
    EXPECT_FALSE(state.HistoryList);
    EXPECT_FALSE(state.HistoryMgr);
    EXPECT_GE(state.RefTime, before);
    ASSERT_TRUE(state.Port);
    EXPECT_FALSE(state.Port->IsOpen());
    EXPECT_EQ(state.Port->CommName(), "COM1");
}

TEST_F(AddDeviceForm, AStationOnAWorkingPortIsOpenWithItsSettingsAndHandler) {
    TPtyPair pty;
    Dir.LinkPort(3, pty.SlavePath());
    Fill("9");
    Form.PortNameComboBox()->setCurrentIndex(2);
    Form.PortBaudComboBox()->setCurrentIndex(7);  // 38400
    EXPECT_EQ(Click(), QString());

    ASSERT_EQ(Tree.Nodes.size(), 1u);
    TStationState& state = *Tree.Nodes[0];
    EXPECT_EQ(state.State, kStateDisconnected);
    ASSERT_TRUE(state.Port && state.Port->IsOpen());
    EXPECT_EQ(state.Port->BaudRate(), 38400u);
    EXPECT_EQ(state.Port->ByteSize(), TByteSize::_8);
    EXPECT_EQ(state.Port->Parity(), TParity::None);
    EXPECT_EQ(state.Port->StopBits(), TStopBits::_1);
    EXPECT_EQ(state.Port->DtrControl(), TDtrControl::DtrEnable);
    // Replies are binary: software flow control is off on station ports.
    EXPECT_FALSE(state.Port->Outx_XonXoffFlow());
    EXPECT_FALSE(state.Port->Inx_XonXoffFlow());
    EXPECT_EQ(Stored()[0].PortBaud, 7);

    // The receive handler given to the dialog gets the port's data.
    ASSERT_TRUE(pty.Write({0x11, 0x13, 0x01}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Received > 0; }, 10000));
    state.Port->ClosePort();
}

TEST_F(AddDeviceForm, CancelClosesAndKeepsWhatWasAdded) {
    Fill("7");
    EXPECT_EQ(Click(), QString());
    QSignalSpy rejected(&Form, &QDialog::rejected);
    QTest::mouseClick(Form.CancelButton(), Qt::LeftButton);
    EXPECT_EQ(rejected.count(), 1);
    EXPECT_FALSE(Form.isVisible());
    EXPECT_EQ(Form.result(), QDialog::Rejected);
    EXPECT_EQ(Stored().size(), 1u);
    EXPECT_EQ(Tree.Nodes.size(), 1u);
}

TEST_F(AddDeviceForm, ShowingAgainRefillsThePortListAndShowsTheDeviceNumber) {
    Form.PortNameComboBox()->setEditText("COM77");
    Fill("7");
    EXPECT_EQ(Click(), QString::fromUtf8(kMsgPortName));
    Form.hide();
    Form.show();
    EXPECT_EQ(Form.PortNameComboBox()->currentText(), "COM1");
    EXPECT_EQ(Form.PortNameComboBox()->count(), 50);
    EXPECT_EQ(Click(), QString());
}

// Stations on one port share its line: a second baud rate there is refused,
// before anything is stored; the same baud rate joins the open line.
TEST_F(AddDeviceForm, AStationJoinsItsPortsLineOnlyAtTheLinesBaudRate) {
    Fill("1");
    EXPECT_EQ(Click(), QString());
    Fill("2", "2号主变", "温控器B");
    Form.PortBaudComboBox()->setCurrentIndex(7);
    EXPECT_EQ(Click(), QString::fromUtf8(kMsgLineBaud));
    EXPECT_EQ(Stored().size(), 1u);
    // Another port is a line of its own.
    Form.PortNameComboBox()->setCurrentIndex(1);
    EXPECT_EQ(Click(), QString());
    Fill("3", "3号主变", "温控器C");
    Form.PortNameComboBox()->setCurrentIndex(0);
    EXPECT_EQ(Click(), QString::fromUtf8(kMsgLineBaud));
    Form.PortBaudComboBox()->setCurrentIndex(5);
    EXPECT_EQ(Click(), QString());
    ASSERT_EQ(Tree.Nodes.size(), 3u);
    EXPECT_EQ(Tree.Nodes[0]->Port, Tree.Nodes[2]->Port);
    EXPECT_NE(Tree.Nodes[0]->Port, Tree.Nodes[1]->Port);
    EXPECT_EQ(Roster.Lines().size(), 2u);
    // COM1 is missing: its line did not open for either station.
    EXPECT_EQ(Tree.Nodes[0]->State, kStateOpenError);
    EXPECT_EQ(Tree.Nodes[2]->State, kStateOpenError);
}

// "修改设备": the station's values in the fields, the address fixed; the
// record is rewritten under its id, the line follows the port and the
// station's history stays where it is.
TEST_F(AddDeviceForm, ModifyingAStationRewritesItsRecordAndMovesItsLine) {
    Fill("1");
    EXPECT_EQ(Click(), QString());
    Fill("2", "2号主变", "温控器B");
    EXPECT_EQ(Click(), QString());
    TStationState& second = *Tree.Nodes[1];
    ASSERT_EQ(Tree.Nodes[0]->Port, second.Port);
    const int32_t recordId = second.Station->RecordId;
    Dir.MissingPort(3);

    TAddDeviceForm edit(nullptr, 2, Roster, Tree, second);
    edit.show();
    EXPECT_EQ(edit.windowTitle(), "修改设备");
    EXPECT_EQ(edit.TmpAddrEdit()->text(), "2");
    EXPECT_FALSE(edit.TmpAddrEdit()->isEnabled());
    EXPECT_EQ(edit.StationPosNameEdit()->text(), "2号主变");
    EXPECT_EQ(edit.DevNameEdit()->text(), "温控器B");
    EXPECT_EQ(edit.PortNameComboBox()->currentText(), "COM1");
    EXPECT_EQ(edit.PortBaudComboBox()->currentText(), "9600");

    edit.StationPosNameEdit()->setText("新位置");
    edit.PortNameComboBox()->setCurrentIndex(2);
    Log.Clear();
    QTest::mouseClick(edit.AddStationButton(), Qt::LeftButton);
    EXPECT_TRUE(Log.Messages().isEmpty());
    EXPECT_EQ(edit.result(), QDialog::Accepted);

    const std::vector<TStationInfo> stored = Stored();
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[1].RecordId, recordId);
    EXPECT_EQ(stored[1].TmpAddr, 2);
    EXPECT_EQ(stored[1].PortNo, 3);
    EXPECT_EQ(stored[1].StationPosName.Utf8(), "新位置");
    EXPECT_EQ(second.Station->StationPosName.Utf8(), "新位置");
    EXPECT_EQ(Tree.Nodes.size(), 2u);  // no node added
    EXPECT_NE(Tree.Nodes[0]->Port, second.Port);
    EXPECT_EQ(second.Port->CommName(), "COM3");
    EXPECT_EQ(second.State, kStateOpenError);
    EXPECT_FALSE(Tree.Nodes[0]->Link->IsShared());
}
