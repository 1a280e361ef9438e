// The file operations processes issue (NtCreateFile, NtSetInformationFile, NtReadFile,
// NtWriteFile, NtClose), as the I/O manager and the filter manager carry them: each passes through
// the pre-operation callbacks of every filter instance attached to the file's volume, in order;
// then the file system does it on the real file; then the post-operation callbacks that were asked
// for run in reverse order. The callbacks see the calling process (os::CurrentProcessId()) as the
// requestor.
//
// What the I/O manager does before a filter sees an operation is done here too, so that a filter
// is asked exactly the questions it would be asked on Windows:
// - A name that leads through a symbolic link is answered STATUS_REPARSE by the file system and
//   the create is issued again with the name the link gives (at most 32 times), so a filter
//   sees every name on the way, the last one being the file's own. The open itself refuses links,
//   so a link made after the check cannot carry it elsewhere.
// - A rename or a link to a name with a folder in it first opens the target's folder with
//   SL_OPEN_TARGET_DIRECTORY under the full target name, as Windows does; the set-information
//   request then carries the target's full name (also for a bare name, which stays in the
//   file's folder).
// - The access an information class needs, and its length, are checked before any filter.
// - A post-create callback that sets a failure status in the callback data cancels the open.
//
// Handles are those of os/fltmgr/file_io.h (FltReferenceFileHandle works on them).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/core/status.h"
#include "os/fltmgr/file_io.h"
#include "os/fltmgr/fltmgr.h"
#include "os/kernel/unicode_string.h"

namespace os {

constexpr NTSTATUS STATUS_INVALID_INFO_CLASS = MakeStatus(0xC0000003);

// ---- Operation flags (IO_STACK_LOCATION.Flags of a create) ----
constexpr uint8_t SL_OPEN_PAGING_FILE = 0x02;
constexpr uint8_t SL_OPEN_TARGET_DIRECTORY = 0x04;

// ---- More create options ----
constexpr uint32_t FILE_DELETE_ON_CLOSE = 0x00001000;

// ---- Callback data flags ----
constexpr uint32_t FLTFL_CALLBACK_DATA_IRP_OPERATION = 0x00000001;
constexpr uint32_t FLTFL_CALLBACK_DATA_FAST_IO_OPERATION = 0x00000002;

// ---- Information classes of NtSetInformationFile ----
enum FILE_INFORMATION_CLASS : uint32_t {
    FileBasicInformation = 4,
    FileRenameInformation = 10,
    FileLinkInformation = 11,
    FileDispositionInformation = 13,
    FileEndOfFileInformation = 20,
    FileShortNameInformation = 40,
};

struct FILE_BASIC_INFORMATION {
    int64_t creationTime = 0;
    int64_t lastAccessTime = 0;
    int64_t lastWriteTime = 0;
    int64_t changeTime = 0;
    uint32_t fileAttributes = 0;
};

// The target of a rename or a link: a bare name (the file's own folder) or a native path on the
// same volume. A root directory is not supported (STATUS_NOT_SUPPORTED).
struct FILE_RENAME_INFORMATION {
    bool replaceIfExists = false;
    HANDLE rootDirectory = 0;
    std::u16string fileName;
};
using FILE_LINK_INFORMATION = FILE_RENAME_INFORMATION;

struct FILE_DISPOSITION_INFORMATION {
    bool deleteFile = false;
};

struct FILE_END_OF_FILE_INFORMATION {
    int64_t endOfFile = 0;
};

struct FILE_NAME_INFORMATION {
    std::u16string fileName;
};

// ---- Callback data ----

struct FLT_PARAMETERS {
    struct {
        uint32_t desiredAccess = 0;  // as asked (generic rights not mapped)
        // The create options in the low 24 bits, the disposition in the high 8.
        uint32_t options = 0;
        uint16_t fileAttributes = 0;
        uint16_t shareAccess = 0;
    } create;
    struct {
        uint32_t length = 0;
        FILE_INFORMATION_CLASS fileInformationClass = FileBasicInformation;
        const void* infoBuffer = nullptr;
        // For a rename or a link: the target's full native name on the volume.
        std::u16string destinationName;
    } setFileInformation;
    struct {
        uint32_t length = 0;
        int64_t byteOffset = 0;
    } readWrite;
};

struct FLT_IO_PARAMETER_BLOCK {
    uint8_t majorFunction = IRP_MJ_CREATE;
    uint8_t operationFlags = 0;  // SL_* of a create
    FLT_PARAMETERS parameters;
    // The open operated on; for a create, set for the post-operation callbacks once it exists.
    std::shared_ptr<FLT_FILE_OBJECT> targetFileObject;
    std::shared_ptr<FLT_INSTANCE> targetInstance;
};

struct FLT_CALLBACK_DATA {
    uint32_t flags = FLTFL_CALLBACK_DATA_IRP_OPERATION;
    uint32_t requestorProcessId = 0;
    FLT_IO_PARAMETER_BLOCK iopb;
    IO_STATUS_BLOCK ioStatus;
    // The name the operation's file was opened by, in device form ("\Device\HarddiskVolume1\a").
    std::u16string openedName;
    // FO_VOLUME_OPEN for an open of the volume itself.
    uint32_t fileObjectFlags = 0;
};

// ---- File names ----

constexpr uint32_t FLT_FILE_NAME_NORMALIZED = 0x01;
constexpr uint32_t FLT_FILE_NAME_OPENED = 0x02;
constexpr uint32_t FLT_FILE_NAME_QUERY_DEFAULT = 0x0100;
constexpr uint32_t FLT_FILE_NAME_QUERY_CACHE_ONLY = 0x0200;
constexpr uint32_t FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY = 0x0300;
constexpr uint32_t FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP = 0x0400;

// Counted by references: FltGetFileNameInformation gives one, FltReferenceFileNameInformation adds
// one, FltReleaseFileNameInformation drops one and frees it with the last.
struct FLT_FILE_NAME_INFORMATION {
    UNICODE_STRING Name;  // views `text`
    std::u16string text;
    std::atomic<int32_t> references{1};
};

// The name of the operation's file: the opened name (the only kind this face gives; a normalized
// name is the opened one as Linux has no short names). STATUS_INVALID_PARAMETER for another kind
// or no output, STATUS_OBJECT_NAME_NOT_FOUND when the operation has no name, the failure switch
// FLT_FAILURE::GetFileName's status when it is on.
NTSTATUS FltGetFileNameInformation(const FLT_CALLBACK_DATA& data, uint32_t nameOptions,
                                   FLT_FILE_NAME_INFORMATION** information);
void FltReferenceFileNameInformation(FLT_FILE_NAME_INFORMATION* information);
void FltReleaseFileNameInformation(FLT_FILE_NAME_INFORMATION* information);
// Name-information blocks alive; for tests.
size_t FltLiveFileNameCount();

// ---- The calls ----

// NtCreateFile. `operationFlags` may carry SL_OPEN_PAGING_FILE; anything else is
// STATUS_INVALID_PARAMETER, as are FILE_DELETE_ON_CLOSE without DELETE access and the arguments
// FltCreateFileEx refuses. The handle is closed with NtClose.
NTSTATUS NtCreateFile(HANDLE* fileHandle, uint32_t desiredAccess, std::u16string_view fileName,
                      IO_STATUS_BLOCK* ioStatus, uint32_t fileAttributes, uint32_t shareAccess,
                      uint32_t createDisposition, uint32_t createOptions,
                      uint8_t operationFlags = 0);

// NtSetInformationFile with the classes above: STATUS_INVALID_INFO_CLASS for another,
// STATUS_INFO_LENGTH_MISMATCH for a length short of the class's structure, STATUS_ACCESS_DENIED
// when the open lacks the access the class needs (basic: FILE_WRITE_ATTRIBUTES; rename,
// disposition and short name: DELETE; end of file: FILE_WRITE_DATA), STATUS_NOT_SAME_DEVICE for a
// target on another volume; FileShortNameInformation is STATUS_NOT_SUPPORTED once the filters let
// it pass (Linux file systems have no short names).
NTSTATUS NtSetInformationFile(HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus,
                              const void* fileInformation, uint32_t length,
                              FILE_INFORMATION_CLASS fileInformationClass);

NTSTATUS NtWriteFile(HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus, const void* buffer,
                     uint32_t length, const int64_t* byteOffset);
NTSTATUS NtReadFile(HANDLE fileHandle, IO_STATUS_BLOCK* ioStatus, void* buffer, uint32_t length,
                    const int64_t* byteOffset);
// The close passes through the filters' close callbacks; then the open's contexts go.
NTSTATUS NtClose(HANDLE fileHandle);

}  // namespace os
