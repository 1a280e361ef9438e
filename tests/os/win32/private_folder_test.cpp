// Private folders and the file work in them: nothing planted on a path (a link at any level, a
// folder of another account, one others may write) is taken, nothing outside a tree is removed
// or written through a link, and a folder swapped while it is removed takes nothing else with it.
#include "os/win32/private_folder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/files.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class PrivateFolderTest : public ::testing::Test {
  protected:
    PrivateFolderTest() {
        std::string pattern = (fs::temp_directory_path() / "wexo-private-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        // Something outside every tree the tests remove, that a planted link names.
        fs::create_directories(root_ / "precious" / "inner");
        std::ofstream(root_ / "precious" / "keep") << "keep";
        std::ofstream(root_ / "precious" / "inner" / "keep") << "keep";
    }
    ~PrivateFolderTest() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string Windows(const fs::path& path) const { return *WindowsPathFromLinux(path.string()); }
    // The planted target is as it was.
    void ExpectPreciousIntact() const {
        EXPECT_EQ(Read(root_ / "precious" / "keep"), "keep");
        EXPECT_EQ(Read(root_ / "precious" / "inner" / "keep"), "keep");
        size_t entries = 0;
        for ([[maybe_unused]] const auto& entry :
             fs::recursive_directory_iterator(root_ / "precious")) {
            ++entries;
        }
        EXPECT_EQ(entries, 3u) << "nothing was added to it either";
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path root_;
};

TEST_F(PrivateFolderTest, AMissingFolderIsMadeForTheOwnerAloneAndAGoodOneIsOpened) {
    PRIVATE_FOLDER folder;
    std::string reason;
    ASSERT_TRUE(folder.Open(Windows(root_ / "wexo"), &reason)) << reason;
    struct stat info {};
    ASSERT_EQ(lstat((root_ / "wexo").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    EXPECT_EQ(folder.Path(), Windows(root_ / "wexo"));
    EXPECT_TRUE(folder.IsAt(Windows(root_ / "wexo")));
    // Opened again as it is; a sticky folder that others may write is no harm above it.
    fs::permissions(root_ / "wexo", fs::perms::owner_all | fs::perms::group_read);
    fs::create_directories(root_ / "sticky");
    chmod((root_ / "sticky").c_str(), 01777);
    PRIVATE_FOLDER again, below;
    EXPECT_TRUE(again.Open(Windows(root_ / "wexo"), &reason)) << reason;
    EXPECT_TRUE(below.Open(Windows(root_ / "sticky" / "wexo"), &reason)) << reason;
}

TEST_F(PrivateFolderTest, APlantedOrOpenFolderIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the folders of another account need root to plant";
    }
    fs::create_directories(root_ / "good");
    fs::create_directory_symlink(root_ / "precious", root_ / "link");
    fs::create_directory_symlink(root_ / "good", root_ / "link-above");
    std::ofstream(root_ / "file") << "x";
    fs::create_directories(root_ / "foreign");
    ASSERT_EQ(chown((root_ / "foreign").c_str(), 65534, 65534), 0);
    fs::create_directories(root_ / "group-writable");
    chmod((root_ / "group-writable").c_str(), 0770);
    fs::create_directories(root_ / "others-writable");
    chmod((root_ / "others-writable").c_str(), 0707);
    fs::create_directories(root_ / "open-above");
    chmod((root_ / "open-above").c_str(), 0777);
    fs::create_directories(root_ / "foreign-above");
    ASSERT_EQ(chown((root_ / "foreign-above").c_str(), 65534, 65534), 0);
    const struct {
        fs::path path;
        const char* reason;
    } cases[] = {
        {root_ / "link", "it is a symbolic link"},
        {root_ / "link-above" / "wexo", "a folder on its path is a symbolic link"},
        {root_ / "file", "it is not a folder"},
        {root_ / "foreign", "it is owned by uid 65534, neither root nor this process's account"},
        {root_ / "group-writable", "group or others may write it (mode 0770)"},
        {root_ / "others-writable", "group or others may write it (mode 0707)"},
        {root_ / "open-above" / "wexo", "above it can be changed by others (uid 0, mode 0777)"},
        {root_ / "foreign-above" / "wexo", "above it can be changed by others (uid 65534"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        PRIVATE_FOLDER folder;
        std::string reason;
        EXPECT_FALSE(folder.Open(Windows(c.path), &reason));
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_THAT(reason, HasSubstr(c.reason));
        EXPECT_FALSE(folder.IsOpen());
    }
    // Nothing was made under a refused path.
    EXPECT_FALSE(fs::exists(root_ / "good" / "wexo"));
    EXPECT_FALSE(fs::exists(root_ / "open-above" / "wexo"));
    ExpectPreciousIntact();
}

TEST_F(PrivateFolderTest, AFolderMadeInsideIsKnownByWhatItIsNotByItsName) {
    PRIVATE_FOLDER base, made;
    std::string reason;
    ASSERT_TRUE(base.Open(Windows(root_ / "wexo"), &reason)) << reason;
    ASSERT_TRUE(base.CreateFolder("Update", &made));
    const fs::path path = root_ / "wexo" / "Update";
    EXPECT_EQ(made.Path(), Windows(path));
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_all);
    EXPECT_TRUE(made.IsAt(Windows(path)));
    PRIVATE_FOLDER other;
    EXPECT_FALSE(base.CreateFolder("Update", &other));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    for (const char* name : {"a\\b", "a/b", "..", "."}) {
        EXPECT_FALSE(base.CreateFolder(name, &other)) << name;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME) << name;
    }
    // Moved away and a link left in its place that leads to it: the path no longer names it.
    fs::rename(path, root_ / "wexo" / "moved");
    fs::create_directory_symlink(root_ / "wexo" / "moved", path);
    EXPECT_FALSE(made.IsAt(Windows(path)));
    // Remade at the same path: another folder.
    fs::remove(path);
    fs::create_directory(path);
    EXPECT_FALSE(made.IsAt(Windows(path)));
}

TEST_F(PrivateFolderTest, ATreeIsRemovedWithoutFollowingALinkAtAnyLevel) {
    const fs::path tree = root_ / "tree";
    fs::create_directories(tree / "a" / "b");
    std::ofstream(tree / "a" / "b" / "file") << "x";
    std::ofstream(tree / "top") << "x";
    fs::create_directory_symlink(root_ / "precious", tree / "link-to-folder");
    fs::create_symlink(root_ / "precious" / "keep", tree / "a" / "link-to-file");
    fs::create_directory_symlink(root_ / "precious" / "inner", tree / "a" / "b" / "deep-link");
    std::string failed;
    ASSERT_TRUE(RemoveDirectoryTree(Windows(tree), &failed)) << failed << " " << GetLastError();
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    ExpectPreciousIntact();

    // The tree itself a link: the link goes, what it names stays.
    fs::create_directory_symlink(root_ / "precious", tree);
    ASSERT_TRUE(RemoveDirectoryTree(Windows(tree), &failed));
    EXPECT_FALSE(fs::exists(fs::symlink_status(tree)));
    ExpectPreciousIntact();

    // A link on the way to it: refused, nothing removed.
    fs::create_directory_symlink(root_ / "precious", root_ / "via");
    EXPECT_FALSE(RemoveDirectoryTree(Windows(root_ / "via" / "inner"), &failed));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(failed, Windows(root_ / "via" / "inner"));
    ExpectPreciousIntact();

    // Not there: removed already.
    EXPECT_TRUE(RemoveDirectoryTree(Windows(root_ / "none" / "deeper"), &failed));
    EXPECT_TRUE(RemoveDirectoryTree(Windows(root_ / "none"), &failed));
}

TEST_F(PrivateFolderTest, AFolderSwappedForALinkWhileItIsRemovedTakesNothingElse) {
    // Another thread keeps turning the folder into a link to the precious folder and back into a
    // folder with files, as a planter racing the removal would.
    const fs::path tree = root_ / "tree";
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::thread planter([&] {
        std::error_code ignored;
        for (int round = 0; !stop.load(); ++round) {
            fs::remove_all(tree, ignored);
            if (round % 2 == 0) {
                fs::create_directory_symlink(root_ / "precious", tree, ignored);
            } else {
                fs::create_directories(tree / "sub", ignored);
                std::ofstream(tree / "sub" / "file") << "x";
                fs::create_directory_symlink(root_ / "precious", tree / "sub" / "link", ignored);
            }
            rounds = round + 1;
        }
    });
    int removed = 0;
    // Until both have had their turns often, within a few seconds.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int i = 0; (i < 500 || rounds.load() < 500) && std::chrono::steady_clock::now() < deadline;
         ++i) {
        std::string failed;
        if (RemoveDirectoryTree(Windows(tree), &failed)) {
            ++removed;
        }
    }
    stop = true;
    planter.join();
    EXPECT_GE(rounds.load(), 500) << "the planter must have raced the removals";
    EXPECT_GT(removed, 0);
    ExpectPreciousIntact();
}

TEST_F(PrivateFolderTest, TheFileCallsRefuseALinkOnTheirPath) {
    fs::create_directory_symlink(root_ / "precious", root_ / "via");
    WRITE_FILE file;
    EXPECT_FALSE(file.Create(Windows(root_ / "via" / "planted")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(CreateDirectory(Windows(root_ / "via" / "planted-folder")));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // The same calls on a plain path.
    ASSERT_TRUE(file.Create(Windows(root_ / "written")));
    ASSERT_TRUE(file.Write("abc", 3));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(Read(root_ / "written"), "abc");
    EXPECT_TRUE(CreateDirectory(Windows(root_ / "made")));
    EXPECT_FALSE(CreateDirectory(Windows(root_ / "missing" / "made")));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    ExpectPreciousIntact();
}

}  // namespace
}  // namespace os
