// The packet-type filter: file format, decisions, apply of its settings, short packets and
// reloads under a reading thread.
#include "client/packet_filter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

#include "fake_settings.h"
#include "temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

bool Allows(const CPacketFilter& filter, Bytes packet) {
    return filter.allows(packet);
}

// Before every case the filter is on with a table that lets only (9, 9) through, so that a load
// that must leave the filter untouched can be told from one that replaced the table.
struct LoadCase {
    const char* name;
    std::optional<std::string> content;  // none: no file
    bool loads;                          // load's answer
    bool enabledAfter;
    bool tableKept;                                   // (9, 9) still passes, as before the load
    std::vector<std::tuple<int, int, bool>> rejects;  // (command, sub-command, rejected)
};

class PacketFilterLoad : public ::testing::TestWithParam<LoadCase> {};

TEST_P(PacketFilterLoad, StoresTheFileAsTheCaseSays) {
    const LoadCase& c = GetParam();
    TempDir dir;
    CPacketFilter filter;
    ASSERT_TRUE(filter.load(dir.write("base.txt", "header\n9\t9\t0\n")));
    ASSERT_TRUE(filter.isEnabled());

    std::string path = c.content ? dir.write("case.txt", *c.content) : dir.file("none.txt");
    EXPECT_EQ(filter.load(path), c.loads);
    EXPECT_EQ(filter.isEnabled(), c.enabledAfter);
    EXPECT_EQ(!filter.rejects(9, 9), c.tableKept);
    for (auto [command, sub, rejected] : c.rejects) {
        EXPECT_EQ(
            filter.rejects(static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(sub)),
            rejected)
            << "command " << command << " sub-command " << sub;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, PacketFilterLoad,
    ::testing::Values(
        LoadCase{"OneAllowedPair",
                 "cmd\tsub\tdrop\n1\t23\t0\n",
                 true,
                 true,
                 false,
                 {{1, 0x23, false}, {1, 0x24, true}, {0x23, 1, true}, {0, 0, true}}},
        LoadCase{"NonZeroDecisionDrops", "h\n1\t23\t5\n", true, true, false, {{1, 0x23, true}}},
        LoadCase{"DecisionMultipleOf256StillDrops",
                 "h\n1\t23\t256\n",
                 true,
                 true,
                 false,
                 {{1, 0x23, true}}},
        LoadCase{"HexWithAndWithoutPrefix",
                 "h\n0x0A\t0X1f\t0\na\tFF\t0\n",
                 true,
                 true,
                 false,
                 {{10, 0x1f, false}, {10, 0xff, false}, {10, 0x10, true}}},
        LoadCase{"BlanksAroundFields", "h\n  0x2 \t 3\t 0 \n", true, true, false, {{2, 3, false}}},
        LoadCase{"LaterLineOverrides",
                 "h\n4\t4\t0\n4\t4\t1\n5\t5\t1\n5\t5\t0\n",
                 true,
                 true,
                 false,
                 {{4, 4, true}, {5, 5, false}}},
        LoadCase{"ExtraFieldsIgnored", "h\n6\t6\t0\tnote\t\n", true, true, false, {{6, 6, false}}},
        LoadCase{"NotANumberReadsAsZero",
                 "h\nzz\t7\t0\n8\t8\tpass\n",
                 true,
                 true,
                 false,
                 {{0, 7, false}, {8, 8, false}}},
        LoadCase{"HeaderLineIsNeverData",
                 "1\t1\t0\n2\t2\t0\n",
                 true,
                 true,
                 false,
                 {{1, 1, true}, {2, 2, false}}},
        LoadCase{"CrLfAndNoFinalLineEnd",
                 "h\r\n1\t1\t0\r\n2\t2\t0",
                 true,
                 true,
                 false,
                 {{1, 1, false}, {2, 2, false}}},
        LoadCase{"TwoFieldsFailButGoodLinesStay",
                 "h\n1\t1\t0\n1\t2\n",
                 false,
                 false,
                 false,
                 {{1, 1, false}, {1, 2, true}}},
        LoadCase{"CommandOutOfRange", "h\n100\t1\t0\n", false, false, false, {{0, 1, true}}},
        LoadCase{"NegativeSubCommand", "h\n1\t-1\t0\n", false, false, false, {}},
        LoadCase{"HugeNumber", "h\n1\tFFFFFFFFFFFFFFFFFFFF\t0\n", false, false, false, {}},
        LoadCase{"BlankLineIsBad",
                 "h\n1\t1\t0\n\n2\t2\t0\n",
                 false,
                 false,
                 false,
                 {{1, 1, false}, {2, 2, false}}},
        LoadCase{"CommentLineIsBad", "h\n# pass all\n", false, false, false, {}},
        LoadCase{"HeaderOnlyKeepsState", "header\n", false, true, true, {{1, 1, true}}},
        LoadCase{"EmptyFileKeepsState", "", false, true, true, {}},
        LoadCase{"MissingFileKeepsState", std::nullopt, false, true, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PacketFilter, StartsOffAndResetSetsFlagWithAllDropped) {
    TempDir dir;
    CPacketFilter filter;
    EXPECT_FALSE(filter.isEnabled());
    EXPECT_TRUE(filter.rejects(0, 0));
    EXPECT_TRUE(Allows(filter, {1, 1}));  // off: everything passes

    ASSERT_TRUE(filter.load(dir.write("f.txt", "h\n1\t1\t0\n")));
    EXPECT_TRUE(Allows(filter, {1, 1, 7}));
    EXPECT_FALSE(Allows(filter, {1, 2}));

    filter.reset(false);
    EXPECT_FALSE(filter.isEnabled());
    EXPECT_TRUE(filter.rejects(1, 1));
    EXPECT_TRUE(Allows(filter, {1, 2}));

    filter.reset(true);
    EXPECT_TRUE(filter.isEnabled());
    EXPECT_FALSE(Allows(filter, {1, 1}));
}

TEST(PacketFilter, PacketsShorterThanTwoBytesAreNeverReadAndPass) {
    CPacketFilter filter;
    filter.reset(true);  // on, every pair dropped
    // Exact-size heap blocks, so that a read past the end shows under the address sanitizer.
    auto one = std::make_unique<std::uint8_t[]>(1);
    one[0] = 1;
    EXPECT_TRUE(filter.allows({one.get(), 1}));
    EXPECT_TRUE(filter.allows({one.get(), 0}));
    EXPECT_TRUE(filter.allows({}));
    auto two = std::make_unique<std::uint8_t[]>(2);
    EXPECT_FALSE(filter.allows({two.get(), 2}));
}

// Every table loaded here lets (5, 5) through and drops (6, 6); a reader must never see
// anything else, however the reloads interleave with its checks.
TEST(PacketFilter, ReloadNeverShowsReadersAHalfWrittenTable) {
    TempDir dir;
    std::string a = "h\n5\t5\t0\n";
    std::string b = "h\n5\t5\t0\n";
    for (int sub = 0; sub < 256; ++sub) {
        for (int command : {1, 2, 3, 4}) {
            a += Hex(command) + "\t" + Hex(sub) + "\t0\n";
            b += Hex(command + 16) + "\t" + Hex(sub) + "\t0\n";
        }
    }
    std::string fileA = dir.write("a.txt", a);
    std::string fileB = dir.write("b.txt", b);

    CPacketFilter filter;
    ASSERT_TRUE(filter.load(fileA));

    std::atomic<bool> stop{false};
    std::atomic<long> checks{0};
    std::atomic<long> wrong{0};
    std::thread reader([&] {
        const Bytes allowed{5, 5, 0};
        const Bytes dropped{6, 6, 0};
        while (!stop.load(std::memory_order_relaxed)) {
            if (!filter.allows(allowed) || filter.allows(dropped) || !filter.isEnabled()) ++wrong;
            ++checks;
        }
    });
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(filter.load(i % 2 ? fileA : fileB));
    while (checks.load() < 1000) std::this_thread::yield();
    stop = true;
    reader.join();

    EXPECT_EQ(wrong.load(), 0) << "of " << checks.load() << " checks";
    EXPECT_FALSE(filter.rejects(1, 0x80));  // the last load was file A
    EXPECT_TRUE(filter.rejects(17, 0x80));
}

struct ApplyCase {
    const char* name;
    bool use;
    std::string folder;  // "<tmp>" is replaced with the temporary folder
    int kind;
    bool enabledAfter;
    bool useAfter;
    std::optional<std::pair<int, int>> passing;  // a pair that passes afterwards
};

class PacketFilterApply : public ::testing::TestWithParam<ApplyCase> {};

// The folder holds a PC file letting (1, 1) through and a Mobile file letting (2, 2) through;
// its sub-folder "bad" holds a PC file with a bad line; the executable's folder is "exe".
TEST_P(PacketFilterApply, ChangesFilterAndSettingsInMemory) {
    const ApplyCase& c = GetParam();
    TempDir dir;
    dir.write("PCPacketFilterConfig.txt", "h\n1\t1\t0\n");
    dir.write("MobilePacketFilterConfig.txt", "h\n2\t2\t0\n");
    std::filesystem::create_directories(dir.file("bad"));
    dir.write("bad/PCPacketFilterConfig.txt", "h\n1\t1\t0\n1\t1\n");
    std::filesystem::create_directories(dir.file("exe"));
    dir.write("exe/PCPacketFilterConfig.txt", "h\n3\t3\t0\n");

    FakeSettings settings;
    settings.declareFilterDefaults();
    settings.setBool("chkIsUsePackFilter", c.use);
    std::string folder = c.folder;
    if (auto at = folder.find("<tmp>"); at != std::string::npos) folder.replace(at, 5, dir.path());
    settings.setString("edtPackFilterConfig", folder.c_str());
    settings.setInt("cbbPacketFilter", c.kind);

    CPacketFilter filter;
    filter.reset(true);  // something to be switched off
    EXPECT_EQ(ApplyPackFilterSettings(filter, settings, dir.file("exe")), c.enabledAfter);
    EXPECT_EQ(filter.isEnabled(), c.enabledAfter);
    EXPECT_EQ(settings.getBool("chkIsUsePackFilter", true), c.useAfter);
    EXPECT_EQ(settings.saves, 0);
    if (c.passing) {
        auto [command, sub] = *c.passing;
        EXPECT_FALSE(
            filter.rejects(static_cast<std::uint8_t>(command), static_cast<std::uint8_t>(sub)));
    }
    if (!c.enabledAfter) {
        EXPECT_TRUE(filter.rejects(1, 1));  // switched off means reset
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, PacketFilterApply,
    ::testing::Values(
        ApplyCase{"NotUsed", false, "<tmp>", 0, false, false, std::nullopt},
        ApplyCase{"Pc", true, "<tmp>", 0, true, true, std::pair{1, 1}},
        ApplyCase{"Mobile", true, "<tmp>", 1, true, true, std::pair{2, 2}},
        ApplyCase{"FolderWithTrailingSlash", true, "<tmp>/", 1, true, true, std::pair{2, 2}},
        ApplyCase{"BackslashesReadAsSlashes", true, "<tmp>\\exe", 0, true, true, std::pair{3, 3}},
        ApplyCase{"EmptyFolderIsTheExecutablesFolder", true, "", 0, true, true, std::pair{3, 3}},
        ApplyCase{"UnknownKind", true, "<tmp>", 2, false, false, std::nullopt},
        ApplyCase{"MissingFile", true, "<tmp>/nowhere", 0, false, false, std::nullopt},
        ApplyCase{"BadLine", true, "<tmp>/bad", 0, false, false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
