#include "tools/peers/policy_file.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "common/url_normalize.h"

namespace wexo::peers {
namespace {

constexpr std::string_view kBlanks = " \t\r\v\f";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && Lower(a) == Lower(b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// Printable and without blanks: what a host, a URL prefix or a URL may hold here.
bool IsPlainToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte > 0x20 && byte != 0x7F;
    });
}

// The line without a comment: "#" at its start or after a blank begins one.
std::string_view WithoutComment(std::string_view line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t at = 0;
    while (true) {
        at = text.find_first_not_of(kBlanks, at);
        if (at == std::string_view::npos) {
            return words;
        }
        size_t end = text.find_first_of(kBlanks, at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        words.push_back(text.substr(at, end - at));
        at = end;
    }
}

bool ParseBoolean(std::string_view value, bool* flag) {
    if (EqualsNoCase(value, "true")) {
        *flag = true;
        return true;
    }
    if (EqualsNoCase(value, "false")) {
        *flag = false;
        return true;
    }
    return false;
}

bool ParseSeconds(std::string_view value, int32_t* seconds) {
    if (value.empty() || value.size() > 10 || !std::all_of(value.begin(), value.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    const long long number = std::strtoll(std::string(value).c_str(), nullptr, 10);
    if (number > 0x7FFFFFFF) {
        return false;
    }
    *seconds = static_cast<int32_t>(number);
    return true;
}

// Where the host of a URL without scheme ends.
size_t HostEnd(std::string_view url) {
    const size_t end = url.find_first_of("/?#");
    return end == std::string_view::npos ? url.size() : end;
}

// The host part without its port ("[::1]:81" -> "[::1]", "a.test:81" -> "a.test").
std::string_view WithoutPort(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        return close == std::string_view::npos ? host : host.substr(0, close + 1);
    }
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos && host.find(':', colon + 1) == std::string_view::npos) {
        return host.substr(0, colon);
    }
    return host;
}

// A url rule that names part of a host ("news.test/world/"), not all of it ("news.test",
// "news.test/").
bool IsPathPattern(std::string_view pattern) {
    const std::string_view rest = pattern.substr(HostEnd(pattern));
    return !rest.empty() && rest != "/";
}

enum class Section { None, Settings, Rules, User, DnsRemaps };

struct Reader {
    PolicyFile policy;
    Section section = Section::None;
    UserRules* user = nullptr;
    std::string problem;

    bool Header(std::string_view inside) {
        inside = Trim(inside);
        const std::string name = Lower(inside);
        if (name == "settings") {
            section = Section::Settings;
        } else if (name == "rules") {
            section = Section::Rules;
        } else if (name == "dns_remaps") {
            section = Section::DnsRemaps;
        } else if (name == "user" ||
                   (StartsWithNoCase(inside, "user") && (inside[4] == ' ' || inside[4] == '\t'))) {
            const std::string_view who = Trim(inside.substr(4));
            if (who.empty()) {
                problem = "a [user] section needs a user name";
                return false;
            }
            section = Section::User;
            auto same = std::find_if(policy.users.begin(), policy.users.end(),
                                     [&](const UserRules& u) { return EqualsNoCase(u.user, who); });
            if (same == policy.users.end()) {
                policy.users.push_back(UserRules{std::string(who), {}});
                same = policy.users.end() - 1;
            }
            user = &*same;
        } else {
            problem = "unknown section [" + std::string(inside) + "]";
            return false;
        }
        return true;
    }

    bool Setting(std::string_view line) {
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) {
            problem = "expected Name = value";
            return false;
        }
        const std::string key = Lower(Trim(line.substr(0, equals)));
        const std::string_view value = Trim(line.substr(equals + 1));
        bool ok = true;
        if (key == "blockonfailure") {
            ok = ParseBoolean(value, &policy.blockOnFailure);
        } else if (key == "unencryptedsearch") {
            ok = ParseBoolean(value, &policy.unencryptedSearch);
        } else if (key == "disablefiltering") {
            ok = ParseBoolean(value, &policy.disableFiltering);
        } else if (key == "cachetimeout") {
            ok = ParseSeconds(value, &policy.cacheTimeout);
            if (!ok) {
                problem = "CacheTimeout must be a number of seconds from 0 to 2147483647";
                return false;
            }
        } else if (key == "blockpage") {
            if (!value.empty() &&
                (!IsPlainToken(value) ||
                 !(StartsWithNoCase(value, "http://") || StartsWithNoCase(value, "https://")))) {
                problem = "BlockPage must be a whole http:// or https:// URL without blanks";
                return false;
            }
            policy.blockPage = std::string(value);
        } else {
            problem = "unknown setting \"" + std::string(Trim(line.substr(0, equals))) + "\"";
            return false;
        }
        if (!ok) {
            problem = "\"" + std::string(value) + "\" is not true or false";
        }
        return ok;
    }

    bool Rule(std::string_view line, int number, std::vector<PolicyRule>& rules) {
        const auto words = Words(line);
        if (words.size() != 3) {
            problem = "expected a rule: allow|block host|url <pattern>";
            return false;
        }
        PolicyRule rule;
        rule.line = number;
        const std::string action = Lower(words[0]);
        const std::string kind = Lower(words[1]);
        if (action == "allow") {
            rule.action = PolicyRule::Action::Allow;
        } else if (action == "block") {
            rule.action = PolicyRule::Action::Block;
        } else {
            problem = "a rule begins with allow or block, not \"" + std::string(words[0]) + "\"";
            return false;
        }
        std::string_view pattern = words[2];
        if (kind == "host") {
            rule.kind = PolicyRule::Kind::Host;
            if (pattern.substr(0, 2) == "*.") {
                pattern.remove_prefix(2);
            } else if (pattern.substr(0, 1) == ".") {
                pattern.remove_prefix(1);
            }
            if (pattern.empty() || pattern.find_first_of("/?") != std::string_view::npos) {
                problem = "a host rule names a host, without a path";
                return false;
            }
            rule.pattern = NormalizeHost(pattern);
            if (rule.pattern.empty()) {
                problem = "a host rule names a host, without a path";
                return false;
            }
        } else if (kind == "url") {
            rule.kind = PolicyRule::Kind::Url;
            // Written as the lookups it is compared with are normalised.
            rule.pattern = NormalizeLookupUrl(pattern);
            if (rule.pattern.empty()) {
                problem = "a url rule needs a URL prefix";
                return false;
            }
        } else {
            problem = "a rule is for a host or a url, not \"" + std::string(words[1]) + "\"";
            return false;
        }
        rules.push_back(std::move(rule));
        return true;
    }

    bool Remap(std::string_view line) {
        const size_t equals = line.find('=');
        const std::string_view host =
            equals == std::string_view::npos ? line : Trim(line.substr(0, equals));
        const std::string_view target =
            equals == std::string_view::npos ? std::string_view() : Trim(line.substr(equals + 1));
        if (!IsPlainToken(host) || !IsPlainToken(target) ||
            host.find(',') != std::string_view::npos ||
            target.find(',') != std::string_view::npos) {
            problem = "expected host = remap host (no blanks or commas in either)";
            return false;
        }
        policy.dnsRemaps.emplace_back(Lower(host), Lower(target));
        return true;
    }

    bool Line(std::string_view line, int number) {
        if (line.front() == '[') {
            if (line.back() != ']') {
                problem = "a section header ends with ]";
                return false;
            }
            return Header(line.substr(1, line.size() - 2));
        }
        switch (section) {
            case Section::None:
                problem = "expected a section header such as [settings] or [rules]";
                return false;
            case Section::Settings:
                return Setting(line);
            case Section::Rules:
                return Rule(line, number, policy.rules);
            case Section::User:
                return Rule(line, number, user->rules);
            case Section::DnsRemaps:
                return Remap(line);
        }
        return false;
    }
};

}  // namespace

std::string_view StripUrlScheme(std::string_view url) {
    if (StartsWithNoCase(url, "http://")) {
        return url.substr(7);
    }
    if (StartsWithNoCase(url, "https://")) {
        return url.substr(8);
    }
    return url;
}

std::string NormalizeLookupUrl(std::string_view url) {
    const std::string_view stripped = StripUrlScheme(url);
    const size_t hostEnd = HostEnd(stripped);
    const std::string_view rest = stripped.substr(hostEnd);
    std::string normalized = NormalizeHost(stripped.substr(0, hostEnd));
    if (!rest.empty() && rest.front() == '/') {
        normalized += NormalizePath(rest);
    } else {
        normalized += rest;
    }
    return normalized;
}

std::string UrlHost(std::string_view url) {
    std::string_view host = StripUrlScheme(url);
    host = host.substr(0, HostEnd(host));
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        host = close == std::string_view::npos ? host.substr(1) : host.substr(1, close - 1);
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string_view::npos &&
            host.find(':', colon + 1) == std::string_view::npos) {
            host = host.substr(0, colon);
        }
    }
    return Lower(host);
}

std::string PolicyRule::Text() const {
    return std::string(action == Action::Allow ? "allow" : "block") +
           (kind == Kind::Host ? " host " : " url ") + pattern;
}

bool PolicyRule::Matches(std::string_view normalizedUrl) const {
    if (kind == Kind::Host) {
        const std::string host = UrlHost(normalizedUrl);
        return host == pattern ||
               (host.size() > pattern.size() &&
                host.compare(host.size() - pattern.size(), pattern.size(), pattern) == 0 &&
                host[host.size() - pattern.size() - 1] == '.');
    }
    // The port of a Host header is the client's word: servers pick the site by name, so a path
    // rule whose pattern names no port holds on every port.
    std::string withoutPort;
    std::string_view url = normalizedUrl;
    const std::string_view patternHost = std::string_view(pattern).substr(0, HostEnd(pattern));
    if (WithoutPort(patternHost).size() == patternHost.size()) {
        const std::string_view host = normalizedUrl.substr(0, HostEnd(normalizedUrl));
        withoutPort =
            std::string(WithoutPort(host)) + std::string(normalizedUrl.substr(host.size()));
        url = withoutPort;
    }
    if (!StartsWithNoCase(url, pattern)) {
        return false;
    }
    // A prefix without a path names a whole host: "news.example" is not "news.example.evil".
    if (pattern.find('/') != std::string::npos || url.size() == pattern.size()) {
        return true;
    }
    const char next = url[pattern.size()];
    return next == '/' || next == ':' || next == '?' || next == '#';
}

bool ParsePolicyFile(std::string_view text, PolicyFile* policy, std::string* error) {
    Reader reader;
    int number = 0;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        ++number;
        const std::string_view line = Trim(WithoutComment(text.substr(at, end - at)));
        at = end + 1;
        if (line.empty()) {
            continue;
        }
        if (!reader.Line(line, number)) {
            *error = "line " + std::to_string(number) + ": " + reader.problem;
            return false;
        }
    }
    *policy = std::move(reader.policy);
    return true;
}

PolicyVerdict EvaluatePolicy(const PolicyFile& policy, std::string_view user,
                             std::string_view url) {
    const std::string normalized = NormalizeLookupUrl(url);
    auto decide = [&](const std::vector<PolicyRule>& rules, PolicyVerdict* verdict) {
        for (const PolicyRule& rule : rules) {
            if (rule.Matches(normalized)) {
                verdict->blocked = rule.action == PolicyRule::Action::Block;
                verdict->rule = rule.Text();
                return true;
            }
        }
        return false;
    };
    PolicyVerdict verdict;
    for (const UserRules& own : policy.users) {
        if (EqualsNoCase(own.user, user) && decide(own.rules, &verdict)) {
            return verdict;
        }
    }
    decide(policy.rules, &verdict);
    return verdict;
}

bool HasPathRules(const PolicyFile& policy, std::string_view url) {
    const std::string host = UrlHost(NormalizeLookupUrl(url));
    auto any = [&](const std::vector<PolicyRule>& rules) {
        return std::any_of(rules.begin(), rules.end(), [&](const PolicyRule& rule) {
            return rule.kind == PolicyRule::Kind::Url && IsPathPattern(rule.pattern) &&
                   UrlHost(rule.pattern) == host;
        });
    };
    return any(policy.rules) || std::any_of(policy.users.begin(), policy.users.end(),
                                            [&](const UserRules& own) { return any(own.rules); });
}

int32_t CacheTimeoutFor(const PolicyFile& policy, std::string_view url) {
    return HasPathRules(policy, url) ? 0 : policy.cacheTimeout;
}

}  // namespace wexo::peers
