// Faults across the device bridge's process boundary. The driver and the bridge run here, as in
// the driver host; the service and the callers that are not the service are child processes
// (tests/programs/device_bridge_peer). A service killed with a thousand connections waiting for
// its verdicts must leave each of them ended by the driver's own rules and the driver ready for the
// next service; a process that never registered, with or without root, must get nothing of the
// service's codes nor of the privileged ones.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "driver/channel/control_device.h"
#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "driver/platform/driver_entry.h"
#include "driver/platform/driver_settings.h"
#include "driver/platform/resolve_name.h"
#include "os/bridge/device_bridge.h"
#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "os/core/sid.h"
#include "os/registry/registry.h"
#include "tests/integration/bridge_peer_process.h"
#include "tools/peers/child_process.h"
#include "tools/pipeline/in_process_driver.h"

namespace wexo::integration {
namespace {

constexpr char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";
constexpr char kAuthSecretValue[] = "Auth Secret";

using CHILD = BRIDGE_PEER;

template <typename CONDITION>
bool Eventually(CONDITION condition, int ms = 10'000) {
    // Other processes and the driver's workers move on their own schedule: a bounded wait in short
    // steps, never a fixed sleep.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Hex(os::NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<uint32_t>(status));
    return text;
}

// One connection of the browser and what it sent, for the server to see exactly that or nothing.
struct HELD_FLOW {
    std::shared_ptr<os::SimTcpConnection> connection;
    std::string sent;
    bool clientClosed = false;
};

class BridgeFaultsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/wexo-faults-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        // The socket is open to every local user; only the folder could keep one out, and an
        // unprivileged peer must be able to reach the driver to be refused by it.
        ASSERT_EQ(chmod(dir, 0755), 0);
        {
            // With an installation secret the authorisation exchange is live: a caller without
            // the secret is refused by it, not by a driver that authorises nobody.
            os::RegKey key;
            ASSERT_EQ(os::ZwCreateKey(key, kServiceKey), os::STATUS_SUCCESS);
            ASSERT_EQ(os::ZwSetValueKey(key, kAuthSecretValue, os::REG_BINARY,
                                        std::vector<uint8_t>(32, 0x5C)),
                      os::STATUS_SUCCESS);
        }
        ASSERT_TRUE(driver_.Start());
        server_ = std::make_unique<os::DEVICE_BRIDGE_SERVER>(*os::CurrentDeviceGateway());
        ASSERT_EQ(server_->Start(dir_), os::STATUS_SUCCESS);
        browser_ = os::CreateProcess(os::UnixUserSid(1000), 1, "C:\\Browser\\browser.exe");
    }
    void TearDown() override {
        server_.reset();
        driver_.Stop();
        if (browser_) {
            os::TerminateProcess(browser_->Id());
        }
        // The registry outlives the test: what this one wrote must not reach the next.
        os::RegKey key;
        if (os::NT_SUCCESS(os::ZwOpenKey(key, kServiceKey))) {
            os::ZwDeleteValueKey(key, kAuthSecretValue);
        }
        os::RegKey product;
        if (os::NT_SUCCESS(os::ZwOpenKey(product, drv::kProductKeyName))) {
            os::ZwDeleteValueKey(product, drv::kBlockOnFailureValue);
        }
        std::filesystem::remove_all(dir_);
    }

    drv::WEXO_DRIVER& Driver() { return driver_.Driver(); }

    // Block on failure as the installation sets it: in the product key, which the driver watches.
    // Only the registered service may change that key while the driver runs; the service here is
    // another process, so the key is opened to this one as a suspended protection opens it.
    void SetBlockOnFailure(bool on) {
        Driver().Protection().SetProductKeyUnprotected(true);
        os::RegKey product;
        ASSERT_EQ(os::ZwCreateKey(product, drv::kProductKeyName), os::STATUS_SUCCESS);
        uint32_t value = on ? 1 : 0;
        ASSERT_EQ(os::ZwSetValueKey(product, drv::kBlockOnFailureValue, os::REG_DWORD,
                                    std::span<const uint8_t>(
                                        reinterpret_cast<const uint8_t*>(&value), sizeof value)),
                  os::STATUS_SUCCESS);
        ASSERT_TRUE(Eventually([&] { return Driver().Filter().BlockOnFailure() == on; }));
    }

    std::unique_ptr<CHILD> StartService(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), dir_);
        auto child = std::make_unique<CHILD>(std::move(arguments));
        EXPECT_EQ(child->ReadLine(), "registered");
        EXPECT_TRUE(Eventually(
            [&] { return driver_.ServiceProcessId() == static_cast<uint32_t>(child->Pid()); }));
        return child;
    }
    bool Resolves(const char* host) {
        auto result = drv::ResolveName(Driver().Queue(), host, drv::NameFamily::V4);
        return result.outcome == drv::ResolveOutcome::Resolved && result.addresses.Count() == 1;
    }

    std::shared_ptr<os::SimTcpConnection> Open(uint8_t addressByte) {
        return driver_.Network().OpenTcp(os::MakeIPv4Address(198, 51, 100, addressByte), 80,
                                         browser_->Id());
    }
    // Connection `i` of the thousand: the request arrives whole, in pieces, with a body that
    // follows the head, or followed by the client's FIN, so that whatever is held while the
    // verdict is awaited has more than one segment and an order to keep.
    HELD_FLOW OpenHeld(uint32_t i) {
        HELD_FLOW flow;
        flow.connection = Open(static_cast<uint8_t>(1 + i % 200));
        auto& c = *flow.connection;
        const std::string n = std::to_string(i);
        const std::string get = "GET /item/" + n + "?q=" + n + " HTTP/1.1\r\nHost: site" + n +
                                ".test\r\nAccept: */*\r\n\r\n";
        switch (i % 4) {
            case 0:
                EXPECT_TRUE(c.ClientSend(get));
                flow.sent = get;
                break;
            case 1:
                EXPECT_TRUE(c.ClientSend(get.substr(0, 9)));
                EXPECT_TRUE(c.ClientSend(get.substr(9, 25)));
                EXPECT_TRUE(c.ClientSend(get.substr(34)));
                flow.sent = get;
                break;
            case 2: {
                const std::string body =
                    "field=" + n + "&payload=" + std::string(300, static_cast<char>('a' + i % 26));
                const std::string head = "POST /form/" + n + " HTTP/1.1\r\nHost: site" + n +
                                         ".test\r\nContent-Length: " + std::to_string(body.size()) +
                                         "\r\n\r\n";
                EXPECT_TRUE(c.ClientSend(head));
                EXPECT_TRUE(c.ClientSend(body.substr(0, 100)));
                EXPECT_TRUE(c.ClientSend(body.substr(100)));
                flow.sent = head + body;
                break;
            }
            default:
                EXPECT_TRUE(c.ClientSendAndClose(get));
                flow.sent = get;
                flow.clientClosed = true;
                break;
        }
        return flow;
    }

    // A thousand connections wait for the verdicts of a service that holds every call it takes;
    // the service is killed; each connection must end by the driver's rules for a call that was
    // cancelled (block on failure decides) or that found no service (cut), and nothing may wait on.
    void KillTheServiceDuringAThousandLookups(bool blockOnFailure) {
        constexpr uint32_t kFlows = 1000;
        // Fewer than the driver's lookup workers, so that at the kill some calls are fetched and
        // held by the service and others still wait in the driver's queue.
        constexpr int kServiceWorkers = 6;
        constexpr uint32_t kInService = drv::URL_LOOKUP::kWorkerCount;
        SetBlockOnFailure(blockOnFailure);
        auto hold = StartService({"hold", std::to_string(kServiceWorkers)});
        const uint64_t before = driver_.CompletedLookups();

        std::vector<HELD_FLOW> flows;
        flows.reserve(kFlows);
        for (uint32_t i = 0; i < kFlows; ++i) {
            flows.push_back(OpenHeld(i));
        }
        for (int i = 1; i <= kServiceWorkers; ++i) {
            ASSERT_EQ(hold->ReadLine(), "held " + std::to_string(i));
        }
        // Every connection waits for its verdict: one call per lookup worker in the service-call
        // queue, the rest in the lookup queue behind them.
        ASSERT_TRUE(Eventually([&] {
            return Driver().Queue().InFlight() == kInService &&
                   Driver().Filter().QueuedCount() == kFlows - kInService;
        })) << Driver().Queue().InFlight()
            << " calls, " << Driver().Filter().QueuedCount() << " queued";
        ASSERT_TRUE(driver_.Network().WaitSettled());
        for (const auto& flow : flows) {
            ASSERT_EQ(flow.connection->ServerReceived(), "") << "sent before its verdict";
            ASSERT_EQ(flow.connection->ClientReceived(), "");
            ASSERT_FALSE(flow.connection->ClientSawFin());
        }
        EXPECT_EQ(driver_.CompletedLookups(), before);

        const auto killed = std::chrono::steady_clock::now();
        hold->Kill();
        // No call waits out its limit (minutes): the cancellation ends them all at once.
        ASSERT_TRUE(Eventually([&] { return driver_.CompletedLookups() == before + kFlows; }))
            << driver_.CompletedLookups() - before << " of " << kFlows << " lookups ended";
        ASSERT_TRUE(driver_.Network().WaitSettled());
        const auto settled = std::chrono::steady_clock::now() - killed;
        EXPECT_LT(settled, std::chrono::seconds(5));
        RecordProperty(
            blockOnFailure ? "settle_ms_block_on_failure" : "settle_ms_allow_on_failure",
            std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(settled).count()));
        EXPECT_EQ(Driver().Queue().InFlight(), 0u);
        EXPECT_EQ(Driver().Filter().QueuedCount(), 0u);
        EXPECT_EQ(Driver().Filter().InProgressCount(), 0u);

        uint32_t passed = 0;
        uint32_t cut = 0;
        for (size_t i = 0; i < flows.size(); ++i) {
            SCOPED_TRACE("connection " + std::to_string(i));
            const auto& c = *flows[i].connection;
            // No response of the driver's own: a cancelled call has no redirect text to give.
            EXPECT_EQ(c.ClientReceived(), "");
            EXPECT_FALSE(c.ClientWasReset());
            EXPECT_FALSE(c.ServerWasReset());
            if (!c.ServerReceived().empty()) {
                // Passed: every held byte, once, in the order sent, and the client's FIN after.
                ++passed;
                EXPECT_EQ(c.ServerReceived(), flows[i].sent);
                EXPECT_EQ(c.ServerSawFin(), flows[i].clientClosed);
                EXPECT_FALSE(c.ClientSawFin());
            } else {
                ++cut;
                EXPECT_TRUE(c.ClientSawFin()) << "neither passed nor cut";
            }
        }
        // The calls in the service-call queue were cancelled, and block on failure decided them;
        // the lookups behind them found no service, which always cuts.
        EXPECT_EQ(passed, blockOnFailure ? 0u : kInService);
        EXPECT_EQ(cut, kFlows - passed);

        // The registration went with the process. The cancellation comes first in its cleanup and
        // the bridge forgets the caller before that cleanup runs, so neither the lookups' end
        // nor the caller count says the registration is already given up: each is awaited.
        EXPECT_FALSE(Driver().Queue().IsServiceActive());
        EXPECT_TRUE(Eventually([&] { return server_->CallerCount() == 0; }));
        EXPECT_TRUE(Eventually([&] {
            return driver_.ServiceProcessId() == 0 && Driver().Device().RegisteredProcessId() == 0;
        })) << driver_.ServiceProcessId();

        // A new service registers and answers; its redirect names it.
        auto next = StartService({"policy"});
        ASSERT_NE(next->Pid(), -1);
        const uint64_t again = driver_.CompletedLookups();
        auto blocked = Open(7);
        ASSERT_TRUE(blocked->ClientSend("GET /x HTTP/1.1\r\nHost: www.blocked.test\r\n\r\n"));
        auto allowed = Open(8);
        const std::string request = "GET /y HTTP/1.1\r\nHost: fine.test\r\n\r\n";
        ASSERT_TRUE(allowed->ClientSend(request));
        ASSERT_TRUE(Eventually([&] { return driver_.CompletedLookups() == again + 2; }));
        ASSERT_TRUE(driver_.Network().WaitSettled());
        EXPECT_EQ(blocked->ClientReceived().rfind(
                      "HTTP/1.1 302 Other\r\nLocation: http://peer.test/blocked?by=" +
                          std::to_string(next->Pid()) + "\r\n",
                      0),
                  0u)
            << blocked->ClientReceived();
        EXPECT_EQ(blocked->ServerReceived(), "");
        EXPECT_EQ(allowed->ServerReceived(), request);
        EXPECT_EQ(allowed->ClientReceived(), "");
    }

    // What a caller that is not the service gets from the driver, as the peer reports it.
    void ExpectNothingForACallerThatIsNotTheService(const std::vector<std::string>& privilege) {
        const bool fileProtection = Driver().Protection().FileProtectionOn();
        const bool registryProtection = Driver().Protection().RegistryProtectionEnabled();
        const bool keyUnprotected = Driver().Protection().ProductKeyUnprotected();
        std::vector<std::string> arguments = {dir_};
        arguments.insert(arguments.end(), privilege.begin(), privilege.end());
        arguments.push_back("calls");
        CHILD caller(arguments);
        auto report = caller.ReadReport();
        ASSERT_EQ(caller.Wait(), 0);
        // Its open's cleanup has run in the host, so what follows sees everything it did.
        ASSERT_EQ(report.count("closed"), 1u);
        const std::string refused = Hex(os::STATUS_INVALID_DEVICE_REQUEST);
        const std::string denied = Hex(os::STATUS_ACCESS_DENIED);
        // The service-call codes belong to the registered handle only.
        for (const char* code : {"input", "output", "heartbeat", "extend", "standby", "detach"}) {
            EXPECT_EQ(report[code], refused) << code;
        }
        // Anyone may ask for a challenge; an answer without the secret authorises nothing, and
        // without an authorisation each privileged code is denied.
        EXPECT_EQ(report["challenge"], Hex(os::STATUS_SUCCESS));
        EXPECT_EQ(report["response"], denied);
        EXPECT_EQ(report["uninstall"], denied);
        EXPECT_EQ(report["suspend"], denied);
        EXPECT_EQ(report["update"], denied);
        EXPECT_EQ(report["version"], Hex(os::STATUS_SUCCESS));
        EXPECT_EQ(report["driver"], std::to_string(kDriverMajorVersion) + "." +
                                        std::to_string(kDriverMinorVersion) + "." +
                                        std::to_string(kDriverBuildNumber) + " 8");
        EXPECT_EQ(Driver().Protection().FileProtectionOn(), fileProtection);
        EXPECT_EQ(Driver().Protection().RegistryProtectionEnabled(), registryProtection);
        EXPECT_EQ(Driver().Protection().ProductKeyUnprotected(), keyUnprotected);
        EXPECT_FALSE(Driver().Queue().Standby());
    }
    void ExpectNothingWithAndWithoutAService(const std::vector<std::string>& privilege) {
        {
            SCOPED_TRACE("no service registered");
            ExpectNothingForACallerThatIsNotTheService(privilege);
            EXPECT_EQ(driver_.ServiceProcessId(), 0u);
        }
        SCOPED_TRACE("a service registered");
        auto service = StartService({"service"});
        ExpectNothingForACallerThatIsNotTheService(privilege);
        // Its refused detach and standby left the service's channel as it was.
        EXPECT_EQ(driver_.ServiceProcessId(), static_cast<uint32_t>(service->Pid()));
        EXPECT_TRUE(Driver().Queue().IsServiceActive());
        EXPECT_TRUE(Resolves("after.peer.test"));
    }

    static bool Root() { return geteuid() == 0; }

    std::string dir_;
    pipeline::IN_PROCESS_DRIVER driver_;
    std::unique_ptr<os::DEVICE_BRIDGE_SERVER> server_;
    std::shared_ptr<os::PROCESS> browser_;
};

TEST_F(BridgeFaultsTest, AServiceKilledDuringAThousandLookupsLetsTheCancelledOnesPass) {
    KillTheServiceDuringAThousandLookups(false);
}

TEST_F(BridgeFaultsTest, AServiceKilledDuringAThousandLookupsWithBlockOnFailureCutsThemAll) {
    KillTheServiceDuringAThousandLookups(true);
}

// A service killed while its threads have requests in the host: each of those requests checks
// the caller's pid against its start time as the process goes, and the host must take a vanished
// /proc entry for a caller that is gone, not fail itself.
TEST_F(BridgeFaultsTest, AServiceKilledInTheMiddleOfItsRequestsLeavesTheHostServing) {
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        auto service = StartService({"service"});
        // Four threads keep the service's workers in requests until it is killed.
        struct ASKERS {
            std::atomic<bool> stop{false};
            std::vector<std::thread> threads;
            ~ASKERS() {
                stop.store(true);
                for (auto& thread : threads) {
                    thread.join();
                }
            }
        } askers;
        askers.threads.reserve(4);
        for (int i = 0; i < 4; ++i) {
            askers.threads.emplace_back([&] {
                while (!askers.stop.load()) {
                    Resolves("busy.peer.test");
                }
            });
        }
        EXPECT_TRUE(Eventually([&] { return Resolves("warm.peer.test"); }));
        service->Kill();
        ASSERT_TRUE(Eventually([&] { return driver_.ServiceProcessId() == 0; }));
    }
    auto service = StartService({"service"});
    EXPECT_TRUE(Resolves("after.peer.test"));
}

TEST_F(BridgeFaultsTest, AProcessThatNeverRegisteredGetsNeitherServiceCallsNorPrivilegedCodes) {
    ExpectNothingWithAndWithoutAService({});
}

TEST_F(BridgeFaultsTest, AnUnprivilegedProcessGetsNeitherServiceCallsNorPrivilegedCodes) {
    if (!Root()) {
        GTEST_SKIP() << "the peer needs root to drop to uid 65534";
    }
    ExpectNothingWithAndWithoutAService({"--nobody"});
}

TEST_F(BridgeFaultsTest, ASecondRegistrationFromAnotherProcessIsRefusedRootOrNot) {
    auto service = StartService({"service"});
    {
        CHILD other({dir_, "raw-register"});
        EXPECT_EQ(other.ReadLine(), "register " + Hex(os::STATUS_INVALID_DEVICE_REQUEST));
        EXPECT_EQ(other.ReadLine(), "closed");
        EXPECT_EQ(other.Wait(), 0);
    }
    if (Root()) {
        CHILD nobody({dir_, "--nobody", "raw-register"});
        const std::string line = nobody.ReadLine();
        // Refused as a second registration or as a caller without root, whichever the driver
        // looks at first; never taken.
        EXPECT_TRUE(line == "register " + Hex(os::STATUS_INVALID_DEVICE_REQUEST) ||
                    line == "register " + Hex(os::STATUS_ACCESS_DENIED))
            << line;
        EXPECT_EQ(nobody.ReadLine(), "closed");
        EXPECT_EQ(nobody.Wait(), 0);
    }
    // The refused callers' opens are closed, and their cleanup took nothing of the service's.
    EXPECT_TRUE(Eventually([&] { return server_->CallerCount() == 1; }));
    EXPECT_EQ(driver_.ServiceProcessId(), static_cast<uint32_t>(service->Pid()));
    EXPECT_TRUE(Driver().Queue().IsServiceActive());
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(Resolves("still.peer.test"));
    }
}

// A local user must not be able to become the service, even while none is registered: it would
// then hold every connection's verdict.
TEST_F(BridgeFaultsTest, AnUnprivilegedProcessCannotRegisterEvenWithoutAService) {
    if (!Root()) {
        GTEST_SKIP() << "the peer needs root to drop to uid 65534";
    }
    ASSERT_EQ(driver_.ServiceProcessId(), 0u);
    {
        CHILD nobody({dir_, "--nobody", "raw-register"});
        EXPECT_EQ(nobody.ReadLine(), "register " + Hex(os::STATUS_ACCESS_DENIED));
        EXPECT_EQ(driver_.ServiceProcessId(), 0u);
        EXPECT_FALSE(Driver().Queue().IsServiceActive());
        EXPECT_EQ(nobody.ReadLine(), "closed");
    }
    // A refused attempt leaves the place free for the real service.
    EXPECT_EQ(driver_.ServiceProcessId(), 0u);
    auto service = StartService({"service"});
    EXPECT_TRUE(Resolves("real.peer.test"));
}

// A caller in another process that holds the installation's secret is authorised for one
// privileged request, on its own thread only; a thread of the host never could have been.
TEST_F(BridgeFaultsTest, ACallerWithTheSecretIsAuthorisedOnItsOwnThreadOnly) {
    CHILD caller({dir_, "authorised"});
    EXPECT_EQ(caller.ReadLine(), "response " + Hex(os::STATUS_SUCCESS));
    EXPECT_EQ(caller.ReadLine(), "other-thread " + Hex(os::STATUS_ACCESS_DENIED));
    EXPECT_EQ(caller.ReadLine(), "suspend " + Hex(os::STATUS_SUCCESS));
    EXPECT_EQ(caller.Wait(), 0);
    EXPECT_TRUE(Driver().Protection().ProductKeyUnprotected());
    EXPECT_FALSE(Driver().Protection().FileProtectionOn());
}

}  // namespace
}  // namespace wexo::integration
