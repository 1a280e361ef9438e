// Strict TLS through the service's HTTPS client: off, every server is taken as before (its
// certificate problems only logged); on, a server whose certificate does not verify against the
// trusted certificates, or does not carry the name asked for, fails the request with its own line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "service/support/http_api.h"
#include "service/support/http_engine.h"
#include "tests/service/support/http_test_support.h"
#include "tools/peers/http_peer.h"
#include "tools/peers/peer_tls.h"

namespace wexo::svc {
namespace {

using peers::CertificateOptions;
using peers::HttpPeer;
using peers::HttpsPeer;
using peers::TestCertificateAuthority;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_http::LogCapture;
using testing_http::NoProxyEnvironment;

CertificateOptions For(std::vector<std::string> names) {
    CertificateOptions options;
    options.commonName = names.front();
    options.altNames = std::move(names);
    return options;
}

class StrictTlsTest : public ::testing::Test {
  protected:
    StrictTlsTest()
        : caFile_(::testing::TempDir() + "strict_tls_test_root_" + std::to_string(getpid()) +
                  ".pem") {
        EXPECT_TRUE(authority_.WriteCertificateFile(caFile_));
    }
    ~StrictTlsTest() override {
        SetHttpTlsPolicy({});
        std::remove(caFile_.c_str());
    }

    // A peer answering "/page" with "hello".
    static void Serve(HttpPeer& peer) {
        peer.Reply("GET", "/page", 200, "hello");
        ASSERT_TRUE(peer.Start());
    }
    // The line a refused request leaves, for the host asked for and the client's error text.
    static std::string RefusalLine(const std::string& host, const HTTPS_API& client) {
        return "TLS verification of " + host + " failed: " + client.GetLastErrorText();
    }
    std::vector<std::string> VerificationLines() const {
        std::vector<std::string> found;
        for (const std::string& line : log_.Lines()) {
            if (line.rfind("TLS verification of ", 0) == 0) {
                found.push_back(line);
            }
        }
        return found;
    }

    NoProxyEnvironment environment_;
    LogCapture log_;
    TestCertificateAuthority authority_;
    std::string caFile_;
};

TEST_F(StrictTlsTest, OffASelfSignedServerIsTakenAsBefore) {
    EXPECT_FALSE(GetHttpTlsPolicy().strict) << "off unless turned on";
    HttpPeer peer(HttpsPeer());
    Serve(peer);
    HTTPS_API client;
    ASSERT_TRUE(client.Get(peer.HostPort(), "page"));
    EXPECT_EQ(client.GetStatus(), 200);
    EXPECT_EQ(client.GetReplyData(), "hello");
    EXPECT_TRUE(log_.Has("HTTPS: SSL Server Authentication: force accept"));

    // A certificate for another name, from an authority nobody trusts, is taken too.
    HttpPeer other(HttpsPeer(authority_.Issue(For({"other.example"}))));
    Serve(other);
    HTTPS_API second;
    ASSERT_TRUE(second.Get(other.HostPort(), "page"));
    EXPECT_EQ(second.GetStatus(), 200);
    EXPECT_THAT(VerificationLines(), ::testing::IsEmpty());
}

TEST_F(StrictTlsTest, OnWithTheCaFileTheServersItSignedAreReachedByAddressAndName) {
    SetHttpTlsPolicy({true, caFile_});
    HttpPeer peer(HttpsPeer(authority_.Issue(For({"localhost", "127.0.0.1"}))));
    Serve(peer);
    const std::string port = std::to_string(peer.Port());
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        HTTPS_API client;
        ASSERT_TRUE(client.Get(host + ":" + port, "page"))
            << host << ": " << client.GetLastErrorText();
        EXPECT_EQ(client.GetStatus(), 200) << host;
        EXPECT_EQ(client.GetReplyData(), "hello") << host;
    }
    EXPECT_EQ(peer.RequestCount(), 2u);
    EXPECT_TRUE(log_.Has("HTTPS: SSL Server Authentication: normal accept"));
    EXPECT_FALSE(log_.Has("HTTPS: SSL Server Authentication: force accept"));
    EXPECT_THAT(VerificationLines(), ::testing::IsEmpty());
}

TEST_F(StrictTlsTest, OnAServerTheCaDidNotSignFailsWithTheLineAndIsSentNothing) {
    SetHttpTlsPolicy({true, caFile_});
    TestCertificateAuthority stranger("Someone Else's Root");
    HttpPeer selfSigned(HttpsPeer());
    HttpPeer foreign(HttpsPeer(stranger.Issue(For({"127.0.0.1"}))));
    Serve(selfSigned);
    Serve(foreign);
    for (HttpPeer* peer : {&selfSigned, &foreign}) {
        log_.Clear();
        HTTPS_API client;
        EXPECT_FALSE(client.Get(peer->HostPort(), "page"));
        EXPECT_EQ(client.GetLastErrorCode(), CURLE_PEER_FAILED_VERIFICATION);
        EXPECT_THAT(client.GetLastErrorText(), HasSubstr("certificate"));
        EXPECT_THAT(VerificationLines(), ::testing::ElementsAre(RefusalLine("127.0.0.1", client)));
        EXPECT_FALSE(log_.Has("HTTPS: SSL Server Authentication: force accept"))
            << "the client's own leniency is not asked";
        EXPECT_TRUE(client.GetReplyData().empty());
        EXPECT_EQ(peer->RequestCount(), 0u) << "nothing was sent";
    }
}

TEST_F(StrictTlsTest, OnACertificateForAnotherNameFails) {
    SetHttpTlsPolicy({true, caFile_});
    HttpPeer elsewhere(HttpsPeer(authority_.Issue(For({"other.example"}))));
    HttpPeer named(HttpsPeer(authority_.Issue(For({"localhost"}))));
    Serve(elsewhere);
    Serve(named);

    HTTPS_API first;
    EXPECT_FALSE(first.Get(elsewhere.HostPort(), "page"));
    EXPECT_EQ(first.GetLastErrorCode(), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_THAT(VerificationLines(), Contains(RefusalLine("127.0.0.1", first)));

    // The certificate for "localhost" is good for that name, and for that name only: its address
    // is not in it.
    HTTPS_API byAddress;
    EXPECT_FALSE(byAddress.Get(named.HostPort(), "page"));
    EXPECT_EQ(byAddress.GetLastErrorCode(), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_THAT(VerificationLines(), Contains(RefusalLine("127.0.0.1", byAddress)));
    HTTPS_API byName;
    EXPECT_TRUE(byName.Get("localhost:" + std::to_string(named.Port()), "page"))
        << byName.GetLastErrorText();
    EXPECT_EQ(byName.GetStatus(), 200);
    EXPECT_EQ(elsewhere.RequestCount() + named.RequestCount(), 1u);
}

TEST_F(StrictTlsTest, OnWithoutACaFileTheSystemsStoreDecides) {
    // The test authority is in no system store: its servers are strangers now.
    SetHttpTlsPolicy({true, ""});
    HttpPeer peer(HttpsPeer(authority_.Issue(For({"127.0.0.1"}))));
    Serve(peer);
    HTTPS_API client;
    EXPECT_FALSE(client.Get(peer.HostPort(), "page"));
    EXPECT_EQ(client.GetLastErrorCode(), CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_THAT(VerificationLines(), ::testing::ElementsAre(RefusalLine("127.0.0.1", client)));

    // A client told to trust the authority itself still reaches it.
    HTTPS_API trusting;
    ASSERT_EQ(trusting.Config("SSLCACertFile=" + caFile_), "");
    EXPECT_TRUE(trusting.Get(peer.HostPort(), "page")) << trusting.GetLastErrorText();
}

TEST_F(StrictTlsTest, OnACaFileThatCannotBeReadFailsEveryRequestWithTheLine) {
    SetHttpTlsPolicy({true, caFile_ + ".missing"});
    HttpPeer peer(HttpsPeer(authority_.Issue(For({"127.0.0.1"}))));
    Serve(peer);
    HTTPS_API client;
    EXPECT_FALSE(client.Get(peer.HostPort(), "page"));
    EXPECT_EQ(client.GetLastErrorCode(), CURLE_SSL_CACERT_BADFILE);
    EXPECT_THAT(VerificationLines(), ::testing::ElementsAre(RefusalLine("127.0.0.1", client)));
    EXPECT_EQ(peer.RequestCount(), 0u);
}

TEST_F(StrictTlsTest, EachRequestTakesThePolicyInForceWhenItStarts) {
    HttpPeer peer(HttpsPeer());
    Serve(peer);
    HTTPS_API client;
    SetHttpTlsPolicy({true, caFile_});
    EXPECT_FALSE(client.Get(peer.HostPort(), "page"));
    SetHttpTlsPolicy({});
    EXPECT_TRUE(client.Get(peer.HostPort(), "page")) << client.GetLastErrorText();
    EXPECT_EQ(client.GetStatus(), 200);
    // A connection taken unverified is not kept for a strict request.
    SetHttpTlsPolicy({true, caFile_});
    EXPECT_FALSE(client.Get(peer.HostPort(), "page"));
    EXPECT_EQ(peer.RequestCount(), 1u);
    // Plain HTTP has no certificate to verify.
    HttpPeer plain;
    Serve(plain);
    HTTP_API http;
    EXPECT_TRUE(http.Get(plain.HostPort(), "page"));
    EXPECT_EQ(http.GetStatus(), 200);
    EXPECT_THAT(log_.Lines(), Not(Contains(HasSubstr("TLS verification of 127.0.0.1:"))));
}

}  // namespace
}  // namespace wexo::svc
