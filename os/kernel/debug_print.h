// Kernel-debugger output (DbgPrintEx / vDbgPrintEx). Nothing listens by default, as on a machine
// without a debugger attached; setting WEXO_KERNEL_DEBUGGER=1 in the environment copies the lines
// to standard error, and tests install a listener to read them.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string_view>

namespace os {

constexpr uint32_t DPFLTR_IHVDRIVER_ID = 77;
constexpr uint32_t DPFLTR_ERROR_LEVEL = 0;

void DbgPrintEx(uint32_t componentId, uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void vDbgPrintEx(uint32_t componentId, uint32_t level, const char* format, va_list args);

using DebuggerListener =
    std::function<void(uint32_t componentId, uint32_t level, std::string_view text)>;

// Installs a listener while it lives (one at a time; the previous one comes back afterwards).
class ScopedDebuggerListener {
  public:
    explicit ScopedDebuggerListener(DebuggerListener listener);
    ~ScopedDebuggerListener();
    ScopedDebuggerListener(const ScopedDebuggerListener&) = delete;
    ScopedDebuggerListener& operator=(const ScopedDebuggerListener&) = delete;

  private:
    DebuggerListener previous_;
};

}  // namespace os
