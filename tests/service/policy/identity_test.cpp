#include "service/checkin/identity.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <thread>

#include "tests/service/calls/service_test_support.h"

namespace wexo::svc::testing {
namespace {

TEST(IdentityTest, SidText) {
    std::string text;
    ASSERT_TRUE(SidToString(UnixUserSid(1000), &text));
    EXPECT_EQ(text, "S-1-22-1-1000");
    const uint32_t system[] = {18};
    ASSERT_TRUE(SidToString(MakeSid(5, system), &text));
    EXPECT_EQ(text, "S-1-5-18");
    ASSERT_TRUE(SidToString(MakeSid(0x123456789ABCull, system), &text));
    EXPECT_EQ(text, "S-1-0x123456789ABC-18");

    auto sid = UnixUserSid(1000);
    EXPECT_FALSE(SidToString(std::span(sid).first(sid.size() - 1), &text));  // count disagrees
    sid[0] = 2;
    EXPECT_FALSE(SidToString(sid, &text));  // unknown revision
    EXPECT_FALSE(SidToString({}, &text));
}

TEST(IdentityTest, ALinuxUserIsNamedWithTheComputerAsDomain) {
    uid_t uid = getuid();
    passwd* entry = getpwuid(uid);
    ASSERT_NE(entry, nullptr);
    std::string domain, user;
    EXPECT_TRUE(GetAccountForSid(UnixUserSid(static_cast<uint32_t>(uid)), &domain, &user));
    EXPECT_EQ(domain, ComputerAccountDomain());
    ASSERT_FALSE(domain.empty());
    EXPECT_EQ(domain.find('.'), std::string::npos);
    EXPECT_EQ(user, domain + "\\" + entry->pw_name);
}

TEST(IdentityTest, WellKnownUnknownAndInvalidSids) {
    std::string domain, user;
    const uint32_t system[] = {18};
    GetAccountForSid(MakeSid(5, system), &domain, &user);
    EXPECT_EQ(domain, "NT AUTHORITY");
    EXPECT_EQ(user, "NT AUTHORITY\\SYSTEM");

    // No user has this id; an unknown SID leaves both empty.
    EXPECT_TRUE(GetAccountForSid(UnixUserSid(4000000000u), &domain, &user));
    EXPECT_EQ(domain, "");
    EXPECT_EQ(user, "");
    const uint32_t other[] = {21, 1, 2, 3, 500};
    GetAccountForSid(MakeSid(5, other), &domain, &user);
    EXPECT_EQ(user, "");
    const uint8_t garbage[] = {1, 9, 0, 0};
    EXPECT_TRUE(GetAccountForSid(garbage, &domain, &user));
    EXPECT_EQ(user, "");
}

TEST(DeviceInformationTest, TheIdAndItsSingleByteForm) {
    DEVICE_INFORMATION device;
    EXPECT_EQ(device.GetUniqueDeviceId(), "");
    device.SetUniqueDeviceId("ABCDEF01-2345-6789-ABCD-EF0123456789XYZ");
    EXPECT_EQ(device.GetUniqueDeviceId(), "ABCDEF01-2345-6789-ABCD-EF0123456789");
    char buffer[37];
    std::memset(buffer, 'z', sizeof buffer);
    device.GetUniqueDeviceId(buffer);
    EXPECT_EQ(std::string(buffer), "ABCDEF01-2345-6789-ABCD-EF0123456789");
}

TEST(DeviceInformationTest, TheWaitEndsWithReadyOrStop) {
    LOG_CAPTURE log;
    os::Event stop(os::EventType::Notification, false);
    DEVICE_INFORMATION testMode;
    testMode.SetTestMode(true);
    EXPECT_TRUE(testMode.WaitForDeviceInformation(stop));

    DEVICE_INFORMATION device;
    std::atomic<int> result{-1};
    auto waiter = os::Thread::Start([&] { result = device.WaitForDeviceInformation(stop); });
    while (log.Count("Waiting for WMI query to complete ...") == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(result.load(), -1);
    device.SetReady();
    waiter->Join();
    EXPECT_EQ(result.load(), 1);
    log.Clear();
    EXPECT_TRUE(device.WaitForDeviceInformation(stop));  // ready: no wait, no line
    EXPECT_TRUE(log.Lines().empty());

    DEVICE_INFORMATION never;
    stop.Set();
    EXPECT_FALSE(never.WaitForDeviceInformation(stop));
    EXPECT_TRUE(log.Has("waiting for WMI query: Shutting down signaled"));
}

}  // namespace
}  // namespace wexo::svc::testing
