// The filter manager on Linux: volumes that map a device name ("\Device\HarddiskVolume1") and
// optionally a drive letter ("C:") to a Linux folder, minifilters that register and start, one
// instance of each started filter on every volume it agreed to attach to, and the volume and the
// instance that hold a native path ("\Device\HarddiskVolume1\x\y.log", "\??\C:\x\y.log").
//
// The system volume, "\Device\HarddiskVolume1" with the letter C:, is the root folder "/", as the
// program face reads C: (os/win32/environment.h). Tests put volumes of their own on temporary
// folders with ScopedVolumes.
//
// The registration carries the filter's operation callbacks and its context types. Instance set-up
// is called as the filter manager calls it: for every mounted volume when filtering starts and for
// every volume mounted afterwards, never with the face's lock held, so that the callback may do
// file I/O through the filter.
//
// File I/O through an instance (issued below the filter, so no callback sees it) is in
// os/fltmgr/file_io.h; contexts in os/fltmgr/filter_context.h; the file operations processes issue,
// which pass through the callbacks of every filter attached to the volume, in
// os/fltmgr/process_io.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/status.h"

namespace os {

// ---- Statuses of the filter manager and of the file systems below it ----
constexpr NTSTATUS STATUS_FLT_DELETING_OBJECT = MakeStatus(0xC01C000B);
constexpr NTSTATUS STATUS_FLT_DO_NOT_ATTACH = MakeStatus(0xC01C000F);
constexpr NTSTATUS STATUS_FLT_VOLUME_NOT_FOUND = MakeStatus(0xC01C0014);
constexpr NTSTATUS STATUS_FLT_INSTANCE_NOT_FOUND = MakeStatus(0xC01C0015);

// ---- Volumes ----

// File-system types (FLT_FILESYSTEM_TYPE) a volume reports to instance set-up.
constexpr uint32_t FLT_FSTYPE_UNKNOWN = 0;
constexpr uint32_t FLT_FSTYPE_RAW = 1;
constexpr uint32_t FLT_FSTYPE_NTFS = 2;
constexpr uint32_t FLT_FSTYPE_FAT = 3;

// The device type of a disk file system (DEVICE_TYPE of the volume's file-system device).
constexpr uint32_t FILE_DEVICE_DISK_FILE_SYSTEM = 0x00000008;

class FLT_VOLUME {
  public:
    ~FLT_VOLUME();
    FLT_VOLUME(const FLT_VOLUME&) = delete;
    FLT_VOLUME& operator=(const FLT_VOLUME&) = delete;

    // "\Device\HarddiskVolume1", as the volume was mounted.
    const std::u16string& DeviceName() const { return deviceName_; }
    // "C:" (upper case), or empty for a volume without a letter.
    const std::u16string& DriveLetter() const { return driveLetter_; }
    // The Linux folder the volume's root is.
    const std::string& Folder() const { return folder_; }
    uint32_t FileSystemType() const { return fileSystemType_; }
    // A descriptor of the folder (O_PATH) that file opens resolve beneath.
    int RootFd() const { return rootFd_; }
    // False once the volume was dismounted: nothing new is opened on it.
    bool Mounted() const { return mounted_.load(); }

  private:
    friend struct FltState;
    FLT_VOLUME(std::u16string deviceName, std::u16string driveLetter, std::string folder,
               uint32_t fileSystemType, int rootFd);
    const std::u16string deviceName_;
    const std::u16string driveLetter_;
    const std::string folder_;
    const uint32_t fileSystemType_;
    const int rootFd_;
    std::atomic<bool> mounted_{true};
};

// The system volume's names.
inline constexpr char16_t kSystemVolumeDeviceName[] = u"\\Device\\HarddiskVolume1";
inline constexpr char16_t kSystemVolumeDriveLetter[] = u"C:";

// Mounts a volume. The device name must begin with "\Device\" and name one component; the letter
// is empty or a letter and a colon; the folder must be a directory. STATUS_OBJECT_NAME_INVALID for
// a malformed name or letter, STATUS_OBJECT_NAME_COLLISION when the name or the letter is taken
// (names and letters compare without case), STATUS_OBJECT_PATH_NOT_FOUND when the folder is not a
// directory that can be opened. Every started filter is offered an instance on it.
NTSTATUS MountVolume(std::u16string_view deviceName, std::u16string_view driveLetter,
                     std::string_view folder, uint32_t fileSystemType = FLT_FSTYPE_NTFS,
                     std::shared_ptr<FLT_VOLUME>* volume = nullptr);
// Dismounts a volume: its instances are torn down (FLT_INSTANCE::Attached turns false); files
// opened on it stay open. STATUS_FLT_VOLUME_NOT_FOUND when no volume has that name.
NTSTATUS DismountVolume(std::u16string_view deviceName);

// For tests: every volume is dismounted while it lives (so that the test mounts its own), and the
// volumes that were mounted before are mounted again afterwards.
class ScopedVolumes {
  public:
    ScopedVolumes();
    ~ScopedVolumes();
    ScopedVolumes(const ScopedVolumes&) = delete;
    ScopedVolumes& operator=(const ScopedVolumes&) = delete;

  private:
    struct SAVED {
        std::u16string deviceName;
        std::u16string driveLetter;
        std::string folder;
        uint32_t fileSystemType;
    };
    std::vector<SAVED> saved_;
};

// The volume that holds a native path and the rest of the path after the volume's name ("" for
// the root itself, else beginning with a backslash). Understood forms: the device name at a
// component boundary ("\Device\HarddiskVolume1\x"), and a drive letter under "\??\",
// "\DosDevices\" or "\GLOBAL??\" ("\??\C:\x"); prefixes and names compare without case.
// STATUS_OBJECT_PATH_NOT_FOUND when no mounted volume holds the path.
NTSTATUS ResolveVolumePath(std::u16string_view path, std::shared_ptr<FLT_VOLUME>* volume,
                           std::u16string* remainder);

// The Linux path of a native path (ResolveVolumePath, then the remainder below the volume's folder
// with slashes); false when no mounted volume holds it or the name has no UTF-8 form.
bool LinuxPathOf(std::u16string_view path, std::string* linuxPath);

// ---- Filters and instances ----

class FLT_FILTER;
class FLT_INSTANCE;

struct FLT_RELATED_OBJECTS {
    FLT_FILTER* filter = nullptr;
    std::shared_ptr<FLT_VOLUME> volume;
    std::shared_ptr<FLT_INSTANCE> instance;
};

// Flags given to instance set-up.
constexpr uint32_t FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT = 0x00000001;
constexpr uint32_t FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME = 0x00000004;

// Instance set-up (PFLT_INSTANCE_SETUP_CALLBACK): a success status keeps the instance; any
// failure status (STATUS_FLT_DO_NOT_ATTACH by custom) tears it down and leaves the volume without
// one. While set-up runs the instance is already attached, so that it is found for its volume's
// paths and file I/O through it works.
using FLT_INSTANCE_SETUP_CALLBACK =
    std::function<NTSTATUS(const FLT_RELATED_OBJECTS& objects, uint32_t flags,
                           uint32_t volumeDeviceType, uint32_t volumeFileSystemType)>;

constexpr uint16_t FLT_REGISTRATION_VERSION_0200 = 0x0200;
constexpr uint16_t FLT_REGISTRATION_VERSION_0203 = 0x0203;
constexpr uint16_t FLT_REGISTRATION_VERSION = 0x0202;

// ---- Operation callbacks ----

struct FLT_CALLBACK_DATA;

// The operations a filter can register for (IRP_MJ_*).
constexpr uint8_t IRP_MJ_CREATE = 0x00;
constexpr uint8_t IRP_MJ_CLOSE = 0x02;
constexpr uint8_t IRP_MJ_READ = 0x03;
constexpr uint8_t IRP_MJ_WRITE = 0x04;
constexpr uint8_t IRP_MJ_SET_INFORMATION = 0x06;

enum FLT_PREOP_CALLBACK_STATUS : uint32_t {
    FLT_PREOP_SUCCESS_WITH_CALLBACK = 0,
    FLT_PREOP_SUCCESS_NO_CALLBACK = 1,
    FLT_PREOP_PENDING = 2,
    FLT_PREOP_DISALLOW_FASTIO = 3,
    FLT_PREOP_COMPLETE = 4,
    FLT_PREOP_SYNCHRONIZE = 5,
};

enum FLT_POSTOP_CALLBACK_STATUS : uint32_t {
    FLT_POSTOP_FINISHED_PROCESSING = 0,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED = 1,
};

// Given to a post-operation callback whose instance is being torn down.
constexpr uint32_t FLTFL_POST_OPERATION_DRAINING = 0x00000001;

// A pre-operation callback may complete the operation itself (FLT_PREOP_COMPLETE with the status
// in data.ioStatus), let it pass with its post-operation callback called afterwards
// (FLT_PREOP_SUCCESS_WITH_CALLBACK, with a completion context the post-operation callback gets) or
// without it. FLT_PREOP_PENDING and FLT_PREOP_SYNCHRONIZE are taken as a pass with the callback:
// this face completes every operation synchronously.
using FLT_PRE_OPERATION_CALLBACK = std::function<FLT_PREOP_CALLBACK_STATUS(
    FLT_CALLBACK_DATA& data, const FLT_RELATED_OBJECTS& objects, void** completionContext)>;
using FLT_POST_OPERATION_CALLBACK = std::function<FLT_POSTOP_CALLBACK_STATUS(
    FLT_CALLBACK_DATA& data, const FLT_RELATED_OBJECTS& objects, void* completionContext,
    uint32_t flags)>;

struct FLT_OPERATION_REGISTRATION {
    uint8_t majorFunction = IRP_MJ_CREATE;
    uint32_t flags = 0;
    FLT_PRE_OPERATION_CALLBACK preOperation;
    FLT_POST_OPERATION_CALLBACK postOperation;
};

// ---- Context types ----

constexpr uint16_t FLT_VOLUME_CONTEXT = 0x0001;
constexpr uint16_t FLT_INSTANCE_CONTEXT = 0x0002;
constexpr uint16_t FLT_FILE_CONTEXT = 0x0004;
constexpr uint16_t FLT_STREAM_CONTEXT = 0x0008;
constexpr uint16_t FLT_STREAMHANDLE_CONTEXT = 0x0010;

// Called once, when the last reference to a context is released, before its memory goes.
using FLT_CONTEXT_CLEANUP_CALLBACK = std::function<void(void* context, uint16_t contextType)>;

struct FLT_CONTEXT_REGISTRATION {
    uint16_t contextType = 0;
    uint16_t flags = 0;
    FLT_CONTEXT_CLEANUP_CALLBACK cleanup;
    size_t size = 0;
    uint32_t poolTag = 0;
};

struct FLT_REGISTRATION {
    uint16_t version = FLT_REGISTRATION_VERSION;
    uint32_t flags = 0;
    // The filter's name (its service name); instances are named after it.
    std::u16string name;
    std::vector<FLT_CONTEXT_REGISTRATION> contexts;
    std::vector<FLT_OPERATION_REGISTRATION> operations;
    // Null: every volume gets an instance.
    FLT_INSTANCE_SETUP_CALLBACK instanceSetup;
};

class FLT_FILTER {
  public:
    explicit FLT_FILTER(FLT_REGISTRATION registration);
    const FLT_REGISTRATION& Registration() const { return registration_; }
    const std::u16string& Name() const { return registration_.name; }
    // Registered and not yet unregistered.
    bool Registered() const { return registered_.load(); }
    bool Filtering() const { return filtering_.load(); }

  private:
    friend struct FltState;
    const FLT_REGISTRATION registration_;
    std::atomic<bool> registered_{true};
    std::atomic<bool> filtering_{false};
};

// One filter attached to one volume. A reference keeps the object, not the attachment: once the
// filter is unregistered or the volume dismounted, Attached() is false and I/O through it fails
// with STATUS_FLT_DELETING_OBJECT.
class FLT_INSTANCE {
  public:
    FLT_INSTANCE(std::shared_ptr<FLT_FILTER> filter, std::shared_ptr<FLT_VOLUME> volume,
                 std::u16string name);
    // Releases the instance context.
    ~FLT_INSTANCE();
    FLT_INSTANCE(const FLT_INSTANCE&) = delete;
    FLT_INSTANCE& operator=(const FLT_INSTANCE&) = delete;
    FLT_FILTER* Filter() const { return filter_.get(); }
    const std::shared_ptr<FLT_VOLUME>& Volume() const { return volume_; }
    // "<filter name> Instance".
    const std::u16string& Name() const { return name_; }
    bool Attached() const { return attached_.load(); }

  private:
    friend struct FltState;
    friend struct FltContexts;
    const std::shared_ptr<FLT_FILTER> filter_;
    const std::shared_ptr<FLT_VOLUME> volume_;
    const std::u16string name_;
    std::atomic<bool> attached_{false};
    void* context_ = nullptr;  // the instance context, one reference held; the context face's lock
};

// FltRegisterFilter: STATUS_INVALID_PARAMETER for a missing output, an empty name, a registration
// version outside 0x0200..0x0203, an operation or context registration without its callbacks or
// size, or a context type registered twice.
NTSTATUS FltRegisterFilter(const FLT_REGISTRATION& registration,
                           std::shared_ptr<FLT_FILTER>* filter);
// FltStartFiltering: offers the filter an instance on every mounted volume (set-up called for
// each, outside the face's lock). STATUS_INVALID_PARAMETER for a filter that is not registered or
// already filtering.
NTSTATUS FltStartFiltering(const std::shared_ptr<FLT_FILTER>& filter);
// FltUnregisterFilter: tears down the filter's instances; the filter cannot be used afterwards.
void FltUnregisterFilter(const std::shared_ptr<FLT_FILTER>& filter);

// FltEnumerateVolumes: the mounted volumes, in the order they were mounted.
NTSTATUS FltEnumerateVolumes(const std::shared_ptr<FLT_FILTER>& filter,
                             std::vector<std::shared_ptr<FLT_VOLUME>>* volumes);
// FltGetVolumeName: the volume's device name.
NTSTATUS FltGetVolumeName(const FLT_VOLUME& volume, std::u16string* name);
// FltGetVolumeInstanceFromName: the filter's instance on the volume (of that name, when a name
// is given); STATUS_FLT_INSTANCE_NOT_FOUND when it has none there.
NTSTATUS FltGetVolumeInstanceFromName(const std::shared_ptr<FLT_FILTER>& filter,
                                      const std::shared_ptr<FLT_VOLUME>& volume,
                                      std::u16string_view instanceName,
                                      std::shared_ptr<FLT_INSTANCE>* instance);
// The filter's instance on the volume that holds a native path (ResolveVolumePath):
// STATUS_OBJECT_PATH_NOT_FOUND when no volume holds it, STATUS_FLT_INSTANCE_NOT_FOUND when the
// filter is not attached there.
NTSTATUS FindInstanceForPath(const std::shared_ptr<FLT_FILTER>& filter, std::u16string_view path,
                             std::shared_ptr<FLT_INSTANCE>* instance);

// The instances attached to the volume, in the order the filters started: the order an operation
// a process issues passes through them.
std::vector<std::shared_ptr<FLT_INSTANCE>> FltAttachedInstances(const FLT_VOLUME& volume);

// ---- Failure switches (tests) ----

enum class FLT_FAILURE {
    RegisterFilter,
    StartFiltering,
    CreateFile,
    WriteFile,
    ReadFile,
    SetInformation,
    GetFileName
};

namespace detail {
struct FLT_FAILURE_SWITCH;
}  // namespace detail

// While it lives, the chosen operation fails with `status` after `skip` successful calls, for
// `count` calls (or all of them). Switches of one operation nest.
class ScopedFltFailure {
  public:
    ScopedFltFailure(FLT_FAILURE operation, NTSTATUS status, uint32_t skip = 0,
                     std::optional<uint32_t> count = std::nullopt);
    ~ScopedFltFailure();
    ScopedFltFailure(const ScopedFltFailure&) = delete;
    ScopedFltFailure& operator=(const ScopedFltFailure&) = delete;
    // Calls this switch failed.
    uint32_t Failed() const;

  private:
    FLT_FAILURE operation_;
    std::shared_ptr<detail::FLT_FAILURE_SWITCH> switch_;
    std::shared_ptr<detail::FLT_FAILURE_SWITCH> previous_;
};

// The failure status of the switch of that operation for this call, or STATUS_SUCCESS.
NTSTATUS FltInjectedFailure(FLT_FAILURE operation);

}  // namespace os
