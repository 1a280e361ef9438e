#include "driver/protection/driver_image.h"

#include <utility>

#include "driver/platform/debug_print.h"
#include "driver/platform/event_log.h"
#include "os/core/sync.h"
#include "os/kernel/pool.h"
#include "os/kernel/unicode_string.h"

namespace wexo::drv {
namespace {

constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t kCopyBufferTag = os::MakePoolTag("WXUP");

// The folder of a path, up to and including its last backslash; empty without one.
std::u16string_view FolderOf(std::u16string_view path) {
    size_t slash = path.rfind(u'\\');
    return slash == std::u16string_view::npos ? std::u16string_view{} : path.substr(0, slash + 1);
}

}  // namespace

DRIVER_IMAGE_FILE::~DRIVER_IMAGE_FILE() {
    Close(held_);
}

std::shared_ptr<os::FLT_FILE_OBJECT> DRIVER_IMAGE_FILE::HeldFile() const {
    return held_.object;
}

void DRIVER_IMAGE_FILE::Lock() {
    uint32_t self = os::CurrentThreadId();
    for (;;) {
        uint32_t expected = 0;
        if (owner_.compare_exchange_strong(expected, self)) {
            return;
        }
        os::Sleep(kLockPollMs);
    }
}

void DRIVER_IMAGE_FILE::Unlock() {
    owner_.store(0);
}

os::NTSTATUS DRIVER_IMAGE_FILE::Create(std::u16string_view path, uint32_t access, uint32_t share,
                                       uint32_t disposition, FILE_RECORD* record) const {
    os::IO_STATUS_BLOCK ioStatus;
    // Without an instance the name's own volume is used, which is where the image lies.
    return os::FltCreateFileEx(filter_, nullptr, &record->handle, &record->object, access, path,
                               &ioStatus, FILE_ATTRIBUTE_NORMAL, share, disposition, kOpenOptions);
}

os::NTSTATUS DRIVER_IMAGE_FILE::OpenLogged(std::u16string_view path, uint32_t access,
                                           bool silentWhenMissing, FILE_RECORD* record) const {
    os::UNICODE_STRING name = os::UnicodeStringOf(path);
    os::NTSTATUS status = Create(path, access, os::FILE_SHARE_READ, os::FILE_OPEN, record);
    if (os::NT_SUCCESS(status)) {
        DriverPrintAndLogWide("WexoW: OpenDriver: File=\"%wZ\" opened\n\n", &name);
        return status;
    }
    if (silentWhenMissing && status == os::STATUS_OBJECT_NAME_NOT_FOUND) {
        return status;
    }
    DriverPrintAndLogWide("WexoW: Unable to open driver file \"%wZ\", Status=0x%lx\n\n", &name,
                          static_cast<unsigned long>(static_cast<uint32_t>(status)));
    WriteDriverEvent(DRIVER_EVENT_OPEN_FILE_FAILED, UniqueValue("PROT"), status,
                     {NarrowText(path), StatusText(status)});
    return status;
}

void DRIVER_IMAGE_FILE::Close(FILE_RECORD& record) {
    if (record.handle != 0) {
        os::FltClose(record.handle);
    }
    record = FILE_RECORD{};
}

void DRIVER_IMAGE_FILE::Hold(std::shared_ptr<os::FLT_FILTER> filter, std::u16string imagePath) {
    Lock();
    if (state_.load() == kNotHeld && held_.handle == 0) {
        filter_ = std::move(filter);
        imagePath_ = std::move(imagePath);
        FILE_RECORD record;
        if (os::NT_SUCCESS(OpenLogged(imagePath_, kHoldAccess, false, &record))) {
            held_ = std::move(record);
            state_.store(kHeld);
        }
    }
    Unlock();
}

void DRIVER_IMAGE_FILE::DeleteLeftover(const std::shared_ptr<os::FLT_FILTER>& filter,
                                       std::u16string_view imagePath) {
    std::u16string_view folder = FolderOf(imagePath);
    if (folder.empty()) {
        return;
    }
    std::u16string oldPath(folder);
    oldPath += kOldImageName;
    Lock();
    if (filter_ == nullptr) {
        filter_ = filter;
    }
    FILE_RECORD record;
    if (os::NT_SUCCESS(OpenLogged(oldPath, os::DELETE, true, &record))) {
        os::FltSetDeleteDisposition(record.instance, *record.object);
        Close(record);
    }
    Unlock();
}

void DRIVER_IMAGE_FILE::Release() {
    Lock();
    Close(held_);
    state_.store(kNotHeld);
    Unlock();
}

os::NTSTATUS DRIVER_IMAGE_FILE::UpdateFromCaller(const os::CallerMemory& caller, uint64_t input,
                                                 uint32_t inputLength) {
    if (inputLength < sizeof(uint64_t)) {
        return os::STATUS_BUFFER_TOO_SMALL;
    }
    os::HANDLE handle = 0;
    if (!caller.ReadValue(input, &handle)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    // A handle that names no open file must not cost the image its name: it is refused before
    // anything is renamed.
    std::shared_ptr<os::FLT_FILE_OBJECT> source;
    os::NTSTATUS status = os::FltReferenceFileHandle(handle, &source);
    if (!os::NT_SUCCESS(status)) {
        return status;
    }
    return Update(*source);
}

os::NTSTATUS DRIVER_IMAGE_FILE::CopyInto(os::FLT_FILE_OBJECT& source, FILE_RECORD& target) {
    auto* buffer = static_cast<uint8_t*>(
        os::ExAllocatePoolWithTag(os::PoolType::Paged, kCopyChunk, kCopyBufferTag));
    if (buffer == nullptr) {
        return os::STATUS_INSUFFICIENT_RESOURCES;
    }
    os::NTSTATUS status = os::STATUS_SUCCESS;
    int64_t offset = 0;
    for (;;) {
        uint32_t got = 0;
        status = os::FltReadFile(nullptr, source, &offset, kCopyChunk, buffer, 0, &got);
        if (status == os::STATUS_END_OF_FILE) {
            status = os::STATUS_SUCCESS;
            break;
        }
        if (!os::NT_SUCCESS(status) || got == 0) {
            break;
        }
        uint32_t put = 0;
        status = os::FltWriteFile(target.instance, *target.object, &offset, got, buffer, 0, &put);
        if (os::NT_SUCCESS(status) && put != got) {
            status = os::STATUS_DISK_FULL;
        }
        if (!os::NT_SUCCESS(status)) {
            break;
        }
        offset += got;
        if (got < kCopyChunk) {
            break;
        }
    }
    os::ExFreePoolWithTag(buffer, kCopyBufferTag);
    if (os::NT_SUCCESS(status)) {
        // An overwritten image may have been longer than the new one.
        status = os::FltSetEndOfFile(target.instance, *target.object, offset);
    }
    return status;
}

os::NTSTATUS DRIVER_IMAGE_FILE::Update(os::FLT_FILE_OBJECT& source) {
    Lock();
    int state = state_.load();
    if (state != kHeld) {
        DriverPrintAndLog("WexoW: UpdateDriver: state=%d\n\n", state);
        Unlock();
        return os::STATUS_UNSUCCESSFUL;
    }
    os::NTSTATUS status = os::FltRenameFile(held_.instance, *held_.object, kOldImageName, true);
    if (!os::NT_SUCCESS(status)) {
        DriverPrintAndLogWide("WexoW: Unable to rename driver %ws. Status=0x%lx\n\n", kOldImageName,
                              static_cast<unsigned long>(static_cast<uint32_t>(status)));
        Unlock();
        return status;
    }
    // From here the image is no longer under its own name: whatever happens, this boot gets no
    // second attempt.
    state_.store(kUpdated);

    os::UNICODE_STRING name = os::UnicodeStringOf(imagePath_);
    FILE_RECORD created;
    status = Create(imagePath_, kCreateAccess, 0, os::FILE_OVERWRITE_IF, &created);
    bool rollBack = true;
    if (!os::NT_SUCCESS(status)) {
        DriverPrintAndLogWide(
            "WexoW: UpdateDriver: Unable to create file=\"%wZ\", Status=0x%lx\n\n", &name,
            static_cast<unsigned long>(static_cast<uint32_t>(status)));
    } else {
        DriverPrintAndLogWide("WexoW: UpdateDriver: Driver file=\"%wZ\" created\n\n", &name);
        if (os::NT_SUCCESS(CopyInto(source, created))) {
            Close(held_);
            held_ = std::move(created);
            Unlock();
            return os::STATUS_SUCCESS;
        }
        // A partial image must not be left under the image's name, or the next boot would load
        // it; if it cannot be removed the old image is left aside rather than overwriting it.
        os::NTSTATUS deleted = os::FltSetDeleteDisposition(created.instance, *created.object);
        Close(created);
        rollBack = os::NT_SUCCESS(deleted);
    }
    if (rollBack) {
        size_t slash = imagePath_.rfind(u'\\');
        std::u16string_view leaf = std::u16string_view(imagePath_).substr(slash + 1);
        os::FltRenameFile(held_.instance, *held_.object, leaf, true);
    }
    Unlock();
    return os::STATUS_UNSUCCESSFUL;
}

}  // namespace wexo::drv
