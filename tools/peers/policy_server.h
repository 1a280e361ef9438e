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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/peers/http_peer.h"
#include "tools/peers/policy_file.h"
#include "tools/peers/reference_server.h"
#include "tools/peers/watched_file.h"

namespace wexo::peers {

// Its base URL is where the block page's URL points; its activity log has one line per policy
// decision and per policy reload ("access/mobile user=... url=...: blocked by ...").
class PolicyPages : public REFERENCE_PAGES {
  public:
    using Page = REFERENCE_PAGE;

    static constexpr char kBlockPagePath[] = "/blocked.html";
    static constexpr char kBlockOnFailurePagePath[] = "/BlockOnFailure.html";

    PolicyPages();

    // The table of pages. The handlers refer to this object, which must outlive any server they
    // are registered with.
    std::vector<Page> Pages();

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

  private:
    void AnswerPing(const httplib::Request& request, httplib::Response& response);
    void AnswerMobile(const httplib::Request& request, httplib::Response& response);
    void AnswerDnsRemaps(const httplib::Request& request, httplib::Response& response);
    void AnswerBlockPage(const httplib::Request& request, httplib::Response& response);
    void AnswerBlockOnFailurePage(const httplib::Request& request, httplib::Response& response);
    // The policy to answer with, read again first when its file changed.
    std::shared_ptr<const PolicyFile> CurrentPolicy() { return policy_.Current(); }

    struct MobileAnswer {
        int status = 200;
        std::string body;
        std::string contentType;
        std::string location;
    };

    std::mutex mutex_;
    int pingStatus_ = 200;
    std::string pingLocation_;
    std::optional<MobileAnswer> mobileAnswer_;
    WATCHED_FILE<PolicyFile> policy_;
    std::atomic<size_t> pingCount_{0};
    std::atomic<size_t> mobileCount_{0};
    std::atomic<size_t> dnsRemapCount_{0};
};

// The pages on a local HttpPeer; HostPort() is the policy-server name the service is given.
class PolicyServer : public REFERENCE_SERVER<PolicyPages> {
  public:
    explicit PolicyServer(PeerOptions options = {}) : REFERENCE_SERVER(std::move(options)) {}
};

// The XML text of a policy reply ("<Ostrel>" with the five fields; no RedirectURL when empty),
// with the cache lifetime given for the URL it answers (CacheTimeoutFor).
std::string PolicyReplyXml(const PolicyFile& policy, const std::string& redirectUrl,
                           int32_t cacheTimeout);
// Percent-encoding of a query value (everything but A-Z a-z 0-9 - . _ ~).
std::string EncodeQueryValue(std::string_view value);

}  // namespace wexo::peers
