// The program's version banner and the platform name it shows. The platform name keeps the
// Windows table (first match wins, by major, minor and service-pack major together); on another
// system it is that system's own name with the processor width ("Linux_x64"), and the "Windows"
// line of the banner shows that system's kernel version.
#pragma once

#include <cstdint>
#include <string>

#include "os/win32/system_facts.h"

namespace wexo::svc {

constexpr uint32_t kVersionMajor = 6;
constexpr uint32_t kVersionMinor = 2;
constexpr uint32_t kVersionPatch = 9;
constexpr uint32_t kVersionBuild = 4;
// The "FileVersion" text of the program's version resource.
constexpr char kFileVersionText[] = "6.2.9.4";

std::string PlatformName(const os::OS_VERSION_FACTS& facts);
std::string VersionBanner(const os::OS_VERSION_FACTS& facts);
// Writes the banner to the log file and to the debugger output.
void WriteVersionBanner(const os::OS_VERSION_FACTS& facts);
// "%u.%u.%u build %lu", the version the "started" event reports.
std::string VersionText();

}  // namespace wexo::svc
