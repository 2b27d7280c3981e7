// Blocking client socket: bounded non-blocking connect, blocking receive, shutdown-based close.
#include "modules/blocksocket/block_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace blocksock {

namespace {

// Connects fd to the address within the time left; true on success.
bool connectWithin(int fd, const sockaddr* addr, socklen_t len,
                   std::chrono::steady_clock::time_point deadline) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    int rc = ::connect(fd, addr, len);
    if (rc != 0 && errno != EINPROGRESS) return false;
    if (rc != 0) {
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) return false;
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, static_cast<int>(left));
            if (rc > 0) break;
            if (rc == 0) return false;
            if (errno != EINTR) return false;
        }
        int error = 0;
        socklen_t errorLen = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLen) != 0 || error != 0) {
            return false;
        }
    }
    return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

BlockSocket::~BlockSocket() {
    std::unique_lock lock(mutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    releaseLocked(lock);
}

void BlockSocket::releaseLocked(std::unique_lock<std::mutex>& lock) {
    readersDone_.wait(lock, [this] { return readers_ == 0; });
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connected_ = false;
}

void BlockSocket::applyOptions(int fd) const {
    if (!noDelay_) return;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
}

bool BlockSocket::Connect(const char* address, std::uint16_t port) {
    std::unique_lock lock(mutex_);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
        releaseLocked(lock);
    }
    if (address == nullptr || *address == '\0') return false;

    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(address, service.c_str(), &hints, &found) != 0 || found == nullptr) {
        return false;
    }

    sockaddr_in local{};
    const bool bind = !bindIp_.empty();
    if (bind) {
        local.sin_family = AF_INET;
        local.sin_port = 0;
        if (inet_pton(AF_INET, bindIp_.c_str(), &local.sin_addr) != 1) {
            freeaddrinfo(found);
            return false;
        }
    }

    int fd = -1;
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if ((!bind || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0) &&
            connectWithin(fd, ai->ai_addr, ai->ai_addrlen, deadline)) {
            break;
        }
        ::close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) return false;
    applyOptions(fd);
    fd_ = fd;
    connected_ = true;
    return true;
}

int BlockSocket::Recv(void* buffer, int capacity) {
    int fd;
    {
        std::lock_guard lock(mutex_);
        if (!connected_ || buffer == nullptr || capacity <= 0) return -1;
        fd = fd_;
        ++readers_;
    }
    ssize_t n;
    do {
        n = ::recv(fd, buffer, static_cast<std::size_t>(capacity), 0);
    } while (n < 0 && errno == EINTR);
    {
        std::lock_guard lock(mutex_);
        if (n <= 0 && fd_ == fd) connected_ = false;
        if (--readers_ == 0) readersDone_.notify_all();
    }
    return n < 0 ? -1 : static_cast<int>(n);
}

bool BlockSocket::IsConnected() {
    std::lock_guard lock(mutex_);
    return connected_;
}

void BlockSocket::Close() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    connected_ = false;
}

int BlockSocket::GetSocket() {
    std::lock_guard lock(mutex_);
    return connected_ ? fd_ : -1;
}

void BlockSocket::SetOption(int option) {
    std::lock_guard lock(mutex_);
    if (option != 0) return;
    noDelay_ = true;
    if (fd_ >= 0) applyOptions(fd_);
}

void BlockSocket::SetBindIP(const char* address) {
    std::lock_guard lock(mutex_);
    bindIp_ = address != nullptr ? address : "";
}

}  // namespace blocksock
