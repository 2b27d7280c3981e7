// The packet recorder: counting, the record cap, filter modes and watch strings, notify, export.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "diag/recorder/pack_recorder.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(OneWayPackRec, DisabledDirectionStillCounts) {
    OneWayPackRec dir("Test Recv");
    const Bytes p = {0xFF, 0xCC, 0x0A};
    dir.record(p);
    dir.record(p);
    EXPECT_EQ(dir.recordCount(), 0);
    EXPECT_EQ(dir.counter(), 2u);
    dir.setEnabled(true);
    dir.record(p, 0x1234, 7);
    ASSERT_EQ(dir.rebuildView(), 1);
    auto shown = dir.shownAt(0);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->Serial, 3u);  // shows that two were skipped
    EXPECT_EQ(shown->HexText, "FF CC 0A ");
    EXPECT_EQ(shown->Data, p);
    EXPECT_EQ(shown->SessionID, 0x1234u);
    EXPECT_EQ(shown->PackOrder, 7);
    EXPECT_EQ(shown->TimeText.size(), 8u);
    EXPECT_FALSE(dir.shownAt(1).has_value());
    EXPECT_FALSE(dir.shownAt(-1).has_value());

    // Clearing keeps the numbering.
    dir.clear();
    EXPECT_EQ(dir.rebuildView(), 0);
    dir.record(p);
    EXPECT_EQ(dir.shownAt(0)->Serial, 4u);
}

TEST(OneWayPackRec, StartsAgainFromEmptyAtTheCap) {
    OneWayPackRec dir("Cap Send");
    dir.setEnabled(true);
    const Bytes p = {1};
    for (std::size_t i = 0; i < OneWayPackRec::kMaxRecords; ++i) dir.record(p);
    EXPECT_EQ(dir.recordCount(), 100000);
    dir.record(p);
    EXPECT_EQ(dir.recordCount(), 1);
    EXPECT_EQ(dir.shownAt(0)->Serial, 100001u);
}

TEST(OneWayPackRec, FilterModesAndWatchStrings) {
    OneWayPackRec dir("Filter Recv");
    dir.setEnabled(true);
    dir.record(Bytes{0xAB, 0x01});
    dir.record(Bytes{0x02, 0x03});
    dir.record(Bytes{0x0A, 0xBC});  // "0A BC": "AB" does not occur across the blank

    dir.setFilterMode(kFilterShowOnly);
    EXPECT_EQ(dir.rebuildView(), 0);  // no watch strings: nothing matches
    dir.setFilterMode(kFilterHide);
    EXPECT_EQ(dir.rebuildView(), 3);

    dir.addWatch("ab");  // lower case never matches the upper-case text
    dir.setFilterMode(kFilterShowOnly);
    EXPECT_EQ(dir.rebuildView(), 0);
    dir.addWatch("AB");
    dir.addWatch("03");
    EXPECT_EQ(dir.watchCount(), 3);
    EXPECT_EQ(dir.rebuildView(), 2);
    EXPECT_EQ(dir.shownAt(0)->Serial, 1u);
    EXPECT_EQ(dir.shownAt(1)->Serial, 2u);
    dir.setFilterMode(kFilterHide);
    EXPECT_EQ(dir.rebuildView(), 1);
    EXPECT_EQ(dir.shownAt(0)->Serial, 3u);

    dir.deleteWatch(5);  // ignored
    dir.deleteWatch(0);
    EXPECT_EQ(dir.watchAt(0), "AB");
    EXPECT_EQ(dir.watchAt(9), "");
    dir.clearWatches();
    EXPECT_EQ(dir.watchCount(), 0);
    dir.setFilterMode(kFilterNone);
    EXPECT_EQ(dir.rebuildView(), 3);
}

TEST(OneWayPackRec, NotifiesOnlyForRecordsTheViewShows) {
    OneWayPackRec dir("Notify Recv");
    dir.setEnabled(true);
    int calls = 0;
    dir.setNotify([](void* c) { ++*static_cast<int*>(c); }, &calls);
    dir.record(Bytes{1});
    EXPECT_EQ(calls, 1);
    dir.addWatch("01");
    dir.setFilterMode(kFilterHide);
    dir.record(Bytes{1});
    dir.record(Bytes{2});
    EXPECT_EQ(calls, 2);
    dir.setFilterMode(kFilterShowOnly);
    dir.record(Bytes{1});
    dir.record(Bytes{2});
    EXPECT_EQ(calls, 3);
    dir.clearNotify();
    dir.record(Bytes{1});
    EXPECT_EQ(calls, 3);
    dir.setEnabled(false);
    dir.setNotify([](void* c) { ++*static_cast<int*>(c); }, &calls);
    dir.record(Bytes{1});
    EXPECT_EQ(calls, 3);
}

TEST(OneWayPackRec, ExportLinesInViewOrder) {
    tagOnePackData data;
    data.Serial = 12;
    data.TimeText = "09:05:01";
    data.SessionID = 0xBEEF;
    data.PackOrder = -3;
    data.Data = {0xFF, 0xCC};
    data.HexText = "FF CC ";
    EXPECT_EQ(FormatExportLine(data), "12 [09:05:01] [0xbeef:-3](2) FF CC \r\n");

    OneWayPackRec dir("Export Send");
    dir.setEnabled(true);
    dir.record(Bytes{0x11}, 1, 1);
    dir.record(Bytes{0x22}, 2, 2);
    dir.addWatch("22");
    dir.setFilterMode(kFilterShowOnly);
    dir.rebuildView();
    const std::string text = dir.exportShown();
    EXPECT_EQ(text.find("1 ["), std::string::npos);
    EXPECT_EQ(text.rfind("2 [", 0), 0u);
    EXPECT_NE(text.find("] [0x2:2](1) 22 \r\n"), std::string::npos);
}

TEST(OneWayPackRec, RecordingWhileTheViewReadsAndClears) {
    OneWayPackRec dir("Race Recv");
    dir.setEnabled(true);
    dir.setFilterMode(kFilterHide);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const Bytes p = {1, 2, 3};
        while (!stop) dir.record(p);
    });
    for (int i = 0; i < 2000; ++i) {
        dir.addWatch("02");
        int n = dir.rebuildView();
        if (n > 0) (void)dir.shownAt(n - 1);
        if (i % 100 == 0) dir.clear();
        dir.clearWatches();
    }
    stop = true;
    writer.join();
    SUCCEED();
}

TEST(PackRecorderManager, CreatesFindsAndSwitchesRecorders) {
    PackRecorderManager manager;
    PackRecorder* route = manager.createRecorder("RouteServer", 3);
    PackRecorder* gate = manager.createRecorder("VevIdor", 7);
    PackRecorder* user = manager.createRecorder("UserDefine", 0);
    EXPECT_EQ(manager.recorderCount(), 3);
    EXPECT_EQ(manager.recorderAt(0), route);
    EXPECT_EQ(manager.recorderAt(2), user);
    EXPECT_EQ(manager.recorderAt(3), nullptr);
    EXPECT_EQ(manager.recorderFor(7), gate);
    EXPECT_EQ(manager.recorderFor(5), nullptr);
    EXPECT_EQ(route->recv().name(), "RouteServer Recv");
    EXPECT_EQ(route->send().name(), "RouteServer Send");
    EXPECT_EQ(gate->id(), 7);

    manager.enableAll(true);
    EXPECT_TRUE(user->recv().enabled());
    EXPECT_TRUE(user->send().enabled());
    int calls = 0;
    route->recv().setNotify([](void* c) { ++*static_cast<int*>(c); }, &calls);
    manager.clearNotify();
    route->recv().record(Bytes{1});
    EXPECT_EQ(calls, 0);
    manager.enableAll(false);
    EXPECT_FALSE(route->recv().enabled());
    EXPECT_EQ(&GetPackRecorderManager(), &GetPackRecorderManager());
}

}  // namespace
