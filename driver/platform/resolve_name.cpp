#include "driver/platform/resolve_name.h"

#include <cstring>
#include <utility>

#include "common/records.h"

namespace wexo::drv {
namespace {

constexpr uint32_t kHostTag = os::MakePoolTag("RNhn");
constexpr int32_t kHostNotFound = 11001;
constexpr int32_t kNoData = 11004;

constexpr BLOCK_DESCRIPTOR kNameRequestParts[] = {{BlockPart::String, 0}, {BlockPart::End}};
constexpr BLOCK_DESCRIPTOR kV4AnswerParts[] = {
    {BlockPart::Array, 0, 8, 4}, {BlockPart::ArrayEnd}, {BlockPart::End}};
constexpr BLOCK_DESCRIPTOR kV6AnswerParts[] = {
    {BlockPart::Array, 0, 8, 16}, {BlockPart::ArrayEnd}, {BlockPart::End}};

}  // namespace

RESOLVED_ADDRESSES::~RESOLVED_ADDRESSES() {
    if (data_ != nullptr) {
        os::ExFreePoolWithTag(data_, kTag);
    }
}

RESOLVED_ADDRESSES::RESOLVED_ADDRESSES(RESOLVED_ADDRESSES&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      elementSize_(std::exchange(other.elementSize_, 0)) {}

RESOLVED_ADDRESSES& RESOLVED_ADDRESSES::operator=(RESOLVED_ADDRESSES&& other) noexcept {
    if (this != &other) {
        if (data_ != nullptr) {
            os::ExFreePoolWithTag(data_, kTag);
        }
        data_ = std::exchange(other.data_, nullptr);
        count_ = std::exchange(other.count_, 0);
        elementSize_ = std::exchange(other.elementSize_, 0);
    }
    return *this;
}

bool RESOLVED_ADDRESSES::Assign(const uint8_t* source, uint32_t count, uint32_t elementSize) {
    *this = RESOLVED_ADDRESSES();
    elementSize_ = elementSize;
    if (count == 0) {
        return true;
    }
    size_t bytes = static_cast<size_t>(count) * elementSize;
    data_ = static_cast<uint8_t*>(os::ExAllocatePoolWithTag(os::PoolType::Paged, bytes, kTag));
    if (data_ == nullptr) {
        elementSize_ = 0;
        return false;
    }
    std::memcpy(data_, source, bytes);
    count_ = count;
    return true;
}

RESOLVE_RESULT ResolveName(SERVICE_CALL_QUEUE& queue, std::string_view host, NameFamily family) {
    RESOLVE_RESULT result;
    const uint32_t elementSize = family == NameFamily::V6 ? 16 : 4;

    // The request carries the name NUL-terminated; the remap list keeps it counted.
    const size_t nameSize = host.size() + 1;
    auto* name =
        static_cast<char*>(os::ExAllocatePoolWithTag(os::PoolType::Paged, nameSize, kHostTag));
    if (name == nullptr) {
        return result;
    }
    std::memset(name, 0, nameSize);
    std::memcpy(name, host.data(), host.size());

    DNS_NAME_REQUEST record{reinterpret_cast<uint64_t>(name)};
    alignas(8) uint8_t buffer[kDriverAnswerBufferSize];
    void* answer = nullptr;
    uint32_t answerSize = 0;
    int32_t status = -1;
    SERVICE_CALL_REQUEST request;
    request.code = family == NameFamily::V6 ? SC_CODE_RESOLVE_V6 : SC_CODE_RESOLVE_V4;
    request.limitSeconds = kServiceCallTimeoutSeconds;
    request.record = &record;
    request.recordSize = sizeof record;
    request.requestParts = kNameRequestParts;
    request.answerRecordSize = sizeof(DNS_ADDRESS_ANSWER);
    request.answerParts = family == NameFamily::V6
                              ? std::span<const BLOCK_DESCRIPTOR>(kV6AnswerParts)
                              : std::span<const BLOCK_DESCRIPTOR>(kV4AnswerParts);
    request.answerOut = &answer;
    request.answerSizeOut = &answerSize;
    request.answerBuffer = buffer;
    request.answerBufferSize = sizeof buffer;
    request.statusOut = &status;

    result.call = queue.Submit(request);
    os::ExFreePoolWithTag(name, kHostTag);

    if (result.call == CallResult::ServiceUnavailable) {
        result.outcome = ResolveOutcome::NoService;
        return result;
    }
    if (result.call != CallResult::Answered) {
        result.outcome = ResolveOutcome::Failed;
        SERVICE_CALL_QUEUE::FreeAnswer(request, answer);
        return result;
    }
    result.status = status;
    if (status == kHostNotFound || status == kNoData) {
        result.outcome = ResolveOutcome::NotFound;
    } else if (status != 0 || answer == nullptr || answerSize < sizeof(DNS_ADDRESS_ANSWER)) {
        result.outcome = ResolveOutcome::Failed;
    } else {
        DNS_ADDRESS_ANSWER fixed;
        std::memcpy(&fixed, answer, sizeof fixed);
        // The copy engine sized the block from the count; check it anyway before reading.
        uint64_t bytes = static_cast<uint64_t>(fixed.count) * elementSize;
        uint64_t start = fixed.addresses - reinterpret_cast<uint64_t>(answer);
        bool fits = fixed.count == 0 ||
                    (fixed.addresses >= reinterpret_cast<uint64_t>(answer) + sizeof fixed &&
                     start <= answerSize && bytes <= answerSize - start);
        if (!fits) {
            result.outcome = ResolveOutcome::Failed;
        } else if (result.addresses.Assign(reinterpret_cast<const uint8_t*>(fixed.addresses),
                                           fixed.count, elementSize)) {
            result.outcome = ResolveOutcome::Resolved;
        } else {
            result.outcome = ResolveOutcome::Failed;
        }
    }
    SERVICE_CALL_QUEUE::FreeAnswer(request, answer);
    return result;
}

const char* ResolveOutcomeName(ResolveOutcome outcome) {
    switch (outcome) {
        case ResolveOutcome::Resolved:
            return "resolved";
        case ResolveOutcome::NotFound:
            return "not found";
        case ResolveOutcome::Failed:
            return "failed";
        case ResolveOutcome::NoService:
            return "no service";
    }
    return "failed";
}

}  // namespace wexo::drv
