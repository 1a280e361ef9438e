#include "os/win32/system_facts.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>

#include "os/core/status.h"

namespace os {
namespace {

static_assert(MAKEWORD(2, 2) == 0x0202);
static_assert(MAKEWORD(1, 2) == 0x0201);
static_assert(LOBYTE(MAKEWORD(3, 4)) == 3 && HIBYTE(MAKEWORD(3, 4)) == 4);

TEST(SystemFactsTest, VersionFactsAreUnamesWithTheReleaseNumbers) {
    utsname name{};
    ASSERT_EQ(uname(&name), 0);
    OS_VERSION_FACTS facts = GetVersionFacts();
    EXPECT_EQ(facts.systemName, name.sysname);
    EXPECT_EQ(facts.systemName, "Linux");
    EXPECT_EQ(facts.machine, name.machine);
    EXPECT_EQ(facts.release, name.release);
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_GE(std::sscanf(name.release, "%u.%u.%u", &major, &minor, &patch), 2) << name.release;
    EXPECT_EQ(facts.major, major);
    EXPECT_EQ(facts.minor, minor);
    EXPECT_EQ(facts.build, patch);
    EXPECT_GE(facts.major, 3u);
    EXPECT_EQ(facts.servicePackMajor, 0u);
    EXPECT_TRUE(facts.workstation);
}

TEST(SystemFactsTest, ReleaseTextsParseToTheirNumbers) {
    struct CASE {
        const char* text;
        uint32_t major, minor, build;
    };
    for (CASE c :
         {CASE{"6.1.0-18-amd64", 6, 1, 0}, CASE{"6.18.44-fc-v1403", 6, 18, 44},
          CASE{"5.15", 5, 15, 0}, CASE{"4.19.0+", 4, 19, 0}, CASE{"6", 6, 0, 0},
          CASE{"3.10.0-1160.el7.x86_64", 3, 10, 0}, CASE{"", 0, 0, 0}, CASE{"abc", 0, 0, 0},
          CASE{"6.x.3", 6, 0, 0}, CASE{"99999999999.1.2", 0, 1, 2}}) {
        uint32_t major = 99, minor = 99, build = 99;
        ParseKernelRelease(c.text, &major, &minor, &build);
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
        EXPECT_EQ(build, c.build) << c.text;
    }
}

TEST(SystemFactsTest, ProcessorCountIsTheOnlineProcessorsAndAtLeastOne) {
    uint32_t count = GetProcessorCount();
    EXPECT_GE(count, 1u);
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    if (online >= 1) {
        EXPECT_EQ(count, static_cast<uint32_t>(online));
    }
}

TEST(SystemFactsTest, WinsockStartupAnswersAsWindowsDoes) {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.version, MAKEWORD(2, 2));
    EXPECT_EQ(data.highVersion, MAKEWORD(2, 2));

    // An older version is granted as asked, a newer one is granted as 2.2.
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    EXPECT_EQ(data.version, MAKEWORD(1, 1));
    EXPECT_EQ(data.highVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(3, 0), &data), 0);
    EXPECT_EQ(data.version, MAKEWORD(2, 2));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 5), &data), 0);
    EXPECT_EQ(data.version, MAKEWORD(2, 2));
    // Below 1.0 nothing is supported; without data there is nowhere to answer.
    EXPECT_EQ(WSAStartup(MAKEWORD(0, 9), &data), static_cast<int>(WSAVERNOTSUPPORTED));
    EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), nullptr), static_cast<int>(WSAEFAULT));

    // Every successful start-up has its cleanup; one more fails.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(WSACleanup(), 0);
    }
    SetLastError(0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST(SystemFactsTest, TestsCanMakeWinsockFailOrReportAnotherVersion) {
    {
        ScopedWinsockFailure failure(static_cast<int>(WSASYSNOTREADY));
        WSADATA data;
        EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), static_cast<int>(WSASYSNOTREADY));
        {
            ScopedWinsockFailure other(static_cast<int>(WSAVERNOTSUPPORTED));
            EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), static_cast<int>(WSAVERNOTSUPPORTED));
        }
        EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &data), static_cast<int>(WSASYSNOTREADY));
        // A failed start-up counts nothing.
        EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    }
    {
        ScopedWinsockVersion version(MAKEWORD(1, 1));
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
        EXPECT_EQ(data.version, MAKEWORD(1, 1));
        EXPECT_EQ(data.highVersion, MAKEWORD(1, 1));
        EXPECT_EQ(WSACleanup(), 0);
    }
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(data.version, MAKEWORD(2, 2));
    EXPECT_EQ(WSACleanup(), 0);
}

TEST(SystemFactsTest, ARootProcessMayEnableEveryPrivilege) {
    SetLastError(12345);
    if (geteuid() == 0) {
        EXPECT_TRUE(EnableProcessPrivilege("SeDebugPrivilege"));
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
        EXPECT_TRUE(EnableProcessPrivilege("SeShutdownPrivilege"));
        EXPECT_TRUE(EnableProcessPrivilege("setcbprivilege"));
    } else {
        EXPECT_FALSE(EnableProcessPrivilege("SeDebugPrivilege"));
        EXPECT_EQ(GetLastError(), ERROR_NOT_ALL_ASSIGNED);
    }
    // A name that is no privilege is refused before the token is asked.
    EXPECT_FALSE(EnableProcessPrivilege("SeWexoPrivilege"));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_FALSE(EnableProcessPrivilege(""));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
}

}  // namespace
}  // namespace os
