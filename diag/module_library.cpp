// dlopen wrapper for the gate's loadable modules, and the fatal start-up exit.
#include "diag/module_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "diag/log.h"
#include "diag/paths.h"

namespace modules {

bool ModuleLibrary::load(const std::string& file) {
    if (handle_ != nullptr) return true;
    dlerror();
    // A plain name is looked for beside the executable first: the run path alone is not
    // always honoured (a sanitizer runtime that wraps dlopen makes itself the caller).
    if (file.find('/') == std::string::npos) {
        std::string beside = diag::ExecutableDir() + file;
        if (access(beside.c_str(), F_OK) == 0) {
            handle_ = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle_ != nullptr) {
                error_.clear();
                return true;
            }
        }
    }
    handle_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = why != nullptr ? why : "unknown error";
        return false;
    }
    error_.clear();
    return true;
}

void* ModuleLibrary::symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
    return dlsym(handle_, name);
}

void ModuleLibrary::unload() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

void FailStart(const std::string& text, int exitCode) {
    std::fprintf(stderr, "Error report: %s\n", text.c_str());
    std::fflush(stderr);
    if (diag::IsLogLoaded()) {
        diag::GetLog().logFatal("%s", text.c_str());
        diag::GetLog().flush();
    }
    std::_Exit(exitCode);
}

}  // namespace modules
