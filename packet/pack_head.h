// The 9-byte head of every server packet and the server types it names.
//
//   offset  width  field
//   0       u32    SessionID       0 = the packet concerns the gate itself
//   4       u16    PoolIndex       0xFFFF (-1) in gate records
//   6       u8     PackType
//   7       u8     DestServerType
//   8       u8     SrcServerType
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

// Server types (one unsigned byte); the valid ones lie strictly between stMin and stMax.
enum ServerType : std::uint8_t {
    stMin = 0,
    stGameServer = 5,   // the route server
    stVevIdor = 7,      // the gate
    stStatusLink = 13,  // both types of the packets the gate originates on the status link
    stMax = 14,
};

constexpr bool IsValidServerType(std::uint8_t type) {
    return type > stMin && type < stMax;
}

// PoolIndex written in gate records and before the route server has confirmed a login.
constexpr std::uint16_t kNoPoolIndex = 0xFFFF;

struct tagPackHead {
    static constexpr std::size_t kSize = 9;

    std::uint32_t SessionID = 0;
    std::uint16_t PoolIndex = 0;
    std::uint8_t PackType = 0;
    std::uint8_t DestServerType = 0;
    std::uint8_t SrcServerType = 0;

    void Clear() { *this = tagPackHead{}; }
    static constexpr std::size_t Length() { return kSize; }

    // The packed little-endian image.
    void Write(std::span<std::uint8_t, kSize> out) const;
    std::array<std::uint8_t, kSize> Bytes() const {
        std::array<std::uint8_t, kSize> image;
        Write(image);
        return image;
    }

    // Reads the head from the start of the bytes; `expected` 0 means "not checked". Returns 9,
    // or 9 after logging "Error in tagPackHead : %s " when the expected length differs, or 0
    // after logging when fewer than 9 bytes are given.
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected);

    friend bool operator==(const tagPackHead&, const tagPackHead&) = default;
};
