// The service's decision chain end to end, from the lookup the driver sends to the answer it gets
// back: SC_PolicyLookup -> POLICY_ENGINE (caches, hotspot, QueryRedirectUrl) -> the policy-server
// set -> "access/mobile" on the reference policy server on loopback, with its policy file, on the
// virtual clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/service_domain.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "service/policy/policy_lookup.h"
#include "tests/service/policy/policy_engine_fixture.h"

namespace wexo::integration {
namespace {

using svc::IP_ADDRESS;
using svc::testing::RECORDED_ANSWER;

constexpr int32_t kAllow = 1168;

std::string Redirect(const std::string& location) {
    return "HTTP/1.1 302 Other\r\nLocation: " + location +
           "\r\nContent-Length:0\r\nConnection: close\r\n\r\n";
}

class PolicyDecisionTest : public svc::testing::PolicyEngineFixture {
  protected:
    void SetUp() override {
        PolicyEngineFixture::SetUp();
        device_.SetUniqueDeviceId(svc::testing::kTestDeviceId);
        device_.SetReady();
        context_ = std::make_unique<svc::POLICY_LOOKUP_CONTEXT>(*engine_, sessions_, device_,
                                                                stop_->event);
        std::string domain;
        svc::GetAccountForSid(sid_, &domain, &user_);
    }
    void TearDown() override {
        context_.reset();
        PolicyEngineFixture::TearDown();
    }

    struct LOOKUP {
        std::string host;
        std::string path;
        IP_ADDRESS address = IP_ADDRESS::V4(93, 184, 216, 34);
        bool https = false;
        std::string sessionId;
    };

    RECORDED_ANSWER Lookup(const LOOKUP& lookup) {
        svc::POLICY_LOOKUP_INPUT input;
        input.host = lookup.host;
        input.urlPath = lookup.path;
        input.address = lookup.address;
        input.https = lookup.https;
        input.tlsSessionId = lookup.sessionId;
        input.userSid = std::string_view(reinterpret_cast<const char*>(sid_.data()), sid_.size());
        input.flowNumber = ++flow_;
        input.processId = 4242;
        input.sessionId = 1;
        svc::SERVICE_CALL call(recorder_, MakeCallHandle(0, flow_), 0);
        svc::SC_PolicyLookup(call, input, *context_);
        EXPECT_TRUE(call.Completed());
        return recorder_.Last();
    }
    RECORDED_ANSWER Http(const std::string& host, const std::string& path,
                         IP_ADDRESS address = IP_ADDRESS::V4(93, 184, 216, 34)) {
        return Lookup(LOOKUP{host, path, address, false, {}});
    }
    RECORDED_ANSWER Tls(const std::string& host, IP_ADDRESS address, std::string sessionId) {
        return Lookup(LOOKUP{host, "", address, true, std::move(sessionId)});
    }
    std::string BlockPage(const std::string& query) {
        return Server().Pages().BaseUrl() + "/blocked.html?" + query;
    }

    std::vector<uint8_t> sid_ = svc::UnixUserSid(static_cast<uint32_t>(getuid()));
    std::string user_;
    uint32_t flow_ = 0;
    svc::testing::CALL_RECORDER recorder_;
    svc::HTTPS_SESSION_MAP sessions_;
    svc::DEVICE_INFORMATION device_;
    std::unique_ptr<svc::POLICY_LOOKUP_CONTEXT> context_;
};

TEST_F(PolicyDecisionTest, BlockedByHostAndByPathWithTheExactRedirectResponse) {
    RECORDED_ANSWER byHost = Http("games.test", "/play");
    EXPECT_EQ(byHost.status, 0);
    EXPECT_EQ(byHost.ResponseText(),
              Redirect(BlockPage("url=games.test%2Fplay&rule=block%20host%20games.test")));

    RECORDED_ANSWER byPath = Http("news.test", "/world/europe?page=2");
    EXPECT_EQ(byPath.status, 0);
    EXPECT_EQ(byPath.ResponseText(),
              Redirect(BlockPage("url=news.test%2Fworld%2Feurope%3Fpage%3D2&rule=block%20url%"
                                 "20news.test%2Fworld%2F")));

    RECORDED_ANSWER allowed = Http("news.test", "/world/weather/");
    EXPECT_EQ(allowed.status, kAllow);
    EXPECT_EQ(allowed.ResponseText(), "");
    EXPECT_EQ(Asked(), 3u);
    // Each query named the device, the user and the URL.
    const peers::PeerRequest last = Server().Peer().LastRequest();
    EXPECT_EQ(last.target, "/access/mobile?id=" + std::string(svc::testing::kTestDeviceId) +
                               "&user=" + peers::EncodeQueryValue(user_) +
                               "&url=news.test/world/weather/");
}

TEST_F(PolicyDecisionTest, AnAllowedSiteIsAnsweredFromTheCacheTheSecondTime) {
    SetPolicy("[settings]\nCacheTimeout = 300\n[rules]\nblock host games.test\n");
    EXPECT_EQ(Http("news.test", "/first").status, kAllow);
    EXPECT_EQ(Asked(), 1u);
    EXPECT_EQ(Http("news.test", "/second?x=1").status, kAllow);
    EXPECT_EQ(Http("news.test", "/third").status, kAllow);
    EXPECT_EQ(Asked(), 1u);
    EXPECT_EQ(Server().Peer().RequestCount("GET", "/access/mobile"), 1u);
    EXPECT_TRUE(log_.Has("Excluding URL = \"news.test/second?x=1\"; allowed cache"));
    // A host that only begins with the cached one is asked about.
    EXPECT_EQ(Http("news.test.games.test", "/").status, 0);
    EXPECT_EQ(Asked(), 2u);
}

TEST_F(PolicyDecisionTest, ABlockedTlsDestinationIsRememberedByAddressAndName) {
    SetPolicy("[settings]\nCacheTimeout = 120\n[rules]\nblock host games.test\n");
    const IP_ADDRESS address = IP_ADDRESS::V4(198, 51, 100, 7);
    const std::string location = BlockPage("url=games.test&rule=block%20host%20games.test");
    RECORDED_ANSWER first = Tls("games.test", address, "session-1");
    EXPECT_EQ(first.ResponseText(), Redirect(location));
    // Another site on the same address (a shared host) is asked about, and allowed.
    EXPECT_EQ(Tls("static.other-cdn.test", address, "session-2").status, kAllow);
    EXPECT_EQ(Asked(), 2u);
    // The blocked name again, on a new session: blocked without a query.
    RECORDED_ANSWER again = Tls("Games.Test.", address, "session-3");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.ResponseText(), Redirect(location));
    EXPECT_EQ(Asked(), 2u);
    EXPECT_TRUE(
        log_.Has("Blocked IP address = 198.51.100.7, URL = \"games.test\",\n "
                 "   Redirect URL = \"" +
                 location + "\""));
    std::string redirect, host;
    bool blocked = false;
    ASSERT_TRUE(sessions_.Get("session-3", user_, &redirect, &host, &blocked));
    EXPECT_TRUE(blocked);
    EXPECT_EQ(host, "games.test");
    // Another address is asked about.
    EXPECT_EQ(Tls("games.test", IP_ADDRESS::V4(198, 51, 100, 8), "session-4").status, 0);
    EXPECT_EQ(Asked(), 3u);
}

TEST_F(PolicyDecisionTest, ACaptivePortalOpensAWindowThatClosesAfterSixtySeconds) {
    SetPolicy("[settings]\nBlockOnFailure = true\n[rules]\nblock host games.test\n");
    ASSERT_EQ(Http("news.test", "/").status, kAllow);
    ASSERT_TRUE(settings_.BlockOnFailure());

    // The device joins a hotspot: its portal answers the policy query with a redirect.
    Server().Pages().SetMobileAnswer(302, "", "text/html", "http://portal.test/login");
    EXPECT_EQ(Http("games.test", "/").status, kAllow);
    EXPECT_TRUE(log_.Has("Authorization login processing, HTTP status = 302, HotspotCount = 1"));
    const size_t asked = Asked();
    // Within the window, lookups pass unasked (the portal's login page among them).
    const IP_ADDRESS portal = IP_ADDRESS::V4(198, 51, 100, 50);
    EXPECT_EQ(Http("portal.test", "/login", portal).status, kAllow);
    ASSERT_TRUE(AdvanceSeconds(30));
    EXPECT_EQ(Http("games.test", "/play", portal).status, kAllow);
    EXPECT_EQ(Asked(), asked);

    // The user has signed in; once the 60 seconds are over, lookups are asked about again.
    Server().Pages().ClearMobileAnswer();
    ASSERT_TRUE(AdvanceSeconds(30.5));
    RECORDED_ANSWER after = Http("games.test", "/play", portal);
    EXPECT_EQ(after.status, 0);
    EXPECT_EQ(after.ResponseText(),
              Redirect(BlockPage("url=games.test%2Fplay&rule=block%20host%20games.test")));
    EXPECT_EQ(Asked(), asked + 1);
    EXPECT_TRUE(
        log_.Has("Authorization login time-out exceeded, IpAddress = 198.51.100.50, "
                 "Time-out = 60 seconds"));
    EXPECT_FALSE(engine_->Hotspot().LoginStarted());
}

TEST_F(PolicyDecisionTest, WithTheServerDownLookupsBlockOnFailure) {
    SetPolicy("[settings]\nBlockOnFailure = true\n[rules]\nblock host games.test\n");
    ASSERT_EQ(Http("news.test", "/").status, kAllow);
    ASSERT_TRUE(RegistryFlag("BlockOnFailure"));

    ASSERT_TRUE(Server().Peer().SetRefuse(true));
    RECORDED_ANSWER failed = Http("news.test", "/today");
    EXPECT_EQ(failed.status, 0);
    EXPECT_EQ(failed.ResponseText(), Redirect(BlockOnFailureUrl()));
    EXPECT_FALSE(Servers().IsAvailable(serverName_));
    ASSERT_TRUE(Settle());
    // The next lookup finds no server to ask and blocks on failure at once.
    EXPECT_EQ(Http("news.test", "/later").ResponseText(), Redirect(BlockOnFailureUrl()));
    // The product's own domain is never looked up, server or not.
    EXPECT_EQ(Http("mobile." + std::string(kServiceDomain), "/").status, kAllow);

    // The server comes back: its ping thread finds it, and lookups are answered again.
    ASSERT_TRUE(Server().Peer().SetRefuse(false));
    ASSERT_TRUE(AdvanceSeconds(20));
    EXPECT_TRUE(Servers().IsAvailable(serverName_));
    EXPECT_EQ(Http("news.test", "/later").status, kAllow);
}

TEST_F(PolicyDecisionTest, AUsersOwnRulesComeFirst) {
    ASSERT_FALSE(user_.empty());
    SetPolicy(
        ("[rules]\nblock host games.test\n[user " + user_ + "]\nallow host games.test\n").c_str());
    EXPECT_EQ(Http("games.test", "/").status, kAllow);
    SetPolicy(("[rules]\n[user " + user_ + "]\nblock url news.test/sport/\n").c_str());
    EXPECT_EQ(Http("news.test", "/sport/today").status, 0);
    EXPECT_EQ(Http("news.test", "/world").status, kAllow);
}

}  // namespace
}  // namespace wexo::integration
