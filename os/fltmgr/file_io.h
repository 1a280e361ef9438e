// File I/O through the filter manager (FltCreateFileEx, FltWriteFile, FltClose) on the real files
// of a volume's folder. A native name ("\Device\HarddiskVolume1\x\y.log", "\??\C:\x\y.log") is
// resolved to its volume; the rest is mapped backslash to slash and opened beneath the volume's
// folder, so that no name reaches outside it: a component "." or "..", an empty component or a
// character Windows does not allow in a name is STATUS_OBJECT_NAME_INVALID, and a symbolic link
// that leads out of the folder is STATUS_ACCESS_DENIED. Names are kept in the case they were
// given: the folder's file system decides whether case matters.
//
// Handles are kernel handles of this face. Sharing is checked between the opens of this face as
// Windows checks it (read, write and delete access against the share modes of the other opens of
// the same file). Closing the handle ends the open: I/O on its file object then fails with
// STATUS_FILE_CLOSED.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/fltmgr/fltmgr.h"
#include "os/kernel/device.h"

namespace os {

// ---- Statuses of the file systems ----
// A success code: the name led through a symbolic link; the open is issued again with the name
// the link gives.
constexpr NTSTATUS STATUS_REPARSE = MakeStatus(0x00000104);
constexpr NTSTATUS STATUS_NOT_SAME_DEVICE = MakeStatus(0xC00000D4);
constexpr NTSTATUS STATUS_REPARSE_POINT_NOT_RESOLVED = MakeStatus(0xC0000280);
constexpr NTSTATUS STATUS_END_OF_FILE = MakeStatus(0xC0000011);
constexpr NTSTATUS STATUS_DISK_FULL = MakeStatus(0xC000007F);
constexpr NTSTATUS STATUS_MEDIA_WRITE_PROTECTED = MakeStatus(0xC00000A2);
constexpr NTSTATUS STATUS_FILE_IS_A_DIRECTORY = MakeStatus(0xC00000BA);
constexpr NTSTATUS STATUS_NOT_A_DIRECTORY = MakeStatus(0xC0000103);
constexpr NTSTATUS STATUS_FILE_CLOSED = MakeStatus(0xC0000128);
constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = MakeStatus(0xC0000185);
constexpr NTSTATUS STATUS_INVALID_DEVICE_OBJECT_PARAMETER = MakeStatus(0xC0000369);

// ---- Access rights (SYNCHRONIZE and the generic rights are in os/core/process.h) ----
constexpr uint32_t FILE_READ_DATA = 0x0001;
constexpr uint32_t FILE_WRITE_DATA = 0x0002;
constexpr uint32_t FILE_APPEND_DATA = 0x0004;
constexpr uint32_t FILE_READ_ATTRIBUTES = 0x0080;
constexpr uint32_t FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr uint32_t DELETE = 0x00010000;

// ---- Share access ----
constexpr uint32_t FILE_SHARE_READ = 0x1;
constexpr uint32_t FILE_SHARE_WRITE = 0x2;
constexpr uint32_t FILE_SHARE_DELETE = 0x4;

// ---- Create dispositions ----
constexpr uint32_t FILE_SUPERSEDE = 0;
constexpr uint32_t FILE_OPEN = 1;
constexpr uint32_t FILE_CREATE = 2;
constexpr uint32_t FILE_OPEN_IF = 3;
constexpr uint32_t FILE_OVERWRITE = 4;
constexpr uint32_t FILE_OVERWRITE_IF = 5;

// ---- Create options ----
constexpr uint32_t FILE_DIRECTORY_FILE = 0x00000001;
constexpr uint32_t FILE_WRITE_THROUGH = 0x00000002;
constexpr uint32_t FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr uint32_t FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr uint32_t FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr uint32_t FILE_NON_DIRECTORY_FILE = 0x00000040;
constexpr uint32_t FILE_COMPLETE_IF_OPLOCKED = 0x00000100;

// ---- What a create did (IO_STATUS_BLOCK information) ----
constexpr uint64_t FILE_SUPERSEDED = 0;
constexpr uint64_t FILE_OPENED = 1;
constexpr uint64_t FILE_CREATED = 2;
constexpr uint64_t FILE_OVERWRITTEN = 3;

// A byte offset that writes at the end of the file whatever the access (the LARGE_INTEGER with
// LowPart FILE_WRITE_TO_END_OF_FILE and HighPart -1).
constexpr int64_t FILE_WRITE_TO_END_OF_FILE = -1;
// A byte offset that writes at the file object's current position.
constexpr int64_t FILE_USE_FILE_POINTER_POSITION = -2;

// One open of a file or directory of a volume.
class FLT_FILE_OBJECT {
  public:
    ~FLT_FILE_OBJECT();
    FLT_FILE_OBJECT(const FLT_FILE_OBJECT&) = delete;
    FLT_FILE_OBJECT& operator=(const FLT_FILE_OBJECT&) = delete;

    // The native name it was opened by.
    const std::u16string& FileName() const { return fileName_; }
    const std::shared_ptr<FLT_VOLUME>& Volume() const { return volume_; }
    // The rights granted (generic rights mapped to the file's specific rights).
    uint32_t GrantedAccess() const { return access_; }
    uint32_t ShareAccess() const { return share_; }
    bool IsDirectory() const { return directory_; }
    // Its handle was closed.
    bool Closed() const;

    // FO_* flags of the open (FO_VOLUME_OPEN).
    uint32_t Flags() const { return flags_; }

  private:
    friend struct FltFileIo;
    friend struct FltContexts;
    FLT_FILE_OBJECT(std::u16string fileName, std::shared_ptr<FLT_VOLUME> volume, int fd,
                    uint64_t device, uint64_t inode, uint32_t access, uint32_t share,
                    bool directory);
    const std::u16string fileName_;
    const std::shared_ptr<FLT_VOLUME> volume_;
    const uint64_t device_;
    const uint64_t inode_;
    const uint32_t access_;
    const uint32_t share_;
    const bool directory_;
    uint32_t flags_ = 0;
    mutable std::mutex lock_;
    int fd_;  // -1 once closed
    bool deletePending_ = false;
    // The stream-handle contexts, one per filter; guarded by the context face's lock.
    std::vector<std::pair<const FLT_FILTER*, void*>> handleContexts_;
    bool contextsClosed_ = false;
};

// The file object's flags.
constexpr uint32_t FO_VOLUME_OPEN = 0x00400000;

// FltCreateFileEx. The instance, when given, must be an attached instance of the filter on the
// volume that holds the name (STATUS_FLT_DELETING_OBJECT for one that is no longer attached,
// STATUS_INVALID_DEVICE_OBJECT_PARAMETER for a name on another volume); without one the name's
// own volume is used. Dispositions FILE_SUPERSEDE to FILE_OVERWRITE_IF; `ioStatus->information`
// says what was done (FILE_OPENED, FILE_CREATED, FILE_OVERWRITTEN, FILE_SUPERSEDED).
// Failures: STATUS_OBJECT_PATH_NOT_FOUND (no volume holds the name, or a folder on the way is
// missing), STATUS_OBJECT_NAME_NOT_FOUND (FILE_OPEN or FILE_OVERWRITE of a missing file),
// STATUS_OBJECT_NAME_COLLISION (FILE_CREATE of an existing one), STATUS_OBJECT_NAME_INVALID,
// STATUS_ACCESS_DENIED, STATUS_SHARING_VIOLATION, STATUS_FILE_IS_A_DIRECTORY,
// STATUS_NOT_A_DIRECTORY, STATUS_INVALID_PARAMETER (an unknown disposition, contradicting
// options, a missing output, a filter that is not registered).
NTSTATUS FltCreateFileEx(const std::shared_ptr<FLT_FILTER>& filter,
                         const std::shared_ptr<FLT_INSTANCE>& instance, HANDLE* fileHandle,
                         std::shared_ptr<FLT_FILE_OBJECT>* fileObject, uint32_t desiredAccess,
                         std::u16string_view fileName, IO_STATUS_BLOCK* ioStatus,
                         uint32_t fileAttributes, uint32_t shareAccess, uint32_t createDisposition,
                         uint32_t createOptions);
// FltCreateFile: the same without the file object.
NTSTATUS FltCreateFile(const std::shared_ptr<FLT_FILTER>& filter,
                       const std::shared_ptr<FLT_INSTANCE>& instance, HANDLE* fileHandle,
                       uint32_t desiredAccess, std::u16string_view fileName,
                       IO_STATUS_BLOCK* ioStatus, uint32_t fileAttributes, uint32_t shareAccess,
                       uint32_t createDisposition, uint32_t createOptions);

// FltWriteFile, synchronous. An open with FILE_APPEND_DATA and without FILE_WRITE_DATA always
// writes at the end of the file; otherwise the byte offset says where (null or
// FILE_USE_FILE_POINTER_POSITION: the current position; FILE_WRITE_TO_END_OF_FILE: the end), and
// the current position moves past what was written. STATUS_ACCESS_DENIED without write access,
// STATUS_INVALID_DEVICE_REQUEST on a directory, STATUS_FILE_CLOSED after FltClose,
// STATUS_FLT_DELETING_OBJECT through an instance that is no longer attached, STATUS_DISK_FULL
// when the file system is full (with the bytes that were written).
NTSTATUS FltWriteFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                      const int64_t* byteOffset, uint32_t length, const void* buffer,
                      uint32_t flags, uint32_t* bytesWritten);

// FltReadFile, synchronous: from the byte offset (null or FILE_USE_FILE_POINTER_POSITION: the
// current position), which then moves past what was read. A read that starts at or beyond the end
// of the file is STATUS_END_OF_FILE with nothing read; one that reaches it reads what there is.
// STATUS_ACCESS_DENIED without read access, STATUS_INVALID_DEVICE_REQUEST on a directory,
// STATUS_FILE_CLOSED after FltClose, STATUS_FLT_DELETING_OBJECT through a detached instance.
NTSTATUS FltReadFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                     const int64_t* byteOffset, uint32_t length, void* buffer, uint32_t flags,
                     uint32_t* bytesRead);

// FltSetInformationFile, the classes the driver uses. Each fails as FltWriteFile does for a closed
// file or a detached instance, and with the failure switch FLT_FAILURE::SetInformation.
// FileEndOfFileInformation: the file's size becomes `endOfFile` (needs FILE_WRITE_DATA).
NTSTATUS FltSetEndOfFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                         int64_t endOfFile);
// FileDispositionInformation with DeleteFile set (needs DELETE): the file goes when the open is
// closed.
NTSTATUS FltSetDeleteDisposition(const std::shared_ptr<FLT_INSTANCE>& instance,
                                 FLT_FILE_OBJECT& fileObject);
// FileRenameInformation with a bare file name: the file gets that name in its own folder.
// STATUS_OBJECT_NAME_INVALID for a name with a backslash or one Windows refuses,
// STATUS_OBJECT_NAME_COLLISION when the name is taken and `replaceIfExists` is false. A kernel
// caller renames regardless of the open's access, as the file system lets it.
NTSTATUS FltRenameFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                       std::u16string_view newName, bool replaceIfExists);

// The security of `from` (owner, when the caller may set it, and permission bits, execute bits
// included) given to `to`, as an installer copies a replaced file's descriptor onto its successor.
NTSTATUS FltCopySecurity(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& from,
                         FLT_FILE_OBJECT& to);

// The file object behind a handle of this face (ObReferenceObjectByHandle for file handles);
// STATUS_INVALID_HANDLE when it is not one.
NTSTATUS FltReferenceFileHandle(HANDLE fileHandle, std::shared_ptr<FLT_FILE_OBJECT>* fileObject);

// FltClose: STATUS_INVALID_HANDLE for a handle this face did not give out (or closed already).
NTSTATUS FltClose(HANDLE fileHandle);

// Handles of this face that are open; for tests that check nothing was left open.
size_t FltOpenHandleCount();

// Whether the file a native name names (no symbolic link on the way), when it has more than one
// name (hard links), also has one below the native folder: a walk of the folder's tree (no links
// followed, at most `maxEntries` entries) for the same file. A missing file, a file with one name
// or a folder no volume holds is false.
bool FltNameHasLinkBelow(std::u16string_view fileName, std::u16string_view folder,
                         size_t maxEntries = 100000);

// ---- For the operations processes issue (os/fltmgr/process_io) ----
namespace detail {

// The open of FltCreateFileEx on a volume the name was resolved to (`remainder` is the rest after
// the volume), the file object named `objectName`. With `noSymlinks` a symbolic link anywhere in
// the name gives STATUS_REPARSE instead of being followed.
NTSTATUS OpenOnVolume(const std::shared_ptr<FLT_VOLUME>& volume, std::u16string_view remainder,
                      std::u16string objectName, uint32_t desiredAccess, uint32_t shareAccess,
                      uint32_t createDisposition, uint32_t createOptions, uint32_t objectFlags,
                      bool noSymlinks, HANDLE* fileHandle,
                      std::shared_ptr<FLT_FILE_OBJECT>* fileObject, IO_STATUS_BLOCK* ioStatus);

// The first symbolic link of the name (a remainder after the volume) replaced by what it points
// to, as the file system answers an open through a link: STATUS_REPARSE with the new remainder;
// STATUS_SUCCESS when no existing component is a link (the last one is not looked at unless
// `followLast`). A link that leads out of the volume's folder is STATUS_ACCESS_DENIED, one whose
// target Windows cannot name STATUS_OBJECT_NAME_INVALID.
NTSTATUS ReparseOnce(const FLT_VOLUME& volume, std::u16string_view remainder, bool followLast,
                     std::u16string* reparsed);

// Renames the open's file to (or links it as) the remainder on its own volume; links in the
// target's folder are refused (the caller resolved them).
NTSTATUS MoveOrLink(FLT_FILE_OBJECT& fileObject, std::u16string_view targetRemainder,
                    bool replaceIfExists, bool link);
// FileBasicInformation: times in 100 ns units since 1601 (0 or -1 leave one as it is) and the
// read-only attribute; needs FILE_WRITE_ATTRIBUTES.
NTSTATUS SetBasicInformation(FLT_FILE_OBJECT& fileObject, int64_t lastAccessTime,
                             int64_t lastWriteTime, uint32_t attributes);
// The name the open's file has now, as a remainder after its volume ("\\a\\b"), following renames;
// false once closed or when the name cannot be told.
bool CurrentRemainder(const FLT_FILE_OBJECT& fileObject, std::u16string* remainder);
// FileDispositionInformation with the flag set or cleared (needs DELETE).
NTSTATUS SetDeletePending(FLT_FILE_OBJECT& fileObject, bool deleteFile);
// The file's link count now (0 once closed).
uint32_t LinkCount(const FLT_FILE_OBJECT& fileObject);
// The handle table entry for a file object this face opened for a process.
HANDLE AddHandle(std::shared_ptr<FLT_FILE_OBJECT> fileObject);
// The file object a handle stands for, taken out of the table (null when it is not one).
std::shared_ptr<FLT_FILE_OBJECT> TakeHandle(HANDLE fileHandle);
// The clean-up of an open, as FltClose does it.
void CloseFileObject(FLT_FILE_OBJECT& fileObject);

}  // namespace detail

}  // namespace os
