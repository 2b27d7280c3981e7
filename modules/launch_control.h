// The launch-control module's object ("LaunchServerDLL.so"): notifications to the launcher.
#pragma once

using LaunchCallback = bool (*)();

class LaunchControl {
public:
    virtual void reserved0() = 0;
    virtual void reserved1() = 0;
    // Answers yes when a launcher expects notifications from this process.
    virtual bool initialize(LaunchCallback start, LaunchCallback stop, void* reserved) = 0;
    virtual void reserved3() = 0;
    virtual void reserved4() = 0;
    virtual void poll() = 0;
    virtual void notifyIdle() = 0;
    virtual void notifyStarting() = 0;
    virtual void notifyStarted() = 0;
    virtual void notifyStopping() = 0;
    virtual void notifyStopped() = 0;

protected:
    ~LaunchControl() = default;
};

extern "C" {
using GetLaunchControlInstanceFn = LaunchControl* (*)();
using ReleaseLaunchControlInstanceFn = void (*)();
}
