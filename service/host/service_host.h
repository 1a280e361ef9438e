// The service body: its entry for the service manager, start-up and shut-down in their fixed
// order, the control handler (stop, shutdown, power, sessions), the power state, the check-in
// domain, and the long-lived worker threads (system information, settings, address changes,
// check-in). The parts that come later (check-in protocol, DNS remap list, software update,
// device identity) are reached through HOST_PARTS; until they are built, each says so in the log.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/core/process.h"
#include "os/core/sync.h"
#include "service/checkin/identity.h"
#include "service/checkin/settings.h"
#include "service/host/worker_threads.h"

namespace wexo::svc {

class POLICY_SERVERS;
class POLICY_ENGINE;
class HTTPS_SESSION_MAP;
class SERVICE_CALL_CHANNEL;
struct SERVICE_STOP;
struct POLICY_LOOKUP_CONTEXT;

// Service-specific exit codes.
constexpr uint32_t SERVICE_EXIT_INVALID_PARAMETER = 1;
constexpr uint32_t SERVICE_EXIT_INITIALISE_FAILED = 2;
constexpr uint32_t SERVICE_EXIT_STATUS_FAILED = 3;

// Power states, changed only by compare-and-exchange.
constexpr uint32_t POWER_NORMAL = 0;
constexpr uint32_t POWER_STANDBY = 1;
constexpr uint32_t POWER_RESUMING = 2;
const char* PowerStateName(uint32_t state);  // "normal", "standby", "resuming", "<Invalid>"

// Check-in scheduling, in seconds from now.
constexpr uint32_t kFirstCheckInDelaySeconds = 30;
constexpr uint32_t kMinCheckInSeconds = 21'600;
constexpr uint32_t kMaxCheckInSeconds = 259'200;
constexpr uint32_t kDefaultCheckInSeconds = 86'400;
constexpr uint32_t kPolicyQueryPeriodSeconds = 86'400;

// What a check-in gave.
struct CHECK_IN_RESULT {
    std::vector<std::string> servers;
    int32_t serverMode = SERVER_MODE_NONE;
    std::optional<bool> dormant;
    std::optional<uint64_t> nextCheckIn;  // system time, UTC
    std::string updateUrl;
};

// A software update that was started: its process, waited on with the check-in thread's other
// objects, and its exit code once it ended.
struct UPDATE_PROCESS {
    std::shared_ptr<os::DispatcherObject> process;
    std::function<std::optional<uint32_t>()> exitCode;
};

// The later parts. An empty member is a part not in this build.
struct HOST_PARTS {
    // The MAC text the last gathering found.
    std::function<std::string()> getMacAddress;
    // The system-information step: MAC address, hardware facts, the device ID (the override
    // when one is given) into `device`, which it marks ready.
    std::function<void(DEVICE_INFORMATION& device, const std::string& deviceIdOverride)>
        gatherDeviceInformation;
    std::function<bool()> showProcesses;
    // One check-in. The device ID is the one the host waited for, or empty when the device
    // information never became ready.
    std::function<bool(const std::string& domain, const std::string& macAddress,
                       const std::string& uniqueDeviceId, CHECK_IN_RESULT* result)>
        checkIn;
    // The DNS remap list's update: the settings it changes, the set whose current server it asks
    // (none in the test modes that build no set) and the device whose ID it sends.
    std::function<void(SETTINGS& settings, POLICY_SERVERS* servers, DEVICE_INFORMATION& device)>
        updateDnsRemapList;
    std::function<bool(const std::string& url, UPDATE_PROCESS* process)> startUpdate;
    // The cloud-account domain of a session's user; empty when it has none.
    std::function<std::string(uint32_t sessionId)> cloudAccountDomain;
    // The console session, when one is active.
    std::function<std::optional<uint32_t>()> consoleSession;
};

// Logs "%s: not available in this build" with the name of the missing part.
void LogPartNotAvailable(const char* part);

// The next check-in after a check-in at `now` (seconds from now), with the Part's lines: a
// requested time clamped to 6 hours .. 3 days (a time in the past counts as a very long delay, as
// the unsigned difference makes it), or the default one day plus `randomSeconds` (0..3599).
uint32_t NextCheckInDelay(uint64_t now, std::optional<uint64_t> requested, uint32_t randomSeconds);

struct HOST_OPTIONS {
    uint32_t serviceCallThreadsPerProcessor = 16;
    // 0: the processor count of the machine.
    uint32_t processorCount = 0;
    bool immediateCheckIn = false;
    std::string logonAccountDomain;
    std::string updateUrlOverride;
    std::string uniqueDeviceId;  // the command line's replacement, when given
    // Written back to the registry once the service registered.
    uint32_t commandLineDebugFlags = 0;
    int32_t deployment = 1;
    // Build the policy-server set at the end of start-up (tests of the host alone may not).
    bool buildServerSet = true;
};

// What the worker threads use lives in one shared core that each thread holds while it runs: a
// thread that overruns the stop budget (and is only logged as terminated) keeps the settings, the
// server set, the timers and the events it may still touch until it ends, whatever becomes of the
// host. The control handler's work and the shutdown take one lock, so that a power or session
// control never meets the channel or the caches half taken down.
class SERVICE_HOST {
  public:
    SERVICE_HOST(HOST_OPTIONS options, HOST_PARTS parts);
    ~SERVICE_HOST();
    SERVICE_HOST(const SERVICE_HOST&) = delete;
    SERVICE_HOST& operator=(const SERVICE_HOST&) = delete;

    // The entry the service manager runs: registers the control handler, reports the states,
    // starts, waits for the stop event, stops. Returns the process exit status.
    int ServiceMain(const std::vector<std::string>& arguments);
    // The service body without a service manager ("A" and "X"): start, then (unless
    // `stopAtOnce`) wait for the stop event, and stop. SIGTERM is a stop. 0, or 1010 when it
    // could not start.
    int RunAsApplication(bool stopAtOnce);

    // Start-up in its order; a failure undoes what was done and returns false.
    bool Initialise();
    void Shutdown();

    // The control handler: 0 for handled controls, 120 for the others.
    uint32_t ControlHandler(uint32_t control, uint32_t eventType, const void* eventData);
    // "Stopping Service: Reason = %s" (or "Stopping Service ..."), the stop event, the flag. The
    // stop event also ends every HTTP request of the service that is under way.
    void StopRequest(const char* reason);

    uint32_t PowerState() const;
    std::string CheckInDomain() const;
    void SetCheckInDomain(const std::string& domain);

    SERVICE_STOP& Stop();
    os::Event& SettingsEvent();
    os::Event& CheckInEvent();
    os::Timer& CheckInTimer();
    os::Timer& PolicyQueryTimer();
    SETTINGS& Settings();
    POLICY_ENGINE* Decision();
    DEVICE_INFORMATION& Device();
    uint32_t ServiceCallThreadCount() const { return serviceCallThreads_; }
    bool FilteringOn() const;

    // The worker threads; public so that tests can run one on its own.
    void SystemInformationThread();
    void SettingsThread();
    void IpNotifyThread();
    void CheckInThread();

  private:
    struct CORE;

    bool InitialiseSteps();
    // Starts a thread of the group; a failure writes the event of a thread that could not be
    // created, with the group's name.
    bool StartWorker(THREAD_GROUP& group, void (CORE::*body)());
    bool StartWorkerWith(THREAD_GROUP& group,
                         const std::function<std::shared_ptr<os::Thread>()>& start);
    void PowerSuspend();
    void PowerResume(bool automatic);
    void FlushAllowedCache();
    void SessionChange(uint32_t eventType, const void* eventData);

    std::shared_ptr<CORE> core_;
    // Orders the control handler's work with the start and the shutdown of what it reaches.
    std::mutex controlLock_;
    std::shared_ptr<SERVICE_CALL_CHANNEL> channel_;
    os::HANDLE device_handle_ = 0;
    bool socketsStarted_ = false;
    uint32_t serviceCallThreads_ = 0;

    THREAD_GROUP systemInformationGroup_;
    THREAD_GROUP settingsGroup_;
    THREAD_GROUP ipNotifyGroup_;
    THREAD_GROUP checkInGroup_;
    THREAD_GROUP sessionReuseGroup_;
    THREAD_GROUP serviceCallGroup_;
};

}  // namespace wexo::svc
