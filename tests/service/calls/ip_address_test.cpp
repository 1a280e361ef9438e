#include "service/calls/ip_address.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include "os/core/status.h"
#include "os/win32/name_resolution.h"
#include "service_test_support.h"

namespace wexo::svc::testing {
namespace {

TEST(IpAddressTest, TextForms) {
    EXPECT_EQ(IP_ADDRESS::V4(93, 184, 216, 34).ToText(), "93.184.216.34");
    EXPECT_EQ(V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0xbc}).ToText(),
              "2001:db8:0:0:0:0:0:abc");
    EXPECT_EQ(IP_ADDRESS().ToText(), "");
    // A length that is neither 4 nor 16 makes no address.
    const uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(IP_ADDRESS(8, bytes).Length(), 0);
    EXPECT_EQ(IP_ADDRESS(4, nullptr).Length(), 0);
}

TEST(IpAddressTest, EqualityNeedsLengthAndBytes) {
    EXPECT_EQ(IP_ADDRESS::V4(10, 0, 0, 1), IP_ADDRESS::V4(10, 0, 0, 1));
    EXPECT_FALSE(IP_ADDRESS::V4(10, 0, 0, 1) == IP_ADDRESS::V4(10, 0, 0, 2));
    // The IPv4 bytes at the start of an IPv6 address do not make them equal.
    EXPECT_FALSE(IP_ADDRESS::V4(0, 0, 0, 0) == V6({}));
}

TEST(IpAddressTest, AddressClasses) {
    EXPECT_TRUE(IP_ADDRESS::V4(10, 1, 2, 3).IsPrivate());
    EXPECT_TRUE(IP_ADDRESS::V4(172, 16, 0, 1).IsPrivate());
    EXPECT_TRUE(IP_ADDRESS::V4(172, 31, 255, 255).IsPrivate());
    EXPECT_FALSE(IP_ADDRESS::V4(172, 32, 0, 1).IsPrivate());
    EXPECT_TRUE(IP_ADDRESS::V4(192, 168, 1, 1).IsPrivate());
    EXPECT_FALSE(IP_ADDRESS::V4(192, 169, 1, 1).IsPrivate());
    EXPECT_TRUE(V6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}).IsPrivate());
    EXPECT_FALSE(V6({0xfe, 0x81}).IsPrivate());

    EXPECT_TRUE(IP_ADDRESS::V4(127, 0, 0, 1).IsLoopback());
    EXPECT_FALSE(IP_ADDRESS::V4(127, 0, 0, 2).IsLoopback());
    EXPECT_TRUE(V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}).IsLoopback());
    EXPECT_FALSE(V6({1}).IsLoopback());

    EXPECT_TRUE(IP_ADDRESS().IsUnspecified());
    EXPECT_TRUE(IP_ADDRESS::V4(0, 0, 0, 0).IsUnspecified());
    EXPECT_TRUE(V6({}).IsUnspecified());
    EXPECT_FALSE(IP_ADDRESS::V4(0, 0, 0, 1).IsUnspecified());
}

class ResolveHostNameTest : public ::testing::Test {
  protected:
    TABLE_RESOLVER resolver;
    ScopedNameResolver scoped{resolver};
    LOG_CAPTURE log;
};

TEST_F(ResolveHostNameTest, OnlyTheNameBeforeTheFirstSlashIsResolved) {
    resolver.Add("policy.test", {IP_ADDRESS::V4(192, 0, 2, 7)});
    IP_ADDRESS address = IP_ADDRESS::V4(0, 0, 0, 0);
    ASSERT_TRUE(address.ResolveHostName("policy.test/api/v1?x=/y"));
    EXPECT_EQ(address, IP_ADDRESS::V4(192, 0, 2, 7));
    EXPECT_EQ(resolver.Asked(), std::vector<std::string>{"policy.test"});
    EXPECT_TRUE(log.Has("IP_ADDRESS::ResolveHostName: HostName = \"policy.test/api/v1?x=/y\""));
    EXPECT_TRUE(log.Has("HostName = \"policy.test\", IPv4 = 192.0.2.7"));
}

TEST_F(ResolveHostNameTest, TheFamilyFollowsTheLengthAndLoopbackIsSkipped) {
    resolver.Add("dual.test", {IP_ADDRESS::V4(127, 0, 0, 1), IP_ADDRESS::V4(198, 51, 100, 1),
                               V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
                               V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5})});
    IP_ADDRESS v4 = IP_ADDRESS::V4(0, 0, 0, 0);
    ASSERT_TRUE(v4.ResolveHostName("dual.test"));
    EXPECT_EQ(v4.ToText(), "198.51.100.1");
    IP_ADDRESS v6 = V6({});
    ASSERT_TRUE(v6.ResolveHostName("dual.test"));
    EXPECT_EQ(v6.ToText(), "2001:db8:0:0:0:0:0:5");
    EXPECT_TRUE(log.Has("HostName = \"dual.test\", IPv6 = 2001:db8:0:0:0:0:0:5"));
    // An object without an address resolves IPv4 and keeps its length of 0.
    IP_ADDRESS none;
    EXPECT_TRUE(none.ResolveHostName("dual.test"));
    EXPECT_EQ(none.Length(), 0);
}

TEST_F(ResolveHostNameTest, FailuresKeepTheOldAddressAndOnlyUnusualErrorsAreLogged) {
    resolver.Add("loop.test", {IP_ADDRESS::V4(127, 0, 0, 1)});
    resolver.Fail("flaky.test", os::WSATRY_AGAIN);
    IP_ADDRESS address = IP_ADDRESS::V4(203, 0, 113, 9);
    EXPECT_FALSE(address.ResolveHostName("loop.test"));
    EXPECT_FALSE(address.ResolveHostName("missing.test"));
    EXPECT_EQ(log.Count("Unable to resolve"), 0u);
    EXPECT_FALSE(address.ResolveHostName("flaky.test"));
    EXPECT_EQ(address, IP_ADDRESS::V4(203, 0, 113, 9));
    EXPECT_EQ(log.Count("IP_ADDRESS::ResolveHostName: Unable to resolve host name \"flaky.test\"."),
              1u);
    EXPECT_EQ(log.Count("Error code = 11002"), 1u);
}

// The system resolver on names that need no DNS server: numeric hosts and localhost.
TEST(SystemNameResolverTest, NumericNamesAndLocalhost) {
    SYSTEM_NAME_RESOLVER resolver;
    std::vector<IP_ADDRESS> found;
    ASSERT_EQ(resolver.Resolve("192.0.2.44", AddressFamily::V4, &found), 0u);
    ASSERT_EQ(found.size(), 1u);  // once, not once per socket type
    EXPECT_EQ(found[0], IP_ADDRESS::V4(192, 0, 2, 44));
    ASSERT_EQ(resolver.Resolve("2001:db8::9", AddressFamily::V6, &found), 0u);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].ToText(), "2001:db8:0:0:0:0:0:9");
    ASSERT_EQ(resolver.Resolve("localhost", AddressFamily::V4, &found), 0u);
    EXPECT_NE(std::find(found.begin(), found.end(), IP_ADDRESS::V4(127, 0, 0, 1)), found.end());
    // An IPv4 literal asked for as IPv6 has no data of that family.
    uint32_t error = resolver.Resolve("192.0.2.44", AddressFamily::V6, &found);
    EXPECT_TRUE(error == os::WSANO_DATA || error == os::WSAHOST_NOT_FOUND) << error;
    EXPECT_TRUE(found.empty());
}

TEST(SystemNameResolverTest, ResolverErrorsBecomeWinsockErrors) {
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(0, 0), 0u);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_NONAME, 0), os::WSAHOST_NOT_FOUND);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_NODATA, 0), os::WSANO_DATA);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_ADDRFAMILY, 0), os::WSANO_DATA);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_AGAIN, 0), os::WSATRY_AGAIN);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_FAIL, 0), os::WSANO_RECOVERY);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_MEMORY, 0), os::ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(os::WinsockErrorFromAddrInfo(EAI_SYSTEM, ENOMEM), os::ERROR_NOT_ENOUGH_MEMORY);
}

}  // namespace
}  // namespace wexo::svc::testing
