// Host-name resolution as the service's Winsock calls see it: getaddrinfo for one address family,
// each address once in the resolver's order, failures as Winsock error numbers.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace os {

struct RESOLVED_ADDRESS {
    uint8_t length = 0;               // 4 or 16
    std::array<uint8_t, 16> bytes{};  // network byte order
};

// Returns 0, or WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN, ERROR_NOT_ENOUGH_MEMORY and the like.
uint32_t ResolveHostAddresses(const std::string& hostName, bool ipv6,
                              std::vector<RESOLVED_ADDRESS>* addresses);

// The Winsock error for a getaddrinfo result (savedErrno: errno right after the call).
uint32_t WinsockErrorFromAddrInfo(int result, int savedErrno);

}  // namespace os
