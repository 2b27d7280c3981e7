// Loads a module .so from the folder named by VEVIDOR_BIN (the build's bin/) for the tests.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testmodules {

// Resolves an export of the module, loading the module on first use (never unloaded).
template <typename Fn>
Fn Export(const char* moduleFile, const char* name) {
    const char* bin = std::getenv("VEVIDOR_BIN");
    std::string path = bin != nullptr ? std::string(bin) + "/" + moduleFile : moduleFile;
    void* handle = ::dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        ADD_FAILURE() << "cannot load " << path << ": " << ::dlerror();
        return nullptr;
    }
    auto fn = reinterpret_cast<Fn>(::dlsym(handle, name));
    if (fn == nullptr) ADD_FAILURE() << "no export " << name << " in " << path;
    return fn;
}

// A fresh empty directory under the system temp folder, removed at the end of the scope.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vevmodXXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

}  // namespace testmodules
