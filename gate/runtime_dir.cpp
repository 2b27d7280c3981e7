// Runtime folder, control and launcher datagram sockets, and the single-instance lock.
#include "gate/runtime_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace gate {
namespace {

bool MakeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::string Datagram(std::uint32_t number, const std::string& text) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<std::size_t>(i)] = static_cast<char>(number >> (8 * i));
    return bytes + text;
}

bool SendDatagram(const std::string& path, const std::string& bytes) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) return false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t sent = sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT,
                          reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(fd);
    return sent == static_cast<ssize_t>(bytes.size());
}

}  // namespace

std::string RuntimeDir() {
    std::string dir;
    if (const char* explicitDir = std::getenv("VEVIDOR_RUNTIME_DIR"); explicitDir && *explicitDir) {
        dir = explicitDir;
    } else if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        dir = std::string(xdg) + "/vevidor";
    } else {
        dir = "/tmp/vevidor-" + std::to_string(getuid());
    }
    if (!MakeDir(dir)) {
        std::fprintf(stderr, "vevidor: cannot create runtime folder %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return {};
    }
    return dir;
}

std::string ControlName(const std::string& sign) {
    return sign.empty() ? "pid-" + std::to_string(getpid()) : sign;
}

bool SendControl(const std::string& socketPath, std::uint32_t command, const std::string& text) {
    return SendDatagram(socketPath, Datagram(command, text));
}

std::string LauncherSocketPath(const std::string& windowClass, const std::string& windowName) {
    std::string dir = RuntimeDir();
    if (dir.empty()) return {};
    return dir + "/launcher-" + windowClass + "-" + windowName + ".sock";
}

bool SendLauncherMessage(const std::string& windowClass, const std::string& windowName,
                         std::uint32_t message) {
    std::string path = LauncherSocketPath(windowClass, windowName);
    if (path.empty()) return false;
    return SendDatagram(path, Datagram(message, {}));
}

ControlSocket::~ControlSocket() {
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
    }
}

bool ControlSocket::bind(const std::string& path) {
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
        std::fprintf(stderr, "vevidor: control socket path too long: %s\n", path.c_str());
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    unlink(path.c_str());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "vevidor: cannot bind control socket %s: %s\n", path.c_str(),
                     std::strerror(errno));
        close(fd);
        return false;
    }
    fd_ = fd;
    path_ = path;
    return true;
}

void ControlSocket::drain(const std::function<void(std::uint32_t, const std::string&)>& onCommand) {
    char buffer[65536];
    for (;;) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) return;
        if (n < 4) continue;  // too short to hold a command number
        std::uint32_t command = 0;
        for (int i = 0; i < 4; ++i) {
            command |= static_cast<std::uint32_t>(static_cast<unsigned char>(buffer[i])) << (8 * i);
        }
        onCommand(command, std::string(buffer + 4, static_cast<std::size_t>(n - 4)));
    }
}

SingleInstanceGuard::~SingleInstanceGuard() {
    release();
}

bool SingleInstanceGuard::acquire(const std::string& runtimeDir, const std::string& sign) {
    std::string path = runtimeDir + "/" + sign + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        std::fprintf(stderr, "vevidor: cannot open %s: %s; running without the instance guard\n",
                     path.c_str(), std::strerror(errno));
        return true;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void SingleInstanceGuard::release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

}  // namespace gate
