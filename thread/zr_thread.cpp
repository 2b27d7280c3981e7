// Worker thread objects: the thread life cycle, the stop handshake and the CPU sample.
#include "thread/zr_thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "diag/date_time.h"
#include "diag/log.h"
#include "thread/thread_manager.h"
#include "thread/tick.h"

const char* ZRThreadStateText(int state) {
    switch (state) {
        case kThreadSuspended:
            return "Suspended";
        case kThreadNotBusy:
            return "Not Busy :)";
        case kThreadBusy:
            return "Busy";
        case kThreadIniting:
            return "Initing..";
        case kThreadUnIniting:
            return "UnIniting...";
        case kThreadTerminate:
            return "Terminate!";
        case kThreadException:
            return "Exception Error";
        default:
            return "ZRThread UnDefined State";
    }
}

void report(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    diag::GetLog().logInfo("%s", text);
    if (isatty(STDOUT_FILENO)) {
        std::printf("%s\t%s\n", diag::FormatLocalTime(std::time(nullptr)).c_str(), text);
        std::fflush(stdout);
    }
}

// --- ZRThreadEvent ---

void ZRThreadEvent::setEvent() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        signaled_ = true;
    }
    cv_.notify_all();
}

void ZRThreadEvent::resetEvent() {
    std::lock_guard<std::mutex> guard(mutex_);
    signaled_ = false;
}

void ZRThreadEvent::setEnabled(bool enabled) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        enabled_.store(enabled);
    }
    cv_.notify_all();
}

WaitResult ZRThreadEvent::waitFor(int milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [this] { return signaled_ || !enabled_.load(); };
    if (milliseconds < 0) {
        cv_.wait(lock, ready);
    } else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return WaitResult::kTimeout;
    }
    return enabled_.load() ? WaitResult::kSignaled : WaitResult::kAbandoned;
}

// --- ZRThread ---

ZRThread::ZRThread(std::string name, bool usesCom)
    : stoppedEvent_(&ThreadManager::instance().createEvent(name + " stopped")),
      usesCom_(usesCom),
      name_(std::move(name)) {
    stoppedEvent_->setOwnedByThread(true);
}

ZRThread::~ZRThread() {
    terminate();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void ZRThread::resume() {
    std::lock_guard<std::mutex> guard(runLock_);
    if (!started_) {
        started_ = true;
        thread_ = std::thread([this] { body(); });
        return;
    }
    selfSuspended_ = false;
    runCv_.notify_all();
}

bool ZRThread::suspended() const {
    std::lock_guard<std::mutex> guard(runLock_);
    return !started_ || selfSuspended_;
}

void ZRThread::terminate() {
    {
        std::lock_guard<std::mutex> guard(runLock_);
        terminateRequested_.store(true);
    }
    runCv_.notify_all();
    wake();
}

void WakeSignal::wake() {
    wakeRequested_.store(true);
    // Only the first waker of a sleep pays for the notification.
    if (sleeping_.exchange(false)) {
        std::lock_guard<std::mutex> guard(lock_);
        cv_.notify_one();
    }
}

void WakeSignal::sleepFor(int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const Clock::time_point full = start + std::chrono::milliseconds(milliseconds);
    // A wake ends the pause, but not before this much of it: a busy worker then still takes
    // its work in batches instead of one round per item.
    const Clock::time_point least =
        std::min(full, start + std::chrono::microseconds(kMinWokenPauseUs));
    {
        std::unique_lock<std::mutex> lock(lock_);
        sleeping_.store(true);
        cv_.wait_until(lock, full, [this] { return wakeRequested_.load(); });
        sleeping_.store(false);
        wakeRequested_.store(false);
    }
    if (Clock::now() < least) std::this_thread::sleep_until(least);
}

void ZRThread::waitFor() {
    std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(runLock_);
    if (!started_ || !thread_.joinable() || thread_.get_id() == self) return;
    std::thread worker = std::move(thread_);
    lock.unlock();
    worker.join();
}

void ZRThread::stop() {
    if (terminated()) return;
    {
        // Under the run lock so that a later clearStop + resume cannot be missed by a worker
        // that is about to suspend itself.
        std::lock_guard<std::mutex> guard(runLock_);
        stopRequested_.store(true);
    }
    wake();  // a worker in a pause sees the request now
    report("%s Stopping...", name_.c_str());
    stoppedEvent_->waitFor(-1);
    stoppedEvent_->resetEvent();
    report("%s Stopp OK", name_.c_str());
}

void ZRThread::clearStop() {
    std::lock_guard<std::mutex> guard(runLock_);
    stopRequested_.store(false);
}

void ZRThread::suspendSelf() {
    std::unique_lock<std::mutex> lock(runLock_);
    if (!stopRequested_.load() || terminateRequested_.load()) return;
    selfSuspended_ = true;
    runCv_.wait(lock, [this] { return !selfSuspended_ || terminateRequested_.load(); });
    selfSuspended_ = false;
}

void ZRThread::runExitCallback() {
    if (exitCallback_) exitCallback_(index_);
}

void ZRThread::body() {
    threadId_.store(static_cast<std::uint32_t>(syscall(SYS_gettid)));
    // The worker's name for ps, top and debuggers (the system keeps 15 characters).
    pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    execute();
    finished_.store(true);
}

namespace {

std::uint64_t To100ns(const timeval& tv) {
    return static_cast<std::uint64_t>(tv.tv_sec) * 10000000u +
           static_cast<std::uint64_t>(tv.tv_usec) * 10u;
}

}  // namespace

void ZRThread::sampleCpu() {
    std::uint32_t now = timeGetTime();
    if (lastSampleTime_ != 0 && now - lastSampleTime_ < 1000) return;
    rusage process{};
    rusage thread{};
    if (getrusage(RUSAGE_SELF, &process) != 0 || getrusage(RUSAGE_THREAD, &thread) != 0) return;
    std::uint64_t pk = To100ns(process.ru_stime), pu = To100ns(process.ru_utime);
    std::uint64_t tk = To100ns(thread.ru_stime), tu = To100ns(thread.ru_utime);
    // The monotonic tick can be 0 at one moment in 49 days; treat it as 1 so it is not "none".
    if (now == 0) now = 1;
    // Only the sample time tells "no sample yet": on Linux a process can well have used no
    // kernel time at all, and a zero time must not keep the shares from ever being computed.
    if (lastSampleTime_ == 0) {
        processKernel_ = pk;
        processUser_ = pu;
        threadKernel_ = tk;
        threadUser_ = tu;
        lastSampleTime_ = now;
        return;
    }
    double dpk = static_cast<double>(pk - processKernel_);
    double dpu = static_cast<double>(pu - processUser_);
    double dtk = static_cast<double>(tk - threadKernel_);
    double dtu = static_cast<double>(tu - threadUser_);
    processKernel_ = pk;
    processUser_ = pu;
    threadKernel_ = tk;
    threadUser_ = tu;
    lastSampleTime_ = now;
    double p = dpk + dpu;
    cpuUsage_.store(p > 0 ? static_cast<int>((dtk + dtu) / p * 100.0) : 0);
    kernelCpuUsage_.store(p > 0 ? static_cast<int>(dtk / p * 100.0) : 0);
}

// --- SingleThread ---

SingleThread::SingleThread(std::string name, WorkerCallback callback, void* userData, bool usesCom)
    : ZRThread(std::move(name), usesCom), callback_(callback), userData_(userData) {}

void SingleThread::onThreadInit() {
    report("%s  Sys start id = %d; Class Start ID = %d", name().c_str(),
           static_cast<int>(syscall(SYS_gettid)), static_cast<int>(threadId()));
}

void SingleThread::execute() {
    setState(kThreadIniting);
    onThreadInit();
    while (!terminated()) {
        if (!isRunEnabled()) {
            diag::GetLog().logWarn("%s Thread Stop", name().c_str());
            // The state first, so that the stopper sees "Suspended" once it wakes.
            setState(kThreadSuspended);
            stoppedEvent().setEvent();
            suspendSelf();
            continue;
        }
        if (callback_ == nullptr) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        int r = 0;
        try {
            r = callback_(userData_, index());
        } catch (const std::exception& e) {
            diag::GetLog().logError("%s Thread Exception: %s", name().c_str(), e.what());
            setState(kThreadException);
            r = -2;
        } catch (...) {
            diag::GetLog().logError("%s Thread Exception", name().c_str());
            setState(kThreadException);
            r = -2;
        }
        if (r == -2) sleepFor(1);
        sampleCpu();
        if (r == 0) {
            setState(kThreadBusy);
        } else if (r > 0) {
            sleepFor(r);
            setState(kThreadNotBusy);
        } else if (r == -1) {
            setState(kThreadTerminate);
            terminate();
        }
    }
    report("%s Thread Exit", name().c_str());
    runExitCallback();
    setState(kThreadUnIniting);
    onThreadExit();
}
