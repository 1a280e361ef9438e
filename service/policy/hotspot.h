// Captive portals ("hotspots"). A device behind a public hotspot's login page cannot reach its
// policy server, and block on failure would keep the user from ever reaching the login page. When
// a policy query is answered the way a captive portal answers (a redirect, 500 or 511, or a page
// that echoes the device ID back), a window opens in which requests pass unfiltered: for 60
// seconds, to at most 50 destination addresses. A valid policy reply closes the window.
//
// The address list's mutex guards the list, the login start and the count together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/policy/locked_list.h"

namespace wexo::svc {

constexpr uint32_t kHotspotWindowSeconds = 60;
constexpr size_t kHotspotAddressLimit = 50;

// 300-399, 500 and 511: what a captive portal answers in place of the server.
bool IsHotspotStatus(int32_t status);
// The URL before its first "?".
std::string_view CutBeforeQuery(std::string_view url);
// A reply body as the log lines show it: whole up to 16 KB; a longer one is cut there, with the
// number of bytes left out, so that a huge reply cannot flood the log.
constexpr size_t kLoggedReplyLimit = 16 * 1024;
std::string ReplyTextForLog(std::string_view body);

class HOTSPOT {
  public:
    HOTSPOT() = default;
    // "~HOTSPOT_UNINITIALIZE" to the debugger output, the list freed, "... done".
    ~HOTSPOT();
    HOTSPOT(const HOTSPOT&) = delete;
    HOTSPOT& operator=(const HOTSPOT&) = delete;

    // After a policy query that failed with `status` or whose 200 body was not a policy reply:
    // true when a captive portal answered; the window then (re)starts now. A 200 body counts when
    // the device ID occurs in it (an empty ID occurs in every body).
    bool IsHotspotReply(int32_t status, std::string_view body, std::string_view lookupUrl,
                        std::string_view deviceId);
    // Whether the lookup passes unfiltered: within the window a new address is admitted (up to
    // 50), and an admitted address passes until the window has expired.
    bool Passthrough(std::string_view lookupUrl, std::string_view addressText);
    // After every valid policy reply: the window ends and the count returns to 0.
    void ClearStatistics();

    size_t AddressCount() const { return addresses_.Count(); }
    int32_t HotspotCount() const;
    bool LoginStarted() const;

  private:
    // Lock held.
    void CountEvent();

    LOCKED_LIST<std::string> addresses_;
    std::optional<uint64_t> loginStart_;  // interrupt time of the last recognition
    int32_t hotspotCount_ = 0;
};

}  // namespace wexo::svc
