// What a driver asks of the kernel by name at run time (MmGetSystemRoutineAddress) and the version
// routines it asks for. On Linux the kernel's version is the system's version: "6.18.44" reads as
// major 6, minor 18, build 44. Tests hide routines to exercise a driver's fallbacks.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/status.h"

namespace os {

struct RTL_OSVERSIONINFOW {
    uint32_t dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
    uint32_t dwMajorVersion = 0;
    uint32_t dwMinorVersion = 0;
    uint32_t dwBuildNumber = 0;
    uint32_t dwPlatformId = 0;
};

constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;

NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* version);
// The older routine: true when the build is a checked build (never here).
bool PsGetVersion(uint32_t* major, uint32_t* minor, uint32_t* build);

// Any routine's address, to be cast back to its real type by the caller who asked for it by name.
using SYSTEM_ROUTINE = void (*)();

// The routine of that name, or null when this kernel does not export it. Known here:
// "RtlGetVersion", "PsGetVersion", "vDbgPrintEx", "DbgPrint" (the kernel's own routines), then
// what other faces export (os/core/routine_exports.h: the registry's "CmRegisterCallbackEx" and
// "CmRegisterCallback", whose types are os::CM_REGISTER_CALLBACK_EX and os::CM_REGISTER_CALLBACK).
// There is no UTF-16 "_vsnwprintf" on Linux, so drivers use their own formatter.
SYSTEM_ROUTINE MmGetSystemRoutineAddress(std::string_view name);

// Versions parsed from a kernel release text ("6.18.44-cloud-amd64"); missing fields are 0.
RTL_OSVERSIONINFOW VersionFromRelease(std::string_view release);

// Makes the named routines missing while it lives (nests; tests only).
class ScopedMissingSystemRoutines {
  public:
    explicit ScopedMissingSystemRoutines(std::initializer_list<std::string_view> names);
    ~ScopedMissingSystemRoutines();
    ScopedMissingSystemRoutines(const ScopedMissingSystemRoutines&) = delete;
    ScopedMissingSystemRoutines& operator=(const ScopedMissingSystemRoutines&) = delete;

  private:
    std::vector<std::string> names_;
};

}  // namespace os
