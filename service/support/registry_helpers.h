// Typed reads and writes of registry values for the service, on a key the caller opened. Every
// helper reports a failure through the thread's last error (os::GetLastError), so that callers can
// write "Unable to read registry value = \"%s\". %s. Error code = %lu." with the system's text.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "os/registry/registry.h"

namespace wexo::svc {

// The product key under HKEY_LOCAL_MACHINE, and its full name as log lines give it.
constexpr char kProductKeyPath[] = "SOFTWARE\\Corvane\\Ostrel";
constexpr char kProductKeyFullName[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\Ostrel";

// A REG_DWORD of exactly 4 bytes; any other type or size fails with ERROR_INVALID_DATATYPE (1804).
// A missing value fails with ERROR_FILE_NOT_FOUND. `value` is written only on success.
bool ReadRegistryDword(const os::RegKey& key, std::string_view valueName, uint32_t& value);
// As ReadRegistryDword; true when the value is non-zero.
bool ReadRegistryBoolean(const os::RegKey& key, std::string_view valueName, bool& value);
// REG_SZ or REG_EXPAND_SZ (not expanded), as UTF-8; other types fail with 1804. Text that is not
// valid UTF-16 is read with U+FFFD in place of the bad units.
bool ReadRegistryString(const os::RegKey& key, std::string_view valueName, std::string& value);
// The value's type and size in bytes.
bool ReadRegistryTypeAndSize(const os::RegKey& key, std::string_view valueName, uint32_t& type,
                             uint32_t& size);

// The number of subkeys; 0 after writing "RegQueryInfoKey failed. %s. Error code = %lu" to the
// debug log when the key cannot be queried.
uint32_t CountRegistrySubkeys(const os::RegKey& key);

enum class SubkeyWalk {
    Next,     // go on with the next subkey
    Deleted,  // the callback deleted this subkey: the next one now has its index
    Stop,     // end the walk
};
using SubkeyCallback = std::function<SubkeyWalk(const os::RegKey& key, const std::string& name)>;
// Calls the callback with each subkey's name, in the registry's order. Returns false with the last
// error set when the enumeration fails; a walk that ends or is stopped returns true. A callback
// that says Deleted without deleting does not make the walk go round forever.
bool EnumerateRegistrySubkeys(const os::RegKey& key, const SubkeyCallback& callback);

// Set a value; false with the last error set on failure.
bool WriteRegistryDword(const os::RegKey& key, std::string_view valueName, uint32_t value);
bool WriteRegistryString(const os::RegKey& key, std::string_view valueName, std::string_view text);
// REG_MULTI_SZ: each string with its terminating NUL, then one more NUL; an empty list is one pair
// of NUL characters. An empty string cannot be stored inside the list (it would end it): the
// write is refused with ERROR_INVALID_PARAMETER.
bool WriteRegistryMultiString(const os::RegKey& key, std::string_view valueName,
                              std::span<const std::string> strings);

}  // namespace wexo::svc
