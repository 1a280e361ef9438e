// The driver's registry routines, shared by the settings and the debug log: keys opened with a
// kernel handle and a case-insensitive name, values queried into fresh paged blocks that grow until
// the value fits, and the 32-bit and string readings with the type and size rules both users need.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/core/status.h"
#include "os/kernel/pool.h"
#include "os/registry/registry.h"

namespace wexo::drv {

constexpr uint32_t kRegistryValueTag = os::MakePoolTag("RGVL");

// Creates (non-volatile) or opens a key by its absolute name ("\REGISTRY\MACHINE\...").
os::NTSTATUS RegistryCreateKey(os::RegKey& key, std::string_view name, uint32_t access);
os::NTSTATUS RegistryOpenKey(os::RegKey& key, std::string_view name, uint32_t access);

// The value's partial information in one paged block (free with FreeRegistryValue), grown while
// the store answers STATUS_BUFFER_OVERFLOW or STATUS_BUFFER_TOO_SMALL;
// STATUS_INSUFFICIENT_RESOURCES when the block cannot be had.
os::NTSTATUS RegistryQueryValue(const os::RegKey& key, std::string_view valueName,
                                os::KEY_VALUE_PARTIAL_INFORMATION** information);
void FreeRegistryValue(os::KEY_VALUE_PARTIAL_INFORMATION* information);

// The first four data bytes of a value of at most 8 bytes, whatever its type; `status` gets the
// query's status (a longer value is STATUS_BUFFER_OVERFLOW). Returns 0 when the query fails.
uint32_t RegistryQueryUlong(const os::RegKey& key, std::string_view valueName,
                            os::NTSTATUS* status = nullptr);

// A REG_SZ, REG_EXPAND_SZ or REG_MULTI_SZ value as UTF-16 without its final NUL. Another type,
// a length below 2 bytes or an odd length is STATUS_UNSUCCESSFUL; 64 KiB or more is
// STATUS_BUFFER_OVERFLOW.
os::NTSTATUS RegistryQueryString(const os::RegKey& key, std::string_view valueName,
                                 std::u16string& text);

}  // namespace wexo::drv
