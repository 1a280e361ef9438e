// Every record that crosses between the driver and the service. All little-endian with natural
// alignment; pointers and handles are 64-bit addresses or handles in the service's process. The
// offsets and sizes are part of the format and are checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wexo {

struct QRN_REGISTER_REQUEST {
    uint64_t inputEvent;           // handle of the service's auto-reset input event
    uint64_t programFolder;        // UTF-16 "\??\<folder of the service executable>", no terminator
    uint16_t programFolderLength;  // in bytes
    uint8_t zero1[6];
    uint64_t dataFolder;        // UTF-16 "\??\<common application data>\Corvane", or 0
    uint16_t dataFolderLength;  // in bytes, 0 when absent
    uint8_t zero2[6];
};
static_assert(sizeof(QRN_REGISTER_REQUEST) == 40);
static_assert(offsetof(QRN_REGISTER_REQUEST, programFolder) == 8);
static_assert(offsetof(QRN_REGISTER_REQUEST, programFolderLength) == 16);
static_assert(offsetof(QRN_REGISTER_REQUEST, dataFolder) == 24);
static_assert(offsetof(QRN_REGISTER_REQUEST, dataFolderLength) == 32);

struct QRN_REGISTER_REPLY {
    uint16_t major;
    uint16_t minor;
    uint16_t build;
    uint16_t zero;
    uint16_t interfaceVersion;
};
static_assert(sizeof(QRN_REGISTER_REPLY) == 10);
static_assert(offsetof(QRN_REGISTER_REPLY, interfaceVersion) == 8);

struct QRN_VERSION_REPLY {
    uint16_t major;
    uint16_t minor;
    uint32_t build;
};
static_assert(sizeof(QRN_VERSION_REPLY) == 8);
static_assert(offsetof(QRN_VERSION_REPLY, build) == 4);

// Every pointer points into the service's memory and receives a value.
struct SC_INPUT_REQUEST {
    uint64_t callHandleOut;  // -> uint64_t
    uint64_t codeOut;        // -> uint32_t
    uint64_t timeoutOut;     // -> uint32_t, seconds
    uint64_t buffer;         // the service's request buffer, may be 0
    uint32_t bufferSize;     // 1024 from the service
    uint32_t zero;
    uint64_t requestSizeOut;     // -> uint32_t
    uint64_t requestAddressOut;  // -> uint64_t
};
static_assert(sizeof(SC_INPUT_REQUEST) == 56);
static_assert(offsetof(SC_INPUT_REQUEST, buffer) == 24);
static_assert(offsetof(SC_INPUT_REQUEST, bufferSize) == 32);
static_assert(offsetof(SC_INPUT_REQUEST, requestSizeOut) == 40);
static_assert(offsetof(SC_INPUT_REQUEST, requestAddressOut) == 48);

// The variables a caller of QRN_SC_INPUT has the driver fill in, and the request that names them.
struct SC_INPUT_RESULTS {
    uint64_t callHandle = 0;
    uint32_t code = 0;
    uint32_t timeout = 0;
    uint32_t requestSize = 0;
    uint64_t requestAddress = 0;
};

inline SC_INPUT_REQUEST MakeScInputRequest(SC_INPUT_RESULTS& results, void* buffer,
                                           uint32_t bufferSize) {
    SC_INPUT_REQUEST request{};
    request.callHandleOut = reinterpret_cast<uint64_t>(&results.callHandle);
    request.codeOut = reinterpret_cast<uint64_t>(&results.code);
    request.timeoutOut = reinterpret_cast<uint64_t>(&results.timeout);
    request.buffer = reinterpret_cast<uint64_t>(buffer);
    request.bufferSize = bufferSize;
    request.requestSizeOut = reinterpret_cast<uint64_t>(&results.requestSize);
    request.requestAddressOut = reinterpret_cast<uint64_t>(&results.requestAddress);
    return request;
}

struct SC_OUTPUT_REQUEST {
    uint64_t callHandle;
    uint64_t answer;      // the answer record, may be 0
    uint32_t answerSize;  // in bytes
    int32_t status;       // 0 success, else a Windows or Winsock error code
};
static_assert(sizeof(SC_OUTPUT_REQUEST) == 24);
static_assert(offsetof(SC_OUTPUT_REQUEST, answerSize) == 16);
static_assert(offsetof(SC_OUTPUT_REQUEST, status) == 20);

// 12 bytes on the wire: the handle and 32 unused bits, with no tail padding.
#pragma pack(push, 4)
struct SC_EXTEND_REQUEST {
    uint64_t callHandle;
    uint32_t unused;
};
#pragma pack(pop)
static_assert(sizeof(SC_EXTEND_REQUEST) == 12);

struct SC_ATTACH_REQUEST {
    uint64_t inputEvent;
};
static_assert(sizeof(SC_ATTACH_REQUEST) == 8);

// Service-call code 0. Each pointer points into the same block as the record.
struct POLICY_LOOKUP_REQUEST {
    uint64_t processId;
    uint64_t tlsSessionId;        // bytes offered by the client
    uint32_t tlsSessionIdLength;  // 0 to 32
    uint32_t pad1;
    uint64_t host;  // bytes as sent: Host header, TLS server name or certificate CN
    uint32_t hostLength;
    uint32_t pad2;
    uint64_t urlPath;  // from the first "/" up to the blank before the version
    uint32_t urlPathLength;
    uint32_t pad3;
    uint64_t proxyPrefix;  // scheme and authority of an absolute-form target, else empty
    uint32_t proxyPrefixLength;
    uint32_t pad4;
    uint64_t userSid;  // binary SID of the owning process's token
    uint32_t userSidLength;
    uint32_t pad5;
    uint64_t remoteAddress;        // network byte order
    uint32_t remoteAddressLength;  // 4 or 16
    uint32_t sessionId;            // Windows session of the owning process's token
    uint32_t flowNumber;           // "FC#"
    uint8_t https;                 // the flow is TLS: a response text is not used
    uint8_t sessionReuse;          // the server accepted the client's TLS session ID
    uint8_t pad6[2];
};
static_assert(sizeof(POLICY_LOOKUP_REQUEST) == 112);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, tlsSessionId) == 8);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, tlsSessionIdLength) == 16);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, host) == 24);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, hostLength) == 32);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, urlPath) == 40);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, urlPathLength) == 48);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, proxyPrefix) == 56);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, proxyPrefixLength) == 64);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, userSid) == 72);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, userSidLength) == 80);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, remoteAddress) == 88);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, remoteAddressLength) == 96);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, sessionId) == 100);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, flowNumber) == 104);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, https) == 108);
static_assert(offsetof(POLICY_LOOKUP_REQUEST, sessionReuse) == 109);

struct POLICY_LOOKUP_ANSWER {
    uint64_t responseText;  // for example a complete "HTTP/1.1 302 Other" response
    uint32_t responseTextLength;
    uint32_t pad;
};
static_assert(sizeof(POLICY_LOOKUP_ANSWER) == 16);
static_assert(offsetof(POLICY_LOOKUP_ANSWER, responseTextLength) == 8);

// Service-call codes 1 and 2.
struct DNS_NAME_REQUEST {
    uint64_t hostName;  // NUL-terminated single-byte text, the NUL part of the block
};
static_assert(sizeof(DNS_NAME_REQUEST) == 8);

struct DNS_ADDRESS_ANSWER {
    uint64_t addresses;  // network byte order, 4 bytes each (code 1) or 16 (code 2)
    uint32_t count;
    uint32_t pad;
};
static_assert(sizeof(DNS_ADDRESS_ANSWER) == 16);
static_assert(offsetof(DNS_ADDRESS_ANSWER, count) == 8);

}  // namespace wexo
