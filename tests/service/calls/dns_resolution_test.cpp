#include "service/calls/dns_resolution.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/records.h"
#include "os/core/status.h"
#include "service/calls/request_block.h"
#include "service_test_support.h"

namespace wexo::svc::testing {
namespace {

// A DNS_NAME_REQUEST block as the driver writes it: the record, then the NUL-terminated name.
struct NameBlock {
    explicit NameBlock(const std::string& name) {
        bytes.resize(sizeof(DNS_NAME_REQUEST) + name.size() + 1);
        std::memcpy(bytes.data() + sizeof(DNS_NAME_REQUEST), name.c_str(), name.size() + 1);
        SetPointer(reinterpret_cast<uint64_t>(bytes.data() + sizeof(DNS_NAME_REQUEST)));
    }
    void SetPointer(uint64_t pointer) { std::memcpy(bytes.data(), &pointer, sizeof pointer); }
    uint32_t Size() const { return static_cast<uint32_t>(bytes.size()); }
    std::vector<uint8_t> bytes;
};

TEST(RequestBlockTest, PartsMustLieInTheBlockAfterTheRecord) {
    std::vector<uint8_t> bytes(64);
    REQUEST_BLOCK block(bytes.data(), 64);
    uint64_t base = block.Address();
    std::string_view part;
    EXPECT_TRUE(block.Part(base + 16, 48, 16, &part));
    EXPECT_EQ(part.size(), 48u);
    EXPECT_FALSE(block.Part(base + 16, 49, 16, &part));  // one past the end
    EXPECT_FALSE(block.Part(base + 8, 4, 16, &part));    // inside the fixed record
    EXPECT_FALSE(block.Part(base - 4, 4, 16, &part));    // before the block
    EXPECT_FALSE(block.Part(base + 65, 1, 16, &part));
    EXPECT_FALSE(block.Part(base + 16, 0xFFFFFFFF, 16, &part));
    EXPECT_FALSE(block.Part(~0ull - 2, 8, 16, &part));  // a range that would wrap
    EXPECT_TRUE(block.Part(0x1234, 0, 16, &part));      // empty, whatever the pointer
    EXPECT_TRUE(part.empty());
    EXPECT_FALSE(REQUEST_BLOCK(bytes.data(), 8).Part(base + 16, 1, 16, &part));
}

TEST(RequestBlockTest, StringsNeedTheirTerminatorInsideTheBlock) {
    std::vector<uint8_t> bytes(16, 'a');
    REQUEST_BLOCK block(bytes.data(), 16);
    std::string_view text;
    EXPECT_FALSE(block.String(block.Address() + 8, 8, &text));
    bytes[15] = 0;
    ASSERT_TRUE(block.String(block.Address() + 8, 8, &text));
    EXPECT_EQ(text, "aaaaaaa");
    EXPECT_TRUE(block.String(0, 8, &text));
    EXPECT_TRUE(text.empty());
    EXPECT_FALSE(block.String(block.Address() + 16, 8, &text));
}

TEST(ParseDnsNameRequestTest, GoodAndBadBlocks) {
    NameBlock good("www.example.test");
    std::string_view host;
    ASSERT_TRUE(ParseDnsNameRequest(good.bytes.data(), good.Size(), &host));
    EXPECT_EQ(host, "www.example.test");
    // The terminator cut off by a size that is one short.
    EXPECT_FALSE(ParseDnsNameRequest(good.bytes.data(), good.Size() - 1, &host));
    EXPECT_FALSE(ParseDnsNameRequest(good.bytes.data(), 7, &host));
    NameBlock outside("x.test");
    outside.SetPointer(reinterpret_cast<uint64_t>(&host));
    EXPECT_FALSE(ParseDnsNameRequest(outside.bytes.data(), outside.Size(), &host));
    NameBlock empty("");
    empty.SetPointer(0);
    ASSERT_TRUE(ParseDnsNameRequest(empty.bytes.data(), empty.Size(), &host));
    EXPECT_TRUE(host.empty());
}

class DnsResolutionTest : public ::testing::Test {
  protected:
    std::vector<std::vector<uint8_t>> Addresses(const RECORDED_ANSWER& answer, size_t size) {
        auto record = answer.Record<DNS_ADDRESS_ANSWER>();
        std::string bytes = answer.Part(record.addresses, uint64_t{record.count} * size);
        std::vector<std::vector<uint8_t>> out;
        for (size_t i = 0; i + size <= bytes.size(); i += size) {
            out.emplace_back(bytes.begin() + static_cast<long>(i),
                             bytes.begin() + static_cast<long>(i + size));
        }
        return out;
    }
    RECORDED_ANSWER Run(uint32_t code, const std::string& name) {
        SERVICE_CALL call(recorder, MakeCallHandle(3, 77), code);
        NameBlock block(name);
        DispatchResolveDnsName(call, code == 2 ? AddressFamily::V6 : AddressFamily::V4,
                               block.bytes.data(), block.Size());
        EXPECT_TRUE(call.Completed());
        return recorder.Last();
    }

    TABLE_RESOLVER resolver;
    ScopedNameResolver scoped{resolver};
    LOG_CAPTURE log;
    CALL_RECORDER recorder;
};

TEST_F(DnsResolutionTest, BothFamiliesWithoutLoopbackInResolverOrder) {
    resolver.Add("dual.test", {IP_ADDRESS::V4(198, 51, 100, 2), IP_ADDRESS::V4(127, 0, 0, 1),
                               IP_ADDRESS::V4(198, 51, 100, 1),
                               V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
                               V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})});
    RECORDED_ANSWER v4 = Run(1, "dual.test");
    EXPECT_EQ(v4.status, 0);
    EXPECT_EQ(Addresses(v4, 4),
              (std::vector<std::vector<uint8_t>>{{198, 51, 100, 2}, {198, 51, 100, 1}}));
    EXPECT_TRUE(log.Has("SC_ResolveDnsNameV4: SC#77,\n    Host = \"dual.test\""));
    EXPECT_TRUE(
        log.Has("SC_ResolveDnsNameV4: SC#77,\n    Host = \"dual.test\", IPv4 = 198.51.100.1"));
    EXPECT_TRUE(log.Has("SC_ResolveDnsNameV4: SC#77, Complete"));

    RECORDED_ANSWER v6 = Run(2, "dual.test");
    EXPECT_EQ(v6.status, 0);
    auto six = Addresses(v6, 16);
    ASSERT_EQ(six.size(), 1u);
    EXPECT_EQ(IP_ADDRESS(16, six[0].data()).ToText(), "2001:db8:0:0:0:0:0:1");
    EXPECT_TRUE(log.Has("SC_ResolveDnsNameV6: SC#77, \n    Host = \"dual.test\""));
    EXPECT_TRUE(log.Has(
        "SC_ResolveDnsNameV6: SC#77,\n    Host = \"dual.test\", IPv6 = 2001:db8:0:0:0:0:0:1"));
}

TEST_F(DnsResolutionTest, OnlyLoopbackGivesAnEmptyArrayWithStatusZero) {
    resolver.Add("localhost.test", {IP_ADDRESS::V4(127, 0, 0, 1)});
    RECORDED_ANSWER answer = Run(1, "localhost.test");
    EXPECT_EQ(answer.status, 0);
    auto record = answer.Record<DNS_ADDRESS_ANSWER>();
    EXPECT_EQ(record.count, 0u);
    EXPECT_EQ(record.addresses, 0u);
}

TEST_F(DnsResolutionTest, ResolverErrorsAreTheStatusAndOnlyUnusualOnesAreErrors) {
    RECORDED_ANSWER missing = Run(1, "missing.test");
    EXPECT_EQ(missing.status, 11001);
    EXPECT_EQ(missing.Record<DNS_ADDRESS_ANSWER>().count, 0u);
    EXPECT_TRUE(log.Has("SC_ResolveDnsNameV4: SC#77, Complete with error = 11001"));
    EXPECT_EQ(Run(2, "missing.test").status, 11001);

    resolver.Add("v4only.test", {IP_ADDRESS::V4(192, 0, 2, 1)});
    EXPECT_EQ(Run(2, "v4only.test").status, 11004);

    // Detail lines are not written when Verbose is off; the unusual error still is.
    DebugSetMode(DEBUG_OUTPUT_NO_TIME_STAMP);
    log.Clear();
    Run(1, "missing.test");
    EXPECT_EQ(log.Count("Unable to resolve"), 0u);
    resolver.Fail("broken.test", os::WSANO_RECOVERY);
    EXPECT_EQ(Run(1, "broken.test").status, 11003);
    EXPECT_TRUE(
        log.Has("SC_ResolveDnsNameV4: SC#77,\n    Unable to resolve host name "
                "\"broken.test\".\n    A non-recoverable error occurred during a database "
                "lookup Error code = 11003"));
}

TEST_F(DnsResolutionTest, AnEmptyResultIsAnEmptyTable) {
    resolver.Add("nothing.test", {});
    RECORDED_ANSWER answer = Run(1, "nothing.test");
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.Record<DNS_ADDRESS_ANSWER>().count, 0u);
    EXPECT_TRUE(log.Has("SC_ResolveDnsNameV4: SC#77, Empty address table"));
}

TEST_F(DnsResolutionTest, ABlockThatDoesNotAddUpIsRefusedUnread) {
    NameBlock block("x.test");
    block.SetPointer(reinterpret_cast<uint64_t>(block.bytes.data()) + 4096);
    SERVICE_CALL call(recorder, MakeCallHandle(0, 9), 1);
    DispatchResolveDnsName(call, AddressFamily::V4, block.bytes.data(), block.Size());
    EXPECT_EQ(recorder.Last().status, SC_STATUS_BAD_REQUEST);
    EXPECT_TRUE(resolver.Asked().empty());
    EXPECT_EQ(log.Count("SC_ResolveDnsNameV4: SC#9, Malformed request block"), 1u);
}

// The system resolver through the handler, on a name every machine has.
TEST(DnsResolutionSystemTest, LocalhostResolvesToNothingButLoopback) {
    LOG_CAPTURE log;
    CALL_RECORDER recorder;
    SERVICE_CALL call(recorder, MakeCallHandle(0, 1), 1);
    SC_ResolveDnsNameV4(call, "localhost");
    RECORDED_ANSWER answer = recorder.Last();
    EXPECT_EQ(answer.status, 0);
    EXPECT_EQ(answer.Record<DNS_ADDRESS_ANSWER>().count, 0u);
}

}  // namespace
}  // namespace wexo::svc::testing
