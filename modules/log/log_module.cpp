// The log object: counting, formatting into a per-thread buffer and writing through spdlog.
#include "modules/log/log_module.h"

#include <pthread.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/daily_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "diag/date_time.h"
#include "modules/log/printf_format.h"

namespace vevlog {

const char* const kLevelCaptions[kLogLevelCount] = {
    "Nomal", " Info", "Debug", "PyWarn", " Warn", "Design", "PyErr", "Error", "Fatal",
};

namespace {

constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %v";
constexpr const char* kDefaultStem = "vevidor";
constexpr auto kFlushPeriod = std::chrono::seconds(1);

spdlog::level::level_enum SinkLevel(int level) {
    switch (level) {
        case kLevelDebug:
            return spdlog::level::debug;
        case kLevelPyWarn:
        case kLevelWarn:
            return spdlog::level::warn;
        case kLevelPyErr:
        case kLevelError:
            return spdlog::level::err;
        case kLevelFatal:
            return spdlog::level::critical;
        default:
            return spdlog::level::info;
    }
}

int ClampLevel(int level) {
    return std::clamp(level, 0, kLogLevelCount - 1);
}

std::int64_t NowUnixMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double DateTimeOfMs(std::int64_t ms) {
    if (ms == 0) return 0.0;
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    return diag::ToDateTime(seconds) + static_cast<double>(ms % 1000) / 86400000.0;
}

std::string TextOfMs(std::int64_t ms) {
    if (ms == 0) return {};
    return diag::FormatLocalTime(static_cast<std::time_t>(ms / 1000));
}

// "Error [4711] ": the part of a line in front of the message text.
struct LinePrefix {
    char text[48];
    std::size_t length;
};

// Everything a writing thread keeps for itself, in one block (one TLS look-up per message).
struct ThreadState {
    bool inCallback = false;
    LinePrefix prefixes[kLogLevelCount] = {};
    LineBuffer line;
    std::string translated;
};

ThreadState& This() {
    thread_local ThreadState state;
    return state;
}

const LinePrefix& PrefixOf(ThreadState& state, int level) {
    LinePrefix& prefix = state.prefixes[level];
    if (prefix.length == 0) {
        int n = std::snprintf(prefix.text, sizeof prefix.text, "%s [%ld] ", kLevelCaptions[level],
                              static_cast<long>(::syscall(SYS_gettid)));
        prefix.length = static_cast<std::size_t>(std::max(n, 0));
    }
    return prefix;
}

std::string NormalisedDirectory(const char* directory) {
    std::string text = directory != nullptr ? directory : "";
    std::replace(text.begin(), text.end(), '\\', '/');
    if (text.empty()) text = "./";
    if (text.back() != '/') text.push_back('/');
    return text;
}

}  // namespace

LogModule::LogModule() {
    directoryTexts_.emplace_back();
    directoryText_.store(directoryTexts_.back().c_str());
    stderrLogger_ = std::make_shared<spdlog::logger>(
        "vevidor", std::make_shared<spdlog::sinks::stderr_sink_mt>());
    stderrLogger_->set_pattern(kPattern);
    stderrLogger_->set_level(spdlog::level::trace);
    applyFlushLevel(*stderrLogger_);
    current_.store(stderrLogger_.get());
    flusher_ = std::thread([this] { flusherLoop(); });
}

LogModule::~LogModule() {
    shutdown();
}

void LogModule::shutdown() {
    {
        std::lock_guard lock(flusherMutex_);
        flusherStop_ = true;
    }
    flusherWake_.notify_all();
    if (flusher_.joinable() && flusher_.get_id() != std::this_thread::get_id()) flusher_.join();
    flush();
}

void LogModule::flusherLoop() {
    pthread_setname_np(pthread_self(), "log-flush");
    std::unique_lock lock(flusherMutex_);
    while (!flusherStop_) {
        flusherWake_.wait_for(lock, kFlushPeriod, [this] { return flusherStop_; });
        if (flusherStop_) break;
        lock.unlock();
        flush();
        lock.lock();
    }
}

void LogModule::flush() {
    std::lock_guard lock(configMutex_);
    stderrLogger_->flush();
    for (auto& [path, logger] : fileLoggers_) logger->flush();
}

// --- writing ---------------------------------------------------------------------------------

void LogModule::count(int level, Origin origin) {
    levelCounts_[level].fetch_add(1, std::memory_order_relaxed);
    if (level == kLevelError) {
        errorCount_.fetch_add(1, std::memory_order_relaxed);
        if (origin == Origin::kGeneral)
            secondaryErrorCount_.fetch_add(1, std::memory_order_relaxed);
        lastErrorMs_.store(NowUnixMs(), std::memory_order_relaxed);
    } else if (level == kLevelFatal) {
        fatalCount_.fetch_add(1, std::memory_order_relaxed);
        if (origin == Origin::kGeneral) {
            secondaryFatalCount_.fetch_add(1, std::memory_order_relaxed);
        } else {
            logFatalCount_.fetch_add(1, std::memory_order_relaxed);
        }
        lastFatalMs_.store(NowUnixMs(), std::memory_order_relaxed);
    }
}

spdlog::logger* LogModule::currentLogger() {
    spdlog::logger* logger = current_.load(std::memory_order_acquire);
    if (logger != nullptr) return logger;
    std::lock_guard lock(configMutex_);
    logger = current_.load(std::memory_order_acquire);
    if (logger == nullptr) {
        logger = openLogger().get();
        current_.store(logger, std::memory_order_release);
    }
    return logger;
}

std::shared_ptr<spdlog::logger> LogModule::openLogger() {
    if (!directorySet_) return stderrLogger_;
    const std::string& stem = !fileStem_.empty()     ? fileStem_
                              : !serverName_.empty() ? serverName_
                                                     : std::string(kDefaultStem);
    std::string path = directory_ + stem + ".log";
    if (auto found = fileLoggers_.find(path); found != fileLoggers_.end()) return found->second;

    std::string reason;
    std::error_code ec;
    std::filesystem::create_directories(directory_, ec);
    if (ec) {
        reason = ec.message();
    } else {
        try {
            auto sink = std::make_shared<spdlog::sinks::daily_file_sink_mt>(path, 0, 0);
            auto logger = std::make_shared<spdlog::logger>("vevidor", std::move(sink));
            logger->set_pattern(kPattern);
            logger->set_level(spdlog::level::trace);
            applyFlushLevel(*logger);
            fileLoggers_.emplace(path, logger);
            return logger;
        } catch (const std::exception& e) {
            reason = e.what();
        }
    }
    if (!directoryFailureSaid_) {
        directoryFailureSaid_ = true;
        std::fprintf(stderr,
                     "Did4Ad: the log directory \"%s\" could not be used (%s); log lines go to "
                     "standard error\n",
                     directory_.c_str(), reason.c_str());
    }
    return stderrLogger_;
}

void LogModule::retireCurrent() {
    // Loggers are kept (fileLoggers_) for threads that may still hold the old pointer.
    if (spdlog::logger* old = current_.exchange(nullptr, std::memory_order_acq_rel)) old->flush();
}

void LogModule::applyFlushLevel(spdlog::logger& logger) const {
    logger.flush_on(diagnosticFlag_.load(std::memory_order_relaxed) != 0 ? spdlog::level::trace
                                                                         : spdlog::level::err);
}

void LogModule::emit(int level, const LineBuffer& line, bool& inCallback) {
    currentLogger()->log(SinkLevel(level), spdlog::string_view_t(line.data(), line.size()));
    const Callback* callback = callback_.load(std::memory_order_acquire);
    if (callback != nullptr && !inCallback) {
        inCallback = true;
        try {
            callback->function(callback->context, level, line.message());
        } catch (...) {
        }
        inCallback = false;
    }
}

void LogModule::writeFormatted(int level, Origin origin, const char* format, va_list args) {
    count(level, origin);
    if (format == nullptr) format = "";
    try {
        ThreadState& state = This();
        // A callback that logs gets buffers of its own, so the text it was given stays intact.
        std::string nestedFormat;
        LineBuffer nestedLine;
        std::string& translated = state.inCallback ? nestedFormat : state.translated;
        LineBuffer& line = state.inCallback ? nestedLine : state.line;
        if (MayHoldI64(format)) {
            TranslateI64(format, translated);
            format = translated.c_str();
        }
        const LinePrefix& prefix = PrefixOf(state, level);
        line.start(prefix.text, prefix.length);
        line.appendFormatted(format, args);
        emit(level, line, state.inCallback);
    } catch (...) {
        // Out of memory or a failing sink: the log never takes the process down.
    }
}

void LogModule::writeText(int level, const char* text) {
    count(level, Origin::kLevel);
    try {
        ThreadState& state = This();
        LineBuffer nestedLine;
        LineBuffer& line = state.inCallback ? nestedLine : state.line;
        const LinePrefix& prefix = PrefixOf(state, level);
        line.start(prefix.text, prefix.length);
        line.append(text != nullptr ? text : "");
        emit(level, line, state.inCallback);
    } catch (...) {
    }
}

#define VEVLOG_WRITE(level, origin)                  \
    do {                                             \
        va_list args;                                \
        va_start(args, format);                      \
        writeFormatted(level, origin, format, args); \
        va_end(args);                                \
    } while (0)

void LogModule::debug(const char* format, ...) {
    VEVLOG_WRITE(kLevelDebug, Origin::kGeneral);
}
void LogModule::info(const char* format, ...) {
    VEVLOG_WRITE(kLevelInfo, Origin::kGeneral);
}
void LogModule::warn(const char* format, ...) {
    VEVLOG_WRITE(kLevelWarn, Origin::kGeneral);
}
void LogModule::error(const char* format, ...) {
    VEVLOG_WRITE(kLevelError, Origin::kGeneral);
}
void LogModule::fatal(const char* format, ...) {
    VEVLOG_WRITE(kLevelFatal, Origin::kGeneral);
}

void LogModule::logNomal(const char* format, ...) {
    VEVLOG_WRITE(kLevelNomal, Origin::kLevel);
}
void LogModule::logInfo(const char* format, ...) {
    VEVLOG_WRITE(kLevelInfo, Origin::kLevel);
}
void LogModule::logDebug(const char* format, ...) {
    VEVLOG_WRITE(kLevelDebug, Origin::kLevel);
}
void LogModule::logPyWarn(const char* format, ...) {
    VEVLOG_WRITE(kLevelPyWarn, Origin::kLevel);
}
void LogModule::logWarn(const char* format, ...) {
    VEVLOG_WRITE(kLevelWarn, Origin::kLevel);
}
void LogModule::logDesign(const char* format, ...) {
    VEVLOG_WRITE(kLevelDesign, Origin::kLevel);
}
void LogModule::logPyErr(const char* format, ...) {
    VEVLOG_WRITE(kLevelPyErr, Origin::kLevel);
}
void LogModule::logError(const char* format, ...) {
    VEVLOG_WRITE(kLevelError, Origin::kLevel);
}
void LogModule::logFatal(const char* format, ...) {
    VEVLOG_WRITE(kLevelFatal, Origin::kLevel);
}

#undef VEVLOG_WRITE

void LogModule::logV(int level, const char* format, va_list args) {
    writeFormatted(ClampLevel(level), Origin::kLevel, format, args);
}

void LogModule::scriptMessage(int /*tag*/, const char* text) {
    writeText(kLevelInfo, text);
}
void LogModule::scriptError(int /*tag*/, const char* text) {
    writeText(kLevelPyErr, text);
}

// --- configuration ---------------------------------------------------------------------------

void LogModule::setLogPath(const char* directory, const char* name) {
    std::lock_guard lock(configMutex_);
    directory_ = NormalisedDirectory(directory);
    fileStem_ = name != nullptr ? name : "";
    directorySet_ = true;
    directoryFailureSaid_ = false;
    directoryTexts_.push_back(directory_);
    directoryText_.store(directoryTexts_.back().c_str(), std::memory_order_release);
    retireCurrent();
}

void LogModule::setServerName(const char* name) {
    std::lock_guard lock(configMutex_);
    serverName_ = name != nullptr ? name : "";
    if (directorySet_ && fileStem_.empty()) retireCurrent();
}

void LogModule::setDiagnosticFlag(int flag) {
    std::lock_guard lock(configMutex_);
    diagnosticFlag_.store(flag, std::memory_order_relaxed);
    applyFlushLevel(*stderrLogger_);
    for (auto& [path, logger] : fileLoggers_) applyFlushLevel(*logger);
}

void LogModule::setLevelCallback(LogLevelCallback callback, void* context) {
    std::lock_guard lock(configMutex_);
    if (callback == nullptr) {
        callback_.store(nullptr, std::memory_order_release);
        return;
    }
    callbacks_.push_back(std::make_unique<Callback>(Callback{callback, context}));
    callback_.store(callbacks_.back().get(), std::memory_order_release);
}

const char* LogModule::logDirectory() {
    return directoryText_.load(std::memory_order_acquire);
}

// --- counters --------------------------------------------------------------------------------

int LogModule::fatalErrorCount() {
    return fatalCount_.load(std::memory_order_relaxed);
}
int LogModule::errorCount() {
    return errorCount_.load(std::memory_order_relaxed);
}
int LogModule::logFatalErrorCount() {
    return logFatalCount_.load(std::memory_order_relaxed);
}
int LogModule::secondaryErrorCount() {
    return secondaryErrorCount_.load(std::memory_order_relaxed);
}
int LogModule::secondaryFatalCount() {
    return secondaryFatalCount_.load(std::memory_order_relaxed);
}

int LogModule::levelCount(int level) {
    if (level < 0 || level >= kLogLevelCount) return 0;
    return levelCounts_[level].load(std::memory_order_relaxed);
}

double LogModule::lastFatalErrorTime() {
    return DateTimeOfMs(lastFatalMs_.load());
}
double LogModule::lastErrorTime() {
    return DateTimeOfMs(lastErrorMs_.load());
}

const char* LogModule::lastErrorTimeText() {
    thread_local std::string text;
    text = TextOfMs(lastErrorMs_.load());
    return text.c_str();
}

const char* LogModule::lastFatalTimeText() {
    thread_local std::string text;
    text = TextOfMs(lastFatalMs_.load());
    return text.c_str();
}

}  // namespace vevlog
