// Hex dump text, source position texts and the Log4Kest trace writer.
#include "diag/log.h"

#include <cstdarg>
#include <cstdio>

namespace diag {

void AppendHexDump(std::string& out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::size_t at = out.size();
    out.resize(at + bytes.size() * 3);
    for (std::uint8_t b : bytes) {
        out[at++] = kDigits[b >> 4];
        out[at++] = kDigits[b & 0x0F];
        out[at++] = ' ';
    }
}

std::string HexDump(std::span<const std::uint8_t> bytes) {
    std::string out;
    AppendHexDump(out, bytes);
    return out;
}

std::string SourcePos(const char* file, int line) {
    char text[32];
    std::snprintf(text, sizeof text, " : %d", line);
    return std::string(file) + text;
}

Log4Kest& Log4Kest::instance() {
    static Log4Kest* object = new Log4Kest();  // never destroyed: used until the process ends
    return *object;
}

std::string Log4Kest::formatLine(std::uint32_t id, int number, const char* format, va_list args) {
    if (format == nullptr || *format == '\0') return {};
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string text;
    if (length < 0) {
        text = format;
    } else if (static_cast<std::size_t>(length) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(length));
    } else {
        text.resize(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), format, args);
        text.resize(static_cast<std::size_t>(length));
    }
    char head[40];
    std::snprintf(head, sizeof head, "0x%x\t%d\t", id, number);
    std::string line;
    line.reserve(text.size() + 40);
    for (const char* p = head; *p != '\0'; ++p) line.push_back(*p);
    for (char c : text) {
        line.push_back(c);
        if (c == '%') line.push_back('%');
    }
    return line;
}

#define VEVIDOR_LOG4KEST(operation)                          \
    va_list args;                                            \
    va_start(args, format);                                  \
    std::string line = formatLine(id, number, format, args); \
    va_end(args);                                            \
    if (!line.empty()) GetLog().operation(line.c_str())

void Log4Kest::trace(std::uint32_t id, int number, const char* format, ...) {
    VEVIDOR_LOG4KEST(debug);
}

void Log4Kest::warn(std::uint32_t id, int number, const char* format, ...) {
    VEVIDOR_LOG4KEST(logWarn);
}

void Log4Kest::error(std::uint32_t id, int number, const char* format, ...) {
    VEVIDOR_LOG4KEST(logError);
}

#undef VEVIDOR_LOG4KEST

}  // namespace diag
