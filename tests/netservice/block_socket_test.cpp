// The blocking socket module over loopback: connect (address, name, bind address, closed
// port), data both ways, and Close waking a blocked Recv.
#include <gtest/gtest.h>

#include <future>

#include "tests/netservice/test_support.h"

namespace {

using namespace std::chrono_literals;

struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(fd, 16);
        socklen_t len = sizeof(addr);
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(fd); }
    // Accepts one peer (bounded wait); fills the peer's address.
    int accept(std::string* peer = nullptr) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0) return -1;
        sockaddr_in addr{};
        socklen_t len = sizeof(addr);
        const int c = ::accept(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        if (peer != nullptr) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &addr.sin_addr, text, sizeof(text));
            *peer = text;
        }
        return c;
    }
    int fd;
    std::uint16_t port;
};

class BlockSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto get = reinterpret_cast<GetZqBlockSocketFn>(
            nettest::ModuleSymbol("daRizorOrozez.so", "GetZqBlockSocket"));
        free_ = reinterpret_cast<FreeZqBlockSocketFn>(
            nettest::ModuleSymbol("daRizorOrozez.so", "FreeZqBlockSocket"));
        ASSERT_NE(get, nullptr);
        ASSERT_NE(free_, nullptr);
        sock_ = get();
        sock_->SetOption(0);
    }
    void TearDown() override {
        if (sock_ != nullptr) free_(sock_);
    }
    FreeZqBlockSocketFn free_ = nullptr;
    IBlockSocket* sock_ = nullptr;
};

TEST_F(BlockSocketTest, CarriesDataBothWaysAndTheWriterUsesGetSocket) {
    Listener server;
    ASSERT_TRUE(sock_->Connect("127.0.0.1", server.port));
    EXPECT_TRUE(sock_->IsConnected());
    const int peer = server.accept();
    ASSERT_GE(peer, 0);

    int nodelay = 0;
    socklen_t len = sizeof(nodelay);
    getsockopt(sock_->GetSocket(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &len);
    EXPECT_NE(nodelay, 0);

    ASSERT_EQ(::send(sock_->GetSocket(), "ping", 4, MSG_NOSIGNAL), 4);
    char buf[16] = {};
    ASSERT_TRUE(nettest::RecvAll(peer, buf, 4));
    EXPECT_EQ(std::string(buf, 4), "ping");

    ASSERT_TRUE(nettest::SendAll(peer, "pong!", 5));
    int got = 0;
    while (got < 5) {
        const int n = sock_->Recv(buf + got, static_cast<int>(sizeof(buf)) - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(std::string(buf, 5), "pong!");

    ::close(peer);  // the peer's close reads as a broken link
    EXPECT_LE(sock_->Recv(buf, sizeof(buf)), 0);
    EXPECT_FALSE(sock_->IsConnected());
}

TEST_F(BlockSocketTest, CloseFromAnotherThreadWakesABlockedRecv) {
    Listener server;
    ASSERT_TRUE(sock_->Connect("localhost", server.port));
    const int peer = server.accept();
    ASSERT_GE(peer, 0);
    auto reader = std::async(std::launch::async, [&] {
        char buf[64];
        return sock_->Recv(buf, sizeof(buf));
    });
    EXPECT_EQ(reader.wait_for(200ms), std::future_status::timeout) << "Recv did not block";
    sock_->Close();
    ASSERT_EQ(reader.wait_for(3s), std::future_status::ready) << "Close did not wake Recv";
    EXPECT_LE(reader.get(), 0);
    EXPECT_FALSE(sock_->IsConnected());
    EXPECT_EQ(sock_->GetSocket(), -1);
    char buf[4];
    EXPECT_LE(sock_->Recv(buf, sizeof(buf)), 0);
    ::close(peer);

    // The object connects again after Close.
    ASSERT_TRUE(sock_->Connect("127.0.0.1", server.port));
    EXPECT_TRUE(sock_->IsConnected());
    ::close(server.accept());
}

TEST_F(BlockSocketTest, BindsToTheConfiguredLocalAddress) {
    Listener server;
    sock_->SetBindIP("127.0.0.2");
    ASSERT_TRUE(sock_->Connect("127.0.0.1", server.port));
    std::string from;
    const int peer = server.accept(&from);
    EXPECT_EQ(from, "127.0.0.2");
    ::close(peer);

    sock_->SetBindIP("not an address");
    EXPECT_FALSE(sock_->Connect("127.0.0.1", server.port));
    sock_->SetBindIP("");
    EXPECT_TRUE(sock_->Connect("127.0.0.1", server.port));
    ::close(server.accept());
}

TEST_F(BlockSocketTest, ConnectToAClosedPortOrAnUnknownHostFailsFast) {
    std::uint16_t port;
    {
        Listener gone;
        port = gone.port;
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sock_->Connect("127.0.0.1", port));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_FALSE(sock_->IsConnected());
    EXPECT_EQ(sock_->GetSocket(), -1);
    char buf[4];
    EXPECT_LE(sock_->Recv(buf, sizeof(buf)), 0);
    EXPECT_FALSE(sock_->Connect("", port));
    EXPECT_FALSE(sock_->Connect("no-such-host.invalid", port));
}

}  // namespace
