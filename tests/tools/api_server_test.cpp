// The reference API server: its devices file, the check-in reply the service reads, the update
// packages and the remap list page in process, and the program that serves them.
#include "tools/peers/api_server.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "os/core/clock.h"
#include "os/core/sync.h"
#include "os/win32/environment.h"
#include "service/checkin/check_in.h"
#include "service/checkin/software_update.h"
#include "service/checkin/update_signature.h"
#include "service/support/debug_log.h"
#include "tests/service/checkin/update_signing_support.h"
#include "tests/service/support/http_test_support.h"
#include "tests/service/support/test_trust.h"
#include "tests/support/zip_builder.h"
#include "tools/peers/child_process.h"

namespace wexo::peers {
namespace {

using namespace std::chrono_literals;

TEST(ApiFileTest, EverySettingReads) {
    ApiFile file;
    std::string error;
    ASSERT_TRUE(
        ParseApiFile("# devices\n"
                     "[device aa-bb-cc-dd-ee-01]   # the pupil's laptop\n"
                     "CustomerID = school-42\n"
                     "servermode = Tiered\n"
                     "Servers = p1.example ,p2.example,, \n"
                     "Dormant = yes\n"
                     "NextCheckIn = +6h\n"
                     "UpdatePackage = Update-6.2.10.zip\n"
                     "[device *]\n"
                     "ServerMode = 7\n"
                     "NextCheckIn = 2026-12-08 03:00:00 UTC\n"
                     "UpdateURL = https://u.example/U.zip#x\n"
                     "[DNS_REMAPS]\n"
                     "www.search.test = safe.search.test\n",
                     &file, &error))
        << error;
    ASSERT_EQ(file.devices.size(), 2u);
    const ApiDevice& laptop = file.devices[0];
    EXPECT_EQ(laptop.customerId, "school-42");
    EXPECT_EQ(laptop.serverMode, 1);
    EXPECT_EQ(laptop.servers, (std::vector<std::string>{"p1.example", "p2.example"}));
    EXPECT_EQ(laptop.dormant, true);
    EXPECT_EQ(laptop.nextCheckInFromNow, 6 * 3600);
    EXPECT_EQ(laptop.updatePackage, "Update-6.2.10.zip");
    EXPECT_EQ(file.devices[1].serverMode, 7);
    EXPECT_EQ(file.devices[1].updateUrl, "https://u.example/U.zip#x");
    ASSERT_TRUE(file.dnsRemaps.has_value());
    EXPECT_EQ(file.dnsRemaps->size(), 1u);

    // MAC addresses in any spelling; others get the "*" section.
    EXPECT_EQ(FindApiDevice(file, "AA:BB:CC:DD:EE:01"), &file.devices[0]);
    EXPECT_EQ(FindApiDevice(file, "11:22:33:44:55:66"), &file.devices[1]);
    EXPECT_EQ(FindApiDevice(file, ""), &file.devices[1]);
    file.devices.pop_back();
    EXPECT_EQ(FindApiDevice(file, "11:22:33:44:55:66"), nullptr);
}

TEST(ApiFileTest, WhatItDoesNotUnderstandIsRefusedWithItsLine) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"CustomerID = x\n", "line 1: a setting outside a [device ...] section"},
        {"[device a]\n[device A]\n", "line 2: device A has a section already"},
        {"[devices]\n", "line 1: unknown section [devices]"},
        {"[device a]\nColour = red\n", "line 2: unknown setting \"Colour\""},
        {"[device a]\nServerMode = sometimes\n",
         "line 2: ServerMode is balanced, tiered or a number"},
        {"[device a]\nDormant = maybe\n", "line 2: Dormant is true or false"},
        {"[device a]\nNextCheckIn = +6w\n", "line 2: NextCheckIn from now is +N with s, m, h or d"},
        {"[device a]\nUpdatePackage = ../etc/passwd\n",
         "line 2: UpdatePackage is a plain file name of the updates folder"},
        {"[device a]\njust words\n", "line 2: expected \"name = value\""},
        {"[dns_remaps]\na,b = c\n", "line 2: a remap line is \"host = remap host\""},
        {"[device a\n", "line 1: a section header ends with ]"},
    };
    for (const auto& c : cases) {
        ApiFile file;
        std::string error;
        EXPECT_FALSE(ParseApiFile(c.text, &file, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ApiFileTest, TheReplyIsOneTheServiceReads) {
    ApiDevice device;
    device.customerId = "quote \" and \\ and \x01";
    device.serverMode = 1;
    device.servers = std::vector<std::string>{"p1.example", "p2.example"};
    device.dormant = false;
    device.nextCheckInFromNow = 3600;
    device.updatePackage = "Update.zip";
    os::CALENDAR_TIME start{};
    start.year = 2026;
    start.month = 12;
    start.day = 31;
    start.hour = 23;
    start.minute = 30;
    const std::string json =
        CheckInReplyJson(device, "https://127.0.0.1:9/updates", os::UtcToSystemTime(start));

    svc::DebugReset();
    svc::CHECK_IN_REPLY reply;
    ASSERT_TRUE(svc::ParseCheckInReply(json, &reply)) << json;
    EXPECT_EQ(reply.received, 31u);
    EXPECT_EQ(reply.customerId, "quote \" and \\ and \x01");
    EXPECT_EQ(reply.serverMode, 1);
    EXPECT_EQ(reply.servers, (std::vector<std::string>{"p1.example", "p2.example"}));
    EXPECT_EQ(reply.dormant, 0);
    // An hour from 23:30 on New Year's Eve.
    EXPECT_EQ(reply.nextCheckIn.year, 2027);
    EXPECT_EQ(reply.nextCheckIn.month, 1);
    EXPECT_EQ(reply.nextCheckIn.day, 1);
    EXPECT_EQ(reply.nextCheckIn.hour, 0);
    EXPECT_EQ(reply.nextCheckIn.minute, 30);
    EXPECT_EQ(reply.updateUrl, "https://127.0.0.1:9/updates/Update.zip");

    // Nothing set, nothing sent.
    EXPECT_EQ(CheckInReplyJson(ApiDevice{}, "", 0), "{\n}\n");
}

class ApiPagesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::path(::testing::TempDir()) /
                  ("api-pages-" + std::to_string(::getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_ / "updates");
        ASSERT_TRUE(server_.Start());
        server_.Pages().SetUpdatesFolder((folder_ / "updates").string());
    }
    void TearDown() override {
        server_.Stop();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    httplib::Result Get(const std::string& target) {
        httplib::Client client("127.0.0.1", server_.Port());
        client.set_connection_timeout(2, 0);
        client.set_read_timeout(2, 0);
        return client.Get(target);
    }
    void Write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    ApiServer server_{PeerOptions()};
    std::filesystem::path folder_;
};

TEST_F(ApiPagesTest, CheckInsAreAnsweredPerDeviceAndUnknownDevicesAre404) {
    std::string error;
    ASSERT_TRUE(server_.Pages().SetDevicesText(
        "[device AA:BB:CC:DD:EE:01]\nDormant = true\nUpdatePackage = U.zip\n", &error));
    auto known = Get("/2/checkin?client=ZQ&uuid=x&mac=AA%3ABB%3ACC%3ADD%3AEE%3A01");
    ASSERT_TRUE(known);
    EXPECT_EQ(known->status, 200);
    EXPECT_EQ(known->get_header_value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_NE(known->body.find("\"Dormant\": true"), std::string::npos);
    EXPECT_NE(
        known->body.find("\"UpdateURL\": \"http://" + server_.HostPort() + "/updates/U.zip\""),
        std::string::npos);

    auto unknown = Get("/2/checkin?client=ZQ&mac=11%3A22%3A33%3A44%3A55%3A66");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(server_.Pages().CheckInCount(), 2u);

    // An answer a test sets takes the place of the device's.
    server_.Pages().SetCheckInAnswer(200, "{\"Dormant\": true}", "text/html");
    auto fixed = Get("/2/checkin?mac=AA%3ABB%3ACC%3ADD%3AEE%3A01");
    ASSERT_TRUE(fixed);
    EXPECT_EQ(fixed->get_header_value("Content-Type"), "text/html");
}

TEST_F(ApiPagesTest, PackagesAreServedOnlyAsPlainFilesOfTheFolder) {
    Write(folder_ / "updates" / "Update.zip", std::string("PK\x03\x04zip", 7));
    Write(folder_ / "secret.txt", "not for devices");
    std::filesystem::create_directories(folder_ / "updates" / "sub");
    Write(folder_ / "updates" / "sub" / "x.zip", "x");
    Write(folder_ / "updates" / ".hidden", "x");

    auto package = Get("/updates/Update.zip");
    ASSERT_TRUE(package);
    EXPECT_EQ(package->status, 200);
    EXPECT_EQ(package->body, std::string("PK\x03\x04zip", 7));
    for (const char* target :
         {"/updates/..%2Fsecret.txt", "/updates/../secret.txt", "/updates/sub/x.zip",
          "/updates/sub", "/updates/.hidden", "/updates/", "/updates/missing.zip"}) {
        auto refused = Get(target);
        ASSERT_TRUE(refused) << target;
        EXPECT_NE(refused->status, 200) << target;
        EXPECT_EQ(refused->body.find("not for devices"), std::string::npos) << target;
    }
}

TEST_F(ApiPagesTest, TheRemapListIs404WithoutItsSectionAndEmptyWithAnEmptyOne) {
    auto none = Get("/api/mobile/v1/dns_remaps?host_id=x");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    std::string error;
    ASSERT_TRUE(server_.Pages().SetDevicesText("[dns_remaps]\n", &error));
    auto empty = Get("/api/mobile/v1/dns_remaps?host_id=x");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->status, 200);
    EXPECT_NE(empty->body.find("<DNSRemap>\n</DNSRemap>"), std::string::npos);
    ASSERT_TRUE(server_.Pages().SetDevicesText("[dns_remaps]\na&b.test = <c>.test\n", &error));
    auto escaped = Get("/api/mobile/v1/dns_remaps?host_id=x");
    ASSERT_TRUE(escaped);
    EXPECT_NE(escaped->body.find("<host>a&amp;b.test,&lt;c&gt;.test</host>"), std::string::npos);
}

TEST_F(ApiPagesTest, AnEditedFileIsReadAgainAndABrokenEditIsNotTaken) {
    const std::filesystem::path path = folder_ / "devices.ini";
    Write(path, "[device *]\nCustomerID = first\n");
    std::string error;
    ASSERT_TRUE(server_.Pages().LoadDevicesFile(path.string(), &error)) << error;
    std::vector<std::string> activity;
    std::mutex lock;
    server_.Pages().SetActivityLog([&](const std::string& line) {
        std::lock_guard guard(lock);
        activity.push_back(line);
    });
    auto body = [&] {
        auto result = Get("/2/checkin?mac=01");
        return result ? result->body : std::string();
    };
    EXPECT_NE(body().find("first"), std::string::npos);
    Write(path, "[device *]\nCustomerID = second, longer\n");
    EXPECT_NE(body().find("second"), std::string::npos);
    Write(path, "[device *]\nCustomerID = third\nbroken\n");
    EXPECT_NE(body().find("second"), std::string::npos);
    std::lock_guard guard(lock);
    ASSERT_EQ(activity.size(), 5u);
    EXPECT_EQ(activity[1], "devices reloaded from " + path.string());
    EXPECT_EQ(activity[3],
              "devices file not reloaded (line 3: expected \"name = value\"); the previous "
              "devices stay");
    EXPECT_FALSE(server_.Pages().LoadDevicesFile(path.string() + ".missing", &error));
    EXPECT_EQ(error, "cannot open " + path.string() + ".missing");
}

// ---- Signed packages.

// Whether `signature` is the signature of `content` by the key whose public half is `hex`.
bool SignedBy(const std::string& hex, const std::string& content, const std::string& signature) {
    svc::UPDATE_PUBLIC_KEY key{};
    std::string reason;
    return svc::ParseUpdatePublicKey(hex, &key, &reason) &&
           svc::VerifyUpdateSignature(key, content, signature, &reason);
}

TEST_F(ApiPagesTest, WithASigningKeyEveryPackageHasItsSignatureBesideIt) {
    Write(folder_ / "updates" / "U.zip", "first bytes");
    Write(folder_ / "updates" / "Old.zip.sig", "a file of the folder");
    // Unsigned: a ".sig" name is a file name like any other.
    auto none = Get("/updates/U.zip.sig");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 404);
    auto plain = Get("/updates/Old.zip.sig");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->body, "a file of the folder");
    EXPECT_EQ(server_.Pages().SigningPublicKeyHex(), "");

    const svc::testing_signing::TEST_SIGNER signer;
    const std::filesystem::path keyFile = folder_ / "signing.pem";
    Write(keyFile, signer.PrivateKeyPem());
    std::string error;
    ASSERT_TRUE(server_.Pages().LoadSigningKeyFile(keyFile.string(), &error)) << error;
    EXPECT_EQ(server_.Pages().SigningPublicKeyHex(), signer.PublicKeyHex());

    auto signature = Get("/updates/U.zip.sig");
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->status, 200);
    EXPECT_EQ(signature->body.size(), 64u);
    EXPECT_EQ(signature->body, signer.Sign("first bytes"));
    // The package is served as before.
    auto package = Get("/updates/U.zip");
    ASSERT_TRUE(package);
    EXPECT_EQ(package->body, "first bytes");

    // A changed package is signed as it is now.
    Write(folder_ / "updates" / "U.zip", "second, longer bytes");
    auto changed = Get("/updates/U.zip.sig");
    ASSERT_TRUE(changed);
    EXPECT_TRUE(SignedBy(signer.PublicKeyHex(), "second, longer bytes", changed->body));
    EXPECT_FALSE(SignedBy(signer.PublicKeyHex(), "first bytes", changed->body));

    // Signed: a ".sig" name is always the server's own signature, of a package it serves.
    for (const char* target : {"/updates/Old.zip.sig", "/updates/missing.zip.sig", "/updates/.sig",
                               "/updates/..%2Fsigning.pem.sig"}) {
        auto refused = Get(target);
        ASSERT_TRUE(refused) << target;
        EXPECT_EQ(refused->status, 404) << target;
    }

    server_.Pages().SetSigningKey(nullptr);
    auto unsignedAgain = Get("/updates/U.zip.sig");
    ASSERT_TRUE(unsignedAgain);
    EXPECT_EQ(unsignedAgain->status, 404);
}

TEST_F(ApiPagesTest, ASigningKeyFileMustHoldAnEd25519PrivateKey) {
    const svc::testing_signing::TEST_SIGNER signer;
    const std::filesystem::path publicOnly = folder_ / "public.pem";
    Write(publicOnly, signer.PublicKeyPem());
    const std::filesystem::path ec = folder_ / "ec.pem";
    {
        std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"),
                                                                &EVP_PKEY_free);
        ASSERT_TRUE(key);
        std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), &BIO_free);
        ASSERT_EQ(
            PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr),
            1);
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio.get(), &data);
        Write(ec, std::string(data, static_cast<size_t>(length)));
    }
    std::string error;
    EXPECT_FALSE(server_.Pages().LoadSigningKeyFile(publicOnly.string(), &error));
    EXPECT_EQ(error, "not a PEM Ed25519 private key");
    EXPECT_FALSE(server_.Pages().LoadSigningKeyFile(ec.string(), &error));
    EXPECT_EQ(error, "not a PEM Ed25519 private key");
    EXPECT_FALSE(server_.Pages().LoadSigningKeyFile((folder_ / "none.pem").string(), &error));
    EXPECT_EQ(error, "cannot open " + (folder_ / "none.pem").string());
    EXPECT_EQ(server_.Pages().SigningPublicKeyHex(), "") << "no refused key is taken";
}

// The service's software update against the API server over HTTPS, signing on: its own package
// is unpacked and started; a package the server signs with a key the service does not hold is
// refused.
TEST(SignedUpdateThroughTheApiServerTest, TheServiceTakesOnlyPackagesSignedWithItsKey) {
    namespace fs = std::filesystem;
    std::string pattern = (fs::temp_directory_path() / "wexo-api-update-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    // The update folder is made in the product's folder of the common application-data folder.
    std::optional<os::ScopedCommonAppDataFolder> appData(std::in_place, pattern);
    const fs::path temp = fs::path(pattern) / svc::kUpdateBaseFolderName;
    fs::create_directory(temp);
    const std::optional<std::string> previousTmp = os::GetEnvironmentVariable("TMPDIR");
    os::SetEnvironmentVariable("TMPDIR", temp.string());
    svc::testing_http::NoProxyEnvironment noProxy;
    {
        fs::create_directories(temp / "updates");
        const std::string updater = "#!/bin/sh\npwd > ../../updater-ran\nexit 7\n";
        std::ofstream(temp / "updates" / "Update.zip", std::ios::binary)
            << testing::MakeArchive({testing::File("Update.exe", updater, 0755)});

        const svc::testing_signing::TEST_SIGNER signer;
        const fs::path keyFile = temp / "signing.pem";
        std::ofstream(keyFile) << signer.PrivateKeyPem();
        // HTTPS, as the service's check-ins are, with a certificate the service verifies.
        const svc::testing_http::SCOPED_TEST_TRUST trust;
        ApiServer server(trust.Server());
        ASSERT_TRUE(server.Start());
        server.Pages().SetUpdatesFolder((temp / "updates").string());
        std::string error;
        ASSERT_TRUE(server.Pages().LoadSigningKeyFile(keyFile.string(), &error)) << error;
        const std::string url = server.Pages().BaseUrl() + "/updates/Update.zip";
        ASSERT_EQ(url.rfind("https://", 0), 0u) << url;

        std::shared_ptr<os::STARTED_PROCESS> process =
            svc::StartSoftwareUpdate(url, signer.PublicKeyPem());
        ASSERT_TRUE(process);
        EXPECT_EQ(os::WaitForSingleObject(process->Ended(), 10'000), os::WAIT_OBJECT_0);
        EXPECT_EQ(process->ExitCode(), std::optional<uint32_t>(7));
        EXPECT_TRUE(fs::exists(temp / "updater-ran"));
        EXPECT_EQ(server.Pages().PackageCount(), 2u) << "the package and its signature";

        fs::remove(temp / "updater-ran");
        const svc::testing_signing::TEST_SIGNER other;
        EXPECT_FALSE(svc::StartSoftwareUpdate(url, other.PublicKeyHex()));
        EXPECT_FALSE(fs::exists(temp / "updater-ran"));
        EXPECT_FALSE(fs::exists(temp / svc::kUpdateFolderName / "UpdatePackage"));
        EXPECT_FALSE(fs::exists(temp / svc::kUpdateFolderName / svc::kUpdatePackageName));
        server.Stop();
    }
    os::SetEnvironmentVariable("TMPDIR", previousTmp);
    appData.reset();
    std::error_code ignored;
    fs::remove_all(temp.parent_path(), ignored);
}

// ---- The program.

class ApiServerProgramTest : public ApiPagesTest {
  protected:
    void SetUp() override {
        if (!std::filesystem::exists(kProgram)) {
            GTEST_SKIP() << "build the api-server target first: " << kProgram;
        }
        ApiPagesTest::SetUp();
    }

    static std::unique_ptr<CHILD_PROCESS> Run(const std::vector<std::string>& arguments) {
        return CHILD_PROCESS::Start(kProgram, arguments, {});
    }

    // The port its first line says it listens on, after `prefix`; 0 when it says something else.
    static int ListeningPort(CHILD_PROCESS& child, const std::string& prefix) {
        const std::string line = child.ReadLine(2s);
        EXPECT_EQ(line.rfind(prefix, 0), 0u) << line;
        return line.rfind(prefix, 0) == 0 ? std::atoi(line.c_str() + prefix.size()) : 0;
    }

    static constexpr char kProgram[] = WEXO_BINARY_DIR "/tools/api-server";
};

TEST_F(ApiServerProgramTest, AnswersCheckInsAndPackagesFromItsFilesUntilTerminated) {
    const std::filesystem::path devices = folder_ / "devices.ini";
    Write(devices, "[device AA:BB:CC:DD:EE:01]\nServerMode = balanced\nUpdatePackage = U.zip\n");
    Write(folder_ / "updates" / "U.zip", "package bytes");
    auto child =
        Run({"--http", "--devices", devices.string(), "--updates", (folder_ / "updates").string()});
    ASSERT_TRUE(child);
    const int port = ListeningPort(*child, "API server listening on http://127.0.0.1:");
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    auto checkIn = client.Get("/2/checkin?client=ZQ&mac=AA%3ABB%3ACC%3ADD%3AEE%3A01&uuid=u1");
    ASSERT_TRUE(checkIn);
    EXPECT_EQ(checkIn->status, 200);
    EXPECT_NE(checkIn->body.find("\"UpdateURL\": \"http://127.0.0.1:" + std::to_string(port) +
                                 "/updates/U.zip\""),
              std::string::npos);
    EXPECT_EQ(child->ReadLine(2s),
              "checkin mac=\"AA:BB:CC:DD:EE:01\" uuid=\"u1\": answered from "
              "[device AA:BB:CC:DD:EE:01]");
    auto package = client.Get("/updates/U.zip");
    ASSERT_TRUE(package);
    EXPECT_EQ(package->body, "package bytes");
    EXPECT_EQ(child->ReadLine(2s), "updates/U.zip: 13 bytes");
    ASSERT_TRUE(child->Signal(SIGTERM));
    EXPECT_EQ(child->Wait(5s), 0) << child->Output();
}

TEST_F(ApiServerProgramTest, SignsEveryPackageWithTheKeyItIsGiven) {
    const svc::testing_signing::TEST_SIGNER signer;
    const std::filesystem::path keyFile = folder_ / "signing.pem";
    Write(keyFile, signer.PrivateKeyPem());
    Write(folder_ / "updates" / "U.zip", "package bytes");
    auto child = Run(
        {"--http", "--updates", (folder_ / "updates").string(), "--signing-key", keyFile.string()});
    ASSERT_TRUE(child);
    const int port = ListeningPort(*child, "API server listening on http://127.0.0.1:");
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    auto signature = client.Get("/updates/U.zip.sig");
    ASSERT_TRUE(signature);
    EXPECT_EQ(signature->status, 200);
    EXPECT_TRUE(SignedBy(signer.PublicKeyHex(), "package bytes", signature->body));
    EXPECT_EQ(child->ReadLine(2s), "updates/U.zip.sig: signature of 13 bytes");
    ASSERT_TRUE(child->Signal(SIGTERM));
    EXPECT_EQ(child->Wait(5s), 0) << child->Output();

    // A key file it cannot use stops it at start.
    Write(keyFile, signer.PublicKeyPem());
    auto refused = Run({"--signing-key", keyFile.string()});
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->ReadLine(2s),
              "api-server: " + keyFile.string() + ": not a PEM Ed25519 private key");
    EXPECT_EQ(refused->Wait(5s), 2) << refused->Output();
}

TEST_F(ApiServerProgramTest, ChecksInOverTlsUnlessToldOtherwise) {
    const std::string caFile = (folder_ / "api-ca.pem").string();
    auto child = Run({"--quiet", "--write-ca", caFile});
    ASSERT_TRUE(child);
    const int port = ListeningPort(*child, "API server listening on https://127.0.0.1:");
    ASSERT_GT(port, 0);
    // Its certificate verifies, name and all, against the authority it wrote.
    httplib::SSLClient client("127.0.0.1", port);
    client.set_ca_cert_path(caFile.c_str());
    client.enable_server_certificate_verification(true);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(2, 0);
    // No devices file: no device is registered.
    auto checkIn = client.Get("/2/checkin?mac=AA%3ABB%3ACC%3ADD%3AEE%3A01");
    ASSERT_TRUE(checkIn);
    EXPECT_EQ(checkIn->status, 404);
    ASSERT_TRUE(child->Signal(SIGINT));
    EXPECT_EQ(child->Wait(5s), 0) << child->Output();
    // --quiet: nothing but where it listened.
    const std::string output = child->Output();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
}

TEST_F(ApiServerProgramTest, RefusesADevicesFileItCannotReadAndBadArguments) {
    const std::filesystem::path devices = folder_ / "devices.ini";
    Write(devices, "[device a]\nColour = red\n");
    const struct {
        std::vector<std::string> arguments;
        std::string said;
    } cases[] = {
        {{"--devices", devices.string()},
         "api-server: " + devices.string() + ": line 2: unknown setting \"Colour\""},
        // A folder reads as no text, which is no devices file.
        {{"--devices", folder_.string()},
         "api-server: " + folder_.string() + ": cannot read " + folder_.string()},
        {{"--port", "70000"}, "api-server: invalid port \"70000\""},
        {{"--devices"}, "api-server: invalid argument \"--devices\""},
    };
    for (const auto& c : cases) {
        auto child = Run(c.arguments);
        ASSERT_TRUE(child);
        EXPECT_EQ(child->ReadLine(2s), c.said);
        EXPECT_EQ(child->Wait(5s), 2) << child->Output();
    }
}

}  // namespace
}  // namespace wexo::peers
