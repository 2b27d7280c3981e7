// The C exports of "REVedArivuzi.so".
#include "modules/net_service.h"
#include "modules/netservice/net_service.h"

#define NETSVC_EXPORT extern "C" __attribute__((visibility("default")))

// A new service object; the argument is reserved (the gate passes 0). Freed by Release.
NETSVC_EXPORT INetService* GetREVedArivuziInstance(int /*reserved*/) {
    try {
        return new netsvc::NetService();
    } catch (...) {
        return nullptr;
    }
}

// A message record for a caller that wants one off the heap; free it with FreeNetMsgPool.
NETSVC_EXPORT void* GetNetMsgPool() {
    try {
        return new NetMsg();
    } catch (...) {
        return nullptr;
    }
}

NETSVC_EXPORT void FreeNetMsgPool(void* pool) {
    delete static_cast<NetMsg*>(pool);
}
