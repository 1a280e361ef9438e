// A scripted callout driver for tests of the filtering engine: one dynamic session with a flow-
// established callout (which associates a context with every flow) and a stream callout whose
// verdict each test scripts, plus a stream injection handle; and the rewrite of an inbound
// datagram as the driver's DNS remapping does it.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "os/core/sync.h"
#include "os/wfp/ip_packet.h"
#include "os/wfp/sim/sim_network.h"
#include "os/wfp/wfp.h"
#include "os/wfp/wfp_engine.h"

namespace os::testing {

inline std::string ChainText(const NET_BUFFER_LIST* list) {
    std::string text;
    for (; list != nullptr; list = list->Next) {
        auto data = list->Data();
        text.append(reinterpret_cast<const char*>(data.data()), data.size());
    }
    return text;
}

inline NetBufferListChain MakeChain(std::initializer_list<std::string_view> parts) {
    NetBufferListChain chain;
    for (std::string_view part : parts) {
        chain.Append(AllocatePoolNetBufferList(
            {reinterpret_cast<const uint8_t*>(part.data()), part.size()}, 0, kWfpCloneTag));
    }
    return chain;
}

// What the stream callout saw in one classify call.
struct INDICATION {
    uint32_t flags = 0;
    std::string data;
    size_t dataLength = 0;
    size_t lists = 0;
    uint64_t flowContext = 0;
    uint64_t flowHandle = 0;
    uint32_t calloutId = 0;
    uint16_t layerId = 0;
};

// Sets the outcome of a stream classify call, the way the driver expresses each.
inline void SetPermit(FWPS_CLASSIFY_OUT& out) {
    out.actionType = FWP_ACTION_PERMIT;
}
inline void SetAbsorb(FWPS_CLASSIFY_OUT& out) {
    out.actionType = FWP_ACTION_BLOCK;
    out.rights &= ~FWPS_RIGHT_ACTION_WRITE;
    out.flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
}
inline void SetNeedMore(FWPS_STREAM_CALLOUT_IO_PACKET& packet, FWPS_CLASSIFY_OUT& out,
                        uint32_t bytes) {
    packet.streamAction = FWPS_STREAM_ACTION_NEED_MORE_DATA;
    packet.countBytesRequired = bytes;
    out.actionType = FWP_ACTION_NONE;
}
inline void SetDrop(FWPS_STREAM_CALLOUT_IO_PACKET& packet, FWPS_CLASSIFY_OUT& out) {
    packet.streamAction = FWPS_STREAM_ACTION_DROP_CONNECTION;
    SetAbsorb(out);
}

// Rewrites an inbound datagram the way the DNS remapping does: clone it, replace the payload,
// rebuild the IP header, inject it on the receive path, absorb the original.
inline void RewriteInboundDatagram(const INJECTION_HANDLE& injection, void* context,
                                   NET_BUFFER_LIST& packet, const FWPS_INCOMING_VALUES& values,
                                   const FWPS_INCOMING_METADATA_VALUES& metadata,
                                   FWPS_CLASSIFY_OUT& out, std::string_view replacement,
                                   FWPS_INJECT_COMPLETE completion) {
    size_t headers = metadata.ipHeaderSize + metadata.transportHeaderSize;
    ASSERT_EQ(NdisRetreatNetBufferDataStart(packet, headers), STATUS_SUCCESS);
    std::vector<uint8_t> rebuilt(packet.Data().begin(), packet.Data().begin() + headers);
    NdisAdvanceNetBufferDataStart(packet, headers);
    rebuilt.insert(rebuilt.end(), replacement.begin(), replacement.end());
    uint16_t udpLength = static_cast<uint16_t>(kUdpHeaderSize + replacement.size());
    rebuilt[metadata.ipHeaderSize + 4] = static_cast<uint8_t>(udpLength >> 8);
    rebuilt[metadata.ipHeaderSize + 5] = static_cast<uint8_t>(udpLength);
    NetBufferListPtr clone = AllocatePoolNetBufferList(
        {rebuilt.data() + metadata.ipHeaderSize, rebuilt.size() - metadata.ipHeaderSize},
        metadata.ipHeaderSize, kWfpCloneTag);
    ASSERT_TRUE(clone);
    bool v6 = values.layerId == FWPS_LAYER_DATAGRAM_DATA_V6;
    std::array<uint8_t, 16> remote{};
    std::array<uint8_t, 16> local{};
    if (v6) {
        remote = values.remoteAddressV6;
        local = values.localAddressV6;
    } else {
        IP_ADDRESS_BYTES r = MakeIPv4Address(values.remoteAddressV4);
        IP_ADDRESS_BYTES l = MakeIPv4Address(values.localAddressV4);
        remote = r.bytes;
        local = l.bytes;
    }
    size_t length = v6 ? 16 : 4;
    ASSERT_EQ(FwpsConstructIpHeaderForTransportPacket(
                  *clone, metadata.ipHeaderSize, v6 ? AddressFamily::IPv6 : AddressFamily::IPv4,
                  {remote.data(), length}, {local.data(), length}, IPPROTO_UDP_VALUE),
              STATUS_SUCCESS);
    ASSERT_EQ(FwpsInjectTransportReceiveAsync(injection, context,
                                              v6 ? AddressFamily::IPv6 : AddressFamily::IPv4, 0,
                                              values.interfaceIndex, values.subInterfaceIndex,
                                              std::move(clone), std::move(completion)),
              STATUS_SUCCESS);
    out.actionType = FWP_ACTION_BLOCK;
    out.flags |= FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    out.rights &= ~FWPS_RIGHT_ACTION_WRITE;
}

// Registers a runtime callout and adds its management callout and a terminating filter that
// calls it at `layer`, in `sublayer`; the runtime id, which the caller unregisters.
inline uint32_t AddCalloutWithFilter(ENGINE_HANDLE& engine, const FWPS_CALLOUT& callout,
                                     const GUID& layer, const GUID& sublayer) {
    uint32_t id = 0;
    EXPECT_EQ(FwpsCalloutRegister(callout, &id), STATUS_SUCCESS);
    FWPM_CALLOUT management;
    management.calloutKey = callout.calloutKey;
    management.applicableLayer = layer;
    EXPECT_EQ(FwpmCalloutAdd(engine, management), STATUS_SUCCESS);
    FWPM_FILTER filter;
    filter.layerKey = layer;
    filter.subLayerKey = sublayer;
    filter.action.type = FWP_ACTION_CALLOUT_TERMINATING;
    filter.action.calloutKey = callout.calloutKey;
    EXPECT_EQ(FwpmFilterAdd(engine, filter), STATUS_SUCCESS);
    return id;
}

class StreamHarness {
  public:
    static constexpr uint64_t kContextBase = 0x1000;
    static constexpr GUID kEstablishedV4 = MakeGuid("11111111-0000-4000-8000-000000000001");
    static constexpr GUID kEstablishedV6 = MakeGuid("11111111-0000-4000-8000-000000000002");
    static constexpr GUID kStreamV4 = MakeGuid("11111111-0000-4000-8000-000000000003");
    static constexpr GUID kStreamV6 = MakeGuid("11111111-0000-4000-8000-000000000004");
    static constexpr GUID kSublayer = MakeGuid("11111111-0000-4000-8000-0000000000ff");

    using Decide =
        std::function<void(const INDICATION& indication, FWPS_STREAM_CALLOUT_IO_PACKET& packet,
                           FWPS_CLASSIFY_OUT& out)>;

    StreamHarness() {
        FWPM_SESSION session;
        session.flags = FWPM_SESSION_FLAG_DYNAMIC;
        EXPECT_EQ(FwpmEngineOpen(&session, RPC_C_AUTHN_WINNT, engine_), STATUS_SUCCESS);
        FWPM_SUBLAYER sublayer;
        sublayer.subLayerKey = kSublayer;
        sublayer.weight = 64;
        EXPECT_EQ(FwpmSubLayerAdd(engine_, sublayer), STATUS_SUCCESS);
        streamV4_ = AddStream(kStreamV4, FWPM_LAYER_STREAM_V4);
        streamV6_ = AddStream(kStreamV6, FWPM_LAYER_STREAM_V6);
        AddEstablished(kEstablishedV4, FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4, FWPS_LAYER_STREAM_V4,
                       streamV4_);
        AddEstablished(kEstablishedV6, FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6, FWPS_LAYER_STREAM_V6,
                       streamV6_);
        EXPECT_EQ(FwpsInjectionHandleCreate(AddressFamily::Unspecified, FWPS_INJECTION_TYPE_STREAM,
                                            injection_),
                  STATUS_SUCCESS);
    }

    ~StreamHarness() {
        for (uint32_t id : registered_) {
            FwpsCalloutUnregisterById(id);
        }
    }

    void SetDecide(Decide decide) {
        std::lock_guard guard(lock_);
        decide_ = std::move(decide);
    }
    std::vector<INDICATION> Indications() const {
        std::lock_guard guard(lock_);
        return indications_;
    }
    std::vector<uint64_t> DeletedContexts() const {
        std::lock_guard guard(lock_);
        return deleted_;
    }
    uint32_t StreamCalloutId(bool v6 = false) const { return v6 ? streamV6_ : streamV4_; }
    const INJECTION_HANDLE& Injection() const { return injection_; }
    ENGINE_HANDLE& Engine() { return engine_; }

    // Injects text into a flow's stream (FWPS_STREAM_FLAG_SEND or _RECEIVE plus any disconnect).
    NTSTATUS Inject(SimTcpConnection& connection, uint32_t streamFlags, std::string_view text,
                    FWPS_INJECT_COMPLETE completion = nullptr) {
        NetBufferListChain chain;
        if (!text.empty()) {
            chain = MakeChain({text});
        }
        bool v6 = connection.Tuple().localAddress.family == AddressFamily::IPv6;
        return FwpsStreamInjectAsync(injection_, connection.FlowId(), StreamCalloutId(v6),
                                     v6 ? FWPS_LAYER_STREAM_V6 : FWPS_LAYER_STREAM_V4, streamFlags,
                                     std::move(chain), text.size(), std::move(completion));
    }

  private:
    uint32_t AddStream(const GUID& key, const GUID& layer) {
        FWPS_CALLOUT callout;
        callout.calloutKey = key;
        callout.classifyFn = [this](const FWPS_INCOMING_VALUES& values,
                                    const FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                                    const FWPS_FILTER& filter, uint64_t flowContext,
                                    FWPS_CLASSIFY_OUT& out) {
            auto* packet = static_cast<FWPS_STREAM_CALLOUT_IO_PACKET*>(layerData);
            INDICATION indication;
            indication.flags = packet->streamData->flags;
            indication.data = ChainText(packet->streamData->netBufferListChain);
            indication.dataLength = packet->streamData->dataLength;
            for (auto* list = packet->streamData->netBufferListChain; list; list = list->Next) {
                ++indication.lists;
            }
            indication.flowContext = flowContext;
            indication.flowHandle = metadata.flowHandle;
            indication.calloutId = filter.action.calloutId;
            indication.layerId = values.layerId;
            Decide decide;
            {
                std::lock_guard guard(lock_);
                indications_.push_back(indication);
                decide = decide_;
            }
            SetPermit(out);
            if (decide) {
                decide(indication, *packet, out);
            }
        };
        callout.flowDeleteFn = [this](uint16_t, uint32_t, uint64_t context) {
            std::lock_guard guard(lock_);
            deleted_.push_back(context);
        };
        const uint32_t id = AddCalloutWithFilter(engine_, callout, layer, kSublayer);
        registered_.push_back(id);
        return id;
    }

    void AddEstablished(const GUID& key, const GUID& layer, uint16_t streamLayer,
                        uint32_t streamCallout) {
        FWPS_CALLOUT callout;
        callout.calloutKey = key;
        callout.classifyFn = [streamLayer, streamCallout](
                                 const FWPS_INCOMING_VALUES&,
                                 const FWPS_INCOMING_METADATA_VALUES& metadata, void*,
                                 const FWPS_FILTER&, uint64_t, FWPS_CLASSIFY_OUT& out) {
            uint64_t context = kContextBase + metadata.flowHandle;
            EXPECT_EQ(
                FwpsFlowAssociateContext(metadata.flowHandle, streamLayer, streamCallout, context),
                STATUS_SUCCESS);
            out.actionType = FWP_ACTION_PERMIT;
        };
        registered_.push_back(AddCalloutWithFilter(engine_, callout, layer, kSublayer));
    }

    ENGINE_HANDLE engine_;
    INJECTION_HANDLE injection_;
    uint32_t streamV4_ = 0;
    uint32_t streamV6_ = 0;
    std::vector<uint32_t> registered_;
    mutable std::mutex lock_;
    Decide decide_;
    std::vector<INDICATION> indications_;
    std::vector<uint64_t> deleted_;
};

}  // namespace os::testing
