// The later parts this build has, handed to the service host: the device and account identity
// (MAC address, hardware facts and device ID, process list, cloud-account domains of logind
// sessions), the check-in, the DNS remap list's update and the software update.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/host/service_host.h"

namespace wexo::svc {

HOST_PARTS BuiltInHostParts();

// logind's records of the running system ("/run/systemd" unless a test gives another folder):
// the user of a session, and the session active on seat0.
std::optional<uint32_t> SessionUserId(uint32_t sessionId,
                                      std::string_view runRoot = "/run/systemd");
std::optional<uint32_t> ActiveConsoleSession(std::string_view runRoot = "/run/systemd");

}  // namespace wexo::svc
