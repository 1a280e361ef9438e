#include "tools/pipeline/program_environment.h"

#include <cstdio>
#include <cstdlib>

#include "os/registry/registry.h"

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

}  // namespace wexo::pipeline
