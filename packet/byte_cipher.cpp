// The byte cipher: two passes over the range, no allocation.
//
// c[i] = p[i] ^ s[i] ^ m[i], with the mask m[i] = key[i mod keyLength] ^ (i mod 256) ^ 0x5A and
// s[i] the running sum of the plain bytes before i. The mask needs no running state and is
// applied in blocks the compiler vectorises; only the running sum is a serial chain.
//
// Deciphering has the longer chain (p = t ^ s, then s += p). Since s + (t ^ s) = t + 2(s & ~t),
// bit j of the next sum depends only on bits below j of the previous one: after 8 steps the sum
// no longer depends on where it started. So the range is cut into four lanes worked side by
// side, each starting from the exact sum that 8 bytes before it give.
#include "packet/byte_cipher.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr std::size_t kBlock = 256;
constexpr std::size_t kMaxFastKey = 256;

constexpr std::array<std::uint8_t, kBlock> MakePositions() {
    std::array<std::uint8_t, kBlock> table{};
    for (std::size_t j = 0; j < kBlock; ++j) table[j] = static_cast<std::uint8_t>(j ^ 0x5A);
    return table;
}
constexpr std::array<std::uint8_t, kBlock> kPositions = MakePositions();

// bytes[i] ^= m[i] for the whole range.
void ApplyMask(std::uint8_t* __restrict bytes, std::size_t count, const std::uint8_t* key,
               std::size_t keyLength) {
    if (8 % keyLength == 0) {
        // Keys of 1, 2, 4 or 8 bytes (the 4-byte packet keys): eight bytes at a time.
        std::uint8_t pattern[8];
        for (std::size_t j = 0; j < 8; ++j) pattern[j] = key[j % keyLength];
        std::uint64_t keyWord;
        std::memcpy(&keyWord, pattern, 8);
        std::size_t i = 0;
        for (; i + 8 <= count; i += 8) {
            std::uint64_t word, position;
            std::memcpy(&word, bytes + i, 8);
            std::memcpy(&position, kPositions.data() + (i & (kBlock - 1)), 8);
            word ^= keyWord ^ position;
            std::memcpy(bytes + i, &word, 8);
        }
        for (; i < count; ++i) {
            bytes[i] ^= static_cast<std::uint8_t>(pattern[i & 7] ^ kPositions[i & (kBlock - 1)]);
        }
        return;
    }
    if (keyLength > kMaxFastKey) {
        std::size_t k = 0;
        for (std::size_t i = 0; i < count; ++i) {
            bytes[i] ^= static_cast<std::uint8_t>(key[k] ^ static_cast<std::uint8_t>(i) ^ 0x5A);
            if (++k == keyLength) k = 0;
        }
        return;
    }
    // The key repeated, long enough for a block starting at any key position.
    std::uint8_t repeated[kMaxFastKey + kBlock];
    const std::size_t need = keyLength - 1 + std::min(count, kBlock);
    std::memcpy(repeated, key, std::min(keyLength, need));
    for (std::size_t filled = keyLength; filled < need;) {
        const std::size_t n = std::min(filled, need - filled);
        std::memcpy(repeated + filled, repeated, n);
        filled += n;
    }
    const std::size_t blockShift = kBlock % keyLength;
    std::size_t offset = 0;
    for (std::size_t b = 0; b < count; b += kBlock) {
        const std::size_t n = std::min(kBlock, count - b);
        std::uint8_t* __restrict out = bytes + b;
        const std::uint8_t* __restrict k = repeated + offset;
        for (std::size_t j = 0; j < n; ++j)
            out[j] ^= static_cast<std::uint8_t>(k[j] ^ kPositions[j]);
        offset += blockShift;
        if (offset >= keyLength) offset -= keyLength;
    }
}

// p = t ^ s; s += p over [begin, end).
inline void ChainDecode(std::uint8_t* t, std::size_t begin, std::size_t end, std::uint8_t sum) {
    for (std::size_t i = begin; i < end; ++i) {
        const auto plain = static_cast<std::uint8_t>(t[i] ^ sum);
        t[i] = plain;
        sum = static_cast<std::uint8_t>(sum + plain);
    }
}

// The exact running sum before `at` (at >= 8) from the masked bytes t.
inline std::uint8_t SumBefore(const std::uint8_t* t, std::size_t at) {
    std::uint8_t sum = 0;
    for (std::size_t i = at - 8; i < at; ++i) {
        sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(t[i] ^ sum));
    }
    return sum;
}

void ChainDecodeLanes(std::uint8_t* t, std::size_t count) {
    const std::size_t span = count / 4;
    if (span < 8) {
        ChainDecode(t, 0, count, 0);
        return;
    }
    std::uint8_t* l0 = t;
    std::uint8_t* l1 = t + span;
    std::uint8_t* l2 = t + 2 * span;
    std::uint8_t* l3 = t + 3 * span;
    // Every lane's start before any byte changes: they read their neighbour's bytes.
    std::uint8_t s0 = 0;
    std::uint8_t s1 = SumBefore(t, span);
    std::uint8_t s2 = SumBefore(t, 2 * span);
    std::uint8_t s3 = SumBefore(t, 3 * span);
    for (std::size_t i = 0; i < span; ++i) {
        const auto p0 = static_cast<std::uint8_t>(l0[i] ^ s0);
        const auto p1 = static_cast<std::uint8_t>(l1[i] ^ s1);
        const auto p2 = static_cast<std::uint8_t>(l2[i] ^ s2);
        const auto p3 = static_cast<std::uint8_t>(l3[i] ^ s3);
        l0[i] = p0;
        l1[i] = p1;
        l2[i] = p2;
        l3[i] = p3;
        s0 = static_cast<std::uint8_t>(s0 + p0);
        s1 = static_cast<std::uint8_t>(s1 + p1);
        s2 = static_cast<std::uint8_t>(s2 + p2);
        s3 = static_cast<std::uint8_t>(s3 + p3);
    }
    ChainDecode(t, 4 * span, count, s3);  // the last lane runs on over the remainder
}

// c' = p ^ s; s += p over [begin, end): the sum chain of enciphering (the mask comes after).
inline void ChainEncode(std::uint8_t* bytes, std::size_t begin, std::size_t end, std::uint8_t sum) {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint8_t plain = bytes[i];
        bytes[i] = static_cast<std::uint8_t>(plain ^ sum);
        sum = static_cast<std::uint8_t>(sum + plain);
    }
}

#if defined(__SSE2__)
// The running sums sixteen bytes at a time: an in-register prefix sum of the block plus the sum
// carried from the blocks before it.
void ChainEncodeWide(std::uint8_t* bytes, std::size_t count) {
    std::uint8_t carry = 0;
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m128i plain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        __m128i prefix = _mm_add_epi8(plain, _mm_slli_si128(plain, 1));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 2));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 4));
        prefix = _mm_add_epi8(prefix, _mm_slli_si128(prefix, 8));  // sums of bytes 0..j
        const __m128i before =
            _mm_add_epi8(_mm_slli_si128(prefix, 1), _mm_set1_epi8(static_cast<char>(carry)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + i), _mm_xor_si128(plain, before));
        carry = static_cast<std::uint8_t>(carry + (_mm_extract_epi16(prefix, 7) >> 8));
    }
    ChainEncode(bytes, i, count, carry);
}
#endif

}  // namespace

void EncodeBuffer(std::uint8_t* bytes, std::size_t count, const std::uint8_t* key,
                  std::size_t keyLength) {
    if (keyLength == 0 || count == 0) return;
#if defined(__SSE2__)
    ChainEncodeWide(bytes, count);
#else
    ChainEncode(bytes, 0, count, 0);
#endif
    ApplyMask(bytes, count, key, keyLength);
}

void DecodeBuffer(std::uint8_t* bytes, std::size_t count, const std::uint8_t* key,
                  std::size_t keyLength) {
    if (keyLength == 0 || count == 0) return;
    ApplyMask(bytes, count, key, keyLength);
    ChainDecodeLanes(bytes, count);
}
