// The Win32 and kernel access paths over the registry store, and the value-data helpers.

#include <algorithm>
#include <cstring>

#include "os/core/routine_exports.h"
#include "os/core/utf8.h"
#include "os/registry/registry.h"

namespace os {

uint32_t RegistryStatusToWin32Error(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return ERROR_SUCCESS;
        case STATUS_OBJECT_NAME_NOT_FOUND:
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return ERROR_FILE_NOT_FOUND;
        case STATUS_KEY_DELETED:
            return ERROR_KEY_DELETED;
        case STATUS_CANNOT_DELETE:
            return ERROR_ACCESS_DENIED;
        case STATUS_BUFFER_OVERFLOW:
        case STATUS_BUFFER_TOO_SMALL:
            return ERROR_MORE_DATA;
        case STATUS_NO_MORE_ENTRIES:
            return ERROR_NO_MORE_ITEMS;
        case STATUS_REGISTRY_CORRUPT:
            return ERROR_REGISTRY_CORRUPT;
        case STATUS_REGISTRY_IO_FAILED:
            return ERROR_REGISTRY_IO_FAILED;
        case STATUS_INVALID_OWNER:
            return ERROR_INVALID_OWNER;
        case STATUS_INVALID_SECURITY_DESCR:
            return ERROR_INVALID_SECURITY_DESCR;
        default:
            return NtStatusToWin32Error(status);
    }
}

// ---- Value data ----

namespace {

void AppendUtf16(std::vector<uint8_t>& out, char16_t unit) {
    out.push_back(static_cast<uint8_t>(unit & 0xFF));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}

// Appends the UTF-16LE form of UTF-8 text; malformed sequences become U+FFFD.
void AppendUtf8AsUtf16(std::vector<uint8_t>& out, std::string_view text) {
    constexpr char32_t kReplacement = 0xFFFD;
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<uint8_t>(text[i]);
        size_t length = 1;
        char32_t cp = kReplacement;
        char32_t minimum = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead >> 5) == 0x6) {
            length = 2, cp = lead & 0x1F, minimum = 0x80;
        } else if ((lead >> 4) == 0xE) {
            length = 3, cp = lead & 0x0F, minimum = 0x800;
        } else if ((lead >> 3) == 0x1E) {
            length = 4, cp = lead & 0x07, minimum = 0x10000;
        } else {
            length = 0;  // a stray continuation byte or an invalid lead byte
        }
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            auto next = static_cast<uint8_t>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        if (valid && length > 1 &&
            (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
            valid = false;
        }
        if (!valid) {
            cp = kReplacement;
            length = 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            AppendUtf16(out, static_cast<char16_t>(0xD800 + (cp >> 10)));
            AppendUtf16(out, static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            AppendUtf16(out, static_cast<char16_t>(cp));
        }
        i += length;
    }
}

// Decodes UTF-16LE units [begin, end) of the data.
std::string Utf16ToUtf8(std::span<const uint8_t> data, size_t begin, size_t end) {
    auto unit = [&](size_t index) {
        return static_cast<char16_t>(data[2 * index] | (data[2 * index + 1] << 8));
    };
    std::string out;
    for (size_t i = begin; i < end; ++i) {
        char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < end && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(unit(i + 1)) - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            AppendUtf8(out, 0xFFFD);
        } else {
            AppendUtf8(out, u);
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> RegStringData(std::string_view utf8) {
    std::vector<uint8_t> data;
    data.reserve(2 * utf8.size() + 2);
    AppendUtf8AsUtf16(data, utf8);
    AppendUtf16(data, 0);
    return data;
}

std::vector<uint8_t> RegDwordData(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> RegQwordData(uint64_t value) {
    std::vector<uint8_t> data(8);
    for (int i = 0; i < 8; ++i)
        data[i] = static_cast<uint8_t>(value >> (8 * i));
    return data;
}

std::optional<std::vector<uint8_t>> RegMultiStringData(std::span<const std::string> strings) {
    std::vector<uint8_t> data;
    for (const std::string& text : strings) {
        if (text.empty())
            return std::nullopt;
        AppendUtf8AsUtf16(data, text);
        AppendUtf16(data, 0);
    }
    if (strings.empty())
        AppendUtf16(data, 0);
    AppendUtf16(data, 0);
    return data;
}

std::string RegStringFromData(std::span<const uint8_t> data) {
    const size_t units = data.size() / 2;
    size_t end = 0;
    while (end < units && (data[2 * end] | data[2 * end + 1]) != 0)
        ++end;
    return Utf16ToUtf8(data, 0, end);
}

std::vector<std::string> RegMultiStringFromData(std::span<const uint8_t> data) {
    const size_t units = data.size() / 2;
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < units) {
        size_t end = start;
        while (end < units && (data[2 * end] | data[2 * end + 1]) != 0)
            ++end;
        if (end == start)
            break;  // the empty string that ends the list
        strings.push_back(Utf16ToUtf8(data, start, end));
        start = end + 1;
    }
    return strings;
}

// ---- Win32 path ----

namespace {

// A store in another process that cannot be reached reports the registry's own errors for a key
// that cannot be opened, read or written, as a reader of a failed registry call expects.
enum class Access { Open, Read, Write };

uint32_t Win32(const RegKey& key, NTSTATUS status, Access access) {
    if (status != STATUS_REGISTRY_UNREACHABLE || !key.Store()->IsRemote())
        return RegistryStatusToWin32Error(status);
    switch (access) {
        case Access::Open:
            return ERROR_CANTOPEN;
        case Access::Read:
            return ERROR_CANTREAD;
        case Access::Write:
            break;
    }
    return ERROR_CANTWRITE;
}

}  // namespace

uint32_t RegCreateKeyEx(const RegKey& parent, std::string_view subKey, RegKey& result,
                        uint32_t* disposition, const REG_SECURITY* security) {
    if (!parent.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(parent, parent.Store()->CreateKey(&parent, subKey, result, disposition, security),
                 Access::Open);
}

uint32_t RegOpenKeyEx(const RegKey& parent, std::string_view subKey, RegKey& result) {
    if (!parent.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(parent, parent.Store()->OpenKey(&parent, subKey, result), Access::Open);
}

uint32_t RegCloseKey(RegKey& key) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    key.Close();
    return ERROR_SUCCESS;
}

uint32_t RegDeleteKey(const RegKey& parent, std::string_view subKey) {
    if (!parent.IsValid())
        return ERROR_INVALID_HANDLE;
    if (subKey.empty())
        return Win32(parent, parent.Store()->DeleteKey(parent), Access::Write);
    RegKey key;
    NTSTATUS status = parent.Store()->OpenKey(&parent, subKey, key);
    if (!NT_SUCCESS(status))
        return Win32(parent, status, Access::Open);
    return Win32(key, key.Store()->DeleteKey(key), Access::Write);
}

uint32_t RegRenameKey(const RegKey& parent, std::string_view subKey, std::string_view newName) {
    if (!parent.IsValid())
        return ERROR_INVALID_HANDLE;
    if (subKey.empty())
        return Win32(parent, parent.Store()->RenameKey(parent, newName), Access::Write);
    RegKey key;
    NTSTATUS status = parent.Store()->OpenKey(&parent, subKey, key);
    if (!NT_SUCCESS(status))
        return Win32(parent, status, Access::Open);
    return Win32(key, key.Store()->RenameKey(key, newName), Access::Write);
}

uint32_t RegEnumKeyEx(const RegKey& key, uint32_t index, std::string& name) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->EnumerateKey(key, index, name), Access::Read);
}

uint32_t RegEnumKeyEx(const RegKey& key, uint32_t index, char* name, uint32_t* nameLength) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    if (name == nullptr || nameLength == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::string found;
    NTSTATUS status = key.Store()->EnumerateKey(key, index, found);
    if (!NT_SUCCESS(status))
        return Win32(key, status, Access::Read);
    if (*nameLength < found.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(name, found.data(), found.size());
    name[found.size()] = '\0';
    *nameLength = static_cast<uint32_t>(found.size());
    return ERROR_SUCCESS;
}

uint32_t RegQueryInfoKey(const RegKey& key, REG_KEY_INFO& info) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->QueryKeyInfo(key, info), Access::Read);
}

uint32_t RegSetValueEx(const RegKey& key, std::string_view valueName, uint32_t type,
                       std::span<const uint8_t> data) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->SetValue(key, valueName, type, data), Access::Write);
}

uint32_t RegQueryValueEx(const RegKey& key, std::string_view valueName, uint32_t* type,
                         uint8_t* data, uint32_t* size) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    if (data != nullptr && size == nullptr)
        return ERROR_INVALID_PARAMETER;
    REG_VALUE value;
    NTSTATUS status = key.Store()->QueryValue(key, valueName, value);
    if (!NT_SUCCESS(status))
        return Win32(key, status, Access::Read);
    if (type != nullptr)
        *type = value.type;
    const auto needed = static_cast<uint32_t>(value.data.size());
    if (data == nullptr) {
        if (size != nullptr)
            *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0)
        std::memcpy(data, value.data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

uint32_t RegQueryValue(const RegKey& key, std::string_view valueName, REG_VALUE& value) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->QueryValue(key, valueName, value), Access::Read);
}

uint32_t RegDeleteValue(const RegKey& key, std::string_view valueName) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->DeleteValue(key, valueName), Access::Write);
}

uint32_t RegEnumValue(const RegKey& key, uint32_t index, std::string& valueName, REG_VALUE* value) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->EnumerateValue(key, index, valueName, value), Access::Read);
}

uint32_t RegNotifyChangeKeyValue(const RegKey& key, bool watchSubtree, uint32_t filter,
                                 Event& event) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->NotifyChange(key, event, filter, watchSubtree), Access::Read);
}

uint32_t RegGetKeySecurity(const RegKey& key, REG_SECURITY& security) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->QueryKeySecurity(key, security), Access::Read);
}

uint32_t RegSetKeySecurity(const RegKey& key, const REG_SECURITY& security) {
    if (!key.IsValid())
        return ERROR_INVALID_HANDLE;
    return Win32(key, key.Store()->SetKeySecurity(key, security), Access::Write);
}

// ---- Kernel path ----

NTSTATUS ZwCreateKey(RegKey& key, std::string_view objectName, const RegKey* root,
                     uint32_t* disposition) {
    if (root != nullptr && !root->IsValid())
        return STATUS_INVALID_HANDLE;
    auto store = root != nullptr ? root->Store() : SystemRegistry();
    return store->CreateKey(root, objectName, key, disposition);
}

NTSTATUS ZwOpenKey(RegKey& key, std::string_view objectName, const RegKey* root) {
    if (root != nullptr && !root->IsValid())
        return STATUS_INVALID_HANDLE;
    auto store = root != nullptr ? root->Store() : SystemRegistry();
    return store->OpenKey(root, objectName, key);
}

NTSTATUS ZwClose(RegKey& key) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    key.Close();
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(const RegKey& key) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    return key.Store()->DeleteKey(key);
}

NTSTATUS ZwRenameKey(const RegKey& key, std::string_view newName) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    return key.Store()->RenameKey(key, newName);
}

NTSTATUS ZwSetValueKey(const RegKey& key, std::string_view valueName, uint32_t type,
                       std::span<const uint8_t> data) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    return key.Store()->SetValue(key, valueName, type, data);
}

NTSTATUS ZwDeleteValueKey(const RegKey& key, std::string_view valueName) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    return key.Store()->DeleteValue(key, valueName);
}

NTSTATUS ZwQueryValueKey(const RegKey& key, std::string_view valueName,
                         KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, uint32_t length,
                         uint32_t* resultLength) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    if (infoClass != KEY_VALUE_INFORMATION_CLASS::KeyValuePartialInformation ||
        resultLength == nullptr || (buffer == nullptr && length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    REG_VALUE value;
    NTSTATUS status = key.Store()->QueryValue(key, valueName, value);
    if (!NT_SUCCESS(status))
        return status;
    const uint64_t needed = kKeyValuePartialInformationHeader + value.data.size();
    *resultLength = static_cast<uint32_t>(std::min<uint64_t>(needed, UINT32_MAX));
    if (length < kKeyValuePartialInformationHeader)
        return STATUS_BUFFER_TOO_SMALL;
    auto* out = static_cast<uint8_t*>(buffer);
    const uint32_t header[3] = {0, value.type, static_cast<uint32_t>(value.data.size())};
    std::memcpy(out, header, sizeof(header));
    if (length < needed)
        return STATUS_BUFFER_OVERFLOW;
    if (!value.data.empty()) {
        std::memcpy(out + kKeyValuePartialInformationHeader, value.data.data(), value.data.size());
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwNotifyChangeKey(const RegKey& key, Event& event, uint32_t completionFilter,
                           bool watchTree) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    NTSTATUS status = key.Store()->NotifyChange(key, event, completionFilter, watchTree);
    return NT_SUCCESS(status) ? STATUS_PENDING : status;
}

NTSTATUS ZwQueryKeyName(const RegKey& key, std::string& name) {
    if (!key.IsValid())
        return STATUS_INVALID_HANDLE;
    name = key.Path();
    return STATUS_SUCCESS;
}

NTSTATUS CmRegisterCallbackEx(RegistryCallback callback, std::string_view altitude,
                              uint64_t* cookie) {
    if (altitude.empty())
        return STATUS_INVALID_PARAMETER;
    return SystemRegistry()->RegisterCallback(std::move(callback), altitude, cookie);
}

NTSTATUS CmRegisterCallback(RegistryCallback callback, uint64_t* cookie) {
    return SystemRegistry()->RegisterCallback(std::move(callback), {}, cookie);
}

NTSTATUS CmUnRegisterCallback(uint64_t cookie) {
    return SystemRegistry()->UnregisterCallback(cookie);
}

namespace {

// Offered by name, as the kernel's export table offers them to a driver that looks them up.
const bool kExported = [] {
    CM_REGISTER_CALLBACK_EX registerEx = &CmRegisterCallbackEx;
    CM_REGISTER_CALLBACK registerPlain = &CmRegisterCallback;
    ExportRoutine("CmRegisterCallbackEx", reinterpret_cast<EXPORTED_ROUTINE>(registerEx));
    ExportRoutine("CmRegisterCallback", reinterpret_cast<EXPORTED_ROUTINE>(registerPlain));
    return true;
}();

}  // namespace

}  // namespace os
