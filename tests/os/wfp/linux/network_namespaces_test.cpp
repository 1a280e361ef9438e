#include "tools/peers/network_namespaces.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/os/wfp/linux/socket_util.h"

namespace {

using wexo::peers::NETWORK_NAMESPACES;
using wexo::test::UNIQUE_FD;
using SIDE = NETWORK_NAMESPACES::SIDE;

ino_t ThreadNamespace() {
    struct stat info {};
    return ::stat("/proc/thread-self/ns/net", &info) == 0 ? info.st_ino : 0;
}

bool Exists(const std::string& name) {
    return std::filesystem::exists("/run/netns/" + name);
}

// A pid that no process has (a child that ended and was reaped).
pid_t DeadPid() {
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return child;
}

TEST(NetworkNamespaces, MakesTwoJoinedNamespacesAndRemovesThem) {
    std::string why;
    auto net = NETWORK_NAMESPACES::Create(&why);
    if (net == nullptr)
        GTEST_SKIP() << why;
    const std::string client = net->Name(SIDE::Client);
    const std::string server = net->Name(SIDE::Server);
    EXPECT_EQ(client.rfind("wexo-t" + std::to_string(::getpid()) + "-", 0), 0u) << client;
    EXPECT_NE(client, server);
    ASSERT_TRUE(Exists(client) && Exists(server));

    std::string output;
    ASSERT_EQ(net->Run(SIDE::Client, {"ip", "-o", "addr", "show"}, &output), 0) << output;
    EXPECT_NE(output.find("192.0.2.1/24"), std::string::npos) << output;
    EXPECT_NE(output.find("2001:db8::1/64"), std::string::npos) << output;
    ASSERT_EQ(net->Run(SIDE::Server, {"ip", "-o", "addr", "show"}, &output), 0) << output;
    EXPECT_NE(output.find("192.0.2.2/24"), std::string::npos) << output;
    EXPECT_NE(output.find("2001:db8::2/64"), std::string::npos) << output;

    // Traffic crosses the pair in both families.
    UNIQUE_FD listener;
    ASSERT_TRUE(
        net->RunIn(SIDE::Server, [&] { listener = wexo::test::Bound(SOCK_STREAM, "::", 7000); }));
    ASSERT_TRUE(listener.Valid());
    for (const char* ip : {"192.0.2.2", "2001:db8::2"}) {
        UNIQUE_FD client_socket;
        int err = -1;
        ASSERT_TRUE(net->RunIn(SIDE::Client, [&] {
            err = wexo::test::Connect(client_socket, SOCK_STREAM, wexo::test::Address(ip, 7000));
        }));
        EXPECT_EQ(err, 0) << ip;
        EXPECT_TRUE(wexo::test::AcceptWithin(listener.Get(), 2000).Valid()) << ip;
    }
    // The server is not reachable from outside the namespaces.
    UNIQUE_FD outside;
    EXPECT_NE(wexo::test::Connect(outside, SOCK_STREAM, wexo::test::Address("192.0.2.2", 7000)), 0);

    listener.Reset();
    net.reset();
    EXPECT_FALSE(Exists(client));
    EXPECT_FALSE(Exists(server));
}

std::string Forwarding() {
    std::string value;
    if (FILE* file = std::fopen("/proc/sys/net/ipv4/ip_forward", "r")) {
        char text[8] = {};
        value = std::fgets(text, sizeof text, file) != nullptr ? text : "";
        std::fclose(file);
    }
    return value;
}

// The routed namespace reaches the server through the client, as itself (no translation), and the
// client forwards for it without the machine's own switch changing; it goes with the others.
TEST(NetworkNamespaces, ARoutedNamespaceGoesThroughTheClient) {
    std::string why;
    auto net = NETWORK_NAMESPACES::Create(&why);
    if (net == nullptr)
        GTEST_SKIP() << why;
    const std::string machine = Forwarding();
    ASSERT_TRUE(net->AddRouted(&why)) << why;
    const std::string routed = net->Name(SIDE::Routed);
    UNIQUE_FD listener;
    ASSERT_TRUE(
        net->RunIn(SIDE::Server, [&] { listener = wexo::test::Bound(SOCK_STREAM, "::", 7000); }));
    ASSERT_TRUE(listener.Valid());
    for (const char* ip : {"192.0.2.2", "2001:db8::2"}) {
        UNIQUE_FD client_socket;
        int err = -1;
        ASSERT_TRUE(net->RunIn(SIDE::Routed, [&] {
            err = wexo::test::Connect(client_socket, SOCK_STREAM, wexo::test::Address(ip, 7000));
        }));
        EXPECT_EQ(err, 0) << ip;
        UNIQUE_FD accepted = wexo::test::AcceptWithin(listener.Get(), 2000);
        ASSERT_TRUE(accepted.Valid()) << ip;
        EXPECT_EQ(wexo::test::PeerText(accepted.Get()), wexo::test::LocalText(client_socket.Get()));
    }
    EXPECT_EQ(Forwarding(), machine);
    listener.Reset();
    net.reset();
    EXPECT_FALSE(Exists(routed));
    EXPECT_FALSE(std::filesystem::exists("/etc/netns/" + routed));
}

TEST(NetworkNamespaces, RunInLeavesTheCallersNamespaceAlone) {
    std::string why;
    auto net = NETWORK_NAMESPACES::Create(&why);
    if (net == nullptr)
        GTEST_SKIP() << why;
    const ino_t before = ThreadNamespace();
    ino_t inside = 0;
    ASSERT_TRUE(net->RunIn(SIDE::Client, [&] { inside = ThreadNamespace(); }));
    EXPECT_NE(inside, before);
    EXPECT_EQ(ThreadNamespace(), before);
}

TEST(NetworkNamespaces, CommandsAreBoundedInTime) {
    std::string why;
    auto net = NETWORK_NAMESPACES::Create(&why);
    if (net == nullptr)
        GTEST_SKIP() << why;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net->Run(SIDE::Client, {"sleep", "5"}, nullptr, std::chrono::milliseconds(200)), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(net->Run(SIDE::Client, {"false"}), 0);
}

TEST(NetworkNamespaces, StaleNamespacesOfEndedRunsAreRemoved) {
    std::string why;
    if (!NETWORK_NAMESPACES::Available(&why))
        GTEST_SKIP() << why;
    const std::string stale = "wexo-t" + std::to_string(DeadPid()) + "-0-client";
    const std::string live = "wexo-t" + std::to_string(::getpid()) + "-stale-check";
    const std::string ip = NETWORK_NAMESPACES::FindProgram("ip");
    ASSERT_EQ(::system((ip + " netns add " + stale).c_str()), 0);
    ASSERT_EQ(::system((ip + " netns add " + live).c_str()), 0);
    auto net = NETWORK_NAMESPACES::Create(&why);
    EXPECT_FALSE(Exists(stale));
    EXPECT_TRUE(Exists(live));  // its process still runs
    EXPECT_EQ(::system((ip + " netns delete " + live).c_str()), 0);
    if (Exists(stale)) {
        EXPECT_EQ(::system((ip + " netns delete " + stale).c_str()), 0);
    }
    ASSERT_NE(net, nullptr) << why;
}

}  // namespace
