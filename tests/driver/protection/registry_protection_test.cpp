#include "driver/protection/registry_protection.h"

#include <gtest/gtest.h>

#include <string>

#include "os/core/process.h"
#include "os/kernel/system_routines.h"
#include "os/registry/registry.h"

namespace wexo::drv::testing {
namespace {

TEST(MatchKeyTest, ComponentsCompareWithoutCaseAndTheControlSetStandsForTwoNames) {
    constexpr std::string_view pattern = "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\services\\WexoWfp";
    EXPECT_EQ(MatchKey("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\services\\WexoWfp", pattern),
              KEY_MATCH::Exact);
    EXPECT_EQ(MatchKey("\\registry\\machine\\system\\CONTROLSET002\\SERVICES\\wexowfp\\", pattern),
              KEY_MATCH::Exact);
    EXPECT_EQ(MatchKey("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\services\\WexoWfp\\Parameters",
                       pattern),
              KEY_MATCH::Below);
    EXPECT_EQ(MatchKey("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\services", pattern),
              KEY_MATCH::Above);
    EXPECT_EQ(MatchKey("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet003\\services\\WexoWfp", pattern),
              KEY_MATCH::Mismatch);
    EXPECT_EQ(
        MatchKey("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\services\\WexoWfp", pattern),
        KEY_MATCH::Mismatch);
    EXPECT_EQ(MatchKey("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\services\\WexoWfpX", pattern),
              KEY_MATCH::Mismatch);
    EXPECT_EQ(MatchKey("REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\services\\WexoWfp", pattern),
              KEY_MATCH::Mismatch);
    EXPECT_EQ(MatchKey("", pattern), KEY_MATCH::Mismatch);
}

constexpr char kProduct[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel";
constexpr char kService1[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\services\\WexoWfp";
constexpr char kSafeBoot[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Control\\SafeBoot";

// The callback on a registry of its own, with the product's keys in place; operations run as
// another process unless a test says otherwise.
class RegistryProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (std::string key : {std::string(kProduct) + "\\Sub", std::string(kService1) + "\\Sub",
                                std::string(kSafeBoot) + "\\Network\\WexoWfp.sys",
                                std::string(kSafeBoot) + "\\Network\\Other",
                                std::string(kSafeBoot) + "\\Minimal\\WexoWfp.sys",
                                std::string("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet003\\services"
                                            "\\WexoWfp")}) {
            os::RegKey made;
            ASSERT_EQ(os::ZwCreateKey(made, key), os::STATUS_SUCCESS) << key;
        }
        os::RegKey product = Open(kProduct);
        ASSERT_EQ(Set(product, "Dormant"), os::STATUS_SUCCESS);
        state_.SetServiceProcessId(service_->Id());
        protection_.Register();
        ASSERT_TRUE(protection_.Registered());
    }
    void TearDown() override {
        protection_.Unregister();
        os::TerminateProcess(service_->Id());
        os::TerminateProcess(other_->Id());
    }

    static os::RegKey Open(const std::string& name) {
        os::RegKey key;
        EXPECT_EQ(os::ZwOpenKey(key, name), os::STATUS_SUCCESS) << name;
        return key;
    }
    static os::NTSTATUS Set(const os::RegKey& key, const char* value) {
        uint32_t one = 1;
        return os::ZwSetValueKey(
            key, value, os::REG_DWORD,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&one), sizeof one));
    }
    // What another process gets for each kind of change of a key.
    struct OUTCOME {
        os::NTSTATUS setValue;
        os::NTSTATUS deleteValue;
        os::NTSTATUS createBelow;
        os::NTSTATUS rename;
        os::NTSTATUS deleteKey;
    };
    OUTCOME Try(const std::string& name, const os::PROCESS* process = nullptr) {
        os::ScopedProcessContext as((process != nullptr ? process : other_.get())->Id());
        os::RegKey key = Open(name);
        OUTCOME outcome{};
        outcome.setValue = Set(key, "Probe");
        outcome.deleteValue = os::ZwDeleteValueKey(key, "Probe");
        os::RegKey child;
        outcome.createBelow = os::ZwCreateKey(child, "Child", &key);
        if (os::NT_SUCCESS(outcome.createBelow)) {
            os::ZwDeleteKey(child);
        }
        // A rename to the same last name, so an allowed one leaves the tree as it was.
        const std::string last = name.substr(name.rfind('\\') + 1);
        outcome.rename = os::ZwRenameKey(key, last);
        return outcome;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    std::shared_ptr<os::PROCESS> service_ = os::CreateProcess({}, 0, "C:\\wexosvc");
    std::shared_ptr<os::PROCESS> other_ = os::CreateProcess({}, 1, "C:\\other");
    PROTECTION_STATE state_;
    REGISTRY_PROTECTION protection_{state_};
};

constexpr os::NTSTATUS kDenied = os::STATUS_ACCESS_DENIED;
constexpr os::NTSTATUS kOk = os::STATUS_SUCCESS;

TEST_F(RegistryProtectionTest, AnotherProcessCannotChangeTheProductsKeysButTheServiceCan) {
    // The product key and everything below it.
    for (const std::string& key : {std::string(kProduct), std::string(kProduct) + "\\Sub"}) {
        OUTCOME outcome = Try(key);
        EXPECT_EQ(outcome.setValue, kDenied) << key;
        EXPECT_EQ(outcome.createBelow, kDenied) << key;
        EXPECT_EQ(outcome.rename, kDenied) << key;
    }
    {
        os::ScopedProcessContext as(other_->Id());
        os::RegKey product = Open(kProduct);
        EXPECT_EQ(os::ZwDeleteValueKey(product, "Dormant"), kDenied);
        EXPECT_EQ(os::ZwDeleteKey(product), kDenied);
        os::RegKey sub = Open(std::string(kProduct) + "\\Sub");
        EXPECT_EQ(os::ZwDeleteKey(sub), kDenied);
        // Opening the product key through a create call is no change.
        os::RegKey again;
        EXPECT_EQ(os::ZwCreateKey(again, kProduct), kOk);
        // Nor can a relative create or the Win32 path slip below it.
        os::RegKey software;
        ASSERT_EQ(os::ZwOpenKey(software, "\\REGISTRY\\MACHINE\\SOFTWARE"), kOk);
        os::RegKey child;
        EXPECT_EQ(os::ZwCreateKey(child, "Corvane\\Ostrel\\New", &software), kDenied);
        os::RegKey win32;
        EXPECT_EQ(os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE),
                                     "software\\CORVANE\\ostrel\\New", win32),
                  os::ERROR_ACCESS_DENIED);
    }
    // The service does as it likes.
    OUTCOME service = Try(kProduct, service_.get());
    EXPECT_EQ(service.setValue, kOk);
    EXPECT_EQ(service.deleteValue, kOk);
    EXPECT_EQ(service.createBelow, kOk);
    EXPECT_EQ(service.rename, kOk);
}

TEST_F(RegistryProtectionTest, TheServiceKeyAndTheSafeModeEntriesFollowTheirRows) {
    OUTCOME serviceKey = Try(kService1);
    EXPECT_EQ(serviceKey.setValue, kDenied);
    EXPECT_EQ(serviceKey.createBelow, kDenied);
    EXPECT_EQ(serviceKey.rename, kDenied);
    // Values of a sub-key of the service key are not protected; the sub-key itself is.
    OUTCOME serviceSub = Try(std::string(kService1) + "\\Sub");
    EXPECT_EQ(serviceSub.setValue, kOk);
    EXPECT_EQ(serviceSub.deleteValue, kOk);
    EXPECT_EQ(serviceSub.rename, kDenied);
    // The SafeBoot Network key itself; another entry below it; the driver's entry.
    OUTCOME network = Try(std::string(kSafeBoot) + "\\Network");
    EXPECT_EQ(network.rename, kDenied);
    EXPECT_EQ(network.setValue, kOk);
    OUTCOME otherEntry = Try(std::string(kSafeBoot) + "\\Network\\Other");
    EXPECT_EQ(otherEntry.rename, kOk);
    OUTCOME entry = Try(std::string(kSafeBoot) + "\\Minimal\\WexoWfp.sys");
    EXPECT_EQ(entry.rename, kDenied);
    EXPECT_EQ(entry.setValue, kDenied);
    EXPECT_EQ(entry.createBelow, kDenied);
    // ControlSet003 is no control set of the patterns.
    OUTCOME third = Try("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet003\\services\\WexoWfp");
    EXPECT_EQ(third.setValue, kOk);
    EXPECT_EQ(third.createBelow, kOk);
    EXPECT_EQ(third.rename, kOk);
    {
        os::ScopedProcessContext as(other_->Id());
        os::RegKey sub = Open(std::string(kService1) + "\\Sub");
        EXPECT_EQ(os::ZwDeleteKey(sub), kDenied);
        os::RegKey otherKey = Open(std::string(kSafeBoot) + "\\Network\\Other");
        EXPECT_EQ(os::ZwDeleteKey(otherKey), kOk);
    }
}

TEST_F(RegistryProtectionTest, SuspendOpensOnlyTheProductKeyAndUninstallOpensEverything) {
    state_.SetProductKeyUnprotected(true);
    OUTCOME product = Try(kProduct);
    EXPECT_EQ(product.setValue, kOk);
    EXPECT_EQ(product.createBelow, kOk);
    EXPECT_EQ(Try(kService1).setValue, kDenied);
    EXPECT_EQ(Try(std::string(kSafeBoot) + "\\Network\\WexoWfp.sys").rename, kDenied);
    state_.SetProductKeyUnprotected(false);
    EXPECT_EQ(Try(kProduct).setValue, kDenied);

    state_.DisableRegistryProtection();
    state_.SetProductKeyUnprotected(false);  // a resume does not turn it back on
    EXPECT_EQ(Try(kProduct).setValue, kOk);
    EXPECT_EQ(Try(kService1).setValue, kOk);
}

TEST_F(RegistryProtectionTest, TheOlderRegistrationIsUsedWhenTheNewerIsMissing) {
    protection_.Unregister();
    {
        os::ScopedMissingSystemRoutines missing({"CmRegisterCallbackEx"});
        protection_.Register();
    }
    EXPECT_TRUE(protection_.Registered());
    EXPECT_EQ(Try(kProduct).setValue, kDenied);
    protection_.Unregister();
    EXPECT_EQ(Try(kProduct).setValue, kOk);
    {
        os::ScopedMissingSystemRoutines missing({"CmRegisterCallbackEx", "CmRegisterCallback"});
        protection_.Register();
    }
    EXPECT_FALSE(protection_.Registered());
}

}  // namespace
}  // namespace wexo::drv::testing
