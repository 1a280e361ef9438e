#include "os/wfp/linux/redirect.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <span>
#include <vector>

#include "os/core/status.h"

namespace os {

std::span<const uint8_t> FindNetlinkAttribute(std::span<const uint8_t> area, uint16_t type) {
    size_t at = 0;
    while (at + NLA_HDRLEN <= area.size()) {
        nlattr attribute;
        memcpy(&attribute, area.data() + at, sizeof(attribute));
        if (attribute.nla_len < NLA_HDRLEN || at + attribute.nla_len > area.size())
            break;
        if ((attribute.nla_type & NLA_TYPE_MASK) == type)
            return area.subspan(at + NLA_HDRLEN, attribute.nla_len - NLA_HDRLEN);
        at += NLA_ALIGN(attribute.nla_len);
    }
    return {};
}

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

// A ctnetlink request, built attribute by attribute; nests are closed in reverse order of opening.
class NETLINK_MESSAGE {
  public:
    NETLINK_MESSAGE(uint16_t type, uint16_t flags, uint8_t family) {
        bytes_.resize(NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg)));
        auto* header = reinterpret_cast<nlmsghdr*>(bytes_.data());
        header->nlmsg_type = type;
        header->nlmsg_flags = flags;
        header->nlmsg_seq = 1;
        auto* generic = reinterpret_cast<nfgenmsg*>(bytes_.data() + NLMSG_HDRLEN);
        generic->nfgen_family = family;
        generic->version = NFNETLINK_V0;
    }
    size_t Open(uint16_t type) {
        const size_t at = bytes_.size();
        Put(type | NLA_F_NESTED, {});
        return at;
    }
    void Close(size_t at) {
        reinterpret_cast<nlattr*>(bytes_.data() + at)->nla_len =
            static_cast<uint16_t>(bytes_.size() - at);
    }
    void Put(uint16_t type, std::span<const uint8_t> value) {
        const size_t at = bytes_.size();
        bytes_.resize(at + NLA_ALIGN(NLA_HDRLEN + value.size()));
        auto* attribute = reinterpret_cast<nlattr*>(bytes_.data() + at);
        attribute->nla_type = type;
        attribute->nla_len = static_cast<uint16_t>(NLA_HDRLEN + value.size());
        if (!value.empty())
            memcpy(bytes_.data() + at + NLA_HDRLEN, value.data(), value.size());
    }
    std::span<uint8_t> Finish() {
        reinterpret_cast<nlmsghdr*>(bytes_.data())->nlmsg_len =
            static_cast<uint32_t>(bytes_.size());
        return bytes_;
    }

  private:
    std::vector<uint8_t> bytes_;
};

template <typename T>
std::span<const uint8_t> Bytes(const T& value) {
    return {reinterpret_cast<const uint8_t*>(&value), sizeof(value)};
}

void PutTuple(NETLINK_MESSAGE& message, uint16_t which, const sockaddr_storage& source,
              const sockaddr_storage& destination, uint8_t protocol) {
    const size_t tuple = message.Open(which);
    const size_t ip = message.Open(CTA_TUPLE_IP);
    uint16_t sourcePort = 0;
    uint16_t destinationPort = 0;
    if (source.ss_family == AF_INET) {
        const auto& from = reinterpret_cast<const sockaddr_in&>(source);
        const auto& to = reinterpret_cast<const sockaddr_in&>(destination);
        message.Put(CTA_IP_V4_SRC, Bytes(from.sin_addr));
        message.Put(CTA_IP_V4_DST, Bytes(to.sin_addr));
        sourcePort = from.sin_port;
        destinationPort = to.sin_port;
    } else {
        const auto& from = reinterpret_cast<const sockaddr_in6&>(source);
        const auto& to = reinterpret_cast<const sockaddr_in6&>(destination);
        message.Put(CTA_IP_V6_SRC, Bytes(from.sin6_addr));
        message.Put(CTA_IP_V6_DST, Bytes(to.sin6_addr));
        sourcePort = from.sin6_port;
        destinationPort = to.sin6_port;
    }
    message.Close(ip);
    const size_t proto = message.Open(CTA_TUPLE_PROTO);
    message.Put(CTA_PROTO_NUM, Bytes(protocol));
    message.Put(CTA_PROTO_SRC_PORT, Bytes(sourcePort));  // already in network order
    message.Put(CTA_PROTO_DST_PORT, Bytes(destinationPort));
    message.Close(proto);
    message.Close(tuple);
}

// The original direction's destination out of a conntrack entry's attributes.
bool OriginalDestinationOf(std::span<const uint8_t> attributes, int family,
                           sockaddr_storage* destination) {
    std::span<const uint8_t> tuple = FindNetlinkAttribute(attributes, CTA_TUPLE_ORIG);
    std::span<const uint8_t> ip = FindNetlinkAttribute(tuple, CTA_TUPLE_IP);
    std::span<const uint8_t> proto = FindNetlinkAttribute(tuple, CTA_TUPLE_PROTO);
    std::span<const uint8_t> port = FindNetlinkAttribute(proto, CTA_PROTO_DST_PORT);
    if (port.size() != 2)
        return false;
    *destination = {};
    if (family == AF_INET) {
        std::span<const uint8_t> address = FindNetlinkAttribute(ip, CTA_IP_V4_DST);
        if (address.size() != 4)
            return false;
        auto& v4 = reinterpret_cast<sockaddr_in&>(*destination);
        v4.sin_family = AF_INET;
        memcpy(&v4.sin_addr, address.data(), 4);
        memcpy(&v4.sin_port, port.data(), 2);
        return true;
    }
    std::span<const uint8_t> address = FindNetlinkAttribute(ip, CTA_IP_V6_DST);
    if (address.size() != 16)
        return false;
    auto& v6 = reinterpret_cast<sockaddr_in6&>(*destination);
    v6.sin6_family = AF_INET6;
    memcpy(&v6.sin6_addr, address.data(), 16);
    memcpy(&v6.sin6_port, port.data(), 2);
    return true;
}

}  // namespace

uint32_t OriginalDatagramDestination(const sockaddr_storage& client,
                                     const sockaddr_storage& redirectedTo,
                                     sockaddr_storage* destination) {
    const int family = client.ss_family;
    if (destination == nullptr || family != redirectedTo.ss_family ||
        (family != AF_INET && family != AF_INET6))
        return ERROR_INVALID_PARAMETER;
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    if (fd < 0)
        return Win32ErrorFromErrno(errno);
    // The kernel answers at once; the bound only guards against a netlink that never does.
    timeval bound{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof(bound));
    NETLINK_MESSAGE request((NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_GET, NLM_F_REQUEST,
                            static_cast<uint8_t>(family));
    // After the redirect the reply goes from the forwarder's address back to the client; that
    // tuple names the entry, whose original direction holds where the client sent to.
    PutTuple(request, CTA_TUPLE_REPLY, redirectedTo, client, IPPROTO_UDP);
    std::span<uint8_t> bytes = request.Finish();
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    uint32_t result = ERROR_NOT_FOUND;
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) < 0) {
        result = Win32ErrorFromErrno(errno);
        ::close(fd);
        return result;
    }
    alignas(nlmsghdr) uint8_t reply[8192];
    const ssize_t size = ::recv(fd, reply, sizeof(reply), 0);
    const int receiveError = errno;
    ::close(fd);
    if (size < 0)
        return Win32ErrorFromErrno(receiveError);
    const size_t total = static_cast<size_t>(size);
    for (size_t at = 0; at + NLMSG_HDRLEN <= total;) {
        const auto* header = reinterpret_cast<const nlmsghdr*>(reply + at);
        if (header->nlmsg_len < NLMSG_HDRLEN || at + header->nlmsg_len > total)
            break;
        at += NLMSG_ALIGN(header->nlmsg_len);
        if (header->nlmsg_type == NLMSG_ERROR) {
            const auto* error =
                static_cast<const nlmsgerr*>(NLMSG_DATA(const_cast<nlmsghdr*>(header)));
            if (error->error == 0)
                continue;
            return -error->error == ENOENT ? ERROR_NOT_FOUND : Win32ErrorFromErrno(-error->error);
        }
        if ((header->nlmsg_type & 0xff) != IPCTNL_MSG_CT_NEW)
            continue;
        const size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(nfgenmsg));
        if (header->nlmsg_len < offset)
            break;
        std::span<const uint8_t> attributes(reinterpret_cast<const uint8_t*>(header) + offset,
                                            header->nlmsg_len - offset);
        result = OriginalDestinationOf(attributes, family, destination) ? ERROR_SUCCESS
                                                                        : ERROR_NOT_FOUND;
        break;
    }
    return result;
}

sockaddr_storage LoopbackAddress(int family, uint16_t port) {
    sockaddr_storage address{};
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
    }
    return address;
}

IP_ADDRESS_BYTES AddressBytes(const sockaddr_storage& address, uint16_t* port) {
    IP_ADDRESS_BYTES bytes;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        bytes.family = AddressFamily::IPv4;
        memcpy(bytes.bytes.data(), &v4.sin_addr, 4);
        *port = ntohs(v4.sin_port);
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        bytes.family = AddressFamily::IPv6;
        memcpy(bytes.bytes.data(), &v6.sin6_addr, 16);
        *port = ntohs(v6.sin6_port);
    }
    return bytes;
}

socklen_t AddressLength(const sockaddr_storage& address) {
    return address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

namespace {

int BindTo(const sockaddr_storage& address, int type, uint16_t* bound, std::string* why) {
    const int family = address.ss_family;
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = std::string("socket: ") + strerror(errno);
        return -1;
    }
    const int one = 1;
    if (type == SOCK_STREAM)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == AF_INET6)
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    uint16_t port = 0;
    AddressBytes(address, &port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), AddressLength(address)) != 0) {
        const int err = errno;
        *why = "cannot bind port " + std::to_string(port) + ": " + strerror(err);
        ::close(fd);
        errno = err;
        return -1;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    uint16_t ignored = 0;
    AddressBytes(local, bound != nullptr ? bound : &ignored);
    return fd;
}

// The IPv4 address of an IPv4 or IPv4-mapped IPv6 address, in network order.
bool V4Of(const sockaddr_storage& address, in_addr* v4, uint16_t* port) {
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        *v4 = in.sin_addr;
        *port = in.sin_port;
        return true;
    }
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (address.ss_family != AF_INET6 || !IsV4Mapped(in6))
        return false;
    memcpy(v4, &in6.sin6_addr.s6_addr[12], 4);
    *port = in6.sin6_port;
    return true;
}

bool SwitchIsOn(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr)
        return false;
    int value = 0;
    const bool read = std::fscanf(file, "%d", &value) == 1;
    std::fclose(file);
    return read && value != 0;
}

}  // namespace

int BindLoopback(int family, int type, uint16_t port, uint16_t* bound, std::string* why) {
    return BindTo(LoopbackAddress(family, port), type, bound, why);
}

int BindAny(int family, int type, uint16_t port, uint16_t* bound, std::string* why) {
    sockaddr_storage address{};
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_any;
    }
    return BindTo(address, type, bound, why);
}

bool SameEndpoint(const sockaddr_storage& a, const sockaddr_storage& b) {
    in_addr a4{};
    in_addr b4{};
    uint16_t aPort = 0;
    uint16_t bPort = 0;
    const bool aV4 = V4Of(a, &a4, &aPort);
    const bool bV4 = V4Of(b, &b4, &bPort);
    if (aV4 || bV4)
        return aV4 && bV4 && a4.s_addr == b4.s_addr && aPort == bPort;
    if (a.ss_family != AF_INET6 || b.ss_family != AF_INET6)
        return false;
    const auto& a6 = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& b6 = reinterpret_cast<const sockaddr_in6&>(b);
    return memcmp(&a6.sin6_addr, &b6.sin6_addr, sizeof(in6_addr)) == 0 &&
           a6.sin6_port == b6.sin6_port;
}

bool ForwardsFrom(const sockaddr_storage& local) {
    in_addr v4{};
    uint16_t port = 0;
    if (!V4Of(local, &v4, &port))
        return local.ss_family == AF_INET6 && SwitchIsOn("/proc/sys/net/ipv6/conf/all/forwarding");
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    std::string device;
    for (const ifaddrs* entry = list; entry != nullptr && device.empty(); entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr != v4.s_addr)
            continue;
        // An address's label ("eth0:1") names its device before the colon, which no device
        // name holds.
        device = entry->ifa_name;
        device = device.substr(0, device.find(':'));
    }
    ::freeifaddrs(list);
    return !device.empty() && device.find('/') == std::string::npos &&
           SwitchIsOn("/proc/sys/net/ipv4/conf/" + device + "/forwarding");
}

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
