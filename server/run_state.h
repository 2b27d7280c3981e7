// The small run state that the main window, the client process and the route link share: the
// route-link-connected flag with its count of disconnections, the run-state code and the gate's
// server id (carried by the gate records), plus the hook that takes the line id sent by the
// route server.
#pragma once

#include <atomic>
#include <cstdint>

namespace server {

// Run-state codes set by the main window.
enum RunStateCode : std::int32_t {
    kRunStateIdle = 0,
    kRunStateConnecting = 1,
    kRunStateRunning = 3,
    kRunStateDisconnected = 6,
};

// Every item is a single value read and written as a whole by any thread, without a lock.
class GateRunState {
  public:
    static constexpr std::int32_t kServerIdBase = 100000;
    static constexpr std::int32_t kServerIdLast = 199999;

    GateRunState() = default;
    GateRunState(const GateRunState&) = delete;
    GateRunState& operator=(const GateRunState&) = delete;

    // Setting the flag to false counts one disconnection, even when it was already false (the
    // count starts at -1, so the first clearing makes it 0).
    void SetRouteConnected(bool connected);
    bool IsRouteConnected() const { return connected_.load(std::memory_order_acquire); }
    // Shown as "RouterReconnect".
    std::int32_t GetDisconnectCount() const { return disconnects_.load(std::memory_order_relaxed); }

    void SetRunState(std::int32_t code) { runState_.store(code, std::memory_order_relaxed); }
    std::int32_t GetRunState() const { return runState_.load(std::memory_order_relaxed); }

    // Server id := 100000 + n when that lies within 100000..199999; otherwise unchanged.
    void SetServerIdOffset(std::int32_t n);
    std::int32_t GetServerId() const { return serverId_.load(std::memory_order_relaxed); }

  private:
    std::atomic<bool> connected_{false};
    std::atomic<std::int32_t> disconnects_{-1};
    std::atomic<std::int32_t> runState_{kRunStateIdle};
    std::atomic<std::int32_t> serverId_{0};
};

// The process's one run state, made on first use.
GateRunState& GetGateRunState();

// Takes the line id of the route server's record 1 when the status link is in use. It answers
// whether the status module is loaded (and so whether the id was taken). Installed by the
// status link; without one the line id is ignored. Called on the route link's receive thread.
using LineIdHandler = bool (*)(std::uint32_t lineId);
void SetLineIdHandler(LineIdHandler handler);
// The route server's line id: handed to the installed handler; when it took the id, "line id =
// %d" is logged at info level. Without a handler nothing happens (the status link does not exist
// yet: SetLineID of the status logic is a no-op until then).
void SetLineID(std::uint32_t lineId);

}  // namespace server
