#include "os/win32/system_facts.h"

#include <strings.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace os {
namespace {

// 0: no failure forced. -1: no version forced (else the version, 0..0xFFFF).
std::atomic<int> gWinsockFailure{0};
std::atomic<int32_t> gWinsockVersion{-1};
std::mutex gWinsockLock;
uint32_t gWinsockStartups = 0;

constexpr uint16_t kHighestVersion = MAKEWORD(2, 2);

// Major in the low byte, minor in the high: comparable as major * 256 + minor.
int VersionOrder(uint16_t version) {
    return LOBYTE(version) * 256 + HIBYTE(version);
}

// Every privilege name a Windows token knows (winnt.h, SE_*_NAME).
constexpr const char* kPrivilegeNames[] = {
    "SeAssignPrimaryTokenPrivilege",
    "SeAuditPrivilege",
    "SeBackupPrivilege",
    "SeChangeNotifyPrivilege",
    "SeCreateGlobalPrivilege",
    "SeCreatePagefilePrivilege",
    "SeCreatePermanentPrivilege",
    "SeCreateSymbolicLinkPrivilege",
    "SeCreateTokenPrivilege",
    "SeDebugPrivilege",
    "SeDelegateSessionUserImpersonatePrivilege",
    "SeEnableDelegationPrivilege",
    "SeImpersonatePrivilege",
    "SeIncreaseBasePriorityPrivilege",
    "SeIncreaseQuotaPrivilege",
    "SeIncreaseWorkingSetPrivilege",
    "SeLoadDriverPrivilege",
    "SeLockMemoryPrivilege",
    "SeMachineAccountPrivilege",
    "SeManageVolumePrivilege",
    "SeProfileSingleProcessPrivilege",
    "SeRelabelPrivilege",
    "SeRemoteShutdownPrivilege",
    "SeRestorePrivilege",
    "SeSecurityPrivilege",
    "SeShutdownPrivilege",
    "SeSyncAgentPrivilege",
    "SeSystemEnvironmentPrivilege",
    "SeSystemProfilePrivilege",
    "SeSystemtimePrivilege",
    "SeTakeOwnershipPrivilege",
    "SeTcbPrivilege",
    "SeTimeZonePrivilege",
    "SeTrustedCredManAccessPrivilege",
    "SeUndockPrivilege",
    "SeUnsolicitedInputPrivilege",
};

bool IsPrivilegeName(std::string_view name) {
    for (const char* known : kPrivilegeNames) {
        if (name.size() == std::strlen(known) &&
            strncasecmp(name.data(), known, name.size()) == 0) {
            return true;
        }
    }
    return false;
}

uint32_t ReadNumber(std::string_view text, size_t* position) {
    uint64_t value = 0;
    bool any = false;
    while (*position < text.size() && text[*position] >= '0' && text[*position] <= '9') {
        if (value <= 0xFFFFFFFFull) {
            value = value * 10 + static_cast<uint64_t>(text[*position] - '0');
        }
        ++*position;
        any = true;
    }
    if (!any || value > 0xFFFFFFFFull) {
        return 0;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace

void ParseKernelRelease(std::string_view release, uint32_t* major, uint32_t* minor,
                        uint32_t* build) {
    uint32_t* parts[] = {major, minor, build};
    for (uint32_t* part : parts) {
        *part = 0;
    }
    size_t position = 0;
    for (size_t i = 0; i < 3; ++i) {
        *parts[i] = ReadNumber(release, &position);
        // The next number follows a dot; anything else ends the version ("-18-amd64").
        if (position >= release.size() || release[position] != '.') {
            break;
        }
        ++position;
    }
}

OS_VERSION_FACTS GetVersionFacts() {
    OS_VERSION_FACTS facts;
    utsname name{};
    if (uname(&name) != 0) {
        return facts;
    }
    facts.systemName = name.sysname;
    facts.machine = name.machine;
    facts.release = name.release;
    ParseKernelRelease(facts.release, &facts.major, &facts.minor, &facts.build);
    return facts;
}

uint32_t GetProcessorCount() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count >= 1 ? static_cast<uint32_t>(count) : 1u;
}

int WSAStartup(uint16_t versionRequested, WSADATA* data) {
    int failure = gWinsockFailure.load();
    if (failure != 0) {
        return failure;
    }
    if (data == nullptr) {
        return static_cast<int>(WSAEFAULT);
    }
    int32_t forced = gWinsockVersion.load();
    if (forced >= 0) {
        data->version = static_cast<uint16_t>(forced);
        data->highVersion = static_cast<uint16_t>(forced);
    } else {
        if (VersionOrder(versionRequested) < VersionOrder(MAKEWORD(1, 0))) {
            return static_cast<int>(WSAVERNOTSUPPORTED);
        }
        data->version = VersionOrder(versionRequested) > VersionOrder(kHighestVersion)
                            ? kHighestVersion
                            : versionRequested;
        data->highVersion = kHighestVersion;
    }
    std::lock_guard guard(gWinsockLock);
    ++gWinsockStartups;
    return 0;
}

int WSACleanup() {
    std::lock_guard guard(gWinsockLock);
    if (gWinsockStartups == 0) {
        SetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    --gWinsockStartups;
    return 0;
}

ScopedWinsockFailure::ScopedWinsockFailure(int error)
    : previous_(gWinsockFailure.exchange(error)) {}

ScopedWinsockFailure::~ScopedWinsockFailure() {
    gWinsockFailure.store(previous_);
}

ScopedWinsockVersion::ScopedWinsockVersion(uint16_t version)
    : previous_(gWinsockVersion.exchange(version)) {}

ScopedWinsockVersion::~ScopedWinsockVersion() {
    gWinsockVersion.store(previous_);
}

bool EnableProcessPrivilege(std::string_view privilegeName) {
    if (!IsPrivilegeName(privilegeName)) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return false;
    }
    if (geteuid() != 0) {
        SetLastError(ERROR_NOT_ALL_ASSIGNED);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

}  // namespace os
