// What the product's programs take from their environment for development and the demo.
#pragma once

namespace wexo::pipeline {

// The variable's value, or null when it is unset or empty.
const char* EnvironmentValue(const char* name);

// Installs the registry store of the file WEXO_REGISTRY_FILE names as the system registry (none
// named: the store in memory stays). False, with a line naming `program`, when the file cannot be
// used.
bool InstallRegistryFile(const char* program);

// Writes WEXO_POLICY_SERVERS (when set) to the product key's "PolicyServers", with "ServerMode"
// balanced, as an installer leaves them. Once the driver runs only the registered service may
// change the product key, so the driver host writes them before its driver starts. False, with a
// line naming `program`, when the key refused them.
bool WritePolicyServers(const char* program);

// Writes WEXO_TLS_CA_FILE (when set) to the product key's "TlsCaFile": the authority whose
// certificates the service's verified requests trust (the demo's reference API server's), written
// before the driver starts for the same reason. False, with a line naming `program`, when the key
// refused it.
bool WriteTlsCaFile(const char* program);

}  // namespace wexo::pipeline
