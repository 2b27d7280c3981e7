// The launch-control proxy: missing module, a module that declines, and a launcher that listens.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "gate/launch_server_proxy.h"
#include "tests/support/child_process.h"

namespace {

using testing_support::BinDir;
using testing_support::TempDir;

bool Started() {
    return true;
}
bool Stopped() {
    return true;
}

TEST(LaunchProxyTest, FromMissingToDecliningToListening) {
    CLaunchServerDLLProxy& proxy = GetLaunchServerProxy();
    TempDir dir;

    proxy.setModulePath(dir / "LaunchServerDLL.so");  // not there
    EXPECT_FALSE(proxy.initialise(Started, Stopped));
    EXPECT_FALSE(proxy.isInitialised());
    EXPECT_EQ(proxy.instance(), nullptr);

    // The real module declines while no service manager listens.
    proxy.setModulePath(BinDir() + "LaunchServerDLL.so");
    unsetenv("NOTIFY_SOCKET");
    EXPECT_FALSE(proxy.initialise(Started, Stopped));
    EXPECT_FALSE(proxy.isInitialised());

    // With a notification socket it takes notifications.
    std::string path = dir / "notify.sock";
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    ASSERT_TRUE(proxy.initialise(Started, Stopped));
    EXPECT_TRUE(proxy.initialise(Started, Stopped));  // a second call answers yes at once
    ASSERT_NE(proxy.instance(), nullptr);
    proxy.instance()->notifyStarted();
    char buffer[512] = {};
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ssize_t n = recv(fd, buffer, sizeof buffer - 1, 0);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buffer).find("READY=1"), std::string::npos);

    EXPECT_TRUE(proxy.uninitialise());
    EXPECT_FALSE(proxy.isInitialised());
    EXPECT_EQ(proxy.instance(), nullptr);
    EXPECT_TRUE(proxy.uninitialise());
    unsetenv("NOTIFY_SOCKET");
    close(fd);
}

}  // namespace
