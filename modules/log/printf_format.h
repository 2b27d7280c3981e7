// printf formatting for the log module: "%I64u"-style conversions and a growing per-thread
// buffer, so that a message costs one vsnprintf in the common case.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace vevlog {

// The format with every "%[flags][width][.precision]I64<conv>" rewritten to "...ll<conv>".
// "%%" is left alone. The result replaces the contents of out (a reused per-thread buffer
// keeps the common case free of allocations).
void TranslateI64(const char* format, std::string& out);

// True when the format may hold an "I64" conversion (the cheap test before TranslateI64).
inline bool MayHoldI64(const char* format) {
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') return true;
    }
    return false;
}

// A per-thread text buffer: a fixed prefix followed by the formatted message. The text stays
// valid until the next call on the same thread.
class LineBuffer {
  public:
    // Clears the buffer and puts the prefix in front.
    void start(const char* prefix, std::size_t length);
    // Appends the printf result of format/args; an unusable format appends the format itself.
    void appendFormatted(const char* format, va_list args);
    // Appends the text as it is.
    void append(const char* text);

    const char* data() const { return text_.data(); }
    std::size_t size() const { return size_; }
    // The part after the prefix (the message alone), NUL-terminated.
    const char* message() const { return text_.data() + prefixSize_; }
    std::size_t messageSize() const { return size_ - prefixSize_; }

  private:
    void reserveTail(std::size_t tail);

    std::string text_;  // grows on first use, never shrinks
    std::size_t size_ = 0;
    std::size_t prefixSize_ = 0;
};

}  // namespace vevlog
