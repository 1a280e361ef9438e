#include "os/win32/name_resolution.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "os/core/status.h"

namespace os {

uint32_t WinsockErrorFromAddrInfo(int result, int savedErrno) {
    switch (result) {
        case 0:
            return 0;
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
#endif
        case EAI_AGAIN:
            return WSATRY_AGAIN;
        case EAI_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EAI_FAMILY:
            return 10047;  // WSAEAFNOSUPPORT
        case EAI_SYSTEM:
            return savedErrno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : WSANO_RECOVERY;
        default:
            return WSANO_RECOVERY;
    }
}

uint32_t ResolveHostAddresses(const std::string& hostName, bool ipv6,
                              std::vector<RESOLVED_ADDRESS>* addresses) {
    addresses->clear();
    addrinfo hints{};
    hints.ai_family = ipv6 ? AF_INET6 : AF_INET;
    addrinfo* list = nullptr;
    errno = 0;
    int result = getaddrinfo(hostName.c_str(), nullptr, &hints, &list);
    int savedErrno = errno;
    if (result != 0) {
        return WinsockErrorFromAddrInfo(result, savedErrno);
    }
    // Without hints every address comes once per socket type; callers want each once.
    try {
        for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
            RESOLVED_ADDRESS address;
            if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
                const auto* in = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
                address.length = 4;
                std::memcpy(address.bytes.data(), &in->sin_addr, 4);
            } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
                const auto* in6 = reinterpret_cast<const sockaddr_in6*>(entry->ai_addr);
                address.length = 16;
                std::memcpy(address.bytes.data(), &in6->sin6_addr, 16);
            } else {
                continue;
            }
            bool seen = false;
            for (const RESOLVED_ADDRESS& known : *addresses) {
                seen = seen || (known.length == address.length && known.bytes == address.bytes);
            }
            if (!seen) {
                addresses->push_back(address);
            }
        }
    } catch (const std::bad_alloc&) {
        freeaddrinfo(list);
        addresses->clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    freeaddrinfo(list);
    return 0;
}

}  // namespace os
