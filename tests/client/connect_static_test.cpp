// Connection statistics: totals, the fixed 60-second period with its maximum, the view rows,
// the export and a reader beside the counting thread.
#include "client/connect_static.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace {

// A statistics object on a hand-driven clock: tick in ms, date-time = the tick as days.
class ConnectStaticTest : public ::testing::Test {
  protected:
    std::uint32_t tick = 1000;
    CConnectStatic stats{[this] { return tick; }, [this] { return static_cast<double>(tick); }};

    tagConnectStaticByIP connectAt(std::uint32_t at, const char* address = "10.0.0.1") {
        tick = at;
        return stats.countConnection(address);
    }
};

TEST_F(ConnectStaticTest, FixedPeriodOfSixtySecondsAndItsMaximum) {
    EXPECT_EQ(connectAt(1000).currentFrequency, 1);
    EXPECT_EQ(connectAt(31000).currentFrequency, 2);
    auto third = connectAt(61000);  // exactly 60 s after the period opened: still inside
    EXPECT_EQ(third.currentFrequency, 3);
    EXPECT_EQ(third.maxFrequency, 3);
    EXPECT_EQ(third.maxFrequencyTime, 61000.0);

    auto fourth = connectAt(61001);
    EXPECT_EQ(fourth.currentFrequency, 1);
    EXPECT_EQ(fourth.periodStart, 61001u);
    EXPECT_EQ(fourth.maxFrequency, 3);
    EXPECT_EQ(fourth.maxFrequencyTime, 61000.0);  // only raising the maximum moves its time
    EXPECT_EQ(fourth.totalConnections, 4u);

    // The new period is a fixed window too: 61001 + 60000 is its last millisecond.
    connectAt(90000);
    connectAt(121001);
    auto next = connectAt(121002);
    EXPECT_EQ(next.currentFrequency, 1);
    EXPECT_EQ(next.maxFrequency, 3);
}

TEST_F(ConnectStaticTest, PeriodSurvivesTickWrapAround) {
    connectAt(0xFFFFF000u);
    EXPECT_EQ(connectAt(0x00001000u).currentFrequency, 2);  // 8192 ms later across the wrap
    EXPECT_EQ(connectAt(0x00001000u + 60000u).currentFrequency, 1);
}

TEST_F(ConnectStaticTest, RecordsPerAddressInOrderFirstSeen) {
    connectAt(1000, "10.0.0.2");
    connectAt(1000, "10.0.0.1");
    connectAt(2000, "10.0.0.2");
    connectAt(3000, "10.0.0.2 ");  // exact text: another address
    ASSERT_EQ(stats.recordCount(), 3);
    auto rows = stats.snapshot();
    EXPECT_EQ(rows[0].address, "10.0.0.2");
    EXPECT_EQ(rows[0].totalConnections, 2u);
    EXPECT_EQ(rows[1].address, "10.0.0.1");
    EXPECT_EQ(rows[1].totalConnections, 1u);
    EXPECT_EQ(rows[2].address, "10.0.0.2 ");
    EXPECT_EQ(stats.record(0)->maxFrequency, 2);
    EXPECT_FALSE(stats.record(3));
    EXPECT_FALSE(stats.record(-1));
}

TEST(ConnectStatic, ViewRowTexts) {
    tagConnectStaticByIP record{"10.0.0.7", 18446744073709551615ull, 5, 4, 9, 45000.5};
    EXPECT_EQ(ConnectStaticColumns(record),
              (std::array<std::string, 5>{"10.0.0.7", "18446744073709551615", "4", "9",
                                          "2023-03-15 12:00:00"}));
    EXPECT_EQ(MaxConnectFreqCaption(), "最大连接频率(周期:60秒,超过导出)");
}

TEST_F(ConnectStaticTest, ExportListsAddressesAboveTheThreshold) {
    connectAt(1000, "10.0.0.1");  // max 1
    connectAt(1000, "10.0.0.2");  // max 3
    connectAt(1100, "10.0.0.2");
    connectAt(1200, "10.0.0.2");
    connectAt(1000, "10.0.0.3");  // max 2
    connectAt(1300, "10.0.0.3");

    EXPECT_EQ(ConnectStaticExportText(stats, 0), "10.0.0.1\n10.0.0.2\n10.0.0.3\n");
    EXPECT_EQ(ConnectStaticExportText(stats, 2), "10.0.0.2\n");
    EXPECT_EQ(ConnectStaticExportText(stats, 3), "");

    TempDir dir;
    EXPECT_EQ(DefaultExportFile(dir.path()), dir.path() + "/BlackList.ini");
    std::string file = dir.write("BlackList.ini", "old content that is longer\n");
    std::vector<std::string> notices;
    auto notice = [&](const std::string&, const std::string& text) { notices.push_back(text); };
    ASSERT_TRUE(ExportConnectStatic(stats, 1, file, notice));
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "10.0.0.2\n10.0.0.3\n");
    EXPECT_TRUE(notices.empty());

    std::string bad = dir.file("no/such/folder/BlackList.ini");
    EXPECT_FALSE(ExportConnectStatic(stats, 1, bad, notice));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "Save File " + bad + " Exception:No such file or directory");
}

TEST(ConnectStatic, ReadersBesideTheCountingThread) {
    CConnectStatic stats;
    constexpr int kAddresses = 50;
    constexpr int kRounds = 200;
    std::thread worker([&] {
        for (int round = 0; round < kRounds; ++round) {
            for (int a = 0; a < kAddresses; ++a)
                stats.countConnection("10.0.1." + std::to_string(a));
        }
    });
    std::uint64_t lastTotal = 0;
    bool consistent = true;
    for (int i = 0; i < 200; ++i) {
        std::uint64_t total = 0;
        for (const auto& row : stats.snapshot()) {
            total += row.totalConnections;
            consistent = consistent && row.maxFrequency >= row.currentFrequency &&
                         row.totalConnections >= static_cast<std::uint64_t>(row.currentFrequency);
        }
        consistent = consistent && total >= lastTotal;
        lastTotal = total;
        stats.addressesAbove(0);
    }
    worker.join();
    EXPECT_TRUE(consistent);
    EXPECT_EQ(stats.recordCount(), kAddresses);
    EXPECT_EQ(stats.record(kAddresses - 1)->totalConnections, static_cast<std::uint64_t>(kRounds));
}

}  // namespace
