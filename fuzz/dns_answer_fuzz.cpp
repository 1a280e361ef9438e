// The whole inbound datagram classify of the DNS answer rewriting on arbitrary DNS messages: each
// input becomes an IPv4 or IPv6 UDP packet from a resolver (port 53) to a client endpoint, as a
// net-buffer list with its data start at the UDP payload, optionally in two memory pieces split at
// a position the input chooses. The remap table maps every name to a target the input picks
// (sharing a tail with the question or not, one DNS cannot carry, with or without a known
// address), so the rewrite, clone, header construction and receive injection all run; the
// injected answer comes back through the engine to the same classify, which must let it pass.
//
// Checked: the indicated packet leaves the classify as it came; a permitted answer injects
// nothing; an absorbed one injects at most one answer, the one RemapDnsAnswer gives, which keeps
// the header's ID, flags and question: for an A or AAAA question of a remapped name no records or
// exactly the alias and address records with sound pointers, naming the target; otherwise the
// message with its address records rewritten in place, or its question alone; nothing allocated
// stays allocated; the names of answered addresses learnt from it stay within their bounds.
//
// Input: byte 0 flags (bit 0 IPv6, bit 1 fragmented, bits 2-3 target, bit 4 address known,
// bit 5 UnencryptedSearch off), byte 1 where the pieces split, the rest the DNS message.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/filter/address_names.h"
#include "driver/platform/dns_answer_remap.h"
#include "os/wfp/wfp.h"
#include "os/wfp/wfp_engine.h"
#include "os/wfp/wfp_flow.h"

namespace {

using namespace wexo::drv;

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

constexpr std::string_view kTargets[4] = {
    "safe.search.test",       // shares "search.test" with the seeds' question
    "restrict.tube.example",  // shares nothing
    "xww.search.test",        // one letter from "www.search.test"
    "a..broken",              // not a DNS name: answers pass unchanged
};
const uint8_t kAddress[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x80};

class FUZZ_TABLES : public DNS_REMAP_TABLES {
  public:
    bool UnencryptedSearch() const override { return unencryptedSearch; }
    char* RemapLookup(const char* host) override {
        (void)host;
        auto* copy = static_cast<char*>(
            os::ExAllocatePoolWithTag(os::PoolType::NonPaged, target.size() + 1, kRemapTargetTag));
        if (copy != nullptr) {
            std::memcpy(copy, target.data(), target.size());
            copy[target.size()] = '\0';
        }
        return copy;
    }
    bool RemapTargetAddress(const char*, os::AddressFamily family, uint8_t* address) override {
        if (!addressKnown) {
            return false;
        }
        std::memcpy(address, kAddress, family == os::AddressFamily::IPv4 ? 4 : 16);
        return true;
    }

    bool unencryptedSearch = true;
    bool addressKnown = true;
    std::string_view target = kTargets[0];
};

// What the client endpoint received, for one input at a time.
class RECORDING_SINK : public os::DatagramSink {
  public:
    void Deliver(os::FWP_DIRECTION, std::span<const uint8_t> payload, bool injected) override {
        std::lock_guard guard(lock);
        received.emplace_back(payload.begin(), payload.end());
        allInjected = allInjected && injected;
    }
    std::mutex lock;
    std::vector<std::vector<uint8_t>> received;
    bool allInjected = true;
};

struct HARNESS {
    os::FilterEngine engine;
    os::ENGINE_HANDLE session;
    os::INJECTION_HANDLE injection;
    FUZZ_TABLES tables;
    ADDRESS_NAMES names;
    DNS_ANSWER_REMAP remap{tables, injection, [] { return true; }, &names};
    std::shared_ptr<RECORDING_SINK> sink = std::make_shared<RECORDING_SINK>();
    std::shared_ptr<os::DatagramEndpoint> endpoints[2];

    HARNESS() {
        os::FWPM_SESSION dynamic;
        dynamic.flags = os::FWPM_SESSION_FLAG_DYNAMIC;
        FUZZ_CHECK(os::FwpmEngineOpen(&dynamic, os::RPC_C_AUTHN_WINNT, session) ==
                   os::STATUS_SUCCESS);
        const os::GUID keys[2] = {os::MakeGuid("790373d9-34cb-44c8-83b0-d400a1a10db0"),
                                  os::MakeGuid("56037114-54bd-4ae3-b522-e1a558d75a35")};
        const os::GUID layers[2] = {os::FWPM_LAYER_DATAGRAM_DATA_V4,
                                    os::FWPM_LAYER_DATAGRAM_DATA_V6};
        for (int i = 0; i < 2; ++i) {
            os::FWPS_CALLOUT callout;
            callout.calloutKey = keys[i];
            callout.classifyFn = [this](const auto& values, const auto& metadata, void* data,
                                        const auto& filter, uint64_t context, auto& out) {
                remap.InspectInboundDatagram(values, metadata, data, filter, context, out);
            };
            FUZZ_CHECK(os::FwpsCalloutRegister(callout, nullptr) == os::STATUS_SUCCESS);
            os::FWPM_CALLOUT management;
            management.calloutKey = keys[i];
            management.applicableLayer = layers[i];
            FUZZ_CHECK(os::FwpmCalloutAdd(session, management) == os::STATUS_SUCCESS);
            os::FWPM_FILTER filter;
            filter.layerKey = layers[i];
            filter.action.type = os::FWP_ACTION_CALLOUT_TERMINATING;
            filter.action.calloutKey = keys[i];
            FUZZ_CHECK(os::FwpmFilterAdd(session, filter) == os::STATUS_SUCCESS);
        }
        FUZZ_CHECK(os::FwpsInjectionHandleCreate(os::AddressFamily::Unspecified,
                                                 os::FWPS_INJECTION_TYPE_TRANSPORT,
                                                 injection) == os::STATUS_SUCCESS);
        for (int v6 = 0; v6 < 2; ++v6) {
            os::FLOW_TUPLE tuple;
            std::array<uint8_t, 16> local{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20};
            std::array<uint8_t, 16> remote{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                           0,    0,    0,    0,    0, 0, 0, 0x53};
            tuple.localAddress =
                v6 ? os::MakeIPv6Address(local) : os::MakeIPv4Address(192, 168, 1, 20);
            tuple.remoteAddress =
                v6 ? os::MakeIPv6Address(remote) : os::MakeIPv4Address(192, 0, 2, 53);
            tuple.localPort = 50000;
            tuple.remotePort = 53;
            tuple.protocol = os::IPPROTO_UDP_VALUE;
            tuple.interfaceIndex = 7;
            tuple.subInterfaceIndex = 1;
            endpoints[v6] = engine.OpenDatagramEndpoint(tuple, std::nullopt, sink);
        }
    }
};

HARNESS& Harness() {
    // Lives for the whole run: the engine's completion thread must outlast every input.
    static HARNESS* harness = new HARNESS();
    return *harness;
}

uint16_t Get16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The injected answer against the incoming message it replaced.
void CheckRewritten(std::span<const uint8_t> incoming, std::span<const uint8_t> rewritten,
                    std::string_view target, bool addressKnown) {
    DNS_QUESTION original;
    if (ParseDnsQuestion(incoming, &original) != DnsParseStatus::Ok || original.name.compressed ||
        !IsEncodableTargetName(target)) {
        // Not the alias answer: the message with its addresses rewritten in place, or only its
        // header and question, its counts cleared.
        FUZZ_CHECK(rewritten.size() >= 16 &&
                   std::memcmp(rewritten.data(), incoming.data(), 6) == 0);
        const bool cleared =
            Get16(rewritten, 6) == 0 && Get16(rewritten, 8) == 0 && Get16(rewritten, 10) == 0;
        FUZZ_CHECK(rewritten.size() <= incoming.size());
        if (!cleared || rewritten.size() == incoming.size()) {
            FUZZ_CHECK(rewritten.size() == incoming.size());
            FUZZ_CHECK(cleared || std::memcmp(rewritten.data() + 6, incoming.data() + 6, 6) == 0);
        } else {
            FUZZ_CHECK(std::memcmp(rewritten.data() + 12, incoming.data() + 12,
                                   rewritten.size() - 12) == 0);
        }
        return;
    }
    DNS_QUESTION question;
    FUZZ_CHECK(ParseDnsQuestion(rewritten, &question) == DnsParseStatus::Ok);
    FUZZ_CHECK(question.end == original.end);
    FUZZ_CHECK(std::memcmp(rewritten.data(), incoming.data(), 6) == 0);
    FUZZ_CHECK(std::memcmp(rewritten.data() + 12, incoming.data() + 12, original.end - 12) == 0);
    FUZZ_CHECK(Get16(rewritten, 8) == 0 && Get16(rewritten, 10) == 0);
    if (!addressKnown) {
        FUZZ_CHECK(Get16(rewritten, 6) == 0 && rewritten.size() == question.end);
        return;
    }
    FUZZ_CHECK(Get16(rewritten, 6) == 2);
    size_t at = question.end;
    FUZZ_CHECK(rewritten.size() >= at + kDnsPointerRecordHeaderSize);
    FUZZ_CHECK(Get16(rewritten, at) == 0xC00C && Get16(rewritten, at + 2) == kDnsTypeCname &&
               Get16(rewritten, at + 4) == kDnsClassIn);
    size_t aliasData = at + kDnsPointerRecordHeaderSize;
    size_t aliasLength = Get16(rewritten, at + 10);
    DNS_NAME alias;
    FUZZ_CHECK(ReadDnsName(rewritten, aliasData, &alias) == DnsParseStatus::Ok);
    FUZZ_CHECK(alias.end == aliasData + aliasLength);
    std::string_view expected = target;
    if (!expected.empty() && expected.back() == '.') {
        expected.remove_suffix(1);
    }
    FUZZ_CHECK(EqualIgnoringCase({alias.text, alias.textLength}, expected));
    at = aliasData + aliasLength;
    size_t addressLength = question.type == kDnsTypeA ? 4 : 16;
    FUZZ_CHECK(rewritten.size() == at + kDnsPointerRecordHeaderSize + addressLength);
    FUZZ_CHECK(Get16(rewritten, at) == (0xC000 | aliasData));
    FUZZ_CHECK(Get16(rewritten, at + 2) == question.type);
    FUZZ_CHECK(Get16(rewritten, at + 10) == addressLength);
    FUZZ_CHECK(std::memcmp(rewritten.data() + at + kDnsPointerRecordHeaderSize, kAddress,
                           addressLength) == 0);
    DNS_NAME addressName;
    FUZZ_CHECK(ReadDnsName(rewritten, at, &addressName) == DnsParseStatus::Ok);
    FUZZ_CHECK(EqualIgnoringCase({addressName.text, addressName.textLength}, expected));
}

}  // namespace

// Each name learnt for an address the message holds is a non-empty DNS name; the table stays
// within its bounds.
void CheckNames(ADDRESS_NAMES& names, std::span<const uint8_t> message) {
    FUZZ_CHECK(names.NameCount() <= kAddressNamesLimit);
    for (size_t at = 0; at + 4 <= message.size(); ++at) {
        ADDRESS_NAMES::NAME_LIST list;
        const size_t count = names.NamesOf(MakeAddressKey(message.data() + at, 4), list);
        FUZZ_CHECK(count <= kAddressNamesPerAddress);
        for (size_t i = 0; i < count; ++i) {
            FUZZ_CHECK(!list[i].empty() && list[i].size() < kDnsNameTextSize);
        }
    }
    // Nothing from one input decides another.
    names.Clear();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 2 + 4096) {
        return 0;
    }
    HARNESS& h = Harness();
    const uint8_t flags = data[0];
    const bool v6 = (flags & 1) != 0;
    const bool fragmented = (flags & 2) != 0;
    h.tables.target = kTargets[(flags >> 2) & 3];
    h.tables.addressKnown = (flags & 0x10) != 0;
    h.tables.unencryptedSearch = (flags & 0x20) == 0;
    std::span<const uint8_t> message(data + 2, size - 2);

    const os::FLOW_TUPLE& tuple = h.endpoints[v6]->Tuple();
    std::vector<uint8_t> bytes = os::BuildUdpPacket(tuple.remoteAddress, tuple.remotePort,
                                                    tuple.localAddress, tuple.localPort, message);
    const size_t ipHeaderSize = v6 ? os::kIPv6HeaderSize : os::kIPv4HeaderSize;
    const size_t headers = ipHeaderSize + os::kUdpHeaderSize;
    os::NetBufferListPtr packet = os::AllocateEngineNetBufferList(bytes);
    if (fragmented) {
        os::NetBufferAccess::SplitIntoTwoPieces(*packet, data[1] % bytes.size());
    }
    os::NdisAdvanceNetBufferDataStart(*packet, headers);

    os::FWPS_INCOMING_VALUES values;
    values.layerId = v6 ? os::FWPS_LAYER_DATAGRAM_DATA_V6 : os::FWPS_LAYER_DATAGRAM_DATA_V4;
    if (v6) {
        values.remoteAddressV6 = tuple.remoteAddress.bytes;
        values.localAddressV6 = tuple.localAddress.bytes;
    } else {
        values.remoteAddressV4 = tuple.remoteAddress.V4HostOrder();
        values.localAddressV4 = tuple.localAddress.V4HostOrder();
    }
    values.remotePort = tuple.remotePort;
    values.localPort = tuple.localPort;
    values.protocol = os::IPPROTO_UDP_VALUE;
    values.direction = os::FWP_DIRECTION_INBOUND;
    values.interfaceIndex = tuple.interfaceIndex;
    values.subInterfaceIndex = tuple.subInterfaceIndex;
    os::FWPS_INCOMING_METADATA_VALUES metadata;
    metadata.currentMetadataValues = os::FWPS_METADATA_FIELD_IP_HEADER_SIZE |
                                     os::FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE |
                                     os::FWPS_METADATA_FIELD_COMPARTMENT_ID;
    metadata.ipHeaderSize = static_cast<uint32_t>(ipHeaderSize);
    metadata.transportHeaderSize = static_cast<uint32_t>(os::kUdpHeaderSize);
    metadata.compartmentId = 1;

    os::FWPS_CLASSIFY_OUT out;
    h.remap.InspectInboundDatagram(values, metadata, packet.get(), {}, 0, out);
    FUZZ_CHECK(h.engine.WaitForCompletions(10'000));

    // The indicated packet is as it came, data start included.
    FUZZ_CHECK(packet->DataLength() == message.size());
    FUZZ_CHECK(message.empty() ||
               std::memcmp(packet->Data().data(), message.data(), message.size()) == 0);
    std::vector<std::vector<uint8_t>> received;
    bool allInjected;
    {
        std::lock_guard guard(h.sink->lock);
        received.swap(h.sink->received);
        allInjected = h.sink->allInjected;
        h.sink->allInjected = true;
    }
    std::vector<uint8_t> expected(RemapOutputSize(message.size()));
    size_t expectedLength = 0;
    const DnsRemapResult result = RemapDnsAnswer(message, h.tables, expected, &expectedLength);
    if (out.actionType == os::FWP_ACTION_PERMIT) {
        FUZZ_CHECK((out.flags & os::FWPS_CLASSIFY_OUT_FLAG_ABSORB) == 0);
        FUZZ_CHECK(received.empty());
        FUZZ_CHECK(!h.tables.unencryptedSearch || result == DnsRemapResult::Unchanged);
    } else {
        FUZZ_CHECK(out.actionType == os::FWP_ACTION_BLOCK);
        FUZZ_CHECK((out.flags & os::FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0);
        FUZZ_CHECK(h.tables.unencryptedSearch && allInjected);
        if (result == DnsRemapResult::Withheld) {
            FUZZ_CHECK(received.empty());
        } else {
            FUZZ_CHECK(result == DnsRemapResult::Rewritten && received.size() == 1);
            FUZZ_CHECK(received[0] ==
                       std::vector<uint8_t>(expected.begin(),
                                            expected.begin() + static_cast<long>(expectedLength)));
            CheckRewritten(message, received[0], h.tables.target, h.tables.addressKnown);
        }
    }
    FUZZ_CHECK(os::PoolOutstanding(os::kWfpCloneTag) == 0);
    FUZZ_CHECK(os::PoolOutstanding(kRemapTargetTag) == 0);
    FUZZ_CHECK(os::PoolOutstanding(kDnsPacketCopyTag) == 0);
    CheckNames(h.names, message);
    return 0;
}
