// The driver's name-resolution calls (codes 1 and 2): the host name of a DNS_NAME_REQUEST is
// resolved with the system resolver and answered with a DNS_ADDRESS_ANSWER of 4- or 16-byte
// addresses, the loopback address left out; resolver errors travel as the completion status.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "service/calls/ip_address.h"
#include "service/calls/service_call.h"

namespace wexo::svc {

// The host name of a DNS_NAME_REQUEST block; false when the block does not add up (too short, a
// pointer outside the block, no terminating NUL inside it). A null pointer is an empty name.
bool ParseDnsNameRequest(const uint8_t* block, uint32_t size, std::string_view* hostName);

// Both always complete the call.
void SC_ResolveDnsNameV4(SERVICE_CALL& call, const std::string& hostName);
void SC_ResolveDnsNameV6(SERVICE_CALL& call, const std::string& hostName);

// Codes 1 and 2 of the dispatcher: parse, then the handler; a block that does not add up is
// logged and answered with SC_STATUS_BAD_REQUEST.
void DispatchResolveDnsName(SERVICE_CALL& call, AddressFamily family, const uint8_t* block,
                            uint32_t size);

}  // namespace wexo::svc
