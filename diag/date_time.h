// Date-times as the gate exchanges them: days since 1899-12-30 as a double, the fraction being
// the time of day (local time).
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

namespace diag {

// Seconds between 1899-12-30 and 1970-01-01.
constexpr double kDateTimeEpochOffsetDays = 25569.0;

// Local date-time of a Unix time.
inline double ToDateTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    // Local wall-clock seconds since the Unix epoch.
    std::time_t wall = timegm(&local);
    return kDateTimeEpochOffsetDays + static_cast<double>(wall) / 86400.0;
}

inline double NowDateTime() {
    return ToDateTime(std::time(nullptr));
}

// "yyyy-mm-dd HH:MM:SS" of a local Unix time.
inline std::string FormatLocalTime(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// "HH:MM:SS" of a date-time.
inline std::string TimeOfDayText(double dateTime) {
    double fraction = dateTime - static_cast<double>(static_cast<long long>(dateTime));
    int seconds = static_cast<int>(fraction * 86400.0 + 0.5) % 86400;
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
    return text;
}

}  // namespace diag
