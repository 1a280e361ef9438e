// The service's settings: its in-memory copy of the product registry key (policy-server names,
// server mode, DNS remapping mode and the three flags the driver also reads), the operations that
// change them and write the key, and the one recursive lock that guards them together with the
// policy-server set.
//
// Readers and writers take the lock for every member. The lock is never held across network I/O:
// ApplyCheckInServers changes the members and writes the key under it, releases it, and only then
// rebuilds the policy-server set (whose pings run outside the lock).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/sync.h"
#include "os/registry/registry.h"

namespace wexo::svc {

class POLICY_SERVERS;

// The settings lock. Recursive. Ordinary users take it with lock()/unlock() (or a
// std::lock_guard); a thread that must be able to give up waiting for it, such as a policy
// server's ping thread told to stop while a rebuild holds the lock, waits with LockUnlessSignaled
// together with its stop objects.
//
// The lock itself is a plain mutex, so that many lookup threads asking for the current server at
// once keep most of the uncontended rate; only the threads that wait together with stop objects
// use an os/ event, which an unlock sets while such waiters exist.
class SETTINGS_LOCK {
  public:
    SETTINGS_LOCK() = default;
    SETTINGS_LOCK(const SETTINGS_LOCK&) = delete;
    SETTINGS_LOCK& operator=(const SETTINGS_LOCK&) = delete;

    void lock();
    void unlock();
    bool try_lock();
    // Takes the lock, or gives up as soon as one of `stopObjects` is signalled. Returns true with
    // the lock held; false with `*signaled` set to WAIT_OBJECT_0 + the index of the stop object
    // that was signalled (and acquired, as a wait acquires it), or WAIT_FAILED.
    bool LockUnlessSignaled(std::span<os::DispatcherObject* const> stopObjects,
                            uint32_t* signaled = nullptr);
    bool IsOwnedByCaller() const;

  private:
    std::mutex mutex_;
    std::atomic<uint32_t> owner_{0};  // os::CurrentThreadId() of the owner, 0 when free
    uint32_t count_ = 0;              // recursion depth; only the owner touches it
    std::atomic<uint32_t> stoppableWaiters_{0};
    os::Event released_{os::EventType::Synchronization};
};

using SETTINGS_GUARD = std::lock_guard<SETTINGS_LOCK>;

// Server modes of the policy-server set.
constexpr int32_t SERVER_MODE_NONE = -1;
constexpr int32_t SERVER_MODE_BALANCED = 0;
constexpr int32_t SERVER_MODE_TIERED = 1;

// The switch that takes back server verification of the check-in, the DNS remap list and update
// downloads, for a deployment whose servers cannot be verified.
constexpr char kAcceptAnyServerCertificateValue[] = "AcceptAnyServerCertificate";

// DNS remapping modes.
constexpr int32_t DNS_REMAPPING_BUILD_IN = 0;
constexpr int32_t DNS_REMAPPING_DYNAMIC = 1;

// "None", "Balanced", "Tiered"; any other value logs "Unknown ServerMode = %d" and gives
// "Unknown".
const char* ServerModeName(int32_t mode);
// "Build-in" for 0, "Dynamic" otherwise.
const char* DnsRemappingModeName(int32_t mode);

// Appends a policy-server name to a list unless it is refused: a name that is empty or only blanks
// logs "Blank policy server name encountered"; a name equal, ignoring case, to one already listed
// logs "Duplicate policy server = \"%s\"". Blanks around a name are dropped. A name that cannot be
// a host with an optional port (blanks inside, "/", "?", "#", "@", "\", control bytes) is refused
// with "Invalid policy server name = \"%s\"": it would change the meaning of every URL built from
// it. Returns whether the name was added.
bool AddPolicyServerName(std::vector<std::string>& names, std::string_view name);
// The names of a "PolicyServers" value: the text split at every ";", each piece added in order.
std::vector<std::string> SplitPolicyServerNames(std::string_view text);
// "%s:" with the title and one "#%u - %s" line per name (from 1), written as one block; or
// "%s: none" for an empty list.
void LogPolicyServerNames(const char* title, std::span<const std::string> names);

class SETTINGS {
  public:
    SETTINGS();
    ~SETTINGS();
    SETTINGS(const SETTINGS&) = delete;
    SETTINGS& operator=(const SETTINGS&) = delete;

    SETTINGS_LOCK& Lock() const { return *lock_; }
    // The lock shared with the threads that may outlive a stop (ping threads left to end).
    const std::shared_ptr<SETTINGS_LOCK>& SharedLock() const { return lock_; }

    // Creates or opens HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Ostrel in the process's registry. On
    // failure reports event 0xC0000064 with the error and the key name and returns false (the
    // service then does not start).
    bool OpenProductKey();
    bool IsProductKeyOpen() const;
    const os::RegKey& ProductKey() const { return key_; }

    // Fills the members from the product key (the key must be open; reads of a closed key fail
    // with their lines and leave the defaults). It also puts the TLS and update values in force
    // for the whole process, as the HTTP engine's TLS policy and the update key:
    //   "TlsCaFile" (a path, Windows or Linux): the trusted certificates of every verified request
    //       (the check-in, the DNS remap list, update downloads; all with "StrictTls") in place of
    //       the system's store; missing or blank: the system's store.
    //   "AcceptAnyServerCertificate" (DWORD, non-zero: on): those requests take any certificate
    //       again; each load that finds it on writes EVENT_SERVER_VERIFICATION_OFF (unless
    //       "StrictTls" is on, which wins).
    //   "StrictTls" (DWORD, non-zero: on): every HTTPS request of the service is verified, the
    //       policy servers' too.
    //   "UpdatePublicKey" (text): the key software updates must be signed with.
    // A missing or zero DWORD is off; a missing or blank "UpdatePublicKey" is no key; an
    // "UpdatePublicKey" that is there but not text (a wrong type) refuses every update rather than
    // taking unsigned ones, and a switch that is there but not a DWORD stays off.
    void LoadSettings();

    // After a check-in: stores a new server mode (not -1) and a new, different, non-empty name
    // list, writes "ServerMode" and "PolicyServers", and rebuilds the attached policy-server set
    // when either changed. The names are compared as received, name by name and byte by byte,
    // with those of the last check-in that changed them (before any, with the loaded list); the
    // list kept is the received one without blank, malformed or duplicate names. Returns true
    // only when the names changed. Must not be called with the
    // lock held: the rebuild pings servers and waits for threads, which the lock never spans.
    bool ApplyCheckInServers(int32_t serverMode, std::span<const std::string> names);
    // The two flags of a policy reply. Unencrypted search counts only in Build-in mode.
    void ApplyPolicyFlags(bool blockOnFailure, bool unencryptedSearch);
    void SetDnsRemappingMode(int32_t mode);
    void SetUnencryptedSearch(bool flag);

    // The set that ApplyCheckInServers rebuilds. POLICY_SERVERS attaches itself when it is made
    // and detaches itself when it goes; it must outlive the calls of ApplyCheckInServers.
    void AttachServerSet(POLICY_SERVERS* servers);
    void DetachServerSet(const POLICY_SERVERS* servers);

    // Readers; each takes the lock.
    std::vector<std::string> PolicyServerNames() const;
    int32_t ServerMode() const;
    int32_t DnsRemappingMode() const;
    bool BlockOnFailure() const;
    bool Dormant() const;
    bool UnencryptedSearch() const;
    bool StrictTls() const;
    std::string TlsCaFile() const;
    bool AcceptAnyServerCertificate() const;
    std::optional<std::string> UpdatePublicKey() const;

  private:
    // The opt-in security values, read and put in force at the end of LoadSettings (lock held).
    void LoadSecuritySettings();
    // Writes a DWORD of the product key; returns 0 or the Win32 error.
    uint32_t WriteDword(const char* valueName, uint32_t value);

    std::shared_ptr<SETTINGS_LOCK> lock_;
    os::RegKey key_;
    POLICY_SERVERS* servers_ = nullptr;

    std::vector<std::string> policyServers_;
    // The names of the last check-in that changed the list, as the server sent them; none before
    // the first such check-in, when the list loaded from the key is what a reply is compared with.
    std::optional<std::vector<std::string>> receivedServers_;
    int32_t serverMode_ = SERVER_MODE_NONE;
    int32_t dnsRemappingMode_ = DNS_REMAPPING_BUILD_IN;
    bool blockOnFailure_ = false;
    bool dormant_ = false;
    bool unencryptedSearch_ = false;
    bool strictTls_ = false;
    std::string tlsCaFile_;
    bool acceptAnyServer_ = false;
    std::optional<std::string> updatePublicKey_;
};

}  // namespace wexo::svc
