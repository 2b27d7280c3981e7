// The shared run state and the line-id hook.
#include "server/run_state.h"

#include "diag/log.h"

namespace server {

void GateRunState::SetRouteConnected(bool connected) {
    connected_.store(connected, std::memory_order_release);
    if (!connected) disconnects_.fetch_add(1, std::memory_order_relaxed);
}

void GateRunState::SetServerIdOffset(std::int32_t n) {
    // Computed in 64 bits: an offset near the int limits must not wrap into the range.
    std::int64_t id = static_cast<std::int64_t>(kServerIdBase) + n;
    if (id >= kServerIdBase && id <= kServerIdLast) {
        serverId_.store(static_cast<std::int32_t>(id), std::memory_order_relaxed);
    }
}

GateRunState& GetGateRunState() {
    static GateRunState state;
    return state;
}

namespace {
std::atomic<LineIdHandler> g_lineIdHandler{nullptr};
}

void SetLineIdHandler(LineIdHandler handler) {
    g_lineIdHandler.store(handler, std::memory_order_release);
}

void SetLineID(std::uint32_t lineId) {
    LineIdHandler handler = g_lineIdHandler.load(std::memory_order_acquire);
    if (handler == nullptr) return;
    if (handler(lineId)) diag::GetLog().info("line id = %d", static_cast<int>(lineId));
}

}  // namespace server
