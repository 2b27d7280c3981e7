// Child processes and temporary folders for end-to-end tests.
#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace testing_support {

std::string BinDir() {
    const char* dir = std::getenv("VEVIDOR_BIN");
    std::string path = dir != nullptr ? dir : "../bin";
    if (path.back() != '/') path += '/';
    return path;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vevidor-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made != nullptr ? made : "/tmp";
}

TempDir::~TempDir() {
    std::error_code ec;
    if (path_ != "/tmp") std::filesystem::remove_all(path_, ec);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        wait(5000);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::string& workDir, const std::vector<std::string>& env,
                         const std::string& tag) {
    outPath_ = workDir + "/" + tag + ".out";
    errPath_ = workDir + "/" + tag + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The child starts with no blocked signals, whatever the test thread had.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The extra entries replace inherited ones of the same name.
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    std::vector<std::string> envText;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& extra : env) replaced = replaced || nameOf(extra) == nameOf(entry);
        if (!replaced) envText.push_back(entry);
    }
    envText.insert(envText.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    int rc = posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) pid_ = -1;
    status_.reset();
    return rc == 0;
}

std::optional<int> ChildProcess::wait(int timeoutMs) {
    if (status_ || pid_ <= 0) return status_;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= end) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool ChildProcess::running() {
    return pid_ > 0 && !wait(0);
}

void ChildProcess::signal(int signal) {
    if (pid_ > 0 && !status_) kill(pid_, signal);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ChildProcess::stdoutText() const {
    return ReadFile(outPath_);
}
std::string ChildProcess::stderrText() const {
    return ReadFile(errPath_);
}

}  // namespace testing_support
