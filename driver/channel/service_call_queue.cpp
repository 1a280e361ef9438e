#include "driver/channel/service_call_queue.h"

#include <new>

#include "os/core/clock.h"

namespace wexo::drv {

struct SERVICE_CALL_QUEUE::SERVICE_CALL {
    os::Event done{os::EventType::Synchronization, false};
    std::list<SERVICE_CALL*>::iterator link;
    bool linked = false;
    int32_t slot = -1;
    uint32_t sequence = 0;
    uint32_t code = 0;
    CallState state = CallState::New;
    uint32_t elapsed = 0;
    uint32_t limit = 0;
    const SERVICE_CALL_REQUEST* request = nullptr;
};

namespace {

constexpr uintptr_t EncodeFree(uint32_t nextIndexPlusOne) {
    return (static_cast<uintptr_t>(nextIndexPlusOne) << 1) | 1;
}
constexpr bool IsFree(uintptr_t entry) {
    return (entry & 1) != 0;
}
constexpr uint32_t FreeNext(uintptr_t entry) {
    return static_cast<uint32_t>(entry >> 1);
}

// A request block larger than this is refused rather than committed in the service.
constexpr uint32_t kMaxRequestBlock = 16 * 1024 * 1024;

}  // namespace

SERVICE_CALL_QUEUE::SERVICE_CALL_QUEUE() = default;

SERVICE_CALL_QUEUE::~SERVICE_CALL_QUEUE() {
    if (slots_ != nullptr) {
        os::ExFreePoolWithTag(slots_, kSlotTag);
    }
}

bool SERVICE_CALL_QUEUE::Initialise() {
    calls_ = std::make_unique<os::LookasideList>(os::PoolType::Paged, sizeof(SERVICE_CALL),
                                                 kCallTag, 64);
    auto* table = static_cast<uintptr_t*>(os::ExAllocatePoolWithTag(
        os::PoolType::Paged, kInitialSlots * sizeof(uintptr_t), kSlotTag));
    if (table == nullptr) {
        return false;
    }
    for (uint32_t i = 0; i < kInitialSlots; ++i) {
        table[i] = EncodeFree(i + 1 < kInitialSlots ? i + 2 : 0);
    }
    std::lock_guard guard(lock_);
    slots_ = table;
    slotCount_ = kInitialSlots;
    freeHead_ = EncodeFree(1);
    return true;
}

void SERVICE_CALL_QUEUE::ShutDown() {
    {
        std::lock_guard guard(lock_);
        FailAllLocked();
    }
    os::WaitForSingleObject(idle_, 10'000);
    std::lock_guard guard(lock_);
    if (slots_ != nullptr && inFlight_.load() == 0) {
        os::ExFreePoolWithTag(slots_, kSlotTag);
        slots_ = nullptr;
        slotCount_ = 0;
        freeHead_ = EncodeFree(0);
    }
}

uint32_t SERVICE_CALL_QUEUE::NextSequence() {
    uint32_t sequence;
    do {
        sequence = sequence_.fetch_add(1) + 1;
    } while (sequence == 0);
    return sequence;
}

CallResult SERVICE_CALL_QUEUE::Submit(const SERVICE_CALL_REQUEST& request) {
    {
        std::lock_guard guard(lock_);
        if (!inputEvent_ || !active_ || !calls_) {
            return CallResult::ServiceUnavailable;
        }
    }
    void* memory = calls_->Allocate();
    if (memory == nullptr) {
        return CallResult::ServiceUnavailable;
    }
    auto* call = new (memory) SERVICE_CALL();
    call->sequence = NextSequence();
    call->code = request.code;
    call->limit = request.limitSeconds;
    call->request = &request;
    if (request.answerOut != nullptr) {
        *request.answerOut = nullptr;
    }
    if (request.answerSizeOut != nullptr) {
        *request.answerSizeOut = 0;
    }

    std::shared_ptr<os::Event> input;
    {
        std::lock_guard guard(lock_);
        if (!inputEvent_) {
            call->~SERVICE_CALL();
            calls_->Free(call);
            return CallResult::Failed;
        }
        idle_.Reset();
        inFlight_.fetch_add(1);
        call->state = CallState::Queued;
        call->link = pending_.insert(pending_.end(), call);
        call->linked = true;
        input = inputEvent_;
    }
    // Set once the lock is free: a worker woken by it fetches at once, and would otherwise wait
    // for this thread to let the lock go first. The call is queued before, so its fetch finds it.
    input->Set();
    CallState final = WaitForEnd(call);
    Release(call);
    return static_cast<CallResult>(final);
}

CallState SERVICE_CALL_QUEUE::WaitForEnd(SERVICE_CALL* call) {
    const int64_t round = -static_cast<int64_t>(kWaitRoundSeconds * os::kTicksPerSecond);
    for (;;) {
        int32_t result = os::KeWaitForSingleObject(call->done, &round);
        std::unique_lock guard(lock_);
        if (result == os::STATUS_WAIT_0) {
            return call->state;
        }
        if (result != os::STATUS_TIMEOUT) {
            if (call->state < CallState::Answered) {
                call->state = CallState::Failed;
            }
            return call->state;
        }
        if (call->state >= CallState::Answered) {
            // Ended by another thread, whose set of `done` is on its way (an answer sets it
            // after letting the lock go): the call is not left before it came.
            continue;
        }
        // The limit only runs while the service shows signs of life and the machine is awake.
        uint64_t now = os::QuerySystemTime();
        bool stale = lastHeartbeat_ != 0 &&
                     now - lastHeartbeat_ > kHeartbeatFreshMs * os::kTicksPerMillisecond;
        if (stale || standby_) {
            continue;
        }
        call->elapsed += kWaitRoundSeconds;
        if (call->elapsed > call->limit) {
            call->state = CallState::TimedOut;
            FailAllLocked();
            return CallState::TimedOut;
        }
    }
}

void SERVICE_CALL_QUEUE::Release(SERVICE_CALL* call) {
    {
        std::lock_guard guard(lock_);
        if (call->linked) {
            pending_.erase(call->link);
            call->linked = false;
        }
        ReleaseSlotLocked(call);
    }
    call->~SERVICE_CALL();
    calls_->Free(call);
    if (inFlight_.fetch_sub(1) == 1) {
        idle_.Set();
    }
}

void SERVICE_CALL_QUEUE::FreeAnswer(const SERVICE_CALL_REQUEST& request, void* answer) {
    if (answer != nullptr && answer != request.answerBuffer) {
        os::ExFreePoolWithTag(answer, kAnswerTag);
    }
}

bool SERVICE_CALL_QUEUE::TakeSlotLocked(SERVICE_CALL* call) {
    if (slots_ == nullptr) {
        return false;
    }
    if (FreeNext(freeHead_) == 0) {
        uint32_t newCount = slotCount_ + kSlotGrowth;
        auto* grown = static_cast<uintptr_t*>(
            os::ExAllocatePoolWithTag(os::PoolType::Paged, newCount * sizeof(uintptr_t), kSlotTag));
        if (grown == nullptr) {
            return false;
        }
        // Calls in progress keep their slot numbers; only new entries join the free list.
        for (uint32_t i = 0; i < slotCount_; ++i) {
            grown[i] = slots_[i];
        }
        for (uint32_t i = slotCount_; i < newCount; ++i) {
            grown[i] = EncodeFree(i + 1 < newCount ? i + 2 : 0);
        }
        os::ExFreePoolWithTag(slots_, kSlotTag);
        freeHead_ = EncodeFree(slotCount_ + 1);
        slots_ = grown;
        slotCount_ = newCount;
    }
    uint32_t index = FreeNext(freeHead_) - 1;
    freeHead_ = slots_[index];
    slots_[index] = reinterpret_cast<uintptr_t>(call);
    call->slot = static_cast<int32_t>(index);
    return true;
}

void SERVICE_CALL_QUEUE::ReleaseSlotLocked(SERVICE_CALL* call) {
    if (call->slot < 0 || slots_ == nullptr) {
        call->slot = -1;
        return;
    }
    uint32_t index = static_cast<uint32_t>(call->slot);
    slots_[index] = freeHead_;
    freeHead_ = EncodeFree(index + 1);
    call->slot = -1;
}

SERVICE_CALL_QUEUE::SERVICE_CALL* SERVICE_CALL_QUEUE::FindInProgressLocked(uint64_t handle) {
    uint32_t index = CallHandleSlot(handle);
    if (slots_ == nullptr || index >= slotCount_ || IsFree(slots_[index])) {
        return nullptr;
    }
    auto* call = reinterpret_cast<SERVICE_CALL*>(slots_[index]);
    // A call already cancelled or timed out keeps its slot until its waiter leaves; it can no
    // longer be answered.
    if (call->sequence != CallHandleSequence(handle) || call->state != CallState::InProgress) {
        return nullptr;
    }
    return call;
}

void SERVICE_CALL_QUEUE::SignalLocked(SERVICE_CALL* call, CallState state) {
    call->state = state;
    call->done.Set();
}

void SERVICE_CALL_QUEUE::FailAllLocked() {
    active_ = false;
    for (SERVICE_CALL* call : pending_) {
        call->linked = false;
        if (call->state != CallState::Cancelled) {
            SignalLocked(call, CallState::Cancelled);
        }
    }
    pending_.clear();
    for (uint32_t i = 0; slots_ != nullptr && i < slotCount_; ++i) {
        if (IsFree(slots_[i])) {
            continue;
        }
        auto* call = reinterpret_cast<SERVICE_CALL*>(slots_[i]);
        if (call->state != CallState::Cancelled && call->state < CallState::Answered) {
            SignalLocked(call, CallState::Cancelled);
        }
    }
}

void SERVICE_CALL_QUEUE::Attach(std::shared_ptr<os::Event> inputEvent) {
    std::lock_guard guard(lock_);
    FailAllLocked();
    inputEvent_ = std::move(inputEvent);
    active_ = true;
    // A standby the previous service never ended is not this one's.
    standby_ = false;
    lastHeartbeat_ = os::QuerySystemTime();
}

void SERVICE_CALL_QUEUE::Detach() {
    std::lock_guard guard(lock_);
    inputEvent_.reset();
    FailAllLocked();
    lastHeartbeat_ = 0;
}

os::NTSTATUS SERVICE_CALL_QUEUE::FetchNext(const os::CallerMemory& caller,
                                           const SC_INPUT_REQUEST& input) {
    // A call taken off the queue and then not handed over would be lost: make sure first that
    // everything the fetch writes can be written.
    bool writable = caller.ProbeForWrite(input.callHandleOut, sizeof(uint64_t)) &&
                    caller.ProbeForWrite(input.codeOut, sizeof(uint32_t)) &&
                    caller.ProbeForWrite(input.timeoutOut, sizeof(uint32_t)) &&
                    caller.ProbeForWrite(input.requestSizeOut, sizeof(uint32_t)) &&
                    caller.ProbeForWrite(input.requestAddressOut, sizeof(uint64_t)) &&
                    caller.ProbeForWrite(input.buffer, input.bufferSize);
    if (!writable) {
        return os::STATUS_INVALID_PARAMETER;
    }
    std::lock_guard guard(lock_);
    if (pending_.empty()) {
        return os::STATUS_NOT_FOUND;
    }
    SERVICE_CALL* call = pending_.front();
    pending_.pop_front();
    call->linked = false;
    if (!TakeSlotLocked(call)) {
        call->slot = -1;
        SignalLocked(call, CallState::Failed);
        return os::STATUS_NO_MEMORY;
    }

    const SERVICE_CALL_REQUEST& request = *call->request;
    CallerBlockMemory callerMemory(caller);
    KernelMemory kernel;
    BLOCK_RESULT block;
    auto commit = [&caller](size_t size) { return caller.Commit(size); };
    auto release = [&caller](uint64_t address) { caller.Process().ReleaseRegion(address); };
    bool built = CopyBlock(kernel, reinterpret_cast<uint64_t>(request.record), request.recordSize,
                           callerMemory, input.buffer, input.bufferSize, commit, release,
                           request.requestParts, kMaxRequestBlock, &block);
    uint64_t handle = MakeCallHandle(static_cast<uint32_t>(call->slot), call->sequence);
    const os::CallerMemory::WRITE results[] = {
        {input.requestAddressOut, &block.address, sizeof block.address},
        {input.requestSizeOut, &block.size, sizeof block.size},
        {input.callHandleOut, &handle, sizeof handle},
        {input.codeOut, &call->code, sizeof call->code},
        {input.timeoutOut, &call->limit, sizeof call->limit},
    };
    if (!built) {
        ReleaseSlotLocked(call);
        SignalLocked(call, CallState::Failed);
        return os::STATUS_UNSUCCESSFUL;
    }
    if (!caller.WriteAll(results)) {
        // The service's memory changed under the probe. The call goes back to the head of the
        // queue for the next fetch, which finds it as if this one had never come.
        if (block.allocated) {
            release(block.address);
        }
        ReleaseSlotLocked(call);
        call->link = pending_.insert(pending_.begin(), call);
        call->linked = true;
        return os::STATUS_INVALID_PARAMETER;
    }
    // Its submitter is not woken for this: only the call's end concerns it.
    call->state = CallState::InProgress;
    return os::STATUS_SUCCESS;
}

bool SERVICE_CALL_QUEUE::ReadAnswerLocked(const os::CallerMemory& caller, SERVICE_CALL* call,
                                          uint64_t answer, uint32_t answerSize) {
    const SERVICE_CALL_REQUEST& request = *call->request;
    // The copy reads the fixed fields at their offsets: a shorter record is refused.
    if (answer == 0 || answerSize < request.answerRecordSize) {
        return false;
    }
    CallerBlockMemory callerMemory(caller);
    KernelMemory kernel;
    BLOCK_RESULT block;
    auto allocate = [](size_t size) {
        return reinterpret_cast<uint64_t>(
            os::ExAllocatePoolWithTag(os::PoolType::Paged, size, kAnswerTag));
    };
    auto release = [](uint64_t address) {
        os::ExFreePoolWithTag(reinterpret_cast<void*>(address), kAnswerTag);
    };
    if (!CopyBlock(callerMemory, answer, request.answerRecordSize, kernel,
                   reinterpret_cast<uint64_t>(request.answerBuffer), request.answerBufferSize,
                   allocate, release, request.answerParts, kMaxAnswerBlock, &block)) {
        return false;
    }
    if (request.answerOut != nullptr) {
        *request.answerOut = reinterpret_cast<void*>(block.address);
    } else if (block.allocated) {
        release(block.address);
    }
    if (request.answerSizeOut != nullptr) {
        *request.answerSizeOut = block.size;
    }
    return true;
}

os::NTSTATUS SERVICE_CALL_QUEUE::Answer(const os::CallerMemory& caller, uint64_t handle,
                                        uint64_t answer, uint32_t answerSize, int32_t status) {
    SERVICE_CALL* call = nullptr;
    bool read = true;
    {
        std::lock_guard guard(lock_);
        call = FindInProgressLocked(handle);
        if (call == nullptr) {
            return os::STATUS_NOT_FOUND;
        }
        ReleaseSlotLocked(call);
        if (call->request->statusOut != nullptr) {
            *call->request->statusOut = status;
        }
        read = status != 0 || ReadAnswerLocked(caller, call, answer, answerSize);
        call->state = read ? CallState::Answered : CallState::Failed;
    }
    // The submitter is woken once the lock is free, so that it does not wake only to wait for
    // it. It leaves the call only after this set (WaitForEnd), so the call is still there.
    call->done.Set();
    return read ? os::STATUS_SUCCESS : os::STATUS_UNSUCCESSFUL;
}

os::NTSTATUS SERVICE_CALL_QUEUE::Extend(uint64_t handle) {
    std::lock_guard guard(lock_);
    SERVICE_CALL* call = FindInProgressLocked(handle);
    if (call == nullptr) {
        return os::STATUS_NOT_FOUND;
    }
    call->elapsed = 0;
    return os::STATUS_SUCCESS;
}

void SERVICE_CALL_QUEUE::SetStandby(bool standby) {
    std::lock_guard guard(lock_);
    standby_ = standby;
}

bool SERVICE_CALL_QUEUE::Standby() const {
    std::lock_guard guard(lock_);
    return standby_;
}

void SERVICE_CALL_QUEUE::Heartbeat() {
    std::lock_guard guard(lock_);
    lastHeartbeat_ = os::QuerySystemTime();
}

bool SERVICE_CALL_QUEUE::IsServiceActive() const {
    std::lock_guard guard(lock_);
    return active_ && inputEvent_ != nullptr;
}

uint32_t SERVICE_CALL_QUEUE::SlotTableSize() const {
    std::lock_guard guard(lock_);
    return slotCount_;
}

}  // namespace wexo::drv
