#include "os/wfp/wfp.h"

#include <cstdio>
#include <cstring>

#include "os/wfp/wfp_engine.h"

namespace os {

std::string GuidToString(const GUID& guid) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                  guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// ---- Handles ----

ENGINE_HANDLE::~ENGINE_HANDLE() {
    if (engine_ != nullptr) {
        engine_->EngineClose(*this);
    }
}

ENGINE_HANDLE::ENGINE_HANDLE(ENGINE_HANDLE&& other) noexcept
    : engine_(other.engine_), session_(other.session_) {
    other.engine_ = nullptr;
    other.session_ = 0;
}

ENGINE_HANDLE& ENGINE_HANDLE::operator=(ENGINE_HANDLE&& other) noexcept {
    if (this != &other) {
        if (engine_ != nullptr) {
            engine_->EngineClose(*this);
        }
        engine_ = other.engine_;
        session_ = other.session_;
        other.engine_ = nullptr;
        other.session_ = 0;
    }
    return *this;
}

BFE_SUBSCRIPTION::~BFE_SUBSCRIPTION() {
    if (engine_ != nullptr) {
        engine_->Unsubscribe(*this);
    }
}

BFE_SUBSCRIPTION::BFE_SUBSCRIPTION(BFE_SUBSCRIPTION&& other) noexcept
    : engine_(other.engine_), id_(other.id_) {
    other.engine_ = nullptr;
    other.id_ = 0;
}

BFE_SUBSCRIPTION& BFE_SUBSCRIPTION::operator=(BFE_SUBSCRIPTION&& other) noexcept {
    if (this != &other) {
        if (engine_ != nullptr) {
            engine_->Unsubscribe(*this);
        }
        engine_ = other.engine_;
        id_ = other.id_;
        other.engine_ = nullptr;
        other.id_ = 0;
    }
    return *this;
}

INJECTION_HANDLE::~INJECTION_HANDLE() {
    if (engine_ != nullptr) {
        engine_->InjectionHandleDestroy(*this);
    }
}

INJECTION_HANDLE::INJECTION_HANDLE(INJECTION_HANDLE&& other) noexcept
    : engine_(other.engine_), id_(other.id_) {
    other.engine_ = nullptr;
    other.id_ = 0;
}

INJECTION_HANDLE& INJECTION_HANDLE::operator=(INJECTION_HANDLE&& other) noexcept {
    if (this != &other) {
        if (engine_ != nullptr) {
            engine_->InjectionHandleDestroy(*this);
        }
        engine_ = other.engine_;
        id_ = other.id_;
        other.engine_ = nullptr;
        other.id_ = 0;
    }
    return *this;
}

// ---- Management ----

NTSTATUS FwpmEngineOpen(const FWPM_SESSION* session, uint32_t authnService, ENGINE_HANDLE& engine) {
    if (authnService != RPC_C_AUTHN_WINNT && authnService != RPC_C_AUTHN_DEFAULT) {
        return STATUS_INVALID_PARAMETER;
    }
    return FilterEngine::Current().EngineOpen(session, engine);
}

NTSTATUS FwpmEngineClose(ENGINE_HANDLE& engine) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->EngineClose(engine);
}

NTSTATUS FwpmTransactionBegin(const ENGINE_HANDLE& engine) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->TransactionBegin(engine);
}

NTSTATUS FwpmTransactionCommit(const ENGINE_HANDLE& engine) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->TransactionCommit(engine);
}

NTSTATUS FwpmTransactionAbort(const ENGINE_HANDLE& engine) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->TransactionAbort(engine);
}

NTSTATUS FwpmSubLayerAdd(const ENGINE_HANDLE& engine, const FWPM_SUBLAYER& subLayer) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->SubLayerAdd(engine, subLayer);
}

NTSTATUS FwpmCalloutAdd(const ENGINE_HANDLE& engine, const FWPM_CALLOUT& callout, uint32_t* id) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->CalloutAdd(engine, callout, id);
}

NTSTATUS FwpmFilterAdd(const ENGINE_HANDLE& engine, const FWPM_FILTER& filter, uint64_t* id) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->FilterAdd(engine, filter, id);
}

NTSTATUS FwpmFilterDeleteById(const ENGINE_HANDLE& engine, uint64_t id) {
    return engine.Engine() == nullptr ? STATUS_INVALID_HANDLE
                                      : engine.Engine()->FilterDeleteById(engine, id);
}

NTSTATUS FwpsCalloutRegister(const FWPS_CALLOUT& callout, uint32_t* calloutId) {
    return FilterEngine::Current().CalloutRegister(callout, calloutId);
}

NTSTATUS FwpsCalloutUnregisterById(uint32_t calloutId) {
    return FilterEngine::Current().CalloutUnregisterById(calloutId);
}

FWPM_SERVICE_STATE FwpmBfeStateGet() {
    return FilterEngine::Current().BfeState();
}

NTSTATUS FwpmBfeStateSubscribeChanges(FWPM_SERVICE_STATE_CHANGE_CALLBACK callback,
                                      BFE_SUBSCRIPTION& subscription) {
    return FilterEngine::Current().Subscribe(std::move(callback), subscription);
}

NTSTATUS FwpmBfeStateUnsubscribeChanges(BFE_SUBSCRIPTION& subscription) {
    if (subscription.Engine() == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return subscription.Engine()->Unsubscribe(subscription);
}

NTSTATUS FwpsFlowAssociateContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                  uint64_t flowContext) {
    return FilterEngine::Current().FlowAssociateContext(flowId, layerId, calloutId, flowContext);
}

NTSTATUS FwpsFlowRemoveContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId) {
    return FilterEngine::Current().FlowRemoveContext(flowId, layerId, calloutId);
}

bool FwpsStreamCanRedirectServer(uint64_t flowId) {
    return FilterEngine::Current().StreamCanRedirectServer(flowId);
}

NTSTATUS FwpsStreamRedirectServer(uint64_t flowId, const IP_ADDRESS_BYTES& address) {
    return FilterEngine::Current().StreamRedirectServer(flowId, address);
}

// ---- Stream data ----

size_t FwpsCopyStreamDataToBuffer(const FWPS_STREAM_DATA& streamData, std::span<uint8_t> buffer) {
    size_t copied = 0;
    size_t wanted = std::min(buffer.size(), streamData.dataLength);
    for (const NET_BUFFER_LIST* list = streamData.netBufferListChain;
         list != nullptr && copied < wanted; list = list->Next) {
        std::span<const uint8_t> data = list->Data();
        size_t take = std::min(data.size(), wanted - copied);
        std::memcpy(buffer.data() + copied, data.data(), take);
        copied += take;
    }
    return copied;
}

NTSTATUS FwpsCloneStreamData(const FWPS_STREAM_DATA& streamData, NetBufferListChain& clone) {
    NetBufferListChain result;
    for (const NET_BUFFER_LIST* list = streamData.netBufferListChain; list != nullptr;
         list = list->Next) {
        NetBufferListPtr copy = NetBufferAccess::Clone(*list, kWfpCloneTag);
        if (!copy) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        result.Append(std::move(copy));
    }
    clone = std::move(result);
    return STATUS_SUCCESS;
}

void FwpsDiscardClonedStreamData(NetBufferListChain& clone) {
    clone.Clear();
}

// ---- Injection ----

NTSTATUS FwpsInjectionHandleCreate(AddressFamily family, uint32_t flags, INJECTION_HANDLE& handle) {
    return FilterEngine::Current().InjectionHandleCreate(family, flags, handle);
}

NTSTATUS FwpsInjectionHandleDestroy(INJECTION_HANDLE& handle) {
    if (handle.Engine() == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return handle.Engine()->InjectionHandleDestroy(handle);
}

NTSTATUS FwpsStreamInjectAsync(const INJECTION_HANDLE& handle, uint64_t flowId, uint32_t calloutId,
                               uint16_t layerId, uint32_t streamFlags, NetBufferListChain&& data,
                               size_t dataLength, FWPS_INJECT_COMPLETE completion) {
    if (handle.Engine() == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return handle.Engine()->StreamInject(handle, flowId, calloutId, layerId, streamFlags,
                                         std::move(data), dataLength, std::move(completion));
}

bool FwpsQueryPacketFromMachineResolver(const NET_BUFFER_LIST& packet) {
    return NetBufferAccess::FromMachineResolver(packet);
}

FWPS_PACKET_INJECTION_STATE FwpsQueryPacketInjectionState(const INJECTION_HANDLE& handle,
                                                          const NET_BUFFER_LIST& packet,
                                                          void** injectionContext) {
    uint64_t by = NetBufferAccess::InjectedBy(packet);
    if (by != 0 && by == handle.Id()) {
        if (injectionContext != nullptr) {
            *injectionContext = NetBufferAccess::InjectionContext(packet);
        }
        return FWPS_PACKET_INJECTED_BY_SELF;
    }
    if (by != 0) {
        return FWPS_PACKET_INJECTED_BY_OTHER;
    }
    uint64_t previously = NetBufferAccess::PreviouslyInjectedBy(packet);
    if (previously != 0 && previously == handle.Id()) {
        return FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF;
    }
    return FWPS_PACKET_NOT_INJECTED;
}

NTSTATUS FwpsAllocateCloneNetBufferList(const NET_BUFFER_LIST& original, NetBufferListPtr& clone) {
    clone = NetBufferAccess::Clone(original, kWfpCloneTag);
    return clone ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS FwpsConstructIpHeaderForTransportPacket(NET_BUFFER_LIST& packet,
                                                 uint32_t headerIncludeHeaderLength,
                                                 AddressFamily family,
                                                 std::span<const uint8_t> sourceAddress,
                                                 std::span<const uint8_t> remoteAddress,
                                                 uint8_t nextProtocol) {
    size_t addressLength = family == AddressFamily::IPv4   ? 4
                           : family == AddressFamily::IPv6 ? 16
                                                           : 0;
    if (addressLength == 0 || sourceAddress.size() != addressLength ||
        remoteAddress.size() != addressLength || headerIncludeHeaderLength > packet.DataOffset()) {
        return STATUS_INVALID_PARAMETER;
    }
    IP_ADDRESS_BYTES source;
    IP_ADDRESS_BYTES destination;
    source.family = destination.family = family;
    std::memcpy(source.bytes.data(), sourceAddress.data(), addressLength);
    std::memcpy(destination.bytes.data(), remoteAddress.data(), addressLength);
    size_t transportLength = packet.DataLength();
    size_t headerSize = family == AddressFamily::IPv4 ? kIPv4HeaderSize : kIPv6HeaderSize;
    if (nextProtocol == IPPROTO_UDP_VALUE) {
        WriteUdpChecksum(packet.Data(), source, destination);
    }
    // The new header takes the place of the old one, in front of the transport header.
    NTSTATUS status = NdisRetreatNetBufferDataStart(packet, headerSize);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WriteIpHeader(packet.Data().first(headerSize), family, source, destination, nextProtocol,
                  transportLength);
    return STATUS_SUCCESS;
}

NTSTATUS FwpsInjectTransportReceiveAsync(const INJECTION_HANDLE& handle, void* injectionContext,
                                         AddressFamily family, uint32_t /*compartmentId*/,
                                         uint32_t interfaceIndex, uint32_t subInterfaceIndex,
                                         NetBufferListPtr&& packet,
                                         FWPS_INJECT_COMPLETE completion) {
    if (handle.Engine() == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    return handle.Engine()->TransportReceiveInject(handle, injectionContext, family, interfaceIndex,
                                                   subInterfaceIndex, std::move(packet),
                                                   std::move(completion));
}

}  // namespace os
