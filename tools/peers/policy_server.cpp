#include "tools/peers/policy_server.h"

#include <sys/stat.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <utility>

namespace wexo::peers {
namespace {

// Files larger than this are not policies a person wrote.
constexpr long long kMaxPolicyFileBytes = 4 * 1024 * 1024;

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot open " + path;
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        *error = "cannot read " + path;
        return false;
    }
    *text = content.str();
    return true;
}

const char* Flag(bool value) {
    return value ? "TRUE" : "FALSE";
}

std::string HtmlPage(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + EscapeMarkup(title) +
           "</title></head>\n<body><h1>" + EscapeMarkup(title) + "</h1>\n" + body +
           "</body></html>\n";
}

}  // namespace

std::string EscapeMarkup(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&#39;";
                break;
            default:
                escaped.push_back(c);
        }
    }
    return escaped;
}

std::string EncodeQueryValue(std::string_view value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(kDigits[byte >> 4]);
            encoded.push_back(kDigits[byte & 0xF]);
        }
    }
    return encoded;
}

std::string PolicyReplyXml(const PolicyFile& policy, const std::string& redirectUrl,
                           int32_t cacheTimeout) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Ostrel>\n";
    xml += std::string("  <BlockOnFailure>") + Flag(policy.blockOnFailure) + "</BlockOnFailure>\n";
    xml += std::string("  <UnencryptedSearch>") + Flag(policy.unencryptedSearch) +
           "</UnencryptedSearch>\n";
    xml += std::string("  <DisableFiltering>") + Flag(policy.disableFiltering) +
           "</DisableFiltering>\n";
    xml += "  <CacheTimeout>" + std::to_string(cacheTimeout) + "</CacheTimeout>\n";
    if (!redirectUrl.empty()) {
        xml += "  <RedirectURL>" + EscapeMarkup(redirectUrl) + "</RedirectURL>\n";
    }
    xml += "</Ostrel>\n";
    return xml;
}

std::vector<PolicyPages::Page> PolicyPages::Pages() {
    auto bind = [this](void (PolicyPages::*answer)(const httplib::Request&, httplib::Response&)) {
        return [this, answer](const httplib::Request& request, httplib::Response& response) {
            (this->*answer)(request, response);
        };
    };
    return {
        {"GET", "/ostrel_ping", bind(&PolicyPages::AnswerPing)},
        {"GET", "/access/mobile", bind(&PolicyPages::AnswerMobile)},
        {"GET", "/api/mobile/v1/dns_remaps", bind(&PolicyPages::AnswerDnsRemaps)},
        {"GET", kBlockPagePath, bind(&PolicyPages::AnswerBlockPage)},
        {"GET", kBlockOnFailurePagePath, bind(&PolicyPages::AnswerBlockOnFailurePage)},
    };
}

void PolicyPages::SetBaseUrl(std::string baseUrl) {
    std::lock_guard guard(mutex_);
    baseUrl_ = std::move(baseUrl);
}

std::string PolicyPages::BaseUrl() const {
    std::lock_guard guard(mutex_);
    return baseUrl_;
}

bool PolicyPages::SetPolicyText(std::string_view text, std::string* error) {
    PolicyFile policy;
    if (!ParsePolicyFile(text, &policy, error)) {
        return false;
    }
    SetPolicy(std::move(policy));
    return true;
}

void PolicyPages::SetPolicy(PolicyFile policy) {
    std::lock_guard guard(mutex_);
    policy_ = std::make_shared<const PolicyFile>(std::move(policy));
    policyPath_.clear();
}

bool PolicyPages::LoadPolicyFile(const std::string& path, std::string* error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        *error = "cannot open " + path;
        return false;
    }
    if (status.st_size > kMaxPolicyFileBytes) {
        *error = path + " is larger than a policy can be";
        return false;
    }
    std::string text;
    PolicyFile policy;
    if (!ReadFile(path, &text, error) || !ParsePolicyFile(text, &policy, error)) {
        return false;
    }
    std::lock_guard guard(mutex_);
    policy_ = std::make_shared<const PolicyFile>(std::move(policy));
    policyPath_ = path;
    policyStamp_ = FileStamp{status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_size};
    rejectedStamp_ = FileStamp{0, 0, kNoStamp};
    return true;
}

PolicyFile PolicyPages::Policy() {
    return *CurrentPolicy();
}

std::shared_ptr<const PolicyFile> PolicyPages::CurrentPolicy() {
    std::string path;
    {
        std::lock_guard guard(mutex_);
        if (policyPath_.empty()) {
            return policy_;
        }
        path = policyPath_;
    }
    struct stat status {};
    FileStamp stamp;
    if (::stat(path.c_str(), &status) == 0) {
        stamp = FileStamp{status.st_mtim.tv_sec, status.st_mtim.tv_nsec, status.st_size};
    }
    {
        std::lock_guard guard(mutex_);
        if (stamp == policyStamp_ || stamp == rejectedStamp_ || path != policyPath_) {
            return policy_;
        }
    }
    std::string text;
    std::string error;
    PolicyFile policy;
    const bool read = stamp.size >= 0 && stamp.size <= kMaxPolicyFileBytes &&
                      ReadFile(path, &text, &error) && ParsePolicyFile(text, &policy, &error);
    if (stamp.size < 0) {
        error = "cannot open " + path;
    } else if (stamp.size > kMaxPolicyFileBytes) {
        error = path + " is larger than a policy can be";
    }
    std::shared_ptr<const PolicyFile> current;
    {
        std::lock_guard guard(mutex_);
        if (read) {
            policy_ = std::make_shared<const PolicyFile>(std::move(policy));
            policyStamp_ = stamp;
            rejectedStamp_ = FileStamp{0, 0, kNoStamp};
        } else {
            rejectedStamp_ = stamp;
        }
        current = policy_;
    }
    Report(read ? "policy reloaded from " + path
                : "policy file not reloaded, the previous policy stays: " + error);
    return current;
}

std::string PolicyPages::BlockRedirectUrl(std::string_view url, std::string_view rule) {
    const std::shared_ptr<const PolicyFile> policy = CurrentPolicy();
    std::string target = policy->blockPage.empty() ? BaseUrl() + kBlockPagePath : policy->blockPage;
    target += target.find('?') == std::string::npos ? "?" : "&";
    target += "url=" + EncodeQueryValue(url) + "&rule=" + EncodeQueryValue(rule);
    return target;
}

void PolicyPages::SetMobileAnswer(int status, std::string body, std::string contentType,
                                  std::string location) {
    std::lock_guard guard(mutex_);
    mobileAnswer_ =
        MobileAnswer{status, std::move(body), std::move(contentType), std::move(location)};
}

void PolicyPages::ClearMobileAnswer() {
    std::lock_guard guard(mutex_);
    mobileAnswer_.reset();
}

void PolicyPages::SetPingAnswer(int status, std::string location) {
    std::lock_guard guard(mutex_);
    pingStatus_ = status;
    pingLocation_ = std::move(location);
}

void PolicyPages::SetActivityLog(std::function<void(const std::string&)> log) {
    std::lock_guard guard(mutex_);
    activityLog_ = std::move(log);
}

void PolicyPages::Report(const std::string& line) {
    std::function<void(const std::string&)> log;
    {
        std::lock_guard guard(mutex_);
        log = activityLog_;
    }
    if (log) {
        log(line);
    }
}

void PolicyPages::AnswerPing(const httplib::Request&, httplib::Response& response) {
    ++pingCount_;
    std::lock_guard guard(mutex_);
    response.status = pingStatus_;
    if (!pingLocation_.empty()) {
        response.set_header("Location", pingLocation_);
    }
    // A small body for GET; HEAD sends the headers alone.
    response.set_content(pingStatus_ == 200 ? "OK" : "", "text/plain");
}

void PolicyPages::AnswerMobile(const httplib::Request& request, httplib::Response& response) {
    ++mobileCount_;
    {
        std::lock_guard guard(mutex_);
        if (mobileAnswer_) {
            response.status = mobileAnswer_->status;
            if (!mobileAnswer_->location.empty()) {
                response.set_header("Location", mobileAnswer_->location);
            }
            response.set_content(mobileAnswer_->body, mobileAnswer_->contentType);
            return;
        }
    }
    if (!request.has_param("url")) {
        response.status = 400;
        response.set_content("The url pair is missing.\n", "text/plain");
        return;
    }
    const std::string url = request.get_param_value("url");
    const std::string user = request.get_param_value("user");
    const std::shared_ptr<const PolicyFile> policy = CurrentPolicy();
    const PolicyVerdict verdict = EvaluatePolicy(*policy, user, url);
    const std::string redirect = verdict.blocked ? BlockRedirectUrl(url, verdict.rule) : "";
    response.status = 200;
    response.set_content(PolicyReplyXml(*policy, redirect, CacheTimeoutFor(*policy, url)),
                         "text/xml; charset=utf-8");
    Report("access/mobile user=\"" + user + "\" url=\"" + url + "\": " +
           (verdict.blocked        ? "blocked by \"" + verdict.rule + "\""
            : verdict.rule.empty() ? std::string("allowed")
                                   : "allowed by \"" + verdict.rule + "\""));
}

void PolicyPages::AnswerDnsRemaps(const httplib::Request&, httplib::Response& response) {
    ++dnsRemapCount_;
    const std::shared_ptr<const PolicyFile> policy = CurrentPolicy();
    if (policy->dnsRemaps.empty()) {
        response.status = 404;
        response.set_content("No DNS remap list is kept for this device.\n", "text/plain");
        return;
    }
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<DNSRemap>\n";
    for (const auto& [host, target] : policy->dnsRemaps) {
        xml += "  <host>" + EscapeMarkup(host) + "," + EscapeMarkup(target) + "</host>\n";
    }
    xml += "</DNSRemap>\n";
    response.status = 200;
    response.set_content(xml, "text/xml; charset=utf-8");
}

void PolicyPages::AnswerBlockPage(const httplib::Request& request, httplib::Response& response) {
    const std::string url = request.get_param_value("url");
    const std::string rule = request.get_param_value("rule");
    std::string body = "<p>Your organisation's web policy does not allow this page.</p>\n";
    if (!url.empty()) {
        body += "<p>Address: <code>" + EscapeMarkup(url) + "</code></p>\n";
    }
    if (!rule.empty()) {
        body += "<p>Rule: <code>" + EscapeMarkup(rule) + "</code></p>\n";
    }
    response.status = 200;
    response.set_content(HtmlPage("Page blocked", body), "text/html; charset=utf-8");
}

void PolicyPages::AnswerBlockOnFailurePage(const httplib::Request&, httplib::Response& response) {
    response.status = 200;
    response.set_content(HtmlPage("Page blocked",
                                  "<p>The web policy could not be checked, and your organisation "
                                  "blocks pages until it can be.</p>\n"),
                         "text/html; charset=utf-8");
}

PolicyServer::PolicyServer(PeerOptions options) : peer_(std::move(options)) {
    for (auto& page : pages_.Pages()) {
        peer_.Handle(page.method, page.path, std::move(page.handler));
    }
}

PolicyServer::~PolicyServer() {
    // The peer's threads call into the pages: stop them before the pages go.
    peer_.Stop();
}

bool PolicyServer::Start() {
    if (!peer_.Start()) {
        return false;
    }
    pages_.SetBaseUrl(peer_.BaseUrl());
    return true;
}

void PolicyServer::Stop() {
    peer_.Stop();
}

}  // namespace wexo::peers
