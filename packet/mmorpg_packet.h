// The server packet: a 9-byte head and a body, carried through the pool and the thread queues,
// and turned into a frame by GetSendData.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "packet/pack_head.h"
#include "packet/package_dispatcher.h"

namespace MMORPG {

// Process-wide counters: packets out of the pool ("TotalPack") and the peak ("Max"), which is
// raised to the in-use count whenever a packet object is constructed.
std::int32_t PacketsInUse();
std::int32_t PeakPackets();
// Used by the pool: interlocked changes of the in-use count; each returns the new value.
std::int32_t IncrementPacketsInUse();
std::int32_t DecrementPacketsInUse();

class MMORPGPacket {
  public:
    MMORPGPacket();
    virtual ~MMORPGPacket();
    MMORPGPacket(const MMORPGPacket&) = delete;
    MMORPGPacket& operator=(const MMORPGPacket&) = delete;

    // Whether the pool may take the object back.
    virtual bool CanFree() const { return true; }

    // Body := copy of the bytes; returns the length. A negative length is logged and leaves the
    // body as it is; 0 empties the body.
    std::int32_t ReadData(const void* bytes, std::int32_t length);
    std::int32_t ReadData(std::span<const std::uint8_t> bytes) {
        return ReadData(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    }

    const std::uint8_t* BodyData() const { return body_.data(); }
    std::size_t BodyLength() const { return body_.size(); }
    std::span<const std::uint8_t> Body() const { return body_; }

    // The framed bytes for a connection: the frame of head + body, or of the body alone when the
    // body-only flag is set. Out-of-range server types are logged, the frame is built anyway.
    std::vector<std::uint8_t> GetSendData();
    // The same into `out` (its capacity is reused); returns the number of bytes.
    std::size_t GetSendData(std::vector<std::uint8_t>& out);

    // Copies head, body, both flags and the target index; null acts as ResetPacket except that
    // the in-use flag is kept (it is never copied).
    void CopyFrom(const MMORPGPacket* other);
    // Empties the body and clears the flags, the target index and the in-use flag; keeps the head.
    void ResetPacket();

    tagPackHead m_PackHead;

    std::uint32_t GetSessionID() const { return m_PackHead.SessionID; }
    void SetSessionID(std::uint32_t id) { m_PackHead.SessionID = id; }
    std::uint16_t GetPoolIndex() const { return m_PackHead.PoolIndex; }
    void SetPoolIndex(std::uint16_t index) { m_PackHead.PoolIndex = index; }
    std::uint8_t GetPackType() const { return m_PackHead.PackType; }
    void SetPackType(std::uint8_t type) { m_PackHead.PackType = type; }
    std::uint8_t GetDestServerType() const { return m_PackHead.DestServerType; }
    void SetDestServerType(std::uint8_t type) { m_PackHead.DestServerType = type; }
    std::uint8_t GetSrcServerType() const { return m_PackHead.SrcServerType; }
    void SetSrcServerType(std::uint8_t type) { m_PackHead.SrcServerType = type; }

    // Set on the notice that a client session has ended.
    bool IsLastPack() const { return lastPack_ != 0; }
    void SetLastPack(bool last) { lastPack_ = last ? 1 : 0; }
    // Frame the body without the head (packets to game clients).
    bool IsBodyOnly() const { return bodyOnly_ != 0; }
    void SetBodyOnly(bool bodyOnly) { bodyOnly_ = bodyOnly ? 1 : 0; }
    std::int32_t GetTargetIndex() const { return targetIndex_; }
    void SetTargetIndex(std::int32_t index) { targetIndex_ = index; }
    // Set by the pool while the packet is lent out.
    bool IsInUse() const { return inUse_ != 0; }
    void SetInUse(bool inUse) { inUse_ = inUse ? 1 : 0; }

    IPackageDispatcher& Dispatcher() { return *dispatcher_; }

  private:
    std::unique_ptr<IPackageDispatcher, PackageDispatcherDeleter> dispatcher_;
    std::vector<std::uint8_t> body_;
    std::uint8_t lastPack_ = 0;
    std::uint8_t bodyOnly_ = 0;
    std::int32_t targetIndex_ = 0;
    std::uint8_t inUse_ = 0;
};

// A packet kept in a loop's own frame as a work area; the pool refuses it.
class MMORPGPacket_Stack final : public MMORPGPacket {
  public:
    bool CanFree() const override { return false; }
};

}  // namespace MMORPG
