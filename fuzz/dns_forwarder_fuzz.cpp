// The DNS forwarder's refusals on arbitrary bytes: the check of a client's query, the check of a
// resolver's answer against the queries forwarded, and the resolvers it must never send to.
//
// Checked: each verdict agrees with a reader of this file's own (labels, pointers, records, the
// extra records a query may carry, the exact end); a query that passes is no longer one with a
// byte more or less, and the canary answer and an empty answer built from it pass as its answers;
// an answer that passes can be walked whole by the driver's rewriting, which then changes exactly
// the address records of the names it remaps and never cuts the answer short; a resolver on the
// forwarder's own port, or on an unspecified, IPv4-mapped or (unless allowed) loopback address, is
// always refused, and allowing loopback refuses nothing more.
//
// Input: byte 0 flags (bit 0 the answer's ID differs from the asked one, bit 1 the asked name in
// other letter case, bit 2 an IPv6 resolver, bit 3 resolvers on loopback allowed), the rest the
// message; its first 20 bytes also make the resolver's address and port and the forwarder's port.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/platform/dns_answer_remap.h"
#include "os/wfp/linux/dns_forwarder.h"

namespace {

using os::wfplinux::DNS_ASKED;
using os::wfplinux::DNS_CHECK;

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

uint16_t Get16(std::span<const uint8_t> m, size_t at) {
    return static_cast<uint16_t>(m[at] << 8 | m[at + 1]);
}

// A name as this reader sees it: the offset past it, whether its labels read as the driver reads
// them (no dot or NUL inside a label).
struct NAME {
    size_t end = 0;
    bool plain = true;
};

// The name at `at`, continued by at most one pointer per run; a pointer must lead into the message
// past its header and before the first byte of the run it continues. `wire` counts label bytes,
// length bytes and the zero byte of the whole name.
bool ReadRun(std::span<const uint8_t> m, size_t at, size_t limit, bool pointers, size_t* wire,
             NAME* name, bool outermost) {
    const size_t runStart = at;
    while (at < m.size()) {
        const uint8_t length = m[at];
        if (length >= 0xC0) {
            if (!pointers || at + 1 >= m.size()) {
                return false;
            }
            const size_t target = Get16(m, at) & 0x3FFF;
            if (target < 12 || target >= runStart || target >= limit) {
                return false;
            }
            if (outermost) {
                name->end = at + 2;
            }
            return ReadRun(m, target, runStart, pointers, wire, name, false);
        }
        if (length > 63) {
            return false;
        }
        *wire += 1u + length;
        if (*wire > 255) {
            return false;
        }
        if (length == 0) {
            if (outermost) {
                name->end = at + 1;
            }
            return true;
        }
        if (at + 1 + length > m.size()) {
            return false;
        }
        for (size_t i = 1; i <= length; ++i) {
            name->plain = name->plain && m[at + i] != '.' && m[at + i] != 0;
        }
        at += 1u + length;
    }
    return false;
}

std::optional<NAME> ReadName(std::span<const uint8_t> m, size_t at, bool pointers) {
    NAME name;
    size_t wire = 0;
    if (!ReadRun(m, at, m.size(), pointers, &wire, &name, true)) {
        return std::nullopt;
    }
    return name;
}

struct RECORD {
    size_t owner = 0;
    bool plainOwner = true;
    uint16_t type = 0;
    uint16_t klass = 0;
    size_t data = 0;
    size_t dataLength = 0;
};

// The question's end and the records after it, nullopt when this reader cannot walk them all.
struct WALK {
    size_t questionEnd = 0;
    std::vector<RECORD> records;
    size_t end = 0;
};

std::optional<size_t> QuestionEnd(std::span<const uint8_t> m) {
    if (m.size() < 12) {
        return std::nullopt;
    }
    std::optional<NAME> name = ReadName(m, 12, false);
    if (!name || m.size() - name->end < 4) {
        return std::nullopt;
    }
    return name->end + 4;
}

std::optional<WALK> Walk(std::span<const uint8_t> m, size_t count) {
    std::optional<size_t> question = QuestionEnd(m);
    if (!question) {
        return std::nullopt;
    }
    WALK walk;
    walk.questionEnd = *question;
    size_t at = *question;
    for (size_t i = 0; i < count; ++i) {
        std::optional<NAME> name = ReadName(m, at, true);
        if (!name || m.size() - name->end < 10) {
            return std::nullopt;
        }
        RECORD record;
        record.owner = at;
        record.plainOwner = name->plain;
        record.type = Get16(m, name->end);
        record.klass = Get16(m, name->end + 2);
        record.dataLength = Get16(m, name->end + 8);
        record.data = name->end + 10;
        if (m.size() - record.data < record.dataLength) {
            return std::nullopt;
        }
        at = record.data + record.dataLength;
        walk.records.push_back(record);
    }
    walk.end = at;
    return walk;
}

bool QueryPasses(std::span<const uint8_t> m) {
    if (m.size() < 12) {
        return false;
    }
    const uint16_t flags = Get16(m, 2);
    const bool response = (flags & 0x8000) != 0;
    const unsigned opcode = (flags >> 11) & 0xF;
    const bool truncated = (flags & 0x0200) != 0;
    if (response || opcode != 0 || truncated || (flags & 0xF) != 0 || Get16(m, 4) != 1 ||
        Get16(m, 6) != 0 || Get16(m, 8) != 0 || Get16(m, 10) > 2) {
        return false;
    }
    std::optional<WALK> walk = Walk(m, Get16(m, 10));
    if (!walk || walk->end != m.size()) {
        return false;
    }
    int edns = 0;
    for (const RECORD& record : walk->records) {
        if (record.type == 41) {
            edns += m[record.owner] == 0 ? 1 : 2;
        } else if (record.type != 250 && record.type != 24) {
            return false;
        }
    }
    return edns <= 1;
}

bool SameQuestion(std::span<const uint8_t> a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        uint8_t x = a[i];
        uint8_t y = static_cast<uint8_t>(b[i]);
        if (i + 4 < a.size()) {
            x = static_cast<uint8_t>(x >= 'A' && x <= 'Z' ? x + 32 : x);
            y = static_cast<uint8_t>(y >= 'A' && y <= 'Z' ? y + 32 : y);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

// The verdict on an answer against `asked`: Ok or not, as this reader sees it.
bool AnswerPasses(std::span<const uint8_t> m, const std::vector<DNS_ASKED>& asked) {
    if (m.size() < 12 || (Get16(m, 2) & 0x8000) == 0 || ((Get16(m, 2) >> 11) & 0xF) != 0 ||
        Get16(m, 4) != 1) {
        return false;
    }
    const size_t count = static_cast<size_t>(Get16(m, 6)) + Get16(m, 8) + Get16(m, 10);
    std::optional<WALK> walk = Walk(m, count);
    if (!walk || walk->end != m.size()) {
        return false;
    }
    const std::span<const uint8_t> question = m.subspan(12, walk->questionEnd - 12);
    for (const DNS_ASKED& a : asked) {
        if (a.id == Get16(m, 0) && SameQuestion(question, a.question)) {
            return true;
        }
    }
    return false;
}

// Every name remapped, to a target whose addresses are known.
class EVERY_NAME : public wexo::drv::DNS_REMAP_TABLES {
  public:
    bool UnencryptedSearch() const override { return true; }
    char* RemapLookup(const char*) override {
        static const char kTarget[] = "safe.example";
        auto* copy = static_cast<char*>(os::ExAllocatePoolWithTag(
            os::PoolType::NonPaged, sizeof kTarget, wexo::drv::kRemapTargetTag));
        if (copy != nullptr) {
            std::memcpy(copy, kTarget, sizeof kTarget);
        }
        return copy;
    }
    bool RemapTargetAddress(const char*, os::AddressFamily family, uint8_t* address) override {
        std::memset(address, 0x5A, family == os::AddressFamily::IPv4 ? 4 : 16);
        return true;
    }
};

// What the forwarder relays, the driver walks whole: it rewrites exactly the address records of
// class IN whose owner it can read, and never cuts the answer for want of reading it.
void CheckDriverReads(std::span<const uint8_t> m) {
    std::optional<WALK> walk =
        Walk(m, static_cast<size_t>(Get16(m, 6)) + Get16(m, 8) + Get16(m, 10));
    FUZZ_CHECK(walk);
    std::optional<size_t> question = QuestionEnd(m);
    const uint16_t type = Get16(m, *question - 4);
    const uint16_t klass = Get16(m, *question - 2);
    EVERY_NAME tables;
    std::vector<uint8_t> out(wexo::drv::RemapOutputSize(m.size()));
    size_t length = 0;
    const wexo::drv::DnsRemapResult result = wexo::drv::RemapDnsAnswer(m, tables, out, &length);
    FUZZ_CHECK(os::PoolOutstanding(wexo::drv::kRemapTargetTag) == 0);
    wexo::drv::DNS_NAME name;
    const bool questionRead = wexo::drv::ReadDnsName(m, 12, &name) == wexo::drv::DnsParseStatus::Ok;
    if ((type == 1 || type == 28) && klass == 1 && questionRead) {
        // The alias answer for the remapped question itself.
        FUZZ_CHECK(result == wexo::drv::DnsRemapResult::Rewritten);
        FUZZ_CHECK(length >= *question && std::memcmp(out.data(), m.data(), 6) == 0);
        return;
    }
    bool wrongSize = false;
    std::vector<uint8_t> expected(m.begin(), m.end());
    for (const RECORD& record : walk->records) {
        if ((record.type != 1 && record.type != 28) || record.klass != 1 || !record.plainOwner) {
            continue;
        }
        if (record.dataLength != (record.type == 1 ? 4u : 16u)) {
            wrongSize = true;
        }
        std::memset(expected.data() + record.data, 0x5A, record.dataLength);
    }
    if (wrongSize) {
        FUZZ_CHECK(result == wexo::drv::DnsRemapResult::Rewritten && length == *question);
        return;
    }
    if (expected == std::vector<uint8_t>(m.begin(), m.end()) &&
        result == wexo::drv::DnsRemapResult::Unchanged) {
        return;
    }
    FUZZ_CHECK(result == wexo::drv::DnsRemapResult::Rewritten && length == m.size());
    FUZZ_CHECK(std::memcmp(out.data(), expected.data(), m.size()) == 0);
}

void CheckQuery(std::span<const uint8_t> m) {
    DNS_ASKED asked;
    const DNS_CHECK check = os::wfplinux::CheckDnsQuery(m, &asked);
    FUZZ_CHECK((check == DNS_CHECK::Ok) == QueryPasses(m));
    FUZZ_CHECK(os::wfplinux::DnsCheckText(check)[0] != '\0');
    if (check != DNS_CHECK::Ok) {
        return;
    }
    const size_t question = *QuestionEnd(m);
    FUZZ_CHECK(asked.id == Get16(m, 0));
    FUZZ_CHECK(asked.question == std::string(m.begin() + 12, m.begin() + question));
    std::vector<uint8_t> longer(m.begin(), m.end());
    longer.push_back(0);
    FUZZ_CHECK(os::wfplinux::CheckDnsQuery(longer, nullptr) != DNS_CHECK::Ok);
    FUZZ_CHECK(os::wfplinux::CheckDnsQuery(m.first(m.size() - 1), nullptr) != DNS_CHECK::Ok);
    // The answers built from it are answers to it.
    const std::vector<DNS_ASKED> one = {asked};
    size_t matched = 1;
    if (std::optional<std::vector<uint8_t>> canary = os::wfplinux::DohCanaryAnswer(m)) {
        FUZZ_CHECK(os::wfplinux::CheckDnsAnswer(*canary, one, &matched) == DNS_CHECK::Ok);
        FUZZ_CHECK(matched == 0);
    }
    std::vector<uint8_t> empty(m.begin(), m.begin() + static_cast<long>(question));
    empty[2] |= 0x80;
    std::memset(empty.data() + 6, 0, 6);
    FUZZ_CHECK(os::wfplinux::CheckDnsAnswer(empty, one, nullptr) == DNS_CHECK::Ok);
}

void CheckAnswer(std::span<const uint8_t> m, uint8_t flags) {
    // Asked: the message's own question (in other letter case, or under another ID, as the flags
    // say) after a query that is not it.
    std::vector<DNS_ASKED> asked(1);
    asked[0].id = 0x0102;
    asked[0].question = std::string("\x01x\x00\x00\x01\x00\x01", 7);
    if (std::optional<size_t> question = QuestionEnd(m)) {
        DNS_ASKED own;
        own.id = static_cast<uint16_t>(Get16(m, 0) ^ (flags & 1));
        own.question.assign(m.begin() + 12, m.begin() + static_cast<long>(*question));
        if ((flags & 2) != 0) {
            for (size_t i = 0; i + 4 < own.question.size(); ++i) {
                const char c = own.question[i];
                own.question[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
            }
        }
        asked.push_back(own);
    }
    size_t matched = 99;
    const DNS_CHECK check = os::wfplinux::CheckDnsAnswer(m, asked, &matched);
    FUZZ_CHECK((check == DNS_CHECK::Ok) == AnswerPasses(m, asked));
    if (check != DNS_CHECK::Ok) {
        return;
    }
    FUZZ_CHECK(matched < asked.size());
    CheckDriverReads(m);
}

void CheckResolver(std::span<const uint8_t> m, uint8_t flags) {
    if (m.size() < 20) {
        return;
    }
    const bool v6 = (flags & 4) != 0;
    const bool loopbackAllowed = (flags & 8) != 0;
    sockaddr_storage resolver{};
    uint16_t port = Get16(m, 0);
    const uint16_t own = Get16(m, 2);
    bool loopback;
    bool never;  // refused whatever is allowed
    if (v6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(resolver);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        std::memcpy(&a.sin6_addr, m.data() + 4, 16);
        loopback = IN6_IS_ADDR_LOOPBACK(&a.sin6_addr);
        never = IN6_IS_ADDR_UNSPECIFIED(&a.sin6_addr) || IN6_IS_ADDR_V4MAPPED(&a.sin6_addr);
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(resolver);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        std::memcpy(&a.sin_addr, m.data() + 4, 4);
        loopback = m[4] == 127;
        never = m[4] == 0;
    }
    never = never || port == 0 || port == own;
    const bool refused = os::wfplinux::IsForbiddenResolver(resolver, own, loopbackAllowed);
    FUZZ_CHECK(refused == (never || (loopback && !loopbackAllowed)));
    FUZZ_CHECK(!refused || !loopbackAllowed ||
               os::wfplinux::IsForbiddenResolver(resolver, own, false));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 1 + 4096) {
        return 0;
    }
    const uint8_t flags = data[0];
    const std::span<const uint8_t> message(data + 1, size - 1);
    CheckQuery(message);
    CheckAnswer(message, flags);
    CheckResolver(message, flags);
    return 0;
}
