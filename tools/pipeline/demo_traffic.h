// Simulated browser connections for the demo: one per URL once a service registered, each verdict
// printed as the browser sees it.
#pragma once

#include <string>

#include "os/core/sync.h"
#include "tools/pipeline/in_process_driver.h"

namespace wexo::pipeline {

// `urls`: "http://host/path" separated by blanks. Lines are "<prefix> GET host/path VERDICT".
// Returns early when `ended` is set before a service registered.
void RunDemoTraffic(IN_PROCESS_DRIVER& driver, os::Event& ended, const std::string& urls,
                    const char* prefix);

}  // namespace wexo::pipeline
