// Wires a STREAM_FILTER into a filtering engine the way the driver's registration does (flow
// established and stream callouts for both families, in one dynamic session), records what each
// stream classify decided, and plays the part of a lookup worker that allows a flow.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "driver/filter/stream_classify.h"
#include "driver/filter/url_lookup.h"
#include "os/wfp/wfp.h"
#include "os/wfp/wfp_engine.h"

namespace wexo::drv::testing {

inline std::vector<uint8_t> ReadTestData(const std::string& name) {
    std::ifstream in(std::string(WEXO_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A TLS 1.2 client hello record with an optional server name and session ID.
inline std::vector<uint8_t> ClientHello(std::string_view serverName,
                                        std::vector<uint8_t> sessionId = {}) {
    std::vector<uint8_t> body = {3, 3};
    body.insert(body.end(), 32, 0x5A);  // random
    body.push_back(static_cast<uint8_t>(sessionId.size()));
    body.insert(body.end(), sessionId.begin(), sessionId.end());
    body.insert(body.end(), {0x00, 0x02, 0x00, 0x2f, 0x01, 0x00});  // one suite, no compression
    if (!serverName.empty()) {
        uint16_t nameLength = static_cast<uint16_t>(serverName.size());
        uint16_t listLength = static_cast<uint16_t>(nameLength + 3);
        uint16_t extensionLength = static_cast<uint16_t>(listLength + 2);
        uint16_t extensionsLength = static_cast<uint16_t>(extensionLength + 4);
        body.insert(
            body.end(),
            {static_cast<uint8_t>(extensionsLength >> 8), static_cast<uint8_t>(extensionsLength),
             0x00, 0x00, static_cast<uint8_t>(extensionLength >> 8),
             static_cast<uint8_t>(extensionLength), static_cast<uint8_t>(listLength >> 8),
             static_cast<uint8_t>(listLength), 0x00, static_cast<uint8_t>(nameLength >> 8),
             static_cast<uint8_t>(nameLength)});
        body.insert(body.end(), serverName.begin(), serverName.end());
    }
    std::vector<uint8_t> handshake = {1, 0, static_cast<uint8_t>(body.size() >> 8),
                                      static_cast<uint8_t>(body.size())};
    handshake.insert(handshake.end(), body.begin(), body.end());
    std::vector<uint8_t> record = {22, 3, 1, static_cast<uint8_t>(handshake.size() >> 8),
                                   static_cast<uint8_t>(handshake.size())};
    record.insert(record.end(), handshake.begin(), handshake.end());
    return record;
}

inline std::string ChainText(const os::NET_BUFFER_LIST* list) {
    std::string text;
    for (; list != nullptr; list = list->Next) {
        auto data = list->Data();
        text.append(reinterpret_cast<const char*>(data.data()), data.size());
    }
    return text;
}

// What one stream classify decided.
struct DECISION {
    uint32_t flags = 0;
    size_t dataLength = 0;
    os::FWPS_STREAM_ACTION_TYPE streamAction = os::FWPS_STREAM_ACTION_NONE;
    uint32_t bytesRequired = 0;
    uint32_t actionType = 0;
    bool absorb = false;
};

class FILTER_REGISTRATION {
  public:
    static constexpr os::GUID kSublayer = os::MakeGuid("eaf14369-d8c4-4767-938b-e39b32e88ccd");
    static constexpr os::GUID kKeys[4] = {
        os::MakeGuid("3d8a82cd-6cbd-4f59-87e5-e09eb11e40fc"),
        os::MakeGuid("9f2db283-335f-4bc9-b2d6-57a7995569b6"),
        os::MakeGuid("e6011cdc-440b-4a6f-8499-6fdb55fb1f92"),
        os::MakeGuid("c0bc07b4-aaf6-4242-a3dc-3ef341ffde5d"),
    };

    explicit FILTER_REGISTRATION(STREAM_FILTER& filter) : filter_(filter) {
        os::FWPM_SESSION session;
        session.flags = os::FWPM_SESSION_FLAG_DYNAMIC;
        EXPECT_EQ(os::FwpmEngineOpen(&session, os::RPC_C_AUTHN_WINNT, engine_), os::STATUS_SUCCESS);
        os::FWPM_SUBLAYER sublayer;
        sublayer.subLayerKey = kSublayer;
        sublayer.weight = 64;
        EXPECT_EQ(os::FwpmSubLayerAdd(engine_, sublayer), os::STATUS_SUCCESS);
        const os::GUID layers[4] = {os::FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4,
                                    os::FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6,
                                    os::FWPM_LAYER_STREAM_V4, os::FWPM_LAYER_STREAM_V6};
        for (int i = 0; i < 4; ++i) {
            os::FWPS_CALLOUT callout;
            callout.calloutKey = kKeys[i];
            if (i < 2) {
                callout.classifyFn = [this](const auto& values, const auto& metadata, void* data,
                                            const auto& f, uint64_t context, auto& out) {
                    filter_.FlowEstablished(values, metadata, data, f, context, out);
                };
            } else {
                callout.classifyFn = [this](const auto& values, const auto& metadata, void* data,
                                            const auto& f, uint64_t context, auto& out) {
                    filter_.StreamClassify(values, metadata, data, f, context, out);
                    Record(*static_cast<os::FWPS_STREAM_CALLOUT_IO_PACKET*>(data), out);
                };
            }
            callout.flowDeleteFn = [this](uint16_t layer, uint32_t id, uint64_t context) {
                filter_.FlowDeleted(layer, id, context);
            };
            EXPECT_EQ(os::FwpsCalloutRegister(callout, &ids_[i]), os::STATUS_SUCCESS);
            os::FWPM_CALLOUT management;
            management.calloutKey = kKeys[i];
            management.displayData = {"HTTP content filter", "HTTP content filter"};
            management.applicableLayer = layers[i];
            EXPECT_EQ(os::FwpmCalloutAdd(engine_, management), os::STATUS_SUCCESS);
            os::FWPM_FILTER rule;
            rule.displayData.name = "TCP steam";
            rule.layerKey = layers[i];
            rule.subLayerKey = kSublayer;
            rule.action.type = os::FWP_ACTION_CALLOUT_TERMINATING;
            rule.action.calloutKey = kKeys[i];
            EXPECT_EQ(os::FwpmFilterAdd(engine_, rule), os::STATUS_SUCCESS);
        }
        EXPECT_EQ(os::FwpsInjectionHandleCreate(os::AddressFamily::Unspecified,
                                                os::FWPS_INJECTION_TYPE_STREAM, injection_),
                  os::STATUS_SUCCESS);
        filter_.SetStreamCalloutIds(ids_[2], ids_[3]);
        filter_.SetInjectionHandle(&injection_);
    }

    ~FILTER_REGISTRATION() {
        filter_.SetInjectionHandle(nullptr);
        for (uint32_t id : ids_) {
            os::FwpsCalloutUnregisterById(id);
        }
    }

    uint32_t StreamCalloutId(bool v6 = false) const { return ids_[v6 ? 3 : 2]; }
    const os::INJECTION_HANDLE& Injection() const { return injection_; }

    std::vector<DECISION> Decisions() const {
        std::lock_guard guard(lock_);
        return decisions_;
    }
    void ClearDecisions() {
        std::lock_guard guard(lock_);
        decisions_.clear();
    }

    // A lookup worker's "allow": forwards the held data (and whatever was held meanwhile), then
    // the FINs that waited, and releases the queue reference.
    void Allow(FLOW* flow) {
        HELD_DATA held = filter_.CompleteLookup(flow);
        for (;;) {
            Forward(flow, held);
            if (filter_.EndLookup(flow, FLOW_STATE_PASSED, held)) {
                break;
            }
        }
        if (held.clientFinSeen) {
            InjectEmpty(flow, os::FWPS_STREAM_FLAG_SEND | os::FWPS_STREAM_FLAG_SEND_DISCONNECT);
        }
        if (held.serverFinSeen) {
            InjectEmpty(flow,
                        os::FWPS_STREAM_FLAG_RECEIVE | os::FWPS_STREAM_FLAG_RECEIVE_DISCONNECT);
        }
        ReleaseFlow(flow);
    }

    // Drops everything a flow holds and releases the queue reference (a worker that stopped).
    void Discard(FLOW* flow) {
        HELD_DATA held = filter_.CompleteLookup(flow);
        STREAM_FILTER::DiscardHeldData(flow, held);
        ReleaseFlow(flow);
    }

  private:
    void Record(const os::FWPS_STREAM_CALLOUT_IO_PACKET& packet, const os::FWPS_CLASSIFY_OUT& out) {
        DECISION decision;
        decision.flags = packet.streamData->flags;
        decision.dataLength = packet.streamData->dataLength;
        decision.streamAction = packet.streamAction;
        decision.bytesRequired = packet.countBytesRequired;
        decision.actionType = out.actionType;
        decision.absorb = (out.flags & os::FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0;
        std::lock_guard guard(lock_);
        decisions_.push_back(decision);
    }

    void Forward(FLOW* flow, HELD_DATA& held) { ForwardHeldData(&injection_, flow, held); }

    void InjectEmpty(FLOW* flow, uint32_t flags) { InjectEmptySegment(&injection_, flow, flags); }

    STREAM_FILTER& filter_;
    os::ENGINE_HANDLE engine_;
    os::INJECTION_HANDLE injection_;
    uint32_t ids_[4] = {};
    mutable std::mutex lock_;
    std::vector<DECISION> decisions_;
};

}  // namespace wexo::drv::testing
