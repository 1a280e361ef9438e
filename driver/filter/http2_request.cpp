#include "driver/filter/http2_request.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

namespace wexo::drv {
namespace {

constexpr std::string_view kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";
static_assert(kPreface.size() == kHttp2PrefaceBytes);

constexpr uint8_t kTypeHeaders = 0x1;
constexpr uint8_t kTypePushPromise = 0x5;
constexpr uint8_t kTypeContinuation = 0x9;
constexpr uint8_t kFlagEndStream = 0x1;
constexpr uint8_t kFlagEndHeaders = 0x4;
constexpr uint8_t kFlagPadded = 0x8;
constexpr uint8_t kFlagPriority = 0x20;
constexpr size_t kPriorityBytes = 5;

constexpr std::string_view kFieldNames[kHttp2FieldCount] = {":method", ":scheme", ":authority",
                                                            ":path", "host"};

constexpr uint8_t FoldCase(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

// `lower` is lower-case ASCII.
bool EqualsIgnoringCase(const uint8_t* bytes, size_t length, std::string_view lower) {
    if (length != lower.size()) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        if (FoldCase(bytes[i]) != static_cast<uint8_t>(lower[i])) {
            return false;
        }
    }
    return true;
}

int FieldOf(const uint8_t* name, size_t length) {
    for (size_t i = 0; i < kHttp2FieldCount; ++i) {
        if (EqualsIgnoringCase(name, length, kFieldNames[i])) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace

// Lives in one pool block so that the inflater's allocator keeps a stable pointer to it while
// the reader that owns it is moved.
struct HTTP2_READER_STATE {
    enum class Phase : uint8_t {
        Preface,
        FrameHeader,
        PadLength,
        Priority,
        Fragment,
        Padding,
        Skip,
        NotHttp2,
        Failed,
    };

    // Every inflater block starts with its size, so that realloc can copy and the bound can be
    // kept.
    struct alignas(alignof(std::max_align_t)) BLOCK_HEADER {
        size_t size;
    };

    // nghttp2_hd_inflate_new2 keeps the pointer to the allocator it is given, so the allocator
    // must live as long as the inflater.
    nghttp2_mem memory = {};
    nghttp2_hd_inflater* inflater = nullptr;
    size_t inflaterBytes = 0;

    Phase phase = Phase::Preface;
    HTTP2_REQUEST_READER::Fault fault = HTTP2_REQUEST_READER::Fault::None;
    uint64_t offset = 0;

    uint8_t frameHeader[kHttp2FrameHeaderBytes] = {};
    size_t frameHeaderBytes = 0;
    uint64_t frameBegin = 0;
    uint8_t frameFlags = 0;
    uint32_t frameStream = 0;
    uint32_t frameLeft = 0;    // payload bytes of the current frame not yet taken
    bool headerFrame = false;  // HEADERS or CONTINUATION
    uint32_t fragmentLeft = 0;
    uint32_t padLength = 0;
    uint32_t priorityLeft = 0;

    // The header block being read: its stream, whether it opened a request, its size so far.
    bool blockOpen = false;  // a frame of it was read and END_HEADERS has not come yet
    bool blockIsRequest = false;
    uint32_t blockStream = 0;
    size_t blockBytes = 0;
    uint32_t lastClientStream = 0;

    HTTP2_REQUEST building;
    HTTP2_REQUEST reported;

    static void* Allocate(size_t size, void* user);
    static void Free(void* block, void* user);
    static void* AllocateZeroed(size_t count, size_t size, void* user);
    static void* Reallocate(void* block, size_t size, void* user);

    bool Start();
    HTTP2_REQUEST_READER::RESULT Feed(std::span<const uint8_t> bytes);
    void Fail(HTTP2_REQUEST_READER::Fault why) {
        fault = why;
        phase = Phase::Failed;
        blockIsRequest = false;
        building.Reset();
    }
    // The frame header is whole: decide what its payload is. False on a fault.
    bool BeginFrame();
    // The header fields before the fragment are taken: the fragment's size is known.
    bool BeginFragment();
    // Inflates fragment bytes, or ends the block when `final`. False on a fault.
    bool Inflate(const uint8_t* data, size_t size, bool final);
    // The current frame is taken whole. True when it ended a request's header block.
    bool EndFrame();
    uint32_t Missing() const;
};

void* HTTP2_READER_STATE::Allocate(size_t size, void* user) {
    auto* state = static_cast<HTTP2_READER_STATE*>(user);
    size = std::max<size_t>(size, 1);
    if (size > kHttp2InflaterMemoryBound - state->inflaterBytes) {
        return nullptr;
    }
    void* block = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, sizeof(BLOCK_HEADER) + size,
                                            kHttp2ReaderTag);
    if (block == nullptr) {
        return nullptr;
    }
    auto* header = static_cast<BLOCK_HEADER*>(block);
    header->size = size;
    state->inflaterBytes += size;
    return header + 1;
}

void HTTP2_READER_STATE::Free(void* block, void* user) {
    if (block == nullptr) {
        return;
    }
    auto* state = static_cast<HTTP2_READER_STATE*>(user);
    auto* header = static_cast<BLOCK_HEADER*>(block) - 1;
    state->inflaterBytes -= header->size;
    os::ExFreePoolWithTag(header, kHttp2ReaderTag);
}

void* HTTP2_READER_STATE::AllocateZeroed(size_t count, size_t size, void* user) {
    if (size != 0 && count > kHttp2InflaterMemoryBound / size) {
        return nullptr;
    }
    void* block = Allocate(count * size, user);
    if (block != nullptr) {
        std::memset(block, 0, count * size);
    }
    return block;
}

void* HTTP2_READER_STATE::Reallocate(void* block, size_t size, void* user) {
    if (block == nullptr) {
        return Allocate(size, user);
    }
    void* moved = Allocate(size, user);
    if (moved == nullptr) {
        return nullptr;
    }
    const auto* header = static_cast<BLOCK_HEADER*>(block) - 1;
    std::memcpy(moved, block, std::min(header->size, size));
    Free(block, user);
    return moved;
}

bool HTTP2_READER_STATE::Start() {
    memory = {this, &Allocate, &Free, &AllocateZeroed, &Reallocate};
    if (nghttp2_hd_inflate_new2(&inflater, &memory) != 0) {
        inflater = nullptr;
        return false;
    }
    // The library's default today; set so that a later default cannot widen the bound.
    if (nghttp2_hd_inflate_change_table_size(inflater, kHttp2HeaderTableSize) != 0) {
        nghttp2_hd_inflate_del(inflater);
        inflater = nullptr;
        return false;
    }
    return true;
}

bool HTTP2_READER_STATE::BeginFrame() {
    using Fault = HTTP2_REQUEST_READER::Fault;
    const uint8_t* h = frameHeader;
    frameLeft = static_cast<uint32_t>(h[0]) << 16 | static_cast<uint32_t>(h[1]) << 8 | h[2];
    const uint8_t type = h[3];
    frameFlags = h[4];
    frameStream = (static_cast<uint32_t>(h[5]) << 24 | static_cast<uint32_t>(h[6]) << 16 |
                   static_cast<uint32_t>(h[7]) << 8 | h[8]) &
                  0x7FFFFFFFu;
    padLength = 0;
    priorityLeft = 0;
    fragmentLeft = 0;
    headerFrame = type == kTypeHeaders || type == kTypeContinuation;

    if (blockOpen) {
        // Nothing may come between the frames of one header block: a server reads anything
        // else as a connection error.
        if (type != kTypeContinuation || frameStream != blockStream) {
            Fail(Fault::ContinuationExpected);
            return false;
        }
        fragmentLeft = frameLeft;
        phase = Phase::Fragment;
        return BeginFragment();
    }
    switch (type) {
        case kTypeHeaders: {
            if (frameStream == 0 || frameStream % 2 == 0) {
                Fail(Fault::StreamId);
                return false;
            }
            size_t fixed = ((frameFlags & kFlagPadded) ? 1 : 0) +
                           ((frameFlags & kFlagPriority) ? kPriorityBytes : 0);
            if (frameLeft < fixed) {
                Fail(Fault::FrameSize);
                return false;
            }
            blockStream = frameStream;
            blockBytes = 0;
            // A stream id at or below one already used cannot open a request: it is either the
            // trailers of an open stream or, for a server, a connection error.
            blockIsRequest = frameStream > lastClientStream;
            if (blockIsRequest) {
                lastClientStream = frameStream;
                building.Reset();
                building.streamId_ = frameStream;
                building.endStream_ = (frameFlags & kFlagEndStream) != 0;
                building.headersBegin_ = frameBegin;
            }
            if (frameFlags & kFlagPadded) {
                phase = Phase::PadLength;
                return true;
            }
            if (frameFlags & kFlagPriority) {
                priorityLeft = kPriorityBytes;
                phase = Phase::Priority;
                return true;
            }
            fragmentLeft = frameLeft;
            phase = Phase::Fragment;
            return BeginFragment();
        }
        case kTypeContinuation:
            Fail(Fault::ContinuationUnexpected);
            return false;
        case kTypePushPromise:
            Fail(Fault::PushPromise);
            return false;
        default:
            phase = Phase::Skip;
            return true;
    }
}

bool HTTP2_READER_STATE::BeginFragment() {
    if (fragmentLeft > kMaxHttp2HeaderBlockBytes - blockBytes) {
        Fail(HTTP2_REQUEST_READER::Fault::HeaderBlockTooLarge);
        return false;
    }
    blockBytes += fragmentLeft;
    return true;
}

bool HTTP2_READER_STATE::Inflate(const uint8_t* data, size_t size, bool final) {
    using Fault = HTTP2_REQUEST_READER::Fault;
    static const uint8_t kNothing = 0;
    if (data == nullptr) {
        data = &kNothing;
    }
    while (true) {
        nghttp2_nv field;
        int flags = 0;
#if NGHTTP2_VERSION_NUM >= 0x013d00
        nghttp2_ssize used = nghttp2_hd_inflate_hd3(inflater, &field, &flags, data, size, final);
#else
        ssize_t used = nghttp2_hd_inflate_hd2(inflater, &field, &flags, data, size, final);
#endif
        if (used < 0) {
            Fail(used == NGHTTP2_ERR_NOMEM ? Fault::NoMemory : Fault::Compression);
            return false;
        }
        data += used;
        size -= static_cast<size_t>(used);
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0 && blockIsRequest) {
            int which = FieldOf(field.name, field.namelen);
            if (which >= 0 &&
                !building.Record(static_cast<Http2Field>(which), field.value, field.valuelen)) {
                Fail(Fault::NoMemory);
                return false;
            }
        }
        if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
            nghttp2_hd_inflate_end_headers(inflater);
            return true;
        }
        if ((flags & NGHTTP2_HD_INFLATE_EMIT) == 0 && size == 0) {
            return true;
        }
    }
}

bool HTTP2_READER_STATE::EndFrame() {
    phase = Phase::FrameHeader;
    frameHeaderBytes = 0;
    if (!headerFrame) {
        return false;
    }
    if (!(frameFlags & kFlagEndHeaders)) {
        blockOpen = true;
        return false;
    }
    blockOpen = false;
    if (!blockIsRequest) {
        return false;
    }
    blockIsRequest = false;
    building.headersEnd_ = offset;
    reported = std::move(building);
    return true;
}

uint32_t HTTP2_READER_STATE::Missing() const {
    switch (phase) {
        case Phase::Preface:
            return static_cast<uint32_t>(kHttp2PrefaceBytes - offset);
        case Phase::FrameHeader:
            return static_cast<uint32_t>(kHttp2FrameHeaderBytes - frameHeaderBytes);
        case Phase::PadLength:
        case Phase::Priority:
        case Phase::Fragment:
        case Phase::Padding:
        case Phase::Skip: {
            bool continues = headerFrame && (frameFlags & kFlagEndHeaders) == 0;
            return frameLeft + (continues ? static_cast<uint32_t>(kHttp2FrameHeaderBytes) : 0);
        }
        case Phase::NotHttp2:
        case Phase::Failed:
            return 0;
    }
    return 0;
}

HTTP2_REQUEST_READER::RESULT HTTP2_READER_STATE::Feed(std::span<const uint8_t> bytes) {
    using Step = HTTP2_REQUEST_READER::Step;
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    size_t at = 0;
    if (phase == Phase::NotHttp2) {
        return {Step::NotHttp2, 0, 0};
    }
    if (phase == Phase::Failed) {
        return {Step::Error, 0, 0};
    }
    while (true) {
        // Steps that need no byte: the end of a fragment, of a frame (an empty frame ends as
        // soon as its header is whole).
        if (phase == Phase::Fragment && fragmentLeft == 0) {
            if ((frameFlags & kFlagEndHeaders) && !Inflate(nullptr, 0, true)) {
                return {Step::Error, at, 0};
            }
            phase = padLength > 0 ? Phase::Padding : Phase::Skip;
        }
        if ((phase == Phase::Padding || phase == Phase::Skip) && frameLeft == 0) {
            if (EndFrame()) {
                return {Step::Request, at, 0};
            }
            continue;
        }
        if (at == size) {
            break;
        }
        const size_t available = size - at;
        switch (phase) {
            case Phase::Preface: {
                size_t take = std::min(available, kHttp2PrefaceBytes - static_cast<size_t>(offset));
                for (size_t i = 0; i < take; ++i) {
                    if (data[at + i] != static_cast<uint8_t>(kPreface[offset + i])) {
                        // Report at once, so that other traffic is not held for bytes that
                        // cannot make it HTTP/2.
                        offset += i;
                        at += i;
                        phase = Phase::NotHttp2;
                        return {Step::NotHttp2, at, 0};
                    }
                }
                offset += take;
                at += take;
                if (offset == kHttp2PrefaceBytes) {
                    phase = Phase::FrameHeader;
                    frameHeaderBytes = 0;
                }
                break;
            }
            case Phase::FrameHeader: {
                if (frameHeaderBytes == 0) {
                    frameBegin = offset;
                }
                size_t take = std::min(available, kHttp2FrameHeaderBytes - frameHeaderBytes);
                std::memcpy(frameHeader + frameHeaderBytes, data + at, take);
                frameHeaderBytes += take;
                offset += take;
                at += take;
                if (frameHeaderBytes == kHttp2FrameHeaderBytes && !BeginFrame()) {
                    return {Step::Error, at, 0};
                }
                break;
            }
            case Phase::PadLength: {
                padLength = data[at];
                ++at;
                ++offset;
                --frameLeft;
                size_t priority = (frameFlags & kFlagPriority) ? kPriorityBytes : 0;
                if (padLength > frameLeft - priority) {
                    Fail(HTTP2_REQUEST_READER::Fault::Padding);
                    return {Step::Error, at, 0};
                }
                if (priority > 0) {
                    priorityLeft = kPriorityBytes;
                    phase = Phase::Priority;
                } else {
                    fragmentLeft = frameLeft - padLength;
                    phase = Phase::Fragment;
                    if (!BeginFragment()) {
                        return {Step::Error, at, 0};
                    }
                }
                break;
            }
            case Phase::Priority: {
                // The dependency and weight only order the server's work.
                size_t take = std::min<size_t>(available, priorityLeft);
                priorityLeft -= static_cast<uint32_t>(take);
                frameLeft -= static_cast<uint32_t>(take);
                offset += take;
                at += take;
                if (priorityLeft == 0) {
                    fragmentLeft = frameLeft - padLength;
                    phase = Phase::Fragment;
                    if (!BeginFragment()) {
                        return {Step::Error, at, 0};
                    }
                }
                break;
            }
            case Phase::Fragment: {
                size_t take = std::min<size_t>(available, fragmentLeft);
                if (!Inflate(data + at, take, false)) {
                    return {Step::Error, at, 0};
                }
                fragmentLeft -= static_cast<uint32_t>(take);
                frameLeft -= static_cast<uint32_t>(take);
                offset += take;
                at += take;
                break;
            }
            case Phase::Padding:
            case Phase::Skip: {
                size_t take = std::min<size_t>(available, frameLeft);
                frameLeft -= static_cast<uint32_t>(take);
                offset += take;
                at += take;
                break;
            }
            case Phase::NotHttp2:
            case Phase::Failed:
                return {Step::Error, at, 0};
        }
    }
    return {Step::NeedMore, at, Missing()};
}

bool IsHttp2PrefaceStart(std::span<const uint8_t> bytes) {
    size_t compared = std::min(bytes.size(), kHttp2PrefaceBytes);
    return compared > 0 && std::memcmp(bytes.data(), kPreface.data(), compared) == 0;
}

HTTP2_REQUEST::HTTP2_REQUEST(HTTP2_REQUEST&& other) noexcept {
    *this = std::move(other);
}

HTTP2_REQUEST& HTTP2_REQUEST::operator=(HTTP2_REQUEST&& other) noexcept {
    if (this != &other) {
        Reset();
        for (size_t i = 0; i < kHttp2FieldCount; ++i) {
            fields_[i] = std::exchange(other.fields_[i], {});
        }
        streamId_ = std::exchange(other.streamId_, 0);
        endStream_ = std::exchange(other.endStream_, false);
        headersBegin_ = std::exchange(other.headersBegin_, 0);
        headersEnd_ = std::exchange(other.headersEnd_, 0);
    }
    return *this;
}

void HTTP2_REQUEST::Reset() {
    for (FIELD& field : fields_) {
        if (field.data != nullptr) {
            os::ExFreePoolWithTag(field.data, kHttp2FieldTag);
        }
        field = {};
    }
    streamId_ = 0;
    endStream_ = false;
    headersBegin_ = 0;
    headersEnd_ = 0;
}

std::string_view HTTP2_REQUEST::Field(Http2Field which) const {
    const FIELD& field = fields_[static_cast<size_t>(which)];
    return {field.data, field.length};
}

uint16_t HTTP2_REQUEST::Count(Http2Field which) const {
    return fields_[static_cast<size_t>(which)].count;
}

bool HTTP2_REQUEST::Repeated() const {
    return std::any_of(std::begin(fields_), std::end(fields_),
                       [](const FIELD& field) { return field.count > 1; });
}

bool HTTP2_REQUEST::Record(Http2Field which, const uint8_t* value, size_t length) {
    FIELD& field = fields_[static_cast<size_t>(which)];
    if (field.count == UINT16_MAX) {
        return true;
    }
    if (field.count++ > 0 || length == 0) {
        return true;
    }
    // A value is at most 8/5 of the block that carries it; the test only keeps lengths exact.
    if (length > UINT32_MAX) {
        return false;
    }
    void* copy = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, length, kHttp2FieldTag);
    if (copy == nullptr) {
        return false;
    }
    std::memcpy(copy, value, length);
    field.data = static_cast<char*>(copy);
    field.length = static_cast<uint32_t>(length);
    return true;
}

HTTP2_REQUEST_READER::HTTP2_REQUEST_READER() noexcept {
    void* block = os::ExAllocatePoolWithTag(os::PoolType::NonPaged, sizeof(HTTP2_READER_STATE),
                                            kHttp2ReaderTag);
    if (block == nullptr) {
        return;
    }
    auto* state = new (block) HTTP2_READER_STATE();
    if (!state->Start()) {
        state->~HTTP2_READER_STATE();
        os::ExFreePoolWithTag(block, kHttp2ReaderTag);
        return;
    }
    state_ = state;
}

HTTP2_REQUEST_READER::~HTTP2_REQUEST_READER() {
    Release();
}

void HTTP2_REQUEST_READER::Release() {
    if (state_ == nullptr) {
        return;
    }
    nghttp2_hd_inflate_del(state_->inflater);
    state_->~HTTP2_READER_STATE();
    os::ExFreePoolWithTag(state_, kHttp2ReaderTag);
    state_ = nullptr;
}

HTTP2_REQUEST_READER::HTTP2_REQUEST_READER(HTTP2_REQUEST_READER&& other) noexcept
    : state_(std::exchange(other.state_, nullptr)) {}

HTTP2_REQUEST_READER& HTTP2_REQUEST_READER::operator=(HTTP2_REQUEST_READER&& other) noexcept {
    if (this != &other) {
        Release();
        state_ = std::exchange(other.state_, nullptr);
    }
    return *this;
}

HTTP2_REQUEST_READER::RESULT HTTP2_REQUEST_READER::Feed(std::span<const uint8_t> bytes) noexcept {
    if (state_ == nullptr) {
        return {Step::Error, 0, 0};
    }
    return state_->Feed(bytes);
}

const HTTP2_REQUEST& HTTP2_REQUEST_READER::Request() const {
    static const HTTP2_REQUEST kNone;
    return state_ != nullptr ? state_->reported : kNone;
}

HTTP2_REQUEST HTTP2_REQUEST_READER::TakeRequest() {
    return state_ != nullptr ? std::move(state_->reported) : HTTP2_REQUEST();
}

HTTP2_REQUEST_READER::Fault HTTP2_REQUEST_READER::LastFault() const {
    return state_ != nullptr ? state_->fault : Fault::NoMemory;
}

uint64_t HTTP2_REQUEST_READER::Offset() const {
    return state_ != nullptr ? state_->offset : 0;
}

uint64_t HTTP2_REQUEST_READER::HoldFrom() const {
    if (state_ == nullptr) {
        return 0;
    }
    const HTTP2_READER_STATE& s = *state_;
    if (s.blockIsRequest) {
        return s.building.HeadersBegin();
    }
    if (s.phase == HTTP2_READER_STATE::Phase::FrameHeader && s.frameHeaderBytes > 0) {
        return s.frameBegin;
    }
    return s.offset;
}

}  // namespace wexo::drv
