// Folders only the service's own account can reach, and the file work in them done through
// descriptors. Every name on a path is opened on its own, starting at the root, and none is
// followed when it is a symbolic link: a link planted anywhere on the way, or a folder swapped for
// one between a look and a change, ends the call instead of taking a change or a removal
// somewhere else. Paths are Windows paths of the C: drive, as in files.h.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace os {

// A file's identity, as GetFileInformationByHandle gives it: the volume and the file's index on
// it.
struct FILE_ID {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FILE_ID&) const = default;
};

// An open folder that nobody but root and this process's account can change: no other account
// can create, rename, replace or remove anything in it or in a folder above it. What is done in
// it is done relative to the open folder, never again by its path.
class PRIVATE_FOLDER {
  public:
    PRIVATE_FOLDER() = default;
    ~PRIVATE_FOLDER();
    PRIVATE_FOLDER(PRIVATE_FOLDER&& other) noexcept;
    PRIVATE_FOLDER& operator=(PRIVATE_FOLDER&& other) noexcept;
    PRIVATE_FOLDER(const PRIVATE_FOLDER&) = delete;
    PRIVATE_FOLDER& operator=(const PRIVATE_FOLDER&) = delete;

    // Opens the folder, made (0700) when it is missing and its parent is there. Refused (false,
    // the last error ERROR_ACCESS_DENIED and the reason) when a name on its path is a link, when it
    // is not a folder, is owned by another account than root or this process's, or may be written
    // by group or others, or when a folder above it could be changed by another account (owned by
    // one, or writable by group or others without the sticky bit). Other failures give the last
    // error of the step and the reason.
    bool Open(std::string_view windowsPath, std::string* reason);
    // A new empty folder `name` in this one (0700), opened as `created`. False with the last
    // error: ERROR_ALREADY_EXISTS when something of that name is there, ERROR_INVALID_NAME for a
    // name that is not one plain name.
    bool CreateFolder(std::string_view name, PRIVATE_FOLDER* created);
    // Whether the Windows path names this very folder now, no link on the way.
    bool IsAt(std::string_view windowsPath) const;

    bool IsOpen() const { return fd_ >= 0; }
    // The Windows path it was opened or created at.
    const std::string& Path() const { return path_; }
    FILE_ID Id() const { return id_; }

  private:
    int fd_ = -1;
    std::string path_;
    FILE_ID id_;
};

// Removes what the Windows path names: a file or a link as itself, a folder emptied depth first
// and then removed. No link is followed on the way to it nor inside it; a path that is not there
// counts as removed. False with the last error at the first entry that cannot be removed, and its
// Windows path in `failedPath`: ERROR_ACCESS_DENIED when a name on the way is a link,
// ERROR_DIR_NOT_EMPTY when a folder filled up again while it was emptied, ERROR_INVALID_NAME for
// an entry whose path would pass 260 characters.
bool RemoveDirectoryTree(std::string_view windowsPath, std::string* failedPath);

namespace detail {

// The Linux path's last name opened in its folder with `flags` (O_NOFOLLOW added, O_CREAT with
// `mode` allowed), each folder on the way opened without following a link. -1 with errno: ELOOP
// when a name on the way or the last one is a link, EINVAL for a relative path or a ".." name.
int OpenWithoutLinks(const std::string& linuxPath, int flags, mode_t mode = 0);
// The folder that holds the Linux path's last name, opened the same way, and that name ("" for
// the root itself). -1 with errno.
int OpenParentWithoutLinks(const std::string& linuxPath, std::string* name);

}  // namespace detail

}  // namespace os
