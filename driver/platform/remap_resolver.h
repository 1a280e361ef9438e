// The addresses of the DNS remap targets: a table the DNS answer rewriting reads at dispatch level,
// and the thread that keeps it current by asking the service to resolve every target, every two
// hours after a good round and every 15 seconds while rounds fail.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

#include "driver/channel/service_call_queue.h"
#include "driver/platform/system_thread.h"
#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/kernel/pool.h"
#include "os/wfp/ip_packet.h"

namespace wexo::drv {

class DRIVER_SETTINGS;

// One target: its name (own copy, NUL-terminated, length without the NUL) and the first address
// of each family the last good round learnt; all zero bytes mean none.
struct DnsRemapTarget {
    char* name = nullptr;
    uint16_t nameLength = 0;
    uint8_t ipv4[4] = {};
    uint8_t ipv6[16] = {};

    std::string_view Name() const { return {name, nameLength}; }
};

// The resolver table: one array under its own spin lock. It grows to exactly the size it needs
// and never shrinks; only the resolver thread changes which names it holds.
class DNS_REMAP_TARGETS {
  public:
    static constexpr uint32_t kTableTag = os::MakePoolTag("DRMa");
    static constexpr uint32_t kNameTag = os::MakePoolTag("DRMn");
    static constexpr uint32_t kCopyTag = os::MakePoolTag("DRMc");

    DNS_REMAP_TARGETS() = default;
    ~DNS_REMAP_TARGETS();
    DNS_REMAP_TARGETS(const DNS_REMAP_TARGETS&) = delete;
    DNS_REMAP_TARGETS& operator=(const DNS_REMAP_TARGETS&) = delete;

    // The address of `family` (4 or 16 bytes) of the entry named `name` (ASCII case ignored);
    // false when there is no such entry or it has no address of that family.
    bool Address(std::string_view name, os::AddressFamily family, uint8_t* address) const;

    // Makes the table hold the names of `targets` (distinct, ASCII case ignored): entries of
    // other names go, new names come in without addresses. When the array cannot grow, or a name
    // cannot be copied, the new names that do not fit are left out.
    void Update(std::span<const std::string_view> targets);

    // A copy of every entry, names included, in one non-paged block that FreeCopy releases; null
    // when the table is empty or there is no memory.
    DnsRemapTarget* Copy(uint32_t* count) const;
    static void FreeCopy(DnsRemapTarget* copy);

    // Writes the addresses of the copies into the live entries of the same names.
    void StoreAddresses(const DnsRemapTarget* copies, uint32_t count);

    // Frees the array and the names (the unwinding of a failed start, and the end of a host).
    void Free();

    uint32_t Count() const;
    uint32_t Capacity() const;

  private:
    DnsRemapTarget* FindLocked(std::string_view name) const;

    mutable os::SpinLock lock_;
    DnsRemapTarget* entries_ = nullptr;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
};

// The resolver thread. Its wake event (the settings' resolver event) doubles as its stop event.
class REMAP_RESOLVER {
  public:
    static constexpr uint32_t kRetryMs = 15'000;
    static constexpr uint32_t kRefreshMs = 7'200'000;
    static constexpr uint32_t kDistinctTag = os::MakePoolTag("DRMd");
    static constexpr uint32_t kStopTimeoutSeconds = 30;

    REMAP_RESOLVER(DRIVER_SETTINGS& settings, SERVICE_CALL_QUEUE& queue);
    ~REMAP_RESOLVER();
    REMAP_RESOLVER(const REMAP_RESOLVER&) = delete;
    REMAP_RESOLVER& operator=(const REMAP_RESOLVER&) = delete;

    // Starts the thread; the creation status (the caller reports a failure as "DNS1").
    os::NTSTATUS Start();
    // Ends the current wait early (a changed remap list, a service that registered).
    void Wake();
    // Asks the thread to end and waits for it. A thread blocked in a service call ends once the
    // call does, so a host shuts the service-call queue down first.
    void Stop();

    // One resolution round; true when every target resolved. The thread's body.
    bool RunRound();

    uint32_t Rounds() const { return rounds_.load(); }

  private:
    static void ThreadMain(SystemThread* record);
    bool CollectTargets();

    DRIVER_SETTINGS& settings_;
    SERVICE_CALL_QUEUE& queue_;
    SystemThread thread_;
    std::atomic<uint32_t> rounds_{0};
};

}  // namespace wexo::drv
