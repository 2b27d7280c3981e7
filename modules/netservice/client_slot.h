// One connection slot of the network service: the gate's view of a connection (INetClient)
// and the per-connection state the service's I/O thread works on.
#pragma once

#include <arpa/inet.h>

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "modules/net_service.h"
#include "thread/tick.h"

namespace netsvc {

// Life of a slot:
//
//   Free --accept (103 queued)--> Active --close (104/106/107 queued)--> Closing
//     ^                                                                      |
//     +------------- GetMsg hands out the closing message ------------------+
//
// A slot is reused only after the gate has taken the closing message from GetMsg, so every
// message, Send and Close the gate issues for an index refers to the connection it last
// heard of: data of an old connection can never reach a new one in the same slot.
class ClientSlot final : public INetClient {
  public:
    enum class State : std::uint8_t { kFree, kActive, kClosing };
    enum CloseRequest : std::uint8_t { kNoClose = 0, kCloseByGate = 1, kCloseByLimit = 2 };

    ClientSlot(std::uint32_t index, asio::io_context& io) : socket(io), index_(index) {}
    ClientSlot(const ClientSlot&) = delete;
    ClientSlot& operator=(const ClientSlot&) = delete;

    std::uint32_t GetIndex() override { return index_; }
    void* GetUserData() override { return userData_.load(std::memory_order_acquire); }
    void SetUserData(void* data) override { userData_.store(data, std::memory_order_release); }
    int GetSocket() override { return fd.load(std::memory_order_relaxed); }
    // Valid from the accept message until the slot is free again (also while Closing).
    const char* GetIP() override { return ip; }
    std::uint64_t GetRemainSendBuffer() override {
        const std::uint64_t limit = sendByteLimit.load(std::memory_order_relaxed);
        const std::uint64_t used = committed.load(std::memory_order_relaxed);
        return used >= limit ? 0 : limit - used;
    }
    std::uint64_t GetCommitSendBuffer() override {
        return committed.load(std::memory_order_relaxed);
    }
    std::uint64_t GetBytesReceived() override { return bytesRecv.load(std::memory_order_relaxed); }
    std::uint64_t GetBytesSent() override { return bytesSent.load(std::memory_order_relaxed); }
    std::uint64_t GetConnectedSeconds() override {
        if (state.load(std::memory_order_acquire) == State::kFree) return 0;
        return static_cast<std::uint32_t>(timeGetTime() - acceptTick.load()) / 1000u;
    }

    // Shared between the gate's threads and the I/O thread.
    std::atomic<State> state{State::kFree};
    std::atomic<int> fd{-1};
    char ip[INET_ADDRSTRLEN] = {};
    std::atomic<std::uint64_t> bytesRecv{0};
    std::atomic<std::uint64_t> bytesSent{0};
    std::atomic<std::uint64_t> committed{0};      // bytes taken by Send, not yet written
    std::atomic<std::uint64_t> sendByteLimit{0};  // copy of the service's setting, for the view
    std::atomic<std::uint32_t> queuedSends{0};    // Send calls not yet completely written
    std::atomic<std::uint32_t> acceptTick{0};
    std::atomic<std::uint64_t> queuedRecv{0};  // received bytes waiting in the GetMsg queue
    std::atomic<bool> paused{false};           // reading stopped until GetMsg drains

    // Guarded by mutex: the bytes of Send calls not yet handed to the I/O thread, and the
    // requests for the I/O thread.
    std::mutex mutex;
    std::vector<std::uint8_t> pending;
    std::uint32_t pendingSends = 0;
    bool inDirtyList = false;
    CloseRequest closeRequest = kNoClose;
    bool resumeRequest = false;

    // The I/O thread's own.
    asio::ip::tcp::socket socket;
    std::vector<std::uint8_t> writing;  // bytes being written, from writeOffset on
    std::size_t writeOffset = 0;
    std::uint32_t writingSends = 0;
    std::uint32_t generation = 0;  // changes at every accept and close: stale waits see it
    std::uint32_t lastRecvTick = 0;
    bool readArmed = false;
    bool writeArmed = false;

  private:
    const std::uint32_t index_;
    std::atomic<void*> userData_{nullptr};
};

}  // namespace netsvc
