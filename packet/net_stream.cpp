// CNetStream and CICOPNetStream, and the thread's last error code.
#include "packet/net_stream.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "diag/log.h"
#include "modules/net_service.h"

namespace {
thread_local std::uint32_t t_lastError = 0;
}  // namespace

std::uint32_t GetLastNetError() {
    return t_lastError;
}
void SetLastNetError(std::uint32_t code) {
    t_lastError = code;
}

std::int32_t CNetStream::SendAll(const std::uint8_t* bytes, std::int32_t length) {
    std::int32_t total = 0;
    while (total < length) {
        const ssize_t sent =
            ::send(socket_, bytes + total, static_cast<std::size_t>(length - total), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) {
            SetLastNetError(sent < 0 && errno != 0 ? static_cast<std::uint32_t>(errno)
                                                   : kServiceSendFailed);
            return static_cast<std::int32_t>(sent);
        }
        total += static_cast<std::int32_t>(sent);
    }
    return total;
}

namespace {

// The gathering both streams share: buffer what fits, write the buffer when the next packet
// does not fit, write a packet larger than the buffer directly, flush on length 0. `write`
// sends bytes and answers the bytes sent or a result <= 0 for a failure. A failed flush keeps
// the buffered bytes unless clearOnFailedFlush.
template <typename Write>
std::int32_t GatherAndSend(PackBufer& buffer, const void* bytes, std::int32_t length,
                           bool clearOnFailedFlush, Write write) {
    if (length == 0) {
        if (buffer.FillCount() == 0) {
            SetLastNetError(kNothingBuffered);
            return 0;
        }
        const std::int32_t sent = write(buffer.Data(), buffer.FillCount());
        if (sent <= 0 && !clearOnFailedFlush) return sent;
        buffer.Clear();
        return sent;
    }
    if (length < 0) {
        SetLastNetError(EINVAL);
        return 0;
    }
    if (buffer.Append(bytes, length)) return length;
    if (buffer.FillCount() > 0) {
        const std::int32_t sent = write(buffer.Data(), buffer.FillCount());
        if (sent <= 0) return sent;
    }
    buffer.Clear();
    if (buffer.Append(bytes, length)) return length;
    return write(static_cast<const std::uint8_t*>(bytes), length);
}

}  // namespace

std::int32_t CNetStream::SendBufImpl(const void* bytes, std::int32_t length) {
    return GatherAndSend(buffer_, bytes, length, false,
                         [this](const std::uint8_t* b, std::int32_t n) { return SendAll(b, n); });
}

std::int32_t CNetStream::SendBuf_o(const void* bytes, std::int32_t length) {
    try {
        return SendBufImpl(bytes, length);
    } catch (...) {
        diag::GetLog().logFatal("CNetStream::SendBuf_o, lpData = %d, len = %d",
                                static_cast<int>(reinterpret_cast<std::intptr_t>(bytes)), length);
        return 0;
    }
}

std::int32_t CICOPNetStream::Send(const std::uint8_t* bytes, std::int32_t length) {
    if (service_ != nullptr && service_->Send(index_, bytes, static_cast<std::uint32_t>(length))) {
        return 1;
    }
    SetLastNetError(kServiceSendFailed);
    return 0;
}

std::int32_t CICOPNetStream::SendBufImpl(const void* bytes, std::int32_t length) {
    return GatherAndSend(buffer_, bytes, length, true,
                         [this](const std::uint8_t* b, std::int32_t n) { return Send(b, n); });
}

std::int32_t CICOPNetStream::SendBuf_o(const void* bytes, std::int32_t length) {
    try {
        return SendBufImpl(bytes, length);
    } catch (...) {
        diag::GetLog().logFatal("CICOPNetStream::SendBuf_o, lpData = %d, len = %d",
                                static_cast<int>(reinterpret_cast<std::intptr_t>(bytes)), length);
        return 0;
    }
}
