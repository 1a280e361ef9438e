#include "driver/platform/registry_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

#include "os/core/allocation.h"
#include "os/core/clock.h"
#include "os/core/event_log.h"

namespace wexo::drv {
namespace {

using std::chrono::milliseconds;

constexpr char kServiceKey[] = "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp";

// The watch thread over a registry of the test's own, on the virtual clock. The change hook plays
// the start-up's copy of the flags into the stream filter.
class RegistryWatchTest : public ::testing::Test {
  protected:
    RegistryWatchTest() : previousSyslog_(os::SetEventLogSyslogOutput(false)) {
        os::ClearEventLogRecords();
    }
    ~RegistryWatchTest() override {
        os::ClearEventLogRecords();
        os::SetEventLogSyslogOutput(previousSyslog_);
    }

    void SetUp() override {
        ASSERT_EQ(os::ZwCreateKey(serviceKey_, kServiceKey), os::STATUS_SUCCESS);
        settings_.ReadProductSettings(true);
        settings_.SetChangeHook([this] {
            filterDormant_ = settings_.Dormant();
            filterBlockOnFailure_ = settings_.BlockOnFailure();
            ++hookCalls_;
        });
    }
    void TearDown() override {
        watch_.Release();
        if (cookie_ != 0) {
            EXPECT_EQ(os::CmUnRegisterCallback(cookie_), os::STATUS_SUCCESS);
        }
    }

    void Start() {
        watch_.CreateEvents();
        ASSERT_EQ(watch_.Start(&serviceKey_, [this] { ++debugReads_; }), os::STATUS_SUCCESS);
        ASSERT_TRUE(clock_.Settle());
    }

    void SetProduct(const char* name, uint32_t value) {
        os::RegKey key;
        ASSERT_EQ(os::ZwCreateKey(key, kProductKeyName), os::STATUS_SUCCESS);
        ASSERT_EQ(os::ZwSetValueKey(key, name, os::REG_DWORD, os::RegDwordData(value)),
                  os::STATUS_SUCCESS);
        ASSERT_TRUE(clock_.Settle());
    }
    void SetService(const char* name, uint32_t value) {
        ASSERT_EQ(os::ZwSetValueKey(serviceKey_, name, os::REG_DWORD, os::RegDwordData(value)),
                  os::STATUS_SUCCESS);
        ASSERT_TRUE(clock_.Settle());
    }

    // Denies creating the product key (and so opening it: the thread creates what is missing)
    // while `denyProductKey_` is set.
    void DenyProductKey() {
        denyProductKey_ = true;
        ASSERT_EQ(os::CmRegisterCallback(
                      [this](const os::REG_NOTIFY_INFO& info) {
                          if (info.notifyClass == os::REG_NOTIFY_CLASS::RegNtPreCreateKeyEx &&
                              info.keyPath.find("Corvane") != std::string_view::npos &&
                              denyProductKey_) {
                              ++deniedOpens_;
                              return os::STATUS_ACCESS_DENIED;
                          }
                          return os::STATUS_SUCCESS;
                      },
                      &cookie_),
                  os::STATUS_SUCCESS);
    }

    os::VirtualClock clock_;
    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::RegKey serviceKey_;
    DRIVER_SETTINGS settings_;
    REGISTRY_WATCH watch_{settings_};
    std::atomic<int> hookCalls_{0};
    std::atomic<int> debugReads_{0};
    std::atomic<bool> filterDormant_{false};
    std::atomic<bool> filterBlockOnFailure_{false};
    std::atomic<bool> denyProductKey_{false};
    std::atomic<int> deniedOpens_{0};
    uint64_t cookie_ = 0;

  private:
    bool previousSyslog_;
};

TEST_F(RegistryWatchTest, ValuesWrittenToTheProductKeyReachTheFilter) {
    SetProduct(kDormantValue, 0);  // the key exists before the thread looks
    Start();
    EXPECT_TRUE(settings_.IsProductKeyOpen());
    EXPECT_EQ(hookCalls_, 0);

    SetProduct(kDormantValue, 1);
    EXPECT_TRUE(settings_.Dormant());
    EXPECT_TRUE(filterDormant_);
    EXPECT_EQ(hookCalls_, 1);

    SetProduct(kBlockOnFailureValue, 2);
    EXPECT_TRUE(settings_.BlockOnFailure());
    EXPECT_TRUE(filterBlockOnFailure_);
    EXPECT_EQ(hookCalls_, 2);

    SetProduct(kDormantValue, 0);
    EXPECT_FALSE(filterDormant_);
    EXPECT_TRUE(filterBlockOnFailure_);
    EXPECT_EQ(hookCalls_, 3);
    // Rewriting a value with what it holds reads the key again and changes nothing.
    SetProduct(kDormantValue, 0);
    EXPECT_EQ(hookCalls_, 3);
    EXPECT_EQ(debugReads_, 0);
}

TEST_F(RegistryWatchTest, TheRemapListIsReadAgainAfterAChange) {
    Start();
    os::RegKey key;
    ASSERT_EQ(os::ZwOpenKey(key, kProductKeyName), os::STATUS_SUCCESS);  // created by the thread
    ASSERT_EQ(os::ZwSetValueKey(
                  key, kDnsRemappingValue, os::REG_MULTI_SZ,
                  *os::RegMultiStringData(std::vector<std::string>{"www.v.test,safe.v.test"})),
              os::STATUS_SUCCESS);
    ASSERT_TRUE(clock_.Settle());
    char* target = settings_.RemapLookup("WWW.V.TEST");
    ASSERT_NE(target, nullptr);
    EXPECT_STREQ(target, "safe.v.test");
    FreeRemapTarget(target);
    EXPECT_EQ(os::WaitForSingleObject(settings_.ResolverEvent(), 0), os::WAIT_OBJECT_0);
}

TEST_F(RegistryWatchTest, AServiceKeyChangeReadsTheDebugSettings) {
    Start();
    SetService("Debug Flags1", 0x10);
    EXPECT_EQ(debugReads_, 1);
    SetService("Debug Log", 1);
    EXPECT_EQ(debugReads_, 2);
    EXPECT_EQ(hookCalls_, 0);
    // The product key stayed watched meanwhile.
    SetProduct(kDormantValue, 1);
    EXPECT_TRUE(settings_.Dormant());
    EXPECT_EQ(debugReads_, 2);
    SetService("Debug Options", 3);
    EXPECT_EQ(debugReads_, 3);
}

TEST_F(RegistryWatchTest, AProductKeyThatCannotBeOpenedIsRetriedEvery10Ms) {
    DenyProductKey();
    Start();
    EXPECT_EQ(deniedOpens_, 1);
    EXPECT_FALSE(settings_.IsProductKeyOpen());
    ASSERT_TRUE(clock_.Advance(milliseconds(10)));
    EXPECT_EQ(deniedOpens_, 2);
    ASSERT_TRUE(clock_.Advance(milliseconds(50)));
    EXPECT_EQ(deniedOpens_, 7);
    EXPECT_FALSE(settings_.Dormant());

    // The service creates the key later; the next attempt finds it.
    denyProductKey_ = false;
    SetProduct(kDormantValue, 1);
    EXPECT_FALSE(settings_.Dormant());
    ASSERT_TRUE(clock_.Advance(milliseconds(10)));
    EXPECT_TRUE(settings_.IsProductKeyOpen());
    EXPECT_TRUE(settings_.Dormant());
    EXPECT_EQ(hookCalls_, 1);
    EXPECT_EQ(deniedOpens_, 7);
    // And watches it from then on.
    SetProduct(kDormantValue, 0);
    EXPECT_FALSE(settings_.Dormant());
}

TEST_F(RegistryWatchTest, AStopEndsTheRetries) {
    DenyProductKey();
    Start();
    ASSERT_TRUE(clock_.Advance(milliseconds(30)));
    EXPECT_TRUE(watch_.Stop());
    int denied = deniedOpens_;
    ASSERT_TRUE(clock_.Advance(milliseconds(100)));
    EXPECT_EQ(deniedOpens_, denied);
}

TEST_F(RegistryWatchTest, ADeletedProductKeyIsCreatedAgainAndWatched) {
    SetProduct(kDormantValue, 1);
    Start();
    ASSERT_TRUE(settings_.Dormant());
    os::RegKey key;
    ASSERT_EQ(os::ZwOpenKey(key, kProductKeyName), os::STATUS_SUCCESS);
    ASSERT_EQ(os::ZwDeleteKey(key), os::STATUS_SUCCESS);
    ASSERT_TRUE(clock_.Settle());
    ASSERT_TRUE(clock_.Advance(milliseconds(10)));
    // The new key has no values: the defaults, and no failures to report.
    EXPECT_FALSE(settings_.Dormant());
    EXPECT_TRUE(os::EventLogRecords().empty());
    SetProduct(kBlockOnFailureValue, 1);
    EXPECT_TRUE(settings_.BlockOnFailure());
}

TEST_F(RegistryWatchTest, WithoutTheProductKeyEventTheThreadIsNotStarted) {
    {
        os::ScopedPoolFailure failure(REGISTRY_WATCH::kEventTag);
        watch_.CreateEvents();
    }
    EXPECT_FALSE(watch_.HasProductKeyEvent());
    EXPECT_FALSE(watch_.HasServiceKeyEvent());
    EXPECT_EQ(watch_.Start(&serviceKey_, [this] { ++debugReads_; }),
              os::STATUS_INSUFFICIENT_RESOURCES);
    SetProduct(kDormantValue, 1);
    EXPECT_FALSE(settings_.Dormant());
    EXPECT_FALSE(settings_.IsProductKeyOpen());
}

TEST_F(RegistryWatchTest, WithoutTheServiceKeyEventOnlyTheProductKeyIsWatched) {
    {
        os::ScopedPoolFailure failure(REGISTRY_WATCH::kEventTag, 1);
        watch_.CreateEvents();
    }
    ASSERT_TRUE(watch_.HasProductKeyEvent());
    EXPECT_FALSE(watch_.HasServiceKeyEvent());
    ASSERT_EQ(watch_.Start(&serviceKey_, [this] { ++debugReads_; }), os::STATUS_SUCCESS);
    ASSERT_TRUE(clock_.Settle());
    SetService("Debug Flags1", 1);
    EXPECT_EQ(debugReads_, 0);
    SetProduct(kDormantValue, 1);
    EXPECT_TRUE(settings_.Dormant());
}

TEST_F(RegistryWatchTest, NoServiceKeyHandleWatchesTheProductKeyAlone) {
    watch_.CreateEvents();
    ASSERT_EQ(watch_.Start(nullptr, [this] { ++debugReads_; }), os::STATUS_SUCCESS);
    ASSERT_TRUE(clock_.Settle());
    SetService("Debug Flags1", 1);
    EXPECT_EQ(debugReads_, 0);
    SetProduct(kDormantValue, 1);
    EXPECT_TRUE(settings_.Dormant());
}

TEST_F(RegistryWatchTest, AThreadThatCannotBeCreatedGivesItsStatus) {
    watch_.CreateEvents();
    {
        ScopedSystemThreadFailure failure;
        EXPECT_EQ(watch_.Start(&serviceKey_, [this] { ++debugReads_; }),
                  os::STATUS_INSUFFICIENT_RESOURCES);
    }
    SetProduct(kDormantValue, 1);
    EXPECT_FALSE(settings_.Dormant());
    watch_.Release();
    EXPECT_EQ(os::PoolOutstanding(REGISTRY_WATCH::kEventTag), 0u);
}

TEST_F(RegistryWatchTest, ReleaseStopsTheThreadAndFreesWhatItHeld) {
    os::RegKey key;
    ASSERT_EQ(os::ZwCreateKey(key, kProductKeyName), os::STATUS_SUCCESS);
    ASSERT_EQ(os::ZwSetValueKey(key, kDnsRemappingValue, os::REG_MULTI_SZ,
                                *os::RegMultiStringData(std::vector<std::string>{"a.test,b.test"})),
              os::STATUS_SUCCESS);
    Start();
    EXPECT_EQ(os::PoolOutstanding(REGISTRY_WATCH::kEventTag), 2u);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 1u);
    watch_.Release();
    EXPECT_EQ(os::PoolOutstanding(REGISTRY_WATCH::kEventTag), 0u);
    EXPECT_EQ(os::PoolOutstanding(kDnsRemapListTag), 0u);
    EXPECT_FALSE(settings_.IsProductKeyOpen());
    // The notifications went with the handles: later changes touch nothing.
    ASSERT_EQ(os::ZwSetValueKey(key, kDormantValue, os::REG_DWORD, os::RegDwordData(1)),
              os::STATUS_SUCCESS);
    SetService("Debug Flags1", 1);
    EXPECT_FALSE(settings_.Dormant());
    EXPECT_EQ(debugReads_, 0);
    watch_.Release();  // a second release is harmless
}

}  // namespace
}  // namespace wexo::drv
