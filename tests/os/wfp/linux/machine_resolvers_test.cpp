// The machine's resolvers as its configuration files list them: what counts as one, and a change
// of a file seen once the active clock has moved on.
#include "os/wfp/linux/machine_resolvers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "os/core/clock.h"
#include "tests/os/wfp/linux/socket_util.h"

namespace os::wfplinux {
namespace {

TEST(MachineResolversTest, OnlyNameserverLinesWithAnAddressCount) {
    const auto listed = ReadNameservers(
        "# nameserver 198.51.100.1\n"
        "; nameserver 198.51.100.2\n"
        "search example.test\n"
        "nameserver 192.0.2.53\n"
        "  nameserver\t2001:db8::53  \n"
        "nameserver fe80::1%eth0\n"
        "nameserver resolver.example.test\n"
        "nameservers 198.51.100.3\n"
        "nameserver\n");
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0][15], 53);  // 192.0.2.53, IPv4-mapped
    EXPECT_EQ(listed[0][10], 0xFF);
    EXPECT_EQ(listed[1][0], 0x20);  // 2001:db8::53
    EXPECT_EQ(listed[2][0], 0xFE);  // fe80::1, its zone left out
}

TEST(MachineResolversTest, AChangedFileIsReadAgainASecondLater) {
    VirtualClock clock;
    char folder[] = "/tmp/wexo-resolvers-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string main = std::string(folder) + "/resolv.conf";
    const std::string missing = std::string(folder) + "/none.conf";
    std::ofstream(main) << "nameserver 192.0.2.53\n";
    MACHINE_RESOLVERS resolvers({main, missing});
    const auto listed = wexo::test::Address("192.0.2.53", 53);
    const auto other = wexo::test::Address("198.51.100.53", 53);
    EXPECT_TRUE(resolvers.Contains(listed));
    EXPECT_FALSE(resolvers.Contains(other));
    std::ofstream(main) << "nameserver 198.51.100.53\nnameserver 2001:db8::53\n";
    EXPECT_TRUE(resolvers.Contains(listed)) << "looked at no more than once a second";
    clock.AdvanceSeconds(1);
    EXPECT_FALSE(resolvers.Contains(listed));
    EXPECT_TRUE(resolvers.Contains(other));
    unlink(main.c_str());
    clock.AdvanceSeconds(1);
    EXPECT_FALSE(resolvers.Contains(other));
    rmdir(folder);
}

}  // namespace
}  // namespace os::wfplinux
