#include "driver/platform/dns_answer_remap.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

#include "driver/filter/address_names.h"

namespace wexo::drv {
namespace {

uint16_t Get16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

void Put16(uint8_t* at, size_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

void Put32(uint8_t* at, uint32_t value) {
    Put16(at, value >> 16);
    Put16(at + 2, value & 0xFFFF);
}

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr uint16_t kPointerBits = 0xC000;
constexpr size_t kQuestionNamePointer = kPointerBits | kDnsHeaderSize;

std::string_view WithoutTrailingDot(std::string_view name) {
    if (!name.empty() && name.back() == '.') {
        name.remove_suffix(1);
    }
    return name;
}

// Writes `text` (dotted, no empty labels) as labels without the terminating zero byte; returns the
// bytes written, text.size() + 1.
size_t WriteLabels(std::string_view text, uint8_t* out) {
    size_t written = 0;
    while (!text.empty()) {
        size_t dot = text.find('.');
        std::string_view label = text.substr(0, dot);
        out[written] = static_cast<uint8_t>(label.size());
        std::memcpy(out + written + 1, label.data(), label.size());
        written += 1 + label.size();
        text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
    }
    return written;
}

// A record whose name is the compression pointer `namePointer`; the data length comes after.
void WriteRecordHeader(uint8_t* out, size_t namePointer, uint16_t type) {
    Put16(out, namePointer);
    Put16(out + 2, type);
    Put16(out + 4, kDnsClassIn);
    Put32(out + 6, kRemappedRecordTtl);
}

void Permit(const os::FWPS_FILTER& filter, os::FWPS_CLASSIFY_OUT& out) {
    out.actionType = os::FWP_ACTION_PERMIT;
    if ((filter.flags & os::FWPS_FILTER_FLAG_CLEAR_ACTION_RIGHT) != 0) {
        out.rights &= ~os::FWPS_RIGHT_ACTION_WRITE;
    }
}

void Absorb(os::FWPS_CLASSIFY_OUT& out) {
    out.actionType = os::FWP_ACTION_BLOCK;
    out.flags |= os::FWPS_CLASSIFY_OUT_FLAG_ABSORB;
    out.rights &= ~os::FWPS_RIGHT_ACTION_WRITE;
}

struct PacketCopyDeleter {
    void operator()(uint8_t* copy) const { os::ExFreePoolWithTag(copy, kDnsPacketCopyTag); }
};

// Moves a packet's data start back over its headers for as long as it lives, and forward again
// when it goes, so the packet leaves the classify as it came.
class RetreatedDataStart {
  public:
    RetreatedDataStart(os::NET_BUFFER_LIST& packet, size_t size) : packet_(packet), size_(size) {
        retreated_ = os::NT_SUCCESS(os::NdisRetreatNetBufferDataStart(packet, size));
    }
    ~RetreatedDataStart() {
        if (retreated_) {
            os::NdisAdvanceNetBufferDataStart(packet_, size_);
        }
    }
    RetreatedDataStart(const RetreatedDataStart&) = delete;
    RetreatedDataStart& operator=(const RetreatedDataStart&) = delete;
    bool Retreated() const { return retreated_; }

  private:
    os::NET_BUFFER_LIST& packet_;
    size_t size_;
    bool retreated_ = false;
};

}  // namespace

namespace {

// The walk of ReadDnsName. With `ambiguous` given, a label holding a dot or a NUL byte is not
// refused but reported there (the text is then not the name a client reads), so that a record
// walk can go past such a name.
DnsParseStatus WalkDnsName(std::span<const uint8_t> message, size_t offset, DNS_NAME* name,
                           bool* ambiguous) {
    name->text[0] = '\0';
    name->textLength = 0;
    name->end = 0;
    name->wireLength = 0;
    name->compressed = false;
    size_t position = offset;
    // Where the run of labels being read began: the name's start, then each pointer's target.
    size_t runStart = offset;
    size_t wire = 0;
    size_t text = 0;
    bool jumped = false;
    for (;;) {
        if (position >= message.size()) {
            return DnsParseStatus::NamePastMessage;
        }
        const uint8_t length = message[position];
        const uint8_t kind = length & 0xC0;
        if (kind == 0xC0) {
            if (message.size() - position < 2) {
                return DnsParseStatus::NamePastMessage;
            }
            size_t target = static_cast<size_t>(length & 0x3F) << 8 | message[position + 1];
            if (target >= message.size()) {
                return DnsParseStatus::NamePastMessage;
            }
            // Pointers add nothing to the name's length, so the length limit cannot end a walk
            // that loops through them. A pointer must therefore lead before the run of labels it
            // continues: every jump lands strictly before the previous landing point, the walk
            // makes fewer jumps than the name's offset and ends, and a pointer to itself or two
            // pointers to each other are refused at their first step that does not go back. An
            // encoder only ever points at a name it wrote earlier, which lies before the name
            // being written and before every earlier target, so no message it writes is refused.
            if (target >= runStart) {
                return DnsParseStatus::NameBadPointer;
            }
            if (!jumped) {
                name->end = position + 2;
                jumped = true;
            }
            name->compressed = true;
            position = runStart = target;
            continue;
        }
        if (kind != 0) {
            return DnsParseStatus::NameBadLengthByte;
        }
        wire += 1 + length;
        if (wire > kDnsMaxNameWireLength) {
            return DnsParseStatus::NameTooLong;
        }
        if (length == 0) {
            if (!jumped) {
                name->end = position + 1;
            }
            break;
        }
        if (length > message.size() - position - 1) {
            return DnsParseStatus::NamePastMessage;
        }
        const uint8_t* label = message.data() + position + 1;
        if (std::memchr(label, '.', length) != nullptr ||
            std::memchr(label, 0, length) != nullptr) {
            if (ambiguous == nullptr) {
                return DnsParseStatus::NameAmbiguous;
            }
            *ambiguous = true;
        }
        // The text (labels and dots) is one byte shorter than the wire form checked above, so it
        // always fits with its NUL; the bound only keeps the copy safe if that ever changed.
        size_t copy = std::min<size_t>(length, kDnsNameTextSize - 1 - text);
        std::memcpy(name->text + text, label, copy);
        text += copy;
        if (text < kDnsNameTextSize - 1) {
            name->text[text++] = '.';
        }
        position += 1 + length;
    }
    if (text > 0 && name->text[text - 1] == '.') {
        --text;
    }
    name->text[text] = '\0';
    name->textLength = text;
    name->wireLength = wire;
    return DnsParseStatus::Ok;
}

}  // namespace

DnsParseStatus ReadDnsName(std::span<const uint8_t> message, size_t offset, DNS_NAME* name) {
    return WalkDnsName(message, offset, name, nullptr);
}

DnsParseStatus ParseDnsQuestion(std::span<const uint8_t> message, DNS_QUESTION* question) {
    if (message.size() < kDnsHeaderSize) {
        return DnsParseStatus::TooShort;
    }
    if ((message[2] & 0x80) == 0) {
        return DnsParseStatus::NotResponse;
    }
    if (Get16(message, 4) != 1) {
        return DnsParseStatus::QuestionCount;
    }
    DnsParseStatus status = ReadDnsName(message, kDnsHeaderSize, &question->name);
    if (status != DnsParseStatus::Ok) {
        return status;
    }
    size_t at = question->name.end;
    if (message.size() - at < 4) {
        return DnsParseStatus::QuestionPastMessage;
    }
    question->type = Get16(message, at);
    question->questionClass = Get16(message, at + 2);
    question->end = at + 4;
    if (question->type != kDnsTypeA && question->type != kDnsTypeAaaa) {
        return DnsParseStatus::NotAddressType;
    }
    if (question->questionClass != kDnsClassIn) {
        return DnsParseStatus::NotInternetClass;
    }
    return DnsParseStatus::Ok;
}

bool IsEncodableTargetName(std::string_view target) {
    target = WithoutTrailingDot(target);
    if (target.empty() || target.size() + 2 > kDnsMaxNameWireLength) {
        return false;
    }
    size_t labelLength = 0;
    for (char c : target) {
        if (c != '.') {
            ++labelLength;
            continue;
        }
        if (labelLength == 0 || labelLength > kDnsMaxLabelLength) {
            return false;
        }
        labelLength = 0;
    }
    return labelLength > 0 && labelLength <= kDnsMaxLabelLength;
}

size_t EncodeAliasTarget(std::string_view questionName, std::string_view target,
                         std::span<uint8_t> out) {
    if (!IsEncodableTargetName(target)) {
        return 0;
    }
    target = WithoutTrailingDot(target);
    // Walk both names back from their ends while they agree, remembering the matching dot that
    // lies nearest to the question name's start: what follows it is the shared tail.
    size_t q = questionName.size();
    size_t t = target.size();
    size_t questionDot = std::string_view::npos;
    size_t targetDot = std::string_view::npos;
    while (q > 0 && t > 0 && LowerAscii(questionName[q - 1]) == LowerAscii(target[t - 1])) {
        --q;
        --t;
        if (questionName[q] == '.') {
            questionDot = q;
            targetDot = t;
        }
    }
    // Names of one length that differ only in their first character match up to the question's
    // very first byte; that is where an off-by-one in the tail walk would turn the alias into the
    // question name itself, so such a target is written whole, which is right whatever the tail.
    bool onlyFirstDiffers = questionName.size() == target.size() && q == 1;
    bool shared = questionDot != std::string_view::npos && questionDot > 0 && targetDot > 0 &&
                  !onlyFirstDiffers;
    if (shared) {
        // The leading labels (text and dot) and the pointer to the question's tail, which starts
        // at the same offset in the labels as in the text.
        size_t size = targetDot + 1 + 2;
        if (size > out.size()) {
            return 0;
        }
        size_t written = WriteLabels(target.substr(0, targetDot), out.data());
        Put16(out.data() + written, kPointerBits | (kDnsHeaderSize + questionDot + 1));
        return size;
    }
    size_t size = target.size() + 2;
    if (size > out.size()) {
        return 0;
    }
    size_t written = WriteLabels(target, out.data());
    out[written] = 0;
    return size;
}

size_t BuildRemappedAnswer(std::span<const uint8_t> message, const DNS_QUESTION& question,
                           std::string_view target, const uint8_t* address,
                           std::span<uint8_t> out) {
    // The alias record's pointer into the question and the offsets of its tail assume the name
    // in its labels right after the header. A compressed question name (which no encoder writes:
    // nothing precedes it to point at) could lean on bytes the rewrite changes or drops.
    if (question.name.compressed || question.end > message.size() ||
        question.end != question.name.end + 4 || question.name.end <= kDnsHeaderSize) {
        return 0;
    }
    size_t addressLength = question.type == kDnsTypeA ? 4 : question.type == kDnsTypeAaaa ? 16 : 0;
    if (addressLength == 0 || !IsEncodableTargetName(target) || question.end > out.size()) {
        return 0;
    }
    std::memcpy(out.data(), message.data(), question.end);
    Put16(out.data() + 6, address != nullptr ? 2 : 0);
    Put16(out.data() + 8, 0);
    Put16(out.data() + 10, 0);
    size_t size = question.end;
    if (address == nullptr) {
        return size;
    }
    if (out.size() - size < kDnsPointerRecordHeaderSize) {
        return 0;
    }
    WriteRecordHeader(out.data() + size, kQuestionNamePointer, kDnsTypeCname);
    size_t aliasData = size + kDnsPointerRecordHeaderSize;
    size_t aliasLength = EncodeAliasTarget({question.name.text, question.name.textLength}, target,
                                           out.subspan(aliasData));
    if (aliasLength == 0) {
        return 0;
    }
    Put16(out.data() + aliasData - 2, aliasLength);
    size = aliasData + aliasLength;
    if (out.size() - size < kDnsPointerRecordHeaderSize + addressLength) {
        return 0;
    }
    // aliasData is below 300 (an uncompressed question), well inside a pointer's 14 bits.
    WriteRecordHeader(out.data() + size, kPointerBits | aliasData, question.type);
    Put16(out.data() + size + 10, addressLength);
    std::memcpy(out.data() + size + kDnsPointerRecordHeaderSize, address, addressLength);
    return size + kDnsPointerRecordHeaderSize + addressLength;
}

namespace {

// The remap target of each name met in one message, looked up once per run of records of the same
// name (an answer's records of one name usually stand together).
class TARGET_CACHE {
  public:
    explicit TARGET_CACHE(DNS_REMAP_TABLES& tables) : tables_(tables) {}
    ~TARGET_CACHE() { FreeRemapTarget(target_); }
    TARGET_CACHE(const TARGET_CACHE&) = delete;
    TARGET_CACHE& operator=(const TARGET_CACHE&) = delete;

    // The target of `name`, null when it is not remapped; valid until the next call.
    const char* TargetOf(const DNS_NAME& name) {
        if (!valid_ || name.textLength != name_.textLength ||
            !std::equal(name.text, name.text + name.textLength, name_.text,
                        [](char a, char b) { return LowerAscii(a) == LowerAscii(b); })) {
            FreeRemapTarget(target_);
            target_ = tables_.RemapLookup(name.text);
            std::memcpy(name_.text, name.text, name.textLength + 1);
            name_.textLength = name.textLength;
            valid_ = true;
        }
        return target_;
    }

  private:
    DNS_REMAP_TABLES& tables_;
    DNS_NAME name_;
    char* target_ = nullptr;
    bool valid_ = false;
};

}  // namespace

DnsRemapResult RemapDnsAnswer(std::span<const uint8_t> message, DNS_REMAP_TABLES& tables,
                              std::span<uint8_t> out, size_t* outLength) {
    if (out.size() < RemapOutputSize(message.size()) || message.size() < kDnsHeaderSize ||
        (message[2] & 0x80) == 0 || Get16(message, 4) != 1) {
        return DnsRemapResult::Unchanged;
    }
    // A question name with a dot inside a label is no remapped name, but the records it brings
    // (a CNAME chain to one) still count.
    DNS_QUESTION question;
    bool ambiguousQuestion = false;
    if (WalkDnsName(message, kDnsHeaderSize, &question.name, &ambiguousQuestion) !=
            DnsParseStatus::Ok ||
        message.size() - question.name.end < 4) {
        return DnsRemapResult::Unchanged;
    }
    question.type = Get16(message, question.name.end);
    question.questionClass = Get16(message, question.name.end + 2);
    question.end = question.name.end + 4;
    TARGET_CACHE targets(tables);

    // The answer for the remapped name itself is the alias answer.
    if ((question.type == kDnsTypeA || question.type == kDnsTypeAaaa) &&
        question.questionClass == kDnsClassIn && !ambiguousQuestion) {
        if (const char* target = targets.TargetOf(question.name);
            target != nullptr && IsEncodableTargetName(target)) {
            uint8_t address[16];
            const bool known = tables.RemapTargetAddress(
                target,
                question.type == kDnsTypeA ? os::AddressFamily::IPv4 : os::AddressFamily::IPv6,
                address);
            if (size_t length =
                    BuildRemappedAnswer(message, question, target, known ? address : nullptr, out);
                length != 0) {
                *outLength = length;
                return DnsRemapResult::Rewritten;
            }
        }
    }

    // Any other answer: the address records of remapped names, wherever they stand. The copy is
    // made at the first one, and patched record by record.
    const size_t records =
        static_cast<size_t>(Get16(message, 6)) + Get16(message, 8) + Get16(message, 10);
    bool copied = false;
    bool cut = false;
    size_t at = question.end;
    for (size_t i = 0; i < records; ++i) {
        DNS_NAME owner;
        bool ambiguous = false;
        if (WalkDnsName(message, at, &owner, &ambiguous) != DnsParseStatus::Ok ||
            message.size() - owner.end < 10) {
            cut = true;
            break;
        }
        at = owner.end;
        const uint16_t type = Get16(message, at);
        const uint16_t recordClass = Get16(message, at + 2);
        const size_t dataLength = Get16(message, at + 8);
        at += 10;
        if (message.size() - at < dataLength) {
            cut = true;
            break;
        }
        const size_t data = at;
        at += dataLength;
        // A name with a dot or NUL inside a label is not the remapped name as a client spells it.
        if ((type != kDnsTypeA && type != kDnsTypeAaaa) || recordClass != kDnsClassIn ||
            ambiguous) {
            continue;
        }
        const char* target = targets.TargetOf(owner);
        if (target == nullptr) {
            continue;
        }
        const bool v4 = type == kDnsTypeA;
        uint8_t address[16];
        if (dataLength != (v4 ? 4u : 16u) ||
            !tables.RemapTargetAddress(
                target, v4 ? os::AddressFamily::IPv4 : os::AddressFamily::IPv6, address)) {
            cut = true;
            break;
        }
        if (!copied) {
            std::memcpy(out.data(), message.data(), message.size());
            copied = true;
        }
        std::memcpy(out.data() + data, address, dataLength);
    }
    if (!cut) {
        if (!copied) {
            return DnsRemapResult::Unchanged;
        }
        *outLength = message.size();
        return DnsRemapResult::Rewritten;
    }
    // The records cannot all be rewritten or read: none of them goes. A question name that leans
    // on the header through a pointer could lean on the counts this clears.
    if (question.name.compressed) {
        return DnsRemapResult::Withheld;
    }
    std::memcpy(out.data(), message.data(), question.end);
    Put16(out.data() + 6, 0);
    Put16(out.data() + 8, 0);
    Put16(out.data() + 10, 0);
    *outLength = question.end;
    return DnsRemapResult::Rewritten;
}

// ---- DNS_ANSWER_REMAP ----

DNS_ANSWER_REMAP::DNS_ANSWER_REMAP(DNS_REMAP_TABLES& tables,
                                   const os::INJECTION_HANDLE& transportInjection,
                                   std::function<bool()> filterActive, ADDRESS_NAMES* names)
    : tables_(tables),
      injection_(transportInjection),
      filterActive_(std::move(filterActive)),
      names_(names) {}

void DNS_ANSWER_REMAP::LearnNames(os::NET_BUFFER_LIST& packet) {
    const size_t length = packet.DataLength();
    if (length < kDnsHeaderSize) {
        return;
    }
    std::unique_ptr<uint8_t, PacketCopyDeleter> copy;
    const uint8_t* message = os::NdisGetDataBuffer(packet, length, nullptr);
    if (message == nullptr) {
        copy.reset(static_cast<uint8_t*>(
            os::ExAllocatePoolWithTag(os::PoolType::NonPaged, length, kDnsPacketCopyTag)));
        if (!copy) {
            return;
        }
        message = os::NdisGetDataBuffer(packet, length, copy.get());
        if (message == nullptr) {
            return;
        }
    }
    names_->LearnFromAnswer({message, length});
}

void DNS_ANSWER_REMAP::InspectInboundDatagram(const os::FWPS_INCOMING_VALUES& values,
                                              const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                                              void* layerData, const os::FWPS_FILTER& filter,
                                              uint64_t, os::FWPS_CLASSIFY_OUT& classifyOut) {
    if ((classifyOut.rights & os::FWPS_RIGHT_ACTION_WRITE) == 0) {
        return;  // a filter before this one decided; the action is not ours to change
    }
    Permit(filter, classifyOut);
    auto* packet = static_cast<os::NET_BUFFER_LIST*>(layerData);
    if (!filterActive_ || !filterActive_() || !injection_ || packet == nullptr) {
        return;
    }
    os::FWPS_PACKET_INJECTION_STATE state = os::FwpsQueryPacketInjectionState(injection_, *packet);
    if (state == os::FWPS_PACKET_INJECTED_BY_SELF ||
        state == os::FWPS_PACKET_PREVIOUSLY_INJECTED_BY_SELF) {
        return;
    }
    if (values.direction != os::FWP_DIRECTION_INBOUND) {
        return;
    }
    // An answer says which names its addresses stand for: the answer the client gets, so that a
    // remapped name stands for its target, not for the addresses it was remapped away from. Only
    // the machine's own resolvers are believed: a resolver of the user's choosing could say that
    // any address stands for any name.
    ADDRESS_NAMES* learner = names_ != nullptr && values.remotePort == kDnsPort &&
                                     os::FwpsQueryPacketFromMachineResolver(*packet)
                                 ? names_
                                 : nullptr;
    os::AddressFamily family = os::AddressFamily::Unspecified;
    if (values.layerId == os::FWPS_LAYER_DATAGRAM_DATA_V4) {
        family = os::AddressFamily::IPv4;
    } else if (values.layerId == os::FWPS_LAYER_DATAGRAM_DATA_V6) {
        family = os::AddressFamily::IPv6;
    }
    if (!tables_.UnencryptedSearch() || family == os::AddressFamily::Unspecified) {
        if (learner != nullptr) {
            LearnNames(*packet);
        }
        return;
    }
    if (RewriteAndInject(*packet, values, metadata, family, learner)) {
        Absorb(classifyOut);
    }
}

bool DNS_ANSWER_REMAP::RewriteAndInject(os::NET_BUFFER_LIST& packet,
                                        const os::FWPS_INCOMING_VALUES& values,
                                        const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                                        os::AddressFamily family, ADDRESS_NAMES* learner) {
    const bool v4 = family == os::AddressFamily::IPv4;
    const size_t ipHeaderSize = metadata.ipHeaderSize;
    if (!os::FWPS_IS_METADATA_FIELD_PRESENT(metadata,
                                            os::FWPS_METADATA_FIELD_IP_HEADER_SIZE |
                                                os::FWPS_METADATA_FIELD_TRANSPORT_HEADER_SIZE) ||
        metadata.transportHeaderSize != os::kUdpHeaderSize ||
        ipHeaderSize < (v4 ? os::kIPv4HeaderSize : os::kIPv6HeaderSize) ||
        (v4 && ipHeaderSize > 60)) {
        if (learner != nullptr) {
            LearnNames(packet);  // it goes on as it came
        }
        return false;
    }
    const size_t headers = ipHeaderSize + os::kUdpHeaderSize;
    const size_t dnsLength = packet.DataLength();
    const size_t total = headers + dnsLength;

    // The whole IP packet, in one piece.
    RetreatedDataStart retreat(packet, headers);
    if (!retreat.Retreated()) {
        return false;
    }
    std::unique_ptr<uint8_t, PacketCopyDeleter> copy;
    const uint8_t* whole = os::NdisGetDataBuffer(packet, total, nullptr);
    if (whole == nullptr) {
        copy.reset(static_cast<uint8_t*>(
            os::ExAllocatePoolWithTag(os::PoolType::NonPaged, total, kDnsPacketCopyTag)));
        if (!copy) {
            return false;
        }
        whole = os::NdisGetDataBuffer(packet, total, copy.get());
        if (whole == nullptr) {
            return false;
        }
    }
    std::span<const uint8_t> message(whole + headers, dnsLength);

    // Room for the answer delivered instead: on the stack unless it is rewritten in place and
    // longer than any alias answer.
    std::array<uint8_t, kMaxRemappedAnswerSize> small;
    std::unique_ptr<uint8_t, PacketCopyDeleter> large;
    std::span<uint8_t> answer(small);
    if (RemapOutputSize(dnsLength) > small.size()) {
        large.reset(static_cast<uint8_t*>(os::ExAllocatePoolWithTag(
            os::PoolType::NonPaged, RemapOutputSize(dnsLength), kDnsPacketCopyTag)));
        if (!large) {
            return false;
        }
        answer = std::span<uint8_t>(large.get(), RemapOutputSize(dnsLength));
    }
    size_t answerLength = 0;
    switch (RemapDnsAnswer(message, tables_, answer, &answerLength)) {
        case DnsRemapResult::Unchanged:
            if (learner != nullptr) {
                learner->LearnFromAnswer(message);
            }
            return false;
        case DnsRemapResult::Withheld:
            return true;
        case DnsRemapResult::Rewritten:
            break;
    }
    const bool injected = InjectRewritten(packet, {whole, total}, headers,
                                          answer.first(answerLength), values, metadata, family);
    if (learner != nullptr) {
        // What failed to go in its place leaves the answer as it came.
        learner->LearnFromAnswer(injected ? std::span<const uint8_t>(answer.first(answerLength))
                                          : message);
    }
    return injected;
}

bool DNS_ANSWER_REMAP::InjectRewritten(os::NET_BUFFER_LIST& packet,
                                       std::span<const uint8_t> incoming, size_t headers,
                                       std::span<const uint8_t> answer,
                                       const os::FWPS_INCOMING_VALUES& values,
                                       const os::FWPS_INCOMING_METADATA_VALUES& metadata,
                                       os::AddressFamily family) {
    const bool v4 = family == os::AddressFamily::IPv4;
    const size_t ipHeaderSize = metadata.ipHeaderSize;
    const size_t total = incoming.size();
    const uint8_t* whole = incoming.data();
    const size_t answerLength = answer.size();
    // The clone takes the incoming headers and the new message, sized by moving its data start.
    os::NetBufferListPtr clone;
    if (!os::NT_SUCCESS(os::FwpsAllocateCloneNetBufferList(packet, clone))) {
        return false;
    }
    const size_t newLength = headers + answerLength;
    if (newLength > total) {
        if (!os::NT_SUCCESS(os::NdisRetreatNetBufferDataStart(*clone, newLength - total))) {
            return false;
        }
    } else {
        os::NdisAdvanceNetBufferDataStart(*clone, total - newLength);
    }
    uint8_t* out = clone->Data().data();
    std::memcpy(out, whole, headers);
    Put16(out + ipHeaderSize + 4, os::kUdpHeaderSize + answerLength);
    std::memcpy(out + headers, answer.data(), answerLength);
    os::NdisAdvanceNetBufferDataStart(*clone, ipHeaderSize);

    // From the server to the client, as the answer came.
    os::IP_ADDRESS_BYTES source;
    os::IP_ADDRESS_BYTES destination;
    if (v4) {
        source = os::MakeIPv4Address(values.remoteAddressV4);
        destination = os::MakeIPv4Address(values.localAddressV4);
    } else {
        source = os::MakeIPv6Address(values.remoteAddressV6);
        destination = os::MakeIPv6Address(values.localAddressV6);
    }
    if (!os::NT_SUCCESS(os::FwpsConstructIpHeaderForTransportPacket(
            *clone, static_cast<uint32_t>(ipHeaderSize), family, source.View(), destination.View(),
            os::IPPROTO_UDP_VALUE))) {
        return false;
    }
    uint32_t compartment =
        os::FWPS_IS_METADATA_FIELD_PRESENT(metadata, os::FWPS_METADATA_FIELD_COMPARTMENT_ID)
            ? metadata.compartmentId
            : 0;
    // On failure the clone stays here and goes with it; on success the completion gets it back
    // and lets it go.
    os::NTSTATUS status = os::FwpsInjectTransportReceiveAsync(
        injection_, nullptr, family, compartment, values.interfaceIndex, values.subInterfaceIndex,
        std::move(clone), [](os::NetBufferListChain, os::NTSTATUS) {});
    return os::NT_SUCCESS(status);
}

}  // namespace wexo::drv
