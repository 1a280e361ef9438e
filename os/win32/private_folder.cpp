#include "os/win32/private_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/files.h"

namespace os {
namespace {

constexpr size_t kMaxPath = 260;  // MAX_PATH, without its terminator

// A descriptor closed when it goes.
class FD {
  public:
    explicit FD(int fd = -1) : fd_(fd) {}
    ~FD() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FD(FD&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FD& operator=(FD&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FD(const FD&) = delete;
    FD& operator=(const FD&) = delete;
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

uint32_t FolderError(int err) {
    switch (err) {
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ELOOP:
            return ERROR_ACCESS_DENIED;
        case EINVAL:
            return ERROR_INVALID_NAME;
        default:
            return Win32ErrorFromErrno(err);
    }
}

std::string ErrnoText(int err) {
    return std::strerror(err);
}

// The names of a Linux path, "." and empty ones dropped; false for a relative path or a "..".
bool SplitPath(const std::string& path, std::vector<std::string>* names) {
    names->clear();
    if (path.empty() || path.front() != '/') {
        return false;
    }
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        std::string name = path.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") {
            continue;
        }
        if (name == "..") {
            return false;
        }
        names->push_back(std::move(name));
    }
    return true;
}

// Whether a folder lets nobody but root and this account create, rename or replace what is in
// it.
bool KeepsOthersOut(const struct stat& info) {
    const bool othersWrite = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    return (info.st_uid == 0 || info.st_uid == geteuid()) &&
           (!othersWrite || (info.st_mode & S_ISVTX) != 0);
}

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// A name of `folder` that did not open as a folder: ELOOP when it is a link, else `err`.
int LinkOr(int folder, const std::string& name, int err) {
    struct stat info {};
    if ((err == ENOTDIR || err == ELOOP) &&
        fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        return ELOOP;
    }
    return err;
}

// The folder holding the path's last name, every folder from the root opened without following
// a link; with `unsafe`, the first folder on the way that another account could change is named
// there (the walk goes on). -1 with errno.
int WalkToParent(const std::string& linuxPath, std::string* name, std::string* unsafe) {
    std::vector<std::string> names;
    if (!SplitPath(linuxPath, &names)) {
        errno = EINVAL;
        return -1;
    }
    FD folder(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder.Valid()) {
        return -1;
    }
    std::string walked;
    for (size_t i = 0;; ++i) {
        if (unsafe != nullptr && unsafe->empty()) {
            struct stat info {};
            if (fstat(folder.Get(), &info) != 0) {
                return -1;
            }
            if (!KeepsOthersOut(info)) {
                *unsafe = "folder \"" + (walked.empty() ? std::string("/") : walked) +
                          "\" above it can be changed by others (uid " +
                          std::to_string(info.st_uid) + ", mode " + ModeText(info.st_mode) + ")";
            }
        }
        if (i + 1 >= names.size()) {
            break;
        }
        FD next(
            openat(folder.Get(), names[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.Valid()) {
            errno = LinkOr(folder.Get(), names[i], errno);
            return -1;
        }
        folder = std::move(next);
        walked += "/" + names[i];
    }
    *name = names.empty() ? std::string() : names.back();
    return folder.Release();
}

// Removes `name` of `folder` (Windows path `path`) and everything below it, never following a
// link. False with the last error and the failing entry's path.
bool RemoveEntry(int folder, const std::string& name, const std::string& path,
                 std::string* failedPath) {
    auto fail = [&](const std::string& where, int err) {
        *failedPath = where;
        SetLastError(FolderError(err));
        return false;
    };
    struct stat info {};
    if (fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT || fail(path, errno);
    }
    if (S_ISDIR(info.st_mode)) {
        FD child(openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // Swapped for something else since the look: that is removed as itself below.
        if (child.Valid()) {
            FD listing(dup(child.Get()));
            DIR* dir = listing.Valid() ? fdopendir(listing.Get()) : nullptr;
            if (dir == nullptr) {
                return fail(path, errno);
            }
            listing.Release();
            std::vector<std::string> names;
            errno = 0;
            while (dirent* entry = readdir(dir)) {
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                    names.emplace_back(entry->d_name);
                }
                errno = 0;
            }
            const int listError = errno;
            closedir(dir);
            if (listError != 0) {
                return fail(path, listError);
            }
            for (const std::string& entry : names) {
                const std::string entryPath = path + "\\" + entry;
                if (entryPath.size() > kMaxPath) {
                    *failedPath = path;
                    SetLastError(ERROR_INVALID_NAME);
                    return false;
                }
                if (!RemoveEntry(child.Get(), entry, entryPath, failedPath)) {
                    return false;
                }
            }
            if (unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0) {
                return true;
            }
            // ENOTDIR: no longer the folder that was emptied.
            if (errno != ENOTDIR) {
                return errno == ENOENT || fail(path, errno);
            }
        } else if (errno != ELOOP && errno != ENOTDIR) {
            return errno == ENOENT || fail(path, errno);
        }
    }
    if (unlinkat(folder, name.c_str(), 0) != 0) {
        // EISDIR: a folder again; the caller's next attempt finds it.
        return errno == ENOENT || fail(path, errno == EISDIR ? ENOTEMPTY : errno);
    }
    return true;
}

FILE_ID IdOf(const struct stat& info) {
    return FILE_ID{static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

bool IsPlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

std::string JoinWindows(const std::string& path, std::string_view name) {
    std::string joined = path;
    if (joined.empty() || joined.back() != '\\') {
        joined += '\\';
    }
    joined += name;
    return joined;
}

}  // namespace

namespace detail {

int OpenWithoutLinks(const std::string& linuxPath, int flags, mode_t mode) {
    std::string name;
    FD folder(WalkToParent(linuxPath, &name, nullptr));
    if (!folder.Valid()) {
        return -1;
    }
    if (name.empty()) {
        return open("/", flags | O_CLOEXEC, mode);
    }
    const int fd = openat(folder.Get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) {
        errno = LinkOr(folder.Get(), name, errno);
        return -1;
    }
    // O_PATH opens a link itself rather than refusing it.
    struct stat info {};
    if ((flags & O_PATH) != 0 && fstat(fd, &info) == 0 && S_ISLNK(info.st_mode)) {
        close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
}

int OpenParentWithoutLinks(const std::string& linuxPath, std::string* name) {
    return WalkToParent(linuxPath, name, nullptr);
}

}  // namespace detail

PRIVATE_FOLDER::~PRIVATE_FOLDER() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

PRIVATE_FOLDER::PRIVATE_FOLDER(PRIVATE_FOLDER&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), id_(other.id_) {}

PRIVATE_FOLDER& PRIVATE_FOLDER::operator=(PRIVATE_FOLDER&& other) noexcept {
    std::swap(fd_, other.fd_);
    std::swap(path_, other.path_);
    std::swap(id_, other.id_);
    return *this;
}

bool PRIVATE_FOLDER::Open(std::string_view windowsPath, std::string* reason) {
    const std::string path(windowsPath);
    auto refuse = [&](uint32_t error, std::string why) {
        *reason = std::move(why);
        SetLastError(error);
        return false;
    };
    std::optional<std::string> linux = LinuxPathFromWindows(windowsPath);
    if (!linux) {
        return refuse(ERROR_PATH_NOT_FOUND, "not a path of the C: drive");
    }
    std::string name, unsafe;
    FD parent(WalkToParent(*linux, &name, &unsafe));
    if (!parent.Valid() || name.empty()) {
        const int err = parent.Valid() ? EINVAL : errno;
        if (err == ELOOP) {
            return refuse(ERROR_ACCESS_DENIED, "a folder on its path is a symbolic link");
        }
        return refuse(FolderError(err), ErrnoText(err));
    }
    if (!unsafe.empty()) {
        return refuse(ERROR_ACCESS_DENIED, unsafe);
    }
    if (mkdirat(parent.Get(), name.c_str(), 0700) != 0 && errno != EEXIST) {
        const int err = errno;
        return refuse(FolderError(err), "cannot be created: " + ErrnoText(err));
    }
    FD folder(openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.Valid()) {
        const int err = LinkOr(parent.Get(), name, errno);
        if (err == ELOOP) {
            return refuse(ERROR_ACCESS_DENIED, "it is a symbolic link");
        }
        if (err == ENOTDIR) {
            return refuse(ERROR_ACCESS_DENIED, "it is not a folder");
        }
        return refuse(FolderError(err), ErrnoText(err));
    }
    struct stat info {};
    if (fstat(folder.Get(), &info) != 0) {
        const int err = errno;
        return refuse(FolderError(err), ErrnoText(err));
    }
    if (info.st_uid != 0 && info.st_uid != geteuid()) {
        return refuse(ERROR_ACCESS_DENIED, "it is owned by uid " + std::to_string(info.st_uid) +
                                               ", neither root nor this process's account");
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(ERROR_ACCESS_DENIED,
                      "group or others may write it (mode " + ModeText(info.st_mode) + ")");
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = folder.Release();
    path_ = path;
    id_ = IdOf(info);
    return true;
}

bool PRIVATE_FOLDER::CreateFolder(std::string_view name, PRIVATE_FOLDER* created) {
    if (fd_ < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!IsPlainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    const std::string plain(name);
    if (mkdirat(fd_, plain.c_str(), 0700) != 0) {
        SetLastError(FolderError(errno));
        return false;
    }
    FD folder(openat(fd_, plain.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!folder.Valid() || fstat(folder.Get(), &info) != 0) {
        SetLastError(FolderError(errno));
        return false;
    }
    PRIVATE_FOLDER result;
    result.fd_ = folder.Release();
    result.path_ = JoinWindows(path_, plain);
    result.id_ = IdOf(info);
    *created = std::move(result);
    return true;
}

bool PRIVATE_FOLDER::IsAt(std::string_view windowsPath) const {
    std::optional<std::string> linux = LinuxPathFromWindows(windowsPath);
    if (fd_ < 0 || !linux) {
        return false;
    }
    FD there(detail::OpenWithoutLinks(*linux, O_PATH | O_DIRECTORY));
    struct stat info {};
    return there.Valid() && fstat(there.Get(), &info) == 0 && IdOf(info) == id_;
}

bool RemoveDirectoryTree(std::string_view windowsPath, std::string* failedPath) {
    const std::string path(windowsPath);
    std::optional<std::string> linux = LinuxPathFromWindows(windowsPath);
    if (!linux) {
        *failedPath = path;
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::string name;
    FD parent(WalkToParent(*linux, &name, nullptr));
    if (!parent.Valid()) {
        const int err = errno;
        // A folder on the way that is missing, or a file where one was expected: nothing there.
        if (err == ENOENT || err == ENOTDIR) {
            return true;
        }
        *failedPath = path;
        SetLastError(FolderError(err));
        return false;
    }
    if (name.empty()) {
        *failedPath = path;
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return RemoveEntry(parent.Get(), name, path, failedPath);
}

}  // namespace os
