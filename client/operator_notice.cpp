// Operator notices: standard error, the log, then the console's callback.
#include "client/operator_notice.h"

#include <cstdio>

#include "diag/log.h"

namespace client {

void NotifyOperator(const OperatorNotice& notice, NoticeLevel level, const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    if (level == NoticeLevel::kError) {
        diag::GetLog().error("%s", text.c_str());
    } else {
        diag::GetLog().warn("%s", text.c_str());
    }
    if (notice) notice(kNoticeCaption, text);
}

}  // namespace client
