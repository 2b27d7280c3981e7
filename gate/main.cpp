// vevidor: the gate's entry.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gate/command_line.h"
#include "gate/crash_handler.h"
#include "gate/main_window.h"

int main(int argc, char** argv) {
    gate::InstallCrashHandler();

    std::vector<std::string> args(argv + 1, argv + argc);
    gate::CommandLine commandLine;
    std::string error;
    if (!gate::ParseCommandLine(args, commandLine, error)) {
        std::fprintf(stderr, "vevidor: %s\n%s\n", error.c_str(), gate::UsageText());
        return 2;
    }
    if (commandLine.help) {
        std::printf("%s\n", gate::UsageText());
        return 0;
    }
    if (commandLine.checkCrashHandler) return gate::CrashHandlerInstalled() ? 0 : 1;

    // Block the stop signals before any thread exists: the main loop reads them.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Every client is a file descriptor: take the whole open-file allowance the system grants.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    gate::TFrmVevIdor window(commandLine);
    if (!window.FormCreate()) return window.exitCode();
    return window.run();
}
