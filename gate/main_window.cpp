// The main window's creation sequence, control commands and main loop.
#include "gate/main_window.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "diag/log.h"
#include "diag/log_cleanup.h"
#include "diag/paths.h"
#include "gate/crash_handler.h"
#include "gate/gate_settings.h"

namespace gate {

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

TFrmVevIdor::TFrmVevIdor(CommandLine commandLine) : commandLine_(std::move(commandLine)) {}

TFrmVevIdor::~TFrmVevIdor() {
    if (signalFd_ >= 0) close(signalFd_);
}

bool TFrmVevIdor::FormCreate() {
    // Settings: every key with its declared default.
    localSettings_ = &OpenSettings(kLocalSettingsFile, kLocalSettings);
    mainSettings_ = &OpenSettings(kMainSettingsFile, kMainSettings);

    if (!guardSingleInstance()) return false;
    setUpLog();
    watchSignals();

    // The old log files go before the gate starts serving.
    diag::CleanupOldLogFiles(diag::GetLog().logDirectory(), std::time(nullptr));

    if (commandLine_.autostart) {
        launcherClass_ = commandLine_.launcherClass;
        launcherName_ = commandLine_.launcherName;
    }
    setStatusText("Wait Click Start...");
    return true;
}

bool TFrmVevIdor::guardSingleInstance() {
    std::string sign = Trim(localSettings_->getString("edtMutexSign", ""));
    std::string runtimeDir = RuntimeDir();
    if (runtimeDir.empty()) return true;  // said on stderr; run without the guard
    if (!sign.empty() && !instanceGuard_.acquire(runtimeDir, sign)) {
        std::string path = runtimeDir + "/" + sign + ".ctl";
        bool asked = SendControl(path, kCommandShow, std::to_string(getpid()));
        std::fprintf(stderr,
                     "vevidor: another gate with the sign \"%s\" is running%s; this one ends\n",
                     sign.c_str(), asked ? " and was asked to show itself" : "");
        exitCode_ = 0;
        return false;
    }
    if (controlSocket_.bind(runtimeDir + "/" + ControlName(sign) + ".ctl")) {
        loop_.watchFd(controlSocket_.fd(), [this] {
            controlSocket_.drain([this](std::uint32_t command, const std::string& text) {
                onControlCommand(command, text);
            });
        });
    }
    return true;
}

void TFrmVevIdor::setUpLog() {
    LogObject& log = diag::GetLog();
    log.setLogPath(commandLine_.logDir.c_str(), "");
    static const bool diagnostic =
        access((diag::ExecutableDir() + kDiagnosticMarkerFile).c_str(), F_OK) == 0;
    log.setDiagnosticFlag(diagnostic ? 1 : 0);
    log.setServerName("ZadoVezivi");
    SetCrashReportDir(log.logDirectory());
}

void TFrmVevIdor::watchSignals() {
    // SIGTERM and SIGINT take the path of the stop command. They are blocked in main() before
    // any thread exists, so only the signal descriptor sees them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    signalFd_ = signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0) return;
    loop_.watchFd(signalFd_, [this] {
        signalfd_siginfo info{};
        while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            diag::GetLog().logWarn("Signal %d received: stopping",
                                   static_cast<int>(info.ssi_signo));
            onControlCommand(kCommandStop, {});
        }
    });
}

void TFrmVevIdor::setStatusText(const std::string& text) {
    statusText_ = text;
    diag::GetLog().logInfo("Status: %s", text.c_str());
}

void TFrmVevIdor::onControlCommand(std::uint32_t command, const std::string& text) {
    switch (command) {
        case kCommandShow:
            diag::GetLog().logInfo("Another instance (pid %s) asked this gate to show itself",
                                   text.c_str());
            break;
        case kCommandStop:
            // The stop sequence comes here once the gate has one.
            SendLauncherMessage(launcherClass_, launcherName_, kLauncherExited);
            diag::GetLog().flush();
            loop_.quit(0);
            break;
        case kCommandSetLauncher: {
            std::size_t bar = text.find('|');
            if (bar == std::string::npos || text.find('|', bar + 1) != std::string::npos) break;
            launcherClass_ = text.substr(0, bar);
            launcherName_ = text.substr(bar + 1);
            SendLauncherMessage(launcherClass_, launcherName_, kLauncherChanged);
            break;
        }
        default:
            break;
    }
}

int TFrmVevIdor::run() {
    return loop_.run();
}

}  // namespace gate
