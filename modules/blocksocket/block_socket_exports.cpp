// The C exports of "daRizorOrozez.so".
#include "modules/blocksocket/block_socket.h"
#include "modules/net_service.h"

#define BLOCKSOCK_EXPORT extern "C" __attribute__((visibility("default")))

BLOCKSOCK_EXPORT IBlockSocket* GetZqBlockSocket() {
    try {
        return new blocksock::BlockSocket();
    } catch (...) {
        return nullptr;
    }
}

BLOCKSOCK_EXPORT void FreeZqBlockSocket(IBlockSocket* socket) {
    delete static_cast<blocksock::BlockSocket*>(socket);
}
