// "%I64" translation and the growing per-thread line buffer of the log module.
#include "modules/log/printf_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vevlog {

namespace {

// Flags, width and precision characters of a conversion.
bool IsSpecChar(char c) {
    return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == ' ' || c == '#' || c == '.' ||
           c == '*' || c == '\'';
}

}  // namespace

void TranslateI64(const char* format, std::string& out) {
    out.clear();
    const char* p = format;
    for (;;) {
        const char* percent = std::strchr(p, '%');
        if (percent == nullptr) {
            out.append(p);
            return;
        }
        out.append(p, static_cast<std::size_t>(percent - p) + 1);
        p = percent + 1;
        if (*p == '%') {
            out.push_back('%');
            ++p;
            continue;
        }
        const char* conversion = p;
        while (IsSpecChar(*p)) ++p;
        out.append(conversion, static_cast<std::size_t>(p - conversion));
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            out.append("ll", 2);
            p += 3;
        }
    }
}

void LineBuffer::start(const char* prefix, std::size_t length) {
    reserveTail(length + 1);
    std::memcpy(text_.data(), prefix, length);
    size_ = length;
    prefixSize_ = length;
    text_[size_] = '\0';
}

void LineBuffer::reserveTail(std::size_t tail) {
    if (size_ + tail > text_.size()) text_.resize(std::max<std::size_t>(1024, (size_ + tail) * 2));
}

void LineBuffer::appendFormatted(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    std::size_t room = text_.size() - size_;
    int n = std::vsnprintf(text_.data() + size_, room, format, copy);
    va_end(copy);
    if (n < 0) {
        // An encoding error: keep the format itself rather than lose the line.
        text_[size_] = '\0';
        append(format);
        return;
    }
    if (static_cast<std::size_t>(n) >= room) {
        reserveTail(static_cast<std::size_t>(n) + 1);
        va_list again;
        va_copy(again, args);
        std::vsnprintf(text_.data() + size_, text_.size() - size_, format, again);
        va_end(again);
    }
    size_ += static_cast<std::size_t>(n);
}

void LineBuffer::append(const char* text) {
    std::size_t length = std::strlen(text);
    reserveTail(length + 1);
    std::memcpy(text_.data() + size_, text, length + 1);
    size_ += length;
}

}  // namespace vevlog
