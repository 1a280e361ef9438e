#include "driver/filter/tls_parser.h"

#include <algorithm>
#include <cstring>

namespace wexo::drv {
namespace {

constexpr uint8_t kContentHandshake = 22;
constexpr size_t kRecordHeaderSize = 5;
constexpr uint8_t kClientHello = 1;
constexpr uint8_t kServerHello = 2;
constexpr uint8_t kCertificate = 11;
constexpr uint16_t kSupportedVersions = 43;
constexpr uint16_t kServerName = 0;
constexpr uint16_t kEncryptedClientHello = 0xfe0d;
constexpr uint16_t kTls13 = 0x0304;
constexpr size_t kMaxSessionId = 32;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be24(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 16 | static_cast<uint32_t>(p[1]) << 8 | p[2];
}

TLS_PARSE_OUTCOME Complete() {
    return {TlsParseStatus::Complete, 0};
}
TLS_PARSE_OUTCOME NotRecognised() {
    return {TlsParseStatus::NotRecognised, 0};
}
TLS_PARSE_OUTCOME Incomplete(uint64_t missing) {
    return {TlsParseStatus::Incomplete,
            static_cast<uint32_t>(std::min<uint64_t>(missing, UINT32_MAX))};
}

// Content type and major version of a handshake record. The minor version is what a server
// ignores on the first records (TLS 1.3 frames its records as TLS 1.2 or 1.0, and servers take any
// legacy value there), so a client may write any: reading only 03 00 to 03 03 would let a hello
// framed as 03 04 or 03 7F pass unread.
bool IsHandshakeRecordHeader(const uint8_t* header) {
    return header[0] == kContentHandshake && header[1] == 3;
}

// The first `count` (fewer than 5) bytes of a record header could still become a handshake one.
bool BeginsHandshakeRecordHeader(const uint8_t* header, size_t count) {
    return (count < 1 || header[0] == kContentHandshake) && (count < 2 || header[1] == 3);
}

enum class StreamError { None, PastEnd, NoData, BadRecord };

// The client hello as one sequence of bytes that may be spread over several handshake records:
// a client may fragment its hello (some do so on purpose, to hide the server name from filters),
// so a field can straddle a record boundary. Reads go front to back. The hello ends at `end`:
// the end of the first record when the hello fits in it, else the end its handshake length gives.
class HELLO_STREAM {
  public:
    HELLO_STREAM(std::span<const uint8_t> bytes, size_t contentStart, size_t contentEnd, size_t end)
        : bytes_(bytes), position_(contentStart), recordEnd_(contentEnd), end_(end) {}

    size_t Offset() const { return offset_; }
    size_t End() const { return end_; }
    void SetEnd(size_t end) { end_ = end; }
    bool AtEnd() const { return offset_ == end_; }
    // Valid after NoData: the bytes that would complete the hello, as far as can be told.
    uint64_t Missing() const { return missing_; }

    // Copies the next `count` bytes to `out`, or skips them when `out` is null.
    StreamError Read(size_t count, uint8_t* out) {
        if (count > end_ - offset_) {
            return StreamError::PastEnd;
        }
        while (count > 0) {
            if (StreamError error = EnterRecordIfAtItsEnd(); error != StreamError::None) {
                return error;
            }
            size_t present = std::min(recordEnd_, bytes_.size()) - position_;
            if (present == 0) {
                // The record's header promised more than the segment holds.
                size_t recordLeft = recordEnd_ - position_;
                size_t helloLeft = end_ - offset_;
                missing_ =
                    recordLeft +
                    (helloLeft > recordLeft ? kRecordHeaderSize + (helloLeft - recordLeft) : 0);
                return StreamError::NoData;
            }
            size_t take = std::min(count, present);
            if (out != nullptr) {
                std::memcpy(out, bytes_.data() + position_, take);
                out += take;
            }
            position_ += take;
            offset_ += take;
            count -= take;
        }
        return StreamError::None;
    }

    StreamError Skip(size_t count) { return Read(count, nullptr); }

    // Reads `count` bytes into the field: as a view of the caller's bytes when they lie in one
    // record, else as a copy in the field's own storage (count must fit it).
    template <size_t N>
    StreamError Take(size_t count, TLS_FIELD<N>& field) {
        if (count > end_ - offset_) {
            return StreamError::PastEnd;
        }
        if (count > 0) {
            if (StreamError error = EnterRecordIfAtItsEnd(); error != StreamError::None) {
                return error;
            }
        }
        if (recordEnd_ - position_ >= count && bytes_.size() - position_ >= count) {
            field.Point(bytes_.data() + position_, count);
            position_ += count;
            offset_ += count;
            return StreamError::None;
        }
        StreamError error = Read(count, field.Storage());
        if (error == StreamError::None) {
            field.Commit(count);
        }
        return error;
    }

  private:
    // At the end of a record with more of the hello to come: step into the next record, which
    // must be a handshake record. Empty ones are stepped over, as a server's record layer does.
    StreamError EnterRecordIfAtItsEnd() {
        while (position_ == recordEnd_) {
            size_t present = bytes_.size() - position_;
            const uint8_t* header = bytes_.data() + position_;
            if (present < kRecordHeaderSize) {
                if (!BeginsHandshakeRecordHeader(header, present)) {
                    return StreamError::BadRecord;
                }
                missing_ = (kRecordHeaderSize - present) + (end_ - offset_);
                return StreamError::NoData;
            }
            if (!IsHandshakeRecordHeader(header)) {
                return StreamError::BadRecord;
            }
            position_ += kRecordHeaderSize;
            recordEnd_ = position_ + Be16(header + 3);
        }
        return StreamError::None;
    }

    std::span<const uint8_t> bytes_;
    size_t position_;   // offset in bytes_ of the next byte of the hello
    size_t recordEnd_;  // offset in bytes_ where the current record's content ends (may lie past)
    size_t offset_ = 0;
    size_t end_;
    uint64_t missing_ = 0;
};

TLS_PARSE_OUTCOME StreamFailure(StreamError error, const HELLO_STREAM& stream) {
    return error == StreamError::NoData ? Incomplete(stream.Missing()) : NotRecognised();
}

// Once the server name is read, the rest of the extensions matter only for whether one of them is
// an encrypted client hello. The name is final by then, so whatever is missing or malformed past
// it leaves the outcome Complete: the walk just stops.
TLS_PARSE_OUTCOME CompleteAfterName(HELLO_STREAM& stream, TLS_CLIENT_HELLO& hello) {
    uint8_t field[4];
    while (!hello.offersEch && !stream.AtEnd()) {
        if (stream.Read(4, field) != StreamError::None) {
            break;
        }
        if (Be16(field) == kEncryptedClientHello) {
            hello.offersEch = true;
        } else if (stream.Skip(Be16(field + 2)) != StreamError::None) {
            break;
        }
    }
    return Complete();
}

// The hello after its version: random, session ID, cipher suites, compression methods, and the
// extensions up to the server name.
TLS_PARSE_OUTCOME ParseHelloBody(HELLO_STREAM& stream, TLS_CLIENT_HELLO& hello) {
    uint8_t field[5];
    StreamError error = stream.Skip(32);
    if (error == StreamError::None) {
        error = stream.Read(1, field);
    }
    if (error != StreamError::None) {
        return StreamFailure(error, stream);
    }
    size_t sessionIdLength = field[0];
    error = sessionIdLength >= 1 && sessionIdLength <= kMaxSessionId
                ? stream.Take(sessionIdLength, hello.sessionId)
                : stream.Skip(sessionIdLength);
    if (error == StreamError::None) {
        error = stream.Read(2, field);
    }
    if (error == StreamError::None) {
        error = stream.Skip(Be16(field));
    }
    if (error == StreamError::None) {
        error = stream.Read(1, field);
    }
    if (error == StreamError::None) {
        error = stream.Skip(field[0]);
    }
    if (error != StreamError::None) {
        return StreamFailure(error, stream);
    }
    if (stream.AtEnd()) {
        return Complete();
    }
    // The extensions' total length is not trusted: the walk is bounded by the hello's end.
    if (error = stream.Skip(2); error != StreamError::None) {
        return StreamFailure(error, stream);
    }
    while (!stream.AtEnd()) {
        size_t start = stream.Offset();
        if (error = stream.Read(4, field); error != StreamError::None) {
            return StreamFailure(error, stream);
        }
        uint16_t type = Be16(field);
        size_t length = Be16(field + 2);
        if (type == kEncryptedClientHello) {
            hello.offersEch = true;
        }
        // Server name: list length (2), name type (1), name length (2), name. Only the low byte
        // of the name length counts.
        if (type == kServerName && length >= 5 && stream.End() - start >= 9) {
            if (error = stream.Read(5, field); error != StreamError::None) {
                return StreamFailure(error, stream);
            }
            size_t nameLength = field[4];
            if (nameLength == 0) {
                return stream.Skip(length - 5) == StreamError::None
                           ? CompleteAfterName(stream, hello)
                           : Complete();
            }
            if (start + 9 + nameLength <= stream.End()) {
                error = stream.Take(nameLength, hello.serverName);
                if (error != StreamError::None) {
                    return StreamFailure(error, stream);
                }
                // The extension's own length is not trusted for the name; past it, the rest of
                // the extension is skipped only when it fits (else the walk just ends).
                if (length < 5 + nameLength ||
                    stream.Skip(length - 5 - nameLength) != StreamError::None) {
                    return Complete();
                }
                return CompleteAfterName(stream, hello);
            }
            length -= 5;
        }
        if (error = stream.Skip(length); error != StreamError::None) {
            return StreamFailure(error, stream);
        }
    }
    return Complete();
}

TLS_PARSE_OUTCOME ParseRecordHello(std::span<const uint8_t> bytes, TLS_CLIENT_HELLO& hello) {
    // Empty handshake records before the hello are stepped over, as a server's record layer does.
    size_t first = 0;
    while (bytes.size() - first >= kRecordHeaderSize &&
           IsHandshakeRecordHeader(bytes.data() + first) && Be16(bytes.data() + first + 3) == 0) {
        first += kRecordHeaderSize;
    }
    const uint8_t* data = bytes.data() + first;
    const size_t left = bytes.size() - first;
    if (left < kRecordHeaderSize) {
        return BeginsHandshakeRecordHeader(data, left) ? Incomplete(kRecordHeaderSize - left)
                                                       : NotRecognised();
    }
    if (!IsHandshakeRecordHeader(data)) {
        return NotRecognised();
    }
    size_t recordLength = Be16(data + 3);
    size_t present = left - kRecordHeaderSize;
    if (recordLength > present) {
        uint64_t missing = recordLength - present;
        // A hello longer than its record continues in the next one, which must come too.
        if (present >= 4 && data[kRecordHeaderSize] == kClientHello) {
            size_t helloEnd = 4 + static_cast<size_t>(Be24(data + kRecordHeaderSize + 1));
            if (helloEnd > recordLength) {
                missing += kRecordHeaderSize + (helloEnd - recordLength);
            }
        }
        return Incomplete(missing);
    }
    // Until the handshake length is known, only its 4-byte header is read; it may itself be split
    // over records.
    HELLO_STREAM stream(bytes, first + kRecordHeaderSize, first + kRecordHeaderSize + recordLength,
                        4);
    uint8_t field[3];
    StreamError error = stream.Read(1, field);
    if (error != StreamError::None) {
        return StreamFailure(error, stream);
    }
    if (field[0] != kClientHello) {
        return NotRecognised();
    }
    if (error = stream.Read(3, field); error != StreamError::None) {
        return StreamFailure(error, stream);
    }
    // The hello ends where its handshake length says, as a server reads it: a record may go on
    // with later handshake messages, and a hello may go on in later records.
    stream.SetEnd(4 + static_cast<size_t>(Be24(field)));
    if (error = stream.Read(2, field); error != StreamError::None) {
        return StreamFailure(error, stream);
    }
    // Servers negotiate down from any later client version.
    if (field[0] != 3) {
        return NotRecognised();
    }
    hello.major = field[0];
    hello.minor = field[1];
    return ParseHelloBody(stream, hello);
}

// SSL 2.0-compatible hello: 2-byte record length, message type 1, version, then the lengths of
// the cipher specs, the session ID and the challenge.
TLS_PARSE_OUTCOME ParseSsl2Hello(std::span<const uint8_t> bytes, TLS_CLIENT_HELLO& hello) {
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    if (size < 5 || data[2] != kClientHello || data[3] != 3 || data[4] > 3) {
        return NotRecognised();
    }
    constexpr size_t kHeaderSize = 11;
    if (size < kHeaderSize) {
        return Incomplete(kHeaderSize - size);
    }
    size_t cipherSpecsLength = Be16(data + 5);
    size_t sessionIdLength = Be16(data + 7);
    size_t needed = kHeaderSize + cipherSpecsLength + sessionIdLength;
    if (size < needed) {
        return Incomplete(needed - size);
    }
    hello.major = data[3];
    hello.minor = data[4];
    hello.ssl2Form = true;
    // The flow keeps 32 bytes of session ID; a longer one is not one a TLS server would echo.
    if (sessionIdLength >= 1 && sessionIdLength <= kMaxSessionId) {
        hello.sessionId.Point(data + kHeaderSize + cipherSpecsLength, sessionIdLength);
    }
    return Complete();
}

// --- Server flight ---

// Whether the server hello's supported_versions extension selected TLS 1.3 or later (drafts
// included). `at` is the body offset just past the session ID; a malformed extension block
// selects nothing.
bool SelectsTls13(const uint8_t* body, size_t length, size_t at) {
    at += 3;  // cipher suite and compression method
    if (at > length || length - at < 2) {
        return false;
    }
    size_t end = at + 2 + Be16(body + at);
    if (end > length) {
        return false;
    }
    at += 2;
    while (end - at >= 4) {
        uint16_t type = Be16(body + at);
        size_t extensionLength = Be16(body + at + 2);
        at += 4;
        if (extensionLength > end - at) {
            return false;
        }
        if (type == kSupportedVersions && extensionLength == 2) {
            return Be16(body + at) >= kTls13;
        }
        at += extensionLength;
    }
    return false;
}

struct DER_ELEMENT {
    uint8_t tag = 0;
    std::span<const uint8_t> contents;
};

// Reads the element at the front of `rest` and moves `rest` past it. Definite lengths only, of
// at most 4 length bytes; the element must fit in `rest`.
bool ReadDerElement(std::span<const uint8_t>& rest, DER_ELEMENT& element) {
    if (rest.size() < 2) {
        return false;
    }
    element.tag = rest[0];
    size_t header = 2;
    size_t length = rest[1];
    if (length >= 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 4 || rest.size() - header < count) {
            return false;
        }
        length = 0;
        for (size_t i = 0; i < count; ++i) {
            length = length << 8 | rest[header + i];
        }
        header += count;
    }
    if (length > rest.size() - header) {
        return false;
    }
    element.contents = rest.subspan(header, length);
    rest = rest.subspan(header + length);
    return true;
}

// Looks through a distinguished name for the common name (2.5.4.3), using the first attribute
// of each relative distinguished name; the last one found wins. False when the name is malformed.
bool FindCommonName(std::span<const uint8_t> name, std::string_view& commonName) {
    static constexpr uint8_t kCommonNameOid[] = {0x55, 0x04, 0x03};
    while (!name.empty()) {
        DER_ELEMENT set, attribute, oid, value;
        if (!ReadDerElement(name, set)) {
            return false;
        }
        std::span<const uint8_t> inSet = set.contents;
        if (!ReadDerElement(inSet, attribute)) {
            return false;
        }
        std::span<const uint8_t> inAttribute = attribute.contents;
        if (!ReadDerElement(inAttribute, oid) || !ReadDerElement(inAttribute, value)) {
            return false;
        }
        if (oid.contents.size() == sizeof(kCommonNameOid) &&
            std::memcmp(oid.contents.data(), kCommonNameOid, sizeof(kCommonNameOid)) == 0 &&
            !value.contents.empty() && value.contents.size() <= UINT16_MAX) {
            commonName = {reinterpret_cast<const char*>(value.contents.data()),
                          value.contents.size()};
        }
    }
    return true;
}

// Context-specific tag [0]: the explicit version that version 1 certificates leave out.
bool IsVersionTag(uint8_t tag) {
    return (tag & 0xC0) == 0x80 && (tag & 0x1F) == 0;
}

// Certificate: to-be-signed part, then the signature. In the to-be-signed part: version
// (optional), serial number, signature algorithm, issuer, validity, subject.
bool WalkCertificate(std::span<const uint8_t> bytes, std::string_view& issuer,
                     std::string_view& subject) {
    DER_ELEMENT certificate, toBeSigned, element, issuerName, subjectName;
    if (!ReadDerElement(bytes, certificate)) {
        return false;
    }
    std::span<const uint8_t> rest = certificate.contents;
    if (!ReadDerElement(rest, toBeSigned)) {
        return false;
    }
    rest = toBeSigned.contents;
    if (!ReadDerElement(rest, element)) {
        return false;
    }
    if (IsVersionTag(element.tag) && !ReadDerElement(rest, element)) {  // the serial number
        return false;
    }
    return ReadDerElement(rest, element) &&  // signature algorithm
           ReadDerElement(rest, issuerName) && FindCommonName(issuerName.contents, issuer) &&
           ReadDerElement(rest, element) &&  // validity
           ReadDerElement(rest, subjectName) && FindCommonName(subjectName.contents, subject);
}

enum class RecordResult { Continue, Stop };

// The handshake messages of one complete record. Stop: `outcome` is the parse's answer.
RecordResult ParseFlightRecord(const uint8_t* content, size_t length, TLS_SERVER_FLIGHT& flight,
                               TLS_PARSE_OUTCOME& outcome) {
    size_t at = 0;
    while (at < length) {
        size_t left = length - at;
        // A message (or its header) that continues in the next record: servers fragment long
        // certificate chains so. More data cannot make it readable in place, so the flight ends
        // here with what was read, rather than waiting for bytes that are already there or
        // giving up on the connection.
        if (left < 4 || Be24(content + at + 1) > left - 4) {
            outcome = Complete();
            return RecordResult::Stop;
        }
        uint8_t type = content[at];
        size_t messageLength = Be24(content + at + 1);
        const uint8_t* body = content + at + 4;
        if (type == kServerHello) {
            // Version (2), random (32), session ID length (1), session ID, ...
            if (messageLength <= 34) {
                outcome = Incomplete(35 - messageLength);
                return RecordResult::Stop;
            }
            size_t sessionIdLength = body[34];
            if (35 + sessionIdLength > messageLength) {
                outcome = NotRecognised();
                return RecordResult::Stop;
            }
            if (sessionIdLength >= 1 && sessionIdLength <= kMaxSessionId) {
                flight.sessionId = {body + 35, sessionIdLength};
            }
            flight.serverHello = true;
            flight.tls13 = SelectsTls13(body, messageLength, 35 + sessionIdLength);
        } else if (type == kCertificate) {
            // List length (3), then the first certificate's length (3) and the certificate.
            if (messageLength < 6) {
                outcome = Incomplete(6 - messageLength);
                return RecordResult::Stop;
            }
            size_t certificateLength = Be24(body + 3);
            std::string_view issuer;
            std::string_view subject;
            if (certificateLength > messageLength - 6 ||
                !WalkCertificate({body + 6, certificateLength}, issuer, subject)) {
                outcome = NotRecognised();
                return RecordResult::Stop;
            }
            flight.issuerCommonName = issuer;
            flight.subjectCommonName = subject;
        }
        at += 4 + messageLength;
    }
    return RecordResult::Continue;
}

}  // namespace

TLS_PARSE_OUTCOME ParseTlsClientHello(std::span<const uint8_t> bytes, TLS_CLIENT_HELLO& hello) {
    hello = {};
    if (bytes.empty()) {
        return NotRecognised();
    }
    TLS_PARSE_OUTCOME outcome;
    if (bytes.size() >= kRecordHeaderSize && IsHandshakeRecordHeader(bytes.data())) {
        outcome = ParseRecordHello(bytes, hello);
    } else if (bytes.size() < kRecordHeaderSize &&
               BeginsHandshakeRecordHeader(bytes.data(), bytes.size())) {
        // A hello cut inside its record header: the header alone says nothing more.
        outcome = Incomplete(kRecordHeaderSize - bytes.size());
    } else {
        outcome = ParseSsl2Hello(bytes, hello);
    }
    if (outcome.status == TlsParseStatus::NotRecognised) {
        hello = {};
    }
    return outcome;
}

TLS_PARSE_OUTCOME ParseTlsServerFlight(std::span<const uint8_t> bytes, TLS_SERVER_FLIGHT& flight) {
    flight = {};
    const uint8_t* data = bytes.data();
    const size_t size = bytes.size();
    size_t at = 0;
    while (at < size) {
        size_t left = size - at;
        const uint8_t* header = data + at;
        bool handshake;
        if (left < kRecordHeaderSize) {
            if (BeginsHandshakeRecordHeader(header, left)) {
                return Incomplete(kRecordHeaderSize - left);
            }
            handshake = false;
        } else {
            handshake = IsHandshakeRecordHeader(header) && Be16(header + 3) != 0;
        }
        if (!handshake) {
            // A TLS 1.3 server follows its hello with change-cipher-spec and encrypted records in
            // the same segment; a resumed TLS 1.2 session with change-cipher-spec and Finished.
            if (flight.recordCount == 0) {
                break;
            }
            return Complete();
        }
        ++flight.recordCount;
        size_t length = Be16(header + 3);
        if (length > left - kRecordHeaderSize) {
            return Incomplete(length - (left - kRecordHeaderSize));
        }
        TLS_PARSE_OUTCOME outcome;
        if (ParseFlightRecord(header + kRecordHeaderSize, length, flight, outcome) ==
            RecordResult::Stop) {
            if (outcome.status == TlsParseStatus::NotRecognised) {
                flight = {};
            }
            return outcome;
        }
        at += kRecordHeaderSize + length;
    }
    if (flight.recordCount == 0) {
        flight = {};
        return NotRecognised();
    }
    return Complete();
}

}  // namespace wexo::drv
