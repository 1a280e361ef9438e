// Who may use the driver host's bridges, with the driver running as in its host: the registry's
// own rules (every user reads, only root changes HKLM) under the driver's registry protection,
// and local users who flood either socket while the service goes on being served. The callers
// are processes of their own, as root and as uid 65534 (tests/os/bridge/programs/
// registry_bridge_peer, tests/programs/device_bridge_peer).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/platform/driver_entry.h"
#include "driver/platform/resolve_name.h"
#include "os/bridge/device_bridge.h"
#include "os/bridge/registry_bridge.h"
#include "os/core/device_gateway.h"
#include "tests/integration/bridge_peer_process.h"
#include "tools/peers/child_process.h"
#include "tools/pipeline/in_process_driver.h"

namespace wexo::integration {
namespace {

using namespace std::chrono_literals;

constexpr os::bridge::CONNECTION_LIMITS kLimits{.perUser = 4, .allUsers = 6};

// A registry client (or a flood of any socket) in a process of its own; "--nobody" first makes
// it uid 65534.
std::unique_ptr<peers::CHILD_PROCESS> RegistryPeer(const std::string& dir,
                                                   const std::vector<std::string>& arguments) {
    return peers::CHILD_PROCESS::Start(std::string(WEXO_BINARY_DIR) + "/tests/registry_bridge_peer",
                                       arguments, {"WEXO_RUNTIME_DIR=" + dir});
}

std::string RunRegistryPeer(const std::string& dir, const std::vector<std::string>& arguments) {
    auto child = RegistryPeer(dir, arguments);
    if (child == nullptr)
        return "cannot start";
    child->Wait(10'000ms);
    return child->Output();
}

class BridgeAccessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run callers as uid 65534";
        char dir[] = "/tmp/wexo-access-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_EQ(::chmod(dir, 0755), 0);  // as /run/wexo: every local user reaches the sockets
        ASSERT_TRUE(driver_.Start());
        device_ = std::make_unique<os::DEVICE_BRIDGE_SERVER>(*os::CurrentDeviceGateway());
        ASSERT_EQ(device_->Start(dir_, kLimits), os::STATUS_SUCCESS);
        os::REGISTRY_BRIDGE_OPTIONS options;
        options.connections = kLimits;
        std::string why;
        ASSERT_EQ(registry_.Start(dir_, options, &why), os::ERROR_SUCCESS) << why;
    }
    void TearDown() override {
        registry_.Stop();
        device_.reset();
        driver_.Stop();
        if (!dir_.empty())
            std::filesystem::remove_all(dir_);
    }

    bool Resolves(const char* host) {
        return drv::ResolveName(driver_.Driver().Queue(), host, drv::NameFamily::V4).outcome ==
               drv::ResolveOutcome::Resolved;
    }

    // A registry of the test's own, so that what the callers write reaches no other test.
    os::ScopedSystemRegistry registryScope_{os::RegistryStore::CreateInMemory()};
    std::string dir_;
    pipeline::IN_PROCESS_DRIVER driver_;
    std::unique_ptr<os::DEVICE_BRIDGE_SERVER> device_;
    os::REGISTRY_BRIDGE_SERVER registry_;
};

// The cloud-account cache the service trusts is the machine's: a user cannot plant an account in
// it, root can (as on Windows); the product key stays the service's alone, root or not; and
// every user still reads.
TEST_F(BridgeAccessTest, TheKeysRulesAndTheDriversProtectionTogether) {
    const std::string cache =
        "SOFTWARE\\Microsoft\\IdentityStore\\Cache\\S-1-22-1-65534\\IdentityCache\\S-1-22-1-65534";
    const std::string product = "SOFTWARE\\Corvane\\Ostrel";
    EXPECT_EQ(RunRegistryPeer(dir_, {"--nobody", "set", cache, "UserName", "1"}), "set 5\n");
    EXPECT_EQ(RunRegistryPeer(dir_, {"set", cache, "UserName", "1"}), "set 0\n");
    EXPECT_EQ(RunRegistryPeer(dir_, {"--nobody", "set", product, "Dormant", "1"}), "set 5\n");
    EXPECT_EQ(RunRegistryPeer(dir_, {"set", product, "Dormant", "1"}), "set 5\n")
        << "root that is not the service is refused by the driver";
    EXPECT_EQ(RunRegistryPeer(dir_, {"--nobody", "get", cache, "UserName"}), "get 0 4 1\n");
    EXPECT_EQ(RunRegistryPeer(dir_, {"--nobody", "get", product, "Missing"}), "get 2 0 \n");
}

// While a user floods the device socket (connections held, lengths of 4 GiB, frames that never
// end) the registered service is still asked and answers, and a root process that connects now
// still reaches the driver.
TEST_F(BridgeAccessTest, AUserFloodingTheDeviceSocketCannotKeepTheServiceOut) {
    BRIDGE_PEER service({dir_, "service"});
    ASSERT_EQ(service.ReadLine(), "registered");
    const std::string socket = dir_ + "/" + os::kDeviceSocketName;
    const std::pair<const char*, const char*> floods[] = {{"flood-connections", "connected 12"},
                                                          {"flood-huge", "closed 12"},
                                                          {"flood-slow", "stalled 12"}};
    for (const auto& [kind, said] : floods) {
        auto flooder = RegistryPeer(dir_, {"--nobody", kind, socket, "12"});
        ASSERT_NE(flooder, nullptr);
        ASSERT_TRUE(flooder->ReadUntil(said, 10'000ms)) << kind << ": " << flooder->Output();
        // First a new root process, whose connection must be taken (a lookup would wait for the
        // service's answer as long as its limit if the service's were not).
        BRIDGE_PEER late({dir_, "register"});
        ASSERT_EQ(late.Wait(), 3) << kind << ": answered (a service is registered already)";
        for (int i = 0; i < 5; ++i)
            EXPECT_TRUE(Resolves("during.peer.test")) << kind;
        flooder->Signal(SIGKILL);
        flooder->Wait(2000ms);
    }
    EXPECT_EQ(driver_.ServiceProcessId(), static_cast<uint32_t>(service.Pid()));
}

}  // namespace
}  // namespace wexo::integration
