// The byte cipher of client payloads, both directions, in place, and the fixed outbound key.
//
//   c[i] = p[i] ^ key[i mod keyLength] ^ s ^ (i mod 256) ^ 0x5A,   s = sum of p[0..i) mod 256
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Enciphers count bytes in place. A key length of 0 leaves the bytes as they are.
void EncodeBuffer(std::uint8_t* bytes, std::size_t count, const std::uint8_t* key,
                  std::size_t keyLength);
// The exact inverse of EncodeBuffer with the same key.
void DecodeBuffer(std::uint8_t* bytes, std::size_t count, const std::uint8_t* key,
                  std::size_t keyLength);

inline void EncodeBuffer(std::span<std::uint8_t> bytes, std::span<const std::uint8_t> key) {
    EncodeBuffer(bytes.data(), bytes.size(), key.data(), key.size());
}
inline void DecodeBuffer(std::span<std::uint8_t> bytes, std::span<const std::uint8_t> key) {
    DecodeBuffer(bytes.data(), bytes.size(), key.data(), key.size());
}

// The key of every packet sent to a game client: twelve two-character GBK words separated by
// single blanks, 59 bytes, shared with the game client.
inline constexpr std::array<std::uint8_t, 59> kOutboundKey = {
    0xCC, 0xEC, 0xB5, 0xD8, 0x20, 0xD0, 0xFE, 0xBB, 0xC6, 0x20, 0xD3, 0xEE, 0xD6, 0xE6, 0x20,
    0xBA, 0xE9, 0xBB, 0xC4, 0x20, 0xC8, 0xD5, 0xD4, 0xC2, 0x20, 0xD3, 0xAF, 0xEA, 0xBE, 0x20,
    0xB3, 0xBD, 0xCB, 0xDE, 0x20, 0xC1, 0xD0, 0xD5, 0xC5, 0x20, 0xBA, 0xAE, 0xC0, 0xB4, 0x20,
    0xCA, 0xEE, 0xCD, 0xF9, 0x20, 0xC7, 0xEF, 0xCA, 0xD5, 0x20, 0xB6, 0xAC, 0xB2, 0xD8,
};
