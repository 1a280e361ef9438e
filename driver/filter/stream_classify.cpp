#include "driver/filter/stream_classify.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "common/request_target.h"
#include "common/service_domain.h"
#include "common/url_normalize.h"
#include "driver/filter/address_names.h"
#include "driver/filter/http_request.h"
#include "driver/filter/tls_parser.h"
#include "driver/platform/debug_print.h"

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

// The longest host the classify path normalises on its stack: a DNS name is at most 253 bytes,
// with a port and brackets well under this. A longer one (no real host) takes the allocating form.
constexpr size_t kMaxClassifyHostBytes = 512;

// Whether a host, read as servers read it, is of the service domain.
bool IsServiceDomainHost(std::string_view host) {
    if (host.size() > kMaxClassifyHostBytes) {
        return IsServiceDomain(NormalizeHost(host));
    }
    std::array<char, kMaxClassifyHostBytes> buffer;
    return IsServiceDomain(NormalizeHostInto(host, buffer));
}

// A request every host of which is of the service domain: the one a proxy contacts and, when it
// names another, the one an origin server serves.
bool IsServiceDomainRequest(const HTTP_REQUEST& request) {
    const std::string_view host = RequestedHost(request.Host(), request.ProxyPrefix());
    const std::string_view beside =
        HostHeaderBesideAuthority(request.Host(), request.ProxyPrefix());
    return !host.empty() && IsServiceDomainHost(host) &&
           (beside.empty() || IsServiceDomainHost(beside));
}

// Whether two names are one host as servers read them.
bool SameHost(std::string_view a, std::string_view b) {
    if (a.size() > kMaxClassifyHostBytes || b.size() > kMaxClassifyHostBytes) {
        return NormalizeHost(a) == NormalizeHost(b);
    }
    std::array<char, kMaxClassifyHostBytes> first;
    std::array<char, kMaxClassifyHostBytes> second;
    return NormalizeHostInto(a, first) == NormalizeHostInto(b, second);
}

// Copies bytes of a chain, from `from` on, into `out`; returns how many.
size_t CopyChain(const os::NetBufferListChain& chain, size_t from, std::span<uint8_t> out) {
    size_t copied = 0;
    size_t base = 0;
    for (const os::NET_BUFFER_LIST* list = chain.Head(); list != nullptr && copied < out.size();
         list = list->Next) {
        std::span<const uint8_t> data = list->Data();
        if (base + data.size() > from) {
            size_t skip = from > base ? from - base : 0;
            size_t take = std::min(data.size() - skip, out.size() - copied);
            std::memcpy(out.data() + copied, data.data() + skip, take);
            copied += take;
        }
        base += data.size();
    }
    return copied;
}

// Feeds the framing reader a chain's bytes from `from` on; the result's count is an offset in the
// whole chain.
HTTP_FRAMING::RESULT FeedChain(HTTP_FRAMING& framing, const os::NetBufferListChain& chain,
                               size_t from) {
    size_t base = 0;
    for (const os::NET_BUFFER_LIST* list = chain.Head(); list != nullptr; list = list->Next) {
        std::span<const uint8_t> data = list->Data();
        if (base + data.size() > from) {
            size_t skip = from > base ? from - base : 0;
            HTTP_FRAMING::RESULT step = framing.Feed(data.subspan(skip));
            if (step.step != HTTP_FRAMING::Step::Consumed) {
                return {step.step, base + skip + step.consumed};
            }
        }
        base += data.size();
    }
    if (framing.InTunnel()) {
        // The CONNECT head ended with the bytes fed before: the tunnel starts where they stop.
        return {HTTP_FRAMING::Step::Tunnel, std::max(base, from)};
    }
    return {HTTP_FRAMING::Step::Consumed, std::max(base, from)};
}

// Takes the first `bytes` bytes of a chain off as a chain of their own. A list that straddles the
// cut is split in two, the new list holding one more reference on the flow. False (nothing
// changed) when there is no memory for that.
bool SplitChain(FLOW* flow, os::NetBufferListChain& chain, size_t bytes,
                os::NetBufferListChain& front) {
    size_t lists = 0;
    size_t covered = 0;
    for (const os::NET_BUFFER_LIST* list = chain.Head();
         list != nullptr && covered + list->DataLength() <= bytes; list = list->Next) {
        covered += list->DataLength();
        ++lists;
    }
    size_t rest = bytes - covered;
    os::NetBufferListPtr part;
    if (rest > 0) {
        os::NET_BUFFER_LIST* straddling = chain.Head();
        for (size_t i = 0; i < lists; ++i) {
            straddling = straddling->Next;
        }
        part = os::AllocatePoolNetBufferList(straddling->Data().first(rest), 0, os::kWfpCloneTag);
        if (!part) {
            return false;
        }
        os::NdisAdvanceNetBufferDataStart(*straddling, rest);
        ReferenceFlow(flow);
    }
    front = chain.SplitFront(lists);
    if (part) {
        front.Append(std::move(part));
    }
    return true;
}

// Bytes that a TLS server takes for the start of a handshake record, whatever follows.
bool BeginsTlsRecord(std::span<const uint8_t> bytes) {
    return bytes.size() >= 2 && bytes[0] == 22 && bytes[1] == 3;
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
    // Known from the start: whether a request for our own domain passes depends on it.
    if (v4) {
        const uint32_t address = values.remoteAddressV4;
        for (int i = 0; i < 4; ++i) {
            flow->remoteAddress[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
        }
    } else {
        std::memcpy(flow->remoteAddress, values.remoteAddressV6.data(), 16);
    }
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
    // The beginning of a request head still being gathered goes with the connection; held data
    // of a pending lookup is the worker's to release.
    HELD_DATA gathered;
    {
        std::lock_guard guard(flowLock_);
        flow->deleted = 1;
        const uint32_t state = flow->state.load();
        if (state == FLOW_STATE_HTTP_GATHER || state == FLOW_STATE_TUNNEL_GATHER) {
            gathered.data = std::move(flow->heldData);
            flow->heldBytes = 0;
            SetStateLocked(flow, FLOW_STATE_FINISHED);
        }
    }
    DiscardHeldData(flow, gathered);
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
    // Most segments belong to flows decided for good: they pass at the cost of one state check
    // (a FIN still goes the whole way, which ends the flow).
    if (segment.flow->state.load(std::memory_order_relaxed) == FLOW_STATE_PASSED &&
        (packet->streamData->flags &
         (os::FWPS_STREAM_FLAG_SEND_DISCONNECT | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT)) == 0) {
        Permit(*packet, classifyOut, filter);
        packet->streamAction = os::FWPS_STREAM_ACTION_ALLOW_CONNECTION;
        return;
    }
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
    // A flow that passed is never inspected again: the engine need not present its data any
    // more, which lets a backend move it without copies.
    if (packet->streamAction == os::FWPS_STREAM_ACTION_NONE &&
        classifyOut.actionType == os::FWP_ACTION_PERMIT && packet->countBytesEnforced == 0 &&
        segment.flow->state.load() == FLOW_STATE_PASSED) {
        packet->streamAction = os::FWPS_STREAM_ACTION_ALLOW_CONNECTION;
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
    const size_t length = segment.Data().dataLength;
    if (flow->state.load() == FLOW_STATE_TLS_RETARGET &&
        (length > 0 || (segment.Flags() & os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT) != 0)) {
        // A TLS server speaks only after the hello, which has not reached it: whatever spoke is
        // no server of the name the hello gives.
        DropConnection(segment.packet, segment.out);
        return;
    }
    if ((segment.Flags() & os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT) != 0) {
        bool pending;
        bool injected = true;
        uint32_t state;
        {
            std::lock_guard guard(flowLock_);
            state = flow->state.load();
            pending = IsLookupPending(state);
            if (pending) {
                // The FIN waits for the verdict; what the server sent with it goes to the client
                // now. Injected before the flag is seen, so that the FIN a worker reproduces for
                // it can only follow the data.
                if (length > 0) {
                    injected = InjectServerData(segment);
                }
                flow->serverFinSeen = injected ? 1 : 0;
            } else if (!IsWatched(state) && state != FLOW_STATE_BLOCKED &&
                       state != FLOW_STATE_DRAINING && state != FLOW_STATE_TUNNEL_GATHER) {
                // A watched or cut connection keeps its state: the client may still send.
                SetStateLocked(flow, FLOW_STATE_FINISHED);
            }
        }
        if (pending) {
            if (!injected) {
                DropConnection(segment.packet, segment.out);
            } else {
                Absorb(segment.packet, segment.out);
            }
        } else if (state == FLOW_STATE_BLOCKED && length > 0) {
            DropConnection(segment.packet, segment.out);
        } else {
            Permit(segment.packet, segment.out, segment.filter);
        }
        return;
    }

    uint32_t state = flow->state.load();
    if (state == FLOW_STATE_BLOCKED && length > 0) {
        Absorb(segment.packet, segment.out);
        return;
    }
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
        if (state == FLOW_STATE_TLS_HELLO) {
            // A TLS connection whose server flight cannot be read is judged by what the client
            // named, or by its destination.
            PermitOrDropOnFailure(segment, ServerFlightUnread(segment));
            return;
        }
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
    uint32_t state = flow->state.load();
    if ((IsLookupPending(state) || flow->helloForwarding.load()) && HoldWhilePending(segment)) {
        return;
    }
    state = flow->state.load();
    if (IsWatched(state)) {
        WatchOutbound(segment);
        return;
    }
    if (state == FLOW_STATE_BLOCKED || state == FLOW_STATE_DRAINING) {
        ClosedOutbound(segment, state);
        return;
    }
    if (state == FLOW_STATE_TUNNEL_GATHER) {
        TunnelGatherOutbound(segment);
        return;
    }
    // Data that comes with the client's FIN is parsed too: a request sent and closed at once is
    // still a request.
    if (state != FLOW_STATE_NEW || segment.Data().dataLength == 0) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    PARSE_BUFFER buffer(segment.Data().dataLength);
    if (!buffer) {
        // These bytes go on unread: the next look starts a new head, not this one grown.
        flow->moreRequested = false;
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    os::FwpsCopyStreamDataToBuffer(segment.Data(), buffer.Span());
    ParseOutbound(segment, buffer.Span());
}

void STREAM_FILTER::ClosedOutbound(SEGMENT& segment, uint32_t state) {
    const bool fin = (segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0;
    if (segment.Data().dataLength == 0) {
        Permit(segment.packet, segment.out, segment.filter);
    } else if (!fin) {
        Absorb(segment.packet, segment.out);
    } else if (state == FLOW_STATE_DRAINING) {
        // The server was already sent a FIN: the direction is closed and the data goes nowhere.
        Permit(segment.packet, segment.out, segment.filter);
    } else {
        // Absorbing would consume the FIN as well and leave the direction open for good.
        DropConnection(segment.packet, segment.out);
    }
}

void STREAM_FILTER::WatchOutbound(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    const size_t length = segment.Data().dataLength;
    HTTP_FRAMING& framing = flow->framing;
    if (flow->http2) {
        Http2WatchOutbound(segment);
        return;
    }
    if (flow->state.load() == FLOW_STATE_HTTP_WATCH) {
        if (length == 0 || framing.SkipBody(length)) {
            Permit(segment.packet, segment.out, segment.filter);
            return;
        }
        PARSE_BUFFER buffer(length);
        if (!buffer) {
            // The next request's start could not be found any more.
            DropConnection(segment.packet, segment.out);
            return;
        }
        os::FwpsCopyStreamDataToBuffer(segment.Data(), buffer.Span());
        size_t offset = 0;
        for (;;) {
            HTTP_FRAMING::RESULT step = framing.Feed(buffer.Span().subspan(offset));
            offset += step.consumed;
            if (step.step == HTTP_FRAMING::Step::HeadEnd) {
                continue;  // the rest of a head that was already judged
            }
            if (step.step == HTTP_FRAMING::Step::Consumed) {
                Permit(segment.packet, segment.out, segment.filter);
                return;
            }
            if (step.step == HTTP_FRAMING::Step::Tunnel) {
                // What follows the allowed CONNECT head is a new connection's first bytes; the
                // engine indicates them again, to be read as such.
                framing.Reset();
                flow->moreRequested = false;
                {
                    std::lock_guard guard(flowLock_);
                    flow->inTunnel = 1;
                    SetStateLocked(flow, FLOW_STATE_NEW);
                }
                if (offset == 0) {
                    ParseOutbound(segment, buffer.Span());
                    return;
                }
                Permit(segment.packet, segment.out, segment.filter);
                if (offset < length) {
                    segment.packet.countBytesEnforced = offset;
                }
                return;
            }
            if (step.step == HTTP_FRAMING::Step::Error) {
                DropConnection(segment.packet, segment.out);
                return;
            }
            break;  // a request starts at `offset`
        }
        if (offset > 0) {
            // What came before belongs to the request already allowed; the engine indicates the
            // rest again, starting at the new request.
            Permit(segment.packet, segment.out, segment.filter);
            segment.packet.countBytesEnforced = offset;
            return;
        }
        flow->upgradeOffered = framing.UpgradeOffered() ? 1 : 0;
        framing.BeginRequest();
    }
    HELD_DATA held;
    if (GatherSegment(segment, held, FLOW_STATE_HTTP_GATHER)) {
        AdvanceHttp(flow, held, false);
        Absorb(segment.packet, segment.out);
    }
}

bool STREAM_FILTER::GatherSegment(SEGMENT& segment, HELD_DATA& held, FLOW_STATE state) {
    FLOW* flow = segment.flow;
    const size_t length = segment.Data().dataLength;
    os::NetBufferListChain clone;
    if (length > 0 && !os::NT_SUCCESS(os::FwpsCloneStreamData(segment.Data(), clone))) {
        DropConnection(segment.packet, segment.out);
        return false;
    }
    std::lock_guard guard(flowLock_);
    held.data = std::move(flow->heldData);
    held.bytes = flow->heldBytes;
    held.scanOffset = flow->scanOffset;
    flow->heldBytes = 0;
    flow->scanOffset = 0;
    if (!clone.Empty()) {
        ReferenceFlow(flow, static_cast<int32_t>(clone.Count()));
        held.bytes += static_cast<uint32_t>(length);
        held.data.Append(std::move(clone));
    }
    if ((segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0) {
        flow->clientFinSeen = 1;
    }
    held.clientFinSeen = flow->clientFinSeen != 0;
    SetStateLocked(flow, state);
    return true;
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
    if (!IsLookupPending(flow->state.load()) && !flow->helloForwarding.load()) {
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

void STREAM_FILTER::HelloUnread(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    flow->moreRequested = false;
    bool queued = false;
    {
        std::lock_guard guard(flowLock_);
        if (flow->state.load() == FLOW_STATE_NEW) {
            flow->helloUnread = 1;
            SetStateLocked(flow, FLOW_STATE_TLS_HELLO);
            if (flow->inTunnel != 0) {
                if (UnreadHelloClosesLocked(flow)) {
                    DropConnection(segment.packet, segment.out);
                    return;
                }
                queued = QueueTlsLocked(segment, flow);
            }
        }
    }
    if (queued) {
        lookupEvent_.Set();
    }
    DriverPrintAndLog(
        "WexoW: ClassifyTls: FC#%ld, a TLS handshake that is no readable client hello; judged "
        "by the server's certificate or the destination\n\n",
        static_cast<long>(flow->flowNumber));
    Permit(segment.packet, segment.out, segment.filter);
}

void STREAM_FILTER::RefuseEncryptedDns(SEGMENT& segment, std::string_view name) {
    if (name.empty()) {
        name = "known by its address";
    }
    DriverPrintAndLog(
        "WexoW: ClassifyTls: FC#%ld, a connection to an encrypted-DNS resolver (%.*s); closed, so "
        "that lookups go to the system resolver\n\n",
        static_cast<long>(segment.flow->flowNumber), static_cast<int>(name.size()), name.data());
    segment.flow->moreRequested = false;
    DropConnection(segment.packet, segment.out);
}

void STREAM_FILTER::AskForMore(SEGMENT& segment, std::span<const uint8_t> bytes, uint32_t missing,
                               uint32_t limit) {
    FLOW* flow = segment.flow;
    uint64_t required = uint64_t{bytes.size()} + missing;
    if (required > limit) {
        PassUninspected(segment);
        return;
    }
    flow->moreRequested = true;
    NeedMoreData(segment.packet, segment.out, static_cast<uint32_t>(required));
}

void STREAM_FILTER::ParseOutbound(SEGMENT& segment, std::span<const uint8_t> bytes) {
    FLOW* flow = segment.flow;
    if (!flow->moreRequested) {
        // These bytes are not the last look's grown longer: nothing read then applies.
        flow->headScan = {};
    }
    const bool fin = (segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0;
    if (flow->inTunnel == 0 && BeginsTlsRecord(bytes) &&
        encryptedDns_.IsEndpointAddress(RemoteAddressOf(segment))) {
        RefuseEncryptedDns(segment, {});
        return;
    }
    TLS_CLIENT_HELLO hello;
    TLS_PARSE_OUTCOME tls = ParseTlsClientHello(bytes, hello);
    if (tls.status == TlsParseStatus::Incomplete) {
        if (!fin && uint64_t{bytes.size()} + tls.missing <= kMaxFirstRequestBytes) {
            flow->moreRequested = true;
            NeedMoreData(segment.packet, segment.out,
                         static_cast<uint32_t>(bytes.size() + tls.missing));
            return;
        }
        // A hello that never ends within what a hello may take (a client can pad one out with
        // empty records) names nothing a server would not read too.
        HelloUnread(segment);
        return;
    }
    if (tls.status == TlsParseStatus::NotRecognised && BeginsTlsRecord(bytes)) {
        HelloUnread(segment);
        return;
    }
    if (tls.status == TlsParseStatus::Complete) {
        flow->moreRequested = false;
        if (encryptedDns_.IsEndpointName(hello.serverName.Text())) {
            RefuseEncryptedDns(segment, hello.serverName.Text());
            return;
        }
        if (hello.offersEch) {
            // The name that decides is the shared front name the hello shows outside; the one the
            // client means is sealed inside. Said here, so that a debug log explains a verdict
            // that looks wrong for the site the user saw.
            std::string_view outer = hello.serverName.Text();
            DriverPrintAndLog(
                "WexoW: ClassifyTls: FC#%ld, the client hello offers Encrypted "
                "Client Hello; judged by its outer name \"%.*s\"\n\n",
                static_cast<long>(flow->flowNumber), static_cast<int>(outer.size()), outer.data());
        }
        FlowNamesPtr names;
        if (!hello.serverName.Empty()) {
            names.reset(FLOW_NAMES::Create(hello.serverName.Text(), {}, {}));
            if (!names) {
                PermitOrDropOnFailure(segment, Result::Failure);
                return;
            }
        }
        // A name the destination was never answered for may be borrowed: the hello waits until
        // the connection toward the server goes to one of that name's own addresses.
        const bool retarget = names && flow->inTunnel == 0 && NameMayBeBorrowed(segment, *names);
        os::NetBufferListChain helloData;
        if (retarget && !os::NT_SUCCESS(os::FwpsCloneStreamData(segment.Data(), helloData))) {
            DropConnection(segment.packet, segment.out);
            return;
        }
        bool queued = false;
        bool held = false;
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
                if (flow->inTunnel != 0) {
                    queued = QueueTlsLocked(segment, flow);
                } else if (retarget) {
                    RecordLookupTargetLocked(segment);
                    if (QueueForLookupLocked(flow)) {
                        ReferenceFlow(flow, static_cast<int32_t>(helloData.Count()));
                        flow->heldBytes = static_cast<uint32_t>(segment.Data().dataLength);
                        flow->heldData = std::move(helloData);
                        flow->clientFinSeen = fin ? 1 : 0;
                        SetStateLocked(flow, FLOW_STATE_TLS_RETARGET);
                        queued = held = true;
                    }
                }
            }
        }
        helloData.Clear();
        if (queued) {
            lookupEvent_.Set();
        }
        if (held) {
            Absorb(segment.packet, segment.out);
        } else {
            Permit(segment.packet, segment.out, segment.filter);
        }
        return;
    }

    if (IsHttp2PrefaceStart(bytes) && Http2First(segment, bytes)) {
        return;
    }
    HTTP_REQUEST request;
    // No more bytes are coming, or no more may be asked for: what is there is judged.
    const bool last = fin || uint64_t{bytes.size()} + 1 > kMaxRequestHeadBytes;
    HTTP_PARSE_OUTCOME http = ParseHttpRequest(bytes, request, last, &flow->headScan);
    switch (http.status) {
        case HttpParseStatus::NotHttp:
            // Bytes that were the beginning of a hello or a request and turned out not to be one
            // end inspection; first bytes of another protocol leave it open.
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
            if (!last) {
                // One byte more may complete it (a client can send the final line end on its
                // own): waiting for more than that could stall a request that is already whole.
                AskForMore(segment, bytes, 1, kMaxRequestHeadBytes);
                return;
            }
            // Not even the request line is whole: the connection is judged by its destination.
            request.Reset();
            [[fallthrough]];
        case HttpParseStatus::Complete:
            flow->moreRequested = false;
            if (HttpRequest(segment, bytes, request) == Result::Failure) {
                PermitOrDropOnFailure(segment, Result::Failure);
            }
            return;
    }
}

// ---- Lookups ----

void STREAM_FILTER::RecordLookupTargetLocked(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    // The destination was recorded when the flow was made; it is read without the lock.
    flow->flowId = segment.metadata.flowHandle;
    flow->calloutId = segment.filter.action.calloutId;
    flow->layerId = segment.values.layerId;
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

STREAM_FILTER::Result STREAM_FILTER::HttpRequest(SEGMENT& segment, std::span<const uint8_t> bytes,
                                                 const HTTP_REQUEST& request) {
    FLOW* flow = segment.flow;
    if (request.HostConflict() || request.Ambiguous()) {
        // Servers differ in which of the hosts they serve, or in how they read the head: it
        // cannot be judged as any of them would see it.
        DropConnection(segment.packet, segment.out);
        return Result::Success;
    }
    HTTP_FRAMING& framing = flow->framing;
    framing.Reset();
    // An HTTP/0.9 request ends at its line: the framing starts afresh after it, so whatever
    // follows is the next request (a server that reads a header block after the line would
    // serve by it), judged or ending the connection as any later request.
    HTTP_FRAMING::RESULT step{HTTP_FRAMING::Step::HeadEnd, request.SimpleRequestLength()};
    if (step.consumed == 0) {
        framing.BeginRequest();
        step = framing.Feed(bytes);
    }
    if (step.step == HTTP_FRAMING::Step::Error) {
        // Where this request ends, and so where the next one starts, cannot be known.
        DropConnection(segment.packet, segment.out);
        return Result::Success;
    }
    if (ServiceDomainPasses(IsServiceDomainRequest(request), flow)) {
        std::lock_guard guard(flowLock_);
        if (flow->state.load() != FLOW_STATE_NEW) {
            return Result::Failure;
        }
        // Our own servers are not looked up, but the requests after this one still are, and so is
        // the connection a CONNECT opens through them.
        const bool tunnel = step.step == HTTP_FRAMING::Step::Tunnel;
        if (tunnel) {
            framing.Reset();
            flow->inTunnel = 1;
        }
        SetStateLocked(flow, tunnel ? FLOW_STATE_NEW : FLOW_STATE_HTTP_WATCH);
        Permit(segment.packet, segment.out, segment.filter);
        if ((tunnel || step.step == HTTP_FRAMING::Step::HeadEnd) && step.consumed < bytes.size()) {
            segment.packet.countBytesEnforced = step.consumed;
        }
        return Result::Success;
    }
    FlowNamesPtr names(FLOW_NAMES::Create(request.Host(), request.Path(), request.ProxyPrefix()));
    if (!names) {
        return Result::Failure;
    }
    return QueueFirstRequest(segment, std::move(names), step.consumed);
}

STREAM_FILTER::Result STREAM_FILTER::QueueFirstRequest(SEGMENT& segment, FlowNamesPtr names,
                                                       size_t scanOffset) {
    FLOW* flow = segment.flow;
    const bool fin = (segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0;
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
        SetStateLocked(flow, FLOW_STATE_HTTP_PARSED);
        flow->names = std::move(names);
        RecordLookupTargetLocked(segment);
        uint32_t lists = static_cast<uint32_t>(clone.Count());
        ReferenceFlow(flow, static_cast<int32_t>(lists));
        flow->heldBytes += static_cast<uint32_t>(clone.DataLength());
        flow->scanOffset = static_cast<uint32_t>(scanOffset);
        // Inside a tunnel the proxy's own answer may be on its way: a block cannot answer with a
        // redirect there either.
        flow->laterRequest = flow->inTunnel;
        flow->heldData.Append(std::move(clone));
        if (fin) {
            flow->clientFinSeen = 1;
        }
        if (QueueForLookupLocked(flow)) {
            SetStateLocked(flow, FLOW_STATE_HTTP_LOOKUP);
        } else {
            unqueued = std::move(flow->heldData);
            flow->heldBytes = 0;
            flow->scanOffset = 0;
            flow->clientFinSeen = 0;
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
        const TlsName certificate = TlsNameLocked(segment, commonName);
        if (state == FLOW_STATE_NEW && certificate != TlsName::Pass) {
            SetStateLocked(flow, FLOW_STATE_TLS_FLIGHT);
            if (certificate == TlsName::Judge) {
                flow->names = std::move(names);
            }
            queue();
        } else if (state == FLOW_STATE_TLS_HELLO) {
            CompareSessionIdsLocked(flow, tls13, serverSessionId);
            SetStateLocked(flow, FLOW_STATE_TLS_FLIGHT);
            // The server name the client asked for wins over the certificate.
            const TlsName asked =
                flow->names ? TlsNameLocked(segment, flow->names->Host()) : certificate;
            if (asked == TlsName::Pass) {
                flow->names.reset();
                SetStateLocked(flow, FLOW_STATE_PASSED);
            } else {
                if (asked == TlsName::ByAddress) {
                    flow->names.reset();
                } else if (!flow->names) {
                    flow->names = std::move(names);
                }
                queue();
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

STREAM_FILTER::TlsName STREAM_FILTER::TlsNameLocked(SEGMENT& segment, std::string_view host) {
    if (!IsServiceDomainHost(host)) {
        return TlsName::Judge;
    }
    // Any server can present our name; only the addresses our names were answered with are ours.
    return addressNames_.WasGivenForServiceDomain(RemoteAddressOf(segment)) ? TlsName::Pass
                                                                            : TlsName::ByAddress;
}

ADDRESS_KEY STREAM_FILTER::RemoteAddressOf(const SEGMENT& segment) {
    if (segment.values.layerId == os::FWPS_LAYER_STREAM_V4) {
        const uint32_t v4 = segment.values.remoteAddressV4;
        const uint8_t bytes[4] = {static_cast<uint8_t>(v4 >> 24), static_cast<uint8_t>(v4 >> 16),
                                  static_cast<uint8_t>(v4 >> 8), static_cast<uint8_t>(v4)};
        return MakeAddressKey(bytes, 4);
    }
    return MakeAddressKey(segment.values.remoteAddressV6.data(), 16);
}

bool STREAM_FILTER::NameMayBeBorrowed(SEGMENT& segment, const FLOW_NAMES& names) {
    // The service domain's names are judged by where they go (TlsNameLocked), not moved.
    return !IsServiceDomainHost(names.Host()) &&
           os::FwpsStreamCanRedirectServer(segment.metadata.flowHandle) &&
           !addressNames_.WasGivenFor(RemoteAddressOf(segment), names.Host());
}

void STREAM_FILTER::ResumeHello(FLOW* flow, HELD_DATA& held) {
    {
        // Waiting for the server's flight from here on; what the client sends meanwhile is held
        // behind the hello until the hello is out.
        std::lock_guard guard(flowLock_);
        flow->helloForwarding.store(true);
        if (flow->state.load() == FLOW_STATE_TLS_RETARGET) {
            SetStateLocked(flow, FLOW_STATE_TLS_HELLO);
        }
    }
    for (;;) {
        Forward(flow, held);
        std::lock_guard guard(flowLock_);
        const bool waiting = flow->state.load() == FLOW_STATE_TLS_HELLO;
        if (flow->heldData.Empty() || !waiting) {
            // Once the server's flight has queued the lookup, what is held (and the FIN) waits
            // for its verdict instead.
            held.clientFinSeen = waiting && flow->clientFinSeen != 0;
            if (waiting) {
                flow->clientFinSeen = 0;
            }
            flow->helloForwarding.store(false);
            break;
        }
        held.data = std::move(flow->heldData);
        held.bytes = flow->heldBytes;
        flow->heldBytes = 0;
    }
    if (held.clientFinSeen) {
        InjectFin(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
    }
}

bool STREAM_FILTER::ServiceDomainPasses(bool serviceDomain, FLOW* flow) {
    if (!serviceDomain) {
        return false;
    }
    if (addressNames_.WasGivenForServiceDomain(
            MakeAddressKey(flow->remoteAddress, flow->addressLength))) {
        return true;
    }
    // Any web server can be asked for our name, and many answer with what they serve anyway.
    flow->judgeDestinationToo.store(true);
    return false;
}

bool STREAM_FILTER::PassesAsServiceDomainLocked(SEGMENT& segment, FLOW* flow) {
    if (!flow->names) {
        return false;
    }
    switch (TlsNameLocked(segment, flow->names->Host())) {
        case TlsName::Pass:
            flow->names.reset();
            SetStateLocked(flow, FLOW_STATE_PASSED);
            return true;
        case TlsName::ByAddress:
            flow->names.reset();
            return false;
        case TlsName::Judge:
            return false;
    }
    return false;
}

bool STREAM_FILTER::UnreadHelloClosesLocked(FLOW* flow) {
    // Neither a name nor a certificate: with block-on-failure that is a failure to judge, not a
    // lookup by address that a client could steer with a hello no parse reads.
    if (flow->helloUnread == 0 || flow->names || !blockOnFailure_.load()) {
        return false;
    }
    SetStateLocked(flow, FLOW_STATE_FINISHED);
    return true;
}

bool STREAM_FILTER::QueueTlsLocked(SEGMENT& segment, FLOW* flow) {
    RecordLookupTargetLocked(segment);
    if (!QueueForLookupLocked(flow)) {
        flow->names.reset();
        SetStateLocked(flow, FLOW_STATE_PASSED);
        return false;
    }
    SetStateLocked(flow, FLOW_STATE_TLS_LOOKUP);
    return true;
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
        // Without a server name and a readable certificate (TLS 1.3 encrypts it) the connection
        // is looked up by its destination address.
        if (!resumed && PassesAsServiceDomainLocked(segment, flow)) {
            return Result::Success;
        }
        if (UnreadHelloClosesLocked(flow)) {
            return Result::Failure;
        }
        if (!QueueTlsLocked(segment, flow)) {
            return Result::Failure;
        }
    }
    lookupEvent_.Set();
    return Result::Success;
}

STREAM_FILTER::Result STREAM_FILTER::ServerFlightUnread(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    {
        std::lock_guard guard(flowLock_);
        if (flow->state.load() != FLOW_STATE_TLS_HELLO) {
            return Result::Success;
        }
        SetStateLocked(flow, FLOW_STATE_TLS_FLIGHT);
        if (PassesAsServiceDomainLocked(segment, flow)) {
            return Result::Success;
        }
        if (UnreadHelloClosesLocked(flow)) {
            return Result::Failure;
        }
        if (!QueueTlsLocked(segment, flow)) {
            return Result::Failure;
        }
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
    held.scanOffset = flow->scanOffset;
    held.clientFinSeen = flow->clientFinSeen != 0;
    held.serverFinSeen = flow->serverFinSeen != 0;
    flow->heldBytes = 0;
    flow->scanOffset = 0;
    return held;
}

bool STREAM_FILTER::EndLookup(FLOW* flow, FLOW_STATE state, HELD_DATA& late) {
    std::lock_guard guard(flowLock_);
    late.clientFinSeen = flow->clientFinSeen != 0;
    late.serverFinSeen = flow->serverFinSeen != 0;
    if (!flow->heldData.Empty()) {
        late.data = std::move(flow->heldData);
        late.bytes = flow->heldBytes;
        late.scanOffset = 0;
        flow->heldBytes = 0;
        return false;
    }
    late.bytes = 0;
    late.scanOffset = 0;
    flow->names.reset();
    // The FINs are the caller's to reproduce now.
    flow->clientFinSeen = 0;
    flow->serverFinSeen = 0;
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
            flow->scanOffset = 0;
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

// ---- Later requests of an HTTP connection ----

void ForwardHeldData(const os::INJECTION_HANDLE* injection, FLOW* flow, HELD_DATA& held) {
    if (held.data.Empty()) {
        held.bytes = 0;
        return;
    }
    auto release = [flow](os::NetBufferListChain data, os::NTSTATUS) {
        size_t lists = data.Count();
        data.Clear();
        for (size_t i = 0; i < lists; ++i) {
            ReleaseFlow(flow);
        }
    };
    size_t bytes = held.data.DataLength();
    os::NTSTATUS status = injection == nullptr
                              ? os::STATUS_INVALID_HANDLE
                              : os::FwpsStreamInjectAsync(*injection, flow->flowId, flow->calloutId,
                                                          flow->layerId, os::FWPS_STREAM_FLAG_SEND,
                                                          std::move(held.data), bytes, release);
    if (!os::NT_SUCCESS(status)) {
        // Data that cannot be forwarded is discarded.
        STREAM_FILTER::DiscardHeldData(flow, held);
    }
    held.bytes = 0;
}

void InjectEmptySegment(const os::INJECTION_HANDLE* injection, FLOW* flow, uint32_t flags) {
    if (injection != nullptr) {
        os::FwpsStreamInjectAsync(*injection, flow->flowId, flow->calloutId, flow->layerId, flags,
                                  {}, 0, nullptr);
    }
}

void STREAM_FILTER::Forward(FLOW* flow, HELD_DATA& held) {
    ForwardHeldData(injection_.load(), flow, held);
}

void STREAM_FILTER::InjectFin(FLOW* flow, uint32_t flags) {
    InjectEmptySegment(injection_.load(), flow, flags);
}

void STREAM_FILTER::InjectHeldFins(FLOW* flow, const HELD_DATA& held) {
    if (held.clientFinSeen) {
        InjectFin(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
    }
    if (held.serverFinSeen) {
        InjectFin(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
    }
}

void STREAM_FILTER::EndWithHeldDiscarded(FLOW* flow, HELD_DATA& held, FLOW_STATE state) {
    for (;;) {
        DiscardHeldData(flow, held);
        if (EndLookup(flow, state, held)) {
            return;
        }
    }
}

void STREAM_FILTER::Drain(FLOW* flow, HELD_DATA& held) {
    EndWithHeldDiscarded(flow, held, FLOW_STATE_DRAINING);
    flow->framing.Reset();
    // The server answers what it already has and closes; its FIN then closes the client's side.
    InjectFin(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
    if (held.serverFinSeen) {
        InjectFin(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
    }
}

STREAM_FILTER::HeadNames STREAM_FILTER::NamesOfHeldHead(const HELD_DATA& held, bool whole,
                                                        FlowNamesPtr& names, bool& serviceDomain) {
    serviceDomain = false;
    size_t size = std::min<size_t>(held.bytes, kMaxRequestHeadBytes);
    PARSE_BUFFER buffer(size);
    if (!buffer) {
        return HeadNames::NoMemory;
    }
    size = CopyChain(held.data, 0, buffer.Span());
    HTTP_REQUEST request;
    HTTP_PARSE_OUTCOME outcome = ParseHttpRequest(buffer.Span().first(size), request, true);
    if (outcome.status == HttpParseStatus::NotHttp) {
        return HeadNames::NotHttp;
    }
    // Still incomplete here means not even the request line is whole. When the client closed, no
    // server can read a request from it; at the size bound it is judged by its destination.
    if (outcome.status == HttpParseStatus::Incomplete && held.clientFinSeen && !whole) {
        return HeadNames::NotHttp;
    }
    if (request.HostConflict() || request.Ambiguous()) {
        return HeadNames::Conflict;
    }
    serviceDomain = IsServiceDomainRequest(request);
    names.reset(FLOW_NAMES::Create(request.Host(), request.Path(), request.ProxyPrefix()));
    return names ? HeadNames::Judge : HeadNames::NoMemory;
}

bool STREAM_FILTER::QueueLaterRequestLocked(FLOW* flow, HELD_DATA& held, FlowNamesPtr names) {
    if (!flow->heldData.Empty()) {
        // What the client sent meanwhile follows the head; the reader has not taken it yet.
        held.bytes += flow->heldBytes;
        held.data.Append(std::move(flow->heldData));
        flow->heldBytes = 0;
    }
    flow->heldData = std::move(held.data);
    flow->heldBytes = held.bytes;
    flow->scanOffset = held.scanOffset;
    flow->names = std::move(names);
    flow->laterRequest = 1;
    held.bytes = 0;
    if (!QueueForLookupLocked(flow)) {
        held.data = std::move(flow->heldData);
        held.bytes = flow->heldBytes;
        flow->heldBytes = 0;
        flow->names.reset();
        return false;
    }
    SetStateLocked(flow, FLOW_STATE_HTTP_LOOKUP);
    return true;
}

void STREAM_FILTER::QueueLaterRequest(FLOW* flow, HELD_DATA& held, FlowNamesPtr names) {
    bool queued;
    {
        std::lock_guard guard(flowLock_);
        queued = QueueLaterRequestLocked(flow, held, std::move(names));
    }
    if (!queued) {
        Drain(flow, held);
        return;
    }
    lookupEvent_.Set();
}

bool STREAM_FILTER::ForwardFront(FLOW* flow, HELD_DATA& held, size_t bytes) {
    HELD_DATA front;
    if (!SplitChain(flow, held.data, bytes, front.data)) {
        return false;
    }
    Forward(flow, front);
    held.bytes -= static_cast<uint32_t>(bytes);
    return true;
}

void STREAM_FILTER::AdvanceHttp(FLOW* flow, HELD_DATA& held, bool requestAllowed,
                                bool tunnelStart) {
    if (flow->http2 && !tunnelStart) {
        AdvanceHttp2(flow, held);
        return;
    }
    HTTP_FRAMING& framing = flow->framing;
    auto finish = [&](FLOW_STATE state, bool forward) {
        for (;;) {
            if (forward) {
                Forward(flow, held);
            } else {
                DiscardHeldData(flow, held);
            }
            if (EndLookup(flow, state, held)) {
                break;
            }
        }
        InjectHeldFins(flow, held);
    };

    for (;;) {
        if (tunnelStart) {
            tunnelStart = false;
            if (JudgeTunnelStart(flow, held)) {
                return;
            }
            // An HTTP request inside the tunnel: judged as a connection's first one is.
            framing.Reset();
            flow->upgradeOffered = 0;
            framing.BeginRequest();
            held.scanOffset = 0;
            requestAllowed = false;
            continue;
        }
        if (framing.InHead() && !requestAllowed) {
            // Gathering the head of a later request.
            HTTP_FRAMING::RESULT step = FeedChain(framing, held.data, held.scanOffset);
            if (step.step == HTTP_FRAMING::Step::Error) {
                Drain(flow, held);
                return;
            }
            held.scanOffset = static_cast<uint32_t>(step.consumed);
            const bool whole =
                step.step == HTTP_FRAMING::Step::HeadEnd || step.step == HTTP_FRAMING::Step::Tunnel;
            if (!whole && held.bytes < kMaxRequestHeadBytes && !held.clientFinSeen) {
                FlowNamesPtr unused;
                bool serviceDomain;
                if (held.bytes <= kEarlyHttpCheckBytes &&
                    NamesOfHeldHead(held, false, unused, serviceDomain) == HeadNames::NotHttp) {
                    if (!UnreadRequestPasses(flow)) {
                        Drain(flow, held);
                        return;
                    }
                    framing.Reset();
                    finish(FLOW_STATE_PASSED, true);
                    return;
                }
                std::unique_lock guard(flowLock_);
                held.clientFinSeen = held.clientFinSeen || flow->clientFinSeen != 0;
                if (!flow->heldData.Empty()) {
                    // What the client sent meanwhile continues the head.
                    held.bytes += flow->heldBytes;
                    held.data.Append(std::move(flow->heldData));
                    flow->heldBytes = 0;
                    continue;
                }
                if (held.clientFinSeen) {
                    // The client closed while the lookup was pending: no more of the head is
                    // coming and no classify will gather it, so it is judged now.
                    continue;
                }
                if (flow->deleted != 0 || unloading_.load()) {
                    // No classify and no flow-delete will come for it any more.
                    guard.unlock();
                    EndWithHeldDiscarded(flow, held, FLOW_STATE_FINISHED);
                    return;
                }
                flow->heldData = std::move(held.data);
                flow->heldBytes = held.bytes;
                flow->scanOffset = held.scanOffset;
                flow->names.reset();
                SetStateLocked(flow, FLOW_STATE_HTTP_GATHER);
                return;
            }
            FlowNamesPtr names;
            bool serviceDomain = false;
            switch (NamesOfHeldHead(held, whole, names, serviceDomain)) {
                case HeadNames::NotHttp:
                    if (!UnreadRequestPasses(flow)) {
                        Drain(flow, held);
                        return;
                    }
                    framing.Reset();
                    finish(FLOW_STATE_PASSED, true);
                    return;
                case HeadNames::Conflict:
                    Drain(flow, held);
                    return;
                case HeadNames::NoMemory:
                    if (blockOnFailure_.load()) {
                        Drain(flow, held);
                        return;
                    }
                    requestAllowed = true;
                    continue;
                case HeadNames::Judge:
                    break;
            }
            if (ServiceDomainPasses(serviceDomain, flow)) {
                requestAllowed = true;
                continue;
            }
            QueueLaterRequest(flow, held, std::move(names));
            return;
        }

        // Forwarding what belongs to the allowed request.
        HTTP_FRAMING::RESULT step = FeedChain(framing, held.data, held.scanOffset);
        switch (step.step) {
            case HTTP_FRAMING::Step::HeadEnd:
                held.scanOffset = static_cast<uint32_t>(step.consumed);
                continue;
            case HTTP_FRAMING::Step::Consumed: {
                Forward(flow, held);
                // What the client sent meanwhile is read like the rest before the flow is watched
                // again: it may hold a request.
                HELD_DATA late;
                if (!EndLookup(flow, FLOW_STATE_HTTP_WATCH, late)) {
                    held = std::move(late);
                    continue;
                }
                InjectHeldFins(flow, late);
                return;
            }
            case HTTP_FRAMING::Step::RequestStart: {
                if (!ForwardFront(flow, held, step.consumed)) {
                    Drain(flow, held);
                    return;
                }
                held.scanOffset = 0;
                flow->upgradeOffered = framing.UpgradeOffered() ? 1 : 0;
                framing.BeginRequest();
                requestAllowed = false;
                continue;
            }
            case HTTP_FRAMING::Step::Tunnel:
                // An allowed CONNECT: what follows is a new connection's first bytes, and is
                // judged as those are before any of it goes on.
                if (!ForwardFront(flow, held, step.consumed)) {
                    Drain(flow, held);
                    return;
                }
                held.scanOffset = 0;
                flow->inTunnel = 1;
                tunnelStart = true;
                continue;
            case HTTP_FRAMING::Step::Error:
                Drain(flow, held);
                return;
        }
    }
}

// ---- The connection inside a CONNECT tunnel ----

bool STREAM_FILTER::UnreadRequestPasses(const FLOW* flow) const {
    return flow->upgradeOffered != 0;
}

void STREAM_FILTER::ForwardAndPass(FLOW* flow, HELD_DATA& held) {
    for (;;) {
        Forward(flow, held);
        if (EndLookup(flow, FLOW_STATE_PASSED, held)) {
            break;
        }
    }
    InjectHeldFins(flow, held);
}

void STREAM_FILTER::QueueTunnelTls(FLOW* flow, HELD_DATA& held, FlowNamesPtr names,
                                   std::span<const uint8_t> sessionId, bool unread) {
    if (unread && !names && blockOnFailure_.load()) {
        Drain(flow, held);
        return;
    }
    bool queued;
    {
        // The hello waits with what follows it: a blocked name never reaches the server.
        std::lock_guard guard(flowLock_);
        if (!flow->heldData.Empty()) {
            held.bytes += flow->heldBytes;
            held.data.Append(std::move(flow->heldData));
        }
        flow->heldData = std::move(held.data);
        flow->heldBytes = held.bytes;
        flow->scanOffset = 0;
        held.bytes = 0;
        flow->names = std::move(names);
        size_t length = std::min(sessionId.size(), sizeof(flow->sessionId));
        if (length > 0) {
            std::memcpy(flow->sessionId, sessionId.data(), length);
        }
        flow->sessionIdLength = static_cast<uint32_t>(length);
        flow->helloUnread = unread ? 1 : 0;
        flow->laterRequest = 0;
        // The lookup target (the tunnel's destination) was recorded for the CONNECT.
        queued = QueueForLookupLocked(flow);
        if (queued) {
            SetStateLocked(flow, FLOW_STATE_TLS_LOOKUP);
        } else {
            held.data = std::move(flow->heldData);
            held.bytes = flow->heldBytes;
            flow->heldBytes = 0;
            flow->names.reset();
        }
    }
    if (queued) {
        lookupEvent_.Set();
    } else {
        EndWithHeldDiscarded(flow, held, FLOW_STATE_FINISHED);
        InjectHeldFins(flow, held);
    }
}

bool STREAM_FILTER::JudgeTunnelStart(FLOW* flow, HELD_DATA& held) {
    flow->http2.reset();
    flow->moreRequested = false;
    flow->headScan = {};
    for (;;) {
        if (held.data.Empty()) {
            // Nothing of the inner connection yet: its first bytes come to the classify.
            HELD_DATA late;
            if (!EndLookup(flow, FLOW_STATE_NEW, late)) {
                held = std::move(late);
                continue;
            }
            InjectHeldFins(flow, late);
            return true;
        }
        size_t size = std::min<size_t>(held.bytes, kMaxFirstRequestBytes);
        PARSE_BUFFER buffer(size);
        if (!buffer) {
            Drain(flow, held);
            return true;
        }
        size = CopyChain(held.data, 0, buffer.Span());
        const std::span<const uint8_t> bytes = buffer.Span().first(size);
        // More may still come and be asked for.
        const bool more = !held.clientFinSeen && held.bytes < kMaxFirstRequestBytes;
        bool gather = false;
        TLS_CLIENT_HELLO hello;
        TLS_PARSE_OUTCOME tls = ParseTlsClientHello(bytes, hello);
        if (tls.status == TlsParseStatus::Complete) {
            FlowNamesPtr names;
            if (!hello.serverName.Empty()) {
                names.reset(FLOW_NAMES::Create(hello.serverName.Text(), {}, {}));
                if (!names) {
                    Drain(flow, held);
                    return true;
                }
            }
            if (encryptedDns_.IsEndpointName(hello.serverName.Text())) {
                DriverPrintAndLog(
                    "WexoW: ClassifyTls: FC#%ld, a connection to an encrypted-DNS resolver (%.*s); "
                    "closed, so that lookups go to the system resolver\n\n",
                    static_cast<long>(flow->flowNumber),
                    static_cast<int>(hello.serverName.Text().size()),
                    hello.serverName.Text().data());
                Drain(flow, held);
                return true;
            }
            QueueTunnelTls(flow, held, std::move(names), hello.sessionId.Bytes(), false);
            return true;
        }
        if (tls.status == TlsParseStatus::Incomplete) {
            gather = more && uint64_t{held.bytes} + tls.missing <= kMaxFirstRequestBytes;
            if (!gather) {
                QueueTunnelTls(flow, held, {}, {}, true);
                return true;
            }
        } else if (BeginsTlsRecord(bytes)) {
            QueueTunnelTls(flow, held, {}, {}, true);
            return true;
        } else if (IsHttp2PrefaceStart(bytes)) {
            if (bytes.size() < kHttp2PrefaceBytes && more) {
                gather = true;
            } else {
                flow->http2.emplace();
                AdvanceHttp2(flow, held);
                return true;
            }
        }
        if (!gather) {
            HTTP_REQUEST request;
            if (ParseHttpRequest(bytes, request, true).status != HttpParseStatus::NotHttp) {
                return false;
            }
            // Neither HTTP nor TLS: a protocol of its own, passed as on a direct connection.
            ForwardAndPass(flow, held);
            return true;
        }
        std::unique_lock guard(flowLock_);
        held.clientFinSeen = held.clientFinSeen || flow->clientFinSeen != 0;
        if (!flow->heldData.Empty()) {
            held.bytes += flow->heldBytes;
            held.data.Append(std::move(flow->heldData));
            flow->heldBytes = 0;
            continue;
        }
        if (held.clientFinSeen) {
            continue;  // nothing more is coming: judged with what is there
        }
        if (flow->deleted != 0 || unloading_.load()) {
            guard.unlock();
            EndWithHeldDiscarded(flow, held, FLOW_STATE_FINISHED);
            return true;
        }
        flow->heldData = std::move(held.data);
        flow->heldBytes = held.bytes;
        flow->scanOffset = 0;
        flow->names.reset();
        // A FIN the server sent while the CONNECT was looked up is its own: the client gets it.
        const bool serverFin = flow->serverFinSeen != 0;
        flow->serverFinSeen = 0;
        SetStateLocked(flow, FLOW_STATE_TUNNEL_GATHER);
        guard.unlock();
        if (serverFin) {
            InjectFin(flow, os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
        }
        return true;
    }
}

void STREAM_FILTER::TunnelGatherOutbound(SEGMENT& segment) {
    HELD_DATA held;
    if (GatherSegment(segment, held, FLOW_STATE_TUNNEL_GATHER)) {
        AdvanceHttp(segment.flow, held, false, true);
        Absorb(segment.packet, segment.out);
    }
}

// ---- HTTP/2 with prior knowledge ----

namespace {

enum class Http2Names { Judge, Conflict, NoMemory };

// The names of an HTTP/2 request as a server reads them: its :authority, else its Host field.
// Repeated or disagreeing names cannot be judged.
Http2Names NamesOfHttp2Request(const HTTP2_REQUEST& request, FlowNamesPtr& names,
                               bool& serviceDomain) {
    std::string_view authority = request.Authority();
    std::string_view hostField = request.Host();
    if (request.Repeated() ||
        (!authority.empty() && !hostField.empty() && !SameHost(authority, hostField))) {
        return Http2Names::Conflict;
    }
    std::string_view host = authority.empty() ? hostField : authority;
    serviceDomain = !host.empty() && IsServiceDomainHost(host);
    names.reset(FLOW_NAMES::Create(host, request.Path(), {}));
    return names ? Http2Names::Judge : Http2Names::NoMemory;
}

// Feeds a reader a chain's bytes from `from` on; the count is an offset in the whole chain.
HTTP2_REQUEST_READER::RESULT FeedChain2(HTTP2_REQUEST_READER& reader,
                                        const os::NetBufferListChain& chain, size_t from) {
    size_t base = 0;
    for (const os::NET_BUFFER_LIST* list = chain.Head(); list != nullptr; list = list->Next) {
        std::span<const uint8_t> data = list->Data();
        if (base + data.size() > from) {
            size_t skip = from > base ? from - base : 0;
            HTTP2_REQUEST_READER::RESULT step = reader.Feed(data.subspan(skip));
            if (step.step != HTTP2_REQUEST_READER::Step::NeedMore) {
                return {step.step, base + skip + step.consumed, 0};
            }
        }
        base += data.size();
    }
    return {HTTP2_REQUEST_READER::Step::NeedMore, std::max(base, from), 0};
}

}  // namespace

bool STREAM_FILTER::Http2First(SEGMENT& segment, std::span<const uint8_t> bytes) {
    FLOW* flow = segment.flow;
    const bool fin = (segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0;
    HTTP2_REQUEST_READER reader;
    HTTP2_REQUEST_READER::RESULT step = reader.Feed(bytes);
    FlowNamesPtr names;
    bool serviceDomain = false;
    switch (step.step) {
        case HTTP2_REQUEST_READER::Step::NotHttp2:
            return false;
        case HTTP2_REQUEST_READER::Step::Error:
            DropConnection(segment.packet, segment.out);
            return true;
        case HTTP2_REQUEST_READER::Step::NeedMore:
            if (!fin && uint64_t{bytes.size()} + std::max<uint32_t>(step.missing, 1) <=
                            kMaxRequestHeadBytes) {
                AskForMore(segment, bytes, std::max<uint32_t>(step.missing, 1),
                           kMaxRequestHeadBytes);
                return true;
            }
            // No request yet and no more to wait for: the destination decides.
            names.reset(FLOW_NAMES::Create({}, {}, {}));
            break;
        case HTTP2_REQUEST_READER::Step::Request:
            switch (NamesOfHttp2Request(reader.Request(), names, serviceDomain)) {
                case Http2Names::Conflict:
                    DropConnection(segment.packet, segment.out);
                    return true;
                case Http2Names::NoMemory:
                    PermitOrDropOnFailure(segment, Result::Failure);
                    return true;
                case Http2Names::Judge:
                    break;
            }
            break;
    }
    flow->moreRequested = false;
    if (!names) {
        PermitOrDropOnFailure(segment, Result::Failure);
        return true;
    }
    flow->http2.emplace(std::move(reader));
    if (ServiceDomainPasses(serviceDomain, flow)) {
        std::lock_guard guard(flowLock_);
        SetStateLocked(flow, FLOW_STATE_HTTP_WATCH);
        Permit(segment.packet, segment.out, segment.filter);
        if (step.consumed < bytes.size()) {
            segment.packet.countBytesEnforced = step.consumed;
        }
        return true;
    }
    if (QueueFirstRequest(segment, std::move(names), step.consumed) == Result::Failure) {
        PermitOrDropOnFailure(segment, Result::Failure);
    }
    return true;
}

void STREAM_FILTER::Http2WatchOutbound(SEGMENT& segment) {
    FLOW* flow = segment.flow;
    const size_t length = segment.Data().dataLength;
    if (length == 0) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    PARSE_BUFFER buffer(length);
    if (!buffer) {
        DropConnection(segment.packet, segment.out);
        return;
    }
    os::FwpsCopyStreamDataToBuffer(segment.Data(), buffer.Span());
    HTTP2_REQUEST_READER::RESULT step = flow->http2->Feed(buffer.Span());
    if (step.step == HTTP2_REQUEST_READER::Step::NeedMore) {
        Permit(segment.packet, segment.out, segment.filter);
        return;
    }
    FlowNamesPtr names;
    bool serviceDomain = false;
    if (step.step != HTTP2_REQUEST_READER::Step::Request ||
        NamesOfHttp2Request(flow->http2->Request(), names, serviceDomain) != Http2Names::Judge) {
        // A connection whose requests cannot be followed any more is not let on.
        DropConnection(segment.packet, segment.out);
        return;
    }
    if (ServiceDomainPasses(serviceDomain, flow)) {
        Permit(segment.packet, segment.out, segment.filter);
        if (step.consumed < length) {
            segment.packet.countBytesEnforced = step.consumed;
        }
        return;
    }
    // The segment ends the request's header block: all of it waits for the verdict (what it holds
    // of other streams only comes later).
    os::NetBufferListChain clone;
    if (!os::NT_SUCCESS(os::FwpsCloneStreamData(segment.Data(), clone))) {
        DropConnection(segment.packet, segment.out);
        return;
    }
    const bool fin = (segment.Flags() & os::FWPS_STREAM_FLAG_SEND_DISCONNECT) != 0;
    HELD_DATA held;
    bool queued;
    {
        std::lock_guard guard(flowLock_);
        ReferenceFlow(flow, static_cast<int32_t>(clone.Count()));
        held.data = std::move(clone);
        held.bytes = static_cast<uint32_t>(length);
        held.scanOffset = static_cast<uint32_t>(step.consumed);
        if (fin) {
            flow->clientFinSeen = 1;
        }
        queued = QueueLaterRequestLocked(flow, held, std::move(names));
    }
    if (!queued) {
        Drain(flow, held);
    } else {
        lookupEvent_.Set();
    }
    Absorb(segment.packet, segment.out);
}

void STREAM_FILTER::AdvanceHttp2(FLOW* flow, HELD_DATA& held) {
    HTTP2_REQUEST_READER& reader = *flow->http2;
    for (;;) {
        HTTP2_REQUEST_READER::RESULT step = FeedChain2(reader, held.data, held.scanOffset);
        if (step.step == HTTP2_REQUEST_READER::Step::NeedMore) {
            Forward(flow, held);
            HELD_DATA late;
            if (!EndLookup(flow, FLOW_STATE_HTTP_WATCH, late)) {
                // What the client sent meanwhile is read like the rest: it may hold a request.
                held = std::move(late);
                held.scanOffset = 0;
                continue;
            }
            InjectHeldFins(flow, late);
            return;
        }
        FlowNamesPtr names;
        bool serviceDomain = false;
        if (step.step != HTTP2_REQUEST_READER::Step::Request ||
            NamesOfHttp2Request(reader.Request(), names, serviceDomain) != Http2Names::Judge) {
            Drain(flow, held);
            return;
        }
        if (ServiceDomainPasses(serviceDomain, flow)) {
            held.scanOffset = static_cast<uint32_t>(step.consumed);
            continue;
        }
        // The request's HEADERS frames wait for the verdict from their first byte on. Where they
        // began in data already forwarded, holding the last byte is enough: a server acts on a
        // request only once its header block is whole.
        const uint64_t frames = reader.Offset() - reader.Request().HeadersBegin();
        const size_t cut = step.consumed >= frames ? step.consumed - static_cast<size_t>(frames)
                                                   : step.consumed - 1;
        if (!ForwardFront(flow, held, cut)) {
            Drain(flow, held);
            return;
        }
        held.scanOffset = static_cast<uint32_t>(step.consumed - cut);
        QueueLaterRequest(flow, held, std::move(names));
        return;
    }
}

}  // namespace wexo::drv
