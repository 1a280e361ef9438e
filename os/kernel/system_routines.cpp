#include "os/kernel/system_routines.h"

#include <sys/utsname.h>

#include <algorithm>
#include <mutex>

#include "os/core/routine_exports.h"
#include "os/kernel/debug_print.h"

namespace os {
namespace {

std::mutex& MissingLock() {
    static std::mutex lock;
    return lock;
}

std::vector<std::string>& Missing() {
    static std::vector<std::string> names;
    return names;
}

bool IsMissing(std::string_view name) {
    std::lock_guard guard(MissingLock());
    const auto& names = Missing();
    return std::find(names.begin(), names.end(), name) != names.end();
}

RTL_OSVERSIONINFOW RunningVersion() {
    struct utsname names {};
    if (uname(&names) != 0) {
        return {};
    }
    return VersionFromRelease(names.release);
}

void PrintV(uint32_t component, uint32_t level, const char* format, va_list args) {
    vDbgPrintEx(component, level, format, args);
}

}  // namespace

RTL_OSVERSIONINFOW VersionFromRelease(std::string_view release) {
    RTL_OSVERSIONINFOW version;
    version.dwPlatformId = VER_PLATFORM_WIN32_NT;
    uint32_t* fields[3] = {&version.dwMajorVersion, &version.dwMinorVersion,
                           &version.dwBuildNumber};
    size_t at = 0;
    for (uint32_t* field : fields) {
        if (at >= release.size() || release[at] < '0' || release[at] > '9') {
            break;
        }
        uint64_t value = 0;
        while (at < release.size() && release[at] >= '0' && release[at] <= '9') {
            value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(release[at] - '0'),
                                       UINT32_MAX);
            ++at;
        }
        *field = static_cast<uint32_t>(value);
        if (at >= release.size() || release[at] != '.') {
            break;
        }
        ++at;
    }
    return version;
}

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* version) {
    if (version == nullptr || version->dwOSVersionInfoSize < sizeof(RTL_OSVERSIONINFOW)) {
        return STATUS_INVALID_PARAMETER;
    }
    *version = RunningVersion();
    return STATUS_SUCCESS;
}

bool PsGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build) {
    RTL_OSVERSIONINFOW version = RunningVersion();
    if (major != nullptr) {
        *major = version.dwMajorVersion;
    }
    if (minor != nullptr) {
        *minor = version.dwMinorVersion;
    }
    if (build != nullptr) {
        *build = version.dwBuildNumber;
    }
    return false;
}

SYSTEM_ROUTINE MmGetSystemRoutineAddress(std::string_view name) {
    if (IsMissing(name)) {
        return nullptr;
    }
    // Each entry's real type is what the caller casts back to; the table only carries addresses.
    if (name == "RtlGetVersion") {
        return reinterpret_cast<SYSTEM_ROUTINE>(&RtlGetVersion);
    }
    if (name == "PsGetVersion") {
        return reinterpret_cast<SYSTEM_ROUTINE>(&PsGetVersion);
    }
    if (name == "vDbgPrintEx") {
        return reinterpret_cast<SYSTEM_ROUTINE>(&PrintV);
    }
    if (name == "DbgPrint") {
        return reinterpret_cast<SYSTEM_ROUTINE>(&DbgPrint);
    }
    return FindExportedRoutine(name);
}

ScopedMissingSystemRoutines::ScopedMissingSystemRoutines(
    std::initializer_list<std::string_view> names) {
    std::lock_guard guard(MissingLock());
    for (std::string_view name : names) {
        names_.emplace_back(name);
        Missing().emplace_back(name);
    }
}

ScopedMissingSystemRoutines::~ScopedMissingSystemRoutines() {
    std::lock_guard guard(MissingLock());
    auto& missing = Missing();
    for (const std::string& name : names_) {
        auto found = std::find(missing.begin(), missing.end(), name);
        if (found != missing.end()) {
            missing.erase(found);
        }
    }
}

}  // namespace os
