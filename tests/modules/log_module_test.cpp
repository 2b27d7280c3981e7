// The log module "Did4Ad.so" loaded for real: counting, formatting, files, fallback, threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/date_time.h"
#include "modules/log_object.h"
#include "tests/modules/module_loader.h"

namespace {

using ::testing::HasSubstr;
using testmodules::Export;
using testmodules::TempDir;

LogObject& Log() {
    static LogObject* log = [] {
        auto getLog = Export<GetLogFn>("Did4Ad.so", "GetLog");
        return getLog != nullptr ? getLog() : nullptr;
    }();
    if (log == nullptr) {
        ADD_FAILURE() << "no log object";
        std::abort();
    }
    return *log;
}

void CallLogV(LogObject& log, int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    log.logV(level, format, args);
    va_end(args);
}

// Every counter the object has, to compare before and after.
struct Counters {
    int levels[kLogLevelCount];
    int error, fatal, logFatal, secondaryError, secondaryFatal;

    static Counters Read(LogObject& log) {
        Counters c{};
        for (int i = 0; i < kLogLevelCount; ++i) c.levels[i] = log.levelCount(i);
        c.error = log.errorCount();
        c.fatal = log.fatalErrorCount();
        c.logFatal = log.logFatalErrorCount();
        c.secondaryError = log.secondaryErrorCount();
        c.secondaryFatal = log.secondaryFatalCount();
        return c;
    }
};

// Collects what the level callback receives.
struct Received {
    std::mutex mutex;
    std::vector<std::pair<int, std::string>> lines;

    static void Callback(void* context, int level, const char* text) {
        auto* self = static_cast<Received*>(context);
        std::lock_guard lock(self->mutex);
        self->lines.emplace_back(level, text);
    }
};

// Registers a Received for the scope of a test.
class CallbackScope {
  public:
    CallbackScope() { Log().setLevelCallback(&Received::Callback, &received); }
    ~CallbackScope() { Log().setLevelCallback(nullptr, nullptr); }
    Received received;
};

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string TodayFileName(const std::string& stem) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    std::strftime(text, sizeof text, "_%Y-%m-%d.log", &local);
    return stem + text;
}

TEST(LogModule, GetLogAnswersTheSameObject) {
    auto getLog = Export<GetLogFn>("Did4Ad.so", "GetLog");
    ASSERT_NE(getLog, nullptr);
    EXPECT_EQ(getLog(), getLog());
    EXPECT_NE(Export<LogFreeFn>("Did4Ad.so", "Log_Free"), nullptr);
}

TEST(LogModule, EachOperationCountsAtItsLevelAndInItsCounters) {
    struct Case {
        const char* name;
        std::function<void(LogObject&)> write;
        int level;
        int error, fatal, logFatal, secondaryError, secondaryFatal;
    };
    const Case cases[] = {
        {"debug", [](LogObject& l) { l.debug("d %d", 1); }, 2, 0, 0, 0, 0, 0},
        {"info", [](LogObject& l) { l.info("i %d", 1); }, 1, 0, 0, 0, 0, 0},
        {"warn", [](LogObject& l) { l.warn("w %d", 1); }, 4, 0, 0, 0, 0, 0},
        {"error", [](LogObject& l) { l.error("e %d", 1); }, 7, 1, 0, 0, 1, 0},
        {"fatal", [](LogObject& l) { l.fatal("f %d", 1); }, 8, 0, 1, 0, 0, 1},
        {"scriptMessage", [](LogObject& l) { l.scriptMessage(0, "s"); }, 1, 0, 0, 0, 0, 0},
        {"scriptError", [](LogObject& l) { l.scriptError(0, "s"); }, 6, 0, 0, 0, 0, 0},
        {"logNomal", [](LogObject& l) { l.logNomal("n"); }, 0, 0, 0, 0, 0, 0},
        {"logInfo", [](LogObject& l) { l.logInfo("i"); }, 1, 0, 0, 0, 0, 0},
        {"logDebug", [](LogObject& l) { l.logDebug("d"); }, 2, 0, 0, 0, 0, 0},
        {"logPyWarn", [](LogObject& l) { l.logPyWarn("p"); }, 3, 0, 0, 0, 0, 0},
        {"logWarn", [](LogObject& l) { l.logWarn("w"); }, 4, 0, 0, 0, 0, 0},
        {"logDesign", [](LogObject& l) { l.logDesign("d"); }, 5, 0, 0, 0, 0, 0},
        {"logPyErr", [](LogObject& l) { l.logPyErr("p"); }, 6, 0, 0, 0, 0, 0},
        {"logError", [](LogObject& l) { l.logError("e"); }, 7, 1, 0, 0, 0, 0},
        {"logFatal", [](LogObject& l) { l.logFatal("f"); }, 8, 0, 1, 1, 0, 0},
        {"logV 3", [](LogObject& l) { CallLogV(l, 3, "v %d", 3); }, 3, 0, 0, 0, 0, 0},
        {"logV 7", [](LogObject& l) { CallLogV(l, 7, "v %d", 7); }, 7, 1, 0, 0, 0, 0},
        {"logV 8", [](LogObject& l) { CallLogV(l, 8, "v %d", 8); }, 8, 0, 1, 1, 0, 0},
    };
    CallbackScope scope;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scope.received.lines.clear();
        Counters before = Counters::Read(Log());
        c.write(Log());
        Counters after = Counters::Read(Log());
        for (int level = 0; level < kLogLevelCount; ++level) {
            EXPECT_EQ(after.levels[level] - before.levels[level], level == c.level ? 1 : 0)
                << "level " << level;
        }
        EXPECT_EQ(after.error - before.error, c.error);
        EXPECT_EQ(after.fatal - before.fatal, c.fatal);
        EXPECT_EQ(after.logFatal - before.logFatal, c.logFatal);
        EXPECT_EQ(after.secondaryError - before.secondaryError, c.secondaryError);
        EXPECT_EQ(after.secondaryFatal - before.secondaryFatal, c.secondaryFatal);
        ASSERT_EQ(scope.received.lines.size(), 1u);
        EXPECT_EQ(scope.received.lines[0].first, c.level);
    }
    EXPECT_EQ(Log().levelCount(-1), 0);
    EXPECT_EQ(Log().levelCount(kLogLevelCount), 0);
}

TEST(LogModule, FormatsI64ConversionsAndLongMessages) {
    CallbackScope scope;
    const std::uint64_t big = 5000000000ULL;  // above 2^32
    Log().logInfo("u=%I64u d=%I64d x=%I64x X=%I64X w=%012I64u %%I64u %s", big,
                  -static_cast<std::int64_t>(big), big, big, big, "end");
    std::string longText(10000, 'a');
    Log().warn("[%s]", longText.c_str());
    Log().scriptMessage(0, "100% script text %d");
    ASSERT_EQ(scope.received.lines.size(), 3u);
    EXPECT_EQ(scope.received.lines[0].second,
              "u=5000000000 d=-5000000000 x=12a05f200 X=12A05F200 w=005000000000 %I64u end");
    EXPECT_EQ(scope.received.lines[1].second, "[" + longText + "]");
    EXPECT_EQ(scope.received.lines[2].second, "100% script text %d");
    EXPECT_EQ(scope.received.lines[2].first, kLevelInfo);
}

TEST(LogModule, CallbackIsReplacedAndRemoved) {
    Received first, second;
    Log().setLevelCallback(&Received::Callback, &first);
    Log().logPyErr("one %s", "x");
    Log().setLevelCallback(&Received::Callback, &second);
    Log().logDesign("two");
    Log().setLevelCallback(nullptr, nullptr);
    Log().logDesign("three");
    ASSERT_EQ(first.lines.size(), 1u);
    EXPECT_EQ(first.lines[0], std::make_pair(6, std::string("one x")));
    ASSERT_EQ(second.lines.size(), 1u);
    EXPECT_EQ(second.lines[0], std::make_pair(5, std::string("two")));
}

TEST(LogModule, ConcurrentWritersAreCountedExactly) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 2000;
    std::atomic<int> calls{0};
    Log().setLevelCallback([](void* c, int, const char*) { ++*static_cast<std::atomic<int>*>(c); },
                           &calls);
    Counters before = Counters::Read(Log());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                switch (i % 4) {
                    case 0:
                        Log().logError("thread %d line %d %I64u", t, i, 1ULL << 40);
                        break;
                    case 1:
                        Log().error("thread %d line %d", t, i);
                        break;
                    case 2:
                        Log().logFatal("thread %d line %d", t, i);
                        break;
                    default:
                        Log().info("thread %d line %d", t, i);
                        break;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    Log().setLevelCallback(nullptr, nullptr);
    Counters after = Counters::Read(Log());
    const int quarter = kThreads * kPerThread / 4;
    EXPECT_EQ(after.levels[kLevelError] - before.levels[kLevelError], 2 * quarter);
    EXPECT_EQ(after.levels[kLevelFatal] - before.levels[kLevelFatal], quarter);
    EXPECT_EQ(after.levels[kLevelInfo] - before.levels[kLevelInfo], quarter);
    EXPECT_EQ(after.error - before.error, 2 * quarter);
    EXPECT_EQ(after.secondaryError - before.secondaryError, quarter);
    EXPECT_EQ(after.logFatal - before.logFatal, quarter);
    EXPECT_EQ(after.fatal - before.fatal, quarter);
    EXPECT_EQ(calls.load(), kThreads * kPerThread);
}

TEST(LogModule, LastErrorAndFatalTimes) {
    if (Log().errorCount() == 0) {
        EXPECT_EQ(Log().lastErrorTime(), 0.0);
        EXPECT_STREQ(Log().lastErrorTimeText(), "");
    }
    if (Log().fatalErrorCount() == 0) {
        EXPECT_EQ(Log().lastFatalErrorTime(), 0.0);
        EXPECT_STREQ(Log().lastFatalTimeText(), "");
    }
    double before = diag::NowDateTime() - 1.0 / 86400.0;
    Log().logError("an error");
    Log().fatal("a fatal");
    // Whole seconds, and a loaded machine (sanitizers): allow a few seconds either side.
    double after = diag::NowDateTime() + 5.0 / 86400.0;
    for (double t : {Log().lastErrorTime(), Log().lastFatalErrorTime()}) {
        EXPECT_GE(t, before);
        EXPECT_LE(t, after);
    }
    const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    EXPECT_TRUE(std::regex_match(Log().lastErrorTimeText(), stamp)) << Log().lastErrorTimeText();
    EXPECT_TRUE(std::regex_match(Log().lastFatalTimeText(), stamp)) << Log().lastFatalTimeText();
}

TEST(LogModule, WritesDailyFileNamedByServerNameAndFlushesErrorsAtOnce) {
    TempDir dir;
    // Backslashes are read as "/".
    std::string given = dir.path().string() + "\\ServerLog\\";
    Log().setLogPath(given.c_str(), "");
    Log().setServerName("ZadoVezivi");
    EXPECT_EQ(std::string(Log().logDirectory()), dir.path().string() + "/ServerLog/");

    Log().logError("Pack CRC Error! curCRC = %d, packCRC = %d", 1, 2);
    auto file = dir.path() / "ServerLog" / TodayFileName("ZadoVezivi");
    ASSERT_TRUE(std::filesystem::exists(file));
    // No flush() yet: error lines go out at once.
    std::string content = ReadAll(file);
    const std::regex line(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} Error \[\d+\] Pack CRC Error! curCRC = 1, packCRC = 2\n)");
    EXPECT_TRUE(std::regex_search(content, line)) << content;

    // With the diagnostic flag every line is flushed at once.
    Log().setDiagnosticFlag(1);
    Log().logInfo("diagnostic line");
    Log().setDiagnosticFlag(0);
    EXPECT_THAT(ReadAll(file), HasSubstr(" Info ["));
    EXPECT_THAT(ReadAll(file), HasSubstr("diagnostic line"));

    Log().logWarn("plain warning");
    Log().flush();
    EXPECT_THAT(ReadAll(file), HasSubstr(" Warn ["));

    // A name given to setLogPath is the file stem.
    Log().setLogPath(given.c_str(), "Other");
    Log().logError("to the other file");
    EXPECT_THAT(ReadAll(dir.path() / "ServerLog" / TodayFileName("Other")),
                HasSubstr("to the other file"));
}

TEST(LogModule, UnusableDirectoryFallsBackToStandardError) {
    TempDir dir;
    std::ofstream(dir.path() / "plain_file") << "x";
    std::string bad = (dir.path() / "plain_file" / "logs").string();
    Log().setLogPath(bad.c_str(), "");
    Counters before = Counters::Read(Log());

    ::testing::internal::CaptureStderr();
    Log().logError("first line after the bad path");
    Log().logError("second line after the bad path");
    std::string captured = ::testing::internal::GetCapturedStderr();

    EXPECT_THAT(captured, HasSubstr("could not be used"));
    EXPECT_EQ(captured.find("could not be used"), captured.rfind("could not be used"));
    EXPECT_THAT(captured, HasSubstr("first line after the bad path"));
    EXPECT_THAT(captured, HasSubstr("second line after the bad path"));
    EXPECT_EQ(Log().errorCount() - before.error, 2);
    EXPECT_EQ(std::string(Log().logDirectory()), bad + "/");
}

}  // namespace
