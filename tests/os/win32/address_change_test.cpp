#include "os/win32/address_change.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "os/core/status.h"
#include "os/core/sync.h"

namespace os {
namespace {

using namespace std::chrono_literals;

size_t OpenDescriptorCount() {
    size_t count = 0;
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) {
        return 0;
    }
    while (readdir(folder) != nullptr) {
        ++count;
    }
    closedir(folder);
    return count;
}

// A bounded real-time wait for an event set by a thread outside os/ waits.
bool WaitUntilSet(const Event& event, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!event.IsSet()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST(AddressChangeTest, ASimulatedChangeSetsTheArmedEventOnce) {
    ADDRESS_CHANGE_NOTIFICATION notification;
    EXPECT_FALSE(notification.IsPending());
    Event event(EventType::Notification, true);
    ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
    // Arming resets the event, as an overlapped request does.
    EXPECT_FALSE(event.IsSet());
    EXPECT_TRUE(notification.IsPending());

    SimulateAddressChange();
    EXPECT_TRUE(event.IsSet());
    EXPECT_FALSE(notification.IsPending());
    // Once: a fired request is done.
    event.Reset();
    SimulateAddressChange();
    EXPECT_FALSE(event.IsSet());

    // Armed again, it fires again.
    ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
    SimulateAddressChange();
    EXPECT_TRUE(event.IsSet());
}

TEST(AddressChangeTest, CancelDisarmsAndANewRequestReplacesTheOld) {
    ADDRESS_CHANGE_NOTIFICATION notification;
    Event first(EventType::Notification);
    Event second(EventType::Notification);
    ASSERT_EQ(notification.Request(first), ERROR_IO_PENDING);
    notification.Cancel();
    EXPECT_FALSE(notification.IsPending());
    SimulateAddressChange();
    EXPECT_FALSE(first.IsSet());
    notification.Cancel();  // twice is harmless

    ASSERT_EQ(notification.Request(first), ERROR_IO_PENDING);
    ASSERT_EQ(notification.Request(second), ERROR_IO_PENDING);
    SimulateAddressChange();
    EXPECT_FALSE(first.IsSet());
    EXPECT_TRUE(second.IsSet());

    // Every armed request of the process fires.
    ADDRESS_CHANGE_NOTIFICATION other;
    first.Reset();
    second.Reset();
    ASSERT_EQ(notification.Request(first), ERROR_IO_PENDING);
    ASSERT_EQ(other.Request(second), ERROR_IO_PENDING);
    SimulateAddressChange();
    EXPECT_TRUE(first.IsSet());
    EXPECT_TRUE(second.IsSet());
}

TEST(AddressChangeTest, TestsCanWaitForRequestsToBeArmed) {
    EXPECT_FALSE(WaitForAddressChangeRequests(1, 0));
    ADDRESS_CHANGE_NOTIFICATION notification;
    Event event(EventType::Notification);
    std::thread arming([&] {
        std::this_thread::sleep_for(20ms);
        notification.Request(event);
    });
    EXPECT_TRUE(WaitForAddressChangeRequests(1, 5000));
    arming.join();
    EXPECT_FALSE(WaitForAddressChangeRequests(2, 0));
    // A fired request is armed no more.
    SimulateAddressChange();
    EXPECT_FALSE(WaitForAddressChangeRequests(1, 0));
    ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
    EXPECT_TRUE(WaitForAddressChangeRequests(1, 0));
    notification.Cancel();
    EXPECT_FALSE(WaitForAddressChangeRequests(1, 0));
}

TEST(AddressChangeTest, RequestsCancelsAndDestructionLeakNoDescriptorsAndDoNotBlock) {
    size_t before = OpenDescriptorCount();
    Event event(EventType::Notification);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) {
        ADDRESS_CHANGE_NOTIFICATION notification;
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
        if (i % 2 == 0) {
            notification.Cancel();
        }
        // The odd ones are destroyed armed.
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_FALSE(event.IsSet());
}

// ---- A real change, in a network namespace of its own ----

// Sends one rtnetlink request and reads its acknowledgement; returns 0 or the negative errno.
int NetlinkRequest(int socket, nlmsghdr* request) {
    request->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
    request->nlmsg_seq = 1;
    if (send(socket, request, request->nlmsg_len, 0) < 0) {
        return -errno;
    }
    alignas(nlmsghdr) char buffer[4096];
    ssize_t length = recv(socket, buffer, sizeof buffer, 0);
    if (length < 0) {
        return -errno;
    }
    auto remaining = static_cast<unsigned int>(length);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_type == NLMSG_ERROR) {
            return static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
        }
    }
    return -EPROTO;
}

void AddAttribute(nlmsghdr* header, unsigned short type, const void* data, size_t size) {
    auto* attribute =
        reinterpret_cast<rtattr*>(reinterpret_cast<char*>(header) + NLMSG_ALIGN(header->nlmsg_len));
    attribute->rta_type = type;
    attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
    std::memcpy(RTA_DATA(attribute), data, size);
    header->nlmsg_len = NLMSG_ALIGN(header->nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

// Adds, changes or removes an address on an interface of the calling thread's namespace, as
// `ip addr add`, `ip addr change` (NLM_F_REPLACE) and `ip addr replace` (NLM_F_CREATE |
// NLM_F_REPLACE) do; lifetimes in seconds, none when both are 0.
int ChangeAddress(int socket, uint16_t type, uint16_t flags, int family, const void* address,
                  size_t size, unsigned char prefix, int interfaceIndex, uint32_t validSeconds = 0,
                  uint32_t preferredSeconds = 0) {
    alignas(nlmsghdr) char buffer[256] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    header->nlmsg_type = type;
    header->nlmsg_flags = flags;
    auto* message = static_cast<ifaddrmsg*>(NLMSG_DATA(header));
    message->ifa_family = static_cast<unsigned char>(family);
    message->ifa_prefixlen = prefix;
    message->ifa_index = static_cast<unsigned int>(interfaceIndex);
    AddAttribute(header, IFA_LOCAL, address, size);
    AddAttribute(header, IFA_ADDRESS, address, size);
    if (validSeconds != 0 || preferredSeconds != 0) {
        ifa_cacheinfo lifetimes{};
        lifetimes.ifa_valid = validSeconds;
        lifetimes.ifa_prefered = preferredSeconds;
        AddAttribute(header, IFA_CACHEINFO, &lifetimes, sizeof lifetimes);
    }
    return NetlinkRequest(socket, header);
}

int ChangeAddress(int socket, bool add, int family, const void* address, size_t size,
                  unsigned char prefix, int interfaceIndex) {
    return ChangeAddress(socket, add ? RTM_NEWADDR : RTM_DELADDR,
                         add ? NLM_F_CREATE | NLM_F_EXCL : 0, family, address, size, prefix,
                         interfaceIndex);
}

// A change that is not an address: the interface's MTU.
int ChangeMtu(int socket, int interfaceIndex, uint32_t mtu) {
    alignas(nlmsghdr) char buffer[256] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    header->nlmsg_type = RTM_NEWLINK;
    auto* message = static_cast<ifinfomsg*>(NLMSG_DATA(header));
    message->ifi_family = AF_UNSPEC;
    message->ifi_index = interfaceIndex;
    AddAttribute(header, IFLA_MTU, &mtu, sizeof mtu);
    return NetlinkRequest(socket, header);
}

// Runs `work` on a thread that entered a network namespace of its own (unshare(CLONE_NEWNET) moves
// only that thread: the sockets it opens, the request's among them, see that namespace and its
// loopback interface alone; the namespace goes with the thread). `work` gets an rtnetlink socket
// and the loopback's index. Returns why it could not run, or "".
std::string InOwnNamespace(const std::function<void(int control, int loopback)>& work) {
    std::string skipReason;
    std::thread worker([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            skipReason = std::string("no network namespace of our own (unshare: ") +
                         std::strerror(errno) + "); needs CAP_SYS_ADMIN";
            return;
        }
        int control = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        ASSERT_GE(control, 0) << std::strerror(errno);
        int loopback = static_cast<int>(if_nametoindex("lo"));
        ASSERT_GT(loopback, 0);
        work(control, loopback);
        close(control);
    });
    worker.join();
    return skipReason;
}

TEST(AddressChangeTest, AnIpv4AddressAddedOrRemovedInANetworkNamespaceSetsTheEvent) {
    const std::string skip = InOwnNamespace([](int control, int loopback) {
        ADDRESS_CHANGE_NOTIFICATION notification;
        Event event(EventType::Notification);
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);

        // A link change is not an address change.
        ASSERT_EQ(ChangeMtu(control, loopback, 60000), 0);
        EXPECT_FALSE(WaitUntilSet(event, 200ms));
        EXPECT_TRUE(notification.IsPending());

        in_addr v4{};
        ASSERT_EQ(inet_pton(AF_INET, "192.0.2.1", &v4), 1);
        ASSERT_EQ(ChangeAddress(control, true, AF_INET, &v4, sizeof v4, 24, loopback), 0);
        EXPECT_TRUE(WaitUntilSet(event, 5000ms)) << "RTM_NEWADDR (IPv4) did not set the event";
        EXPECT_FALSE(notification.IsPending());

        // A second address beside the first, the same address with another prefix, a removal.
        in_addr second{};
        ASSERT_EQ(inet_pton(AF_INET, "192.0.2.7", &second), 1);
        const struct {
            const char* what;
            bool add;
            const in_addr* address;
            unsigned char prefix;
        } changes[] = {{"a second address", true, &second, 24},
                       {"the first with another prefix", true, &v4, 25},
                       {"a removal", false, &v4, 24}};
        for (const auto& change : changes) {
            event.Reset();
            ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
            ASSERT_EQ(ChangeAddress(control, change.add, AF_INET, change.address, sizeof v4,
                                    change.prefix, loopback),
                      0)
                << change.what;
            EXPECT_TRUE(WaitUntilSet(event, 5000ms)) << change.what << " did not set the event";
        }

        // A cancelled request sees the next change no more.
        event.Reset();
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
        notification.Cancel();
        ASSERT_EQ(ChangeAddress(control, true, AF_INET, &v4, sizeof v4, 24, loopback), 0);
        EXPECT_FALSE(WaitUntilSet(event, 200ms));
    });
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
}

// What Linux reports with the same RTM_NEWADDR as an addition, and IPv6 altogether, is no change
// to the Windows notification: the lifetime refreshes of DHCP renewals and router advertisements
// would otherwise fire it every few minutes.
TEST(AddressChangeTest, RefreshesOfAnAddressAlreadyThereAndIpv6ChangesDoNotCount) {
    const std::string skip = InOwnNamespace([](int control, int loopback) {
        in_addr v4{};
        ASSERT_EQ(inet_pton(AF_INET, "192.0.2.1", &v4), 1);
        in6_addr v6{};
        ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::1", &v6), 1);
        ASSERT_EQ(ChangeAddress(control, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, AF_INET, &v4,
                                sizeof v4, 24, loopback, 600, 300),
                  0);

        ADDRESS_CHANGE_NOTIFICATION notification;
        Event event(EventType::Notification);
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);

        const uint16_t kChange = NLM_F_REPLACE;                  // ip addr change
        const uint16_t kReplace = NLM_F_CREATE | NLM_F_REPLACE;  // ip addr replace
        ASSERT_EQ(ChangeAddress(control, RTM_NEWADDR, kChange, AF_INET, &v4, sizeof v4, 24,
                                loopback, 900, 600),
                  0)
            << "IPv4 lifetimes changed";
        ASSERT_EQ(ChangeAddress(control, RTM_NEWADDR, kReplace, AF_INET, &v4, sizeof v4, 24,
                                loopback, 1200, 900),
                  0)
            << "IPv4 address replaced by itself";
        int added = ChangeAddress(control, RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, AF_INET6, &v6,
                                  sizeof v6, 64, loopback, 600, 300);
        // A kernel without IPv6 (or with it switched off) cannot show an IPv6 change.
        if (added != -EAFNOSUPPORT && added != -EACCES) {
            ASSERT_EQ(added, 0) << std::strerror(-added);
            ASSERT_EQ(ChangeAddress(control, RTM_NEWADDR, kChange, AF_INET6, &v6, sizeof v6, 64,
                                    loopback, 900, 600),
                      0)
                << "IPv6 lifetimes changed";
            ASSERT_EQ(ChangeAddress(control, false, AF_INET6, &v6, sizeof v6, 64, loopback), 0)
                << "IPv6 address removed";
        }
        EXPECT_FALSE(WaitUntilSet(event, 300ms)) << "a refresh or an IPv6 change counted";
        EXPECT_TRUE(notification.IsPending());

        // The request still listens: a real IPv4 change sets the event.
        in_addr second{};
        ASSERT_EQ(inet_pton(AF_INET, "192.0.2.9", &second), 1);
        ASSERT_EQ(ChangeAddress(control, true, AF_INET, &second, sizeof second, 24, loopback), 0);
        EXPECT_TRUE(WaitUntilSet(event, 5000ms));
    });
    if (!skip.empty()) {
        GTEST_SKIP() << skip;
    }
}

}  // namespace
}  // namespace os
