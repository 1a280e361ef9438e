// The lookup workers: ten driver threads that take flows from the lookup queue, ask the service for
// a verdict with a policy-lookup service call, and apply it to the connection: the held client data
// goes on to the server, or is discarded and the client either gets the service's redirect response
// or sees the connection close. Block-on-failure decides when the service does not answer.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "common/records.h"
#include "driver/channel/service_call_queue.h"
#include "driver/filter/stream_classify.h"
#include "driver/platform/system_thread.h"
#include "os/core/sync.h"
#include "os/wfp/net_buffer.h"
#include "os/wfp/wfp.h"

namespace wexo::drv {

// The block layouts of a policy lookup.
inline constexpr BLOCK_DESCRIPTOR kPolicyLookupRequestParts[] = {{BlockPart::Bytes, 8, 16},
                                                                 {BlockPart::Bytes, 24, 32},
                                                                 {BlockPart::Bytes, 40, 48},
                                                                 {BlockPart::Bytes, 56, 64},
                                                                 {BlockPart::Bytes, 72, 80},
                                                                 {BlockPart::Bytes, 88, 96},
                                                                 {BlockPart::End}};
inline constexpr BLOCK_DESCRIPTOR kPolicyLookupAnswerParts[] = {{BlockPart::Bytes, 0, 8},
                                                                {BlockPart::End}};

inline constexpr uint32_t kRedirectTextTag = os::MakePoolTag("WxRt");

// The service call of a policy lookup of `record`. A block's answer lands in `answerBuffer`, or in
// pool when it is longer (FreeAnswer gives that back); a null `answerOut` declines the answer.
SERVICE_CALL_REQUEST PolicyLookupCall(const POLICY_LOOKUP_REQUEST& record, void* answerBuffer,
                                      uint32_t answerBufferSize, void** answerOut,
                                      uint32_t* answerSizeOut, int32_t* statusOut);

class URL_LOOKUP {
  public:
    static constexpr int kWorkerCount = 10;
    // How long a stop waits for the workers; one still waiting for the service is left to end
    // when the service-call queue cancels its call.
    static constexpr uint32_t kStopSeconds = 30;

    URL_LOOKUP(STREAM_FILTER& filter, SERVICE_CALL_QUEUE& queue);
    ~URL_LOOKUP();
    URL_LOOKUP(const URL_LOOKUP&) = delete;
    URL_LOOKUP& operator=(const URL_LOOKUP&) = delete;

    // The stream injection handle and the list pool of the filtering-platform registration.
    void SetInjection(const os::INJECTION_HANDLE* injection, os::NET_BUFFER_LIST_POOL* pool);

    // Starts the ten workers; when one cannot be created, writes the event-log entry, stops those
    // already started and fails.
    os::NTSTATUS StartWorkers();
    // Signals the stop event and waits (bounded) for the workers.
    void StopWorkers();
    // Frees what the flows still queued hold (after the workers stopped).
    void FlushQueue() { filter_.FlushLookupQueue(); }

    // `ProcessUrlLookup`: looks up and applies the verdict for the head of the queue; false when
    // the queue was empty.
    bool ProcessUrlLookup();
    // Lookups whose verdict has been applied, for diagnostics and tests.
    uint64_t CompletedLookups() const { return completed_.load(); }

  private:
    enum class Outcome { BlockedAnswer, Allowed, NotAnswered, NoService };

    static void WorkerMain(SystemThread* record);
    // A hello held because its destination was never given for the name it gives: the
    // connection toward the server is moved to an address the service resolves that name to,
    // left where it is when the destination is one of them, or closed when it cannot be moved.
    void Retarget(FLOW* flow, const std::string& host, uint32_t flowNumber);
    void Allow(FLOW* flow, HELD_DATA& held);
    void Disconnect(FLOW* flow, HELD_DATA& held);
    void Redirect(FLOW* flow, HELD_DATA& held, uint8_t* text, uint32_t length);
    void Forward(FLOW* flow, HELD_DATA& held);
    void InjectEmpty(FLOW* flow, uint32_t flags);
    // Takes ownership of the pool block; false when it could not be sent (the block is freed).
    bool InjectText(FLOW* flow, uint8_t* text, uint32_t length);

    STREAM_FILTER& filter_;
    SERVICE_CALL_QUEUE& queue_;
    UNRESOLVED_NAMES unresolved_;
    const os::INJECTION_HANDLE* injection_ = nullptr;
    os::NET_BUFFER_LIST_POOL* pool_ = nullptr;
    os::Event stop_{os::EventType::Notification, false};
    SystemThread workers_[kWorkerCount];
    bool started_ = false;
    std::atomic<uint64_t> completed_{0};
};

}  // namespace wexo::drv
