// CLaunchServerDLLProxy: the process-wide link to the launch-control module
// "LaunchServerDLL.so", loaded from the working directory.
#pragma once

#include <string>

#include "diag/module_library.h"
#include "modules/launch_control.h"

class CLaunchServerDLLProxy {
  public:
    virtual ~CLaunchServerDLLProxy();
    CLaunchServerDLLProxy(const CLaunchServerDLLProxy&) = delete;
    CLaunchServerDLLProxy& operator=(const CLaunchServerDLLProxy&) = delete;

    virtual bool isInitialised() const { return initialised_; }
    // Loads the module (once), resolves its exports and hands the callbacks over. Yes when the
    // launcher takes notifications; no (silently) when the module is missing or declines.
    virtual bool initialise(LaunchCallback start, LaunchCallback stop);
    // Releases the module's object and unloads it. Always yes.
    virtual bool uninitialise();
    // The module's object while initialised, else null.
    virtual LaunchControl* instance() const;

    // The module file: "<working directory>/LaunchServerDLL.so" unless set (tests).
    void setModulePath(std::string path) { modulePath_ = std::move(path); }

  private:
    friend CLaunchServerDLLProxy& GetLaunchServerProxy();
    CLaunchServerDLLProxy() = default;

    modules::ModuleLibrary library_;
    GetLaunchControlInstanceFn get_ = nullptr;
    ReleaseLaunchControlInstanceFn release_ = nullptr;
    bool initialised_ = false;
    std::string modulePath_;
};

// The process-wide proxy, created on first use.
CLaunchServerDLLProxy& GetLaunchServerProxy();
