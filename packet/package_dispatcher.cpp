// Frame cutting and building. Frames are cut in place within the received chunk; only the
// frame that straddles two chunks is assembled in the pending buffer.
#include "packet/package_dispatcher.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "diag/log.h"
#include "packet/wire.h"

namespace {
// The pending buffer keeps its capacity between frames up to this size.
constexpr std::size_t kKeptPendingCapacity = 64 * 1024;
}  // namespace

std::uint32_t FrameCrc32(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint32_t>(
        crc32_z(0L, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

void KsPackageDispatcher::SetFilterCallback(PackFilterCallback function, void* context) {
    filter_ = function;
    filterContext_ = context;
}

void KsPackageDispatcher::SetPackCallback(PackCallback function, void* context) {
    pack_ = function;
    packContext_ = context;
}

void KsPackageDispatcher::SetErrorCallback(PackErrorCallback function, void* context) {
    error_ = function;
    errorContext_ = context;
}

void KsPackageDispatcher::SetFatalCallback(PackFatalCallback function, void* context) {
    fatal_ = function;
    fatalContext_ = context;
}

void KsPackageDispatcher::ResetDispatch() {
    pending_.clear();
}

void KsPackageDispatcher::ReportWait(const std::uint8_t* bytes, std::size_t n) {
    if (error_ == nullptr) return;
    char text[96];
    // The first byte as a signed byte widened to 32 bits: FF shows as ffffffff.
    std::snprintf(text, sizeof text, "需要等待的封包:0x%x,%d",
                  static_cast<unsigned>(static_cast<int>(static_cast<std::int8_t>(bytes[0]))),
                  static_cast<int>(n));
    error_(errorContext_, text);
}

KsPackageDispatcher::Head KsPackageDispatcher::ReadHead(const std::uint8_t* bytes, std::size_t n,
                                                        std::uint64_t& frameLength) {
    const bool longLength = longLength_ == 1;
    const std::size_t headLen = longLength ? 6 : 4;
    if (n < headLen) return Head::kShort;
    const std::uint16_t tag = wire::LoadLE<std::uint16_t>(bytes);
    if (tag != kFrameTag) {
        if (error_ != nullptr) {
            char text[64];
            std::snprintf(text, sizeof text, "封包错误:0x%x", static_cast<unsigned>(tag));
            error_(errorContext_, text);
        }
        if (fatal_ != nullptr) fatal_(fatalContext_);
        return Head::kBad;
    }
    const std::uint64_t field = longLength ? wire::LoadLE<std::uint32_t>(bytes + 2)
                                           : wire::LoadLE<std::uint16_t>(bytes + 2);
    frameLength = field + headLen;  // 64-bit: a field near 2^32 cannot wrap
    if (frameLength > kMaxFrameLength) {
        if (error_ != nullptr) {
            char text[64];
            std::snprintf(text, sizeof text, "封包过长: %llu",
                          static_cast<unsigned long long>(frameLength));
            error_(errorContext_, text);
        }
        if (fatal_ != nullptr) fatal_(fatalContext_);
        return Head::kBad;
    }
    return Head::kComplete;
}

void KsPackageDispatcher::Deliver(const std::uint8_t* frame, std::size_t frameLength) {
    const std::size_t headLen = static_cast<std::size_t>(GetPackHeadLen());
    std::size_t payloadLength = frameLength - headLen;
    if (useCrc_) {
        // frameLength >= headLen >= 4, so both ranges lie inside the frame.
        const std::uint32_t current = FrameCrc32({frame, frameLength - 4});
        const std::uint32_t stored = wire::LoadLE<std::uint32_t>(frame + frameLength - 4);
        // A length field below 4 cannot hold the checksum: treated as a mismatch.
        if (current != stored || payloadLength < 4) {
            std::string dump = diag::HexDump({frame, frameLength});
            diag::GetLog().logError("Pack CRC Error! curCRC = %d, packCRC = %d, pack = %s",
                                    static_cast<int>(current), static_cast<int>(stored),
                                    dump.c_str());
            throw std::runtime_error("Pack CRC Error");
        }
        payloadLength -= 4;
    }
    if (pack_ != nullptr) pack_(packContext_, frame + headLen, payloadLength);
}

void KsPackageDispatcher::CutChunk(const std::uint8_t* bytes, std::size_t n) {
    std::size_t position = 0;
    while (position < n) {
        const std::uint8_t* frame = bytes + position;
        const std::size_t available = n - position;
        std::uint64_t frameLength = 0;
        const Head head = ReadHead(frame, available, frameLength);
        if (head == Head::kBad) return;
        if (head == Head::kShort || frameLength > available) {
            pending_.assign(frame, frame + available);
            ReportWait(frame, available);
            return;
        }
        Deliver(frame, static_cast<std::size_t>(frameLength));
        position += static_cast<std::size_t>(frameLength);
    }
}

void KsPackageDispatcher::DispatchData(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr) length = 0;
    if (pending_.empty()) {
        if (filter_ != nullptr && !filter_(filterContext_, bytes, length)) return;
        CutChunk(bytes, length);
        return;
    }

    // The pending bytes start a frame: complete it from the new bytes, then cut the rest of the
    // new bytes in place. The work buffer is local so that callbacks may reset this object.
    std::vector<std::uint8_t> work;
    work.swap(pending_);
    if (filter_ != nullptr && !filter_(filterContext_, bytes, length)) return;

    std::size_t used = 0;
    auto take = [&](std::size_t want) {
        const std::size_t n = std::min(want, length - used);
        work.insert(work.end(), bytes + used, bytes + used + n);
        used += n;
    };
    const std::size_t headLen = static_cast<std::size_t>(GetPackHeadLen());
    if (work.size() < headLen) take(headLen - work.size());

    std::uint64_t frameLength = 0;
    const Head head = ReadHead(work.data(), work.size(), frameLength);
    if (head == Head::kBad) return;
    if (head == Head::kShort || frameLength > work.size() + (length - used)) {
        take(length - used);
        pending_.swap(work);
        ReportWait(pending_.data(), pending_.size());
        return;
    }
    take(static_cast<std::size_t>(frameLength) - work.size());
    Deliver(work.data(), work.size());

    work.clear();
    if (pending_.empty() && work.capacity() <= kKeptPendingCapacity &&
        work.capacity() > pending_.capacity()) {
        pending_.swap(work);
    }
    CutChunk(bytes + used, length - used);
}

std::size_t KsPackageDispatcher::PackData(const std::uint8_t* payload, std::size_t length,
                                          std::uint8_t* buffer, std::size_t size) {
    const bool longLength = longLength_ == 1;
    const std::size_t headLen = longLength ? 6 : 4;
    const std::uint64_t crcLen = useCrc_ ? 4 : 0;
    const std::uint64_t field = static_cast<std::uint64_t>(length) + crcLen;
    if (headLen + field > size) {
        diag::GetLog().logFatal(
            "KsPackageDispatcher::PackData packHeadLen(%d) + totalPackLen(%d) > maxBuff(%d)",
            static_cast<int>(headLen), static_cast<int>(field), static_cast<int>(size));
        return 0;
    }
    // A 2-byte length field cannot say more; such a frame would corrupt the stream.
    if (!longLength && field > 0xFFFF) {
        diag::GetLog().logFatal(
            "KsPackageDispatcher::PackData totalPackLen(%d) > 65535 with the short length field",
            static_cast<int>(field));
        return 0;
    }
    if (field > 0xFFFFFFFFu) {
        diag::GetLog().logFatal("KsPackageDispatcher::PackData totalPackLen(%lld) too long",
                                static_cast<long long>(field));
        return 0;
    }
    // The payload first: it may overlap the head's place when framing in place.
    if (length != 0 && payload != buffer + headLen) std::memmove(buffer + headLen, payload, length);
    wire::StoreLE<std::uint16_t>(buffer, kFrameTag);
    if (longLength) {
        wire::StoreLE<std::uint32_t>(buffer + 2, static_cast<std::uint32_t>(field));
    } else {
        wire::StoreLE<std::uint16_t>(buffer + 2, static_cast<std::uint16_t>(field));
    }
    std::size_t written = headLen + length;
    if (useCrc_) {
        wire::StoreLE<std::uint32_t>(buffer + written, FrameCrc32({buffer, written}));
        written += 4;
    }
    return written;
}
