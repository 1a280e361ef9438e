#include "service/support/http_engine.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <strings.h>
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "service/support/debug_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

static_assert(CURL_LAST < HTTP_ENGINE_STATUS_ERROR, "engine codes must not meet libcurl's");

// A request thread may still be in a handshake when the process exits (a ping past its budget is
// left to end by itself): OpenSSL's own clean-up at exit would free what that thread is using. So
// OpenSSL is told, before anything starts it, not to clean up at exit, and libcurl's process-wide
// start-up is never undone; the process's end frees both.
const bool kNoTlsCleanUpAtExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

// libcurl's process-wide start-up once, before the first handle.
void StartCurl() {
    static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)started;
    (void)kNoTlsCleanUpAtExit;
}

// Where a TLS handshake finds its engine: the engine is stored in the SSL_CTX libcurl makes for
// each connection.
int EngineIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// A store of trusted certificates from a PEM file (and a folder of hashed certificates), or null.
// As libcurl does with its own store, a trusted intermediate certificate is enough.
X509_STORE* LoadTrustStore(const char* file, const char* folder) {
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) {
        return nullptr;
    }
    bool loaded = false;
    if (file != nullptr) {
        loaded = X509_STORE_load_file(store, file) == 1 || loaded;
    }
    if (folder != nullptr) {
        loaded = X509_STORE_load_path(store, folder) == 1 || loaded;
    }
    ERR_clear_error();  // a missing file is not this thread's next error
    if (!loaded) {
        X509_STORE_free(store);
        return nullptr;
    }
    X509_STORE_set_flags(store, X509_V_FLAG_PARTIAL_CHAIN);
    return store;
}

// The system's trusted certificates, as libcurl was built to find them, loaded once and shared by
// every connection (libcurl would read the bundle again for each connection, which costs more
// than the handshake itself) and read again when the bundle file changes.
class SYSTEM_TRUST {
  public:
    ~SYSTEM_TRUST() { X509_STORE_free(store_); }

    // Gives the store to the connection's context; false when there is none (then nothing
    // verifies, and nothing is refused for it).
    bool UseIn(SSL_CTX* context) {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        struct stat status {};
        const bool present = info->cainfo != nullptr && stat(info->cainfo, &status) == 0;
        std::lock_guard lock(mutex_);
        const bool changed =
            present && (status.st_mtim.tv_sec != modified_.tv_sec ||
                        status.st_mtim.tv_nsec != modified_.tv_nsec || status.st_size != size_);
        if (!loaded_ || changed) {
            X509_STORE* fresh = LoadTrustStore(info->cainfo, info->capath);
            X509_STORE_free(store_);  // connections still open hold their own reference
            store_ = fresh;
            loaded_ = true;
            modified_ = present ? status.st_mtim : timespec{};
            size_ = present ? status.st_size : 0;
        }
        if (store_ == nullptr) {
            return false;
        }
        SSL_CTX_set1_cert_store(context, store_);
        return true;
    }

  private:
    std::mutex mutex_;
    X509_STORE* store_ = nullptr;
    bool loaded_ = false;
    timespec modified_{};
    off_t size_ = 0;
};

SYSTEM_TRUST& SystemTrust() {
    static SYSTEM_TRUST* trust = new SYSTEM_TRUST();  // never destroyed, as the policy below
    return *trust;
}

// The process's TLS policy; requests copy it when they start, so a change never meets a request
// half way.
// Never destroyed: a request on another thread may still start while the process exits.
std::mutex& TlsPolicyMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

HTTP_TLS_POLICY& TlsPolicy() {
    static HTTP_TLS_POLICY* policy = new HTTP_TLS_POLICY();
    return *policy;
}

// The process's stop for new requests; never destroyed, as the policy above.
std::mutex& StopMutex() {
    static std::mutex* mutex = new std::mutex();
    return *mutex;
}

std::shared_ptr<HTTP_STOP>& ProcessStop() {
    static auto* stop = new std::shared_ptr<HTTP_STOP>();
    return *stop;
}

// How long the engine's loop waits for libcurl at most before it looks again; the stop wakes it
// sooner, and libcurl's own time-outs shorten it.
constexpr int kTransferWaitMs = 1000;

CURLcode FromMultiCode(CURLMcode code) {
    return code == CURLM_OUT_OF_MEMORY ? CURLE_OUT_OF_MEMORY : CURLE_FAILED_INIT;
}

// The results with which libcurl reports a server it could not verify, or trusted certificates it
// could not read.
bool IsVerificationFailure(int code) {
    return code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CACERT_BADFILE;
}

bool HasLineBreak(std::string_view value) {
    return value.find_first_of("\r\n") != value.npos;
}

bool IsAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

curl_slist* Append(curl_slist* list, const std::string& line) {
    curl_slist* grown = curl_slist_append(list, line.c_str());
    if (grown == nullptr) {
        curl_slist_free_all(list);
        throw std::bad_alloc();
    }
    return grown;
}

// SChannel protocol bits (client and server bit of each version) and libcurl's range bounds.
struct TLS_VERSION {
    uint32_t bits;
    long minimum;
    long maximum;
    const char* name;
};
constexpr TLS_VERSION kTlsVersions[] = {
    {0x00C0, CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0, "1.0"},
    {0x0300, CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1, "1.1"},
    {0x0C00, CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2, "1.2"},
    {0x3000, CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3, "1.3"},
};

template <typename NUMBER>
bool ParseUnsigned(std::string_view text, NUMBER& value) {
    text = TrimBlanks(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

void SetHttpTlsPolicy(HTTP_TLS_POLICY policy) {
    std::lock_guard lock(TlsPolicyMutex());
    TlsPolicy() = std::move(policy);
}

HTTP_TLS_POLICY GetHttpTlsPolicy() {
    std::lock_guard lock(TlsPolicyMutex());
    return TlsPolicy();
}

void HTTP_STOP::Raise() {
    std::lock_guard lock(lock_);
    raised_ = true;
    // Under the lock: a request detaches before its multi handle can go.
    for (CURLM* multi : waiting_) {
        curl_multi_wakeup(multi);
    }
}

bool HTTP_STOP::IsRaised() const {
    std::lock_guard lock(lock_);
    return raised_;
}

bool HTTP_STOP::Attach(CURLM* multi) {
    std::lock_guard lock(lock_);
    if (raised_) {
        return false;
    }
    waiting_.push_back(multi);
    return true;
}

void HTTP_STOP::Detach(CURLM* multi) {
    std::lock_guard lock(lock_);
    std::erase(waiting_, multi);
}

void SetHttpStop(std::shared_ptr<HTTP_STOP> stop) {
    std::lock_guard lock(StopMutex());
    ProcessStop() = std::move(stop);
}

std::shared_ptr<HTTP_STOP> GetHttpStop() {
    std::lock_guard lock(StopMutex());
    return ProcessStop();
}

void HTTP_EVENT_SINK::OnError(int, const std::string&) {}
void HTTP_EVENT_SINK::OnHeader(std::string_view, std::string_view) {}
void HTTP_EVENT_SINK::OnRedirect(std::string_view) {}
void HTTP_EVENT_SINK::OnSslServerAuthentication(const HTTP_SERVER_CERTIFICATE&, bool&) {}
void HTTP_EVENT_SINK::OnStatus(std::string_view, int, std::string_view) {}

HTTP_ENGINE::HTTP_ENGINE(bool tls, HTTP_EVENT_SINK& sink) : tls_(tls), sink_(sink) {
    StartCurl();
    handle_ = curl_easy_init();
    multi_ = curl_multi_init();
    if (handle_ == nullptr || multi_ == nullptr) {
        return;  // every request then fails with CURLE_FAILED_INIT
    }
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(handle_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle_, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(handle_, CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
    curl_easy_setopt(handle_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &HTTP_ENGINE::OnWrite);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, &HTTP_ENGINE::OnHeaderLine);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle_, CURLOPT_PREREQFUNCTION, &HTTP_ENGINE::OnPrerequest);
    curl_easy_setopt(handle_, CURLOPT_PREREQDATA, this);
    // Peer verification stays on; the name is checked inside OpenSSL's verification (set up in
    // OnSslContext) so that a wrong name is recorded like any other certificate problem instead
    // of ending the request in libcurl.
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle_, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(handle_, CURLOPT_SSL_CTX_FUNCTION, &HTTP_ENGINE::OnSslContext);
    curl_easy_setopt(handle_, CURLOPT_SSL_CTX_DATA, this);
    // The trusted certificates are given to each connection in OnSslContext.
    curl_easy_setopt(handle_, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(handle_, CURLOPT_CAPATH, nullptr);
}

HTTP_ENGINE::~HTTP_ENGINE() {
    if (handle_ != nullptr) {
        curl_easy_cleanup(handle_);
    }
    if (multi_ != nullptr) {
        curl_multi_cleanup(multi_);
    }
    X509_STORE_free(caStore_);
}

int HTTP_ENGINE::SetAcceptValue(std::string_view value) {
    if (HasLineBreak(value)) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    accept_.assign(value);
    return 0;
}

int HTTP_ENGINE::SetOtherHeaders(std::string_view lines) {
    otherHeaders_.assign(lines);
    return 0;
}

void HTTP_ENGINE::SetProxyAuto(bool on) {
    proxyAuto_ = on;
}

int HTTP_ENGINE::SetAuthorizationValue(std::string_view value) {
    if (HasLineBreak(value)) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    authorization_.assign(value);
    return 0;
}

int HTTP_ENGINE::SetContentType(std::string_view value) {
    if (HasLineBreak(value)) {
        return CURLE_BAD_FUNCTION_ARGUMENT;
    }
    contentType_.assign(value);
    return 0;
}

void HTTP_ENGINE::SetPostData(std::string_view body) {
    postData_.assign(body);
}

int HTTP_ENGINE::SetRequestTimeout(uint32_t seconds) {
    timeout_ = seconds;
    return 0;
}

std::string HTTP_ENGINE::ApplyConfig(std::string_view text) {
    const size_t equals = text.find('=');
    const std::string_view name = TrimBlanks(text.substr(0, equals));
    const bool query = equals == text.npos;
    const std::string_view value = query ? std::string_view() : TrimBlanks(text.substr(equals + 1));

    if (EqualsNoCase(name, "AbsoluteTimeout")) {
        if (query) {
            return absoluteTimeout_ ? "true" : "false";
        }
        if (EqualsNoCase(value, "true") || value == "1") {
            absoluteTimeout_ = true;
        } else if (EqualsNoCase(value, "false") || value == "0") {
            absoluteTimeout_ = false;
        } else {
            return "AbsoluteTimeout takes true or false";
        }
        return "";
    }
    if (EqualsNoCase(name, "MaxReplyBytes")) {
        if (query) {
            return std::to_string(maxReplyBytes_);
        }
        uint64_t bytes = 0;
        if (!ParseUnsigned(value, bytes) || bytes == 0) {
            return "MaxReplyBytes takes a number above 0";
        }
        maxReplyBytes_ = bytes;
        return "";
    }
    if (EqualsNoCase(name, "SSLEnabledProtocols")) {
        if (query) {
            return std::to_string(sslProtocols_);
        }
        uint32_t bits = 0;
        if (!ParseUnsigned(value, bits)) {
            return "SSLEnabledProtocols takes a number";
        }
        const TLS_VERSION* lowest = nullptr;
        const TLS_VERSION* highest = nullptr;
        for (const TLS_VERSION& version : kTlsVersions) {
            if ((bits & version.bits) != 0) {
                lowest = lowest != nullptr ? lowest : &version;
                highest = &version;
            }
        }
        if (lowest == nullptr) {
            return "SSLEnabledProtocols names no supported TLS version";
        }
        // libcurl takes a range: a gap in the bits (TLS 1.0 and 1.2 without 1.1) is filled.
        sslProtocols_ = bits;
        sslVersion_ = lowest->minimum | highest->maximum;
        return "";
    }
    if (EqualsNoCase(name, "VerifyServer")) {
        if (query) {
            return verifyServer_ ? "true" : "false";
        }
        if (EqualsNoCase(value, "true") || value == "1") {
            verifyServer_ = true;
        } else if (EqualsNoCase(value, "false") || value == "0") {
            verifyServer_ = false;
        } else {
            return "VerifyServer takes true or false";
        }
        return "";
    }
    if (EqualsNoCase(name, "ServerVerified")) {
        if (query) {
            return serverVerified_ ? "true" : "false";
        }
        return "ServerVerified cannot be set";
    }
    if (EqualsNoCase(name, "SSLCACertFile")) {
        if (query) {
            return caFile_;
        }
        const std::string path(value);
        X509_STORE* store = nullptr;
        if (!path.empty()) {
            store = LoadTrustStore(path.c_str(), nullptr);
            if (store == nullptr) {
                return "SSLCACertFile cannot be read: " + path;
            }
        }
        X509_STORE_free(caStore_);
        caStore_ = store;
        caFile_ = path;
        return "";
    }
    if (query) {
        return "";
    }
    return "Unknown setting: " + std::string(name);
}

void HTTP_ENGINE::SetVerifiedName(const std::string& url) {
    verifiedName_.clear();
    CURLU* parsed = curl_url();
    if (parsed == nullptr) {
        throw std::bad_alloc();
    }
    char* host = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK && host != nullptr) {
        std::string_view name(host);
        if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
            name = name.substr(1, name.size() - 2);
        }
        verifiedName_.assign(name);
    }
    curl_free(host);
    curl_url_cleanup(parsed);
}

void HTTP_ENGINE::ApplyRequestOptions(HTTP_METHOD method, const std::string& url) {
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    switch (method) {
        case HTTP_METHOD::Get:
            curl_easy_setopt(handle_, CURLOPT_NOBODY, 0L);
            curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
            break;
        case HTTP_METHOD::Head:
            curl_easy_setopt(handle_, CURLOPT_HTTPGET, 1L);
            curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
            break;
        case HTTP_METHOD::Post:
            curl_easy_setopt(handle_, CURLOPT_NOBODY, 0L);
            curl_easy_setopt(handle_, CURLOPT_POST, 1L);
            curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, postData_.data());
            curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(postData_.size()));
            break;
    }

    const long seconds = static_cast<long>(timeout_);
    if (seconds == 0) {
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT, 0L);
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, 0L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 0L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, 0L);
    } else if (absoluteTimeout_) {
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT, seconds);
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, seconds);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 0L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, 0L);
    } else {
        curl_easy_setopt(handle_, CURLOPT_TIMEOUT, 0L);
        curl_easy_setopt(handle_, CURLOPT_CONNECTTIMEOUT, seconds);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle_, CURLOPT_LOW_SPEED_TIME, seconds);
    }

    // Null lets libcurl take the proxy from the environment; "" forbids any proxy.
    curl_easy_setopt(handle_, CURLOPT_PROXY, proxyAuto_ ? nullptr : "");
    curl_easy_setopt(
        handle_, CURLOPT_SSLVERSION,
        tls_ && sslVersion_ != 0 ? sslVersion_ : static_cast<long>(CURL_SSLVERSION_DEFAULT));

    // Verified: libcurl checks the name too, and loads the named bundle before OnSslContext runs.
    // Otherwise the name is left to OpenSSL's verification alone, whose result the sink judges.
    // The two kinds never share a connection: libcurl reuses one only under the same settings.
    verified_ = policy_.strict || (verifyServer_ && !policy_.acceptAnyServer);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, verified_ ? 2L : 0L);
    curl_easy_setopt(handle_, CURLOPT_CAINFO,
                     verified_ && !policy_.caFile.empty() ? policy_.caFile.c_str() : nullptr);
}

CURLcode HTTP_ENGINE::Transfer(HTTP_STOP* stop, bool& cancelled) {
    cancelled = false;
    if (CURLMcode added = curl_multi_add_handle(multi_, handle_); added != CURLM_OK) {
        return FromMultiCode(added);
    }
    CURLcode result = CURLE_OK;
    bool done = false;
    if (stop != nullptr && !stop->Attach(multi_)) {
        cancelled = true;
    }
    while (!cancelled && !done) {
        int running = 0;
        CURLMcode code = curl_multi_perform(multi_, &running);
        if (code == CURLM_OK && running != 0) {
            code = curl_multi_poll(multi_, nullptr, 0, kTransferWaitMs, nullptr);
        }
        if (code != CURLM_OK) {
            result = FromMultiCode(code);
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == handle_) {
                result = message->data.result;
                done = true;
            }
        }
        if (!done && running == 0) {
            result = CURLE_FAILED_INIT;  // libcurl ran out of work without a result
            break;
        }
        cancelled = !done && stop != nullptr && stop->IsRaised();
    }
    if (stop != nullptr) {
        stop->Detach(multi_);
    }
    // Removing a transfer that has not ended abandons it and closes its connection.
    curl_multi_remove_handle(multi_, handle_);
    return result;
}

int HTTP_ENGINE::Perform(HTTP_METHOD method, const std::string& url) {
    return Perform(method, url, GetHttpStop());
}

int HTTP_ENGINE::Perform(HTTP_METHOD method, const std::string& url,
                         std::shared_ptr<HTTP_STOP> stop) {
    reply_.clear();
    lastErrorText_.clear();
    lastErrorCode_ = 0;
    errorBuffer_[0] = '\0';
    blockStatus_ = 0;
    headerPending_ = false;
    handshakeSeen_ = false;
    notAccepted_ = false;
    replyTooLarge_ = false;
    certificate_ = HTTP_SERVER_CERTIFICATE();
    sinkException_ = nullptr;
    policy_ = GetHttpTlsPolicy();
    verified_ = false;
    serverVerified_ = false;

    int result = 0;
    if (handle_ == nullptr || multi_ == nullptr) {
        result = CURLE_FAILED_INIT;
        lastErrorText_ = curl_easy_strerror(CURLE_FAILED_INIT);
    } else {
        curl_slist* headers = nullptr;
        if (!accept_.empty()) {
            headers = Append(headers, "Accept: " + accept_);
        }
        // The extra lines go out as given, one per CR LF.
        size_t start = 0;
        while (start < otherHeaders_.size()) {
            size_t end = otherHeaders_.find_first_of("\r\n", start);
            end = end == std::string::npos ? otherHeaders_.size() : end;
            if (end > start) {
                headers = Append(headers, otherHeaders_.substr(start, end - start));
            }
            start = end + 1;
        }
        if (!authorization_.empty()) {
            headers = Append(headers, "Authorization: " + authorization_);
        }
        if (method == HTTP_METHOD::Post) {
            // Without a type libcurl would declare a form; the body goes out undeclared instead.
            headers = Append(headers, contentType_.empty() ? std::string("Content-Type:")
                                                           : "Content-Type: " + contentType_);
        }
        headers = Append(headers, "Expect:");
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(
            headers, &curl_slist_free_all);
        SetVerifiedName(url);
        ApplyRequestOptions(method, url);
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headerList.get());

        bool cancelled = false;
        const CURLcode code = Transfer(stop.get(), cancelled);
        curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, nullptr);
        if (!sinkException_) {
            try {
                FlushHeader();
            } catch (...) {
                sinkException_ = std::current_exception();
            }
        }
        if (sinkException_) {
            std::rethrow_exception(sinkException_);
        }
        long status = 0;
        curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &status);
        if (cancelled) {
            result = HTTP_ENGINE_CANCELLED;
            lastErrorText_ = "Request cancelled: the program is stopping";
            reply_.clear();
        } else if (code != CURLE_OK) {
            result = code;
            if (replyTooLarge_) {
                result = HTTP_ENGINE_REPLY_TOO_LARGE;
                lastErrorText_ = "Reply larger than " + std::to_string(maxReplyBytes_) + " bytes";
                reply_.clear();
            } else if (notAccepted_) {
                lastErrorText_ = "Server certificate not accepted";
                if (!certificate_.verifyError.empty()) {
                    lastErrorText_ += ": " + certificate_.verifyError;
                }
            } else {
                lastErrorText_ = errorBuffer_[0] != '\0' ? errorBuffer_ : curl_easy_strerror(code);
                if (verified_ && IsVerificationFailure(code)) {
                    DebugPrint("TLS verification of %s failed: %s", verifiedName_.c_str(),
                               lastErrorText_.c_str());
                }
            }
        } else if ((status < 200 || status > 299) && status != 101) {
            result = HTTP_ENGINE_STATUS_ERROR;
            lastErrorText_ = curl_easy_strerror(CURLE_HTTP_RETURNED_ERROR);
        }
        if (result == 0 || result == HTTP_ENGINE_STATUS_ERROR) {
            // A verified request fails at a server it cannot verify, so an answer over TLS is an
            // answer from the server the URL names.
            const char* scheme = nullptr;
            curl_easy_getinfo(handle_, CURLINFO_SCHEME, &scheme);
            serverVerified_ = verified_ && scheme != nullptr && EqualsNoCase(scheme, "https");
        }
    }
    lastErrorCode_ = result;
    if (result != 0) {
        sink_.OnError(result, lastErrorText_);
    }
    return result;
}

size_t HTTP_ENGINE::OnWrite(char* data, size_t size, size_t count, void* self) {
    auto* engine = static_cast<HTTP_ENGINE*>(self);
    try {
        if (engine->reply_.size() + size * count > engine->maxReplyBytes_) {
            engine->replyTooLarge_ = true;
            return 0;  // libcurl ends the transfer
        }
        engine->reply_.append(data, size * count);
        return size * count;
    } catch (...) {
        engine->sinkException_ = std::current_exception();
        return 0;  // libcurl ends the transfer
    }
}

size_t HTTP_ENGINE::OnHeaderLine(char* data, size_t size, size_t count, void* self) {
    auto* engine = static_cast<HTTP_ENGINE*>(self);
    try {
        engine->HandleHeaderLine(std::string_view(data, size * count));
        return size * count;
    } catch (...) {
        engine->sinkException_ = std::current_exception();
        return 0;
    }
}

void HTTP_ENGINE::HandleHeaderLine(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && headerPending_) {
        headerValue_ += ' ';
        headerValue_.append(TrimBlanks(line));
        return;
    }
    FlushHeader();
    if (line.empty()) {
        return;  // end of a header block
    }
    if (line.starts_with("HTTP/")) {
        const size_t space = line.find(' ');
        const std::string_view version = line.substr(0, space);
        std::string_view rest = space == line.npos ? std::string_view() : line.substr(space + 1);
        int status = 0;
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), status);
        if (error != std::errc()) {
            status = 0;
        }
        const std::string_view reason = TrimBlanks(rest.substr(end - rest.data()));
        blockStatus_ = status;
        sink_.OnStatus(version, status, reason);
        return;
    }
    const size_t colon = line.find(':');
    if (colon == line.npos) {
        return;
    }
    headerName_.assign(TrimBlanks(line.substr(0, colon)));
    headerValue_.assign(TrimBlanks(line.substr(colon + 1)));
    headerPending_ = true;
}

void HTTP_ENGINE::FlushHeader() {
    if (!headerPending_) {
        return;
    }
    headerPending_ = false;
    sink_.OnHeader(headerName_, headerValue_);
    if (blockStatus_ >= 300 && blockStatus_ <= 399 && EqualsNoCase(headerName_, "Location")) {
        sink_.OnRedirect(headerValue_);
    }
}

int HTTP_ENGINE::OnPrerequest(void* self, char*, char*, int, int) {
    auto* engine = static_cast<HTTP_ENGINE*>(self);
    if (!engine->handshakeSeen_) {
        return CURL_PREREQFUNC_OK;  // plain HTTP, or a connection verified by an earlier request
    }
    engine->handshakeSeen_ = false;
    bool accept = engine->certificate_.verified;
    try {
        engine->sink_.OnSslServerAuthentication(engine->certificate_, accept);
    } catch (...) {
        engine->sinkException_ = std::current_exception();
        return CURL_PREREQFUNC_ABORT;
    }
    if (!accept) {
        engine->notAccepted_ = true;
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

CURLcode HTTP_ENGINE::OnSslContext(CURL*, void* sslContext, void* self) {
    auto* engine = static_cast<HTTP_ENGINE*>(self);
    auto* context = static_cast<SSL_CTX*>(sslContext);
    if (EngineIndex() < 0 || SSL_CTX_set_ex_data(context, EngineIndex(), engine) != 1) {
        return CURLE_OUT_OF_MEMORY;
    }
    if (engine->caStore_ != nullptr) {
        SSL_CTX_set1_cert_store(context, engine->caStore_);
    } else if (!engine->verified_ || engine->policy_.caFile.empty()) {
        SystemTrust().UseIn(context);
    }  // else the policy's bundle, which libcurl has loaded into the context
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, &HTTP_ENGINE::OnVerify);
    if (!engine->verifiedName_.empty()) {
        X509_VERIFY_PARAM* parameters = SSL_CTX_get0_param(context);
        const std::string& name = engine->verifiedName_;
        const int set = IsAddress(name)
                            ? X509_VERIFY_PARAM_set1_ip_asc(parameters, name.c_str())
                            : X509_VERIFY_PARAM_set1_host(parameters, name.c_str(), name.size());
        if (set != 1) {
            return CURLE_OUT_OF_MEMORY;
        }
    }
    return CURLE_OK;
}

int HTTP_ENGINE::OnVerify(int preverifyOk, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* engine =
        ssl != nullptr
            ? static_cast<HTTP_ENGINE*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), EngineIndex()))
            : nullptr;
    if (engine == nullptr) {
        return preverifyOk;
    }
    try {
        HTTP_SERVER_CERTIFICATE& certificate = engine->certificate_;
        if (!engine->handshakeSeen_) {
            engine->handshakeSeen_ = true;
            certificate = HTTP_SERVER_CERTIFICATE();
            certificate.verified = true;
            if (X509* leaf = X509_STORE_CTX_get0_cert(store)) {
                char text[512];
                certificate.subject =
                    X509_NAME_oneline(X509_get_subject_name(leaf), text, sizeof(text));
                certificate.issuer =
                    X509_NAME_oneline(X509_get_issuer_name(leaf), text, sizeof(text));
            }
        }
        if (preverifyOk == 0) {
            if (engine->verified_) {
                return 0;  // the handshake ends here, with OpenSSL's reason for libcurl to give
            }
            if (certificate.verified) {
                certificate.verified = false;
                certificate.verifyError =
                    X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
            }
            // Recorded, not fatal: the sink decides once the connection is made.
            X509_STORE_CTX_set_error(store, X509_V_OK);
        }
        return 1;
    } catch (...) {
        engine->sinkException_ = std::current_exception();
        return 0;
    }
}

}  // namespace wexo::svc
