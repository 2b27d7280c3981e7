// Fatal-signal handler: backtrace report written with async-signal-safe calls only.
#include "gate/crash_handler.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace gate {
namespace {

bool g_installed = false;
char g_reportDir[4096] = ".";
char g_executable[4096] = "";
constexpr const char* kAddr2Line = "/usr/bin/addr2line";
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
alignas(16) char g_altStack[64 * 1024];

void WriteText(int fd, const char* text) {
    [[maybe_unused]] ssize_t n = write(fd, text, std::strlen(text));
}

// Digits of a number in base 10 or 16 ("0x" first), without the C library's formatted output,
// which is not safe in a signal handler. Writes into out (at least 24 bytes) and returns it.
char* NumberText(char* out, unsigned long value, unsigned base) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0 && n < 20);
    int at = 0;
    if (base == 16) {
        out[at++] = '0';
        out[at++] = 'x';
    }
    while (n > 0) out[at++] = digits[--n];
    out[at] = '\0';
    return out;
}

void WriteNumber(int fd, unsigned long value, unsigned base = 10) {
    char text[24];
    WriteText(fd, NumberText(text, value, base));
}

void AppendText(char* out, std::size_t size, const char* text) {
    std::size_t used = std::strlen(out);
    std::size_t add = std::strlen(text);
    if (used + add + 1 < size) std::memcpy(out + used, text, add + 1);
}

void AppendNumber(char* out, std::size_t size, unsigned long value) {
    char text[24];
    AppendText(out, size, NumberText(text, value, 10));
}

// Source lines of the frames inside the gate's own executable, through addr2line when the
// machine has it. Runs in a child so that a failure there cannot hang the dying process for long.
void WriteSourceLines(int fd, void* const* frames, int count) {
    if (g_executable[0] == '\0' || access(kAddr2Line, X_OK) != 0) return;
    static char offsets[128][24];
    static char* argv[128 + 8];
    int argc = 0;
    argv[argc++] = const_cast<char*>(kAddr2Line);
    argv[argc++] = const_cast<char*>("-C");
    argv[argc++] = const_cast<char*>("-f");
    argv[argc++] = const_cast<char*>("-p");
    argv[argc++] = const_cast<char*>("-e");
    argv[argc++] = g_executable;
    for (int i = 0; i < count && i < 128; ++i) {
        Dl_info where{};
        if (dladdr(frames[i], &where) == 0 || where.dli_fname == nullptr) continue;
        const char* slash = std::strrchr(where.dli_fname, '/');
        const char* mine = std::strrchr(g_executable, '/');
        if (slash == nullptr || mine == nullptr || std::strcmp(slash, mine) != 0) continue;
        // One byte back: the return address points after the call.
        unsigned long offset = reinterpret_cast<unsigned long>(frames[i]) -
                               reinterpret_cast<unsigned long>(where.dli_fbase) - 1;
        char* text = NumberText(offsets[argc], offset, 16);
        argv[argc++] = text;
        if (argc >= 128 + 6) break;
    }
    argv[argc] = nullptr;
    if (argc == 6) return;
    WriteText(fd, "source lines:\n");
    pid_t child = fork();
    if (child == 0) {
        dup2(fd, STDOUT_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, STDERR_FILENO);
        execv(kAddr2Line, argv);
        _exit(127);
    }
    if (child < 0) return;
    // At most about 5 seconds.
    for (int i = 0; i < 500; ++i) {
        int status = 0;
        if (waitpid(child, &status, WNOHANG) == child) return;
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
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
    WriteNumber(fd, reinterpret_cast<unsigned long>(info != nullptr ? info->si_addr : nullptr), 16);
    WriteText(fd, "\npid: ");
    WriteNumber(fd, static_cast<unsigned long>(getpid()));
    WriteText(fd, "\nbacktrace:\n");
    void* frames[128];
    int count = backtrace(frames, 128);
    backtrace_symbols_fd(frames, count, fd);
    WriteSourceLines(fd, frames, count);
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
    ssize_t n = readlink("/proc/self/exe", g_executable, sizeof g_executable - 1);
    g_executable[n > 0 ? n : 0] = '\0';
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
