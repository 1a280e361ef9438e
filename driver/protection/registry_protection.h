// The registry callback that keeps every process but the registered service from deleting,
// renaming or changing the keys the product needs: the product key, the driver's service key and
// the safe-mode entries that let the driver load in safe mode. Matching is by the key's full
// name; "<CS>" in a pattern stands for ControlSet001 or ControlSet002.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "driver/protection/protection_state.h"
#include "os/registry/registry.h"

namespace wexo::drv {

inline constexpr char kRegistryCallbackAltitude[] = "328300.1";

enum class KEY_MATCH {
    Mismatch,
    Below,  // the name goes on past the pattern
    Exact,
    Above,  // the name ends inside the pattern
};

// The key name must begin with a backslash (it is dropped, as is one trailing backslash);
// components compare without case, "<CS>" matching ControlSet001 and ControlSet002 only.
KEY_MATCH MatchKey(std::string_view keyName, std::string_view pattern);

struct PROTECTED_KEY_ROW {
    std::string_view pattern;
    bool wholeSubtree;
};

class REGISTRY_PROTECTION {
  public:
    explicit REGISTRY_PROTECTION(PROTECTION_STATE& state) : state_(state) {}
    REGISTRY_PROTECTION(const REGISTRY_PROTECTION&) = delete;
    REGISTRY_PROTECTION& operator=(const REGISTRY_PROTECTION&) = delete;

    // CmRegisterCallbackEx with the altitude when the kernel has it, else CmRegisterCallback; a
    // failed registration leaves the driver running without registry protection.
    void Register();
    void Unregister();
    bool Registered() const { return registered_.load(); }

    // STATUS_SUCCESS lets the operation proceed, STATUS_ACCESS_DENIED refuses it.
    os::NTSTATUS Callback(const os::REG_NOTIFY_INFO& info) const;

  private:
    PROTECTION_STATE& state_;
    uint64_t cookie_ = 0;
    std::atomic<bool> registered_{false};
};

}  // namespace wexo::drv
