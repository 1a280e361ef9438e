#include "os/fltmgr/file_io.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "os/core/utf8.h"
#include "os/fltmgr/filter_context.h"
#include "os/kernel/object_namespace.h"

namespace os {
namespace {

// The generic rights as the file object type maps them.
constexpr uint32_t GENERIC_EXECUTE = 0x20000000;
constexpr uint32_t FILE_EXECUTE = 0x0020;
constexpr uint32_t FILE_GENERIC_READ = 0x00120089;
constexpr uint32_t FILE_GENERIC_WRITE = 0x00120116;
constexpr uint32_t FILE_GENERIC_EXECUTE = 0x001200A0;
constexpr uint32_t FILE_ALL_ACCESS = 0x001F01FF;

constexpr uint32_t kReadAccess = FILE_READ_DATA | FILE_EXECUTE;
constexpr uint32_t kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;
// The longest name component NTFS takes, in UTF-16 units.
constexpr size_t kLongestComponent = 255;
// Rounds of "it was there a moment ago" before a create gives up.
constexpr int kCreateRounds = 4;

uint32_t MapGenericAccess(uint32_t access) {
    uint32_t mapped = access & 0x0FFFFFFF;
    if (access & GENERIC_READ) {
        mapped |= FILE_GENERIC_READ;
    }
    if (access & GENERIC_WRITE) {
        mapped |= FILE_GENERIC_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        mapped |= FILE_GENERIC_EXECUTE;
    }
    if (access & GENERIC_ALL) {
        mapped |= FILE_ALL_ACCESS;
    }
    return mapped;
}

NTSTATUS StatusFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case ENOTDIR:
            return STATUS_OBJECT_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EXDEV:  // a link that leads out of the volume's folder
        case ELOOP:
            return STATUS_ACCESS_DENIED;
        case EEXIST:
            return STATUS_OBJECT_NAME_COLLISION;
        case EISDIR:
            return STATUS_FILE_IS_A_DIRECTORY;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return STATUS_DISK_FULL;
        case EROFS:
            return STATUS_MEDIA_WRITE_PROTECTED;
        case ENAMETOOLONG:
            return STATUS_OBJECT_NAME_INVALID;
        case ENOMEM:
        case EMFILE:
        case ENFILE:
            return STATUS_INSUFFICIENT_RESOURCES;
        case EBUSY:
        case ETXTBSY:
            return STATUS_SHARING_VIOLATION;
        case EIO:
            return STATUS_IO_DEVICE_ERROR;
        default:
            return STATUS_UNSUCCESSFUL;
    }
}

bool IsInvalidNameCharacter(char16_t c) {
    if (c < 0x20) {
        return true;
    }
    switch (c) {
        case u'"':
        case u'*':
        case u'/':
        case u':':
        case u'<':
        case u'>':
        case u'?':
        case u'|':
            return true;
        default:
            return false;
    }
}

// Appends one component as UTF-8; false for a name Windows would not take.
bool AppendComponent(std::u16string_view component, std::string& out) {
    if (component.empty() || component.size() > kLongestComponent || component == u"." ||
        component == u"..") {
        return false;
    }
    for (size_t i = 0; i < component.size(); ++i) {
        char32_t c = component[i];
        if (IsInvalidNameCharacter(component[i])) {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= component.size() || component[i + 1] < 0xDC00 ||
                component[i + 1] > 0xDFFF) {
                return false;
            }
            c = 0x10000 + ((c - 0xD800) << 10) + (component[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        os::AppendUtf8(out, c);
    }
    return true;
}

// The part of a name after its volume ("" or "\a\b") as a path relative to the volume's folder
// ("" for the root), with the folder that holds it and the last component.
struct MAPPED_NAME {
    std::string relative;
    std::string parent;
    std::string leaf;
};

NTSTATUS MapName(std::u16string_view remainder, MAPPED_NAME* mapped) {
    if (remainder.empty() || remainder == u"\\") {
        return STATUS_SUCCESS;
    }
    if (remainder[0] != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string_view rest = remainder.substr(1);
    for (;;) {
        size_t end = rest.find(u'\\');
        std::u16string_view component = rest.substr(0, end);
        if (!mapped->relative.empty()) {
            mapped->parent = mapped->relative;
            mapped->relative.push_back('/');
        }
        size_t start = mapped->relative.size();
        if (!AppendComponent(component, mapped->relative)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        mapped->leaf = mapped->relative.substr(start);
        if (end == std::u16string_view::npos) {
            return STATUS_SUCCESS;
        }
        rest = rest.substr(end + 1);
    }
}

std::atomic<bool> gNoOpenat2{false};

// Opens `relative` beneath the folder `rootFd` stands for: nothing on the way may lead out of it.
// Returns the descriptor or -errno. With `noSymlinks` any symbolic link on the way is -ELOOP (the
// caller resolved the links itself and a new one appeared since). Where the kernel has no openat2,
// the walk is done here with symbolic links refused.
int OpenBeneath(int rootFd, const std::string& relative, int flags, mode_t mode,
                bool noSymlinks = false) {
    const char* path = relative.empty() ? "." : relative.c_str();
    if (!gNoOpenat2.load(std::memory_order_relaxed)) {
        struct open_how how {};
        how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
        how.mode = (flags & O_CREAT) ? mode : 0;
        how.resolve =
            RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | (noSymlinks ? RESOLVE_NO_SYMLINKS : 0);
        long fd;
        do {
            fd = ::syscall(SYS_openat2, rootFd, path, &how, sizeof how);
        } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
        if (fd >= 0) {
            return static_cast<int>(fd);
        }
        if (errno != ENOSYS) {
            return -errno;
        }
        gNoOpenat2.store(true);
    }
    int dir = ::dup(rootFd);
    if (dir < 0) {
        return -errno;
    }
    std::string_view rest = relative;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string component(rest.substr(0, slash));
        bool last = slash == std::string_view::npos;
        int next =
            last ? ::openat(dir, component.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode)
                 : ::openat(dir, component.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        int err = errno;
        ::close(dir);
        if (next < 0) {
            return -err;
        }
        if (last) {
            return next;
        }
        dir = next;
        rest = rest.substr(slash + 1);
    }
    int fd = ::openat(dir, ".", flags | O_CLOEXEC, mode);
    int err = errno;
    ::close(dir);
    return fd < 0 ? -err : fd;
}

// ---- Share access of the opens of one file ----

struct SHARE_COUNTS {
    uint32_t opens = 0;
    uint32_t readers = 0;
    uint32_t writers = 0;
    uint32_t deleters = 0;
    uint32_t sharedRead = 0;
    uint32_t sharedWrite = 0;
    uint32_t sharedDelete = 0;
};

bool CountsForSharing(uint32_t access) {
    return (access & (kReadAccess | kWriteAccess | DELETE)) != 0;
}

struct SHARE_TABLE {
    std::mutex lock;
    std::map<std::pair<uint64_t, uint64_t>, SHARE_COUNTS> files;
};

SHARE_TABLE& Shares() {
    static SHARE_TABLE* table = new SHARE_TABLE();
    return *table;
}

// IoCheckShareAccess and IoSetShareAccess in one step.
bool AddShareAccess(uint64_t device, uint64_t inode, uint32_t access, uint32_t share) {
    if (!CountsForSharing(access)) {
        return true;
    }
    bool read = access & kReadAccess;
    bool write = access & kWriteAccess;
    bool del = access & DELETE;
    SHARE_TABLE& table = Shares();
    std::lock_guard guard(table.lock);
    SHARE_COUNTS& c = table.files[{device, inode}];
    if ((read && c.sharedRead < c.opens) || (write && c.sharedWrite < c.opens) ||
        (del && c.sharedDelete < c.opens) || (c.readers != 0 && !(share & FILE_SHARE_READ)) ||
        (c.writers != 0 && !(share & FILE_SHARE_WRITE)) ||
        (c.deleters != 0 && !(share & FILE_SHARE_DELETE))) {
        if (c.opens == 0) {
            table.files.erase({device, inode});
        }
        return false;
    }
    ++c.opens;
    c.readers += read;
    c.writers += write;
    c.deleters += del;
    c.sharedRead += (share & FILE_SHARE_READ) != 0;
    c.sharedWrite += (share & FILE_SHARE_WRITE) != 0;
    c.sharedDelete += (share & FILE_SHARE_DELETE) != 0;
    return true;
}

void RemoveShareAccess(uint64_t device, uint64_t inode, uint32_t access, uint32_t share) {
    if (!CountsForSharing(access)) {
        return;
    }
    SHARE_TABLE& table = Shares();
    std::lock_guard guard(table.lock);
    auto it = table.files.find({device, inode});
    if (it == table.files.end()) {
        return;
    }
    SHARE_COUNTS& c = it->second;
    --c.opens;
    c.readers -= (access & kReadAccess) != 0;
    c.writers -= (access & kWriteAccess) != 0;
    c.deleters -= (access & DELETE) != 0;
    c.sharedRead -= (share & FILE_SHARE_READ) != 0;
    c.sharedWrite -= (share & FILE_SHARE_WRITE) != 0;
    c.sharedDelete -= (share & FILE_SHARE_DELETE) != 0;
    if (c.opens == 0) {
        table.files.erase(it);
    }
}

// ---- Kernel handles of this face ----

struct HANDLE_TABLE {
    std::mutex lock;
    HANDLE next = 0x80000004;  // kernel handles have the top bit of the low word set
    std::map<HANDLE, std::shared_ptr<FLT_FILE_OBJECT>> handles;
};

HANDLE_TABLE& Handles() {
    static HANDLE_TABLE* table = new HANDLE_TABLE();
    return *table;
}

}  // namespace

// The parts of the face that reach into a file object.
struct FltFileIo {
    static std::shared_ptr<FLT_FILE_OBJECT> Make(std::u16string name,
                                                 std::shared_ptr<FLT_VOLUME> volume, int fd,
                                                 const struct stat& st, uint32_t access,
                                                 uint32_t share, bool directory,
                                                 uint32_t flags = 0) {
        auto file = std::shared_ptr<FLT_FILE_OBJECT>(
            new FLT_FILE_OBJECT(std::move(name), std::move(volume), fd, st.st_dev, st.st_ino,
                                access, share, directory));
        file->flags_ = flags;
        return file;
    }

    // The clean-up of the open: its share access goes and its descriptor is closed.
    static void Cleanup(FLT_FILE_OBJECT& file) {
        // The filters' contexts go first: their clean-up may still look at the open.
        FltContexts::DetachAll(file);
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return;
        }
        if (file.deletePending_) {
            std::string path;
            if (PathOf(file.fd_, &path)) {
                if (file.directory_) {
                    ::rmdir(path.c_str());
                } else {
                    ::unlink(path.c_str());
                }
            }
        }
        RemoveShareAccess(file.device_, file.inode_, file.access_, file.share_);
        ::close(file.fd_);
        file.fd_ = -1;
    }

    // The name the descriptor has now, as the system resolves it (it follows renames).
    static bool PathOf(int fd, std::string* path) {
        char buffer[4096];
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) {
            return false;
        }
        path->assign(buffer, static_cast<size_t>(n));
        return true;
    }

    static NTSTATUS Read(FLT_FILE_OBJECT& file, const int64_t* byteOffset, uint32_t length,
                         void* buffer, uint32_t* bytesRead) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if (file.directory_) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if ((file.access_ & kReadAccess) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        if (length != 0 && buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        int64_t offset = byteOffset == nullptr ? FILE_USE_FILE_POINTER_POSITION : *byteOffset;
        if (offset < 0 && offset != FILE_USE_FILE_POINTER_POSITION) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::ReadFile);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        if (offset >= 0 && ::lseek(file.fd_, static_cast<off_t>(offset), SEEK_SET) < 0) {
            return StatusFromErrno(errno);
        }
        auto* bytes = static_cast<uint8_t*>(buffer);
        uint32_t done = 0;
        while (done < length) {
            ssize_t n = ::read(file.fd_, bytes + done, length - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                *bytesRead = done;
                return StatusFromErrno(errno);
            }
            if (n == 0) {
                break;
            }
            done += static_cast<uint32_t>(n);
        }
        *bytesRead = done;
        return done == 0 && length != 0 ? STATUS_END_OF_FILE : STATUS_SUCCESS;
    }

    static NTSTATUS SetEndOfFile(FLT_FILE_OBJECT& file, int64_t endOfFile) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if (file.directory_) {
            return STATUS_INVALID_PARAMETER;
        }
        if ((file.access_ & FILE_WRITE_DATA) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        if (endOfFile < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::SetInformation);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        return ::ftruncate(file.fd_, static_cast<off_t>(endOfFile)) == 0 ? STATUS_SUCCESS
                                                                         : StatusFromErrno(errno);
    }

    static NTSTATUS SetDeleteDisposition(FLT_FILE_OBJECT& file) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if ((file.access_ & DELETE) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::SetInformation);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        if (file.directory_ && !DirectoryIsEmpty(file.fd_)) {
            return STATUS_DIRECTORY_NOT_EMPTY;
        }
        file.deletePending_ = true;
        return STATUS_SUCCESS;
    }

    // The permission bits (and, where the caller may, the owner) of one open's file given to
    // another's: what copying a file's security descriptor onto a new file is on Windows.
    static NTSTATUS CopySecurity(FLT_FILE_OBJECT& from, FLT_FILE_OBJECT& to) {
        struct stat st {};
        {
            std::lock_guard guard(from.lock_);
            if (from.fd_ < 0) {
                return STATUS_FILE_CLOSED;
            }
            if (::fstat(from.fd_, &st) != 0) {
                return StatusFromErrno(errno);
            }
        }
        std::lock_guard guard(to.lock_);
        if (to.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::SetInformation);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        if (::geteuid() == 0 && ::fchown(to.fd_, st.st_uid, st.st_gid) != 0) {
            return StatusFromErrno(errno);
        }
        return ::fchmod(to.fd_, st.st_mode & 07777) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
    }

    static bool DirectoryIsEmpty(int fd) {
        int copy = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (copy < 0) {
            return false;
        }
        DIR* dir = ::fdopendir(copy);
        if (dir == nullptr) {
            ::close(copy);
            return false;
        }
        bool empty = true;
        while (struct dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                empty = false;
                break;
            }
        }
        ::closedir(dir);
        return empty;
    }

    // Renames the open's file to, or links it as, `relative` beneath the volume's folder. The
    // target's folder is opened beneath the folder, so the name cannot lead out of the volume.
    static NTSTATUS MoveOrLink(FLT_FILE_OBJECT& file, const std::string& targetParent,
                               const std::string& targetLeaf, bool replaceIfExists, bool link) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if (link && file.directory_) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::SetInformation);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        int parent =
            OpenBeneath(file.volume_->RootFd(), targetParent, O_PATH | O_DIRECTORY, 0, true);
        if (parent < 0) {
            return parent == -ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND : StatusFromErrno(-parent);
        }
        int result;
        if (link) {
            if (replaceIfExists) {
                ::unlinkat(parent, targetLeaf.c_str(), 0);
            }
            // Through the descriptor's /proc name, which linkat may follow without privilege.
            std::string self = "/proc/self/fd/" + std::to_string(file.fd_);
            result =
                ::linkat(AT_FDCWD, self.c_str(), parent, targetLeaf.c_str(), AT_SYMLINK_FOLLOW);
        } else {
            std::string from;
            if (!PathOf(file.fd_, &from)) {
                ::close(parent);
                return STATUS_IO_DEVICE_ERROR;
            }
            result = ::renameat2(AT_FDCWD, from.c_str(), parent, targetLeaf.c_str(),
                                 replaceIfExists ? 0 : RENAME_NOREPLACE);
        }
        int err = errno;
        ::close(parent);
        if (result != 0) {
            return err == EEXIST || err == ENOTEMPTY ? STATUS_OBJECT_NAME_COLLISION
                                                     : StatusFromErrno(err);
        }
        return STATUS_SUCCESS;
    }

    // Times in 100 ns units since 1601 (0 and -1 leave a time as it is); the read-only attribute
    // takes the write bits away, any other non-zero attributes give the owner's back.
    static NTSTATUS SetBasic(FLT_FILE_OBJECT& file, int64_t lastAccessTime, int64_t lastWriteTime,
                             uint32_t attributes) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if ((file.access_ & FILE_WRITE_ATTRIBUTES) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::SetInformation);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        constexpr int64_t kUnixEpoch = 116444736000000000LL;
        auto toTimespec = [](int64_t time) {
            struct timespec ts {};
            if (time == 0 || time == -1) {
                ts.tv_nsec = UTIME_OMIT;
                return ts;
            }
            int64_t sinceEpoch = time - kUnixEpoch;
            ts.tv_sec = static_cast<time_t>(sinceEpoch / 10000000);
            ts.tv_nsec = static_cast<long>((sinceEpoch % 10000000) * 100);
            if (ts.tv_nsec < 0) {
                ts.tv_sec -= 1;
                ts.tv_nsec += 1000000000L;
            }
            return ts;
        };
        struct timespec times[2] = {toTimespec(lastAccessTime), toTimespec(lastWriteTime)};
        if (::futimens(file.fd_, times) != 0) {
            return StatusFromErrno(errno);
        }
        if (attributes != 0) {
            struct stat st {};
            if (::fstat(file.fd_, &st) != 0) {
                return StatusFromErrno(errno);
            }
            constexpr uint32_t kReadOnly = 0x1;
            mode_t mode = st.st_mode & 07777;
            mode = (attributes & kReadOnly) ? (mode & ~mode_t{0222}) : (mode | S_IWUSR);
            if (::fchmod(file.fd_, mode) != 0) {
                return StatusFromErrno(errno);
            }
        }
        return STATUS_SUCCESS;
    }

    static NTSTATUS ClearDeleteDisposition(FLT_FILE_OBJECT& file) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if ((file.access_ & DELETE) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        file.deletePending_ = false;
        return STATUS_SUCCESS;
    }

    static bool CurrentRemainder(const FLT_FILE_OBJECT& file, std::u16string* remainder) {
        std::string path;
        {
            std::lock_guard guard(file.lock_);
            if (file.fd_ < 0 || !PathOf(file.fd_, &path)) {
                return false;
            }
        }
        std::string folder = file.volume_->Folder();
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        if (folder != "/") {
            if (path.compare(0, folder.size(), folder) != 0 ||
                (path.size() > folder.size() && path[folder.size()] != '/')) {
                return false;
            }
            path = path.substr(folder.size());
        }
        if (path == "/") {
            path.clear();
        }
        std::u16string wide;
        if (!DecodeUtf8(path, &wide)) {
            return false;
        }
        for (char16_t& c : wide) {
            if (c == u'/') {
                c = u'\\';
            }
        }
        *remainder = std::move(wide);
        return true;
    }

    static uint32_t LinkCount(const FLT_FILE_OBJECT& file) {
        std::lock_guard guard(file.lock_);
        struct stat st {};
        return file.fd_ >= 0 && ::fstat(file.fd_, &st) == 0 ? static_cast<uint32_t>(st.st_nlink)
                                                            : 0;
    }

    static NTSTATUS Rename(FLT_FILE_OBJECT& file, std::u16string_view newName,
                           bool replaceIfExists) {
        std::string leaf;
        if (newName.find(u'\\') != std::u16string_view::npos || !AppendComponent(newName, leaf)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::SetInformation);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        std::string from;
        if (!PathOf(file.fd_, &from)) {
            return STATUS_IO_DEVICE_ERROR;
        }
        size_t slash = from.rfind('/');
        if (slash == std::string::npos) {
            return STATUS_IO_DEVICE_ERROR;
        }
        // The new name stays in the file's own folder, so the rename cannot leave the volume.
        std::string to = from.substr(0, slash + 1) + leaf;
        if (to == from) {
            return STATUS_SUCCESS;
        }
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                        replaceIfExists ? 0 : RENAME_NOREPLACE) != 0) {
            return errno == EEXIST ? STATUS_OBJECT_NAME_COLLISION : StatusFromErrno(errno);
        }
        // The new name is the folder's change: flushed with it, a power cut cannot bring the old
        // name back (the driver's image is replaced this way).
        const int folder = ::open(from.substr(0, slash + 1).c_str(),
                                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (folder >= 0) {
            ::fsync(folder);
            ::close(folder);
        }
        return STATUS_SUCCESS;
    }

    static NTSTATUS Write(FLT_FILE_OBJECT& file, const int64_t* byteOffset, uint32_t length,
                          const void* buffer, uint32_t* bytesWritten) {
        std::lock_guard guard(file.lock_);
        if (file.fd_ < 0) {
            return STATUS_FILE_CLOSED;
        }
        if (file.directory_) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if ((file.access_ & kWriteAccess) == 0) {
            return STATUS_ACCESS_DENIED;
        }
        if (length != 0 && buffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        bool appendOnly = (file.access_ & FILE_APPEND_DATA) && !(file.access_ & FILE_WRITE_DATA);
        int64_t offset = byteOffset == nullptr ? FILE_USE_FILE_POINTER_POSITION : *byteOffset;
        if (offset < FILE_USE_FILE_POINTER_POSITION) {
            return STATUS_INVALID_PARAMETER;
        }
        NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::WriteFile);
        if (!NT_SUCCESS(injected)) {
            return injected;
        }
        off_t moved = 0;
        if (appendOnly || offset == FILE_WRITE_TO_END_OF_FILE) {
            moved = ::lseek(file.fd_, 0, SEEK_END);
        } else if (offset >= 0) {
            moved = ::lseek(file.fd_, static_cast<off_t>(offset), SEEK_SET);
        }
        if (moved < 0) {
            return StatusFromErrno(errno);
        }
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        uint32_t done = 0;
        while (done < length) {
            ssize_t n = ::write(file.fd_, bytes + done, length - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                *bytesWritten = done;
                return StatusFromErrno(errno);
            }
            if (n == 0) {
                *bytesWritten = done;
                return STATUS_DISK_FULL;
            }
            done += static_cast<uint32_t>(n);
        }
        *bytesWritten = done;
        return STATUS_SUCCESS;
    }
};

FLT_FILE_OBJECT::FLT_FILE_OBJECT(std::u16string fileName, std::shared_ptr<FLT_VOLUME> volume,
                                 int fd, uint64_t device, uint64_t inode, uint32_t access,
                                 uint32_t share, bool directory)
    : fileName_(std::move(fileName)),
      volume_(std::move(volume)),
      device_(device),
      inode_(inode),
      access_(access),
      share_(share),
      directory_(directory),
      fd_(fd) {}

FLT_FILE_OBJECT::~FLT_FILE_OBJECT() {
    FltFileIo::Cleanup(*this);
}

bool FLT_FILE_OBJECT::Closed() const {
    std::lock_guard guard(lock_);
    return fd_ < 0;
}

NTSTATUS FltCreateFileEx(const std::shared_ptr<FLT_FILTER>& filter,
                         const std::shared_ptr<FLT_INSTANCE>& instance, HANDLE* fileHandle,
                         std::shared_ptr<FLT_FILE_OBJECT>* fileObject, uint32_t desiredAccess,
                         std::u16string_view fileName, IO_STATUS_BLOCK* ioStatus,
                         uint32_t /*fileAttributes*/, uint32_t shareAccess,
                         uint32_t createDisposition, uint32_t createOptions) {
    if (fileHandle == nullptr || ioStatus == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *fileHandle = 0;
    if (fileObject != nullptr) {
        fileObject->reset();
    }
    ioStatus->information = 0;
    auto fail = [&](NTSTATUS status) {
        ioStatus->status = status;
        return status;
    };
    const bool wantDirectory = createOptions & FILE_DIRECTORY_FILE;
    const bool wantFile = createOptions & FILE_NON_DIRECTORY_FILE;
    if (filter == nullptr || !filter->Registered() || createDisposition > FILE_OVERWRITE_IF ||
        (wantDirectory && wantFile) ||
        (wantDirectory && createDisposition != FILE_OPEN && createDisposition != FILE_CREATE &&
         createDisposition != FILE_OPEN_IF) ||
        (shareAccess & ~(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE)) != 0) {
        return fail(STATUS_INVALID_PARAMETER);
    }
    NTSTATUS injected = FltInjectedFailure(FLT_FAILURE::CreateFile);
    if (!NT_SUCCESS(injected)) {
        return fail(injected);
    }
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string remainder;
    NTSTATUS status = ResolveVolumePath(fileName, &volume, &remainder);
    if (!NT_SUCCESS(status)) {
        return fail(status);
    }
    if (instance != nullptr) {
        if (instance->Filter() != filter.get()) {
            return fail(STATUS_INVALID_PARAMETER);
        }
        if (!instance->Attached()) {
            return fail(STATUS_FLT_DELETING_OBJECT);
        }
        if (instance->Volume() != volume) {
            return fail(STATUS_INVALID_DEVICE_OBJECT_PARAMETER);
        }
    }
    return detail::OpenOnVolume(volume, remainder, std::u16string(fileName), desiredAccess,
                                shareAccess, createDisposition, createOptions, 0, false, fileHandle,
                                fileObject, ioStatus);
}

namespace detail {

NTSTATUS OpenOnVolume(const std::shared_ptr<FLT_VOLUME>& volume, std::u16string_view remainder,
                      std::u16string objectName, uint32_t desiredAccess, uint32_t shareAccess,
                      uint32_t createDisposition, uint32_t createOptions, uint32_t objectFlags,
                      bool noSymlinks, HANDLE* fileHandle,
                      std::shared_ptr<FLT_FILE_OBJECT>* fileObject, IO_STATUS_BLOCK* ioStatus) {
    *fileHandle = 0;
    if (fileObject != nullptr) {
        fileObject->reset();
    }
    ioStatus->information = 0;
    auto fail = [&](NTSTATUS status) {
        ioStatus->status = status;
        return status;
    };
    const bool wantDirectory = createOptions & FILE_DIRECTORY_FILE;
    const bool wantFile = createOptions & FILE_NON_DIRECTORY_FILE;
    NTSTATUS status;
    MAPPED_NAME name;
    status = MapName(remainder, &name);
    if (!NT_SUCCESS(status)) {
        return fail(status);
    }

    const uint32_t access = MapGenericAccess(desiredAccess);
    const bool truncating = createDisposition == FILE_SUPERSEDE ||
                            createDisposition == FILE_OVERWRITE ||
                            createDisposition == FILE_OVERWRITE_IF;
    const bool read = access & kReadAccess;
    const bool write = (access & kWriteAccess) || truncating;
    int fileFlags = read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY;
    if ((access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA)) {
        fileFlags |= O_APPEND;
    }
    if (createOptions & FILE_WRITE_THROUGH) {
        fileFlags |= O_DSYNC;
    }
    const int root = volume->RootFd();

    int fd = -1;
    bool directory = false;
    uint64_t information = FILE_OPENED;
    for (int round = 0; fd < 0; ++round) {
        if (round == kCreateRounds) {
            return fail(STATUS_OBJECT_NAME_COLLISION);
        }
        struct stat st {};
        bool exists = false;
        int probe = OpenBeneath(root, name.relative, O_PATH, 0, noSymlinks);
        if (probe == -ELOOP && noSymlinks) {
            return fail(STATUS_REPARSE);
        }
        if (probe >= 0) {
            exists = ::fstat(probe, &st) == 0;
            ::close(probe);
            if (!exists) {
                return fail(STATUS_IO_DEVICE_ERROR);
            }
        } else if (probe == -ENOENT) {
            int parent = OpenBeneath(root, name.parent, O_PATH | O_DIRECTORY, 0);
            if (parent < 0) {
                return fail(parent == -ENOENT ? STATUS_OBJECT_PATH_NOT_FOUND
                                              : StatusFromErrno(-parent));
            }
            ::close(parent);
        } else {
            return fail(StatusFromErrno(-probe));
        }

        if (exists) {
            directory = S_ISDIR(st.st_mode);
            if (createDisposition == FILE_CREATE) {
                return fail(STATUS_OBJECT_NAME_COLLISION);
            }
            if (directory && (wantFile || truncating)) {
                return fail(STATUS_FILE_IS_A_DIRECTORY);
            }
            if (!directory && wantDirectory) {
                return fail(STATUS_NOT_A_DIRECTORY);
            }
            fd = OpenBeneath(root, name.relative, directory ? O_RDONLY | O_DIRECTORY : fileFlags, 0,
                             noSymlinks);
            if (fd == -ELOOP && noSymlinks) {
                return fail(STATUS_REPARSE);
            }
            if (fd == -ENOENT) {
                continue;  // removed since the probe
            }
            if (fd < 0) {
                return fail(StatusFromErrno(-fd));
            }
            information = createDisposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                          : truncating                        ? FILE_OVERWRITTEN
                                                              : FILE_OPENED;
            continue;
        }

        if (createDisposition == FILE_OPEN || createDisposition == FILE_OVERWRITE) {
            return fail(STATUS_OBJECT_NAME_NOT_FOUND);
        }
        if (wantDirectory) {
            int parent = OpenBeneath(root, name.parent, O_PATH | O_DIRECTORY, 0);
            if (parent < 0) {
                return fail(StatusFromErrno(-parent));
            }
            int made = ::mkdirat(parent, name.leaf.c_str(), 0777);
            int err = errno;
            ::close(parent);
            if (made != 0 && err == EEXIST) {
                continue;
            }
            if (made != 0) {
                return fail(StatusFromErrno(err));
            }
            fd = OpenBeneath(root, name.relative, O_RDONLY | O_DIRECTORY, 0);
            directory = true;
        } else {
            fd = OpenBeneath(root, name.relative, fileFlags | O_CREAT | O_EXCL, 0666, noSymlinks);
            if (fd == -EEXIST) {
                continue;  // created by someone else since the probe
            }
        }
        if (fd < 0) {
            return fail(StatusFromErrno(-fd));
        }
        information = FILE_CREATED;
    }

    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ::close(fd);
        return fail(STATUS_IO_DEVICE_ERROR);
    }
    if (!AddShareAccess(st.st_dev, st.st_ino, access, shareAccess)) {
        ::close(fd);
        return fail(STATUS_SHARING_VIOLATION);
    }
    auto file = FltFileIo::Make(std::move(objectName), volume, fd, st, access, shareAccess,
                                directory, objectFlags);
    if (!directory && (information == FILE_OVERWRITTEN || information == FILE_SUPERSEDED) &&
        ::ftruncate(fd, 0) != 0) {
        return fail(StatusFromErrno(errno));  // the file object's clean-up undoes the open
    }
    HANDLE_TABLE& table = Handles();
    {
        std::lock_guard guard(table.lock);
        *fileHandle = table.next;
        table.next += 4;
        table.handles[*fileHandle] = file;
    }
    if (fileObject != nullptr) {
        *fileObject = std::move(file);
    }
    ioStatus->status = STATUS_SUCCESS;
    ioStatus->information = information;
    return STATUS_SUCCESS;
}

NTSTATUS ReparseOnce(const FLT_VOLUME& volume, std::u16string_view remainder, bool followLast,
                     std::u16string* reparsed) {
    reparsed->clear();
    MAPPED_NAME name;
    NTSTATUS status = MapName(remainder, &name);
    if (!NT_SUCCESS(status) || name.relative.empty()) {
        return status;
    }
    std::vector<std::string> components;
    for (size_t start = 0;;) {
        size_t slash = name.relative.find('/', start);
        components.push_back(name.relative.substr(start, slash - start));
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    std::string prefix;
    for (size_t i = 0; i < components.size(); ++i) {
        std::string here = prefix.empty() ? components[i] : prefix + "/" + components[i];
        const bool last = i + 1 == components.size();
        struct stat st {};
        // The components before this one are no links (checked on the way), so the look-up
        // stays beneath the folder.
        if (::fstatat(volume.RootFd(), here.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return STATUS_SUCCESS;  // the rest does not exist: the open decides
        }
        if (!S_ISLNK(st.st_mode) || (last && !followLast)) {
            prefix = std::move(here);
            continue;
        }
        char buffer[4096];
        ssize_t n = ::readlinkat(volume.RootFd(), here.c_str(), buffer, sizeof buffer);
        if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) {
            return STATUS_REPARSE_POINT_NOT_RESOLVED;
        }
        std::string target(buffer, static_cast<size_t>(n));
        std::vector<std::string> resolved;
        if (target[0] == '/') {
            std::string folder = volume.Folder();
            while (folder.size() > 1 && folder.back() == '/') {
                folder.pop_back();
            }
            if (folder != "/") {
                if (target.compare(0, folder.size(), folder) != 0 ||
                    (target.size() > folder.size() && target[folder.size()] != '/')) {
                    return STATUS_ACCESS_DENIED;  // leads out of the volume
                }
                target = target.substr(folder.size());
            }
        } else {
            resolved.assign(components.begin(), components.begin() + static_cast<long>(i));
        }
        for (size_t start = 0; start <= target.size();) {
            size_t slash = target.find('/', start);
            std::string part = target.substr(
                start, slash == std::string::npos ? std::string::npos : slash - start);
            if (part == "..") {
                if (resolved.empty()) {
                    return STATUS_ACCESS_DENIED;
                }
                resolved.pop_back();
            } else if (!part.empty() && part != ".") {
                resolved.push_back(part);
            }
            if (slash == std::string::npos) {
                break;
            }
            start = slash + 1;
        }
        resolved.insert(resolved.end(), components.begin() + static_cast<long>(i) + 1,
                        components.end());
        std::u16string text;
        for (const std::string& part : resolved) {
            std::u16string wide;
            std::string check;
            if (!DecodeUtf8(part, &wide) || !AppendComponent(wide, check)) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            text += u'\\';
            text += wide;
        }
        *reparsed = text.empty() ? std::u16string(u"\\") : text;
        return STATUS_REPARSE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MoveOrLink(FLT_FILE_OBJECT& fileObject, std::u16string_view targetRemainder,
                    bool replaceIfExists, bool link) {
    MAPPED_NAME name;
    NTSTATUS status = MapName(targetRemainder, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (name.relative.empty()) {
        return STATUS_OBJECT_NAME_INVALID;  // the volume's root is no name to move to
    }
    return FltFileIo::MoveOrLink(fileObject, name.parent, name.leaf, replaceIfExists, link);
}

NTSTATUS SetBasicInformation(FLT_FILE_OBJECT& fileObject, int64_t lastAccessTime,
                             int64_t lastWriteTime, uint32_t attributes) {
    return FltFileIo::SetBasic(fileObject, lastAccessTime, lastWriteTime, attributes);
}

uint32_t LinkCount(const FLT_FILE_OBJECT& fileObject) {
    return FltFileIo::LinkCount(fileObject);
}

bool CurrentRemainder(const FLT_FILE_OBJECT& fileObject, std::u16string* remainder) {
    return FltFileIo::CurrentRemainder(fileObject, remainder);
}

NTSTATUS SetDeletePending(FLT_FILE_OBJECT& fileObject, bool deleteFile) {
    return deleteFile ? FltFileIo::SetDeleteDisposition(fileObject)
                      : FltFileIo::ClearDeleteDisposition(fileObject);
}

HANDLE AddHandle(std::shared_ptr<FLT_FILE_OBJECT> fileObject) {
    HANDLE_TABLE& table = Handles();
    std::lock_guard guard(table.lock);
    HANDLE handle = table.next;
    table.next += 4;
    table.handles[handle] = std::move(fileObject);
    return handle;
}

std::shared_ptr<FLT_FILE_OBJECT> TakeHandle(HANDLE fileHandle) {
    HANDLE_TABLE& table = Handles();
    std::lock_guard guard(table.lock);
    auto it = table.handles.find(fileHandle);
    if (it == table.handles.end()) {
        return nullptr;
    }
    auto file = std::move(it->second);
    table.handles.erase(it);
    return file;
}

void CloseFileObject(FLT_FILE_OBJECT& fileObject) {
    FltFileIo::Cleanup(fileObject);
}

}  // namespace detail

NTSTATUS FltCreateFile(const std::shared_ptr<FLT_FILTER>& filter,
                       const std::shared_ptr<FLT_INSTANCE>& instance, HANDLE* fileHandle,
                       uint32_t desiredAccess, std::u16string_view fileName,
                       IO_STATUS_BLOCK* ioStatus, uint32_t fileAttributes, uint32_t shareAccess,
                       uint32_t createDisposition, uint32_t createOptions) {
    return FltCreateFileEx(filter, instance, fileHandle, nullptr, desiredAccess, fileName, ioStatus,
                           fileAttributes, shareAccess, createDisposition, createOptions);
}

NTSTATUS FltWriteFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                      const int64_t* byteOffset, uint32_t length, const void* buffer,
                      uint32_t /*flags*/, uint32_t* bytesWritten) {
    uint32_t written = 0;
    uint32_t* out = bytesWritten != nullptr ? bytesWritten : &written;
    *out = 0;
    if (instance != nullptr) {
        if (!instance->Attached()) {
            return STATUS_FLT_DELETING_OBJECT;
        }
        if (instance->Volume() != fileObject.Volume()) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return FltFileIo::Write(fileObject, byteOffset, length, buffer, out);
}

namespace {

NTSTATUS CheckInstance(const std::shared_ptr<FLT_INSTANCE>& instance,
                       const FLT_FILE_OBJECT& fileObject) {
    if (instance != nullptr) {
        if (!instance->Attached()) {
            return STATUS_FLT_DELETING_OBJECT;
        }
        if (instance->Volume() != fileObject.Volume()) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FltReadFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                     const int64_t* byteOffset, uint32_t length, void* buffer, uint32_t /*flags*/,
                     uint32_t* bytesRead) {
    uint32_t read = 0;
    uint32_t* out = bytesRead != nullptr ? bytesRead : &read;
    *out = 0;
    NTSTATUS status = CheckInstance(instance, fileObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return FltFileIo::Read(fileObject, byteOffset, length, buffer, out);
}

NTSTATUS FltSetEndOfFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                         int64_t endOfFile) {
    NTSTATUS status = CheckInstance(instance, fileObject);
    return NT_SUCCESS(status) ? FltFileIo::SetEndOfFile(fileObject, endOfFile) : status;
}

NTSTATUS FltSetDeleteDisposition(const std::shared_ptr<FLT_INSTANCE>& instance,
                                 FLT_FILE_OBJECT& fileObject) {
    NTSTATUS status = CheckInstance(instance, fileObject);
    return NT_SUCCESS(status) ? FltFileIo::SetDeleteDisposition(fileObject) : status;
}

NTSTATUS FltRenameFile(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& fileObject,
                       std::u16string_view newName, bool replaceIfExists) {
    NTSTATUS status = CheckInstance(instance, fileObject);
    return NT_SUCCESS(status) ? FltFileIo::Rename(fileObject, newName, replaceIfExists) : status;
}

NTSTATUS FltCopySecurity(const std::shared_ptr<FLT_INSTANCE>& instance, FLT_FILE_OBJECT& from,
                         FLT_FILE_OBJECT& to) {
    NTSTATUS status = CheckInstance(instance, to);
    return NT_SUCCESS(status) ? FltFileIo::CopySecurity(from, to) : status;
}

NTSTATUS FltReferenceFileHandle(HANDLE fileHandle, std::shared_ptr<FLT_FILE_OBJECT>* fileObject) {
    HANDLE_TABLE& table = Handles();
    std::lock_guard guard(table.lock);
    auto it = table.handles.find(fileHandle);
    if (it == table.handles.end() || fileObject == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    *fileObject = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS FltClose(HANDLE fileHandle) {
    std::shared_ptr<FLT_FILE_OBJECT> file;
    {
        HANDLE_TABLE& table = Handles();
        std::lock_guard guard(table.lock);
        auto it = table.handles.find(fileHandle);
        if (it == table.handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        file = std::move(it->second);
        table.handles.erase(it);
    }
    FltFileIo::Cleanup(*file);
    return STATUS_SUCCESS;
}

bool FltNameHasLinkBelow(std::u16string_view fileName, std::u16string_view folder,
                         size_t maxEntries) {
    std::shared_ptr<FLT_VOLUME> volume;
    std::u16string remainder;
    MAPPED_NAME name;
    if (!NT_SUCCESS(ResolveVolumePath(fileName, &volume, &remainder)) ||
        !NT_SUCCESS(MapName(remainder, &name)) || name.relative.empty()) {
        return false;
    }
    const int probe = OpenBeneath(volume->RootFd(), name.relative, O_PATH, 0, true);
    if (probe < 0) {
        return false;
    }
    struct stat target {};
    const bool known = ::fstat(probe, &target) == 0;
    ::close(probe);
    std::string root;
    if (!known || !S_ISREG(target.st_mode) || target.st_nlink < 2 || !LinuxPathOf(folder, &root)) {
        return false;
    }
    const uint64_t device = target.st_dev;
    const uint64_t inode = target.st_ino;
    // Depth first over descriptors, so that a folder renamed during the walk cannot lead it out.
    std::vector<int> pending;
    int top = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (top < 0) {
        return false;
    }
    pending.push_back(top);
    size_t seen = 0;
    bool found = false;
    while (!pending.empty() && !found) {
        const int dirFd = pending.back();
        pending.pop_back();
        DIR* dir = ::fdopendir(dirFd);
        if (dir == nullptr) {
            ::close(dirFd);
            continue;
        }
        while (struct dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
                continue;
            }
            if (++seen > maxEntries) {
                break;
            }
            struct stat st {};
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                continue;
            }
            if (S_ISREG(st.st_mode) && st.st_dev == device && st.st_ino == inode) {
                found = true;
                break;
            }
            if (S_ISDIR(st.st_mode)) {
                int child = ::openat(::dirfd(dir), entry->d_name,
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child >= 0) {
                    pending.push_back(child);
                }
            }
        }
        ::closedir(dir);
    }
    for (int fd : pending) {
        ::close(fd);
    }
    return found;
}

size_t FltOpenHandleCount() {
    HANDLE_TABLE& table = Handles();
    std::lock_guard guard(table.lock);
    return table.handles.size();
}

}  // namespace os
