// The driver's start routine and the state it keeps for the driver's life: every subsystem brought
// up in its order, a start that fails half-way unwound in reverse, the driver's identity and the
// start banner. There is no unload: once started, the driver runs until its host process ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "os/core/status.h"

namespace wexo::drv {

// The value of the driver's service key that holds the installation's authentication secret
// (REG_BINARY): a host that serves its registry to other processes keeps it from them.
inline constexpr char kAuthSecretValueName[] = "Auth Secret";

// ---- Identity of the image ----
inline constexpr char kImageFileName[] = "WexoWfp.sys";
inline constexpr char kDriverName[] = "WexoWfp";
inline constexpr uint32_t kVersionMajor = 6;
inline constexpr uint32_t kVersionMinor = 2;
inline constexpr uint32_t kVersionRevision = 9;
inline constexpr unsigned long kVersionBuild = 4;
// The version as the event log and the version resource give it; the build is separate.
inline constexpr char kVersionText[] = "6.02.09";
inline constexpr char kBuildFlavour[] = "Release x64";
inline constexpr char kInterfaceVersionText[] = "2";
// The compiler's date and time of this image ("Dec  8 2017", "15:16:20").
const char* BuildDate();
const char* BuildTime();

// The registry path's fifth component, upper-cased ("\REGISTRY\MACHINE\SYSTEM\ControlSet001\..."
// gives "CONTROLSET001"); empty when the path has fewer components.
std::u16string ControlSetName(std::u16string_view registryPath);

// What the loader hands the start routine besides the registry path.
struct DRIVER_OBJECT {
    // The name the event log shows as the entries' source and first insertion string.
    std::string name = kDriverName;
    // The loaded image's full path as the loader recorded it.
    std::u16string imagePath = u"\\SystemRoot\\system32\\DRIVERS\\WexoWfp.sys";
};

struct OS_VERSION {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
};

// The version through RtlGetVersion, else PsGetVersion, else 0.0.0.
OS_VERSION ReadOsVersion();

class CONTROL_DEVICE;
class SERVICE_CALL_QUEUE;
class STREAM_FILTER;
class URL_LOOKUP;
class WFP_REGISTRATION;
class PROTECTION_STATE;
class FILE_PROTECTION;
class REGISTRY_PROTECTION;
class DRIVER_IMAGE_FILE;
class DRIVER_SETTINGS;
class REMAP_RESOLVER;

class WEXO_DRIVER {
  public:
    WEXO_DRIVER();
    // The host process ends: the threads are stopped and what the start made is released. This
    // is not an unload routine; nothing registers it with the system.
    ~WEXO_DRIVER();
    WEXO_DRIVER(const WEXO_DRIVER&) = delete;
    WEXO_DRIVER& operator=(const WEXO_DRIVER&) = delete;

    // STATUS_SUCCESS, or STATUS_UNSUCCESSFUL for any failure (the cause only reaches the event
    // log), with everything the start made undone. A driver object starts once.
    os::NTSTATUS DriverEntry(DRIVER_OBJECT& driverObject, std::u16string_view registryPath);

    // The driver's own image file: held open from the start (so that a self-update can replace
    // it safely) and an image an earlier update left beside it deleted. Set before the start.
    struct IMAGE_FILE_HOOKS {
        std::function<void()> open;
        std::function<void()> deleteLeftover;
    };
    void SetImageFileHooks(IMAGE_FILE_HOOKS hooks);
    // The hooks that hold the image at the driver object's image path and delete the leftover
    // beside it, through the driver's file-system filter. A host whose image path lies on a
    // mounted volume sets these; the self-update and the release reach the same image.
    IMAGE_FILE_HOOKS OwnImageFileHooks();

    // The host's observer of the registered service process (0: none); set before the start.
    void OnServiceProcessChanged(std::function<void(uint32_t processId)> observer);

    bool Running() const { return running_; }
    const OS_VERSION& OsVersion() const;
    const std::u16string& CurrentControlSetName() const;

    CONTROL_DEVICE& Device();
    SERVICE_CALL_QUEUE& Queue();
    STREAM_FILTER& Filter();
    URL_LOOKUP& Lookup();
    WFP_REGISTRATION& Registration();
    PROTECTION_STATE& Protection();
    FILE_PROTECTION& FileProtection();
    REGISTRY_PROTECTION& RegistryProtection();
    DRIVER_IMAGE_FILE& Image();
    DRIVER_SETTINGS& Settings();
    REMAP_RESOLVER& Resolver();

  private:
    // Where the unwinding of a failed start begins; each step undoes its own and all below it.
    enum class UNWIND_FROM { U3, U4, U5, U6, U7, U8 };
    void Unwind(UNWIND_FROM from);
    os::NTSTATUS Fail(UNWIND_FROM from);
    void PrintBanner();
    void InstallAuthSecret();

    struct STATE;
    std::unique_ptr<STATE> state_;
    IMAGE_FILE_HOOKS imageHooks_;
    bool running_ = false;
    bool started_ = false;
};

}  // namespace wexo::drv
