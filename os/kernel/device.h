// Devices of the object namespace (os/kernel/object_namespace.h), their symbolic links, and the
// file objects that opens create.
// A driver creates a device with dispatch routines and a fast device-control entry; user mode opens
// it through a link (os/win32_io.h) and sends control codes that reach the fast entry with the
// caller's own buffer addresses and the caller's memory (os/caller_memory.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "os/core/status.h"
#include "os/kernel/caller_memory.h"
#include "os/kernel/object_namespace.h"

namespace os {

struct IO_STATUS_BLOCK {
    NTSTATUS status = STATUS_SUCCESS;
    uint64_t information = 0;
};

class DEVICE_OBJECT;
class FILE_OBJECT;
void IoAddFileHandle(FILE_OBJECT& file);
void IoCloseFileHandle(const std::shared_ptr<FILE_OBJECT>& file);

// One open of a device. The driver may keep per-open state in `context`. Its name is the device's
// (an open of the device itself names no file on it).
class FILE_OBJECT final : public NAMED_OBJECT {
  public:
    FILE_OBJECT(std::shared_ptr<DEVICE_OBJECT> device, uint32_t processId);
    std::u16string ObjectName() const override;
    DEVICE_OBJECT& Device() const { return *device_; }
    uint32_t ProcessId() const { return processId_; }
    std::atomic<uint64_t> context{0};

  private:
    friend void IoAddFileHandle(FILE_OBJECT& file);
    friend void IoCloseFileHandle(const std::shared_ptr<FILE_OBJECT>& file);
    std::shared_ptr<DEVICE_OBJECT> device_;
    uint32_t processId_;
    std::atomic<int> handleCount_{0};
};

struct FAST_IO_DEVICE_CONTROL_ARGS {
    FILE_OBJECT& file;
    uint64_t inputBuffer;
    uint32_t inputLength;
    uint64_t outputBuffer;
    uint32_t outputLength;
    uint32_t code;
    CallerMemory& caller;
};

class DEVICE_OBJECT final : public NAMED_OBJECT {
  public:
    // Returns whether the fast path handled the request.
    using FastIoDeviceControl =
        std::function<bool(const FAST_IO_DEVICE_CONTROL_ARGS& args, IO_STATUS_BLOCK& status)>;
    using Dispatch = std::function<NTSTATUS(FILE_OBJECT& file)>;

    DEVICE_OBJECT(std::u16string name, uint32_t deviceType, bool exclusive);
    const std::u16string& Name() const { return name_; }
    std::u16string ObjectName() const override { return name_; }
    uint32_t DeviceType() const { return deviceType_; }
    bool Exclusive() const { return exclusive_; }

    // Set before the device is reachable, as a driver fills its dispatch table.
    Dispatch create;
    Dispatch close;
    Dispatch cleanup;
    FastIoDeviceControl fastIoDeviceControl;

  private:
    std::u16string name_;
    uint32_t deviceType_;
    bool exclusive_;
};

// IoCreateDevice: the device stands in the namespace under its full name ("\Device\X"; its
// directory must exist). STATUS_OBJECT_NAME_COLLISION when the name is taken.
NTSTATUS IoCreateDevice(const std::u16string& name, uint32_t deviceType, bool exclusive,
                        std::shared_ptr<DEVICE_OBJECT>* device);
void IoDeleteDevice(const std::shared_ptr<DEVICE_OBJECT>& device);
// A link created under "\??" by a caller of the system's logon session stands in "\GLOBAL??", so
// "\??\X", "\GLOBAL??\X" and "\??\Global\X" name the same link there.
NTSTATUS IoCreateSymbolicLink(const std::u16string& link, const std::u16string& target);
NTSTATUS IoDeleteSymbolicLink(const std::u16string& link);

// Makes the next device creations or link creations fail, for the driver's start-up failure paths.
struct DeviceFailures {
    std::atomic<int> createDevice{0};
    std::atomic<int> createLink{0};
};
DeviceFailures& TestDeviceFailures();

// Opens a device by a name in the object namespace ("\??\X", "\GLOBAL??\X", "\Device\X"), links
// followed as the opening process sees them; runs the device's create routine. The result is a
// file object with no handle yet.
NTSTATUS IoOpenDevice(const std::u16string& name, uint32_t processId,
                      std::shared_ptr<FILE_OBJECT>* file);
// The control-request path of a file object; the caller's memory is the current process's.
NTSTATUS IoDeviceControl(FILE_OBJECT& file, uint32_t code, uint64_t input, uint32_t inputLength,
                         uint64_t output, uint32_t outputLength, uint64_t* information);
// Handle bookkeeping of file objects: cleanup and close run when the last handle goes.
void IoAddFileHandle(FILE_OBJECT& file);
void IoCloseFileHandle(const std::shared_ptr<FILE_OBJECT>& file);

}  // namespace os
