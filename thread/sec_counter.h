// SecCounter: packets and bytes per interval of one stream, plus the total bytes.
// No lock and no allocation. One thread moves the stream; other threads (the views, a reset
// before a reconnect) may read or reset at any time and see a value up to one window old.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// A field read and written as a whole by several threads without ordering: relaxed atomics,
// which cost what plain loads and stores cost on this machine.
class RelaxedU32 {
  public:
    RelaxedU32(std::uint32_t v = 0) : v_(v) {}
    operator std::uint32_t() const { return v_.load(std::memory_order_relaxed); }
    RelaxedU32& operator=(std::uint32_t v) {
        v_.store(v, std::memory_order_relaxed);
        return *this;
    }
    RelaxedU32& operator+=(std::uint32_t n) { return *this = *this + n; }

  private:
    std::atomic<std::uint32_t> v_;
};

class SecCounter {
  public:
    explicit SecCounter(std::uint32_t intervalMs = 1000) : interval_(intervalMs) {}

    // Every field to 0 except the interval.
    void reset();
    void addPackets(std::uint32_t n);
    // Adds n bytes and one packet: the one call per packet of the network paths.
    void addBytes(std::uint32_t n);
    std::uint32_t packetRate();
    std::uint32_t byteRate();
    std::uint64_t totalBytes() const { return totalBytes_.load(std::memory_order_relaxed); }
    std::uint32_t interval() const { return interval_; }
    // "%0.2f kb/s, total: %0.2f kb Cnt: %d" of byte rate, total bytes and packet rate.
    std::string describe();

    // The same operations with the current tick given; the others use timeGetTime.
    void addPacketsAt(std::uint32_t n, std::uint32_t now);
    void addBytesAt(std::uint32_t n, std::uint32_t now);
    void updateAt(std::uint32_t now);
    std::uint32_t packetRateAt(std::uint32_t now) {
        updateAt(now);
        return packetRate_;
    }
    std::uint32_t byteRateAt(std::uint32_t now) {
        updateAt(now);
        return byteRate_;
    }
    void update();

  private:
    RelaxedU32 windowStart_;
    RelaxedU32 packetRate_;
    RelaxedU32 windowPackets_;
    std::uint32_t interval_;
    RelaxedU32 byteRate_;
    RelaxedU32 windowBytes_;
    std::atomic<std::uint64_t> totalBytes_{0};
};
