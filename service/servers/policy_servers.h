// The policy-server set: the servers the service may ask, balanced (queries rotate over the
// available servers) or tiered (the first server alone while it is available, the others in turn
// while it is down), one ping thread per server, failover and the switch back to the primary.
//
// The set is guarded by the settings lock (checkin/settings.h), never held across network I/O or
// while waiting for threads: a rebuild stops the old threads and pings a tiered set's primary with
// the lock released, and takes it only to change the entries. Lookups during a rebuild therefore
// never wait for a server that hangs: the old servers serve until they are freed, and until a new
// one is found available they get none (and block on failure).
//
// Threads are stopped, never killed: a ping thread waits on the service's stop event and its own
// wake event in every wait (the lock included), and one that does not end within the bound of
// StopQueryThreads is logged as terminated and left to end on its own. Everything such a thread
// touches (its entry, the set's state, the lock) is shared with it, so it may outlive the set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/core/sync.h"
#include "service/checkin/settings.h"

namespace wexo::svc {

// At most this many servers are used; further names are ignored.
constexpr size_t kMaxPolicyServers = 25;
// Milliseconds WaitForServer waits for a first available server.
constexpr uint32_t kPolicyServerWaitMs = 20'000;

// The service's stop as the set sees it: the stop event (manual reset), which every ping thread
// waits on, and the stop-requested flag, set with it, after which no server is handed out.
struct SERVICE_STOP {
    os::Event event{os::EventType::Notification};
    std::atomic<bool> requested{false};

    void Request() {
        requested.store(true);
        event.Set();
    }
};

class POLICY_SERVERS {
  public:
    // Attaches itself to `settings`, whose ApplyCheckInServers then rebuilds it.
    POLICY_SERVERS(SETTINGS& settings, std::shared_ptr<SERVICE_STOP> stop);
    // Stops the threads (StopQueryThreads) and frees the set.
    ~POLICY_SERVERS();
    POLICY_SERVERS(const POLICY_SERVERS&) = delete;
    POLICY_SERVERS& operator=(const POLICY_SERVERS&) = delete;

    // Builds the set anew from the settings' names and mode: stops the old threads, frees the old
    // entries, takes at most 25 names, pings the primary at once in every mode but Balanced, and
    // starts one ping thread per server. Rebuilds run one at a time. Must not be called with the
    // settings lock held (it pings and waits for threads, which the lock never spans).
    void Rebuild();

    // The server for the next query. False when the service is stopping, the set has no current
    // server, or (tiered primary, or a lone balanced server) the current one is unavailable; `name`
    // is still filled in the last case. After a hand-out the API protocol is probed when it is
    // still unknown.
    bool CurrentServer(std::string& name);

    // Waits up to 20 seconds for a first server to become available (test modes).
    bool WaitForServer();

    // After a failed query: the server (first match, ignoring case) is no longer available; in
    // tiered mode a failed primary falls back to the first available secondary. Wakes its thread.
    void MarkUnavailable(std::string_view name);

    // Stops every ping thread: sets its stop flag, wakes it and waits up to 40 seconds for all of
    // them (without the lock). Threads still running then are logged and left to end on their own.
    // May be called with the settings lock held: a thread waiting for it gives up when stopped.
    void StopQueryThreads();

    // Logs and drops every entry; no current server, count 0.
    void FreeServers();

    // ---- Inspection (test modes, tests).
    size_t Count() const;
    int32_t Mode() const;
    std::vector<std::string> Names() const;
    // The current server's name, or "" when there is none.
    std::string CurrentName() const;
    bool IsAvailable(std::string_view name) const;
    // Whether the server's ping thread is running (it has a thread that has not ended).
    bool HasRunningThread(std::string_view name) const;
    os::Event& AvailableEvent();

    // How ping threads are started; tests replace it to make starting fail.
    using THREAD_STARTER =
        std::function<std::shared_ptr<os::Thread>(std::function<void()>, std::string)>;
    void SetThreadStarter(THREAD_STARTER starter);

  private:
    // One server. Shared with its ping thread, which may outlive the set's use of it.
    struct ENTRY {
        std::string name;
        size_t index = 0;                    // position in the set; 0 is the primary
        std::shared_ptr<os::Thread> thread;  // its ping thread, or none (lock)
        std::shared_ptr<os::Event> wake;     // wakes that thread (auto reset), or none (lock)
        bool available = false;              // the last ping or query said it answers (lock)
        bool member = true;                  // still in the set (lock)
        std::atomic<bool> stop{false};       // the thread is asked to end
    };
    // What the ping threads share with the set.
    struct STATE {
        std::shared_ptr<SETTINGS_LOCK> lock;
        std::shared_ptr<SERVICE_STOP> stop;
        std::vector<std::shared_ptr<ENTRY>> entries;  // lock
        std::ptrdiff_t current = -1;                  // index of the current entry, -1: none (lock)
        int32_t mode = SERVER_MODE_NONE;              // lock
        // Signalled when a first server becomes available; reset by a rebuild.
        os::Event available{os::EventType::Notification};
    };

    // Moves current on (lock held): to the next available entry, wrapping to `start`; see the .cpp.
    static bool AdvanceLocked(STATE& state, size_t start);
    static void PingPolicyServerThread(std::shared_ptr<STATE> state, std::shared_ptr<ENTRY> entry,
                                       std::shared_ptr<os::Event> wake);
    // After a successful ping (lock held): marks the entry available and moves current as the
    // mode says.
    static void MarkAvailableLocked(STATE& state, ENTRY& entry);
    void StartThreads();

    SETTINGS& settings_;
    std::shared_ptr<STATE> state_;
    os::Mutant rebuildLock_;  // one rebuild at a time
    THREAD_STARTER starter_;  // guarded by the settings lock
};

}  // namespace wexo::svc
