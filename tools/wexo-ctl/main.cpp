// wexo-ctl: the administrator's commands to the running driver that need the installation's
// secret. Run as root: the secret is read from the driver's service key through the driver host's
// registry bridge, which gives it to no other user.
//
//   wexo-ctl update-driver FILE   replaces the driver's image (the driver host's program) with
//                                 FILE, a whole executable; it runs from the next start of the
//                                 host. The file protection is suspended for the update (the
//                                 image lies in the protected program folder) and resumed after.
//
// Environment: WEXO_RUNTIME_DIR, the folder of the bridge sockets (default /run/wexo).
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/caller_auth.h"
#include "common/control_codes.h"
#include "common/driver_update.h"
#include "driver/platform/driver_entry.h"
#include "os/bridge/device_bridge.h"
#include "os/bridge/registry_bridge.h"
#include "os/core/process.h"
#include "os/core/status.h"
#include "os/registry/registry.h"
#include "os/win32/handles.h"
#include "tools/pipeline/host_image.h"

namespace {

using namespace wexo;

constexpr char kServiceSubKey[] = "SYSTEM\\ControlSet001\\Services\\WexoWfp";

// Makes this thread the one authorised for `code`: 0 or the Windows error.
uint32_t Authorise(os::HANDLE device, const std::vector<uint8_t>& secret, uint32_t code) {
    AuthNonce nonce{};
    uint32_t returned = 0;
    if (!os::DeviceIoControl(device, QRN_AUTH_CHALLENGE, nullptr, 0, nonce.data(),
                             static_cast<uint32_t>(nonce.size()), &returned)) {
        return os::GetLastError();
    }
    QRN_AUTH_RESPONSE_REQUEST response{};
    response.function = ControlFunction(code);
    AuthMac mac = ComputeAuthResponse(secret, nonce, os::CurrentThreadId(), response.function);
    std::memcpy(response.mac, mac.data(), mac.size());
    if (!os::DeviceIoControl(device, QRN_AUTH_RESPONSE, &response, sizeof response, nullptr, 0,
                             &returned)) {
        return os::GetLastError();
    }
    return 0;
}

// An authorised code without input: 0 or the Windows error.
uint32_t Privileged(os::HANDLE device, const std::vector<uint8_t>& secret, uint32_t code,
                    void* input, uint32_t inputLength) {
    uint32_t error = Authorise(device, secret, code);
    if (error != 0) {
        return error;
    }
    uint32_t returned = 0;
    return os::DeviceIoControl(device, code, input, inputLength, nullptr, 0, &returned)
               ? 0
               : os::GetLastError();
}

int UpdateDriver(const std::string& file) {
    char resolved[PATH_MAX];
    struct stat st {};
    if (::realpath(file.c_str(), resolved) == nullptr || ::stat(resolved, &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        std::fprintf(stderr, "wexo-ctl: %s is no file\n", file.c_str());
        return 1;
    }
    os::ConnectRegistryBridge();
    os::RegKey key;
    os::REG_VALUE secretValue;
    uint32_t error = os::RegOpenKeyEx(os::RegKey(os::HKEY_LOCAL_MACHINE), kServiceSubKey, key);
    if (error == os::ERROR_SUCCESS) {
        error = os::RegQueryValue(key, drv::kAuthSecretValueName, secretValue);
    }
    if (error != os::ERROR_SUCCESS || secretValue.type != os::REG_BINARY) {
        std::fprintf(stderr, "wexo-ctl: the installation's secret cannot be read (error %u)\n",
                     static_cast<unsigned>(error));
        return 1;
    }
    static os::DEVICE_BRIDGE_CLIENT bridge;
    os::SetDeviceGateway(&bridge);
    os::HANDLE device = os::CreateFileA(kDeviceOpenPath, os::GENERIC_READ | os::GENERIC_WRITE, 0,
                                        os::OPEN_EXISTING, 0);
    if (device == os::INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "wexo-ctl: the driver's device cannot be opened (error %u)\n",
                     static_cast<unsigned>(os::GetLastError()));
        return 1;
    }
    const std::vector<uint8_t>& secret = secretValue.data;
    error = Privileged(device, secret, QRN_SUSPEND_PROTECTION, nullptr, 0);
    if (error != 0) {
        std::fprintf(stderr, "wexo-ctl: the file protection cannot be suspended (error %u)\n",
                     static_cast<unsigned>(error));
        os::CloseHandle(device);
        return 1;
    }
    std::u16string native = pipeline::NativeNameOf(resolved);
    std::vector<uint8_t> request(kUpdateDriverHeaderSize + (native.size() + 1) * sizeof(char16_t));
    const uint64_t handle = 0;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    std::memcpy(request.data(), &handle, sizeof handle);
    std::memcpy(request.data() + sizeof handle, &size, sizeof size);
    std::memcpy(request.data() + kUpdateDriverHeaderSize, native.c_str(),
                (native.size() + 1) * sizeof(char16_t));
    error = Privileged(device, secret, QRN_UPDATE_DRIVER, request.data(),
                       static_cast<uint32_t>(request.size()));
    uint32_t returned = 0;
    // Resuming needs no secret; it runs whatever the update did.
    if (!os::DeviceIoControl(device, QRN_RESUME_PROTECTION, nullptr, 0, nullptr, 0, &returned)) {
        std::fprintf(stderr, "wexo-ctl: the file protection was not resumed (error %u)\n",
                     static_cast<unsigned>(os::GetLastError()));
    }
    os::CloseHandle(device);
    if (error != 0) {
        std::fprintf(stderr,
                     "wexo-ctl: the driver refused the update (error %u); its image stays as it "
                     "was\n",
                     static_cast<unsigned>(error));
        return 1;
    }
    std::printf(
        "wexo-ctl: the driver's image is replaced; it runs from the next start "
        "(systemctl restart wexowfp)\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "update-driver") {
        return UpdateDriver(argv[2]);
    }
    std::fprintf(stderr, "usage: wexo-ctl update-driver FILE\n");
    return 64;
}
