// The gate's loaders of the network modules: the real modules by plain name, and the
// start-up failures for a missing file or export.
#include "server/net_module_loader.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

TEST(NetModuleLoaderTest, LoadsBothModulesByPlainName) {
    INetService* svc = server::NetModules::NewNetService();
    ASSERT_NE(svc, nullptr);
    EXPECT_FALSE(svc->IsRunning());
    svc->Release();
    EXPECT_NE(server::NetModules::NetService().getNetMsgPool(), nullptr);
    EXPECT_NE(server::NetModules::NetService().freeNetMsgPool(), nullptr);

    IBlockSocket* sock = server::NetModules::NewBlockSocket();
    ASSERT_NE(sock, nullptr);
    EXPECT_FALSE(sock->IsConnected());
    server::NetModules::FreeBlockSocket(sock);
}

std::string BinFile(const char* file) {
    const char* bin = std::getenv("VEVIDOR_BIN");
    return std::string(bin != nullptr ? bin : ".") + "/" + file;
}

TEST(NetModuleLoaderDeathTest, MissingFilesAndExportsEndTheProcessWithCodeOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(server::NetServiceModule("REVedArivuzi.so.missing").getInstance(),
                ::testing::ExitedWithCode(1),
                "Can't find REVedArivuzi.so.missing!!!Error = [0-9]+!!!");
    EXPECT_EXIT(server::BlockSocketModule("daRizorOrozez.so.missing").getBlockSocket(),
                ::testing::ExitedWithCode(1),
                "Can't find daRizorOrozez.so.missing!!!Fail to start server!!!");
    // Each module lacks the other's exports.
    EXPECT_EXIT(server::NetServiceModule(BinFile("daRizorOrozez.so")).getInstance(),
                ::testing::ExitedWithCode(1),
                "Can't find GetREVedArivuziInstance function in REVedArivuzi "
                "module!!!Fail to start server!!!");
    EXPECT_EXIT(server::BlockSocketModule(BinFile("REVedArivuzi.so")).freeBlockSocket(),
                ::testing::ExitedWithCode(1),
                "Can't find GetZqBlockSocket function in daRizorOrozez module!!!Fail to "
                "start server!!!");
}

}  // namespace
