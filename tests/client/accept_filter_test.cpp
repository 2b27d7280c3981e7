// The accept filter: black and white list decisions, hit records, accept file quirks and the
// apply of its settings with the operator notices.
#include "client/accept_filter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fake_settings.h"
#include "temp_dir.h"

namespace {

// Listed: 10.0.0.1 (twice), fe80::ab (upper case in the file), " 10.0.0.2" (leading blank),
// "10.0.0.3 " (trailing blank), 10.0.0.4 behind a CR LF, and a comment line.
constexpr const char* kList =
    "10.0.0.1\n10.0.0.1\nFE80::AB\n 10.0.0.2\n10.0.0.3 \n# 10.0.0.5\n10.0.0.4\r\n";

struct DecisionCase {
    int mode;
    const char* address;
    bool admitted;
    bool counted;
};

TEST(AcceptFilter, DecisionsByModeAndAddress) {
    TempDir dir;
    const DecisionCase cases[] = {
        {0, "10.0.0.1", true, false},  {0, "10.9.9.9", true, false},
        {1, "10.0.0.1", false, true},  {1, " 10.0.0.1\t", false, true},
        {1, "fe80::ab", false, true},  {1, "FE80::ab", false, true},
        {1, "10.0.0.2", true, false},  {1, " 10.0.0.2", true, false},
        {1, "10.0.0.3", true, false},  {1, "10.0.0.4", false, true},
        {1, "10.0.0.5", true, false},  {1, "10.0.0.11", true, false},
        {2, "10.0.0.1", true, true},   {2, "10.9.9.9", false, false},
        {2, "10.0.0.2", false, false}, {2, "fe80::AB", true, true},
        {5, "10.0.0.1", true, false},  {-1, "10.9.9.9", true, false},
    };
    std::string path = dir.write("list.ini", kList);
    for (const DecisionCase& c : cases) {
        CAcceptFilter filter;
        ASSERT_TRUE(filter.load(path));
        filter.setMode(c.mode);
        EXPECT_EQ(filter.check(c.address), c.admitted)
            << "mode " << c.mode << " '" << c.address << "'";
        EXPECT_EQ(filter.recordCount(), c.counted ? 1 : 0)
            << "mode " << c.mode << " '" << c.address << "'";
    }
}

TEST(AcceptFilter, HitRecordsInOrderFirstMetAndClearedBySetMode) {
    TempDir dir;
    CAcceptFilter filter;
    ASSERT_TRUE(filter.load(dir.write("list.ini", kList)));
    filter.setMode(CAcceptFilter::kModeBlackList);

    for (const char* address :
         {"fe80::ab", "10.0.0.1", "10.0.0.1", "10.7.7.7", "10.0.0.1 ", "FE80::AB"}) {
        filter.check(address);
    }
    // Records are kept by the address as met (trimmed), not as listed.
    auto rows = filter.snapshot();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].address, "fe80::ab");
    EXPECT_EQ(rows[0].hitCount, 1u);
    EXPECT_EQ(rows[1].address, "10.0.0.1");
    EXPECT_EQ(rows[1].hitCount, 3u);
    EXPECT_EQ(rows[2].address, "FE80::AB");
    EXPECT_EQ(AcceptRecordColumns(rows[1]), (std::array<std::string, 2>{"10.0.0.1", "3"}));
    ASSERT_TRUE(filter.record(1));
    EXPECT_EQ(filter.record(1)->hitCount, 3u);
    EXPECT_FALSE(filter.record(3));
    EXPECT_FALSE(filter.record(-1));

    filter.setMode(CAcceptFilter::kModeBlackList);
    EXPECT_EQ(filter.recordCount(), 0);
    EXPECT_FALSE(filter.check("10.0.0.1"));  // the list survives a mode change
}

TEST(AcceptFilter, LoadKeepsTheListWhenTheFileIsMissingAndWhiteListStartsEmpty) {
    TempDir dir;
    CAcceptFilter filter;
    filter.setMode(CAcceptFilter::kModeWhiteList);
    EXPECT_FALSE(filter.load(dir.file("none.ini")));
    EXPECT_FALSE(filter.check("127.0.0.1"));  // nothing ever loaded: everyone refused

    ASSERT_TRUE(filter.load(dir.write("a.ini", "127.0.0.1")));  // no final line end
    EXPECT_TRUE(filter.check("127.0.0.1"));
    EXPECT_FALSE(filter.load(dir.file("none.ini")));
    EXPECT_TRUE(filter.check("127.0.0.1"));

    ASSERT_TRUE(filter.load(dir.write("b.ini",
                                      "\xEF\xBB\xBF"
                                      "10.1.1.1\r\n\r\n\x01\xff garbage\n")));
    EXPECT_FALSE(filter.check("127.0.0.1"));  // replaced, not merged
    EXPECT_TRUE(filter.check("10.1.1.1"));    // the byte order mark is not part of the line
    EXPECT_EQ(filter.listSize(), 3u);         // "10.1.1.1", "", the garbage line

    ASSERT_TRUE(filter.load(dir.write("empty.ini", "")));
    EXPECT_EQ(filter.listSize(), 0u);
    EXPECT_FALSE(filter.load(dir.path()));  // a folder is not a file
}

TEST(AcceptFilter, ViewCaptionsFollowTheMode) {
    EXPECT_STREQ(AcceptViewCaptionsFor(1)->page, "Black List");
    EXPECT_STREQ(AcceptViewCaptionsFor(1)->countColumn, "Block Count");
    EXPECT_STREQ(AcceptViewCaptionsFor(2)->page, "White List");
    EXPECT_STREQ(AcceptViewCaptionsFor(2)->countColumn, "Pass Count");
    EXPECT_FALSE(AcceptViewCaptionsFor(0));
    EXPECT_FALSE(AcceptViewCaptionsFor(3));
}

class AcceptFilterApply : public ::testing::Test {
  protected:
    void SetUp() override {
        settings.declareFilterDefaults();
        exe = dir.path();
        dir.write("BlackList.ini", "10.0.0.1\n");
        std::filesystem::create_directories(dir.file("lists"));
        dir.write("lists/white.ini", "10.0.0.9\n");
    }

    AcceptApplyResult apply() {
        return ApplyAcceptFilterSettings(
            filter, settings, exe, [this](const std::string& caption, const std::string& text) {
                notices.emplace_back(caption, text);
            });
    }

    TempDir dir;
    std::string exe;
    FakeSettings settings;
    CAcceptFilter filter;
    std::vector<std::pair<std::string, std::string>> notices;
};

TEST_F(AcceptFilterApply, DefaultFileNameIsTheBlackListBesideTheExecutable) {
    settings.setInt("cbb_AcceptMode", 1);
    EXPECT_EQ(apply(), AcceptApplyResult::kLoaded);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(filter.mode(), 1);
    EXPECT_FALSE(filter.check("10.0.0.1"));
    EXPECT_TRUE(filter.check("10.0.0.9"));
}

TEST_F(AcceptFilterApply, ModeZeroOrMinusOneChangesNothing) {
    settings.setInt("cbb_AcceptMode", 1);
    ASSERT_EQ(apply(), AcceptApplyResult::kLoaded);
    filter.check("10.0.0.1");
    for (int mode : {0, -1}) {
        settings.setInt("cbb_AcceptMode", mode);
        settings.setString("edt_AcceptFile", "lists\\white.ini");
        EXPECT_EQ(apply(), AcceptApplyResult::kUnchanged);
        EXPECT_EQ(filter.mode(), 1);
        EXPECT_EQ(filter.recordCount(), 1);
        EXPECT_FALSE(filter.check("10.0.0.1"));
        EXPECT_TRUE(filter.check("10.0.0.9"));
    }
    EXPECT_TRUE(notices.empty());
}

TEST_F(AcceptFilterApply, EmptyFileNameIsReportedAndChangesNothing) {
    settings.setInt("cbb_AcceptMode", 2);
    settings.setString("edt_AcceptFile", "  \t ");
    EXPECT_EQ(apply(), AcceptApplyResult::kNoFileName);
    EXPECT_EQ(filter.mode(), 0);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "VevIdor");
    EXPECT_EQ(notices[0].second, "Accept file not specified!");
}

TEST_F(AcceptFilterApply, MissingFileKeepsTheListButTheNewModeAndClearedRecordsHold) {
    settings.setInt("cbb_AcceptMode", 1);
    ASSERT_EQ(apply(), AcceptApplyResult::kLoaded);
    filter.check("10.0.0.1");

    settings.setInt("cbb_AcceptMode", 2);
    settings.setString("edt_AcceptFile", ".\\lists\\gone.ini");
    EXPECT_EQ(apply(), AcceptApplyResult::kFileNotFound);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].second, "Accept file " + exe + "/./lists/gone.ini not found!");
    EXPECT_EQ(filter.mode(), 2);
    EXPECT_EQ(filter.recordCount(), 0);
    EXPECT_TRUE(filter.check("10.0.0.1"));  // the old black list now admits as a white list
    EXPECT_FALSE(filter.check("10.0.0.9"));
}

TEST_F(AcceptFilterApply, BackslashPathRelativeToTheExecutable) {
    settings.setInt("cbb_AcceptMode", 2);
    settings.setString("edt_AcceptFile", " lists\\white.ini ");
    EXPECT_EQ(apply(), AcceptApplyResult::kLoaded);
    EXPECT_TRUE(filter.check("10.0.0.9"));
    EXPECT_FALSE(filter.check("10.0.0.1"));
}

}  // namespace
