// The filtering engine as a callout driver sees it: engine sessions and transactions, sublayers,
// callouts and filters (management side), runtime callouts with classify, notify and flow-delete
// functions, base-filtering-engine state, flow contexts, stream data (copy, clone, discard), stream
// injection, datagram injection state and transport receive injection.
//
// The calls go to the current os::FilterEngine (os/wfp_engine.h), which also drives the traffic
// that a network backend (the simulated network, os/sim_network.h) presents to it.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/core/status.h"
#include "os/wfp/ip_packet.h"
#include "os/wfp/net_buffer.h"

namespace os {

class FilterEngine;

// ---- Status values of the filtering engine ----

constexpr NTSTATUS STATUS_FWP_CALLOUT_NOT_FOUND = MakeStatus(0xC0220001);
constexpr NTSTATUS STATUS_FWP_FILTER_NOT_FOUND = MakeStatus(0xC0220003);
constexpr NTSTATUS STATUS_FWP_LAYER_NOT_FOUND = MakeStatus(0xC0220004);
constexpr NTSTATUS STATUS_FWP_SUBLAYER_NOT_FOUND = MakeStatus(0xC0220007);
constexpr NTSTATUS STATUS_FWP_NOT_FOUND = MakeStatus(0xC0220008);
constexpr NTSTATUS STATUS_FWP_ALREADY_EXISTS = MakeStatus(0xC0220009);
constexpr NTSTATUS STATUS_FWP_NO_TXN_IN_PROGRESS = MakeStatus(0xC022000D);
constexpr NTSTATUS STATUS_FWP_TXN_IN_PROGRESS = MakeStatus(0xC022000E);
constexpr NTSTATUS STATUS_FWP_SESSION_ABORTED = MakeStatus(0xC0220010);
constexpr NTSTATUS STATUS_FWP_INCOMPATIBLE_LAYER = MakeStatus(0xC0220014);
constexpr NTSTATUS STATUS_FWP_TYPE_MISMATCH = MakeStatus(0xC0220027);

// ---- Keys ----

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    std::array<uint8_t, 8> Data4{};

    auto operator<=>(const GUID&) const = default;
    bool IsNull() const { return *this == GUID{}; }
};

namespace detail {
consteval uint8_t HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<uint8_t>(c - '0');
    }
    if (c >= 'a' && c <= 'f') {
        return static_cast<uint8_t>(c - 'a' + 10);
    }
    if (c >= 'A' && c <= 'F') {
        return static_cast<uint8_t>(c - 'A' + 10);
    }
    throw "not a hexadecimal digit";
}
consteval uint64_t HexField(const char* text, int digits) {
    uint64_t value = 0;
    for (int i = 0; i < digits; ++i) {
        value = value << 4 | HexDigit(text[i]);
    }
    return value;
}
}  // namespace detail

// A GUID from its registry form without braces: "eaf14369-d8c4-4767-938b-e39b32e88ccd".
consteval GUID MakeGuid(const char (&text)[37]) {
    if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') {
        throw "GUID text needs dashes at 8, 13, 18 and 23";
    }
    GUID guid;
    guid.Data1 = static_cast<uint32_t>(detail::HexField(text, 8));
    guid.Data2 = static_cast<uint16_t>(detail::HexField(text + 9, 4));
    guid.Data3 = static_cast<uint16_t>(detail::HexField(text + 14, 4));
    guid.Data4[0] = static_cast<uint8_t>(detail::HexField(text + 19, 2));
    guid.Data4[1] = static_cast<uint8_t>(detail::HexField(text + 21, 2));
    for (int i = 0; i < 6; ++i) {
        guid.Data4[2 + i] = static_cast<uint8_t>(detail::HexField(text + 24 + 2 * i, 2));
    }
    return guid;
}

// "{eaf14369-d8c4-4767-938b-e39b32e88ccd}".
std::string GuidToString(const GUID& guid);

// ---- Layers ----

// Runtime layer IDs, numbered as the engine numbers its built-in layers.
enum FWPS_BUILTIN_LAYERS : uint16_t {
    FWPS_LAYER_STREAM_V4 = 20,
    FWPS_LAYER_STREAM_V6 = 22,
    FWPS_LAYER_DATAGRAM_DATA_V4 = 24,
    FWPS_LAYER_DATAGRAM_DATA_V6 = 26,
    FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4 = 52,
    FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6 = 54,
};

// Management keys of the built-in layers. Here a layer key carries its runtime layer ID in its
// first field, so the two always correspond.
constexpr GUID LayerKey(uint16_t layerId) {
    return GUID{
        0x57465000u | layerId, 0x4c59, 0x4552, {0x8b, 0x0e, 0x6f, 0x73, 0x77, 0x66, 0x70, 0x00}};
}
constexpr GUID FWPM_LAYER_STREAM_V4 = LayerKey(FWPS_LAYER_STREAM_V4);
constexpr GUID FWPM_LAYER_STREAM_V6 = LayerKey(FWPS_LAYER_STREAM_V6);
constexpr GUID FWPM_LAYER_DATAGRAM_DATA_V4 = LayerKey(FWPS_LAYER_DATAGRAM_DATA_V4);
constexpr GUID FWPM_LAYER_DATAGRAM_DATA_V6 = LayerKey(FWPS_LAYER_DATAGRAM_DATA_V6);
constexpr GUID FWPM_LAYER_ALE_FLOW_ESTABLISHED_V4 = LayerKey(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V4);
constexpr GUID FWPM_LAYER_ALE_FLOW_ESTABLISHED_V6 = LayerKey(FWPS_LAYER_ALE_FLOW_ESTABLISHED_V6);

// The built-in sublayer that exists before any session adds its own.
constexpr GUID FWPM_SUBLAYER_UNIVERSAL = MakeGuid("eebecc03-ced4-4380-819a-2734397b2b9b");

// ---- Actions, flags, rights ----

constexpr uint32_t FWP_ACTION_FLAG_TERMINATING = 0x00001000;
constexpr uint32_t FWP_ACTION_FLAG_NON_TERMINATING = 0x00002000;
constexpr uint32_t FWP_ACTION_FLAG_CALLOUT = 0x00004000;
constexpr uint32_t FWP_ACTION_BLOCK = 0x1 | FWP_ACTION_FLAG_TERMINATING;
constexpr uint32_t FWP_ACTION_PERMIT = 0x2 | FWP_ACTION_FLAG_TERMINATING;
constexpr uint32_t FWP_ACTION_CALLOUT_TERMINATING =
    0x3 | FWP_ACTION_FLAG_CALLOUT | FWP_ACTION_FLAG_TERMINATING;
constexpr uint32_t FWP_ACTION_CALLOUT_INSPECTION =
    0x4 | FWP_ACTION_FLAG_CALLOUT | FWP_ACTION_FLAG_NON_TERMINATING;
constexpr uint32_t FWP_ACTION_CALLOUT_UNKNOWN = 0x5 | FWP_ACTION_FLAG_CALLOUT;
constexpr uint32_t FWP_ACTION_CONTINUE = 0x6 | FWP_ACTION_FLAG_NON_TERMINATING;
constexpr uint32_t FWP_ACTION_NONE = 0x7;
constexpr uint32_t FWP_ACTION_NONE_NO_MATCH = 0x8;

constexpr uint32_t FWPS_RIGHT_ACTION_WRITE = 0x00000001;
constexpr uint32_t FWPS_CLASSIFY_OUT_FLAG_ABSORB = 0x00000001;

constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE = 0x00000001;
constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE_EXPEDITED = 0x00000002;
constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE_DISCONNECT = 0x00000004;
constexpr uint32_t FWPS_STREAM_FLAG_RECEIVE_ABORT = 0x00000008;
constexpr uint32_t FWPS_STREAM_FLAG_SEND = 0x00010000;
constexpr uint32_t FWPS_STREAM_FLAG_SEND_EXPEDITED = 0x00020000;
constexpr uint32_t FWPS_STREAM_FLAG_SEND_NODELAY = 0x00040000;
constexpr uint32_t FWPS_STREAM_FLAG_SEND_DISCONNECT = 0x00080000;
constexpr uint32_t FWPS_STREAM_FLAG_SEND_ABORT = 0x00100000;

enum FWPS_STREAM_ACTION_TYPE : uint32_t {
    FWPS_STREAM_ACTION_NONE = 0,
    // Permit this data and stop indicating the flow's data to the callout.
    FWPS_STREAM_ACTION_ALLOW_CONNECTION = 1,
    FWPS_STREAM_ACTION_NEED_MORE_DATA = 2,
    FWPS_STREAM_ACTION_DROP_CONNECTION = 3,
};

enum FWP_DIRECTION : uint32_t {
    FWP_DIRECTION_OUTBOUND = 0,
    FWP_DIRECTION_INBOUND = 1,
};

// ---- Classify inputs and outputs ----

// The fixed values of a classify call, by name rather than by field index.
struct FWPS_INCOMING_VALUES {
    uint16_t layerId = 0;
    // IPv4 addresses are numbers in host order (192.0.2.1 is 0xC0000201), as the engine hands them.
    uint32_t localAddressV4 = 0;
    uint32_t remoteAddressV4 = 0;
    // IPv6 addresses are 16 bytes in network order.
    std::array<uint8_t, 16> localAddressV6{};
    std::array<uint8_t, 16> remoteAddressV6{};
    uint16_t localPort = 0;
    uint16_t remotePort = 0;
    uint8_t protocol = 0;
    FWP_DIRECTION direction = FWP_DIRECTION_OUTBOUND;
    uint32_t interfaceIndex = 0;
    uint32_t subInterfaceIndex = 0;
};

constexpr uint32_t FWPS_METADATA_FIELD_FLOW_HANDLE = 0x00000002;
constexpr uint32_t FWPS_METADATA_FIELD_IP_HEADER_SIZE = 0x00000004;
constexpr uint32_t FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE = 0x00000008;
constexpr uint32_t FWPS_METADATA_FIELD_PROCESS_ID = 0x00000040;
constexpr uint32_t FWPS_METADATA_FIELD_COMPARTMENT_ID = 0x00000800;
constexpr uint32_t FWPS_METADATA_FIELD_PACKET_DIRECTION = 0x00004000;

struct FWPS_INCOMING_METADATA_VALUES {
    uint32_t currentMetadataValues = 0;
    uint64_t flowHandle = 0;
    uint64_t processId = 0;
    uint32_t ipHeaderSize = 0;
    uint32_t transportHeaderSize = 0;
    uint32_t compartmentId = 0;
    FWP_DIRECTION packetDirection = FWP_DIRECTION_OUTBOUND;
};

constexpr bool FWPS_IS_METADATA_FIELD_PRESENT(const FWPS_INCOMING_METADATA_VALUES& metadata,
                                              uint32_t field) {
    return (metadata.currentMetadataValues & field) == field;
}

// Stream data of one indication: a chain of lists that the engine owns for the call.
struct FWPS_STREAM_DATA {
    uint32_t flags = 0;
    size_t dataLength = 0;
    NET_BUFFER_LIST* netBufferListChain = nullptr;
};

// The layer data of a stream-layer classify call.
struct FWPS_STREAM_CALLOUT_IO_PACKET {
    FWPS_STREAM_DATA* streamData = nullptr;
    size_t missedBytes = 0;
    // With FWPS_STREAM_ACTION_NEED_MORE_DATA: indicate again once this many bytes are there.
    uint32_t countBytesRequired = 0;
    // With permit or block: the action covers only this many leading bytes (0: all of them); the
    // rest is indicated again.
    size_t countBytesEnforced = 0;
    FWPS_STREAM_ACTION_TYPE streamAction = FWPS_STREAM_ACTION_NONE;
};

struct FWPS_ACTION {
    uint32_t type = FWP_ACTION_NONE;
    uint32_t calloutId = 0;
};

constexpr uint16_t FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT = 0x0001;

// The filter that invoked a callout, as the classify function sees it.
struct FWPS_FILTER {
    uint64_t filterId = 0;
    uint64_t weight = 0;
    uint16_t subLayerWeight = 0;
    uint16_t flags = 0;
    FWPS_ACTION action;
    uint64_t context = 0;
};

struct FWPS_CLASSIFY_OUT {
    uint32_t actionType = FWP_ACTION_NONE;
    uint32_t rights = FWPS_RIGHT_ACTION_WRITE;
    uint32_t flags = 0;
};

// ---- Runtime callouts ----

enum FWPS_CALLOUT_NOTIFY_TYPE : uint32_t {
    FWPS_CALLOUT_NOTIFY_ADD_FILTER = 0,
    FWPS_CALLOUT_NOTIFY_DELETE_FILTER = 1,
};

// layerData: FWPS_STREAM_CALLOUT_IO_PACKET* at the stream layers, the NET_BUFFER_LIST* of the
// datagram at the datagram-data layers, null at the flow-established layers. flowContext: what the
// callout associated with the flow for this layer, 0 when nothing is.
using FWPS_CALLOUT_CLASSIFY_FN = std::function<void(
    const FWPS_INCOMING_VALUES& values, const FWPS_INCOMING_METADATA_VALUES& metadata,
    void* layerData, const FWPS_FILTER& filter, uint64_t flowContext,
    FWPS_CLASSIFY_OUT& classifyOut)>;
using FWPS_CALLOUT_NOTIFY_FN = std::function<NTSTATUS(
    FWPS_CALLOUT_NOTIFY_TYPE type, const GUID& filterKey, const FWPS_FILTER& filter)>;
using FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN =
    std::function<void(uint16_t layerId, uint32_t calloutId, uint64_t flowContext)>;

struct FWPS_CALLOUT {
    GUID calloutKey;
    uint32_t flags = 0;
    FWPS_CALLOUT_CLASSIFY_FN classifyFn;
    FWPS_CALLOUT_NOTIFY_FN notifyFn;
    FWPS_CALLOUT_FLOW_DELETE_NOTIFY_FN flowDeleteFn;
};

// Registers a runtime callout; its runtime ID (never 0) is what filters and flow contexts name.
NTSTATUS FwpsCalloutRegister(const FWPS_CALLOUT& callout, uint32_t* calloutId);
// Contexts still associated with the callout are removed first (their flow-delete runs).
NTSTATUS FwpsCalloutUnregisterById(uint32_t calloutId);

// ---- Management objects ----

struct FWPM_DISPLAY_DATA {
    std::string name;
    std::string description;
};

constexpr uint32_t FWPM_SESSION_FLAG_DYNAMIC = 0x00000001;
constexpr uint32_t RPC_C_AUTHN_WINNT = 10;
constexpr uint32_t RPC_C_AUTHN_DEFAULT = 0xFFFFFFFF;

struct FWPM_SESSION {
    GUID sessionKey;
    FWPM_DISPLAY_DATA displayData;
    // FWPM_SESSION_FLAG_DYNAMIC: every object added through the session goes when it closes.
    uint32_t flags = 0;
};

struct FWPM_SUBLAYER {
    GUID subLayerKey;
    FWPM_DISPLAY_DATA displayData;
    uint32_t flags = 0;
    uint16_t weight = 0;
};

struct FWPM_CALLOUT {
    GUID calloutKey;
    FWPM_DISPLAY_DATA displayData;
    uint32_t flags = 0;
    GUID applicableLayer;
};

enum FWP_DATA_TYPE : uint32_t {
    FWP_EMPTY = 0,
    FWP_UINT8 = 1,
    FWP_UINT16 = 2,
    FWP_UINT32 = 3,
    FWP_UINT64 = 4,
    FWP_BYTE_ARRAY16_TYPE = 11,
};

struct FWP_CONDITION_VALUE {
    FWP_DATA_TYPE type = FWP_EMPTY;
    uint64_t value = 0;  // FWP_UINT8 to FWP_UINT64
    std::array<uint8_t, 16> byteArray16{};

    static FWP_CONDITION_VALUE Uint8(uint8_t v) { return {FWP_UINT8, v, {}}; }
    static FWP_CONDITION_VALUE Uint16(uint16_t v) { return {FWP_UINT16, v, {}}; }
    static FWP_CONDITION_VALUE Uint32(uint32_t v) { return {FWP_UINT32, v, {}}; }
    static FWP_CONDITION_VALUE ByteArray16(const std::array<uint8_t, 16>& v) {
        return {FWP_BYTE_ARRAY16_TYPE, 0, v};
    }
};

enum FWP_MATCH_TYPE : uint32_t {
    FWP_MATCH_EQUAL = 0,
    FWP_MATCH_NOT_EQUAL = 9,
};

// The condition fields a filter can test, with the value type each takes: IP protocol FWP_UINT8,
// ports FWP_UINT16, remote address FWP_UINT32 (IPv4 layers) or FWP_BYTE_ARRAY16_TYPE (IPv6),
// direction FWP_UINT32.
enum FWPM_CONDITION_FIELD : uint32_t {
    FWPM_CONDITION_IP_PROTOCOL,
    FWPM_CONDITION_IP_REMOTE_PORT,
    FWPM_CONDITION_IP_LOCAL_PORT,
    FWPM_CONDITION_IP_REMOTE_ADDRESS,
    FWPM_CONDITION_DIRECTION,
};

struct FWPM_FILTER_CONDITION {
    FWPM_CONDITION_FIELD fieldKey = FWPM_CONDITION_IP_PROTOCOL;
    FWP_MATCH_TYPE matchType = FWP_MATCH_EQUAL;
    FWP_CONDITION_VALUE conditionValue;
};

struct FWPM_ACTION {
    uint32_t type = FWP_ACTION_PERMIT;
    GUID calloutKey;  // for the callout actions
};

constexpr uint32_t FWPM_FILTER_FLAG_CLEAR_ACTION_RIGHT = 0x00000008;

struct FWPM_FILTER {
    GUID filterKey;  // null: the engine makes one
    FWPM_DISPLAY_DATA displayData;
    uint32_t flags = 0;
    GUID layerKey;
    GUID subLayerKey = FWPM_SUBLAYER_UNIVERSAL;
    // Empty (FWP_EMPTY): the engine orders the filter automatically, after the weighted ones.
    std::optional<uint64_t> weight;
    std::vector<FWPM_FILTER_CONDITION> filterConditions;
    FWPM_ACTION action;
    uint64_t rawContext = 0;
};

// ---- Engine sessions ----

// An open engine session; closing it (or destroying the handle) ends the session.
class ENGINE_HANDLE {
  public:
    ENGINE_HANDLE() = default;
    ~ENGINE_HANDLE();
    ENGINE_HANDLE(ENGINE_HANDLE&& other) noexcept;
    ENGINE_HANDLE& operator=(ENGINE_HANDLE&& other) noexcept;
    ENGINE_HANDLE(const ENGINE_HANDLE&) = delete;
    ENGINE_HANDLE& operator=(const ENGINE_HANDLE&) = delete;

    explicit operator bool() const { return session_ != 0; }
    FilterEngine* Engine() const { return engine_; }

  private:
    friend class FilterEngine;
    FilterEngine* engine_ = nullptr;
    uint64_t session_ = 0;
};

// Fails with STATUS_DEVICE_NOT_READY while the base filtering engine is not running.
NTSTATUS FwpmEngineOpen(const FWPM_SESSION* session, uint32_t authnService, ENGINE_HANDLE& engine);
NTSTATUS FwpmEngineClose(ENGINE_HANDLE& engine);
NTSTATUS FwpmTransactionBegin(const ENGINE_HANDLE& engine);
NTSTATUS FwpmTransactionCommit(const ENGINE_HANDLE& engine);
NTSTATUS FwpmTransactionAbort(const ENGINE_HANDLE& engine);
NTSTATUS FwpmSubLayerAdd(const ENGINE_HANDLE& engine, const FWPM_SUBLAYER& subLayer);
NTSTATUS FwpmCalloutAdd(const ENGINE_HANDLE& engine, const FWPM_CALLOUT& callout,
                        uint32_t* id = nullptr);
NTSTATUS FwpmFilterAdd(const ENGINE_HANDLE& engine, const FWPM_FILTER& filter,
                       uint64_t* id = nullptr);
NTSTATUS FwpmFilterDeleteById(const ENGINE_HANDLE& engine, uint64_t id);

// ---- Base filtering engine state ----

enum FWPM_SERVICE_STATE : uint32_t {
    FWPM_SERVICE_STOPPED = 0,
    FWPM_SERVICE_START_PENDING = 1,
    FWPM_SERVICE_STOP_PENDING = 2,
    FWPM_SERVICE_RUNNING = 3,
};

using FWPM_SERVICE_STATE_CHANGE_CALLBACK = std::function<void(FWPM_SERVICE_STATE newState)>;

class BFE_SUBSCRIPTION {
  public:
    BFE_SUBSCRIPTION() = default;
    ~BFE_SUBSCRIPTION();
    BFE_SUBSCRIPTION(BFE_SUBSCRIPTION&& other) noexcept;
    BFE_SUBSCRIPTION& operator=(BFE_SUBSCRIPTION&& other) noexcept;
    BFE_SUBSCRIPTION(const BFE_SUBSCRIPTION&) = delete;
    BFE_SUBSCRIPTION& operator=(const BFE_SUBSCRIPTION&) = delete;
    explicit operator bool() const { return id_ != 0; }
    FilterEngine* Engine() const { return engine_; }

  private:
    friend class FilterEngine;
    FilterEngine* engine_ = nullptr;
    uint64_t id_ = 0;
};

FWPM_SERVICE_STATE FwpmBfeStateGet();
// The callback runs on the thread that changes the state, after the change, outside engine locks.
NTSTATUS FwpmBfeStateSubscribeChanges(FWPM_SERVICE_STATE_CHANGE_CALLBACK callback,
                                      BFE_SUBSCRIPTION& subscription);
// Returns once no callback of the subscription is running (unless called from inside one).
NTSTATUS FwpmBfeStateUnsubscribeChanges(BFE_SUBSCRIPTION& subscription);

// ---- Flow contexts ----

// Associates a context with a flow for a layer and callout; the callout's flow-delete function
// gets it back exactly once: when the association is removed, or when the flow ends.
NTSTATUS FwpsFlowAssociateContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId,
                                  uint64_t flowContext);
// Removes the association; the flow-delete function runs before this returns.
NTSTATUS FwpsFlowRemoveContext(uint64_t flowId, uint16_t layerId, uint32_t calloutId);

// Not an engine call of the original platform, which redirects a connection only before it is
// made: where the backend makes the server's connection itself, a callout may have it made again
// toward another address of the same port while nothing has crossed to or from the server (see
// StreamEndpoints::RedirectServer). STATUS_FWP_NOT_FOUND for an unknown flow.
bool FwpsStreamCanRedirectServer(uint64_t flowId);
NTSTATUS FwpsStreamRedirectServer(uint64_t flowId, const IP_ADDRESS_BYTES& address);

// ---- Stream data ----

// Copies the indicated bytes into buffer; returns the count copied (at most buffer.size()).
size_t FwpsCopyStreamDataToBuffer(const FWPS_STREAM_DATA& streamData, std::span<uint8_t> buffer);
// Clones the indicated lists (pool tag kWfpCloneTag); on failure the clone stays empty.
NTSTATUS FwpsCloneStreamData(const FWPS_STREAM_DATA& streamData, NetBufferListChain& clone);
void FwpsDiscardClonedStreamData(NetBufferListChain& clone);

// ---- Injection ----

constexpr uint32_t FWPS_INJECTION_TYPE_STREAM = 0x00000001;
constexpr uint32_t FWPS_INJECTION_TYPE_TRANSPORT = 0x00000002;

class INJECTION_HANDLE {
  public:
    INJECTION_HANDLE() = default;
    ~INJECTION_HANDLE();
    INJECTION_HANDLE(INJECTION_HANDLE&& other) noexcept;
    INJECTION_HANDLE& operator=(INJECTION_HANDLE&& other) noexcept;
    INJECTION_HANDLE(const INJECTION_HANDLE&) = delete;
    INJECTION_HANDLE& operator=(const INJECTION_HANDLE&) = delete;
    explicit operator bool() const { return id_ != 0; }
    uint64_t Id() const { return id_; }
    FilterEngine* Engine() const { return engine_; }

  private:
    friend class FilterEngine;
    FilterEngine* engine_ = nullptr;
    uint64_t id_ = 0;
};

// family Unspecified: for both address families.
NTSTATUS FwpsInjectionHandleCreate(AddressFamily family, uint32_t flags, INJECTION_HANDLE& handle);
NTSTATUS FwpsInjectionHandleDestroy(INJECTION_HANDLE& handle);

// Runs after the injected data was delivered (or could not be), on an engine thread, never inside
// the injecting call. It gets the injected lists back: dropping them frees them.
using FWPS_INJECT_COMPLETE = std::function<void(NetBufferListChain data, NTSTATUS status)>;

// Injects data into a flow's stream: FWPS_STREAM_FLAG_SEND toward the server, _RECEIVE toward the
// client, with _SEND_DISCONNECT / _RECEIVE_DISCONNECT to close that direction after the data (an
// empty chain with a disconnect flag delivers just the FIN). dataLength must be the chain's length.
// Injected data is delivered after everything delivered before it in that direction and is not
// indicated to the callout again. On success the chain is taken and the completion will run; on
// failure the chain stays with the caller and the completion is not called.
NTSTATUS FwpsStreamInjectAsync(const INJECTION_HANDLE& handle, uint64_t flowId, uint32_t calloutId,
                               uint16_t layerId, uint32_t streamFlags, NetBufferListChain&& data,
                               size_t dataLength, FWPS_INJECT_COMPLETE completion);

enum FWPS_PACKET_INJECTION_STATE : uint32_t {
    FWPS_PACKET_NOT_INJECTED = 0,
    FWPS_PACKET_INJECTED_BY_SELF = 1,
    FWPS_PACKET_INJECTED_BY_OTHER = 2,
    FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF = 3,
};

FWPS_PACKET_INJECTION_STATE FwpsQueryPacketInjectionState(const INJECTION_HANDLE& handle,
                                                          const NET_BUFFER_LIST& packet,
                                                          void** injectionContext = nullptr);

// Whether an inbound datagram comes from a server the machine itself is set up to ask for names
// (its resolvers), so that what it says of names and addresses may be believed; true for every
// datagram the backend cannot tell about. Not a call of the Windows engine: there the stack's own
// resolver configuration is read instead.
bool FwpsQueryPacketFromMachineResolver(const NET_BUFFER_LIST& packet);

// A pool-backed copy of a packet (pool tag kWfpCloneTag), with the same data start; null clone
// and STATUS_INSUFFICIENT_RESOURCES when the pool refuses.
NTSTATUS FwpsAllocateCloneNetBufferList(const NET_BUFFER_LIST& original, NetBufferListPtr& clone);

// Builds an IP header in front of the transport header where the packet's data starts. An IP
// header already in front of it (headerIncludeHeaderLength bytes) is replaced. Addresses are in
// network order (4 or 16 bytes). For UDP the checksum is computed as well. On return the data
// starts at the new IP header.
NTSTATUS FwpsConstructIpHeaderForTransportPacket(NET_BUFFER_LIST& packet,
                                                 uint32_t headerIncludeHeaderLength,
                                                 AddressFamily family,
                                                 std::span<const uint8_t> sourceAddress,
                                                 std::span<const uint8_t> remoteAddress,
                                                 uint8_t nextProtocol);

// Injects a whole IP packet (data starting at its IP header) on the receive path of an interface.
// It is indicated again at the datagram-data layer, where FwpsQueryPacketInjectionState tells the
// injector it is its own, and delivered to the local endpoint it is addressed to when permitted.
// The completion's status says whether it was delivered: STATUS_SUCCESS, STATUS_INVALID_PARAMETER
// (malformed headers), STATUS_NOT_FOUND (no such endpoint on that interface) or
// STATUS_UNSUCCESSFUL (blocked at the layer). On failure the packet stays with the caller.
NTSTATUS FwpsInjectTransportReceiveAsync(const INJECTION_HANDLE& handle, void* injectionContext,
                                         AddressFamily family, uint32_t compartmentId,
                                         uint32_t interfaceIndex, uint32_t subInterfaceIndex,
                                         NetBufferListPtr&& packet,
                                         FWPS_INJECT_COMPLETE completion);

}  // namespace os
