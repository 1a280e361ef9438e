#include "os/win32/process_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "os/core/status.h"

namespace os {
namespace {

constexpr uint32_t kNoLoginSession = 4294967295u;
constexpr uint32_t kErrorInvalidData = 13;  // ERROR_INVALID_DATA

std::string ProcessFolder(const std::string& procRoot, uint32_t processId) {
    return procRoot + "/" + std::to_string(processId);
}

bool ParseProcessId(const std::string& name, uint32_t* processId) {
    if (name.empty() || name.size() > 10) {
        return false;
    }
    uint64_t value = 0;
    for (char c : name) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) {
        return false;
    }
    *processId = static_cast<uint32_t>(value);
    return true;
}

bool FolderExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

uint32_t ReadExeLink(const std::string& folder, std::string* path) {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t got = readlink((folder + "/exe").c_str(), buffer.data(), buffer.size());
        if (got < 0) {
            return static_cast<uint32_t>(errno);
        }
        if (static_cast<size_t>(got) < buffer.size()) {
            path->assign(buffer.data(), static_cast<size_t>(got));
            return 0;
        }
        if (buffer.size() >= (1u << 16)) {
            return static_cast<uint32_t>(ENAMETOOLONG);
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

uint32_t CreateProcessSnapshot(std::vector<PROCESSENTRY32>* processes,
                               const std::string& procRoot) {
    processes->clear();
    std::error_code error;
    std::filesystem::directory_iterator it(procRoot, error);
    if (error) {
        return Win32ErrorFromErrno(error.value());
    }
    std::vector<PROCESSENTRY32> found;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return Win32ErrorFromErrno(error.value());
        }
        PROCESSENTRY32 entry;
        if (!ParseProcessId(it->path().filename().string(), &entry.processId)) {
            continue;
        }
        const std::string folder = ProcessFolder(procRoot, entry.processId);
        if (ReadFactFile(folder + "/comm", &entry.exeFile) != ERROR_SUCCESS ||
            entry.exeFile.empty()) {
            std::string path;
            if (ReadExeLink(folder, &path) != 0) {
                continue;  // ended since the listing
            }
            entry.exeFile = std::filesystem::path(path).filename().string();
        }
        found.push_back(std::move(entry));
    }
    std::sort(found.begin(), found.end(), [](const PROCESSENTRY32& a, const PROCESSENTRY32& b) {
        return a.processId < b.processId;
    });
    *processes = std::move(found);
    return ERROR_SUCCESS;
}

uint32_t ProcessIdToSessionId(uint32_t processId, uint32_t* sessionId,
                              const std::string& procRoot) {
    const std::string folder = ProcessFolder(procRoot, processId);
    std::string text;
    uint32_t error = ReadFactFile(folder + "/sessionid", &text);
    if (error != ERROR_SUCCESS) {
        return FolderExists(folder) ? error : ERROR_INVALID_PARAMETER;
    }
    uint64_t value = 0;
    bool digits = !text.empty();
    for (char c : text) {
        if (c < '0' || c > '9' || value > UINT32_MAX) {
            digits = false;
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (!digits || value > UINT32_MAX) {
        return kErrorInvalidData;
    }
    *sessionId = value == kNoLoginSession ? 0 : static_cast<uint32_t>(value);
    return ERROR_SUCCESS;
}

uint32_t QueryFullProcessImageName(uint32_t processId, std::string* path,
                                   const std::string& procRoot) {
    std::string target;
    uint32_t err = ReadExeLink(ProcessFolder(procRoot, processId), &target);
    switch (err) {
        case 0:
            *path = std::move(target);
            return ERROR_SUCCESS;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ESRCH:
            return ERROR_INVALID_PARAMETER;
        default:
            return Win32ErrorFromErrno(static_cast<int>(err));
    }
}

}  // namespace os
