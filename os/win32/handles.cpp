#include "os/win32/handles.h"

#include <string>

#include "os/core/device_gateway.h"

namespace os {
namespace {

// "\\.\X" becomes "\??\X", the name the object manager resolves.
std::u16string DevicePathToObjectName(const char* path) {
    std::string text(path);
    const std::string prefix = "\\\\.\\";
    if (text.rfind(prefix, 0) != 0) {
        return {};
    }
    std::u16string name = u"\\??\\";
    for (char c : text.substr(prefix.size())) {
        name.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    return name;
}

bool Fail(uint32_t error) {
    SetLastError(error);
    return false;
}

}  // namespace

HANDLE CreateFileA(const char* path, uint32_t desiredAccess, uint32_t, uint32_t creationDisposition,
                   uint32_t) {
    auto process = CurrentProcess();
    std::u16string name = path != nullptr ? DevicePathToObjectName(path) : std::u16string();
    if (!process || name.empty() || creationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DEVICE_GATEWAY* gateway = CurrentDeviceGateway();
    if (gateway == nullptr) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<void> file;
    NTSTATUS status = gateway->Open(name, process->Id(), &file);
    if (!NT_SUCCESS(status)) {
        SetLastError(NtStatusToWin32Error(status));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = process->InsertHandle(file, ObjectType::File, desiredAccess);
    if (handle == 0) {
        gateway->Close(file);
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool DeviceIoControl(HANDLE device, uint32_t code, void* input, uint32_t inputLength, void* output,
                     uint32_t outputLength, uint32_t* bytesReturned) {
    auto process = CurrentProcess();
    HANDLE_ENTRY entry;
    if (!process || !process->LookupHandle(device, &entry) || entry.type != ObjectType::File) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    DEVICE_GATEWAY* gateway = CurrentDeviceGateway();
    if (gateway == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    uint64_t information = 0;
    NTSTATUS status =
        gateway->Control(entry.object, code, reinterpret_cast<uint64_t>(input), inputLength,
                         reinterpret_cast<uint64_t>(output), outputLength, &information);
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<uint32_t>(information);
    }
    if (!NT_SUCCESS(status)) {
        return Fail(NtStatusToWin32Error(status));
    }
    return true;
}

HANDLE CreateEventA(bool manualReset, bool initialState) {
    auto process = CurrentProcess();
    if (!process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    auto event = std::make_shared<Event>(
        manualReset ? EventType::Notification : EventType::Synchronization, initialState);
    return process->InsertHandle(event, ObjectType::Event, EVENT_ALL_ACCESS);
}

namespace {

std::shared_ptr<Event> EventByHandle(HANDLE handle) {
    std::shared_ptr<Event> event;
    if (!NT_SUCCESS(ReferenceByHandle(handle, EVENT_MODIFY_STATE, ObjectType::Event, &event))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return event;
}

}  // namespace

bool SetEvent(HANDLE handle) {
    auto event = EventByHandle(handle);
    if (!event) {
        return false;
    }
    event->Set();
    return true;
}

bool ResetEvent(HANDLE handle) {
    auto event = EventByHandle(handle);
    if (!event) {
        return false;
    }
    event->Reset();
    return true;
}

uint32_t WaitForSingleObject(HANDLE handle, uint32_t milliseconds) {
    auto process = CurrentProcess();
    HANDLE_ENTRY entry;
    if (!process || !process->LookupHandle(handle, &entry) || entry.type == ObjectType::File ||
        entry.type == ObjectType::Process) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto object = std::static_pointer_cast<DispatcherObject>(entry.object);
    return WaitForSingleObject(*object, milliseconds);
}

bool CloseHandle(HANDLE handle) {
    auto process = CurrentProcess();
    if (!process) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    HANDLE_ENTRY entry = process->RemoveHandle(handle);
    if (entry.object == nullptr) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    RunCloseRoutine(entry);
    return true;
}

bool VirtualFree(void* address) {
    auto process = CurrentProcess();
    if (!process || !process->ReleaseRegion(reinterpret_cast<uint64_t>(address))) {
        return Fail(ERROR_INVALID_ADDRESS);
    }
    return true;
}

}  // namespace os
