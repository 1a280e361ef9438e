#include "service/policy/https_session_map.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "os/core/status.h"
#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

unsigned long Ul(uint64_t value) {
    return static_cast<unsigned long>(value);
}

const char* Plural(uint64_t n) {
    return n == 1 ? "" : "s";
}

}  // namespace

std::string SessionIdText(std::string_view sessionId) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(sessionId.size() * 2);
    for (char c : sessionId) {
        auto byte = static_cast<uint8_t>(c);
        text.push_back(kDigits[byte >> 4]);
        text.push_back(kDigits[byte & 0xF]);
    }
    return text;
}

std::string FormatSpanText(uint64_t span) {
    char text[128];
    if (span >= 3600) {
        uint64_t hours = span / 3600;
        uint64_t minutes = (span % 3600) / 60;
        uint64_t seconds = span % 60;
        std::snprintf(text, sizeof text, "%lu hour%s, %lu minute%s, %lu second%s", Ul(hours),
                      Plural(hours), Ul(minutes), Plural(minutes), Ul(seconds), Plural(seconds));
    } else if (span < 60) {
        std::snprintf(text, sizeof text, "%lu second%s", Ul(span), Plural(span));
    } else {
        uint64_t minutes = span / 60;
        uint64_t seconds = span % 60;
        std::snprintf(text, sizeof text, "%lu minute%s, %lu second%s", Ul(minutes), Plural(minutes),
                      Ul(seconds), Plural(seconds));
    }
    return text;
}

std::string FormatExpiryText(uint64_t expiry) {
    uint64_t now = os::QuerySystemTime();
    uint64_t span = expiry > now ? (expiry - now) / os::kTicksPerMillisecond / 1000 : 0;
    os::CALENDAR_TIME local = os::SystemTimeToLocal(expiry);
    std::string spanText = FormatSpanText(span);
    char text[192];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u (%s)", unsigned{local.year},
                  unsigned{local.month}, unsigned{local.day}, unsigned{local.hour},
                  unsigned{local.minute}, spanText.c_str());
    return text;
}

bool HTTPS_SESSION_MAP::KEY::operator<(const KEY& other) const {
    if (length != other.length) {
        return length < other.length;
    }
    const int order = std::memcmp(bytes.data(), other.bytes.data(), length);
    return order != 0 ? order < 0 : user < other.user;
}

bool HTTPS_SESSION_MAP::MakeKey(std::string_view sessionId, std::string_view user, KEY* key) {
    if (sessionId.empty() || sessionId.size() > kMaxSessionIdLength) {
        return false;
    }
    key->length = static_cast<uint32_t>(sessionId.size());
    std::memcpy(key->bytes.data(), sessionId.data(), sessionId.size());
    key->user = std::string(user);
    return true;
}

HTTPS_SESSION_MAP::HTTPS_SESSION_MAP() = default;
HTTPS_SESSION_MAP::~HTTPS_SESSION_MAP() = default;

bool HTTPS_SESSION_MAP::Add(std::string_view sessionId, std::string_view user,
                            const std::string* redirectUrl, std::string_view host, bool blocked) {
    KEY key;
    if (!MakeKey(sessionId, user, &key)) {
        return false;
    }
    std::lock_guard guard(lock_);
    size_t before = entries_.size();
    ENTRY entry;
    entry.expiry = os::QuerySystemTime() + kAddedLifetime;
    if (redirectUrl != nullptr) {
        entry.redirectUrl = *redirectUrl;
    }
    entry.host = std::string(host);
    entry.blocked = blocked;
    auto [where, inserted] = entries_.try_emplace(key, std::move(entry));
    std::string idText = SessionIdText(sessionId);
    if (!inserted) {
        DebugWrite(LINE_VERBOSE,
                   "HTTPS_SESSION_MAP::Add:\n    %s Session ID = %s-%lu\n    Already cached",
                   "HTTPS", idText.c_str(), Ul(key.length));
        return false;
    }
    if (before == 0 && wake_) {
        wake_->Set();
    }
    std::string expiryText = FormatExpiryText(where->second.expiry);
    DebugWrite(LINE_VERBOSE,
               "HTTPS_SESSION_MAP::Add:\n    %s Session ID = %s-%lu\n    Added, Expires at %s",
               "HTTPS", idText.c_str(), Ul(key.length), expiryText.c_str());
    return true;
}

bool HTTPS_SESSION_MAP::Get(std::string_view sessionId, std::string_view user,
                            std::string* redirectUrl, std::string* host, bool* blocked) {
    KEY key;
    if (!MakeKey(sessionId, user, &key)) {
        return false;
    }
    std::lock_guard guard(lock_);
    auto it = entries_.find(key);
    if (it == entries_.end()) {
        return false;
    }
    *redirectUrl = it->second.redirectUrl;
    *host = it->second.host;
    *blocked = it->second.blocked;
    // The timer keeps its earlier time: the next housekeeping finds the later expiry.
    it->second.expiry = os::QuerySystemTime() + kFoundLifetime;
    std::string idText = SessionIdText(sessionId);
    std::string expiryText = FormatExpiryText(it->second.expiry);
    DebugWrite(LINE_VERBOSE,
               "HTTPS_SESSION_MAP::Get:\n    %s Session ID = %s-%lu\n    Reset to expire at %s",
               "HTTPS", idText.c_str(), Ul(key.length), expiryText.c_str());
    return true;
}

bool HTTPS_SESSION_MAP::Housekeeping() {
    std::lock_guard guard(lock_);
    if (entries_.empty()) {
        return true;
    }
    // The latest time a system time (and an absolute timer due time) can hold.
    uint64_t earliest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    uint64_t now = os::QuerySystemTime();
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.expiry > now) {
            earliest = std::min(earliest, it->second.expiry);
            ++it;
            continue;
        }
        std::string idText = SessionIdText(std::string_view(
            reinterpret_cast<const char*>(it->first.bytes.data()), it->first.length));
        DebugWrite(LINE_VERBOSE,
                   "HTTPS_SESSION_MAP::Housekeeping:\n    %s Session ID = %s-%lu\n    Removed",
                   "HTTPS", idText.c_str(), Ul(it->first.length));
        it = entries_.erase(it);
    }
    if (!timer_) {
        DebugPrint(
            "HTTPS_SESSION_MAP::Housekeeping: Unable to set the %s timer. %s. Error code = "
            "%lu.",
            kThreadName, os::SystemMessageText(os::ERROR_INVALID_HANDLE).c_str(),
            Ul(os::ERROR_INVALID_HANDLE));
        return false;
    }
    if (entries_.empty()) {
        // Nothing left to expire: the thread goes back to waiting for the first new entry, and
        // the timer would be due at the end of time.
        timer_->Cancel();
    } else {
        timer_->Set(static_cast<int64_t>(earliest));
    }
    std::string expiryText = FormatExpiryText(earliest);
    DebugWrite(LINE_VERBOSE, "HTTPS_SESSION_MAP::Housekeeping: Next session expiring at %s",
               expiryText.c_str());
    return true;
}

uint32_t HTTPS_SESSION_MAP::HttpsSessionReuseThread(os::Event& stopEvent) {
    {
        std::lock_guard guard(lock_);
        try {
            if (!wake_) {
                wake_ = std::make_unique<os::Event>(os::EventType::Synchronization, false);
            }
        } catch (const std::bad_alloc&) {
            DebugPrint("Unable to create the %s event. %s. Error code = %lu.", kThreadName,
                       os::SystemMessageText(os::ERROR_NOT_ENOUGH_MEMORY).c_str(),
                       Ul(os::ERROR_NOT_ENOUGH_MEMORY));
            return 1;
        }
        try {
            if (!timer_) {
                timer_ = std::make_unique<os::Timer>(os::EventType::Synchronization);
            }
        } catch (const std::bad_alloc&) {
            DebugPrint("Unable to create the %s timer. %s. Error code = %lu.", kThreadName,
                       os::SystemMessageText(os::ERROR_NOT_ENOUGH_MEMORY).c_str(),
                       Ul(os::ERROR_NOT_ENOUGH_MEMORY));
            return 1;
        }
    }
    // Entries made before the thread ran need their first housekeeping now.
    if (Count() != 0 && !Housekeeping()) {
        return 1;
    }
    for (;;) {
        // Both objects are waited on: a first entry that arrives while housekeeping empties the
        // map signals the wake event even though the map is no longer empty when the thread
        // looks, and the timer may then be disarmed. A spare housekeeping run is harmless.
        os::DispatcherObject* objects[] = {&stopEvent, timer_.get(), wake_.get()};
        uint32_t wait = os::WaitForMultipleObjects(objects, false, os::INFINITE);
        if (wait == os::WAIT_OBJECT_0) {
            return 0;
        }
        if (wait == os::WAIT_OBJECT_0 + 1 || wait == os::WAIT_OBJECT_0 + 2) {
            if (!Housekeeping()) {
                return 1;
            }
            continue;
        }
        uint32_t error = os::GetLastError();
        DebugPrint("HttpsSessionReuseThread: Wait Failed. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), Ul(error));
        return 1;
    }
}

size_t HTTPS_SESSION_MAP::Count() const {
    std::lock_guard guard(lock_);
    return entries_.size();
}

uint64_t HTTPS_SESSION_MAP::ExpiryOf(std::string_view sessionId, std::string_view user) const {
    KEY key;
    if (!MakeKey(sessionId, user, &key)) {
        return 0;
    }
    std::lock_guard guard(lock_);
    auto it = entries_.find(key);
    return it == entries_.end() ? 0 : it->second.expiry;
}

}  // namespace wexo::svc
