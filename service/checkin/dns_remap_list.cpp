#include "service/checkin/dns_remap_list.h"

#include <strings.h>

#include <optional>

#include "os/core/status.h"
#include "os/core/utf8.h"
#include "service/checkin/settings.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/http_api.h"
#include "service/support/text.h"
#include "service/support/xml_parser.h"

namespace wexo::svc {
namespace {

constexpr char kRootName[] = "DNSRemap";
constexpr char kHostName[] = "host";

// Resource 105 of type "TEXT": the search hosts of Google remapped to its forced-SafeSearch host,
// then YouTube's www and mobile hosts to its forced safety-mode host. The mobile host's line is
// there twice, as the program has always carried it.
constexpr char kBuiltInRemapText[] =
    "www.google.com,forcesafesearch.google.com\r\n"
    "images.google.com,forcesafesearch.google.com\r\n"
    "encrypted.google.com,forcesafesearch.google.com\r\n"
    "www.google.co.uk,forcesafesearch.google.com\r\n"
    "images.google.co.uk,forcesafesearch.google.com\r\n"
    "www.youtube.com,restrict.youtube.com\r\n"
    "m.youtube.com,restrict.youtube.com\r\n"
    "m.youtube.com,restrict.youtube.com\r\n";

unsigned long Ul(uint32_t value) {
    return static_cast<unsigned long>(value);
}

void LogRemapEntries(uint32_t lineFlags, const DNS_REMAP_LIST& list) {
    for (const std::string& entry : list) {
        const size_t comma = entry.find(',');
        if (comma == std::string::npos) {
            continue;
        }
        const std::string host = entry.substr(0, comma);
        const std::string remap = entry.substr(comma + 1);
        DebugWrite(lineFlags, "Remap host = \"%s\" --> \"%s\"", host.c_str(), remap.c_str());
    }
}

// Latin-1 bytes as UTF-8: the single-byte text widened unit by unit, as the resource is read.
std::string WidenBytes(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        os::AppendUtf8(text, static_cast<unsigned char>(c));
    }
    return text;
}

}  // namespace

CURRENT_POLICY_SERVER CurrentServerOf(POLICY_SERVERS& servers) {
    return [&servers](std::string& name) { return servers.CurrentServer(name); };
}

std::string_view BuiltInRemapText() {
    return std::string_view(kBuiltInRemapText, sizeof kBuiltInRemapText - 1);
}

bool IsValidRemapEntry(std::string_view entry) {
    const size_t comma = entry.find(',');
    return comma != std::string_view::npos && comma != 0 && comma != entry.size() - 1;
}

void ParseRemapLines(std::string_view text, DNS_REMAP_LIST* list) {
    list->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        const bool last = end == std::string_view::npos;
        if (last) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        const std::string wide = WidenBytes(line);
        if (!IsValidRemapEntry(line) || line.find('\0') != std::string_view::npos) {
            DebugPrint("Invalid DNS remap = \"%s\")", wide.c_str());
        } else {
            list->push_back(wide);
        }
        if (last) {
            break;
        }
        // CR LF is one line end; a lone CR or LF is one too.
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
}

bool LoadBuiltInRemapList(DNS_REMAP_LIST* list) {
    ParseRemapLines(BuiltInRemapText(), list);
    return true;
}

bool ReadDnsRemapReply(std::string_view text, const std::string& url, DNS_REMAP_LIST* list) {
    list->clear();
    XML_PARSER parser;
    bool valid = parser.Parse(text);
    if (valid && !parser.FindRoot(kRootName)) {
        DebugPrint("No <%s> tag", kRootName);
        valid = false;
    }
    if (!valid) {
        const std::string shown(text);
        DebugPrint("GetDnsRemapList: URL = \"%s\",\n    Invalid reply:\n%s", url.c_str(),
                   shown.c_str());
        return false;
    }
    const size_t count = parser.ChildCount();
    for (size_t i = 0; i < count; ++i) {
        const std::string name(parser.ChildName(i));
        if (strcasecmp(name.c_str(), kHostName) != 0) {
            DebugPrint("Ignoring invalid <%s> tag in <%s>", name.c_str(), kRootName);
            continue;
        }
        std::string entry(parser.ChildText(i));
        DebugWrite(LINE_XML, "<%s>[%d] = \"%s\"", kHostName, static_cast<int>(i), entry.c_str());
        list->push_back(std::move(entry));
    }
    return true;
}

int GetDnsRemapList(const CURRENT_POLICY_SERVER& currentServer, const std::string& uniqueDeviceId,
                    DNS_REMAP_LIST* list) {
    list->clear();
    std::string server;
    if (!currentServer || !currentServer(server)) {
        return DNS_REMAP_FAILED;
    }
    DebugWrite(LINE_ALWAYS_LOG,
               "GetDnsRemapList: Server = \"%s\",\n    Page = \"%s\",\n    UniqueDeviceId = %s",
               server.c_str(), kDnsRemapPage, uniqueDeviceId.c_str());
    HTTPX_PAIR pair;
    HTTPX_API& client = pair.Client();
    // Reading stops at the limit: a server cannot make the service hold more than that. The list
    // decides where search hosts' names lead: over HTTPS it is taken only from a server that
    // verifies, as the check-in is.
    client.Config(FormatText("MaxReplyBytes=%zu", kMaxDnsRemapReplyBytes));
    client.Config("VerifyServer=true");
    const bool answered = client.Get(server, kDnsRemapPage, {{"host_id", uniqueDeviceId}});
    const bool tooLarge = client.GetLastErrorCode() == HTTP_ENGINE_REPLY_TOO_LARGE;
    if (!answered && !tooLarge) {
        DebugPrint(
            "GetDnsRemapList: Unable to connect to policy server.\n    %s.\n    URL = \"%s\"",
            client.GetLastErrorText().c_str(), client.GetRequestUrl().c_str());
        return DNS_REMAP_FAILED;
    }
    const std::string& url = client.GetRequestUrl();
    const int32_t status = client.GetStatus();
    if (status == 404) {
        DebugPrint(
            "GetDnsRemapList: Page not found. Using built-in DNS remapping list.\n    URL = \"%s\"",
            url.c_str());
        return DNS_REMAP_NOT_FOUND;
    }
    if (status != 200) {
        DebugPrint(
            "GetDnsRemapList: Unable to get DNS remap list, HTTP status = %u,\n    URL = \"%s\"",
            static_cast<unsigned>(status), url.c_str());
        return DNS_REMAP_FAILED;
    }
    if (tooLarge) {
        DebugPrint(
            "GetDnsRemapList: URL = \"%s\",\n    Invalid reply:\n(more than %zu bytes, not read "
            "further)",
            url.c_str(), kMaxDnsRemapReplyBytes);
        return DNS_REMAP_FAILED;
    }
    std::string text;
    client.GetReplyText(text);
    DebugWrite(LINE_XML, "GetDnsRemapList: reply:\n%s", text.c_str());
    if (!ReadDnsRemapReply(text, url, list)) {
        return DNS_REMAP_FAILED;
    }
    if (list->empty()) {
        DebugPrint("GetDnsRemapList: No remap hosts from URL = \"%s\"", url.c_str());
        return DNS_REMAP_NO_HOSTS;
    }
    return DNS_REMAP_RECEIVED;
}

bool WriteDnsRemapping(const os::RegKey& key, const DNS_REMAP_LIST* list) {
    DNS_REMAP_LIST builtIn;
    if (list == nullptr) {
        if (!LoadBuiltInRemapList(&builtIn)) {
            DebugWrite(LINE_VERBOSE, "Unable to get default DNS remapping list");
            return false;
        }
        DebugWrite(LINE_VERBOSE, "Using default DNS remapping list");
        LogRemapEntries(LINE_VERBOSE, builtIn);
        list = &builtIn;
    }
    DNS_REMAP_LIST stored;
    stored.reserve(list->size());
    for (const std::string& entry : *list) {
        if (entry.empty() || entry.find('\0') != std::string::npos) {
            DebugPrint("Ignoring DNS remap = \"%s\" that the registry cannot hold", entry.c_str());
            continue;
        }
        stored.push_back(entry);
    }
    std::optional<std::vector<uint8_t>> data = os::RegMultiStringData(stored);
    if (data && data->size() > kMaxDnsRemappingValueBytes) {
        DebugPrint(
            "Unable to set registry value = \"%s\": %zu bytes, more than the %zu bytes the "
            "driver takes",
            kDnsRemappingValueName, data->size(), kMaxDnsRemappingValueBytes);
        return false;
    }
    uint32_t error = os::ERROR_INVALID_PARAMETER;
    if (data) {
        error = os::RegSetValueEx(key, kDnsRemappingValueName, os::REG_MULTI_SZ, *data);
    }
    if (error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to set registry value = \"%s\". %s. Error code = %lu.",
                   kDnsRemappingValueName, os::SystemMessageText(error).c_str(), Ul(error));
        return false;
    }
    DebugPrint("Registry value = \"%s\" set", kDnsRemappingValueName);
    return true;
}

int UpdateDnsRemapList(SETTINGS& settings, const CURRENT_POLICY_SERVER& currentServer,
                       const std::string& uniqueDeviceId) {
    DNS_REMAP_LIST list;
    const int outcome = GetDnsRemapList(currentServer, uniqueDeviceId, &list);
    // The mode and the unencrypted-search flag follow the list the driver holds: each changes only
    // once the registry took what the driver reads, so that a failed write leaves all three as
    // they were instead of flags that speak of a list the driver never got.
    switch (outcome) {
        case DNS_REMAP_RECEIVED:
            if (!WriteDnsRemapping(settings.ProductKey(), &list)) {
                return DNS_REMAP_FAILED;
            }
            settings.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
            settings.SetUnencryptedSearch(true);
            LogRemapEntries(0, list);
            break;
        case DNS_REMAP_NO_HOSTS: {
            const uint32_t error =
                os::RegDeleteValue(settings.ProductKey(), kDnsRemappingValueName);
            if (error != os::ERROR_SUCCESS && error != os::ERROR_FILE_NOT_FOUND) {
                DebugPrint("Unable to delete registry value = \"%s\". %s. Error code = %lu.",
                           kDnsRemappingValueName, os::SystemMessageText(error).c_str(), Ul(error));
                return DNS_REMAP_FAILED;
            }
            settings.SetDnsRemappingMode(DNS_REMAPPING_DYNAMIC);
            settings.SetUnencryptedSearch(false);
            break;
        }
        case DNS_REMAP_NOT_FOUND:
            if (!WriteDnsRemapping(settings.ProductKey(), nullptr)) {
                return DNS_REMAP_FAILED;
            }
            // Unencrypted search stays as the policy replies set it in Build-in mode.
            settings.SetDnsRemappingMode(DNS_REMAPPING_BUILD_IN);
            break;
        default:
            break;
    }
    return outcome;
}

}  // namespace wexo::svc
