#include "service/policy/policy_lookup.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/service_domain.h"
#include "os/core/clock.h"
#include "os/core/sync.h"
#include "rule_decision.h"
#include "service/checkin/identity.h"
#include "service/policy/https_session_map.h"
#include "tests/service/calls/service_test_support.h"

namespace wexo::svc::testing {
namespace {

// The fields of a lookup request; Build() lays them out as the driver does: the record, then the
// parts in field order, every pointer an address inside the block.
struct LookupFields {
    uint64_t processId = 1234;
    uint32_t sessionId = 1;
    uint32_t flow = 7;
    bool https = false;
    bool reuse = false;
    std::string tlsSessionId;
    std::string host = "www.example.test";
    std::string url = "/index.html";
    std::string proxyPrefix;
    std::string sid;
    std::vector<uint8_t> address = {93, 184, 216, 34};

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> block(sizeof(POLICY_LOOKUP_REQUEST) + tlsSessionId.size() +
                                   host.size() + url.size() + proxyPrefix.size() + sid.size() +
                                   address.size());
        POLICY_LOOKUP_REQUEST record{};
        record.processId = processId;
        record.sessionId = sessionId;
        record.flowNumber = flow;
        record.https = https;
        record.sessionReuse = reuse;
        size_t at = sizeof record;
        auto place = [&](const void* data, size_t size, uint64_t* pointer, uint32_t* length) {
            *length = static_cast<uint32_t>(size);
            *pointer = size == 0 ? 0 : reinterpret_cast<uint64_t>(block.data() + at);
            if (size != 0) {
                std::memcpy(block.data() + at, data, size);
            }
            at += size;
        };
        place(tlsSessionId.data(), tlsSessionId.size(), &record.tlsSessionId,
              &record.tlsSessionIdLength);
        place(host.data(), host.size(), &record.host, &record.hostLength);
        place(url.data(), url.size(), &record.urlPath, &record.urlPathLength);
        place(proxyPrefix.data(), proxyPrefix.size(), &record.proxyPrefix,
              &record.proxyPrefixLength);
        place(sid.data(), sid.size(), &record.userSid, &record.userSidLength);
        place(address.data(), address.size(), &record.remoteAddress, &record.remoteAddressLength);
        std::memcpy(block.data(), &record, sizeof record);
        return block;
    }
};

POLICY_LOOKUP_REQUEST RecordOf(const std::vector<uint8_t>& block) {
    POLICY_LOOKUP_REQUEST record;
    std::memcpy(&record, block.data(), sizeof record);
    return record;
}
void Store(std::vector<uint8_t>& block, const POLICY_LOOKUP_REQUEST& record) {
    std::memcpy(block.data(), &record, sizeof record);
}

TEST(ParsePolicyLookupRequestTest, EveryFieldIsRead) {
    LookupFields fields;
    fields.tlsSessionId = std::string("\x01\xAB", 2);
    fields.proxyPrefix = "http://www.example.test";
    fields.sid = "S";
    fields.https = true;
    fields.reuse = true;
    auto block = fields.Build();
    POLICY_LOOKUP_INPUT input;
    std::string problem;
    ASSERT_TRUE(ParsePolicyLookupRequest(block.data(), static_cast<uint32_t>(block.size()), &input,
                                         &problem))
        << problem;
    EXPECT_EQ(input.processId, 1234u);
    EXPECT_EQ(input.sessionId, 1u);
    EXPECT_EQ(input.flowNumber, 7u);
    EXPECT_TRUE(input.https);
    EXPECT_TRUE(input.sessionReuse);
    EXPECT_EQ(input.tlsSessionId, fields.tlsSessionId);
    EXPECT_EQ(input.host, "www.example.test");
    EXPECT_EQ(input.urlPath, "/index.html");
    EXPECT_EQ(input.proxyPrefix, "http://www.example.test");
    EXPECT_EQ(input.userSid, "S");
    EXPECT_EQ(input.address.ToText(), "93.184.216.34");
}

TEST(ParsePolicyLookupRequestTest, BlocksThatDoNotAddUpAreRefused) {
    LookupFields fields;
    auto good = fields.Build();
    const auto size = static_cast<uint32_t>(good.size());
    POLICY_LOOKUP_INPUT input;
    std::string problem;

    EXPECT_FALSE(
        ParsePolicyLookupRequest(good.data(), sizeof(POLICY_LOOKUP_REQUEST) - 1, &input, &problem));
    EXPECT_EQ(problem, "a block of 111 bytes is shorter than the request record");

    struct CASE {
        const char* what;
        void (*change)(POLICY_LOOKUP_REQUEST&, uint64_t base, uint32_t size);
    };
    const CASE cases[] = {
        {"host before the block", [](auto& r, uint64_t b, uint32_t) { r.host = b - 16; }},
        {"host inside the record", [](auto& r, uint64_t b, uint32_t) { r.host = b + 8; }},
        {"path past the end", [](auto& r, uint64_t, uint32_t) { r.urlPathLength += 1000; }},
        {"huge length", [](auto& r, uint64_t, uint32_t) { r.hostLength = 0xFFFFFFFF; }},
        {"address that wraps", [](auto& r, uint64_t, uint32_t) { r.remoteAddress = ~0ull - 1; }},
        {"null pointer with a length",
         [](auto& r, uint64_t, uint32_t) {
             r.proxyPrefix = 0;
             r.proxyPrefixLength = 4;
         }},
        {"session ID out in other memory",
         [](auto& r, uint64_t, uint32_t) {
             r.tlsSessionId = reinterpret_cast<uint64_t>(&r);
             r.tlsSessionIdLength = 8;
         }},
        {"address of 7 bytes", [](auto& r, uint64_t b, uint32_t s) {
             r.remoteAddress = b + s - 7;
             r.remoteAddressLength = 7;
         }}};
    for (const CASE& c : cases) {
        auto block = fields.Build();
        auto record = RecordOf(block);
        c.change(record, reinterpret_cast<uint64_t>(block.data()), size);
        Store(block, record);
        problem.clear();
        EXPECT_FALSE(ParsePolicyLookupRequest(block.data(), size, &input, &problem)) << c.what;
        EXPECT_FALSE(problem.empty()) << c.what;
        EXPECT_TRUE(input.host.empty()) << c.what;
    }
}

TEST(ParsePolicyLookupRequestTest, ASessionIdLongerThan32BytesIsNoSessionId) {
    LookupFields fields;
    fields.tlsSessionId = std::string(33, 'x');
    auto block = fields.Build();
    POLICY_LOOKUP_INPUT input;
    std::string problem;
    ASSERT_TRUE(ParsePolicyLookupRequest(block.data(), static_cast<uint32_t>(block.size()), &input,
                                         &problem));
    EXPECT_TRUE(input.tlsSessionId.empty());
    EXPECT_EQ(input.droppedSessionIdLength, 33u);
    fields.tlsSessionId = std::string(32, 'x');
    block = fields.Build();
    ASSERT_TRUE(ParsePolicyLookupRequest(block.data(), static_cast<uint32_t>(block.size()), &input,
                                         &problem));
    EXPECT_EQ(input.tlsSessionId.size(), 32u);
}

POLICY_LOOKUP_INPUT Input(std::string_view host, std::string_view url,
                          std::string_view prefix = {}) {
    POLICY_LOOKUP_INPUT input;
    input.host = host;
    input.urlPath = url;
    input.proxyPrefix = prefix;
    return input;
}

TEST(ComposeLookupTargetTest, OriginFormRules) {
    auto t = ComposeLookupTarget(Input("www.example.test", "/a?b=1"), "1.2.3.4");
    EXPECT_EQ(t.lookupUrl, "www.example.test/a?b=1");
    EXPECT_STREQ(t.label, "");
    // No host and no URL: the address text alone.
    EXPECT_EQ(ComposeLookupTarget(Input("", ""), "1.2.3.4").lookupUrl, "1.2.3.4");
    EXPECT_EQ(ComposeLookupTarget(Input("", "/x"), "1.2.3.4").lookupUrl, "1.2.3.4/x");
    // A trailing slash on the host is dropped and one put before a bare URL.
    EXPECT_EQ(ComposeLookupTarget(Input("host.test/", "page"), "").lookupUrl, "host.test/page");
    // A TLS lookup knows the host only.
    EXPECT_EQ(ComposeLookupTarget(Input("secure.test", ""), "").lookupUrl, "secure.test");
}

TEST(ComposeLookupTargetTest, ProxyRequestsAreJudgedByTheirTargetAndPath) {
    auto t = ComposeLookupTarget(
        Input("allowed.test", "/news/item?id=3", "http://blocked.test:8080"), "10.0.0.8");
    EXPECT_EQ(t.lookupUrl, "blocked.test:8080/news/item?id=3");
    EXPECT_EQ(t.host, "blocked.test:8080");
    EXPECT_STREQ(t.label, "Proxy ");
    EXPECT_EQ(
        ComposeLookupTarget(Input("h.test", "/p", "HTTP://user:pw@target.test"), "").lookupUrl,
        "target.test/p");
    // A target without a path is judged by its host alone.
    t = ComposeLookupTarget(Input("allowed.test", "", "http://blocked.test?q=1"), "");
    EXPECT_EQ(t.lookupUrl, "blocked.test");
    EXPECT_STREQ(t.label, "Proxy ");
    // A prefix without an authority leaves the Host header to name the target.
    t = ComposeLookupTarget(Input("h.test", "/p", "http://"), "");
    EXPECT_EQ(t.lookupUrl, "h.test/p");
    EXPECT_STREQ(t.label, "Proxy ");
}

// Every spelling a client may give of one host and path is looked up in one form, whatever part
// of the request names the host.
TEST(ComposeLookupTargetTest, HostsAndPathsInTheFormServersReadThem) {
    struct CASE {
        const char* host;
        const char* url;
        const char* prefix;
        const char* lookupUrl;
        const char* targetHost;
    };
    const CASE cases[] = {
        // The Host header of an origin-form request, or a TLS name (no path).
        {"Games.TEST.", "/Play", "", "games.test/Play", "games.test"},
        {" games.test\t", "/x", "", "games.test/x", "games.test"},
        {"games.test:80", "/x", "", "games.test/x", "games.test"},
        {"games.test.:8080", "/x", "", "games.test:8080/x", "games.test:8080"},
        {"[2001:DB8::1]:8080", "/x", "", "[2001:db8::1]:8080/x", "[2001:db8::1]:8080"},
        {"Secure.Test.", "", "", "secure.test", "secure.test"},
        {"News.Test./", "x", "", "news.test/x", "news.test"},
        // Paths.
        {"news.test", "//world/./x", "", "news.test/world/x", "news.test"},
        {"news.test", "/%77orld/%2e%2e/world/x?a=/../", "", "news.test/world/x?a=/../",
         "news.test"},
        {"news.test", "/a/b/../../../world/", "", "news.test/world/", "news.test"},
        {"news.test", "/world%2Fx", "", "news.test/world/x", "news.test"},
        {"news.test", "world/x", "", "news.test/world/x", "news.test"},
        // The authority of a proxy request, in the form of its own scheme.
        {"allowed.test", "/World/%2E/x", "http://NEWS.test.:80", "news.test/World/x", "news.test"},
        {"h.test", "/a", "HTTPS://News.Test:443", "news.test/a", "news.test"},
        {"h.test", "/a", "https://news.test:80", "news.test:80/a", "news.test:80"},
        {"h.test", "/a", "http://news.test:443", "news.test:443/a", "news.test:443"},
        {"H.Test.", "/a", "http://", "h.test/a", "h.test"},
        // No name at all: the destination address.
        {"", "/x", "", "192.0.2.1/x", ""},
        {"  ", "//x", "", "192.0.2.1/x", ""},
        {".", "", "", "192.0.2.1", ""},
    };
    for (const CASE& c : cases) {
        const LOOKUP_TARGET target =
            ComposeLookupTarget(Input(c.host, c.url, c.prefix), "192.0.2.1");
        EXPECT_EQ(target.lookupUrl, c.lookupUrl) << c.host << " " << c.url << " " << c.prefix;
        EXPECT_EQ(target.host, c.targetHost) << c.host << " " << c.url << " " << c.prefix;
    }
}

// Every reading of a request some server acts on, in lookup order ("Proxy " marks the label):
// the target's authority, then a Host header naming another host; for each, the path as sent
// and, when it differs, as the loosest servers read it.
TEST(ComposeLookupTargetsTest, EveryHostAndPathAServerMayServe) {
    struct CASE {
        const char* host;
        const char* url;
        const char* prefix;
        std::vector<std::string> lookups;
    };
    const CASE cases[] = {
        // Two hosts: the proxy's target first.
        {"allowed.test", "/x", "http://blocked.test", {"Proxy blocked.test/x", "allowed.test/x"}},
        {"Other.Test.:8080",
         "/x",
         "http://user@blocked.test",
         {"Proxy blocked.test/x", "other.test:8080/x"}},
        {"blocked.test:8080",
         "/x",
         "http://blocked.test",
         {"Proxy blocked.test/x", "blocked.test:8080/x"}},
        {"blocked.test:80",
         "/x",
         "https://blocked.test",
         {"Proxy blocked.test/x", "blocked.test:80/x"}},
        {"other.test", "", "http://blocked.test?q=1", {"Proxy blocked.test", "other.test"}},
        {"other.test", "/x", "http://:8080", {"Proxy 192.0.2.1/x", "other.test/x"}},
        // One host in two spellings, or only one host named: one lookup.
        {"Blocked.Test.", "/x", "http://blocked.test:80", {"Proxy blocked.test/x"}},
        {"blocked.test:443", "/x", "HTTPS://BLOCKED.test", {"Proxy blocked.test/x"}},
        {" blocked.test/", "/x", "http://blocked.test", {"Proxy blocked.test/x"}},
        {"", "/x", "http://blocked.test", {"Proxy blocked.test/x"}},
        {" ", "/x", "http://blocked.test", {"Proxy blocked.test/x"}},
        {"other.test", "/x", "http://", {"Proxy other.test/x"}},
        {"other.test", "/x", "", {"other.test/x"}},
        // Paths a server reads as another path.
        {"h.test", "\\a;x=1\\b", "", {"h.test/\\a;x=1\\b", "h.test/a/b"}},
        {"h.test", "/a;jsessionid=1", "", {"h.test/a;jsessionid=1", "h.test/a"}},
        {"h.test", "/a/b?x=;\\", "", {"h.test/a/b?x=;\\"}},
        {"", "/a;x", "", {"192.0.2.1/a;x", "192.0.2.1/a"}},
        {"secure.test", "", "", {"secure.test"}},
        // Both.
        {"other.test",
         "/a;x",
         "http://blocked.test",
         {"Proxy blocked.test/a;x", "Proxy blocked.test/a", "other.test/a;x", "other.test/a"}},
    };
    for (const CASE& c : cases) {
        std::vector<std::string> lookups;
        for (const LOOKUP_TARGET& target :
             ComposeLookupTargets(Input(c.host, c.url, c.prefix), "192.0.2.1")) {
            lookups.push_back(target.label + target.lookupUrl);
        }
        EXPECT_EQ(lookups, c.lookups) << c.host << " " << c.url << " " << c.prefix;
    }
}

TEST(PolicyLookupTextsTest, SuffixAndRedirectResponse) {
    EXPECT_EQ(LookupLogSuffix(std::string("\x0A\xFF", 2), true, true),
              ",\n    HTTPS SessionId = 0AFF-2, reuse");
    EXPECT_EQ(LookupLogSuffix(std::string("\x01", 1), false, true),
              ",\n    HTTPS SessionId = 01-1");
    EXPECT_EQ(LookupLogSuffix("", true, true), ",\n    reuse HTTPS session");
    EXPECT_EQ(LookupLogSuffix("", false, true), ",\n    HTTPS");
    EXPECT_EQ(LookupLogSuffix("", false, false), "");
    EXPECT_EQ(RedirectResponse("http://block.test/page?u=%41&r=1"),
              "HTTP/1.1 302 Other\r\nLocation: http://block.test/page?u=%41&r=1\r\n"
              "Content-Length:0\r\nConnection: close\r\n\r\n");
}

class PolicyLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        device.SetUniqueDeviceId("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0-and-more");
        device.SetReady();
    }

    RECORDED_ANSWER Lookup(const LookupFields& fields, uint32_t sequence = 42) {
        auto block = fields.Build();
        SERVICE_CALL call(recorder, MakeCallHandle(0, sequence), 0);
        DispatchPolicyLookup(context, call, block.data(), static_cast<uint32_t>(block.size()));
        EXPECT_TRUE(call.Completed());
        return recorder.Last();
    }

    // Time stands still: every lookup completes in 0.000 seconds.
    os::VirtualClock clock;
    LOG_CAPTURE log;
    CALL_RECORDER recorder;
    RULE_DECISION decision;
    HTTPS_SESSION_MAP sessions;
    DEVICE_INFORMATION device;
    os::Event stop{os::EventType::Notification, false};
    POLICY_LOOKUP_CONTEXT context{decision, sessions, device, stop};
};

TEST_F(PolicyLookupTest, AnAllowedLookup) {
    LookupFields fields;
    fields.sid = [] {
        auto sid = UnixUserSid(static_cast<uint32_t>(getuid()));
        return std::string(sid.begin(), sid.end());
    }();
    RECORDED_ANSWER answer = Lookup(fields);
    EXPECT_EQ(answer.status, 1168);
    EXPECT_EQ(answer.ResponseText(), "");

    std::string domain, user;
    GetAccountForSid(UnixUserSid(static_cast<uint32_t>(getuid())), &domain, &user);
    ASSERT_FALSE(user.empty());
    auto asked = decision.Asked();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_FALSE(asked[0].https);
    EXPECT_EQ(asked[0].lookupUrl, "www.example.test/index.html");
    EXPECT_EQ(asked[0].addressText, "93.184.216.34");
    EXPECT_EQ(asked[0].userName, user);
    EXPECT_EQ(asked[0].deviceId, "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    EXPECT_EQ(asked[0].flowNumber, 7u);
    EXPECT_EQ(asked[0].callNumber, 42u);
    EXPECT_TRUE(log.Has("SC_PolicyLookup:\n    FC#7, SC#42,\n    Starting ...\n    UserName = \"" +
                        user +
                        "\", ProcessId = 1234, SessionId = 1,\n    URL = "
                        "\"www.example.test/index.html\",\n    IpAddress = 93.184.216.34"));
    EXPECT_TRUE(
        log.Has("SC_PolicyLookup:\n    FC#7, SC#42,\n    Completed in 0.000 seconds, "
                "ALLOWED,\n    UserName = \"" +
                user +
                "\", ProcessId = 1234, SessionId = 1,\n    URL = "
                "\"www.example.test/index.html\",\n    IpAddress = 93.184.216.34"));
    // Plain HTTP leaves nothing in the session map.
    EXPECT_EQ(sessions.Count(), 0u);
}

TEST_F(PolicyLookupTest, ABlockedLookupAnswersWithTheRedirectAndRemembersTheSession) {
    decision.Redirect("blocked.test", "https://block.example/page?site=blocked.test&x=%20");
    LookupFields fields;
    fields.host = "blocked.test";
    fields.url = "";
    fields.https = true;
    fields.tlsSessionId = std::string("\xDE\xAD\xBE\xEF", 4);
    RECORDED_ANSWER answer = Lookup(fields);
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.ResponseText(),
              "HTTP/1.1 302 Other\r\nLocation: https://block.example/page?site=blocked.test&x=%20"
              "\r\nContent-Length:0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(log.Count("Completed in 0.000 seconds, BLOCKED,\n    UserName = \"\", ProcessId = "
                        "1234, SessionId = 1,\n    URL = \"blocked.test\", \n    IpAddress = "
                        "93.184.216.34,\n    HTTPS SessionId = DEADBEEF-4"),
              1u);
    std::string redirect, host;
    bool blocked = false;
    ASSERT_TRUE(sessions.Get(fields.tlsSessionId, "", &redirect, &host, &blocked));
    EXPECT_TRUE(blocked);
    EXPECT_EQ(host, "blocked.test");
    EXPECT_EQ(redirect, "https://block.example/page?site=blocked.test&x=%20");
}

TEST_F(PolicyLookupTest, TheServiceDomainIsNeverLookedUp) {
    decision.Redirect("", "https://block.example/everything");
    LookupFields fields;
    fields.host = "a.b.Api." + std::string(kServiceDomain);
    for (char& c : fields.host) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    fields.tlsSessionId = "session";
    fields.https = true;
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_TRUE(decision.Asked().empty());
    EXPECT_EQ(sessions.Count(), 0u);
    EXPECT_EQ(
        log.Count("Excluding CV filter server = \"a.b.api." + std::string(kServiceDomain) + "\""),
        1u);
    // Written with a trailing dot and blanks, it is still one of ours.
    fields.host = " api." + std::string(kServiceDomain) + ". ";
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_TRUE(decision.Asked().empty());

    // A host that merely ends in the domain's text, or has it in the middle, is looked up.
    fields.host = "x" + std::string(kServiceDomain);
    EXPECT_EQ(Lookup(fields).status, 0);
    fields.host = std::string(kServiceDomain) + ".attacker.test";
    EXPECT_EQ(Lookup(fields).status, 0);
    EXPECT_EQ(decision.Asked().size(), 2u);
}

// Rules may be per user: a session the teacher's lookup made gives no verdict for the student's
// connection that resumes the same session ID; that one is judged for the student.
TEST_F(PolicyLookupTest, AResumedSessionIsAnsweredOnlyForTheUserWhoseLookupMadeIt) {
    auto sid = [](uint8_t rid) {
        const uint8_t bytes[] = {1, 1, 0, 0, 0, 0, 0, 5, rid, 0, 0, 0};
        return std::string(std::begin(bytes), std::end(bytes));
    };
    const std::string teacher = sid(19), student = sid(20);  // LOCAL and NETWORK SERVICE
    LookupFields fields;
    fields.host = "games.test";
    fields.url = "";
    fields.https = true;
    fields.tlsSessionId = "shared-session";
    fields.sid = teacher;
    ASSERT_EQ(Lookup(fields).status, 1168);
    decision.Redirect("", "https://block.example/student");
    fields.host = "";
    fields.reuse = true;
    fields.sid = student;
    EXPECT_EQ(Lookup(fields).status, 0);
    ASSERT_EQ(decision.Asked().size(), 2u);
    EXPECT_EQ(decision.Asked().back().userName, "NT AUTHORITY\\NETWORK SERVICE");
    // Each keeps their own verdict.
    fields.sid = teacher;
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_EQ(Lookup(fields).status, 1168);
    fields.sid = student;
    EXPECT_EQ(Lookup(fields).status, 0);
    EXPECT_EQ(decision.Asked().size(), 2u);
}

TEST_F(PolicyLookupTest, AResumedSessionTakesTheStoredVerdict) {
    std::string blockedUrl = "https://block.example/";
    // Lookups without a SID are judged for the user "".
    sessions.Add("blocked-session", "", &blockedUrl, "bad.test", true);
    sessions.Add("allowed-session", "", nullptr, "good.test", false);
    decision.Redirect("", "https://block.example/fresh");

    LookupFields fields;
    fields.host = "";
    fields.url = "";
    fields.reuse = true;
    fields.https = true;
    fields.tlsSessionId = "blocked-session";
    RECORDED_ANSWER answer = Lookup(fields);
    EXPECT_EQ(answer.status, 0);
    EXPECT_NE(answer.ResponseText().find("Location: https://block.example/\r\n"),
              std::string::npos);
    fields.tlsSessionId = "allowed-session";
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_TRUE(decision.Asked().empty());
    EXPECT_EQ(log.Count(",\n    ALLOWED,\n    UserName = \"\", ProcessId = 1234, SessionId = 1,\n"
                        "    URL = \"93.184.216.34\", \n    IpAddress = 93.184.216.34,\n    HTTPS "
                        "SessionId = 616C6C6F7765642D73657373696F6E-15, reuse"),
              1u);

    // Resumed under another name it is judged afresh; under its own name (any spelling), not.
    fields.host = "Good.Test.";
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_TRUE(decision.Asked().empty());
    fields.host = "bad.test";
    EXPECT_EQ(Lookup(fields).status, 0);
    EXPECT_EQ(decision.Asked().size(), 1u);
    fields.host = "";

    // An unknown session is looked up in full, and its verdict is remembered.
    fields.tlsSessionId = "new-session";
    EXPECT_EQ(Lookup(fields, 50).status, 0);
    EXPECT_EQ(decision.Asked().size(), 2u);
    EXPECT_TRUE(
        log.Has("SC_PolicyLookup:\n    FC#7, SC#50, Session not found,\n    HTTPS SessionId "
                "= 6E65772D73657373696F6E-11, reuse"));
    EXPECT_EQ(sessions.Count(), 3u);
}

TEST_F(PolicyLookupTest, AProxyRequestKeepsItsPathAndIsLabelled) {
    decision.Redirect("blocked.test/private", "https://block.example/");
    LookupFields fields;
    fields.host = "harmless.test";
    fields.proxyPrefix = "http://blocked.test";
    fields.url = "/private/page.html";
    EXPECT_EQ(Lookup(fields).status, 0);
    EXPECT_EQ(decision.Asked()[0].lookupUrl, "blocked.test/private/page.html");
    EXPECT_EQ(log.Count("Proxy URL = \"blocked.test/private/page.html\""), 2u);
}

// "GET http://a/x HTTP/1.1" with "Host: b" reaches a through a proxy and b on many servers: it
// is blocked when either is, with the redirect of the first block, and nothing more is asked.
TEST_F(PolicyLookupTest, AnAbsoluteFormRequestIsBlockedByItsTargetOrItsHostHeader) {
    decision.Redirect("blocked.test", "https://block.example/blocked");
    decision.Redirect("other-blocked.test", "https://block.example/other");
    const std::string ours = "api." + std::string(kServiceDomain);
    struct CASE {
        std::string prefix;
        std::string host;
        const char* location;  // null: allowed
        std::vector<std::string> asked;
    };
    const CASE cases[] = {
        {"http://allowed.test",
         "blocked.test",
         "https://block.example/blocked",
         {"allowed.test/x", "blocked.test/x"}},
        {"http://blocked.test",
         "allowed.test",
         "https://block.example/blocked",
         {"blocked.test/x"}},
        {"http://blocked.test",
         "other-blocked.test",
         "https://block.example/blocked",
         {"blocked.test/x"}},
        {"http://allowed.test",
         "Other-Blocked.TEST.:80",
         "https://block.example/other",
         {"allowed.test/x", "other-blocked.test/x"}},
        {"http://allowed.test", "harmless.test", nullptr, {"allowed.test/x", "harmless.test/x"}},
        {"http://Blocked.Test.:80",
         "blocked.test",
         "https://block.example/blocked",
         {"blocked.test/x"}},
        // Our own server as the target does not let the Host header's site pass, nor the reverse.
        {"http://" + ours, "blocked.test", "https://block.example/blocked", {"blocked.test/x"}},
        {"http://blocked.test", ours, "https://block.example/blocked", {"blocked.test/x"}},
        {"http://allowed.test", ours, nullptr, {"allowed.test/x"}},
    };
    for (const CASE& c : cases) {
        const size_t before = decision.Asked().size();
        LookupFields fields;
        fields.proxyPrefix = c.prefix;
        fields.host = c.host;
        fields.url = "/x";
        const RECORDED_ANSWER answer = Lookup(fields);
        const std::string what = c.prefix + " " + c.host;
        EXPECT_EQ(answer.status, c.location == nullptr ? 1168 : 0) << what;
        EXPECT_EQ(answer.ResponseText(), c.location == nullptr ? "" : RedirectResponse(c.location))
            << what;
        std::vector<std::string> asked;
        const auto all = decision.Asked();
        for (size_t i = before; i < all.size(); ++i) {
            asked.push_back(all[i].lookupUrl);
        }
        EXPECT_EQ(asked, c.asked) << what;
    }
    // The Host header's lookup is logged as the origin-form request a server reads.
    EXPECT_GE(log.Count("Completed in 0.000 seconds, BLOCKED,\n    UserName = \"\", ProcessId = "
                        "1234, SessionId = 1,\n    URL = \"blocked.test/x\""),
              1u);
}

// A server that takes a backslash for "/", or drops path parameters, serves each of these as a
// page under /blocked/: each is blocked, and each reading of a path was asked about.
TEST_F(PolicyLookupTest, APathAServerReadsAsABlockedPathIsBlocked) {
    decision.Redirect("www.example.test/blocked/", "https://block.example/");
    struct CASE {
        const char* path;
        bool blocked;
        std::vector<std::string> asked;
    };
    const CASE cases[] = {
        {"\\blocked\\", true, {"www.example.test/\\blocked\\", "www.example.test/blocked/"}},
        {"\\blocked\\page",
         true,
         {"www.example.test/\\blocked\\page", "www.example.test/blocked/page"}},
        {"/blocked;x=1/page",
         true,
         {"www.example.test/blocked;x=1/page", "www.example.test/blocked/page"}},
        {"/blocked%5Cpage",
         true,
         {"www.example.test/blocked%5Cpage", "www.example.test/blocked/page"}},
        {"/open/..;/blocked/",
         true,
         {"www.example.test/open/..;/blocked/", "www.example.test/blocked/"}},
        {"/blocked/page", true, {"www.example.test/blocked/page"}},
        {"/open;jsessionid=1",
         false,
         {"www.example.test/open;jsessionid=1", "www.example.test/open"}},
        {"/blocked%3Bx=1/page", false, {"www.example.test/blocked%3Bx=1/page"}},
        {"/open?to=\\blocked\\;x", false, {"www.example.test/open?to=\\blocked\\;x"}},
    };
    for (const CASE& c : cases) {
        const size_t before = decision.Asked().size();
        LookupFields fields;
        fields.url = c.path;
        EXPECT_EQ(Lookup(fields).status, c.blocked ? 0 : 1168) << c.path;
        std::vector<std::string> asked;
        const auto all = decision.Asked();
        for (size_t i = before; i < all.size(); ++i) {
            asked.push_back(all[i].lookupUrl);
        }
        EXPECT_EQ(asked, c.asked) << c.path;
    }
}

TEST_F(PolicyLookupTest, AnotherSpellingOfABlockedPageIsAskedAboutInTheOneForm) {
    decision.Redirect("games.test", "https://block.example/games");
    decision.Redirect("news.test/world/", "https://block.example/world");
    LookupFields fields;
    fields.host = "GAMES.Test.";
    fields.url = "/play";
    EXPECT_EQ(Lookup(fields).status, 0);
    fields.host = "News.TEST";
    fields.url = "//world/./x";
    EXPECT_EQ(Lookup(fields).status, 0);
    fields.url = "/%77orld/../sport/%2e%2e/world/y?q=/../";
    EXPECT_EQ(Lookup(fields).status, 0);
    const auto asked = decision.Asked();
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[0].lookupUrl, "games.test/play");
    EXPECT_EQ(asked[1].lookupUrl, "news.test/world/x");
    EXPECT_EQ(asked[2].lookupUrl, "news.test/world/y?q=/../");
    // The log lines carry the form that was judged.
    EXPECT_EQ(log.Count("URL = \"news.test/world/x\""), 2u);

    // A TLS name is remembered with its session in the same form.
    fields.host = "Secure.Test.";
    fields.url = "";
    fields.https = true;
    fields.tlsSessionId = "tls-session";
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_EQ(decision.Asked().back().lookupUrl, "secure.test");
    std::string redirect, host;
    bool blocked = true;
    ASSERT_TRUE(sessions.Get("tls-session", "", &redirect, &host, &blocked));
    EXPECT_FALSE(blocked);
    EXPECT_EQ(host, "secure.test");
}

TEST_F(PolicyLookupTest, ALookupWaitsForTheDeviceInformation) {
    DEVICE_INFORMATION pending;
    POLICY_LOOKUP_CONTEXT waiting{decision, sessions, pending, stop};
    auto block = LookupFields().Build();
    SERVICE_CALL call(recorder, MakeCallHandle(0, 60), 0);
    auto thread = os::Thread::Start([&] {
        DispatchPolicyLookup(waiting, call, block.data(), static_cast<uint32_t>(block.size()));
    });
    while (log.Count("Waiting for WMI query to complete ...") == 0) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(call.Completed());
    EXPECT_TRUE(decision.Asked().empty());
    pending.SetUniqueDeviceId("11111111-2222-3333-4444-555555555555");
    pending.SetReady();
    thread->Join();
    ASSERT_EQ(decision.Asked().size(), 1u);
    EXPECT_EQ(decision.Asked()[0].deviceId, "11111111-2222-3333-4444-555555555555");

    // At shutdown the lookup goes on without a device ID.
    DEVICE_INFORMATION never;
    POLICY_LOOKUP_CONTEXT stopping{decision, sessions, never, stop};
    stop.Set();
    SERVICE_CALL second(recorder, MakeCallHandle(0, 61), 0);
    DispatchPolicyLookup(stopping, second, block.data(), static_cast<uint32_t>(block.size()));
    EXPECT_TRUE(second.Completed());
    EXPECT_EQ(decision.Asked()[1].deviceId, "");
    EXPECT_TRUE(log.Has("waiting for WMI query: Shutting down signaled"));
}

TEST_F(PolicyLookupTest, AnOverlongSessionIdIsLoggedAndIgnored) {
    LookupFields fields;
    fields.https = true;
    fields.tlsSessionId = std::string(40, 's');
    EXPECT_EQ(Lookup(fields).status, 1168);
    EXPECT_EQ(sessions.Count(), 0u);
    EXPECT_TRUE(log.Has("SC_PolicyLookup: FC#7, SC#42, TLS session ID of 40 bytes ignored"));
}

}  // namespace
}  // namespace wexo::svc::testing
