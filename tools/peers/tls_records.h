// The records with which a TLS client and server begin a handshake, for test clients and servers
// that play one without its cryptography: the driver judges a connection by the client's server
// name, looked up once the server's hello shows a new session, and lets it pass after its verdict.
#pragma once

#include <string>
#include <string_view>

namespace wexo::peers {

// A client hello (TLS 1.2 record, one TLS 1.3 suite) that names `serverName`.
std::string TlsClientHello(std::string_view serverName);
// A server hello of TLS 1.2 with a new session (a 32-byte session ID): 79 bytes.
std::string TlsServerHello();
// A change-cipher-spec record, as each side sends it to finish the handshake: 6 bytes.
std::string TlsChangeCipherSpec();
// An application-data record of `payload`, as a request inside the session would be.
std::string TlsApplicationData(std::string_view payload);

}  // namespace wexo::peers
