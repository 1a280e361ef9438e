#include "driver/filter/wfp_registration.h"

namespace wexo::drv {
namespace {

const os::GUID kLayers[6] = {
    os::FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4,
    os::FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6,
    os::FWPM_LAYER_STREAM_V4,
    os::FWPM_LAYER_STREAM_V6,
    os::FWPM_LAYER_DATAGRAM_DATA_V4,
    os::FWPM_LAYER_DATAGRAM_DATA_V6,
};

constexpr uint32_t kNdisTag = os::MakePoolTag("NDIS");
constexpr uint32_t kPoolTag = os::MakePoolTag("NBLP");

void PermitDatagram(const os::FWPS_INCOMING_VALUES&, const os::FWPS_INCOMING_METADATA_VALUES&,
                    void*, const os::FWPS_FILTER&, uint64_t, os::FWPS_CLASSIFY_OUT& out) {
    out.actionType = os::FWP_ACTION_PERMIT;
}

}  // namespace

WFP_REGISTRATION::WFP_REGISTRATION(STREAM_FILTER& filter, URL_LOOKUP& lookup)
    : filter_(filter), lookup_(lookup), datagramClassify_(&PermitDatagram) {}

WFP_REGISTRATION::~WFP_REGISTRATION() {
    TearDown();
}

void WFP_REGISTRATION::SetDatagramClassify(os::FWPS_CALLOUT_CLASSIFY_FN classify) {
    datagramClassify_ =
        classify ? std::move(classify) : os::FWPS_CALLOUT_CLASSIFY_FN(&PermitDatagram);
}

bool WFP_REGISTRATION::Registered() const {
    return registered_.load();
}

os::NTSTATUS WFP_REGISTRATION::Initialise() {
    ndis_ = os::NdisAllocateGenericObject(kNdisTag);
    pool_ = ndis_ ? os::NdisAllocateNetBufferListPool(kPoolTag) : nullptr;
    if (!pool_) {
        ndis_.reset();
        return os::STATUS_INSUFFICIENT_RESOURCES;
    }
    os::NTSTATUS status = os::FwpsInjectionHandleCreate(
        os::AddressFamily::Unspecified, os::FWPS_INJECTION_TYPE_STREAM, streamInjection_);
    if (os::NT_SUCCESS(status)) {
        status = os::FwpsInjectionHandleCreate(
            os::AddressFamily::Unspecified, os::FWPS_INJECTION_TYPE_TRANSPORT, transportInjection_);
    }
    if (os::NT_SUCCESS(status)) {
        filter_.SetInjectionHandle(&streamInjection_);
        lookup_.SetInjection(&streamInjection_, pool_.get());
        status = os::FwpmBfeStateSubscribeChanges(
            [this](os::FWPM_SERVICE_STATE state) {
                if (state == os::FWPM_SERVICE_RUNNING && !Registered()) {
                    Register();
                }
            },
            subscription_);
    }
    if (os::NT_SUCCESS(status) && os::FwpmBfeStateGet() == os::FWPM_SERVICE_RUNNING) {
        status = Register();
    }
    if (!os::NT_SUCCESS(status)) {
        ReleaseResources();
        return status;
    }
    initialised_ = true;
    return os::STATUS_SUCCESS;
}

os::FWPS_CALLOUT WFP_REGISTRATION::RuntimeCallout(int index) {
    os::FWPS_CALLOUT callout;
    callout.calloutKey = kCalloutKeys[index];
    callout.notifyFn = [](os::FWPS_CALLOUT_NOTIFY_TYPE, const os::GUID&, const os::FWPS_FILTER&) {
        return os::STATUS_SUCCESS;
    };
    auto flowDeleted = [this](uint16_t layer, uint32_t id, uint64_t context) {
        filter_.FlowDeleted(layer, id, context);
    };
    if (index < 2) {
        callout.classifyFn = [this](const auto& values, const auto& metadata, void* data,
                                    const auto& f, uint64_t context, auto& out) {
            filter_.FlowEstablished(values, metadata, data, f, context, out);
        };
        callout.flowDeleteFn = flowDeleted;
    } else if (index < 4) {
        callout.classifyFn = [this](const auto& values, const auto& metadata, void* data,
                                    const auto& f, uint64_t context, auto& out) {
            filter_.StreamClassify(values, metadata, data, f, context, out);
        };
        callout.flowDeleteFn = flowDeleted;
    } else {
        callout.classifyFn = datagramClassify_;
    }
    return callout;
}

os::NTSTATUS WFP_REGISTRATION::Register() {
    std::lock_guard guard(lock_);
    if (engine_) {
        return os::STATUS_SUCCESS;
    }
    os::FWPM_SESSION session;
    session.flags = os::FWPM_SESSION_FLAG_DYNAMIC;
    os::NTSTATUS status = os::FwpmEngineOpen(&session, os::RPC_C_AUTHN_WINNT, engine_);
    if (!os::NT_SUCCESS(status)) {
        return status;
    }
    status = os::FwpmTransactionBegin(engine_);
    if (os::NT_SUCCESS(status)) {
        os::FWPM_SUBLAYER sublayer;
        sublayer.subLayerKey = kSublayerKey;
        sublayer.displayData = {"TCP Stream Sub-Layer", "TCP Stream Sub-Layer"};
        sublayer.weight = 64;
        status = os::FwpmSubLayerAdd(engine_, sublayer);
    }
    for (int i = 0; i < 6 && os::NT_SUCCESS(status); ++i) {
        status = os::FwpsCalloutRegister(RuntimeCallout(i), &calloutIds_[i]);
        if (!os::NT_SUCCESS(status)) {
            calloutIds_[i] = 0;
            break;
        }
        os::FWPM_CALLOUT management;
        management.calloutKey = kCalloutKeys[i];
        management.displayData = {"HTTP content filter", "HTTP content filter"};
        management.applicableLayer = kLayers[i];
        status = os::FwpmCalloutAdd(engine_, management);
        if (!os::NT_SUCCESS(status)) {
            break;
        }
        os::FWPM_FILTER rule;
        rule.layerKey = kLayers[i];
        rule.action.type = os::FWP_ACTION_CALLOUT_TERMINATING;
        rule.action.calloutKey = kCalloutKeys[i];
        if (i < 4) {
            rule.displayData.name = "TCP steam";
            rule.subLayerKey = kSublayerKey;
        } else {
            rule.displayData.name = "DNS";
            rule.subLayerKey = os::FWPM_SUBLAYER_UNIVERSAL;
            rule.filterConditions = {
                {os::FWPM_CONDITION_IP_PROTOCOL, os::FWP_MATCH_EQUAL,
                 os::FWP_CONDITION_VALUE::Uint8(17)},
                {os::FWPM_CONDITION_IP_REMOTE_PORT, os::FWP_MATCH_EQUAL,
                 os::FWP_CONDITION_VALUE::Uint16(53)},
            };
        }
        status = os::FwpmFilterAdd(engine_, rule);
    }
    if (os::NT_SUCCESS(status)) {
        status = os::FwpmTransactionCommit(engine_);
    }
    if (!os::NT_SUCCESS(status)) {
        UnregisterCallouts();
        os::FwpmTransactionAbort(engine_);
        os::FwpmEngineClose(engine_);
        return status;
    }
    filter_.SetStreamCalloutIds(calloutIds_[2], calloutIds_[3]);
    registered_.store(true);
    return os::STATUS_SUCCESS;
}

void WFP_REGISTRATION::UnregisterCallouts() {
    for (int i : {4, 5, 3, 2, 1, 0}) {
        if (calloutIds_[i] != 0) {
            os::FwpsCalloutUnregisterById(calloutIds_[i]);
            calloutIds_[i] = 0;
        }
    }
}

void WFP_REGISTRATION::TearDown() {
    if (!initialised_) {
        return;
    }
    initialised_ = false;
    filter_.SetUnloading(true);
    lookup_.StopWorkers();
    lookup_.FlushQueue();
    filter_.RemoveAllFlows();
    {
        std::lock_guard guard(lock_);
        if (engine_) {
            registered_.store(false);
            UnregisterCallouts();
            os::FwpmEngineClose(engine_);
        }
    }
    ReleaseResources();
}

void WFP_REGISTRATION::ReleaseResources() {
    os::FwpmBfeStateUnsubscribeChanges(subscription_);
    filter_.SetInjectionHandle(nullptr);
    lookup_.SetInjection(nullptr, nullptr);
    os::FwpsInjectionHandleDestroy(transportInjection_);
    os::FwpsInjectionHandleDestroy(streamInjection_);
    pool_.reset();
    ndis_.reset();
}

}  // namespace wexo::drv
