// The main event loop: the gate's window thread. It runs timers, tasks posted from other
// threads and readable-file callbacks (the control socket, the console), one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace gate {

class EventLoop {
  public:
    using TimerId = int;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // A repeating timer; it first fires one interval after it is enabled. Loop thread only.
    TimerId addTimer(std::string name, std::uint32_t intervalMs, bool enabled,
                     std::function<void()> onTick);
    void setTimerEnabled(TimerId id, bool enabled);
    void setTimerInterval(TimerId id, std::uint32_t intervalMs);
    bool timerEnabled(TimerId id) const;

    // Calls onReadable on the loop thread whenever fd is readable. Loop thread only.
    void watchFd(int fd, std::function<void()> onReadable);
    void unwatchFd(int fd);

    // Runs the task on the loop thread. Safe from any thread.
    void post(std::function<void()> task);

    // Runs until quit(); returns the exit code given to quit.
    int run();
    // Serves whatever is due once: waits at most maxWaitMs for something to happen, then runs
    // due timers, ready files and posted tasks. A timer is never re-entered from its own tick.
    void processPending(int maxWaitMs);
    // Ends run() after the current callback. Safe from any thread.
    void quit(int exitCode);
    bool quitting() const { return quitting_.load(); }

  private:
    struct Timer {
        std::string name;
        std::uint32_t interval = 0;
        bool enabled = false;
        bool inTick = false;
        std::uint64_t due = 0;  // ms of the monotonic clock
        std::function<void()> onTick;
    };
    struct Watch {
        int fd;
        std::function<void()> onReadable;
    };

    void runDueTimers();
    void runPosted();

    int wakeFd_ = -1;
    std::vector<Timer> timers_;
    std::vector<Watch> watches_;
    std::mutex postLock_;
    std::vector<std::function<void()>> posted_;
    std::atomic<bool> quitting_{false};
    std::atomic<int> exitCode_{0};
};

// Milliseconds of the monotonic clock, 64 bits.
std::uint64_t NowMs();

}  // namespace gate
