// The check-in with the API server of the deployment: who the device is goes out in the query
// string of "2/checkin", and the JSON reply brings the device's configuration back (customer
// identity, next check-in, dormant flag, policy-server mode and list, software-update URL).
//
// CheckIn only reads the reply; what the members change is carried out by its caller (the
// check-in thread of the host, the CHECK_IN test mode), which hands the servers and mode to
// SETTINGS::ApplyCheckInServers, writes "Dormant", starts the update and sets the timer.
//
// The API server is verified: its certificate must chain to the trusted certificates (the
// system's store, or the settings' "TlsCaFile") and name the host the request was made to, or the
// check-in fails before anything is sent ("AcceptAnyServerCertificate" takes that back; see
// http_engine.h).
//
// Untrusted input is bounded here: a reply is not read past kMaxCheckInReplyBytes (one that goes
// on is refused unparsed), a member of another type counts as absent, a string holding a NUL
// character counts as absent (the text after it would be lost by every C interface the value
// reaches), and a NextCheckIn whose six numbers do not make a calendar time is not used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/clock.h"
#include "service/checkin/settings.h"

namespace wexo::svc {

// The check-in page of the API server.
constexpr char kCheckInPage[] = "2/checkin";
// The "client" value of the request.
constexpr char kCheckInClient[] = "ZQ";
// A reply longer than this is no configuration: reading stops there and it is refused unparsed.
constexpr size_t kMaxCheckInReplyBytes = 64 * 1024;

// Bits of CHECK_IN_REPLY::received: the members found in the reply.
constexpr uint32_t CHECK_IN_RECEIVED_DORMANT = 1;
constexpr uint32_t CHECK_IN_RECEIVED_NEXT_CHECK_IN = 2;
constexpr uint32_t CHECK_IN_RECEIVED_UPDATE_URL = 4;
constexpr uint32_t CHECK_IN_RECEIVED_CUSTOMER_ID = 8;
constexpr uint32_t CHECK_IN_RECEIVED_SERVERS = 16;

struct CHECK_IN_REPLY {
    uint32_t received = 0;
    uint8_t dormant = 0;
    // UTC; day of week and milliseconds stay 0; all 0 unless received.
    os::CALENDAR_TIME nextCheckIn{};
    // SERVER_MODE_NONE unless the reply carries a valid ServerMode (no received bit for it).
    int32_t serverMode = SERVER_MODE_NONE;
    std::vector<std::string> servers;
    std::string updateUrl;
    std::string customerId;
};

// What goes into the request besides the domain and the MAC address.
struct CHECK_IN_DEVICE {
    std::string apiServer;       // host name, or "host:port"
    std::string uniqueDeviceId;  // empty when the device information is not ready
    std::string platform;        // "Linux_x64", "Win10_x64", ...
};

// The device as the running program sees it: the selected deployment's API server, the given
// device ID and the platform name of this system.
CHECK_IN_DEVICE CurrentCheckInDevice(const std::string& uniqueDeviceId);

// One check-in over HTTPS: GET "2/checkin" with client, domain (left out when null), uuid, mac,
// version and platform, and the reply read into `reply` (reset first). Returns true when a JSON
// reply was read, even one that carried nothing; false when the server could not be reached,
// answered another status, or the reply was not JSON, too large or malformed. The Part's lines
// say which.
bool CheckIn(const char* domain, const std::string& macAddress, const CHECK_IN_DEVICE& device,
             CHECK_IN_REPLY* reply);

// The reply text read as JSON into `reply` (which it does not reset). False, after "Filter
// check-in: JSON parsing error. %s.", when the text does not parse; a root that is not an object
// is a reply without members (true).
bool ParseCheckInReply(std::string_view text, CHECK_IN_REPLY* reply);

// The six numbers of "%04u-%02u-%02u %02u:%02u:%02u UTC" when they were all read and name a
// calendar time (months 1-12, days of that month, 00:00:00 to 23:59:59, years 1601-30827).
bool ParseNextCheckIn(std::string_view text, os::CALENDAR_TIME* time);

}  // namespace wexo::svc
