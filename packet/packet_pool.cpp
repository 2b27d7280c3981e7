// The packet pool and its guarded creation.
#include "packet/packet_pool.h"

#include <mutex>

#include "diag/log.h"

namespace SingletonEx {

// The guard of process-wide objects made on first use.
class CResGuard {
  public:
    CResGuard() { Mutex().lock(); }
    ~CResGuard() { Mutex().unlock(); }
    CResGuard(const CResGuard&) = delete;
    CResGuard& operator=(const CResGuard&) = delete;

  private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
};

}  // namespace SingletonEx

namespace {
// Never destroyed: queues and threads may still give packets back while the process ends.
std::atomic<MMORPGPacketPool*> g_pool{nullptr};
}  // namespace

using MMORPG::MMORPGPacket;

MMORPGPacketPool::MMORPGPacketPool() : AAutoQueue<MMORPGPacket>(10, 1000) {
    for (int i = 0; i < kInitialPackets; ++i) AddElement(std::make_unique<MMORPGPacket>());
    SetGrowStep(kGrowStep);
    diag::GetLog().logInfo("Init PacketPool Size = %d", kInitialPackets);
}

MMORPGPacket* MMORPGPacketPool::Alloc() {
    MMORPGPacket* packet = nullptr;
    {
        TLockObj lock(lock_);
        if (empty_.Count() == 0) GrowLocked();
        const int emptyCount = static_cast<int>(empty_.Count());
        if (emptyCount < 0 || emptyCount > all_.Count()) {
            diag::GetLog().logError(
                " AAutoQueue<T>::GetEmpty EmptyCount(%d)<0 || EmptyCount() > Count(%d)", emptyCount,
                all_.Count());
        }
        if (emptyCount != 0) packet = empty_.PopFront();
    }
    if (packet == nullptr || packet->IsInUse()) {
        diag::GetLog().logError("MMORPGPacketPool  m_PacketPool.Alloc == NULL");
    }
    if (packet == nullptr) return nullptr;

    const std::int32_t inUse = MMORPG::IncrementPacketsInUse();
    std::int32_t peak = peakInUse_.load(std::memory_order_relaxed);
    while (inUse > peak && !peakInUse_.compare_exchange_weak(peak, inUse)) {
    }
    packet->SetInUse(true);
    packet->m_PackHead.Clear();
    return packet;
}

void MMORPGPacketPool::Free(MMORPGPacket* packet) {
    if (packet == nullptr) return;
    if (!packet->CanFree()) {
        diag::GetLog().logError("MMORPGPacketPool::Free  MMORPGPacket * pack can't free");
        return;
    }
    // A refused double return still lowers the count, which shows the fault in the views.
    const std::int32_t inUse = MMORPG::DecrementPacketsInUse();
    if (!packet->IsInUse()) {
        diag::GetLog().logError("MMORPGPacketPool::Free  MMORPGPacket * pack is Not Used");
        return;
    }
    if (inUse < 0) {
        diag::GetLog().logError("Error : MMORPGPacket::Free, m_Count = %d", inUse);
        return;
    }
    packet->ResetPacket();
    int emptyCount = 0;
    int count = 0;
    {
        TLockObj lock(lock_);
        empty_.PushFront(packet);
        emptyCount = static_cast<int>(empty_.Count());
        count = all_.Count();
    }
    if (count < emptyCount) {
        diag::GetLog().logError("Free Error : EmptyCount(%d) > Count(%d)", emptyCount, count);
    }
}

MMORPGPacketPool& GetPacketPool() {
    MMORPGPacketPool* pool = g_pool.load(std::memory_order_acquire);
    if (pool == nullptr) {
        SingletonEx::CResGuard guard;
        pool = g_pool.load(std::memory_order_relaxed);
        if (pool == nullptr) {
            pool = new MMORPGPacketPool();
            g_pool.store(pool, std::memory_order_release);
        }
    }
    return *pool;
}

MMORPGPacket* AllocPacket() {
    return GetPacketPool().Alloc();
}

void FreePacket(MMORPGPacket* packet) {
    GetPacketPool().Free(packet);
}
