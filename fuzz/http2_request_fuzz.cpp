// HTTP/2 request reader over arbitrary client bytes. The first input byte chooses how: bit 0 puts
// the connection preface in front of the rest (so that frames are reached without the fuzzer
// having to find the preface), the other bits the size of the pieces for a second reader. Both
// readers must report the same requests, the same end and the same fault: the reader's results
// may not depend on how the stream is segmented. Offsets stay consistent, every field stays
// within what a header block can carry (8/5 of it, Huffman-coded), and all pool memory is freed
// with the reader.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "driver/filter/http2_request.h"
#include "os/kernel/pool.h"

namespace {

using wexo::drv::HTTP2_REQUEST;
using wexo::drv::HTTP2_REQUEST_READER;
using Step = HTTP2_REQUEST_READER::Step;

#define FUZZ_CHECK(condition) \
    do {                      \
        if (!(condition)) {   \
            __builtin_trap(); \
        }                     \
    } while (0)

constexpr char kPreface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

struct SEEN {
    std::vector<std::string> requests;
    Step last = Step::NeedMore;
    HTTP2_REQUEST_READER::Fault fault = HTTP2_REQUEST_READER::Fault::None;
    uint64_t offset = 0;
};

std::string Describe(const HTTP2_REQUEST& r) {
    std::string text;
    for (size_t i = 0; i < wexo::drv::kHttp2FieldCount; ++i) {
        auto field = static_cast<wexo::drv::Http2Field>(i);
        FUZZ_CHECK(r.Field(field).size() <= wexo::drv::kMaxHttp2HeaderBlockBytes * 8 / 5);
        FUZZ_CHECK(r.Has(field) || r.Field(field).empty());
        text += std::to_string(r.Count(field)) + ":" + std::string(r.Field(field)) + "\n";
    }
    text += std::to_string(r.StreamId()) + " " + std::to_string(r.HeadersBegin()) + " " +
            std::to_string(r.HeadersEnd()) + " " + (r.EndStream() ? "end" : "more");
    return text;
}

SEEN FeedInPieces(std::span<const uint8_t> stream, size_t piece) {
    SEEN seen;
    HTTP2_REQUEST_READER reader;
    uint32_t lastStream = 0;
    size_t at = 0;
    while (at < stream.size() || at == 0) {
        size_t size = std::min(piece, stream.size() - at);
        // An exact-size copy, so that a read past the piece is caught.
        std::vector<uint8_t> copy(stream.begin() + static_cast<ptrdiff_t>(at),
                                  stream.begin() + static_cast<ptrdiff_t>(at + size));
        size_t taken = 0;
        bool stop = false;
        while (true) {
            uint64_t before = reader.Offset();
            auto result = reader.Feed(std::span<const uint8_t>(copy).subspan(taken));
            FUZZ_CHECK(result.consumed <= copy.size() - taken);
            FUZZ_CHECK(reader.Offset() == before + result.consumed);
            FUZZ_CHECK(reader.HoldFrom() <= reader.Offset());
            taken += result.consumed;
            seen.last = result.step;
            if (result.step == Step::NeedMore) {
                FUZZ_CHECK(taken == copy.size());
                FUZZ_CHECK(result.missing > 0);
                break;
            }
            if (result.step != Step::Request) {
                stop = true;
                break;
            }
            const HTTP2_REQUEST& r = reader.Request();
            FUZZ_CHECK(r.HeadersBegin() >= wexo::drv::kHttp2PrefaceBytes);
            FUZZ_CHECK(r.HeadersBegin() + wexo::drv::kHttp2FrameHeaderBytes <= r.HeadersEnd());
            FUZZ_CHECK(r.HeadersEnd() == reader.Offset());
            FUZZ_CHECK(r.StreamId() % 2 == 1 && r.StreamId() > lastStream);
            lastStream = r.StreamId();
            seen.requests.push_back(Describe(r));
        }
        at += taken;
        if (stop || size == 0) {
            break;
        }
    }
    seen.fault = reader.LastFault();
    seen.offset = reader.Offset();
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const uint8_t mode = data[0];
    std::vector<uint8_t> stream;
    if (mode & 1) {
        stream.assign(kPreface, kPreface + wexo::drv::kHttp2PrefaceBytes);
    }
    stream.insert(stream.end(), data + 1, data + size);
    {
        SEEN whole = FeedInPieces(stream, SIZE_MAX);
        SEEN pieces = FeedInPieces(stream, 1 + (mode >> 1));
        FUZZ_CHECK(whole.requests == pieces.requests);
        FUZZ_CHECK(whole.last == pieces.last);
        FUZZ_CHECK(whole.fault == pieces.fault);
        // Where inside a header block the inflater notices a fault depends on the pieces.
        FUZZ_CHECK(whole.offset == pieces.offset || whole.last == Step::Error);
        if (!stream.empty()) {
            FUZZ_CHECK((whole.last == Step::NotHttp2) == !wexo::drv::IsHttp2PrefaceStart(stream));
        }
        if (whole.last == Step::NeedMore) {
            FUZZ_CHECK(whole.offset == stream.size());
        }
    }
    FUZZ_CHECK(os::PoolOutstanding(wexo::drv::kHttp2ReaderTag) == 0);
    FUZZ_CHECK(os::PoolOutstanding(wexo::drv::kHttp2FieldTag) == 0);
    return 0;
}
