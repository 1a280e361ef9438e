#include "driver/protection/protection_state.h"

#include "driver/platform/identification.h"

namespace wexo::drv {

std::u16string NormaliseText(std::u16string_view path) {
    if (path.empty() || path.size() * sizeof(char16_t) > 0xFFFE) {
        return std::u16string(path);
    }
    std::u16string copy(path);
    os::UNICODE_STRING view;
    view.Buffer = copy.data();
    view.Length = static_cast<uint16_t>(copy.size() * sizeof(char16_t));
    view.MaximumLength = view.Length;
    UNICODE_STRING* normalised = NormalisePath(view);
    if (normalised == nullptr) {
        return copy;  // no memory: the name as given, which at worst matches less
    }
    std::u16string result(normalised->View());
    FreeString(normalised);
    return result;
}

void PROTECTION_STATE::Store(std::u16string& slot, bool& present, const std::u16string* folder) {
    if (folder == nullptr) {
        slot.clear();
        present = false;
        return;
    }
    if (present && EqualIgnoringCase(slot, *folder)) {
        return;
    }
    slot = *folder;
    present = true;
}

void PROTECTION_STATE::SetProtectedFolder(const std::u16string* folder) {
    std::u16string normalised;
    if (folder != nullptr) {
        normalised = NormaliseText(*folder);
    }
    {
        std::lock_guard guard(foldersLock_);
        Store(programFolder_, hasProgramFolder_, folder != nullptr ? &normalised : nullptr);
    }
    Changed();
}

void PROTECTION_STATE::SetChangeObserver(std::function<void()> observer) {
    std::lock_guard guard(observerLock_);
    observer_ = std::move(observer);
}

void PROTECTION_STATE::Changed() {
    // Held while the observer runs, so that removing it waits for a call in progress.
    std::lock_guard guard(observerLock_);
    if (observer_) {
        observer_();
    }
}

void PROTECTION_STATE::SetDataFolder(const std::u16string* folder) {
    std::lock_guard guard(foldersLock_);
    Store(dataFolder_, hasDataFolder_, folder);
}

std::u16string PROTECTION_STATE::ProtectedFolder() const {
    std::lock_guard guard(foldersLock_);
    return programFolder_;
}

std::u16string PROTECTION_STATE::DataFolder() const {
    std::lock_guard guard(foldersLock_);
    return dataFolder_;
}

}  // namespace wexo::drv
