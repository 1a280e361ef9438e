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

#include "driver/filter/flow.h"
#include "os/sync.h"
#include "os/wfp.h"

namespace wexo::drv {

inline constexpr uint32_t kParseBufferTag = os::MakePoolTag("WxPb");
// How many first outbound bytes a flow may ask the engine to gather while they are still only
// the beginning of a client hello or a GET request. A browser's post-quantum client hello is
// about 2 KB and may come in two segments; nothing a client sends before it waits for the server
// comes near this.
inline constexpr uint32_t kMaxFirstRequestBytes = 16 * 1024;

// Client data taken from a flow to apply a verdict.
struct HELD_DATA {
    os::NetBufferListChain data;
    uint32_t bytes = 0;
    uint32_t requestLists = 0;  // lists at the front that carry the looked-up request
    bool clientFinSeen = false;
    bool serverFinSeen = false;
};

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
    size_t QueuedCount() const;
    size_t InProgressCount() const;

    FLOW_TABLE& Flows() { return flows_; }
    // Guards every flow's state, names, session ID, held data, FIN flags and the lookup lists.
    std::mutex& FlowLock() { return flowLock_; }

  private:
    struct SEGMENT;
    enum class Result { Success, Failure };

    void Inbound(SEGMENT& segment);
    void Outbound(SEGMENT& segment);
    bool HoldWhilePending(SEGMENT& segment);
    void ParseOutbound(SEGMENT& segment, std::span<const uint8_t> bytes);
    // Ends inspection of a flow that is still new: its data passes and is never looked up.
    void PassUninspected(SEGMENT& segment);
    void AskForMore(SEGMENT& segment, std::span<const uint8_t> bytes, uint32_t missing);
    Result HttpRequest(SEGMENT& segment, std::string_view host, std::string_view path,
                       std::string_view proxyPrefix);
    Result CertificateHost(SEGMENT& segment, std::string_view commonName, bool tls13,
                           std::span<const uint8_t> serverSessionId);
    Result ServerHelloOnly(SEGMENT& segment, bool tls13, std::span<const uint8_t> serverSessionId);
    bool InjectServerData(SEGMENT& segment);
    void PermitOrDropOnFailure(SEGMENT& segment, Result result);

    // Under the flow lock.
    bool CompareSessionIdsLocked(FLOW* flow, bool tls13, std::span<const uint8_t> serverSessionId);
    bool QueueForLookupLocked(FLOW* flow);
    void RecordLookupTargetLocked(SEGMENT& segment);
    void SetStateLocked(FLOW* flow, FLOW_STATE state) { flow->state.store(state); }

    FLOW_TABLE flows_;
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
