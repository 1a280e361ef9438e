#include "os/kernel/kernel_handles.h"

namespace os {
namespace {

constexpr HANDLE kKernelHandleBits = 0xFFFFFFFF80000000ull;
// The system process's id on Windows; the table is not reachable through LookupProcess.
constexpr uint32_t kSystemProcessId = 4;

PROCESS& SystemHandles() {
    static PROCESS* system = new PROCESS(kSystemProcessId, {}, 0, "System", kSystemLogonId);
    return *system;
}

}  // namespace

HANDLE InsertKernelHandle(std::shared_ptr<void> object, ObjectType type, uint32_t access) {
    HANDLE handle = SystemHandles().InsertHandle(std::move(object), type, access);
    return handle == 0 ? 0 : (handle | kKernelHandleBits);
}

NTSTATUS ReferenceKernelHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                               std::shared_ptr<void>* object) {
    HANDLE_ENTRY entry;
    if (!IsKernelHandle(handle) ||
        !SystemHandles().LookupHandle(handle & ~kKernelHandleBits, &entry)) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry.type != type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((entry.access & desiredAccess) != desiredAccess) {
        return STATUS_ACCESS_DENIED;
    }
    *object = std::move(entry.object);
    return STATUS_SUCCESS;
}

HANDLE InsertHandleFor(uint32_t attributes, std::shared_ptr<void> object, ObjectType type,
                       uint32_t access) {
    if ((attributes & OBJ_KERNEL_HANDLE) != 0) {
        return InsertKernelHandle(std::move(object), type, access);
    }
    auto process = CurrentProcess();
    return process ? process->InsertHandle(std::move(object), type, access) : 0;
}

NTSTATUS ReferenceAnyHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                            std::shared_ptr<void>* object) {
    if (IsKernelHandle(handle)) {
        return ReferenceKernelHandle(handle, desiredAccess, type, object);
    }
    return ObReferenceObjectByHandle(handle, desiredAccess, type, object);
}

NTSTATUS ZwClose(HANDLE handle) {
    HANDLE_ENTRY entry{nullptr, ObjectType::Event, 0};
    if (IsKernelHandle(handle)) {
        entry = SystemHandles().RemoveHandle(handle & ~kKernelHandleBits);
    } else if (handle != kCurrentProcessHandle) {
        if (auto process = CurrentProcess()) {
            entry = process->RemoveHandle(handle);
        }
    }
    if (entry.object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    RunCloseRoutine(entry);
    return STATUS_SUCCESS;
}

size_t KernelHandleCount() {
    return SystemHandles().HandleCount();
}

}  // namespace os
