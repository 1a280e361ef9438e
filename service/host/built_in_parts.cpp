#include "service/host/built_in_parts.h"

#include <charconv>
#include <fstream>
#include <memory>

#include "service/checkin/check_in.h"
#include "service/checkin/device_identity.h"
#include "service/checkin/dns_remap_list.h"
#include "service/checkin/identity.h"
#include "service/checkin/software_update.h"

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

// What the host applies of a check-in reply: only the members the reply carried.
CHECK_IN_RESULT CheckInResultOf(const CHECK_IN_REPLY& reply) {
    CHECK_IN_RESULT result;
    if ((reply.received & CHECK_IN_RECEIVED_SERVERS) != 0) {
        result.servers = reply.servers;
    }
    result.serverMode = reply.serverMode;
    if ((reply.received & CHECK_IN_RECEIVED_DORMANT) != 0) {
        result.dormant = reply.dormant != 0;
    }
    if ((reply.received & CHECK_IN_RECEIVED_NEXT_CHECK_IN) != 0) {
        result.nextCheckIn = os::UtcToSystemTime(reply.nextCheckIn);
    }
    result.updateUrl = reply.updateUrl;
    return result;
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
    parts.updateDnsRemapList = [](SETTINGS& settings, POLICY_SERVERS* servers,
                                  DEVICE_INFORMATION& device) {
        UpdateDnsRemapList(settings,
                           servers != nullptr ? CurrentServerOf(*servers) : CURRENT_POLICY_SERVER(),
                           device.GetUniqueDeviceId());
    };
    parts.checkIn = [](const std::string& domain, const std::string& macAddress,
                       const std::string& uniqueDeviceId, CHECK_IN_RESULT* result) {
        CHECK_IN_REPLY reply;
        const bool read = CheckIn(domain.empty() ? nullptr : domain.c_str(), macAddress,
                                  CurrentCheckInDevice(uniqueDeviceId), &reply);
        *result = CheckInResultOf(reply);
        return read;
    };
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
    parts.startUpdate = [](const std::string& url, UPDATE_PROCESS* update) {
        std::shared_ptr<os::STARTED_PROCESS> process = StartSoftwareUpdate(url);
        if (!process) {
            return false;
        }
        // The check-in thread waits on the process's end and reads its code; both live as long
        // as either of them is held.
        update->process = std::shared_ptr<os::DispatcherObject>(process, &process->Ended());
        update->exitCode = [process] { return process->ExitCode(); };
        return true;
    };
    return parts;
}

}  // namespace wexo::svc
