// The rate counter's lazy windows.
#include "thread/sec_counter.h"

#include <cstdio>

#include "thread/tick.h"

namespace {

std::uint32_t Rate(std::uint32_t count, std::uint32_t interval, std::uint32_t elapsed) {
    std::uint64_t rate = static_cast<std::uint64_t>(count) * interval / elapsed;
    return rate > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(rate);
}

}  // namespace

void SecCounter::reset() {
    windowStart_ = 0;
    packetRate_ = 0;
    windowPackets_ = 0;
    byteRate_ = 0;
    windowBytes_ = 0;
    totalBytes_ = 0;
}

void SecCounter::addPackets(std::uint32_t n) {
    addPacketsAt(n, timeGetTime());
}

void SecCounter::addBytes(std::uint32_t n) {
    addBytesAt(n, timeGetTime());
}

void SecCounter::addPacketsAt(std::uint32_t n, std::uint32_t now) {
    windowPackets_ += n;
    updateAt(now);
}

void SecCounter::addBytesAt(std::uint32_t n, std::uint32_t now) {
    totalBytes_.store(totalBytes_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    windowBytes_ += n;
    addPacketsAt(1, now);
}

std::uint32_t SecCounter::packetRate() {
    update();
    return packetRate_;
}

std::uint32_t SecCounter::byteRate() {
    update();
    return byteRate_;
}

std::string SecCounter::describe() {
    update();
    char text[96];
    std::snprintf(text, sizeof text, "%0.2f kb/s, total: %0.2f kb Cnt: %d",
                  static_cast<double>(byteRate_) / 1024.0,
                  static_cast<double>(totalBytes()) / 1024.0, static_cast<int>(packetRate_));
    return text;
}

void SecCounter::update() {
    updateAt(timeGetTime());
}

void SecCounter::updateAt(std::uint32_t now) {
    if (windowStart_ == 0) {
        windowStart_ = now;
        windowPackets_ = 0;
    }
    const std::uint32_t elapsed = now - windowStart_;
    if (elapsed < interval_ || elapsed == 0) return;
    // 64-bit products: a 32-bit count x interval would wrap above about 4 MB per second.
    packetRate_ = Rate(windowPackets_, interval_, elapsed);
    byteRate_ = Rate(windowBytes_, interval_, elapsed);
    windowPackets_ = 0;
    windowBytes_ = 0;
    windowStart_ = now;
}
