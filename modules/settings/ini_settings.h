// One settings object of "KvConfig.so": a section of an INI file plus declared defaults.
//
// Reads answer, in this order: the file's value, the declared default, the caller's fallback.
// Keys compare without regard to case (SimpleIni's rule), in the file and among the defaults.
// Integers are decimal (or "0x" hexadecimal), with optional sign and surrounding blanks; a value
// that is not a whole number or does not fit an int reads as if the file lacked it (declared
// default, else fallback). Yes/no values read "1", "true", "yes", "on" (and "t", "y") as yes and
// "0", "false", "no", "off" (and "f", "n") as no, any case; anything else reads as missing.
// setBool writes "1" / "0".
//
// A file is refused by open (false; the object then holds only its defaults) when it cannot
// be read, holds a NUL byte, or holds a line that is none of: blank, comment (";" or "#"),
// "[section]", "key=value" with a non-empty key.
//
// getString's texts live as long as the object: each distinct text handed out for a key is
// kept, and a later set never moves or frees it.
//
// Locking: one shared_mutex; getInt and getBool read under a shared lock, everything else
// takes it exclusively, so readers on other threads are safe while the owner sets or saves.
#pragma once

#include <SimpleIni.h>

#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "modules/settings_object.h"

namespace kvconfig {

class IniSettings final : public SettingsObject {
  public:
    IniSettings();
    IniSettings(const IniSettings&) = delete;
    IniSettings& operator=(const IniSettings&) = delete;
    ~IniSettings() = default;

    bool open(const char* fileName, const char* section) override;
    bool save() override;
    bool getBool(const char* key, bool fallback) override;
    int getInt(const char* key, int fallback) override;
    const char* getString(const char* key, const char* fallback) override;
    void setBool(const char* key, bool value) override;
    void setString(const char* key, const char* value) override;
    void defaultBool(const char* key, bool value) override;
    void defaultInt(const char* key, int value) override;
    void defaultString(const char* key, const char* value) override;
    void setInt(const char* key, int value) override;
    const char* fileName() override;

    // The parse rules of getInt / getBool, exposed for tests of the module's own code.
    static std::optional<int> ParseInt(const char* text);
    static std::optional<bool> ParseBool(const char* text);
    // True when the text is acceptable INI (see the rules above).
    static bool IsWellFormed(const std::string& text);

  private:
    struct NoCaseLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    // The file's value of the key in the section, else the declared default; null when neither.
    const char* lookup(const char* key) const;
    void declare(const char* key, std::string value);
    void store(const char* key, const char* value);

    mutable std::shared_mutex mutex_;
    CSimpleIniA ini_;
    std::string fileName_;  // as given to open
    std::string path_;      // with "/" separators
    std::string section_;
    std::map<std::string, std::string, NoCaseLess> defaults_;
    std::vector<std::string> defaultOrder_;
    // Every text getString handed out, per key; the newest one is reused while it still matches.
    std::map<std::string, std::vector<std::unique_ptr<std::string>>, NoCaseLess> handedOut_;
};

}  // namespace kvconfig
