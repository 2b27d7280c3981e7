// Texts of the send streams' error codes.
#include "server/net_error_text.h"

#include <cstring>

#include "packet/net_stream.h"

namespace server {

std::string NetErrorText(std::uint32_t code) {
    if (code == kNothingBuffered) return "nothing was buffered";
    if (code == kServiceSendFailed) return "the network service refused the bytes";
    if (code == 0) return "no error";
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be the buffer.
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
    return text == nullptr ? std::string("error ") + std::to_string(code) : std::string(text);
}

}  // namespace server
