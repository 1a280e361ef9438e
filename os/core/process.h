// Processes of the simulated system: an id, the user SID, session and logon session of its token,
// an image path, a handle table and the memory the driver committed in it. Threads of tests and
// tools act for a process (ScopedProcessContext); os::Thread inherits its creator's process. A
// thread not attached to a simulated process acts for the real one (its Linux pid).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/core/status.h"

namespace os {

using HANDLE = uint64_t;
constexpr HANDLE INVALID_HANDLE_VALUE = ~0ull;

enum class ObjectType {
    Event,
    File,
    Timer,
    Mutant,
    Thread,
    Process,
    Directory,
    SymbolicLink,
    Token
};
constexpr size_t kObjectTypeCount = 9;
static_assert(static_cast<size_t>(ObjectType::Token) + 1 == kObjectTypeCount);

// The logon session of the system's own processes; its device directory is "\GLOBAL??" itself.
constexpr uint64_t kSystemLogonId = 0x3E7;
// The logon session a process gets when its creator names none: the system's for session 0 (the
// services' session), one interactive logon per other session.
constexpr uint64_t DefaultLogonId(uint32_t sessionId) {
    return sessionId == 0 ? kSystemLogonId : 0x10000ull + sessionId;
}

// Access rights the handle table checks.
constexpr uint32_t EVENT_QUERY_STATE = 0x0001;
constexpr uint32_t EVENT_MODIFY_STATE = 0x0002;
constexpr uint32_t SYNCHRONIZE = 0x00100000;
constexpr uint32_t EVENT_ALL_ACCESS = 0x001F0003;
constexpr uint32_t GENERIC_READ = 0x80000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;
constexpr uint32_t GENERIC_ALL = 0x10000000;

struct HANDLE_ENTRY {
    std::shared_ptr<void> object;
    ObjectType type;
    uint32_t access;
};

// A process that lives in another real process (a caller of the driver host over its bridge): its
// memory is reached through the other process's pid, regions are committed there, and a handle the
// host's table does not know is asked of the other process (a waitable object comes back as a
// stand-in whose signals reach the original).
class PROCESS_REMOTE {
  public:
    virtual ~PROCESS_REMOTE() = default;
    // The Linux pid the cross-address-space copies use; -1 once the process is gone.
    virtual int MemoryPid() const = 0;
    virtual uint64_t CommitRegion(size_t size) = 0;
    // The object behind one of the other process's handles, or STATUS_INVALID_HANDLE /
    // STATUS_OBJECT_TYPE_MISMATCH / STATUS_ACCESS_DENIED as a local table would answer.
    virtual NTSTATUS ImportHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                                  std::shared_ptr<void>* object) = 0;
};

class PROCESS {
  public:
    PROCESS(uint32_t id, std::vector<uint8_t> userSid, uint32_t sessionId, std::string imagePath,
            uint64_t authenticationId);
    PROCESS(uint32_t id, std::vector<uint8_t> userSid, uint32_t sessionId, std::string imagePath)
        : PROCESS(id, std::move(userSid), sessionId, std::move(imagePath),
                  DefaultLogonId(sessionId)) {}
    ~PROCESS();
    PROCESS(const PROCESS&) = delete;
    PROCESS& operator=(const PROCESS&) = delete;

    uint32_t Id() const { return id_; }
    const std::vector<uint8_t>& UserSid() const { return userSid_; }
    uint32_t SessionId() const { return sessionId_; }
    // The token's authentication id: the 64-bit id of the logon session the process runs in.
    uint64_t AuthenticationId() const { return authenticationId_.load(); }
    void SetAuthenticationId(uint64_t id) { authenticationId_.store(id); }
    const std::string& ImagePath() const { return imagePath_; }
    bool HasEnded() const;

    // Handle table. Handles are multiples of 4, never 0.
    HANDLE InsertHandle(std::shared_ptr<void> object, ObjectType type, uint32_t access);
    // The entry is removed and returned (null object when the handle is not valid).
    HANDLE_ENTRY RemoveHandle(HANDLE handle);
    bool LookupHandle(HANDLE handle, HANDLE_ENTRY* entry) const;
    size_t HandleCount() const;

    // Read-write memory committed in this process (by the driver, for the caller).
    uint64_t CommitRegion(size_t size);
    // Returns false when the address is not the start of a committed region.
    bool ReleaseRegion(uint64_t address);
    size_t CommittedRegionCount() const;

    // Set once, before the process is used, for a process that lives elsewhere.
    void SetRemote(std::shared_ptr<PROCESS_REMOTE> remote) { remote_ = std::move(remote); }
    PROCESS_REMOTE* Remote() const { return remote_.get(); }

    // Ends the process: every handle is closed (running the close routines of their objects) and
    // committed memory goes back.
    void Terminate();

  private:
    void ReleaseAllRegionsLocked();

    const uint32_t id_;
    const std::vector<uint8_t> userSid_;
    const uint32_t sessionId_;
    const std::string imagePath_;
    std::atomic<uint64_t> authenticationId_;
    mutable std::mutex lock_;
    bool ended_ = false;
    uint64_t nextHandle_ = 4;
    std::map<HANDLE, HANDLE_ENTRY> handles_;
    std::map<uint64_t, size_t> regions_;
    std::shared_ptr<PROCESS_REMOTE> remote_;
};

// Creates a simulated process (ids are unique, multiples of 4, above the real pids' usual range).
// Without a logon session it gets DefaultLogonId(sessionId).
std::shared_ptr<PROCESS> CreateProcess(std::vector<uint8_t> userSid, uint32_t sessionId,
                                       std::string imagePath,
                                       std::optional<uint64_t> authenticationId = std::nullopt);
// A process that stands for another real process of that pid (it keeps its id); null when the id
// is already in the table.
std::shared_ptr<PROCESS> CreateProcessWithId(uint32_t id, std::vector<uint8_t> userSid,
                                             uint32_t sessionId, std::string imagePath);
// PsLookupProcessByProcessId: the simulated process of that id, or the real process, else null.
std::shared_ptr<PROCESS> LookupProcess(uint32_t processId);
// Ends a process and removes it from the table.
void TerminateProcess(uint32_t processId);

uint32_t CurrentProcessId();
// The process the calling thread acts for (the real process when not attached).
std::shared_ptr<PROCESS> CurrentProcess();

// Closing a handle runs this for its object (set by the modules that own object types: a file
// object's close runs the device's cleanup and close). Called without any process lock held.
using CloseRoutine = void (*)(const HANDLE_ENTRY& entry);
void SetCloseRoutine(ObjectType type, CloseRoutine routine);
void RunCloseRoutine(const HANDLE_ENTRY& entry);

// The object behind a handle of the current process (ObReferenceObjectByHandle): checks the type
// and that the handle grants the access asked for.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                                   std::shared_ptr<void>* object);

template <typename T>
NTSTATUS ReferenceByHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                           std::shared_ptr<T>* object) {
    std::shared_ptr<void> any;
    NTSTATUS status = ObReferenceObjectByHandle(handle, desiredAccess, type, &any);
    if (NT_SUCCESS(status)) {
        *object = std::static_pointer_cast<T>(std::move(any));
    }
    return status;
}

// Makes the calling thread act for another process while it lives (KeStackAttachProcess in spirit).
class ScopedProcessContext {
  public:
    explicit ScopedProcessContext(uint32_t processId);
    ~ScopedProcessContext();
    ScopedProcessContext(const ScopedProcessContext&) = delete;
    ScopedProcessContext& operator=(const ScopedProcessContext&) = delete;

  private:
    uint32_t previous_;
};

// The thread a request comes from, as its own process numbers its threads: the calling thread
// itself, unless a bridge serves the request of a thread of another process, which it names for
// the request's duration. With the process id it tells one requesting thread from every other.
uint32_t RequestorThreadId();
class ScopedRequestorThread {
  public:
    explicit ScopedRequestorThread(uint32_t threadId);
    ~ScopedRequestorThread();
    ScopedRequestorThread(const ScopedRequestorThread&) = delete;
    ScopedRequestorThread& operator=(const ScopedRequestorThread&) = delete;

  private:
    uint32_t previous_;
};

}  // namespace os
