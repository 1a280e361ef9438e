// Captive-portal handling: which answers open the window, what passes during it and after it, the
// 50-address limit, and the end of the window by a valid reply, on the virtual clock.
#include "service/policy/hotspot.h"

#include <gtest/gtest.h>

#include <string>

#include "os/core/clock.h"
#include "tests/service/calls/service_test_support.h"

namespace wexo::svc::testing {
namespace {

constexpr char kDeviceId[] = "6B29FC40-CA47-1067-B31D-00DD010662DA";

class HotspotTest : public ::testing::Test {
  protected:
    // A captive portal answered the policy query with a redirect.
    void Portal() { ASSERT_TRUE(hotspot_.IsHotspotReply(302, "", "site.test/", kDeviceId)); }

    os::VirtualClock clock_;
    LOG_CAPTURE log_;
    HOTSPOT hotspot_;
};

TEST(HotspotStatusTest, RedirectsAndTheTwoServerErrorsOfPortals) {
    for (int status : {300, 302, 307, 399, 500, 511}) {
        EXPECT_TRUE(IsHotspotStatus(status)) << status;
    }
    for (int status : {0, 200, 299, 400, 403, 404, 501, 502, 503, 510, 512}) {
        EXPECT_FALSE(IsHotspotStatus(status)) << status;
    }
    EXPECT_EQ(CutBeforeQuery("a.test/p?q=1?r"), "a.test/p");
}

TEST_F(HotspotTest, ARedirectOpensTheWindowForNewAddresses) {
    EXPECT_FALSE(hotspot_.Passthrough("site.test/", "1.2.3.4"));
    ASSERT_TRUE(hotspot_.IsHotspotReply(302, "<html>login</html>", "site.test/a?x=1", kDeviceId));
    EXPECT_TRUE(log_.Has("Test for authorization login processing, URL = \"site.test/a\""));
    EXPECT_TRUE(log_.Has("Authorization login processing, HTTP status = 302, HotspotCount = 1"));
    EXPECT_TRUE(log_.Has("Hotspot reply:\n<html>login</html>"));

    ASSERT_TRUE(clock_.AdvanceSeconds(59));
    EXPECT_TRUE(hotspot_.Passthrough("portal.test/login", "1.2.3.4"));
    EXPECT_TRUE(
        log_.Has("Test authorization request, URL = \"portal.test/login\",IpAddress = "
                 "1.2.3.4"));
    EXPECT_TRUE(log_.Has(
        "Authorization login initialized, IpAddress = 1.2.3.4, IpAddressCount = 1, HotspotCount = "
        "2"));
    EXPECT_TRUE(hotspot_.Passthrough("portal.test/next", "1.2.3.4"));
    EXPECT_TRUE(log_.Has("Authorization login passthrough, IpAddress = 1.2.3.4, HotspotCount = 3"));
    EXPECT_EQ(hotspot_.AddressCount(), 1u);
}

TEST_F(HotspotTest, TheFiftyFirstAddressIsNotAdmitted) {
    Portal();
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(hotspot_.Passthrough("x.test/", "10.9.0." + std::to_string(i)));
    }
    EXPECT_FALSE(hotspot_.Passthrough("x.test/", "10.9.1.0"));
    EXPECT_EQ(hotspot_.AddressCount(), kHotspotAddressLimit);
    // Admitted addresses still pass.
    EXPECT_TRUE(hotspot_.Passthrough("x.test/", "10.9.0.49"));
}

TEST_F(HotspotTest, AnExpiredWindowPassesNothingUntilANewRecognition) {
    Portal();
    ASSERT_TRUE(hotspot_.Passthrough("x.test/", "1.2.3.4"));
    ASSERT_TRUE(clock_.AdvanceSeconds(60.5));
    EXPECT_FALSE(hotspot_.Passthrough("x.test/", "1.2.3.4"));
    EXPECT_FALSE(hotspot_.Passthrough("x.test/", "5.6.7.8"));
    EXPECT_EQ(log_.Count("Authorization login time-out exceeded, IpAddress = "), 2u);
    EXPECT_TRUE(log_.Has(
        "Authorization login time-out exceeded, IpAddress = 1.2.3.4, Time-out = 60 seconds"));
    // The window state stays as it was.
    EXPECT_EQ(hotspot_.AddressCount(), 1u);
    EXPECT_TRUE(hotspot_.LoginStarted());

    // A new recognition restarts the 60 seconds and keeps the admitted addresses.
    Portal();
    EXPECT_TRUE(hotspot_.Passthrough("x.test/", "1.2.3.4"));
    EXPECT_TRUE(hotspot_.Passthrough("x.test/", "5.6.7.8"));
    EXPECT_EQ(hotspot_.AddressCount(), 2u);
}

TEST_F(HotspotTest, AWindowWithoutAdmittedAddressesSimplyEnds) {
    Portal();
    ASSERT_TRUE(clock_.AdvanceSeconds(60));
    EXPECT_FALSE(hotspot_.Passthrough("x.test/", "1.2.3.4"));
    EXPECT_EQ(log_.Count("Authorization login time-out exceeded"), 0u);
    EXPECT_EQ(hotspot_.AddressCount(), 0u);
}

TEST_F(HotspotTest, AValidReplyEndsTheWindowAndResetsTheCount) {
    hotspot_.ClearStatistics();
    EXPECT_EQ(log_.Count("Clear authorization login statistics"), 0u);
    Portal();
    ASSERT_TRUE(hotspot_.Passthrough("x.test/", "1.2.3.4"));
    ASSERT_TRUE(hotspot_.Passthrough("x.test/", "5.6.7.8"));
    hotspot_.ClearStatistics();
    EXPECT_TRUE(
        log_.Has("Clear authorization login statistics, IpAddressCount = 2, HotspotCount = 3"));
    EXPECT_FALSE(hotspot_.LoginStarted());
    EXPECT_EQ(hotspot_.HotspotCount(), 0);
    EXPECT_EQ(hotspot_.AddressCount(), 0u);
    EXPECT_FALSE(hotspot_.Passthrough("x.test/", "1.2.3.4"));
}

TEST_F(HotspotTest, APageIsAPortalOnlyWhenItEchoesTheDeviceId) {
    EXPECT_FALSE(hotspot_.IsHotspotReply(200, "<html>Welcome</html>", "x.test/", kDeviceId));
    EXPECT_FALSE(hotspot_.IsHotspotReply(404, "", "x.test/", kDeviceId));
    EXPECT_FALSE(hotspot_.IsHotspotReply(503, "", "x.test/", kDeviceId));
    EXPECT_FALSE(hotspot_.LoginStarted());
    const std::string page =
        std::string("<form action=\"/login?return=access/mobile?id=") + kDeviceId + "\">";
    EXPECT_TRUE(hotspot_.IsHotspotReply(200, page, "x.test/", kDeviceId));
    EXPECT_TRUE(log_.Has("Authorization login processing, HTTP status = 200, HotspotCount = 1"));
    // The search is case-sensitive, and an empty device ID occurs in every page.
    HOTSPOT other;
    EXPECT_FALSE(
        other.IsHotspotReply(200, "6b29fc40-ca47-1067-b31d-00dd010662da", "x.test/", kDeviceId));
    EXPECT_TRUE(other.IsHotspotReply(200, "anything", "x.test/", ""));
}

TEST_F(HotspotTest, AHugePortalPageIsLoggedCut) {
    const std::string page(kLoggedReplyLimit + 100, 'p');
    ASSERT_TRUE(hotspot_.IsHotspotReply(500, page, "x.test/", kDeviceId));
    EXPECT_TRUE(log_.Has("Hotspot reply:\n" + std::string(kLoggedReplyLimit, 'p') +
                         "\n    ... 100 more bytes"));
}

TEST(HotspotExitTest, ExitWritesTheUninitializeLines) {
    LOG_CAPTURE log;
    {
        HOTSPOT hotspot;
        hotspot.IsHotspotReply(302, "", "x.test/", "");
        hotspot.Passthrough("x.test/", "1.2.3.4");
    }
    EXPECT_TRUE(log.Has("~HOTSPOT_UNINITIALIZE\n"));
    EXPECT_TRUE(log.Has("~HOTSPOT_UNINITIALIZE done\n"));
}

}  // namespace
}  // namespace wexo::svc::testing
