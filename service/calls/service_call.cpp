#include "service/calls/service_call.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <thread>
#include <vector>

#include "common/control_codes.h"
#include "common/records.h"
#include "os/core/status.h"
#include "os/win32/handles.h"
#include "os/win32/heap.h"
#include "service/calls/dns_resolution.h"
#include "service/calls/register_service.h"
#include "service/policy/policy_lookup.h"
#include "service/support/debug_log.h"
#include "service/support/string_no_memory.h"

namespace wexo::svc {
namespace {

// The name of the worker running on this thread, for the lines written below the helper.
thread_local const char* tWorkerName = SERVICE_CALL_CHANNEL::kDefaultThreadName;

unsigned long Ul(uint64_t value) {
    return static_cast<unsigned long>(value);
}

}  // namespace

STANDARD_EXCEPTION STANDARD_EXCEPTION::FromCurrent() {
    try {
        throw;
    } catch (const STANDARD_EXCEPTION& e) {
        return e;
    } catch (const STRING_NO_MEMORY& e) {
        return STANDARD_EXCEPTION(kNoMemoryCode, e.what());
    } catch (const std::bad_alloc& e) {
        return STANDARD_EXCEPTION(kNoMemoryCode, e.what());
    } catch (const std::exception& e) {
        return STANDARD_EXCEPTION(kCppExceptionCode, e.what());
    } catch (...) {
        return STANDARD_EXCEPTION(kCppExceptionCode, "Exception of an unknown type");
    }
}

void SERVICE_CALL::Complete(const void* answer, uint32_t answerSize, int32_t status) {
    if (completed_.exchange(true)) {
        DebugPrint("ServiceCallComplete: SC#%lu, Code=%d, already completed", Ul(Sequence()),
                   static_cast<int>(code_));
        return;
    }
    sink_.Complete(*this, answer, answerSize, status);
}

std::shared_ptr<SERVICE_CALL_CHANNEL> SERVICE_CALL_CHANNEL::Create() {
    return std::shared_ptr<SERVICE_CALL_CHANNEL>(new SERVICE_CALL_CHANNEL());
}

SERVICE_CALL_CHANNEL::~SERVICE_CALL_CHANNEL() = default;

os::HANDLE SERVICE_CALL_CHANNEL::ServiceCallInitialize(os::HANDLE device,
                                                       SERVICE_CALL_DISPATCHER dispatcher) {
    if (initialized_) {
        return 0;
    }
    processId_ = os::CurrentProcessId();
    device_ = device;
    dispatcher_ = std::move(dispatcher);
    stopFlag_ = false;
    try {
        stop_ = std::make_shared<os::Event>(os::EventType::Notification, false);
    } catch (const std::bad_alloc&) {
        DebugPrint("Create service call stop event failed. %s. Error code = %lu.",
                   os::SystemMessageText(os::ERROR_NOT_ENOUGH_MEMORY).c_str(),
                   Ul(os::ERROR_NOT_ENOUGH_MEMORY));
        return 0;
    }
    inputHandle_ = os::CreateEventA(false, false);
    if (inputHandle_ == 0 ||
        !os::NT_SUCCESS(os::ReferenceByHandle(inputHandle_, os::EVENT_MODIFY_STATE,
                                              os::ObjectType::Event, &input_))) {
        uint32_t error = inputHandle_ == 0 ? os::GetLastError() : os::ERROR_INVALID_HANDLE;
        DebugPrint("Create service call input event failed. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), Ul(error));
        if (inputHandle_ != 0) {
            os::CloseHandle(inputHandle_);
        }
        inputHandle_ = 0;
        stop_.reset();
        return 0;
    }
    try {
        std::weak_ptr<SERVICE_CALL_CHANNEL> weak = weak_from_this();
        std::shared_ptr<SERVICE_CALL_CHANNEL> self = weak.lock();
        if (!self) {
            throw std::logic_error("The channel must be made with Create");
        }
        heartbeat_ =
            os::Thread::Start([self] { self->HeartbeatThread(); }, "Service call heartbeat");
    } catch (const std::exception& e) {
        DebugPrint("Unable to start the service call heartbeat thread. %s", e.what());
        os::CloseHandle(inputHandle_);
        inputHandle_ = 0;
        input_.reset();
        stop_.reset();
        return 0;
    }
    initialized_ = true;
    return inputHandle_;
}

uint32_t SERVICE_CALL_CHANNEL::ServiceCallThread(const char* name) {
    liveWorkers_.fetch_add(1);
    uint32_t result = ServiceCallThreadHelper(name);
    liveWorkers_.fetch_sub(1);
    return result;
}

uint32_t SERVICE_CALL_CHANNEL::ServiceCallThreadHelper(const char* name) {
    if (name == nullptr) {
        name = kDefaultThreadName;
    }
    tWorkerName = name;
    DebugPrint("ServiceCallThreadHelper: %s started", name);
    // No COM here: the handlers of this service need no apartment.
    alignas(8) uint8_t buffer[kServiceRequestBufferSize];
    uint32_t result = 0;
    os::DispatcherObject* objects[] = {input_.get(), stop_.get()};
    for (;;) {
        uint32_t wait = os::WaitForMultipleObjects(objects, false, os::INFINITE);
        if (stopFlag_) {
            break;
        }
        if (wait == os::WAIT_OBJECT_0) {
            if (!ServiceCallInput(buffer)) {
                break;
            }
            continue;
        }
        if (wait == os::WAIT_OBJECT_0 + 1) {
            DebugPrint("ServiceCallThreadHelper: %s Stop signaled", name);
            break;
        }
        if (wait == os::WAIT_FAILED) {
            uint32_t error = os::GetLastError();
            DebugPrint("ServiceCallThreadHelper: %s Wait failed. %s. Error code = %lu.", name,
                       os::SystemMessageText(error).c_str(), Ul(error));
        } else {
            DebugPrint("ServiceCallThreadHelper: %s Unexpected wait result = %lu", name, Ul(wait));
        }
        result = 1;
        break;
    }
    DebugPrint("%s stopped", name);
    tWorkerName = kDefaultThreadName;
    return result;
}

bool SERVICE_CALL_CHANNEL::ServiceCallInput(std::span<uint8_t> buffer) {
    while (!stopFlag_) {
        SC_INPUT_RESULTS results;
        SC_INPUT_REQUEST request =
            MakeScInputRequest(results, buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (!Control(QRN_SC_INPUT, &request, sizeof request)) {
            uint32_t error = os::GetLastError();
            if (error != os::ERROR_NOT_FOUND) {
                DebugPrint("ServiceCallInput: DeviceIoControl error. %s. Error code = %lu.",
                           os::SystemMessageText(error).c_str(), Ul(error));
                DebugPrint("ServiceCallThreadHelper: Unable to get service call input. Error = %lu",
                           Ul(error));
            }
            return true;
        }
        Handle(results.callHandle, results.code, results.requestAddress, results.requestSize,
               buffer);
    }
    return false;
}

void SERVICE_CALL_CHANNEL::Handle(uint64_t handle, uint32_t code, uint64_t address, uint32_t size,
                                  std::span<uint8_t> buffer) {
    const uint32_t sequence = CallHandleSequence(handle);
    const uint64_t own = reinterpret_cast<uint64_t>(buffer.data());
    const bool inOwnBuffer = address >= own && address < own + buffer.size();
    // The region goes back whatever the handler does.
    struct REGION_GUARD {
        SERVICE_CALL_CHANNEL* channel;
        uint64_t address;
        uint32_t sequence;
        ~REGION_GUARD() {
            if (address != 0) {
                channel->ReleaseRegion(address, sequence);
            }
        }
    } region{this, inOwnBuffer ? 0 : address, sequence};

    void* record = os::HeapAlloc(sizeof(SERVICE_CALL));
    if (record == nullptr) {
        ServiceCallOutput(handle, nullptr, 0, SC_STATUS_NO_MEMORY);
        return;
    }
    std::unique_ptr<SERVICE_CALL, CALL_RECORD_DELETER> call(
        new (record) SERVICE_CALL(*this, handle, code), CALL_RECORD_DELETER{this});
    Link(*call);

    // A block said to be in our buffer cannot be larger than the buffer.
    if ((inOwnBuffer && size > own + buffer.size() - address) || address == 0) {
        DebugPrint(
            "ServiceCallThreadHelper: %s SC#%lu, Code=%d, request block of %lu bytes at "
            "%#llx does not fit its buffer",
            tWorkerName, Ul(sequence), static_cast<int>(code), Ul(size),
            static_cast<unsigned long long>(address));
        call->Complete(nullptr, 0, SC_STATUS_BAD_REQUEST);
        return;
    }

    bool handled = false;
    try {
        handled = dispatcher_ &&
                  dispatcher_(code, *call, reinterpret_cast<const uint8_t*>(address), size);
    } catch (...) {
        STANDARD_EXCEPTION e = STANDARD_EXCEPTION::FromCurrent();
        DebugPrint(
            "ServiceCallThreadHelper: %s SC#%lu, Code=%d, STANDARD_EXCEPTION code = "
            "%#lx,\n    %s",
            tWorkerName, Ul(sequence), static_cast<int>(code), Ul(e.Code()),
            e.Information().c_str());
        if (!call->Completed()) {
            call->Complete(nullptr, 0,
                           e.Code() == STANDARD_EXCEPTION::kNoMemoryCode ? SC_STATUS_NO_MEMORY
                                                                         : SC_STATUS_HANDLER_FAULT);
        }
        return;
    }
    if (!handled) {
        DebugPrint("ServiceCallThreadHelper: SC#%lu, Code=%d, not handled", Ul(sequence),
                   static_cast<int>(code));
        call->Complete(nullptr, 0, SC_STATUS_NO_HANDLER);
        return;
    }
    if (!call->Completed()) {
        DebugPrint("ServiceCallThreadHelper: %s SC#%lu, Code=%d, not completed by its handler",
                   tWorkerName, Ul(sequence), static_cast<int>(code));
        call->Complete(nullptr, 0, SC_STATUS_HANDLER_FAULT);
    }
}

void SERVICE_CALL_CHANNEL::ReleaseRegion(uint64_t address, uint32_t sequence) {
    os::ScopedProcessContext context(processId_);
    if (!os::VirtualFree(reinterpret_cast<void*>(address))) {
        uint32_t error = os::GetLastError();
        DebugPrint(
            "ServiceCallInput: SC#%lu, Unable to release the request region. %s. Error "
            "code = %lu.",
            Ul(sequence), os::SystemMessageText(error).c_str(), Ul(error));
    }
}

uint32_t SERVICE_CALL_CHANNEL::ServiceCallOutput(uint64_t handle, const void* answer,
                                                 uint32_t answerSize, int32_t status) {
    SC_OUTPUT_REQUEST request{handle, reinterpret_cast<uint64_t>(answer), answerSize, status};
    if (Control(QRN_SC_OUTPUT, &request, sizeof request)) {
        return 0;
    }
    uint32_t error = os::GetLastError();
    if (error == os::ERROR_NOT_FOUND) {
        return 0;
    }
    DebugPrint("ServiceCallOutput: DeviceIoControl error. %s. Error code = %lu.",
               os::SystemMessageText(error).c_str(), Ul(error));
    return error;
}

void SERVICE_CALL_CHANNEL::Complete(SERVICE_CALL& call, const void* answer, uint32_t answerSize,
                                    int32_t status) {
    ServiceCallOutput(call.Handle(), answer, answerSize, status);
    Unlink(call);
}

size_t SERVICE_CALL_CHANNEL::OutstandingCalls() const {
    std::lock_guard guard(outstandingLock_);
    return outstandingCount_;
}

void SERVICE_CALL_CHANNEL::Link(SERVICE_CALL& call) {
    std::lock_guard guard(outstandingLock_);
    call.previous_ = nullptr;
    call.next_ = outstandingHead_;
    if (outstandingHead_ != nullptr) {
        outstandingHead_->previous_ = &call;
    }
    outstandingHead_ = &call;
    call.linked_ = true;
    ++outstandingCount_;
}

void SERVICE_CALL_CHANNEL::Unlink(SERVICE_CALL& call) {
    std::lock_guard guard(outstandingLock_);
    if (!call.linked_) {
        return;
    }
    if (call.previous_ != nullptr) {
        call.previous_->next_ = call.next_;
    } else {
        outstandingHead_ = call.next_;
    }
    if (call.next_ != nullptr) {
        call.next_->previous_ = call.previous_;
    }
    call.previous_ = call.next_ = nullptr;
    call.linked_ = false;
    --outstandingCount_;
}

void SERVICE_CALL_CHANNEL::CALL_RECORD_DELETER::operator()(SERVICE_CALL* call) const {
    // A record never outlives its place in the list, whatever path its call took.
    channel->Unlink(*call);
    call->~SERVICE_CALL();
    os::HeapFree(call);
}

bool SERVICE_CALL_CHANNEL::Control(uint32_t code, void* input, uint32_t inputLength) {
    os::ScopedProcessContext context(processId_);
    return os::DeviceIoControl(device_, code, input, inputLength, nullptr, 0, nullptr);
}

uint32_t SERVICE_CALL_CHANNEL::HeartbeatThread() {
    DebugPrint("ServiceCallHeartbeatThread: started");
    uint32_t result = 0;
    for (;;) {
        uint32_t wait = os::WaitForSingleObject(*stop_, kHeartbeatPeriodMs);
        if (wait == os::WAIT_TIMEOUT) {
            if (Control(QRN_SC_HEARTBEAT, nullptr, 0)) {
                DebugWrite(LINE_VERBOSE, "ServiceCallHeartbeat");
            } else {
                uint32_t error = os::GetLastError();
                DebugPrint("ServiceCallHeartbeat: DeviceIoControl error. %s. Error code = %lu.",
                           os::SystemMessageText(error).c_str(), Ul(error));
                // A host that ended fails the open's requests; one that started again no longer
                // knows the open. Either way nobody will ever signal the workers again.
                if (error == os::ERROR_DEV_NOT_EXIST || error == os::ERROR_INVALID_HANDLE) {
                    ReopenDevice();
                }
            }
            continue;
        }
        if (wait == os::WAIT_OBJECT_0) {
            DebugPrint("ServiceCallHeartbeatThread: Stop signaled");
        } else if (wait == os::WAIT_FAILED) {
            uint32_t error = os::GetLastError();
            DebugPrint("ServiceCallHeartbeatThread: Wait failed. %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), Ul(error));
            result = 1;
        } else {
            DebugPrint("ServiceCallHeartbeatThread: Unexpected heartbeat thread wait result = %lu",
                       Ul(wait));
            result = 1;
        }
        break;
    }
    DebugPrint("ServiceCallHeartbreatThread: stopped");
    return result;
}

bool SERVICE_CALL_CHANNEL::ReopenDevice() {
    DebugPrint("ServiceCallHeartbeat: The driver's device went away; opening it again");
    os::ScopedProcessContext context(processId_);
    uint32_t delay = kReopenFirstMs;
    for (uint32_t attempt = 1;; ++attempt) {
        os::HANDLE device = OpenControlDevice();
        if (device != os::INVALID_HANDLE_VALUE) {
            if (RegisterService(device, inputHandle_)) {
                std::lock_guard guard(reopenLock_);
                device_.store(device);
                if (reopened_ != 0) {
                    os::CloseHandle(reopened_);
                }
                reopened_ = device;
                DebugPrint(
                    "ServiceCallHeartbeat: Device opened again and service registered "
                    "(attempt %u)",
                    attempt);
                return true;
            }
            os::CloseHandle(device);
        }
        DebugPrint("ServiceCallHeartbeat: Device not opened (attempt %u); next attempt in %lu ms",
                   attempt, Ul(delay));
        if (os::WaitForSingleObject(*stop_, delay) != os::WAIT_TIMEOUT) {
            return false;
        }
        delay = std::min(delay * 2, kReopenMaxMs);
    }
}

bool SERVICE_CALL_CHANNEL::IsHeartbeatRunning() const {
    return heartbeat_ && !heartbeat_->HasEnded();
}

bool SERVICE_CALL_CHANNEL::ServiceCallStandby() {
    if (!Control(QRN_SC_STANDBY, nullptr, 0)) {
        uint32_t error = os::GetLastError();
        DebugPrint("ServiceCallStandby: DeviceIoControl error. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), Ul(error));
        return false;
    }
    DebugPrint("ServiceCallStandby");
    return true;
}

bool SERVICE_CALL_CHANNEL::ServiceCallResume() {
    if (!Control(QRN_SC_RESUME, nullptr, 0)) {
        uint32_t error = os::GetLastError();
        DebugPrint("ServiceCallResume: DeviceIoControl error. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), Ul(error));
        return false;
    }
    DebugPrint("ServiceCallResume");
    return true;
}

void SERVICE_CALL_CHANNEL::ServiceCallStop() {
    stopFlag_ = true;
    if (stop_) {
        stop_->Set();
    }
}

void SERVICE_CALL_CHANNEL::ServiceCallUninitialize() {
    if (!initialized_) {
        return;
    }
    ServiceCallStop();

    uint32_t wait = os::WaitForSingleObject(*heartbeat_, kHeartbeatStopWaitMs);
    if (wait == os::WAIT_OBJECT_0) {
        DebugPrint("ServiceCallUninitialize: Heartbeat thread stopped");
        heartbeat_->Join();
    } else {
        if (wait == os::WAIT_TIMEOUT) {
            DebugPrint("ServiceCallUninitialize: Heartbeat thread time-out after %lu seconds",
                       Ul(kHeartbeatStopWaitMs / 1000));
        } else if (wait == os::WAIT_FAILED) {
            uint32_t error = os::GetLastError();
            DebugPrint(
                "ServiceCallUninitialize: heartbeat thread wait failed. %s. Error code = "
                "%lu.",
                os::SystemMessageText(error).c_str(), Ul(error));
        } else {
            DebugPrint("ServiceCallUninitialize: Unexpected heartbeat thread wait result = %lu",
                       Ul(wait));
        }
        // Where Windows would terminate the thread it is left to end on its own: it holds the
        // channel alive and ends at its next wait, which includes the stop event.
    }
    heartbeat_.reset();

    for (uint32_t attempt = 1; liveWorkers_.load() > 0 && attempt <= kWorkerWaitRounds; ++attempt) {
        DebugPrint(
            "ServiceCallUninitialize: Waiting for %ld Service threads to terminate; wait #%u",
            static_cast<long>(liveWorkers_.load()), attempt);
        os::Sleep(kWorkerWaitMs);
    }

    {
        os::ScopedProcessContext context(processId_);
        os::CloseHandle(inputHandle_);
        std::lock_guard guard(reopenLock_);
        if (reopened_ != 0) {
            os::CloseHandle(reopened_);
            reopened_ = 0;
        }
    }
    inputHandle_ = 0;
    // The event objects stay with the channel: a worker that overran still waits on them.
    initialized_ = false;
}

uint32_t SERVICE_CALL_CHANNEL::ServiceCallThreadCount() {
    unsigned processors = std::thread::hardware_concurrency();
    if (processors == 0) {
        processors = 1;
    }
    uint32_t count = ServiceCallThreadCountFor(processors);
    DebugPrint("ProcessorCount = %lu, ServiceCallThreadCount = %lu", Ul(processors), Ul(count));
    return count;
}

std::shared_ptr<os::Thread> SERVICE_CALL_CHANNEL::StartServiceCallThread(uint32_t number) {
    char name[64];
    std::snprintf(name, sizeof name, "%s thread #%u", kThreadGroupName, number);
    std::string threadName(name);
    auto self = shared_from_this();
    return os::Thread::Start(
        [self, threadName] {
            os::ScopedProcessContext context(self->processId_);
            self->ServiceCallThread(threadName.c_str());
        },
        threadName);
}

SERVICE_CALL_DISPATCHER MakeServiceCallDispatcher(POLICY_LOOKUP_CONTEXT& policy) {
    return [&policy](uint32_t code, SERVICE_CALL& call, const uint8_t* block, uint32_t size) {
        switch (code) {
            case SC_CODE_POLICY_LOOKUP:
                DispatchPolicyLookup(policy, call, block, size);
                return true;
            case SC_CODE_RESOLVE_V4:
                DispatchResolveDnsName(call, AddressFamily::V4, block, size);
                return true;
            case SC_CODE_RESOLVE_V6:
                DispatchResolveDnsName(call, AddressFamily::V6, block, size);
                return true;
            default:
                return false;
        }
    };
}

}  // namespace wexo::svc
