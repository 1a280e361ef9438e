#include "os/kernel/debug_print.h"

#include <cstdio>
#include <string_view>
#include <vector>

namespace os {

void vDbgPrintEx(uint32_t componentId, uint32_t level, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0) {
        return;
    }
    std::vector<char> text(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    DebuggerPrint(componentId, level, std::string_view(text.data(), static_cast<size_t>(length)));
}

void DbgPrintEx(uint32_t componentId, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vDbgPrintEx(componentId, level, format, args);
    va_end(args);
}

void DbgPrint(const char* format, ...) {
    // DbgPrint is what the debugger shows as the default component at error level.
    va_list args;
    va_start(args, format);
    vDbgPrintEx(0, 0, format, args);
    va_end(args);
}

}  // namespace os
