// The driver's kernel-debugger printer: "WexoW: " lines through vDbgPrintEx (component 77, error
// level) while the debugger output of the debug settings is on (it is at start).
#pragma once

#include <cstdarg>

namespace wexo::drv {

void DriverPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void DriverPrintV(const char* format, va_list args);
void SetDebuggerOutput(bool on);
bool DebuggerOutput();

}  // namespace wexo::drv
