// Net-buffer lists as the filtering engine and NDIS hand them around: one contiguous block of bytes
// per list (one net buffer each), a data start that can be moved back over headers and forward
// again, and chains linked through Next. Lists that the driver allocates or clones come from the
// pool under a tag, so tests can make them fail with os::ScopedPoolFailure; lists the engine builds
// for the traffic it indicates use ordinary memory and never fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "os/core/status.h"
#include "os/kernel/pool.h"

namespace os {

// Tag of the lists that FwpsCloneStreamData and FwpsAllocateCloneNetBufferList produce.
constexpr uint32_t kWfpCloneTag = MakePoolTag("WfpC");

class NET_BUFFER_LIST {
  public:
    NET_BUFFER_LIST* Next = nullptr;
    NTSTATUS Status = STATUS_SUCCESS;

    // The data from the current data start to the end of the buffer.
    std::span<uint8_t> Data() { return {storage_ + offset_, length_}; }
    std::span<const uint8_t> Data() const { return {storage_ + offset_, length_}; }
    size_t DataLength() const { return length_; }
    // Bytes before the data start that a retreat can reuse without allocating.
    size_t DataOffset() const { return offset_; }

  private:
    friend struct NetBufferAccess;
    friend struct NetBufferFactory;
    enum class Kind : uint8_t { Engine, Pool };

    NET_BUFFER_LIST() = default;
    ~NET_BUFFER_LIST() = default;

    uint8_t* storage_ = nullptr;
    size_t capacity_ = 0;
    size_t offset_ = 0;
    size_t length_ = 0;
    Kind kind_ = Kind::Engine;
    uint32_t tag_ = 0;
    bool ownsStorage_ = false;
    // Where a second memory descriptor begins (storage offset); 0 when the buffer is one piece.
    size_t fragmentBoundary_ = 0;
    // Injection handles (ids) that injected this list or the list it was cloned from.
    uint64_t injectedBy_ = 0;
    uint64_t previouslyInjectedBy_ = 0;
    void* injectionContext_ = nullptr;
    // A datagram from a server the machine is not set up to ask for names (see
    // FwpsQueryPacketFromMachineResolver).
    bool notFromMachineResolver_ = false;
    // The datagram endpoint that indicated it (0: none), which its clones name too.
    uint64_t indicatedBy_ = 0;
};

// Frees one list (not its successors), however it was allocated.
void FreeNetBufferList(NET_BUFFER_LIST* list);

struct NetBufferListDeleter {
    void operator()(NET_BUFFER_LIST* list) const { FreeNetBufferList(list); }
};
using NetBufferListPtr = std::unique_ptr<NET_BUFFER_LIST, NetBufferListDeleter>;

// Owns a chain of lists linked through Next; freeing the chain frees every list in it.
class NetBufferListChain {
  public:
    NetBufferListChain() = default;
    // Adopts a chain that starts at head.
    explicit NetBufferListChain(NET_BUFFER_LIST* head);
    explicit NetBufferListChain(NetBufferListPtr list);
    ~NetBufferListChain() { Clear(); }
    NetBufferListChain(NetBufferListChain&& other) noexcept;
    NetBufferListChain& operator=(NetBufferListChain&& other) noexcept;
    NetBufferListChain(const NetBufferListChain&) = delete;
    NetBufferListChain& operator=(const NetBufferListChain&) = delete;

    bool Empty() const { return head_ == nullptr; }
    NET_BUFFER_LIST* Head() const { return head_; }
    NET_BUFFER_LIST* Tail() const { return tail_; }
    size_t Count() const;
    size_t DataLength() const;

    void Append(NetBufferListPtr list);
    void Append(NetBufferListChain&& other);
    NetBufferListPtr PopFront();
    // Takes the first `count` lists (all of them when the chain is shorter) as a chain of their
    // own.
    NetBufferListChain SplitFront(size_t count);
    // Gives up ownership; the caller frees the lists.
    NET_BUFFER_LIST* Release();
    void Clear();

  private:
    NET_BUFFER_LIST* head_ = nullptr;
    NET_BUFFER_LIST* tail_ = nullptr;
};

// A list the engine builds for traffic it indicates: `headroom` spare bytes before the data.
NetBufferListPtr AllocateEngineNetBufferList(std::span<const uint8_t> data, size_t headroom = 0);
// A pool-backed copy of `data` with `headroom` spare bytes before it; null when the pool refuses.
NetBufferListPtr AllocatePoolNetBufferList(std::span<const uint8_t> data, size_t headroom,
                                           uint32_t tag);

// NdisAllocateNetBufferListPool: a pool of lists that describe memory the caller owns. The lists
// come from the pool's tag, so allocating from it can fail under os::ScopedPoolFailure.
class NET_BUFFER_LIST_POOL {
  public:
    ~NET_BUFFER_LIST_POOL();
    NET_BUFFER_LIST_POOL(const NET_BUFFER_LIST_POOL&) = delete;
    NET_BUFFER_LIST_POOL& operator=(const NET_BUFFER_LIST_POOL&) = delete;

    uint32_t Tag() const { return tag_; }
    // NdisAllocateNetBufferAndNetBufferList over a memory descriptor: the list's data is
    // memory[dataOffset, dataOffset + dataLength); the caller keeps the memory alive until the list
    // is freed. Null when the pool refuses or the range is outside the memory.
    NetBufferListPtr AllocateNetBufferAndNetBufferList(std::span<uint8_t> memory, size_t dataOffset,
                                                       size_t dataLength);

  private:
    friend std::unique_ptr<NET_BUFFER_LIST_POOL> NdisAllocateNetBufferListPool(uint32_t tag);
    explicit NET_BUFFER_LIST_POOL(uint32_t tag, void* block) : tag_(tag), block_(block) {}
    uint32_t tag_;
    void* block_;  // the pool's own bookkeeping block
};

// Null when the pool refuses.
std::unique_ptr<NET_BUFFER_LIST_POOL> NdisAllocateNetBufferListPool(uint32_t tag);

// NdisAllocateGenericObject: a small pool block that stands for the driver towards NDIS.
class NDIS_GENERIC_OBJECT {
  public:
    ~NDIS_GENERIC_OBJECT();
    NDIS_GENERIC_OBJECT(const NDIS_GENERIC_OBJECT&) = delete;
    NDIS_GENERIC_OBJECT& operator=(const NDIS_GENERIC_OBJECT&) = delete;
    uint32_t Tag() const { return tag_; }

  private:
    friend std::unique_ptr<NDIS_GENERIC_OBJECT> NdisAllocateGenericObject(uint32_t tag);
    NDIS_GENERIC_OBJECT(uint32_t tag, void* block) : tag_(tag), block_(block) {}
    uint32_t tag_;
    void* block_;
};

std::unique_ptr<NDIS_GENERIC_OBJECT> NdisAllocateGenericObject(uint32_t tag);

// Moves the data start back by `size` bytes, over headers in front of the data. When the spare
// room in front is too small, the buffer is moved into a larger block (which can fail for a
// pool-backed list: STATUS_INSUFFICIENT_RESOURCES).
NTSTATUS NdisRetreatNetBufferDataStart(NET_BUFFER_LIST& list, size_t size);
// Moves the data start forward by `size` bytes (at most the data length).
void NdisAdvanceNetBufferDataStart(NET_BUFFER_LIST& list, size_t size);
// The first `bytesNeeded` bytes of data as one contiguous range: a pointer into the buffer when
// they lie in one memory piece, else a copy in `storage` (when given, at least bytesNeeded bytes),
// else null. Null also when the data is shorter than bytesNeeded.
uint8_t* NdisGetDataBuffer(NET_BUFFER_LIST& list, size_t bytesNeeded, uint8_t* storage);

// What os/ itself needs to reach inside a list.
struct NetBufferAccess {
    static void SplitIntoTwoPieces(NET_BUFFER_LIST& list, size_t dataBytesInFirstPiece);
    static void MarkInjected(NET_BUFFER_LIST& list, uint64_t handleId, void* context);
    static uint64_t InjectedBy(const NET_BUFFER_LIST& list) { return list.injectedBy_; }
    static uint64_t PreviouslyInjectedBy(const NET_BUFFER_LIST& list) {
        return list.previouslyInjectedBy_;
    }
    static void* InjectionContext(const NET_BUFFER_LIST& list) { return list.injectionContext_; }
    static void MarkIndicatedBy(NET_BUFFER_LIST& list, uint64_t endpoint) {
        list.indicatedBy_ = endpoint;
    }
    static uint64_t IndicatedBy(const NET_BUFFER_LIST& list) { return list.indicatedBy_; }
    static void MarkNotFromMachineResolver(NET_BUFFER_LIST& list) {
        list.notFromMachineResolver_ = true;
    }
    static bool FromMachineResolver(const NET_BUFFER_LIST& list) {
        return !list.notFromMachineResolver_;
    }
    // A pool-backed copy of the whole buffer (spare room included) with the same data start.
    static NetBufferListPtr Clone(const NET_BUFFER_LIST& list, uint32_t tag);
};

}  // namespace os
