#include <gtest/gtest.h>
#include <unistd.h>

#include "os/core/status.h"
#include "os/win32/accounts.h"
#include "os/win32/name_resolution.h"

namespace os {
namespace {

TEST(NameResolutionTest, LocalhostResolvesToLoopbackOncePerAddress) {
    std::vector<RESOLVED_ADDRESS> addresses;
    ASSERT_EQ(ResolveHostAddresses("localhost", false, &addresses), 0u);
    ASSERT_FALSE(addresses.empty());
    EXPECT_EQ(addresses[0].length, 4);
    EXPECT_EQ(addresses[0].bytes[0], 127);
    for (size_t i = 1; i < addresses.size(); ++i) {
        EXPECT_NE(addresses[i].bytes, addresses[0].bytes);
    }
}

TEST(NameResolutionTest, AnUnknownNameIsHostNotFound) {
    std::vector<RESOLVED_ADDRESS> addresses;
    uint32_t error = ResolveHostAddresses("no-such-host.invalid", false, &addresses);
    // Without a network the resolver may only say it could not ask.
    EXPECT_TRUE(error == WSAHOST_NOT_FOUND || error == WSATRY_AGAIN) << error;
    EXPECT_TRUE(addresses.empty());
    EXPECT_EQ(WinsockErrorFromAddrInfo(0, 0), 0u);
}

TEST(AccountsTest, TheCurrentUserAndTheHostHaveNames) {
    EXPECT_FALSE(LookupUserName(static_cast<uint32_t>(getuid())).empty());
    EXPECT_EQ(LookupUserName(0xFFFFFFF0u), "");
    std::string computer = GetComputerName();
    EXPECT_FALSE(computer.empty());
    EXPECT_EQ(computer.find('.'), std::string::npos);
}

}  // namespace
}  // namespace os
