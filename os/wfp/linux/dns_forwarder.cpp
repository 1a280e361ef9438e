#include "os/wfp/linux/dns_forwarder.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "os/wfp/linux/redirect.h"
#include "os/wfp/linux/svcb_strip.h"
#include "os/wfp/wfp_flow.h"

namespace os::wfplinux {
namespace {

constexpr uint64_t kListenerV4Tag = ~0ull;
constexpr uint64_t kListenerV6Tag = ~0ull - 1;
constexpr uint64_t kWakeTag = ~0ull - 2;
constexpr uint64_t kTcpV4Tag = ~0ull - 3;
constexpr uint64_t kTcpV6Tag = ~0ull - 4;
// The sockets for forwarded DNS.
constexpr uint64_t kForwardedV4Tag = ~0ull - 5;
constexpr uint64_t kForwardedV6Tag = ~0ull - 6;
constexpr uint64_t kForwardedTcpV4Tag = ~0ull - 7;
constexpr uint64_t kForwardedTcpV6Tag = ~0ull - 8;
// A loop turn reads at most this many datagrams from one socket, so a flood on one does not
// starve the others.
constexpr int kReadsPerTurn = 64;
// Datagrams taken from a socket by one system call: what is waiting comes at once, and a socket
// that holds fewer is known to be empty without another call that fails.
constexpr unsigned kReadBatch = 8;
// Room for the largest datagram, so that none is cut short.
constexpr size_t kDatagramRoom = 65536;
constexpr size_t kHeaderSize = 12;
// Queries of one exchange (UDP) or connection (TCP) awaiting their answers; past this the oldest is
// forgotten, and an answer to it dropped.
constexpr size_t kAskedPerExchange = 16;
constexpr size_t kAskedPerConnection = 64;
// Connection tracking holds one entry per client socket as the forwarder sees it, and keeps it for
// at least 30 seconds after its last datagram: within this much of the last datagram of a client's
// exchange, its next one is going where that one went, and the netlink round trip is saved.
constexpr int64_t kSameDestinationMs = 1000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

uint16_t Read16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// A client socket's key, and an exchange's (the client's socket and the resolver it asked): the
// addresses' bytes, held in place, since a key is made for every datagram.
struct ADDRESS_KEY {
    std::array<uint8_t, 2 * sizeof(sockaddr_in6)> bytes{};
    size_t size = 0;
    auto operator<=>(const ADDRESS_KEY&) const = default;
    void Append(const sockaddr_storage& address) {
        const size_t length = std::min<size_t>(AddressLength(address), bytes.size() - size);
        std::memcpy(bytes.data() + size, &address, length);
        size += length;
    }
};
ADDRESS_KEY KeyOf(const sockaddr_storage& client) {
    ADDRESS_KEY key;
    key.Append(client);
    return key;
}
ADDRESS_KEY KeyOf(const sockaddr_storage& client, const sockaddr_storage& resolver) {
    ADDRESS_KEY key = KeyOf(client);
    key.Append(resolver);
    return key;
}

// Whether a connected socket's route to `to` is the machine's own: the kernel then picks the
// destination itself as the source. Loopback destinations are judged before this.
bool RoutesToThisMachine(int connectedFd, const sockaddr_storage& to) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(connectedFd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return true;  // nothing known of the route: not worth the risk
    if (local.ss_family != to.ss_family)
        return false;
    if (to.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in&>(local).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in&>(to).sin_addr.s_addr;
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(local).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(to).sin6_addr, 16) == 0;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET)
        return (ntohl(reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr) >> 24) == 127;
    return address.ss_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6&>(address).sin6_addr);
}

// The same for a TCP resolver, asked before anything is sent to it: a UDP socket's connect sends
// nothing and shows the route.
bool IsThisMachine(const sockaddr_storage& to, uint32_t mark) {
    const int probe = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return true;
    const bool own =
        SetSocketMark(probe, mark) != ERROR_SUCCESS ||
        connect(probe, reinterpret_cast<const sockaddr*>(&to), AddressLength(to)) != 0 ||
        RoutesToThisMachine(probe, to);
    close(probe);
    return own;
}

// A datagram to `to` from `from`, an address of this machine that the wildcard socket `fd` holds:
// the one the redirect rewrote the query's destination to, so that connection tracking turns the
// answer's source back into the resolver's.
ssize_t SendFrom(int fd, std::span<const uint8_t> payload, const sockaddr_storage& to,
                 const sockaddr_storage& from) {
    iovec io{const_cast<uint8_t*>(payload.data()), payload.size()};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
    msghdr message{};
    message.msg_name = const_cast<sockaddr_storage*>(&to);
    message.msg_namelen = AddressLength(to);
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (from.ss_family == AF_INET) {
        in_pktinfo info{};
        info.ipi_spec_dst = reinterpret_cast<const sockaddr_in&>(from).sin_addr;
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof info);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        message.msg_controllen = CMSG_SPACE(sizeof info);
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        in6_pktinfo info{};
        info.ipi6_addr = v6.sin6_addr;
        info.ipi6_ifindex = v6.sin6_scope_id;
        header->cmsg_level = IPPROTO_IPV6;
        header->cmsg_type = IPV6_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof info);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
        message.msg_controllen = CMSG_SPACE(sizeof info);
    }
    return sendmsg(fd, &message, MSG_DONTWAIT);
}

// The address a datagram that came to a wildcard socket was sent to (after the redirect), from
// its IP_PKTINFO or IPV6_PKTINFO, with the port `port`; an IPv6 one carries the interface it came
// in on as its scope, for the answer. Unspecified when the datagram told none.
sockaddr_storage DestinationOf(const msghdr& message, uint16_t port) {
    sockaddr_storage local{};
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(const_cast<msghdr*>(&message), header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            auto& v4 = reinterpret_cast<sockaddr_in&>(local);
            v4.sin_family = AF_INET;
            v4.sin_addr = info.ipi_addr;
            v4.sin_port = htons(port);
        } else if (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            auto& v6 = reinterpret_cast<sockaddr_in6&>(local);
            v6.sin6_family = AF_INET6;
            v6.sin6_addr = info.ipi6_addr;
            v6.sin6_port = htons(port);
            v6.sin6_scope_id = info.ipi6_ifindex;
        }
    }
    return local;
}

// The loop's buffers for a batch of datagrams from one socket, made once: the loop reads one socket
// at a time and is done with a batch before it reads the next.
struct DATAGRAMS {
    struct SLOT {
        sockaddr_storage from{};
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo)) + 64];
        iovec io{};
        uint8_t bytes[kDatagramRoom];
    };
    SLOT slots[kReadBatch];
    mmsghdr messages[kReadBatch];

    // Up to `wanted` datagrams waiting on `fd`, without waiting; their count, or -1 with errno.
    int Read(int fd, unsigned wanted) {
        for (unsigned i = 0; i < wanted; ++i) {
            SLOT& slot = slots[i];
            slot.io = {slot.bytes, sizeof slot.bytes};
            messages[i] = {};
            messages[i].msg_hdr.msg_name = &slot.from;
            messages[i].msg_hdr.msg_namelen = sizeof slot.from;
            messages[i].msg_hdr.msg_iov = &slot.io;
            messages[i].msg_hdr.msg_iovlen = 1;
            messages[i].msg_hdr.msg_control = slot.control;
            messages[i].msg_hdr.msg_controllen = sizeof slot.control;
        }
        return recvmmsg(fd, messages, wanted, MSG_DONTWAIT, nullptr);
    }
    std::span<const uint8_t> Payload(int i) const { return {slots[i].bytes, messages[i].msg_len}; }
};

// A wildcard socket that tells each datagram's destination and answers from it; -1 as BindAny.
int BindForwarded(int family, uint16_t port, uint16_t* bound, std::string* why) {
    const int fd = BindAny(family, SOCK_DGRAM, port, bound, why);
    const int one = 1;
    if (fd >= 0 && (family == AF_INET
                        ? setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &one, sizeof one)
                        : setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &one, sizeof one)) != 0) {
        const int err = errno;
        *why = std::string("cannot ask for datagrams' destinations: ") + std::strerror(err);
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Remembers a query awaiting its answer, forgetting the oldest past `bound`.
void Remember(std::vector<DNS_ASKED>& asked, DNS_ASKED query, size_t bound) {
    if (asked.size() >= bound)
        asked.erase(asked.begin());
    asked.push_back(std::move(query));
}

// A descriptor closed when the last holder lets it go: the engine may deliver an injected answer
// after the exchange that made it was forgotten, and must not write to a reused number.
struct SOCKET_HOLD {
    explicit SOCKET_HOLD(int descriptor) : fd(descriptor) {}
    ~SOCKET_HOLD() {
        if (fd >= 0)
            close(fd);
    }
    SOCKET_HOLD(const SOCKET_HOLD&) = delete;
    SOCKET_HOLD& operator=(const SOCKET_HOLD&) = delete;
    const int fd;
};

// The counts, shared with the sinks, which the engine may call after the forwarder stopped.
// Each count on its own, without a lock: several are added for every datagram.
struct COUNTERS {
    void Add(uint64_t DNS_FORWARDER_COUNTS::*member, int64_t by = 1) {
        std::atomic_ref<uint64_t>(counts.*member)
            .fetch_add(static_cast<uint64_t>(by), std::memory_order_relaxed);
    }
    DNS_FORWARDER_COUNTS Get() const {
        static constexpr uint64_t DNS_FORWARDER_COUNTS::*kMembers[] = {
            &DNS_FORWARDER_COUNTS::queries,        &DNS_FORWARDER_COUNTS::answers,
            &DNS_FORWARDER_COUNTS::delivered,      &DNS_FORWARDER_COUNTS::canaryAnswers,
            &DNS_FORWARDER_COUNTS::echStripped,    &DNS_FORWARDER_COUNTS::dropped,
            &DNS_FORWARDER_COUNTS::notQueries,     &DNS_FORWARDER_COUNTS::notAnswers,
            &DNS_FORWARDER_COUNTS::refused,        &DNS_FORWARDER_COUNTS::exchanges,
            &DNS_FORWARDER_COUNTS::tcpConnections, &DNS_FORWARDER_COUNTS::evicted};
        static_assert(
            sizeof kMembers / sizeof kMembers[0] * sizeof(uint64_t) == sizeof(DNS_FORWARDER_COUNTS),
            "every count is read");
        DNS_FORWARDER_COUNTS copy;
        for (auto member : kMembers) {
            copy.*member =
                std::atomic_ref<uint64_t>(counts.*member).load(std::memory_order_relaxed);
        }
        return copy;
    }
    mutable DNS_FORWARDER_COUNTS counts;
};

// What goes back to a client: the answer as it passed the engine, without its ECH keys when
// those are stripped. `stripped` holds the shorter copy when one was made.
std::span<const uint8_t> ForClient(std::span<const uint8_t> answer, bool stripEch,
                                   std::optional<std::vector<uint8_t>>& stripped,
                                   COUNTERS& counters) {
    if (!stripEch)
        return answer;
    stripped = StripEchParams(answer);
    if (!stripped)
        return answer;
    counters.Add(&DNS_FORWARDER_COUNTS::echStripped);
    return *stripped;
}

}  // namespace

std::optional<DNS_QUESTION> ReadDnsQuestion(std::span<const uint8_t> message) {
    if (message.size() < kHeaderSize || Read16(message, 4) != 1)
        return std::nullopt;
    // Label by label; a compression pointer has no place in the only question.
    DNS_QUESTION question;
    size_t at = kHeaderSize;
    for (;;) {
        if (at >= message.size())
            return std::nullopt;
        const uint8_t length = message[at++];
        if (length == 0)
            break;
        if ((length & 0xC0) != 0 || at + length > message.size() ||
            question.name.size() + length > 253)
            return std::nullopt;
        if (!question.name.empty())
            question.name += '.';
        for (size_t i = 0; i < length; ++i) {
            const char c = static_cast<char>(message[at + i]);
            question.name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        at += length;
    }
    if (at + 4 > message.size())
        return std::nullopt;
    question.type = Read16(message, at);
    question.klass = Read16(message, at + 2);
    question.end = at + 4;
    return question;
}

std::optional<std::vector<uint8_t>> DohCanaryAnswer(std::span<const uint8_t> query) {
    // Every query is asked this: a name whose labels do not add up to the canary's length (its
    // dotted length and the length and end bytes) is told without reading it into a string.
    constexpr size_t kCanaryWireLength = sizeof kDohCanaryName - 1 + 2;
    size_t wire = 0;
    for (size_t at = kHeaderSize; wire <= kCanaryWireLength; ++wire) {
        if (at >= query.size())
            return std::nullopt;
        const uint8_t length = query[at];
        if (length == 0)
            break;
        wire += length;
        at += length + 1u;
    }
    if (wire + 1 != kCanaryWireLength)
        return std::nullopt;
    std::optional<DNS_QUESTION> question = ReadDnsQuestion(query);
    if (!question || question->name != kDohCanaryName)
        return std::nullopt;
    const uint16_t flags = Read16(query, 2);
    const bool isQuery = (flags & 0x8000) == 0;
    const unsigned opcode = (flags >> 11) & 0xF;
    if (!isQuery || opcode != 0 || Read16(query, 6) != 0 || Read16(query, 8) != 0)
        return std::nullopt;
    std::vector<uint8_t> answer(query.begin(), query.begin() + static_cast<long>(question->end));
    // A response to the same query: recursion desired kept, recursion available, NXDOMAIN, and
    // nothing but the question (an EDNS record of the query is not echoed).
    const uint16_t answerFlags = static_cast<uint16_t>(0x8000 | (flags & 0x0100) | 0x0080 | 3);
    answer[2] = static_cast<uint8_t>(answerFlags >> 8);
    answer[3] = static_cast<uint8_t>(answerFlags);
    for (size_t i = 6; i < kHeaderSize; ++i)
        answer[i] = 0;
    return answer;
}

namespace {

constexpr uint16_t kTypeOpt = 41;
constexpr uint16_t kTypeSig = 24;
constexpr uint16_t kTypeTsig = 250;
// A record's type, class, TTL and data length.
constexpr size_t kRecordFixedSize = 10;

// The offset past the name at `at`: labels of at most 63 bytes, at most 255 bytes of labels in
// all, and (when `pointers`) compression pointers, each leading into the message past its header
// and before the run of labels it continues, so that every walk ends. 0 when it is not such a
// name. That is stricter than the driver's own walk, which therefore reads every name this lets
// through.
size_t NameEnd(std::span<const uint8_t> m, size_t at, bool pointers) {
    size_t runStart = at;
    size_t wire = 0;
    size_t end = 0;
    for (;;) {
        if (at >= m.size())
            return 0;
        const uint8_t length = m[at];
        if ((length & 0xC0) == 0xC0) {
            if (!pointers || m.size() - at < 2)
                return 0;
            const size_t target = static_cast<size_t>(length & 0x3F) << 8 | m[at + 1];
            if (target < kHeaderSize || target >= runStart)
                return 0;
            if (end == 0)
                end = at + 2;
            at = runStart = target;
            continue;
        }
        if ((length & 0xC0) != 0)
            return 0;
        wire += 1u + length;
        if (wire > 255)
            return 0;
        if (length == 0)
            return end != 0 ? end : at + 1;
        if (length > m.size() - at - 1)
            return 0;
        at += 1u + length;
    }
}

// The offset past the question at 12, 0 when there is none to read.
size_t QuestionEnd(std::span<const uint8_t> m) {
    const size_t name = NameEnd(m, kHeaderSize, false);
    return name != 0 && m.size() - name >= 4 ? name + 4 : 0;
}

// One record at *at: its type; *at moves past it. False when it runs past the message.
bool NextRecord(std::span<const uint8_t> m, size_t* at, uint16_t* type) {
    const size_t name = NameEnd(m, *at, true);
    if (name == 0 || m.size() - name < kRecordFixedSize)
        return false;
    const size_t length = Read16(m, name + 8);
    if (m.size() - name - kRecordFixedSize < length)
        return false;
    *type = Read16(m, name);
    *at = name + kRecordFixedSize + length;
    return true;
}

char Lower(uint8_t c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// The checks of a message's first 12 bytes, which a TCP stream shows before the rest.
DNS_CHECK QueryHeader(std::span<const uint8_t> m) {
    if (m.size() < kHeaderSize)
        return DNS_CHECK::TooShort;
    // QR, opcode, TC and RCODE; the other bits (RD, AD, CD and the rest) carry nothing through.
    if ((Read16(m, 2) & 0xFA0F) != 0)
        return DNS_CHECK::Header;
    if (Read16(m, 4) != 1 || Read16(m, 6) != 0 || Read16(m, 8) != 0 || Read16(m, 10) > 2)
        return DNS_CHECK::Counts;
    return DNS_CHECK::Ok;
}

DNS_CHECK AnswerHeader(std::span<const uint8_t> m) {
    if (m.size() < kHeaderSize)
        return DNS_CHECK::TooShort;
    const uint16_t flags = Read16(m, 2);
    if ((flags & 0x8000) == 0 || ((flags >> 11) & 0xF) != 0)
        return DNS_CHECK::Header;
    if (Read16(m, 4) != 1)
        return DNS_CHECK::Counts;
    return DNS_CHECK::Ok;
}

}  // namespace

const char* DnsCheckText(DNS_CHECK check) {
    switch (check) {
        case DNS_CHECK::Ok:
            return "ok";
        case DNS_CHECK::TooShort:
            return "shorter than a header";
        case DNS_CHECK::Header:
            return "not a standard query or answer";
        case DNS_CHECK::Counts:
            return "unexpected section counts";
        case DNS_CHECK::Question:
            return "malformed question";
        case DNS_CHECK::Records:
            return "malformed record";
        case DNS_CHECK::Trailing:
            return "bytes after the last record";
        case DNS_CHECK::Unasked:
            return "not an answer to a query forwarded";
    }
    return "?";
}

DNS_CHECK CheckDnsQuery(std::span<const uint8_t> message, DNS_ASKED* asked) {
    if (const DNS_CHECK header = QueryHeader(message); header != DNS_CHECK::Ok)
        return header;
    const uint16_t extra = Read16(message, 10);
    const size_t question = QuestionEnd(message);
    if (question == 0)
        return DNS_CHECK::Question;
    // Extra records a stub resolver sends: one EDNS record, and a transaction signature.
    size_t at = question;
    bool edns = false;
    for (uint16_t i = 0; i < extra; ++i) {
        const size_t start = at;
        uint16_t type = 0;
        if (!NextRecord(message, &at, &type))
            return DNS_CHECK::Records;
        if (type == kTypeOpt) {
            if (edns || message[start] != 0)
                return DNS_CHECK::Records;
            edns = true;
        } else if (type != kTypeTsig && type != kTypeSig) {
            return DNS_CHECK::Records;
        }
    }
    if (at != message.size())
        return DNS_CHECK::Trailing;
    if (asked != nullptr) {
        asked->id = Read16(message, 0);
        asked->question.assign(reinterpret_cast<const char*>(message.data()) + kHeaderSize,
                               question - kHeaderSize);
    }
    return DNS_CHECK::Ok;
}

DNS_CHECK CheckDnsAnswer(std::span<const uint8_t> message, std::span<const DNS_ASKED> asked,
                         size_t* matched) {
    if (const DNS_CHECK header = AnswerHeader(message); header != DNS_CHECK::Ok)
        return header;
    const size_t question = QuestionEnd(message);
    if (question == 0)
        return DNS_CHECK::Question;
    const size_t records =
        static_cast<size_t>(Read16(message, 6)) + Read16(message, 8) + Read16(message, 10);
    size_t at = question;
    for (size_t i = 0; i < records; ++i) {
        uint16_t type = 0;
        if (!NextRecord(message, &at, &type))
            return DNS_CHECK::Records;
    }
    if (at != message.size())
        return DNS_CHECK::Trailing;
    const uint16_t id = Read16(message, 0);
    const std::span<const uint8_t> echoed = message.subspan(kHeaderSize, question - kHeaderSize);
    for (size_t i = 0; i < asked.size(); ++i) {
        const std::string& q = asked[i].question;
        if (asked[i].id != id || q.size() != echoed.size())
            continue;
        const size_t name = q.size() - 4;
        bool same = std::memcmp(q.data() + name, echoed.data() + name, 4) == 0;
        for (size_t k = 0; same && k < name; ++k)
            same = Lower(static_cast<uint8_t>(q[k])) == Lower(echoed[k]);
        if (same) {
            if (matched != nullptr)
                *matched = i;
            return DNS_CHECK::Ok;
        }
    }
    return DNS_CHECK::Unasked;
}

bool IsForbiddenResolver(const sockaddr_storage& resolver, uint16_t ownPort,
                         bool loopbackResolvers) {
    if (resolver.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(resolver);
        const uint16_t port = ntohs(v4.sin_port);
        const uint32_t address = ntohl(v4.sin_addr.s_addr);
        // 0.0.0.0/8 reaches this machine as a destination.
        if (port == 0 || port == ownPort || (address >> 24) == 0)
            return true;
        return (address >> 24) == 127 && !loopbackResolvers;
    }
    if (resolver.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(resolver);
        const uint16_t port = ntohs(v6.sin6_port);
        // A query to an IPv4-mapped address would leave as IPv4, which no IPv6 client's query
        // that the redirect brought here was.
        if (port == 0 || port == ownPort || IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr) ||
            IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr))
            return true;
        return IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) && !loopbackResolvers;
    }
    return true;
}

struct DNS_FORWARDER::STATE {
    STATE(FilterEngine& e, DNS_FORWARDER_OPTIONS o) : engine(e), options(std::move(o)) {}

    struct EXCHANGE {
        uint64_t id = 0;
        ADDRESS_KEY key;
        ADDRESS_KEY clientKey;
        sockaddr_storage client{};
        sockaddr_storage resolver{};
        std::shared_ptr<SOCKET_HOLD> upstream;
        std::shared_ptr<DatagramEndpoint> endpoint;
        int64_t lastUsedMs = 0;
        std::list<uint64_t>::iterator use;  // its place in byUse
        // Queries sent and not yet answered (loop thread only).
        std::vector<DNS_ASKED> asked;
    };

    // What passes the engine: outbound queries go to the resolver, inbound answers (the driver's
    // rewritten ones included) back to the client from the forwarder's own address.
    class SINK final : public DatagramSink {
      public:
        // `from`: the address a forwarded query was redirected to, which its answers leave from;
        // null for the loopback sockets, which have only one.
        SINK(std::shared_ptr<COUNTERS> counters, std::shared_ptr<SOCKET_HOLD> upstream,
             std::shared_ptr<SOCKET_HOLD> listener, const sockaddr_storage& client,
             const sockaddr_storage* from, bool stripEch)
            : counters_(std::move(counters)),
              upstream_(std::move(upstream)),
              listener_(std::move(listener)),
              client_(client),
              from_(from != nullptr ? std::optional<sockaddr_storage>(*from) : std::nullopt),
              stripEch_(stripEch) {}
        void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> payload, bool) override {
            if (direction == FWP_DIRECTION_OUTBOUND) {
                if (send(upstream_->fd, payload.data(), payload.size(), MSG_DONTWAIT) < 0)
                    counters_->Add(&DNS_FORWARDER_COUNTS::dropped);
                else
                    counters_->Add(&DNS_FORWARDER_COUNTS::queries);
                return;
            }
            std::optional<std::vector<uint8_t>> stripped;
            const std::span<const uint8_t> answer =
                ForClient(payload, stripEch_, stripped, *counters_);
            const ssize_t sent =
                from_ ? SendFrom(listener_->fd, answer, client_, *from_)
                      : sendto(listener_->fd, answer.data(), answer.size(), MSG_DONTWAIT,
                               reinterpret_cast<const sockaddr*>(&client_), AddressLength(client_));
            if (sent < 0)
                counters_->Add(&DNS_FORWARDER_COUNTS::dropped);
            else
                counters_->Add(&DNS_FORWARDER_COUNTS::delivered);
        }

      private:
        const std::shared_ptr<COUNTERS> counters_;
        const std::shared_ptr<SOCKET_HOLD> upstream_;
        const std::shared_ptr<SOCKET_HOLD> listener_;
        const sockaddr_storage client_;
        const std::optional<sockaddr_storage> from_;
        const bool stripEch_;
    };

    // A TCP connection's two sockets: what passes the engine is written, framed, to one of them.
    class TCP_SINK final : public DatagramSink {
      public:
        TCP_SINK(std::shared_ptr<COUNTERS> counters, std::shared_ptr<SOCKET_HOLD> client,
                 std::shared_ptr<SOCKET_HOLD> upstream, bool stripEch)
            : counters_(std::move(counters)),
              client_(std::move(client)),
              upstream_(std::move(upstream)),
              stripEch_(stripEch) {}
        void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> payload, bool) override {
            const bool outbound = direction == FWP_DIRECTION_OUTBOUND;
            std::optional<std::vector<uint8_t>> stripped;
            const bool sent =
                outbound
                    ? WriteFrame(upstream_->fd, payload)
                    : WriteFrame(client_->fd, ForClient(payload, stripEch_, stripped, *counters_));
            counters_->Add(!sent      ? &DNS_FORWARDER_COUNTS::dropped
                           : outbound ? &DNS_FORWARDER_COUNTS::queries
                                      : &DNS_FORWARDER_COUNTS::delivered);
        }
        // One message with its length in front, whole or not at all as far as the peer can tell.
        bool WriteFrame(int fd, std::span<const uint8_t> message) {
            if (message.size() > 0xFFFF)
                return false;
            std::vector<uint8_t> frame;
            frame.reserve(message.size() + 2);
            frame.push_back(static_cast<uint8_t>(message.size() >> 8));
            frame.push_back(static_cast<uint8_t>(message.size()));
            frame.insert(frame.end(), message.begin(), message.end());
            std::lock_guard guard(writeLock_);
            for (size_t done = 0; done < frame.size();) {
                const ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    return false;
                done += static_cast<size_t>(n);
            }
            return true;
        }

      private:
        const std::shared_ptr<COUNTERS> counters_;
        const std::shared_ptr<SOCKET_HOLD> client_;
        const std::shared_ptr<SOCKET_HOLD> upstream_;
        const bool stripEch_;
        std::mutex writeLock_;  // the engine may deliver while the connection's thread writes
    };

    struct TCP_CONNECTION {
        std::shared_ptr<SOCKET_HOLD> client;
        std::shared_ptr<SOCKET_HOLD> upstream;
        sockaddr_storage clientAddress{};
        sockaddr_storage resolver{};
        bool forwarded = false;
        std::thread thread;
        std::atomic<bool> done{false};
        // When a whole message last crossed (tcpActivity's count then), and whether it was shut
        // down to make room.
        std::atomic<uint64_t> lastActive{0};
        bool evicted = false;  // under tcpLock
    };

    void AcceptTcp(int listener, bool forwarded);
    void ServeTcp(TCP_CONNECTION& connection);
    void ReapTcp(bool all);
    // Whether a new connection may be served: below the bound, or once the quietest one has been
    // shut down for it.
    bool RoomForTcpLocked();

    void Count(uint64_t DNS_FORWARDER_COUNTS::*member, int64_t by = 1) {
        counters->Add(member, by);
    }

    void Loop();
    void ReadClients(int family, bool forwarded);
    // The datagram in `slot` of the batch just read from the client socket `fd`.
    void ClientDatagram(int fd, int family, bool forwarded, int slot);
    void ReadUpstream(uint64_t id);
    // The client's exchange with the resolver, made when needed; null when there is no room or
    // (*refused set) the resolver is the machine itself, or the query was forwarded (to `local`)
    // from where the machine does not forward.
    EXCHANGE* ExchangeFor(const sockaddr_storage& client, const sockaddr_storage& resolver,
                          int family, const sockaddr_storage* local, bool* refused);
    // A resolver no query may go to: the forwarder's ports among them.
    bool Forbidden(const sockaddr_storage& resolver) const {
        return IsForbiddenResolver(resolver, port, options.loopbackResolvers) ||
               (forwardedPort != 0 &&
                IsForbiddenResolver(resolver, forwardedPort, options.loopbackResolvers));
    }
    void Forget(std::map<uint64_t, EXCHANGE>::iterator it);
    void Used(EXCHANGE& exchange) {
        exchange.lastUsedMs = nowMs;
        byUse.splice(byUse.end(), byUse, exchange.use);
    }
    // Tells the engine when the endpoint's resolver is not one the machine asks.
    void MarkResolver(DatagramEndpoint& endpoint, const sockaddr_storage& resolver) const {
        if (options.machineResolver && !options.machineResolver(resolver))
            endpoint.SetRemoteNotMachineResolver();
    }
    // Where the client's last datagram went, if that was a moment ago.
    bool RecentDestination(const sockaddr_storage& client, sockaddr_storage* resolver);
    void ExpireIdle();

    FilterEngine& engine;
    const DNS_FORWARDER_OPTIONS options;
    std::shared_ptr<SOCKET_HOLD> listeners[2];  // IPv4, IPv6
    std::shared_ptr<SOCKET_HOLD> tcpListeners[2];
    // On every address, for forwarded DNS.
    std::shared_ptr<SOCKET_HOLD> forwardedListeners[2];
    std::shared_ptr<SOCKET_HOLD> forwardedTcpListeners[2];
    std::mutex tcpLock;
    std::vector<std::unique_ptr<TCP_CONNECTION>> tcpConnections;
    std::atomic<uint64_t> tcpActivity{0};
    sockaddr_storage listenerAddresses[2]{};
    uint16_t port = 0;
    uint16_t forwardedPort = 0;
    int epollFd = -1;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::thread loop;

    // Loop thread only.
    std::map<uint64_t, EXCHANGE> exchanges;
    // Exchange IDs, the least recently used first.
    std::list<uint64_t> byUse;
    std::map<ADDRESS_KEY, uint64_t> byKey;
    std::map<ADDRESS_KEY, size_t> perClient;  // exchanges held by each client socket
    std::map<ADDRESS_KEY, uint64_t> latest;   // each client socket's exchange last used
    uint64_t nextId = 1;
    // Read once a turn, after the wait: fine enough for idle spells, and no clock read per
    // datagram.
    int64_t nowMs = 0;
    // Not zeroed: only the pages a datagram is written to are ever touched.
    std::unique_ptr<DATAGRAMS> datagrams{new DATAGRAMS};

    const std::shared_ptr<COUNTERS> counters = std::make_shared<COUNTERS>();
};

void DNS_FORWARDER::STATE::Loop() {
    epoll_event events[64];
    const int sweepMs = std::clamp(options.idleTimeoutMs, 10, 500);
    int64_t nextSweep = NowMs() + sweepMs;
    while (!stopping.load()) {
        const int n = epoll_wait(epollFd, events, 64, sweepMs);
        nowMs = NowMs();
        for (int i = 0; i < n; ++i) {
            const uint64_t tag = events[i].data.u64;
            if (tag == kWakeTag) {
                uint64_t ignored = 0;
                [[maybe_unused]] ssize_t r = read(wakeFd, &ignored, sizeof ignored);
            } else if (tag == kListenerV4Tag || tag == kForwardedV4Tag) {
                ReadClients(AF_INET, tag == kForwardedV4Tag);
            } else if (tag == kListenerV6Tag || tag == kForwardedV6Tag) {
                ReadClients(AF_INET6, tag == kForwardedV6Tag);
            } else if (tag == kTcpV4Tag || tag == kTcpV6Tag) {
                AcceptTcp(tcpListeners[tag == kTcpV4Tag ? 0 : 1]->fd, false);
            } else if (tag == kForwardedTcpV4Tag || tag == kForwardedTcpV6Tag) {
                AcceptTcp(forwardedTcpListeners[tag == kForwardedTcpV4Tag ? 0 : 1]->fd, true);
            } else {
                ReadUpstream(tag);
            }
        }
        if (nowMs >= nextSweep) {
            ExpireIdle();
            nextSweep = nowMs + sweepMs;
        }
    }
}

void DNS_FORWARDER::STATE::ReadClients(int family, bool forwarded) {
    const int index = family == AF_INET ? 0 : 1;
    const int fd = (forwarded ? forwardedListeners[index] : listeners[index])->fd;
    for (int turn = 0; turn < kReadsPerTurn;) {
        const int n = datagrams->Read(fd, kReadBatch);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // EAGAIN, or an error of an earlier send reported here
        }
        for (int i = 0; i < n; ++i)
            ClientDatagram(fd, family, forwarded, i);
        turn += n;
        if (static_cast<unsigned>(n) < kReadBatch)
            return;  // nothing more is waiting
    }
}

void DNS_FORWARDER::STATE::ClientDatagram(int fd, int family, bool forwarded, int slot) {
    const int index = family == AF_INET ? 0 : 1;
    const sockaddr_storage& client = datagrams->slots[slot].from;
    const socklen_t length = datagrams->messages[slot].msg_hdr.msg_namelen;
    // Where the redirect sent the datagram: the one loopback address, or for forwarded DNS the
    // address of the interface it came in on.
    const sockaddr_storage local =
        forwarded ? DestinationOf(datagrams->messages[slot].msg_hdr, forwardedPort)
                  : listenerAddresses[index];
    const std::span<const uint8_t> query = datagrams->Payload(slot);
    DNS_ASKED asked;
    if (CheckDnsQuery(query, &asked) != DNS_CHECK::Ok) {
        Count(&DNS_FORWARDER_COUNTS::notQueries);
        return;
    }
    if (options.answerDohCanary) {
        if (auto answer = DohCanaryAnswer(query)) {
            const ssize_t sent = forwarded
                                     ? SendFrom(fd, *answer, client, local)
                                     : sendto(fd, answer->data(), answer->size(), MSG_DONTWAIT,
                                              reinterpret_cast<const sockaddr*>(&client), length);
            if (sent >= 0)
                Count(&DNS_FORWARDER_COUNTS::canaryAnswers);
            return;
        }
    }
    sockaddr_storage resolver{};
    const bool known = local.ss_family == family &&
                       (options.destination ? options.destination(client, local, &resolver)
                                            : RecentDestination(client, &resolver) ||
                                                  OriginalDatagramDestination(
                                                      client, local, &resolver) == ERROR_SUCCESS);
    if (!known || resolver.ss_family != family) {
        Count(&DNS_FORWARDER_COUNTS::dropped);
        return;
    }
    bool refused = Forbidden(resolver);
    EXCHANGE* exchange =
        refused ? nullptr
                : ExchangeFor(client, resolver, family, forwarded ? &local : nullptr, &refused);
    if (exchange == nullptr) {
        Count(refused ? &DNS_FORWARDER_COUNTS::refused : &DNS_FORWARDER_COUNTS::dropped);
        return;
    }
    Used(*exchange);
    latest[exchange->clientKey] = exchange->id;
    Remember(exchange->asked, std::move(asked), kAskedPerExchange);
    // What the engine permits reaches the sink, which sends it on.
    if (!exchange->endpoint->Send(FWP_DIRECTION_OUTBOUND, query))
        Count(&DNS_FORWARDER_COUNTS::dropped);
}

void DNS_FORWARDER::STATE::ReadUpstream(uint64_t id) {
    auto it = exchanges.find(id);
    if (it == exchanges.end())
        return;
    EXCHANGE& exchange = it->second;
    for (int turn = 0; turn < kReadsPerTurn;) {
        const int n = datagrams->Read(exchange.upstream->fd, kReadBatch);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A port unreachable from the resolver shows as ECONNREFUSED; the client will time
            // out and retry as it would without the forwarder.
            if (errno != EAGAIN)
                Count(&DNS_FORWARDER_COUNTS::dropped);
            return;
        }
        for (int i = 0; i < n; ++i) {
            const std::span<const uint8_t> answer = datagrams->Payload(i);
            size_t matched = 0;
            if (CheckDnsAnswer(answer, exchange.asked, &matched) != DNS_CHECK::Ok) {
                Count(&DNS_FORWARDER_COUNTS::notAnswers);
                continue;
            }
            exchange.asked.erase(exchange.asked.begin() + static_cast<long>(matched));
            Used(exchange);
            Count(&DNS_FORWARDER_COUNTS::answers);
            exchange.endpoint->Send(FWP_DIRECTION_INBOUND, answer);
        }
        turn += n;
        if (static_cast<unsigned>(n) < kReadBatch)
            return;
    }
}

DNS_FORWARDER::STATE::EXCHANGE* DNS_FORWARDER::STATE::ExchangeFor(const sockaddr_storage& client,
                                                                  const sockaddr_storage& resolver,
                                                                  int family,
                                                                  const sockaddr_storage* local,
                                                                  bool* refused) {
    ADDRESS_KEY key = KeyOf(client, resolver);
    if (auto found = byKey.find(key); found != byKey.end())
        return &exchanges.at(found->second);
    const ADDRESS_KEY clientKey = KeyOf(client);
    const auto held = perClient.find(clientKey);
    if (held != perClient.end() && held->second >= options.maxExchangesPerClient)
        return nullptr;
    if (local != nullptr && !ForwardsFrom(*local)) {
        *refused = true;
        return nullptr;
    }
    const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    auto upstream = std::make_shared<SOCKET_HOLD>(fd);
    if (SetSocketMark(fd, options.mark) != ERROR_SUCCESS ||
        connect(fd, reinterpret_cast<const sockaddr*>(&resolver), AddressLength(resolver)) != 0)
        return nullptr;
    if (!IsLoopback(resolver) && RoutesToThisMachine(fd, resolver)) {
        *refused = true;
        return nullptr;
    }
    if (exchanges.size() >= options.maxExchanges && !byUse.empty()) {
        // Full: the exchange quiet longest makes room. Refusing the new one instead would let
        // whoever holds every exchange (a few datagrams a second keep them) stop all DNS here.
        Forget(exchanges.find(byUse.front()));
        Count(&DNS_FORWARDER_COUNTS::evicted);
    }
    const uint64_t id = nextId++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
        return nullptr;
    FLOW_TUPLE tuple;
    tuple.localAddress = AddressBytes(client, &tuple.localPort);
    tuple.remoteAddress = AddressBytes(resolver, &tuple.remotePort);
    tuple.protocol = IPPROTO_UDP_VALUE;
    // A forwarded query's client is another machine's: no process here owns it.
    std::optional<uint64_t> process =
        options.owner && local == nullptr ? options.owner(client, resolver) : std::nullopt;
    const int index = family == AF_INET ? 0 : 1;
    auto sink = std::make_shared<SINK>(
        counters, upstream, local != nullptr ? forwardedListeners[index] : listeners[index], client,
        local, options.stripEch);
    EXCHANGE exchange;
    exchange.id = id;
    exchange.key = key;
    exchange.clientKey = clientKey;
    exchange.client = client;
    exchange.resolver = resolver;
    exchange.upstream = std::move(upstream);
    exchange.endpoint = engine.OpenDatagramEndpoint(tuple, process, std::move(sink));
    MarkResolver(*exchange.endpoint, resolver);
    byKey.emplace(std::move(key), id);
    exchange.lastUsedMs = nowMs;
    exchange.use = byUse.insert(byUse.end(), id);
    ++perClient[clientKey];
    Count(&DNS_FORWARDER_COUNTS::exchanges);
    return &exchanges.emplace(id, std::move(exchange)).first->second;
}

bool DNS_FORWARDER::STATE::RecentDestination(const sockaddr_storage& client,
                                             sockaddr_storage* resolver) {
    const auto found = latest.find(KeyOf(client));
    if (found == latest.end())
        return false;
    const auto exchange = exchanges.find(found->second);
    if (exchange == exchanges.end() || nowMs - exchange->second.lastUsedMs >= kSameDestinationMs)
        return false;
    *resolver = exchange->second.resolver;
    return true;
}

void DNS_FORWARDER::STATE::Forget(std::map<uint64_t, EXCHANGE>::iterator it) {
    epoll_ctl(epollFd, EPOLL_CTL_DEL, it->second.upstream->fd, nullptr);
    byKey.erase(it->second.key);
    byUse.erase(it->second.use);
    if (auto last = latest.find(it->second.clientKey);
        last != latest.end() && last->second == it->second.id)
        latest.erase(last);
    if (auto held = perClient.find(it->second.clientKey);
        held != perClient.end() && --held->second == 0)
        perClient.erase(held);
    exchanges.erase(it);
    Count(&DNS_FORWARDER_COUNTS::exchanges, -1);
}

void DNS_FORWARDER::STATE::ExpireIdle() {
    const int64_t now = NowMs();
    while (!byUse.empty()) {
        const auto it = exchanges.find(byUse.front());
        if (now - it->second.lastUsedMs < options.idleTimeoutMs)
            return;
        Forget(it);
    }
}

bool DNS_FORWARDER::STATE::RoomForTcpLocked() {
    size_t held = 0;
    TCP_CONNECTION* quietest = nullptr;
    for (auto& connection : tcpConnections) {
        if (connection->done || connection->evicted)
            continue;
        ++held;
        if (quietest == nullptr || connection->lastActive < quietest->lastActive)
            quietest = connection.get();
    }
    if (held < options.maxTcpConnections)
        return true;
    if (quietest == nullptr)
        return false;
    // Full: the connection quiet longest is ended for the new one, as exchanges are over UDP, so
    // that whoever keeps every connection open cannot stop the others' lookups over TCP.
    quietest->evicted = true;
    shutdown(quietest->client->fd, SHUT_RDWR);
    if (quietest->upstream)
        shutdown(quietest->upstream->fd, SHUT_RDWR);
    Count(&DNS_FORWARDER_COUNTS::evicted);
    return true;
}

void DNS_FORWARDER::STATE::ReapTcp(bool all) {
    std::vector<std::unique_ptr<TCP_CONNECTION>> ended;
    {
        std::lock_guard guard(tcpLock);
        for (auto& connection : tcpConnections) {
            if (all) {
                // A thread blocked on either socket wakes when it is shut down.
                shutdown(connection->client->fd, SHUT_RDWR);
                if (connection->upstream)
                    shutdown(connection->upstream->fd, SHUT_RDWR);
            }
        }
        auto first = std::stable_partition(tcpConnections.begin(), tcpConnections.end(),
                                           [all](const auto& c) { return !all && !c->done; });
        std::move(first, tcpConnections.end(), std::back_inserter(ended));
        tcpConnections.erase(first, tcpConnections.end());
    }
    for (auto& connection : ended) {
        if (connection->thread.joinable())
            connection->thread.join();
    }
}

void DNS_FORWARDER::STATE::AcceptTcp(int listener, bool forwarded) {
    ReapTcp(false);
    for (;;) {
        auto connection = std::make_unique<TCP_CONNECTION>();
        socklen_t length = sizeof connection->clientAddress;
        const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&connection->clientAddress),
                               &length, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        connection->client = std::make_shared<SOCKET_HOLD>(fd);
        connection->forwarded = forwarded;
        const bool known = options.tcpDestination
                               ? options.tcpDestination(fd, &connection->resolver)
                               : OriginalDestination(fd, &connection->resolver) == ERROR_SUCCESS;
        bool room;
        {
            std::lock_guard guard(tcpLock);
            room = RoomForTcpLocked();
        }
        bool refused = known && Forbidden(connection->resolver);
        if (known && !refused && forwarded) {
            // As the proxy's listeners for forwarded traffic: only what the table redirected,
            // from where the machine forwards.
            sockaddr_storage local{};
            socklen_t localLength = sizeof local;
            refused = getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
                      SameEndpoint(local, connection->resolver) || !ForwardsFrom(local);
        }
        if (!known || !room || refused ||
            connection->resolver.ss_family != connection->clientAddress.ss_family) {
            linger hard{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            Count(refused ? &DNS_FORWARDER_COUNTS::refused : &DNS_FORWARDER_COUNTS::dropped);
            continue;
        }
        TCP_CONNECTION* raw = connection.get();
        raw->lastActive = ++tcpActivity;
        connection->thread = std::thread([this, raw] {
            Count(&DNS_FORWARDER_COUNTS::tcpConnections);
            ServeTcp(*raw);
            Count(&DNS_FORWARDER_COUNTS::tcpConnections, -1);
            raw->done = true;
        });
        std::lock_guard guard(tcpLock);
        tcpConnections.push_back(std::move(connection));
    }
}

void DNS_FORWARDER::STATE::ServeTcp(TCP_CONNECTION& connection) {
    const int client = connection.client->fd;
    // Both peers learn at once that the exchange is over; the descriptors go when it is reaped.
    struct ENDING {
        TCP_CONNECTION& c;
        ~ENDING() {
            shutdown(c.client->fd, SHUT_RDWR);
            if (c.upstream)
                shutdown(c.upstream->fd, SHUT_RDWR);
        }
    } ending{connection};
    const int family = connection.resolver.ss_family;
    if (!IsLoopback(connection.resolver) && IsThisMachine(connection.resolver, options.mark)) {
        Count(&DNS_FORWARDER_COUNTS::refused);
        return;
    }
    const int upstream = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (upstream < 0)
        return;
    {
        std::lock_guard guard(tcpLock);
        connection.upstream = std::make_shared<SOCKET_HOLD>(upstream);
    }
    const int limitMs = std::max(options.tcpIdleTimeoutMs, 1);
    timeval limit{limitMs / 1000, (limitMs % 1000) * 1000};
    for (int fd : {client, upstream}) {
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    if (SetSocketMark(upstream, options.mark) != ERROR_SUCCESS ||
        connect(upstream, reinterpret_cast<const sockaddr*>(&connection.resolver),
                AddressLength(connection.resolver)) != 0) {
        Count(&DNS_FORWARDER_COUNTS::dropped);
        return;
    }
    FLOW_TUPLE tuple;
    tuple.localAddress = AddressBytes(connection.clientAddress, &tuple.localPort);
    tuple.remoteAddress = AddressBytes(connection.resolver, &tuple.remotePort);
    // Presented as the datagram layer sees DNS, which is where the driver looks at answers.
    tuple.protocol = IPPROTO_UDP_VALUE;
    auto sink = std::make_shared<TCP_SINK>(counters, connection.client, connection.upstream,
                                           options.stripEch);
    std::optional<uint64_t> process =
        options.owner && !connection.forwarded
            ? options.owner(connection.clientAddress, connection.resolver)
            : std::nullopt;
    std::shared_ptr<DatagramEndpoint> endpoint = engine.OpenDatagramEndpoint(tuple, process, sink);
    MarkResolver(*endpoint, connection.resolver);
    std::vector<uint8_t> pending[2];  // bytes read from the client, from the resolver
    std::vector<DNS_ASKED> asked;     // queries sent and not yet answered
    uint8_t buffer[16384];
    while (!stopping.load()) {
        pollfd fds[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (poll(fds, 2, limitMs) <= 0)
            return;  // quiet for too long, or poll failed
        for (int side = 0; side < 2; ++side) {
            if ((fds[side].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            const ssize_t n = recv(fds[side].fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n <= 0)
                return;  // either end closing ends the exchange
            std::vector<uint8_t>& bytes = pending[side];
            bytes.insert(bytes.end(), buffer, buffer + n);
            while (bytes.size() >= 2) {
                const size_t length = static_cast<size_t>(bytes[0] << 8 | bytes[1]);
                // A stream that is not DNS (a tunnel's own protocol, unframed) ends as soon as its
                // first bytes show it, rather than when a length they happen to spell is read.
                const std::span<const uint8_t> header(bytes.data() + 2,
                                                      std::min(bytes.size() - 2, kHeaderSize));
                if (length < kHeaderSize ||
                    (header.size() == kHeaderSize &&
                     (side == 0 ? QueryHeader(header) : AnswerHeader(header)) != DNS_CHECK::Ok)) {
                    Count(side == 0 ? &DNS_FORWARDER_COUNTS::notQueries
                                    : &DNS_FORWARDER_COUNTS::notAnswers);
                    return;
                }
                if (bytes.size() < length + 2)
                    break;
                const std::span<const uint8_t> message(bytes.data() + 2, length);
                // A stream that carries anything but DNS ends here.
                if (side == 0) {
                    DNS_ASKED query;
                    if (CheckDnsQuery(message, &query) != DNS_CHECK::Ok) {
                        Count(&DNS_FORWARDER_COUNTS::notQueries);
                        return;
                    }
                    std::optional<std::vector<uint8_t>> canary;
                    if (options.answerDohCanary)
                        canary = DohCanaryAnswer(message);
                    if (canary) {
                        if (sink->WriteFrame(client, *canary))
                            Count(&DNS_FORWARDER_COUNTS::canaryAnswers);
                    } else {
                        Remember(asked, std::move(query), kAskedPerConnection);
                        if (!endpoint->Send(FWP_DIRECTION_OUTBOUND, message))
                            Count(&DNS_FORWARDER_COUNTS::dropped);
                    }
                } else {
                    size_t matched = 0;
                    if (CheckDnsAnswer(message, asked, &matched) != DNS_CHECK::Ok) {
                        Count(&DNS_FORWARDER_COUNTS::notAnswers);
                        return;
                    }
                    asked.erase(asked.begin() + static_cast<long>(matched));
                    Count(&DNS_FORWARDER_COUNTS::answers);
                    endpoint->Send(FWP_DIRECTION_INBOUND, message);
                }
                bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(length + 2));
                connection.lastActive = ++tcpActivity;
            }
        }
    }
}

DNS_FORWARDER::DNS_FORWARDER(FilterEngine& engine, DNS_FORWARDER_OPTIONS options)
    : state_(std::make_shared<STATE>(engine, std::move(options))) {}

DNS_FORWARDER::~DNS_FORWARDER() {
    Stop();
}

int DNS_FORWARDER::Start(std::string* why) {
    STATE& s = *state_;
    std::string ignored;
    std::string& reason = why != nullptr ? *why : ignored;
    if (s.loop.joinable()) {
        reason = "already started";
        return EALREADY;
    }
    // One port for UDP and TCP on both families. A port the system chose for the first socket
    // may still be taken for another (a connection of someone else's in TIME-WAIT holds it for
    // TCP): then another port is tried, a few times, as long as none was asked for.
    uint16_t port = 0;
    int v4 = -1;
    int v6 = -1;
    for (int attempt = 0;; ++attempt) {
        s.listeners[0].reset();
        s.listeners[1].reset();
        s.tcpListeners[0].reset();
        s.tcpListeners[1].reset();
        port = 0;
        int err = 0;
        v4 = BindLoopback(AF_INET, SOCK_DGRAM, s.options.port, &port, &reason);
        if (v4 < 0) {
            err = errno != 0 ? errno : EINVAL;
        } else {
            s.listeners[0] = std::make_shared<SOCKET_HOLD>(v4);
            v6 = BindLoopback(AF_INET6, SOCK_DGRAM, port, &port, &reason);
            if (v6 < 0) {
                err = errno != 0 ? errno : EINVAL;
            } else {
                s.listeners[1] = std::make_shared<SOCKET_HOLD>(v6);
            }
        }
        for (int family : {AF_INET, AF_INET6}) {
            if (err != 0 || !s.options.tcp) {
                break;
            }
            uint16_t same = port;
            const int fd = BindLoopback(family, SOCK_STREAM, port, &same, &reason);
            if (fd < 0 || listen(fd, 256) != 0) {
                err = errno != 0 ? errno : EINVAL;
                if (fd >= 0)
                    close(fd);
                reason = "cannot listen for DNS over TCP: " + reason;
                break;
            }
            s.tcpListeners[family == AF_INET ? 0 : 1] = std::make_shared<SOCKET_HOLD>(fd);
        }
        if (err == 0) {
            break;
        }
        if (err != EADDRINUSE || s.options.port != 0 || attempt == 15) {
            Stop();
            return err;
        }
    }
    // The sockets for forwarded DNS the same way, on every address and a port of their own.
    for (int attempt = 0; s.options.forwarded; ++attempt) {
        for (auto* held : {&s.forwardedListeners[0], &s.forwardedListeners[1],
                           &s.forwardedTcpListeners[0], &s.forwardedTcpListeners[1]}) {
            held->reset();
        }
        uint16_t forwarded = s.options.forwardedPort;
        int err = 0;
        for (int i = 0; i < 4 && err == 0; ++i) {
            const int family = i % 2 == 0 ? AF_INET : AF_INET6;
            const bool tcp = i >= 2;
            if (tcp && !s.options.tcp) {
                break;
            }
            const int fd = tcp ? BindAny(family, SOCK_STREAM, forwarded, &forwarded, &reason)
                               : BindForwarded(family, forwarded, &forwarded, &reason);
            if (fd < 0 || (tcp && listen(fd, 256) != 0)) {
                err = errno != 0 ? errno : EINVAL;
                if (fd >= 0)
                    close(fd);
                reason = "cannot listen for forwarded DNS: " + reason;
                break;
            }
            // The element chosen, not the array: GCC's sanitizer builds made a copy of the array
            // chosen by the conditional, and the new socket was closed with the copy.
            std::shared_ptr<SOCKET_HOLD>& slot =
                tcp ? s.forwardedTcpListeners[i % 2] : s.forwardedListeners[i % 2];
            slot = std::make_shared<SOCKET_HOLD>(fd);
        }
        if (err == 0) {
            s.forwardedPort = forwarded;
            break;
        }
        if (err != EADDRINUSE || s.options.forwardedPort != 0 || attempt == 15) {
            Stop();
            return err;
        }
    }
    s.listenerAddresses[0] = LoopbackAddress(AF_INET, port);
    s.listenerAddresses[1] = LoopbackAddress(AF_INET6, port);
    s.port = port;
    s.epollFd = epoll_create1(EPOLL_CLOEXEC);
    s.wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    bool ok = s.epollFd >= 0 && s.wakeFd >= 0;
    const uint64_t tags[3] = {kListenerV4Tag, kListenerV6Tag, kWakeTag};
    const int fds[3] = {v4, v6, s.wakeFd};
    for (int i = 0; ok && i < 3; ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = tags[i];
        ok = epoll_ctl(s.epollFd, EPOLL_CTL_ADD, fds[i], &event) == 0;
    }
    for (int i = 0; ok && s.options.tcp && i < 2; ++i) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i == 0 ? kTcpV4Tag : kTcpV6Tag;
        ok = epoll_ctl(s.epollFd, EPOLL_CTL_ADD, s.tcpListeners[i]->fd, &event) == 0;
    }
    const std::pair<const std::shared_ptr<SOCKET_HOLD>*, uint64_t> forwardedSockets[4] = {
        {&s.forwardedListeners[0], kForwardedV4Tag},
        {&s.forwardedListeners[1], kForwardedV6Tag},
        {&s.forwardedTcpListeners[0], kForwardedTcpV4Tag},
        {&s.forwardedTcpListeners[1], kForwardedTcpV6Tag}};
    for (const auto& [held, tag] : forwardedSockets) {
        if (!ok || !*held)
            continue;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = tag;
        ok = epoll_ctl(s.epollFd, EPOLL_CTL_ADD, (*held)->fd, &event) == 0;
    }
    if (!ok) {
        const int err = errno;
        reason = std::string("cannot set up the DNS loop: ") + std::strerror(err);
        Stop();
        return err != 0 ? err : EINVAL;
    }
    port_ = port;
    forwardedPort_ = s.forwardedPort;
    s.stopping = false;
    s.loop = std::thread([&s] { s.Loop(); });
    return 0;
}

void DNS_FORWARDER::Stop() {
    STATE& s = *state_;
    s.stopping = true;
    if (s.loop.joinable()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(s.wakeFd, &one, sizeof one);
        s.loop.join();
    }
    s.ReapTcp(true);
    while (!s.exchanges.empty())
        s.Forget(s.exchanges.begin());
    // Sinks still queued in the engine hold what they write to; the rest closes now.
    s.listeners[0].reset();
    s.listeners[1].reset();
    s.tcpListeners[0].reset();
    s.tcpListeners[1].reset();
    for (auto* held : {&s.forwardedListeners[0], &s.forwardedListeners[1],
                       &s.forwardedTcpListeners[0], &s.forwardedTcpListeners[1]}) {
        held->reset();
    }
    if (s.epollFd >= 0)
        close(s.epollFd);
    if (s.wakeFd >= 0)
        close(s.wakeFd);
    s.epollFd = -1;
    s.wakeFd = -1;
    port_ = 0;
    forwardedPort_ = 0;
    s.forwardedPort = 0;
}

DNS_FORWARDER_COUNTS DNS_FORWARDER::Counts() const {
    return state_->counters->Get();
}

}  // namespace os::wfplinux
