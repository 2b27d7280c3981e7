// Test helper: the game client's side of the wire — enciphered client frames and the reading
// of the frames the gate sends back.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "packet/byte_cipher.h"
#include "packet/pack_key_dict.h"

namespace testing_support {

inline constexpr std::uint32_t kClientVersion = 153518004;

// One client frame: FF CC, u32 length, the payload enciphered for that pack order.
inline std::vector<std::uint8_t> ClientFrame(std::span<const std::uint8_t> plain,
                                             std::int32_t packOrder,
                                             std::uint32_t appVersion = kClientVersion) {
    const std::uint32_t k = GetPackKeyDictFetcher().FetchKey(packOrder, appVersion);
    const std::array<std::uint8_t, 4> key = {
        static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k >> 8),
        static_cast<std::uint8_t>(k >> 16), static_cast<std::uint8_t>(k >> 24)};
    std::vector<std::uint8_t> frame = {0xFF, 0xCC};
    const auto n = static_cast<std::uint32_t>(plain.size());
    for (int i = 0; i < 4; ++i) frame.push_back(static_cast<std::uint8_t>(n >> (8 * i)));
    const std::size_t at = frame.size();
    frame.insert(frame.end(), plain.begin(), plain.end());
    EncodeBuffer(frame.data() + at, plain.size(), key.data(), key.size());
    return frame;
}

inline std::vector<std::uint8_t> VersionRecord(std::uint32_t version = kClientVersion,
                                               std::uint8_t cmd = 1, std::uint8_t sub = 35) {
    return {cmd,
            sub,
            static_cast<std::uint8_t>(version),
            static_cast<std::uint8_t>(version >> 8),
            static_cast<std::uint8_t>(version >> 16),
            static_cast<std::uint8_t>(version >> 24)};
}

// The deciphered payloads of the gate's frames; a broken frame ends the list with {0xEE}.
inline std::vector<std::vector<std::uint8_t>> ReadGateFrames(std::span<const std::uint8_t> bytes) {
    std::vector<std::vector<std::uint8_t>> out;
    std::size_t at = 0;
    while (at + 6 <= bytes.size()) {
        if (bytes[at] != 0xFF || bytes[at + 1] != 0xCC) {
            out.push_back({0xEE});
            return out;
        }
        std::uint32_t n = 0;
        for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(bytes[at + 2 + i]) << (8 * i);
        if (at + 6 + n > bytes.size()) break;
        std::vector<std::uint8_t> payload(bytes.begin() + static_cast<std::ptrdiff_t>(at + 6),
                                          bytes.begin() + static_cast<std::ptrdiff_t>(at + 6 + n));
        DecodeBuffer(payload.data(), payload.size(), kOutboundKey.data(), kOutboundKey.size());
        out.push_back(std::move(payload));
        at += 6 + n;
    }
    return out;
}

}  // namespace testing_support
