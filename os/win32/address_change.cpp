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
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace os {
namespace detail {

struct ADDRESS_REQUEST {
    std::mutex lock;
    Event* event = nullptr;  // null once disarmed
    bool done = false;       // fired or disarmed
    int socket = -1;
    int wake = -1;
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
        if (socket >= 0) {
            close(socket);
            socket = -1;
        }
        if (wake >= 0) {
            close(wake);
            wake = -1;
        }
    }

    bool IsPending() {
        std::lock_guard guard(lock);
        return !done && event != nullptr;
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
                // ENOBUFS: the kernel dropped messages, a change may be among them. Any other
                // error leaves the request without its source: completing it lets the caller arm
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
                if ((header->nlmsg_type == RTM_NEWADDR || header->nlmsg_type == RTM_DELADDR) &&
                    header->nlmsg_len >= NLMSG_LENGTH(sizeof(ifaddrmsg))) {
                    const auto* address = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
                    if (address->ifa_family == AF_INET || address->ifa_family == AF_INET6) {
                        Fire();
                        return;
                    }
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
    address.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (bind(request->socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return Win32ErrorFromErrno(errno);
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
