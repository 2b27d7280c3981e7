// "%I64" translation and the growing per-thread line buffer of the log module.
#include "modules/log/printf_format.h"

#include <cstdio>
#include <cstring>

namespace vevlog {

std::string TranslateI64(const char* format) {
    std::string out;
    out.reserve(std::strlen(format) + 8);
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out.push_back(*p++);
            continue;
        }
        out.push_back(*p++);
        if (*p == '%') {
            out.push_back(*p++);
            continue;
        }
        // Flags, width and precision of one conversion.
        while (*p != '\0' && std::strchr("-+ #0123456789.*'", *p) != nullptr) out.push_back(*p++);
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            out.append("ll");
            p += 3;
        }
    }
    return out;
}

void LineBuffer::start(const char* prefix, std::size_t length) {
    reserveTail(length + 1);
    std::memcpy(text_.data(), prefix, length);
    size_ = length;
    prefixSize_ = length;
    text_[size_] = '\0';
}

void LineBuffer::reserveTail(std::size_t tail) {
    if (size_ + tail > text_.size()) text_.resize((size_ + tail) * 2);
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
