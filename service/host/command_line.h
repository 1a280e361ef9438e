// The program's command line: options after the program name, each "-" or "/" and a name compared
// without regard to case, some taking the next argument as their value. The same parser reads the
// service's start parameters.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace wexo::svc {

struct COMMAND_LINE_OPTIONS {
    uint32_t debugOutputFlags = 0;
    // Read by the program entry before parsing, kept here with the rest.
    uint32_t registryDebugOutputMode = 0;
    uint32_t environmentDebugOutputMode = 0;
    uint32_t policyServerTestSeconds = 60;
    int32_t deployment = 0;  // 0: not given

    std::string updateUrlOverride;  // "UPDATE_URL"
    std::string updatePackageUrl;   // "UPDATE"
    std::string pingServer;         // "PING_SERVER"
    std::string queryUrl;           // "QUERY_URL"
    std::string checkInMacAddress;  // the value of "CHECK_IN"; "@" means the detected address
    std::string logonAccount;       // "LOGON_ACCOUNT"
    std::string uniqueDeviceId;     // "UDID"

    bool testMode = false;
    bool device = false;
    bool policyServerTest = false;
    bool dnsRemappingQuery = false;
    bool checkIn = false;
    bool immediateCheckIn = false;
    bool showProcesses = false;
    bool runAsApplication = false;
    bool runInForeground = false;
    bool version = false;
};

// Parses the arguments after the program name. On the first invalid argument (one without "-" or
// "/", an unknown option, an option without its required value or with a bad one) parsing stops
// and false is returned with that argument in `invalidArgument`.
bool ParseCommandLine(std::span<const std::string> arguments, COMMAND_LINE_OPTIONS* options,
                      std::string* invalidArgument);

// The check-in domain a logon account gives: the text after its last "@", or empty without one.
std::string LogonAccountDomain(std::string_view account);

// The invalid-argument warning: there is no desktop for a message box, so its caption and text go
// to standard error. The program then exits with kInvalidArgumentExitCode.
constexpr int kInvalidArgumentExitCode = 2;
void ShowInvalidArgument(std::string_view argument);
// The caption and text the warning shows.
std::string InvalidArgumentText(std::string_view argument);

}  // namespace wexo::svc
