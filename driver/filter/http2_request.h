// The requests of a cleartext HTTP/2 connection opened with prior knowledge, read from the
// client's bytes as a server reads them, so that each can be judged by the host and path it names
// before it reaches the server.
//
// HTTP/2 header blocks are HPACK-compressed against a dynamic table that both ends keep in step:
// a field of one request may be sent as an index into what an earlier header block added. So the
// reader decodes every header block of the connection in order (requests and trailers alike),
// with libnghttp2's inflater, and skips every other frame by its length. It never buffers a
// frame: header block fragments go to the inflater as they arrive.
//
// Memory is bounded per connection. The HPACK dynamic table is kept at the protocol's initial
// 4096 bytes (kHttp2HeaderTableSize): a client may only grow its encoder's table past that once
// the server announces more, which the filter cannot see, and the common servers announce no
// more. An encoder that grows it anyway makes the reader fail with Fault::Compression. Besides,
// everything the inflater allocates comes from the pool under kHttp2ReaderTag and is refused
// past kHttp2InflaterMemoryBound, and a header block (all fragments of one block) longer than
// kMaxHttp2HeaderBlockBytes is an error. No frame is refused for its length alone: what a client
// may send is set by the server's SETTINGS_MAX_FRAME_SIZE, which the filter does not see and
// which may be as large as a frame's 24-bit length can say, and a skipped frame costs nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "os/kernel/pool.h"

namespace wexo::drv {

// The reader's state and all memory of its HPACK inflater.
inline constexpr uint32_t kHttp2ReaderTag = os::MakePoolTag("WxH2");
// The copies of a request's fields, one block per field.
inline constexpr uint32_t kHttp2FieldTag = os::MakePoolTag("WxHr");

inline constexpr size_t kHttp2PrefaceBytes = 24;
inline constexpr size_t kHttp2FrameHeaderBytes = 9;
inline constexpr size_t kHttp2HeaderTableSize = 4096;
inline constexpr size_t kMaxHttp2HeaderBlockBytes = 64 * 1024;
// Above the most the inflater needs with a 4096-byte table: a table full of small entries and
// then the longest Huffman literal a block can hold (decoded into a buffer of 8/5 its size) come
// to about 148 KiB. A plain browser or curl request needs under 2 KiB.
inline constexpr size_t kHttp2InflaterMemoryBound = 192 * 1024;

// Whether the bytes so far begin like the connection preface "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n":
// at least one byte, and the first min(size, 24) bytes equal the preface's start.
bool IsHttp2PrefaceStart(std::span<const uint8_t> bytes);

struct HTTP2_READER_STATE;

enum class Http2Field : uint8_t { Method, Scheme, Authority, Path, Host };
inline constexpr size_t kHttp2FieldCount = 5;

// One request: the fields a lookup needs, copied out of its header block, and where its frames
// lie in the client's byte stream. Move-only: it owns the copies.
class HTTP2_REQUEST {
  public:
    HTTP2_REQUEST() = default;
    ~HTTP2_REQUEST() { Reset(); }
    HTTP2_REQUEST(HTTP2_REQUEST&& other) noexcept;
    HTTP2_REQUEST& operator=(HTTP2_REQUEST&& other) noexcept;
    HTTP2_REQUEST(const HTTP2_REQUEST&) = delete;
    HTTP2_REQUEST& operator=(const HTTP2_REQUEST&) = delete;

    // The value of the first field of that name (":method", ":scheme", ":authority", ":path",
    // "host", names compared ignoring ASCII case); empty when there is none.
    std::string_view Field(Http2Field field) const;
    std::string_view Method() const { return Field(Http2Field::Method); }
    std::string_view Scheme() const { return Field(Http2Field::Scheme); }
    std::string_view Authority() const { return Field(Http2Field::Authority); }
    std::string_view Path() const { return Field(Http2Field::Path); }
    std::string_view Host() const { return Field(Http2Field::Host); }
    // How many fields of that name the block had (saturating at 65535). More than one makes the
    // request malformed for a server, which should then refuse it, but only the first is kept.
    uint16_t Count(Http2Field field) const;
    bool Has(Http2Field field) const { return Count(field) > 0; }
    // Any of the five fields more than once.
    bool Repeated() const;

    uint32_t StreamId() const { return streamId_; }
    // The HEADERS frame carried END_STREAM: the request has no body.
    bool EndStream() const { return endStream_; }
    // Stream offset of the first byte of the request's HEADERS frame (its 9-byte frame header).
    uint64_t HeadersBegin() const { return headersBegin_; }
    // Stream offset just past the frame that ends the header block (its padding included).
    uint64_t HeadersEnd() const { return headersEnd_; }

    // Frees the copies and empties the request.
    void Reset();

  private:
    friend struct HTTP2_READER_STATE;

    struct FIELD {
        char* data = nullptr;
        uint32_t length = 0;
        uint16_t count = 0;
    };

    // False when the copy cannot be allocated.
    bool Record(Http2Field field, const uint8_t* value, size_t length);

    FIELD fields_[kHttp2FieldCount];
    uint32_t streamId_ = 0;
    bool endStream_ = false;
    uint64_t headersBegin_ = 0;
    uint64_t headersEnd_ = 0;
};

// One per connection, fed the client's bytes in stream order in any segmentation. Move-only; a
// moved-from reader fails every Feed with Fault::NoMemory. Nothing it does throws.
class HTTP2_REQUEST_READER {
  public:
    enum class Step : uint8_t {
        NeedMore,  // every byte given was taken; `missing` tells the least still due, if known
        Request,   // `consumed` bytes were taken, up to the end of a request: see Request()
        NotHttp2,  // the preface differs at the byte after the `consumed` ones
        // A fault (see LastFault()) noticed in the `consumed` bytes; nothing more is taken. Inside
        // a header block, how far the inflater read before it noticed depends on the pieces.
        Error,
    };
    enum class Fault : uint8_t {
        None,
        NoMemory,                // state, inflater or field copy refused by the pool or the bound
        FrameSize,               // HEADERS too short for its padding and priority fields
        Padding,                 // padding longer than what the frame has left for it
        StreamId,                // HEADERS on stream 0 or on an even (server-side) stream
        ContinuationExpected,    // a header block is open and another frame came
        ContinuationUnexpected,  // CONTINUATION with no open header block
        PushPromise,             // clients never send PUSH_PROMISE; its block cannot be followed
        HeaderBlockTooLarge,     // fragments of one block over kMaxHttp2HeaderBlockBytes
        Compression,             // the inflater refused the block
    };
    struct RESULT {
        Step step;
        size_t consumed;
        // NeedMore: bytes the preface, the frame header or the frame being read still lacks,
        // plus a frame header when the header block continues in a further frame.
        uint32_t missing;
    };

    HTTP2_REQUEST_READER() noexcept;
    ~HTTP2_REQUEST_READER();
    HTTP2_REQUEST_READER(HTTP2_REQUEST_READER&& other) noexcept;
    HTTP2_REQUEST_READER& operator=(HTTP2_REQUEST_READER&& other) noexcept;
    HTTP2_REQUEST_READER(const HTTP2_REQUEST_READER&) = delete;
    HTTP2_REQUEST_READER& operator=(const HTTP2_REQUEST_READER&) = delete;

    // Takes bytes until a request is complete or all are taken. After Request, feed the rest from
    // `consumed` on, now or later: the reader does not look past a request's end, so a caller can
    // hold what follows until the request is judged. After NotHttp2 or Error nothing more is
    // taken (every later Feed answers the same with 0 consumed).
    RESULT Feed(std::span<const uint8_t> bytes) noexcept;

    // The request last reported by Step::Request, kept until the next one is reported.
    const HTTP2_REQUEST& Request() const;
    HTTP2_REQUEST TakeRequest();

    Fault LastFault() const;
    // Stream bytes taken so far.
    uint64_t Offset() const;
    // The earliest stream offset taken that may belong to a request not yet complete: the start
    // of the HEADERS frame whose block is being read when it opens a new stream, the start of a
    // frame header not yet whole, else Offset(). Bytes before it can pass to the server.
    uint64_t HoldFrom() const;

  private:
    void Release();

    HTTP2_READER_STATE* state_ = nullptr;
};

}  // namespace wexo::drv
