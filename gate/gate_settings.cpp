// Loads the settings module "KvConfig.so" and opens the gate's settings objects.
#include "gate/gate_settings.h"

#include <cstdio>
#include <mutex>

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
