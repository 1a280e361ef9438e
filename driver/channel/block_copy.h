// The table-driven copy of request and answer blocks between the driver and the service: a fixed
// record followed by the variable parts its pointer fields name, each pointer rewritten to the
// copy.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "os/kernel/caller_memory.h"

namespace wexo::drv {

// Descriptor kinds: each descriptor names fields of the record by byte offset.
enum class BlockPart : uint32_t {
    End = 0,
    Array = 1,     // pointer field, 32-bit count field, element size; followed by element parts
    ArrayEnd = 2,  // closes the element parts of an Array
    String = 4,    // pointer field to a NUL-terminated single-byte string (copied with the NUL)
    Bytes = 5,     // pointer field, 32-bit length field
};

struct BLOCK_DESCRIPTOR {
    BlockPart kind;
    uint32_t pointerOffset = 0;
    uint32_t lengthOffset = 0;  // the count field for Array
    uint32_t elementSize = 0;   // Array only
};

// Memory the engine reads from or writes to: the driver's own (trusted) or the caller's.
class BlockMemory {
  public:
    virtual ~BlockMemory() = default;
    virtual bool Read(uint64_t address, void* destination, size_t length) const = 0;
    virtual bool Write(uint64_t address, const void* source, size_t length) const = 0;
    // Length of the NUL-terminated string at address, without the NUL; false when unreadable or
    // longer than maxLength.
    virtual bool StringLength(uint64_t address, size_t maxLength, size_t* length) const;
};

class KernelMemory final : public BlockMemory {
  public:
    bool Read(uint64_t address, void* destination, size_t length) const override;
    bool Write(uint64_t address, const void* source, size_t length) const override;
    // The driver's own strings are trusted to be terminated: scan no further than the NUL.
    bool StringLength(uint64_t address, size_t maxLength, size_t* length) const override;
};

class CallerBlockMemory final : public BlockMemory {
  public:
    explicit CallerBlockMemory(const os::CallerMemory& caller) : caller_(caller) {}
    bool Read(uint64_t address, void* destination, size_t length) const override;
    bool Write(uint64_t address, const void* source, size_t length) const override;

  private:
    const os::CallerMemory& caller_;
};

// Returns a new block of the given size in the destination's memory, or 0.
using BlockAllocator = std::function<uint64_t(size_t size)>;

struct BLOCK_RESULT {
    uint64_t address = 0;
    uint32_t size = 0;
    bool allocated = false;  // the block is not the destination buffer
};

// Copies record + parts into the destination buffer when it is large enough, else into a block
// from the allocator. Returns false (and nothing allocated is kept) when a part cannot be read,
// the total exceeds maxTotal, the allocation fails, or the block cannot be written.
bool CopyBlock(const BlockMemory& source, uint64_t record, uint32_t recordSize,
               const BlockMemory& destination, uint64_t buffer, uint32_t bufferSize,
               const BlockAllocator& allocate, const std::function<void(uint64_t)>& release,
               std::span<const BLOCK_DESCRIPTOR> descriptors, uint32_t maxTotal,
               BLOCK_RESULT* result);

}  // namespace wexo::drv
