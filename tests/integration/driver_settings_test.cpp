// The product key as the driver sees it while the whole system runs: a remap list written into
// the registry (with answer inspection on) makes the driver's resolver thread ask the service for
// the target's addresses and then rewrite DNS answers on the simulated network; "Dormant" written
// there turns the filter off and on again without a restart.
#include "driver/platform/driver_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/registry/registry.h"
#include "service/calls/ip_address.h"
#include "tools/peers/dns_peer.h"
#include "tools/pipeline/pipeline.h"

namespace wexo::integration {
namespace {

constexpr uint8_t kSafeV4[4] = {192, 0, 2, 77};
constexpr uint8_t kOriginalV4[4] = {203, 0, 113, 9};

// The service's name resolution, so that nothing leaves the machine: only the remap target has
// addresses.
class TARGET_RESOLVER final : public svc::NAME_RESOLVER {
  public:
    uint32_t Resolve(const std::string& hostName, svc::AddressFamily family,
                     std::vector<svc::IP_ADDRESS>* addresses) override {
        if (hostName != "safe.search.test") {
            return 11001;
        }
        if (family == svc::AddressFamily::V4) {
            addresses->push_back(
                svc::IP_ADDRESS::V4(kSafeV4[0], kSafeV4[1], kSafeV4[2], kSafeV4[3]));
            return 0;
        }
        return 11004;
    }
};

// A resolver's answer to an A question for `name`, with one address record.
std::vector<uint8_t> Answer(const std::string& name) {
    return peers::DnsAnswerA(name, {203, 0, 113, 9});
}

bool Contains(const std::vector<uint8_t>& bytes, const uint8_t (&part)[4]) {
    return std::search(bytes.begin(), bytes.end(), std::begin(part), std::end(part)) != bytes.end();
}

template <typename CONDITION>
bool Eventually(CONDITION condition) {
    // The driver's threads react on their own schedule; the wait is bounded, not a fixed sleep.
    for (int i = 0; i < 2000; ++i) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

class DriverSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pipeline::PIPELINE_OPTIONS options;
        options.policyText = "[rules]\nblock host games.test\n";
        options.serviceWorkers = 2;
        pipeline_ = std::make_unique<pipeline::PIPELINE>(options);
        std::string error;
        ASSERT_TRUE(pipeline_->Start(&error)) << error;
        ASSERT_EQ(os::ZwCreateKey(product_, drv::kProductKeyName), os::STATUS_SUCCESS);
    }
    void TearDown() override { pipeline_.reset(); }

    // Settings are written as check-in writes them: by the service, the one process the driver
    // lets change its product key.
    void SetDword(const char* name, uint32_t value) {
        os::ScopedProcessContext asService(pipeline_->ServiceProcessId());
        ASSERT_EQ(os::ZwSetValueKey(product_, name, os::REG_DWORD,
                                    std::span<const uint8_t>(
                                        reinterpret_cast<const uint8_t*>(&value), sizeof(value))),
                  os::STATUS_SUCCESS);
    }
    void SetMultiString(const char* name, const std::vector<std::u16string>& strings) {
        std::u16string data;
        for (const auto& s : strings) {
            data += s;
            data.push_back(u'\0');
        }
        data.push_back(u'\0');
        os::ScopedProcessContext asService(pipeline_->ServiceProcessId());
        ASSERT_EQ(os::ZwSetValueKey(
                      product_, name, os::REG_MULTI_SZ,
                      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()),
                                               data.size() * sizeof(char16_t))),
                  os::STATUS_SUCCESS);
    }

    // What the browser receives when the resolver at 198.51.100.53 answers for `name`.
    std::vector<uint8_t> Resolve(const std::string& name) {
        auto exchange = pipeline_->Network().OpenUdp(os::MakeIPv4Address(198, 51, 100, 53), 53,
                                                     pipeline_->BrowserProcessId());
        // An answer the driver absorbs and injects rewritten is not "delivered" as sent.
        exchange->ServerSend(Answer(name));
        pipeline_->Network().WaitSettled();
        auto received = exchange->ClientReceived();
        return received.empty() ? std::vector<uint8_t>{} : received.back().payload;
    }

    TARGET_RESOLVER resolver_;
    svc::ScopedNameResolver scopedResolver_{resolver_};
    std::unique_ptr<pipeline::PIPELINE> pipeline_;
    os::RegKey product_;
};

TEST_F(DriverSettingsTest, ARemapListInTheRegistryRewritesAnswersOnceTheTargetIsResolved) {
    auto before = Resolve("www.search.test");
    EXPECT_EQ(before, Answer("www.search.test"));
    SetMultiString(drv::kDnsRemappingValue, {u"www.search.test,safe.search.test"});
    SetDword(drv::kUnencryptedSearchValue, 1);
    std::vector<uint8_t> after;
    ASSERT_TRUE(Eventually([&] {
        after = Resolve("www.search.test");
        return Contains(after, kSafeV4);
    }));
    // The alias and the target's address replace the resolver's records.
    ASSERT_GE(after.size(), 12u);
    EXPECT_EQ(after[7], 2);
    EXPECT_FALSE(Contains(after, kOriginalV4));
    // Another spelling of the same name is the same name to DNS.
    EXPECT_TRUE(Contains(Resolve("WWW.Search.TEST"), kSafeV4));
    // Names not on the list, and names only ending like one, pass as they came.
    EXPECT_EQ(Resolve("search.test"), Answer("search.test"));
    EXPECT_EQ(Resolve("xwww.search.test"), Answer("xwww.search.test"));

    // Inspection turned off, answers pass as they came; on again, they are rewritten.
    SetDword(drv::kUnencryptedSearchValue, 0);
    EXPECT_TRUE(
        Eventually([&] { return Resolve("www.search.test") == Answer("www.search.test"); }));
    SetDword(drv::kUnencryptedSearchValue, 1);
    EXPECT_TRUE(Eventually([&] { return Contains(Resolve("www.search.test"), kSafeV4); }));

    // A list without the entry stops the rewriting.
    SetMultiString(drv::kDnsRemappingValue, {u"other.test,safe.search.test"});
    EXPECT_TRUE(
        Eventually([&] { return Resolve("www.search.test") == Answer("www.search.test"); }));
}

TEST_F(DriverSettingsTest, DormantInTheRegistryLetsEverythingPassUntilItIsCleared) {
    auto open = [&](uint8_t addressByte) {
        auto connection = pipeline_->Network().OpenTcp(
            os::MakeIPv4Address(198, 51, 100, addressByte), 80, pipeline_->BrowserProcessId());
        EXPECT_TRUE(connection->ClientSend("GET /play HTTP/1.1\r\nHost: games.test\r\n\r\n"));
        return connection;
    };
    SetDword(drv::kDormantValue, 1);
    uint8_t address = 20;
    std::shared_ptr<os::SimTcpConnection> passed;
    ASSERT_TRUE(Eventually([&] {
        passed = open(address++);
        pipeline_->Network().WaitSettled();
        return !passed->ServerReceived().empty();
    }));
    EXPECT_EQ(passed->ClientReceived(), "");
    const uint64_t lookups = pipeline_->CompletedLookups();

    SetDword(drv::kDormantValue, 0);
    std::shared_ptr<os::SimTcpConnection> blocked;
    // A connection opened before the watch read the key passes; the first one after gets its own
    // verdict (lookups of connections from before dormancy may still be finishing meanwhile).
    ASSERT_TRUE(Eventually([&] {
        blocked = open(address++);
        blocked->WaitUntil(
            [](const os::SIM_END_STATE& client, const os::SIM_END_STATE& server) {
                return !client.received.empty() || !server.received.empty();
            },
            10'000);
        return blocked->ServerReceived().empty();
    }));
    EXPECT_EQ(blocked->ClientReceived().rfind("HTTP/1.1 302 Other\r\n", 0), 0u);
    // The worker counts its lookup after it injected the verdict.
    EXPECT_TRUE(Eventually([&] { return pipeline_->CompletedLookups() > lookups; }));
}

}  // namespace
}  // namespace wexo::integration
