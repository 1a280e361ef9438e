#include "os/fltmgr/process_io.h"

#include <vector>

#include "os/core/process.h"

namespace os {
namespace {

// Reparses one create follows before it gives up, as Windows does for a chain of links.
constexpr int kMaxReparses = 32;

std::atomic<size_t> g_liveNames{0};

struct PENDING_POST {
    std::shared_ptr<FLT_INSTANCE> instance;
    const FLT_OPERATION_REGISTRATION* operation = nullptr;
    void* completionContext = nullptr;
};

FLT_RELATED_OBJECTS ObjectsOf(const std::shared_ptr<FLT_INSTANCE>& instance) {
    return FLT_RELATED_OBJECTS{instance->Filter(), instance->Volume(), instance};
}

// The post-operation callbacks, last asked first.
void RunPost(FLT_CALLBACK_DATA& data, std::vector<PENDING_POST>& posts) {
    for (auto it = posts.rbegin(); it != posts.rend(); ++it) {
        data.iopb.targetInstance = it->instance;
        const uint32_t flags = it->instance->Attached() ? 0 : FLTFL_POST_OPERATION_DRAINING;
        it->operation->postOperation(data, ObjectsOf(it->instance), it->completionContext, flags);
    }
    posts.clear();
}

// The pre-operation callbacks of every instance on the volume. True when one completed the
// operation: the post-operation callbacks of those before it have run and data.ioStatus holds
// the status.
bool RunPre(FLT_CALLBACK_DATA& data, const FLT_VOLUME& volume, std::vector<PENDING_POST>* posts) {
    for (const std::shared_ptr<FLT_INSTANCE>& instance : FltAttachedInstances(volume)) {
        const FLT_FILTER* filter = instance->Filter();
        if (!filter->Registered()) {
            continue;
        }
        for (const FLT_OPERATION_REGISTRATION& operation : filter->Registration().operations) {
            if (operation.majorFunction != data.iopb.majorFunction) {
                continue;
            }
            data.iopb.targetInstance = instance;
            void* completion = nullptr;
            FLT_PREOP_CALLBACK_STATUS status = FLT_PREOP_SUCCESS_WITH_CALLBACK;
            if (operation.preOperation) {
                status = operation.preOperation(data, ObjectsOf(instance), &completion);
            }
            if (status == FLT_PREOP_COMPLETE) {
                RunPost(data, *posts);
                return true;
            }
            if (status != FLT_PREOP_SUCCESS_NO_CALLBACK && status != FLT_PREOP_DISALLOW_FASTIO &&
                operation.postOperation) {
                posts->push_back(PENDING_POST{instance, &operation, completion});
            }
        }
    }
    return false;
}

FLT_CALLBACK_DATA NewData(uint8_t majorFunction) {
    FLT_CALLBACK_DATA data;
    data.iopb.majorFunction = majorFunction;
    data.requestorProcessId = CurrentProcessId();
    return data;
}

std::u16string DeviceFormName(const FLT_VOLUME& volume, std::u16string_view remainder) {
    return volume.DeviceName() + std::u16string(remainder);
}

// The remainder without its last component, and that component.
void SplitLeaf(std::u16string_view remainder, std::u16string* parent, std::u16string* leaf) {
    size_t slash = remainder.rfind(u'\\');
    if (slash == std::u16string_view::npos) {
        parent->clear();
        *leaf = std::u16string(remainder);
        return;
    }
    *parent = std::u16string(remainder.substr(0, slash));
    *leaf = std::u16string(remainder.substr(slash + 1));
}

struct CREATE_REQUEST {
    uint32_t desiredAccess = 0;
    uint32_t fileAttributes = 0;
    uint32_t shareAccess = 0;
    uint32_t createDisposition = FILE_OPEN;
    uint32_t createOptions = 0;
    uint8_t operationFlags = 0;
};

// One create through the filters, following reparses. For SL_OPEN_TARGET_DIRECTORY the target's
// folder is opened (and closed again: the caller only needs the check and the target's final
// name, in `targetRemainder`).
NTSTATUS IssueCreate(std::u16string_view fileName, const CREATE_REQUEST& request,
                     HANDLE* fileHandle, IO_STATUS_BLOCK* ioStatus,
                     std::shared_ptr<FLT_VOLUME>* targetVolume = nullptr,
                     std::u16string* targetRemainder = nullptr) {
    const bool targetDirectory = request.operationFlags & SL_OPEN_TARGET_DIRECTORY;
    std::u16string current(fileName);
    for (int round = 0;; ++round) {
        if (round > kMaxReparses) {
            ioStatus->status = STATUS_REPARSE_POINT_NOT_RESOLVED;
            return ioStatus->status;
        }
        std::shared_ptr<FLT_VOLUME> volume;
        std::u16string remainder;
        NTSTATUS status = ResolveVolumePath(current, &volume, &remainder);
        if (!NT_SUCCESS(status)) {
            ioStatus->status = status;
            return status;
        }
        FLT_CALLBACK_DATA data = NewData(IRP_MJ_CREATE);
        data.iopb.operationFlags = request.operationFlags;
        data.iopb.parameters.create.desiredAccess = request.desiredAccess;
        data.iopb.parameters.create.options =
            (request.createOptions & 0x00FFFFFF) | (request.createDisposition << 24);
        data.iopb.parameters.create.fileAttributes = static_cast<uint16_t>(request.fileAttributes);
        data.iopb.parameters.create.shareAccess = static_cast<uint16_t>(request.shareAccess);
        data.openedName = DeviceFormName(*volume, remainder);
        data.fileObjectFlags = remainder.empty() ? FO_VOLUME_OPEN : 0;

        std::vector<PENDING_POST> posts;
        if (RunPre(data, *volume, &posts)) {
            *ioStatus = data.ioStatus;
            // A filter that completes a create must fail it: there is no open to give back.
            if (NT_SUCCESS(ioStatus->status)) {
                ioStatus->status = STATUS_ACCESS_DENIED;
            }
            return ioStatus->status;
        }

        std::u16string reparsed;
        std::shared_ptr<FLT_FILE_OBJECT> file;
        HANDLE handle = 0;
        if (targetDirectory) {
            std::u16string parent;
            std::u16string leaf;
            SplitLeaf(remainder, &parent, &leaf);
            status = detail::ReparseOnce(*volume, parent, true, &reparsed);
            if (status == STATUS_REPARSE) {
                reparsed += u"\\" + leaf;
            } else if (NT_SUCCESS(status)) {
                IO_STATUS_BLOCK io;
                status =
                    detail::OpenOnVolume(volume, parent, DeviceFormName(*volume, parent),
                                         SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                         FILE_DIRECTORY_FILE, 0, true, &handle, &file, &io);
                if (status == STATUS_REPARSE) {
                    continue;  // a link appeared since the look: look again
                }
            }
        } else {
            status = detail::ReparseOnce(*volume, remainder, true, &reparsed);
            if (NT_SUCCESS(status) && status != STATUS_REPARSE) {
                IO_STATUS_BLOCK io;
                status = detail::OpenOnVolume(
                    volume, remainder, data.openedName, request.desiredAccess, request.shareAccess,
                    request.createDisposition, request.createOptions & ~FILE_DELETE_ON_CLOSE, 0,
                    true, &handle, &file, &io);
                if (status == STATUS_REPARSE) {
                    continue;
                }
                data.ioStatus = io;
            }
        }
        if (status == STATUS_REPARSE) {
            data.ioStatus.status = STATUS_REPARSE;
            data.ioStatus.information = 0;
            RunPost(data, posts);
            current = DeviceFormName(*volume, reparsed);
            continue;
        }
        data.ioStatus.status = status;
        data.iopb.targetFileObject = file;
        RunPost(data, posts);
        if (file != nullptr && (!NT_SUCCESS(data.ioStatus.status) || targetDirectory)) {
            // Cancelled by a filter, or the target folder's check is all that was wanted.
            detail::TakeHandle(handle);
            detail::CloseFileObject(*file);
            if (targetDirectory && NT_SUCCESS(data.ioStatus.status)) {
                if (targetVolume != nullptr) {
                    *targetVolume = volume;
                }
                if (targetRemainder != nullptr) {
                    *targetRemainder = remainder;
                }
            }
            *ioStatus = data.ioStatus;
            return ioStatus->status;
        }
        *ioStatus = data.ioStatus;
        if (!NT_SUCCESS(ioStatus->status)) {
            return ioStatus->status;
        }
        if (request.createOptions & FILE_DELETE_ON_CLOSE) {
            detail::SetDeletePending(*file, true);
        }
        *fileHandle = handle;
        return STATUS_SUCCESS;
    }
}

size_t InformationLength(FILE_INFORMATION_CLASS informationClass) {
    switch (informationClass) {
        case FileBasicInformation:
            return sizeof(FILE_BASIC_INFORMATION);
        case FileRenameInformation:
        case FileLinkInformation:
            return sizeof(FILE_RENAME_INFORMATION);
        case FileDispositionInformation:
            return sizeof(FILE_DISPOSITION_INFORMATION);
        case FileEndOfFileInformation:
            return sizeof(FILE_END_OF_FILE_INFORMATION);
        case FileShortNameInformation:
            return sizeof(FILE_NAME_INFORMATION);
    }
    return 0;
}

uint32_t NeededAccess(FILE_INFORMATION_CLASS informationClass) {
    switch (informationClass) {
        case FileBasicInformation:
            return FILE_WRITE_ATTRIBUTES;
        case FileRenameInformation:
        case FileDispositionInformation:
        case FileShortNameInformation:
            return DELETE;
        case FileEndOfFileInformation:
            return FILE_WRITE_DATA;
        case FileLinkInformation:
            return 0;
    }
    return 0;
}

}  // namespace

NTSTATUS FltGetFileNameInformation(const FLT_CALLBACK_DATA& data, uint32_t nameOptions,
                                   FLT_FILE_NAME_INFORMATION** information) {
    if (information == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *information = nullptr;
    const uint32_t kind = nameOptions & 0xFF;
    if (kind != FLT_FILE_NAME_OPENED && kind != FLT_FILE_NAME_NORMALIZED) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::GetFileName);
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    std::u16string name = data.openedName;
    if (name.empty() && data.iopb.targetFileObject != nullptr) {
        name = data.iopb.targetFileObject->FileName();
    }
    if (name.empty() || name.size() * sizeof(char16_t) > 0xFFFE) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* made = new FLT_FILE_NAME_INFORMATION();
    made->text = std::move(name);
    made->Name.Buffer = made->text.data();
    made->Name.Length = static_cast<uint16_t>(made->text.size() * sizeof(char16_t));
    made->Name.MaximumLength = made->Name.Length;
    g_liveNames.fetch_add(1);
    *information = made;
    return STATUS_SUCCESS;
}

void FltReferenceFileNameInformation(FLT_FILE_NAME_INFORMATION* information) {
    if (information != nullptr) {
        information->references.fetch_add(1);
    }
}

void FltReleaseFileNameInformation(FLT_FILE_NAME_INFORMATION* information) {
    if (information != nullptr && information->references.fetch_sub(1) == 1) {
        delete information;
        g_liveNames.fetch_sub(1);
    }
}

size_t FltLiveFileNameCount() {
    return g_liveNames.load();
}

NTSTATUS NtCreateFile(HANDLE* fileHandle, uint32_t desiredAccess, std::u16string_view fileName,
                      IO_STATUS_BLOCK* ioStatus, uint32_t fileAttributes, uint32_t shareAccess,
                      uint32_t createDisposition, uint32_t createOptions, uint8_t operationFlags) {
    if (fileHandle == nullptr || ioStatus == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *fileHandle = 0;
    *ioStatus = IO_STATUS_BLOCK{};
    const bool wantDirectory = createOptions & FILE_DIRECTORY_FILE;
    const bool wantFile = createOptions & FILE_NON_DIRECTORY_FILE;
    if ((operationFlags & ~SL_OPEN_PAGING_FILE) != 0 || createDisposition > FILE_OVERWRITE_IF ||
        (wantDirectory && wantFile) ||
        ((createOptions & FILE_DELETE_ON_CLOSE) && (desiredAccess & (DELETE | GENERIC_ALL)) == 0) ||
        (shareAccess & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) != 0) {
        ioStatus->status = STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    CREATE_REQUEST request;
    request.desiredAccess = desiredAccess;
    request.fileAttributes = fileAttributes;
    request.shareAccess = shareAccess;
    request.createDisposition = createDisposition;
    request.createOptions = createOptions;
    request.operationFlags = operationFlags;
    return IssueCreate(fileName, request, fileHandle, ioStatus);
}

NTSTATUS NtSetInformationFile(HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus,
                              const void* fileInformation, uint32_t length,
                              FILE_INFORMATION_CLASS fileInformationClass) {
    IO_STATUS_BLOCK unused;
    IO_STATUS_BLOCK& io = ioStatus != nullptr ? *ioStatus : unused;
    io = IO_STATUS_BLOCK{};
    auto fail = [&](NTSTATUS status) {
        io.status = status;
        return status;
    };
    const size_t needed = InformationLength(fileInformationClass);
    if (needed == 0) {
        return fail(STATUS_INVALID_INFO_CLASS);
    }
    if (length < needed || fileInformation == nullptr) {
        return fail(STATUS_INFO_LENGTH_MISMATCH);
    }
    std::shared_ptr<FLT_FILE_OBJECT> file;
    if (!NT_SUCCESS(FltReferenceFileHandle(fileHandle, &file))) {
        return fail(STATUS_INVALID_HANDLE);
    }
    const uint32_t access = NeededAccess(fileInformationClass);
    if (access != 0 && (file->GrantedAccess() & access) == 0) {
        return fail(STATUS_ACCESS_DENIED);
    }

    FLT_CALLBACK_DATA data = NewData(IRP_MJ_SET_INFORMATION);
    data.iopb.targetFileObject = file;
    data.openedName = file->FileName();
    auto& parameters = data.iopb.parameters.setFileInformation;
    parameters.length = length;
    parameters.fileInformationClass = fileInformationClass;
    parameters.infoBuffer = fileInformation;

    // A rename or a link: where the file would go, checked by the filters as a create first when
    // the target has a folder of its own.
    std::shared_ptr<FLT_VOLUME> targetVolume = file->Volume();
    std::u16string targetRemainder;
    if (fileInformationClass == FileRenameInformation ||
        fileInformationClass == FileLinkInformation) {
        const auto& target = *static_cast<const FILE_RENAME_INFORMATION*>(fileInformation);
        if (target.rootDirectory != 0) {
            return fail(STATUS_NOT_SUPPORTED);
        }
        if (target.fileName.empty()) {
            return fail(STATUS_OBJECT_NAME_INVALID);
        }
        if (target.fileName.find(u'\\') == std::u16string::npos) {
            std::u16string here;
            if (!detail::CurrentRemainder(*file, &here)) {
                return fail(STATUS_FILE_CLOSED);
            }
            std::u16string parent;
            std::u16string leaf;
            SplitLeaf(here, &parent, &leaf);
            targetRemainder = parent + u"\\" + target.fileName;
        } else {
            CREATE_REQUEST request;
            request.desiredAccess = FILE_WRITE_DATA | SYNCHRONIZE;
            request.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
            request.operationFlags = SL_OPEN_TARGET_DIRECTORY;
            HANDLE unusedHandle = 0;
            IO_STATUS_BLOCK targetIo;
            NTSTATUS status = IssueCreate(target.fileName, request, &unusedHandle, &targetIo,
                                          &targetVolume, &targetRemainder);
            if (!NT_SUCCESS(status)) {
                return fail(status);
            }
            if (targetVolume != file->Volume()) {
                return fail(STATUS_NOT_SAME_DEVICE);
            }
        }
        parameters.destinationName = DeviceFormName(*targetVolume, targetRemainder);
    }

    std::vector<PENDING_POST> posts;
    if (RunPre(data, *file->Volume(), &posts)) {
        io = data.ioStatus;
        return io.status;
    }
    NTSTATUS status = STATUS_SUCCESS;
    switch (fileInformationClass) {
        case FileBasicInformation: {
            const auto& basic = *static_cast<const FILE_BASIC_INFORMATION*>(fileInformation);
            status = detail::SetBasicInformation(*file, basic.lastAccessTime, basic.lastWriteTime,
                                                 basic.fileAttributes);
            break;
        }
        case FileRenameInformation:
        case FileLinkInformation: {
            const auto& target = *static_cast<const FILE_RENAME_INFORMATION*>(fileInformation);
            status = detail::MoveOrLink(*file, targetRemainder, target.replaceIfExists,
                                        fileInformationClass == FileLinkInformation);
            break;
        }
        case FileDispositionInformation:
            status = detail::SetDeletePending(
                *file,
                static_cast<const FILE_DISPOSITION_INFORMATION*>(fileInformation)->deleteFile);
            break;
        case FileEndOfFileInformation:
            status = FltSetEndOfFile(
                nullptr, *file,
                static_cast<const FILE_END_OF_FILE_INFORMATION*>(fileInformation)->endOfFile);
            break;
        case FileShortNameInformation:
            status = STATUS_NOT_SUPPORTED;
            break;
    }
    data.ioStatus.status = status;
    RunPost(data, posts);
    io = data.ioStatus;
    return io.status;
}

namespace {

// A read or a write: through the filters' callbacks, then `transfer` on the open (it returns the
// status and sets the bytes moved).
template <typename TRANSFER>
NTSTATUS Transfer(uint8_t majorFunction, HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus,
                  uint32_t length, const int64_t* byteOffset, TRANSFER transfer) {
    IO_STATUS_BLOCK unused;
    IO_STATUS_BLOCK& io = ioStatus != nullptr ? *ioStatus : unused;
    io = IO_STATUS_BLOCK{};
    std::shared_ptr<FLT_FILE_OBJECT> file;
    if (!NT_SUCCESS(FltReferenceFileHandle(fileHandle, &file))) {
        io.status = STATUS_INVALID_HANDLE;
        return io.status;
    }
    FLT_CALLBACK_DATA data = NewData(majorFunction);
    data.iopb.targetFileObject = file;
    data.openedName = file->FileName();
    data.iopb.parameters.readWrite.length = length;
    data.iopb.parameters.readWrite.byteOffset =
        byteOffset != nullptr ? *byteOffset : FILE_USE_FILE_POINTER_POSITION;
    std::vector<PENDING_POST> posts;
    if (RunPre(data, *file->Volume(), &posts)) {
        io = data.ioStatus;
        return io.status;
    }
    uint32_t moved = 0;
    data.ioStatus.status = transfer(*file, &moved);
    data.ioStatus.information = moved;
    RunPost(data, posts);
    io = data.ioStatus;
    return io.status;
}

}  // namespace

NTSTATUS NtWriteFile(HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus, const void* buffer,
                     uint32_t length, const int64_t* byteOffset) {
    return Transfer(IRP_MJ_WRITE, fileHandle, ioStatus, length, byteOffset,
                    [&](FLT_FILE_OBJECT& file, uint32_t* moved) {
                        return FltWriteFile(nullptr, file, byteOffset, length, buffer, 0, moved);
                    });
}

NTSTATUS NtReadFile(HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus, void* buffer, uint32_t length,
                    const int64_t* byteOffset) {
    return Transfer(IRP_MJ_READ, fileHandle, ioStatus, length, byteOffset,
                    [&](FLT_FILE_OBJECT& file, uint32_t* moved) {
                        return FltReadFile(nullptr, file, byteOffset, length, buffer, 0, moved);
                    });
}

NTSTATUS NtClose(HANDLE fileHandle) {
    std::shared_ptr<FLT_FILE_OBJECT> file = detail::TakeHandle(fileHandle);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    FLT_CALLBACK_DATA data = NewData(IRP_MJ_CLOSE);
    data.iopb.targetFileObject = file;
    data.openedName = file->FileName();
    std::vector<PENDING_POST> posts;
    // A close cannot be refused: whatever a filter answers, the open ends.
    RunPre(data, *file->Volume(), &posts);
    detail::CloseFileObject(*file);
    data.ioStatus.status = STATUS_SUCCESS;
    RunPost(data, posts);
    return STATUS_SUCCESS;
}

}  // namespace os
