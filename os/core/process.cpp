#include "os/core/process.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>

#include "os/core/sync.h"

namespace os {
namespace {

thread_local uint32_t tProcessId = 0;
thread_local uint32_t tRequestorThread = 0;  // 0: the calling thread itself

struct ProcessTable {
    std::mutex lock;
    std::map<uint32_t, std::shared_ptr<PROCESS>> processes;
    std::shared_ptr<PROCESS> real;
    std::array<std::atomic<CloseRoutine>, kObjectTypeCount> closeRoutines{};
};

ProcessTable& Table() {
    static ProcessTable* table = new ProcessTable();
    return *table;
}

}  // namespace

PROCESS::PROCESS(uint32_t id, std::vector<uint8_t> userSid, uint32_t sessionId,
                 std::string imagePath, uint64_t authenticationId)
    : id_(id),
      userSid_(std::move(userSid)),
      sessionId_(sessionId),
      imagePath_(std::move(imagePath)),
      authenticationId_(authenticationId) {}

PROCESS::~PROCESS() {
    std::lock_guard guard(lock_);
    ReleaseAllRegionsLocked();
}

bool PROCESS::HasEnded() const {
    std::lock_guard guard(lock_);
    return ended_;
}

HANDLE PROCESS::InsertHandle(std::shared_ptr<void> object, ObjectType type, uint32_t access) {
    std::lock_guard guard(lock_);
    if (ended_) {
        return 0;
    }
    HANDLE handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(handle, HANDLE_ENTRY{std::move(object), type, access});
    return handle;
}

HANDLE_ENTRY PROCESS::RemoveHandle(HANDLE handle) {
    std::lock_guard guard(lock_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        return HANDLE_ENTRY{nullptr, ObjectType::Event, 0};
    }
    HANDLE_ENTRY entry = std::move(it->second);
    handles_.erase(it);
    return entry;
}

bool PROCESS::LookupHandle(HANDLE handle, HANDLE_ENTRY* entry) const {
    std::lock_guard guard(lock_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        return false;
    }
    *entry = it->second;
    return true;
}

size_t PROCESS::HandleCount() const {
    std::lock_guard guard(lock_);
    return handles_.size();
}

uint64_t PROCESS::CommitRegion(size_t size) {
    if (size == 0) {
        return 0;
    }
    if (remote_) {
        // The region lives in the other process, which also releases it.
        return remote_->CommitRegion(size);
    }
    void* region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) {
        return 0;
    }
    std::lock_guard guard(lock_);
    if (ended_) {
        munmap(region, size);
        return 0;
    }
    uint64_t address = reinterpret_cast<uint64_t>(region);
    regions_.emplace(address, size);
    return address;
}

bool PROCESS::ReleaseRegion(uint64_t address) {
    std::lock_guard guard(lock_);
    auto it = regions_.find(address);
    if (it == regions_.end()) {
        return false;
    }
    munmap(reinterpret_cast<void*>(it->first), it->second);
    regions_.erase(it);
    return true;
}

size_t PROCESS::CommittedRegionCount() const {
    std::lock_guard guard(lock_);
    return regions_.size();
}

void PROCESS::ReleaseAllRegionsLocked() {
    for (const auto& [address, size] : regions_) {
        munmap(reinterpret_cast<void*>(address), size);
    }
    regions_.clear();
}

void PROCESS::Terminate() {
    std::map<HANDLE, HANDLE_ENTRY> handles;
    {
        std::lock_guard guard(lock_);
        if (ended_) {
            return;
        }
        ended_ = true;
        handles.swap(handles_);
    }
    // Close routines run in the context of the ending process, as the system's handle rundown does.
    ScopedProcessContext context(id_);
    for (const auto& [handle, entry] : handles) {
        RunCloseRoutine(entry);
    }
    std::lock_guard guard(lock_);
    ReleaseAllRegionsLocked();
}

std::shared_ptr<PROCESS> CreateProcess(std::vector<uint8_t> userSid, uint32_t sessionId,
                                       std::string imagePath,
                                       std::optional<uint64_t> authenticationId) {
    // Above the kernel's highest pid (PID_MAX_LIMIT, 2^22), so that a simulated process never
    // takes the id of a real caller the driver host stands in for (CreateProcessWithId).
    static std::atomic<uint32_t> nextId{0x40000000};
    uint32_t id = nextId.fetch_add(4);
    auto process =
        std::make_shared<PROCESS>(id, std::move(userSid), sessionId, std::move(imagePath),
                                  authenticationId.value_or(DefaultLogonId(sessionId)));
    ProcessTable& table = Table();
    std::lock_guard guard(table.lock);
    table.processes.emplace(id, process);
    return process;
}

std::shared_ptr<PROCESS> CreateProcessWithId(uint32_t id, std::vector<uint8_t> userSid,
                                             uint32_t sessionId, std::string imagePath) {
    auto process =
        std::make_shared<PROCESS>(id, std::move(userSid), sessionId, std::move(imagePath));
    ProcessTable& table = Table();
    std::lock_guard guard(table.lock);
    if (!table.processes.emplace(id, process).second) {
        return nullptr;
    }
    return process;
}

std::shared_ptr<PROCESS> LookupProcess(uint32_t processId) {
    ProcessTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.processes.find(processId);
    if (it != table.processes.end()) {
        return it->second;
    }
    if (processId == static_cast<uint32_t>(getpid())) {
        if (!table.real) {
            // The real process runs as the Linux user it was started by, in session 0 here.
            table.real = std::make_shared<PROCESS>(processId, std::vector<uint8_t>{}, 0, "");
        }
        return table.real;
    }
    return nullptr;
}

void TerminateProcess(uint32_t processId) {
    std::shared_ptr<PROCESS> process;
    {
        ProcessTable& table = Table();
        std::lock_guard guard(table.lock);
        auto it = table.processes.find(processId);
        if (it == table.processes.end()) {
            return;
        }
        process = it->second;
        table.processes.erase(it);
    }
    process->Terminate();
}

uint32_t CurrentProcessId() {
    return tProcessId != 0 ? tProcessId : static_cast<uint32_t>(getpid());
}

std::shared_ptr<PROCESS> CurrentProcess() {
    return LookupProcess(CurrentProcessId());
}

void SetCloseRoutine(ObjectType type, CloseRoutine routine) {
    Table().closeRoutines[static_cast<size_t>(type)].store(routine);
}

void RunCloseRoutine(const HANDLE_ENTRY& entry) {
    if (entry.object == nullptr) {
        return;
    }
    CloseRoutine routine = Table().closeRoutines[static_cast<size_t>(entry.type)].load();
    if (routine != nullptr) {
        routine(entry);
    }
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, uint32_t desiredAccess, ObjectType type,
                                   std::shared_ptr<void>* object) {
    auto process = CurrentProcess();
    if (process && process->Remote() != nullptr) {
        // Never cached: the other process may close the handle and reuse its value.
        return process->Remote()->ImportHandle(handle, desiredAccess, type, object);
    }
    HANDLE_ENTRY entry;
    if (!process || !process->LookupHandle(handle, &entry)) {
        return STATUS_INVALID_HANDLE;
    }
    if (entry.type != type) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if ((entry.access & desiredAccess) != desiredAccess) {
        return STATUS_ACCESS_DENIED;
    }
    *object = entry.object;
    return STATUS_SUCCESS;
}

uint32_t RequestorThreadId() {
    return tRequestorThread != 0 ? tRequestorThread : CurrentThreadId();
}

ScopedRequestorThread::ScopedRequestorThread(uint32_t threadId) : previous_(tRequestorThread) {
    tRequestorThread = threadId;
}

ScopedRequestorThread::~ScopedRequestorThread() {
    tRequestorThread = previous_;
}

ScopedProcessContext::ScopedProcessContext(uint32_t processId) : previous_(tProcessId) {
    tProcessId = processId;
}

ScopedProcessContext::~ScopedProcessContext() {
    tProcessId = previous_;
}

}  // namespace os
