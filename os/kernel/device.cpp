#include "os/kernel/device.h"

#include <mutex>

#include "os/core/device_gateway.h"

namespace os {
namespace {

uint64_t LogonIdOf(uint32_t processId) {
    auto process = LookupProcess(processId);
    return process ? process->AuthenticationId() : kSystemLogonId;
}

// User-mode opens in this process reach the devices of this namespace directly.
class IN_PROCESS_GATEWAY final : public DEVICE_GATEWAY {
  public:
    NTSTATUS Open(const std::u16string& name, uint32_t processId,
                  std::shared_ptr<void>* file) override {
        std::shared_ptr<FILE_OBJECT> opened;
        NTSTATUS status = IoOpenDevice(name, processId, &opened);
        if (NT_SUCCESS(status)) {
            IoAddFileHandle(*opened);
            *file = std::move(opened);
        }
        return status;
    }
    void Close(const std::shared_ptr<void>& file) override {
        IoCloseFileHandle(std::static_pointer_cast<FILE_OBJECT>(file));
    }
    NTSTATUS Control(const std::shared_ptr<void>& file, uint32_t code, uint64_t input,
                     uint32_t inputLength, uint64_t output, uint32_t outputLength,
                     uint64_t* information) override {
        return IoDeviceControl(*std::static_pointer_cast<FILE_OBJECT>(file), code, input,
                               inputLength, output, outputLength, information);
    }
};

// The first device makes this namespace reachable, unless another gateway was installed first.
void InstallInProcessGateway() {
    static IN_PROCESS_GATEWAY gateway;
    static std::once_flag once;
    std::call_once(once, [] {
        if (CurrentDeviceGateway() == nullptr) {
            SetDeviceGateway(&gateway);
        }
    });
}

}  // namespace

FILE_OBJECT::FILE_OBJECT(std::shared_ptr<DEVICE_OBJECT> device, uint32_t processId)
    : device_(std::move(device)), processId_(processId) {}

std::u16string FILE_OBJECT::ObjectName() const {
    return device_->Name();
}

DEVICE_OBJECT::DEVICE_OBJECT(std::u16string name, uint32_t deviceType, bool exclusive)
    : name_(std::move(name)), deviceType_(deviceType), exclusive_(exclusive) {}

DeviceFailures& TestDeviceFailures() {
    static DeviceFailures failures;
    return failures;
}

NTSTATUS IoCreateDevice(const std::u16string& name, uint32_t deviceType, bool exclusive,
                        std::shared_ptr<DEVICE_OBJECT>* device) {
    if (TestDeviceFailures().createDevice > 0) {
        --TestDeviceFailures().createDevice;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InstallInProcessGateway();
    auto created = std::make_shared<DEVICE_OBJECT>(name, deviceType, exclusive);
    NTSTATUS status = ObInsertDevice(created);
    if (NT_SUCCESS(status)) {
        *device = std::move(created);
    }
    return status;
}

void IoDeleteDevice(const std::shared_ptr<DEVICE_OBJECT>& device) {
    ObRemoveDevice(device);
}

NTSTATUS IoCreateSymbolicLink(const std::u16string& link, const std::u16string& target) {
    if (TestDeviceFailures().createLink > 0) {
        --TestDeviceFailures().createLink;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return ObCreateSymbolicLink(link, target, LogonIdOf(CurrentProcessId()));
}

NTSTATUS IoDeleteSymbolicLink(const std::u16string& link) {
    return ObDeleteSymbolicLink(link, LogonIdOf(CurrentProcessId()));
}

NTSTATUS IoOpenDevice(const std::u16string& name, uint32_t processId,
                      std::shared_ptr<FILE_OBJECT>* file) {
    std::shared_ptr<DEVICE_OBJECT> device;
    NTSTATUS found = ObLookupDevice(name, LogonIdOf(processId), &device);
    if (!NT_SUCCESS(found)) {
        return found;
    }
    auto opened = std::make_shared<FILE_OBJECT>(device, processId);
    if (device->create) {
        NTSTATUS status = device->create(*opened);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    *file = std::move(opened);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeviceControl(FILE_OBJECT& file, uint32_t code, uint64_t input, uint32_t inputLength,
                         uint64_t output, uint32_t outputLength, uint64_t* information) {
    *information = 0;
    DEVICE_OBJECT& device = file.Device();
    auto process = LookupProcess(file.ProcessId());
    if (!process || !device.fastIoDeviceControl) {
        // Without a fast entry the request would need an IRP handler, which the device lacks.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    CallerMemory caller(process);
    IO_STATUS_BLOCK status;
    FAST_IO_DEVICE_CONTROL_ARGS args{file, input, inputLength, output, outputLength, code, caller};
    if (!device.fastIoDeviceControl(args, status)) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    *information = status.information;
    return status.status;
}

void IoAddFileHandle(FILE_OBJECT& file) {
    ++file.handleCount_;
}

void IoCloseFileHandle(const std::shared_ptr<FILE_OBJECT>& file) {
    if (!file || --file->handleCount_ > 0) {
        return;
    }
    DEVICE_OBJECT& device = file->Device();
    if (device.cleanup) {
        device.cleanup(*file);
    }
    if (device.close) {
        device.close(*file);
    }
}

}  // namespace os
