#include "os/kernel/debug_print.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace os {
namespace {

std::mutex gLock;
DebuggerListener gListener;

bool CopyToStandardError() {
    static const bool enabled = [] {
        const char* value = std::getenv("WEXO_KERNEL_DEBUGGER");
        return value != nullptr && std::strcmp(value, "1") == 0;
    }();
    return enabled;
}

}  // namespace

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
    std::string_view line(text.data(), static_cast<size_t>(length));
    std::lock_guard guard(gLock);
    if (gListener) {
        gListener(componentId, level, line);
    }
    if (CopyToStandardError()) {
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
}

void DbgPrintEx(uint32_t componentId, uint32_t level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vDbgPrintEx(componentId, level, format, args);
    va_end(args);
}

ScopedDebuggerListener::ScopedDebuggerListener(DebuggerListener listener) {
    std::lock_guard guard(gLock);
    previous_ = std::move(gListener);
    gListener = std::move(listener);
}

ScopedDebuggerListener::~ScopedDebuggerListener() {
    std::lock_guard guard(gLock);
    gListener = std::move(previous_);
}

}  // namespace os
