// The network service object of "REVedArivuzi.so": a TCP listener on Asio with one I/O thread,
// connection slots, per-connection send queues and limits, delivering its events as messages.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "modules/net_service.h"
#include "modules/netservice/client_slot.h"
#include "modules/netservice/msg_queue.h"
#include "modules/netservice/net_service_stats.h"

namespace netsvc {

// Threads: one I/O thread (started by Start, joined by Stop) owns the sockets. GetMsg, Send,
// Close, GetParam, SetParam and GetClient may be called from any thread; GetMsg is meant for
// one pump thread (concurrent callers are serialised). Start, Stop and Release belong to the
// owner's thread.
//
// Messages: Start queues 109 for every slot not announced before by this object, in index
// order, before the first accept; each slot is announced once for the object's life (a later
// Start with a larger capacity announces only the new slots). An accepted connection gives
// 103, its data 101 messages of at most 4096 bytes, and its end exactly one of 104 (peer
// closed), 106 (socket error) or 107 (closed by the service: Close, time-out, send limits,
// Stop). 108 is never sent.
//
// Refusals: a new connection is closed at once, without any message, when no slot is free
// (id 32), when its address opens connections too fast (id 33), or while the receive or send
// queue totals exceed SetParam 6 or 7 (ids 24, 23).
//
// Attack detection (SetParam 8 = N > 0): an address that opens more than N connections within
// one second is counted once (id 25) and refused for the next 5 seconds; connections it already
// holds are left alone. The table of addresses is swept every second.
//
// Memory: reading a connection pauses while more than SetParam 10 of its bytes wait in the
// GetMsg queue; sending is bounded per connection by SetParam 5 (messages) and 9 (bytes). An
// idle connection holds no buffers. The module writes no log: descriptor shortage during
// accept is counted (id 37), printed once to standard error, and accepting waits 100 ms.
class NetService final : public INetService {
  public:
    NetService();
    ~NetService();
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    // Listens on every IPv4 address of the port (0 = any free port, see GetParam 38). False
    // when already running, capacity is below 1, or the port cannot be bound.
    bool Start(std::uint16_t port, int capacity) override;
    // Ends listening and closes every connection (107 each); joins the I/O thread. Messages
    // still queued stay available to GetMsg. Start may follow.
    void Stop() override;
    // The slot's object, or null for an index never announced. Valid while the service lives.
    INetClient* GetClient(std::uint32_t index) override;
    bool GetMsg(NetMsg* msg) override;
    // Copies the bytes into the connection's send queue. False (nothing taken) when the slot
    // has no live connection, the length exceeds SetParam 1, or a send limit is reached (the
    // connection is then kicked).
    bool Send(std::uint32_t index, const void* bytes, std::uint32_t length) override;
    // Asks the I/O thread to close the connection after one attempt to write what is queued;
    // 107 follows. Nothing happens for a slot without a live connection.
    void Close(std::uint32_t index) override;
    bool IsRunning() override;
    std::uint64_t GetParam(int id) override;
    void SetParam(int id, std::uint64_t value) override;
    // Gives back memory left from bursts; returns the number of live connections.
    int Maintain() override;
    // Stops when running and destroys the object.
    void Release() override;
    void SetMsgNotify(NetMsgNotify notify, void* context) override;

  private:
    void ioBegin();
    void armAccept();
    void onAccept(const asio::error_code& ec, asio::ip::tcp::socket peer);
    bool attackRefused(std::uint32_t address, std::uint32_t now);
    void armRead(ClientSlot& slot);
    void onReadable(ClientSlot& slot, std::uint32_t generation, const asio::error_code& ec);
    void readSome(ClientSlot& slot);
    void armWrite(ClientSlot& slot);
    void flush(ClientSlot& slot);
    void closeConnection(ClientSlot& slot, std::int32_t type);
    void markDirty(ClientSlot& slot);  // slot.mutex held
    void processDirty();
    void armTimer();
    void onTimer();
    void stopAll();
    void releaseSlot(std::uint32_t index);
    std::uint32_t recvPauseBytes() const;

    // Declared first, destroyed last: sockets and timers need it while they are destroyed.
    asio::io_context io_;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work_;
    asio::ip::tcp::acceptor acceptor_;
    asio::steady_timer timer_;
    std::thread thread_;
    std::mutex startMutex_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint16_t> listenPort_{0};

    std::vector<std::unique_ptr<ClientSlot>> slots_;  // changed only while stopped
    std::atomic<std::uint32_t> capacity_{0};
    std::mutex freeMutex_;
    // Free slots, oldest first: a slot freed just now is taken last, which gives its session the
    // longest time to finish with the connection that left before a new one arrives there.
    // After Start the lowest index comes first.
    std::deque<std::uint32_t> free_;
    std::atomic<std::uint32_t> freeCount_{0};
    std::atomic<std::uint32_t> liveCount_{0};

    MsgQueue queue_;
    std::mutex consumerMutex_;
    // The slot of the last close message handed out, freed at the next GetMsg (consumer lock).
    static constexpr std::uint32_t kNoPendingRelease = 0xFFFFFFFFu;
    std::uint32_t pendingRelease_ = kNoPendingRelease;

    std::mutex dirtyMutex_;
    std::vector<std::uint32_t> dirty_;
    std::vector<std::uint32_t> dirtyWork_;  // I/O thread
    std::atomic<std::uint32_t> dirtyCount_{0};

    Stats stats_;
    std::atomic<std::uint64_t> maxSendLength_{536870912};
    std::atomic<std::uint64_t> timeoutMs_{0};
    std::atomic<std::uint64_t> maxQueuedSends_{100};
    std::atomic<std::uint64_t> refuseByRecv_{0};
    std::atomic<std::uint64_t> refuseBySend_{0};
    std::atomic<std::uint64_t> attackValue_{0};
    std::atomic<std::uint64_t> maxQueuedBytes_{4194304};
    std::atomic<std::uint64_t> recvPauseBytes_{65536};

    // I/O thread only.
    struct AddressRecord {
        std::uint32_t windowStart = 0;
        std::uint32_t count = 0;
        std::uint32_t bannedUntil = 0;
        bool banned = false;
    };
    std::unordered_map<std::uint32_t, AddressRecord> addresses_;
    std::uint32_t lastSweepTick_ = 0;
    bool acceptWaiting_ = false;  // accepting paused after descriptor shortage
    std::uint32_t acceptResumeTick_ = 0;
    bool acceptErrorPrinted_ = false;
    std::vector<std::uint8_t> readBuffer_;
};

}  // namespace netsvc
