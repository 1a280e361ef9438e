#include "driver/protection/registry_protection.h"

#include <span>

#include "driver/platform/debug_log.h"
#include "driver/platform/debug_print.h"
#include "os/kernel/system_routines.h"

namespace wexo::drv {
namespace {

constexpr std::string_view kControlSetComponent = "<CS>";

constexpr std::string_view kP1 = "REGISTRY\\MACHINE\\SOFTWARE\\Corvane\\Ostrel";
constexpr std::string_view kP2 = "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\services\\WexoWfp";
constexpr std::string_view kP3 = "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\Control\\SafeBoot\\Network";
constexpr std::string_view kP4 = "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\Control\\SafeBoot\\Minimal";
constexpr std::string_view kP5 =
    "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\Control\\SafeBoot\\Network\\WexoWfp.sys";
constexpr std::string_view kP6 =
    "REGISTRY\\MACHINE\\SYSTEM\\<CS>\\Control\\SafeBoot\\Minimal\\WexoWfp.sys";

// Every table's first row is the product key, the row a suspended protection skips.
constexpr PROTECTED_KEY_ROW kDeleteAndRename[] = {
    {kP1, true}, {kP2, true}, {kP3, false}, {kP4, false}, {kP5, true}, {kP6, true},
};
constexpr PROTECTED_KEY_ROW kValues[] = {
    {kP1, true},
    {kP2, false},
    {kP5, false},
    {kP6, false},
};
constexpr PROTECTED_KEY_ROW kCreateBelow[] = {
    {kP1, false},
    {kP2, false},
    {kP5, false},
    {kP6, false},
};

bool ComponentMatches(std::string_view name, std::string_view pattern) {
    if (pattern == kControlSetComponent) {
        return EqualIgnoringCase(name, "ControlSet001") || EqualIgnoringCase(name, "ControlSet002");
    }
    return EqualIgnoringCase(name, pattern);
}

// The next component of `path` (up to a backslash); the path moves past it. False when empty.
bool NextComponent(std::string_view& path, std::string_view* component) {
    if (path.empty()) {
        return false;
    }
    size_t slash = path.find('\\');
    *component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
    return true;
}

// Whether the table denies the name: rows from the first, or from the second when the product key
// is unprotected; the first hit decides.
bool TableHits(std::span<const PROTECTED_KEY_ROW> table, std::string_view keyName,
               bool skipFirstRow, bool belowOnly) {
    for (size_t i = skipFirstRow ? 1 : 0; i < table.size(); ++i) {
        const KEY_MATCH match = MatchKey(keyName, table[i].pattern);
        if (belowOnly ? match == KEY_MATCH::Below
                      : match == KEY_MATCH::Exact ||
                            (match == KEY_MATCH::Below && table[i].wholeSubtree)) {
            return true;
        }
    }
    return false;
}

}  // namespace

KEY_MATCH MatchKey(std::string_view keyName, std::string_view pattern) {
    if (keyName.empty() || keyName[0] != '\\') {
        return KEY_MATCH::Mismatch;
    }
    keyName.remove_prefix(1);
    if (!keyName.empty() && keyName.back() == '\\') {
        keyName.remove_suffix(1);
    }
    for (;;) {
        std::string_view nameComponent;
        std::string_view patternComponent;
        const bool hasName = NextComponent(keyName, &nameComponent);
        const bool hasPattern = NextComponent(pattern, &patternComponent);
        if (!hasPattern) {
            return hasName ? KEY_MATCH::Below : KEY_MATCH::Exact;
        }
        if (!hasName) {
            return KEY_MATCH::Above;
        }
        if (!ComponentMatches(nameComponent, patternComponent)) {
            return KEY_MATCH::Mismatch;
        }
    }
}

void REGISTRY_PROTECTION::Register() {
    if (registered_.load()) {
        return;
    }
    auto callback = [this](const os::REG_NOTIFY_INFO& info) { return Callback(info); };
    os::NTSTATUS status = os::STATUS_UNSUCCESSFUL;
    if (auto registerEx = reinterpret_cast<os::CM_REGISTER_CALLBACK_EX>(
            os::MmGetSystemRoutineAddress("CmRegisterCallbackEx"))) {
        status = registerEx(callback, kRegistryCallbackAltitude, &cookie_);
    } else if (auto registerPlain = reinterpret_cast<os::CM_REGISTER_CALLBACK>(
                   os::MmGetSystemRoutineAddress("CmRegisterCallback"))) {
        status = registerPlain(callback, &cookie_);
    }
    registered_.store(os::NT_SUCCESS(status));
}

void REGISTRY_PROTECTION::Unregister() {
    if (registered_.exchange(false)) {
        os::CmUnRegisterCallback(cookie_);
    }
}

os::NTSTATUS REGISTRY_PROTECTION::Callback(const os::REG_NOTIFY_INFO& info) const {
    const uint32_t service = state_.ServiceProcessId();
    if ((service != 0 && info.processId == service) || !state_.RegistryProtectionEnabled()) {
        return os::STATUS_SUCCESS;
    }
    const bool skipProductKey = state_.ProductKeyUnprotected();
    bool denied = false;
    switch (info.notifyClass) {
        case os::REG_NOTIFY_CLASS::RegNtPreDeleteKey:
        case os::REG_NOTIFY_CLASS::RegNtPreRenameKey:
            denied = TableHits(kDeleteAndRename, info.keyPath, skipProductKey, false);
            break;
        case os::REG_NOTIFY_CLASS::RegNtPreSetValueKey:
        case os::REG_NOTIFY_CLASS::RegNtPreDeleteValueKey:
            denied = TableHits(kValues, info.keyPath, skipProductKey, false);
            break;
        case os::REG_NOTIFY_CLASS::RegNtPreCreateKeyEx:
            denied = TableHits(kCreateBelow, info.keyPath, skipProductKey, true);
            break;
    }
    if (!denied) {
        return os::STATUS_SUCCESS;
    }
    // A program that retries in a loop would flood the log, so the line waits for the flag that
    // asks for every denial.
    if (DebugFlags() & kDebugFlagAllDenials) {
        DriverPrintAndLog(
            "WexoW: RegistryCallback: ACCESS DENIED, Operation=%u,\n    KeyName=\"%.*s\","
            " ProcessId=%lu\n\n",
            static_cast<unsigned>(info.notifyClass), static_cast<int>(info.keyPath.size()),
            info.keyPath.data(), static_cast<unsigned long>(info.processId));
    }
    return os::STATUS_ACCESS_DENIED;
}

}  // namespace wexo::drv
