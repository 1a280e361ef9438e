// The product settings the driver takes from the product key the service writes: the DNS
// remap list (reference counted, replaced whole), three booleans the traffic filter reads
// without a lock, and the encrypted-DNS resolvers a deployment adds to the built-in ones. The
// settings also hold the resolver table and the event that wakes the resolver thread, so that the
// DNS answer rewriting finds everything it asks for in one place.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/platform/remap_resolver.h"
#include "driver/platform/remap_tables.h"
#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/kernel/pool.h"
#include "os/registry/registry.h"

namespace wexo::drv {

inline constexpr char kProductKeyName[] = "\\REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel";
// The key's name in event-log entries.
inline constexpr char kProductKeyShortName[] = "Ostrel";
// Query value and notify: the driver never writes to the product key.
constexpr uint32_t kProductKeyAccess = 0x11;

inline constexpr char kDnsRemappingValue[] = "DNSRemapping";
inline constexpr char kBlockOnFailureValue[] = "BlockOnFailure";
inline constexpr char kDormantValue[] = "Dormant";
inline constexpr char kUnencryptedSearchValue[] = "UnencryptedSearch";
// Resolvers answering DNS over TLS or HTTPS beside the built-in ones (REG_MULTI_SZ of addresses
// and names); optional, for a deployment that knows of others.
inline constexpr char kEncryptedDnsEndpointsValue[] = "EncryptedDnsEndpoints";

// The remap list: one non-paged block, never changed once built. Entries follow the header, each
// a 16-bit source length, a 16-bit target length, the source bytes, a NUL, the target bytes and a
// NUL (UTF-8). The count is 0 while only the installed-list holder owns the block, each reader
// adds one while it reads, and the release that brings it to -1 frees it.
struct DnsRemapList {
    mutable int32_t referenceCount;
    uint32_t entryCount;
    uint32_t entriesLength;

    const uint8_t* Entries() const { return reinterpret_cast<const uint8_t*>(this + 1); }
};
static_assert(sizeof(DnsRemapList) == 12);

constexpr uint32_t kDnsRemapListTag = os::MakePoolTag("DRMl");
// The lengths and the two NULs of an entry.
constexpr uint32_t kDnsRemapEntryOverhead = 6;

struct DNS_REMAP_ENTRY {
    std::string_view source;
    std::string_view target;
};

// The entry at `*offset` of the list; advances the offset. False past the last entry.
bool NextDnsRemapEntry(const DnsRemapList& list, uint32_t* offset, DNS_REMAP_ENTRY* entry);

// Host names as DNS compares them: ASCII letters without regard to case, other bytes exactly.
bool RemapNamesEqual(std::string_view a, std::string_view b);

// Builds the list from the data of "DNSRemapping": REG_MULTI_SZ, an even length, the first pair of
// NUL characters ending exactly at the end; each string split at its first comma into source and
// target. Null when the value is refused (also when no string is usable, or without memory).
DnsRemapList* ParseDnsRemapping(uint32_t type, std::span<const uint8_t> data);
// Frees a list that was never installed.
void FreeDnsRemapList(DnsRemapList* list);
// Same entries length and the same entry bytes.
bool DnsRemapListsEqual(const DnsRemapList& a, const DnsRemapList& b);

class DRIVER_SETTINGS final : public DNS_REMAP_TABLES {
  public:
    DRIVER_SETTINGS();
    ~DRIVER_SETTINGS() override;
    DRIVER_SETTINGS(const DRIVER_SETTINGS&) = delete;
    DRIVER_SETTINGS& operator=(const DRIVER_SETTINGS&) = delete;

    // The product key, created when missing. Used by the watch thread only.
    os::NTSTATUS OpenProductKey();
    void CloseProductKey();
    bool IsProductKeyOpen() const { return productKey_.IsValid(); }
    const os::RegKey& ProductKey() const { return productKey_; }

    // With defaultsOnly every setting takes its default and no remap list is installed;
    // otherwise the four values are read from the open product key. A query that fails for a
    // reason other than a missing value writes event 0xC000000D "SETL". Only one thread reads at
    // a time (the start, then the watch thread).
    void ReadProductSettings(bool defaultsOnly);

    bool Dormant() const { return dormant_.load(std::memory_order_relaxed); }
    bool BlockOnFailure() const { return blockOnFailure_.load(std::memory_order_relaxed); }
    bool UnencryptedSearch() const override {
        return unencryptedSearch_.load(std::memory_order_relaxed);
    }
    // The strings of "EncryptedDnsEndpoints" as last read (empty when missing or malformed).
    std::vector<std::string> EncryptedDnsEndpoints() const;
    // Called on the reading thread after a reading changed at least one boolean or the list above.
    // Set it before the watch thread starts.
    void SetChangeHook(std::function<void()> hook) { changeHook_ = std::move(hook); }

    // DNS_REMAP_TABLES
    char* RemapLookup(const char* host) override;
    bool RemapTargetAddress(const char* target, os::AddressFamily family,
                            uint8_t* address) override;

    // The installed list with a reference taken (null when there is none); give it back with
    // ReleaseRemapList.
    const DnsRemapList* ReferenceRemapList();
    void ReleaseRemapList(const DnsRemapList* list);
    // Drops the installed list (the unwinding).
    void FreeRemapList();

    DNS_REMAP_TARGETS& Targets() { return targets_; }
    const DNS_REMAP_TARGETS& Targets() const { return targets_; }
    // Auto-reset, not signalled at start; the resolver thread's wake and stop event.
    os::Event& ResolverEvent() { return resolverEvent_; }
    void WakeResolver() { resolverEvent_.Set(); }

  private:
    void InstallRemapList(DnsRemapList* list);
    static bool UpdateFlag(std::atomic<bool>& flag, bool value);

    mutable os::SpinLock listLock_;
    DnsRemapList* list_ = nullptr;
    std::atomic<bool> blockOnFailure_{false};
    std::atomic<bool> dormant_{false};
    std::atomic<bool> unencryptedSearch_{false};
    mutable std::mutex encryptedDnsLock_;
    std::vector<std::string> encryptedDns_;
    os::RegKey productKey_;
    std::function<void()> changeHook_;
    DNS_REMAP_TARGETS targets_;
    os::Event resolverEvent_{os::EventType::Synchronization, false};
};

}  // namespace wexo::drv
