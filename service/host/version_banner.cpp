#include "service/host/version_banner.h"

#include "service/support/debug_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

struct PLATFORM_ROW {
    uint32_t major;
    uint32_t minor;
    const char* workstation;
    const char* server;
};

constexpr PLATFORM_ROW kPlatforms[] = {
    {10, 0, "10", "10"},          {6, 3, "8.1", "Server2012_R2"}, {6, 2, "8", "Server2012"},
    {6, 1, "7", "Server2008_R2"}, {6, 0, "Vista", "Server2008"},  {5, 1, "XP", "Server2003"},
};

// At least major.minor with service pack 0: the three compared together, greater or equal.
bool AtLeast(const os::OS_VERSION_FACTS& facts, uint32_t major, uint32_t minor) {
    if (facts.major != major) {
        return facts.major > major;
    }
    return facts.minor >= minor;
}

const char* WidthText(const os::OS_VERSION_FACTS& facts) {
    return facts.machine == "i386" || facts.machine == "i686" ? "86" : "64";
}

}  // namespace

std::string PlatformName(const os::OS_VERSION_FACTS& facts) {
    if (facts.systemName != "Windows") {
        return FormatText("%s_x%s", facts.systemName.c_str(), WidthText(facts));
    }
    const char* version = "";
    for (const PLATFORM_ROW& row : kPlatforms) {
        if (AtLeast(facts, row.major, row.minor)) {
            version = facts.workstation ? row.workstation : row.server;
            break;
        }
    }
    return FormatText("Win%s_x%s", version, WidthText(facts));
}

std::string VersionBanner(const os::OS_VERSION_FACTS& facts) {
    const std::string platform = PlatformName(facts);
    return FormatText(
        "%s%s v%u.%u.%u build %lu (%s), %s,\n    Windows v%lu.%lu build %lu,\n    Platform = %s",
        "WexoSvc.exe", "", kVersionMajor, kVersionMinor, kVersionPatch,
        static_cast<unsigned long>(kVersionBuild), kFileVersionText, "Release x64",
        static_cast<unsigned long>(facts.major), static_cast<unsigned long>(facts.minor),
        static_cast<unsigned long>(facts.build), platform.c_str());
}

void WriteVersionBanner(const os::OS_VERSION_FACTS& facts) {
    DebugWrite(LINE_ALWAYS_LOG | LINE_ALWAYS_DEBUGGER, "%s", VersionBanner(facts).c_str());
}

std::string VersionText() {
    return FormatText("%u.%u.%u build %lu", kVersionMajor, kVersionMinor, kVersionPatch,
                      static_cast<unsigned long>(kVersionBuild));
}

}  // namespace wexo::svc
