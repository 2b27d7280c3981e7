// Gate side of the loadable modules: a loaded shared object, and the fatal start-up exit used
// when a required module or export is missing.
#pragma once

#include <string>

namespace modules {

// A shared object opened with dlopen. "By plain name" uses the loader's search, which includes
// the gate's own folder (the executable's run path). Never unloaded unless unload() is called.
class ModuleLibrary {
  public:
    ModuleLibrary() = default;
    ModuleLibrary(const ModuleLibrary&) = delete;
    ModuleLibrary& operator=(const ModuleLibrary&) = delete;

    // Opens the file (a plain name or a path). False when it cannot be loaded; error() says why.
    bool load(const std::string& file);
    bool loaded() const { return handle_ != nullptr; }
    // The export's address, or null when missing.
    void* symbol(const char* name) const;
    void unload();
    const std::string& error() const { return error_; }

    template <typename Fn>
    Fn function(const char* name) const {
        return reinterpret_cast<Fn>(symbol(name));
    }

  private:
    void* handle_ = nullptr;
    std::string error_;
};

// Ends the process with the exit code after an "Error report" message: the text goes to
// standard error, to the log when the log module is loaded, and to the console's notices.
[[noreturn]] void FailStart(const std::string& text, int exitCode = 1);

}  // namespace modules
