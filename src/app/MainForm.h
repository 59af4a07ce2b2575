#pragma once
// TMainForm, "温度控制系统": the station's whole shell. It opens the station
// and parameter tables, lists the stations in the tree with their live
// records and ports, loads the settings, runs the scan cycle, shows the
// selected station (live values, port settings, history) and carries every
// command of the menu bar, the tool bar and the tree's pop-up menu.
//
//   ┌ menu bar ──────────────────────────────────────────────────────┐
//   │ tool bar: 启动扫描 停止扫描 增加设备 删除设备 重新连接 断开连接 退出 │
//   ├ StationTreeView ─┬ 设备实时数据 │ 通讯参数 │ 历史数据 ───────────┤
//   │ 设备位置         │                                              │
//   │   <station>      │                                              │
//   ├──────────────────┴──────────────────────────────────────────────┤
//   │ 设备名称：DeviceNameLabel 温控地址：TemAddrLabel 连接状态：CommStateLabel │
//   └─────────────────────────────────────────────────────────────────┘
//
// Ownership: the window owns both managers, the station roster (the stored
// and live records of the stations and their lines), the parameter list, the
// settings block, the sample recorder and the scan cycle; each station node
// shows a live record of the roster. Everything runs on the main thread.

#include <QMainWindow>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dialogs/StationTree.h"
#include "polling/AlarmMonitor.h"
#include "polling/ScanView.h"
#include "polling/StationRoster.h"
#include "store/Items.h"

class QAction;
class QLabel;
class QMenu;
class QTabWidget;
class QTreeWidget;
class QTreeWidgetItem;
class TBackUp;
class TBackUpLocationForm;
class THistoryPanel;
class THisInfoDbMgr;
class TLiveViewPage;
class TPortSettingsPage;
class TDiagnosticsPage;
class TEventDbMgr;
class TOverviewPage;
class TAlarmPage;
class TSampleRecorder;
class TScanCycle;
class TStationDbMgr;
class TStationNode;
class TAlarmSound;
class TStationRoster;
class TSysParaDbMgr;

// The commands of the menu bar and the tool bar (one action serves both
// places), and the items of the tree's pop-up menu, which are never disabled.
struct TMainActions {
    QAction* StartScan;
    QAction* StopScan;
    QAction* Exit;
    QAction* AddDevice;
    QAction* DeleteDevice;
    QAction* ModifyDevice;
    QAction* Reconnect;
    QAction* Disconnect;
    QAction* BackUp;
    QAction* BackUpAll;
    QAction* BackUpQuery;
    QAction* Settings;
    QAction* AlarmSettings;
    QAction* QuerySettings;
    QAction* About;

    QAction* TreeAddDevice;
    QAction* TreeDeleteDevice;
    QAction* TreeModifyDevice;
    QAction* TreeBackUp;
    QAction* TreeBackUpAll;
    QAction* TreeReconnect;
};

class TMainForm : public QMainWindow, public IScanView, public IStationTree {
    Q_OBJECT
  public:
    // The backup timer's fixed interval: one hour.
    static constexpr int kBackUpTimerInterval = 3600000;

    // Runs the start-up on `programDir` (the directory data/ and syspara/
    // live in). When it fails or no station is registered in the end, the
    // window asks to terminate (TerminateRequested) and the program ends.
    explicit TMainForm(const std::string& programDir, QWidget* parent = nullptr);
    // Closes every port before its component goes and every history file,
    // then releases the parameter list, the station list, the parameter
    // manager and the station manager, in that order.
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    bool TerminateRequested() const { return FTerminateRequested; }

    // --- Commands (one handler each, wherever the command is offered) ---
    void StartScanClick();
    void StopScanClick();
    void ExitClick();
    // Runs the add device dialog; true when the tree then holds a station.
    bool AddDeviceClick();
    void DeleteDeviceClick();
    // "修改设备" of the selected station; the tree text, the pages and the
    // station's line follow the change, its history stays.
    void ModifyDeviceClick();
    void ReconnectClick();
    void TreeReconnectClick();
    void DisconnectClick();
    void BackUpClick();
    void BackUpAllClick();
    void BackUpQueryClick();
    void SettingsClick();
    // "报警设置": the temperature limit and the alarm sound.
    void AlarmSettingsClick();
    void QuerySettingsClick();
    void AboutClick();
    // "查询" of the history page: reads the range of the selected station on a
    // worker (its own reader of the station's file, never the recorder's
    // manager) and shows it once read. "查询" again while one runs cancels it
    // and the report keeps what it showed; so does selecting another station,
    // deleting it, a backup of it, and closing the window. A failure shows
    // what was read and goes to the application's error report.
    void Button1Click();
    void StationTreeViewChange(QTreeWidgetItem* node);
    void BackUpTimerTimer();

    // Sets the scan timer's interval from the settings, keeping whether it
    // runs, and runs the backup timer exactly when automatic backup is on.
    void ApplyTimers();

    // Today's date for the backups (Now() unless set; tests set their own).
    using TBackUpClock = std::function<TDateTime()>;
    void SetBackUpClock(TBackUpClock clock) { FBackUpClock = std::move(clock); }
    // Test seam: the file size limit a station's history file is nearly
    // full or full against (TSampleRecorder::SetFileSizeLimitForTest).
    void SetHistoryFileLimitForTest(int64_t bytes);

    // --- The selected station's views ---
    void ShowStateText(uint8_t state) override;
    void ShowLiveView() override;
    void ResetToUnknown();
    void ShowPortSettings(const TStationState& station);
    void ShowReport(const TStationState& station);
    void RefreshConnectionCommands(TStationState& station) override;

    // --- IScanView ---
    std::vector<TStationState*> Stations() override;
    std::vector<TStationLine*> Lines() override;
    TStationState* SelectedStation() override;
    void ReportError(const std::string& message) override;
    void ReportRecordingError(const std::string& message) override;
    void ShowRecordingState(TStationState& station) override;

    // --- IStationTree ---
    int NodeCount() const override;
    std::vector<TStationState*> StationStates() const override;
    void AddStationNode(const QString& text, TStationState& state) override;

    // --- Parts, for the hooks and for tests ---
    const std::string& ProgramDir() const { return FProgramDir; }
    TStationDbMgr* StationMgr() const { return FStationMgr.get(); }
    TSysParaDbMgr* SysParaMgr() const { return FSysParaMgr.get(); }
    TStationList& StationList();
    TStationRoster* Roster() const { return FRoster.get(); }
    std::vector<TSysParaItem>& ParaList() { return FParaList; }
    TSysParaInfo& SysParaInfo() { return FSysParaInfo; }
    TScanCycle* ScanCycle() const { return FScanCycle.get(); }
    QTimer& BackUpTimer() { return FBackUpTimer; }
    const TMainActions& Actions() const { return FActions; }
    QMenu* TreePopupMenu() const { return FTreeMenu; }
    QTreeWidget* StationTreeView() const { return FTree; }
    QTreeWidgetItem* RootNode() const { return FRoot; }
    QTabWidget* Pages() const { return FPages; }
    // The backup viewer once created; none before its first use.
    TBackUpLocationForm* BackUpViewer() const;
    TLiveViewPage* LiveView() const { return FLiveView; }
    TPortSettingsPage* PortSettings() const { return FPortSettings; }
    THistoryPanel* HistoryPanel() const { return FHistoryPanel; }
    QLabel* DeviceNameLabel() const { return FDeviceNameLabel; }
    QLabel* TemAddrLabel() const { return FTemAddrLabel; }
    QLabel* CommStateLabel() const { return FCommStateLabel; }
    // "记录失败：<reason>" while the selected station's recording fails,
    // hidden otherwise.
    QLabel* RecordingStateLabel() const { return FRecordingStateLabel; }
    // Where the last "备份" put the history file, or why it did not; hidden
    // until the first backup.
    QLabel* BackUpStateLabel() const { return FBackUpStateLabel; }
    TDiagnosticsPage* Diagnostics() const { return FDiagnostics; }
    // The page "设备总览".
    TOverviewPage* Overview() const { return FOverview; }
    // The page "报警记录".
    TAlarmPage* AlarmPage() const { return FAlarmPage; }
    // Redraws the page "设备总览" when it is the page shown.
    void RefreshOverview();
    void StationReplied(TStationState& station, TReplyEffect effect) override;
    // Redraws the station's row of "设备总览" when that page is shown.
    void RefreshOverviewRow(const TStationState& station);
    void PassDone() override;

    // --- Alarms ---
    TAlarmMonitor& Alarms() { return FAlarms; }
    TEventDbMgr* EventMgr() const { return FEventMgr.get(); }
    // Stores the events (in order) and brings every alarm indication up to
    // date: tree nodes, "设备总览", the window's attention and the sound.
    void AlarmEvents(const std::vector<TAlarmEvent>& events);
    // Starts (true) or stops (false) the repeating alarm sound; tests set
    // their own. The default plays the station's alarm tone every 2 s.
    using TAlarmSoundPlayer = std::function<void(bool on)>;
    void SetAlarmSoundPlayer(TAlarmSoundPlayer player);
    bool AlarmSounding() const { return FSounding; }
    // The alarm clock (Now() unless set).
    void SetAlarmClock(TBackUpClock clock) { FAlarmClock = std::move(clock); }
    // Redraws the page "通讯诊断" when it is the page shown.
    void RefreshDiagnostics();
    static constexpr int kDiagnosticsRefreshMs = 1000;
    // The node of a station's live record; none when it is not in the tree.
    TStationNode* NodeOf(const TStationState& station) const;

    // Releases the station's last query result; the report stops showing
    // it first if it does (a backup releases it too).
    void ReleaseHistoryList(TStationState& station);
    // What a backup does with the station's query result: released, unless
    // the report shows it; then the window keeps it (the report's rows stay)
    // until the report shows something else.
    void DetachHistoryList(TStationState& station);
    // Closes the station's history file if it is open (the report keeps
    // what it shows).
    void ReleaseHistoryMgr(TStationState& station);

  private:
    // Building the window.
    void MakeActions();
    void MakeMenus();
    void MakeToolBar();
    void MakeTree();
    QWidget* MakePages();
    void MakeStatusBar();

    // Start-up and shut-down.
    void Startup();
    bool OpenManagers();
    // True when at least one station was loaded.
    bool LoadStations();
    void LoadSettings();
    void ReleaseStations() noexcept;

    // Selection rules.
    void SetStationCommandsEnabled(bool reconnect, bool disconnect, bool remove);
    // The backups on the window's settings, parameters and clock.
    TBackUp MakeBackUp();
    void DeleteStation(TStationNode& node);
    void ReconnectStation(TStationState& station);
    void RequestTerminate();
    void OpenEventLog();
    // An accepted reply's conditions, and the state it brings (0).
    void FollowAlarms(TStationState& station, TReplyEffect effect);
    // Every station's state as the last pass left it.
    void FollowStates();
    void FollowState(TStationState& station, TDateTime now);
    void ShowAlarmIndications();
    TDateTime AlarmNow() const;

    std::string FProgramDir;  // ends with '/'
    bool FTerminateRequested = false;

    std::unique_ptr<TStationDbMgr> FStationMgr;
    std::unique_ptr<TSysParaDbMgr> FSysParaMgr;
    std::unique_ptr<TStationRoster> FRoster;
    std::vector<TSysParaItem> FParaList;
    TSysParaInfo FSysParaInfo;
    std::unique_ptr<TSampleRecorder> FRecorder;
    std::unique_ptr<TScanCycle> FScanCycle;
    // The alarm rules and the event log (none when data/event.dt cannot be
    // opened: alarms still show, nothing is logged).
    TAlarmMonitor FAlarms;
    std::unique_ptr<TEventDbMgr> FEventMgr;
    bool FEventErrorReported = false;
    // The last connection state each station's alarms saw, by address.
    std::map<uint8_t, uint8_t> FAlarmStates;
    TAlarmSoundPlayer FAlarmSound;
    bool FSounding = false;
    QTimer FBackUpTimer;
    TBackUpClock FBackUpClock;
    TBackUpClock FAlarmClock;
    // The default player's sound.
    TAlarmSound* FDefaultSound;
    // The backup viewer once created; kept for the next use, and none again
    // once it is destroyed.
    QPointer<QWidget> FBackUpViewer;

    // Widgets, owned through Qt's parent chain.
    TMainActions FActions{};
    QMenu* FTreeMenu = nullptr;
    QTreeWidget* FTree = nullptr;
    QTreeWidgetItem* FRoot = nullptr;
    QTabWidget* FPages = nullptr;
    TLiveViewPage* FLiveView = nullptr;
    TPortSettingsPage* FPortSettings = nullptr;
    THistoryPanel* FHistoryPanel = nullptr;
    QLabel* FDeviceNameLabel = nullptr;
    QLabel* FTemAddrLabel = nullptr;
    QLabel* FCommStateLabel = nullptr;
    QLabel* FRecordingStateLabel = nullptr;
    QLabel* FBackUpStateLabel = nullptr;
    TDiagnosticsPage* FDiagnostics = nullptr;
    TOverviewPage* FOverview = nullptr;
    TAlarmPage* FAlarmPage = nullptr;
    QTimer FDiagnosticsTimer;
    // The station whose values the live view shows; compared only, never
    // followed (cleared when that station is deleted).
    const TStationState* FLiveViewStation = nullptr;
    // A query result a backup took from its station while the report showed
    // it; released once the report shows anything else.
    TReadingList FDetachedReport;
    // The station whose history query runs; compared only, never followed
    // (the query is cancelled before the station goes).
    const TStationState* FQueryStation = nullptr;
    void CancelQueryOf(const TStationState* station);
};
