// The decision as the service assembles it, for tests: settings in a registry of their own, a
// reference policy server on loopback with a policy the test writes, the policy-server set built
// from it, the Development deployment pointed at that server, names resolved from a table, and the
// POLICY_ENGINE over all of it, on the virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "os/core/sync.h"
#include "service/checkin/deployments.h"
#include "service/policy/redirect_query.h"
#include "service/support/registry_helpers.h"
#include "tests/service/calls/service_test_support.h"
#include "tests/service/servers/servers_test_support.h"

namespace wexo::svc::testing {

constexpr char kTestDeviceId[] = "6B29FC40-CA47-1067-B31D-00DD010662DA";
// The API server of the test deployment, resolved by the table.
constexpr char kTestApiServer[] = "api.deployment.test";

// Owns the texts a POLICY_QUERY points to.
struct QUERY_TEXTS {
    explicit QUERY_TEXTS(std::string url, IP_ADDRESS address = IP_ADDRESS::V4(93, 184, 216, 34),
                         bool https = false, std::string user = "DESKTOP\\alice")
        : lookupUrl(std::move(url)),
          addressText(address.ToText()),
          userName(std::move(user)),
          deviceId(kTestDeviceId) {
        query.https = https;
        query.address = address;
        query.flowNumber = 7;
        query.callNumber = 42;
    }
    // The query, its views pointing into this object.
    const POLICY_QUERY& Query() {
        query.lookupUrl = lookupUrl;
        query.addressText = addressText;
        query.userName = userName;
        query.deviceId = deviceId;
        return query;
    }

    std::string lookupUrl;
    std::string addressText;
    std::string userName;
    std::string deviceId;
    POLICY_QUERY query;
};

class PolicyEngineFixture : public testing_servers::PolicyServersFixture {
  protected:
    static constexpr const char* kPolicy =
        "[settings]\n"
        "BlockOnFailure = true\n"
        "CacheTimeout = 0\n"
        "[rules]\n"
        "allow url news.test/world/weather/\n"
        "block url news.test/world/\n"
        "block host games.test\n";

    void SetUp() override {
        PolicyServersFixture::SetUp();
        resolver_.Add(kTestApiServer,
                      {IP_ADDRESS::V4(203, 0, 113, 7),
                       V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7})});
        serverName_ = StartPeers(1).front();
        SetPolicy(kPolicy);
        deployment_ = std::make_unique<SCOPED_DEVELOPMENT_DEPLOYMENT>(serverName_, kTestApiServer);
        Build(SERVER_MODE_BALANCED, {serverName_});
        engine_ = std::make_unique<POLICY_ENGINE>(settings_, Servers(), &stop_->event);
    }

    void TearDown() override {
        engine_.reset();
        // Nothing of a query outlives the test: the server's end resets what it still holds.
        for (auto& peer : peers_) {
            peer->Stop();
        }
        EXPECT_TRUE(WaitForPolicyQueries(std::chrono::milliseconds(5000)));
        PolicyServersFixture::TearDown();
        deployment_.reset();
    }

    void SetPolicy(const char* text) {
        std::string error;
        ASSERT_TRUE(Server().Pages().SetPolicyText(text, &error)) << error;
    }

    peers::PolicyServer& Server() { return Peer(0); }
    // "access/mobile" requests the server has answered.
    size_t Asked() { return Server().Pages().MobileCount(); }
    std::string BlockOnFailureUrl() const {
        return "http://" + serverName_ + "/BlockOnFailure.html";
    }
    bool RegistryFlag(const char* name) {
        uint32_t value = 0;
        return ReadRegistryDword(settings_.ProductKey(), name, value) && value != 0;
    }

    // One decision, the way SC_PolicyLookup asks for it.
    bool Decide(QUERY_TEXTS& texts, std::string* redirect) {
        return engine_->Decide(texts.Query(), redirect);
    }
    bool Decide(std::string url, std::string* redirect = nullptr,
                IP_ADDRESS address = IP_ADDRESS::V4(93, 184, 216, 34), bool https = false) {
        QUERY_TEXTS texts(std::move(url), address, https);
        std::string ignored;
        return Decide(texts, redirect != nullptr ? redirect : &ignored);
    }

    TABLE_RESOLVER resolver_;
    ScopedNameResolver scopedResolver_{resolver_};
    std::string serverName_;
    std::unique_ptr<SCOPED_DEVELOPMENT_DEPLOYMENT> deployment_;
    std::unique_ptr<POLICY_ENGINE> engine_;
};

}  // namespace wexo::svc::testing
