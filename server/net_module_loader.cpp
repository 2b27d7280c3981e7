// Loading of the network service and blocking socket modules with their start-up failures.
#include "server/net_module_loader.h"

#include <cerrno>
#include <string>

namespace server {

void NetServiceModule::load() {
    std::call_once(once_, [this] {
        errno = 0;
        if (!library_.load(file_)) {
            const int code = errno;
            modules::FailStart("Can't find " + file_ + "!!!Error = " + std::to_string(code) + "!!!",
                               1);
        }
        getInstance_ = library_.function<GetREVedArivuziInstanceFn>("GetREVedArivuziInstance");
        getNetMsgPool_ = library_.function<GetNetMsgPoolFn>("GetNetMsgPool");
        freeNetMsgPool_ = library_.function<FreeNetMsgPoolFn>("FreeNetMsgPool");
        if (getInstance_ == nullptr) {
            modules::FailStart(
                "Can't find GetREVedArivuziInstance function in REVedArivuzi "
                "module!!!Fail to start server!!!",
                1);
        }
        if (getNetMsgPool_ == nullptr) {
            modules::FailStart(
                "Can't find GetNetMsgPool function in REVedArivuzi module!!!Fail to start "
                "server!!!",
                1);
        }
        if (freeNetMsgPool_ == nullptr) {
            modules::FailStart(
                "Can't find FreeNetMsgPool function in REVedArivuzi module!!!Fail to start "
                "server!!!",
                1);
        }
    });
}

GetREVedArivuziInstanceFn NetServiceModule::getInstance() {
    load();
    return getInstance_;
}

GetNetMsgPoolFn NetServiceModule::getNetMsgPool() {
    load();
    return getNetMsgPool_;
}

FreeNetMsgPoolFn NetServiceModule::freeNetMsgPool() {
    load();
    return freeNetMsgPool_;
}

void BlockSocketModule::load() {
    std::call_once(once_, [this] {
        if (!library_.load(file_)) {
            modules::FailStart("Can't find " + file_ + "!!!Fail to start server!!!", 1);
        }
        get_ = library_.function<GetZqBlockSocketFn>("GetZqBlockSocket");
        free_ = library_.function<FreeZqBlockSocketFn>("FreeZqBlockSocket");
        if (get_ == nullptr) {
            modules::FailStart(
                "Can't find GetZqBlockSocket function in daRizorOrozez module!!!Fail to start "
                "server!!!",
                1);
        }
        if (free_ == nullptr) {
            modules::FailStart(
                "Can't find FreeZqBlockSocket function in daRizorOrozez module!!!Fail to "
                "start server!!!",
                1);
        }
    });
}

GetZqBlockSocketFn BlockSocketModule::getBlockSocket() {
    load();
    return get_;
}

FreeZqBlockSocketFn BlockSocketModule::freeBlockSocket() {
    load();
    return free_;
}

namespace NetModules {

NetServiceModule& NetService() {
    static NetServiceModule module(kNetServiceFile);
    return module;
}

BlockSocketModule& BlockSocket() {
    static BlockSocketModule module(kBlockSocketFile);
    return module;
}

INetService* NewNetService() {
    return NetService().getInstance()(0);
}

IBlockSocket* NewBlockSocket() {
    return BlockSocket().getBlockSocket()();
}

void FreeBlockSocket(IBlockSocket* socket) {
    if (socket != nullptr) BlockSocket().freeBlockSocket()(socket);
}

}  // namespace NetModules

}  // namespace server
