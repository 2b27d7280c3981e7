// Loads the settings module "KvConfig.so" and opens the gate's settings objects.
#include "gate/gate_settings.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "diag/log.h"
#include "diag/module_library.h"

namespace gate {
namespace {

CreateConfigFn LoadCreateConfig() {
    static modules::ModuleLibrary library;
    if (!library.load("KvConfig.so")) {
        modules::FailStart("Can't find KvConfig.so!!!Fail to start server!!! (" + library.error() +
                           ")");
    }
    auto create = library.function<CreateConfigFn>("CreateConfig");
    if (create == nullptr) {
        modules::FailStart(
            "Can't find CreateConfig function in KvConfig module!!!Fail to start server!!!");
    }
    if (library.function<FreeConfigFn>("FreeConfig") == nullptr) {
        modules::FailStart(
            "Can't find FreeConfig function in KvConfig module!!!Fail to start server!!!");
    }
    return create;
}

}  // namespace

SettingsObject& CreateSettings() {
    static std::once_flag once;
    static CreateConfigFn create = nullptr;
    std::call_once(once, [] { create = LoadCreateConfig(); });
    SettingsObject* settings = create();
    if (settings == nullptr) modules::FailStart("CreateConfig failed!!!Fail to start server!!!");
    return *settings;
}

int GetCheckedInt(SettingsObject& settings, const char* key) {
    const int value = settings.getInt(key, 0);
    for (const SettingRange& range : kSettingRanges) {
        if (std::strcmp(range.key, key) != 0) continue;
        if (value >= range.low && value <= range.high) return value;
        const int used = value < range.low ? range.low : range.high;
        static std::mutex lock;
        static std::set<std::pair<std::string, int>> said;
        std::lock_guard<std::mutex> guard(lock);
        if (said.insert({key, value}).second) {
            diag::GetLog().warn("Setting %s = %d is outside %d..%d; %d is used", key, value,
                                range.low, range.high, used);
        }
        return used;
    }
    return value;
}

template <std::size_t N>
SettingsObject& OpenSettings(const char* file, const SettingDefault (&table)[N]) {
    SettingsObject& settings = CreateSettings();
    if (!settings.open(file, kSettingsSection)) {
        std::fprintf(stderr, "vevidor: settings file \"%s\" could not be read; defaults in force\n",
                     file);
        if (diag::IsLogLoaded()) {
            diag::GetLog().warn("Settings file \"%s\" could not be read; defaults in force", file);
        }
    }
    DeclareSettings(settings, table);
    return settings;
}

template SettingsObject& OpenSettings(const char*,
                                      const SettingDefault (&)[std::size(kLocalSettings)]);
template SettingsObject& OpenSettings(const char*,
                                      const SettingDefault (&)[std::size(kMainSettings)]);

}  // namespace gate
