// The framing object of every byte stream of the gate (clients, route server, status link).
//
//   frame:  FF CC | length field (u32, or u16 in short mode) | payload | [CRC-32 (u32)]
//           the length field counts everything after the head (payload + checksum)
//
// DispatchData cuts received chunks into payloads, keeping an incomplete frame until the rest
// arrives; PackData builds one frame into a caller buffer. All integers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Callbacks are a function and a context pointer; each runs on the thread feeding the object.
// The filter sees the bytes just received and answers whether to cut them at all.
using PackFilterCallback = bool (*)(void* context, const std::uint8_t* bytes, std::size_t length);
// One complete payload. The bytes are valid only during the call.
using PackCallback = void (*)(void* context, const std::uint8_t* payload, std::size_t length);
// An informational or error text (UTF-8).
using PackErrorCallback = void (*)(void* context, const char* message);
// A broken stream: a bad frame tag or an oversized frame.
using PackFatalCallback = void (*)(void* context);

// Virtual slots in this order; objects are made by NewPackageDispatcher and destroyed by
// FreePackageDispatcher so that loaded modules can share them.
class IPackageDispatcher {
  public:
    virtual void SetFilterCallback(PackFilterCallback function, void* context) = 0;
    virtual void SetPackCallback(PackCallback function, void* context) = 0;
    virtual void SetErrorCallback(PackErrorCallback function, void* context) = 0;
    virtual void SetFatalCallback(PackFatalCallback function, void* context) = 0;
    // Cuts the received bytes (behind any pending ones) into frames and calls the packet callback
    // once per complete frame, in order. Throws std::runtime_error("Pack CRC Error") when a
    // checksum does not match (after logging it); frames before the bad one are delivered.
    virtual void DispatchData(const std::uint8_t* bytes, std::size_t length) = 0;
    // Builds one frame of the payload into the buffer; returns the bytes written, 0 when the
    // buffer is too small (logged, nothing written). The payload may already lie at its place
    // in the buffer (buffer + GetPackHeadLen()): the frame is then built in place.
    virtual std::size_t PackData(const std::uint8_t* payload, std::size_t length,
                                 std::uint8_t* buffer, std::size_t size) = 0;
    // Drops the pending bytes.
    virtual void ResetDispatch() = 0;
    // 6 with the 4-byte length field (mode 1, the default), 4 with the 2-byte one (mode 0).
    virtual int GetPackHeadLen() = 0;
    virtual void SetLongLength(int mode) = 0;
    // 4 when frames carry the checksum, otherwise 0.
    virtual int GetCrcLen() = 0;
    virtual void SetUseCrc(bool on) = 0;
    virtual bool GetUseCrc() = 0;
    virtual ~IPackageDispatcher() = default;

    void DispatchData(std::span<const std::uint8_t> bytes) {
        DispatchData(bytes.data(), bytes.size());
    }
};

class KsPackageDispatcher final : public IPackageDispatcher {
  public:
    static constexpr std::uint16_t kFrameTag = 0xCCFF;
    static constexpr std::uint64_t kMaxFrameLength = 104857600;  // head included

    KsPackageDispatcher() = default;
    KsPackageDispatcher(const KsPackageDispatcher&) = delete;
    KsPackageDispatcher& operator=(const KsPackageDispatcher&) = delete;

    using IPackageDispatcher::DispatchData;

    void SetFilterCallback(PackFilterCallback function, void* context) override;
    void SetPackCallback(PackCallback function, void* context) override;
    void SetErrorCallback(PackErrorCallback function, void* context) override;
    void SetFatalCallback(PackFatalCallback function, void* context) override;
    void DispatchData(const std::uint8_t* bytes, std::size_t length) override;
    std::size_t PackData(const std::uint8_t* payload, std::size_t length, std::uint8_t* buffer,
                         std::size_t size) override;
    void ResetDispatch() override;
    int GetPackHeadLen() override { return longLength_ == 1 ? 6 : 4; }
    void SetLongLength(int mode) override { longLength_ = mode; }
    int GetCrcLen() override { return useCrc_ ? 4 : 0; }
    void SetUseCrc(bool on) override { useCrc_ = on; }
    bool GetUseCrc() override { return useCrc_; }

    // Bytes of an incomplete frame kept for the next chunk.
    std::size_t PendingLength() const { return pending_.size(); }

  private:
    // Outcome of looking at the frame head at the start of `bytes`.
    enum class Head { kShort, kBad, kComplete, kIncomplete };
    Head ReadHead(const std::uint8_t* bytes, std::size_t n, std::uint64_t& frameLength);
    // Delivers one complete frame (checks its checksum first).
    void Deliver(const std::uint8_t* frame, std::size_t frameLength);
    // Cuts frames from bytes[0..n) in place; an incomplete tail becomes the pending bytes.
    void CutChunk(const std::uint8_t* bytes, std::size_t n);
    void ReportWait(const std::uint8_t* bytes, std::size_t n);

    std::vector<std::uint8_t> pending_;
    int longLength_ = 1;
    bool useCrc_ = false;
    PackFilterCallback filter_ = nullptr;
    void* filterContext_ = nullptr;
    PackCallback pack_ = nullptr;
    void* packContext_ = nullptr;
    PackErrorCallback error_ = nullptr;
    void* errorContext_ = nullptr;
    PackFatalCallback fatal_ = nullptr;
    void* fatalContext_ = nullptr;
};

// CRC-32 of the frames (zlib's crc32 started from 0).
std::uint32_t FrameCrc32(std::span<const std::uint8_t> bytes);

extern "C" {
// A new framing object with the defaults: 4-byte length field, no checksum, no callbacks.
IPackageDispatcher* NewPackageDispatcher();
// Destroys a framing object made by NewPackageDispatcher; nothing happens for null.
void FreePackageDispatcher(IPackageDispatcher* dispatcher);
}

// Owning handle of a framing object made by NewPackageDispatcher.
struct PackageDispatcherDeleter {
    void operator()(IPackageDispatcher* dispatcher) const { FreePackageDispatcher(dispatcher); }
};
