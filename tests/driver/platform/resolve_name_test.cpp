#include "driver/platform/resolve_name.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "tests/driver/channel/channel_fixture.h"

namespace wexo::drv::testing {
namespace {

// A driver thread resolving one name, as the DNS-remap resolver thread does.
class Resolver {
  public:
    Resolver(SERVICE_CALL_QUEUE& queue, std::string host, NameFamily family)
        : host_(std::move(host)) {
        thread_ = os::Thread::Start(
            [this, &queue, family] { result_.emplace(ResolveName(queue, host_, family)); });
    }
    RESOLVE_RESULT& Join() {
        thread_->Join();
        return *result_;
    }

  private:
    std::string host_;
    std::optional<RESOLVE_RESULT> result_;
    std::shared_ptr<os::Thread> thread_;
};

class ResolveNameTest : public ChannelTest {
  protected:
    void SetUp() override {
        ChannelTest::SetUp();
        ASSERT_EQ(service.Register(&handle), 0u);
    }

    ServiceProcess::Fetched FetchNext() {
        for (;;) {
            auto fetched = service.Fetch(handle);
            if (fetched.error != os::ERROR_NOT_FOUND) {
                return fetched;
            }
            std::this_thread::yield();
        }
    }

    uint32_t AnswerAddresses(uint64_t call, int32_t status, const std::vector<uint8_t>& addresses,
                             uint32_t elementSize) {
        return service.AnswerAddresses(handle, call, status, addresses, elementSize);
    }

    ServiceProcess service;
    os::HANDLE handle = 0;
};

TEST_F(ResolveNameTest, IPv4AddressesAreCopiedToPool) {
    Resolver resolver(queue, "safe.search.test", NameFamily::V4);
    auto fetched = FetchNext();
    ASSERT_EQ(fetched.error, 0u);
    EXPECT_EQ(fetched.code, SC_CODE_RESOLVE_V4);
    EXPECT_EQ(fetched.timeout, 240u);
    // The name arrives NUL-terminated inside the block.
    DNS_NAME_REQUEST request;
    std::memcpy(&request, reinterpret_cast<const void*>(fetched.address), sizeof request);
    EXPECT_EQ(fetched.size, sizeof request + sizeof("safe.search.test"));
    EXPECT_STREQ(reinterpret_cast<const char*>(request.hostName), "safe.search.test");

    ASSERT_EQ(AnswerAddresses(fetched.handle, 0, {216, 239, 38, 120, 216, 239, 38, 121}, 4), 0u);
    RESOLVE_RESULT& result = resolver.Join();
    EXPECT_EQ(result.outcome, ResolveOutcome::Resolved);
    EXPECT_EQ(result.call, CallResult::Answered);
    ASSERT_EQ(result.addresses.Count(), 2u);
    EXPECT_EQ(result.addresses.ElementSize(), 4u);
    EXPECT_EQ(std::memcmp(result.addresses.Address(1), "\xD8\xEF\x26\x79", 4), 0);
    EXPECT_EQ(os::PoolOutstanding(RESOLVED_ADDRESSES::kTag), 1u);
    result.addresses = RESOLVED_ADDRESSES();
    EXPECT_EQ(os::PoolOutstanding(RESOLVED_ADDRESSES::kTag), 0u);
    EXPECT_EQ(os::PoolOutstanding(os::MakePoolTag("RNhn")), 0u);
    EXPECT_EQ(os::PoolOutstanding(SERVICE_CALL_QUEUE::kAnswerTag), 0u);
}

TEST_F(ResolveNameTest, ManyIPv6AddressesAndAnEmptyTable) {
    {
        Resolver resolver(queue, "six.test", NameFamily::V6);
        auto fetched = FetchNext();
        EXPECT_EQ(fetched.code, SC_CODE_RESOLVE_V6);
        // 40 addresses do not fit the 512-byte answer buffer: the copy goes through pool.
        std::vector<uint8_t> addresses(40 * 16);
        for (size_t i = 0; i < addresses.size(); ++i) {
            addresses[i] = static_cast<uint8_t>(i);
        }
        ASSERT_EQ(AnswerAddresses(fetched.handle, 0, addresses, 16), 0u);
        RESOLVE_RESULT& result = resolver.Join();
        EXPECT_EQ(result.outcome, ResolveOutcome::Resolved);
        ASSERT_EQ(result.addresses.Count(), 40u);
        EXPECT_EQ(std::memcmp(result.addresses.Address(39), addresses.data() + 39 * 16, 16), 0);
        EXPECT_EQ(os::PoolOutstanding(SERVICE_CALL_QUEUE::kAnswerTag), 0u);
    }
    Resolver resolver(queue, "loopback-only.test", NameFamily::V4);
    ASSERT_EQ(AnswerAddresses(FetchNext().handle, 0, {}, 4), 0u);
    RESOLVE_RESULT& result = resolver.Join();
    EXPECT_EQ(result.outcome, ResolveOutcome::Resolved);
    EXPECT_EQ(result.addresses.Count(), 0u);
}

TEST_F(ResolveNameTest, StatusesAreSorted) {
    struct CASE {
        int32_t status;
        ResolveOutcome outcome;
    };
    for (CASE c : {CASE{11001, ResolveOutcome::NotFound}, CASE{11004, ResolveOutcome::NotFound},
                   CASE{11002, ResolveOutcome::Failed}, CASE{1359, ResolveOutcome::Failed},
                   CASE{1, ResolveOutcome::Failed}}) {
        Resolver resolver(queue, "x.test", NameFamily::V4);
        // A non-zero status carries no addresses, whatever the record says.
        ASSERT_EQ(AnswerAddresses(FetchNext().handle, c.status, {1, 2, 3, 4}, 4), 0u);
        RESOLVE_RESULT& result = resolver.Join();
        EXPECT_EQ(result.outcome, c.outcome) << c.status;
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.addresses.Count(), 0u);
    }
}

TEST_F(ResolveNameTest, UnansweredCallsFailAndAMissingServiceIsNoService) {
    Resolver resolver(queue, "x.test", NameFamily::V4);
    auto fetched = FetchNext();
    ASSERT_EQ(fetched.error, 0u);
    service.Close(handle);  // the service goes away: every call is cancelled
    RESOLVE_RESULT& result = resolver.Join();
    EXPECT_EQ(result.outcome, ResolveOutcome::Failed);
    EXPECT_EQ(result.call, CallResult::Cancelled);

    RESOLVE_RESULT none = ResolveName(queue, "x.test", NameFamily::V6);
    EXPECT_EQ(none.outcome, ResolveOutcome::NoService);
    EXPECT_STREQ(ResolveOutcomeName(none.outcome), "no service");
}

TEST_F(ResolveNameTest, NoPoolForTheNameOrTheAddressesFailsTheRound) {
    {
        os::ScopedPoolFailure failure(os::MakePoolTag("RNhn"));
        RESOLVE_RESULT result = ResolveName(queue, "x.test", NameFamily::V4);
        EXPECT_EQ(result.outcome, ResolveOutcome::Failed);
        EXPECT_EQ(queue.InFlight(), 0u);
    }
    os::ScopedPoolFailure failure(RESOLVED_ADDRESSES::kTag);
    Resolver resolver(queue, "x.test", NameFamily::V4);
    ASSERT_EQ(AnswerAddresses(FetchNext().handle, 0, {1, 2, 3, 4}, 4), 0u);
    EXPECT_EQ(resolver.Join().outcome, ResolveOutcome::Failed);
    EXPECT_EQ(os::PoolOutstanding(os::MakePoolTag("RNhn")), 0u);
    EXPECT_EQ(os::PoolOutstanding(SERVICE_CALL_QUEUE::kAnswerTag), 0u);
}

}  // namespace
}  // namespace wexo::drv::testing
