// The control device across a real process boundary: the driver runs here, as in its host, and
// serves its device over the bridge socket; the service (and callers that misbehave) run as child
// processes of their own (tests/programs/device_bridge_peer).
#include "os/bridge/device_bridge.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "driver/channel/control_device.h"
#include "driver/platform/driver_entry.h"
#include "driver/platform/resolve_name.h"
#include "os/core/device_gateway.h"
#include "os/core/process.h"
#include "tests/integration/bridge_peer_process.h"
#include "tools/peers/child_process.h"
#include "tools/pipeline/in_process_driver.h"

namespace wexo::integration {
namespace {

using CHILD = BRIDGE_PEER;

template <typename CONDITION>
bool Eventually(CONDITION condition) {
    // Another process answers on its own schedule; the wait is bounded, never a fixed sleep.
    for (int i = 0; i < 2500 && !condition(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

class DeviceBridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/wexo-bridge-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_TRUE(driver_.Start());
        server_ = std::make_unique<os::DEVICE_BRIDGE_SERVER>(*os::CurrentDeviceGateway());
        ASSERT_EQ(server_->Start(dir_), os::STATUS_SUCCESS);
    }
    void TearDown() override {
        server_.reset();
        driver_.Stop();
        std::filesystem::remove_all(dir_);
    }

    std::unique_ptr<CHILD> StartService() {
        auto child = std::make_unique<CHILD>(std::vector<std::string>{dir_, "service"});
        EXPECT_EQ(child->ReadLine(), "registered");
        return child;
    }
    drv::RESOLVE_RESULT Resolve(const char* host) {
        return drv::ResolveName(driver_.Driver().Queue(), host, drv::NameFamily::V4);
    }
    static std::string FirstAddress(const drv::RESOLVE_RESULT& result) {
        if (result.addresses.Count() == 0) {
            return "";
        }
        const uint8_t* a = result.addresses.Address(0);
        return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) +
               "." + std::to_string(a[3]);
    }

    std::string dir_;
    pipeline::IN_PROCESS_DRIVER driver_;
    std::unique_ptr<os::DEVICE_BRIDGE_SERVER> server_;
};

TEST_F(DeviceBridgeTest, AServiceInAnotherProcessRegistersAndAnswersCalls) {
    auto service = StartService();
    EXPECT_EQ(driver_.ServiceProcessId(), static_cast<uint32_t>(service->Pid()));
    // The call is fetched into the service's own buffer, answered from its memory, and its input
    // event (a stand-in here) reached the service's waiting workers.
    for (int i = 0; i < 20; ++i) {
        auto result = Resolve("www.peer.test");
        ASSERT_EQ(result.outcome, drv::ResolveOutcome::Resolved);
        EXPECT_EQ(FirstAddress(result), "192.0.2.55");
    }
    EXPECT_EQ(Resolve("elsewhere.test").outcome, drv::ResolveOutcome::NotFound);
    EXPECT_EQ(server_->CallerCount(), 1u);
}

TEST_F(DeviceBridgeTest, AKilledServiceIsCleanedUpAndANewOneRegisters) {
    auto first = StartService();
    ASSERT_EQ(Resolve("a.peer.test").outcome, drv::ResolveOutcome::Resolved);
    first->Kill();
    // Its handle's cleanup ends the registration, as a closed handle's does.
    EXPECT_TRUE(Eventually([&] { return driver_.ServiceProcessId() == 0; }));
    EXPECT_TRUE(Eventually([&] { return server_->CallerCount() == 0; }));
    EXPECT_EQ(Resolve("a.peer.test").outcome, drv::ResolveOutcome::NoService);

    auto second = StartService();
    EXPECT_EQ(driver_.ServiceProcessId(), static_cast<uint32_t>(second->Pid()));
    EXPECT_EQ(Resolve("b.peer.test").outcome, drv::ResolveOutcome::Resolved);
}

TEST_F(DeviceBridgeTest, ASecondServiceIsRefusedWhileTheFirstIsRegistered) {
    auto service = StartService();
    CHILD other({dir_, "register"});
    EXPECT_EQ(other.Wait(), 3);
    EXPECT_EQ(driver_.ServiceProcessId(), static_cast<uint32_t>(service->Pid()));
    EXPECT_EQ(Resolve("still.peer.test").outcome, drv::ResolveOutcome::Resolved);
}

// A caller that names an address of the host's memory reaches only its own address space there.
TEST_F(DeviceBridgeTest, AForgedPointerNeverReachesTheHostsMemory) {
    std::vector<uint8_t> hostRecord(64, 0x5A);
    char address[32];
    std::snprintf(address, sizeof address, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hostRecord.data())));
    CHILD forged({dir_, "forged", address});
    EXPECT_EQ(forged.ReadLine().rfind("refused", 0), 0u);
    EXPECT_EQ(forged.Wait(), 0);
    EXPECT_EQ(driver_.ServiceProcessId(), 0u);
    EXPECT_EQ(hostRecord, std::vector<uint8_t>(64, 0x5A));
    // The host goes on serving.
    auto service = StartService();
    EXPECT_EQ(Resolve("after.peer.test").outcome, drv::ResolveOutcome::Resolved);
}

TEST_F(DeviceBridgeTest, BadFramesEndTheirConnectionAndTheHostServesTheOthers) {
    for (const char* mode : {"garbage", "huge"}) {
        SCOPED_TRACE(mode);
        CHILD bad({dir_, mode});
        EXPECT_EQ(bad.ReadLine(), "closed 0");
        EXPECT_EQ(bad.Wait(), 0);
    }
    // One that stops half-way through a frame holds up only its own connection.
    CHILD partial({dir_, "partial"});
    EXPECT_TRUE(Eventually([&] { return server_->ConnectionCount() == 1; }));
    auto service = StartService();
    EXPECT_EQ(Resolve("busy.peer.test").outcome, drv::ResolveOutcome::Resolved);
    partial.Kill();
    EXPECT_TRUE(Eventually([&] { return server_->CallerCount() == 1; }));
}

TEST_F(DeviceBridgeTest, WithoutAHostTheDeviceDoesNotOpen) {
    char dir[] = "/tmp/wexo-nohost-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    CHILD lonely({dir, "register"});
    EXPECT_EQ(lonely.Wait(), 2);
    std::filesystem::remove_all(dir);
}

// A second host on the same folder would take the first one's callers.
TEST_F(DeviceBridgeTest, ASecondHostCannotTakeTheSocketOfARunningOne) {
    os::DEVICE_BRIDGE_SERVER second(*os::CurrentDeviceGateway());
    EXPECT_EQ(second.Start(dir_), os::STATUS_OBJECT_NAME_COLLISION);
    CHILD service({dir_, "register"});
    EXPECT_EQ(service.Wait(), 0) << "the first host still serves";
}

TEST_F(DeviceBridgeTest, ARuntimeFolderOthersCanWriteIsRefused) {
    char dir[] = "/tmp/wexo-open-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0777);
    os::DEVICE_BRIDGE_SERVER other(*os::CurrentDeviceGateway());
    EXPECT_EQ(other.Start(dir), os::STATUS_ACCESS_DENIED);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace wexo::integration
