#include "driver/platform/driver_settings.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "driver/platform/event_log.h"
#include "driver/platform/registry_values.h"

namespace wexo::drv {
namespace {

// The text of "DNSRemapping" converted to UTF-8, for the two passes that build the list.
constexpr uint32_t kRemapTextTag = os::MakePoolTag("DRMu");
constexpr uint32_t kLongestName = 0xFFFF;

bool IsAsciiUpper(char c) {
    return c >= 'A' && c <= 'Z';
}

char AsciiLower(char c) {
    return IsAsciiUpper(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

std::span<const uint8_t> DataOf(const os::KEY_VALUE_PARTIAL_INFORMATION* information) {
    return {reinterpret_cast<const uint8_t*>(information) + os::kKeyValuePartialInformationHeader,
            information->DataLength};
}

// Queries one product value. A missing value is no news; any other failure goes to the event log.
os::KEY_VALUE_PARTIAL_INFORMATION* QueryProductValue(const os::RegKey& key, const char* name) {
    os::KEY_VALUE_PARTIAL_INFORMATION* information = nullptr;
    os::NTSTATUS status = RegistryQueryValue(key, name, &information);
    if (os::NT_SUCCESS(status)) {
        return information;
    }
    if (status != os::STATUS_OBJECT_NAME_NOT_FOUND) {
        WriteDriverEvent(DRIVER_EVENT_QUERY_VALUE_FAILED, UniqueValue("SETL"), status,
                         {name, kProductKeyShortName, StatusText(status)});
    }
    return nullptr;
}

// A boolean counts only as a REG_DWORD of exactly four bytes; anything else is the default.
bool ReadBoolean(const os::RegKey& key, const char* name) {
    os::KEY_VALUE_PARTIAL_INFORMATION* information = QueryProductValue(key, name);
    if (information == nullptr) {
        return false;
    }
    bool value = false;
    if (information->Type == os::REG_DWORD && information->DataLength == 4) {
        uint32_t dword = 0;
        std::memcpy(&dword, DataOf(information).data(), 4);
        value = dword != 0;
    }
    FreeRegistryValue(information);
    return value;
}

// UTF-16 code units to UTF-8, unpaired surrogates as U+FFFD; `out` holds 3 bytes per unit.
size_t Utf16ToUtf8(std::span<const uint8_t> data, char* out) {
    const size_t units = data.size() / 2;
    auto unit = [&](size_t i) {
        uint16_t u;
        std::memcpy(&u, data.data() + i * 2, 2);
        return static_cast<uint32_t>(u);
    };
    size_t length = 0;
    for (size_t i = 0; i < units; ++i) {
        uint32_t code = unit(i);
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 &&
            unit(i + 1) <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out[length++] = static_cast<char>(code);
        } else if (code < 0x800) {
            out[length++] = static_cast<char>(0xC0 | code >> 6);
            out[length++] = static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out[length++] = static_cast<char>(0xE0 | code >> 12);
            out[length++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out[length++] = static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out[length++] = static_cast<char>(0xF0 | code >> 18);
            out[length++] = static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out[length++] = static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out[length++] = static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return length;
}

// Whether the first pair of NUL characters ends exactly at the end of the data.
bool IsWellFormedMultiString(std::span<const uint8_t> data) {
    const size_t units = data.size() / 2;
    for (size_t i = 0; i + 1 < units; ++i) {
        if (data[i * 2] == 0 && data[i * 2 + 1] == 0 && data[i * 2 + 2] == 0 &&
            data[i * 2 + 3] == 0) {
            return i + 2 == units;
        }
    }
    return false;
}

// The strings of a REG_MULTI_SZ value in UTF-8; empty when the value is missing or malformed.
std::vector<std::string> ReadMultiString(const os::RegKey& key, const char* name) {
    std::vector<std::string> strings;
    os::KEY_VALUE_PARTIAL_INFORMATION* information = QueryProductValue(key, name);
    if (information == nullptr) {
        return strings;
    }
    std::span<const uint8_t> data = DataOf(information);
    if (information->Type == os::REG_MULTI_SZ && data.size() % 2 == 0 &&
        IsWellFormedMultiString(data)) {
        std::string text(data.size() / 2 * 3, '\0');
        text.resize(Utf16ToUtf8(data, text.data()));
        size_t start = 0;
        for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
            if (end > start) {
                strings.emplace_back(text, start, end - start);
            }
        }
    }
    FreeRegistryValue(information);
    return strings;
}

// One string of the list as an entry, or false when it is skipped: no comma, nothing before or
// after it, a target that is its own source, or a name too long for the entry's 16-bit length.
bool SplitRemapString(std::string_view text, DNS_REMAP_ENTRY* entry) {
    size_t comma = text.find(',');
    if (comma == std::string_view::npos || comma == 0 || comma + 1 == text.size()) {
        return false;
    }
    entry->source = text.substr(0, comma);
    entry->target = text.substr(comma + 1);
    if (entry->source.size() > kLongestName || entry->target.size() > kLongestName) {
        return false;
    }
    return !RemapNamesEqual(entry->source, entry->target);
}

// Calls `visit` for each usable string of the converted text (its strings, each ended by a NUL,
// and the final NUL).
template <typename Visit>
void ForEachRemapString(std::string_view text, Visit&& visit) {
    std::string_view strings = text.substr(0, text.size() - 1);
    size_t start = 0;
    while (start < strings.size()) {
        size_t end = strings.find('\0', start);
        if (end == std::string_view::npos) {
            end = strings.size();
        }
        DNS_REMAP_ENTRY entry;
        if (SplitRemapString(strings.substr(start, end - start), &entry)) {
            visit(entry);
        }
        start = end + 1;
    }
}

void PutLength(uint8_t* at, size_t length) {
    auto value = static_cast<uint16_t>(length);
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

bool RemapNamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) {
            return false;
        }
    }
    return true;
}

bool NextDnsRemapEntry(const DnsRemapList& list, uint32_t* offset, DNS_REMAP_ENTRY* entry) {
    const uint8_t* entries = list.Entries();
    uint64_t at = *offset;
    if (at + 4 > list.entriesLength) {
        return false;
    }
    uint16_t sourceLength;
    uint16_t targetLength;
    std::memcpy(&sourceLength, entries + at, 2);
    std::memcpy(&targetLength, entries + at + 2, 2);
    uint64_t next = at + kDnsRemapEntryOverhead + sourceLength + targetLength;
    if (next > list.entriesLength) {
        return false;
    }
    const char* source = reinterpret_cast<const char*>(entries + at + 4);
    entry->source = std::string_view(source, sourceLength);
    entry->target = std::string_view(source + sourceLength + 1, targetLength);
    *offset = static_cast<uint32_t>(next);
    return true;
}

DnsRemapList* ParseDnsRemapping(uint32_t type, std::span<const uint8_t> data) {
    if (type != os::REG_MULTI_SZ || data.size() % 2 != 0 || !IsWellFormedMultiString(data)) {
        return nullptr;
    }
    const size_t textCapacity = data.size() / 2 * 3;
    auto* text = static_cast<char*>(
        os::ExAllocatePoolWithTag(os::PoolType::Paged, textCapacity, kRemapTextTag));
    if (text == nullptr) {
        return nullptr;
    }
    std::string_view converted(text, Utf16ToUtf8(data, text));

    uint64_t count = 0;
    uint64_t length = 0;
    ForEachRemapString(converted, [&](const DNS_REMAP_ENTRY& entry) {
        ++count;
        length += entry.source.size() + entry.target.size() + kDnsRemapEntryOverhead;
    });
    DnsRemapList* list = nullptr;
    if (count != 0 && length <= UINT32_MAX - sizeof(DnsRemapList)) {
        list = static_cast<DnsRemapList*>(os::ExAllocatePoolWithTag(
            os::PoolType::NonPaged, sizeof(DnsRemapList) + length, kDnsRemapListTag));
    }
    if (list != nullptr) {
        list->referenceCount = 0;
        list->entryCount = static_cast<uint32_t>(count);
        list->entriesLength = static_cast<uint32_t>(length);
        uint8_t* at = reinterpret_cast<uint8_t*>(list + 1);
        ForEachRemapString(converted, [&](const DNS_REMAP_ENTRY& entry) {
            PutLength(at, entry.source.size());
            PutLength(at + 2, entry.target.size());
            at += 4;
            std::memcpy(at, entry.source.data(), entry.source.size());
            at += entry.source.size();
            *at++ = 0;
            std::memcpy(at, entry.target.data(), entry.target.size());
            at += entry.target.size();
            *at++ = 0;
        });
    }
    os::ExFreePoolWithTag(text, kRemapTextTag);
    return list;
}

void FreeDnsRemapList(DnsRemapList* list) {
    if (list != nullptr) {
        os::ExFreePoolWithTag(list, kDnsRemapListTag);
    }
}

bool DnsRemapListsEqual(const DnsRemapList& a, const DnsRemapList& b) {
    return a.entriesLength == b.entriesLength &&
           std::memcmp(a.Entries(), b.Entries(), a.entriesLength) == 0;
}

DRIVER_SETTINGS::DRIVER_SETTINGS() = default;

DRIVER_SETTINGS::~DRIVER_SETTINGS() {
    FreeRemapList();
    targets_.Free();
}

os::NTSTATUS DRIVER_SETTINGS::OpenProductKey() {
    return RegistryCreateKey(productKey_, kProductKeyName, kProductKeyAccess);
}

void DRIVER_SETTINGS::CloseProductKey() {
    productKey_.Close();
}

void DRIVER_SETTINGS::ReadProductSettings(bool defaultsOnly) {
    DnsRemapList* list = nullptr;
    bool blockOnFailure = false;
    bool dormant = false;
    bool unencryptedSearch = false;
    std::vector<std::string> encryptedDns;
    if (!defaultsOnly) {
        if (auto* information = QueryProductValue(productKey_, kDnsRemappingValue)) {
            list = ParseDnsRemapping(information->Type, DataOf(information));
            FreeRegistryValue(information);
        }
        blockOnFailure = ReadBoolean(productKey_, kBlockOnFailureValue);
        dormant = ReadBoolean(productKey_, kDormantValue);
        unencryptedSearch = ReadBoolean(productKey_, kUnencryptedSearchValue);
        encryptedDns = ReadMultiString(productKey_, kEncryptedDnsEndpointsValue);
    }
    InstallRemapList(list);
    bool changed = false;
    {
        std::lock_guard guard(encryptedDnsLock_);
        if (encryptedDns != encryptedDns_) {
            encryptedDns_ = std::move(encryptedDns);
            changed = true;
        }
    }
    changed = UpdateFlag(blockOnFailure_, blockOnFailure) || changed;
    changed = UpdateFlag(dormant_, dormant) || changed;
    changed = UpdateFlag(unencryptedSearch_, unencryptedSearch) || changed;
    if (changed && changeHook_) {
        changeHook_();
    }
}

std::vector<std::string> DRIVER_SETTINGS::EncryptedDnsEndpoints() const {
    std::lock_guard guard(encryptedDnsLock_);
    return encryptedDns_;
}

bool DRIVER_SETTINGS::UpdateFlag(std::atomic<bool>& flag, bool value) {
    if (flag.load(std::memory_order_relaxed) == value) {
        return false;
    }
    flag.store(value, std::memory_order_relaxed);
    return true;
}

void DRIVER_SETTINGS::InstallRemapList(DnsRemapList* list) {
    // Only the reading thread replaces the list, and the holder's share keeps the installed one
    // alive, so it is compared without the lock.
    DnsRemapList* installed = list_;
    if (installed == nullptr && list == nullptr) {
        return;
    }
    if (installed != nullptr && list != nullptr && DnsRemapListsEqual(*installed, *list)) {
        FreeDnsRemapList(list);
        return;
    }
    {
        std::lock_guard guard(listLock_);
        list_ = list;
    }
    ReleaseRemapList(installed);
    WakeResolver();
}

const DnsRemapList* DRIVER_SETTINGS::ReferenceRemapList() {
    std::lock_guard guard(listLock_);
    if (list_ != nullptr) {
        ++list_->referenceCount;
    }
    return list_;
}

void DRIVER_SETTINGS::ReleaseRemapList(const DnsRemapList* list) {
    if (list == nullptr) {
        return;
    }
    bool last = false;
    {
        std::lock_guard guard(listLock_);
        last = --list->referenceCount == -1;
    }
    if (last) {
        FreeDnsRemapList(const_cast<DnsRemapList*>(list));
    }
}

void DRIVER_SETTINGS::FreeRemapList() {
    DnsRemapList* installed = nullptr;
    {
        std::lock_guard guard(listLock_);
        installed = list_;
        list_ = nullptr;
    }
    ReleaseRemapList(installed);
}

char* DRIVER_SETTINGS::RemapLookup(const char* host) {
    if (host == nullptr) {
        return nullptr;
    }
    const DnsRemapList* list = ReferenceRemapList();
    if (list == nullptr) {
        return nullptr;
    }
    std::string_view name(host);
    char* target = nullptr;
    uint32_t offset = 0;
    DNS_REMAP_ENTRY entry;
    while (NextDnsRemapEntry(*list, &offset, &entry)) {
        if (RemapNamesEqual(entry.source, name)) {
            target = static_cast<char*>(os::ExAllocatePoolWithTag(
                os::PoolType::NonPaged, entry.target.size() + 1, kRemapTargetTag));
            if (target != nullptr) {
                std::memcpy(target, entry.target.data(), entry.target.size());
                target[entry.target.size()] = '\0';
            }
            break;
        }
    }
    ReleaseRemapList(list);
    return target;
}

bool DRIVER_SETTINGS::RemapTargetAddress(const char* target, os::AddressFamily family,
                                         uint8_t* address) {
    if (target == nullptr || address == nullptr) {
        return false;
    }
    return targets_.Address(target, family, address);
}

}  // namespace wexo::drv
