// The decision: the reply reader and its bad inputs, the address exclusions with the deployment's
// own servers, and QueryRedirectUrl with the decision wrapper against a reference policy server on
// loopback (query pairs, redirects, settings applied, caches, switch-off, captive portals, and
// block on failure for every way a query can fail), on the virtual clock.
#include "service/policy/redirect_query.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <string>

#include "os/core/clock.h"
#include "service/support/http_api.h"
#include "tests/service/policy/policy_engine_fixture.h"

namespace wexo::svc::testing {
namespace {

using std::chrono::milliseconds;
using testing_servers::WaitUntil;

std::string Reply(const std::string& children) {
    return "<?xml version=\"1.0\"?>\n<Ostrel>" + children + "</Ostrel>";
}

TEST(PolicyReplyTest, AValidReplyWithEveryField) {
    POLICY_REPLY reply;
    ASSERT_TRUE(ParsePolicyReply(
        Reply("<BlockOnFailure>true</BlockOnFailure><UnencryptedSearch>TRUE</UnencryptedSearch>"
              "<DisableFiltering>True</DisableFiltering><CacheTimeout>300</CacheTimeout>"
              "<RedirectURL>http://block.test/p?u=a&amp;r=1</RedirectURL>"),
        &reply));
    EXPECT_TRUE(reply.blockOnFailure);
    EXPECT_TRUE(reply.unencryptedSearch);
    EXPECT_TRUE(reply.disableFiltering);
    EXPECT_EQ(reply.cacheTimeout, 300);
    EXPECT_EQ(reply.redirectUrl, "http://block.test/p?u=a&r=1");

    ASSERT_TRUE(
        ParsePolicyReply(Reply("<BlockOnFailure>FALSE</BlockOnFailure><RedirectURL/>"), &reply));
    EXPECT_FALSE(reply.blockOnFailure);
    EXPECT_FALSE(reply.disableFiltering);
    EXPECT_EQ(reply.cacheTimeout, 0);
    EXPECT_EQ(reply.redirectUrl, "");
}

TEST(PolicyReplyTest, RepliesThatAreNotPolicyReplies) {
    POLICY_REPLY reply;
    EXPECT_FALSE(ParsePolicyReply("", &reply));
    EXPECT_FALSE(ParsePolicyReply("<html><body>Sign in</body></html>", &reply));
    EXPECT_FALSE(ParsePolicyReply("<Ostrel><BlockOnFailure>true</BlockOnFailure>", &reply));
    // The root is required, and so is a readable BlockOnFailure, even with a RedirectURL.
    EXPECT_FALSE(
        ParsePolicyReply("<Policy><BlockOnFailure>true</BlockOnFailure></Policy>", &reply));
    EXPECT_FALSE(ParsePolicyReply(Reply("<RedirectURL>http://block.test/</RedirectURL>"), &reply));
    EXPECT_FALSE(ParsePolicyReply(Reply("<BlockOnFailure>1</BlockOnFailure>"), &reply));
    EXPECT_FALSE(ParsePolicyReply(Reply("<BlockOnFailure>yes</BlockOnFailure>"), &reply));
    // A huge reply is not taken for a policy reply, however well formed.
    const std::string huge = Reply("<BlockOnFailure>true</BlockOnFailure><!--" +
                                   std::string(kMaxPolicyReplyBytes, 'x') + "-->");
    EXPECT_FALSE(ParsePolicyReply(huge, &reply));
}

TEST(PolicyReplyTest, UnreadableOptionalFieldsKeepTheirDefaults) {
    POLICY_REPLY reply;
    ASSERT_TRUE(ParsePolicyReply(
        Reply("<BlockOnFailure>TRUE</BlockOnFailure><DisableFiltering>1</DisableFiltering>"
              "<UnencryptedSearch>maybe</UnencryptedSearch><CacheTimeout>12abc</CacheTimeout>"),
        &reply));
    EXPECT_FALSE(reply.disableFiltering);
    EXPECT_FALSE(reply.unencryptedSearch);
    EXPECT_EQ(reply.cacheTimeout, 0);
    ASSERT_TRUE(ParsePolicyReply(
        Reply("<BlockOnFailure>TRUE</BlockOnFailure><CacheTimeout>-30</CacheTimeout>"), &reply));
    EXPECT_EQ(reply.cacheTimeout, 0);
    ASSERT_TRUE(ParsePolicyReply(
        Reply("<BlockOnFailure>TRUE</BlockOnFailure><CacheTimeout>99999999999</CacheTimeout>"),
        &reply));
    EXPECT_EQ(reply.cacheTimeout, INT32_MAX);
}

TEST(PolicyReplyTest, ARedirectUrlCannotAddLinesToTheRedirectResponse) {
    POLICY_REPLY reply;
    ASSERT_TRUE(ParsePolicyReply(
        Reply("<BlockOnFailure>TRUE</BlockOnFailure><RedirectURL>http://block.test/&#13;&#10;"
              "Set-Cookie: a=b</RedirectURL>"),
        &reply));
    EXPECT_EQ(reply.redirectUrl, "http://block.test/%0D%0ASet-Cookie:%20a=b");
    EXPECT_EQ(SafeRedirectUrl(std::string("a\0b\tc\x7F", 6)), "a%00b%09c%7F");
    EXPECT_EQ(SafeRedirectUrl("https://block.test/p?u=%41&x=\xC3\xA9"),
              "https://block.test/p?u=%41&x=\xC3\xA9");
}

TEST(PolicyServerHostTest, OnlyTheServersOwnHostIsOnTheServer) {
    EXPECT_TRUE(IsOnPolicyServer("policy.example.net", "policy.example.net"));
    EXPECT_TRUE(IsOnPolicyServer("POLICY.Example.NET/access/mobile", "policy.example.net"));
    EXPECT_TRUE(IsOnPolicyServer("policy.example.net:8443/x", "policy.example.net"));
    EXPECT_FALSE(IsOnPolicyServer("policy.example.net.attacker.test/", "policy.example.net"));
    EXPECT_FALSE(IsOnPolicyServer("policy.example.network/", "policy.example.net"));
    EXPECT_FALSE(IsOnPolicyServer("policy.example.ne", "policy.example.net"));
    EXPECT_FALSE(IsOnPolicyServer("anything/", ""));
    EXPECT_TRUE(IsOnPolicyServer("127.0.0.1:5000/x", "127.0.0.1:5000"));
    EXPECT_FALSE(IsOnPolicyServer("127.0.0.1:50001/x", "127.0.0.1:5000"));

    EXPECT_EQ(ServerHostName("policy.example.net"), "policy.example.net");
    EXPECT_EQ(ServerHostName("127.0.0.1:5000"), "127.0.0.1");
    EXPECT_EQ(ServerHostName("[2001:db8::1]:443"), "2001:db8::1");
    EXPECT_EQ(ServerHostName("2001:db8::1"), "2001:db8::1");
}

TEST(PolicyQueryUrlTest, TheUrlOfTheQuery) {
    SetApiProtocol(API_PROTOCOL_HTTP);
    EXPECT_EQ(PolicyQueryUrl("p.test:81", "ID-1", "DOM\\a b", "news.test/a?b=1"),
              "HTTP://p.test:81/access/mobile?id=ID-1&user=DOM%5Ca%20b&url=news.test/a%3Fb%3D1");
    SetApiProtocol(API_PROTOCOL_HTTPS);
    EXPECT_EQ(PolicyQueryUrl("p.test", "", "", ""), "HTTPS://p.test/access/mobile?id=&user=&url=");
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
}

// ---- Address exclusions ----

using RedirectQueryTest = PolicyEngineFixture;

TEST_F(RedirectQueryTest, LoopbackAndLocalAddressesAreExcluded) {
    struct CASE {
        IP_ADDRESS address;
        bool excluded;
        const char* line;
    };
    const CASE cases[] = {
        {IP_ADDRESS::V4(127, 0, 0, 1), true, "Loopback IP address = 127.0.0.1 excluded"},
        {V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), true,
         "Loopback IP address = 0:0:0:0:0:0:0:1 excluded"},
        {IP_ADDRESS::V4(127, 0, 0, 2), false, nullptr},
        {IP_ADDRESS::V4(10, 200, 0, 1), true, "Local IP address = 10.200.0.1 excluded"},
        {IP_ADDRESS::V4(172, 31, 255, 255), true, "Local IP address = 172.31.255.255 excluded"},
        {IP_ADDRESS::V4(172, 32, 0, 1), false, nullptr},
        {IP_ADDRESS::V4(192, 168, 1, 1), true, "Local IP address = 192.168.1.1 excluded"},
        {V6({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}), true,
         "Local IP address = fe80:0:0:0:0:0:0:9 excluded"},
        {V6({0xFE, 0x81, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9}), false, nullptr},
        {IP_ADDRESS::V4(0, 0, 0, 0), false, "Zero IP address"},
    };
    for (const CASE& c : cases) {
        log_.Clear();
        const std::string text = c.address.ToText();
        EXPECT_EQ(engine_->IsExcludedAddress(c.address, text), c.excluded) << text;
        if (c.line != nullptr) {
            EXPECT_TRUE(log_.Has(c.line)) << text;
        }
    }
}

TEST_F(RedirectQueryTest, TheDeploymentsServersAreExcludedAndResolvedAgainAfterAMinute) {
    const IP_ADDRESS api4 = IP_ADDRESS::V4(203, 0, 113, 7);
    EXPECT_TRUE(engine_->IsExcludedAddress(api4, api4.ToText()));
    EXPECT_TRUE(log_.Has("Exclude API Filter Server IPv4 = 203.0.113.7"));
    EXPECT_TRUE(log_.Has("Filter server IP address = 203.0.113.7 excluded"));
    const IP_ADDRESS api6 = V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7});
    EXPECT_TRUE(engine_->IsExcludedAddress(api6, api6.ToText()));
    EXPECT_TRUE(log_.Has("Exclude API Filter Server IPv6 = 2001:db8:0:0:0:0:0:7"));
    // The mobile server of this deployment is the loopback server: nothing to resolve.
    EXPECT_EQ(engine_->FilterServers().Address(FILTER_SERVER_ADDRESSES::MOBILE_V4).Length(), 0);
    const size_t asked = resolver_.Asked().size();

    // The server moves; within the minute the old address is still the one excluded.
    resolver_.Add(kTestApiServer, {IP_ADDRESS::V4(203, 0, 113, 8)});
    ASSERT_TRUE(AdvanceSeconds(59));
    EXPECT_TRUE(engine_->IsExcludedAddress(api4, api4.ToText()));
    EXPECT_EQ(resolver_.Asked().size(), asked);
    ASSERT_TRUE(AdvanceSeconds(2));
    EXPECT_FALSE(engine_->IsExcludedAddress(api4, api4.ToText()));
    EXPECT_TRUE(engine_->IsExcludedAddress(IP_ADDRESS::V4(203, 0, 113, 8), "203.0.113.8"));
    // The IPv6 lookup found nothing this time: the previous address is kept.
    EXPECT_TRUE(engine_->IsExcludedAddress(api6, api6.ToText()));

    // A failed resolution keeps what was known.
    resolver_.Fail(kTestApiServer, 11002);
    ASSERT_TRUE(AdvanceSeconds(61));
    EXPECT_TRUE(engine_->IsExcludedAddress(IP_ADDRESS::V4(203, 0, 113, 8), "203.0.113.8"));
}

TEST_F(RedirectQueryTest, ExcludedAddressesAreNeverAskedAbout) {
    std::string redirect;
    EXPECT_FALSE(Decide("games.test/", &redirect, IP_ADDRESS::V4(192, 168, 0, 10)));
    EXPECT_FALSE(Decide("games.test/", &redirect, IP_ADDRESS::V4(203, 0, 113, 7)));
    EXPECT_EQ(Asked(), 0u);
    EXPECT_TRUE(Decide("games.test/", &redirect));
    EXPECT_EQ(Asked(), 1u);
}

// ---- Queries ----

TEST_F(RedirectQueryTest, AnAllowedLookupAsksWithTheThreePairsAndAppliesTheSettings) {
    ASSERT_FALSE(settings_.BlockOnFailure());
    SetPolicy(
        "[settings]\nBlockOnFailure = true\nUnencryptedSearch = true\n[rules]\nblock host "
        "games.test\n");
    QUERY_TEXTS texts("news.test/world/weather/today?city=Oslo Centre");
    std::string redirect = "stale";
    EXPECT_FALSE(Decide(texts, &redirect));
    EXPECT_EQ(redirect, "");

    const peers::PeerRequest request = Server().Peer().LastRequest();
    EXPECT_EQ(request.target, "/access/mobile?id=" + std::string(kTestDeviceId) +
                                  "&user=DESKTOP%5Calice&url=news.test/world/weather/"
                                  "today%3Fcity%3DOslo%20Centre");
    EXPECT_EQ(request.Header("User-Agent"), "WEXO_CLIENT");
    EXPECT_TRUE(log_.Has("QueryRedirectUrl: FC#7, SC#42,\n    Policy query = \"HTTP://" +
                         serverName_ + request.target + "\""));
    // The reply's settings are in force and in the registry.
    EXPECT_TRUE(settings_.BlockOnFailure());
    EXPECT_TRUE(RegistryFlag("BlockOnFailure"));
    EXPECT_TRUE(RegistryFlag("UnencryptedSearch"));
}

TEST_F(RedirectQueryTest, BlockedByHostAndByPath) {
    std::string redirect;
    ASSERT_TRUE(Decide("games.test/play?level=3", &redirect));
    const std::string base = Server().Pages().BaseUrl();
    EXPECT_EQ(
        redirect,
        base + "/blocked.html?url=games.test%2Fplay%3Flevel%3D3&rule=block%20host%20games.test");
    EXPECT_TRUE(
        log_.Has("QueryRedirectUrl: FC#7, SC#42,\n    Redirecting URL = \"games.test/play\" "
                 "to\n    \"" +
                 redirect + "\""));
    ASSERT_TRUE(Decide("NEWS.test/world/europe", &redirect));
    EXPECT_EQ(
        redirect,
        base +
            "/blocked.html?url=NEWS.test%2Fworld%2Feurope&rule=block%20url%20news.test%2Fworld%2F");
    EXPECT_FALSE(Decide("news.test/world/weather/", &redirect));
    EXPECT_FALSE(Decide("news.test/sport", &redirect));
    EXPECT_EQ(Asked(), 4u);
    // Nothing is cached without a lifetime.
    EXPECT_EQ(engine_->Caches().allowed.Count(), 0u);
}

TEST_F(RedirectQueryTest, AnAllowedSiteIsCachedForTheReplysLifetime) {
    SetPolicy("[settings]\nCacheTimeout = 30\n[rules]\nblock host games.test\n");
    ASSERT_FALSE(Decide("news.test/a?x=1"));
    EXPECT_TRUE(log_.Has(
        "URL = \"news.test/a?x=1\" added to allowed cache with time-to-live = 30 seconds"));
    EXPECT_FALSE(Decide("news.test/other"));
    EXPECT_EQ(Asked(), 1u);
    EXPECT_TRUE(log_.Has("Excluding URL = \"news.test/other\"; allowed cache"));
    ASSERT_TRUE(AdvanceSeconds(31));
    EXPECT_FALSE(Decide("news.test/other"));
    EXPECT_EQ(Asked(), 2u);
}

TEST_F(RedirectQueryTest, ACachedTlsHostDoesNotLetLongerHostsPass) {
    SetPolicy("[settings]\nCacheTimeout = 300\n[rules]\nblock host example.com.anything.net\n");
    ASSERT_FALSE(Decide("example.com", nullptr, IP_ADDRESS::V4(93, 184, 216, 34), true));
    std::string redirect;
    EXPECT_TRUE(
        Decide("example.com.anything.net", &redirect, IP_ADDRESS::V4(93, 184, 216, 35), true));
    EXPECT_EQ(Asked(), 2u);
    EXPECT_FALSE(Decide("example.com", nullptr, IP_ADDRESS::V4(93, 184, 216, 34), true));
    EXPECT_EQ(Asked(), 2u);
}

// One address serves many sites: a blocked TLS name is remembered with its address, and answers
// for itself and for connections that name no host, never for another name on the address.
TEST_F(RedirectQueryTest, ABlockedTlsNameIsRememberedWithItsAddressButBlocksNoOtherName) {
    SetPolicy("[settings]\nCacheTimeout = 60\n[rules]\nblock host games.test\n");
    const IP_ADDRESS address = IP_ADDRESS::V4(198, 51, 100, 20);
    // As SC_PolicyLookup asks: a nameless lookup's URL is the address text.
    auto tls = [&](const std::string& host, std::string* redirect) {
        QUERY_TEXTS texts(host.empty() ? address.ToText() : host, address, true);
        texts.query.host = host;
        return Decide(texts, redirect);
    };
    std::string first;
    ASSERT_TRUE(tls("games.test", &first));
    EXPECT_TRUE(
        log_.Has("QueryRedirectUrl: FC#7, SC#42,\n    Cache blocked IP address = "
                 "198.51.100.20, URL = \"games.test\""));

    std::string redirect;
    EXPECT_FALSE(tls("news.test", &redirect));
    EXPECT_EQ(Asked(), 2u);

    const char* const fromCache[] = {"games.test", ""};
    for (const char* name : fromCache) {
        const std::string host = name;
        redirect.clear();
        EXPECT_TRUE(tls(host, &redirect)) << host;
        EXPECT_EQ(redirect, first) << host;
        EXPECT_TRUE(log_.Has("Blocked IP address = 198.51.100.20, URL = \"" +
                             (host.empty() ? address.ToText() : host) +
                             "\",\n    Redirect URL = \"" + first + "\""))
            << host;
    }
    EXPECT_EQ(Asked(), 2u);
    // Plain HTTP lookups never use the address cache.
    EXPECT_FALSE(Decide(address.ToText() + "/", nullptr, address, false));
    EXPECT_EQ(Asked(), 3u);

    // Without a lifetime a blocked address is not remembered.
    SetPolicy("[rules]\nblock host games.test\n");
    const IP_ADDRESS other = IP_ADDRESS::V4(198, 51, 100, 21);
    ASSERT_TRUE(Decide("games.test", nullptr, other, true));
    EXPECT_FALSE(Decide("other.test", nullptr, other, true));
    EXPECT_EQ(engine_->Caches().blocked.Count(), 1u);
}

TEST_F(RedirectQueryTest, TheServerCanSwitchFilteringOffForTenMinutesAtMost) {
    SetPolicy(
        "[settings]\nDisableFiltering = true\nCacheTimeout = 60\n[rules]\nblock host "
        "games.test\n");
    const IP_ADDRESS address = IP_ADDRESS::V4(198, 51, 100, 20);
    // Blocked, and the address remembered; filtering is switched off by the same reply.
    ASSERT_TRUE(Decide("games.test", nullptr, address, true));
    EXPECT_TRUE(log_.Has("Filtering disabled"));
    const size_t asked = Asked();
    // While it is off nothing is asked, and a blocked address is still blocked first.
    EXPECT_FALSE(Decide("games.test/", nullptr, IP_ADDRESS::V4(198, 51, 100, 99)));
    EXPECT_TRUE(Decide("games.test", nullptr, address, true));
    ASSERT_TRUE(AdvanceSeconds(599));
    EXPECT_FALSE(Decide("games.test/", nullptr, IP_ADDRESS::V4(198, 51, 100, 99)));
    EXPECT_EQ(Asked(), asked);
    ASSERT_TRUE(AdvanceSeconds(1));
    // The bound is reached: the next lookup asks again (and this server says off again).
    EXPECT_TRUE(Decide("games.test/", nullptr, IP_ADDRESS::V4(198, 51, 100, 99)));
    EXPECT_TRUE(log_.Has(
        "Maximum filtering disabled period of 600 seconds exceeded; Re-enabling filtering"));
    EXPECT_EQ(Asked(), asked + 1);

    // A reply without the switch-off turns filtering on again at once.
    SetPolicy("[rules]\nblock host games.test\n");
    ASSERT_TRUE(AdvanceSeconds(600));
    EXPECT_TRUE(Decide("games.test/", nullptr, IP_ADDRESS::V4(198, 51, 100, 99)));
    EXPECT_TRUE(Decide("games.test/", nullptr, IP_ADDRESS::V4(198, 51, 100, 99)));
    EXPECT_EQ(Asked(), asked + 3);
}

TEST_F(RedirectQueryTest, OnlyThePolicyServersOwnHostIsLetThroughUnasked) {
    EXPECT_FALSE(Decide(serverName_ + "/access/mobile"));
    EXPECT_TRUE(log_.Has("QueryRedirectUrl: FC#7, SC#42,\n    Excluding URL = \"" + serverName_ +
                         "/access/mobile\"; on policy server = \"" + serverName_ + "\""));
    EXPECT_EQ(Asked(), 0u);
    // A host that merely begins with the server's name is asked about, and blocked.
    SetPolicy("[rules]\nblock url 127.0.0.1\n");
    std::string redirect;
    EXPECT_TRUE(Decide(serverName_ + ".attacker.test/", &redirect));
    EXPECT_TRUE(Decide(serverName_ + "9/", &redirect));
    EXPECT_EQ(Asked(), 2u);
}

TEST_F(RedirectQueryTest, RepliesThatAreNotPolicyRepliesFallToBlockOnFailure) {
    settings_.ApplyPolicyFlags(true, false);
    const std::string huge = Reply("<BlockOnFailure>true</BlockOnFailure><!--" +
                                   std::string(kMaxPolicyReplyBytes, ' ') + "-->");
    const std::string bodies[] = {
        "Service temporarily unavailable",
        Reply("<RedirectURL>http://block.test/</RedirectURL>"),
        Reply("<BlockOnFailure>on</BlockOnFailure>"),
        "<Policy><BlockOnFailure>TRUE</BlockOnFailure></Policy>",
        huge,
    };
    for (const std::string& body : bodies) {
        log_.Clear();
        Server().Pages().SetMobileAnswer(200, body, "text/xml");
        std::string redirect;
        EXPECT_TRUE(Decide("news.test/", &redirect)) << body.substr(0, 60);
        EXPECT_EQ(redirect, BlockOnFailureUrl());
        EXPECT_FALSE(log_.Find("QueryRedirectUrl: FC#7, SC#42,\n    Unexpected reply for policy "
                               "query = \"HTTP://" +
                               serverName_)
                         .empty());
        EXPECT_TRUE(
            log_.Has("QueryRedirectUrl: FC#7, SC#42, No policy server available, Block on "
                     "failure = true,\n    Server name = \"" +
                     serverName_ + "\",\n    Redirect URL = \"" + BlockOnFailureUrl() + "\""));
    }
    // None of them changed a setting, and the server stays in use.
    EXPECT_TRUE(settings_.BlockOnFailure());
    EXPECT_TRUE(Servers().IsAvailable(serverName_));

    // With block on failure off, the same replies allow.
    settings_.ApplyPolicyFlags(false, false);
    std::string redirect;
    EXPECT_FALSE(Decide("news.test/", &redirect));
    EXPECT_TRUE(log_.Has(
        "QueryRedirectUrl: FC#7, SC#42, No policy server available, Block on failure = false"));
}

TEST_F(RedirectQueryTest, AnErrorStatusFallsToBlockOnFailure) {
    settings_.ApplyPolicyFlags(true, false);
    Server().Pages().SetMobileAnswer(404, "not here");
    std::string redirect;
    EXPECT_TRUE(Decide("news.test/", &redirect));
    EXPECT_EQ(redirect, BlockOnFailureUrl());
    EXPECT_TRUE(
        log_.Has("QueryRedirectUrl: FC#7, SC#42,\n    Policy query = \"" +
                 PolicyQueryUrl(serverName_, kTestDeviceId, "DESKTOP\\alice", "news.test/") +
                 "\" failed.\n    HTTP status = 404"));
    EXPECT_EQ(log_.Count("Test for authorization login processing, URL = \"news.test/\""), 1u);
    EXPECT_FALSE(engine_->Hotspot().LoginStarted());
    EXPECT_TRUE(Servers().IsAvailable(serverName_));
}

TEST_F(RedirectQueryTest, ACaptivePortalOpensTheWindowUntilAValidReply) {
    settings_.ApplyPolicyFlags(true, false);
    Server().Pages().SetMobileAnswer(302, "", "text/html", "http://portal.test/login");
    EXPECT_FALSE(Decide("games.test/"));
    EXPECT_TRUE(log_.Has("Authorization login processing, HTTP status = 302, HotspotCount = 1"));
    EXPECT_EQ(Asked(), 1u);
    // Within the window, lookups pass without asking.
    EXPECT_FALSE(Decide("portal.test/login", nullptr, IP_ADDRESS::V4(198, 51, 100, 1)));
    EXPECT_TRUE(log_.Has("Excluding URL = \"portal.test/login\"; hotspot IP address"));
    EXPECT_EQ(Asked(), 1u);

    // The user has signed in: the server answers again, and a valid reply ends the window.
    Server().Pages().ClearMobileAnswer();
    ASSERT_TRUE(AdvanceSeconds(61));
    EXPECT_TRUE(Decide("games.test/", nullptr, IP_ADDRESS::V4(198, 51, 100, 1)));
    EXPECT_TRUE(
        log_.Has("Authorization login time-out exceeded, IpAddress = 198.51.100.1, "
                 "Time-out = 60 seconds"));
    EXPECT_TRUE(
        log_.Has("Clear authorization login statistics, IpAddressCount = 1, HotspotCount = 2"));
    EXPECT_FALSE(engine_->Hotspot().LoginStarted());
}

TEST_F(RedirectQueryTest, APortalPageThatEchoesTheDeviceIdIsAHotspot) {
    settings_.ApplyPolicyFlags(true, false);
    Server().Pages().SetMobileAnswer(200, "<html><a href=\"/login?next=access/mobile?id=" +
                                              std::string(kTestDeviceId) + "\">Sign in</a></html>");
    EXPECT_FALSE(Decide("news.test/"));
    EXPECT_TRUE(engine_->Hotspot().LoginStarted());
    EXPECT_EQ(log_.Count("Authorization login processing, HTTP status = 200, HotspotCount = 1"),
              1u);
}

TEST_F(RedirectQueryTest, AnUnreachableServerIsMarkedUnavailableAndBlocksOnFailure) {
    settings_.ApplyPolicyFlags(true, false);
    ASSERT_TRUE(Server().Peer().SetRefuse(true));
    std::string redirect;
    EXPECT_TRUE(Decide("news.test/", &redirect));
    EXPECT_EQ(redirect, BlockOnFailureUrl());
    EXPECT_FALSE(
        log_.Find("QueryRedirectUrl: FC#7, SC#42, Unable to connect, \n    Server name = \"" +
                  serverName_ + "\",\n    Policy query = \"HTTP://" + serverName_ +
                  "/access/mobile?id=")
            .empty());
    EXPECT_TRUE(log_.Has("Policy server \"" + serverName_ + "\" is no longer available"));
    EXPECT_FALSE(Servers().IsAvailable(serverName_));

    // The lone server is not handed out while it is down; the line still names it.
    ASSERT_TRUE(Settle());
    log_.Clear();
    EXPECT_TRUE(Decide("news.test/", &redirect));
    EXPECT_EQ(Asked(), 0u);
    EXPECT_TRUE(
        log_.Has("QueryRedirectUrl: FC#7, SC#42, No policy server available, Block on "
                 "failure = true,\n    Server name = \"" +
                 serverName_ + "\",\n    Redirect URL = \"" + BlockOnFailureUrl() + "\""));
}

TEST_F(RedirectQueryTest, WithoutAnyServerTheLineSaysUnavailable) {
    settings_.ApplyPolicyFlags(true, false);
    Servers().FreeServers();
    std::string redirect;
    EXPECT_TRUE(Decide("news.test/", &redirect));
    EXPECT_TRUE(
        log_.Has("QueryRedirectUrl: FC#7, SC#42, No policy server available, Block on "
                 "failure = true,\n    Server name = \"<unavailable>\",\n    Redirect URL "
                 "= \"" +
                 BlockOnFailureUrl() + "\""));
}

TEST_F(RedirectQueryTest, AServerThatHangsIsGivenUpAfterSixtySeconds) {
    settings_.ApplyPolicyFlags(true, false);
    Server().Peer().SetHang(true);
    std::atomic<bool> redirected{false};
    std::string redirect;
    auto worker = os::Thread::Start([&] { redirected = Decide("news.test/", &redirect); });
    ASSERT_TRUE(WaitUntil([&] { return Server().Peer().HeldCount() == 1; }));
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.AdvanceSeconds(59));
    EXPECT_FALSE(worker->HasEnded());
    // The ping thread, woken by the failure, meets the same hanging server: one ping may hang.
    ASSERT_TRUE(clock_.AdvanceSeconds(1));
    worker->Join();
    EXPECT_TRUE(redirected.load());
    EXPECT_EQ(redirect, BlockOnFailureUrl());
    EXPECT_FALSE(log_.Find("QueryRedirectUrl: FC#7, SC#42, Unable to connect, ").empty());
    EXPECT_NE(
        log_.Find("QueryRedirectUrl: FC#7, SC#42, Unable to connect, ").find("Timeout was reached"),
        std::string::npos);
    EXPECT_FALSE(Servers().IsAvailable(serverName_));
    Server().Peer().SetHang(false);
}

TEST_F(RedirectQueryTest, TheServiceStopEndsAQueryAtOnce) {
    settings_.ApplyPolicyFlags(false, false);
    Server().Peer().SetHang(true);
    std::atomic<bool> redirected{true};
    auto worker = os::Thread::Start([&] {
        std::string redirect;
        redirected = Decide("news.test/", &redirect);
    });
    ASSERT_TRUE(WaitUntil([&] { return Server().Peer().HeldCount() == 1; }));
    stop_->Request();
    worker->Join();
    EXPECT_FALSE(redirected.load());
    EXPECT_FALSE(log_.Find("QueryRedirectUrl: FC#7, SC#42, Service stopping,").empty());
    // Not the server's fault: it stays available.
    EXPECT_TRUE(Servers().IsAvailable(serverName_));
    Server().Peer().SetHang(false);
}

TEST_F(RedirectQueryTest, ARedirectUrlWithLineBreaksIsMadeSafe) {
    Server().Pages().SetMobileAnswer(
        200,
        Reply("<BlockOnFailure>FALSE</BlockOnFailure><RedirectURL>http://block.test/x&#13;&#10;"
              "Location: http://evil.test/</RedirectURL>"),
        "text/xml");
    std::string redirect;
    ASSERT_TRUE(Decide("news.test/", &redirect));
    EXPECT_EQ(redirect, "http://block.test/x%0D%0ALocation:%20http://evil.test/");
    EXPECT_EQ(RedirectResponse(redirect).find("\r\nLocation: http://evil.test"), std::string::npos);
}

// ---- Caches that cannot widen an allow ----

// A policy server that gives every allow a lifetime: the TLS lookup of a host allowed it as a
// whole, and that must not let a blocked path of the host pass over plain HTTP.
TEST_F(RedirectQueryTest, AnAllowedTlsHostDoesNotAnswerAnHttpLookupOfItsPaths) {
    const IP_ADDRESS address = IP_ADDRESS::V4(198, 51, 100, 30);
    Server().Pages().SetMobileAnswer(
        200, Reply("<BlockOnFailure>FALSE</BlockOnFailure><CacheTimeout>300</CacheTimeout>"),
        "text/xml");
    ASSERT_FALSE(Decide("news.test", nullptr, address, true));
    EXPECT_EQ(engine_->Caches().allowed.Count(), 1u);
    EXPECT_FALSE(Decide("news.test", nullptr, address, true));
    EXPECT_EQ(Asked(), 1u);

    // The policy of the fixture blocks news.test/world/.
    Server().Pages().ClearMobileAnswer();
    std::string redirect;
    EXPECT_TRUE(Decide("news.test/world/europe", &redirect, address, false));
    EXPECT_EQ(Asked(), 2u);
    EXPECT_NE(redirect.find("rule=block%20url%20news.test%2Fworld%2F"), std::string::npos);
    EXPECT_FALSE(log_.Has("Excluding URL = \"news.test/world/europe\"; allowed cache"));
    // A proxy request for the site's root is an HTTP lookup too.
    EXPECT_FALSE(Decide("news.test", nullptr, address, false));
    EXPECT_EQ(Asked(), 3u);
}

// Rules may be per user: an allow the server gave the teacher, cached for five minutes, is no
// answer for the student's lookup of the same site within them, over HTTP or TLS.
TEST_F(RedirectQueryTest, ATeachersCachedAllowIsNotUsedForAStudent) {
    SetPolicy(
        "[settings]\nCacheTimeout = 300\n[rules]\nblock host games.test\n"
        "[user SCHOOL\\teacher]\nallow host games.test\n");
    const IP_ADDRESS address = IP_ADDRESS::V4(198, 51, 100, 40);
    const char* const urls[] = {"games.test/play", "games.test"};
    size_t asked = 0;
    for (const char* url : urls) {
        const bool https = std::string_view(url).find('/') == std::string_view::npos;
        QUERY_TEXTS teacher(url, address, https, "SCHOOL\\teacher");
        QUERY_TEXTS student(url, address, https, "SCHOOL\\student");
        teacher.query.host = student.query.host = "games.test";
        std::string redirect;
        ASSERT_FALSE(Decide(teacher, &redirect)) << url;
        ASSERT_TRUE(AdvanceSeconds(60));
        EXPECT_FALSE(Decide(teacher, &redirect)) << url;
        EXPECT_EQ(Asked(), ++asked) << url;
        EXPECT_TRUE(Decide(student, &redirect)) << url;
        EXPECT_NE(redirect.find("rule=block%20host%20games.test"), std::string::npos) << url;
        EXPECT_EQ(Asked(), ++asked) << url;
    }
}

// With the reference server, a host that has path rules is never cached, so no allow of one of
// its pages (or of the host over TLS) can answer for another page; other hosts are.
TEST_F(RedirectQueryTest, AHostWithPathRulesIsNeverCached) {
    SetPolicy(
        "[settings]\nCacheTimeout = 300\n[rules]\nallow url news.test/world/weather/\n"
        "block url news.test/world/\n");
    EXPECT_FALSE(Decide("news.test/world/weather/today"));
    EXPECT_FALSE(Decide("news.test/sport"));
    EXPECT_FALSE(Decide("news.test", nullptr, IP_ADDRESS::V4(198, 51, 100, 31), true));
    EXPECT_EQ(engine_->Caches().allowed.Count(), 0u);
    EXPECT_TRUE(Decide("news.test/world/europe"));
    EXPECT_EQ(Asked(), 4u);
    EXPECT_FALSE(Decide("other.test/a"));
    EXPECT_EQ(engine_->Caches().allowed.Count(), 1u);
    EXPECT_FALSE(Decide("other.test/b"));
    EXPECT_EQ(Asked(), 5u);
}

// The server matches its rules on the normalised URL too, so a URL that reached it in another
// spelling is judged by the same rule.
TEST_F(RedirectQueryTest, ThePolicyServerJudgesAnotherSpellingByTheSameRule) {
    std::string redirect;
    EXPECT_TRUE(Decide("News.TEST.//world/./x", &redirect));
    EXPECT_NE(redirect.find("rule=block%20url%20news.test%2Fworld%2F"), std::string::npos);
    EXPECT_TRUE(Decide("news.test/%77orld/x"));
    EXPECT_TRUE(Decide("news.test/sport/../world/x"));
    EXPECT_FALSE(Decide("news.test/world/weather/../../sport/"));
    EXPECT_TRUE(Decide("Games.Test.:80/play"));
}

// ---- The first resolution of the deployment's server addresses ----

// Resolves through the fixture's table once opened; until then every resolution waits (in an os/
// wait, so that the virtual clock sees the resolving lookup blocked).
class GATED_RESOLVER final : public NAME_RESOLVER {
  public:
    explicit GATED_RESOLVER(NAME_RESOLVER& next) : next_(next) {}
    uint32_t Resolve(const std::string& hostName, AddressFamily family,
                     std::vector<IP_ADDRESS>* addresses) override {
        ++entered_;
        os::WaitForSingleObject(open_, os::INFINITE);
        return next_.Resolve(hostName, family, addresses);
    }
    void Open() { open_.Set(); }
    int Entered() const { return entered_.load(); }

  private:
    NAME_RESOLVER& next_;
    os::Event open_{os::EventType::Notification, false};
    std::atomic<int> entered_{0};
};

class FirstFilterServerRefreshTest : public PolicyEngineFixture {
  protected:
    // Starts a lookup of `address` on its own thread; `*excluded` receives its answer.
    std::shared_ptr<os::Thread> Exclude(const IP_ADDRESS& address, std::atomic<int>* excluded) {
        return os::Thread::Start([this, address, excluded] {
            *excluded = engine_->IsExcludedAddress(address, address.ToText()) ? 1 : 0;
        });
    }

    const IP_ADDRESS api4_ = IP_ADDRESS::V4(203, 0, 113, 7);
    GATED_RESOLVER gate_{resolver_};
    ScopedNameResolver scopedGate_{gate_};
};

TEST_F(FirstFilterServerRefreshTest, ALookupDuringTheFirstRefreshWaitsForItsAddresses) {
    std::atomic<int> first{-1}, second{-1};
    auto resolving = Exclude(api4_, &first);
    ASSERT_TRUE(WaitUntil([&] { return gate_.Entered() == 1; }));
    auto waiting = Exclude(api4_, &second);
    ASSERT_TRUE(clock_.Settle());
    EXPECT_FALSE(waiting->HasEnded()) << "decided before the addresses were known";
    gate_.Open();
    resolving->Join();
    waiting->Join();
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), 1);
    EXPECT_EQ(log_.Count("Filter server IP address = 203.0.113.7 excluded"), 2u);
}

TEST_F(FirstFilterServerRefreshTest, TheWaitEndsAfterFiveSecondsOrAtTheStop) {
    std::atomic<int> first{-1}, second{-1}, third{-1};
    auto resolving = Exclude(api4_, &first);
    ASSERT_TRUE(WaitUntil([&] { return gate_.Entered() == 1; }));
    auto waiting = Exclude(api4_, &second);
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.AdvanceSeconds(4.9));
    EXPECT_FALSE(waiting->HasEnded());
    ASSERT_TRUE(clock_.AdvanceSeconds(0.1));
    waiting->Join();
    EXPECT_EQ(second.load(), 0);

    auto stopped = Exclude(api4_, &third);
    ASSERT_TRUE(clock_.Settle());
    EXPECT_FALSE(stopped->HasEnded());
    stop_->Request();
    stopped->Join();
    EXPECT_EQ(third.load(), 0);
    // The resolution itself still completes and counts.
    gate_.Open();
    resolving->Join();
    EXPECT_EQ(first.load(), 1);
    EXPECT_TRUE(engine_->IsExcludedAddress(api4_, api4_.ToText()));
}

}  // namespace
}  // namespace wexo::svc::testing
