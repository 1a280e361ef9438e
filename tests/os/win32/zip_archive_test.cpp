// Unpacking: what stays inside the folder is written, any entry that would reach outside it (or
// an archive that is damaged or cut short) refuses the whole archive and leaves the folder empty.
#include "os/win32/zip_archive.h"

#include <archive.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "tests/support/zip_builder.h"

namespace os {
namespace {

namespace fs = std::filesystem;
using wexo::testing::File;
using wexo::testing::Folder;
using wexo::testing::HardLink;
using wexo::testing::MakeArchive;
using wexo::testing::SymbolicLink;

class ZipArchiveTest : public ::testing::Test {
  protected:
    ZipArchiveTest() {
        std::string pattern = (fs::temp_directory_path() / "wexo-zip-XXXXXX").string();
        EXPECT_NE(mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        target_ = base_ / "deep" / "unpack";
        fs::create_directories(target_);
    }
    ~ZipArchiveTest() override {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    UNPACK_RESULT Unpack(const std::string& bytes) {
        return UnpackZipMemory(
            std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
            target_.string());
    }
    UNPACK_RESULT UnpackTar(const std::string& bytes) {
        archive* reader = archive_read_new();
        archive_read_support_format_tar(reader);
        EXPECT_EQ(archive_read_open_memory(reader, bytes.data(), bytes.size()), ARCHIVE_OK);
        UNPACK_RESULT result = UnpackArchive(reader, target_.string());
        archive_read_free(reader);
        return result;
    }
    // What exists below the base folder besides the unpack folder, its parent and their content.
    std::vector<std::string> Outside() const {
        std::vector<std::string> names;
        const std::string inside = target_.string() + "/";
        for (const auto& entry : fs::recursive_directory_iterator(base_)) {
            const std::string path = entry.path().string();
            if (path == (base_ / "deep").string() || path == target_.string() ||
                path.rfind(inside, 0) == 0 || entry.path().filename() == "package.zip") {
                continue;
            }
            names.push_back(path);
        }
        return names;
    }
    bool TargetEmpty() const { return fs::is_empty(target_); }
    std::string Read(const std::string& relative) const {
        std::ifstream in(target_ / relative);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fs::path base_;
    fs::path target_;
};

TEST_F(ZipArchiveTest, FilesAndFoldersAreUnpackedWithTheirContentAndOwnerOnlyWriteBits) {
    const std::string zip =
        MakeArchive({Folder("bin/"), File("bin/Update.exe", "#!/bin/sh\nexit 0\n", 04777),
                     File("data/nested/readme.txt", "hello"), File("./top.txt", "top"),
                     File("win\\style.txt", "back")});
    ASSERT_FALSE(zip.empty());
    UNPACK_RESULT result = Unpack(zip);
    ASSERT_EQ(result.error, ERROR_SUCCESS) << result.entry << ": " << result.reason;
    EXPECT_EQ(result.files, 4u);
    EXPECT_EQ(Read("bin/Update.exe"), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(Read("data/nested/readme.txt"), "hello");
    EXPECT_EQ(Read("top.txt"), "top");
    // A backslash separates folders as it does on Windows.
    EXPECT_EQ(Read("win/style.txt"), "back");
    struct stat info {};
    ASSERT_EQ(stat((target_ / "bin/Update.exe").c_str(), &info), 0);
    // Executable stays executable; set-id and others' write bits are dropped.
    EXPECT_EQ(info.st_mode & 07777, 0755u);
    EXPECT_TRUE(Outside().empty());
}

TEST_F(ZipArchiveTest, AnEntryThatWouldLandOutsideRefusesTheWholeArchive) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"../escaped.txt", "parent folder component"},
        {"sub/../../escaped.txt", "parent folder component"},
        {"..\\escaped.txt", "parent folder component"},
        {"/tmp/escaped.txt", "absolute path"},
        {"\\escaped.txt", "absolute path"},
        {"C:escaped.txt", "drive or stream name"},
        {"C:\\escaped.txt", "drive or stream name"},
    };
    for (const auto& [name, reason] : cases) {
        // A good entry first: it must not survive the refusal.
        const std::string zip = MakeArchive({File("Update.exe", "good", 0755), File(name, "evil")});
        ASSERT_FALSE(zip.empty()) << name;
        UNPACK_RESULT result = Unpack(zip);
        EXPECT_EQ(result.error, ERROR_INVALID_NAME) << name;
        // libarchive reads a zip's backslashes as slashes.
        std::string seen = name;
        std::replace(seen.begin(), seen.end(), '\\', '/');
        EXPECT_EQ(result.entry, seen);
        EXPECT_EQ(result.reason, reason) << name;
        EXPECT_TRUE(TargetEmpty()) << name;
        EXPECT_TRUE(Outside().empty()) << name;
    }
    EXPECT_FALSE(fs::exists("/tmp/escaped.txt"));
}

TEST_F(ZipArchiveTest, LinksAndSpecialFilesAreRefused) {
    const std::string zip =
        MakeArchive({File("Update.exe", "good", 0755), SymbolicLink("passwd", "/etc/passwd"),
                     File("passwd", "overwrites what the link names")});
    ASSERT_FALSE(zip.empty());
    UNPACK_RESULT result = Unpack(zip);
    EXPECT_EQ(result.error, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(result.entry, "passwd");
    EXPECT_EQ(result.reason, "symbolic link");
    EXPECT_TRUE(TargetEmpty());

    // libarchive's zip reader has no hard links (a zip cannot carry one); a tar can, and the same
    // unpacking refuses it, and fifos and devices as well.
    const std::string withHardLink =
        MakeArchive({File("Update.exe", "good", 0755), HardLink("copy", "/etc/passwd")}, true);
    ASSERT_FALSE(withHardLink.empty());
    result = UnpackTar(withHardLink);
    EXPECT_EQ(result.error, ERROR_NOT_SUPPORTED);
    EXPECT_EQ(result.reason, "hard link");
    EXPECT_TRUE(TargetEmpty());

    wexo::testing::ARCHIVE_ITEM fifo{"pipe", {}, AE_IFIFO, 0644, {}, false};
    wexo::testing::ARCHIVE_ITEM device{"disk", {}, AE_IFBLK, 0644, {}, false};
    for (const auto& item : {fifo, device}) {
        result = UnpackTar(MakeArchive({File("a", "x"), item}, true));
        EXPECT_EQ(result.error, ERROR_NOT_SUPPORTED) << item.name;
        EXPECT_TRUE(TargetEmpty()) << item.name;
    }
    EXPECT_TRUE(Outside().empty());
}

TEST_F(ZipArchiveTest, AnArchiveCutShortAtAnyByteOrDamagedIsRefused) {
    // Bytes that do not compress, so that the second entry's data is long and easy to hit.
    std::string noise(5000, '\0');
    uint32_t state = 12345;
    for (char& c : noise) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    const std::string zip =
        MakeArchive({File("Update.exe", std::string(3000, 'u'), 0755), File("second.bin", noise)});
    ASSERT_FALSE(zip.empty());
    ASSERT_EQ(Unpack(zip).error, ERROR_SUCCESS);
    fs::remove_all(target_);
    fs::create_directories(target_);
    for (size_t length = 0; length < zip.size(); ++length) {
        UNPACK_RESULT result = Unpack(zip.substr(0, length));
        ASSERT_NE(result.error, ERROR_SUCCESS) << length;
        ASSERT_TRUE(TargetEmpty()) << length;
    }
    // One byte changed in the second entry's compressed data fails its check after the first
    // entry was written: the first goes too.
    std::string damaged = zip;
    const size_t second = damaged.find("second.bin");
    ASSERT_NE(second, std::string::npos);
    damaged[second + 10 + 400] = static_cast<char>(damaged[second + 10 + 400] ^ 0x55);
    UNPACK_RESULT result = Unpack(damaged);
    EXPECT_EQ(result.error, 13u);
    EXPECT_TRUE(TargetEmpty());
    EXPECT_TRUE(Outside().empty());
}

// An archive that would unpack to more than the bound is refused whole: one entry that says it is
// 2 GiB (a tar header, whose data need not be there for the size to be read), and, under a bound
// lowered to 1 MiB, entries each small enough whose sum is past it.
TEST_F(ZipArchiveTest, AnArchiveThatUnpacksToMoreThanAGibibyteIsRefused) {
    std::string header(512, '\0');
    header.replace(0, 3, "big");
    header.replace(100, 8, "0000644");
    header.replace(108, 8, "0000000");
    header.replace(116, 8, "0000000");
    header.replace(124, 12, "20000000000");  // 2 GiB in octal
    header.replace(136, 12, "00000000000");
    header[156] = '0';
    header.replace(257, 6, std::string("ustar\0", 6));
    header.replace(263, 2, "00");
    header.replace(148, 8, "        ");
    unsigned sum = 0;
    for (char c : header)
        sum += static_cast<unsigned char>(c);
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    header.replace(148, 7, std::string(checksum, 6) + '\0');
    UNPACK_RESULT result = UnpackTar(header + std::string(1024, '\0'));
    EXPECT_EQ(result.error, 112u);
    EXPECT_EQ(result.reason, "the archive unpacks to more than 1 GiB");
    EXPECT_TRUE(TargetEmpty());

    EXPECT_EQ(os::MaxUnpackedBytes(), int64_t{1} << 30);
    os::SCOPED_UNPACK_LIMIT limit(1 << 20);
    std::vector<wexo::testing::ARCHIVE_ITEM> parts;
    const std::string part(300'000, 'z');
    for (int i = 0; i < 3; ++i)
        parts.push_back(File("part" + std::to_string(i), part));
    EXPECT_EQ(Unpack(MakeArchive(parts)).error, ERROR_SUCCESS) << "900 KB is within the bound";
    parts.push_back(File("part3", part));
    result = Unpack(MakeArchive(parts));
    EXPECT_EQ(result.error, 112u);
    EXPECT_TRUE(TargetEmpty());
    EXPECT_TRUE(Outside().empty());
}

TEST_F(ZipArchiveTest, APathLongerThanWindowsAllowsIsRefused) {
    std::string name;
    while (target_.string().size() + 1 + name.size() <= 260) {
        name += "abcdefghi/";
    }
    name += "Update.exe";
    UNPACK_RESULT result = Unpack(MakeArchive({File(name, "x")}));
    EXPECT_EQ(result.error, 206u);
    EXPECT_TRUE(TargetEmpty());
}

TEST_F(ZipArchiveTest, AZipFileIsFoundByItsWindowsPath) {
    const fs::path zipFile = base_ / "package.zip";
    std::ofstream(zipFile, std::ios::binary) << MakeArchive({File("Update.exe", "u", 0755)});
    const std::string windowsZip = *WindowsPathFromLinux(zipFile.string());
    const std::string windowsTarget = *WindowsPathFromLinux(target_.string());
    UNPACK_RESULT result = UnpackZipFile(windowsZip, windowsTarget);
    ASSERT_EQ(result.error, ERROR_SUCCESS) << result.reason;
    EXPECT_EQ(Read("Update.exe"), "u");
    // A missing file or one that is no zip.
    EXPECT_NE(UnpackZipFile(windowsZip + "x", windowsTarget).error, ERROR_SUCCESS);
    std::ofstream(zipFile, std::ios::binary) << "not a zip at all";
    EXPECT_EQ(UnpackZipFile(windowsZip, windowsTarget).error, 13u);
}

}  // namespace
}  // namespace os
