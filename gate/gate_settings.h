// The gate's two settings objects, their files, keys and declared defaults.
#pragma once

#include <cstddef>
#include <iterator>

#include "modules/settings_object.h"

namespace gate {

inline constexpr const char* kSettingsSection = "KestServer";
inline constexpr const char* kLocalSettingsFile = "KestZadoVezivi.ini";
inline constexpr const char* kMainSettingsFile = "Config\\Config.ini";

// A declared setting: key, kind and default.
struct SettingDefault {
    enum Kind { kText, kInteger, kYesNo };
    const char* key;
    Kind kind;
    const char* text;  // kText
    int number;        // kInteger, kYesNo (0 / 1)
};

// "KestZadoVezivi.ini", in declaration order.
inline constexpr SettingDefault kLocalSettings[] = {
    {"edt_SrvIp", SettingDefault::kText, "127.0.0.1", 0},
    {"edtMutexSign", SettingDefault::kText, "ZadoVezivi", 0},
};

// "Config\Config.ini", in declaration order.
inline constexpr SettingDefault kMainSettings[] = {
    {"edt_Port", SettingDefault::kInteger, nullptr, 19006},
    {"cbb_TimeOut", SettingDefault::kInteger, nullptr, 60},
    {"cbb_ThreadNum", SettingDefault::kInteger, nullptr, 1500},
    {"labMinSendInterval", SettingDefault::kInteger, nullptr, 20},
    {"labMaxPack", SettingDefault::kInteger, nullptr, 270},
    {"edt_SrvPort", SettingDefault::kInteger, nullptr, 19000},
    {"edtClientBindIP", SettingDefault::kText, "127.0.0.1", 0},
    {"cbBindIP", SettingDefault::kYesNo, nullptr, 0},
    {"cbAutoConnect", SettingDefault::kYesNo, nullptr, 1},
    {"edtMaxPackSize", SettingDefault::kInteger, nullptr, 256},
    {"edtRecvBufferLen", SettingDefault::kInteger, nullptr, 8192},
    {"cbb_AcceptMode", SettingDefault::kInteger, nullptr, 0},
    {"edt_AcceptFile", SettingDefault::kText, ".\\BlackList.ini", 0},
    {"edtMaxSendMsgQueueCount", SettingDefault::kInteger, nullptr, 100},
    {"edtRefuseConnectBySendQueue", SettingDefault::kInteger, nullptr, 50000},
    {"edtRefuseConnectByRecvQueue", SettingDefault::kInteger, nullptr, 10000},
    {"edtHackAttackValue", SettingDefault::kInteger, nullptr, 50},
    {"edtSSIP", SettingDefault::kText, "127.0.0.1", 0},
    {"edtSSPort", SettingDefault::kInteger, nullptr, 21888},
    {"edtPackFilterConfig", SettingDefault::kText, "", 0},
    {"chkIsUsePackFilter", SettingDefault::kYesNo, nullptr, 0},
    {"cbbPacketFilter", SettingDefault::kInteger, nullptr, 0},
    {"edtMaxClientPackLen", SettingDefault::kInteger, nullptr, 1024},
    {"edtMaxClientPackPile", SettingDefault::kInteger, nullptr, 100},
};

// Declares every default of the table on the object, in table order.
template <std::size_t N>
void DeclareSettings(SettingsObject& settings, const SettingDefault (&table)[N]) {
    for (const SettingDefault& s : table) {
        switch (s.kind) {
            case SettingDefault::kText:
                settings.defaultString(s.key, s.text);
                break;
            case SettingDefault::kInteger:
                settings.defaultInt(s.key, s.number);
                break;
            case SettingDefault::kYesNo:
                settings.defaultBool(s.key, s.number != 0);
                break;
        }
    }
}

// The range an integer setting must lie in for the gate to work; values outside are clamped
// with a warning in the log (a negative interval, say, would otherwise stop all sends).
struct SettingRange {
    const char* key;
    int low;
    int high;
};

inline constexpr SettingRange kSettingRanges[] = {
    {"edt_Port", 1, 65535},
    {"cbb_TimeOut", 0, 86400},
    {"cbb_ThreadNum", 1, 1000000},
    {"labMinSendInterval", 0, 10000},
    {"labMaxPack", 0, 1000000},
    {"edt_SrvPort", 1, 65535},
    {"edtMaxPackSize", 0, 1048576},
    {"edtRecvBufferLen", 256, 16777216},
    {"edtMaxSendMsgQueueCount", 1, 100000000},
    {"edtRefuseConnectBySendQueue", 0, 2000000000},
    {"edtRefuseConnectByRecvQueue", 0, 2000000000},
    {"edtHackAttackValue", 0, 1000000},
    {"edtSSPort", 1, 65535},
    {"edtMaxClientPackLen", 0, 16777216},
    {"edtMaxClientPackPile", 0, 100000000},
};

// The setting's value, clamped to its range when it has one (said once per key and value
// through the log's warn).
int GetCheckedInt(SettingsObject& settings, const char* key);

// A new settings object of "KvConfig.so" (loaded on first use; a missing module or export, or
// a failed creation, ends the process with exit code 1).
SettingsObject& CreateSettings();

// Creates, opens and declares a settings object. A file that exists but cannot be read is
// reported on standard error and in the log; its defaults are then in force.
template <std::size_t N>
SettingsObject& OpenSettings(const char* file, const SettingDefault (&table)[N]);

}  // namespace gate
