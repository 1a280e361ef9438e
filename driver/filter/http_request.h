// Parse of an HTTP/1.x request head as a client sends it: the method, the host, the URL path and
// the proxy prefix that a policy lookup needs. Every method is recognised, and the head is read as
// the lenient servers read it: any number of empty lines before the request line are skipped, a
// line may end in CR LF or in a bare LF, a version is any "HTTP/" digit spelling, and the parts of
// the request line may be split by other blanks than SP. Where servers read a head in more than
// one way, the result says so (Ambiguous()) instead of choosing one of them.
//
// The parse works on one contiguous copy of the bytes made by the caller and never reads outside
// it. Every range in the result points into that copy (nothing is copied), so the copy must
// outlive the result. The only allocation is the header table: one non-paged pool block tagged
// kHttpHeaderTableTag, owned by the result and freed with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "os/kernel/pool.h"

namespace wexo::drv {

inline constexpr uint32_t kHttpHeaderTableTag = os::MakePoolTag("WxHh");
// Longest method token the readings of servers that split at more than SP take for one
// ("UPDATEREDIRECTREF", the longest registered, has 17: those servers serve no other). Split at
// SP only, a method has no bound but the head's.
inline constexpr size_t kMaxHttpMethodLength = 32;
// The ways of splitting a request line into its parts that servers use (see the parse).
inline constexpr size_t kHttpLineReadings = 5;

enum class HttpParseStatus : uint8_t {
    Complete,    // request line and header block up to the empty line are present
    Incomplete,  // can still become an HTTP/1.x request head; `missing` bytes at least are lacking
    NotHttp,     // not an HTTP/1.x request (another protocol, HTTP/0.9, a line protocol)
};

struct HTTP_PARSE_OUTCOME {
    HttpParseStatus status = HttpParseStatus::NotHttp;
    uint32_t missing = 0;  // Incomplete only
    // Complete only: bytes from the start up to and including the empty line; 0 when truncated.
    size_t headLength = 0;
};

// One value of a header line: from its first non-blank byte up to the "," or the line end that
// ends it, trailing blanks included; never empty.
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

struct HTTP_HEAD_SCAN;

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

    std::string_view Method() const { return method_; }
    // First value of the first header named "Host" (any case, blanks before the ":" allowed);
    // empty when there is none or that header has no value, and when the header table could not
    // be allocated.
    std::string_view Host() const { return host_; }
    // Another "Host" value (a list, or a repeated header) names a different host than Host():
    // servers disagree on which one they use, so the request cannot be judged by either.
    bool HostConflict() const { return hostConflict_; }
    // Servers may read this head in more than one way (a request line whose parts they split at
    // different blanks, a bare CR inside a header line that some take for a line end): whatever
    // is judged, a server may serve another request, so the connection must be closed.
    bool Ambiguous() const { return ambiguous_; }
    // Origin form: the target as it stands. Absolute form ("scheme://..."): the target from the
    // first "/" after the authority, query included; empty when there is none. Authority form
    // (CONNECT) and the asterisk form: empty.
    std::string_view Path() const { return path_; }
    // Absolute form: scheme and authority, up to, not including, the "/" that starts the path (the
    // whole target when it has none). Authority form: the authority. Empty for the origin form.
    std::string_view ProxyPrefix() const { return proxyPrefix_; }
    // The bytes ended inside the header block and the caller asked for what is there: only the
    // whole header lines before that end were read.
    bool Truncated() const { return truncated_; }
    // An HTTP/0.9 request (no version, no header block): the bytes up to its line end; 0 for any
    // other request.
    size_t SimpleRequestLength() const { return simpleLength_; }
    // Every header line with a name, in order.
    std::span<const HTTP_HEADER> Headers() const { return {table_, headerCount_}; }

    // Frees the header table and empties the request.
    void Reset();

  private:
    friend HTTP_PARSE_OUTCOME ParseHttpRequest(std::span<const uint8_t> bytes,
                                               HTTP_REQUEST& request, bool truncatedIsComplete,
                                               HTTP_HEAD_SCAN* scan);

    std::string_view method_;
    std::string_view host_;
    std::string_view path_;
    std::string_view proxyPrefix_;
    HTTP_HEADER* table_ = nullptr;
    size_t headerCount_ = 0;
    bool hostConflict_ = false;
    bool ambiguous_ = false;
    bool truncated_ = false;
    size_t simpleLength_ = 0;
};

// Where a look at an unfinished request head stopped. A caller that is handed the same bytes again
// with more after them (a stream engine asked for more data) keeps one between its looks, so that
// each look reads only what the last one did not have: a client that sends its head a byte at a
// time would otherwise have the whole head read again on every byte, a cost that grows with the
// square of the head. The outcome of a look is the same with it as without it. Only the parse
// reads and writes its fields; a value-initialised one knows nothing yet.
struct HTTP_HEAD_SCAN {
    uint32_t seen = 0;  // bytes the last look had; 0: no look yet
    uint8_t step = 0;
    uint32_t at = 0;            // where the step's reading stopped
    uint32_t lineSearched = 0;  // the line being read has no LF before this
    uint32_t methodBegin = 0;
    uint32_t methodEnd = 0;
    uint32_t targetBegin = 0;
    uint32_t targetEnd = 0;
    uint32_t versionBegin = 0;
    uint32_t blockStart = 0;
    bool lineAmbiguous = false;
    // Once the request line holds a blank other than SP (or starts with one): how far each way
    // of splitting it has got.
    struct READING {
        uint8_t words;     // words begun
        uint8_t progress;  // bytes of the current word checked (capped)
        uint8_t flags;
    } readings[kHttpLineReadings] = {};
};

// Parses the bytes as the start of an HTTP/1.x request head:
//   *(CR / LF) method blanks target blanks version *blanks (CR LF / LF) *(header line) (CR LF / LF)
// where the version is "HTTP/" (any case), a digit, then digits and dots: servers take leading
// zeros and more digits ("HTTP/01.1", "HTTP/1.01", "HTTP/1.10"), and one that serves a version it
// does not know is still served a request. The request line is split as each kind of server
// splits it: at SP only; at SP and HTAB; at every ASCII blank (SP, HTAB, VT, FF, CR); at what
// Python takes for white space in a Latin-1 line (those and 0x1C-0x1F, 0x85, 0xA0); and also at a
// UTF-8 NBSP or NEL (0xC2 0xA0, 0xC2 0x85). The first two ways take no blank before the method.
// A split is a request line when it has three parts, a token method of at most 32 characters and
// such a version. The request is what those splits read; when they read different targets it is
// Ambiguous().
// - Complete at its line end for an HTTP/0.9 request ("GET" and a target, nothing after them),
// which
//   has no version and no header block.
// - NotHttp as soon as no split can become a request line (line protocols, another
//   protocol), and for the HTTP/2 preface ("PRI * HTTP/2.0"). Empty lines alone never are.
// - Incomplete (missing 1) while they still can.
// - Complete once the empty line is there; also, with `truncatedIsComplete`, when the bytes end
//   after a whole request line (then Truncated() and only the whole header lines are read).
// The request is Complete also when the header table cannot be allocated (no headers, no host).
// With `scan`, the bytes must begin with the bytes of the look that left it (when it is not
// empty); it is kept after an Incomplete outcome and emptied after any other.
HTTP_PARSE_OUTCOME ParseHttpRequest(std::span<const uint8_t> bytes, HTTP_REQUEST& request,
                                    bool truncatedIsComplete = false,
                                    HTTP_HEAD_SCAN* scan = nullptr);

// The host as Host() reports it, searched again in the request's header table.
std::string_view FindHost(const HTTP_REQUEST& request);

}  // namespace wexo::drv
