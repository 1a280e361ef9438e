#include "os/wfp/linux/svcb_strip.h"

#include <algorithm>
#include <cstddef>

namespace os::wfplinux {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kRecordFixedSize = 10;  // type, class, TTL, RDLENGTH
constexpr size_t kMaxNameWire = 255;
// Labels and pointers taken for one name; a sound name has at most 128 labels, so more steps
// than this mean a pointer loop.
constexpr int kMaxNameSteps = 256;

constexpr uint16_t kTypeSig = 24;
constexpr uint16_t kTypeTsig = 250;

uint16_t Read16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// A range of the message that goes: one parameter, or one key of a "mandatory" list.
struct CUT {
    size_t start = 0;
    size_t end = 0;
};

// A two-byte length field to shorten by `less`: an RDLENGTH, or a "mandatory" parameter's length.
struct LENGTH_FIX {
    size_t at = 0;
    size_t less = 0;
};

class WALK {
  public:
    explicit WALK(std::span<const uint8_t> message)
        : message_(message), pointerAt_(message.size(), 0), nameStart_(message.size(), 0) {}

    bool Run();
    std::optional<std::vector<uint8_t>> Rewrite();

  private:
    bool ReadName(size_t at, size_t limit, size_t* end);
    bool ReadRecordData(uint16_t type, size_t at, size_t end);
    bool ReadServiceBinding(size_t rdlengthAt, size_t at, size_t end);
    size_t CutAfter(size_t offset) const;
    size_t RemovedBefore(size_t offset) const;
    bool InCut(size_t offset) const;

    std::span<const uint8_t> message_;
    // 1 where a compression pointer starts: each is re-aimed once, however many names use it.
    std::vector<uint8_t> pointerAt_;
    // 1 where a label, the final zero or a pointer of a name read in place starts: where a
    // pointer may lead.
    std::vector<uint8_t> nameStart_;
    std::vector<CUT> cuts_;  // in message order, never overlapping
    // Bytes removed by the first i cuts, for i up to their number (filled once the walk is done).
    std::vector<size_t> removedBefore_;
    std::vector<LENGTH_FIX> fixes_;
};

// The name at `at`, whose own bytes must lie before `limit`; *end is set just past them. Every
// pointer met, in the name itself or where it leads, is marked.
bool WALK::ReadName(size_t at, size_t limit, size_t* end) {
    size_t position = at;
    size_t bound = limit;
    size_t wire = 0;
    bool jumped = false;
    for (int step = 0; step < kMaxNameSteps; ++step) {
        if (position >= bound) {
            return false;
        }
        const uint8_t length = message_[position];
        if ((length & 0xC0) == 0xC0) {
            if (bound - position < 2) {
                return false;
            }
            const size_t target = static_cast<size_t>(Read16(message_, position) & 0x3FFF);
            if (target >= message_.size()) {
                return false;
            }
            pointerAt_[position] = 1;
            if (!jumped) {
                nameStart_[position] = 1;
                *end = position + 2;
                jumped = true;
            }
            // Where a pointer leads may lie anywhere in the message, before or after it.
            position = target;
            bound = message_.size();
            continue;
        }
        if ((length & 0xC0) != 0) {
            return false;  // the extended label types never caught on; nobody sends them
        }
        wire += length + 1u;
        if (wire > kMaxNameWire) {
            return false;
        }
        if (length == 0) {
            if (!jumped) {
                nameStart_[position] = 1;
                *end = position + 1;
            }
            return true;
        }
        if (bound - position - 1 < length) {
            return false;
        }
        if (!jumped) {
            nameStart_[position] = 1;
        }
        position += 1u + length;
    }
    return false;
}

// The RDATA of a record whose type may carry compressed names (the well-known types, and those
// receivers are asked to decompress): each name is walked so that its pointers are re-aimed too.
// Other types' RDATA is taken as opaque, as a resolver must treat a type it does not know.
bool WALK::ReadRecordData(uint16_t type, size_t at, size_t end) {
    // The layout: fixed bytes before the names, how many names, fixed bytes after them.
    size_t before = 0;
    int names = 0;
    size_t after = 0;
    bool strings = false;  // NAPTR: three character strings before its one name
    bool rest = false;     // NXT: a type bitmap of any length after its name
    switch (type) {
        case 2:   // NS
        case 3:   // MD
        case 4:   // MF
        case 5:   // CNAME
        case 7:   // MB
        case 8:   // MG
        case 9:   // MR
        case 12:  // PTR
        case 39:  // DNAME
            names = 1;
            break;
        case 6:  // SOA: two names, then five 32-bit numbers
            names = 2;
            after = 20;
            break;
        case 14:  // MINFO
        case 17:  // RP
            names = 2;
            break;
        case 15:  // MX
        case 18:  // AFSDB
        case 21:  // RT
        case 36:  // KX
            before = 2;
            names = 1;
            break;
        case 26:  // PX
            before = 2;
            names = 2;
            break;
        case 33:  // SRV
            before = 6;
            names = 1;
            break;
        case 30:  // NXT
            names = 1;
            rest = true;
            break;
        case 35:  // NAPTR
            before = 4;
            strings = true;
            names = 1;
            break;
        default:
            return true;
    }
    if (at == end) {
        return true;  // no data at all, as an update's deletions and prerequisites have
    }
    if (end - at < before) {
        return false;
    }
    at += before;
    for (int i = 0; strings && i < 3; ++i) {
        if (at >= end || end - at - 1 < message_[at]) {
            return false;
        }
        at += 1u + message_[at];
    }
    for (int i = 0; i < names; ++i) {
        if (!ReadName(at, end, &at)) {
            return false;
        }
    }
    return rest || end - at == after;
}

// SvcPriority, TargetName, then the parameters to the end of the RDATA: key, length, value.
bool WALK::ReadServiceBinding(size_t rdlengthAt, size_t at, size_t end) {
    if (end - at < 2) {
        return false;
    }
    // The target is never compressed when sent as the rules say; a pointer there is walked like
    // any other, so it is re-aimed if one turns up.
    if (!ReadName(at + 2, end, &at)) {
        return false;
    }
    std::optional<CUT> mandatory;  // the whole "mandatory" parameter
    std::optional<size_t> mandatoryEch;
    size_t removed = 0;
    const size_t firstCut = cuts_.size();
    // Keys come in increasing order, each once: a record that breaks that is one a client must
    // throw away, and nothing about it is worth changing.
    std::optional<uint16_t> lastKey;
    while (at < end) {
        if (end - at < 4) {
            return false;
        }
        const uint16_t key = Read16(message_, at);
        const size_t length = Read16(message_, at + 2);
        if (end - at - 4 < length || (lastKey && key <= *lastKey)) {
            return false;
        }
        lastKey = key;
        const size_t valueAt = at + 4;
        if (key == kSvcParamMandatory) {
            if (length == 0 || length % 2 != 0) {
                return false;
            }
            mandatory = CUT{at, valueAt + length};
            for (size_t k = valueAt; k < valueAt + length; k += 2) {
                if (Read16(message_, k) == kSvcParamEch) {
                    if (mandatoryEch) {
                        return false;  // a key named twice: malformed too
                    }
                    mandatoryEch = k;
                }
            }
        } else if (key == kSvcParamEch) {
            cuts_.push_back({at, valueAt + length});
            removed += 4 + length;
        }
        at = valueAt + length;
    }
    if (removed == 0) {
        return true;
    }
    // A "mandatory" list that still named the key would make the client throw the record away.
    // An empty list is not allowed, so a list of only that key goes whole.
    if (mandatoryEch) {
        if (mandatory->end - mandatory->start == 4 + 2) {
            cuts_.push_back(*mandatory);
            removed += 6;
        } else {
            cuts_.push_back({*mandatoryEch, *mandatoryEch + 2});
            fixes_.push_back({mandatory->start + 2, 2});
            removed += 2;
        }
        std::sort(cuts_.begin() + static_cast<std::ptrdiff_t>(firstCut), cuts_.end(),
                  [](const CUT& a, const CUT& b) { return a.start < b.start; });
    }
    fixes_.push_back({rdlengthAt, removed});
    return true;
}

bool WALK::Run() {
    if (message_.size() < kHeaderSize) {
        return false;
    }
    size_t at = kHeaderSize;
    for (uint32_t i = 0, questions = Read16(message_, 4); i < questions; ++i) {
        if (!ReadName(at, message_.size(), &at) || message_.size() - at < 4) {
            return false;
        }
        at += 4;
    }
    const uint32_t records =
        uint32_t{Read16(message_, 6)} + Read16(message_, 8) + Read16(message_, 10);
    for (uint32_t i = 0; i < records; ++i) {
        if (!ReadName(at, message_.size(), &at) || message_.size() - at < kRecordFixedSize) {
            return false;
        }
        const uint16_t type = Read16(message_, at);
        const size_t rdlengthAt = at + 8;
        const size_t length = Read16(message_, rdlengthAt);
        const size_t data = at + kRecordFixedSize;
        if (message_.size() - data < length) {
            return false;
        }
        if (type == kTypeTsig || type == kTypeSig) {
            return false;
        }
        const bool read = type == kDnsTypeSvcb || type == kDnsTypeHttps
                              ? ReadServiceBinding(rdlengthAt, data, data + length)
                              : ReadRecordData(type, data, data + length);
        if (!read) {
            return false;
        }
        at = data + length;
    }
    // Bytes after the last record are kept as they are.
    return true;
}

// The first cut that ends after `offset`: cuts are in message order and apart, so their ends
// are in order too.
size_t WALK::CutAfter(size_t offset) const {
    auto it = std::upper_bound(cuts_.begin(), cuts_.end(), offset,
                               [](size_t value, const CUT& cut) { return value < cut.end; });
    return static_cast<size_t>(it - cuts_.begin());
}

size_t WALK::RemovedBefore(size_t offset) const {
    return removedBefore_[CutAfter(offset)];
}

bool WALK::InCut(size_t offset) const {
    const size_t index = CutAfter(offset);
    return index < cuts_.size() && cuts_[index].start <= offset;
}

std::optional<std::vector<uint8_t>> WALK::Rewrite() {
    if (cuts_.empty()) {
        return std::nullopt;
    }
    removedBefore_.assign(1, 0);
    for (const CUT& cut : cuts_) {
        removedBefore_.push_back(removedBefore_.back() + (cut.end - cut.start));
    }
    // Every field to rewrite must stand clear of the removed bytes and of the others: one that
    // does not was not made by a sound writer.
    std::vector<uint8_t> field(message_.size(), 0);
    auto claim = [&](size_t at) {
        if (at + 2 > message_.size() || field[at] != 0 || field[at + 1] != 0 || InCut(at) ||
            InCut(at + 1)) {
            return false;
        }
        field[at] = field[at + 1] = 1;
        return true;
    };
    // A pointer must lead to a name that was read in place, where a label of it starts: then
    // every name, followed wherever it leads, is made of bytes the walk knows as names, none of
    // them removed, and every pointer on its way is one of those re-aimed. A writer compresses
    // only against names it wrote; anything else (into the middle of a label, into data of a
    // type taken as opaque) is left alone rather than guessed at.
    std::vector<size_t> pointers;
    for (size_t at = 0; at < message_.size(); ++at) {
        if (pointerAt_[at] != 0) {
            if (!claim(at) || nameStart_[Read16(message_, at) & 0x3FFFu] == 0) {
                return std::nullopt;
            }
            pointers.push_back(at);
        }
    }
    for (const LENGTH_FIX& fix : fixes_) {
        if (!claim(fix.at)) {
            return std::nullopt;
        }
    }

    std::vector<uint8_t> out;
    out.reserve(message_.size());
    size_t from = 0;
    for (const CUT& cut : cuts_) {
        out.insert(out.end(), message_.begin() + static_cast<std::ptrdiff_t>(from),
                   message_.begin() + static_cast<std::ptrdiff_t>(cut.start));
        from = cut.end;
    }
    out.insert(out.end(), message_.begin() + static_cast<std::ptrdiff_t>(from), message_.end());

    auto write16 = [&](size_t originalAt, uint16_t value) {
        const size_t at = originalAt - RemovedBefore(originalAt);
        out[at] = static_cast<uint8_t>(value >> 8);
        out[at + 1] = static_cast<uint8_t>(value);
    };
    for (size_t at : pointers) {
        const size_t target = Read16(message_, at) & 0x3FFFu;
        write16(at, static_cast<uint16_t>(0xC000u | (target - RemovedBefore(target))));
    }
    for (const LENGTH_FIX& fix : fixes_) {
        write16(fix.at, static_cast<uint16_t>(Read16(message_, fix.at) - fix.less));
    }
    return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> StripEchParams(std::span<const uint8_t> message) {
    WALK walk(message);
    if (!walk.Run()) {
        return std::nullopt;
    }
    return walk.Rewrite();
}

}  // namespace os::wfplinux
