#include "os/registry/registry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "os/core/clock.h"
#include "os/core/process.h"
#include "os/core/sync.h"
#include "os/registry/registry_file.h"

namespace os {
namespace {

using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

constexpr char kProductKey[] = "SOFTWARE\\Corvane\\Ostrel";

Bytes Of(std::initializer_list<int> bytes) {
    Bytes out;
    for (int b : bytes)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

bool Signaled(Event& event) {
    return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
}

class TempFolder {
  public:
    TempFolder() {
        char pattern[] = "/tmp/wexo-registry-XXXXXX";
        path_ = ::mkdtemp(pattern);
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Each test has its own process registry.
class RegistryTest : public ::testing::Test {
  protected:
    RegistryTest() : store_(RegistryStore::CreateInMemory()), scope_(store_) {}

    RegKey Product() {
        RegKey key;
        EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, key), ERROR_SUCCESS);
        return key;
    }

    std::shared_ptr<RegistryStore> store_;
    ScopedSystemRegistry scope_;
};

// ---- value data and types ----

TEST(RegistryDataTest, StringsAreUtf16WithTerminator) {
    EXPECT_EQ(RegStringData("abc"), Of({'a', 0, 'b', 0, 'c', 0, 0, 0}));
    EXPECT_EQ(RegStringData(""), Of({0, 0}));
    // U+00FC and U+1F600 (a surrogate pair).
    EXPECT_EQ(RegStringData("\xC3\xBC\xF0\x9F\x98\x80"),
              Of({0xFC, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
    EXPECT_EQ(RegStringFromData(RegStringData("Z\xC3\xBCrich \xF0\x9F\x98\x80")),
              "Z\xC3\xBCrich \xF0\x9F\x98\x80");
    // Malformed UTF-8 becomes U+FFFD rather than being dropped.
    EXPECT_EQ(RegStringData("a\xFF"), Of({'a', 0, 0xFD, 0xFF, 0, 0}));
}

TEST(RegistryDataTest, MultiStringsAreDoubleTerminated) {
    EXPECT_EQ(*RegMultiStringData({}), Of({0, 0, 0, 0}));
    std::vector<std::string> list = {"a", "bc"};
    EXPECT_EQ(*RegMultiStringData(list), Of({'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}));
    EXPECT_THAT(RegMultiStringFromData(*RegMultiStringData(list)), ElementsAre("a", "bc"));
    EXPECT_TRUE(RegMultiStringFromData(*RegMultiStringData({})).empty());
    std::vector<std::string> withEmpty = {"a", "", "b"};
    EXPECT_FALSE(RegMultiStringData(withEmpty).has_value());
    // Without terminators the strings still come out, up to the end of the data.
    EXPECT_THAT(RegMultiStringFromData(Of({'x', 0, 0, 0, 'y', 0})), ElementsAre("x", "y"));
}

TEST(RegistryDataTest, BrokenUtf16ReadsWithoutCrashing) {
    EXPECT_EQ(RegStringFromData(Of({0x00, 0xD8, 'a', 0})),
              "\xEF\xBF\xBD"
              "a");                                                  // lone high
    EXPECT_EQ(RegStringFromData(Of({0x00, 0xDC})), "\xEF\xBF\xBD");  // lone low
    EXPECT_EQ(RegStringFromData(Of({'a', 0, 'b'})), "a");            // odd length
    EXPECT_EQ(RegStringFromData({}), "");
    EXPECT_EQ(RegDwordData(0x01020304), Of({4, 3, 2, 1}));
    EXPECT_EQ(RegQwordData(0x0102030405060708ULL), Of({8, 7, 6, 5, 4, 3, 2, 1}));
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndRawBytes) {
    RegKey key = Product();
    ASSERT_EQ(RegSetValueEx(key, "Name", REG_SZ, RegStringData("abc")), ERROR_SUCCESS);
    uint32_t type = 0, size = 0;
    ASSERT_EQ(RegQueryValueEx(key, "Name", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 8u);

    // A REG_DWORD of 8 bytes is kept as it is, for readers to refuse.
    Bytes eight = Of({1, 0, 0, 0, 2, 0, 0, 0});
    ASSERT_EQ(RegSetValueEx(key, "BlockOnFailure", REG_DWORD, eight), ERROR_SUCCESS);
    REG_VALUE value;
    ASSERT_EQ(RegQueryValue(key, "BlockOnFailure", value), ERROR_SUCCESS);
    EXPECT_EQ(value.type, REG_DWORD);
    EXPECT_EQ(value.data, eight);

    // Invalid UTF-16, an unknown type number and an empty binary value are all kept.
    Bytes broken = Of({0x00, 0xD8, 0x41});
    ASSERT_EQ(RegSetValueEx(key, "Broken", REG_SZ, broken), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "Odd", 0x1234, Of({9})), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "Empty", REG_BINARY, {}), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValue(key, "Broken", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, broken);
    ASSERT_EQ(RegQueryValue(key, "Odd", value), ERROR_SUCCESS);
    EXPECT_EQ(value.type, 0x1234u);
    ASSERT_EQ(RegQueryValue(key, "Empty", value), ERROR_SUCCESS);
    EXPECT_TRUE(value.data.empty());

    ASSERT_EQ(RegSetValueEx(key, "Q", REG_QWORD, RegQwordData(5)), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueEx(key, "Q", &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(size, 8u);
}

TEST_F(RegistryTest, QueryWithTooSmallBufferGivesMoreDataAndTheSize) {
    RegKey key = Product();
    ASSERT_EQ(RegSetValueEx(key, "PolicyServers", REG_SZ, RegStringData("a;b")), ERROR_SUCCESS);
    uint8_t buffer[16] = {};
    uint32_t type = 0, size = 4;
    EXPECT_EQ(RegQueryValueEx(key, "PolicyServers", &type, buffer, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_SZ);
    size = sizeof(buffer);
    ASSERT_EQ(RegQueryValueEx(key, "PolicyServers", nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(Bytes(buffer, buffer + 8), RegStringData("a;b"));
    EXPECT_EQ(RegQueryValueEx(key, "PolicyServers", nullptr, buffer, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueEx(key, "Missing", &type, buffer, &size), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KernelPartialInformationGrowsLikeZwQueryValueKey) {
    RegKey key;
    ASSERT_EQ(ZwCreateKey(key, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel"), STATUS_SUCCESS);
    ASSERT_EQ(ZwSetValueKey(key, "Dormant", REG_DWORD, RegDwordData(1)), STATUS_SUCCESS);
    uint32_t needed = 0;
    EXPECT_EQ(
        ZwQueryValueKey(key, "Dormant", KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation,
                        nullptr, 0, &needed),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 16u);
    alignas(KEY_VALUE_PARTIAL_INFORMATION) uint8_t buffer[32] = {};
    EXPECT_EQ(
        ZwQueryValueKey(key, "Dormant", KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation,
                        buffer, 12, &needed),
        STATUS_BUFFER_OVERFLOW);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, REG_DWORD);
    EXPECT_EQ(info->DataLength, 4u);
    ASSERT_EQ(
        ZwQueryValueKey(key, "Dormant", KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation,
                        buffer, needed, &needed),
        STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buffer + 12, buffer + 16), RegDwordData(1));
    EXPECT_EQ(ZwQueryValueKey(key, "Nope", KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation,
                              buffer, sizeof(buffer), &needed),
              STATUS_OBJECT_NAME_NOT_FOUND);
    RegKey missing;
    EXPECT_EQ(ZwOpenKey(missing, "\\REGISTRY\\MACHINE\\SOFTWARE\\Nobody"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(missing.IsValid());
}

// ---- keys ----

TEST_F(RegistryTest, NamesIgnoreAsciiCaseAndKeepTheirFirstSpelling) {
    uint32_t disposition = 0;
    RegKey created;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, created, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegKey again;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, "software\\CORVANE\\ostrel", again, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(again.Path(), "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel");

    ASSERT_EQ(RegSetValueEx(created, "Dormant", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(again, "DORMANT", REG_DWORD, RegDwordData(0)), ERROR_SUCCESS);
    std::string name;
    REG_VALUE value;
    ASSERT_EQ(RegEnumValue(created, 0, name, &value), ERROR_SUCCESS);
    EXPECT_EQ(name, "Dormant");
    EXPECT_EQ(value.data, RegDwordData(0));
    EXPECT_EQ(RegEnumValue(created, 1, name), ERROR_NO_MORE_ITEMS);

    // Case folding is ASCII only: other letters are distinct names.
    RegKey lower, upper;
    ASSERT_EQ(RegCreateKeyEx(created, "\xC3\xA9t\xC3\xA9", lower), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyEx(created, "\xC3\x89T\xC3\x89", upper), ERROR_SUCCESS);
    REG_KEY_INFO info;
    ASSERT_EQ(RegQueryInfoKey(created, info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, 2u);
}

TEST_F(RegistryTest, BadNamesAreRefused) {
    RegKey key = Product(), out;
    EXPECT_EQ(RegCreateKeyEx(key, "a\\\\b", out), ERROR_INVALID_NAME);
    EXPECT_EQ(RegCreateKeyEx(key, "\\a", out), ERROR_INVALID_NAME);
    EXPECT_EQ(RegCreateKeyEx(key, "a\\", out), ERROR_INVALID_NAME);
    EXPECT_EQ(RegCreateKeyEx(key, std::string(256, 'k'), out), ERROR_INVALID_NAME);
    EXPECT_EQ(RegCreateKeyEx(key, std::string(255, 'k'), out), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueEx(key, std::string(16384, 'v'), REG_NONE, {}), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueEx(key, "a\\b", REG_NONE, {}), ERROR_SUCCESS);  // values may hold one
    EXPECT_EQ(ZwOpenKey(out, "REGISTRY\\MACHINE"), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(ZwOpenKey(out, "\\Device\\WexoWfp"), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(ZwCreateKey(out, "\\REGISTRY\\Other"), STATUS_ACCESS_DENIED);
    RegKey invalid;
    EXPECT_EQ(RegSetValueEx(invalid, "x", REG_NONE, {}), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ZwDeleteKey(invalid), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, KeysWithSubkeysAndRootsCannotBeDeleted) {
    RegKey key = Product();
    RegKey sub;
    ASSERT_EQ(RegCreateKeyEx(key, "Sub", sub), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kProductKey), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_CANNOT_DELETE);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(HKEY_USERS, ""), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKey(key, "Nope"), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegDeleteKey(key, "Sub"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kProductKey), ERROR_SUCCESS);
    RegKey gone;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, gone), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, HandlesOfDeletedKeysFailWithKeyDeleted) {
    RegKey key = Product();
    ASSERT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kProductKey), ERROR_SUCCESS);
    REG_VALUE value;
    std::string name;
    REG_KEY_INFO info;
    Event event;
    RegKey out;
    EXPECT_EQ(RegQueryValue(key, "Dormant", value), ERROR_KEY_DELETED);
    EXPECT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(0)), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValue(key, "Dormant"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyEx(key, 0, name), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValue(key, 0, name), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKey(key, info), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyEx(key, "Sub", out), ERROR_KEY_DELETED);
    EXPECT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, event),
              ERROR_KEY_DELETED);
    EXPECT_EQ(ZwSetValueKey(key, "Dormant", REG_DWORD, RegDwordData(0)), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(key), STATUS_KEY_DELETED);
    EXPECT_EQ(key.Path(), "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel");
    // A key of the same name made afterwards is a new key.
    RegKey fresh = Product();
    EXPECT_EQ(RegQueryValue(fresh, "Dormant", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValue(key, "Dormant", value), ERROR_KEY_DELETED);
}

TEST_F(RegistryTest, SubkeysEnumerateInNameOrderAndSurviveDeletionWhileEnumerating) {
    RegKey key = Product();
    for (const char* name : {"delta", "Alpha", "charlie", "Bravo"}) {
        RegKey sub;
        ASSERT_EQ(RegCreateKeyEx(key, name, sub), ERROR_SUCCESS);
    }
    std::vector<std::string> names;
    std::string name;
    for (uint32_t i = 0; RegEnumKeyEx(key, i, name) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    EXPECT_THAT(names, ElementsAre("Alpha", "Bravo", "charlie", "delta"));

    // The walk of the enumeration helper: delete some as they come, keep the index on deletion.
    std::vector<std::string> seen;
    uint32_t index = 0;
    while (RegEnumKeyEx(key, index, name) == ERROR_SUCCESS) {
        seen.push_back(name);
        if (name == "Bravo" || name == "Alpha") {
            ASSERT_EQ(RegDeleteKey(key, name), ERROR_SUCCESS);
        } else {
            ++index;
        }
    }
    EXPECT_THAT(seen, ElementsAre("Alpha", "Bravo", "charlie", "delta"));
    REG_KEY_INFO info;
    ASSERT_EQ(RegQueryInfoKey(key, info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, 2u);

    // The buffer form reports a short buffer without the size, as RegEnumKeyEx does.
    char buffer[8];
    uint32_t length = 7;
    EXPECT_EQ(RegEnumKeyEx(key, 0, buffer, &length), ERROR_MORE_DATA);
    EXPECT_EQ(length, 7u);
    length = sizeof(buffer);
    ASSERT_EQ(RegEnumKeyEx(key, 0, buffer, &length), ERROR_SUCCESS);
    EXPECT_EQ(length, 7u);
    EXPECT_STREQ(buffer, "charlie");
}

TEST_F(RegistryTest, KeyInfoCountsAndLongestNames) {
    RegKey key = Product(), sub;
    ASSERT_EQ(RegCreateKeyEx(key, "Longer", sub), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyEx(key, "S", sub), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "DNSRemapping", REG_MULTI_SZ, *RegMultiStringData({})),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "", REG_BINARY, Bytes(40, 7)), ERROR_SUCCESS);
    REG_KEY_INFO info;
    ASSERT_EQ(RegQueryInfoKey(key, info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, 2u);
    EXPECT_EQ(info.maxSubKeyLen, 6u);
    EXPECT_EQ(info.values, 2u);
    EXPECT_EQ(info.maxValueNameLen, 12u);
    EXPECT_EQ(info.maxValueLen, 40u);
    EXPECT_NE(info.lastWriteTime, 0u);
    REG_VALUE value;
    ASSERT_EQ(RegQueryValue(key, "", value), ERROR_SUCCESS);  // the default value
    EXPECT_EQ(value.data.size(), 40u);
    ASSERT_EQ(RegDeleteValue(key, ""), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key, ""), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, RenameMovesTheKeyAndItsOpenHandles) {
    RegKey key = Product(), sub, other;
    ASSERT_EQ(RegCreateKeyEx(key, "Old\\Inner", sub), ERROR_SUCCESS);
    ASSERT_EQ(RegCreateKeyEx(key, "Taken", other), ERROR_SUCCESS);
    EXPECT_EQ(RegRenameKey(key, "Old", "taken"), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(RegRenameKey(key, "Old", "a\\b"), ERROR_INVALID_NAME);
    ASSERT_EQ(RegRenameKey(key, "Old", "New"), ERROR_SUCCESS);
    EXPECT_EQ(sub.Path(), "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel\\New\\Inner");
    RegKey opened;
    EXPECT_EQ(RegOpenKeyEx(key, "Old", opened), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(RegOpenKeyEx(key, "NEW\\inner", opened), ERROR_SUCCESS);
    ASSERT_EQ(ZwRenameKey(opened, "INNER"), STATUS_SUCCESS);  // a change of case only
    EXPECT_EQ(sub.Path(), "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel\\New\\INNER");
}

TEST_F(RegistryTest, CurrentControlSetLeadsToControlSet001) {
    RegKey service;
    ASSERT_EQ(
        ZwCreateKey(service, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\WexoWfp"),
        STATUS_SUCCESS);
    std::string name;
    ASSERT_EQ(ZwQueryKeyName(service, name), STATUS_SUCCESS);
    EXPECT_EQ(name, "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp");
    RegKey same;
    ASSERT_EQ(
        RegOpenKeyEx(HKEY_LOCAL_MACHINE, "system\\currentcontrolset\\services\\wexowfp", same),
        ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(same, "Debug Flags1", REG_DWORD, RegDwordData(3)), ERROR_SUCCESS);
    REG_VALUE value;
    EXPECT_EQ(RegQueryValue(service, "Debug Flags1", value), ERROR_SUCCESS);
    // The link is no key of its own.
    RegKey system;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SYSTEM", system), ERROR_SUCCESS);
    std::vector<std::string> names;
    for (uint32_t i = 0; RegEnumKeyEx(system, i, name) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    EXPECT_THAT(names, ElementsAre("ControlSet001"));
}

TEST_F(RegistryTest, UsersRootIsSeparateFromMachine) {
    RegKey key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_USERS, ".DEFAULT\\SOFTWARE\\Microsoft\\IdentityCRL", key),
              ERROR_SUCCESS);
    EXPECT_EQ(key.Path(), "\\REGISTRY\\USER\\.DEFAULT\\SOFTWARE\\Microsoft\\IdentityCRL");
    RegKey none;
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, ".DEFAULT", none), ERROR_FILE_NOT_FOUND);
}

// ---- change notification ----

TEST_F(RegistryTest, NotificationFiresOncePerRegistration) {
    RegKey key = Product();
    Event event(EventType::Synchronization);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, event),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    EXPECT_TRUE(Signaled(event));
    ASSERT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(0)), ERROR_SUCCESS);
    EXPECT_FALSE(Signaled(event)) << "a fired registration must be re-armed";

    EXPECT_EQ(ZwNotifyChangeKey(key, event, REG_NOTIFY_CHANGE_LAST_SET, false), STATUS_PENDING);
    ASSERT_EQ(RegDeleteValue(key, "Dormant"), ERROR_SUCCESS);
    EXPECT_TRUE(Signaled(event));

    // A denied or failed change is no change.
    ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, event),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValue(key, "Dormant"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(Signaled(event));
    EXPECT_EQ(RegNotifyChangeKeyValue(key, false, 0x100, event), ERROR_INVALID_PARAMETER);
}

TEST_F(RegistryTest, NotificationWatchesTheKeysOwnValuesOnly) {
    RegKey key = Product(), sub;
    ASSERT_EQ(RegCreateKeyEx(key, "Sub", sub), ERROR_SUCCESS);
    Event values(EventType::Notification), tree(EventType::Notification),
        names(EventType::Notification);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, values),
              ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, true, REG_NOTIFY_CHANGE_LAST_SET, tree), ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_NAME, names), ERROR_SUCCESS);

    ASSERT_EQ(RegSetValueEx(sub, "x", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    EXPECT_FALSE(values.IsSet());
    EXPECT_TRUE(tree.IsSet());
    EXPECT_FALSE(names.IsSet());
    RegKey another;
    ASSERT_EQ(RegCreateKeyEx(key, "Another", another), ERROR_SUCCESS);
    EXPECT_FALSE(values.IsSet());
    EXPECT_TRUE(names.IsSet());
    ASSERT_EQ(RegSetValueEx(key, "y", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    EXPECT_TRUE(values.IsSet());
}

TEST_F(RegistryTest, ClosingTheHandleCancelsAndDeletingTheKeyFires) {
    Event cancelled(EventType::Notification), deleted(EventType::Notification);
    {
        RegKey key = Product();
        ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, cancelled),
                  ERROR_SUCCESS);
    }
    RegKey key = Product();
    ASSERT_EQ(RegSetValueEx(key, "x", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    EXPECT_FALSE(cancelled.IsSet());

    ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, deleted),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kProductKey), ERROR_SUCCESS);
    EXPECT_TRUE(deleted.IsSet());
}

// The watch loop of the driver: wait, re-read, re-arm, on os threads under the virtual clock.
TEST_F(RegistryTest, WatchThreadSeesEveryChangeItReArmsFor) {
    VirtualClock clock;
    RegKey key = Product();
    Event changed(EventType::Synchronization), stop(EventType::Notification);
    std::atomic<int> reads{0};
    auto watcher = Thread::Start([&] {
        RegKey own;
        if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, own) != ERROR_SUCCESS)
            return;
        DispatcherObject* objects[] = {&stop, &changed};
        for (;;) {
            RegNotifyChangeKeyValue(own, false, REG_NOTIFY_CHANGE_LAST_SET, changed);
            if (WaitForMultipleObjects(objects, false, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
            ++reads;
        }
    });
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(clock.Settle());
        ASSERT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(i)), ERROR_SUCCESS);
        ASSERT_TRUE(clock.Settle());
        EXPECT_EQ(reads.load(), i);
    }
    stop.Set();
    WaitForSingleObject(*watcher, INFINITE);
}

// ---- registry callbacks ----

struct Seen {
    REG_NOTIFY_CLASS notifyClass;
    std::string keyPath, valueName, newName;
    uint32_t type;
    Bytes data;
    uint32_t processId;
};

TEST_F(RegistryTest, CallbackDeniesOtherProcessesWithTheirProcessId) {
    constexpr uint32_t kService = 4000, kOther = 5000;
    std::vector<Seen> seen;
    uint64_t cookie = 0;
    ASSERT_EQ(
        CmRegisterCallbackEx(
            [&](const REG_NOTIFY_INFO& info) {
                seen.push_back({info.notifyClass, std::string(info.keyPath),
                                std::string(info.valueName), std::string(info.newName), info.type,
                                Bytes(info.data.begin(), info.data.end()), info.processId});
                return info.processId == kService ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
            },
            "328300.1", &cookie),
        STATUS_SUCCESS);
    RegKey key;
    {
        ScopedProcessContext service(kService);
        key = Product();
        ASSERT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    }
    {
        ScopedProcessContext other(kOther);
        EXPECT_EQ(RegDeleteValue(key, "Dormant"), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(0)), ERROR_ACCESS_DENIED);
        EXPECT_EQ(ZwSetValueKey(key, "Dormant", REG_DWORD, RegDwordData(0)), STATUS_ACCESS_DENIED);
        EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kProductKey), ERROR_ACCESS_DENIED);
        EXPECT_EQ(RegRenameKey(HKEY_LOCAL_MACHINE, kProductKey, "Gone"), ERROR_ACCESS_DENIED);
        RegKey sub;
        EXPECT_EQ(RegCreateKeyEx(key, "Sub", sub), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(sub.IsValid());
    }
    REG_VALUE value;
    ASSERT_EQ(RegQueryValue(key, "Dormant", value), ERROR_SUCCESS);
    EXPECT_EQ(value.data, RegDwordData(1));
    RegKey sub;
    EXPECT_EQ(RegOpenKeyEx(key, "Sub", sub), ERROR_FILE_NOT_FOUND);

    const std::string path = "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel";
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[0].notifyClass, REG_NOTIFY_CLASS::RegNtPreCreateKeyEx);
    EXPECT_EQ(seen[0].keyPath, path);
    EXPECT_EQ(seen[0].processId, kService);
    EXPECT_EQ(seen[1].notifyClass, REG_NOTIFY_CLASS::RegNtPreSetValueKey);
    EXPECT_EQ(seen[1].valueName, "Dormant");
    EXPECT_EQ(seen[1].type, REG_DWORD);
    EXPECT_EQ(seen[1].data, RegDwordData(1));
    EXPECT_EQ(seen[2].notifyClass, REG_NOTIFY_CLASS::RegNtPreDeleteValueKey);
    EXPECT_EQ(seen[2].keyPath, path);
    EXPECT_EQ(seen[2].processId, kOther);
    EXPECT_EQ(seen[5].notifyClass, REG_NOTIFY_CLASS::RegNtPreDeleteKey);
    EXPECT_EQ(seen[5].keyPath, path);
    EXPECT_EQ(seen[6].notifyClass, REG_NOTIFY_CLASS::RegNtPreRenameKey);
    EXPECT_EQ(seen[6].newName, "Gone");
    // A create relative to an open key is reported with its complete absolute name.
    EXPECT_EQ(seen[7].notifyClass, REG_NOTIFY_CLASS::RegNtPreCreateKeyEx);
    EXPECT_EQ(seen[7].keyPath, path + "\\Sub");

    ASSERT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);
    ScopedProcessContext other(kOther);
    EXPECT_EQ(RegDeleteValue(key, "Dormant"), ERROR_SUCCESS);
    EXPECT_EQ(seen.size(), 8u);
    EXPECT_EQ(CmUnRegisterCallback(cookie), STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, PreCreateNamesAreAbsoluteWithLinksResolved) {
    std::vector<std::string> names;
    uint64_t cookie = 0;
    ASSERT_EQ(CmRegisterCallback(
                  [&](const REG_NOTIFY_INFO& info) {
                      names.emplace_back(info.keyPath);
                      return STATUS_SUCCESS;
                  },
                  &cookie),
              STATUS_SUCCESS);
    RegKey system, service;
    ASSERT_EQ(ZwOpenKey(system, "\\REGISTRY\\MACHINE\\SYSTEM"), STATUS_SUCCESS);
    ASSERT_EQ(ZwCreateKey(service, "currentcontrolset\\Services\\WexoWfp", &system),
              STATUS_SUCCESS);
    ASSERT_THAT(names,
                ElementsAre("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WexoWfp"));
    EXPECT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);
}

TEST_F(RegistryTest, CallbacksMayUseTheRegistryAndUnregisterThemselves) {
    RegKey key = Product();
    ASSERT_EQ(RegSetValueEx(key, "Shutdown", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
    uint64_t cookie = 0;
    int calls = 0;
    ASSERT_EQ(CmRegisterCallback(
                  [&](const REG_NOTIFY_INFO& info) {
                      ++calls;
                      RegKey own;
                      REG_VALUE value;
                      EXPECT_EQ(ZwOpenKey(own, info.keyPath), STATUS_SUCCESS);
                      EXPECT_EQ(RegQueryValue(own, "Shutdown", value), ERROR_SUCCESS);
                      EXPECT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);
                      return STATUS_SUCCESS;
                  },
                  &cookie),
              STATUS_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "Shutdown", REG_DWORD, RegDwordData(2)), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueEx(key, "Shutdown", REG_DWORD, RegDwordData(3)), ERROR_SUCCESS);
    EXPECT_EQ(calls, 1);

    uint64_t first = 0, second = 0;
    auto allow = [](const REG_NOTIFY_INFO&) { return STATUS_SUCCESS; };
    ASSERT_EQ(CmRegisterCallbackEx(allow, "328300.1", &first), STATUS_SUCCESS);
    EXPECT_EQ(CmRegisterCallbackEx(allow, "328300.1", &second),
              STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    EXPECT_EQ(CmRegisterCallbackEx(allow, "", &second), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CmUnRegisterCallback(first), STATUS_SUCCESS);
}

TEST_F(RegistryTest, UnregisterWaitsForARunningCallback) {
    VirtualClock clock;
    RegKey key = Product();
    Event entered(EventType::Notification), release(EventType::Notification);
    uint64_t cookie = 0;
    ASSERT_EQ(CmRegisterCallback(
                  [&](const REG_NOTIFY_INFO&) {
                      entered.Set();
                      WaitForSingleObject(release, INFINITE);
                      return STATUS_ACCESS_DENIED;
                  },
                  &cookie),
              STATUS_SUCCESS);
    uint32_t setResult = 0;
    auto writer = Thread::Start(
        [&] { setResult = RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(1)); });
    ASSERT_EQ(WaitForSingleObject(entered, INFINITE), WAIT_OBJECT_0);
    std::atomic<bool> unregistered{false};
    auto remover = Thread::Start([&] {
        CmUnRegisterCallback(cookie);
        unregistered = true;
    });
    ASSERT_TRUE(clock.Settle());
    EXPECT_FALSE(unregistered.load());
    release.Set();
    WaitForSingleObject(*remover, INFINITE);
    WaitForSingleObject(*writer, INFINITE);
    EXPECT_TRUE(unregistered.load());
    EXPECT_EQ(setResult, ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
}

// ---- persistence ----

class RegistryFileTest : public ::testing::Test {
  protected:
    std::shared_ptr<RegistryStore> Open(RegistryOpenOptions options = {}) {
        RegistryOpenResult result;
        auto store = RegistryStore::OpenFile(path_, options, &result);
        lastResult_ = result;
        return store;
    }

    TempFolder folder_;
    std::string path_ = folder_.File("registry.dat");
    RegistryOpenResult lastResult_;
};

TEST_F(RegistryFileTest, StoreSurvivesAReopenByteForByte) {
    Bytes eightByteDword = Of({1, 2, 3, 4, 5, 6, 7, 8});
    Bytes broken = Of({0x00, 0xD8, 0x41});
    uint64_t writeTime = 0;
    {
        auto store = Open();
        ASSERT_NE(store, nullptr) << lastResult_.message;
        RegKey key;
        ASSERT_EQ(store->CreateKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel", key,
                                   nullptr),
                  STATUS_SUCCESS);
        ASSERT_EQ(store->SetValue(key, "BlockOnFailure", REG_DWORD, eightByteDword),
                  STATUS_SUCCESS);
        ASSERT_EQ(store->SetValue(key, "Broken", REG_SZ, broken), STATUS_SUCCESS);
        ASSERT_EQ(store->SetValue(key, "", REG_BINARY, Of({0, 0, 0})), STATUS_SUCCESS);
        ASSERT_EQ(store->SetValue(key, "DNSRemapping", REG_MULTI_SZ, *RegMultiStringData({})),
                  STATUS_SUCCESS);
        RegKey sub;
        ASSERT_EQ(store->CreateKey(&key, "Z\\Deep", sub, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(store->CreateKey(&key, "a", sub, nullptr), STATUS_SUCCESS);
        REG_KEY_INFO info;
        ASSERT_EQ(store->QueryKeyInfo(key, info), STATUS_SUCCESS);
        writeTime = info.lastWriteTime;
    }
    auto store = Open();
    ASSERT_NE(store, nullptr) << lastResult_.message;
    EXPECT_EQ(lastResult_.error, ERROR_SUCCESS);
    RegKey key;
    ASSERT_EQ(store->OpenKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel", key),
              STATUS_SUCCESS);
    std::vector<std::pair<std::string, REG_VALUE>> values;
    std::string name;
    REG_VALUE value;
    for (uint32_t i = 0; store->EnumerateValue(key, i, name, &value) == STATUS_SUCCESS; ++i) {
        values.emplace_back(name, value);
    }
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].first, "BlockOnFailure");
    EXPECT_EQ(values[0].second.type, REG_DWORD);
    EXPECT_EQ(values[0].second.data, eightByteDword);
    EXPECT_EQ(values[1].second.data, broken);
    EXPECT_EQ(values[2].first, "");
    EXPECT_EQ(values[2].second.data, Of({0, 0, 0}));
    EXPECT_EQ(values[3].second.data, Of({0, 0, 0, 0}));
    std::vector<std::string> subkeys;
    for (uint32_t i = 0; store->EnumerateKey(key, i, name) == STATUS_SUCCESS; ++i) {
        subkeys.push_back(name);
    }
    EXPECT_THAT(subkeys, ElementsAre("a", "Z"));
    RegKey deep;
    EXPECT_EQ(store->OpenKey(&key, "z\\deep", deep), STATUS_SUCCESS);
    REG_KEY_INFO info;
    ASSERT_EQ(store->QueryKeyInfo(key, info), STATUS_SUCCESS);
    EXPECT_EQ(info.lastWriteTime, writeTime);
    // The link is back too.
    RegKey service;
    EXPECT_EQ(store->CreateKey(nullptr, "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
                               service, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(service.Path(), "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services");
}

TEST_F(RegistryFileTest, MissingFileIsCreatedAndASecondStoreIsRefused) {
    auto store = Open();
    ASSERT_NE(store, nullptr) << lastResult_.message;
    EXPECT_TRUE(std::filesystem::exists(path_));
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(lastResult_.error, ERROR_SHARING_VIOLATION);
    store.reset();
    EXPECT_NE(Open(), nullptr);
    EXPECT_EQ(RegistryStore::OpenFile(folder_.File("no/such/folder/r.dat"), {}), nullptr);
}

TEST_F(RegistryFileTest, CrashBeforeOrDuringTheWriteKeepsTheOldStore) {
    for (RegistryWriteFault fault :
         {RegistryWriteFault::CrashBeforeRename, RegistryWriteFault::CrashMidWrite,
          RegistryWriteFault::FailOpen}) {
        SCOPED_TRACE(static_cast<int>(fault));
        {
            auto store = Open();
            ASSERT_NE(store, nullptr) << lastResult_.message;
            ScopedSystemRegistry scope(store);
            RegKey key;
            ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, key), ERROR_SUCCESS);
            ASSERT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(1)), ERROR_SUCCESS);
            const Bytes before = ReadFile(path_);

            store->SetWriteFault(fault);
            Event event(EventType::Notification);
            ASSERT_EQ(RegNotifyChangeKeyValue(key, false, REG_NOTIFY_CHANGE_LAST_SET, event),
                      ERROR_SUCCESS);
            EXPECT_EQ(RegSetValueEx(key, "Dormant", REG_DWORD, RegDwordData(2)),
                      ERROR_REGISTRY_IO_FAILED);
            EXPECT_EQ(RegSetValueEx(key, "New", REG_DWORD, RegDwordData(2)),
                      ERROR_REGISTRY_IO_FAILED);
            EXPECT_EQ(RegDeleteValue(key, "Dormant"), ERROR_REGISTRY_IO_FAILED);
            RegKey sub;
            EXPECT_EQ(RegCreateKeyEx(key, "Sub\\Deeper", sub), ERROR_REGISTRY_IO_FAILED);
            EXPECT_FALSE(sub.IsValid());
            EXPECT_EQ(RegRenameKey(HKEY_LOCAL_MACHINE, kProductKey, "Other"),
                      ERROR_REGISTRY_IO_FAILED);
            EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kProductKey), ERROR_REGISTRY_IO_FAILED);
            EXPECT_FALSE(event.IsSet());

            // Nothing changed, in memory or on disk.
            EXPECT_EQ(ReadFile(path_), before);
            REG_VALUE value;
            ASSERT_EQ(RegQueryValue(key, "Dormant", value), ERROR_SUCCESS);
            EXPECT_EQ(value.data, RegDwordData(1));
            EXPECT_EQ(RegQueryValue(key, "New", value), ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(RegOpenKeyEx(key, "Sub", sub), ERROR_FILE_NOT_FOUND);
            EXPECT_EQ(key.Path(), "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel");
            EXPECT_EQ(std::filesystem::exists(path_ + ".tmp"),
                      fault != RegistryWriteFault::FailOpen);
        }
        // The "restarted" store has the old contents and drops the half-done file.
        auto store = Open();
        ASSERT_NE(store, nullptr) << lastResult_.message;
        EXPECT_FALSE(std::filesystem::exists(path_ + ".tmp"));
        RegKey key;
        ASSERT_EQ(store->OpenKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel", key),
                  STATUS_SUCCESS);
        REG_VALUE value;
        ASSERT_EQ(store->QueryValue(key, "Dormant", value), STATUS_SUCCESS);
        EXPECT_EQ(value.data, RegDwordData(1));
        store->SetWriteFault(RegistryWriteFault::None);
        EXPECT_EQ(store->SetValue(key, "Dormant", REG_DWORD, RegDwordData(3)), STATUS_SUCCESS);
    }
}

TEST_F(RegistryFileTest, CorruptFileFailsTheOpenUnlessAnEmptyStoreIsAskedFor) {
    {
        auto store = Open();
        ASSERT_NE(store, nullptr);
        RegKey key;
        ASSERT_EQ(store->CreateKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane", key, nullptr),
                  STATUS_SUCCESS);
    }
    Bytes good = ReadFile(path_);
    Bytes bad = good;
    bad[bad.size() - 3] ^= 0x40;
    WriteFile(path_, bad);

    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(lastResult_.error, ERROR_REGISTRY_CORRUPT);
    EXPECT_THAT(lastResult_.message, ::testing::HasSubstr(path_));
    EXPECT_EQ(ReadFile(path_), bad) << "a refused file is left as it is";

    RegistryOpenOptions startEmpty;
    startEmpty.startEmptyIfCorrupt = true;
    auto store = Open(startEmpty);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(lastResult_.error, ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(lastResult_.corruptCopy, path_ + ".corrupt");
    EXPECT_EQ(ReadFile(lastResult_.corruptCopy), bad);
    RegKey key;
    EXPECT_EQ(store->OpenKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane", key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    store.reset();

    // A second corrupt file does not replace the first copy.
    WriteFile(path_, Of({'j', 'u', 'n', 'k'}));
    ASSERT_NE(Open(startEmpty), nullptr);
    EXPECT_EQ(lastResult_.corruptCopy, path_ + ".corrupt.1");
    EXPECT_EQ(ReadFile(path_ + ".corrupt"), bad);
}

TEST_F(RegistryFileTest, NewerFormatIsNeverReplaced) {
    ASSERT_NE(Open(), nullptr);
    Bytes image = ReadFile(path_);
    image[8] = registry_file::kVersion + 1;
    WriteFile(path_, image);
    RegistryOpenOptions startEmpty;
    startEmpty.startEmptyIfCorrupt = true;
    EXPECT_EQ(Open(startEmpty), nullptr);
    EXPECT_EQ(lastResult_.error, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(ReadFile(path_), image);
}

TEST(RegistryImageTest, EveryTruncationAndDamageIsRefused) {
    registry_file::ImageWriter writer;
    writer.BeginKey("REGISTRY", 1, 1);
    writer.Value("v", REG_SZ, RegStringData("text"));
    writer.SubkeyCount(1);
    writer.BeginKey("MACHINE", 2, 0);
    writer.SubkeyCount(0);
    writer.EndKey();
    writer.EndKey();
    const Bytes image = writer.Finish();
    registry_file::ImageKey root;
    ASSERT_EQ(registry_file::ParseImage(image, root), registry_file::ParseError::None);
    ASSERT_EQ(root.subkeys.size(), 1u);
    EXPECT_EQ(root.subkeys[0].name, "MACHINE");
    EXPECT_EQ(root.values[0].data, RegStringData("text"));

    for (size_t length = 0; length < image.size(); ++length) {
        EXPECT_NE(registry_file::ParseImage({image.data(), length}, root),
                  registry_file::ParseError::None)
            << length;
    }
    Bytes longer = image;
    longer.push_back(0);
    EXPECT_EQ(registry_file::ParseImage(longer, root), registry_file::ParseError::Malformed);
    for (size_t i = registry_file::kHeaderSize; i < image.size(); ++i) {
        Bytes damaged = image;
        damaged[i] ^= 0x01;
        EXPECT_EQ(registry_file::ParseImage(damaged, root),
                  registry_file::ParseError::DigestMismatch);
    }
    // Past the digest, the records themselves are checked: truncated payloads and bad lengths.
    const auto payload = std::span(image).subspan(registry_file::kHeaderSize);
    for (size_t length = 0; length < payload.size(); ++length) {
        EXPECT_NE(registry_file::ParsePayload(payload.first(length), root),
                  registry_file::ParseError::None);
    }
    Bytes huge(payload.begin(), payload.end());
    huge[4 + 8 + 8] = 0xFF;  // the value count of the root: far more than the bytes left
    huge[4 + 8 + 8 + 3] = 0x7F;
    EXPECT_NE(registry_file::ParsePayload(huge, root), registry_file::ParseError::None);
}

TEST(RegistryImageTest, DuplicateNamesAndDeepNestingAreMalformed) {
    registry_file::ImageWriter duplicate;
    duplicate.BeginKey("REGISTRY", 0, 2);
    duplicate.Value("Name", REG_NONE, {});
    duplicate.Value("NAME", REG_NONE, {});
    duplicate.SubkeyCount(0);
    registry_file::ImageKey root;
    EXPECT_EQ(registry_file::ParseImage(duplicate.Finish(), root),
              registry_file::ParseError::Malformed);

    registry_file::ImageWriter slash;
    slash.BeginKey("A\\B", 0, 0);
    slash.SubkeyCount(0);
    EXPECT_EQ(registry_file::ParseImage(slash.Finish(), root),
              registry_file::ParseError::Malformed);

    registry_file::ImageWriter deep;
    for (uint32_t i = 0; i <= registry_file::kMaxDepth + 1; ++i) {
        deep.BeginKey("k", 0, 0);
        deep.SubkeyCount(i <= registry_file::kMaxDepth ? 1 : 0);
    }
    EXPECT_EQ(registry_file::ParseImage(deep.Finish(), root), registry_file::ParseError::Malformed);
    EXPECT_EQ(registry_file::ParseImage(Of({'n', 'o', 'p', 'e', 0, 0, 0, 0, 0}), root),
              registry_file::ParseError::BadMagic);
}

// ---- concurrency ----

TEST(RegistryConcurrencyTest, ThreadsShareTheStoreNotificationsAndCallbacks) {
    auto store = RegistryStore::CreateInMemory();
    ScopedSystemRegistry scope(store);
    RegKey product;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, kProductKey, product), ERROR_SUCCESS);
    std::atomic<int> callbackCalls{0};
    Event stop(EventType::Notification);
    std::vector<std::shared_ptr<Thread>> threads;
    constexpr int kWriters = 4, kRounds = 200;
    for (int t = 0; t < kWriters; ++t) {
        threads.push_back(Thread::Start([&, t] {
            const std::string mine = "Worker" + std::to_string(t);
            for (int i = 0; i < kRounds; ++i) {
                RegKey key;
                ASSERT_EQ(RegCreateKeyEx(product, mine, key), ERROR_SUCCESS);
                ASSERT_EQ(RegSetValueEx(key, "n", REG_DWORD, RegDwordData(i)), ERROR_SUCCESS);
                ASSERT_EQ(RegSetValueEx(product, "Shared", REG_DWORD, RegDwordData(i)),
                          ERROR_SUCCESS);
                REG_VALUE value;
                ASSERT_EQ(RegQueryValue(key, "n", value), ERROR_SUCCESS);
                EXPECT_EQ(value.data, RegDwordData(i));
                std::string name;
                for (uint32_t k = 0; RegEnumKeyEx(product, k, name) == ERROR_SUCCESS; ++k) {
                }
                if (i % 10 == 9) {
                    uint32_t result = RegDeleteKey(product, mine);
                    EXPECT_TRUE(result == ERROR_SUCCESS) << result;
                }
            }
        }));
    }
    // A watcher that re-arms, and a callback registered and removed over and over.
    threads.push_back(Thread::Start([&] {
        RegKey own;
        ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kProductKey, own), ERROR_SUCCESS);
        Event changed(EventType::Synchronization);
        DispatcherObject* objects[] = {&stop, &changed};
        for (;;) {
            RegNotifyChangeKeyValue(own, true, REG_NOTIFY_CHANGE_LAST_SET, changed);
            if (WaitForMultipleObjects(objects, false, INFINITE) != WAIT_OBJECT_0 + 1)
                return;
        }
    }));
    threads.push_back(Thread::Start([&] {
        while (WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
            uint64_t cookie = 0;
            ASSERT_EQ(CmRegisterCallback(
                          [&](const REG_NOTIFY_INFO&) {
                              ++callbackCalls;
                              return STATUS_SUCCESS;
                          },
                          &cookie),
                      STATUS_SUCCESS);
            ASSERT_EQ(CmUnRegisterCallback(cookie), STATUS_SUCCESS);
        }
    }));
    for (int t = 0; t < kWriters; ++t)
        WaitForSingleObject(*threads[t], INFINITE);
    stop.Set();
    for (auto& thread : threads)
        WaitForSingleObject(*thread, INFINITE);
    REG_KEY_INFO info;
    ASSERT_EQ(RegQueryInfoKey(product, info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, 0u);  // every worker deleted its key last
    EXPECT_EQ(info.values, 1u);
}

TEST(RegistryConcurrencyTest, FileStoreStaysConsistentUnderConcurrentWriters) {
    TempFolder folder;
    const std::string path = folder.File("registry.dat");
    {
        auto store = RegistryStore::OpenFile(path, {});
        ASSERT_NE(store, nullptr);
        std::vector<std::shared_ptr<Thread>> threads;
        for (int t = 0; t < 3; ++t) {
            threads.push_back(Thread::Start([store, t] {
                RegKey key;
                ASSERT_EQ(store->CreateKey(nullptr,
                                           "\\REGISTRY\\MACHINE\\SOFTWARE\\T" + std::to_string(t),
                                           key, nullptr),
                          STATUS_SUCCESS);
                for (int i = 0; i < 10; ++i) {
                    ASSERT_EQ(
                        store->SetValue(key, "v" + std::to_string(i), REG_DWORD, RegDwordData(i)),
                        STATUS_SUCCESS);
                }
            }));
        }
        for (auto& thread : threads)
            WaitForSingleObject(*thread, INFINITE);
    }
    auto store = RegistryStore::OpenFile(path, {});
    ASSERT_NE(store, nullptr);
    for (int t = 0; t < 3; ++t) {
        RegKey key;
        ASSERT_EQ(
            store->OpenKey(nullptr, "\\REGISTRY\\MACHINE\\SOFTWARE\\T" + std::to_string(t), key),
            STATUS_SUCCESS);
        REG_KEY_INFO info;
        ASSERT_EQ(store->QueryKeyInfo(key, info), STATUS_SUCCESS);
        EXPECT_EQ(info.values, 10u);
    }
}

}  // namespace
}  // namespace os
