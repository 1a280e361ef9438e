#include "os/wfp/linux/socket_owner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "os/wfp/linux/nft_table.h"
#include "os/wfp/linux/redirect.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tests/os/wfp/linux/test_cgroup.h"
#include "tools/peers/network_namespaces.h"

namespace {

using wexo::peers::NETWORK_NAMESPACES;
using wexo::test::Address;
using wexo::test::Bound;
using wexo::test::Connect;
using wexo::test::UNIQUE_FD;
using SIDE = NETWORK_NAMESPACES::SIDE;

constexpr uint16_t kProxyPort = 15101;
constexpr uid_t kNobody = 65534;

sockaddr_storage LocalOf(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return address;
}

sockaddr_storage PeerOf(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    ::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return address;
}

// A client connection to a loopback listener of this process.
struct LOOPBACK_PAIR {
    UNIQUE_FD client;
    UNIQUE_FD accepted;
};

LOOPBACK_PAIR Connected(int listener) {
    LOOPBACK_PAIR pair;
    EXPECT_EQ(Connect(pair.client, SOCK_STREAM, LocalOf(listener)), 0);
    pair.accepted = wexo::test::AcceptWithin(listener, 2000);
    EXPECT_TRUE(pair.accepted.Valid());
    return pair;
}

// The /proc walk alone: the connect-time records off.
os::SOCKET_OWNERS_OPTIONS WalkOnly() {
    os::SOCKET_OWNERS_OPTIONS options;
    options.records.enabled = false;
    return options;
}

// The owner table of this process and a loopback listener to connect to.
class SocketOwners : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!owners.Ready())
            GTEST_SKIP() << "no sock_diag netlink here";
        listener = Bound(SOCK_STREAM, "127.0.0.1", 0);
        ASSERT_TRUE(listener.Valid());
    }
    os::SOCKET_OWNERS owners{WalkOnly()};
    UNIQUE_FD listener;
};

TEST_F(SocketOwners, FindsThisProcessOnLoopback) {
    LOOPBACK_PAIR pair = Connected(listener.Get());
    // Without a redirect the client's destination is the accepted socket's own address.
    const auto owner = owners.FindForAccepted(pair.accepted.Get());
    ASSERT_TRUE(owner.has_value());
    EXPECT_EQ(owner->pid, ::getpid());
    EXPECT_EQ(owner->uid, ::getuid());
    EXPECT_NE(owner->inode, 0u);
    EXPECT_EQ(owner->startTime, os::ProcessStartTime(::getpid()));
    EXPECT_GT(owner->startTime, 0u);
    // The accepted end is a different socket of the same process.
    const auto server = owners.Find(LocalOf(pair.accepted.Get()), PeerOf(pair.accepted.Get()));
    ASSERT_TRUE(server.has_value());
    EXPECT_NE(server->inode, owner->inode);
    EXPECT_EQ(server->pid, ::getpid());
}

TEST_F(SocketOwners, UnknownTupleGivesNone) {
    LOOPBACK_PAIR pair = Connected(listener.Get());
    sockaddr_storage source = LocalOf(pair.client.Get());
    // The same addresses with the port of no connection.
    auto& port = reinterpret_cast<sockaddr_in&>(source).sin_port;
    port = htons(static_cast<uint16_t>(ntohs(port) == 1 ? 2 : 1));
    EXPECT_FALSE(owners.Find(source, PeerOf(pair.client.Get())).has_value());
    EXPECT_FALSE(owners.Find(Address("2001:db8::7", 40000), Address("2001:db8::8", 80)));
    // Mixed families describe no socket.
    EXPECT_FALSE(owners.Find(Address("127.0.0.1", 1), Address("::1", 1)).has_value());
    EXPECT_EQ(owners.Scans(), 0u);
}

TEST_F(SocketOwners, OneScanRemembersEverySocketItPasses) {
    LOOPBACK_PAIR first = Connected(listener.Get());
    LOOPBACK_PAIR second = Connected(listener.Get());
    ASSERT_TRUE(owners.FindForAccepted(first.accepted.Get()).has_value());
    EXPECT_EQ(owners.Scans(), 1u);
    // The walk that found the first passed this process's other sockets too.
    const auto again = owners.FindForAccepted(second.accepted.Get());
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(again->pid, ::getpid());
    EXPECT_EQ(owners.Scans(), 1u);
    ASSERT_TRUE(owners.FindForAccepted(first.accepted.Get()).has_value());
    EXPECT_EQ(owners.Scans(), 1u);
    owners.ForgetAll();
    ASSERT_TRUE(owners.FindForAccepted(first.accepted.Get()).has_value());
    EXPECT_EQ(owners.Scans(), 2u);
}

TEST_F(SocketOwners, ARememberedDescriptorIsCheckedBeforeItIsBelieved) {
    LOOPBACK_PAIR pair = Connected(listener.Get());
    const auto before = owners.FindForAccepted(pair.accepted.Get());
    ASSERT_TRUE(before.has_value());
    const uint64_t scans = owners.Scans();
    // The socket moves to another descriptor number: the remembered one no longer names it.
    const int moved = ::fcntl(pair.client.Get(), F_DUPFD_CLOEXEC, 100);
    ASSERT_GE(moved, 0);
    pair.client.Reset();
    UNIQUE_FD keep(moved);
    const auto after = owners.FindForAccepted(pair.accepted.Get());
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->inode, before->inode);
    EXPECT_EQ(after->pid, ::getpid());
    EXPECT_EQ(owners.Scans(), scans + 1);
    // Once nobody holds it (closed, the kernel finishing it alone), no process is named.
    keep.Reset();
    const auto orphan = owners.Find(PeerOf(pair.accepted.Get()), LocalOf(pair.accepted.Get()));
    if (orphan.has_value()) {
        EXPECT_EQ(orphan->pid, 0);
        EXPECT_EQ(orphan->startTime, 0u);
    }
}

TEST(SocketOwnersStartTime, ProcessStartTimeOfAGoneProcessIsZero) {
    EXPECT_GT(os::ProcessStartTime(::getpid()), 0u);
    EXPECT_EQ(os::ProcessStartTime(0x3ffffff), 0u);
}

// A real client in the client namespace, redirected by the table to the proxy port there, found
// by the /proc walk and by the connect-time records (kept for a cgroup of the test's own, which
// its clients start in): the records are keyed as the proxy sees the connection after the redirect.
TEST(SocketOwnersNetns, FindsTheClientProcessAndItsUid) {
    std::string why;
    auto net = NETWORK_NAMESPACES::Create(&why);
    if (net == nullptr)
        GTEST_SKIP() << why;
    const bool dropPrivileges = !NETWORK_NAMESPACES::FindProgram("setpriv").empty();
    if (NETWORK_NAMESPACES::FindProgram("curl").empty())
        GTEST_SKIP() << "curl is not installed";
    auto cgroup = wexo::test::TEST_CGROUP::Enter(&why);
    if (cgroup == nullptr)
        GTEST_SKIP() << why;
    UNIQUE_FD proxy;
    std::unique_ptr<os::SOCKET_OWNERS> walked;
    std::unique_ptr<os::SOCKET_OWNERS> recorded;
    os::NFT_TABLE table;
    os::NFT_TABLE_OPTIONS options;
    options.tcpProxyPort = kProxyPort;
    std::string message;
    uint32_t installed = 1;
    os::SOCKET_OWNERS_OPTIONS records;
    records.records.cgroup = cgroup->Path();
    ASSERT_TRUE(net->RunIn(SIDE::Client, [&] {
        proxy = Bound(SOCK_STREAM, "::", kProxyPort);
        walked = std::make_unique<os::SOCKET_OWNERS>(WalkOnly());
        recorded = std::make_unique<os::SOCKET_OWNERS>(records);
        installed = table.Install(options, &message);
    }));
    ASSERT_EQ(installed, 0u) << message;
    ASSERT_TRUE(proxy.Valid());
    ASSERT_TRUE(walked->Ready());

    std::vector<std::pair<const char*, os::SOCKET_OWNERS*>> cases;
    for (os::SOCKET_OWNERS* owners : {walked.get(), recorded.get()}) {
        if (owners->RecordsConnects() || owners == walked.get()) {
            cases.emplace_back("http://192.0.2.2:80/", owners);
            cases.emplace_back("http://[2001:db8::2]:8080/", owners);
        }
    }
    for (const auto& [url, owners] : cases) {
        SCOPED_TRACE(std::string(url) + (owners == walked.get() ? " walked" : " recorded"));
        std::vector<std::string> command;
        if (dropPrivileges) {
            command = {"setpriv",
                       "--reuid",
                       std::to_string(kNobody),
                       "--regid",
                       std::to_string(kNobody),
                       "--clear-groups"};
        }
        command.insert(command.end(), {"curl", "-s", "-m", "10", "-g", url});
        auto child = net->Start(SIDE::Client, command);
        ASSERT_NE(child, nullptr);
        UNIQUE_FD accepted = wexo::test::AcceptWithin(proxy.Get(), 5000);
        ASSERT_TRUE(accepted.Valid()) << child->Output();
        const auto owner = owners->FindForAccepted(accepted.Get());
        ASSERT_TRUE(owner.has_value());
        EXPECT_EQ(owner->pid, child->Pid());
        EXPECT_EQ(owner->uid, dropPrivileges ? kNobody : 0u);
        EXPECT_EQ(owner->startTime, os::ProcessStartTime(child->Pid()));
        EXPECT_GT(owner->startTime, 0u);
        EXPECT_EQ(owner->cgroup, owners == recorded.get() ? cgroup->Id() : 0u);
        // Closing the connection ends curl.
        accepted.Reset();
        EXPECT_GE(child->Wait(std::chrono::seconds(10)), 0);
    }
    if (!recorded->RecordsConnects())
        GTEST_SKIP() << "the walk passed; the records were not tried: no connect-time records here";
}

}  // namespace
