// Loading, initialising and releasing the launch-control module.
#include "gate/launch_server_proxy.h"

#include <unistd.h>

#include <climits>

CLaunchServerDLLProxy& GetLaunchServerProxy() {
    static CLaunchServerDLLProxy* proxy = new CLaunchServerDLLProxy();
    return *proxy;
}

CLaunchServerDLLProxy::~CLaunchServerDLLProxy() {
    uninitialise();
}

bool CLaunchServerDLLProxy::initialise(LaunchCallback start, LaunchCallback stop) {
    if (initialised_) return true;
    if (!library_.loaded()) {
        std::string path = modulePath_;
        if (path.empty()) {
            char cwd[PATH_MAX];
            if (getcwd(cwd, sizeof cwd) == nullptr) return false;
            path = std::string(cwd) + "/LaunchServerDLL.so";
        }
        if (!library_.load(path)) return false;
    }
    get_ = library_.function<GetLaunchControlInstanceFn>("GetLaunchControlInstance");
    release_ = library_.function<ReleaseLaunchControlInstanceFn>("ReleaseLaunchControlInstance");
    if (get_ == nullptr || release_ == nullptr) {
        library_.unload();
        get_ = nullptr;
        release_ = nullptr;
        return false;
    }
    LaunchControl* control = get_();
    if (control == nullptr || !control->initialize(start, stop, nullptr)) return false;
    initialised_ = true;
    return true;
}

bool CLaunchServerDLLProxy::uninitialise() {
    if (!initialised_) return true;
    if (release_ != nullptr) release_();
    library_.unload();
    get_ = nullptr;
    release_ = nullptr;
    initialised_ = false;
    return true;
}

LaunchControl* CLaunchServerDLLProxy::instance() const {
    return initialised_ && get_ != nullptr ? get_() : nullptr;
}
