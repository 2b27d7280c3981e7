// The log module's object: nine counted levels, five general operations, counters and a
// level callback. The gate reaches it through diag/log.h; the module is "Did4Ad.so".
#pragma once

#include <cstdarg>
#include <cstdint>

// Levels, numbered 0..8. Each write operation logNomal..logFatal writes at its level and counts it.
enum LogLevel : int {
    kLevelNomal = 0,
    kLevelInfo = 1,
    kLevelDebug = 2,
    kLevelPyWarn = 3,
    kLevelWarn = 4,
    kLevelDesign = 5,
    kLevelPyErr = 6,
    kLevelError = 7,
    kLevelFatal = 8,
};
constexpr int kLogLevelCount = 9;

// Called by the module for each message it writes, with the level and the formatted text.
// It runs on the writing thread, after the line went to the sink; it must not log itself.
using LogLevelCallback = void (*)(void* context, int level, const char* text);

// All operations are safe to call from any thread at any time. Formats are printf formats;
// "%I64u", "%I64d" and "%I64x" are understood as 64-bit conversions.
//
// How the general operations count among the levels:
//   debug -> Debug (2), info -> Info (1), warn -> Warn (4), error -> Error (7), fatal -> Fatal (8);
//   scriptMessage -> Info (1), scriptError -> PyErr (6). Levels 0, 3 and 5 count only their own
//   operations logNomal, logPyWarn and logDesign.
// errorCount counts every message at level Error, fatalErrorCount every one at level Fatal.
// logFatalErrorCount counts only messages written through logFatal (not through fatal).
// secondaryErrorCount / secondaryFatalCount count lines that reached level Error / Fatal through
// the general operations error and fatal (not through logError / logFatal).
class LogObject {
public:
    virtual void debug(const char* format, ...) = 0;
    virtual void info(const char* format, ...) = 0;
    virtual void warn(const char* format, ...) = 0;
    virtual void error(const char* format, ...) = 0;
    virtual void fatal(const char* format, ...) = 0;

    virtual void scriptMessage(int tag, const char* text) = 0;
    virtual void scriptError(int tag, const char* text) = 0;

    // Directory of the log files (relative paths are taken from the working directory; "\" is
    // read as "/"). An empty name keeps the server name as the file name stem.
    virtual void setLogPath(const char* directory, const char* name) = 0;

    virtual int fatalErrorCount() = 0;
    virtual int errorCount() = 0;
    virtual int logFatalErrorCount() = 0;
    // Local time of the last Fatal-level message in days since 1899-12-30; 0.0 when none.
    virtual double lastFatalErrorTime() = 0;

    virtual void logNomal(const char* format, ...) = 0;
    virtual void logInfo(const char* format, ...) = 0;
    virtual void logDebug(const char* format, ...) = 0;
    virtual void logPyWarn(const char* format, ...) = 0;
    virtual void logWarn(const char* format, ...) = 0;
    virtual void logDesign(const char* format, ...) = 0;
    virtual void logPyErr(const char* format, ...) = 0;
    virtual void logError(const char* format, ...) = 0;
    virtual void logFatal(const char* format, ...) = 0;

    virtual int secondaryErrorCount() = 0;
    virtual int secondaryFatalCount() = 0;
    // Messages written so far at that level; 0 for a level outside 0..8.
    virtual int levelCount(int level) = 0;

    // Non-zero: every line is flushed to its file at once. Zero (the start): lines at PyErr,
    // Error and Fatal are flushed at once, the others within about a second. Debug lines are
    // written and counted either way.
    virtual void setDiagnosticFlag(int flag) = 0;
    virtual void setServerName(const char* name) = 0;

    // "yyyy-mm-dd HH:MM:SS" of the last Error / Fatal message, "" when none. The pointer stays
    // valid until the next call of the same operation on the same thread.
    virtual const char* lastErrorTimeText() = 0;
    virtual const char* lastFatalTimeText() = 0;

    // One callback; a later call replaces it, a null callback removes it.
    virtual void setLevelCallback(LogLevelCallback callback, void* context) = 0;

    // The directory as given to setLogPath, with "/" separators and ending in "/".
    // The pointer stays valid until the next setLogPath.
    virtual const char* logDirectory() = 0;

    // --- positions the gate adds for itself ---
    // Local time of the last Error-level message in days since 1899-12-30; 0.0 when none.
    virtual double lastErrorTime() = 0;
    // Writes at a level with a va_list; counts as the level operation of that level. A level
    // outside 0..8 is taken as the nearest of them.
    virtual void logV(int level, const char* format, va_list args) = 0;
    // Flushes every sink.
    virtual void flush() = 0;

protected:
    ~LogObject() = default;
};

extern "C" {
using GetLogFn = LogObject* (*)();
using LogFreeFn = void (*)();
}
