// The DNS remap list: host names whose DNS answers the driver rewrites to the address of another
// host (search engines to their safe-search hosts). The list comes from the current policy server
// ("api/mobile/v1/dns_remaps", XML) or, when the server keeps none for the device, from the list
// built into the program; it reaches the driver only through the REG_MULTI_SZ value
// "DNSRemapping" of the product key, one "host,remap host" string per entry.
//
// The registry cannot hold an empty string inside a multi-string (it would end the list there), nor
// a string with a NUL character in it (it would split into two): such entries are left out of what
// is written, each with a line, so that one bad entry never cuts off the entries after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "os/registry/registry.h"

namespace wexo::svc {

class SETTINGS;
class POLICY_SERVERS;

constexpr char kDnsRemapPage[] = "api/mobile/v1/dns_remaps";
constexpr char kDnsRemappingValueName[] = "DNSRemapping";
// A reply is not read past this; one that goes on is no list.
constexpr size_t kMaxDnsRemapReplyBytes = 1024 * 1024;
// The largest "DNSRemapping" (REG_MULTI_SZ data, UTF-16) written: what a registry value holds on
// Windows, and what the registry bridge carries to the driver in one request. A larger list is
// not written at all.
constexpr size_t kMaxDnsRemappingValueBytes = 1024 * 1024;

// Outcome of GetDnsRemapList.
constexpr int DNS_REMAP_RECEIVED = 0;   // list received
constexpr int DNS_REMAP_NO_HOSTS = 1;   // valid reply without hosts
constexpr int DNS_REMAP_NOT_FOUND = 2;  // the server keeps no list for the device (404)
constexpr int DNS_REMAP_FAILED = 3;     // no server, no answer, another status, invalid reply

// Entries "host,remap host", UTF-8 here (UTF-16 in the registry), in order.
using DNS_REMAP_LIST = std::vector<std::string>;

// The server for the next request, as POLICY_SERVERS::CurrentServer hands it out.
using CURRENT_POLICY_SERVER = std::function<bool(std::string& name)>;
CURRENT_POLICY_SERVER CurrentServerOf(POLICY_SERVERS& servers);

// The built-in list as the program carries it: single-byte text, one entry per line, CR LF.
std::string_view BuiltInRemapText();

// Whether the text is an entry: a comma that is neither its first nor its last character.
bool IsValidRemapEntry(std::string_view entry);

// Single-byte text (bytes above 0x7F are code points U+0080-U+00FF) split into lines at CR LF, LF
// or CR; a line that is not a valid entry logs "Invalid DNS remap = \"%s\")" and is skipped, as is
// a line holding a NUL byte. Fills `list` with the valid lines in order.
void ParseRemapLines(std::string_view text, DNS_REMAP_LIST* list);

// The built-in list (8 entries, the last line twice). False when the program carries none.
bool LoadBuiltInRemapList(DNS_REMAP_LIST* list);

// The reply of the list page read into `list`: root element "DNSRemap", one "host" child (any
// letter case) per entry, other children ignored with a line. False for text that is not such a
// document, after the invalid-reply line naming `url`.
bool ReadDnsRemapReply(std::string_view text, const std::string& url, DNS_REMAP_LIST* list);

// Asks the current policy server for the device's list; one of the outcomes above. Over HTTPS
// (the policy servers' API protocol) the server is verified as the check-in's is, whereas the
// policy queries to the same servers are not unless "StrictTls" is on; over plain HTTP there is
// nothing to verify.
int GetDnsRemapList(const CURRENT_POLICY_SERVER& currentServer, const std::string& uniqueDeviceId,
                    DNS_REMAP_LIST* list);

// Writes the list, or the built-in list when `list` is null, to "DNSRemapping" of `key`.
// Returns whether the value was written (never when it would pass kMaxDnsRemappingValueBytes).
bool WriteDnsRemapping(const os::RegKey& key, const DNS_REMAP_LIST* list);

// Requests the list and applies the outcome: a list is written, then the mode becomes Dynamic
// with unencrypted search on; a reply without hosts deletes the value, then the mode becomes
// Dynamic with unencrypted search off; a 404 writes the built-in list, then the mode becomes
// Build-in; a failure changes nothing. A write or delete that fails changes nothing either (the
// mode and flag stay with the list the driver still holds) and gives DNS_REMAP_FAILED. Returns
// the outcome.
int UpdateDnsRemapList(SETTINGS& settings, const CURRENT_POLICY_SERVER& currentServer,
                       const std::string& uniqueDeviceId);

}  // namespace wexo::svc
