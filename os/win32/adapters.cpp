#include "os/win32/adapters.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "os/core/status.h"

namespace os {
namespace {

constexpr uint32_t kArpHardwareEther = 1;
constexpr uint32_t kArpHardwareLoopback = 772;

bool Exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

bool ReadNumber(const std::string& path, uint32_t* value) {
    std::string text;
    if (ReadFactFile(path, &text) != ERROR_SUCCESS || text.empty()) {
        return false;
    }
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || number > UINT32_MAX) {
            return false;
        }
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    if (number > UINT32_MAX) {
        return false;
    }
    *value = static_cast<uint32_t>(number);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// "00:1a:2b:3c:4d:5e"; anything that is not colon-separated pairs gives no address.
std::vector<uint8_t> ParseAddress(std::string_view text) {
    std::vector<uint8_t> bytes;
    while (!text.empty()) {
        if (text.size() < 2 || HexDigit(text[0]) < 0 || HexDigit(text[1]) < 0 ||
            (text.size() > 2 && text[2] != ':')) {
            return {};
        }
        bytes.push_back(static_cast<uint8_t>(HexDigit(text[0]) << 4 | HexDigit(text[1])));
        text.remove_prefix(std::min<size_t>(3, text.size()));
    }
    if (bytes.size() > MAX_ADAPTER_ADDRESS_LENGTH) {
        bytes.resize(MAX_ADAPTER_ADDRESS_LENGTH);
    }
    return bytes;
}

bool ValidName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool IsPhysicalInterface(std::string_view name, const std::string& sysfsRoot) {
    return ValidName(name) && Exists(sysfsRoot + "/class/net/" + std::string(name) + "/device");
}

INTERFACE_DEVICE QueryInterfaceDevice(std::string_view name, const std::string& sysfsRoot) {
    INTERFACE_DEVICE result;
    const std::string folder = sysfsRoot + "/class/net";
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        result.error = Win32ErrorFromErrno(errno == 0 ? ENOTDIR : errno);
        result.failedStep = INTERFACE_QUERY_STEP::Enumerate;
        return result;
    }
    if (!ValidName(name)) {
        result.error = ERROR_INVALID_NAME;
        result.failedStep = INTERFACE_QUERY_STEP::Name;
        return result;
    }
    const std::string device = folder + "/" + std::string(name) + "/device";
    if (lstat(device.c_str(), &info) == 0) {
        result.physical = true;
    } else if (errno != ENOENT && errno != ENOTDIR) {
        result.error = Win32ErrorFromErrno(errno);
        result.failedStep = INTERFACE_QUERY_STEP::Characteristics;
    }
    return result;
}

uint32_t GetAdaptersInfo(std::vector<IP_ADAPTER_INFO>* adapters, const std::string& sysfsRoot) {
    adapters->clear();
    const std::string folder = sysfsRoot + "/class/net";
    std::error_code error;
    std::filesystem::directory_iterator it(folder, error);
    if (error) {
        return Win32ErrorFromErrno(error.value());
    }
    std::vector<IP_ADAPTER_INFO> found;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) {
            return Win32ErrorFromErrno(error.value());
        }
        const std::string name = it->path().filename().string();
        const std::string base = folder + "/" + name;
        IP_ADAPTER_INFO adapter;
        if (!ValidName(name) || !ReadNumber(base + "/ifindex", &adapter.index)) {
            continue;  // not an interface, or gone since the listing
        }
        adapter.adapterName = name;
        std::error_code linkError;
        std::filesystem::path driver =
            std::filesystem::read_symlink(base + "/device/driver", linkError);
        adapter.description =
            !linkError && !driver.filename().empty() ? driver.filename().string() : name;
        uint32_t hardwareType = 0;
        bool knownType = ReadNumber(base + "/type", &hardwareType);
        if (Exists(base + "/wireless") || Exists(base + "/phy80211")) {
            adapter.type = IF_TYPE_IEEE80211;
        } else if (knownType && hardwareType == kArpHardwareLoopback) {
            adapter.type = MIB_IF_TYPE_LOOPBACK;
        } else if (knownType && hardwareType == kArpHardwareEther) {
            adapter.type = MIB_IF_TYPE_ETHERNET;
        } else {
            adapter.type = MIB_IF_TYPE_OTHER;
        }
        std::string address;
        if (ReadFactFile(base + "/address", &address) == ERROR_SUCCESS) {
            adapter.address = ParseAddress(address);
        }
        adapter.physical = Exists(base + "/device");
        found.push_back(std::move(adapter));
    }
    std::sort(found.begin(), found.end(), [](const IP_ADAPTER_INFO& a, const IP_ADAPTER_INFO& b) {
        return a.index != b.index ? a.index < b.index : a.adapterName < b.adapterName;
    });
    *adapters = std::move(found);
    return ERROR_SUCCESS;
}

}  // namespace os
