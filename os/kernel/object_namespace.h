// The object namespace: object directories, symbolic links and devices under one root, looked up
// as the object manager does. Names compare without case. A link met on the way is followed (its
// target replaces the part of the name that named it) up to 32 times in one lookup; opening a link
// object itself follows every link but the last component.
//
// The system's own layout is there from the first use: "\Device", "\GLOBAL??" (with "Global"
// naming itself), "\Sessions\0\DosDevices" for the logon sessions' device directories, the root
// link "\DosDevices" -> "\??", the system volume "\Device\HarddiskVolume1" with its drive letter
// "\GLOBAL??\C:", and "\SystemRoot" -> "\Device\HarddiskVolume1\Windows".
//
// "\??" is each caller's view of drive letters and device links: first the device directory of
// the caller's logon session ("\Sessions\0\DosDevices\%08lx-%08lx" of the token's authentication
// id, when it exists), then "\GLOBAL??". The system's logon session (kSystemLogonId) sees
// "\GLOBAL??" alone. A link created under "\??" goes into the creator's logon-session directory
// when that exists, else into "\GLOBAL??".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "os/core/process.h"
#include "os/core/status.h"
#include "os/kernel/kernel_handles.h"
#include "os/kernel/unicode_string.h"

namespace os {

constexpr NTSTATUS STATUS_OBJECT_PATH_SYNTAX_BAD = MakeStatus(0xC000003B);
constexpr NTSTATUS STATUS_DIRECTORY_NOT_EMPTY = MakeStatus(0xC0000101);

constexpr uint32_t DIRECTORY_QUERY = 0x0001;
constexpr uint32_t DIRECTORY_TRAVERSE = 0x0002;
constexpr uint32_t SYMBOLIC_LINK_QUERY = 0x0001;

// How many links one lookup follows before it gives up (STATUS_OBJECT_PATH_NOT_FOUND), so that a
// chain that leads back to itself ends.
constexpr int kMaxLinkReparses = 32;

// Every object that can stand in the namespace, and the objects named after one (a device's file
// objects). The name is the full name as ObQueryNameString reports it; empty when it has none.
class NAMED_OBJECT {
  public:
    virtual ~NAMED_OBJECT() = default;
    virtual std::u16string ObjectName() const = 0;
};

class OBJECT_DIRECTORY;
class DEVICE_OBJECT;

class SYMBOLIC_LINK final : public NAMED_OBJECT {
  public:
    SYMBOLIC_LINK(std::u16string name, std::u16string target)
        : name_(std::move(name)), target_(std::move(target)) {}
    std::u16string ObjectName() const override { return name_; }
    const std::u16string& Target() const { return target_; }

  private:
    std::u16string name_;
    std::u16string target_;
};

struct OBJECT_ATTRIBUTES {
    uint32_t Length = sizeof(OBJECT_ATTRIBUTES);
    HANDLE RootDirectory = 0;
    const UNICODE_STRING* ObjectName = nullptr;
    uint32_t Attributes =
        0;  // OBJ_KERNEL_HANDLE, OBJ_CASE_INSENSITIVE (os/kernel/kernel_handles.h)
};

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* attributes, const UNICODE_STRING* name,
                                       uint32_t flags, HANDLE rootDirectory) {
    attributes->Length = sizeof(OBJECT_ATTRIBUTES);
    attributes->RootDirectory = rootDirectory;
    attributes->ObjectName = name;
    attributes->Attributes = flags;
}

// ---- The driver's calls ----

// Opens an object directory by absolute name, or relative to RootDirectory (a directory handle; the
// name then has no leading backslash). The handle is a kernel handle with OBJ_KERNEL_HANDLE, else
// one of the current process. STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND (a
// directory on the way is missing), STATUS_OBJECT_TYPE_MISMATCH (the name is not a directory),
// STATUS_OBJECT_NAME_INVALID (an empty component), STATUS_OBJECT_PATH_SYNTAX_BAD (an absolute
// name with a root, a relative one without).
NTSTATUS ZwOpenDirectoryObject(HANDLE* handle, uint32_t desiredAccess,
                               const OBJECT_ATTRIBUTES* attributes);
// Opens a symbolic link object, as ZwOpenDirectoryObject opens a directory; a name that exists but
// is not a link (a directory, a device, or a name inside a device) is STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS ZwOpenSymbolicLinkObject(HANDLE* handle, uint32_t desiredAccess,
                                  const OBJECT_ATTRIBUTES* attributes);
// Copies the link's target into target->Buffer (NUL added when there is room for it) and sets
// target->Length. When MaximumLength is shorter than the target: STATUS_BUFFER_TOO_SMALL and
// nothing copied. *returnedLength (optional) is the target's bytes plus its NUL either way. The
// handle needs SYMBOLIC_LINK_QUERY.
NTSTATUS ZwQuerySymbolicLinkObject(HANDLE linkHandle, UNICODE_STRING* target,
                                   uint32_t* returnedLength);

struct OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;  // its buffer follows the structure, NUL-terminated
};

// The object's full name into the caller's buffer. *returnLength is the size the answer needs (the
// structure, the name and its NUL); a shorter buffer gives STATUS_INFO_LENGTH_MISMATCH, so a first
// call with length 0 asks for the size. An object without a name answers an empty one.
NTSTATUS ObQueryNameString(const NAMED_OBJECT* object, OBJECT_NAME_INFORMATION* info,
                           uint32_t length, uint32_t* returnLength);

// ---- The namespace's own operations (the I/O manager, the system set-up, tests) ----

// A permanent object directory; its parent must exist. STATUS_OBJECT_NAME_COLLISION when the name
// is taken.
NTSTATUS ObCreateDirectoryObject(std::u16string_view name);
// Removes a directory with all it holds (handles still open keep their objects).
NTSTATUS ObDeleteDirectoryObject(std::u16string_view name);
// A permanent symbolic link (IoCreateSymbolicLink). The target is kept as given and is not checked.
NTSTATUS ObCreateSymbolicLink(std::u16string_view name, std::u16string_view target,
                              uint64_t logonId = kSystemLogonId);
NTSTATUS ObDeleteSymbolicLink(std::u16string_view name, uint64_t logonId = kSystemLogonId);
// The device under its name (IoCreateDevice), and its removal (only that very device).
NTSTATUS ObInsertDevice(const std::shared_ptr<DEVICE_OBJECT>& device);
void ObRemoveDevice(const std::shared_ptr<DEVICE_OBJECT>& device);
// The device a name reaches with every link followed, as seen by a caller of that logon session.
// A name that goes on inside the device is not a device name: STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS ObLookupDevice(std::u16string_view name, uint64_t logonId,
                        std::shared_ptr<DEVICE_OBJECT>* device);

// "\Sessions\0\DosDevices\%08lx-%08lx" of a logon session (high and low 32 bits).
std::u16string LogonSessionDirectoryName(uint64_t logonId);
// Creates the logon session's device directory (with its "Global" link to "\GLOBAL??"), as a
// logon does; STATUS_SUCCESS when it exists already.
NTSTATUS CreateLogonSessionDirectory(uint64_t logonId);
NTSTATUS DeleteLogonSessionDirectory(uint64_t logonId);

// A volume: its device in "\Device" ("\Device\HarddiskVolume2") and, when a drive letter is given
// ("D:"), the link "\GLOBAL??\D:" to it. Which folder holds the volume's files is the file
// system's business. RemoveVolume takes both away again.
NTSTATUS DeclareVolume(std::u16string_view deviceName, std::u16string_view driveLetter);
void RemoveVolume(std::u16string_view deviceName, std::u16string_view driveLetter);

}  // namespace os
