// Software update end to end against a local update server: the package fetched by its scheme,
// unpacked all or nothing, the updater started with its command line, and every failure ending
// the update with no updater and nothing unpacked left behind.
#include "service/checkin/software_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "os/core/status.h"
#include "os/core/sync.h"
#include "os/win32/environment.h"
#include "os/win32/transient_unit.h"
#include "service/support/debug_log.h"
#include "tests/os/win32/fake_service_manager.h"
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
using wexo::testing::File;
using wexo::testing::MakeArchive;
using wexo::testing::SymbolicLink;

// The updater of the test packages: leaves its arguments and folder in a marker file in the
// product's folder (beside the update folder) and ends with exit code 3.
constexpr char kUpdater[] =
    "#!/bin/sh\nprintf '%s|' \"$@\" > ../../updater-ran\npwd >> "
    "../../updater-ran\nexit 3\n";

class SoftwareUpdateTest : public ::testing::Test {
  protected:
    // The common application-data folder is a folder of the test's; `temp_` is the product's
    // folder in it, where the update folder is made. The temporary folder is another one.
    SoftwareUpdateTest() {
        std::string pattern = (fs::temp_directory_path() / "wexo-update-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        temp_ = root_ / kUpdateBaseFolderName;
        fs::create_directory(temp_);
        fs::permissions(temp_, fs::perms::owner_all);
        fs::create_directory(root_ / "tmp");
        appData_.emplace(root_.string());
        previousTmp_ = os::GetEnvironmentVariable("TMPDIR");
        os::SetEnvironmentVariable("TMPDIR", (root_ / "tmp").string());
        EXPECT_TRUE(peer_.Start());
    }
    ~SoftwareUpdateTest() override {
        peer_.Stop();
        os::SetEnvironmentVariable("TMPDIR", previousTmp_);
        appData_.reset();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path UpdateFolder() const { return temp_ / kUpdateFolderName; }
    fs::path UnpackFolder() const { return UpdateFolder() / "UpdatePackage"; }
    std::string Windows(const fs::path& path) const {
        return *os::WindowsPathFromLinux(path.string());
    }
    std::string Serve(const std::string& path, const std::string& zip) {
        peer_.Reply("GET", path, 200, zip, "application/zip");
        return peer_.BaseUrl() + path;
    }
    // Runs the update; the updater's exit code when one was started and ended.
    std::optional<std::optional<uint32_t>> Update(const std::string& url) {
        return Started(StartSoftwareUpdate(url));
    }
    std::optional<std::optional<uint32_t>> Update(const std::string& url,
                                                  const std::optional<std::string>& publicKey) {
        return Started(StartSoftwareUpdate(url, publicKey));
    }
    std::optional<std::optional<uint32_t>> Started(
        const std::shared_ptr<os::STARTED_PROCESS>& process) {
        if (!process) {
            return std::nullopt;
        }
        EXPECT_EQ(os::WaitForSingleObject(process->Ended(), 10'000), os::WAIT_OBJECT_0);
        return process->ExitCode();
    }
    std::string Marker() const {
        std::ifstream in(temp_ / "updater-ran");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    void ExpectRefused(const std::string& url) {
        EXPECT_EQ(Update(url), std::nullopt);
        EXPECT_FALSE(fs::exists(temp_ / "updater-ran"));
        EXPECT_FALSE(fs::exists(UnpackFolder()));
        EXPECT_THAT(lines_.Lines(), Contains("Unable to unzip into directory = \"" +
                                             Windows(UnpackFolder()) + "\"\n"));
        EXPECT_THAT(lines_.Lines(), Contains("Unable to unzip \"" +
                                             Windows(UpdateFolder() / kUpdatePackageName) + "\""));
    }

    testing::LOG_CAPTURE lines_;
    testing_http::NoProxyEnvironment noProxy_;
    fs::path root_;
    fs::path temp_;
    std::optional<os::ScopedCommonAppDataFolder> appData_;
    std::optional<std::string> previousTmp_;
    // An unsigned package runs only from a server TLS verified: one of the test's own authority.
    testing_http::SCOPED_TEST_TRUST trust_;
    peers::HttpPeer peer_{trust_.Server()};
};

TEST(UpdaterCommandLineTest, TheSwitchesFollowTheDebugOutputMode) {
    const std::string folder = "C:\\tmp\\CorvaneOstrelUpdate\\UpdatePackage";
    const std::string program = "\"" + folder + "\\Update.exe\"";
    EXPECT_EQ(UpdaterCommandLine(folder, 0), program + " /UPDATE");
    EXPECT_EQ(UpdaterCommandLine(folder, 0x1), program + " /D /UPDATE");
    EXPECT_EQ(UpdaterCommandLine(folder, 0xA), program + " /R /UPDATE");
    EXPECT_EQ(UpdaterCommandLine(folder, 0x6), program + " /O /UPDATE");
    EXPECT_EQ(UpdaterCommandLine(folder, 0x2 | 0x100), program + " /L /UPDATE");
    EXPECT_EQ(UpdaterCommandLine(folder, 0x1 | 0xE), program + " /D /R /UPDATE");
    // Rename or overwrite without the log file itself says nothing.
    EXPECT_EQ(UpdaterCommandLine(folder, 0x8), program + " /UPDATE");
}

TEST(UpdatePathTest, JoiningAndTheLimitOf260Characters) {
    std::string joined;
    ASSERT_TRUE(JoinUpdatePath("C:\\tmp\\", "\\/name/sub", &joined));
    EXPECT_EQ(joined, "C:\\tmp\\name\\sub");
    ASSERT_TRUE(JoinUpdatePath("C:/tmp", "x", &joined));
    EXPECT_EQ(joined, "C:\\tmp\\x");
    const std::string base = "C:\\" + std::string(250, 'a');
    EXPECT_TRUE(JoinUpdatePath(base, "123456", &joined));  // 260
    EXPECT_EQ(joined.size(), 260u);
    EXPECT_FALSE(JoinUpdatePath(base, "1234567", &joined));
    EXPECT_EQ(joined.size(), 260u);  // left as it was

    std::string full, current;
    ASSERT_TRUE(FullUpdatePath("C:\\a\\b", &full));
    EXPECT_EQ(full, "C:\\a\\b");
    ASSERT_TRUE(FullUpdatePath("\\\\share\\x", &full));
    EXPECT_EQ(full, "\\\\share\\x");
    const fs::path saved = fs::current_path();
    fs::current_path("/usr/lib");
    ASSERT_TRUE(FullUpdatePath("..\\.\\..\\etc\\x", &full));
    EXPECT_EQ(full, "C:\\etc\\x");
    ASSERT_TRUE(FullUpdatePath("\\var\\y", &full));
    EXPECT_EQ(full, "C:\\var\\y");
    ASSERT_TRUE(FullUpdatePath("z", &full));
    EXPECT_EQ(full, "C:\\usr\\lib\\z");
    fs::current_path(saved);
    EXPECT_FALSE(FullUpdatePath(base + "\\123456789", &full));
}

TEST_F(SoftwareUpdateTest, APackageIsUnpackedAndItsUpdaterStartedWithTheCommandLine) {
    const std::string url = Serve(
        "/packages/update.zip",
        MakeArchive({File("Update.exe", kUpdater, 0755), File("payload/wexosvc", "new service")}));
    ASSERT_EQ(Update(url), std::optional<uint32_t>(3));
    const std::string unpack = Windows(UnpackFolder());
    EXPECT_EQ(Marker(), "/UPDATE|" + fs::canonical(UnpackFolder()).string() + "\n");
    EXPECT_TRUE(fs::exists(UnpackFolder() / "payload/wexosvc"));
    // The archive is gone; the unpacked folder stays until the next update.
    const std::string package = Windows(UpdateFolder() / kUpdatePackageName);
    EXPECT_FALSE(fs::exists(UpdateFolder() / kUpdatePackageName));
    EXPECT_EQ(peer_.LastRequest().target, "/packages/update.zip");
    const auto lines = lines_.Lines();
    EXPECT_THAT(lines, Contains("Software update URL = \"" + url + "\""));
    EXPECT_THAT(lines, Contains("Download update package:\n    URL = \"" + url +
                                "\",\n    Update package zip = \"" + package + "\""));
    EXPECT_THAT(lines, Contains("Software update zip file \"" + package + "\""));
    EXPECT_THAT(lines, Contains("Unzipping:\n    Source = \"" + package + "\"\n    Target = \"" +
                                unpack + "\""));
    EXPECT_THAT(lines, Contains("Delete zip file \"" + package + "\""));
    EXPECT_THAT(lines,
                Contains(HasSubstr("command line [\"" + unpack + "\\Update.exe\" /UPDATE]")));

    // The next update starts from a fresh folder: what the last one left is gone.
    const std::string second =
        Serve("/second.zip", MakeArchive({File("Update.exe", "#!/bin/sh\nexit 0\n", 0755)}));
    ASSERT_EQ(Update(second), std::optional<uint32_t>(0));
    EXPECT_FALSE(fs::exists(UnpackFolder() / "payload"));
}

TEST_F(SoftwareUpdateTest, EntriesThatReachOutsideRefuseThePackage) {
    const std::vector<std::vector<wexo::testing::ARCHIVE_ITEM>> packages = {
        {File("Update.exe", kUpdater, 0755), File("../../escaped", "x")},
        {File("Update.exe", kUpdater, 0755), File("/tmp/escaped-update-entry", "x")},
        {File("Update.exe", kUpdater, 0755), SymbolicLink("payload", "/etc")},
        {SymbolicLink("Update.exe", "/bin/true")},
    };
    for (size_t i = 0; i < packages.size(); ++i) {
        SCOPED_TRACE(i);
        lines_.Clear();
        ExpectRefused(Serve("/bad" + std::to_string(i) + ".zip", MakeArchive(packages[i])));
        EXPECT_FALSE(fs::exists(temp_ / "escaped"));
    }
    EXPECT_FALSE(fs::exists("/tmp/escaped-update-entry"));
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Zip entry \"Update.exe\" not unpacked: "
                                                   "symbolic link.")));
}

TEST_F(SoftwareUpdateTest, APackageCutShortOrDamagedStartsNothing) {
    const std::string zip = MakeArchive(
        {File("Update.exe", kUpdater, 0755), File("payload.bin", std::string(20000, 'p'))});
    ExpectRefused(Serve("/cut.zip", zip.substr(0, zip.size() / 2)));
    lines_.Clear();
    ExpectRefused(Serve("/cut-end.zip", zip.substr(0, zip.size() - 1)));
    lines_.Clear();
    ExpectRefused(Serve("/garbage.zip", "PK\x03\x04 this is no archive"));
}

TEST_F(SoftwareUpdateTest, ADownloadThatFailsEndsTheUpdateWithItsLine) {
    peer_.Reply("GET", "/missing.zip", 404, "not here");
    const std::string url = peer_.BaseUrl() + "/missing.zip";
    EXPECT_EQ(Update(url), std::nullopt);
    EXPECT_THAT(lines_.Lines(),
                Contains("Unexpected HTTP status = 404 when downloading update package.\n    URL = "
                         "\"" +
                         url + "\""));
    EXPECT_FALSE(fs::exists(UpdateFolder() / kUpdatePackageName));
    EXPECT_FALSE(fs::exists(UnpackFolder()));
    peer_.Reply("GET", "/moved.zip", 302, "");
    EXPECT_EQ(Update(peer_.BaseUrl() + "/moved.zip"), std::nullopt);
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Unexpected HTTP status = 302")));

    // Nobody listening.
    const std::string refused = peer_.BaseUrl() + "/x.zip";
    peer_.Stop();
    lines_.Clear();
    EXPECT_EQ(Update(refused), std::nullopt);
    EXPECT_THAT(lines_.Lines(),
                Contains(HasSubstr("Unable to download update package.\n    URL = \"" + refused)));
    EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Unzipping:"))));
}

TEST_F(SoftwareUpdateTest, TheSchemeChoosesTheClientWhateverItsCase) {
    const std::string zip = MakeArchive({File("Update.exe", kUpdater, 0755)});
    peer_.Reply("GET", "/tls.zip", 200, zip);
    ASSERT_EQ(Update("hTTpS://" + peer_.HostPort() + "/tls.zip"), std::optional<uint32_t>(3));
    EXPECT_TRUE(peer_.LastRequest().tls);
    EXPECT_EQ(peer_.LastRequest().Header("User-Agent"), "WEXO_CLIENT");
    // Without a scheme: plain HTTP, which nothing verifies without a key.
    const size_t asked = peer_.RequestCount();
    EXPECT_EQ(Update(peer_.HostPort()), std::nullopt);
    EXPECT_EQ(peer_.RequestCount(), asked);
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Software update refused: not an HTTPS URL")));
}

TEST_F(SoftwareUpdateTest, ALeftoverFolderIsRemovedWithoutFollowingItsLinks) {
    // Something outside that a planted link names must survive the clean-up.
    fs::create_directories(temp_ / "precious");
    std::ofstream(temp_ / "precious" / "keep") << "keep";
    fs::create_directories(UnpackFolder() / "old");
    std::ofstream(UnpackFolder() / "old" / "file") << "old";
    fs::create_directory_symlink(temp_ / "precious", UpdateFolder() / "link-to-precious");
    fs::create_symlink(temp_ / "precious" / "keep", UnpackFolder() / "link-to-keep");
    const std::string url = Serve("/u.zip", MakeArchive({File("Update.exe", kUpdater, 0755)}));
    ASSERT_EQ(Update(url), std::optional<uint32_t>(3));
    EXPECT_EQ(std::ifstream(temp_ / "precious" / "keep").get(), 'k');
    EXPECT_FALSE(fs::exists(UnpackFolder() / "old"));
    EXPECT_FALSE(fs::is_symlink(UpdateFolder() / "link-to-precious"));

    // The update folder itself planted as a link: the link goes, its target stays.
    fs::remove_all(UpdateFolder());
    fs::create_directory_symlink(temp_ / "precious", UpdateFolder());
    ASSERT_EQ(Update(url), std::optional<uint32_t>(3));
    EXPECT_FALSE(fs::is_symlink(UpdateFolder()));
    EXPECT_TRUE(fs::exists(temp_ / "precious" / "keep"));
}

TEST_F(SoftwareUpdateTest, AnUpdaterThatCannotBeStartedIsLogged) {
    const std::string url =
        Serve("/noexec.zip", MakeArchive({File("Update.exe", "#!/bin/sh\nexit 0\n", 0644)}));
    EXPECT_EQ(Update(url), std::nullopt);
    EXPECT_THAT(lines_.Lines(),
                Contains(HasSubstr("Unable to create process.\n    Command line [\"" +
                                   Windows(UnpackFolder()) + "\\Update.exe\" /UPDATE].\n    ")));
    const std::string missing = Serve("/none.zip", MakeArchive({File("readme", "no updater")}));
    EXPECT_EQ(Update(missing), std::nullopt);
    EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Error code = 2.")));
}

// ---- Signed updates.

class SignedUpdateTest : public SoftwareUpdateTest {
  protected:
    ~SignedUpdateTest() override { SetUpdatePublicKey(std::nullopt); }

    // The package at `path` and, unless `signature` is none, its signature beside it.
    std::string ServeSigned(const std::string& path, const std::string& zip,
                            const std::optional<std::string>& signature) {
        if (signature) {
            peer_.Reply("GET", path + ".sig", 200, *signature, "application/octet-stream");
        } else {
            peer_.Reply("GET", path + ".sig", 404, "no signature");
        }
        return Serve(path, zip);
    }
    // The update is refused for its signature: nothing unpacked or started, the download gone.
    void ExpectRefused(const std::string& url, const std::optional<std::string>& key,
                       const std::string& reason) {
        lines_.Clear();
        EXPECT_EQ(Update(url, key), std::nullopt) << url;
        EXPECT_THAT(lines_.Lines(), Contains("Update package signature not valid: " + reason))
            << url;
        EXPECT_FALSE(fs::exists(temp_ / "updater-ran")) << url;
        EXPECT_FALSE(fs::exists(UnpackFolder())) << url;
        EXPECT_FALSE(fs::exists(UpdateFolder() / kUpdatePackageName)) << url;
        EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Unzipping:")))) << url;
        EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Process created")))) << url;
    }

    const testing_signing::TEST_SIGNER signer_;
    const std::string zip_ = MakeArchive({File("Update.exe", kUpdater, 0755)});
};

TEST_F(SignedUpdateTest, ACorrectlySignedPackageIsUnpackedAndStartedWithEitherFormOfTheKey) {
    const std::string url = ServeSigned("/signed.zip", zip_, signer_.Sign(zip_));
    for (const std::string& key : {signer_.PublicKeyHex(), signer_.PublicKeyPem()}) {
        lines_.Clear();
        fs::remove(temp_ / "updater-ran");
        ASSERT_EQ(Update(url, key), std::optional<uint32_t>(3));
        EXPECT_EQ(Marker(), "/UPDATE|" + fs::canonical(UnpackFolder()).string() + "\n");
        EXPECT_THAT(lines_.Lines(), Contains("Update package signature verified"));
        EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("signature not valid"))));
    }
    EXPECT_EQ(peer_.RequestCount("GET", "/signed.zip.sig"), 2u);
    EXPECT_EQ(peer_.RequestCount("GET", "/signed.zip"), 2u);

    // The key the settings put in force is the one the plain call takes.
    SetUpdatePublicKey(signer_.PublicKeyHex());
    fs::remove(temp_ / "updater-ran");
    ASSERT_EQ(Update(url), std::optional<uint32_t>(3));
    EXPECT_EQ(peer_.RequestCount("GET", "/signed.zip.sig"), 3u);
}

TEST_F(SignedUpdateTest, APackageThatDoesNotMatchItsSignatureIsRefused) {
    const std::string key = signer_.PublicKeyHex();
    std::string flipped = zip_;
    flipped[flipped.size() / 2] ^= 0x01;
    ExpectRefused(ServeSigned("/flipped.zip", flipped, signer_.Sign(zip_)), key,
                  "the signature does not match the package");

    const testing_signing::TEST_SIGNER stranger;
    ExpectRefused(ServeSigned("/stranger.zip", zip_, stranger.Sign(zip_)), key,
                  "the signature does not match the package");

    ExpectRefused(ServeSigned("/short.zip", zip_, signer_.Sign(zip_).substr(0, 60)), key,
                  "the signature has 60 bytes, not 64");

    const std::string missing = ServeSigned("/missing.zip", zip_, std::nullopt);
    ExpectRefused(missing, key,
                  "signature \"" + missing + ".sig\" not downloaded: HTTP status 404");
    EXPECT_EQ(peer_.RequestCount("GET", "/missing.zip.sig"), 1u);

    // The package file was downloaded whole before each refusal.
    EXPECT_EQ(peer_.RequestCount("GET", "/flipped.zip"), 1u);
}

TEST_F(SignedUpdateTest, AKeyThatCannotBeUsedRefusesEveryUpdateBeforeItIsFetched) {
    const std::string url = ServeSigned("/good.zip", zip_, signer_.Sign(zip_));
    const std::string neither =
        "the public key is neither 64 hexadecimal digits nor a PEM public key";
    ExpectRefused(url, "", neither);
    ExpectRefused(url, signer_.PublicKeyHex().substr(2), neither);
    ExpectRefused(url, "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n",
                  "the PEM key is not a public key");
    EXPECT_EQ(peer_.RequestCount(), 0u) << "nothing is fetched that could not be checked";
    // A well-formed key of someone else is usable, and refuses at the signature.
    const testing_signing::TEST_SIGNER stranger;
    ExpectRefused(url, stranger.PublicKeyHex(), "the signature does not match the package");
}

TEST_F(SignedUpdateTest, WithoutAKeyNoSignatureIsFetchedAndNoneIsNeeded) {
    const std::string url = ServeSigned("/unsigned.zip", zip_, std::nullopt);
    ASSERT_EQ(Update(url, std::nullopt), std::optional<uint32_t>(3));
    ASSERT_EQ(Update(url), std::optional<uint32_t>(3)) << "no key is in force by default";
    EXPECT_EQ(peer_.RequestCount("GET", "/unsigned.zip.sig"), 0u);
    EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("signature"))));
}

// ---- The update folder: only root's, and never taken through a link.

// The packages are signed, so that each update is taken whatever the transport.
class UpdateFolderTest : public SignedUpdateTest {
  protected:
    UpdateFolderTest() {
        fs::create_directories(root_ / "precious");
        std::ofstream(root_ / "precious" / "keep") << "keep";
    }
    std::string ServeSignedPackage(const std::string& path) {
        return ServeSigned(path, zip_, signer_.Sign(zip_));
    }
    std::optional<std::optional<uint32_t>> UpdateSigned(const std::string& url) {
        return Update(url, signer_.PublicKeyHex());
    }
    // What a planted link names is as it was, and nothing was added to it.
    void ExpectPreciousIntact() const {
        EXPECT_EQ(std::ifstream(root_ / "precious" / "keep").get(), 'k');
        EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "precious"), {}), 1);
    }
};

TEST_F(UpdateFolderTest, APlantedOrOpenProductFolderRefusesTheUpdateBeforeAnythingIsFetched) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "a folder of another account needs root to plant";
    }
    const std::string url = ServeSignedPackage("/u.zip");
    // Each makes a common application-data folder whose product folder is planted, and gives
    // the folder to use.
    const struct {
        const char* name;
        std::function<fs::path(const fs::path&)> plant;
        std::string reason;
    } cases[] = {
        {"a link to elsewhere",
         [&](const fs::path& data) {
             fs::create_directory(data);
             fs::create_directory_symlink(root_ / "precious", data / kUpdateBaseFolderName);
             return data;
         },
         "it is a symbolic link"},
        {"writable by everyone",
         [](const fs::path& data) {
             fs::create_directories(data / kUpdateBaseFolderName);
             chmod((data / kUpdateBaseFolderName).c_str(), 0777);
             return data;
         },
         "group or others may write it (mode 0777)"},
        {"another account's",
         [](const fs::path& data) {
             fs::create_directories(data / kUpdateBaseFolderName);
             EXPECT_EQ(chown((data / kUpdateBaseFolderName).c_str(), 65534, 65534), 0);
             return data;
         },
         "it is owned by uid 65534, neither root nor this process's account"},
        {"reached through a link",
         [](const fs::path& data) {
             fs::create_directories(fs::path(data.string() + "-real") / kUpdateBaseFolderName);
             fs::create_directory_symlink(data.string() + "-real", data);
             return data;
         },
         "a folder on its path is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path data = c.plant(root_ / ("data-" + std::to_string(&c - cases)));
        os::ScopedCommonAppDataFolder scoped(data.string());
        lines_.Clear();
        EXPECT_EQ(UpdateSigned(url), std::nullopt);
        EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Update folder base \"" +
                                                       Windows(data / kUpdateBaseFolderName) +
                                                       "\" refused: " + c.reason + ".\n")));
        EXPECT_THAT(lines_.Lines(), Contains(HasSubstr("Error code = 5.")));
    }
    EXPECT_EQ(peer_.RequestCount(), 0u) << "nothing is fetched for a refused folder";
    ExpectPreciousIntact();
}

TEST_F(UpdateFolderTest, AFolderRemadeOrSwappedForALinkDuringTheUpdateEndsItCleanly) {
    const std::string package = Windows(UpdateFolder() / kUpdatePackageName);
    // What another thread does to the folder while the package is being served.
    const struct {
        const char* name;
        std::function<void()> swap;
        std::string line;
    } cases[] = {
        {"remade",
         [&] {
             fs::remove_all(UpdateFolder());
             fs::create_directory(UpdateFolder());
         },
         "Update folder \"" + Windows(UpdateFolder()) + "\" was replaced during the update"},
        {"a link to elsewhere",
         [&] {
             fs::remove_all(UpdateFolder());
             fs::create_directory_symlink(root_ / "precious", UpdateFolder());
         },
         "Open update package \"" + package + "\" failed\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        peer_.Reply("GET", "/swapped.zip.sig", 200, signer_.Sign(zip_));
        peer_.Handle("GET", "/swapped.zip",
                     [&](const httplib::Request&, httplib::Response& response) {
                         c.swap();
                         response.status = 200;
                         response.set_content(zip_, "application/zip");
                     });
        lines_.Clear();
        EXPECT_EQ(UpdateSigned(peer_.BaseUrl() + "/swapped.zip"), std::nullopt);
        EXPECT_THAT(lines_.Lines(), Contains(HasSubstr(c.line)));
        EXPECT_THAT(lines_.Lines(), Not(Contains(HasSubstr("Process created"))));
        EXPECT_FALSE(fs::exists(temp_ / "updater-ran"));
        ExpectPreciousIntact();
        // The next update starts over in a fresh folder of its own.
        ASSERT_EQ(UpdateSigned(ServeSignedPackage("/after.zip")), std::optional<uint32_t>(3));
        EXPECT_FALSE(fs::is_symlink(UpdateFolder()));
        ExpectPreciousIntact();
        fs::remove(temp_ / "updater-ran");
    }
}

TEST_F(UpdateFolderTest, TheTemporaryFolderPlaysNoPart) {
    // What a local user could plant there is neither used nor touched.
    fs::create_directory_symlink(root_ / "precious", root_ / "tmp" / kUpdateFolderName);
    ASSERT_EQ(UpdateSigned(ServeSignedPackage("/u.zip")), std::optional<uint32_t>(3));
    EXPECT_EQ(Marker(), "/UPDATE|" + fs::canonical(UnpackFolder()).string() + "\n");
    EXPECT_TRUE(fs::is_symlink(root_ / "tmp" / kUpdateFolderName));
    ExpectPreciousIntact();
}

TEST_F(UpdateFolderTest, UnderSystemdTheUpdaterRunsAsAUnitOfItsOwn) {
    wexo::testing::FAKE_SERVICE_MANAGER manager;
    os::ScopedServiceManagerBus bus(manager.Opener());
    ASSERT_EQ(UpdateSigned(ServeSignedPackage("/u.zip")), std::optional<uint32_t>(3));
    const std::vector<wexo::testing::FAKE_SERVICE_MANAGER::UNIT> units = manager.Units();
    ASSERT_EQ(units.size(), 1u);
    EXPECT_THAT(lines_.Lines(), Contains("Updater runs as unit \"" + units[0].name + "\""));
    EXPECT_EQ(units[0].texts.at("WorkingDirectory"), UnpackFolder().string());
    EXPECT_EQ(units[0].argv,
              (std::vector<std::string>{(UnpackFolder() / kUpdaterName).string(), "/UPDATE"}));
    EXPECT_EQ(Marker(), "/UPDATE|" + fs::canonical(UnpackFolder()).string() + "\n");
}

}  // namespace
}  // namespace wexo::svc
