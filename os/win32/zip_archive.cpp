#include "os/win32/zip_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/private_folder.h"

namespace os {
namespace {

constexpr uint32_t kErrorInvalidData = 13;       // ERROR_INVALID_DATA
constexpr uint32_t kErrorFilenameTooLong = 206;  // ERROR_FILENAME_EXCED_RANGE
constexpr size_t kMaxPath = 260;                 // MAX_PATH, without its terminator
constexpr uint32_t kErrorDiskFull = 112;         // ERROR_DISK_FULL
// All the files of one archive together: an update package is tens of megabytes, and a small
// archive that unpacks to far more (a zip bomb) must not fill the temporary folder's disk.
constexpr int64_t kMaxUnpackedBytes = int64_t{1} << 30;
std::atomic<int64_t> gMaxUnpackedBytes{kMaxUnpackedBytes};
constexpr size_t kReadBlock = 64 * 1024;

// A descriptor closed when it goes.
class FD {
  public:
    explicit FD(int fd = -1) : fd_(fd) {}
    ~FD() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FD(FD&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FD& operator=(FD&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FD(const FD&) = delete;
    FD& operator=(const FD&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

  private:
    int fd_;
};

// A libarchive reader released when it goes.
class READER {
  public:
    READER() : reader_(archive_read_new()) {}
    ~READER() {
        if (reader_ != nullptr) {
            archive_read_free(reader_);
        }
    }
    READER(const READER&) = delete;
    READER& operator=(const READER&) = delete;
    archive* Get() const { return reader_; }

  private:
    archive* reader_;
};

UNPACK_RESULT Refused(uint32_t error, std::string entry, std::string reason) {
    UNPACK_RESULT result;
    result.error = error;
    result.entry = std::move(entry);
    result.reason = std::move(reason);
    return result;
}

UNPACK_RESULT SystemFailure(int err, std::string entry) {
    return Refused(Win32ErrorFromErrno(err), std::move(entry), std::strerror(err));
}

UNPACK_RESULT ArchiveFailure(archive* reader, std::string entry) {
    const char* text = archive_error_string(reader);
    return Refused(kErrorInvalidData, std::move(entry),
                   text != nullptr ? text : "the archive cannot be read");
}

// Why an entry of this kind is not unpacked; null for files and folders. Links and special files
// are what would let a later entry, or the program started from the folder, reach outside it.
const char* KindRefusal(archive_entry* entry) {
    if (archive_entry_hardlink(entry) != nullptr) {
        return "hard link";
    }
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
        case AE_IFDIR:
            return nullptr;
        case AE_IFLNK:
            return "symbolic link";
        case AE_IFCHR:
        case AE_IFBLK:
            return "device";
        case AE_IFIFO:
            return "fifo";
        case AE_IFSOCK:
            return "socket";
        default:
            return "not a file or a folder";
    }
}

// The components of an entry's name, both separators counted as Windows counts them, "." and
// empty components dropped; or the rule the name breaks.
const char* SplitEntryName(std::string_view name, std::vector<std::string>* components) {
    components->clear();
    if (name.empty()) {
        return "empty name";
    }
    if (name.front() == '/' || name.front() == '\\') {
        return "absolute path";
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) {
            end = name.size();
        }
        std::string_view part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            return "parent folder component";
        }
        // "C:x" is a drive path on Windows and "x:y" a stream of x; neither stays a plain name.
        if (part.find(':') != std::string_view::npos) {
            return "drive or stream name";
        }
        components->emplace_back(part);
    }
    return nullptr;
}

// The folder `name` in `parent`, made when missing; never through a link.
FD OpenOrMakeFolder(int parent, const std::string& name) {
    if (mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) {
        return FD();
    }
    return FD(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Removes everything below the folder, links as themselves.
void EmptyFolder(int folder) {
    int listing = dup(folder);
    if (listing < 0) {
        return;
    }
    DIR* dir = fdopendir(listing);
    if (dir == nullptr) {
        close(listing);
        return;
    }
    std::vector<std::string> names;
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    for (const std::string& name : names) {
        struct stat info {};
        if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(info.st_mode)) {
            FD child(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child.Valid()) {
                EmptyFolder(child.Get());
            }
            unlinkat(folder, name.c_str(), AT_REMOVEDIR);
        } else {
            unlinkat(folder, name.c_str(), 0);
        }
    }
}

// The entry's data into a new file `name` of `parent`.
UNPACK_RESULT WriteFile(archive* reader, archive_entry* entry, int parent, const std::string& name,
                        const std::string& entryName, int64_t* unpacked) {
    const int64_t left = gMaxUnpackedBytes.load() - *unpacked;
    auto tooLarge = [&] {
        return Refused(kErrorDiskFull, entryName, "the archive unpacks to more than 1 GiB");
    };
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > left) {
        return tooLarge();
    }
    // Only the owner may change what the program started from here runs; no set-id bits.
    const mode_t mode = (archive_entry_perm(entry) & 0755) | 0600;
    FD file(
        openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!file.Valid()) {
        return SystemFailure(errno, entryName);
    }
    int64_t end = 0;
    for (;;) {
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int rc = archive_read_data_block(reader, &block, &size, &offset);
        if (rc == ARCHIVE_EOF) {
            break;
        }
        // libarchive reports a failed CRC as a warning: damaged data is no warning here.
        if (rc != ARCHIVE_OK || offset < 0) {
            return ArchiveFailure(reader, entryName);
        }
        if (offset > left || static_cast<int64_t>(size) > left - offset) {
            return tooLarge();
        }
        const char* bytes = static_cast<const char*>(block);
        int64_t at = offset;
        while (size > 0) {
            ssize_t wrote = pwrite(file.Get(), bytes, size, at);
            if (wrote < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return SystemFailure(errno, entryName);
            }
            bytes += wrote;
            at += wrote;
            size -= static_cast<size_t>(wrote);
        }
        end = std::max(end, at);
    }
    // A hole at the end of a sparse entry has no block to write.
    if (archive_entry_size_is_set(entry) && archive_entry_size(entry) > end &&
        ftruncate(file.Get(), archive_entry_size(entry)) != 0) {
        return SystemFailure(errno, entryName);
    }
    if (fchmod(file.Get(), mode) != 0) {
        return SystemFailure(errno, entryName);
    }
    *unpacked += std::max(end, archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0);
    return {};
}

UNPACK_RESULT UnpackEntry(archive* reader, archive_entry* entry, int root, size_t folderLength,
                          size_t* files, int64_t* unpacked) {
    const char* rawName = archive_entry_pathname(entry);
    if (rawName == nullptr) {
        rawName = archive_entry_pathname_utf8(entry);
    }
    if (rawName == nullptr) {
        return Refused(ERROR_INVALID_NAME, "", "name cannot be read");
    }
    const std::string entryName = rawName;
    if (const char* refusal = KindRefusal(entry); refusal != nullptr) {
        return Refused(ERROR_NOT_SUPPORTED, entryName, refusal);
    }
    std::vector<std::string> components;
    if (const char* refusal = SplitEntryName(entryName, &components); refusal != nullptr) {
        return Refused(ERROR_INVALID_NAME, entryName, refusal);
    }
    const bool isFolder = archive_entry_filetype(entry) == AE_IFDIR;
    if (components.empty()) {
        if (isFolder) {
            return {};  // the unpack folder itself
        }
        return Refused(ERROR_INVALID_NAME, entryName, "names the unpack folder itself");
    }
    size_t length = folderLength;
    for (const std::string& component : components) {
        length += 1 + component.size();
    }
    if (length > kMaxPath) {
        return Refused(kErrorFilenameTooLong, entryName, "path longer than 260 characters");
    }
    const size_t folders = isFolder ? components.size() : components.size() - 1;
    FD current;
    int at = root;
    for (size_t i = 0; i < folders; ++i) {
        FD next = OpenOrMakeFolder(at, components[i]);
        if (!next.Valid()) {
            return SystemFailure(errno, entryName);
        }
        current = std::move(next);
        at = current.Get();
    }
    if (isFolder) {
        return {};
    }
    UNPACK_RESULT written = WriteFile(reader, entry, at, components.back(), entryName, unpacked);
    if (written.error == ERROR_SUCCESS) {
        ++*files;
    }
    return written;
}

UNPACK_RESULT UnpackInto(archive* reader, const std::string& linuxFolder, size_t folderLength) {
    // No link on the way to the folder either: what is unpacked lands in the folder named.
    FD root(detail::OpenWithoutLinks(linuxFolder, O_RDONLY | O_DIRECTORY));
    if (!root.Valid()) {
        return SystemFailure(errno, "");
    }
    size_t files = 0;
    int64_t unpacked = 0;
    UNPACK_RESULT result;
    for (;;) {
        archive_entry* entry = nullptr;
        int rc = archive_read_next_header(reader, &entry);
        if (rc == ARCHIVE_EOF) {
            break;
        }
        if (rc < ARCHIVE_WARN) {
            result = ArchiveFailure(reader, "");
            break;
        }
        result = UnpackEntry(reader, entry, root.Get(), folderLength, &files, &unpacked);
        if (result.error != ERROR_SUCCESS) {
            break;
        }
    }
    if (result.error != ERROR_SUCCESS) {
        // All or nothing: a program started from a half-unpacked folder would run with parts of
        // its package missing.
        EmptyFolder(root.Get());
        result.files = 0;
        return result;
    }
    result.files = files;
    return result;
}

UNPACK_RESULT OpenFailure(archive* reader) {
    return ArchiveFailure(reader, "");
}

}  // namespace

int64_t MaxUnpackedBytes() {
    return gMaxUnpackedBytes.load();
}

SCOPED_UNPACK_LIMIT::SCOPED_UNPACK_LIMIT(int64_t bytes)
    : previous_(gMaxUnpackedBytes.exchange(bytes)) {}

SCOPED_UNPACK_LIMIT::~SCOPED_UNPACK_LIMIT() {
    gMaxUnpackedBytes = previous_;
}

UNPACK_RESULT UnpackArchive(archive* reader, const std::string& linuxFolder) {
    return UnpackInto(reader, linuxFolder, linuxFolder.size());
}

UNPACK_RESULT UnpackZipMemory(std::span<const uint8_t> bytes, const std::string& linuxFolder) {
    READER reader;
    if (reader.Get() == nullptr) {
        return Refused(ERROR_NOT_ENOUGH_MEMORY, "", "no reader");
    }
    // The central directory is the archive's table of contents, as the Shell reads it; an archive
    // without one (cut short) is not read entry by entry from the front.
    archive_read_support_format_zip_seekable(reader.Get());
    if (archive_read_open_memory(reader.Get(), bytes.data(), bytes.size()) != ARCHIVE_OK) {
        return OpenFailure(reader.Get());
    }
    return UnpackArchive(reader.Get(), linuxFolder);
}

UNPACK_RESULT UnpackZipFile(std::string_view zipPath, std::string_view targetFolder) {
    std::optional<std::string> zip = LinuxPathFromWindows(zipPath);
    std::optional<std::string> folder = LinuxPathFromWindows(targetFolder);
    if (!zip || !folder) {
        return Refused(ERROR_PATH_NOT_FOUND, "", "not a path of the C: drive");
    }
    // The archive read is the one at that path, not one a link on the way leads to; the reader
    // does not close it, so it goes after the reader.
    FD zipFile(detail::OpenWithoutLinks(*zip, O_RDONLY));
    if (!zipFile.Valid()) {
        return SystemFailure(errno, "");
    }
    READER reader;
    if (reader.Get() == nullptr) {
        return Refused(ERROR_NOT_ENOUGH_MEMORY, "", "no reader");
    }
    archive_read_support_format_zip_seekable(reader.Get());
    if (archive_read_open_fd(reader.Get(), zipFile.Get(), kReadBlock) != ARCHIVE_OK) {
        return OpenFailure(reader.Get());
    }
    return UnpackInto(reader.Get(), *folder, targetFolder.size());
}

}  // namespace os
