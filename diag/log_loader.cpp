// Loads the log module "Did4Ad.so" on the first request for the log object.
#include <atomic>
#include <mutex>

#include "diag/log.h"
#include "diag/module_library.h"

namespace diag {
namespace {

std::atomic<LogObject*> g_log{nullptr};
std::mutex g_loadLock;
LogFreeFn g_logFree = nullptr;

LogObject* LoadLog() {
    static modules::ModuleLibrary library;
    if (!library.load("Did4Ad.so")) {
        modules::FailStart("Can't find did4ad.so!!!Fail to start server!!! (" + library.error() +
                           ")");
    }
    auto getLog = library.function<GetLogFn>("GetLog");
    if (getLog == nullptr) {
        modules::FailStart("Can't find GetLog function in did4ad module!!!Fail to start server!!!");
    }
    g_logFree = library.function<LogFreeFn>("Log_Free");
    if (g_logFree == nullptr) {
        modules::FailStart(
            "Can't find Log_Free function in did4ad module!!!Fail to start server!!!");
    }
    return getLog();
}

}  // namespace

LogObject& GetLog() {
    LogObject* log = g_log.load(std::memory_order_acquire);
    if (log != nullptr) return *log;
    std::lock_guard<std::mutex> guard(g_loadLock);
    log = g_log.load(std::memory_order_relaxed);
    if (log == nullptr) {
        log = LoadLog();
        g_log.store(log, std::memory_order_release);
    }
    return *log;
}

bool IsLogLoaded() {
    return g_log.load(std::memory_order_acquire) != nullptr;
}

void LogFree() {
    std::lock_guard<std::mutex> guard(g_loadLock);
    if (g_log.load() != nullptr && g_logFree != nullptr) {
        g_log.load()->flush();
        g_logFree();
    }
    g_log.store(nullptr);
}

}  // namespace diag
