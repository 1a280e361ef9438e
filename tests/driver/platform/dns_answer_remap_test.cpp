// The DNS answer rewriting: the name walk, the question parse and the alias encoding on their own,
// then the whole classify plugged into the filtering-platform registration, with answers from a
// resolver on the simulated network.
#include "driver/platform/dns_answer_remap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "driver/channel/service_call_queue.h"
#include "driver/filter/address_names.h"
#include "driver/filter/wfp_registration.h"
#include "os/wfp/sim/sim_network.h"
#include "os/wfp/wfp_engine.h"

namespace wexo::drv {
namespace {

using Bytes = std::vector<uint8_t>;

const os::IP_ADDRESS_BYTES kResolver = os::MakeIPv4Address(192, 0, 2, 53);
const os::IP_ADDRESS_BYTES kResolverV6 =
    os::MakeIPv6Address({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x53});
const Bytes kSafeV4 = {192, 0, 2, 80};
const Bytes kSafeV6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x80};

// The remap list and resolver table as the driver's settings would hold them.
class TEST_REMAP_TABLES : public DNS_REMAP_TABLES {
  public:
    bool UnencryptedSearch() const override { return unencryptedSearch; }
    char* RemapLookup(const char* host) override {
        std::string key(host);
        for (char& c : key) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        auto it = remaps.find(key);
        const std::string* target = it != remaps.end() ? &it->second
                                    : remapAll         ? &*remapAll
                                                       : nullptr;
        if (target == nullptr) {
            return nullptr;
        }
        auto* copy = static_cast<char*>(
            os::ExAllocatePoolWithTag(os::PoolType::NonPaged, target->size() + 1, kRemapTargetTag));
        if (copy != nullptr) {
            std::memcpy(copy, target->c_str(), target->size() + 1);
        }
        return copy;
    }
    bool RemapTargetAddress(const char* target, os::AddressFamily family,
                            uint8_t* address) override {
        auto& table = family == os::AddressFamily::IPv4 ? v4 : v6;
        auto it = table.find(target);
        if (it == table.end()) {
            return false;
        }
        std::memcpy(address, it->second.data(), it->second.size());
        return true;
    }

    std::atomic<bool> unencryptedSearch{true};
    std::map<std::string, std::string> remaps;  // lower-case source -> target
    std::optional<std::string> remapAll;        // the target of every other name
    std::map<std::string, Bytes> v4, v6;
};

// ---- Building messages ----

void Add16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Add(Bytes& b, std::initializer_list<uint8_t> bytes) {
    b.insert(b.end(), bytes);
}
void Add(Bytes& b, std::string_view text) {
    b.insert(b.end(), text.begin(), text.end());
}

Bytes Labels(std::string_view dotted) {
    Bytes out;
    while (!dotted.empty()) {
        size_t dot = dotted.find('.');
        std::string_view label = dotted.substr(0, dot);
        out.push_back(static_cast<uint8_t>(label.size()));
        Add(out, label);
        dotted = dot == std::string_view::npos ? "" : dotted.substr(dot + 1);
    }
    out.push_back(0);
    return out;
}

Bytes Header(uint16_t flags, uint16_t questions, uint16_t answers, uint16_t extra = 0) {
    Bytes b;
    Add16(b, 0x1234);
    Add16(b, flags);
    Add16(b, questions);
    Add16(b, answers);
    Add16(b, extra);
    Add16(b, extra);
    return b;
}

// A resolver's answer: one question and one address record, with (`records` 3) an authority and
// an additional record, which the rewrite drops.
Bytes Answer(std::string_view name, uint16_t type = kDnsTypeA, uint16_t qclass = kDnsClassIn,
             uint16_t flags = 0x8180, int records = 3) {
    Bytes b = Header(flags, 1, 1, records == 3 ? 1 : 0);
    Bytes labels = Labels(name);
    b.insert(b.end(), labels.begin(), labels.end());
    Add16(b, type);
    Add16(b, qclass);
    for (int record = 0; record < records; ++record) {
        Add(b, {0xC0, 0x0C});
        Add16(b, type);
        Add16(b, qclass);
        Add(b, {0, 0, 0, 60});
        Bytes data = type == kDnsTypeAaaa ? Bytes(16, 0x66) : Bytes{93, 184, 216, 34};
        Add16(b, static_cast<uint16_t>(data.size()));
        b.insert(b.end(), data.begin(), data.end());
    }
    return b;
}

// Header (answer count given), then the question of `name` as it came.
Bytes Rewritten(std::string_view name, uint16_t type, uint16_t answers) {
    Bytes b = Header(0x8180, 1, answers);
    Bytes labels = Labels(name);
    b.insert(b.end(), labels.begin(), labels.end());
    Add16(b, type);
    Add16(b, kDnsClassIn);
    return b;
}

void AddAlias(Bytes& b, const Bytes& data) {
    Add(b, {0xC0, 0x0C, 0, 5, 0, 1, 0, 0, 0x0E, 0x10});
    Add16(b, static_cast<uint16_t>(data.size()));
    b.insert(b.end(), data.begin(), data.end());
}
void AddAddress(Bytes& b, uint16_t aliasData, uint16_t type, const Bytes& address) {
    Add16(b, 0xC000 | aliasData);
    Add16(b, type);
    Add(b, {0, 1, 0, 0, 0x0E, 0x10});
    Add16(b, static_cast<uint16_t>(address.size()));
    b.insert(b.end(), address.begin(), address.end());
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char buffer[4];
    for (uint8_t b : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02x ", b);
        out += buffer;
    }
    return out;
}

// ---- The name walk ----

DnsParseStatus Read(const Bytes& message, size_t offset, DNS_NAME* name) {
    return ReadDnsName(message, offset, name);
}

TEST(DnsNameWalkTest, ReadsLabelsIntoDottedTextAndFollowsPointersBackwards) {
    // www.example.com at 12, "mail" + pointer to example.com at 29, "a" + pointer to mail at 36.
    Bytes m = Concat(Header(0x8180, 1, 0), Labels("www.example.com"));
    Add(m, {4, 'm', 'a', 'i', 'l', 0xC0, 16, 1, 'a', 0xC0, 29});
    DNS_NAME name;
    ASSERT_EQ(Read(m, 12, &name), DnsParseStatus::Ok);
    EXPECT_STREQ(name.text, "www.example.com");
    EXPECT_EQ(name.textLength, 15u);
    EXPECT_EQ(name.end, 29u);
    EXPECT_EQ(name.wireLength, 17u);
    EXPECT_FALSE(name.compressed);
    ASSERT_EQ(Read(m, 29, &name), DnsParseStatus::Ok);
    EXPECT_STREQ(name.text, "mail.example.com");
    EXPECT_EQ(name.end, 36u) << "the name ends at its first pointer";
    EXPECT_TRUE(name.compressed);
    ASSERT_EQ(Read(m, 36, &name), DnsParseStatus::Ok);
    EXPECT_STREQ(name.text, "a.mail.example.com");
    EXPECT_EQ(name.end, 40u);
    Bytes root = {0};
    ASSERT_EQ(Read(root, 0, &name), DnsParseStatus::Ok);
    EXPECT_STREQ(name.text, "");
}

TEST(DnsNameWalkTest, APointerThatDoesNotLeadBackEndsTheWalk) {
    Bytes m = Concat(Header(0x8180, 1, 0), Labels("www.example.com"));  // 12..28
    Add(m, {0xC0, 29});                                                 // 29: to itself
    Add(m, {0xC0, 33});                                                 // 31: forward to 33
    Add(m, {0xC0, 31});                                                 // 33: back to 31
    Add(m, {1, 'x', 0xC0, 35});                                         // 35: into its own labels
    DNS_NAME name;
    EXPECT_EQ(Read(m, 29, &name), DnsParseStatus::NameBadPointer);
    EXPECT_EQ(Read(m, 31, &name), DnsParseStatus::NameBadPointer);
    EXPECT_EQ(Read(m, 33, &name), DnsParseStatus::NameBadPointer) << "31 -> 33 goes forward";
    EXPECT_EQ(Read(m, 35, &name), DnsParseStatus::NameBadPointer);
}

TEST(DnsNameWalkTest, FailsOnWhatRunsPastTheMessageOrCannotBeALength) {
    DNS_NAME name;
    EXPECT_EQ(Read({3, 'w', 'w'}, 0, &name), DnsParseStatus::NamePastMessage);
    EXPECT_EQ(Read({3, 'w', 'w', 'w'}, 0, &name), DnsParseStatus::NamePastMessage)
        << "no zero byte";
    EXPECT_EQ(Read({1, 'a', 0xC0}, 0, &name), DnsParseStatus::NamePastMessage);
    Bytes far = {0, 1, 'a', 0xC0, 0x40};
    EXPECT_EQ(Read(far, 1, &name), DnsParseStatus::NamePastMessage);
    EXPECT_EQ(Read({1, 'a', 0x40, 'b', 0}, 0, &name), DnsParseStatus::NameBadLengthByte);
    EXPECT_EQ(Read({0x80, 'b', 0}, 0, &name), DnsParseStatus::NameBadLengthByte);
    EXPECT_EQ(Read({3, 'a', '.', 'b', 0}, 0, &name), DnsParseStatus::NameAmbiguous);
    EXPECT_EQ(Read({3, 'a', 0, 'b', 0}, 0, &name), DnsParseStatus::NameAmbiguous);
}

TEST(DnsNameWalkTest, TheWholeNameMayTake255Bytes) {
    std::string l63(63, 'a');
    std::string longest = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b');
    DNS_NAME name;
    ASSERT_EQ(ReadDnsName(Labels(longest), 0, &name), DnsParseStatus::Ok);
    EXPECT_EQ(name.wireLength, 255u);
    EXPECT_EQ(name.text, longest);
    EXPECT_EQ(ReadDnsName(Labels(longest + "b"), 0, &name), DnsParseStatus::NameTooLong);
    // Pointers do not count, but their labels do, wherever they are.
    Bytes m = Labels(l63 + "." + l63 + "." + l63);
    size_t second = m.size();
    Bytes tail = Labels(std::string(62, 'c'));
    tail.pop_back();
    m.insert(m.end(), tail.begin(), tail.end());
    Add(m, {0xC0, 0});
    EXPECT_EQ(ReadDnsName(m, second, &name), DnsParseStatus::NameTooLong);
}

// ---- The question ----

struct CASE {
    const char* what;
    Bytes message;
    DnsParseStatus status;
};

// Answers that must pass unchanged, whatever the remap list says.
std::vector<CASE> UnchangedCases() {
    std::vector<CASE> cases;
    Bytes two = Answer("www.search.test");
    two[5] = 2;
    cases.push_back({"two questions", two, DnsParseStatus::QuestionCount});
    cases.push_back(
        {"class CH", Answer("www.search.test", kDnsTypeA, 3), DnsParseStatus::NotInternetClass});
    cases.push_back({"type MX", Answer("www.search.test", 15), DnsParseStatus::NotAddressType});
    cases.push_back({"a query", Answer("www.search.test", kDnsTypeA, kDnsClassIn, 0x0100),
                     DnsParseStatus::NotResponse});
    Bytes cut = Answer("www.search.test");
    cut.resize(11);
    cases.push_back({"header cut", cut, DnsParseStatus::TooShort});
    cut = Answer("www.search.test");
    cut.resize(20);
    cases.push_back({"name cut", cut, DnsParseStatus::NamePastMessage});
    cut = Answer("www.search.test");
    cut.resize(31);
    cases.push_back({"class cut", cut, DnsParseStatus::QuestionPastMessage});
    std::string l63(63, 'a');
    cases.push_back({"name past 255", Answer(l63 + "." + l63 + "." + l63 + "." + l63),
                     DnsParseStatus::NameTooLong});
    Bytes bad = Answer("www.search.test");
    bad[16] = 0x46;
    cases.push_back({"bad label length", bad, DnsParseStatus::NameBadLengthByte});
    auto pointerAt12 = [](std::initializer_list<uint8_t> name) {
        Bytes m = Header(0x8180, 1, 1);
        Add(m, name);
        Add16(m, kDnsTypeA);
        Add16(m, kDnsClassIn);
        Add(m, {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 1, 2, 3, 4});
        return m;
    };
    cases.push_back({"pointer past the message", pointerAt12({3, 'w', 'w', 'w', 0xC0, 0xF0}),
                     DnsParseStatus::NamePastMessage});
    cases.push_back({"self pointer", pointerAt12({0xC0, 0x0C}), DnsParseStatus::NameBadPointer});
    // 12 -> 34, where a pointer leads back to 12.
    Bytes loop = pointerAt12({0xC0, 34});
    Add(loop, {0xC0, 0x0C});
    cases.push_back({"two-pointer loop", loop, DnsParseStatus::NameBadPointer});
    return cases;
}

TEST(DnsQuestionTest, AcceptsOneAOrAaaaQuestionOfClassInInAResponse) {
    DNS_QUESTION question;
    ASSERT_EQ(ParseDnsQuestion(Answer("WWW.Search.test"), &question), DnsParseStatus::Ok);
    EXPECT_STREQ(question.name.text, "WWW.Search.test");
    EXPECT_EQ(question.type, kDnsTypeA);
    EXPECT_EQ(question.end, 12u + 17 + 4);
    ASSERT_EQ(ParseDnsQuestion(Answer("a.test", kDnsTypeAaaa), &question), DnsParseStatus::Ok);
    EXPECT_EQ(question.type, kDnsTypeAaaa);
    for (const CASE& c : UnchangedCases()) {
        EXPECT_EQ(ParseDnsQuestion(c.message, &question), c.status) << c.what;
    }
}

// ---- The alias encoding ----

Bytes Encode(std::string_view question, std::string_view target, size_t room = 300) {
    Bytes out(room);
    out.resize(EncodeAliasTarget(question, target, out));
    return out;
}

TEST(AliasTargetTest, ASharedTailBecomesAPointerIntoTheQuestion) {
    EXPECT_EQ(Encode("www.search.test", "safe.search.test"),
              (Bytes{4, 's', 'a', 'f', 'e', 0xC0, 16}));
    EXPECT_EQ(Encode("WWW.SEARCH.Test", "safe.search.test."),
              (Bytes{4, 's', 'a', 'f', 'e', 0xC0, 16}))
        << "case ignored, a trailing dot accepted";
    // Only whole labels are shared: "bexample" is not "example".
    EXPECT_EQ(Encode("www.bexample.com", "safe.example.com"),
              (Bytes{4, 's', 'a', 'f', 'e', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0xC0, 12 + 13}));
    // The dot walk stops where the shorter name ends.
    EXPECT_EQ(Encode("www.search.test", "search.test"),
              (Bytes{6, 's', 'e', 'a', 'r', 'c', 'h', 0xC0, 12 + 11}));
}

TEST(AliasTargetTest, WithoutAUsableTailTheWholeTargetIsWritten) {
    EXPECT_EQ(Encode("videos.test", "restrict.tube.example"), Labels("restrict.tube.example"));
    EXPECT_EQ(Encode("www.search.test", "xww.search.test"), Labels("xww.search.test"))
        << "same length, only the first character differs";
    EXPECT_EQ(Encode("", "safe.test"), Labels("safe.test"));
}

TEST(AliasTargetTest, TargetsThatDnsCannotCarryAreRefused) {
    std::string l63(63, 'a');
    EXPECT_FALSE(Encode("www.test", std::string(64, 'a') + ".test").size());
    EXPECT_TRUE(Encode("www.test", l63 + ".test").size());
    std::string longest = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b');
    EXPECT_EQ(Encode("x", longest).size(), 255u);
    EXPECT_FALSE(Encode("x", longest + "b").size());
    for (std::string_view bad : {"", ".", ".test", "a..test", "test.."}) {
        EXPECT_FALSE(Encode("www.test", bad).size()) << bad;
        EXPECT_FALSE(IsEncodableTargetName(bad)) << bad;
    }
    EXPECT_FALSE(Encode("www.search.test", "safe.search.test", 6).size()) << "no room";
}

TEST(RemappedAnswerTest, ACompressedQuestionNameIsNotRewritten) {
    // "www" and a pointer to the zero byte that ends the header: a name that leans on the header.
    Bytes m = Header(0x8180, 1, 0);
    Add(m, {3, 'w', 'w', 'w', 0xC0, 11});
    Add16(m, kDnsTypeA);
    Add16(m, kDnsClassIn);
    DNS_QUESTION question;
    ASSERT_EQ(ParseDnsQuestion(m, &question), DnsParseStatus::Ok);
    EXPECT_TRUE(question.name.compressed);
    Bytes out(kMaxRemappedAnswerSize);
    EXPECT_EQ(BuildRemappedAnswer(m, question, "safe.test", kSafeV4.data(), out), 0u);
    ASSERT_EQ(ParseDnsQuestion(Answer("www.test"), &question), DnsParseStatus::Ok);
    EXPECT_EQ(BuildRemappedAnswer(Answer("www.test"), question, "safe.test", kSafeV4.data(),
                                  std::span<uint8_t>(out).first(40)),
              0u)
        << "no room";
}

// ---- End to end ----

class DnsAnswerRemapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(queue.Initialise());
        registration.SetDatagramClassify([this](const auto& values, const auto& metadata,
                                                void* data, const auto& f, uint64_t context,
                                                auto& out) {
            remap.InspectInboundDatagram(values, metadata, data, f, context, out);
            std::lock_guard guard(lock);
            decisions.push_back(out);
        });
        ASSERT_EQ(registration.Initialise(), os::STATUS_SUCCESS);
        tables.remaps = {{"www.search.test", "safe.search.test"},
                         {"videos.test", "restrict.tube.example"}};
        tables.v4 = {{"safe.search.test", kSafeV4}, {"restrict.tube.example", kSafeV4}};
        tables.v6 = {{"safe.search.test", kSafeV6}};
    }
    void TearDown() override {
        network.reset();
        registration.TearDown();
        queue.ShutDown();
        EXPECT_EQ(os::PoolOutstanding(os::kWfpCloneTag), 0u);
        EXPECT_EQ(os::PoolOutstanding(kRemapTargetTag), 0u);
        EXPECT_EQ(os::PoolOutstanding(kDnsPacketCopyTag), 0u);
    }

    // The resolver sends `answer`; what the client received.
    std::vector<os::SIM_DATAGRAM> Exchange(const Bytes& answer, bool fragmented = false,
                                           const os::IP_ADDRESS_BYTES& resolver = kResolver) {
        auto udp = network->OpenUdp(resolver, 53, std::nullopt);
        udp->ServerSend(answer, fragmented);
        EXPECT_TRUE(network->WaitSettled());
        return udp->ClientReceived();
    }
    void ExpectRewritten(const Bytes& answer, const Bytes& expected, bool fragmented = false,
                         const os::IP_ADDRESS_BYTES& resolver = kResolver) {
        auto received = Exchange(answer, fragmented, resolver);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_TRUE(received[0].injected);
        EXPECT_EQ(Hex(received[0].payload), Hex(expected));
    }
    void ExpectUnchanged(const Bytes& answer, bool fragmented = false) {
        auto received = Exchange(answer, fragmented);
        ASSERT_EQ(received.size(), 1u);
        EXPECT_FALSE(received[0].injected);
        EXPECT_EQ(received[0].payload, answer);
    }

    // An inbound answer as the datagram layer indicates it, for calling the classify directly.
    static os::NetBufferListPtr Indicated(const Bytes& answer) {
        Bytes packet =
            os::BuildUdpPacket(kResolver, 53, os::SimNetwork::ClientAddressV4(), 50000, answer);
        os::NetBufferListPtr list = os::AllocateEngineNetBufferList(packet);
        os::NdisAdvanceNetBufferDataStart(*list, 28);
        return list;
    }
    static os::FWPS_INCOMING_VALUES Values() {
        os::FWPS_INCOMING_VALUES values;
        values.layerId = os::FWPS_LAYER_DATAGRAM_DATA_V4;
        values.remoteAddressV4 = kResolver.V4HostOrder();
        values.localAddressV4 = os::SimNetwork::ClientAddressV4().V4HostOrder();
        values.remotePort = 53;
        values.localPort = 50000;
        values.protocol = 17;
        values.direction = os::FWP_DIRECTION_INBOUND;
        return values;
    }
    static os::FWPS_INCOMING_METADATA_VALUES Metadata() {
        os::FWPS_INCOMING_METADATA_VALUES metadata;
        metadata.currentMetadataValues =
            os::FWPS_METADATA_FIELD_IP_HEADER_SIZE | os::FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE;
        metadata.ipHeaderSize = 20;
        metadata.transportHeaderSize = 8;
        return metadata;
    }

    os::FilterEngine engine;
    SERVICE_CALL_QUEUE queue;
    STREAM_FILTER filter;
    URL_LOOKUP lookup{filter, queue};
    WFP_REGISTRATION registration{filter, lookup};
    TEST_REMAP_TABLES tables;
    std::atomic<bool> active{true};
    DNS_ANSWER_REMAP remap{tables, registration.TransportInjection(),
                           [this] { return active.load() && registration.Registered(); },
                           &filter.AddressNames()};
    std::optional<os::SimNetwork> network{std::in_place, engine};
    std::mutex lock;
    std::vector<os::FWPS_CLASSIFY_OUT> decisions;
};

TEST_F(DnsAnswerRemapTest, ARemappedAAnswerPointsIntoTheQuestionForTheSharedTail) {
    // Question ends at 33; the alias data at 45 is "safe" and a pointer to "search.test" (16).
    Bytes expected = Rewritten("www.search.test", kDnsTypeA, 2);
    AddAlias(expected, {4, 's', 'a', 'f', 'e', 0xC0, 16});
    AddAddress(expected, 45, kDnsTypeA, kSafeV4);
    ExpectRewritten(Answer("www.search.test"), expected);
}

TEST_F(DnsAnswerRemapTest, ARemappedAaaaAnswerFromAnIPv6ResolverCarriesTheIPv6Address) {
    Bytes expected = Rewritten("www.search.test", kDnsTypeAaaa, 2);
    AddAlias(expected, {4, 's', 'a', 'f', 'e', 0xC0, 16});
    AddAddress(expected, 45, kDnsTypeAaaa, kSafeV6);
    ExpectRewritten(Answer("www.search.test", kDnsTypeAaaa), expected, false, kResolverV6);
}

TEST_F(DnsAnswerRemapTest, ATargetWithoutASharedTailIsWrittenInFullLabels) {
    Bytes expected = Rewritten("videos.test", kDnsTypeA, 2);
    AddAlias(expected, Labels("restrict.tube.example"));
    AddAddress(expected, 12 + 13 + 4 + 12, kDnsTypeA, kSafeV4);
    ExpectRewritten(Answer("videos.test"), expected);
}

TEST_F(DnsAnswerRemapTest, BeforeTheTargetsAddressIsKnownTheAnswerIsEmpty) {
    // No IPv6 address for this target yet, and none at all for the other.
    ExpectRewritten(Answer("videos.test", kDnsTypeAaaa), Rewritten("videos.test", kDnsTypeAaaa, 0));
    tables.v4.clear();
    ExpectRewritten(Answer("www.search.test"), Rewritten("www.search.test", kDnsTypeA, 0));
}

TEST_F(DnsAnswerRemapTest, TheQuestionKeepsItsLetterCaseAndMatchesIgnoringIt) {
    Bytes expected = Rewritten("WwW.SeArCh.TEST", kDnsTypeA, 2);
    AddAlias(expected, {4, 's', 'a', 'f', 'e', 0xC0, 16});
    AddAddress(expected, 45, kDnsTypeA, kSafeV4);
    ExpectRewritten(Answer("WwW.SeArCh.TEST"), expected);
}

TEST_F(DnsAnswerRemapTest, AFragmentedAnswerIsReadFromACopy) {
    Bytes expected = Rewritten("www.search.test", kDnsTypeA, 2);
    AddAlias(expected, {4, 's', 'a', 'f', 'e', 0xC0, 16});
    AddAddress(expected, 45, kDnsTypeA, kSafeV4);
    ExpectRewritten(Answer("www.search.test"), expected, true);
    os::ScopedPoolFailure noCopy(kDnsPacketCopyTag);
    ExpectUnchanged(Answer("www.search.test"), true);
    // A packet in one piece needs no copy.
    ExpectRewritten(Answer("www.search.test"), expected);
}

TEST_F(DnsAnswerRemapTest, AnswersThatCannotOrNeedNotBeRewrittenPassUnchanged) {
    ExpectUnchanged(Answer("www.other.test"));
    tables.remapAll = "safe.search.test";
    for (const CASE& c : UnchangedCases()) {
        SCOPED_TRACE(c.what);
        ExpectUnchanged(c.message);
    }
    // A question name that leans on the header through a pointer.
    Bytes m = Header(0x8180, 1, 0);
    Add(m, {3, 'w', 'w', 'w', 0xC0, 11});
    Add16(m, kDnsTypeA);
    Add16(m, kDnsClassIn);
    ExpectUnchanged(m);
}

// A response built record by record; `remapped4` and `remapped6` stand where the records of
// remapped names carry their addresses, so the same builder gives the answer and what it becomes.
struct RESPONSE {
    Bytes m;
    RESPONSE(std::string_view name, uint16_t type, uint16_t flags = 0x8180)
        : m(Header(flags, 1, 0)) {
        Bytes labels = Labels(name);
        m.insert(m.end(), labels.begin(), labels.end());
        Add16(m, type);
        Add16(m, kDnsClassIn);
    }
    RESPONSE& Record(int section, const Bytes& owner, uint16_t type, const Bytes& data,
                     uint16_t recordClass = kDnsClassIn) {
        m.insert(m.end(), owner.begin(), owner.end());
        Add16(m, type);
        Add16(m, recordClass);
        Add(m, {0, 0, 1, 0x2c});
        Add16(m, static_cast<uint16_t>(data.size()));
        m.insert(m.end(), data.begin(), data.end());
        ++m[5 + 2 * section];
        return *this;
    }
};
const Bytes kPointerToQuestion = {0xC0, 0x0C};
const Bytes kOriginalV4 = {93, 184, 216, 34};
const Bytes kOriginalV6 = Bytes(16, 0x66);

// However a remapped name's addresses are asked for and wherever they stand, none reaches the
// client: each becomes the target's, or the answer keeps only its question.
TEST_F(DnsAnswerRemapTest, NoAnswerCarriesARemappedNamesOwnAddress) {
    using BUILD = std::function<Bytes(const Bytes& v4, const Bytes& v6)>;
    const BUILD any = [](const Bytes& v4, const Bytes& v6) {
        return RESPONSE("www.search.test", 255)
            .Record(1, kPointerToQuestion, kDnsTypeA, v4)
            .Record(1, kPointerToQuestion, 16, {4, 't', 'e', 'x', 't'})
            .Record(1, kPointerToQuestion, kDnsTypeAaaa, v6)
            .m;
    };
    // alias.other.test is a CNAME of WWW.Search.test (at 46), whose address follows.
    const BUILD chain = [](const Bytes& v4, const Bytes&) {
        return RESPONSE("alias.other.test", kDnsTypeA)
            .Record(1, kPointerToQuestion, kDnsTypeCname, Labels("WWW.Search.test"))
            .Record(1, {0xC0, 46}, kDnsTypeA, v4)
            .m;
    };
    const BUILD extra = [](const Bytes& v4, const Bytes& v6) {
        return RESPONSE("www.search.test", 15)
            .Record(1, kPointerToQuestion, 15, Concat({0, 10}, Labels("mx.other.test")))
            .Record(2, Labels("www.search.test"), kDnsTypeAaaa, v6)
            .Record(3, Labels("mx.other.test"), kDnsTypeA, kOriginalV4)
            .Record(3, kPointerToQuestion, kDnsTypeA, v4)
            .m;
    };
    const BUILD many = [](const Bytes& v4, const Bytes&) {
        RESPONSE r("www.search.test", 255);
        for (int i = 0; i < 60; ++i) {
            r.Record(1, kPointerToQuestion, kDnsTypeA, v4);
        }
        return r.m;
    };
    for (const auto& [what, build] :
         std::vector<std::pair<const char*, BUILD>>{{"ANY", any},
                                                    {"a CNAME chain", chain},
                                                    {"authority and additional", extra},
                                                    {"longer than any alias answer", many}}) {
        SCOPED_TRACE(what);
        ExpectRewritten(build(kOriginalV4, kOriginalV6), build(kSafeV4, kSafeV6));
    }

    // A target address not known yet, an address record of the wrong size, records that cannot
    // be read to their count: only the question is left.
    const Bytes videos6 = RESPONSE("www.other.test", kDnsTypeAaaa)
                              .Record(1, kPointerToQuestion, kDnsTypeCname, Labels("videos.test"))
                              .Record(1, {0xC0, 44}, kDnsTypeAaaa, kOriginalV6)
                              .m;
    const Bytes wrongSize =
        RESPONSE("other.test", 255).Record(3, Labels("www.search.test"), kDnsTypeA, Bytes(5, 1)).m;
    Bytes cut = any(kOriginalV4, kOriginalV6);
    cut[7] = 4;
    for (const Bytes& answer : {videos6, wrongSize, cut}) {
        DNS_QUESTION question;
        ASSERT_EQ(ReadDnsName(answer, 12, &question.name), DnsParseStatus::Ok);
        Bytes expected(answer.begin(), answer.begin() + static_cast<long>(question.name.end) + 4);
        std::fill(expected.begin() + 6, expected.begin() + 12, 0);
        ExpectRewritten(answer, expected);
    }
    // When even the question could not stay (its name leans on the header), nothing is
    // delivered.
    RESPONSE leaning("", 255);
    leaning.m.resize(kDnsHeaderSize);
    Add(leaning.m, {3, 'w', 'w', 'w', 0xC0, 11, 0, 255, 0, 1});
    leaning.Record(1, Labels("videos.test"), kDnsTypeAaaa, kOriginalV6);
    EXPECT_TRUE(Exchange(leaning.m).empty());

    // Addresses of names that are not remapped, or not as a client reads them, stay.
    const Bytes unchanged[] = {
        RESPONSE("www.other.test", 255).Record(1, kPointerToQuestion, kDnsTypeA, kOriginalV4).m,
        RESPONSE("www.search.test", 255).Record(1, kPointerToQuestion, kDnsTypeA, kOriginalV4, 3).m,
        RESPONSE("x.test", kDnsTypeA)
            .Record(
                1, {10, 'w', 'w', 'w', '.', 's', 'e', 'a', 'r', 'c', 'h', 4, 't', 'e', 's', 't', 0},
                kDnsTypeA, kOriginalV4)
            .m,
    };
    for (const Bytes& answer : unchanged) {
        ExpectUnchanged(answer);
    }
    // Targets that DNS cannot carry have no address either.
    tables.remaps["www.search.test"] = std::string(64, 'x') + ".test";
    ExpectRewritten(Answer("www.search.test"), Rewritten("www.search.test", kDnsTypeA, 0));
}

TEST_F(DnsAnswerRemapTest, NothingIsRewrittenWhileSwitchedOffOrTheFilterIsInactive) {
    tables.unencryptedSearch = false;
    ExpectUnchanged(Answer("www.search.test"));
    tables.unencryptedSearch = true;
    active = false;
    ExpectUnchanged(Answer("www.search.test"));
    active = true;
    ExpectRewritten(Answer("videos.test", kDnsTypeAaaa), Rewritten("videos.test", kDnsTypeAaaa, 0));
}

// An answer tells the filter which names its addresses stand for: the answer the client gets
// (a remapped name stands for its target's address, not for the one it was remapped away from),
// from a resolver the machine asks, on the DNS port.
TEST_F(DnsAnswerRemapTest, TheAnswerAMachineResolverGaveTheClientTeachesTheNamesOfItsAddresses) {
    const Bytes original = {93, 184, 216, 34};
    struct LEARNING {
        const char* name;
        bool rewriting;
        uint16_t port;
        bool machineResolver;
        const Bytes* learnt;  // the address learnt for the name; null: none
    } const cases[] = {
        {"www.other.test", true, 53, true, &original},
        {"www.other.test", false, 53, true, &original},
        {"mdns.test", false, 5353, true, nullptr},
        {"www.other.test", true, 53, false, nullptr},
        {"www.search.test", true, 53, true, &kSafeV4},
        {"www.search.test", false, 53, true, &original},
        {"www.search.test", true, 53, false, nullptr},
    };
    for (const LEARNING& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.rewriting ? " rewriting" : "") + " port " +
                     std::to_string(c.port) + (c.machineResolver ? "" : " another resolver"));
        filter.AddressNames().Clear();
        tables.unencryptedSearch = c.rewriting;
        auto udp = network->OpenUdp(kResolver, c.port, std::nullopt);
        if (!c.machineResolver) {
            udp->ServerIsNotAMachineResolver();
        }
        udp->ServerSend(Answer(c.name));
        ASSERT_TRUE(network->WaitSettled());
        ADDRESS_NAMES::NAME_LIST names;
        for (const Bytes* address : {&original, &kSafeV4}) {
            const size_t count =
                filter.AddressNames().NamesOf(MakeAddressKey(address->data(), 4), names);
            if (address == c.learnt) {
                // A remap's alias answer gives the address for its target name as well.
                EXPECT_NE(std::find(names.begin(), names.begin() + count, c.name),
                          names.begin() + count);
            } else {
                EXPECT_EQ(count, 0u);
            }
        }
    }
}

TEST_F(DnsAnswerRemapTest, TheDriversOwnAnswerIsNotInspectedAgain) {
    ExpectRewritten(Answer("videos.test", kDnsTypeAaaa), Rewritten("videos.test", kDnsTypeAaaa, 0));
    std::lock_guard guard(lock);
    ASSERT_EQ(decisions.size(), 2u);
    // The injected answer may be classified before the absorbing classify has been recorded.
    const bool absorbedFirst = decisions[0].actionType == os::FWP_ACTION_BLOCK;
    const os::FWPS_CLASSIFY_OUT& absorbed = decisions[absorbedFirst ? 0 : 1];
    const os::FWPS_CLASSIFY_OUT& injected = decisions[absorbedFirst ? 1 : 0];
    EXPECT_EQ(absorbed.actionType, os::FWP_ACTION_BLOCK);
    EXPECT_NE(absorbed.flags & os::FWPS_CLASSIFY_OUT_FLAG_ABSORB, 0u);
    EXPECT_EQ(absorbed.rights & os::FWPS_RIGHT_ACTION_WRITE, 0u);
    EXPECT_EQ(injected.actionType, os::FWP_ACTION_PERMIT) << "the injected answer passes";
}

TEST_F(DnsAnswerRemapTest, ACloneOfItsOwnAnswerOrAnActionNotItsToChangeIsLeftAlone) {
    Bytes answer = Answer("www.search.test");
    os::NetBufferListPtr ours = Indicated(answer);
    os::NetBufferAccess::MarkInjected(*ours, registration.TransportInjection().Id(), nullptr);
    os::NetBufferListPtr clone;
    ASSERT_EQ(os::FwpsAllocateCloneNetBufferList(*ours, clone), os::STATUS_SUCCESS);
    os::FWPS_CLASSIFY_OUT out;
    remap.InspectInboundDatagram(Values(), Metadata(), clone.get(), {}, 0, out);
    EXPECT_EQ(out.actionType, os::FWP_ACTION_PERMIT);
    EXPECT_EQ(Bytes(clone->Data().begin(), clone->Data().end()), answer) << "data start restored";

    os::NetBufferListPtr fresh = Indicated(answer);
    os::FWPS_CLASSIFY_OUT noRight;
    noRight.rights = 0;
    remap.InspectInboundDatagram(Values(), Metadata(), fresh.get(), {}, 0, noRight);
    EXPECT_EQ(noRight.actionType, os::FWP_ACTION_NONE);

    // Before the registration initialises, the injection handle is not valid yet.
    os::INJECTION_HANDLE none;
    DNS_ANSWER_REMAP early(tables, none, [] { return true; });
    os::FWPS_CLASSIFY_OUT permitted;
    early.InspectInboundDatagram(Values(), Metadata(), fresh.get(), {}, 0, permitted);
    EXPECT_EQ(permitted.actionType, os::FWP_ACTION_PERMIT);

    os::FWPS_CLASSIFY_OUT rewritten;
    remap.InspectInboundDatagram(Values(), Metadata(), fresh.get(), {}, 0, rewritten);
    EXPECT_EQ(rewritten.actionType, os::FWP_ACTION_BLOCK);
    EXPECT_EQ(Bytes(fresh->Data().begin(), fresh->Data().end()), answer);
    EXPECT_TRUE(engine.WaitForCompletions(10'000));
}

TEST_F(DnsAnswerRemapTest, AFailureOnTheWayLetsTheAnswerThroughAndReleasesEverything) {
    {
        os::ScopedPoolFailure noClone(os::kWfpCloneTag);
        ExpectUnchanged(Answer("www.search.test"));
    }
    {
        // The clone is made (list and storage) but cannot grow to the rewritten size.
        os::ScopedPoolFailure noGrowth(os::kWfpCloneTag, 2);
        ExpectUnchanged(Answer("www.search.test", kDnsTypeA, kDnsClassIn, 0x8180, 1));
        EXPECT_EQ(noGrowth.Failed(), 1u);
    }
    {
        os::ScopedPoolFailure noTarget(kRemapTargetTag);
        ExpectUnchanged(Answer("www.search.test"));
    }
    Bytes expected = Rewritten("www.search.test", kDnsTypeA, 2);
    AddAlias(expected, {4, 's', 'a', 'f', 'e', 0xC0, 16});
    AddAddress(expected, 45, kDnsTypeA, kSafeV4);
    ExpectRewritten(Answer("www.search.test"), expected);
}

}  // namespace
}  // namespace wexo::drv
