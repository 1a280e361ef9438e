#include "tools/pipeline/program_environment.h"

#include <cstdio>
#include <cstdlib>

#include "os/core/status.h"
#include "os/registry/registry.h"
#include "service/support/registry_helpers.h"

namespace wexo::pipeline {

const char* EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

bool InstallRegistryFile(const char* program) {
    const char* path = EnvironmentValue("WEXO_REGISTRY_FILE");
    if (path == nullptr) {
        return true;
    }
    os::RegistryOpenResult result;
    auto store = os::RegistryStore::OpenFile(path, os::RegistryOpenOptions{}, &result);
    if (!store) {
        std::fprintf(stderr, "%s: the registry file %s cannot be used\n", program, path);
        return false;
    }
    os::SetSystemRegistry(store);
    return true;
}

bool WritePolicyServers(const char* program) {
    const char* servers = EnvironmentValue("WEXO_POLICY_SERVERS");
    if (servers == nullptr) {
        return true;
    }
    os::RegKey key;
    uint32_t error =
        os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), svc::kProductKeyPath, key);
    if (error == os::ERROR_SUCCESS && !svc::WriteRegistryString(key, "PolicyServers", servers)) {
        error = os::ERROR_ACCESS_DENIED;
    }
    if (error == os::ERROR_SUCCESS && !svc::WriteRegistryDword(key, "ServerMode", 0)) {
        error = os::ERROR_ACCESS_DENIED;
    }
    if (error != os::ERROR_SUCCESS) {
        std::fprintf(stderr, "%s: the policy servers were not written: %s\n", program,
                     os::SystemMessageText(error).c_str());
        return false;
    }
    return true;
}

bool WriteTlsCaFile(const char* program) {
    const char* file = EnvironmentValue("WEXO_TLS_CA_FILE");
    if (file == nullptr) {
        return true;
    }
    os::RegKey key;
    uint32_t error =
        os::RegCreateKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), svc::kProductKeyPath, key);
    if (error == os::ERROR_SUCCESS && !svc::WriteRegistryString(key, "TlsCaFile", file)) {
        error = os::ERROR_ACCESS_DENIED;
    }
    if (error != os::ERROR_SUCCESS) {
        std::fprintf(stderr, "%s: the trusted CA file was not written: %s\n", program,
                     os::SystemMessageText(error).c_str());
        return false;
    }
    return true;
}

}  // namespace wexo::pipeline
