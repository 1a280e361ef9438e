// The DNS remap list from reply to driver: the XML reply of the list page and the built-in list's
// line format, the list written as "DNSRemapping" the way the service writes it, and that value
// read back by the driver's own parser. Every entry the registry can hold must arrive: none may be
// lost behind an entry that ends or splits the multi-string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/platform/driver_settings.h"
#include "os/registry/registry.h"
#include "service/checkin/dns_remap_list.h"
#include "service/support/debug_log.h"
#include "service/support/registry_helpers.h"

namespace {

using namespace wexo;

struct Registry {
    os::ScopedSystemRegistry registry{os::RegistryStore::CreateInMemory()};
    os::RegKey key;
    Registry() { os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, svc::kProductKeyPath, key); }
};

void WriteAndReadBack(const os::RegKey& key, const svc::DNS_REMAP_LIST& list) {
    size_t storable = 0;
    for (const std::string& entry : list) {
        storable += !entry.empty() && entry.find('\0') == std::string::npos ? 1 : 0;
    }
    os::RegDeleteValue(key, svc::kDnsRemappingValueName);
    if (!svc::WriteDnsRemapping(key, &list)) {
        return;
    }
    os::REG_VALUE value;
    if (os::RegQueryValue(key, svc::kDnsRemappingValueName, value) != os::ERROR_SUCCESS ||
        value.type != os::REG_MULTI_SZ) {
        std::abort();
    }
    if (os::RegMultiStringFromData(value.data).size() != storable) {
        std::abort();
    }
    drv::DnsRemapList* parsed = drv::ParseDnsRemapping(value.type, value.data);
    if (parsed == nullptr) {
        return;
    }
    uint32_t offset = 0;
    drv::DNS_REMAP_ENTRY entry;
    while (drv::NextDnsRemapEntry(*parsed, &offset, &entry)) {
        if (entry.source.empty() && entry.target.empty()) {
            std::abort();
        }
    }
    drv::FreeDnsRemapList(parsed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool kHooked = [] {
        svc::DebugSetMode(svc::DEBUG_OUTPUT_VERBOSE | svc::DEBUG_OUTPUT_XML);
        svc::DebugSetOutputHook([](uint32_t, std::string_view) {});
        return true;
    }();
    (void)kHooked;
    static Registry* registry = new Registry();

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    svc::DNS_REMAP_LIST list;
    if (svc::ReadDnsRemapReply(text, "HTTP://policy.test/api/mobile/v1/dns_remaps", &list)) {
        WriteAndReadBack(registry->key, list);
    }
    svc::ParseRemapLines(text, &list);
    for (const std::string& entry : list) {
        if (!svc::IsValidRemapEntry(entry)) {
            std::abort();
        }
    }
    WriteAndReadBack(registry->key, list);
    return 0;
}
