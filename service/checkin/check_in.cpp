#include "service/checkin/check_in.h"

#include <cstdio>
#include <optional>
#include <span>

#include "os/win32/system_facts.h"
#include "service/checkin/deployments.h"
#include "service/host/version_banner.h"
#include "service/support/debug_log.h"
#include "service/support/http_api.h"
#include "service/support/json.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

// A string member that a C interface can carry whole: a NUL inside would cut it short.
std::optional<std::string> WholeString(const json_value* object, std::string_view name) {
    std::string_view text;
    if (!FindStringPointer(object, name, text) || text.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(text);
}

bool IsLeapYear(unsigned year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned DaysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

void ReadServers(const json_value* root, CHECK_IN_REPLY* reply) {
    std::span<const json_value* const> elements;
    if (!FindArray(root, "Servers", elements)) {
        return;
    }
    reply->received |= CHECK_IN_RECEIVED_SERVERS;
    reply->servers.clear();
    for (const json_value* element : elements) {
        std::optional<std::string_view> name = AsString(element);
        if (!name) {
            continue;
        }
        // What a log line shows of the name ends at a NUL; the name is refused as a whole.
        const std::string text(*name);
        DebugWrite(LINE_JSON, "ServerName = \"%s\"", text.c_str());
        if (text.find(' ') != std::string::npos) {
            DebugPrint("Ignoring server name = \"%s\" because it contains spaces", text.c_str());
            continue;
        }
        if (text.find('\0') != std::string::npos) {
            DebugPrint("Ignoring server name = \"%s\" because it contains a NUL character",
                       text.c_str());
            continue;
        }
        reply->servers.push_back(text);
    }
}

}  // namespace

bool ParseNextCheckIn(std::string_view text, os::CALENDAR_TIME* time) {
    if (text.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::string copy(text);
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (std::sscanf(copy.c_str(), "%04u-%02u-%02u %02u:%02u:%02u UTC", &year, &month, &day, &hour,
                    &minute, &second) != 6) {
        return false;
    }
    // sscanf takes signs and blanks before each number; a calendar check keeps only real times,
    // so that the timer is never set from numbers the clock would roll over.
    if (year < 1601 || year > 30827 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    *time = os::CALENDAR_TIME{};
    time->year = static_cast<uint16_t>(year);
    time->month = static_cast<uint16_t>(month);
    time->day = static_cast<uint16_t>(day);
    time->hour = static_cast<uint16_t>(hour);
    time->minute = static_cast<uint16_t>(minute);
    time->second = static_cast<uint16_t>(second);
    return true;
}

bool ParseCheckInReply(std::string_view text, CHECK_IN_REPLY* reply) {
    std::string error;
    JSON_TREE tree = ParseJson(text, error);
    if (!tree) {
        DebugPrint("Filter check-in: JSON parsing error. %s.", error.c_str());
        return false;
    }
    if (DebugCategoryEnabled(LINE_JSON)) {
        PrintJson(*tree);
    }
    const json_value* root = AsObject(tree.get());
    if (root == nullptr) {
        return true;
    }

    std::string_view next;
    if (FindStringPointer(root, "NextCheckIn", next)) {
        if (ParseNextCheckIn(next, &reply->nextCheckIn)) {
            reply->received |= CHECK_IN_RECEIVED_NEXT_CHECK_IN;
        } else {
            const std::string shown(next);
            DebugPrint("Filter check-in: Ignoring NextCheckIn = \"%s\"", shown.c_str());
        }
    }

    if (std::optional<std::string> customer = WholeString(root, "CustomerID")) {
        reply->customerId = std::move(*customer);
        reply->received |= CHECK_IN_RECEIVED_CUSTOMER_ID;
    } else {
        DebugPrint("Filter check-in: No CustomerID");
    }

    if (std::optional<std::string> url = WholeString(root, "UpdateURL")) {
        reply->updateUrl = std::move(*url);
        reply->received |= CHECK_IN_RECEIVED_UPDATE_URL;
        DebugPrint("Filter check-in: update URL = \"%s\"", reply->updateUrl.c_str());
    } else {
        DebugPrint("Filter check-in: No update URL");
    }

    uint8_t dormant = 0;
    if (FindBoolean(root, "Dormant", dormant)) {
        reply->dormant = dormant != 0 ? 1 : 0;
        reply->received |= CHECK_IN_RECEIVED_DORMANT;
        DebugPrint("Dormant mode = %s", reply->dormant != 0 ? "true" : "false");
    }

    int64_t mode = 0;
    if (FindInteger(root, "ServerMode", mode)) {
        // Tested as unsigned, so that a negative number is out of range too.
        if (static_cast<uint64_t>(mode) <= static_cast<uint64_t>(SERVER_MODE_TIERED)) {
            reply->serverMode = static_cast<int32_t>(mode);
            DebugPrint("Server Mode = %s",
                       reply->serverMode == SERVER_MODE_TIERED ? "Tiered" : "Balanced");
        } else {
            DebugPrint("Invalid server mode = %lld", static_cast<long long>(mode));
        }
    }

    ReadServers(root, reply);
    return true;
}

CHECK_IN_DEVICE CurrentCheckInDevice(const std::string& uniqueDeviceId) {
    CHECK_IN_DEVICE device;
    device.apiServer = CurrentDeployment().apiServer;
    device.uniqueDeviceId = uniqueDeviceId;
    device.platform = PlatformName(os::GetVersionFacts());
    return device;
}

bool CheckIn(const char* domain, const std::string& macAddress, const CHECK_IN_DEVICE& device,
             CHECK_IN_REPLY* reply) {
    *reply = CHECK_IN_REPLY{};
    DebugWrite(LINE_ALWAYS_LOG,
               "CheckIn: Server = \"%s\",\n    Page = \"%s\",\n    Unique Device ID = %s,\n    "
               "MAC = %s,\n    Version = %u.%u.%u,\n    Platform = %s",
               device.apiServer.c_str(), kCheckInPage, device.uniqueDeviceId.c_str(),
               macAddress.c_str(), kVersionMajor, kVersionMinor, kVersionPatch,
               device.platform.c_str());

    // Always HTTPS, whatever the policy servers' API protocol is; a fresh client per check-in,
    // whose JSON flag therefore speaks of this reply only. The engine stops reading at the limit,
    // so that a server cannot make the service hold more than that. The reply can switch
    // filtering off and names the update the service runs as root: it is taken only from a
    // server whose certificate and name verify (unless the settings accept any server).
    HTTPS_API client;
    client.Config(FormatText("MaxReplyBytes=%zu", kMaxCheckInReplyBytes));
    client.Config("VerifyServer=true");
    const std::string version = FormatText("%u.%u.%u", kVersionMajor, kVersionMinor, kVersionPatch);
    const bool answered = client.Get(device.apiServer, kCheckInPage,
                                     {{"client", kCheckInClient},
                                      {"domain", domain},
                                      {"uuid", device.uniqueDeviceId},
                                      {"mac", macAddress},
                                      {"version", version},
                                      {"platform", device.platform}});
    const bool tooLarge = client.GetLastErrorCode() == HTTP_ENGINE_REPLY_TOO_LARGE;
    if (!answered && !tooLarge) {
        DebugPrint("Unable to connect to server \"%s\". %s", device.apiServer.c_str(),
                   client.GetLastErrorText().c_str());
        return false;
    }
    const std::string& url = client.GetRequestUrl();
    const int32_t status = client.GetStatus();
    if (status == 404) {
        DebugPrint("CheckIn: URL = \"%s\",\n    MAC address %s not registered", url.c_str(),
                   macAddress.c_str());
        return false;
    }
    if (status != 200) {
        DebugPrint("CheckIn: URL = \"%s\",\n    HTTP status = %u", url.c_str(),
                   static_cast<unsigned>(status));
        return false;
    }
    DebugWrite(LINE_VERBOSE, "CheckIn: URL = \"%s\"", url.c_str());
    if (tooLarge) {
        DebugPrint("Invalid check-in reply:\n(more than %zu bytes, not read further)",
                   kMaxCheckInReplyBytes);
        return false;
    }
    std::string text;
    client.GetReplyText(text);
    DebugWrite(LINE_HTTP, "CheckIn: reply:\n%s", text.c_str());
    if (!client.IsJsonContent() || !ParseCheckInReply(text, reply)) {
        DebugPrint("Invalid check-in reply:\n%s", text.c_str());
        // Members read before a failure are no configuration either.
        *reply = CHECK_IN_REPLY{};
        return false;
    }
    return true;
}

}  // namespace wexo::svc
