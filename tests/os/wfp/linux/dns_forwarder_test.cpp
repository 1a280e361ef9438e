// The DNS forwarder: the canary answer on its own; the forwarder on loopback with a resolver the
// test names (its datagram callout, the test's, decides what passes and rewrites answers); and in
// network namespaces behind the product's redirect table, where connection tracking tells the
// resolver the client asked and the answer must come back from that resolver's address.
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
using SIDE = NETWORK_NAMESPACES::SIDE;

std::vector<uint8_t> Query(const std::string& name, uint16_t type = 1, uint16_t id = 0x1234,
                           uint16_t flags = 0x0100) {
    return wexo::peers::DnsQuery(name, type, id, flags);
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
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

// The forwarder on loopback: the redirect's part is played by the destination hook, which sends
// every client to the test's resolver of the same family.
class DnsForwarderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resolvers_[0] = Bound(SOCK_DGRAM, "127.0.0.1", 0);
        resolvers_[1] = Bound(SOCK_DGRAM, "::1", 0);
        ASSERT_TRUE(resolvers_[0].Valid() && resolvers_[1].Valid());
    }
    void Start(DNS_FORWARDER_OPTIONS options = {}) {
        options.destination = [this](const sockaddr_storage& client, const sockaddr_storage&,
                                     sockaddr_storage* resolver) {
            const int index = client.ss_family == AF_INET ? 0 : 1;
            socklen_t length = sizeof *resolver;
            getsockname(resolvers_[index].Get(), reinterpret_cast<sockaddr*>(resolver), &length);
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

    // A client socket of the family, and the forwarder's address for it.
    UNIQUE_FD Client(int family, sockaddr_storage* forwarder) {
        *forwarder = LoopbackAddress(family, forwarder_->Port());
        return Bound(SOCK_DGRAM, family == AF_INET ? "127.0.0.1" : "::1", 0);
    }

    // The resolver answers the next query with `answer`; the query as it came.
    std::string Answer(int index, const std::string& answer) {
        sockaddr_storage from{};
        std::string query = Receive(resolvers_[index].Get(), &from);
        if (query != "(nothing)")
            SendTo(resolvers_[index].Get(), answer, from);
        return query;
    }

    DATAGRAM_CALLOUTS callouts_;
    UNIQUE_FD resolvers_[2];
    std::unique_ptr<DNS_FORWARDER> forwarder_;
};

TEST_F(DnsForwarderTest, QueriesReachTheResolverAndAnswersComeBackThroughTheEngine) {
    Start();
    for (int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        const int index = family == AF_INET ? 0 : 1;
        sockaddr_storage forwarder{};
        UNIQUE_FD client = Client(family, &forwarder);
        SendTo(client.Get(), "query one", forwarder);
        EXPECT_EQ(Answer(index, "answer one"), "query one");
        sockaddr_storage from{};
        EXPECT_EQ(Receive(client.Get(), &from), "answer one");
        EXPECT_EQ(wexo::test::Text(from), wexo::test::Text(forwarder));
        // A second query of the same socket takes the same exchange.
        SendTo(client.Get(), "query two", forwarder);
        EXPECT_EQ(Answer(index, "answer two"), "query two");
        EXPECT_EQ(Receive(client.Get()), "answer two");
    }
    // The sink counts after it sent, so the client may have its answer a moment before.
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().delivered == 4; }));
    const DNS_FORWARDER_COUNTS counts = forwarder_->Counts();
    EXPECT_EQ(counts.queries, 4u);
    EXPECT_EQ(counts.answers, 4u);
    EXPECT_EQ(counts.delivered, 4u);
    EXPECT_EQ(counts.exchanges, 2u);
    const std::vector<std::string> expected = {"out:query one", "in:answer one", "out:query two",
                                               "in:answer two"};
    std::vector<std::string> seen = callouts_.Seen();
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 4), expected);
}

// The driver's way of changing an answer: the original absorbed, a rewritten one injected. The
// client gets the rewritten one only; a blocked query never reaches the resolver.
TEST_F(DnsForwarderTest, ARewrittenAnswerReplacesTheOriginalAndABlockedQueryGoesNowhere) {
    std::atomic<NTSTATUS> injected{STATUS_PENDING};
    callouts_.SetDecide([&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                            const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        std::string payload(packet.Data().begin(), packet.Data().end());
        if (values.direction == FWP_DIRECTION_INBOUND && payload == "real answer") {
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
        SendTo(client.Get(), "query", forwarder);
        EXPECT_EQ(Answer(index, "real answer"), "query");
        EXPECT_EQ(Receive(client.Get()), "remapped answer");
        EXPECT_EQ(Receive(client.Get(), nullptr, 50), "(nothing)") << "the original came too";
        EXPECT_TRUE(Eventually([&] { return injected.load() == STATUS_SUCCESS; }));
        injected = STATUS_PENDING;

        SendTo(client.Get(), "forbidden query", forwarder);
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
    DNS_FORWARDER_OPTIONS off;
    off.answerDohCanary = false;
    Start(off);
    client = Client(AF_INET, &forwarder);
    SendTo(client.Get(), canary, forwarder);
    EXPECT_EQ(Answer(0, "the resolver's own"), canary);
    EXPECT_EQ(Receive(client.Get()), "the resolver's own");
}

// Exchanges are bounded: a new client past the bound is dropped, and finds room once the quiet
// ones have been forgotten.
TEST_F(DnsForwarderTest, ExchangesAreBoundedAndForgottenWhenQuiet) {
    DNS_FORWARDER_OPTIONS options;
    options.maxExchanges = 2;
    options.idleTimeoutMs = 50;
    Start(options);
    sockaddr_storage forwarder{};
    UNIQUE_FD clients[3] = {Client(AF_INET, &forwarder), Client(AF_INET, &forwarder),
                            Client(AF_INET, &forwarder)};
    SendTo(clients[0].Get(), "a", forwarder);
    SendTo(clients[1].Get(), "b", forwarder);
    EXPECT_EQ(Answer(0, "A"), "a");
    EXPECT_EQ(Answer(0, "B"), "b");
    SendTo(clients[2].Get(), "c", forwarder);
    EXPECT_EQ(Receive(resolvers_[0].Get(), nullptr, 20), "(nothing)");
    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().dropped == 1; }));

    EXPECT_TRUE(Eventually([&] { return forwarder_->Counts().exchanges == 0; }));
    SendTo(clients[2].Get(), "c again", forwarder);
    EXPECT_EQ(Answer(0, "C"), "c again");
    EXPECT_EQ(Receive(clients[2].Get()), "C");
}

// DNS over TCP: each framed message is presented as a datagram would be, so a rewritten answer
// replaces the original on this path too; messages split across writes or sent together are
// taken one by one, and the canary is answered here.
TEST_F(DnsForwarderTest, MessagesOverTcpGoThroughTheEngineOneByOne) {
    callouts_.SetDecide([&](NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                            const FWPS_INCOMING_METADATA_VALUES& metadata, FWPS_CLASSIFY_OUT& out) {
        std::string payload(packet.Data().begin(), packet.Data().end());
        if (values.direction == FWP_DIRECTION_INBOUND && payload == "answer to remap me")
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
            const std::string answer = Frame("answer to " + query);
            send(c.Get(), answer.data(), answer.size(), MSG_NOSIGNAL);
        }
    });
    DNS_FORWARDER_OPTIONS options;
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        socklen_t length = sizeof *to;
        getsockname(resolver.Get(), reinterpret_cast<sockaddr*>(to), &length);
        return true;
    };
    Start(options);
    UNIQUE_FD client;
    ASSERT_EQ(
        wexo::test::Connect(client, SOCK_STREAM, LoopbackAddress(AF_INET, forwarder_->Port())), 0);
    SendAll(client.Get(), Frame("one"));
    EXPECT_EQ(ReadFrame(client.Get()), "answer to one");
    SendAll(client.Get(), Frame("remap me"));
    EXPECT_EQ(ReadFrame(client.Get()), "remapped");
    const std::string split = Frame("two");
    SendAll(client.Get(), split.substr(0, 1));
    std::this_thread::sleep_for(20ms);
    SendAll(client.Get(), split.substr(1));
    EXPECT_EQ(ReadFrame(client.Get()), "answer to two");
    SendAll(client.Get(), Frame("three") + Frame("four"));
    EXPECT_EQ(ReadFrame(client.Get()), "answer to three");
    EXPECT_EQ(ReadFrame(client.Get()), "answer to four");
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

// A resolver's HTTPS answer reaches the client without its ECH keys, over UDP as over TCP; the
// engine saw the answer as the resolver sent it. With stripping off, the answer is untouched.
TEST_F(DnsForwarderTest, AnswersReachTheClientWithoutEchKeys) {
    const std::string original = Text(wexo::test::svcb::HttpsAnswer());
    std::optional<std::vector<uint8_t>> expected = StripEchParams(wexo::test::svcb::HttpsAnswer());
    ASSERT_TRUE(expected);
    const std::string stripped = Text(*expected);
    const std::string query = Text(Query("example.test", 65));

    UNIQUE_FD tcpResolver = Bound(SOCK_STREAM, "127.0.0.1", 0);
    ASSERT_TRUE(tcpResolver.Valid());
    DNS_FORWARDER_OPTIONS options;
    options.tcpDestination = [&](int, sockaddr_storage* to) {
        socklen_t length = sizeof *to;
        getsockname(tcpResolver.Get(), reinterpret_cast<sockaddr*>(to), &length);
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
    DNS_FORWARDER_OPTIONS options;
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
    SendTo(client.Get(), "where to?", forwarder);
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

}  // namespace
}  // namespace os::wfplinux
