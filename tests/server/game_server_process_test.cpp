// The route link against a socket pair and a scripted client side: the route server's packets
// through the receive step (log-in, kick, data, stale ids, gate records), the send step's order
// and its failures, and the gate records on the wire.
#include "server/game_server_process.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "client/client_process.h"
#include "client/client_user.h"
#include "packet/pack_head.h"
#include "packet/packet_pool.h"
#include "packet/wire.h"
#include "server/route_records.h"
#include "server/run_state.h"
#include "tests/client/client_wire.h"
#include "tests/client/fake_net_service.h"
#include "tests/packet/log_capture.h"

namespace {

using testing_support::FakeNetService;
using testing_support::LogCapture;
using Bytes = std::vector<std::uint8_t>;

// The blocking socket on one end of a socket pair.
class PairSocket final : public IBlockSocket {
  public:
    explicit PairSocket(int fd) : fd_(fd) {}
    ~PairSocket() { close(fd_); }
    bool Connect(const char*, std::uint16_t) override { return true; }
    int Recv(void* buffer, int capacity) override {
        return static_cast<int>(recv(fd_, buffer, static_cast<std::size_t>(capacity), 0));
    }
    bool IsConnected() override { return true; }
    void Close() override { shutdown(fd_, SHUT_RDWR); }
    int GetSocket() override { return fd_; }
    void SetOption(int option) override { option_ = option; }
    void SetBindIP(const char*) override {}
    int option_ = -1;

  private:
    int fd_;
};

void FreePairSocket(IBlockSocket* socket) {
    delete static_cast<PairSocket*>(socket);
}

struct RoutePacket {
    tagPackHead head;
    Bytes body;
};

Bytes RouteFrame(std::uint32_t sid, std::uint16_t pool, std::uint8_t type, const Bytes& body) {
    tagPackHead head;
    head.SessionID = sid;
    head.PoolIndex = pool;
    head.PackType = type;
    head.DestServerType = stVevIdor;
    head.SrcServerType = stGameServer;
    Bytes out = {0xFF, 0xCC, 0, 0, 0, 0};
    wire::StoreLE<std::uint32_t>(out.data() + 2, static_cast<std::uint32_t>(9 + body.size()));
    auto image = head.Bytes();
    out.insert(out.end(), image.begin(), image.end());
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::atomic<std::uint32_t> g_lineId{0};
bool TakeLineId(std::uint32_t id) {
    g_lineId = id;
    return true;
}

class GameServerProcessTest : public ::testing::Test {
  protected:
    static constexpr int kSlots = 8;

    void SetUp() override {
        (void)GetPacketPool();
        poolStart_ = MMORPG::PacketsInUse();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        peer_ = fds[1];
        svc_ = new FakeNetService(kSlots);
        clients_ = std::make_unique<ClientProcess>(svc_);
        clients_->SetRouteLinkQuery([] { return true; });
        ASSERT_TRUE(clients_->StartService(19006, kSlots));
        svc_->AnnounceSlots();
        clients_->ProcessNetMsg();
        socket_ = new PairSocket(fds[0]);
        link_ = std::make_unique<GameServerProcess>(*clients_, socket_, &FreePairSocket, state_);
        state_.SetRouteConnected(true);
        link_->Enable();
    }
    void TearDown() override {
        link_.reset();
        clients_.reset();
        if (peer_ >= 0) close(peer_);
        server::SetLineIdHandler(nullptr);
        EXPECT_EQ(MMORPG::PacketsInUse(), poolStart_) << "pool out of balance";
    }

    ClientUser& S(int i) { return *clients_->GetClientByIndex(i); }
    // Accepted on slot i, connect notice queued for the route link.
    void Accept(int i) {
        svc_->Accept(static_cast<std::uint32_t>(i), "10.0.0." + std::to_string(i + 1));
        clients_->ProcessNetMsg();
    }
    void Online(int i, std::uint32_t sid, std::int32_t player) {
        Accept(i);
        S(i).GetRouteQueue().Clear();
        S(i).SetSessionID(sid);
        S(i).SetPlayerIndexInGameServer(player);
        S(i).SetState(3);
    }
    // The route server sends these frames; the receive step takes them.
    void FromRoute(const Bytes& bytes) {
        ASSERT_EQ(write(peer_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(link_->RecvStep(), 0);
    }
    // Everything the gate wrote so far, as server packets.
    std::vector<RoutePacket> ToRoute() {
        Bytes all;
        std::uint8_t buffer[65536];
        for (;;) {
            ssize_t n = recv(peer_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) break;
            all.insert(all.end(), buffer, buffer + n);
        }
        std::vector<RoutePacket> out;
        std::size_t at = 0;
        while (at + 6 <= all.size()) {
            EXPECT_EQ(wire::LoadLE<std::uint16_t>(&all[at]), 0xCCFF);
            std::uint32_t n = wire::LoadLE<std::uint32_t>(&all[at + 2]);
            if (at + 6 + n > all.size() || n < 9) {
                ADD_FAILURE() << "broken frame";
                break;
            }
            RoutePacket p;
            p.head.ReadData(std::span(&all[at + 6], 9), 0);
            p.body.assign(all.begin() + static_cast<std::ptrdiff_t>(at + 15),
                          all.begin() + static_cast<std::ptrdiff_t>(at + 6 + n));
            out.push_back(std::move(p));
            at += 6 + n;
        }
        EXPECT_EQ(at, all.size());
        return out;
    }
    std::vector<Bytes> ClientReceived(int i) {
        // The client's send queue is written by the client worker's send pass.
        clients_->SetMinSendInterval(0);
        clients_->ProcessSend();
        return testing_support::ReadGateFrames(svc_->TakeSent(static_cast<std::uint32_t>(i)));
    }

    int poolStart_ = 0;
    int peer_ = -1;
    FakeNetService* svc_ = nullptr;  // owned by clients_
    PairSocket* socket_ = nullptr;   // owned by link_
    std::unique_ptr<ClientProcess> clients_;
    server::GateRunState state_;
    std::unique_ptr<GameServerProcess> link_;
    LogCapture log_;
};

TEST_F(GameServerProcessTest, ConstructionCallsTheOptionWithZero) {
    EXPECT_EQ(socket_->option_, 0);
    EXPECT_EQ(link_->GetRecvBufferLen(), 8192);
}

TEST_F(GameServerProcessTest, LoginReplySetsTheSession) {
    Accept(2);
    FromRoute(RouteFrame(0x1234, 2, 4, {7, 0, 0, 0}));
    EXPECT_EQ(S(2).GetSessionID(), 0x1234u);
    EXPECT_EQ(S(2).GetPlayerIndexInGameServer(), 7);
    EXPECT_EQ(S(2).GetState(), 3);
    EXPECT_TRUE(log_.Has(kLevelWarn, "人物注册成功, indexInGameServer = 7"));
}

TEST_F(GameServerProcessTest, LoginReplyForAFreeSlotIsAnsweredWithADisconnect) {
    FromRoute(RouteFrame(0x99, 3, 4, {11, 0, 0, 0}));
    EXPECT_EQ(S(3).GetSessionID(), 0u);
    EXPECT_EQ(S(3).GetState(), 0);
    EXPECT_EQ(link_->SendStep(), 1);
    auto sent = ToRoute();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].head.PackType, 3);
    EXPECT_EQ(sent[0].head.SessionID, 0x99u);
    EXPECT_EQ(sent[0].head.PoolIndex, 11);
    EXPECT_TRUE(sent[0].body.empty());
}

TEST_F(GameServerProcessTest, KickByPoolIndexWhateverTheSessionId) {
    int kicked = 0;
    for (std::uint8_t type : {std::uint8_t{3}, std::uint8_t{11}}) {
        int slot = type == 3 ? 5 : 6;
        Online(slot, 0x500 + type, 1);
        FromRoute(RouteFrame(0xDEAD, static_cast<std::uint16_t>(slot), type, {1, 4, 120}));
        EXPECT_EQ(clients_->GetKickListCount(), ++kicked) << int(type);
        auto got = ClientReceived(slot);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], (Bytes{1, 4, 120}));
    }
    FromRoute(RouteFrame(0, 7, 3, {1, 4, 1}));  // slot 7 has a session object but no client
    FromRoute(RouteFrame(0, 300, 3, {1, 4, 1}));
    EXPECT_TRUE(log_.Has(kLevelWarn, "KickOutPlayer ClientUser is NULL,PoolIndex = 300"));
}

TEST_F(GameServerProcessTest, DataReachesOnlyTheSessionWithThatId) {
    Online(1, 0x111, 4);
    FromRoute(RouteFrame(0x111, 1, 1, {2, 1, 0xAB}));
    FromRoute(RouteFrame(0x112, 1, 1, {2, 1, 0xCD}));  // stale id
    FromRoute(RouteFrame(0x111, 1, 7, {2, 1, 0xEF}));  // PackType 7: ignored
    FromRoute(RouteFrame(0x111, 1, 5, {2, 1, 0x01}));  // any other type is data
    FromRoute(RouteFrame(0x111, 400, 1, {2, 1}));      // no such slot
    EXPECT_EQ(link_->GetDroppedCount(), 1);
    auto got = ClientReceived(1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Bytes{2, 1, 0xAB}));
    EXPECT_EQ(got[1], (Bytes{2, 1, 0x01}));
    EXPECT_TRUE(log_.Has(kLevelWarn, "Error PoolIndex = 400"));
    link_->PrepareConnect();
    EXPECT_EQ(link_->GetDroppedCount(), 0);
}

TEST_F(GameServerProcessTest, PacketsSplitAcrossReceives) {
    Online(1, 0x111, 4);
    Bytes two = RouteFrame(0x111, 1, 1, {2, 1, 1});
    Bytes second = RouteFrame(0x111, 1, 1, {2, 1, 2});
    two.insert(two.end(), second.begin(), second.end());
    Bytes head(two.begin(), two.begin() + 20), tail(two.begin() + 20, two.end());
    FromRoute(head);
    FromRoute(tail);
    FromRoute({0xFF, 0xCC, 3, 0, 0, 0, 1, 2, 3});  // payload shorter than a head
    EXPECT_EQ(ClientReceived(1).size(), 2u);
    EXPECT_TRUE(
        log_.Has(kLevelWarn, "GetPackFromGameServer从GameServer出接受的封包不对 : 01 02 03"));
}

// The connect procedure's preparation drops a partial frame of the old link, on the receive
// thread's next step, so the new link's first frame is cut from its first byte.
TEST_F(GameServerProcessTest, AReconnectDropsTheOldLinksPartialFrame) {
    Online(1, 0x111, 4);
    Bytes old = RouteFrame(0x111, 1, 1, {2, 1, 1});
    FromRoute(Bytes(old.begin(), old.begin() + 10));  // half a frame, then the link is replaced
    link_->PrepareConnect();
    FromRoute(RouteFrame(0x111, 1, 1, {2, 1, 2}));
    std::vector<Bytes> got = ClientReceived(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], (Bytes{2, 1, 2}));
}

// A log-in reply for a session that is not announced (free, or reset meanwhile) is not taken.
TEST_F(GameServerProcessTest, LoginReplyIsTakenOnlyByAnAnnouncedSession) {
    Accept(2);
    EXPECT_TRUE(S(2).ApplyLogin(0x42, 5));
    EXPECT_EQ(S(2).GetState(), 3);
    EXPECT_TRUE(S(2).ApplyLogin(0x43, 6));  // a second reply replaces the first
    EXPECT_EQ(S(2).GetSessionID(), 0x43u);
    S(2).ResetObj();
    EXPECT_FALSE(S(2).ApplyLogin(0x44, 7));
    EXPECT_EQ(S(2).GetSessionID(), 0u);
    EXPECT_EQ(S(2).GetPlayerIndexInGameServer(), -1);
    EXPECT_EQ(S(2).GetState(), 0);
}

TEST_F(GameServerProcessTest, LineIdOnlyFromRecordOneOfTypeTwo) {
    g_lineId = 0;
    FromRoute(RouteFrame(0, 0xFFFF, 2, {1, 9, 0, 0, 0}));  // no handler: nothing happens
    EXPECT_EQ(g_lineId.load(), 0u);
    server::SetLineIdHandler(&TakeLineId);
    FromRoute(RouteFrame(0, 0xFFFF, 1, {1, 8, 0, 0, 0}));
    FromRoute(RouteFrame(0, 0xFFFF, 2, {0, 8, 0, 0, 0}));
    EXPECT_EQ(g_lineId.load(), 0u);
    FromRoute(RouteFrame(0, 0xFFFF, 2, {1, 9, 0, 0, 0}));
    EXPECT_EQ(g_lineId.load(), 9u);
}

TEST_F(GameServerProcessTest, ReceiveFailureClearsTheLink) {
    close(peer_);
    peer_ = -1;
    EXPECT_EQ(link_->RecvStep(), 1000);
    EXPECT_FALSE(state_.IsRouteConnected());
    EXPECT_EQ(state_.GetDisconnectCount(), 0);
    EXPECT_TRUE(
        log_.Has(kLevelWarn, "GameServerProcess : 513, Socket Error : closed by the route server"));
}

TEST_F(GameServerProcessTest, SendOrderRecordsFirstThenSessionsFromTheLast) {
    Online(1, 0x111, 4);
    Online(3, 0x333, 6);
    link_->SendStartRecord();
    auto* packet = AllocPacket();
    packet->SetPackType(1);
    packet->SetDestServerType(stGameServer);
    packet->SetSrcServerType(stVevIdor);
    packet->SetSessionID(0x111);
    packet->ReadData(Bytes{2, 1, 0x11});
    S(1).GetRouteQueue().Push(packet);
    packet = AllocPacket();
    packet->SetPackType(1);
    packet->SetDestServerType(stGameServer);
    packet->SetSrcServerType(stVevIdor);
    packet->SetSessionID(0x333);
    packet->ReadData(Bytes{2, 1, 0x33});
    S(3).GetRouteQueue().Push(packet);
    EXPECT_EQ(link_->SendStep(), 0);
    EXPECT_EQ(link_->GetLastSendBytes(), 1 + 3 + 3);
    auto sent = ToRoute();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].head, (tagPackHead{0, 0xFFFF, 2, 5, 7}));
    EXPECT_EQ(sent[0].body, Bytes{0});
    EXPECT_EQ(sent[1].head.SessionID, 0x333u);
    EXPECT_EQ(sent[2].head.SessionID, 0x111u);
    EXPECT_EQ(link_->SendStep(), 1);  // nothing left
}

TEST_F(GameServerProcessTest, NothingLeavesWhileDisabledOrDisconnected) {
    Online(1, 0x111, 4);
    S(1).SendDisconnectNotice();
    link_->Disable();
    EXPECT_EQ(link_->SendStep(), 1);
    link_->Enable();
    state_.SetRouteConnected(false);
    EXPECT_EQ(link_->SendStep(), 1);
    EXPECT_EQ(S(1).GetPile(), 1);
    EXPECT_TRUE(ToRoute().empty());

    // Back on the link: the notice goes out, then the session is reset.
    state_.SetRouteConnected(true);
    EXPECT_EQ(link_->SendStep(), 0);
    auto sent = ToRoute();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].head.PackType, 3);
    EXPECT_EQ(sent[0].head.SessionID, 0x111u);
    EXPECT_EQ(sent[0].head.PoolIndex, 4);
    EXPECT_EQ(S(1).GetState(), 0);
    EXPECT_EQ(S(1).GetSessionID(), 0u);
    EXPECT_EQ(clients_->GetOnlineCount(), 0);
}

TEST_F(GameServerProcessTest, FlushFailureResetsEveryOnlineSession) {
    Online(1, 0x111, 4);
    Accept(2);  // connected, not logged in: its connect notice is waiting
    close(peer_);
    peer_ = -1;
    EXPECT_EQ(link_->SendStep(), 1);
    EXPECT_FALSE(state_.IsRouteConnected());
    EXPECT_TRUE(log_.Has(kLevelWarn, "GameServerProcess : 473 Socket Error : "));
    EXPECT_EQ(clients_->GetOnlineCount(), 0);
    EXPECT_EQ(S(1).GetState(), 0);
    EXPECT_EQ(S(2).GetState(), 0);
}

TEST_F(GameServerProcessTest, GateRecordsOnTheWire) {
    Online(1, 0x111, 4);
    state_.SetServerIdOffset(7);
    state_.SetRunState(3);
    link_->SendGateInfo("127.0.0.1\n10.0.0.2", 19006, true, 1500);
    link_->SendGateInfo("127.0.0.1", 19006, false, 0);
    link_->SendAddressRefresh("127.0.0.1");
    std::array<std::uint64_t, 10> counters{};
    for (std::size_t i = 0; i < counters.size(); ++i) counters[i] = 28 + i;
    link_->SendNetStatistics(counters);
    EXPECT_EQ(link_->SendStep(), 1);
    auto sent = ToRoute();
    ASSERT_EQ(sent.size(), 4u);
    for (const auto& p : sent) EXPECT_EQ(p.head, (tagPackHead{0, 0xFFFF, 2, 5, 7}));

    route::tagRefreshZadoVeziviIP info;
    ASSERT_NE(info.ReadData(sent[0].body, sent[0].body.size()), 0u);
    EXPECT_EQ(info.Address, "127.0.0.1\n10.0.0.2");
    EXPECT_EQ(info.Online, 1u);
    EXPECT_EQ(info.Maximum, 1500u);
    EXPECT_EQ(info.Mobile, 1);
    EXPECT_GT(info.DateTime, 40000.0);
    ASSERT_NE(info.ReadData(sent[1].body, sent[1].body.size()), 0u);
    EXPECT_EQ(info.Maximum, static_cast<std::uint32_t>(kSlots));  // 0: the pool size
    EXPECT_EQ(info.Mobile, 0);

    route::tagRefreshServerState refresh;
    ASSERT_EQ(refresh.ReadData(sent[2].body, sent[2].body.size()), 45u);
    EXPECT_EQ(refresh.ServerId, 100007u);
    EXPECT_EQ(refresh.RunState, 3);
    EXPECT_EQ(refresh.TextString(), "127.0.0.1");
    route::tagIOCPRec stats;
    ASSERT_EQ(stats.ReadData(sent[3].body, sent[3].body.size()), 94u);
    EXPECT_EQ(stats.Counters, counters);
}

}  // namespace
