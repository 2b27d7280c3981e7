// The settings module "KvConfig.so" loaded for real: defaults, files, save, texts, threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "modules/settings_object.h"
#include "tests/modules/module_loader.h"

namespace {

namespace fs = std::filesystem;
using testmodules::Export;
using testmodules::TempDir;

// Runs each test in an empty working directory, with a settings object of the module.
class SettingsModule : public ::testing::Test {
  protected:
    void SetUp() override {
        create_ = Export<CreateConfigFn>("KvConfig.so", "CreateConfig");
        free_ = Export<FreeConfigFn>("KvConfig.so", "FreeConfig");
        ASSERT_NE(create_, nullptr);
        ASSERT_NE(free_, nullptr);
        previous_ = fs::current_path();
        fs::current_path(dir_.path());
    }
    void TearDown() override {
        for (SettingsObject* object : objects_) free_(object);
        fs::current_path(previous_);
    }

    SettingsObject& Create() {
        objects_.push_back(create_());
        return *objects_.back();
    }

    static void Write(const fs::path& path, const std::string& text) {
        if (path.has_parent_path()) fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        return content.str();
    }

    // The main window's way: open, then declare a few defaults.
    static void DeclareMain(SettingsObject& s) {
        s.defaultInt("edt_Port", 19006);
        s.defaultInt("cbb_ThreadNum", 1500);
        s.defaultString("edtClientBindIP", "127.0.0.1");
        s.defaultBool("cbAutoConnect", true);
        s.defaultBool("cbBindIP", false);
    }

    TempDir dir_;
    fs::path previous_;
    CreateConfigFn create_ = nullptr;
    FreeConfigFn free_ = nullptr;
    std::vector<SettingsObject*> objects_;
};

TEST_F(SettingsModule, MissingFileAnswersDeclaredDefaultsOverFallbacks) {
    SettingsObject& s = Create();
    ASSERT_TRUE(s.open("Config\\Config.ini", "KestServer"));
    DeclareMain(s);
    EXPECT_EQ(s.getInt("edt_Port", 0), 19006);
    EXPECT_EQ(s.getInt("cbb_ThreadNum", 0), 1500);
    EXPECT_STREQ(s.getString("edtClientBindIP", ""), "127.0.0.1");
    EXPECT_TRUE(s.getBool("cbAutoConnect", false));
    EXPECT_FALSE(s.getBool("cbBindIP", true));
    // Keys without value or default answer the caller's fallback.
    EXPECT_EQ(s.getInt("undeclared", 7), 7);
    EXPECT_STREQ(s.getString("undeclared", "fb"), "fb");
    EXPECT_STREQ(s.fileName(), "Config\\Config.ini");
    EXPECT_FALSE(fs::exists("Config"));  // opening creates nothing
}

TEST_F(SettingsModule, FileValuesWinAndBadNumbersReadAsMissing) {
    Write("Config/Config.ini",
          "; comment\n[Other]\nedt_Port=1\n[KestServer]\nEDT_PORT=2000\nbad=12x\nhuge=99999999999\n"
          "spaced = 42 \nhex=0x10\nmin=-2147483648\nyes=Yes\nno=off\nmaybe=perhaps\n");
    SettingsObject& s = Create();
    ASSERT_TRUE(s.open("Config\\Config.ini", "KestServer"));
    DeclareMain(s);
    s.defaultInt("bad", 5);
    s.defaultInt("huge", 6);
    s.defaultBool("maybe", true);
    struct IntCase {
        const char* key;
        int expected;
    };
    for (IntCase c :
         {IntCase{"edt_Port", 2000}, IntCase{"bad", 5}, IntCase{"huge", 6}, IntCase{"spaced", 42},
          IntCase{"hex", 16}, IntCase{"min", INT_MIN}, IntCase{"cbb_ThreadNum", 1500}}) {
        EXPECT_EQ(s.getInt(c.key, -1), c.expected) << c.key;
    }
    EXPECT_TRUE(s.getBool("yes", false));
    EXPECT_FALSE(s.getBool("no", true));
    EXPECT_TRUE(s.getBool("maybe", false));  // not a yes/no: the declared default
    EXPECT_FALSE(s.getBool("unknown", false));
}

TEST_F(SettingsModule, UnreadableOrMalformedFileIsRefusedAndDefaultsRemain) {
    const std::string cases[] = {
        "[KestServer]\nedt_Port=2000\nthis line has no equals sign\n",
        "[KestServer\nedt_Port=2000\n",
        "[KestServer]\n=2000\n",
        std::string("[KestServer]\nedt_Port=2000\n\0\n", 28),
    };
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        Write("bad.ini", text);
        SettingsObject& s = Create();
        EXPECT_FALSE(s.open("bad.ini", "KestServer"));
        DeclareMain(s);
        EXPECT_EQ(s.getInt("edt_Port", 0), 19006);
    }
    fs::create_directory("adirectory.ini");
    EXPECT_FALSE(Create().open("adirectory.ini", "KestServer"));
}

TEST_F(SettingsModule, SaveCreatesFoldersAndRoundTripsValuesAndDefaults) {
    Write("Config/keep.ini", "");  // unrelated file in no way touched
    fs::remove_all("Config");
    SettingsObject& s = Create();
    ASSERT_TRUE(s.open("Config\\Config.ini", "KestServer"));
    DeclareMain(s);
    s.setInt("edt_Port", 20000);
    s.setString("edtSSIP", "10.0.0.5");
    s.setBool("cbBindIP", true);
    ASSERT_TRUE(s.save());
    ASSERT_TRUE(fs::exists("Config/Config.ini"));

    SettingsObject& again = Create();
    ASSERT_TRUE(again.open("Config/Config.ini", "KestServer"));
    EXPECT_EQ(again.getInt("edt_Port", 0), 20000);
    EXPECT_EQ(again.getInt("cbb_ThreadNum", 0), 1500);  // a default, written by save
    EXPECT_STREQ(again.getString("edtSSIP", ""), "10.0.0.5");
    EXPECT_STREQ(again.getString("edtClientBindIP", ""), "127.0.0.1");
    EXPECT_TRUE(again.getBool("cbBindIP", false));
    EXPECT_TRUE(again.getBool("cbAutoConnect", false));
    EXPECT_THAT(Read("Config/Config.ini"), ::testing::HasSubstr("[KestServer]"));

    // A later default in the saving object does not stick to values that came from defaults
    // before the save: the object still tells them apart.
    s.defaultInt("cbb_ThreadNum", 900);
    EXPECT_EQ(s.getInt("cbb_ThreadNum", 0), 900);
}

TEST_F(SettingsModule, GetStringTextsStayValidAfterLaterSets) {
    SettingsObject& s = Create();
    ASSERT_TRUE(s.open("local.ini", "KestServer"));
    s.defaultString("edtMutexSign", "ZadoVezivi");
    const char* first = s.getString("edtMutexSign", "");
    EXPECT_EQ(s.getString("edtMutexSign", ""), first);  // same text, same pointer
    std::string longer(500, 'x');
    for (int i = 0; i < 50; ++i) s.setString("edtMutexSign", (longer + std::to_string(i)).c_str());
    const char* second = s.getString("edtMutexSign", "");
    s.setString("edtMutexSign", "again");
    const char* fallback = s.getString("nothing", "a fallback");
    s.getString("edtMutexSign", "");
    EXPECT_STREQ(first, "ZadoVezivi");
    EXPECT_EQ(std::string(second), longer + "49");
    EXPECT_STREQ(fallback, "a fallback");
    EXPECT_STREQ(s.getString("edtMutexSign", ""), "again");
}

TEST_F(SettingsModule, GetIntIsSafeWhileTheOwnerSets) {
    SettingsObject& s = Create();
    ASSERT_TRUE(s.open("Config\\Config.ini", "KestServer"));
    DeclareMain(s);
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::thread reader([&] {
        while (!stop.load()) {
            int port = s.getInt("edt_Port", 0);
            if (port != 19006 && (port < 30000 || port >= 30200)) ++wrong;
            if (s.getInt("cbb_ThreadNum", 0) != 1500) ++wrong;
        }
    });
    for (int i = 0; i < 200; ++i) {
        s.setInt("edt_Port", 30000 + i);
        s.setString(("key" + std::to_string(i)).c_str(), "value");
        s.getString("edtClientBindIP", "");
        if (i % 50 == 0) s.save();
    }
    stop = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(s.getInt("edt_Port", 0), 30199);
}

}  // namespace
