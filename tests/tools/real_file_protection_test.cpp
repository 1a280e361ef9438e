// The installed product holding its program folder on the real file system: the driver host with
// WEXO_FILE_PROTECTION=real, the service started from a program folder of the test's own, and a
// shell as another process of the machine. While the driver runs the shell cannot change the
// folder; after an authenticated QRN_SUSPEND_PROTECTION it can; when the host stops nothing is
// left held.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "os/fltmgr/linux/program_guard.h"
#include "tools/peers/child_process.h"
#include "tools/peers/policy_server.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using wexo::peers::CHILD_PROCESS;

const std::string kTools = std::string(WEXO_BINARY_DIR) + "/tools/";
const std::string kPeer = std::string(WEXO_BINARY_DIR) + "/tests/device_bridge_peer";

bool Immutable(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    int flags = 0;
    const bool got = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return got && (flags & FS_IMMUTABLE_FL) != 0;
}

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RealFileProtectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: fanotify permission events and the immutable attribute";
        }
        if (!os::PROGRAM_GUARD::Available(&why)) {
            GTEST_SKIP() << why;
        }
        char dir[] = "/tmp/wexo-files-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        program_ = fs::path(dir_) / "program";
        fs::create_directories(program_);
        fs::copy_file(kTools + "wexosvc", program_ / "wexosvc");
        std::ofstream(program_ / "settings.bin") << "installed";
        std::string error;
        ASSERT_TRUE(server_.Pages().SetPolicyText("[rules]\nblock host games.example\n", &error));
        ASSERT_TRUE(server_.Start());
    }
    void TearDown() override {
        for (auto* child : {&service_, &host_}) {
            if (*child) {
                (*child)->Signal(SIGKILL);
                (*child)->Wait(seconds(30));
            }
        }
        server_.Stop();
        if (!dir_.empty()) {
            std::system(("chattr -R -i " + dir_ + " 2>/dev/null").c_str());
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    std::vector<std::string> Environment(std::vector<std::string> more) const {
        std::vector<std::string> environment = {"WEXO_RUNTIME_DIR=" + dir_,
                                                "WEXO_REGISTRY_FILE=" + dir_ + "/registry.dat",
                                                "NOTIFY_SOCKET=",
                                                "WEXO_IN_PROCESS_DRIVER=",
                                                "WEXO_NETWORK=",
                                                "WEXO_DEMO_URLS=",
                                                "WEXO_API_SERVER=127.0.0.1:9",
                                                "WEXO_ADMIN_FILE=/nonexistent/wexo.conf"};
        environment.insert(environment.end(), more.begin(), more.end());
        return environment;
    }

    int Run(const std::string& program, const std::vector<std::string>& arguments,
            std::vector<std::string> environment, std::string* out) {
        auto child = CHILD_PROCESS::Start(program, arguments, std::move(environment));
        if (!child) {
            return -1;
        }
        const int status = child->Wait(seconds(30));
        *out = child->Output();
        return status;
    }

    int Shell(const std::string& command) {
        std::string out;
        return Run("/bin/sh", {"-c", command + " 2>&1"}, {}, &out);
    }

    std::string P(const std::string& below) const { return (program_ / below).string(); }

    std::string dir_;
    fs::path program_;
    wexo::peers::PolicyServer server_;
    std::unique_ptr<CHILD_PROCESS> host_;
    std::unique_ptr<CHILD_PROCESS> service_;
};

TEST_F(RealFileProtectionTest, AShellCannotChangeTheProgramFolderUntilProtectionIsSuspended) {
    // The installation's secret, which the authenticated suspend below answers with.
    std::string secret;
    for (int i = 0; i < 32; ++i) {
        secret += "5c";
    }
    std::string out;
    ASSERT_EQ(Run(kTools + "wexo-reg",
                  {"add", "HKLM\\SYSTEM\\ControlSet001\\Services\\WexoWfp", "/v", "Auth Secret",
                   "/t", "REG_BINARY", "/d", secret, "/f"},
                  Environment({}), &out),
              0)
        << out;
    host_ = CHILD_PROCESS::Start(
        kTools + "wexowfp", {},
        Environment({"WEXO_FILE_PROTECTION=real", "WEXO_POLICY_SERVERS=" + server_.HostPort()}));
    ASSERT_NE(host_, nullptr);
    ASSERT_TRUE(host_->ReadUntil("the driver runs", seconds(30))) << host_->Output();
    // The service from its program folder: its registration names that folder.
    service_ = CHILD_PROCESS::Start(P("wexosvc"), {"-A"}, Environment({"WexoSvc=0x120"}));
    ASSERT_NE(service_, nullptr);
    ASSERT_TRUE(
        host_->ReadUntil("wexowfp: file protection holds " + program_.string(), seconds(30)))
        << host_->Output() << service_->Output();
    EXPECT_TRUE(Immutable(program_ / "settings.bin"));

    EXPECT_EQ(Shell("cat " + P("settings.bin") + " > /dev/null"), 0);
    EXPECT_NE(Shell("echo x > " + P("settings.bin")), 0);
    EXPECT_NE(Shell("rm -f " + P("wexosvc")), 0);
    EXPECT_NE(Shell("mv " + P("settings.bin") + " " + dir_ + "/moved"), 0);
    EXPECT_NE(Shell("touch " + P("planted")), 0);
    EXPECT_NE(Shell("ln " + P("settings.bin") + " " + dir_ + "/linked"), 0);
    // With the attribute taken off, the open for writing is still refused, and said so.
    EXPECT_EQ(Shell("chattr -i " + P("settings.bin")), 0);
    EXPECT_NE(Shell("echo x > " + P("settings.bin")), 0);
    EXPECT_TRUE(host_->ReadUntil("wexowfp: file protection refused process", seconds(10)))
        << host_->Output();
    EXPECT_EQ(ReadWhole(program_ / "settings.bin"), "installed");
    EXPECT_TRUE(fs::exists(program_ / "wexosvc"));

    // Suspended by a caller that holds the installation's secret: changes pass.
    ASSERT_EQ(Run(kPeer, {dir_, "authorised"}, {}, &out), 0) << out;
    ASSERT_NE(out.find("suspend 0x00000000"), std::string::npos) << out;
    ASSERT_TRUE(host_->ReadUntil("wexowfp: file protection of " + program_.string() + " lifted",
                                 seconds(10)))
        << host_->Output();
    EXPECT_FALSE(Immutable(program_ / "wexosvc"));
    EXPECT_EQ(Shell("echo changed > " + P("settings.bin")), 0);
    EXPECT_EQ(ReadWhole(program_ / "settings.bin"), "changed\n");

    // Resumed (which needs no secret), then the host stops: nothing stays held.
    ASSERT_TRUE(service_->Signal(SIGTERM));
    EXPECT_EQ(service_->Wait(seconds(30)), 0) << service_->Output();
    service_.reset();
    ASSERT_TRUE(host_->Signal(SIGTERM));
    EXPECT_EQ(host_->Wait(seconds(30)), 0) << host_->Output();
    host_.reset();
    EXPECT_FALSE(Immutable(program_ / "settings.bin"));
    EXPECT_FALSE(Immutable(program_));
    EXPECT_EQ(Shell("rm -rf " + program_.string()), 0);
}

}  // namespace
