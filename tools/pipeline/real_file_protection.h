// The driver host's file protection on the real file system: the program folder the service
// registered is held by os::PROGRAM_GUARD (the immutable attribute and fanotify) while the
// driver's file protection is on, lifted when it is suspended or the product uninstalled, and
// the registered service is the process let through. The driver's own filter judges the
// operations issued through the filter manager; this makes the same folder hold against every
// other process of the machine.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "os/fltmgr/linux/program_guard.h"

namespace wexo::drv {
class WEXO_DRIVER;
}  // namespace wexo::drv

namespace wexo::pipeline {

class REAL_FILE_PROTECTION {
  public:
    REAL_FILE_PROTECTION() = default;
    ~REAL_FILE_PROTECTION();
    REAL_FILE_PROTECTION(const REAL_FILE_PROTECTION&) = delete;
    REAL_FILE_PROTECTION& operator=(const REAL_FILE_PROTECTION&) = delete;

    // Follows the driver's protection from now on; false with the reason when this machine
    // cannot (no fanotify permission events).
    bool Start(drv::WEXO_DRIVER& driver, std::string* why);
    // Lifts what is held and stops following (before the driver stops).
    void Stop();

  private:
    void Apply();

    drv::WEXO_DRIVER* driver_ = nullptr;
    std::unique_ptr<os::PROGRAM_GUARD> guard_;
    // Apply runs at Start and then on whichever thread changed the protection.
    std::mutex applyLock_;
    std::string held_;
};

}  // namespace wexo::pipeline
