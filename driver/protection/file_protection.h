// The file-system filter that keeps every process but the registered service from changing the
// product's program folder: nothing inside it may be written, created, replaced, renamed, deleted,
// linked or have its attributes changed (log files excepted), and neither it nor a folder above it
// may be renamed or deleted. Opens are judged by name in the pre-create callback; handles that
// touch the protected tree carry a stream-handle context, and set-information requests on those
// handles are refused for the classes that rename, delete, truncate or re-date.
//
// Two ways round the checks a name-only filter leaves open are closed here as well: a rename or a
// link whose target lands inside the folder (or onto it) is refused whatever handle it is made
// through, so that a log file, which anyone may write, cannot be renamed over a program file; and
// a handle on a program file may not make a hard link, which would give the file a second,
// unprotected name. A hard link that already exists (made before protection was on) is judged as
// the file it reaches: an open of it that would change a program file is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "driver/protection/protection_state.h"
#include "os/fltmgr/fltmgr.h"
#include "os/fltmgr/process_io.h"
#include "os/kernel/pool.h"
#include "os/kernel/unicode_string.h"

namespace wexo::drv {

constexpr uint32_t kHandleContextTag = os::MakePoolTag("SHCX");
constexpr uint32_t kInstanceContextTag = os::MakePoolTag("INCX");
// The registered sizes of the two contexts.
constexpr size_t kHandleContextSize = 72;
constexpr size_t kInstanceContextSize = 4;

// Desired-access bits that change a protected file: GENERIC_WRITE, GENERIC_ALL, DELETE,
// FILE_WRITE_DATA, FILE_APPEND_DATA.
constexpr uint32_t kChangingAccess = 0x50010006;

// `ProtectedHandleContext`: what the filter keeps on a handle of the protected tree.
struct PROTECTED_HANDLE_CONTEXT {
    os::FLT_FILE_OBJECT* fileObject = nullptr;
    os::FLT_FILE_NAME_INFORMATION* name = nullptr;  // released by the context's clean-up
    std::mutex lock;                                // guards `name` while it is read for logging
};
static_assert(sizeof(PROTECTED_HANDLE_CONTEXT) <= kHandleContextSize);

enum class NAME_CLASS : int {
    Unprotected = 0,
    FolderOrAbove = 1,  // the protected folder itself or one of the folders above it
    Inside = 2,         // below the protected folder, not a log file
};

// How a name relates to the folder; both are normalised first (object-manager links resolved).
NAME_CLASS ClassifyName(std::u16string_view name, std::u16string_view protectedFolder);

class FILE_PROTECTION {
  public:
    explicit FILE_PROTECTION(PROTECTION_STATE& state) : state_(state) {}
    FILE_PROTECTION(const FILE_PROTECTION&) = delete;
    FILE_PROTECTION& operator=(const FILE_PROTECTION&) = delete;

    // Version 0x0202, flags 0: create (pre and post), set-information (pre), close (pre); the
    // stream-handle and instance contexts; instance set-up. No unload: the filter stays.
    os::FLT_REGISTRATION Registration(std::u16string filterName);
    // The registered filter, which the contexts are allocated for.
    void SetFilter(std::shared_ptr<os::FLT_FILTER> filter);

    NAME_CLASS Classify(std::u16string_view name) const;

    os::FLT_PREOP_CALLBACK_STATUS PreCreate(os::FLT_CALLBACK_DATA& data,
                                            const os::FLT_RELATED_OBJECTS& objects,
                                            void** completionContext);
    os::FLT_POSTOP_CALLBACK_STATUS PostCreate(os::FLT_CALLBACK_DATA& data,
                                              const os::FLT_RELATED_OBJECTS& objects,
                                              void* completionContext, uint32_t flags);
    os::FLT_PREOP_CALLBACK_STATUS PreSetInformation(os::FLT_CALLBACK_DATA& data,
                                                    const os::FLT_RELATED_OBJECTS& objects,
                                                    void** completionContext);
    os::FLT_PREOP_CALLBACK_STATUS PreClose(os::FLT_CALLBACK_DATA& data,
                                           const os::FLT_RELATED_OBJECTS& objects,
                                           void** completionContext);
    os::NTSTATUS InstanceSetup(const os::FLT_RELATED_OBJECTS& objects, uint32_t flags,
                               uint32_t volumeDeviceType, uint32_t volumeFileSystemType);

  private:
    bool Exempt(uint32_t processId) const;
    static void HandleContextCleanup(void* context, uint16_t contextType);
    // The log line of a refused set-information, when the flags ask for it.
    static void LogSetInformationDenied(const os::UNICODE_STRING& name);

    PROTECTION_STATE& state_;
    std::shared_ptr<os::FLT_FILTER> filter_;
};

}  // namespace wexo::drv
