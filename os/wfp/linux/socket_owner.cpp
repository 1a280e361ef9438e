#include "os/wfp/linux/socket_owner.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "os/core/status.h"
#include "os/wfp/linux/redirect.h"

namespace os {

namespace {

// The most remembered sockets; past it a walk starts from nothing, so that sockets long closed
// do not pile up.
constexpr size_t kMaxHolders = 1 << 16;

struct ENDPOINT {
    int family = AF_UNSPEC;  // AF_INET or AF_INET6 after Normalize
    uint8_t address[16] = {};
    uint16_t port = 0;  // network byte order
};

// An IPv4-mapped IPv6 address is the IPv4 address: the kernel hashes such a socket by it.
bool Normalize(const sockaddr_storage& from, ENDPOINT* to) {
    if (from.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(from);
        to->family = AF_INET;
        memcpy(to->address, &v4.sin_addr, 4);
        to->port = v4.sin_port;
        return true;
    }
    if (from.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(from);
        to->port = v6.sin6_port;
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            to->family = AF_INET;
            memcpy(to->address, &v6.sin6_addr.s6_addr[12], 4);
        } else {
            to->family = AF_INET6;
            memcpy(to->address, &v6.sin6_addr, 16);
        }
        return true;
    }
    return false;
}

// Parses "socket:[12345]".
bool SocketInodeOfLink(const char* link, size_t size, uint64_t* inode) {
    static constexpr char kPrefix[] = "socket:[";
    constexpr size_t kPrefixSize = sizeof(kPrefix) - 1;
    if (size <= kPrefixSize + 1 || memcmp(link, kPrefix, kPrefixSize) != 0 || link[size - 1] != ']')
        return false;
    uint64_t value = 0;
    for (size_t i = kPrefixSize; i + 1 < size; ++i) {
        if (link[i] < '0' || link[i] > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(link[i] - '0');
    }
    *inode = value;
    return true;
}

bool AllDigits(const char* name) {
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name) {
        if (*name < '0' || *name > '9')
            return false;
    }
    return true;
}

}  // namespace

uint64_t ProcessStartTime(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[1024];
    const ssize_t size = ::read(fd, text, sizeof(text) - 1);
    ::close(fd);
    if (size <= 0)
        return 0;
    text[size] = '\0';
    // The command name may hold spaces and parentheses; the fields after it follow the last ')'.
    const char* field = strrchr(text, ')');
    if (field == nullptr)
        return 0;
    // After ") " come state (field 3) ... starttime (field 22): skip 19 fields.
    ++field;
    for (int skipped = 0; skipped < 19; ++skipped) {
        field = strchr(field + 1, ' ');
        if (field == nullptr)
            return 0;
    }
    return std::strtoull(field + 1, nullptr, 10);
}

SOCKET_OWNERS::SOCKET_OWNERS(const SOCKET_OWNERS_OPTIONS& options) : records_(options.records) {
    diag_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (diag_ >= 0) {
        // The kernel answers at once; the bound only guards against a lost answer.
        timeval limit{1, 0};
        ::setsockopt(diag_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        netns_ = NetnsCookieOf(diag_);
    }
}

SOCKET_OWNERS::~SOCKET_OWNERS() {
    if (diag_ >= 0)
        ::close(diag_);
}

bool SOCKET_OWNERS::QueryKernel(int protocol, const sockaddr_storage& source,
                                const sockaddr_storage& destination, uint64_t* inode, uid_t* uid,
                                uint64_t* cookie) {
    ENDPOINT local;
    ENDPOINT remote;
    if (diag_ < 0 || !Normalize(source, &local) || !Normalize(destination, &remote) ||
        local.family != remote.family)
        return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    // Without NLM_F_DUMP the kernel looks the one socket up by its exact tuple.
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = ++sequence_;
    message.request.sdiag_family = static_cast<uint8_t>(local.family);
    message.request.sdiag_protocol = static_cast<uint8_t>(protocol);
    message.request.idiag_states = ~0u;
    // UDP looks the socket up as an arriving datagram would: from the remote end to the local
    // one, so the two ends are given the other way round (which also finds a socket that sends
    // without connecting, by its local port).
    ENDPOINT& first = protocol == IPPROTO_UDP ? remote : local;
    ENDPOINT& second = protocol == IPPROTO_UDP ? local : remote;
    message.request.id.idiag_sport = first.port;
    message.request.id.idiag_dport = second.port;
    memcpy(message.request.id.idiag_src, first.address, first.family == AF_INET ? 4 : 16);
    memcpy(message.request.id.idiag_dst, second.address, second.family == AF_INET ? 4 : 16);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(diag_, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) != static_cast<ssize_t>(sizeof(message)))
        return false;
    alignas(nlmsghdr) char answer[8192];
    for (;;) {
        const ssize_t size = ::recv(diag_, answer, sizeof(answer), 0);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return false;
        // The messages one after the other, each within what was received (the macros of
        // netlink.h mix signed and unsigned lengths).
        size_t left = static_cast<size_t>(size);
        for (char* at = answer; left >= sizeof(nlmsghdr);) {
            auto* header = reinterpret_cast<nlmsghdr*>(at);
            if (header->nlmsg_len < sizeof(nlmsghdr) || header->nlmsg_len > left)
                break;
            const size_t step = std::min<size_t>(NLMSG_ALIGN(header->nlmsg_len), left);
            at += step;
            left -= step;
            // An answer to an earlier query that timed out.
            if (header->nlmsg_seq != message.header.nlmsg_seq)
                continue;
            if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_type == NLMSG_DONE)
                return false;
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                return false;
            const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            *inode = found->idiag_inode;
            *uid = found->idiag_uid;
            *cookie = static_cast<uint64_t>(found->id.idiag_cookie[0]) |
                      static_cast<uint64_t>(found->id.idiag_cookie[1]) << 32;
            return true;
        }
    }
}

SOCKET_OWNERS::HOLDER* SOCKET_OWNERS::HolderOf(uint64_t inode) {
    const auto known = holders_.find(inode);
    if (known != holders_.end()) {
        char path[64];
        std::snprintf(path, sizeof(path), "/proc/%d/fd/%d", static_cast<int>(known->second.pid),
                      known->second.fd);
        char link[64];
        const ssize_t size = ::readlink(path, link, sizeof(link));
        uint64_t named = 0;
        if (size > 0 && SocketInodeOfLink(link, static_cast<size_t>(size), &named) &&
            named == inode)
            return &known->second;
        holders_.erase(known);
    }
    return Scan(inode);
}

SOCKET_OWNERS::HOLDER* SOCKET_OWNERS::ScanProcess(pid_t pid, uint64_t inode) {
    char path[32];
    std::snprintf(path, sizeof(path), "/proc/%d/fd", static_cast<int>(pid));
    const int fdFolder = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdFolder < 0)
        return nullptr;  // gone meanwhile, or a kernel thread
    DIR* descriptors = ::fdopendir(fdFolder);
    if (descriptors == nullptr) {
        ::close(fdFolder);
        return nullptr;
    }
    HOLDER* result = nullptr;
    while (const dirent* descriptor = ::readdir(descriptors)) {
        if (!AllDigits(descriptor->d_name))
            continue;
        char link[64];
        const ssize_t size = ::readlinkat(fdFolder, descriptor->d_name, link, sizeof(link));
        uint64_t named = 0;
        if (size <= 0 || !SocketInodeOfLink(link, static_cast<size_t>(size), &named))
            continue;
        // Every socket passed is remembered: the same application's next connections and its
        // other sockets are then found without a walk.
        HOLDER& holder = holders_[named];
        holder = HOLDER{pid, std::atoi(descriptor->d_name), 0};
        if (named == inode)
            result = &holder;
    }
    ::closedir(descriptors);
    return result;
}

SOCKET_OWNERS::HOLDER* SOCKET_OWNERS::Scan(uint64_t inode) {
    ++scans_;
    if (holders_.size() > kMaxHolders)
        holders_.clear();
    // The process that owned the last socket found by a walk is asked first: an application that
    // opens one connection usually opens more.
    if (lastOwner_ > 0) {
        if (HOLDER* found = ScanProcess(lastOwner_, inode))
            return found;
    }
    DIR* processes = ::opendir("/proc");
    if (processes == nullptr)
        return nullptr;
    // This process's sockets are mostly the proxy's own, rarely a redirected client's: they are
    // looked at last.
    const pid_t self = ::getpid();
    HOLDER* result = nullptr;
    while (result == nullptr) {
        const dirent* process = ::readdir(processes);
        if (process == nullptr)
            break;
        if (!AllDigits(process->d_name))
            continue;
        const pid_t pid = static_cast<pid_t>(std::atoi(process->d_name));
        if (pid == self || pid == lastOwner_)
            continue;
        result = ScanProcess(pid, inode);
    }
    ::closedir(processes);
    if (result == nullptr && self != lastOwner_)
        result = ScanProcess(self, inode);
    if (result != nullptr)
        lastOwner_ = result->pid;
    return result;
}

namespace {

void TakeRecord(const BPF_SOCKET_OWNER& record, SOCKET_OWNER* owner) {
    owner->pid = record.pid;
    owner->startTime = record.startTime;
    owner->tid = record.tid;
    owner->cgroup = record.cgroup;
}

}  // namespace

std::optional<SOCKET_OWNER> SOCKET_OWNERS::Find(const sockaddr_storage& source,
                                                const sockaddr_storage& destination, int protocol,
                                                bool walk) {
    return Find(source, destination, protocol, walk, true);
}

std::optional<SOCKET_OWNER> SOCKET_OWNERS::FindHolder(const sockaddr_storage& source,
                                                      const sockaddr_storage& destination,
                                                      int protocol) {
    return Find(source, destination, protocol, true, false);
}

std::optional<SOCKET_OWNER> SOCKET_OWNERS::Find(const sockaddr_storage& source,
                                                const sockaddr_storage& destination, int protocol,
                                                bool walk, bool records) {
    if (protocol != IPPROTO_TCP && protocol != IPPROTO_UDP)
        return std::nullopt;
    SOCKET_OWNER owner;
    // A TCP record is keyed by the tuple itself: no question to sock_diag, no lock.
    if (protocol == IPPROTO_TCP && records) {
        if (const auto record = records_.FindStream(netns_, source, destination)) {
            TakeRecord(*record, &owner);
            owner.uid = record->uid;
            return owner;
        }
    }
    uint64_t cookie = 0;
    {
        // Apart from the walk's lock: a caller that does not walk never waits for one.
        std::lock_guard<std::mutex> guard(diagLock_);
        if (!QueryKernel(protocol, source, destination, &owner.inode, &owner.uid, &cookie))
            return std::nullopt;
    }
    if (protocol == IPPROTO_UDP && records) {
        if (const auto record = records_.FindDatagram(cookie)) {
            // The socket's user stays sock_diag's, as the walk would give it.
            TakeRecord(*record, &owner);
            return owner;
        }
    }
    // A socket without an inode (closed, in TIME_WAIT) has no owner left to find.
    if (owner.inode == 0 || !walk)
        return owner;
    std::lock_guard<std::mutex> guard(lock_);
    HOLDER* holder = HolderOf(owner.inode);
    if (holder == nullptr)
        return owner;
    if (holder->startTime == 0)
        holder->startTime = ProcessStartTime(holder->pid);
    owner.pid = holder->pid;
    owner.startTime = holder->startTime;
    return owner;
}

std::optional<SOCKET_OWNER> SOCKET_OWNERS::FindForAccepted(int fd) {
    sockaddr_storage source{};
    socklen_t size = sizeof(source);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&source), &size) != 0)
        return std::nullopt;
    sockaddr_storage destination{};
    if (OriginalDestination(fd, &destination) != ERROR_SUCCESS) {
        // Not redirected: the client connected to this socket's own address.
        size = sizeof(destination);
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&destination), &size) != 0)
            return std::nullopt;
    }
    return Find(source, destination);
}

void SOCKET_OWNERS::ForgetAll() {
    std::lock_guard<std::mutex> guard(lock_);
    holders_.clear();
    lastOwner_ = 0;
}

uint64_t SOCKET_OWNERS::Scans() const {
    std::lock_guard<std::mutex> guard(lock_);
    return scans_;
}

}  // namespace os
