// TFrmVevIdor: the gate's chief object. It owns the settings objects, runs the creation
// sequence, the start and stop sequences, the timers and the commands on the main event loop.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "gate/command_line.h"
#include "gate/event_loop.h"
#include "gate/runtime_dir.h"
#include "modules/settings_object.h"

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

    SettingsObject& localSettings() { return *localSettings_; }
    SettingsObject& mainSettings() { return *mainSettings_; }
    EventLoop& loop() { return loop_; }

    // The status bar text; every text also goes to the log at info level.
    void setStatusText(const std::string& text);
    const std::string& statusText() const { return statusText_; }

    // Control commands (the control socket, signals).
    void onControlCommand(std::uint32_t command, const std::string& text);

  private:
    bool guardSingleInstance();
    void setUpLog();
    void watchSignals();

    CommandLine commandLine_;
    EventLoop loop_;
    SettingsObject* localSettings_ = nullptr;
    SettingsObject* mainSettings_ = nullptr;
    SingleInstanceGuard instanceGuard_;
    ControlSocket controlSocket_;
    int signalFd_ = -1;
    std::string statusText_;
    std::string launcherClass_;
    std::string launcherName_;
    int exitCode_ = 0;
};

// The marker file beside the executable that switches the log's diagnostic flag on.
inline constexpr const char* kDiagnosticMarkerFile = "BBF84B34-357E-435B-B3FF-D60370AAA6ED";

// Trims blanks, tabs and line ends from both ends.
std::string Trim(const std::string& text);

}  // namespace gate
