// The exported pair that creates and destroys framing objects, so that modules loaded by the
// gate frame packets with the gate's own code and memory.
#include "packet/package_dispatcher.h"

extern "C" {

__attribute__((visibility("default"))) IPackageDispatcher* NewPackageDispatcher() {
    return new KsPackageDispatcher();
}

__attribute__((visibility("default"))) void FreePackageDispatcher(IPackageDispatcher* dispatcher) {
    delete dispatcher;
}
}
