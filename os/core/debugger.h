// The debugger both faces print to: a kernel's debug print and a program's debugger output reach
// the same listener. Nothing listens by default, as on a machine without a debugger attached;
// WEXO_KERNEL_DEBUGGER=1 in the environment copies the lines to standard error, and tests install a
// listener to read them.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace os {

constexpr uint32_t DPFLTR_IHVDRIVER_ID = 77;
constexpr uint32_t DPFLTR_ERROR_LEVEL = 0;

// One line as printed (already formatted).
void DebuggerPrint(uint32_t componentId, uint32_t level, std::string_view text);

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
