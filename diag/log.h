// The process's one log: access to the log module's object, source position texts, hex dump
// text and Log4Kest, the session trace writer of the client and route paths.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "modules/log_object.h"

namespace diag {

// The log object of "Did4Ad.so", loaded on the first call. A missing module or export ends
// the process with exit code 1 after the message on standard error. Safe from any thread.
LogObject& GetLog();

// True once the log module has been loaded (used by fatal start-up paths that want to log).
bool IsLogLoaded();

// Releases the log object (Log_Free); only just before a fatal exit.
void LogFree();

// "FF CC 0A ": two upper-case hex digits and a blank per byte; length is three times the count.
std::string HexDump(std::span<const std::uint8_t> bytes);
void AppendHexDump(std::string& out, std::span<const std::uint8_t> bytes);

// "file : line", the leading "%s" argument of messages that name their source position.
std::string SourcePos(const char* file, int line);

// Writes session traces: "0x%x\t%d\t%s" of (identifier, number, text), with every "%" doubled
// because the line is handed on as a format. An empty format writes nothing.
class Log4Kest {
  public:
    static Log4Kest& instance();

    void trace(std::uint32_t id, int number, const char* format, ...)
        __attribute__((format(printf, 4, 5)));  // -> debug
    void warn(std::uint32_t id, int number, const char* format, ...)
        __attribute__((format(printf, 4, 5)));  // -> logWarn
    void error(std::uint32_t id, int number, const char* format, ...)
        __attribute__((format(printf, 4, 5)));  // -> logError

    // The line that would be written, without writing it ("" for an empty format).
    static std::string formatLine(std::uint32_t id, int number, const char* format, va_list args);

  private:
    Log4Kest() = default;
};

}  // namespace diag

// The position text of the current source line, as a const char* for a "%s" argument.
#define VEVIDOR_POS() (::diag::SourcePos(__FILE__, __LINE__).c_str())
