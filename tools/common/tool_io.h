// The I/O pieces the tools share: a monotonic clock, IPv4 socket set-up, epoll registration,
// a non-blocking read loop and the outgoing frame buffer of the gate's stream framing.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tools {

// CLOCK_MONOTONIC, in nanoseconds and in seconds.
std::uint64_t MonotonicNs();
double MonotonicSec();

// A non-blocking, close-on-exec socket (-1 on failure, with errno).
int NewTcpSocket();
int NewUdpSocket();
void SetNoDelay(int fd);
void SetReuseAddress(int fd);
// SO_ERROR of a socket: 0 once a non-blocking connect has succeeded.
int SocketError(int fd);

// An IPv4 socket address. The text form returns false when `text` is no dotted address (the
// address part is then 0.0.0.0); the numeric form takes the address in host byte order.
bool Ipv4Address(const std::string& text, int port, sockaddr_in& out);
sockaddr_in Ipv4Address(std::uint32_t hostOrder, int port);

// epoll_ctl with one event word; the event data is the fd itself or a pointer. They return
// epoll_ctl's result.
int WatchFd(int epoll, int op, int fd, std::uint32_t events);
int WatchPtr(int epoll, int op, int fd, std::uint32_t events, void* ptr);
// Takes fd out of the epoll set, closes it and sets it to -1.
void CloseWatched(int epoll, int& fd);

// How a ReadChunks call ended.
enum class ReadEnd {
    kDrained,  // nothing more to read now, a short read, or the rounds were used up
    kStopped,  // onData returned false (it closed the socket, say)
    kClosed,   // the peer closed the stream
    kFailed,   // recv failed
};

// Reads fd (non-blocking) into `buffer` at most `rounds` times (an interrupted call counts as a
// round) and hands every chunk to onData(const std::uint8_t*, std::size_t), which returns
// whether reading may go on. A chunk shorter than the buffer ends the call.
template <class OnData>
ReadEnd ReadChunks(int fd, std::span<std::uint8_t> buffer, int rounds, OnData&& onData) {
    for (int i = 0; i < rounds; ++i) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n > 0) {
            if (!onData(static_cast<const std::uint8_t*>(buffer.data()),
                        static_cast<std::size_t>(n)))
                return ReadEnd::kStopped;
            if (static_cast<std::size_t>(n) < buffer.size()) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        return n == 0 ? ReadEnd::kClosed : ReadEnd::kFailed;
    }
    return ReadEnd::kDrained;
}

// Bytes queued for one stream socket, in the gate's frames:
//
//   +-----------+------------------+------------------+
//   | u16 tag   | u32 length (LE)  | length bytes     |
//   +-----------+------------------+------------------+
//   ^ sent     ^ pos_              ^ end of data_: what is still to be sent lies between
class FrameBuffer {
  public:
    static constexpr std::size_t kHeaderSize = 6;

    // Appends a frame header for `length` bytes and room for them; returns that room, valid
    // until the next call on this buffer. The caller fills it.
    std::uint8_t* AppendFrame(std::uint32_t length);

    bool Pending() const { return pos_ < data_.size(); }
    std::size_t PendingBytes() const { return data_.size() - pos_; }
    void Clear();

    // Sends what the socket takes now. Returns false when send failed (the buffer is left as
    // it was); true otherwise, having dropped what was sent.
    bool SendTo(int fd);

  private:
    std::vector<std::uint8_t> data_;
    std::size_t pos_ = 0;
};

}  // namespace tools
