// The window's layout, its interfaces to the scan cycle and the add device
// dialog, and its shut-down. Start-up is in MainStartup.cpp, the commands in
// MainCommands.cpp, the views of the selected station in MainViews.cpp.

#include "app/MainForm.h"
#include "app/AlarmSound.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>

#include "app/AlarmView.h"
#include "app/DiagnosticsView.h"
#include "app/ErrorReport.h"
#include "app/LiveView.h"
#include "app/OverviewView.h"
#include "app/PortSettingsView.h"
#include "app/StationNode.h"
#include "dialogs/HistoryPanel.h"
#include "dialogs/HistoryQuery.h"
#include "polling/HistoryOpener.h"
#include "polling/SampleRecorder.h"
#include "polling/ScanCycle.h"
#include "polling/StationRoster.h"
#include "polling/StationState.h"
#include "store/EventDbMgr.h"
#include "store/HisInfoDbMgr.h"
#include "store/StationDbMgr.h"
#include "store/StorePaths.h"
#include "store/SysParaDbMgr.h"

namespace {

constexpr int kInitialWidth = 960;
constexpr int kInitialHeight = 620;
constexpr int kTreeWidth = 200;
// What the status bar's value labels show until first set.
const char* const kUnsetLabelText = "XXXX";

QAction* MakeAction(QObject* owner, const char* text, const char* name,
                    QStyle::StandardPixmap icon = QStyle::SP_CustomBase) {
    auto* action = new QAction(QString::fromUtf8(text), owner);
    action->setObjectName(QString::fromUtf8(name));
    if (icon != QStyle::SP_CustomBase) action->setIcon(QApplication::style()->standardIcon(icon));
    return action;
}

QLabel* MakeValueLabel(const char* name, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(kUnsetLabelText), parent);
    label->setObjectName(QString::fromUtf8(name));
    label->setMinimumWidth(90);
    return label;
}

}  // namespace

TMainForm::TMainForm(const std::string& programDir, QWidget* parent)
    : QMainWindow(parent), FProgramDir(WithTrailingSlash(programDir)) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QStringLiteral("温度控制系统"));
    resize(kInitialWidth, kInitialHeight);

    MakeActions();
    MakeMenus();
    MakeToolBar();
    MakeTree();
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setObjectName(QStringLiteral("Splitter1"));
    splitter->addWidget(FTree);
    splitter->addWidget(MakePages());
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({kTreeWidth, kInitialWidth - kTreeWidth});
    setCentralWidget(splitter);
    MakeStatusBar();

    FDefaultSound = new TAlarmSound(this);
    FAlarmSound = [this](bool on) { FDefaultSound->SetOn(on); };
    FBackUpTimer.setObjectName(QStringLiteral("BackUpTimer"));
    FBackUpTimer.setInterval(kBackUpTimerInterval);
    connect(&FBackUpTimer, &QTimer::timeout, this, [this] {
        // A timer handler never lets an error reach the event loop.
        try {
            BackUpTimerTimer();
        } catch (const std::exception& error) {
            ReportError(error.what());
        }
    });

    Startup();
}

TMainForm::~TMainForm() {
    // No pass may run while the stations go.
    FBackUpTimer.stop();
    FScanCycle.reset();
    // No query result arrives while the stations go.
    if (FHistoryPanel != nullptr) FHistoryPanel->Query()->CancelAndWait();
    FQueryStation = nullptr;
    // The report borrows a station's query result.
    if (FHistoryPanel != nullptr) FHistoryPanel->ClearReadings();
    FDetachedReport.reset();
    ReleaseStations();
    FDefaultSound->SetOn(false);
    if (FAlarmPage != nullptr) FAlarmPage->SetEventStore(nullptr);
    FEventMgr.reset();
    FParaList.clear();
    FRoster.reset();
    FSysParaMgr.reset();
    FStationMgr.reset();
}

void TMainForm::ReleaseStations() noexcept {
    if (FRoot == nullptr) return;
    // Every port closes before its component goes (its writer thread still
    // reaches it), and every history file is closed so no stored sample is
    // lost; then the nodes and their records go.
    constexpr std::chrono::milliseconds kPendingLimit(2000);
    if (FRoster) FRoster->CloseAll();
    for (TStationState* station : Stations()) {
        // Samples waiting for a file another process holds get a last chance.
        if (FRecorder && !station->PendingSamples.empty()) {
            FRecorder->StorePendingWithin(*station, kPendingLimit);
        }
        // An open under way ends before its file is let go.
        FinishHistoryOpen(*station);
        try {
            station->HistoryMgr.reset();
        } catch (...) {
            // Closing a history file that cannot be closed loses nothing
            // more by going on with the others.
        }
        station->HistoryList.reset();
    }
    // Every stored sample on stable storage before the window goes.
    if (FRecorder) FRecorder->WaitFlushed();
    qDeleteAll(FRoot->takeChildren());
}

// --- Layout ------------------------------------------------------------------

void TMainForm::MakeActions() {
    TMainActions& a = FActions;
    a.StartScan = MakeAction(this, "启动扫描(&R)", "StartScanAction", QStyle::SP_MediaPlay);
    a.StopScan = MakeAction(this, "停止扫描(&S)", "StopScanAction", QStyle::SP_MediaStop);
    a.Exit = MakeAction(this, "退出(&X)", "ExitAction", QStyle::SP_DialogCloseButton);
    a.AddDevice =
        MakeAction(this, "增加设备(&E)...", "AddDeviceAction", QStyle::SP_FileDialogNewFolder);
    a.DeleteDevice = MakeAction(this, "删除设备(&D)", "DeleteDeviceAction", QStyle::SP_TrashIcon);
    a.ModifyDevice = MakeAction(this, "修改设备(&M)...", "ModifyDeviceAction");
    a.Reconnect = MakeAction(this, "重新连接(&R)", "ReconnectAction", QStyle::SP_BrowserReload);
    a.Disconnect = MakeAction(this, "断开连接(&Z)", "DisconnectAction", QStyle::SP_BrowserStop);
    a.BackUp = MakeAction(this, "备份(&B)", "BackUpAction");
    a.BackUpAll = MakeAction(this, "备份全部设备数据(&U)", "BackUpAllAction");
    a.BackUpQuery = MakeAction(this, "备份查询(&L)...", "BackUpQueryAction");
    a.Settings = MakeAction(this, "设置(&T)...", "SettingsAction");
    a.AlarmSettings = MakeAction(this, "报警设置(&A)...", "AlarmSettingsAction");
    a.QuerySettings = MakeAction(this, "查询设置(&O)...", "QuerySettingsAction");
    a.About = MakeAction(this, "关于(&A)...", "AboutAction");

    a.TreeAddDevice = MakeAction(this, "增加设备(&A)...", "TreeAddDeviceAction");
    a.TreeDeleteDevice = MakeAction(this, "删除设备(&D)", "TreeDeleteDeviceAction");
    a.TreeModifyDevice = MakeAction(this, "修改设备(&M)...", "TreeModifyDeviceAction");
    a.TreeBackUp = MakeAction(this, "备份(&B)", "TreeBackUpAction");
    a.TreeBackUpAll = MakeAction(this, "备份全部设备数据(&U)", "TreeBackUpAllAction");
    a.TreeReconnect = MakeAction(this, "重新连接(&R)", "TreeReconnectAction");

    // One handler per command, wherever it is offered.
    const auto on = [this](QAction* action, void (TMainForm::*handler)()) {
        connect(action, &QAction::triggered, this, [this, handler] { (this->*handler)(); });
    };
    on(a.StartScan, &TMainForm::StartScanClick);
    on(a.StopScan, &TMainForm::StopScanClick);
    on(a.Exit, &TMainForm::ExitClick);
    on(a.DeleteDevice, &TMainForm::DeleteDeviceClick);
    on(a.Reconnect, &TMainForm::ReconnectClick);
    on(a.Disconnect, &TMainForm::DisconnectClick);
    on(a.BackUp, &TMainForm::BackUpClick);
    on(a.BackUpAll, &TMainForm::BackUpAllClick);
    on(a.BackUpQuery, &TMainForm::BackUpQueryClick);
    on(a.Settings, &TMainForm::SettingsClick);
    on(a.AlarmSettings, &TMainForm::AlarmSettingsClick);
    on(a.QuerySettings, &TMainForm::QuerySettingsClick);
    on(a.About, &TMainForm::AboutClick);
    on(a.TreeDeleteDevice, &TMainForm::DeleteDeviceClick);
    on(a.ModifyDevice, &TMainForm::ModifyDeviceClick);
    on(a.TreeModifyDevice, &TMainForm::ModifyDeviceClick);
    on(a.TreeBackUp, &TMainForm::BackUpClick);
    on(a.TreeBackUpAll, &TMainForm::BackUpAllClick);
    on(a.TreeReconnect, &TMainForm::TreeReconnectClick);
    for (QAction* add : {a.AddDevice, a.TreeAddDevice}) {
        connect(add, &QAction::triggered, this, [this] { AddDeviceClick(); });
    }
}

void TMainForm::MakeMenus() {
    const TMainActions& a = FActions;
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu"));

    QMenu* system = bar->addMenu(QStringLiteral("系统(&S)"));
    system->setObjectName(QStringLiteral("SystemMenu"));
    system->addAction(a.StartScan);
    system->addAction(a.StopScan);
    system->addSeparator();
    system->addAction(a.Exit);

    QMenu* operate = bar->addMenu(QStringLiteral("操作(&O)"));
    operate->setObjectName(QStringLiteral("OperateMenu"));
    operate->addAction(a.AddDevice);
    operate->addAction(a.DeleteDevice);
    operate->addAction(a.ModifyDevice);
    operate->addSeparator();
    operate->addAction(a.Reconnect);
    operate->addAction(a.Disconnect);
    operate->addSeparator();
    operate->addAction(a.BackUp);
    operate->addAction(a.BackUpAll);
    operate->addSeparator();
    operate->addAction(a.BackUpQuery);

    QMenu* options = bar->addMenu(QStringLiteral("选项(&P)"));
    options->setObjectName(QStringLiteral("OptionsMenu"));
    options->addAction(a.Settings);
    options->addAction(a.AlarmSettings);
    options->addSeparator();
    options->addAction(a.QuerySettings);

    QMenu* help = bar->addMenu(QStringLiteral("帮助(&H)"));
    help->setObjectName(QStringLiteral("HelpMenu"));
    help->addAction(a.About);

    FTreeMenu = new QMenu(this);
    FTreeMenu->setObjectName(QStringLiteral("TreePopupMenu"));
    FTreeMenu->addAction(a.TreeAddDevice);
    FTreeMenu->addAction(a.TreeDeleteDevice);
    FTreeMenu->addAction(a.TreeModifyDevice);
    FTreeMenu->addSeparator();
    FTreeMenu->addAction(a.TreeBackUp);
    FTreeMenu->addAction(a.TreeBackUpAll);
    FTreeMenu->addSeparator();
    FTreeMenu->addAction(a.TreeReconnect);
}

void TMainForm::MakeToolBar() {
    const TMainActions& a = FActions;
    QToolBar* tools = addToolBar(QStringLiteral("ToolBar1"));
    tools->setObjectName(QStringLiteral("ToolBar1"));
    tools->setMovable(false);
    tools->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    for (QAction* action : {a.StartScan, a.StopScan, a.AddDevice, a.DeleteDevice, a.Reconnect,
                            a.Disconnect, a.Exit}) {
        // A tool button shows the action's icon text, which Qt derives from
        // the text without its "..." and mnemonic: the captions are the
        // menu's, "..." and "&" included, so they are set as they are.
        action->setIconText(action->text());
        tools->addAction(action);
    }
}

void TMainForm::MakeTree() {
    FTree = new QTreeWidget(this);
    FTree->setObjectName(QStringLiteral("StationTreeView"));
    FTree->setColumnCount(1);
    FTree->header()->hide();
    FTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FTree->setSelectionMode(QAbstractItemView::SingleSelection);
    FRoot = new QTreeWidgetItem(FTree);
    FRoot->setText(0, QStringLiteral("设备位置"));
    FRoot->setFlags(FRoot->flags() & ~Qt::ItemIsEditable);
    FRoot->setExpanded(true);

    connect(FTree, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* current, QTreeWidgetItem*) { StationTreeViewChange(current); });
    FTree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(FTree, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        // A right click selects the node under the pointer, so the pop-up's
        // commands act on the node the operator pointed at.
        if (QTreeWidgetItem* item = FTree->itemAt(at)) FTree->setCurrentItem(item);
        FTreeMenu->popup(FTree->viewport()->mapToGlobal(at));
    });
}

QWidget* TMainForm::MakePages() {
    FPages = new QTabWidget(this);
    FPages->setObjectName(QStringLiteral("PageControl1"));
    FLiveView = new TLiveViewPage(FPages);
    FPortSettings = new TPortSettingsPage(FPages);
    FHistoryPanel = new THistoryPanel(THistoryPanelOptions{}, FPages);
    FHistoryPanel->setObjectName(QStringLiteral("HistoryPage"));
    QPushButton* backUpQuery = FHistoryPanel->AddButton(QStringLiteral("备份查询..."),
                                                        QStringLiteral("BackUpQueryButton"));
    connect(backUpQuery, &QPushButton::clicked, this, [this] { BackUpQueryClick(); });
    connect(FHistoryPanel, &THistoryPanel::QueryClicked, this, [this] { Button1Click(); });

    FPages->addTab(FLiveView, QStringLiteral("设备实时数据"));
    FPages->addTab(FPortSettings, QStringLiteral("通讯参数"));
    FPages->addTab(FHistoryPanel, QStringLiteral("历史数据"));
    FOverview = new TOverviewPage(FPages);
    FOverview->SetAlarmQuery([this](const TStationState& station) {
        const TStationAlarmLevel level = FAlarms.StationWorst(station.Address);
        return level == TStationAlarmLevel::ActiveUnacknowledged ||
               level == TStationAlarmLevel::ClearedUnacknowledged;
    });
    FPages->addTab(FOverview, QStringLiteral("设备总览"));
    connect(FOverview, &TOverviewPage::RowActivated, this, [this](int row) {
        if (row >= 0 && row < FRoot->childCount()) FTree->setCurrentItem(FRoot->child(row));
    });
    FAlarmPage = new TAlarmPage(FAlarms, FPages);
    FPages->addTab(FAlarmPage, QStringLiteral("报警记录"));
    FAlarmPage->SetAcknowledged(
        [this](const std::vector<TAlarmEvent>& events) { AlarmEvents(events); });
    FDiagnostics = new TDiagnosticsPage(FPages);
    FPages->addTab(FDiagnostics, QStringLiteral("通讯诊断"));
    // Drawn only while shown: about once a second, and at once when shown.
    FDiagnosticsTimer.setObjectName(QStringLiteral("DiagnosticsTimer"));
    FDiagnosticsTimer.setInterval(kDiagnosticsRefreshMs);
    connect(&FDiagnosticsTimer, &QTimer::timeout, this, [this] { RefreshDiagnostics(); });
    connect(FPages, &QTabWidget::currentChanged, this, [this] {
        RefreshDiagnostics();
        RefreshOverview();
        if (FPages->currentWidget() == FAlarmPage) {
            FAlarmPage->RefreshActive();
            FAlarmPage->Query();
        }
    });
    FDiagnosticsTimer.start();
    return FPages;
}

void TMainForm::MakeStatusBar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QStringLiteral("StatusBar1"));
    auto* box = new QWidget(bar);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(4, 0, 4, 0);
    FDeviceNameLabel = MakeValueLabel("DeviceNameLabel", box);
    FTemAddrLabel = MakeValueLabel("TemAddrLabel", box);
    FCommStateLabel = MakeValueLabel("CommStateLabel", box);
    row->addWidget(new QLabel(QStringLiteral("设备名称："), box));
    row->addWidget(FDeviceNameLabel);
    row->addSpacing(24);
    row->addWidget(new QLabel(QStringLiteral("温控地址："), box));
    row->addWidget(FTemAddrLabel);
    row->addSpacing(24);
    row->addWidget(new QLabel(QStringLiteral("连接状态："), box));
    row->addWidget(FCommStateLabel);
    row->addSpacing(24);
    FRecordingStateLabel = new QLabel(box);
    FRecordingStateLabel->setObjectName(QStringLiteral("RecordingStateLabel"));
    FRecordingStateLabel->setStyleSheet(QStringLiteral("color: red;"));
    FRecordingStateLabel->setVisible(false);
    row->addWidget(FRecordingStateLabel);
    row->addSpacing(24);
    FBackUpStateLabel = new QLabel(box);
    FBackUpStateLabel->setObjectName(QStringLiteral("BackUpStateLabel"));
    FBackUpStateLabel->setVisible(false);
    row->addWidget(FBackUpStateLabel);
    row->addStretch(1);
    bar->addWidget(box, 1);
}

// --- The station tree --------------------------------------------------------

int TMainForm::NodeCount() const {
    return 1 + FRoot->childCount();
}

std::vector<TStationState*> TMainForm::StationStates() const {
    std::vector<TStationState*> states;
    states.reserve(static_cast<size_t>(FRoot->childCount()));
    for (int i = 0; i < FRoot->childCount(); ++i) {
        if (TStationState* state = StationOf(FRoot->child(i))) states.push_back(state);
    }
    return states;
}

void TMainForm::AddStationNode(const QString& text, TStationState& state) {
    new TStationNode(FRoot, text, state);
    FRoot->setExpanded(true);
}

TStationList& TMainForm::StationList() {
    static TStationList none;
    return FRoster ? FRoster->List() : none;
}

TStationNode* TMainForm::NodeOf(const TStationState& station) const {
    for (int i = 0; i < FRoot->childCount(); ++i) {
        TStationNode* node = AsStationNode(FRoot->child(i));
        if (node != nullptr && &node->State() == &station) return node;
    }
    return nullptr;
}

std::vector<TStationState*> TMainForm::Stations() {
    return StationStates();
}

std::vector<TStationLine*> TMainForm::Lines() {
    std::vector<TStationLine*> lines;
    if (!FRoster) return lines;
    lines.reserve(FRoster->Lines().size());
    for (const std::unique_ptr<TStationLine>& line : FRoster->Lines()) lines.push_back(line.get());
    return lines;
}

TStationState* TMainForm::SelectedStation() {
    return StationOf(FTree->currentItem());
}

void TMainForm::ReportError(const std::string& message) {
    ReportApplicationError(this, QString::fromStdString(message));
}

void TMainForm::RefreshOverview() {
    if (FPages == nullptr || FPages->currentWidget() != FOverview) return;
    FOverview->Refresh(StationStates());
}

void TMainForm::StationReplied(TStationState& station, TReplyEffect effect) {
    FollowAlarms(station, effect);
    RefreshOverviewRow(station);
}

void TMainForm::RefreshOverviewRow(const TStationState& station) {
    if (FPages == nullptr || FPages->currentWidget() != FOverview) return;
    // The station's row only: one reply changes one station.
    FOverview->RefreshStation(station);
}

void TMainForm::PassDone() {
    FollowStates();
    RefreshOverview();
}

void TMainForm::RefreshDiagnostics() {
    if (FPages == nullptr || FPages->currentWidget() != FDiagnostics) return;
    FDiagnostics->Refresh(StationStates(), SelectedStation());
}

void TMainForm::ReportRecordingError(const std::string& message) {
    ReportApplicationErrorWhenFree(this, QString::fromStdString(message));
}

void TMainForm::RequestTerminate() {
    // The program entry ends instead of running the message loop.
    FTerminateRequested = true;
}
