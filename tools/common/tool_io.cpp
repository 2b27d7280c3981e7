// Clock, socket, epoll and frame buffer helpers of the tools.
#include "tools/common/tool_io.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "packet/package_dispatcher.h"
#include "packet/wire.h"

namespace tools {

std::uint64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

double MonotonicSec() {
    return static_cast<double>(MonotonicNs()) / 1e9;
}

int NewTcpSocket() {
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

int NewUdpSocket() {
    return socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void SetNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void SetReuseAddress(int fd) {
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

int SocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    return err;
}

bool Ipv4Address(const std::string& text, int port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(static_cast<std::uint16_t>(port));
    return inet_pton(AF_INET, text.c_str(), &out.sin_addr) == 1;
}

sockaddr_in Ipv4Address(std::uint32_t hostOrder, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(hostOrder);
    return a;
}

int WatchFd(int epoll, int op, int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return epoll_ctl(epoll, op, fd, &ev);
}

int WatchPtr(int epoll, int op, int fd, std::uint32_t events, void* ptr) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = ptr;
    return epoll_ctl(epoll, op, fd, &ev);
}

void CloseWatched(int epoll, int& fd) {
    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    fd = -1;
}

std::uint8_t* FrameBuffer::AppendFrame(std::uint32_t length) {
    std::size_t at = data_.size();
    data_.resize(at + kHeaderSize + length);
    std::uint8_t* p = data_.data() + at;
    wire::StoreLE<std::uint16_t>(p, KsPackageDispatcher::kFrameTag);
    wire::StoreLE<std::uint32_t>(p + 2, length);
    return p + kHeaderSize;
}

void FrameBuffer::Clear() {
    data_.clear();
    pos_ = 0;
}

bool FrameBuffer::SendTo(int fd) {
    while (pos_ < data_.size()) {
        ssize_t n = send(fd, data_.data() + pos_, data_.size() - pos_, MSG_NOSIGNAL);
        if (n > 0) {
            pos_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return false;
    }
    if (pos_ == data_.size()) {
        Clear();
    } else if (pos_ > (1u << 20)) {
        // A long backlog: drop the sent part rather than let the vector only grow.
        data_.erase(data_.begin(), data_.begin() + static_cast<std::ptrdiff_t>(pos_));
        pos_ = 0;
    }
    return true;
}

}  // namespace tools
