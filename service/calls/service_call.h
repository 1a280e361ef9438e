// The service's end of the driver channel: worker threads that fetch service calls from the
// driver, hand each to the handler of its code and return the answer; the heartbeat that tells the
// driver every two seconds that the service is alive; standby and resume; and the orderly stop of
// all of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "common/service_calls.h"
#include "os/core/process.h"
#include "os/core/sync.h"

namespace wexo::svc {

// What a failure inside a handler becomes. Linux has no structured exceptions: a C++ exception
// that leaves a handler (or a fault that something caught and raised as this type) is turned into
// one, logged, and the call is answered with a failure status, so the driver never waits for it
// and the worker lives on.
class STANDARD_EXCEPTION : public std::exception {
  public:
    // The code a C++ exception carries when it travels as a structured exception.
    static constexpr uint32_t kCppExceptionCode = 0xE06D7363;
    static constexpr uint32_t kNoMemoryCode = 0xC0000017;

    STANDARD_EXCEPTION(uint32_t code, std::string information)
        : code_(code), information_(std::move(information)) {}
    uint32_t Code() const { return code_; }
    const std::string& Information() const { return information_; }
    const char* what() const noexcept override { return information_.c_str(); }

    // The exception in flight (inside a catch block) as a STANDARD_EXCEPTION.
    static STANDARD_EXCEPTION FromCurrent();

  private:
    uint32_t code_;
    std::string information_;
};

// Completion statuses of calls the framework answers itself, beyond those of common/.
constexpr int32_t SC_STATUS_BAD_REQUEST = 87;      // the request block does not add up
constexpr int32_t SC_STATUS_HANDLER_FAULT = 1359;  // the handler failed or did not answer

class SERVICE_CALL;

// Where the answer of a call goes: the driver channel in the service, a recorder in tests.
class SERVICE_CALL_SINK {
  public:
    virtual ~SERVICE_CALL_SINK() = default;
    virtual void Complete(SERVICE_CALL& call, const void* answer, uint32_t answerSize,
                          int32_t status) = 0;
};

// One fetched service call, handed to its handler, which completes it exactly once.
class SERVICE_CALL {
  public:
    SERVICE_CALL(SERVICE_CALL_SINK& sink, uint64_t handle, uint32_t code)
        : sink_(sink), handle_(handle), code_(code) {}
    SERVICE_CALL(const SERVICE_CALL&) = delete;
    SERVICE_CALL& operator=(const SERVICE_CALL&) = delete;

    uint64_t Handle() const { return handle_; }
    // "SC#": the high half of the handle.
    uint32_t Sequence() const { return CallHandleSequence(handle_); }
    uint32_t Code() const { return code_; }
    bool Completed() const { return completed_.load(); }

    // Returns the answer record (with its parts in the same block) and the status to the driver.
    // Only the first completion counts; a second one is logged and dropped.
    void Complete(const void* answer, uint32_t answerSize, int32_t status);

  private:
    friend class SERVICE_CALL_CHANNEL;
    SERVICE_CALL_SINK& sink_;
    const uint64_t handle_;
    const uint32_t code_;
    std::atomic<bool> completed_{false};
    // Links of the channel's outstanding-call list; a record carries its own so that once it
    // exists, listing it cannot fail.
    SERVICE_CALL* previous_ = nullptr;
    SERVICE_CALL* next_ = nullptr;
    bool linked_ = false;
};

// The handler of a code: true when the code is handled (the handler then completes the call).
// `block` and `size` are the request block as the driver wrote it; nothing in it is trusted.
using SERVICE_CALL_DISPATCHER =
    std::function<bool(uint32_t code, SERVICE_CALL& call, const uint8_t* block, uint32_t size)>;

class SERVICE_CALL_CHANNEL final : public SERVICE_CALL_SINK,
                                   public std::enable_shared_from_this<SERVICE_CALL_CHANNEL> {
  public:
    static constexpr uint32_t kHeartbeatPeriodMs = 2000;
    static constexpr uint32_t kHeartbeatStopWaitMs = 5000;
    static constexpr uint32_t kWorkerWaitRounds = 10;
    static constexpr uint32_t kWorkerWaitMs = 500;
    static constexpr uint32_t kThreadsPerProcessor = 16;
    static constexpr const char* kThreadGroupName = "Service Call";
    static constexpr const char* kDefaultThreadName = "Service call thread";
    static constexpr uint32_t kReopenFirstMs = 1000;
    static constexpr uint32_t kReopenMaxMs = 30000;

    // Threads of the channel keep it alive while they run, so it lives in a shared_ptr.
    static std::shared_ptr<SERVICE_CALL_CHANNEL> Create();
    ~SERVICE_CALL_CHANNEL() override;

    // Keeps the device handle (of the calling process, opened for synchronous I/O) and the
    // dispatcher, creates the stop and input events and starts the heartbeat thread. Returns the
    // input event's handle, which QRN_REGISTER gives the driver, or 0.
    os::HANDLE ServiceCallInitialize(os::HANDLE device, SERVICE_CALL_DISPATCHER dispatcher);

    // The worker entry (name null: "Service call thread"): live while ServiceCallThreadHelper runs.
    uint32_t ServiceCallThread(const char* name);
    uint32_t ServiceCallThreadHelper(const char* name);
    // Fetches and handles calls until the driver's queue is empty (true) or the stop flag is set
    // (false). `buffer` is the thread's own request buffer.
    bool ServiceCallInput(std::span<uint8_t> buffer);
    // QRN_SC_OUTPUT: 0, or the Windows error (1168, a call the driver no longer waits for, is 0).
    uint32_t ServiceCallOutput(uint64_t handle, const void* answer, uint32_t answerSize,
                               int32_t status);
    // SERVICE_CALL::Complete lands here: the answer goes out, the call leaves the outstanding list.
    void Complete(SERVICE_CALL& call, const void* answer, uint32_t answerSize,
                  int32_t status) override;

    bool ServiceCallStandby();
    bool ServiceCallResume();
    // Sets the stop flag and the stop event; the workers end as they come back to wait.
    void ServiceCallStop();
    // Stops the heartbeat (5 s bound) and waits for the workers (ten 500 ms rounds at most);
    // threads that overrun are left to end on their own.
    void ServiceCallUninitialize();

    // Processors times 16, with its log line.
    static uint32_t ServiceCallThreadCount();
    static uint32_t ServiceCallThreadCountFor(uint32_t processors) {
        return (processors == 0 ? 1 : processors) * kThreadsPerProcessor;
    }
    // Starts worker `number` named "Service Call thread #<number>" in the channel's process.
    std::shared_ptr<os::Thread> StartServiceCallThread(uint32_t number);

    int32_t LiveWorkers() const { return liveWorkers_.load(); }
    size_t OutstandingCalls() const;
    bool IsInitialized() const { return initialized_; }
    bool IsHeartbeatRunning() const;
    os::Event& StopEvent() { return *stop_; }

  private:
    SERVICE_CALL_CHANNEL() = default;
    bool Control(uint32_t code, void* input, uint32_t inputLength);
    uint32_t HeartbeatThread();
    // The device went away (its driver host ended or restarted): opens it again and registers the
    // same input event, waiting longer after each failure up to kReopenMaxMs; false when stopped.
    bool ReopenDevice();
    void Handle(uint64_t handle, uint32_t code, uint64_t address, uint32_t size,
                std::span<uint8_t> buffer);
    void ReleaseRegion(uint64_t address, uint32_t sequence);

    uint32_t processId_ = 0;
    // Read by every worker and replaced by the heartbeat thread when the device is opened again.
    std::atomic<os::HANDLE> device_{0};
    // The open the channel made itself after the first went away (0: none); closed with the
    // channel. The first open is its opener's to close.
    std::mutex reopenLock_;
    os::HANDLE reopened_ = 0;
    SERVICE_CALL_DISPATCHER dispatcher_;
    std::shared_ptr<os::Event> stop_;
    os::HANDLE inputHandle_ = 0;
    std::shared_ptr<os::Event> input_;
    std::shared_ptr<os::Thread> heartbeat_;
    std::atomic<bool> stopFlag_{false};
    std::atomic<int32_t> liveWorkers_{0};
    bool initialized_ = false;
    void Link(SERVICE_CALL& call);
    void Unlink(SERVICE_CALL& call);
    // Heap records, so that a refused allocation is answered with "no memory" as the driver
    // expects.
    struct CALL_RECORD_DELETER {
        SERVICE_CALL_CHANNEL* channel;
        void operator()(SERVICE_CALL* call) const;
    };

    mutable os::CriticalSection outstandingLock_;
    SERVICE_CALL* outstandingHead_ = nullptr;
    size_t outstandingCount_ = 0;
};

struct POLICY_LOOKUP_CONTEXT;

// The dispatcher of this service: code 0 policy lookup, 1 and 2 name resolution; others are not
// handled (answered with status 1 by the worker).
SERVICE_CALL_DISPATCHER MakeServiceCallDispatcher(POLICY_LOOKUP_CONTEXT& policy);

}  // namespace wexo::svc
