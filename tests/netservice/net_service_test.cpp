// The network service module over real loopback sockets: slot announcement, accept, data,
// closes, limits, refusals, time-out and Stop.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <vector>

#include "modules/netservice/net_service_stats.h"
#include "tests/netservice/test_support.h"

namespace {

using namespace std::chrono_literals;
using namespace netsvc;
using nettest::ConnectClient;

class NetServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        svc_ = nettest::NewService();
        ASSERT_NE(svc_, nullptr) << "REVedArivuzi.so not loadable from VEVIDOR_BIN";
        msg_ = std::make_unique<NetMsg>();
    }
    void TearDown() override {
        for (int fd : clients_) ::close(fd);
        if (svc_ != nullptr) svc_->Release();
    }

    // Starts on a free port and takes the slot announcements; returns the port.
    std::uint16_t StartAndAnnounce(int capacity) {
        EXPECT_TRUE(svc_->Start(0, capacity));
        for (int i = 0; i < capacity; ++i) {
            EXPECT_TRUE(Next()) << "announcement " << i;
            EXPECT_EQ(msg_->type, NET_MSG_ON_NEW_SLOT);
            EXPECT_EQ(msg_->index, static_cast<std::uint32_t>(i));
        }
        return static_cast<std::uint16_t>(svc_->GetParam(kStatListenPort));
    }

    // Waits (bounded) for the next message.
    bool Next(std::chrono::milliseconds wait = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (!svc_->GetMsg(msg_.get())) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    // Waits for a message of the type; data of skipped 101 messages is appended to *data.
    bool NextOfType(std::int32_t type, std::string* data = nullptr,
                    std::chrono::milliseconds wait = 3000ms) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!Next(10ms)) continue;
            if (msg_->type == type) return true;
            if (msg_->type == NET_MSG_ON_RECV && data != nullptr) {
                data->append(reinterpret_cast<const char*>(msg_->data), msg_->length);
            }
        }
        return false;
    }

    // Reads 101 messages until `length` bytes arrived.
    std::string ReceiveBytes(std::size_t length) {
        std::string data;
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (data.size() < length && std::chrono::steady_clock::now() < deadline) {
            if (!Next(10ms)) continue;
            EXPECT_EQ(msg_->type, NET_MSG_ON_RECV);
            EXPECT_LE(msg_->length, kNetMsgDataSize);
            data.append(reinterpret_cast<const char*>(msg_->data), msg_->length);
        }
        return data;
    }

    int Client(std::uint16_t port, const char* from = nullptr, int rcvbuf = 0) {
        const int fd = ConnectClient(port, from, rcvbuf);
        EXPECT_GE(fd, 0);
        clients_.push_back(fd);
        return fd;
    }

    std::uint32_t Accept(std::uint16_t port, int* fd = nullptr) {
        const int c = Client(port);
        if (fd != nullptr) *fd = c;
        EXPECT_TRUE(NextOfType(NET_MSG_ON_CLIENTCONNECT));
        return msg_->index;
    }

    INetService* svc_ = nullptr;
    std::unique_ptr<NetMsg> msg_;
    std::vector<int> clients_;
};

TEST_F(NetServiceTest, AnnouncesSlotsThenCarriesDataBothWaysAndReportsThePeerClose) {
    const std::uint16_t port = StartAndAnnounce(3);
    EXPECT_TRUE(svc_->IsRunning());
    EXPECT_EQ(svc_->GetParam(kStatMaxClient), 3u);
    EXPECT_EQ(svc_->GetParam(kStatFreeClientPool), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) ASSERT_EQ(svc_->GetClient(i)->GetIndex(), i);
    EXPECT_EQ(svc_->GetClient(3), nullptr);
    EXPECT_EQ(svc_->GetClient(0)->GetSocket(), -1);

    int fd = -1;
    const std::uint32_t index = Accept(port, &fd);
    INetClient* client = svc_->GetClient(index);
    EXPECT_STREQ(client->GetIP(), "127.0.0.1");
    EXPECT_GE(client->GetSocket(), 0);
    EXPECT_EQ(svc_->GetParam(kStatFreeClientPool), 2u);

    // 10000 bytes in: arrive complete and in order, cut into messages of at most 4096.
    std::string sent(10000, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(nettest::SendAll(fd, sent.data(), sent.size()));
    EXPECT_EQ(ReceiveBytes(sent.size()), sent);
    EXPECT_EQ(client->GetBytesReceived(), sent.size());

    // Three Sends out: arrive as one stream.
    ASSERT_TRUE(svc_->Send(index, "abc", 3));
    ASSERT_TRUE(svc_->Send(index, "defg", 4));
    ASSERT_TRUE(svc_->Send(index, "h", 1));
    char buf[8] = {};
    ASSERT_TRUE(nettest::RecvAll(fd, buf, 8));
    EXPECT_EQ(std::string(buf, 8), "abcdefgh");
    EXPECT_EQ(svc_->GetParam(kStatCommitSendBytes), 8u);
    EXPECT_EQ(svc_->GetParam(kStatPushSendMsg), 3u);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (svc_->GetParam(kStatPopSendMsg) != 3 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(svc_->GetParam(kStatPopSendMsg), 3u);
    EXPECT_EQ(svc_->GetParam(kStatSendBytes), 8u);
    EXPECT_EQ(client->GetBytesSent(), 8u);
    EXPECT_EQ(client->GetCommitSendBuffer(), 0u);

    ::shutdown(fd, SHUT_WR);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_CLOSE));
    EXPECT_EQ(msg_->index, index);
    EXPECT_EQ(client->GetSocket(), -1);
    EXPECT_FALSE(svc_->Send(index, "x", 1));
    EXPECT_EQ(svc_->GetParam(kStatNormalClose), 1u);
    EXPECT_EQ(svc_->GetParam(kStatFreeClientPool), 2u);  // free once the gate asks again
    EXPECT_FALSE(Next(20ms));
    EXPECT_EQ(svc_->GetParam(kStatFreeClientPool), 3u);
    EXPECT_EQ(svc_->GetParam(kStatRecvQueue), 0u);
    EXPECT_EQ(svc_->GetParam(kStatPushRecvMsg), svc_->GetParam(kStatPopRecvMsg));
    EXPECT_EQ(svc_->GetParam(kStatRecvBytes), sent.size());
}

TEST_F(NetServiceTest, ResetByThePeerGivesOneErrorMessage) {
    const std::uint16_t port = StartAndAnnounce(1);
    int fd = -1;
    const std::uint32_t index = Accept(port, &fd);
    clients_.clear();
    nettest::ResetClose(fd);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_CONNECT_ERROR));
    EXPECT_EQ(msg_->index, index);
    EXPECT_FALSE(Next(200ms)) << "a second closing message, type " << msg_->type;
    EXPECT_EQ(svc_->GetParam(kStatErrorClose), 1u);
}

TEST_F(NetServiceTest, CloseFromAnotherThreadFlushesQueuedBytesThenKicks) {
    const std::uint16_t port = StartAndAnnounce(2);
    int fd = -1;
    const std::uint32_t index = Accept(port, &fd);
    ASSERT_TRUE(svc_->Send(index, "bye", 3));
    std::thread([&] { svc_->Close(index); }).join();
    ASSERT_TRUE(NextOfType(NET_MSG_ON_KICKED));
    EXPECT_EQ(msg_->index, index);
    char buf[3];
    ASSERT_TRUE(nettest::RecvAll(fd, buf, 3));
    EXPECT_EQ(std::string(buf, 3), "bye");
    EXPECT_TRUE(nettest::PeerClosed(fd));
    EXPECT_FALSE(Next(200ms)) << "a second closing message, type " << msg_->type;
    EXPECT_EQ(svc_->GetParam(kStatServiceClose), 1u);
    svc_->Close(index);  // no connection any more: nothing happens
    EXPECT_FALSE(Next(100ms));
}

TEST_F(NetServiceTest, SilentConnectionsTimeOutWhileTalkingOnesStay) {
    svc_->SetParam(kParamTimeoutMs, 300);
    const std::uint16_t port = StartAndAnnounce(2);
    int silentFd = -1, talkFd = -1;
    const std::uint32_t silent = Accept(port, &silentFd);
    const std::uint32_t talker = Accept(port, &talkFd);
    std::atomic<bool> done{false};
    std::thread chatter([&] {
        while (!done) {
            nettest::SendAll(talkFd, "x", 1);
            std::this_thread::sleep_for(50ms);
        }
    });
    const bool kicked = NextOfType(NET_MSG_ON_KICKED, nullptr, 3000ms);
    const std::uint32_t kickedIndex = msg_->index;
    // The talker must survive a further full time-out period.
    bool talkerKicked = false;
    const auto until = std::chrono::steady_clock::now() + 500ms;
    while (std::chrono::steady_clock::now() < until) {
        if (Next(10ms) && msg_->type != NET_MSG_ON_RECV) talkerKicked = true;
    }
    done = true;
    chatter.join();
    ASSERT_TRUE(kicked);
    EXPECT_EQ(kickedIndex, silent);
    EXPECT_FALSE(talkerKicked) << "index " << talker;
    EXPECT_EQ(svc_->GetParam(kStatTimeKick), 1u);
    EXPECT_TRUE(nettest::PeerClosed(silentFd));
}

TEST_F(NetServiceTest, SendLimitsKickAPeerThatStopsReading) {
    svc_->SetParam(kParamMaxQueuedSends, 8);
    svc_->SetParam(kParamMaxSendLength, 100);
    const std::uint16_t port = StartAndAnnounce(1);
    const int fd = Client(port, nullptr, 4096);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_CLIENTCONNECT));
    const std::uint32_t index = msg_->index;
    (void)fd;

    std::vector<char> big(101, 'b');
    EXPECT_FALSE(svc_->Send(index, big.data(), 101));  // longer than SetParam 1
    EXPECT_EQ(svc_->GetParam(kStatDropPack), 1u);

    // The peer never reads: the kernel buffers fill, then the queue, then the kick.
    bool refused = false;
    for (int i = 0; i < 200000 && !refused; ++i) {
        refused = !svc_->Send(index, big.data(), 100);
        if (i % 64 == 0) std::this_thread::sleep_for(100us);
    }
    ASSERT_TRUE(refused);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_KICKED));
    EXPECT_EQ(svc_->GetParam(kStatMaxQueueKick), 1u);
    EXPECT_EQ(svc_->GetParam(kStatSendQueue), 0u);
    EXPECT_EQ(svc_->GetParam(kStatSendStreamSize), 0u);
}

TEST_F(NetServiceTest, ByteLimitKicksBeforeTheQueueGrowsUnbounded) {
    svc_->SetParam(kParamMaxQueuedSends, 0);
    svc_->SetParam(kParamMaxQueuedBytes, 256 * 1024);
    const std::uint16_t port = StartAndAnnounce(1);
    Client(port, nullptr, 4096);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_CLIENTCONNECT));
    const std::uint32_t index = msg_->index;
    std::vector<char> chunk(8192, 'c');
    bool refused = false;
    for (int i = 0; i < 100000 && !refused; ++i) {
        refused = !svc_->Send(index, chunk.data(), chunk.size());
        EXPECT_LE(svc_->GetClient(index)->GetCommitSendBuffer(), 256u * 1024);
    }
    ASSERT_TRUE(refused);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_KICKED));
    EXPECT_EQ(svc_->GetParam(kStatMaxQueueKick), 1u);
}

TEST_F(NetServiceTest, ReadingPausesWhileTheGateDoesNotPumpAndResumesWithoutLoss) {
    svc_->SetParam(kParamRecvPauseBytes, 8192);
    const std::uint16_t port = StartAndAnnounce(1);
    int fd = -1;
    Accept(port, &fd);
    std::string sent(4 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i % 251);
    std::thread sender([&] { nettest::SendAll(fd, sent.data(), sent.size()); });
    std::this_thread::sleep_for(300ms);
    // Without pumping, the service holds at most one read beyond the bound.
    EXPECT_LE(svc_->GetParam(kStatRecvBytes), 8192u + 65536u);
    const std::string got = ReceiveBytes(sent.size());
    sender.join();
    EXPECT_TRUE(got == sent) << "got " << got.size() << " bytes";
}

TEST_F(NetServiceTest, RefusesBeyondCapacityAndReusesASlotOnlyAfterItsCloseWasTaken) {
    const std::uint16_t port = StartAndAnnounce(1);
    int first = -1;
    EXPECT_EQ(Accept(port, &first), 0u);

    const int second = Client(port);
    EXPECT_TRUE(nettest::PeerClosed(second));
    EXPECT_EQ(svc_->GetParam(kStatMaxConnectRefuse), 1u);

    // The first peer leaves, but the gate has not taken the message yet: still no slot.
    ::shutdown(first, SHUT_WR);
    std::this_thread::sleep_for(100ms);
    const int third = Client(port);
    EXPECT_TRUE(nettest::PeerClosed(third));
    EXPECT_EQ(svc_->GetParam(kStatMaxConnectRefuse), 2u);

    // Taken, but the gate may still be handling it: the slot is free once it asks again.
    ASSERT_TRUE(NextOfType(NET_MSG_ON_CLOSE));
    const int fourth = Client(port);
    EXPECT_TRUE(nettest::PeerClosed(fourth));
    EXPECT_FALSE(Next(50ms));
    EXPECT_EQ(Accept(port), 0u);
    EXPECT_FALSE(Next(100ms)) << "unexpected message " << msg_->type;
}

TEST_F(NetServiceTest, RefusesNewConnectionsWhileTheReceiveQueueIsOverItsThreshold) {
    svc_->SetParam(kParamRefuseByRecvQueue, 2);
    ASSERT_TRUE(svc_->Start(0, 4));  // four announcements stay queued
    const auto port = static_cast<std::uint16_t>(svc_->GetParam(kStatListenPort));
    EXPECT_TRUE(nettest::PeerClosed(Client(port)));
    EXPECT_EQ(svc_->GetParam(kStatRefuseByRecv), 1u);
    while (svc_->GetMsg(msg_.get())) {
    }
    Accept(port);
}

TEST_F(NetServiceTest, AttackDetectionRefusesAnAddressThatConnectsTooFast) {
    svc_->SetParam(kParamAttackValue, 3);
    const std::uint16_t port = StartAndAnnounce(8);
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) fds.push_back(Client(port, "127.0.0.3"));
    int accepted = 0;
    while (Next(300ms)) accepted += msg_->type == NET_MSG_ON_CLIENTCONNECT;
    EXPECT_EQ(accepted, 3);
    EXPECT_EQ(svc_->GetParam(kStatHackerFound), 1u);
    EXPECT_EQ(svc_->GetParam(kStatHackRefuse), 2u);
    // Another address is not affected.
    Client(port, "127.0.0.4");
    EXPECT_TRUE(NextOfType(NET_MSG_ON_CLIENTCONNECT));
}

TEST_F(NetServiceTest, StopClosesEveryConnectionAndAStartAfterwardsWorks) {
    const std::uint16_t port = StartAndAnnounce(4);
    std::vector<int> fds(3);
    for (int& fd : fds) Accept(port, &fd);
    for (int& fd : fds) ASSERT_TRUE(nettest::SendAll(fd, "data", 4));
    std::this_thread::sleep_for(50ms);

    auto stopped = std::async(std::launch::async, [&] { svc_->Stop(); });
    ASSERT_EQ(stopped.wait_for(5s), std::future_status::ready) << "Stop hangs";
    EXPECT_FALSE(svc_->IsRunning());
    for (int fd : fds) EXPECT_TRUE(nettest::PeerClosed(fd));
    int kicked = 0;
    while (Next(100ms)) kicked += msg_->type == NET_MSG_ON_KICKED;
    EXPECT_EQ(kicked, 3);
    EXPECT_EQ(ConnectClient(port), -1);

    // A second run announces no slot twice and accepts again.
    ASSERT_TRUE(svc_->Start(0, 4));
    EXPECT_TRUE(svc_->IsRunning());
    const auto port2 = static_cast<std::uint16_t>(svc_->GetParam(kStatListenPort));
    Accept(port2);
    EXPECT_FALSE(svc_->Start(0, 4));  // already running
    svc_->Stop();
    svc_->Stop();  // twice is harmless
}

TEST_F(NetServiceTest, StartFailsCleanlyOnAPortInUseOrABadCapacity) {
    EXPECT_FALSE(svc_->Start(0, 0));
    const std::uint16_t port = StartAndAnnounce(1);
    INetService* other = nettest::NewService();
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(other->Start(port, 1));
    EXPECT_FALSE(other->IsRunning());
    other->Release();
    Accept(port);
}

TEST_F(NetServiceTest, GarbageAndManyShortLivedPeersLeaveTheServiceConsistent) {
    const std::uint16_t port = StartAndAnnounce(16);
    std::vector<char> noise(3000);
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>(i * 131 + 7);
    for (int round = 0; round < 50; ++round) {
        const int fd = ConnectClient(port);
        ASSERT_GE(fd, 0);
        nettest::SendAll(fd, noise.data(), static_cast<std::size_t>(round * 60));
        if (round % 2 == 0) {
            nettest::ResetClose(fd);
        } else {
            ::close(fd);
        }
        while (svc_->GetMsg(msg_.get())) {
        }
    }
    // Every peer is accounted for exactly once and every slot comes back.
    auto closes = [&] {
        // Peers that were gone before their accept finished are refused or counted as
        // failed accepts instead.
        return svc_->GetParam(kStatNormalClose) + svc_->GetParam(kStatErrorClose) +
               svc_->GetParam(kStatMaxConnectRefuse) + svc_->GetParam(kStatAcceptError);
    };
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while ((closes() != 50 || svc_->GetParam(kStatRecvQueue) != 0) &&
           std::chrono::steady_clock::now() < deadline) {
        while (svc_->GetMsg(msg_.get())) {
        }
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(svc_->GetParam(kStatFreeClientPool), 16u);
    EXPECT_EQ(closes(), 50u);
    EXPECT_EQ(svc_->Maintain(), 0);
}

}  // namespace

namespace {

using namespace std::chrono_literals;
using namespace netsvc;

// A freed slot goes to the back of the line, and the pump is told when messages wait.
TEST_F(NetServiceTest, FreedSlotsAreTakenLastAndThePumpIsNotified) {
    static std::atomic<int> notices{0};
    notices = 0;
    int context = 0;
    svc_->SetMsgNotify(
        [](void* c) {
            if (c != nullptr) ++notices;
        },
        &context);
    const std::uint16_t port = StartAndAnnounce(3);
    EXPECT_GE(notices.load(), 1);

    int first = -1;
    EXPECT_EQ(Accept(port, &first), 0u);
    ::shutdown(first, SHUT_WR);
    ASSERT_TRUE(NextOfType(NET_MSG_ON_CLOSE));
    EXPECT_FALSE(Next(50ms));  // the gate is done with the close: slot 0 is free
    int before = notices.load();
    // Slot 0 is free again, but 1 and 2 have waited longer.
    EXPECT_EQ(Accept(port), 1u);
    EXPECT_GT(notices.load(), before);
    EXPECT_EQ(Accept(port), 2u);
    EXPECT_EQ(Accept(port), 0u);
    svc_->SetMsgNotify(nullptr, nullptr);
}

}  // namespace
