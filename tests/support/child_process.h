// Test helper: runs a program of build/bin as a child process with bounded waits.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

// The folder of the gate's run-time files (VEVIDOR_BIN), ending in "/".
std::string BinDir();

// A fresh empty folder under the system's temporary folder; removed by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts `program` with `args` in `workDir`, with extra environment entries ("K=V").
    // Standard output and error go to files in workDir ("<tag>.out", "<tag>.err").
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::string& workDir, const std::vector<std::string>& env = {},
               const std::string& tag = "child");

    // Waits at most timeoutMs for the end. The exit code, or 128 + signal for a signal end.
    std::optional<int> wait(int timeoutMs);
    bool running();
    void signal(int signal);
    pid_t pid() const { return pid_; }
    std::string stdoutText() const;
    std::string stderrText() const;

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::string outPath_;
    std::string errPath_;
};

// Reads a whole file ("" when missing).
std::string ReadFile(const std::string& path);
// Polls `condition` every 10 ms for at most timeoutMs.
template <typename Condition>
bool WaitUntil(Condition condition, int timeoutMs);

}  // namespace testing_support

#include <chrono>
#include <thread>

template <typename Condition>
bool testing_support::WaitUntil(Condition condition, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}
