// A few facts about the system the service reports or checks: the version (from uname), the
// processor count, Windows Sockets start-up and the privileges of the process token.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "os/core/status.h"

namespace os {

struct OS_VERSION_FACTS {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;  // the kernel's patch level
    uint32_t servicePackMajor = 0;
    bool workstation = true;
    std::string systemName;  // "Linux"
    std::string machine;     // "x86_64"
    std::string release;     // the uname release text, "6.1.0-18-amd64"
};

// From uname(2): "6.1.0-18-amd64" -> 6, 1, 0; a part that is missing or not a number is 0.
// Empty texts and zeros when uname fails (it does not on Linux).
OS_VERSION_FACTS GetVersionFacts();
// The numbers of a release text as GetVersionFacts reads them ("5.15" -> 5, 15, 0).
void ParseKernelRelease(std::string_view release, uint32_t* major, uint32_t* minor,
                        uint32_t* build);

// The online processors, at least 1.
uint32_t GetProcessorCount();

// Windows Sockets start-up. Linux sockets need none: WSAStartup only checks the version asked for
// and counts, WSACleanup counts down.
constexpr uint32_t WSAEFAULT = 10014;
constexpr uint32_t WSASYSNOTREADY = 10091;
constexpr uint32_t WSAVERNOTSUPPORTED = 10092;
constexpr uint32_t WSANOTINITIALISED = 10093;
constexpr int SOCKET_ERROR = -1;

struct WSADATA {
    uint16_t version = 0;      // wVersion: the version the caller is to use
    uint16_t highVersion = 0;  // wHighVersion: the highest the system supports (2.2)
};

// The low byte is the major version, the high byte the minor: MAKEWORD(2, 2) is version 2.2.
constexpr uint16_t MAKEWORD(uint8_t low, uint8_t high) {
    return static_cast<uint16_t>(low | (static_cast<uint16_t>(high) << 8));
}
constexpr uint8_t LOBYTE(uint16_t word) {
    return static_cast<uint8_t>(word & 0xFF);
}
constexpr uint8_t HIBYTE(uint16_t word) {
    return static_cast<uint8_t>(word >> 8);
}

// As Windows answers: a version below 1.0 -> WSAVERNOTSUPPORTED; up to 2.2 -> 0 with that version;
// above 2.2 -> 0 with 2.2. The high version is always 2.2. No data -> WSAEFAULT. The result is the
// error itself (WSAStartup does not set the last error).
int WSAStartup(uint16_t versionRequested, WSADATA* data);
// 0, or SOCKET_ERROR with last error WSANOTINITIALISED when there was no successful start-up.
int WSACleanup();
inline uint32_t WSAGetLastError() {
    return GetLastError();
}

// Makes WSAStartup fail with this error while it lives (nothing is counted).
class ScopedWinsockFailure {
  public:
    explicit ScopedWinsockFailure(int error);
    ~ScopedWinsockFailure();
    ScopedWinsockFailure(const ScopedWinsockFailure&) = delete;
    ScopedWinsockFailure& operator=(const ScopedWinsockFailure&) = delete;

  private:
    int previous_;
};

// Makes WSAStartup succeed and report this version (as wVersion and wHighVersion) while it lives,
// as an older or odd system would.
class ScopedWinsockVersion {
  public:
    explicit ScopedWinsockVersion(uint16_t version);
    ~ScopedWinsockVersion();
    ScopedWinsockVersion(const ScopedWinsockVersion&) = delete;
    ScopedWinsockVersion& operator=(const ScopedWinsockVersion&) = delete;

  private:
    int32_t previous_;
};

constexpr uint32_t ERROR_NOT_ALL_ASSIGNED = 1300;
constexpr uint32_t ERROR_NO_SUCH_PRIVILEGE = 1313;

// Enables a privilege of the process token (LookupPrivilegeValue + AdjustTokenPrivileges): a name
// that is not a Windows privilege ("SeDebugPrivilege", "SeShutdownPrivilege", ...; compared
// without case) -> false, ERROR_NO_SUCH_PRIVILEGE; the process may hold every privilege when it
// runs as root (effective uid 0) -> true; otherwise false with ERROR_NOT_ALL_ASSIGNED.
bool EnableProcessPrivilege(std::string_view privilegeName);

}  // namespace os
