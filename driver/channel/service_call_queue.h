// The driver's side of the inverted call: driver threads submit service calls and block; service
// threads fetch them with QRN_SC_INPUT and answer with QRN_SC_OUTPUT. Owns the pending queue, the
// slot table of calls in progress, the 240-second limit with the heartbeat and standby rules, and
// the copying of request and answer blocks.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <span>

#include "common/records.h"
#include "common/service_calls.h"
#include "driver/channel/block_copy.h"
#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/kernel/caller_memory.h"
#include "os/kernel/pool.h"

namespace wexo::drv {

enum class CallState : uint32_t {
    New = 0,
    Queued = 1,
    InProgress = 2,
    Answered = 3,
    TimedOut = 4,
    Cancelled = 5,
    Failed = 6,
};

// What a submitter asks: the request record (kernel memory) and how its block and the answer's
// block are laid out.
struct SERVICE_CALL_REQUEST {
    uint32_t code = 0;
    uint32_t limitSeconds = kServiceCallTimeoutSeconds;
    const void* record = nullptr;
    uint32_t recordSize = 0;
    std::span<const BLOCK_DESCRIPTOR> requestParts;
    uint32_t answerRecordSize = 0;
    std::span<const BLOCK_DESCRIPTOR> answerParts;
    // Receives the kernel copy of the answer block (the buffer below, or pool the caller frees with
    // FreeAnswer), its size, and the status the service sent.
    void** answerOut = nullptr;
    uint32_t* answerSizeOut = nullptr;
    void* answerBuffer = nullptr;
    uint32_t answerBufferSize = 0;
    int32_t* statusOut = nullptr;
};

class SERVICE_CALL_QUEUE {
  public:
    static constexpr uint32_t kInitialSlots = 500;
    static constexpr uint32_t kSlotGrowth = 250;
    static constexpr uint32_t kWaitRoundSeconds = 10;
    static constexpr uint64_t kHeartbeatFreshMs = 4000;
    // The largest answer block the driver copies; anything larger is refused.
    static constexpr uint32_t kMaxAnswerBlock = 1024 * 1024;
    static constexpr uint32_t kCallTag = os::MakePoolTag("SCal");
    static constexpr uint32_t kSlotTag = os::MakePoolTag("SCsl");
    static constexpr uint32_t kAnswerTag = os::MakePoolTag("SCan");

    SERVICE_CALL_QUEUE();
    ~SERVICE_CALL_QUEUE();
    SERVICE_CALL_QUEUE(const SERVICE_CALL_QUEUE&) = delete;
    SERVICE_CALL_QUEUE& operator=(const SERVICE_CALL_QUEUE&) = delete;

    // Initialise at driver load: false when the slot table cannot be allocated.
    bool Initialise();
    // Fail all, then wait up to 10 seconds for the last waiter to leave.
    void ShutDown();

    // Blocks until the call ends; returns the final state as the driver's callers see it.
    CallResult Submit(const SERVICE_CALL_REQUEST& request);
    // Frees an answer copy that is not the submitter's own buffer.
    static void FreeAnswer(const SERVICE_CALL_REQUEST& request, void* answer);

    // Handlers behind the service-call control codes.
    void Attach(std::shared_ptr<os::Event> inputEvent);
    void Detach();
    // Takes the oldest queued call, writes its block and the result variables named by the input
    // record into the caller. Result variables or a buffer the caller cannot write leave the call
    // queued (STATUS_INVALID_PARAMETER).
    os::NTSTATUS FetchNext(const os::CallerMemory& caller, const SC_INPUT_REQUEST& input);
    os::NTSTATUS Answer(const os::CallerMemory& caller, uint64_t handle, uint64_t answer,
                        uint32_t answerSize, int32_t status);
    os::NTSTATUS Extend(uint64_t handle);
    void SetStandby(bool standby);
    // The standby flag: set while the machine sleeps (the DNS-remap resolver then stays idle).
    bool Standby() const;
    void Heartbeat();

    // For tests and diagnostics.
    bool IsServiceActive() const;
    uint32_t SlotTableSize() const;
    uint32_t InFlight() const { return inFlight_.load(); }
    os::Event& IdleEvent() { return idle_; }
    void SetNextSequenceForTest(uint32_t next) { sequence_.store(next - 1); }

  private:
    struct SERVICE_CALL;

    uint32_t NextSequence();
    bool TakeSlotLocked(SERVICE_CALL* call);
    void ReleaseSlotLocked(SERVICE_CALL* call);
    SERVICE_CALL* FindInProgressLocked(uint64_t handle);
    void FailAllLocked();
    void SignalLocked(SERVICE_CALL* call, CallState state);
    bool ReadAnswerLocked(const os::CallerMemory& caller, SERVICE_CALL* call, uint64_t answer,
                          uint32_t answerSize);
    CallState WaitForEnd(SERVICE_CALL* call);
    void Release(SERVICE_CALL* call);

    mutable os::FastMutex lock_;
    std::list<SERVICE_CALL*> pending_;
    // Entries are calls in progress, or free-list links encoded as odd values.
    uintptr_t* slots_ = nullptr;
    uint32_t slotCount_ = 0;
    uintptr_t freeHead_ = 1;
    std::atomic<uint32_t> sequence_{0};
    std::atomic<uint32_t> inFlight_{0};
    os::Event idle_{os::EventType::Notification, true};
    bool active_ = false;
    bool standby_ = false;
    uint64_t lastHeartbeat_ = 0;
    std::shared_ptr<os::Event> inputEvent_;
    std::unique_ptr<os::LookasideList> calls_;
};

}  // namespace wexo::drv
