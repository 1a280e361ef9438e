#include "driver/platform/registry_values.h"

#include <cstring>

#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

// Most values the driver reads are short: one block of this size usually does.
constexpr uint32_t kFirstQuerySize = os::kKeyValuePartialInformationHeader + 64;
constexpr uint32_t kLongestString = 64 * 1024;

}  // namespace

os::NTSTATUS RegistryCreateKey(os::RegKey& key, std::string_view name, uint32_t /*access*/) {
    return os::ZwCreateKey(key, name);
}

os::NTSTATUS RegistryOpenKey(os::RegKey& key, std::string_view name, uint32_t /*access*/) {
    return os::ZwOpenKey(key, name);
}

os::NTSTATUS RegistryQueryValue(const os::RegKey& key, std::string_view valueName,
                                os::KEY_VALUE_PARTIAL_INFORMATION** information) {
    *information = nullptr;
    uint32_t size = kFirstQuerySize;
    for (;;) {
        void* block = os::ExAllocatePoolWithTag(os::PoolType::Paged, size, kRegistryValueTag);
        if (block == nullptr) {
            return os::STATUS_INSUFFICIENT_RESOURCES;
        }
        uint32_t needed = 0;
        os::NTSTATUS status = os::ZwQueryValueKey(
            key, valueName, os::KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation, block,
            size, &needed);
        if (os::NT_SUCCESS(status)) {
            *information = static_cast<os::KEY_VALUE_PARTIAL_INFORMATION*>(block);
            return status;
        }
        os::ExFreePoolWithTag(block, kRegistryValueTag);
        if (status != os::STATUS_BUFFER_OVERFLOW && status != os::STATUS_BUFFER_TOO_SMALL) {
            return status;
        }
        // A value that changes between the two queries may need yet another round; the store
        // always reports the size it needs now, so each round asks for at least one byte more.
        size = needed > size ? needed : size + 1;
    }
}

void FreeRegistryValue(os::KEY_VALUE_PARTIAL_INFORMATION* information) {
    if (information != nullptr) {
        os::ExFreePoolWithTag(information, kRegistryValueTag);
    }
}

uint32_t RegistryQueryUlong(const os::RegKey& key, std::string_view valueName,
                            os::NTSTATUS* status) {
    // Room for 8 data bytes: a longer value fails with STATUS_BUFFER_OVERFLOW, as intended.
    alignas(8) uint8_t buffer[os::kKeyValuePartialInformationHeader + 8] = {};
    uint32_t needed = 0;
    os::NTSTATUS result = os::ZwQueryValueKey(
        key, valueName, os::KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation, buffer,
        sizeof(buffer), &needed);
    if (status != nullptr) {
        *status = result;
    }
    if (!os::NT_SUCCESS(result)) {
        return 0;
    }
    const auto* information = reinterpret_cast<const os::KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    uint32_t value = 0;
    std::memcpy(&value, buffer + os::kKeyValuePartialInformationHeader,
                information->DataLength < 4 ? information->DataLength : 4);
    return value;
}

os::NTSTATUS RegistryQueryString(const os::RegKey& key, std::string_view valueName,
                                 std::u16string& text) {
    text.clear();
    os::KEY_VALUE_PARTIAL_INFORMATION* information = nullptr;
    os::NTSTATUS status = RegistryQueryValue(key, valueName, &information);
    if (!os::NT_SUCCESS(status)) {
        return status;
    }
    os::NTSTATUS result = os::STATUS_SUCCESS;
    uint32_t type = information->Type;
    uint32_t length = information->DataLength;
    if (type != os::REG_SZ && type != os::REG_EXPAND_SZ && type != os::REG_MULTI_SZ) {
        result = os::STATUS_UNSUCCESSFUL;
    } else if (length >= kLongestString) {
        result = os::STATUS_BUFFER_OVERFLOW;
    } else if (length < 2 || length % 2 != 0) {
        result = os::STATUS_UNSUCCESSFUL;
    } else {
        const auto* data =
            reinterpret_cast<const uint8_t*>(information) + os::kKeyValuePartialInformationHeader;
        text.resize(length / 2);
        std::memcpy(text.data(), data, length);
        // The counted string excludes the final NUL (a string stored without one keeps its text).
        if (!text.empty() && text.back() == u'\0') {
            text.pop_back();
        }
    }
    FreeRegistryValue(information);
    return result;
}

}  // namespace wexo::drv
