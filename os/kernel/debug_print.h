// Kernel-debugger output (DbgPrintEx / vDbgPrintEx): the line is formatted here and printed to the
// debugger of os/core/debugger.h.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "os/core/debugger.h"

namespace os {

void DbgPrintEx(uint32_t componentId, uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The older printer, without component and level (always shown).
void DbgPrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
void vDbgPrintEx(uint32_t componentId, uint32_t level, const char* format, va_list args);

}  // namespace os
