// The user-mode side of handles: events and device opens by handle in the calling process,
// DeviceIoControl and CloseHandle. A device is reached through the device gateway
// (os/core/device_gateway.h), so this face never sees the kernel that holds the device.
#pragma once

#include <cstdint>
#include <memory>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/core/sync.h"

namespace os {

constexpr uint32_t OPEN_EXISTING = 3;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t FILE_FLAG_OVERLAPPED = 0x40000000;

// CreateFile for device paths ("\\.\Name", "\\.\Global\Name"). Failure: INVALID_HANDLE_VALUE and
// the last error (2 when no such device).
HANDLE CreateFileA(const char* path, uint32_t desiredAccess, uint32_t shareMode,
                   uint32_t creationDisposition, uint32_t flagsAndAttributes);
// Failure: false and the last error mapped from the driver's status (STATUS_NOT_FOUND -> 1168).
bool DeviceIoControl(HANDLE device, uint32_t code, void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength, uint32_t* bytesReturned);

HANDLE CreateEventA(bool manualReset, bool initialState);
bool SetEvent(HANDLE event);
bool ResetEvent(HANDLE event);
uint32_t WaitForSingleObject(HANDLE object, uint32_t milliseconds);
bool CloseHandle(HANDLE object);
// Gives back a region the driver committed in this process (VirtualFree with MEM_RELEASE).
bool VirtualFree(void* address);

}  // namespace os
