// PackBufer.
#include "packet/pack_buffer.h"

#include <cstring>

#include "diag/log.h"

PackBufer::PackBufer(std::int32_t capacity) : capacity_(capacity < 0 ? 0 : capacity) {
    if (capacity > 65536) {
        diag::GetLog().logWarn("%s Huge Packet Len:%d",
                               diag::SourcePos("..\\..\\lib\\TestLib\\PackBuffer", 15).c_str(),
                               capacity);
    }
    data_ = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(capacity_));  // zeroed
}

bool PackBufer::Append(const void* bytes, std::int32_t length) {
    if (length < 0) return false;
    if (static_cast<std::int64_t>(fill_) + length > static_cast<std::int64_t>(capacity_) - 2) {
        return false;
    }
    if (length > 0) std::memcpy(data_.get() + fill_, bytes, static_cast<std::size_t>(length));
    fill_ += length;
    return true;
}

void PackBufer::Clear() {
    // Only the filled part can be non-zero.
    std::memset(data_.get(), 0, static_cast<std::size_t>(fill_));
    fill_ = 0;
}
