#include "service/support/registry_helpers.h"

#include <cstring>
#include <optional>
#include <vector>

#include "os/core/status.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

bool Fail(uint32_t error) {
    os::SetLastError(error);
    return false;
}

bool SetValue(const os::RegKey& key, std::string_view valueName, uint32_t type,
              std::span<const uint8_t> data) {
    uint32_t error = os::RegSetValueEx(key, valueName, type, data);
    return error == os::ERROR_SUCCESS ? true : Fail(error);
}

}  // namespace

bool ReadRegistryDword(const os::RegKey& key, std::string_view valueName, uint32_t& value) {
    os::REG_VALUE stored;
    uint32_t error = os::RegQueryValue(key, valueName, stored);
    if (error != os::ERROR_SUCCESS) {
        return Fail(error);
    }
    if (stored.type != os::REG_DWORD || stored.data.size() != sizeof(uint32_t)) {
        return Fail(os::ERROR_INVALID_DATATYPE);
    }
    value = static_cast<uint32_t>(stored.data[0]) | static_cast<uint32_t>(stored.data[1]) << 8 |
            static_cast<uint32_t>(stored.data[2]) << 16 |
            static_cast<uint32_t>(stored.data[3]) << 24;
    return true;
}

bool ReadRegistryBoolean(const os::RegKey& key, std::string_view valueName, bool& value) {
    uint32_t number = 0;
    if (!ReadRegistryDword(key, valueName, number)) {
        return false;
    }
    value = number != 0;
    return true;
}

bool ReadRegistryString(const os::RegKey& key, std::string_view valueName, std::string& value) {
    // One query for the whole value: a value that changes between a size query and a data query
    // cannot leave a half-read text.
    os::REG_VALUE stored;
    uint32_t error = os::RegQueryValue(key, valueName, stored);
    if (error != os::ERROR_SUCCESS) {
        return Fail(error);
    }
    if (stored.type != os::REG_SZ && stored.type != os::REG_EXPAND_SZ) {
        return Fail(os::ERROR_INVALID_DATATYPE);
    }
    value = os::RegStringFromData(stored.data);
    return true;
}

bool ReadRegistryTypeAndSize(const os::RegKey& key, std::string_view valueName, uint32_t& type,
                             uint32_t& size) {
    uint32_t foundType = os::REG_NONE;
    uint32_t foundSize = 0;
    uint32_t error = os::RegQueryValueEx(key, valueName, &foundType, nullptr, &foundSize);
    if (error != os::ERROR_SUCCESS) {
        return Fail(error);
    }
    type = foundType;
    size = foundSize;
    return true;
}

uint32_t CountRegistrySubkeys(const os::RegKey& key) {
    os::REG_KEY_INFO info;
    uint32_t error = os::RegQueryInfoKey(key, info);
    if (error != os::ERROR_SUCCESS) {
        DebugPrint("RegQueryInfoKey failed. %s. Error code = %lu",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        os::SetLastError(error);
        return 0;
    }
    return info.subKeys;
}

bool EnumerateRegistrySubkeys(const os::RegKey& key, const SubkeyCallback& callback) {
    uint32_t index = 0;
    std::optional<std::string> deletedName;
    for (;;) {
        std::string name;
        uint32_t error = os::RegEnumKeyEx(key, index, name);
        if (error == os::ERROR_NO_MORE_ITEMS) {
            return true;
        }
        if (error != os::ERROR_SUCCESS) {
            return Fail(error);
        }
        if (deletedName && *deletedName == name) {
            // Reported deleted but still there: step over it rather than see it again and again.
            deletedName.reset();
            ++index;
            continue;
        }
        deletedName.reset();
        switch (callback(key, name)) {
            case SubkeyWalk::Next:
                ++index;
                break;
            case SubkeyWalk::Deleted:
                deletedName = name;
                break;
            case SubkeyWalk::Stop:
                return true;
        }
    }
}

bool WriteRegistryDword(const os::RegKey& key, std::string_view valueName, uint32_t value) {
    return SetValue(key, valueName, os::REG_DWORD, os::RegDwordData(value));
}

bool WriteRegistryString(const os::RegKey& key, std::string_view valueName, std::string_view text) {
    return SetValue(key, valueName, os::REG_SZ, os::RegStringData(text));
}

bool WriteRegistryMultiString(const os::RegKey& key, std::string_view valueName,
                              std::span<const std::string> strings) {
    std::optional<std::vector<uint8_t>> data = os::RegMultiStringData(strings);
    if (!data) {
        return Fail(os::ERROR_INVALID_PARAMETER);
    }
    return SetValue(key, valueName, os::REG_MULTI_SZ, *data);
}

}  // namespace wexo::svc
