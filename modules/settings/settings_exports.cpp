// The C exports of "KvConfig.so": CreateConfig and FreeConfig.
#include <new>

#include "modules/settings/ini_settings.h"

extern "C" {

// A new settings object on each call; null only when memory is exhausted.
__attribute__((visibility("default"))) SettingsObject* CreateConfig() {
    return new (std::nothrow) kvconfig::IniSettings();
}

__attribute__((visibility("default"))) void FreeConfig(SettingsObject* object) {
    delete static_cast<kvconfig::IniSettings*>(object);
}
}
