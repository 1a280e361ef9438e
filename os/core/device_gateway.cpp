#include "os/core/device_gateway.h"

#include <atomic>

namespace os {
namespace {

constinit std::atomic<DEVICE_GATEWAY*> gGateway{nullptr};

void CloseDeviceOpen(const HANDLE_ENTRY& entry) {
    if (DEVICE_GATEWAY* gateway = CurrentDeviceGateway()) {
        gateway->Close(entry.object);
    }
}

}  // namespace

DEVICE_GATEWAY* CurrentDeviceGateway() {
    return gGateway.load(std::memory_order_acquire);
}

DEVICE_GATEWAY* SetDeviceGateway(DEVICE_GATEWAY* gateway) {
    SetCloseRoutine(ObjectType::File, &CloseDeviceOpen);
    return gGateway.exchange(gateway, std::memory_order_acq_rel);
}

}  // namespace os
