#include "service/checkin/settings.h"

#include <strings.h>

#include <algorithm>
#include <utility>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "service/checkin/software_update.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/event_log.h"
#include "service/support/http_engine.h"
#include "service/support/registry_helpers.h"
#include "service/support/text.h"

namespace wexo::svc {

// ---- SETTINGS_LOCK ----

void SETTINGS_LOCK::lock() {
    const uint32_t self = os::CurrentThreadId();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++count_;
        return;
    }
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
}

bool SETTINGS_LOCK::try_lock() {
    const uint32_t self = os::CurrentThreadId();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++count_;
        return true;
    }
    if (!mutex_.try_lock()) {
        return false;
    }
    owner_.store(self, std::memory_order_relaxed);
    count_ = 1;
    return true;
}

void SETTINGS_LOCK::unlock() {
    if (owner_.load(std::memory_order_relaxed) != os::CurrentThreadId()) {
        return;  // not the owner: nothing to release
    }
    if (--count_ != 0) {
        return;
    }
    owner_.store(0, std::memory_order_relaxed);
    mutex_.unlock();
    // A read-modify-write, as the waiter's count is: either this one comes later and sees the
    // waiter, or the waiter's comes later and its next try sees the lock free.
    if (stoppableWaiters_.fetch_add(0, std::memory_order_acq_rel) != 0) {
        released_.Set();
    }
}

bool SETTINGS_LOCK::LockUnlessSignaled(std::span<os::DispatcherObject* const> stopObjects,
                                       uint32_t* signaled) {
    if (try_lock()) {
        return true;
    }
    if (stopObjects.size() + 1 > os::MAXIMUM_WAIT_OBJECTS) {
        if (signaled != nullptr) {
            *signaled = os::WAIT_FAILED;
        }
        return false;
    }
    std::vector<os::DispatcherObject*> objects(stopObjects.begin(), stopObjects.end());
    objects.push_back(&released_);
    const uint32_t releasedIndex = os::WAIT_OBJECT_0 + static_cast<uint32_t>(stopObjects.size());

    stoppableWaiters_.fetch_add(1, std::memory_order_acq_rel);
    bool acquired = false;
    uint32_t result = os::WAIT_FAILED;
    for (;;) {
        if (try_lock()) {
            acquired = true;
            break;
        }
        // The release event is auto-reset: one unlock wakes one stoppable waiter, which either
        // takes the lock (and sets the event again at its own unlock) or waits again.
        result = os::WaitForMultipleObjects(objects, false, os::INFINITE);
        if (result != releasedIndex) {
            break;
        }
    }
    // A waiter that gives up never took a wake-up: a wait acquires only the object it returns.
    stoppableWaiters_.fetch_sub(1, std::memory_order_acq_rel);
    if (!acquired && signaled != nullptr) {
        *signaled = result;
    }
    return acquired;
}

bool SETTINGS_LOCK::IsOwnedByCaller() const {
    return owner_.load(std::memory_order_relaxed) == os::CurrentThreadId();
}

// ---- Names and texts ----

namespace {

const char* BoolText(bool value) {
    return value ? "true" : "false";
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A host name, an IPv4 address or a bracketed IPv6 address, with an optional ":port".
bool IsHostCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')) {
        return true;
    }
    return c == '-' || c == '.' || c == '_' || c == ':' || c == '[' || c == ']' || u >= 0x80;
}

void LogReadFailure(const char* valueName) {
    const uint32_t error = os::GetLastError();
    DebugPrint("Unable to read registry value = \"%s\". %s. Error code = %lu.", valueName,
               os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
}

// A DWORD switch of the product key: off when it is missing, and (logged) when it cannot be read.
bool ReadSwitch(const os::RegKey& key, const char* name) {
    bool value = false;
    if (!ReadRegistryBoolean(key, name, value)) {
        if (os::GetLastError() != os::ERROR_FILE_NOT_FOUND) {
            LogReadFailure(name);
        }
        return false;
    }
    return value;
}

// "#%u - %s" lines, numbered from 1, held with the block their caller opened.
void LogNumberedNames(std::span<const std::string> names) {
    unsigned number = 1;
    for (const std::string& name : names) {
        DebugWrite(LINE_PENDING, "#%u - %s", number++, name.c_str());
    }
}

}  // namespace

const char* ServerModeName(int32_t mode) {
    switch (mode) {
        case SERVER_MODE_NONE:
            return "None";
        case SERVER_MODE_BALANCED:
            return "Balanced";
        case SERVER_MODE_TIERED:
            return "Tiered";
        default:
            DebugPrint("Unknown ServerMode = %d", mode);
            return "Unknown";
    }
}

const char* DnsRemappingModeName(int32_t mode) {
    return mode == DNS_REMAPPING_BUILD_IN ? "Build-in" : "Dynamic";
}

bool AddPolicyServerName(std::vector<std::string>& names, std::string_view name) {
    while (!name.empty() && IsBlank(name.front())) {
        name.remove_prefix(1);
    }
    while (!name.empty() && IsBlank(name.back())) {
        name.remove_suffix(1);
    }
    if (name.empty()) {
        DebugPrint("Blank policy server name encountered");
        return false;
    }
    const std::string text(name);
    if (!std::all_of(name.begin(), name.end(), IsHostCharacter)) {
        DebugPrint("Invalid policy server name = \"%s\"", text.c_str());
        return false;
    }
    for (const std::string& listed : names) {
        if (EqualsNoCase(listed, name)) {
            DebugPrint("Duplicate policy server = \"%s\"", text.c_str());
            return false;
        }
    }
    names.push_back(text);
    return true;
}

std::vector<std::string> SplitPolicyServerNames(std::string_view text) {
    std::vector<std::string> names;
    for (;;) {
        const size_t end = text.find(';');
        AddPolicyServerName(names, text.substr(0, end));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return names;
}

void LogPolicyServerNames(const char* title, std::span<const std::string> names) {
    if (names.empty()) {
        DebugPrint("%s: none", title);
        return;
    }
    DEBUG_PENDING_LINES block;
    DebugWrite(LINE_PENDING, "%s:", title);
    LogNumberedNames(names);
}

// ---- SETTINGS ----

SETTINGS::SETTINGS() : lock_(std::make_shared<SETTINGS_LOCK>()) {}

SETTINGS::~SETTINGS() = default;

bool SETTINGS::OpenProductKey() {
    os::RegKey key;
    const uint32_t error = os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, kProductKeyPath, key);
    if (error != os::ERROR_SUCCESS) {
        ReportServiceErrorEvent(EVENT_CREATE_REGISTRY_KEY_FAILED, error, {kProductKeyFullName});
        return false;
    }
    SETTINGS_GUARD guard(*lock_);
    key_ = std::move(key);
    return true;
}

bool SETTINGS::IsProductKeyOpen() const {
    SETTINGS_GUARD guard(*lock_);
    return key_.IsValid();
}

void SETTINGS::AttachServerSet(POLICY_SERVERS* servers) {
    SETTINGS_GUARD guard(*lock_);
    servers_ = servers;
}

void SETTINGS::DetachServerSet(const POLICY_SERVERS* servers) {
    SETTINGS_GUARD guard(*lock_);
    if (servers_ == servers) {
        servers_ = nullptr;
    }
}

uint32_t SETTINGS::WriteDword(const char* valueName, uint32_t value) {
    return WriteRegistryDword(key_, valueName, value) ? os::ERROR_SUCCESS : os::GetLastError();
}

void SETTINGS::LoadSettings() {
    SETTINGS_GUARD guard(*lock_);
    DebugPrint("Loading registry settings");

    auto readBoolean = [this](const char* name) { return ReadSwitch(key_, name); };
    // Values above 1, taken as unsigned, read as 0.
    auto readMode = [this](const char* name) {
        uint32_t value = 0;
        if (!ReadRegistryDword(key_, name, value)) {
            if (os::GetLastError() != os::ERROR_FILE_NOT_FOUND) {
                LogReadFailure(name);
            }
            return 0;
        }
        return value > 1 ? 0 : static_cast<int32_t>(value);
    };
    blockOnFailure_ = readBoolean("BlockOnFailure");
    dormant_ = readBoolean("Dormant");
    unencryptedSearch_ = readBoolean("UnencryptedSearch");
    dnsRemappingMode_ = readMode("DNSRemappingMode");
    serverMode_ = readMode("ServerMode");

    std::string text;
    if (ReadRegistryString(key_, "PolicyServers", text)) {
        policyServers_ = SplitPolicyServerNames(text);
        receivedServers_.reset();
    } else {
        LogReadFailure("PolicyServers");
    }

    DebugWrite(LINE_ALWAYS_LOG,
               "Settings:\n    Unencrypted search = %s\n    DNS remapping mode = %s\n    Block on "
               "failure = %s\n    Dormant mode = %s\n    Server mode = %s",
               BoolText(unencryptedSearch_), DnsRemappingModeName(dnsRemappingMode_),
               BoolText(blockOnFailure_), BoolText(dormant_), ServerModeName(serverMode_));
    LogPolicyServerNames("Registry policy servers", policyServers_);
    LoadSecuritySettings();
}

void SETTINGS::LoadSecuritySettings() {
    auto readSwitch = [this](const char* name) { return ReadSwitch(key_, name); };
    strictTls_ = readSwitch("StrictTls");
    acceptAnyServer_ = readSwitch(kAcceptAnyServerCertificateValue);
    tlsCaFile_.clear();
    if (!ReadRegistryString(key_, "TlsCaFile", tlsCaFile_)) {
        tlsCaFile_.clear();
        if (os::GetLastError() != os::ERROR_FILE_NOT_FOUND) {
            LogReadFailure("TlsCaFile");
        }
    }
    tlsCaFile_ = std::string(TrimBlanks(tlsCaFile_));
    // Paths in the product key are Windows paths ("C:\etc\wexo\ca.pem"); one already written
    // the Linux way is taken as it is.
    if (std::optional<std::string> linuxPath = os::LinuxPathFromWindows(tlsCaFile_)) {
        tlsCaFile_ = std::move(*linuxPath);
    }
    updatePublicKey_.reset();
    std::string publicKey;
    if (ReadRegistryString(key_, "UpdatePublicKey", publicKey)) {
        if (!std::all_of(publicKey.begin(), publicKey.end(), IsBlank)) {
            updatePublicKey_ = std::move(publicKey);
        }
    } else if (os::GetLastError() != os::ERROR_FILE_NOT_FOUND) {
        // Someone meant updates to be signed: a value that cannot be read is no reason to take
        // unsigned ones.
        LogReadFailure("UpdatePublicKey");
        updatePublicKey_.emplace();
    }

    SetHttpTlsPolicy({strictTls_, tlsCaFile_, acceptAnyServer_ && !strictTls_});
    SetUpdatePublicKey(updatePublicKey_);
    if (strictTls_) {
        if (tlsCaFile_.empty()) {
            DebugWrite(LINE_ALWAYS_LOG, "Strict TLS = on, trusted certificates of the system");
        } else {
            DebugWrite(LINE_ALWAYS_LOG, "Strict TLS = on, trusted certificates = \"%s\"",
                       tlsCaFile_.c_str());
        }
        if (acceptAnyServer_) {
            DebugWrite(LINE_ALWAYS_LOG, "%s ignored: strict TLS is on",
                       kAcceptAnyServerCertificateValue);
        }
    } else if (acceptAnyServer_) {
        // Anyone on the network path may then answer the check-in and offer updates: said at
        // every start for as long as the switch stays on.
        DebugWrite(LINE_ALWAYS_LOG, "Server verification = off (%s)",
                   kAcceptAnyServerCertificateValue);
        ReportServiceEvent(os::EVENTLOG_WARNING_TYPE, EVENT_SERVER_VERIFICATION_OFF,
                           {kAcceptAnyServerCertificateValue});
    } else if (!tlsCaFile_.empty()) {
        DebugWrite(LINE_ALWAYS_LOG, "Server verification = on, trusted certificates = \"%s\"",
                   tlsCaFile_.c_str());
    }
    if (updatePublicKey_) {
        DebugWrite(LINE_ALWAYS_LOG, "Signed software updates = on");
    }
}

bool SETTINGS::ApplyCheckInServers(int32_t serverMode, std::span<const std::string> names) {
    if (serverMode == SERVER_MODE_NONE && names.empty()) {
        return false;
    }
    bool modeChanged = false;
    bool namesChanged = false;
    POLICY_SERVERS* servers = nullptr;
    {
        SETTINGS_GUARD guard(*lock_);
        if (serverMode != SERVER_MODE_NONE && serverMode != serverMode_) {
            const char* from = ServerModeName(serverMode_);
            const char* to = ServerModeName(serverMode);
            DebugPrint("Server mode changing from %s to %s", from, to);
            serverMode_ = serverMode;
            modeChanged = true;
            const uint32_t error = WriteDword("ServerMode", static_cast<uint32_t>(serverMode));
            if (error != os::ERROR_SUCCESS) {
                DebugPrint("Unable to set registry value \"%s\".\n    %s. Error code = %lu.",
                           "ServerMode", os::SystemMessageText(error).c_str(),
                           static_cast<unsigned long>(error));
            }
        }
        // A change is a change of the list as the server sends it: a reply that differs from the
        // last one only in names the rules below drop still counts, and is written.
        const std::vector<std::string>& previous =
            receivedServers_ ? *receivedServers_ : policyServers_;
        if (!names.empty() &&
            !std::equal(names.begin(), names.end(), previous.begin(), previous.end())) {
            // The same rules as for the registry's list: a reply cannot bring blank, duplicate or
            // malformed names into the set.
            std::vector<std::string> accepted;
            for (const std::string& name : names) {
                AddPolicyServerName(accepted, name);
            }
            // A reply of nothing but bad names leaves the set the service has.
            if (!accepted.empty()) {
                receivedServers_.emplace(names.begin(), names.end());
                {
                    DEBUG_PENDING_LINES block;
                    DebugWrite(LINE_PENDING, "New policy server names");
                    LogNumberedNames(accepted);
                }
                policyServers_ = std::move(accepted);
                namesChanged = true;
                std::string joined;
                for (const std::string& name : policyServers_) {
                    joined += joined.empty() ? "" : ";";
                    joined += name;
                }
                if (!WriteRegistryString(key_, "PolicyServers", joined)) {
                    const uint32_t error = os::GetLastError();
                    DebugPrint("Unable to set registry value \"%s\".\n    %s. Error code = %lu.",
                               "PolicyServers", os::SystemMessageText(error).c_str(),
                               static_cast<unsigned long>(error));
                }
            }
        }
        servers = servers_;
    }
    if ((modeChanged || namesChanged) && servers != nullptr) {
        servers->Rebuild();
    }
    return namesChanged;
}

void SETTINGS::ApplyPolicyFlags(bool blockOnFailure, bool unencryptedSearch) {
    SETTINGS_GUARD guard(*lock_);
    if (blockOnFailure != blockOnFailure_) {
        blockOnFailure_ = blockOnFailure;
        const uint32_t error = WriteDword("BlockOnFailure", blockOnFailure ? 1 : 0);
        if (error != os::ERROR_SUCCESS) {
            DebugPrint("Unable to set registry value \"%s\".\n    %s. Error code = %lu.",
                       "BlockOnFailure", os::SystemMessageText(error).c_str(),
                       static_cast<unsigned long>(error));
        }
    }
    // In Dynamic mode the DNS remap list decides unencrypted search, not the policy reply.
    if (dnsRemappingMode_ == DNS_REMAPPING_BUILD_IN && unencryptedSearch != unencryptedSearch_) {
        unencryptedSearch_ = unencryptedSearch;
        const uint32_t error = WriteDword("UnencryptedSearch", unencryptedSearch ? 1 : 0);
        if (error != os::ERROR_SUCCESS) {
            DebugPrint("Unable to set registry value \"%s\".\n    %s. Error code = %lu.",
                       "UnencryptedSearch", os::SystemMessageText(error).c_str(),
                       static_cast<unsigned long>(error));
        }
    }
}

void SETTINGS::SetDnsRemappingMode(int32_t mode) {
    SETTINGS_GUARD guard(*lock_);
    if (mode == dnsRemappingMode_) {
        return;
    }
    DebugPrint("Changing DNS remapping mode from %s to %s", DnsRemappingModeName(dnsRemappingMode_),
               DnsRemappingModeName(mode));
    dnsRemappingMode_ = mode;
    const uint32_t error = WriteDword("DNSRemappingMode", static_cast<uint32_t>(mode));
    if (error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to set registry value = \"%s\". %s. Error code = %lu.",
                   "DNSRemappingMode", os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
    }
}

void SETTINGS::SetUnencryptedSearch(bool flag) {
    SETTINGS_GUARD guard(*lock_);
    if (flag == unencryptedSearch_) {
        return;
    }
    unencryptedSearch_ = flag;
    DebugPrint("Changing unencrypted search to %s", BoolText(flag));
    const uint32_t error = WriteDword("UnencryptedSearch", flag ? 1 : 0);
    if (error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to set registry value = \"%s\". %s. Error code = %lu.",
                   "UnencryptedSearch", os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
    }
}

std::vector<std::string> SETTINGS::PolicyServerNames() const {
    SETTINGS_GUARD guard(*lock_);
    return policyServers_;
}

int32_t SETTINGS::ServerMode() const {
    SETTINGS_GUARD guard(*lock_);
    return serverMode_;
}

int32_t SETTINGS::DnsRemappingMode() const {
    SETTINGS_GUARD guard(*lock_);
    return dnsRemappingMode_;
}

bool SETTINGS::BlockOnFailure() const {
    SETTINGS_GUARD guard(*lock_);
    return blockOnFailure_;
}

bool SETTINGS::Dormant() const {
    SETTINGS_GUARD guard(*lock_);
    return dormant_;
}

bool SETTINGS::UnencryptedSearch() const {
    SETTINGS_GUARD guard(*lock_);
    return unencryptedSearch_;
}

bool SETTINGS::StrictTls() const {
    SETTINGS_GUARD guard(*lock_);
    return strictTls_;
}

std::string SETTINGS::TlsCaFile() const {
    SETTINGS_GUARD guard(*lock_);
    return tlsCaFile_;
}

bool SETTINGS::AcceptAnyServerCertificate() const {
    SETTINGS_GUARD guard(*lock_);
    return acceptAnyServer_;
}

std::optional<std::string> SETTINGS::UpdatePublicKey() const {
    SETTINGS_GUARD guard(*lock_);
    return updatePublicKey_;
}

}  // namespace wexo::svc
