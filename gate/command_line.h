// The gate's command line.
#pragma once

#include <string>
#include <vector>

namespace gate {

struct CommandLine {
    bool checkCrashHandler = false;  // "-CheckEurekaActive" alone
    bool autostart = false;          // "autostart CLS WND"
    std::string launcherClass;
    std::string launcherName;
    std::string logDir = "ServerLog/";  // --log-dir DIR
    bool assumeYes = true;              // --no: answer start-up questions with Cancel
    bool help = false;
};

// Parses the arguments (without the program name). False with `error` set on unknown or
// malformed arguments.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error);

const char* UsageText();

}  // namespace gate
