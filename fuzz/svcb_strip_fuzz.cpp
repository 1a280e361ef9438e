// Removal of "ech" parameters from arbitrary DNS messages: the result, when there is one, is
// shorter, has nothing left to remove, keeps the header, and reads record by record as the input
// did: the same owner names (compression pointers followed), types and classes, and no "ech"
// parameter in any HTTPS or SVCB record. The input is the message itself.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "os/wfp/linux/svcb_strip.h"

namespace {

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

uint16_t Get16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// The name at `at` spelled out (pointers followed, at most 256 of them); *end is past its bytes.
bool ReadName(std::span<const uint8_t> m, size_t at, std::string* name, size_t* end) {
    name->clear();
    bool jumped = false;
    for (int hops = 0; hops <= 256;) {
        if (at >= m.size()) {
            return false;
        }
        const uint8_t length = m[at];
        if (length >= 0xC0) {
            if (at + 1 >= m.size()) {
                return false;
            }
            if (!jumped) {
                *end = at + 2;
            }
            jumped = true;
            at = Get16(m, at) & 0x3FFFu;
            ++hops;
            continue;
        }
        if (length > 63 || at + 1 + length > m.size()) {
            return false;
        }
        if (length == 0) {
            if (!jumped) {
                *end = at + 1;
            }
            return true;
        }
        name->append(reinterpret_cast<const char*>(m.data() + at + 1), length);
        name->push_back('.');
        at += 1u + length;
    }
    return false;
}

struct RECORD {
    std::string name;
    uint16_t type = 0;
    uint16_t klass = 0;
    bool ech = false;
};

// The records of the message, or nullopt when this reader cannot walk it.
std::optional<std::vector<RECORD>> ReadRecords(std::span<const uint8_t> m) {
    if (m.size() < 12) {
        return std::nullopt;
    }
    size_t at = 12;
    std::string name;
    for (size_t i = 0, n = Get16(m, 4); i < n; ++i) {
        if (!ReadName(m, at, &name, &at) || at + 4 > m.size()) {
            return std::nullopt;
        }
        at += 4;
    }
    std::vector<RECORD> records;
    for (size_t i = 0, n = size_t{Get16(m, 6)} + Get16(m, 8) + Get16(m, 10); i < n; ++i) {
        RECORD r;
        if (!ReadName(m, at, &r.name, &at) || at + 10 > m.size()) {
            return std::nullopt;
        }
        r.type = Get16(m, at);
        r.klass = Get16(m, at + 2);
        const size_t end = at + 10 + Get16(m, at + 8);
        if (end > m.size()) {
            return std::nullopt;
        }
        if (r.type == os::wfplinux::kDnsTypeSvcb || r.type == os::wfplinux::kDnsTypeHttps) {
            size_t p = at + 12;
            std::string target;
            if (p > end || !ReadName(m, p, &target, &p)) {
                return std::nullopt;
            }
            while (p + 4 <= end) {
                r.ech = r.ech || Get16(m, p) == os::wfplinux::kSvcParamEch;
                p += 4u + Get16(m, p + 2);
            }
        }
        records.push_back(r);
        at = end;
    }
    return records;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65535) {
        return 0;
    }
    std::span<const uint8_t> in(data, size);
    std::optional<std::vector<uint8_t>> out = os::wfplinux::StripEchParams(in);
    if (!out) {
        return 0;
    }
    FUZZ_CHECK(out->size() < size && size >= 12);
    FUZZ_CHECK(std::vector<uint8_t>(in.begin(), in.begin() + 12) ==
               std::vector<uint8_t>(out->begin(), out->begin() + 12));
    FUZZ_CHECK(!os::wfplinux::StripEchParams(*out));
    std::optional<std::vector<RECORD>> before = ReadRecords(in);
    std::optional<std::vector<RECORD>> after = ReadRecords(*out);
    FUZZ_CHECK(before && after && before->size() == after->size());
    bool removedSome = false;
    for (size_t i = 0; i < before->size(); ++i) {
        const RECORD& b = (*before)[i];
        const RECORD& a = (*after)[i];
        FUZZ_CHECK(a.name == b.name && a.type == b.type && a.klass == b.klass && !a.ech);
        removedSome = removedSome || b.ech;
    }
    FUZZ_CHECK(removedSome);
    return 0;
}
