// Address texts as the kernel's runtime library reads them (RtlIpv4StringToAddress,
// RtlIpv6StringToAddress): the dotted four-part form for IPv4, RFC 4291 text for IPv6 (with an
// embedded IPv4 tail), nothing before or after. Addresses come out in network order.
#pragma once

#include <cstdint>
#include <string_view>

#include "os/core/status.h"

namespace os {

// STATUS_INVALID_PARAMETER unless `text` is exactly one IPv4 address in dotted-decimal form.
NTSTATUS RtlIpv4StringToAddress(std::string_view text, uint8_t (&address)[4]);
// STATUS_INVALID_PARAMETER unless `text` is exactly one IPv6 address (no brackets, no zone).
NTSTATUS RtlIpv6StringToAddress(std::string_view text, uint8_t (&address)[16]);

}  // namespace os
