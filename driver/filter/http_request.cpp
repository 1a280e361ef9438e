#include "driver/filter/http_request.h"

#include <cstring>
#include <utility>

namespace wexo::drv {
namespace {

constexpr size_t kNotFound = SIZE_MAX;

constexpr bool IsWhitespace(uint8_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
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

// Offset of the CR of the first CR LF at or after `from`, or kNotFound.
size_t FindCrLf(const uint8_t* data, size_t from, size_t size) {
    while (size >= 2 && from < size - 1) {
        const auto* cr =
            static_cast<const uint8_t*>(std::memchr(data + from, '\r', size - 1 - from));
        if (cr == nullptr) {
            return kNotFound;
        }
        size_t at = static_cast<size_t>(cr - data);
        if (data[at + 1] == '\n') {
            return at;
        }
        from = at + 1;
    }
    return kNotFound;
}

// The estimate for a request that stops before its line or header block ends: a CR at the end
// is taken as the start of the CR LF that is due.
HTTP_PARSE_OUTCOME Incomplete(std::span<const uint8_t> bytes) {
    return {HttpParseStatus::Incomplete, bytes.back() == '\r' ? 3u : 4u};
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

// Calls onLine(begin, colon, end) for each header line [begin, end) that has a non-empty name
// before its first ":". Returns the offset of the empty line that ends the block, or kNotFound
// when the bytes end first.
template <typename OnLine>
size_t WalkHeaderBlock(const uint8_t* data, size_t from, size_t size, OnLine&& onLine) {
    size_t at = from;
    while (true) {
        size_t lineEnd = FindCrLf(data, at, size);
        if (lineEnd == kNotFound) {
            return kNotFound;
        }
        if (lineEnd == at) {
            return at;
        }
        const auto* colon = static_cast<const uint8_t*>(std::memchr(data + at, ':', lineEnd - at));
        if (colon != nullptr && colon != data + at) {
            onLine(at, static_cast<size_t>(colon - data), lineEnd);
        }
        at = lineEnd + 2;
    }
}

struct REQUEST_TARGET {
    std::string_view path;
    std::string_view proxyPrefix;
};

// The target of the request line [3, lineEnd): absolute form ("HTTP://...") or origin form. The
// target ends at the next whitespace, so the "/" of the version ("HTTP/1.1") is never taken for
// the start of a path.
REQUEST_TARGET ParseRequestTarget(const uint8_t* data, size_t lineEnd) {
    size_t start = 3;
    while (start < lineEnd && IsWhitespace(data[start])) {
        ++start;
    }
    size_t end = start;
    while (end < lineEnd && !IsWhitespace(data[end])) {
        ++end;
    }
    REQUEST_TARGET target;
    size_t pathStart = start;
    constexpr std::string_view kScheme = "HTTP://";
    if (end - start >= kScheme.size() && EqualsIgnoringCase(data + start, kScheme)) {
        size_t authority = start + kScheme.size();
        const auto* slash =
            static_cast<const uint8_t*>(std::memchr(data + authority, '/', end - authority));
        if (slash == nullptr) {
            // No path ("HTTP://host" or "HTTP://host?q"): a proxy fetches the site's root, so the
            // whole target is the prefix. Leaving it empty would judge the request by its Host
            // header, which the client chooses freely.
            target.proxyPrefix = {AsChars(data + start), end - start};
            return target;
        }
        pathStart = static_cast<size_t>(slash - data);
        target.proxyPrefix = {AsChars(data + start), pathStart - start};
    }
    target.path = {AsChars(data + pathStart), end - pathStart};
    return target;
}

}  // namespace

HTTP_REQUEST::HTTP_REQUEST(HTTP_REQUEST&& other) noexcept
    : host_(std::exchange(other.host_, {})),
      path_(std::exchange(other.path_, {})),
      proxyPrefix_(std::exchange(other.proxyPrefix_, {})),
      table_(std::exchange(other.table_, nullptr)),
      headerCount_(std::exchange(other.headerCount_, 0)) {}

HTTP_REQUEST& HTTP_REQUEST::operator=(HTTP_REQUEST&& other) noexcept {
    if (this != &other) {
        Reset();
        host_ = std::exchange(other.host_, {});
        path_ = std::exchange(other.path_, {});
        proxyPrefix_ = std::exchange(other.proxyPrefix_, {});
        table_ = std::exchange(other.table_, nullptr);
        headerCount_ = std::exchange(other.headerCount_, 0);
    }
    return *this;
}

void HTTP_REQUEST::Reset() {
    if (table_ != nullptr) {
        os::ExFreePoolWithTag(table_, kHttpHeaderTableTag);
        table_ = nullptr;
    }
    headerCount_ = 0;
    host_ = {};
    path_ = {};
    proxyPrefix_ = {};
}

HTTP_PARSE_OUTCOME ParseHttpRequest(std::span<const uint8_t> bytes, HTTP_REQUEST& request) {
    request.Reset();
    // Header lengths are 32-bit; no segment copy comes near this, but the bound keeps them exact.
    if (bytes.size() > UINT32_MAX) {
        bytes = bytes.first(UINT32_MAX);
    }
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    constexpr std::string_view kMethod = "GET";

    if (size < kMethod.size()) {
        if (!EqualsIgnoringCase(data, kMethod.substr(0, size))) {
            return {HttpParseStatus::NotGet, 0};
        }
        return {HttpParseStatus::Incomplete, 5};
    }
    if (!EqualsIgnoringCase(data, kMethod)) {
        return {HttpParseStatus::NotGet, 0};
    }
    size_t lineEnd = FindCrLf(data, kMethod.size(), size);
    if (lineEnd == kNotFound) {
        return Incomplete(bytes);
    }

    // First pass: find the end of the header block and size the table.
    const size_t blockStart = lineEnd + 2;
    size_t lines = 0;
    size_t values = 0;
    size_t blockEnd =
        WalkHeaderBlock(data, blockStart, size, [&](size_t, size_t colon, size_t end) {
            ++lines;
            ForEachValue(data, colon + 1, end, [&](size_t, size_t) { ++values; });
        });
    if (blockEnd == kNotFound) {
        return Incomplete(bytes);
    }

    REQUEST_TARGET target = ParseRequestTarget(data, lineEnd);
    request.path_ = target.path;
    request.proxyPrefix_ = target.proxyPrefix;
    if (lines == 0) {
        return {HttpParseStatus::Complete, 0};
    }

    // Second pass: one block holds the line entries followed by all their values.
    size_t tableSize = lines * sizeof(HTTP_HEADER) + values * sizeof(HTTP_HEADER_VALUE);
    void* block = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, tableSize, kHttpHeaderTableTag);
    if (block == nullptr) {
        // Without the table there is no host; the request itself is still whole.
        return {HttpParseStatus::Complete, 0};
    }
    auto* headers = static_cast<HTTP_HEADER*>(block);
    auto* nextValue = reinterpret_cast<HTTP_HEADER_VALUE*>(headers + lines);
    size_t line = 0;
    WalkHeaderBlock(data, blockStart, size, [&](size_t begin, size_t colon, size_t end) {
        HTTP_HEADER& header = headers[line++];
        header.name = AsChars(data + begin);
        header.nameLength = static_cast<uint32_t>(colon - begin);
        header.values = nextValue;
        header.valueCount = 0;
        ForEachValue(data, colon + 1, end, [&](size_t first, size_t stop) {
            *nextValue++ = {AsChars(data + first), static_cast<uint32_t>(stop - first)};
            ++header.valueCount;
        });
    });
    request.table_ = headers;
    request.headerCount_ = lines;
    request.host_ = FindHost(request);
    return {HttpParseStatus::Complete, 0};
}

bool HttpRequestMayComplete(std::span<const uint8_t> bytes) {
    const uint8_t* data = bytes.data();
    const auto* lineFeed = static_cast<const uint8_t*>(std::memchr(data, '\n', bytes.size()));
    if (lineFeed == nullptr) {
        return true;
    }
    size_t end = static_cast<size_t>(lineFeed - data);
    if (end == 0 || data[end - 1] != '\r') {
        return false;
    }
    end -= 1;
    while (end > 0 && IsWhitespace(data[end - 1])) {
        --end;
    }
    size_t start = end;
    while (start > 0 && !IsWhitespace(data[start - 1])) {
        --start;
    }
    constexpr std::string_view kVersion = "HTTP/";
    // The version is a word of its own after the method and the target.
    return start > 3 && end - start > kVersion.size() && EqualsIgnoringCase(data + start, kVersion);
}

std::string_view FindHost(const HTTP_REQUEST& request) {
    for (const HTTP_HEADER& header : request.Headers()) {
        if (header.nameLength == 4 &&
            EqualsIgnoringCase(reinterpret_cast<const uint8_t*>(header.name), "HOST")) {
            if (header.valueCount == 0) {
                return {};
            }
            const HTTP_HEADER_VALUE& first = header.values[0];
            return {first.data, static_cast<uint16_t>(first.length)};
        }
    }
    return {};
}

}  // namespace wexo::drv
