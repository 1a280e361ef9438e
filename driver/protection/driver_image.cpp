#include "driver/protection/driver_image.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/driver_update.h"
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

std::u16string DRIVER_IMAGE_FILE::OldNameOf(std::u16string_view leaf) {
    return std::u16string(leaf.substr(0, leaf.rfind(u'.'))) + u".old";
}

std::u16string DRIVER_IMAGE_FILE::NewNameOf(std::u16string_view leaf) {
    return std::u16string(leaf.substr(0, leaf.rfind(u'.'))) + u".new";
}

void DRIVER_IMAGE_FILE::DeleteLeftover(const std::shared_ptr<os::FLT_FILTER>& filter,
                                       std::u16string_view imagePath) {
    std::u16string_view folder = FolderOf(imagePath);
    if (folder.empty()) {
        return;
    }
    std::u16string_view leaf = imagePath.substr(folder.size());
    Lock();
    if (filter_ == nullptr) {
        filter_ = filter;
    }
    for (const std::u16string& name : {OldNameOf(leaf), NewNameOf(leaf)}) {
        FILE_RECORD record;
        if (os::NT_SUCCESS(OpenLogged(std::u16string(folder) + name, os::DELETE, true, &record))) {
            os::FltSetDeleteDisposition(record.instance, *record.object);
            Close(record);
        }
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
    uint64_t size = 0;
    if (inputLength >= kUpdateDriverHeaderSize &&
        !caller.ReadValue(input + sizeof(uint64_t), &size)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    if (handle != 0) {
        // A handle that names no open file must not cost the image anything: it is refused
        // before anything is written.
        std::shared_ptr<os::FLT_FILE_OBJECT> source;
        os::NTSTATUS status = os::FltReferenceFileHandle(handle, &source);
        if (!os::NT_SUCCESS(status)) {
            return status;
        }
        return Update(*source, size);
    }
    uint32_t pathBytes =
        inputLength > kUpdateDriverHeaderSize ? inputLength - kUpdateDriverHeaderSize : 0;
    pathBytes = std::min<uint32_t>(pathBytes, kUpdateDriverMaxPath * sizeof(char16_t));
    std::u16string path(pathBytes / sizeof(char16_t), u'\0');
    if (path.empty() ||
        !caller.Read(input + kUpdateDriverHeaderSize, path.data(), path.size() * 2)) {
        return os::STATUS_INVALID_PARAMETER;
    }
    path.resize(std::u16string_view(path.c_str()).size());
    if (path.empty()) {
        return os::STATUS_INVALID_PARAMETER;
    }
    if (filter_ == nullptr) {
        return os::STATUS_UNSUCCESSFUL;
    }
    // The caller holds the installation's secret: it may name any file the driver can read.
    FILE_RECORD source;
    os::NTSTATUS status = Create(path, os::FILE_READ_DATA | os::SYNCHRONIZE, os::FILE_SHARE_READ,
                                 os::FILE_OPEN, &source);
    if (!os::NT_SUCCESS(status)) {
        os::UNICODE_STRING name = os::UnicodeStringOf(path);
        DriverPrintAndLogWide("WexoW: UpdateDriver: Unable to open file=\"%wZ\", Status=0x%lx\n\n",
                              &name, static_cast<unsigned long>(static_cast<uint32_t>(status)));
        return status;
    }
    status = Update(*source.object, size);
    Close(source);
    return status;
}

os::NTSTATUS DRIVER_IMAGE_FILE::CopyInto(os::FLT_FILE_OBJECT& source, FILE_RECORD& target,
                                         std::array<uint8_t, kHeadSize>* head, uint64_t* size) {
    auto* buffer = static_cast<uint8_t*>(
        os::ExAllocatePoolWithTag(os::PoolType::Paged, kCopyChunk, kCopyBufferTag));
    if (buffer == nullptr) {
        return os::STATUS_INSUFFICIENT_RESOURCES;
    }
    head->fill(0);
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
        if (offset == 0) {
            std::memcpy(head->data(), buffer, std::min<size_t>(got, kHeadSize));
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
        // A leftover ".new" of an earlier attempt may have been longer.
        status = os::FltSetEndOfFile(target.instance, *target.object, offset);
    }
    *size = static_cast<uint64_t>(offset);
    return status;
}

os::NTSTATUS DRIVER_IMAGE_FILE::Update(os::FLT_FILE_OBJECT& source, uint64_t expectedSize) {
    Lock();
    os::NTSTATUS status = UpdateLocked(source, expectedSize);
    Unlock();
    return status;
}

os::NTSTATUS DRIVER_IMAGE_FILE::UpdateLocked(os::FLT_FILE_OBJECT& source, uint64_t expectedSize) {
    int state = state_.load();
    if (state != kHeld) {
        DriverPrintAndLog("WexoW: UpdateDriver: state=%d\n\n", state);
        return os::STATUS_UNSUCCESSFUL;
    }
    std::u16string_view folder = FolderOf(imagePath_);
    std::u16string_view leaf = std::u16string_view(imagePath_).substr(folder.size());
    std::u16string newPath = std::u16string(folder) + NewNameOf(leaf);
    os::UNICODE_STRING name = os::UnicodeStringOf(newPath);
    FILE_RECORD created;
    os::NTSTATUS status = Create(newPath, kCreateAccess, 0, os::FILE_OVERWRITE_IF, &created);
    if (!os::NT_SUCCESS(status)) {
        DriverPrintAndLogWide(
            "WexoW: UpdateDriver: Unable to create file=\"%wZ\", Status=0x%lx\n\n", &name,
            static_cast<unsigned long>(static_cast<uint32_t>(status)));
        return os::STATUS_UNSUCCESSFUL;
    }
    DriverPrintAndLogWide("WexoW: UpdateDriver: Driver file=\"%wZ\" created\n\n", &name);
    std::array<uint8_t, kHeadSize> head{};
    uint64_t size = 0;
    status = CopyInto(source, created, &head, &size);
    if (os::NT_SUCCESS(status) &&
        ((expectedSize != 0 && size != expectedSize) ||
         (check_ &&
          !check_(std::span<const uint8_t>(head.data(), std::min<size_t>(size, kHeadSize)),
                  size)))) {
        // A short, cut or foreign file would not start at the next boot: the image stays.
        DriverPrintAndLog("WexoW: UpdateDriver: Refused image of %llu bytes\n\n",
                          static_cast<unsigned long long>(size));
        status = os::STATUS_UNSUCCESSFUL;
    }
    if (os::NT_SUCCESS(status)) {
        status = os::FltCopySecurity(created.instance, *held_.object, *created.object);
    }
    if (os::NT_SUCCESS(status)) {
        // The one step that changes what the image name holds, and it does so at once.
        status = os::FltRenameFile(created.instance, *created.object, leaf, true);
        if (!os::NT_SUCCESS(status)) {
            DriverPrintAndLogWide("WexoW: Unable to rename driver %ws. Status=0x%lx\n\n",
                                  NewNameOf(leaf).c_str(),
                                  static_cast<unsigned long>(static_cast<uint32_t>(status)));
        }
    }
    if (!os::NT_SUCCESS(status)) {
        os::FltSetDeleteDisposition(created.instance, *created.object);
        Close(created);
        return os::STATUS_UNSUCCESSFUL;
    }
    state_.store(kUpdated);
    Close(held_);
    // Held as the start holds an image, for reading only: an open for writing would keep the
    // loader from running the file.
    Close(created);
    Create(imagePath_, kHoldAccess, os::FILE_SHARE_READ, os::FILE_OPEN, &held_);
    return os::STATUS_SUCCESS;
}

}  // namespace wexo::drv
