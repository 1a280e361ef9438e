// Small socket helpers for the real-network tests: addresses from text, listeners, bounded
// connects, accepts and receives, and descriptors that close themselves.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace wexo::test {

class UNIQUE_FD {
  public:
    UNIQUE_FD() = default;
    explicit UNIQUE_FD(int fd) : fd_(fd) {}
    ~UNIQUE_FD() { Reset(); }
    UNIQUE_FD(UNIQUE_FD&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UNIQUE_FD& operator=(UNIQUE_FD&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

inline sockaddr_storage Address(const std::string& ip, uint16_t port) {
    sockaddr_storage address{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    if (::inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
    } else if (::inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
    }
    return address;
}

inline socklen_t AddressSize(const sockaddr_storage& address) {
    return address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// "192.0.2.2:80" or "[2001:db8::2]:8080"; an IPv4-mapped address shows as IPv4.
inline std::string Text(const sockaddr_storage& address) {
    char ip[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, ip, sizeof(ip));
        return std::string(ip) + ":" + std::to_string(ntohs(v4.sin_port));
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], ip, sizeof(ip));
            return std::string(ip) + ":" + std::to_string(ntohs(v6.sin6_port));
        }
        ::inet_ntop(AF_INET6, &v6.sin6_addr, ip, sizeof(ip));
        return "[" + std::string(ip) + "]:" + std::to_string(ntohs(v6.sin6_port));
    }
    return "?";
}

inline std::string LocalText(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return Text(address);
}

inline std::string PeerText(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return Text(address);
}

// A bound socket (listening for TCP); "::" listens on both IPv4 and IPv6.
inline UNIQUE_FD Bound(int type, const std::string& ip, uint16_t port) {
    const sockaddr_storage address = Address(ip, port);
    UNIQUE_FD fd(::socket(address.ss_family, type | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return fd;
    const int one = 1;
    const int zero = 0;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (address.ss_family == AF_INET6)
        ::setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof(zero));
    if (::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&address), AddressSize(address)) != 0)
        return UNIQUE_FD();
    if (type == SOCK_STREAM && ::listen(fd.Get(), 16) != 0)
        return UNIQUE_FD();
    return fd;
}

inline bool Readable(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) == 1;
}

// The next connection within the limit, or an invalid descriptor.
inline UNIQUE_FD AcceptWithin(int listener, int milliseconds) {
    if (!Readable(listener, milliseconds))
        return UNIQUE_FD();
    return UNIQUE_FD(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

// A socket of the address's family; `prepare` runs before connect (to mark it). Connects (TCP) or
// sets the default destination (UDP); 0 or the errno.
inline int Connect(UNIQUE_FD& fd, int type, const sockaddr_storage& to,
                   const std::function<void(int)>& prepare = nullptr) {
    fd = UNIQUE_FD(::socket(to.ss_family, type | SOCK_CLOEXEC, 0));
    if (!fd.Valid())
        return errno;
    timeval limit{2, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    if (prepare != nullptr)
        prepare(fd.Get());
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), AddressSize(to)) != 0)
        return errno;
    return 0;
}

// A TCP listener on 127.0.0.1 on a port chosen now (in *port); -1 on failure.
inline int LoopbackListener(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

// A TCP connection to 127.0.0.1:port whose reads give up after `receiveSeconds` (0: never); -1
// when it cannot be made.
inline int ConnectLoopback(uint16_t port, int receiveSeconds = 0) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (receiveSeconds > 0) {
        timeval limit{receiveSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    return fd;
}

}  // namespace wexo::test
