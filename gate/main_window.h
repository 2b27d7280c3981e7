// TFrmVevIdor: the gate's chief object. It owns the settings objects and the route link, runs
// the creation sequence, the start, stop and connect sequences, the timers and the commands of
// the control socket, all on the main event loop (the window thread).
//
//   created ──Start──> connecting ──connected──> running ──link lost──> disconnected
//                          ^                                               │
//                          └──────────── reconnect timer (1 s) ────────────┘
//   any state ──Stop──> stopped (the process is then ended or closed)
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gate/command_line.h"
#include "gate/event_loop.h"
#include "gate/runtime_dir.h"
#include "modules/settings_object.h"

class GameServerProcess;

namespace gate {

class TFrmVevIdor {
  public:
    explicit TFrmVevIdor(CommandLine commandLine);
    ~TFrmVevIdor();
    TFrmVevIdor(const TFrmVevIdor&) = delete;
    TFrmVevIdor& operator=(const TFrmVevIdor&) = delete;

    // The creation sequence. False when the process must end now with exitCode()
    // (a second instance).
    bool FormCreate();
    // Runs the main loop until a command ends the process; returns the exit code.
    int run();
    int exitCode() const { return exitCode_; }

    // The start sequence (the Start button, autostart, the launcher's start callback).
    void btn_StartClick();
    // The stop sequence wrapped in launch-control notifications.
    void btn_StopClick();

    // Apply handlers.
    void btSettingClick();
    void btnApplyIOCPSettingsClick();
    void btnApplyClientPackSettingsClick();
    void btnApplyClick();
    void btSaveClick();
    void btnApplyPackFilterClick();

    SettingsObject& localSettings() { return *localSettings_; }
    SettingsObject& mainSettings() { return *mainSettings_; }
    EventLoop& loop() { return loop_; }

    // The status bar text; every text also goes to the log at info level.
    void setStatusText(const std::string& text);
    const std::string& statusText() const { return statusText_; }
    // The labels and captions refreshed every second (name -> text), for the console.
    const std::map<std::string, std::string>& labels() const { return labels_; }

    // Control commands (the control socket, signals).
    void onControlCommand(std::uint32_t command, const std::string& text);

  private:
    bool guardSingleInstance();
    void setUpLog();
    void watchSignals();
    bool refreshLocalIPList();
    void connectProcedure();
    void stopSequence();
    void setRunning(bool on);
    void sendGateInfo(std::uint32_t maximum);
    void addressListText(std::string& text) const;

    // Timers.
    void tmReconnectTimer();
    void tmrRefreshServerStateTimer();
    void tmrRefreshOLCntTimer();
    void tmrIOCPRecTimer();
    void tmrProcessLauncherTimer();
    void Timer1Timer();

    // Steps that belong to later subsystems (status link, environment checks, statistics
    // view, log lights, error event notice): called where the sequences place them.
    void initErrorEventNotice();
    void runEnvironmentChecks();
    void createStatisticsView();
    void loadStatusModule();
    void startLogLights();
    // Connects the status link when its module is loaded; false ends the start sequence.
    bool connectStatusLink();
    void stopStatusLink();
    void checkErrorEventNotice();

    // A message box: a line on standard error and in the log (warn), and a console notice.
    void showMessage(const std::string& caption, const std::string& text);

    CommandLine commandLine_;
    EventLoop loop_;
    SettingsObject* localSettings_ = nullptr;
    SettingsObject* mainSettings_ = nullptr;
    SingleInstanceGuard instanceGuard_;
    ControlSocket controlSocket_;
    int signalFd_ = -1;
    std::unique_ptr<GameServerProcess> gameServer_;

    std::string statusText_;
    std::map<std::string, std::string> labels_;
    std::string launcherClass_;
    std::string launcherName_;
    std::optional<std::vector<std::string>> localAddresses_;
    std::string verNoText_;
    bool started_ = false;
    bool startEnabled_ = true;
    bool stopEnabled_ = false;
    bool startHidden_ = false;
    bool recordersRegistered_ = false;
    bool mobile_ = false;
    bool launcherPolled_ = false;
    bool connecting_ = false;
    bool stopRequested_ = false;
    bool stopped_ = false;
    int exitCode_ = 0;

    EventLoop::TimerId tmReconnect_ = -1;
    EventLoop::TimerId tmrRefreshServerState_ = -1;
    EventLoop::TimerId tmrRefreshOLCnt_ = -1;
    EventLoop::TimerId tmrIOCPRec_ = -1;
    EventLoop::TimerId tmrProcessLauncher_ = -1;
    EventLoop::TimerId timer1_ = -1;
};

// The marker file beside the executable that switches the log's diagnostic flag on.
inline constexpr const char* kDiagnosticMarkerFile = "BBF84B34-357E-435B-B3FF-D60370AAA6ED";

// Trims blanks, tabs and line ends from both ends.
std::string Trim(const std::string& text);

// The reconnect pause after the n-th refused connect (n from 0): 200 ms doubling up to 2 s.
std::uint32_t ConnectRetryDelayMs(int attempt);

}  // namespace gate
