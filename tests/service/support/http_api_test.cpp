// The service's HTTP clients against local peers: URLs and query strings as sent, the product's
// headers, the log lines, the success rule, redirects, JSON detection, TLS server authentication,
// the TLS version range, time-outs and failures.
#include "service/support/http_api.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "tests/service/support/http_test_support.h"
#include "tools/peers/http_peer.h"

namespace wexo::svc {
namespace {

using peers::HttpPeer;
using peers::HttpsPeer;
using peers::PeerRequest;
using testing_http::LogCapture;
using testing_http::NoProxyEnvironment;

class HttpApiTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            for (const std::string& line : log_.Lines()) {
                std::printf("log: %s\n", line.c_str());
            }
        }
    }

    NoProxyEnvironment environment_;
    LogCapture log_;
};

// ---- URLs, query strings and bodies.

TEST_F(HttpApiTest, GetBuildsTheUrlFromServerPageAndEncodedPairs) {
    HttpPeer peer(HttpsPeer());
    peer.Reply("GET", "/p", 200, "ok");
    ASSERT_TRUE(peer.Start());
    HTTPS_API client;
    const std::string server = peer.HostPort();
    ASSERT_TRUE(client.Get(server, "p", {{"a", "x y"}, {"b", nullptr}, {"c", "1/2"}}));

    const std::string url = "HTTPS://" + server + "/p?a=x%20y&c=1/2";
    EXPECT_EQ(client.GetRequestUrl(), url);
    EXPECT_EQ(client.GetStatus(), 200);
    const PeerRequest request = peer.LastRequest();
    EXPECT_TRUE(request.tls);
    EXPECT_EQ(request.target, "/p?a=x%20y&c=1/2");
    const std::vector<std::string> lines = log_.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "\"a\" = \"x y\"");
    EXPECT_EQ(lines[1], "\"c\" = \"1/2\"");
    EXPECT_EQ(lines[2], "HTTPS GET URL = \"" + url + "\"");
    EXPECT_TRUE(log_.Has("HTTPS: Status = 200"));
    EXPECT_EQ(log_.FlagsOf("HTTPS GET URL"), LINE_HTTP);
}

TEST_F(HttpApiTest, UrlOfAServerNamedByHostAloneThroughAProxy) {
    // The proxy takes the connection, so the host name "s" is never looked up.
    HttpPeer proxy;
    ASSERT_TRUE(proxy.Start());
    setenv("https_proxy", proxy.BaseUrl().c_str(), 1);
    HTTPS_API client;
    const bool answered = client.Get("s", "p", {{"a", "x y"}, {"b", nullptr}, {"c", "1/2"}});
    unsetenv("https_proxy");
    EXPECT_EQ(client.GetRequestUrl(),
              "HTTPS://"
              "s/p?a=x%20y&c=1/2");
    EXPECT_FALSE(answered) << "the proxy refused the tunnel";
    EXPECT_NE(log_.Find("HTTPS GET failed,\n    URL = \"HTTPS://s/p?a=x%20y&c=1/2\".\n"), "");
}

TEST_F(HttpApiTest, NullPageRequestsTheServerAloneAndAnEmptyPageALoneSlash) {
    HttpPeer peer;
    peer.Reply("GET", "/", 200, "root");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    ASSERT_TRUE(client.Get(peer.HostPort(), nullptr));
    EXPECT_EQ(client.GetRequestUrl(), "HTTP://" + peer.HostPort());
    EXPECT_EQ(peer.LastRequest().target, "/");
    EXPECT_EQ(client.GetReplyData(), "root");

    ASSERT_TRUE(client.Get(peer.HostPort(), ""));
    EXPECT_EQ(client.GetRequestUrl(), "HTTP://" + peer.HostPort() + "/");

    const HTTPX_NAME_VALUE pairs[] = {{"q", "1"}};
    ASSERT_TRUE(client.Get(peer.HostPort(), nullptr, HTTPX_PAIRS(pairs)));
    EXPECT_EQ(client.GetRequestUrl(), "HTTP://" + peer.HostPort() + "?q=1");
    EXPECT_EQ(peer.LastRequest().query, "q=1");
}

TEST_F(HttpApiTest, PostFormSendsTheEncodedPairsAsAFormBodyWithoutQuery) {
    HttpPeer peer;
    peer.Reply("POST", "/form", 200, "taken");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    ASSERT_TRUE(client.PostForm(peer.HostPort(), "form", {{"a", "1"}, {"b", "2"}}));

    const std::string url = "HTTP://" + peer.HostPort() + "/form";
    EXPECT_EQ(client.GetRequestUrl(), url);
    const PeerRequest request = peer.LastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/form");
    EXPECT_EQ(request.body, "a=1&b=2");
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_TRUE(log_.Has("HTTP POST URL = \"" + url + "\""));
    EXPECT_TRUE(log_.Has("\"a\" = \"1\""));
    EXPECT_EQ(client.GetReplyData(), "taken");
}

TEST_F(HttpApiTest, HttpsPostFormAndPostHaveTheirOwnLines) {
    HttpPeer peer(HttpsPeer());
    peer.Reply("POST", "/in", 200, "");
    ASSERT_TRUE(peer.Start());
    HTTPS_API client;
    ASSERT_TRUE(client.PostForm(peer.HostPort(), "in", {{"a", "x&y"}}))
        << client.GetLastErrorText();
    EXPECT_EQ(peer.LastRequest().body, "a=x%26y");
    EXPECT_TRUE(log_.Has("HTTPS POST form URL = \"HTTPS://" + peer.HostPort() + "/in\""));

    const char body[] = {'b', '\0', 'y'};
    ASSERT_TRUE(client.Post(peer.HostPort(), "in", body, sizeof(body), {{"k", "v w"}}));
    const PeerRequest request = peer.LastRequest();
    EXPECT_EQ(request.target, "/in?k=v%20w");
    EXPECT_EQ(request.body, std::string(body, sizeof(body)));
    EXPECT_TRUE(log_.Has("HTTPS POST URL = \"HTTPS://" + peer.HostPort() + "/in?k=v%20w\""));
}

TEST_F(HttpApiTest, PostWithoutContentTypeDeclaresNone) {
    HttpPeer peer;
    peer.Reply("POST", "/raw", 200, "");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    ASSERT_TRUE(client.Post(peer.HostPort(), "raw", "abc", 3));
    const PeerRequest request = peer.LastRequest();
    EXPECT_EQ(request.body, "abc");
    EXPECT_FALSE(request.HasHeader("Content-Type"));
    EXPECT_TRUE(log_.Has("HTTP POST URL = \"HTTP://" + peer.HostPort() + "/raw\""));
}

TEST_F(HttpApiTest, HeadSendsHeadAndLogsIt) {
    HttpPeer peer;
    peer.Reply("GET", "/ostrel_ping", 200, "pong");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    ASSERT_TRUE(client.Head(peer.HostPort(), "ostrel_ping"));
    EXPECT_EQ(peer.LastRequest().method, "HEAD");
    EXPECT_EQ(client.GetStatus(), 200);
    EXPECT_TRUE(client.GetReplyData().empty());
    EXPECT_TRUE(log_.Has("HTTP HEAD URL = \"HTTP://" + peer.HostPort() + "/ostrel_ping\""));
}

TEST_F(HttpApiTest, GetAbsoluteOfEachScheme) {
    HttpPeer plain;
    plain.Reply("GET", "/x", 200, "plain");
    ASSERT_TRUE(plain.Start());
    HTTP_API http;
    ASSERT_TRUE(http.GetAbsolute(plain.HostPort() + "/x?y=1"));
    EXPECT_EQ(http.GetRequestUrl(), "HTTP://" + plain.HostPort() + "/x?y=1");
    EXPECT_EQ(plain.LastRequest().target, "/x?y=1");
    EXPECT_TRUE(log_.Has("HTTP GET URL = \"HTTP://" + plain.HostPort() + "/x?y=1\""));

    HttpPeer secure(HttpsPeer());
    secure.Reply("GET", "/z", 200, "secure");
    ASSERT_TRUE(secure.Start());
    HTTPS_API https;
    const std::string url = secure.BaseUrl() + "/z";
    ASSERT_TRUE(https.GetAbsolute(url));
    EXPECT_EQ(https.GetRequestUrl(), "") << "the URL given whole is not stored";
    EXPECT_EQ(https.GetReplyData(), "secure");
    EXPECT_TRUE(log_.Has("HTTPS GET URL = \"" + url + "\""));
}

TEST_F(HttpApiTest, OnlyHttpAndHttpsUrlsAreFetched) {
    HTTPS_API client;
    EXPECT_FALSE(client.GetAbsolute("file:///etc/hostname"));
    EXPECT_EQ(client.GetLastErrorCode(), CURLE_UNSUPPORTED_PROTOCOL);
    EXPECT_TRUE(client.GetReplyData().empty());
}

// ---- Headers sent and reply headers read.

TEST_F(HttpApiTest, SendsTheProductHeadersAsGiven) {
    HttpPeer peer;
    peer.Reply("GET", "/h", 200, "");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    ASSERT_TRUE(client.Get(peer.HostPort(), "h"));
    PeerRequest request = peer.LastRequest();
    EXPECT_EQ(request.Header("User-Agent"), "WEXO_CLIENT");
    EXPECT_EQ(request.headers.count("User-Agent"), 1u);
    EXPECT_EQ(request.Header("Accept"), "text/*");
    EXPECT_EQ(request.headers.count("Accept"), 1u);
    EXPECT_NE(request.Header("Accept-Encoding").find("gzip"), std::string::npos);
    EXPECT_FALSE(request.HasHeader("Authorization"));
    EXPECT_FALSE(request.HasHeader("Expect"));

    EXPECT_EQ(client.SetAuthorizationToken("t0k3n"), 0);
    EXPECT_TRUE(log_.Has("HTTP authorization token = \"t0k3n\""));
    ASSERT_TRUE(client.Get(peer.HostPort(), "h"));
    EXPECT_EQ(peer.LastRequest().Header("Authorization"), "Token token=\"t0k3n\"");

    // A token that would end the header line is refused and the old one stays.
    EXPECT_EQ(client.SetAuthorizationToken("x\r\nX-Injected: 1"), CURLE_BAD_FUNCTION_ARGUMENT);
    ASSERT_TRUE(client.Get(peer.HostPort(), "h"));
    request = peer.LastRequest();
    EXPECT_FALSE(request.HasHeader("X-Injected"));
    EXPECT_EQ(request.Header("Authorization"), "Token token=\"t0k3n\"");
}

TEST_F(HttpApiTest, LogsEveryReplyHeaderAndDetectsJsonContent) {
    HttpPeer peer(HttpsPeer());
    peer.Reply("GET", "/json", 200, "{}", "Application/JSON ;charset=utf-8", {{"X-One", "1"}});
    peer.Reply("GET", "/html", 200, "<p/>", "text/html");
    ASSERT_TRUE(peer.Start());

    HTTPS_API html;
    ASSERT_TRUE(html.Get(peer.HostPort(), "html"));
    EXPECT_FALSE(html.IsJsonContent());
    EXPECT_TRUE(log_.Has("HTTPS: Header \"Content-Type\" = \"text/html\""));

    HTTPS_API json;
    ASSERT_TRUE(json.Get(peer.HostPort(), "json"));
    EXPECT_TRUE(json.IsJsonContent());
    EXPECT_TRUE(log_.Has("HTTPS: Header \"Content-Type\" = \"Application/JSON ;charset=utf-8\""));
    EXPECT_TRUE(log_.Has("HTTPS: Header \"X-One\" = \"1\""));
    EXPECT_TRUE(log_.Has("HTTPS: Header \"Content-Length\" = \"2\""));
    std::string text;
    EXPECT_STREQ(json.GetReplyText(text), "{}");
    EXPECT_EQ(text, "{}");

    ASSERT_TRUE(json.Get(peer.HostPort(), "html"));
    EXPECT_TRUE(json.IsJsonContent()) << "never reset by the object";
}

TEST_F(HttpApiTest, GzipRepliesAreDecoded) {
    HttpPeer peer;
    const std::string body(4000, 'w');
    peer.Reply("GET", "/z", 200, body);
    peer.SetGzip(true);
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    ASSERT_TRUE(client.Get(peer.HostPort(), "z"));
    EXPECT_EQ(client.GetReplyData(), body);
    EXPECT_TRUE(log_.Has("HTTP: Header \"Content-Encoding\" = \"gzip\""));
    const std::string length = log_.Find("HTTP: Header \"Content-Length\"");
    EXPECT_NE(length, "HTTP: Header \"Content-Length\" = \"4000\"") << "sent compressed";
}

// ---- The success rule, redirects and the status.

TEST_F(HttpApiTest, RedirectIsAnsweredNotFollowed) {
    HttpPeer peer;
    peer.Redirect("GET", "/old", 302, "/new");
    peer.Reply("GET", "/new", 200, "moved here");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    const std::string url = "HTTP://" + peer.HostPort() + "/old";
    EXPECT_TRUE(client.Get(peer.HostPort(), "old"));
    EXPECT_EQ(client.GetStatus(), 302);
    EXPECT_EQ(client.GetRedirectLocation(), "/new");
    EXPECT_EQ(peer.RequestCount("GET", "/new"), 0u);
    EXPECT_TRUE(log_.Has("HTTP Redirect location = \"/new\""));
    EXPECT_TRUE(log_.Has("HTTP: Status = 302"));
    // The failure line is written even though the request counts as answered.
    EXPECT_TRUE(log_.Has("HTTP GET failed,\n    URL = \"" + url +
                         "\".\n    HTTP response code said error (151)."));
    EXPECT_EQ(log_.FlagsOf("HTTP GET failed"), 0u);
    EXPECT_EQ(client.GetLastErrorCode(), HTTP_ENGINE_STATUS_ERROR);
}

TEST_F(HttpApiTest, ErrorStatusCountsAsAnsweredAndStatusSurvivesAFailure) {
    HttpPeer peer;
    peer.Reply("GET", "/gone", 404, "no such device");
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    EXPECT_TRUE(client.Get(peer.HostPort(), "gone"));
    EXPECT_EQ(client.GetStatus(), 404);
    EXPECT_EQ(client.GetReplyData(), "no such device") << "the body of an error reply is kept";

    const std::string server = peer.HostPort();
    peer.Stop();
    EXPECT_FALSE(client.Get(server, "gone"));
    EXPECT_EQ(client.GetStatus(), 404) << "not reset by a failed request";
}

// ---- Failures.

TEST_F(HttpApiTest, RefusedConnectionFailsWithTheEngineTextAndCode) {
    HttpPeer peer;
    ASSERT_TRUE(peer.Start());
    const std::string server = peer.HostPort();
    ASSERT_TRUE(peer.SetRefuse(true));
    HTTP_API client;
    EXPECT_FALSE(client.Get(server, "x"));
    EXPECT_EQ(client.GetStatus(), 0);
    EXPECT_EQ(client.GetLastErrorCode(), CURLE_COULDNT_CONNECT);
    const std::string error = client.GetLastErrorText();
    EXPECT_NE(error.find("Couldn't connect to server"), std::string::npos) << error;
    EXPECT_TRUE(log_.Has("HTTP GET failed,\n    URL = \"HTTP://" + server + "/x\".\n    " + error +
                         " (7)."));
}

TEST_F(HttpApiTest, ResetConnectionFails) {
    HttpPeer peer(HttpsPeer());
    peer.SetReset(true);
    ASSERT_TRUE(peer.Start());
    HTTPS_API client;
    EXPECT_FALSE(client.Head(peer.HostPort(), "ostrel_ping"));
    EXPECT_EQ(peer.RequestCount(), 1u);
    EXPECT_NE(log_.Find("HTTPS HEAD failed,\n    URL = \"HTTPS://" + peer.HostPort() +
                        "/ostrel_ping\".\n    "),
              "");
    EXPECT_NE(client.GetLastErrorCode(), 0);
}

TEST_F(HttpApiTest, AbsoluteTimeoutEndsAHangingRequestInTime) {
    HttpPeer peer;
    peer.SetHang(true);
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    EXPECT_EQ(client.Config("AbsoluteTimeout=true"), "");
    EXPECT_EQ(client.SetTimeout(1), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.Get(peer.HostPort(), "access/mobile", {{"id", "1"}}));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(900));
    EXPECT_LT(took, std::chrono::milliseconds(2500));
    EXPECT_EQ(client.GetLastErrorCode(), CURLE_OPERATION_TIMEDOUT);
    EXPECT_EQ(peer.RequestCount(), 1u);
}

TEST_F(HttpApiTest, SlowAnswerWithinTheIdleTimeoutSucceeds) {
    HttpPeer peer;
    peer.Reply("GET", "/slow", 200, "late");
    peer.SetDelay(std::chrono::milliseconds(100));
    ASSERT_TRUE(peer.Start());
    HTTP_API client;
    EXPECT_EQ(client.Config("AbsoluteTimeout"), "false");
    client.SetTimeout(1);
    ASSERT_TRUE(client.Get(peer.HostPort(), "slow"));
    EXPECT_EQ(client.GetReplyData(), "late");
}

// ---- TLS server authentication and versions.

TEST_F(HttpApiTest, SelfSignedAndExpiredCertificatesAreForceAccepted) {
    HttpPeer selfSigned(HttpsPeer());
    selfSigned.Reply("GET", "/a", 200, "reached");
    ASSERT_TRUE(selfSigned.Start());
    HTTPS_API client;
    ASSERT_TRUE(client.Get(selfSigned.HostPort(), "a"));
    EXPECT_EQ(client.GetReplyData(), "reached");
    EXPECT_EQ(log_.Count("HTTPS: SSL Server Authentication: force accept"), 1u);
    EXPECT_FALSE(log_.Has("HTTPS: SSL Server Authentication: normal accept"));
    EXPECT_EQ(log_.FlagsOf("HTTPS: SSL Server Authentication"), LINE_HTTP);

    peers::CertificateOptions expired;
    expired.expired = true;
    HttpPeer old(HttpsPeer(peers::MakeSelfSignedIdentity(expired)));
    old.Reply("GET", "/a", 200, "still reached");
    ASSERT_TRUE(old.Start());
    HTTPS_API second;
    ASSERT_TRUE(second.Get(old.HostPort(), "a"));
    EXPECT_EQ(second.GetReplyData(), "still reached");
    EXPECT_EQ(log_.Count("HTTPS: SSL Server Authentication: force accept"), 2u);
}

class HttpsTrustTest : public HttpApiTest {
  protected:
    void SetUp() override {
        caFile_ = ::testing::TempDir() + "http_api_test_root_" + std::to_string(getpid()) + ".pem";
        ASSERT_TRUE(authority_.WriteCertificateFile(caFile_));
    }
    void TearDown() override {
        std::remove(caFile_.c_str());
        HttpApiTest::TearDown();
    }

    peers::TestCertificateAuthority authority_;
    std::string caFile_;
};

TEST_F(HttpsTrustTest, CertificateThatVerifiesIsNormallyAccepted) {
    HttpPeer peer(HttpsPeer(authority_.Issue()));
    peer.Reply("GET", "/a", 200, "trusted");
    ASSERT_TRUE(peer.Start());
    HTTPS_API client;
    EXPECT_EQ(client.Config("SSLCACertFile=" + caFile_), "");
    EXPECT_EQ(client.Config("SSLCACertFile"), caFile_);
    ASSERT_TRUE(client.Get(peer.HostPort(), "a"));
    EXPECT_EQ(client.GetReplyData(), "trusted");
    EXPECT_EQ(log_.Count("HTTPS: SSL Server Authentication: normal accept"), 1u);
    EXPECT_FALSE(log_.Has("HTTPS: SSL Server Authentication: force accept"));

    // The same client without the trusted root takes the server all the same.
    log_.Clear();
    EXPECT_EQ(client.Config("SSLCACertFile="), "");
    HTTPS_API fresh;
    ASSERT_TRUE(fresh.Get(peer.HostPort(), "a"));
    EXPECT_TRUE(log_.Has("HTTPS: SSL Server Authentication: force accept"));
}

TEST_F(HttpsTrustTest, TrustedCertificateForAnotherNameIsForceAccepted) {
    peers::CertificateOptions other;
    other.commonName = "other.test";
    HttpPeer peer(HttpsPeer(authority_.Issue(other)));
    peer.Reply("GET", "/a", 200, "named otherwise");
    ASSERT_TRUE(peer.Start());
    HTTPS_API client;
    ASSERT_EQ(client.Config("SSLCACertFile=" + caFile_), "");
    ASSERT_TRUE(client.Get(peer.HostPort(), "a"));
    EXPECT_TRUE(log_.Has("HTTPS: SSL Server Authentication: force accept"));
    EXPECT_FALSE(log_.Has("HTTPS: SSL Server Authentication: normal accept"));
}

TEST_F(HttpApiTest, OffersOnlyTls11And12) {
    HTTPS_API client;
    EXPECT_EQ(client.Config("SSLEnabledProtocols"), "3840");

    peers::PeerOptions tls13Only = HttpsPeer();
    tls13Only.minTlsVersion = TLS1_3_VERSION;
    HttpPeer modern(tls13Only);
    modern.Reply("GET", "/a", 200, "1.3");
    ASSERT_TRUE(modern.Start());
    EXPECT_FALSE(client.Get(modern.HostPort(), "a"));
    EXPECT_EQ(client.GetLastErrorCode(), CURLE_SSL_CONNECT_ERROR);
    EXPECT_EQ(modern.RequestCount(), 0u);
    EXPECT_NE(log_.Find("HTTPS GET failed,"), "");

    peers::PeerOptions tls12Only = HttpsPeer();
    tls12Only.maxTlsVersion = TLS1_2_VERSION;
    HttpPeer classic(tls12Only);
    classic.Reply("GET", "/a", 200, "1.2");
    ASSERT_TRUE(classic.Start());
    ASSERT_TRUE(client.Get(classic.HostPort(), "a"));
    EXPECT_EQ(client.GetReplyData(), "1.2");

    // The restriction is the configuration's doing: allowing TLS 1.3 reaches the modern server.
    HTTPS_API open;
    EXPECT_EQ(open.Config("SSLEnabledProtocols=0x3C00"), "");
    ASSERT_TRUE(open.Get(modern.HostPort(), "a"));
    EXPECT_EQ(open.GetReplyData(), "1.3");
}

TEST_F(HttpApiTest, ConfigRefusesWhatItCannotApply) {
    HTTP_API client;
    EXPECT_NE(client.Config("NoSuchSetting=1"), "");
    EXPECT_EQ(client.Config("NoSuchSetting"), "");
    EXPECT_NE(client.Config("AbsoluteTimeout=maybe"), "");
    EXPECT_EQ(client.Config("AbsoluteTimeout"), "false");
    EXPECT_EQ(client.Config("absolutetimeout = TRUE"), "");
    EXPECT_EQ(client.Config("AbsoluteTimeout"), "true");
    EXPECT_NE(client.Config("SSLEnabledProtocols=12x"), "");
    EXPECT_NE(client.Config("SSLEnabledProtocols=48"), "") << "SSL 3 alone is not offered";
    EXPECT_NE(client.Config("SSLCACertFile=/nonexistent/ca.pem"), "");
    const std::string junk =
        ::testing::TempDir() + "http_api_test_junk_" + std::to_string(getpid()) + ".pem";
    FILE* file = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fputs("not a certificate\n", file);
    std::fclose(file);
    EXPECT_NE(client.Config("SSLCACertFile=" + junk), "") << "a file without certificates";
    std::remove(junk.c_str());
    EXPECT_EQ(client.Config("SSLCACertFile"), "");
}

// ---- The pair and the API protocol.

TEST_F(HttpApiTest, PairHandsOutTheClientOfTheApiProtocol) {
    HttpPeer plain;
    plain.Reply("GET", "/ostrel_ping", 200, "");
    ASSERT_TRUE(plain.Start());
    HttpPeer secure(HttpsPeer());
    secure.Reply("GET", "/ostrel_ping", 200, "");
    ASSERT_TRUE(secure.Start());

    ASSERT_EQ(GetApiProtocol(), API_PROTOCOL_UNKNOWN);
    {
        HTTPX_PAIR pair;
        EXPECT_EQ(&pair.Client(), static_cast<HTTPX_API*>(&pair.Http()));
        EXPECT_TRUE(pair->Head(plain.HostPort(), "ostrel_ping")) << pair->GetLastErrorText();
        EXPECT_FALSE(plain.LastRequest().tls);
    }
    SetApiProtocol(API_PROTOCOL_HTTPS);
    {
        HTTPX_PAIR pair;
        SetApiProtocol(API_PROTOCOL_HTTP);  // chosen when the pair was made
        EXPECT_EQ(&pair.Client(), static_cast<HTTPX_API*>(&pair.Https()));
        EXPECT_TRUE(pair->Head(secure.HostPort(), "ostrel_ping")) << pair->GetLastErrorText();
        EXPECT_TRUE(secure.LastRequest().tls);
    }
    {
        HTTPX_PAIR pair;
        EXPECT_EQ(&pair.Client(), static_cast<HTTPX_API*>(&pair.Http()));
    }
    SetApiProtocol(API_PROTOCOL_UNKNOWN);
}

// ---- Proxies from the environment.

TEST_F(HttpApiTest, TakesTheProxyFromTheEnvironment) {
    HttpPeer proxy;
    proxy.HandleOthers([](const httplib::Request&, httplib::Response& response) {
        response.set_content("via proxy", "text/plain");
    });
    ASSERT_TRUE(proxy.Start());
    setenv("http_proxy", proxy.BaseUrl().c_str(), 1);
    HTTP_API client;
    const bool answered = client.Get("origin.invalid", "page", {{"a", "1"}});
    unsetenv("http_proxy");
    ASSERT_TRUE(answered);
    EXPECT_EQ(client.GetReplyData(), "via proxy");
    EXPECT_EQ(proxy.LastRequest().target, "http://origin.invalid/page?a=1");
}

}  // namespace
}  // namespace wexo::svc
