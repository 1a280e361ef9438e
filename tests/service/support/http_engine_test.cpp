// The libcurl engine under the HTTP clients: its events, the TLS authentication decision left to
// the sink, exceptions from the sink, and proxy detection switched off.
#include "service/support/http_engine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/service/support/http_test_support.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/streamed_reply.h"

namespace wexo::svc {
namespace {

using peers::HttpPeer;
using peers::HttpsPeer;
using testing_http::NoProxyEnvironment;

class RecordingSink : public HTTP_EVENT_SINK {
  public:
    void OnError(int code, const std::string& description) override {
        errors.push_back(std::to_string(code) + " " + description);
    }
    void OnHeader(std::string_view name, std::string_view value) override {
        headers.push_back(std::string(name) + "=" + std::string(value));
        if (throwOnHeader) {
            throwOnHeader = false;
            throw std::runtime_error("sink failed");
        }
    }
    void OnRedirect(std::string_view location) override { redirects.emplace_back(location); }
    void OnSslServerAuthentication(const HTTP_SERVER_CERTIFICATE& certificate,
                                   bool& accept) override {
        certificates.push_back(certificate);
        if (!certificate.verified && refuseUnverified) {
            accept = false;
        } else {
            accept = true;
        }
    }
    void OnStatus(std::string_view version, int status, std::string_view reason) override {
        statuses.push_back(std::string(version) + " " + std::to_string(status) + " " +
                           std::string(reason));
    }

    std::vector<std::string> errors;
    std::vector<std::string> headers;
    std::vector<std::string> redirects;
    std::vector<HTTP_SERVER_CERTIFICATE> certificates;
    std::vector<std::string> statuses;
    bool throwOnHeader = false;
    bool refuseUnverified = false;
};

class HttpEngineTest : public ::testing::Test {
  protected:
    NoProxyEnvironment environment_;
    RecordingSink sink_;
};

TEST_F(HttpEngineTest, DeliversStatusHeadersAndRedirectsOnlyFor3xx) {
    HttpPeer peer;
    peer.Reply("GET", "/made", 201, "made", "text/plain", {{"Location", "/elsewhere"}});
    peer.Redirect("GET", "/moved", 301, "http://other.invalid/x");
    ASSERT_TRUE(peer.Start());
    HTTP_ENGINE engine(false, sink_);

    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/made"), 0);
    EXPECT_EQ(sink_.statuses, std::vector<std::string>{"HTTP/1.1 201 Created"});
    EXPECT_NE(std::find(sink_.headers.begin(), sink_.headers.end(), "Location=/elsewhere"),
              sink_.headers.end());
    EXPECT_TRUE(sink_.redirects.empty()) << "a Location outside a 3xx reply is no redirect";
    EXPECT_TRUE(sink_.errors.empty());
    EXPECT_EQ(engine.ReplyData(), "made");

    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/moved"),
              HTTP_ENGINE_STATUS_ERROR);
    EXPECT_EQ(sink_.redirects, std::vector<std::string>{"http://other.invalid/x"});
    ASSERT_EQ(sink_.errors.size(), 1u);
    EXPECT_EQ(sink_.errors[0], "151 HTTP response code said error");
    EXPECT_EQ(engine.LastErrorCode(), HTTP_ENGINE_STATUS_ERROR);

    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/made"), 0);
    EXPECT_EQ(engine.LastErrorText(), "") << "cleared by a success";
    EXPECT_EQ(engine.LastErrorCode(), 0);
}

// A server that sends more than the engine keeps fails the request; the bound is a setting and a
// reply within it comes whole.
TEST_F(HttpEngineTest, AReplyPastTheBoundFailsTheRequestInsteadOfFillingMemory) {
    HttpPeer peer;
    peer.Reply("GET", "/big", 200, std::string(100'000, 'x'));
    peer.Reply("GET", "/fits", 200, std::string(1'000, 'y'));
    ASSERT_TRUE(peer.Start());
    HTTP_ENGINE engine(false, sink_);
    EXPECT_EQ(engine.ApplyConfig("MaxReplyBytes"), "268435456");
    EXPECT_EQ(engine.ApplyConfig("MaxReplyBytes=0"), "MaxReplyBytes takes a number above 0");
    EXPECT_EQ(engine.ApplyConfig("MaxReplyBytes=4096"), "");
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/big"),
              HTTP_ENGINE_REPLY_TOO_LARGE);
    EXPECT_EQ(engine.LastErrorText(), "Reply larger than 4096 bytes");
    EXPECT_TRUE(engine.ReplyData().empty());
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/fits"), 0);
    EXPECT_EQ(engine.ReplyData().size(), 1'000u);
}

// A server that trickles a byte a second never lets the idle time-out run out: the request ends
// when its stop is raised, and one made under a stop raised already never reaches the server.
TEST_F(HttpEngineTest, ARaisedStopEndsARequestToAServerThatTricklesAndRefusesLaterOnes) {
    HttpPeer peer;
    peers::StreamedReply trickle;
    peer.Handle("GET", "/slow", trickle.Handler());
    ASSERT_TRUE(peer.Start());
    auto stop = std::make_shared<HTTP_STOP>();
    HTTP_ENGINE engine(false, sink_);
    // Bounds the test, should the stop not end the request: it would end as timed out instead.
    ASSERT_EQ(engine.ApplyConfig("AbsoluteTimeout=true"), "");
    engine.SetRequestTimeout(10);
    int result = -1;
    std::thread request(
        [&] { result = engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/slow", stop); });
    ASSERT_TRUE(trickle.WaitForStart(1));
    stop->Raise();
    request.join();
    EXPECT_EQ(result, HTTP_ENGINE_CANCELLED);
    EXPECT_EQ(engine.LastErrorText(), "Request cancelled: the program is stopping");
    EXPECT_TRUE(engine.ReplyData().empty());

    // The process's stop is taken by requests that name none.
    SetHttpStop(stop);
    EXPECT_EQ(GetHttpStop(), stop);
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/slow"), HTTP_ENGINE_CANCELLED);
    SetHttpStop(nullptr);
    EXPECT_EQ(peer.RequestCount(), 1u) << "a request under a raised stop never starts";
    EXPECT_EQ(trickle.Started(), 1u);
    trickle.Stop();
}

TEST_F(HttpEngineTest, SinkThatRefusesAnUnverifiedServerEndsTheRequest) {
    HttpPeer peer(HttpsPeer());
    peer.Reply("GET", "/a", 200, "secret");
    ASSERT_TRUE(peer.Start());
    sink_.refuseUnverified = true;
    HTTP_ENGINE engine(true, sink_);
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/a"), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(engine.LastErrorText().rfind("Server certificate not accepted: ", 0), 0u)
        << engine.LastErrorText();
    EXPECT_TRUE(engine.ReplyData().empty());
    EXPECT_EQ(peer.RequestCount(), 0u) << "nothing was sent";
    ASSERT_EQ(sink_.certificates.size(), 1u);
    const HTTP_SERVER_CERTIFICATE& certificate = sink_.certificates[0];
    EXPECT_FALSE(certificate.verified);
    EXPECT_NE(certificate.verifyError.find("self"), std::string::npos) << certificate.verifyError;
    EXPECT_NE(certificate.subject.find("CN=127.0.0.1"), std::string::npos) << certificate.subject;
}

TEST_F(HttpEngineTest, CertificateDetailsOfVerifiedAndExpiredServers) {
    peers::TestCertificateAuthority authority;
    const std::string caFile =
        ::testing::TempDir() + "http_engine_test_root_" + std::to_string(getpid()) + ".pem";
    ASSERT_TRUE(authority.WriteCertificateFile(caFile));
    peers::CertificateOptions expired;
    expired.expired = true;
    HttpPeer good(HttpsPeer(authority.Issue()));
    HttpPeer old(HttpsPeer(authority.Issue(expired)));
    ASSERT_TRUE(good.Start());
    ASSERT_TRUE(old.Start());

    HTTP_ENGINE engine(true, sink_);
    EXPECT_EQ(engine.ApplyConfig("SSLCACertFile=" + caFile), "");
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Head, good.BaseUrl() + "/"), HTTP_ENGINE_STATUS_ERROR)
        << "404: answered";
    HTTP_ENGINE second(true, sink_);
    EXPECT_EQ(second.ApplyConfig("SSLCACertFile=" + caFile), "");
    EXPECT_EQ(second.Perform(HTTP_METHOD::Head, old.BaseUrl() + "/"), HTTP_ENGINE_STATUS_ERROR);
    std::remove(caFile.c_str());

    ASSERT_EQ(sink_.certificates.size(), 2u);
    EXPECT_TRUE(sink_.certificates[0].verified);
    EXPECT_EQ(sink_.certificates[0].verifyError, "");
    EXPECT_NE(sink_.certificates[0].issuer.find("CN=Wexo Test Root"), std::string::npos);
    EXPECT_FALSE(sink_.certificates[1].verified);
    EXPECT_NE(sink_.certificates[1].verifyError.find("expired"), std::string::npos)
        << sink_.certificates[1].verifyError;
}

TEST_F(HttpEngineTest, AKeptConnectionIsNotAuthenticatedAgain) {
    HttpPeer peer(HttpsPeer());
    peer.Reply("GET", "/a", 200, "one");
    ASSERT_TRUE(peer.Start());
    HTTP_ENGINE engine(true, sink_);
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/a"), 0);
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/a"), 0);
    EXPECT_EQ(peer.RequestCount(), 2u);
    EXPECT_EQ(sink_.certificates.size(), 1u);
    HTTP_ENGINE other(true, sink_);
    EXPECT_EQ(other.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/a"), 0);
    EXPECT_EQ(sink_.certificates.size(), 2u) << "each new connection is verified";
}

TEST_F(HttpEngineTest, ExceptionFromTheSinkComesOutOfPerformAndTheEngineGoesOn) {
    HttpPeer peer;
    peer.Reply("GET", "/a", 200, "body");
    ASSERT_TRUE(peer.Start());
    HTTP_ENGINE engine(false, sink_);
    sink_.throwOnHeader = true;
    EXPECT_THROW(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/a"), std::runtime_error);
    EXPECT_EQ(engine.Perform(HTTP_METHOD::Get, peer.BaseUrl() + "/a"), 0);
    EXPECT_EQ(engine.ReplyData(), "body");
}

TEST_F(HttpEngineTest, ProxyDetectionOffGoesStraightToTheServer) {
    HttpPeer proxy;
    proxy.HandleOthers([](const httplib::Request&, httplib::Response& response) {
        response.set_content("proxy", "text/plain");
    });
    HttpPeer origin;
    origin.Reply("GET", "/a", 200, "origin");
    ASSERT_TRUE(proxy.Start());
    ASSERT_TRUE(origin.Start());
    setenv("http_proxy", proxy.BaseUrl().c_str(), 1);
    HTTP_ENGINE engine(false, sink_);
    engine.SetProxyAuto(false);
    const int direct = engine.Perform(HTTP_METHOD::Get, origin.BaseUrl() + "/a");
    const std::string directBody(engine.ReplyData());
    engine.SetProxyAuto(true);
    const int proxied = engine.Perform(HTTP_METHOD::Get, origin.BaseUrl() + "/a");
    unsetenv("http_proxy");
    EXPECT_EQ(direct, 0);
    EXPECT_EQ(directBody, "origin");
    EXPECT_EQ(proxied, 0);
    EXPECT_EQ(engine.ReplyData(), "proxy");
    EXPECT_EQ(proxy.RequestCount(), 1u);
}

TEST_F(HttpEngineTest, HeaderValuesWithLineBreaksAreRefused) {
    HTTP_ENGINE engine(false, sink_);
    EXPECT_EQ(engine.SetAcceptValue("text/*\r\nX: 1"), CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(engine.SetContentType("a\nb"), CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(engine.SetAuthorizationValue("a\rb"), CURLE_BAD_FUNCTION_ARGUMENT);
    EXPECT_EQ(engine.SetAcceptValue("text/*"), 0);
}

}  // namespace
}  // namespace wexo::svc
