#include "driver/filter/http_request.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

// The line that starts at `from`, or kNotFound in `next` when the bytes end before its LF.
LINE FindLine(const uint8_t* data, size_t from, size_t size) {
    const auto* lineFeed = static_cast<const uint8_t*>(std::memchr(data + from, '\n', size - from));
    if (lineFeed == nullptr) {
        // A CR at the very end is the first half of a line end still to come.
        size_t end = (size > from && data[size - 1] == '\r') ? size - 1 : size;
        return {from, end, kNotFound};
    }
    size_t at = static_cast<size_t>(lineFeed - data);
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
// when the bytes end first.
template <typename OnLine>
size_t WalkHeaderBlock(const uint8_t* data, size_t from, size_t size, OnLine&& onLine) {
    size_t at = from;
    while (at < size) {
        LINE line = FindLine(data, at, size);
        if (line.next == kNotFound) {
            return kNotFound;
        }
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
};

// The steps of reading a request line, in the order they come; a look at bytes that end inside
// the line stops in one of them, and the next look goes on from there.
enum LineStep : uint8_t {
    kLeadingEmptyLines = 0,
    kMethod,
    kBlanksAfterMethod,
    kTarget,
    kNoTarget,  // a line-end byte other than LF where the target should start
    kBlanksAfterTarget,
    kVersion,
    kHeaderLines,  // the line ended; the header block is being read
};

// Whether `bytes[versionBegin, end)` can be, or be the beginning of, "HTTP/1." digit, then
// blanks to the line end. The blanks are read from `blanksFrom` on, which is set to how far they
// were read.
HttpParseStatus CheckVersion(const uint8_t* data, size_t versionBegin, size_t end, bool lineEnded,
                             uint32_t& blanksFrom) {
    constexpr std::string_view kVersion = "HTTP/1.";
    size_t length = end - versionBegin;
    size_t compared = length < kVersion.size() ? length : kVersion.size();
    if (!EqualsIgnoringCase(data + versionBegin, kVersion.substr(0, compared))) {
        return HttpParseStatus::NotHttp;
    }
    if (length <= kVersion.size()) {
        return lineEnded ? HttpParseStatus::NotHttp : HttpParseStatus::Incomplete;
    }
    size_t digit = versionBegin + kVersion.size();
    if (data[digit] < '0' || data[digit] > '9') {
        return HttpParseStatus::NotHttp;
    }
    for (size_t i = std::max<size_t>(digit + 1, blanksFrom); i < end; ++i) {
        if (!IsBlank(data[i])) {
            return HttpParseStatus::NotHttp;
        }
    }
    blanksFrom = static_cast<uint32_t>(end);
    return lineEnded ? HttpParseStatus::Complete : HttpParseStatus::Incomplete;
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
        return result;
    };
    if (scan.step == kHeaderLines) {
        return complete();
    }
    if (scan.step == kLeadingEmptyLines) {
        // At most 17 bytes are read here, so this step is read again on each look.
        size_t at = 0;
        while (at < size && (data[at] == '\r' || data[at] == '\n')) {
            ++at;
        }
        if (at > kMaxLeadingEmptyLineBytes) {
            return result;
        }
        if (at == size) {
            result.status = HttpParseStatus::Incomplete;
            return result;
        }
        scan.methodBegin = scan.at = scan.lineSearched = static_cast<uint32_t>(at);
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
    size_t at = scan.at;
    switch (scan.step) {
        case kMethod: {
            // Reading stops one byte past the longest method taken.
            while (at < end && IsTokenChar(data[at]) &&
                   at - scan.methodBegin <= kMaxHttpMethodLength) {
                ++at;
            }
            size_t methodLength = at - scan.methodBegin;
            if (methodLength == 0 || methodLength > kMaxHttpMethodLength ||
                (at < end && !IsBlank(data[at]))) {
                return result;
            }
            if (at == end) {
                return stopped(at);
            }
            scan.methodEnd = static_cast<uint32_t>(at);
            scan.step = kBlanksAfterMethod;
            [[fallthrough]];
        }
        case kBlanksAfterMethod:
            while (at < end && IsBlank(data[at])) {
                ++at;
            }
            if (at == end) {
                return stopped(at);
            }
            scan.targetBegin = static_cast<uint32_t>(at);
            scan.step = kTarget;
            [[fallthrough]];
        case kTarget:
            while (at < end && !IsWhitespace(data[at])) {
                ++at;
            }
            if (at == scan.targetBegin) {
                // Only the line's end can still decide: there is no target before it.
                scan.step = kNoTarget;
                return stopped(at);
            }
            if (at == end) {
                return stopped(at);
            }
            scan.targetEnd = static_cast<uint32_t>(at);
            scan.step = kBlanksAfterTarget;
            [[fallthrough]];
        case kBlanksAfterTarget:
            while (at < end && IsBlank(data[at])) {
                ++at;
            }
            if (at == end) {
                return stopped(at);
            }
            scan.versionBegin = static_cast<uint32_t>(at);
            scan.step = kVersion;
            [[fallthrough]];
        case kVersion: {
            uint32_t blanksFrom = static_cast<uint32_t>(at);
            HttpParseStatus version = CheckVersion(data, scan.versionBegin, end, ended, blanksFrom);
            if (version == HttpParseStatus::NotHttp) {
                return result;
            }
            if (version == HttpParseStatus::Incomplete) {
                return stopped(blanksFrom);
            }
            // The header block's first line starts where the request line ends.
            scan.blockStart = scan.at = scan.lineSearched = static_cast<uint32_t>(next);
            scan.step = kHeaderLines;
            return complete();
        }
        case kNoTarget:
            return stopped(at);
        default:
            return result;
    }
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
    truncated_ = false;
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
    size_t blockEnd =
        WalkHeaderBlock(data, blockStart, size, [&](size_t begin, size_t colon, size_t end) {
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
        WalkHeaderBlock(data, blockStart, size, [&](size_t begin, size_t colon, size_t end) {
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
