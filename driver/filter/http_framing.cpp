#include "driver/filter/http_framing.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace wexo::drv {
namespace {

// Chunk extensions are allowed, but a chunk-size line longer than this is not followed.
constexpr size_t kMaxChunkSizeLine = 4096;
constexpr size_t kMaxChunkSizeDigits = 15;

constexpr bool IsBlank(uint8_t c) {
    return c == ' ' || c == '\t';
}

constexpr uint8_t Lower(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + ('a' - 'A')) : c;
}

bool EqualsLower(std::span<const uint8_t> text, std::string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (size_t i = 0; i < lower.size(); ++i) {
        if (Lower(text[i]) != static_cast<uint8_t>(lower[i])) {
            return false;
        }
    }
    return true;
}

// Blanks some server splits a request line at (see ParseHttpRequest): the method is the token
// after any of them, and is ended by one.
bool IsLineBlank(std::span<const uint8_t> line, size_t at) {
    const uint8_t c = line[at];
    if (c == 0xC2) {
        return at + 1 < line.size() && (line[at + 1] == 0xA0 || line[at + 1] == 0x85);
    }
    return c == ' ' || c == '\t' || c == 0x0B || c == 0x0C || c == '\r' ||
           (c >= 0x1C && c <= 0x1F) || c == 0x85 || c == 0xA0;
}

size_t SkipLineBlanks(std::span<const uint8_t> line, size_t at) {
    while (at < line.size() && IsLineBlank(line, at)) {
        at += line[at] == 0xC2 ? 2 : 1;
    }
    return at;
}

std::span<const uint8_t> Trim(std::span<const uint8_t> text) {
    while (!text.empty() && IsBlank(text.front())) {
        text = text.subspan(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text = text.first(text.size() - 1);
    }
    return text;
}

// Calls visit(item) for each comma-separated item of a list value, trimmed; empty items too.
template <typename Visit>
void ForEachItem(std::span<const uint8_t> value, Visit&& visit) {
    for (;;) {
        const auto* comma =
            static_cast<const uint8_t*>(std::memchr(value.data(), ',', value.size()));
        if (comma == nullptr) {
            visit(Trim(value));
            return;
        }
        size_t at = static_cast<size_t>(comma - value.data());
        visit(Trim(value.first(at)));
        value = value.subspan(at + 1);
    }
}

}  // namespace

void HTTP_FRAMING::BeginRequest() {
    phase_ = Phase::RequestLine;
    headBytes_ = 0;
    lineLength_ = 0;
    connect_ = false;
    contentLengthSeen_ = false;
    transferEncodingSeen_ = false;
    chunked_ = false;
    upgradeInHead_ = false;
    upgradeOffered_ = false;
    crPending_ = false;
    contentLength_ = 0;
}

bool HTTP_FRAMING::SkipBody(size_t length) {
    if ((phase_ != Phase::Body && phase_ != Phase::ChunkData) || remaining_ < length) {
        return false;
    }
    remaining_ -= length;
    if (remaining_ == 0) {
        phase_ = phase_ == Phase::Body ? Phase::Between : Phase::ChunkDataEnd;
        lineLength_ = 0;
    }
    return true;
}

HTTP_FRAMING::RESULT HTTP_FRAMING::Feed(std::span<const uint8_t> bytes) {
    size_t at = 0;
    const size_t size = bytes.size();
    while (at < size) {
        switch (phase_) {
            case Phase::Between:
                if (bytes[at] != '\r' && bytes[at] != '\n') {
                    return {Step::RequestStart, at};
                }
                ++at;
                break;
            case Phase::Body:
            case Phase::ChunkData: {
                uint64_t take = std::min<uint64_t>(remaining_, size - at);
                remaining_ -= take;
                at += static_cast<size_t>(take);
                if (remaining_ == 0) {
                    phase_ = phase_ == Phase::Body ? Phase::Between : Phase::ChunkDataEnd;
                    lineLength_ = 0;
                }
                break;
            }
            case Phase::ChunkDataEnd:
                // The line end after a chunk's data: CR LF, or a bare LF.
                if (bytes[at] == '\r' && lineLength_ == 0) {
                    lineLength_ = 1;
                } else if (bytes[at] == '\n') {
                    phase_ = Phase::ChunkSize;
                    lineLength_ = 0;
                } else {
                    Fail();
                    return {Step::Error, at};
                }
                ++at;
                break;
            case Phase::Tunnel:
                return {Step::Tunnel, at};
            case Phase::Error:
                return {Step::Error, at};
            case Phase::RequestLine:
            case Phase::HeaderLine:
            case Phase::ChunkSize:
            case Phase::Trailer: {
                if (phase_ == Phase::RequestLine && lineLength_ == 0 &&
                    (bytes[at] == '\r' || bytes[at] == '\n')) {
                    // An empty line before the request line: skipped, but part of the head.
                    if (++headBytes_ > kMaxHttpHeadBytes) {
                        Fail();
                        return {Step::Error, at};
                    }
                    ++at;
                    break;
                }
                const auto* lineFeed =
                    static_cast<const uint8_t*>(std::memchr(bytes.data() + at, '\n', size - at));
                size_t stop =
                    lineFeed != nullptr ? static_cast<size_t>(lineFeed - bytes.data()) : size;
                size_t length = stop - at;
                if (phase_ != Phase::RequestLine && length > 0) {
                    // A CR is a line end only right before the LF: the last byte here may still
                    // become one, any before it (or one pending from the last piece) cannot. The
                    // error is reported just past that CR, however the bytes were cut.
                    const auto* cr = static_cast<const uint8_t*>(
                        std::memchr(bytes.data() + at, '\r', length - 1));
                    if (crPending_ || cr != nullptr) {
                        Fail();
                        return {Step::Error,
                                crPending_ ? at : static_cast<size_t>(cr - bytes.data()) + 1};
                    }
                    crPending_ = bytes[stop - 1] == '\r';
                }
                if (lineLength_ < kLineCapture) {
                    size_t copy = std::min(length, kLineCapture - lineLength_);
                    std::memcpy(line_ + lineLength_, bytes.data() + at, copy);
                }
                lineLength_ += length;
                const bool head = InHead();
                if (head || phase_ == Phase::Trailer) {
                    headBytes_ += length + (lineFeed != nullptr ? 1 : 0);
                    if (headBytes_ > kMaxHttpHeadBytes) {
                        Fail();
                        return {Step::Error, at};
                    }
                } else if (lineLength_ > kMaxChunkSizeLine) {
                    Fail();
                    return {Step::Error, at};
                }
                at = stop;
                if (lineFeed == nullptr) {
                    break;
                }
                ++at;
                crPending_ = false;
                const bool wasHeaderLine = phase_ == Phase::HeaderLine;
                if (!EndOfLine()) {
                    return {Step::Error, at};
                }
                if (wasHeaderLine && phase_ == Phase::Tunnel) {
                    return {Step::Tunnel, at};
                }
                if (wasHeaderLine && phase_ != Phase::HeaderLine) {
                    return {Step::HeadEnd, at};
                }
                break;
            }
        }
    }
    if (phase_ == Phase::Tunnel) {
        return {Step::Tunnel, at};
    }
    return {phase_ == Phase::Error ? Step::Error : Step::Consumed, at};
}

bool HTTP_FRAMING::EndOfLine() {
    size_t captured = std::min(lineLength_, kLineCapture);
    const bool overflowed = lineLength_ > kLineCapture;
    // The CR of a CR LF is not part of the line.
    size_t length = lineLength_;
    if (length > 0 && !overflowed && line_[captured - 1] == '\r') {
        --captured;
        --length;
    }
    std::span<const uint8_t> line(line_, captured);
    lineLength_ = 0;
    switch (phase_) {
        case Phase::RequestLine: {
            // The method as the request parse finds it: the token after any blanks, ended by one.
            size_t begin = SkipLineBlanks(line, 0);
            if (begin == captured && overflowed) {
                // Blanks beyond the capture: where the method is cannot be told.
                Fail();
                return false;
            }
            constexpr std::string_view kConnect = "CONNECT";
            connect_ = captured - begin > kConnect.size() &&
                       std::memcmp(line_ + begin, kConnect.data(), kConnect.size()) == 0 &&
                       IsLineBlank(line, begin + kConnect.size());
            phase_ = Phase::HeaderLine;
            return true;
        }
        case Phase::HeaderLine:
            if (length == 0) {
                return HeadComplete();
            }
            if (!HeaderLine(line)) {
                Fail();
                return false;
            }
            if (overflowed) {
                // A framing header whose value did not fit cannot be read.
                const auto* colon = static_cast<const uint8_t*>(std::memchr(line_, ':', captured));
                if (colon == nullptr) {
                    return true;  // a name of 256 bytes or more is no framing header
                }
                std::span<const uint8_t> name =
                    Trim(line.first(static_cast<size_t>(colon - line_)));
                if (EqualsLower(name, "content-length") || EqualsLower(name, "transfer-encoding")) {
                    Fail();
                    return false;
                }
            }
            return true;
        case Phase::ChunkSize:
            if (!ChunkSizeLine(line)) {
                Fail();
                return false;
            }
            return true;
        case Phase::Trailer:
            if (length == 0) {
                phase_ = Phase::Between;
                headBytes_ = 0;
            }
            return true;
        default:
            return true;
    }
}

bool HTTP_FRAMING::HeaderLine(std::span<const uint8_t> line) {
    if (IsBlank(line.front())) {
        // A folded line continues the previous header; servers that accept folding would add it
        // to a framing header's value, so only those are refused.
        return true;
    }
    const auto* colon = static_cast<const uint8_t*>(std::memchr(line.data(), ':', line.size()));
    if (colon == nullptr) {
        return true;
    }
    size_t at = static_cast<size_t>(colon - line.data());
    std::span<const uint8_t> name = Trim(line.first(at));
    std::span<const uint8_t> value = line.subspan(at + 1);
    if (EqualsLower(name, "content-length")) {
        bool ok = true;
        ForEachItem(value, [&](std::span<const uint8_t> item) {
            if (item.empty() || item.size() > 18) {
                ok = false;
                return;
            }
            uint64_t number = 0;
            for (uint8_t c : item) {
                if (c < '0' || c > '9') {
                    ok = false;
                    return;
                }
                number = number * 10 + (c - '0');
            }
            if (contentLengthSeen_ && number != contentLength_) {
                ok = false;
            }
            contentLengthSeen_ = true;
            contentLength_ = number;
        });
        return ok;
    }
    if (EqualsLower(name, "upgrade")) {
        upgradeInHead_ = true;
        return true;
    }
    if (EqualsLower(name, "transfer-encoding")) {
        transferEncodingSeen_ = true;
        ForEachItem(value, [&](std::span<const uint8_t> item) {
            if (!item.empty()) {
                chunked_ = EqualsLower(item, "chunked");
            }
        });
    }
    return true;
}

bool HTTP_FRAMING::HeadComplete() {
    upgradeOffered_ = upgradeInHead_;
    if (connect_) {
        phase_ = Phase::Tunnel;
        return true;
    }
    if (transferEncodingSeen_) {
        if (contentLengthSeen_ || !chunked_) {
            Fail();
            return false;
        }
        phase_ = Phase::ChunkSize;
        return true;
    }
    remaining_ = contentLength_;
    phase_ = remaining_ > 0 ? Phase::Body : Phase::Between;
    return true;
}

bool HTTP_FRAMING::ChunkSizeLine(std::span<const uint8_t> line) {
    uint64_t size = 0;
    size_t digits = 0;
    for (uint8_t c : line) {
        uint8_t value;
        if (c >= '0' && c <= '9') {
            value = c - '0';
        } else if (Lower(c) >= 'a' && Lower(c) <= 'f') {
            value = Lower(c) - 'a' + 10;
        } else {
            break;
        }
        size = size * 16 + value;
        ++digits;
    }
    if (digits == 0 || digits > kMaxChunkSizeDigits) {
        return false;
    }
    std::span<const uint8_t> rest = Trim(line.subspan(digits));
    if (!rest.empty() && rest.front() != ';') {
        return false;
    }
    if (size == 0) {
        phase_ = Phase::Trailer;
        headBytes_ = 0;
    } else {
        phase_ = Phase::ChunkData;
        remaining_ = size;
    }
    return true;
}

}  // namespace wexo::drv
