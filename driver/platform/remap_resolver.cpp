#include "driver/platform/remap_resolver.h"

#include <cstring>
#include <mutex>

#include "driver/platform/driver_settings.h"
#include "driver/platform/resolve_name.h"

namespace wexo::drv {
namespace {

bool IsNone(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

DNS_REMAP_TARGETS::~DNS_REMAP_TARGETS() {
    Free();
}

DnsRemapTarget* DNS_REMAP_TARGETS::FindLocked(std::string_view name) const {
    for (uint32_t i = 0; i < count_; ++i) {
        if (RemapNamesEqual(entries_[i].Name(), name)) {
            return &entries_[i];
        }
    }
    return nullptr;
}

bool DNS_REMAP_TARGETS::Address(std::string_view name, os::AddressFamily family,
                                uint8_t* address) const {
    std::lock_guard guard(lock_);
    const DnsRemapTarget* entry = FindLocked(name);
    if (entry == nullptr) {
        return false;
    }
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (family == os::AddressFamily::IPv4) {
        bytes = entry->ipv4;
        size = sizeof entry->ipv4;
    } else if (family == os::AddressFamily::IPv6) {
        bytes = entry->ipv6;
        size = sizeof entry->ipv6;
    } else {
        return false;
    }
    if (IsNone(bytes, size)) {
        return false;
    }
    std::memcpy(address, bytes, size);
    return true;
}

void DNS_REMAP_TARGETS::Update(std::span<const std::string_view> targets) {
    std::lock_guard guard(lock_);
    auto isTarget = [&](std::string_view name) {
        for (std::string_view target : targets) {
            if (RemapNamesEqual(name, target)) {
                return true;
            }
        }
        return false;
    };
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count_; ++i) {
        if (isTarget(entries_[i].Name())) {
            entries_[kept++] = entries_[i];
        } else {
            os::ExFreePoolWithTag(entries_[i].name, kNameTag);
        }
    }
    count_ = kept;

    uint64_t needed = count_;
    for (std::string_view target : targets) {
        if (FindLocked(target) == nullptr) {
            ++needed;
        }
    }
    if (needed > capacity_) {
        auto* grown = static_cast<DnsRemapTarget*>(os::ExAllocatePoolWithTag(
            os::PoolType::NonPaged, needed * sizeof(DnsRemapTarget), kTableTag));
        // Without memory the table keeps its size and the new names that do not fit wait for a
        // later round.
        if (grown != nullptr) {
            if (count_ != 0) {
                std::memcpy(grown, entries_, count_ * sizeof(DnsRemapTarget));
            }
            if (entries_ != nullptr) {
                os::ExFreePoolWithTag(entries_, kTableTag);
            }
            entries_ = grown;
            capacity_ = static_cast<uint32_t>(needed);
        }
    }
    for (std::string_view target : targets) {
        if (count_ == capacity_) {
            break;
        }
        if (FindLocked(target) != nullptr) {
            continue;
        }
        auto* name = static_cast<char*>(
            os::ExAllocatePoolWithTag(os::PoolType::NonPaged, target.size() + 1, kNameTag));
        if (name == nullptr) {
            continue;
        }
        std::memcpy(name, target.data(), target.size());
        name[target.size()] = '\0';
        DnsRemapTarget& entry = entries_[count_++];
        entry = DnsRemapTarget{};
        entry.name = name;
        entry.nameLength = static_cast<uint16_t>(target.size());
    }
}

DnsRemapTarget* DNS_REMAP_TARGETS::Copy(uint32_t* count) const {
    *count = 0;
    std::lock_guard guard(lock_);
    if (count_ == 0) {
        return nullptr;
    }
    size_t size = count_ * sizeof(DnsRemapTarget);
    for (uint32_t i = 0; i < count_; ++i) {
        size += entries_[i].nameLength + 1u;
    }
    auto* copy = static_cast<DnsRemapTarget*>(
        os::ExAllocatePoolWithTag(os::PoolType::NonPaged, size, kCopyTag));
    if (copy == nullptr) {
        return nullptr;
    }
    std::memcpy(copy, entries_, count_ * sizeof(DnsRemapTarget));
    char* names = reinterpret_cast<char*>(copy + count_);
    for (uint32_t i = 0; i < count_; ++i) {
        std::memcpy(names, entries_[i].name, entries_[i].nameLength + 1u);
        copy[i].name = names;
        names += entries_[i].nameLength + 1u;
    }
    *count = count_;
    return copy;
}

void DNS_REMAP_TARGETS::FreeCopy(DnsRemapTarget* copy) {
    if (copy != nullptr) {
        os::ExFreePoolWithTag(copy, kCopyTag);
    }
}

void DNS_REMAP_TARGETS::StoreAddresses(const DnsRemapTarget* copies, uint32_t count) {
    std::lock_guard guard(lock_);
    for (uint32_t i = 0; i < count; ++i) {
        DnsRemapTarget* entry = FindLocked(copies[i].Name());
        if (entry != nullptr) {
            std::memcpy(entry->ipv4, copies[i].ipv4, sizeof entry->ipv4);
            std::memcpy(entry->ipv6, copies[i].ipv6, sizeof entry->ipv6);
        }
    }
}

void DNS_REMAP_TARGETS::Free() {
    std::lock_guard guard(lock_);
    for (uint32_t i = 0; i < count_; ++i) {
        os::ExFreePoolWithTag(entries_[i].name, kNameTag);
    }
    if (entries_ != nullptr) {
        os::ExFreePoolWithTag(entries_, kTableTag);
    }
    entries_ = nullptr;
    count_ = 0;
    capacity_ = 0;
}

uint32_t DNS_REMAP_TARGETS::Count() const {
    std::lock_guard guard(lock_);
    return count_;
}

uint32_t DNS_REMAP_TARGETS::Capacity() const {
    std::lock_guard guard(lock_);
    return capacity_;
}

REMAP_RESOLVER::REMAP_RESOLVER(DRIVER_SETTINGS& settings, SERVICE_CALL_QUEUE& queue)
    : settings_(settings), queue_(queue) {}

REMAP_RESOLVER::~REMAP_RESOLVER() {
    Stop();
}

os::NTSTATUS REMAP_RESOLVER::Start() {
    return SystemThreadStart(&thread_, &settings_.ResolverEvent(), &REMAP_RESOLVER::ThreadMain,
                             reinterpret_cast<uintptr_t>(this));
}

void REMAP_RESOLVER::Wake() {
    settings_.WakeResolver();
}

void REMAP_RESOLVER::Stop() {
    if (!thread_.thread) {
        return;
    }
    thread_.stopRequested = true;
    SystemThreadStopAll(&settings_.ResolverEvent(), &thread_, &thread_ + 1, kStopTimeoutSeconds);
}

void REMAP_RESOLVER::ThreadMain(SystemThread* record) {
    auto* self = reinterpret_cast<REMAP_RESOLVER*>(record->context);
    while (!record->stopRequested) {
        // A sleeping machine has no service to answer: look again later without calling.
        uint32_t wait = kRetryMs;
        if (!self->queue_.Standby()) {
            wait = self->RunRound() ? kRefreshMs : kRetryMs;
        }
        if (record->stopRequested) {
            break;
        }
        SystemThreadWait(record, wait);
    }
}

bool REMAP_RESOLVER::CollectTargets() {
    const DnsRemapList* list = settings_.ReferenceRemapList();
    std::string_view* targets = nullptr;
    if (list != nullptr && list->entryCount != 0) {
        targets = static_cast<std::string_view*>(os::ExAllocatePoolWithTag(
            os::PoolType::Paged, list->entryCount * sizeof(std::string_view), kDistinctTag));
        if (targets == nullptr) {
            settings_.ReleaseRemapList(list);
            return false;
        }
    }
    uint32_t distinct = 0;
    if (targets != nullptr) {
        uint32_t offset = 0;
        DNS_REMAP_ENTRY entry;
        while (distinct < list->entryCount && NextDnsRemapEntry(*list, &offset, &entry)) {
            bool seen = false;
            for (uint32_t i = 0; i < distinct && !seen; ++i) {
                seen = RemapNamesEqual(targets[i], entry.target);
            }
            if (!seen) {
                targets[distinct++] = entry.target;
            }
        }
    }
    // The views point into the list, which the reference keeps alive until the table has copied
    // the names it needs.
    settings_.Targets().Update(std::span<const std::string_view>(targets, distinct));
    if (targets != nullptr) {
        os::ExFreePoolWithTag(targets, kDistinctTag);
    }
    settings_.ReleaseRemapList(list);
    return true;
}

bool REMAP_RESOLVER::RunRound() {
    ++rounds_;
    if (!CollectTargets()) {
        return false;
    }
    DNS_REMAP_TARGETS& table = settings_.Targets();
    uint32_t count = 0;
    DnsRemapTarget* copies = table.Copy(&count);
    if (copies == nullptr) {
        return false;
    }
    bool good = true;
    for (uint32_t i = 0; i < count && good; ++i) {
        DnsRemapTarget& target = copies[i];
        std::memset(target.ipv4, 0, sizeof target.ipv4);
        std::memset(target.ipv6, 0, sizeof target.ipv6);

        RESOLVE_RESULT v4 = ResolveName(queue_, target.Name(), NameFamily::V4);
        if (v4.outcome == ResolveOutcome::NoService) {
            good = false;
            break;
        }
        // Any other IPv4 failure still lets the IPv6 answer be asked for, but fails the round.
        bool failed = v4.outcome != ResolveOutcome::Resolved;
        if (!failed && v4.addresses.Count() != 0) {
            std::memcpy(target.ipv4, v4.addresses.Address(0), sizeof target.ipv4);
        }

        RESOLVE_RESULT v6 = ResolveName(queue_, target.Name(), NameFamily::V6);
        if (v6.outcome == ResolveOutcome::Resolved) {
            if (v6.addresses.Count() != 0) {
                std::memcpy(target.ipv6, v6.addresses.Address(0), sizeof target.ipv6);
            }
        } else if (v6.outcome != ResolveOutcome::NotFound) {
            good = false;
        }
        good = good && !failed;
    }
    // A failed round leaves the addresses the last good one learnt.
    if (good) {
        table.StoreAddresses(copies, count);
    }
    DNS_REMAP_TARGETS::FreeCopy(copies);
    return good;
}

}  // namespace wexo::drv
