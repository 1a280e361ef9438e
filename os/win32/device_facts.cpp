#include "os/win32/device_facts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "os/core/status.h"

namespace os {
namespace {

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\n' ||
                             text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// One "processor" block of /proc/cpuinfo: its fields by name.
using CPU_BLOCK = std::map<std::string, std::string, std::less<>>;

std::vector<CPU_BLOCK> ParseCpuInfo(std::string_view text) {
    std::vector<CPU_BLOCK> blocks;
    bool inBlock = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        size_t colon = line.find(':');
        if (TrimBlanks(line).empty() || colon == std::string_view::npos) {
            inBlock = false;
            continue;
        }
        std::string key(TrimBlanks(line.substr(0, colon)));
        std::string value(TrimBlanks(line.substr(colon + 1)));
        // Blocks are separated by blank lines; a "processor" line starts one as well, so that a
        // file without the blank lines still counts each processor.
        if (!inBlock || key == "processor") {
            blocks.emplace_back();
            inBlock = true;
        }
        blocks.back()[key] = value;
    }
    return blocks;
}

bool Field(const CPU_BLOCK& block, std::string_view key, std::string* value) {
    auto it = block.find(key);
    if (it == block.end()) {
        return false;
    }
    *value = it->second;
    return true;
}

uint32_t ToNumber(const std::string& text) {
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return static_cast<uint32_t>(value);
}

std::string Machine(const DEVICE_FACT_SOURCES& sources) {
    if (!sources.machine.empty()) {
        return sources.machine;
    }
    utsname name{};
    return uname(&name) == 0 ? std::string(name.machine) : std::string();
}

std::string DmiPath(const DEVICE_FACT_SOURCES& sources, const char* file) {
    return sources.sysfsRoot + "/class/dmi/id/" + file;
}

}  // namespace

uint32_t ReadFactFile(const std::string& path, std::string* text) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return Win32ErrorFromErrno(errno);
    }
    std::string content;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            int err = errno;
            close(fd);
            return Win32ErrorFromErrno(err);
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r' ||
                                content.back() == ' ' || content.back() == '\t')) {
        content.pop_back();
    }
    *text = std::move(content);
    return ERROR_SUCCESS;
}

uint32_t ConnectDeviceFacts(const DEVICE_FACT_SOURCES& sources) {
    for (const std::string& folder : {sources.sysfsRoot + "/class/dmi/id", sources.procRoot}) {
        struct stat info {};
        if (stat(folder.c_str(), &info) != 0) {
            return Win32ErrorFromErrno(errno);
        }
        if (!S_ISDIR(info.st_mode)) {
            return ERROR_PATH_NOT_FOUND;
        }
    }
    return ERROR_SUCCESS;
}

uint32_t QueryProcessorFacts(const DEVICE_FACT_SOURCES& sources, PROCESSOR_FACTS* facts) {
    std::string text;
    if (uint32_t error = ReadFactFile(sources.procRoot + "/cpuinfo", &text);
        error != ERROR_SUCCESS) {
        return error;
    }
    std::vector<CPU_BLOCK> blocks = ParseCpuInfo(text);
    uint32_t logical = 0;
    std::set<std::pair<std::string, std::string>> cores;
    for (const CPU_BLOCK& block : blocks) {
        if (block.count("processor") == 0) {
            continue;
        }
        ++logical;
        std::string package, core;
        if (Field(block, "physical id", &package) && Field(block, "core id", &core)) {
            cores.emplace(package, core);
        }
    }
    const CPU_BLOCK* first = nullptr;
    for (const CPU_BLOCK& block : blocks) {
        if (block.count("processor") != 0) {
            first = &block;
            break;
        }
    }
    PROCESSOR_FACTS out;
    std::string family, model, stepping;
    if (first == nullptr || !Field(*first, "vendor_id", &out.manufacturer) ||
        !Field(*first, "cpu family", &family) || !Field(*first, "model", &model) ||
        !Field(*first, "stepping", &stepping) || !Field(*first, "model name", &out.name)) {
        return ERROR_NOT_FOUND;
    }
    out.description =
        Machine(sources) + " Family " + family + " Model " + model + " Stepping " + stepping;
    out.numberOfLogicalProcessors = logical;
    std::string perPackage;
    if (!cores.empty()) {
        out.numberOfCores = static_cast<uint32_t>(cores.size());
    } else if (Field(*first, "cpu cores", &perPackage)) {
        out.numberOfCores = ToNumber(perPackage);
    } else {
        out.numberOfCores = logical;
    }
    *facts = std::move(out);
    return ERROR_SUCCESS;
}

uint32_t QueryBaseBoardFacts(const DEVICE_FACT_SOURCES& sources, BASEBOARD_FACTS* facts) {
    BASEBOARD_FACTS out;
    if (uint32_t error = ReadFactFile(DmiPath(sources, "board_vendor"), &out.manufacturer);
        error != ERROR_SUCCESS) {
        return error;
    }
    if (uint32_t error = ReadFactFile(DmiPath(sources, "board_serial"), &out.serialNumber);
        error != ERROR_SUCCESS) {
        return error;
    }
    *facts = std::move(out);
    return ERROR_SUCCESS;
}

uint32_t QueryBiosFacts(const DEVICE_FACT_SOURCES& sources, BIOS_FACTS* facts) {
    BIOS_FACTS out;
    if (uint32_t error = ReadFactFile(DmiPath(sources, "product_serial"), &out.serialNumber);
        error != ERROR_SUCCESS) {
        return error;
    }
    *facts = std::move(out);
    return ERROR_SUCCESS;
}

}  // namespace os
