// The filtering engine behind os/wfp.h: the objects that sessions add, the runtime callouts, the
// base-filtering-engine state, the flows it tracks and the thread that completes injections.
//
// One engine is current at a time, like the clock: a test constructs its own FilterEngine to start
// from a clean engine and destroys it to return to the previous one. Network backends (the
// simulated network; later real ones) open stream flows and datagram endpoints on an engine and
// present their traffic through them (os/wfp_flow.h). Flows and endpoints must be gone, or at
// least no longer used, before their engine is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <vector>

#include "os/core/sync.h"
#include "os/wfp/wfp.h"

namespace os {

class StreamFlow;
class DatagramEndpoint;
class StreamEndpoints;
class DatagramSink;

// The addresses of a connection or datagram exchange as the local host sees it: local is the
// client on this machine, remote the server.
struct FLOW_TUPLE {
    IP_ADDRESS_BYTES localAddress;
    IP_ADDRESS_BYTES remoteAddress;
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    uint8_t protocol = IPPROTO_TCP_VALUE;
    uint32_t interfaceIndex = 1;
    uint32_t subInterfaceIndex = 0;
};

class FilterEngine {
  public:
    // Installs this engine as the current one; the BFE starts in `bfeState`.
    explicit FilterEngine(FWPM_SERVICE_STATE bfeState = FWPM_SERVICE_RUNNING);
    ~FilterEngine();
    FilterEngine(const FilterEngine&) = delete;
    FilterEngine& operator=(const FilterEngine&) = delete;

    // The installed engine, or a process-wide default one.
    static FilterEngine& Current();

    // ---- Base filtering engine ----
    FWPM_SERVICE_STATE BfeState() const;
    // Leaving the running state aborts every open session (their dynamic objects go). The
    // subscribers are told on this thread, after the change.
    void SetBfeState(FWPM_SERVICE_STATE state);

    // ---- Backends ----
    // A TCP connection: its flow-established classify runs now (a block there resets it).
    std::shared_ptr<StreamFlow> OpenStreamFlow(const FLOW_TUPLE& tuple,
                                               std::optional<uint64_t> processId,
                                               std::shared_ptr<StreamEndpoints> endpoints);
    std::shared_ptr<DatagramEndpoint> OpenDatagramEndpoint(const FLOW_TUPLE& tuple,
                                                           std::optional<uint64_t> processId,
                                                           std::shared_ptr<DatagramSink> sink);

    // Runs the filters of values.layerId in order and arbitrates their actions. `flow` supplies
    // the flow contexts (null: none).
    FWPS_CLASSIFY_OUT Classify(const FWPS_INCOMING_VALUES& values,
                               const FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                               const StreamFlow* flow);

    // Waits (on the active clock) until every queued injection has been completed.
    bool WaitForCompletions(uint32_t milliseconds);

    // ---- What tests look at ----
    size_t SessionCount() const;
    size_t SublayerCount() const;  // the built-in universal sublayer included
    size_t CalloutCount() const;
    size_t FilterCount(uint16_t layerId) const;
    size_t RegisteredCalloutCount() const;
    size_t FlowCount() const;  // flows not yet deleted
    size_t FlowContextCount() const;
    size_t SubscriptionCount() const;
    size_t InjectionHandleCount() const;

    // ---- The calls of os/wfp.h ----
    NTSTATUS EngineOpen(const FWPM_SESSION* session, ENGINE_HANDLE& handle);
    NTSTATUS EngineClose(ENGINE_HANDLE& handle);
    NTSTATUS TransactionBegin(const ENGINE_HANDLE& handle);
    NTSTATUS TransactionCommit(const ENGINE_HANDLE& handle);
    NTSTATUS TransactionAbort(const ENGINE_HANDLE& handle);
    NTSTATUS SubLayerAdd(const ENGINE_HANDLE& handle, const FWPM_SUBLAYER& subLayer);
    NTSTATUS CalloutAdd(const ENGINE_HANDLE& handle, const FWPM_CALLOUT& callout, uint32_t* id);
    NTSTATUS FilterAdd(const ENGINE_HANDLE& handle, const FWPM_FILTER& filter, uint64_t* id);
    NTSTATUS FilterDeleteById(const ENGINE_HANDLE& handle, uint64_t id);
    NTSTATUS CalloutRegister(const FWPS_CALLOUT& callout, uint32_t* calloutId);
    NTSTATUS CalloutUnregisterById(uint32_t calloutId);
    NTSTATUS Subscribe(FWPM_SERVICE_STATE_CHANGE_CALLBACK callback, BFE_SUBSCRIPTION& subscription);
    NTSTATUS Unsubscribe(BFE_SUBSCRIPTION& subscription);
    NTSTATUS FlowAssociateContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                  uint64_t flowContext);
    NTSTATUS FlowRemoveContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId);
    bool StreamCanRedirectServer(uint64_t flowId) const;
    NTSTATUS StreamRedirectServer(uint64_t flowId, const IP_ADDRESS_BYTES& address);
    NTSTATUS InjectionHandleCreate(AddressFamily family, uint32_t flags, INJECTION_HANDLE& handle);
    NTSTATUS InjectionHandleDestroy(INJECTION_HANDLE& handle);
    NTSTATUS StreamInject(const INJECTION_HANDLE& handle, uint64_t flowId, uint32_t calloutId,
                          uint16_t layerId, uint32_t streamFlags, NetBufferListChain&& data,
                          size_t dataLength, FWPS_INJECT_COMPLETE completion);
    NTSTATUS TransportReceiveInject(const INJECTION_HANDLE& handle, void* injectionContext,
                                    AddressFamily family, uint32_t interfaceIndex,
                                    uint32_t subInterfaceIndex, NetBufferListPtr&& packet,
                                    FWPS_INJECT_COMPLETE completion);

  private:
    friend class StreamFlow;
    friend class DatagramEndpoint;

    struct SESSION;
    struct SUBLAYER_RECORD;
    struct CALLOUT_RECORD;
    struct FILTER_RECORD;
    struct RUNTIME_CALLOUT;
    struct INJECTION_RECORD {
        AddressFamily family;
        uint32_t types;
    };
    // One unit of work for the completion thread.
    struct WORK_ITEM {
        std::shared_ptr<StreamFlow> flow;          // stream injection: its flow
        std::shared_ptr<DatagramEndpoint> target;  // receive injection: the endpoint to deliver to
        uint64_t injectorId = 0;
        NetBufferListChain data;
        NTSTATUS status = STATUS_SUCCESS;
        FWPS_INJECT_COMPLETE completion;
    };

    SESSION* FindSessionLocked(const ENGINE_HANDLE& handle, NTSTATUS* status);
    // Ends the session's transaction and empties its lists of the objects it added.
    void EndTransactionLocked(SESSION& session);
    void RemoveSessionObjectsLocked(uint64_t sessionId);
    void RemoveFilterLocked(uint64_t filterId);
    void RebuildLayerLocked(uint16_t layerId);
    bool Matches(const FILTER_RECORD& filter, const FWPS_INCOMING_VALUES& values) const;
    // Takes every flow-context entry of a callout (for unregistering) under the flows lock.
    void DeleteContextsOfCallout(uint32_t calloutId);
    // Caller holds objectsLock_ shared, so an unregister waits until the call has returned.
    void RunFlowDelete(uint16_t layerId, uint32_t calloutId, uint64_t context);
    std::shared_ptr<StreamFlow> FindFlow(uint64_t flowId) const;
    // Called by a flow that has ended: forgets it and runs the flow-delete functions.
    void RetireFlow(StreamFlow& flow);
    bool InjectionHandleValid(uint64_t id, uint32_t type, AddressFamily family) const;

    void Enqueue(WORK_ITEM item);
    void CompletionThreadMain();
    void RunWorkItem(WORK_ITEM& item);

    FilterEngine* previous_;

    // Management objects and runtime callouts: classify holds it shared.
    mutable std::shared_mutex objectsLock_;
    FWPM_SERVICE_STATE bfeState_;
    uint64_t nextSessionId_ = 1;
    uint64_t nextFilterId_ = 1;
    uint64_t nextOrder_ = 1;
    uint32_t nextCalloutId_ = 1;
    uint32_t nextRuntimeId_ = 1;
    std::map<uint64_t, std::unique_ptr<SESSION>> sessions_;
    std::map<GUID, std::unique_ptr<SUBLAYER_RECORD>> sublayers_;
    std::map<GUID, std::unique_ptr<CALLOUT_RECORD>> callouts_;
    std::map<uint64_t, std::unique_ptr<FILTER_RECORD>> filters_;
    std::map<uint16_t, std::vector<FILTER_RECORD*>> layerFilters_;  // in evaluation order
    std::map<uint32_t, std::unique_ptr<RUNTIME_CALLOUT>> runtime_;
    // Registered runtime IDs, readable by calls that a classify makes while it holds objectsLock_.
    mutable std::mutex registeredLock_;
    std::set<uint32_t> registered_;

    // BFE subscribers; callbacks run under the recursive callback lock, never under objectsLock_.
    mutable std::mutex subscriptionsLock_;
    std::recursive_mutex callbackLock_;
    uint64_t nextSubscriptionId_ = 1;
    std::map<uint64_t, std::shared_ptr<FWPM_SERVICE_STATE_CHANGE_CALLBACK>> subscriptions_;

    mutable std::mutex injectionLock_;
    uint64_t nextInjectionId_ = 1;
    std::map<uint64_t, INJECTION_RECORD> injectionHandles_;

    // Flows by flow handle, and datagram endpoints for routing injected packets.
    mutable std::mutex flowsLock_;
    uint64_t nextFlowId_ = 0x10000;
    std::map<uint64_t, std::shared_ptr<StreamFlow>> flows_;
    std::vector<std::weak_ptr<DatagramEndpoint>> endpoints_;

    // Completion thread and its queue.
    std::mutex workLock_;
    std::deque<WORK_ITEM> work_;
    size_t outstanding_ = 0;  // queued or running work items
    Event workReady_{EventType::Synchronization};
    Event stop_{EventType::Notification};
    Event idle_{EventType::Notification, true};
    std::shared_ptr<Thread> completionThread_;
};

}  // namespace os
