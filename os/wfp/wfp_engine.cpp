#include "os/wfp/wfp_engine.h"

#include <algorithm>

#include "os/wfp/wfp_flow.h"

namespace os {
namespace {

std::atomic<FilterEngine*> gCurrentEngine{nullptr};

constexpr uint16_t kKnownLayers[] = {
    FWPS_LAYER_STREAM_V4,
    FWPS_LAYER_STREAM_V6,
    FWPS_LAYER_DATAGRAM_DATA_V4,
    FWPS_LAYER_DATAGRAM_DATA_V6,
    FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4,
    FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6,
};

std::optional<uint16_t> LayerIdOfKey(const GUID& key) {
    for (uint16_t id : kKnownLayers) {
        if (LayerKey(id) == key) {
            return id;
        }
    }
    return std::nullopt;
}

bool IsV6Layer(uint16_t layerId) {
    return layerId == FWPS_LAYER_STREAM_V6 || layerId == FWPS_LAYER_DATAGRAM_DATA_V6 ||
           layerId == FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6;
}

bool IsStreamLayer(uint16_t layerId) {
    return layerId == FWPS_LAYER_STREAM_V4 || layerId == FWPS_LAYER_STREAM_V6;
}

// The value type each condition field takes at a layer.
FWP_DATA_TYPE ExpectedType(FWPM_CONDITION_FIELD field, uint16_t layerId) {
    switch (field) {
        case FWPM_CONDITION_IP_PROTOCOL:
            return FWP_UINT8;
        case FWPM_CONDITION_IP_REMOTE_PORT:
        case FWPM_CONDITION_IP_LOCAL_PORT:
            return FWP_UINT16;
        case FWPM_CONDITION_IP_REMOTE_ADDRESS:
            return IsV6Layer(layerId) ? FWP_BYTE_ARRAY16_TYPE : FWP_UINT32;
        case FWPM_CONDITION_DIRECTION:
            return FWP_UINT32;
    }
    return FWP_EMPTY;
}

bool ConditionHolds(const FWPM_FILTER_CONDITION& condition, const FWPS_INCOMING_VALUES& values) {
    bool equal = false;
    const FWP_CONDITION_VALUE& expected = condition.conditionValue;
    switch (condition.fieldKey) {
        case FWPM_CONDITION_IP_PROTOCOL:
            equal = values.protocol == expected.value;
            break;
        case FWPM_CONDITION_IP_REMOTE_PORT:
            equal = values.remotePort == expected.value;
            break;
        case FWPM_CONDITION_IP_LOCAL_PORT:
            equal = values.localPort == expected.value;
            break;
        case FWPM_CONDITION_IP_REMOTE_ADDRESS:
            equal = expected.type == FWP_BYTE_ARRAY16_TYPE
                        ? values.remoteAddressV6 == expected.byteArray16
                        : values.remoteAddressV4 == expected.value;
            break;
        case FWPM_CONDITION_DIRECTION:
            equal = values.direction == expected.value;
            break;
    }
    return condition.matchType == FWP_MATCH_EQUAL ? equal : !equal;
}

}  // namespace

struct FilterEngine::SESSION {
    uint64_t id = 0;
    bool dynamic = false;
    bool aborted = false;
    bool inTransaction = false;
    // What the open transaction added, undone by an abort.
    std::vector<GUID> txnSublayers;
    std::vector<GUID> txnCallouts;
    std::vector<uint64_t> txnFilters;
};

struct FilterEngine::SUBLAYER_RECORD {
    FWPM_SUBLAYER sublayer;
    uint64_t session = 0;  // the dynamic session that owns it; 0 for persistent objects
};

struct FilterEngine::CALLOUT_RECORD {
    FWPM_CALLOUT callout;
    uint32_t id = 0;
    uint64_t session = 0;
};

struct FilterEngine::RUNTIME_CALLOUT {
    FWPS_CALLOUT callout;
    uint32_t id = 0;
};

struct FilterEngine::FILTER_RECORD {
    FWPM_FILTER filter;
    uint16_t layerId = 0;
    uint16_t sublayerWeight = 0;
    uint64_t order = 0;
    uint64_t session = 0;
    bool committed = true;
    FWPS_FILTER runtime;
    RUNTIME_CALLOUT* callout = nullptr;  // resolved while the runtime callout is registered
};

// ---- Installation ----

FilterEngine::FilterEngine(FWPM_SERVICE_STATE bfeState)
    : previous_(gCurrentEngine.load()), bfeState_(bfeState) {
    auto universal = std::make_unique<SUBLAYER_RECORD>();
    universal->sublayer.subLayerKey = FWPM_SUBLAYER_UNIVERSAL;
    universal->sublayer.displayData.name = "Universal";
    sublayers_.emplace(FWPM_SUBLAYER_UNIVERSAL, std::move(universal));
    gCurrentEngine.store(this);
}

FilterEngine::~FilterEngine() {
    std::shared_ptr<Thread> thread;
    {
        std::lock_guard guard(workLock_);
        thread = completionThread_;
    }
    if (thread) {
        stop_.Set();
        WaitForSingleObject(*thread, INFINITE);
    }
    // Whatever the thread left is completed here, so no injected list is lost.
    for (;;) {
        WORK_ITEM item;
        {
            std::lock_guard guard(workLock_);
            if (work_.empty()) {
                break;
            }
            item = std::move(work_.front());
            work_.pop_front();
        }
        RunWorkItem(item);
    }
    {
        std::lock_guard guard(flowsLock_);
        flows_.clear();
    }
    FilterEngine* expected = this;
    gCurrentEngine.compare_exchange_strong(expected, previous_);
}

FilterEngine& FilterEngine::Current() {
    FilterEngine* engine = gCurrentEngine.load();
    if (engine != nullptr) {
        return *engine;
    }
    // Never destroyed: classify calls and completions may outlive static destruction.
    static FilterEngine* fallback = [] {
        FilterEngine* created = new FilterEngine();
        return created;
    }();
    engine = gCurrentEngine.load();
    return engine != nullptr ? *engine : *fallback;
}

// ---- Base filtering engine ----

FWPM_SERVICE_STATE FilterEngine::BfeState() const {
    std::shared_lock guard(objectsLock_);
    return bfeState_;
}

void FilterEngine::SetBfeState(FWPM_SERVICE_STATE state) {
    {
        std::unique_lock guard(objectsLock_);
        FWPM_SERVICE_STATE old = bfeState_;
        bfeState_ = state;
        if (old == FWPM_SERVICE_RUNNING && state != FWPM_SERVICE_RUNNING) {
            for (auto& [id, session] : sessions_) {
                if (!session->aborted) {
                    RemoveSessionObjectsLocked(id);
                    session->aborted = true;
                    session->inTransaction = false;
                }
            }
        }
    }
    std::lock_guard callbacks(callbackLock_);
    std::vector<std::shared_ptr<FWPM_SERVICE_STATE_CHANGE_CALLBACK>> targets;
    {
        std::lock_guard guard(subscriptionsLock_);
        for (auto& [id, callback] : subscriptions_) {
            targets.push_back(callback);
        }
    }
    for (auto& callback : targets) {
        (*callback)(state);
    }
}

NTSTATUS FilterEngine::Subscribe(FWPM_SERVICE_STATE_CHANGE_CALLBACK callback,
                                 BFE_SUBSCRIPTION& subscription) {
    if (!callback) {
        return STATUS_INVALID_PARAMETER;
    }
    Unsubscribe(subscription);
    std::lock_guard guard(subscriptionsLock_);
    uint64_t id = nextSubscriptionId_++;
    subscriptions_.emplace(
        id, std::make_shared<FWPM_SERVICE_STATE_CHANGE_CALLBACK>(std::move(callback)));
    subscription.engine_ = this;
    subscription.id_ = id;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::Unsubscribe(BFE_SUBSCRIPTION& subscription) {
    if (subscription.id_ == 0) {
        return STATUS_INVALID_HANDLE;
    }
    // Taking the callback lock waits for callbacks running on other threads.
    std::lock_guard callbacks(callbackLock_);
    std::lock_guard guard(subscriptionsLock_);
    subscriptions_.erase(subscription.id_);
    subscription.id_ = 0;
    subscription.engine_ = nullptr;
    return STATUS_SUCCESS;
}

// ---- Sessions and transactions ----

FilterEngine::SESSION* FilterEngine::FindSessionLocked(const ENGINE_HANDLE& handle,
                                                       NTSTATUS* status) {
    if (handle.engine_ != this) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    auto it = sessions_.find(handle.session_);
    if (it == sessions_.end()) {
        *status = STATUS_INVALID_HANDLE;
        return nullptr;
    }
    if (it->second->aborted) {
        *status = STATUS_FWP_SESSION_ABORTED;
        return nullptr;
    }
    *status = STATUS_SUCCESS;
    return it->second.get();
}

NTSTATUS FilterEngine::EngineOpen(const FWPM_SESSION* session, ENGINE_HANDLE& handle) {
    std::unique_lock guard(objectsLock_);
    if (bfeState_ != FWPM_SERVICE_RUNNING) {
        return STATUS_DEVICE_NOT_READY;
    }
    auto record = std::make_unique<SESSION>();
    record->id = nextSessionId_++;
    record->dynamic = session != nullptr && (session->flags & FWPM_SESSION_FLAG_DYNAMIC) != 0;
    uint64_t id = record->id;
    sessions_.emplace(id, std::move(record));
    guard.unlock();
    EngineClose(handle);
    handle.engine_ = this;
    handle.session_ = id;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::EngineClose(ENGINE_HANDLE& handle) {
    if (handle.session_ == 0) {
        return STATUS_INVALID_HANDLE;
    }
    if (handle.engine_ != this) {
        return handle.engine_->EngineClose(handle);
    }
    std::unique_lock guard(objectsLock_);
    auto it = sessions_.find(handle.session_);
    if (it != sessions_.end()) {
        SESSION& session = *it->second;
        if (!session.aborted) {
            if (session.inTransaction) {
                // An open transaction is aborted: what it added goes whatever the session kind.
                for (uint64_t filterId : session.txnFilters) {
                    RemoveFilterLocked(filterId);
                }
                for (const GUID& key : session.txnCallouts) {
                    callouts_.erase(key);
                }
                for (const GUID& key : session.txnSublayers) {
                    sublayers_.erase(key);
                }
            }
            if (session.dynamic) {
                RemoveSessionObjectsLocked(session.id);
            }
        }
        sessions_.erase(it);
    }
    handle.session_ = 0;
    handle.engine_ = nullptr;
    return STATUS_SUCCESS;
}

void FilterEngine::RemoveSessionObjectsLocked(uint64_t sessionId) {
    std::vector<uint64_t> filterIds;
    for (auto& [id, filter] : filters_) {
        bool owned = filter->session == sessionId;
        // A filter that names a callout or sublayer about to go cannot stay either.
        auto callout = callouts_.find(filter->filter.action.calloutKey);
        bool calloutGoes = (filter->filter.action.type & FWP_ACTION_FLAG_CALLOUT) != 0 &&
                           callout != callouts_.end() && callout->second->session == sessionId;
        auto sublayer = sublayers_.find(filter->filter.subLayerKey);
        bool sublayerGoes = sublayer != sublayers_.end() && sublayer->second->session == sessionId;
        if (owned || calloutGoes || sublayerGoes) {
            filterIds.push_back(id);
        }
    }
    for (uint64_t id : filterIds) {
        RemoveFilterLocked(id);
    }
    std::erase_if(callouts_, [&](const auto& entry) { return entry.second->session == sessionId; });
    std::erase_if(sublayers_,
                  [&](const auto& entry) { return entry.second->session == sessionId; });
}

NTSTATUS FilterEngine::TransactionBegin(const ENGINE_HANDLE& handle) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    if (session->inTransaction) {
        return STATUS_FWP_TXN_IN_PROGRESS;
    }
    session->inTransaction = true;
    return STATUS_SUCCESS;
}

void FilterEngine::EndTransactionLocked(SESSION& session) {
    session.txnFilters.clear();
    session.txnCallouts.clear();
    session.txnSublayers.clear();
    session.inTransaction = false;
}

NTSTATUS FilterEngine::TransactionCommit(const ENGINE_HANDLE& handle) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    if (!session->inTransaction) {
        return STATUS_FWP_NO_TXN_IN_PROGRESS;
    }
    for (uint64_t filterId : session->txnFilters) {
        auto it = filters_.find(filterId);
        if (it != filters_.end()) {
            it->second->committed = true;
        }
    }
    EndTransactionLocked(*session);
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::TransactionAbort(const ENGINE_HANDLE& handle) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    if (!session->inTransaction) {
        return STATUS_FWP_NO_TXN_IN_PROGRESS;
    }
    for (uint64_t filterId : session->txnFilters) {
        RemoveFilterLocked(filterId);
    }
    for (const GUID& key : session->txnCallouts) {
        callouts_.erase(key);
    }
    for (const GUID& key : session->txnSublayers) {
        sublayers_.erase(key);
    }
    EndTransactionLocked(*session);
    return STATUS_SUCCESS;
}

// ---- Management objects ----

NTSTATUS FilterEngine::SubLayerAdd(const ENGINE_HANDLE& handle, const FWPM_SUBLAYER& subLayer) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    if (subLayer.subLayerKey.IsNull()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (sublayers_.count(subLayer.subLayerKey) != 0) {
        return STATUS_FWP_ALREADY_EXISTS;
    }
    auto record = std::make_unique<SUBLAYER_RECORD>();
    record->sublayer = subLayer;
    record->session = session->dynamic ? session->id : 0;
    sublayers_.emplace(subLayer.subLayerKey, std::move(record));
    if (session->inTransaction) {
        session->txnSublayers.push_back(subLayer.subLayerKey);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::CalloutAdd(const ENGINE_HANDLE& handle, const FWPM_CALLOUT& callout,
                                  uint32_t* id) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    if (callout.calloutKey.IsNull()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!LayerIdOfKey(callout.applicableLayer)) {
        return STATUS_FWP_LAYER_NOT_FOUND;
    }
    if (callouts_.count(callout.calloutKey) != 0) {
        return STATUS_FWP_ALREADY_EXISTS;
    }
    auto record = std::make_unique<CALLOUT_RECORD>();
    record->callout = callout;
    record->id = nextCalloutId_++;
    record->session = session->dynamic ? session->id : 0;
    if (id != nullptr) {
        *id = record->id;
    }
    callouts_.emplace(callout.calloutKey, std::move(record));
    if (session->inTransaction) {
        session->txnCallouts.push_back(callout.calloutKey);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::FilterAdd(const ENGINE_HANDLE& handle, const FWPM_FILTER& filter,
                                 uint64_t* id) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    std::optional<uint16_t> layerId = LayerIdOfKey(filter.layerKey);
    if (!layerId) {
        return STATUS_FWP_LAYER_NOT_FOUND;
    }
    auto sublayer = sublayers_.find(filter.subLayerKey);
    if (sublayer == sublayers_.end()) {
        return STATUS_FWP_SUBLAYER_NOT_FOUND;
    }
    if (!filter.filterKey.IsNull()) {
        for (auto& [existingId, existing] : filters_) {
            if (existing->filter.filterKey == filter.filterKey) {
                return STATUS_FWP_ALREADY_EXISTS;
            }
        }
    }
    for (const auto& condition : filter.filterConditions) {
        if (condition.conditionValue.type != ExpectedType(condition.fieldKey, *layerId)) {
            return STATUS_FWP_TYPE_MISMATCH;
        }
        if (condition.matchType != FWP_MATCH_EQUAL && condition.matchType != FWP_MATCH_NOT_EQUAL) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    uint32_t type = filter.action.type;
    bool calloutAction = type == FWP_ACTION_CALLOUT_TERMINATING ||
                         type == FWP_ACTION_CALLOUT_INSPECTION ||
                         type == FWP_ACTION_CALLOUT_UNKNOWN;
    if (!calloutAction && type != FWP_ACTION_PERMIT && type != FWP_ACTION_BLOCK) {
        return STATUS_INVALID_PARAMETER;
    }
    if (calloutAction) {
        auto callout = callouts_.find(filter.action.calloutKey);
        if (callout == callouts_.end()) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
        if (callout->second->callout.applicableLayer != filter.layerKey) {
            return STATUS_FWP_INCOMPATIBLE_LAYER;
        }
    }

    auto record = std::make_unique<FILTER_RECORD>();
    record->filter = filter;
    if (record->filter.filterKey.IsNull()) {
        // A key of our own making: unique within this engine.
        record->filter.filterKey = GUID{0x46494c54, 0, 0, {}};
        uint64_t serial = nextFilterId_;
        for (int i = 0; i < 8; ++i) {
            record->filter.filterKey.Data4[i] = static_cast<uint8_t>(serial >> (56 - 8 * i));
        }
    }
    record->layerId = *layerId;
    record->sublayerWeight = sublayer->second->sublayer.weight;
    record->order = nextOrder_++;
    record->session = session->dynamic ? session->id : 0;
    record->committed = !session->inTransaction;
    record->runtime.filterId = nextFilterId_++;
    record->runtime.weight = filter.weight.value_or(0);
    record->runtime.subLayerWeight = record->sublayerWeight;
    record->runtime.flags = (filter.flags & FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT)
                                ? FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT
                                : 0;
    record->runtime.action.type = type;
    record->runtime.context = filter.rawContext;
    if (calloutAction) {
        for (auto& [runtimeId, runtime] : runtime_) {
            if (runtime->callout.calloutKey == filter.action.calloutKey) {
                record->callout = runtime.get();
                record->runtime.action.calloutId = runtimeId;
            }
        }
        // The callout hears of the new filter and may refuse it.
        if (record->callout != nullptr && record->callout->callout.notifyFn) {
            NTSTATUS notified = record->callout->callout.notifyFn(
                FWPS_CALLOUT_NOTIFY_ADD_FILTER, record->filter.filterKey, record->runtime);
            if (!NT_SUCCESS(notified)) {
                return notified;
            }
        }
    }
    uint64_t filterId = record->runtime.filterId;
    if (id != nullptr) {
        *id = filterId;
    }
    filters_.emplace(filterId, std::move(record));
    if (session->inTransaction) {
        session->txnFilters.push_back(filterId);
    }
    RebuildLayerLocked(*layerId);
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::FilterDeleteById(const ENGINE_HANDLE& handle, uint64_t id) {
    std::unique_lock guard(objectsLock_);
    NTSTATUS status;
    SESSION* session = FindSessionLocked(handle, &status);
    if (session == nullptr) {
        return status;
    }
    if (filters_.count(id) == 0) {
        return STATUS_FWP_FILTER_NOT_FOUND;
    }
    RemoveFilterLocked(id);
    std::erase(session->txnFilters, id);
    return STATUS_SUCCESS;
}

void FilterEngine::RemoveFilterLocked(uint64_t filterId) {
    auto it = filters_.find(filterId);
    if (it == filters_.end()) {
        return;
    }
    FILTER_RECORD& record = *it->second;
    if (record.callout != nullptr && record.callout->callout.notifyFn) {
        record.callout->callout.notifyFn(FWPS_CALLOUT_NOTIFY_DELETE_FILTER, record.filter.filterKey,
                                         record.runtime);
    }
    uint16_t layerId = record.layerId;
    filters_.erase(it);
    RebuildLayerLocked(layerId);
}

void FilterEngine::RebuildLayerLocked(uint16_t layerId) {
    std::vector<FILTER_RECORD*> ordered;
    for (auto& [id, filter] : filters_) {
        if (filter->layerId == layerId) {
            ordered.push_back(filter.get());
        }
    }
    // Sublayers by weight (heaviest first), then filters by weight, weighted before automatic,
    // then in the order they were added.
    std::sort(ordered.begin(), ordered.end(), [](const FILTER_RECORD* a, const FILTER_RECORD* b) {
        if (a->sublayerWeight != b->sublayerWeight) {
            return a->sublayerWeight > b->sublayerWeight;
        }
        if (a->filter.subLayerKey != b->filter.subLayerKey) {
            return a->filter.subLayerKey < b->filter.subLayerKey;
        }
        bool aWeighted = a->filter.weight.has_value();
        bool bWeighted = b->filter.weight.has_value();
        if (aWeighted != bWeighted) {
            return aWeighted;
        }
        if (aWeighted && *a->filter.weight != *b->filter.weight) {
            return *a->filter.weight > *b->filter.weight;
        }
        return a->order < b->order;
    });
    if (ordered.empty()) {
        layerFilters_.erase(layerId);
    } else {
        layerFilters_[layerId] = std::move(ordered);
    }
}

// ---- Runtime callouts ----

NTSTATUS FilterEngine::CalloutRegister(const FWPS_CALLOUT& callout, uint32_t* calloutId) {
    if (callout.calloutKey.IsNull() || !callout.classifyFn) {
        return STATUS_INVALID_PARAMETER;
    }
    std::unique_lock guard(objectsLock_);
    for (auto& [id, runtime] : runtime_) {
        if (runtime->callout.calloutKey == callout.calloutKey) {
            return STATUS_FWP_ALREADY_EXISTS;
        }
    }
    auto record = std::make_unique<RUNTIME_CALLOUT>();
    record->callout = callout;
    record->id = nextRuntimeId_++;
    RUNTIME_CALLOUT* raw = record.get();
    runtime_.emplace(raw->id, std::move(record));
    // Filters added before the callout registered now reach it.
    for (auto& [id, filter] : filters_) {
        if ((filter->filter.action.type & FWP_ACTION_FLAG_CALLOUT) != 0 &&
            filter->filter.action.calloutKey == callout.calloutKey) {
            filter->callout = raw;
            filter->runtime.action.calloutId = raw->id;
            if (raw->callout.notifyFn) {
                raw->callout.notifyFn(FWPS_CALLOUT_NOTIFY_ADD_FILTER, filter->filter.filterKey,
                                      filter->runtime);
            }
        }
    }
    {
        std::lock_guard registered(registeredLock_);
        registered_.insert(raw->id);
    }
    if (calloutId != nullptr) {
        *calloutId = raw->id;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::CalloutUnregisterById(uint32_t calloutId) {
    {
        std::shared_lock guard(objectsLock_);
        if (runtime_.count(calloutId) == 0) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
    }
    {
        // No new associations from here on; the ones there are get their flow-delete.
        std::lock_guard registered(registeredLock_);
        registered_.erase(calloutId);
    }
    DeleteContextsOfCallout(calloutId);
    // The exclusive lock waits for classify calls still inside the callout.
    std::unique_lock guard(objectsLock_);
    auto it = runtime_.find(calloutId);
    if (it == runtime_.end()) {
        return STATUS_FWP_CALLOUT_NOT_FOUND;
    }
    for (auto& [id, filter] : filters_) {
        if (filter->callout == it->second.get()) {
            filter->callout = nullptr;
            filter->runtime.action.calloutId = 0;
        }
    }
    runtime_.erase(it);
    return STATUS_SUCCESS;
}

// ---- Classify ----

bool FilterEngine::Matches(const FILTER_RECORD& filter, const FWPS_INCOMING_VALUES& values) const {
    // Conditions on the same field are alternatives; different fields must all hold.
    const auto& conditions = filter.filter.filterConditions;
    for (size_t i = 0; i < conditions.size(); ++i) {
        FWPM_CONDITION_FIELD field = conditions[i].fieldKey;
        bool seenBefore = false;
        for (size_t j = 0; j < i; ++j) {
            seenBefore = seenBefore || conditions[j].fieldKey == field;
        }
        if (seenBefore) {
            continue;
        }
        bool any = false;
        for (size_t j = i; j < conditions.size() && !any; ++j) {
            any = conditions[j].fieldKey == field && ConditionHolds(conditions[j], values);
        }
        if (!any) {
            return false;
        }
    }
    return true;
}

FWPS_CLASSIFY_OUT FilterEngine::Classify(const FWPS_INCOMING_VALUES& values,
                                         const FWPS_INCOMING_METADATA_VALUES& metadata,
                                         void* layerData, const StreamFlow* flow) {
    FWPS_CLASSIFY_OUT result;
    result.actionType = FWP_ACTION_PERMIT;
    auto* streamPacket = IsStreamLayer(values.layerId) && layerData != nullptr
                             ? static_cast<FWPS_STREAM_CALLOUT_IO_PACKET*>(layerData)
                             : nullptr;
    std::shared_lock guard(objectsLock_);
    auto layer = layerFilters_.find(values.layerId);
    if (layer == layerFilters_.end()) {
        return result;
    }
    const std::vector<FILTER_RECORD*>& filters = layer->second;
    size_t i = 0;
    while (i < filters.size()) {
        // One sublayer: its first terminating decision counts.
        const GUID sublayerKey = filters[i]->filter.subLayerKey;
        std::optional<FWPS_CLASSIFY_OUT> decision;
        for (; i < filters.size() && filters[i]->filter.subLayerKey == sublayerKey; ++i) {
            const FILTER_RECORD& filter = *filters[i];
            if (decision || !filter.committed || !Matches(filter, values)) {
                continue;
            }
            uint32_t type = filter.filter.action.type;
            FWPS_CLASSIFY_OUT out;
            if ((type & FWP_ACTION_FLAG_CALLOUT) == 0) {
                out.actionType = type;
                decision = out;
                continue;
            }
            if (filter.callout == nullptr) {
                // A terminating callout that is not registered blocks.
                if (type != FWP_ACTION_CALLOUT_INSPECTION) {
                    out.actionType = FWP_ACTION_BLOCK;
                    decision = out;
                }
                continue;
            }
            uint64_t context =
                flow != nullptr ? flow->ContextFor(values.layerId, filter.callout->id) : 0;
            filter.callout->callout.classifyFn(values, metadata, layerData, filter.runtime, context,
                                               out);
            if (streamPacket != nullptr && streamPacket->streamAction != FWPS_STREAM_ACTION_NONE) {
                // A stream action decides the data for the whole layer.
                return out;
            }
            if (type != FWP_ACTION_CALLOUT_INSPECTION &&
                (out.actionType == FWP_ACTION_PERMIT || out.actionType == FWP_ACTION_BLOCK)) {
                decision = out;
            }
        }
        if (decision) {
            if (decision->actionType == FWP_ACTION_BLOCK) {
                return *decision;
            }
            result = *decision;
            // A permit that took the write right cannot be overridden by lower sublayers.
            if ((decision->rights & FWPS_RIGHT_ACTION_WRITE) == 0) {
                return result;
            }
        }
    }
    return result;
}

// ---- Flows and flow contexts ----

std::shared_ptr<StreamFlow> FilterEngine::OpenStreamFlow(
    const FLOW_TUPLE& tuple, std::optional<uint64_t> processId,
    std::shared_ptr<StreamEndpoints> endpoints) {
    std::shared_ptr<StreamFlow> flow;
    {
        std::lock_guard guard(flowsLock_);
        uint64_t flowId = nextFlowId_++;
        flow = std::make_shared<StreamFlow>(*this, flowId, tuple, processId, std::move(endpoints));
        flows_.emplace(flowId, flow);
    }
    flow->EstablishedClassify();
    return flow;
}

std::shared_ptr<DatagramEndpoint> FilterEngine::OpenDatagramEndpoint(
    const FLOW_TUPLE& tuple, std::optional<uint64_t> processId,
    std::shared_ptr<DatagramSink> sink) {
    auto endpoint = std::make_shared<DatagramEndpoint>(*this, tuple, processId, std::move(sink));
    std::lock_guard guard(flowsLock_);
    std::erase_if(endpoints_, [](const auto& weak) { return weak.expired(); });
    endpoints_.push_back(endpoint);
    return endpoint;
}

std::shared_ptr<StreamFlow> FilterEngine::FindFlow(uint64_t flowId) const {
    std::lock_guard guard(flowsLock_);
    auto it = flows_.find(flowId);
    return it == flows_.end() ? nullptr : it->second;
}

NTSTATUS FilterEngine::FlowAssociateContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                            uint64_t flowContext) {
    std::shared_ptr<StreamFlow> flow = FindFlow(flowId);
    if (!flow) {
        return STATUS_FWP_NOT_FOUND;
    }
    uint16_t established = flow->Tuple().localAddress.family == AddressFamily::IPv6
                               ? FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6
                               : FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4;
    if (layerId != flow->StreamLayerId() && layerId != established) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        // The runtime table is read without the objects lock, which a classify calling this holds.
        std::lock_guard guard(registeredLock_);
        if (registered_.count(calloutId) == 0) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
    }
    std::lock_guard guard(flow->contextLock_);
    if (flow->contextsClosed_) {
        return STATUS_FWP_NOT_FOUND;
    }
    for (const auto& entry : flow->contexts_) {
        if (entry.layerId == layerId && entry.calloutId == calloutId) {
            return STATUS_FWP_ALREADY_EXISTS;
        }
    }
    flow->contexts_.push_back({layerId, calloutId, flowContext});
    return STATUS_SUCCESS;
}

bool FilterEngine::StreamCanRedirectServer(uint64_t flowId) const {
    std::shared_ptr<StreamFlow> flow = FindFlow(flowId);
    return flow && flow->CanRedirectServer();
}

NTSTATUS FilterEngine::StreamRedirectServer(uint64_t flowId, const IP_ADDRESS_BYTES& address) {
    std::shared_ptr<StreamFlow> flow = FindFlow(flowId);
    if (!flow) {
        return STATUS_FWP_NOT_FOUND;
    }
    return flow->RedirectServer(address);
}

NTSTATUS FilterEngine::FlowRemoveContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) {
    std::shared_ptr<StreamFlow> flow = FindFlow(flowId);
    if (!flow) {
        return STATUS_FWP_NOT_FOUND;
    }
    uint64_t context = 0;
    // Held from taking the context until its flow-delete has run, so that an unregister of the
    // callout cannot complete while the callout is still being called.
    std::shared_lock objects(objectsLock_);
    {
        std::lock_guard guard(flow->contextLock_);
        auto it = std::find_if(flow->contexts_.begin(), flow->contexts_.end(), [&](const auto& e) {
            return e.layerId == layerId && e.calloutId == calloutId;
        });
        if (it == flow->contexts_.end()) {
            return STATUS_FWP_NOT_FOUND;
        }
        context = it->context;
        flow->contexts_.erase(it);
    }
    RunFlowDelete(layerId, calloutId, context);
    return STATUS_SUCCESS;
}

void FilterEngine::RunFlowDelete(uint16_t layerId, uint32_t calloutId, uint64_t context) {
    // The caller holds objectsLock_ shared, as a classify does while it calls a callout.
    auto it = runtime_.find(calloutId);
    if (it != runtime_.end() && it->second->callout.flowDeleteFn) {
        it->second->callout.flowDeleteFn(layerId, calloutId, context);
    }
}

void FilterEngine::DeleteContextsOfCallout(uint32_t calloutId) {
    std::vector<std::shared_ptr<StreamFlow>> flows;
    {
        std::lock_guard guard(flowsLock_);
        for (auto& [id, flow] : flows_) {
            flows.push_back(flow);
        }
    }
    std::shared_lock objects(objectsLock_);
    for (auto& flow : flows) {
        std::vector<StreamFlow::CONTEXT_ENTRY> taken;
        {
            std::lock_guard guard(flow->contextLock_);
            for (auto it = flow->contexts_.begin(); it != flow->contexts_.end();) {
                if (it->calloutId == calloutId) {
                    taken.push_back(*it);
                    it = flow->contexts_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const auto& entry : taken) {
            RunFlowDelete(entry.layerId, entry.calloutId, entry.context);
        }
    }
}

void FilterEngine::RetireFlow(StreamFlow& flow) {
    std::shared_ptr<StreamFlow> keep;
    {
        std::lock_guard guard(flowsLock_);
        auto it = flows_.find(flow.FlowId());
        if (it != flows_.end()) {
            keep = std::move(it->second);
            flows_.erase(it);
        }
    }
    std::vector<StreamFlow::CONTEXT_ENTRY> taken;
    // Held until the flow-deletes have run: an unregister of their callout waits for them.
    std::shared_lock objects(objectsLock_);
    {
        std::lock_guard guard(flow.contextLock_);
        flow.contextsClosed_ = true;
        taken.swap(flow.contexts_);
    }
    for (const auto& entry : taken) {
        RunFlowDelete(entry.layerId, entry.calloutId, entry.context);
    }
}

// ---- Injection ----

NTSTATUS FilterEngine::InjectionHandleCreate(AddressFamily family, uint32_t flags,
                                             INJECTION_HANDLE& handle) {
    constexpr uint32_t kKnownTypes = FWPS_INJECTION_TYPE_STREAM | FWPS_INJECTION_TYPE_TRANSPORT;
    if (flags == 0 || (flags & ~kKnownTypes) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    InjectionHandleDestroy(handle);
    std::lock_guard guard(injectionLock_);
    uint64_t id = nextInjectionId_++;
    injectionHandles_.emplace(id, INJECTION_RECORD{family, flags});
    handle.engine_ = this;
    handle.id_ = id;
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::InjectionHandleDestroy(INJECTION_HANDLE& handle) {
    if (handle.id_ == 0) {
        return STATUS_INVALID_HANDLE;
    }
    if (handle.engine_ != this) {
        return handle.engine_->InjectionHandleDestroy(handle);
    }
    std::lock_guard guard(injectionLock_);
    injectionHandles_.erase(handle.id_);
    handle.id_ = 0;
    handle.engine_ = nullptr;
    return STATUS_SUCCESS;
}

bool FilterEngine::InjectionHandleValid(uint64_t id, uint32_t type, AddressFamily family) const {
    std::lock_guard guard(injectionLock_);
    auto it = injectionHandles_.find(id);
    if (it == injectionHandles_.end() || (it->second.types & type) == 0) {
        return false;
    }
    return it->second.family == AddressFamily::Unspecified || it->second.family == family;
}

NTSTATUS FilterEngine::StreamInject(const INJECTION_HANDLE& handle, uint64_t flowId,
                                    uint32_t calloutId, uint16_t layerId, uint32_t streamFlags,
                                    NetBufferListChain&& data, size_t dataLength,
                                    FWPS_INJECT_COMPLETE completion) {
    std::shared_ptr<StreamFlow> flow = FindFlow(flowId);
    if (!flow) {
        return STATUS_FWP_NOT_FOUND;
    }
    if (handle.engine_ != this || !InjectionHandleValid(handle.id_, FWPS_INJECTION_TYPE_STREAM,
                                                        flow->Tuple().localAddress.family)) {
        return STATUS_INVALID_HANDLE;
    }
    if (layerId != flow->StreamLayerId()) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard guard(registeredLock_);
        if (registered_.count(calloutId) == 0) {
            return STATUS_FWP_CALLOUT_NOT_FOUND;
        }
    }
    bool send = (streamFlags & FWPS_STREAM_FLAG_SEND) != 0;
    bool receive = (streamFlags & FWPS_STREAM_FLAG_RECEIVE) != 0;
    if (send == receive) {
        return STATUS_INVALID_PARAMETER;
    }
    uint32_t ownDisconnect =
        send ? FWPS_STREAM_FLAG_SEND_DISCONNECT : FWPS_STREAM_FLAG_RECEIVE_DISCONNECT;
    uint32_t otherDisconnect =
        send ? FWPS_STREAM_FLAG_RECEIVE_DISCONNECT : FWPS_STREAM_FLAG_SEND_DISCONNECT;
    if ((streamFlags & otherDisconnect) != 0 || dataLength != data.DataLength()) {
        return STATUS_INVALID_PARAMETER;
    }
    FWP_DIRECTION direction = send ? FWP_DIRECTION_OUTBOUND : FWP_DIRECTION_INBOUND;
    NTSTATUS status = flow->Inject(direction, data, (streamFlags & ownDisconnect) != 0);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WORK_ITEM item;
    item.flow = std::move(flow);
    item.injectorId = handle.id_;
    item.data = std::move(data);
    item.completion = std::move(completion);
    Enqueue(std::move(item));
    return STATUS_SUCCESS;
}

NTSTATUS FilterEngine::TransportReceiveInject(const INJECTION_HANDLE& handle,
                                              void* injectionContext, AddressFamily family,
                                              uint32_t interfaceIndex, uint32_t subInterfaceIndex,
                                              NetBufferListPtr&& packet,
                                              FWPS_INJECT_COMPLETE completion) {
    if (!packet || packet->Next != nullptr ||
        (family != AddressFamily::IPv4 && family != AddressFamily::IPv6)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (handle.engine_ != this ||
        !InjectionHandleValid(handle.id_, FWPS_INJECTION_TYPE_TRANSPORT, family)) {
        return STATUS_INVALID_HANDLE;
    }
    WORK_ITEM item;
    item.injectorId = handle.id_;
    std::optional<UDP_PACKET_VIEW> view = ParseUdpPacket(packet->Data());
    if (!view || view->destination.family != family) {
        item.status = STATUS_INVALID_PARAMETER;
    } else {
        // Two endpoints may have one tuple (a backend that presents DNS over TCP as datagrams
        // beside a UDP exchange of the same ports): a clone goes back to the endpoint that
        // indicated its original, and only a packet from nowhere to the first that matches.
        const uint64_t indicatedBy = NetBufferAccess::IndicatedBy(*packet);
        std::lock_guard guard(flowsLock_);
        for (const auto& weak : endpoints_) {
            std::shared_ptr<DatagramEndpoint> endpoint = weak.lock();
            if (!endpoint) {
                continue;
            }
            const FLOW_TUPLE& tuple = endpoint->Tuple();
            if (tuple.localAddress == view->destination &&
                tuple.localPort == view->destinationPort && tuple.remoteAddress == view->source &&
                tuple.remotePort == view->sourcePort && tuple.interfaceIndex == interfaceIndex &&
                tuple.subInterfaceIndex == subInterfaceIndex) {
                const bool indicator = endpoint->Id() == indicatedBy;
                if (!item.target || indicator) {
                    item.target = std::move(endpoint);
                }
                if (indicator) {
                    break;
                }
            }
        }
        if (!item.target) {
            item.status = STATUS_NOT_FOUND;
        }
    }
    NetBufferAccess::MarkInjected(*packet, handle.id_, injectionContext);
    item.data.Append(std::move(packet));
    item.completion = std::move(completion);
    Enqueue(std::move(item));
    return STATUS_SUCCESS;
}

// ---- Completion thread ----

void FilterEngine::Enqueue(WORK_ITEM item) {
    std::lock_guard guard(workLock_);
    if (outstanding_++ == 0) {
        idle_.Reset();
    }
    work_.push_back(std::move(item));
    if (!completionThread_) {
        completionThread_ = Thread::Start([this] { CompletionThreadMain(); }, "WFP completion");
    }
    workReady_.Set();
}

void FilterEngine::CompletionThreadMain() {
    DispatcherObject* objects[] = {&stop_, &workReady_};
    for (;;) {
        if (WaitForMultipleObjects(objects, false, INFINITE) == WAIT_OBJECT_0) {
            return;
        }
        for (;;) {
            WORK_ITEM item;
            {
                std::lock_guard guard(workLock_);
                if (work_.empty()) {
                    break;
                }
                item = std::move(work_.front());
                work_.pop_front();
            }
            RunWorkItem(item);
            if (stop_.IsSet()) {
                return;
            }
        }
    }
}

void FilterEngine::RunWorkItem(WORK_ITEM& item) {
    if (item.target && NT_SUCCESS(item.status)) {
        item.status = item.target->IndicateInjected(*item.data.Head());
    }
    for (auto* list = item.data.Head(); list != nullptr; list = list->Next) {
        list->Status = item.status;
    }
    if (item.completion) {
        item.completion(std::move(item.data), item.status);
    }
    item.data.Clear();
    if (item.flow) {
        item.flow->InjectionCompleted();
        item.flow.reset();
    }
    item.target.reset();
    std::lock_guard guard(workLock_);
    if (--outstanding_ == 0) {
        idle_.Set();
    }
}

bool FilterEngine::WaitForCompletions(uint32_t milliseconds) {
    return WaitForSingleObject(idle_, milliseconds) == WAIT_OBJECT_0;
}

// ---- Counts ----

size_t FilterEngine::SessionCount() const {
    std::shared_lock guard(objectsLock_);
    return sessions_.size();
}

size_t FilterEngine::SublayerCount() const {
    std::shared_lock guard(objectsLock_);
    return sublayers_.size();
}

size_t FilterEngine::CalloutCount() const {
    std::shared_lock guard(objectsLock_);
    return callouts_.size();
}

size_t FilterEngine::FilterCount(uint16_t layerId) const {
    std::shared_lock guard(objectsLock_);
    auto it = layerFilters_.find(layerId);
    return it == layerFilters_.end() ? 0 : it->second.size();
}

size_t FilterEngine::RegisteredCalloutCount() const {
    std::shared_lock guard(objectsLock_);
    return runtime_.size();
}

size_t FilterEngine::FlowCount() const {
    std::lock_guard guard(flowsLock_);
    return flows_.size();
}

size_t FilterEngine::FlowContextCount() const {
    std::vector<std::shared_ptr<StreamFlow>> flows;
    {
        std::lock_guard guard(flowsLock_);
        for (const auto& [id, flow] : flows_) {
            flows.push_back(flow);
        }
    }
    size_t count = 0;
    for (const auto& flow : flows) {
        std::lock_guard guard(flow->contextLock_);
        count += flow->contexts_.size();
    }
    return count;
}

size_t FilterEngine::SubscriptionCount() const {
    std::lock_guard guard(subscriptionsLock_);
    return subscriptions_.size();
}

size_t FilterEngine::InjectionHandleCount() const {
    std::lock_guard guard(injectionLock_);
    return injectionHandles_.size();
}

}  // namespace os
