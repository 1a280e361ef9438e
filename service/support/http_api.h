// The service's HTTP clients. HTTPX_API is what callers use; HTTP_API speaks plain HTTP and
// HTTPS_API HTTP over TLS, both on the engine of http_engine.h. They add the product's fixed
// request headers, URL building from a server name, a page and name/value pairs, a log line for
// every request, reply header and status (HTTP category of the debug log), JSON reply detection
// and one success rule: a request succeeds when the server answered at all, whatever its status,
// which the caller then tests with GetStatus().
//
// A client object serves one operation (one request, or a probe of two) on one thread at a time.
// HTTPX_PAIR holds one client of each kind and hands out the one the process-wide API protocol
// calls for. String allocation failures raise STRING_NO_MEMORY.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "service/support/http_engine.h"
#include "service/support/http_query.h"
#include "service/support/string_no_memory.h"

namespace wexo::svc {

// The protocol the policy servers' API is reached with, decided once by the protocol probe.
enum API_PROTOCOL : uint32_t {
    API_PROTOCOL_UNKNOWN = 0,
    API_PROTOCOL_HTTPS = 1,
    API_PROTOCOL_HTTP = 2,
};
API_PROTOCOL GetApiProtocol();
void SetApiProtocol(API_PROTOCOL protocol);

class HTTPX_API {
  public:
    virtual ~HTTPX_API() = default;

    // GET of a URL given whole. HTTPS_API: the URL as it is (the request URL is not changed);
    // HTTP_API: "HTTP://" + url, stored as the request URL.
    virtual bool GetAbsolute(std::string_view url) = 0;
    // Requests of "<SCHEME>://<server>[/<page>][?<pairs>]". `page` may be null (nothing after the
    // server) or empty (a lone "/"); `server` may carry a port ("127.0.0.1:18080").
    virtual bool Get(std::string_view server, const char* page, HTTPX_PAIRS pairs) = 0;
    virtual bool Head(std::string_view server, const char* page, HTTPX_PAIRS pairs) = 0;
    // POST of the pairs as a form body ("a=1&b=2", application/x-www-form-urlencoded) to the URL
    // without a query string.
    virtual bool PostForm(std::string_view server, const char* page, HTTPX_PAIRS pairs) = 0;
    // POST of `length` bytes of `body`, the pairs in the URL's query string.
    virtual bool Post(std::string_view server, const char* page, const void* body, size_t length,
                      HTTPX_PAIRS pairs) = 0;

    bool Get(std::string_view server, const char* page,
             std::initializer_list<HTTPX_NAME_VALUE> pairs = {}) {
        return Get(server, page, HTTPX_PAIRS(pairs.begin(), pairs.size()));
    }
    bool Head(std::string_view server, const char* page,
              std::initializer_list<HTTPX_NAME_VALUE> pairs = {}) {
        return Head(server, page, HTTPX_PAIRS(pairs.begin(), pairs.size()));
    }
    bool PostForm(std::string_view server, const char* page,
                  std::initializer_list<HTTPX_NAME_VALUE> pairs = {}) {
        return PostForm(server, page, HTTPX_PAIRS(pairs.begin(), pairs.size()));
    }
    bool Post(std::string_view server, const char* page, const void* body, size_t length,
              std::initializer_list<HTTPX_NAME_VALUE> pairs = {}) {
        return Post(server, page, body, length, HTTPX_PAIRS(pairs.begin(), pairs.size()));
    }

    // Authorization: Token token="<token>" on later requests. Returns the engine's result.
    virtual int SetAuthorizationToken(std::string_view token) = 0;
    // The reply body held by the engine (valid until the next request or the object's end).
    virtual std::string_view GetReplyData() const = 0;
    // Copies the reply body into `text` and returns its characters.
    const char* GetReplyText(std::string& text) const;
    // Request time-out in seconds; see Config("AbsoluteTimeout=...") for what it bounds.
    virtual int SetTimeout(uint32_t seconds) = 0;
    // One engine setting "Name=value" (HTTP_ENGINE::ApplyConfig); returns the engine's text.
    virtual std::string Config(std::string_view text) = 0;

    int32_t GetStatus() const { return status_; }
    virtual std::string GetLastErrorText() const = 0;
    // The engine's result code of the last request (0, HTTP_ENGINE_STATUS_ERROR or libcurl's).
    virtual int GetLastErrorCode() const = 0;
    const std::string& GetRequestUrl() const { return requestUrl_; }
    const std::string& GetRedirectLocation() const { return redirectLocation_; }
    bool IsJsonContent() const { return jsonContent_; }

  protected:
    HTTPX_API() = default;
    HTTPX_API(const HTTPX_API&) = delete;
    HTTPX_API& operator=(const HTTPX_API&) = delete;

    std::string requestUrl_;        // URL of the last request built by the object
    std::string redirectLocation_;  // Location of the last redirect reported
    std::string errorText_;         // description of the engine's last error event
    int32_t status_ = 0;            // status of the last reply; kept when a request fails
    bool jsonContent_ = false;      // a reply declared application/json; never reset
};

// Whether a Content-Type value lists application/json: the value is split at "," and ";", blanks
// around each token are dropped, and a token matches without regard to case.
bool ContentTypeListsJson(std::string_view value);

// What HTTP_API and HTTPS_API share: everything but the scheme's log texts and GetAbsolute.
class HTTPX_CLIENT : public HTTPX_API, private HTTP_EVENT_SINK {
  public:
    using HTTPX_API::Get;
    using HTTPX_API::Head;
    using HTTPX_API::Post;
    using HTTPX_API::PostForm;

    bool Get(std::string_view server, const char* page, HTTPX_PAIRS pairs) override;
    bool Head(std::string_view server, const char* page, HTTPX_PAIRS pairs) override;
    bool PostForm(std::string_view server, const char* page, HTTPX_PAIRS pairs) override;
    bool Post(std::string_view server, const char* page, const void* body, size_t length,
              HTTPX_PAIRS pairs) override;
    int SetAuthorizationToken(std::string_view token) override;
    std::string_view GetReplyData() const override { return engine_.ReplyData(); }
    int SetTimeout(uint32_t seconds) override { return engine_.SetRequestTimeout(seconds); }
    std::string Config(std::string_view text) override;
    std::string GetLastErrorText() const override { return engine_.LastErrorText(); }
    int GetLastErrorCode() const override { return engine_.LastErrorCode(); }

  protected:
    explicit HTTPX_CLIENT(bool tls);

    bool IsTls() const { return engine_.IsTls(); }
    // "<SCHEME>://<server>[/<page>]<query>", stored as the request URL.
    const std::string& BuildUrl(std::string_view server, const char* page,
                                const std::string& query);
    HTTP_ENGINE engine_;

  private:
    void OnError(int code, const std::string& description) override;
    void OnHeader(std::string_view name, std::string_view value) override;
    void OnRedirect(std::string_view location) override;
    void OnStatus(std::string_view version, int status, std::string_view reason) override;
};

class HTTP_API final : public HTTPX_CLIENT {
  public:
    HTTP_API();
    bool GetAbsolute(std::string_view url) override;
};

class HTTPS_API final : public HTTPX_CLIENT {
  public:
    HTTPS_API();
    bool GetAbsolute(std::string_view url) override;

  private:
    void OnSslServerAuthentication(const HTTP_SERVER_CERTIFICATE& certificate,
                                   bool& accept) override;
};

// One client of each kind; Client() is the HTTPS one when the API protocol is HTTPS and the HTTP
// one otherwise (unknown or HTTP), chosen when the pair is made.
class HTTPX_PAIR {
  public:
    HTTPX_PAIR();
    HTTPX_PAIR(const HTTPX_PAIR&) = delete;
    HTTPX_PAIR& operator=(const HTTPX_PAIR&) = delete;

    HTTPX_API& Client() { return *active_; }
    HTTPX_API* operator->() { return active_; }
    HTTPS_API& Https() { return https_; }
    HTTP_API& Http() { return http_; }

  private:
    HTTPX_API* active_ = nullptr;
    HTTPS_API https_;
    HTTP_API http_;
};

}  // namespace wexo::svc
