#include "driver/protection/file_protection.h"

#include <new>

#include "driver/platform/debug_log.h"
#include "driver/platform/debug_print.h"
#include "os/fltmgr/file_io.h"
#include "os/fltmgr/filter_context.h"

namespace wexo::drv {
namespace {

// The flags words that ask for the denial lines.
constexpr uint64_t kPreCreateLogMask = kDebugFlagAllDenials | kDebugFlagPreCreateDenials;
constexpr uint64_t kSetInformationLogMask =
    kDebugFlagAllDenials | kDebugFlagPreSetInformationDenials;

bool HasPrefix(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

void DropTrailingBackslash(std::u16string& text) {
    if (!text.empty() && text.back() == u'\\') {
        text.pop_back();
    }
}

bool IsDigit(char16_t c) {
    return c >= u'0' && c <= u'9';
}

// Names the filter never looks at: a volume's root, the NTFS metadata files at a volume's root,
// and the mount-point manager.
bool IsSystemName(std::u16string_view name) {
    constexpr std::u16string_view kGlobalRoot = u"\\GLOBALROOT";
    constexpr std::u16string_view kVolume = u"\\Device\\HARDDISKVOLUME";
    constexpr std::u16string_view kMountPointManager = u"\\??\\MOUNTPOINTMANAGER";
    if (HasPrefix(name, kGlobalRoot)) {
        name.remove_prefix(kGlobalRoot.size());
    }
    if (HasPrefix(name, kMountPointManager)) {
        return true;
    }
    if (!HasPrefix(name, kVolume)) {
        return false;
    }
    std::u16string_view rest = name.substr(kVolume.size());
    size_t digits = 0;
    while (digits < rest.size() && IsDigit(rest[digits])) {
        ++digits;
    }
    if (digits == 0) {
        return false;
    }
    rest.remove_prefix(digits);
    return rest == u"\\" || (rest.size() >= 2 && rest[0] == u'\\' && rest[1] == u'$');
}

// The text after the last '.' (one in first position does not count), or empty.
std::u16string_view ExtensionOf(std::u16string_view name) {
    size_t dot = name.rfind(u'.');
    if (dot == std::u16string_view::npos || dot == 0) {
        return {};
    }
    return name.substr(dot + 1);
}

bool IsShadowCopyDevice(std::u16string_view deviceName) {
    constexpr std::u16string_view kShadowCopy = u"\\Device\\HARDDISKVOLUMESHADOWCOPY";
    if (!HasPrefix(deviceName, kShadowCopy) || deviceName.size() == kShadowCopy.size()) {
        return false;
    }
    for (char16_t c : deviceName.substr(kShadowCopy.size())) {
        if (!IsDigit(c)) {
            return false;
        }
    }
    return true;
}

os::UNICODE_STRING ViewOf(const std::u16string& text) {
    os::UNICODE_STRING view;
    view.Buffer = const_cast<char16_t*>(text.data());
    view.Length = static_cast<uint16_t>(std::min<size_t>(text.size(), 0x7FFF) * sizeof(char16_t));
    view.MaximumLength = view.Length;
    return view;
}

}  // namespace

NAME_CLASS ClassifyName(std::u16string_view rawName, std::u16string_view protectedFolder) {
    if (IsSystemName(rawName)) {
        return NAME_CLASS::Unprotected;
    }
    std::u16string name = NormaliseText(rawName);
    std::u16string folder(protectedFolder);
    DropTrailingBackslash(name);
    DropTrailingBackslash(folder);
    if (folder.empty()) {
        return NAME_CLASS::Unprotected;
    }
    if (name.size() > folder.size()) {
        if (name[folder.size()] == u'\\' && HasPrefix(name, folder)) {
            return EqualIgnoringCase(ExtensionOf(name), u"log") ? NAME_CLASS::Unprotected
                                                                : NAME_CLASS::Inside;
        }
        return NAME_CLASS::Unprotected;
    }
    if (EqualIgnoringCase(name, folder) ||
        (folder[name.size()] == u'\\' && HasPrefix(folder, name))) {
        return NAME_CLASS::FolderOrAbove;
    }
    return NAME_CLASS::Unprotected;
}

os::FLT_REGISTRATION FILE_PROTECTION::Registration(std::u16string filterName) {
    os::FLT_REGISTRATION registration;
    registration.version = os::FLT_REGISTRATION_VERSION;
    registration.flags = 0;
    registration.name = std::move(filterName);

    os::FLT_CONTEXT_REGISTRATION handleContext;
    handleContext.contextType = os::FLT_STREAMHANDLE_CONTEXT;
    handleContext.size = kHandleContextSize;
    handleContext.poolTag = kHandleContextTag;
    handleContext.cleanup = &FILE_PROTECTION::HandleContextCleanup;
    os::FLT_CONTEXT_REGISTRATION instanceContext;
    instanceContext.contextType = os::FLT_INSTANCE_CONTEXT;
    instanceContext.size = kInstanceContextSize;
    instanceContext.poolTag = kInstanceContextTag;
    instanceContext.cleanup = [](void*, uint16_t) {};
    registration.contexts = {handleContext, instanceContext};

    os::FLT_OPERATION_REGISTRATION create;
    create.majorFunction = os::IRP_MJ_CREATE;
    create.preOperation = [this](os::FLT_CALLBACK_DATA& data,
                                 const os::FLT_RELATED_OBJECTS& objects, void** completion) {
        return PreCreate(data, objects, completion);
    };
    create.postOperation = [this](os::FLT_CALLBACK_DATA& data,
                                  const os::FLT_RELATED_OBJECTS& objects, void* completion,
                                  uint32_t flags) {
        return PostCreate(data, objects, completion, flags);
    };
    os::FLT_OPERATION_REGISTRATION setInformation;
    setInformation.majorFunction = os::IRP_MJ_SET_INFORMATION;
    setInformation.preOperation =
        [this](os::FLT_CALLBACK_DATA& data, const os::FLT_RELATED_OBJECTS& objects,
               void** completion) { return PreSetInformation(data, objects, completion); };
    os::FLT_OPERATION_REGISTRATION close;
    close.majorFunction = os::IRP_MJ_CLOSE;
    close.preOperation = [this](os::FLT_CALLBACK_DATA& data, const os::FLT_RELATED_OBJECTS& objects,
                                void** completion) { return PreClose(data, objects, completion); };
    registration.operations = {create, setInformation, close};

    registration.instanceSetup = [this](const os::FLT_RELATED_OBJECTS& objects, uint32_t flags,
                                        uint32_t deviceType, uint32_t fileSystemType) {
        return InstanceSetup(objects, flags, deviceType, fileSystemType);
    };
    return registration;
}

void FILE_PROTECTION::SetFilter(std::shared_ptr<os::FLT_FILTER> filter) {
    filter_ = std::move(filter);
}

NAME_CLASS FILE_PROTECTION::Classify(std::u16string_view name) const {
    return ClassifyName(name, state_.ProtectedFolder());
}

bool FILE_PROTECTION::Exempt(uint32_t processId) const {
    const uint32_t service = state_.ServiceProcessId();
    return service != 0 && processId == service;
}

os::FLT_PREOP_CALLBACK_STATUS FILE_PROTECTION::PreCreate(os::FLT_CALLBACK_DATA& data,
                                                         const os::FLT_RELATED_OBJECTS& /*objects*/,
                                                         void** completionContext) {
    *completionContext = nullptr;
    if ((data.iopb.operationFlags & os::SL_OPEN_PAGING_FILE) ||
        (data.fileObjectFlags & os::FO_VOLUME_OPEN) || Exempt(data.requestorProcessId) ||
        !state_.FileProtectionOn()) {
        return os::FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    os::FLT_FILE_NAME_INFORMATION* name = nullptr;
    if (!os::NT_SUCCESS(os::FltGetFileNameInformation(
            data, os::FLT_FILE_NAME_OPENED | os::FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP,
            &name))) {
        return os::FLT_PREOP_SUCCESS_NO_CALLBACK;  // no name: the filter fails open
    }
    NAME_CLASS nameClass = Classify(name->Name.View());
    const uint32_t disposition = data.iopb.parameters.create.options >> 24;
    const uint32_t access = data.iopb.parameters.create.desiredAccess;
    // A name outside the folder may be another name (a hard link) of a program file: an open
    // that would change it is judged as one inside.
    if (nameClass == NAME_CLASS::Unprotected &&
        (disposition != os::FILE_OPEN || (access & kChangingAccess) != 0) &&
        os::FltNameHasLinkBelow(name->Name.View(), state_.ProtectedFolder())) {
        nameClass = NAME_CLASS::Inside;
    }
    if (nameClass == NAME_CLASS::Unprotected) {
        os::FltReleaseFileNameInformation(name);
        return os::FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (nameClass == NAME_CLASS::Inside) {
        const bool log = (DebugFlags() & kPreCreateLogMask) != 0;
        bool denied = true;
        if (disposition != os::FILE_OPEN) {
            if (log) {
                DriverPrintAndLogWide(
                    "WexoW: PreCreate: ACCESS DENIED, Disposition=%ul,\n    FileName=\"%wZ\"\n\n",
                    disposition, &name->Name);
            }
        } else if (access & kChangingAccess) {
            if (log) {
                DriverPrintAndLogWide(
                    "WexoW: PreCreate: ACCESS DENIED, Desired access=0x%lx,\n  "
                    "  FileName=\"%wZ\"\n\n",
                    static_cast<unsigned long>(access), &name->Name);
            }
        } else if (data.iopb.operationFlags & os::SL_OPEN_TARGET_DIRECTORY) {
            if (log) {
                DriverPrintAndLogWide(
                    "WexoW: PreCreate: ACCESS DENIED, SL_OPEN_TARGET_DIRECTORY "
                    "operation,\n    FileName=\"%wZ\"\n\n",
                    &name->Name);
            }
        } else {
            denied = false;
        }
        if (denied) {
            os::FltReleaseFileNameInformation(name);
            data.ioStatus.status = os::STATUS_ACCESS_DENIED;
            data.ioStatus.information = 0;
            return os::FLT_PREOP_COMPLETE;
        }
    }
    void* block = nullptr;
    if (filter_ == nullptr || !os::NT_SUCCESS(os::FltAllocateContext(
                                  filter_, os::FLT_STREAMHANDLE_CONTEXT,
                                  sizeof(PROTECTED_HANDLE_CONTEXT), os::PoolType::Paged, &block))) {
        os::FltReleaseFileNameInformation(name);
        return os::FLT_PREOP_SUCCESS_NO_CALLBACK;  // no context: the open passes without it
    }
    auto* context = new (block) PROTECTED_HANDLE_CONTEXT();
    context->name = name;  // the name's reference passes to the context
    *completionContext = context;
    return os::FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

os::FLT_POSTOP_CALLBACK_STATUS FILE_PROTECTION::PostCreate(os::FLT_CALLBACK_DATA& data,
                                                           const os::FLT_RELATED_OBJECTS& objects,
                                                           void* completionContext,
                                                           uint32_t flags) {
    auto* context = static_cast<PROTECTED_HANDLE_CONTEXT*>(completionContext);
    if (context == nullptr) {
        return os::FLT_POSTOP_FINISHED_PROCESSING;
    }
    const os::NTSTATUS status = data.ioStatus.status;
    // Linux file systems tunnel no names, so the opened name is the one the context keeps.
    if (!(flags & os::FLTFL_POST_OPERATION_DRAINING) && os::NT_SUCCESS(status) &&
        status != os::STATUS_REPARSE && data.iopb.targetFileObject != nullptr) {
        context->fileObject = data.iopb.targetFileObject.get();
        os::FltSetStreamHandleContext(objects.instance, *data.iopb.targetFileObject,
                                      os::FLT_SET_CONTEXT_KEEP_IF_EXISTS, context, nullptr);
    }
    os::FltReleaseContext(context);
    return os::FLT_POSTOP_FINISHED_PROCESSING;
}

os::FLT_PREOP_CALLBACK_STATUS FILE_PROTECTION::PreSetInformation(
    os::FLT_CALLBACK_DATA& data, const os::FLT_RELATED_OBJECTS& objects, void** completionContext) {
    *completionContext = nullptr;
    const auto& parameters = data.iopb.parameters.setFileInformation;
    const os::FILE_INFORMATION_CLASS informationClass = parameters.fileInformationClass;
    auto deny = [&data] {
        data.ioStatus.status = os::STATUS_ACCESS_DENIED;
        data.ioStatus.information = 0;
        return os::FLT_PREOP_COMPLETE;
    };

    // Where a rename or a link would put the file, whichever handle it goes through.
    if ((informationClass == os::FileRenameInformation ||
         informationClass == os::FileLinkInformation) &&
        !Exempt(data.requestorProcessId) && state_.FileProtectionOn() &&
        Classify(parameters.destinationName) != NAME_CLASS::Unprotected) {
        LogSetInformationDenied(ViewOf(parameters.destinationName));
        return deny();
    }

    if (data.iopb.targetFileObject == nullptr) {
        return os::FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    void* found = nullptr;
    if (!os::NT_SUCCESS(
            os::FltGetStreamHandleContext(objects.instance, *data.iopb.targetFileObject, &found))) {
        return os::FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    auto* context = static_cast<PROTECTED_HANDLE_CONTEXT*>(found);
    bool refused = false;
    switch (informationClass) {
        case os::FileBasicInformation:
        case os::FileRenameInformation:
        case os::FileLinkInformation:
        case os::FileEndOfFileInformation:
        case os::FileShortNameInformation:
            refused = true;
            break;
        case os::FileDispositionInformation:
            refused = parameters.length != 0 && parameters.infoBuffer != nullptr &&
                      static_cast<const os::FILE_DISPOSITION_INFORMATION*>(parameters.infoBuffer)
                          ->deleteFile;
            break;
    }
    if (refused) {
        std::lock_guard guard(context->lock);
        if (context->name != nullptr) {
            LogSetInformationDenied(context->name->Name);
        }
    }
    os::FltReleaseContext(context);
    return refused ? deny() : os::FLT_PREOP_SUCCESS_NO_CALLBACK;
}

os::FLT_PREOP_CALLBACK_STATUS FILE_PROTECTION::PreClose(os::FLT_CALLBACK_DATA& data,
                                                        const os::FLT_RELATED_OBJECTS& objects,
                                                        void** completionContext) {
    *completionContext = nullptr;
    if (data.flags & os::FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) {
        return os::FLT_PREOP_DISALLOW_FASTIO;
    }
    void* context = nullptr;
    if (data.iopb.targetFileObject != nullptr &&
        os::NT_SUCCESS(os::FltGetStreamHandleContext(objects.instance, *data.iopb.targetFileObject,
                                                     &context))) {
        os::FltDeleteContext(context);
        os::FltReleaseContext(context);
    }
    return os::FLT_PREOP_SUCCESS_NO_CALLBACK;
}

os::NTSTATUS FILE_PROTECTION::InstanceSetup(const os::FLT_RELATED_OBJECTS& objects,
                                            uint32_t /*flags*/, uint32_t /*volumeDeviceType*/,
                                            uint32_t volumeFileSystemType) {
    if (volumeFileSystemType == os::FLT_FSTYPE_RAW) {
        return os::STATUS_FLT_DO_NOT_ATTACH;
    }
    std::u16string deviceName;
    if (objects.volume != nullptr &&
        os::NT_SUCCESS(os::FltGetVolumeName(*objects.volume, &deviceName)) &&
        IsShadowCopyDevice(deviceName)) {
        return os::STATUS_FLT_DO_NOT_ATTACH;
    }
    if (DebugLogIsOpen() && filter_ != nullptr) {
        std::shared_ptr<os::FLT_INSTANCE> logInstance;
        if (os::NT_SUCCESS(os::FindInstanceForPath(filter_, DebugLogPath(), &logInstance)) &&
            logInstance == objects.instance) {
            ReopenDebugLog();
        }
    }
    void* block = nullptr;
    if (filter_ != nullptr && os::NT_SUCCESS(os::FltAllocateContext(
                                  filter_, os::FLT_INSTANCE_CONTEXT, kInstanceContextSize,
                                  os::PoolType::NonPaged, &block))) {
        *static_cast<uint32_t*>(block) = volumeFileSystemType;
        os::FltSetInstanceContext(objects.instance, os::FLT_SET_CONTEXT_KEEP_IF_EXISTS, block,
                                  nullptr);
        os::FltReleaseContext(block);
    }
    return os::STATUS_SUCCESS;
}

void FILE_PROTECTION::HandleContextCleanup(void* context, uint16_t /*contextType*/) {
    auto* handleContext = static_cast<PROTECTED_HANDLE_CONTEXT*>(context);
    os::FltReleaseFileNameInformation(handleContext->name);
    handleContext->~PROTECTED_HANDLE_CONTEXT();
}

void FILE_PROTECTION::LogSetInformationDenied(const os::UNICODE_STRING& name) {
    if ((DebugFlags() & kSetInformationLogMask) == 0) {
        return;
    }
    DriverPrintAndLogWide(
        "WexoW: PreSetInformation: Rename or delete operation denied,\n    FileName=\"%wZ\"\n\n",
        &name);
}

}  // namespace wexo::drv
