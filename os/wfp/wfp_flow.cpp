#include "os/wfp/wfp_flow.h"

#include <algorithm>

namespace os {
namespace {

uint32_t DirectionFlag(FWP_DIRECTION direction) {
    return direction == FWP_DIRECTION_OUTBOUND ? FWPS_STREAM_FLAG_SEND : FWPS_STREAM_FLAG_RECEIVE;
}

uint32_t DisconnectFlag(FWP_DIRECTION direction) {
    return direction == FWP_DIRECTION_OUTBOUND ? FWPS_STREAM_FLAG_SEND_DISCONNECT
                                               : FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;
}

bool IsV6(const FLOW_TUPLE& tuple) {
    return tuple.localAddress.family == AddressFamily::IPv6;
}

void FillAddresses(FWPS_INCOMING_VALUES& values, const FLOW_TUPLE& tuple) {
    if (IsV6(tuple)) {
        values.localAddressV6 = tuple.localAddress.bytes;
        values.remoteAddressV6 = tuple.remoteAddress.bytes;
    } else {
        values.localAddressV4 = tuple.localAddress.V4HostOrder();
        values.remoteAddressV4 = tuple.remoteAddress.V4HostOrder();
    }
    values.localPort = tuple.localPort;
    values.remotePort = tuple.remotePort;
    values.protocol = tuple.protocol;
    values.interfaceIndex = tuple.interfaceIndex;
    values.subInterfaceIndex = tuple.subInterfaceIndex;
}

// Moves a list's data start back to where it was before a callout looked at it.
void RestoreDataStart(NET_BUFFER_LIST& list, size_t offset) {
    if (list.DataOffset() > offset) {
        NdisRetreatNetBufferDataStart(list, list.DataOffset() - offset);
    } else if (list.DataOffset() < offset) {
        NdisAdvanceNetBufferDataStart(list, offset - list.DataOffset());
    }
}

}  // namespace

// ---- StreamFlow ----

StreamFlow::StreamFlow(FilterEngine& engine, uint64_t flowId, const FLOW_TUPLE& tuple,
                       std::optional<uint64_t> processId,
                       std::shared_ptr<StreamEndpoints> endpoints)
    : engine_(engine),
      flowId_(flowId),
      tuple_(tuple),
      processId_(processId),
      endpoints_(std::move(endpoints)) {}

StreamFlow::~StreamFlow() = default;

uint16_t StreamFlow::StreamLayerId() const {
    return IsV6(tuple_) ? FWPS_LAYER_STREAM_V6 : FWPS_LAYER_STREAM_V4;
}

bool StreamFlow::CanRedirectServer() const {
    return endpoints_->CanRedirectServer();
}

NTSTATUS StreamFlow::RedirectServer(const IP_ADDRESS_BYTES& address) {
    if (IsReset()) {
        return STATUS_CANCELLED;
    }
    return endpoints_->RedirectServer(address);
}

bool StreamFlow::PassesThrough() const {
    std::lock_guard state(stateLock_);
    return allowConnection_ && !reset_;
}

bool StreamFlow::IsReset() const {
    std::lock_guard guard(stateLock_);
    return reset_;
}

bool StreamFlow::IsDeleted() const {
    std::lock_guard guard(stateLock_);
    return deleted_;
}

uint64_t StreamFlow::ContextFor(uint16_t layerId, uint32_t calloutId) const {
    std::lock_guard guard(contextLock_);
    for (const auto& entry : contexts_) {
        if (entry.layerId == layerId && entry.calloutId == calloutId) {
            return entry.context;
        }
    }
    return 0;
}

FWPS_INCOMING_VALUES StreamFlow::StreamValues(FWP_DIRECTION) const {
    FWPS_INCOMING_VALUES values;
    values.layerId = StreamLayerId();
    FillAddresses(values, tuple_);
    // The direction value of the stream layer is that of the connection: opened from here.
    values.direction = FWP_DIRECTION_OUTBOUND;
    return values;
}

void StreamFlow::EstablishedClassify() {
    FWPS_INCOMING_VALUES values;
    values.layerId =
        IsV6(tuple_) ? FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6 : FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4;
    FillAddresses(values, tuple_);
    values.direction = FWP_DIRECTION_OUTBOUND;
    FWPS_INCOMING_METADATA_VALUES metadata;
    metadata.currentMetadataValues = FWPS_METADATA_FIELD_FLOW_HANDLE;
    metadata.flowHandle = flowId_;
    if (processId_) {
        metadata.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
        metadata.processId = *processId_;
    }
    FWPS_CLASSIFY_OUT out = engine_.Classify(values, metadata, nullptr, this);
    if (out.actionType == FWP_ACTION_BLOCK) {
        {
            std::lock_guard guard(stateLock_);
            ResetLocked();
        }
        MaybeDelete();
    }
}

NTSTATUS StreamFlow::Send(FWP_DIRECTION direction, std::span<const uint8_t> bytes, bool fin) {
    SIDE& side = sides_[direction];
    {
        std::lock_guard classify(side.classifyLock);
        bool allow;
        {
            std::lock_guard state(stateLock_);
            if (reset_) {
                side.pending.Clear();
                side.pendingBytes = 0;
                return STATUS_CANCELLED;
            }
            if (side.senderClosed || side.finDelivered) {
                return STATUS_INVALID_DEVICE_REQUEST;
            }
            side.senderClosed = fin;
            allow = allowConnection_;
        }
        if (!bytes.empty()) {
            side.pending.Append(AllocateEngineNetBufferList(bytes));
            side.pendingBytes += bytes.size();
        }
        if (allow) {
            DeliverFront(direction, side.pendingBytes, fin);
        } else if (fin || (side.pendingBytes > 0 && side.pendingBytes >= side.bytesRequired)) {
            IndicatePending(direction, fin);
        }
    }
    MaybeDelete();
    return STATUS_SUCCESS;
}

void StreamFlow::IndicatePending(FWP_DIRECTION direction, bool fin) {
    SIDE& side = sides_[direction];
    FWPS_INCOMING_VALUES values = StreamValues(direction);
    FWPS_INCOMING_METADATA_VALUES metadata;
    metadata.currentMetadataValues = FWPS_METADATA_FIELD_FLOW_HANDLE;
    metadata.flowHandle = flowId_;
    for (;;) {
        FWPS_STREAM_DATA data;
        data.flags = DirectionFlag(direction) | (fin ? DisconnectFlag(direction) : 0);
        data.dataLength = side.pendingBytes;
        data.netBufferListChain = side.pending.Head();
        FWPS_STREAM_CALLOUT_IO_PACKET packet;
        packet.streamData = &data;
        FWPS_CLASSIFY_OUT out = engine_.Classify(values, metadata, &packet, this);

        bool absorb =
            out.actionType == FWP_ACTION_BLOCK && (out.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0;
        bool drop = packet.streamAction == FWPS_STREAM_ACTION_DROP_CONNECTION ||
                    (out.actionType == FWP_ACTION_BLOCK && !absorb);
        if (drop) {
            {
                std::lock_guard state(stateLock_);
                ResetLocked();
            }
            side.pending.Clear();
            side.pendingBytes = 0;
            return;
        }
        // Without a FIN the data waits for more; with one no more is coming, so it goes on.
        if (packet.streamAction == FWPS_STREAM_ACTION_NEED_MORE_DATA && !fin) {
            side.bytesRequired = std::max<size_t>(packet.countBytesRequired, side.pendingBytes + 1);
            return;
        }
        if (packet.streamAction == FWPS_STREAM_ACTION_ALLOW_CONNECTION) {
            std::lock_guard state(stateLock_);
            allowConnection_ = true;
        }
        side.bytesRequired = 0;
        size_t covered =
            packet.countBytesEnforced > 0 && packet.countBytesEnforced < side.pendingBytes
                ? packet.countBytesEnforced
                : side.pendingBytes;
        bool last = covered == side.pendingBytes;
        if (absorb) {
            // An absorbed FIN is consumed too: the direction stays open until one is injected.
            DiscardFront(side, covered);
        } else {
            DeliverFront(direction, covered, fin && last);
        }
        if (last) {
            return;
        }
    }
}

void StreamFlow::DiscardFront(SIDE& side, size_t count) {
    while (count > 0 && !side.pending.Empty()) {
        NET_BUFFER_LIST* head = side.pending.Head();
        size_t take = std::min(count, head->DataLength());
        if (take == head->DataLength()) {
            side.pending.PopFront();
        } else {
            NdisAdvanceNetBufferDataStart(*head, take);
        }
        count -= take;
        side.pendingBytes -= take;
    }
}

void StreamFlow::DeliverFront(FWP_DIRECTION direction, size_t count, bool fin) {
    SIDE& side = sides_[direction];
    std::lock_guard state(stateLock_);
    if (reset_ || side.finDelivered) {
        DiscardFront(side, count);
        return;
    }
    while (count > 0 && !side.pending.Empty()) {
        NET_BUFFER_LIST* head = side.pending.Head();
        size_t take = std::min(count, head->DataLength());
        endpoints_->Deliver(direction, head->Data().first(take));
        if (take == head->DataLength()) {
            side.pending.PopFront();
        } else {
            NdisAdvanceNetBufferDataStart(*head, take);
        }
        count -= take;
        side.pendingBytes -= take;
    }
    if (fin) {
        endpoints_->DeliverFin(direction);
        side.finDelivered = true;
    }
}

void StreamFlow::ResetLocked() {
    if (!reset_) {
        reset_ = true;
        endpoints_->Reset();
    }
}

void StreamFlow::Abort() {
    {
        std::lock_guard state(stateLock_);
        ResetLocked();
    }
    MaybeDelete();
}

NTSTATUS StreamFlow::Inject(FWP_DIRECTION direction, NetBufferListChain& data, bool disconnect) {
    std::lock_guard classify(sides_[direction].classifyLock);
    std::lock_guard state(stateLock_);
    if (deleted_) {
        return STATUS_FWP_NOT_FOUND;
    }
    if (reset_) {
        return STATUS_CANCELLED;
    }
    SIDE& side = sides_[direction];
    if (side.finDelivered) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    for (NET_BUFFER_LIST* list = data.Head(); list != nullptr; list = list->Next) {
        if (list->DataLength() > 0) {
            endpoints_->Deliver(direction, list->Data());
        }
    }
    if (disconnect) {
        endpoints_->DeliverFin(direction);
        side.finDelivered = true;
    }
    ++outstandingInjections_;
    return STATUS_SUCCESS;
}

void StreamFlow::InjectionCompleted() {
    {
        std::lock_guard state(stateLock_);
        --outstandingInjections_;
    }
    MaybeDelete();
}

void StreamFlow::MaybeDelete() {
    {
        std::lock_guard state(stateLock_);
        bool closed = reset_ || (sides_[0].finDelivered && sides_[1].finDelivered);
        if (deleted_ || !closed || outstandingInjections_ > 0) {
            return;
        }
        deleted_ = true;
    }
    engine_.RetireFlow(*this);
}

// ---- DatagramEndpoint ----

DatagramEndpoint::DatagramEndpoint(FilterEngine& engine, const FLOW_TUPLE& tuple,
                                   std::optional<uint64_t> processId,
                                   std::shared_ptr<DatagramSink> sink)
    : engine_(engine), tuple_(tuple), processId_(processId), sink_(std::move(sink)), id_([] {
          static std::atomic<uint64_t> next{1};
          return next.fetch_add(1, std::memory_order_relaxed);
      }()) {}

uint16_t DatagramEndpoint::LayerId() const {
    return IsV6(tuple_) ? FWPS_LAYER_DATAGRAM_DATA_V6 : FWPS_LAYER_DATAGRAM_DATA_V4;
}

bool DatagramEndpoint::Send(FWP_DIRECTION direction, std::span<const uint8_t> payload,
                            bool fragmented) {
    bool inbound = direction == FWP_DIRECTION_INBOUND;
    const IP_ADDRESS_BYTES& source = inbound ? tuple_.remoteAddress : tuple_.localAddress;
    const IP_ADDRESS_BYTES& destination = inbound ? tuple_.localAddress : tuple_.remoteAddress;
    uint16_t sourcePort = inbound ? tuple_.remotePort : tuple_.localPort;
    uint16_t destinationPort = inbound ? tuple_.localPort : tuple_.remotePort;
    std::vector<uint8_t> bytes =
        BuildUdpPacket(source, sourcePort, destination, destinationPort, payload);
    NetBufferListPtr packet = AllocateEngineNetBufferList(bytes);
    NetBufferAccess::MarkIndicatedBy(*packet, id_);
    if (inbound && remoteNotMachineResolver_.load(std::memory_order_relaxed)) {
        NetBufferAccess::MarkNotFromMachineResolver(*packet);
    }
    size_t ipHeaderSize = IsV6(tuple_) ? kIPv6HeaderSize : kIPv4HeaderSize;
    if (fragmented) {
        NetBufferAccess::SplitIntoTwoPieces(*packet, ipHeaderSize / 2);
    }
    return Indicate(*packet, direction, ipHeaderSize);
}

NTSTATUS DatagramEndpoint::IndicateInjected(NET_BUFFER_LIST& packet) {
    size_t ipHeaderSize = IsV6(tuple_) ? kIPv6HeaderSize : kIPv4HeaderSize;
    if (!IsV6(tuple_) && packet.DataLength() > 0) {
        ipHeaderSize = static_cast<size_t>(packet.Data()[0] & 0x0F) * 4;
    }
    return Indicate(packet, FWP_DIRECTION_INBOUND, ipHeaderSize) ? STATUS_SUCCESS
                                                                 : STATUS_UNSUCCESSFUL;
}

bool DatagramEndpoint::Indicate(NET_BUFFER_LIST& packet, FWP_DIRECTION direction,
                                size_t ipHeaderSize) {
    // The packet's data starts at its IP header. Inbound the layer sees the data from the UDP
    // payload on, outbound from the UDP header on; the headers stay in front, reachable by a
    // retreat of the sizes the metadata gives.
    size_t start = packet.DataOffset();
    size_t layerStart = ipHeaderSize + (direction == FWP_DIRECTION_INBOUND ? kUdpHeaderSize : 0);
    NdisAdvanceNetBufferDataStart(packet, layerStart);

    FWPS_INCOMING_VALUES values;
    values.layerId = LayerId();
    FillAddresses(values, tuple_);
    values.direction = direction;
    FWPS_INCOMING_METADATA_VALUES metadata;
    metadata.currentMetadataValues =
        FWPS_METADATA_FIELD_IP_HEADER_SIZE | FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE |
        FWPS_METADATA_FIELD_COMPARTMENT_ID | FWPS_METADATA_FIELD_PACKET_DIRECTION;
    metadata.ipHeaderSize = static_cast<uint32_t>(ipHeaderSize);
    metadata.transportHeaderSize = static_cast<uint32_t>(kUdpHeaderSize);
    metadata.compartmentId = 1;
    metadata.packetDirection = direction;
    if (processId_) {
        metadata.currentMetadataValues |= FWPS_METADATA_FIELD_PROCESS_ID;
        metadata.processId = *processId_;
    }
    FWPS_CLASSIFY_OUT out = engine_.Classify(values, metadata, &packet, nullptr);
    RestoreDataStart(packet, start);
    if (out.actionType == FWP_ACTION_BLOCK) {
        return false;
    }
    std::span<const uint8_t> whole = packet.Data();
    if (whole.size() < ipHeaderSize + kUdpHeaderSize) {
        return false;
    }
    bool injected = NetBufferAccess::InjectedBy(packet) != 0;
    sink_->Deliver(direction, whole.subspan(ipHeaderSize + kUdpHeaderSize), injected);
    return true;
}

}  // namespace os
