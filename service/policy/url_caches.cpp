#include "service/policy/url_caches.h"

#include <cctype>
#include <memory>
#include <string>

#include "common/url_normalize.h"
#include "os/core/clock.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

bool StartsWithUpper(std::string_view text, std::string_view upperPrefix) {
    if (text.size() < upperPrefix.size()) {
        return false;
    }
    for (size_t i = 0; i < upperPrefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != upperPrefix[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string_view StripScheme(std::string_view url) {
    if (StartsWithUpper(url, "HTTP://")) {
        return url.substr(7);
    }
    if (StartsWithUpper(url, "HTTPS://")) {
        return url.substr(8);
    }
    return url;
}

std::string_view AllowedCacheKey(std::string_view strippedUrl) {
    const size_t slash = strippedUrl.find('/');
    return slash == std::string_view::npos ? strippedUrl : strippedUrl.substr(0, slash + 1);
}

bool AllowedKeyMatches(std::string_view key, std::string_view strippedUrl) {
    if (strippedUrl.substr(0, key.size()) != key) {
        return false;
    }
    if (key.find('/') != std::string_view::npos || strippedUrl.size() == key.size()) {
        return true;
    }
    const char next = strippedUrl[key.size()];
    return next == '/' || next == ':';
}

double AgeSeconds(uint64_t since, uint64_t now) {
    const uint64_t milliseconds = now > since ? (now - since) / os::kTicksPerMillisecond : 0;
    return static_cast<double>(milliseconds) / 1000.0;
}

// ---- Allowed-URL cache ----

bool ALLOWED_URL_CACHE::Lookup(std::string_view lookupUrl, bool https, std::string_view user) {
    const std::string_view stripped = StripScheme(lookupUrl);
    const uint64_t now = os::QueryInterruptTime();
    ENTRY* hit = list_.Scan([&](ENTRY& entry) {
        if (AgeSeconds(entry.added, now) > static_cast<double>(entry.timeToLive)) {
            DebugWrite(LINE_VERBOSE, "URL = \"%s\" removed from allowed cache", entry.key.c_str());
            return LIST_VISIT::Remove;
        }
        return entry.https == https && entry.user == user && AllowedKeyMatches(entry.key, stripped)
                   ? LIST_VISIT::MoveToFrontAndStop
                   : LIST_VISIT::Next;
    });
    if (hit == nullptr) {
        return false;
    }
    const std::string url(lookupUrl);
    DebugPrint("Excluding URL = \"%s\"; allowed cache", url.c_str());
    return true;
}

bool ALLOWED_URL_CACHE::Add(std::string_view lookupUrl, int32_t timeToLive, bool https,
                            std::string_view user) {
    if (timeToLive <= 0) {
        return false;
    }
    const std::string_view stripped = StripScheme(lookupUrl);
    const std::string_view key = AllowedCacheKey(stripped);
    if (key.size() < kAllowedKeyMinimum) {
        return false;
    }
    auto entry = std::make_unique<ENTRY>();
    entry->key = std::string(key);
    entry->added = os::QueryInterruptTime();
    entry->timeToLive = timeToLive;
    entry->https = https;
    entry->user = std::string(user);
    const std::string url(stripped);
    // Insert and trim as one step, so that the list never stays above its limit.
    auto guard = list_.Lock();
    list_.InsertFront(std::move(entry));
    DebugWrite(LINE_VERBOSE, "URL = \"%s\" added to allowed cache with time-to-live = %ld seconds",
               url.c_str(), static_cast<long>(timeToLive));
    while (list_.Count() > kAllowedCacheLimit) {
        list_.PopBack();
    }
    return true;
}

void ALLOWED_URL_CACHE::Flush() {
    DebugPrint("Flushing URL allowed cache");
    auto guard = list_.Lock();
    while (std::unique_ptr<ENTRY> entry = list_.PopBack()) {
        DebugWrite(LINE_VERBOSE, "Flushing URL = \"%s\" from allowed cache", entry->key.c_str());
    }
}

void ALLOWED_URL_CACHE::Clear() {
    auto guard = list_.Lock();
    while (list_.PopBack()) {
    }
}

std::vector<std::string> ALLOWED_URL_CACHE::Keys() {
    std::vector<std::string> keys;
    list_.Scan([&](ENTRY& entry) {
        keys.push_back(entry.key);
        return LIST_VISIT::Next;
    });
    return keys;
}

// ---- Blocked-address cache ----

bool BLOCKED_ADDRESS_CACHE::Lookup(const IP_ADDRESS& address, std::string_view host,
                                   std::string_view user, std::string* redirectUrl) {
    if (address.IsUnspecified()) {
        return false;
    }
    const std::string name = NormalizeHost(host, kHttpsDefaultPort);
    const uint64_t now = os::QueryInterruptTime();
    auto guard = list_.Lock();
    ENTRY* hit = list_.Scan([&](ENTRY& entry) {
        // Another name on the address is looked up itself (see the class).
        if (entry.address == address && entry.user == user &&
            (name.empty() || entry.host == name)) {
            return LIST_VISIT::Stop;
        }
        return AgeSeconds(entry.added, now) > kBlockedAddressLifetimeSeconds ? LIST_VISIT::Remove
                                                                             : LIST_VISIT::Next;
    });
    if (hit == nullptr) {
        return false;
    }
    *redirectUrl = hit->redirectUrl;
    return true;
}

bool BLOCKED_ADDRESS_CACHE::Add(const IP_ADDRESS& address, std::string_view host,
                                std::string_view user, std::string_view redirectUrl) {
    if (address.IsUnspecified()) {
        return false;
    }
    auto entry = std::make_unique<ENTRY>();
    entry->added = os::QueryInterruptTime();
    entry->address = address;
    entry->host = NormalizeHost(host, kHttpsDefaultPort);
    entry->user = std::string(user);
    entry->redirectUrl = std::string(redirectUrl);
    list_.AppendBack(std::move(entry));
    return true;
}

void BLOCKED_ADDRESS_CACHE::Clear() {
    auto guard = list_.Lock();
    while (list_.PopBack()) {
    }
}

// ---- Filtering switch-off ----

void FILTERING_SWITCH::SwitchOff() {
    std::lock_guard guard(mutex_);
    if (off_.load()) {
        return;
    }
    since_ = os::QueryInterruptTime();
    off_.store(true);
    DebugPrint("Filtering %s", "disabled");
}

bool FILTERING_SWITCH::IsOff() {
    std::lock_guard guard(mutex_);
    if (!off_.load()) {
        return false;
    }
    if (AgeSeconds(since_, os::QueryInterruptTime()) < kFilteringOffLimitSeconds) {
        return true;
    }
    DebugPrint("Maximum filtering disabled period of %lu seconds exceeded; Re-enabling filtering",
               static_cast<unsigned long>(kFilteringOffLimitSeconds));
    off_.store(false);
    return false;
}

URL_CACHES::~URL_CACHES() {
    DebugWrite(LINE_RAW | LINE_NO_LINE_END, "~FILTER_QUERY_UNINITIALIZE\n");
    allowed.Clear();
    blocked.Clear();
    DebugWrite(LINE_RAW | LINE_NO_LINE_END, "~FILTER_QUERY_UNINITIALIZE done\n");
}

}  // namespace wexo::svc
