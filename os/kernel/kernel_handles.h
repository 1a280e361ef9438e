// Kernel handles: the handles a driver opens with OBJ_KERNEL_HANDLE live in the system's own
// handle table, not in the table of whichever process the calling thread acts for, so a user
// process can neither see nor close them. Their values have the top bits set, as on 64-bit
// Windows, which is how ZwClose tells them from the current process's handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "os/core/process.h"
#include "os/core/status.h"

namespace os {

// A fixed-size answer asked for with a buffer too short for it.
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = MakeStatus(0xC0000004);

constexpr uint32_t OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr uint32_t OBJ_KERNEL_HANDLE = 0x00000200;

// The current process's pseudo-handle (NtCurrentProcess()): never in a table, never closed.
constexpr HANDLE kCurrentProcessHandle = ~0ull;
constexpr HANDLE NtCurrentProcess() {
    return kCurrentProcessHandle;
}

constexpr bool IsKernelHandle(HANDLE handle) {
    return handle != kCurrentProcessHandle &&
           (handle & 0xFFFFFFFF80000000ull) == 0xFFFFFFFF80000000ull;
}

// A kernel handle to the object (0 when the table refuses).
HANDLE InsertKernelHandle(std::shared_ptr<void> object, ObjectType type, uint32_t access);
// The object behind a kernel handle, checked for type and access as ObReferenceObjectByHandle
// does: STATUS_INVALID_HANDLE, STATUS_OBJECT_TYPE_MISMATCH, STATUS_ACCESS_DENIED.
NTSTATUS ReferenceKernelHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                               std::shared_ptr<void>* object);

template <typename T>
NTSTATUS ReferenceKernelObject(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                               std::shared_ptr<T>* object) {
    std::shared_ptr<void> any;
    NTSTATUS status = ReferenceKernelHandle(handle, desiredAccess, type, &any);
    if (NT_SUCCESS(status)) {
        *object = std::static_pointer_cast<T>(std::move(any));
    }
    return status;
}

// A handle as the driver's Zw calls return it: a kernel handle when the attributes ask for one
// (OBJ_KERNEL_HANDLE), else a handle of the current process. 0 when the table refuses.
HANDLE InsertHandleFor(uint32_t attributes, std::shared_ptr<void> object, ObjectType type,
                       uint32_t access);
// The object behind a kernel handle or a handle of the current process, checked as
// ReferenceKernelHandle checks.
NTSTATUS ReferenceAnyHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                            std::shared_ptr<void>* object);

template <typename T>
NTSTATUS ReferenceAnyObject(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                            std::shared_ptr<T>* object) {
    std::shared_ptr<void> any;
    NTSTATUS status = ReferenceAnyHandle(handle, desiredAccess, type, &any);
    if (NT_SUCCESS(status)) {
        *object = std::static_pointer_cast<T>(std::move(any));
    }
    return status;
}

// Closes a kernel handle, or a handle of the current process; STATUS_INVALID_HANDLE when it is
// neither. The object's close routine runs as for any handle.
NTSTATUS ZwClose(HANDLE handle);

// Kernel handles open now; tests see leaked handles with it.
size_t KernelHandleCount();

}  // namespace os
