// Service manager notifications: through libsystemd when it is there, else over the datagram
// socket named by NOTIFY_SOCKET (a path, or "@name" for the abstract namespace).
#include "modules/launch/service_notify.h"

#include <cstdlib>
#include <cstring>

#if defined(VEVIDOR_HAVE_LIBSYSTEMD)
#include <systemd/sd-daemon.h>
#else
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#endif

namespace launch {

bool ServiceManagerListens() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

#if defined(VEVIDOR_HAVE_LIBSYSTEMD)

bool SendServiceState(const char* state) {
    return sd_notify(0, state) > 0;
}

std::uint64_t WatchdogPeriodUsec() {
    std::uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}

#else

bool SendServiceState(const char* state) {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || (name[0] != '/' && name[0] != '@')) return false;
    std::size_t length = std::strlen(name);
    sockaddr_un address{};
    if (length >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
    socklen_t addressLength =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + (name[0] == '/' ? 1 : 0));

    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    ssize_t sent;
    do {
        sent = ::sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), addressLength);
    } while (sent < 0 && errno == EINTR);
    ::close(fd);
    return sent >= 0;
}

std::uint64_t WatchdogPeriodUsec() {
    const char* usecText = std::getenv("WATCHDOG_USEC");
    if (usecText == nullptr || *usecText == '\0') return 0;
    if (const char* pidText = std::getenv("WATCHDOG_PID"); pidText != nullptr && *pidText != '\0') {
        char* end = nullptr;
        long pid = std::strtol(pidText, &end, 10);
        if (*end != '\0' || pid != static_cast<long>(::getpid())) return 0;
    }
    char* end = nullptr;
    unsigned long long usec = std::strtoull(usecText, &end, 10);
    if (*end != '\0') return 0;
    return usec;
}

#endif

}  // namespace launch
