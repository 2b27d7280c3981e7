// SecCounter: packets and bytes per interval of one stream, plus the total bytes.
// No lock and no allocation: one thread writes, others may read a value one window old.
#pragma once

#include <cstdint>
#include <string>

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
    std::uint64_t totalBytes() const { return totalBytes_; }
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
    // Plain fields: rates may be read by another thread while a window is being closed.
    std::uint32_t windowStart_ = 0;
    std::uint32_t packetRate_ = 0;
    std::uint32_t windowPackets_ = 0;
    std::uint32_t interval_;
    std::uint32_t byteRate_ = 0;
    std::uint32_t windowBytes_ = 0;
    std::uint64_t totalBytes_ = 0;
};
