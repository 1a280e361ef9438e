// What a network backend drives: a TCP connection's stream flow and a UDP endpoint's datagrams,
// presented to the filtering engine's layers with the engine's stream contract:
//
// - A send is indicated as one segment: outbound (FWPS_STREAM_FLAG_SEND) for the client, inbound
//   (FWPS_STREAM_FLAG_RECEIVE) for the server; a FIN carries the _DISCONNECT flag of its direction.
// - Permit delivers the segment after everything delivered before it in that direction; absorb
//   (block with FWPS_CLASSIFY_OUT_FLAG_ABSORB) consumes it; need-more-data keeps it and indicates
//   it again, joined with later data, once countBytesRequired bytes are there or the direction
//   closes; drop connection (or block without absorb) resets both ends.
// - Injected data is delivered in order and never indicated again; the injection completes later on
//   the engine's completion thread.
// - The flow is deleted (each associated context's flow-delete runs once) after both directions
//   delivered their FIN, or the connection was reset, and every injection has completed.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "os/wfp/wfp.h"
#include "os/wfp/wfp_engine.h"

namespace os {

// The two ends of a connection as a backend delivers to them. Outbound data reaches the server,
// inbound data the client. Calls come from any thread, one at a time per connection.
class StreamEndpoints {
  public:
    virtual ~StreamEndpoints() = default;
    virtual void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> bytes) = 0;
    virtual void DeliverFin(FWP_DIRECTION direction) = 0;
    // Both ends are reset.
    virtual void Reset() = 0;
    // Where the backend opens the server's end itself (a proxy), it can open it again toward
    // another address, on the same port, as long as nothing has gone to the server or come from
    // it: what is delivered outbound meanwhile waits for the new connection, and one that cannot
    // be made resets both ends. STATUS_NOT_SUPPORTED where the backend cannot;
    // STATUS_INVALID_DEVICE_STATE once bytes or a FIN crossed either way.
    virtual bool CanRedirectServer() const { return false; }
    virtual NTSTATUS RedirectServer(const IP_ADDRESS_BYTES& /*address*/) {
        return STATUS_NOT_SUPPORTED;
    }
};

class StreamFlow : public std::enable_shared_from_this<StreamFlow> {
  public:
    StreamFlow(FilterEngine& engine, uint64_t flowId, const FLOW_TUPLE& tuple,
               std::optional<uint64_t> processId, std::shared_ptr<StreamEndpoints> endpoints);
    ~StreamFlow();
    StreamFlow(const StreamFlow&) = delete;
    StreamFlow& operator=(const StreamFlow&) = delete;

    uint64_t FlowId() const { return flowId_; }
    uint16_t StreamLayerId() const;
    const FLOW_TUPLE& Tuple() const { return tuple_; }

    // An application's send on its end: FWP_DIRECTION_OUTBOUND for the client, _INBOUND for the
    // server; `fin` closes the sender's side after the bytes. Fails (STATUS_CANCELLED) on a reset
    // connection and (STATUS_INVALID_DEVICE_REQUEST) after the sender's FIN.
    NTSTATUS Send(FWP_DIRECTION direction, std::span<const uint8_t> bytes, bool fin);
    // Either end aborts: both ends are reset.
    void Abort();
    // The server's end opened again toward `address` (StreamEndpoints::RedirectServer);
    // STATUS_CANCELLED on a reset connection.
    bool CanRedirectServer() const;
    NTSTATUS RedirectServer(const IP_ADDRESS_BYTES& address);

    bool IsReset() const;
    bool IsDeleted() const;
    // The callout let the connection pass (FWPS_STREAM_ACTION_ALLOW_CONNECTION): its data is no
    // longer indicated, so a backend may move it without the engine.
    bool PassesThrough() const;
    // The flow context a callout associated for a layer, 0 when none.
    uint64_t ContextFor(uint16_t layerId, uint32_t calloutId) const;

  private:
    friend class FilterEngine;

    struct CONTEXT_ENTRY {
        uint16_t layerId;
        uint32_t calloutId;
        uint64_t context;
    };
    // One direction of the connection.
    struct SIDE {
        // One indication at a time per direction. An injection into that direction waits for the
        // indication in progress, so a permitted segment is never overtaken by data or a FIN
        // injected meanwhile; a callout that injects from inside its own classify re-enters it.
        std::recursive_mutex classifyLock;
        NetBufferListChain pending;  // kept for need-more-data (classifyLock)
        size_t pendingBytes = 0;     // (classifyLock)
        size_t bytesRequired = 0;    // (classifyLock)
        bool senderClosed = false;   // the sending application gave its FIN (stateLock_)
        bool finDelivered = false;   // the receiver saw the FIN (stateLock_)
    };

    void EstablishedClassify();
    // Indicates the pending data of a side until it is decided (classifyLock held).
    void IndicatePending(FWP_DIRECTION direction, bool fin);
    void DeliverFront(FWP_DIRECTION direction, size_t count, bool fin);
    void DiscardFront(SIDE& side, size_t count);
    void ResetLocked();
    // Deletes the flow when it has ended; call without locks held.
    void MaybeDelete();
    // Stream injection: delivers now, completion later.
    NTSTATUS Inject(FWP_DIRECTION direction, NetBufferListChain& data, bool disconnect);
    void InjectionCompleted();
    FWPS_INCOMING_VALUES StreamValues(FWP_DIRECTION direction) const;

    FilterEngine& engine_;
    const uint64_t flowId_;
    const FLOW_TUPLE tuple_;
    const std::optional<uint64_t> processId_;
    const std::shared_ptr<StreamEndpoints> endpoints_;
    std::array<SIDE, 2> sides_;

    mutable std::mutex stateLock_;  // leaf lock: delivery, reset and deletion state
    bool reset_ = false;
    bool deleted_ = false;
    bool allowConnection_ = false;
    size_t outstandingInjections_ = 0;

    mutable std::mutex contextLock_;
    std::vector<CONTEXT_ENTRY> contexts_;
    bool contextsClosed_ = false;  // the flow was deleted: no new associations
};

// Where the datagrams of an endpoint go: outbound ones reach the server, inbound ones the client.
// `injected` is true for a datagram a driver injected.
class DatagramSink {
  public:
    virtual ~DatagramSink() = default;
    virtual void Deliver(FWP_DIRECTION direction, std::span<const uint8_t> payload,
                         bool injected) = 0;
};

class DatagramEndpoint : public std::enable_shared_from_this<DatagramEndpoint> {
  public:
    DatagramEndpoint(FilterEngine& engine, const FLOW_TUPLE& tuple,
                     std::optional<uint64_t> processId, std::shared_ptr<DatagramSink> sink);
    DatagramEndpoint(const DatagramEndpoint&) = delete;
    DatagramEndpoint& operator=(const DatagramEndpoint&) = delete;

    const FLOW_TUPLE& Tuple() const { return tuple_; }
    uint16_t LayerId() const;
    uint64_t Id() const { return id_; }
    // The remote end is not one of the machine's resolvers: what it sends is indicated as such
    // (FwpsQueryPacketFromMachineResolver). Set before the first datagram.
    void SetRemoteNotMachineResolver() { remoteNotMachineResolver_ = true; }

    // A datagram sent by the client (outbound) or the server (inbound), indicated at the datagram
    // data layer with its IP and UDP headers in front of the data start. `fragmented` describes the
    // packet with two memory pieces split inside the IP header, as a fragmented receive would.
    // Returns whether it was delivered.
    bool Send(FWP_DIRECTION direction, std::span<const uint8_t> payload, bool fragmented = false);

  private:
    friend class FilterEngine;
    // An injected packet addressed to this endpoint (data starting at the IP header).
    NTSTATUS IndicateInjected(NET_BUFFER_LIST& packet);
    bool Indicate(NET_BUFFER_LIST& packet, FWP_DIRECTION direction, size_t ipHeaderSize);

    FilterEngine& engine_;
    const FLOW_TUPLE tuple_;
    const std::optional<uint64_t> processId_;
    const std::shared_ptr<DatagramSink> sink_;
    const uint64_t id_;
    std::atomic<bool> remoteNotMachineResolver_{false};
};

}  // namespace os
