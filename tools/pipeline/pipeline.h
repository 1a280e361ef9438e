// The whole system in one process: the driver on the simulated network (filter, lookup workers,
// control channel), the service in a process of its own (service-call workers registered with
// the driver, policy lookup with its decision chain, the policy-server set with its pings), and the
// reference policy server on loopback answering from a policy file. The demo runs it; the
// end-to-end tests drive it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "os/core/process.h"
#include "os/wfp/sim/sim_network.h"
#include "tools/peers/policy_server.h"

namespace wexo::pipeline {

struct PIPELINE_OPTIONS {
    // The policy the reference server answers from: a file, or else this text.
    std::string policyFile;
    std::string policyText;
    uint32_t serviceWorkers = 4;
    // A folder for the service's debug log ("WexoSvc.log"); empty: no log file.
    std::string logFolder;
};

class PIPELINE {
  public:
    explicit PIPELINE(PIPELINE_OPTIONS options);
    ~PIPELINE();
    PIPELINE(const PIPELINE&) = delete;
    PIPELINE& operator=(const PIPELINE&) = delete;

    // Starts the server, the driver and the service, and registers the service. On failure the
    // error says what did not start and nothing is left running.
    bool Start(std::string* error);
    void Stop();
    // The service's channel stopped and its process ended, then a new service process registers
    // with the running driver (the settings and the policy-server set carry over).
    bool RestartService(std::string* error);

    os::SimNetwork& Network();
    // A browser process of the signed-in user (session 1).
    uint32_t BrowserProcessId() const;
    // The service's process, the one the driver lets change its settings once it runs.
    uint32_t ServiceProcessId() const;
    peers::PolicyServer& Server();
    // Lookups whose verdict the driver has applied; waits (real time, bounded) for a count.
    uint64_t CompletedLookups() const;
    bool AwaitLookups(uint64_t count, uint32_t milliseconds = 10'000);
    // Flows the driver holds now (every connection of the simulated network that is not closed).
    size_t OpenFlows() const;
    // The service's allowed-URL cache size, for showing where an answer came from.
    size_t AllowedCacheCount() const;
    // The log file, when there is one.
    std::string LogPath() const;

  private:
    bool StartServiceChannel();
    void StopServiceChannel();

    struct PARTS;
    PIPELINE_OPTIONS options_;
    std::unique_ptr<PARTS> parts_;
};

}  // namespace wexo::pipeline
