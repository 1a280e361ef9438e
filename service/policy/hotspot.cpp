#include "service/policy/hotspot.h"

#include <limits>
#include <memory>

#include "os/core/clock.h"
#include "service/policy/url_caches.h"
#include "service/support/debug_log.h"

namespace wexo::svc {

bool IsHotspotStatus(int32_t status) {
    return (status >= 300 && status <= 399) || status == 500 || status == 511;
}

std::string_view CutBeforeQuery(std::string_view url) {
    return url.substr(0, url.find('?'));
}

std::string ReplyTextForLog(std::string_view body) {
    if (body.size() <= kLoggedReplyLimit) {
        return std::string(body);
    }
    std::string text(body.substr(0, kLoggedReplyLimit));
    text += "\n    ... ";
    text += std::to_string(body.size() - kLoggedReplyLimit);
    text += " more bytes";
    return text;
}

HOTSPOT::~HOTSPOT() {
    DebugWrite(LINE_RAW | LINE_NO_LINE_END, "~HOTSPOT_UNINITIALIZE\n");
    {
        auto guard = addresses_.Lock();
        while (addresses_.PopBack()) {
        }
    }
    DebugWrite(LINE_RAW | LINE_NO_LINE_END, "~HOTSPOT_UNINITIALIZE done\n");
}

void HOTSPOT::CountEvent() {
    // A window that passes requests for a very long time must not wrap the count.
    if (hotspotCount_ < std::numeric_limits<int32_t>::max()) {
        ++hotspotCount_;
    }
}

bool HOTSPOT::IsHotspotReply(int32_t status, std::string_view body, std::string_view lookupUrl,
                             std::string_view deviceId) {
    const std::string url(CutBeforeQuery(lookupUrl));
    DebugPrint("Test for authorization login processing, URL = \"%s\"", url.c_str());
    int32_t count = 0;
    {
        auto guard = addresses_.Lock();
        const bool portal = IsHotspotStatus(status) ||
                            (status == 200 && body.find(deviceId) != std::string_view::npos);
        if (!portal) {
            return false;
        }
        loginStart_ = os::QueryInterruptTime();
        CountEvent();
        count = hotspotCount_;
    }
    DebugPrint("Authorization login processing, HTTP status = %u, HotspotCount = %d",
               static_cast<unsigned>(status), count);
    if (DebugCategoryEnabled(LINE_VERBOSE)) {
        DebugWrite(LINE_VERBOSE, "Hotspot reply:\n%s", ReplyTextForLog(body).c_str());
    }
    return true;
}

bool HOTSPOT::Passthrough(std::string_view lookupUrl, std::string_view addressText) {
    auto guard = addresses_.Lock();
    if (!loginStart_) {
        return false;
    }
    const std::string url(lookupUrl);
    const std::string address(addressText);
    DebugPrint("Test authorization request, URL = \"%s\",IpAddress = %s", url.c_str(),
               address.c_str());
    const double elapsed = AgeSeconds(*loginStart_, os::QueryInterruptTime());
    if (!addresses_.Empty()) {
        if (elapsed > kHotspotWindowSeconds) {
            DebugPrint(
                "Authorization login time-out exceeded, IpAddress = %s, Time-out = %lu seconds",
                address.c_str(), static_cast<unsigned long>(kHotspotWindowSeconds));
            return false;
        }
        const bool admitted = addresses_.Scan([&](const std::string& entry) {
            return entry == addressText ? LIST_VISIT::Stop : LIST_VISIT::Next;
        }) != nullptr;
        if (admitted) {
            CountEvent();
            DebugPrint("Authorization login passthrough, IpAddress = %s, HotspotCount = %d",
                       address.c_str(), hotspotCount_);
            return true;
        }
    }
    if (elapsed < kHotspotWindowSeconds && addresses_.Count() < kHotspotAddressLimit) {
        addresses_.AppendBack(std::make_unique<std::string>(address));
        CountEvent();
        DebugPrint(
            "Authorization login initialized, IpAddress = %s, IpAddressCount = %d, "
            "HotspotCount = %d",
            address.c_str(), static_cast<int>(addresses_.Count()), hotspotCount_);
        return true;
    }
    return false;
}

void HOTSPOT::ClearStatistics() {
    auto guard = addresses_.Lock();
    if (!addresses_.Empty()) {
        DebugPrint("Clear authorization login statistics, IpAddressCount = %d, HotspotCount = %d",
                   static_cast<int>(addresses_.Count()), hotspotCount_);
        while (addresses_.PopBack()) {
        }
    }
    loginStart_.reset();
    hotspotCount_ = 0;
}

int32_t HOTSPOT::HotspotCount() const {
    auto guard = addresses_.Lock();
    return hotspotCount_;
}

bool HOTSPOT::LoginStarted() const {
    auto guard = addresses_.Lock();
    return loginStart_.has_value();
}

}  // namespace wexo::svc
