// The reference policy server: the pages the service asks of a policy server, answered the way the
// service expects, from a policy a person writes (tools/peers/policy_file.h,
// docs/policy-server.md).
//
// The pages live in PolicyPages, apart from any HTTP server: a table of handlers over the pages'
// shared state. PolicyServer serves that table on an HttpPeer (loopback, port chosen at start,
// with the peer's refuse/hang/reset/delay switches), which is what tests and the demo start in
// process; the policy-server program serves the same table on a server bound to a port it is given.
//
// Pages:
//   "ostrel_ping" (HEAD and GET): 200, or the answer a test sets (a captive portal's 302 ...).
//   "access/mobile" (GET, pairs id, user, url): the XML policy reply for that user and URL. A
//       blocked URL is redirected to the block page with "?url=<the URL>&rule=<the rule>". The
//       rules are matched on the normalised URL, and a URL of a host that has path rules gets a
//       "CacheTimeout" of 0.
//   "api/mobile/v1/dns_remaps" (GET, pair host_id): the policy's DNS remap list, or 404 when it
//       lists none.
//   "blocked.html": the block page, showing the URL and the rule from its query.
//   "BlockOnFailure.html": the page a lookup is sent to when no policy server answered.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/peers/http_peer.h"
#include "tools/peers/policy_file.h"

namespace wexo::peers {

class PolicyPages {
  public:
    struct Page {
        std::string method;  // "GET" (HEAD is served by the GET handler)
        std::string path;    // "/ostrel_ping"
        PeerHandler handler;
    };

    static constexpr char kBlockPagePath[] = "/blocked.html";
    static constexpr char kBlockOnFailurePagePath[] = "/BlockOnFailure.html";

    PolicyPages() = default;
    PolicyPages(const PolicyPages&) = delete;
    PolicyPages& operator=(const PolicyPages&) = delete;

    // The table of pages. The handlers refer to this object, which must outlive any server they
    // are registered with.
    std::vector<Page> Pages();

    // "http://127.0.0.1:<port>": where this server's own pages are (the block page's URL).
    void SetBaseUrl(std::string baseUrl);
    std::string BaseUrl() const;

    // ---- The policy. An empty policy (no rules, every setting off) until one is set.
    // False, with "line N: ..." in *error, when the text is not a policy; the old one stays.
    bool SetPolicyText(std::string_view text, std::string* error);
    void SetPolicy(PolicyFile policy);
    // Reads the file now and again whenever it has changed when a policy page is asked for. A
    // change that does not read as a policy keeps the previous one (and is reported once).
    bool LoadPolicyFile(const std::string& path, std::string* error);
    PolicyFile Policy();
    // The redirect URL for a blocked lookup under the current policy.
    std::string BlockRedirectUrl(std::string_view url, std::string_view rule);

    // ---- Answers a test sets in place of the policy's.
    // What "access/mobile" answers instead (a captive portal's 302 or page, a broken reply, ...).
    void SetMobileAnswer(int status, std::string body, std::string contentType = "text/html",
                         std::string location = {});
    void ClearMobileAnswer();
    // What "ostrel_ping" answers: a status and, for a redirect, its Location. 200 at start.
    void SetPingAnswer(int status, std::string location = {});

    // ---- What was asked.
    size_t PingCount() const { return pingCount_.load(); }
    size_t MobileCount() const { return mobileCount_.load(); }
    size_t DnsRemapCount() const { return dnsRemapCount_.load(); }

    // One line per policy decision and per policy reload ("access/mobile user=... url=...:
    // blocked by ..."); none unless set. Called on the server's threads.
    void SetActivityLog(std::function<void(const std::string&)> log);

  private:
    void AnswerPing(const httplib::Request& request, httplib::Response& response);
    void AnswerMobile(const httplib::Request& request, httplib::Response& response);
    void AnswerDnsRemaps(const httplib::Request& request, httplib::Response& response);
    void AnswerBlockPage(const httplib::Request& request, httplib::Response& response);
    void AnswerBlockOnFailurePage(const httplib::Request& request, httplib::Response& response);
    // The policy to answer with, read again first when its file changed.
    std::shared_ptr<const PolicyFile> CurrentPolicy();
    void Report(const std::string& line);

    struct MobileAnswer {
        int status = 200;
        std::string body;
        std::string contentType;
        std::string location;
    };
    static constexpr long long kNoStamp = -2;
    struct FileStamp {
        std::time_t modified = 0;
        long long modifiedNs = 0;
        long long size = -1;
        bool operator==(const FileStamp&) const = default;
    };

    mutable std::mutex mutex_;
    int pingStatus_ = 200;
    std::string pingLocation_;
    std::optional<MobileAnswer> mobileAnswer_;
    std::shared_ptr<const PolicyFile> policy_ = std::make_shared<PolicyFile>();
    std::string policyPath_;
    FileStamp policyStamp_;
    // The state of the file when it last failed to read; none yet (a missing file is -1).
    FileStamp rejectedStamp_{0, 0, kNoStamp};
    std::string baseUrl_;
    std::function<void(const std::string&)> activityLog_;
    std::atomic<size_t> pingCount_{0};
    std::atomic<size_t> mobileCount_{0};
    std::atomic<size_t> dnsRemapCount_{0};
};

// The pages on a local HttpPeer.
class PolicyServer {
  public:
    explicit PolicyServer(PeerOptions options = {});
    ~PolicyServer();
    PolicyServer(const PolicyServer&) = delete;
    PolicyServer& operator=(const PolicyServer&) = delete;

    // Binds 127.0.0.1 on a port chosen now; false when it cannot (or already runs).
    bool Start();
    void Stop();
    bool IsRunning() const { return peer_.IsRunning(); }

    int Port() const { return peer_.Port(); }
    // "127.0.0.1:<port>": the policy-server name the service is given.
    std::string HostPort() const { return peer_.HostPort(); }
    bool IsHttps() const { return peer_.Options().https; }

    PolicyPages& Pages() { return pages_; }
    // The peer's switches and request log.
    HttpPeer& Peer() { return peer_; }

  private:
    PolicyPages pages_;
    HttpPeer peer_;
};

// The XML text of a policy reply ("<Ostrel>" with the five fields; no RedirectURL when empty),
// with the cache lifetime given for the URL it answers (CacheTimeoutFor).
std::string PolicyReplyXml(const PolicyFile& policy, const std::string& redirectUrl,
                           int32_t cacheTimeout);
// Text safe inside an XML element or an HTML page: & < > " ' escaped.
std::string EscapeMarkup(std::string_view text);
// Percent-encoding of a query value (everything but A-Z a-z 0-9 - . _ ~).
std::string EncodeQueryValue(std::string_view value);

}  // namespace wexo::peers
