// The operator notice: what used to be a message box. Each notice is also a line on standard
// error and in the log.
#pragma once

#include <functional>
#include <string>

namespace client {

// Shown to the operator by the console that wires it (caption, text). May be empty.
using OperatorNotice = std::function<void(const std::string& caption, const std::string& text)>;

// Caption of the gate's notices.
inline constexpr const char* kNoticeCaption = "VevIdor";

enum class NoticeLevel { kWarn, kError };

// Writes text on standard error and in the log (general operation warn or error), then hands it
// to notice when one is set.
void NotifyOperator(const OperatorNotice& notice, NoticeLevel level, const std::string& text);

}  // namespace client
