// DNS answers with HTTPS and SVCB records, written byte by byte for the ECH-stripping tests, and a
// small reader of DNS messages of the tests' own (it shares nothing with the forwarder's code).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace wexo::test::svcb {

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void Put16(Bytes& out, size_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// A name in labels, uncompressed ("" is the root).
inline Bytes Name(const std::string& dotted) {
    Bytes out;
    size_t from = 0;
    while (from < dotted.size()) {
        size_t dot = dotted.find('.', from);
        if (dot == std::string::npos)
            dot = dotted.size();
        out.push_back(static_cast<uint8_t>(dot - from));
        out.insert(out.end(), dotted.begin() + static_cast<long>(from),
                   dotted.begin() + static_cast<long>(dot));
        from = dot + 1;
    }
    out.push_back(0);
    return out;
}

inline Bytes Pointer(size_t offset) {
    return {static_cast<uint8_t>(0xC0 | offset >> 8), static_cast<uint8_t>(offset)};
}

inline Bytes Param(uint16_t key, const Bytes& value) {
    Bytes out;
    Put16(out, key);
    Put16(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

inline const Bytes kAlpnH2H3 = {2, 'h', '2', 2, 'h', '3'};
inline const Bytes kEchConfig = {0x00, 0x41, 0xfe, 0x0d, 0x00, 0x3d, 0x2a, 0x00, 0x20, 0x00,
                                 0x20, 0x5e, 0x11, 0x42, 0x9c, 0x7a, 0x01, 0x02, 0x03, 0x04};
inline const Bytes kIpv4Hint = {192, 0, 2, 1, 192, 0, 2, 2};

// A message under construction: sections are appended in order and offsets remembered.
struct MESSAGE {
    Bytes bytes;
    size_t counts[4] = {0, 0, 0, 0};

    explicit MESSAGE(uint16_t id = 0xABCD, uint16_t flags = 0x8180) {
        Put16(bytes, id);
        Put16(bytes, flags);
        bytes.resize(12, 0);
    }
    size_t Here() const { return bytes.size(); }
    void Question(const Bytes& name, uint16_t type) {
        Append(name);
        Put16(bytes, type);
        Put16(bytes, 1);
        Count(0);
    }
    // A record of section 1 (answer), 2 (authority) or 3 (additional); the offset of its RDATA.
    size_t Record(int section, const Bytes& name, uint16_t type, const Bytes& data,
                  uint16_t klass = 1) {
        Append(name);
        Put16(bytes, type);
        Put16(bytes, klass);
        Append({0, 0, 0x0e, 0x10});  // TTL 3600
        Put16(bytes, data.size());
        const size_t at = Here();
        Append(data);
        Count(section);
        return at;
    }
    void Append(const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }
    void Count(int section) {
        ++counts[section];
        bytes[4 + 2 * section] = static_cast<uint8_t>(counts[section] >> 8);
        bytes[5 + 2 * section] = static_cast<uint8_t>(counts[section]);
    }
};

inline Bytes ServiceBinding(uint16_t priority, const Bytes& target, const Bytes& params) {
    Bytes out;
    Put16(out, priority);
    out.insert(out.end(), target.begin(), target.end());
    out.insert(out.end(), params.begin(), params.end());
    return out;
}

// The tests' own reading of a message: names spelled out, service-binding data split into
// target and parameters, CNAME/NS/PTR/MX names spelled out, other data as bytes.
struct PARAM {
    uint16_t key = 0;
    Bytes value;
    bool operator==(const PARAM&) const = default;
};
struct RECORD {
    std::string name;
    uint16_t type = 0;
    uint16_t klass = 0;
    uint32_t ttl = 0;
    uint16_t priority = 0;
    std::string target;  // SVCB/HTTPS target, or the name of CNAME, NS, PTR and MX
    std::vector<PARAM> params;
    Bytes data;  // anything else, and MX's preference
    bool operator==(const RECORD&) const = default;
};
struct READ_MESSAGE {
    Bytes header;  // the 12 bytes
    std::vector<std::string> questions;
    std::vector<RECORD> records;
    bool operator==(const READ_MESSAGE&) const = default;
};

class READER {
  public:
    explicit READER(const Bytes& bytes) : b_(bytes) {}

    std::optional<READ_MESSAGE> Read() {
        if (b_.size() < 12)
            return std::nullopt;
        READ_MESSAGE m;
        m.header.assign(b_.begin(), b_.begin() + 12);
        size_t at = 12;
        for (size_t i = 0, n = U16(4); i < n; ++i) {
            std::string name;
            if (!NameAt(at, &name, &at) || at + 4 > b_.size())
                return std::nullopt;
            m.questions.push_back(name + "/" + std::to_string(U16(at)));
            at += 4;
        }
        const size_t records = size_t{U16(6)} + U16(8) + U16(10);
        for (size_t i = 0; i < records; ++i) {
            RECORD r;
            if (!NameAt(at, &r.name, &at) || at + 10 > b_.size())
                return std::nullopt;
            r.type = U16(at);
            r.klass = U16(at + 2);
            r.ttl = static_cast<uint32_t>(U16(at + 4)) << 16 | U16(at + 6);
            const size_t length = U16(at + 8);
            at += 10;
            const size_t end = at + length;
            if (end > b_.size())
                return std::nullopt;
            if (r.type == 64 || r.type == 65) {
                if (length < 3)
                    return std::nullopt;
                r.priority = U16(at);
                size_t p = at + 2;
                if (!NameAt(p, &r.target, &p))
                    return std::nullopt;
                while (p < end) {
                    if (p + 4 > end || p + 4 + U16(p + 2) > end)
                        return std::nullopt;
                    PARAM param;
                    param.key = U16(p);
                    param.value.assign(b_.begin() + static_cast<long>(p + 4),
                                       b_.begin() + static_cast<long>(p + 4 + U16(p + 2)));
                    r.params.push_back(param);
                    p += 4 + param.value.size();
                }
                if (p != end)
                    return std::nullopt;
            } else if (r.type == 2 || r.type == 5 || r.type == 12 || r.type == 15) {
                size_t p = at;
                if (r.type == 15) {
                    if (length < 2)
                        return std::nullopt;
                    r.data.assign(b_.begin() + static_cast<long>(at),
                                  b_.begin() + static_cast<long>(at + 2));
                    p += 2;
                }
                if (!NameAt(p, &r.target, &p) || p != end)
                    return std::nullopt;
            } else {
                r.data.assign(b_.begin() + static_cast<long>(at),
                              b_.begin() + static_cast<long>(end));
            }
            m.records.push_back(r);
            at = end;
        }
        return m;
    }

  private:
    uint16_t U16(size_t at) const { return static_cast<uint16_t>(b_[at] << 8 | b_[at + 1]); }

    // Follows pointers (at most 64) to spell the name; *end is past its own bytes.
    bool NameAt(size_t at, std::string* name, size_t* end) const {
        name->clear();
        bool jumped = false;
        for (int hops = 0; hops < 64;) {
            if (at >= b_.size())
                return false;
            const uint8_t length = b_[at];
            if (length >= 0xC0) {
                if (at + 1 >= b_.size())
                    return false;
                if (!jumped)
                    *end = at + 2;
                jumped = true;
                at = static_cast<size_t>(U16(at) & 0x3FFF);
                ++hops;
                continue;
            }
            if (length > 63)
                return false;
            if (length == 0) {
                if (!jumped)
                    *end = at + 1;
                if (name->empty())
                    *name = ".";
                return name->size() <= 254;
            }
            if (at + 1 + length > b_.size())
                return false;
            name->append(reinterpret_cast<const char*>(&b_[at + 1]), length);
            name->push_back('.');
            at += 1 + length;
        }
        return false;
    }

    const Bytes& b_;
};

inline std::optional<READ_MESSAGE> ReadMessage(const Bytes& bytes) {
    return READER(bytes).Read();
}

// The same reading with every "ech" parameter gone and "mandatory" lists no longer naming it (a
// list left empty goes too): what a stripped message must read as.
inline READ_MESSAGE WithoutEch(READ_MESSAGE m) {
    for (RECORD& r : m.records) {
        bool hadEch = false;
        std::vector<PARAM> kept;
        for (const PARAM& p : r.params)
            if (p.key == 5)
                hadEch = true;
        for (PARAM p : r.params) {
            if (p.key == 5)
                continue;
            if (p.key == 0 && hadEch) {
                Bytes keys;
                for (size_t i = 0; i + 1 < p.value.size(); i += 2)
                    if (!(p.value[i] == 0 && p.value[i + 1] == 5))
                        keys.insert(keys.end(), {p.value[i], p.value[i + 1]});
                if (keys.empty())
                    continue;
                p.value = keys;
            }
            kept.push_back(p);
        }
        r.params = kept;
    }
    return m;
}

// A compressed HTTPS answer for "example.test": two HTTPS records (the first with alpn, ipv4hint
// and ech, the second with a mandatory list naming alpn and ech, alpn, port and ech), an A
// record whose owner points into the second record's target (past the first removed bytes), and
// in the additional section an A record pointing at that owner and an EDNS record.
inline Bytes HttpsAnswer(uint16_t type = 65) {
    MESSAGE m;
    const size_t question = m.Here();
    m.Question(Name("example.test"), type);
    m.Record(1, Pointer(question), type,
             ServiceBinding(1, Name(""),
                            Param(1, kAlpnH2H3) + Param(4, kIpv4Hint) + Param(5, kEchConfig)));
    const size_t second =
        m.Record(1, Pointer(question), type,
                 ServiceBinding(2, Name("svc.example.test"),
                                Param(0, {0, 1, 0, 5}) + Param(1, kAlpnH2H3) +
                                    Param(3, {0x01, 0xbb}) + Param(5, kEchConfig)));
    const size_t target = second + 2;  // the second record's TargetName
    const size_t third = m.Here();
    m.Record(1, Bytes{3, 'w', 'w', 'w'} + Pointer(target), 1, {192, 0, 2, 3});
    m.Record(3, Pointer(third), 1, {192, 0, 2, 4});
    m.Record(3, Name(""), 41, {}, 1232);
    return m.bytes;
}

}  // namespace wexo::test::svcb
