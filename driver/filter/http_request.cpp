#include "driver/filter/http_request.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
#include <emmintrin.h>
#endif

namespace wexo::drv {
namespace {

constexpr size_t kNotFound = SIZE_MAX;

constexpr bool IsWhitespace(uint8_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

constexpr bool IsBlank(uint8_t c) {
    return c == ' ' || c == '\t';
}

// The characters of a token (a method or a header name), as a table: the method is read a byte at
// a time on every request.
struct TOKEN_TABLE {
    bool token[256] = {};
    constexpr TOKEN_TABLE() {
        for (int c = '0'; c <= '9'; ++c) {
            token[c] = true;
        }
        for (int c = 'a'; c <= 'z'; ++c) {
            token[c] = true;
            token[c - 'a' + 'A'] = true;
        }
        for (char c : std::string_view("!#$%&'*+-.^_`|~")) {
            token[static_cast<uint8_t>(c)] = true;
        }
    }
};
constexpr TOKEN_TABLE kTokenTable;

constexpr bool IsTokenChar(uint8_t c) {
    return kTokenTable.token[c];
}

// Only ASCII letters fold; every other byte compares as it is.
constexpr uint8_t FoldCase(uint8_t c) {
    return (c >= 'a' && c <= 'z') ? static_cast<uint8_t>(c - ('a' - 'A')) : c;
}

// `upper` is upper-case ASCII of the same length as the bytes compared.
bool EqualsIgnoringCase(const uint8_t* bytes, std::string_view upper) {
    for (size_t i = 0; i < upper.size(); ++i) {
        if (FoldCase(bytes[i]) != static_cast<uint8_t>(upper[i])) {
            return false;
        }
    }
    return true;
}

const char* AsChars(const uint8_t* bytes) {
    return reinterpret_cast<const char*>(bytes);
}

// Header lines and values the parse records on its stack before it sizes the table; a browser's
// request has well under these.
constexpr size_t kScratchLines = 32;
constexpr size_t kScratchValues = 64;

// A line ends at its LF; a CR right before it is part of the line end, as servers read it.
struct LINE {
    size_t begin;
    size_t end;   // the line's text ends here (before any CR)
    size_t next;  // the next line starts here
};

// The first CR or LF from `from` on, or `size`: one pass finds both the line end and a CR that
// does not end the line, where two searches would read each header line twice.
size_t FindCrOrLf(const uint8_t* data, size_t from, size_t size) {
    size_t at = from;
#if defined(__SSE2__) || defined(_M_X64) || defined(_M_AMD64)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; size - at >= 16; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at));
        const int found =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf)));
        if (found != 0) {
            return at + static_cast<size_t>(std::countr_zero(static_cast<unsigned>(found)));
        }
    }
#endif
    while (at < size && data[at] != '\r' && data[at] != '\n') {
        ++at;
    }
    return at;
}

// The line that starts at `from`, or kNotFound in `next` when the bytes end before its LF. Sets
// `bareCr` when the line holds a CR that is not the one right before its LF (nor, while it has
// none, the last byte there is).
LINE FindLine(const uint8_t* data, size_t from, size_t size, bool& bareCr) {
    size_t at = FindCrOrLf(data, from, size);
    if (at < size && data[at] == '\r') {
        if (at + 1 == size) {
            return {from, at, kNotFound};  // the first half of a line end still to come
        }
        if (data[at + 1] == '\n') {
            return {from, at, at + 2};
        }
        bareCr = true;
        const auto* lineFeed = static_cast<const uint8_t*>(std::memchr(data + at, '\n', size - at));
        at = lineFeed != nullptr ? static_cast<size_t>(lineFeed - data) : size;
    }
    if (at == size) {
        size_t end = (size > from && data[size - 1] == '\r') ? size - 1 : size;
        return {from, end, kNotFound};
    }
    size_t end = (at > from && data[at - 1] == '\r') ? at - 1 : at;
    return {from, end, at + 1};
}

// Calls visit(begin, end) for each non-empty value of the line text [begin, end) that follows a
// header name's ":". Values are separated by ","; each starts at its first non-blank byte.
template <typename Visit>
void ForEachValue(const uint8_t* data, size_t begin, size_t end, Visit&& visit) {
    size_t at = begin;
    while (true) {
        while (at < end && IsWhitespace(data[at])) {
            ++at;
        }
        if (at >= end) {
            return;
        }
        const auto* comma = static_cast<const uint8_t*>(std::memchr(data + at, ',', end - at));
        size_t stop = comma != nullptr ? static_cast<size_t>(comma - data) : end;
        if (stop > at) {
            visit(at, stop);
        }
        if (comma == nullptr) {
            return;
        }
        at = stop + 1;
    }
}

// Calls onLine(begin, colon, end) for each whole header line that has a non-empty name before
// its first ":". Returns the offset just past the empty line that ends the block, or kNotFound
// when the bytes end first. Sets `bareCr` when a whole line holds a CR that is not the one of its
// CR LF: some servers end the line there, others keep the CR in it. (A line the bytes end in is
// no line yet.)
template <typename OnLine>
size_t WalkHeaderBlock(const uint8_t* data, size_t from, size_t size, bool& bareCr,
                       OnLine&& onLine) {
    size_t at = from;
    while (at < size) {
        bool lineBareCr = false;
        LINE line = FindLine(data, at, size, lineBareCr);
        if (line.next == kNotFound) {
            return kNotFound;
        }
        bareCr = bareCr || lineBareCr;
        if (line.end == line.begin) {
            return line.next;
        }
        const auto* colon =
            static_cast<const uint8_t*>(std::memchr(data + at, ':', line.end - line.begin));
        if (colon != nullptr && colon != data + at) {
            onLine(line.begin, static_cast<size_t>(colon - data), line.end);
        }
        at = line.next;
    }
    return kNotFound;
}

// A header name as servers compare it: blanks before the ":" are not part of it.
bool NameIs(const char* name, size_t length, std::string_view upper) {
    // Most names differ in their first letter: decided before the trim.
    if (length < upper.size() ||
        FoldCase(static_cast<uint8_t>(name[0])) != static_cast<uint8_t>(upper[0])) {
        return false;
    }
    while (length > 0 && IsBlank(static_cast<uint8_t>(name[length - 1]))) {
        --length;
    }
    return length == upper.size() &&
           EqualsIgnoringCase(reinterpret_cast<const uint8_t*>(name), upper);
}

// A host value as servers compare it: blanks around it and one final dot of the name (before any
// port) do not count, nor does the case of ASCII letters.
std::string_view HostCore(std::string_view host, std::string_view* port) {
    while (!host.empty() && IsWhitespace(static_cast<uint8_t>(host.front()))) {
        host.remove_prefix(1);
    }
    while (!host.empty() && IsWhitespace(static_cast<uint8_t>(host.back()))) {
        host.remove_suffix(1);
    }
    size_t colon = host.rfind(':');
    if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
        *port = host.substr(colon);
        host = host.substr(0, colon);
    } else {
        *port = {};
    }
    if (!host.empty() && host.back() == '.') {
        host.remove_suffix(1);
    }
    return host;
}

bool SameHost(std::string_view a, std::string_view b) {
    std::string_view portA;
    std::string_view portB;
    a = HostCore(a, &portA);
    b = HostCore(b, &portB);
    if (a.size() != b.size() || portA != portB) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(static_cast<uint8_t>(a[i])) != FoldCase(static_cast<uint8_t>(b[i]))) {
            return false;
        }
    }
    return true;
}

struct REQUEST_LINE {
    HttpParseStatus status = HttpParseStatus::NotHttp;
    size_t methodBegin = 0;
    size_t methodEnd = 0;
    size_t targetBegin = 0;
    size_t targetEnd = 0;
    size_t next = 0;  // where the header block starts
    bool ambiguous = false;
    bool simple = false;  // an HTTP/0.9 request: the line alone, no version and no header block
};

// The steps of reading a request line, in the order they come; a look at bytes that end inside
// the line stops in one of them, and the next look goes on from there.
enum LineStep : uint8_t {
    kLeadingEmptyLines = 0,
    kMethod,
    kBlanksAfterMethod,
    kTarget,
    kBlanksAfterTarget,
    kVersion,
    kBlanksAfterVersion,
    kSplits,       // the line holds a blank other than SP: every way of splitting it is followed
    kHeaderLines,  // the line ended; the header block is being read
};

// What a request-line byte is to the steps above, which split at SP only. They hold while the
// line has no other blank and does not start with one: every way of splitting it reads such a
// line alike. The first byte of a UTF-8 NBSP or NEL (0xC2) counts as a blank here.
enum LineByte : uint8_t { kOtherByte = 0, kTokenByte, kSpaceByte, kOddBlankByte };

struct LINE_BYTE_TABLE {
    uint8_t of[256] = {};
    constexpr LINE_BYTE_TABLE() {
        for (int c = 0; c < 256; ++c) {
            if (IsTokenChar(static_cast<uint8_t>(c))) {
                of[c] = kTokenByte;
            }
        }
        of[static_cast<uint8_t>(' ')] = kSpaceByte;
        for (int c : {0x09, 0x0B, 0x0C, 0x0D, 0x1C, 0x1D, 0x1E, 0x1F, 0x85, 0xA0, 0xC2}) {
            of[c] = kOddBlankByte;
        }
    }
};
constexpr LINE_BYTE_TABLE kLineBytes;

// The ways servers split a request line, each named by the blanks it splits at:
// - SP: nginx, Node's llhttp, Go (llhttp keeps HTAB and FF inside the target, nginx before 1.21.1
//   other controls too);
// - SP and HTAB: Tomcat, Jetty;
// - ASCII blanks (SP HTAB VT FF CR), blanks before the method skipped: Apache without strict
//   parsing, Twisted, servers that split with C's isspace;
// - Python's white space in a line decoded as Latin-1 (also 0x1C-0x1F, NEL 0x85, NBSP 0xA0):
//   http.server and what is built on it;
// - those and a UTF-8 NBSP or NEL, for servers that decode the line as UTF-8 before splitting
//   (the Latin-1 white space written in UTF-8).
// The first two fail on a bare CR: the servers that do not split there refuse the line.
enum Split : uint8_t {
    kSplitAtSp = 0,
    kSplitAtSpHtab,
    kSplitAtAsciiBlanks,
    kSplitAtLatin1Spaces,
    kSplitAtUtf8Spaces,
};
static_assert(kSplitAtUtf8Spaces + 1 == kHttpLineReadings);

// Each split splits at every blank the one before it does, and more.
constexpr uint8_t SplitsFrom(Split first) {
    return static_cast<uint8_t>(((1u << kHttpLineReadings) - 1) & ~((1u << first) - 1));
}

struct SPLIT_TABLE {
    uint8_t separates[256] = {};  // bit n: the byte is a blank to split n
    constexpr SPLIT_TABLE() {
        separates[static_cast<uint8_t>(' ')] = SplitsFrom(kSplitAtSp);
        separates[static_cast<uint8_t>('\t')] = SplitsFrom(kSplitAtSpHtab);
        for (int c : {0x0B, 0x0C, 0x0D}) {
            separates[c] = SplitsFrom(kSplitAtAsciiBlanks);
        }
        for (int c : {0x1C, 0x1D, 0x1E, 0x1F, 0x85, 0xA0}) {
            separates[c] = SplitsFrom(kSplitAtLatin1Spaces);
        }
    }
};
static_assert(SplitsFrom(kSplitAtSp) == 0x1F && SplitsFrom(kSplitAtLatin1Spaces) == 0x18);
constexpr SPLIT_TABLE kSplitTable;

constexpr uint8_t kInWord = 1;
constexpr uint8_t kFailed = 2;
// Bytes of a version word checked before only digits and dots remain: "HTTP/" and a digit.
constexpr uint8_t kVersionPrefix = 6;

// Whether byte `c` can stand at offset `at` of a version: "HTTP/" in any case, a digit, then
// digits and dots (servers read leading zeros and more digits, and serve the versions they do not
// know as the closest they do).
constexpr bool VersionByteFits(uint8_t c, size_t at) {
    if (at < 5) {
        return FoldCase(c) == static_cast<uint8_t>("HTTP/"[at]);
    }
    return (c >= '0' && c <= '9') || (at > 5 && c == '.');
}

// The splits the byte at `at` is a blank to; a UTF-8 NBSP or NEL is known by its second byte,
// which must be there (`at` + 1 < `size`).
uint8_t SeparatesAt(const uint8_t* data, size_t at, size_t size) {
    uint8_t separates = kSplitTable.separates[data[at]];
    if (data[at] == 0xC2 && at + 1 < size && (data[at + 1] == 0xA0 || data[at + 1] == 0x85)) {
        separates |= 1u << kSplitAtUtf8Spaces;
    }
    return separates;
}

// The servers that split a request line at more than SP and HTAB read at most 64 KiB of it
// (Python's http.server, the most lenient of them, takes 65535 bytes before its line end): beyond
// that they answer an error, so those readings end there. Without the bound a client's line of
// blanks would be followed by every reading up to the head-size bound.
constexpr size_t kLenientLineBytes = 65535;
constexpr uint8_t kLenientReadings = SplitsFrom(kSplitAtAsciiBlanks);

// Follows every split over the line's bytes [at, end) (the line begins at `lineBegin`); returns
// where it stopped: at `end`, or before a 0xC2 that is the last byte there is (the next byte
// decides what it is).
size_t FollowSplits(const uint8_t* data, size_t lineBegin, size_t at, size_t end, size_t size,
                    HTTP_HEAD_SCAN& scan) {
    const size_t lenientEnd = lineBegin + kLenientLineBytes;
    for (; at < end; ++at) {
        const uint8_t c = data[at];
        if (c == 0xC2 && at + 1 >= size) {
            break;
        }
        if (at >= lenientEnd) {
            for (size_t n = kSplitAtAsciiBlanks; n < kHttpLineReadings; ++n) {
                scan.readings[n].flags |= kFailed;
            }
        }
        const uint8_t separates = SeparatesAt(data, at, size);
        uint8_t open = 0;
        bool allInTarget = true;
        for (size_t n = 0; n < kHttpLineReadings; ++n) {
            HTTP_HEAD_SCAN::READING& split = scan.readings[n];
            if ((split.flags & kFailed) != 0) {
                continue;
            }
            open |= static_cast<uint8_t>(1u << n);
            if ((separates & (1u << n)) != 0) {
                allInTarget = false;
                if ((split.flags & kInWord) != 0) {
                    split.flags &= static_cast<uint8_t>(~kInWord);
                } else if (split.words == 0 && n < kSplitAtAsciiBlanks) {
                    split.flags |= kFailed;
                }
                continue;
            }
            if (c == '\r' && n < kSplitAtAsciiBlanks) {
                split.flags |= kFailed;
                continue;
            }
            if ((split.flags & kInWord) == 0) {
                if (split.words == 3) {
                    split.flags |= kFailed;
                    continue;
                }
                ++split.words;
                split.flags |= kInWord;
                split.progress = 0;
            }
            if (split.words == 1) {
                // Servers that split at SP only take a method of any length; the others stop.
                if (!IsTokenChar(c) ||
                    (n != kSplitAtSp && split.progress == kMaxHttpMethodLength)) {
                    split.flags |= kFailed;
                } else if (split.progress < kMaxHttpMethodLength) {
                    ++split.progress;
                }
            } else if (split.words == 3) {
                if (!VersionByteFits(c, split.progress)) {
                    split.flags |= kFailed;
                } else if (split.progress < kVersionPrefix) {
                    ++split.progress;
                }
            }
            allInTarget = allInTarget && split.words == 2;
        }
        if (open == 0) {
            return at;  // no reading left: the line is no request line
        }
        if (!allInTarget) {
            continue;
        }
        // Inside the target every reading only waits for a blank of its own (or a CR): the bytes
        // before one change nothing, and a long target is passed over at the pace of a look-up.
        const size_t skipEnd = (open & kLenientReadings) != 0 ? std::min(end, lenientEnd) : end;
        while (at + 1 < skipEnd) {
            const uint8_t next = data[at + 1];
            if ((kSplitTable.separates[next] & open) != 0 || next == '\r' || next == 0xC2) {
                break;
            }
            ++at;
        }
    }
    return at;
}

struct LINE_PARTS {
    size_t begin[3];
    size_t end[3];
};

// The three words of the line [begin, end) as split `n` reads them; only for a line that split
// has read as a request line.
LINE_PARTS SplitLine(const uint8_t* data, size_t begin, size_t end, size_t size, size_t n) {
    LINE_PARTS parts{};
    size_t at = begin;
    for (size_t word = 0; word < 3; ++word) {
        while (at < end && (SeparatesAt(data, at, size) & (1u << n)) != 0) {
            ++at;
        }
        parts.begin[word] = at;
        while (at < end && (SeparatesAt(data, at, size) & (1u << n)) == 0) {
            ++at;
        }
        parts.end[word] = at;
    }
    return parts;
}

// Reads the request line, going on from where `scan` stopped. Each step stops at the line's end
// only when the line has not ended; what it decided before that point stays decided.
REQUEST_LINE ScanRequestLine(const uint8_t* data, size_t size, HTTP_HEAD_SCAN& scan) {
    REQUEST_LINE result;
    auto complete = [&] {
        result.status = HttpParseStatus::Complete;
        result.methodBegin = scan.methodBegin;
        result.methodEnd = scan.methodEnd;
        result.targetBegin = scan.targetBegin;
        result.targetEnd = scan.targetEnd;
        result.next = scan.blockStart;
        result.ambiguous = scan.lineAmbiguous;
        return result;
    };
    if (scan.step == kHeaderLines) {
        return complete();
    }
    if (scan.step == kLeadingEmptyLines) {
        // Servers skip any number of them (nginx even drops them from its buffer as they come):
        // only the head-size bound the caller keeps ends them.
        size_t at = scan.at;
        while (at < size && (data[at] == '\r' || data[at] == '\n')) {
            ++at;
        }
        scan.at = static_cast<uint32_t>(at);
        if (at == size) {
            result.status = HttpParseStatus::Incomplete;
            return result;
        }
        scan.methodBegin = scan.lineSearched = static_cast<uint32_t>(at);
        scan.step = kMethod;
    }
    // The line end is looked for only in bytes the last look did not have. A CR that ends the
    // bytes may be the first half of a line end still to come, so it is not read as text yet.
    const size_t lineBegin = scan.methodBegin;
    const auto* lineFeed = static_cast<const uint8_t*>(
        std::memchr(data + scan.lineSearched, '\n', size - scan.lineSearched));
    const bool ended = lineFeed != nullptr;
    size_t end = size;
    size_t next = 0;
    if (ended) {
        end = static_cast<size_t>(lineFeed - data);
        next = end + 1;
    } else {
        scan.lineSearched = static_cast<uint32_t>(size);
    }
    if (end > lineBegin && data[end - 1] == '\r') {
        --end;
    }
    auto stopped = [&](size_t at) {
        if (ended) {
            return result;
        }
        scan.at = static_cast<uint32_t>(at);
        result.status = HttpParseStatus::Incomplete;
        return result;
    };
    // The line is a request line with these parts: the header block starts after it.
    auto finish = [&](size_t methodBegin, size_t methodEnd, size_t targetBegin, size_t targetEnd,
                      size_t versionBegin, size_t versionEnd) {
        std::string_view method{AsChars(data + methodBegin), methodEnd - methodBegin};
        std::string_view target{AsChars(data + targetBegin), targetEnd - targetBegin};
        std::string_view version{AsChars(data + versionBegin), versionEnd - versionBegin};
        if (method == "PRI" && target == "*" && version == "HTTP/2.0") {
            // The HTTP/2 connection preface: servers read HTTP/2 after it, not a request head.
            return REQUEST_LINE{};
        }
        scan.methodBegin = static_cast<uint32_t>(methodBegin);
        scan.methodEnd = static_cast<uint32_t>(methodEnd);
        scan.targetBegin = static_cast<uint32_t>(targetBegin);
        scan.targetEnd = static_cast<uint32_t>(targetEnd);
        scan.blockStart = scan.at = scan.lineSearched = static_cast<uint32_t>(next);
        scan.step = kHeaderLines;
        // Made from the values in place, not copied from what was just stored: a store read
        // back at once by a wider load stalls the parse of every request.
        return REQUEST_LINE{
            HttpParseStatus::Complete, methodBegin, methodEnd, targetBegin, targetEnd, next,
            scan.lineAmbiguous};
    };
    // A line of a method and a target alone is an HTTP/0.9 request, which nginx and Python's
    // http.server still answer (with the body, no head) when the method is GET.
    auto simpleRequest = [&](size_t methodBegin, size_t methodEnd, size_t targetBegin,
                             size_t targetEnd) {
        std::string_view method{AsChars(data + methodBegin), methodEnd - methodBegin};
        std::string_view target{AsChars(data + targetBegin), targetEnd - targetBegin};
        // Their targets are paths or absolute URLs; "GET key" is another protocol's command.
        if (method != "GET" || !(target.starts_with('/') || target.find("://") != target.npos)) {
            return result;
        }
        return REQUEST_LINE{
            HttpParseStatus::Complete, methodBegin, methodEnd, targetBegin, targetEnd, next,
            scan.lineAmbiguous,        true};
    };
    auto toSplits = [&] {
        scan.step = kSplits;
        std::fill(std::begin(scan.readings), std::end(scan.readings), HTTP_HEAD_SCAN::READING{});
        return lineBegin;  // the bytes read so far are read again once, by every split
    };
    size_t at = scan.at;
    switch (scan.step) {
        case kMethod: {
            // A method of any length: servers that split at SP only (Go's among them) take any
            // token as one and serve it; the head's bound ends the reading.
            while (at < end && kLineBytes.of[data[at]] == kTokenByte) {
                ++at;
            }
            const size_t methodLength = at - lineBegin;
            if (at == end) {
                return stopped(at);
            }
            const uint8_t kind = kLineBytes.of[data[at]];
            if (kind == kOddBlankByte || (kind == kSpaceByte && methodLength == 0)) {
                at = toSplits();
                break;
            }
            if (kind != kSpaceByte) {
                return result;
            }
            scan.methodEnd = static_cast<uint32_t>(at);
            scan.step = kBlanksAfterMethod;
            [[fallthrough]];
        }
        case kBlanksAfterMethod:
            while (at < end && data[at] == ' ') {
                ++at;
            }
            if (at == end) {
                return stopped(at);
            }
            if (kLineBytes.of[data[at]] == kOddBlankByte) {
                at = toSplits();
                break;
            }
            scan.targetBegin = static_cast<uint32_t>(at);
            scan.step = kTarget;
            [[fallthrough]];
        case kTarget:
            while (at < end && kLineBytes.of[data[at]] <= kTokenByte) {
                ++at;
            }
            if (at == end) {
                return ended ? simpleRequest(lineBegin, scan.methodEnd, scan.targetBegin, at)
                             : stopped(at);
            }
            if (kLineBytes.of[data[at]] == kOddBlankByte) {
                at = toSplits();
                break;
            }
            scan.targetEnd = static_cast<uint32_t>(at);
            scan.step = kBlanksAfterTarget;
            [[fallthrough]];
        case kBlanksAfterTarget:
            while (at < end && data[at] == ' ') {
                ++at;
            }
            if (at == end) {
                return ended ? simpleRequest(lineBegin, scan.methodEnd, scan.targetBegin,
                                             scan.targetEnd)
                             : stopped(at);
            }
            if (kLineBytes.of[data[at]] == kOddBlankByte) {
                at = toSplits();
                break;
            }
            scan.versionBegin = static_cast<uint32_t>(at);
            scan.step = kVersion;
            [[fallthrough]];
        case kVersion:
            while (at < end && VersionByteFits(data[at], at - scan.versionBegin)) {
                ++at;
            }
            if (at < end) {
                if (kLineBytes.of[data[at]] == kOddBlankByte) {
                    at = toSplits();
                    break;
                }
                if (data[at] != ' ' || at - scan.versionBegin < kVersionPrefix) {
                    return result;
                }
                scan.step = kBlanksAfterVersion;
            } else if (!ended) {
                return stopped(at);
            } else if (at - scan.versionBegin < kVersionPrefix) {
                return result;
            } else {
                return finish(lineBegin, scan.methodEnd, scan.targetBegin, scan.targetEnd,
                              scan.versionBegin, end);
            }
            [[fallthrough]];
        case kBlanksAfterVersion: {
            while (at < end && data[at] == ' ') {
                ++at;
            }
            if (at < end) {
                if (kLineBytes.of[data[at]] == kOddBlankByte) {
                    at = toSplits();
                    break;
                }
                return result;
            }
            if (!ended) {
                return stopped(at);
            }
            size_t versionEnd = end;
            while (data[versionEnd - 1] == ' ') {
                --versionEnd;
            }
            return finish(lineBegin, scan.methodEnd, scan.targetBegin, scan.targetEnd,
                          scan.versionBegin, versionEnd);
        }
        case kSplits:
            break;
        default:
            return result;
    }

    // A blank other than SP: each split is followed on its own.
    at = FollowSplits(data, lineBegin, at, end, size, scan);
    bool open = false;
    for (const HTTP_HEAD_SCAN::READING& split : scan.readings) {
        open = open || (split.flags & kFailed) == 0;
    }
    if (!open) {
        return result;
    }
    if (!ended) {
        return stopped(at);
    }
    // The request is what the first split that reads a request line reads; the method is the
    // same word to every such split (a token, at the line start or after blanks none of them
    // keep), the target may not be.
    LINE_PARTS parts[kHttpLineReadings];
    // The first of the splits (below `readings`) that read `words` words, a version too when
    // three; another of them that reads another target makes the line ambiguous.
    auto choose = [&](uint8_t words, size_t readings) -> const LINE_PARTS* {
        const LINE_PARTS* chosen = nullptr;
        for (size_t n = 0; n < readings; ++n) {
            const HTTP_HEAD_SCAN::READING& split = scan.readings[n];
            if ((split.flags & kFailed) != 0 || split.words != words ||
                (words == 3 && split.progress < kVersionPrefix)) {
                continue;
            }
            parts[n] = SplitLine(data, lineBegin, end, size, n);
            if (chosen == nullptr) {
                chosen = &parts[n];
                continue;
            }
            std::string_view target{AsChars(data + parts[n].begin[1]),
                                    parts[n].end[1] - parts[n].begin[1]};
            std::string_view first{AsChars(data + chosen->begin[1]),
                                   chosen->end[1] - chosen->begin[1]};
            scan.lineAmbiguous = scan.lineAmbiguous || target != first;
        }
        return chosen;
    };
    const LINE_PARTS* chosen = choose(3, kHttpLineReadings);
    if (chosen == nullptr) {
        // Two words to some split: an HTTP/0.9 request to the servers that split there (not at
        // UTF-8 blanks: no server known to split there answers HTTP/0.9).
        chosen = choose(2, kSplitAtUtf8Spaces);
        return chosen == nullptr ? result
                                 : simpleRequest(chosen->begin[0], chosen->end[0], chosen->begin[1],
                                                 chosen->end[1]);
    }
    // The method begins where the chosen split's first word does: after the blanks it skips.
    return finish(chosen->begin[0], chosen->end[0], chosen->begin[1], chosen->end[1],
                  chosen->begin[2], chosen->end[2]);
}

// Offset just past the empty line that ends the header block, or kNotFound when the bytes end
// first. Goes on from the first line `scan` had not seen the end of: each byte is looked at once
// over all the looks.
size_t FindHeaderBlockEnd(const uint8_t* data, size_t size, HTTP_HEAD_SCAN& scan) {
    for (;;) {
        const auto* lineFeed = static_cast<const uint8_t*>(
            std::memchr(data + scan.lineSearched, '\n', size - scan.lineSearched));
        if (lineFeed == nullptr) {
            scan.lineSearched = static_cast<uint32_t>(size);
            return kNotFound;
        }
        size_t at = static_cast<size_t>(lineFeed - data);
        if (at == scan.at || (at == scan.at + 1 && data[scan.at] == '\r')) {
            return at + 1;
        }
        scan.at = scan.lineSearched = static_cast<uint32_t>(at + 1);
    }
}

struct REQUEST_TARGET {
    std::string_view path;
    std::string_view proxyPrefix;
};

// Length of a URI scheme followed by "://" at the start of the target, or 0.
size_t SchemeLength(const uint8_t* data, size_t begin, size_t end) {
    size_t at = begin;
    auto alpha = [](uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (at == end || !alpha(data[at])) {
        return 0;
    }
    while (at < end && (alpha(data[at]) || (data[at] >= '0' && data[at] <= '9') ||
                        data[at] == '+' || data[at] == '-' || data[at] == '.')) {
        ++at;
    }
    if (end - at < 3 || std::memcmp(data + at, "://", 3) != 0) {
        return 0;
    }
    return at + 3 - begin;
}

// The target [begin, end): absolute form ("scheme://..." in any case), origin form, or the
// authority form of CONNECT.
REQUEST_TARGET ParseRequestTarget(const uint8_t* data, size_t begin, size_t end, bool connect) {
    REQUEST_TARGET target;
    std::string_view whole{AsChars(data + begin), end - begin};
    if (connect) {
        target.proxyPrefix = whole;
        return target;
    }
    size_t scheme = SchemeLength(data, begin, end);
    if (scheme == 0) {
        if (whole != "*") {
            target.path = whole;
        }
        return target;
    }
    size_t authority = begin + scheme;
    const auto* slash =
        static_cast<const uint8_t*>(std::memchr(data + authority, '/', end - authority));
    if (slash == nullptr) {
        // No path ("http://host" or "http://host?q"): a proxy fetches the site's root, so the
        // whole target is the prefix. Leaving it empty would judge the request by its Host
        // header, which the client chooses freely.
        target.proxyPrefix = whole;
        return target;
    }
    size_t pathStart = static_cast<size_t>(slash - data);
    target.proxyPrefix = {AsChars(data + begin), pathStart - begin};
    target.path = {AsChars(data + pathStart), end - pathStart};
    return target;
}

}  // namespace

HTTP_REQUEST::HTTP_REQUEST(HTTP_REQUEST&& other) noexcept
    : method_(std::exchange(other.method_, {})),
      host_(std::exchange(other.host_, {})),
      path_(std::exchange(other.path_, {})),
      proxyPrefix_(std::exchange(other.proxyPrefix_, {})),
      table_(std::exchange(other.table_, nullptr)),
      headerCount_(std::exchange(other.headerCount_, 0)),
      hostConflict_(std::exchange(other.hostConflict_, false)),
      ambiguous_(std::exchange(other.ambiguous_, false)),
      truncated_(std::exchange(other.truncated_, false)) {}

HTTP_REQUEST& HTTP_REQUEST::operator=(HTTP_REQUEST&& other) noexcept {
    if (this != &other) {
        Reset();
        method_ = std::exchange(other.method_, {});
        host_ = std::exchange(other.host_, {});
        path_ = std::exchange(other.path_, {});
        proxyPrefix_ = std::exchange(other.proxyPrefix_, {});
        table_ = std::exchange(other.table_, nullptr);
        headerCount_ = std::exchange(other.headerCount_, 0);
        hostConflict_ = std::exchange(other.hostConflict_, false);
        ambiguous_ = std::exchange(other.ambiguous_, false);
        truncated_ = std::exchange(other.truncated_, false);
    }
    return *this;
}

void HTTP_REQUEST::Reset() {
    if (table_ != nullptr) {
        os::ExFreePoolWithTag(table_, kHttpHeaderTableTag);
        table_ = nullptr;
    }
    headerCount_ = 0;
    method_ = {};
    host_ = {};
    path_ = {};
    proxyPrefix_ = {};
    hostConflict_ = false;
    ambiguous_ = false;
    truncated_ = false;
    simpleLength_ = 0;
}

HTTP_PARSE_OUTCOME ParseHttpRequest(std::span<const uint8_t> bytes, HTTP_REQUEST& request,
                                    bool truncatedIsComplete, HTTP_HEAD_SCAN* resume) {
    request.Reset();
    // Header lengths are 32-bit; no segment copy comes near this, but the bound keeps them exact.
    if (bytes.size() > UINT32_MAX) {
        bytes = bytes.first(UINT32_MAX);
    }
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    HTTP_HEAD_SCAN fresh;
    HTTP_HEAD_SCAN& scan = resume != nullptr ? *resume : fresh;
    if (scan.seen == 0 || size < scan.seen) {
        // Fewer bytes than last time cannot be the same bytes grown: nothing is taken from before.
        scan = {};
    }
    if (size == 0) {
        return {HttpParseStatus::Incomplete, 1, 0};
    }
    REQUEST_LINE line = ScanRequestLine(data, size, scan);
    if (line.status != HttpParseStatus::Complete) {
        if (line.status == HttpParseStatus::NotHttp) {
            scan = {};
            return {HttpParseStatus::NotHttp, 0, 0};
        }
        scan.seen = static_cast<uint32_t>(size);
        return {HttpParseStatus::Incomplete, 1, 0};
    }
    if (line.simple) {
        if (resume != nullptr) {
            *resume = {};
        }
        request.method_ = {AsChars(data + line.methodBegin), line.methodEnd - line.methodBegin};
        REQUEST_TARGET target = ParseRequestTarget(data, line.targetBegin, line.targetEnd, false);
        request.path_ = target.path;
        request.proxyPrefix_ = target.proxyPrefix;
        request.ambiguous_ = line.ambiguous;
        request.simpleLength_ = line.next;
        return {HttpParseStatus::Complete, 0, line.next};
    }
    const size_t blockStart = line.next;
    if (resume != nullptr) {
        // Until the block ends, a look only finds out whether it has; the head is read in full
        // once, by the look that finds the end (or the last look, when what is there is taken).
        if (FindHeaderBlockEnd(data, size, scan) == kNotFound && !truncatedIsComplete) {
            scan.seen = static_cast<uint32_t>(size);
            return {HttpParseStatus::Incomplete, 1, 0};
        }
        scan = {};
    }

    // One pass records the lines and values into scratch space on the stack while it finds the
    // end of the block; a request with more than the scratch holds is walked a second time to
    // fill the table (a browser's request fits).
    struct SCRATCH_LINE {
        const char* name;
        uint32_t nameLength;
        uint32_t valueCount;
    };
    SCRATCH_LINE scratchLines[kScratchLines];
    HTTP_HEADER_VALUE scratchValues[kScratchValues];
    size_t lines = 0;
    size_t values = 0;
    bool bareCr = false;
    size_t blockEnd = WalkHeaderBlock(
        data, blockStart, size, bareCr, [&](size_t begin, size_t colon, size_t end) {
            const bool record = lines < kScratchLines;
            if (record) {
                scratchLines[lines] = {AsChars(data + begin), static_cast<uint32_t>(colon - begin),
                                       0};
            }
            ForEachValue(data, colon + 1, end, [&](size_t first, size_t stop) {
                if (record && values < kScratchValues) {
                    scratchValues[values] = {AsChars(data + first),
                                             static_cast<uint32_t>(stop - first)};
                    ++scratchLines[lines].valueCount;
                }
                ++values;
            });
            ++lines;
        });
    if (blockEnd == kNotFound) {
        if (!truncatedIsComplete) {
            return {HttpParseStatus::Incomplete, 1, 0};
        }
        request.truncated_ = true;
    }

    std::string_view method{AsChars(data + line.methodBegin), line.methodEnd - line.methodBegin};
    request.method_ = method;
    REQUEST_TARGET target =
        ParseRequestTarget(data, line.targetBegin, line.targetEnd, method == "CONNECT");
    request.path_ = target.path;
    request.proxyPrefix_ = target.proxyPrefix;
    request.ambiguous_ = line.ambiguous || bareCr;
    const HTTP_PARSE_OUTCOME complete{HttpParseStatus::Complete, 0,
                                      blockEnd == kNotFound ? 0 : blockEnd};
    if (lines == 0) {
        return complete;
    }

    // One block holds the line entries followed by all their values.
    size_t tableSize = lines * sizeof(HTTP_HEADER) + values * sizeof(HTTP_HEADER_VALUE);
    void* block = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, tableSize, kHttpHeaderTableTag);
    if (block == nullptr) {
        // Without the table there is no host; the request itself is still whole.
        return complete;
    }
    auto* headers = static_cast<HTTP_HEADER*>(block);
    auto* const firstValue = reinterpret_cast<HTTP_HEADER_VALUE*>(headers + lines);
    size_t hostHeaders = 0;
    size_t hostValues = 0;
    auto countHost = [&](const HTTP_HEADER& header) {
        if (NameIs(header.name, header.nameLength, "HOST")) {
            ++hostHeaders;
            hostValues += header.valueCount;
        }
    };
    if (lines <= kScratchLines && values <= kScratchValues) {
        std::memcpy(firstValue, scratchValues, values * sizeof(HTTP_HEADER_VALUE));
        const HTTP_HEADER_VALUE* nextValue = firstValue;
        for (size_t i = 0; i < lines; ++i) {
            headers[i] = {scratchLines[i].name, scratchLines[i].nameLength,
                          scratchLines[i].valueCount, nextValue};
            nextValue += scratchLines[i].valueCount;
            countHost(headers[i]);
        }
    } else {
        HTTP_HEADER_VALUE* nextValue = firstValue;
        size_t line_ = 0;
        bool seen = false;
        WalkHeaderBlock(data, blockStart, size, seen, [&](size_t begin, size_t colon, size_t end) {
            HTTP_HEADER& header = headers[line_++];
            header.name = AsChars(data + begin);
            header.nameLength = static_cast<uint32_t>(colon - begin);
            header.values = nextValue;
            header.valueCount = 0;
            ForEachValue(data, colon + 1, end, [&](size_t first, size_t stop) {
                *nextValue++ = {AsChars(data + first), static_cast<uint32_t>(stop - first)};
                ++header.valueCount;
            });
            countHost(header);
        });
    }
    request.table_ = headers;
    request.headerCount_ = lines;
    request.host_ = FindHost(request);
    if (hostHeaders > 1 || hostValues > 1) {
        // Only a request with more than one Host value can name two hosts.
        for (const HTTP_HEADER& header : request.Headers()) {
            if (!NameIs(header.name, header.nameLength, "HOST")) {
                continue;
            }
            for (const HTTP_HEADER_VALUE& value : header.Values()) {
                if (!SameHost(value.View(), request.host_)) {
                    request.hostConflict_ = true;
                }
            }
            if (header.valueCount == 0 && !request.host_.empty()) {
                request.hostConflict_ = true;
            }
        }
    }
    return complete;
}

std::string_view FindHost(const HTTP_REQUEST& request) {
    for (const HTTP_HEADER& header : request.Headers()) {
        if (NameIs(header.name, header.nameLength, "HOST")) {
            if (header.valueCount == 0) {
                return {};
            }
            return header.values[0].View();
        }
    }
    return {};
}

}  // namespace wexo::drv
