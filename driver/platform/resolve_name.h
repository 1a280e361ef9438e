// The driver cannot resolve host names itself: it asks the service with a service call (code 1
// for IPv4, code 2 for IPv6) and sorts the outcome into resolved, not found, failed and no
// service, which is what the DNS-remap resolver thread acts on.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/service_calls.h"
#include "driver/channel/service_call_queue.h"
#include "os/kernel/pool.h"

namespace wexo::drv {

enum class NameFamily { V4, V6 };

enum class ResolveOutcome {
    Resolved,   // status 0: the addresses (possibly none)
    NotFound,   // status 11001 or 11004: the name does not resolve
    Failed,     // any other status, or the call was not answered
    NoService,  // no service is registered (or it timed out before)
};

// The addresses of a resolved name, copied to pool (4 or 16 bytes each, network order).
class RESOLVED_ADDRESSES {
  public:
    static constexpr uint32_t kTag = os::MakePoolTag("RNad");

    RESOLVED_ADDRESSES() = default;
    ~RESOLVED_ADDRESSES();
    RESOLVED_ADDRESSES(RESOLVED_ADDRESSES&& other) noexcept;
    RESOLVED_ADDRESSES& operator=(RESOLVED_ADDRESSES&& other) noexcept;
    RESOLVED_ADDRESSES(const RESOLVED_ADDRESSES&) = delete;
    RESOLVED_ADDRESSES& operator=(const RESOLVED_ADDRESSES&) = delete;

    uint32_t Count() const { return count_; }
    uint32_t ElementSize() const { return elementSize_; }
    const uint8_t* Address(uint32_t index) const { return data_ + index * elementSize_; }

    // Copies `count` addresses of `elementSize` bytes into pool; false (and empty) without memory.
    bool Assign(const uint8_t* source, uint32_t count, uint32_t elementSize);

  private:
    uint8_t* data_ = nullptr;
    uint32_t count_ = 0;
    uint32_t elementSize_ = 0;
};

struct RESOLVE_RESULT {
    ResolveOutcome outcome = ResolveOutcome::Failed;
    CallResult call = CallResult::Failed;
    int32_t status = -1;  // the service's completion status, when answered
    RESOLVED_ADDRESSES addresses;
};

// Submits the request (limit 240 seconds, 512-byte answer buffer) and classifies the outcome.
// Passive level only: the calling thread blocks until the service answers or the call ends.
RESOLVE_RESULT ResolveName(SERVICE_CALL_QUEUE& queue, std::string_view host, NameFamily family);

const char* ResolveOutcomeName(ResolveOutcome outcome);

}  // namespace wexo::drv
