// The HTTP/TLS engine under the service's HTTP clients: one libcurl easy handle (OpenSSL) per
// client object, with the operations and events the clients are written against.
//
// Behaviour a client relies on:
// - Requests are synchronous; events reach the sink on the requesting thread, during the request.
// - Redirects are never followed: a 3xx reply reaches the caller with its status and location.
// - A reply whose status is outside 200-299 (other than 101) completes with
//   HTTP_ENGINE_STATUS_ERROR after its status and headers were delivered; a body past the bound
//   (MaxReplyBytes) with HTTP_ENGINE_REPLY_TOO_LARGE, reading stopped there; a request whose stop
//   was raised with HTTP_ENGINE_CANCELLED; every other failure returns libcurl's code (CURLcode,
//   always below 100), with libcurl's error text.
// - A request ends at once when the stop it was made under is raised (HTTP_STOP): the engine waits
//   for libcurl in its own loop, which the stop wakes, so that no wait (name resolution, connect,
//   TLS handshake, a server that sends one byte a second and so never meets the idle time-out)
//   holds a stopping program.
// - gzip and deflate replies are decoded.
// - Proxies come from the environment as Linux programs expect (http_proxy, https_proxy,
//   no_proxy, all_proxy), when proxy detection is on.
// - Time-outs (SetRequestTimeout, default 60 seconds): by default they bound idle periods: the
//   connection (with the TLS handshake) must be made within the time, and the transfer fails when
//   it stalls (less than one byte per second) for that long. With "AbsoluteTimeout=true" the time
//   bounds the whole request instead. 0 means no limit.
// - TLS: the server's certificate chain, validity and name are verified as usual, but a failure
//   does not end the handshake: it is recorded and, once the connection is made, offered to the
//   sink (OnSslServerAuthentication), which decides whether the request goes on. Verification is
//   never switched off. TLS session resumption is off, so every new connection is verified.
//   Trusted certificates: the system's store, read once per process (again when its bundle file
//   changes) and shared by all connections, or the file given with "SSLCACertFile".
// - A verified request ends the handshake at a certificate problem instead, whatever the sink
//   would say, libcurl checks the host name as well, and the policy's "CA file" (SetHttpTlsPolicy)
//   takes the place of the system's store (a client's own "SSLCACertFile" still comes first). Such
//   a failure writes "TLS verification of <host> failed: <libcurl's text>" to the debug log. A
//   request is verified when the client asks for it ("VerifyServer=true": the check-in, the DNS
//   remap list, update downloads) and the policy does not accept any server, or when the policy
//   is strict (every request of the process).
// - Only http and https URLs are fetched.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct x509_store_ctx_st;
struct x509_store_st;

namespace wexo::svc {

// The server answered, with a status outside 200-299 (other than 101).
constexpr int HTTP_ENGINE_STATUS_ERROR = 151;
// The reply body went past the engine's bound; nothing more was read.
constexpr int HTTP_ENGINE_REPLY_TOO_LARGE = 152;
// The request's stop was raised.
constexpr int HTTP_ENGINE_CANCELLED = 153;
// Default request time-out in seconds.
constexpr uint32_t HTTP_ENGINE_DEFAULT_TIMEOUT = 60;

enum class HTTP_METHOD { Get, Head, Post };

// How every engine of the process treats server certificates. The engine reads no settings of its
// own: whoever reads the product's settings sets this, and each request takes the policy in force
// when it starts.
struct HTTP_TLS_POLICY {
    bool strict = false;  // every request is verified, whether its client asks for it or not
    std::string caFile;   // verified requests: a PEM bundle of trusted certificates; empty: the
                          // system's store
    // The requests whose clients ask for verification are taken with any certificate, as requests
    // that do not ask are (the sink decides). Strict wins over it.
    bool acceptAnyServer = false;
};
void SetHttpTlsPolicy(HTTP_TLS_POLICY policy);
HTTP_TLS_POLICY GetHttpTlsPolicy();

// A stop for requests, raised once and never lowered: it ends every request made under it, at
// once, and fails every later one before it connects. Requests hold it while they run, so it
// lives as long as the last of them.
class HTTP_STOP {
  public:
    HTTP_STOP() = default;
    HTTP_STOP(const HTTP_STOP&) = delete;
    HTTP_STOP& operator=(const HTTP_STOP&) = delete;

    void Raise();
    bool IsRaised() const;

  private:
    friend class HTTP_ENGINE;
    // A request waiting in libcurl under this stop, woken by Raise; false when raised already.
    bool Attach(CURLM* multi);
    void Detach(CURLM* multi);

    mutable std::mutex lock_;
    bool raised_ = false;
    std::vector<CURLM*> waiting_;
};

// The stop under which requests of the process are made from now on (null: none); each request
// takes the one in force when it starts. The service sets its own while it runs.
void SetHttpStop(std::shared_ptr<HTTP_STOP> stop);
std::shared_ptr<HTTP_STOP> GetHttpStop();

// What the engine learnt about the server's certificate during the TLS handshake.
struct HTTP_SERVER_CERTIFICATE {
    std::string subject;      // one-line subject of the server's own certificate
    std::string issuer;       // one-line issuer of it
    bool verified = false;    // chain, validity and name all verified
    std::string verifyError;  // OpenSSL's text for the first problem; empty when verified
};

// Receives the engine's events. Handlers may throw: the request is then abandoned and the
// exception comes out of Perform after libcurl returned.
class HTTP_EVENT_SINK {
  public:
    virtual ~HTTP_EVENT_SINK() = default;

    // Any failure, with the code Perform returns and the description LastErrorText gives.
    virtual void OnError(int code, const std::string& description);
    // One reply header (folded lines joined), name and value without surrounding blanks.
    virtual void OnHeader(std::string_view name, std::string_view value);
    // The Location of a 3xx reply, as the server sent it.
    virtual void OnRedirect(std::string_view location);
    // After a TLS handshake. `accept` comes in as the verification result; the request goes on
    // only when it is true on return.
    virtual void OnSslServerAuthentication(const HTTP_SERVER_CERTIFICATE& certificate,
                                           bool& accept);
    // Each status line ("HTTP/1.1", 302, "Found"), interim ones included.
    virtual void OnStatus(std::string_view version, int status, std::string_view reason);
};

class HTTP_ENGINE {
  public:
    // Policy, check-in and remap replies are kilobytes; an update package tens of megabytes.
    static constexpr uint64_t kDefaultMaxReplyBytes = 256ull << 20;

    // `tls`: a TLS client (its TLS settings apply; the URL's scheme decides what is spoken).
    HTTP_ENGINE(bool tls, HTTP_EVENT_SINK& sink);
    ~HTTP_ENGINE();
    HTTP_ENGINE(const HTTP_ENGINE&) = delete;
    HTTP_ENGINE& operator=(const HTTP_ENGINE&) = delete;

    bool IsTls() const { return tls_; }

    // Request settings; they stay for later requests. The setters of header values return 0, or
    // CURLE_BAD_FUNCTION_ARGUMENT (and keep the old value) for a value with CR or LF in it.
    int SetAcceptValue(std::string_view value);
    // Raw header lines, "Name:value" each ended by CR LF, sent as they are.
    int SetOtherHeaders(std::string_view lines);
    void SetProxyAuto(bool on);
    int SetAuthorizationValue(std::string_view value);
    int SetContentType(std::string_view value);
    void SetPostData(std::string_view body);
    int SetRequestTimeout(uint32_t seconds);

    // "Name=value" sets a setting and returns "" or the reason it was refused; "Name" returns the
    // current value ("" for an unknown name). Names (case ignored):
    //   AbsoluteTimeout      true / false: the time-out bounds the whole request, or idle periods.
    //   SSLEnabledProtocols  SChannel protocol bits (0x300 TLS 1.1, 0xC00 TLS 1.2, 0x3000
    //                        TLS 1.3, 0xC0 TLS 1.0, client and server bits alike): the lowest
    //                        to the highest version given are offered.
    //   SSLCACertFile        a PEM file of trusted certificates in place of the system's store,
    //                        read when set; empty: the system's store again.
    //   MaxReplyBytes        the largest reply body taken (default kDefaultMaxReplyBytes); the
    //                        transfer ends as soon as a server sends more, and the request
    //                        fails with HTTP_ENGINE_REPLY_TOO_LARGE.
    //   VerifyServer         true / false (default): later requests verify the server (see the
    //                        TLS rules above) unless the policy accepts any server.
    //   ServerVerified       query only: "true" when the last request was answered (any status)
    //                        over TLS by a server it verified, else "false".
    std::string ApplyConfig(std::string_view text);

    // One request, synchronous, under the process's stop (SetHttpStop) unless one is given.
    // Returns 0, one of the HTTP_ENGINE_ codes above or a CURLcode.
    int Perform(HTTP_METHOD method, const std::string& url);
    int Perform(HTTP_METHOD method, const std::string& url, std::shared_ptr<HTTP_STOP> stop);

    // The body of the last reply (empty after a failure before any body).
    std::string_view ReplyData() const { return reply_; }
    // The last request's error text and code; "" and 0 after a success.
    const std::string& LastErrorText() const { return lastErrorText_; }
    int LastErrorCode() const { return lastErrorCode_; }

  private:
    static size_t OnWrite(char* data, size_t size, size_t count, void* self);
    static size_t OnHeaderLine(char* data, size_t size, size_t count, void* self);
    static int OnPrerequest(void* self, char* address, char* localAddress, int remotePort,
                            int localPort);
    static CURLcode OnSslContext(CURL* curl, void* sslContext, void* self);
    static int OnVerify(int preverifyOk, x509_store_ctx_st* store);

    void HandleHeaderLine(std::string_view line);
    void FlushHeader();
    void ApplyRequestOptions(HTTP_METHOD method, const std::string& url);
    // Runs the prepared transfer to its end, or until the stop is raised; libcurl's result.
    CURLcode Transfer(HTTP_STOP* stop, bool& cancelled);
    void SetVerifiedName(const std::string& url);

    const bool tls_;
    HTTP_EVENT_SINK& sink_;
    CURL* handle_ = nullptr;
    CURLM* multi_ = nullptr;  // the engine's one transfer at a time, and its kept connections

    std::string accept_;
    std::string otherHeaders_;
    std::string authorization_;
    std::string contentType_;
    std::string postData_;
    bool proxyAuto_ = false;
    uint32_t timeout_ = HTTP_ENGINE_DEFAULT_TIMEOUT;
    bool absoluteTimeout_ = false;
    uint64_t maxReplyBytes_ = kDefaultMaxReplyBytes;
    bool replyTooLarge_ = false;
    uint32_t sslProtocols_ = 0;  // 0: libcurl's default range
    long sslVersion_ = 0;        // CURL_SSLVERSION_* value for the range
    std::string caFile_;
    x509_store_st* caStore_ = nullptr;  // loaded from caFile_ when it was set
    bool verifyServer_ = false;

    // State of the request in progress.
    std::string reply_;
    std::string lastErrorText_;
    int lastErrorCode_ = 0;
    char errorBuffer_[CURL_ERROR_SIZE] = {};
    int blockStatus_ = 0;  // status of the header block being read
    bool headerPending_ = false;
    std::string headerName_;
    std::string headerValue_;
    std::string verifiedName_;     // host name or address the certificate must carry
    HTTP_TLS_POLICY policy_;       // the process's policy when the request started
    bool verified_ = false;        // the request in progress verifies its server
    bool serverVerified_ = false;  // the last request was answered by a server it verified
    bool handshakeSeen_ = false;
    bool notAccepted_ = false;
    HTTP_SERVER_CERTIFICATE certificate_;
    std::exception_ptr sinkException_;
};

}  // namespace wexo::svc
