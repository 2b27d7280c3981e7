// The server packet's body handling, framing and the process-wide packet counters.
#include "packet/mmorpg_packet.h"

#include <cstring>

#include "diag/log.h"

namespace MMORPG {

namespace {
std::atomic<std::int32_t> g_packetsInUse{0};
std::atomic<std::int32_t> g_peakPackets{0};
// A body buffer grown beyond this is released on reset, so that one large packet does not
// keep its memory while it waits in the pool.
constexpr std::size_t kKeptBodyCapacity = 64 * 1024;
}  // namespace

std::int32_t PacketsInUse() {
    return g_packetsInUse.load(std::memory_order_relaxed);
}
std::int32_t PeakPackets() {
    return g_peakPackets.load(std::memory_order_relaxed);
}
std::int32_t IncrementPacketsInUse() {
    return g_packetsInUse.fetch_add(1) + 1;
}
std::int32_t DecrementPacketsInUse() {
    return g_packetsInUse.fetch_sub(1) - 1;
}

MMORPGPacket::MMORPGPacket() : dispatcher_(NewPackageDispatcher()) {
    const std::int32_t inUse = PacketsInUse();
    if (inUse > g_peakPackets.load(std::memory_order_relaxed)) {
        g_peakPackets.store(inUse, std::memory_order_relaxed);
    }
}

MMORPGPacket::~MMORPGPacket() = default;

std::int32_t MMORPGPacket::ReadData(const void* bytes, std::int32_t length) {
    if (length < 0) {
        diag::GetLog().logError("MMORPGPacket::ReadData(char *lpData, int Len), Len = %d", length);
        return length;
    }
    if (length == 0 || bytes == nullptr) {
        body_.clear();
        return 0;
    }
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    body_.assign(first, first + length);
    return length;
}

std::size_t MMORPGPacket::GetSendData(std::vector<std::uint8_t>& out) {
    IPackageDispatcher& framing = *dispatcher_;
    framing.ResetDispatch();
    const std::size_t headLen = static_cast<std::size_t>(framing.GetPackHeadLen());
    const std::size_t crcLen = static_cast<std::size_t>(framing.GetCrcLen());
    const std::size_t headBytes = bodyOnly_ ? 0 : tagPackHead::kSize;
    if (!bodyOnly_) {
        if (!IsValidServerType(m_PackHead.DestServerType)) {
            diag::GetLog().logWarn(
                "MMORPGPacket::GetSendData  m_PackHead.DestServerType <= stMin || "
                "m_PackHead.DestServerType >= stMax  , packType=%d",
                m_PackHead.PackType);
        }
        if (!IsValidServerType(m_PackHead.SrcServerType)) {
            diag::GetLog().logWarn(
                "MMORPGPacket::GetSendData  m_PackHead.SrcServerType <= stMin || "
                "m_PackHead.SrcServerType >= stMax  , packType=%d",
                m_PackHead.PackType);
        }
    }
    const std::size_t payloadLength = headBytes + body_.size();
    // Sized once; the payload is laid at its place and framed in place.
    out.resize(headLen + payloadLength + crcLen);
    std::uint8_t* payload = out.data() + headLen;
    if (!bodyOnly_) m_PackHead.Write(std::span<std::uint8_t, tagPackHead::kSize>(payload, 9));
    if (!body_.empty()) std::memcpy(payload + headBytes, body_.data(), body_.size());
    const std::size_t written = framing.PackData(payload, payloadLength, out.data(), out.size());
    out.resize(written);
    return written;
}

std::vector<std::uint8_t> MMORPGPacket::GetSendData() {
    std::vector<std::uint8_t> out;
    GetSendData(out);
    return out;
}

void MMORPGPacket::CopyFrom(const MMORPGPacket* other) {
    if (other == nullptr) {
        // As ResetPacket, but the in-use flag belongs to the pool and stays as it is.
        const std::uint8_t inUse = inUse_;
        ResetPacket();
        inUse_ = inUse;
        return;
    }
    if (other == this) return;
    m_PackHead = other->m_PackHead;
    body_.assign(other->body_.begin(), other->body_.end());
    lastPack_ = other->lastPack_;
    bodyOnly_ = other->bodyOnly_;
    targetIndex_ = other->targetIndex_;
}

void MMORPGPacket::ResetPacket() {
    body_.clear();
    if (body_.capacity() > kKeptBodyCapacity) body_.shrink_to_fit();
    lastPack_ = 0;
    bodyOnly_ = 0;
    targetIndex_ = 0;
    inUse_ = 0;
}

}  // namespace MMORPG
