// The crash handler: on a fatal signal it writes a report with a backtrace into the log folder,
// then ends the process with that signal's status.
#pragma once

#include <string>

namespace gate {

// Installs the handler for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT. True when installed.
bool InstallCrashHandler();
bool CrashHandlerInstalled();
// Folder of the reports ("crash-<pid>-<time>.txt"); the working directory until set.
void SetCrashReportDir(const std::string& directory);

}  // namespace gate
