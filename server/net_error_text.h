// The text of a send stream's last error code for log lines.
#pragma once

#include <cstdint>
#include <string>

namespace server {

// The system's text for an errno value; a fixed text for the application codes of the send
// streams (kNothingBuffered, kServiceSendFailed).
std::string NetErrorText(std::uint32_t code);

}  // namespace server
