#include "os/win32/address_change.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

namespace os {
namespace detail {

// One row of the IPv4 address table: an address on an interface with its prefix. A message about
// a row already in the table is a refresh of it, not a change.
struct IPV4_ADDRESS {
    uint32_t interfaceIndex = 0;
    uint32_t address = 0;  // network order
    uint8_t prefix = 0;

    auto operator<=>(const IPV4_ADDRESS&) const = default;
};
using IPV4_TABLE = std::set<IPV4_ADDRESS>;

// The row an address message names: its local address (IFA_LOCAL, which differs from IFA_ADDRESS
// only on a point-to-point link, where IFA_ADDRESS is the peer's), or IFA_ADDRESS without one.
std::optional<IPV4_ADDRESS> RowOf(const nlmsghdr* header) {
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
        return std::nullopt;
    }
    const auto* message = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
    if (message->ifa_family != AF_INET) {
        return std::nullopt;
    }
    IPV4_ADDRESS row;
    row.interfaceIndex = message->ifa_index;
    row.prefix = message->ifa_prefixlen;
    bool local = false;
    bool any = false;
    auto length = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof(ifaddrmsg)));
    for (auto* attribute = IFA_RTA(message); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        const bool isLocal = attribute->rta_type == IFA_LOCAL;
        if ((isLocal || (attribute->rta_type == IFA_ADDRESS && !local)) &&
            RTA_PAYLOAD(attribute) == sizeof row.address) {
            std::memcpy(&row.address, RTA_DATA(attribute), sizeof row.address);
            local = local || isLocal;
            any = true;
        }
    }
    if (!any) {
        return std::nullopt;
    }
    return row;
}

// Reads the IPv4 address table of the socket's namespace. 0, or the errno of the failure.
int ReadIpv4Table(int socket, IPV4_TABLE* table) {
    // A dump that a change interrupted says so (NLM_F_DUMP_INTR); it is read again.
    for (int attempt = 0;; ++attempt) {
        struct {
            nlmsghdr header;
            ifaddrmsg message;
        } request{};
        request.header.nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
        request.header.nlmsg_type = RTM_GETADDR;
        request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        request.header.nlmsg_seq = static_cast<uint32_t>(attempt + 1);
        request.message.ifa_family = AF_INET;
        if (send(socket, &request, request.header.nlmsg_len, 0) < 0) {
            return errno;
        }
        table->clear();
        bool interrupted = false;
        alignas(nlmsghdr) char buffer[16384];
        for (bool done = false; !done;) {
            ssize_t length = recv(socket, buffer, sizeof buffer, 0);
            if (length < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return errno;
            }
            auto remaining = static_cast<unsigned int>(length);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                if (header->nlmsg_seq != request.header.nlmsg_seq) {
                    continue;
                }
                interrupted = interrupted || (header->nlmsg_flags & NLM_F_DUMP_INTR) != 0;
                if (header->nlmsg_type == NLMSG_DONE) {
                    done = true;
                    break;
                }
                if (header->nlmsg_type == NLMSG_ERROR) {
                    const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                    return error->error != 0 ? -error->error : EPROTO;
                }
                if (header->nlmsg_type == RTM_NEWADDR) {
                    if (std::optional<IPV4_ADDRESS> row = RowOf(header)) {
                        table->insert(*row);
                    }
                }
            }
        }
        if (!interrupted || attempt >= 8) {
            return 0;
        }
    }
}

struct ADDRESS_REQUEST {
    std::mutex lock;
    Event* event = nullptr;  // null once disarmed
    bool done = false;       // fired or disarmed
    int socket = -1;         // subscribed to the IPv4 address group
    int query = -1;          // reads the table, in the same namespace
    int wake = -1;
    IPV4_TABLE table;  // owned by the thread once it runs
    std::thread thread;

    ~ADDRESS_REQUEST() { Shutdown(); }

    // Sets the event once; false when the request has fired or was disarmed already.
    bool Fire() {
        std::lock_guard guard(lock);
        if (done || event == nullptr) {
            return false;
        }
        done = true;
        event->Set();
        return true;
    }

    // After this returns the event is not touched again, the thread has ended, the fds are closed.
    void Shutdown() {
        {
            std::lock_guard guard(lock);
            done = true;
            event = nullptr;
        }
        if (wake >= 0) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t written = write(wake, &one, sizeof one);
        }
        if (thread.joinable()) {
            thread.join();
        }
        for (int* fd : {&socket, &query, &wake}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }

    bool IsPending() {
        std::lock_guard guard(lock);
        return !done && event != nullptr;
    }

    // Whether a message changes the table (and applies it): an address the table does not hold
    // is added, or one is removed. Anything else about an address already there is a refresh.
    bool Changes(const nlmsghdr* header) {
        if (header->nlmsg_type != RTM_NEWADDR && header->nlmsg_type != RTM_DELADDR) {
            return false;
        }
        std::optional<IPV4_ADDRESS> row = RowOf(header);
        if (!row) {
            return false;
        }
        if (header->nlmsg_type == RTM_NEWADDR) {
            return table.insert(*row).second;
        }
        // A removal is never a refresh, even of a row this table missed.
        table.erase(*row);
        return true;
    }

    void Run() {
        alignas(nlmsghdr) char buffer[16384];
        for (;;) {
            pollfd fds[2] = {{socket, POLLIN, 0}, {wake, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;  // cancelled
            }
            if (fds[0].revents == 0) {
                continue;
            }
            sockaddr_nl from{};
            iovec vector{buffer, sizeof buffer};
            msghdr message{};
            message.msg_name = &from;
            message.msg_namelen = sizeof from;
            message.msg_iov = &vector;
            message.msg_iovlen = 1;
            ssize_t length = recvmsg(socket, &message, MSG_DONTWAIT);
            if (length < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                if (errno == ENOBUFS) {
                    // The kernel dropped messages: the table as it is now says whether a change
                    // was among them.
                    IPV4_TABLE now;
                    if (ReadIpv4Table(query, &now) == 0 && now == table) {
                        continue;
                    }
                }
                // A change, or a request that lost its source: completing it lets the caller arm
                // a new one.
                Fire();
                return;
            }
            if (from.nl_pid != 0) {
                continue;  // only the kernel reports changes
            }
            auto remaining = static_cast<unsigned int>(length);
            for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
                 header = NLMSG_NEXT(header, remaining)) {
                if (Changes(header)) {
                    Fire();
                    return;
                }
            }
        }
    }
};

}  // namespace detail

namespace {

using detail::ADDRESS_REQUEST;

struct REGISTRY {
    std::mutex lock;
    std::condition_variable armedMore;  // a request was armed
    std::vector<ADDRESS_REQUEST*> armed;
};

REGISTRY& Registry() {
    static auto* registry = new REGISTRY;
    return *registry;
}

void Unregister(ADDRESS_REQUEST* request) {
    REGISTRY& registry = Registry();
    std::lock_guard guard(registry.lock);
    registry.armed.erase(std::remove(registry.armed.begin(), registry.armed.end(), request),
                         registry.armed.end());
}

}  // namespace

ADDRESS_CHANGE_NOTIFICATION::~ADDRESS_CHANGE_NOTIFICATION() {
    Cancel();
}

uint32_t ADDRESS_CHANGE_NOTIFICATION::Request(Event& event) {
    Cancel();
    auto request = std::make_shared<ADDRESS_REQUEST>();
    request->socket = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (request->socket < 0) {
        return Win32ErrorFromErrno(errno);
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_IPV4_IFADDR;
    if (bind(request->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Win32ErrorFromErrno(errno);
    }
    // The table is read after the subscription, so that no change falls between the two: one
    // made meanwhile is in the table, or its message follows.
    request->query = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (request->query < 0) {
        return Win32ErrorFromErrno(errno);
    }
    if (int error = detail::ReadIpv4Table(request->query, &request->table); error != 0) {
        return Win32ErrorFromErrno(error);
    }
    request->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (request->wake < 0) {
        return Win32ErrorFromErrno(errno);
    }
    event.Reset();
    request->event = &event;
    try {
        request->thread = std::thread([raw = request.get()] { raw->Run(); });
    } catch (const std::system_error&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    REGISTRY& registry = Registry();
    {
        std::lock_guard guard(registry.lock);
        registry.armed.push_back(request.get());
    }
    registry.armedMore.notify_all();
    request_ = std::move(request);
    return ERROR_IO_PENDING;
}

void ADDRESS_CHANGE_NOTIFICATION::Cancel() {
    if (!request_) {
        return;
    }
    Unregister(request_.get());
    request_->Shutdown();
    request_.reset();
}

bool ADDRESS_CHANGE_NOTIFICATION::IsPending() const {
    return request_ && request_->IsPending();
}

void SimulateAddressChange() {
    REGISTRY& registry = Registry();
    std::lock_guard guard(registry.lock);
    for (ADDRESS_REQUEST* request : registry.armed) {
        request->Fire();
    }
}

bool WaitForAddressChangeRequests(size_t count, uint32_t milliseconds) {
    REGISTRY& registry = Registry();
    std::unique_lock guard(registry.lock);
    auto pending = [&] {
        size_t armed = 0;
        for (ADDRESS_REQUEST* request : registry.armed) {
            armed += request->IsPending() ? 1 : 0;
        }
        return armed >= count;
    };
    return registry.armedMore.wait_for(guard, std::chrono::milliseconds(milliseconds), pending);
}

}  // namespace os
