#include "os/fltmgr/filter_context.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace os {
namespace {

constexpr uint32_t kContextMagic = 0x58544346;  // "FCTX"

// What precedes a context's bytes in its pool block. The filter is kept alive by the header, so
// that the clean-up it registered can still run when the last reference goes after the filter
// was unregistered.
struct alignas(16) CONTEXT_HEADER {
    uint32_t magic = kContextMagic;
    uint16_t type = 0;
    uint32_t tag = 0;
    std::atomic<int32_t> references{1};
    std::shared_ptr<FLT_FILTER> filter;
    // Where it is attached (at most one holder), guarded by LinkLock().
    FLT_FILE_OBJECT* file = nullptr;
    FLT_INSTANCE* instance = nullptr;
};

constexpr size_t kHeaderSize = (sizeof(CONTEXT_HEADER) + 15) & ~size_t{15};

std::atomic<size_t> g_live{0};

// One lock over every attachment: contexts are attached when an open is made and detached when
// it is closed, never on a data path, and one lock cannot be taken in the wrong order.
std::mutex& LinkLock() {
    static std::mutex* lock = new std::mutex();  // never destroyed: threads may outlive main
    return *lock;
}

CONTEXT_HEADER* HeaderOf(void* context) {
    auto* header = reinterpret_cast<CONTEXT_HEADER*>(static_cast<uint8_t*>(context) - kHeaderSize);
    return header->magic == kContextMagic ? header : nullptr;
}

const FLT_CONTEXT_REGISTRATION* FindRegistration(const FLT_FILTER& filter, uint16_t type) {
    for (const FLT_CONTEXT_REGISTRATION& registration : filter.Registration().contexts) {
        if (registration.contextType == type) {
            return &registration;
        }
    }
    return nullptr;
}

// The header of a context about to be attached for the instance's filter, or null when it is not
// one of that filter's contexts of that type. The caller's old-context output starts empty.
CONTEXT_HEADER* NewContextFor(const std::shared_ptr<FLT_INSTANCE>& instance, void* newContext,
                              uint16_t type, void** oldContext) {
    if (oldContext != nullptr) {
        *oldContext = nullptr;
    }
    CONTEXT_HEADER* header = newContext != nullptr ? HeaderOf(newContext) : nullptr;
    if (instance == nullptr || header == nullptr || header->type != type ||
        header->filter.get() != instance->Filter()) {
        return nullptr;
    }
    return header;
}

// A context a replace took off its holder: the holder's reference passes to the caller when it
// asked for the old one, and is dropped otherwise.
void HandBack(void* replaced, void** oldContext) {
    if (replaced == nullptr) {
        return;
    }
    if (oldContext != nullptr) {
        *oldContext = replaced;
    } else {
        FltReleaseContext(replaced);
    }
}

}  // namespace

NTSTATUS FltAllocateContext(const std::shared_ptr<FLT_FILTER>& filter, uint16_t contextType,
                            size_t size, PoolType poolType, void** context) {
    if (context == nullptr || filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *context = nullptr;
    const FLT_CONTEXT_REGISTRATION* registration = FindRegistration(*filter, contextType);
    if (registration == nullptr) {
        return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
    }
    if (size == 0 || size > registration->size) {
        return STATUS_INVALID_PARAMETER;
    }
    void* block = ExAllocatePoolWithTag(poolType, kHeaderSize + size, registration->poolTag);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* header = new (block) CONTEXT_HEADER();
    header->type = contextType;
    header->tag = registration->poolTag;
    header->filter = filter;
    void* bytes = static_cast<uint8_t*>(block) + kHeaderSize;
    std::memset(bytes, 0, size);
    g_live.fetch_add(1);
    *context = bytes;
    return STATUS_SUCCESS;
}

void FltReferenceContext(void* context) {
    CONTEXT_HEADER* header = context != nullptr ? HeaderOf(context) : nullptr;
    if (header != nullptr) {
        header->references.fetch_add(1);
    }
}

void FltReleaseContext(void* context) {
    CONTEXT_HEADER* header = context != nullptr ? HeaderOf(context) : nullptr;
    if (header == nullptr || header->references.fetch_sub(1) != 1) {
        return;
    }
    if (const FLT_CONTEXT_REGISTRATION* registration =
            FindRegistration(*header->filter, header->type);
        registration != nullptr && registration->cleanup) {
        registration->cleanup(context, header->type);
    }
    const uint32_t tag = header->tag;
    header->~CONTEXT_HEADER();
    g_live.fetch_sub(1);
    ExFreePoolWithTag(header, tag);
}

NTSTATUS FltSetStreamHandleContext(const std::shared_ptr<FLT_INSTANCE>& instance,
                                   FLT_FILE_OBJECT& fileObject, FLT_SET_CONTEXT_OPERATION operation,
                                   void* newContext, void** oldContext) {
    CONTEXT_HEADER* header =
        NewContextFor(instance, newContext, FLT_STREAMHANDLE_CONTEXT, oldContext);
    if (header == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    void* replaced = nullptr;
    {
        std::lock_guard guard(LinkLock());
        if (header->file != nullptr || header->instance != nullptr) {
            return STATUS_FLT_CONTEXT_ALREADY_LINKED;
        }
        if (FltContexts::ContextsClosed(fileObject)) {
            return STATUS_FILE_CLOSED;
        }
        for (auto& [filter, existing] : FltContexts::HandleContexts(fileObject)) {
            if (filter != instance->Filter()) {
                continue;
            }
            if (operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (oldContext != nullptr) {
                    FltReferenceContext(existing);
                    *oldContext = existing;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            HeaderOf(existing)->file = nullptr;
            replaced = existing;
            existing = newContext;
            break;
        }
        if (replaced == nullptr) {
            FltContexts::HandleContexts(fileObject).emplace_back(instance->Filter(), newContext);
        }
        header->file = &fileObject;
        FltReferenceContext(newContext);
    }
    HandBack(replaced, oldContext);
    return STATUS_SUCCESS;
}

NTSTATUS FltGetStreamHandleContext(const std::shared_ptr<FLT_INSTANCE>& instance,
                                   FLT_FILE_OBJECT& fileObject, void** context) {
    if (context == nullptr || instance == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *context = nullptr;
    std::lock_guard guard(LinkLock());
    for (const auto& [filter, existing] : FltContexts::HandleContexts(fileObject)) {
        if (filter == instance->Filter()) {
            FltReferenceContext(existing);
            *context = existing;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS FltSetInstanceContext(const std::shared_ptr<FLT_INSTANCE>& instance,
                               FLT_SET_CONTEXT_OPERATION operation, void* newContext,
                               void** oldContext) {
    CONTEXT_HEADER* header = NewContextFor(instance, newContext, FLT_INSTANCE_CONTEXT, oldContext);
    if (header == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    void* replaced = nullptr;
    {
        std::lock_guard guard(LinkLock());
        if (header->file != nullptr || header->instance != nullptr) {
            return STATUS_FLT_CONTEXT_ALREADY_LINKED;
        }
        void*& slot = FltContexts::InstanceContext(*instance);
        if (slot != nullptr && operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
            if (oldContext != nullptr) {
                FltReferenceContext(slot);
                *oldContext = slot;
            }
            return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
        }
        if (slot != nullptr) {
            HeaderOf(slot)->instance = nullptr;
            replaced = slot;
        }
        slot = newContext;
        header->instance = instance.get();
        FltReferenceContext(newContext);
    }
    HandBack(replaced, oldContext);
    return STATUS_SUCCESS;
}

NTSTATUS FltGetInstanceContext(const std::shared_ptr<FLT_INSTANCE>& instance, void** context) {
    if (context == nullptr || instance == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(LinkLock());
    *context = FltContexts::InstanceContext(*instance);
    if (*context == nullptr) {
        return STATUS_NOT_FOUND;
    }
    FltReferenceContext(*context);
    return STATUS_SUCCESS;
}

void FltDeleteContext(void* context) {
    CONTEXT_HEADER* header = context != nullptr ? HeaderOf(context) : nullptr;
    if (header == nullptr) {
        return;
    }
    bool detached = false;
    {
        std::lock_guard guard(LinkLock());
        if (FLT_FILE_OBJECT* file = header->file; file != nullptr) {
            auto& list = FltContexts::HandleContexts(*file);
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->second == context) {
                    list.erase(it);
                    break;
                }
            }
            header->file = nullptr;
            detached = true;
        } else if (FLT_INSTANCE* instance = header->instance; instance != nullptr) {
            FltContexts::InstanceContext(*instance) = nullptr;
            header->instance = nullptr;
            detached = true;
        }
    }
    if (detached) {
        FltReleaseContext(context);
    }
}

size_t FltLiveContextCount() {
    return g_live.load();
}

void FltContexts::DetachAll(FLT_FILE_OBJECT& fileObject) {
    std::vector<std::pair<const FLT_FILTER*, void*>> detached;
    {
        std::lock_guard guard(LinkLock());
        FltContexts::ContextsClosed(fileObject) = true;
        detached.swap(FltContexts::HandleContexts(fileObject));
        for (const auto& entry : detached) {
            HeaderOf(entry.second)->file = nullptr;
        }
    }
    for (const auto& entry : detached) {
        FltReleaseContext(entry.second);
    }
}

void FltContexts::DetachInstance(FLT_INSTANCE& instance) {
    void* context = nullptr;
    {
        std::lock_guard guard(LinkLock());
        std::swap(context, FltContexts::InstanceContext(instance));
        if (context != nullptr) {
            HeaderOf(context)->instance = nullptr;
        }
    }
    FltReleaseContext(context);
}

}  // namespace os
