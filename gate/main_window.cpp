// The main window: creation, start, connect, reconnect and stop sequences, apply handlers,
// timers and control commands.
#include "gate/main_window.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "client/accept_filter.h"
#include "client/client_process.h"
#include "client/packet_filter.h"
#include "diag/date_time.h"
#include "diag/log.h"
#include "diag/log_cleanup.h"
#include "diag/paths.h"
#include "diag/recorder/pack_recorder.h"
#include "gate/crash_handler.h"
#include "gate/gate_settings.h"
#include "gate/launch_server_proxy.h"
#include "gate/local_addresses.h"
#include "packet/packet_pool.h"
#include "server/game_server_process.h"
#include "server/run_state.h"
#include "thread/thread_manager.h"

namespace gate {
namespace {

// The window the launch-control callbacks drive.
TFrmVevIdor* g_window = nullptr;

bool LaunchStart() {
    if (g_window == nullptr || server::GetGateRunState().IsRouteConnected()) return false;
    g_window->loop().post([] {
        if (g_window != nullptr) g_window->btn_StartClick();
    });
    return true;
}

bool LaunchStop() {
    if (g_window == nullptr || !server::GetGateRunState().IsRouteConnected()) return false;
    g_window->loop().post([] {
        if (g_window != nullptr) g_window->btn_StopClick();
    });
    return true;
}

constexpr const char* kAppVersionDefaultText = "153518004";

// Why a listener on the port would not start, as the system says it (for the operator).
std::string ListenProblem(int port) {
    if (port < 1 || port > 65535) return "the port must be 1 to 65535";
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::strerror(errno);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    std::string problem;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 1) != 0) {
        problem = std::strerror(errno);
    } else {
        problem = "the network service refused (see its capacity and settings)";
    }
    close(fd);
    return problem;
}

}  // namespace

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::uint32_t ConnectRetryDelayMs(int attempt) {
    std::uint32_t delay = 200;
    for (int i = 0; i < attempt && delay < 2000; ++i) delay *= 2;
    return delay > 2000 ? 2000 : delay;
}

TFrmVevIdor::TFrmVevIdor(CommandLine commandLine) : commandLine_(std::move(commandLine)) {
    g_window = this;
}

TFrmVevIdor::~TFrmVevIdor() {
    // FormDestroy: the launch control goes; the guard closes with its member.
    GetLaunchServerProxy().uninitialise();
    g_window = nullptr;
    if (signalFd_ >= 0) close(signalFd_);
}

bool TFrmVevIdor::FormCreate() {
    // Settings: every key with its declared default.
    localSettings_ = &OpenSettings(kLocalSettingsFile, kLocalSettings);
    mainSettings_ = &OpenSettings(kMainSettingsFile, kMainSettings);

    if (!guardSingleInstance()) return false;
    setUpLog();
    watchSignals();

    initErrorEventNotice();
    runEnvironmentChecks();
    createStatisticsView();
    server::GateRunState& runState = server::GetGateRunState();
    runState.SetServerIdOffset(0);

    tmReconnect_ = loop_.addTimer("tmReconnect", 1000, true, [this] { tmReconnectTimer(); });
    tmrRefreshServerState_ = loop_.addTimer("tmrRefreshServerState", 180000, false,
                                            [this] { tmrRefreshServerStateTimer(); });
    tmrRefreshOLCnt_ =
        loop_.addTimer("tmrRefreshOLCnt", 300000, false, [this] { tmrRefreshOLCntTimer(); });
    tmrIOCPRec_ = loop_.addTimer("tmrIOCPRec", 300000, false, [this] { tmrIOCPRecTimer(); });
    tmrProcessLauncher_ =
        loop_.addTimer("tmrProcessLauncher", 500, false, [this] { tmrProcessLauncherTimer(); });
    timer1_ = loop_.addTimer("Timer1", 1000, true, [this] { Timer1Timer(); });

    // The packet pool, the route link's two workers and the client process's worker, in this
    // order: their registration order gives the thread indexes 0, 1 and 2.
    GetPacketPool();
    gameServer_ = std::make_unique<GameServerProcess>();
    gameServer_->InitThreads();
    GetClientProcess().InitProcess();

    // The old log files go before the gate starts serving.
    diag::CleanupOldLogFiles(diag::GetLog().logDirectory(), std::time(nullptr));

    runState.SetRunState(server::kRunStateIdle);
    GetPackRecorderManager().enableAll(false);

    setRunning(false);

    if (!refreshLocalIPList()) {
        diag::GetLog().logFatal("TFrmVevIdor::RefreshLocalIPList failed!");
        std::fprintf(stderr, "vevidor: no local IPv4 address; the gate cannot report itself\n");
        diag::LogFree();
        std::_Exit(-1);
    }

    btnApplyPackFilterClick();
    loadStatusModule();

    // The application version box is empty at creation: it shows the default, the number stays 0.
    if (verNoText_.empty()) verNoText_ = kAppVersionDefaultText;

    if (commandLine_.autostart) {
        launcherClass_ = commandLine_.launcherClass;
        launcherName_ = commandLine_.launcherName;
        btn_StartClick();
        if (loop_.quitting()) return true;  // stopped while it was connecting
    }
    startLogLights();
    setStatusText("Wait Click Start...");

    CLaunchServerDLLProxy& launch = GetLaunchServerProxy();
    if (launch.initialise(LaunchStart, LaunchStop)) {
        loop_.setTimerEnabled(tmrProcessLauncher_, true);
        launch.instance()->notifyIdle();
    } else {
        diag::GetLog().logWarn("LaunchDLL Init Fail!!");
    }
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

bool TFrmVevIdor::refreshLocalIPList() {
    localAddresses_ = LocalIPv4Addresses();
    return !localAddresses_->empty();
}

void TFrmVevIdor::setStatusText(const std::string& text) {
    statusText_ = text;
    diag::GetLog().logInfo("Status: %s", text.c_str());
}

void TFrmVevIdor::showMessage(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    diag::GetLog().warn("%s: %s", caption.c_str(), text.c_str());
    labels_["notice"] = text;
}

void TFrmVevIdor::setRunning(bool on) {
    server::GateRunState& runState = server::GetGateRunState();
    runState.SetRouteConnected(on);
    startEnabled_ = !on;
    stopEnabled_ = on;
    runState.SetRunState(on ? server::kRunStateRunning : server::kRunStateDisconnected);
    setStatusText(on ? "Running..." : "Disconnect");
}

void TFrmVevIdor::btn_StartClick() {
    if (stopped_) {
        // A start after a stop (only the launcher can ask for one): the stop ended and removed
        // the workers, so they are registered again.
        gameServer_->InitThreads();
        GetClientProcess().InitProcess();
        stopped_ = false;
        stopRequested_ = false;
    }
    CLaunchServerDLLProxy& launch = GetLaunchServerProxy();
    if (launch.isInitialised()) launch.instance()->notifyStarting();
    ClientProcess& clients = GetClientProcess();

    btnApplyClick();
    if (!connectStatusLink()) return;

    if (!recordersRegistered_) {
        PackRecorderManager& recorders = GetPackRecorderManager();
        recorders.createRecorder("RouteServer", 3);
        recorders.createRecorder("VevIdor", 7);
        recorders.createRecorder("UserDefine", 0);
        recordersRegistered_ = true;
    }
    started_ = true;

    btnApplyIOCPSettingsClick();
    btSettingClick();
    btnApplyClientPackSettingsClick();

    // A start after a stop finds the address list freed: read it again.
    if (!localAddresses_) refreshLocalIPList();

    int port = GetCheckedInt(*mainSettings_, "edt_Port");
    int capacity = GetCheckedInt(*mainSettings_, "cbb_ThreadNum");
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
        files.rlim_cur < static_cast<rlim_t>(capacity) + 64) {
        diag::GetLog().warn(
            "Open-file limit %llu is below %d connections: raise it (ulimit -n, LimitNOFILE=)",
            static_cast<unsigned long long>(files.rlim_cur), capacity);
    }
    if (port < 1 || port > 65535 || capacity < 1 ||
        !clients.StartService(static_cast<std::uint16_t>(port), capacity)) {
        showMessage("Error", "Server Start Fail");
        diag::GetLog().error("Client listener on port %d with %d connections did not start: %s",
                             port, capacity, ListenProblem(port).c_str());
        return;
    }
    diag::GetLog().logInfo("Client listener on port %d, %d connections", port, capacity);

    connectProcedure();
    if (stopRequested_ || loop_.quitting()) return;  // stopped while connecting

    gameServer_->Enable();
    ThreadManager::instance().startAll();

    startHidden_ = true;
    loop_.setTimerEnabled(tmrRefreshServerState_, true);
    loop_.setTimerEnabled(tmrRefreshOLCnt_, true);
    loop_.setTimerEnabled(tmrIOCPRec_, true);

    mobile_ = mainSettings_->getBool("chkIsUsePackFilter", false) &&
              mainSettings_->getInt("cbbPacketFilter", 0) == 1;
    sendGateInfo(static_cast<std::uint32_t>(capacity));
    gameServer_->SendStartRecord();

    SendLauncherMessage(launcherClass_, launcherName_, kLauncherStarted);
    labels_["lblStatusLight"] = "clAqua";
    if (launch.isInitialised()) launch.instance()->notifyStarted();
}

void TFrmVevIdor::addressListText(std::string& text) const {
    text = localAddresses_ ? Trim(JoinAddressList(*localAddresses_)) : std::string();
}

void TFrmVevIdor::sendGateInfo(std::uint32_t maximum) {
    std::string text;
    addressListText(text);
    int port = GetCheckedInt(*mainSettings_, "edt_Port");
    gameServer_->SendGateInfo(text, static_cast<std::uint16_t>(port), mobile_, maximum);
}

void TFrmVevIdor::connectProcedure() {
    if (connecting_) return;
    connecting_ = true;
    server::GateRunState& runState = server::GetGateRunState();
    loop_.setTimerEnabled(tmReconnect_, mainSettings_->getBool("cbAutoConnect", false));

    gameServer_->ResetCounters();
    GetClientProcess().ResetAllClients();

    IBlockSocket& socket = gameServer_->Socket();
    socket.SetBindIP(mainSettings_->getBool("cbBindIP", false)
                         ? mainSettings_->getString("edtClientBindIP", "")
                         : "");
    gameServer_->PrepareConnect();
    gameServer_->GetOwnQueue().Clear();
    runState.SetRunState(server::kRunStateConnecting);

    startEnabled_ = false;
    stopEnabled_ = false;
    loop_.setTimerEnabled(tmReconnect_, false);
    setStatusText("Connecting to RouteServer...");

    // A refused connect returns at once here: pause between tries (200 ms growing to 2 s) while
    // the loop keeps serving commands and timers.
    int attempt = 0;
    for (;;) {
        std::string address = localSettings_->getString("edt_SrvIp", "");
        int port = GetCheckedInt(*mainSettings_, "edt_SrvPort");
        if (port > 0 && port <= 65535 &&
            socket.Connect(address.c_str(), static_cast<std::uint16_t>(port))) {
            break;
        }
        if (attempt == 0 || attempt % 10 == 0) {
            diag::GetLog().warn("Connect to RouteServer %s:%d failed; trying again",
                                address.c_str(), port);
        }
        std::uint64_t until = NowMs() + ConnectRetryDelayMs(attempt++);
        while (NowMs() < until && !stopRequested_ && !loop_.quitting()) {
            loop_.processPending(static_cast<int>(until - NowMs()));
        }
        if (stopRequested_ || loop_.quitting()) {
            connecting_ = false;
            return;
        }
    }
    diag::GetLog().logInfo("Connected to RouteServer %s:%d",
                           localSettings_->getString("edt_SrvIp", ""),
                           mainSettings_->getInt("edt_SrvPort", 0));
    setStatusText("Connect to RouteServer OK");
    setRunning(true);
    loop_.setTimerEnabled(tmReconnect_, true);
    connecting_ = false;
}

void TFrmVevIdor::tmReconnectTimer() {
    if (!started_ || stopped_ || connecting_) return;
    if (!mainSettings_->getBool("cbAutoConnect", false)) return;
    if (server::GetGateRunState().IsRouteConnected()) return;
    diag::GetLog().warn("Route link lost: reconnecting");
    if (gameServer_->Socket().IsConnected()) gameServer_->Socket().Close();
    connectProcedure();
}

void TFrmVevIdor::stopSequence() {
    stopRequested_ = true;
    if (stopped_) return;
    if (gameServer_->Socket().IsConnected()) gameServer_->Socket().Close();
    stopStatusLink();
    loop_.setTimerEnabled(tmReconnect_, false);
    loop_.setTimerEnabled(tmrIOCPRec_, false);
    loop_.setTimerEnabled(tmrRefreshOLCnt_, false);
    loop_.setTimerEnabled(tmrRefreshServerState_, false);
    ThreadManager::instance().stopAll();
    setRunning(false);
    ThreadManager::instance().exitAll();
    gameServer_->Disable();
    GetClientProcess().StopService();
    diag::GetLog().logInfo("您现在可以安全的关闭程式了");
    localAddresses_.reset();
    stopped_ = true;
}

void TFrmVevIdor::btn_StopClick() {
    CLaunchServerDLLProxy& launch = GetLaunchServerProxy();
    if (launch.isInitialised()) launch.instance()->notifyStopping();
    mainSettings_->setBool("cbAutoConnect", false);
    stopSequence();
    if (launch.isInitialised()) launch.instance()->notifyStopped();
}

void TFrmVevIdor::btSettingClick() {
    ClientProcess& clients = GetClientProcess();
    clients.SetMinSendInterval(
        static_cast<std::uint32_t>(GetCheckedInt(*mainSettings_, "labMinSendInterval")));
    clients.SetMaxPackToSend(GetCheckedInt(*mainSettings_, "labMaxPack"));
    gameServer_->SetRecvBufferLen(GetCheckedInt(*mainSettings_, "edtRecvBufferLen"));
}

void TFrmVevIdor::btnApplyIOCPSettingsClick() {
    INetService* service = GetClientProcess().GetService();
    auto value = [this](const char* key) {
        int v = GetCheckedInt(*mainSettings_, key);
        return static_cast<std::uint64_t>(v < 0 ? 0 : v);
    };
    service->SetParam(4, value("cbb_TimeOut") * 1000);
    std::uint64_t maxPack = value("edtMaxPackSize");
    service->SetParam(1, (maxPack == 0 ? 512 : maxPack) * 1024);
    service->SetParam(5, value("edtMaxSendMsgQueueCount"));
    service->SetParam(7, value("edtRefuseConnectBySendQueue"));
    service->SetParam(6, value("edtRefuseConnectByRecvQueue"));
    service->SetParam(8, value("edtHackAttackValue"));
    btSaveClick();
}

void TFrmVevIdor::btnApplyClientPackSettingsClick() {
    ClientProcess& clients = GetClientProcess();
    clients.SetMaxClientPackLen(GetCheckedInt(*mainSettings_, "edtMaxClientPackLen"));
    clients.SetMaxClientPackPile(GetCheckedInt(*mainSettings_, "edtMaxClientPackPile"));
}

void TFrmVevIdor::btnApplyClick() {
    ApplyAcceptFilterSettings(
        GetClientProcess().GetAcceptFilter(), *mainSettings_, diag::ExecutableDir(),
        [this](const std::string&, const std::string& text) { labels_["notice"] = text; });
}

void TFrmVevIdor::btnApplyPackFilterClick() {
    ApplyPackFilterSettings(GetClientProcess().GetPacketFilter(), *mainSettings_,
                            diag::ExecutableDir());
}

void TFrmVevIdor::btSaveClick() {
    if (!mainSettings_->save()) {
        diag::GetLog().warn("Settings file \"%s\" could not be written", kMainSettingsFile);
    }
    if (!localSettings_->save()) {
        diag::GetLog().warn("Settings file \"%s\" could not be written", kLocalSettingsFile);
    }
}

void TFrmVevIdor::tmrRefreshServerStateTimer() {
    checkErrorEventNotice();
    if (!localAddresses_) return;
    std::string text;
    addressListText(text);
    gameServer_->SendAddressRefresh(text);
}

void TFrmVevIdor::tmrRefreshOLCntTimer() {
    if (!localAddresses_) return;
    sendGateInfo(0);
}

void TFrmVevIdor::tmrIOCPRecTimer() {
    INetService* service = GetClientProcess().GetService();
    std::array<std::uint64_t, 10> counters{};
    for (int i = 0; i < 10; ++i) counters[static_cast<std::size_t>(i)] = service->GetParam(28 + i);
    gameServer_->SendNetStatistics(counters);
}

void TFrmVevIdor::tmrProcessLauncherTimer() {
    CLaunchServerDLLProxy& launch = GetLaunchServerProxy();
    if (launch.isInitialised()) {
        launcherPolled_ = true;
        launch.instance()->poll();
    } else if (launcherPolled_) {
        loop_.setTimerEnabled(tmrProcessLauncher_, false);
    }
}

void TFrmVevIdor::Timer1Timer() {
    ClientProcess& clients = GetClientProcess();
    server::GateRunState& runState = server::GetGateRunState();
    LogObject& log = diag::GetLog();
    char text[256];
    int online = clients.GetOnlineCount();
    std::snprintf(text, sizeof text, "Online Count: %d Disconnecting Player: %d", online,
                  clients.GetKickListCount());
    labels_["gbCurrentPlayer"] = text;
    std::snprintf(text, sizeof text, "Online Count: %d", online);
    labels_["gbCurrentPlayerOnline"] = text;
    labels_["lab_C2R"] = clients.GetRecvSpeedText();
    labels_["lab_R2C"] = clients.GetSendInfoText();
    labels_["lab_R2G"] = gameServer_->GetRecvSpeedText();
    labels_["lab_G2R"] = gameServer_->GetSendSpeedText();
    std::snprintf(text, sizeof text, "ToGameServerSendByte : %d byte",
                  gameServer_->GetLastSendBytes());
    labels_["labCurSendLen"] = text;
    std::snprintf(text, sizeof text, "TotalConnect : %d", online);
    labels_["lab_RClient"] = text;
    std::snprintf(text, sizeof text, "TotalPack : %d, Max : %d, Discard : %d, RouterReconnect: %d",
                  GetPacketPool().InUseCount(), GetPacketPool().PeakInUse(),
                  gameServer_->GetDroppedCount(), runState.GetDisconnectCount());
    labels_["labPackTotal"] = text;
    double lastFatal = log.lastFatalErrorTime();
    if (lastFatal == 0.0) {
        std::snprintf(text, sizeof text, "FatalError : %d", log.fatalErrorCount());
    } else {
        std::snprintf(text, sizeof text, "FatalError : %d, ErrorTime : %s", log.fatalErrorCount(),
                      diag::TimeOfDayText(lastFatal).c_str());
    }
    labels_["labFatalErrorCount"] = text;
    if (log.fatalErrorCount() > 0 || log.errorCount() > 0) labels_["lblStatusLight"] = "clHotLight";
    std::snprintf(text, sizeof text, "LogFatalError : %d", log.logFatalErrorCount());
    labels_["lblLogErrCount"] = text;
}

void TFrmVevIdor::onControlCommand(std::uint32_t command, const std::string& text) {
    switch (command) {
        case kCommandShow:
            diag::GetLog().logInfo("Another instance (pid %s) asked this gate to show itself",
                                   text.c_str());
            break;
        case kCommandStop:
            if (stopRequested_) break;  // already on its way out
            btn_StopClick();
            SendLauncherMessage(launcherClass_, launcherName_, kLauncherExited);
            diag::GetLog().flush();
            exitCode_ = 0;
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

// Steps of the later subsystems, in the places the sequences give them. Until those subsystems
// exist each does nothing (and a missing status module is the normal case).
void TFrmVevIdor::initErrorEventNotice() {}
void TFrmVevIdor::runEnvironmentChecks() {}
void TFrmVevIdor::createStatisticsView() {}
void TFrmVevIdor::loadStatusModule() {}
void TFrmVevIdor::startLogLights() {}
bool TFrmVevIdor::connectStatusLink() {
    return true;
}
void TFrmVevIdor::stopStatusLink() {}
void TFrmVevIdor::checkErrorEventNotice() {}

int TFrmVevIdor::run() {
    int code = loop_.run();
    return code;
}

}  // namespace gate
