// The byte cipher: one pass, no allocation. The key position is carried as a counter instead
// of a division per byte.
#include "packet/byte_cipher.h"

void EncodeBuffer(std::uint8_t* bytes, std::size_t count, const std::uint8_t* key,
                  std::size_t keyLength) {
    if (keyLength == 0) return;
    std::uint8_t sum = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t plain = bytes[i];
        bytes[i] =
            static_cast<std::uint8_t>(plain ^ key[k] ^ sum ^ static_cast<std::uint8_t>(i) ^ 0x5A);
        sum = static_cast<std::uint8_t>(sum + plain);
        if (++k == keyLength) k = 0;
    }
}

void DecodeBuffer(std::uint8_t* bytes, std::size_t count, const std::uint8_t* key,
                  std::size_t keyLength) {
    if (keyLength == 0) return;
    std::uint8_t sum = 0;
    std::size_t k = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t plain = static_cast<std::uint8_t>(
            bytes[i] ^ 0x5A ^ static_cast<std::uint8_t>(i) ^ sum ^ key[k]);
        bytes[i] = plain;
        sum = static_cast<std::uint8_t>(sum + plain);
        if (++k == keyLength) k = 0;
    }
}
