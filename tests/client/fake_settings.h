// An in-memory SettingsObject for the apply tests: values and defaults in maps, no file.
#pragma once

#include <map>
#include <string>

#include "modules/settings_object.h"

class FakeSettings final : public SettingsObject {
  public:
    bool open(const char* fileName, const char*) override {
        m_FileName = fileName;
        return true;
    }
    bool save() override {
        ++saves;
        return true;
    }
    bool getBool(const char* key, bool fallback) override {
        return lookup(key) ? *lookup(key) != "0" : fallback;
    }
    int getInt(const char* key, int fallback) override {
        return lookup(key) ? std::stoi(*lookup(key)) : fallback;
    }
    const char* getString(const char* key, const char* fallback) override {
        return lookup(key) ? lookup(key)->c_str() : fallback;
    }
    void setBool(const char* key, bool value) override { m_Values[key] = value ? "1" : "0"; }
    void setString(const char* key, const char* value) override { m_Values[key] = value; }
    void setInt(const char* key, int value) override { m_Values[key] = std::to_string(value); }
    void defaultBool(const char* key, bool value) override { m_Defaults[key] = value ? "1" : "0"; }
    void defaultInt(const char* key, int value) override {
        m_Defaults[key] = std::to_string(value);
    }
    void defaultString(const char* key, const char* value) override { m_Defaults[key] = value; }
    const char* fileName() override { return m_FileName.c_str(); }

    // The declared defaults of the filter keys.
    void declareFilterDefaults() {
        defaultInt("cbb_AcceptMode", 0);
        defaultString("edt_AcceptFile", ".\\BlackList.ini");
        defaultString("edtPackFilterConfig", "");
        defaultBool("chkIsUsePackFilter", false);
        defaultInt("cbbPacketFilter", 0);
    }

    int saves = 0;

  private:
    const std::string* lookup(const std::string& key) const {
        if (auto it = m_Values.find(key); it != m_Values.end()) return &it->second;
        if (auto it = m_Defaults.find(key); it != m_Defaults.end()) return &it->second;
        return nullptr;
    }

    std::string m_FileName;
    std::map<std::string, std::string> m_Values;
    std::map<std::string, std::string> m_Defaults;
};
