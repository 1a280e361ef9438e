// What the DNS answer rewriting asks of the driver's settings: whether rewriting is on, the remap
// target of a host, and the target's address as the resolver thread last learnt it. The settings
// implement it; tests of the rewriting may give a table of their own.
#pragma once

#include <cstdint>

#include "os/kernel/pool.h"
#include "os/wfp/ip_packet.h"

namespace wexo::drv {

class DNS_REMAP_TABLES {
  public:
    virtual ~DNS_REMAP_TABLES() = default;

    // The product setting "UnencryptedSearch".
    virtual bool UnencryptedSearch() const = 0;
    // The target of a source host name (NUL-terminated, compared ignoring ASCII case): a fresh
    // non-paged, NUL-terminated copy the caller frees with FreeRemapTarget, or null when the host
    // is not remapped (or there is no memory for the copy).
    virtual char* RemapLookup(const char* host) = 0;
    // The target's address of that family (4 bytes for IPv4, 16 for IPv6, network order) into
    // `address`; false when the target is not in the resolver table or has no such address yet.
    virtual bool RemapTargetAddress(const char* target, os::AddressFamily family,
                                    uint8_t* address) = 0;
};

// Remap targets handed out by RemapLookup are non-paged blocks of this tag.
constexpr uint32_t kRemapTargetTag = os::MakePoolTag("DRMt");

// Frees what RemapLookup returned (null is ignored).
void FreeRemapTarget(char* target);

}  // namespace wexo::drv
