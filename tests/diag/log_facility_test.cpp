// Hex dump text, Log4Kest lines and the cleanup of old log files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdarg>
#include <ctime>
#include <fstream>

#include "diag/log.h"
#include "diag/log_cleanup.h"
#include "tests/support/child_process.h"

namespace {

using testing_support::TempDir;

TEST(HexDumpTest, TwoUpperCaseDigitsAndABlankPerByte) {
    const std::uint8_t bytes[] = {0xFF, 0xCC, 0x0A};
    EXPECT_EQ(diag::HexDump(bytes), "FF CC 0A ");
    EXPECT_EQ(diag::HexDump({}), "");
    std::uint8_t all[256];
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    std::string text = diag::HexDump(all);
    EXPECT_EQ(text.size(), 768u);
    EXPECT_EQ(text.substr(0x7F * 3, 3), "7F ");
}

TEST(SourcePosTest, FileSpaceColonSpaceLine) {
    EXPECT_EQ(diag::SourcePos("client/client_user.cpp", 42), "client/client_user.cpp : 42");
}

std::string Line(std::uint32_t id, int number, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = diag::Log4Kest::formatLine(id, number, format, args);
    va_end(args);
    return line;
}

TEST(Log4KestTest, LinesAreFormattedAndPercentIsDoubled) {
    EXPECT_EQ(Line(0xABC, 0, "kick %d", 102), "0xabc\t0\tkick 102");
    // "%" in the text is doubled because the line is handed on as a format.
    EXPECT_EQ(Line(1, 0, "%s", "100% done"), "0x1\t0\t100%% done");
    const char* empty = "";
    EXPECT_EQ(Line(0, 0, empty, 0), "");
    std::string longText(3000, 'x');
    EXPECT_EQ(Line(0, 7, "%s", longText.c_str()), "0x0\t7\t" + longText);
}

TEST(Log4KestTest, ALineWithPercentReachesTheLogWithASinglePercent) {
    LogObject& log = diag::GetLog();
    int before = log.levelCount(kLevelWarn);
    std::string seen;
    log.setLevelCallback(
        [](void* context, int level, const char* text) {
            if (level == kLevelWarn) *static_cast<std::string*>(context) = text;
        },
        &seen);
    diag::Log4Kest::instance().warn(0x10, 0, "rate %d%%", 50);
    diag::Log4Kest::instance().warn(0x10, 0, "%s", "");  // an empty text still has the head
    int afterTwo = log.levelCount(kLevelWarn);
    const char* empty = "";
    diag::Log4Kest::instance().warn(0x10, 0, empty, 0);  // an empty format writes nothing
    log.setLevelCallback(nullptr, nullptr);
    EXPECT_EQ(afterTwo - before, 2);
    EXPECT_EQ(log.levelCount(kLevelWarn), afterTwo);
    EXPECT_EQ(seen, "0x10\t0\t");
}

void MakeFile(const std::string& path, std::time_t modified) {
    std::ofstream(path) << "x";
    timespec times[2] = {{modified, 0}, {modified, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(LogCleanupTest, DeletesOnlyLogFilesOlderThanSevenDays) {
    TempDir dir;
    std::time_t now = std::time(nullptr);
    const long day = 86400;
    MakeFile(dir / "fresh.log", now);
    MakeFile(dir / "seven-days-23-hours.log", now - 7 * day - 23 * 3600);
    MakeFile(dir / "eight-days.log", now - 8 * day);
    MakeFile(dir / "old.txt", now - 30 * day);
    MakeFile(dir / "future.log", now + 9 * day);  // the difference counts either way
    int deleted = diag::CleanupOldLogFiles(dir.path() + "/", now, diag::LogFileAge::kModification);
    EXPECT_EQ(deleted, 2);
    auto exists = [&](const char* name) { return access((dir / name).c_str(), F_OK) == 0; };
    EXPECT_TRUE(exists("fresh.log"));
    EXPECT_TRUE(exists("seven-days-23-hours.log"));
    EXPECT_FALSE(exists("eight-days.log"));
    EXPECT_TRUE(exists("old.txt"));
    EXPECT_FALSE(exists("future.log"));
}

TEST(LogCleanupTest, AMissingFolderIsNotAnError) {
    EXPECT_EQ(diag::CleanupOldLogFiles("/nonexistent/folder/", std::time(nullptr)), 0);
}

}  // namespace
