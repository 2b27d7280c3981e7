// Notifications to the service manager (the NOTIFY_SOCKET protocol of systemd).
#pragma once

#include <cstdint>

namespace launch {

// True when the process runs under a manager that expects notifications (NOTIFY_SOCKET set).
bool ServiceManagerListens();

// Sends one state text such as "READY=1\nSTATUS=Running"; false when nothing was sent.
bool SendServiceState(const char* state);

// The watchdog period in microseconds asked for this process (WATCHDOG_USEC, for this
// WATCHDOG_PID when that is set); 0 when no watchdog is asked for.
std::uint64_t WatchdogPeriodUsec();

}  // namespace launch
