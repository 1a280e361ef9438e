// Parses of the first bytes of a TLS connection: the client's hello (server name and offered
// session ID) and the server's first flight (session ID it chose, whether it selected TLS 1.3,
// and the issuer and subject common names of its certificate).
//
// Both work on one contiguous copy of a segment made by the caller, never read outside it and
// never allocate. Ranges in the results point into that copy, so the copy must outlive the
// result; the one exception is a client-hello field that the client split across two TLS
// records, which the result holds in its own storage (its accessors hide the difference).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace wexo::drv {

enum class TlsParseStatus : uint8_t {
    Complete,       // recognised, and everything the parse needs was present
    Incomplete,     // recognised so far, but the bytes end early; `missing` says how many more
    NotRecognised,  // not this TLS message (or malformed); the result is empty
};

struct TLS_PARSE_OUTCOME {
    TlsParseStatus status = TlsParseStatus::NotRecognised;
    // Incomplete only: bytes still missing. Asking for (bytes present + missing) and parsing again
    // makes progress; it may then report Incomplete again with a new count.
    uint32_t missing = 0;
};

// A byte range of at most N bytes taken from a hello: normally a view of the caller's bytes, or a
// copy when the field was split across records. Copying the holder keeps it valid.
template <size_t N>
class TLS_FIELD {
  public:
    std::span<const uint8_t> Bytes() const {
        return {copied_ ? storage_.data() : external_, length_};
    }
    std::string_view Text() const {
        return {reinterpret_cast<const char*>(copied_ ? storage_.data() : external_), length_};
    }
    bool Empty() const { return length_ == 0; }

    void Point(const uint8_t* bytes, size_t length) {
        external_ = bytes;
        length_ = static_cast<uint16_t>(length);
        copied_ = false;
    }
    // Room for a split field's copy; Commit() then makes it the value.
    uint8_t* Storage() { return storage_.data(); }
    void Commit(size_t length) {
        length_ = static_cast<uint16_t>(length);
        copied_ = true;
    }
    void Clear() { Point(nullptr, 0); }

  private:
    const uint8_t* external_ = nullptr;
    uint16_t length_ = 0;
    bool copied_ = false;
    std::array<uint8_t, N> storage_{};
};

struct TLS_CLIENT_HELLO {
    uint8_t major = 0;      // client version: 3
    uint8_t minor = 0;      // any: 3 for TLS 1.2 and 1.3; servers negotiate down from later ones
    bool ssl2Form = false;  // the SSL 2.0-compatible hello, which never carries a server name
    // Offered session ID: 1 to 32 bytes, or empty (none, or a longer one that was skipped).
    TLS_FIELD<32> sessionId;
    // Server name: 1 to 255 bytes, or empty. Its length is the low byte of the name's 16-bit length
    // field, so a name of 300 bytes reads as its first 44.
    TLS_FIELD<255> serverName;
    // The hello carries an encrypted_client_hello extension (0xfe0d): the real server name, if
    // any, is sealed in an inner hello, and serverName is the outer, shared front name. Set from
    // the bytes at hand: extensions after the server name are looked through as far as they are
    // present, without changing the outcome. A client that sends a decoy of the extension (which
    // is made to look the same) sets it too.
    bool offersEch = false;
};

// Parses the client's hello from its first TLS handshake records (or the SSL 2.0-compatible
// form), read as a server's record layer reads them: any minor record version, empty handshake
// records stepped over, a hello split over records of any sizes, and the hello bounded by its own
// handshake length (a record may carry later handshake messages after it).
// - Complete: sessionId and serverName are final (either may be empty). A server name found in the
//   first record ends the parse even when the hello continues in a later record (offersEch then
//   reflects only the extensions present).
// - Incomplete: the record, or a hello that continues in later records, is not all there yet;
//   fields read so far are set. Also for 1 to 4 bytes that begin a TLS handshake record header.
// - NotRecognised: not a client hello, or malformed.
TLS_PARSE_OUTCOME ParseTlsClientHello(std::span<const uint8_t> bytes, TLS_CLIENT_HELLO& hello);

struct TLS_SERVER_FLIGHT {
    // Handshake records read (the last one may be incomplete).
    uint32_t recordCount = 0;
    // A server hello was read.
    bool serverHello = false;
    // The server hello's supported_versions extension selected TLS 1.3 (or later). Such a server
    // echoes the client's legacy session ID on every connection, so equal IDs do not mean the
    // session was resumed.
    bool tls13 = false;
    // Session ID of the server hello: 1 to 32 bytes, or empty.
    std::span<const uint8_t> sessionId;
    // Common names of the first certificate of the certificate message, taken as bytes without
    // decoding the string type: 1 to 65535 bytes, or empty.
    std::string_view issuerCommonName;
    std::string_view subjectCommonName;
};

// Parses the handshake records at the start of the server's data.
// - The first record must be a handshake record, else NotRecognised. The walk stops, and reports
//   what it read as Complete, at the first record that is not one (change-cipher-spec,
//   application data of a TLS 1.3 server, ...) and at a handshake message that continues in the
//   next record (a certificate chain fragmented over records is not read).
// - Incomplete: a handshake record (or its header) runs past the bytes; `missing` completes it.
//   Fields read before that point are set: a subject common name may already be there. Also for
//   a server hello of 34 bytes or less and a certificate message of fewer than 6 bytes.
// - NotRecognised: also for a certificate that cannot be walked, or a server hello whose session
//   ID runs past the message; the result is then empty.
TLS_PARSE_OUTCOME ParseTlsServerFlight(std::span<const uint8_t> bytes, TLS_SERVER_FLIGHT& flight);

}  // namespace wexo::drv
