// The driver's own image file: held open for the driver's life so that no other process can
// replace or delete it (readers only), and replaced by the self-update. The new image is written
// whole to "<name>.new" beside the image (written through to the disk), checked, given the old
// image's owner and permissions, and only then renamed over the image: the name always holds one
// whole image, and a failure at any step leaves the old one in place and held. The old file lives
// on behind the held open (the running image keeps it); the new image runs from the next start,
// which deletes what an interrupted update or an earlier version left beside it ("<name>.new",
// and the "<name>.old" a rename-aside update leaves, "WexoWfp.old" for "WexoWfp.sys").
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
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
    // Synchronous non-alertable, non-directory; the new image is also written through.
    static constexpr uint32_t kOpenOptions = 0x50;
    static constexpr uint32_t kWriteThrough = 0x2;
    static constexpr uint32_t kCopyChunk = 16384;
    static constexpr uint32_t kLockPollMs = 10;
    static constexpr size_t kHeadSize = 64;

    // Whether a copied image, by its first bytes (up to kHeadSize) and its size, is one the
    // loader can run; without a check every copy that completes is taken.
    using IMAGE_CHECK = std::function<bool(std::span<const uint8_t> head, uint64_t size)>;

    // The names beside an image named `leaf`: its name up to the last dot (all of it without
    // one), then ".old" or ".new".
    static std::u16string OldNameOf(std::u16string_view leaf);
    static std::u16string NewNameOf(std::u16string_view leaf);

    DRIVER_IMAGE_FILE() = default;
    ~DRIVER_IMAGE_FILE();
    DRIVER_IMAGE_FILE(const DRIVER_IMAGE_FILE&) = delete;
    DRIVER_IMAGE_FILE& operator=(const DRIVER_IMAGE_FILE&) = delete;

    // Opens the image (the loader's full path) through the filter and keeps it open: state 1.
    // A failure leaves a debug-log line and an event, and state 0.
    void Hold(std::shared_ptr<os::FLT_FILTER> filter, std::u16string imagePath);
    // Deletes the ".old" and ".new" files beside the image; silent when they are not there.
    void DeleteLeftover(const std::shared_ptr<os::FLT_FILTER>& filter,
                        std::u16string_view imagePath);
    // Closes the held file: state 0, so no update can follow in this boot.
    void Release();

    void SetImageCheck(IMAGE_CHECK check) { check_ = std::move(check); }

    // QRN_UPDATE_DRIVER once the caller is known to be authorised: a QRN_UPDATE_DRIVER_REQUEST
    // (common/driver_update.h) in the caller's memory.
    os::NTSTATUS UpdateFromCaller(const os::CallerMemory& caller, uint64_t input,
                                  uint32_t inputLength);
    // Replaces the image with the content of `source`, which must be `expectedSize` bytes long
    // when that is not 0. Success holds the new image (state 2); a failure changes nothing.
    os::NTSTATUS Update(os::FLT_FILE_OBJECT& source, uint64_t expectedSize = 0);

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
    os::NTSTATUS CopyInto(os::FLT_FILE_OBJECT& source, FILE_RECORD& target,
                          std::array<uint8_t, kHeadSize>* head, uint64_t* size);
    os::NTSTATUS UpdateLocked(os::FLT_FILE_OBJECT& source, uint64_t expectedSize);
    void Lock();
    void Unlock();

    std::shared_ptr<os::FLT_FILTER> filter_;
    std::u16string imagePath_;
    IMAGE_CHECK check_;
    FILE_RECORD held_;
    std::atomic<int> state_{kNotHeld};
    std::atomic<uint32_t> owner_{0};
};

}  // namespace wexo::drv
