// Where the requests of an HTTP/1.x connection begin and end, read from the client's bytes as a
// server reads them: a request head ends at its empty line; its body runs for its Content-Length
// or through its chunks and trailer; whatever follows is the next request. The filter needs this
// to judge every request of a keep-alive or proxy connection, not only the first, without taking
// the text of a body for a request or a request for a body.
//
// The reader is fed the client's bytes in order, in any segmentation, and keeps only small
// bounded state: the start of the current line (for the two framing headers and chunk sizes) and
// counters. Framing that servers could read in two ways (both Content-Length and
// Transfer-Encoding, Content-Length values that differ, a Transfer-Encoding that does not end in
// "chunked", an unreadable chunk size, a bare CR inside a header, chunk-size or trailer line,
// which some servers take for a line end) is an error: the next request's start cannot be known.
// Empty lines before a request line are skipped as the request parse skips them, whether they
// come between requests or after BeginRequest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace wexo::drv {

// A request head longer than this (empty lines before its request line included) is an error: no
// server takes one, and the filter must not follow a head without bound.
inline constexpr size_t kMaxHttpHeadBytes = 1024 * 1024;

class HTTP_FRAMING {
  public:
    enum class Step : uint8_t {
        Consumed,      // every byte given was taken; nothing to report
        RequestStart,  // the bytes from `consumed` on begin a request (not yet taken)
        HeadEnd,       // `consumed` bytes were taken, the last being the head's final line end
        Tunnel,        // the head of a CONNECT ended: what follows is not HTTP of this reader
        Error,         // framing that cannot be followed; nothing more is taken
    };
    struct RESULT {
        Step step;
        size_t consumed;
    };

    // Takes bytes until it has something to report. After RequestStart call BeginRequest and
    // feed the bytes again from there.
    RESULT Feed(std::span<const uint8_t> bytes);
    // The bytes at the reported request start are taken as a request head.
    void BeginRequest();
    // Takes `length` bytes without looking at them when they are all body of the current
    // request; false (nothing taken) otherwise.
    bool SkipBody(size_t length);
    // Back to the start: the next byte that is not an empty line begins a request.
    void Reset() { *this = HTTP_FRAMING(); }

    bool InHead() const { return phase_ == Phase::RequestLine || phase_ == Phase::HeaderLine; }
    // A CONNECT head ended: every later byte belongs to the tunnel.
    bool InTunnel() const { return phase_ == Phase::Tunnel; }
    // The head that ended last had an "Upgrade" header (any value, any case, blanks before its
    // ":"): bytes after it that are not HTTP may be the protocol a server switched to. False from
    // BeginRequest on until the new head ends.
    bool UpgradeOffered() const { return upgradeOffered_; }

  private:
    enum class Phase : uint8_t {
        Between,
        RequestLine,
        HeaderLine,
        Body,
        ChunkSize,
        ChunkData,
        ChunkDataEnd,
        Trailer,
        Tunnel,
        Error,
    };
    static constexpr size_t kLineCapture = 256;

    // A whole line (its text without the line end) in the phase it belongs to; false on error.
    bool EndOfLine();
    bool HeaderLine(std::span<const uint8_t> line);
    bool HeadComplete();
    bool ChunkSizeLine(std::span<const uint8_t> line);
    void Fail() { phase_ = Phase::Error; }

    Phase phase_ = Phase::Between;
    uint64_t remaining_ = 0;  // body or chunk bytes still to come
    size_t headBytes_ = 0;
    // The current line: its first bytes, its full length and whether it overflowed the capture.
    uint8_t line_[kLineCapture] = {};
    size_t lineLength_ = 0;
    // What the head said so far.
    bool connect_ = false;
    bool contentLengthSeen_ = false;
    bool transferEncodingSeen_ = false;
    bool chunked_ = false;  // the last transfer coding named so far is "chunked"
    bool upgradeInHead_ = false;
    bool upgradeOffered_ = false;
    // The bytes of the current line so far end in a CR: a line end if an LF comes next.
    bool crPending_ = false;
    uint64_t contentLength_ = 0;
};

}  // namespace wexo::drv
