// The launch-control module "LaunchServerDLL.so" against a fake service manager socket.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "modules/launch_control.h"
#include "tests/modules/module_loader.h"

namespace {

using testmodules::Export;
using testmodules::TempDir;

LaunchControl& Control() {
    static LaunchControl* control =
        Export<GetLaunchControlInstanceFn>("LaunchServerDLL.so", "GetLaunchControlInstance")();
    return *control;
}

void Release() {
    Export<ReleaseLaunchControlInstanceFn>("LaunchServerDLL.so", "ReleaseLaunchControlInstance")();
}

bool StartCallback() {
    return true;
}
bool StopCallback() {
    return true;
}

// A bound datagram socket named by NOTIFY_SOCKET for the scope of a test.
class FakeServiceManager {
  public:
    explicit FakeServiceManager(const char* watchdogUsec) {
        path_ = (dir_.path() / "notify.sock").string();
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        if (watchdogUsec != nullptr) {
            ::setenv("WATCHDOG_USEC", watchdogUsec, 1);
            ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
        }
    }
    ~FakeServiceManager() {
        Release();
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::unsetenv("WATCHDOG_PID");
        ::close(fd_);
    }

    // The next datagram, or "" when none arrives within the wait.
    std::string next(std::chrono::milliseconds wait = std::chrono::milliseconds(2000)) {
        timeval timeout{};
        timeout.tv_sec = wait.count() / 1000;
        timeout.tv_usec = (wait.count() % 1000) * 1000;
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[512];
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

  private:
    TempDir dir_;
    std::string path_;
    int fd_ = -1;
};

TEST(LaunchModule, SameObjectAndNoServiceManagerMeansNo) {
    auto get = Export<GetLaunchControlInstanceFn>("LaunchServerDLL.so", "GetLaunchControlInstance");
    ASSERT_NE(get, nullptr);
    EXPECT_EQ(get(), get());
    ::unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(Control().initialize(&StartCallback, &StopCallback, nullptr));
    Control().notifyStarted();  // nothing to send to; must not fail
    Control().poll();
}

TEST(LaunchModule, LifeCycleCallsArriveAsNotifications) {
    FakeServiceManager manager(nullptr);
    ASSERT_TRUE(Control().initialize(&StartCallback, &StopCallback, nullptr));
    struct Case {
        void (LaunchControl::*call)();
        const char* expected;
    };
    const Case cases[] = {
        {&LaunchControl::notifyIdle, "STATUS=Idle"},
        {&LaunchControl::notifyStarting, "STATUS=Starting"},
        {&LaunchControl::notifyStarted, "READY=1\nSTATUS=Running"},
        {&LaunchControl::notifyStopping, "STOPPING=1\nSTATUS=Stopping"},
        {&LaunchControl::notifyStopped, "STATUS=Stopped"},
    };
    for (const Case& c : cases) {
        (Control().*c.call)();
        EXPECT_EQ(manager.next(), c.expected);
    }
    Control().poll();  // no watchdog asked for
    EXPECT_EQ(manager.next(std::chrono::milliseconds(50)), "");
    Release();
    Control().notifyIdle();  // released: silent
    EXPECT_EQ(manager.next(std::chrono::milliseconds(50)), "");
}

TEST(LaunchModule, PollFeedsTheWatchdogAtMostEveryHalfPeriod) {
    FakeServiceManager manager("200000");  // 200 ms
    ASSERT_TRUE(Control().initialize(&StartCallback, &StopCallback, nullptr));
    Control().poll();
    EXPECT_EQ(manager.next(), "WATCHDOG=1");
    Control().poll();  // too early
    EXPECT_EQ(manager.next(std::chrono::milliseconds(30)), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(110));
    Control().poll();
    EXPECT_EQ(manager.next(), "WATCHDOG=1");
}

}  // namespace
