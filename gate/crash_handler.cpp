// Fatal-signal handler: backtrace report written with async-signal-safe calls only.
#include "gate/crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace gate {
namespace {

bool g_installed = false;
char g_reportDir[4096] = ".";
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
alignas(16) char g_altStack[64 * 1024];

void WriteText(int fd, const char* text) {
    [[maybe_unused]] ssize_t n = write(fd, text, std::strlen(text));
}

// Decimal text of a non-negative number, without the C library's formatted output.
void WriteNumber(int fd, unsigned long value) {
    char digits[24];
    int at = static_cast<int>(sizeof digits);
    digits[--at] = '\0';
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && at > 0);
    WriteText(fd, digits + at);
}

void AppendNumber(char* out, std::size_t size, unsigned long value) {
    char digits[24];
    int at = static_cast<int>(sizeof digits);
    digits[--at] = '\0';
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && at > 0);
    std::size_t used = std::strlen(out);
    std::size_t add = std::strlen(digits + at);
    if (used + add + 1 < size) std::memcpy(out + used, digits + at, add + 1);
}

void AppendText(char* out, std::size_t size, const char* text) {
    std::size_t used = std::strlen(out);
    std::size_t add = std::strlen(text);
    if (used + add + 1 < size) std::memcpy(out + used, text, add + 1);
}

void OnFatalSignal(int signal, siginfo_t* info, void*) {
    char path[4200] = "";
    AppendText(path, sizeof path, g_reportDir);
    AppendText(path, sizeof path, "/crash-");
    AppendNumber(path, sizeof path, static_cast<unsigned long>(getpid()));
    AppendText(path, sizeof path, "-");
    AppendNumber(path, sizeof path, static_cast<unsigned long>(time(nullptr)));
    AppendText(path, sizeof path, ".txt");
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fd = STDERR_FILENO;

    WriteText(fd, "vevidor crash report\nsignal: ");
    WriteNumber(fd, static_cast<unsigned long>(signal));
    WriteText(fd, " (");
    WriteText(fd, sigabbrev_np(signal) != nullptr ? sigabbrev_np(signal) : "?");
    WriteText(fd, ")\naddress: ");
    WriteNumber(fd, reinterpret_cast<unsigned long>(info != nullptr ? info->si_addr : nullptr));
    WriteText(fd, "\npid: ");
    WriteNumber(fd, static_cast<unsigned long>(getpid()));
    WriteText(fd, "\nbacktrace:\n");
    void* frames[128];
    int count = backtrace(frames, 128);
    backtrace_symbols_fd(frames, count, fd);
    if (fd != STDERR_FILENO) {
        close(fd);
        WriteText(STDERR_FILENO, "vevidor: fatal signal, crash report written to ");
        WriteText(STDERR_FILENO, path);
        WriteText(STDERR_FILENO, "\n");
    }

    // End with the signal's own status.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    raise(signal);
    _exit(128 + signal);
}

}  // namespace

bool InstallCrashHandler() {
    if (g_installed) return true;
    // backtrace() loads its unwinder on first use; do that now, outside any signal handler.
    void* warmup[2];
    backtrace(warmup, 2);

    stack_t stack{};
    stack.ss_sp = g_altStack;
    stack.ss_size = sizeof g_altStack;
    sigaltstack(&stack, nullptr);

    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (int signal : kSignals) ok = sigaction(signal, &action, nullptr) == 0 && ok;
    g_installed = ok;
    return ok;
}

bool CrashHandlerInstalled() {
    return g_installed;
}

void SetCrashReportDir(const std::string& directory) {
    std::snprintf(g_reportDir, sizeof g_reportDir, "%s",
                  directory.empty() ? "." : directory.c_str());
    std::size_t length = std::strlen(g_reportDir);
    if (length > 1 && g_reportDir[length - 1] == '/') g_reportDir[length - 1] = '\0';
}

}  // namespace gate
