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

std::int32_t CNetStream::SendBufImpl(const void* bytes, std::int32_t length) {
    if (length == 0) {
        if (buffer_.FillCount() == 0) {
            SetLastNetError(kNothingBuffered);
            return 0;
        }
        const std::int32_t sent = SendAll(buffer_.Data(), buffer_.FillCount());
        if (sent <= 0) return sent;
        buffer_.Clear();
        return sent;
    }
    if (length < 0) {
        SetLastNetError(EINVAL);
        return 0;
    }
    if (buffer_.Append(bytes, length)) return length;
    if (buffer_.FillCount() > 0) {
        const std::int32_t sent = SendAll(buffer_.Data(), buffer_.FillCount());
        if (sent <= 0) return sent;
    }
    buffer_.Clear();
    if (buffer_.Append(bytes, length)) return length;
    return SendAll(static_cast<const std::uint8_t*>(bytes), length);
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
    if (length == 0) {
        if (buffer_.FillCount() == 0) {
            SetLastNetError(kNothingBuffered);
            return 0;
        }
        const std::int32_t sent = Send(buffer_.Data(), buffer_.FillCount());
        buffer_.Clear();
        return sent;
    }
    if (length < 0) {
        SetLastNetError(EINVAL);
        return 0;
    }
    if (buffer_.Append(bytes, length)) return length;
    if (buffer_.FillCount() > 0) {
        const std::int32_t sent = Send(buffer_.Data(), buffer_.FillCount());
        if (sent <= 0) return sent;
    }
    buffer_.Clear();
    if (buffer_.Append(bytes, length)) return length;
    return Send(static_cast<const std::uint8_t*>(bytes), length);
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
