#include "driver/platform/registry_values.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "os/core/allocation.h"

namespace wexo::drv {
namespace {

constexpr char kKeyName[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Values";

class RegistryValuesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(RegistryCreateKey(key_, kKeyName, 0x11), os::STATUS_SUCCESS);
    }

    void Set(const char* name, uint32_t type, const std::vector<uint8_t>& data) {
        ASSERT_EQ(os::ZwSetValueKey(key_, name, type, data), os::STATUS_SUCCESS);
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    os::RegKey key_;
};

TEST_F(RegistryValuesTest, KeysAreCreatedOrOpenedIgnoringCase) {
    os::RegKey again;
    EXPECT_EQ(RegistryOpenKey(again, "\\registry\\machine\\software\\CORVANE\\values", 0x11),
              os::STATUS_SUCCESS);
    EXPECT_EQ(again.Path(), kKeyName);
    os::RegKey missing;
    EXPECT_EQ(RegistryOpenKey(missing, "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\None", 0x11),
              os::STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(missing.IsValid());
}

TEST_F(RegistryValuesTest, AQueryGrowsItsBlockUntilTheValueFits) {
    std::vector<uint8_t> large(5000);
    for (size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<uint8_t>(i * 7);
    }
    Set("Large", os::REG_BINARY, large);
    os::KEY_VALUE_PARTIAL_INFORMATION* information = nullptr;
    ASSERT_EQ(RegistryQueryValue(key_, "large", &information), os::STATUS_SUCCESS);
    ASSERT_NE(information, nullptr);
    EXPECT_EQ(information->Type, os::REG_BINARY);
    ASSERT_EQ(information->DataLength, large.size());
    EXPECT_EQ(std::memcmp(reinterpret_cast<const uint8_t*>(information) +
                              os::kKeyValuePartialInformationHeader,
                          large.data(), large.size()),
              0);
    EXPECT_EQ(os::PoolOutstanding(kRegistryValueTag), 1u);
    FreeRegistryValue(information);
    EXPECT_EQ(os::PoolOutstanding(kRegistryValueTag), 0u);
    FreeRegistryValue(nullptr);
}

TEST_F(RegistryValuesTest, AQueryThatFailsLeavesNothingAllocated) {
    os::KEY_VALUE_PARTIAL_INFORMATION* information = nullptr;
    EXPECT_EQ(RegistryQueryValue(key_, "Missing", &information), os::STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(information, nullptr);

    Set("Large", os::REG_BINARY, std::vector<uint8_t>(500, 1));
    {
        // The first block is too small; the grown one cannot be had.
        os::ScopedPoolFailure failure(kRegistryValueTag, 1);
        EXPECT_EQ(RegistryQueryValue(key_, "Large", &information),
                  os::STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(information, nullptr);
    }
    EXPECT_EQ(os::PoolOutstanding(kRegistryValueTag), 0u);
}

TEST_F(RegistryValuesTest, AUlongIsTheFirstFourBytesOfAShortValue) {
    os::NTSTATUS status = 0;
    Set("Dword", os::REG_DWORD, os::RegDwordData(0x12345678));
    EXPECT_EQ(RegistryQueryUlong(key_, "Dword", &status), 0x12345678u);
    EXPECT_EQ(status, os::STATUS_SUCCESS);
    // Any type of at most 8 bytes.
    Set("Qword", os::REG_QWORD, os::RegQwordData(0x1111111122222222ULL));
    EXPECT_EQ(RegistryQueryUlong(key_, "Qword", &status), 0x22222222u);
    Set("Text", os::REG_SZ, os::RegStringData("ab"));  // 61 00 62 00 00 00
    EXPECT_EQ(RegistryQueryUlong(key_, "Text"), 0x00620061u);
    // Fewer than four bytes are what there is.
    Set("Short", os::REG_DWORD, {0x34, 0x12});
    EXPECT_EQ(RegistryQueryUlong(key_, "Short", &status), 0x1234u);
    EXPECT_EQ(status, os::STATUS_SUCCESS);
    Set("Empty", os::REG_BINARY, {});
    EXPECT_EQ(RegistryQueryUlong(key_, "Empty"), 0u);
    // Longer than 8 bytes, or missing: 0 and the status.
    Set("Long", os::REG_BINARY, std::vector<uint8_t>(9, 0xFF));
    EXPECT_EQ(RegistryQueryUlong(key_, "Long", &status), 0u);
    EXPECT_EQ(status, os::STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RegistryQueryUlong(key_, "Missing", &status), 0u);
    EXPECT_EQ(status, os::STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryValuesTest, StringsOfTheThreeStringTypes) {
    std::u16string text;
    Set("Sz", os::REG_SZ, os::RegStringData("C:\\Logs\\wexo.log"));
    EXPECT_EQ(RegistryQueryString(key_, "Sz", text), os::STATUS_SUCCESS);
    EXPECT_EQ(text, u"C:\\Logs\\wexo.log");
    Set("Expand", os::REG_EXPAND_SZ, os::RegStringData("%SystemRoot%"));
    EXPECT_EQ(RegistryQueryString(key_, "Expand", text), os::STATUS_SUCCESS);
    EXPECT_EQ(text, u"%SystemRoot%");
    // A multi-string keeps its inner NULs; only the final one goes.
    Set("Multi", os::REG_MULTI_SZ, *os::RegMultiStringData(std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(RegistryQueryString(key_, "Multi", text), os::STATUS_SUCCESS);
    EXPECT_EQ(text, std::u16string(u"a\0b\0", 4));
    // Stored without a NUL: the text is all of it.
    Set("Bare", os::REG_SZ, {'h', 0, 'i', 0});
    EXPECT_EQ(RegistryQueryString(key_, "Bare", text), os::STATUS_SUCCESS);
    EXPECT_EQ(text, u"hi");
    // Just the NUL: an empty string.
    Set("Nul", os::REG_SZ, {0, 0});
    EXPECT_EQ(RegistryQueryString(key_, "Nul", text), os::STATUS_SUCCESS);
    EXPECT_EQ(text, u"");
}

TEST_F(RegistryValuesTest, StringsOfAnotherTypeOrABadLengthAreRefused) {
    std::u16string text = u"stale";
    Set("Dword", os::REG_DWORD, os::RegDwordData(1));
    EXPECT_EQ(RegistryQueryString(key_, "Dword", text), os::STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(text.empty());
    Set("Empty", os::REG_SZ, {});
    EXPECT_EQ(RegistryQueryString(key_, "Empty", text), os::STATUS_UNSUCCESSFUL);
    Set("One", os::REG_SZ, {'a'});
    EXPECT_EQ(RegistryQueryString(key_, "One", text), os::STATUS_UNSUCCESSFUL);
    Set("Odd", os::REG_SZ, {'a', 0, 0});
    EXPECT_EQ(RegistryQueryString(key_, "Odd", text), os::STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RegistryQueryString(key_, "Missing", text), os::STATUS_OBJECT_NAME_NOT_FOUND);

    // 64 KiB is too long; two bytes less is the longest string.
    std::vector<uint8_t> data(64 * 1024, 'x');
    Set("Huge", os::REG_SZ, data);
    EXPECT_EQ(RegistryQueryString(key_, "Huge", text), os::STATUS_BUFFER_OVERFLOW);
    EXPECT_TRUE(text.empty());
    data.resize(64 * 1024 - 2);
    Set("Longest", os::REG_SZ, data);
    EXPECT_EQ(RegistryQueryString(key_, "Longest", text), os::STATUS_SUCCESS);
    EXPECT_EQ(text.size(), 32u * 1024 - 1);
    EXPECT_EQ(os::PoolOutstanding(kRegistryValueTag), 0u);
}

}  // namespace
}  // namespace wexo::drv
