// Gate side of the network modules: "REVedArivuzi.so" (network service) and "daRizorOrozez.so"
// (blocking socket), each loaded on the first call that needs it and never unloaded.
#pragma once

#include <mutex>
#include <string>

#include "diag/module_library.h"
#include "modules/net_service.h"

namespace server {

// One of the two modules with its exports, resolved all at once on first use. A module that
// cannot be loaded or lacks an export ends the process with exit code 1 (modules::FailStart)
// after its message. Safe from any thread.
class NetServiceModule {
  public:
    // file: the name given to the loader (a plain name searches the loader's path).
    explicit NetServiceModule(std::string file) : file_(std::move(file)) {}
    NetServiceModule(const NetServiceModule&) = delete;
    NetServiceModule& operator=(const NetServiceModule&) = delete;

    GetREVedArivuziInstanceFn getInstance();
    GetNetMsgPoolFn getNetMsgPool();
    FreeNetMsgPoolFn freeNetMsgPool();

  private:
    void load();

    std::string file_;
    std::once_flag once_;
    modules::ModuleLibrary library_;
    GetREVedArivuziInstanceFn getInstance_ = nullptr;
    GetNetMsgPoolFn getNetMsgPool_ = nullptr;
    FreeNetMsgPoolFn freeNetMsgPool_ = nullptr;
};

class BlockSocketModule {
  public:
    explicit BlockSocketModule(std::string file) : file_(std::move(file)) {}
    BlockSocketModule(const BlockSocketModule&) = delete;
    BlockSocketModule& operator=(const BlockSocketModule&) = delete;

    GetZqBlockSocketFn getBlockSocket();
    FreeZqBlockSocketFn freeBlockSocket();

  private:
    void load();

    std::string file_;
    std::once_flag once_;
    modules::ModuleLibrary library_;
    GetZqBlockSocketFn get_ = nullptr;
    FreeZqBlockSocketFn free_ = nullptr;
};

// The process's two modules, by their plain names.
namespace NetModules {

inline constexpr const char* kNetServiceFile = "REVedArivuzi.so";
inline constexpr const char* kBlockSocketFile = "daRizorOrozez.so";

// A new network service object (GetREVedArivuziInstance(0)); the caller frees it with Release.
INetService* NewNetService();
// A new blocking socket; free it with FreeBlockSocket.
IBlockSocket* NewBlockSocket();
void FreeBlockSocket(IBlockSocket* socket);

NetServiceModule& NetService();
BlockSocketModule& BlockSocket();

}  // namespace NetModules

}  // namespace server
