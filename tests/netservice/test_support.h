// Shared helpers of the network module tests: loading the real modules from VEVIDOR_BIN and
// small blocking loopback clients with bounded waits.
#pragma once

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "modules/net_service.h"

namespace nettest {

inline std::string ModulePath(const char* file) {
    const char* bin = std::getenv("VEVIDOR_BIN");
    return std::string(bin != nullptr ? bin : ".") + "/" + file;
}

// Opens a module once per process and returns the export (null when missing).
inline void* ModuleSymbol(const char* file, const char* name) {
    void* handle = dlopen(ModulePath(file).c_str(), RTLD_NOW | RTLD_LOCAL);
    return handle != nullptr ? dlsym(handle, name) : nullptr;
}

inline INetService* NewService() {
    static auto fn = reinterpret_cast<GetREVedArivuziInstanceFn>(
        ModuleSymbol("REVedArivuzi.so", "GetREVedArivuziInstance"));
    return fn != nullptr ? fn(0) : nullptr;
}

// A connected loopback client socket with 3 s receive and send time-outs; -1 on failure.
inline int ConnectClient(std::uint16_t port, const char* from = nullptr, int rcvbuf = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    if (from != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool SendAll(int fd, const void* data, std::size_t length) {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// Reads exactly length bytes (bounded by the socket's receive time-out).
inline bool RecvAll(int fd, void* data, std::size_t length) {
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        const ssize_t n = ::recv(fd, p, length, 0);
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// True when the peer ended the connection (EOF or reset) within the wait.
inline bool PeerClosed(int fd, int waitMs = 3000) {
    pollfd p{fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&p, 1, 50) > 0) {
            char c[4096];
            const ssize_t n = ::recv(fd, c, sizeof(c), MSG_DONTWAIT);
            if (n <= 0) return true;
        }
    }
    return false;
}

// Closes with a reset instead of an orderly close.
inline void ResetClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    ::close(fd);
}

}  // namespace nettest
