// The settings module's object: one INI file section with declared defaults. Module "KvConfig.so".
#pragma once

// A getter of a key that the file lacks answers the declared default (default... operations);
// the caller's fallback is used only for keys that have neither a value nor a default.
// getInt and getString may be called from any thread while the owning thread calls the
// other operations. Texts returned by getString stay valid while the object lives.
class SettingsObject {
public:
    // Reads the file (a missing file reads as empty). Relative paths are taken from the working
    // directory; "\" is read as "/". False when the file exists but cannot be read or parsed;
    // the object then holds only its defaults.
    virtual bool open(const char* fileName, const char* section) = 0;
    // Writes every value and declared default back to the file, creating missing folders.
    virtual bool save() = 0;
    virtual bool getBool(const char* key, bool fallback) = 0;
    virtual int getInt(const char* key, int fallback) = 0;
    virtual const char* getString(const char* key, const char* fallback) = 0;
    virtual void setBool(const char* key, bool value) = 0;
    virtual void setString(const char* key, const char* value) = 0;
    virtual void defaultBool(const char* key, bool value) = 0;
    virtual void defaultInt(const char* key, int value) = 0;
    virtual void defaultString(const char* key, const char* value) = 0;

    // --- positions the gate adds for itself ---
    virtual void setInt(const char* key, int value) = 0;
    // The file name as given to open.
    virtual const char* fileName() = 0;

protected:
    ~SettingsObject() = default;
};

extern "C" {
using CreateConfigFn = SettingsObject* (*)();
using FreeConfigFn = void (*)(SettingsObject*);
}
