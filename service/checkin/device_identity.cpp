#include "service/checkin/device_identity.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "os/core/clock.h"
#include "os/core/status.h"
#include "os/registry/registry.h"
#include "os/win32/adapters.h"
#include "os/win32/process_list.h"
#include "service/support/debug_log.h"
#include "service/support/registry_helpers.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

constexpr uint32_t kErrorNoToken = 1008;     // ERROR_NO_TOKEN: the session has no user
constexpr uint32_t kErrorInvalidSid = 1337;  // ERROR_INVALID_SID
constexpr uint32_t kSystemProcessId = 4;

constexpr char kIdentityStoreName[] = "IdentityStore";
constexpr char kIdentityCrlName[] = "IdentityCRL";
constexpr char kStoredIdentitiesPath[] =
    ".DEFAULT\\SOFTWARE\\Microsoft\\IdentityCRL\\StoredIdentities";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

double SecondsSince(uint64_t start) {
    return static_cast<double>(os::QueryInterruptTime() - start) / 1e7;
}

bool IsNotFound(uint32_t error) {
    return error == os::ERROR_FILE_NOT_FOUND || error == os::ERROR_PATH_NOT_FOUND;
}

std::string FormatIdentityText(const os::PROCESSOR_FACTS& processor,
                               const os::BASEBOARD_FACTS& board, const std::string& serial) {
    const unsigned long cores = processor.numberOfCores;
    const unsigned long logical = processor.numberOfLogicalProcessors;
    int length =
        std::snprintf(nullptr, 0, "%s%s%s%lu%lu%s%s%s", processor.manufacturer.c_str(),
                      processor.description.c_str(), processor.name.c_str(), cores, logical,
                      board.manufacturer.c_str(), board.serialNumber.c_str(), serial.c_str());
    if (length <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%s%s%s%lu%lu%s%s%s", processor.manufacturer.c_str(),
                  processor.description.c_str(), processor.name.c_str(), cores, logical,
                  board.manufacturer.c_str(), board.serialNumber.c_str(), serial.c_str());
    text.resize(static_cast<size_t>(length));
    return text;
}

void LogOpenFailure(const std::string& fullPath, uint32_t error) {
    DebugPrint("Unable to open registry key \"%s\".\n    %s. Error code = %lu.", fullPath.c_str(),
               os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
}

bool AccountFromIdentityStore(const std::string& sid, std::string* account) {
    DebugWrite(LINE_VERBOSE, "Looking for SID = %s in %s ...", sid.c_str(), kIdentityStoreName);
    const std::string path =
        FormatText("SOFTWARE\\Microsoft\\IdentityStore\\Cache\\%s\\IdentityCache\\%s", sid.c_str(),
                   sid.c_str());
    const std::string fullPath = "HKEY_LOCAL_MACHINE\\" + path;
    os::RegKey key;
    uint32_t error = os::RegOpenKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), path, key);
    if (error != os::ERROR_SUCCESS) {
        if (!IsNotFound(error)) {
            LogOpenFailure(fullPath, error);
        }
        return false;
    }
    std::string name;
    if (!ReadRegistryString(key, "UserName", name)) {
        error = os::GetLastError();
        if (!IsNotFound(error)) {
            DebugPrint(
                "Unable to read registry value \"UserName\" of key \"%s\".\n    %s. Error "
                "code = %lu.",
                fullPath.c_str(), os::SystemMessageText(error).c_str(),
                static_cast<unsigned long>(error));
        }
        return false;
    }
    if (name.empty()) {
        return false;
    }
    *account = std::move(name);
    return true;
}

bool AccountFromStoredIdentities(const std::string& sid, std::string* account) {
    DebugWrite(LINE_VERBOSE, "Looking for SID = %s in %s ...", sid.c_str(), kIdentityCrlName);
    const std::string fullPath = std::string("HKEY_USERS\\") + kStoredIdentitiesPath;
    os::RegKey stored;
    uint32_t error = os::RegOpenKeyEx(os::RegKey(os::HKEY_USERS), kStoredIdentitiesPath, stored);
    if (error != os::ERROR_SUCCESS) {
        if (!IsNotFound(error)) {
            LogOpenFailure(fullPath, error);
        }
        return false;
    }
    bool found = false;
    // Each subkey is named after an account and holds a key for every SID signed in with it.
    bool walked = EnumerateRegistrySubkeys(stored, [&](const os::RegKey& key,
                                                       const std::string& name) {
        DebugWrite(LINE_VERBOSE, "Identity: Subkey = \"%s\", SID = %s", name.c_str(), sid.c_str());
        os::RegKey sidKey;
        uint32_t openError = os::RegOpenKeyEx(key, name + "\\" + sid, sidKey);
        if (openError == os::ERROR_SUCCESS) {
            *account = name;
            found = true;
            return SubkeyWalk::Stop;
        }
        if (!IsNotFound(openError)) {
            LogOpenFailure(fullPath + "\\" + name + "\\" + sid, openError);
        }
        return SubkeyWalk::Next;
    });
    if (!walked) {
        error = os::GetLastError();
        DebugPrint("Unable to open enumerate registry key \"%s\".\n    %s. Error code = %lu.",
                   fullPath.c_str(), os::SystemMessageText(error).c_str(),
                   static_cast<unsigned long>(error));
    }
    return found;
}

}  // namespace

std::string AdapterTypeName(uint32_t type) {
    switch (type) {
        case os::MIB_IF_TYPE_OTHER:
            return "OTHER";
        case os::MIB_IF_TYPE_ETHERNET:
            return "ETHERNET";
        case os::MIB_IF_TYPE_TOKENRING:
            return "TOKENRING";
        case os::MIB_IF_TYPE_FDDI:
            return "FDDI";
        case os::MIB_IF_TYPE_PPP:
            return "PPP";
        case os::MIB_IF_TYPE_LOOPBACK:
            return "LOOPBACK";
        case os::MIB_IF_TYPE_SLIP:
            return "SLIP";
        case os::IF_TYPE_IEEE80211:
            return "WIRELESS";
        default:
            return std::to_string(type);
    }
}

std::string MacAddressText(std::span<const uint8_t> address) {
    std::string text;
    for (uint8_t byte : address) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02X", byte);
        if (!text.empty()) {
            text += ':';
        }
        text += pair;
    }
    return text;
}

const char* InvalidBiosSerialReason(std::string_view serial) {
    if (serial.empty() || EqualsIgnoringCase(serial, "NONE") ||
        EqualsIgnoringCase(serial, "INVALID")) {
        return "Empty or invalid";
    }
    const bool allSame =
        std::all_of(serial.begin(), serial.end(), [&](char c) { return c == serial.front(); });
    const bool anyBlank = std::any_of(serial.begin(), serial.end(), IsBlank);
    if (allSame && anyBlank) {
        return "All spaces";
    }
    if (serial.size() < 7) {
        return "Contains less than 7 characters";
    }
    if (allSame) {
        return "Every character is the same";
    }
    const bool anyDigit = std::any_of(serial.begin(), serial.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    if (anyBlank && !anyDigit) {
        return "Contains spaces without digits";
    }
    return nullptr;
}

std::string UniqueDeviceIdFromIdentityText(std::string_view identityText) {
    // The ID is defined over the UTF-16 form of the text, as Windows holds it, so that one device
    // keeps one ID whichever system computes it. The registry's string data is that form with a
    // terminator, which is not hashed.
    std::vector<uint8_t> wide = os::RegStringData(identityText);
    wide.resize(wide.size() - 2);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(wide.data(), wide.size(), digest, &digestLength, EVP_sha1(), nullptr) != 1 ||
        digestLength < 16) {
        return {};
    }
    // The digest's first 16 bytes are a GUID as it lies in memory: the first three fields are
    // little-endian numbers, the last eight bytes are written in order.
    const unsigned long data1 =
        static_cast<unsigned long>(digest[0]) | static_cast<unsigned long>(digest[1]) << 8 |
        static_cast<unsigned long>(digest[2]) << 16 | static_cast<unsigned long>(digest[3]) << 24;
    const unsigned data2 = static_cast<unsigned>(digest[4] | digest[5] << 8);
    const unsigned data3 = static_cast<unsigned>(digest[6] | digest[7] << 8);
    char text[DEVICE_INFORMATION::kDeviceIdLength + 1];
    std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", data1,
                  data2, data3, digest[8], digest[9], digest[10], digest[11], digest[12],
                  digest[13], digest[14], digest[15]);
    return text;
}

DEVICE_IDENTITY::DEVICE_IDENTITY(os::DEVICE_FACT_SOURCES sources) : sources_(std::move(sources)) {}

void DEVICE_IDENTITY::SetDeviceIdOverride(std::string_view deviceId) {
    std::lock_guard guard(lock_);
    deviceIdOverride_ = std::string(deviceId.substr(0, kMaxDeviceIdOverride));
}

bool DEVICE_IDENTITY::IsPhysicalAdapter(const std::string& adapterName) {
    const os::INTERFACE_DEVICE device = os::QueryInterfaceDevice(adapterName, sources_.sysfsRoot);
    const char* format = nullptr;
    switch (device.failedStep) {
        case os::INTERFACE_QUERY_STEP::None:
            return device.physical;
        case os::INTERFACE_QUERY_STEP::Enumerate:
            format = "GetEnumComponents: Unable to create INetCfg instance. %s. Error code = %#lx.";
            break;
        case os::INTERFACE_QUERY_STEP::Name:
            format = "IsPhysicalAdapter: Unable to get bind name. %s. Error code = %#lx.";
            break;
        case os::INTERFACE_QUERY_STEP::Characteristics:
            format = "IsPhysicalAdapter: Unable to get characteristics. %s. Error code = %#lx.";
            break;
    }
    DebugPrint(format, os::SystemMessageText(device.error).c_str(),
               static_cast<unsigned long>(device.error));
    return false;
}

bool DEVICE_IDENTITY::GetMacAddress(std::string* macAddress) {
    macAddress->clear();
    std::vector<os::IP_ADAPTER_INFO> adapters;
    if (uint32_t error = os::GetAdaptersInfo(&adapters, sources_.sysfsRoot);
        error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to get the network adapters. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
    }
    // A wireless adapter is preferred: it is the one that goes with the device wherever it is
    // taken, while a wired one may belong to a dock.
    for (const os::IP_ADAPTER_INFO& adapter : adapters) {
        if (adapter.type == os::IF_TYPE_IEEE80211 && IsPhysicalAdapter(adapter.adapterName)) {
            *macAddress = MacAddressText(adapter.address);
            DebugPrint("Wireless adapter MAC address = %s", macAddress->c_str());
            return true;
        }
    }
    for (const os::IP_ADAPTER_INFO& adapter : adapters) {
        if (adapter.type == os::MIB_IF_TYPE_ETHERNET && IsPhysicalAdapter(adapter.adapterName)) {
            *macAddress = MacAddressText(adapter.address);
            DebugPrint("Wired adapter MAC address = %s", macAddress->c_str());
            return true;
        }
    }
    for (const os::IP_ADAPTER_INFO& adapter : adapters) {
        DebugPrint(
            "Adapter:\n    Name = %s\n    Description = \"%s\"\n    Type = %s\n    MAC "
            "address = %s",
            adapter.adapterName.c_str(), adapter.description.c_str(),
            AdapterTypeName(adapter.type).c_str(), MacAddressText(adapter.address).c_str());
    }
    return false;
}

bool DEVICE_IDENTITY::GatherDeviceInformation(std::string_view macAddress) {
    // The facts' folders stand where the WMI service does: without them there is nothing to ask.
    if (uint32_t error = os::ConnectDeviceFacts(sources_); error != os::ERROR_SUCCESS) {
        DebugPrint("WmiGetServices: Unable to connect to WMI server. %s. Error code = %#lx.",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        return false;
    }
    os::PROCESSOR_FACTS processor;
    os::BASEBOARD_FACTS board;
    os::BIOS_FACTS bios;
    const char* failedClass = nullptr;
    uint32_t error = os::QueryProcessorFacts(sources_, &processor);
    if (error != os::ERROR_SUCCESS) {
        failedClass = "Win32_Processor";
    } else if (error = os::QueryBaseBoardFacts(sources_, &board); error != os::ERROR_SUCCESS) {
        failedClass = "Win32_BaseBoard";
    } else if (error = os::QueryBiosFacts(sources_, &bios); error != os::ERROR_SUCCESS) {
        failedClass = "Win32_Bios";
    }
    if (failedClass != nullptr) {
        const std::string query = FormatText("SELECT * FROM %s", failedClass);
        DebugPrint("WMI query \"%s\" failed. %s. Error code = %lu.", query.c_str(),
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        return false;
    }
    std::string serial = bios.serialNumber;
    if (const char* reason = InvalidBiosSerialReason(serial);
        reason != nullptr && !macAddress.empty()) {
        DebugPrint("Substituting MAC address for BIOS serial number = \"%s\"; %s", serial.c_str(),
                   reason);
        serial = std::string(macAddress);
    }
    std::string text = FormatIdentityText(processor, board, serial);
    std::lock_guard guard(lock_);
    identityText_ = std::move(text);
    return true;
}

std::string DEVICE_IDENTITY::IdentityText() const {
    std::lock_guard guard(lock_);
    return identityText_;
}

std::string DEVICE_IDENTITY::GetUniqueDeviceId() const {
    char buffer[DEVICE_INFORMATION::kDeviceIdLength + 1];
    GetUniqueDeviceId(buffer);
    return buffer;
}

void DEVICE_IDENTITY::GetUniqueDeviceId(
    char (&buffer)[DEVICE_INFORMATION::kDeviceIdLength + 1]) const {
    std::string id;
    {
        std::lock_guard guard(lock_);
        id = deviceIdOverride_.empty() ? UniqueDeviceIdFromIdentityText(identityText_)
                                       : deviceIdOverride_;
    }
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, id.data(), std::min(id.size(), DEVICE_INFORMATION::kDeviceIdLength));
}

bool DEVICE_IDENTITY::GatherSystemInformation(DEVICE_INFORMATION& device) {
    DebugWrite(LINE_VERBOSE, "Getting MAC address ...");
    uint64_t start = os::QueryInterruptTime();
    std::string mac;
    GetMacAddress(&mac);
    DebugPrint("MAC address query completed in %.3f seconds,\n    MAC address = %s",
               SecondsSince(start), mac.c_str());
    {
        std::lock_guard guard(lock_);
        macAddress_ = mac;
    }

    DebugWrite(LINE_VERBOSE, "WMI query ...");
    start = os::QueryInterruptTime();
    bool gathered = GatherDeviceInformation(mac);
    char id[DEVICE_INFORMATION::kDeviceIdLength + 1];
    GetUniqueDeviceId(id);
    DebugPrint("WMI query completed in %.3f seconds,\n    Unique Device ID = %s",
               SecondsSince(start), id);
    device.SetUniqueDeviceId(id);
    device.SetReady();
    return gathered;
}

std::string DEVICE_IDENTITY::MacAddress() const {
    std::lock_guard guard(lock_);
    return macAddress_;
}

bool GetMicrosoftAccountForSid(std::span<const uint8_t> sid, std::string* account) {
    std::string sidText;
    if (!SidToString(sid, &sidText)) {
        DebugPrint("Unable to convert Security ID.\n    %s. Error code = %lu.",
                   os::SystemMessageText(kErrorInvalidSid).c_str(),
                   static_cast<unsigned long>(kErrorInvalidSid));
        return false;
    }
    if (AccountFromIdentityStore(sidText, account)) {
        DebugWrite(LINE_VERBOSE,
                   "Account from IdentityStore:\n    SID = %s,\n    MicrosoftAccount = %s",
                   sidText.c_str(), account->c_str());
        return true;
    }
    if (AccountFromStoredIdentities(sidText, account)) {
        DebugWrite(LINE_VERBOSE,
                   "Account from StoredIdentities:\n    SID = %s,\n    MicrosoftAccount = %s",
                   sidText.c_str(), account->c_str());
        return true;
    }
    return false;
}

bool GetCloudDomainForSessionId(uint32_t sessionId, const SESSION_USER_SID& sessionUserSid,
                                std::string* domain) {
    const SESSION_USER_TOKEN userToken = [&sessionUserSid](uint32_t session, TOKEN_HANDLE* token) {
        auto made = std::make_unique<os::ACCESS_TOKEN>();
        if (!sessionUserSid || !sessionUserSid(session, &made->userSid)) {
            return false;
        }
        made->sessionId = session;
        *token = TOKEN_HANDLE(std::move(made));
        return true;
    };
    return GetCloudDomainForSessionId(sessionId, userToken, domain);
}

bool GetCloudDomainForSessionId(uint32_t sessionId, const SESSION_USER_TOKEN& sessionUserToken,
                                std::string* domain) {
    const unsigned long session = sessionId;
    if (sessionId == 0) {
        DebugPrint("GetCloudDomainForSessionId: No console logon");
        return false;
    }
    TOKEN_HANDLE token;
    os::SetLastError(os::ERROR_SUCCESS);
    if (!sessionUserToken || !sessionUserToken(sessionId, &token) || !token.IsValid()) {
        uint32_t error = os::GetLastError();
        if (error == os::ERROR_SUCCESS) {
            error = kErrorNoToken;
        }
        DebugPrint(
            "GetCloudDomainForSessionId: SessionId = %lu. Unable to get user security "
            "token.\n    %s. Error code = %lu.",
            session, os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        return false;
    }
    std::vector<uint8_t> sid;
    if (!token.GetUser(&sid)) {
        return false;
    }
    std::string account;
    if (!GetMicrosoftAccountForSid(sid, &account)) {
        return false;
    }
    size_t at = account.rfind('@');
    if (at == std::string::npos) {
        DebugPrint(
            "GetCloudDomainForSessionId: SessionId = %lu, Unexpected Microsoft account = "
            "\"%s\"",
            session, account.c_str());
        return false;
    }
    *domain = account.substr(at + 1);
    DebugPrint("GetCloudDomainForSessionId: SessionId = %lu, Domain = \"%s\"", session,
               domain->c_str());
    return true;
}

bool ShowProcesses(const std::string& procRoot) {
    std::vector<os::PROCESSENTRY32> processes;
    if (uint32_t error = os::CreateProcessSnapshot(&processes, procRoot);
        error != os::ERROR_SUCCESS) {
        DebugPrint("Unable to get snapshot of running proceses. %s. Error code = %lu.",
                   os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        return false;
    }
    for (const os::PROCESSENTRY32& process : processes) {
        const unsigned long pid = process.processId;
        if (process.processId == 0 || process.processId == kSystemProcessId) {
            continue;
        }
        std::string session;
        uint32_t sessionId = 0;
        uint32_t error = os::ProcessIdToSessionId(process.processId, &sessionId, procRoot);
        if (error == os::ERROR_INVALID_PARAMETER) {
            continue;  // ended since the snapshot
        }
        if (error == os::ERROR_SUCCESS) {
            session = std::to_string(sessionId);
        } else {
            DebugPrint("Unable to get the session ID for process ID = %lu. %s. Error code = %lu.",
                       pid, os::SystemMessageText(error).c_str(),
                       static_cast<unsigned long>(error));
        }
        std::string path;
        error = os::QueryFullProcessImageName(process.processId, &path, procRoot);
        if (error == os::ERROR_ACCESS_DENIED || error == os::ERROR_INVALID_PARAMETER) {
            // Where Windows refuses to open the process: another user's process, a kernel
            // thread, one that just ended. Common enough to be kept out of the ordinary log.
            DebugWrite(LINE_VERBOSE, "Unable to open process ID = %lu. %s. Error code = %lu.", pid,
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        } else if (error != os::ERROR_SUCCESS) {
            DebugPrint("Unable to get the full process path. %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
        }
        DebugPrint("PID=%lu%s%s, Name=%s%s%s", pid,
                   session.empty() ? "" : ", SID=", session.c_str(), process.exeFile.c_str(),
                   path.empty() ? "" : ", Path=", path.c_str());
    }
    return true;
}

}  // namespace wexo::svc
