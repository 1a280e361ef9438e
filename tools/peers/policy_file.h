// The reference policy server's policy: a text file a person reads and edits (format in
// docs/policy-server.md), what it says, and how it judges one URL for one user.
//
//   [settings]                      what every reply of "access/mobile" carries
//   BlockOnFailure = true
//   CacheTimeout = 60
//   [rules]                         for every user; the first rule that matches decides
//   allow url news.example/weather/
//   block host games.example
//   [user DESKTOP\alice]            for one user, before the rules for everyone
//   allow host games.example
//   [dns_remaps]                    the "api/mobile/v1/dns_remaps" list
//   www.search.example = safe.search.example
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wexo::peers {

struct PolicyRule {
    enum class Action { Allow, Block };
    enum class Kind { Host, Url };

    Action action = Action::Block;
    Kind kind = Kind::Host;
    // Host rules: a host name as NormalizeHost writes it (it and its subdomains match). URL
    // rules: a URL prefix without scheme as NormalizeLookupUrl writes it, compared without regard
    // to case; when it names no port, the port of the URL is not compared.
    std::string pattern;
    int line = 0;  // where it was written

    // "block host games.example", with the pattern in its normalised form.
    std::string Text() const;
    // `url` as NormalizeLookupUrl gives it.
    bool Matches(std::string_view normalizedUrl) const;
};

struct UserRules {
    std::string user;  // compared without regard to case
    std::vector<PolicyRule> rules;
};

struct PolicyFile {
    bool blockOnFailure = false;
    bool unencryptedSearch = false;
    bool disableFiltering = false;
    int32_t cacheTimeout = 0;
    // Where blocked lookups are sent: a whole http(s) URL, or empty for the server's own block
    // page ("/blocked.html").
    std::string blockPage;
    std::vector<PolicyRule> rules;
    std::vector<UserRules> users;
    // host -> remap host, in file order.
    std::vector<std::pair<std::string, std::string>> dnsRemaps;
};

// Reads a policy. False, with "line N: what is wrong" in *error, for anything it does not
// understand; *policy is then left as it was.
bool ParsePolicyFile(std::string_view text, PolicyFile* policy, std::string* error);

struct PolicyVerdict {
    bool blocked = false;
    std::string rule;  // the rule that decided ("" when none matched: allowed)
};

// The user's own rules, then the rules for everyone; the first that matches decides; no match
// allows. `url` is the lookup URL (host and path; a scheme is ignored), compared in its
// normalised form, so that every spelling of one page meets the same rule.
PolicyVerdict EvaluatePolicy(const PolicyFile& policy, std::string_view user, std::string_view url);

// Whether a url rule of any section names a path of the URL's host ("news.test/world/" for
// "news.test/anything" and for the TLS lookup "news.test"). A rule for a whole host
// ("news.test", "news.test/") is no path rule.
bool HasPathRules(const PolicyFile& policy, std::string_view url);
// The "CacheTimeout" of the reply for this URL: 0 for a host that has path rules, since a device
// caches an allowed lookup as its whole host (or, for TLS, as the host's name) and would then let
// a blocked path of it pass; the policy's setting otherwise.
int32_t CacheTimeoutFor(const PolicyFile& policy, std::string_view url);

// The URL as the rules compare it: without scheme, the host as NormalizeHost and the path as
// NormalizePath write them ("HTTP://News.TEST.//world/./x" -> "news.test/world/x").
std::string NormalizeLookupUrl(std::string_view url);

// The URL without a leading "http://" or "https://" (any letter case).
std::string_view StripUrlScheme(std::string_view url);
// The host of a lookup URL in lower case, without port ("Games.Example:8080/x" -> "games.example").
// An IPv6 address text (eight groups, no brackets) is a host of its own.
std::string UrlHost(std::string_view url);

}  // namespace wexo::peers
