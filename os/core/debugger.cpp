#include "os/core/debugger.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

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

void DebuggerPrint(uint32_t componentId, uint32_t level, std::string_view text) {
    std::lock_guard guard(gLock);
    if (gListener) {
        gListener(componentId, level, text);
    }
    if (CopyToStandardError()) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
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
