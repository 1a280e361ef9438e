#include "driver/platform/system_thread.h"

#include <algorithm>
#include <vector>

#include "os/kernel/pool.h"

namespace wexo::drv {
namespace {

std::atomic<int> gFailuresToSkip{0};
std::atomic<int> gFailuresLeft{0};

bool CreationShouldFail() {
    if (gFailuresLeft.load() <= 0) {
        return false;
    }
    if (gFailuresToSkip.load() > 0) {
        --gFailuresToSkip;
        return false;
    }
    return --gFailuresLeft >= 0;
}

constexpr uint32_t kWaitBlockTag = os::MakePoolTag("STwb");
constexpr size_t kMaxBatch = os::MAXIMUM_WAIT_OBJECTS;
constexpr size_t kStackBatch = 3;

}  // namespace

os::NTSTATUS SystemThreadStart(SystemThread* record, os::Event* stopEvent,
                               SystemThreadRoutine routine, uintptr_t context) {
    record->stopEvent = stopEvent != nullptr ? stopEvent : &record->ownEvent;
    record->context = context;
    record->stopRequested = false;
    if (CreationShouldFail()) {
        record->thread.reset();
        record->stopEvent = nullptr;
        return os::STATUS_INSUFFICIENT_RESOURCES;
    }
    record->thread = os::Thread::Start([record, routine] { routine(record); });
    record->threadId = record->thread->Id();
    return os::STATUS_SUCCESS;
}

bool SystemThreadStopAll(os::Event* sharedStopEvent, SystemThread* first, SystemThread* end,
                         uint32_t timeoutSeconds) {
    if (sharedStopEvent != nullptr) {
        sharedStopEvent->Set();
    } else {
        for (SystemThread* record = first; record != end; ++record) {
            if (record->stopEvent != nullptr) {
                record->stopEvent->Set();
            }
        }
    }
    std::vector<SystemThread*> running;
    for (SystemThread* record = first; record != end; ++record) {
        if (record->thread) {
            running.push_back(record);
        }
    }
    // The wait list of a batch above three threads comes from pool; without it, batches of three.
    os::DispatcherObject* onStack[kStackBatch];
    size_t batch = std::min(kMaxBatch, running.size());
    os::DispatcherObject** waitList = onStack;
    bool pooled = false;
    if (batch > kStackBatch) {
        waitList = static_cast<os::DispatcherObject**>(os::ExAllocatePoolWithTag(
            os::PoolType::NonPaged, batch * sizeof(os::DispatcherObject*), kWaitBlockTag));
        pooled = waitList != nullptr;
        if (!pooled) {
            waitList = onStack;
            batch = kStackBatch;
        }
    }
    bool allEnded = true;
    for (size_t start = 0; start < running.size(); start += batch) {
        size_t count = std::min(batch, running.size() - start);
        for (size_t i = 0; i < count; ++i) {
            waitList[i] = running[start + i]->thread.get();
        }
        uint32_t result =
            os::WaitForMultipleObjects(std::span(waitList, count), true, timeoutSeconds * 1000);
        allEnded = allEnded && result == os::WAIT_OBJECT_0;
    }
    if (pooled) {
        os::ExFreePoolWithTag(waitList, kWaitBlockTag);
    }
    // The references go; a thread still running keeps its own and ends on its own.
    for (SystemThread* record : running) {
        record->thread.reset();
    }
    return allEnded;
}

bool SystemThreadWait(SystemThread* record, uint32_t milliseconds) {
    return os::WaitForSingleObject(*record->stopEvent, milliseconds) == os::WAIT_OBJECT_0;
}

ScopedSystemThreadFailure::ScopedSystemThreadFailure(int failures, int skip) {
    gFailuresToSkip = skip;
    gFailuresLeft = failures;
}

ScopedSystemThreadFailure::~ScopedSystemThreadFailure() {
    gFailuresLeft = 0;
    gFailuresToSkip = 0;
}

}  // namespace wexo::drv
