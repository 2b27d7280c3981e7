// The gate's command line, main loop and settings defaults.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "gate/command_line.h"
#include "gate/event_loop.h"
#include "gate/gate_settings.h"
#include "tests/support/child_process.h"

namespace {

using testing_support::TempDir;

TEST(CommandLineTest, Cases) {
    struct Case {
        std::vector<std::string> args;
        bool ok, check, autostart;
        std::string cls, name, logDir;
    } cases[] = {
        {{}, true, false, false, "", "", "ServerLog/"},
        {{"-CheckEurekaActive"}, true, true, false, "", "", "ServerLog/"},
        {{"-checkeurekaactive"}, true, true, false, "", "", "ServerLog/"},
        {{"AutoStart", "Cls", "Wnd"}, true, false, true, "Cls", "Wnd", "ServerLog/"},
        {{"--log-dir", "/var/log/gate", "autostart", "A", "B"},
         true,
         false,
         true,
         "A",
         "B",
         "/var/log/gate/"},
        {{"autostart", "Cls"}, false, false, false, "", "", ""},
        {{"-CheckEurekaActive", "x"}, false, false, false, "", "", ""},
        {{"--log-dir"}, false, false, false, "", "", ""},
        {{"--bogus"}, false, false, false, "", "", ""},
        {{"stray"}, false, false, false, "", "", ""},
    };
    for (const Case& c : cases) {
        gate::CommandLine line;
        std::string error;
        bool ok = gate::ParseCommandLine(c.args, line, error);
        std::string label = c.args.empty() ? "(none)" : c.args[0];
        ASSERT_EQ(ok, c.ok) << label;
        if (!ok) {
            EXPECT_FALSE(error.empty());
            continue;
        }
        EXPECT_EQ(line.checkCrashHandler, c.check) << label;
        EXPECT_EQ(line.autostart, c.autostart) << label;
        EXPECT_EQ(line.launcherClass, c.cls);
        EXPECT_EQ(line.launcherName, c.name);
        EXPECT_EQ(line.logDir, c.logDir);
    }
}

TEST(EventLoopTest, TimersPostedTasksAndQuit) {
    gate::EventLoop loop;
    int ticks = 0;
    int disabledTicks = 0;
    gate::EventLoop::TimerId fast = loop.addTimer("fast", 10, true, [&] { ++ticks; });
    loop.addTimer("off", 10, false, [&] { ++disabledTicks; });
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        loop.post([&] { loop.quit(7); });
    });
    EXPECT_EQ(loop.run(), 7);
    poster.join();
    EXPECT_GE(ticks, 3);
    EXPECT_EQ(disabledTicks, 0);
    EXPECT_TRUE(loop.timerEnabled(fast));
}

TEST(EventLoopTest, ATimerIsNotReenteredFromItsOwnTick) {
    gate::EventLoop loop;
    int depth = 0, maxDepth = 0, ticks = 0;
    loop.addTimer("nested", 5, true, [&] {
        ++depth;
        ++ticks;
        maxDepth = std::max(maxDepth, depth);
        // A long tick that serves the loop meanwhile, as the connect loop does.
        for (int i = 0; i < 5; ++i) loop.processPending(10);
        --depth;
        if (ticks >= 3) loop.quit(0);
    });
    loop.run();
    EXPECT_EQ(maxDepth, 1);
}

TEST(GateSettingsTest, AnEmptyConfigFileGivesEveryDefault) {
    TempDir dir;
    std::filesystem::create_directories(dir / "Config");
    std::ofstream(dir / "Config/Config.ini") << "";
    std::string previous = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    SettingsObject& main = gate::OpenSettings(gate::kMainSettingsFile, gate::kMainSettings);
    SettingsObject& local = gate::OpenSettings(gate::kLocalSettingsFile, gate::kLocalSettings);
    ASSERT_EQ(chdir(previous.c_str()), 0);

    auto check = [](SettingsObject& settings, const auto& table) {
        for (const gate::SettingDefault& s : table) {
            switch (s.kind) {
                case gate::SettingDefault::kText:
                    EXPECT_STREQ(settings.getString(s.key, ""), s.text) << s.key;
                    break;
                case gate::SettingDefault::kInteger:
                    EXPECT_EQ(settings.getInt(s.key, 0), s.number) << s.key;
                    break;
                case gate::SettingDefault::kYesNo:
                    EXPECT_EQ(settings.getBool(s.key, false), s.number != 0) << s.key;
                    break;
            }
        }
    };
    check(main, gate::kMainSettings);
    check(local, gate::kLocalSettings);
    EXPECT_EQ(main.getInt("edt_Port", 0), 19006);
    EXPECT_EQ(main.getInt("cbb_ThreadNum", 0), 1500);
    EXPECT_EQ(main.getInt("edt_SrvPort", 0), 19000);
    EXPECT_STREQ(local.getString("edt_SrvIp", ""), "127.0.0.1");
}

}  // namespace

namespace {

// Out-of-range settings are clamped into their range; others pass through.
TEST(GateSettingsTest, IntegersOutsideTheirRangeAreClamped) {
    TempDir dir;
    std::filesystem::create_directories(dir / "Config");
    std::ofstream(dir / "Config/Config.ini")
        << "[KestServer]\nlabMinSendInterval=-5\nedt_Port=70000\nedtRecvBufferLen=0\n"
           "edtMaxClientPackPile=0\nlabMaxPack=300\n";
    std::string previous = std::filesystem::current_path();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    SettingsObject& main = gate::OpenSettings(gate::kMainSettingsFile, gate::kMainSettings);
    ASSERT_EQ(chdir(previous.c_str()), 0);
    const std::pair<const char*, int> cases[] = {
        {"labMinSendInterval", 0},   {"edt_Port", 65535}, {"edtRecvBufferLen", 256},
        {"edtMaxClientPackPile", 0}, {"labMaxPack", 300}, {"cbb_ThreadNum", 1500},
    };
    for (auto [key, expected] : cases) EXPECT_EQ(gate::GetCheckedInt(main, key), expected) << key;
}

}  // namespace
