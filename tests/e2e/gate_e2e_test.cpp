// The whole gate as real processes on loopback: routesim as the route server, the gate started
// with autostart, gateclient and a raw client on the client side.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "tests/e2e/gate_rig.h"

namespace {

namespace fs = std::filesystem;
using e2e::Bytes;
using e2e::Field;
using e2e::GateRig;
using e2e::LauncherSocket;
using e2e::Packet;
using e2e::RawClient;
using Event = e2e::RawClient::Event;

// A raw client that has sent its version record and received its log-in greeting.
bool LoggedIn(RawClient& c, const GateRig& rig, const std::string& source = "") {
    if (!c.connect(rig.gatePort, source)) return false;
    c.sendVersion();
    return c.waitLogin(5000);
}

// Echo of one packet: the next packet the client gets is exactly `p`.
void ExpectEcho(RawClient& c, const Bytes& p, const GateRig& rig) {
    c.send(p);
    Event e = c.next(3000);
    ASSERT_EQ(e.kind, Event::kPacket) << rig.describe();
    EXPECT_EQ(e.bytes, p);
}

bool IsGreeting(const Event& e) {
    return e.kind == Event::kPacket && e.bytes.size() == 14 && e.bytes[0] == 1 && e.bytes[1] == 36;
}

// The client gets {1, 4, reason} and then loses its connection. The route server's greeting
// may come before or after the reason: the session stays connected until the kick closes it.
void ExpectKickThenClose(RawClient& c, int reason, const GateRig& rig) {
    Event e = c.next(3000);
    while (IsGreeting(e)) e = c.next(3000);
    ASSERT_EQ(e.kind, Event::kPacket) << "no kick reason for " << reason << "\n" << rig.describe();
    EXPECT_EQ(e.bytes, (Bytes{1, 4, static_cast<std::uint8_t>(reason)}));
    e = c.next(3000);
    while (IsGreeting(e)) e = c.next(3000);
    EXPECT_EQ(e.kind, Event::kClosed) << "reason " << reason;
}

TEST(GateEndToEnd, StartUpRecordsLogInEchoAndDisconnectNotice) {
    GateRig rig;
    ASSERT_TRUE(rig.start({{"cbb_ThreadNum", "321"}})) << rig.describe();

    // Record 37 comes first, then record 0.
    auto lines = rig.routeLines();
    auto at = [&](const std::string& text) {
        return std::find_if(
                   lines.begin(), lines.end(),
                   [&](const std::string& l) { return l.find(text) != std::string::npos; }) -
               lines.begin();
    };
    std::string info = rig.routeLine("record 37 ");
    ASSERT_FALSE(info.empty()) << rig.describe();
    EXPECT_LT(at("record 37 "), at("record 0 "));
    EXPECT_EQ(Field(info, "ok"), "1");
    EXPECT_EQ(Field(info, "addr"), e2e::LocalAddressesText());
    EXPECT_EQ(Field(info, "port"), std::to_string(rig.gatePort));
    EXPECT_EQ(Field(info, "online"), "0");
    EXPECT_EQ(Field(info, "max"), "321");
    EXPECT_EQ(Field(info, "mobile"), "0");

    // One client by hand: the connect notice carries its address, the greeting comes back
    // through the gate, and packets of several sizes are echoed intact.
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        std::string connect = rig.routeLine("connect pool=" + std::to_string(c.pool));
        EXPECT_EQ(Field(connect, "addr"), "127.0.0.1");
        for (std::size_t size : {1u, 2u, 64u, 1024u}) {
            ExpectEcho(c, Packet(2, 1, size, static_cast<std::uint8_t>(size)), rig);
        }
        c.close();
        // Closing after log-in sends the disconnect notice with the session's id.
        char id[16];
        std::snprintf(id, sizeof id, "0x%x", c.sessionId);
        ASSERT_TRUE(rig.waitRoute(std::string("disconnect session=") + id)) << rig.describe();
        EXPECT_EQ(Field(rig.routeLine("disconnect session="), "known"), "1");
    }

    int code = -1;
    auto j = rig.runClient({"--connections", "20", "--duration", "1", "--window", "8"}, &code);
    ASSERT_FALSE(j.is_null()) << rig.describe();
    EXPECT_EQ(code, 0) << j.dump();
    EXPECT_EQ(j["logged_in"], 20);
    EXPECT_EQ(j["errors"], 0);
    EXPECT_GT(j["recv_packets"].get<long>(), 0);
    EXPECT_EQ(j["recv_packets"], j["sent_packets"]);
    EXPECT_EQ(rig.stopGate(), 0);
}

// Reasons 102 (version record), 108 (too long) and 109 (pile; a maximum pile of 0 makes the
// first forwarded packet exceed it) reach the client before its connection is closed.
TEST(GateEndToEnd, KickReasonsReachTheClientBeforeItsDisconnect) {
    GateRig rig;
    ASSERT_TRUE(rig.start({{"edtMaxClientPackLen", "100"}, {"edtMaxClientPackPile", "0"}}))
        << rig.describe();
    {
        RawClient c;
        ASSERT_TRUE(c.connect(rig.gatePort));
        c.sendVersion(153518005);
        ExpectKickThenClose(c, 102, rig);
    }
    {
        RawClient c;
        ASSERT_TRUE(c.connect(rig.gatePort));
        c.send({1, 34, 0, 0, 0, 0});  // not a version record
        ExpectKickThenClose(c, 102, rig);
    }
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        c.send(Packet(2, 1, 101, 7));
        ExpectKickThenClose(c, 108, rig);
    }
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        c.send(Packet(2, 1, 100, 7));
        ExpectKickThenClose(c, 109, rig);
    }
    EXPECT_TRUE(rig.waitLog("Pack Version conflict!xClientPackVersion.Version = 153518005"));
    EXPECT_TRUE(rig.waitLog("Invalid version no. cmd = 0x1, subcmd = 0x22"));
    EXPECT_TRUE(rig.waitLog("disExceedMaxClientPackLen len = 101 > 100"));
    EXPECT_TRUE(rig.waitLog("disExceedMaxClientPackPile Count = 0 >= 0"));
    EXPECT_EQ(rig.countRoute("unknown session"), 0);
    EXPECT_EQ(rig.stopGate(), 0);
}

TEST(GateEndToEnd, DataBeforeLogInIsRefusedAndDataAfterItIsRelayed) {
    GateRig rig;
    ASSERT_TRUE(rig.start({}, {"--login-delay-ms", "1000"})) << rig.describe();
    RawClient c;
    ASSERT_TRUE(c.connect(rig.gatePort));
    c.sendVersion();
    ASSERT_TRUE(rig.waitRoute("connect pool=")) << rig.describe();
    c.send(Packet(2, 1, 16, 0x30));
    ASSERT_TRUE(rig.waitLog("refuse indirect PackData")) << rig.describe();
    ASSERT_TRUE(c.waitLogin(5000)) << rig.describe();
    Bytes after = Packet(2, 1, 16, 0x40);
    ExpectEcho(c, after, rig);
    // The refused packet never reached the route server.
    rig.routeCommand("stats");
    ASSERT_TRUE(rig.waitRoute("stats ")) << rig.describe();
    EXPECT_EQ(Field(rig.routeLine("stats "), "data_in"), "1");
    EXPECT_EQ(rig.stopGate(), 0);
}

// A route kick ends the session with the route server's reason; a packet with a stale session
// id and a packet of PackType 7 never reach the client.
TEST(GateEndToEnd, RouteKickStaleSessionAndPackType7) {
    GateRig rig;
    ASSERT_TRUE(rig.start()) << rig.describe();
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        rig.routeCommand("stale " + std::to_string(c.pool));
        rig.routeCommand("type7 " + std::to_string(c.pool));
        ASSERT_TRUE(rig.waitRoute("sent type7")) << rig.describe();
        // Both went out before the echo on the same link, so they would arrive first.
        ExpectEcho(c, Packet(2, 1, 20, 0x11), rig);
        EXPECT_EQ(c.next(300).kind, Event::kTimeout);
    }
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        rig.routeCommand("kick " + std::to_string(c.pool) + " 77");
        ExpectKickThenClose(c, 77, rig);
        EXPECT_TRUE(rig.waitLog("atKickOutPlayer PoolIndex:" + std::to_string(c.pool)));
    }
    EXPECT_EQ(rig.stopGate(), 0);
}

// A kick of PackType 11 works like one of PackType 3: here the route server kicks after the
// first echo.
TEST(GateEndToEnd, RouteKickOfPackType11) {
    GateRig rig;
    ASSERT_TRUE(rig.start({}, {"--kick-type", "11", "--kick-after", "1", "--kick-reason", "66"}))
        << rig.describe();
    RawClient c;
    ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
    ExpectEcho(c, Packet(2, 1, 10, 5), rig);
    ExpectKickThenClose(c, 66, rig);
    EXPECT_EQ(rig.stopGate(), 0);
}

// The route server goes away: every session is reset, connections are refused while the link
// is down, and once a route server listens again the relay works on the new link.
TEST(GateEndToEnd, RouteLinkLostAndReestablished) {
    GateRig rig;
    ASSERT_TRUE(rig.start()) << rig.describe();
    RawClient before;
    ASSERT_TRUE(LoggedIn(before, rig)) << rig.describe();

    // A drop by the route server: the gate links again and resets the session.
    rig.routeCommand("drop");
    EXPECT_EQ(before.next(5000).kind, Event::kClosed) << rig.describe();
    ASSERT_TRUE(rig.waitRoute("link up", 2, 8000)) << rig.describe();
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        ExpectEcho(c, Packet(2, 1, 30, 1), rig);
    }

    // The route server ends: connections made meanwhile are closed without a word.
    RawClient held;
    ASSERT_TRUE(LoggedIn(held, rig)) << rig.describe();
    rig.route.signal(SIGTERM);
    ASSERT_TRUE(rig.route.wait(5000).has_value());
    EXPECT_EQ(held.next(5000).kind, Event::kClosed) << rig.describe();
    // The third connect procedure: start, the drop, and now.
    auto connecting = [&] {
        std::string log = rig.gateLog();
        int n = 0;
        for (auto at = log.find("Status: Connecting to RouteServer..."); at != std::string::npos;
             at = log.find("Status: Connecting to RouteServer...", at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(testing_support::WaitUntil([&] { return connecting() >= 3; }, 5000))
        << rig.describe();
    {
        RawClient c;
        ASSERT_TRUE(c.connect(rig.gatePort));
        c.sendVersion();
        EXPECT_EQ(c.next(3000).kind, Event::kClosed) << rig.describe();
    }

    // A new route server on the same port: the gate links to it and relays again.
    ASSERT_TRUE(rig.startRoute()) << rig.describe();
    ASSERT_TRUE(rig.waitRoute("link up", 1, 8000)) << rig.describe();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        RawClient c;
        ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
        ExpectEcho(c, Packet(2, 1, 30, 2), rig);
    }
    int code = -1;
    auto j = rig.runClient({"--connections", "20", "--duration", "1"}, &code);
    ASSERT_FALSE(j.is_null()) << rig.describe();
    EXPECT_EQ(code, 0) << j.dump();
    EXPECT_EQ(j["logged_in"], 20);
    EXPECT_EQ(j["errors"], 0);
    EXPECT_EQ(rig.stopGate(), 0);
}

TEST(GateEndToEnd, BlackListedAddressesAreRefused) {
    GateRig rig;
    std::string list = rig.work / "BlackList.ini";
    std::ofstream(list) << "127.0.0.9\n127.0.0.2\n";
    ASSERT_TRUE(rig.start({{"cbb_AcceptMode", "1"}, {"edt_AcceptFile", list}})) << rig.describe();
    for (int i = 0; i < 2; ++i) {
        RawClient c;
        ASSERT_TRUE(c.connect(rig.gatePort, "127.0.0.2"));
        c.sendVersion();
        EXPECT_EQ(c.next(3000).kind, Event::kClosed) << rig.describe();
    }
    EXPECT_TRUE(rig.waitLog("Refuse connection.Client IP 127.0.0.2"));
    RawClient ok;
    ASSERT_TRUE(LoggedIn(ok, rig, "127.0.0.3")) << rig.describe();
    ExpectEcho(ok, Packet(2, 1, 12, 3), rig);
    EXPECT_EQ(rig.countRoute("addr=127.0.0.2"), 0);
    EXPECT_EQ(rig.countRoute("addr=127.0.0.3"), 1);
    EXPECT_EQ(rig.stopGate(), 0);
}

// The mobile filter file lets (2,1) through and drops (2,3); one-byte packets are never checked.
// The gate reports itself as mobile.
TEST(GateEndToEnd, PacketFilterDropsUnlistedPairs) {
    GateRig rig;
    std::string folder = rig.work / "filters";
    fs::create_directories(folder);
    std::ofstream(folder + "/MobilePacketFilterConfig.txt")
        << "cmd\tsub\tdrop\n2\t1\t0\n2\t3\t1\n0x02\t0x04\t0\n";
    ASSERT_TRUE(rig.start(
        {{"chkIsUsePackFilter", "1"}, {"cbbPacketFilter", "1"}, {"edtPackFilterConfig", folder}}))
        << rig.describe();
    EXPECT_EQ(Field(rig.routeLine("record 37 "), "mobile"), "1");
    RawClient c;
    ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
    c.send(Packet(2, 3, 8, 0x21));
    c.send(Packet(2, 2, 8, 0x22));
    c.send({7});
    Bytes pass = Packet(2, 1, 8, 0x23);
    c.send(pass);
    Bytes pass4 = Packet(2, 4, 8, 0x24);
    c.send(pass4);
    for (const Bytes& expected : {Bytes{7}, pass, pass4}) {
        Event e = c.next(3000);
        ASSERT_EQ(e.kind, Event::kPacket) << rig.describe();
        EXPECT_EQ(e.bytes, expected);
    }
    EXPECT_EQ(c.next(300).kind, Event::kTimeout);
    EXPECT_EQ(rig.stopGate(), 0);
}

// 32771 after the start, 32773 to a launcher set by command 103 (a text of three parts changes
// nothing), and command 101 sends 32770 and ends the process with exit code 0.
TEST(GateEndToEnd, LauncherMessagesAndStopCommand) {
    GateRig rig;
    rig.writeConfig();
    LauncherSocket first(rig.launcherSocketPath("Cls", "Wnd"));
    LauncherSocket second(rig.launcherSocketPath("Cls2", "Wnd2"));
    ASSERT_TRUE(first.ok() && second.ok());
    ASSERT_TRUE(rig.startRoute());
    ASSERT_TRUE(rig.startGate("Cls", "Wnd"));
    ASSERT_TRUE(rig.waitReady()) << rig.describe();
    EXPECT_EQ(first.next(5000), 32771u) << rig.describe();

    ASSERT_TRUE(rig.control(103, "Cls2|Wnd2")) << rig.describe();
    EXPECT_EQ(second.next(5000), 32773u) << rig.describe();
    ASSERT_TRUE(rig.control(103, "Cls|Wnd|X"));
    ASSERT_TRUE(rig.control(103, "Cls"));
    EXPECT_EQ(first.next(300), std::nullopt);

    ASSERT_TRUE(rig.control(101, ""));
    EXPECT_EQ(rig.gate.wait(10000), 0) << rig.describe();
    EXPECT_EQ(second.next(1000), 32770u);
    EXPECT_EQ(first.next(100), std::nullopt);
    EXPECT_TRUE(rig.waitRoute("link down", 1, 3000)) << rig.describe();
}

TEST(GateEndToEnd, SigtermEndsTheGateCleanly) {
    GateRig rig;
    ASSERT_TRUE(rig.start()) << rig.describe();
    RawClient c;
    ASSERT_TRUE(LoggedIn(c, rig)) << rig.describe();
    EXPECT_EQ(rig.stopGate(), 0) << rig.describe();
    EXPECT_EQ(c.next(3000).kind, Event::kClosed);
    EXPECT_TRUE(rig.waitRoute("link down", 1, 3000)) << rig.describe();
    EXPECT_EQ(rig.gate.stderrText().find("Sanitizer"), std::string::npos);
    EXPECT_FALSE(fs::exists(rig.controlSocketPath()));
}

TEST(GateEndToEnd, FiveHundredClientsEchoIntactAndInOrder) {
    GateRig rig;
    ASSERT_TRUE(rig.start({}, {"--quiet"})) << rig.describe();
    int code = -1;
    auto j = rig.runClient({"--connections", "500", "--sources", "50", "--duration", "2", "--size",
                            "200", "--window", "4", "--login-timeout-ms", "10000"},
                           &code, 60000);
    ASSERT_FALSE(j.is_null()) << rig.describe();
    EXPECT_EQ(code, 0) << j.dump();
    EXPECT_EQ(j["connected"], 500);
    EXPECT_EQ(j["logged_in"], 500);
    EXPECT_EQ(j["mismatch"], 0);
    EXPECT_EQ(j["reorder"], 0);
    EXPECT_EQ(j["unexpected"], 0);
    EXPECT_EQ(j["lost"], 0);
    EXPECT_EQ(j["closed_by_gate"], 0);
    EXPECT_GE(j["sent_packets"].get<long>(), 500 * 4);
    EXPECT_EQ(j["recv_packets"], j["sent_packets"]);
    EXPECT_EQ(rig.stopGate(), 0);
    // A clean run leaves no error or fatal line in the gate's log.
    std::string log = rig.gateLog();
    EXPECT_EQ(log.find(" Error ["), std::string::npos) << log.substr(0, 3000);
    EXPECT_EQ(log.find(" Fatal ["), std::string::npos) << log.substr(0, 3000);
}

}  // namespace
