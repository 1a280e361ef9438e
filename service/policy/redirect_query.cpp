#include "service/policy/redirect_query.h"

#include <curl/curl.h>

#include <cctype>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "os/core/clock.h"
#include "service/checkin/deployments.h"
#include "service/checkin/settings.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/http_api.h"
#include "service/support/http_query.h"
#include "service/support/xml_parser.h"

namespace wexo::svc {
namespace {

unsigned long Ul(uint64_t value) {
    return static_cast<unsigned long>(value);
}

// ---- The policy query on a helper thread ----

enum class QUERY_OUTCOME {
    Answered,  // the server answered, with `status` and `body`
    NoAnswer,  // no answer (connection, TLS, time-out); `errorText` says why
    Stopped,   // the service is stopping; nothing was decided
};

// Shared by the lookup and the helper that runs the request.
struct QUERY_STATE {
    os::Event done{os::EventType::Notification};
    // Written by the helper before `done` is set; read only after it.
    bool answered = false;
    int32_t status = 0;
    std::string body;
    std::string requestUrl;
    std::string errorText;
};

struct QUERY_RESULT {
    QUERY_OUTCOME outcome = QUERY_OUTCOME::NoAnswer;
    int32_t status = 0;
    std::string body;
    std::string requestUrl;
    std::string errorText;
};

struct IN_FLIGHT {
    std::mutex mutex;
    std::condition_variable idle;
    size_t count = 0;
};

IN_FLIGHT& InFlight() {
    // Never destroyed: a helper may finish while the process exits.
    static IN_FLIGHT* inFlight = new IN_FLIGHT();
    return *inFlight;
}

void RunQuery(QUERY_STATE& state, const std::string& server, const std::string& deviceId,
              const std::string& userName, const std::string& lookupUrl) {
    try {
        HTTPX_PAIR pair;
        HTTPX_API& client = pair.Client();
        client.Config("AbsoluteTimeout=true");
        client.SetTimeout(kPolicyQueryTimeoutSeconds);
        state.answered = client.Get(server, kPolicyPage,
                                    {{"id", deviceId}, {"user", userName}, {"url", lookupUrl}});
        state.status = client.GetStatus();
        state.requestUrl = client.GetRequestUrl();
        state.errorText = client.GetLastErrorText();
        if (state.answered) {
            state.body = std::string(client.GetReplyData());
        }
    } catch (const std::exception& failure) {
        state.answered = false;
        state.errorText = failure.what();
    }
}

void FinishQuery(const std::shared_ptr<QUERY_STATE>& state) {
    // Set before the count drops, so that whoever waits for the count to reach zero finds the
    // lookup already woken (and counted as running by a virtual clock).
    state->done.Set();
    IN_FLIGHT& inFlight = InFlight();
    std::lock_guard guard(inFlight.mutex);
    if (--inFlight.count == 0) {
        inFlight.idle.notify_all();
    }
}

// The threads that run policy queries. Starting a thread for every query costs little on average
// but now and then a whole scheduler tick on a busy machine, so a helper that has finished waits
// for the next query, for a while, before it ends; a query that finds no idle helper starts one.
// A server that hangs ties up only the helpers of its own queries. Plain threads, not os/ ones:
// they spend their life in network I/O, which a virtual clock must not wait for.
class QUERY_HELPERS {
  public:
    static QUERY_HELPERS& Get() {
        // Never destroyed: idle helpers may still wait on it while the process exits.
        static QUERY_HELPERS* helpers = new QUERY_HELPERS();
        return *helpers;
    }

    // Throws std::system_error when a needed thread cannot be started.
    void Run(std::function<void()> work) {
        {
            std::lock_guard guard(mutex_);
            if (idle_ > queue_.size()) {
                queue_.push_back(std::move(work));
                wake_.notify_one();
                return;
            }
        }
        std::thread([this, first = std::move(work)]() mutable {
            first();
            first = nullptr;
            Serve();
        }).detach();
    }

  private:
    static constexpr std::chrono::seconds kIdleLifetime{30};

    void Serve() {
        std::unique_lock guard(mutex_);
        while (true) {
            ++idle_;
            const bool woken =
                wake_.wait_for(guard, kIdleLifetime, [this] { return !queue_.empty(); });
            --idle_;
            if (!woken) {
                return;
            }
            std::function<void()> work = std::move(queue_.front());
            queue_.pop_front();
            guard.unlock();
            work();
            work = nullptr;
            guard.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    size_t idle_ = 0;
};

QUERY_RESULT PolicyQuery(const std::string& server, const POLICY_QUERY& query,
                         os::Event* stopEvent) {
    auto state = std::make_shared<QUERY_STATE>();
    {
        IN_FLIGHT& inFlight = InFlight();
        std::lock_guard guard(inFlight.mutex);
        ++inFlight.count;
    }
    try {
        QUERY_HELPERS::Get().Run([state, server, deviceId = std::string(query.deviceId),
                                  userName = std::string(query.userName),
                                  lookupUrl = std::string(query.lookupUrl)] {
            RunQuery(*state, server, deviceId, userName, lookupUrl);
            FinishQuery(state);
        });
    } catch (const std::exception& failure) {
        state->answered = false;
        state->errorText = failure.what();
        FinishQuery(state);
    }

    std::vector<os::DispatcherObject*> objects{&state->done};
    if (stopEvent != nullptr) {
        objects.push_back(stopEvent);
    }
    const uint32_t wait =
        os::WaitForMultipleObjects(objects, false, kPolicyQueryTimeoutSeconds * 1000);
    QUERY_RESULT result;
    if (wait != os::WAIT_OBJECT_0) {
        // The helper is left to finish on its own; what it learns comes too late.
        result.requestUrl = PolicyQueryUrl(server, query.deviceId, query.userName, query.lookupUrl);
        result.outcome =
            wait == os::WAIT_TIMEOUT ? QUERY_OUTCOME::NoAnswer : QUERY_OUTCOME::Stopped;
        result.errorText = wait == os::WAIT_TIMEOUT ? curl_easy_strerror(CURLE_OPERATION_TIMEDOUT)
                                                    : "Service stopping";
        return result;
    }
    result.outcome = state->answered ? QUERY_OUTCOME::Answered : QUERY_OUTCOME::NoAnswer;
    result.status = state->status;
    result.body = std::move(state->body);
    result.requestUrl = std::move(state->requestUrl);
    result.errorText = std::move(state->errorText);
    return result;
}

}  // namespace

// ---- Reply and URL helpers ----

bool ParsePolicyReply(std::string_view body, POLICY_REPLY* reply) {
    *reply = POLICY_REPLY();
    if (body.size() > kMaxPolicyReplyBytes) {
        return false;
    }
    XML_PARSER xml;
    if (!xml.Parse(body) || !xml.FindRoot("Ostrel")) {
        return false;
    }
    uint8_t flag = 0;
    if (!xml.GetBoolean("BlockOnFailure", flag)) {
        return false;
    }
    reply->blockOnFailure = flag != 0;
    flag = 0;
    xml.GetBoolean("UnencryptedSearch", flag);
    reply->unencryptedSearch = flag != 0;
    flag = 0;
    xml.GetBoolean("DisableFiltering", flag);
    reply->disableFiltering = flag != 0;
    int32_t cacheTimeout = 0;
    if (xml.GetInteger("CacheTimeout", cacheTimeout) && cacheTimeout > 0) {
        reply->cacheTimeout = cacheTimeout;
    }
    std::string redirectUrl;
    if (xml.GetString("RedirectURL", redirectUrl)) {
        reply->redirectUrl = SafeRedirectUrl(redirectUrl);
    }
    return true;
}

std::string SafeRedirectUrl(std::string_view url) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string safe;
    safe.reserve(url.size());
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F) {
            safe.push_back('%');
            safe.push_back(kDigits[byte >> 4]);
            safe.push_back(kDigits[byte & 0xF]);
        } else {
            safe.push_back(c);
        }
    }
    return safe;
}

std::string_view ServerHostName(std::string_view serverName) {
    if (!serverName.empty() && serverName.front() == '[') {
        const size_t close = serverName.find(']');
        return close == std::string_view::npos ? serverName.substr(1)
                                               : serverName.substr(1, close - 1);
    }
    const size_t colon = serverName.find(':');
    if (colon != std::string_view::npos &&
        serverName.find(':', colon + 1) == std::string_view::npos) {
        return serverName.substr(0, colon);
    }
    return serverName;
}

bool IsOnPolicyServer(std::string_view lookupUrl, std::string_view serverName) {
    if (serverName.empty() || lookupUrl.size() < serverName.size()) {
        return false;
    }
    for (size_t i = 0; i < serverName.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(lookupUrl[i])) !=
            std::toupper(static_cast<unsigned char>(serverName[i]))) {
            return false;
        }
    }
    if (lookupUrl.size() == serverName.size()) {
        return true;
    }
    const char next = lookupUrl[serverName.size()];
    return next == '/' || next == ':';
}

std::string PolicyQueryUrl(std::string_view server, std::string_view deviceId,
                           std::string_view userName, std::string_view lookupUrl) {
    std::string url = GetApiProtocol() == API_PROTOCOL_HTTPS ? "HTTPS://" : "HTTP://";
    url.append(server).append("/").append(kPolicyPage).append("?id=");
    HttpxAppendEncoded(url, deviceId);
    url.append("&user=");
    HttpxAppendEncoded(url, userName);
    url.append("&url=");
    HttpxAppendEncoded(url, lookupUrl);
    return url;
}

size_t PolicyQueriesInFlight() {
    IN_FLIGHT& inFlight = InFlight();
    std::lock_guard guard(inFlight.mutex);
    return inFlight.count;
}

bool WaitForPolicyQueries(std::chrono::milliseconds realLimit) {
    IN_FLIGHT& inFlight = InFlight();
    std::unique_lock guard(inFlight.mutex);
    return inFlight.idle.wait_for(guard, realLimit, [&] { return inFlight.count == 0; });
}

// ---- Filter-server addresses ----

int FILTER_SERVER_ADDRESSES::Match(const IP_ADDRESS& address, os::Event* stop) {
    RefreshWhenDue(stop);
    std::lock_guard guard(mutex_);
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        if (addresses_[slot].Length() != 0 && addresses_[slot] == address) {
            return slot;
        }
    }
    return -1;
}

IP_ADDRESS FILTER_SERVER_ADDRESSES::Address(SLOT slot) {
    std::lock_guard guard(mutex_);
    return addresses_[slot];
}

void FILTER_SERVER_ADDRESSES::RefreshWhenDue(os::Event* stop) {
    {
        std::unique_lock guard(mutex_);
        const bool due = !resolvedAt_ || AgeSeconds(*resolvedAt_, os::QueryInterruptTime()) >
                                             kFilterServerRefreshSeconds;
        if (!due) {
            return;
        }
        if (refreshing_) {
            if (resolvedAt_) {
                return;
            }
            // Nothing resolved yet: without waiting, this lookup would find no server excluded.
            guard.unlock();
            os::DispatcherObject* objects[] = {&refreshEnded_, stop};
            os::WaitForMultipleObjects(std::span(objects, stop != nullptr ? 2 : 1), false,
                                       kFirstFilterServerRefreshWaitMs);
            return;
        }
        refreshing_ = true;
        if (!resolvedAt_) {
            refreshEnded_.Reset();
        }
    }
    // Whatever happens below (a failed allocation throws), the next lookup may try again.
    struct REFRESH_GUARD {
        FILTER_SERVER_ADDRESSES* self;
        ~REFRESH_GUARD() {
            std::lock_guard guard(self->mutex_);
            self->refreshing_ = false;
            self->refreshEnded_.Set();
        }
    } refreshGuard{this};
    // Resolved without the lock: a slow resolver must not hold up every lookup behind it.
    const DEPLOYMENT deployment = CurrentDeployment();
    const std::string_view hosts[SLOT_COUNT] = {
        ServerHostName(deployment.mobileServer), ServerHostName(deployment.mobileServer),
        ServerHostName(deployment.apiServer), ServerHostName(deployment.apiServer)};
    IP_ADDRESS found[SLOT_COUNT];
    bool resolved[SLOT_COUNT] = {};
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        found[slot].SetLength(slot == MOBILE_V6 || slot == API_V6 ? 16 : 4);
        resolved[slot] = found[slot].ResolveHostName(hosts[slot]);
    }
    std::lock_guard guard(mutex_);
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        if (resolved[slot]) {
            addresses_[slot] = found[slot];
        }
    }
    resolvedAt_ = os::QueryInterruptTime();
}

// ---- The decision ----

POLICY_ENGINE::POLICY_ENGINE(SETTINGS& settings, POLICY_SERVERS& servers, os::Event* stopEvent)
    : settings_(settings), servers_(servers), stopEvent_(stopEvent) {}

bool POLICY_ENGINE::Decide(const POLICY_QUERY& query, std::string* redirectUrl) {
    redirectUrl->clear();
    if (query.https &&
        caches_.blocked.Lookup(query.address, query.host, query.userName, redirectUrl)) {
        const std::string address(query.addressText);
        const std::string url(query.lookupUrl);
        DebugPrint("Blocked IP address = %s, URL = \"%s\",\n    Redirect URL = \"%s\"",
                   address.c_str(), url.c_str(), redirectUrl->c_str());
        return true;
    }
    if (caches_.filtering.IsOff()) {
        return false;
    }
    return QueryRedirectUrl(query, redirectUrl);
}

bool POLICY_ENGINE::IsExcludedAddress(const IP_ADDRESS& address, std::string_view addressText) {
    const std::string text(addressText);
    if (address.IsUnspecified()) {
        DebugPrint("Zero IP address");
        return false;
    }
    if (address.IsLoopback()) {
        DebugWrite(LINE_VERBOSE, "Loopback IP address = %s excluded", text.c_str());
        return true;
    }
    if (address.IsPrivate()) {
        DebugWrite(LINE_VERBOSE, "Local IP address = %s excluded", text.c_str());
        return true;
    }
    static constexpr const char* kMatchLines[FILTER_SERVER_ADDRESSES::SLOT_COUNT] = {
        "Exclude Ostrel Server IPv4 = %s", "Exclude Ostrel Server IPv6 = %s",
        "Exclude API Filter Server IPv4 = %s", "Exclude API Filter Server IPv6 = %s"};
    const int slot = filterServers_.Match(address, stopEvent_);
    if (slot < 0) {
        return false;
    }
    DebugPrint(kMatchLines[slot], text.c_str());
    DebugWrite(LINE_VERBOSE, "Filter server IP address = %s excluded", text.c_str());
    return true;
}

bool POLICY_ENGINE::QueryRedirectUrl(const POLICY_QUERY& query, std::string* redirectUrl) {
    const unsigned long fc = Ul(query.flowNumber);
    const unsigned long sc = Ul(query.callNumber);
    const std::string url(query.lookupUrl);
    const std::string address(query.addressText);
    redirectUrl->clear();
    if (IsExcludedAddress(query.address, query.addressText)) {
        return false;
    }
    if (caches_.allowed.Lookup(query.lookupUrl, query.https, query.userName)) {
        return false;
    }
    if (hotspot_.Passthrough(query.lookupUrl, query.addressText)) {
        DebugPrint("Excluding URL = \"%s\"; hotspot IP address", url.c_str());
        return false;
    }

    std::string server;
    if (!servers_.CurrentServer(server)) {
        // A lone server that is down is still named by the block-on-failure line.
        return BlockOnFailure(query, server, redirectUrl);
    }
    if (IsOnPolicyServer(query.lookupUrl, server)) {
        DebugPrint(
            "QueryRedirectUrl: FC#%lu, SC#%lu,\n    Excluding URL = \"%s\"; on policy server = "
            "\"%s\"",
            fc, sc, url.c_str(), server.c_str());
        return false;
    }

    QUERY_RESULT answer = PolicyQuery(server, query, stopEvent_);
    const char* requestUrl = answer.requestUrl.c_str();
    if (answer.outcome == QUERY_OUTCOME::Stopped) {
        DebugPrint("QueryRedirectUrl: FC#%lu, SC#%lu, Service stopping,\n    Policy query = \"%s\"",
                   fc, sc, requestUrl);
        return BlockOnFailure(query, server, redirectUrl);
    }
    if (answer.outcome == QUERY_OUTCOME::NoAnswer) {
        DebugPrint(
            "QueryRedirectUrl: FC#%lu, SC#%lu, Unable to connect, \n    Server name = \"%s\",\n    "
            "Policy query = \"%s\"\n    %s",
            fc, sc, server.c_str(), requestUrl, answer.errorText.c_str());
        servers_.MarkUnavailable(server);
        return BlockOnFailure(query, server, redirectUrl);
    }
    if (answer.status != 200) {
        DebugPrint(
            "QueryRedirectUrl: FC#%lu, SC#%lu,\n    Policy query = \"%s\" failed.\n    HTTP "
            "status = %u",
            fc, sc, requestUrl, static_cast<unsigned>(answer.status));
        if (hotspot_.IsHotspotReply(answer.status, answer.body, query.lookupUrl, query.deviceId)) {
            return false;
        }
        return BlockOnFailure(query, server, redirectUrl);
    }

    if (DebugCategoryEnabled(LINE_HTTP)) {
        DebugPrint("Policy query = \"%s\", Reply:\n%s", requestUrl,
                   ReplyTextForLog(answer.body).c_str());
    } else {
        DebugWrite(LINE_VERBOSE, "QueryRedirectUrl: FC#%lu, SC#%lu,\n    Policy query = \"%s\"", fc,
                   sc, requestUrl);
    }
    POLICY_REPLY reply;
    if (!ParsePolicyReply(answer.body, &reply)) {
        if (hotspot_.IsHotspotReply(answer.status, answer.body, query.lookupUrl, query.deviceId)) {
            return false;
        }
        DebugPrint(
            "QueryRedirectUrl: FC#%lu, SC#%lu,\n    Unexpected reply for policy query = "
            "\"%s\":\n%s",
            fc, sc, requestUrl, ReplyTextForLog(answer.body).c_str());
        return BlockOnFailure(query, server, redirectUrl);
    }

    settings_.ApplyPolicyFlags(reply.blockOnFailure, reply.unencryptedSearch);
    if (reply.disableFiltering) {
        caches_.filtering.SwitchOff();
    } else {
        caches_.filtering.SwitchOn();
    }
    hotspot_.ClearStatistics();

    if (!reply.redirectUrl.empty()) {
        const std::string shortUrl(CutBeforeQuery(query.lookupUrl));
        DebugPrint("QueryRedirectUrl: FC#%lu, SC#%lu,\n    Redirecting URL = \"%s\" to\n    \"%s\"",
                   fc, sc, shortUrl.c_str(), reply.redirectUrl.c_str());
        // A lookup without a destination address has nothing to remember.
        if (query.https && reply.cacheTimeout != 0 && !query.address.IsUnspecified()) {
            DebugWrite(LINE_VERBOSE,
                       "QueryRedirectUrl: FC#%lu, SC#%lu,\n    Cache blocked IP address = %s, URL "
                       "= \"%s\"",
                       fc, sc, address.c_str(), url.c_str());
            caches_.blocked.Add(query.address, query.host, query.userName, reply.redirectUrl);
        }
        *redirectUrl = std::move(reply.redirectUrl);
        return true;
    }
    if (reply.cacheTimeout != 0) {
        caches_.allowed.Add(query.lookupUrl, reply.cacheTimeout, query.https, query.userName);
    }
    return false;
}

bool POLICY_ENGINE::BlockOnFailure(const POLICY_QUERY& query, const std::string& serverName,
                                   std::string* redirectUrl) {
    const unsigned long fc = Ul(query.flowNumber);
    const unsigned long sc = Ul(query.callNumber);
    if (!settings_.BlockOnFailure()) {
        DebugPrint(
            "QueryRedirectUrl: FC#%lu, SC#%lu, No policy server available, Block on failure "
            "= false",
            fc, sc);
        return false;
    }
    *redirectUrl = CurrentDeployment().blockOnFailureUrl;
    DebugPrint(
        "QueryRedirectUrl: FC#%lu, SC#%lu, No policy server available, Block on failure = true,\n  "
        "  Server name = \"%s\",\n    Redirect URL = \"%s\"",
        fc, sc, serverName.empty() ? "<unavailable>" : serverName.c_str(), redirectUrl->c_str());
    return true;
}

}  // namespace wexo::svc
