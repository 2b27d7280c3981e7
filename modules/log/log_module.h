// The log object of "Did4Ad.so": counts every message by level and writes it through spdlog.
//
// Files: one per day in the log directory, "<stem>_yyyy-mm-dd.log" (spdlog's daily file sink,
// a new file at local midnight, no size limit; the gate deletes "*.log" older than 7 days at
// start). The stem is the name given to setLogPath, or the server name when that name is
// empty, or "vevidor" when neither is known. Until setLogPath is called, and whenever the
// directory or file cannot be created, lines go to standard error instead (the reason is said
// once on standard error for each directory).
//
// Line layout: "yyyy-mm-dd HH:MM:SS.mmm <caption> [<thread id>] <text>", e.g.
//   "2026-12-11 13:54:00.125 Error [4711] Pack CRC Error! curCRC = 1, packCRC = 2, pack = ..."
//
// Flushing: lines at PyErr, Error and Fatal are flushed at once; others within about a second
// (a flusher thread). With the diagnostic flag set every line is flushed at once, so that
// nothing is lost when the process dies. Debug lines are always written and counted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modules/log_object.h"

namespace spdlog {
class logger;
}

namespace vevlog {

class LineBuffer;

// Captions of the nine levels, as the log lights and the lines show them.
extern const char* const kLevelCaptions[kLogLevelCount];

class LogModule final : public LogObject {
  public:
    LogModule();
    LogModule(const LogModule&) = delete;
    LogModule& operator=(const LogModule&) = delete;
    ~LogModule();

    void debug(const char* format, ...) override;
    void info(const char* format, ...) override;
    void warn(const char* format, ...) override;
    void error(const char* format, ...) override;
    void fatal(const char* format, ...) override;

    void scriptMessage(int tag, const char* text) override;
    void scriptError(int tag, const char* text) override;

    void setLogPath(const char* directory, const char* name) override;

    int fatalErrorCount() override;
    int errorCount() override;
    int logFatalErrorCount() override;
    double lastFatalErrorTime() override;

    void logNomal(const char* format, ...) override;
    void logInfo(const char* format, ...) override;
    void logDebug(const char* format, ...) override;
    void logPyWarn(const char* format, ...) override;
    void logWarn(const char* format, ...) override;
    void logDesign(const char* format, ...) override;
    void logPyErr(const char* format, ...) override;
    void logError(const char* format, ...) override;
    void logFatal(const char* format, ...) override;

    int secondaryErrorCount() override;
    int secondaryFatalCount() override;
    int levelCount(int level) override;

    void setDiagnosticFlag(int flag) override;
    void setServerName(const char* name) override;

    const char* lastErrorTimeText() override;
    const char* lastFatalTimeText() override;

    void setLevelCallback(LogLevelCallback callback, void* context) override;

    const char* logDirectory() override;

    double lastErrorTime() override;
    void logV(int level, const char* format, va_list args) override;
    void flush() override;

    // Flushes every file and stops the flusher thread (Log_Free, process exit). The object
    // stays usable: threads that still write keep working.
    void shutdown();

  private:
    // How a message reached its level: a level operation (logError...) or a general one (error...).
    enum class Origin { kLevel, kGeneral };

    struct Callback {
        LogLevelCallback function;
        void* context;
    };

    void writeFormatted(int level, Origin origin, const char* format, va_list args);
    void writeText(int level, const char* text);
    void count(int level, Origin origin);
    void emit(int level, const LineBuffer& line, bool& inCallback);
    spdlog::logger* currentLogger();
    std::shared_ptr<spdlog::logger> openLogger();  // configMutex_ held
    void retireCurrent();                          // configMutex_ held
    void applyFlushLevel(spdlog::logger& logger) const;
    void flusherLoop();

    std::atomic<int> levelCounts_[kLogLevelCount] = {};
    std::atomic<int> errorCount_{0};
    std::atomic<int> fatalCount_{0};
    std::atomic<int> logFatalCount_{0};
    std::atomic<int> secondaryErrorCount_{0};
    std::atomic<int> secondaryFatalCount_{0};
    // Unix time in milliseconds of the last Error / Fatal message; 0 when none.
    std::atomic<std::int64_t> lastErrorMs_{0};
    std::atomic<std::int64_t> lastFatalMs_{0};
    std::atomic<int> diagnosticFlag_{0};
    std::atomic<const Callback*> callback_{nullptr};
    std::atomic<spdlog::logger*> current_{nullptr};
    std::atomic<const char*> directoryText_;

    // Configuration and everything ever handed out; loggers and texts are kept until the
    // process ends because other threads may still hold them.
    std::mutex configMutex_;
    bool directorySet_ = false;
    std::string directory_;
    std::string fileStem_;
    std::string serverName_;
    bool directoryFailureSaid_ = false;
    std::shared_ptr<spdlog::logger> stderrLogger_;
    std::map<std::string, std::shared_ptr<spdlog::logger>> fileLoggers_;
    std::vector<std::unique_ptr<Callback>> callbacks_;
    std::deque<std::string> directoryTexts_;

    std::mutex flusherMutex_;
    std::condition_variable flusherWake_;
    bool flusherStop_ = false;
    std::thread flusher_;
};

}  // namespace vevlog
