// poll()-based main loop with timers, watched files and posted tasks.
#include "gate/event_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

namespace gate {

std::uint64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

EventLoop::EventLoop() : wakeFd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

EventLoop::~EventLoop() {
    if (wakeFd_ >= 0) close(wakeFd_);
}

EventLoop::TimerId EventLoop::addTimer(std::string name, std::uint32_t intervalMs, bool enabled,
                                       std::function<void()> onTick) {
    Timer timer;
    timer.name = std::move(name);
    timer.interval = intervalMs;
    timer.onTick = std::move(onTick);
    timers_.push_back(std::move(timer));
    TimerId id = static_cast<TimerId>(timers_.size() - 1);
    setTimerEnabled(id, enabled);
    return id;
}

void EventLoop::setTimerEnabled(TimerId id, bool enabled) {
    if (id < 0 || static_cast<std::size_t>(id) >= timers_.size()) return;
    Timer& timer = timers_[static_cast<std::size_t>(id)];
    if (enabled && !timer.enabled) timer.due = NowMs() + timer.interval;
    timer.enabled = enabled;
}

void EventLoop::setTimerInterval(TimerId id, std::uint32_t intervalMs) {
    if (id < 0 || static_cast<std::size_t>(id) >= timers_.size()) return;
    Timer& timer = timers_[static_cast<std::size_t>(id)];
    timer.interval = intervalMs;
    timer.due = NowMs() + intervalMs;
}

bool EventLoop::timerEnabled(TimerId id) const {
    if (id < 0 || static_cast<std::size_t>(id) >= timers_.size()) return false;
    return timers_[static_cast<std::size_t>(id)].enabled;
}

void EventLoop::watchFd(int fd, std::function<void()> onReadable) {
    unwatchFd(fd);
    watches_.push_back({fd, std::move(onReadable)});
}

void EventLoop::unwatchFd(int fd) {
    watches_.erase(std::remove_if(watches_.begin(), watches_.end(),
                                  [fd](const Watch& w) { return w.fd == fd; }),
                   watches_.end());
}

void EventLoop::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> guard(postLock_);
        posted_.push_back(std::move(task));
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd_, &one, sizeof one);
}

void EventLoop::quit(int exitCode) {
    exitCode_.store(exitCode);
    quitting_.store(true);
    post([] {});
}

int EventLoop::run() {
    while (!quitting_.load()) processPending(1000);
    return exitCode_.load();
}

void EventLoop::processPending(int maxWaitMs) {
    std::uint64_t now = NowMs();
    std::uint64_t wait = maxWaitMs < 0 ? 0 : static_cast<std::uint64_t>(maxWaitMs);
    for (const Timer& timer : timers_) {
        if (!timer.enabled || timer.inTick) continue;
        wait = timer.due <= now ? 0 : std::min(wait, timer.due - now);
    }
    std::vector<pollfd> fds;
    fds.push_back({wakeFd_, POLLIN, 0});
    for (const Watch& w : watches_) fds.push_back({w.fd, POLLIN, 0});
    int ready = poll(fds.data(), fds.size(), static_cast<int>(wait));
    if (ready > 0) {
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = read(wakeFd_, &count, sizeof count);
        }
        // Copy the callbacks: a callback may change the watch list.
        std::vector<std::function<void()>> callbacks;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
                callbacks.push_back(watches_[i - 1].onReadable);
            }
        }
        for (auto& callback : callbacks) callback();
    }
    runPosted();
    runDueTimers();
}

void EventLoop::runPosted() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> guard(postLock_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) task();
}

void EventLoop::runDueTimers() {
    for (std::size_t i = 0; i < timers_.size(); ++i) {
        std::uint64_t now = NowMs();
        if (!timers_[i].enabled || timers_[i].inTick || timers_[i].due > now) continue;
        timers_[i].due = now + timers_[i].interval;
        timers_[i].inTick = true;
        // Copy the callback: the tick may add timers, which can move the vector.
        std::function<void()> tick = timers_[i].onTick;
        tick();
        timers_[i].inTick = false;
    }
}

}  // namespace gate
