#include "tools/peers/tls_records.h"

#include <cstddef>

namespace wexo::peers {
namespace {

void Put16(std::string& to, size_t value) {
    to.push_back(static_cast<char>((value >> 8) & 0xFF));
    to.push_back(static_cast<char>(value & 0xFF));
}

// A record of `type` (TLS 1.2 on the wire) around `body`.
std::string Record(char type, std::string_view body) {
    std::string record{type, '\x03', '\x03'};
    Put16(record, body.size());
    record.append(body);
    return record;
}

}  // namespace

std::string TlsClientHello(std::string_view serverName) {
    std::string body("\x03\x03", 2);
    body.append(32, '\x42');                         // random
    body.append("\x00\x00\x02\x13\x01\x01\x00", 7);  // no session, one suite, no compression
    Put16(body, serverName.size() + 9);              // the extensions
    body.append("\x00\x00", 2);                      // server_name
    Put16(body, serverName.size() + 5);
    Put16(body, serverName.size() + 3);
    body.push_back('\x00');  // a host name
    Put16(body, serverName.size());
    body.append(serverName);
    std::string handshake("\x01\x00", 2);
    Put16(handshake, body.size());
    std::string record = Record('\x16', handshake + body);
    record[2] = '\x01';  // a first hello's record says TLS 1.0, as browsers send it
    return record;
}

std::string TlsServerHello() {
    std::string body("\x02\x00\x00\x46\x03\x03", 6);
    body.append(32, '\x11');  // random
    body.push_back('\x20');
    body.append(32, '\x77');  // session ID
    body.append("\xC0\x2F\x00", 3);
    return Record('\x16', body);
}

std::string TlsChangeCipherSpec() {
    return Record('\x14', std::string_view("\x01", 1));
}

std::string TlsApplicationData(std::string_view payload) {
    return Record('\x17', payload);
}

}  // namespace wexo::peers
