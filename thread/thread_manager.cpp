// The process-wide worker registry: registration, start, stop and exit of all workers.
#include "thread/thread_manager.h"

#include <sys/syscall.h>
#include <unistd.h>

UserThread::~UserThread() {
    thread.store(nullptr);
    if (owned) {
        // End and join the thread while the whole object still exists: its loop may still be
        // running its exit hook after it told the record to forget it.
        owned->terminate();
        owned->waitFor();
    }
    owned.reset();
}

ThreadManager& ThreadManager::instance() {
    static ThreadManager* manager = new ThreadManager();  // lives until the process ends
    return *manager;
}

ThreadManager::~ThreadManager() {
    clear();
}

SingleThread& ThreadManager::addThread(const std::string& name, WorkerCallback callback,
                                       void* userData, bool usesCom) {
    auto record = std::make_unique<UserThread>();
    record->name = name;
    record->callback = callback;
    record->userData = userData;
    record->usesCom = usesCom;
    record->owned = std::make_unique<SingleThread>(name, callback, userData, usesCom);
    UserThread* raw = record.get();
    record->owned->setExitCallback([raw](int) { raw->thread.store(nullptr); });
    record->owned->setIndex(static_cast<int>(records_.size()));
    record->thread.store(record->owned.get());
    if (records_.capacity() == records_.size()) {
        records_.reserve(records_.empty() ? 10 : records_.size() * 2);
    }
    records_.push_back(std::move(record));
    return *raw->owned;
}

ZRThreadEvent& ThreadManager::createEvent(const std::string& name) {
    if (events_.capacity() == events_.size()) {
        events_.reserve(events_.empty() ? 10 : events_.size() * 2);
    }
    events_.push_back(std::make_unique<ZRThreadEvent>(name));
    return *events_.back();
}

void ThreadManager::startAll() {
    running_.store(true);
    for (auto& record : records_) {
        report("Starting thread : %s...", record->name.c_str());
        if (SingleThread* thread = record->thread.load()) {
            thread->clearStop();
            thread->resume();
        }
        report("Starting thread : %s OK! CurrentThreadID = %d", record->name.c_str(),
               static_cast<int>(syscall(SYS_gettid)));
    }
}

void ThreadManager::disableUnownedEvents() {
    for (auto& event : events_) {
        if (!event->ownedByThread()) {
            event->setEvent();
            event->setEnabled(false);
        }
    }
}

void ThreadManager::stopAll() {
    running_.store(false);
    disableUnownedEvents();
    for (auto& record : records_) {
        SingleThread* thread = record->thread.load();
        if (thread == nullptr) continue;
        if (thread->suspended()) thread->resume();
        thread->stop();
    }
    report("All Thread Stopped");
}

void ThreadManager::exitAll() {
    running_.store(false);
    disableUnownedEvents();
    for (auto& record : records_) {
        SingleThread* thread = record->thread.load();
        if (thread == nullptr) continue;
        report("%s Thread Prepare Exit", record->name.c_str());
        thread->terminate();
        if (thread->suspended()) thread->resume();
        thread->waitFor();
    }
    report("All Thread Exit OK!");
    clear();
}

SingleThread* ThreadManager::threadAt(int index) const {
    if (index < 0 || index >= static_cast<int>(records_.size())) return nullptr;
    return records_[static_cast<std::size_t>(index)]->thread.load();
}

void ThreadManager::clear() {
    records_.clear();
}

ThreadManagerView& ThreadManagerView::instance() {
    static ThreadManagerView view;
    return view;
}

ThreadRow ThreadManagerView::row(int index) const {
    ThreadRow row;
    SingleThread* thread = ThreadManager::instance().threadAt(index);
    if (thread == nullptr) {
        row.name = "ERROR";
        return row;
    }
    row.present = true;
    row.name = thread->name();
    row.threadId = thread->threadId();
    row.cpuUsage = thread->cpuUsage();
    row.kernelCpuUsage = thread->kernelCpuUsage();
    row.stateText = thread->stateText();
    return row;
}

std::vector<ThreadRow> ThreadManagerView::rows() const {
    std::vector<ThreadRow> out;
    int count = rowCount();
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) out.push_back(row(i));
    return out;
}
