#include "os/win32/environment.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "os/core/status.h"

namespace os {
namespace {

struct EnvironmentState {
    std::mutex lock;
    bool modulePathSet = false;
    std::string modulePath;
    uint32_t modulePathError = ERROR_SUCCESS;
    std::string commonAppData = kCommonAppDataLinuxFolder;
};

EnvironmentState& State() {
    static EnvironmentState state;
    return state;
}

// getenv and setenv are not safe against each other; ours take this lock.
std::mutex gEnvironmentLock;

bool IsValidVariableName(std::string_view name) {
    return !name.empty() && name.find('=') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}

}  // namespace

std::optional<std::string> WindowsPathFromLinux(std::string_view linuxPath) {
    if (linuxPath.empty() || linuxPath.front() != '/' ||
        linuxPath.find('\\') != std::string_view::npos ||
        linuxPath.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string path = "C:";
    for (char c : linuxPath)
        path += c == '/' ? '\\' : c;
    return path;
}

std::optional<std::string> LinuxPathFromWindows(std::string_view windowsPath) {
    if (windowsPath.size() < 2 || (windowsPath[0] != 'C' && windowsPath[0] != 'c') ||
        windowsPath[1] != ':' || windowsPath.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = windowsPath.substr(2);
    if (rest.empty())
        return std::string("/");
    if (rest.front() != '\\' && rest.front() != '/')
        return std::nullopt;
    std::string path;
    for (char c : rest)
        path += c == '\\' ? '/' : c;
    return path;
}

bool GetModuleFileName(std::string& path) {
    {
        EnvironmentState& state = State();
        std::lock_guard guard(state.lock);
        if (state.modulePathSet) {
            if (state.modulePathError != ERROR_SUCCESS) {
                SetLastError(state.modulePathError);
                return false;
            }
            path = state.modulePath;
            return true;
        }
    }
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            SetLastError(Win32ErrorFromErrno(errno));
            return false;
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            auto windows = WindowsPathFromLinux({buffer.data(), static_cast<size_t>(length)});
            if (!windows) {
                SetLastError(ERROR_INVALID_NAME);
                return false;
            }
            path = *windows;
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

ScopedModulePath::ScopedModulePath(std::string windowsPath) {
    EnvironmentState& state = State();
    std::lock_guard guard(state.lock);
    previousSet_ = state.modulePathSet;
    previousPath_ = std::move(state.modulePath);
    previousError_ = state.modulePathError;
    state.modulePathSet = true;
    state.modulePath = std::move(windowsPath);
    state.modulePathError = ERROR_SUCCESS;
}

ScopedModulePath::ScopedModulePath(ModulePathError failure) : ScopedModulePath(std::string()) {
    EnvironmentState& state = State();
    std::lock_guard guard(state.lock);
    state.modulePathError = failure.error != ERROR_SUCCESS ? failure.error : ERROR_GEN_FAILURE;
}

ScopedModulePath::~ScopedModulePath() {
    EnvironmentState& state = State();
    std::lock_guard guard(state.lock);
    state.modulePathSet = previousSet_;
    state.modulePath = std::move(previousPath_);
    state.modulePathError = previousError_;
}

std::optional<std::string> GetEnvironmentVariable(std::string_view name) {
    if (!IsValidVariableName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    const std::string key(name);
    std::lock_guard guard(gEnvironmentLock);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return std::nullopt;
    }
    return std::string(value);
}

bool SetEnvironmentVariable(std::string_view name, std::optional<std::string_view> value) {
    if (!IsValidVariableName(name) || (value && value->find('\0') != std::string_view::npos)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string key(name);
    std::lock_guard guard(gEnvironmentLock);
    int result =
        value ? ::setenv(key.c_str(), std::string(*value).c_str(), 1) : ::unsetenv(key.c_str());
    if (result != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return false;
    }
    return true;
}

std::string GetCommonAppDataFolder() {
    std::string folder;
    {
        EnvironmentState& state = State();
        std::lock_guard guard(state.lock);
        folder = state.commonAppData;
    }
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    auto windows = WindowsPathFromLinux(folder);
    if (!windows)
        windows = WindowsPathFromLinux(kCommonAppDataLinuxFolder);
    return *windows;
}

ScopedCommonAppDataFolder::ScopedCommonAppDataFolder(std::string linuxFolder) {
    EnvironmentState& state = State();
    std::lock_guard guard(state.lock);
    previous_ = std::move(state.commonAppData);
    state.commonAppData = std::move(linuxFolder);
}

ScopedCommonAppDataFolder::~ScopedCommonAppDataFolder() {
    EnvironmentState& state = State();
    std::lock_guard guard(state.lock);
    state.commonAppData = std::move(previous_);
}

std::string GetTempPath() {
    std::string folder = "/tmp";
    {
        std::lock_guard guard(gEnvironmentLock);
        const char* tmpdir = std::getenv("TMPDIR");
        if (tmpdir != nullptr && tmpdir[0] == '/' &&
            std::string_view(tmpdir).find('\\') == std::string_view::npos) {
            folder = tmpdir;
        }
    }
    std::string path = *WindowsPathFromLinux(folder);
    if (path.back() != '\\')
        path += '\\';
    return path;
}

}  // namespace os
