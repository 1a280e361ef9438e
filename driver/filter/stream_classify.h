// Stream classification: follows every TCP connection from its establishment to its deletion and
// decides, segment by segment, whether data passes, is held back for a lookup, or the connection
// is dropped. It recognises the first GET request of a plain HTTP connection and the host of a TLS
// connection (server name of the client hello, else the subject common name of the server's
// certificate), puts the flow in the lookup queue and holds every further byte the client sends
// until the lookup's verdict is applied.
//
// The classify and flow-delete functions are registered with the filtering engine (flow
// established, stream classify and flow deleted); the lookup workers take flows from the queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "driver/filter/address_names.h"
#include "driver/filter/encrypted_dns.h"
#include "driver/filter/flow.h"
#include "driver/filter/http_request.h"
#include "os/core/sync.h"
#include "os/wfp/wfp.h"

namespace wexo::drv {

inline constexpr uint32_t kParseBufferTag = os::MakePoolTag("WxPb");
// How many first outbound bytes a flow may ask the engine to gather while they are still only
// the beginning of a client hello or a request head: a whole TLS record of the largest size.
// What is still incomplete then is judged by what it names so far.
inline constexpr uint32_t kMaxFirstRequestBytes = 65535 + 5;
// A request head is judged once it is whole, so that a name at its end counts; one still not whole
// at this size is judged by what it names so far (and its framing then fails).
inline constexpr uint32_t kMaxRequestHeadBytes = kMaxHttpHeadBytes;
// While a later request's head is shorter than this, each new segment is checked for the bytes
// no longer being HTTP, so that a protocol switch (an upgrade) is not held.
inline constexpr uint32_t kEarlyHttpCheckBytes = 1024;

// Client data taken from a flow to apply a verdict.
struct HELD_DATA {
    os::NetBufferListChain data;
    uint32_t bytes = 0;
    uint32_t scanOffset = 0;  // bytes at the front the flow's framing reader has taken
    bool clientFinSeen = false;
    bool serverFinSeen = false;
};

// Injects held client data toward the server; the completion releases the reference each list
// holds. Data that cannot be injected is discarded.
void ForwardHeldData(const os::INJECTION_HANDLE* injection, FLOW* flow, HELD_DATA& held);
// An empty segment with the given flags: a FIN in one direction.
void InjectEmptySegment(const os::INJECTION_HANDLE* injection, FLOW* flow, uint32_t flags);

class STREAM_FILTER {
  public:
    STREAM_FILTER();
    ~STREAM_FILTER();
    STREAM_FILTER(const STREAM_FILTER&) = delete;
    STREAM_FILTER& operator=(const STREAM_FILTER&) = delete;

    // ---- Wiring and settings ----
    // Runtime IDs of the IPv4 and IPv6 stream callouts, which flows are associated with.
    void SetStreamCalloutIds(uint32_t v4, uint32_t v6);
    // Injects what a server sent with its FIN while a lookup was pending (the FIN itself waits).
    void SetInjectionHandle(const os::INJECTION_HANDLE* handle);
    void SetDormant(bool on) { dormant_.store(on); }
    bool Dormant() const { return dormant_.load(); }
    void SetBlockOnFailure(bool on) { blockOnFailure_.store(on); }
    bool BlockOnFailure() const { return blockOnFailure_.load(); }
    // The registered service's process (0: none); its own connections are never inspected.
    void SetServiceProcessId(uint64_t processId) { serviceProcessId_.store(processId); }
    // Unloading: no flow is created or inspected any more, and nothing is queued.
    void SetUnloading(bool on);
    bool Unloading() const { return unloading_.load(); }

    // ---- Classify and flow-delete functions ----
    // Flow established (IPv4 and IPv6): creates and associates a flow; always permits.
    void FlowEstablished(const os::FWPS_INCOMING_VALUES& values,
                         const os::FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                         const os::FWPS_FILTER& filter, uint64_t flowContext,
                         os::FWPS_CLASSIFY_OUT& classifyOut);
    // Stream classify (IPv4 and IPv6): one segment.
    void StreamClassify(const os::FWPS_INCOMING_VALUES& values,
                        const os::FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                        const os::FWPS_FILTER& filter, uint64_t flowContext,
                        os::FWPS_CLASSIFY_OUT& classifyOut);
    // Flow deleted: unlinks the flow and releases its base reference.
    void FlowDeleted(uint16_t layerId, uint32_t calloutId, uint64_t flowContext);
    // Removes the association of every flow; the engine then calls FlowDeleted for each.
    void RemoveAllFlows();

    // ---- Lookup queue ----
    // Signalled once for every flow queued.
    os::Event& LookupEvent() { return lookupEvent_; }
    // Takes the head of the lookup queue into the in-progress list, with the queue's reference;
    // null when the queue is empty.
    FLOW* TakeForLookup();
    // Unlinks a flow from the in-progress list and takes its held data out of it.
    HELD_DATA CompleteLookup(FLOW* flow);
    // Ends a pending lookup: the names go and the state becomes `state`, unless data was held
    // since the caller last took it; then that data is moved to `late` and false returned, and
    // the caller deals with it and tries again.
    bool EndLookup(FLOW* flow, FLOW_STATE state, HELD_DATA& late);
    // For every flow still in the lookup queue: frees its held clones, releasing one reference
    // for each, and releases the queue reference.
    void FlushLookupQueue();
    // Frees held clones and releases their references.
    static void DiscardHeldData(FLOW* flow, HELD_DATA& held);
    // After an HTTP request was allowed: forwards its held data up to the next request, and judges
    // each later request in it as the first one was (queued for lookup, gathered until its head is
    // whole, or passed when the bytes stop being HTTP), until the data is used up. Runs with the
    // flow's lookup pending (a lookup worker) or watched (its classify).
    // With `tunnelStart`, the held data begins the connection inside a tunnel that an allowed
    // CONNECT opened, and is judged first as a new connection's first bytes are.
    void AdvanceHttp(FLOW* flow, HELD_DATA& held, bool requestAllowed, bool tunnelStart = false);
    // The held hello of a flow whose server connection was moved (or left where it was) goes on
    // to the server with what followed it, and the flow waits for the server's flight.
    void ResumeHello(FLOW* flow, HELD_DATA& held);
    // A lookup ends with the connection cut: the held data goes, the flow takes `state`.
    void EndWithHeldDiscarded(FLOW* flow, HELD_DATA& held, FLOW_STATE state);
    // A blocked later request: nothing more reaches the server, which is told the client is done.
    void Drain(FLOW* flow, HELD_DATA& held);
    size_t QueuedCount() const;
    size_t InProgressCount() const;

    FLOW_TABLE& Flows() { return flows_; }
    // The names each address was given for, as the DNS answers the driver saw said.
    ADDRESS_NAMES& AddressNames() { return addressNames_; }
    ENCRYPTED_DNS_ENDPOINTS& EncryptedDns() { return encryptedDns_; }
    // Guards every flow's state, names, session ID, held data, FIN flags and the lookup lists.
    std::mutex& FlowLock() { return flowLock_; }

  private:
    struct SEGMENT;
    enum class Result { Success, Failure };

    void Inbound(SEGMENT& segment);
    void Outbound(SEGMENT& segment);
    void WatchOutbound(SEGMENT& segment);
    void ClosedOutbound(SEGMENT& segment, uint32_t state);
    // Queues a later request of a watched flow: `held` starts at its head. Under the flow lock.
    bool QueueLaterRequestLocked(FLOW* flow, HELD_DATA& held, FlowNamesPtr names);
    // The same with the lock taken; a request that cannot be queued has its connection cut.
    void QueueLaterRequest(FLOW* flow, HELD_DATA& held, FlowNamesPtr names);
    // Forwards the first `bytes` of the held data; false when the split found no memory.
    bool ForwardFront(FLOW* flow, HELD_DATA& held, size_t bytes);
    // The names a request head in held data gives, read from its first kMaxRequestHeadBytes.
    enum class HeadNames { Judge, NotHttp, Conflict, NoMemory };
    HeadNames NamesOfHeldHead(const HELD_DATA& held, bool whole, FlowNamesPtr& names,
                              bool& serviceDomain);
    void Forward(FLOW* flow, HELD_DATA& held);
    void InjectFin(FLOW* flow, uint32_t flags);
    // The FINs that waited while the data was held.
    void InjectHeldFins(FLOW* flow, const HELD_DATA& held);
    bool HoldWhilePending(SEGMENT& segment);
    void ParseOutbound(SEGMENT& segment, std::span<const uint8_t> bytes);
    // Ends inspection of a flow that is still new: its data passes and is never looked up.
    void PassUninspected(SEGMENT& segment);
    // First bytes that are a TLS handshake record but no client hello the parse can read: the
    // flow waits for the server's flight like a hello without a name.
    void HelloUnread(SEGMENT& segment);
    // Closes a TLS connection to a well-known encrypted-DNS resolver (by `name`, or by its
    // address).
    void RefuseEncryptedDns(SEGMENT& segment, std::string_view name);
    static ADDRESS_KEY RemoteAddressOf(const SEGMENT& segment);
    // The hello names a host its destination was never answered for, on a connection whose
    // server end the backend can open again elsewhere.
    bool NameMayBeBorrowed(SEGMENT& segment, const FLOW_NAMES& names);
    // The bytes after an allowed CONNECT head, in the held data, as a new connection's first
    // bytes: false when they are to be read as an HTTP request (the caller goes on with them).
    bool JudgeTunnelStart(FLOW* flow, HELD_DATA& held);
    // A TLS connection inside a tunnel is looked up at once, its hello held with what follows:
    // what the tunnel's proxy answers first is not the server's flight, so that cannot be waited
    // for.
    void QueueTunnelTls(FLOW* flow, HELD_DATA& held, FlowNamesPtr names,
                        std::span<const uint8_t> sessionId, bool unread);
    // Forwards the held data and ends inspection.
    void ForwardAndPass(FLOW* flow, HELD_DATA& held);
    void TunnelGatherOutbound(SEGMENT& segment);
    // Takes what the flow gathered so far with the segment after it (and the client's FIN) into
    // `held`, the flow in `state`; false, the connection dropped, when the segment cannot be
    // cloned.
    bool GatherSegment(SEGMENT& segment, HELD_DATA& held, FLOW_STATE state);
    // A request that cannot be read on a kept-alive connection: only the application protocol
    // after an upgrade the last request offered may follow unread.
    bool UnreadRequestPasses(const FLOW* flow) const;
    void AskForMore(SEGMENT& segment, std::span<const uint8_t> bytes, uint32_t missing,
                    uint32_t limit);
    Result HttpRequest(SEGMENT& segment, std::span<const uint8_t> bytes,
                       const HTTP_REQUEST& request);
    Result ServerFlightUnread(SEGMENT& segment);
    // Queues a connection's first request: the whole segment is held, the reader stands at
    // `scanOffset`.
    Result QueueFirstRequest(SEGMENT& segment, FlowNamesPtr names, size_t scanOffset);
    // The first bytes begin an HTTP/2 preface: false when they turn out not to be one.
    bool Http2First(SEGMENT& segment, std::span<const uint8_t> bytes);
    void Http2WatchOutbound(SEGMENT& segment);
    void AdvanceHttp2(FLOW* flow, HELD_DATA& held);
    Result CertificateHost(SEGMENT& segment, std::string_view commonName, bool tls13,
                           std::span<const uint8_t> serverSessionId);
    Result ServerHelloOnly(SEGMENT& segment, bool tls13, std::span<const uint8_t> serverSessionId);
    bool InjectServerData(SEGMENT& segment);
    void PermitOrDropOnFailure(SEGMENT& segment, Result result);

    // Under the flow lock.
    bool CompareSessionIdsLocked(FLOW* flow, bool tls13, std::span<const uint8_t> serverSessionId);
    bool QueueForLookupLocked(FLOW* flow);
    void RecordLookupTargetLocked(SEGMENT& segment);
    bool QueueTlsLocked(SEGMENT& segment, FLOW* flow);
    // A flow whose hello was unread and that has no name: true (and finished) when it is to be
    // closed rather than looked up by address.
    bool UnreadHelloClosesLocked(FLOW* flow);
    // What a TLS name means for the flow: looked up as such; passed, a name of the service domain
    // toward an address answered for it; or not taken at all, the service domain named toward
    // any other address (judged by what the address is known as).
    enum class TlsName { Judge, Pass, ByAddress };
    TlsName TlsNameLocked(SEGMENT& segment, std::string_view host);
    // The flow's name passes it as the service domain's (state passed, true); one that is not to
    // be taken is dropped.
    bool PassesAsServiceDomainLocked(SEGMENT& segment, FLOW* flow);
    // Whether a request that names only the service domain (`serviceDomain`) passes unlooked-up:
    // only toward an address our names were answered with. Toward any other the flow is marked
    // to be judged by its destination's names as well.
    bool ServiceDomainPasses(bool serviceDomain, FLOW* flow);
    void SetStateLocked(FLOW* flow, FLOW_STATE state) { flow->state.store(state); }

    FLOW_TABLE flows_;
    ADDRESS_NAMES addressNames_;
    ENCRYPTED_DNS_ENDPOINTS encryptedDns_;
    mutable std::mutex flowLock_;
    FLOW_LIST<&FLOW::queueLinks> lookupQueue_;
    FLOW_LIST<&FLOW::queueLinks> inProgress_;
    os::Event lookupEvent_{os::EventType::Synchronization};

    std::atomic<uint32_t> streamCalloutV4_{0};
    std::atomic<uint32_t> streamCalloutV6_{0};
    std::atomic<const os::INJECTION_HANDLE*> injection_{nullptr};
    std::atomic<bool> dormant_{false};
    std::atomic<bool> blockOnFailure_{false};
    std::atomic<bool> unloading_{false};
    std::atomic<uint64_t> serviceProcessId_{0};
};

}  // namespace wexo::drv
