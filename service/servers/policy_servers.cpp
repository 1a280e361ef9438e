#include "service/servers/policy_servers.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>
#include <utility>

#include "os/core/status.h"
#include "service/servers/policy_ping.h"
#include "service/support/debug_log.h"
#include "service/support/text.h"

namespace wexo::svc {
namespace {

// Owns the rebuild lock of the set for one scope.
class MUTANT_GUARD {
  public:
    explicit MUTANT_GUARD(os::Mutant& mutant) : mutant_(mutant) {
        os::WaitForSingleObject(mutant_, os::INFINITE);
    }
    ~MUTANT_GUARD() { mutant_.Release(); }
    MUTANT_GUARD(const MUTANT_GUARD&) = delete;
    MUTANT_GUARD& operator=(const MUTANT_GUARD&) = delete;

  private:
    os::Mutant& mutant_;
};

}  // namespace

POLICY_SERVERS::POLICY_SERVERS(SETTINGS& settings, std::shared_ptr<SERVICE_STOP> stop)
    : settings_(settings), state_(std::make_shared<STATE>()), starter_(&os::Thread::Start) {
    state_->lock = settings.SharedLock();
    state_->stop = std::move(stop);
    settings_.AttachServerSet(this);
}

POLICY_SERVERS::~POLICY_SERVERS() {
    settings_.DetachServerSet(this);
    MUTANT_GUARD rebuild(rebuildLock_);
    StopQueryThreads();
    FreeServers();
}

void POLICY_SERVERS::SetThreadStarter(THREAD_STARTER starter) {
    SETTINGS_GUARD guard(*state_->lock);
    starter_ = std::move(starter);
}

void POLICY_SERVERS::FreeServers() {
    SETTINGS_GUARD guard(*state_->lock);
    for (const auto& entry : state_->entries) {
        DebugPrint("POLICY_SERVERS::FreeServers: Server name = \"%s\"", entry->name.c_str());
        entry->member = false;
        // A thread still running keeps its own references; dropping ours leaves it to end.
        entry->thread.reset();
        entry->wake.reset();
    }
    state_->entries.clear();
    state_->current = -1;
}

void POLICY_SERVERS::Rebuild() {
    MUTANT_GUARD rebuild(rebuildLock_);
    StopQueryThreads();
    FreeServers();

    std::shared_ptr<ENTRY> primary;
    std::string secondName;
    int32_t mode = SERVER_MODE_NONE;
    size_t count = 0;
    {
        SETTINGS_GUARD guard(*state_->lock);
        state_->available.Reset();
        mode = settings_.ServerMode();
        state_->mode = mode;
        std::vector<std::string> names = settings_.PolicyServerNames();
        if (names.empty()) {
            DebugPrint("No policy servers available");
            return;
        }
        count = std::min(names.size(), kMaxPolicyServers);
        for (size_t i = 0; i < count; ++i) {
            auto entry = std::make_shared<ENTRY>();
            entry->name = std::move(names[i]);
            entry->index = i;
            state_->entries.push_back(std::move(entry));
        }
        primary = state_->entries.front();
        secondName = count > 1 ? state_->entries[1]->name : std::string();
        if (mode != SERVER_MODE_BALANCED) {
            DebugPrint("Querying primary policy server \"%s\" (tiered mode) ...",
                       primary->name.c_str());
        }
    }

    if (mode != SERVER_MODE_BALANCED) {
        // The start-up ping runs without the lock: lookups meanwhile find no current server
        // instead of waiting for a primary that may hang.
        os::DispatcherObject* stopObjects[] = {&state_->stop->event};
        const bool available =
            PingPolicyServer(primary->name, stopObjects) == PING_RESULT::Available;
        {
            SETTINGS_GUARD guard(*state_->lock);
            if (available && primary->member) {
                DebugPrint("Primary policy server \"%s\" is available (tiered mode)",
                           primary->name.c_str());
                primary->available = true;
                state_->current = 0;
                state_->available.Set();
            } else {
                DebugPrint("Primary policy server \"%s\" is unavailable (tiered mode)",
                           primary->name.c_str());
            }
        }
        if (count == 1) {
            DebugPrint("No secondary policy servers configured (tiered mode)");
        } else if (count == 2) {
            DebugPrint("Querying secondary policy server \"%s\" (tiered mode) ...",
                       secondName.c_str());
        } else {
            DebugPrint("Querying %d secondary policy servers (tiered mode) ...",
                       static_cast<int>(count - 1));
        }
    } else {
        DebugPrint("Querying %d policy servers (balanced mode) ...", static_cast<int>(count));
    }
    StartThreads();
}

void POLICY_SERVERS::StartThreads() {
    SETTINGS_GUARD guard(*state_->lock);
    for (const auto& entry : state_->entries) {
        auto wake = std::make_shared<os::Event>(os::EventType::Synchronization, false);
        entry->wake = wake;
        uint32_t error = os::ERROR_SUCCESS;
        try {
            entry->thread = starter_(
                [state = state_, entry, wake] { PingPolicyServerThread(state, entry, wake); },
                "Policy server " + entry->name);
            if (!entry->thread) {
                error = os::ERROR_NOT_ENOUGH_MEMORY;
            }
        } catch (const std::system_error& failure) {
            error = os::Win32ErrorFromErrno(failure.code().value());
        } catch (const std::bad_alloc&) {
            error = os::ERROR_NOT_ENOUGH_MEMORY;
        }
        if (error != os::ERROR_SUCCESS) {
            // The entry stays in the set but is never pinged again.
            entry->wake.reset();
            entry->thread.reset();
            DebugPrint(
                "Unable to create query thread for policy server = \"%s\".\n    %s. Error code = "
                "%lu.",
                entry->name.c_str(), os::SystemMessageText(error).c_str(),
                static_cast<unsigned long>(error));
        }
    }
}

// From the current entry: move on, wrapping past the last entry to `start`. Back where the search
// began: keep it, whatever its state. An available entry becomes current.
bool POLICY_SERVERS::AdvanceLocked(STATE& state, size_t start) {
    const auto count = static_cast<std::ptrdiff_t>(state.entries.size());
    const std::ptrdiff_t begin = state.current;
    for (;;) {
        ++state.current;
        if (state.current >= count) {
            state.current = static_cast<std::ptrdiff_t>(start);
        }
        const ENTRY& entry = *state.entries[static_cast<size_t>(state.current)];
        if (state.current == begin) {
            DebugPrint("Continue using policy server = \"%s\"", entry.name.c_str());
            return entry.available;
        }
        if (entry.available) {
            DebugPrint("Next policy server = \"%s\"", entry.name.c_str());
            return true;
        }
        DebugPrint("Skipping unavailable policy server = \"%s\"", entry.name.c_str());
    }
}

bool POLICY_SERVERS::CurrentServer(std::string& name) {
    if (state_->stop->requested.load()) {
        return false;
    }
    bool result = false;
    {
        SETTINGS_GUARD guard(*state_->lock);
        STATE& state = *state_;
        if (state.current < 0 || static_cast<size_t>(state.current) >= state.entries.size()) {
            return false;
        }
        // The name handed out is the one before the advance, which prepares the next query.
        name = state.entries[static_cast<size_t>(state.current)]->name;
        if (state.mode == SERVER_MODE_TIERED) {
            result =
                state.current == 0 ? state.entries.front()->available : AdvanceLocked(state, 1);
        } else {
            result = AdvanceLocked(state, 0);
        }
    }
    if (result) {
        os::DispatcherObject* stopObjects[] = {&state_->stop->event};
        ProbeApiProtocol(name, stopObjects);
    }
    return result;
}

bool POLICY_SERVERS::WaitForServer() {
    os::DispatcherObject* objects[] = {&state_->available, &state_->stop->event};
    const uint32_t result = os::WaitForMultipleObjects(objects, false, kPolicyServerWaitMs);
    switch (result) {
        case os::WAIT_OBJECT_0:
            DebugPrint("Policy server is available");
            return true;
        case os::WAIT_OBJECT_0 + 1:
            DebugPrint("Wait for policy server ended: service stopping");
            return false;
        case os::WAIT_TIMEOUT:
            DebugPrint("No policy server reported as available within %.3f seconds",
                       kPolicyServerWaitMs / 1000.0);
            return false;
        default: {
            const uint32_t error = os::ERROR_INVALID_PARAMETER;
            DebugPrint("Wait for policy server failed.\n    %s. Error code = %lu.",
                       os::SystemMessageText(error).c_str(), static_cast<unsigned long>(error));
            return false;
        }
    }
}

size_t POLICY_SERVERS::Count() const {
    SETTINGS_GUARD guard(*state_->lock);
    return state_->entries.size();
}

int32_t POLICY_SERVERS::Mode() const {
    SETTINGS_GUARD guard(*state_->lock);
    return state_->mode;
}

std::vector<std::string> POLICY_SERVERS::Names() const {
    SETTINGS_GUARD guard(*state_->lock);
    std::vector<std::string> names;
    for (const auto& entry : state_->entries) {
        names.push_back(entry->name);
    }
    return names;
}

std::string POLICY_SERVERS::CurrentName() const {
    SETTINGS_GUARD guard(*state_->lock);
    if (state_->current < 0) {
        return {};
    }
    return state_->entries[static_cast<size_t>(state_->current)]->name;
}

bool POLICY_SERVERS::IsAvailable(std::string_view name) const {
    SETTINGS_GUARD guard(*state_->lock);
    for (const auto& entry : state_->entries) {
        if (EqualsNoCase(entry->name, name)) {
            return entry->available;
        }
    }
    return false;
}

bool POLICY_SERVERS::HasRunningThread(std::string_view name) const {
    SETTINGS_GUARD guard(*state_->lock);
    for (const auto& entry : state_->entries) {
        if (EqualsNoCase(entry->name, name)) {
            return entry->thread && !entry->thread->HasEnded();
        }
    }
    return false;
}

os::Event& POLICY_SERVERS::AvailableEvent() {
    return state_->available;
}

}  // namespace wexo::svc
