// PackBufer: a fixed byte buffer that gathers small packets for one network write.
//
//   [0 ........ FillCount) filled | [FillCount ... capacity) zero
//   Append accepts while FillCount + length <= capacity - 2.
#pragma once

#include <cstdint>
#include <memory>

class PackBufer {
  public:
    // Allocated and zero-filled; a capacity above 65536 is logged ("Huge Packet Len") but kept.
    explicit PackBufer(std::int32_t capacity);
    PackBufer(const PackBufer&) = delete;
    PackBufer& operator=(const PackBufer&) = delete;

    // Copies the bytes behind the filled part; false (nothing copied) when they do not fit.
    bool Append(const void* bytes, std::int32_t length);
    // Zeroes the buffer; the fill count becomes 0.
    void Clear();

    const std::uint8_t* Data() const { return data_.get(); }
    std::int32_t FillCount() const { return fill_; }
    std::int32_t Capacity() const { return capacity_; }

  private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::int32_t capacity_;
    std::int32_t fill_ = 0;
};
