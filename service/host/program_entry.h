// The program's entry: debug output modes, the command line, the deployment, the version banner,
// the test modes that run single steps of the service in the foreground, and the choice between
// running under the service manager, as an application ("A") or starting and stopping at once
// ("X").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "os/registry/registry.h"
#include "service/host/command_line.h"
#include "service/host/service_host.h"

namespace wexo::svc {

// Exit codes of the program besides 0 and the invalid argument's 2.
constexpr int kExitWinsockFailed = 1010;
constexpr int kExitDispatcherFailed = 1006;
// A test mode whose part is not in this build.
constexpr int kExitNotAvailable = 3;

// Runs the program with its whole argument vector (the program's name first); returns the exit
// code.
int WexoSvcMain(const std::vector<std::string>& arguments, HOST_PARTS parts = {});

// The deployment a process runs against: the command line's, else the registry value
// "Deployment" when it is 1 to 3, else Production.
int32_t ChooseDeployment(int32_t commandLine, const os::RegKey& productKey);
// Deployment 1 deletes "Deployment"; 2 and 3 write it.
void WriteDeployment(const os::RegKey& productKey, int32_t deployment);
// Non-zero command-line flags are written to "DebugOutput" ("Debug output mode saved").
void SaveDebugOutputMode(const os::RegKey& productKey, uint32_t commandLineFlags);

// The policy-server test thread "A" or "B": hands out the current server at random intervals
// until the stop event.
void PolicyServerTestThread(const char* name, class POLICY_SERVERS& servers, os::Event& stop);

}  // namespace wexo::svc
