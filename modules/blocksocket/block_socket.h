// The blocking client socket of "daRizorOrozez.so": one TCP link, connected and read on one
// thread, written through GetSocket by another, closed from any thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "modules/net_service.h"

namespace blocksock {

// Descriptor lifetime: Close shuts the link down (shutdown(SHUT_RDWR)), which wakes a Recv
// blocked on another thread, but keeps the descriptor number reserved until the next Connect
// or the object's destruction. A thread that still writes on a number it took from GetSocket
// therefore gets an error from the shut-down socket and never writes into a descriptor the
// process has reused for something else. Connect and the destructor wait for a Recv still
// inside the system call before they release the descriptor.
class BlockSocket final : public IBlockSocket {
  public:
    BlockSocket() = default;
    ~BlockSocket();
    BlockSocket(const BlockSocket&) = delete;
    BlockSocket& operator=(const BlockSocket&) = delete;

    // Connects to a dotted IPv4 address or a host name (first IPv4 address that answers),
    // bound to the SetBindIP address when one is set, giving up after 3 seconds. Closes a
    // previous link first.
    bool Connect(const char* address, std::uint16_t port) override;
    // Blocks until bytes arrive; 0 when the peer closed or Close was called, -1 on an error
    // or without a link.
    int Recv(void* buffer, int capacity) override;
    // True from a successful Connect until Close, a failed Recv or the peer's close.
    bool IsConnected() override;
    void Close() override;
    // The connected descriptor, -1 without a link.
    int GetSocket() override;
    // 0: TCP_NODELAY and SO_KEEPALIVE on the link (now and at every Connect). Other values
    // are ignored.
    void SetOption(int option) override;
    void SetBindIP(const char* address) override;

    static constexpr int kConnectTimeoutMs = 3000;

  private:
    void releaseLocked(std::unique_lock<std::mutex>& lock);  // waits for readers, closes the fd
    void applyOptions(int fd) const;

    std::mutex mutex_;
    std::condition_variable readersDone_;
    int fd_ = -1;             // the descriptor owned by this object (also after Close)
    bool connected_ = false;  // fd_ carries a live link
    int readers_ = 0;         // threads inside recv on fd_
    bool noDelay_ = false;
    std::string bindIp_;
};

}  // namespace blocksock
