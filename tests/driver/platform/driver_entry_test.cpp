#include "driver/platform/driver_entry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/caller_auth.h"
#include "driver/channel/control_device.h"
#include "driver/filter/wfp_registration.h"
#include "driver/platform/driver_settings.h"
#include "driver/platform/event_log.h"
#include "driver/platform/system_thread.h"
#include "driver/protection/protection_state.h"
#include "os/core/allocation.h"
#include "os/core/debugger.h"
#include "os/core/event_log.h"
#include "os/fltmgr/fltmgr.h"
#include "os/kernel/device.h"
#include "os/kernel/system_routines.h"
#include "os/registry/registry.h"
#include "os/wfp/wfp_engine.h"
#include "tests/driver/channel/channel_fixture.h"

namespace wexo::drv {
namespace {

constexpr char16_t kRegistryPath[] =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";
constexpr char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";

os::NTSTATUS SetValue(const os::RegKey& key, const char* name, uint32_t type, const void* data,
                      size_t size) {
    return os::ZwSetValueKey(key, name, type,
                             std::span<const uint8_t>(static_cast<const uint8_t*>(data), size));
}

// A registry, an engine and the debugger's lines for each test; the driver under test is made by
// the test so that it can choose what fails first.
class DriverEntryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        os::ClearEventLogRecords();
        os::RegKey key;
        ASSERT_EQ(os::ZwCreateKey(key, kServiceKey), os::STATUS_SUCCESS);
        baselineAllocations_ = os::PoolOutstandingTotal();
    }

    std::vector<os::EVENT_LOG_RECORD> DriverEvents() {
        std::vector<os::EVENT_LOG_RECORD> events;
        for (auto& record : os::EventLogRecords()) {
            if (record.source == "WexoWfp") {
                events.push_back(record);
            }
        }
        return events;
    }

    static uint32_t UniqueValueOf(const os::EVENT_LOG_RECORD& record) {
        uint32_t value = 0;
        if (record.data.size() >= kPacketUniqueValueOffset + 4) {
            std::memcpy(&value, record.data.data() + kPacketUniqueValueOffset, 4);
        }
        return value;
    }

    bool HasLine(const std::string& text) {
        std::lock_guard guard(linesLock_);
        for (const auto& line : lines_) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::string Banner() {
        std::lock_guard guard(linesLock_);
        for (const auto& line : lines_) {
            if (line.rfind("WexoW: DriverEntry: ", 0) == 0) {
                return line;
            }
        }
        return {};
    }

    // After the driver is gone: nothing it allocated is left, and its device is gone.
    void ExpectNothingLeft() {
        EXPECT_EQ(os::PoolOutstandingTotal(), baselineAllocations_);
        std::shared_ptr<os::FILE_OBJECT> file;
        EXPECT_NE(os::IoOpenDevice(u"\\??\\WexoWfp", os::CurrentProcessId(), &file),
                  os::STATUS_SUCCESS);
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::FilterEngine engine_;
    DRIVER_OBJECT driverObject_;
    std::mutex linesLock_;
    std::vector<std::string> lines_;
    os::ScopedDebuggerListener listener_{[this](uint32_t, uint32_t, std::string_view text) {
        std::lock_guard guard(linesLock_);
        lines_.emplace_back(text);
    }};
    size_t baselineAllocations_ = 0;
};

TEST(DriverIdentityTest, ControlSetNameIsTheFifthComponentUpperCased) {
    EXPECT_EQ(ControlSetName(kRegistryPath), u"CONTROLSET001");
    EXPECT_EQ(ControlSetName(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet"),
              u"CURRENTCONTROLSET");
    EXPECT_EQ(ControlSetName(u"\\REGISTRY\\MACHINE\\SYSTEM"), u"");
    EXPECT_EQ(ControlSetName(u""), u"");
    EXPECT_EQ(ControlSetName(u"\\A\\B\\C\\\\D"), u"");
}

TEST(DriverIdentityTest, BuildDateHasTheCompilersForm) {
    // "Dec  8 2017": month, day padded to two places, year.
    std::string date = BuildDate();
    ASSERT_EQ(date.size(), std::string("Dec  8 2017").size());
    EXPECT_EQ(date[3], ' ');
    EXPECT_EQ(date[6], ' ');
    EXPECT_EQ(std::string(BuildTime()).size(), std::string("15:16:20").size());
}

TEST(DriverIdentityTest, VersionFallsBackThroughTheOlderRoutineToZero) {
    OS_VERSION running = ReadOsVersion();
    {
        os::ScopedMissingSystemRoutines missing({"RtlGetVersion"});
        OS_VERSION older = ReadOsVersion();
        EXPECT_EQ(older.major, running.major);
        EXPECT_EQ(older.minor, running.minor);
        EXPECT_EQ(older.build, running.build);
    }
    os::ScopedMissingSystemRoutines missing({"RtlGetVersion", "PsGetVersion"});
    OS_VERSION none = ReadOsVersion();
    EXPECT_EQ(none.major, 0u);
    EXPECT_EQ(none.minor, 0u);
    EXPECT_EQ(none.build, 0u);
}

TEST(DriverIdentityTest, KernelReleaseTextGivesTheVersionNumbers) {
    auto v = os::VersionFromRelease("6.18.44-cloud-amd64");
    EXPECT_EQ(v.dwMajorVersion, 6u);
    EXPECT_EQ(v.dwMinorVersion, 18u);
    EXPECT_EQ(v.dwBuildNumber, 44u);
    v = os::VersionFromRelease("5.10");
    EXPECT_EQ(v.dwMinorVersion, 10u);
    EXPECT_EQ(v.dwBuildNumber, 0u);
    v = os::VersionFromRelease("x");
    EXPECT_EQ(v.dwMajorVersion, 0u);
}

TEST_F(DriverEntryTest, StartsWritesBannerAndStartedEventAndServesTheDevice) {
    {
        WEXO_DRIVER driver;
        ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);
        EXPECT_TRUE(driver.Running());
        EXPECT_EQ(driver.CurrentControlSetName(), u"CONTROLSET001");
        EXPECT_TRUE(driver.Registration().Registered());

        std::string banner = Banner();
        EXPECT_NE(banner.find("WexoW: DriverEntry: WexoWfp.sys v6.2.9 build 4, Release x64,\n"
                              "    Built on "),
                  std::string::npos)
            << banner;
        EXPECT_NE(banner.find("DriverPath=\"\\SystemRoot\\system32\\DRIVERS\\WexoWfp.sys\",\n"
                              "    CurrentControlSet=CONTROLSET001\n\n"),
                  std::string::npos)
            << banner;

        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventId, DRIVER_EVENT_STARTED);
        EXPECT_EQ(UniqueValueOf(events[0]), UniqueValue("DE06"));
        EXPECT_EQ(events[0].strings, (std::vector<std::string>{"WexoWfp", "6.02.09", "4"}));

        testing::ServiceProcess service;
        os::HANDLE device;
        EXPECT_EQ(service.Register(&device), 0u);
        EXPECT_EQ(driver.Device().RegisteredProcessId(), service.Id());

        // A driver starts once.
        EXPECT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_UNSUCCESSFUL);
    }
    ExpectNothingLeft();
}

TEST_F(DriverEntryTest, ShortRegistryPathLeavesTheControlSetEmpty) {
    os::RegKey key;
    ASSERT_EQ(os::ZwCreateKey(key, "\\REGISTRY\\MACHINE\\WexoWfp"), os::STATUS_SUCCESS);
    WEXO_DRIVER driver;
    ASSERT_EQ(driver.DriverEntry(driverObject_, u"\\REGISTRY\\MACHINE\\WexoWfp"),
              os::STATUS_SUCCESS);
    EXPECT_NE(Banner().find(",\n    CurrentControlSet=\n\n"), std::string::npos) << Banner();
}

TEST_F(DriverEntryTest, BannerShowsVersionZeroWithoutEitherVersionRoutine) {
    os::ScopedMissingSystemRoutines missing({"RtlGetVersion", "PsGetVersion"});
    WEXO_DRIVER driver;
    ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);
    EXPECT_NE(Banner().find("\n    Windows v0.0 build 0,\n"), std::string::npos) << Banner();
}

TEST_F(DriverEntryTest, MissingServiceKeyFailsWithoutAnEntry) {
    {
        WEXO_DRIVER driver;
        EXPECT_EQ(driver.DriverEntry(driverObject_,
                                     u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\None"),
                  os::STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(driver.Running());
        EXPECT_TRUE(DriverEvents().empty());
    }
    ExpectNothingLeft();
}

TEST_F(DriverEntryTest, FastIoTableAllocationFailureWritesDe01AndUnwinds) {
    {
        os::ScopedPoolFailure failure(os::MakePoolTag("WXFI"));
        WEXO_DRIVER driver;
        EXPECT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_UNSUCCESSFUL);
        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventId, DRIVER_EVENT_NO_POOL);
        EXPECT_EQ(UniqueValueOf(events[0]), UniqueValue("DE01"));
        EXPECT_EQ(events[0].strings, (std::vector<std::string>{"WexoWfp", "224"}));
    }
    ExpectNothingLeft();
}

TEST_F(DriverEntryTest, DeviceAndLinkFailuresWriteTheirEntriesAndLeaveNoDevice) {
    struct Case {
        std::atomic<int> os::DeviceFailures::*which;
        uint32_t event;
        uint32_t unique;
    };
    for (const Case& c : {Case{&os::DeviceFailures::createDevice, DRIVER_EVENT_CREATE_DEVICE_FAILED,
                               UniqueValue("DE02")},
                          Case{&os::DeviceFailures::createLink, DRIVER_EVENT_CREATE_LINK_FAILED,
                               UniqueValue("DE03")}}) {
        os::ClearEventLogRecords();
        (os::TestDeviceFailures().*c.which).store(1);
        {
            WEXO_DRIVER driver;
            EXPECT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_UNSUCCESSFUL);
        }
        (os::TestDeviceFailures().*c.which).store(0);
        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 1u) << c.unique;
        EXPECT_EQ(events[0].eventId, c.event);
        EXPECT_EQ(UniqueValueOf(events[0]), c.unique);
        ExpectNothingLeft();
    }
}

TEST_F(DriverEntryTest, LookupWorkerFailureUnwindsTheEngineRegistration) {
    {
        ScopedSystemThreadFailure failure(1, 3);
        WEXO_DRIVER driver;
        EXPECT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(driver.Registration().Registered());
        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventId, DRIVER_EVENT_CREATE_THREAD_FAILED);
        EXPECT_EQ(UniqueValueOf(events[0]), UniqueValue("SCT "));
    }
    ExpectNothingLeft();
}

TEST_F(DriverEntryTest, StartWithTheEngineStoppedRegistersWhenItStarts) {
    engine_.SetBfeState(os::FWPM_SERVICE_STOPPED);
    WEXO_DRIVER driver;
    ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);
    EXPECT_FALSE(driver.Registration().Registered());
    engine_.SetBfeState(os::FWPM_SERVICE_RUNNING);
    EXPECT_TRUE(driver.Registration().Registered());
}

TEST_F(DriverEntryTest, FileSystemFilterFailuresWriteTheirEntriesAndUnwind) {
    {
        os::ScopedFltFailure failure(os::FLT_FAILURE::RegisterFilter, os::STATUS_NO_MEMORY);
        WEXO_DRIVER driver;
        EXPECT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_UNSUCCESSFUL);
        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventId, DRIVER_EVENT_REGISTER_FILTER_FAILED);
        EXPECT_EQ(UniqueValueOf(events[0]), UniqueValue("FSFI"));
        // Nothing after the registration ran: no banner.
        EXPECT_TRUE(Banner().empty());
    }
    ExpectNothingLeft();
    os::ClearEventLogRecords();
    {
        os::ScopedFltFailure failure(os::FLT_FAILURE::StartFiltering, os::STATUS_NO_MEMORY);
        WEXO_DRIVER driver;
        EXPECT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_UNSUCCESSFUL);
        EXPECT_FALSE(driver.Registration().Registered());
        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].eventId, DRIVER_EVENT_START_FILTER_FAILED);
        EXPECT_EQ(UniqueValueOf(events[0]), UniqueValue("FSFS"));
    }
    ExpectNothingLeft();
}

// The two threads started last are not needed to filter: each failure leaves its entry and a
// running driver whose settings stay at their defaults.
TEST_F(DriverEntryTest, WatchAndResolverThreadFailuresLeaveTheDriverRunning) {
    os::RegKey product;
    ASSERT_EQ(os::ZwCreateKey(product, kProductKeyName), os::STATUS_SUCCESS);
    uint32_t one = 1;
    ASSERT_EQ(SetValue(product, kBlockOnFailureValue, os::REG_DWORD, &one, 4), os::STATUS_SUCCESS);
    std::vector<uint32_t> survived;
    for (int skip = 0; skip < 40 && survived.size() < 2; ++skip) {
        os::ClearEventLogRecords();
        ScopedSystemThreadFailure failure(1, skip);
        WEXO_DRIVER driver;
        if (driver.DriverEntry(driverObject_, kRegistryPath) != os::STATUS_SUCCESS) {
            continue;  // a lookup worker: the start fails (tested above)
        }
        auto events = DriverEvents();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].eventId, DRIVER_EVENT_CREATE_THREAD_FAILED);
        EXPECT_EQ(UniqueValueOf(events[1]), UniqueValue("DE06"));
        survived.push_back(UniqueValueOf(events[0]));
        EXPECT_TRUE(driver.Registration().Registered());
        if (UniqueValueOf(events[0]) == UniqueValue("SCT ")) {
            // The product key is never read without the watch.
            EXPECT_FALSE(driver.Filter().BlockOnFailure());
        }
    }
    ASSERT_EQ(survived.size(), 2u);
    EXPECT_EQ(survived[0], UniqueValue("SCT "));
    EXPECT_EQ(survived[1], UniqueValue("DNS1"));
}

// A setting the service writes reaches classify through the key's change notification, without
// a restart of the driver.
TEST_F(DriverEntryTest, DormantAndBlockOnFailureTakeEffectWhenWritten) {
    WEXO_DRIVER driver;
    ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);
    EXPECT_FALSE(driver.Filter().Dormant());
    EXPECT_FALSE(driver.Filter().BlockOnFailure());
    // The test writes as the registered service, the one process the driver lets change the key.
    driver.Protection().SetServiceProcessId(os::CurrentProcessId());
    os::RegKey product;
    ASSERT_EQ(os::ZwCreateKey(product, kProductKeyName), os::STATUS_SUCCESS);
    auto set = [&](const char* name, uint32_t value) {
        ASSERT_EQ(SetValue(product, name, os::REG_DWORD, &value, 4), os::STATUS_SUCCESS);
    };
    // The watch thread reacts on its own schedule; the wait is bounded, never a fixed sleep.
    auto eventually = [](auto condition) {
        for (int i = 0; i < 2000 && !condition(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    };
    set(kDormantValue, 1);
    EXPECT_TRUE(eventually([&] { return driver.Filter().Dormant(); }));
    set(kBlockOnFailureValue, 7);
    EXPECT_TRUE(eventually([&] { return driver.Filter().BlockOnFailure(); }));
    set(kDormantValue, 0);
    EXPECT_TRUE(eventually([&] { return !driver.Filter().Dormant(); }));
    EXPECT_TRUE(driver.Filter().BlockOnFailure());
    ASSERT_EQ(os::ZwDeleteValueKey(product, kBlockOnFailureValue), os::STATUS_SUCCESS);
    EXPECT_TRUE(eventually([&] { return !driver.Filter().BlockOnFailure(); }));
}

// With a log path in the service key the banner reaches the file as well as the debugger.
TEST_F(DriverEntryTest, DebugLogFromTheServiceKeyGetsTheBanner) {
    char folder[] = "/tmp/wexo-entry-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    {
        os::ScopedVolumes volumes;
        ASSERT_EQ(
            os::MountVolume(os::kSystemVolumeDeviceName, os::kSystemVolumeDriveLetter, folder),
            os::STATUS_SUCCESS);
        os::RegKey key;
        ASSERT_EQ(os::ZwOpenKey(key, kServiceKey), os::STATUS_SUCCESS);
        std::u16string path = u"\\??\\C:\\wexo.log";
        ASSERT_EQ(SetValue(key, "Debug Log", os::REG_SZ, path.c_str(),
                           static_cast<uint32_t>((path.size() + 1) * 2)),
                  os::STATUS_SUCCESS);
        uint32_t options = 3;
        ASSERT_EQ(SetValue(key, "Debug Options", os::REG_DWORD, &options, 4), os::STATUS_SUCCESS);
        WEXO_DRIVER driver;
        ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);
        EXPECT_FALSE(Banner().empty());
    }
    std::ifstream in(std::string(folder) + "/wexo.log");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("WexoW: DriverEntry: WexoWfp.sys v6.2.9 build 4, Release x64,"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("CurrentControlSet=CONTROLSET001"), std::string::npos) << text;
    std::filesystem::remove_all(folder);
}

// Every allocation of the start, failed in turn: the start either copes or fails cleanly, and
// either way nothing is left once the driver is gone.
TEST_F(DriverEntryTest, AnyAllocationFailingLeavesNothingBehind) {
    uint64_t failures = 0;
    for (uint64_t skip = 0; skip < 400; ++skip) {
        os::ClearEventLogRecords();
        {
            os::ScopedPoolFailure failure(0, skip, 1);
            WEXO_DRIVER driver;
            driver.DriverEntry(driverObject_, kRegistryPath);
            if (failure.Failed() == 0) {
                break;  // every allocation of the start succeeded: the sweep is complete
            }
            ++failures;
        }
        ExpectNothingLeft();
        if (::testing::Test::HasFailure()) {
            FAIL() << "after failing allocation " << skip;
        }
    }
    EXPECT_GT(failures, 3u);
}

// The installation's secret in the service key makes the privileged codes usable by a caller
// that holds it; without it, or with another, they stay refused.
TEST_F(DriverEntryTest, AuthSecretFromTheServiceKeyAuthorisesPrivilegedCodes) {
    std::vector<uint8_t> secret(32, 0x3C);
    {
        os::RegKey key;
        ASSERT_EQ(os::ZwOpenKey(key, kServiceKey), os::STATUS_SUCCESS);
        ASSERT_EQ(os::ZwSetValueKey(key, "Auth Secret", os::REG_BINARY, secret),
                  os::STATUS_SUCCESS);
    }
    WEXO_DRIVER driver;
    ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);

    testing::ServiceProcess service;
    os::HANDLE registered;
    ASSERT_EQ(service.Register(&registered), 0u);
    os::HANDLE handle = service.Open();
    auto authorise = [&](const std::vector<uint8_t>& key) {
        AuthNonce nonce{};
        uint32_t error = service.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32);
        if (error != 0) {
            return error;
        }
        QRN_AUTH_RESPONSE_REQUEST response{0xB17, {}};
        AuthMac mac = ComputeAuthResponse(key, nonce, os::CurrentThreadId(), 0xB17);
        std::memcpy(response.mac, mac.data(), mac.size());
        return service.Control(handle, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0);
    };
    EXPECT_NE(authorise(std::vector<uint8_t>(32, 0x3D)), 0u);
    EXPECT_EQ(service.Control(handle, QRN_SUSPEND_PROTECTION, nullptr, 0, nullptr, 0),
              os::ERROR_ACCESS_DENIED);
    ASSERT_EQ(authorise(secret), 0u);
    EXPECT_EQ(service.Control(handle, QRN_SUSPEND_PROTECTION, nullptr, 0, nullptr, 0), 0u);
    EXPECT_FALSE(driver.Protection().FileProtectionOn());
}

TEST_F(DriverEntryTest, WithoutASecretNobodyIsAuthorised) {
    WEXO_DRIVER driver;
    ASSERT_EQ(driver.DriverEntry(driverObject_, kRegistryPath), os::STATUS_SUCCESS);
    testing::ServiceProcess admin;
    os::HANDLE handle = admin.Open();
    AuthNonce nonce{};
    EXPECT_EQ(admin.Control(handle, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(), 32),
              os::ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace wexo::drv
