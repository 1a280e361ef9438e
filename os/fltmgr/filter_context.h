// Contexts a filter attaches to what it sees: one per filter on a stream handle (an open file
// object) and one per instance. A context is a pool block of the size and tag its type was
// registered with, counted by references: the allocation's own, one more while it is attached,
// one for every Get. When the last goes, the registered clean-up runs and the block is freed, so a
// clean-up never sees a context that is still reachable.
//
// A stream-handle context lives as long as the open: closing the handle (or the last reference to
// the file object going) detaches it, as does FltDeleteContext. An instance context lives as long
// as the instance object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "os/core/status.h"
#include "os/fltmgr/file_io.h"
#include "os/fltmgr/fltmgr.h"
#include "os/kernel/pool.h"

namespace os {

constexpr NTSTATUS STATUS_FLT_CONTEXT_ALREADY_DEFINED = MakeStatus(0xC01C0002);
constexpr NTSTATUS STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND = MakeStatus(0xC01C0016);
constexpr NTSTATUS STATUS_FLT_CONTEXT_ALREADY_LINKED = MakeStatus(0xC01C002C);

enum FLT_SET_CONTEXT_OPERATION : uint32_t {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS = 0,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS = 1,
};

// FltAllocateContext: a zeroed block of `size` bytes (at most the registered size) with one
// reference. STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND for a type the filter did not register,
// STATUS_INVALID_PARAMETER for a size past the registered one or a missing output,
// STATUS_INSUFFICIENT_RESOURCES when the pool refuses.
NTSTATUS FltAllocateContext(const std::shared_ptr<FLT_FILTER>& filter, uint16_t contextType,
                            size_t size, PoolType poolType, void** context);
void FltReferenceContext(void* context);
void FltReleaseContext(void* context);

// FltSetStreamHandleContext: attaches the context to the open for the instance's filter. With
// FLT_SET_CONTEXT_KEEP_IF_EXISTS an attached one stays and STATUS_FLT_CONTEXT_ALREADY_DEFINED is
// returned, with that one in `oldContext` (referenced) when asked for; with REPLACE the old one is
// detached and given back the same way. STATUS_FLT_CONTEXT_ALREADY_LINKED for a context attached
// elsewhere, STATUS_FILE_CLOSED for an open already closed, STATUS_INVALID_PARAMETER for a
// context of another type or filter.
NTSTATUS FltSetStreamHandleContext(const std::shared_ptr<FLT_INSTANCE>& instance,
                                   FLT_FILE_OBJECT& fileObject, FLT_SET_CONTEXT_OPERATION operation,
                                   void* newContext, void** oldContext);
// The attached context, referenced; STATUS_NOT_FOUND when there is none.
NTSTATUS FltGetStreamHandleContext(const std::shared_ptr<FLT_INSTANCE>& instance,
                                   FLT_FILE_OBJECT& fileObject, void** context);

NTSTATUS FltSetInstanceContext(const std::shared_ptr<FLT_INSTANCE>& instance,
                               FLT_SET_CONTEXT_OPERATION operation, void* newContext,
                               void** oldContext);
NTSTATUS FltGetInstanceContext(const std::shared_ptr<FLT_INSTANCE>& instance, void** context);

// Detaches the context from whatever holds it (the holder's reference goes); nothing when it is
// not attached.
void FltDeleteContext(void* context);

// Contexts allocated and not yet freed; for tests that check nothing is kept.
size_t FltLiveContextCount();

// The face's own reach into the holders (file objects and instances).
struct FltContexts {
    // Detaches every context of the open (its handle was closed).
    static void DetachAll(FLT_FILE_OBJECT& fileObject);
    // Detaches the instance context (the instance object goes).
    static void DetachInstance(FLT_INSTANCE& instance);

    static std::vector<std::pair<const FLT_FILTER*, void*>>& HandleContexts(FLT_FILE_OBJECT& file) {
        return file.handleContexts_;
    }
    static bool& ContextsClosed(FLT_FILE_OBJECT& file) { return file.contextsClosed_; }
    static void*& InstanceContext(FLT_INSTANCE& instance) { return instance.context_; }
};

}  // namespace os
