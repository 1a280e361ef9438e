// The switches and folders the self-protection consults, set through the control device: file
// protection on/off, registry protection (off until restart once uninstalled), the product-key
// bypass of a suspend, and the protected program folder the service named when it registered.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace wexo::drv {

class PROTECTION_STATE {
  public:
    void SetFileProtection(bool on) {
        fileProtection_ = on;
        Changed();
    }
    bool FileProtectionOn() const { return fileProtection_; }
    // `RegistryProtectionEnabled`: nothing turns it back on before a restart.
    void DisableRegistryProtection() { registryProtection_ = false; }
    bool RegistryProtectionEnabled() const { return registryProtection_; }
    // `ProductKeyUnprotected`.
    void SetProductKeyUnprotected(bool on) { productKeyUnprotected_ = on; }
    bool ProductKeyUnprotected() const { return productKeyUnprotected_; }

    // The registered service's process, exempt from the file and registry protection; 0 for none.
    void SetServiceProcessId(uint32_t processId) { serviceProcessId_ = processId; }
    uint32_t ServiceProcessId() const { return serviceProcessId_; }

    // The program folder is kept normalised (object-manager links resolved), the form the file
    // names the filter sees are compared in. A folder equal to the stored one, ignoring case,
    // leaves it; null clears it.
    void SetProtectedFolder(const std::u16string* folder);
    void SetDataFolder(const std::u16string* folder);
    std::u16string ProtectedFolder() const;
    std::u16string DataFolder() const;

    // Called after the file protection is switched or the protected folder changes (on the thread
    // that changed it): a host that enforces the protection outside the driver follows it. Null
    // removes it; it must not change the state itself.
    void SetChangeObserver(std::function<void()> observer);

  private:
    void Changed();

    static void Store(std::u16string& slot, bool& present, const std::u16string* folder);

    std::atomic<bool> fileProtection_{true};
    std::atomic<bool> registryProtection_{true};
    std::atomic<bool> productKeyUnprotected_{false};
    std::atomic<uint32_t> serviceProcessId_{0};
    std::mutex observerLock_;
    std::function<void()> observer_;
    mutable std::mutex foldersLock_;
    std::u16string programFolder_;
    bool hasProgramFolder_ = false;
    std::u16string dataFolder_;
    bool hasDataFolder_ = false;
};

// Names of the protected folders and keys compare without the case of ASCII letters, as the
// file system's and the registry's names do; UTF-16 file names and UTF-8 key names alike.
template <typename CHAR>
bool EqualIgnoringCase(std::basic_string_view<CHAR> a, std::basic_string_view<CHAR> b) {
    auto fold = [](CHAR c) {
        return c >= CHAR('a') && c <= CHAR('z') ? static_cast<CHAR>(c - CHAR('a') + CHAR('A')) : c;
    };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}
inline bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
    return EqualIgnoringCase<char16_t>(a, b);
}
inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return EqualIgnoringCase<char>(a, b);
}
// The path with its object-manager links resolved (identification's NormalisePath), as text.
std::u16string NormaliseText(std::u16string_view path);

}  // namespace wexo::drv
