// The registry: one hierarchical store of keys and typed values with Windows semantics, reached
// through a Win32-style path (Reg*, Win32 error codes) and a kernel-style path (Zw*, NTSTATUS),
// with change notification, pre-operation callbacks that may deny an operation, and persistence of
// the whole store in one file that is replaced atomically on every change.
//
// Names. Key and value names are UTF-8 text and compared without regard to the case of ASCII
// letters; other bytes compare exactly. A key name is one component of 1 to 255 characters without
// a backslash or NUL; a value name has at most 16383 characters (the empty name is the key's
// default value). Paths are components joined by backslashes; an empty or doubled component is an
// invalid name. Kernel object names are absolute ("\REGISTRY\MACHINE\SOFTWARE\...") unless a root
// key is given. HKEY_LOCAL_MACHINE is \REGISTRY\MACHINE and HKEY_USERS is \REGISTRY\USER.
// "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet" is a link to "...\SYSTEM\ControlSet001": paths
// through it reach the keys below ControlSet001, and those keys report their real names. Links do
// not appear in enumerations. A new store holds MACHINE\SOFTWARE, MACHINE\SYSTEM\ControlSet001
// and USER\.DEFAULT, as a fresh Windows does; keys directly below \REGISTRY cannot be created,
// deleted or renamed.
//
// Values keep their raw bytes exactly as they were set, whatever the type says: a REG_DWORD of 8
// bytes or a REG_SZ of invalid UTF-16 is stored and returned as given; readers decide what to
// accept. Strings are stored as Windows stores them, UTF-16LE with a terminating NUL; the
// RegStringData/RegMultiStringData helpers build such data from UTF-8.
//
// Deleting a key that still has subkeys fails with access denied (ERROR_ACCESS_DENIED on the
// Win32 path, STATUS_CANNOT_DELETE on the kernel path), as Windows does; the roots cannot be
// deleted. A handle to a key deleted through another handle stays valid: every call on it then
// fails with ERROR_KEY_DELETED / STATUS_KEY_DELETED.
//
// Persistence: a file-backed store rewrites its whole file on every change (new file, flush,
// rename over the old one, flush of the folder), so a crash leaves either the old or the new store,
// never a mix; a change whose write fails is undone and reported (ERROR_REGISTRY_IO_FAILED). Meant
// for stores of settings, not for bulk data. A file has one store at a time, enforced by a lock on
// path + ".lock".
//
// Security: every key has an owner and an access list, and every operation is judged against
// them for the calling process before the registry callbacks run (registry_security.h says who
// may do what); a refusal is STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED on the Win32 path. The
// descriptors are kept in the file with the keys.
//
// Thread safety: any thread may use any store and handle; a single RegKey object is not meant to
// be moved or closed by one thread while another uses it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/registry/registry_security.h"

namespace os {

// ---- Status values of the registry (not otherwise used by os/) ----

// The Win32 error a registry call reports for a status of the store: the registry's own statuses
// as RegXxx reports them, others as NtStatusToWin32Error.
uint32_t RegistryStatusToWin32Error(NTSTATUS status);

// A descriptor names an owner the caller may not give (Win32: ERROR_INVALID_OWNER), or is not a
// well-formed descriptor (ERROR_INVALID_SECURITY_DESCR).
constexpr NTSTATUS STATUS_INVALID_OWNER = MakeStatus(0xC000005A);
constexpr NTSTATUS STATUS_INVALID_SECURITY_DESCR = MakeStatus(0xC0000079);
constexpr uint32_t ERROR_INVALID_OWNER = 1307;
constexpr uint32_t ERROR_INVALID_SECURITY_DESCR = 1338;

// ---- Value types ----

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

// Value data as Windows stores it. Invalid UTF-8 input becomes U+FFFD.
std::vector<uint8_t> RegStringData(std::string_view utf8);  // UTF-16LE and a terminating NUL
std::vector<uint8_t> RegDwordData(uint32_t value);          // 4 bytes, little-endian
std::vector<uint8_t> RegQwordData(uint64_t value);          // 8 bytes, little-endian
// Each string with its NUL, then the final NUL; an empty list is one pair of NUL characters
// (4 bytes). An empty string cannot be part of the list (it would end it): returns nullopt.
std::optional<std::vector<uint8_t>> RegMultiStringData(std::span<const std::string> strings);

// Text of string data: UTF-16LE up to the first NUL, or all of it when there is none; an odd last
// byte is ignored and unpaired surrogates become U+FFFD, so any bytes can be read.
std::string RegStringFromData(std::span<const uint8_t> data);
// The strings of REG_MULTI_SZ data, up to the first empty string or the end of the data.
std::vector<std::string> RegMultiStringFromData(std::span<const uint8_t> data);

// ---- Keys ----

enum class PredefinedKey {
    LocalMachine,  // \REGISTRY\MACHINE
    Users,         // \REGISTRY\USER
};
constexpr PredefinedKey HKEY_LOCAL_MACHINE = PredefinedKey::LocalMachine;
constexpr PredefinedKey HKEY_USERS = PredefinedKey::Users;

// Dispositions of a create.
constexpr uint32_t REG_CREATED_NEW_KEY = 1;
constexpr uint32_t REG_OPENED_EXISTING_KEY = 2;

// Change-notification filters (ATTRIBUTES never fires: keys have no attributes here).
constexpr uint32_t REG_NOTIFY_CHANGE_NAME = 0x1;
constexpr uint32_t REG_NOTIFY_CHANGE_ATTRIBUTES = 0x2;
constexpr uint32_t REG_NOTIFY_CHANGE_LAST_SET = 0x4;
constexpr uint32_t REG_NOTIFY_CHANGE_SECURITY = 0x8;

class RegistryStore;
class REGISTRY_REMOTE;
namespace detail {
struct RegKeyNode;
}

// An open key (HKEY and kernel key handle alike). Closing it, or destroying it, cancels the change
// notifications armed through it. Move-only.
class RegKey {
  public:
    RegKey() = default;
    // The predefined key in the process's registry (SystemRegistry()), so that
    // RegOpenKeyEx(HKEY_LOCAL_MACHINE, ...) reads as on Windows.
    RegKey(PredefinedKey root);  // NOLINT(google-explicit-constructor)
    RegKey(RegKey&& other) noexcept;
    RegKey& operator=(RegKey&& other) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey();

    bool IsValid() const { return node_ != nullptr; }
    void Close();
    // Full kernel name ("\REGISTRY\MACHINE\SOFTWARE\Corvane\Ostrel") with the stored letter case;
    // the name the key had when it was deleted, for a deleted key; empty for an invalid handle.
    std::string Path() const;
    const std::shared_ptr<RegistryStore>& Store() const { return store_; }

  private:
    friend class RegistryStore;
    std::shared_ptr<RegistryStore> store_;
    std::shared_ptr<detail::RegKeyNode> node_;
    uint64_t id_ = 0;  // names the handle's notification registrations
};

struct REG_KEY_INFO {
    uint32_t subKeys = 0;
    uint32_t maxSubKeyLen = 0;  // longest subkey name, in bytes of UTF-8, without a terminator
    uint32_t values = 0;
    uint32_t maxValueNameLen = 0;  // longest value name, in bytes of UTF-8, without a terminator
    uint32_t maxValueLen = 0;      // largest value data, in bytes
    uint64_t lastWriteTime = 0;    // system time of the last change of the key or its values
};

struct REG_VALUE {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
};

// ---- Registry callbacks (CmRegisterCallbackEx) ----

enum class REG_NOTIFY_CLASS : uint32_t {
    RegNtPreDeleteKey = 0,
    RegNtPreSetValueKey = 1,
    RegNtPreDeleteValueKey = 2,
    RegNtPreRenameKey = 4,
    RegNtPreCreateKeyEx = 26,
};

// What a callback is told before an operation. The views are valid during the call only.
struct REG_NOTIFY_INFO {
    REG_NOTIFY_CLASS notifyClass = REG_NOTIFY_CLASS::RegNtPreDeleteKey;
    // Full kernel name of the key operated on, with links resolved ("...\ControlSet001\..."). For a
    // pre-create it is the complete absolute name of the key being created or opened, whatever
    // root the caller gave, so that a relative create cannot slip past a name check.
    std::string_view keyPath;
    std::string_view valueName;  // pre-set and pre-delete value
    std::string_view newName;    // pre-rename: the new last component
    uint32_t type = REG_NONE;    // pre-set value
    std::span<const uint8_t> data;
    uint32_t processId = 0;  // os::CurrentProcessId() of the calling thread
};

// Returns STATUS_SUCCESS to let the operation proceed; any failure status denies it, and the
// caller gets that status (the Win32 path maps it: STATUS_ACCESS_DENIED becomes error 5).
// Callbacks run on the calling thread, outside the store's lock, and may use the registry.
using RegistryCallback = std::function<NTSTATUS(const REG_NOTIFY_INFO& info)>;

// ---- The store ----

struct RegistryOpenOptions {
    // When the file is corrupt or truncated: false fails the open (the file is left as it is);
    // true moves the file aside (path + ".corrupt", or ".corrupt.N") and opens an empty store.
    // A file of a newer format version is never replaced.
    bool startEmptyIfCorrupt = false;
};

struct RegistryOpenResult {
    // ERROR_SUCCESS; ERROR_REGISTRY_CORRUPT (corrupt or truncated file, also reported when the
    // store was opened empty after moving the file aside); ERROR_NOT_SUPPORTED (newer format);
    // ERROR_SHARING_VIOLATION (another store has the file open); or the error of a failed file
    // operation.
    uint32_t error = ERROR_SUCCESS;
    std::string message;      // what went wrong, with the path; empty on success
    std::string corruptCopy;  // where a corrupt file was moved, when it was
};

// Test hook: simulates a failure or a crash of the process at a point of the next file writes.
// The change that triggers it is refused (STATUS_REGISTRY_IO_FAILED) and undone in memory; the
// "crash" points leave the files exactly as a crash there would.
enum class RegistryWriteFault {
    None,
    FailOpen,          // the new file cannot be created
    CrashMidWrite,     // half of the new file written, then the process "dies"
    CrashBeforeRename  // the new file written and flushed, the rename never happens
};

// ---- A store of another process ----

// What a store held by another process answers when that process cannot be reached (no host, or
// the connection to it was lost). The Win32 path reports it as the registry's own errors:
// ERROR_CANTOPEN for opens and creates, ERROR_CANTREAD for reads, ERROR_CANTWRITE for changes.
constexpr NTSTATUS STATUS_REGISTRY_UNREACHABLE = STATUS_DEVICE_NOT_READY;

// Handles of a remote store are numbers its bridge gives. 0 names no key (the path is absolute);
// the two roots have fixed numbers that are valid on every connection and are never closed.
constexpr uint64_t kRemoteNoKey = 0;
constexpr uint64_t kRemoteLocalMachine = 1;
constexpr uint64_t kRemoteUsers = 2;

// The operations of a store that lives in another process (os/bridge implements it). Each returns
// the status the store over there returned, or STATUS_REGISTRY_UNREACHABLE.
class REGISTRY_REMOTE {
  public:
    virtual ~REGISTRY_REMOTE() = default;
    virtual NTSTATUS CreateKey(uint64_t base, std::string_view path, uint64_t* handle,
                               uint32_t* disposition, const REG_SECURITY* security) = 0;
    virtual NTSTATUS OpenKey(uint64_t base, std::string_view path, uint64_t* handle) = 0;
    virtual void CloseKey(uint64_t handle) = 0;
    virtual NTSTATUS DeleteKey(uint64_t handle) = 0;
    virtual NTSTATUS RenameKey(uint64_t handle, std::string_view newName) = 0;
    virtual NTSTATUS EnumerateKey(uint64_t handle, uint32_t index, std::string& name) = 0;
    virtual NTSTATUS QueryKeyInfo(uint64_t handle, REG_KEY_INFO& info) = 0;
    virtual NTSTATUS SetValue(uint64_t handle, std::string_view name, uint32_t type,
                              std::span<const uint8_t> data) = 0;
    virtual NTSTATUS QueryValue(uint64_t handle, std::string_view name, REG_VALUE& value) = 0;
    virtual NTSTATUS DeleteValue(uint64_t handle, std::string_view name) = 0;
    virtual NTSTATUS EnumerateValue(uint64_t handle, uint32_t index, std::string& name,
                                    REG_VALUE* value) = 0;
    // The event is set once when the change happens over there; the registration ends when it
    // fires or when the handle is closed, as in a local store.
    virtual NTSTATUS NotifyChange(uint64_t handle, Event& event, uint32_t filter,
                                  bool watchSubtree) = 0;
    virtual NTSTATUS KeyPath(uint64_t handle, std::string& path) = 0;
    virtual NTSTATUS QueryKeySecurity(uint64_t handle, REG_SECURITY& security) = 0;
    virtual NTSTATUS SetKeySecurity(uint64_t handle, const REG_SECURITY& security) = 0;
};

class RegistryStore : public std::enable_shared_from_this<RegistryStore> {
  public:
    // A store that lives in memory only.
    static std::shared_ptr<RegistryStore> CreateInMemory();
    // A store that another process holds: every operation goes to `remote`. It has no registry
    // callbacks of its own (they run where the store is) and no file.
    static std::shared_ptr<RegistryStore> CreateRemote(std::shared_ptr<REGISTRY_REMOTE> remote);
    bool IsRemote() const;
    // A store kept in `path`: loaded now (a missing file starts an empty store and creates the
    // file), written atomically on every change. Returns null on failure, with the reason in
    // `result`, which also carries a notice when a corrupt file was moved aside.
    static std::shared_ptr<RegistryStore> OpenFile(const std::string& path,
                                                   const RegistryOpenOptions& options,
                                                   RegistryOpenResult* result = nullptr);
    ~RegistryStore();
    RegistryStore(const RegistryStore&) = delete;
    RegistryStore& operator=(const RegistryStore&) = delete;

    RegKey Root(PredefinedKey root);
    const std::string& FilePath() const { return path_; }
    void SetWriteFault(RegistryWriteFault fault);
    // Test hook: false lets every caller do everything the callbacks allow (what the access
    // check costs is measured against it).
    void SetAccessCheck(bool enabled);

    // Kernel-path core; the Reg*/Zw* functions below are thin wrappers over these.
    // `base` null means `path` is absolute (starts with "\REGISTRY"). A created key gets
    // `security` (its empty owner naming the caller), or without one its parent's descriptor;
    // an existing key keeps its own.
    NTSTATUS CreateKey(const RegKey* base, std::string_view path, RegKey& out,
                       uint32_t* disposition, const REG_SECURITY* security = nullptr);
    NTSTATUS OpenKey(const RegKey* base, std::string_view path, RegKey& out);
    NTSTATUS DeleteKey(const RegKey& key);
    NTSTATUS RenameKey(const RegKey& key, std::string_view newName);
    NTSTATUS EnumerateKey(const RegKey& key, uint32_t index, std::string& name);
    NTSTATUS QueryKeyInfo(const RegKey& key, REG_KEY_INFO& info);
    NTSTATUS SetValue(const RegKey& key, std::string_view name, uint32_t type,
                      std::span<const uint8_t> data);
    NTSTATUS QueryValue(const RegKey& key, std::string_view name, REG_VALUE& value);
    NTSTATUS DeleteValue(const RegKey& key, std::string_view name);
    NTSTATUS EnumerateValue(const RegKey& key, uint32_t index, std::string& name, REG_VALUE* value);
    // Arms a one-shot notification: `event` is set once when a change matching `filter` happens
    // to the key (or, with `watchSubtree`, below it), or when the key is deleted; register again
    // to watch again. LAST_SET is a value of the key set or deleted; NAME is a subkey created,
    // deleted or renamed. A change that is denied or fails signals nothing. The event must
    // outlive the registration, which ends when it fires or, without signalling, when the handle
    // is closed.
    NTSTATUS NotifyChange(const RegKey& key, Event& event, uint32_t filter, bool watchSubtree);
    // The key's descriptor (its owner always named).
    NTSTATUS QueryKeySecurity(const RegKey& key, REG_SECURITY& security);
    // Replaces the key's descriptor; an empty owner keeps the owner it has. Its subkeys keep
    // theirs. Signals REG_NOTIFY_CHANGE_SECURITY; not reported to the registry callbacks (none
    // judges a descriptor).
    NTSTATUS SetKeySecurity(const RegKey& key, const REG_SECURITY& security);

    NTSTATUS RegisterCallback(RegistryCallback callback, std::string_view altitude,
                              uint64_t* cookie);
    // Removes a callback; waits for the calls of it that are running on other threads.
    NTSTATUS UnregisterCallback(uint64_t cookie);

    struct Impl;

  private:
    friend class RegKey;
    RegistryStore();
    void CloseHandle(RegKey& key);
    std::string PathOf(const RegKey& key);
    RegKey RemoteKey(uint64_t handle);
    NTSTATUS RemoteBase(const RegKey* base, uint64_t* handle) const;

    std::string path_;
    std::unique_ptr<Impl> impl_;
};

// The registry of the process: an in-memory store until one is installed. Tests install their own.
std::shared_ptr<RegistryStore> SystemRegistry();
// Installs a store as the process's registry; returns the previous one.
std::shared_ptr<RegistryStore> SetSystemRegistry(std::shared_ptr<RegistryStore> store);

class ScopedSystemRegistry {
  public:
    explicit ScopedSystemRegistry(std::shared_ptr<RegistryStore> store);
    ~ScopedSystemRegistry();
    ScopedSystemRegistry(const ScopedSystemRegistry&) = delete;
    ScopedSystemRegistry& operator=(const ScopedSystemRegistry&) = delete;

  private:
    std::shared_ptr<RegistryStore> previous_;
};

// ---- Win32 path: Win32 error codes, the Reg* behaviours the service relies on ----

// An empty subKey opens a new handle to `parent` itself. A key it creates gets `security`, or
// without one its parent's descriptor.
uint32_t RegCreateKeyEx(const RegKey& parent, std::string_view subKey, RegKey& result,
                        uint32_t* disposition = nullptr, const REG_SECURITY* security = nullptr);
uint32_t RegOpenKeyEx(const RegKey& parent, std::string_view subKey, RegKey& result);
uint32_t RegCloseKey(RegKey& key);
// Deletes parent\subKey (or parent itself when subKey is empty); ERROR_ACCESS_DENIED while the key
// has subkeys.
uint32_t RegDeleteKey(const RegKey& parent, std::string_view subKey);
// Renames parent\subKey (or parent itself when subKey is empty) to newName, within its parent.
uint32_t RegRenameKey(const RegKey& parent, std::string_view subKey, std::string_view newName);
// Subkeys in ascending order of their upper-cased names; ERROR_NO_MORE_ITEMS past the last.
uint32_t RegEnumKeyEx(const RegKey& key, uint32_t index, std::string& name);
// Buffer form: *nameLength is the buffer size in bytes, a NUL included, and becomes the name's
// length without it; a buffer too small gives ERROR_MORE_DATA and leaves *nameLength unchanged.
uint32_t RegEnumKeyEx(const RegKey& key, uint32_t index, char* name, uint32_t* nameLength);
uint32_t RegQueryInfoKey(const RegKey& key, REG_KEY_INFO& info);
uint32_t RegSetValueEx(const RegKey& key, std::string_view valueName, uint32_t type,
                       std::span<const uint8_t> data);
// As RegQueryValueEx: type and size may be null; data null with size asks for the size; a data
// buffer smaller than the value gives ERROR_MORE_DATA with the needed size in *size.
uint32_t RegQueryValueEx(const RegKey& key, std::string_view valueName, uint32_t* type,
                         uint8_t* data, uint32_t* size);
// The whole value at once.
uint32_t RegQueryValue(const RegKey& key, std::string_view valueName, REG_VALUE& value);
uint32_t RegDeleteValue(const RegKey& key, std::string_view valueName);
// Values in the order they were first set; ERROR_NO_MORE_ITEMS past the last.
uint32_t RegEnumValue(const RegKey& key, uint32_t index, std::string& valueName,
                      REG_VALUE* value = nullptr);
// Always asynchronous: the event is set once; call again to re-arm.
uint32_t RegNotifyChangeKeyValue(const RegKey& key, bool watchSubtree, uint32_t filter,
                                 Event& event);
// The key's owner and access list, and their replacement (an empty owner keeps the owner).
uint32_t RegGetKeySecurity(const RegKey& key, REG_SECURITY& security);
uint32_t RegSetKeySecurity(const RegKey& key, const REG_SECURITY& security);

// ---- Kernel path: NTSTATUS, the Zw* behaviours the driver relies on ----

enum class KEY_VALUE_INFORMATION_CLASS : uint32_t {
    KeyValuePartialInformation = 2,
};

// Layout of KeyValuePartialInformation in the caller's buffer: three 32-bit fields, then the data.
struct KEY_VALUE_PARTIAL_INFORMATION {
    uint32_t TitleIndex;
    uint32_t Type;
    uint32_t DataLength;
    uint8_t Data[1];
};
constexpr uint32_t kKeyValuePartialInformationHeader = 12;  // offset of Data

// `root` null: objectName is absolute ("\REGISTRY\MACHINE\...") in SystemRegistry().
NTSTATUS ZwCreateKey(RegKey& key, std::string_view objectName, const RegKey* root = nullptr,
                     uint32_t* disposition = nullptr);
NTSTATUS ZwOpenKey(RegKey& key, std::string_view objectName, const RegKey* root = nullptr);
NTSTATUS ZwClose(RegKey& key);
NTSTATUS ZwDeleteKey(const RegKey& key);
NTSTATUS ZwRenameKey(const RegKey& key, std::string_view newName);
NTSTATUS ZwSetValueKey(const RegKey& key, std::string_view valueName, uint32_t type,
                       std::span<const uint8_t> data);
NTSTATUS ZwDeleteValueKey(const RegKey& key, std::string_view valueName);
// A buffer shorter than the header gives STATUS_BUFFER_TOO_SMALL; one that holds the header but
// not the data gives STATUS_BUFFER_OVERFLOW with the header filled; *resultLength is always the
// size needed.
NTSTATUS ZwQueryValueKey(const RegKey& key, std::string_view valueName,
                         KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, uint32_t length,
                         uint32_t* resultLength);
// Returns STATUS_PENDING: the event is set once when the change happens.
NTSTATUS ZwNotifyChangeKey(const RegKey& key, Event& event, uint32_t completionFilter,
                           bool watchTree);
// The key object's full name (what an object-name query gives for a key).
NTSTATUS ZwQueryKeyName(const RegKey& key, std::string& name);

// Registry callbacks of the process's registry. CmRegisterCallback registers without an altitude;
// an altitude already taken gives STATUS_FLT_INSTANCE_ALTITUDE_COLLISION. Callbacks are called in
// the order they were registered; the first denial ends the walk. Unregister through the same
// registry: a cookie unknown to it gives STATUS_INVALID_PARAMETER.
NTSTATUS CmRegisterCallbackEx(RegistryCallback callback, std::string_view altitude,
                              uint64_t* cookie);
NTSTATUS CmRegisterCallback(RegistryCallback callback, uint64_t* cookie);
NTSTATUS CmUnRegisterCallback(uint64_t cookie);
// Both registrations are also exported by name (MmGetSystemRoutineAddress), with these types.
using CM_REGISTER_CALLBACK_EX = NTSTATUS (*)(RegistryCallback callback, std::string_view altitude,
                                             uint64_t* cookie);
using CM_REGISTER_CALLBACK = NTSTATUS (*)(RegistryCallback callback, uint64_t* cookie);

}  // namespace os
