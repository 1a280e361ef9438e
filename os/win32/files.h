// The file calls the service makes on Windows paths of the C: drive (the Linux root): attributes,
// folders made and removed, files deleted, created and written, folder listings and the current
// folder. Links are never followed by what changes or removes things: a symbolic link is reported
// with FILE_ATTRIBUTE_REPARSE_POINT and removed as itself, and what makes a folder or a file
// refuses a link anywhere on its path (ERROR_ACCESS_DENIED), so no call here reaches outside a
// tree through a link planted in it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace os {

constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400;
constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;

// INVALID_FILE_ATTRIBUTES with the last error (2 or 3, not there) on failure.
uint32_t GetFileAttributes(std::string_view path);
// One level; the folder is the caller's alone (0700), as the folders of a service are. False with
// the last error: ERROR_ALREADY_EXISTS when something of that name is there (a link included),
// ERROR_PATH_NOT_FOUND when its parent is missing.
bool CreateDirectory(std::string_view path);
// An empty folder; ERROR_DIR_NOT_EMPTY otherwise.
bool RemoveDirectory(std::string_view path);
// A file or a link (never what it points to); ERROR_ACCESS_DENIED for a folder.
bool DeleteFile(std::string_view path);
// The names in a folder, "." and ".." included as FindFirstFile gives them. False with the last
// error when it cannot be read.
bool ListDirectory(std::string_view path, std::vector<std::string>* names);
// The current folder in Windows form. False with the last error when it is outside what C: maps.
bool GetCurrentDirectory(std::string* path);

// A file open for writing; closed when it goes.
class WRITE_FILE {
  public:
    WRITE_FILE() = default;
    ~WRITE_FILE();
    WRITE_FILE(const WRITE_FILE&) = delete;
    WRITE_FILE& operator=(const WRITE_FILE&) = delete;

    // Creates the file, replacing an old one (CREATE_ALWAYS); a link of that name is not
    // followed but refused (ERROR_ACCESS_DENIED).
    bool Create(std::string_view path);
    // All of the bytes or false with the last error.
    bool Write(const void* data, size_t length);
    // The data reaches the disk before success is reported.
    bool Close();

  private:
    int fd_ = -1;
};

}  // namespace os
