#include "driver/platform/debug_print.h"

#include <atomic>

#include "os/kernel/debug_print.h"

namespace wexo::drv {
namespace {

std::atomic<bool> gDebuggerOutput{true};

}  // namespace

void DriverPrintV(const char* format, va_list args) {
    if (gDebuggerOutput.load(std::memory_order_relaxed)) {
        os::vDbgPrintEx(os::DPFLTR_IHVDRIVER_ID, os::DPFLTR_ERROR_LEVEL, format, args);
    }
}

void DriverPrint(const char* format, ...) {
    va_list args;
    va_start(args, format);
    DriverPrintV(format, args);
    va_end(args);
}

void SetDebuggerOutput(bool on) {
    gDebuggerOutput.store(on);
}

bool DebuggerOutput() {
    return gDebuggerOutput.load();
}

}  // namespace wexo::drv
