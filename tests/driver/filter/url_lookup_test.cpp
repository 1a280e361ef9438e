// The lookup workers end to end on the simulated network: the driver's filter, lookup workers and
// service-call channel, and a test service in its own process that answers lookups through the
// control device as the service does.
#include "driver/filter/url_lookup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/service_domain.h"
#include "driver/channel/control_device.h"
#include "driver/filter/address_names.h"
#include "driver/filter/wfp_registration.h"
#include "driver/platform/event_log.h"
#include "os/core/clock.h"
#include "os/core/event_log.h"
#include "os/kernel/debug_print.h"
#include "os/wfp/sim/sim_network.h"
#include "os/wfp/wfp_engine.h"
#include "tests/driver/channel/channel_fixture.h"
#include "tests/driver/filter/stream_filter_harness.h"

namespace wexo::drv {
namespace {

using testing::ServiceProcess;

const os::IP_ADDRESS_BYTES kServer = os::MakeIPv4Address(203, 0, 113, 80);
const os::IP_ADDRESS_BYTES kServerV6 =
    os::MakeIPv6Address({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x80});
constexpr std::string_view kGet = "GET /page HTTP/1.1\r\nHost: blocked.test\r\n\r\n";
// A request with a body of two bytes.
constexpr std::string_view kUpload =
    "POST /page HTTP/1.1\r\nHost: blocked.test\r\nContent-Length: 2\r\n\r\n";
constexpr std::string_view kRedirect =
    "HTTP/1.1 302 Other\r\nLocation: http://block.test/page\r\nContent-Length:0\r\n"
    "Connection: close\r\n\r\n";

// What the test service saw of one lookup.
struct SEEN {
    std::string host, path, proxy;
    bool https = false;
    uint32_t flowNumber = 0;
    uint32_t sessionId = 0;
    size_t sidLength = 0;
};

// The answer a rule gives: a status, and a text for status 0.
struct VERDICT {
    int32_t status = 1168;
    std::string text;
};

// The IPv4 addresses a test service resolves names to; any other name is not found.
using NAMES = std::map<std::string, std::vector<uint8_t>>;

// A service process whose thread fetches lookups and answers them by a rule, or never answers.
class TestService {
  public:
    using Rule = std::function<VERDICT(const SEEN&)>;

    explicit TestService(Rule rule, NAMES names = {})
        : rule_(std::move(rule)), names_(std::move(names)) {
        EXPECT_EQ(process_.Register(&device_), 0u);
        os::ScopedProcessContext context(process_.Id());
        thread_ = os::Thread::Start([this] { Serve(); });
    }
    ~TestService() { Stop(); }

    void Stop() {
        if (!thread_) {
            return;
        }
        stop_ = true;
        process_.In([&] { return os::SetEvent(process_.InputEvent()); });
        thread_->Join();
        thread_.reset();
    }
    std::vector<SEEN> Seen() {
        std::lock_guard guard(lock_);
        return seen_;
    }
    int Resolutions() const { return resolutions_.load(); }
    uint32_t Heartbeat() { return process_.Simple(device_, QRN_SC_HEARTBEAT); }
    void Unregister() { process_.Close(device_); }

  private:
    void Serve() {
        while (!stop_) {
            os::WaitForSingleObject(process_.InputEvent(), os::INFINITE);
            for (;;) {
                auto fetched = process_.Fetch(device_);
                if (fetched.error != 0) {
                    break;
                }
                if (fetched.code == SC_CODE_RESOLVE_V4 || fetched.code == SC_CODE_RESOLVE_V6) {
                    if (!rule_) {
                        continue;  // a service that never answers
                    }
                    DNS_NAME_REQUEST request;
                    std::memcpy(&request, reinterpret_cast<const void*>(fetched.address),
                                sizeof request);
                    ++resolutions_;
                    auto it = names_.find(reinterpret_cast<const char*>(request.hostName));
                    const bool found = fetched.code == SC_CODE_RESOLVE_V4 && it != names_.end();
                    process_.AnswerAddresses(device_, fetched.handle, found ? 0 : 11001,
                                             found ? it->second : std::vector<uint8_t>{}, 4);
                    continue;
                }
                auto* r = reinterpret_cast<const POLICY_LOOKUP_REQUEST*>(fetched.address);
                SEEN seen{std::string(reinterpret_cast<const char*>(r->host), r->hostLength),
                          std::string(reinterpret_cast<const char*>(r->urlPath), r->urlPathLength),
                          std::string(reinterpret_cast<const char*>(r->proxyPrefix),
                                      r->proxyPrefixLength),
                          r->https != 0,
                          r->flowNumber,
                          r->sessionId,
                          r->userSidLength};
                {
                    std::lock_guard guard(lock_);
                    seen_.push_back(seen);
                }
                if (!rule_) {
                    continue;  // a service that never answers
                }
                VERDICT verdict = rule_(seen);
                process_.Answer(device_, fetched.handle, verdict.status,
                                verdict.text.empty() ? nullptr : &verdict.text);
            }
        }
    }

    Rule rule_;
    const NAMES names_;
    std::atomic<int> resolutions_{0};
    ServiceProcess process_;
    os::HANDLE device_ = 0;
    std::atomic<bool> stop_{false};
    std::shared_ptr<os::Thread> thread_;
    std::mutex lock_;
    std::vector<SEEN> seen_;
};

class UrlLookupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        filter.Flows().ResetFlowNumbers();
        ASSERT_TRUE(queue.Initialise());
        ASSERT_EQ(device.Create(), os::STATUS_SUCCESS);
        ASSERT_EQ(registration.Initialise(), os::STATUS_SUCCESS);
        ASSERT_EQ(lookup.StartWorkers(), os::STATUS_SUCCESS);
    }

    void TearDown() override {
        service.reset();
        network.reset();
        registration.TearDown();
        queue.ShutDown();
        device.Delete();
        EXPECT_EQ(filter.Flows().InUse(), 0u) << "a flow was not released";
        EXPECT_EQ(os::PoolOutstanding(os::kWfpCloneTag), 0u);
        EXPECT_EQ(os::PoolOutstanding(kRedirectTextTag), 0u);
    }

    void Serve(TestService::Rule rule, NAMES names = {}) {
        service = std::make_unique<TestService>(std::move(rule), std::move(names));
        filter.SetServiceProcessId(device.RegisteredProcessId());
    }

    std::shared_ptr<os::SimTcpConnection> Open(const os::IP_ADDRESS_BYTES& server = kServer,
                                               uint16_t port = 80) {
        return network->OpenTcp(server, port, browser->Id());
    }

    // Waits until `count` lookups in all have had their verdict applied and every injection was
    // delivered.
    void AwaitLookups(uint64_t count = 1) {
        while (lookup.CompletedLookups() < count) {
            std::this_thread::yield();
        }
        ASSERT_TRUE(network->WaitSettled());
    }

    std::vector<std::string> DebuggerLines() {
        std::lock_guard guard(linesLock);
        return lines;
    }

    os::FilterEngine engine;
    SERVICE_CALL_QUEUE queue;
    PROTECTION_STATE protection;
    CONTROL_DEVICE device{queue, protection};
    STREAM_FILTER filter;
    URL_LOOKUP lookup{filter, queue};
    WFP_REGISTRATION registration{filter, lookup};
    std::optional<os::SimNetwork> network{std::in_place, engine};
    // The browser runs in a process of its own, as a user in session 1.
    std::shared_ptr<os::PROCESS> browser =
        os::CreateProcess({1, 3, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, 1,
                          "C:\\Browser\\browser.exe");
    std::unique_ptr<TestService> service;
    std::mutex linesLock;
    std::vector<std::string> lines;
    os::ScopedDebuggerListener listener{[this](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(linesLock);
        lines.emplace_back(text);
    }};
};

TEST_F(UrlLookupTest, ARedirectReplacesTheServersAnswerAndTheGetNeverReachesTheServer) {
    Serve([](const SEEN& seen) {
        return seen.host == "blocked.test" ? VERDICT{0, std::string(kRedirect)} : VERDICT{};
    });
    auto connection = Open();
    ASSERT_TRUE(connection->ClientSend(kGet));
    ASSERT_TRUE(connection->ClientSend("later bytes"));
    AwaitLookups();
    EXPECT_EQ(connection->ClientReceived(), kRedirect);
    // Nothing the client sends after a blocked request reaches the server: without the request
    // it would be read as a request of its own.
    EXPECT_EQ(connection->ServerReceived(), "");
    ASSERT_TRUE(connection->ClientSend(" and more"));
    ASSERT_TRUE(connection->ServerSend("unasked"));
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_EQ(connection->ClientReceived(), kRedirect);

    auto seen = service->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/page");
    EXPECT_FALSE(seen[0].https);
    EXPECT_EQ(seen[0].flowNumber, 1u);
    EXPECT_EQ(seen[0].sessionId, 1u);  // the browser's session
    EXPECT_EQ(seen[0].sidLength, 20u);
}

TEST_F(UrlLookupTest, AnAllowedRequestAndWhatFollowsReachTheServerInOrder) {
    Serve([](const SEEN&) { return VERDICT{1168, {}}; });
    auto connection = Open();
    const std::string post = "POST /page HTTP/1.1\r\nHost: a.test\r\nContent-Length: 13\r\n\r\n";
    ASSERT_TRUE(connection->ClientSend(post));
    ASSERT_TRUE(connection->ClientSend("body-1;"));
    AwaitLookups();
    ASSERT_TRUE(connection->ClientSend("body-2"));
    EXPECT_EQ(connection->ServerReceived(), post + "body-1;body-2");
    ASSERT_TRUE(connection->ServerSend("HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_EQ(connection->ClientReceived(), "HTTP/1.1 200 OK\r\n\r\n");
}

TEST_F(UrlLookupTest, ABlockWithoutTextClosesTheClientAndLogsIt) {
    Serve([](const SEEN&) { return VERDICT{0, {}}; });
    auto connection = Open();
    ASSERT_TRUE(connection->ClientSend(kGet));
    AwaitLookups();
    EXPECT_TRUE(connection->ClientSawFin());
    EXPECT_EQ(connection->ClientReceived(), "");
    EXPECT_EQ(connection->ServerReceived(), "");
    auto logged = DebuggerLines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0],
              "WexoW: ProcessUrlLookup: FC#1, BLOCKED; disconnecting client,\n    "
              "Host=\"blocked.test\",\n    URL=\"/page\",\n    Proxy=\"\",\n    "
              "IPv4=203.0.113.80\n\n");
}

TEST_F(UrlLookupTest, ABlockedTlsConnectionIsClosedWithNothingInjected) {
    Serve([](const SEEN& seen) {
        return seen.https ? VERDICT{0, std::string(kRedirect)} : VERDICT{};
    });
    auto connection = Open(kServer, 443);
    auto hello = testing::ReadTestData("tls/tls13_client_hello.bin");
    ASSERT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
    auto flight = testing::ReadTestData("tls/tls13_server_flight.bin");
    ASSERT_TRUE(connection->ServerSend(std::span<const uint8_t>(flight)));
    AwaitLookups();
    auto seen = service->Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].https);
    EXPECT_EQ(seen[0].path, "");
    EXPECT_TRUE(connection->ClientSawFin());
    // The server flight passed before the verdict; nothing else reached the client.
    EXPECT_EQ(connection->ClientReceived().size(), flight.size());
}

// A hello whose destination was never answered for the name it gives is held until the connection
// toward the server goes to an address the service resolves that name to; a destination that was
// answered for the name, or is among its addresses, stays; a name that does not resolve leaves it
// where it is unless block-on-failure closes it. Nothing reaches the client's destination first.
TEST_F(UrlLookupTest, AHelloToAnAddressNeverGivenForItsNameGoesToThatNamesOwnAddress) {
    Serve([](const SEEN&) { return VERDICT{}; },
          {{"moved.test", {198, 51, 100, 7}}, {"listed.test", {198, 51, 100, 9, 203, 0, 113, 80}}});
    network->SetServerRedirects(true);
    const uint8_t destination[4] = {203, 0, 113, 80};
    filter.AddressNames().Learn(MakeAddressKey(destination, 4), "known.test", 60);
    struct Case {
        std::string name;
        bool blockOnFailure;
        std::optional<os::IP_ADDRESS_BYTES> to;
        bool closed;
    };
    const Case cases[] = {{"known.test", false, std::nullopt, false},
                          {"moved.test", false, os::MakeIPv4Address(198, 51, 100, 7), false},
                          {"listed.test", false, std::nullopt, false},
                          {"nowhere.test", true, std::nullopt, true},
                          {"nowhere.test", false, std::nullopt, false},
                          // What the last connections found is not asked again.
                          {"nowhere.test", true, std::nullopt, false},
                          {"listed.test", false, std::nullopt, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        filter.SetBlockOnFailure(c.blockOnFailure);
        auto connection = Open(kServer, 443);
        const auto hello = testing::ClientHello(c.name);
        ASSERT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
        ASSERT_TRUE(connection->WaitUntil(
            [](const os::SIM_END_STATE& client, const os::SIM_END_STATE& server) {
                return client.sawFin || !server.received.empty();
            },
            10'000));
        EXPECT_EQ(connection->Server().redirectedTo, c.to);
        EXPECT_EQ(connection->ClientSawFin(), c.closed);
        EXPECT_EQ(connection->ServerReceived().size(), c.closed ? 0u : hello.size());
    }
    EXPECT_EQ(service->Resolutions(), 6) << "each family once for moved, listed and nowhere";
    auto logged = DebuggerLines();
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](const std::string& line) {
                                return line.find(
                                           "FC#2, the client hello names \"moved.test\", "
                                           "which 203.0.113.80 was never given for; "
                                           "connected to 198.51.100.7, an address of that "
                                           "name, instead") != std::string::npos;
                            }),
              1);
}

// Whatever speaks first on a connection whose hello is still held is no TLS server of the name.
TEST_F(UrlLookupTest, AServerThatSpeaksBeforeTheHelloReachedItIsCutOff) {
    Serve(nullptr);  // the name's resolution never comes
    network->SetServerRedirects(true);
    auto connection = Open(kServer, 443);
    const auto hello = testing::ClientHello("borrowed.test");
    ASSERT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
    connection->ServerSend("SSH-2.0-tunnel\r\n");
    EXPECT_TRUE(connection->ClientWasReset());
    EXPECT_EQ(connection->ServerReceived(), "");
    EXPECT_EQ(connection->ClientReceived(), "");
}

// A TLS connection that names nothing is judged by the names its address was answered for, the
// most recent first, and closed when any of them is blocked; an address never answered for is
// looked up as it is.
TEST_F(UrlLookupTest, ANamelessTlsConnectionIsJudgedByTheNamesItsAddressWasGivenFor) {
    Serve([](const SEEN& seen) {
        return seen.host == "blocked.test" ? VERDICT{0, {}} : VERDICT{};
    });
    const uint8_t known[4] = {203, 0, 113, 80};
    filter.AddressNames().Learn(MakeAddressKey(known, 4), "blocked.test", 60);
    filter.AddressNames().Learn(MakeAddressKey(known, 4), "cdn.test", 60);
    // A hello without extensions: no server name.
    std::vector<uint8_t> hello = {22, 3, 1, 0, 45, 1, 0, 0, 41, 3, 3};
    hello.insert(hello.end(), 32, 0x5A);
    hello.insert(hello.end(), {0, 0, 2, 0x13, 0x01, 1, 0});
    const auto flight = testing::ReadTestData("tls/tls13_server_flight.bin");
    struct Case {
        os::IP_ADDRESS_BYTES server;
        std::vector<std::string> asked;
        bool closed;
    };
    const Case cases[] = {{kServer, {"cdn.test", "blocked.test"}, true},
                          {os::MakeIPv4Address(203, 0, 113, 81), {""}, false}};
    uint64_t lookups = 0;
    for (const Case& c : cases) {
        size_t before = service->Seen().size();
        auto connection = Open(c.server, 443);
        ASSERT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
        ASSERT_TRUE(connection->ServerSend(std::span<const uint8_t>(flight)));
        AwaitLookups(++lookups);
        std::vector<std::string> asked;
        for (const SEEN& seen : service->Seen()) {
            asked.push_back(seen.host);
        }
        asked.erase(asked.begin(), asked.begin() + static_cast<ptrdiff_t>(before));
        EXPECT_EQ(asked, c.asked);
        EXPECT_EQ(connection->ClientSawFin(), c.closed);
    }
}

// A server name that does not resolve says nothing of where its connection goes: the connection
// is judged by the names its destination was answered for as well, and the made-up names do not
// push those out.
TEST_F(UrlLookupTest, AServerNameThatDoesNotResolveIsJudgedByItsDestinationsNamesToo) {
    Serve([](const SEEN& seen) {
        return seen.host == "blocked.test" ? VERDICT{0, {}} : VERDICT{};
    });
    network->SetServerRedirects(true);
    const uint8_t destination[4] = {203, 0, 113, 80};
    filter.AddressNames().Learn(MakeAddressKey(destination, 4), "blocked.test", 60);
    const auto flight = testing::ReadTestData("tls/tls13_server_flight.bin");
    uint64_t lookups = 0;
    for (int i = 0; i <= static_cast<int>(kAddressNamesPerAddress); ++i) {
        const std::string name = "made-up-" + std::to_string(i) + ".test";
        SCOPED_TRACE(name);
        const size_t before = service->Seen().size();
        auto connection = Open(kServer, 443);
        const auto hello = testing::ClientHello(name);
        ASSERT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
        ASSERT_TRUE(connection->WaitUntil(
            [](const os::SIM_END_STATE&, const os::SIM_END_STATE& server) {
                return !server.received.empty();
            },
            10'000));
        ASSERT_TRUE(connection->ServerSend(std::span<const uint8_t>(flight)));
        AwaitLookups(++lookups);
        std::vector<std::string> asked;
        for (size_t k = before; k < service->Seen().size(); ++k) {
            asked.push_back(service->Seen()[k].host);
        }
        EXPECT_EQ(asked, (std::vector<std::string>{name, "blocked.test"}));
        EXPECT_TRUE(connection->ClientSawFin());
    }
    ADDRESS_NAMES::NAME_LIST names;
    ASSERT_EQ(filter.AddressNames().NamesOf(MakeAddressKey(destination, 4), names), 1u);
    EXPECT_EQ(names[0], "blocked.test");
}

// Our own servers judged by where they go are blocked only by a block: without an answer they pass,
// since the page a browser is sent to when no answer comes is ours.
TEST_F(UrlLookupTest, WithoutAServiceOurDomainPassesWhereverItGoes) {
    const uint8_t destination[4] = {203, 0, 113, 80};
    filter.AddressNames().Learn(MakeAddressKey(destination, 4), "blocked.test", 60);
    auto connection = Open();
    const std::string get = "GET /BlockOnFailure.html HTTP/1.1\r\nHost: block." +
                            std::string(kServiceDomain) + "\r\n\r\n";
    ASSERT_TRUE(connection->ClientSend(get));
    AwaitLookups();
    EXPECT_EQ(connection->ServerReceived(), get);
    EXPECT_FALSE(connection->ClientSawFin());
}

TEST_F(UrlLookupTest, WithoutAServiceAGetIsLoggedAsServiceUnavailableAndClosed) {
    auto connection = Open();
    ASSERT_TRUE(connection->ClientSend(kGet));
    AwaitLookups();
    EXPECT_TRUE(connection->ClientSawFin());
    EXPECT_EQ(connection->ServerReceived(), "");
    auto logged = DebuggerLines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("WexoW: ProcessUrlLookup: FC#1, Service unavailable; disconnecting "
                              "client,\n    Host=\"blocked.test\"",
                              0),
              0u);
}

TEST_F(UrlLookupTest, IPv6AddressesAreLoggedInGroups) {
    auto connection = Open(kServerV6);
    ASSERT_TRUE(connection->ClientSend(kGet));
    AwaitLookups();
    auto logged = DebuggerLines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].find("IPv6=2001:db8:0:0:0:0:0:180\n\n"), std::string::npos) << logged[0];
}

// A service that never answers: after 250 seconds the call times out and block-on-failure decides.
TEST_F(UrlLookupTest, ATimeOutForwardsTheHeldDataWhenBlockOnFailureIsOff) {
    os::VirtualClock clock;
    Serve(nullptr);
    auto connection = Open();
    ASSERT_TRUE(connection->ClientSend(kUpload));
    ASSERT_TRUE(connection->ClientSend("a"));
    ASSERT_TRUE(connection->ClientSend("b"));
    for (int second = 0; second < 250; second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        ASSERT_EQ(service->Heartbeat(), 0u);
    }
    AwaitLookups();
    EXPECT_EQ(connection->ServerReceived(), std::string(kUpload) + "ab");
    EXPECT_FALSE(connection->ClientSawFin());
}

TEST_F(UrlLookupTest, ATimeOutClosesTheConnectionWithBlockOnFailure) {
    os::VirtualClock clock;
    filter.SetBlockOnFailure(true);
    Serve(nullptr);
    auto connection = Open(kServer, 443);
    auto hello = testing::ReadTestData("tls/tls12_client_hello.bin");
    ASSERT_TRUE(connection->ClientSend(std::span<const uint8_t>(hello)));
    ASSERT_TRUE(connection->ServerSend(
        std::span<const uint8_t>(testing::ReadTestData("tls/tls12_server_flight.bin"))));
    for (int second = 0; second < 250; second += 2) {
        ASSERT_TRUE(clock.Advance(std::chrono::seconds(2)));
        service->Heartbeat();
    }
    AwaitLookups();
    EXPECT_TRUE(connection->ClientSawFin());
}

TEST_F(UrlLookupTest, AClientHalfCloseFollowsTheHeldDataOrComesAlone) {
    os::Event gate(os::EventType::Notification);
    Serve([&gate](const SEEN& seen) {
        os::WaitForSingleObject(gate, os::INFINITE);
        return seen.path == "/blocked" ? VERDICT{0, {}} : VERDICT{1168, {}};
    });
    auto allowed = Open();
    auto blocked = Open();
    const std::string post = "POST /page HTTP/1.1\r\nHost: a.test\r\nContent-Length: 4\r\n\r\n";
    ASSERT_TRUE(allowed->ClientSend(post));
    ASSERT_TRUE(allowed->ClientSendAndClose("tail"));
    ASSERT_TRUE(blocked->ClientSend("GET /blocked HTTP/1.1\r\nHost: b.test\r\n\r\n"));
    ASSERT_TRUE(blocked->ClientClose());
    EXPECT_FALSE(allowed->ServerSawFin());
    gate.Set();
    AwaitLookups(2);
    EXPECT_EQ(allowed->ServerReceived(), post + "tail");
    EXPECT_TRUE(allowed->ServerSawFin());
    EXPECT_EQ(blocked->ServerReceived(), "");
    EXPECT_TRUE(blocked->ServerSawFin());
    EXPECT_TRUE(blocked->ClientSawFin());
}

TEST_F(UrlLookupTest, ElevenLookupsAtOnceKeepTenInProgress) {
    os::VirtualClock clock;
    Serve(nullptr);               // holds every call
    ASSERT_TRUE(clock.Settle());  // every worker waits for work
    std::vector<std::shared_ptr<os::SimTcpConnection>> connections;
    for (int i = 0; i < 11; ++i) {
        connections.push_back(Open());
        ASSERT_TRUE(connections.back()->ClientSend(kGet));
    }
    ASSERT_TRUE(clock.Settle());
    EXPECT_EQ(filter.InProgressCount(), 10u);
    EXPECT_EQ(filter.QueuedCount(), 1u);
    // Ending the service cancels the ten calls: without block-on-failure their requests pass. The
    // eleventh then finds no service and its connection is closed.
    service->Unregister();
    AwaitLookups(11);
    int passed = 0, closed = 0;
    for (auto& c : connections) {
        passed += c->ServerReceived() == kGet;
        closed += c->ClientSawFin() && c->ServerReceived().empty();
    }
    EXPECT_EQ(passed, 10);
    EXPECT_EQ(closed, 1);
}

TEST_F(UrlLookupTest, EveryRequestOfAKeepAliveConnectionIsLookedUp) {
    Serve([](const SEEN& seen) {
        return seen.path == "/blocked" ? VERDICT{0, std::string(kRedirect)} : VERDICT{1168, {}};
    });
    auto connection = Open();
    ASSERT_TRUE(connection->ClientSend(kUpload));
    AwaitLookups();
    // The body passes unlooked at, even where it reads like a request.
    ASSERT_TRUE(connection->ClientSend("GE"));
    ASSERT_TRUE(connection->ClientSend(kGet));
    AwaitLookups(2);
    EXPECT_EQ(connection->ServerReceived(), std::string(kUpload) + "GE" + std::string(kGet));
    ASSERT_EQ(service->Seen().size(), 2u);

    // A later request that is blocked is cut toward the server, not redirected: the answers
    // to the earlier ones are still coming.
    ASSERT_TRUE(connection->ClientSend("GET /blocked HTTP/1.1\r\nHost: blocked.test\r\n\r\n"));
    AwaitLookups(3);
    EXPECT_EQ(connection->ServerReceived(), std::string(kUpload) + "GE" + std::string(kGet));
    EXPECT_TRUE(connection->ServerSawFin());
    ASSERT_TRUE(connection->ServerSendAndClose("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(connection->ClientReceived(), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(connection->ClientSawFin());
    EXPECT_EQ(service->Seen().size(), 3u);
}

// An HTTP/0.9 GET is judged at its line end, by its destination; a header block sent after it
// (which some servers read, and serve by its Host) is a later request of its own: judged, never
// passed as part of the first.
TEST_F(UrlLookupTest, WhatFollowsAnHttp09GetIsJudgedAsALaterRequest) {
    Serve([](const SEEN& seen) {
        return seen.host == "blocked.test" ? VERDICT{0, std::string(kRedirect)} : VERDICT{1168, {}};
    });
    auto connection = Open();
    ASSERT_TRUE(connection->ClientSend("GET /page\r\n"));
    AwaitLookups();
    EXPECT_EQ(connection->ServerReceived(), "GET /page\r\n");
    ASSERT_TRUE(connection->ClientSend("Host: blocked.test\r\n\r\n"));
    EXPECT_EQ(connection->ServerReceived(), "GET /page\r\n");
    EXPECT_TRUE(connection->ServerSawFin() || connection->ServerWasReset());
}

TEST(UrlLookupStartTest, AThreadThatCannotBeCreatedIsReportedAndNothingIsLeftRunning) {
    os::FilterEngine engine;
    SERVICE_CALL_QUEUE queue;
    STREAM_FILTER filter;
    URL_LOOKUP lookup(filter, queue);
    os::ClearEventLogRecords();
    {
        ScopedSystemThreadFailure failure(1, 3);
        EXPECT_EQ(lookup.StartWorkers(), os::STATUS_INSUFFICIENT_RESOURCES);
    }
    auto records = os::EventLogRecords();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].eventId, DRIVER_EVENT_CREATE_THREAD_FAILED);
    ASSERT_GE(records[0].data.size(), kPacketHeaderSize);
    uint32_t unique = 0;
    std::memcpy(&unique, records[0].data.data() + kPacketUniqueValueOffset, 4);
    EXPECT_EQ(unique, UniqueValue("SCT "));
    ASSERT_EQ(records[0].strings.size(), 2u);
    EXPECT_EQ(records[0].strings[1], "C000009A");
    EXPECT_EQ(FormatDriverEventMessage(records[0].eventId, records[0].strings),
              "Unable to create a system thread. Status=0xC000009A.\r\n");
    // The three started workers stopped: a start now succeeds.
    EXPECT_EQ(lookup.StartWorkers(), os::STATUS_SUCCESS);
    lookup.StopWorkers();
}

TEST(WfpRegistrationTest, RegistersWhenTheBaseFilteringEngineStarts) {
    os::FilterEngine engine(os::FWPM_SERVICE_STOPPED);
    SERVICE_CALL_QUEUE queue;
    STREAM_FILTER filter;
    URL_LOOKUP lookup(filter, queue);
    WFP_REGISTRATION registration(filter, lookup);
    ASSERT_EQ(registration.Initialise(), os::STATUS_SUCCESS);
    EXPECT_FALSE(registration.Registered());
    EXPECT_EQ(engine.CalloutCount(), 0u);
    engine.SetBfeState(os::FWPM_SERVICE_RUNNING);
    EXPECT_TRUE(registration.Registered());
    EXPECT_EQ(engine.RegisteredCalloutCount(), 6u);
    EXPECT_EQ(engine.FilterCount(os::FWPS_LAYER_STREAM_V4), 1u);
    EXPECT_EQ(engine.FilterCount(os::FWPS_LAYER_DATAGRAM_DATA_V6), 1u);
    registration.TearDown();
    EXPECT_EQ(engine.RegisteredCalloutCount(), 0u);
    EXPECT_EQ(engine.SessionCount(), 0u);
    EXPECT_EQ(engine.InjectionHandleCount(), 0u);
}

TEST_F(UrlLookupTest, TearDownWithLookupsPendingReleasesEverything) {
    os::VirtualClock clock;
    Serve(nullptr);
    auto first = Open();
    ASSERT_TRUE(first->ClientSend(kGet));
    ASSERT_TRUE(first->ClientSend("held"));
    ASSERT_TRUE(clock.Settle());
    ASSERT_EQ(filter.InProgressCount(), 1u);
    // The worker waits for the service: the stop gives up on it after 30 seconds and leaves it;
    // the queue's shutdown then cancels its call and it ends.
    auto tearDown = os::Thread::Start([this] { registration.TearDown(); });
    ASSERT_TRUE(clock.Advance(std::chrono::seconds(30)));
    tearDown->Join();
    queue.ShutDown();
    // The worker ends on its own after the cancellation.
    ASSERT_TRUE(clock.Settle());
    EXPECT_EQ(engine.SessionCount(), 0u);
    EXPECT_EQ(lookup.CompletedLookups(), 1u);
}

}  // namespace
}  // namespace wexo::drv
