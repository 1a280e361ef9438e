// Whom the check-in, the DNS remap list and the update download take their answers from, over real
// HTTPS on loopback: a server whose certificate chains to the trusted certificates and names the
// host asked for, and nobody else (a self-signed server, a man-in-the-middle relay presenting a
// certificate of the right authority for another name) unless "AcceptAnyServerCertificate" is on;
// and which updates run: only those TLS or a signature vouched for.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/core/event_log.h"
#include "os/core/sync.h"
#include "os/registry/registry.h"
#include "os/win32/environment.h"
#include "service/checkin/check_in.h"
#include "service/checkin/dns_remap_list.h"
#include "service/checkin/settings.h"
#include "service/checkin/software_update.h"
#include "service/support/event_log.h"
#include "service/support/http_api.h"
#include "service/support/registry_helpers.h"
#include "tests/service/checkin/update_signing_support.h"
#include "tests/service/log_capture.h"
#include "tests/service/support/http_test_support.h"
#include "tests/service/support/test_trust.h"
#include "tests/support/zip_builder.h"
#include "tools/peers/http_peer.h"

namespace wexo::svc {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kMac[] = "AA:BB:CC:DD:EE:01";
constexpr char kDeviceId[] = "0B4E4C2E-6C1D-4F5C-9E0A-5D2B3C4D5E6F";
constexpr char kVerificationFailed[] = "TLS verification of 127.0.0.1 failed: ";

// A folder of the test's own, removed at its end.
class TEMP_FOLDER {
  public:
    TEMP_FOLDER() {
        std::string pattern = (fs::temp_directory_path() / "wexo-trust-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TEMP_FOLDER() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// The event log as the service writes it, read back from the system's records.
class EVENT_RECORDS {
  public:
    EVENT_RECORDS() : previousSyslog_(os::SetEventLogSyslogOutput(false)) {
        ServiceEventLog().Start("WexoSvc");
        os::ClearEventLogRecords();
    }
    ~EVENT_RECORDS() {
        ServiceEventLog().Stop();
        os::ClearEventLogRecords();
        os::SetEventLogSyslogOutput(previousSyslog_);
    }
    std::vector<std::vector<std::string>> StringsOf(uint32_t eventId) const {
        std::vector<std::vector<std::string>> found;
        for (const os::EVENT_LOG_RECORD& record : os::EventLogRecords()) {
            if (record.eventId == eventId) {
                found.push_back(record.strings);
            }
        }
        return found;
    }

  private:
    bool previousSyslog_;
};

// ---- The three clients against servers they should and should not believe.

enum class SERVER { SelfSigned, Issued, Relay };

struct TRUST_CASE {
    const char* name;
    SERVER server;
    bool caFile;     // "TlsCaFile" names the test's authority
    bool acceptAny;  // "AcceptAnyServerCertificate" = 1
    bool taken;      // the check-in and the remap list take the answer
    bool updated;    // the unsigned package is downloaded
};

class ServerTrustTest : public ::testing::Test {
  protected:
    ServerTrustTest() {
        ApiPages(selfSigned_);
        ApiPages(issued_);
        // The relay terminates TLS with its own certificate and asks the real server in turn.
        relay_.HandleOthers([this](const httplib::Request& request, httplib::Response& response) {
            httplib::SSLClient upstream("127.0.0.1", issued_.Port());
            upstream.enable_server_certificate_verification(false);
            if (auto answer = upstream.Get(request.target)) {
                response.status = answer->status;
                response.set_content(answer->body, answer->get_header_value("Content-Type"));
            } else {
                response.status = 502;
            }
        });
        EXPECT_TRUE(selfSigned_.Start());
        EXPECT_TRUE(issued_.Start());
        EXPECT_TRUE(relay_.Start());
        EXPECT_EQ(os::RegCreateKeyEx(os::HKEY_LOCAL_MACHINE, kProductKeyPath, key_),
                  os::ERROR_SUCCESS);
        EXPECT_TRUE(settings_.OpenProductKey());
    }
    ~ServerTrustTest() override { SetApiProtocol(API_PROTOCOL_UNKNOWN); }

    static void ApiPages(peers::HttpPeer& peer) {
        peer.Reply("GET", "/2/checkin", 200, R"({"Dormant": true})", "application/json");
        peer.Reply("GET", "/api/mobile/v1/dns_remaps", 200,
                   "<DNSRemap><host>www.search.example,safe.search.example</host></DNSRemap>",
                   "text/xml");
        peer.Reply("GET", "/u.zip", 200, "package bytes", "application/zip");
    }
    peers::HttpPeer& Peer(SERVER server) {
        return server == SERVER::SelfSigned ? selfSigned_
               : server == SERVER::Issued   ? issued_
                                            : relay_;
    }
    // The settings as a start of the service reads them.
    void Load(const TRUST_CASE& c) {
        if (c.caFile) {
            ASSERT_TRUE(WriteRegistryString(key_, "TlsCaFile", trust_.CaFile()));
        } else {
            os::RegDeleteValue(key_, "TlsCaFile");
        }
        ASSERT_TRUE(WriteRegistryDword(key_, kAcceptAnyServerCertificateValue, c.acceptAny));
        settings_.LoadSettings();
    }

    os::ScopedSystemRegistry registry_{os::RegistryStore::CreateInMemory()};
    testing::LOG_CAPTURE lines_;
    testing_http::NoProxyEnvironment noProxy_;
    testing_http::SCOPED_TEST_TRUST trust_;
    TEMP_FOLDER folder_;
    peers::HttpPeer selfSigned_{peers::HttpsPeer()};
    peers::HttpPeer issued_{trust_.Server()};
    peers::HttpPeer relay_{trust_.Server({"other.example"})};
    os::RegKey key_;
    SETTINGS settings_;
};

TEST_F(ServerTrustTest, EachClientTakesOnlyAServerItVerifiesUnlessTheSwitchIsOn) {
    const TRUST_CASE cases[] = {
        {"self-signed, the system's store", SERVER::SelfSigned, false, false, false, false},
        {"self-signed, the CA file", SERVER::SelfSigned, true, false, false, false},
        {"issued by the CA file's authority", SERVER::Issued, true, false, true, true},
        {"issued, the system's store", SERVER::Issued, false, false, false, false},
        {"relay with the authority's certificate for another name", SERVER::Relay, true, false,
         false, false},
        // Any certificate is taken again, but an unsigned update needs a verified download.
        {"self-signed, switch on", SERVER::SelfSigned, false, true, true, false},
        {"relay, switch on", SERVER::Relay, true, true, true, false},
    };
    SetApiProtocol(API_PROTOCOL_HTTPS);
    const std::string package = *os::WindowsPathFromLinux((folder_.Path() / "u.zip").string());
    for (const TRUST_CASE& c : cases) {
        SCOPED_TRACE(c.name);
        Load(c);
        lines_.Clear();
        peers::HttpPeer& peer = Peer(c.server);
        const size_t reached = issued_.RequestCount();

        CHECK_IN_REPLY reply;
        const bool checkedIn =
            CheckIn(nullptr, kMac, {peer.HostPort(), kDeviceId, "Linux_x64"}, &reply);
        EXPECT_EQ(checkedIn, c.taken);
        EXPECT_EQ(reply.dormant, c.taken ? 1 : 0);

        DNS_REMAP_LIST list;
        const CURRENT_POLICY_SERVER server = [&peer](std::string& name) {
            name = peer.HostPort();
            return true;
        };
        EXPECT_EQ(GetDnsRemapList(server, kDeviceId, &list),
                  c.taken ? DNS_REMAP_RECEIVED : DNS_REMAP_FAILED);

        EXPECT_EQ(DownloadUpdatePackage(peer.BaseUrl() + "/u.zip", package, std::nullopt),
                  c.updated);
        EXPECT_EQ(fs::exists(folder_.Path() / "u.zip"), c.updated);
        fs::remove(folder_.Path() / "u.zip");

        // A refusal ends the handshake: nothing was asked of the server behind the relay.
        const bool verified = !c.acceptAny;
        EXPECT_EQ(lines_.Count(kVerificationFailed), verified && !c.taken ? 3u : 0u);
        if (c.server == SERVER::Relay && !c.taken) {
            EXPECT_EQ(issued_.RequestCount(), reached);
        }
    }
}

TEST_F(ServerTrustTest, PolicyQueriesStillTakeAnyServerUnlessStrictTlsIsOn) {
    // A client that does not ask for verification, as the policy servers' clients do not.
    Load({"self-signed", SERVER::SelfSigned, true, false, false, false});
    HTTPS_API policyClient;
    EXPECT_TRUE(policyClient.Get(selfSigned_.HostPort(), "2/checkin"));
    EXPECT_EQ(policyClient.GetStatus(), 200);

    ASSERT_TRUE(WriteRegistryDword(key_, "StrictTls", 1));
    settings_.LoadSettings();
    EXPECT_FALSE(policyClient.Get(selfSigned_.HostPort(), "2/checkin"));
    EXPECT_EQ(lines_.Count(kVerificationFailed), 1u);
    EXPECT_TRUE(policyClient.Get(issued_.HostPort(), "2/checkin"));
}

// ---- Which updates run.

// The updater of the packages: leaves a marker in the product's folder and ends with exit code 3.
constexpr char kUpdater[] = "#!/bin/sh\necho ran > ../../updater-ran\nexit 3\n";

struct UPDATE_CASE {
    const char* name;
    bool https;     // else plain HTTP
    bool signedBy;  // the key is given and the package signed with it
    bool acceptAny;
    const char* refusal;  // the reason of the refusal; null: the updater runs
};

class UpdateTrustTest : public ::testing::Test {
  protected:
    UpdateTrustTest() {
        product_ = folder_.Path() / kUpdateBaseFolderName;
        fs::create_directory(product_);
        fs::permissions(product_, fs::perms::owner_all);
        appData_.emplace(folder_.Path().string());
        for (peers::HttpPeer* peer : {&http_, &https_}) {
            peer->Reply("GET", "/u.zip", 200, zip_, "application/zip");
            peer->Reply("GET", "/u.zip.sig", 200, signer_.Sign(zip_), "application/octet-stream");
            EXPECT_TRUE(peer->Start());
        }
    }
    ~UpdateTrustTest() override {
        http_.Stop();
        https_.Stop();
        appData_.reset();
    }

    testing::LOG_CAPTURE lines_;
    testing_http::NoProxyEnvironment noProxy_;
    EVENT_RECORDS events_;
    testing_http::SCOPED_TEST_TRUST trust_;
    TEMP_FOLDER folder_;
    fs::path product_;
    std::optional<os::ScopedCommonAppDataFolder> appData_;
    const testing_signing::TEST_SIGNER signer_;
    const std::string zip_ =
        wexo::testing::MakeArchive({wexo::testing::File("Update.exe", kUpdater, 0755)});
    peers::HttpPeer http_;
    peers::HttpPeer https_{trust_.Server()};
};

TEST_F(UpdateTrustTest, AnUpdateRunsOnlyWhenTlsOrItsSignatureVouchesForIt) {
    const char* const notHttps =
        "not an HTTPS URL, and no UpdatePublicKey to check a signature with";
    const char* const switchedOff =
        "server verification is off (AcceptAnyServerCertificate), and no UpdatePublicKey to "
        "check a signature with";
    const UPDATE_CASE cases[] = {
        {"http, no key", false, false, false, notHttps},
        {"https verified, no key", true, false, false, nullptr},
        {"http, signed", false, true, false, nullptr},
        {"https, switch on, no key", true, false, true, switchedOff},
        {"https, switch on, signed", true, true, true, nullptr},
    };
    for (const UPDATE_CASE& c : cases) {
        SCOPED_TRACE(c.name);
        SetHttpTlsPolicy({false, trust_.CaFile(), c.acceptAny});
        lines_.Clear();
        os::ClearEventLogRecords();
        fs::remove(product_ / "updater-ran");
        peers::HttpPeer& peer = c.https ? https_ : http_;
        const size_t asked = peer.RequestCount();
        const std::string url = peer.BaseUrl() + "/u.zip";

        const std::optional<std::string> key =
            c.signedBy ? std::optional<std::string>(signer_.PublicKeyHex()) : std::nullopt;
        std::shared_ptr<os::STARTED_PROCESS> process = StartSoftwareUpdate(url, key);
        if (c.refusal == nullptr) {
            ASSERT_TRUE(process);
            EXPECT_EQ(os::WaitForSingleObject(process->Ended(), 10'000), os::WAIT_OBJECT_0);
            EXPECT_EQ(process->ExitCode(), std::optional<uint32_t>(3));
            EXPECT_TRUE(fs::exists(product_ / "updater-ran"));
            EXPECT_THAT(events_.StringsOf(EVENT_UPDATE_NOT_VERIFIED), ::testing::IsEmpty());
            continue;
        }
        EXPECT_FALSE(process);
        EXPECT_FALSE(fs::exists(product_ / "updater-ran"));
        EXPECT_EQ(peer.RequestCount(), asked) << "nothing is fetched";
        EXPECT_THAT(lines_.Lines(), Contains(std::string("Software update refused: ") + c.refusal +
                                             ".\n    URL = \"" + url + "\""));
        EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Process created"))));
        EXPECT_THAT(events_.StringsOf(EVENT_UPDATE_NOT_VERIFIED),
                    ::testing::ElementsAre(::testing::ElementsAre(url, c.refusal)));
    }
}

}  // namespace
}  // namespace wexo::svc
