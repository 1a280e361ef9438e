// How a user-mode open of a device reaches whoever holds the device. The service's face opens
// devices by name and sends control codes; it must not know whether the device lives in a kernel of
// the same process (the in-process gateway that os/kernel installs with its first device) or in
// another process behind a bridge.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/core/process.h"
#include "os/core/status.h"

namespace os {

class DEVICE_GATEWAY {
  public:
    virtual ~DEVICE_GATEWAY() = default;
    // Opens a device by its object-namespace name for a process; on success `file` is the object
    // a handle will refer to, already counted as one handle.
    virtual NTSTATUS Open(const std::u16string& name, uint32_t processId,
                          std::shared_ptr<void>* file) = 0;
    // The last handle of an open is closed, or its handle could not be made: the open's cleanup
    // and close run.
    virtual void Close(const std::shared_ptr<void>& file) = 0;
    // A control request on an open, with the caller's own buffer addresses.
    virtual NTSTATUS Control(const std::shared_ptr<void>& file, uint32_t code, uint64_t input,
                             uint32_t inputLength, uint64_t output, uint32_t outputLength,
                             uint64_t* information) = 0;
};

// The gateway in use, or null when no device can be reached (opens fail as for a missing device).
DEVICE_GATEWAY* CurrentDeviceGateway();
// Installs a gateway (it must outlive every open made through it); returns the previous one.
// Closing a handle of a device open, or ending its process, closes the open through the gateway in
// use.
DEVICE_GATEWAY* SetDeviceGateway(DEVICE_GATEWAY* gateway);

}  // namespace os
