// The reference API server: the check-in page a device asks of the API server of its deployment,
// the update packages a check-in may point at, and the DNS remap list page, answered from a
// devices file a person writes (format in docs/api-server.md).
//
//   [device AA:BB:CC:DD:EE:FF]       one device, by the MAC address its check-in sends
//   CustomerID = school-42
//   ServerMode = tiered              balanced, tiered, or a number (sent as it is)
//   Servers = policy1.example, policy2.example
//   Dormant = false
//   NextCheckIn = +6h                "YYYY-MM-DD HH:MM:SS UTC", or from now: +N[s|m|h|d]
//   UpdatePackage = Update.zip       a file of the updates folder ("UpdateURL" takes a whole URL)
//   [device *]                       every device that has no section of its own
//   [dns_remaps]                     the "api/mobile/v1/dns_remaps" list
//   www.search.example = safe.search.example
//
// As with the policy server, the pages live in ApiPages, apart from any HTTP server; ApiServer
// serves them on an HttpPeer (HTTPS by default, as the check-in is always made over TLS), and the
// api-server program serves the same pages on a port it is given.
//
// Pages:
//   "2/checkin" (GET, pairs client, domain, uuid, mac, version, platform): the device's JSON reply,
//       or 404 when no section names its MAC address (the device is not registered).
//   "updates/<file>" (GET): the file of that name in the updates folder, or 404. Only plain file
//       names are served: no folders, nothing that begins with a dot.
//   "updates/<file>.sig" (GET), when the pages have a signing key: the raw 64-byte Ed25519
//       signature of the package "<file>" as it is at that moment, or 404 when that package is
//       not served (a file of the folder whose own name ends in ".sig" is then never served).
//   "api/mobile/v1/dns_remaps" (GET, pair host_id): the [dns_remaps] list as XML; 200 with no
//       hosts when the section is there but empty; 404 when the file has no such section.
#pragma once

#include <httplib.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/peers/http_peer.h"
#include "tools/peers/reference_server.h"
#include "tools/peers/watched_file.h"

namespace wexo::peers {

// What the check-in reply says to one device. A member left unset is left out of the reply.
struct ApiDevice {
    std::string mac;  // as written in the section header; "*" for every other device
    std::optional<std::string> customerId;
    std::optional<int64_t> serverMode;
    std::optional<std::vector<std::string>> servers;
    std::optional<bool> dormant;
    // Either a time as the reply carries it, or seconds from the moment of the reply.
    std::optional<std::string> nextCheckIn;
    std::optional<int64_t> nextCheckInFromNow;
    std::optional<std::string> updateUrl;
    std::optional<std::string> updatePackage;  // a file name of the updates folder
    int line = 0;                              // where its section begins
};

struct ApiFile {
    std::vector<ApiDevice> devices;
    // host -> remap host, in file order; none: the file has no [dns_remaps] section.
    std::optional<std::vector<std::pair<std::string, std::string>>> dnsRemaps;
};

// False, with "line N: ..." in *error, when the text is not a devices file.
bool ParseApiFile(std::string_view text, ApiFile* file, std::string* error);

// The device a check-in with this MAC address is answered for: its own section (MAC addresses are
// compared without regard to case, "-" and ":" alike), else the "*" section, else none.
const ApiDevice* FindApiDevice(const ApiFile& file, std::string_view mac);

// The JSON check-in reply for a device. `updatesUrl` is where the updates folder is served
// ("https://127.0.0.1:8443/updates"); `now` is system time (100 ns units since 1601, UTC).
std::string CheckInReplyJson(const ApiDevice& device, const std::string& updatesUrl, uint64_t now);

// "YYYY-MM-DD HH:MM:SS UTC" of a system time.
std::string CheckInTimeText(uint64_t systemTime);

// A JSON string literal of the text: quotes, backslashes and control bytes escaped.
std::string JsonQuoted(std::string_view text);

// Its base URL is where update package URLs point; its activity log has one line per check-in,
// package and reload.
class ApiPages : public REFERENCE_PAGES {
  public:
    using Page = REFERENCE_PAGE;

    static constexpr char kCheckInPath[] = "/2/checkin";
    static constexpr char kUpdatesPrefix[] = "/updates/";
    static constexpr char kDnsRemapsPath[] = "/api/mobile/v1/dns_remaps";

    ApiPages();

    // The handlers refer to this object, which must outlive any server they are registered with.
    std::vector<Page> Pages();

    // ---- The devices. No device is registered until a file or text is given.
    bool SetDevicesText(std::string_view text, std::string* error);
    void SetDevices(ApiFile file);
    // Reads the file now and again whenever it has changed when a page is asked for; a change that
    // does not read keeps the previous devices (and is reported once).
    bool LoadDevicesFile(const std::string& path, std::string* error);
    // Where "updates/<file>" is served from; none: every package is 404.
    void SetUpdatesFolder(std::string folder);
    // Signs every package served: "updates/<file>.sig" is then the signature of "updates/<file>".
    // The key is an Ed25519 private key, as a PEM file (PKCS#8, what "openssl genpkey -algorithm
    // ed25519" writes); false with the reason when the file is not one.
    bool LoadSigningKeyFile(const std::string& path, std::string* error);
    // The same with a key in hand; null: packages are served unsigned again.
    void SetSigningKey(std::shared_ptr<EVP_PKEY> key);
    // The signing key's public half as 64 hexadecimal digits (what the service's "UpdatePublicKey"
    // takes); "" without a key.
    std::string SigningPublicKeyHex() const;

    // What "2/checkin" answers instead of the device's reply (a broken reply, an HTML page, ...).
    void SetCheckInAnswer(int status, std::string body, std::string contentType);
    void ClearCheckInAnswer();

    size_t CheckInCount() const { return checkInCount_.load(); }
    size_t PackageCount() const { return packageCount_.load(); }
    size_t DnsRemapCount() const { return dnsRemapCount_.load(); }

  private:
    void AnswerCheckIn(const httplib::Request& request, httplib::Response& response);
    void AnswerPackage(const httplib::Request& request, httplib::Response& response);
    // A package of the folder, whole; false when it is not one that is served.
    bool ReadPackage(const std::string& name, std::string* content) const;
    void AnswerDnsRemaps(const httplib::Request& request, httplib::Response& response);
    std::shared_ptr<const ApiFile> CurrentFile() { return file_.Current(); }

    struct FixedAnswer {
        int status = 200;
        std::string body;
        std::string contentType;
    };

    mutable std::mutex mutex_;
    WATCHED_FILE<ApiFile> file_;
    std::string updatesFolder_;
    std::shared_ptr<EVP_PKEY> signingKey_;
    std::optional<FixedAnswer> checkInAnswer_;
    std::atomic<size_t> checkInCount_{0};
    std::atomic<size_t> packageCount_{0};
    std::atomic<size_t> dnsRemapCount_{0};
};

// The pages on a local HttpPeer; HTTPS with a self-signed certificate unless told otherwise.
// HostPort() is the API server name the service is given.
class ApiServer : public REFERENCE_SERVER<ApiPages> {
  public:
    explicit ApiServer(PeerOptions options = HttpsPeer()) : REFERENCE_SERVER(std::move(options)) {}
};

}  // namespace wexo::peers
