#include "driver/platform/remap_resolver.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/driver_settings.h"
#include "os/core/allocation.h"
#include "os/core/clock.h"
#include "tests/driver/channel/channel_fixture.h"

namespace wexo::drv {
namespace {

using std::chrono::milliseconds;
using Bytes = std::vector<uint8_t>;

const Bytes kSix1 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Bytes kSix2 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

Bytes Cat(const Bytes& a, const Bytes& b) {
    Bytes all = a;
    all.insert(all.end(), b.begin(), b.end());
    return all;
}

std::optional<Bytes> AddressOf(DNS_REMAP_TABLES& tables, const char* target,
                               os::AddressFamily family) {
    uint8_t address[16] = {};
    if (!tables.RemapTargetAddress(target, family, address)) {
        return std::nullopt;
    }
    return Bytes(address, address + (family == os::AddressFamily::IPv4 ? 4 : 16));
}

DnsRemapTarget Named(const char* name, Bytes ipv4, Bytes ipv6) {
    DnsRemapTarget target;
    target.name = const_cast<char*>(name);
    target.nameLength = static_cast<uint16_t>(std::strlen(name));
    std::memcpy(target.ipv4, ipv4.data(), 4);
    std::memcpy(target.ipv6, ipv6.data(), 16);
    return target;
}

TEST(DnsRemapTargets, TheTableGrowsToExactlyTheSizeNeededAndNeverShrinks) {
    DNS_REMAP_TARGETS table;
    std::array<std::string_view, 2> first = {"a.test", "b.test"};
    table.Update(first);
    EXPECT_EQ(table.Count(), 2u);
    EXPECT_EQ(table.Capacity(), 2u);
    // b stays (its case ignored), a goes, c and d come: three entries.
    std::array<std::string_view, 3> second = {"B.TEST", "c.test", "d.test"};
    table.Update(second);
    EXPECT_EQ(table.Count(), 3u);
    EXPECT_EQ(table.Capacity(), 3u);
    uint32_t count = 0;
    DnsRemapTarget* copy = table.Copy(&count);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(copy[0].Name(), "b.test");
    EXPECT_EQ(copy[2].Name(), "d.test");
    DNS_REMAP_TARGETS::FreeCopy(copy);
    std::array<std::string_view, 1> third = {"d.test"};
    table.Update(third);
    EXPECT_EQ(table.Count(), 1u);
    EXPECT_EQ(table.Capacity(), 3u);
    table.Update({});
    EXPECT_EQ(table.Count(), 0u);
    EXPECT_EQ(table.Copy(&count), nullptr);
    EXPECT_EQ(count, 0u);
    table.Free();
    EXPECT_EQ(os::PoolOutstanding(DNS_REMAP_TARGETS::kTableTag), 0u);
    EXPECT_EQ(os::PoolOutstanding(DNS_REMAP_TARGETS::kNameTag), 0u);
}

TEST(DnsRemapTargets, GrowthThatFailsKeepsTheOldSize) {
    DNS_REMAP_TARGETS table;
    std::array<std::string_view, 2> two = {"a.test", "b.test"};
    table.Update(two);
    std::array<std::string_view, 4> four = {"b.test", "c.test", "d.test", "e.test"};
    {
        os::ScopedPoolFailure failure(DNS_REMAP_TARGETS::kTableTag);
        table.Update(four);
    }
    // a made room for c; d and e wait for a later round.
    EXPECT_EQ(table.Capacity(), 2u);
    EXPECT_EQ(table.Count(), 2u);
    uint32_t count = 0;
    DnsRemapTarget* copy = table.Copy(&count);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(copy[1].Name(), "c.test");
    DNS_REMAP_TARGETS::FreeCopy(copy);
    table.Update(four);
    EXPECT_EQ(table.Capacity(), 4u);
    EXPECT_EQ(table.Count(), 4u);
    {
        os::ScopedPoolFailure failure(DNS_REMAP_TARGETS::kCopyTag);
        EXPECT_EQ(table.Copy(&count), nullptr);
    }
}

TEST(DnsRemapTargets, AddressesAreStoredAndFoundByNameIgnoringCase) {
    DNS_REMAP_TARGETS table;
    std::array<std::string_view, 2> names = {"safe.one", "safe.two"};
    table.Update(names);
    uint8_t address[16];
    EXPECT_FALSE(table.Address("safe.one", os::AddressFamily::IPv4, address));
    DnsRemapTarget results[] = {Named("SAFE.ONE", {1, 2, 3, 4}, kSix1),
                                Named("gone.test", {9, 9, 9, 9}, kSix2),
                                Named("safe.two", {0, 0, 0, 0}, kSix2)};
    table.StoreAddresses(results, 3);
    ASSERT_TRUE(table.Address("Safe.One", os::AddressFamily::IPv4, address));
    EXPECT_EQ(Bytes(address, address + 4), (Bytes{1, 2, 3, 4}));
    ASSERT_TRUE(table.Address("safe.one", os::AddressFamily::IPv6, address));
    EXPECT_EQ(Bytes(address, address + 16), kSix1);
    // All zero is none.
    EXPECT_FALSE(table.Address("safe.two", os::AddressFamily::IPv4, address));
    EXPECT_TRUE(table.Address("safe.two", os::AddressFamily::IPv6, address));
    EXPECT_FALSE(table.Address("gone.test", os::AddressFamily::IPv4, address));
    EXPECT_FALSE(table.Address("safe.on", os::AddressFamily::IPv4, address));
}

// The settings, the resolver, and a service that answers the resolve calls as the test says, on
// the virtual clock.
class RemapResolverTest : public testing::ChannelTest {
  protected:
    void SetUp() override {
        ChannelTest::SetUp();
        ASSERT_EQ(os::ZwCreateKey(productKey_, kProductKeyName), os::STATUS_SUCCESS);
        ASSERT_EQ(settings_.OpenProductKey(), os::STATUS_SUCCESS);
    }
    void TearDown() override {
        if (handle_ != 0) {
            service_.Close(handle_);  // cancels a call the resolver may be waiting in
        }
        resolver_.Stop();
        ChannelTest::TearDown();
    }

    void Register() { ASSERT_EQ(service_.Register(&handle_), 0u); }

    // Writes the list and has the settings read it, as the watch thread would; the wake-up that
    // the change gives is taken, so that the resolver's timing is the test's.
    void SetList(const std::vector<std::string>& strings) {
        ASSERT_EQ(os::ZwSetValueKey(productKey_, kDnsRemappingValue, os::REG_MULTI_SZ,
                                    *os::RegMultiStringData(strings)),
                  os::STATUS_SUCCESS);
        settings_.ReadProductSettings(false);
        os::WaitForSingleObject(settings_.ResolverEvent(), 0);
    }

    struct Reply {
        uint32_t code;
        std::string host;
        int32_t status;
        Bytes addresses;
    };

    // Fetches the next call (within a real-time bound: a call that never comes fails the test)
    // and answers it.
    void Serve(const Reply& reply) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        testing::ServiceProcess::Fetched fetched;
        for (;;) {
            fetched = service_.Fetch(handle_);
            if (fetched.error != os::ERROR_NOT_FOUND) {
                break;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no call for " << reply.host;
            std::this_thread::yield();
        }
        ASSERT_EQ(fetched.error, 0u);
        EXPECT_EQ(fetched.code, reply.code) << reply.host;
        DNS_NAME_REQUEST request;
        std::memcpy(&request, reinterpret_cast<const void*>(fetched.address), sizeof request);
        EXPECT_STREQ(reinterpret_cast<const char*>(request.hostName), reply.host.c_str());

        uint32_t elementSize = reply.code == SC_CODE_RESOLVE_V4 ? 4 : 16;
        block_.assign(sizeof(DNS_ADDRESS_ANSWER) + reply.addresses.size(), 0);
        DNS_ADDRESS_ANSWER answer{};
        answer.count = static_cast<uint32_t>(reply.addresses.size() / elementSize);
        if (!reply.addresses.empty()) {
            answer.addresses = reinterpret_cast<uint64_t>(block_.data() + sizeof answer);
            std::memcpy(block_.data() + sizeof answer, reply.addresses.data(),
                        reply.addresses.size());
        }
        std::memcpy(block_.data(), &answer, sizeof answer);
        SC_OUTPUT_REQUEST output{fetched.handle, reinterpret_cast<uint64_t>(block_.data()),
                                 static_cast<uint32_t>(block_.size()), reply.status};
        ASSERT_EQ(service_.Control(handle_, QRN_SC_OUTPUT, &output, sizeof output, nullptr, 0), 0u);
    }
    void Serve(std::initializer_list<Reply> replies) {
        for (const Reply& reply : replies) {
            Serve(reply);
        }
    }
    static Reply V4(std::string host, int32_t status, Bytes addresses = {}) {
        return {SC_CODE_RESOLVE_V4, std::move(host), status, std::move(addresses)};
    }
    static Reply V6(std::string host, int32_t status, Bytes addresses = {}) {
        return {SC_CODE_RESOLVE_V6, std::move(host), status, std::move(addresses)};
    }

    // One round on a thread of its own while the test plays the service.
    class Round {
      public:
        explicit Round(REMAP_RESOLVER& resolver) {
            thread_ = os::Thread::Start([this, &resolver] { good_ = resolver.RunRound(); });
        }
        bool Join() {
            thread_->Join();
            return good_;
        }

      private:
        std::atomic<bool> good_{false};
        std::shared_ptr<os::Thread> thread_;
    };

    bool NoCallWaiting() {
        return queue.InFlight() == 0 && service_.Fetch(handle_).error == os::ERROR_NOT_FOUND;
    }

    std::optional<Bytes> V4Of(const char* target) {
        return AddressOf(settings_, target, os::AddressFamily::IPv4);
    }
    std::optional<Bytes> V6Of(const char* target) {
        return AddressOf(settings_, target, os::AddressFamily::IPv6);
    }

    // A good round over the two targets of the usual list.
    void GoodRound() {
        Round round(resolver_);
        Serve({V4("safe.one", 0, {1, 1, 1, 1, 1, 1, 1, 2}), V6("safe.one", 0, Cat(kSix1, kSix2)),
               V4("safe.two", 0, {2, 2, 2, 2}), V6("safe.two", 11001)});
        ASSERT_TRUE(round.Join());
    }
    void UsualList() {
        SetList({"www.one.test,safe.one", "img.one.test,SAFE.ONE", "www.two.test,safe.two"});
    }

    os::VirtualClock clock_;
    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::RegKey productKey_;
    DRIVER_SETTINGS settings_;
    REMAP_RESOLVER resolver_{settings_, queue};
    testing::ServiceProcess service_;
    os::HANDLE handle_ = 0;
    Bytes block_;
};

TEST_F(RemapResolverTest, AGoodRoundStoresTheFirstAddressOfEachFamily) {
    Register();
    UsualList();
    GoodRound();
    // Two distinct targets, each asked for once.
    EXPECT_EQ(settings_.Targets().Count(), 2u);
    EXPECT_TRUE(NoCallWaiting());
    EXPECT_EQ(V4Of("safe.one"), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(V6Of("Safe.One"), kSix1);
    EXPECT_EQ(V4Of("safe.two"), (Bytes{2, 2, 2, 2}));
    // Not found for IPv6 is accepted: no address.
    EXPECT_EQ(V6Of("safe.two"), std::nullopt);
    EXPECT_EQ(V4Of("www.one.test"), std::nullopt);
    EXPECT_EQ(os::PoolOutstanding(DNS_REMAP_TARGETS::kCopyTag), 0u);
    EXPECT_EQ(os::PoolOutstanding(REMAP_RESOLVER::kDistinctTag), 0u);
}

TEST_F(RemapResolverTest, AnEmptyAnswerClearsTheAddress) {
    Register();
    UsualList();
    GoodRound();
    Round round(resolver_);
    Serve({V4("safe.one", 0), V6("safe.one", 0, kSix2), V4("safe.two", 0, {3, 3, 3, 3}),
           V6("safe.two", 11004)});
    ASSERT_TRUE(round.Join());
    EXPECT_EQ(V4Of("safe.one"), std::nullopt);
    EXPECT_EQ(V6Of("safe.one"), kSix2);
    EXPECT_EQ(V4Of("safe.two"), (Bytes{3, 3, 3, 3}));
}

TEST_F(RemapResolverTest, AFailedRoundLeavesTheLiveTable) {
    Register();
    UsualList();
    GoodRound();
    // safe.one learns new addresses, then safe.two fails for IPv4; its IPv6 is still asked.
    Round round(resolver_);
    Serve({V4("safe.one", 0, {9, 9, 9, 9}), V6("safe.one", 0, kSix2), V4("safe.two", 1359),
           V6("safe.two", 0, kSix2)});
    EXPECT_FALSE(round.Join());
    EXPECT_TRUE(NoCallWaiting());
    EXPECT_EQ(V4Of("safe.one"), (Bytes{1, 1, 1, 1}));
    EXPECT_EQ(V6Of("safe.one"), kSix1);
    EXPECT_EQ(V6Of("safe.two"), std::nullopt);
}

TEST_F(RemapResolverTest, IPv4NotFoundFailsTheRoundAfterTheIPv6Query) {
    Register();
    SetList({"www.six.test,six.only"});
    for (int32_t status : {11001, 11004}) {
        Round round(resolver_);
        Serve({V4("six.only", status), V6("six.only", 0, kSix1)});
        EXPECT_FALSE(round.Join()) << status;
        EXPECT_EQ(V6Of("six.only"), std::nullopt);
    }
}

TEST_F(RemapResolverTest, AnIPv6FailureEndsTheRoundAtOnce) {
    Register();
    UsualList();
    GoodRound();
    Round round(resolver_);
    Serve({V4("safe.one", 0, {7, 7, 7, 7}), V6("safe.one", 1460)});
    EXPECT_FALSE(round.Join());
    // safe.two was not asked.
    EXPECT_TRUE(NoCallWaiting());
    EXPECT_EQ(V4Of("safe.one"), (Bytes{1, 1, 1, 1}));
}

TEST_F(RemapResolverTest, WithoutAServiceTheRoundFailsWithoutCalls) {
    UsualList();
    EXPECT_FALSE(resolver_.RunRound());
    EXPECT_EQ(queue.InFlight(), 0u);
    // The table follows the list even so.
    EXPECT_EQ(settings_.Targets().Count(), 2u);
}

TEST_F(RemapResolverTest, AServiceThatGoesAwayEndsTheRound) {
    Register();
    UsualList();
    GoodRound();
    Round round(resolver_);
    Serve(V4("safe.one", 0, {5, 5, 5, 5}));
    // The service closes its handle while the IPv6 call waits (or before it is made): either way
    // the round ends there and safe.two is never asked.
    service_.Close(handle_);
    handle_ = 0;
    EXPECT_FALSE(round.Join());
    EXPECT_EQ(queue.InFlight(), 0u);
    EXPECT_EQ(V4Of("safe.one"), (Bytes{1, 1, 1, 1}));
}

TEST_F(RemapResolverTest, WithoutTargetsTheRoundFails) {
    Register();
    EXPECT_FALSE(resolver_.RunRound());
    UsualList();
    GoodRound();
    // The list goes: so do the entries, and the next round has nothing to resolve.
    settings_.ReadProductSettings(true);
    EXPECT_FALSE(resolver_.RunRound());
    EXPECT_EQ(settings_.Targets().Count(), 0u);
    EXPECT_EQ(V4Of("safe.one"), std::nullopt);
    EXPECT_TRUE(NoCallWaiting());
}

TEST_F(RemapResolverTest, AChangedListDropsOldTargetsAndAddsNewOnes) {
    Register();
    UsualList();
    GoodRound();
    SetList({"www.two.test,safe.two", "www.three.test,safe.three"});
    Round round(resolver_);
    // The kept entry keeps its place; the new one follows.
    Serve({V4("safe.two", 0, {4, 4, 4, 4}), V6("safe.two", 0, kSix1),
           V4("safe.three", 0, {6, 6, 6, 6}), V6("safe.three", 11001)});
    ASSERT_TRUE(round.Join());
    EXPECT_EQ(V4Of("safe.one"), std::nullopt);
    EXPECT_EQ(V4Of("safe.two"), (Bytes{4, 4, 4, 4}));
    EXPECT_EQ(V4Of("safe.three"), (Bytes{6, 6, 6, 6}));
    EXPECT_EQ(settings_.Targets().Capacity(), 2u);
}

TEST_F(RemapResolverTest, InStandbyTheThreadMakesNoCallsAndLooksAgainEvery15Seconds) {
    Register();
    UsualList();
    queue.SetStandby(true);
    ASSERT_EQ(resolver_.Start(), os::STATUS_SUCCESS);
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.Advance(milliseconds(15'000)));
    EXPECT_EQ(resolver_.Rounds(), 0u);
    EXPECT_EQ(queue.InFlight(), 0u);
    // The resume is seen at the next look, 30 seconds after the start.
    queue.SetStandby(false);
    ASSERT_TRUE(clock_.Advance(milliseconds(14'999)));
    EXPECT_EQ(resolver_.Rounds(), 0u);
    EXPECT_EQ(queue.InFlight(), 0u);
    ASSERT_TRUE(clock_.Advance(milliseconds(1)));
    EXPECT_EQ(resolver_.Rounds(), 1u);
    Serve({V4("safe.one", 0, {1, 1, 1, 1}), V6("safe.one", 0, kSix1),
           V4("safe.two", 0, {2, 2, 2, 2}), V6("safe.two", 0, kSix2)});
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(V6Of("safe.two"), kSix2);
}

TEST_F(RemapResolverTest, RoundsComeTwoHoursAfterSuccessAnd15SecondsAfterFailure) {
    Register();
    SetList({"www.one.test,safe.one"});
    ASSERT_EQ(resolver_.Start(), os::STATUS_SUCCESS);
    Serve({V4("safe.one", 0, {1, 1, 1, 1}), V6("safe.one", 0, kSix1)});
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(resolver_.Rounds(), 1u);
    ASSERT_TRUE(clock_.Advance(milliseconds(7'199'999)));
    EXPECT_EQ(resolver_.Rounds(), 1u);
    EXPECT_EQ(queue.InFlight(), 0u);
    ASSERT_TRUE(clock_.Advance(milliseconds(1)));
    EXPECT_EQ(resolver_.Rounds(), 2u);
    Serve({V4("safe.one", 1359), V6("safe.one", 0, kSix2)});
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.Advance(milliseconds(14'999)));
    EXPECT_EQ(resolver_.Rounds(), 2u);
    ASSERT_TRUE(clock_.Advance(milliseconds(1)));
    EXPECT_EQ(resolver_.Rounds(), 3u);
    Serve({V4("safe.one", 0, {3, 3, 3, 3}), V6("safe.one", 0, kSix2)});
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(V4Of("safe.one"), (Bytes{3, 3, 3, 3}));
}

TEST_F(RemapResolverTest, AWakeEndsTheWaitEarly) {
    Register();
    SetList({"www.one.test,safe.one"});
    ASSERT_EQ(resolver_.Start(), os::STATUS_SUCCESS);
    Serve({V4("safe.one", 0, {1, 1, 1, 1}), V6("safe.one", 0, kSix1)});
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.Advance(milliseconds(60'000)));
    // A service registered: resolve now rather than in two hours.
    resolver_.Wake();
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(resolver_.Rounds(), 2u);
    Serve({V4("safe.one", 0, {8, 8, 8, 8}), V6("safe.one", 0, kSix1)});
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(V4Of("safe.one"), (Bytes{8, 8, 8, 8}));
    // A changed list wakes it too, through the settings.
    ASSERT_EQ(os::ZwSetValueKey(
                  productKey_, kDnsRemappingValue, os::REG_MULTI_SZ,
                  *os::RegMultiStringData(std::vector<std::string>{"www.one.test,strict.one"})),
              os::STATUS_SUCCESS);
    settings_.ReadProductSettings(false);
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(resolver_.Rounds(), 3u);
    Serve({V4("strict.one", 0, {4, 4, 4, 4}), V6("strict.one", 11001)});
    ASSERT_TRUE(clock_.Settle());
    EXPECT_EQ(V4Of("strict.one"), (Bytes{4, 4, 4, 4}));
}

TEST_F(RemapResolverTest, AThreadThatCannotBeCreatedGivesItsStatus) {
    ScopedSystemThreadFailure failure;
    EXPECT_EQ(resolver_.Start(), os::STATUS_INSUFFICIENT_RESOURCES);
    resolver_.Stop();
}

}  // namespace
}  // namespace wexo::drv
