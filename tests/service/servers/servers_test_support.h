// What the policy-server tests share: a virtual clock, the product key in a registry of their own,
// the debug log captured with the Verbose lines, reference policy servers on loopback, and a way
// to let the ping threads and their real requests settle before time moves on.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "os/core/clock.h"
#include "os/registry/registry.h"
#include "service/checkin/settings.h"
#include "service/servers/policy_ping.h"
#include "service/servers/policy_servers.h"
#include "service/support/http_api.h"
#include "service/support/registry_helpers.h"
#include "tests/service/support/http_test_support.h"
#include "tools/peers/policy_server.h"

namespace wexo::svc::testing_servers {

using std::chrono::milliseconds;

// Polls `condition` in real time; false when it does not hold within `limit`.
template <typename Condition>
bool WaitUntil(Condition condition, milliseconds limit = milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

class PolicyServersFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        // Decided, so that hand-outs do not probe unless a test wants them to.
        SetApiProtocol(API_PROTOCOL_HTTP);
        ASSERT_TRUE(settings_.OpenProductKey());
    }

    void TearDown() override {
        servers_.reset();
        for (auto& peer : peers_) {
            peer->Stop();
        }
        // Nothing of a ping outlives the test: every helper request has ended.
        EXPECT_TRUE(WaitForPingRequests(milliseconds(5000)));
        SetApiProtocol(API_PROTOCOL_UNKNOWN);
    }

    // Starts `count` reference policy servers and returns their names ("127.0.0.1:<port>").
    std::vector<std::string> StartPeers(size_t count, bool https = false) {
        std::vector<std::string> names;
        for (size_t i = 0; i < count; ++i) {
            auto peer = std::make_unique<peers::PolicyServer>(https ? peers::HttpsPeer()
                                                                    : peers::PeerOptions());
            EXPECT_TRUE(peer->Start());
            names.push_back(peer->HostPort());
            peers_.push_back(std::move(peer));
        }
        return names;
    }
    peers::PolicyServer& Peer(size_t index) { return *peers_.at(index); }

    // Writes the names and the mode into the product key and loads the settings.
    void Configure(int32_t mode, const std::vector<std::string>& names) {
        std::string joined;
        for (const auto& name : names) {
            joined += (joined.empty() ? "" : ";") + name;
        }
        ASSERT_TRUE(WriteRegistryString(settings_.ProductKey(), "PolicyServers", joined));
        ASSERT_TRUE(
            WriteRegistryDword(settings_.ProductKey(), "ServerMode", static_cast<uint32_t>(mode)));
        settings_.LoadSettings();
    }

    POLICY_SERVERS& Servers() {
        if (!servers_) {
            servers_ = std::make_unique<POLICY_SERVERS>(settings_, stop_);
        }
        return *servers_;
    }

    // Builds the set and lets every first ping finish.
    void Build(int32_t mode, const std::vector<std::string>& names) {
        Configure(mode, names);
        Servers().Rebuild();
        ASSERT_TRUE(Settle());
    }

    // Lets every os/ thread block and every ping request end, except `hanging` requests that a
    // test keeps hanging on purpose.
    bool Settle(size_t hanging = 0) {
        return WaitUntil([&] {
            if (!clock_.Settle() || PingRequestsInFlight() > hanging) {
                return false;
            }
            return clock_.Settle() && PingRequestsInFlight() <= hanging;
        });
    }

    // Advances the virtual clock with the requests settled before and after.
    bool AdvanceSeconds(double seconds, size_t hanging = 0) {
        return Settle(hanging) && clock_.AdvanceSeconds(seconds) && Settle(hanging);
    }

    // The next hand-out, or "" when none was handed out.
    std::string Next() {
        std::string name;
        return Servers().CurrentServer(name) ? name : std::string();
    }

    size_t IndexOf(const std::string& name) const {
        for (size_t i = 0; i < peers_.size(); ++i) {
            if (peers_[i]->HostPort() == name) {
                return i;
            }
        }
        return peers_.size();
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    testing_http::NoProxyEnvironment noProxy_;
    testing_http::LogCapture log_{DEBUG_OUTPUT_VERBOSE};
    os::VirtualClock clock_;
    std::vector<std::unique_ptr<peers::PolicyServer>> peers_;
    std::shared_ptr<SERVICE_STOP> stop_ = std::make_shared<SERVICE_STOP>();
    SETTINGS settings_;
    std::unique_ptr<POLICY_SERVERS> servers_;
};

}  // namespace wexo::svc::testing_servers
