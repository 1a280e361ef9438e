// Scratch buffers for queries that may need to be retried with more room: 2048-byte blocks from a
// lookaside list, larger ones straight from pool. The 8-byte header before the usable bytes holds
// the capacity; its top bit marks a pool block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wexo::drv {

class ScratchBuffer {
  public:
    static constexpr uint32_t kStandardSize = 2048;
    static constexpr uint32_t kGrowth = 4096;

    // Creates and deletes the driver-wide pool (start-up and its unwinding).
    static void CreatePool();
    static void DeletePool();

    // A standard block, or null and capacity 0.
    static void* Get(uint32_t* capacity);
    // Releases the buffer and returns a pool block 4096 bytes larger; the contents are not kept.
    static void* Grow(void* buffer, uint32_t* capacity);
    // The buffer itself when large enough, else a pool block of exactly that size.
    static void* Ensure(void* buffer, uint32_t size);
    static void Release(void* buffer);
    static uint32_t Capacity(const void* buffer);
};

}  // namespace wexo::drv
