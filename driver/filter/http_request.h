// Parse of the first bytes a client sends on a plain HTTP connection: only a GET request is
// recognised, and from it the host, the URL path and the proxy prefix that a policy lookup needs.
//
// The parse works on one contiguous copy of a segment made by the caller and never reads outside
// it. Every range in the result points into that copy (nothing is copied), so the copy must
// outlive the result. The only allocation is the header table: one non-paged pool block tagged
// kHttpHeaderTableTag, owned by the result and freed with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "os/pool.h"

namespace wexo::drv {

inline constexpr uint32_t kHttpHeaderTableTag = os::MakePoolTag("WxHh");

enum class HttpParseStatus : uint8_t {
    Complete,    // request line and header block up to the empty line are present
    Incomplete,  // starts like a GET request but ends early; `missing` estimates what is lacking
    NotGet,      // any other method, or not HTTP at all
};

struct HTTP_PARSE_OUTCOME {
    HttpParseStatus status = HttpParseStatus::NotGet;
    uint32_t missing = 0;  // Incomplete only: estimated bytes still to come
};

// One value of a header line: from its first non-blank byte up to the "," or the CR that ends it,
// trailing blanks included; never empty.
struct HTTP_HEADER_VALUE {
    const char* data;
    uint32_t length;

    std::string_view View() const { return {data, length}; }
};

// One header line that has a name (text before the first ":", not trimmed).
struct HTTP_HEADER {
    const char* name;
    uint32_t nameLength;
    uint32_t valueCount;
    const HTTP_HEADER_VALUE* values;

    std::string_view Name() const { return {name, nameLength}; }
    std::span<const HTTP_HEADER_VALUE> Values() const { return {values, valueCount}; }
};

static_assert(sizeof(HTTP_HEADER) == 24 && sizeof(HTTP_HEADER_VALUE) == 16,
              "the table is sized as 24 bytes per line and 16 per value");

// The parsed request. Filled only when the parse is Complete; empty after any other outcome.
// Move-only: it owns the header table.
class HTTP_REQUEST {
  public:
    HTTP_REQUEST() = default;
    ~HTTP_REQUEST() { Reset(); }
    HTTP_REQUEST(HTTP_REQUEST&& other) noexcept;
    HTTP_REQUEST& operator=(HTTP_REQUEST&& other) noexcept;
    HTTP_REQUEST(const HTTP_REQUEST&) = delete;
    HTTP_REQUEST& operator=(const HTTP_REQUEST&) = delete;

    // First value of the first header named "Host" (any case); empty when there is none, when
    // that header has no value, or when the header table could not be allocated. Its length is
    // kept in 16 bits: a longer value is cut to its length modulo 65536.
    std::string_view Host() const { return host_; }
    // Request target (the request line's text after the method and its blanks, up to the next
    // whitespace) from its first "/" after the scheme (absolute form) or from its start (origin
    // form), query included.
    std::string_view Path() const { return path_; }
    // Absolute form only ("HTTP://" in any case): scheme and authority, from the "H" up to, not
    // including, the "/" that starts the path. Empty for the origin form, and together with the
    // path when the target has no "/" after the authority ("GET http://host HTTP/1.1").
    std::string_view ProxyPrefix() const { return proxyPrefix_; }
    // Every header line with a name, in order.
    std::span<const HTTP_HEADER> Headers() const { return {table_, headerCount_}; }

    // Frees the header table and empties the request.
    void Reset();

  private:
    friend HTTP_PARSE_OUTCOME ParseHttpRequest(std::span<const uint8_t> bytes,
                                               HTTP_REQUEST& request);

    std::string_view host_;
    std::string_view path_;
    std::string_view proxyPrefix_;
    HTTP_HEADER* table_ = nullptr;
    size_t headerCount_ = 0;
};

// Parses the bytes as the start of an HTTP GET request.
// - Fewer than 3 bytes that begin "GET" (any case): Incomplete, missing 5.
// - Not "GET" (any case) in the first 3 bytes: NotGet. The byte after the method is not checked.
// - No CR LF after the method, or the header block has no final empty line yet: Incomplete,
//   missing 3 when the bytes end in CR, else 4.
// - Otherwise Complete, also when the header table cannot be allocated (then no headers and an
//   empty host).
HTTP_PARSE_OUTCOME ParseHttpRequest(std::span<const uint8_t> bytes, HTTP_REQUEST& request);

// Whether bytes that parse as an incomplete GET can still become a whole HTTP/1.x request: its
// request line is not finished yet, or ends in CR LF after an "HTTP/" version. Anything else
// (an HTTP/0.9 request, a line protocol whose command is "get", lines ending in a bare LF) never
// ends in an empty line, so waiting for one would stall the connection.
bool HttpRequestMayComplete(std::span<const uint8_t> bytes);

// The host as Host() reports it, searched again in the request's header table: first value of
// the first header whose name is exactly "HOST" ignoring case.
std::string_view FindHost(const HTTP_REQUEST& request);

}  // namespace wexo::drv
