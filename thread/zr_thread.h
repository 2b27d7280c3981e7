// Worker threads: ZRThread (a suspendable thread object with a stop handshake and CPU
// sampling), SingleThread (one worker callback in a loop) and ZRThreadEvent (manual-reset event).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// Thread states and their texts.
enum ZRThreadState : int {
    kThreadSuspended = 0,  // "Suspended": paused itself after a stop request
    kThreadNotBusy = 1,    // "Not Busy :)": the callback asked for a sleep, the sleep is over
    kThreadBusy = 2,       // "Busy": the callback returned 0
    kThreadIniting = 3,    // "Initing..": the body begins
    kThreadUnIniting = 4,  // "UnIniting...": the loop has ended, the exit hook runs
    kThreadTerminate = 5,  // "Terminate!": the callback returned -1
    kThreadException = 6,  // "Exception Error": the callback threw
};

const char* ZRThreadStateText(int state);

// The result of a wait on an event.
enum class WaitResult { kSignaled, kTimeout, kAbandoned, kError };

// A manual-reset event, created unsignalled. While disabled every wait answers kAbandoned at once.
class ZRThreadEvent {
  public:
    explicit ZRThreadEvent(std::string name = {}) : name_(std::move(name)) {}
    ZRThreadEvent(const ZRThreadEvent&) = delete;
    ZRThreadEvent& operator=(const ZRThreadEvent&) = delete;

    void setEvent();
    void resetEvent();
    // Waits at most `milliseconds` (negative: without a time limit).
    WaitResult waitFor(int milliseconds);

    bool enabled() const { return enabled_.load(); }
    void setEnabled(bool enabled);
    bool ownedByThread() const { return ownedByThread_; }
    void setOwnedByThread(bool owned) { ownedByThread_ = owned; }
    const std::string& name() const { return name_; }

  private:
    std::string name_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signaled_ = false;
    std::atomic<bool> enabled_{true};
    bool ownedByThread_ = false;
};

// Ends a worker's pause early. Producers keep it (shared) for as long as they like: it stays
// valid after its worker thread object is gone, when waking it does nothing harmful.
class WakeSignal {
  public:
    // The shortest pause a wake leaves a worker, in microseconds.
    static constexpr int kMinWokenPauseUs = 500;

    // Ends the current or next sleepFor at once. Safe from any thread; cheap while nobody sleeps.
    void wake();
    // Sleeps up to `milliseconds`, or until wake() but at least kMinWokenPauseUs (one sleeper
    // at a time).
    void sleepFor(int milliseconds);

  private:
    std::mutex lock_;
    std::condition_variable cv_;
    std::atomic<bool> wakeRequested_{false};
    std::atomic<bool> sleeping_{false};
};

// A worker callback: (user data, the worker's index) -> 0 busy, >0 sleep that many ms,
// -1 end the worker, other negatives change nothing.
using WorkerCallback = int (*)(void* userData, int index);

// The thread object. The operating-system thread is created on the first resume(); until then
// the object is "created suspended". Non-copyable; the destructor ends and joins the thread.
class ZRThread {
  public:
    using ExitCallback = std::function<void(int index)>;

    ZRThread(std::string name, bool usesCom);
    virtual ~ZRThread();
    ZRThread(const ZRThread&) = delete;
    ZRThread& operator=(const ZRThread&) = delete;

    // --- the platform thread's operations ---
    // Starts the thread the first time, else wakes it from a self-suspension.
    void resume();
    bool suspended() const;
    void terminate();  // raises the terminate request
    bool terminated() const { return terminateRequested_.load(); }
    // Waits for the thread body to end (joins). Never call from the thread itself.
    void waitFor();
    // The operating-system thread id, 0 before the thread runs.
    std::uint32_t threadId() const { return threadId_.load(); }
    bool finished() const { return finished_.load(); }

    // --- the operations of the worker family ---
    virtual void onThreadInit() {}
    virtual void onThreadExit() {}
    virtual bool isRunEnabled() const { return !stopRequested_.load(); }
    virtual void setIndex(int index) { index_ = index; }
    virtual bool usesCom() const { return usesCom_; }
    virtual std::string name() const { return name_; }
    virtual std::string stateText() const { return ZRThreadStateText(state_.load()); }
    virtual int index() const { return index_; }
    // Requests a stop and waits (without a time limit) until the worker has paused itself.
    virtual void stop();
    virtual void clearStop();
    virtual int cpuUsage() const { return cpuUsage_.load(); }
    virtual int kernelCpuUsage() const { return kernelCpuUsage_.load(); }
    virtual void setExtraInfo(const std::string&) {}
    virtual std::string extraInfo() const { return {}; }

    // Ends the worker's current or next sleep early: producers call it when work arrives, so a
    // worker that asked for a pause of r ms waits at most r ms but no longer than needed.
    // Safe from any thread; cheap when the worker is not asleep.
    void wake() { wakeSignal_->wake(); }
    // The same signal, for producers that may outlive this object.
    std::shared_ptr<WakeSignal> wakeSignal() const { return wakeSignal_; }

    int state() const { return state_.load(); }
    void setExitCallback(ExitCallback callback) { exitCallback_ = std::move(callback); }
    ZRThreadEvent& stoppedEvent() { return *stoppedEvent_; }

  protected:
    // The thread body; the base does nothing.
    virtual void execute() {}

    // Pauses the calling (own) thread while a stop is requested, until resume() or terminate().
    void suspendSelf();
    // Sleeps up to `milliseconds`, or until wake() or terminate() (call on the worker thread).
    void sleepFor(int milliseconds) { wakeSignal_->sleepFor(milliseconds); }
    // Updates the CPU shares at most once a second (call on the worker thread).
    void sampleCpu();
    void setState(int state) { state_.store(state); }
    void runExitCallback();

  private:
    void body();

    ZRThreadEvent* stoppedEvent_;
    bool usesCom_;
    std::string name_;
    std::atomic<int> state_{kThreadSuspended};
    int index_ = -1;
    std::atomic<bool> stopRequested_{false};

    // The last CPU sample, in 100-ns units, and its time.
    std::uint64_t processKernel_ = 0;
    std::uint64_t processUser_ = 0;
    std::uint64_t threadKernel_ = 0;
    std::uint64_t threadUser_ = 0;
    std::uint32_t lastSampleTime_ = 0;
    std::atomic<int> cpuUsage_{0};
    std::atomic<int> kernelCpuUsage_{0};
    ExitCallback exitCallback_;

    mutable std::mutex runLock_;
    std::condition_variable runCv_;
    std::thread thread_;
    bool started_ = false;
    bool selfSuspended_ = false;
    std::atomic<bool> terminateRequested_{false};
    std::atomic<bool> finished_{false};
    std::atomic<std::uint32_t> threadId_{0};

    std::shared_ptr<WakeSignal> wakeSignal_ = std::make_shared<WakeSignal>();
};

// One worker callback run in a loop by a ZRThread.
class SingleThread : public ZRThread {
  public:
    SingleThread(std::string name, WorkerCallback callback, void* userData, bool usesCom = false);

    void onThreadInit() override;
    std::pair<WorkerCallback, void*> worker() const { return {callback_, userData_}; }

  protected:
    void execute() override;

  private:
    WorkerCallback callback_;
    void* userData_;
};

// The thread family's message line: the text through logInfo, and on a terminal also the
// date and time, a tab and the text on standard output.
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
