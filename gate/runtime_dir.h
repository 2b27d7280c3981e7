// The gate's runtime folder and the datagram sockets that replace window messages:
// the control socket "<rundir>/<sign>.ctl" and the launcher socket "launcher-C-N.sock".
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace gate {

// $VEVIDOR_RUNTIME_DIR, else $XDG_RUNTIME_DIR/vevidor, else /tmp/vevidor-<uid>; created 0700.
// Empty when it cannot be created (the reason goes to standard error).
std::string RuntimeDir();

// The control-socket stem: the sign, or "pid-<pid>" when the sign is empty.
std::string ControlName(const std::string& sign);

// Control commands: a 4-byte little-endian number followed by the text.
inline constexpr std::uint32_t kCommandStop = 101;
inline constexpr std::uint32_t kCommandSetLauncher = 103;
// Sent by a second instance: "show yourself".
inline constexpr std::uint32_t kCommandShow = 1;

// Launcher messages.
inline constexpr std::uint32_t kLauncherExited = 32770;   // WM_APP + 2
inline constexpr std::uint32_t kLauncherStarted = 32771;  // WM_APP + 3
inline constexpr std::uint32_t kLauncherChanged = 32773;  // WM_APP + 5

// Sends one control datagram; false when nobody listens there.
bool SendControl(const std::string& socketPath, std::uint32_t command, const std::string& text);

// Sends a message to the launcher window (class, name); nothing when no socket is there.
bool SendLauncherMessage(const std::string& windowClass, const std::string& windowName,
                         std::uint32_t message);
std::string LauncherSocketPath(const std::string& windowClass, const std::string& windowName);

// The bound control socket: datagrams of a command number and text.
class ControlSocket {
  public:
    ControlSocket() = default;
    ~ControlSocket();
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;

    // Binds the path (a stale socket file is replaced). False with the reason on stderr.
    bool bind(const std::string& path);
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    // Reads every waiting datagram and calls onCommand for each well-formed one.
    void drain(const std::function<void(std::uint32_t, const std::string&)>& onCommand);

  private:
    int fd_ = -1;
    std::string path_;
};

// The single-instance guard: an exclusive lock on "<rundir>/<sign>.lock".
class SingleInstanceGuard {
  public:
    SingleInstanceGuard() = default;
    ~SingleInstanceGuard();
    SingleInstanceGuard(const SingleInstanceGuard&) = delete;
    SingleInstanceGuard& operator=(const SingleInstanceGuard&) = delete;

    // True when this process now holds the sign; false when another process holds it.
    // A lock file that cannot be opened counts as held by nobody (the gate runs unguarded).
    bool acquire(const std::string& runtimeDir, const std::string& sign);
    void release();

  private:
    int fd_ = -1;
};

}  // namespace gate
