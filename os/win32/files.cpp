#include "os/win32/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>

#include "os/core/status.h"
#include "os/win32/environment.h"
#include "os/win32/private_folder.h"

namespace os {
namespace {

uint32_t FileError(int err) {
    switch (err) {
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ELOOP:
            return ERROR_ACCESS_DENIED;
        default:
            return Win32ErrorFromErrno(err);
    }
}

// The Linux path of a Windows path, or nothing with ERROR_PATH_NOT_FOUND set.
std::optional<std::string> LinuxPath(std::string_view path) {
    std::optional<std::string> linux = LinuxPathFromWindows(path);
    if (!linux) {
        SetLastError(ERROR_PATH_NOT_FOUND);
    }
    return linux;
}

bool Fail(int err) {
    SetLastError(FileError(err));
    return false;
}

}  // namespace

uint32_t GetFileAttributes(std::string_view path) {
    std::optional<std::string> linux = LinuxPath(path);
    if (!linux) {
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat info {};
    if (lstat(linux->c_str(), &info) != 0) {
        Fail(errno);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISLNK(info.st_mode)) {
        return FILE_ATTRIBUTE_REPARSE_POINT;
    }
    return S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
}

bool CreateDirectory(std::string_view path) {
    std::optional<std::string> linux = LinuxPath(path);
    if (!linux) {
        return false;
    }
    std::string name;
    const int parent = detail::OpenParentWithoutLinks(*linux, &name);
    if (parent < 0) {
        return Fail(errno == ENOENT ? ENOTDIR : errno);
    }
    const int made = name.empty() ? -1 : mkdirat(parent, name.c_str(), 0700);
    const int err = name.empty() ? EEXIST : errno;
    close(parent);
    if (made != 0) {
        return Fail(err == ENOENT ? ENOTDIR : err);
    }
    return true;
}

bool RemoveDirectory(std::string_view path) {
    std::optional<std::string> linux = LinuxPath(path);
    if (!linux) {
        return false;
    }
    return rmdir(linux->c_str()) == 0 || Fail(errno);
}

bool DeleteFile(std::string_view path) {
    std::optional<std::string> linux = LinuxPath(path);
    if (!linux) {
        return false;
    }
    if (unlink(linux->c_str()) != 0) {
        return Fail(errno == EISDIR ? EACCES : errno);
    }
    return true;
}

bool ListDirectory(std::string_view path, std::vector<std::string>* names) {
    names->clear();
    std::optional<std::string> linux = LinuxPath(path);
    if (!linux) {
        return false;
    }
    int fd = open(linux->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return Fail(errno);
    }
    DIR* folder = fdopendir(fd);
    if (folder == nullptr) {
        int err = errno;
        close(fd);
        return Fail(err);
    }
    for (;;) {
        errno = 0;
        dirent* entry = readdir(folder);
        if (entry == nullptr) {
            break;
        }
        names->emplace_back(entry->d_name);
    }
    int err = errno;
    closedir(folder);
    return err == 0 || Fail(err);
}

bool GetCurrentDirectory(std::string* path) {
    char buffer[PATH_MAX];
    if (getcwd(buffer, sizeof buffer) == nullptr) {
        return Fail(errno);
    }
    std::optional<std::string> windows = WindowsPathFromLinux(buffer);
    if (!windows) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    *path = std::move(*windows);
    return true;
}

WRITE_FILE::~WRITE_FILE() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool WRITE_FILE::Create(std::string_view path) {
    std::optional<std::string> linux = LinuxPath(path);
    if (!linux) {
        return false;
    }
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = detail::OpenWithoutLinks(*linux, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    return fd_ >= 0 || Fail(errno);
}

bool WRITE_FILE::Write(const void* data, size_t length) {
    if (fd_ < 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t wrote = write(fd_, bytes, length);
        if (wrote < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail(errno);
        }
        bytes += wrote;
        length -= static_cast<size_t>(wrote);
    }
    return true;
}

bool WRITE_FILE::Close() {
    if (fd_ < 0) {
        return true;
    }
    const int fd = fd_;
    fd_ = -1;
    const bool synced = fsync(fd) == 0;
    const int err = errno;
    if (close(fd) != 0 && synced) {
        return Fail(errno);
    }
    return synced || Fail(err);
}

}  // namespace os
