#include "os/fltmgr/linux/program_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace os::test {
namespace {

namespace fs = std::filesystem;

std::string ReadWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Immutable(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    int flags = 0;
    const bool got = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return got && (flags & FS_IMMUTABLE_FL) != 0;
}

// A shell command as another process; its exit status.
int Shell(const std::string& command) {
    return WEXITSTATUS(std::system(("sh -c '" + command + "' 2>/dev/null").c_str()));
}

class ProgramGuardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        if (::geteuid() != 0 || !PROGRAM_GUARD::Available(&why)) {
            GTEST_SKIP() << (::geteuid() != 0 ? "needs root for fanotify and the attribute" : why);
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() / (std::string("wexo_guard_") + info->name());
        Clean();
        fs::create_directories(dir_ / "sub");
        std::ofstream(dir_ / "a.bin") << "program";
        std::ofstream(dir_ / "sub" / "b.bin") << "library";
        std::ofstream(dir_ / "trace.log") << "log\n";
        std::ofstream(fs::path(dir_.string() + ".outside")) << "outside";
        probe_.SetUp();
        if (!probe_.Supported(dir_)) {
            Clean();
            GTEST_SKIP() << "the file system of " << dir_ << " has no immutable attribute";
        }
    }
    void TearDown() override {
        guard_.Stop();
        Clean();
    }
    void Clean() {
        if (!dir_.empty()) {
            std::system(("chattr -R -i " + dir_.string() + " 2>/dev/null").c_str());
            std::error_code ignored;
            fs::remove_all(dir_, ignored);
            fs::remove(dir_.string() + ".outside", ignored);
            fs::remove(dir_.string() + ".moved", ignored);
        }
    }
    std::string P(const std::string& below) const { return (dir_ / below).string(); }

    // Whether the file system takes the attribute at all.
    struct PROBE {
        void SetUp() {}
        bool Supported(const fs::path& folder) {
            int fd = ::open((folder / "a.bin").c_str(), O_RDONLY);
            int flags = 0;
            const bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
            if (fd >= 0) {
                ::close(fd);
            }
            return ok;
        }
    } probe_;

    fs::path dir_;
    std::mutex lock_;
    std::vector<std::string> refusedPaths_;
    std::atomic<bool> exemptAll_{false};
    uint64_t crashedLeftovers_ = 0;
    PROGRAM_GUARD guard_{[this](uint32_t) { return exemptAll_.load(); },
                         [this](uint32_t, const std::string& path, int) {
                             std::lock_guard guard(lock_);
                             refusedPaths_.push_back(path);
                         }};
};

TEST_F(ProgramGuardTest, AnotherProcessCanReadButNotChangeTheTreeWhileItIsProtected) {
    std::string why;
    ASSERT_TRUE(guard_.Protect(dir_.string(), true, &why)) << why;
    EXPECT_TRUE(Immutable(dir_ / "a.bin"));
    EXPECT_TRUE(Immutable(dir_ / "sub"));
    EXPECT_FALSE(Immutable(dir_ / "trace.log"));

    EXPECT_EQ(Shell("cat " + P("a.bin") + " > /dev/null"), 0);
    EXPECT_NE(Shell("echo x > " + P("a.bin")), 0);
    EXPECT_NE(Shell("echo x >> " + P("sub/b.bin")), 0);
    EXPECT_NE(Shell("truncate -s 0 " + P("a.bin")), 0);
    EXPECT_NE(Shell("mv " + P("a.bin") + " " + P("c.bin")), 0);
    EXPECT_NE(Shell("rm -f " + P("sub/b.bin")), 0);
    EXPECT_NE(Shell("ln " + P("a.bin") + " " + dir_.string() + ".link"), 0);
    EXPECT_NE(Shell("touch " + P("planted")), 0);
    EXPECT_NE(Shell("chmod 777 " + P("a.bin")), 0);
    EXPECT_NE(Shell("mv " + dir_.string() + ".outside " + P("sub/x.bin")), 0);
    EXPECT_NE(Shell("mv " + P("sub") + " " + dir_.string() + ".moved"), 0);
    EXPECT_EQ(Shell("echo more >> " + P("trace.log")), 0);  // log files stay writable

    // A privileged process can take the attribute off a file, but its open for writing is
    // still seen and refused.
    EXPECT_EQ(Shell("chattr -i " + P("a.bin")), 0);
    EXPECT_NE(Shell("echo x > " + P("a.bin")), 0);
    EXPECT_NE(Shell("exec 3<>" + P("a.bin")), 0);
    EXPECT_EQ(Shell("cat " + P("a.bin") + " > /dev/null"), 0);
    EXPECT_EQ(ReadWhole(dir_ / "a.bin"), "program");
    EXPECT_EQ(ReadWhole(dir_ / "sub" / "b.bin"), "library");
    EXPECT_FALSE(fs::exists(dir_ / "planted"));
    {
        std::lock_guard guard(lock_);
        ASSERT_GE(refusedPaths_.size(), 2u);
        EXPECT_EQ(refusedPaths_.back(), P("a.bin"));
    }
    EXPECT_GE(guard_.Counts().refused, 2u);

    // The exempt process is let through where only the event stands in the way.
    exemptAll_ = true;
    EXPECT_EQ(Shell("echo service > " + P("a.bin")), 0);
    EXPECT_EQ(ReadWhole(dir_ / "a.bin"), "service\n");
}

TEST_F(ProgramGuardTest, LiftingGivesBackExactlyWhatTheGuardTook) {
    // An attribute that was there before the guard stays after it.
    ASSERT_EQ(Shell("chattr +i " + P("sub/b.bin")), 0);
    std::string why;
    ASSERT_TRUE(guard_.Protect(dir_.string(), true, &why)) << why;
    const uint64_t held = guard_.Counts().immutable;
    EXPECT_GE(held, 3u);  // a.bin, sub, the folder
    ASSERT_TRUE(guard_.Protect(dir_.string(), false, &why)) << why;
    EXPECT_EQ(guard_.Counts().immutable, 0u);
    EXPECT_FALSE(Immutable(dir_ / "a.bin"));
    EXPECT_FALSE(Immutable(dir_));
    EXPECT_TRUE(Immutable(dir_ / "sub" / "b.bin"));
    EXPECT_EQ(Shell("echo x > " + P("a.bin")), 0);  // suspended: changes pass
    EXPECT_EQ(Shell("touch " + P("new.bin")), 0);

    // Protected again, the new file is held too; Stop lifts everything.
    ASSERT_TRUE(guard_.Protect(dir_.string(), true, &why)) << why;
    EXPECT_TRUE(Immutable(dir_ / "new.bin"));
    EXPECT_NE(Shell("echo x > " + P("new.bin")), 0);
    guard_.Stop();
    EXPECT_FALSE(Immutable(dir_ / "new.bin"));
    EXPECT_EQ(Shell("echo x > " + P("new.bin")), 0);

    // What a guard that crashed left held is taken up by the next one, and lifted by it.
    {
        PROGRAM_GUARD crashed{[](uint32_t) { return false; }, nullptr};
        ASSERT_TRUE(crashed.Protect(dir_.string(), true, &why)) << why;
        // No Stop: the attributes stay as after a kill. The listener goes with the object.
        crashedLeftovers_ = crashed.Counts().immutable;
        crashed.LeaveHeldForTest();
    }
    EXPECT_TRUE(Immutable(dir_ / "a.bin"));
    PROGRAM_GUARD next{[](uint32_t) { return false; }, nullptr};
    ASSERT_TRUE(next.Protect(dir_.string(), true, &why)) << why;
    EXPECT_EQ(next.Counts().immutable, crashedLeftovers_);
    next.Stop();
    EXPECT_FALSE(Immutable(dir_ / "a.bin"));
    EXPECT_TRUE(Immutable(dir_ / "sub" / "b.bin"));  // never the guard's

    // A folder that is not there holds nothing.
    EXPECT_FALSE(guard_.Protect(P("missing"), true, &why));
    EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace os::test
