// The settings object: loading the product key with its value rules, the check-in and policy-reply
// updates and their registry writes (and failed writes), and the settings lock.
#include "service/checkin/settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "os/core/event_log.h"
#include "os/core/status.h"
#include "service/checkin/software_update.h"
#include "service/support/event_log.h"
#include "service/support/http_engine.h"
#include "service/support/registry_helpers.h"
#include "tests/service/support/http_test_support.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_http::LogCapture;

class SettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, kProductKeyPath, key_),
                  os::ERROR_SUCCESS);
        ASSERT_TRUE(settings_.OpenProductKey());
    }
    void TearDown() override {
        if (cookie_ != 0) {
            os::SystemRegistry()->UnregisterCallback(cookie_);
        }
    }

    void SetDword(std::string_view name, uint32_t value) {
        ASSERT_EQ(os::RegSetValueEx(key_, name, os::REG_DWORD, os::RegDwordData(value)),
                  os::ERROR_SUCCESS);
    }
    void SetString(std::string_view name, std::string_view text) {
        ASSERT_EQ(os::RegSetValueEx(key_, name, os::REG_SZ, os::RegStringData(text)),
                  os::ERROR_SUCCESS);
    }
    std::optional<uint32_t> Dword(std::string_view name) {
        uint32_t value = 0;
        return ReadRegistryDword(key_, name, value) ? std::optional<uint32_t>(value) : std::nullopt;
    }
    std::optional<std::string> String(std::string_view name) {
        std::string value;
        return ReadRegistryString(key_, name, value) ? std::optional<std::string>(value)
                                                     : std::nullopt;
    }
    // Every later set of a value of the product key is refused with access denied.
    void DenyWrites() {
        ASSERT_EQ(os::SystemRegistry()->RegisterCallback(
                      [](const os::REG_NOTIFY_INFO& info) {
                          return info.notifyClass == os::REG_NOTIFY_CLASS::RegNtPreSetValueKey
                                     ? os::STATUS_ACCESS_DENIED
                                     : os::STATUS_SUCCESS;
                      },
                      "", &cookie_),
                  os::STATUS_SUCCESS);
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    LogCapture log_{0};
    os::RegKey key_;
    SETTINGS settings_;
    uint64_t cookie_ = 0;
};

// ---- LoadSettings.

TEST_F(SettingsTest, PolicyServersSkipBlankAndDuplicateNames) {
    SetString("PolicyServers", "a;b;;A;c");
    settings_.LoadSettings();
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a", "b", "c"));
    EXPECT_EQ(log_.Count("Blank policy server name encountered"), 1u);
    EXPECT_EQ(log_.Count("Duplicate policy server = \"A\""), 1u);
    // The list is logged as one block, numbered from 1.
    const auto lines = log_.Lines();
    auto at = std::find(lines.begin(), lines.end(), "Registry policy servers:");
    ASSERT_NE(at, lines.end());
    ASSERT_GE(lines.end() - at, 4);
    EXPECT_EQ(at[1], "#1 - a");
    EXPECT_EQ(at[2], "#2 - b");
    EXPECT_EQ(at[3], "#3 - c");
}

TEST_F(SettingsTest, NamesThatCannotBeHostsAreRefused) {
    SetString("PolicyServers", " one.example ;  ;two words;a/b;c?d;127.0.0.1:18080;[::1]:8443;");
    settings_.LoadSettings();
    EXPECT_THAT(settings_.PolicyServerNames(),
                ElementsAre("one.example", "127.0.0.1:18080", "[::1]:8443"));
    EXPECT_EQ(log_.Count("Blank policy server name encountered"), 2u);  // "  " and the last ""
    EXPECT_TRUE(log_.Has("Invalid policy server name = \"two words\""));
    EXPECT_TRUE(log_.Has("Invalid policy server name = \"a/b\""));
    EXPECT_TRUE(log_.Has("Invalid policy server name = \"c?d\""));
}

TEST_F(SettingsTest, ModesAboveOneReadAsZero) {
    SetDword("ServerMode", 7);
    SetDword("DNSRemappingMode", 2);
    settings_.LoadSettings();
    EXPECT_EQ(settings_.ServerMode(), SERVER_MODE_BALANCED);
    EXPECT_EQ(settings_.DnsRemappingMode(), DNS_REMAPPING_BUILD_IN);

    SetDword("ServerMode", 1);
    SetDword("DNSRemappingMode", 1);
    settings_.LoadSettings();
    EXPECT_EQ(settings_.ServerMode(), SERVER_MODE_TIERED);
    EXPECT_EQ(settings_.DnsRemappingMode(), DNS_REMAPPING_DYNAMIC);
    // 0xFFFFFFFF is above 1 taken as unsigned, not -1.
    SetDword("ServerMode", 0xFFFFFFFF);
    settings_.LoadSettings();
    EXPECT_EQ(settings_.ServerMode(), SERVER_MODE_BALANCED);
}

TEST_F(SettingsTest, WrongTypeReadsAsMissingWithTheReadFailureLine) {
    SetString("BlockOnFailure", "1");
    ASSERT_EQ(os::RegSetValueEx(key_, "Dormant", os::REG_DWORD, os::RegQwordData(1)),
              os::ERROR_SUCCESS);
    SetDword("UnencryptedSearch", 5);
    settings_.LoadSettings();
    EXPECT_FALSE(settings_.BlockOnFailure());
    EXPECT_FALSE(settings_.Dormant());
    EXPECT_TRUE(settings_.UnencryptedSearch());  // any non-zero DWORD is true
    const std::string text = os::SystemMessageText(os::ERROR_INVALID_DATATYPE);
    EXPECT_TRUE(log_.Has("Unable to read registry value = \"BlockOnFailure\". " + text +
                         ". Error code = 1804."));
    EXPECT_TRUE(
        log_.Has("Unable to read registry value = \"Dormant\". " + text + ". Error code = 1804."));
}

TEST_F(SettingsTest, MissingValuesTakeDefaultsAndOnlyTheServerListSaysSo) {
    settings_.LoadSettings();
    EXPECT_EQ(settings_.ServerMode(), SERVER_MODE_BALANCED);
    EXPECT_FALSE(settings_.BlockOnFailure());
    EXPECT_THAT(settings_.PolicyServerNames(), IsEmpty());
    EXPECT_EQ(log_.Find("Unable to read registry value"),
              "Unable to read registry value = \"PolicyServers\". " +
                  os::SystemMessageText(os::ERROR_FILE_NOT_FOUND) + ". Error code = 2.");
    EXPECT_TRUE(log_.Has("Registry policy servers: none"));
    EXPECT_TRUE(
        log_.Has("Settings:\n    Unencrypted search = false\n    DNS remapping mode = "
                 "Build-in\n    Block on failure = false\n    Dormant mode = false\n    "
                 "Server mode = Balanced"));
}

TEST_F(SettingsTest, AnUnreadableServerListKeepsTheListInMemory) {
    SetString("PolicyServers", "a;b");
    settings_.LoadSettings();
    ASSERT_EQ(os::RegDeleteValue(key_, "PolicyServers"), os::ERROR_SUCCESS);
    settings_.LoadSettings();
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a", "b"));
}

TEST_F(SettingsTest, AFailedKeyCreationReportsTheEvent) {
    ServiceEventLog().SetMessageTable(ServiceMessageTable());
    ASSERT_EQ(os::SystemRegistry()->RegisterCallback(
                  [](const os::REG_NOTIFY_INFO& info) {
                      return info.notifyClass == os::REG_NOTIFY_CLASS::RegNtPreCreateKeyEx
                                 ? os::STATUS_ACCESS_DENIED
                                 : os::STATUS_SUCCESS;
                  },
                  "", &cookie_),
              os::STATUS_SUCCESS);
    SETTINGS other;
    EXPECT_FALSE(other.OpenProductKey());
    EXPECT_FALSE(other.IsProductKeyOpen());
    EXPECT_THAT(log_.Find("Unable to create registry key"),
                ::testing::StartsWith("Unable to create registry key "
                                      "\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel\"."));
}

// ---- The opt-in security values, put in force for the whole process.

class SecuritySettingsTest : public SettingsTest {
  protected:
    void TearDown() override {
        SetHttpTlsPolicy({});
        SetUpdatePublicKey(std::nullopt);
        SettingsTest::TearDown();
    }
};

TEST_F(SecuritySettingsTest, AbsentOrZeroTheyStayOffAndSayNothing) {
    // What an earlier load put in force is taken back by a load that finds nothing.
    SetHttpTlsPolicy({true, "/left/over.pem"});
    SetUpdatePublicKey("left over");
    settings_.LoadSettings();
    EXPECT_FALSE(GetHttpTlsPolicy().strict);
    EXPECT_EQ(GetHttpTlsPolicy().caFile, "");
    EXPECT_EQ(GetUpdatePublicKey(), std::nullopt);
    EXPECT_FALSE(settings_.StrictTls());
    EXPECT_EQ(settings_.UpdatePublicKey(), std::nullopt);
    EXPECT_EQ(log_.Find("Strict TLS"), "");
    EXPECT_EQ(log_.Find("Signed software updates"), "");
    EXPECT_EQ(log_.Count("Unable to read registry value = \"PolicyServers\". " +
                         os::SystemMessageText(os::ERROR_FILE_NOT_FOUND) + ". Error code = 2."),
              1u)
        << "missing security values add no read-failure lines";
    EXPECT_EQ(log_.Find("Unable to read registry value = \"StrictTls\""), "");

    // Zero is off; a blank key is no key; a CA file alone is the trust of the verified requests
    // and turns strict TLS not on.
    SetDword("StrictTls", 0);
    SetDword("AcceptAnyServerCertificate", 0);
    SetString("TlsCaFile", "/etc/wexo/ca.pem");
    SetString("UpdatePublicKey", "  \r\n");
    settings_.LoadSettings();
    EXPECT_FALSE(GetHttpTlsPolicy().strict);
    EXPECT_FALSE(GetHttpTlsPolicy().acceptAnyServer);
    EXPECT_EQ(GetHttpTlsPolicy().caFile, "/etc/wexo/ca.pem");
    EXPECT_TRUE(log_.Has("Server verification = on, trusted certificates = \"/etc/wexo/ca.pem\""));
    EXPECT_EQ(GetUpdatePublicKey(), std::nullopt);
}

TEST_F(SecuritySettingsTest, TheSwitchThatAcceptsAnyServerWarnsAtEveryStartUnlessStrictTlsWins) {
    const bool previousSyslog = os::SetEventLogSyslogOutput(false);
    ServiceEventLog().Start("WexoSvc");
    struct CASE {
        uint32_t acceptAny;
        uint32_t strict;
        bool inForce;
        const char* line;
    };
    const CASE cases[] = {
        {1, 0, true, "Server verification = off (AcceptAnyServerCertificate)"},
        {7, 0, true, "Server verification = off (AcceptAnyServerCertificate)"},
        {1, 1, false, "AcceptAnyServerCertificate ignored: strict TLS is on"},
        {0, 0, false, nullptr},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.acceptAny * 10 + c.strict);
        SetDword("AcceptAnyServerCertificate", c.acceptAny);
        SetDword("StrictTls", c.strict);
        log_.Clear();
        os::ClearEventLogRecords();
        // Two starts: the warning comes with each.
        for (int start = 0; start < 2; ++start) {
            settings_.LoadSettings();
        }
        EXPECT_EQ(GetHttpTlsPolicy().acceptAnyServer, c.inForce);
        EXPECT_EQ(settings_.AcceptAnyServerCertificate(), c.acceptAny != 0);
        if (c.line != nullptr) {
            EXPECT_EQ(log_.Count(c.line), 2u);
        }
        size_t warnings = 0;
        for (const os::EVENT_LOG_RECORD& record : os::EventLogRecords()) {
            if (record.eventId == EVENT_SERVER_VERIFICATION_OFF) {
                EXPECT_EQ(record.type, os::EVENTLOG_WARNING_TYPE);
                EXPECT_THAT(record.strings, ElementsAre("AcceptAnyServerCertificate"));
                ++warnings;
            }
        }
        EXPECT_EQ(warnings, c.inForce ? 2u : 0u);
    }
    ServiceEventLog().Stop();
    os::ClearEventLogRecords();
    os::SetEventLogSyslogOutput(previousSyslog);
}

TEST_F(SecuritySettingsTest, SetTheyArePutInForceWithTheirLines) {
    SetDword("StrictTls", 1);
    settings_.LoadSettings();
    EXPECT_TRUE(GetHttpTlsPolicy().strict);
    EXPECT_EQ(GetHttpTlsPolicy().caFile, "");
    EXPECT_TRUE(log_.Has("Strict TLS = on, trusted certificates of the system"));

    SetDword("StrictTls", 5);  // any non-zero value
    SetString("TlsCaFile", " /etc/wexo/ca.pem ");
    SetString("UpdatePublicKey", "00112233");
    settings_.LoadSettings();
    EXPECT_TRUE(GetHttpTlsPolicy().strict);
    EXPECT_EQ(GetHttpTlsPolicy().caFile, "/etc/wexo/ca.pem");
    EXPECT_EQ(settings_.TlsCaFile(), "/etc/wexo/ca.pem");
    EXPECT_TRUE(log_.Has("Strict TLS = on, trusted certificates = \"/etc/wexo/ca.pem\""));
    // The key is kept as written: whether it can be used is the update's to say, and refuse.
    EXPECT_EQ(GetUpdatePublicKey(), std::optional<std::string>("00112233"));
    EXPECT_TRUE(log_.Has("Signed software updates = on"));

    // A Windows path, as the product key's paths are, names the file on the C: drive.
    SetString("TlsCaFile", "C:\\etc\\wexo\\deployment-ca.pem");
    settings_.LoadSettings();
    EXPECT_EQ(GetHttpTlsPolicy().caFile, "/etc/wexo/deployment-ca.pem");
}

TEST_F(SecuritySettingsTest, ValuesOfTheWrongTypeLogAndNeverLoosenTheUpdateCheck) {
    SetString("StrictTls", "1");
    SetDword("UpdatePublicKey", 1);
    settings_.LoadSettings();
    const std::string text = os::SystemMessageText(os::ERROR_INVALID_DATATYPE);
    EXPECT_TRUE(log_.Has("Unable to read registry value = \"StrictTls\". " + text +
                         ". Error code = 1804."));
    EXPECT_TRUE(log_.Has("Unable to read registry value = \"UpdatePublicKey\". " + text +
                         ". Error code = 1804."));
    EXPECT_FALSE(GetHttpTlsPolicy().strict);
    // A key that was meant but cannot be read: every update is refused, none taken unsigned.
    EXPECT_EQ(GetUpdatePublicKey(), std::optional<std::string>(""));
    EXPECT_TRUE(log_.Has("Signed software updates = on"));
}

TEST(ServerModeNameTest, NamesAndTheUnknownLine) {
    LogCapture log(0);
    EXPECT_STREQ(ServerModeName(-1), "None");
    EXPECT_STREQ(ServerModeName(0), "Balanced");
    EXPECT_STREQ(ServerModeName(1), "Tiered");
    EXPECT_STREQ(ServerModeName(7), "Unknown");
    EXPECT_TRUE(log.Has("Unknown ServerMode = 7"));
    EXPECT_STREQ(DnsRemappingModeName(0), "Build-in");
    EXPECT_STREQ(DnsRemappingModeName(1), "Dynamic");
}

// ---- ApplyCheckInServers.

TEST_F(SettingsTest, CheckInNamesChangeByOrderAndLetterCase) {
    SetString("PolicyServers", "a;b");
    settings_.LoadSettings();
    const std::vector<std::string> same = {"a", "b"};
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, same));
    EXPECT_FALSE(log_.Has("New policy server names"));

    const std::vector<std::string> reordered = {"b", "a"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, reordered));
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("b", "a"));
    EXPECT_EQ(String("PolicyServers"), "b;a");

    const std::vector<std::string> recased = {"B", "a"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, recased));
    EXPECT_EQ(String("PolicyServers"), "B;a");
    const auto lines = log_.Lines();
    auto at = std::find(lines.rbegin(), lines.rend(), "New policy server names");
    ASSERT_NE(at, lines.rend());
    ASSERT_GE(at - lines.rbegin(), 2);
    EXPECT_EQ(*(at - 1), "#1 - B");
    EXPECT_EQ(*(at - 2), "#2 - a");
}

TEST_F(SettingsTest, CheckInModeIsStoredAndWrittenOnlyWhenItChanges) {
    settings_.LoadSettings();
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, {}));
    EXPECT_EQ(Dword("ServerMode"), std::nullopt);

    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_TIERED, {}));
    EXPECT_EQ(settings_.ServerMode(), SERVER_MODE_TIERED);
    EXPECT_EQ(Dword("ServerMode"), 1u);
    EXPECT_TRUE(log_.Has("Server mode changing from Balanced to Tiered"));

    log_.Clear();
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_TIERED, {}));
    EXPECT_FALSE(log_.Has("Server mode changing from Tiered to Tiered"));
}

TEST_F(SettingsTest, CheckInCannotBringBadNames) {
    settings_.LoadSettings();
    const std::vector<std::string> names = {"a", "", "A", "b c"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, names));
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a"));
    // A reply of nothing but bad names changes nothing.
    const std::vector<std::string> bad = {"", "x y"};
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, bad));
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a"));
}

// The server's list is what changes, even where the names the service keeps come out the same:
// the change is reported (the caller then refreshes the DNS remap list), written and applied.
TEST_F(SettingsTest, CheckInNamesCountAsChangedByTheListAsReceived) {
    SetString("PolicyServers", "a;b");
    settings_.LoadSettings();
    const std::vector<std::string> withDuplicate = {"a", "b", "A"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, withDuplicate));
    EXPECT_TRUE(log_.Has("New policy server names"));
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a", "b"));
    EXPECT_EQ(String("PolicyServers"), "a;b");

    // The same reply again is no change.
    log_.Clear();
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, withDuplicate));
    EXPECT_FALSE(log_.Has("New policy server names"));

    // The server drops its duplicate: its list changed, though the names kept stay a and b.
    const std::vector<std::string> plain = {"a", "b"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, plain));
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a", "b"));
    const std::vector<std::string> padded = {"a", "b ", "x y"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, padded));
    EXPECT_FALSE(settings_.ApplyCheckInServers(SERVER_MODE_NONE, padded));
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("a", "b"));
}

TEST_F(SettingsTest, FailedWritesKeepTheNewValuesInMemory) {
    settings_.LoadSettings();
    DenyWrites();
    const std::string denied = os::SystemMessageText(os::ERROR_ACCESS_DENIED);
    const std::vector<std::string> names = {"x", "y"};
    EXPECT_TRUE(settings_.ApplyCheckInServers(SERVER_MODE_TIERED, names));
    EXPECT_EQ(settings_.ServerMode(), SERVER_MODE_TIERED);
    EXPECT_THAT(settings_.PolicyServerNames(), ElementsAre("x", "y"));
    EXPECT_TRUE(log_.Has("Unable to set registry value \"ServerMode\".\n    " + denied +
                         ". Error code = 5."));
    EXPECT_TRUE(log_.Has("Unable to set registry value \"PolicyServers\".\n    " + denied +
                         ". Error code = 5."));
    EXPECT_EQ(String("PolicyServers"), std::nullopt);

    settings_.ApplyPolicyFlags(true, true);
    EXPECT_TRUE(settings_.BlockOnFailure());
    EXPECT_TRUE(log_.Has("Unable to set registry value \"BlockOnFailure\".\n    " + denied +
                         ". Error code = 5."));
    settings_.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
    EXPECT_TRUE(log_.Has("Unable to set registry value = \"DNSRemappingMode\". " + denied +
                         ". Error code = 5."));
    settings_.SetUnencryptedSearch(false);
    EXPECT_TRUE(log_.Has("Unable to set registry value = \"UnencryptedSearch\". " + denied +
                         ". Error code = 5."));
}

// ---- Policy-reply flags and the DNS remapping values.

TEST_F(SettingsTest, PolicyFlagsAreWrittenWhenTheyChange) {
    settings_.LoadSettings();
    settings_.ApplyPolicyFlags(true, true);
    EXPECT_EQ(Dword("BlockOnFailure"), 1u);
    EXPECT_EQ(Dword("UnencryptedSearch"), 1u);
    settings_.ApplyPolicyFlags(false, true);
    EXPECT_EQ(Dword("BlockOnFailure"), 0u);
    EXPECT_EQ(Dword("UnencryptedSearch"), 1u);
}

TEST_F(SettingsTest, DynamicRemappingIgnoresThePolicyReplysUnencryptedSearch) {
    settings_.LoadSettings();
    settings_.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
    EXPECT_TRUE(log_.Has("Changing DNS remapping mode from Build-in to Dynamic"));
    EXPECT_EQ(Dword("DNSRemappingMode"), 1u);
    settings_.ApplyPolicyFlags(false, true);
    EXPECT_FALSE(settings_.UnencryptedSearch());
    EXPECT_EQ(Dword("UnencryptedSearch"), std::nullopt);

    settings_.SetUnencryptedSearch(true);
    EXPECT_TRUE(log_.Has("Changing unencrypted search to true"));
    EXPECT_EQ(Dword("UnencryptedSearch"), 1u);
    log_.Clear();
    settings_.SetUnencryptedSearch(true);
    settings_.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
    EXPECT_THAT(log_.Lines(), IsEmpty()) << "no change, no line";
}

// ---- The settings lock.

TEST(SettingsLockTest, IsRecursiveAndExcludesOtherThreads) {
    SETTINGS_LOCK lock;
    lock.lock();
    lock.lock();
    EXPECT_TRUE(lock.IsOwnedByCaller());
    std::atomic<bool> otherGotIt{true};
    std::thread([&] { otherGotIt = lock.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt.load());
    lock.unlock();
    std::thread([&] { otherGotIt = lock.try_lock(); }).join();
    EXPECT_FALSE(otherGotIt.load()) << "still held once";
    lock.unlock();
    EXPECT_FALSE(lock.IsOwnedByCaller());
    std::thread([&] {
        otherGotIt = lock.try_lock();
        lock.unlock();
    }).join();
    EXPECT_TRUE(otherGotIt.load());
}

TEST(SettingsLockTest, AStoppableWaiterGivesUpAtItsStopObject) {
    SETTINGS_LOCK lock;
    os::Event stop(os::EventType::Notification);
    os::Event other(os::EventType::Notification);
    lock.lock();
    std::atomic<int> outcome{-1};
    uint32_t signaled = 0;
    std::thread waiter([&] {
        os::DispatcherObject* objects[] = {&other, &stop};
        outcome = lock.LockUnlessSignaled(objects, &signaled) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(outcome.load(), -1) << "waits while the lock is held";
    stop.Set();
    waiter.join();
    EXPECT_EQ(outcome.load(), 0);
    EXPECT_EQ(signaled, os::WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(lock.IsOwnedByCaller());
    lock.unlock();
}

TEST(SettingsLockTest, StoppableWaitersGetTheLockWhenItIsReleased) {
    SETTINGS_LOCK lock;
    os::Event stop(os::EventType::Notification);
    lock.lock();
    std::atomic<int> acquired{0};
    int counter = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            os::DispatcherObject* objects[] = {&stop};
            for (int round = 0; round < 200; ++round) {
                if (!lock.LockUnlessSignaled(objects)) {
                    return;
                }
                ++counter;  // guarded by the lock
                lock.unlock();
            }
            ++acquired;
        });
    }
    std::thread plain([&] {
        for (int round = 0; round < 200; ++round) {
            std::lock_guard guard(lock);
            ++counter;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lock.unlock();
    plain.join();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(acquired.load(), 4);
    EXPECT_EQ(counter, 1000);
}

}  // namespace
}  // namespace wexo::svc
