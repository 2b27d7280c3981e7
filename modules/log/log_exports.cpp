// The C exports of "Did4Ad.so": GetLog and Log_Free.
#include "modules/log/log_module.h"

namespace {

// Created on the first GetLog and never destroyed: threads may write until the very end.
vevlog::LogModule& Instance() {
    static vevlog::LogModule* module = new vevlog::LogModule();
    return *module;
}

// Flushes the files when the process ends normally.
struct FlushAtExit {
    ~FlushAtExit() { Instance().shutdown(); }
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
