// Command-line parsing: the crash-handler check, autostart and the gate's own options.
#include "gate/command_line.h"

#include <strings.h>

namespace gate {
namespace {

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

}  // namespace

const char* UsageText() {
    return "usage: vevidor [--log-dir DIR] [--no] [autostart CLASS NAME]\n"
           "       vevidor -CheckEurekaActive";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine& out, std::string& error) {
    if (args.size() == 1 && EqualsIgnoringCase(args[0], "-CheckEurekaActive")) {
        out.checkCrashHandler = true;
        return true;
    }
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--log-dir") {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                error = a + " needs a value";
                return false;
            }
            out.logDir = args[++i];
            if (out.logDir.back() != '/') out.logDir += '/';
        } else if (a == "--no") {
            out.assumeYes = false;
        } else if (a == "--help" || a == "-h") {
            out.help = true;
        } else if (a.size() > 1 && a[0] == '-' && !EqualsIgnoringCase(a, "-CheckEurekaActive")) {
            error = "unknown option " + a;
            return false;
        } else {
            positional.push_back(a);
        }
    }
    if (positional.empty()) return true;
    if (positional.size() == 3 && EqualsIgnoringCase(positional[0], "autostart")) {
        out.autostart = true;
        out.launcherClass = positional[1];
        out.launcherName = positional[2];
        return true;
    }
    error = "unexpected argument " + positional[0];
    return false;
}

}  // namespace gate
