// The program's surroundings as Windows names them: its module path, environment variables, the
// common application-data folder and the temporary folder.
//
// Paths are given in Windows form. The product's C: drive is the Linux root:
// "/usr/lib/wexo/wexosvc" is "C:\usr\lib\wexo\wexosvc", and only C: exists. The common
// application-data folder (C:\ProgramData on Windows) is the Linux folder /var/lib, so "C:\var\lib"
// here; tests point it elsewhere with ScopedCommonAppDataFolder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace os {

constexpr char kCommonAppDataLinuxFolder[] = "/var/lib";

// "/a/b" -> "C:\a\b". Nothing for a relative path or one holding a backslash (which a Windows
// path cannot carry inside a name).
std::optional<std::string> WindowsPathFromLinux(std::string_view linuxPath);
// "C:\a\b" (or c:/a/b) -> "/a/b"; "C:" and "C:\" -> "/". Nothing for another drive, a relative or
// drive-relative path ("a\b", "\a", "C:a") or one holding a NUL.
std::optional<std::string> LinuxPathFromWindows(std::string_view windowsPath);

// The running program's path (GetModuleFileName of the main module), from /proc/self/exe unless a
// test set it. False with the last error set on failure.
bool GetModuleFileName(std::string& path);

struct ModulePathError {
    uint32_t error;
};

// Sets the module path (Windows form), or makes GetModuleFileName fail, while it lives.
class ScopedModulePath {
  public:
    explicit ScopedModulePath(std::string windowsPath);
    explicit ScopedModulePath(ModulePathError failure);
    ~ScopedModulePath();
    ScopedModulePath(const ScopedModulePath&) = delete;
    ScopedModulePath& operator=(const ScopedModulePath&) = delete;

  private:
    std::string previousPath_;
    uint32_t previousError_ = 0;
    bool previousSet_ = false;
};

// The process's environment. Names are case-sensitive, as Linux keeps them. A missing variable
// gives nothing with ERROR_ENVVAR_NOT_FOUND; an empty name or one holding "=" gives
// ERROR_INVALID_PARAMETER. Only these functions should change the environment while other
// threads run: they serialise their own reads and writes.
std::optional<std::string> GetEnvironmentVariable(std::string_view name);
// A value of nothing removes the variable.
bool SetEnvironmentVariable(std::string_view name, std::optional<std::string_view> value);

// The common application-data folder in Windows form ("C:\var\lib"), without a final backslash.
std::string GetCommonAppDataFolder();

// Points the common application-data folder at a Linux folder while it lives.
class ScopedCommonAppDataFolder {
  public:
    explicit ScopedCommonAppDataFolder(std::string linuxFolder);
    ~ScopedCommonAppDataFolder();
    ScopedCommonAppDataFolder(const ScopedCommonAppDataFolder&) = delete;
    ScopedCommonAppDataFolder& operator=(const ScopedCommonAppDataFolder&) = delete;

  private:
    std::string previous_;
};

// The temporary folder in Windows form with a final backslash ("C:\tmp\"), as GetTempPath gives
// it: TMPDIR when it is an absolute path, else /tmp.
std::string GetTempPath();

}  // namespace os
