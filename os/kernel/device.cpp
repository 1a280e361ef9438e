#include "os/kernel/device.h"

#include <map>
#include <mutex>

#include "os/core/device_gateway.h"

namespace os {
namespace {

struct Namespace {
    std::mutex lock;
    std::map<std::u16string, std::shared_ptr<DEVICE_OBJECT>> devices;
    std::map<std::u16string, std::u16string> links;
};

Namespace& Names() {
    static Namespace* names = new Namespace();
    return *names;
}

std::u16string Upper(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return text;
}

// "\GLOBAL??\X", "\??\Global\X" and "\??\X" name the same link here: one session's view.
std::u16string NormaliseLinkName(const std::u16string& name) {
    std::u16string upper = Upper(name);
    for (const std::u16string prefix : {u"\\GLOBAL??\\", u"\\??\\GLOBAL\\"}) {
        if (upper.rfind(prefix, 0) == 0) {
            return u"\\??\\" + upper.substr(prefix.size());
        }
    }
    return upper;
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
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    std::u16string key = Upper(name);
    if (names.devices.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    *device = std::make_shared<DEVICE_OBJECT>(name, deviceType, exclusive);
    names.devices.emplace(key, *device);
    return STATUS_SUCCESS;
}

void IoDeleteDevice(const std::shared_ptr<DEVICE_OBJECT>& device) {
    if (!device) {
        return;
    }
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    auto it = names.devices.find(Upper(device->Name()));
    if (it != names.devices.end() && it->second == device) {
        names.devices.erase(it);
    }
}

NTSTATUS IoCreateSymbolicLink(const std::u16string& link, const std::u16string& target) {
    if (TestDeviceFailures().createLink > 0) {
        --TestDeviceFailures().createLink;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    std::u16string key = NormaliseLinkName(link);
    if (names.links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    names.links.emplace(key, Upper(target));
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(const std::u16string& link) {
    Namespace& names = Names();
    std::lock_guard guard(names.lock);
    return names.links.erase(NormaliseLinkName(link)) != 0 ? STATUS_SUCCESS
                                                           : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS IoOpenDevice(const std::u16string& name, uint32_t processId,
                      std::shared_ptr<FILE_OBJECT>* file) {
    std::shared_ptr<DEVICE_OBJECT> device;
    {
        Namespace& names = Names();
        std::lock_guard guard(names.lock);
        std::u16string key = NormaliseLinkName(name);
        auto link = names.links.find(key);
        if (link != names.links.end()) {
            key = link->second;
        }
        auto it = names.devices.find(key);
        if (it == names.devices.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        device = it->second;
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
