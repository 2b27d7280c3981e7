// The launch-control object of "LaunchServerDLL.so" for systemd: the gate's life-cycle calls
// become service notifications; poll keeps the service manager's watchdog fed.
//
// systemd starts and stops the service itself (ExecStart, SIGTERM), so the start and stop
// callbacks are kept but never called.
#include <chrono>
#include <cstdint>
#include <optional>

#include "modules/launch/service_notify.h"
#include "modules/launch_control.h"

namespace launch {

class SystemdLaunchControl final : public LaunchControl {
  public:
    void reserved0() override {}
    void reserved1() override {}

    // Yes when a service manager expects notifications; the watchdog period is read here.
    bool initialize(LaunchCallback start, LaunchCallback stop, void* /*reserved*/) override {
        start_ = start;
        stop_ = stop;
        active_ = ServiceManagerListens();
        watchdogPeriod_ = std::chrono::microseconds(active_ ? WatchdogPeriodUsec() : 0);
        lastWatchdog_.reset();
        return active_;
    }

    void reserved3() override {}
    void reserved4() override {}

    // Sends "WATCHDOG=1" when a watchdog is asked for and half its period has passed since the
    // last one (the first poll sends at once).
    void poll() override {
        if (!active_ || watchdogPeriod_.count() == 0) return;
        auto now = Clock::now();
        if (lastWatchdog_ && now - *lastWatchdog_ < watchdogPeriod_ / 2) return;
        if (SendServiceState("WATCHDOG=1")) lastWatchdog_ = now;
    }

    void notifyIdle() override { send("STATUS=Idle"); }
    void notifyStarting() override { send("STATUS=Starting"); }
    void notifyStarted() override { send("READY=1\nSTATUS=Running"); }
    void notifyStopping() override { send("STOPPING=1\nSTATUS=Stopping"); }
    void notifyStopped() override { send("STATUS=Stopped"); }

    // Forgets the callbacks and stops notifying (ReleaseLaunchControlInstance).
    void release() {
        active_ = false;
        start_ = nullptr;
        stop_ = nullptr;
        watchdogPeriod_ = {};
        lastWatchdog_.reset();
    }

  private:
    using Clock = std::chrono::steady_clock;

    void send(const char* state) {
        if (active_) SendServiceState(state);
    }

    bool active_ = false;
    LaunchCallback start_ = nullptr;
    LaunchCallback stop_ = nullptr;
    std::chrono::microseconds watchdogPeriod_{0};
    std::optional<Clock::time_point> lastWatchdog_;
};

namespace {
SystemdLaunchControl& Instance() {
    static SystemdLaunchControl control;
    return control;
}
}  // namespace

}  // namespace launch

extern "C" {

// The same object on every call.
__attribute__((visibility("default"))) LaunchControl* GetLaunchControlInstance() {
    return &launch::Instance();
}

__attribute__((visibility("default"))) void ReleaseLaunchControlInstance() {
    launch::Instance().release();
}
}
