#include "os/wfp/linux/redirect.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>

#include "os/core/status.h"

namespace os {

namespace {

// SO_ORIGINAL_DST and IP6T_SO_ORIGINAL_DST: their kernel headers clash with glibc's <netinet/in.h>.
constexpr int kOriginalDestinationV4 = 80;
constexpr int kOriginalDestinationV6 = 80;

bool IsV4Mapped(const sockaddr_in6& address) {
    return IN6_IS_ADDR_V4MAPPED(&address.sin6_addr);
}

uint32_t ErrorOfOriginalDestination(int err) {
    // Connection tracking answers ENOENT when it holds no entry for the connection.
    return err == ENOENT ? ERROR_NOT_FOUND : Win32ErrorFromErrno(err);
}

}  // namespace

uint32_t SetSocketMark(int fd, uint32_t mark) {
    if (::setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0)
        return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

uint32_t OriginalDestination(int fd, sockaddr_storage* destination) {
    if (destination == nullptr)
        return ERROR_INVALID_PARAMETER;
    sockaddr_storage peer{};
    socklen_t peerSize = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0)
        return errno == ENOTCONN || errno == ENOTSOCK ? ERROR_INVALID_PARAMETER
                                                      : Win32ErrorFromErrno(errno);
    *destination = {};
    // The IPv4 lookup goes by the socket's IPv4 addresses, which a dual-stack socket holding an
    // IPv4 connection has too; the IPv6 lookup would find nothing for it.
    const bool ipv4 =
        peer.ss_family == AF_INET ||
        (peer.ss_family == AF_INET6 && IsV4Mapped(reinterpret_cast<const sockaddr_in6&>(peer)));
    if (ipv4) {
        sockaddr_in original{};
        socklen_t size = sizeof(original);
        if (::getsockopt(fd, SOL_IP, kOriginalDestinationV4, &original, &size) != 0)
            return ErrorOfOriginalDestination(errno);
        memcpy(destination, &original, sizeof(original));
        return ERROR_SUCCESS;
    }
    if (peer.ss_family != AF_INET6)
        return ERROR_INVALID_PARAMETER;
    sockaddr_in6 original{};
    socklen_t size = sizeof(original);
    if (::getsockopt(fd, SOL_IPV6, kOriginalDestinationV6, &original, &size) != 0)
        return ErrorOfOriginalDestination(errno);
    memcpy(destination, &original, sizeof(original));
    return ERROR_SUCCESS;
}

}  // namespace os
