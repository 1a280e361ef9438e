#include "tools/peers/policy_server.h"

#include <cctype>
#include <utility>

namespace wexo::peers {
namespace {

const char* Flag(bool value) {
    return value ? "TRUE" : "FALSE";
}

std::string HtmlPage(const std::string& title, const std::string& body) {
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + EscapeMarkup(title) +
           "</title></head>\n<body><h1>" + EscapeMarkup(title) + "</h1>\n" + body +
           "</body></html>\n";
}

}  // namespace

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

PolicyPages::PolicyPages()
    : policy_(ParsePolicyFile, {" is larger than a policy can be", "cannot open "},
              [this](bool reloaded, const std::string& path, const std::string& error) {
                  Report(reloaded
                             ? "policy reloaded from " + path
                             : "policy file not reloaded, the previous policy stays: " + error);
              }) {}

std::vector<PolicyPages::Page> PolicyPages::Pages() {
    return {
        {"GET", "/ostrel_ping", false, Bind(this, &PolicyPages::AnswerPing)},
        {"GET", "/access/mobile", false, Bind(this, &PolicyPages::AnswerMobile)},
        {"GET", "/api/mobile/v1/dns_remaps", false, Bind(this, &PolicyPages::AnswerDnsRemaps)},
        {"GET", kBlockPagePath, false, Bind(this, &PolicyPages::AnswerBlockPage)},
        {"GET", kBlockOnFailurePagePath, false, Bind(this, &PolicyPages::AnswerBlockOnFailurePage)},
    };
}

bool PolicyPages::SetPolicyText(std::string_view text, std::string* error) {
    return policy_.SetText(text, error);
}

void PolicyPages::SetPolicy(PolicyFile policy) {
    policy_.Set(std::move(policy));
}

bool PolicyPages::LoadPolicyFile(const std::string& path, std::string* error) {
    return policy_.Load(path, error);
}

PolicyFile PolicyPages::Policy() {
    return *CurrentPolicy();
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
    // A policy that lists no remaps keeps no list.
    AnswerDnsRemapList(policy->dnsRemaps.empty() ? nullptr : &policy->dnsRemaps, response);
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

}  // namespace wexo::peers
