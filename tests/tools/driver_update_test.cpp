// The driver's image on a staged install: the driver host holds its image (a staged "wexowfp")
// and wexo-ctl, with the installation's secret, replaces it through the real bridges. What a
// restart would run is checked by running the staged file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/peers/child_process.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using wexo::peers::CHILD_PROCESS;

const std::string kTools = std::string(WEXO_BINARY_DIR) + "/tools/";

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ino_t InodeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class DriverUpdateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root: the registry bridge gives the secret to root only";
        }
        char dir[] = "/tmp/wexo-image-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        fs::create_directories(fs::path(dir_) / "install");
        fs::copy_file("/bin/true", Image());
        std::string out;
        ASSERT_EQ(Run(kTools + "wexo-reg",
                      {"add", "HKLM\\SYSTEM\\ControlSet001\\Services\\WexoWfp", "/v", "Auth Secret",
                       "/t", "REG_BINARY", "/d", std::string(64, 'a'), "/f"},
                      &out),
                  0)
            << out;
        host_ = CHILD_PROCESS::Start(kTools + "wexowfp", {}, Environment());
        ASSERT_NE(host_, nullptr);
        ASSERT_TRUE(host_->ReadUntil("the driver runs", seconds(30))) << host_->Output();
    }
    void TearDown() override {
        if (host_) {
            host_->Signal(SIGKILL);
            host_->Wait(seconds(30));
        }
        if (!dir_.empty()) {
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
        }
    }

    fs::path Image() const { return fs::path(dir_) / "install" / "wexowfp"; }

    std::vector<std::string> Environment() const {
        return {"WEXO_RUNTIME_DIR=" + dir_,
                "WEXO_REGISTRY_FILE=" + dir_ + "/registry.dat",
                "WEXO_ADMIN_FILE=" + dir_ + "/none.conf",
                "WEXO_DRIVER_IMAGE=" + Image().string(),
                "NOTIFY_SOCKET=",
                "WEXO_NETWORK=",
                "WEXO_FILE_PROTECTION=",
                "WEXO_POLICY_SERVERS=",
                "WEXO_DEMO_URLS="};
    }

    int Run(const std::string& program, const std::vector<std::string>& arguments,
            std::string* out) {
        auto child = CHILD_PROCESS::Start(program, arguments, Environment());
        if (!child) {
            return -1;
        }
        const int status = child->Wait(seconds(30));
        *out = child->Output();
        return status;
    }

    // A replacement file of the test's folder made from `bytes`.
    std::string Replacement(const std::string& name, const std::string& bytes) {
        std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::string dir_;
    std::unique_ptr<CHILD_PROCESS> host_;
};

TEST_F(DriverUpdateTest, OnlyAWholeExecutableReplacesTheImageAndOnlyOncePerStart) {
    const std::string old = ReadWhole(Image());
    const ino_t oldInode = InodeOf(Image());
    ASSERT_EQ(std::system(Image().c_str()), 0);
    const std::string good = ReadWhole("/bin/false");
    ASSERT_NE(good, old);
    struct ROW {
        const char* what;
        std::string file;
    };
    const ROW refused[] = {
        {"a missing file", dir_ + "/absent"},
        {"a folder", dir_},
        {"an empty file", Replacement("empty", "")},
        {"text", Replacement("text", "#!/bin/sh\nexit 0\n")},
        {"an executable cut short", Replacement("cut", good.substr(0, good.size() / 2))},
        {"an executable cut by one byte", Replacement("byte", good.substr(0, good.size() - 1))},
    };
    std::string out;
    for (const ROW& row : refused) {
        EXPECT_NE(Run(kTools + "wexo-ctl", {"update-driver", row.file}, &out), 0) << row.what;
        EXPECT_TRUE(ReadWhole(Image()) == old) << row.what;
        EXPECT_EQ(InodeOf(Image()), oldInode) << row.what;
        EXPECT_FALSE(fs::exists(fs::path(dir_) / "install" / "wexowfp.new")) << row.what;
    }
    ASSERT_EQ(Run(kTools + "wexo-ctl", {"update-driver", Replacement("good", good)}, &out), 0)
        << out << host_->Output();
    EXPECT_TRUE(ReadWhole(Image()) == good);
    EXPECT_NE(InodeOf(Image()), oldInode);
    // What the next start runs: the new program, executable as the old one was.
    const int ran = std::system(Image().c_str());
    EXPECT_TRUE(WIFEXITED(ran) && WEXITSTATUS(ran) == 1) << ran;
    // Nothing is left beside it.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(fs::path(dir_) / "install"), fs::directory_iterator()),
        1);
    // One update per start.
    EXPECT_NE(Run(kTools + "wexo-ctl", {"update-driver", Replacement("again", old)}, &out), 0);
    EXPECT_TRUE(ReadWhole(Image()) == good);
}

TEST_F(DriverUpdateTest, TheNextStartRemovesTheLeftoversBesideTheImage) {
    ASSERT_TRUE(host_->Signal(SIGTERM));
    EXPECT_EQ(host_->Wait(seconds(30)), 0) << host_->Output();
    std::ofstream(fs::path(dir_) / "install" / "wexowfp.old") << "old";
    std::ofstream(fs::path(dir_) / "install" / "wexowfp.new") << "half";
    host_ = CHILD_PROCESS::Start(kTools + "wexowfp", {}, Environment());
    ASSERT_NE(host_, nullptr);
    ASSERT_TRUE(host_->ReadUntil("the driver runs", seconds(30))) << host_->Output();
    EXPECT_FALSE(fs::exists(fs::path(dir_) / "install" / "wexowfp.old"));
    EXPECT_FALSE(fs::exists(fs::path(dir_) / "install" / "wexowfp.new"));
    EXPECT_TRUE(fs::exists(Image()));
}

}  // namespace
