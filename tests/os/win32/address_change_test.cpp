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

// Adds or removes an address on an interface of the calling thread's namespace.
int ChangeAddress(int socket, bool add, int family, const void* address, size_t size,
                  unsigned char prefix, int interfaceIndex) {
    alignas(nlmsghdr) char buffer[256] = {};
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    header->nlmsg_type = add ? RTM_NEWADDR : RTM_DELADDR;
    header->nlmsg_flags = add ? NLM_F_CREATE | NLM_F_EXCL : 0;
    auto* message = static_cast<ifaddrmsg*>(NLMSG_DATA(header));
    message->ifa_family = static_cast<unsigned char>(family);
    message->ifa_prefixlen = prefix;
    message->ifa_index = static_cast<unsigned int>(interfaceIndex);
    AddAttribute(header, IFA_LOCAL, address, size);
    AddAttribute(header, IFA_ADDRESS, address, size);
    return NetlinkRequest(socket, header);
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

TEST(AddressChangeTest, ARealAddressChangeInANetworkNamespaceSetsTheEvent) {
    std::string skipReason;
    // unshare(CLONE_NEWNET) moves only this thread into the new namespace: the sockets it opens,
    // the request's among them, see that namespace and its loopback interface alone.
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

        ADDRESS_CHANGE_NOTIFICATION notification;
        Event event(EventType::Notification);
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);

        // A link change is not an address change.
        ASSERT_EQ(ChangeMtu(control, loopback, 60000), 0);
        EXPECT_FALSE(WaitUntilSet(event, 200ms));
        EXPECT_TRUE(notification.IsPending());

        in_addr v4{};
        ASSERT_EQ(inet_pton(AF_INET, "10.77.0.1", &v4), 1);
        ASSERT_EQ(ChangeAddress(control, true, AF_INET, &v4, sizeof v4, 32, loopback), 0);
        EXPECT_TRUE(WaitUntilSet(event, 5000ms)) << "RTM_NEWADDR (IPv4) did not set the event";
        EXPECT_FALSE(notification.IsPending());

        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
        ASSERT_EQ(ChangeAddress(control, false, AF_INET, &v4, sizeof v4, 32, loopback), 0);
        EXPECT_TRUE(WaitUntilSet(event, 5000ms)) << "RTM_DELADDR (IPv4) did not set the event";

        in6_addr v6{};
        ASSERT_EQ(inet_pton(AF_INET6, "fd00:77::1", &v6), 1);
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
        int added = ChangeAddress(control, true, AF_INET6, &v6, sizeof v6, 128, loopback);
        if (added == -EAFNOSUPPORT || added == -EACCES) {
            // A kernel without IPv6 (or with it switched off) cannot show an IPv6 change.
            notification.Cancel();
        } else {
            ASSERT_EQ(added, 0) << std::strerror(-added);
            EXPECT_TRUE(WaitUntilSet(event, 5000ms)) << "RTM_NEWADDR (IPv6) did not set the event";
        }

        // A cancelled request sees the next change no more.
        ASSERT_EQ(notification.Request(event), ERROR_IO_PENDING);
        notification.Cancel();
        ASSERT_EQ(ChangeAddress(control, true, AF_INET, &v4, sizeof v4, 32, loopback), 0);
        EXPECT_FALSE(WaitUntilSet(event, 200ms));
        close(control);
        // The namespace goes when this thread and its sockets are gone.
    });
    worker.join();
    if (!skipReason.empty()) {
        GTEST_SKIP() << skipReason;
    }
}

}  // namespace
}  // namespace os
