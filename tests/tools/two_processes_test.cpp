// The product as two processes: the driver host (wexowfp) with the driver and the registry, the
// service (wexosvc) reaching both over the bridge sockets of a runtime folder of the test's own,
// and the reference policy server on loopback. Browser connections on the host's simulated
// network get their verdicts from the service in the other process.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"
#include "tools/peers/policy_server.h"

namespace {

using std::chrono::seconds;
using wexo::peers::CHILD_PROCESS;

const std::string kHost = std::string(WEXO_BINARY_DIR) + "/tools/wexowfp";
const std::string kService = std::string(WEXO_BINARY_DIR) + "/tools/wexosvc";
const std::string kRegistryTool = std::string(WEXO_BINARY_DIR) + "/tools/wexo-reg";

class TwoProcessesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/wexo-run-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        std::string error;
        ASSERT_TRUE(server_.Pages().SetPolicyText("[rules]\nblock host games.example\n", &error))
            << error;
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override {
        server_.Stop();
        std::filesystem::remove_all(dir_);
    }
    std::vector<std::string> Environment(std::vector<std::string> more) {
        more.push_back("WEXO_RUNTIME_DIR=" + dir_);
        more.push_back("NOTIFY_SOCKET=");
        more.push_back("WEXO_REGISTRY_FILE=");
        more.push_back("WEXO_IN_PROCESS_DRIVER=");
        more.push_back("WEXO_NETWORK=");  // the machine's own connections are never redirected here
        more.push_back("WEXO_API_SERVER=127.0.0.1:9");             // no check-in leaves the machine
        more.push_back("WEXO_ADMIN_FILE=/nonexistent/wexo.conf");  // nor this machine's settings
        return more;
    }

    // The host with two simulated browser connections, once it says its driver runs.
    std::unique_ptr<CHILD_PROCESS> StartHost() {
        auto host =
            CHILD_PROCESS::Start(kHost, {},
                                 Environment({"WEXO_DEMO_URLS=http://www.example.test/index.html "
                                              "http://games.example/play",
                                              "WEXO_POLICY_SERVERS=" + server_.HostPort()}));
        EXPECT_NE(host, nullptr);
        if (host && !host->ReadUntil("the driver runs", seconds(30))) {
            ADD_FAILURE() << host->Output();
        }
        return host;
    }
    // The service reads the policy servers the host's installer values name, through the
    // registry bridge.
    std::unique_ptr<CHILD_PROCESS> StartService() {
        auto service = CHILD_PROCESS::Start(kService, {"-A"}, Environment({"WexoSvc=0x120"}));
        EXPECT_NE(service, nullptr);
        if (service && !service->ReadUntil("Service started", seconds(30))) {
            ADD_FAILURE() << service->Output();
        }
        return service;
    }
    // Both connections decided by the service in the other process.
    static void ExpectVerdicts(CHILD_PROCESS& host) {
        ASSERT_TRUE(host.ReadUntil("wexowfp demo: GET", seconds(60), 2)) << host.Output();
        EXPECT_NE(host.Output().find("wexowfp demo: GET www.example.test/index.html ALLOWED"),
                  std::string::npos)
            << host.Output();
        EXPECT_NE(host.Output().find("wexowfp demo: GET games.example/play REDIRECTED"),
                  std::string::npos)
            << host.Output();
    }

    std::string dir_;
    wexo::peers::PolicyServer server_;
};

TEST_F(TwoProcessesTest, TheServiceInItsOwnProcessDecidesTheHostsConnections) {
    auto host = StartHost();
    ASSERT_NE(host, nullptr);
    auto service = StartService();
    ASSERT_NE(service, nullptr);
    ExpectVerdicts(*host);

    ASSERT_TRUE(service->Signal(SIGTERM));
    EXPECT_EQ(service->Wait(seconds(30)), 0) << service->Output();
    ASSERT_TRUE(host->Signal(SIGTERM));
    EXPECT_EQ(host->Wait(seconds(30)), 0) << host->Output();
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/device.sock"));
}

// A driver host killed outright: the service notices at its next heartbeat, keeps trying to open
// the device, and registers with the host that starts next; that host's connections get verdicts.
TEST_F(TwoProcessesTest, AServiceOutlivesAKilledDriverHostAndRegistersWithTheNextOne) {
    auto host = StartHost();
    ASSERT_NE(host, nullptr);
    auto service = StartService();
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(host->ReadUntil("wexowfp demo: GET", seconds(60), 2)) << host->Output();

    ASSERT_TRUE(host->Signal(SIGKILL));
    host->Wait(seconds(30));
    ASSERT_TRUE(service->ReadUntil("The driver's device went away; opening it again", seconds(30)))
        << service->Output();

    auto next = StartHost();
    ASSERT_NE(next, nullptr);
    ASSERT_TRUE(service->ReadUntil("Device opened again and service registered", seconds(60)))
        << service->Output();
    ExpectVerdicts(*next);

    // Without any host the service still stops at once.
    ASSERT_TRUE(next->Signal(SIGKILL));
    next->Wait(seconds(30));
    ASSERT_TRUE(
        service->ReadUntil("The driver's device went away; opening it again", seconds(30), 2))
        << service->Output();
    ASSERT_TRUE(service->Signal(SIGTERM));
    EXPECT_EQ(service->Wait(seconds(30)), 0) << service->Output();
    EXPECT_NE(service->Output().find("ServiceCallUninitialize: Heartbeat thread stopped"),
              std::string::npos)
        << service->Output();
}

TEST_F(TwoProcessesTest, WithoutADriverHostTheServiceCannotOpenTheDevice) {
    auto service = CHILD_PROCESS::Start(kService, {"-A"}, Environment({"WexoSvc=0x120"}));
    ASSERT_NE(service, nullptr);
    const int status = service->Wait(seconds(60));
    EXPECT_NE(status, 0) << service->Output();
    EXPECT_EQ(service->Output().find("Service started"), std::string::npos) << service->Output();
}

}  // namespace

// Another process (wexo-reg, over the registry bridge) cannot change the product's keys while the
// driver runs; the service in its process can, and the host says who was refused.
TEST_F(TwoProcessesTest, AnotherProcessIsRefusedTheProductKeyWhileTheServiceWritesIt) {
    auto host = StartHost();
    ASSERT_NE(host, nullptr);
    auto registry = [&](std::vector<std::string> arguments) {
        auto tool = CHILD_PROCESS::Start(kRegistryTool, arguments, Environment({}));
        EXPECT_NE(tool, nullptr);
        const int status = tool ? tool->Wait(seconds(30)) : -1;
        return std::make_pair(status, tool ? tool->Output() : std::string());
    };
    const std::string product = "HKLM\\SOFTWARE\\Corvane\\Ostrel";
    auto [added, addSaid] =
        registry({"add", product, "/v", "Dormant", "/t", "REG_DWORD", "/d", "1", "/f"});
    EXPECT_EQ(added, 1) << addSaid;
    EXPECT_NE(addSaid.find("Access is denied"), std::string::npos) << addSaid;
    auto [deleted, deleteSaid] = registry({"delete", product, "/f"});
    EXPECT_EQ(deleted, 1) << deleteSaid;
    auto [queried, querySaid] = registry({"query", product, "/v", "PolicyServers"});
    EXPECT_EQ(queried, 0) << querySaid;  // reading is nobody's harm
    EXPECT_NE(querySaid.find(server_.HostPort()), std::string::npos) << querySaid;

    // The service, once registered, writes its settings (the deployment and the debug mode).
    auto service = StartService();
    ASSERT_NE(service, nullptr);
    ExpectVerdicts(*host);
    EXPECT_EQ(service->Output().find("Unable to write"), std::string::npos) << service->Output();
    auto [after, afterSaid] = registry({"query", product, "/v", "Deployment"});
    EXPECT_EQ(after, 0) << afterSaid;
    ASSERT_TRUE(service->Signal(SIGTERM));
    EXPECT_EQ(service->Wait(seconds(30)), 0) << service->Output();
    ASSERT_TRUE(host->Signal(SIGTERM));
    EXPECT_EQ(host->Wait(seconds(30)), 0) << host->Output();
}
