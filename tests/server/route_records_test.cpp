// The route link's records and the shared run state: exact wire images, read-back and the
// checks on lengths, the server id range and the disconnection count.
#include "server/route_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "packet/wire.h"
#include "server/run_state.h"
#include "tests/packet/log_capture.h"

namespace {

using testing_support::LogCapture;

TEST(RouteRecords, GateInfoLayout) {
    route::tagRefreshZadoVeziviIP r;
    r.DateTime = 45000.25;
    r.Address = "10.0.0.1";
    r.Port = 19006;
    r.Online = 3;
    r.Maximum = 1500;
    r.Mobile = 1;
    std::vector<std::uint8_t> b = r.Write();
    ASSERT_EQ(b.size(), 36u);
    EXPECT_EQ(b[0], 37);
    EXPECT_EQ(wire::LoadLE<double>(&b[1]), 45000.25);
    EXPECT_EQ(b[9], 0);
    EXPECT_EQ(wire::LoadLE<std::uint32_t>(&b[10]), 0u);
    EXPECT_EQ(b[14], 0);
    EXPECT_EQ(wire::LoadLE<std::uint16_t>(&b[15]), 8);
    EXPECT_EQ(std::string(b.begin() + 17, b.begin() + 25), "10.0.0.1");
    EXPECT_EQ(wire::LoadLE<std::uint16_t>(&b[25]), 19006);
    EXPECT_EQ(wire::LoadLE<std::uint32_t>(&b[27]), 3u);
    EXPECT_EQ(wire::LoadLE<std::uint32_t>(&b[31]), 1500u);
    EXPECT_EQ(b[35], 1);

    route::tagRefreshZadoVeziviIP back;
    EXPECT_EQ(back.ReadData(b, b.size()), 36u);
    EXPECT_EQ(back.Address, "10.0.0.1");
    EXPECT_EQ(back.Port, 19006);
    EXPECT_EQ(back.Maximum, 1500u);
    EXPECT_EQ(back.Mobile, 1);
    // A text that claims more bytes than expected, or a body one byte long, reads as 0.
    EXPECT_EQ(back.ReadData(b, 20), 0u);
    LogCapture log;
    b.push_back(0);
    EXPECT_EQ(back.ReadData(b, b.size()), 0u);
    EXPECT_TRUE(log.Has(kLevelWarn, "Error in tagRefreshZadoVeziviIP"));
}

TEST(RouteRecords, AddressRefreshCutsTextAt30) {
    route::tagRefreshServerState r;
    r.ServerId = 100007;
    r.RunState = 3;
    r.DateTime = 1.5;
    r.SetText(std::string(40, 'a'));
    auto b = r.Write();
    ASSERT_EQ(b.size(), 45u);
    EXPECT_EQ(b[0], 39);
    EXPECT_EQ(wire::LoadLE<std::uint32_t>(&b[1]), 100007u);
    EXPECT_EQ(b[5], 3);
    EXPECT_EQ(wire::LoadLE<double>(&b[6]), 1.5);
    EXPECT_EQ(b[14], 0);
    EXPECT_EQ(std::string(b.begin() + 15, b.end()), std::string(30, 'a'));  // no terminator

    r.SetText("short");
    b = r.Write();
    EXPECT_EQ(b[15 + 5], 0);
    route::tagRefreshServerState back;
    EXPECT_EQ(back.ReadData(b, b.size()), 45u);
    EXPECT_EQ(back.TextString(), "short");
}

TEST(RouteRecords, NetStatisticsLayout) {
    route::tagIOCPRec r;
    r.ServerId = 100000;
    r.RunState = 6;
    for (std::size_t i = 0; i < r.Counters.size(); ++i) r.Counters[i] = 0x0102030405060700ull + i;
    auto b = r.Write();
    ASSERT_EQ(b.size(), 94u);
    EXPECT_EQ(b[0], 63);
    EXPECT_EQ(b[5], 6);
    for (std::size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(wire::LoadLE<std::uint64_t>(&b[14 + 8 * i]), 0x0102030405060700ull + i);
    }
    route::tagIOCPRec back;
    EXPECT_EQ(back.ReadData(b, b.size()), 94u);
    EXPECT_EQ(back.Counters, r.Counters);
}

TEST(RouteRecords, LoginReplyOfAnyLength) {
    struct Case {
        std::vector<std::uint8_t> body;
        std::int32_t index;
        bool logged;
    };
    const Case cases[] = {
        {{7, 0, 0, 0}, 7, false},
        {{0xFF, 0xFF, 0xFF, 0xFF}, -1, false},
        {{7, 0, 0, 0, 9}, 7, true},  // longer: the first 4 bytes are used
        {{7, 1}, 0x107, true},       // shorter: nothing beyond the body is read
        {{}, 0, true},
    };
    for (const Case& c : cases) {
        LogCapture log;
        route::tagGameServerPlayerLogin r;
        r.indexInGameServer = 55;
        r.ReadData(c.body, c.body.size());
        EXPECT_EQ(r.indexInGameServer, c.index) << c.body.size();
        EXPECT_EQ(log.Has(kLevelWarn, "Error in tagGameServerPlayerLogin : "), c.logged)
            << c.body.size();
    }
}

TEST(RouteRecords, ConnectNoticeAndRouteRecords) {
    auto notice = route::BuildConnectNotice(5, "123.123.123.123X");  // fills all 16
    route::ConnectNotice n;
    ASSERT_TRUE(route::ReadConnectNotice(notice, n));
    EXPECT_EQ(n.PoolIndex, 5u);
    EXPECT_EQ(n.Address, "123.123.123.123X");
    EXPECT_FALSE(route::ReadConnectNotice(std::span(notice).first(20), n));

    route::RouteGateRecord g;
    auto rec = route::BuildRouteGateRecord(1, 9);
    ASSERT_TRUE(route::ReadRouteGateRecord(rec, g));
    EXPECT_EQ(g.Id, 1);
    EXPECT_TRUE(g.HasValue);
    EXPECT_EQ(g.Value, 9u);
    std::uint8_t only[1] = {1};
    ASSERT_TRUE(route::ReadRouteGateRecord(only, g));
    EXPECT_FALSE(g.HasValue);
    EXPECT_FALSE(route::ReadRouteGateRecord({}, g));
}

TEST(RunState, ServerIdOffsetRange) {
    struct Case {
        std::int32_t offset;
        std::int32_t id;
    };
    const Case cases[] = {{0, 100000}, {99999, 199999},     {100000, 199999},   {-1, 199999},
                          {5, 100005}, {INT32_MAX, 100005}, {INT32_MIN, 100005}};
    server::GateRunState state;
    EXPECT_EQ(state.GetServerId(), 0);
    for (const Case& c : cases) {
        state.SetServerIdOffset(c.offset);
        EXPECT_EQ(state.GetServerId(), c.id) << c.offset;
    }
}

TEST(RunState, EveryClearingCountsADisconnection) {
    server::GateRunState state;
    EXPECT_FALSE(state.IsRouteConnected());
    EXPECT_EQ(state.GetDisconnectCount(), -1);
    state.SetRouteConnected(true);
    EXPECT_EQ(state.GetDisconnectCount(), -1);
    state.SetRouteConnected(false);
    state.SetRouteConnected(false);
    EXPECT_EQ(state.GetDisconnectCount(), 1);
    EXPECT_FALSE(state.IsRouteConnected());
    state.SetRunState(server::kRunStateRunning);
    EXPECT_EQ(state.GetRunState(), 3);
}

}  // namespace
