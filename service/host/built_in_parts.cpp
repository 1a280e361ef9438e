#include "service/host/built_in_parts.h"

#include <charconv>
#include <fstream>
#include <memory>

#include "service/checkin/device_identity.h"
#include "service/checkin/identity.h"

namespace wexo::svc {
namespace {

// The value of "NAME=value" in one of logind's state files.
std::optional<std::string> StateValue(const std::string& path, std::string_view name) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 &&
            line[name.size()] == '=') {
            return line.substr(name.size() + 1);
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> Number(const std::optional<std::string>& text) {
    uint32_t value = 0;
    if (!text || text->empty()) {
        return std::nullopt;
    }
    auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (error != std::errc() || end != text->data() + text->size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<uint32_t> SessionUserId(uint32_t sessionId, std::string_view runRoot) {
    return Number(
        StateValue(std::string(runRoot) + "/sessions/" + std::to_string(sessionId), "UID"));
}

std::optional<uint32_t> ActiveConsoleSession(std::string_view runRoot) {
    return Number(StateValue(std::string(runRoot) + "/seats/seat0", "ACTIVE"));
}

HOST_PARTS BuiltInHostParts() {
    auto identity = std::make_shared<DEVICE_IDENTITY>();
    HOST_PARTS parts;
    parts.getMacAddress = [identity] { return identity->MacAddress(); };
    parts.gatherDeviceInformation = [identity](DEVICE_INFORMATION& device,
                                               const std::string& deviceIdOverride) {
        identity->SetDeviceIdOverride(deviceIdOverride);
        identity->GatherSystemInformation(device);
    };
    parts.showProcesses = [] { return ShowProcesses(); };
    parts.cloudAccountDomain = [](uint32_t sessionId) {
        std::string domain;
        const SESSION_USER_SID userSid = [](uint32_t session, std::vector<uint8_t>* sid) {
            std::optional<uint32_t> uid = SessionUserId(session);
            if (!uid) {
                return false;
            }
            *sid = UnixUserSid(*uid);
            return true;
        };
        return GetCloudDomainForSessionId(sessionId, userSid, &domain) ? domain : std::string();
    };
    parts.consoleSession = [] { return ActiveConsoleSession(); };
    return parts;
}

}  // namespace wexo::svc
