// Little-endian field reading and writing over byte spans, and the read/write conventions every
// `tag...` wire record of the gate follows (packed fields in order, length-prefixed texts, an
// expected-length check that logs "Error in <type> : %s " with the hex dump of the input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace wire {

// Loads and stores of little-endian integers at a byte address (no alignment needed).
template <typename T>
inline T LoadLE(const std::uint8_t* p) {
    static_assert(std::is_integral_v<T> || std::is_floating_point_v<T>);
    T value;
    std::memcpy(&value, p, sizeof value);  // x86-64 and every target of the gate are little-endian
    return value;
}

template <typename T>
inline void StoreLE(std::uint8_t* p, T value) {
    static_assert(std::is_integral_v<T> || std::is_floating_point_v<T>);
    std::memcpy(p, &value, sizeof value);
}

// Reads fields one after the other from a span. Reading past the end never touches memory
// beyond the span: the missing bytes read as zero and overrun() becomes true.
class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    template <typename T>
    T get() {
        if (bytes_.size() - pos_ < sizeof(T) || pos_ > bytes_.size()) {
            overrun_ = true;
            pos_ = bytes_.size();
            return T{};
        }
        T value = LoadLE<T>(bytes_.data() + pos_);
        pos_ += sizeof(T);
        return value;
    }
    std::uint8_t u8() { return get<std::uint8_t>(); }
    std::uint16_t u16() { return get<std::uint16_t>(); }
    std::uint32_t u32() { return get<std::uint32_t>(); }
    std::uint64_t u64() { return get<std::uint64_t>(); }
    std::int8_t i8() { return get<std::int8_t>(); }
    std::int16_t i16() { return get<std::int16_t>(); }
    std::int32_t i32() { return get<std::int32_t>(); }
    std::int64_t i64() { return get<std::int64_t>(); }
    double f64() { return get<double>(); }

    // Copies a fixed-size block (a char array of a record); zero-fills what is missing.
    void fixed(void* out, std::size_t size) {
        std::size_t have = remaining() < size ? remaining() : size;
        std::memcpy(out, bytes_.data() + pos_, have);
        if (have < size) {
            std::memset(static_cast<std::uint8_t*>(out) + have, 0, size - have);
            overrun_ = true;
        }
        pos_ += have;
    }

    // A view of the next n bytes (shorter when the span ends first, which sets overrun()).
    std::span<const std::uint8_t> take(std::size_t n) {
        std::size_t have = remaining() < n ? remaining() : n;
        if (have < n) overrun_ = true;
        auto view = bytes_.subspan(pos_, have);
        pos_ += have;
        return view;
    }

    // A text preceded by its length as a LenT. Returns false (text left empty) when the
    // expected length is not 0 and smaller than the position after the text, or when the text
    // runs past the end of the span (overrun() is then true as well).
    template <typename LenT>
    bool text(std::string& out, std::size_t expected) {
        out.clear();
        std::size_t length = static_cast<std::size_t>(get<LenT>());
        if (overrun_) return false;
        if (expected != 0 && expected < pos_ + length) return false;
        if (remaining() < length) {
            overrun_ = true;
            pos_ = bytes_.size();
            return false;
        }
        out.assign(reinterpret_cast<const char*>(bytes_.data() + pos_), length);
        pos_ += length;
        return true;
    }

    std::size_t position() const { return pos_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }
    bool overrun() const { return overrun_; }
    std::span<const std::uint8_t> input() const { return bytes_; }

  private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool overrun_ = false;
};

// Writes fields one after the other into a span sized by the record's length. Writing past the
// end is refused (overrun() becomes true); the span is never exceeded.
class Writer {
  public:
    explicit Writer(std::span<std::uint8_t> bytes) : bytes_(bytes) {}

    template <typename T>
    void put(T value) {
        if (bytes_.size() - pos_ < sizeof(T)) {
            overrun_ = true;
            return;
        }
        StoreLE<T>(bytes_.data() + pos_, value);
        pos_ += sizeof(T);
    }
    void u8(std::uint8_t v) { put(v); }
    void u16(std::uint16_t v) { put(v); }
    void u32(std::uint32_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }
    void i8(std::int8_t v) { put(v); }
    void i16(std::int16_t v) { put(v); }
    void i32(std::int32_t v) { put(v); }
    void i64(std::int64_t v) { put(v); }
    void f64(double v) { put(v); }

    void raw(std::span<const std::uint8_t> block) {
        if (bytes_.size() - pos_ < block.size()) {
            overrun_ = true;
            return;
        }
        if (!block.empty()) std::memcpy(bytes_.data() + pos_, block.data(), block.size());
        pos_ += block.size();
    }
    void raw(const void* data, std::size_t size) {
        raw(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), size));
    }

    // A text preceded by its length as a LenT (the text must fit in a LenT).
    template <typename LenT>
    void text(std::string_view value) {
        put(static_cast<LenT>(value.size()));
        raw(value.data(), value.size());
    }

    std::size_t position() const { return pos_; }
    bool overrun() const { return overrun_; }

  private:
    std::span<std::uint8_t> bytes_;
    std::size_t pos_ = 0;
    bool overrun_ = false;
};

// Wire size of a text with a LenT length prefix.
template <typename LenT>
constexpr std::size_t TextSize(std::string_view value) {
    return sizeof(LenT) + value.size();
}

// Logs "Error in <typeName> : %s " with the hex dump of the given bytes through logWarn.
void LogRecordMismatch(const char* typeName, std::span<const std::uint8_t> given);

// The end of a record's ReadData: the number of bytes consumed when the expected length is 0
// or equals it. Otherwise the mismatch is logged with all given bytes and `onMismatch` is
// returned (the record's fixed size for records without texts, 0 for records with texts).
// Input shorter than the record is always a logged mismatch and returns 0: its fields past the
// end of the input are zero, not read.
std::size_t FinishRead(const char* typeName, const Reader& reader, std::size_t expected,
                       std::size_t onMismatch);

}  // namespace wire
