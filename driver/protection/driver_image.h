// The driver's own image file: held open for the driver's life so that no other process can
// replace or delete it (readers only), replaced in place by the self-update, and the image an
// earlier update renamed aside deleted at the next start. The new image runs from the next boot.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/fltmgr/file_io.h"
#include "os/kernel/caller_memory.h"

namespace wexo::drv {

class DRIVER_IMAGE_FILE {
  public:
    enum STATE : int { kNotHeld = 0, kHeld = 1, kUpdated = 2 };

    // Generic read and write attributes: enough to hold the file, while the share mode keeps
    // writers and deleters out.
    static constexpr uint32_t kHoldAccess = 0x120189;
    static constexpr uint32_t kCreateAccess = 0x1F01FF;
    // Synchronous non-alertable, non-directory.
    static constexpr uint32_t kOpenOptions = 0x50;
    static constexpr uint32_t kCopyChunk = 16384;
    static constexpr uint32_t kLockPollMs = 10;
    static constexpr char16_t kOldImageName[] = u"WexoWfp.old";

    DRIVER_IMAGE_FILE() = default;
    ~DRIVER_IMAGE_FILE();
    DRIVER_IMAGE_FILE(const DRIVER_IMAGE_FILE&) = delete;
    DRIVER_IMAGE_FILE& operator=(const DRIVER_IMAGE_FILE&) = delete;

    // Opens the image (the loader's full path) through the filter and keeps it open: state 1.
    // A failure leaves a debug-log line and an event, and state 0.
    void Hold(std::shared_ptr<os::FLT_FILTER> filter, std::u16string imagePath);
    // Deletes "WexoWfp.old" beside the image; silent when it is not there.
    void DeleteLeftover(const std::shared_ptr<os::FLT_FILTER>& filter,
                        std::u16string_view imagePath);
    // Closes the held file: state 0, so no update can follow in this boot.
    void Release();

    // QRN_UPDATE_DRIVER once the caller is known to be authorised: the first 8 bytes of the
    // input are the caller's handle to the new image, opened for reading.
    os::NTSTATUS UpdateFromCaller(const os::CallerMemory& caller, uint64_t input,
                                  uint32_t inputLength);
    // Replaces the image with the content of `source`; the old one stays as "WexoWfp.old".
    os::NTSTATUS Update(os::FLT_FILE_OBJECT& source);

    int State() const { return state_.load(); }
    // The held open, for tests: null when nothing is held.
    std::shared_ptr<os::FLT_FILE_OBJECT> HeldFile() const;

  private:
    struct FILE_RECORD {
        std::shared_ptr<os::FLT_INSTANCE> instance;
        std::shared_ptr<os::FLT_FILE_OBJECT> object;
        os::HANDLE handle = 0;
    };
    os::NTSTATUS Create(std::u16string_view path, uint32_t access, uint32_t share,
                        uint32_t disposition, FILE_RECORD* record) const;
    // Hold's and DeleteLeftover's open, with their lines and event.
    os::NTSTATUS OpenLogged(std::u16string_view path, uint32_t access, bool silentWhenMissing,
                            FILE_RECORD* record) const;
    static void Close(FILE_RECORD& record);
    os::NTSTATUS CopyInto(os::FLT_FILE_OBJECT& source, FILE_RECORD& target);
    void Lock();
    void Unlock();

    std::shared_ptr<os::FLT_FILTER> filter_;
    std::u16string imagePath_;
    FILE_RECORD held_;
    std::atomic<int> state_{kNotHeld};
    std::atomic<uint32_t> owner_{0};
};

}  // namespace wexo::drv
