// ThreadManager: the process-wide list of named workers, started, stopped and ended together;
// ThreadManagerView: the rows of the operator's thread list.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "thread/zr_thread.h"

// The manager's record of one worker. The thread pointer becomes null when the worker's loop
// has ended on its own; the object itself stays owned here until the record is destroyed.
struct UserThread {
    std::string name;
    WorkerCallback callback = nullptr;
    void* userData = nullptr;
    bool usesCom = false;
    std::atomic<SingleThread*> thread{nullptr};
    std::unique_ptr<SingleThread> owned;

    ~UserThread();
};

class ThreadManager {
  public:
    static ThreadManager& instance();

    ThreadManager(const ThreadManager&) = delete;
    ThreadManager& operator=(const ThreadManager&) = delete;
    ~ThreadManager();

    // Registers a worker, created suspended; its index is the number of records before it.
    SingleThread& addThread(const std::string& name, WorkerCallback callback, void* userData,
                            bool usesCom = false);
    // Creates an event owned by the manager; it lives until the process ends.
    ZRThreadEvent& createEvent(const std::string& name);

    void startAll();
    // Pauses every worker (waits without a time limit for each to pause).
    void stopAll();
    // Ends every worker, waits for each and clears the record list.
    void exitAll();

    // The worker at that index, or null when out of range or ended on its own.
    SingleThread* threadAt(int index) const;
    int threadCount() const { return static_cast<int>(records_.size()); }
    bool running() const { return running_.load(); }

    // Destroys every record (joining threads that still run).
    void clear();

  private:
    ThreadManager() = default;
    void disableUnownedEvents();

    std::vector<std::unique_ptr<UserThread>> records_;
    std::vector<std::unique_ptr<ZRThreadEvent>> events_;
    std::atomic<bool> running_{false};
};

// One row of the operator's thread list.
struct ThreadRow {
    bool present = false;  // false: the worker has ended; the row shows "ERROR"
    std::string name;
    std::uint32_t threadId = 0;
    int cpuUsage = 0;
    int kernelCpuUsage = 0;
    std::string stateText;
};

class ThreadManagerView {
  public:
    static constexpr const char* kColumns[5] = {"Thread Name", "Thread ID", "CPU Useage",
                                                "Kernel CPU Useage", "Thread State"};

    static ThreadManagerView& instance();

    int rowCount() const { return ThreadManager::instance().threadCount(); }
    ThreadRow row(int index) const;
    std::vector<ThreadRow> rows() const;

  private:
    ThreadManagerView() = default;
};
