// Millisecond ticks of the monotonic clock, 32 bits wide: they wrap like the system timers the
// gate was designed around, so every difference must be taken in unsigned 32-bit arithmetic.
#pragma once

#include <cstdint>
#include <ctime>

inline std::uint32_t timeGetTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
}

inline std::uint32_t GetTickCount() {
    return timeGetTime();
}
