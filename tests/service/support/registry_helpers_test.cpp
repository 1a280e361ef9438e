#include "service/support/registry_helpers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

using ::testing::ElementsAre;

class RegistryHelpersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, kProductKeyPath, key_),
                  os::ERROR_SUCCESS);
    }

    void SetRaw(std::string_view name, uint32_t type, std::vector<uint8_t> data) {
        ASSERT_EQ(os::RegSetValueEx(key_, name, type, data), os::ERROR_SUCCESS);
    }
    os::REG_VALUE Stored(std::string_view name) {
        os::REG_VALUE value;
        EXPECT_EQ(os::RegQueryValue(key_, name, value), os::ERROR_SUCCESS);
        return value;
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::RegKey key_;
};

// ---- Reading.

TEST_F(RegistryHelpersTest, DwordMustBeADwordOfFourBytes) {
    SetRaw("Four", os::REG_DWORD, os::RegDwordData(0x12345678));
    uint32_t value = 0;
    ASSERT_TRUE(ReadRegistryDword(key_, "four", value));  // names ignore case
    EXPECT_EQ(value, 0x12345678u);

    struct CASE {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> data;
    };
    const CASE wrong[] = {
        {"EightBytes", os::REG_DWORD, os::RegQwordData(1)},
        {"TwoBytes", os::REG_DWORD, {1, 0}},
        {"Empty", os::REG_DWORD, {}},
        {"Qword", os::REG_QWORD, os::RegQwordData(1)},
        {"Binary", os::REG_BINARY, {1, 0, 0, 0}},
        {"Text", os::REG_SZ, os::RegStringData("1")},
    };
    for (const CASE& c : wrong) {
        SetRaw(c.name, c.type, c.data);
        value = 77;
        os::SetLastError(0);
        EXPECT_FALSE(ReadRegistryDword(key_, c.name, value)) << c.name;
        EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_DATATYPE) << c.name;
        EXPECT_EQ(value, 77u) << c.name;
    }
    EXPECT_FALSE(ReadRegistryDword(key_, "Missing", value));
    EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryHelpersTest, BooleanIsANonZeroDword) {
    SetRaw("Off", os::REG_DWORD, os::RegDwordData(0));
    SetRaw("On", os::REG_DWORD, os::RegDwordData(2));
    SetRaw("Wide", os::REG_DWORD, os::RegQwordData(1));
    bool value = true;
    ASSERT_TRUE(ReadRegistryBoolean(key_, "Off", value));
    EXPECT_FALSE(value);
    ASSERT_TRUE(ReadRegistryBoolean(key_, "On", value));
    EXPECT_TRUE(value);
    value = false;
    EXPECT_FALSE(ReadRegistryBoolean(key_, "Wide", value));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_DATATYPE);
    EXPECT_FALSE(value);
}

TEST_F(RegistryHelpersTest, StringsOfBothStringTypes) {
    SetRaw("Plain", os::REG_SZ, os::RegStringData("p\xC3\xA4th"));
    SetRaw("Expand", os::REG_EXPAND_SZ, os::RegStringData("%TEMP%\\x"));
    SetRaw("Number", os::REG_DWORD, os::RegDwordData(1));
    SetRaw("List", os::REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
    std::string text;
    ASSERT_TRUE(ReadRegistryString(key_, "Plain", text));
    EXPECT_EQ(text, "p\xC3\xA4th");
    ASSERT_TRUE(ReadRegistryString(key_, "Expand", text));
    EXPECT_EQ(text, "%TEMP%\\x");  // not expanded
    text = "kept";
    EXPECT_FALSE(ReadRegistryString(key_, "Number", text));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_DATATYPE);
    EXPECT_FALSE(ReadRegistryString(key_, "List", text));
    EXPECT_EQ(text, "kept");
}

TEST_F(RegistryHelpersTest, BrokenStringDataIsReadSafely) {
    // An unpaired surrogate, no terminator, an odd byte count.
    SetRaw("Surrogate", os::REG_SZ, {'a', 0, 0x00, 0xD8, 'b', 0});
    SetRaw("Unterminated", os::REG_SZ, {'x', 0, 'y', 0});
    SetRaw("Odd", os::REG_SZ, {'x', 0, 'y'});
    SetRaw("Nothing", os::REG_SZ, {});
    std::string text;
    ASSERT_TRUE(ReadRegistryString(key_, "Surrogate", text));
    EXPECT_EQ(text,
              "a\xEF\xBF\xBD"
              "b");
    ASSERT_TRUE(ReadRegistryString(key_, "Unterminated", text));
    EXPECT_EQ(text, "xy");
    ASSERT_TRUE(ReadRegistryString(key_, "Odd", text));
    EXPECT_EQ(text, "x");
    ASSERT_TRUE(ReadRegistryString(key_, "Nothing", text));
    EXPECT_EQ(text, "");
}

TEST_F(RegistryHelpersTest, TypeAndSize) {
    SetRaw("Text", os::REG_SZ, os::RegStringData("abc"));
    uint32_t type = 0, size = 0;
    ASSERT_TRUE(ReadRegistryTypeAndSize(key_, "Text", type, size));
    EXPECT_EQ(type, os::REG_SZ);
    EXPECT_EQ(size, 8u);
    EXPECT_FALSE(ReadRegistryTypeAndSize(key_, "Missing", type, size));
    EXPECT_EQ(os::GetLastError(), os::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(type, os::REG_SZ);
}

// ---- Subkeys.

TEST_F(RegistryHelpersTest, CountingSubkeys) {
    os::RegKey sub;
    ASSERT_EQ(os::RegCreateKeyEx(key_, "A", sub), os::ERROR_SUCCESS);
    ASSERT_EQ(os::RegCreateKeyEx(key_, "B", sub), os::ERROR_SUCCESS);
    EXPECT_EQ(CountRegistrySubkeys(key_), 2u);

    // A key deleted behind the handle's back cannot be queried.
    DebugReset();
    std::vector<std::string> lines;
    DebugSetOutputHook([&](uint32_t, std::string_view text) { lines.emplace_back(text); });
    ASSERT_EQ(os::RegDeleteKey(key_, "B"), os::ERROR_SUCCESS);
    EXPECT_EQ(CountRegistrySubkeys(sub), 0u);
    EXPECT_EQ(os::GetLastError(), os::ERROR_KEY_DELETED);
    EXPECT_THAT(lines,
                ElementsAre("RegQueryInfoKey failed. " +
                            os::SystemMessageText(os::ERROR_KEY_DELETED) + ". Error code = 1018"));
    DebugReset();
}

TEST_F(RegistryHelpersTest, TheWalkMayDeleteWhatItSees) {
    for (const char* name : {"Drop1", "Keep1", "Drop2", "Drop3", "Keep2"}) {
        os::RegKey sub;
        ASSERT_EQ(os::RegCreateKeyEx(key_, name, sub), os::ERROR_SUCCESS);
    }
    std::vector<std::string> seen;
    ASSERT_TRUE(EnumerateRegistrySubkeys(key_, [&](const os::RegKey& key, const std::string& name) {
        seen.push_back(name);
        if (name.rfind("Drop", 0) == 0) {
            EXPECT_EQ(os::RegDeleteKey(key, name), os::ERROR_SUCCESS);
            return SubkeyWalk::Deleted;
        }
        return SubkeyWalk::Next;
    }));
    EXPECT_THAT(seen, ElementsAre("Drop1", "Drop2", "Drop3", "Keep1", "Keep2"));
    EXPECT_EQ(CountRegistrySubkeys(key_), 2u);
}

TEST_F(RegistryHelpersTest, TheWalkStopsWhenAsked) {
    for (const char* name : {"A", "B", "C"}) {
        os::RegKey sub;
        ASSERT_EQ(os::RegCreateKeyEx(key_, name, sub), os::ERROR_SUCCESS);
    }
    std::vector<std::string> seen;
    EXPECT_TRUE(EnumerateRegistrySubkeys(key_, [&](const os::RegKey&, const std::string& name) {
        seen.push_back(name);
        return name == "B" ? SubkeyWalk::Stop : SubkeyWalk::Next;
    }));
    EXPECT_THAT(seen, ElementsAre("A", "B"));

    // Claiming a deletion that did not happen does not loop for ever.
    seen.clear();
    EXPECT_TRUE(EnumerateRegistrySubkeys(key_, [&](const os::RegKey&, const std::string& name) {
        seen.push_back(name);
        return SubkeyWalk::Deleted;
    }));
    EXPECT_THAT(seen, ElementsAre("A", "B", "C"));
}

TEST_F(RegistryHelpersTest, LongNamesAndFailedWalks) {
    std::string longName(255, 'n');
    os::RegKey sub;
    ASSERT_EQ(os::RegCreateKeyEx(key_, longName, sub), os::ERROR_SUCCESS);
    std::vector<std::string> seen;
    EXPECT_TRUE(EnumerateRegistrySubkeys(key_, [&](const os::RegKey&, const std::string& name) {
        seen.push_back(name);
        return SubkeyWalk::Next;
    }));
    EXPECT_THAT(seen, ElementsAre(longName));

    ASSERT_EQ(os::RegDeleteKey(key_, longName), os::ERROR_SUCCESS);
    EXPECT_FALSE(EnumerateRegistrySubkeys(
        sub, [](const os::RegKey&, const std::string&) { return SubkeyWalk::Next; }));
    EXPECT_EQ(os::GetLastError(), os::ERROR_KEY_DELETED);
}

// ---- Writing.

TEST_F(RegistryHelpersTest, WritesStoreTheWindowsLayout) {
    ASSERT_TRUE(WriteRegistryDword(key_, "Dormant", 1));
    os::REG_VALUE value = Stored("Dormant");
    EXPECT_EQ(value.type, os::REG_DWORD);
    EXPECT_THAT(value.data, ElementsAre(1, 0, 0, 0));

    ASSERT_TRUE(WriteRegistryString(key_, "Name", "ab"));
    value = Stored("Name");
    EXPECT_EQ(value.type, os::REG_SZ);
    EXPECT_THAT(value.data, ElementsAre('a', 0, 'b', 0, 0, 0));

    std::vector<std::string> servers = {"a", "bc"};
    ASSERT_TRUE(WriteRegistryMultiString(key_, "Servers", servers));
    value = Stored("Servers");
    EXPECT_EQ(value.type, os::REG_MULTI_SZ);
    EXPECT_THAT(value.data, ElementsAre('a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0));
}

TEST_F(RegistryHelpersTest, AnEmptyListIsOneTerminatingPair) {
    ASSERT_TRUE(WriteRegistryMultiString(key_, "Servers", {}));
    os::REG_VALUE value = Stored("Servers");
    EXPECT_EQ(value.type, os::REG_MULTI_SZ);
    EXPECT_THAT(value.data, ElementsAre(0, 0, 0, 0));

    // An empty string would end the list early and lose what follows it.
    std::vector<std::string> withEmpty = {"a", "", "b"};
    EXPECT_FALSE(WriteRegistryMultiString(key_, "Servers", withEmpty));
    EXPECT_EQ(os::GetLastError(), os::ERROR_INVALID_PARAMETER);
    EXPECT_THAT(Stored("Servers").data, ElementsAre(0, 0, 0, 0));
}

TEST_F(RegistryHelpersTest, FailedWritesSetTheLastError) {
    os::RegKey sub;
    ASSERT_EQ(os::RegCreateKeyEx(key_, "Gone", sub), os::ERROR_SUCCESS);
    ASSERT_EQ(os::RegDeleteKey(key_, "Gone"), os::ERROR_SUCCESS);
    os::SetLastError(0);
    EXPECT_FALSE(WriteRegistryDword(sub, "X", 1));
    EXPECT_EQ(os::GetLastError(), os::ERROR_KEY_DELETED);
    os::SetLastError(0);
    EXPECT_FALSE(WriteRegistryString(sub, "X", "y"));
    EXPECT_EQ(os::GetLastError(), os::ERROR_KEY_DELETED);
}

// ---- The debug output mode from the registry and the environment.

class DebugModeSourcesTest : public RegistryHelpersTest {
  protected:
    void SetUp() override {
        RegistryHelpersTest::SetUp();
        DebugReset();
        DebugSetOutputHook([this](uint32_t, std::string_view text) { lines_.emplace_back(text); });
    }
    void TearDown() override {
        DebugReset();
        os::SetEnvironmentVariable("WexoSvc", std::nullopt);
    }
    std::vector<std::string> lines_;
};

TEST_F(DebugModeSourcesTest, RegistryValue) {
    EXPECT_EQ(DebugReadRegistryMode(), 0u);  // missing: no line
    EXPECT_TRUE(lines_.empty());
    ASSERT_TRUE(WriteRegistryDword(key_, "DebugOutput", 0x302));
    EXPECT_EQ(DebugReadRegistryMode(), 0x302u);

    SetRaw("DebugOutput", os::REG_SZ, os::RegStringData("2"));
    EXPECT_EQ(DebugReadRegistryMode(), 0u);
    EXPECT_THAT(lines_, ElementsAre("Unable to read registry value = \"DebugOutput\". \n    " +
                                    os::SystemMessageText(1804) + ". Error code = 1804."));

    lines_.clear();
    key_.Close();
    ASSERT_EQ(os::RegDeleteKey(os::HKEY_LOCAL_MACHINE, kProductKeyPath), os::ERROR_SUCCESS);
    EXPECT_EQ(DebugReadRegistryMode(), 0u);
    EXPECT_THAT(lines_, ElementsAre("Unable to open registry key = "
                                    "\"HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel\". \n    " +
                                    os::SystemMessageText(2) + ". Error code = 2."));
}

TEST_F(DebugModeSourcesTest, EnvironmentVariable) {
    EXPECT_EQ(DebugReadEnvironmentMode(), 0u);
    os::SetEnvironmentVariable("WexoSvc", "0x102");
    EXPECT_EQ(DebugReadEnvironmentMode(), 0x102u);
    os::SetEnvironmentVariable("WexoSvc", "258");
    EXPECT_EQ(DebugReadEnvironmentMode(), 258u);
    os::SetEnvironmentVariable("WexoSvc", "on");
    EXPECT_EQ(DebugReadEnvironmentMode(), 0u);
}

TEST_F(DebugModeSourcesTest, ReloadFollowsTheRegistryUnlessTheCommandLineSpoke) {
    ASSERT_TRUE(WriteRegistryDword(key_, "DebugOutput", 0x20));
    DEBUG_MODE_SOURCES sources;
    sources.registry = DebugReadRegistryMode();
    DebugStartLog(sources, {});
    EXPECT_EQ(DebugGetMode(), 0x20u);
    EXPECT_FALSE(DebugReloadSettings());  // unchanged

    ASSERT_TRUE(WriteRegistryDword(key_, "DebugOutput", 0x120));
    lines_.clear();
    EXPECT_TRUE(DebugReloadSettings());
    EXPECT_EQ(DebugGetMode(), 0x120u);
    EXPECT_THAT(lines_, ElementsAre("Debug output mode (from registry value = \"DebugOutput\") = "
                                    "Verbose, Console "));

    sources = DEBUG_MODE_SOURCES();
    sources.commandLine = 0x1;
    DebugStartLog(sources, {});
    ASSERT_TRUE(WriteRegistryDword(key_, "DebugOutput", 0x2));
    EXPECT_FALSE(DebugReloadSettings());
    EXPECT_EQ(DebugGetMode(), 0x1u);
}

}  // namespace
}  // namespace wexo::svc
