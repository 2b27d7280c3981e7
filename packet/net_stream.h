// The send streams: they gather framed packets in an 8192-byte PackBufer and write them in one
// piece when the next packet does not fit or when the sender flushes (SendBuf_o with length 0).
//
// A flush of an empty buffer returns 0 and stores kNothingBuffered as the calling thread's last
// error code; a failed write returns 0 or less and stores a different code, so that callers can
// tell the two apart.
#pragma once

#include <cstdint>

#include "packet/pack_buffer.h"

class INetService;

// "Nothing was buffered" (an application code: the customer bit of the error codes set).
constexpr std::uint32_t kNothingBuffered = 0x20000001;
// The network service refused the bytes.
constexpr std::uint32_t kServiceSendFailed = 0x20000002;

// The calling thread's last error code of the send streams.
std::uint32_t GetLastNetError();
void SetLastNetError(std::uint32_t code);

// Writes to a socket handle with send(MSG_NOSIGNAL). One sending thread at a time.
class CNetStream {
  public:
    static constexpr std::int32_t kBufferSize = 8192;

    explicit CNetStream(int socket) : socket_(socket), buffer_(kBufferSize) {}
    CNetStream(const CNetStream&) = delete;
    CNetStream& operator=(const CNetStream&) = delete;

    // length > 0: buffers the bytes (returns length) or writes what they do not fit behind;
    // length 0: flushes. Returns the bytes taken or sent, or the failing send's result (<= 0).
    std::int32_t SendBuf_o(const void* bytes, std::int32_t length);

    const PackBufer& Buffer() const { return buffer_; }

  private:
    // Writes all bytes; the first send returning 0 or less ends it with that value.
    std::int32_t SendAll(const std::uint8_t* bytes, std::int32_t length);
    std::int32_t SendBufImpl(const void* bytes, std::int32_t length);

    int socket_;
    PackBufer buffer_;
};

// Writes to one connection of the network service (INetService::Send). One sending thread at a
// time. Unlike CNetStream, a flush empties the buffer whatever the result of the write.
class CICOPNetStream {
  public:
    static constexpr std::int32_t kBufferSize = 8192;

    CICOPNetStream(INetService* service, std::uint32_t index)
        : service_(service), index_(index), buffer_(kBufferSize) {}
    CICOPNetStream(const CICOPNetStream&) = delete;
    CICOPNetStream& operator=(const CICOPNetStream&) = delete;

    std::int32_t SendBuf_o(const void* bytes, std::int32_t length);

    const PackBufer& Buffer() const { return buffer_; }
    std::uint32_t Index() const { return index_; }
    void SetIndex(std::uint32_t index) { index_ = index; }

  private:
    // 1 when the service took the bytes, else 0.
    std::int32_t Send(const std::uint8_t* bytes, std::int32_t length);
    std::int32_t SendBufImpl(const void* bytes, std::int32_t length);

    INetService* service_;
    std::uint32_t index_;
    PackBufer buffer_;
};
