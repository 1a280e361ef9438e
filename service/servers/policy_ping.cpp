#include "service/servers/policy_ping.h"

#include <curl/curl.h>
#include <strings.h>

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "os/core/status.h"
#include "service/servers/policy_servers.h"
#include "service/support/debug_log.h"
#include "service/support/http_api.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

// ---- HEAD "ostrel_ping" on a helper thread ----

enum class CLIENT_KIND { Pair, Https, Http };

// Shared by the asking thread and the helper that runs the request.
struct HEAD_REQUEST {
    os::Event done{os::EventType::Notification};
    // Written by the helper before `done` is set; read only after it.
    bool answered = false;
    int32_t status = 0;
    std::string errorText;
    int errorCode = 0;
};

struct IN_FLIGHT {
    std::mutex mutex;
    std::condition_variable idle;
    size_t count = 0;
};

IN_FLIGHT& InFlight() {
    // Never destroyed: a helper may finish while the process exits.
    static IN_FLIGHT* inFlight = new IN_FLIGHT();
    return *inFlight;
}

// How long one HEAD may take. A ping bounds the whole request by its own time-out; the protocol
// probe leaves the engine's default time-out as it is, and its caller waits as long as that
// default lets a server stay silent.
struct HEAD_LIMITS {
    std::optional<uint32_t> requestSeconds;  // none: the engine's default
    uint32_t waitSeconds;
};

constexpr HEAD_LIMITS kPingLimits{kPingTimeoutSeconds, kPingTimeoutSeconds};
// Two of these and the policy query's 60 seconds stay within the driver's 240-second call limit.
constexpr HEAD_LIMITS kProbeLimits{std::nullopt, HTTP_ENGINE_DEFAULT_TIMEOUT};

void RunRequest(const std::shared_ptr<HEAD_REQUEST>& request, CLIENT_KIND kind,
                const std::string& server, std::optional<uint32_t> requestSeconds) {
    try {
        auto perform = [&](HTTPX_API& client) {
            if (requestSeconds) {
                client.SetTimeout(*requestSeconds);
                // The time-out bounds the whole request, so that a server answering a byte at a
                // time cannot keep the helper longer than its caller waits.
                client.Config("AbsoluteTimeout=true");
            }
            request->answered = client.Head(server, kPingPage);
            request->status = client.GetStatus();
            request->errorText = client.GetLastErrorText();
            request->errorCode = client.GetLastErrorCode();
        };
        switch (kind) {
            case CLIENT_KIND::Pair: {
                HTTPX_PAIR pair;
                perform(pair.Client());
                break;
            }
            case CLIENT_KIND::Https: {
                HTTPS_API client;
                perform(client);
                break;
            }
            case CLIENT_KIND::Http: {
                HTTP_API client;
                perform(client);
                break;
            }
        }
    } catch (const std::exception& failure) {
        request->answered = false;
        request->errorText = failure.what();
        request->errorCode = CURLE_OUT_OF_MEMORY;
    }
}

void FinishRequest(const std::shared_ptr<HEAD_REQUEST>& request) {
    // Set before the count drops, so that whoever waits for the count to reach zero finds the
    // asking thread already woken (and counted as running by a virtual clock).
    request->done.Set();
    IN_FLIGHT& inFlight = InFlight();
    std::lock_guard guard(inFlight.mutex);
    if (--inFlight.count == 0) {
        inFlight.idle.notify_all();
    }
}

enum class HEAD_OUTCOME { Finished, TimedOut, Stopped };

// Sends HEAD "ostrel_ping" to `server` and waits for the answer, at most `limits.waitSeconds` on
// the active clock, or until a stop object is signalled (`*signaled` names it).
HEAD_OUTCOME HeadPingPage(CLIENT_KIND kind, const std::string& server, const HEAD_LIMITS& limits,
                          std::span<os::DispatcherObject* const> stopObjects,
                          std::shared_ptr<HEAD_REQUEST>& request, uint32_t* signaled) {
    request = std::make_shared<HEAD_REQUEST>();
    {
        IN_FLIGHT& inFlight = InFlight();
        std::lock_guard guard(inFlight.mutex);
        ++inFlight.count;
    }
    try {
        // A plain thread, not an os/ one: it spends its life in network I/O, which a virtual
        // clock must not wait for.
        std::thread([request, kind, server, requestSeconds = limits.requestSeconds] {
            RunRequest(request, kind, server, requestSeconds);
            FinishRequest(request);
        }).detach();
    } catch (const std::exception& failure) {
        // No thread (or no memory for its copy of the name): the ping fails, it is not lost.
        request->answered = false;
        request->errorText = failure.what();
        request->errorCode = CURLE_FAILED_INIT;
        FinishRequest(request);
    }

    std::vector<os::DispatcherObject*> objects;
    objects.push_back(&request->done);
    objects.insert(objects.end(), stopObjects.begin(), stopObjects.end());
    const uint32_t result = os::WaitForMultipleObjects(objects, false, limits.waitSeconds * 1000);
    if (result == os::WAIT_OBJECT_0) {
        return HEAD_OUTCOME::Finished;
    }
    if (result == os::WAIT_TIMEOUT) {
        // The helper is left to finish on its own; what it learns comes too late.
        request = std::make_shared<HEAD_REQUEST>();
        request->errorText = curl_easy_strerror(CURLE_OPERATION_TIMEDOUT);
        request->errorCode = CURLE_OPERATION_TIMEDOUT;
        return HEAD_OUTCOME::TimedOut;
    }
    if (signaled != nullptr) {
        *signaled = result == os::WAIT_FAILED ? os::WAIT_FAILED : result - 1;
    }
    return HEAD_OUTCOME::Stopped;
}

}  // namespace

size_t PingRequestsInFlight() {
    IN_FLIGHT& inFlight = InFlight();
    std::lock_guard guard(inFlight.mutex);
    return inFlight.count;
}

bool WaitForPingRequests(std::chrono::milliseconds realLimit) {
    IN_FLIGHT& inFlight = InFlight();
    std::unique_lock guard(inFlight.mutex);
    return inFlight.idle.wait_for(guard, realLimit, [&] { return inFlight.count == 0; });
}

bool PingStatusMeansAvailable(int32_t status) {
    return status == 200 || (status >= 300 && status <= 399) || status == 500 || status == 511;
}

// ---- Ping ----

PING_RESULT PingPolicyServer(const std::string& server,
                             std::span<os::DispatcherObject* const> stopObjects,
                             uint32_t* signaled) {
    const char* name = server.c_str();
    DebugWrite(LINE_VERBOSE, "Pinging policy server = \"%s\" ...", name);
    std::shared_ptr<HEAD_REQUEST> request;
    const HEAD_OUTCOME outcome =
        HeadPingPage(CLIENT_KIND::Pair, server, kPingLimits, stopObjects, request, signaled);
    if (outcome == HEAD_OUTCOME::Stopped) {
        return PING_RESULT::Abandoned;
    }
    if (outcome == HEAD_OUTCOME::TimedOut || !request->answered) {
        DebugWrite(LINE_VERBOSE, "Policy server = \"%s\" not available", name);
        return PING_RESULT::Unavailable;
    }
    const int32_t status = request->status;
    if (status == 200) {
        DebugWrite(LINE_VERBOSE, "Policy server = \"%s\" is available", name);
        return PING_RESULT::Available;
    }
    if (PingStatusMeansAvailable(status)) {
        // A captive portal may stand in front of the server: let the policy query meet it.
        DebugPrint("Policy server = \"%s\" redirected; possible hotspot", name);
        return PING_RESULT::Available;
    }
    DebugPrint("Policy server = \"%s\" is ping failed with HTTP status = %u", name,
               static_cast<unsigned>(status));
    return PING_RESULT::Unavailable;
}

// ---- Protocol probe ----

void ProbeApiProtocol(const std::string& server,
                      std::span<os::DispatcherObject* const> stopObjects) {
    if (GetApiProtocol() != API_PROTOCOL_UNKNOWN) {
        return;
    }
    const char* name = server.c_str();
    std::shared_ptr<HEAD_REQUEST> request;
    HEAD_OUTCOME outcome =
        HeadPingPage(CLIENT_KIND::Https, server, kProbeLimits, stopObjects, request, nullptr);
    if (outcome == HEAD_OUTCOME::Stopped) {
        return;
    }
    if (outcome == HEAD_OUTCOME::Finished && request->answered) {
        if (request->status == 200) {
            DebugPrint("API protocol is HTTPS");
            SetApiProtocol(API_PROTOCOL_HTTPS);
            return;
        }
        DebugPrint(
            "Server = \"%s\" returned HTTP status = %u when trying to determine HTTPS availability",
            name, static_cast<unsigned>(request->status));
    } else {
        DebugPrint(
            "Unable to determine HTTPS availability from server = \"%s\". %s. Error code = "
            "%#lx.",
            name, request->errorText.c_str(), static_cast<unsigned long>(request->errorCode));
    }

    outcome = HeadPingPage(CLIENT_KIND::Http, server, kProbeLimits, stopObjects, request, nullptr);
    if (outcome == HEAD_OUTCOME::Stopped) {
        return;
    }
    if (outcome == HEAD_OUTCOME::Finished && request->answered) {
        if (request->status == 200) {
            DebugPrint("API protocol is HTTP");
            SetApiProtocol(API_PROTOCOL_HTTP);
            return;
        }
        DebugPrint("Assuming API protocol is HTTP");
        return;
    }
    DebugPrint("Unable to determine HTTP availability from server = \"%s\". %s. Error code = %#lx.",
               name, request->errorText.c_str(), static_cast<unsigned long>(request->errorCode));
    DebugPrint("Assuming API protocol is HTTP");
}

// ---- The ping thread of one server ----

void POLICY_SERVERS::MarkAvailableLocked(STATE& state, ENTRY& entry) {
    entry.available = true;
    const char* name = entry.name.c_str();
    const bool noCurrent = state.current < 0;
    const auto index = static_cast<std::ptrdiff_t>(entry.index);
    if (state.mode == SERVER_MODE_TIERED && entry.index == 0) {
        if (noCurrent) {
            state.current = 0;
            state.available.Set();
            DebugPrint("Using primary policy server \"%s\"", name);
        } else if (state.current != 0) {
            state.current = 0;
            DebugPrint("Switching back to primary policy server \"%s\"", name);
        } else {
            DebugPrint("Primary policy policy server \"%s\" is available", name);
        }
    } else if (state.mode == SERVER_MODE_TIERED) {
        if (noCurrent) {
            state.current = index;
            state.available.Set();
            DebugPrint("Using secondary policy server \"%s\"", name);
        } else {
            DebugPrint("Secondary policy server \"%s\" is now available", name);
        }
    } else if (noCurrent) {
        state.current = index;
        state.available.Set();
        DebugPrint("Using policy server \"%s\"", name);
    } else {
        DebugPrint("Policy server \"%s\" is now available", name);
    }
}

void POLICY_SERVERS::PingPolicyServerThread(std::shared_ptr<STATE> state,
                                            std::shared_ptr<ENTRY> entry,
                                            std::shared_ptr<os::Event> wake) {
    const char* name = entry->name.c_str();
    // Every wait of this thread, the lock's included, ends at the service's stop or at its wake.
    os::DispatcherObject* objects[] = {&state->stop->event, wake.get()};
    constexpr uint32_t kServiceStop = os::WAIT_OBJECT_0;
    constexpr uint32_t kWake = os::WAIT_OBJECT_0 + 1;
    for (;;) {
        uint32_t result = os::WAIT_FAILED;
        const PING_RESULT ping = PingPolicyServer(entry->name, objects, &result);
        if (ping == PING_RESULT::Available) {
            if (state->lock->LockUnlessSignaled(objects, &result)) {
                if (entry->member && !entry->stop.load()) {
                    MarkAvailableLocked(*state, *entry);
                }
                state->lock->unlock();
                result = os::WaitForMultipleObjects(objects, false, os::INFINITE);
            }
        } else if (ping == PING_RESULT::Unavailable) {
            DebugPrint("PingPolicyServerThread: Policy server \"%s\" is unavailable", name);
            DebugPrint("PingPolicyServerThread: Waiting for %.3f seconds ...",
                       static_cast<double>(kPingRetrySeconds));
            result = os::WaitForMultipleObjects(objects, false, kPingRetrySeconds * 1000);
        }
        switch (result) {
            case kServiceStop:
                DebugPrint("PingPolicyServerThread: Service stopping");
                return;
            case kWake:
                if (entry->stop.load()) {
                    DebugPrint("PingPolicyServerThread: Stopping");
                    return;
                }
                // A failed query marked the server unavailable.
                DebugPrint(
                    "PingPolicyServerThread: Waiting for policy server = \"%s\" to be "
                    "available",
                    name);
                break;
            case os::WAIT_TIMEOUT:
                break;
            case os::WAIT_FAILED: {
                const uint32_t error = os::ERROR_INVALID_PARAMETER;
                DebugPrint("PingPolicyServerThread: Wait failed.\n    %s. Error code = %lu.",
                           os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
                return;
            }
            default:
                DebugPrint("PingPolicyServerThread: Unexpected wait result = %lu",
                           static_cast<unsigned long>(result));
                return;
        }
    }
}

// ---- Marking a server unavailable ----

void POLICY_SERVERS::MarkUnavailable(std::string_view server) {
    SETTINGS_GUARD guard(*state_->lock);
    STATE& state = *state_;
    ENTRY* found = nullptr;
    for (const auto& entry : state.entries) {
        if (EqualsNoCase(entry->name, server)) {
            found = entry.get();
            break;
        }
    }
    if (found == nullptr) {
        return;
    }
    const char* name = found->name.c_str();
    if (state.mode != SERVER_MODE_TIERED) {
        DebugPrint("Policy server \"%s\" is no longer available", name);
    } else if (found->index == 0) {
        DebugPrint("Primary policy server \"%s\" is no longer available", name);
        state.current = 0;
        for (size_t i = 1; i < state.entries.size(); ++i) {
            if (state.entries[i]->available) {
                state.current = static_cast<std::ptrdiff_t>(i);
                DebugPrint("Falling back to secondary policy server \"%s\"",
                           state.entries[i]->name.c_str());
                break;
            }
        }
    } else {
        DebugPrint("Secondary policy server \"%s\" is no longer available", name);
    }
    found->available = false;
    if (found->thread && found->wake) {
        found->wake->Set();
    }
}

// ---- Stopping the ping threads ----

void POLICY_SERVERS::StopQueryThreads() {
    // No rebuild lock here: the service's stop may call this with the settings lock held, while a
    // rebuild that holds the rebuild lock waits for the settings lock.
    struct STOPPING {
        std::shared_ptr<ENTRY> entry;
        std::shared_ptr<os::Thread> thread;  // our own reference, whatever others drop meanwhile
    };
    std::vector<STOPPING> stopping;
    {
        SETTINGS_GUARD guard(*state_->lock);
        if (state_->entries.empty()) {
            return;
        }
        for (const auto& entry : state_->entries) {
            if (!entry->thread) {
                continue;
            }
            entry->stop.store(true);
            entry->wake->Set();
            DebugPrint("StopQueryThreads: Query thread for server = \"%s\" signaled",
                       entry->name.c_str());
            stopping.push_back({entry, entry->thread});
        }
    }
    // The threads are waited for without the lock: one that has just pinged its server and waits
    // for the lock could not end otherwise.
    DebugPrint("StopQueryThreads: Waiting for %lu policy server query thread(s) to stop ...",
               static_cast<unsigned long>(stopping.size()));
    uint32_t result = os::WAIT_OBJECT_0;
    if (!stopping.empty()) {
        std::vector<os::DispatcherObject*> threads;
        for (const auto& one : stopping) {
            threads.push_back(one.thread.get());
        }
        result = os::WaitForMultipleObjects(threads, true, kStopQueryThreadsSeconds * 1000);
    }
    if (result == os::WAIT_OBJECT_0) {
        DebugPrint("StopQueryThreads: Policy server query threads stopped");
    } else if (result == os::WAIT_TIMEOUT) {
        DebugPrint(
            "StopQueryThreads: One or more policy server query threads did not stop within %.3f "
            "seconds",
            static_cast<double>(kStopQueryThreadsSeconds));
        for (const auto& one : stopping) {
            if (!one.thread->HasEnded()) {
                // Nothing is killed: the thread ends on its own once its wait or request returns.
                DebugPrint("Terminating query thread for policy server \"%s\"",
                           one.entry->name.c_str());
            }
        }
    } else {
        const uint32_t error = os::ERROR_INVALID_PARAMETER;
        DebugPrint(
            "StopQueryThreads: Wait for policy server query threads failed.\n    %s. Error "
            "code = %lu.",
            os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
    }
    // Only the threads this call stopped: a rebuild may have started new ones meanwhile.
    SETTINGS_GUARD guard(*state_->lock);
    for (const auto& one : stopping) {
        if (one.entry->thread == one.thread) {
            one.entry->thread.reset();
            one.entry->wake.reset();
        }
    }
}

}  // namespace wexo::svc
