// The process-wide packet pool: 5000 packets made at creation, 500 more whenever it runs dry,
// lent out and given back last-in-first-out. Every inconsistency is logged, never thrown.
#pragma once

#include <atomic>
#include <cstdint>

#include "packet/containers.h"
#include "packet/mmorpg_packet.h"

class MMORPGPacketPool final : public AAutoQueue<MMORPG::MMORPGPacket> {
  public:
    static constexpr int kInitialPackets = 5000;
    static constexpr int kGrowStep = 500;

    MMORPGPacketPool();

    // A packet marked in use, with its head zeroed; the caller owns it until it gives it back.
    MMORPG::MMORPGPacket* Alloc();
    // Gives a packet back. Refuses (and logs) stack packets, packets not in use and returns
    // that would drive the in-use count below 0. Null is ignored.
    void Free(MMORPG::MMORPGPacket* packet);

    // Packets out of the pool now (the process-wide in-use count).
    std::int32_t InUseCount() const { return MMORPG::PacketsInUse(); }
    // The most packets ever out of the pool at once.
    std::int32_t PeakInUse() const { return peakInUse_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::int32_t> peakInUse_{0};
};

// The pool, made on first use (once, even when threads race for it); it lives until the end of
// the process.
MMORPGPacketPool& GetPacketPool();
// GetPacketPool().Alloc() and GetPacketPool().Free(packet).
MMORPG::MMORPGPacket* AllocPacket();
void FreePacket(MMORPG::MMORPGPacket* packet);
