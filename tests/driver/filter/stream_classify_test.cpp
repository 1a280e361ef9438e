// Stream classification on the simulated network: which segments pass, which are held for a
// lookup, what a queued flow carries, and what happens without memory.
#include "driver/filter/stream_classify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>

#include "common/service_domain.h"
#include "driver/filter/tls_parser.h"
#include "os/core/debugger.h"
#include "os/wfp/sim/sim_network.h"
#include "tests/driver/filter/stream_filter_harness.h"

namespace wexo::drv {
namespace {

using testing::ClientHello;
using testing::FILTER_REGISTRATION;
using testing::ReadTestData;

const os::IP_ADDRESS_BYTES kServer = os::MakeIPv4Address(203, 0, 113, 80);
const os::IP_ADDRESS_BYTES kServerV6 =
    os::MakeIPv6Address({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x80});
constexpr uint64_t kBrowser = 4242;
constexpr std::string_view kGet = "GET /page?q=1 HTTP/1.1\r\nHost: www.example.test\r\n\r\n";

std::string Text(std::span<const uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper;
}

// The same hello (with a server name, without a session ID) with an encrypted_client_hello
// extension after the name, and its three lengths grown to match.
std::vector<uint8_t> WithEchExtension(std::vector<uint8_t> hello) {
    const std::vector<uint8_t> extension = {0xfe, 0x0d, 0x00, 0x0c, 0x00, 0x00, 0x01, 0x00,
                                            0x01, 0x2a, 0x00, 0x01, 0x77, 0x00, 0x01, 0x88};
    hello.insert(hello.end(), extension.begin(), extension.end());
    auto grow = [&](size_t at, size_t width) {
        size_t value = 0;
        for (size_t i = 0; i < width; ++i) {
            value = value << 8 | hello[at + i];
        }
        value += extension.size();
        for (size_t i = width; i-- > 0; value >>= 8) {
            hello[at + i] = static_cast<uint8_t>(value);
        }
    };
    grow(3, 2);   // record
    grow(6, 3);   // handshake
    grow(50, 2);  // extensions: after version, random, empty session ID, suites, compression
    return hello;
}

// The captured TLS 1.2 flight with its certificate made out to `name` (of the captured name's
// length, so that every DER length stays right).
std::vector<uint8_t> ServerFlightFor(const std::string& name) {
    std::vector<uint8_t> flight = ReadTestData("tls/tls12_server_flight.bin");
    const std::string captured = "capture.wexo-test.example";
    std::string padded = name;
    padded.insert(0, captured.size() - std::min(captured.size(), name.size()), 'x');
    padded.resize(captured.size());
    auto at = std::search(flight.begin(), flight.end(), captured.begin(), captured.end());
    while (at != flight.end()) {
        std::copy(padded.begin(), padded.end(), at);
        at = std::search(at + 1, flight.end(), captured.begin(), captured.end());
    }
    return flight;
}

class StreamClassifyTest : public ::testing::Test {
  protected:
    void SetUp() override { filter_.Flows().ResetFlowNumbers(); }

    void TearDown() override {
        // Connections still open are reset; flows still queued are dropped as at unload.
        network_.reset();
        filter_.FlushLookupQueue();
        EXPECT_EQ(filter_.InProgressCount(), 0u);
        EXPECT_EQ(filter_.Flows().InUse(), 0u) << "a flow was not released";
        EXPECT_EQ(os::PoolOutstanding(os::kWfpCloneTag), 0u);
        EXPECT_EQ(os::PoolOutstanding(kFlowNamesTag), 0u);
        EXPECT_EQ(os::PoolOutstanding(kParseBufferTag), 0u);
    }

    std::shared_ptr<os::SimTcpConnection> Open(const os::IP_ADDRESS_BYTES& server = kServer,
                                               uint16_t port = 80,
                                               std::optional<uint64_t> process = kBrowser) {
        return network_->OpenTcp(server, port, process);
    }

    std::string HeldText(FLOW* flow) {
        std::lock_guard guard(filter_.FlowLock());
        return testing::ChainText(flow->heldData.Head());
    }

    // Takes the only queued flow; fails the test when there is not exactly one.
    FLOW* TakeOnly() {
        EXPECT_EQ(filter_.QueuedCount(), 1u);
        FLOW* flow = filter_.TakeForLookup();
        EXPECT_NE(flow, nullptr);
        return flow;
    }

    os::FilterEngine engine_;
    STREAM_FILTER filter_;
    FILTER_REGISTRATION registration_{filter_};
    std::optional<os::SimNetwork> network_{std::in_place, engine_};
};

// ---- Plain HTTP ----

TEST_F(StreamClassifyTest, AGetIsHeldAndQueuedWithWhatTheLookupNeeds) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_TRUE(filter_.LookupEvent().IsSet());

    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(filter_.InProgressCount(), 1u);
    EXPECT_EQ(flow->state.load(), FLOW_STATE_HTTP_LOOKUP);
    EXPECT_EQ(flow->flowNumber, 1u);
    EXPECT_EQ(flow->processId, kBrowser);
    EXPECT_EQ(flow->flowId, connection->FlowId());
    EXPECT_EQ(flow->layerId, os::FWPS_LAYER_STREAM_V4);
    EXPECT_EQ(flow->calloutId, registration_.StreamCalloutId());
    ASSERT_TRUE(flow->names);
    EXPECT_EQ(flow->names->Host(), "www.example.test");
    EXPECT_EQ(flow->names->Path(), "/page?q=1");
    EXPECT_EQ(flow->names->ProxyPrefix(), "");
    EXPECT_EQ(flow->addressLength, 4u);
    EXPECT_EQ(std::vector<uint8_t>(flow->remoteAddress, flow->remoteAddress + 4),
              (std::vector<uint8_t>{203, 0, 113, 80}));
    EXPECT_EQ(flow->heldBytes, kGet.size());
    EXPECT_EQ(flow->scanOffset, kGet.size()) << "the framing reader stands after the head";
    // Beyond the base reference: one for the queue and one for the held list.
    EXPECT_EQ(flow->referenceCount.load(), 2);

    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived(), kGet);
}

TEST_F(StreamClassifyTest, ProxyFormKeepsThePrefixAndIPv6TheWholeAddress) {
    auto connection = Open(kServerV6, 8080);
    EXPECT_TRUE(connection->ClientSend(
        "GET http://e.x/x?y=1 HTTP/1.1\r\nHost: e.x\r\nProxy-Connection: keep-alive\r\n\r\n"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->ProxyPrefix(), "http://e.x");
    EXPECT_EQ(flow->names->Path(), "/x?y=1");
    EXPECT_EQ(flow->layerId, os::FWPS_LAYER_STREAM_V6);
    EXPECT_EQ(flow->calloutId, registration_.StreamCalloutId(true));
    EXPECT_EQ(flow->addressLength, 16u);
    EXPECT_TRUE(std::equal(kServerV6.bytes.begin(), kServerV6.bytes.end(), flow->remoteAddress));
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, DataAfterTheGetIsHeldInOrderAndCounted) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_TRUE(connection->ClientSend("body-1;"));
    EXPECT_TRUE(connection->ClientSend("body-2;"));
    EXPECT_TRUE(connection->ServerSend("early"));  // server data is not held
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_EQ(connection->ClientReceived(), "early");

    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(HeldText(flow), std::string(kGet) + "body-1;body-2;");
    EXPECT_EQ(flow->heldBytes, kGet.size() + 14);
    EXPECT_EQ(flow->referenceCount.load(), 1 + 3);
    // The client half-closes while the lookup is pending: the FIN waits too.
    EXPECT_TRUE(connection->ClientClose());
    EXPECT_FALSE(connection->ServerSawFin());
    EXPECT_EQ(flow->clientFinSeen, 1);

    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived(), std::string(kGet) + "body-1;body-2;");
    EXPECT_TRUE(connection->ServerSawFin());
    // Allowed: the next request on the connection is not looked up.
    EXPECT_EQ(filter_.QueuedCount(), 0u);
}

TEST_F(StreamClassifyTest, AClientFinCarryingDataKeepsTheData) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_TRUE(connection->ClientSendAndClose("last words"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(HeldText(flow), std::string(kGet) + "last words");
    EXPECT_EQ(flow->clientFinSeen, 1);
    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived(), std::string(kGet) + "last words");
    EXPECT_TRUE(connection->ServerSawFin());
}

TEST_F(StreamClassifyTest, ASecondGetOnAnAllowedConnectionIsNotLookedUp) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    registration_.Allow(TakeOnly());
    EXPECT_TRUE(connection->ClientSend("GET /next HTTP/1.1\r\nHost: other.test\r\n\r\n"));
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_EQ(connection->ServerReceived(),
              std::string(kGet) + "GET /next HTTP/1.1\r\nHost: other.test\r\n\r\n");
}

TEST_F(StreamClassifyTest, DataSentAfterTheWorkerTookTheHeldDataIsHandedBackBeforeTheLookupEnds) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    HELD_DATA held = filter_.CompleteLookup(flow);
    // Sent after the worker took the held data, before it ended the lookup.
    EXPECT_TRUE(connection->ClientSend("straggler"));
    HELD_DATA late;
    EXPECT_FALSE(filter_.EndLookup(flow, FLOW_STATE_PASSED, late));
    EXPECT_EQ(testing::ChainText(late.data.Head()), "straggler");
    EXPECT_EQ(late.bytes, 9u);
    EXPECT_EQ(flow->state.load(), FLOW_STATE_HTTP_LOOKUP);
    STREAM_FILTER::DiscardHeldData(flow, held);
    STREAM_FILTER::DiscardHeldData(flow, late);
    EXPECT_TRUE(filter_.EndLookup(flow, FLOW_STATE_FINISHED, late));
    EXPECT_EQ(flow->state.load(), FLOW_STATE_FINISHED);
    EXPECT_FALSE(flow->names);
    ReleaseFlow(flow);
}

TEST_F(StreamClassifyTest, APostIsLookedUpLikeAGetWithItsBodyHeld) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(
        "POST /form HTTP/1.1\r\nHost: a.test\r\nContent-Length: 3\r\n\r\nx=1"));
    EXPECT_EQ(connection->ServerReceived(), "");
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Path(), "/form");
    EXPECT_EQ(flow->scanOffset, 56u) << "the body is not part of the head";
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, AGetSplitOverTwoSegmentsIsLookedUpOnceWhole) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GET /split HTTP/1.1\r\nHo"));
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_EQ(connection->ServerReceived(), "");
    auto decisions = registration_.Decisions();
    ASSERT_EQ(decisions.size(), 1u);
    EXPECT_EQ(decisions[0].streamAction, os::FWPS_STREAM_ACTION_NEED_MORE_DATA);
    EXPECT_EQ(decisions[0].bytesRequired, decisions[0].dataLength + 1);

    EXPECT_TRUE(connection->ClientSend("st: split.test\r\n\r\n"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "split.test");
    EXPECT_EQ(HeldText(flow), "GET /split HTTP/1.1\r\nHost: split.test\r\n\r\n");
    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived(), "GET /split HTTP/1.1\r\nHost: split.test\r\n\r\n");
}

TEST_F(StreamClassifyTest, AHeadSentAByteAtATimeIsJudgedAsWhole) {
    // Each byte is a look at the head so far; the looks go on from each other, and the verdict
    // must be the one the whole head gets, with every byte held until then.
    const std::string head =
        "\r\nGET  /one/byte?at=a%20time HTTP/1.1 \r\nX-Pad: " + std::string(300, 'p') +
        "\r\nHost: bytes.test\r\n\r\n";
    auto connection = Open();
    for (char c : head) {
        ASSERT_TRUE(connection->ClientSend(std::string(1, c)));
    }
    EXPECT_EQ(connection->ServerReceived(), "");
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "bytes.test");
    EXPECT_EQ(flow->names->Path(), "/one/byte?at=a%20time");
    EXPECT_EQ(HeldText(flow), head);
    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived(), head);

    // A line protocol typed a byte at a time still passes once it can no longer be HTTP.
    auto typed = Open();
    for (char c : std::string("GET key:7 \r")) {
        ASSERT_TRUE(typed->ClientSend(std::string(1, c)));
    }
    EXPECT_EQ(typed->ServerReceived(), "");
    ASSERT_TRUE(typed->ClientSend("\n"));
    EXPECT_EQ(typed->ServerReceived(), "GET key:7 \r\n");
    EXPECT_EQ(filter_.QueuedCount(), 0u);
}

TEST_F(StreamClassifyTest, AFinalLineEndSentOnItsOwnCompletesTheRequest) {
    // As a person typing into a terminal sends it: the last CR LF alone is fewer bytes than the
    // parser's estimate of what is missing, and must still be enough.
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GET / HTTP/1.0\r\n"));
    EXPECT_TRUE(connection->ClientSend("Host: typed.test\r\n"));
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_TRUE(connection->ClientSend("\r\n"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "typed.test");
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, ACacheGetPassesAtOnceAndAnHttp09GetIsJudged) {
    // A cache protocol's "get" never ends in an empty line: holding it for one would stall the
    // connection. An HTTP/0.9 GET is answered by some servers at its line end: it is looked up.
    {
        auto connection = Open();
        EXPECT_TRUE(connection->ClientSend("get session:42\r\n"));
        EXPECT_EQ(connection->ServerReceived(), "get session:42\r\n");
        EXPECT_EQ(filter_.QueuedCount(), 0u);
    }
    {
        auto connection = Open();
        EXPECT_TRUE(connection->ClientSend("GET /index.html\r\n"));
        EXPECT_EQ(connection->ServerReceived(), "");
        FLOW* flow = TakeOnly();
        ASSERT_NE(flow, nullptr);
        registration_.Discard(flow);
    }
    // Bare line feeds end lines as servers read them: this one is a request.
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GET / HTTP/1.1\nHost: lf.test\n\n"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "lf.test");
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, BytesThatStopLookingLikeAGetPassUninspected) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GE"));
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_TRUE(connection->ClientSend("X-MAGIC 1\r\n"));
    EXPECT_EQ(connection->ServerReceived(), "GEX-MAGIC 1\r\n");
    EXPECT_TRUE(connection->ClientSend("GET / HTTP/1.1\r\nHost: a.test\r\n\r\n"));
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_EQ(filter_.Flows().InUse(), 1u);
}

// A flow that passed is no longer presented at all, so a backend may move its bytes on its own;
// one still watched is presented segment by segment.
TEST_F(StreamClassifyTest, APassedFlowLetsTheEngineStopPresentingIt) {
    auto passed = Open();
    EXPECT_TRUE(passed->ClientSend("GE"));
    EXPECT_TRUE(passed->ClientSend("X-MAGIC 1\r\n"));
    EXPECT_TRUE(passed->Flow().PassesThrough());
    EXPECT_TRUE(passed->ServerSend("and the answer"));
    EXPECT_EQ(passed->ClientReceived(), "and the answer");

    auto watched = Open();
    EXPECT_TRUE(watched->ClientSend("GE"));
    EXPECT_FALSE(watched->Flow().PassesThrough()) << "waiting for the rest of a request";
}

TEST_F(StreamClassifyTest, ALargeHeadIsHeldUntilWholeSoThatAHostAtItsEndCounts) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend("GET /big HTTP/1.1\r\nX-Long: "));
    std::string chunk(4000, 'a');
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(connection->ClientSend(chunk));
    }
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_EQ(connection->ServerReceived(), "") << "nothing passes uninspected";
    EXPECT_TRUE(connection->ClientSend("\r\nHost: big.test\r\n\r\n"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "big.test");
    EXPECT_EQ(flow->names->Path(), "/big");
    registration_.Discard(flow);

    // Closed before even the request line is whole: no name, so the destination decides.
    auto line = Open();
    EXPECT_TRUE(line->ClientSendAndClose("GET /" + std::string(70000, 'p')));
    flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "");
    EXPECT_EQ(flow->names->Path(), "");
    EXPECT_EQ(flow->clientFinSeen, 1u);
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, ServiceDomainHostsPassInAnyCase) {
    std::string ownHost = "api." + std::string(kServiceDomain);
    filter_.AddressNames().Learn(MakeAddressKey(kServer.bytes.data(), 4), ownHost, 60);
    for (const std::string& host : {ownHost, Upper(ownHost)}) {
        auto connection = Open();
        std::string get = "GET /2/checkin HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
        EXPECT_TRUE(connection->ClientSend(get));
        EXPECT_EQ(connection->ServerReceived(), get);
        EXPECT_EQ(filter_.QueuedCount(), 0u);
        // Not looked up, but watched: a later request on the connection is.
        EXPECT_TRUE(connection->ClientSend(kGet));
        FLOW* flow = TakeOnly();
        ASSERT_NE(flow, nullptr);
        EXPECT_EQ(flow->names->Host(), "www.example.test");
        EXPECT_EQ(flow->laterRequest, 1u);
        registration_.Discard(flow);
    }
    // A trailing dot and blanks do not take a host out of the domain, nor put one in it.
    auto dotted = Open();
    EXPECT_TRUE(dotted->ClientSend("GET / HTTP/1.1\r\nHost:  " + ownHost + ". \r\n\r\n"));
    EXPECT_EQ(filter_.QueuedCount(), 0u);
}

// A request passes as one to our own servers only when every host it names is ours: a proxy
// contacts its target, but an origin server serves the site of its Host header.
TEST_F(StreamClassifyTest, ARequestPassesAsOursOnlyWhenEveryHostItNamesIsOurs) {
    const std::string ours = "api." + std::string(kServiceDomain);
    filter_.AddressNames().Learn(MakeAddressKey(kServer.bytes.data(), 4), ours, 60);
    struct Case {
        std::string target;
        std::string host;
        bool passes;
    };
    const Case cases[] = {
        {"http://blocked.test/page", ours, false},
        {"http://" + ours + "/2/checkin", "elsewhere.test", false},
        {"http://" + ours + "/2/checkin", ours, true},
        {"http://" + ours + "/2/checkin", "", true},
    };
    for (const Case& c : cases) {
        auto connection = Open();
        const std::string get = "GET " + c.target + " HTTP/1.1\r\n" +
                                (c.host.empty() ? "" : "Host: " + c.host + "\r\n") + "\r\n";
        EXPECT_TRUE(connection->ClientSend(get));
        if (c.passes) {
            EXPECT_EQ(connection->ServerReceived(), get) << get;
            EXPECT_EQ(filter_.QueuedCount(), 0u) << get;
            continue;
        }
        EXPECT_EQ(connection->ServerReceived(), "") << get;
        FLOW* flow = TakeOnly();
        ASSERT_NE(flow, nullptr);
        EXPECT_EQ(flow->names->ProxyPrefix(), c.target.substr(0, c.target.find('/', 7))) << get;
        EXPECT_EQ(flow->names->Host(), c.host) << get;
        registration_.Discard(flow);
    }
}

// Any web server can be asked for our name: toward one that our names were not answered with,
// a request for our domain is judged, by its name and by the names its destination was given for.
TEST_F(StreamClassifyTest, OurDomainTowardAServerThatIsNotOursIsJudged) {
    const std::string ours = "api." + std::string(kServiceDomain);
    const os::IP_ADDRESS_BYTES elsewhere = os::MakeIPv4Address(203, 0, 113, 81);
    filter_.AddressNames().Learn(MakeAddressKey(kServer.bytes.data(), 4), ours, 60);
    const std::string get = "GET / HTTP/1.1\r\nHost: " + ours + "\r\n\r\n";
    auto own = Open(kServer, 80);
    EXPECT_TRUE(own->ClientSend(get));
    EXPECT_EQ(own->ServerReceived(), get);
    auto other = Open(elsewhere, 80);
    EXPECT_TRUE(other->ClientSend(get));
    EXPECT_EQ(other->ServerReceived(), "");
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), ours);
    EXPECT_TRUE(flow->judgeDestinationToo.load());
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, DormantCreatesNoFlowAndPermitsEverything) {
    filter_.SetDormant(true);
    auto connection = Open();
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_EQ(connection->ServerReceived(), kGet);
    // A flow created before "Dormant" came on is no longer inspected either.
    filter_.SetDormant(false);
    auto earlier = Open();
    filter_.SetDormant(true);
    EXPECT_TRUE(earlier->ClientSend(kGet));
    EXPECT_EQ(earlier->ServerReceived(), kGet);
    EXPECT_EQ(filter_.QueuedCount(), 0u);
}

TEST_F(StreamClassifyTest, TheServicesOwnConnectionsPassWithoutParsing) {
    constexpr uint64_t kService = 777;
    filter_.SetServiceProcessId(kService);
    auto own = Open(kServer, 80, kService);
    EXPECT_TRUE(own->ClientSend(kGet));
    EXPECT_EQ(own->ServerReceived(), kGet);
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    {
        // Not even a parse copy is made.
        os::ScopedPoolFailure noParse(kParseBufferTag);
        EXPECT_TRUE(own->ClientSend(kGet));
        EXPECT_EQ(noParse.Failed(), 0u);
    }
    auto other = Open(kServer, 80, kBrowser);
    EXPECT_TRUE(other->ClientSend(kGet));
    EXPECT_EQ(filter_.QueuedCount(), 1u);
}

TEST_F(StreamClassifyTest, AServerFinDuringAPendingLookupIsAbsorbedAndRecorded) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_TRUE(connection->ServerSendAndClose("408 timeout"));
    // The data reaches the client now; the FIN waits for the verdict.
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ClientReceived(), "408 timeout");
    EXPECT_FALSE(connection->ClientSawFin());
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->serverFinSeen, 1);
    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_TRUE(connection->ClientSawFin());
}

TEST_F(StreamClassifyTest, AServerFinOutsideALookupFinishesTheFlow) {
    auto connection = Open();
    EXPECT_TRUE(connection->ServerClose());
    EXPECT_TRUE(connection->ClientSawFin());
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_EQ(connection->ServerReceived(), kGet);
    EXPECT_EQ(filter_.QueuedCount(), 0u);
}

TEST_F(StreamClassifyTest, AClientThatResetsDuringItsLookupLeavesNothingBehind) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_TRUE(connection->ClientSend("more"));
    connection->Abort();
    EXPECT_TRUE(connection->FlowDeleted());
    EXPECT_EQ(filter_.Flows().LinkedCount(), 0u);
    // The queue still holds the flow; the worker finds the connection gone.
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
}

// ---- TLS ----

TEST_F(StreamClassifyTest, ASplitServerFlightAsksForTheBytesPresentPlusTheMissingOnes) {
    std::vector<uint8_t> hello = ReadTestData("tls/tls12_client_hello.bin");
    std::vector<uint8_t> flight = ReadTestData("tls/tls12_server_flight.bin");
    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(hello));
    EXPECT_EQ(connection->ServerReceived().size(), hello.size());

    std::span<const uint8_t> first(flight.data(), 150);
    TLS_SERVER_FLIGHT partial;
    TLS_PARSE_OUTCOME expected = ParseTlsServerFlight(first, partial);
    ASSERT_EQ(expected.status, TlsParseStatus::Incomplete);
    registration_.ClearDecisions();
    EXPECT_TRUE(connection->ServerSend(first));
    auto decisions = registration_.Decisions();
    ASSERT_EQ(decisions.size(), 1u);
    EXPECT_EQ(decisions[0].streamAction, os::FWPS_STREAM_ACTION_NEED_MORE_DATA);
    EXPECT_EQ(decisions[0].bytesRequired, 150 + expected.missing);
    EXPECT_EQ(connection->ClientReceived(), "");

    EXPECT_TRUE(connection->ServerSend(std::span<const uint8_t>(flight).subspan(150)));
    EXPECT_EQ(connection->ClientReceived().size(), flight.size());
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->state.load(), FLOW_STATE_TLS_LOOKUP);
    EXPECT_EQ(flow->names->Host(), "capture.wexo-test.example");
    EXPECT_EQ(flow->sessionReuse, 0);
    EXPECT_EQ(flow->sessionIdLength, 32u);  // the server's new session
    EXPECT_EQ(std::vector<uint8_t>(flow->remoteAddress, flow->remoteAddress + 4),
              (std::vector<uint8_t>{203, 0, 113, 80}));
    // The client's next flight waits for the verdict.
    EXPECT_TRUE(connection->ClientSend("client key exchange"));
    EXPECT_EQ(connection->ServerReceived().size(), hello.size());
    registration_.Allow(flow);
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived().size(), hello.size() + 19);
}

TEST_F(StreamClassifyTest, WithoutAServerNameTheCertificateNamesTheHost) {
    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(ClientHello("")));
    EXPECT_TRUE(connection->ServerSend(ReadTestData("tls/tls12_server_flight.bin")));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "capture.wexo-test.example");
    EXPECT_EQ(flow->names->Path(), "");
    EXPECT_EQ(flow->state.load(), FLOW_STATE_TLS_LOOKUP);
    EXPECT_EQ(flow->heldBytes, 0u);  // nothing of the client's is held yet
    registration_.Discard(flow);
}

// Our own name passes toward the addresses it was answered with; toward any other server (one
// that merely presents our name, or a client that borrows it) the connection is judged by what
// its address is known as, as if it named nothing.
TEST_F(StreamClassifyTest, AServerNameInTheServiceDomainPassesOnlyTowardItsOwnAddresses) {
    const std::string ours = "update." + std::string(kServiceDomain);
    const uint8_t server[4] = {203, 0, 113, 80};
    const os::IP_ADDRESS_BYTES elsewhere = os::MakeIPv4Address(203, 0, 113, 81);
    filter_.AddressNames().Learn(MakeAddressKey(server, 4), ours, 60);
    for (const std::string& hello : {ours, std::string()}) {
        auto connection = Open(kServer, 443);
        EXPECT_TRUE(connection->ClientSend(ClientHello(hello)));
        // Without a server name, a certificate of ours counts the same way.
        EXPECT_TRUE(connection->ServerSend(
            hello.empty() ? ServerFlightFor(ours) : ReadTestData("tls/tls12_server_flight.bin")));
        EXPECT_EQ(filter_.QueuedCount(), 0u) << hello;
        EXPECT_TRUE(connection->ClientSend("finished"));
        EXPECT_TRUE(connection->ServerReceived().ends_with("finished"));
    }
    for (const std::string& hello : {ours, std::string()}) {
        auto connection = Open(elsewhere, 443);
        EXPECT_TRUE(connection->ClientSend(ClientHello(hello)));
        EXPECT_TRUE(connection->ServerSend(ServerFlightFor(ours)));
        FLOW* flow = TakeOnly();
        ASSERT_NE(flow, nullptr) << hello;
        EXPECT_FALSE(flow->names) << hello;
        registration_.Discard(flow);
    }
}

// A browser that reaches a resolver over TLS no longer asks the system resolver the driver sees:
// such a connection is closed before a byte of it leaves, by its name or by its address, and the
// names beside a listed one (a longer or shorter one, another domain that ends alike) are not.
TEST_F(StreamClassifyTest, TlsToAnEncryptedDnsResolverIsClosedByNameOrAddress) {
    const os::IP_ADDRESS_BYTES extra = os::MakeIPv4Address(198, 51, 100, 53);
    EXPECT_EQ(filter_.EncryptedDns().SetExtra(std::vector<std::string>{
                  "198.51.100.53", ".resolver.test", "not a name", "2001:db8::53"}),
              3u);
    const std::array<uint8_t, 16> google6 = {0x20, 0x01, 0x48, 0x60, 0x48, 0x60, 0,    0,
                                             0,    0,    0,    0,    0,    0,    0x88, 0x88};
    const std::array<uint8_t, 16> mapped = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 1, 1, 1, 1};
    const struct {
        os::IP_ADDRESS_BYTES server;
        const char* name;
        bool closed;
    } cases[] = {
        {kServer, "dns.google", true},
        {kServer, "DNS.Google.", true},
        {kServer, "mozilla.cloudflare-dns.com", true},
        {kServer, "a.b.resolver.test", true},
        {os::MakeIPv4Address(8, 8, 8, 8), "", true},
        {os::MakeIPv4Address(1, 1, 1, 1), "innocent.test", true},
        {os::MakeIPv6Address(google6), "", true},
        {os::MakeIPv6Address(mapped), "", true},
        {extra, "", true},
        {kServer, "resolver.test", false},
        {kServer, "xcloudflare-dns.com", false},
        {kServer, "dns.google.evil.test", false},
        {kServer, "notdns.google", false},
        {os::MakeIPv4Address(8, 8, 8, 9), "", false},
    };
    for (const auto& c : cases) {
        auto connection = Open(c.server, 443);
        connection->ClientSend(ClientHello(c.name));
        EXPECT_EQ(connection->ClientWasReset(), c.closed) << c.name;
        EXPECT_EQ(connection->ServerReceived().empty(), c.closed) << c.name;
    }
    // Plain HTTP to a listed address is no DNS over HTTPS: it is judged as any request is.
    auto plain = Open(os::MakeIPv4Address(8, 8, 8, 8), 80);
    EXPECT_TRUE(plain->ClientSend("GET / HTTP/1.1\r\nHost: dns.google\r\n\r\n"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, AResumedSessionIsLookedUpWithTheReuseFlag) {
    std::vector<uint8_t> hello = ReadTestData("tls/tls12_resumed_client_hello.bin");
    TLS_CLIENT_HELLO parsed;
    ASSERT_EQ(ParseTlsClientHello(hello, parsed).status, TlsParseStatus::Complete);
    ASSERT_FALSE(parsed.sessionId.Empty());
    std::vector<uint8_t> offered(parsed.sessionId.Bytes().begin(), parsed.sessionId.Bytes().end());

    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(hello));
    EXPECT_TRUE(connection->ServerSend(ReadTestData("tls/tls12_resumed_server_flight.bin")));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->sessionReuse, 1);
    EXPECT_EQ(std::vector<uint8_t>(flow->sessionId, flow->sessionId + flow->sessionIdLength),
              offered);
    EXPECT_EQ(flow->state.load(), FLOW_STATE_TLS_LOOKUP);
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, Tls13IsQueuedOnceWithoutTheReuseFlag) {
    std::vector<uint8_t> flight = ReadTestData("tls/tls13_server_flight.bin");
    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(ReadTestData("tls/tls13_client_hello.bin")));
    // The flight comes in two segments; the rest of the server's records follow.
    EXPECT_TRUE(connection->ServerSend(std::span<const uint8_t>(flight).first(60)));
    EXPECT_TRUE(connection->ServerSend(std::span<const uint8_t>(flight).subspan(60)));
    EXPECT_TRUE(connection->ServerSend("application data"));
    EXPECT_EQ(filter_.QueuedCount(), 1u);
    FLOW* flow = filter_.TakeForLookup();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->sessionReuse, 0);
    EXPECT_EQ(flow->state.load(), FLOW_STATE_TLS_LOOKUP);
    EXPECT_EQ(flow->names->Host(), "capture.wexo-test.example");
    EXPECT_TRUE(connection->ClientSend("client finished"));
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_EQ(HeldText(flow), "client finished");
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, AClientHelloSplitOverTwoSegmentsIsStillLookedUp) {
    std::vector<uint8_t> hello = ReadTestData("tls/padded_client_hello.bin");
    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello).first(200)));
    auto decisions = registration_.Decisions();
    ASSERT_EQ(decisions.size(), 1u);
    EXPECT_EQ(decisions[0].streamAction, os::FWPS_STREAM_ACTION_NEED_MORE_DATA);
    EXPECT_EQ(decisions[0].bytesRequired, hello.size());
    EXPECT_EQ(connection->ServerReceived(), "");

    EXPECT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello).subspan(200)));
    EXPECT_EQ(connection->ServerReceived(), Text(hello));
    EXPECT_TRUE(connection->ServerSend(ReadTestData("tls/tls12_server_flight.bin")));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    EXPECT_EQ(flow->names->Host(), "www.capture.wexo-test.example");
    registration_.Discard(flow);
}

TEST_F(StreamClassifyTest, ATls13FlightWithoutAHostIsLookedUpByItsDestination) {
    // No server name, and TLS 1.3 encrypts the certificate: whatever block-on-failure says, the
    // connection is judged by its address rather than passed or reset unjudged.
    std::vector<uint8_t> flight = ReadTestData("tls/tls13_server_flight.bin");
    for (bool block : {false, true}) {
        filter_.SetBlockOnFailure(block);
        auto connection = Open(kServer, 443);
        EXPECT_TRUE(connection->ClientSend(ClientHello("")));
        connection->ServerSend(flight);
        EXPECT_FALSE(connection->ClientWasReset());
        FLOW* flow = TakeOnly();
        ASSERT_NE(flow, nullptr);
        EXPECT_EQ(flow->state.load(), FLOW_STATE_TLS_LOOKUP);
        EXPECT_FALSE(flow->names);
        EXPECT_EQ(flow->addressLength, 4u);
        registration_.Discard(flow);
    }
}

// A hello that offers Encrypted Client Hello is judged by the name it shows, and says so.
TEST_F(StreamClassifyTest, AnEchHelloIsJudgedByItsOuterNameAndSaysSo) {
    std::mutex linesLock;
    std::vector<std::string> lines;
    os::ScopedDebuggerListener listener{[&](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(linesLock);
        lines.emplace_back(text);
    }};
    const std::vector<uint8_t> hello = WithEchExtension(ClientHello("public.front.test"));
    TLS_CLIENT_HELLO parsed;
    ASSERT_EQ(ParseTlsClientHello(hello, parsed).status, TlsParseStatus::Complete);
    ASSERT_TRUE(parsed.offersEch);

    auto plain = Open(kServer, 443);
    EXPECT_TRUE(plain->ClientSend(ClientHello("plain.test")));
    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(hello));
    EXPECT_EQ(connection->ServerReceived(), Text(hello));
    EXPECT_TRUE(connection->ServerSend("not a TLS record at all"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    ASSERT_TRUE(flow->names);
    EXPECT_EQ(flow->names->Host(), "public.front.test");
    EXPECT_EQ(flow->flowNumber, 2u);
    registration_.Discard(flow);
    std::lock_guard guard(linesLock);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "WexoW: ClassifyTls: FC#2, the client hello offers Encrypted Client Hello; judged "
              "by its outer name \"public.front.test\"\n\n");
}

// First bytes that are a TLS handshake record but no hello the parse reads (an unknown message
// type, or empty records past what a hello may take) are never passed for that: the server's
// certificate names the host, else the address decides, else block-on-failure closes.
TEST_F(StreamClassifyTest, AnUnreadableHelloIsJudgedByTheCertificateOrTheAddress) {
    std::vector<uint8_t> mangled = ClientHello("hidden.test");
    mangled[5] = 0x63;
    std::vector<uint8_t> padded;
    for (size_t i = 0; i < kMaxFirstRequestBytes / 5 + 1; ++i) {
        padded.insert(padded.end(), {22, 3, 1, 0, 0});
    }
    const std::vector<uint8_t> flight12 = ReadTestData("tls/tls12_server_flight.bin");
    const std::vector<uint8_t> flight13 = ReadTestData("tls/tls13_server_flight.bin");
    struct Case {
        const char* name;
        const std::vector<uint8_t>& first;
        const std::vector<uint8_t>& flight;
        bool blockOnFailure;
        bool dropped;            // closed without a lookup
        const char* lookedUpAs;  // the host of the lookup, "" for the address
    };
    const Case cases[] = {
        {"CertificateNames", mangled, flight12, true, false, "capture.wexo-test.example"},
        {"AddressDecides", mangled, flight13, false, false, ""},
        {"BlockOnFailureCloses", mangled, flight13, true, true, ""},
        {"EmptyRecordsPastTheBound", padded, flight13, false, false, ""},
    };
    for (const Case& c : cases) {
        filter_.SetBlockOnFailure(c.blockOnFailure);
        auto connection = Open(kServer, 443);
        EXPECT_TRUE(connection->ClientSend(c.first)) << c.name;
        EXPECT_EQ(filter_.QueuedCount(), 0u) << c.name;
        connection->ServerSend(c.flight);
        if (c.dropped) {
            EXPECT_TRUE(connection->ClientWasReset()) << c.name;
            EXPECT_EQ(filter_.QueuedCount(), 0u) << c.name;
            continue;
        }
        FLOW* flow = TakeOnly();
        ASSERT_NE(flow, nullptr) << c.name;
        EXPECT_EQ(flow->state.load(), FLOW_STATE_TLS_LOOKUP) << c.name;
        EXPECT_EQ(flow->names ? flow->names->Host() : "", c.lookedUpAs) << c.name;
        registration_.Discard(flow);
    }
}

TEST_F(StreamClassifyTest, AnUnreadableServerFlightAfterAHelloIsLookedUpAnyway) {
    auto connection = Open(kServer, 443);
    EXPECT_TRUE(connection->ClientSend(ClientHello("hidden.test")));
    EXPECT_TRUE(connection->ServerSend("not a TLS record at all"));
    FLOW* flow = TakeOnly();
    ASSERT_NE(flow, nullptr);
    ASSERT_TRUE(flow->names);
    EXPECT_EQ(flow->names->Host(), "hidden.test");
    registration_.Discard(flow);
}

// ---- Flows ----

TEST_F(StreamClassifyTest, FlowNumbersCountFromOne) {
    auto first = Open();
    auto second = Open(kServerV6);
    EXPECT_TRUE(first->ClientSend(kGet));
    EXPECT_TRUE(second->ClientSend(kGet));
    FLOW* a = filter_.TakeForLookup();
    FLOW* b = filter_.TakeForLookup();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->flowNumber, 1u);
    EXPECT_EQ(b->flowNumber, 2u);
    EXPECT_EQ(filter_.InProgressCount(), 2u);
    registration_.Discard(a);
    registration_.Discard(b);
    filter_.Flows().ResetFlowNumbers();
    auto third = Open();
    EXPECT_TRUE(third->ClientSend(kGet));
    FLOW* c = TakeOnly();
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->flowNumber, 1u);
    registration_.Discard(c);
}

TEST_F(StreamClassifyTest, RemoveAllFlowsLetsTheEngineDeleteEveryFlow) {
    auto a = Open();
    auto b = Open(kServerV6);
    auto c = Open();
    EXPECT_TRUE(c->ClientSend(kGet));  // queued: survives until the queue lets go
    EXPECT_EQ(filter_.Flows().LinkedCount(), 3u);
    filter_.SetUnloading(true);
    filter_.RemoveAllFlows();
    EXPECT_EQ(filter_.Flows().LinkedCount(), 0u);
    EXPECT_EQ(engine_.FlowContextCount(), 0u);
    EXPECT_EQ(filter_.Flows().InUse(), 1u);
    filter_.FlushLookupQueue();
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
    // Without flows, and unloading, everything passes and nothing is created.
    EXPECT_TRUE(a->ClientSend(kGet));
    EXPECT_EQ(a->ServerReceived(), kGet);
    auto d = Open();
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
}

// ---- No memory ----

TEST_F(StreamClassifyTest, NoFlowWithoutMemoryAndTheConnectionIsNeverInspected) {
    std::shared_ptr<os::SimTcpConnection> connection;
    {
        os::ScopedPoolFailure noFlow(kFlowTag);
        connection = Open();
        EXPECT_EQ(noFlow.Failed(), 1u);
    }
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_EQ(connection->ServerReceived(), kGet);
}

TEST_F(StreamClassifyTest, AFailedAssociationReturnsTheFlow) {
    filter_.SetStreamCalloutIds(9999, 9998);
    auto connection = Open();
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
    EXPECT_EQ(filter_.Flows().LinkedCount(), 0u);
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_EQ(connection->ServerReceived(), kGet);
}

TEST_F(StreamClassifyTest, NoMemoryForTheParseCopyPermitsAndLooksAgainNextTime) {
    auto connection = Open();
    {
        os::ScopedPoolFailure noCopy(kParseBufferTag);
        EXPECT_TRUE(connection->ClientSend(kGet));
    }
    EXPECT_EQ(connection->ServerReceived(), kGet);
    EXPECT_EQ(filter_.QueuedCount(), 0u);
    EXPECT_TRUE(connection->ClientSend(kGet));
    EXPECT_EQ(filter_.QueuedCount(), 1u);

    // What the looks at an unfinished head had read went on with the bytes: the next head is
    // read from its own start.
    auto grown = Open();
    EXPECT_TRUE(grown->ClientSend("GET /aaaa"));
    {
        os::ScopedPoolFailure noCopy(kParseBufferTag);
        EXPECT_TRUE(grown->ClientSend(" HTTP/1.1\r\n"));
    }
    EXPECT_EQ(grown->ServerReceived(), "GET /aaaa HTTP/1.1\r\n");
    EXPECT_TRUE(grown->ClientSend("GET / HTTP/1.1\r\nHost: after.test\r\n\r\n"));
    EXPECT_EQ(filter_.QueuedCount(), 2u);
}

TEST_F(StreamClassifyTest, NoMemoryForNamesOrCloneFollowsBlockOnFailure) {
    for (uint32_t tag : {kFlowNamesTag, os::kWfpCloneTag}) {
        for (bool block : {false, true}) {
            filter_.SetBlockOnFailure(block);
            auto connection = Open();
            {
                os::ScopedPoolFailure failure(tag);
                EXPECT_TRUE(connection->ClientSend(kGet));
            }
            EXPECT_EQ(connection->ClientWasReset(), block);
            EXPECT_EQ(connection->ServerReceived(), block ? "" : std::string(kGet));
            EXPECT_EQ(filter_.QueuedCount(), 0u);
        }
    }
}

TEST_F(StreamClassifyTest, NoMemoryToHoldLaterDataDropsTheConnection) {
    auto connection = Open();
    EXPECT_TRUE(connection->ClientSend(kGet));
    {
        os::ScopedPoolFailure noClone(os::kWfpCloneTag);
        EXPECT_TRUE(connection->ClientSend("more"));
    }
    EXPECT_TRUE(connection->ClientWasReset());
    EXPECT_TRUE(connection->ServerWasReset());
    registration_.Allow(TakeOnly());
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(connection->ServerReceived(), "");
}

TEST_F(StreamClassifyTest, NoMemoryForACertificateNameFollowsBlockOnFailure) {
    std::vector<uint8_t> flight = ReadTestData("tls/tls12_server_flight.bin");
    for (bool block : {false, true}) {
        filter_.SetBlockOnFailure(block);
        auto connection = Open(kServer, 443);
        EXPECT_TRUE(connection->ClientSend(ClientHello("")));
        {
            os::ScopedPoolFailure noNames(kFlowNamesTag);
            connection->ServerSend(flight);
        }
        EXPECT_EQ(connection->ClientWasReset(), block);
        EXPECT_EQ(filter_.QueuedCount(), 0u);
    }
}

// ---- Concurrency ----

// Clients on several threads send requests and more data while a worker thread takes their
// flows from the queue and allows them: every server receives its client's bytes in order.
TEST_F(StreamClassifyTest, ConcurrentClassifyAndLookupsKeepEachStreamInOrder) {
    constexpr int kClients = 4;
    constexpr int kConnectionsEach = 8;
    constexpr int kTotal = kClients * kConnectionsEach;
    std::vector<std::shared_ptr<os::SimTcpConnection>> connections;
    for (int i = 0; i < kTotal; ++i) {
        connections.push_back(Open(i % 2 == 0 ? kServer : kServerV6));
    }
    os::Event stop(os::EventType::Notification);
    std::atomic<int> allowed{0};
    auto worker = os::Thread::Start([&] {
        os::DispatcherObject* objects[] = {&stop, &filter_.LookupEvent()};
        while (allowed.load() < kTotal) {
            if (os::WaitForMultipleObjects(objects, false, 10'000) != os::WAIT_OBJECT_0 + 1) {
                return;
            }
            while (FLOW* flow = filter_.TakeForLookup()) {
                registration_.Allow(flow);
                ++allowed;
            }
        }
    });
    std::vector<std::shared_ptr<os::Thread>> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(os::Thread::Start([&, c] {
            for (int k = 0; k < kConnectionsEach; ++k) {
                auto& connection = connections[c * kConnectionsEach + k];
                connection->ClientSend("GET /" + std::to_string(k) + " HTTP/1.1\r\nHost: h" +
                                       std::to_string(c) + ".test\r\n\r\n");
                for (int part = 0; part < 5; ++part) {
                    connection->ClientSend("<" + std::to_string(part) + ">");
                }
                connection->ClientClose();
            }
        }));
    }
    for (auto& client : clients) {
        os::WaitForSingleObject(*client, os::INFINITE);
    }
    ASSERT_EQ(os::WaitForSingleObject(*worker, 30'000), os::WAIT_OBJECT_0);
    stop.Set();
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(allowed.load(), kTotal);
    for (int c = 0; c < kClients; ++c) {
        for (int k = 0; k < kConnectionsEach; ++k) {
            auto& connection = connections[c * kConnectionsEach + k];
            EXPECT_EQ(connection->ServerReceived(), "GET /" + std::to_string(k) +
                                                        " HTTP/1.1\r\nHost: h" + std::to_string(c) +
                                                        ".test\r\n\r\n<0><1><2><3><4>");
            EXPECT_TRUE(connection->ServerSawFin());
            EXPECT_TRUE(connection->ServerClose());
        }
    }
    ASSERT_TRUE(network_->WaitSettled());
    EXPECT_EQ(filter_.Flows().InUse(), 0u);
}

}  // namespace
}  // namespace wexo::drv
