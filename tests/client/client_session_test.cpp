// The client session and the client process against a scripted network service: message
// sequences, checks and kicks, route-bound queueing, send grouping and the session reset. A
// small route consumer stands in for the route link. Every test ends with the pool balanced.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "client/client_process.h"
#include "client/client_user.h"
#include "packet/packet_pool.h"
#include "tests/client/client_wire.h"
#include "tests/client/fake_net_service.h"
#include "tests/client/temp_dir.h"
#include "tests/packet/log_capture.h"

namespace {

using testing_support::ClientFrame;
using testing_support::FakeNetService;
using testing_support::LogCapture;
using testing_support::ReadGateFrames;
using testing_support::VersionRecord;
using Bytes = std::vector<std::uint8_t>;

constexpr int kWarn = kLevelWarn;
constexpr int kDebugLevel = kLevelDebug;

std::atomic<std::uint32_t> g_tick{1000};
std::atomic<bool> g_linkUp{true};
std::uint32_t FakeTick() {
    return g_tick.load();
}
bool FakeLink() {
    return g_linkUp.load();
}

// What the route link would have taken from a session's route-bound queue.
struct RoutePacket {
    tagPackHead head;
    Bytes body;
    bool last = false;
};

class ClientSessionTest : public ::testing::Test {
  protected:
    static constexpr int kSlots = 4;

    void SetUp() override {
        (void)GetPacketPool();
        poolStart_ = MMORPG::PacketsInUse();
        g_tick = 1000;
        g_linkUp = true;
        svc_ = new FakeNetService(kSlots);
        proc_ = std::make_unique<ClientProcess>(svc_);
        proc_->SetTickSource(&FakeTick);
        proc_->SetRouteLinkQuery(&FakeLink);
        ASSERT_TRUE(proc_->StartService(19006, kSlots));
        svc_->AnnounceSlots();
        proc_->ProcessNetMsg();
        ASSERT_EQ(proc_->GetPoolSize(), kSlots);
    }
    void TearDown() override {
        proc_.reset();
        EXPECT_EQ(MMORPG::PacketsInUse(), poolStart_) << "pool out of balance";
    }

    ClientUser& S(int i) { return *proc_->GetClientByIndex(i); }
    void Pump() { proc_->ProcessNetMsg(); }
    // One worker round after the clock moved on.
    void Round(std::uint32_t advanceMs = 0) {
        g_tick += advanceMs;
        proc_->ProcessRound();
    }

    // The route consumer: drains the queue, resets the session after its last packet.
    std::vector<RoutePacket> Drain(int i) {
        std::vector<RoutePacket> out;
        MMORPG::MMORPGPacket_Stack work;
        while (S(i).GetRouteQueue().PacketPop(&work) != 0) {
            out.push_back({work.m_PackHead, Bytes(work.Body().begin(), work.Body().end()),
                           work.IsLastPack()});
            if (work.IsLastPack()) S(i).ResetObj();
        }
        return out;
    }
    // Accepts a connection on slot i and takes the connect notice.
    void Accept(int i, const std::string& ip = "10.1.2.3") {
        svc_->Accept(static_cast<std::uint32_t>(i), ip);
        Pump();
    }
    // The route server's log-in reply, as the route link applies it.
    void Login(int i, std::uint32_t sid, std::int32_t player) {
        S(i).SetSessionID(sid);
        S(i).SetPlayerIndexInGameServer(player);
        S(i).SetState(3);
    }
    void Recv(int i, std::span<const std::uint8_t> bytes) {
        svc_->Push(NET_MSG_ON_RECV, static_cast<std::uint32_t>(i), bytes);
        Pump();
    }
    void SendPacket(int i, const Bytes& plain) { Recv(i, ClientFrame(plain, S(i).GetPackOrder())); }
    // Accepted, version record passed, logged in, connect notice drained.
    void Online(int i, std::uint32_t sid, std::int32_t player) {
        Accept(i);
        SendPacket(i, VersionRecord());
        ASSERT_EQ(S(i).GetPackOrder(), 251);
        Drain(i);
        Login(i, sid, player);
    }
    std::vector<Bytes> ClientReceived(int i) {
        return ReadGateFrames(svc_->TakeSent(static_cast<std::uint32_t>(i)));
    }

    int poolStart_ = 0;
    FakeNetService* svc_ = nullptr;  // owned by proc_
    std::unique_ptr<ClientProcess> proc_;
    LogCapture log_;
};

TEST_F(ClientSessionTest, ConstructionValues) {
    EXPECT_EQ(proc_->GetMinSendInterval(), 20u);
    EXPECT_EQ(proc_->GetMaxPackToSend(), 270);
    EXPECT_EQ(proc_->GetMaxClientPackLen(), 1024);
    EXPECT_EQ(proc_->GetMaxClientPackPile(), 100);
    EXPECT_EQ(proc_->GetAppVersion(), 0u);
    EXPECT_EQ(proc_->GetEffectiveAppVersion(), 153518004u);
    EXPECT_FALSE(proc_->GetRefuseConnect());
    EXPECT_EQ(svc_->lastParamId_, 1);
    EXPECT_EQ(svc_->lastParamValue_, 536870912u);
    EXPECT_EQ(S(2).GetPlayerIndexInGameServer(), -1);
    EXPECT_EQ(S(2).GetPackOrder(), 250);
    EXPECT_EQ(proc_->GetClientByIndex(-1), nullptr);
    EXPECT_EQ(proc_->GetClientByIndex(kSlots), nullptr);
    EXPECT_EQ(proc_->INetProcess::GetClientByIndex(kSlots), nullptr);
}

TEST_F(ClientSessionTest, AcceptRegistersAndAnnouncesTheConnection) {
    Accept(2, "192.168.10.200");
    EXPECT_EQ(S(2).GetState(), 2);
    ASSERT_EQ(proc_->GetOnlineCount(), 1);
    EXPECT_EQ(proc_->GetOnlineClient(0), &S(2));
    EXPECT_EQ(proc_->GetConnectStatic().recordCount(), 1);
    const auto packets = Drain(2);
    ASSERT_EQ(packets.size(), 1u);
    const RoutePacket& p = packets[0];
    EXPECT_EQ(p.head.PackType, 4);
    EXPECT_EQ(p.head.SrcServerType, 7);
    EXPECT_EQ(p.head.DestServerType, 5);
    EXPECT_EQ(p.head.PoolIndex, 0xFFFF);
    EXPECT_EQ(p.head.SessionID, 0u);
    Bytes expected(21, 0);
    expected[1] = 2;
    const std::string ip = "192.168.10.200";
    std::copy(ip.begin(), ip.end(), expected.begin() + 5);
    EXPECT_EQ(p.body, expected);
    EXPECT_FALSE(p.last);
}

TEST_F(ClientSessionTest, OnlineIndexIsInPoolIndexOrder) {
    for (int i : {3, 0, 2}) Accept(i);
    ASSERT_EQ(proc_->GetOnlineCount(), 3);
    EXPECT_EQ(proc_->GetOnlineClient(0), &S(0));
    EXPECT_EQ(proc_->GetOnlineClient(1), &S(2));
    EXPECT_EQ(proc_->GetOnlineClient(2), &S(3));
    EXPECT_EQ(proc_->GetOnlineClient(3), nullptr);
    // Registering twice keeps one entry; removing an absent one is reported.
    proc_->RegisterClient(&S(2));
    EXPECT_EQ(proc_->GetOnlineCount(), 3);
    proc_->ClientDisconnect(&S(1));
    EXPECT_TRUE(log_.Has(kWarn, "ClientProcess::ClientDisconnect delete failed!"));
    EXPECT_EQ(proc_->GetOnlineCount(), 3);
    for (int i : {0, 2, 3}) Drain(i);
}

TEST_F(ClientSessionTest, RefusedConnections) {
    // Route link down: closed silently and not counted.
    g_linkUp = false;
    Accept(0);
    EXPECT_EQ(svc_->Closes(0), 1);
    EXPECT_EQ(proc_->GetConnectStatic().recordCount(), 0);
    Pump();  // the close comes back as message 107
    EXPECT_EQ(S(0).GetState(), 0);
    g_linkUp = true;

    // Refuse flag: closed.
    proc_->SetRefuseConnect(true);
    Accept(1);
    EXPECT_EQ(svc_->Closes(1), 1);
    proc_->SetRefuseConnect(false);

    // Black-listed address: refused, closed, but counted.
    TempDir dir;
    const std::string file = dir.path() + "/black.ini";
    std::ofstream(file) << "10.9.9.9\n";
    proc_->GetAcceptFilter().setMode(CAcceptFilter::kModeBlackList);
    ASSERT_TRUE(proc_->GetAcceptFilter().load(file));
    Accept(2, "10.9.9.9");
    EXPECT_TRUE(log_.Has(kWarn, "Refuse connection.Client IP 10.9.9.9"));
    EXPECT_EQ(svc_->Closes(2), 1);
    EXPECT_EQ(proc_->GetConnectStatic().recordCount(), 1);
    Pump();
    EXPECT_EQ(proc_->GetOnlineCount(), 0);
    EXPECT_TRUE(Drain(2).empty());
}

TEST_F(ClientSessionTest, VersionRecordChecks) {
    struct Case {
        const char* name;
        Bytes first;
        const char* line;  // expected warn line, null when accepted
    };
    const Case cases[] = {
        {"good", VersionRecord(), nullptr},
        {"wrong version", VersionRecord(153518005),
         "Pack Version conflict!xClientPackVersion.Version = 153518005"},
        {"command 2", VersionRecord(153518004, 2), "Invalid version no. cmd = 0x2, subcmd = 0x23"},
        {"sub-command 36", VersionRecord(153518004, 1, 36),
         "Invalid version no. cmd = 0x1, subcmd = 0x24"},
        {"3 bytes", Bytes{1, 35, 0xB4}, "Invalid version no. cmd = 0x1, subcmd = 0x23"},
        {"empty", Bytes{}, "Invalid version no. cmd = 0x0, subcmd = 0x0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_.Reset();
        Accept(1);
        Drain(1);
        SendPacket(1, c.first);
        EXPECT_TRUE(Drain(1).empty()) << "a version record is never forwarded";
        Round(25);
        const auto received = ClientReceived(1);
        if (c.line == nullptr) {
            EXPECT_EQ(S(1).GetPackOrder(), 251);
            EXPECT_TRUE(received.empty());
            EXPECT_EQ(proc_->GetKickListCount(), 0);
        } else {
            EXPECT_TRUE(log_.Has(kWarn, c.line));
            EXPECT_EQ(S(1).GetPackOrder(), 250);
            ASSERT_EQ(received.size(), 1u);
            EXPECT_EQ(received[0], (Bytes{1, 4, 102}));
            EXPECT_EQ(proc_->GetKickListCount(), 1);
        }
        // End the connection (the kick list closes kicked ones).
        for (int t = 0; t < 25 && svc_->Connected(1); ++t) Round(50);
        if (svc_->Connected(1)) svc_->PeerClose(1);
        Pump();
        EXPECT_EQ(S(1).GetState(), 0);
        EXPECT_EQ(proc_->GetKickListCount(), 0);
    }
}

TEST_F(ClientSessionTest, KickedClientIsClosedBetween500And1000Ms) {
    Online(0, 0x1234, 7);
    Round(0);  // first kick-list check only notes the time
    const std::uint32_t kickedAt = g_tick;
    S(0).KickWithReason(109);
    EXPECT_TRUE(log_.Has(
        kWarn, "ClientUser::Kick, sessionID = 0x1234, poolIndex = 0, indexInGameServer = 7"));
    std::uint32_t closedAt = 0;
    for (int t = 0; t < 40 && closedAt == 0; ++t) {
        Round(50);
        if (!svc_->Connected(0)) closedAt = g_tick;
    }
    ASSERT_NE(closedAt, 0u);
    EXPECT_GT(closedAt - kickedAt, 500u);
    EXPECT_LE(closedAt - kickedAt, 1050u);
    // The player was logged in: the route server is told that it left, once (message 107
    // of the close adds nothing), and the session is freed when that notice is written.
    Round(0);
    std::vector<RoutePacket> notices = Drain(0);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].head.PackType, 3);
    EXPECT_EQ(notices[0].head.SessionID, 0x1234u);
    EXPECT_TRUE(notices[0].last);
    EXPECT_EQ(S(0).GetState(), 0);
    EXPECT_EQ(S(0).GetSessionID(), 0u);
}

// Kicks do not pile up: a client that keeps sending after its kick gets one reason packet,
// one kick-list entry, and is closed on time.
TEST_F(ClientSessionTest, AKickedClientIsKickedOnceWhateverItSendsMeanwhile) {
    Online(0, 0x55, 1);
    proc_->SetMaxClientPackLen(8);
    Round(0);
    const std::uint32_t kickedAt = g_tick;
    // One chunk with several over-long packets, then more chunks every 100 ms.
    Bytes chunk;
    for (int i = 0; i < 5; ++i) {
        Bytes frame = ClientFrame(Bytes(20, 0x41), S(0).GetPackOrder() + i);
        chunk.insert(chunk.end(), frame.begin(), frame.end());
    }
    Recv(0, chunk);
    EXPECT_EQ(proc_->GetKickListCount(), 1);
    std::uint32_t closedAt = 0;
    for (int t = 0; t < 30 && closedAt == 0; ++t) {
        Recv(0, ClientFrame(Bytes(20, 0x42), 300 + t));
        Round(100);
        if (!svc_->Connected(0)) closedAt = g_tick;
    }
    ASSERT_NE(closedAt, 0u);
    EXPECT_LE(closedAt - kickedAt, 1150u);
    std::vector<Bytes> received = ClientReceived(0);
    int reasons = 0;
    for (const Bytes& b : received) reasons += b == Bytes{1, 4, 108} ? 1 : 0;
    EXPECT_EQ(reasons, 1);
}

TEST_F(ClientSessionTest, ProxyHeaderBeforeTheFirstPacketIsDropped) {
    Accept(0);
    const std::string tgw = "tgw_l7_forward\r\nHost: x\r\n\r\n";
    Recv(0, Bytes(tgw.begin(), tgw.end()));
    EXPECT_TRUE(log_.Has(kLevelInfo, "Recv tgw: tgw_l7_forward"));
    EXPECT_EQ(S(0).GetPackOrder(), 250);
    SendPacket(0, VersionRecord());
    EXPECT_EQ(S(0).GetPackOrder(), 251);
    Drain(0);
    Login(0, 0x55, 3);
    // After the first packet the same text is packet data.
    const Bytes data(tgw.begin(), tgw.end());
    SendPacket(0, data);
    const auto packets = Drain(0);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].body, data);
    EXPECT_EQ(packets[0].head.PackType, 1);
    EXPECT_EQ(packets[0].head.SessionID, 0x55u);
    EXPECT_EQ(packets[0].head.PoolIndex, 3);
}

TEST_F(ClientSessionTest, DataBeforeLoginIsRefused) {
    Accept(0);
    SendPacket(0, VersionRecord());
    Drain(0);
    SendPacket(0, Bytes{5, 6, 7});
    EXPECT_TRUE(
        log_.Has(kWarn, "ClientUser::OnGetPack PoolIndex:0 refuse indirect PackData:05 06 07 "));
    EXPECT_TRUE(Drain(0).empty());
    EXPECT_EQ(S(0).GetPackOrder(), 252);
}

TEST_F(ClientSessionTest, LengthAndPileLimits) {
    Online(0, 0x10, 1);
    SendPacket(0, Bytes(1024, 0x42));
    ASSERT_EQ(Drain(0).size(), 1u);
    SendPacket(0, Bytes(1025, 0x42));
    EXPECT_TRUE(log_.Has(kDebugLevel, "disExceedMaxClientPackLen len = 1025 > 1024"));
    EXPECT_TRUE(Drain(0).empty());
    Round(25);
    EXPECT_EQ(ClientReceived(0), (std::vector<Bytes>{{1, 4, 108}}));

    Online(1, 0x11, 2);
    for (int i = 0; i < 100; ++i) SendPacket(1, Bytes{9, 9});
    EXPECT_EQ(S(1).GetPile(), 100);
    EXPECT_EQ(proc_->GetKickListCount(), 1);  // only slot 0's kick so far
    SendPacket(1, Bytes{9, 9});
    EXPECT_TRUE(log_.Has(kDebugLevel, "disExceedMaxClientPackPile Count = 100 >= 100"));
    EXPECT_EQ(S(1).GetPile(), 100);
    Round(25);
    EXPECT_EQ(ClientReceived(1), (std::vector<Bytes>{{1, 4, 109}}));
    Drain(1);
}

TEST_F(ClientSessionTest, PacketFilterDropsRejectedPairsSilently) {
    TempDir dir;
    const std::string file = dir.path() + "/filter.txt";
    std::ofstream(file) << "header\n5\t1\t0\n5\t2\t1\n";
    ASSERT_TRUE(proc_->GetPacketFilter().load(file));
    ASSERT_TRUE(proc_->GetPacketFilter().isEnabled());
    Online(0, 0x20, 0);
    SendPacket(0, Bytes{5, 2, 0});
    SendPacket(0, Bytes{5, 1, 0});
    SendPacket(0, Bytes{5});  // too short for the pair: never read, passes
    const auto packets = Drain(0);
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_EQ(packets[0].body, (Bytes{5, 1, 0}));
    EXPECT_EQ(packets[1].body, (Bytes{5}));
    EXPECT_EQ(S(0).GetPackOrder(), 254);
}

TEST_F(ClientSessionTest, SendGroupingAndEnciphering) {
    Online(0, 0x30, 4);
    // The consumer answers through the session's send-to-client operation.
    const Bytes answer = {0x10, 0x20, 0x30, 0x40};
    ASSERT_TRUE(S(0).SendToClient(answer));
    EXPECT_TRUE(S(0).IsActive());
    Round(0);  // long since the last flush: sent at once
    const Bytes raw = svc_->TakeSent(0);
    ASSERT_EQ(raw.size(), 10u);
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + 6), (Bytes{0xFF, 0xCC, 4, 0, 0, 0}));
    EXPECT_NE(Bytes(raw.begin() + 6, raw.end()), answer) << "body is enciphered";
    EXPECT_EQ(ReadGateFrames(raw), (std::vector<Bytes>{answer}));

    S(0).SendToClient(answer);
    Round(5);
    EXPECT_TRUE(svc_->TakeSent(0).empty()) << "waits for the 20 ms interval";
    Round(14);
    EXPECT_TRUE(svc_->TakeSent(0).empty());
    Round(2);
    EXPECT_EQ(ClientReceived(0).size(), 1u);

    for (int i = 0; i < 269; ++i) S(0).SendToClient(answer);
    Round(1);
    EXPECT_TRUE(svc_->TakeSent(0).empty()) << "269 waiting do not force a send";
    S(0).SendToClient(answer);
    Round(1);
    EXPECT_EQ(ClientReceived(0).size(), 270u);
}

TEST_F(ClientSessionTest, DisconnectBeforeAndAfterLogin) {
    Accept(0);
    Drain(0);
    svc_->PeerClose(0);
    Pump();
    EXPECT_TRUE(log_.Has(kWarn, "ClientProcess::OnClientDisconnect Index = 0 SessionID = 0x0"));
    EXPECT_EQ(S(0).GetState(), 0);
    EXPECT_EQ(proc_->GetOnlineCount(), 0);
    EXPECT_TRUE(Drain(0).empty()) << "no notice without a session id";

    Online(1, 0x4444, 9);
    svc_->PeerClose(1);
    Pump();
    EXPECT_TRUE(log_.Has(kWarn, "m_SessionID = 0x4444 GameServerIndex = 9 index = 1"));
    EXPECT_EQ(S(1).GetState(), 3) << "freed only after the notice is sent";
    EXPECT_EQ(proc_->GetOnlineCount(), 1);
    // A second notice for the same session is not queued.
    S(1).SendDisconnectNotice();
    MMORPG::MMORPGPacket_Stack work;
    ASSERT_EQ(S(1).GetPile(), 1);
    const auto packets = Drain(1);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].head.PackType, 3);
    EXPECT_EQ(packets[0].head.SessionID, 0x4444u);
    EXPECT_EQ(packets[0].head.PoolIndex, 9);
    EXPECT_TRUE(packets[0].body.empty());
    EXPECT_TRUE(packets[0].last);
    EXPECT_EQ(S(1).GetState(), 0);
    EXPECT_EQ(proc_->GetOnlineCount(), 0);
}

TEST_F(ClientSessionTest, AcceptOnASlotWhosePlayerIsStillOnline) {
    Online(0, 0x77, 1);
    svc_->PeerClose(0);
    Pump();  // notice queued, not yet sent
    svc_->Accept(0, "10.0.0.8");
    Pump();
    EXPECT_TRUE(log_.Has(kWarn, "如果这个玩家还没有下线, 断开和此玩家的连接 sid = 0x77"));
    EXPECT_EQ(S(0).GetPile(), 1) << "the notice waits; the new connection is not registered";
    EXPECT_EQ(S(0).GetState(), 3);
    // ... and is closed at once, so that nothing it sends can pass as the old player's.
    EXPECT_FALSE(svc_->Connected(0));
    Drain(0);  // the route link sends the notice and resets the slot, closing the connection
    EXPECT_EQ(S(0).GetState(), 0);
    EXPECT_FALSE(svc_->Connected(0));
    Pump();
    // The slot is usable again.
    Accept(0);
    EXPECT_EQ(S(0).GetState(), 2);
    Drain(0);
}

TEST_F(ClientSessionTest, PumpEdgeCases) {
    Accept(0);
    // Message 103 while the session is still online: the new connection is closed.
    svc_->Push(NET_MSG_ON_CLIENTCONNECT, 0);
    Pump();
    EXPECT_TRUE(log_.Has(kDebugLevel, "如果客户端连接上来, 这个时候此信道的内容还未清空"));
    EXPECT_EQ(proc_->GetConnectStatic().snapshot().at(0).totalConnections, 1u);
    Pump();
    // Message 104 for a session that is not online calls nothing.
    log_.Reset();
    svc_->Push(NET_MSG_ON_CLOSE, 1);
    Pump();
    EXPECT_FALSE(log_.Has(kWarn, "OnClientDisconnect"));
    // A connection index the service does not know ends the pass; the rest waits.
    svc_->Push(NET_MSG_ON_CLIENTCONNECT, 99);
    svc_->Accept(2, "10.0.0.2");
    Pump();
    EXPECT_TRUE(log_.Has(kWarn, "NET_MSG_ON_CLIENTCONNECT curZRNetClient == NULL"));
    EXPECT_EQ(S(2).GetState(), 0);
    Pump();
    EXPECT_EQ(S(2).GetState(), 2);
    Drain(0);
    Drain(2);
}

TEST_F(ClientSessionTest, DispatchQueueAndRunningFlag) {
    Online(0, 0x90, 0);
    MMORPG::MMORPGPacket* good = AllocPacket();
    good->ReadData(Bytes{1, 2, 3});
    good->SetTargetIndex(0);
    MMORPG::MMORPGPacket* bad = AllocPacket();
    bad->ReadData(Bytes{4});
    bad->SetTargetIndex(77);
    proc_->PostPacket(bad);
    proc_->PostPacket(good);
    Round(25);
    EXPECT_TRUE(log_.Has(kWarn, "ThreadDispToAllClient error packet:"));
    EXPECT_EQ(proc_->GetDispatchQueue().GetCount(), 1) << "the rest waits for the next step";
    Round(25);
    EXPECT_EQ(ClientReceived(0), (std::vector<Bytes>{{1, 2, 3}}));

    proc_->StopService();
    S(0).SendToClient(Bytes{8});
    Round(25);
    EXPECT_EQ(S(0).GetSendCount(), 1) << "nothing is sent while stopped";
    EXPECT_TRUE(svc_->TakeSent(0).empty());
}

TEST_F(ClientSessionTest, FailedSendResetsOnlyThatSession) {
    Online(0, 0xA0, 0);
    Online(1, 0xA1, 1);
    svc_->SetRefuseSend(0, true);  // a client that does not read: its send buffer is full
    for (int i = 0; i < 3; ++i) {
        S(0).SendToClient(Bytes{1});
        S(1).SendToClient(Bytes{2});
    }
    Round(25);
    EXPECT_TRUE(log_.Has(kWarn, "send error"));
    EXPECT_EQ(S(0).GetSendCount(), 0);
    EXPECT_EQ(S(0).GetState(), 0);
    EXPECT_EQ(svc_->Closes(0), 1);
    EXPECT_EQ(ClientReceived(1).size(), 3u);
    EXPECT_EQ(S(1).GetState(), 3);
    Round(0);
    Drain(1);
}

TEST_F(ClientSessionTest, BadInputKeepsOtherSessionsAndThePool) {
    Online(0, 0xB0, 0);
    Online(1, 0xB1, 1);
    const std::vector<Bytes> garbage = {
        Bytes(40, 0x00),                               // garbage
        Bytes{0xFF, 0xCD, 3, 0, 0, 0, 1, 2, 3},        // wrong frame tag
        Bytes{0xFF, 0xCC, 0xFF, 0xFF, 0xFF, 0xFF, 1},  // 4 GB length field
    };
    for (const Bytes& chunk : garbage) {
        Recv(0, chunk);
        EXPECT_TRUE(Drain(0).empty());
        SendPacket(0, Bytes{3, 3});  // the next chunk is cut afresh
        EXPECT_EQ(Drain(0).size(), 1u);
    }
    // A frame that announces more than any acceptable packet is not buffered up to its end.
    Bytes head = {0xFF, 0xCC, 0x00, 0x00, 0x10, 0x00};  // 1 MiB
    Recv(0, head);
    Recv(0, Bytes(2000, 0x11));
    EXPECT_FALSE(log_.Has(kDebugLevel, "disExceedMaxClientPackLen"));
    Recv(0, Bytes(2000, 0x11));  // the kept bytes already exceed the limit: kicked, dropped
    EXPECT_TRUE(log_.Has(kDebugLevel, "disExceedMaxClientPackLen"));
    Round(25);
    EXPECT_EQ(ClientReceived(0), (std::vector<Bytes>{{1, 4, 108}}));
    // A message length beyond the record's data area is cut to it.
    Recv(1, Bytes(5000, 0x00));
    EXPECT_TRUE(log_.Has(kWarn, "length = 5000 > 4096"));

    // A client that disconnects in the middle of a frame: the slot is reset and reused, and the
    // next connection starts with its own version record.
    const Bytes frame = ClientFrame(Bytes(100, 0x22), S(1).GetPackOrder());
    Recv(1, Bytes(frame.begin(), frame.begin() + 50));
    svc_->PeerClose(1);
    Pump();
    Drain(1);
    EXPECT_EQ(S(1).GetState(), 0);
    Accept(1);
    SendPacket(1, VersionRecord());
    EXPECT_EQ(S(1).GetPackOrder(), 251);
    Drain(1);

    // A client that connects and never speaks stays as it is; the others are untouched.
    Accept(2);
    for (int t = 0; t < 5; ++t) Round(100);
    EXPECT_EQ(S(2).GetState(), 2);
    EXPECT_EQ(S(1).GetState(), 2);
    svc_->PeerClose(2);
    Round(0);
    EXPECT_EQ(S(2).GetState(), 0);
    for (int t = 0; t < 25; ++t) Round(50);
    EXPECT_FALSE(svc_->Connected(0));
    for (int i = 0; i < 3; ++i) Drain(i);
    EXPECT_EQ(MMORPG::PacketsInUse(), poolStart_ + 0) << "everything drained is back";
}

TEST_F(ClientSessionTest, StaleKickEntryLeavesANewConnectionAlone) {
    Online(0, 0xC0, 0);
    Round(0);
    S(0).KickWithReason(102);
    Round(25);           // the reason leaves
    svc_->PeerClose(0);  // the client goes first
    Round(0);
    Drain(0);   // notice sent, slot reset
    Accept(0);  // a new player on the same slot
    for (int t = 0; t < 25; ++t) Round(50);
    EXPECT_TRUE(svc_->Connected(0)) << "the old kick does not close the new connection";
    EXPECT_EQ(S(0).GetState(), 2);
    EXPECT_EQ(proc_->GetKickListCount(), 0);
    Drain(0);
}

TEST_F(ClientSessionTest, MaintainEveryTenSecondsAndResetAll) {
    Round(0);
    Round(5000);
    Round(5000);
    EXPECT_EQ(svc_->maintains_, 1);
    Round(10000);
    EXPECT_EQ(svc_->maintains_, 2);
    Online(0, 1, 1);
    Online(3, 2, 2);
    proc_->ResetAllClients();
    EXPECT_EQ(proc_->GetOnlineCount(), 0);
    EXPECT_EQ(S(3).GetSessionID(), 0u);
    Round(0);
}

}  // namespace
