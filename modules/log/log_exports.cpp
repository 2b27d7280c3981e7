// The C exports of "Did4Ad.so": GetLog and Log_Free.
#include <atomic>

#include "modules/log/log_module.h"

namespace {

std::atomic<vevlog::LogModule*> gModule{nullptr};

// Created on the first GetLog and never destroyed: threads may write until the very end.
vevlog::LogModule& Instance() {
    static vevlog::LogModule* module = [] {
        auto* created = new vevlog::LogModule();
        gModule.store(created);
        return created;
    }();
    return *module;
}

// Flushes the files when the process ends normally (only if the log was ever asked for).
struct FlushAtExit {
    ~FlushAtExit() {
        if (vevlog::LogModule* module = gModule.load()) module->shutdown();
    }
} gFlushAtExit;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) LogObject* GetLog() {
    return &Instance();
}

// Flushes and stops the background flusher; the object itself stays valid because other
// threads may still be writing while the process ends.
__attribute__((visibility("default"))) void Log_Free() {
    Instance().shutdown();
}
}
