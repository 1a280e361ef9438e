// Service calls: what the driver asks of the service, how a call is named, and how it ends.
#pragma once

#include <cstdint>

namespace wexo {

// Service-call codes and the records they carry (common/records.h).
constexpr uint32_t SC_CODE_POLICY_LOOKUP = 0;  // POLICY_LOOKUP_REQUEST -> POLICY_LOOKUP_ANSWER
constexpr uint32_t SC_CODE_RESOLVE_V4 = 1;     // DNS_NAME_REQUEST -> DNS_ADDRESS_ANSWER, 4-byte
constexpr uint32_t SC_CODE_RESOLVE_V6 = 2;     // DNS_NAME_REQUEST -> DNS_ADDRESS_ANSWER, 16-byte

// Every call the driver makes has this limit.
constexpr uint32_t kServiceCallTimeoutSeconds = 240;
// The service's request buffer and the driver's answer buffer.
constexpr uint32_t kServiceRequestBufferSize = 1024;
constexpr uint32_t kDriverAnswerBufferSize = 512;

// Completion statuses the service's call framework itself sends.
constexpr int32_t SC_STATUS_NO_HANDLER = 1;
constexpr int32_t SC_STATUS_NO_MEMORY = 8;

// How a submitted call ended, as the driver's submitter sees it.
enum class CallResult : uint32_t {
    Answered = 3,
    TimedOut = 4,
    Cancelled = 5,
    Failed = 6,
    ServiceUnavailable = 7,
};

// A call handle: the slot index in the low 32 bits, the sequence number ("SC#") in the high 32.
constexpr uint64_t MakeCallHandle(uint32_t slot, uint32_t sequence) {
    return (static_cast<uint64_t>(sequence) << 32) | slot;
}
constexpr uint32_t CallHandleSlot(uint64_t handle) {
    return static_cast<uint32_t>(handle);
}
constexpr uint32_t CallHandleSequence(uint64_t handle) {
    return static_cast<uint32_t>(handle >> 32);
}

}  // namespace wexo
