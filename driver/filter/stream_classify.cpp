#include "driver/filter/stream_classify.h"

#include <algorithm>
#include <cstring>

#include "common/request_target.h"
#include "common/service_domain.h"
#include "driver/filter/http_request.h"
#include "driver/filter/tls_parser.h"

namespace wexo::drv {

using os::FWPS_CLASSIFY_OUT;
using os::FWPS_STREAM_CALLOUT_IO_PACKET;

struct STREAM_FILTER::SEGMENT {
    const os::FWPS_INCOMING_VALUES& values;
    const os::FWPS_INCOMING_METADATA_VALUES& metadata;
    const os::FWPS_FILTER& filter;
    FWPS_STREAM_CALLOUT_IO_PACKET& packet;
    FWPS_CLASSIFY_OUT& out;
    FLOW* flow;

    const os::FWPS_STREAM_DATA& Data() const { return *packet.streamData; }
    uint32_t Flags() const { return packet.streamData->flags; }
};

namespace {

// The outcomes of a stream classify and the engine settings that express them.
void Permit(FWPS_STREAM_CALLOUT_IO_PACKET& packet, FWPS_CLASSIFY_OUT& out,
            const os::FWPS_FILTER& filter) {
    packet.streamAction = os::FWPS_STREAM_ACTION_NONE;
    out.actionType = os::FWP_ACTION_PERMIT;
    if ((filter.flags & os::FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0) {
        out.rights &= ~os::FWPS_RIGHT_ACTION_WRITE;
    }
}

void Absorb(FWPS_STREAM_CALLOUT_IO_PACKET& packet, FWPS_CLASSIFY_OUT& out) {
    packet.streamAction = os::FWPS_STREAM_ACTION_NONE;
    out.actionType = os::FWP_ACTION_BLOCK;
    out.rights &= ~os::FWPS_RIGHT_ACTION_WRITE;
    out.flags |= os::FWPS_CLASSIFY_OUT_FLAG_ABSORB;
}

void NeedMoreData(FWPS_STREAM_CALLOUT_IO_PACKET& packet, FWPS_CLASSIFY_OUT& out,
                  uint32_t bytesRequired) {
    packet.streamAction = os::FWPS_STREAM_ACTION_NEED_MORE_DATA;
    packet.countBytesRequired = bytesRequired;
    out.actionType = os::FWP_ACTION_NONE;
}

void DropConnection(FWPS_STREAM_CALLOUT_IO_PACKET& packet, FWPS_CLASSIFY_OUT& out) {
    packet.streamAction = os::FWPS_STREAM_ACTION_DROP_CONNECTION;
    out.actionType = os::FWP_ACTION_BLOCK;
    out.rights &= ~os::FWPS_RIGHT_ACTION_WRITE;
    out.flags |= os::FWPS_CLASSIFY_OUT_FLAG_ABSORB;
}

uint32_t ClampToUint32(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, UINT32_MAX));
}

// The copy of a segment that the parsers read; freed in every case.
class PARSE_BUFFER {
  public:
    explicit PARSE_BUFFER(size_t size)
        : data_(static_cast<uint8_t*>(
              os::ExAllocatePoolWithTag(os::PoolType::NonPaged, size, kParseBufferTag))),
          size_(size) {}
    ~PARSE_BUFFER() { os::ExFreePoolWithTag(data_, kParseBufferTag); }
    PARSE_BUFFER(const PARSE_BUFFER&) = delete;
    PARSE_BUFFER& operator=(const PARSE_BUFFER&) = delete;

    explicit operator bool() const { return data_ != nullptr; }
    std::span<uint8_t> Span() { return {data_, size_}; }

  private:
    uint8_t* data_;
    size_t size_;
};

}  // namespace

STREAM_FILTER::STREAM_FILTER() = default;
STREAM_FILTER::~STREAM_FILTER() = default;

void STREAM_FILTER::SetStreamCalloutIds(uint32_t v4, uint32_t v6) {
    streamCalloutV4_.store(v4);
    streamCalloutV6_.store(v6);
}

void STREAM_FILTER::SetInjectionHandle(const os::INJECTION_HANDLE* handle) {
    injection_.store(handle);
}

void STREAM_FILTER::SetUnloading(bool on) {
    // Under the flow lock, so that no flow is queued once this returns.
    std::lock_guard guard(flowLock_);
    unloading_.store(on);
}

// ---- Flow established and deleted ----

void STREAM_FILTER::FlowEstablished(const os::FWPS_INCOMING_VALUES& values,
                                    const os::FWPS_INCOMING_METADATA_VALUES& metadata, void*,
                                    const os::FWPS_FILTER& filter, uint64_t,
                                    FWPS_CLASSIFY_OUT& classifyOut) {
    classifyOut.actionType = os::FWP_ACTION_PERMIT;
    if ((filter.flags & os::FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0) {
        classifyOut.rights &= ~os::FWPS_RIGHT_ACTION_WRITE;
    }
    if (unloading_.load() || dormant_.load()) {
        return;
    }
    bool v4 = values.layerId == os::FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4;
    bool v6 = values.layerId == os::FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6;
    if ((!v4 && !v6) ||
        !os::FWPS_IS_METADATA_FIELD_PRESENT(metadata, os::FWPS_METADATA_FIELD_FLOW_HANDLE)) {
        return;
    }
    FLOW* flow = flows_.Allocate();
    if (flow == nullptr) {
        return;
    }
    flow->flowId = metadata.flowHandle;
    flow->layerId = v4 ? os::FWPS_LAYER_STREAM_V4 : os::FWPS_LAYER_STREAM_V6;
    flow->calloutId = v4 ? streamCalloutV4_.load() : streamCalloutV6_.load();
    flow->processId =
        os::FWPS_IS_METADATA_FIELD_PRESENT(metadata, os::FWPS_METADATA_FIELD_PROCESS_ID)
            ? metadata.processId
            : 0;
    flow->addressLength = v4 ? 4 : 16;
    // Linked before it is associated: from the association on, the engine may delete it.
    flows_.Link(flow);
    if (!os::NT_SUCCESS(os::FwpsFlowAssociateContext(flow->flowId, flow->layerId, flow->calloutId,
                                                     reinterpret_cast<uint64_t>(flow)))) {
        flows_.Unlink(flow);
        ReleaseFlow(flow);
    }
}

void STREAM_FILTER::FlowDeleted(uint16_t, uint32_t, uint64_t flowContext) {
    auto* flow = reinterpret_cast<FLOW*>(flowContext);
    if (flow == nullptr) {
        return;
    }
    flows_.Unlink(flow);
    ReleaseFlow(flow);
}

void STREAM_FILTER::RemoveAllFlows() {
    for (FLOW* flow : flows_.ReferenceAll()) {
        uint64_t flowId;
        uint16_t layerId;
        uint32_t calloutId;
        {
            std::lock_guard guard(flowLock_);
            flowId = flow->flowId;
            layerId = flow->layerId;
            calloutId = flow->calloutId;
        }
        os::FwpsFlowRemoveContext(flowId, layerId, calloutId);
        ReleaseFlow(flow);
    }
}

// ---- Stream classify ----

void STREAM_FILTER::StreamClassify(const os::FWPS_INCOMING_VALUES& values,
                                   const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                                   void* layerData, const os::FWPS_FILTER& filter,
                                   uint64_t flowContext, FWPS_CLASSIFY_OUT& classifyOut) {
    auto* packet = static_cast<FWPS_STREAM_CALLOUT_IO_PACKET*>(layerData);
    if (packet == nullptr || packet->streamData == nullptr) {
        classifyOut.actionType = os::FWP_ACTION_PERMIT;
        return;
    }
    SEGMENT segment{values,  metadata,    filter,
                    *packet, classifyOut, reinterpret_cast<FLOW*>(flowContext)};
    if (segment.flow == nullptr || unloading_.load(std::memory_order_relaxed) ||
        dormant_.load(std::memory_order_relaxed)) {
        Permit(*packet, classifyOut, filter);
        return;
    }
    packet->countBytesRequired = 0;
    packet->countBytesEnforced = 0;
    uint64_t service = serviceProcessId_.load(std::memory_order_relaxed);
    if (service != 0 && segment.flow->processId == service) {
        Permit(*packet, classifyOut, filter);
        return;
    }
    if ((segment.Flags() & os::FWPS_STREAM_FLAG_RECEIVE) != 0) {
        Inbound(segment);
    } else {
        Outbound(segment);
    }
}

void STREAM_FILTER::PermitOrDropOnFailure(SEGMENT& segment, Result result) {
    if (result == Result::Failure && blockOnFailure_.load()) {
        DropConnection(segment.packet, segment.out);
    } else {
        Permit(segment.packet, segment.out, segment.filter);
    }
}

void STREAM_FILTER::Inbound(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    if ((segment.Flags() & os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT) != 0) {
        bool pending;
        bool injected = true;
        {
            std::lock_guard guard(flowLock_);
            pending = IsLookupPending(flow->state.load());
            if (pending) {
                // The FIN waits for the verdict; what the server sent with it goes to the client
                // now. Injected before the flag is seen, so that the FIN a worker reproduces for
                // it can only follow the data.
                if (segment.Data().dataLength > 0) {
                    injected = InjectServerData(segment);
                }
                flow->serverFinSeen = injected ? 1 : 0;
            } else {
                SetStateLocked(flow, FLOW_STATE_FINISHED);
            }
        }
        if (!pending) {
            Permit(segment.packet, segment.out, segment.filter);
        } else if (!injected) {
            DropConnection(segment.packet, segment.out);
        } else {
            Absorb(segment.packet, segment.out);
        }
        return;
    }

    uint32_t state = flow->state.load();
    size_t length = segment.Data().dataLength;
    if ((state != FLOW_STATE_NEW && state != FLOW_STATE_TLS_HELLO) || length == 0) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    PARSE_BUFFER buffer(length);
    if (!buffer) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    os::FwpsCopyStreamDataToBuffer(segment.Data(), buffer.Span());
    TLS_SERVER_FLIGHT flight;
    TLS_PARSE_OUTCOME outcome = ParseTlsServerFlight(buffer.Span(), flight);
    if (outcome.status == TlsParseStatus::NotRecognised) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    if (!flight.subjectCommonName.empty()) {
        PermitOrDropOnFailure(segment, CertificateHost(segment, flight.subjectCommonName,
                                                       flight.tls13, flight.sessionId));
        return;
    }
    if (outcome.status == TlsParseStatus::Incomplete) {
        NeedMoreData(segment.packet, segment.out,
                     ClampToUint32(uint64_t{length} + outcome.missing));
        return;
    }
    PermitOrDropOnFailure(segment, ServerHelloOnly(segment, flight.tls13, flight.sessionId));
}

bool STREAM_FILTER::InjectServerData(SEGMENT& segment) {
    const os::INJECTION_HANDLE* handle = injection_.load();
    if (handle == nullptr) {
        return false;
    }
    os::NetBufferListChain clone;
    if (!os::NT_SUCCESS(os::FwpsCloneStreamData(segment.Data(), clone))) {
        return false;
    }
    size_t length = clone.DataLength();
    return os::NT_SUCCESS(os::FwpsStreamInjectAsync(
        *handle, segment.metadata.flowHandle, segment.filter.action.calloutId,
        segment.values.layerId, os::FWPS_STREAM_FLAG_RECEIVE, std::move(clone), length, nullptr));
}

void STREAM_FILTER::Outbound(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    if (IsLookupPending(flow->state.load()) && HoldWhilePending(segment)) {
        return;
    }
    if ((segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0 ||
        flow->state.load() != FLOW_STATE_NEW || segment.Data().dataLength == 0) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    PARSE_BUFFER buffer(segment.Data().dataLength);
    if (!buffer) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    os::FwpsCopyStreamDataToBuffer(segment.Data(), buffer.Span());
    ParseOutbound(segment, buffer.Span());
}

bool STREAM_FILTER::HoldWhilePending(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    bool disconnect = (segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0;
    // The data of a segment that also carries the FIN is held like any other: only the FIN
    // itself waits as a flag.
    os::NetBufferListChain clone;
    if (segment.Data().dataLength > 0 &&
        !os::NT_SUCCESS(os::FwpsCloneStreamData(segment.Data(), clone))) {
        DropConnection(segment.packet, segment.out);
        return true;
    }
    std::lock_guard guard(flowLock_);
    if (!IsLookupPending(flow->state.load())) {
        return false;  // the lookup ended meanwhile; the clone goes
    }
    if (flow->clientFinSeen == 0 && !clone.Empty()) {
        ReferenceFlow(flow, static_cast<int32_t>(clone.Count()));
        flow->heldBytes += static_cast<uint32_t>(segment.Data().dataLength);
        flow->heldData.Append(std::move(clone));
    }
    if (disconnect) {
        flow->clientFinSeen = 1;
    }
    Absorb(segment.packet, segment.out);
    return true;
}

void STREAM_FILTER::PassUninspected(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    {
        std::lock_guard guard(flowLock_);
        if (flow->state.load() == FLOW_STATE_NEW) {
            SetStateLocked(flow, FLOW_STATE_PASSED);
        }
    }
    flow->moreRequested = false;
    Permit(segment.packet, segment.out, segment.filter);
}

void STREAM_FILTER::AskForMore(SEGMENT& segment, std::span<const uint8_t> bytes, uint32_t missing) {
    FLOW* flow = segment.flow;
    uint64_t required = uint64_t{bytes.size()} + missing;
    if (required > kMaxFirstRequestBytes) {
        PassUninspected(segment);
        return;
    }
    flow->moreRequested = true;
    NeedMoreData(segment.packet, segment.out, static_cast<uint32_t>(required));
}

void STREAM_FILTER::ParseOutbound(SEGMENT& segment, std::span<const uint8_t> bytes) {
    FLOW* flow = segment.flow;
    TLS_CLIENT_HELLO hello;
    TLS_PARSE_OUTCOME tls = ParseTlsClientHello(bytes, hello);
    if (tls.status == TlsParseStatus::Incomplete) {
        AskForMore(segment, bytes, tls.missing);
        return;
    }
    if (tls.status == TlsParseStatus::Complete) {
        flow->moreRequested = false;
        FlowNamesPtr names;
        if (!hello.serverName.Empty()) {
            names.reset(FLOW_NAMES::Create(hello.serverName.Text(), {}, {}));
            if (!names) {
                PermitOrDropOnFailure(segment, Result::Failure);
                return;
            }
        }
        {
            std::lock_guard guard(flowLock_);
            if (flow->state.load() == FLOW_STATE_NEW) {
                std::span<const uint8_t> id = hello.sessionId.Bytes();
                size_t length = std::min(id.size(), sizeof(flow->sessionId));
                if (length > 0) {
                    std::memcpy(flow->sessionId, id.data(), length);
                }
                flow->sessionIdLength = static_cast<uint32_t>(length);
                if (names) {
                    flow->names = std::move(names);
                }
                SetStateLocked(flow, FLOW_STATE_TLS_HELLO);
            }
        }
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }

    HTTP_REQUEST request;
    HTTP_PARSE_OUTCOME http = ParseHttpRequest(bytes, request);
    switch (http.status) {
        case HttpParseStatus::NotGet:
            // Bytes that were the beginning of a hello or a request and turned out not to be one
            // end inspection; a first request of another kind (a POST) leaves it open.
            if (flow->moreRequested) {
                std::lock_guard guard(flowLock_);
                if (flow->state.load() == FLOW_STATE_NEW) {
                    SetStateLocked(flow, FLOW_STATE_PASSED);
                }
            }
            flow->moreRequested = false;
            Permit(segment.packet, segment.out, segment.filter);
            return;
        case HttpParseStatus::Incomplete:
            if (!HttpRequestMayComplete(bytes)) {
                PassUninspected(segment);
                return;
            }
            // One byte more may complete it (a client can send the final CR LF on its own): the
            // parser's estimate is no minimum, and waiting for bytes that never come stalls.
            AskForMore(segment, bytes, 1);
            return;
        case HttpParseStatus::Complete:
            flow->moreRequested = false;
            if (HttpRequest(segment, request.Host(), request.Path(), request.ProxyPrefix()) ==
                Result::Failure) {
                PermitOrDropOnFailure(segment, Result::Failure);
            }
            return;
    }
}

// ---- Lookups ----

void STREAM_FILTER::RecordLookupTargetLocked(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    const os::FWPS_INCOMING_VALUES& values = segment.values;
    if (values.layerId == os::FWPS_LAYER_STREAM_V4) {
        uint32_t address = values.remoteAddressV4;
        flow->remoteAddress[0] = static_cast<uint8_t>(address >> 24);
        flow->remoteAddress[1] = static_cast<uint8_t>(address >> 16);
        flow->remoteAddress[2] = static_cast<uint8_t>(address >> 8);
        flow->remoteAddress[3] = static_cast<uint8_t>(address);
        flow->addressLength = 4;
    } else {
        std::memcpy(flow->remoteAddress, values.remoteAddressV6.data(), 16);
        flow->addressLength = 16;
    }
    flow->flowId = segment.metadata.flowHandle;
    flow->calloutId = segment.filter.action.calloutId;
    flow->layerId = values.layerId;
}

bool STREAM_FILTER::QueueForLookupLocked(FLOW* flow) {
    // Once unloading, the queue may already have been flushed: nothing may wait in it.
    if (unloading_.load()) {
        return false;
    }
    ReferenceFlow(flow);
    lookupQueue_.PushBack(flow);
    return true;
}

STREAM_FILTER::Result STREAM_FILTER::HttpRequest(SEGMENT& segment, std::string_view host,
                                                 std::string_view path,
                                                 std::string_view proxyPrefix) {
    FLOW* flow = segment.flow;
    FlowNamesPtr names(FLOW_NAMES::Create(host, path, proxyPrefix));
    if (!names) {
        return Result::Failure;
    }
    os::NetBufferListChain clone;
    if (!os::NT_SUCCESS(os::FwpsCloneStreamData(segment.Data(), clone))) {
        return Result::Failure;
    }
    os::NetBufferListChain unqueued;
    {
        std::lock_guard guard(flowLock_);
        if (flow->state.load() != FLOW_STATE_NEW) {
            return Result::Failure;
        }
        if (IsServiceDomain(RequestedHost(host, proxyPrefix))) {
            SetStateLocked(flow, FLOW_STATE_PASSED);
            Permit(segment.packet, segment.out, segment.filter);
            return Result::Success;
        }
        SetStateLocked(flow, FLOW_STATE_HTTP_PARSED);
        flow->names = std::move(names);
        RecordLookupTargetLocked(segment);
        uint32_t lists = static_cast<uint32_t>(clone.Count());
        ReferenceFlow(flow, static_cast<int32_t>(lists));
        flow->heldBytes += static_cast<uint32_t>(clone.DataLength());
        flow->requestLists = lists;
        flow->heldData.Append(std::move(clone));
        if (QueueForLookupLocked(flow)) {
            SetStateLocked(flow, FLOW_STATE_HTTP_LOOKUP);
        } else {
            unqueued = std::move(flow->heldData);
            flow->heldBytes = 0;
            flow->requestLists = 0;
            flow->names.reset();
            SetStateLocked(flow, FLOW_STATE_PASSED);
        }
    }
    if (!unqueued.Empty()) {
        size_t lists = unqueued.Count();
        unqueued.Clear();
        for (size_t i = 0; i < lists; ++i) {
            ReleaseFlow(flow);
        }
        return Result::Failure;
    }
    lookupEvent_.Set();
    Absorb(segment.packet, segment.out);
    return Result::Success;
}

bool STREAM_FILTER::CompareSessionIdsLocked(FLOW* flow, bool tls13,
                                            std::span<const uint8_t> serverSessionId) {
    // A TLS 1.3 server echoes the client's legacy session ID on every connection: equal IDs say
    // nothing about resumption there.
    if (!tls13 && !serverSessionId.empty() && serverSessionId.size() == flow->sessionIdLength &&
        std::memcmp(serverSessionId.data(), flow->sessionId, serverSessionId.size()) == 0) {
        flow->sessionReuse = 1;
        return true;
    }
    size_t length = std::min<size_t>(serverSessionId.size(), sizeof(flow->sessionId));
    if (length > 0) {
        std::memcpy(flow->sessionId, serverSessionId.data(), length);
    }
    flow->sessionIdLength = static_cast<uint32_t>(length);
    return false;
}

STREAM_FILTER::Result STREAM_FILTER::CertificateHost(SEGMENT& segment, std::string_view commonName,
                                                     bool tls13,
                                                     std::span<const uint8_t> serverSessionId) {
    FLOW* flow = segment.flow;
    FlowNamesPtr names(FLOW_NAMES::Create(commonName, {}, {}));
    if (!names) {
        return Result::Failure;
    }
    Result result = Result::Success;
    bool queued = false;
    {
        std::lock_guard guard(flowLock_);
        auto queue = [&] {
            RecordLookupTargetLocked(segment);
            if (QueueForLookupLocked(flow)) {
                SetStateLocked(flow, FLOW_STATE_TLS_LOOKUP);
                queued = true;
            } else {
                flow->names.reset();
                SetStateLocked(flow, FLOW_STATE_PASSED);
                result = Result::Failure;
            }
        };
        uint32_t state = flow->state.load();
        if (state == FLOW_STATE_NEW && !IsServiceDomain(commonName)) {
            SetStateLocked(flow, FLOW_STATE_TLS_FLIGHT);
            flow->names = std::move(names);
            queue();
        } else if (state == FLOW_STATE_TLS_HELLO) {
            CompareSessionIdsLocked(flow, tls13, serverSessionId);
            SetStateLocked(flow, FLOW_STATE_TLS_FLIGHT);
            if (flow->names) {
                // The server name the client asked for wins over the certificate.
                if (IsServiceDomain(flow->names->Host())) {
                    flow->names.reset();
                    SetStateLocked(flow, FLOW_STATE_PASSED);
                } else {
                    queue();
                }
            } else if (!IsServiceDomain(commonName)) {
                flow->names = std::move(names);
                queue();
            } else {
                SetStateLocked(flow, FLOW_STATE_PASSED);
            }
        } else {
            SetStateLocked(flow, FLOW_STATE_PASSED);
        }
    }
    if (queued) {
        lookupEvent_.Set();
    }
    return result;
}

STREAM_FILTER::Result STREAM_FILTER::ServerHelloOnly(SEGMENT& segment, bool tls13,
                                                     std::span<const uint8_t> serverSessionId) {
    FLOW* flow = segment.flow;
    {
        std::lock_guard guard(flowLock_);
        if (flow->state.load() != FLOW_STATE_TLS_HELLO) {
            SetStateLocked(flow, FLOW_STATE_PASSED);
            return Result::Success;
        }
        SetStateLocked(flow, FLOW_STATE_TLS_FLIGHT);
        bool resumed = CompareSessionIdsLocked(flow, tls13, serverSessionId);
        if (!resumed) {
            if (!flow->names) {
                // Nothing to look the connection up by; the transient state must not stay.
                SetStateLocked(flow, FLOW_STATE_PASSED);
                return Result::Failure;
            }
            if (IsServiceDomain(flow->names->Host())) {
                flow->names.reset();
                SetStateLocked(flow, FLOW_STATE_PASSED);
                return Result::Success;
            }
        }
        RecordLookupTargetLocked(segment);
        if (!QueueForLookupLocked(flow)) {
            flow->names.reset();
            SetStateLocked(flow, FLOW_STATE_PASSED);
            return Result::Failure;
        }
        SetStateLocked(flow, FLOW_STATE_TLS_LOOKUP);
    }
    lookupEvent_.Set();
    return Result::Success;
}

// ---- Lookup queue ----

FLOW* STREAM_FILTER::TakeForLookup() {
    std::lock_guard guard(flowLock_);
    FLOW* flow = lookupQueue_.PopFront();
    if (flow != nullptr) {
        inProgress_.PushBack(flow);
    }
    return flow;
}

HELD_DATA STREAM_FILTER::CompleteLookup(FLOW* flow) {
    HELD_DATA held;
    std::lock_guard guard(flowLock_);
    inProgress_.Remove(flow);
    held.data = std::move(flow->heldData);
    held.bytes = flow->heldBytes;
    held.requestLists = flow->requestLists;
    held.clientFinSeen = flow->clientFinSeen != 0;
    held.serverFinSeen = flow->serverFinSeen != 0;
    flow->heldBytes = 0;
    flow->requestLists = 0;
    return held;
}

bool STREAM_FILTER::EndLookup(FLOW* flow, FLOW_STATE state, HELD_DATA& late) {
    std::lock_guard guard(flowLock_);
    late.clientFinSeen = flow->clientFinSeen != 0;
    late.serverFinSeen = flow->serverFinSeen != 0;
    if (!flow->heldData.Empty()) {
        late.data = std::move(flow->heldData);
        late.bytes = flow->heldBytes;
        late.requestLists = 0;
        flow->heldBytes = 0;
        return false;
    }
    late.bytes = 0;
    flow->names.reset();
    SetStateLocked(flow, state);
    return true;
}

void STREAM_FILTER::DiscardHeldData(FLOW* flow, HELD_DATA& held) {
    size_t lists = held.data.Count();
    held.data.Clear();
    held.bytes = 0;
    for (size_t i = 0; i < lists; ++i) {
        ReleaseFlow(flow);
    }
}

void STREAM_FILTER::FlushLookupQueue() {
    std::vector<std::pair<FLOW*, HELD_DATA>> flushed;
    {
        std::lock_guard guard(flowLock_);
        while (FLOW* flow = lookupQueue_.PopFront()) {
            HELD_DATA held;
            held.data = std::move(flow->heldData);
            held.bytes = flow->heldBytes;
            flow->heldBytes = 0;
            flow->requestLists = 0;
            flushed.emplace_back(flow, std::move(held));
        }
    }
    for (auto& [flow, held] : flushed) {
        DiscardHeldData(flow, held);
        ReleaseFlow(flow);
    }
}

size_t STREAM_FILTER::QueuedCount() const {
    std::lock_guard guard(flowLock_);
    return lookupQueue_.Size();
}

size_t STREAM_FILTER::InProgressCount() const {
    std::lock_guard guard(flowLock_);
    return inProgress_.Size();
}

}  // namespace wexo::drv
