// The client process on the real network service module over loopback: client bytes in,
// route-bound packets out, answers enciphered back to the client, kicks closing the socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "client/client_process.h"
#include "packet/packet_pool.h"
#include "tests/client/client_wire.h"
#include "tests/netservice/test_support.h"

namespace {

using testing_support::ClientFrame;
using testing_support::ReadGateFrames;
using testing_support::VersionRecord;
using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

constexpr int kStatListenPort = 38;

bool LinkUp() {
    return true;
}

// A loopback client whose reads give up after 200 ms.
int Connect(std::uint16_t port) {
    const int fd = nettest::ConnectClient(port);
    if (fd >= 0) {
        timeval tv{0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    return fd;
}

class ClientLoopbackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        (void)GetPacketPool();
        poolStart_ = MMORPG::PacketsInUse();
        proc_ = std::make_unique<ClientProcess>();
        proc_->SetRouteLinkQuery(&LinkUp);
        ASSERT_TRUE(proc_->StartService(0, 4));
        port_ = static_cast<std::uint16_t>(proc_->GetService()->GetParam(kStatListenPort));
        ASSERT_NE(port_, 0);
        ASSERT_TRUE(RunUntil([&] { return proc_->GetPoolSize() == 4; }));
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
        proc_.reset();
        EXPECT_EQ(MMORPG::PacketsInUse(), poolStart_) << "pool out of balance";
    }

    // Worker rounds plus the route stand-in until the condition holds (at most 3 s).
    bool RunUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (std::chrono::steady_clock::now() < deadline) {
            proc_->ProcessRound();
            Route();
            if (done()) return true;
            std::this_thread::sleep_for(1ms);
        }
        return false;
    }
    void RunFor(std::chrono::milliseconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        RunUntil([&] { return std::chrono::steady_clock::now() >= until; });
    }
    // The route server stand-in: logs every connection in and echoes its data.
    void Route() {
        MMORPG::MMORPGPacket_Stack work;
        for (ClientUser* s : proc_->GetOnlineClients()) {
            while (s->GetRouteQueue().PacketPop(&work) != 0) {
                ++routed_;
                if (work.GetPackType() == kPackConnect) {
                    s->SetSessionID(0x1000u + static_cast<std::uint32_t>(s->GetPoolIndex()));
                    s->SetPlayerIndexInGameServer(s->GetPoolIndex());
                    s->SetState(3);
                } else if (work.GetPackType() == kPackClientData) {
                    s->SendToClient(work.Body());
                } else if (work.IsLastPack()) {
                    s->ResetObj();
                }
            }
        }
    }
    int NewClient() {
        const int fd = Connect(port_);
        if (fd >= 0) fds_.push_back(fd);
        return fd;
    }
    // Reads what arrives within the condition's rounds.
    Bytes ReadFor(int fd, std::size_t want) {
        Bytes got;
        RunUntil([&] {
            std::uint8_t buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) got.insert(got.end(), buffer, buffer + n);
            return got.size() >= want;
        });
        return got;
    }

    int poolStart_ = 0;
    std::unique_ptr<ClientProcess> proc_;
    std::uint16_t port_ = 0;
    std::vector<int> fds_;
    int routed_ = 0;
};

TEST_F(ClientLoopbackTest, PacketsTravelToTheRouteSideAndAnswersComeBackEnciphered) {
    const int fd = NewClient();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(RunUntil([&] { return proc_->GetOnlineCount() == 1; }));
    ClientUser* s = proc_->GetOnlineClient(0);
    ASSERT_TRUE(RunUntil([&] { return s->GetState() == 3; }));
    // The version record and three packets in one write, the last split over two writes.
    Bytes stream = ClientFrame(VersionRecord(), 250);
    const std::vector<Bytes> packets = {{1, 2, 3}, Bytes(300, 0x7E), Bytes(1024, 0x01)};
    for (std::size_t i = 0; i < packets.size(); ++i) {
        const Bytes f = ClientFrame(packets[i], 251 + static_cast<int>(i));
        stream.insert(stream.end(), f.begin(), f.end());
    }
    const std::size_t half = stream.size() - 500;
    ASSERT_EQ(::send(fd, stream.data(), half, MSG_NOSIGNAL), static_cast<ssize_t>(half));
    RunFor(50ms);
    ASSERT_EQ(::send(fd, stream.data() + half, stream.size() - half, MSG_NOSIGNAL),
              static_cast<ssize_t>(stream.size() - half));
    std::size_t expected = 0;
    for (const Bytes& p : packets) expected += 6 + p.size();
    const Bytes got = ReadFor(fd, expected);
    EXPECT_EQ(ReadGateFrames(got), packets);
    EXPECT_EQ(s->GetPackOrder(), 254);
}

TEST_F(ClientLoopbackTest, WrongVersionIsKickedAndClosed) {
    const int fd = NewClient();
    ASSERT_GE(fd, 0);
    const Bytes frame = ClientFrame(VersionRecord(1), 250);
    ASSERT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
    const auto start = std::chrono::steady_clock::now();
    const Bytes got = ReadFor(fd, 9);
    EXPECT_EQ(ReadGateFrames(got), (std::vector<Bytes>{{1, 4, 102}}));
    // The gate closes the connection after the kick delay.
    bool closed = false;
    RunUntil([&] {
        std::uint8_t b;
        const ssize_t n = ::recv(fd, &b, 1, MSG_DONTWAIT);
        closed = n == 0;
        return closed;
    });
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 450ms);
    EXPECT_TRUE(RunUntil([&] { return proc_->GetOnlineCount() == 0; }));
}

TEST_F(ClientLoopbackTest, DisconnectInTheMiddleOfAFrameFreesTheSlot) {
    const int fd = NewClient();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(RunUntil([&] {
        return proc_->GetOnlineCount() == 1 && proc_->GetOnlineClient(0)->GetState() == 3;
    }));
    Bytes stream = ClientFrame(VersionRecord(), 250);
    const Bytes f = ClientFrame(Bytes(200, 0x33), 251);
    stream.insert(stream.end(), f.begin(), f.begin() + 80);
    ASSERT_GT(::send(fd, stream.data(), stream.size(), MSG_NOSIGNAL), 0);
    RunUntil([&] { return proc_->GetOnlineClient(0)->GetPackOrder() == 251; });
    ::close(fd);
    fds_.clear();
    EXPECT_TRUE(RunUntil([&] { return proc_->GetOnlineCount() == 0; }));
    // A new client gets a clean slot.
    const int again = NewClient();
    ASSERT_GE(again, 0);
    ASSERT_TRUE(RunUntil([&] {
        return proc_->GetOnlineCount() == 1 && proc_->GetOnlineClient(0)->GetState() == 3;
    }));
    Bytes next = ClientFrame(VersionRecord(), 250);
    const Bytes data = ClientFrame(Bytes{4, 4}, 251);
    next.insert(next.end(), data.begin(), data.end());
    ASSERT_GT(::send(again, next.data(), next.size(), MSG_NOSIGNAL), 0);
    EXPECT_EQ(ReadGateFrames(ReadFor(again, 8)), (std::vector<Bytes>{{4, 4}}));
}

}  // namespace
