// The control device of the driver and its control codes, shared by the driver and the service.
#pragma once

#include <cstdint>

namespace wexo {

constexpr char16_t kDeviceName[] = u"\\Device\\WexoWfp";
constexpr char16_t kDeviceLinkName[] = u"\\??\\WexoWfp";
// The name the service opens; the Win32 path of the link above.
constexpr char kDeviceOpenPath[] = "\\\\.\\Global\\WexoWfp";

constexpr uint32_t kDeviceType = 0xA7F8;
constexpr uint32_t METHOD_NEITHER = 3;
constexpr uint32_t FILE_ANY_ACCESS = 0;

constexpr uint32_t CtlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                           uint32_t access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
constexpr uint32_t ControlFunction(uint32_t code) {
    return (code >> 2) & 0xFFF;
}
constexpr uint32_t ControlDeviceType(uint32_t code) {
    return code >> 16;
}

constexpr uint32_t WexoCode(uint32_t function) {
    return CtlCode(kDeviceType, function, METHOD_NEITHER, FILE_ANY_ACCESS);
}

// First group: handles that have not registered.
constexpr uint32_t QRN_GET_VERSION = WexoCode(0xB11);
constexpr uint32_t QRN_REGISTER = WexoCode(0xB12);
constexpr uint32_t QRN_AUTH_CHALLENGE = WexoCode(0xB13);
constexpr uint32_t QRN_AUTH_RESPONSE = WexoCode(0xB14);
constexpr uint32_t QRN_UPDATE_DRIVER = WexoCode(0xB15);
constexpr uint32_t QRN_UNINSTALL = WexoCode(0xB16);
constexpr uint32_t QRN_SUSPEND_PROTECTION = WexoCode(0xB17);
constexpr uint32_t QRN_RESUME_PROTECTION = WexoCode(0xB18);

// Second group: the handle that registered (the service-call channel).
constexpr uint32_t QRN_SC_ATTACH = WexoCode(0xBB8);
constexpr uint32_t QRN_SC_DETACH = WexoCode(0xBB9);
constexpr uint32_t QRN_SC_INPUT = WexoCode(0xBBA);
constexpr uint32_t QRN_SC_OUTPUT = WexoCode(0xBBB);
constexpr uint32_t QRN_SC_EXTEND = WexoCode(0xBBC);
constexpr uint32_t QRN_SC_STANDBY = WexoCode(0xBBD);
constexpr uint32_t QRN_SC_RESUME = WexoCode(0xBBE);
constexpr uint32_t QRN_SC_HEARTBEAT = WexoCode(0xBBF);

static_assert(QRN_GET_VERSION == 0xA7F82C47);
static_assert(QRN_REGISTER == 0xA7F82C4B);
static_assert(QRN_UPDATE_DRIVER == 0xA7F82C57);
static_assert(QRN_UNINSTALL == 0xA7F82C5B);
static_assert(QRN_SUSPEND_PROTECTION == 0xA7F82C5F);
static_assert(QRN_RESUME_PROTECTION == 0xA7F82C63);
static_assert(QRN_SC_ATTACH == 0xA7F82EE3);
static_assert(QRN_SC_DETACH == 0xA7F82EE7);
static_assert(QRN_SC_INPUT == 0xA7F82EEB);
static_assert(QRN_SC_OUTPUT == 0xA7F82EEF);
static_assert(QRN_SC_EXTEND == 0xA7F82EF3);
static_assert(QRN_SC_STANDBY == 0xA7F82EF7);
static_assert(QRN_SC_RESUME == 0xA7F82EFB);
static_assert(QRN_SC_HEARTBEAT == 0xA7F82EFF);

// The driver's identity as the control device reports it.
constexpr uint16_t kDriverMajorVersion = 6;
constexpr uint16_t kDriverMinorVersion = 2;
constexpr uint16_t kDriverBuildNumber = 9;
// The record layouts below; the service refuses a driver with another interface version.
constexpr uint16_t kInterfaceVersion = 2;

}  // namespace wexo
