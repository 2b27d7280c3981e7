// The vevidor process: crash-handler check, missing modules, usage, single instance, signals.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "tests/support/child_process.h"

namespace {

namespace fs = std::filesystem;
using testing_support::BinDir;
using testing_support::ChildProcess;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::WaitUntil;

// A work folder with its own runtime folder, so that tests never meet a real gate.
class GateProcessTest : public ::testing::Test {
  protected:
    std::vector<std::string> env() const { return {"VEVIDOR_RUNTIME_DIR=" + (work / "run")}; }
    std::string gate() const { return BinDir() + "vevidor"; }

    // A gate folder holding vevidor and only the named modules.
    std::string partialInstall(const std::vector<std::string>& modules) {
        std::string dir = work / "partial";
        fs::create_directories(dir);
        fs::copy_file(gate(), dir + "/vevidor", fs::copy_options::overwrite_existing);
        for (const auto& m : modules) {
            fs::copy_file(BinDir() + m, dir + "/" + m, fs::copy_options::overwrite_existing);
        }
        return dir + "/vevidor";
    }

    bool logFileExists(const std::string& logDir) {
        std::error_code ec;
        for (auto& entry : fs::directory_iterator(logDir, ec)) {
            if (entry.path().extension() == ".log") return true;
        }
        return false;
    }

    TempDir work;
};

TEST_F(GateProcessTest, CheckEurekaActiveAnswersThatTheCrashHandlerIsInstalled) {
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {"-CheckEurekaActive"}, work.path(), env()));
    EXPECT_EQ(child.wait(10000), 0);
}

TEST_F(GateProcessTest, UnknownArgumentsGiveUsageAndExitCode2) {
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {"--frobnicate"}, work.path(), env()));
    EXPECT_EQ(child.wait(10000), 2);
    EXPECT_NE(child.stderrText().find("usage: vevidor"), std::string::npos);
}

TEST_F(GateProcessTest, MissingModulesEndTheProcessWithExitCode1) {
    struct Case {
        std::vector<std::string> present;
        const char* message;
    } cases[] = {
        {{"Did4Ad.so"}, "Can't find KvConfig.so!!!Fail to start server!!!"},
        {{"KvConfig.so"}, "Can't find did4ad.so!!!Fail to start server!!!"},
    };
    for (const Case& c : cases) {
        fs::remove_all(work / "partial");
        std::string program = partialInstall(c.present);
        ChildProcess child;
        std::vector<std::string> noLibraryPath = env();
        noLibraryPath.push_back("LD_LIBRARY_PATH=");
        ASSERT_TRUE(child.start(program, {}, work.path(), noLibraryPath));
        EXPECT_EQ(child.wait(10000), 1) << c.message;
        EXPECT_NE(child.stderrText().find(c.message), std::string::npos) << child.stderrText();
    }
}

TEST_F(GateProcessTest, StartsWritesItsLogAndEndsOnSigterm) {
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {}, work.path(), env()));
    ASSERT_TRUE(WaitUntil([&] { return logFileExists(work / "ServerLog"); }, 10000))
        << child.stderrText();
    EXPECT_TRUE(child.running());
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(10000), 0);
}

TEST_F(GateProcessTest, LogDirOptionMovesTheLog) {
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {"--log-dir", work / "logs/here"}, work.path(), env()));
    EXPECT_TRUE(WaitUntil([&] { return logFileExists(work / "logs/here"); }, 10000));
    child.signal(SIGINT);
    EXPECT_EQ(child.wait(10000), 0);
}

TEST_F(GateProcessTest, AnUncreatableLogFolderKeepsTheGateRunning) {
    std::ofstream(work / "blocker") << "a file where a folder should be";
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {"--log-dir", work / "blocker/logs"}, work.path(), env()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(child.running()) << child.stderrText();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(10000), 0);
}

TEST_F(GateProcessTest, ASecondInstanceWithTheSameSignEndsAndTheFirstIsAskedToShow) {
    ChildProcess first;
    ASSERT_TRUE(first.start(gate(), {}, work.path(), env(), "first"));
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(work / "run/ZadoVezivi.ctl"); }, 10000));

    ChildProcess second;
    ASSERT_TRUE(second.start(gate(), {}, work.path(), env(), "second"));
    EXPECT_EQ(second.wait(10000), 0);
    EXPECT_NE(second.stderrText().find("another gate"), std::string::npos);

    // The first gate may not have written its log yet (it opens it at the first line).
    auto logText = [&] {
        std::string all;
        std::error_code ec;
        for (auto& entry : fs::directory_iterator(work / "ServerLog", ec)) {
            all += ReadFile(entry.path());
        }
        return all;
    };
    EXPECT_TRUE(WaitUntil(
        [&] { return logText().find("asked this gate to show itself") != std::string::npos; },
        10000));
    EXPECT_TRUE(first.running());
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(10000), 0);
}

TEST_F(GateProcessTest, WithAnEmptySignTwoGatesRun) {
    std::ofstream(work / "KestZadoVezivi.ini") << "[KestServer]\nedtMutexSign=\n";
    ChildProcess first, second;
    ASSERT_TRUE(first.start(gate(), {}, work.path(), env(), "first"));
    ASSERT_TRUE(second.start(gate(), {}, work.path(), env(), "second"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(first.running());
    EXPECT_TRUE(second.running());
    first.signal(SIGTERM);
    second.signal(SIGTERM);
    EXPECT_EQ(first.wait(10000), 0);
    EXPECT_EQ(second.wait(10000), 0);
}

TEST_F(GateProcessTest, StopCommandOnTheControlSocketEndsWithExitCode0) {
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {}, work.path(), env()));
    std::string socket = work / "run/ZadoVezivi.ctl";
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(socket); }, 10000));
    // A 4-byte little-endian 101 and no text.
    ChildProcess sender;
    ASSERT_TRUE(sender.start("/usr/bin/python3",
                             {"-c",
                              "import socket,struct,sys; s=socket.socket(socket.AF_UNIX,"
                              "socket.SOCK_DGRAM); s.sendto(struct.pack('<I',101), sys.argv[1])",
                              socket},
                             work.path(), {}, "sender"));
    EXPECT_EQ(sender.wait(10000), 0);
    EXPECT_EQ(child.wait(10000), 0);
}

}  // namespace

namespace {

TEST_F(GateProcessTest, AFatalSignalWritesACrashReportAndEndsWithThatSignal) {
    ChildProcess child;
    ASSERT_TRUE(child.start(gate(), {}, work.path(), env()));
    ASSERT_TRUE(WaitUntil([&] { return logFileExists(work / "ServerLog"); }, 10000));
    child.signal(SIGSEGV);
    EXPECT_EQ(child.wait(10000), 128 + SIGSEGV);
    std::string report;
    for (auto& entry : fs::directory_iterator(work / "ServerLog")) {
        if (entry.path().filename().string().rfind("crash-", 0) == 0)
            report = ReadFile(entry.path());
    }
    EXPECT_NE(report.find("signal: 11 (SEGV)"), std::string::npos) << report;
    EXPECT_NE(report.find("backtrace:"), std::string::npos);
    EXPECT_NE(report.find("vevidor"), std::string::npos);  // frames name the executable
}

}  // namespace
