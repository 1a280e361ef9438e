#include "tools/pipeline/real_file_protection.h"

#include <cstdio>

#include "driver/platform/driver_entry.h"
#include "driver/protection/protection_state.h"
#include "os/fltmgr/fltmgr.h"

namespace wexo::pipeline {

REAL_FILE_PROTECTION::~REAL_FILE_PROTECTION() {
    Stop();
}

bool REAL_FILE_PROTECTION::Start(drv::WEXO_DRIVER& driver, std::string* why) {
    if (!os::PROGRAM_GUARD::Available(why)) {
        return false;
    }
    driver_ = &driver;
    drv::PROTECTION_STATE& protection = driver.Protection();
    guard_ = std::make_unique<os::PROGRAM_GUARD>(
        [&protection](uint32_t processId) {
            const uint32_t service = protection.ServiceProcessId();
            return service != 0 && processId == service;
        },
        [](uint32_t processId, const std::string& path, int flags) {
            std::printf(
                "wexowfp: file protection refused process %u an open of \"%s\" for "
                "writing (flags %#o)\n",
                processId, path.c_str(), static_cast<unsigned>(flags));
            std::fflush(stdout);
        });
    protection.SetChangeObserver([this] { Apply(); });
    Apply();
    return true;
}

void REAL_FILE_PROTECTION::Stop() {
    if (driver_ == nullptr) {
        return;
    }
    driver_->Protection().SetChangeObserver(nullptr);
    guard_->Stop();
    driver_ = nullptr;
}

void REAL_FILE_PROTECTION::Apply() {
    std::lock_guard guard(applyLock_);
    drv::PROTECTION_STATE& protection = driver_->Protection();
    std::string folder;
    const std::u16string native = protection.ProtectedFolder();
    if (!native.empty() && !os::LinuxPathOf(native, &folder)) {
        std::printf("wexowfp: the program folder names no mounted volume; it is not held\n");
    }
    const bool on = protection.FileProtectionOn() && !folder.empty();
    std::string why;
    if (!guard_->Protect(folder, on, &why)) {
        std::printf("wexowfp: file protection cannot hold %s: %s\n", folder.c_str(), why.c_str());
    } else if (on && folder != held_) {
        std::printf("wexowfp: file protection holds %s (%llu entries)\n", folder.c_str(),
                    static_cast<unsigned long long>(guard_->Counts().immutable));
    } else if (!on && !held_.empty()) {
        std::printf("wexowfp: file protection of %s lifted\n", held_.c_str());
    }
    held_ = on ? folder : std::string();
    std::fflush(stdout);
}

}  // namespace wexo::pipeline
