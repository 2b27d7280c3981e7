// Rate counter windows.
#include "thread/sec_counter.h"

#include <gtest/gtest.h>

namespace {

TEST(SecCounterTest, TheFirstCallOpensTheWindowAndDropsItsPacket) {
    SecCounter counter(1000);
    counter.addBytesAt(100, 5000);
    EXPECT_EQ(counter.byteRateAt(5999), 0u);   // window not over yet
    EXPECT_EQ(counter.byteRateAt(6250), 80u);  // 100 * 1000 / 1250
    EXPECT_EQ(counter.packetRateAt(6250), 0u);
    EXPECT_EQ(counter.totalBytes(), 100u);
}

TEST(SecCounterTest, RatesOfAClosedWindow) {
    struct Case {
        std::uint32_t bytesPerPacket, packets, elapsed, byteRate, packetRate;
    } cases[] = {
        {1000, 3, 1500, 2000, 2},
        {100, 10, 1000, 1000, 10},
        // A busy link: 40 MB in one second must not wrap at 32 bits.
        {64, 625'000, 1000, 40'000'000, 625'000},
    };
    for (const Case& c : cases) {
        SecCounter counter(1000);
        counter.updateAt(100);  // opens the window at 100
        for (std::uint32_t i = 0; i < c.packets; ++i) counter.addBytesAt(c.bytesPerPacket, 200);
        EXPECT_EQ(counter.byteRateAt(100 + c.elapsed), c.byteRate) << c.packets;
        EXPECT_EQ(counter.packetRateAt(100 + c.elapsed), c.packetRate) << c.packets;
        // Read again within the next interval: the same rates.
        EXPECT_EQ(counter.byteRateAt(150 + c.elapsed), c.byteRate);
    }
}

TEST(SecCounterTest, ElapsedTimeIsUnsignedAcrossTheTickWrap) {
    SecCounter counter(1000);
    counter.updateAt(0xFFFFFF00u);
    counter.addBytesAt(500, 0xFFFFFF10u);
    EXPECT_EQ(counter.byteRateAt(0xFFFFFF00u + 1000u), 500u);  // wrapped to 0x2E8
}

TEST(SecCounterTest, DescribeAndReset) {
    SecCounter counter(1000);
    EXPECT_EQ(counter.describe(), "0.00 kb/s, total: 0.00 kb Cnt: 0");
    counter.updateAt(10);
    counter.addBytesAt(2048, 20);
    counter.updateAt(1010);
    EXPECT_EQ(counter.byteRateAt(1500), 2048u);
    counter.reset();
    EXPECT_EQ(counter.totalBytes(), 0u);
    EXPECT_EQ(counter.interval(), 1000u);
}

}  // namespace
