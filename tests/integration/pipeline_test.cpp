// The whole pipeline in one process: a connection on the simulated network, the driver's
// classification and lookup worker, the service-call channel, the service's workers and
// SC_PolicyLookup, the decision chain, and "access/mobile" on the reference policy server on
// loopback; the verdict comes back and is applied to the connection.
#include "tools/pipeline/pipeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/service_domain.h"
#include "tools/peers/dns_peer.h"

namespace wexo::integration {
namespace {

constexpr const char* kPolicy =
    "[settings]\n"
    "BlockOnFailure = true\n"
    "CacheTimeout = 300\n"
    "[rules]\n"
    "allow url news.test/world/weather/\n"
    "block url news.test/world/\n"
    "block host games.test\n";

class PipelineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pipeline::PIPELINE_OPTIONS options;
        options.policyText = kPolicy;
        options.serviceWorkers = 2;
        pipeline_ = std::make_unique<pipeline::PIPELINE>(options);
        std::string error;
        ASSERT_TRUE(pipeline_->Start(&error)) << error;
    }
    void TearDown() override { pipeline_.reset(); }

    std::shared_ptr<os::SimTcpConnection> Get(const std::string& host, const std::string& path,
                                              uint8_t addressByte = 10) {
        auto connection = Open(addressByte, 80);
        EXPECT_TRUE(
            connection->ClientSend("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n"));
        return connection;
    }
    std::shared_ptr<os::SimTcpConnection> Open(uint8_t addressByte, uint16_t port) {
        return pipeline_->Network().OpenTcp(os::MakeIPv4Address(198, 51, 100, addressByte), port,
                                            pipeline_->BrowserProcessId());
    }
    bool Await(uint64_t lookups) { return pipeline_->AwaitLookups(lookups); }
    size_t Asked() { return pipeline_->Server().Pages().MobileCount(); }
    std::string BlockPage(const std::string& url, const std::string& rule) {
        return "http://" + pipeline_->Server().HostPort() + "/blocked.html?url=" + url +
               "&rule=" + rule;
    }
    static std::string Redirect(const std::string& location) {
        return "HTTP/1.1 302 Other\r\nLocation: " + location +
               "\r\nContent-Length:0\r\nConnection: close\r\n\r\n";
    }

    std::unique_ptr<pipeline::PIPELINE> pipeline_;
};

TEST_F(PipelineTest, ABlockedHostGetsTheRedirectAndTheServerNeverSeesTheRequest) {
    auto connection = Get("games.test", "/play");
    ASSERT_TRUE(Await(1));
    EXPECT_EQ(connection->ClientReceived(),
              Redirect(BlockPage("games.test%2Fplay", "block%20host%20games.test")));
    EXPECT_EQ(connection->ServerReceived(), "");
}

TEST_F(PipelineTest, APathRuleBlocksBelowItExceptWhereAnAllowRuleComesFirst) {
    auto blocked = Get("news.test", "/world/europe");
    ASSERT_TRUE(Await(1));
    EXPECT_EQ(blocked->ClientReceived().rfind("HTTP/1.1 302 Other\r\n", 0), 0u);
    auto allowed = Get("news.test", "/world/weather/today", 11);
    ASSERT_TRUE(Await(2));
    EXPECT_EQ(allowed->ClientReceived(), "");
    EXPECT_EQ(allowed->ServerReceived(),
              "GET /world/weather/today HTTP/1.1\r\nHost: news.test\r\n\r\n");
}

TEST_F(PipelineTest, AnAllowedPageIsAskedForOnceAndThenAnsweredFromTheCache) {
    size_t before = Asked();
    auto first = Get("www.example.test", "/index.html");
    ASSERT_TRUE(Await(1));
    EXPECT_EQ(Asked(), before + 1);
    auto second = Get("www.example.test", "/index.html", 11);
    ASSERT_TRUE(Await(2));
    EXPECT_EQ(Asked(), before + 1) << "the second lookup was answered without a query";
    EXPECT_EQ(second->ServerReceived(),
              "GET /index.html HTTP/1.1\r\nHost: www.example.test\r\n\r\n");
}

// Toward the addresses our names were answered with.
TEST_F(PipelineTest, OurOwnServersAreNeverLookedUp) {
    const std::string ours = "api." + std::string(kServiceDomain);
    auto dns = pipeline_->Network().OpenUdp(os::MakeIPv4Address(198, 51, 100, 53), 53,
                                            pipeline_->BrowserProcessId());
    dns->ServerSend(peers::DnsAnswerA(ours, {198, 51, 100, 10}));
    auto connection = Get(ours, "/2/checkin");
    ASSERT_TRUE(pipeline_->Network().WaitSettled());
    EXPECT_EQ(pipeline_->CompletedLookups(), 0u);
    EXPECT_EQ(connection->ServerReceived().rfind("GET /2/checkin", 0), 0u);
}

TEST_F(PipelineTest, ABlockedTlsHostIsClosedAndItsAddressIsRemembered) {
    auto handshake = [&](const std::string& host, uint8_t addressByte) {
        auto connection = Open(addressByte, 443);
        std::vector<uint8_t> hello = {22, 3, 1, 0, 0, 1, 0, 0, 0, 3, 3};
        hello.insert(hello.end(), 32, 0x42);
        hello.push_back(0);
        hello.insert(hello.end(), {0x00, 0x02, 0x13, 0x01, 0x01, 0x00});
        auto n = static_cast<uint8_t>(host.size());
        hello.insert(hello.end(),
                     {0, uint8_t(n + 9), 0, 0, 0, uint8_t(n + 5), 0, uint8_t(n + 3), 0, 0, n});
        hello.insert(hello.end(), host.begin(), host.end());
        uint16_t body = static_cast<uint16_t>(hello.size() - 9);
        hello[7] = uint8_t(body >> 8);
        hello[8] = uint8_t(body);
        hello[3] = uint8_t((body + 4) >> 8);
        hello[4] = uint8_t(body + 4);
        EXPECT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
        std::vector<uint8_t> serverHello = {22, 3, 3, 0, 42, 2, 0, 0, 38, 3, 3};
        serverHello.insert(serverHello.end(), 32, 0x11);
        serverHello.insert(serverHello.end(), {0, 0xC0, 0x2F, 0x00});
        EXPECT_TRUE(connection->ServerSend(std::span<const uint8_t>(serverHello)));
        return connection;
    };
    size_t before = Asked();
    auto blocked = handshake("games.test", 20);
    ASSERT_TRUE(Await(1));
    EXPECT_TRUE(blocked->ClientSawFin());
    EXPECT_EQ(Asked(), before + 1);
    // Another name on the same address (a shared host) is asked about, and passes.
    auto other = handshake("cdn.games-other.test", 20);
    ASSERT_TRUE(Await(2));
    EXPECT_FALSE(other->ClientSawFin());
    EXPECT_EQ(Asked(), before + 2);
    // The blocked name again: closed from the address cache, without asking.
    auto again = handshake("games.test", 20);
    ASSERT_TRUE(Await(3));
    EXPECT_TRUE(again->ClientSawFin());
    EXPECT_EQ(Asked(), before + 2);
}

TEST_F(PipelineTest, WithThePolicyServerDownTheBrowserGoesToTheBlockOnFailurePage) {
    // A first reply tells the service that the policy asks for block on failure.
    Get("www.example.test", "/");
    ASSERT_TRUE(Await(1));
    std::string server = pipeline_->Server().HostPort();
    pipeline_->Server().Stop();
    auto connection = Get("www.other.test", "/page", 12);
    ASSERT_TRUE(Await(2));
    EXPECT_EQ(connection->ClientReceived(), Redirect("http://" + server + "/BlockOnFailure.html"));
    EXPECT_EQ(connection->ServerReceived(), "");
}

}  // namespace
}  // namespace wexo::integration
