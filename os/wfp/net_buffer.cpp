#include "os/wfp/net_buffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace os {
namespace {

void* AllocateBlock(bool fromPool, uint32_t tag, size_t size) {
    if (fromPool) {
        return ExAllocatePoolWithTag(PoolType::NonPaged, size, tag);
    }
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void FreeBlock(bool fromPool, uint32_t tag, void* block) {
    if (fromPool) {
        ExFreePoolWithTag(block, tag);
    } else {
        std::free(block);
    }
}

}  // namespace

struct NetBufferFactory {
    // The list header and its storage are separate blocks, so a retreat can replace the storage.
    static NetBufferListPtr Make(bool fromPool, uint32_t tag, std::span<const uint8_t> data,
                                 size_t headroom) {
        void* header = AllocateBlock(fromPool, tag, sizeof(NET_BUFFER_LIST));
        if (header == nullptr) {
            return nullptr;
        }
        size_t capacity = headroom + data.size();
        auto* storage = static_cast<uint8_t*>(AllocateBlock(fromPool, tag, capacity));
        if (storage == nullptr) {
            FreeBlock(fromPool, tag, header);
            return nullptr;
        }
        if (!data.empty()) {
            std::memcpy(storage + headroom, data.data(), data.size());
        }
        NET_BUFFER_LIST* list = new (header) NET_BUFFER_LIST();
        list->storage_ = storage;
        list->capacity_ = capacity;
        list->offset_ = headroom;
        list->length_ = data.size();
        list->kind_ = fromPool ? NET_BUFFER_LIST::Kind::Pool : NET_BUFFER_LIST::Kind::Engine;
        list->tag_ = tag;
        list->ownsStorage_ = true;
        return NetBufferListPtr(list);
    }

    static NetBufferListPtr Describe(uint32_t tag, std::span<uint8_t> memory, size_t offset,
                                     size_t length) {
        if (offset > memory.size() || length > memory.size() - offset) {
            return nullptr;
        }
        void* header = ExAllocatePoolWithTag(PoolType::NonPaged, sizeof(NET_BUFFER_LIST), tag);
        if (header == nullptr) {
            return nullptr;
        }
        NET_BUFFER_LIST* list = new (header) NET_BUFFER_LIST();
        list->storage_ = memory.data();
        list->capacity_ = offset + length;
        list->offset_ = offset;
        list->length_ = length;
        list->kind_ = NET_BUFFER_LIST::Kind::Pool;
        list->tag_ = tag;
        list->ownsStorage_ = false;
        return NetBufferListPtr(list);
    }

    static void Free(NET_BUFFER_LIST* list) {
        bool fromPool = list->kind_ == NET_BUFFER_LIST::Kind::Pool;
        uint32_t tag = list->tag_;
        if (list->ownsStorage_) {
            FreeBlock(fromPool, tag, list->storage_);
        }
        list->~NET_BUFFER_LIST();
        FreeBlock(fromPool, tag, list);
    }

    static NTSTATUS Retreat(NET_BUFFER_LIST& list, size_t size) {
        if (size <= list.offset_) {
            list.offset_ -= size;
            list.length_ += size;
            return STATUS_SUCCESS;
        }
        // Not enough room in front: move the buffer into a block that has it.
        bool fromPool = list.kind_ == NET_BUFFER_LIST::Kind::Pool;
        size_t extra = size - list.offset_;
        size_t capacity = list.capacity_ + extra;
        auto* storage = static_cast<uint8_t*>(AllocateBlock(fromPool, list.tag_, capacity));
        if (storage == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(storage, 0, extra);
        if (list.capacity_ > 0) {
            std::memcpy(storage + extra, list.storage_, list.capacity_);
        }
        if (list.ownsStorage_) {
            FreeBlock(fromPool, list.tag_, list.storage_);
        }
        list.storage_ = storage;
        list.capacity_ = capacity;
        list.ownsStorage_ = true;
        if (list.fragmentBoundary_ != 0) {
            list.fragmentBoundary_ += extra;
        }
        list.offset_ = 0;
        list.length_ += size;
        return STATUS_SUCCESS;
    }

    static void Advance(NET_BUFFER_LIST& list, size_t size) {
        size_t step = size < list.length_ ? size : list.length_;
        list.offset_ += step;
        list.length_ -= step;
    }

    static uint8_t* Contiguous(NET_BUFFER_LIST& list, size_t bytesNeeded, uint8_t* storage) {
        if (bytesNeeded > list.length_) {
            return nullptr;
        }
        uint8_t* start = list.storage_ + list.offset_;
        bool crosses = list.fragmentBoundary_ > list.offset_ &&
                       list.fragmentBoundary_ < list.offset_ + bytesNeeded;
        if (!crosses) {
            return start;
        }
        if (storage == nullptr) {
            return nullptr;
        }
        std::memcpy(storage, start, bytesNeeded);
        return storage;
    }
};

void FreeNetBufferList(NET_BUFFER_LIST* list) {
    if (list != nullptr) {
        NetBufferFactory::Free(list);
    }
}

// ---- NetBufferListChain ----

NetBufferListChain::NetBufferListChain(NET_BUFFER_LIST* head) : head_(head) {
    tail_ = head;
    while (tail_ != nullptr && tail_->Next != nullptr) {
        tail_ = tail_->Next;
    }
}

NetBufferListChain::NetBufferListChain(NetBufferListPtr list) {
    Append(std::move(list));
}

NetBufferListChain::NetBufferListChain(NetBufferListChain&& other) noexcept
    : head_(other.head_), tail_(other.tail_) {
    other.head_ = other.tail_ = nullptr;
}

NetBufferListChain& NetBufferListChain::operator=(NetBufferListChain&& other) noexcept {
    if (this != &other) {
        Clear();
        head_ = other.head_;
        tail_ = other.tail_;
        other.head_ = other.tail_ = nullptr;
    }
    return *this;
}

size_t NetBufferListChain::Count() const {
    size_t count = 0;
    for (auto* list = head_; list != nullptr; list = list->Next) {
        ++count;
    }
    return count;
}

size_t NetBufferListChain::DataLength() const {
    size_t length = 0;
    for (auto* list = head_; list != nullptr; list = list->Next) {
        length += list->DataLength();
    }
    return length;
}

void NetBufferListChain::Append(NetBufferListPtr list) {
    if (!list) {
        return;
    }
    NET_BUFFER_LIST* raw = list.release();
    raw->Next = nullptr;
    if (tail_ == nullptr) {
        head_ = tail_ = raw;
    } else {
        tail_->Next = raw;
        tail_ = raw;
    }
}

void NetBufferListChain::Append(NetBufferListChain&& other) {
    if (other.head_ == nullptr || &other == this) {
        return;
    }
    if (tail_ == nullptr) {
        head_ = other.head_;
    } else {
        tail_->Next = other.head_;
    }
    tail_ = other.tail_;
    other.head_ = other.tail_ = nullptr;
}

NetBufferListPtr NetBufferListChain::PopFront() {
    if (head_ == nullptr) {
        return nullptr;
    }
    NET_BUFFER_LIST* first = head_;
    head_ = first->Next;
    if (head_ == nullptr) {
        tail_ = nullptr;
    }
    first->Next = nullptr;
    return NetBufferListPtr(first);
}

NetBufferListChain NetBufferListChain::SplitFront(size_t count) {
    NetBufferListChain front;
    for (size_t i = 0; i < count && head_ != nullptr; ++i) {
        front.Append(PopFront());
    }
    return front;
}

NET_BUFFER_LIST* NetBufferListChain::Release() {
    NET_BUFFER_LIST* head = head_;
    head_ = tail_ = nullptr;
    return head;
}

void NetBufferListChain::Clear() {
    while (head_ != nullptr) {
        NET_BUFFER_LIST* next = head_->Next;
        FreeNetBufferList(head_);
        head_ = next;
    }
    tail_ = nullptr;
}

// ---- Allocation ----

NetBufferListPtr AllocateEngineNetBufferList(std::span<const uint8_t> data, size_t headroom) {
    return NetBufferFactory::Make(false, 0, data, headroom);
}

NetBufferListPtr AllocatePoolNetBufferList(std::span<const uint8_t> data, size_t headroom,
                                           uint32_t tag) {
    return NetBufferFactory::Make(true, tag, data, headroom);
}

NET_BUFFER_LIST_POOL::~NET_BUFFER_LIST_POOL() {
    ExFreePoolWithTag(block_, tag_);
}

NetBufferListPtr NET_BUFFER_LIST_POOL::AllocateNetBufferAndNetBufferList(std::span<uint8_t> memory,
                                                                         size_t dataOffset,
                                                                         size_t dataLength) {
    return NetBufferFactory::Describe(tag_, memory, dataOffset, dataLength);
}

std::unique_ptr<NET_BUFFER_LIST_POOL> NdisAllocateNetBufferListPool(uint32_t tag) {
    void* block = ExAllocatePoolWithTag(PoolType::NonPaged, 64, tag);
    if (block == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<NET_BUFFER_LIST_POOL>(new NET_BUFFER_LIST_POOL(tag, block));
}

NDIS_GENERIC_OBJECT::~NDIS_GENERIC_OBJECT() {
    ExFreePoolWithTag(block_, tag_);
}

std::unique_ptr<NDIS_GENERIC_OBJECT> NdisAllocateGenericObject(uint32_t tag) {
    void* block = ExAllocatePoolWithTag(PoolType::NonPaged, 32, tag);
    if (block == nullptr) {
        return nullptr;
    }
    return std::unique_ptr<NDIS_GENERIC_OBJECT>(new NDIS_GENERIC_OBJECT(tag, block));
}

// ---- Data start ----

NTSTATUS NdisRetreatNetBufferDataStart(NET_BUFFER_LIST& list, size_t size) {
    return NetBufferFactory::Retreat(list, size);
}

void NdisAdvanceNetBufferDataStart(NET_BUFFER_LIST& list, size_t size) {
    NetBufferFactory::Advance(list, size);
}

uint8_t* NdisGetDataBuffer(NET_BUFFER_LIST& list, size_t bytesNeeded, uint8_t* storage) {
    return NetBufferFactory::Contiguous(list, bytesNeeded, storage);
}

// ---- What os/ reaches inside a list ----

void NetBufferAccess::SplitIntoTwoPieces(NET_BUFFER_LIST& list, size_t dataBytesInFirstPiece) {
    if (dataBytesInFirstPiece == 0 || dataBytesInFirstPiece >= list.length_) {
        list.fragmentBoundary_ = 0;
        return;
    }
    list.fragmentBoundary_ = list.offset_ + dataBytesInFirstPiece;
}

void NetBufferAccess::MarkInjected(NET_BUFFER_LIST& list, uint64_t handleId, void* context) {
    list.injectedBy_ = handleId;
    list.injectionContext_ = context;
}

NetBufferListPtr NetBufferAccess::Clone(const NET_BUFFER_LIST& list, uint32_t tag) {
    std::span<const uint8_t> whole(list.storage_, list.capacity_);
    NetBufferListPtr clone = NetBufferFactory::Make(true, tag, whole, 0);
    if (!clone) {
        return nullptr;
    }
    clone->offset_ = list.offset_;
    clone->length_ = list.length_;
    clone->fragmentBoundary_ = list.fragmentBoundary_;
    clone->previouslyInjectedBy_ =
        list.injectedBy_ != 0 ? list.injectedBy_ : list.previouslyInjectedBy_;
    clone->injectionContext_ = list.injectionContext_;
    clone->notFromMachineResolver_ = list.notFromMachineResolver_;
    clone->indicatedBy_ = list.indicatedBy_;
    return clone;
}

}  // namespace os
