#include "service/support/http_api.h"

#include <strings.h>

#include <atomic>

#include "service/support/debug_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

std::atomic<uint32_t> gApiProtocol{API_PROTOCOL_UNKNOWN};

// Windows SChannel bits of TLS 1.1 and TLS 1.2, client and server: no other version is offered.
constexpr unsigned kTls11And12 = 3840;

// The request operations; each has its own request and failure lines.
enum class OPERATION { Get, Head, Post, PostForm };

void LogRequest(bool tls, OPERATION operation, const std::string& url) {
    const char* text = url.c_str();
    switch (operation) {
        case OPERATION::Get:
            tls ? DebugWrite(LINE_HTTP, "HTTPS GET URL = \"%s\"", text)
                : DebugWrite(LINE_HTTP, "HTTP GET URL = \"%s\"", text);
            break;
        case OPERATION::Head:
            tls ? DebugWrite(LINE_HTTP, "HTTPS HEAD URL = \"%s\"", text)
                : DebugWrite(LINE_HTTP, "HTTP HEAD URL = \"%s\"", text);
            break;
        case OPERATION::Post:
            tls ? DebugWrite(LINE_HTTP, "HTTPS POST URL = \"%s\"", text)
                : DebugWrite(LINE_HTTP, "HTTP POST URL = \"%s\"", text);
            break;
        case OPERATION::PostForm:
            tls ? DebugWrite(LINE_HTTP, "HTTPS POST form URL = \"%s\"", text)
                : DebugWrite(LINE_HTTP, "HTTP POST URL = \"%s\"", text);
            break;
    }
}

void LogFailure(bool tls, OPERATION operation, const std::string& url, const std::string& error,
                int code) {
    const char* text = url.c_str();
    const char* why = error.c_str();
    const auto number = static_cast<unsigned long>(code);
    switch (operation) {
        case OPERATION::Get:
            tls ? DebugWrite(0, "HTTPS GET failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number)
                : DebugWrite(0, "HTTP GET failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number);
            break;
        case OPERATION::Head:
            tls ? DebugWrite(0, "HTTPS HEAD failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number)
                : DebugWrite(0, "HTTP HEAD failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number);
            break;
        case OPERATION::Post:
            tls ? DebugWrite(0, "HTTPS POST failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number)
                : DebugWrite(0, "HTTP POST failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number);
            break;
        case OPERATION::PostForm:
            tls ? DebugWrite(0, "HTTPS POST form failed,\n    URL = \"%s\".\n    %s (%lu).", text,
                             why, number)
                : DebugWrite(0, "HTTP POST failed,\n    URL = \"%s\".\n    %s (%lu).", text, why,
                             number);
            break;
    }
}

}  // namespace

API_PROTOCOL GetApiProtocol() {
    return static_cast<API_PROTOCOL>(gApiProtocol.load(std::memory_order_relaxed));
}

void SetApiProtocol(API_PROTOCOL protocol) {
    gApiProtocol.store(protocol, std::memory_order_relaxed);
}

const char* HTTPX_API::GetReplyText(std::string& text) const {
    WithStringMemory([&] { text.assign(GetReplyData()); });
    return text.c_str();
}

bool ContentTypeListsJson(std::string_view value) {
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find_first_of(",;", start);
        end = end == std::string_view::npos ? value.size() : end;
        if (EqualsNoCase(TrimBlanks(value.substr(start, end - start)), "application/json")) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

HTTPX_CLIENT::HTTPX_CLIENT(bool tls) : engine_(tls, *this) {
    WithStringMemory([&] {
        engine_.SetAcceptValue("text/*");
        engine_.SetOtherHeaders("User-Agent:WEXO_CLIENT\r\n");
    });
    engine_.SetProxyAuto(true);
}

const std::string& HTTPX_CLIENT::BuildUrl(std::string_view server, const char* page,
                                          const std::string& query) {
    const std::string host = WithStringMemory([&] { return std::string(server); });
    requestUrl_ =
        FormatText("%s://%s%s%s%s", IsTls() ? "HTTPS" : "HTTP", host.c_str(),
                   page != nullptr ? "/" : "", page != nullptr ? page : "", query.c_str());
    return requestUrl_;
}

namespace {

// The success rule: an answer of any status counts; anything else is logged and fails.
bool Finish(HTTP_ENGINE& engine, int result, bool tls, OPERATION operation,
            const std::string& url) {
    if (result == 0) {
        return true;
    }
    LogFailure(tls, operation, url, engine.LastErrorText(), result);
    return result == HTTP_ENGINE_STATUS_ERROR;
}

}  // namespace

bool HTTPX_CLIENT::Get(std::string_view server, const char* page, HTTPX_PAIRS pairs) {
    const std::string query = HttpxEncodePairs(pairs, "?");
    const std::string url = BuildUrl(server, page, query);
    LogRequest(IsTls(), OPERATION::Get, url);
    const int result = WithStringMemory([&] { return engine_.Perform(HTTP_METHOD::Get, url); });
    return Finish(engine_, result, IsTls(), OPERATION::Get, url);
}

bool HTTPX_CLIENT::Head(std::string_view server, const char* page, HTTPX_PAIRS pairs) {
    const std::string query = HttpxEncodePairs(pairs, "?");
    const std::string url = BuildUrl(server, page, query);
    LogRequest(IsTls(), OPERATION::Head, url);
    const int result = WithStringMemory([&] { return engine_.Perform(HTTP_METHOD::Head, url); });
    return Finish(engine_, result, IsTls(), OPERATION::Head, url);
}

bool HTTPX_CLIENT::PostForm(std::string_view server, const char* page, HTTPX_PAIRS pairs) {
    const std::string url = BuildUrl(server, page, std::string());
    LogRequest(IsTls(), OPERATION::PostForm, url);
    const std::string body = HttpxEncodePairs(pairs, "");
    const int result = WithStringMemory([&] {
        engine_.SetContentType("application/x-www-form-urlencoded");
        engine_.SetPostData(body);
        return engine_.Perform(HTTP_METHOD::Post, url);
    });
    return Finish(engine_, result, IsTls(), OPERATION::PostForm, url);
}

bool HTTPX_CLIENT::Post(std::string_view server, const char* page, const void* body, size_t length,
                        HTTPX_PAIRS pairs) {
    const std::string query = HttpxEncodePairs(pairs, "?");
    const std::string url = BuildUrl(server, page, query);
    LogRequest(IsTls(), OPERATION::Post, url);
    const int result = WithStringMemory([&] {
        // A null body is sent as an empty one, whatever the length says.
        engine_.SetPostData(body != nullptr
                                ? std::string_view(static_cast<const char*>(body), length)
                                : std::string_view());
        return engine_.Perform(HTTP_METHOD::Post, url);
    });
    return Finish(engine_, result, IsTls(), OPERATION::Post, url);
}

int HTTPX_CLIENT::SetAuthorizationToken(std::string_view token) {
    const std::string text = WithStringMemory([&] { return std::string(token); });
    IsTls() ? DebugWrite(LINE_HTTP, "HTTPS authorization token = \"%s\"", text.c_str())
            : DebugWrite(LINE_HTTP, "HTTP authorization token = \"%s\"", text.c_str());
    const std::string value = FormatText("Token token=\"%s\"", text.c_str());
    return WithStringMemory([&] { return engine_.SetAuthorizationValue(value); });
}

std::string HTTPX_CLIENT::Config(std::string_view text) {
    return WithStringMemory([&] { return engine_.ApplyConfig(text); });
}

void HTTPX_CLIENT::OnError(int, const std::string& description) {
    WithStringMemory([&] { errorText_ = description; });
}

void HTTPX_CLIENT::OnHeader(std::string_view name, std::string_view value) {
    if (DebugCategoryEnabled(LINE_HTTP)) {
        const std::string headerName(name);
        const std::string headerValue(value);
        IsTls() ? DebugWrite(LINE_HTTP, "HTTPS: Header \"%s\" = \"%s\"", headerName.c_str(),
                             headerValue.c_str())
                : DebugWrite(LINE_HTTP, "HTTP: Header \"%s\" = \"%s\"", headerName.c_str(),
                             headerValue.c_str());
    }
    if (EqualsNoCase(name, "Content-Type") && ContentTypeListsJson(value)) {
        jsonContent_ = true;
    }
}

void HTTPX_CLIENT::OnRedirect(std::string_view location) {
    WithStringMemory([&] { redirectLocation_.assign(location); });
    IsTls() ? DebugWrite(LINE_HTTP, "HTTPS Redirect location = \"%s\"", redirectLocation_.c_str())
            : DebugWrite(LINE_HTTP, "HTTP Redirect location = \"%s\"", redirectLocation_.c_str());
}

void HTTPX_CLIENT::OnStatus(std::string_view, int status, std::string_view) {
    IsTls() ? DebugWrite(LINE_HTTP, "HTTPS: Status = %d", status)
            : DebugWrite(LINE_HTTP, "HTTP: Status = %d", status);
    status_ = status;
}

HTTP_API::HTTP_API() : HTTPX_CLIENT(false) {}

bool HTTP_API::GetAbsolute(std::string_view url) {
    const std::string given = WithStringMemory([&] { return std::string(url); });
    requestUrl_ = FormatText("%s://%s", "HTTP", given.c_str());
    const std::string request = requestUrl_;
    LogRequest(false, OPERATION::Get, request);
    const int result = WithStringMemory([&] { return engine_.Perform(HTTP_METHOD::Get, request); });
    return Finish(engine_, result, false, OPERATION::Get, request);
}

HTTPS_API::HTTPS_API() : HTTPX_CLIENT(true) {
    Config(FormatText("SSLEnabledProtocols=%u", kTls11And12));
}

bool HTTPS_API::GetAbsolute(std::string_view url) {
    const std::string request = WithStringMemory([&] { return std::string(url); });
    LogRequest(true, OPERATION::Get, request);
    const int result = WithStringMemory([&] { return engine_.Perform(HTTP_METHOD::Get, request); });
    return Finish(engine_, result, true, OPERATION::Get, request);
}

void HTTPS_API::OnSslServerAuthentication(const HTTP_SERVER_CERTIFICATE&, bool& accept) {
    if (accept) {
        DebugWrite(LINE_HTTP, "HTTPS: SSL Server Authentication: normal accept");
        return;
    }
    // A certificate problem never fails a request; the line above records that it was taken
    // unverified.
    DebugWrite(LINE_HTTP, "HTTPS: SSL Server Authentication: force accept");
    accept = true;
}

HTTPX_PAIR::HTTPX_PAIR() {
    active_ = GetApiProtocol() == API_PROTOCOL_HTTPS ? static_cast<HTTPX_API*>(&https_)
                                                     : static_cast<HTTPX_API*>(&http_);
}

}  // namespace wexo::svc
