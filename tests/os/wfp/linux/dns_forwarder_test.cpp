// The DNS forwarder: the canary answer and the checks of what it relays, on their own; the
// forwarder on loopback with a resolver the test names (its datagram callout, the test's, decides
// what passes and rewrites answers); and in network namespaces behind the product's redirect
// table, where connection tracking tells the resolver the client asked and the answer must come
// back from that resolver's address.
#include "os/wfp/linux/dns_forwarder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "os/wfp/linux/nft_table.h"
#include "os/wfp/linux/redirect.h"
#include "os/wfp/linux/svcb_strip.h"
#include "tests/os/wfp/linux/socket_util.h"
#include "tests/os/wfp/linux/svcb_test_messages.h"
#include "tests/os/wfp/wfp_test_util.h"
#include "tools/peers/dns_peer.h"
#include "tools/peers/network_namespaces.h"

namespace os::wfplinux {
namespace {

using namespace std::chrono_literals;
using wexo::peers::NETWORK_NAMESPACES;
using wexo::test::Address;
using wexo::test::Bound;
using wexo::test::UNIQUE_FD;
using wexo::test::svcb::Bytes;
using wexo::test::svcb::MESSAGE;
using wexo::test::svcb::Name;
using wexo::test::svcb::Pointer;
using wexo::test::svcb::operator+;
using SIDE = NETWORK_NAMESPACES::SIDE;

std::vector<uint8_t> Query(const std::string& name, uint16_t type = 1, uint16_t id = 0x1234,
                           uint16_t flags = 0x0100) {
    return wexo::peers::DnsQuery(name, type, id, flags);
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::span<const uint8_t> Span(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A resolver's answer to `query`: its ID and question, and the A record 192.0.2.<octet>.
std::string AnswerTo(const std::string& query, uint8_t octet = 1) {
    std::optional<DNS_QUESTION> question = ReadDnsQuestion(Span(query));
    if (!question)
        return "(not a query)";
    std::string answer = query.substr(0, question->end);
    answer[2] = static_cast<char>(0x80 | (answer[2] & 0x01));
    answer[3] = static_cast<char>(0x80);
    answer.replace(6, 6, std::string("\0\1\0\0\0\0", 6));
    answer += std::string("\xC0\x0C\0\1\0\1\0\0\0\x3C\0\4\xC0\0\2", 15);
    return answer + static_cast<char>(octet);
}

TEST(DohCanaryTest, OnlyAStandardQueryForTheExactNameIsAnswered) {
    auto answer = DohCanaryAnswer(Query("use-application-dns.net", 1, 0xBEEF));
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[0], 0xBE);
    EXPECT_EQ((*answer)[1], 0xEF);
    EXPECT_EQ((*answer)[2], 0x81);  // response, recursion desired kept
    EXPECT_EQ((*answer)[3], 0x83);  // recursion available, NXDOMAIN
    EXPECT_EQ((*answer)[5], 1);     // the question, and nothing else
    EXPECT_EQ((*answer)[7] | (*answer)[9] | (*answer)[11], 0);
    EXPECT_EQ(answer->size(), Query("use-application-dns.net").size());

    // The same name however the client spells it: case, AAAA or HTTPS records asked.
    EXPECT_TRUE(DohCanaryAnswer(Query("USE-Application-DNS.Net")));
    EXPECT_TRUE(DohCanaryAnswer(Query("use-application-dns.net", 28)));
    EXPECT_TRUE(DohCanaryAnswer(Query("use-application-dns.net", 65)));
    // An EDNS record after the question does not hide it.
    std::vector<uint8_t> edns = Query("use-application-dns.net");
    edns[11] = 1;
    edns.insert(edns.end(), {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(DohCanaryAnswer(edns));

    // Other names, and messages that are not a plain query for it, go to the resolver.
    for (const char* other : {"x.use-application-dns.net", "use-application-dns.net.evil",
                              "use-application-dns.ne", "application-dns.net"})
        EXPECT_FALSE(DohCanaryAnswer(Query(other))) << other;
    EXPECT_FALSE(DohCanaryAnswer(Query("use-application-dns.net", 1, 1, 0x8180)));  // a response
    EXPECT_FALSE(DohCanaryAnswer(Query("use-application-dns.net", 1, 1, 0x2800)));  // an update
    std::vector<uint8_t> two = Query("use-application-dns.net");
    two[5] = 2;
    EXPECT_FALSE(DohCanaryAnswer(two));
    std::vector<uint8_t> cut = Query("use-application-dns.net");
    for (size_t size = 0; size < cut.size(); ++size)
        EXPECT_FALSE(DohCanaryAnswer(std::span<const uint8_t>(cut.data(), size))) << size;
    // A compression pointer in the question is refused rather than followed.
    std::vector<uint8_t> pointer = Query("net");
    pointer[12] = 0xC0;
    pointer[13] = 12;
    EXPECT_FALSE(ReadDnsQuestion(pointer));
}

// The query with `count` extra records.
Bytes WithExtra(Bytes query, uint16_t count, const Bytes& records) {
    query[10] = static_cast<uint8_t>(count >> 8);
    query[11] = static_cast<uint8_t>(count);
    return query + records;
}
Bytes With(Bytes message, size_t at, uint8_t value) {
    message[at] = value;
    return message;
}
Bytes Cut(const Bytes& message, size_t size) {
    return Bytes(message.begin(), message.begin() + static_cast<long>(size));
}

const Bytes kEdns = {0, 0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 0};
const Bytes kEdnsCookie = {0,  0, 41, 0x04, 0xD0, 0, 0, 0, 0, 0, 12, 0,
                           10, 0, 8,  1,    2,    3, 4, 5, 6, 7, 8};
const Bytes kTsig = Name("key.test") + Bytes{0, 250, 0, 255, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4};

struct CHECK_CASE {
    const char* what;
    Bytes message;
    DNS_CHECK check;
    size_t matched = 0;
};

TEST(DnsCheckTest, OnlyAWellFormedStandardQueryIsRelayed) {
    const Bytes plain = Query("www.example.test");
    const std::string l63(63, 'a');
    const std::string longest = l63 + "." + l63 + "." + l63 + "." + std::string(61, 'b');
    MESSAGE root(0x1234, 0x0000);  // ". NS", as a resolver primes its cache
    root.Question(Name(""), 2);
    const CHECK_CASE cases[] = {
        {"a stub resolver's query", plain, DNS_CHECK::Ok},
        {"AAAA with AD and CD", Query("www.example.test", 28, 7, 0x0130), DNS_CHECK::Ok},
        {"letter case, bytes of any value", Query("WwW.\x01\xff-.test"), DNS_CHECK::Ok},
        {"the root", root.bytes, DNS_CHECK::Ok},
        {"a name of 255 bytes", Query(longest), DNS_CHECK::Ok},
        {"EDNS", WithExtra(plain, 1, kEdns), DNS_CHECK::Ok},
        {"EDNS with a cookie", WithExtra(plain, 1, kEdnsCookie), DNS_CHECK::Ok},
        {"EDNS and a signature", WithExtra(plain, 2, kEdns + kTsig), DNS_CHECK::Ok},
        {"nothing", {}, DNS_CHECK::TooShort},
        {"a header cut", Cut(plain, 11), DNS_CHECK::TooShort},
        {"a response", Query("www.example.test", 1, 1, 0x8180), DNS_CHECK::Header},
        {"IQUERY", Query("www.example.test", 1, 1, 0x0800), DNS_CHECK::Header},
        {"STATUS", Query("www.example.test", 1, 1, 0x1000), DNS_CHECK::Header},
        {"NOTIFY", Query("www.example.test", 1, 1, 0x2000), DNS_CHECK::Header},
        {"UPDATE", Query("www.example.test", 1, 1, 0x2800), DNS_CHECK::Header},
        {"TC set", Query("www.example.test", 1, 1, 0x0300), DNS_CHECK::Header},
        {"an RCODE", Query("www.example.test", 1, 1, 0x0105), DNS_CHECK::Header},
        {"no question", With(plain, 5, 0), DNS_CHECK::Counts},
        {"two questions", With(plain, 5, 2), DNS_CHECK::Counts},
        {"an answer record", With(plain, 7, 1), DNS_CHECK::Counts},
        {"an authority record", With(plain, 9, 1), DNS_CHECK::Counts},
        {"three extra records", WithExtra(plain, 3, kEdns + kTsig + kTsig), DNS_CHECK::Counts},
        {"a pointer in the question", Cut(plain, 12) + Bytes{3, 'w', 'w', 'w', 0xC0, 0, 0, 1, 0, 1},
         DNS_CHECK::Question},
        {"a length byte of 0x40", With(plain, 12, 0x43), DNS_CHECK::Question},
        {"a name of 256 bytes", Query(longest + "b"), DNS_CHECK::Question},
        {"the name cut", Cut(plain, 20), DNS_CHECK::Question},
        {"the class cut", Cut(plain, plain.size() - 1), DNS_CHECK::Question},
        {"an extra address record",
         WithExtra(plain, 1, Pointer(12) + Bytes{0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4}),
         DNS_CHECK::Records},
        {"two EDNS records", WithExtra(plain, 2, kEdns + kEdns), DNS_CHECK::Records},
        {"EDNS under a name",
         WithExtra(plain, 1, Name("x") + Bytes(kEdns.begin() + 1, kEdns.end())),
         DNS_CHECK::Records},
        {"EDNS data past the end", WithExtra(plain, 1, With(kEdns, 10, 4)), DNS_CHECK::Records},
        {"a byte after the question", plain + Bytes{0}, DNS_CHECK::Trailing},
        {"bytes after EDNS", WithExtra(plain, 1, kEdns + Bytes{'x', 'y'}), DNS_CHECK::Trailing},
    };
    for (const CHECK_CASE& c : cases) {
        DNS_ASKED asked;
        EXPECT_EQ(CheckDnsQuery(c.message, &asked), c.check) << c.what;
    }
    // What its answer must repeat.
    DNS_ASKED asked;
    ASSERT_EQ(CheckDnsQuery(WithExtra(plain, 1, kEdns), &asked), DNS_CHECK::Ok);
    EXPECT_EQ(asked.id, 0x1234);
    EXPECT_EQ(asked.question, Text(plain).substr(12));

    // Other protocols on port 53, whatever their first bytes happen to say.
    Bytes noise(512);
    uint32_t seed = 53;
    for (uint8_t& b : noise)
        b = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    const Bytes others[] = {
        Bytes{'S', 'S', 'H', '-', '2', '.', '0', '-', 'O', 'p', 'e', 'n', 'S', 'S', 'H', '\r',
              '\n'},
        Bytes{0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00, 0x01, 0xfc, 0x03, 0x03, 0x11, 0x22, 0x33},
        Bytes{0xc3, 0, 0, 0, 1, 8, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0x44, 0xd0},     // QUIC Initial
        Bytes{1, 0, 0, 0, 0x5a, 0x3c, 0x10, 0x01, 9, 9, 9, 9, 9, 9, 9, 9},        // WireGuard
        Bytes{0x38, 0x7f, 0x21, 0x00, 0x9e, 0x01, 0x02, 0x03, 0, 0, 0, 0, 0, 0},  // OpenVPN
        noise,
    };
    for (const Bytes& other : others)
        EXPECT_NE(CheckDnsQuery(other, nullptr), DNS_CHECK::Ok) << Text(other);
}

TEST(DnsCheckTest, OnlyAnAnswerToAQueryForwardedIsHandedBack) {
    DNS_ASKED asked[2];
    ASSERT_EQ(CheckDnsQuery(Query("other.test", 28, 1), &asked[0]), DNS_CHECK::Ok);
    ASSERT_EQ(CheckDnsQuery(Query("www.example.test", 1, 0x1234), &asked[1]), DNS_CHECK::Ok);
    auto answer = [](uint16_t id, const std::string& name, uint16_t type, uint16_t flags = 0x8180) {
        MESSAGE m(id, flags);
        m.Question(Name(name), type);
        m.Record(1, Pointer(12), type, type == 1 ? Bytes{192, 0, 2, 1} : Bytes(16, 1));
        return m.bytes;
    };
    const Bytes good = answer(0x1234, "www.example.test", 1);
    MESSAGE nx(0x1234, 0x8183);  // NXDOMAIN with the zone's SOA, its names compressed
    nx.Question(Name("www.example.test"), 1);
    nx.Record(2, Pointer(16), 6, Name("ns") + Pointer(16) + Bytes(20, 0));
    MESSAGE truncated(0x1234, 0x8380);
    truncated.Question(Name("www.example.test"), 1);
    auto ownerAt = [&](size_t offset) {
        return Cut(good, 34) + Pointer(offset) + Bytes(good.begin() + 36, good.end());
    };
    const CHECK_CASE cases[] = {
        {"the answer", good, DNS_CHECK::Ok, 1},
        {"the other query's", answer(1, "other.test", 28), DNS_CHECK::Ok, 0},
        {"the name in other letter case", answer(0x1234, "WWW.Example.TEST", 1), DNS_CHECK::Ok, 1},
        {"NXDOMAIN", nx.bytes, DNS_CHECK::Ok, 1},
        {"truncated, without records", truncated.bytes, DNS_CHECK::Ok, 1},
        {"another ID", answer(0x1235, "www.example.test", 1), DNS_CHECK::Unasked},
        {"another name", answer(0x1234, "ww.example.test", 1), DNS_CHECK::Unasked},
        {"another type", answer(0x1234, "www.example.test", 28), DNS_CHECK::Unasked},
        {"another class", With(good, 33, 3), DNS_CHECK::Unasked},
        {"a query", answer(0x1234, "www.example.test", 1, 0x0100), DNS_CHECK::Header},
        {"NOTIFY", answer(0x1234, "www.example.test", 1, 0xA180), DNS_CHECK::Header},
        {"no question", With(good, 5, 0), DNS_CHECK::Counts},
        {"a record cut", Cut(good, good.size() - 1), DNS_CHECK::Records},
        {"a count past the records", With(good, 7, 2), DNS_CHECK::Records},
        {"an owner pointing forward", ownerAt(40), DNS_CHECK::Records},
        {"an owner pointing at itself", ownerAt(34), DNS_CHECK::Records},
        {"an owner pointing into the header", ownerAt(4), DNS_CHECK::Records},
        {"a byte after the last record", good + Bytes{0}, DNS_CHECK::Trailing},
        {"not DNS",
         Bytes{'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0', ' ', 'O', 'K'},
         DNS_CHECK::Header},
    };
    for (const CHECK_CASE& c : cases) {
        size_t matched = 99;
        EXPECT_EQ(CheckDnsAnswer(c.message, asked, &matched), c.check) << c.what;
        if (c.check == DNS_CHECK::Ok) {
            EXPECT_EQ(matched, c.matched) << c.what;
        }
    }
    EXPECT_EQ(CheckDnsAnswer(good, {}, nullptr), DNS_CHECK::Unasked) << "nothing asked";
}

TEST(DnsCheckTest, AResolverThatLeadsBackToAForwarderIsForbidden) {
    constexpr uint16_t kOwn = 5353;
    const struct {
        const char* ip;
        uint16_t port;
        bool forbidden;     // by default
        bool withLoopback;  // with resolvers on loopback allowed
    } cases[] = {
        {"192.0.2.2", 53, false, false},
        {"2001:db8::2", 53, false, false},
        {"127.0.0.1", kOwn, true, true},
        {"::1", kOwn, true, true},
        {"192.0.2.2", kOwn, true, true},
        {"2001:db8::2", kOwn, true, true},
        {"127.0.0.53", 53, true, false},
        {"127.1.2.3", 53, true, false},
        {"::1", 53, true, false},
        {"0.0.0.0", 53, true, true},
        {"0.1.2.3", 53, true, true},
        {"::", 53, true, true},
        {"::ffff:192.0.2.2", 53, true, true},
        {"::ffff:127.0.0.1", 53, true, true},
        {"192.0.2.2", 0, true, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsForbiddenResolver(Address(c.ip, c.port), kOwn, false), c.forbidden)
            << c.ip << " port " << c.port;
        EXPECT_EQ(IsForbiddenResolver(Address(c.ip, c.port), kOwn, true), c.withLoopback)
            << c.ip << " port " << c.port;
    }
    EXPECT_TRUE(IsForbiddenResolver(sockaddr_storage{}, kOwn, true)) << "no family";
}

// The test's datagram callouts for both families: each classify is recorded, and `decide` may
// block or rewrite.
class DATAGRAM_CALLOUTS {
  public:
    using Decide = std::function<void(NET_BUFFER_LIST&, const FWPS_INCOMING_VALUES&,
                                      const FWPS_INCOMING_METADATA_VALUES&, FWPS_CLASSIFY_OUT&)>;
    static constexpr GUID kSublayer = MakeGuid("22222222-0000-4000-8000-0000000000ff");
    static constexpr GUID kV4 = MakeGuid("22222222-0000-4000-8000-000000000001");
    static constexpr GUID kV6 = MakeGuid("22222222-0000-4000-8000-000000000002");

    DATAGRAM_CALLOUTS() {
        FWPM_SESSION session;
        session.flags = FWPM_SESSION_FLAG_DYNAMIC;
        EXPECT_EQ(FwpmEngineOpen(&session, RPC_C_AUTHN_WINNT, engine_), STATUS_SUCCESS);
        FWPM_SUBLAYER sublayer;
        sublayer.subLayerKey = kSublayer;
        EXPECT_EQ(FwpmSubLayerAdd(engine_, sublayer), STATUS_SUCCESS);
        Add(kV4, FWPM_LAYER_DATAGRAM_DATA_V4);
        Add(kV6, FWPM_LAYER_DATAGRAM_DATA_V6);
        EXPECT_EQ(FwpsInjectionHandleCreate(AddressFamily::Unspecified,
                                            FWPS_INJECTION_TYPE_TRANSPORT, injection_),
                  STATUS_SUCCESS);
    }
    ~DATAGRAM_CALLOUTS() {
        for (uint32_t id : registered_)
            FwpsCalloutUnregisterById(id);
        FwpsInjectionHandleDestroy(injection_);
    }
    void SetDecide(Decide decide) {
        std::lock_guard guard(lock_);
        decide_ = std::move(decide);
    }
    // "out:<payload>" or "in:<payload>", injected ones marked "in*:".
    std::vector<std::string> Seen() const {
        std::lock_guard guard(lock_);
        return seen_;
    }
    const INJECTION_HANDLE& Injection() const { return injection_; }

  private:
    void Add(const GUID& key, const GUID& layer) {
        FWPS_CALLOUT callout;
        callout.calloutKey = key;
        callout.classifyFn = [this](const FWPS_INCOMING_VALUES& values,
                                    const FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                                    const FWPS_FILTER&, uint64_t, FWPS_CLASSIFY_OUT& out) {
            out.actionType = FWP_ACTION_PERMIT;
            auto* packet = static_cast<NET_BUFFER_LIST*>(layerData);
            const bool injected =
                FwpsQueryPacketInjectionState(injection_, *packet) == FWPS_PACKET_INJECTED_BY_SELF;
            std::string payload(packet->Data().begin(), packet->Data().end());
            if (values.direction == FWP_DIRECTION_OUTBOUND)
                payload = payload.substr(kUdpHeaderSize);
            Decide decide;
            {
                std::lock_guard guard(lock_);
                seen_.push_back(std::string(values.direction == FWP_DIRECTION_OUTBOUND ? "out"
                                            : injected                                 ? "in*"
                                                                                       : "in") +
                                ":" + payload);
                decide = decide_;
            }
            if (decide && !injected)
                decide(*packet, values, metadata, out);
        };
        registered_.push_back(
            os::testing::AddCalloutWithFilter(engine_, callout, layer, kSublayer));
    }

    ENGINE_HANDLE engine_;
    INJECTION_HANDLE injection_;
    std::vector<uint32_t> registered_;
    mutable std::mutex lock_;
    Decide decide_;
    std::vector<std::string> seen_;
};

// One datagram within a bound, from whoever sent it.
std::string Receive(int fd, sockaddr_storage* from = nullptr, int milliseconds = 3000) {
    if (!wexo::test::Readable(fd, milliseconds))
        return "(nothing)";
    char buffer[2048];
    sockaddr_storage source{};
    socklen_t length = sizeof source;
    const ssize_t n =
        recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &length);
    if (from != nullptr)
        *from = source;
    return n < 0 ? std::string("(error ") + std::strerror(errno) + ")"
                 : std::string(buffer, static_cast<size_t>(n));
}

void SendTo(int fd, const std::string& payload, const sockaddr_storage& to) {
    ASSERT_EQ(sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     wexo::test::AddressSize(to)),
              static_cast<ssize_t>(payload.size()))
        << std::strerror(errno);
}

template <typename CONDITION>
bool Eventually(CONDITION condition) {
    for (int i = 0; i < 2000 && !condition(); ++i)
        std::this_thread::sleep_for(1ms);
    return condition();
}

// A message with its two length bytes, as DNS over TCP carries it.
std::string Frame(const std::string& message) {
    return std::string{static_cast<char>(message.size() >> 8), static_cast<char>(message.size())} +
           message;
}

// The next framed message of a TCP stream, within a bound.
std::string ReadFrame(int fd) {
    std::string bytes;
    char buffer[4096];
    auto whole = [&] {
        return bytes.size() >= 2 &&
               bytes.size() >= 2u + (static_cast<size_t>(static_cast<uint8_t>(bytes[0])) << 8 |
                                     static_cast<uint8_t>(bytes[1]));
    };
    while (!whole()) {
        if (!wexo::test::Readable(fd, 3000))
            return "(nothing)";
        const ssize_t n = recv(fd, buffer, 1, 0);  // one at a time: never past this message
        if (n <= 0)
            return "(closed)";
        bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes.substr(2);
}

void SendAll(int fd, const std::string& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

// Toward a connection the forwarder refuses: it may close before the bytes are even sent, and a
// refused send is then the refusal the test looks for.
void SendToRefused(int fd, const std::string& bytes) {
    (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

// The forwarder on loopback: the redirect's part is played by the destination hook, which sends
// every client to the test's resolver of the same family, or where `route_` says.
class DnsForwarderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resolvers_[0] = Bound(SOCK_DGRAM, "127.0.0.1", 0);
        resolvers_[1] = Bound(SOCK_DGRAM, "::1", 0);
        ASSERT_TRUE(resolvers_[0].Valid() && resolvers_[1].Valid());
    }
    // The test's resolvers stand on loopback.
    static DNS_FORWARDER_OPTIONS Options() {
        DNS_FORWARDER_OPTIONS options;
        options.loopbackResolvers = true;
        return options;
    }
    void Start(DNS_FORWARDER_OPTIONS options = Options()) {
        options.destination = [this](const sockaddr_storage& client, const sockaddr_storage&,
                                     sockaddr_storage* resolver) {
            if (route_) {
                if (std::optional<sockaddr_storage> to = route_(client)) {
                    *resolver = *to;
                    return true;
                }
            }
            *resolver = SocketName(resolvers_[client.ss_family == AF_INET ? 0 : 1].Get());
            return true;
        };
        options.owner = [](const sockaddr_storage&, const sockaddr_storage&) {
            return std::optional<uint64_t>(77);
        };
        forwarder_ = std::make_unique<DNS_FORWARDER>(FilterEngine::Current(), std::move(options));
        std::string why;
        ASSERT_EQ(forwarder_->Start(&why), 0) << why;
    }
    void TearDown() override { forwarder_.reset(); }

    static sockaddr_storage SocketName(int fd) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return address;
    }
    static uint16_t PortOf(const sockaddr_storage& address) {
        uint16_t port = 0;
        AddressBytes(address, &port);
        return port;
    }

    // A client socket of the family, and the forwarder's address for it.
    UNIQUE_FD Client(int family, sockaddr_storage* forwarder) {
        *forwarder = LoopbackAddress(family, forwarder_->Port());
        return Bound(SOCK_DGRAM, family == AF_INET ? "127.0.0.1" : "::1", 0);
    }

    // The resolver answers the next query with its AnswerTo (or `answer`); the query as it came.
    std::string Answer(int index, std::optional<std::string> answer = std::nullopt) {
        sockaddr_storage from{};
        std::string query = Receive(resolvers_[index].Get(), &from);
        if (query != "(nothing)")
            SendTo(resolvers_[index].Get(), answer ? *answer : AnswerTo(query), from);
        return query;
    }

    DATAGRAM_CALLOUTS callouts_;
    UNIQUE_FD resolvers_[2];
    // Where a client's queries go instead (set before Start); nullopt: the test's resolver.
    std::function<std::optional<sockaddr_storage>(const sockaddr_storage& client)> route_;
    std::unique_ptr<DNS_FORWARDER> forwarder_;
};

TEST_F(DnsForwarderTest, QueriesReachTheResolverAndAnswersComeBackThroughTheEngine) {
    Start();
    const std::string one = Text(Query("one.example.test", 1, 1));
    const std::string two = Text(Query("two.example.test", 28, 2));
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        const int index = family == AF_INET ? 0 : 1;
        sockaddr_storage forwarder{};
        UNIQUE_FD client = Client(family, &forwarder);
        SendTo(client.Get(), one, forwarder);
        EXPECT_EQ(Answer(index), one);
        sockaddr_storage from{};
        EXPECT_EQ(Receive(client.Get(), &from), AnswerTo(one));
        EXPECT_EQ(wexo::test::Text(from), wexo::test::Text(forwarder));
        // A second query of the same socket takes the same exchange.
        SendTo(client.Get(), two, forwarder);
        EXPECT_EQ(Answer(index), two);
        EXPECT_EQ(Receive(client.Get()), AnswerTo(two));
    }
    // The sink counts after it sent, so the client may have its answer a moment before.
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().delivered == 4; }));
    const DNS_FORWARDER_COUNTS counts = forwarder_->Counts();
    EXPECT_EQ(counts.queries, 4u);
    EXPECT_EQ(counts.answers, 4u);
    EXPECT_EQ(counts.delivered, 4u);
    EXPECT_EQ(counts.exchanges, 2u);
    const std::vector<std::string> expected = {"out:" + one, "in:" + AnswerTo(one), "out:" + two,
                                               "in:" + AnswerTo(two)};
    std::vector<std::string> seen = callouts_.Seen();
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 4), expected);
}

// The driver's way of changing an answer: the original absorbed, a rewritten one injected. The
// client gets the rewritten one only; a blocked query never reaches the resolver.
TEST_F(DnsForwarderTest, ARewrittenAnswerReplacesTheOriginalAndABlockedQueryGoesNowhere) {
    const std::string query = Text(Query("www.example.test"));
    std::atomic<NTSTATUS> injected{STATUS_PENDING};
    callouts_.SetDecide([&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                            const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        std::string payload(packet.Data().begin(), packet.Data().end());
        if (values.direction == FWP_DIRECTION_INBOUND && payload == AnswerTo(query)) {
            os::testing::RewriteInboundDatagram(
                callouts_.Injection(), nullptr, packet, values, metadata, out, "remapped answer",
                [&](NetBufferListChain, NTSTATUS status) { injected = status; });
        } else if (values.direction == FWP_DIRECTION_OUTBOUND &&
                   payload.find("forbidden") != std::string::npos) {
            out.actionType = FWP_ACTION_BLOCK;
        }
    });
    Start();
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        const int index = family == AF_INET ? 0 : 1;
        sockaddr_storage forwarder{};
        UNIQUE_FD client = Client(family, &forwarder);
        SendTo(client.Get(), query, forwarder);
        EXPECT_EQ(Answer(index), query);
        EXPECT_EQ(Receive(client.Get()), "remapped answer");
        EXPECT_EQ(Receive(client.Get(), nullptr, 50), "(nothing)") << "the original came too";
        EXPECT_TRUE(Eventually([&] { return injected.load() == STATUS_SUCCESS; }));
        injected = STATUS_PENDING;

        SendTo(client.Get(), Text(Query("forbidden.example.test")), forwarder);
        EXPECT_EQ(Receive(resolvers_[index].Get(), nullptr, 50), "(nothing)");
    }
    EXPECT_EQ(forwarder_->Counts().dropped, 2u);
}

TEST_F(DnsForwarderTest, TheCanaryIsAnsweredHereUnlessTurnedOff) {
    Start();
    sockaddr_storage forwarder{};
    UNIQUE_FD client = Client(AF_INET, &forwarder);
    const std::string canary = Text(Query("use-application-dns.net"));
    SendTo(client.Get(), canary, forwarder);
    const std::string answer = Receive(client.Get());
    ASSERT_GE(answer.size(), 4u);
    EXPECT_EQ(answer[3] & 0x0F, 3) << "not NXDOMAIN";
    EXPECT_EQ(Receive(resolvers_[0].Get(), nullptr, 50), "(nothing)");
    EXPECT_EQ(forwarder_->Counts().canaryAnswers, 1u);

    forwarder_.reset();
    DNS_FORWARDER_OPTIONS off = Options();
    off.answerDohCanary = false;
    Start(off);
    client = Client(AF_INET, &forwarder);
    SendTo(client.Get(), canary, forwarder);
    EXPECT_EQ(Answer(0), canary);
    EXPECT_EQ(Receive(client.Get()), AnswerTo(canary));
}

// Answers of a resolver the machine does not ask reach the engine marked as such; the machine's
// own resolvers' answers do not.
TEST_F(DnsForwarderTest, AnswersOfAResolverTheMachineDoesNotAskAreMarked) {
    DNS_FORWARDER_OPTIONS options = Options();
    std::atomic<bool> machine{true};
    options.machineResolver = [&](const sockaddr_storage&) { return machine.load(); };
    Start(options);
    std::mutex lock;
    std::vector<bool> marks;
    callouts_.SetDecide([&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                            const FWPS_INCOMING_METADATA_VALUES&, FWPS_CLASSIFY_OUT&) {
        if (values.direction == FWP_DIRECTION_INBOUND) {
            std::lock_guard guard(lock);
            marks.push_back(FwpsQueryPacketFromMachineResolver(packet));
        }
    });
    for (bool asked : {true, false}) {
        machine = asked;
        sockaddr_storage forwarder{};
        UNIQUE_FD client = Client(AF_INET, &forwarder);  // a new exchange each
        const std::string query = Text(Query("a.test"));
        SendTo(client.Get(), query, forwarder);
        EXPECT_EQ(Answer(0), query);
        EXPECT_EQ(Receive(client.Get()), AnswerTo(query));
    }
    std::lock_guard guard(lock);
    EXPECT_EQ(marks, (std::vector<bool>{true, false}));
}

// Exchanges are bounded: a new client past the bound takes the place of the one quiet longest, so
// that whoever holds every exchange cannot stop the others; quiet ones are forgotten.
TEST_F(DnsForwarderTest, ExchangesAreBoundedAndForgottenWhenQuiet) {
    DNS_FORWARDER_OPTIONS options = Options();
    options.maxExchanges = 2;
    options.idleTimeoutMs = 300;  // longer than the steps before the last, even under a sanitizer
    Start(options);
    sockaddr_storage forwarder{};
    UNIQUE_FD clients[3] = {Client(AF_INET, &forwarder), Client(AF_INET, &forwarder),
                            Client(AF_INET, &forwarder)};
    const std::string a = Text(Query("a.test")), b = Text(Query("b.test")),
                      c = Text(Query("c.test"));
    SendTo(clients[0].Get(), a, forwarder);
    SendTo(clients[1].Get(), b, forwarder);
    EXPECT_EQ(Answer(0), a);
    EXPECT_EQ(Answer(0), b);
    EXPECT_EQ(Receive(clients[0].Get()), AnswerTo(a));
    SendTo(clients[1].Get(), b, forwarder);  // b is the more recent
    EXPECT_EQ(Answer(0), b);
    SendTo(clients[2].Get(), c, forwarder);
    EXPECT_EQ(Answer(0), c);
    EXPECT_EQ(Receive(clients[2].Get()), AnswerTo(c));
    EXPECT_EQ(forwarder_->Counts().evicted, 1u);
    EXPECT_EQ(forwarder_->Counts().exchanges, 2u);
    SendTo(clients[1].Get(), b, forwarder);
    EXPECT_EQ(Answer(0), b);
    EXPECT_EQ(forwarder_->Counts().evicted, 1u) << "b, the more recent, kept its exchange";

    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().exchanges == 0; }));
    EXPECT_EQ(forwarder_->Counts().dropped, 0u);
}

// One client socket asking many resolvers takes at most its own share of the exchanges; another
// client still finds room.
TEST_F(DnsForwarderTest, OneClientSocketCannotTakeEveryExchange) {
    UNIQUE_FD more[2] = {Bound(SOCK_DGRAM, "127.0.0.1", 0), Bound(SOCK_DGRAM, "127.0.0.1", 0)};
    const int targets[3] = {resolvers_[0].Get(), more[0].Get(), more[1].Get()};
    DNS_FORWARDER_OPTIONS options = Options();
    options.maxExchanges = 3;
    options.maxExchangesPerClient = 2;
    std::atomic<uint16_t> greedyPort{0};
    int next = 0;  // loop thread only
    route_ = [&](const sockaddr_storage& client) -> std::optional<sockaddr_storage> {
        if (PortOf(client) != greedyPort.load())
            return std::nullopt;
        return SocketName(targets[next++ % 3]);
    };
    Start(options);
    sockaddr_storage forwarder{};
    UNIQUE_FD greedy = Client(AF_INET, &forwarder);
    greedyPort = PortOf(SocketName(greedy.Get()));
    const std::string queries[3] = {Text(Query("a.test", 1, 1)), Text(Query("a.test", 1, 2)),
                                    Text(Query("a.test", 1, 3))};
    for (const std::string& query : queries)
        SendTo(greedy.Get(), query, forwarder);
    EXPECT_EQ(Receive(targets[0]), queries[0]);
    EXPECT_EQ(Receive(targets[1]), queries[1]);
    EXPECT_EQ(Receive(targets[2], nullptr, 50), "(nothing)");
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().dropped == 1; }));

    UNIQUE_FD other = Client(AF_INET, &forwarder);
    const std::string query = Text(Query("b.test"));
    SendTo(other.Get(), query, forwarder);
    EXPECT_EQ(Answer(0), query);
    EXPECT_EQ(Receive(other.Get()), AnswerTo(query));
}

// A client's datagram that is not a DNS query goes nowhere, and of what the resolver sends back
// only the answer to the query forwarded reaches the client, once. Over TCP a stream that carries
// anything else ends there, whichever side sent it.
TEST_F(DnsForwarderTest, NothingButDnsGetsThroughInEitherDirection) {
    UNIQUE_FD tcpResolver = Bound(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_TRUE(tcpResolver.Valid());
    DNS_FORWARDER_OPTIONS options = Options();
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        *to = SocketName(tcpResolver.Get());
        return true;
    };
    Start(options);
    sockaddr_storage forwarder{};
    UNIQUE_FD client = Client(AF_INET, &forwarder);
    const std::string query = Text(Query("www.example.test", 1, 0x4242));
    for (const std::string& other : {std::string("SSH-2.0-OpenSSH_9.6\r\n"),
                                     Text(Query("www.example.test", 1, 1, 0x8180)), query + "x"})
        SendTo(client.Get(), other, forwarder);
    SendTo(client.Get(), query, forwarder);
    sockaddr_storage from{};
    EXPECT_EQ(Receive(resolvers_[0].Get(), &from), query) << "the first to arrive is the query";
    for (const std::string& reply :
         {std::string("tunnel data"), AnswerTo(Text(Query("www.example.test", 1, 0x4243))),
          AnswerTo(query) + "x", AnswerTo(query), AnswerTo(query, 2)})
        SendTo(resolvers_[0].Get(), reply, from);
    EXPECT_EQ(Receive(client.Get()), AnswerTo(query));
    EXPECT_EQ(Receive(client.Get(), nullptr, 100), "(nothing)") << "a second answer came";
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().notAnswers == 4; }));
    EXPECT_EQ(forwarder_->Counts().notQueries, 3u);

    std::atomic<size_t> bytesAtResolver{0};
    std::thread serve([&] {
        auto drain = [&](int fd) {
            char buffer[256];
            for (ssize_t n; wexo::test::Readable(fd, 3000) && (n = recv(fd, buffer, 256, 0)) > 0;)
                bytesAtResolver += static_cast<size_t>(n);
        };
        UNIQUE_FD first = wexo::test::AcceptWithin(tcpResolver.Get(), 3000);
        drain(first.Get());
        UNIQUE_FD second = wexo::test::AcceptWithin(tcpResolver.Get(), 3000);
        if (ReadFrame(second.Get()) == query) {
            const std::string banner = "SSH-2.0-OpenSSH_9.6\r\n";
            send(second.Get(), banner.data(), banner.size(), MSG_NOSIGNAL);
        }
        drain(second.Get());
    });
    const sockaddr_storage tcpForwarder = LoopbackAddress(AF_INET, forwarder_->Port());
    UNIQUE_FD sender;
    ASSERT_EQ(wexo::test::Connect(sender, SOCK_STREAM, tcpForwarder), 0);
    SendAll(sender.Get(), "SSH-2.0-OpenSSH_9.6\r\n");  // unframed, as a tunnel would send it
    EXPECT_EQ(ReadFrame(sender.Get()), "(closed)");
    UNIQUE_FD asker;
    ASSERT_EQ(wexo::test::Connect(asker, SOCK_STREAM, tcpForwarder), 0);
    SendAll(asker.Get(), Frame(query));
    EXPECT_EQ(ReadFrame(asker.Get()), "(closed)");
    serve.join();
    EXPECT_EQ(bytesAtResolver.load(), 0u);
    EXPECT_EQ(forwarder_->Counts().notQueries, 4u);
    EXPECT_EQ(forwarder_->Counts().notAnswers, 5u);
}

// A query whose destination is the forwarder itself would be forwarded to itself, and again from
// there, until the exchanges ran out: it is refused, over UDP and TCP, and other clients go on
// being answered. Here everyone but one client asks the forwarder, its own sockets included.
TEST_F(DnsForwarderTest, AQueryForTheForwarderItselfIsRefusedAndOthersAreStillAnswered) {
    DNS_FORWARDER_OPTIONS options = Options();
    options.maxExchanges = 8;
    std::atomic<uint16_t> honestPort{0};
    // The forwarder's loop calls these until it has stopped, and the fixture's pointer to it is
    // cleared before that: they read the port, never the pointer.
    std::atomic<uint16_t> forwarderPort{0};
    route_ = [&](const sockaddr_storage& client) -> std::optional<sockaddr_storage> {
        if (PortOf(client) == honestPort.load())
            return std::nullopt;
        return LoopbackAddress(client.ss_family, forwarderPort.load());
    };
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        *to = LoopbackAddress(AF_INET, forwarderPort.load());
        return true;
    };
    Start(options);
    forwarderPort = forwarder_->Port();
    sockaddr_storage forwarder{};
    for (int family : {AF_INET, AF_INET6}) {
        for (int socket = 0; socket < 4; ++socket) {
            UNIQUE_FD attacker = Client(family, &forwarder);
            for (uint16_t id = 0; id < 10; ++id)
                SendTo(attacker.Get(), Text(Query("loop.test", 1, id)), forwarder);
        }
    }
    UNIQUE_FD tcp;
    ASSERT_EQ(wexo::test::Connect(tcp, SOCK_STREAM, LoopbackAddress(AF_INET, forwarder_->Port())),
              0);
    SendToRefused(tcp.Get(), Frame(Text(Query("loop.test"))));
    EXPECT_EQ(ReadFrame(tcp.Get()), "(closed)");

    UNIQUE_FD honest = Client(AF_INET, &forwarder);
    honestPort = PortOf(SocketName(honest.Get()));
    const std::string query = Text(Query("www.example.test"));
    SendTo(honest.Get(), query, forwarder);
    EXPECT_EQ(Answer(0), query);
    EXPECT_EQ(Receive(honest.Get()), AnswerTo(query));
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().refused == 81; }));
    EXPECT_EQ(forwarder_->Counts().exchanges, 1u);
}

// Resolvers on loopback are refused unless allowed: no redirected query was going there.
TEST_F(DnsForwarderTest, AResolverOnLoopbackIsRefusedByDefault) {
    Start(DNS_FORWARDER_OPTIONS{});
    for (int family : {AF_INET, AF_INET6}) {
        sockaddr_storage forwarder{};
        UNIQUE_FD client = Client(family, &forwarder);
        SendTo(client.Get(), Text(Query("www.example.test")), forwarder);
        EXPECT_EQ(Receive(resolvers_[family == AF_INET ? 0 : 1].Get(), nullptr, 50), "(nothing)");
    }
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().refused == 2; }));
}

// DNS over TCP: each framed message is presented as a datagram would be, so a rewritten answer
// replaces the original on this path too; messages split across writes or sent together are
// taken one by one, and the canary is answered here.
TEST_F(DnsForwarderTest, MessagesOverTcpGoThroughTheEngineOneByOne) {
    const std::string remapMe = Text(Query("remap.example.test", 1, 9));
    callouts_.SetDecide([&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                            const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        std::string payload(packet.Data().begin(), packet.Data().end());
        if (values.direction == FWP_DIRECTION_INBOUND && payload == AnswerTo(remapMe))
            os::testing::RewriteInboundDatagram(callouts_.Injection(), nullptr, packet, values,
                                                metadata, out, "remapped", nullptr);
    });
    UNIQUE_FD resolver = Bound(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_TRUE(resolver.Valid());
    std::atomic<int> resolverQueries{0};
    std::thread serve([&] {
        UNIQUE_FD c = wexo::test::AcceptWithin(resolver.Get(), 5000);
        for (;;) {
            const std::string query = ReadFrame(c.Get());
            if (query == "(nothing)" || query == "(closed)")
                return;
            ++resolverQueries;
            const std::string answer = Frame(AnswerTo(query));
            send(c.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    });
    DNS_FORWARDER_OPTIONS options = Options();
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        *to = SocketName(resolver.Get());
        return true;
    };
    Start(options);
    UNIQUE_FD client;
    ASSERT_EQ(
        wexo::test::Connect(client, SOCK_STREAM, LoopbackAddress(AF_INET, forwarder_->Port())), 0);
    std::string q[4];
    for (uint16_t i = 0; i < 4; ++i)
        q[i] = Text(Query("q" + std::to_string(i) + ".example.test", 1, i));
    SendAll(client.Get(), Frame(q[0]));
    EXPECT_EQ(ReadFrame(client.Get()), AnswerTo(q[0]));
    SendAll(client.Get(), Frame(remapMe));
    EXPECT_EQ(ReadFrame(client.Get()), "remapped");
    const std::string split = Frame(q[1]);
    SendAll(client.Get(), split.substr(0, 1));
    std::this_thread::sleep_for(20ms);
    SendAll(client.Get(), split.substr(1));
    EXPECT_EQ(ReadFrame(client.Get()), AnswerTo(q[1]));
    SendAll(client.Get(), Frame(q[2]) + Frame(q[3]));
    EXPECT_EQ(ReadFrame(client.Get()), AnswerTo(q[2]));
    EXPECT_EQ(ReadFrame(client.Get()), AnswerTo(q[3]));
    SendAll(client.Get(), Frame(Text(Query("use-application-dns.net"))));
    const std::string canary = ReadFrame(client.Get());
    ASSERT_GE(canary.size(), 4u);
    EXPECT_EQ(canary[3] & 0x0F, 3);
    EXPECT_EQ(resolverQueries.load(), 5);
    EXPECT_EQ(forwarder_->Counts().tcpConnections, 1u);
    client.Reset();
    serve.join();
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().tcpConnections == 0; }));
}

// Over TCP too, a new connection past the bound takes the place of the one quiet longest.
TEST_F(DnsForwarderTest, ATcpConnectionPastTheBoundEndsTheQuietestOne) {
    UNIQUE_FD resolver = Bound(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_TRUE(resolver.Valid());
    std::atomic<bool> stop{false};
    std::thread serve([&] {
        std::vector<std::thread> answering;
        while (!stop.load()) {
            auto c = std::make_shared<UNIQUE_FD>(wexo::test::AcceptWithin(resolver.Get(), 20));
            if (!c->Valid())
                continue;
            answering.emplace_back([c] {
                for (std::string query; (query = ReadFrame(c->Get())).size() > 12;) {
                    const std::string answer = Frame(AnswerTo(query));
                    send(c->Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
                }
            });
        }
        for (std::thread& t : answering)
            t.join();
    });
    DNS_FORWARDER_OPTIONS options = Options();
    options.maxTcpConnections = 2;
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        *to = SocketName(resolver.Get());
        return true;
    };
    Start(options);
    UNIQUE_FD clients[3];
    const std::string query = Text(Query("a.test"));
    auto ask = [&](int i) {
        SendAll(clients[i].Get(), Frame(query));
        return ReadFrame(clients[i].Get());
    };
    for (int i : {0, 1}) {
        ASSERT_EQ(wexo::test::Connect(clients[i], SOCK_STREAM,
                                      LoopbackAddress(AF_INET, forwarder_->Port())),
                  0);
        EXPECT_EQ(ask(i), AnswerTo(query));
    }
    EXPECT_EQ(ask(0), AnswerTo(query));  // 1 is now the quietest
    ASSERT_EQ(
        wexo::test::Connect(clients[2], SOCK_STREAM, LoopbackAddress(AF_INET, forwarder_->Port())),
        0);
    EXPECT_EQ(ask(2), AnswerTo(query));
    EXPECT_EQ(ReadFrame(clients[1].Get()), "(closed)");
    EXPECT_EQ(ask(0), AnswerTo(query));
    EXPECT_EQ(forwarder_->Counts().evicted, 1u);
    for (UNIQUE_FD& client : clients)
        client.Reset();
    forwarder_->Stop();
    stop = true;
    serve.join();
}

// A resolver's HTTPS answer reaches the client without its ECH keys, over UDP as over TCP; the
// engine saw the answer as the resolver sent it. With stripping off, the answer is untouched.
TEST_F(DnsForwarderTest, AnswersReachTheClientWithoutEchKeys) {
    const std::string original = Text(wexo::test::svcb::HttpsAnswer());
    std::optional<std::vector<uint8_t>> expected = StripEchParams(wexo::test::svcb::HttpsAnswer());
    ASSERT_TRUE(expected);
    const std::string stripped = Text(*expected);
    const std::string query = Text(Query("example.test", 65, 0xABCD));

    UNIQUE_FD tcpResolver = Bound(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_TRUE(tcpResolver.Valid());
    DNS_FORWARDER_OPTIONS options = Options();
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        *to = SocketName(tcpResolver.Get());
        return true;
    };
    for (bool strip : {true, false}) {
        SCOPED_TRACE(strip ? "stripping" : "not stripping");
        forwarder_.reset();
        options.stripEch = strip;
        Start(options);
        if (HasFatalFailure())
            return;
        const std::string want = strip ? stripped : original;
        for (int family : {AF_INET, AF_INET6}) {
            const int index = family == AF_INET ? 0 : 1;
            sockaddr_storage forwarder{};
            UNIQUE_FD client = Client(family, &forwarder);
            SendTo(client.Get(), query, forwarder);
            EXPECT_EQ(Answer(index, original), query);
            EXPECT_EQ(Receive(client.Get()), want);
        }
        UNIQUE_FD client;
        ASSERT_EQ(
            wexo::test::Connect(client, SOCK_STREAM, LoopbackAddress(AF_INET, forwarder_->Port())),
            0);
        // Started once nothing can return before the join.
        std::thread serve([&] {
            UNIQUE_FD c = wexo::test::AcceptWithin(tcpResolver.Get(), 5000);
            if (ReadFrame(c.Get()) == query) {
                const std::string answer = Frame(original);
                send(c.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            ReadFrame(c.Get());  // until the forwarder closes
        });
        const std::string framed = Frame(query);
        EXPECT_EQ(send(client.Get(), framed.data(), framed.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(framed.size()));
        EXPECT_EQ(ReadFrame(client.Get()), want);
        client.Reset();
        serve.join();
        EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().delivered == 3; }));
        EXPECT_EQ(forwarder_->Counts().echStripped, strip ? 3u : 0u);
    }
    // The engine was shown the resolver's answer as it came.
    std::vector<std::string> seen = callouts_.Seen();
    EXPECT_NE(std::find(seen.begin(), seen.end(), "in:" + original), seen.end());
}

TEST_F(DnsForwarderTest, AClientWhoseDestinationIsUnknownIsDropped) {
    DNS_FORWARDER_OPTIONS options = Options();
    Start(options);
    forwarder_.reset();
    options.destination = [](const sockaddr_storage&, const sockaddr_storage&, sockaddr_storage*) {
        return false;
    };
    forwarder_ = std::make_unique<DNS_FORWARDER>(FilterEngine::Current(), std::move(options));
    std::string why;
    ASSERT_EQ(forwarder_->Start(&why), 0) << why;
    sockaddr_storage forwarder{};
    UNIQUE_FD client = Client(AF_INET, &forwarder);
    SendTo(client.Get(), Text(Query("where-to.test")), forwarder);
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().dropped == 1; }));
    EXPECT_EQ(forwarder_->Counts().exchanges, 0u);
}

// Behind the real redirect: the client sends to the server namespace's resolver, the table sends
// it to the forwarder, connection tracking names the resolver, and the answer comes back from
// the resolver's own address (a connected socket accepts nothing else).
class DnsRedirectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        net_ = NETWORK_NAMESPACES::Create(&why);
        if (net_ == nullptr)
            GTEST_SKIP() << why;
        dns_.Add("www.example.test", "192.0.2.2");
        dns_.Add("www.example.test", "2001:db8::2");
        bool started = false;
        ASSERT_TRUE(net_->RunIn(SIDE::Server, [&] {
            started = dns_.Start({"192.0.2.2", "2001:db8::2"}, 53, &why);
        }));
        ASSERT_TRUE(started) << why;
        ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] {
            DNS_FORWARDER_OPTIONS options;
            options.mark = kProxySocketMark;
            forwarder_ = std::make_unique<DNS_FORWARDER>(FilterEngine::Current(), options);
            ASSERT_EQ(forwarder_->Start(&why), 0) << why;
            NFT_TABLE_OPTIONS table;
            table.tcpProxyPort = 9;  // no TCP in this test
            table.dnsPort = forwarder_->Port();
            ASSERT_EQ(table_.Install(table, &why), ERROR_SUCCESS) << why;
        }));
    }
    void TearDown() override {
        table_.Remove();
        forwarder_.reset();
        dns_.Stop();
    }

    // A query from the client namespace over a connected socket; the answer's bytes.
    std::string Ask(const std::string& resolver, const std::vector<uint8_t>& query) {
        std::string answer;
        net_->RunIn(SIDE::Client, [&] {
            UNIQUE_FD fd;
            ASSERT_EQ(wexo::test::Connect(fd, SOCK_DGRAM, Address(resolver, 53)), 0);
            ASSERT_EQ(send(fd.Get(), query.data(), query.size(), 0),
                      static_cast<ssize_t>(query.size()));
            answer = Receive(fd.Get());
        });
        return answer;
    }

    std::unique_ptr<NETWORK_NAMESPACES> net_;
    DATAGRAM_CALLOUTS callouts_;
    wexo::peers::DNS_PEER dns_;
    std::unique_ptr<DNS_FORWARDER> forwarder_;
    NFT_TABLE table_;
};

TEST_F(DnsRedirectTest, AnswersComeFromTheResolverAskedThroughTheForwarder) {
    const std::string v4 = Ask("192.0.2.2", Query("www.example.test", 1));
    ASSERT_GE(v4.size(), 16u) << v4;
    EXPECT_EQ(v4.substr(v4.size() - 4), std::string("\xC0\x00\x02\x02", 4));
    const std::string v6 = Ask("2001:db8::2", Query("www.example.test", 28));
    ASSERT_GE(v6.size(), 28u) << v6;
    EXPECT_EQ(static_cast<uint8_t>(v6[v6.size() - 1]), 2);
    EXPECT_EQ(dns_.QueryCount("www.example.test"), 2u);
    // The resolver saw the client's own address: the forwarder's socket is in its namespace.
    EXPECT_EQ(wexo::test::Text(dns_.LastClient()).rfind("[2001:db8::1]:", 0), 0u);
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().delivered == 2; }));
    EXPECT_EQ(forwarder_->Counts().queries, 2u);
    EXPECT_EQ(callouts_.Seen().size(), 4u);

    // Over TCP the same way, to the resolver asked.
    std::string overTcp;
    net_->RunIn(SIDE::Client, [&] {
        UNIQUE_FD fd;
        ASSERT_EQ(wexo::test::Connect(fd, SOCK_STREAM, Address("192.0.2.2", 53)), 0);
        SendAll(fd.Get(), Frame(Text(Query("www.example.test", 1))));
        overTcp = ReadFrame(fd.Get());
    });
    ASSERT_GE(overTcp.size(), 16u) << overTcp;
    EXPECT_EQ(overTcp.substr(overTcp.size() - 4), std::string("\xC0\x00\x02\x02", 4));
    EXPECT_EQ(dns_.TcpQueries(), 1u);

    // The canary never reaches the resolver, whichever address was asked.
    const std::string canary = Ask("192.0.2.2", Query("Use-Application-DNS.net"));
    ASSERT_GE(canary.size(), 4u);
    EXPECT_EQ(canary[3] & 0x0F, 3);
    EXPECT_EQ(dns_.QueryCount("use-application-dns.net"), 0u);
}

// A query sent straight to the forwarder's own socket (from this namespace, where its port can be
// read) is what connection tracking then names as its destination: it is refused, over UDP and
// TCP, however often it comes, and the machine's other lookups go on being answered.
TEST_F(DnsRedirectTest, AQuerySentStraightToTheForwarderIsRefusedAndOthersAreStillAnswered) {
    const uint16_t port = forwarder_->Port();
    net_->RunIn(SIDE::Client, [&] {
        for (const char* loopback : {"127.0.0.1", "::1"}) {
            for (int socket = 0; socket < 4; ++socket) {
                UNIQUE_FD fd;
                ASSERT_EQ(wexo::test::Connect(fd, SOCK_DGRAM, Address(loopback, port)), 0);
                for (uint16_t id = 0; id < 10; ++id) {
                    const std::vector<uint8_t> query = Query("www.example.test", 1, id);
                    send(fd.Get(), query.data(), query.size(), 0);
                }
            }
        }
        UNIQUE_FD tcp;
        ASSERT_EQ(wexo::test::Connect(tcp, SOCK_STREAM, Address("127.0.0.1", port)), 0);
        SendToRefused(tcp.Get(), Frame(Text(Query("www.example.test"))));
        EXPECT_EQ(ReadFrame(tcp.Get()), "(closed)");
    });
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().refused == 81; }))
        << forwarder_->Counts().refused << " refused, " << forwarder_->Counts().dropped
        << " dropped";
    const std::string answer = Ask("192.0.2.2", Query("www.example.test", 1));
    ASSERT_GE(answer.size(), 16u) << answer;
    EXPECT_EQ(answer.substr(answer.size() - 4), std::string("\xC0\x00\x02\x02", 4));
    EXPECT_EQ(dns_.QueryCount("www.example.test"), 1u);
    EXPECT_EQ(forwarder_->Counts().exchanges, 1u);
}

// Nor does it send to an address of the machine's own, which the route tells (a destination the
// redirect never gives: traffic to the machine's own addresses stays on loopback).
TEST_F(DnsRedirectTest, AResolverAtTheMachinesOwnAddressIsRefused) {
    UNIQUE_FD own[2];
    UNIQUE_FD ownTcp;
    std::unique_ptr<DNS_FORWARDER> second;
    ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] {
        own[0] = Bound(SOCK_DGRAM, "192.0.2.1", 0);
        own[1] = Bound(SOCK_DGRAM, "2001:db8::1", 0);
        ownTcp = Bound(SOCK_STREAM, "192.0.2.1", 0);
        ASSERT_TRUE(own[0].Valid() && own[1].Valid() && ownTcp.Valid());
        DNS_FORWARDER_OPTIONS options;
        options.mark = kProxySocketMark;
        options.destination = [&](const sockaddr_storage& client, const sockaddr_storage&,
                                  sockaddr_storage* resolver) {
            socklen_t length = sizeof *resolver;
            getsockname(own[client.ss_family == AF_INET ? 0 : 1].Get(),
                        reinterpret_cast<sockaddr*>(resolver), &length);
            return true;
        };
        options.tcpDestination = [&](int, sockaddr_storage* resolver) {
            socklen_t length = sizeof *resolver;
            getsockname(ownTcp.Get(), reinterpret_cast<sockaddr*>(resolver), &length);
            return true;
        };
        second = std::make_unique<DNS_FORWARDER>(FilterEngine::Current(), std::move(options));
        std::string why;
        ASSERT_EQ(second->Start(&why), 0) << why;
        for (int family : {AF_INET, AF_INET6}) {
            UNIQUE_FD client;
            ASSERT_EQ(
                wexo::test::Connect(client, SOCK_DGRAM, LoopbackAddress(family, second->Port())),
                0);
            const std::vector<uint8_t> query = Query("www.example.test");
            send(client.Get(), query.data(), query.size(), 0);
        }
        UNIQUE_FD tcp;
        ASSERT_EQ(wexo::test::Connect(tcp, SOCK_STREAM, LoopbackAddress(AF_INET, second->Port())),
                  0);
        SendToRefused(tcp.Get(), Frame(Text(Query("www.example.test"))));
        EXPECT_EQ(ReadFrame(tcp.Get()), "(closed)");
    }));
    ASSERT_TRUE(second);
    EXPECT_TRUE(Eventually([&] { return second->Counts().refused == 3; }));
    EXPECT_EQ(Receive(own[0].Get(), nullptr, 50), "(nothing)");
    EXPECT_EQ(Receive(own[1].Get(), nullptr, 50), "(nothing)");
    EXPECT_FALSE(wexo::test::AcceptWithin(ownTcp.Get(), 50).Valid());
    second.reset();
}

// A tunnel over port 53 gets nothing through: neither its client's datagrams and stream to the
// server, nor the server's bytes back to a client whose query was DNS.
TEST_F(DnsRedirectTest, ATunnelOverPort53GetsNothingThrough) {
    dns_.Stop();
    UNIQUE_FD udp, tcp;
    ASSERT_TRUE(net_->RunIn(SIDE::Server, [&] {
        udp = Bound(SOCK_DGRAM, "192.0.2.2", 53);
        tcp = Bound(SOCK_STREAM, "192.0.2.2", 53);
    }));
    ASSERT_TRUE(udp.Valid() && tcp.Valid());
    UNIQUE_FD client, stream;
    ASSERT_TRUE(net_->RunIn(SIDE::Client, [&] {
        ASSERT_EQ(wexo::test::Connect(client, SOCK_DGRAM, Address("192.0.2.2", 53)), 0);
        ASSERT_EQ(wexo::test::Connect(stream, SOCK_STREAM, Address("192.0.2.2", 53)), 0);
    }));
    const std::string tunnel = "\x45\x00\x00\x54 an IP packet in a tunnel";
    ASSERT_EQ(send(client.Get(), tunnel.data(), tunnel.size(), 0),
              static_cast<ssize_t>(tunnel.size()));
    EXPECT_EQ(Receive(udp.Get(), nullptr, 200), "(nothing)");
    // A query is DNS and goes on; what comes back is not, and stays.
    const std::vector<uint8_t> query = Query("www.example.test");
    ASSERT_EQ(send(client.Get(), query.data(), query.size(), 0),
              static_cast<ssize_t>(query.size()));
    sockaddr_storage from{};
    EXPECT_EQ(Receive(udp.Get(), &from), Text(query));
    SendTo(udp.Get(), tunnel, from);
    EXPECT_EQ(Receive(client.Get(), nullptr, 200), "(nothing)");

    // Over TCP the server greets, the client speaks first too; neither hears the other.
    UNIQUE_FD server = wexo::test::AcceptWithin(tcp.Get(), 3000);
    ASSERT_TRUE(server.Valid());
    const std::string banner = "SSH-2.0-OpenSSH_9.6\r\n";
    send(server.Get(), banner.data(), banner.size(), MSG_NOSIGNAL);
    send(stream.Get(), banner.data(), banner.size(), MSG_NOSIGNAL);
    char buffer[64];
    for (int fd : {server.Get(), stream.Get()}) {
        ASSERT_TRUE(wexo::test::Readable(fd, 3000)) << "the connection stayed open";
        EXPECT_LE(recv(fd, buffer, sizeof buffer, MSG_DONTWAIT), 0);
    }
    const DNS_FORWARDER_COUNTS counts = forwarder_->Counts();
    EXPECT_GE(counts.notQueries, 1u);
    EXPECT_GE(counts.notAnswers, 1u);
    EXPECT_GE(counts.notQueries + counts.notAnswers, 3u);
}

}  // namespace
}  // namespace os::wfplinux
