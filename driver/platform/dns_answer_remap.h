// The rewriting of DNS answers for remapped host names. An inbound answer to a question (A or AAAA,
// class IN) for a host that the remap list names is absorbed, and a rewritten answer is injected
// on the receive path in its place: the header and question as they came, then an alias (CNAME)
// record naming the remap target and an address record with the target's address as the resolver
// thread last learnt it, or no records while that address is not known. A client that looks up a
// remapped host thus connects to the target without any change on the DNS server.
//
// No other answer may carry a remapped host's own address either: an ANY answer, a CNAME chain
// that ends at a remapped host, an address in the authority or additional section. Every A and
// AAAA record of a remapped name, wherever it stands, gets the target's address in place; when
// that address is not known yet, or the records cannot be read to their end (something there may
// be such an address), the answer keeps only its header and question.
//
// The name walk, the question parse and the answer building are free functions, usable on their
// own (tests and the fuzz target drive them directly).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "driver/platform/remap_tables.h"
#include "os/kernel/pool.h"
#include "os/wfp/wfp.h"

namespace wexo::drv {

class ADDRESS_NAMES;

inline constexpr size_t kDnsHeaderSize = 12;
// The dotted text of a name, its terminating NUL included.
inline constexpr size_t kDnsNameTextSize = 256;
// Label bytes, length bytes and the terminating zero byte of one name.
inline constexpr size_t kDnsMaxNameWireLength = 255;
inline constexpr size_t kDnsMaxLabelLength = 63;
inline constexpr uint16_t kDnsTypeA = 1;
inline constexpr uint16_t kDnsTypeCname = 5;
inline constexpr uint16_t kDnsTypeAaaa = 28;
inline constexpr uint16_t kDnsClassIn = 1;
inline constexpr uint16_t kDnsPort = 53;
inline constexpr uint32_t kRemappedRecordTtl = 3600;
// Name, type, class, TTL and data length of a record whose name is a compression pointer.
inline constexpr size_t kDnsPointerRecordHeaderSize = 12;
// The longest rewritten message: header, an uncompressed question, the alias record with the
// longest target and an IPv6 address record.
inline constexpr size_t kMaxRemappedAnswerSize =
    kDnsHeaderSize + kDnsMaxNameWireLength + 4 + kDnsPointerRecordHeaderSize +
    kDnsMaxNameWireLength + kDnsPointerRecordHeaderSize + 16;

// Non-paged copies of fragmented packets, taken so that the DNS message can be read in one piece,
// and of long answers whose addresses are rewritten in place.
inline constexpr uint32_t kDnsPacketCopyTag = os::MakePoolTag("DRMc");

enum class DnsParseStatus {
    Ok,
    TooShort,             // fewer than 12 bytes
    NotResponse,          // the response bit is clear
    QuestionCount,        // not exactly one question
    NamePastMessage,      // a label or pointer runs past the message
    NameBadLengthByte,    // a length byte with only one of its two top bits set
    NameBadPointer,       // a pointer that does not point before the labels it continues
    NameTooLong,          // label bytes, length bytes and zero byte together past 255
    NameAmbiguous,        // a label holds a dot or a NUL byte, which the dotted text cannot keep
    QuestionPastMessage,  // type and class do not fit after the name
    NotAddressType,       // the type is neither A nor AAAA
    NotInternetClass,     // the class is not IN
};

// One name read from a message.
struct DNS_NAME {
    // Dotted, NUL-terminated, without a trailing dot ("" for the root).
    char text[kDnsNameTextSize] = {};
    size_t textLength = 0;
    // The offset just after the name where it was read: after its zero byte, or after its first
    // compression pointer.
    size_t end = 0;
    // Label bytes, length bytes and the zero byte (at most kDnsMaxNameWireLength).
    size_t wireLength = 0;
    // At least one compression pointer was followed.
    bool compressed = false;
};

struct DNS_QUESTION {
    DNS_NAME name;
    uint16_t type = 0;
    uint16_t questionClass = 0;
    // The offset just after the question's class.
    size_t end = 0;
};

// Reads the name at `offset`, following compression pointers. Each pointer must point before the
// first byte of the run of labels it continues; see the definition for why that ends every walk.
DnsParseStatus ReadDnsName(std::span<const uint8_t> message, size_t offset, DNS_NAME* name);

// The question of a DNS response: at least 12 bytes, the response bit set, exactly one question,
// its name, type A or AAAA and class IN.
DnsParseStatus ParseDnsQuestion(std::span<const uint8_t> message, DNS_QUESTION* question);

// Whether a remap target can be written as a DNS name: labels of 1 to 63 bytes, at most 255 bytes
// in labels. One trailing dot is allowed (a fully qualified name).
bool IsEncodableTargetName(std::string_view target);

// The alias record's data for `target` in a message whose question name `questionName` is written
// uncompressed at offset 12: the target's leading labels followed by a compression pointer to the
// tail it shares with the question name (compared from the ends, ignoring ASCII case, on label
// boundaries), or the whole target in labels when they share none. Returns the bytes written, 0
// when the target cannot be encoded or `out` is too small.
size_t EncodeAliasTarget(std::string_view questionName, std::string_view target,
                         std::span<uint8_t> out);

// The rewritten message for `message`, whose question was parsed into `question`: the incoming
// header and question, the answer count set to 2 with the alias record for `target` and the
// address record (4 bytes for A, 16 for AAAA, from `address`), or to 0 with no records when
// `address` is null; authority and additional counts 0. Returns the message length (at most
// kMaxRemappedAnswerSize), 0 when it cannot be built: the question name is compressed, the target
// cannot be encoded or `out` is too small.
size_t BuildRemappedAnswer(std::span<const uint8_t> message, const DNS_QUESTION& question,
                           std::string_view target, const uint8_t* address, std::span<uint8_t> out);

enum class DnsRemapResult {
    Unchanged,  // nothing of a remapped name's own addresses: the answer passes as it came
    Rewritten,  // the answer to deliver instead is in `out`
    Withheld,   // it would carry such an address and no sound replacement can be built
};

// The room RemapDnsAnswer needs for the answer it writes in place of `messageSize` bytes.
constexpr size_t RemapOutputSize(size_t messageSize) {
    return messageSize > kMaxRemappedAnswerSize ? messageSize : kMaxRemappedAnswerSize;
}

// What becomes of an inbound DNS message under the remap list of `tables` (its switch is not
// looked at). A response with one question:
// - an A or AAAA question of class IN for a remapped name: the alias answer of
//   BuildRemappedAnswer;
// - otherwise every A and AAAA record (class IN, any section) whose name is remapped: its data
//   becomes the target's address of that family, the message otherwise byte for byte the same;
// - when such a target address is not known, a record of a remapped name has the wrong data
//   length, or the records cannot be walked to their count: the header and question with no
//   records (Withheld when the question name is compressed, which that cut could break).
// Anything else is Unchanged. `out` must hold RemapOutputSize(message.size()) bytes; *outLength
// is set for Rewritten.
DnsRemapResult RemapDnsAnswer(std::span<const uint8_t> message, DNS_REMAP_TABLES& tables,
                              std::span<uint8_t> out, size_t* outLength);

class DNS_ANSWER_REMAP {
  public:
    // `transportInjection` is the registration's receive-injection handle; it becomes valid only
    // when the registration initialises, so it is looked at on every classify. `filterActive`
    // says whether the traffic filter is registered and not unloading.
    // `names`, when given, learns from every inbound answer which names its addresses stand for.
    DNS_ANSWER_REMAP(DNS_REMAP_TABLES& tables, const os::INJECTION_HANDLE& transportInjection,
                     std::function<bool()> filterActive, ADDRESS_NAMES* names = nullptr);
    DNS_ANSWER_REMAP(const DNS_ANSWER_REMAP&) = delete;
    DNS_ANSWER_REMAP& operator=(const DNS_ANSWER_REMAP&) = delete;

    // The classify of the datagram-data layers (IPv4 and IPv6): absorbs an inbound answer that
    // RemapDnsAnswer changes and injects the rewritten one (or none, when withheld), or permits
    // the datagram unchanged.
    void InspectInboundDatagram(const os::FWPS_INCOMING_VALUES& values,
                                const os::FWPS_INCOMING_METADATA_VALUES& metadata, void* layerData,
                                const os::FWPS_FILTER& filter, uint64_t flowContext,
                                os::FWPS_CLASSIFY_OUT& classifyOut);

  private:
    void LearnNames(os::NET_BUFFER_LIST& packet);
    // Builds and injects the rewritten answer; true when the packet is to be absorbed (its
    // replacement injected, or nothing when it is withheld), false when it passes unchanged.
    // `learner`, when given, learns from the answer that goes on: the rewritten one, or the one
    // that came.
    bool RewriteAndInject(os::NET_BUFFER_LIST& packet, const os::FWPS_INCOMING_VALUES& values,
                          const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                          os::AddressFamily family, ADDRESS_NAMES* learner);
    // Injects `answer` in the place of the packet that came (`incoming`: its IP and UDP headers,
    // `headers` bytes, and the message); false when it could not.
    bool InjectRewritten(os::NET_BUFFER_LIST& packet, std::span<const uint8_t> incoming,
                         size_t headers, std::span<const uint8_t> answer,
                         const os::FWPS_INCOMING_VALUES& values,
                         const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                         os::AddressFamily family);

    DNS_REMAP_TABLES& tables_;
    const os::INJECTION_HANDLE& injection_;
    std::function<bool()> filterActive_;
    ADDRESS_NAMES* names_;
};

}  // namespace wexo::drv
