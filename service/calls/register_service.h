// The service's side of the handshake with the driver: open the control device, then register the
// service-call input event with the program and data folders, and refuse a driver whose interface
// version is not the one these records describe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "os/core/process.h"

namespace wexo::svc {

// "\\.\Global\WexoWfp" for synchronous I/O (read and write, no sharing, open-existing). Failure:
// event 0xC0000069 and INVALID_HANDLE_VALUE, the error in the last error.
os::HANDLE OpenControlDevice();

// "\??\" and the folder of the service executable (the module path cut at its last backslash);
// the prefix alone when the module path cannot be had (event 0x80000067).
std::u16string RegistrationProgramFolder();
// "\??\<common application data>\Corvane"; nothing when that folder cannot be had.
std::optional<std::u16string> RegistrationDataFolder();

struct DRIVER_VERSION {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint16_t interfaceVersion = 0;
};

// QRN_REGISTER with the service-call input event. False, with the event-log message of the cause,
// when the device call fails or the driver's interface version is not 2.
bool RegisterService(os::HANDLE device, os::HANDLE inputEvent, DRIVER_VERSION* version = nullptr);

}  // namespace wexo::svc
