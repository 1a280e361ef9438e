// The reference policy server: its pages in process (plain and TLS, with the answers a test sets
// and the peer's switches) and the program that serves them from the command line.
#include "tools/peers/policy_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "service/policy/redirect_query.h"
#include "service/support/xml_parser.h"
#include "tools/peers/child_process.h"
#include "tools/peers/policy_file.h"

namespace wexo::peers {
namespace {

using namespace std::chrono_literals;

httplib::Client MakeClient(const PolicyServer& server) {
    httplib::Client client("127.0.0.1", server.Port());
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    return client;
}

TEST(PolicyServerTest, AnswersThePingPageToHeadAndGet) {
    PolicyServer server;
    ASSERT_TRUE(server.Start());
    EXPECT_EQ(server.HostPort(), "127.0.0.1:" + std::to_string(server.Port()));
    auto client = MakeClient(server);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    auto get = client.Get("/ostrel_ping");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 200);
    EXPECT_EQ(server.Pages().PingCount(), 2u);
    EXPECT_EQ(server.Peer().RequestCount("HEAD", "/ostrel_ping"), 1u);
    // Pages the service never asks for are not served.
    auto other = client.Get("/access/desktop");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);
}

TEST(PolicyServerTest, PingAnswersCanPlayACaptivePortalOrAFailure) {
    PolicyServer server;
    ASSERT_TRUE(server.Start());
    auto client = MakeClient(server);
    server.Pages().SetPingAnswer(302, "http://portal.example/login");
    auto redirected = client.Head("/ostrel_ping");
    ASSERT_TRUE(redirected);
    EXPECT_EQ(redirected->status, 302);
    EXPECT_EQ(redirected->get_header_value("Location"), "http://portal.example/login");
    server.Pages().SetPingAnswer(503);
    auto failed = client.Head("/ostrel_ping");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->status, 503);
    EXPECT_FALSE(failed->has_header("Location"));
}

TEST(PolicyServerTest, ServesOverTlsAndHonoursThePeerSwitches) {
    PolicyServer server(HttpsPeer());
    ASSERT_TRUE(server.Start());
    EXPECT_TRUE(server.IsHttps());
    httplib::SSLClient client("127.0.0.1", server.Port());
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(2, 0);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(server.Peer().LastRequest().tls);

    ASSERT_TRUE(server.Peer().SetRefuse(true));
    EXPECT_FALSE(client.Head("/ostrel_ping"));
    ASSERT_TRUE(server.Peer().SetRefuse(false));
    EXPECT_TRUE(client.Head("/ostrel_ping"));
}

// ---- The policy file.

const char* const kSamplePolicy = WEXO_TEST_DATA_DIR "/../../tools/policy-server/sample-policy.ini";

std::string ReadText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(PolicyFileTest, TheSamplePolicyReads) {
    PolicyFile policy;
    std::string error;
    ASSERT_TRUE(ParsePolicyFile(ReadText(kSamplePolicy), &policy, &error)) << error;
    EXPECT_TRUE(policy.blockOnFailure);
    EXPECT_EQ(policy.cacheTimeout, 300);
    EXPECT_FALSE(policy.disableFiltering);
    EXPECT_EQ(policy.blockPage, "");
    ASSERT_EQ(policy.rules.size(), 4u);
    EXPECT_EQ(policy.rules[2].Text(), "block host games.example");
    ASSERT_EQ(policy.users.size(), 1u);
    EXPECT_EQ(policy.users[0].user, "DEMO\\teacher");
    ASSERT_EQ(policy.dnsRemaps.size(), 2u);
    EXPECT_EQ(policy.dnsRemaps[0].second, "safe.search.example");
}

TEST(PolicyFileTest, EverythingItDoesNotUnderstandIsRefusedWithItsLine) {
    struct CASE {
        const char* text;
        const char* error;
    };
    const CASE cases[] = {
        {"BlockOnFailure = true\n",
         "line 1: expected a section header such as [settings] or [rules]"},
        {"[settings]\n\n# note\nBlockOnFailure = yes\n", "line 4: \"yes\" is not true or false"},
        {"[settings]\nCacheTimeout = -1\n",
         "line 2: CacheTimeout must be a number of seconds from 0 to 2147483647"},
        {"[settings]\nCacheTimeout = 2147483648\n",
         "line 2: CacheTimeout must be a number of seconds from 0 to 2147483647"},
        {"[settings]\nBlockpage = /blocked\n",
         "line 2: BlockPage must be a whole http:// or https:// URL without blanks"},
        {"[settings]\nRedirect = http://x.test/\n", "line 2: unknown setting \"Redirect\""},
        {"[policy]\n", "line 1: unknown section [policy]"},
        {"[user ]\n", "line 1: a [user] section needs a user name"},
        {"[rules]\nblock games.test\n", "line 2: expected a rule: allow|block host|url <pattern>"},
        {"[rules]\ndeny host games.test\n",
         "line 2: a rule begins with allow or block, not \"deny\""},
        {"[rules]\nblock site games.test\n", "line 2: a rule is for a host or a url, not \"site\""},
        {"[rules]\nblock host games.test/play\n",
         "line 2: a host rule names a host, without a path"},
        {"[dns_remaps]\na.test = b.test,c.test\n",
         "line 2: expected host = remap host (no blanks or commas in either)"},
        {"[dns_remaps]\na.test\n",
         "line 2: expected host = remap host (no blanks or commas in either)"},
        {"[rules\n", "line 1: a section header ends with ]"},
    };
    for (const CASE& c : cases) {
        PolicyFile policy;
        policy.cacheTimeout = 77;
        std::string error;
        EXPECT_FALSE(ParsePolicyFile(c.text, &policy, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
        EXPECT_EQ(policy.cacheTimeout, 77) << "left as it was";
    }
}

TEST(PolicyFileTest, RulesDecideInOrderWithTheUsersOwnFirst) {
    PolicyFile policy;
    std::string error;
    ASSERT_TRUE(
        ParsePolicyFile("[rules]\n"
                        "allow url news.test/world/weather/   # an exception first\n"
                        "block url news.test/world/\n"
                        "block host *.Games.Test\n"
                        "block url search.test\n"
                        "[user DOM\\Teacher]\n"
                        "allow host games.test\n",
                        &policy, &error))
        << error;
    auto blocked = [&](std::string_view user, std::string_view url) {
        return EvaluatePolicy(policy, user, url).blocked;
    };
    EXPECT_TRUE(blocked("DOM\\pupil", "games.test/"));
    EXPECT_TRUE(blocked("DOM\\pupil", "WWW.GAMES.TEST:8080/x"));
    EXPECT_TRUE(blocked("DOM\\pupil", "https://games.test"));
    EXPECT_FALSE(blocked("DOM\\pupil", "xgames.test/"));
    EXPECT_FALSE(blocked("DOM\\pupil", "games.test.example/"));
    EXPECT_FALSE(blocked("dom\\TEACHER", "games.test/"));
    EXPECT_TRUE(blocked("DOM\\pupil", "news.test/world/europe"));
    EXPECT_FALSE(blocked("DOM\\pupil", "news.test/world/weather/oslo"));
    EXPECT_FALSE(blocked("DOM\\pupil", "news.test/worldcup"));
    // A URL rule without a path names a whole host only.
    EXPECT_TRUE(blocked("", "search.test"));
    EXPECT_TRUE(blocked("", "search.test/?q=1"));
    EXPECT_FALSE(blocked("", "search.test.attacker.test/"));
    const PolicyVerdict verdict = EvaluatePolicy(policy, "", "news.test/world/weather/");
    EXPECT_FALSE(verdict.blocked);
    EXPECT_EQ(verdict.rule, "allow url news.test/world/weather/");
    EXPECT_EQ(EvaluatePolicy(policy, "", "other.test/").rule, "");

    EXPECT_EQ(UrlHost("[2001:db8::1]:443/x"), "2001:db8::1");
    EXPECT_EQ(UrlHost("2001:db8:0:0:0:0:0:1/x"), "2001:db8:0:0:0:0:0:1");
    EXPECT_EQ(UrlHost("HTTP://Host.Test:80?x"), "host.test");
}

// A device normalises its lookups, but a policy server must not count on it: the rules hold for
// every spelling of their URLs.
TEST(PolicyFileTest, RulesMatchEverySpellingOfTheirUrl) {
    PolicyFile policy;
    std::string error;
    ASSERT_TRUE(
        ParsePolicyFile("[rules]\n"
                        "allow url News.Test./World/Weather/\n"
                        "block url news.test//world/./\n"
                        "block url admin.test:8080/panel/\n"
                        "block host Games.Test.\n",
                        &policy, &error))
        << error;
    EXPECT_EQ(policy.rules[0].Text(), "allow url news.test/World/Weather/");
    EXPECT_EQ(policy.rules[1].Text(), "block url news.test/world/");
    EXPECT_EQ(policy.rules[3].Text(), "block host games.test");
    struct CASE {
        const char* url;
        bool blocked;
    };
    const CASE cases[] = {
        {"News.TEST/world/", true},
        {"news.test//world/./x", true},
        {"news.test/%77orld/x", true},
        {"news.test/sport/../world/x", true},
        {"news.test/world%2Fx", true},
        {"HTTP://news.test.:80/world/x", true},
        // The Host header's port does not pick another site.
        {"news.test:8081/world/x", true},
        {"news.test/world/weather/today", false},
        {"news.test/world/weather/../../world/x", true},
        {"news.test/world/weather/../../sport/", false},
        {"news.test/worldcup", false},
        {"news.test/sport#/world/", false},
        // A pattern that names a port is compared with it.
        {"admin.test:8080/panel/x", true},
        {"admin.test:08080//panel/x", true},
        {"admin.test/panel/x", false},
        {"GAMES.TEST./", true},
        {"games.test.:8080/x", true},
        {"games.test", true},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(EvaluatePolicy(policy, "", c.url).blocked, c.blocked) << c.url;
    }
    EXPECT_EQ(NormalizeLookupUrl("HTTPS://News.TEST.:80//a/./b/../c?x=/../"),
              "news.test/a/c?x=/../");
    EXPECT_EQ(NormalizeLookupUrl("Secure.Test."), "secure.test");
    EXPECT_EQ(UrlHost("news.test#frag"), "news.test");
}

TEST(PolicyFileTest, AHostWithPathRulesIsNeverGivenACacheLifetime) {
    PolicyFile policy;
    std::string error;
    ASSERT_TRUE(
        ParsePolicyFile("[settings]\nCacheTimeout = 120\n"
                        "[rules]\n"
                        "block url news.test/world/\n"
                        "allow url whole.test/\n"
                        "block url bare.test\n"
                        "block host games.test\n"
                        "[user DOM\\teacher]\n"
                        "allow url school.test/homework/\n",
                        &policy, &error))
        << error;
    struct CASE {
        const char* url;
        int32_t cacheTimeout;
    };
    const CASE cases[] = {
        // Any URL of the host, the TLS lookup of its bare name included.
        {"news.test/sport", 0},
        {"news.test", 0},
        {"News.Test.:8080/x", 0},
        // The rules of one user count for every user: the cache of a device is shared.
        {"school.test/", 0},
        // Rules for whole hosts, and other hosts.
        {"www.news.test/world/", 120},
        {"whole.test/x", 120},
        {"bare.test/x", 120},
        {"games.test/", 120},
        {"other.test", 120},
    };
    for (const CASE& c : cases) {
        EXPECT_EQ(CacheTimeoutFor(policy, c.url), c.cacheTimeout) << c.url;
        EXPECT_EQ(HasPathRules(policy, c.url), c.cacheTimeout == 0) << c.url;
    }
}

// ---- The policy pages.

class PolicyPagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.Start());
        std::string error;
        ASSERT_TRUE(
            server_.Pages().SetPolicyText("[settings]\n"
                                          "BlockOnFailure = true\n"
                                          "CacheTimeout = 120\n"
                                          "[rules]\n"
                                          "block host games.test\n"
                                          "block url news.test/a&b/\n",
                                          &error))
            << error;
    }
    httplib::Result Mobile(const std::string& url, const std::string& user = "DOM\\pupil") {
        auto client = MakeClient(server_);
        return client.Get("/access/mobile?id=ID&user=" + EncodeQueryValue(user) +
                          "&url=" + EncodeQueryValue(url));
    }

    PolicyServer server_;
};

TEST_F(PolicyPagesTest, TheReplyIsOneTheServiceReads) {
    auto blocked = Mobile("games.test/play?x=1&y=2");
    ASSERT_TRUE(blocked);
    EXPECT_EQ(blocked->status, 200);
    svc::POLICY_REPLY reply;
    ASSERT_TRUE(svc::ParsePolicyReply(blocked->body, &reply)) << blocked->body;
    EXPECT_TRUE(reply.blockOnFailure);
    EXPECT_EQ(reply.cacheTimeout, 120);
    EXPECT_EQ(reply.redirectUrl, "http://" + server_.HostPort() +
                                     "/blocked.html?url=games.test%2Fplay%3Fx%3D1%26y%3D2&rule="
                                     "block%20host%20games.test");

    auto allowed = Mobile("news.test/b");
    ASSERT_TRUE(allowed);
    ASSERT_TRUE(svc::ParsePolicyReply(allowed->body, &reply));
    EXPECT_EQ(reply.redirectUrl, "");
    EXPECT_EQ(allowed->body.find("RedirectURL"), std::string::npos);
    // A rule with markup characters is written escaped and read back whole.
    auto escaped = Mobile("news.test/a&b/c");
    ASSERT_TRUE(escaped);
    ASSERT_TRUE(svc::ParsePolicyReply(escaped->body, &reply));
    EXPECT_NE(reply.redirectUrl.find("rule=block%20url%20news.test%2Fa%26b%2F"), std::string::npos);
    EXPECT_EQ(server_.Pages().MobileCount(), 3u);

    auto client = MakeClient(server_);
    auto missing = client.Get("/access/mobile?id=ID&user=u");
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->status, 400);
}

TEST_F(PolicyPagesTest, AHostWithPathRulesIsAnsweredWithoutACacheLifetime) {
    svc::POLICY_REPLY reply;
    auto allowed = Mobile("news.test/b");
    ASSERT_TRUE(allowed);
    ASSERT_TRUE(svc::ParsePolicyReply(allowed->body, &reply));
    EXPECT_EQ(reply.redirectUrl, "");
    EXPECT_EQ(reply.cacheTimeout, 0);
    EXPECT_NE(allowed->body.find("<CacheTimeout>0</CacheTimeout>"), std::string::npos);
    // Another spelling meets the path rule, and is not cached either.
    auto blocked = Mobile("News.TEST.//a&b/./c");
    ASSERT_TRUE(blocked);
    ASSERT_TRUE(svc::ParsePolicyReply(blocked->body, &reply));
    EXPECT_NE(reply.redirectUrl.find("rule=block%20url%20news.test%2Fa%26b%2F"), std::string::npos);
    EXPECT_EQ(reply.cacheTimeout, 0);
    auto other = Mobile("other.test/");
    ASSERT_TRUE(other);
    ASSERT_TRUE(svc::ParsePolicyReply(other->body, &reply));
    EXPECT_EQ(reply.cacheTimeout, 120);
}

TEST_F(PolicyPagesTest, ATestCanPlayACaptivePortal) {
    server_.Pages().SetMobileAnswer(302, "", "text/html", "http://portal.test/login");
    auto portal = Mobile("games.test/");
    ASSERT_TRUE(portal);
    EXPECT_EQ(portal->status, 302);
    EXPECT_EQ(portal->get_header_value("Location"), "http://portal.test/login");
    server_.Pages().ClearMobileAnswer();
    auto policy = Mobile("games.test/");
    ASSERT_TRUE(policy);
    EXPECT_EQ(policy->status, 200);
}

TEST_F(PolicyPagesTest, TheDnsRemapListOr404) {
    auto client = MakeClient(server_);
    auto none = client.Get("/api/mobile/v1/dns_remaps?host_id=ID");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    std::string error;
    ASSERT_TRUE(server_.Pages().SetPolicyText(
        "[dns_remaps]\nWWW.Search.test = safe.search.test\nvideo.test=restricted.video.test\n",
        &error));
    auto list = client.Get("/api/mobile/v1/dns_remaps?host_id=ID");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->status, 200);
    svc::XML_PARSER xml;
    ASSERT_TRUE(xml.Parse(list->body));
    ASSERT_TRUE(xml.FindRoot("DNSRemap"));
    ASSERT_EQ(xml.ChildCount(), 2u);
    EXPECT_EQ(xml.ChildName(0), "host");
    EXPECT_EQ(xml.ChildText(0), "www.search.test,safe.search.test");
    EXPECT_EQ(xml.ChildText(1), "video.test,restricted.video.test");
    EXPECT_EQ(server_.Pages().DnsRemapCount(), 2u);
}

TEST_F(PolicyPagesTest, TheBlockPagesAreServedWithTheirTextEscaped) {
    auto client = MakeClient(server_);
    auto page = client.Get("/blocked.html?url=%3Cscript%3Ex.test&rule=block%20host%20x.test");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("&lt;script&gt;x.test"), std::string::npos);
    EXPECT_EQ(page->body.find("<script>"), std::string::npos);
    EXPECT_NE(page->body.find("block host x.test"), std::string::npos);
    auto failure = client.Get("/BlockOnFailure.html");
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->status, 200);
    EXPECT_NE(failure->body.find("could not be checked"), std::string::npos);
    // An absolute block page of the policy replaces the server's own.
    std::string error;
    ASSERT_TRUE(server_.Pages().SetPolicyText(
        "[settings]\nBlockPage = https://block.test/why?src=wexo\n[rules]\nblock host x.test\n",
        &error));
    EXPECT_EQ(server_.Pages().BlockRedirectUrl("x.test/", "block host x.test"),
              "https://block.test/why?src=wexo&url=x.test%2F&rule=block%20host%20x.test");
}

TEST_F(PolicyPagesTest, AnEditedFileIsReadAgainAndABrokenEditIsNotTaken) {
    const std::string path = ::testing::TempDir() + "policy_pages_test.ini";
    {
        std::ofstream file(path, std::ios::trunc);
        file << "[rules]\nblock host games.test\n";
    }
    std::string error;
    ASSERT_TRUE(server_.Pages().LoadPolicyFile(path, &error)) << error;
    std::vector<std::string> activity;
    std::mutex activityLock;
    server_.Pages().SetActivityLog([&](const std::string& line) {
        std::lock_guard guard(activityLock);
        activity.push_back(line);
    });
    ASSERT_TRUE(Mobile("games.test/"));
    {
        std::ofstream file(path, std::ios::trunc);
        file << "[rules]\nallow host games.test\nblock host news.test\n";
    }
    auto allowed = Mobile("games.test/");
    ASSERT_TRUE(allowed);
    EXPECT_EQ(allowed->body.find("RedirectURL"), std::string::npos);
    {
        std::ofstream file(path, std::ios::trunc);
        file << "[rules]\nblock everything\n";
    }
    auto kept = Mobile("news.test/");
    ASSERT_TRUE(kept);
    EXPECT_NE(kept->body.find("RedirectURL"), std::string::npos);
    // A file that goes away leaves the policy as it was, too.
    std::filesystem::remove(path);
    ASSERT_TRUE(Mobile("news.test/"));
    ASSERT_TRUE(Mobile("news.test/"));
    {
        std::lock_guard guard(activityLock);
        EXPECT_EQ(activity,
                  (std::vector<std::string>{
                      "access/mobile user=\"DOM\\pupil\" url=\"games.test/\": blocked by \"block "
                      "host games.test\"",
                      "policy reloaded from " + path,
                      "access/mobile user=\"DOM\\pupil\" url=\"games.test/\": allowed by \"allow "
                      "host games.test\"",
                      "policy file not reloaded, the previous policy stays: line 2: expected a "
                      "rule: allow|block host|url <pattern>",
                      "access/mobile user=\"DOM\\pupil\" url=\"news.test/\": blocked by \"block "
                      "host news.test\"",
                      "policy file not reloaded, the previous policy stays: cannot open " + path,
                      "access/mobile user=\"DOM\\pupil\" url=\"news.test/\": blocked by \"block "
                      "host news.test\"",
                      "access/mobile user=\"DOM\\pupil\" url=\"news.test/\": blocked by \"block "
                      "host news.test\""}));
    }
    EXPECT_FALSE(server_.Pages().LoadPolicyFile(path + ".missing", &error));
    EXPECT_EQ(error, "cannot open " + path + ".missing");
}

// ---- The program.

class PolicyServerProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kProgram)) {
            GTEST_SKIP() << "build the policy-server target first: " << kProgram;
        }
    }

    static std::unique_ptr<CHILD_PROCESS> Run(const std::vector<std::string>& arguments) {
        return CHILD_PROCESS::Start(kProgram, arguments, {});
    }

    // The port its first line says it listens on over plain HTTP; 0 when it says something else.
    static int ListeningPort(CHILD_PROCESS& child) {
        const std::string prefix = "Policy server listening on http://127.0.0.1:";
        const std::string line = child.ReadLine(2s);
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        return line.rfind(prefix, 0) == 0 ? std::atoi(line.c_str() + prefix.size()) : 0;
    }

    static constexpr char kProgram[] = WEXO_BINARY_DIR "/tools/policy-server";
};

TEST_F(PolicyServerProgramTest, ServesThePingPageUntilTerminated) {
    auto child = Run({"--port", "0"});
    ASSERT_TRUE(child);
    const int port = ListeningPort(*child);
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    ASSERT_TRUE(child->Signal(SIGTERM));
    EXPECT_EQ(child->Wait(5s), 0) << child->Output();
}

TEST_F(PolicyServerProgramTest, ListensOnTheGivenPortOverTls) {
    // A port that is free now: the system's choice for a socket that is closed again.
    int port = 0;
    {
        const int probe = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(probe, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port = ntohs(address.sin_port);
        close(probe);
    }
    auto child = Run({"--https", "--port", std::to_string(port)});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->ReadLine(2s),
              "Policy server listening on https://127.0.0.1:" + std::to_string(port));
    httplib::SSLClient client("127.0.0.1", port);
    client.enable_server_certificate_verification(false);
    client.set_connection_timeout(2, 0);
    auto head = client.Head("/ostrel_ping");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    ASSERT_TRUE(child->Signal(SIGINT));
    EXPECT_EQ(child->Wait(5s), 0) << child->Output();
}

TEST_F(PolicyServerProgramTest, AnswersFromThePolicyFileAndSaysWhatItDecided) {
    auto child = Run({"--policy", kSamplePolicy});
    ASSERT_TRUE(child);
    const int port = ListeningPort(*child);
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    auto reply = client.Get("/access/mobile?id=ID&user=DEMO%5Cpupil&url=games.example/play");
    ASSERT_TRUE(reply);
    svc::POLICY_REPLY policy;
    ASSERT_TRUE(svc::ParsePolicyReply(reply->body, &policy));
    EXPECT_EQ(policy.redirectUrl, "http://127.0.0.1:" + std::to_string(port) +
                                      "/blocked.html?url=games.example%2Fplay&rule=block%20host%"
                                      "20games.example");
    EXPECT_EQ(child->ReadLine(2s),
              "access/mobile user=\"DEMO\\pupil\" url=\"games.example/play\": blocked by \"block "
              "host games.example\"");
    ASSERT_TRUE(child->Signal(SIGTERM));
    EXPECT_EQ(child->Wait(5s), 0) << child->Output();
}

TEST_F(PolicyServerProgramTest, RefusesAPolicyFileItCannotRead) {
    const std::string path = ::testing::TempDir() + "policy_server_program_bad.ini";
    {
        std::ofstream file(path, std::ios::trunc);
        file << "[settings]\nCacheTimeout = soon\n";
    }
    auto child = Run({"--policy", path});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->ReadLine(2s), "policy-server: " + path +
                                       ": line 2: CacheTimeout must be a number of seconds from 0 "
                                       "to 2147483647");
    EXPECT_EQ(child->Wait(5s), 2) << child->Output();
    std::filesystem::remove(path);
}

TEST_F(PolicyServerProgramTest, RefusesBadArguments) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {"--port", "http"}, {"--port", "70000"}, {"--verbose"}, {"--port"}, {"--policy"}}) {
        auto child = Run(arguments);
        ASSERT_TRUE(child);
        EXPECT_EQ(child->Wait(5s), 2) << arguments[0] << "\n" << child->Output();
    }
    // What is wrong comes first, then how it is used.
    auto child = Run({"--verbose"});
    ASSERT_TRUE(child);
    EXPECT_EQ(child->ReadLine(2s), "policy-server: invalid argument \"--verbose\"");
    EXPECT_EQ(child->ReadLine(2s),
              "usage: policy-server [--port N] [--https] [--policy FILE] [--quiet]");
    EXPECT_EQ(child->Wait(5s), 2) << child->Output();
}

}  // namespace
}  // namespace wexo::peers
